// Conversion of the `capacity` and `reserve_exponent` arguments shared by
// every collection class.
//
// Both are unsigned 32-bit: a non-int goes through the index protocol, a
// negative value or one beyond 64 bits is the interpreter's OverflowError, and
// a value of 2^32 or more is OverflowError "out of range integral type
// conversion attempted". Every such error keeps its type and message and gets
// the note "while processing '<name>'".
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "quarlex/common/errors.hpp"
#include "quarlex/python/ref.hpp"

namespace quarlex::py {

[[noreturn]] inline void rethrow_with_note(const char* name) {
  PyObject* exc = PyErr_GetRaisedException();
  const std::string note = std::string("while processing '") + name + "'";
  Ref text = Ref::steal(PyUnicode_FromString(note.c_str()));
  if (text) {
    Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", text.get()));
    if (!r) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exc);
  throw_error();
}

inline std::uint32_t convert_u32(PyObject* obj, const char* name) {
  Ref index = Ref::steal(PyLong_Check(obj) ? Py_NewRef(obj) : PyNumber_Index(obj));
  if (!index) rethrow_with_note(name);
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) rethrow_with_note(name);
  if (v > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    rethrow_with_note(name);
  }
  return static_cast<std::uint32_t>(v);
}

// `capacity` (absent or null means 0).
inline std::uint32_t capacity_arg(PyObject* obj) {
  return obj == nullptr ? 0 : convert_u32(obj, "capacity");
}

// `reserve_exponent` for `with_options`: absent or None gives the default, 0
// is refused, and the funnel classes refuse anything below their minimum
// before any table is built.
inline std::uint32_t reserve_exponent_arg(PyObject* obj, std::uint32_t minimum) {
  const bool present = obj != nullptr && obj != Py_None;
  const std::uint32_t raw = present ? convert_u32(obj, "reserve_exponent") : 0;
  auto parsed = parse_reserve(present, raw);
  if (!parsed.ok()) raise(PyExc_ValueError, parsed.error().display().c_str());
  if (parsed.value() < minimum) raise(PyExc_ValueError, kFunnelReserveMessage.data());
  return parsed.value();
}

}  // namespace quarlex::py
