// Live views over a map's keys, values and items: one class template over
// kind x flavour.
//
// A view holds only a strong reference to its map and reads the map's current
// state on every call, under the map's shared borrow for the whole call: the
// Python code a view runs (__eq__, __repr__, another object's __contains__ or
// iterator) can read the map but not reshape the table being walked. A view
// has no state of its own to guard, so it carries no borrow flag.
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "quarlex/python/boundary.hpp"
#include "quarlex/python/iter.hpp"
#include "quarlex/python/map.hpp"
#include "quarlex/python/protocol.hpp"
#include "quarlex/python/state.hpp"

namespace quarlex::py {
namespace {

struct ViewObject {
  PyObject_HEAD
  Ref map;
};

ViewObject* as_view(PyObject* o) noexcept { return reinterpret_cast<ViewObject*>(o); }

void view_destroy(PyObject* raw) noexcept { std::destroy_at(&as_view(raw)->map); }

int view_traverse(PyObject* raw, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(raw));
  Py_VISIT(as_view(raw)->map.get());
  return 0;
}

// Marks `self` as being printed by this thread for the guard's lifetime, so a
// view that holds itself (through a value of its map) prints "..." instead
// of recursing.
class ReprGuard {
 public:
  explicit ReprGuard(PyObject* self) : self_(self), state_(Py_ReprEnter(self)) {
    if (state_ < 0) throw_error();
  }
  ReprGuard(const ReprGuard&) = delete;
  ReprGuard& operator=(const ReprGuard&) = delete;
  ~ReprGuard() {
    if (state_ == 0) Py_ReprLeave(self_);
  }
  bool nested() const noexcept { return state_ > 0; }

 private:
  PyObject* self_;
  int state_;
};

// Whether `o` is set-like: a set, a frozenset, or an instance of
// collections.abc.Set (dict views and these views included).
// The right operand of a set operator: what answers membership, and an
// iterator over its items. A one-shot iterator is drained first (into a set
// when its items are hashable, else a list), so membership tests neither
// consume it nor depend on the order they run in.
struct Operand {
  Ref container;
  Ref items;
};

Operand operand_of(PyObject* other) {
  Ref it = Ref::check(PyObject_GetIter(other));
  if (it.get() != other) return {Ref::borrow(other), std::move(it)};
  Ref list = Ref::check(PySequence_List(it.get()));
  Ref items = Ref::check(PyObject_GetIter(list.get()));
  Ref set = Ref::steal(PySet_New(list.get()));
  if (set) return {std::move(set), std::move(items)};
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
  PyErr_Clear();
  return {std::move(list), std::move(items)};
}

bool contained(PyObject* container, PyObject* element) {
  const int r = PySequence_Contains(container, element);
  if (r < 0) throw_error();
  return r == 1;
}

void add(PyObject* set, PyObject* element) {
  if (PySet_Add(set, element) < 0) throw_error();
}

enum class SetOp { Sub, And, Or, Xor };

template <class Kind, Flavour F>
struct ViewClass {
  using Family = MapFamily<Kind>;
  using Map = typename Family::Map;
  using Object = typename Family::Object;

  static constexpr bool kKeys = F == Flavour::Keys;
  static constexpr bool kValues = F == Flavour::Values;
  static constexpr TypeId kId = kKeys ? Kind::kKeys : kValues ? Kind::kValues : Kind::kItems;
  static constexpr TypeId kIter =
      kKeys ? Kind::kKeyIter : kValues ? Kind::kValueIter : Kind::kItemIter;
  static constexpr const char* kName =
      kKeys ? Kind::kKeysName : kValues ? Kind::kValuesName : Kind::kItemsName;

  static Object* owner(PyObject* self) noexcept { return Family::of(as_view(self)->map.get()); }

  static Py_ssize_t length(PyObject* self) noexcept {
    return guard<Py_ssize_t>(-1, [&] {
      Object* o = owner(self);
      SharedBorrow b(o->borrow);
      return static_cast<Py_ssize_t>(o->coll.len());
    });
  }

