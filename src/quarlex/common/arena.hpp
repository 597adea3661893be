// The slot arena: one 64-byte-aligned block per table shape.
//
// Block layout, in order:
//   1. control array: one byte per slot (plus `ctrl_tail` zero bytes that
//      belong to no slot, so a group can be read at any slot), padded to the
//      machine word so the slots after it are word-aligned;
//   2. slot array: one SlotEntry per slot, uninitialised; padded to 64;
//   3. summary array: ceil(slots / 10) records, zeroed; padded to 64.
// Control and summary bytes are zeroed at allocation. A block of zero bytes is
// never allocated. The block is never grown in place: a table that needs more
// room builds a new arena and moves every live entry across.
//
// Ownership: `ArenaBlock` owns the memory only; the entries inside are owned
// by whoever owns the control bytes that mark them full (the table, or an
// `ArenaDropGuard` during teardown and rebuild).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "quarlex/common/control.hpp"
#include "quarlex/common/errors.hpp"
#include "quarlex/common/scan.hpp"

namespace quarlex {

// The value type of sets: occupies no storage in a slot.
struct Unit {
  friend constexpr bool operator==(Unit, Unit) noexcept { return true; }
};

// One slot: key then value. Its validity is given by the control byte.
template <class K, class V>
struct SlotEntry {
  K key;
  [[no_unique_address]] V value;
};

inline constexpr std::size_t kArenaAlign = 64;
// Alignment of the slot array: slots hold pointers and word-sized hashes.
inline constexpr std::size_t kSlotAlign = alignof(std::uint64_t);
// Largest allocation: the platform's largest object size rounded down to the
// block alignment.
inline constexpr std::size_t kMaxAlloc =
    static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) & ~(kArenaAlign - 1);

constexpr std::size_t round_up(std::size_t n, std::size_t to) noexcept {
  return (n + to - 1) / to * to;
}

struct ArenaLayout {
  std::size_t slots = 0;
  std::size_t ctrl_len = 0;        // slots + tail, not counting padding
  std::size_t slot_offset = 0;     // control array padded to kSlotAlign
  std::size_t summary_offset = 0;  // slot array end padded to 64
  std::size_t summary_count = 0;   // ceil(slots / 10)
  std::size_t size = 0;            // total, padded to 64; 0 means no block
};

// Applies the size rules in order: slot array beyond the limit, then control
// plus slots, then the total with summaries. `ctrl_tail` overflowing the word
// is a capacity overflow.
inline Result<ArenaLayout, TryReserveError> compute_arena_layout(std::size_t slots,
                                                                  std::size_t ctrl_tail,
                                                                  std::size_t slot_size,
                                                                  std::size_t summary_size) {
  ArenaLayout l;
  l.slots = slots;
  if (slots > std::numeric_limits<std::size_t>::max() - ctrl_tail) {
    return TryReserveError::CapacityOverflow;
  }
  if (slots == 0) return l;
  l.ctrl_len = slots + ctrl_tail;
  if (slot_size != 0 && slots > kMaxAlloc / slot_size) return TryReserveError::AllocError;
  const std::size_t slot_bytes = slots * slot_size;
  if (l.ctrl_len > kMaxAlloc) return TryReserveError::AllocError;
  l.slot_offset = round_up(l.ctrl_len, kSlotAlign);
  if (l.slot_offset > kMaxAlloc - slot_bytes) return TryReserveError::AllocError;
  l.summary_offset = round_up(l.slot_offset + slot_bytes, kArenaAlign);
  l.summary_count = slots / 10 + (slots % 10 != 0);
  if (l.summary_offset > kMaxAlloc ||
      (summary_size != 0 && l.summary_count > (kMaxAlloc - l.summary_offset) / summary_size)) {
    return TryReserveError::AllocError;
  }
  const std::size_t summary_bytes = l.summary_count * summary_size;
  l.size = round_up(l.summary_offset + summary_bytes, kArenaAlign);
  if (l.size > kMaxAlloc) return TryReserveError::AllocError;
  return l;
}

// Where arena blocks come from: `allocate` returns `bytes` bytes aligned to
// kArenaAlign, or null; `release` takes back what it returned.
struct BlockSource {
  void* (*allocate)(std::size_t bytes) noexcept;
  void (*release)(void* block) noexcept;
};

