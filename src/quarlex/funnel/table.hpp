// FunnelTable: open addressing without reordering by funnel hashing.
//
// A key's probe path is one bucket per level (level 0 first), then f uniform
// slots, then two two-choice buckets examined alternately. A new key goes to
// the first free slot of its path and never moves until the next rebuild; a
// removal leaves a tombstone, so every key stays reachable along its path. A
// key whose path has no free slot (or whose reduction was rejected eight
// times) goes to the first free slot of the table and sets `exceptional_`,
// which makes lookups that fail on the path fall back to a full scan.
//
// Invariants:
//   - len_ <= insert_limit <= n and len_ + tombstones_ <= n; len_ and
//     tombstones_ count the full and 0x80 control bytes;
//   - each full control byte is its key's fingerprint; the 7 control bytes
//     after slot n - 1 stay 0x00;
//   - both summary bits of every live key are set (removed keys may leave
//     stale bits until the next refresh or rebuild);
//   - a live key lies on its probe path before the path's first empty slot,
//     unless exceptional_ is set;
//   - no level bucket has a full slot after an empty one: insertion takes
//     the first free slot of a bucket (or of the whole table), and only
//     clearing and rebuilding make slots empty again. So a bucket whose last
//     slot is full has no empty slot at all.
// Entries are destroyed only after their control byte and the counters no
// longer claim them, because destructors may run arbitrary code.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "quarlex/collections/backend.hpp"
#include "quarlex/common/arena.hpp"
#include "quarlex/common/control.hpp"
#include "quarlex/common/errors.hpp"
#include "quarlex/common/hash.hpp"
#include "quarlex/common/key.hpp"
#include "quarlex/common/probe.hpp"
#include "quarlex/common/probe_stats.hpp"
#include "quarlex/common/scan.hpp"
#include "quarlex/funnel/geometry.hpp"
#include "quarlex/funnel/probe.hpp"

namespace quarlex {

template <class K, class V>
class FunnelTable {
 public:
  using key_type = K;
  using mapped_type = V;
  using entry_type = SlotEntry<K, V>;
  using Location = std::size_t;
  // Scan state; default-constructed means the scan has not started.
  struct Cursor {
    GroupCursor groups{};
    bool started = false;
  };

  static_assert(std::is_nothrow_move_constructible_v<K> && std::is_nothrow_move_constructible_v<V>,
                "entries are moved between arenas where a throw cannot be undone");

  // A table able to hold `capacity` entries without growing.
  static Result<FunnelTable, TryBuildError> try_with_capacity(std::size_t capacity,
                                                              std::uint32_t e,
                                                              std::uint64_t seed) {
    if (e < kFunnelMinReserveExponent) {
      return TryBuildError(TryBuildError::FunnelReserveBelowMinimum{e, kFunnelMinReserveExponent});
    }
    FunnelTable table(e, seed);
    if (capacity == 0) return table;
    const auto n = funnel_slots_for_budget(e, capacity);
    if (!n) return TryBuildError(n.error());
    auto storage = build_storage(n.value(), e);
    if (!storage) return TryBuildError(storage.error().kind);
    table.adopt(std::move(storage).value());
    return table;
  }

  // Throws AllocFailure when no shape holds `capacity` entries or the memory
  // cannot be had.
  static FunnelTable with_capacity(std::size_t capacity, std::uint32_t e, std::uint64_t seed) {
    auto built = try_with_capacity(capacity, e, seed);
    if (built.ok()) return std::move(built).value();
    const TryBuildError& err = built.error();
    if (const auto* r = std::get_if<TryBuildError::Reserve>(&err.value())) {
      throw AllocFailure(r->error);
    }
    panic("invalid Funnel construction: " + err.display());
  }

  // A copy with the same seed, exponent, shape and summary: the arena is
  // copied as it is, tombstones included, and each live entry through
  // copy(entry, slot), touch(entry) running a few entries ahead
  // (SlotRegion::copy_values_to). Throws AllocFailure when the memory cannot
  // be had, before any entry is copied.
  template <class Touch, class Copy>
  FunnelTable clone(Touch&& touch, Copy&& copy) const {
    auto block = ArenaBlock::copy_of(arena_, storage_.region.entries,
                                     storage_.region.len * sizeof(entry_type));
    if (!block.ok()) throw AllocFailure(block.error(), arena_.size());
    FunnelTable t(reserve_exponent_, hasher_);
    try {
      t.shape_ = shape_;
    } catch (const std::bad_alloc&) {
      throw AllocFailure(TryReserveError::AllocError, arena_.size());
    }
    t.arena_ = std::move(block).value();
    const SlotRegion<entry_type> to{t.arena_.rebase(arena_, storage_.region.ctrl),
                                    t.arena_.rebase(arena_, storage_.region.entries),
                                    storage_.region.len};
    storage_.region.copy_values_to(to, touch, copy);
    t.storage_.region = to;
    t.summary_ = t.arena_.rebase(arena_, summary_);
    t.membership_count_ = membership_count_;
    t.exceptional_ = exceptional_;
    t.len_ = len_;
    t.tombstones_ = tombstones_;
    t.removals_since_refresh_ = removals_since_refresh_;
    return t;
  }

  // A moved-from table is empty, with no slots; it keeps its seed and
  // exponent and grows again on the next insertion.
  FunnelTable(FunnelTable&& o) noexcept
      : reserve_exponent_(o.reserve_exponent_), hasher_(o.hasher_) {
    take(o);
  }

  // The old entries are released only after this table holds the new ones.
  FunnelTable& operator=(FunnelTable&& o) noexcept {
    if (this != &o) {
      FunnelTable old(std::move(*this));
      take(o);
    }
    return *this;
  }

