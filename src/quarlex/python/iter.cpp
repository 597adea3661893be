#include "quarlex/python/iter.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "quarlex/python/boundary.hpp"
#include "quarlex/python/state.hpp"

namespace quarlex::py {
namespace {

struct IterObject {
  PyObject_HEAD
  BiasedFlag borrow;  // one thread mostly steps an iterator alone
  Snapshot snapshot;
  Ref owner;
  std::uint64_t stamp;
  std::size_t step;  // snapshot slots per element: 2 for (key, value) pairs
  Ref pair;          // the first pair handed out, refilled while only we hold it
};

IterObject* as_iter(PyObject* o) noexcept { return reinterpret_cast<IterObject*>(o); }

void iter_destroy(PyObject* raw) noexcept {
  IterObject* self = as_iter(raw);
  self->owner = Ref();
  std::destroy_at(&self->pair);
  std::destroy_at(&self->snapshot);
  std::destroy_at(&self->owner);
  std::destroy_at(&self->borrow);
}

int iter_traverse(PyObject* raw, visitproc visit, void* arg) noexcept {
  IterObject* self = as_iter(raw);
  Py_VISIT(Py_TYPE(raw));
  Py_VISIT(self->owner.get());
  Py_VISIT(self->pair.get());
  for (PyObject* o : self->snapshot.owned()) Py_VISIT(o);
  return 0;
}

// Breaks a cycle through the snapshot or the kept pair (an element that
// refers back to the iterator). Both are moved out before they are released,
// so code run by a release meets an exhausted iterator, never a
// half-released snapshot.
int iter_clear(PyObject* raw) noexcept {
  IterObject* self = as_iter(raw);
  Snapshot gone(std::move(self->snapshot));
  Ref pair(std::move(self->pair));
  return 0;
}

PyObject* iter_iter(PyObject* raw) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    BiasedBorrow b(as_iter(raw)->borrow);
    return Py_NewRef(raw);
  });
}

// The items a refilled pair held, released once the step is over and the
// iterator's borrow has ended: a release may run any code. Both are set or
// neither, so a step that refills nothing pays one test, not one per Ref.
struct Released {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Released() noexcept = default;
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;
  ~Released() {
    if (key != nullptr) {
      Py_DECREF(key);
      Py_DECREF(value);
    }
  }
};

// The next key and value as a tuple. As dict's items iterator does, the
// iterator keeps its first tuple and refills it whenever nothing else holds
// it (a loop that unpacks each pair drops it at once); while something does,
// each step hands out a new tuple. The collector may have stopped tracking
// the kept tuple, and its new items may need tracking.
PyObject* next_pair(IterObject* self, Released& released) {
  PyObject* pair = self->pair.get();
  if (pair != nullptr && PyUnstable_Object_IsUniquelyReferenced(pair)) {
    released.key = PyTuple_GET_ITEM(pair, 0);
    released.value = PyTuple_GET_ITEM(pair, 1);
    PyTuple_SET_ITEM(pair, 0, self->snapshot.take());
    PyTuple_SET_ITEM(pair, 1, self->snapshot.take());
    if (!PyObject_GC_IsTracked(pair)) PyObject_GC_Track(pair);
    return Py_NewRef(pair);
  }
  PyObject* fresh = PyTuple_New(2);
  if (fresh == nullptr) throw_error();
  PyTuple_SET_ITEM(fresh, 0, self->snapshot.take());
  PyTuple_SET_ITEM(fresh, 1, self->snapshot.take());
  if (pair == nullptr) self->pair = Ref::borrow(fresh);
  return fresh;
}

// The checked step: a conflict or a changed owner raises, a pair becomes a
// tuple.
[[gnu::noinline]] PyObject* iter_next_checked(PyObject* raw) noexcept {
  Released released;
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    IterObject* self = as_iter(raw);
    BiasedBorrow own(self->borrow);
    const auto* owner = reinterpret_cast<const CollectionBase*>(self->owner.get());
    if (owner->borrow.exclusively_held()) raise_conflict(kAlreadyMutablyBorrowed);
    if (owner->counter() != self->stamp) {
      raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    if (self->snapshot.empty()) return nullptr;
    if (self->step == 2) return next_pair(self, released);
    return self->snapshot.take();
  });
}

