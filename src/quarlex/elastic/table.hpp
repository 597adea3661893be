// The elastic hashing table: open addressing without reordering.
//
// Slots are split into levels of roughly halving length (geometry.hpp) and
// filled in batches; a key is placed at the first free slot of its probe
// sequence in the level its batch picks, and never moves afterwards. A lookup
// checks the key's first slot in level 0, consults the key's membership record
// (a Bloom word and per-level masks) to skip absent keys and empty levels,
// then walks the probe schedule in query-position order.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarlex/collections/backend.hpp"
#include "quarlex/common/arena.hpp"
#include "quarlex/common/control.hpp"
#include "quarlex/common/errors.hpp"
#include "quarlex/common/hash.hpp"
#include "quarlex/common/key.hpp"
#include "quarlex/common/probe.hpp"
#include "quarlex/common/probe_stats.hpp"
#include "quarlex/common/scan.hpp"
#include "quarlex/elastic/geometry.hpp"
#include "quarlex/elastic/probe.hpp"

namespace quarlex {

// Conservative summary of the keys assigned to it (record floor(x * G / 2^64)
// of G): a clear Bloom bit proves absence, and bit k of level_masks[x & 3]
// is set when such a key may live in level k (bit 15: level 15 or deeper).
// Bits are only ever added, except by a refresh, a rebuild or a clear.
struct MembershipRecord {
  std::uint64_t bloom;
  std::array<std::uint16_t, 4> level_masks;
};
static_assert(sizeof(MembershipRecord) == 16);

// Invariants between operations:
// - len_ is the sum of the levels' live counts and never exceeds
//   insert_limit_ = slots_ - (slots_ >> e), so an insertion always finds a
//   free slot somewhere;
// - every live key is reachable: either the elastic rule placed it at probe j
//   of its level, with phi(level + 1, j) within the schedule's horizon and j
//   within that level's walk length, or exceptional_ is set and lookups that
//   miss the schedule scan the whole table;
// - every live key's Bloom bits and level bit are set in its membership
//   record;
// - the batch tracker is synced lazily: only when len_ has left its range.
// A rebuild or clear resets the schedule, walk lengths, records and
// exceptional_ along with the slots.
template <class K, class V>
class ElasticTable {
 public:
  using key_type = K;
  using mapped_type = V;
  using entry_type = SlotEntry<K, V>;

  struct Location {
    std::size_t level;
    std::size_t position;
    friend bool operator==(const Location&, const Location&) = default;
  };

  // Table-order scan position: level by level, each in ascending position.
  struct ScanCursor {
    std::size_t level = 0;
    bool started = false;
    GroupCursor group{};
  };
  using Cursor = ScanCursor;

  // Where the elastic rule puts a new key: probe j of a level, at query
  // position phi(level + 1, j), which is only worked out when the schedule
  // does not cover the probe already.
  struct SlotChoice {
    std::uint32_t probe;
    std::size_t level;
    std::size_t position;
    std::uint32_t query() const noexcept {
      return static_cast<std::uint32_t>(detail::phi_in_domain(level, probe));
    }
  };

  struct Vacancy {
    std::size_t position;
    std::uint32_t probe;
  };

  ElasticTable(const ElasticTable&) = delete;
  ElasticTable& operator=(const ElasticTable&) = delete;

  // A moved-from table is empty, with no slots; it keeps its seed and
  // exponent and grows again on the next insertion.
  ElasticTable(ElasticTable&& o) noexcept
      : reserve_exponent_(o.reserve_exponent_), hasher_(o.hasher_) {
    take(o);
  }

  // The old entries are released only after this table holds the new ones.
  ElasticTable& operator=(ElasticTable&& o) noexcept {
    if (this != &o) {
      ElasticTable old(std::move(*this));
      take(o);
    }
    return *this;
  }

  // Teardown: the table is emptied first and the old block handed to a
  // guard, so an entry destructor that runs arbitrary code sees an empty
  // table, and the block is freed even if a destructor unwinds. A table
  // without levels owns no entries (moved-from tables are such).
  ~ElasticTable() {
    if (levels_.empty()) return;
    ArenaDropGuard<LevelSet> guard(std::move(arena_), LevelSet{std::move(levels_)});
    len_ = 0;
    records_ = nullptr;
    membership_count_ = 0;
  }

  // ---------------------------------------------------------------- building

  static Result<ElasticTable, TryReserveError> try_from_geometry(ElasticGeometry geometry,
                                                                 std::uint32_t reserve_exponent,
                                                                 std::uint64_t seed) {
    if (reserve_exponent == 0) {
      panic_invalid_geometry();
    }
    auto shape = try_shape(std::move(geometry));
    if (!shape.ok()) return shape.error();
    ElasticTable t(reserve_exponent, seed);
    t.install(std::move(shape).value());
    return t;
  }

  static Result<ElasticTable, TryBuildError> try_with_capacity(std::size_t capacity,
                                                               std::uint32_t reserve_exponent,
                                                               std::uint64_t seed) {
    if (reserve_exponent == 0) {
      return TryBuildError(TryBuildError::InvalidReserve{ReserveIssue::ExponentNotPositive});
    }
    // No slots until the first insertion: an empty table needs no geometry.
    if (capacity == 0) return ElasticTable(reserve_exponent, seed);
    auto geometry = try_budget_geometry(capacity, reserve_exponent);
    if (!geometry.ok()) return TryBuildError(geometry.error());
    auto built = try_from_geometry(std::move(geometry).value(), reserve_exponent, seed);
    if (!built.ok()) return TryBuildError(built.error());
    return std::move(built).value();
  }

