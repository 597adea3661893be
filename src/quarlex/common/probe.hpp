// What both tables derive from a key's table hash x, and the limits both
// apply to their shapes: the control-byte fingerprint, the two summary bits,
// the unbiased range reduction, the insertion and tombstone limits, and the
// 128-bit helpers behind them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "quarlex/common/portable.hpp"

namespace quarlex {

inline constexpr std::size_t kWordMax = std::numeric_limits<std::size_t>::max();
inline constexpr unsigned kWordBits = std::numeric_limits<std::size_t>::digits;

constexpr std::size_t saturating_add(std::size_t a, std::size_t b) noexcept {
  return a > kWordMax - b ? kWordMax : a + b;
}

// Top seven bits of x, never 0: a full control byte.
constexpr std::uint8_t fingerprint_of(std::uint64_t x) noexcept {
  const auto top = static_cast<std::uint8_t>(x >> 57);
  return top != 0 ? top : std::uint8_t{1};
}

// A key's two summary bits, (x_lo mod 64) and (x_hi mod 64), which may
// coincide. A summary word missing either bit proves the key absent.
constexpr std::uint64_t summary_mask(std::uint64_t x) noexcept {
  return (std::uint64_t{1} << (x & 63)) | (std::uint64_t{1} << ((x >> 32) & 63));
}

// Whether a summary word holds both of x's bits. Lookups test the two bits
// where they lie instead of building the mask, which only writers need.
constexpr bool summary_holds(std::uint64_t word, std::uint64_t x) noexcept {
  return ((word >> (x & 63)) & (word >> ((x >> 32) & 63)) & 1) != 0;
}

// 2^64 mod n: products whose low word falls below it are rejected, which
// makes the reduction exactly uniform. Zero for powers of two (and for 0).
constexpr std::uint64_t rejection_threshold(std::uint64_t n) noexcept {
  return n == 0 ? 0 : (0 - n) % n;
}

// What a reduction returns when it rejected every attempt; no range is that
// long.
inline constexpr std::size_t kRejected = kWordMax;

// One attempt of the unbiased reduction of a mixed hash z into [0, n):
// floor(z * n / 2^64), or kRejected when the product's low word is below
// `threshold` (probability below n / 2^64).
[[gnu::always_inline]] inline std::size_t reduce_unbiased(std::uint64_t z, std::uint64_t n,
                                                          std::uint64_t threshold) noexcept {
  const u128 p = static_cast<u128>(z) * n;
  return static_cast<std::uint64_t>(p) >= threshold ? static_cast<std::size_t>(p >> 64)
                                                    : kRejected;
}

// The per-site mixing step: z = (x ^ salt * S) * M. x is already a mixed
// 64-bit hash; spreading the salt over the word makes sites differ in every
// bit, and the multiply carries each input bit into the high bits, which are
// the ones a multiply-high reduction keeps. One multiply per site (two when
// the salt is not a constant); a xor-shift before it left the probe counts
// as they were and lay on the path of every probe.
inline constexpr std::uint64_t kSaltSpread = 0x9E3779B97F4A7C15ULL;
inline constexpr std::uint64_t kSiteMul = 0xD6E8FEB86659FD93ULL;

[[gnu::always_inline]] constexpr std::uint64_t probe_site_mix_spread(
    std::uint64_t x, std::uint64_t spread) noexcept {
  return (x ^ spread) * kSiteMul;
}

// `spread` is salt * kSaltSpread, which a site with a fixed salt keeps
// precomputed.
[[gnu::always_inline]] constexpr std::uint64_t probe_site_mix(std::uint64_t x,
                                                              std::uint64_t salt) noexcept {
  return probe_site_mix_spread(x, salt * kSaltSpread);
}

// Entries a shape of n slots takes before it must grow: n less its reserve
// floor(n / 2^e), the reserve being 0 once 2^e exceeds the word.
constexpr std::size_t insert_limit(std::size_t n, std::uint32_t e) noexcept {
  return n - (e >= kWordBits ? 0 : n >> e);
}

// Tombstones a region of n slots may hold before it is rebuilt at the same
// size: min(3n/4, n/2 + 32), never below n/2 (3n saturates).
constexpr std::size_t tombstone_limit(std::size_t n) noexcept {
  const std::size_t three_n = n > kWordMax / 3 ? kWordMax : 3 * n;
  return std::max(n / 2, std::min(three_n / 4, n / 2 + 32));
}

}  // namespace quarlex
