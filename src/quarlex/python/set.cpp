// ElasticHashSet and FunnelHashSet, written once over the table kind.
//
// The algebra rests on four primitives that change a receiver set in place:
// add_all, remove_all, retain_in and toggle_all (symmetric difference). The
// receiver is either the object's own set under its exclusive borrow or a
// fresh result no Python code can reach yet. Each primitive has a fast path
// for an operand of exactly the receiver's class, which reuses the stored
// hashes under the operand's shared borrow and runs no Python hashing, and a
// general path for any iterable.
//
// Operations that return a new set build it directly from the elements that
// "copy, then apply the primitive" would keep (the same element objects),
// sized once, instead of copying everything and removing afterwards.
//
// Counter rule: a mutating call bumps at most once, at its end, when it
// changed the contents (a length change, or a toggled element) and ended
// without error. A call that stops with an error part way keeps what it did
// and does not bump, as a failed map update does.
#include "quarlex/python/set.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <string>
#include <vector>

#include "quarlex/python/args.hpp"
#include "quarlex/python/boundary.hpp"
#include "quarlex/python/hashed_key.hpp"
#include "quarlex/python/iter.hpp"

namespace quarlex::py {
namespace {

// Binds positional-or-keyword parameters as the interpreter's own argument
// parser does, with its error texts: `out[i]` receives the argument for
// `names[i]`, or null when an optional one is absent; the first `required`
// are mandatory. Returns false with TypeError set.
template <std::size_t N>
bool bind_args(const char* fname, const char* const (&names)[N], std::size_t required,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject* (&out)[N]) noexcept {
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  const auto n = static_cast<Py_ssize_t>(N);
  if (nargs + nkw > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd %sargument%s (%zd given)", fname, n,
                 nargs == 0 ? "keyword " : "", n == 1 ? "" : "s", nargs + nkw);
    return false;
  }
  Py_ssize_t matched = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t j = 0; out[i] == nullptr && j < nkw; ++j) {
      if (PyUnicode_EqualToUTF8(PyTuple_GET_ITEM(kwnames, j), names[i])) {
        out[i] = args[nargs + j];
        ++matched;
      }
    }
    if (out[i] == nullptr && static_cast<std::size_t>(i) < required) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", fname,
                   names[i], i + 1);
      return false;
    }
  }
  if (matched == nkw) return true;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    for (Py_ssize_t i = 0; i < nargs; ++i) {
      if (PyUnicode_EqualToUTF8(key, names[i])) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                     fname, names[i], i + 1);
        return false;
      }
    }
  }
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    bool known = false;
    for (Py_ssize_t i = 0; i < n; ++i) known = known || PyUnicode_EqualToUTF8(key, names[i]);
    if (!known) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
      return false;
    }
  }
  return true;
}

constexpr const char* kValueArg[] = {"value"};
constexpr const char* kOtherArg[] = {"other"};
constexpr const char* kOptionArgs[] = {"capacity", "reserve_exponent"};

std::size_t saturating_add(std::size_t a, std::size_t b) noexcept {
  return b > std::numeric_limits<std::size_t>::max() - a ? std::numeric_limits<std::size_t>::max()
                                                         : a + b;
}

// The length an operand reports, 0 when it has none (the error cleared).
// Types without a length slot are not asked, so a generator costs no
// exception.
std::size_t reported_len(PyObject* o) noexcept {
  const PyTypeObject* t = Py_TYPE(o);
  const bool sized = (t->tp_as_sequence != nullptr && t->tp_as_sequence->sq_length != nullptr) ||
                     (t->tp_as_mapping != nullptr && t->tp_as_mapping->mp_length != nullptr);
  return sized ? static_cast<std::size_t>(optional_len(o)) : 0;
}

// Iterates `o` until `stop(item)` answers true; returns whether it did.
// Errors of the iteration propagate.
template <class Stop>
bool any_item(PyObject* o, Stop&& stop) {
  Ref it = Ref::check(PyObject_GetIter(o));
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    if (stop(item.get())) return true;
  }
  if (PyErr_Occurred()) throw_error();
  return false;
}