  FunnelTable(const FunnelTable&) = delete;
  FunnelTable& operator=(const FunnelTable&) = delete;
  // A table without a block owns no entries (moved-from tables are such).
  ~FunnelTable() {
    if (!arena_.empty()) release();
  }

  // ---------------------------------------------------------------- lookup

  // The slot of the entry whose key equals `key`, x being its table hash.
  template <class Q>
  std::optional<std::size_t> find(const Q& key, std::uint64_t x) const {
    const std::size_t slot = find_slot(key, x);
    if (slot == kNoSlot) return std::nullopt;
    return slot;
  }

  // The entry of an equal stored key, or null: a lookup that reads the
  // entry where its search ended, without checking the slot again.
  template <class Q>
  const entry_type* find_entry(const Q& key, std::uint64_t x) const {
    const std::size_t slot = find_slot(key, x);
    return slot != kNoSlot ? storage_.region.entries + slot : nullptr;
  }

  entry_type& entry_at(std::size_t slot) {
    check_bounds(slot);
    return storage_.region.entries[slot];
  }
  const entry_type& entry_at(std::size_t slot) const {
    check_bounds(slot);
    return storage_.region.entries[slot];
  }

  // Next full slot in index order: levels, then the uniform part, then the
  // two-choice part.
  std::optional<std::size_t> scan_next(Cursor& cursor) const {
    if (!cursor.started) {
      cursor.groups = GroupCursor::over(storage_.region.ctrl, storage_.region.len);
      cursor.started = true;
    }
    return cursor.groups.next_full();
  }

  // Calls f(entry) for every entry in scan order; f must leave the table
  // alone.
  template <class F>
  void for_each(F&& f) const {
    for_each_full(storage_.region.ctrl, storage_.region.len,
                  [&](std::size_t p) { f(storage_.region.entries[p]); });
  }

  // ---------------------------------------------------------------- insertion

  // Inserts (key, value) with table hash x. An equal stored key keeps its
  // object and gets the new value: the old value is returned and the passed
  // key destroyed. Growth that cannot be had throws AllocFailure before
  // anything changes, leaving key and value with the caller.
  std::optional<V> insert(K&& key, V&& value, std::uint64_t x) {
    if (membership_count_ != 0 && summary_may_contain(x)) {
      const std::uint8_t t = fingerprint_of(x);
      const PreparedProbe p = PreparedProbe::of(x);
      const FunnelOutcome out = search_exact_prepared_for_insert(key, p, t, nullptr);
      if (out.kind == FunnelSearch::Found) {
        return replace(out.slot, std::move(key), std::move(value));
      }
      if (exceptional_) {
        const std::size_t slot = scan_off_path(key, t, [&](ComparedSlots* noted) {
          search_exact_prepared_for_insert(key, p, t, noted);
        });
        if (slot != kNoSlot) return replace(slot, std::move(key), std::move(value));
      }
      if (len_ < shape_.insert_limit) {
        place(out, "Funnel insertion limit reserves a free slot", std::move(key), std::move(value),
              x, t);
        return std::nullopt;
      }
    }
    insert_absent(std::move(key), std::move(value), x);
    return std::nullopt;
  }

  // Places a key the caller knows to be absent, with table hash x, in the
  // first free slot of its path, growing first at the limit; no key is
  // compared. Growth that cannot be had throws AllocFailure before anything
  // changes, leaving key and value with the caller.
  void insert_absent(K&& key, V&& value, std::uint64_t x) {
    if (len_ >= shape_.insert_limit) grow_for_next_insert();
    place(vacancy_search(PreparedProbe::of(x)), "Funnel insertion limit reserves a free slot",
          std::move(key), std::move(value), x, fingerprint_of(x));
  }

  // Room for len() + additional entries in at most one rebuild.
  void reserve(std::size_t additional) {
    const std::size_t required = saturating_add(len_, additional);
    if (required <= shape_.insert_limit) return;
    const auto slots = funnel_next_growth_slots(reserve_exponent_, shape_.insert_limit, required);
    if (!slots) throw AllocFailure(TryReserveError::CapacityOverflow);
    resize_or_throw(*slots);
  }

  // ---------------------------------------------------------------- removal

  entry_type remove(std::size_t slot) {
    entry_type e = take(slot);
    finish_deferred_removals();
    return e;
  }

  // Tombstones the slot without maintenance, so a scan in progress stays valid.
  entry_type remove_deferred(std::size_t slot) { return take(slot); }

  // A same-size rebuild once tombstones pass the rebuild limit, else a summary
  // refresh once more removals than the limit have piled up. A rebuild that
  // cannot get memory leaves the valid table as it is.
  void finish_deferred_removals() {
    if (tombstones_ > tombstone_limit(storage_.region.len) ||
        removals_since_refresh_ > shape_.insert_limit) [[unlikely]]
      maintain_after_removals();
  }

  // Out of line, also where callers are flattened: it runs once in many
  // removals.
  [[gnu::noinline]] void maintain_after_removals() {
    if (tombstones_ > tombstone_limit(storage_.region.len)) {
      auto storage = build_storage(storage_.region.len, reserve_exponent_);
      if (storage) {
        resize_with_transition(std::move(storage).value());
        return;
      }
    }
    if (removals_since_refresh_ > shape_.insert_limit) refresh_membership();
  }

  // Releases every entry; keeps the geometry, the storage and the capacity.
  // Each slot is settled before its entry is handed to `take` (which must not
  // throw) and destroyed, so a caller can release the entries once the whole
  // table is reset.
  void clear() {
    clear([](entry_type&&) noexcept {});
  }

