// Funnel table geometry: how a slot count and a reserve exponent e cut the
// flat slot array into levels of fixed-width buckets and a special array.
//
// Slot order for an n-slot shape:
//   [level 0 | level 1 | ... | level a-1 | uniform part | two-choice part]
// Every level has `bucket_width` = 2e slots per bucket and at least one bucket;
// bucket counts never increase from one level to the next and each lies within
// the min and max step of the one before. The special array (s slots) is a
// uniform part of ceil(s/2) slots followed by floor(s/2) / 2f two-choice
// buckets of 2f slots, f = `special_probes`. The parts follow each other
// without gaps and end at slot n - 1. A shape never changes while a table
// lives in it; every division a probe would need is done here, once.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarlex/common/arena.hpp"
#include "quarlex/common/errors.hpp"
#include "quarlex/common/probe.hpp"

namespace quarlex {

inline constexpr std::size_t kFunnelCtrlTail = 7;
inline constexpr std::size_t kFunnelSummaryBytes = 8;
inline constexpr std::uint32_t kFunnelMaxSpecialProbes = 255;

constexpr std::size_t funnel_level_count(std::uint32_t e) noexcept {
  return 4 * static_cast<std::size_t>(e) + 10;
}

constexpr std::size_t funnel_bucket_width(std::uint32_t e) noexcept {
  return 2 * static_cast<std::size_t>(e);
}

// f = floor(log2 L) + 1 with L = floor(log2(n - 1)); 1 below three slots.
constexpr std::size_t funnel_special_probes(std::size_t n) noexcept {
  if (n < 3) return 1;
  const std::size_t l = static_cast<std::size_t>(std::bit_width(n - 1)) - 1;
  return static_cast<std::size_t>(std::bit_width(l));
}

// ceil(n / 2^(e+1)): the fewest special slots a shape may have.
constexpr std::size_t funnel_special_lower_bound(std::size_t n, std::uint32_t e) noexcept {
  if (n == 0) return 0;
  const std::uint64_t shift = std::uint64_t{e} + 1;
  if (shift >= kWordBits) return 1;
  return (n >> shift) + ((n & ((std::size_t{1} << shift) - 1)) != 0);
}

// floor(3n / 2^(e+2)): the most special slots a shape may have.
constexpr std::size_t funnel_special_upper_bound(std::size_t n, std::uint32_t e) noexcept {
  const std::uint64_t shift = std::uint64_t{e} + 2;
  if (shift >= 2 * kWordBits) return 0;
  return static_cast<std::size_t>((u128{n} * 3) >> shift);
}

// Level steps: the next level may have between min_step(x) and max_step(x)
// buckets when this one has x >= 1.
constexpr std::size_t funnel_min_step(std::size_t x) noexcept {
  return std::max<std::size_t>(1, x - x / 4 - 1);
}

constexpr std::size_t funnel_max_step(std::size_t x) noexcept {
  return std::min(x, x - (x / 4 + (x % 4 != 0)) + 1);  // floor(3x/4) + 1 without 3x
}

namespace funnel_detail {

// Sum of the `terms`-term sequence v, step(v), step(step(v)), ...; nothing
// when it overflows the word. Both steps reach a fixed point within a few
// dozen terms, after which the rest of the sum is one product.
template <std::size_t (*Step)(std::size_t)>
constexpr std::optional<std::size_t> sequence_sum(std::size_t v, std::size_t terms) noexcept {
  std::size_t sum = 0;
  while (terms > 0) {
    const std::size_t next = Step(v);
    if (next == v) {
      if (v != 0 && terms > (kWordMax - sum) / v) return std::nullopt;
      return sum + v * terms;
    }
    if (v > kWordMax - sum) return std::nullopt;
    sum += v;
    --terms;
    v = next;
  }
  return sum;
}

constexpr bool min_sequence_fits(std::size_t v, std::size_t terms, std::size_t bound) noexcept {
  const auto sum = sequence_sum<funnel_min_step>(v, terms);
  return sum && *sum <= bound;
}

// An overflowing sum counts as larger than any bound.
constexpr bool max_sequence_reaches(std::size_t v, std::size_t terms, std::size_t bound) noexcept {
  const auto sum = sequence_sum<funnel_max_step>(v, terms);
  return !sum || *sum >= bound;
}

}  // namespace funnel_detail

// The bucket count of each level in level order. Each count is the largest
// step of the previous one that still lets the remaining levels (each at
// least one bucket, never increasing) use up exactly the remaining buckets.
class FunnelBucketCounts {
 public:
  FunnelBucketCounts(std::size_t first, std::size_t total, std::size_t levels) noexcept
      : active_(true), current_(first), remaining_(total), levels_left_(levels) {}