  // Throws AllocFailure when no geometry holds `capacity` entries or the
  // memory cannot be had.
  static ElasticTable with_capacity(std::size_t capacity, std::uint32_t reserve_exponent,
                                    std::uint64_t seed) {
    if (reserve_exponent == 0) {
      panic_invalid_geometry();
    }
    if (capacity == 0) return ElasticTable(reserve_exponent, seed);
    auto geometry = try_budget_geometry(capacity, reserve_exponent);
    if (!geometry.ok()) throw AllocFailure(geometry.error());
    const std::size_t slots = geometry.value().slots;
    auto built = try_from_geometry(std::move(geometry).value(), reserve_exponent, seed);
    if (!built.ok()) handle_elastic_alloc_error(built.error(), slots);
    return std::move(built).value();
  }

  // A copy with the same seed, exponent, levels, schedule and membership
  // records: the arena is copied as it is, tombstones included, and each
  // live entry through copy(entry, slot), touch(entry) running a few entries
  // ahead (SlotRegion::copy_values_to). Throws AllocFailure when the memory
  // cannot be had, before any entry is copied.
  template <class Touch, class Copy>
  ElasticTable clone(Touch&& touch, Copy&& copy) const {
    auto block = ArenaBlock::copy_of(
        arena_, levels_.empty() ? nullptr : levels_.front().region.entries,
        slots_ * sizeof(entry_type));
    if (!block.ok()) throw AllocFailure(block.error(), arena_.size());
    ElasticTable t(reserve_exponent_, hasher_);
    // Copied before the table takes the arena: until then its destructor
    // must find no level to drop.
    std::vector<Level> levels;
    try {
      levels = levels_;
      t.schedule_ = schedule_;
      t.batches_ = batches_;
    } catch (const std::bad_alloc&) {
      throw AllocFailure(TryReserveError::AllocError, arena_.size());
    }
    t.arena_ = std::move(block).value();
    for (Level& l : levels) {
      l.region.ctrl = t.arena_.rebase(arena_, l.region.ctrl);
      l.region.entries = t.arena_.rebase(arena_, l.region.entries);
    }
    if (!levels.empty()) {
      // The levels lie end to end in the arena: one region spans them all.
      const SlotRegion<entry_type> from{levels_.front().region.ctrl,
                                        levels_.front().region.entries, slots_};
      const SlotRegion<entry_type> to{levels.front().region.ctrl, levels.front().region.entries,
                                      slots_};
      from.copy_values_to(to, touch, copy);
    }
    t.levels_ = std::move(levels);
    t.records_ = t.arena_.rebase(arena_, records_);
    t.membership_count_ = membership_count_;
    t.len_ = len_;
    t.exceptional_ = exceptional_;
    t.slots_ = slots_;
    t.insert_limit_ = insert_limit_;
    t.removals_since_refresh_ = removals_since_refresh_;
    return t;
  }

  // The byte size an allocation failure reports: the arena for this many
  // slots, or 1 when that layout cannot be formed.
  static std::size_t elastic_alloc_failure_size(std::size_t slots) noexcept {
    auto layout = compute_arena_layout(slots, 0, sizeof(entry_type), sizeof(MembershipRecord));
    return layout.ok() ? layout.value().size : 1;
  }

  [[noreturn]] static void handle_elastic_alloc_error(TryReserveError kind, std::size_t slots) {
    throw AllocFailure(kind, elastic_alloc_failure_size(slots));
  }

  // ---------------------------------------------------------------- backend

  std::size_t len() const noexcept { return len_; }
  std::size_t capacity() const noexcept { return insert_limit_; }
  std::uint64_t seed() const noexcept { return hasher_; }

  template <class Q>
  std::optional<Location> find(const Q& probe, std::uint64_t table_hash) const {
    return find_slot_indices_prepared(probe, PreparedHash::from_table_hash(table_hash));
  }

  // The entry of an equal stored key, or null: a lookup that reads the
  // entry its search found, without checking the location again.
  template <class Q>
  const entry_type* find_entry(const Q& probe, std::uint64_t table_hash) const {
    const PreparedHash ph = PreparedHash::from_table_hash(table_hash);
    ProbeTally counter;
    const Walk w = walk(probe, ph, counter);
    if (w.kind == Walk::Found) {
      counter.record(true);
      return w.entry;
    }
    const auto loc = search_rest(probe, ph, counter, w);
    return loc ? &levels_[loc->level].region.entries[loc->position] : nullptr;
  }

  entry_type& entry_at(Location loc) {
    return levels_[checked_level(loc)].region.entries[loc.position];
  }
  const entry_type& entry_at(Location loc) const {
    return levels_[checked_level(loc)].region.entries[loc.position];
  }

  // Replaces the value of an equal stored key (the passed key is dropped on
  // return and the old value handed back), or places a new entry.
  std::optional<V> insert(K&& key, V&& value, std::uint64_t table_hash) {
    const PreparedHash ph = PreparedHash::from_table_hash(table_hash);
    if (auto loc = find_slot_indices_prepared(key, ph))
      return std::exchange(entry_at(*loc).value, std::move(value));
    insert_for_vacant_entry_prepared(std::move(key), std::move(value), ph);
    return std::nullopt;
  }

  // Places a key that no stored key equals, without the search `insert`
  // makes first.
  void insert_absent(K&& key, V&& value, std::uint64_t table_hash) {
    insert_for_vacant_entry_prepared(std::move(key), std::move(value),
                                     PreparedHash::from_table_hash(table_hash));
  }

  entry_type remove(Location loc) {
    entry_type e = take(loc);
    maintain(loc.level);
    return e;
  }

  entry_type remove_deferred(Location loc) { return take(loc); }

  // The maintenance owed after deferred removals: a same-size rebuild when a
  // level holds too many tombstones, else a membership refresh when enough
  // removals have made the records stale.
  void finish_deferred_removals() {
    for (const Level& l : levels_) {
      if (l.tombstones > tombstone_limit(l.region.len)) {
        if (rebuild_quietly(slots_)) return;
        break;
      }
    }
    if (removals_since_refresh_ > insert_limit_) refresh_membership();
  }

