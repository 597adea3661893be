// ElasticHashMap and FunnelHashMap: one class template over the table kind.
//
// Every slot body runs inside `guard`. Lookups hold the map's shared borrow,
// mutations its exclusive borrow, each for the whole call, including the
// Python code they run for hashing and comparing keys. Ordinary misses
// (KeyError from m[k], del, pop) set the Python error and return without a
// C++ throw, which would cost more than the lookup itself. Objects removed or
// replaced under the exclusive borrow are released after it, so a finaliser
// they run may use the map again.
#include "quarlex/python/map.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarlex/python/args.hpp"
#include "quarlex/python/boundary.hpp"
#include "quarlex/python/iter.hpp"

namespace quarlex::py {
namespace {

constexpr const char* kPairsMessage = "update sequence elements must be 2-tuples";

// Keyword arguments that become entries, in call order (borrowed from the
// call).
using Keywords = std::vector<std::pair<PyObject*, PyObject*>>;

// KeyError(key), built so that a tuple key stays one argument.
void set_key_error(PyObject* key) noexcept {
  PyObject* exc = PyObject_CallOneArg(PyExc_KeyError, key);
  if (exc != nullptr) PyErr_SetRaisedException(exc);
}

[[noreturn]] void raise_format(PyObject* type, const char* format, auto... args) {
  PyErr_Format(type, format, args...);
  throw_error();
}

// Binds METH_FASTCALL | METH_KEYWORDS arguments to parameters that are all
// positional-or-keyword, the first `required` of them mandatory. Absent
// parameters stay null. Errors use the interpreter's wording.
template <std::size_t N>
std::array<PyObject*, N> bind(const char* fname, const char* const (&names)[N],
                              std::size_t required, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  std::array<PyObject*, N> out{};
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (nargs > N) {
    raise_format(PyExc_TypeError, "%s() takes %s %zu argument%s (%zu given)", fname,
                 required == N ? "exactly" : "at most", N, N == 1 ? "" : "s", nargs);
  }
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, j);
    std::size_t i = 0;
    while (i < N && !PyUnicode_EqualToUTF8(name, names[i])) ++i;
    if (i == N) {
      raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, name);
    }
    if (out[i] != nullptr) {
      raise_format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                   fname, names[i], i + 1);
    }
    out[i] = args[nargs + static_cast<std::size_t>(j)];
  }
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) {
      raise_format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname,
                   names[i], i + 1);
    }
  }
  return out;
}

// Runs `body` inside the interpreter's per-object critical section of `obj`.
// An exception cannot leave the section's scope, so it is carried across.
template <class F>
void with_critical_section(PyObject* obj, F&& body) {
  std::exception_ptr failure;
  Py_BEGIN_CRITICAL_SECTION(obj);
  try {
    body();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_CRITICAL_SECTION();
  if (failure) std::rethrow_exception(failure);
}

// Calls f(item) for every item of an iterable.
template <class F>
void for_each_item(PyObject* iterable, F&& f) {
  Ref it = Ref::check(PyObject_GetIter(iterable));
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) f(item.get());
  if (PyErr_Occurred()) throw_error();
}

StoredKey clone_key(const StoredKey& k) noexcept {
  return StoredKey(static_cast<const HashedAny&>(k));
}

template <class Kind>
struct MapClass {
  using Family = MapFamily<Kind>;
  using Map = typename Family::Map;
  using Object = typename Family::Object;
  using Entry = typename Map::entry_type;

  // ---- building blocks of update, copy and the merge operators

  // Hashes `key` and stores the pair; a replaced value is released.
  static void put(Map& map, PyObject* key, PyObject* value) {
    map.insert(StoredKey(HashedAny::of(key)), Ref::borrow(value));
  }