template <class Each>
void each_item(PyObject* o, Each&& each) {
  any_item(o, [&](PyObject* item) {
    each(item);
    return false;
  });
}

// An interpreter set holding the elements of `o`. An exact set or frozenset
// serves as it is.
Ref pool_of(PyObject* o) {
  if (PySet_CheckExact(o) || PyFrozenSet_CheckExact(o)) return Ref::borrow(o);
  return Ref::check(PySet_New(o));
}

// Membership in an interpreter set; its errors (a failing __hash__ or __eq__)
// propagate.
bool in_pool(PyObject* pool, const HashedAny& k) {
  const int found = PySet_Contains(pool, k.object());
  if (found < 0) throw_error();
  return found == 1;
}

// Whether `o` is set-like for equality: a set, a frozenset, a subclass of
// either, or an instance of collections.abc.Set.
bool is_set_like(PyObject* o) {
  if (PyAnySet_Check(o)) return true;
  Ref abc = Ref::check(PyImport_ImportModule("collections.abc"));
  Ref set_abc = Ref::check(PyObject_GetAttrString(abc.get(), "Set"));
  const int r = PyObject_IsInstance(o, set_abc.get());
  if (r < 0) throw_error();
  return r == 1;
}

void set_key_error(PyObject* key) noexcept {
  PyObject* args = PyTuple_Pack(1, key);
  if (args == nullptr) return;
  PyErr_SetObject(PyExc_KeyError, args);
  Py_DECREF(args);
}

enum class Op { Union, Intersection, Difference, Symmetric };

template <class Kind>
struct SetClass {
  using Family = SetFamily<Kind>;
  using Set = typename Family::Set;
  using Object = typename Family::Object;

  static bool same(PyObject* o) noexcept { return Family::check(o); }
  static Object* of(PyObject* o) noexcept { return Family::of(o); }

  // Bumps the object's counter once, when the mutating call that owns it
  // returns normally, if the contents changed. Lives inside the exclusive
  // borrow.
  struct ChangeWatch {
    Object* obj;
    std::size_t before;
    int unwinding = std::uncaught_exceptions();
    bool toggled = false;

    explicit ChangeWatch(Object* o) noexcept : obj(o), before(o->coll.len()) {}
    ChangeWatch(const ChangeWatch&) = delete;
    ChangeWatch& operator=(const ChangeWatch&) = delete;
    ~ChangeWatch() {
      if (std::uncaught_exceptions() > unwinding) return;
      if (toggled || obj->coll.len() != before) obj->bump();
    }
  };

  static StoredKey clone(const HashedAny& k) noexcept { return StoredKey(k); }
  static void prefetch_key(const HashedAny& k) noexcept { prefetch_object(k.object()); }

  static Set make(std::size_t capacity) { return Set(Kind::template build<Unit>(capacity)); }

  static PyObject* publish(Set&& s) { return new_collection(Family::type(), std::move(s)); }

  // The stored element of `s` equal to `k`, if any.
  static const StoredKey* find_in(const Set& s, const HashedAny& k) {
    const auto loc = s.map().find(k);
    return loc ? &s.map().table().entry_at(*loc).key : nullptr;
  }

  // ------------------------------------------------------------ new sets

  static Set copy_of(const Set& s, std::size_t extra = 0) {
    Set r = make(saturating_add(s.len(), extra));
    for_each_ahead(s, prefetch_key, [&](const StoredKey& k) { r.insert_unique(clone(k)); });
    return r;
  }

  // A set of exactly the picked elements (new references, stored hashes).
  // `distinct` promises that no two picked elements are equal, so they are
  // placed without a search.
  static Set from_picked(const std::vector<const HashedAny*>& picked, bool distinct) {
    Set r = make(picked.size());
    for_each_ahead(
        picked, [](const HashedAny* k) { prefetch_key(*k); },
        [&](const HashedAny* k) {
          if (distinct) {
            r.insert_unique(StoredKey(*k));
          } else {
            r.insert(StoredKey(*k));
          }
        });
    return r;
  }

