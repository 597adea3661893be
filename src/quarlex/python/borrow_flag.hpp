// The borrow flag: the only lock of every collection, view and iterator
// object. Plain C++, so it can be tested (and race-checked) without an
// interpreter.
//
// Acquisition never waits: a conflicting request fails at once, so a
// re-entrant callback (a key's __hash__ or __eq__ touching the collection it
// is being stored in) or a second thread gets an error instead of a data race
// or a deadlock.
//
// Readers must scale across threads, so a read may not write a cache line
// that readers on other cores write too. The flag is biased: the first
// thread to read an object counts its reads in the central word, as a plain
// reader-writer counter would; the first read from any other thread switches
// the object for good to per-CPU reader slots, one cache line each, which
// only the readers running on that CPU write. A collection that only one
// thread reads never allocates the slots.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <thread>

#if defined(__has_builtin)
#if __has_builtin(__builtin_thread_pointer)
#define QUARLEX_HAVE_THREAD_POINTER 1
#endif
#endif

#if defined(__linux__)
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#if __has_include(<linux/membarrier.h>) && defined(SYS_membarrier)
#include <linux/membarrier.h>
#define QUARLEX_HAVE_MEMBARRIER 1
#endif
#if defined(QUARLEX_HAVE_THREAD_POINTER) && __has_include(<sys/rseq.h>)
#include <sys/rseq.h>
#define QUARLEX_HAVE_RSEQ 1
#endif
#endif

namespace quarlex::py {

// A reader count; a shared borrow hands back the one it incremented.
using ReaderCount = std::atomic<std::int32_t>;

namespace borrow_detail {

// One CPU's reader count, alone on its cache line.
struct alignas(64) ReaderSlot {
  ReaderCount readers{0};
};

// Slots per object: the CPUs rounded up to a power of two, at most 64. More
// CPUs than that share slots, which stays correct and only costs contention.
inline const std::size_t kSlotCount =
    std::bit_ceil(std::clamp(std::thread::hardware_concurrency(), 1U, 64U));

// The CPU this thread runs on, from the kernel-maintained rseq area when
// glibc registered one (a single load), else from the system call; off Linux,
// a number dealt to each thread. Only a placement hint: a thread that
// migrates still decrements the slot it incremented.
[[gnu::cold, gnu::noinline]] inline unsigned current_cpu_by_call() noexcept {
#if defined(__linux__)
  const int cpu = sched_getcpu();
  return cpu < 0 ? 0U : static_cast<unsigned>(cpu);
#else
  return 0;
#endif
}

inline unsigned current_cpu() noexcept {
#if defined(__linux__)
#if defined(QUARLEX_HAVE_RSEQ)
  if (__rseq_size > 0) [[likely]] {
    const auto* area = reinterpret_cast<const volatile struct rseq*>(
        static_cast<const char*>(__builtin_thread_pointer()) + __rseq_offset);
    return area->cpu_id;
  }
#endif
  return current_cpu_by_call();
#else
  static std::atomic<unsigned> dealt{0};
  static thread_local const unsigned mine = dealt.fetch_add(1, std::memory_order_relaxed);
  return mine;
#endif
}

// Distinct for every live thread, never 0, low bit clear (the flag tags its
// slot address with that bit): a per-thread address, shifted.
inline std::uintptr_t thread_token() noexcept {
#if defined(QUARLEX_HAVE_THREAD_POINTER)
  return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer()) << 1;
#else
  static thread_local char anchor;
  return reinterpret_cast<std::uintptr_t>(&anchor) << 1;
#endif
}

// The heavy side of an asymmetric fence: every running thread of the process
// passes a full memory barrier before this returns (membarrier's expedited
// private command), so the other side needs only a compiler fence. Usable
// once the process has registered for it, which `kHeavyFence` does when the
// library loads; should a call fail after that, the caller undoes what the
// barrier was to publish and backs off.
inline bool register_heavy_fence() noexcept {
#if defined(QUARLEX_HAVE_MEMBARRIER)
  return syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
#else
  return false;
#endif
}
inline const bool kHeavyFence = register_heavy_fence();

[[gnu::cold]] inline bool heavy_fence() noexcept {
#if defined(QUARLEX_HAVE_MEMBARRIER)
  return syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0;
#else
  return false;
#endif
}

}  // namespace borrow_detail

