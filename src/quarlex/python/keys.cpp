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

bool int_equal(PyObject* a, PyObject* b) noexcept {
  // Ints are kept normalised (no leading zero digit), so equal ints share
  // their sign, digit count and digits. The tag's third bit is a flag, not
  // part of the value.
  const _PyLongValue& va = reinterpret_cast<PyLongObject*>(a)->long_value;
  const _PyLongValue& vb = reinterpret_cast<PyLongObject*>(b)->long_value;
  constexpr std::uintptr_t kFlag = std::uintptr_t{1} << 2;
  if (((va.lv_tag ^ vb.lv_tag) & ~kFlag) != 0) return false;
  const std::size_t digits = va.lv_tag >> _PyLong_NON_SIZE_BITS;
  return std::memcmp(va.ob_digit, vb.ob_digit, digits * sizeof(digit)) == 0;
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
