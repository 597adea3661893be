// The borrow guards: a conflicting request for the borrow flag fails at once
// with RuntimeError.
#pragma once

#include "quarlex/python/borrow_flag.hpp"
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

// Shared access for the guard's lifetime; RuntimeError("Already mutably
// borrowed") when a writer holds the object.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : count_(flag.try_shared()) {
    if (count_ == nullptr) raise_conflict(kAlreadyMutablyBorrowed);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() { BorrowFlag::release_shared(count_); }

 private:
  ReaderCount* count_;
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

// Exclusive access to a BiasedFlag for the guard's lifetime; RuntimeError
// ("Already borrowed") when any other access is in progress.
class BiasedBorrow {
 public:
  explicit BiasedBorrow(BiasedFlag& flag) : flag_(flag), held_(flag.try_acquire()) {
    if (held_ == BiasedFlag::Held::None) raise_conflict(kAlreadyBorrowed);
  }
  BiasedBorrow(const BiasedBorrow&) = delete;
  BiasedBorrow& operator=(const BiasedBorrow&) = delete;
  ~BiasedBorrow() { flag_.release(held_); }

 private:
  BiasedFlag& flag_;
  BiasedFlag::Held held_;
};

}  // namespace quarlex::py
