// Scan cursor over one region's control bytes.
//
// Invariants: `next` never passes `end`; `pending` holds, for the group that
// starts at slot `base`, the high bit of each full byte not yet returned
// (bit 8k+7 for byte k). `base` is -8 before the first group of a region.
// Groups of eight are read as one word; a tail shorter than a group is read
// byte by byte, so the cursor never reads past the region.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "quarlex/common/control.hpp"
#include "quarlex/common/errors.hpp"

namespace quarlex {

struct GroupCursor {
  const std::uint8_t* next = nullptr;
  const std::uint8_t* end = nullptr;
  std::ptrdiff_t base = -static_cast<std::ptrdiff_t>(kGroupWidth);
  std::uint64_t pending = 0;

  static GroupCursor over(const std::uint8_t* ctrl, std::size_t len) noexcept {
    return GroupCursor{ctrl, ctrl + len, -static_cast<std::ptrdiff_t>(kGroupWidth), 0};
  }

  // Index of the next full slot in the region, or nothing when it is used up.
  std::optional<std::size_t> next_full() {
    while (pending == 0) {
      if (next > end) panic("iterator control pointers remain ordered: TryFromIntError(())");
      const std::size_t left = static_cast<std::size_t>(end - next);
      if (left == 0) return std::nullopt;
      if (left >= kGroupWidth) {
        pending = group_full_mask(load_group(next));
        next += kGroupWidth;
      } else {
        pending = 0;
        for (std::size_t k = 0; k < left; ++k) {
          if (ctrl_is_full(next[k])) pending |= 0x80ULL << (8 * k);
        }
        next = end;
      }
      base += static_cast<std::ptrdiff_t>(kGroupWidth);
    }
    const std::size_t index = static_cast<std::size_t>(base) + mask_lowest(pending);
    pending &= pending - 1;
    return index;
  }
};

// Calls f(index) for every full slot of a region in ascending order: the
// bulk form of a cursor walk, kept inline so that a whole-table visit costs
// a mask step per entry rather than a call.
template <class F>
[[gnu::always_inline]] inline void for_each_full(const std::uint8_t* ctrl, std::size_t len, F&& f) {
  std::size_t p = 0;
  for (; p + kGroupWidth <= len; p += kGroupWidth) {
    for (std::uint64_t m = group_full_mask(load_group(ctrl + p)); m != 0; m &= m - 1) {
      f(p + mask_lowest(m));
    }
  }
  for (; p < len; ++p) {
    if (ctrl_is_full(ctrl[p])) f(p);
  }
}

// A touch that fetches nothing: bulk walks given it skip the lookahead.
struct NoTouch {
  template <class T>
  void operator()(const T&) const noexcept {}
};

// Hands each pushed item to body(item) eight items after touch(item), so
// that what the body is about to read (objects reached through a table
// entry, in the table's order) can be fetched meanwhile. finish() hands over
// the last eight. Invariant: the items pushed but not yet given to the body
// are the last min(pushed, 8), held in ring_ by push number.
template <class T, class Touch, class Body>
class Lookahead {
 public:
  Lookahead(Touch& touch, Body& body) noexcept : touch_(touch), body_(body) {}

  void push(T item) {
    touch_(item);
    if (pushed_ >= kAhead) body_(ring_[pushed_ % kAhead]);
    ring_[pushed_ % kAhead] = item;
    ++pushed_;
  }

  void finish() {
    for (std::size_t i = pushed_ > kAhead ? pushed_ - kAhead : 0; i < pushed_; ++i) {
      body_(ring_[i % kAhead]);
    }
  }

 private:
  static constexpr std::size_t kAhead = 8;
  Touch& touch_;
  Body& body_;
  std::array<T, kAhead> ring_{};
  std::size_t pushed_ = 0;
};

}  // namespace quarlex
