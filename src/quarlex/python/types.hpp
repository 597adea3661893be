// The module's classes and the object layouts shared between families.
//
// Every class is a heap type created once per process when the module first
// executes, kept for the life of the process, and looked up by `TypeId`.
// `CollectionBase` is the common prefix of the four collection objects: the
// borrow flag guarding the collection and its modification counter, which
// only changes under the exclusive borrow. The counter is atomic so that
// iterators can read it with a plain load after checking that no writer holds
// the object, instead of taking a shared borrow on every step.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "quarlex/common/errors.hpp"
#include "quarlex/python/borrow.hpp"
#include "quarlex/python/ref.hpp"

namespace quarlex::py {

enum class TypeId : std::size_t {
  ElasticHashMap,
  FunnelHashMap,
  ElasticHashSet,
  FunnelHashSet,
  ElasticKeys,
  FunnelKeys,
  ElasticValues,
  FunnelValues,
  ElasticItems,
  FunnelItems,
  ElasticKeyIter,
  ElasticValueIter,
  ElasticItemIter,
  ElasticSetIter,
  FunnelKeyIter,
  FunnelValueIter,
  FunnelItemIter,
  FunnelSetIter,
  Count,
};

// The type object of a class; valid once the module has executed.
PyTypeObject* type_object(TypeId id) noexcept;

// Creates a heap type from its spec; a failure is an internal-failure stop
// naming the class.
PyTypeObject* make_type(PyType_Spec& spec, const char* class_name);

struct CollectionBase {
  PyObject_HEAD
  BorrowFlag borrow;
  std::atomic<std::uint64_t> mods;

  // Records a change; live iterators compare against it. Wraps around. Only
  // the holder of the exclusive borrow calls it, so load and store suffice.
  void bump() noexcept {
    mods.store(mods.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  std::uint64_t counter() const noexcept { return mods.load(std::memory_order_relaxed); }
};

// A collection object: the common prefix, then the owned collection `C`.
template <class C>
struct CollectionObject : CollectionBase {
  C coll;
};

// Allocates an object of `type` and moves `coll` into it (modification
// counter 0, borrow flag free).
template <class C>
PyObject* new_collection(PyTypeObject* type, C&& coll) {
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) throw_error();
  auto* self = reinterpret_cast<CollectionObject<std::decay_t<C>>*>(raw);
  new (&self->borrow) BorrowFlag();
  new (&self->mods) std::atomic<std::uint64_t>(0);
  new (&self->coll) std::decay_t<C>(std::forward<C>(coll));
  return raw;
}

// tp_dealloc of a collection object: drops the collection (releasing every
// key and value), then the memory and the heap type's reference.
template <class C>
void dealloc_collection(PyObject* raw) noexcept {
  auto* self = reinterpret_cast<CollectionObject<C>*>(raw);
  PyTypeObject* type = Py_TYPE(raw);
  std::destroy_at(&self->coll);
  type->tp_free(raw);
  Py_DECREF(type);
}

template <class C>
CollectionObject<C>* as_collection(PyObject* raw) noexcept {
  return reinterpret_cast<CollectionObject<C>*>(raw);
}

// One collection class: the collection it holds, its object layout and its
// exact type test (the classes accept no subclasses).
template <class C, TypeId Id>
struct CollectionClass {
  using Object = CollectionObject<C>;

  static PyTypeObject* type() noexcept { return type_object(Id); }
  static bool check(PyObject* o) noexcept { return Py_IS_TYPE(o, type()); }
  static Object* of(PyObject* o) noexcept { return as_collection<C>(o); }
};

}  // namespace quarlex::py