  // Drops every entry and keeps the arena. Each slot's control byte and the
  // counts are settled before its entry is handed to `take` (which must not
  // throw) and destroyed; a caller whose entries run code when released moves
  // them out here and releases them once the whole table is reset.
  void clear() noexcept {
    clear([](entry_type&&) noexcept {});
  }

  template <class Take>
  void clear(Take&& take) noexcept {
    for (Level& l : levels_) {
      std::uint8_t* ctrl = l.region.ctrl;
      for (std::size_t i = 0; i < l.region.len; ++i) {
        if (i + kGroupWidth <= l.region.len && load_group(ctrl + i) == 0) {
          i += kGroupWidth - 1;
          continue;
        }
        const std::uint8_t b = ctrl[i];
        if (b == kCtrlEmpty) continue;
        ctrl[i] = kCtrlEmpty;
        if (b == kCtrlTombstone) {
          --l.tombstones;
          continue;
        }
        --l.occupied;
        --len_;
        take(std::move(l.region.entries[i]));
        std::destroy_at(&l.region.entries[i]);
      }
    }
    batches_.sync(0);
    reset_placement_state();
    if (membership_count_ > 0)
      std::memset(records_, 0, membership_count_ * sizeof(MembershipRecord));
    removals_since_refresh_ = 0;
  }

  [[gnu::always_inline]] std::optional<Location> scan_next(Cursor& c) const {
    if (!c.started) {
      c.started = true;
      c.level = 0;
      if (!levels_.empty()) c.group = group_over(0);
    }
    while (c.level < levels_.size()) {
      if (auto i = c.group.next_full()) return Location{c.level, *i};
      if (++c.level < levels_.size()) c.group = group_over(c.level);
    }
    return std::nullopt;
  }

  // Calls f(entry) for every entry in scan order; f must leave the table
  // alone.
  template <class F>
  void for_each(F&& f) const {
    for (const Level& l : levels_) {
      for_each_full(l.region.ctrl, l.region.len, [&](std::size_t p) { f(l.region.entries[p]); });
    }
  }

  // Room for len() + additional entries in at most one rebuild. Throws
  // AllocFailure, with the table unchanged, beyond 2^31 slots or without
  // memory.
  void reserve(std::size_t additional) {
    const std::size_t needed = additional > std::numeric_limits<std::size_t>::max() - len_
                                   ? std::numeric_limits<std::size_t>::max()
                                   : len_ + additional;
    if (needed <= insert_limit_) return;
    std::size_t c = std::max<std::size_t>(slots_, 8);
    while (quarlex::insert_limit(c, reserve_exponent_) < needed) {
      if (c >= kMaxElasticSlots) throw AllocFailure(TryReserveError::CapacityOverflow);
      c *= 2;
    }
    resize_with_transition(c);
  }

 private:
  template <class T>
  friend struct TableInternals;

  struct Walk;

  // ---------------------------------------------------------------- lookup

  template <class Q>
  std::optional<Location> find_slot_indices_prepared(const Q& probe, const PreparedHash& ph) const {
    ProbeTally counter;
    const Walk w = walk(probe, ph, counter);
    if (w.kind == Walk::Found) {
      counter.record(true);
      return w.loc();
    }
    return search_rest(probe, ph, counter, w);
  }

  // The end of a search whose walk found nothing: a miss, or the rest of the
  // search out of line.
  template <class Q>
  [[gnu::always_inline]] std::optional<Location> search_rest(const Q& probe,
                                                             const PreparedHash& ph,
                                                             ProbeTally& counter,
                                                             const Walk& w) const {
    if (w.kind == Walk::Proven || (w.kind == Walk::Absent && !exceptional_)) {
      counter.record(false);
      return std::nullopt;
    }
    return search_on(probe, ph, counter, w);
  }

  // ---------------------------------------------------------------- insertion

  // Places a key known to be absent. Grows first at the insertion limit
  // (throwing AllocFailure, with the table unchanged, when it cannot).
  Location insert_for_vacant_entry_prepared(K&& key, V&& value, const PreparedHash& ph) {
    if (len_ >= insert_limit_) grow();
    if (auto choice = choose_for_current_batch(ph))
      return place_new_entry(std::move(key), std::move(value), ph, *choice);
    rebuild_quietly(slots_);
    if (auto choice = choose_for_current_batch(ph))
      return place_new_entry(std::move(key), std::move(value), ph, *choice);
    return place_exceptional_entry(std::move(key), std::move(value), ph);
  }

  // The elastic rule for batch 0 (pair none) or batch a + 1 (pair a). Reads
  // the table only.
  std::optional<SlotChoice> choose_slot_for_new_key(const PreparedHash& ph,
                                                    std::optional<std::size_t> pair) const {
    if (levels_.empty()) return std::nullopt;
    std::size_t level = 0;
    std::optional<Vacancy> v;
    if (!pair) {
      v = uniform_vacancy(0, ph, uncapped(0));
    } else {
      const std::size_t a = *pair, b = a + 1;
      if (b >= levels_.size()) return std::nullopt;
      const Level& la = levels_[a];
      const Level& lb = levels_[b];
      const std::size_t free_a = free_slots(la);
      const std::size_t free_b = free_slots(lb);
      const bool a_open = free_a > shr_or_zero(la.region.len, std::uint64_t{reserve_exponent_} + 1);
      const bool b_roomy = free_b > lb.region.len / 4;  // 4 * free_b > |A_b|
      if (!a_open) {
        level = b;
        v = uniform_vacancy(b, ph, uncapped(b));
      } else if (!b_roomy) {
        level = a;
        v = uniform_vacancy(a, ph, uncapped(a));
      } else {
        const std::size_t r = (la.region.len + free_a - 1) / free_a;
        const auto w = static_cast<std::uint64_t>(std::bit_width(r - 1));  // ceil(log2 r)
        const auto cap =
            static_cast<std::uint32_t>(8 * std::min<std::uint64_t>(w * w, reserve_exponent_));
        level = a;
        if (cap > 0) v = uniform_vacancy(a, ph, cap);
        if (!v) {
          level = b;
          v = uniform_vacancy(b, ph, uncapped(b));
        }
      }
    }
    // Query positions grow with the probe number, so the cap is a probe
    // limit per level.
    if (!v || v->probe > kMaxProbeWithinCap[level]) return std::nullopt;
    return SlotChoice{v->probe, level, v->position};
  }