  // The elements of `s` that `keep` accepts, every one decided before the
  // result is built; distinct, as elements of one set.
  template <class Keep>
  static Set filtered(const Set& s, Keep&& keep) {
    std::vector<const HashedAny*> picked;
    picked.reserve(s.len());
    for (const StoredKey& k : s) {
      if (keep(k)) picked.push_back(&k);
    }
    return from_picked(picked, true);
  }

  // The distinct elements of an iterable, hashed once each.
  static Set collect(PyObject* o) {
    Set distinct = make(reported_len(o));
    each_item(o, [&](PyObject* item) { distinct.insert(StoredKey(HashedAny::of(item))); });
    return distinct;
  }

  // Distinct: each part holds elements of one set, and an element of `s`
  // equal to one of `t` is found in `t` (by the same hash and comparison) and
  // left out.
  static Set symmetric(const Set& s, const Set& t) {
    std::vector<const HashedAny*> picked;
    picked.reserve(saturating_add(s.len(), t.len()));
    for (const StoredKey& k : s) {
      if (!t.contains(k)) picked.push_back(&k);
    }
    for (const StoredKey& k : t) {
      if (!s.contains(k)) picked.push_back(&k);
    }
    return from_picked(picked, true);
  }

  // `s op o` as a new set: what a copy of `s` holds after the primitive of
  // `op` with `o`.
  template <Op op>
  static Set combine(const Set& s, PyObject* o) {
    if (same(o)) {
      SharedBorrow borrow(of(o)->borrow);
      const Set& t = of(o)->coll;
      if constexpr (op == Op::Union) {
        Set r = copy_of(s, t.len());
        for (const StoredKey& k : t) r.insert(clone(k));
        return r;
      } else if constexpr (op == Op::Intersection) {
        if (t.len() >= s.len()) {
          return filtered(s, [&](const HashedAny& k) { return t.contains(k); });
        }
        // Walk the smaller operand; the result keeps `s`'s own objects. Two
        // elements of `t` may find the same one of `s` (an __eq__ that is not
        // transitive), so these are placed with a search.
        std::vector<const HashedAny*> picked;
        picked.reserve(t.len());
        for (const StoredKey& k : t) {
          if (const StoredKey* mine = find_in(s, k)) picked.push_back(mine);
        }
        return from_picked(picked, false);
      } else if constexpr (op == Op::Difference) {
        return filtered(s, [&](const HashedAny& k) { return !t.contains(k); });
      } else {
        return symmetric(s, t);
      }
    }
    if constexpr (op == Op::Union) {
      Set r = copy_of(s, reported_len(o));
      add_items(r, o);
      return r;
    } else if constexpr (op == Op::Intersection) {
      Ref pool = pool_of(o);
      return filtered(s, [&](const HashedAny& k) { return in_pool(pool.get(), k); });
    } else if constexpr (op == Op::Difference) {
      Set r = copy_of(s);
      remove_items(r, o);
      return r;
    } else {
      const Set distinct = collect(o);
      return symmetric(s, distinct);
    }
  }

  // `o - s` with `s` on the right: the elements of `o` not in `s`.
  static Set reflected_difference(PyObject* o, const Set& s) {
    Set r = make(0);
    add_all(r, o);
    subtract(r, s);
    return r;
  }

  // ------------------------------------------------------------ primitives

  static void add_items(Set& r, PyObject* o) {
    each_item(o, [&](PyObject* item) { r.insert(StoredKey(HashedAny::of(item))); });
  }

  // Into an empty `r`, the elements of a set of the same class are placed
  // without a search.
  static void add_all(Set& r, PyObject* o) {
    if (same(o)) {
      SharedBorrow borrow(of(o)->borrow);
      const Set& t = of(o)->coll;
      const bool fresh = r.empty();
      r.reserve(t.len());
      for_each_ahead(t, prefetch_key, [&](const StoredKey& k) {
        if (fresh) {
          r.insert_unique(clone(k));
        } else {
          r.insert(clone(k));
        }
      });
      return;
    }
    r.reserve(reported_len(o));
    add_items(r, o);
  }

  static void remove_items(Set& r, PyObject* o) {
    each_item(o, [&](PyObject* item) {
      const HashedAny k = HashedAny::of(item);
      r.remove(k);
    });
  }