// Invariants:
// - `state_`: 0 = free, n > 0 = n shared accesses counted here, -1 = one
//   exclusive access in progress (or a writer that is about to find a reader
//   in the slots and back off).
// - `mode_`: 0 until the first read; then the first reader's thread token
//   (even), and only that thread counts its reads in `state_`; from the first
//   read by any other thread on, the address of kSlotCount reader slots
//   with the low bit set, owned and never freed before the flag. Each slot
//   counts the shared accesses that incremented it. A writer holds the
//   object only while `state_` is -1 and every slot is 0.
// - `used_`: bit i % 32 is set, for good, before slot i first counts a read.
//   Writers check only the slots of set bits: on a machine with many CPUs
//   and a few reading threads, a write then loads a few lines instead of
//   one per CPU.
//
// Memory ordering. A reader in the slots makes sure its bit is set in
// `used_`, increments its slot, then loads `state_`; a writer swaps `state_`
// from 0 to -1, then loads `mode_`, `used_` and the slots it marks. Both
// sides store, then load a location the other side stores: store-load
// order, which acquire/release does not give (each load could be satisfied
// before the other side's store is visible, and both proceed). All of these
// are therefore sequentially consistent, so they fall in one total order: if
// the writer's swap comes first, the reader's load sees -1 and the reader
// backs off; otherwise the reader's increment precedes the swap, and so do
// the bit (set by the reader, or by an earlier one whose setting preceded
// the reader's load of it) and the slots (published before the bit); the
// writer's later loads see all three, and the writer backs off. At worst
// both back off; neither waits. On x86 the increment and the swap are locked
// instructions (full fences) and the loads are plain moves, so this costs
// readers no more than the central counter does. Reads counted in `state_`
// need no such argument: a writer's swap from 0 fails while the count is
// positive.
class BorrowFlag {
 public:
  BorrowFlag() noexcept = default;
  BorrowFlag(const BorrowFlag&) = delete;
  BorrowFlag& operator=(const BorrowFlag&) = delete;
  ~BorrowFlag() { std::unique_ptr<borrow_detail::ReaderSlot[]> owned(slots(mode_.load())); }

  // Bytes of the reader slots, once a second thread has read.
  std::size_t heap_bytes() const noexcept {
    return slots(mode_.load(std::memory_order_acquire)) != nullptr
               ? borrow_detail::kSlotCount * sizeof(borrow_detail::ReaderSlot)
               : 0;
  }

  // The count to hand to release_shared, or null when a writer holds the
  // object.
  ReaderCount* try_shared() noexcept {
    if (mode_.load(std::memory_order_acquire) == borrow_detail::thread_token()) [[likely]] {
      return try_central();
    }
    return try_other_reader();
  }
  static void release_shared(ReaderCount* count) noexcept {
    count->fetch_sub(1, std::memory_order_release);
  }

