// The set family as the module code sees it.
//
// A set object is a `CollectionObject` holding a generic set of stored keys
// over the kind's table. Its borrow flag guards the table: readers (lookups,
// iterator snapshots, the operand side of the algebra) hold it shared for the
// whole call, mutators hold it exclusively, also while they call back into
// Python (__hash__, __eq__, an operand's iteration), so no Python code can
// reshape a table under a running loop.
#pragma once

#include <span>

#include "quarlex/collections/hash_set.hpp"
#include "quarlex/common/arena.hpp"
#include "quarlex/python/kinds.hpp"
#include "quarlex/python/types.hpp"

namespace quarlex::py {

template <class Kind>
struct SetFamily
    : CollectionClass<HashSet<typename Kind::template Table<Unit>>, Kind::kSet> {
  using Set = HashSet<typename Kind::template Table<Unit>>;
};

// The set classes (ElasticHashSet, FunnelHashSet).
std::span<const ClassMaker> set_classes() noexcept;

}  // namespace quarlex::py