  // Copies every entry of `src`, reusing stored hashes: no Python hashing.
  // Into an empty `dst` the keys are known distinct, so they are placed
  // without a search, and no key comparison (no Python code) runs at all.
  static void extend_cloned(Map& dst, const Map& src) {
    const bool fresh = dst.empty();
    dst.reserve(src.len());
    for_each_ahead(
        src,
        [](const Entry& e) {
          prefetch_object(e.key.object());
          prefetch_object(e.value.get());
        },
        [&](const Entry& e) {
          if (fresh) {
            dst.insert_unique(clone_key(e.key), e.value);
          } else {
            dst.insert(clone_key(e.key), e.value);
          }
        });
  }

  // A dict's own entries (a subclass's keys() or __getitem__ is not used),
  // iterated inside the dict's critical section. A key's __hash__ may run
  // code that changes the dict; that ends the update with RuntimeError.
  static bool update_from_dict(Map& map, PyObject* dict) {
    const Py_ssize_t start = PyDict_GET_SIZE(dict);
    map.reserve(static_cast<std::size_t>(start));
    Py_ssize_t seen = 0;
    with_critical_section(dict, [&] {
      Py_ssize_t pos = 0;
      PyObject* k = nullptr;
      PyObject* v = nullptr;
      for (;;) {
        if (PyDict_GET_SIZE(dict) != start) {
          raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        if (!PyDict_Next(dict, &pos, &k, &v)) break;
        if (++seen > start) raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
        // Owned before __hash__ runs: it may drop the dict's references.
        const Ref key = Ref::borrow(k);
        const Ref value = Ref::borrow(v);
        put(map, key.get(), value.get());
      }
    });
    return seen > 0;
  }

  static void put_pair(Map& map, PyObject* pair) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
      put(map, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
      return;
    }
    const Py_ssize_t n = PyObject_Size(pair);
    if (n < 0) throw_error();
    if (n != 2) raise(PyExc_ValueError, kPairsMessage);
    const Ref zero = Ref::check(PyLong_FromLong(0));
    const Ref one = Ref::check(PyLong_FromLong(1));
    const Ref key = Ref::check(PyObject_GetItem(pair, zero.get()));
    const Ref value = Ref::check(PyObject_GetItem(pair, one.get()));
    put(map, key.get(), value.get());
  }

  // The branches of update for `other`, in order; returns whether a pair was
  // taken. `self` is the object owning `map` (null while constructing).
  static bool update_from(Map& map, PyObject* self, PyObject* other) {
    if (Family::check(other)) {
      // Updating a map from itself changes nothing.
      if (other == self) return false;
      Object* src = Family::of(other);
      SharedBorrow b(src->borrow);
      extend_cloned(map, src->coll);
      return !src->coll.empty();
    }
    if (PyDict_Check(other)) return update_from_dict(map, other);
    const int has_keys = PyObject_HasAttrStringWithError(other, "keys");
    if (has_keys < 0) throw_error();
    map.reserve(static_cast<std::size_t>(optional_len(other)));
    bool wrote = false;
    if (has_keys) {
      const Ref keys = Ref::check(PyObject_CallMethod(other, "keys", nullptr));
      for_each_item(keys.get(), [&](PyObject* key) {
        const Ref value = Ref::check(PyObject_GetItem(other, key));
        put(map, key, value.get());
        wrote = true;
      });
    } else {
      for_each_item(other, [&](PyObject* pair) {
        put_pair(map, pair);
        wrote = true;
      });
    }
    return wrote;
  }

  // update(other, **kwargs): `other` (None = absent), then the keywords, so
  // they win. Returns whether a pair was written; an error leaves the pairs
  // already written in place.
  static bool map_update(Map& map, PyObject* self, PyObject* other, const Keywords& kwargs) {
    bool wrote = other != nullptr && other != Py_None && update_from(map, self, other);
    if (!kwargs.empty()) {
      map.reserve(kwargs.size());
      for (const auto& [name, value] : kwargs) put(map, name, value);
      wrote = true;
    }
    return wrote;
  }