inline void* cxx_heap_allocate(std::size_t bytes) noexcept {
  return ::operator new(bytes, std::align_val_t{kArenaAlign}, std::nothrow);
}
// Unsized: Clang before 19 declares the sized form only with
// -fsized-deallocation.
inline void cxx_heap_release(void* block) noexcept {
  ::operator delete(block, std::align_val_t{kArenaAlign});
}
inline constexpr BlockSource kCxxHeap{cxx_heap_allocate, cxx_heap_release};

// The source of the arenas of tables keyed by K: the C++ heap unless a host
// that has a better heap for large blocks specialises this for its key
// type.
template <class K>
struct BlockSourceFor {
  static constexpr const BlockSource* source = &kCxxHeap;
};

// Owner of one aligned block of raw memory. Move-only; frees exactly once,
// to the source it came from.
class ArenaBlock {
 public:
  ArenaBlock() noexcept = default;
  ArenaBlock(const ArenaBlock&) = delete;
  ArenaBlock& operator=(const ArenaBlock&) = delete;
  ArenaBlock(ArenaBlock&& o) noexcept
      : base_(std::exchange(o.base_, nullptr)), size_(std::exchange(o.size_, 0)),
        source_(o.source_) {}
  ArenaBlock& operator=(ArenaBlock&& o) noexcept {
    if (this != &o) {
      reset();
      base_ = std::exchange(o.base_, nullptr);
      size_ = std::exchange(o.size_, 0);
      source_ = o.source_;
    }
    return *this;
  }
  ~ArenaBlock() { reset(); }

  // Allocates `layout.size` bytes and zeroes the control and summary arrays.
  // A zero-size layout yields an empty block without allocating.
  static Result<ArenaBlock, TryReserveError> allocate(const ArenaLayout& layout,
                                                     const BlockSource* source = &kCxxHeap) {
    ArenaBlock b;
    if (layout.size == 0) return b;
    void* p = source->allocate(layout.size);
    if (p == nullptr) return TryReserveError::AllocError;
    b.source_ = source;
    b.base_ = static_cast<std::byte*>(p);
    b.size_ = layout.size;
    advise_huge_pages(b.base_, b.size_);
    std::memset(b.base_, 0, layout.ctrl_len);
    std::memset(b.base_ + layout.summary_offset, 0, layout.size - layout.summary_offset);
    return b;
  }

  // A block of the same size holding the same bytes, except the slot array
  // (`slot_bytes` bytes from `slots`, inside `src`): the caller constructs
  // the entries there, so copying its old bytes first would only double the
  // writes.
  static Result<ArenaBlock, TryReserveError> copy_of(const ArenaBlock& src, const void* slots,
                                                    std::size_t slot_bytes) {
    ArenaBlock b;
    if (src.empty()) return b;
    void* p = src.source_->allocate(src.size_);
    if (p == nullptr) return TryReserveError::AllocError;
    b.source_ = src.source_;
    b.base_ = static_cast<std::byte*>(p);
    b.size_ = src.size_;
    advise_huge_pages(b.base_, b.size_);
    const auto from = static_cast<std::size_t>(static_cast<const std::byte*>(slots) - src.base_);
    std::memcpy(b.base_, src.base_, from);
    std::memcpy(b.base_ + from + slot_bytes, src.base_ + from + slot_bytes,
                src.size_ - from - slot_bytes);
    return b;
  }

  // The address in this block at the offset `p` has in `from`.
  template <class T>
  T* rebase(const ArenaBlock& from, const T* p) const noexcept {
    if (p == nullptr) return nullptr;
    return at<T>(static_cast<std::size_t>(reinterpret_cast<const std::byte*>(p) - from.base_));
  }

  void reset() noexcept {
    if (base_ != nullptr) {
      source_->release(base_);
      base_ = nullptr;
      size_ = 0;
    }
  }

  // Blocks at least this large ask for transparent huge pages: lookups touch
  // a few random lines of a block, and with 4 KiB pages nearly each of them
  // also misses the TLB.
  static constexpr std::size_t kHugePageBlock = std::size_t{4} << 20;

  std::byte* base() const noexcept { return base_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t align() const noexcept { return base_ ? kArenaAlign : 1; }
  bool empty() const noexcept { return base_ == nullptr; }

  template <class T>
  T* at(std::size_t offset) const noexcept {
    return reinterpret_cast<T*>(base_ + offset);
  }

 private:
  // Advice only: the whole pages inside the block, errors ignored.
  static void advise_huge_pages([[maybe_unused]] std::byte* p,
                                [[maybe_unused]] std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size < kHugePageBlock) return;
    constexpr std::uintptr_t kPage = 4096;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + size) & ~(kPage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
  }