  // First free slot along the key's probe sequence in one level, within
  // `cap` probes. Probes whose position is exhausted are skipped.
  std::optional<Vacancy> uniform_vacancy(std::size_t level, const PreparedHash& ph,
                                         std::uint32_t cap) const {
    const Level& l = levels_[level];
    // A probe's salt adds 8 per probe to its level's, so its spread (salt *
    // kSaltSpread) adds a constant: no multiply for it.
    std::uint64_t spread = std::uint64_t{probe_salt(level, 1)} * kSaltSpread;
    for (std::uint32_t j = 1; j <= cap; ++j, spread += 8 * kSaltSpread) {
      const std::size_t p = level_position_spread(ph.x, probe_salt(level, j), spread,
                                                  l.region.len, l.threshold);
      if (p != kNoPosition && ctrl_is_free(l.region.ctrl[p])) return Vacancy{p, j};
    }
    return std::nullopt;
  }

  // Extending the schedule comes first: when its room cannot be had, the
  // AllocFailure leaves the table as it was.
  Location place_new_entry(K&& key, V&& value, const PreparedHash& ph, const SlotChoice& choice) {
    if (!schedule_.covers(choice.level, choice.probe)) {
      const std::uint32_t query = choice.query();
      if (query > kQueryPositionCap) panic(kQueryPositionsExhausted);
      extend_probe_schedule(query);
    }
    schedule_.reach(choice.level, choice.probe);
    return write_new_entry(choice.level, choice.position, std::move(key), std::move(value), ph);
  }

  // Off-sequence placement: the first free slot in table order. Lookups find
  // such entries only through the full scan the `exceptional` flag enables.
  Location place_exceptional_entry(K&& key, V&& value, const PreparedHash& ph) {
    for (std::size_t i = 0; i < levels_.size(); ++i) {
      const Level& l = levels_[i];
      for (std::size_t p = 0; p < l.region.len; ++p) {
        if (ctrl_is_free(l.region.ctrl[p])) {
          exceptional_ = true;
          return write_new_entry(i, p, std::move(key), std::move(value), ph);
        }
      }
    }
    panic("Elastic insertion limit must leave a free slot");
  }

  Location write_new_entry(std::size_t level, std::size_t position, K&& key, V&& value,
                           const PreparedHash& ph) {
    if (level >= levels_.size()) panic("Elastic level out of range");
    Level& l = levels_[level];
    const std::uint8_t old = l.region.ctrl[position];
    ::new (static_cast<void*>(&l.region.entries[position]))
        entry_type{std::move(key), std::move(value)};
    l.region.ctrl[position] = ph.fingerprint;
    ++l.occupied;
    if (old == kCtrlTombstone) --l.tombstones;
    note_membership(ph, level);
    ++len_;
    return Location{level, position};
  }

  // Adds the routes for query positions in (horizon, position].
  void extend_probe_schedule(std::uint32_t position) { schedule_.extend(position); }

  // ---------------------------------------------------------------- maintenance

  // Rebuilds every membership record from the live entries.
  void refresh_membership() {
    removals_since_refresh_ = 0;
    if (membership_count_ == 0) return;
    std::memset(records_, 0, membership_count_ * sizeof(MembershipRecord));
    for (std::size_t i = 0; i < levels_.size(); ++i) {
      GroupCursor c = group_over(i);
      while (auto p = c.next_full()) note_membership(prepare(levels_[i].region.entries[*p].key), i);
    }
  }

  // Rebuilds the table at `new_slots` slots, re-placing every entry. The new
  // arena is built before the table is touched: on failure AllocFailure is
  // thrown and the table is as it was.
  void resize_with_transition(std::size_t new_slots) {
    auto geometry = try_geometry(new_slots);
    if (!geometry.ok()) throw AllocFailure(geometry.error());
    const std::size_t slots = geometry.value().slots;
    auto shape = try_shape(std::move(geometry).value());
    if (!shape.ok()) handle_elastic_alloc_error(shape.error(), slots);
    transition(std::move(shape).value());
  }

 public:
  // ---------------------------------------------------------------- inspection

  std::size_t slots() const noexcept { return slots_; }
  std::uint32_t reserve_exponent() const noexcept { return reserve_exponent_; }
  std::uint32_t horizon() const noexcept { return schedule_.horizon(); }
  bool exceptional() const noexcept { return exceptional_; }
  std::size_t level_count() const noexcept { return levels_.size(); }
  std::size_t level_len(std::size_t i) const { return levels_.at(i).region.len; }
  std::size_t level_occupied(std::size_t i) const { return levels_.at(i).occupied; }
  std::size_t level_tombstones(std::size_t i) const { return levels_.at(i).tombstones; }
  std::vector<std::size_t> level_lengths() const {
    std::vector<std::size_t> out;
    for (const Level& l : levels_) out.push_back(l.region.len);
    return out;
  }
  std::uint8_t control_byte(std::size_t level, std::size_t position) const {
    return levels_.at(level).region.ctrl[position];
  }
  std::vector<PhiRoute> schedule() const { return schedule_.ordered(); }
  std::size_t schedule_size() const noexcept { return schedule_.size(); }
  std::size_t schedule_capacity() const noexcept { return schedule_.capacity(); }
  std::size_t membership_count() const noexcept { return membership_count_; }
  std::uint32_t removals_since_refresh() const noexcept { return removals_since_refresh_; }
  const BatchScheduler& batches() const noexcept { return batches_; }
  std::size_t arena_bytes() const noexcept { return arena_.size(); }
  // Everything the table allocated: the arena (slots, control bytes,
  // summaries), the level list and the probe schedule.
  std::size_t heap_bytes() const noexcept {
    return arena_.size() + levels_.capacity() * sizeof(Level) + schedule_.heap_bytes();
  }