  static PyObject* wrap(Map&& map) { return new_collection(Family::type(), std::move(map)); }

  // ---- construction

  static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
      if (nargs > 1) {
        raise_format(PyExc_TypeError, "%s() takes at most 1 positional argument (%zd given)",
                     Kind::kMapName, nargs);
      }
      PyObject* other = nargs == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
      PyObject* capacity = nullptr;
      Ref items;
      Keywords kwargs;
      if (kwds != nullptr && PyDict_GET_SIZE(kwds) > 0) {
        items = Ref::check(PyDict_Items(kwds));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
          PyObject* pair = PyList_GET_ITEM(items.get(), i);
          PyObject* name = PyTuple_GET_ITEM(pair, 0);
          PyObject* value = PyTuple_GET_ITEM(pair, 1);
          if (PyUnicode_EqualToUTF8(name, "other")) {
            if (other != nullptr) {
              raise_format(PyExc_TypeError,
                           "argument for %s() given by name ('other') and position (1)",
                           Kind::kMapName);
            }
            other = value;
          } else if (PyUnicode_EqualToUTF8(name, "capacity")) {
            capacity = value;
          } else {
            kwargs.emplace_back(name, value);
          }
        }
      }
      Map map(Kind::template build<Ref>(capacity_arg(capacity)));
      map_update(map, nullptr, other, kwargs);
      return new_collection(type, std::move(map));
    });
  }

  static PyObject* with_options(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      static constexpr const char* kNames[] = {"capacity", "reserve_exponent"};
      const auto a = bind("with_options", kNames, 0, args, nargsf, kwnames);
      const std::uint32_t capacity = capacity_arg(a[0]);
      const std::uint32_t exponent = reserve_exponent_arg(a[1], Kind::kMinExponent);
      return wrap(Map(Kind::template build_with_options<Ref>(capacity, exponent)));
    });
  }

  static PyObject* fromkeys(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      static constexpr const char* kNames[] = {"iterable", "value"};
      const auto a = bind("fromkeys", kNames, 1, args, nargsf, kwnames);
      PyObject* value = a[1] != nullptr ? a[1] : Py_None;
      Map map(Kind::template build<Ref>(static_cast<std::size_t>(optional_len(a[0]))));
      for_each_item(a[0], [&](PyObject* key) { put(map, key, value); });
      return wrap(std::move(map));
    });
  }

  static PyObject* class_getitem(PyObject* cls, PyObject* item) noexcept {
    return Py_GenericAlias(cls, item);
  }

  static PyObject* copy(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      Object* o = Family::of(self);
      SharedBorrow b(o->borrow);
      Map map(Kind::template build<Ref>(o->coll.len()));
      extend_cloned(map, o->coll);
      return wrap(std::move(map));
    });
  }

  // ---- size and representation

  static Py_ssize_t length(PyObject* self) noexcept {
    return guard<Py_ssize_t>(-1, [&] {
      Object* o = Family::of(self);
      SharedBorrow b(o->borrow);
      return static_cast<Py_ssize_t>(o->coll.len());
    });
  }

  static PyObject* capacity(PyObject* self, void*) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      Object* o = Family::of(self);
      SharedBorrow b(o->borrow);
      return PyLong_FromSize_t(o->coll.capacity());
    });
  }

  static PyObject* repr(PyObject* self) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      Object* o = Family::of(self);
      SharedBorrow b(o->borrow);
      return PyUnicode_FromFormat("%s(len=%zu, capacity=%zu)", Kind::kMapName, o->coll.len(),
                                  o->coll.capacity());
    });
  }

  // ---- item access

  static PyObject* getitem(PyObject* self, PyObject* key) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      Object* o = Family::of(self);
      SharedBorrow b(o->borrow);
      if (const Ref* v = std::as_const(o->coll).get(HashedAny::of(key))) return v->new_ref();
      set_key_error(key);
      return nullptr;
    });
  }

  static int contains(PyObject* self, PyObject* key) noexcept {
    return guard<int>(-1, [&] {
      Object* o = Family::of(self);
      SharedBorrow b(o->borrow);
      return o->coll.contains(HashedAny::of(key)) ? 1 : 0;
    });
  }

  static int setitem(PyObject* self, PyObject* key, PyObject* value) noexcept {
    return guard<int>(-1, [&] {
      Object* o = Family::of(self);
      std::optional<Entry> removed;
      std::optional<Ref> replaced;
      ExclusiveBorrow b(o->borrow);
      if (value == nullptr) {
        removed = o->coll.remove_entry(HashedAny::of(key));
        if (!removed) {
          set_key_error(key);
          return -1;
        }
      } else {
        replaced = o->coll.insert(StoredKey(HashedAny::of(key)), Ref::borrow(value));
      }
      o->bump();
      return 0;
    });
  }

  static PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      static constexpr const char* kNames[] = {"key", "default"};
      const auto a = bind("get", kNames, 1, args, nargsf, kwnames);
      Object* o = Family::of(self);
      SharedBorrow b(o->borrow);
      if (const Ref* v = std::as_const(o->coll).get(HashedAny::of(a[0]))) return v->new_ref();
      return Py_NewRef(a[1] != nullptr ? a[1] : Py_None);
    });
  }

  // A passed default, None included, is returned on a miss, as dict.pop does.
  static PyObject* pop(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      static constexpr const char* kNames[] = {"key", "default"};
      const auto a = bind("pop", kNames, 1, args, nargsf, kwnames);
      Object* o = Family::of(self);
      std::optional<Entry> removed;
      ExclusiveBorrow b(o->borrow);
      removed = o->coll.remove_entry(HashedAny::of(a[0]));
      if (!removed) {
        if (a[1] != nullptr) return Py_NewRef(a[1]);
        set_key_error(a[0]);
        return nullptr;
      }
      o->bump();
      return removed->value.release();
    });
  }

  static PyObject* setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      static constexpr const char* kNames[] = {"key", "default"};
      const auto a = bind("setdefault", kNames, 1, args, nargsf, kwnames);
      PyObject* fallback = a[1] != nullptr ? a[1] : Py_None;
      Object* o = Family::of(self);
      ExclusiveBorrow b(o->borrow);
      const HashedAny probe = HashedAny::of(a[0]);
      if (const Ref* v = o->coll.get(probe)) return v->new_ref();
      o->coll.insert(StoredKey(probe), Ref::borrow(fallback));
      o->bump();
      return Py_NewRef(fallback);
    });
  }

  static PyObject* popitem(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      Object* o = Family::of(self);
      std::optional<Entry> removed;
      ExclusiveBorrow b(o->borrow);
      if (o->coll.empty()) {
        PyErr_SetString(PyExc_KeyError, "popitem(): map is empty");
        return nullptr;
      }
      // Allocated before the entry leaves the table, so a failure loses nothing.
      Ref pair = Ref::check(PyTuple_New(2));
      removed = o->coll.pop_first();
      o->bump();
      PyTuple_SET_ITEM(pair.get(), 0, removed->key.release());
      PyTuple_SET_ITEM(pair.get(), 1, removed->value.release());
      return pair.release();
    });
  }

  static PyObject* clear(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      Object* o = Family::of(self);
      ExclusiveBorrow b(o->borrow);
      o->coll.clear();
      o->bump();
      Py_RETURN_NONE;
    });
  }

  static PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
      if (nargs > 1) {
        raise_format(PyExc_TypeError, "update() takes at most 1 positional argument (%zd given)",
                     nargs);
      }
      PyObject* other = nargs == 1 ? args[0] : nullptr;
      Keywords kwargs;
      const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
      for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, j);
        PyObject* value = args[nargs + j];
        if (!PyUnicode_EqualToUTF8(name, "other")) {
          kwargs.emplace_back(name, value);
        } else if (other != nullptr) {
          raise(PyExc_TypeError, "argument for update() given by name ('other') and position (1)");
        } else {
          other = value;
        }
      }
      Object* o = Family::of(self);
      ExclusiveBorrow b(o->borrow);
      if (map_update(o->coll, self, other, kwargs)) o->bump();
      Py_RETURN_NONE;
    });
  }

  // ---- views and iteration

  static PyObject* iter(PyObject* self) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      Object* o = Family::of(self);
      SharedBorrow b(o->borrow);
      return make_snapshot_iter(Kind::kKeyIter, self, snapshot_of<Flavour::Keys>(o->coll));
    });
  }

  static PyObject* keys(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] { return make_view(Kind::kKeys, self); });
  }
  static PyObject* values(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] { return make_view(Kind::kValues, self); });
  }
  static PyObject* items(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] { return make_view(Kind::kItems, self); });
  }

  // ---- merge operators

  // m | other, or other | m when `reflected`: the result starts empty with the
  // default reserve; the map's own entries win in the reflected form.
  static PyObject* merged(PyObject* self, PyObject* other, bool reflected) {
    Object* o = Family::of(self);
    SharedBorrow b(o->borrow);
    Map map(Kind::template build<Ref>(o->coll.len() +
                                      static_cast<std::size_t>(optional_len(other))));
    if (!reflected) extend_cloned(map, o->coll);
    map_update(map, nullptr, other, {});
    if (reflected) extend_cloned(map, o->coll);
    return wrap(std::move(map));
  }

  static PyObject* nb_or(PyObject* left, PyObject* right) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      if (Family::check(left)) return merged(left, right, false);
      if (Family::check(right)) return merged(right, left, true);
      Py_RETURN_NOTIMPLEMENTED;
    });
  }

  static PyObject* nb_inplace_or(PyObject* self, PyObject* other) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      Object* o = Family::of(self);
      ExclusiveBorrow b(o->borrow);
      if (map_update(o->coll, self, other, {})) o->bump();
      return Py_NewRef(self);
    });
  }

  // ---- equality

  static bool map_eq(PyObject* self, PyObject* other) {
    Object* o = Family::of(self);
    SharedBorrow b(o->borrow);
    const Map& map = o->coll;
    if (Family::check(other)) {
      Object* p = Family::of(other);
      SharedBorrow ob(p->borrow);
      if (map.len() != p->coll.len()) return false;
      for (auto it = map.begin(); it != map.end(); ++it) {
        const Ref* v = std::as_const(p->coll).get(static_cast<const HashedAny&>(it->key));
        if (v == nullptr || !values_equal(it->value.get(), v->get())) return false;
      }
      return true;
    }
    if (PyDict_Check(other)) {
      if (static_cast<std::size_t>(PyDict_GET_SIZE(other)) != map.len()) return false;
      for (auto it = map.begin(); it != map.end(); ++it) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(other, it->key.object(), &found) <= 0) {
          PyErr_Clear();
          return false;
        }
        const Ref v = Ref::steal(found);
        if (!values_equal(it->value.get(), v.get())) return false;
      }
      return true;
    }
    if (PyObject_HasAttrStringWithError(other, "keys") <= 0) {
      PyErr_Clear();
      return false;
    }
    const Py_ssize_t n = PyObject_Size(other);
    if (n < 0) PyErr_Clear();
    if (n < 0 || static_cast<std::size_t>(n) != map.len()) return false;
    for (auto it = map.begin(); it != map.end(); ++it) {
      const Ref v = Ref::steal(PyObject_GetItem(other, it->key.object()));
      if (!v) {
        PyErr_Clear();
        return false;
      }
      if (!values_equal(it->value.get(), v.get())) return false;
    }
    return true;
  }

  static PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
      return PyBool_FromLong(map_eq(self, other) == (op == Py_EQ));
    });
  }

  // ---- the type

  static inline PyMethodDef methods[] = {
      {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get)),
       METH_FASTCALL | METH_KEYWORDS,
       "get($self, key, default=None)\n--\n\nThe value for key if present, else default."},
      {"clear", clear, METH_NOARGS, "clear($self)\n--\n\nRemove every entry."},
      {"keys", keys, METH_NOARGS, "keys($self)\n--\n\nA live view of the keys."},
      {"values", values, METH_NOARGS, "values($self)\n--\n\nA live view of the values."},
      {"items", items, METH_NOARGS, "items($self)\n--\n\nA live view of the (key, value) pairs."},
      {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update)),
       METH_FASTCALL | METH_KEYWORDS,
       "update($self, other=None, **kwargs)\n--\n\n"
       "Mirror of `dict.update`; see [`map_update`] for the branch logic.\n"
       "`bump()` only on actual inserts \u2014 empty `update()` keeps\niterators valid."},
      {"pop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pop)),
       METH_FASTCALL | METH_KEYWORDS,
       "pop($self, key, default=None)\n--\n\n"
       "Remove key and return its value; on a miss return default if given, else raise "
       "KeyError."},
      {"popitem", popitem, METH_NOARGS,
       "popitem($self)\n--\n\nRemove and return the first (key, value) pair in table order."},
      {"setdefault", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(setdefault)),
       METH_FASTCALL | METH_KEYWORDS,
       "setdefault($self, key, default=None)\n--\n\n"
       "The value for key; if absent, insert default and return it."},
      {"copy", copy, METH_NOARGS,
       "copy($self)\n--\n\nA new map with the same entries and the default reserve."},
      {"with_options", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(with_options)),
       METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
       "with_options($cls, capacity=0, reserve_exponent=None)\n--\n\n"
       "An empty map sized for capacity entries, keeping 2**-reserve_exponent of its slots "
       "free."},
      {"fromkeys", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fromkeys)),
       METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
       "fromkeys($cls, iterable, value=None)\n--\n\n"
       "A new map with the keys of iterable, all mapped to value."},
      {"__class_getitem__", class_getitem, METH_O | METH_CLASS,
       "__class_getitem__($cls, item)\n--\n\n"
       "Runtime support for `Cls[K, V]` syntax via `types.GenericAlias`\n"
       "\u2014 parity with the `Generic[K, V]` typing stub."},
      {nullptr, nullptr, 0, nullptr},
  };

  static inline PyGetSetDef getset[] = {
      {"capacity", capacity, nullptr,
       "Entries the table holds before an insertion must grow it.", nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };

  static PyTypeObject* create() {
    const std::string name = std::string("quarlex.") + Kind::kMapName;
    const std::string doc = std::string(Kind::kMapName) +
                            "(other=None, *, capacity=0, **kwargs)\n--\n\n"
                            "Binding wrapper around the native " +
                            Kind::kMapName + " table, with the protocol of dict.";
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_collection<Map>)},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_iter, reinterpret_cast<void*>(iter)},
        {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_mp_length, reinterpret_cast<void*>(length)},
        {Py_mp_subscript, reinterpret_cast<void*>(getitem)},
        {Py_mp_ass_subscript, reinterpret_cast<void*>(setitem)},
        {Py_sq_contains, reinterpret_cast<void*>(contains)},
        {Py_nb_or, reinterpret_cast<void*>(nb_or)},
        {Py_nb_inplace_or, reinterpret_cast<void*>(nb_inplace_or)},
        {0, nullptr},
    };
    PyType_Spec spec{name.c_str(), static_cast<int>(sizeof(Object)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_MAPPING, slots};
    return make_type(spec, Kind::kMapName);
  }
};

}  // namespace

PyTypeObject* create_map_type(TypeId id) {
  if (id == ElasticKind::kMap) return MapClass<ElasticKind>::create();
  if (id == FunnelKind::kMap) return MapClass<FunnelKind>::create();
  panic("unknown map class");
}

}  // namespace quarlex::py