  // Removes the elements of `t` from `r`, walking the smaller of the two.
  static void subtract(Set& r, const Set& t) {
    if (r.len() <= t.len()) {
      r.retain([&](const HashedAny& k) { return !t.contains(k); });
      return;
    }
    for (const StoredKey& k : t) r.remove(k);
  }

  static void remove_all(Set& r, PyObject* o) {
    if (same(o)) {
      SharedBorrow borrow(of(o)->borrow);
      subtract(r, of(o)->coll);
      return;
    }
    remove_items(r, o);
  }

  // Keeps exactly the elements of `r` found in `o`. The general path decides
  // every element before it removes any, so a failing membership test leaves
  // `r` unchanged.
  static void retain_in(Set& r, PyObject* o) {
    if (same(o)) {
      SharedBorrow borrow(of(o)->borrow);
      const Set& t = of(o)->coll;
      r.retain([&](const HashedAny& k) { return t.contains(k); });
      return;
    }
    Ref pool = pool_of(o);
    std::vector<bool> keep;
    keep.reserve(r.len());
    std::size_t kept = 0;
    for (const StoredKey& k : r) {
      keep.push_back(in_pool(pool.get(), k));
      kept += keep.back();
    }
    if (kept == r.len()) return;
    std::size_t i = 0;
    r.retain([&](const HashedAny&) { return keep[i++]; });
  }

  // Removes the elements of `t` present in `r` and inserts the others; room
  // for the insertions is reserved first, so running out of memory leaves
  // `r` as it was. True when `t` held any element.
  static bool toggle(Set& r, const Set& t) {
    std::size_t absent = 0;
    for (const StoredKey& k : t) absent += !r.contains(k);
    r.reserve(absent);
    for (const StoredKey& k : t) {
      if (!r.remove(k)) r.insert(clone(k));
    }
    return !t.empty();
  }

  // Symmetric difference in place. The general path hashes and collects the
  // whole operand before the receiver changes, so duplicates toggle once.
  static bool toggle_all(Set& r, PyObject* o) {
    if (same(o)) {
      SharedBorrow borrow(of(o)->borrow);
      return toggle(r, of(o)->coll);
    }
    const Set distinct = collect(o);
    return toggle(r, distinct);
  }

  // One operand of an in-place operation on the object `self`. The object
  // itself as operand gives the algebraic result (its shared borrow could not
  // be taken under the exclusive one).
  template <Op op>
  static void apply_in_place(PyObject* self, PyObject* o, ChangeWatch& watch) {
    Set& r = of(self)->coll;
    if (o == self) {
      if constexpr (op == Op::Difference || op == Op::Symmetric) {
        watch.toggled = watch.toggled || !r.empty();
        r.clear();
      }
      return;
    }
    if constexpr (op == Op::Union) {
      add_all(r, o);
    } else if constexpr (op == Op::Intersection) {
      retain_in(r, o);
    } else if constexpr (op == Op::Difference) {
      remove_all(r, o);
    } else {
      watch.toggled = toggle_all(r, o) || watch.toggled;
    }
  }

  // One more operand of a named method on its fresh result `r`.
  template <Op op>
  static void apply_to_result(Set& r, PyObject* o) {
    if constexpr (op == Op::Union) {
      add_all(r, o);
    } else if constexpr (op == Op::Intersection) {
      retain_in(r, o);
    } else {
      remove_all(r, o);
    }
  }

  // ------------------------------------------------------------ construction

