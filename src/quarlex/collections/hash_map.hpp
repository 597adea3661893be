// The generic map over any table backend.
//
// The map owns exactly one table and keeps no other state: it turns a key's
// stored hash into the table hash with the table's own seed and forwards to
// the backend. Locations returned by the table are never kept across a
// mutation. Traversals that remove (`retain`, `ExtractIf`) only tombstone
// slots while their cursor is live and settle the table's maintenance once,
// afterwards, also when they unwind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "quarlex/collections/backend.hpp"
#include "quarlex/common/hash.hpp"
#include "quarlex/common/key.hpp"

namespace quarlex {

template <TableBackend T>
class HashMap {
 public:
  using table_type = T;
  using key_type = typename T::key_type;
  using mapped_type = typename T::mapped_type;
  using entry_type = typename T::entry_type;
  using Location = typename T::Location;
  using Cursor = typename T::Cursor;
  using Traits = KeyTraits<key_type>;

  explicit HashMap(T table) noexcept(std::is_nothrow_move_constructible_v<T>)
      : table_(std::move(table)) {}

  // The table hash of a key (or probe) for this map's table.
  template <class Q>
  std::uint64_t hash_of(const Q& key) const noexcept {
    return table_hash(Traits::hash(key), table_.seed());
  }

  // Inserts or replaces; returns the previous value of an equal key.
  std::optional<mapped_type> insert(key_type key, mapped_type value) {
    const std::uint64_t x = hash_of(key);
    return table_.insert(std::move(key), std::move(value), x);
  }

  // Places a key that no stored key equals, without searching for one first:
  // the bulk path for keys taken from one map into a map that started empty
  // (copies, merges, set algebra results). Precondition: no stored key
  // equals `key`; a broken precondition stores a second entry for the key.
  // Tables without a search-free placement (`insert_absent`) insert as usual.
  void insert_unique(key_type key, mapped_type value) {
    const std::uint64_t x = hash_of(key);
    if constexpr (requires { table_.insert_absent(std::move(key), std::move(value), x); }) {
      table_.insert_absent(std::move(key), std::move(value), x);
    } else {
      table_.insert(std::move(key), std::move(value), x);
    }
  }

  // A copy of the whole table, seed and shape included, each entry copied
  // by copy(entry, slot) into the slot's storage (which must not throw), with
  // touch(entry) a few entries ahead: the bulk path of copies, without placing any key again.
  template <class Touch, class Copy>
  HashMap clone(Touch&& touch, Copy&& copy) const {
    return HashMap(table_.clone(touch, copy));
  }

  template <class Q>
  std::optional<Location> find(const Q& probe) const {
    return table_.find(probe, hash_of(probe));
  }

  template <class Q>
  bool contains(const Q& probe) const {
    return find(probe).has_value();
  }

  template <class Q>
  mapped_type* get(const Q& probe) {
    return const_cast<mapped_type*>(std::as_const(*this).get(probe));
  }

  template <class Q>
  const mapped_type* get(const Q& probe) const {
    const entry_type* e = table_.find_entry(probe, hash_of(probe));
    return e ? &e->value : nullptr;
  }

  // Takes the whole entry (stored key and value) out, if present.
  template <class Q>
  std::optional<entry_type> remove_entry(const Q& probe) {
    auto loc = find(probe);
    if (!loc) return std::nullopt;
    return table_.remove(*loc);
  }

  // Removes the entry and releases its stored key; returns the value.
  template <class Q>
  std::optional<mapped_type> remove(const Q& probe) {
    auto e = remove_entry(probe);
    if (!e) return std::nullopt;
    return std::move(e->value);
  }

  std::size_t len() const noexcept { return table_.len(); }
  bool empty() const noexcept { return table_.len() == 0; }
  std::size_t capacity() const noexcept { return table_.capacity(); }
  std::size_t heap_bytes() const noexcept { return table_.heap_bytes(); }
  std::uint32_t reserve_exponent() const noexcept { return table_.reserve_exponent(); }
  void clear() { table_.clear(); }
  // Empties the map, handing every entry to `take` (which must not throw).
  template <class Take>
  void clear(Take&& take) {
    table_.clear(std::forward<Take>(take));
  }
  void reserve(std::size_t additional) { table_.reserve(additional); }

