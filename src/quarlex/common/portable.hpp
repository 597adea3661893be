// Compiler builtins the tables rely on, in one place.
//
// GCC and Clang provide all of them. A port to another compiler changes only
// this file: `u128` must then become a class with the arithmetic, shift and
// comparison operators the geometry code uses, and the prefetches may become
// no-ops (they are hints; nothing depends on them for correctness). Bit scans
// need nothing here: <bit> (std::countr_zero, std::bit_width) is standard.
#pragma once

#include <cstdint>

namespace quarlex {

// Unsigned 128-bit integer: full products of two 64-bit words, and geometry
// sums that must not wrap at 2^64.
using u128 = unsigned __int128;

// The high word of the full product x * n: floor(x * n / 2^64).
constexpr std::uint64_t mul_hi(std::uint64_t x, std::uint64_t n) noexcept {
  return static_cast<std::uint64_t>((static_cast<u128>(x) * n) >> 64);
}

// Tells the optimiser that `c` holds, so that it can drop the tests it
// implies. The caller guarantees it: were it false, behaviour is undefined.
[[gnu::always_inline]] inline void assume(bool c) noexcept {
  if (!c) __builtin_unreachable();
}

// Starts loading the cache line holding `p` for reading. Always inlined: GCC
// deems an out-of-line function of prefetches alone free of effects and drops
// its calls. A prefetch never faults, so any address is allowed.
[[gnu::always_inline]] inline void prefetch_read(const void* p) noexcept { __builtin_prefetch(p, 0); }

// The same, for a line that is about to be written.
[[gnu::always_inline]] inline void prefetch_write(const void* p) noexcept { __builtin_prefetch(p, 1); }

}  // namespace quarlex
