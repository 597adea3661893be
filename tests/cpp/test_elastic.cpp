// Tests of the elastic table: geometry and batches, query positions and the
// probe schedule, the insertion rule and its fallbacks, removal maintenance,
// scanning, rebuilding, and what failures leave behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "compare_counts.hpp"
#include "quarlex/collections/backend.hpp"
#include "quarlex/elastic/table.hpp"

namespace quarlex {
namespace {

// A key whose stored hash the test chooses: equal hashes give equal probe
// sequences, which forces exhaustion and off-sequence placement.
struct TestKey {
  std::uint64_t id = 0;
  std::uint64_t hash = 0;
};

// Owns one "reference" to an id; records every id released, so a test can
// check that each entry is dropped exactly once.
struct Token {
  static inline std::map<std::uint64_t, int> released;
  std::optional<std::uint64_t> id;

  Token() = default;
  explicit Token(std::uint64_t i) : id(i) {}
  Token(Token&& o) noexcept : id(std::exchange(o.id, std::nullopt)) {}
  Token& operator=(Token&& o) noexcept {
    std::swap(id, o.id);
    return *this;
  }
  ~Token() {
    if (id) ++released[*id];
  }
};

}  // namespace

template <>
struct KeyTraits<TestKey> {
  static std::uint64_t hash(const TestKey& k) noexcept { return k.hash; }
  static bool eq(const TestKey& a, const TestKey& b) {
    quarlex_test::CompareCounts::note(&b);
    return a.id == b.id;
  }
};

template <class K, class V>
struct TableInternals<ElasticTable<K, V>> {
  using Table = ElasticTable<K, V>;
  static auto choose_slot(const Table& t, const PreparedHash& ph, std::optional<std::size_t> pair) {
    return t.choose_slot_for_new_key(ph, pair);
  }
  static auto place_exceptional(Table& t, K&& key, V&& value, const PreparedHash& ph) {
    return t.place_exceptional_entry(std::move(key), std::move(value), ph);
  }
  static std::size_t step_position(std::uint64_t x, const WalkStep& step, std::size_t n) {
    typename Table::Level l;
    l.region.len = n;
    l.threshold = rejection_threshold(n);
    return Table::step_position(x, step, l);
  }
};

namespace {

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
constexpr std::uint64_t kSeed = 0x5EED;

using IntTable = ElasticTable<std::uint64_t, std::uint64_t>;
using KeyTable = ElasticTable<TestKey, std::uint64_t>;
using TokenTable = ElasticTable<TestKey, Token>;
static_assert(TableBackend<IntTable> && TableBackend<ElasticTable<std::uint64_t, Unit>>);

// The position rule as first stated: up to eight attempts, attempt a
// salted with a in the low bits; a power of two takes the top bits.
std::optional<std::size_t> probe_position(std::uint64_t x, std::uint32_t salt, std::uint64_t n) {
  if (n == 0) return std::nullopt;
  if (std::has_single_bit(n))
    return static_cast<std::size_t>(mul_hi(probe_mix(x, salt), n));
  for (std::uint32_t a = 0; a < kRejectionAttempts; ++a) {
    const u128 p = static_cast<u128>(probe_mix(x, salt | a)) * n;
    if (static_cast<std::uint64_t>(p) >= rejection_threshold(n)) {
      return static_cast<std::size_t>(p >> 64);
    }
  }
  return std::nullopt;
}

template <class T>
T table_for_slots(std::size_t slots, std::uint32_t e = 3) {
  return std::move(T::try_from_geometry(ElasticGeometry::for_slots(slots, e), e, kSeed)).value();
}

template <class T>
std::uint64_t hash_of(const T& t, std::uint64_t stored) {
  return table_hash(stored, t.seed());
}

void insert_key(KeyTable& t, std::uint64_t id, std::uint64_t hash, std::uint64_t value = 0) {
  t.insert(TestKey{id, hash}, std::uint64_t{value}, hash_of(t, hash));
}

std::optional<IntTable::Location> find_int(const IntTable& t, std::uint64_t k) {
  return t.find(k, hash_of(t, k));
}

// ---------------------------------------------------------------- geometry

TEST(ElasticGeometry, LevelLengthsQuotasAndLimits) {
  using V = std::vector<std::size_t>;
  EXPECT_EQ(elastic_level_lengths(0), V{});
  EXPECT_EQ(elastic_level_lengths(1), V{1});
  EXPECT_EQ(elastic_level_lengths(2), V{2});
  EXPECT_EQ(elastic_level_lengths(3), (V{2, 1}));
  EXPECT_EQ(elastic_level_lengths(8), (V{4, 2, 2}));
  EXPECT_EQ(elastic_level_lengths(16), (V{8, 4, 2, 2}));
  EXPECT_EQ(elastic_level_lengths(100), (V{50, 25, 13, 6, 3, 2, 1}));

  const std::vector<std::pair<std::size_t, V>> quotas = {
      {8, {3, 3, 1}},
      {16, {6, 5, 3, 0}},
      {64, {24, 18, 9, 5, 0, 0}},
      {1024, {384, 288, 144, 72, 8, 0, 0, 0, 0, 0}},
      {1, {1}},
      {2, {2}},
      {3, {2, 1}}};
  for (const auto& [slots, q] : quotas) {
    const ElasticGeometry g = ElasticGeometry::for_slots(slots, 3);
    EXPECT_EQ(g.batch_quotas, q) << slots;
    EXPECT_EQ(g.slots, slots);
  }
  EXPECT_EQ(ElasticGeometry::for_slots(8, 3).insert_limit, 7u);
  EXPECT_EQ(ElasticGeometry::for_slots(16, 3).insert_limit, 14u);
  EXPECT_EQ(ElasticGeometry::for_slots(1024, 3).insert_limit, 896u);
  EXPECT_EQ(ElasticGeometry::for_slots(1, 3).insert_limit, 1u);
  EXPECT_TRUE(ElasticGeometry::for_slots(0, 3).level_lengths.empty());
  EXPECT_EQ(ElasticGeometry::for_slots(1, 0).insert_limit, 0u);
  try {
    ElasticGeometry::for_slots(2, 0);
    FAIL() << "exponent 0 accepted";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "validated Elastic library geometry: ExponentZero");
  }
}

TEST(ElasticGeometry, SlotsForBudget) {
  const auto slots = [](std::size_t budget, std::uint32_t e) {
    return ElasticGeometry::slots_for_insert_budget(budget, e);
  };
  EXPECT_EQ(slots(0, 3), 0u);
  for (std::size_t b = 1; b <= 7; ++b) EXPECT_EQ(slots(b, 3), 8u);
  for (std::size_t b = 8; b <= 14; ++b) EXPECT_EQ(slots(b, 3), 16u);
  EXPECT_EQ(slots(100, 3), 128u);
  EXPECT_EQ(slots(1000, 3), 2048u);
  EXPECT_EQ(slots(kMaxElasticSlots - (kMaxElasticSlots >> 3), 3), kMaxElasticSlots);
  EXPECT_EQ(slots(kMaxElasticSlots - (kMaxElasticSlots >> 3) + 1, 3), std::nullopt);
  // Shifts by the word width or more leave nothing: the smallest power of
  // two covering the budget, at least 8.
  for (std::uint32_t e : {63u, 64u, 1000u}) {
    EXPECT_EQ(slots(9, e), 16u);
    EXPECT_EQ(slots(kMaxElasticSlots + 1, e), std::nullopt);
  }
  EXPECT_EQ(ElasticGeometry::for_slots(16, 64).insert_limit, 16u);
}

TEST(ElasticGeometry, BatchSync) {
  BatchScheduler b(ElasticGeometry::for_slots(8, 3).batch_quotas);
  const std::vector<std::size_t> expected = {0, 0, 0, 1, 1, 1, 2, 2, 2, 2};
  for (std::size_t count = 0; count < expected.size(); ++count) {
    b.sync(count);
    EXPECT_EQ(b.index(), expected[count]) << count;
    EXPECT_FALSE(count < 7 && b.stale(count)) << count;
  }
  b.sync(kMax);
  EXPECT_EQ(b.index(), 2u);
  EXPECT_EQ(b.start(), 6u);
  EXPECT_EQ(b.end(), 7u);

  BatchScheduler sixteen(ElasticGeometry::for_slots(16, 3).batch_quotas);  // ends 6, 11, 14, 14
  sixteen.sync(11);
  EXPECT_EQ(sixteen.index(), 2u);
  for (std::size_t count : {14u, 15u, 100u}) {
    sixteen.sync(count);
    EXPECT_EQ(sixteen.index(), 3u);
  }

  BatchScheduler none;
  none.sync(5);
  EXPECT_EQ(none.index(), 0u);
  EXPECT_EQ(none.start(), 0u);
  EXPECT_EQ(none.end(), kMax);
}

// ---------------------------------------------------------------- probing

TEST(ElasticProbe, QueryPositions) {
  const auto phi = [](u128 i, u128 j) {
    return static_cast<std::uint64_t>(elastic_phi(i, j).value());
  };
  EXPECT_EQ(phi(1, 1), 13u);
  EXPECT_EQ(phi(2, 1), 26u);
  EXPECT_EQ(phi(3, 1), 27u);
  EXPECT_EQ(phi(1, 2), 57u);
  EXPECT_EQ(phi(1, 3), 61u);
  EXPECT_EQ(phi(1, 383), 983037u);
  EXPECT_EQ(phi(1, 384), 1026729u);

  EXPECT_EQ(elastic_phi(0, 1).error().debug(), "ZeroCoordinate { coordinate: I }");
  EXPECT_EQ(elastic_phi(1, 0).error().debug(), "ZeroCoordinate { coordinate: J }");
  EXPECT_EQ(elastic_phi(u128{1} << 127, 1).error().debug(), "Overflow");
  EXPECT_EQ(elastic_phi(1, u128{1} << 64).error().debug(), "Overflow");
  // 63 bits of j make 127 bits, plus the zero and one bit of i: exactly 128.
  EXPECT_TRUE(elastic_phi(1, (u128{1} << 63) - 1).ok());

  // The 64-bit form insertion uses agrees over the whole domain of tables.
  for (std::size_t level = 0; level < kMaxElasticLevels; ++level) {
    for (std::uint32_t j = 1; j < (1u << 16); j += j < 5000 ? 1 : 97) {
      ASSERT_EQ(detail::phi_in_domain(level, j), phi(level + 1, j)) << level << " " << j;
    }
  }
  // So does the precomputed table of every schedulable route.
  for (std::size_t level = 0; level < kMaxElasticLevels; ++level) {
    const std::uint32_t first = ProbeSchedule::first_probe(level);
    for (std::uint32_t r = 0; r < schedule_routes_for_level(level); ++r) {
      const PhiRoute& route = kRoutes[kRouteStart[level] + r];
      ASSERT_EQ(route.key, phi(level + 1, first + r)) << level;
      ASSERT_EQ(route.salt, probe_salt(level, first + r)) << level;
    }
  }
  EXPECT_EQ(kRouteStart.back(), kRoutes.size());
}

TEST(ElasticProbe, ScheduleCapacityTable) {
  std::vector<std::size_t> routes;
  for (std::size_t i = 0; i < kMaxElasticLevels; ++i)
    routes.push_back(schedule_routes_for_level(i));
  std::vector<std::size_t> expected = {382, 255, 255};
  expected.insert(expected.end(), 4, 191);
  expected.insert(expected.end(), 8, 127);
  expected.insert(expected.end(), 16, 95);
  expected.push_back(63);
  EXPECT_EQ(routes, expected);
  EXPECT_EQ(schedule_capacity(3), 892u);
}

TEST(ElasticProbe, ScheduleExtension) {
  ProbeSchedule s(7);
  EXPECT_EQ(s.capacity(), 0u);
  s.extend(13);
  EXPECT_EQ(s.size(), 0u);  // (0, 1) is never scheduled
  s.extend(27);
  s.extend(57);
  std::vector<std::uint32_t> keys, levels;
  for (const PhiRoute& r : s.ordered()) {
    keys.push_back(r.key);
    levels.push_back(static_cast<std::uint32_t>(r.level()));
  }
  EXPECT_EQ(keys, (std::vector<std::uint32_t>{26, 27, 52, 53, 54, 55, 57}));
  EXPECT_EQ(levels, (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6, 0}));
  EXPECT_EQ(s.level_routes(0)[0].salt, probe_salt(0, 2));
  // Room grows with the horizon, never past the probes within the cap.
  EXPECT_LT(s.capacity(), 64u);
  s.extend(kQueryPositionCap);
  EXPECT_EQ(s.capacity(), schedule_capacity(7));
  s.clear();
  EXPECT_EQ(s.size(), 0u);
  EXPECT_EQ(s.horizon(), 0u);
  EXPECT_THROW(s.extend(kQueryPositionCap + 1), Panic);
}

