// Control bytes and eight-byte groups.
//
// Every slot has one control byte, kept in a dense array apart from the slots:
//   0x00        empty: nothing here since the region was last cleared
//   0x80        tombstone: an entry was removed; the slot holds nothing
//   0x01..0x7F  full: the slot holds a live entry; the byte is its fingerprint
// A slot is full exactly when (byte & 0x7F) != 0, and free (usable by an
// insertion) otherwise. The slot memory is uninitialised unless the byte is
// full.
//
// Groups read eight control bytes at once as one little-endian word; each
// mask below has bit 8k+7 set for the bytes k it selects, so the lowest set
// bit is the lowest slot.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quarlex {

static_assert(std::endian::native == std::endian::little,
              "group scans read control bytes as little-endian words");

inline constexpr std::uint8_t kCtrlEmpty = 0x00;
inline constexpr std::uint8_t kCtrlTombstone = 0x80;
inline constexpr std::size_t kGroupWidth = 8;

constexpr bool ctrl_is_full(std::uint8_t b) noexcept { return (b & 0x7F) != 0; }
constexpr bool ctrl_is_free(std::uint8_t b) noexcept { return (b & 0x7F) == 0; }

inline std::uint64_t load_group(const std::uint8_t* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

inline constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
inline constexpr std::uint64_t kHigh1 = 0x8080808080808080ULL;
inline constexpr std::uint64_t kBytes1 = 0x0101010101010101ULL;

// High bit set in exactly the full bytes. (b & 0x7F) + 0x7F never carries out
// of its byte, so the 64-bit form equals the same formula on two 32-bit words.
constexpr std::uint64_t group_full_mask(std::uint64_t w) noexcept {
  return ((w & kLow7) + kLow7) & kHigh1;
}

// High bit set in exactly the free (empty or tombstone) bytes.
constexpr std::uint64_t group_free_mask(std::uint64_t w) noexcept {
  return ~((w & kLow7) + kLow7) & kHigh1;
}

// High bit set in the bytes that equal `fp` (a fingerprint, 1..127).
constexpr std::uint64_t group_match_mask(std::uint64_t w, std::uint8_t fp) noexcept {
  const std::uint64_t x = w ^ (kBytes1 * fp);
  return ~(x | ((x & kLow7) + kLow7)) & kHigh1;
}

// High bit set in the bytes that equal `fp` or are free: the candidates a
// bucket scan must look at in slot order.
constexpr std::uint64_t group_match_or_free_mask(std::uint64_t w, std::uint8_t fp) noexcept {
  return group_match_mask(w, fp) | group_free_mask(w);
}

// Byte index of the lowest selected byte of a non-zero mask.
constexpr unsigned mask_lowest(std::uint64_t mask) noexcept {
  return static_cast<unsigned>(std::countr_zero(mask)) >> 3;
}

// Mask keeping only the bytes below `n` (n <= 8).
constexpr std::uint64_t mask_below(unsigned n) noexcept {
  return n >= 8 ? ~0ULL : ((1ULL << (8 * n)) - 1);
}

}  // namespace quarlex
