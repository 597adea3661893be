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
};

IterObject* as_iter(PyObject* o) noexcept { return reinterpret_cast<IterObject*>(o); }

void iter_destroy(PyObject* raw) noexcept {
  IterObject* self = as_iter(raw);
  self->owner = Ref();
  std::destroy_at(&self->snapshot);
  std::destroy_at(&self->owner);
  std::destroy_at(&self->borrow);
}

int iter_traverse(PyObject* raw, visitproc visit, void* arg) noexcept {
  IterObject* self = as_iter(raw);
  Py_VISIT(Py_TYPE(raw));
  Py_VISIT(self->owner.get());
  for (PyObject* o : self->snapshot.owned()) Py_VISIT(o);
  return 0;
}

// Breaks a cycle through the snapshot (an element that refers back to the
// iterator). The snapshot is moved out before it is released, so code run by
// a release meets an exhausted iterator, never a half-released snapshot.
int iter_clear(PyObject* raw) noexcept {
  Snapshot gone(std::move(as_iter(raw)->snapshot));
  return 0;
}

PyObject* iter_iter(PyObject* raw) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    BiasedBorrow b(as_iter(raw)->borrow);
    return Py_NewRef(raw);
  });
}

// The checked step: a conflict or a changed owner raises, a pair becomes a
// tuple.
[[gnu::noinline]] PyObject* iter_next_checked(PyObject* raw) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    IterObject* self = as_iter(raw);
    BiasedBorrow own(self->borrow);
    const auto* owner = reinterpret_cast<const CollectionBase*>(self->owner.get());
    if (owner->borrow.exclusively_held()) raise_conflict(kAlreadyMutablyBorrowed);
    if (owner->counter() != self->stamp) {
      raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    if (self->snapshot.empty()) return nullptr;
    if (self->step == 2) {
      PyObject* pair = PyTuple_New(2);
      if (pair == nullptr) throw_error();
      PyTuple_SET_ITEM(pair, 0, self->snapshot.take());
      PyTuple_SET_ITEM(pair, 1, self->snapshot.take());
      return pair;
    }
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
