// The pickle and copy protocol of the collections, shared by maps and sets.
//
// `__reduce__` gives (cls.with_options, (capacity, reserve_exponent), items):
// unpickling builds an empty collection of the same class, sized and
// reserved as the original, and `__setstate__(items)` then fills it. The
// object exists before its items are restored, so pickle and deepcopy
// resolve items that refer back to it (`m["me"] = m`).
#pragma once

#include <cstddef>
#include <cstdint>

#include "quarlex/common/errors.hpp"
#include "quarlex/python/ref.hpp"

namespace quarlex::py {

inline PyObject* reduce_collection(PyObject* self, std::size_t capacity, std::uint32_t exponent,
                                   Ref items) {
  const Ref make = Ref::check(PyObject_GetAttrString(
      reinterpret_cast<PyObject*>(Py_TYPE(self)), "with_options"));
  return Ref::check(Py_BuildValue("O(nI)O", make.get(), static_cast<Py_ssize_t>(capacity),
                                  static_cast<unsigned int>(exponent), items.get()))
      .release();
}

// The allocation of a collection for sys.getsizeof: the object, its table
// and its reader slots.
inline PyObject* sizeof_collection(PyObject* self, std::size_t heap_bytes) {
  return PyLong_FromSize_t(static_cast<std::size_t>(Py_TYPE(self)->tp_basicsize) + heap_bytes);
}

// __reduce__ of views and iterators: they stand for a live collection or a
// position in one, so they have nothing of their own to pickle or copy.
inline PyObject* refuse_reduce(PyObject* self, PyObject*) noexcept {
  const Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
  if (name) PyErr_Format(PyExc_TypeError, "cannot pickle '%U' object", name.get());
  return nullptr;
}

inline constexpr PyMethodDef kRefuseReduce = {"__reduce__", refuse_reduce, METH_NOARGS,
                                               "Views and iterators are not picklable."};

}  // namespace quarlex::py
