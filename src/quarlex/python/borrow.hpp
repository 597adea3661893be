// Per-object borrow flag: the only lock of every collection, view and
// iterator object.
//
// Invariant: 0 = free, n > 0 = n shared accesses in progress, -1 = one
// exclusive access in progress. Acquisition never waits: a conflicting
// request fails at once with RuntimeError, so a re-entrant callback (a key's
// __hash__ or __eq__ touching the collection it is being stored in) or a
// second thread gets an error instead of a data race or a deadlock.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

#include "quarlex/python/ref.hpp"

namespace quarlex::py {

inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";

// How many borrow conflicts this thread has raised. Comparisons that count a
// failing __eq__ as "different" read it before they call into Python: a
// conflict raised inside means the collection was busy, not that the keys
// differ, and swallowing it would store a duplicate key or report a present
// key missing. See `discard_error`.
inline thread_local std::uint64_t t_borrow_conflicts = 0;

[[noreturn]] inline void raise_conflict(const char* message) {
  ++t_borrow_conflicts;
  raise(PyExc_RuntimeError, message);
}

// Clears the error a Python call left, which the caller treats as a plain
// "no"; but an error that follows a borrow conflict raised since `mark` (a
// value of t_borrow_conflicts) is kept and unwinds to the call boundary.
inline void discard_error(std::uint64_t mark) {
  if (t_borrow_conflicts != mark) throw_error();
  PyErr_Clear();
}

class BorrowFlag {
 public:
  bool try_shared() noexcept {
    std::int32_t cur = state_.load(std::memory_order_relaxed);
    do {
      if (cur < 0 || cur == std::numeric_limits<std::int32_t>::max()) return false;
    } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

  bool try_exclusive() noexcept {
    std::int32_t expected = 0;
    return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

  // Whether a writer holds the object right now. Enough for readers of
  // state that is itself atomic, where a full shared borrow would cost two
  // read-modify-writes.
  bool exclusively_held() const noexcept { return state_.load(std::memory_order_acquire) < 0; }

 private:
  std::atomic<std::int32_t> state_{0};
};

// Shared access for the guard's lifetime; RuntimeError("Already mutably
// borrowed") when a writer holds the object.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (!flag_.try_shared()) raise_conflict(kAlreadyMutablyBorrowed);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() { flag_.release_shared(); }

 private:
  BorrowFlag& flag_;
};

// Exclusive access for the guard's lifetime; RuntimeError("Already borrowed")
// when any other access is in progress.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (!flag_.try_exclusive()) raise_conflict(kAlreadyBorrowed);
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() { flag_.release_exclusive(); }

 private:
  BorrowFlag& flag_;
};

}  // namespace quarlex::py
