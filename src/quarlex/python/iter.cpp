#include "quarlex/python/iter.hpp"

#include <memory>

#include "quarlex/python/boundary.hpp"

namespace quarlex::py {
namespace {

struct IterObject {
  PyObject_HEAD
  BorrowFlag borrow;
  std::vector<Ref> snapshot;
  Ref owner;
  std::uint64_t stamp;
  std::size_t position;
};

IterObject* as_iter(PyObject* o) noexcept { return reinterpret_cast<IterObject*>(o); }

void iter_dealloc(PyObject* raw) noexcept {
  IterObject* self = as_iter(raw);
  PyTypeObject* type = Py_TYPE(raw);
  self->owner = Ref();
  std::destroy_at(&self->snapshot);
  std::destroy_at(&self->owner);
  type->tp_free(raw);
  Py_DECREF(type);
}

PyObject* iter_iter(PyObject* raw) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    SharedBorrow b(as_iter(raw)->borrow);
    return Py_NewRef(raw);
  });
}

PyObject* iter_next(PyObject* raw) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    IterObject* self = as_iter(raw);
    ExclusiveBorrow own(self->borrow);
    const auto* owner = reinterpret_cast<const CollectionBase*>(self->owner.get());
    if (owner->borrow.exclusively_held()) raise(PyExc_RuntimeError, kAlreadyMutablyBorrowed);
    if (owner->counter() != self->stamp) {
      raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    if (self->position >= self->snapshot.size()) return nullptr;
    Ref item = std::move(self->snapshot[self->position]);
    ++self->position;
    return item.release();
  });
}

// How many elements are left: lets list() and friends presize.
PyObject* iter_length_hint(PyObject* raw, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    IterObject* self = as_iter(raw);
    SharedBorrow b(self->borrow);
    const std::size_t left =
        self->position < self->snapshot.size() ? self->snapshot.size() - self->position : 0;
    return PyLong_FromSize_t(left);
  });
}

PyMethodDef kIterMethods[] = {
    {"__length_hint__", iter_length_hint, METH_NOARGS,
     PyDoc_STR("Private method returning an estimate of len(list(it)).")},
    {nullptr, nullptr, 0, nullptr},
};

struct IterClass {
  TypeId id;
  const char* name;
  const char* qualified;
};

constexpr IterClass kIterClasses[] = {
    {TypeId::ElasticKeyIter, "_ElasticKeyIter", "quarlex._ElasticKeyIter"},
    {TypeId::ElasticValueIter, "_ElasticValueIter", "quarlex._ElasticValueIter"},
    {TypeId::ElasticItemIter, "_ElasticItemIter", "quarlex._ElasticItemIter"},
    {TypeId::ElasticSetIter, "_ElasticSetIter", "quarlex._ElasticSetIter"},
    {TypeId::FunnelKeyIter, "_FunnelKeyIter", "quarlex._FunnelKeyIter"},
    {TypeId::FunnelValueIter, "_FunnelValueIter", "quarlex._FunnelValueIter"},
    {TypeId::FunnelItemIter, "_FunnelItemIter", "quarlex._FunnelItemIter"},
    {TypeId::FunnelSetIter, "_FunnelSetIter", "quarlex._FunnelSetIter"},
};

PyType_Slot kIterSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
    {Py_tp_methods, kIterMethods},
    {0, nullptr},
};

}  // namespace

PyObject* make_snapshot_iter(TypeId id, PyObject* owner, std::vector<Ref>&& snapshot) {
  PyTypeObject* type = type_object(id);
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) throw_error();
  IterObject* self = as_iter(raw);
  new (&self->borrow) BorrowFlag();
  new (&self->snapshot) std::vector<Ref>(std::move(snapshot));
  new (&self->owner) Ref(Ref::borrow(owner));
  self->stamp = reinterpret_cast<const CollectionBase*>(owner)->counter();
  self->position = 0;
  return raw;
}

PyTypeObject* create_iter_type(TypeId id) {
  for (const IterClass& c : kIterClasses) {
    if (c.id != id) continue;
    PyType_Spec spec{c.qualified, static_cast<int>(sizeof(IterObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                         Py_TPFLAGS_IMMUTABLETYPE,
                     kIterSlots};
    return make_type(spec, c.name);
  }
  panic("unknown iterator class");
}

}  // namespace quarlex::py