  bool try_exclusive() noexcept {
    std::int32_t expected = 0;
    if (!state_.compare_exchange_strong(expected, -1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
      return false;
    }
    if (const borrow_detail::ReaderSlot* readers = slots(mode_.load(std::memory_order_seq_cst))) {
      for (std::uint32_t used = used_.load(std::memory_order_seq_cst); used != 0;
           used &= used - 1) {
        for (std::size_t i = static_cast<std::size_t>(std::countr_zero(used));
             i < borrow_detail::kSlotCount; i += kUsedBits) {
          if (readers[i].readers.load(std::memory_order_seq_cst) != 0) {
            state_.store(0, std::memory_order_release);
            return false;
          }
        }
      }
    }
    return true;
  }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

  // Whether a writer holds the object right now. Enough for readers of
  // state that is itself atomic, where a full shared borrow would cost two
  // read-modify-writes.
  bool exclusively_held() const noexcept { return state_.load(std::memory_order_acquire) < 0; }

 private:
  static constexpr std::uintptr_t kSlotsTag = 1;
  static constexpr std::size_t kUsedBits = 32;

  static borrow_detail::ReaderSlot* slots(std::uintptr_t mode) noexcept {
    return (mode & kSlotsTag) != 0 ? reinterpret_cast<borrow_detail::ReaderSlot*>(mode - kSlotsTag)
                                   : nullptr;
  }

  // Any read but the first reader's while the object has no slots.
  [[gnu::noinline]] ReaderCount* try_other_reader() noexcept {
    if (borrow_detail::ReaderSlot* readers = slots(mode_.load(std::memory_order_acquire)))
        [[likely]] {
      return try_slot(readers);
    }
    return try_first_reads();
  }

  // The very first read, and the first by a second thread, which switches
  // the object to reader slots.
  [[gnu::noinline]] ReaderCount* try_first_reads() noexcept {
    std::uintptr_t mode = mode_.load(std::memory_order_acquire);
    while (slots(mode) == nullptr) {
      if (mode == 0) {
        if (mode_.compare_exchange_weak(mode, borrow_detail::thread_token(),
                                        std::memory_order_acquire, std::memory_order_acquire)) {
          return try_central();
        }
        continue;
      }
      const std::uintptr_t spread_mode = spread(mode);
      if (spread_mode == mode) return try_central();
      mode = spread_mode;
    }
    return try_slot(slots(mode));
  }

  ReaderCount* try_slot(borrow_detail::ReaderSlot* readers) noexcept {
    const std::size_t i = borrow_detail::current_cpu() & (borrow_detail::kSlotCount - 1);
    const std::uint32_t bit = std::uint32_t{1} << (i % kUsedBits);
    if ((used_.load(std::memory_order_seq_cst) & bit) == 0) [[unlikely]] {
      used_.fetch_or(bit, std::memory_order_seq_cst);
    }
    ReaderCount& count = readers[i].readers;
    count.fetch_add(1, std::memory_order_seq_cst);
    if (state_.load(std::memory_order_seq_cst) < 0) {
      count.fetch_sub(1, std::memory_order_relaxed);
      return nullptr;
    }
    return &count;
  }

  ReaderCount* try_central() noexcept {
    std::int32_t cur = state_.load(std::memory_order_relaxed);
    do {
      if (cur < 0 || cur == std::numeric_limits<std::int32_t>::max()) return nullptr;
    } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return &state_;
  }

  // Replaces the first reader's token `seen` with reader slots and returns
  // the new mode, or whatever another thread put there first. Returns `seen`
  // unchanged if the slots cannot be allocated: the central count then keeps
  // serving every thread, correctly if not in parallel.
  [[gnu::noinline]] std::uintptr_t spread(std::uintptr_t seen) noexcept {
    std::unique_ptr<borrow_detail::ReaderSlot[]> fresh;
    try {
      fresh = std::make_unique<borrow_detail::ReaderSlot[]>(borrow_detail::kSlotCount);
    } catch (const std::bad_alloc&) {
      return seen;
    }
    const std::uintptr_t tagged = reinterpret_cast<std::uintptr_t>(fresh.get()) | kSlotsTag;
    std::uintptr_t current = seen;
    if (mode_.compare_exchange_strong(current, tagged, std::memory_order_seq_cst,
                                      std::memory_order_acquire)) {
      fresh.release();
      return tagged;
    }
    return current;
  }

  ReaderCount state_{0};
  std::atomic<std::uint32_t> used_{0};  // in the padding before mode_
  std::atomic<std::uintptr_t> mode_{0};
};
static_assert(sizeof(BorrowFlag) == 2 * sizeof(std::uintptr_t) || sizeof(std::uintptr_t) < 8,
              "the used-slot bits live in the count's padding");

// An exclusive-only flag for objects that one thread mostly steps alone
// (iterators), where a locked instruction per step would cost more than the
// step. The first thread to take it becomes its owner and from then on takes
// and gives it back with plain loads and stores; the first taker from any
// other thread revokes that bias for good, and from then on every taker,
// the owner too, goes through the locked word.
//
// Invariants:
// - `owner_`: kNobody before the first taker, then the owner's thread token,
//   then kShared for good once a heavy fence has followed that store (from
//   the start when there is no heavy fence). Only a revoker holding
//   `locked_` stores kShared over a token, and puts the token back if its
//   fence fails;
// - `busy_` is written only by the owner: 1 while it holds the flag on the
//   biased path, else 0;
// - `locked_` is 1 while a taker holds the flag on the locked path.
// A biased holder stores busy_ = 1, then loads owner_; a revoker stores
// owner_ = kShared, then loads busy_. Store-load on both sides, where the
// owner's side has only a compiler fence and the revoker's the heavy fence,
// which puts a full barrier into the owner's instruction stream: if that
// barrier comes after the owner's store, the revoker sees busy_ = 1 and backs
// off; otherwise the owner's load comes after it, sees kShared, and the
// owner backs off to the locked path. A taker on the locked path that finds
// busy_ = 1 backs off too: the owner is inside a step that began before the
// bias was revoked. Neither side ever waits.
class BiasedFlag {
 public:
  enum class Held : std::uint8_t { None, Biased, Locked };