  T& table() noexcept { return table_; }
  const T& table() const noexcept { return table_; }

  // Calls f(entry) for every entry in visiting order, faster than the
  // iterators; f must not change the map.
  template <class F>
  void for_each(F&& f) const {
    table_.for_each(f);
  }

  // Borrowing iterator over all entries in the table's visiting order.
  template <bool Const>
  class BasicIter {
    using Table = std::conditional_t<Const, const T, T>;
    using Entry = std::conditional_t<Const, const entry_type, entry_type>;

   public:
    BasicIter(Table* table, std::size_t remaining) : table_(table), remaining_(remaining) {
      advance();
    }
    Entry& operator*() const { return table_->entry_at(*loc_); }
    Entry* operator->() const { return &table_->entry_at(*loc_); }
    BasicIter& operator++() {
      --remaining_;
      advance();
      return *this;
    }
    bool operator==(std::default_sentinel_t) const noexcept { return !loc_.has_value(); }
    std::size_t remaining() const noexcept { return remaining_; }
    const Location& location() const { return *loc_; }

   private:
    void advance() { loc_ = remaining_ == 0 ? std::nullopt : table_->scan_next(cursor_); }

    Table* table_;
    std::size_t remaining_;
    Cursor cursor_{};
    std::optional<Location> loc_;
  };
  using Iter = BasicIter<false>;
  using ConstIter = BasicIter<true>;

  Iter begin() { return Iter(&table_, table_.len()); }
  ConstIter begin() const { return ConstIter(&table_, table_.len()); }
  std::default_sentinel_t end() const noexcept { return {}; }

  struct Drop {
    void operator()(entry_type&&) const noexcept {}
  };

  // Removes every entry for which pred(key, value) is false and hands it to
  // take(entry) (by default dropping it at once). The maintenance runs
  // exactly once, also when pred or take throws.
  template <class Pred, class Take = Drop>
  void retain(Pred&& pred, Take&& take = {}) {
    Finisher finish{table_};
    Cursor cursor{};
    while (auto loc = table_.scan_next(cursor)) {
      entry_type& e = table_.entry_at(*loc);
      if (!pred(std::as_const(e.key), e.value)) take(table_.remove_deferred(*loc));
    }
  }

  // Draining filter: yields (and removes) each entry for which
  // pred(key, value) is true. Dropping it early still settles the table.
  template <class Pred>
  class ExtractIf {
   public:
    ExtractIf(T& table, Pred pred) : table_(&table), pred_(std::move(pred)) {}
    ExtractIf(const ExtractIf&) = delete;
    ExtractIf& operator=(const ExtractIf&) = delete;
    ~ExtractIf() {
      if (!finished_) table_->finish_deferred_removals();
    }

    std::optional<entry_type> next() {
      if (finished_) return std::nullopt;
      while (auto loc = table_->scan_next(cursor_)) {
        entry_type& e = table_->entry_at(*loc);
        if (pred_(std::as_const(e.key), e.value)) return table_->remove_deferred(*loc);
      }
      finished_ = true;
      table_->finish_deferred_removals();
      return std::nullopt;
    }

   private:
    T* table_;
    Pred pred_;
    Cursor cursor_{};
    bool finished_ = false;
  };

  template <class Pred>
  ExtractIf<std::decay_t<Pred>> extract_if(Pred&& pred) {
    return ExtractIf<std::decay_t<Pred>>(table_, std::forward<Pred>(pred));
  }

  // Removes and returns the first entry in visiting order, if any.
  std::optional<entry_type> pop_first() {
    auto filter = extract_if([](const key_type&, mapped_type&) { return true; });
    return filter.next();
  }

 private:
  struct Finisher {
    T& table;
    ~Finisher() { table.finish_deferred_removals(); }
  };

  T table_;
};

}  // namespace quarlex
