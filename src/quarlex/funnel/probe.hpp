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

namespace quarlex {

// Top seven bits of h, never 0 (0 marks an empty slot).
constexpr std::uint8_t funnel_fingerprint(std::uint64_t h) noexcept {
  const auto t = static_cast<std::uint8_t>(h >> 57);
  return t != 0 ? t : 1;
}

// A key's two bits in the summary array: word floor(h * count / 2^64), bits
// (h_lo mod 64) and (h_hi mod 64), which may coincide. A key whose bits are
// not both set is certainly absent.
struct SummaryBits {
  std::size_t word;
  std::uint64_t mask;

  static SummaryBits of(std::uint64_t h, std::size_t count) noexcept {
    return {static_cast<std::size_t>(mul_hi(h, count)),
            (std::uint64_t{1} << (h & 63)) | (std::uint64_t{1} << ((h >> 32) & 63))};
  }
};

// Per-key probe state, computed once per operation: every probe site's
// position is a function of (A, B) and the site's salt.
struct PreparedProbe {
  std::uint64_t a;
  std::uint64_t b;

  static constexpr PreparedProbe of(std::uint64_t h) noexcept {
    return {h + 0x7A8FBB71C84E22ECULL, mix64(h + 0xD9127938B4105710ULL)};
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
inline constexpr std::size_t kUnreduced = std::numeric_limits<std::size_t>::max();

// One attempt: z = mix(A ^ salt) ^ B; the candidate is floor(z * range /
// 2^64), accepted when the low 64 bits of the product reach the threshold
// 2^64 mod range (so every index is equally likely).
inline unsigned __int128 funnel_reduction_product(const PreparedProbe& p, std::uint64_t salt,
                                                  std::size_t range) noexcept {
  return static_cast<unsigned __int128>(mix64(p.a ^ salt) ^ p.b) *
         static_cast<std::uint64_t>(range);
}

// Attempts 1..attempts of a site whose attempt 0 was rejected. Kept out of
// line: each attempt is rejected with probability below range / 2^64.
[[gnu::noinline, gnu::cold]] inline std::size_t reduce_prepared_funnel_retries(
    const PreparedProbe& p, std::uint64_t salt, std::uint64_t threshold, std::size_t range,
    unsigned attempts) noexcept {
  for (unsigned r = 1; r <= attempts; ++r) {
    const unsigned __int128 product = funnel_reduction_product(p, salt | r, range);
    if (static_cast<std::uint64_t>(product) >= threshold) {
      return static_cast<std::size_t>(product >> 64);
    }
  }
  return kUnreduced;
}

// An index in [0, range), or kUnreduced when all eight attempts are rejected.
// `salt` is the site's salt with attempt bits 0. Always inlined: it sits on
// every level of every lookup, where a call costs more than its body.
[[gnu::always_inline]] inline std::size_t unbiased_prepared_funnel_probe_index_in_range(
    const PreparedProbe& p, std::uint64_t salt, std::uint64_t threshold,
    std::size_t range) noexcept {
  const unsigned __int128 product = funnel_reduction_product(p, salt, range);
  if (static_cast<std::uint64_t>(product) < threshold) [[unlikely]] {
    return reduce_prepared_funnel_retries(p, salt, threshold, range, kReductionAttempts - 1);
  }
  return static_cast<std::size_t>(product >> 64);
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
  explicit FingerprintMatcher(std::uint8_t t) noexcept : t_(_mm_set1_epi8(static_cast<char>(t))) {}

  std::uint32_t operator()(const std::uint8_t* group) const noexcept {
    const __m128i g = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(group));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(g, t_)));
  }
  static constexpr std::uint32_t first(std::size_t n) noexcept {
    return (std::uint32_t{1} << n) - 1;
  }
  static unsigned offset(std::uint32_t mask) noexcept {
    return static_cast<unsigned>(std::countr_zero(mask));
  }

 private:
  __m128i t_;
};
#else
class FingerprintMatcher {
 public:
  explicit FingerprintMatcher(std::uint8_t t) noexcept : t_(kBytes1 * t) {}

  std::uint64_t operator()(const std::uint8_t* group) const noexcept {
    return group_eq_mask(load_group(group), t_);
  }
  static constexpr std::uint64_t first(std::size_t n) noexcept {
    return mask_below(static_cast<unsigned>(n));
  }
  static unsigned offset(std::uint64_t mask) noexcept { return mask_lowest(mask); }

 private:
  std::uint64_t t_;
};
#endif

// Probe counters, compiled in only for benchmarks. A lookup is a hit or a
// miss; `sites` counts probe sites visited (level buckets, uniform slots,
// two-choice buckets), `compares` key comparisons. Per thread, so concurrent
// readers never race.
#ifdef QUARLEX_PROBE_STATS
struct FunnelProbeStats {
  struct Side {
    std::uint64_t lookups = 0;
    std::uint64_t sites = 0;
    std::uint64_t compares = 0;
    std::uint64_t max_sites = 0;
    double mean_sites() const noexcept { return lookups ? double(sites) / double(lookups) : 0.0; }
    double mean_compares() const noexcept {
      return lookups ? double(compares) / double(lookups) : 0.0;
    }
  };
  Side hit;
  Side miss;
  std::uint64_t summary_rejects = 0;
  std::uint64_t fallback_scans = 0;

  void reset() noexcept { *this = FunnelProbeStats{}; }
};

inline thread_local FunnelProbeStats funnel_probe_stats;
#endif

// Tally of one lookup; empty unless probe statistics are compiled in.
struct FunnelProbeTally {
#ifdef QUARLEX_PROBE_STATS
  std::uint64_t sites = 0;
  std::uint64_t compares = 0;
  void site() noexcept { ++sites; }
  void compare() noexcept { ++compares; }
  void record(bool hit) const noexcept {
    FunnelProbeStats::Side& s = hit ? funnel_probe_stats.hit : funnel_probe_stats.miss;
    ++s.lookups;
    s.sites += sites;
    s.compares += compares;
    if (sites > s.max_sites) s.max_sites = sites;
  }
#else
  void site() noexcept {}
  void compare() noexcept {}
  void record(bool) const noexcept {}
#endif
};

}  // namespace quarlex
