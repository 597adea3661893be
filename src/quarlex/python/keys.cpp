#include "quarlex/python/hashed_key.hpp"

namespace quarlex::py {

bool rich_equal(PyObject* probe, PyObject* stored) noexcept {
  PyObject* r = PyObject_RichCompare(probe, stored, Py_EQ);
  if (r == nullptr) {
    PyErr_Clear();
    return false;
  }
  const int truth = PyObject_IsTrue(r);
  Py_DECREF(r);
  if (truth < 0) {
    PyErr_Clear();
    return false;
  }
  return truth == 1;
}

bool int_equal_slow(PyObject* a, PyObject* b) noexcept {
  int overflow_a = 0;
  int overflow_b = 0;
  const long long va = PyLong_AsLongLongAndOverflow(a, &overflow_a);
  const long long vb = PyLong_AsLongLongAndOverflow(b, &overflow_b);
  if (overflow_a == 0 && overflow_b == 0) return va == vb;
  if (overflow_a != overflow_b) return false;
  return rich_equal(a, b);
}

}  // namespace quarlex::py
