// Snapshot iterators.
//
// An iterator never walks a table: when it is made, the owner's entries are
// copied (new references; for items the key and the value, one after the
// other, paired into a tuple as each is handed out) into a snapshot in scan
// order, and the owner's modification counter is stamped. Each step checks the
// counter first, so an iterator whose owner changed raises on every later
// step, also after it was exhausted. The owner is kept alive.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <utility>

#include "quarlex/common/errors.hpp"
#include "quarlex/python/hashed_key.hpp"
#include "quarlex/python/types.hpp"

namespace quarlex::py {

// The references an iterator has yet to hand out, in scan order. The buffer
// is raw (never zero-filled) up to limit_, followed by kTakeAhead nulls:
// invariant: [next_, end_) are owned references, filled front to back by
// fill(); those before next_ were handed out and are never read again.
// Dropping a snapshot releases what is still owned, in order.
//
// Taking a reference prefetches the object kTakeAhead places on, with no
// test: iterators take only from full snapshots, so that read finds a
// reference or one of the nulls, and a prefetch of null is dropped. The
// caller soon drops the reference it took (a loop rebinding its variable), a
// write to an object the filling walk touched long before; in large
// collections it has left the caches by then.
class Snapshot {
 public:
  static constexpr std::size_t kTakeAhead = 16;

  Snapshot() noexcept = default;
  explicit Snapshot(std::size_t capacity)
      : items_(std::make_unique_for_overwrite<PyObject*[]>(capacity + kTakeAhead)),
        next_(items_.get()),
        end_(next_),
        limit_(next_ + capacity) {
    std::fill_n(limit_, kTakeAhead, nullptr);
  }
  Snapshot(Snapshot&& o) noexcept
      : items_(std::move(o.items_)),
        next_(std::exchange(o.next_, nullptr)),
        end_(std::exchange(o.end_, nullptr)),
        limit_(std::exchange(o.limit_, nullptr)) {}
  Snapshot& operator=(Snapshot&&) = delete;
  ~Snapshot() {
    for (PyObject** p = next_; p != end_; ++p) Py_DECREF(*p);
  }

  // Runs walk(put), where put(Ref) appends one reference: the end is kept in
  // a register meanwhile (a store through the buffer may alias a member), and
  // what was put stays owned however the walk ends.
  template <class Walk>
  void fill(Walk&& walk) {
    PyObject** w = end_;
    struct Commit {
      Snapshot& s;
      PyObject**& w;
      ~Commit() { s.end_ = w; }
    } commit{*this, w};
    walk([&w](Ref r) noexcept { *w++ = r.release(); });
  }
  bool full() const noexcept { return end_ == limit_; }
  bool empty() const noexcept { return next_ == end_; }
  std::size_t left() const noexcept { return static_cast<std::size_t>(end_ - next_); }
  // The next reference, now the caller's; the snapshot must not be empty.
  PyObject* take() noexcept {
    prefetch_object(next_[kTakeAhead]);
    return *next_++;
  }
  std::span<PyObject* const> owned() const noexcept { return {next_, end_}; }

 private:
  std::unique_ptr<PyObject*[]> items_;
  PyObject** next_ = nullptr;
  PyObject** end_ = nullptr;
  PyObject** limit_ = nullptr;
};

// A new iterator object of class `id` over `snapshot`, owned by `owner` (a
// collection object whose counter is stamped now). The caller holds a shared
// borrow of the owner while it builds the snapshot and calls this.
PyObject* make_snapshot_iter(TypeId id, PyObject* owner, Snapshot&& snapshot);

// A snapshot of `range`: refs(x) gives the `Per` references of each element
// x, in order (Ref::borrow or copies, which cannot fail); touch(x) prefetches
// as for_each_ahead does. The snapshot is sized up front from len(). The walk
// visits exactly len() elements (every table keeps its length equal to its
// full slots; a check per element measured 0.4 ns of 2.7 per entry); should
// it ever fall short, the snapshot stops instead of handing out nulls.
template <std::size_t Per, class Range, class Touch, class Refs>
Snapshot snapshot_refs(const Range& range, Touch&& touch, Refs&& refs) {
  Snapshot out(Per * range.len());
  out.fill([&](auto&& put) {
    for_each_ahead(range, touch, [&](const auto& x) {
      auto rs = refs(x);
      for (Ref& r : rs) put(std::move(r));
    });
  });
  if (!out.full()) panic("snapshot walk disagrees with the length");
  return out;
}

// The eight iterator classes.
std::span<const ClassMaker> iter_classes() noexcept;

}  // namespace quarlex::py