TEST(ElasticProbe, PreparedHash) {
  const PreparedHash p =
      PreparedHash::from_table_hash((0xFFull << 56) + (5ull << 32) + 9 - kElasticHashOffset);
  EXPECT_EQ(p.x, (0xFFull << 56) + (5ull << 32) + 9);
  EXPECT_EQ(p.fingerprint, 0x7F);
  EXPECT_TRUE(summary_holds((1ull << 9) | (1ull << 5), p.x));
}

TEST(ElasticProbe, PositionRule) {
  EXPECT_EQ(probe_position(123, 0, 0), std::nullopt);
  EXPECT_EQ(probe_position(123, 8, 1), 0u);
  for (std::uint64_t x = 1; x < 2000; x += 7) {
    const std::uint64_t h = probe_mix(x, 16);
    EXPECT_EQ(probe_position(x, 16, 64), h >> 58);
    const auto p = probe_position(x, 16, 100);
    ASSERT_TRUE(p.has_value());
    EXPECT_LT(*p, 100u);
    EXPECT_EQ(level_position(x, 16, 100, rejection_threshold(100)), *p);
  }
  // n = 2^63 + 1 rejects almost half of all draws: some probes need several
  // attempts and about one in 256 is exhausted. A walk step's form agrees,
  // its retries included, which take the salt back from the step's spread.
  const std::uint64_t n = (1ull << 63) + 1;
  const std::uint32_t salt = probe_salt(3, 5);
  const WalkStep step = WalkStep::of(PhiRoute{0, salt});
  EXPECT_EQ(step.salt(), salt);
  EXPECT_EQ(step.level, 3u);
  int retried = 0, exhausted = 0;
  for (std::uint64_t x = 0; x < 20000; ++x) {
    const auto p = probe_position(mix64(x), salt, n);
    EXPECT_EQ(level_position(mix64(x), salt, n, rejection_threshold(n)), p.value_or(kNoPosition));
    EXPECT_EQ(TableInternals<IntTable>::step_position(mix64(x), step, n), p.value_or(kNoPosition));
    exhausted += !p.has_value();
    retried += p.has_value() && reduce_unbiased(probe_mix(mix64(x), salt), n,
                                                rejection_threshold(n)) == kRejected;
  }
  EXPECT_GT(retried, 8000);
  EXPECT_GT(exhausted, 30);
  EXPECT_LT(exhausted, 130);
}