  template <class Take>
  void clear(Take&& take) {
    std::uint8_t* ctrl = storage_.region.ctrl;
    const std::size_t n = storage_.region.len;
    for (std::size_t i = 0; i < n; ++i) {
      if (ctrl[i] == kCtrlTombstone) ctrl[i] = kCtrlEmpty;
    }
    tombstones_ = 0;
    for (std::size_t i = 0; i < n; i += kGroupWidth) {
      const std::uint64_t keep = mask_below(static_cast<unsigned>(std::min(n - i, kGroupWidth)));
      for (std::uint64_t full = group_full_mask(load_group(ctrl + i)) & keep; full != 0;
           full &= full - 1) {
        const std::size_t slot = i + mask_lowest(full);
        ctrl[slot] = kCtrlEmpty;
        --len_;
        take(std::move(storage_.region.entries[slot]));
        std::destroy_at(&storage_.region.entries[slot]);
      }
    }
    exceptional_ = false;
    std::fill_n(summary_, membership_count_, std::uint64_t{0});
    removals_since_refresh_ = 0;
  }

  // ---------------------------------------------------------------- accessors

  std::size_t len() const noexcept { return len_; }
  std::size_t capacity() const noexcept { return shape_.insert_limit; }
  // Everything the table allocated: one arena holds slots, control bytes and
  // summaries.
  std::size_t heap_bytes() const noexcept { return arena_.size(); }
  std::uint64_t seed() const noexcept { return hasher_; }
  std::size_t slots() const noexcept { return storage_.region.len; }
  const FunnelShape& shape() const noexcept { return shape_; }
  std::size_t insert_limit() const noexcept { return shape_.insert_limit; }
  std::size_t tombstones() const noexcept { return tombstones_; }
  bool exceptional() const noexcept { return exceptional_; }
  std::uint32_t reserve_exponent() const noexcept { return reserve_exponent_; }
  std::size_t membership_count() const noexcept { return membership_count_; }
  std::size_t removals_since_refresh() const noexcept { return removals_since_refresh_; }
  std::size_t block_size() const noexcept { return arena_.size(); }
  std::uint8_t control(std::size_t slot) const {
    check_bounds(slot);
    return storage_.region.ctrl[slot];
  }

  // Whether both summary bits of table hash x are set.
  bool summary_may_contain(std::uint64_t x) const noexcept {
    if (membership_count_ == 0) return false;
    return summary_holds(summary_[mul_hi(x, membership_count_)], x);
  }

  // Empty when every invariant holds; otherwise what broke.
  std::string check_invariants() const {
    const std::size_t n = storage_.region.len;
    const std::uint8_t* ctrl = storage_.region.ctrl;
    if (n != shape_.slots) return "storage length differs from the shape";
    if (shape_.insert_limit > n || len_ > shape_.insert_limit) {
      return "len <= insert_limit <= n broken";
    }
    std::size_t full = 0, tombs = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (ctrl[i] == kCtrlTombstone) {
        ++tombs;
      } else if (ctrl_is_full(ctrl[i])) {
        ++full;
        const std::uint64_t x = table_hash_of(storage_.region.entries[i].key);
        if (ctrl[i] != fingerprint_of(x)) {
          return "slot " + std::to_string(i) + " holds a byte other than its key's fingerprint";
        }
        if (!summary_may_contain(x)) return "slot " + std::to_string(i) + " lacks its summary bits";
      } else if (ctrl[i] != kCtrlEmpty) {
        return "slot " + std::to_string(i) + " has an invalid control byte";
      }
    }
    for (const LevelShape& level : shape_.levels) {
      for (std::size_t b = 0; b < level.buckets; ++b) {
        const std::uint8_t* bucket = ctrl + level.start + b * shape_.bucket_width;
        const std::uint8_t* empty = std::find(bucket, bucket + shape_.bucket_width, kCtrlEmpty);
        if (std::any_of(empty, bucket + shape_.bucket_width, ctrl_is_full)) {
          return "bucket at slot " + std::to_string(bucket - ctrl) +
                 " has a full slot after an empty one";
        }
      }
    }
    for (std::size_t i = n; n != 0 && i < n + kFunnelCtrlTail; ++i) {
      if (ctrl[i] != kCtrlEmpty) return "control tail byte " + std::to_string(i - n) + " is set";
    }
    if (full != len_) {
      return "len " + std::to_string(len_) + " but " + std::to_string(full) + " full slots";
    }
    if (tombs != tombstones_) {
      return "tombstones " + std::to_string(tombstones_) + " but " + std::to_string(tombs) +
             " in control";
    }
    return {};
  }

 private:
  template <class T>
  friend struct TableInternals;

  // The full probe path with the slot rule, remembering the first tombstone.
  template <class Q>
  FunnelOutcome search_exact_mode(const Q& key, const PreparedProbe& p, std::uint8_t t,
                                  ComparedSlots* compared) const {
    if (storage_.region.len == 0) return {FunnelSearch::Exhausted, 0};
    ProbeTally tally;
    std::size_t tomb = kNoSlot;
    FunnelOutcome out{};
    for (const LevelShape& level : shape_.levels) {
      const std::size_t b = level_bucket(p, level);
      if (b == kUnreduced) return {FunnelSearch::Unreduced, 0};
      const std::size_t start = level.start + b * shape_.bucket_width;
      prefetch_entries(start);
      if (scan_bucket(key, start, t, tomb, out, tally, compared)) return out;
    }
    return search_special(key, p, t, tomb, tally, compared);
  }