  std::byte* base_ = nullptr;
  std::size_t size_ = 0;
  const BlockSource* source_ = &kCxxHeap;
};

// One region of slots inside an arena: `len` control bytes and `len` entries.
// Full control bytes own their entries.
template <class E>
struct SlotRegion {
  static_assert(alignof(E) <= kSlotAlign, "the arena aligns slots only to the machine word");
  std::uint8_t* ctrl = nullptr;
  E* entries = nullptr;
  std::size_t len = 0;

  // Destroys every live entry in index order; control bytes and counters are
  // left alone (the storage is about to be freed).
  void drop_values() noexcept {
    for_each_full(ctrl, len, [this](std::size_t i) { std::destroy_at(&entries[i]); });
  }

  // Copies each live entry into the same slot of `dst`, whose control bytes
  // already equal these: copy(entry, slot) constructs the copy in the slot's
  // storage, in index order (in place: a temporary entry would cost a store
  // and reload per copy). touch(entry) runs eight live entries earlier, so
  // that whatever the copy reads through the entry (the objects it
  // references) can be fetched meanwhile. A copy cannot be undone halfway,
  // so it must not throw.
  template <class Touch, class Copy>
  void copy_values_to(const SlotRegion& dst, Touch&& touch, Copy&& copy) const {
    static_assert(std::is_nothrow_invocable_v<Copy&, const E&, E*>,
                  "a half-copied region cannot be unwound");
    auto place = [&](std::size_t i) { copy(std::as_const(entries[i]), &dst.entries[i]); };
    if constexpr (std::is_same_v<std::remove_cvref_t<Touch>, NoTouch>) {
      for_each_full(ctrl, len, place);
      return;
    }
    auto fetch = [&](std::size_t i) { touch(std::as_const(entries[i])); };
    Lookahead<std::size_t, decltype(fetch), decltype(place)> ahead(fetch, place);
    for_each_full(ctrl, len, [&](std::size_t i) { ahead.push(i); });
    ahead.finish();
  }

  // Hands each live entry to `f` in index order, eight control bytes at a
  // time, clearing its control byte before the move so that an unwinding
  // guard never drops an entry twice. Every control byte is 0 afterwards.
  template <class F>
  void drain_values_and_clear(F&& f) {
    std::size_t i = 0;
    for (; i + kGroupWidth <= len; i += kGroupWidth) {
      std::uint64_t full = group_full_mask(load_group(ctrl + i));
      if (full == 0) {
        std::memset(ctrl + i, 0, kGroupWidth);
        continue;
      }
      for (; full != 0; full &= full - 1) take(i + mask_lowest(full), f);
      std::memset(ctrl + i, 0, kGroupWidth);
    }
    for (; i < len; ++i) {
      if (ctrl_is_full(ctrl[i])) {
        take(i, f);
      } else {
        ctrl[i] = kCtrlEmpty;
      }
    }
  }

 private:
  // f moves straight out of the slot: a copy on the stack would be read back
  // in wider loads than it was written with, which store forwarding cannot
  // serve. The slot is destroyed however f ends, so an entry f never took
  // is dropped exactly once.
  template <class F>
  void take(std::size_t i, F& f) {
    ctrl[i] = kCtrlEmpty;
    struct Destroy {
      E* e;
      ~Destroy() { std::destroy_at(e); }
    } destroy{&entries[i]};
    f(std::move(entries[i]));
  }
};

// Owns an arena block and its region set while entries may still be live in
// it. On destruction (normal or unwinding) it drops whatever the regions still
// mark full, then frees the block, exactly once. `Regions` offers
// `drop_all_values()`.
template <class Regions>
class ArenaDropGuard {
 public:
  ArenaDropGuard(ArenaBlock block, Regions regions) noexcept
      : block_(std::move(block)), regions_(std::move(regions)), holds_values_(true) {}
  ArenaDropGuard(const ArenaDropGuard&) = delete;
  ArenaDropGuard& operator=(const ArenaDropGuard&) = delete;
  ~ArenaDropGuard() {
    if (holds_values_) regions_.drop_all_values();
  }

  Regions& regions() noexcept { return regions_; }
  // Every entry has been moved out: only the memory remains to be freed.
  void disarm_values() noexcept { holds_values_ = false; }

 private:
  ArenaBlock block_;
  Regions regions_;
  bool holds_values_;
};

}  // namespace quarlex