  BiasedFlag() noexcept = default;
  BiasedFlag(const BiasedFlag&) = delete;
  BiasedFlag& operator=(const BiasedFlag&) = delete;

  Held try_acquire() noexcept {
    const std::uintptr_t me = borrow_detail::thread_token();
    if (owner_.load(std::memory_order_relaxed) == me) [[likely]] {
      // Already busy: the owner's own step is still in progress (re-entry).
      if (busy_.load(std::memory_order_relaxed) != 0) return Held::None;
      busy_.store(1, std::memory_order_relaxed);
      std::atomic_signal_fence(std::memory_order_seq_cst);
      if (owner_.load(std::memory_order_relaxed) == me) [[likely]] return Held::Biased;
      busy_.store(0, std::memory_order_release);
    }
    return try_locked(me);
  }

  void release(Held held) noexcept {
    if (held == Held::Biased) {
      busy_.store(0, std::memory_order_release);
    } else {
      locked_.store(0, std::memory_order_release);
    }
  }

 private:
  static constexpr std::uintptr_t kNobody = 0;
  static constexpr std::uintptr_t kShared = 1;  // odd: never a thread token

  [[gnu::noinline]] Held try_locked(std::uintptr_t me) noexcept {
    std::int32_t expected = 0;
    if (!locked_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      return Held::None;
    }
    const std::uintptr_t owner = owner_.load(std::memory_order_relaxed);
    if (owner == kNobody && borrow_detail::kHeavyFence) {
      // The first taker leaves holding the biased side, so that a re-entry
      // from its own callback finds busy_ set.
      owner_.store(me, std::memory_order_relaxed);
      busy_.store(1, std::memory_order_relaxed);
      locked_.store(0, std::memory_order_release);
      return Held::Biased;
    }
    if (owner == kNobody) {
      owner_.store(kShared, std::memory_order_relaxed);
      return Held::Locked;
    }
    if (owner != kShared) {
      owner_.store(kShared, std::memory_order_seq_cst);
      if (!borrow_detail::heavy_fence()) {
        // Without the barrier the owner's step may still be unseen: the bias
        // goes back to it. Whoever read kShared meanwhile found locked_ held.
        owner_.store(owner, std::memory_order_relaxed);
        return back_off();
      }
    }
    if (busy_.load(std::memory_order_acquire) != 0) return back_off();
    return Held::Locked;
  }

  Held back_off() noexcept {
    locked_.store(0, std::memory_order_release);
    return Held::None;
  }

  std::atomic<std::int32_t> locked_{0};
  std::atomic<std::uint32_t> busy_{0};
  std::atomic<std::uintptr_t> owner_{kNobody};
};

}  // namespace quarlex::py