  std::optional<std::size_t> next() noexcept {
    if (!active_) return std::nullopt;
    active_ = false;
    if (remaining_ < current_ || levels_left_ == 0) return std::nullopt;
    const std::size_t c = current_;
    remaining_ -= c;
    const std::size_t k = --levels_left_;
    if (k == 0) return c;
    for (std::size_t v = funnel_max_step(c); v >= funnel_min_step(c); --v) {
      if (funnel_detail::min_sequence_fits(v, k, remaining_) &&
          funnel_detail::max_sequence_reaches(v, k, remaining_)) {
        current_ = v;
        active_ = true;
        break;
      }
    }
    return c;
  }

  std::size_t remaining() const noexcept { return remaining_; }

 private:
  bool active_;
  std::size_t current_;
  std::size_t remaining_;
  std::size_t levels_left_;
};

struct FunnelPlan {
  std::size_t slots;
  std::uint32_t reserve_exponent;
  std::size_t level_count;
  std::size_t bucket_width;
  std::size_t special_probes;
  std::size_t pair_width;
  std::size_t special_len;
  std::size_t first_buckets;
};

enum class FunnelPlanError : std::uint8_t { ExponentBelowMinimum, ExponentTooLarge, NoGeometry };

namespace funnel_detail {

// Size of the special array of an n-slot shape, or nothing when none fits:
// the largest s <= Us with n - s a whole number of buckets and floor(s/2) a
// positive multiple of 2f, provided s >= Ls. The candidates step down by one
// bucket width; 4f / gcd(beta, 4f) of them cover every residue of floor(s/2)
// modulo 2f.
constexpr std::optional<std::size_t> special_len(std::size_t n, std::uint32_t e) noexcept {
  const std::size_t alpha = funnel_level_count(e);
  const std::size_t beta = funnel_bucket_width(e);
  if (alpha > kWordMax / beta) return std::nullopt;
  const std::size_t level_min = alpha * beta;
  if (n < level_min) return std::nullopt;
  const std::size_t f = funnel_special_probes(n);
  const std::size_t lo = std::max(funnel_special_lower_bound(n, e), 4 * f);
  const std::size_t hi = std::min(n - level_min, funnel_special_upper_bound(n, e));
  if (lo > hi) return std::nullopt;
  const std::size_t q_lo = (n - hi) / beta + ((n - hi) % beta != 0);
  const std::size_t q_hi = (n - lo) / beta;
  if (q_lo > q_hi) return std::nullopt;
  std::size_t o = q_lo * beta;
  const std::size_t tries = 4 * f / std::gcd(beta, 4 * f);
  for (std::size_t i = 0; i < tries; ++i) {
    if (o > n - lo) return std::nullopt;
    const std::size_t h = (n - o) / 2;
    if (h >= 2 * f && h % (2 * f) == 0) return n - o;
    if (o > kWordMax - beta) return std::nullopt;
    o += beta;
  }
  return std::nullopt;
}

}  // namespace funnel_detail

// The plan's input: a slot count and a reserve exponent.
struct PaperConfig {
  std::size_t slots;
  std::uint32_t reserve_exponent;