// ---------------------------------------------------------------- building

TEST(ElasticTableBuild, ConstructorsAndFailures) {
  const IntTable empty = IntTable::with_capacity(0, 3, kSeed);
  EXPECT_EQ(empty.level_count(), 0u);
  EXPECT_EQ(empty.arena_bytes(), 0u);
  EXPECT_EQ(empty.capacity(), 0u);
  EXPECT_EQ(empty.check_invariants(), "");

  const IntTable one = IntTable::with_capacity(1, 3, kSeed);
  EXPECT_EQ(one.level_lengths(), (std::vector<std::size_t>{4, 2, 2}));
  EXPECT_EQ(one.capacity(), 7u);
  EXPECT_EQ(one.schedule_capacity(), 0u);
  EXPECT_EQ(one.membership_count(), 1u);
  EXPECT_EQ(IntTable::with_capacity(8, 3, kSeed).slots(), 16u);
  EXPECT_EQ(IntTable::try_with_capacity(8, 3, kSeed).value().seed(),
            kSeed);

  const auto too_big =
      IntTable::try_with_capacity(kMaxElasticSlots, 3, kSeed);
  EXPECT_EQ(too_big.error().display(), "capacity overflow");
  EXPECT_EQ(IntTable::try_with_capacity(1, 0, kSeed).error().display(),
            "reserve exponent must be positive");
  try {
    IntTable::with_capacity(kMax, 3, kSeed);
    FAIL() << "no failure";
  } catch (const AllocFailure& f) {
    EXPECT_EQ(f.kind(), TryReserveError::CapacityOverflow);
  }
  EXPECT_THROW(IntTable::with_capacity(0, 0, kSeed), Panic);
  // Level indices have five bits: 33 levels cannot be probed.
  EXPECT_EQ(
      IntTable::try_from_geometry(ElasticGeometry::for_slots(std::size_t{1} << 33, 3), 3, kSeed)
          .error(),
      TryReserveError::CapacityOverflow);
}