  // The prepared hash of a stored key, as the table recomputes it.
  PreparedHash prepare(const K& key) const noexcept {
    return PreparedHash::from_table_hash(table_hash(KeyTraits<K>::hash(key), hasher_));
  }

  // Empty when every invariant holds, else a description of the first one
  // found broken. Costs a lookup per live entry.
  std::string check_invariants() const {
    const ElasticGeometry g = ElasticGeometry::for_slots(slots_, reserve_exponent_);
    if (level_lengths() != g.level_lengths) return "level lengths differ from the geometry";
    if (insert_limit_ != g.insert_limit) return "insert limit differs from the geometry";
    if (batches_.ends() != BatchScheduler(g.batch_quotas).ends())
      return "batch ends differ from the quotas";
    if (len_ > insert_limit_) return "more entries than the insert limit";
    if (membership_count_ != (slots_ + 9) / 10) return "membership record count";
    const std::uint32_t horizon = schedule_.horizon();
    if (horizon > kQueryPositionCap) return "horizon beyond the position cap";
    if (schedule_.levels() < levels_.size()) return "schedule has no room for every level";
    if (schedule_.capacity() > quarlex::schedule_capacity(schedule_.levels()))
      return "schedule capacity";
    // Each level's segment holds probes first, first + 1, ... in order, and
    // stops exactly where the next probe would pass the horizon.
    for (std::size_t i = 0; i < levels_.size(); ++i) {
      const std::string in = " in level " + std::to_string(i);
      const PhiRoute* segment = schedule_.level_routes(i);
      std::uint32_t j = ProbeSchedule::first_probe(i);
      for (std::size_t r = 0; r < schedule_.level_size(i); ++r, ++j) {
        const u128 phi = elastic_phi(i + 1, j).value();
        if (phi > horizon ||
            segment[r] != PhiRoute{static_cast<std::uint32_t>(phi), probe_salt(i, j)}) {
          return "wrong schedule route" + in;
        }
      }
      if (j <= kProbeLimit && elastic_phi(i + 1, j).value() <= horizon)
        return "schedule misses a route" + in;
      if (schedule_.walk_len(i) > schedule_.level_size(i))
        return "lookup walk beyond the schedule" + in;
    }
    if (schedule_.size() > schedule_.capacity()) return "schedule beyond its room";
    {
      std::vector<PhiRoute> merged;
      for (std::size_t i = 0; i < levels_.size(); ++i) {
        const PhiRoute* segment = schedule_.level_routes(i);
        merged.insert(merged.end(), segment, segment + schedule_.walk_len(i));
      }
      std::sort(merged.begin(), merged.end(),
                [](const PhiRoute& a, const PhiRoute& b) { return a.key < b.key; });
      if (!std::equal(merged.begin(), merged.end(), schedule_.walk_begin(), schedule_.walk_end(),
                      [](const PhiRoute& a, const WalkStep& b) {
                        return a.salt == b.salt() && a.key == b.key && a.level() == b.level;
                      }))
        return "lookup walk is not the merge of the walked segments";
    }
    std::size_t live = 0;
    for (std::size_t i = 0; i < levels_.size(); ++i) {
      const Level& l = levels_[i];
      std::size_t full = 0, tombs = 0;
      for (std::size_t p = 0; p < l.region.len; ++p) {
        const std::uint8_t b = l.region.ctrl[p];
        if (b > kCtrlTombstone) return "invalid control byte in level " + std::to_string(i);
        if (b == kCtrlTombstone) ++tombs;
        if (!ctrl_is_full(b)) continue;
        ++full;
        const std::string at = " at level " + std::to_string(i) + " position " + std::to_string(p);
        const K& key = l.region.entries[p].key;
        const PreparedHash ph = prepare(key);
        if (b != ph.fingerprint) return "fingerprint mismatch" + at;
        const MembershipRecord& rec = records_[mul_hi(ph.x, membership_count_)];
        if (!summary_holds(rec.bloom, ph.x)) return "Bloom bits missing" + at;
        if (((rec.level_masks[ph.x & 3] >> std::min<std::size_t>(i, 15)) & 1) == 0)
          return "level mask missing" + at;
        ProbeTally counter;
        ComparedSlots compared(slots_);
        const Walk w = resume(key, ph, counter, walk(key, ph, counter), compared);
        const bool on_schedule = w.kind == Walk::Found && w.loc() == Location{i, p};
        if (!exceptional_ && !on_schedule) return "entry off its probe schedule" + at;
        if (find_slot_indices_prepared(key, ph) != Location{i, p}) return "entry not found" + at;
      }
      if (full != l.occupied) return "occupied count of level " + std::to_string(i);
      if (tombs != l.tombstones) return "tombstone count of level " + std::to_string(i);
      live += full;
    }
    if (live != len_) return "len differs from the live entries";
    return {};
  }

 private:
  // One level: its region of the arena (full control bytes own their
  // entries), the live and tombstone counts, which always equal the number of
  // full and 0x80 control bytes, and the rejection threshold of its length.
  struct Level {
    SlotRegion<entry_type> region;
    std::uint64_t threshold = 0;
    std::size_t occupied = 0;
    std::size_t tombstones = 0;
  };

  // The levels of an arena that is being drained or torn down.
  struct LevelSet {
    std::vector<Level> levels;
    void drop_all_values() noexcept {
      for (Level& l : levels) l.region.drop_values();
    }
  };