  Result<FunnelPlan, FunnelPlanError> funnel_plan() const noexcept {
    using namespace funnel_detail;
    const std::size_t n = slots;
    const std::uint32_t e = reserve_exponent;
    if (e < kFunnelMinReserveExponent) return FunnelPlanError::ExponentBelowMinimum;
    const std::size_t alpha = funnel_level_count(e);
    const std::size_t beta = funnel_bucket_width(e);
    if (alpha > kWordMax / beta) return FunnelPlanError::ExponentTooLarge;
    const auto s = special_len(n, e);
    if (!s) return FunnelPlanError::NoGeometry;
    const std::size_t f = funnel_special_probes(n);
    const std::size_t buckets = (n - *s) / beta;
    if (buckets < alpha - 1) return FunnelPlanError::NoGeometry;
    // The largest first count that still leaves one bucket for every other level.
    const std::size_t c = buckets - alpha + 1;
    if (!max_sequence_reaches(c, alpha, buckets)) return FunnelPlanError::NoGeometry;
    std::size_t b_min = 1, b_max = 1;
    if (c < 2) {
      if (buckets <= alpha - 1) return FunnelPlanError::NoGeometry;
    } else {
      std::size_t lo = 1, hi = c;
      while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (max_sequence_reaches(mid, alpha, buckets)) {
          hi = mid;
        } else {
          lo = mid + 1;
        }
      }
      b_min = lo;
      lo = 1;
      hi = c;
      while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2 + 1;
        if (min_sequence_fits(mid, alpha, buckets)) {
          lo = mid;
        } else {
          hi = mid - 1;
        }
      }
      b_max = lo;
      if (b_max < b_min) return FunnelPlanError::NoGeometry;
    }
    const std::size_t first = std::clamp((buckets + 1) / 4, b_min, b_max);
    FunnelBucketCounts counts(first, buckets, alpha);
    std::size_t yielded = 0;
    while (counts.next()) ++yielded;
    if (yielded != alpha || counts.remaining() != 0) return FunnelPlanError::NoGeometry;
    return FunnelPlan{n, e, alpha, beta, f, 2 * f, *s, first};
  }
};

// One level: `buckets` buckets of `bucket_width` slots from slot `start`.
// `salt` (level index << 16) keeps the levels' bucket choices independent;
// `spread` is salt * kSaltSpread, kept so that a lookup's first attempt at
// each level costs one multiply less.
struct LevelShape {
  std::uint64_t salt;
  std::size_t start;
  std::uint64_t threshold;
  std::size_t buckets;
  std::uint64_t spread;

  LevelShape(std::uint64_t salt_, std::size_t start_, std::uint64_t threshold_,
             std::size_t buckets_) noexcept
      : salt(salt_), start(start_), threshold(threshold_), buckets(buckets_),
        spread(salt_ * kSaltSpread) {}
};

struct FunnelShapeError {
  enum class Kind : std::uint8_t { Config, Alloc };
  Kind kind;
  ConfigError config;

  std::string debug() const {
    return kind == Kind::Alloc ? std::string(debug_text(TryReserveError::AllocError))
                               : config.debug();
  }
};

// A complete geometry. Invariants: levels are contiguous from slot 0, level i
// has salt i << 16 and threshold 2^64 mod buckets; uniform_start is their slot
// total; pair_start = uniform_start + uniform_len and the two-choice part ends
// at slot n - 1; every threshold is 2^64 mod its range. The empty shape
// (n = 0) has no levels and all fields 0.
struct FunnelShape {
  std::vector<LevelShape> levels;
  std::size_t slots = 0;
  std::size_t insert_limit = 0;
  std::size_t bucket_width = 0;
  std::size_t special_probes = 0;
  std::size_t uniform_start = 0;
  std::uint64_t uniform_threshold = 0;
  std::size_t uniform_len = 0;
  std::size_t pair_start = 0;
  std::size_t pair_width = 0;
  std::uint64_t pair_threshold = 0;
  std::size_t pair_buckets = 0;

  std::size_t special_len() const noexcept { return slots - uniform_start; }

  static Result<FunnelShape, FunnelShapeError> from_slots(std::size_t n, std::uint32_t e) {
    const auto config_failure = [n] {
      return FunnelShapeError{FunnelShapeError::Kind::Config, ConfigError::too_small(n)};
    };
    if (n == 0) return FunnelShape{};
    if (e == 0) {
      return FunnelShapeError{FunnelShapeError::Kind::Config, ConfigError::exponent_zero()};
    }
    if (n == 1) return config_failure();
    const auto plan = PaperConfig{n, e}.funnel_plan();
    if (!plan) return config_failure();
    const FunnelPlan& p = plan.value();

    FunnelShape shape;
    try {
      shape.levels.reserve(p.level_count);
    } catch (const std::bad_alloc&) {
      return FunnelShapeError{FunnelShapeError::Kind::Alloc, ConfigError::too_small(n)};
    }
    FunnelBucketCounts counts(p.first_buckets, (n - p.special_len) / p.bucket_width, p.level_count);
    std::size_t total = 0;
    for (std::uint64_t i = 0; auto c = counts.next(); ++i) {
      if (*c == 0 || *c > (kWordMax - total) / p.bucket_width) {
        return config_failure();
      }
      shape.levels.push_back(LevelShape{i << 16, total, rejection_threshold(*c), *c});
      total += *c * p.bucket_width;
    }
    const std::size_t uniform_len = p.special_len / 2 + p.special_len % 2;
    const std::size_t pair_len = p.special_len / 2;
    if (uniform_len == 0 || total + uniform_len + pair_len != n ||
        p.special_probes > kFunnelMaxSpecialProbes || pair_len < p.pair_width) {
      return config_failure();
    }
    shape.slots = n;
    shape.insert_limit = quarlex::insert_limit(n, e);
    shape.bucket_width = p.bucket_width;
    shape.special_probes = p.special_probes;
    shape.uniform_start = total;
    shape.uniform_len = uniform_len;
    shape.uniform_threshold = rejection_threshold(uniform_len);
    shape.pair_start = total + uniform_len;
    shape.pair_width = p.pair_width;
    shape.pair_buckets = pair_len / p.pair_width;
    shape.pair_threshold = rejection_threshold(shape.pair_buckets);
    return shape;
  }
};

