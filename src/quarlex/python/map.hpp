// The map family as the view and module code see it.
//
// A map object is a `CollectionObject` holding a generic map of stored keys to
// owned value references over the kind's table. Its borrow flag guards the
// table: readers (lookups, views, iterator snapshots) hold it shared for the
// whole call, so Python code they run (__eq__, __repr__, __contains__ of
// another object) can read the map but never reshape the table under them;
// mutators hold it exclusively.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "quarlex/collections/hash_map.hpp"
#include "quarlex/python/iter.hpp"
#include "quarlex/python/kinds.hpp"
#include "quarlex/python/types.hpp"

namespace quarlex::py {

template <class Kind>
struct MapFamily
    : CollectionClass<HashMap<typename Kind::template Table<Ref>>, Kind::kMap> {
  using Map = HashMap<typename Kind::template Table<Ref>>;
};

// What a view or an iterator hands out for one entry.
enum class Flavour { Keys, Values, Items };

// A new reference to one entry's element: the key, the value, or a new
// (key, value) tuple.
template <Flavour F, class Entry>
Ref element_of(const Entry& e) {
  if constexpr (F == Flavour::Keys) {
    return Ref::borrow(e.key.object());
  } else if constexpr (F == Flavour::Values) {
    return e.value;
  } else {
    return Ref::check(PyTuple_Pack(2, e.key.object(), e.value.get()));
  }
}

// The elements of a map in scan order, for an iterator; the caller holds a
// shared borrow. Items are kept as key and value, one after the other: the
// iterator builds each tuple as it hands it out. In maps too large for the
// objects to stay cached, the objects are fetched a few entries ahead of the
// reference count updates that write to them; in small ones that only costs.
template <Flavour F, class Map>
[[gnu::flatten]] Snapshot snapshot_of(const Map& map) {
  const auto touch = [](const auto& e) {
    if constexpr (F != Flavour::Values) prefetch_object(e.key.object());
    if constexpr (F != Flavour::Keys) prefetch_object(e.value.get());
  };
  if constexpr (F == Flavour::Items) {
    return snapshot_refs<2>(map, touch, [](const auto& e) {
      return std::array<Ref, 2>{Ref::borrow(e.key.object()), e.value};
    });
  } else {
    return snapshot_refs<1>(map, touch,
                            [](const auto& e) { return std::array<Ref, 1>{element_of<F>(e)}; });
  }
}

// Identity first, then ==, as built-in containers compare their elements; an
// error while comparing counts as "different".
inline bool values_equal(PyObject* a, PyObject* b) { return a == b || rich_equal(a, b); }

// The map classes (ElasticHashMap, FunnelHashMap) and the six view classes.
std::span<const ClassMaker> map_classes() noexcept;
std::span<const ClassMaker> view_classes() noexcept;
// A new view object of class `id` over `map`.
PyObject* make_view(TypeId id, PyObject* map);

}  // namespace quarlex::py