  static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      static const char* const kKeywords[] = {"iterable", "capacity", nullptr};
      static const std::string format = std::string("|O$O:") + Kind::kSetName;
      PyObject* iterable = nullptr;
      PyObject* capacity = nullptr;
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kKeywords, &iterable,
                                       &capacity)) {
        return nullptr;
      }
      Set s = make(capacity_arg(capacity));
      if (iterable != nullptr && iterable != Py_None) add_all(s, iterable);
      return new_collection(type, std::move(s));
    });
  }

  static PyObject* with_options(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      PyObject* a[2];
      if (!bind_args("with_options", kOptionArgs, 0, args, nargs, kwnames, a)) return nullptr;
      const std::uint32_t capacity = capacity_arg(a[0]);
      const std::uint32_t exponent = reserve_exponent_arg(a[1], Kind::kMinExponent);
      return publish(Set(Kind::template build_with_options<Unit>(capacity, exponent)));
    });
  }

  static PyObject* class_getitem(PyObject* cls, PyObject* item) noexcept {
    return guard<PyObject*>(nullptr, [&] { return Py_GenericAlias(cls, item); });
  }

  static PyObject* copy(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      SharedBorrow borrow(of(self)->borrow);
      return publish(copy_of(of(self)->coll));
    });
  }

  // ------------------------------------------------------------ description

  static Py_ssize_t length(PyObject* self) noexcept {
    return guard<Py_ssize_t>(-1, [&] {
      SharedBorrow borrow(of(self)->borrow);
      return static_cast<Py_ssize_t>(of(self)->coll.len());
    });
  }

  static PyObject* capacity(PyObject* self, void*) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      SharedBorrow borrow(of(self)->borrow);
      return PyLong_FromSize_t(of(self)->coll.capacity());
    });
  }

  static PyObject* repr(PyObject* self) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      SharedBorrow borrow(of(self)->borrow);
      const Set& s = of(self)->coll;
      return PyUnicode_FromFormat("%s(len=%zu, capacity=%zu)", Kind::kSetName, s.len(),
                                  s.capacity());
    });
  }

  static PyObject* iter(PyObject* self) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      SharedBorrow borrow(of(self)->borrow);
      const Set& s = of(self)->coll;
      std::vector<Ref> snapshot;
      snapshot.reserve(s.len());
      for (const StoredKey& k : s) snapshot.push_back(Ref::borrow(k.object()));
      return make_snapshot_iter(Kind::kSetIter, self, std::move(snapshot));
    });
  }

  // ------------------------------------------------------------ elements

  static int contains(PyObject* self, PyObject* value) noexcept {
    return guard<int>(-1, [&] {
      Object* obj = of(self);
      SharedBorrow borrow(obj->borrow);
      return obj->coll.contains(HashedAny::of(value)) ? 1 : 0;
    });
  }

  static PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      PyObject* a[1];
      if (!bind_args("add", kValueArg, 1, args, nargs, kwnames, a)) return nullptr;
      Object* obj = of(self);
      ExclusiveBorrow borrow(obj->borrow);
      if (obj->coll.insert(StoredKey(HashedAny::of(a[0])))) obj->bump();
      Py_RETURN_NONE;
    });
  }

  static PyObject* discard(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      PyObject* a[1];
      if (!bind_args("discard", kValueArg, 1, args, nargs, kwnames, a)) return nullptr;
      Object* obj = of(self);
      ExclusiveBorrow borrow(obj->borrow);
      if (obj->coll.remove(HashedAny::of(a[0]))) obj->bump();
      Py_RETURN_NONE;
    });
  }

  static PyObject* remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      PyObject* a[1];
      if (!bind_args("remove", kValueArg, 1, args, nargs, kwnames, a)) return nullptr;
      Object* obj = of(self);
      ExclusiveBorrow borrow(obj->borrow);
      if (!obj->coll.remove(HashedAny::of(a[0]))) {
        set_key_error(a[0]);
        return nullptr;
      }
      obj->bump();
      Py_RETURN_NONE;
    });
  }

  static PyObject* pop(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      Object* obj = of(self);
      ExclusiveBorrow borrow(obj->borrow);
      auto k = obj->coll.pop_first();
      if (!k) {
        PyErr_SetString(PyExc_KeyError, "pop from an empty set");
        return nullptr;
      }
      obj->bump();
      return k->release();
    });
  }

  static PyObject* clear(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      Object* obj = of(self);
      ExclusiveBorrow borrow(obj->borrow);
      obj->coll.clear();
      obj->bump();
      Py_RETURN_NONE;
    });
  }

  // ------------------------------------------------------------ algebra

  // union, intersection, difference: a new set from self and each operand in
  // order; no operands give a copy.
  template <Op op>
  static PyObject* combine_method(PyObject* self, PyObject* const* args,
                                  Py_ssize_t nargs) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      SharedBorrow borrow(of(self)->borrow);
      const Set& s = of(self)->coll;
      if (nargs == 0) return publish(copy_of(s));
      Set r = combine<op>(s, args[0]);
      for (Py_ssize_t i = 1; i < nargs; ++i) apply_to_result<op>(r, args[i]);
      return publish(std::move(r));
    });
  }

  static PyObject* symmetric_difference(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      PyObject* a[1];
      if (!bind_args("symmetric_difference", kOtherArg, 1, args, nargs, kwnames, a)) {
        return nullptr;
      }
      SharedBorrow borrow(of(self)->borrow);
      return publish(combine<Op::Symmetric>(of(self)->coll, a[0]));
    });
  }

  template <Op op>
  static PyObject* update_method(PyObject* self, PyObject* const* args,
                                 Py_ssize_t nargs) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      Object* obj = of(self);
      ExclusiveBorrow borrow(obj->borrow);
      ChangeWatch watch(obj);
      for (Py_ssize_t i = 0; i < nargs; ++i) apply_in_place<op>(self, args[i], watch);
      Py_RETURN_NONE;
    });
  }

  static PyObject* symmetric_difference_update(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      PyObject* a[1];
      if (!bind_args("symmetric_difference_update", kOtherArg, 1, args, nargs, kwnames, a)) {
        return nullptr;
      }
      Object* obj = of(self);
      ExclusiveBorrow borrow(obj->borrow);
      ChangeWatch watch(obj);
      apply_in_place<Op::Symmetric>(self, a[0], watch);
      Py_RETURN_NONE;
    });
  }

  // One slot serves `s op o` and the reflected `o op s`; NotImplemented only
  // when neither operand is of this class.
  template <Op op>
  static PyObject* binary(PyObject* a, PyObject* b) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      const bool left = same(a);
      if (!left && !same(b)) Py_RETURN_NOTIMPLEMENTED;
      PyObject* self = left ? a : b;
      PyObject* o = left ? b : a;
      SharedBorrow borrow(of(self)->borrow);
      const Set& s = of(self)->coll;
      if constexpr (op == Op::Difference) {
        if (!left) return publish(reflected_difference(o, s));
      }
      return publish(combine<op>(s, o));
    });
  }

  template <Op op>
  static PyObject* in_place(PyObject* self, PyObject* o) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      if (!same(self)) Py_RETURN_NOTIMPLEMENTED;
      Object* obj = of(self);
      ExclusiveBorrow borrow(obj->borrow);
      ChangeWatch watch(obj);
      apply_in_place<op>(self, o, watch);
      return Py_NewRef(self);
    });
  }

  // ------------------------------------------------------------ comparisons

  static bool contains_all(const Set& big, const Set& small) {
    for (const StoredKey& k : small) {
      if (!big.contains(k)) return false;
    }
    return true;
  }

  template <class Method>
  static PyObject* predicate(const char* fname, PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames, Method&& method) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      PyObject* a[1];
      if (!bind_args(fname, kOtherArg, 1, args, nargs, kwnames, a)) return nullptr;
      SharedBorrow borrow(of(self)->borrow);
      const Set& s = of(self)->coll;
      if (same(a[0])) {
        SharedBorrow other(of(a[0])->borrow);
        return PyBool_FromLong(method(s, &of(a[0])->coll, a[0]));
      }
      return PyBool_FromLong(method(s, nullptr, a[0]));
    });
  }

  static PyObject* issubset(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return predicate("issubset", self, args, nargs, kwnames,
                     [](const Set& s, const Set* t, PyObject* o) {
                       if (t != nullptr) return t->len() >= s.len() && contains_all(*t, s);
                       Ref pool = pool_of(o);
                       if (static_cast<std::size_t>(PySet_Size(pool.get())) < s.len()) {
                         return false;
                       }
                       for (const StoredKey& k : s) {
                         if (!in_pool(pool.get(), k)) return false;
                       }
                       return true;
                     });
  }

  static PyObject* issuperset(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return predicate("issuperset", self, args, nargs, kwnames,
                     [](const Set& s, const Set* t, PyObject* o) {
                       if (t != nullptr) return s.len() >= t->len() && contains_all(s, *t);
                       return !any_item(o, [&](PyObject* item) {
                         return !s.contains(HashedAny::of(item));
                       });
                     });
  }

  static PyObject* isdisjoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return predicate("isdisjoint", self, args, nargs, kwnames,
                     [](const Set& s, const Set* t, PyObject* o) {
                       if (t != nullptr) {
                         const Set& small = t->len() < s.len() ? *t : s;
                         const Set& big = t->len() < s.len() ? s : *t;
                         for (const StoredKey& k : small) {
                           if (big.contains(k)) return false;
                         }
                         return true;
                       }
                       return !any_item(o, [&](PyObject* item) {
                         return s.contains(HashedAny::of(item));
                       });
                     });
  }

  static bool equals(PyObject* self, PyObject* other) {
    SharedBorrow borrow(of(self)->borrow);
    const Set& s = of(self)->coll;
    if (same(other)) {
      SharedBorrow other_borrow(of(other)->borrow);
      return s == of(other)->coll;
    }
    if (!is_set_like(other)) return false;
    const Py_ssize_t n = PyObject_Size(other);
    if (n < 0) {
      PyErr_Clear();
      return false;
    }
    if (static_cast<std::size_t>(n) != s.len()) return false;
    return !any_item(other, [&](PyObject* item) { return !s.contains(HashedAny::of(item)); });
  }

  static PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      switch (op) {
        case Py_EQ:
          return PyBool_FromLong(equals(self, other));
        case Py_NE: {
          Ref eq = Ref::check(PyObject_RichCompare(self, other, Py_EQ));
          const int truth = PyObject_IsTrue(eq.get());
          if (truth < 0) throw_error();
          return PyBool_FromLong(!truth);
        }
        case Py_LT:
        case Py_LE:
        case Py_GT:
        case Py_GE:
          Py_RETURN_NOTIMPLEMENTED;
        default:
          panic("rich comparison with an unknown operation code");
      }
    });
  }

  // ------------------------------------------------------------ the class

  using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
  using FastKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

  static PyCFunction fn(PyCFunction f) noexcept { return f; }
  static PyCFunction fn(Fast f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
  }
  static PyCFunction fn(FastKeywords f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
  }

  static inline PyMethodDef methods[] = {
      {"with_options", fn(with_options), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
       "with_options($cls, capacity=0, reserve_exponent=None)\n--\n\n"
       "An empty set of this class with room for `capacity` elements and a reserve\n"
       "of 2**-reserve_exponent of its slots (default 3)."},
      {"__class_getitem__", fn(class_getitem), METH_O | METH_CLASS,
       "__class_getitem__($cls, item)\n--\n\n"
       "Runtime support for `Cls[T]` via `types.GenericAlias`."},
      {"copy", fn(copy), METH_NOARGS,
       "copy($self)\n--\n\nA shallow copy, sized for its length, with the default reserve."},
      {"add", fn(add), METH_FASTCALL | METH_KEYWORDS,
       "add($self, value)\n--\n\nAdd an element; an equal element already present is kept."},
      {"discard", fn(discard), METH_FASTCALL | METH_KEYWORDS,
       "discard($self, value)\n--\n\nRemove an element if it is present."},
      {"remove", fn(remove), METH_FASTCALL | METH_KEYWORDS,
       "remove($self, value)\n--\n\nRemove an element; KeyError if it is absent."},
      {"pop", fn(pop), METH_NOARGS,
       "pop($self)\n--\n\nRemove and return the first element in scan order."},
      {"clear", fn(clear), METH_NOARGS, "clear($self)\n--\n\nRemove every element."},
      {"isdisjoint", fn(isdisjoint), METH_FASTCALL | METH_KEYWORDS,
       "isdisjoint($self, other)\n--\n\nTrue when the set and `other` share no element."},
      {"issubset", fn(issubset), METH_FASTCALL | METH_KEYWORDS,
       "issubset($self, other)\n--\n\nTrue when every element is in `other`."},
      {"issuperset", fn(issuperset), METH_FASTCALL | METH_KEYWORDS,
       "issuperset($self, other)\n--\n\nTrue when every element of `other` is in the set."},
      {"union", fn(combine_method<Op::Union>), METH_FASTCALL,
       "union($self, *others)\n--\n\nA new set with the elements of the set and all others."},
      {"intersection", fn(combine_method<Op::Intersection>), METH_FASTCALL,
       "intersection($self, *others)\n--\n\nA new set with the elements common to the set and "
       "all others."},
      {"difference", fn(combine_method<Op::Difference>), METH_FASTCALL,
       "difference($self, *others)\n--\n\nA new set with the elements of the set that are in "
       "no other."},
      {"symmetric_difference", fn(symmetric_difference), METH_FASTCALL | METH_KEYWORDS,
       "symmetric_difference($self, other)\n--\n\nA new set with the elements in exactly one "
       "of the set and `other`."},
      {"update", fn(update_method<Op::Union>), METH_FASTCALL,
       "update($self, *others)\n--\n\nAdd the elements of all others."},
      {"intersection_update", fn(update_method<Op::Intersection>), METH_FASTCALL,
       "intersection_update($self, *others)\n--\n\nKeep only the elements found in all "
       "others."},
      {"difference_update", fn(update_method<Op::Difference>), METH_FASTCALL,
       "difference_update($self, *others)\n--\n\nRemove the elements of all others."},
      {"symmetric_difference_update", fn(symmetric_difference_update),
       METH_FASTCALL | METH_KEYWORDS,
       "symmetric_difference_update($self, other)\n--\n\nKeep the elements in exactly one of "
       "the set and `other`."},
      {nullptr, nullptr, 0, nullptr},
  };

  static inline PyGetSetDef getset[] = {
      {"capacity", capacity, nullptr,
       "Elements the table holds before an insertion must grow it.", nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };

  using Binary = PyObject* (*)(PyObject*, PyObject*);

  static void* slot(auto f) noexcept { return reinterpret_cast<void*>(f); }
  static void* slot(Binary f) noexcept { return reinterpret_cast<void*>(f); }

  static PyTypeObject* create() {
    const std::string name = std::string("quarlex.") + Kind::kSetName;
    const std::string doc = std::string(Kind::kSetName) +
                            "(iterable=None, *, capacity=0)\n--\n\n"
                            "Binding wrapper around the native " +
                            Kind::kSetName + " table, with the protocol of set.";
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_new, slot(tp_new)},
        {Py_tp_dealloc, slot(dealloc_collection<Set>)},
        {Py_tp_repr, slot(repr)},
        {Py_tp_hash, slot(PyObject_HashNotImplemented)},
        {Py_tp_iter, slot(iter)},
        {Py_tp_richcompare, slot(richcompare)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_mp_length, slot(length)},
        {Py_sq_contains, slot(contains)},
        {Py_nb_or, slot(binary<Op::Union>)},
        {Py_nb_and, slot(binary<Op::Intersection>)},
        {Py_nb_subtract, slot(binary<Op::Difference>)},
        {Py_nb_xor, slot(binary<Op::Symmetric>)},
        {Py_nb_inplace_or, slot(in_place<Op::Union>)},
        {Py_nb_inplace_and, slot(in_place<Op::Intersection>)},
        {Py_nb_inplace_subtract, slot(in_place<Op::Difference>)},
        {Py_nb_inplace_xor, slot(in_place<Op::Symmetric>)},
        {0, nullptr},
    };
    PyType_Spec spec{name.c_str(), static_cast<int>(sizeof(Object)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return make_type(spec, Kind::kSetName);
  }
};

}  // namespace

PyTypeObject* create_set_type(TypeId id) {
  if (id == ElasticKind::kSet) return SetClass<ElasticKind>::create();
  if (id == FunnelKind::kSet) return SetClass<FunnelKind>::create();
  panic("unknown set class");
}

}  // namespace quarlex::py