// Block layout of an n-slot funnel arena with entries E: n + 7 control bytes
// (the tail lets a group be read at any slot) and one 64-bit summary word per
// started ten slots.
template <class E>
Result<ArenaLayout, TryReserveError> funnel_layout(std::size_t n) {
  return compute_arena_layout(n, kFunnelCtrlTail, sizeof(E), kFunnelSummaryBytes);
}

namespace funnel_detail {

// Slot counts from n on that share n's special probe count f and both special
// bounds, so that whether a special array fits depends only on n mod 2e. At
// least 1; runs to 2^64 when nothing changes any more.
inline u128 special_run_length(std::size_t n, std::uint32_t e) noexcept {
  if (n < 3) return 1;
  const std::size_t level_min = funnel_level_count(e) * funnel_bucket_width(e);
  const std::size_t upper = funnel_special_upper_bound(n, e);
  // Below the crossing the upper bound is n - alpha*beta, which moves every slot.
  if (n - level_min < upper) return 1;
  u128 end = u128{kWordMax} + 1;
  const unsigned log_log = static_cast<unsigned>(funnel_special_probes(n));
  if ((1u << log_log) < kWordBits) end = std::min(end, (u128{1} << (1u << log_log)) + 1);
  const std::uint64_t low_shift = std::uint64_t{e} + 1;
  if (low_shift < kWordBits) {
    const u128 d = u128{1} << low_shift;
    end = std::min(end, u128{funnel_special_lower_bound(n, e)} * d + 1);
  }
  const std::uint64_t high_shift = std::uint64_t{e} + 2;
  if (high_shift < 2 * kWordBits) {
    const u128 d = u128{1} << high_shift;
    const u128 next = (u128{upper} + 1) * d;
    end = std::min(end, next / 3 + (next % 3 != 0));
  }
  return end - n;
}

// The smallest slot count n >= from (and above the least level size) whose
// plan succeeds, or nothing below 2^64. Equal to trying every n in turn, but
// it skips runs of slot counts whose special array cannot fit: within a run
// that outcome repeats with period 2e, so one period decides the whole run.
inline std::optional<std::size_t> smallest_slots(std::uint32_t e, std::size_t from) {
  const std::size_t beta = funnel_bucket_width(e);
  u128 n = std::max(from, funnel_level_count(e) * beta + 2);
  while (n <= kWordMax) {
    const u128 run = special_run_length(static_cast<std::size_t>(n), e);
    const u128 period = std::min<u128>(run, beta);
    bool retried = false;
    for (u128 i = 0; i < period; ++i) {
      const std::size_t m = static_cast<std::size_t>(n + i);
      if (!special_len(m, e)) continue;
      if (PaperConfig{m, e}.funnel_plan()) return m;
      n = u128{m} + 1;
      retried = true;
      break;
    }
    if (!retried) n += run;
  }
  return std::nullopt;
}

// Least n with n - floor(n / 2^e) >= target, for 3 <= e < 64; nothing on
// overflow.
constexpr std::optional<std::size_t> least_slots_for(std::size_t target, std::uint32_t e) noexcept {
  const std::size_t extra = (target - 1) / ((std::size_t{1} << e) - 1);
  if (extra > kWordMax - target) return std::nullopt;
  return target + extra;
}

// The slot count of the first geometry holding `budget` >= 1 entries, found
// by the search itself; nothing when there is none.
inline std::optional<std::size_t> searched_slots_for_budget(std::uint32_t e, std::size_t budget) {
  if (e < kFunnelMinReserveExponent || e >= kWordBits) return std::nullopt;
  const auto n_min = least_slots_for(budget, e);
  if (!n_min) return std::nullopt;
  return smallest_slots(e, *n_min);
}

}  // namespace funnel_detail

