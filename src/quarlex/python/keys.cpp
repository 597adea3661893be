#include "quarlex/python/hashed_key.hpp"

#include <cstring>

#include "quarlex/python/borrow.hpp"

namespace quarlex::py {

bool rich_equal(PyObject* probe, PyObject* stored) {
  const std::uint64_t mark = t_borrow_conflicts;
  const Ref r = Ref::steal(PyObject_RichCompare(probe, stored, Py_EQ));
  const int truth = r ? PyObject_IsTrue(r.get()) : -1;
  if (truth < 0) {
    discard_error(mark);
    return false;
  }
  return truth == 1;
}

namespace {

bool str_equal(PyObject* a, PyObject* b) noexcept {
  // Strings are stored in their most compact kind, so equal strings share
  // length, kind and code-unit bytes; this is Python's own str equality.
  const Py_ssize_t len = PyUnicode_GET_LENGTH(a);
  if (len != PyUnicode_GET_LENGTH(b)) return false;
  const int kind = PyUnicode_KIND(a);
  if (kind != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     static_cast<std::size_t>(len) * static_cast<std::size_t>(kind)) == 0;
}

bool int_equal(PyObject* a, PyObject* b) {
  auto* la = reinterpret_cast<PyLongObject*>(a);
  auto* lb = reinterpret_cast<PyLongObject*>(b);
  if (PyUnstable_Long_IsCompact(la) && PyUnstable_Long_IsCompact(lb)) {
    return PyUnstable_Long_CompactValue(la) == PyUnstable_Long_CompactValue(lb);
  }
  int overflow_a = 0;
  int overflow_b = 0;
  const long long va = PyLong_AsLongLongAndOverflow(a, &overflow_a);
  const long long vb = PyLong_AsLongLongAndOverflow(b, &overflow_b);
  if (overflow_a == 0 && overflow_b == 0) return va == vb;
  if (overflow_a != overflow_b) return false;
  return rich_equal(a, b);
}

}  // namespace

bool keys_equal_slow(const HashedAny& probe, const HashedAny& stored) {
  PyObject* a = probe.object();
  PyObject* b = stored.object();
  const std::uintptr_t tags = probe.tag() | (stored.tag() << 2);
  if (tags == (kTagStr | (kTagStr << 2))) return str_equal(a, b);
  if (tags == (kTagInt | (kTagInt << 2))) return int_equal(a, b);
  return rich_equal(a, b);
}

}  // namespace quarlex::py
