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

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quarlex {

template <class K>
struct KeyTraits {
  static_assert(std::integral<K>, "specialise KeyTraits for non-integral keys");
  static std::uint64_t hash(K k) noexcept { return static_cast<std::uint64_t>(k); }
  static bool eq(K probe, K stored) noexcept { return probe == stored; }
};

// A comparison as far as it can go without calling out of line: `Unknown`
// when only `eq` can tell.
enum class QuickMatch : std::uint8_t { Unequal, Equal, Unknown };

// Key types whose `eq` may call out (a Python __eq__) also give `quick_eq`,
// the part of `eq` that settles most comparisons inline (different hashes,
// the same object). A search loop that meets `Unknown` hands the rest of the
// search to an out-of-line continuation, so that nothing it keeps in
// registers has to survive a call. Other key types compare in full.
template <class K>
inline constexpr bool kHasQuickMatch = requires(const K& k) { KeyTraits<K>::quick_eq(k, k); };

template <class K, class Q>
[[gnu::always_inline]] inline QuickMatch quick_match(const Q& probe, const K& stored) {
  if constexpr (kHasQuickMatch<K>) {
    return KeyTraits<K>::quick_eq(probe, stored);
  } else {
    return KeyTraits<K>::eq(probe, stored) ? QuickMatch::Equal : QuickMatch::Unequal;
  }
}

// The slots whose keys one search has found unequal to its probe, so that
// it compares no stored key twice: a probe sequence may land on a slot more
// than once, and a scan of the whole table may follow it. `eq` can run
// arbitrary code (a Python __eq__ with side effects), so a second call is
// not merely wasted. Only slots holding the probe's fingerprint are
// compared, rarely more than one or two per search: they sit in a small
// array, and only past it (many keys sharing whole hashes) in a bitmap over
// the table, whose allocation may throw std::bad_alloc.
class ComparedSlots {
 public:
  // A record that notes the slots of `equal` calls without comparing: it
  // rebuilds the record of a search that found nothing by running it again.
  static constexpr struct NoteOnly {
  } kNoteOnly{};

  explicit ComparedSlots(std::size_t table_slots) noexcept : table_slots_(table_slots) {}
  ComparedSlots(std::size_t table_slots, NoteOnly) noexcept
      : table_slots_(table_slots), comparing_(false) {}

  // Whether the probe equals the key stored in `slot`; false, without a
  // comparison, when that key was compared before.
  template <class Q, class K>
  bool equal(const Q& probe, const K& stored, std::size_t slot) {
    if (contains(slot)) return false;
    if (comparing_ && KeyTraits<K>::eq(probe, stored)) return true;
    note(slot);
    return false;
  }

  void compare_from_now() noexcept { comparing_ = true; }

  // Records a slot whose key was found unequal.
  void note(std::size_t slot) {
    if (!bits_ && count_ < kFew) {
      few_[count_++] = slot;
      return;
    }
    if (!bits_) spill();
    bits_[slot / 64] |= std::uint64_t{1} << (slot % 64);
  }

 private:
  static constexpr std::size_t kFew = 8;

  bool contains(std::size_t slot) const noexcept {
    if (bits_) return ((bits_[slot / 64] >> (slot % 64)) & 1) != 0;
    for (std::size_t i = 0; i < count_; ++i) {
      if (few_[i] == slot) return true;
    }
    return false;
  }

  [[gnu::cold, gnu::noinline]] void spill() {
    bits_ = std::make_unique<std::uint64_t[]>((table_slots_ + 63) / 64);
    for (std::size_t i = 0; i < count_; ++i) {
      bits_[few_[i] / 64] |= std::uint64_t{1} << (few_[i] % 64);
    }
  }

  std::array<std::size_t, kFew> few_;  // the first count_ are set
  std::size_t count_ = 0;
  std::size_t table_slots_;
  bool comparing_ = true;
  std::unique_ptr<std::uint64_t[]> bits_;
};

}  // namespace quarlex
