// The generic set: the generic map with the empty `Unit` value, which takes
// no room in a slot. Scan order, placement and growth are the table's.
#pragma once

#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>

#include "quarlex/collections/hash_map.hpp"
#include "quarlex/common/arena.hpp"

namespace quarlex {

template <TableBackend T>
  requires std::same_as<typename T::mapped_type, Unit>
class HashSet {
 public:
  using map_type = HashMap<T>;
  using key_type = typename map_type::key_type;
  using entry_type = typename map_type::entry_type;

  explicit HashSet(T table) : map_(std::move(table)) {}

  // A copy of the whole table (HashMap::clone).
  template <class Touch, class Copy>
  HashSet clone(Touch&& touch, Copy&& copy) const {
    return HashSet(map_.table().clone(touch, copy));
  }

  // True when the key was new; a present key keeps its stored object and the
  // passed one is dropped.
  bool insert(key_type key) { return !map_.insert(std::move(key), Unit{}).has_value(); }

  // Adds a key that no stored key equals, without searching (the map's
  // insert_unique, with its precondition).
  void insert_unique(key_type key) { map_.insert_unique(std::move(key), Unit{}); }

  template <class Q>
  bool contains(const Q& probe) const {
    return map_.contains(probe);
  }

  template <class Q>
  bool remove(const Q& probe) {
    return map_.remove_entry(probe).has_value();
  }

  // Takes the stored key out, if present.
  template <class Q>
  std::optional<key_type> take(const Q& probe) {
    auto e = map_.remove_entry(probe);
    if (!e) return std::nullopt;
    return std::move(e->key);
  }

  // Keeps the keys pred accepts; the others go to take(key), by default
  // dropped at once.
  template <class Pred>
  void retain(Pred&& pred) {
    map_.retain([&](const key_type& k, Unit&) { return pred(k); });
  }
  template <class Pred, class Take>
  void retain(Pred&& pred, Take&& take) {
    map_.retain([&](const key_type& k, Unit&) { return pred(k); },
                [&](entry_type&& e) { take(std::move(e.key)); });
  }

  template <class Pred>
  auto extract_if(Pred&& pred) {
    return map_.extract_if(
        [p = std::forward<Pred>(pred)](const key_type& k, Unit&) mutable { return p(k); });
  }

  // Removes and returns the first key in visiting order, if any.
  std::optional<key_type> pop_first() {
    auto e = map_.pop_first();
    if (!e) return std::nullopt;
    return std::move(e->key);
  }

  std::size_t len() const noexcept { return map_.len(); }
  bool empty() const noexcept { return map_.empty(); }
  std::size_t capacity() const noexcept { return map_.capacity(); }
  std::size_t heap_bytes() const noexcept { return map_.heap_bytes(); }
  std::uint32_t reserve_exponent() const noexcept { return map_.reserve_exponent(); }
  void clear() { map_.clear(); }
  // Empties the set, handing every key to `take` (which must not throw).
  template <class Take>
  void clear(Take&& take) {
    map_.clear([&](entry_type&& e) noexcept { take(std::move(e.key)); });
  }
  void reserve(std::size_t additional) { map_.reserve(additional); }

  // Iteration yields the stored keys in visiting order.
  class ConstIter {
   public:
    explicit ConstIter(typename map_type::ConstIter it) : it_(std::move(it)) {}
    const key_type& operator*() const { return it_->key; }
    const key_type* operator->() const { return &it_->key; }
    ConstIter& operator++() {
      ++it_;
      return *this;
    }
    bool operator==(std::default_sentinel_t s) const noexcept { return it_ == s; }

   private:
    typename map_type::ConstIter it_;
  };
  ConstIter begin() const { return ConstIter(map_.begin()); }
  std::default_sentinel_t end() const noexcept { return {}; }

  // Calls f(key) for every key in visiting order; f must not change the set.
  template <class F>
  void for_each(F&& f) const {
    map_.for_each([&](const auto& e) { f(e.key); });
  }

  map_type& map() noexcept { return map_; }
  const map_type& map() const noexcept { return map_; }

  // Equal when the lengths match and every key of this set is found in the
  // other one's table (by stored hash, with the other table's seed).
  friend bool operator==(const HashSet& a, const HashSet& b) {
    if (a.len() != b.len()) return false;
    for (const key_type& k : a) {
      if (!b.contains(k)) return false;
    }
    return true;
  }

 private:
  map_type map_;
};

}  // namespace quarlex