  // Everything a construction or rebuild installs, built before the table
  // is touched.
  struct Shape {
    ArenaBlock block;
    std::vector<Level> levels;
    MembershipRecord* records = nullptr;
    std::size_t membership_count = 0;
    BatchScheduler batches;
    std::size_t slots = 0;
    std::size_t insert_limit = 0;
  };

  // The outcome of a walk: found; absent from every slot the walk visits
  // (an exceptional table must still be scanned); proven absent by the
  // membership record; cut short by an exhausted position; or stopped at
  // the first key compared and found unequal (at `loc()`), to be resumed at
  // `next` with a record of compared slots. The location is kept as two
  // plain words: a Location member would be copied out as one 16-byte load
  // right after its two 8-byte stores, which store forwarding cannot serve.
  // A found walk also keeps the entry it compared, so a lookup that wants
  // the entry need not find it again from the location.
  struct Walk {
    enum Kind { Found, Absent, Proven, NeedsScan, Unequal } kind;
    std::size_t level = 0;
    std::size_t position = 0;
    const WalkStep* next = nullptr;
    const entry_type* entry = nullptr;
    Location loc() const noexcept { return Location{level, position}; }
    static Walk found(std::size_t level, std::size_t position, const entry_type& e) noexcept {
      return Walk{Found, level, position, nullptr, &e};
    }
  };

  // Moves the whole state of `o` into this table, which holds nothing, and
  // leaves `o` empty with no slots: one pass over the members, where a swap
  // with an empty table would move each three times.
  void take(ElasticTable& o) noexcept {
    levels_ = std::exchange(o.levels_, {});
    records_ = std::exchange(o.records_, nullptr);
    membership_count_ = std::exchange(o.membership_count_, 0);
    schedule_.take(o.schedule_);
    len_ = std::exchange(o.len_, 0);
    exceptional_ = std::exchange(o.exceptional_, false);
    arena_ = std::move(o.arena_);
    batches_ = std::exchange(o.batches_, {});
    slots_ = std::exchange(o.slots_, 0);
    insert_limit_ = std::exchange(o.insert_limit_, 0);
    reserve_exponent_ = o.reserve_exponent_;
    hasher_ = o.hasher_;
    removals_since_refresh_ = std::exchange(o.removals_since_refresh_, 0);
  }

  ElasticTable(std::uint32_t reserve_exponent, std::uint64_t seed) noexcept
      : reserve_exponent_(reserve_exponent), hasher_(seed) {}

  static Result<ElasticGeometry, TryReserveError> try_budget_geometry(std::size_t capacity,
                                                                      std::uint32_t e) {
    const auto slots = ElasticGeometry::slots_for_insert_budget(capacity, e);
    if (!slots) return TryReserveError::CapacityOverflow;
    return try_geometry_for(*slots, e);
  }

  static Result<ElasticGeometry, TryReserveError> try_geometry_for(std::size_t slots,
                                                                   std::uint32_t e) {
    try {
      return ElasticGeometry::for_slots(slots, e);
    } catch (const std::bad_alloc&) {
      return TryReserveError::AllocError;
    }
  }

  Result<ElasticGeometry, TryReserveError> try_geometry(std::size_t slots) const {
    return try_geometry_for(slots, reserve_exponent_);
  }

  // Arena, levels and scheduler for a geometry. More than 32 levels cannot
  // be probed.
  static Result<Shape, TryReserveError> try_shape(ElasticGeometry g) {
    const std::size_t level_count = g.level_lengths.size();
    if (level_count > kMaxElasticLevels) return TryReserveError::CapacityOverflow;
    std::size_t total = 0;
    for (std::size_t n : g.level_lengths) {
      if (n > std::numeric_limits<std::size_t>::max() - total)
        return TryReserveError::CapacityOverflow;
      total += n;
    }
    auto layout = compute_arena_layout(total, 0, sizeof(entry_type), sizeof(MembershipRecord));
    if (!layout.ok()) return layout.error();
    auto block = ArenaBlock::allocate(layout.value(), BlockSourceFor<K>::source);
    if (!block.ok()) return block.error();
    Shape s;
    try {
      s.block = std::move(block).value();
      s.levels.reserve(level_count);
      std::size_t offset = 0;
      for (std::size_t n : g.level_lengths) {
        Level l;
        l.region.ctrl = s.block.template at<std::uint8_t>(0) + offset;
        l.region.entries = s.block.template at<entry_type>(layout.value().slot_offset) + offset;
        l.region.len = n;
        l.threshold = rejection_threshold(n);
        s.levels.push_back(l);
        offset += n;
      }
      if (!s.block.empty()) {
        s.records = s.block.template at<MembershipRecord>(layout.value().summary_offset);
        s.membership_count = layout.value().summary_count;
      }
      s.batches = BatchScheduler(std::move(g.batch_quotas));
      s.slots = total;
      s.insert_limit = g.insert_limit;
      return s;
    } catch (const std::bad_alloc&) {
      return TryReserveError::AllocError;
    }
  }

  // Installs a fresh shape. The caller has moved the old arena and levels
  // out (or never had any); the seed, exponent and schedule storage stay.
  void install(Shape&& s) noexcept {
    arena_ = std::move(s.block);
    levels_ = std::move(s.levels);
    records_ = s.records;
    membership_count_ = s.membership_count;
    batches_ = std::move(s.batches);
    slots_ = s.slots;
    insert_limit_ = s.insert_limit;
    len_ = 0;
    reset_placement_state();
    schedule_.widen(levels_.size());
    removals_since_refresh_ = 0;
  }

  // Swaps in the fresh shape and re-places every old entry, in table order.
  // The old arena sits in a guard meanwhile: should a move unwind, the
  // entries not yet moved are dropped there and the block is freed once.
  void transition(Shape&& s) {
    ArenaDropGuard<LevelSet> old(std::move(arena_), LevelSet{std::move(levels_)});
    install(std::move(s));
    struct MergeWalk {
      ProbeSchedule& schedule;
      ~MergeWalk() { schedule.merge_walk(); }
    } merge{schedule_};
    for (Level& l : old.regions().levels) {
      l.region.drain_values_and_clear([this](entry_type&& e) { reinsert(std::move(e)); });
    }
    old.disarm_values();
  }