  // Same result as search_exact_mode. Without tombstones every free slot is
  // empty, so a bucket holds its keys before its first free slot: one group
  // read finds both the candidates and the end of the search.
  template <class Q>
  FunnelOutcome search_exact_prepared_for_insert(const Q& key, const PreparedProbe& p,
                                                 std::uint8_t t, ComparedSlots* compared) const {
    if (tombstones_ != 0) return search_exact_mode(key, p, t, compared);
    if (storage_.region.len == 0) return {FunnelSearch::Exhausted, 0};
    ProbeTally tally;
    const std::uint8_t* ctrl = storage_.region.ctrl;
    const std::size_t width = shape_.bucket_width;
    for (const LevelShape& level : shape_.levels) {
      const std::size_t b = level_bucket(p, level);
      if (b == kUnreduced) return {FunnelSearch::Unreduced, 0};
      const std::size_t start = level.start + b * width;
      prefetch_entries(start);
      for (std::size_t off = 0; off < width; off += kGroupWidth) {
        const std::uint64_t w = load_group(ctrl + start + off);
        const std::uint64_t keep =
            mask_below(static_cast<unsigned>(std::min(width - off, kGroupWidth)));
        const std::uint64_t free = group_free_mask(w) & keep;
        std::uint64_t match = group_match_mask(w, t) & keep;
        if (free != 0) match &= (free & (0 - free)) - 1;
        for (; match != 0; match &= match - 1) {
          const std::size_t slot = start + off + mask_lowest(match);
          if (equal_at(key, slot, compared)) return {FunnelSearch::Found, slot};
        }
        if (free != 0) return {FunnelSearch::Vacant, start + off + mask_lowest(free)};
      }
    }
    std::size_t tomb = kNoSlot;
    return search_special(key, p, t, tomb, tally, compared);
  }

  // First free slot on the path of a key known to be absent; compares no keys.
  // A narrow bucket is one group read.
  FunnelOutcome vacancy_search(const PreparedProbe& p) const {
    if (storage_.region.len == 0) return {FunnelSearch::Exhausted, 0};
    const std::size_t width = shape_.bucket_width;
    const std::uint8_t* ctrl = storage_.region.ctrl;
    const std::uint64_t narrow_keep =
        mask_below(static_cast<unsigned>(std::min(width, kGroupWidth)));
    for (const LevelShape& level : shape_.levels) {
      const std::size_t b = level_bucket(p, level);
      if (b == kUnreduced) [[unlikely]]
        return {FunnelSearch::Unreduced, 0};
      const std::size_t start = level.start + b * width;
      std::size_t slot;
      if (width <= kGroupWidth) {
        const std::uint64_t free = group_free_mask(load_group(ctrl + start)) & narrow_keep;
        slot = free != 0 ? start + mask_lowest(free) : kNoSlot;
      } else {
        slot = first_free_in_bucket(start, width);
      }
      if (slot != kNoSlot) return {FunnelSearch::Vacant, slot};
    }
    return search_vacancy_special(p);
  }

  // The special array's share of the vacancy search: uniform probes, then the
  // two buckets alternately, so the key lands in the less-loaded one.
  FunnelOutcome search_vacancy_special(const PreparedProbe& p) const {
    const FunnelShape& s = shape_;
    for (std::size_t j = 0; j < s.special_probes; ++j) {
      const std::size_t i = unbiased_prepared_funnel_probe_index_in_range(
          p, funnel_probe_salt(kUniformSalt, static_cast<std::uint8_t>(j)), s.uniform_threshold,
          s.uniform_len);
      if (i == kUnreduced) return {FunnelSearch::Unreduced, 0};
      if (ctrl_is_free(storage_.region.ctrl[s.uniform_start + i])) {
        return {FunnelSearch::Vacant, s.uniform_start + i};
      }
    }
    const auto pair = pair_buckets(p);
    if (!pair) return {FunnelSearch::Unreduced, 0};
    for (std::size_t k = 0; k < s.pair_width; ++k) {
      if (ctrl_is_free(storage_.region.ctrl[pair->first + k])) {
        return {FunnelSearch::Vacant, pair->first + k};
      }
      if (ctrl_is_free(storage_.region.ctrl[pair->second + k])) {
        return {FunnelSearch::Vacant, pair->second + k};
      }
    }
    return {FunnelSearch::Exhausted, 0};
  }

  // Moves the table to the next geometry; at least doubles the limit.
  // Growth and rebuilds stay out of line, also where callers are flattened.
  [[gnu::noinline]] void grow_for_next_insert() {
    const auto slots = funnel_next_growth_slots(reserve_exponent_, shape_.insert_limit,
                                         saturating_add(len_, 1));
    if (!slots) throw AllocFailure(TryReserveError::CapacityOverflow);
    resize_or_throw(*slots);
  }

  // Rebuilds the summary array from the live entries.
  void refresh_membership() {
    std::fill_n(summary_, membership_count_, std::uint64_t{0});
    removals_since_refresh_ = 0;
    Cursor cursor;
    while (const auto slot = scan_next(cursor)) {
      mark_summary(table_hash_of(storage_.region.entries[*slot].key));
    }
  }

  static constexpr std::size_t kNoSlot = kUnreduced;
  static constexpr std::size_t kPastLevels = kNoSlot - 1;
  static constexpr std::size_t kUndecided = kNoSlot - 2;

  // The single region of the arena, as the drop guard sees it.
  struct FlatStorage {
    SlotRegion<entry_type> region;
    void drop_all_values() noexcept { region.drop_values(); }
  };

  // A new shape with its zeroed block, built before the table is touched.
  struct Storage {
    FunnelShape shape;
    ArenaBlock block;
    ArenaLayout layout;
  };
  struct StorageError {
    TryReserveError kind;
    std::size_t size;
  };

  FunnelTable(std::uint32_t e, std::uint64_t seed) noexcept : reserve_exponent_(e), hasher_(seed) {}

