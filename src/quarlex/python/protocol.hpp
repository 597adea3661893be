// What the binding layer asks of other Python objects: their items, a length
// hint, and the KeyError of a missing key.
#pragma once

#include <cstddef>
#include <iterator>
#include <utility>

#include "quarlex/python/borrow.hpp"
#include "quarlex/python/ref.hpp"

namespace quarlex::py {

// The items of an iterable as a C++ range: `for (Ref item : Items(o))`. An
// error of the iteration unwinds (PyErrSet) where it is met.
class Items {
 public:
  explicit Items(PyObject* iterable) : iter_(Ref::check(PyObject_GetIter(iterable))) {}

  class iterator {
   public:
    using value_type = Ref;
    using difference_type = std::ptrdiff_t;

    explicit iterator(PyObject* iter) : iter_(iter) { fetch(); }
    Ref& operator*() noexcept { return item_; }
    iterator& operator++() {
      fetch();
      return *this;
    }
    void operator++(int) { fetch(); }
    bool operator==(std::default_sentinel_t) const noexcept { return !item_; }

   private:
    void fetch() {
      item_ = Ref::steal(PyIter_Next(iter_));
      if (!item_ && PyErr_Occurred()) throw_error();
    }
    PyObject* iter_;
    Ref item_;
  };

  iterator begin() { return iterator(iter_.get()); }
  std::default_sentinel_t end() const noexcept { return {}; }

 private:
  Ref iter_;
};

// How many items `o` says it has (its length, else its __length_hint__), or
// 0 when it says nothing. Only a hint: callers presize with it where that
// succeeds and otherwise grow as the items arrive, since an object may lie.
inline std::size_t length_hint(PyObject* o) {
  const std::uint64_t mark = t_borrow_conflicts;
  const Py_ssize_t n = PyObject_LengthHint(o, 0);
  if (n >= 0) return static_cast<std::size_t>(n);
  discard_error(mark);
  return 0;
}

// Sets KeyError(key); a tuple key stays one argument.
inline void set_key_error(PyObject* key) noexcept {
  PyObject* args = PyTuple_Pack(1, key);
  if (args == nullptr) return;
  PyErr_SetObject(PyExc_KeyError, args);
  Py_DECREF(args);
}

}  // namespace quarlex::py
