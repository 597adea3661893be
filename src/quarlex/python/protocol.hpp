// What the binding layer asks of other Python objects: their items, a length
// hint, the KeyError of a missing key, and the set protocol's tests.
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

// Whether `o` is set-like: a set, a frozenset, a subclass of either, or an
// instance of collections.abc.Set (dict key and item views, our sets and
// views).
inline bool is_set_like(PyObject* o) {
  if (PyAnySet_Check(o)) return true;
  const Ref abc = Ref::check(PyImport_ImportModule("collections.abc"));
  const Ref set_abc = Ref::check(PyObject_GetAttrString(abc.get(), "Set"));
  const int r = PyObject_IsInstance(o, set_abc.get());
  if (r < 0) throw_error();
  return r == 1;
}

// `a op b` for an ordering op between two set-likes, with the set
// protocol's meaning: subset (<=), proper subset (<), superset (>=), proper
// superset (>). Errors of either operand's membership tests propagate.
inline bool set_like_order(PyObject* a, PyObject* b, int op) {
  if (op == Py_GT || op == Py_GE) {
    std::swap(a, b);
    op = op == Py_GT ? Py_LT : Py_LE;
  }
  const Py_ssize_t na = PyObject_Size(a);
  if (na < 0) throw_error();
  const Py_ssize_t nb = PyObject_Size(b);
  if (nb < 0) throw_error();
  if (op == Py_LT ? na >= nb : na > nb) return false;
  for (Ref& item : Items(a)) {
    const int found = PySequence_Contains(b, item.get());
    if (found < 0) throw_error();
    if (found == 0) return false;
  }
  return true;
}

}  // namespace quarlex::py