// The shapes a table with the default exponent passes through as it grows
// from empty: the smallest shape, then each the first to hold twice the
// limit of the one before. Working out a shape costs more than the
// insertions that fill the smallest one, and as much as a few dozen of them
// later on, yet it depends on the exponent alone: the first
// kCachedGrowthShapes are computed once each, when first asked for. Each is
// a function-local static, whose initialisation the runtime retries after a
// failure. Null past them or when step k cannot be computed (no memory);
// callers then compute the shape themselves.
inline constexpr std::size_t kCachedGrowthShapes = 8;

namespace funnel_detail {

template <std::size_t K>
const FunnelShape* default_growth_step() noexcept {
  try {
    static const FunnelShape shape = [] {
      constexpr std::uint32_t e = kDefaultReserveExponent;
      std::size_t budget = 1;
      if constexpr (K > 0) {
        const FunnelShape* before = default_growth_step<K - 1>();
        if (before == nullptr) throw std::bad_alloc();
        budget = 2 * before->insert_limit;
      }
      const auto n = searched_slots_for_budget(e, budget);
      if (!n) panic("the default exponent has Funnel shapes to grow through");
      auto built = FunnelShape::from_slots(*n, e);
      if (!built) throw std::bad_alloc();
      return std::move(built).value();
    }();
    return &shape;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace funnel_detail

inline const FunnelShape* default_growth_shape(std::size_t k) noexcept {
  static constexpr auto steps = []<std::size_t... K>(std::index_sequence<K...>) {
    return std::array<const FunnelShape* (*)() noexcept, sizeof...(K)>{
        &funnel_detail::default_growth_step<K>...};
  }(std::make_index_sequence<kCachedGrowthShapes>{});
  return k < steps.size() ? steps[k]() : nullptr;
}

// FunnelShape::from_slots, served from the cache for the default exponent's
// growth steps.
inline Result<FunnelShape, FunnelShapeError> funnel_shape_for(std::size_t n, std::uint32_t e) {
  if (e == kDefaultReserveExponent) {
    for (std::size_t k = 0; k < kCachedGrowthShapes; ++k) {
      const FunnelShape* cached = default_growth_shape(k);
      if (cached == nullptr || cached->slots > n) break;
      if (cached->slots < n) continue;
      try {
        return FunnelShape(*cached);
      } catch (const std::bad_alloc&) {
        return FunnelShapeError{FunnelShapeError::Kind::Alloc, ConfigError::too_small(n)};
      }
    }
  }
  return FunnelShape::from_slots(n, e);
}

// Slot count of the first geometry able to hold `budget` entries. Exponents
// below 3 or from the word width up, and budgets beyond every geometry, have
// none: CapacityOverflow.
inline Result<std::size_t, TryReserveError> funnel_slots_for_budget(std::uint32_t e,
                                                                    std::size_t budget) {
  if (budget == 0) return std::size_t{0};
  if (e == kDefaultReserveExponent) {
    // The cached growth steps answer the budgets growth asks for: any up to
    // the smallest shape's limit (it is the first shape that exists at all),
    // then twice each step's limit.
    std::size_t answered = 0;
    for (std::size_t k = 0; k < kCachedGrowthShapes; ++k) {
      const FunnelShape* step = default_growth_shape(k);
      if (step == nullptr) break;
      if (k == 0 ? budget <= step->insert_limit : budget == answered) return step->slots;
      answered = 2 * step->insert_limit;
      if (budget < answered) break;
    }
  }
  const auto n = funnel_detail::searched_slots_for_budget(e, budget);
  if (!n) return TryReserveError::CapacityOverflow;
  return *n;
}

// Slot count of the next geometry for a table whose limit is `insert_limit`
// and that must hold `required` entries: at least twice the current limit.
// Nothing when no such geometry exists.
inline std::optional<std::size_t> funnel_next_growth_slots(std::uint32_t e,
                                                           std::size_t insert_limit,
                                                           std::size_t required) {
  constexpr std::size_t kMaxRequired =
      static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) - 1;
  if (required > kMaxRequired) return std::nullopt;
  const std::size_t target =
      std::max(required, saturating_add(insert_limit, insert_limit));
  const auto n = funnel_slots_for_budget(e, target);
  if (!n) return std::nullopt;
  return n.value();
}

}  // namespace quarlex