  // An entry moved in a transition cannot be handed back: without room for
  // its schedule routes it is placed off its sequence instead. The walk is
  // merged once, after the last entry.
  void reinsert(entry_type&& e) {
    const PreparedHash ph = prepare(e.key);
    const auto choice = choose_for_current_batch(ph);
    if (choice && (schedule_.covers(choice->level, choice->probe) ||
                   schedule_.try_extend(choice->query()))) {
      schedule_.reach_later(choice->level, choice->probe);
      write_new_entry(choice->level, choice->position, std::move(e.key), std::move(e.value), ph);
    } else {
      place_exceptional_entry(std::move(e.key), std::move(e.value), ph);
    }
  }

  // Maintenance rebuild: without memory the table simply stays as it is.
  // Rebuilds and growth stay out of line, also where callers are flattened.
  [[gnu::noinline]] bool rebuild_quietly(std::size_t new_slots) {
    auto geometry = try_geometry(new_slots);
    if (!geometry.ok()) return false;
    auto shape = try_shape(std::move(geometry).value());
    if (!shape.ok()) return false;
    transition(std::move(shape).value());
    return true;
  }

  // Doubles the slots (8 from none) until the limit exceeds the live count:
  // a single doubling does not suffice for the smallest geometries (one slot
  // with e = 1 keeps a limit of 1 at two slots).
  [[gnu::noinline]] void grow() {
    if (slots_ >= kMaxElasticSlots) throw AllocFailure(TryReserveError::CapacityOverflow);
    std::size_t c = slots_ == 0 ? 8 : 2 * slots_;
    while (quarlex::insert_limit(c, reserve_exponent_) <= len_) c *= 2;
    resize_with_transition(c);
  }

  std::optional<SlotChoice> choose_for_current_batch(const PreparedHash& ph) {
    if (batches_.stale(len_)) batches_.sync(len_);
    const std::size_t batch = batches_.index();
    return choose_slot_for_new_key(
        ph, batch == 0 ? std::nullopt : std::optional<std::size_t>(batch - 1));
  }

  // Probing beyond the last probe within the position cap cannot yield a
  // usable slot, so uncapped searches stop one probe after it.
  static std::uint32_t uncapped(std::size_t level) noexcept {
    return std::min(kProbeLimit, kMaxProbeWithinCap[level] + 1);
  }

  static std::size_t free_slots(const Level& l) noexcept {
    return l.region.len > l.occupied ? l.region.len - l.occupied : 0;
  }

  void reset_placement_state() noexcept {
    exceptional_ = false;
    schedule_.clear();
  }

  void note_membership(const PreparedHash& ph, std::size_t level) noexcept {
    if (membership_count_ == 0) return;
    MembershipRecord& rec = records_[mul_hi(ph.x, membership_count_)];
    rec.bloom |= summary_mask(ph.x);
    rec.level_masks[ph.x & 3] |= static_cast<std::uint16_t>(1u << std::min<std::size_t>(level, 15));
  }

  std::size_t checked_level(Location loc) const {
    if (loc.level >= levels_.size() || loc.position >= levels_[loc.level].region.len)
      [[unlikely]] location_out_of_range();
    return loc.level;
  }

  [[noreturn, gnu::cold, gnu::noinline]] static void location_out_of_range() {
    panic("Elastic location out of range");
  }

  entry_type take(Location loc) {
    Level& l = levels_[checked_level(loc)];
    std::uint8_t& ctrl = l.region.ctrl[loc.position];
    if (!ctrl_is_full(ctrl)) panic("Elastic removal from a slot without an entry");
    entry_type& slot = l.region.entries[loc.position];
    entry_type e{std::move(slot.key), std::move(slot.value)};
    ctrl = kCtrlTombstone;
    --l.occupied;
    ++l.tombstones;
    --len_;
    ++removals_since_refresh_;
    std::destroy_at(&slot);
    return e;
  }

  void maintain(std::size_t level) {
    const Level& l = levels_[level];
    if (l.tombstones > tombstone_limit(l.region.len) && rebuild_quietly(slots_)) return;
    if (removals_since_refresh_ > insert_limit_) refresh_membership();
  }

  // A slot's index in the whole table: the levels lie end to end.
  std::size_t slot_index(const Level& l, std::size_t position) const noexcept {
    return static_cast<std::size_t>(l.region.ctrl - levels_.front().region.ctrl) + position;
  }

  GroupCursor group_over(std::size_t level) const noexcept {
    return GroupCursor::over(levels_[level].region.ctrl, levels_[level].region.len);
  }

  // The probe-sequence search: level 0's first slot, the membership record,
  // then the schedule's walk in query-position order, skipping the levels
  // the record's mask rules out. A Bloom bit missing from the record proves
  // the key absent from the whole table (exceptional entries included).
  // Most lookups compare one key at most, so this walk keeps no record: it
  // stops at the first unequal key, which `resume` takes from there.
  template <class Q>
  Walk walk(const Q& probe, const PreparedHash& ph, ProbeTally& counter) const {
    if (len_ == 0) return Walk{Walk::Proven};
    const MembershipRecord& rec = records_[mul_hi(ph.x, membership_count_)];
    if (!summary_holds(rec.bloom, ph.x)) return Walk{Walk::Proven};
    const Level& l0 = levels_[0];
    const std::size_t p0 = level_position(ph.x, 0, l0.region.len, l0.threshold);
    if (p0 == kNoPosition) return Walk{Walk::NeedsScan};
    counter.probe();
    if (l0.region.ctrl[p0] == ph.fingerprint) {
      const entry_type& e = l0.region.entries[p0];
      if (KeyTraits<K>::eq(probe, e.key)) return Walk::found(0, p0, e);
      return Walk{Walk::Unequal, 0, p0, schedule_.walk_begin()};
    }
    return walk_from(probe, ph, counter, schedule_.walk_begin(), nullptr);
  }