  static Result<Storage, StorageError> build_storage(std::size_t n, std::uint32_t e) {
    auto shape = funnel_shape_for(n, e);
    if (!shape) {
      if (shape.error().kind == FunnelShapeError::Kind::Alloc) {
        return StorageError{TryReserveError::AllocError, 0};
      }
      panic("compatible Funnel resize geometry: " + shape.error().debug());
    }
    const auto layout = funnel_layout<entry_type>(n);
    if (!layout) return StorageError{layout.error(), 0};
    auto block = ArenaBlock::allocate(layout.value(), BlockSourceFor<K>::source);
    if (!block) return StorageError{block.error(), layout.value().size};
    return Storage{std::move(shape).value(), std::move(block).value(), layout.value()};
  }

  // Installs fresh storage as an empty table of its shape.
  void adopt(Storage&& s) noexcept {
    arena_ = std::move(s.block);
    shape_ = std::move(s.shape);
    storage_.region.ctrl = arena_.template at<std::uint8_t>(0);
    storage_.region.entries = arena_.template at<entry_type>(s.layout.slot_offset);
    storage_.region.len = s.layout.slots;
    summary_ = arena_.template at<std::uint64_t>(s.layout.summary_offset);
    membership_count_ = s.layout.summary_count;
    len_ = 0;
    tombstones_ = 0;
    removals_since_refresh_ = 0;
    exceptional_ = false;
  }

  void resize_or_throw(std::size_t slots) {
    auto storage = build_storage(slots, reserve_exponent_);
    if (!storage) throw AllocFailure(storage.error().kind, storage.error().size);
    resize_with_transition(std::move(storage).value());
  }

  // Moves every entry into the fresh storage, each to the first free slot of
  // its path there; the old block stays guarded until it is empty, so an
  // unwinding drain drops exactly the entries not yet moved.
  [[gnu::noinline]] void resize_with_transition(Storage&& fresh) {
    ArenaDropGuard<FlatStorage> old(std::move(arena_), storage_);
    adopt(std::move(fresh));
    old.regions().region.drain_values_and_clear([this](entry_type&& e) {
      const std::uint64_t x = table_hash_of(e.key);
      const std::uint8_t t = fingerprint_of(x);
      const FunnelOutcome out = vacancy_search(PreparedProbe::of(x));
      place(out, "Funnel rebuild has enough logical capacity", std::move(e.key), std::move(e.value),
            x, t);
    });
    old.disarm_values();
  }

  // Moves the whole state of `o` into this table, which holds nothing, and
  // leaves `o` empty with no slots: one pass over the members, where a swap
  // with an empty table would move each three times.
  void take(FunnelTable& o) noexcept {
    storage_ = std::exchange(o.storage_, FlatStorage{});
    summary_ = std::exchange(o.summary_, nullptr);
    membership_count_ = std::exchange(o.membership_count_, 0);
    shape_ = std::exchange(o.shape_, FunnelShape{});
    exceptional_ = std::exchange(o.exceptional_, false);
    len_ = std::exchange(o.len_, 0);
    tombstones_ = std::exchange(o.tombstones_, 0);
    removals_since_refresh_ = std::exchange(o.removals_since_refresh_, 0);
    reserve_exponent_ = o.reserve_exponent_;
    hasher_ = o.hasher_;
    arena_ = std::move(o.arena_);
  }

  // Takes the table's block out (leaving it empty) and drops its entries.
  void release() noexcept {
    ArenaDropGuard<FlatStorage> old(std::move(arena_), std::exchange(storage_, FlatStorage{}));
    summary_ = nullptr;
    membership_count_ = 0;
    shape_ = FunnelShape{};
    len_ = 0;
    tombstones_ = 0;
    removals_since_refresh_ = 0;
    exceptional_ = false;
  }

  std::uint64_t table_hash_of(const K& key) const {
    return table_hash(KeyTraits<K>::hash(key), hasher_);
  }

  void check_bounds(std::size_t slot) const {
    if (slot >= storage_.region.len) panic("Funnel slot index out of bounds");
  }

  void mark_summary(std::uint64_t x) noexcept {
    const SummaryBits bits = SummaryBits::of(x, membership_count_);
    summary_[bits.word] |= bits.mask;
  }

  std::optional<V> replace(std::size_t slot, K&& key, V&& value) {
    V old = std::exchange(storage_.region.entries[slot].value, std::move(value));
    [[maybe_unused]] const K dropped(std::move(key));
    return old;
  }

  // Writes a new entry at the outcome's slot, or, when the path offered none,
  // at the first free slot of the table (marking the table exceptional).
  void place(const FunnelOutcome& out, const char* no_room, K&& key, V&& value, std::uint64_t x,
             std::uint8_t t) {
    std::size_t slot = out.slot;
    const bool off_path = out.kind != FunnelSearch::Vacant;
    if (off_path) {
      slot = first_free_slot();
      if (slot == kNoSlot) panic(no_room);
    }
    // Braces, not std::construct_at: an aggregate built from parentheses
    // needs Clang 16.
    ::new (static_cast<void*>(&storage_.region.entries[slot])) entry_type{std::move(key), std::move(value)};
    std::uint8_t& c = storage_.region.ctrl[slot];
    if (c == kCtrlTombstone) --tombstones_;
    c = t;
    mark_summary(x);
    ++len_;
    if (off_path) exceptional_ = true;
  }

  entry_type take(std::size_t slot) {
    check_bounds(slot);
    std::uint8_t& c = storage_.region.ctrl[slot];
    if (!ctrl_is_full(c)) panic("Funnel removal of a slot that holds no entry");
    entry_type& stored = storage_.region.entries[slot];
    entry_type e(std::move(stored));
    c = kCtrlTombstone;
    --len_;
    ++tombstones_;
    ++removals_since_refresh_;
    std::destroy_at(&stored);
    return e;
  }

