// How a table sees its keys: the stored hash it derives positions from, and
// the equality it confirms a fingerprint match with.
//
// `KeyTraits<K>::hash` returns the key's stored hash as an unsigned 64-bit
// value (never recomputed by calling back into the key). `KeyTraits<K>::eq`
// compares a probe (which may be a lighter, borrowed type than the stored key)
// with a stored key. It may throw to stop the operation (the binding layer
// does when a comparison meets a busy collection): tables compare only while
// they search, before they change anything, and rebuilds never compare, so a
// throwing `eq` leaves the table as it was. Integral keys work as they are:
// their stored hash is their value.
#pragma once

#include <concepts>
#include <cstdint>

namespace quarlex {

template <class K>
struct KeyTraits {
  static_assert(std::integral<K>, "specialise KeyTraits for non-integral keys");
  static std::uint64_t hash(K k) noexcept { return static_cast<std::uint64_t>(k); }
  static bool eq(K probe, K stored) noexcept { return probe == stored; }
};

}  // namespace quarlex