TEST(ElasticTableBuild, AllocFailureSize) {
  // 8 control bytes, 8 slots of 16 bytes padded to 192, one record padded to 256.
  EXPECT_EQ(IntTable::elastic_alloc_failure_size(8), 256u);
  EXPECT_EQ(IntTable::elastic_alloc_failure_size(kMax), 1u);
  EXPECT_EQ(IntTable::elastic_alloc_failure_size(kMax / 2), 1u);
}

// ---------------------------------------------------------------- insertion

TEST(ElasticTableInsert, FirstInsertionGrowsAndSchedulesUpToItsPosition) {
  IntTable t = IntTable::with_capacity(0, 3, kSeed);
  t.insert(42, 1, hash_of(t, 42));
  EXPECT_EQ(t.level_lengths(), (std::vector<std::size_t>{4, 2, 2}));
  const auto loc = find_int(t, 42);
  ASSERT_TRUE(loc.has_value());
  EXPECT_EQ(loc->level, 0u);
  EXPECT_GE(t.horizon(), 13u);
  EXPECT_EQ(t.schedule_size() == 0, t.horizon() == 13);
  EXPECT_EQ(t.check_invariants(), "");

  // The eighth insertion finds the limit of 7 reached and doubles first.
  for (std::uint64_t k = 1; k <= 6; ++k) t.insert(std::uint64_t{k}, 0, hash_of(t, k));
  EXPECT_EQ(t.slots(), 8u);
  t.insert(7, 0, hash_of(t, 7));
  EXPECT_EQ(t.slots(), 16u);
  EXPECT_EQ(t.len(), 8u);
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(ElasticTableInsert, KeysLandInTheirBatchLevels) {
  IntTable t = table_for_slots<IntTable>(1024);
  for (std::uint64_t k = 0; k < t.capacity(); ++k) {
    const std::size_t before = t.len();
    BatchScheduler b = t.batches();
    b.sync(before);
    t.insert(std::uint64_t{k}, 0, hash_of(t, k));
    const std::size_t level = find_int(t, k)->level;
    if (b.index() == 0) {
      EXPECT_EQ(level, 0u);
    } else {
      EXPECT_TRUE(level + 1 == b.index() || level == b.index()) << k;
    }
  }
  EXPECT_FALSE(t.exceptional());
  EXPECT_EQ(t.slots(), 1024u);
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(ElasticTableInsert, CaseBothWithLevelEntirelyFreeGoesToNextLevel) {
  const IntTable t = table_for_slots<IntTable>(16);
  const auto choice = TableInternals<IntTable>::choose_slot(t, t.prepare(5), 0);
  ASSERT_TRUE(choice.has_value());
  EXPECT_EQ(choice->level, 1u);
  EXPECT_EQ(choice->probe, 1u);
  EXPECT_EQ(choice->query(), 26u);
}

TEST(ElasticTableInsert, ReusedTombstoneRestoresCounts) {
  IntTable t = table_for_slots<IntTable>(64);
  t.insert(9, 0, hash_of(t, 9));
  const auto loc = *find_int(t, 9);
  t.remove(loc);
  EXPECT_EQ(t.level_tombstones(0), 1u);
  t.insert(9, 0, hash_of(t, 9));
  EXPECT_EQ(*find_int(t, 9), loc);
  EXPECT_EQ(t.level_occupied(0), 1u);
  EXPECT_EQ(t.level_tombstones(0), 0u);
}

TEST(ElasticTableInsert, ExhaustedSequencesFallBackToExceptionalPlacement) {
  // Equal stored hashes share one probe sequence; level 0 has 512 slots but
  // its 383 usable probes reach only about 270 of them, so later keys fail,
  // the table rebuilds at the same size and then places them off-sequence.
  KeyTable t =
      std::move(KeyTable::try_with_capacity(600, 3, kSeed)).value();
  const std::size_t slots = t.slots();
  for (std::uint64_t id = 0; id < 300; ++id) insert_key(t, id, 77, id);
  EXPECT_EQ(t.slots(), slots);
  EXPECT_TRUE(t.exceptional());
  EXPECT_EQ(t.check_invariants(), "");

  // Walks that meet their own slots again and full scans after them still
  // compare each stored key once at most.
  quarlex_test::CompareCounts compared;
  std::size_t off_sequence = 0;
  for (std::uint64_t id = 0; id < 300; ++id) {
    const TestKey key{id, 77};
    const auto loc = t.find(key, hash_of(t, 77));
    ASSERT_TRUE(loc.has_value()) << id;
    EXPECT_TRUE(compared.each_once()) << id;
    EXPECT_EQ(t.entry_at(*loc).value, id);
    EXPECT_EQ(t.find_entry(key, hash_of(t, 77)), &t.entry_at(*loc)) << id;
    EXPECT_TRUE(compared.each_once()) << id;
    const PreparedHash ph = t.prepare(key);
    bool on_sequence = false;
    for (std::uint32_t j = 1; j <= kMaxProbeWithinCap[loc->level]; ++j) {
      on_sequence |=
          probe_position(ph.x, probe_salt(loc->level, j), t.level_len(loc->level)) == loc->position;
    }
    off_sequence += !on_sequence;
  }
  EXPECT_GT(off_sequence, 0u);  // found only through the full scan
  EXPECT_FALSE(t.find(TestKey{1000, 77}, hash_of(t, 77)).has_value());
  EXPECT_TRUE(compared.each_once());
  EXPECT_EQ(t.find_entry(TestKey{1000, 77}, hash_of(t, 77)), nullptr);
  EXPECT_TRUE(compared.each_once());
}

TEST(ElasticTableInsert, ExceptionalOnlyTableHasNoSchedule) {
  KeyTable t = table_for_slots<KeyTable>(8);
  const PreparedHash ph = t.prepare(TestKey{1, 5});
  const auto loc = TableInternals<KeyTable>::place_exceptional(t, TestKey{1, 5}, 3, ph);
  EXPECT_EQ(loc, (KeyTable::Location{0, 0}));
  EXPECT_TRUE(t.exceptional());
  EXPECT_EQ(t.horizon(), 0u);
  EXPECT_EQ(t.schedule_size(), 0u);
  EXPECT_EQ(t.find(TestKey{1, 5}, hash_of(t, 5)), loc);
  EXPECT_EQ(t.check_invariants(), "");
}

// ---------------------------------------------------------------- removal

TEST(ElasticTableRemove, TombstonesBeyondThresholdRebuildAtSameSize) {
  IntTable t = table_for_slots<IntTable>(16);  // level 0 has 8 slots: threshold 6
  std::uint64_t next = 0;
  while (t.level_occupied(0) < 7) {
    if (t.len() == t.capacity()) t.clear();
    t.insert(std::uint64_t{next}, 0, hash_of(t, next));
    ++next;
  }
  std::vector<std::uint64_t> level0, rest;
  for (std::uint64_t k = 0; k < next; ++k) {
    if (auto loc = find_int(t, k)) (loc->level == 0 ? level0 : rest).push_back(k);
  }
  for (std::size_t i = 0; i < 6; ++i) t.remove(*find_int(t, level0[i]));
  EXPECT_EQ(t.level_tombstones(0), 6u);
  t.remove(*find_int(t, level0[6]));
  EXPECT_EQ(t.slots(), 16u);
  for (std::size_t i = 0; i < t.level_count(); ++i) EXPECT_EQ(t.level_tombstones(i), 0u);
  for (std::size_t i = 7; i < level0.size(); ++i) EXPECT_TRUE(find_int(t, level0[i]));
  for (std::uint64_t k : rest) EXPECT_TRUE(find_int(t, k));
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(ElasticTableRemove, ManyRemovalsRefreshMembership) {
  IntTable t = table_for_slots<IntTable>(64);  // limit 56
  for (std::uint64_t k = 0; k < 10; ++k) t.insert(std::uint64_t{k}, 0, hash_of(t, k));
  // In batch 0 a key removed and inserted again takes its own tombstone back,
  // so no level ever needs a rebuild.
  for (std::uint32_t i = 1; i <= 56; ++i) {
    t.remove(*find_int(t, 3));
    EXPECT_EQ(t.removals_since_refresh(), i);
    t.insert(3, 0, hash_of(t, 3));
  }
  t.remove(*find_int(t, 3));
  EXPECT_EQ(t.removals_since_refresh(), 0u);
  EXPECT_EQ(t.level_tombstones(0), 1u);  // refreshed, not rebuilt
  EXPECT_EQ(t.check_invariants(), "");
  EXPECT_THROW(t.remove(IntTable::Location{0, t.level_len(0)}), Panic);
}

TEST(ElasticTableRemove, RebuildAfterRemovalsClearsExceptional) {
  KeyTable t =
      std::move(KeyTable::try_with_capacity(600, 3, kSeed)).value();
  for (std::uint64_t id = 0; id < 300; ++id) insert_key(t, id, 77, id);
  ASSERT_TRUE(t.exceptional());
  // 290 tombstones in level 0 (512 slots) pass its threshold of 288.
  for (std::uint64_t id = 0; id < 300; ++id) {
    if (id % 30 != 0) t.remove_deferred(*t.find(TestKey{id, 77}, hash_of(t, 77)));
  }
  t.finish_deferred_removals();
  EXPECT_EQ(t.len(), 10u);
  EXPECT_EQ(t.level_tombstones(0), 0u);
  EXPECT_EQ(t.removals_since_refresh(), 0u);
  EXPECT_FALSE(t.exceptional());  // ten keys fit on their shared sequence
  for (std::uint64_t id = 0; id < 300; id += 30)
    EXPECT_TRUE(t.find(TestKey{id, 77}, hash_of(t, 77))) << id;
  EXPECT_EQ(t.check_invariants(), "");
}

// ---------------------------------------------------------------- scan, clear, reserve

TEST(ElasticTableScan, LoneSlotNineAndTableOrder) {
  IntTable t = table_for_slots<IntTable>(32);  // level 0 has 16 slots
  IntTable::Cursor c;
  EXPECT_EQ(t.scan_next(c), std::nullopt);
  std::uint64_t k = 0;
  while (probe_position(t.prepare(k).x, 0, 16) != 9u) ++k;
  t.insert(std::uint64_t{k}, 0, hash_of(t, k));
  IntTable::Cursor lone;
  EXPECT_EQ(t.scan_next(lone), (IntTable::Location{0, 9}));
  EXPECT_EQ(t.scan_next(lone), std::nullopt);
  EXPECT_EQ(t.scan_next(lone), std::nullopt);

  for (std::uint64_t i = 100; i < 120; ++i) t.insert(std::uint64_t{i}, 0, hash_of(t, i));
  t.remove_deferred(*find_int(t, 105));
  std::vector<IntTable::Location> seen;
  IntTable::Cursor all;
  while (auto loc = t.scan_next(all)) seen.push_back(*loc);
  EXPECT_EQ(seen.size(), t.len());
  for (std::size_t i = 1; i < seen.size(); ++i) {
    EXPECT_TRUE(seen[i - 1].level < seen[i].level ||
                (seen[i - 1].level == seen[i].level && seen[i - 1].position < seen[i].position));
  }
  for (const auto& loc : seen) EXPECT_NE(t.control_byte(loc.level, loc.position), kCtrlTombstone);
}

TEST(ElasticTableClear, KeepsShapeAndResetsCounts) {
  IntTable t = table_for_slots<IntTable>(64);
  for (std::uint64_t k = 0; k < 40; ++k) t.insert(std::uint64_t{k}, 0, hash_of(t, k));
  for (std::uint64_t k = 0; k < 10; ++k) t.remove_deferred(*find_int(t, k));
  t.clear();
  EXPECT_EQ(t.len(), 0u);
  EXPECT_EQ(t.slots(), 64u);
  EXPECT_EQ(t.capacity(), 56u);
  EXPECT_EQ(t.horizon(), 0u);
  EXPECT_EQ(t.schedule_size(), 0u);
  for (std::size_t i = 0; i < t.level_count(); ++i) {
    EXPECT_EQ(t.level_occupied(i) + t.level_tombstones(i), 0u);
  }
  EXPECT_FALSE(find_int(t, 20));
  t.insert(20, 1, hash_of(t, 20));
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(ElasticTableReserve, SizesAndOverflow) {
  IntTable t = table_for_slots<IntTable>(8);
  t.reserve(0);
  EXPECT_EQ(t.slots(), 8u);
  t.reserve(15);  // 16 - 2 = 14 < 15; 32 - 4 = 28
  EXPECT_EQ(t.slots(), 32u);

  for (std::uint64_t k = 0; k < 20; ++k) {
    t.insert(std::uint64_t{k}, std::uint64_t{k}, hash_of(t, k));
  }
  for (std::size_t extra : {kMaxElasticSlots, kMax}) {
    try {
      t.reserve(extra);
      FAIL() << "reserve beyond 2^31 slots succeeded";
    } catch (const AllocFailure& f) {
      EXPECT_EQ(f.kind(), TryReserveError::CapacityOverflow);
    }
    EXPECT_EQ(t.slots(), 32u);
    EXPECT_EQ(t.len(), 20u);
    EXPECT_EQ(t.check_invariants(), "");
  }
}

// ---------------------------------------------------------------- ownership

TEST(ElasticTableOwnership, EveryEntryIsReleasedExactlyOnce) {
  Token::released.clear();
  {
    TokenTable t = TokenTable::with_capacity(0, 3, kSeed);
    for (std::uint64_t id = 0; id < 2000; ++id) {
      t.insert(TestKey{id, mix64(id)}, Token(id), table_hash(mix64(id), kSeed));  // grows 9 times
    }
    // Replacing drops the old value at once and keeps the stored key.
    auto old = t.insert(TestKey{5, mix64(5)}, Token(5000), table_hash(mix64(5), kSeed));
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->id, 5u);
    old.reset();
    for (std::uint64_t id = 0; id < 1500; ++id) {
      auto e = t.remove(*t.find(TestKey{id, 0}, table_hash(mix64(id), kSeed)));
      EXPECT_EQ(e.key.id, id);
    }
    EXPECT_EQ(t.check_invariants(), "");
    TokenTable moved(std::move(t));
    EXPECT_EQ(t.len(), 0u);
    t.insert(TestKey{9999, 1}, Token(9999),
             table_hash(1, kSeed));  // the moved-from table still works
    EXPECT_EQ(moved.len(), 500u);
    for (std::uint64_t id = 0; id < 1500; ++id) EXPECT_EQ(Token::released[id], 1) << id;
    for (std::uint64_t id = 1500; id < 2000; ++id) EXPECT_EQ(Token::released.count(id), 0u) << id;
    moved = std::move(t);  // drops the 500 entries it held
    for (std::uint64_t id = 1500; id < 2000; ++id) EXPECT_EQ(Token::released[id], 1) << id;
    moved.clear();
    EXPECT_EQ(Token::released[9999], 1);
  }
  EXPECT_EQ(Token::released[5], 1);
  EXPECT_EQ(Token::released[5000], 1);
  EXPECT_EQ(Token::released.size(), 2002u);
}

}  // namespace
}  // namespace quarlex
