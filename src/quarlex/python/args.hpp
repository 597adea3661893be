// Argument binding for every method and constructor, and conversion of the
// `capacity` and `reserve_exponent` arguments shared by the collection
// classes.
//
// `bind` maps a call's arguments (vectorcall or tuple-and-dict form) onto a
// `Signature`, with the interpreter's wording for every error.
//
// Both are unsigned 32-bit: a non-int goes through the index protocol, a
// negative value or one beyond 64 bits is the interpreter's OverflowError, and
// a value of 2^32 or more is OverflowError "out of range integral type
// conversion attempted". Every such error keeps its type and message and gets
// the note "while processing '<name>'".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "quarlex/common/errors.hpp"
#include "quarlex/python/boundary.hpp"
#include "quarlex/python/ref.hpp"

namespace quarlex::py {

// Keyword arguments no parameter takes, in call order (borrowed from the
// call): the entries of `dict(**kwargs)`-style calls.
using ExtraKeywords = std::vector<std::pair<PyObject*, PyObject*>>;

// Parameters `names`, in order: the first `required` are mandatory, the
// first `positional` may also be passed by position (the rest are
// keyword-only). With `extra_keywords`, unknown keywords are collected
// instead of refused.
template <std::size_t N>
struct Signature {
  const char* function;
  std::array<const char*, N> names;
  std::size_t required = 0;
  std::size_t positional = N;
  bool extra_keywords = false;
};

// The bound arguments: one per parameter, null when absent.
template <std::size_t N>
struct Bound {
  std::array<PyObject*, N> args{};
  ExtraKeywords extra;
  PyObject* operator[](std::size_t i) const noexcept { return args[i]; }
};

namespace detail {

[[noreturn]] inline void raise_format(PyObject* type, const char* format, auto... args) {
  PyErr_Format(type, format, args...);
  throw_error();
}

// Binds `nargs` positional arguments and `nkw` keywords, keyword j being
// (name(j), value(j)). Out of line, also where callers are flattened.
template <std::size_t N, class Name, class Value>
[[gnu::noinline]] Bound<N> bind(const Signature<N>& sig, PyObject* const* args, std::size_t nargs,
                                std::size_t nkw, Name&& name, Value&& value) {
  Bound<N> out;
  PyObject* unexpected = nullptr;
  if (nargs > sig.positional) {
    const bool plain = sig.positional == N && !sig.extra_keywords;
    raise_format(PyExc_TypeError, "%s() takes at most %zu %sargument%s (%zu given)", sig.function,
                 sig.positional, plain ? "" : "positional ", sig.positional == 1 ? "" : "s",
                 nargs);
  }
  for (std::size_t i = 0; i < nargs; ++i) out.args[i] = args[i];
  for (std::size_t j = 0; j < nkw; ++j) {
    PyObject* key = name(j);
    std::size_t i = 0;
    while (i < N && !PyUnicode_EqualToUTF8(key, sig.names[i])) ++i;
    if (i == N) {
      if (sig.extra_keywords) {
        out.extra.emplace_back(key, value(j));
      } else if (unexpected == nullptr) {
        unexpected = key;
      }
      continue;
    }
    if (out.args[i] != nullptr) {
      raise_format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                   sig.function, sig.names[i], i + 1);
    }
    out.args[i] = value(j);
  }
  if (unexpected != nullptr) {
    raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function,
                 unexpected);
  }
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out.args[i] == nullptr) {
      raise_format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                   sig.function, sig.names[i], i + 1);
    }
  }
  return out;
}

}  // namespace detail

// A METH_FASTCALL | METH_KEYWORDS call. Most calls pass an acceptable
// number of arguments by position alone; those are bound inline: the general
// binding, out of line, cost every call of a per-element method such as
// `add` some 90 instructions.
template <std::size_t N>
[[gnu::always_inline]] inline Bound<N> bind(const Signature<N>& sig, PyObject* const* args,
                                            Py_ssize_t nargsf, PyObject* kwnames) {
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (kwnames == nullptr && nargs >= sig.required && nargs <= sig.positional) [[likely]] {
    Bound<N> out;
    for (std::size_t i = 0; i < N; ++i) {
      if (i < nargs) out.args[i] = args[i];
    }
    return out;
  }
  const auto nkw = static_cast<std::size_t>(kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames));
  return detail::bind(
      sig, args, nargs, nkw,
      [&](std::size_t j) { return PyTuple_GET_ITEM(kwnames, static_cast<Py_ssize_t>(j)); },
      [&](std::size_t j) { return args[nargs + j]; });
}

// A tp_new call. The keyword dict belongs to this call alone.
template <std::size_t N>
Bound<N> bind(const Signature<N>& sig, PyObject* args, PyObject* kwds) {
  std::vector<std::pair<PyObject*, PyObject*>> keywords;
  if (kwds != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(kwds, &pos, &k, &v)) keywords.emplace_back(k, v);
  }
  return detail::bind(
      sig, reinterpret_cast<PyTupleObject*>(args)->ob_item,
      static_cast<std::size_t>(PyTuple_GET_SIZE(args)),
      keywords.size(), [&](std::size_t j) { return keywords[j].first; },
      [&](std::size_t j) { return keywords[j].second; });
}

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

// The two ways a class `C` is constructed, both binding `C::kNewSignature`
// and handing the arguments to `C::construct(type, bound)`. `tp_new` serves
// `cls.__new__`, with an argument tuple and keyword dict; `vectorcall` serves
// calls of the class itself, for which the interpreter builds neither.
template <class C>
struct Construction {
  static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    return guard<PyObject*>(nullptr,
                            [&] { return C::construct(type, bind(C::kNewSignature, args, kwds)); });
  }

  static PyObject* vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      return C::construct(reinterpret_cast<PyTypeObject*>(type),
                          bind(C::kNewSignature, args, static_cast<Py_ssize_t>(nargsf), kwnames));
    });
  }
};

}  // namespace quarlex::py
