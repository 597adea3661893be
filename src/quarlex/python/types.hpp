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
#include <memory>
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

// Flags of every class: immutable heap types known to the garbage collector
// (see `dealloc`).
inline constexpr unsigned int kClassFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC;

// Flags of the four collection classes, which are also weakly referenceable.
inline constexpr unsigned int kCollectionFlags = kClassFlags | Py_TPFLAGS_MANAGED_WEAKREF;

// One class of the module: its id and how it is created.
struct ClassMaker {
  TypeId id;
  PyTypeObject* (*create)();
};

// Creates a heap type from its spec; the interpreter's error propagates.
// `call`, when given, serves calls of the class itself (the classes cannot
// be subclassed, so it never has to defer to a subclass's __init__).
PyTypeObject* make_type(PyType_Spec& spec, vectorcallfunc call = nullptr);

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

// tp_dealloc of every class: untracks the object and, inside the
// interpreter's trashcan, runs `Destroy` (releasing what the object owns),
// frees its memory and drops the heap type's reference. The trashcan defers
// objects met too deep in a chain of releases, so a collection nested
// 100,000 levels deep is freed without recursing once per level; it needs
// the classes to be garbage-collector types, which they are for that reason.
template <void (*Destroy)(PyObject*) noexcept>
void dealloc(PyObject* raw) noexcept {
  PyTypeObject* type = Py_TYPE(raw);
  PyObject_GC_UnTrack(raw);
  Py_TRASHCAN_BEGIN(raw, dealloc<Destroy>)
  Destroy(raw);
  type->tp_free(raw);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

template <class C>
void destroy_collection(PyObject* raw) noexcept {
  PyObject_ClearWeakRefs(raw);
  auto* self = reinterpret_cast<CollectionObject<C>*>(raw);
  std::destroy_at(&self->coll);
  std::destroy_at(&self->borrow);
}

// tp_traverse of a collection: every stored key and value.
//
// The cycle collector may run wherever Python code runs in the middle of an
// operation: in a key's __hash__ or __eq__ (called while a table searches,
// before it changes anything, or from a bulk removal's predicate, where
// removed slots are already marked free), in a finaliser (run only after
// the borrow is released) and at any allocation of a Python object. None of
// these falls between the writes of one entry, and a rebuild calls no
// Python code, so the table is walkable at every such point. The walk takes
// no borrow: on the free-threaded build the world is stopped, and under the
// GIL nothing else runs.
template <class C>
int traverse_collection(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  const C& c = reinterpret_cast<CollectionObject<C>*>(self)->coll;
  for (auto it = c.begin(); it != c.end(); ++it) {
    if constexpr (requires { it->value; }) {
      Py_VISIT(it->key.object());
      Py_VISIT(it->value.get());
    } else {
      Py_VISIT(it->object());
    }
  }
  return 0;
}

// tp_dealloc of a collection object: drops the collection (releasing every
// key and value). The trashcan recognises the class's own tp_dealloc by
// address, so this names `dealloc` itself rather than wrapping it.
template <class C>
inline constexpr auto dealloc_collection = &dealloc<destroy_collection<C>>;

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
