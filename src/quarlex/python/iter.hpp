// Snapshot iterators.
//
// An iterator never walks a table: when it is made, the owner's entries are
// copied (new references; for items the key and the value, one after the
// other, paired into a tuple as each is handed out) into a vector in scan
// order, and the owner's modification counter is stamped. Each step checks the
// counter first, so an iterator whose owner changed raises on every later
// step, also after it was exhausted. Invariant: elements before `position`
// have been handed out (their slots are empty); the owner is kept alive.
#pragma once

#include <span>
#include <vector>

#include "quarlex/python/types.hpp"

namespace quarlex::py {

// A new iterator object of class `id` over `snapshot`, owned by `owner` (a
// collection object whose counter is stamped now). The caller holds a shared
// borrow of the owner while it builds the snapshot and calls this.
PyObject* make_snapshot_iter(TypeId id, PyObject* owner, std::vector<Ref>&& snapshot);

// The eight iterator classes.
std::span<const ClassMaker> iter_classes() noexcept;

}  // namespace quarlex::py
