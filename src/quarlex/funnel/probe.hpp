// Where a key may live in a funnel table, derived from its 64-bit table hash h
// alone: the fingerprint kept in its control byte, its two summary bits, and
// the salted, unbiased choice of one bucket per level, f uniform slots and two
// two-choice buckets. Everything here is multiplications, shifts and XORs;
// the divisions were done once per shape (the rejection thresholds).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quarlex/common/control.hpp"
#include "quarlex/common/hash.hpp"
#include "quarlex/common/probe.hpp"
#include "quarlex/funnel/geometry.hpp"

namespace quarlex {

// A key's summary word in an array of `count`: floor(h * count / 2^64); its
// bits within the word are summary_mask(h).
struct SummaryBits {
  std::size_t word;
  std::uint64_t mask;

  static SummaryBits of(std::uint64_t h, std::size_t count) noexcept {
    return {static_cast<std::size_t>(mul_hi(h, count)), summary_mask(h)};
  }
};

// Per-key probe state, computed once per operation: every probe site's
// position is a function of A and the site's salt. The table hash is already
// seeded and mixed, and each site mixes again; a second full mix of h, XORed
// into every site, lay on the path of every lookup before its first bucket
// and left the probe counts as they were.
struct PreparedProbe {
  std::uint64_t a;

  static constexpr PreparedProbe of(std::uint64_t h) noexcept {
    return {h + 0x7A8FBB71C84E22ECULL};
  }
};

// Base salts of the probe sites; level i uses i << 16. Attempt r of a site
// with probe number p uses base | p << 8 | r.
inline constexpr std::uint64_t kUniformSalt = 0x4000000000000000ULL;
inline constexpr std::uint64_t kPairFirstSalt = 0x8000000000000000ULL;
inline constexpr std::uint64_t kPairSecondSalt = 0xC000000000000000ULL;
inline constexpr unsigned kReductionAttempts = 8;

constexpr std::uint64_t funnel_probe_salt(std::uint64_t base, std::uint8_t p) noexcept {
  return base | (std::uint64_t{p} << 8);
}

// Result of a reduction that rejected all its attempts.
inline constexpr std::size_t kUnreduced = kRejected;

// One attempt: z = mix(A ^ salt) ^ B, reduced without bias into [0, range).
[[gnu::always_inline]] inline std::size_t funnel_reduction_attempt(
    const PreparedProbe& p, std::uint64_t salt, std::uint64_t threshold,
    std::size_t range) noexcept {
  return reduce_unbiased(probe_site_mix(p.a, salt), range, threshold);
}

// Attempts 1..attempts of a site whose attempt 0 was rejected. Kept out of
// line: each attempt is rejected with probability below range / 2^64.
[[gnu::noinline, gnu::cold]] inline std::size_t reduce_prepared_funnel_retries(
    const PreparedProbe& p, std::uint64_t salt, std::uint64_t threshold, std::size_t range,
    unsigned attempts) noexcept {
  for (unsigned r = 1; r <= attempts; ++r) {
    const std::size_t i = funnel_reduction_attempt(p, salt | r, threshold, range);
    if (i != kRejected) return i;
  }
  return kUnreduced;
}

// An index in [0, range), or kUnreduced when all eight attempts are
// rejected. Always inlined: every probe of the special array runs it, and a
// call would cost more than its body.
[[gnu::always_inline]] inline std::size_t unbiased_prepared_funnel_probe_index_in_range(
    const PreparedProbe& p, std::uint64_t salt, std::uint64_t threshold,
    std::size_t range) noexcept {
  const std::size_t i = funnel_reduction_attempt(p, salt, threshold, range);
  if (i == kRejected) [[unlikely]]
    return reduce_prepared_funnel_retries(p, salt, threshold, range, kReductionAttempts - 1);
  return i;
}

// The rest of a level's attempts. The salt is read here, out of line:
// loaded up front, it held a register through every level of every lookup
// for a branch almost never taken.
[[gnu::noinline, gnu::cold]] inline std::size_t level_bucket_retries(
    const PreparedProbe& p, const LevelShape& level) noexcept {
  return reduce_prepared_funnel_retries(p, level.salt, level.threshold, level.buckets,
                                        kReductionAttempts - 1);
}

// The key's bucket in `level`, or kUnreduced: the site rule above with the
// level's salt, attempt 0 from its precomputed spread.
[[gnu::always_inline]] inline std::size_t level_bucket(const PreparedProbe& p,
                                                       const LevelShape& level) noexcept {
  const std::size_t b =
      reduce_unbiased(probe_site_mix_spread(p.a, level.spread), level.buckets, level.threshold);
  if (b == kRejected) [[unlikely]]
    return level_bucket_retries(p, level);
  return b;
}

enum class FunnelSearch : std::uint8_t { Found, Vacant, Exhausted, Unreduced };

// Outcome of a search along a key's probe path. `slot` is meaningful for
// Found (the key's slot) and Vacant (the first free slot on the path).
struct FunnelOutcome {
  FunnelSearch kind;
  std::size_t slot;
};

// High bit of each byte of w equal to the byte repeated in `bytes` (b times
// kBytes1, for any byte value b).
constexpr std::uint64_t group_eq_mask(std::uint64_t w, std::uint64_t bytes) noexcept {
  const std::uint64_t x = w ^ bytes;
  return ~(x | ((x & kLow7) + kLow7)) & kHigh1;
}

// Finds one fingerprint in groups of eight control bytes. A match mask has
// one bit per slot of the group, lowest slot lowest; `first(n)` keeps the
// group's first n slots and `offset` names the slot of a mask's lowest bit.
// With SSE2 a group is one compare and one byte-mask move, a third of the
// word-parallel form's work on the lookup's hottest line.
#if defined(__SSE2__)
class FingerprintMatcher {
 public:
  using Mask = std::uint32_t;

  explicit FingerprintMatcher(std::uint8_t t) noexcept : t_(_mm_set1_epi8(static_cast<char>(t))) {}

  Mask operator()(const std::uint8_t* group) const noexcept {
    const __m128i g = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(group));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(g, t_)));
  }
  static constexpr Mask first(std::size_t n) noexcept {
    return (std::uint32_t{1} << n) - 1;
  }
  static unsigned offset(Mask mask) noexcept {
    return static_cast<unsigned>(std::countr_zero(mask));
  }

 private:
  __m128i t_;
};
#else
class FingerprintMatcher {
 public:
  using Mask = std::uint64_t;

  explicit FingerprintMatcher(std::uint8_t t) noexcept : t_(kBytes1 * t) {}

  Mask operator()(const std::uint8_t* group) const noexcept {
    return group_eq_mask(load_group(group), t_);
  }
  static constexpr Mask first(std::size_t n) noexcept {
    return mask_below(static_cast<unsigned>(n));
  }
  static unsigned offset(Mask mask) noexcept { return mask_lowest(mask); }

 private:
  std::uint64_t t_;
};
#endif

}  // namespace quarlex