  // A walk step's position in level `l`: level_position with the step's
  // salt, attempt 0 from its precomputed spread. The retries read the salt
  // and the level's fields themselves, out of line: kept for them, those
  // values held registers through every step of every lookup, for a branch
  // almost never taken.
  [[gnu::always_inline]] static std::size_t step_position(std::uint64_t x, const WalkStep& step,
                                                          const Level& l) noexcept {
    const std::size_t p =
        reduce_unbiased(probe_site_mix_spread(x, step.spread), l.region.len, l.threshold);
    if (p != kRejected) [[likely]]
      return p;
    return retry_step_position(x, step, l);
  }

  [[gnu::cold, gnu::noinline]] static std::size_t retry_step_position(std::uint64_t x,
                                                                      const WalkStep& step,
                                                                      const Level& l) noexcept {
    return retry_position(x, step.salt(), l.region.len, l.threshold);
  }

  // Continues a walk that stopped at an unequal key, remembering it and
  // every key compared after it in `compared`; any other walk is returned
  // as it is.
  template <class Q>
  Walk resume(const Q& probe, const PreparedHash& ph, ProbeTally& counter, const Walk& w,
              ComparedSlots& compared) const {
    if (w.kind != Walk::Unequal) return w;
    compared.note(slot_index(levels_[w.level], w.position));
    return walk_from(probe, ph, counter, w.next, &compared);
  }

  // The schedule's walk from `step` on. Without a record of compared slots
  // it stops at the first unequal key; with one it compares each slot's key
  // once and goes on.
  template <class Q>
  [[gnu::always_inline]] Walk walk_from(const Q& probe, const PreparedHash& ph,
                                        ProbeTally& counter, const WalkStep* step,
                                        ComparedSlots* compared) const {
    const MembershipRecord& rec = records_[mul_hi(ph.x, membership_count_)];
    // Bit 15 stands for level 15 and every deeper level.
    const auto mask = static_cast<std::uint32_t>(
        static_cast<std::int32_t>(static_cast<std::int16_t>(rec.level_masks[ph.x & 3])));
    for (; step != schedule_.walk_end(); ++step) {
      const std::size_t level = step->level;
      if (((mask >> level) & 1) == 0) continue;
      const Level& l = levels_[level];
      const std::size_t p = step_position(ph.x, *step, l);
      if (p == kNoPosition) return Walk{Walk::NeedsScan};
      counter.probe();
      if (l.region.ctrl[p] != ph.fingerprint) continue;
      const entry_type& e = l.region.entries[p];
      if (compared == nullptr) {
        if (KeyTraits<K>::eq(probe, e.key)) return Walk::found(level, p, e);
        return Walk{Walk::Unequal, level, p, step + 1};
      }
      if (compared->equal(probe, e.key, slot_index(l, p))) return Walk::found(level, p, e);
    }
    return Walk{Walk::Absent};
  }

  // The rest of a search that met an unequal key or must scan the table.
  // From here on every compared slot is remembered, so that no stored key
  // is compared twice: probes of one level may land on the same slot (small
  // levels above all), and the full scan passes every slot. Taking the hash
  // and tally by value keeps them in registers on the common path.
  template <class Q>
  [[gnu::noinline]] std::optional<Location> search_on(const Q& probe, PreparedHash ph,
                                                      ProbeTally counter, Walk w) const {
    ComparedSlots compared(slots_);
    w = resume(probe, ph, counter, w, compared);
    std::optional<Location> found;
    if (w.kind == Walk::Found) {
      found = w.loc();
    } else if (w.kind == Walk::NeedsScan || (w.kind == Walk::Absent && exceptional_)) {
      found = full_scan(probe, ph, counter, compared);
    }
    counter.record(found.has_value());
    return found;
  }

  // Every level in order, eight control bytes at a time; keys are compared
  // only where the byte equals the fingerprint, and not again where the walk
  // before did.
  template <class Q>
  std::optional<Location> full_scan(const Q& probe, const PreparedHash& ph, ProbeTally& counter,
                                    ComparedSlots& compared) const {
    for (std::size_t i = 0; i < levels_.size(); ++i) {
      const Level& l = levels_[i];
      counter.probe(l.region.len);
      std::size_t p = 0;
      for (; p + kGroupWidth <= l.region.len; p += kGroupWidth) {
        for (std::uint64_t m = group_match_mask(load_group(l.region.ctrl + p), ph.fingerprint);
             m != 0; m &= m - 1) {
          const std::size_t at = p + mask_lowest(m);
          if (compared.equal(probe, l.region.entries[at].key, slot_index(l, at)))
            return Location{i, at};
        }
      }
      for (; p < l.region.len; ++p) {
        if (l.region.ctrl[p] == ph.fingerprint &&
            compared.equal(probe, l.region.entries[p].key, slot_index(l, p))) {
          return Location{i, p};
        }
      }
    }
    return std::nullopt;
  }

  // Hot state first: everything a lookup reads.
  std::vector<Level> levels_;
  MembershipRecord* records_ = nullptr;  // inside arena_, 64-byte aligned
  std::size_t membership_count_ = 0;     // ceil(slots / 10)
  ProbeSchedule schedule_;
  std::size_t len_ = 0;
  bool exceptional_ = false;  // some entry lies off its probe sequence

  ArenaBlock arena_;
  BatchScheduler batches_;
  std::size_t slots_ = 0;
  std::size_t insert_limit_ = 0;
  std::uint32_t reserve_exponent_;
  std::uint64_t hasher_;
  std::uint32_t removals_since_refresh_ = 0;  // wrapping
};

}  // namespace quarlex
