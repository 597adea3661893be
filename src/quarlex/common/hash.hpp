// Table hash: the seeded 64-bit hash both tables place keys by.
//
// x = fold_mul(S ^ h, G), where h is the key's stored hash (zero-extended),
// S the per-table seed (kept across rebuilds, so re-placing entries never
// calls back into the key), and G the process seed. Everything a table derives
// afterwards (fingerprints, summaries, probe positions) comes from x through
// `mix64`, additions, multiplications, shifts and XORs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>

#include "quarlex/common/portable.hpp"

namespace quarlex {

// Four 32x32->64 products combined by XOR and one rotation. Deliberately not
// the XOR of the halves of the exact 128-bit product: the partial products are
// never added, so no carries mix between them.
constexpr std::uint64_t fold_mul(std::uint64_t y, std::uint64_t g) noexcept {
  const std::uint64_t yl = y & 0xFFFFFFFFu, yh = y >> 32;
  const std::uint64_t gl = g & 0xFFFFFFFFu, gh = g >> 32;
  const std::uint64_t ll = yl * gl, lh = yl * gh, hl = yh * gl, hh = yh * gh;
  const std::uint64_t cross = hl ^ lh;
  return (hh ^ ll) ^ ((cross << 32) | (cross >> 32));
}

// The SplitMix64 output function.
constexpr std::uint64_t mix64(std::uint64_t z) noexcept {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

namespace detail {

inline std::uint64_t entropy64() {
  std::random_device rd;
  std::uint64_t v = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  v ^= static_cast<std::uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  v ^= reinterpret_cast<std::uintptr_t>(&v);
  return mix64(v);
}

}  // namespace detail

// Process seed G: drawn once, when the library loads, and shared by every
// table. A namespace-scope constant rather than a function-local static, so
// a lookup reads it without the first-use guard.
inline const std::uint64_t kProcessSeed = detail::entropy64() | 1;

inline std::uint64_t process_seed() noexcept { return kProcessSeed; }

// A fresh per-table seed S. A once-seeded Weyl sequence passed through the
// mixer gives distinct, unpredictable values without a system call per table.
inline std::uint64_t fresh_table_seed() {
  static std::atomic<std::uint64_t> counter{detail::entropy64()};
  return mix64(counter.fetch_add(0x9E3779B97F4A7C15ULL, std::memory_order_relaxed));
}

// Every lookup starts here, so it is always inlined.
[[gnu::always_inline]] inline std::uint64_t table_hash(std::uint64_t stored_hash,
                                                       std::uint64_t seed) {
  return fold_mul(seed ^ stored_hash, process_seed());
}

}  // namespace quarlex
