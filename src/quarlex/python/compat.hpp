// Every interpreter-version difference the module meets, in one place.
//
// The module builds from one source against CPython 3.12 and newer, with or
// without the GIL. Calls added in 3.13 get a fallback with the same name and
// contract on 3.12, so the code that uses them reads the same everywhere; the
// rest are QUARLEX_ macros. When 3.12 leaves support, the fallbacks go and the
// macros become their 3.13 spellings.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#if PY_VERSION_HEX < 0x030D0000

// 1 and a new reference when found, 0 when absent, -1 with an error set.
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
  PyObject* item = PyDict_GetItemWithError(dict, key);
  if (item != nullptr) {
    *result = Py_NewRef(item);
    return 1;
  }
  *result = nullptr;
  return PyErr_Occurred() != nullptr ? -1 : 0;
}

// 1 or 0, or -1 with an error set when the lookup failed other than with
// AttributeError.
inline int PyObject_HasAttrStringWithError(PyObject* obj, const char* name) {
  PyObject* value = PyObject_GetAttrString(obj, name);
  if (value != nullptr) {
    Py_DECREF(value);
    return 1;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

// Whether a str equals a UTF-8 C string; never raises. A str that has no
// UTF-8 form (lone surrogates) equals no C string.
inline int PyUnicode_EqualToUTF8(PyObject* unicode, const char* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(unicode, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return 0;
  }
  return static_cast<std::size_t>(size) == std::strlen(text) && std::memcmp(utf8, text, size) == 0;
}

#endif

// Whether the caller's reference to `op` is its only one, with no other
// thread able to take another; public from 3.14 on. Without the GIL that
// takes an object owned by this thread with one local reference and a shared
// count field (flags included) of zero; the acquire orders whatever another
// thread did with the object before dropping its reference ahead of what the
// caller does next.
#if PY_VERSION_HEX < 0x030E00B1
inline int PyUnstable_Object_IsUniquelyReferenced(PyObject* op) {
#ifdef Py_GIL_DISABLED
  return _Py_IsOwnedByCurrentThread(op) && _Py_atomic_load_uint32_relaxed(&op->ob_ref_local) == 1 &&
         _Py_atomic_load_ssize_acquire(&op->ob_ref_shared) == 0;
#else
  return Py_REFCNT(op) == 1;
#endif
}
#endif

// The per-object critical section exists only without the GIL; with it, the
// GIL already serialises the section's body, and the object is not needed.
#ifdef Py_GIL_DISABLED
#define QUARLEX_BEGIN_CRITICAL_SECTION(op) Py_BEGIN_CRITICAL_SECTION(op)
#define QUARLEX_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define QUARLEX_BEGIN_CRITICAL_SECTION(op) \
  {                                        \
    static_cast<void>(op);
#define QUARLEX_END_CRITICAL_SECTION() }
#endif

// The module-definition slot declaring that the module never needs the GIL.
// 3.12 knows no such slot and rejects unknown ones, so there it is left out.
#if PY_VERSION_HEX >= 0x030D0000
#define QUARLEX_MOD_GIL_NOT_USED_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define QUARLEX_MOD_GIL_NOT_USED_SLOT
#endif

// The exponent of Python's hash modulus 2^bits - 1 (61 on 64-bit builds);
// public as PyHASH_BITS from 3.13 on.
#if defined(PyHASH_BITS)
#define QUARLEX_HASH_BITS PyHASH_BITS
#else
#define QUARLEX_HASH_BITS _PyHASH_BITS
#endif