  // The slot of the entry whose key equals `key`, or kNoSlot.
  template <class Q>
  std::size_t find_slot(const Q& key, std::uint64_t x) const {
    if (membership_count_ == 0) return kNoSlot;
    if (!summary_may_contain(x)) {
      ProbeTally::summary_reject();
      return kNoSlot;
    }
    const std::uint8_t t = fingerprint_of(x);
    ProbeTally tally;
    const PreparedProbe p = PreparedProbe::of(x);
    std::size_t slot = find_on_path(key, p, t, tally, nullptr);
    if (slot == kNoSlot && exceptional_) {
      slot = scan_off_path(key, t, [&](ComparedSlots* noted) {
        ProbeTally replay;
        find_on_path(key, p, t, replay, noted);
      });
    }
    tally.record(slot != kNoSlot);
    return slot;
  }

  // Lookup along the path. A level bucket fills from its first slot (see the
  // class invariants), so every key in it comes before its empty slots: the
  // search ends at the first bucket whose last slot is empty, and within a
  // bucket any fingerprint match may be compared without regard to empties.
  template <class Q>
  std::size_t find_on_path(const Q& key, const PreparedProbe& p, std::uint8_t t,
                           ProbeTally& tally, ComparedSlots* compared) const {
    const LevelShape* const levels = shape_.levels.data();
    const std::size_t slot = shape_.bucket_width <= kGroupWidth
                                 ? find_in_levels<true>(key, p, t, tally, compared, levels)
                                 : find_in_levels<false>(key, p, t, tally, compared, levels);
    if (slot != kPastLevels) [[likely]]
      return slot;
    return find_in_special(key, p, t, tally, compared);
  }

  // Where a level search stopped: at the lowest match of `mask`, in the group
  // at slot `group` of the bucket at `start` of level `level`.
  struct LevelStop {
    const LevelShape* level;
    std::size_t start;
    std::size_t group;
    FingerprintMatcher::Mask mask;
  };

  // The level part of a lookup, from level `first` on: the key's slot,
  // kNoSlot when the search ended, or kPastLevels. A narrow bucket is one
  // group read. Each bucket's entries are fetched as soon as its position is
  // known, so the key comparison does not wait for the control bytes and
  // then for the entry. This loop is inlined into every lookup, so it only
  // compares inline (`quick_match`); a match that needs the key type's full
  // comparison hands the search to `find_in_levels_from`, and the loop keeps
  // nothing across a call.
  template <bool kNarrow, class Q>
  std::size_t find_in_levels(const Q& key, const PreparedProbe& p, std::uint8_t t,
                             ProbeTally& tally, ComparedSlots* compared,
                             const LevelShape* first) const {
    const std::uint8_t* ctrl = storage_.region.ctrl;
    const std::size_t width = shape_.bucket_width;
    const FingerprintMatcher matcher(t);
    const auto keep = FingerprintMatcher::first(kNarrow ? width : kGroupWidth);
    const LevelShape* const levels_end = shape_.levels.data() + shape_.levels.size();
    for (const LevelShape* level = first; level != levels_end; ++level) {
      const std::size_t b = level_bucket(p, *level);
      if (b == kUnreduced) [[unlikely]]
        return kNoSlot;
      const std::size_t start = level->start + b * width;
      prefetch_entries(start);
      tally.probe();
      // A found slot, or the search handed over at the match left in `mask`.
      const auto settle = [&](std::size_t slot, std::size_t group, FingerprintMatcher::Mask mask) {
        if (!kHasQuickMatch<K> || slot != kUndecided) {
          // A found slot is none of the sentinels; said here, the tests of
          // it against them on the way out fold away.
          assume(slot < kUndecided);
          return slot;
        }
        return find_in_levels_from<kNarrow>(
            key, p, t, tally, compared,
            LevelStop{level, start, group, mask});
      };
      if constexpr (kNarrow) {
        auto mask = matcher(ctrl + start) & keep;
        const std::size_t slot = quick_match_in_group(key, start, mask, tally, compared);
        if (slot != kNoSlot) return settle(slot, start, mask);
      } else {
        for (std::size_t group = start; group < start + width; group += kGroupWidth) {
          auto mask = group_matches(matcher, group, start + width);
          const std::size_t slot = quick_match_in_group(key, group, mask, tally, compared);
          if (slot != kNoSlot) return settle(slot, group, mask);
        }
      }
      if (ctrl[start + width - 1] == kCtrlEmpty) return kNoSlot;
    }
    return kPastLevels;
  }

  // The rest of a level search that stopped at a match only a full
  // comparison settles: that match and the rest of its bucket, compared in
  // full, then the levels after it.
  template <bool kNarrow, class Q>
  [[gnu::noinline]] std::size_t find_in_levels_from(const Q& key, PreparedProbe p, std::uint8_t t,
                                                    ProbeTally& tally, ComparedSlots* compared,
                                                    LevelStop stop) const {
    const std::uint8_t* ctrl = storage_.region.ctrl;
    const std::size_t end = stop.start + shape_.bucket_width;
    const FingerprintMatcher matcher(t);
    auto mask = stop.mask;
    for (std::size_t group = stop.group;;) {
      const std::size_t slot = match_in_group(key, group, mask, tally, compared);
      if (slot != kNoSlot) return slot;
      group += kGroupWidth;
      if (group >= end) break;
      mask = group_matches(matcher, group, end);
    }
    if (ctrl[end - 1] == kCtrlEmpty) return kNoSlot;
    return find_in_levels<kNarrow>(key, p, t, tally, compared, stop.level + 1);
  }

