// The operations every table offers to the generic map and set.
//
// Contract, beyond the signatures checked here:
// - `insert(key, value, x)`: if a key equal to `key` is stored (same table
//   hash x and `KeyTraits<K>::eq`), the new value replaces the old one, the
//   passed key is destroyed (the stored key object is kept) and the old value
//   is returned; otherwise a new entry is placed, growing or rebuilding the
//   table first when its insertion limit is reached. Growth that cannot get
//   memory throws `AllocFailure` before anything changes.
// - `find(probe, x)` / `entry_at(loc)` / `find_entry(probe, x)`: lookups
//   never modify the table.
// - `remove(loc)`: tombstones the slot, returns the entry and runs the
//   maintenance owed (a same-size rebuild when tombstones pile up, otherwise a
//   summary refresh); `remove_deferred(loc)` skips the maintenance so a scan in
//   progress stays valid, and every run of deferred removals is followed by
//   one `finish_deferred_removals()`. Maintenance that cannot get memory for
//   its rebuild leaves the (still valid) table as it is.
// - `scan_next(cursor)`: the next full slot in the table's visiting order; a
//   default-constructed cursor starts at the beginning.
// - `reserve(n)`: room for len() + n entries in at most one rebuild; throws
//   `AllocFailure` (capacity overflow or no memory) leaving the table as it
//   was.
// - `seed()`: the per-table seed S of the table hash, unchanged by rebuilds.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

namespace quarlex {

// Access to a table's placement and search internals for the tests, which
// alone define it; a friend of both tables.
template <class T>
struct TableInternals;

template <class T>
concept TableBackend =
    requires(T& t, const T& ct, typename T::key_type key, typename T::mapped_type value,
             typename T::Location loc, typename T::Cursor cursor, std::uint64_t x, std::size_t n) {
      typename T::entry_type;
      { t.insert(std::move(key), std::move(value), x) }
          -> std::same_as<std::optional<typename T::mapped_type>>;
      { ct.find(std::as_const(key), x) } -> std::same_as<std::optional<typename T::Location>>;
      { ct.find_entry(std::as_const(key), x) } -> std::same_as<const typename T::entry_type*>;
      { t.entry_at(loc) } -> std::same_as<typename T::entry_type&>;
      { ct.entry_at(loc) } -> std::same_as<const typename T::entry_type&>;
      { t.remove(loc) } -> std::same_as<typename T::entry_type>;
      { t.remove_deferred(loc) } -> std::same_as<typename T::entry_type>;
      { t.finish_deferred_removals() } -> std::same_as<void>;
      { t.clear() } -> std::same_as<void>;
      { ct.scan_next(cursor) } -> std::same_as<std::optional<typename T::Location>>;
      { ct.len() } -> std::same_as<std::size_t>;
      { ct.capacity() } -> std::same_as<std::size_t>;
      { t.reserve(n) } -> std::same_as<void>;
      { ct.seed() } -> std::same_as<std::uint64_t>;
    };

}  // namespace quarlex