// The common step of a one-object iterator, with no call: the owning thread
// hands out one element of an unchanged owner. Everything else, and every
// step of a pair iterator, takes the checked step.
PyObject* iter_next(PyObject* raw) noexcept {
  IterObject* self = as_iter(raw);
  const BiasedFlag::Held held = self->borrow.try_acquire();
  if (held == BiasedFlag::Held::Biased) [[likely]] {
    const auto* owner = reinterpret_cast<const CollectionBase*>(self->owner.get());
    if (!self->snapshot.empty() && !owner->borrow.exclusively_held() &&
        owner->counter() == self->stamp) [[likely]] {
      PyObject* item = self->snapshot.take();
      self->borrow.release(held);
      return item;
    }
  }
  if (held != BiasedFlag::Held::None) self->borrow.release(held);
  return iter_next_checked(raw);
}

// How many elements are left: lets list() and friends presize.
PyObject* iter_length_hint(PyObject* raw, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    IterObject* self = as_iter(raw);
    BiasedBorrow b(self->borrow);
    return PyLong_FromSize_t(self->snapshot.left() / self->step);
  });
}

PyMethodDef kIterMethods[] = {
    {"__length_hint__", iter_length_hint, METH_NOARGS,
     PyDoc_STR("Private method returning an estimate of len(list(it)).")},
    kRefuseReduce,
    {nullptr, nullptr, 0, nullptr},
};

template <iternextfunc Next>
PyType_Slot kIterSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<iter_destroy>)},
    {Py_tp_traverse, reinterpret_cast<void*>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(Next)},
    {Py_tp_methods, kIterMethods},
    {0, nullptr},
};

// A class name as a template argument, so each class gets its own creator.
template <std::size_t N>
struct Name {
  constexpr Name(const char (&s)[N]) { std::copy_n(s, N, text); }
  char text[N];
};

template <Name Qualified, iternextfunc Next = iter_next>
PyTypeObject* create_iter() {
  PyType_Spec spec{Qualified.text, static_cast<int>(sizeof(IterObject)), 0,
                   kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, kIterSlots<Next>};
  return make_type(spec);
}

}  // namespace

PyObject* make_snapshot_iter(TypeId id, PyObject* owner, Snapshot&& snapshot) {
  PyTypeObject* type = type_object(id);
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) throw_error();
  IterObject* self = as_iter(raw);
  new (&self->borrow) BiasedFlag();
  new (&self->snapshot) Snapshot(std::move(snapshot));
  new (&self->owner) Ref(Ref::borrow(owner));
  new (&self->pair) Ref();
  self->stamp = reinterpret_cast<const CollectionBase*>(owner)->counter();
  self->step = id == TypeId::ElasticItemIter || id == TypeId::FunnelItemIter ? 2 : 1;
  return raw;
}

std::span<const ClassMaker> iter_classes() noexcept {
  static constexpr ClassMaker kMakers[] = {
      {TypeId::ElasticKeyIter, create_iter<"quarlex._ElasticKeyIter">},
      {TypeId::ElasticValueIter, create_iter<"quarlex._ElasticValueIter">},
      {TypeId::ElasticItemIter, create_iter<"quarlex._ElasticItemIter", iter_next_checked>},
      {TypeId::ElasticSetIter, create_iter<"quarlex._ElasticSetIter">},
      {TypeId::FunnelKeyIter, create_iter<"quarlex._FunnelKeyIter">},
      {TypeId::FunnelValueIter, create_iter<"quarlex._FunnelValueIter">},
      {TypeId::FunnelItemIter, create_iter<"quarlex._FunnelItemIter", iter_next_checked>},
      {TypeId::FunnelSetIter, create_iter<"quarlex._FunnelSetIter">},
  };
  return kMakers;
}

}  // namespace quarlex::py