  // The fingerprint matches in the group at `group` of a wide bucket that
  // ends at `end`.
  [[gnu::always_inline]] FingerprintMatcher::Mask group_matches(const FingerprintMatcher& matcher,
                                                                std::size_t group,
                                                                std::size_t end) const noexcept {
    return matcher(storage_.region.ctrl + group) &
           FingerprintMatcher::first(std::min(end - group, kGroupWidth));
  }

  // `match_in_group` as far as the matches are settled inline: kUndecided
  // when one needs a full comparison, which `mask` then keeps as its lowest
  // bit.
  template <class Q, class Mask>
  [[gnu::always_inline]] std::size_t quick_match_in_group(const Q& key, std::size_t group,
                                                          Mask& mask, ProbeTally& tally,
                                                          ComparedSlots* compared) const {
    for (; mask != 0; mask &= mask - 1) {
      const std::size_t slot = group + FingerprintMatcher::offset(mask);
      const QuickMatch m = quick_match_at(key, slot, compared);
      if (m == QuickMatch::Unknown) [[unlikely]]
        return kUndecided;
      tally.compare();
      if (m == QuickMatch::Equal) return slot;
    }
    return kNoSlot;
  }

  // The slot of `key` among the fingerprint matches `mask` of the group at
  // `group`, or kNoSlot.
  template <class Q, class Mask>
  std::size_t match_in_group(const Q& key, std::size_t group, Mask mask, ProbeTally& tally,
                             ComparedSlots* compared) const {
    for (; mask != 0; mask &= mask - 1) {
      const std::size_t slot = group + FingerprintMatcher::offset(mask);
      tally.compare();
      if (equal_at(key, slot, compared)) return slot;
    }
    return kNoSlot;
  }

  // Whether `key` equals the key in `slot`, through `compared` when the
  // search keeps a record. Level buckets are disjoint and each is read once,
  // so only the special array, whose probes may meet, and a scan of the
  // whole table after the path need one.
  template <class Q>
  bool equal_at(const Q& key, std::size_t slot, ComparedSlots* compared) const {
    const K& stored = storage_.region.entries[slot].key;
    return compared != nullptr ? compared->equal(key, stored, slot)
                               : KeyTraits<K>::eq(key, stored);
  }

  // `equal_at` as far as it is settled inline; a search that keeps a record
  // compares in full.
  template <class Q>
  QuickMatch quick_match_at(const Q& key, std::size_t slot, ComparedSlots* compared) const {
    if (compared != nullptr) {
      return equal_at(key, slot, compared) ? QuickMatch::Equal : QuickMatch::Unequal;
    }
    return quick_match(key, storage_.region.entries[slot].key);
  }

  // After a path search that missed, in a table with off-path entries: the
  // slots holding the fingerprint that the search did not compare. It
  // compared every match it met, all unequal, so running it again, through
  // `path(record)`, with a record that only notes rebuilds the set without
  // comparing any key a second time.
  template <class Q, class Path>
  [[gnu::noinline]] std::size_t scan_off_path(const Q& key, std::uint8_t t, Path&& path) const {
    ComparedSlots compared(storage_.region.len, ComparedSlots::kNoteOnly);
    path(&compared);
    compared.compare_from_now();
    ProbeTally::fallback_scan();
    return exceptional_scan(key, t, compared);
  }

  // Smaller tables keep their entries in the caches between lookups, where
  // the prefetches only add instructions.
  static constexpr std::size_t kPrefetchEntriesFrom = std::size_t{1} << 14;

  // Starts loading the entries of the bucket at `start`: its first two cache
  // lines and its last, which is all of it up to 129 bytes. Addresses are
  // formed as integers: a prefetch never faults, even past the block. Always
  // inlined: GCC deems an out-of-line function of prefetches alone free of
  // effects and drops its calls.
  [[gnu::always_inline]] void prefetch_entries(std::size_t start) const noexcept {
    if (storage_.region.len < kPrefetchEntriesFrom) return;
    const auto first = reinterpret_cast<std::uintptr_t>(storage_.region.entries + start);
    const std::uintptr_t last = first + shape_.bucket_width * sizeof(entry_type) - 1;
    __builtin_prefetch(reinterpret_cast<const void*>(first));
    __builtin_prefetch(reinterpret_cast<const void*>(first + 64));
    __builtin_prefetch(reinterpret_cast<const void*>(last));
  }

  // A lookup that passed every level: the special array under the slot rule.
  template <class Q>
  [[gnu::noinline]] std::size_t find_in_special(const Q& key, const PreparedProbe& p,
                                                std::uint8_t t, ProbeTally& tally,
                                                ComparedSlots* compared) const {
    std::size_t tomb = kNoSlot;
    const FunnelOutcome out = search_special(key, p, t, tomb, tally, compared);
    return out.kind == FunnelSearch::Found ? out.slot : kNoSlot;
  }

  // Applies the slot rule to the candidates of one bucket (bytes equal to t
  // or free) in slot order; true when the search ends, with `out` set. Wider
  // buckets are read in groups of min(8, slots left).
  template <class Q>
  bool scan_bucket(const Q& key, std::size_t start, std::uint8_t t, std::size_t& tomb,
                   FunnelOutcome& out, ProbeTally& tally, ComparedSlots* compared) const {
    tally.probe();
    const std::uint8_t* ctrl = storage_.region.ctrl;
    const std::size_t width = shape_.bucket_width;
    for (std::size_t off = 0; off < width; off += kGroupWidth) {
      const std::uint64_t keep =
          mask_below(static_cast<unsigned>(std::min(width - off, kGroupWidth)));
      std::uint64_t cand = group_match_or_free_mask(load_group(ctrl + start + off), t) & keep;
      for (; cand != 0; cand &= cand - 1) {
        if (slot_rule(key, start + off + mask_lowest(cand), t, tomb, out, tally, compared)) {
          return true;
        }
      }
    }
    return false;
  }

