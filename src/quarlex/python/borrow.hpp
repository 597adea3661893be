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
    if (!flag_.try_shared()) raise(PyExc_RuntimeError, kAlreadyMutablyBorrowed);
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
    if (!flag_.try_exclusive()) raise(PyExc_RuntimeError, kAlreadyBorrowed);
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() { flag_.release_exclusive(); }

 private:
  BorrowFlag& flag_;
};

}  // namespace quarlex::py