  static PyObject* iter(PyObject* self) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      Object* o = owner(self);
      SharedBorrow b(o->borrow);
      return make_snapshot_iter(kIter, as_view(self)->map.get(), snapshot_of<F>(o->coll));
    });
  }

  static int contains(PyObject* self, PyObject* x) noexcept {
    return guard<int>(-1, [&] {
      Object* o = owner(self);
      SharedBorrow b(o->borrow);
      const Map& map = o->coll;
      if constexpr (kKeys) {
        return map.contains(HashedAny::of(x)) ? 1 : 0;
      } else if constexpr (kValues) {
        for (auto it = map.begin(); it != map.end(); ++it) {
          if (values_equal(it->value.get(), x)) return 1;
        }
        return 0;
      } else {
        if (!PyTuple_Check(x) || PyTuple_GET_SIZE(x) != 2) return 0;
        const Ref* v = map.get(HashedAny::of(PyTuple_GET_ITEM(x, 0)));
        return v != nullptr && values_equal(v->get(), PyTuple_GET_ITEM(x, 1)) ? 1 : 0;
      }
    });
  }

  static PyObject* repr(PyObject* self) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      const ReprGuard printing(self);
      if (printing.nested()) return PyUnicode_FromString("...");
      Object* o = owner(self);
      SharedBorrow b(o->borrow);
      const Map& map = o->coll;
      Ref parts = Ref::check(PyList_New(static_cast<Py_ssize_t>(map.len())));
      Py_ssize_t i = 0;
      for (auto it = map.begin(); it != map.end(); ++it, ++i) {
        PyObject* part;
        if constexpr (kKeys) {
          part = PyObject_Repr(it->key.object());
        } else if constexpr (kValues) {
          part = PyObject_Repr(it->value.get());
        } else {
          part = PyUnicode_FromFormat("(%R, %R)", it->key.object(), it->value.get());
        }
        PyList_SET_ITEM(parts.get(), i, Ref::check(part).release());
      }
      const Ref sep = Ref::check(PyUnicode_FromString(", "));
      const Ref joined = Ref::check(PyUnicode_Join(sep.get(), parts.get()));
      return PyUnicode_FromFormat("%s([%U])", kName, joined.get());
    });
  }

  // Same size, and every element is in `other` (by its own __contains__; a
  // failing test counts as a difference).
  static bool view_eq(PyObject* self, PyObject* other) {
    const std::uint64_t mark = t_borrow_conflicts;
    Object* o = owner(self);
    SharedBorrow b(o->borrow);
    const Py_ssize_t n = PyObject_Size(other);
    if (n < 0) discard_error(mark);
    if (n < 0 || static_cast<std::size_t>(n) != o->coll.len()) return false;
    for (auto it = o->coll.begin(); it != o->coll.end(); ++it) {
      const Ref e = element_of<F>(*it);
      const int r = PySequence_Contains(other, e.get());
      if (r < 0) discard_error(mark);
      if (r != 1) return false;
    }
    return true;
  }

  // Keys and items views compare, as dict views do, with set-like objects
  // only; anything else gets NotImplemented, so its own comparison is asked.
  static PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      if (!is_set_like(other)) Py_RETURN_NOTIMPLEMENTED;
      if (op != Py_EQ && op != Py_NE) return PyBool_FromLong(set_like_order(self, other, op));
      return PyBool_FromLong(view_eq(self, other) == (op == Py_EQ));
    });
  }

  // The set operators: the view must be the left operand; the result is a new
  // built-in set.
  template <SetOp Op>
  static PyObject* set_op(PyObject* self, PyObject* other) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      if (!Py_IS_TYPE(self, type_object(kId))) Py_RETURN_NOTIMPLEMENTED;
      Operand rhs = operand_of(other);
      Ref result = Ref::check(PySet_New(nullptr));
      Object* o = owner(self);
      SharedBorrow b(o->borrow);
      const Map& map = o->coll;
      for (auto it = map.begin(); it != map.end(); ++it) {
        const Ref e = element_of<F>(*it);
        bool keep = true;
        if constexpr (Op != SetOp::Or) {
          keep = contained(rhs.container.get(), e.get()) == (Op == SetOp::And);
        }
        if (keep) add(result.get(), e.get());
      }
      if constexpr (Op == SetOp::Or || Op == SetOp::Xor) {
        for (Ref& x : Items(rhs.items.get())) {
          if (Op == SetOp::Or || !map.contains(HashedAny::of(x.get()))) add(result.get(), x.get());
        }
      }
      return result.release();
    });
  }

  static inline PyMethodDef methods[] = {
      kRefuseReduce,
      {nullptr, nullptr, 0, nullptr},
  };

  static PyTypeObject* create() {
    static constexpr const char* kKeysDoc =
        "Live view over keys (mirrors `dict.keys()`): it holds a reference to the map,\n"
        "so every operation sees the map's current state; no snapshot is taken when it is made.";
    static constexpr const char* kValuesDoc = "Live view over values (mirrors `dict.values()`).";
    static constexpr const char* kItemsDoc =
        "Live view over (key, value) pairs (mirrors `dict.items()`).\n"
        "Its set operations build fresh (k, v) tuples.";
    const std::string name = std::string("quarlex.") + kName;
    const char* doc = kKeys ? kKeysDoc : kValues ? kValuesDoc : kItemsDoc;
    std::vector<PyType_Slot> slots = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<view_destroy>)},
        {Py_tp_traverse, reinterpret_cast<void*>(view_traverse)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_iter, reinterpret_cast<void*>(iter)},
        {Py_tp_methods, methods},
        {Py_sq_length, reinterpret_cast<void*>(length)},
        {Py_sq_contains, reinterpret_cast<void*>(contains)},
    };
    if constexpr (!kValues) {
      slots.insert(slots.end(), {
                                    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
                                    {Py_nb_subtract, reinterpret_cast<void*>(set_op<SetOp::Sub>)},
                                    {Py_nb_and, reinterpret_cast<void*>(set_op<SetOp::And>)},
                                    {Py_nb_or, reinterpret_cast<void*>(set_op<SetOp::Or>)},
                                });
    }
    if constexpr (kKeys) slots.push_back({Py_nb_xor, reinterpret_cast<void*>(set_op<SetOp::Xor>)});
    slots.push_back({0, nullptr});
    PyType_Spec spec{name.c_str(), static_cast<int>(sizeof(ViewObject)), 0,
                     kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots.data()};
    return make_type(spec);
  }
};

}  // namespace

std::span<const ClassMaker> view_classes() noexcept {
  static constexpr ClassMaker kMakers[] = {
      {ElasticKind::kKeys, ViewClass<ElasticKind, Flavour::Keys>::create},
      {ElasticKind::kValues, ViewClass<ElasticKind, Flavour::Values>::create},
      {ElasticKind::kItems, ViewClass<ElasticKind, Flavour::Items>::create},
      {FunnelKind::kKeys, ViewClass<FunnelKind, Flavour::Keys>::create},
      {FunnelKind::kValues, ViewClass<FunnelKind, Flavour::Values>::create},
      {FunnelKind::kItems, ViewClass<FunnelKind, Flavour::Items>::create},
  };
  return kMakers;
}

PyObject* make_view(TypeId id, PyObject* map) {
  PyTypeObject* type = type_object(id);
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) throw_error();
  new (&as_view(raw)->map) Ref(Ref::borrow(map));
  return raw;
}

}  // namespace quarlex::py