  // One slot of the path: a tombstone is remembered, an empty slot ends the
  // search as Vacant (at the first tombstone, if any), a fingerprint match is
  // compared unless it was before (uniform probes may repeat a slot, and the
  // two buckets may be one).
  template <class Q>
  bool slot_rule(const Q& key, std::size_t slot, std::uint8_t t, std::size_t& tomb,
                 FunnelOutcome& out, ProbeTally& tally, ComparedSlots* compared) const {
    const std::uint8_t c = storage_.region.ctrl[slot];
    if (c == kCtrlTombstone) {
      if (tomb == kNoSlot) tomb = slot;
      return false;
    }
    if (c == kCtrlEmpty) {
      out = {FunnelSearch::Vacant, tomb != kNoSlot ? tomb : slot};
      return true;
    }
    if (c != t) return false;
    tally.compare();
    if (!equal_at(key, slot, compared)) return false;
    out = {FunnelSearch::Found, slot};
    return true;
  }

  // The uniform probes and the two-choice buckets (alternately) under the
  // slot rule, then the end of the path.
  template <class Q>
  FunnelOutcome search_special(const Q& key, const PreparedProbe& p, std::uint8_t t,
                               std::size_t& tomb, ProbeTally& tally,
                               ComparedSlots* compared) const {
    ComparedSlots own(storage_.region.len);
    if (compared == nullptr) compared = &own;
    const FunnelShape& s = shape_;
    FunnelOutcome out{};
    for (std::size_t j = 0; j < s.special_probes; ++j) {
      const std::size_t i = unbiased_prepared_funnel_probe_index_in_range(
          p, funnel_probe_salt(kUniformSalt, static_cast<std::uint8_t>(j)), s.uniform_threshold,
          s.uniform_len);
      if (i == kUnreduced) return {FunnelSearch::Unreduced, 0};
      tally.probe();
      if (slot_rule(key, s.uniform_start + i, t, tomb, out, tally, compared)) return out;
    }
    const auto pair = pair_buckets(p);
    if (!pair) return {FunnelSearch::Unreduced, 0};
    tally.probe();
    tally.probe();
    for (std::size_t k = 0; k < s.pair_width; ++k) {
      if (slot_rule(key, pair->first + k, t, tomb, out, tally, compared)) return out;
      if (slot_rule(key, pair->second + k, t, tomb, out, tally, compared)) return out;
    }
    if (tomb != kNoSlot) return {FunnelSearch::Vacant, tomb};
    return {FunnelSearch::Exhausted, 0};
  }

  // First slots of the key's two two-choice buckets; nothing if either
  // reduction was rejected.
  std::optional<std::pair<std::size_t, std::size_t>> pair_buckets(const PreparedProbe& p) const {
    const FunnelShape& s = shape_;
    const std::size_t first = unbiased_prepared_funnel_probe_index_in_range(
        p, kPairFirstSalt, s.pair_threshold, s.pair_buckets);
    if (first == kUnreduced) return std::nullopt;
    const std::size_t second = unbiased_prepared_funnel_probe_index_in_range(
        p, kPairSecondSalt, s.pair_threshold, s.pair_buckets);
    if (second == kUnreduced) return std::nullopt;
    return std::pair{s.pair_start + first * s.pair_width, s.pair_start + second * s.pair_width};
  }

  std::size_t first_free_in_bucket(std::size_t start, std::size_t width) const noexcept {
    const std::uint8_t* ctrl = storage_.region.ctrl;
    for (std::size_t off = 0; off < width; off += kGroupWidth) {
      const std::uint64_t keep =
          mask_below(static_cast<unsigned>(std::min(width - off, kGroupWidth)));
      const std::uint64_t free = group_free_mask(load_group(ctrl + start + off)) & keep;
      if (free != 0) return start + off + mask_lowest(free);
    }
    return kNoSlot;
  }

  // First free slot of the whole table in index order (the tail bytes after
  // slot n - 1 read as empty and are masked off).
  std::size_t first_free_slot() const noexcept {
    return first_free_in_bucket(0, storage_.region.len);
  }

  // Fallback for tables with off-path entries: every slot whose byte is t,
  // in index order, but those the path search compared. The zero tail never
  // matches a fingerprint.
  template <class Q>
  std::size_t exceptional_scan(const Q& key, std::uint8_t t, ComparedSlots& compared) const {
    const std::uint8_t* ctrl = storage_.region.ctrl;
    const std::size_t n = storage_.region.len;
    for (std::size_t i = 0; i < n; i += kGroupWidth) {
      for (std::uint64_t match = group_match_mask(load_group(ctrl + i), t); match != 0;
           match &= match - 1) {
        const std::size_t slot = i + mask_lowest(match);
        if (compared.equal(key, storage_.region.entries[slot].key, slot)) return slot;
      }
    }
    return kNoSlot;
  }

  // Fields used by every lookup come first.
  FlatStorage storage_{};
  std::uint64_t* summary_ = nullptr;
  std::size_t membership_count_ = 0;
  FunnelShape shape_;
  bool exceptional_ = false;
  std::size_t len_ = 0;
  std::size_t tombstones_ = 0;
  std::size_t removals_since_refresh_ = 0;
  std::uint32_t reserve_exponent_;
  std::uint64_t hasher_;
  ArenaBlock arena_;
};

static_assert(TableBackend<FunnelTable<std::uint64_t, std::uint64_t>>);
static_assert(TableBackend<FunnelTable<std::uint64_t, Unit>>);

}  // namespace quarlex
