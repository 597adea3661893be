// Tests of the funnel table: its geometry (shapes, sizes, growth, the fast
// slot-count search), its probe arithmetic, and the table itself on paths
// forced through the special array, exceptional placement, purging rebuilds
// and summary refreshes, with entries counted so none is dropped twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "compare_counts.hpp"
#include "quarlex/collections/hash_map.hpp"
#include "quarlex/funnel/table.hpp"

namespace quarlex {
namespace {

// A key whose stored hash the test chooses; `serial` tells apart equal keys.
struct Key {
  std::uint64_t id = 0;
  std::uint64_t hash = 0;
  std::uint64_t serial = 0;
};

// Counts live objects; a moved-from object owns nothing, a second
// destruction is recorded.
struct Counted {
  static inline long live = 0;
  static inline long double_drops = 0;
  std::uint64_t state = 1;  // 1 owns, 0 moved from, 2 destroyed

  Counted() { ++live; }
  Counted(Counted&& o) noexcept : state(std::exchange(o.state, 0)) {}
  Counted& operator=(Counted&& o) noexcept {
    if (state == 1) --live;
    state = std::exchange(o.state, 0);
    return *this;
  }
  ~Counted() {
    if (state == 2) ++double_drops;
    if (state == 1) --live;
    state = 2;
  }
};

}  // namespace

template <>
struct KeyTraits<Key> {
  static std::uint64_t hash(const Key& k) noexcept { return k.hash; }
  static bool eq(const Key& probe, const Key& stored) {
    quarlex_test::CompareCounts::note(&stored);
    return probe.id == stored.id;
  }
  // As with the binding's keys, only equal hashes need `eq`: lookups among
  // colliding keys take the out-of-line rest of the level search.
  static QuickMatch quick_eq(const Key& probe, const Key& stored) noexcept {
    return probe.hash != stored.hash ? QuickMatch::Unequal : QuickMatch::Unknown;
  }
};

template <class K, class V>
struct TableInternals<FunnelTable<K, V>> {
  using Table = FunnelTable<K, V>;
  static FunnelOutcome search_for_insert(const Table& t, const K& k, std::uint64_t x) {
    return t.search_exact_prepared_for_insert(k, PreparedProbe::of(x), fingerprint_of(x), nullptr);
  }
  static FunnelOutcome search_with_slot_rule(const Table& t, const K& k, std::uint64_t x) {
    return t.search_exact_mode(k, PreparedProbe::of(x), fingerprint_of(x), nullptr);
  }
};

namespace {

using SetTable = FunnelTable<std::uint64_t, Unit>;
using MapTable = FunnelTable<std::uint64_t, std::uint64_t>;
using KeyTable = FunnelTable<Key, Counted>;

constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();

template <class T>
T build(std::uint32_t e, std::size_t budget, std::uint64_t seed = 0x5EED) {
  auto r = T::try_with_capacity(budget, e, seed);
  EXPECT_TRUE(r.ok());
  return std::move(r).value();
}

std::vector<std::size_t> bucket_counts(const FunnelShape& s) {
  std::vector<std::size_t> out;
  for (const LevelShape& l : s.levels) out.push_back(l.buckets);
  return out;
}

FunnelShape shape_of(std::size_t n, std::uint32_t e) {
  auto r = FunnelShape::from_slots(n, e);
  EXPECT_TRUE(r.ok()) << "n=" << n << " e=" << e;
  return std::move(r).value();
}

void expect_same_shape(const FunnelShape& a, const FunnelShape& b) {
  EXPECT_EQ(a.slots, b.slots);
  EXPECT_EQ(bucket_counts(a), bucket_counts(b));
  EXPECT_EQ(a.insert_limit, b.insert_limit);
  EXPECT_EQ(a.uniform_start, b.uniform_start);
  EXPECT_EQ(a.pair_start, b.pair_start);
}

// The plain search the fast one must equal: every slot count in turn.
std::optional<std::size_t> stepwise_slots(std::uint32_t e, std::size_t budget) {
  const std::size_t reserve_denominator = (std::size_t{1} << e) - 1;
  const std::size_t n_min = budget + (budget - 1) / reserve_denominator;
  for (std::size_t n = std::max(n_min, funnel_level_count(e) * funnel_bucket_width(e) + 2);; ++n) {
    const auto shape = FunnelShape::from_slots(n, e);
    if (shape && shape.value().insert_limit >= budget) return n;
  }
}

// ---------------------------------------------------------------- geometry

TEST(FunnelGeometry, SmallestShapeForExponentThree) {
  const FunnelShape s = shape_of(144, 3);
  EXPECT_EQ(bucket_counts(s), std::vector<std::size_t>(22, 1));
  EXPECT_EQ(s.bucket_width, 6u);
  EXPECT_EQ(s.special_probes, 3u);
  EXPECT_EQ(s.uniform_start, 132u);
  EXPECT_EQ(s.uniform_len, 6u);
  EXPECT_EQ(s.pair_start, 138u);
  EXPECT_EQ(s.pair_buckets, 1u);
  EXPECT_EQ(s.pair_width, 6u);
  EXPECT_EQ(s.insert_limit, 126u);
  for (std::size_t i = 0; i < s.levels.size(); ++i) {
    EXPECT_EQ(s.levels[i].salt, i * 65536);
    EXPECT_EQ(s.levels[i].start, i * 6);
    EXPECT_EQ(s.levels[i].threshold, 0u);
  }
  // The copy kept for tables that start empty is the same shape.
  expect_same_shape(funnel_shape_for(144, 3).value(), s);
  EXPECT_EQ(funnel_slots_for_budget(3, 126).value(), 144u);
  EXPECT_EQ(funnel_slots_for_budget(3, 127).value(), stepwise_slots(3, 127));
  for (std::size_t n = 134; n <= 143; ++n) EXPECT_FALSE(FunnelShape::from_slots(n, 3).ok()) << n;
  // 143 slots: Ls = max(ceil(143/16), 4f) = 12 > Us = min(143 - 132, 13) = 11.
  EXPECT_EQ(funnel_special_upper_bound(143, 3), 13u);
  EXPECT_FALSE(FunnelShape::from_slots(1, 3).ok());
  EXPECT_EQ(FunnelShape::from_slots(5, 0).error().debug(), "ExponentZero");
  EXPECT_EQ(FunnelShape::from_slots(5, 3).error().debug(), "NTooSmall { n: 5 }");
  EXPECT_TRUE(FunnelShape::from_slots(0, 3).value().levels.empty());
}

TEST(FunnelGeometry, ShapesForBudgets) {
  const SetTable empty = build<SetTable>(3, 0);
  EXPECT_EQ(empty.slots(), 0u);
  EXPECT_EQ(empty.capacity(), 0u);
  EXPECT_EQ(empty.block_size(), 0u);
  EXPECT_EQ(empty.membership_count(), 0u);

  EXPECT_EQ(build<SetTable>(3, 1).slots(), 144u);
  EXPECT_EQ(build<SetTable>(3, 126).slots(), 144u);

  const SetTable t127 = build<SetTable>(3, 127);
  EXPECT_EQ(t127.slots(), 145u);
  EXPECT_EQ(t127.capacity(), 127u);
  EXPECT_EQ(t127.shape().special_len(), 13u);
  EXPECT_EQ(t127.shape().uniform_len, 7u);
  EXPECT_EQ(t127.shape().pair_buckets, 1u);
  EXPECT_EQ(t127.shape().pair_width, 6u);

  const SetTable t1000 = build<SetTable>(3, 1000);
  const FunnelShape& s = t1000.shape();
  EXPECT_EQ(t1000.slots(), 1142u);
  EXPECT_EQ(t1000.capacity(), 1000u);
  const auto counts = bucket_counts(s);
  EXPECT_EQ(std::vector<std::size_t>(counts.begin(), counts.begin() + 6),
            (std::vector<std::size_t>{44, 34, 26, 20, 14, 10}));
  EXPECT_EQ(counts.back(), 1u);
  std::size_t total = 0;
  for (std::size_t c : counts) total += c;
  EXPECT_EQ(total, 177u);
  EXPECT_EQ(s.special_len(), 80u);
  EXPECT_EQ(s.uniform_len, 40u);
  EXPECT_EQ(s.pair_buckets, 5u);
  EXPECT_EQ(s.pair_width, 8u);
  EXPECT_EQ(s.special_probes, 4u);
}

TEST(FunnelGeometry, SmallestShapesForExponentsFourAndFive) {
  const FunnelShape s4 = shape_of(funnel_slots_for_budget(4, 1).value(), 4);
  EXPECT_EQ(s4.slots, 344u);
  EXPECT_EQ(s4.insert_limit, 323u);
  std::vector<std::size_t> expect4{8, 5, 4, 2};
  expect4.resize(26, 1);
  EXPECT_EQ(bucket_counts(s4), expect4);
  EXPECT_EQ(s4.special_len(), 16u);
  EXPECT_EQ(s4.uniform_len, 8u);
  EXPECT_EQ(s4.pair_buckets, 1u);
  EXPECT_EQ(s4.pair_width, 8u);

  const FunnelShape s5 = shape_of(funnel_slots_for_budget(5, 1).value(), 5);
  EXPECT_EQ(s5.slots, 686u);
  EXPECT_EQ(s5.insert_limit, 665u);
  std::vector<std::size_t> expect5{14, 11, 8, 5, 3, 2};
  expect5.resize(30, 1);
  EXPECT_EQ(bucket_counts(s5), expect5);
  EXPECT_EQ(s5.special_len(), 16u);
}

TEST(FunnelGeometry, GrowthSequenceDoublesTheLimit) {
  EXPECT_EQ(funnel_next_growth_slots(3, 126, 127), 344u);
  EXPECT_EQ(insert_limit(344, 3), 301u);
  EXPECT_EQ(funnel_next_growth_slots(3, 301, 302), 688u);
  EXPECT_EQ(insert_limit(688, 3), 602u);
  EXPECT_EQ(funnel_next_growth_slots(3, 602, 603), 1375u);
  EXPECT_EQ(insert_limit(1375, 3), 1204u);
  // Growth from empty with the default exponent is served from cached steps,
  // which must be what the search and the geometry give, also past the cache.
  std::size_t limit = 126;
  for (std::size_t k = 1; k <= kCachedGrowthShapes + 1; ++k) {
    const std::size_t n = funnel_next_growth_slots(3, limit, limit + 1).value();
    ASSERT_EQ(n, stepwise_slots(3, 2 * limit)) << "step " << k;
    const FunnelShape computed = shape_of(n, 3);
    expect_same_shape(funnel_shape_for(n, 3).value(), computed);
    limit = computed.insert_limit;
  }
  EXPECT_EQ(funnel_next_growth_slots(3, 0, 0), 0u);
  EXPECT_EQ(funnel_next_growth_slots(2, 0, 1), std::nullopt);
  EXPECT_EQ(funnel_next_growth_slots(64, 0, 1), std::nullopt);
  const std::size_t largest_required = (std::size_t{1} << 63) - 2;
  EXPECT_EQ(funnel_next_growth_slots(3, 0, largest_required + 1), std::nullopt);
  // A saturated doubling still asks for a geometry; none is that large.
  EXPECT_EQ(funnel_next_growth_slots(3, kSizeMax - 1, 1), std::nullopt);
}

TEST(FunnelGeometry, BlockLayoutAndRebuildLimits) {
  // The 32-bit build's 12-byte map slots, and this build's 24-byte ones.
  const ArenaLayout narrow = compute_arena_layout(144, 7, 12, 8).value();
  EXPECT_EQ(narrow.size, 2048u);
  EXPECT_EQ(narrow.ctrl_len, 151u);
  EXPECT_EQ(narrow.slot_offset, 152u);
  EXPECT_EQ(narrow.summary_offset, 1920u);
  EXPECT_EQ(narrow.summary_count, 15u);
  struct alignas(8) Key16 {
    std::uint64_t word[2];
  };
  using WideEntry = SlotEntry<Key16, void*>;
  static_assert(sizeof(WideEntry) == 24);
  const ArenaLayout wide = funnel_layout<WideEntry>(144).value();
  EXPECT_EQ(wide.slot_offset, 152u);
  EXPECT_EQ(wide.summary_offset, 3648u);  // 152 + 144 * 24 = 3608, padded to 64
  EXPECT_EQ(wide.size, 3776u);            // 3648 + 15 * 8 = 3768, padded to 64
  using WideTable = FunnelTable<Key16, void*>;
  EXPECT_EQ(WideTable::try_with_capacity(1, 3, 1).value().block_size(), 3776u);
  EXPECT_EQ(funnel_layout<WideEntry>(kSizeMax - 6).error(), TryReserveError::CapacityOverflow);
  EXPECT_EQ(funnel_layout<WideEntry>(kSizeMax / 16).error(), TryReserveError::AllocError);
}

TEST(FunnelGeometry, ConstructionFailures) {
  const auto low = MapTable::try_with_capacity(10, 2, 1);
  ASSERT_FALSE(low.ok());
  EXPECT_EQ(low.error().display(), "Funnel reserve exponent 2 is below the minimum 3");
  const auto wide = MapTable::try_with_capacity(10, 64, 1);
  ASSERT_FALSE(wide.ok());
  EXPECT_EQ(wide.error(), TryBuildError(TryReserveError::CapacityOverflow));
  EXPECT_EQ(MapTable::try_with_capacity(kSizeMax, 3, 1).error(),
            TryBuildError(TryReserveError::CapacityOverflow));
  // No slot count below 2^64 has room for e = 63's special array.
  EXPECT_EQ(MapTable::try_with_capacity(1, 63, 1).error(),
            TryBuildError(TryReserveError::CapacityOverflow));
  // e = 56's smallest shape exists but its block exceeds any allocation.
  EXPECT_EQ(MapTable::try_with_capacity(1, 56, 1).error(),
            TryBuildError(TryReserveError::AllocError));
  // Budget 0 builds the empty table whatever the exponent above the minimum.
  EXPECT_TRUE(MapTable::try_with_capacity(0, 200, 1).ok());
}

TEST(FunnelGeometry, LargeExponentsAnswerWithoutStepping) {
  // Stepping one slot count at a time would take hours here; each case must
  // be decided by the geometry alone (no block is allocated).
  for (std::uint32_t e : {20u, 25u, 32u, 40u, 53u}) {
    const auto n = funnel_slots_for_budget(e, 1);
    ASSERT_TRUE(n.ok()) << e;
    const FunnelShape s = shape_of(n.value(), e);
    EXPECT_EQ(s.slots, n.value());
    EXPECT_GE(s.special_len(), 4 * s.special_probes);
    EXPECT_LE(s.special_len(), funnel_special_upper_bound(n.value(), e));
    // The slot count just below has no geometry, or it would have been chosen.
    EXPECT_FALSE(FunnelShape::from_slots(n.value() - 1, e).ok());
    EXPECT_EQ(funnel_next_growth_slots(e, 0, 1), n.value());
  }
  EXPECT_EQ(funnel_slots_for_budget(63, 1).error(), TryReserveError::CapacityOverflow);
  EXPECT_EQ(funnel_next_growth_slots(63, 0, 1), std::nullopt);

  // e = 20's smallest table is small enough to build for real.
  const SetTable t = build<SetTable>(20, 1);
  EXPECT_EQ(t.slots(), funnel_slots_for_budget(20, 1).value());
}

TEST(FunnelGeometry, FastSearchEqualsStepwiseSearch) {
  std::mt19937_64 rng(11);
  for (std::uint32_t e = 3; e <= 13; ++e) {
    std::vector<std::size_t> budgets{1, 2, 126, 127, 1000};
    for (int i = 0; i < 12; ++i) budgets.push_back(1 + rng() % 20000);
    for (std::size_t budget : budgets) {
      const auto fast = funnel_slots_for_budget(e, budget);
      ASSERT_TRUE(fast.ok());
      EXPECT_EQ(fast.value(), stepwise_slots(e, budget)) << "e=" << e << " budget=" << budget;
    }
  }
}

TEST(FunnelGeometry, PlansKeepTheirShapeRules) {
  std::mt19937_64 rng(5);
  for (std::uint32_t e = 3; e <= 9; ++e) {
    const std::size_t least = funnel_level_count(e) * funnel_bucket_width(e);
    std::vector<std::size_t> ns;
    for (std::size_t n = least; n < least + 3000; ++n) ns.push_back(n);
    for (int i = 0; i < 200; ++i) ns.push_back(least + rng() % 5'000'000);
    std::size_t built = 0;
    for (std::size_t n : ns) {
      const auto r = FunnelShape::from_slots(n, e);
      if (!r) continue;
      ++built;
      const FunnelShape& s = r.value();
      ASSERT_EQ(s.levels.size(), funnel_level_count(e));
      std::size_t next_start = 0;
      for (std::size_t i = 0; i < s.levels.size(); ++i) {
        const LevelShape& l = s.levels[i];
        ASSERT_GE(l.buckets, 1u);
        EXPECT_EQ(l.start, next_start);
        EXPECT_EQ(l.threshold, (0 - std::uint64_t{l.buckets}) % l.buckets);
        if (i > 0) {
          const std::size_t prev = s.levels[i - 1].buckets;
          EXPECT_LE(l.buckets, prev);
          EXPECT_GE(l.buckets, funnel_min_step(prev));
          EXPECT_LE(l.buckets, funnel_max_step(prev));
        }
        next_start += l.buckets * s.bucket_width;
      }
      EXPECT_EQ(s.uniform_start, next_start);
      EXPECT_EQ(s.uniform_len, (s.special_len() + 1) / 2);
      EXPECT_EQ(s.pair_buckets * s.pair_width, s.special_len() / 2);
      EXPECT_EQ(s.pair_start + s.pair_buckets * s.pair_width, n);
      EXPECT_GE(s.special_len(), funnel_special_lower_bound(n, e));
      EXPECT_LE(s.special_len(), funnel_special_upper_bound(n, e));
    }
    EXPECT_GT(built, 100u) << e;
  }
  EXPECT_EQ(funnel_min_step(100), 74u);
  EXPECT_EQ(funnel_max_step(100), 76u);
  EXPECT_EQ(funnel_max_step(4), 4u);
}

// ---------------------------------------------------------------- probing

TEST(FunnelProbe, FingerprintAndReduction) {
  const PreparedProbe p = PreparedProbe::of(12345);
  for (std::uint64_t salt = 0; salt < 64; ++salt) {
    EXPECT_EQ(unbiased_prepared_funnel_probe_index_in_range(p, salt << 16, 0, 1), 0u);
  }
  // A range just past 2^63 rejects about half of all attempts, so about one
  // site in 256 exhausts its eight; a level's form agrees, retries included.
  const std::size_t range = (std::size_t{1} << 63) + 1;
  const std::uint64_t threshold = (0 - std::uint64_t{range}) % range;
  int unreduced = 0;
  for (std::uint64_t h = 0; h < 4000; ++h) {
    const std::size_t i = unbiased_prepared_funnel_probe_index_in_range(
        PreparedProbe::of(h), kUniformSalt, threshold, range);
    EXPECT_EQ(level_bucket(PreparedProbe::of(h), LevelShape{kUniformSalt, 0, threshold, range}),
              i);
    if (i == kUnreduced) {
      ++unreduced;
    } else {
      EXPECT_LT(i, range);
    }
  }
  EXPECT_GT(unreduced, 0);
  EXPECT_LT(unreduced, 100);
}

// Python's int keys hash to themselves, so runs and strides are common: the
// buckets they pick in one level, and the pairs they pick in two, must look
// uniform (chi-square over 256 cells, 255 degrees of freedom: mean 255,
// standard deviation 22.6; the bound is six deviations out).
TEST(FunnelProbe, StructuredKeysSpreadOverBuckets) {
  constexpr std::size_t kCells = 256, kKeys = kCells * 64;
  const auto chi_square = [](const std::vector<std::size_t>& counts) {
    double sum = 0;
    for (std::size_t c : counts) sum += (c - 64.0) * (c - 64.0) / 64.0;
    return sum;
  };
  const auto bucket = [](std::uint64_t h, std::uint64_t level, std::size_t range) {
    const std::uint64_t threshold = (0 - std::uint64_t{range}) % range;
    return unbiased_prepared_funnel_probe_index_in_range(PreparedProbe::of(h), level << 16,
                                                         threshold, range);
  };
  const std::uint64_t seed = 0x5EED5EED12345678ULL;
  for (const std::uint64_t stride : {1ULL, 4096ULL, 1ULL << 32}) {
    std::vector<std::size_t> one(kCells), two(kCells);
    for (std::uint64_t i = 0; i < kKeys; ++i) {
      const std::uint64_t h = table_hash(i * stride, seed);
      ++one[bucket(h, 0, kCells)];
      ++two[bucket(h, 0, 16) * 16 + bucket(h, 1, 16)];
    }
    EXPECT_LT(chi_square(one), 390.0) << stride;
    EXPECT_LT(chi_square(two), 390.0) << stride;
  }
}

// ---------------------------------------------------------------- table

Key key(std::uint64_t id, std::uint64_t hash, std::uint64_t serial = 0) {
  return Key{id, hash, serial};
}

std::uint64_t x_of(const KeyTable& t, const Key& k) { return table_hash(k.hash, t.seed()); }

std::optional<std::size_t> insert(KeyTable& t, Key k) {
  const std::uint64_t x = x_of(t, k);
  if (t.insert(std::move(k), Counted{}, x)) return std::nullopt;
  return t.find(k, x);
}

TEST(FunnelTable, CollidingKeysFillThePathThenGoOffPath) {
  // Every key has the same table hash, hence the same path: 22 level
  // buckets, four uniform probes, two two-choice buckets of eight. The first
  // stored hash whose two buckets differ shows the alternating scan.
  KeyTable t = build<KeyTable>(3, 0);
  const FunnelShape& s = t.shape();
  std::vector<std::size_t> slots;
  std::vector<std::size_t> pair_slots;
  std::uint64_t hash = 76, id = 0;
  while (pair_slots.size() != 16) {
    ASSERT_LT(++hash, 100u);
    t = build<KeyTable>(3, 1000);
    slots.clear();
    pair_slots.clear();
    for (id = 0; !t.exceptional(); ++id) {
      const auto slot = insert(t, key(id, hash));
      ASSERT_TRUE(slot.has_value());
      slots.push_back(*slot);
    }
    ASSERT_GT(slots.size(), 22u * 6);
    for (std::size_t i = 0; i < 22 * 6; ++i) EXPECT_LT(slots[i], s.uniform_start) << i;
    std::size_t uniform = 0;
    for (std::size_t i = 22 * 6; i + 1 < slots.size(); ++i) {
      if (slots[i] < s.pair_start) {
        EXPECT_TRUE(pair_slots.empty()) << "uniform slots come before the two-choice buckets";
        ++uniform;
      } else {
        pair_slots.push_back(slots[i]);
      }
    }
    EXPECT_GE(uniform, 1u);
    EXPECT_LE(uniform, s.special_probes);
    EXPECT_TRUE(pair_slots.size() == 8 || pair_slots.size() == 16) << pair_slots.size();
  }
  for (std::size_t j = 0; j < 16; ++j) {
    EXPECT_EQ((pair_slots[j] - s.pair_start) % 8, j / 2) << j;
    if (j % 2 == 1) {
      EXPECT_NE((pair_slots[j] - s.pair_start) / 8, (pair_slots[j - 1] - s.pair_start) / 8);
    }
  }
  // The off-path key went to the first free slot of the table.
  const std::size_t off_path = slots.back();
  for (std::size_t i = 0; i < off_path; ++i) EXPECT_TRUE(ctrl_is_full(t.control(i))) << i;
  EXPECT_EQ(t.check_invariants(), "");

  // Its own path is full, so only the fallback scan finds it, also after a
  // tombstone on the path; and re-inserting it replaces in place. The scan
  // compares no key the path did.
  quarlex_test::CompareCounts compared;
  const Key last = key(id - 1, hash);
  EXPECT_EQ(t.find(last, x_of(t, last)), off_path);
  EXPECT_TRUE(compared.each_once());
  EXPECT_EQ(t.find_entry(last, x_of(t, last)), &t.entry_at(off_path));
  EXPECT_TRUE(compared.each_once());
  (void)t.remove(slots[3]);
  EXPECT_EQ(t.find(last, x_of(t, last)), off_path);
  EXPECT_TRUE(compared.each_once());
  const std::size_t len = t.len();
  EXPECT_TRUE(t.insert(key(id - 1, hash), Counted{}, x_of(t, last)).has_value());
  EXPECT_TRUE(compared.each_once());
  EXPECT_EQ(t.len(), len);
  for (std::uint64_t k = 0; k < id; ++k) {
    if (k == 3) continue;
    EXPECT_TRUE(t.find(key(k, hash), x_of(t, last)).has_value()) << k;
    EXPECT_TRUE(compared.each_once()) << k;
  }
  EXPECT_FALSE(t.find(key(3, hash), x_of(t, last)).has_value());
  EXPECT_TRUE(compared.each_once());
  // The next colliding key reuses the tombstone: the first free slot on its path.
  EXPECT_EQ(insert(t, key(id, hash)), slots[3]);
  EXPECT_EQ(t.tombstones(), 0u);

  t.clear();
  EXPECT_FALSE(t.exceptional());
  EXPECT_EQ(t.len(), 0u);
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(FunnelTable, TombstonesPurgedPastTheRebuildLimit) {
  for (bool deferred : {false, true}) {
    MapTable t = build<MapTable>(3, 126);
    HashMap<MapTable> m(std::move(t));
    for (std::uint64_t k = 0; k < 126; ++k) m.insert(k * 7919, k);
    for (std::uint64_t k = 0; k < 104; ++k) {
      auto loc = m.find(k * 7919);
      ASSERT_TRUE(loc);
      if (deferred) {
        (void)m.table().remove_deferred(*loc);
      } else {
        (void)m.table().remove(*loc);
      }
    }
    EXPECT_EQ(m.table().tombstones(), 104u);
    (void)m.table().remove_deferred(*m.find(104 * 7919));
    EXPECT_EQ(m.table().tombstones(), 105u);
    m.table().finish_deferred_removals();
    EXPECT_EQ(m.table().tombstones(), 0u) << deferred;
    EXPECT_EQ(m.table().slots(), 144u);
    EXPECT_EQ(m.len(), 21u);
    for (std::uint64_t k = 0; k < 126; ++k) EXPECT_EQ(m.contains(k * 7919), k > 104) << k;
    EXPECT_EQ(m.table().check_invariants(), "");
  }
}

TEST(FunnelTable, SummaryRefreshedAfterMoreRemovalsThanTheLimit) {
  KeyTable t = build<KeyTable>(3, 126);
  std::mt19937_64 rng(3);
  std::vector<Key> live;
  for (std::uint64_t id = 0; id < 10; ++id) {
    live.push_back(key(id, rng()));
    ASSERT_TRUE(insert(t, live.back()));
  }
  std::vector<Key> removed;
  for (std::uint64_t id = 100; id < 227; ++id) {
    const Key k = key(id, rng());
    const auto slot = insert(t, k);
    ASSERT_TRUE(slot);
    (void)t.remove(*slot);
    removed.push_back(k);
    EXPECT_LE(t.tombstones(), 1u) << "each new key reuses the previous tombstone";
    EXPECT_EQ(t.removals_since_refresh(), removed.size() % 127);
  }
  std::vector<std::uint64_t> live_bits(t.membership_count());
  for (const Key& k : live) {
    const SummaryBits b = SummaryBits::of(x_of(t, k), t.membership_count());
    live_bits[b.word] |= b.mask;
    EXPECT_TRUE(t.summary_may_contain(x_of(t, k)));
  }
  for (const Key& k : removed) {
    const SummaryBits b = SummaryBits::of(x_of(t, k), t.membership_count());
    const bool shared = (live_bits[b.word] & b.mask) == b.mask;
    EXPECT_EQ(t.summary_may_contain(x_of(t, k)), shared);
    EXPECT_FALSE(t.find(k, x_of(t, k)));
  }
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(FunnelTable, EntriesReleasedExactlyOnce) {
  Counted::live = 0;
  Counted::double_drops = 0;
  {
    KeyTable t = build<KeyTable>(3, 0);
    std::mt19937_64 rng(9);
    std::vector<Key> keys;
    bool saw_off_path = false;
    for (std::uint64_t id = 0; id < 3000; ++id) {
      // A small hash space forces long paths and off-path placements; the
      // growth rebuilds and tombstone purges move every entry.
      keys.push_back(key(id, rng() % 8));
      saw_off_path |= t.exceptional();
      ASSERT_TRUE(insert(t, keys.back()));
      if (id % 3 == 0) {
        const Key victim = keys[rng() % keys.size()];
        if (const auto slot = t.find(victim, x_of(t, victim))) (void)t.remove(*slot);
      }
      if (id % 5 == 0) {
        const Key again = keys[rng() % keys.size()];
        (void)t.insert(Key(again), Counted{}, x_of(t, again));
      }
    }
    EXPECT_TRUE(saw_off_path);
    EXPECT_EQ(Counted::live, static_cast<long>(t.len()));
    EXPECT_EQ(t.check_invariants(), "");
    t.clear();
    EXPECT_EQ(Counted::live, 0);
    for (std::uint64_t id = 0; id < 500; ++id) ASSERT_TRUE(insert(t, key(id, id)));
    KeyTable moved(std::move(t));
    EXPECT_EQ(t.len(), 0u);
    EXPECT_EQ(Counted::live, 500);
    ASSERT_TRUE(insert(t, key(1, 1)));
    EXPECT_EQ(Counted::live, 501);
  }
  EXPECT_EQ(Counted::live, 0);
  EXPECT_EQ(Counted::double_drops, 0);
}

TEST(FunnelTable, ReplacementKeepsStoredKeyAndNeverGrows) {
  KeyTable t = build<KeyTable>(3, 0);
  ASSERT_TRUE(insert(t, key(0, 5, 1)));
  EXPECT_EQ(t.slots(), 144u);
  for (std::uint64_t id = 1; id < 126; ++id) ASSERT_TRUE(insert(t, key(id, id * 31, 1)));
  ASSERT_EQ(t.len(), t.insert_limit());
  const Key probe = key(0, 5, 2);
  EXPECT_TRUE(t.insert(Key(probe), Counted{}, x_of(t, probe)).has_value());
  EXPECT_EQ(t.slots(), 144u);
  EXPECT_EQ(t.entry_at(*t.find(probe, x_of(t, probe))).key.serial, 1u);

  // Clearing keeps the capacity: refilling does not grow.
  t.clear();
  EXPECT_EQ(t.capacity(), 126u);
  for (std::uint64_t id = 0; id < 126; ++id) ASSERT_TRUE(insert(t, key(id, id)));
  EXPECT_EQ(t.slots(), 144u);
  ASSERT_TRUE(insert(t, key(999, 999)));
  EXPECT_EQ(t.slots(), 344u);
  EXPECT_EQ(t.capacity(), 301u);
}

TEST(FunnelTable, GrowthThatCannotBeHadLeavesTheTableAsItWas) {
  // e = 63 has no geometry at all: the first insertion cannot grow.
  MapTable none = build<MapTable>(63, 0);
  std::uint64_t k = 7, v = 8;
  try {
    (void)none.insert(std::move(k), std::move(v), 123);
    FAIL() << "growth should have failed";
  } catch (const AllocFailure& e) {
    EXPECT_EQ(e.kind(), TryReserveError::CapacityOverflow);
  }
  EXPECT_EQ(none.len(), 0u);
  EXPECT_EQ(none.slots(), 0u);

  // e = 54's first geometry is larger than any allocation.
  MapTable huge = build<MapTable>(54, 0);
  EXPECT_THROW(huge.reserve(1), AllocFailure);

  HashMap<MapTable> m(build<MapTable>(3, 100));
  for (std::uint64_t i = 0; i < 100; ++i) m.insert(i, i);
  for (std::size_t extra : {kSizeMax, std::size_t{1} << 62}) {
    try {
      m.reserve(extra);
      FAIL() << "reserve should have failed";
    } catch (const AllocFailure& e) {
      EXPECT_EQ(e.kind(), extra == kSizeMax ? TryReserveError::CapacityOverflow
                                            : TryReserveError::AllocError);
    }
    EXPECT_EQ(m.table().slots(), 144u);
    EXPECT_EQ(m.len(), 100u);
    for (std::uint64_t i = 0; i < 100; ++i) EXPECT_EQ(*m.get(i), i);
  }
  m.reserve(26);
  EXPECT_EQ(m.table().slots(), 144u);
  m.reserve(1000);
  EXPECT_GE(m.capacity(), 1100u);
  for (std::uint64_t i = 0; i < 100; ++i) EXPECT_EQ(*m.get(i), i);
}

// Placing known-absent keys must land each where insertion would: the same
// control bytes, entries, counters and growth, also on paths forced full
// (off-path placements) and with tombstones to reuse.
TEST(FunnelTable, InsertAbsentPlacesLikeInsert) {
  for (std::uint32_t e : {3u, 5u}) {
    KeyTable by_insert = build<KeyTable>(e, 0, 77);
    KeyTable by_absent = build<KeyTable>(e, 0, 77);
    std::mt19937_64 rng(e);
    std::vector<Key> live;
    const auto same = [&] {
      ASSERT_EQ(by_absent.slots(), by_insert.slots());
      ASSERT_EQ(by_absent.len(), by_insert.len());
      ASSERT_EQ(by_absent.tombstones(), by_insert.tombstones());
      ASSERT_EQ(by_absent.exceptional(), by_insert.exceptional());
      for (std::size_t i = 0; i < by_insert.slots(); ++i) {
        ASSERT_EQ(by_absent.control(i), by_insert.control(i)) << i;
        if (ctrl_is_full(by_insert.control(i))) {
          ASSERT_EQ(by_absent.entry_at(i).key.id, by_insert.entry_at(i).key.id) << i;
        }
      }
    };
    bool saw_off_path = false;
    for (std::uint64_t id = 0; id < 2500; ++id) {
      // One key in four shares one of two hashes, so those paths fill up.
      const Key k = key(id, id % 4 == 0 ? rng() % 2 : rng());
      const std::uint64_t x = x_of(by_insert, k);
      ASSERT_FALSE(by_insert.insert(Key(k), Counted{}, x).has_value());
      by_absent.insert_absent(Key(k), Counted{}, x);
      live.push_back(k);
      saw_off_path |= by_insert.exceptional();
      if (id % 4 == 3) {
        const std::size_t victim = rng() % live.size();
        const Key gone = live[victim];
        live[victim] = live.back();
        live.pop_back();
        (void)by_insert.remove(*by_insert.find(gone, x_of(by_insert, gone)));
        (void)by_absent.remove(*by_absent.find(gone, x_of(by_absent, gone)));
      }
      if (id % 250 == 0) same();
    }
    same();
    EXPECT_TRUE(saw_off_path) << e;
    EXPECT_GT(by_absent.slots(), 1000u);
    EXPECT_EQ(by_absent.check_invariants(), "");
    for (const Key& k : live) {
      const auto slot = by_absent.find(k, x_of(by_absent, k));
      ASSERT_TRUE(slot.has_value()) << k.id;
      EXPECT_EQ(by_absent.entry_at(*slot).key.id, k.id);
    }
  }

  // Growth that cannot be had leaves the table and the passed entry alone.
  Counted::live = 0;
  FunnelTable<std::uint64_t, Counted> none =
      build<FunnelTable<std::uint64_t, Counted>>(63, 0);
  std::uint64_t k = 1;
  Counted value;
  EXPECT_THROW(none.insert_absent(std::move(k), std::move(value), 99), AllocFailure);
  EXPECT_EQ(none.len(), 0u);
  EXPECT_EQ(value.state, 1u);
  EXPECT_EQ(Counted::live, 1);
}

// Random operations on colliding keys against std::unordered_map, across
// exponents (bucket width 6, 8, 10, 12: one group, an exact group, two
// groups), with the fast insertion search checked against the full one.
TEST(FunnelTable, RandomOperationsMatchAModel) {
  for (std::uint32_t e : {3u, 4u, 5u, 6u}) {
    KeyTable t = build<KeyTable>(e, 0, e);
    std::unordered_map<std::uint64_t, std::uint64_t> model;  // id -> hash
    std::mt19937_64 rng(e);
    for (int step = 0; step < 6000; ++step) {
      const std::uint64_t id = rng() % 900;
      const Key k = key(id, id < 800 ? 1 : id);  // 800 keys share one path
      const std::uint64_t x = x_of(t, k);
      const auto op = rng() % 10;
      if (op < 6) {
        const bool had = t.insert(Key(k), Counted{}, x).has_value();
        EXPECT_EQ(had, model.count(id) == 1);
        model[id] = k.hash;
      } else if (op < 9) {
        const auto slot = t.find(k, x);
        ASSERT_EQ(slot.has_value(), model.count(id) == 1) << "e=" << e << " step=" << step;
        if (slot) {
          ASSERT_EQ(t.entry_at(*slot).key.id, id);
          if (op == 8) {
            (void)t.remove_deferred(*slot);
            t.finish_deferred_removals();
          } else {
            (void)t.remove(*slot);
          }
          model.erase(id);
        }
      } else if (t.tombstones() == 0 && t.slots() != 0) {
        const FunnelOutcome fast = TableInternals<KeyTable>::search_for_insert(t, k, x);
        const FunnelOutcome full = TableInternals<KeyTable>::search_with_slot_rule(t, k, x);
        EXPECT_EQ(fast.kind, full.kind);
        if (fast.kind == FunnelSearch::Found || fast.kind == FunnelSearch::Vacant) {
          EXPECT_EQ(fast.slot, full.slot);
        }
      }
      ASSERT_EQ(t.len(), model.size());
    }
    EXPECT_EQ(t.check_invariants(), "") << e;
    EXPECT_TRUE(t.exceptional()) << e;
    std::size_t seen = 0;
    std::size_t last = 0;
    KeyTable::Cursor cursor;
    while (const auto slot = t.scan_next(cursor)) {
      if (seen++ > 0) {
        EXPECT_GT(*slot, last);
      }
      last = *slot;
      EXPECT_EQ(model.count(t.entry_at(*slot).key.id), 1u);
    }
    EXPECT_EQ(seen, model.size());
  }
}

}  // namespace
}  // namespace quarlex
