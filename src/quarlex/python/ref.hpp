// Owned Python references and the C++ side of Python errors.
//
// `Ref` owns one strong reference (or none). It is the value type of the map
// tables, so moves are noexcept and leave the source empty. `PyErrSet` is
// thrown when a Python error indicator has been set, so that C++ frames unwind
// (running their RAII releases) up to the call boundary, which returns the
// error to the interpreter.
#pragma once

#include "quarlex/python/compat.hpp"

#include <exception>
#include <utility>

namespace quarlex::py {

// The Python error indicator is set; unwind to the call boundary.
struct PyErrSet final : std::exception {
  const char* what() const noexcept override { return "python error set"; }
};

[[noreturn]] inline void throw_error() { throw PyErrSet{}; }

[[noreturn]] inline void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PyErrSet{};
}

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes ownership of a new reference.
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
  // Takes ownership of the result of a C API call; a null result means the
  // call raised.
  static Ref check(PyObject* p) {
    if (p == nullptr) throw_error();
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  // A new reference for the caller, keeping ours.
  PyObject* new_ref() const noexcept { return Py_XNewRef(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Length of an object, or nothing (the error cleared) when it has none.
inline Py_ssize_t optional_len(PyObject* o) noexcept {
  Py_ssize_t n = PyObject_Size(o);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return n;
}

}  // namespace quarlex::py
