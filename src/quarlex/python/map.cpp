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
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarlex/python/args.hpp"
#include "quarlex/python/boundary.hpp"
#include "quarlex/python/iter.hpp"
#include "quarlex/python/mutation.hpp"
#include "quarlex/python/protocol.hpp"
#include "quarlex/python/state.hpp"

namespace quarlex::py {
namespace {

constexpr const char* kPairsMessage = "update sequence elements must be 2-tuples";

// Runs `body` inside the interpreter's per-object critical section of `obj`.
// An exception cannot leave the section's scope, so it is carried across.
template <class F>
void with_critical_section(PyObject* obj, F&& body) {
  std::exception_ptr failure;
  QUARLEX_BEGIN_CRITICAL_SECTION(obj);
  try {
    body();
  } catch (...) {
    failure = std::current_exception();
  }
  QUARLEX_END_CRITICAL_SECTION();
  if (failure) std::rethrow_exception(failure);
}

// A pair to store: the key hashed, the value owned.
using Pair = std::pair<StoredKey, Ref>;

// The pairs of an operand of update (the keys() protocol, else an iterable of
// pairs), each handed to `take` as it is read.
template <class Take>
void for_each_pair(PyObject* other, Take&& take) {
  const int has_keys = PyObject_HasAttrStringWithError(other, "keys");
  if (has_keys < 0) throw_error();
  if (has_keys) {
    const Ref keys = Ref::check(PyObject_CallMethod(other, "keys", nullptr));
    for (Ref& key : Items(keys.get())) {
      Ref value = Ref::check(PyObject_GetItem(other, key.get()));
      take(Pair(StoredKey(HashedAny::of(key.get())), std::move(value)));
    }
    return;
  }
  for (Ref& pair : Items(other)) {
    if (PyTuple_CheckExact(pair.get()) && PyTuple_GET_SIZE(pair.get()) == 2) {
      take(Pair(StoredKey(HashedAny::of(PyTuple_GET_ITEM(pair.get(), 0))),
                Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1))));
      continue;
    }
    const Py_ssize_t n = PyObject_Size(pair.get());
    if (n < 0) throw_error();
    if (n != 2) raise(PyExc_ValueError, kPairsMessage);
    const Ref zero = Ref::check(PyLong_FromLong(0));
    const Ref one = Ref::check(PyLong_FromLong(1));
    const Ref key = Ref::check(PyObject_GetItem(pair.get(), zero.get()));
    Ref value = Ref::check(PyObject_GetItem(pair.get(), one.get()));
    take(Pair(StoredKey(HashedAny::of(key.get())), std::move(value)));
  }
}

template <class Kind>
struct MapClass {
  using Family = MapFamily<Kind>;
  using Map = typename Family::Map;
  using Object = typename Family::Object;
  using Entry = typename Map::entry_type;

  // ---- building blocks of update, copy and the merge operators

  // Stores a pair; a value it replaces goes to `graveyard`.
  // Flattened as the lookups are: the search and the placement inline,
  // growth out of line.
  [[gnu::flatten]] static void put(Map& map, Pair&& pair, Graveyard& graveyard) {
    if (auto old = map.insert(std::move(pair.first), std::move(pair.second))) {
      graveyard.add(std::move(*old));
    }
  }

  static void put_keywords(Map& map, const ExtraKeywords& kwargs, Graveyard& graveyard) {
    for (const auto& [name, value] : kwargs) {
      put(map, Pair(StoredKey(HashedAny::of(name)), Ref::borrow(value)), graveyard);
    }
  }

  // The whole of `src` with new references: its table copied as it is.
  static Map cloned(const Map& src) {
    const auto copy = [](const Entry& e, Entry* slot) noexcept {
      ::new (slot) Entry{clone_key(e.key), e.value};
    };
    return clone_ahead(
        src,
        [](const Entry& e) noexcept {
          prefetch_object(e.key.object());
          prefetch_object(e.value.get());
        },
        copy);
  }

  // Whether `dst` may become a clone of `src` instead of taking its entries
  // one by one: it is empty and a clone loses none of its reserve or room.
  static bool may_clone_into(const Map& dst, const Map& src) noexcept {
    return dst.empty() && dst.table().reserve_exponent() == src.table().reserve_exponent() &&
           dst.capacity() <= src.capacity();
  }

  // Copies every entry of `src`, reusing stored hashes: no Python hashing.
  // Into an empty `dst` the keys are known distinct, so they are placed
  // without a search, and no key comparison (no Python code) runs at all.
  static void extend_cloned(Map& dst, const Map& src, Graveyard& graveyard) {
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
            put(dst, Pair(clone_key(e.key), e.value), graveyard);
          }
        });
  }

  // A dict's own entries (a subclass's keys() or __getitem__ is not used),
  // iterated inside the dict's critical section; no code of the dict runs.
  // A key's __hash__ may change the dict; that ends the update with
  // RuntimeError.
  static void update_from_dict(Map& map, PyObject* dict, Graveyard& graveyard) {
    const Py_ssize_t start = PyDict_GET_SIZE(dict);
    presize(map, static_cast<std::size_t>(start));
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
        Ref value = Ref::borrow(v);
        put(map, Pair(StoredKey(HashedAny::of(key.get())), std::move(value)), graveyard);
      }
    });
  }

  // Whether `other` is read by the C++ fast paths, which run none of its code.
  static bool read_directly(PyObject* other) noexcept {
    return Family::check(other) || PyDict_Check(other);
  }

  // The fast paths: entries of a map of this class (`self`, the receiver, as
  // operand changes nothing) or of a dict.
  static void update_directly(Map& map, PyObject* self, PyObject* other, Graveyard& graveyard) {
    if (other == self) return;
    if (PyDict_Check(other)) {
      update_from_dict(map, other, graveyard);
      return;
    }
    Object* src = Family::of(other);
    SharedBorrow b(src->borrow);
    if (may_clone_into(map, src->coll)) {
      map = cloned(src->coll);
    } else {
      extend_cloned(map, src->coll, graveyard);
    }
  }

  // Fills a map no other code can reach yet: the operand's pairs go straight
  // in.
  static void fill(Map& map, PyObject* other) {
    Graveyard replaced;
    if (read_directly(other)) {
      update_directly(map, nullptr, other, replaced);
      return;
    }
    presize(map, length_hint(other));
    for_each_pair(other, [&](Pair&& p) { put(map, std::move(p), replaced); });
  }

  // update(other, **kwargs) and |= on the object `self`. Keywords come last,
  // so they win. The operand's own code (its iteration, keys(), __getitem__)
  // never runs under the exclusive borrow: its pairs are read first, so it
  // may read the map, as `m.update(m.items())` does. An operand that fails
  // part way still has the pairs read before the failure written, as dict
  // does, and the error is raised afterwards.
  static void update_object(PyObject* self, PyObject* other, const ExtraKeywords& kwargs) {
    Object* o = Family::of(self);
    if (other == nullptr || read_directly(other)) {
      Mutation<Object> m(o);
      if (other != nullptr) update_directly(m.coll(), self, other, m.graveyard());
      put_keywords(m.coll(), kwargs, m.graveyard());
      return;
    }
    std::vector<Pair> pairs;
    Ref failure;
    try {
      for_each_pair(other, [&](Pair&& p) { pairs.push_back(std::move(p)); });
    } catch (const PyErrSet&) {
      failure = Ref::steal(PyErr_GetRaisedException());
    }
    Mutation<Object> m(o);
    presize(m.coll(), pairs.size());
    // Copies go in, so a key that meets an equal one is dropped by `pairs`,
    // after the borrow has ended.
    for (const Pair& p : pairs) put(m.coll(), Pair(clone_key(p.first), p.second), m.graveyard());
    if (failure) {
      PyErr_SetRaisedException(failure.release());
      throw_error();
    }
    put_keywords(m.coll(), kwargs, m.graveyard());
  }

  static PyObject* wrap(Map&& map) { return new_collection(Family::type(), std::move(map)); }

  // ---- construction

  static inline const Signature<2> kNewSignature{
      Kind::kMapName, {"other", "capacity"}, 0, 1, true};

  static PyObject* construct(PyTypeObject* type, const Bound<2>& a) {
    Map map(Kind::template build<Ref>(capacity_arg(a[1])));
    if (a[0] != nullptr && a[0] != Py_None) fill(map, a[0]);
    Graveyard replaced;
    put_keywords(map, a.extra, replaced);
    return new_collection(type, std::move(map));
  }

  static PyObject* with_options(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      static const Signature<2> sig{"with_options", {"capacity", "reserve_exponent"}};
      const auto a = bind(sig, args, nargsf, kwnames);
      const std::uint32_t capacity = capacity_arg(a[0]);
      const std::uint32_t exponent = reserve_exponent_arg(a[1], Kind::kMinExponent);
      return wrap(Map(Kind::template build_with_options<Ref>(capacity, exponent)));
    });
  }

  static PyObject* fromkeys(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      static const Signature<2> sig{"fromkeys", {"iterable", "value"}, 1};
      const auto a = bind(sig, args, nargsf, kwnames);
      PyObject* value = a[1] != nullptr ? a[1] : Py_None;
      Map map(build_hinted<Kind, Ref>(length_hint(a[0])));
      Graveyard replaced;
      for (Ref& key : Items(a[0])) {
        put(map, Pair(StoredKey(HashedAny::of(key.get())), Ref::borrow(value)), replaced);
      }
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
      return wrap(cloned(o->coll));
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

  static PyObject* reserve_exponent(PyObject* self, void*) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      Object* o = Family::of(self);
      SharedBorrow b(o->borrow);
      return PyLong_FromUnsignedLong(o->coll.reserve_exponent());
    });
  }

  static PyObject* sizeof_(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      Object* o = Family::of(self);
      SharedBorrow b(o->borrow);
      return sizeof_collection(self, o->coll.heap_bytes() + o->borrow.heap_bytes());
    });
  }

  // ---- pickling

  static PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      Object* o = Family::of(self);
      std::size_t capacity = 0;
      std::uint32_t exponent = 0;
      Ref pairs;
      {
        SharedBorrow b(o->borrow);
        const Map& map = o->coll;
        capacity = map.capacity();
        exponent = map.reserve_exponent();
        pairs = Ref::check(PyList_New(static_cast<Py_ssize_t>(map.len())));
        Py_ssize_t i = 0;
        for (auto it = map.begin(); it != map.end(); ++it, ++i) {
          PyObject* pair = PyTuple_Pack(2, it->key.object(), it->value.get());
          if (pair == nullptr) throw_error();
          PyList_SET_ITEM(pairs.get(), i, pair);
        }
      }
      return reduce_collection(self, capacity, exponent, std::move(pairs));
    });
  }

  static PyObject* setstate(PyObject* self, PyObject* state) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      update_object(self, state, {});
      Py_RETURN_NONE;
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

  // The lookups are flattened: everything down to the probe loop, the
  // borrow and the reference counting is inlined into the slot itself
  // (only the cold paths stay out of line), which saves their calls and
  // register spills on every hit.
  [[gnu::flatten]] static PyObject* getitem(PyObject* self, PyObject* key) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      Object* o = Family::of(self);
      SharedBorrow b(o->borrow);
      if (const Ref* v = std::as_const(o->coll).get(HashedAny::of(key))) return v->new_ref();
      set_key_error(key);
      return nullptr;
    });
  }

  [[gnu::flatten]] static int contains(PyObject* self, PyObject* key) noexcept {
    return guard<int>(-1, [&] {
      Object* o = Family::of(self);
      SharedBorrow b(o->borrow);
      return o->coll.contains(HashedAny::of(key)) ? 1 : 0;
    });
  }

  // A removal's search and take, flattened as the lookups are.
  [[gnu::flatten]] static auto remove_key(Map& map, PyObject* key) {
    return map.remove_entry(HashedAny::of(key));
  }

  [[gnu::flatten]] static int setitem(PyObject* self, PyObject* key, PyObject* value) noexcept {
    return guard<int>(-1, [&] {
      Mutation<Object> m(Family::of(self));
      if (value == nullptr) {
        auto removed = remove_key(m.coll(), key);
        if (!removed) {
          set_key_error(key);
          return -1;
        }
        m.release_entry_later(std::move(*removed));
      } else {
        put(m.coll(), Pair(StoredKey(HashedAny::of(key)), Ref::borrow(value)), m.graveyard());
      }
      return 0;
    });
  }

  [[gnu::flatten]] static PyObject* get(PyObject* self, PyObject* const* args,
                                        Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      static const Signature<2> sig{"get", {"key", "default"}, 1};
      const auto a = bind(sig, args, nargsf, kwnames);
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
      static const Signature<2> sig{"pop", {"key", "default"}, 1};
      const auto a = bind(sig, args, nargsf, kwnames);
      Mutation<Object> m(Family::of(self));
      auto removed = remove_key(m.coll(), a[0]);
      if (!removed) {
        if (a[1] != nullptr) return Py_NewRef(a[1]);
        set_key_error(a[0]);
        return nullptr;
      }
      PyObject* value = removed->value.release();
      m.release_later(std::move(removed->key));
      return value;
    });
  }

  static PyObject* setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      static const Signature<2> sig{"setdefault", {"key", "default"}, 1};
      const auto a = bind(sig, args, nargsf, kwnames);
      PyObject* fallback = a[1] != nullptr ? a[1] : Py_None;
      Mutation<Object> m(Family::of(self));
      const HashedAny probe = HashedAny::of(a[0]);
      if (const Ref* v = m.coll().get(probe)) return v->new_ref();
      m.coll().insert(StoredKey(probe), Ref::borrow(fallback));
      return Py_NewRef(fallback);
    });
  }

  static PyObject* popitem(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      Mutation<Object> m(Family::of(self));
      if (m.coll().empty()) {
        PyErr_SetString(PyExc_KeyError, "popitem(): map is empty");
        return nullptr;
      }
      // Allocated before the entry leaves the table, so a failure loses nothing.
      Ref pair = Ref::check(PyTuple_New(2));
      auto removed = m.coll().pop_first();
      PyTuple_SET_ITEM(pair.get(), 0, removed->key.release());
      PyTuple_SET_ITEM(pair.get(), 1, removed->value.release());
      return pair.release();
    });
  }

  static PyObject* clear(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      Mutation<Object> m(Family::of(self));
      m.clear();
      Py_RETURN_NONE;
    });
  }

  static PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      static const Signature<1> sig{"update", {"other"}, 0, 1, true};
      const auto a = bind(sig, args, nargsf, kwnames);
      update_object(self, a[0] == Py_None ? nullptr : a[0], a.extra);
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

  // m | other starts as a copy of m; other | m, the reflected form, starts
  // empty with the default reserve, and the map's own entries win there.
  static PyObject* merged(PyObject* self, PyObject* other, bool reflected) {
    Object* o = Family::of(self);
    SharedBorrow b(o->borrow);
    if (!reflected) {
      Map map = cloned(o->coll);
      if (other != self) fill(map, other);
      return wrap(std::move(map));
    }
    Map map(build_hinted<Kind, Ref>(o->coll.len() + length_hint(other)));
    Graveyard replaced;
    fill(map, other);
    extend_cloned(map, o->coll, replaced);
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
      update_object(self, other, {});
      return Py_NewRef(self);
    });
  }

  // ---- equality

  // Whether the map equals `other`: 1 or 0, or -1 when `other` is not
  // something a map compares with (neither a map of this class, a dict, nor
  // an object with keys()). A lookup in `other` that fails counts as a
  // difference.
  static int map_eq(PyObject* self, PyObject* other) {
    const std::uint64_t mark = t_borrow_conflicts;
    const bool same = Family::check(other);
    const bool dict = !same && PyDict_Check(other);
    if (!same && !dict) {
      const int has_keys = PyObject_HasAttrStringWithError(other, "keys");
      if (has_keys < 0) discard_error(mark);
      if (has_keys <= 0) return -1;
    }
    Object* o = Family::of(self);
    SharedBorrow b(o->borrow);
    const Map& map = o->coll;
    if (same) {
      Object* p = Family::of(other);
      if (p == o) return 1;
      SharedBorrow ob(p->borrow);
      if (map.len() != p->coll.len()) return 0;
      for (auto it = map.begin(); it != map.end(); ++it) {
        const Ref* v = std::as_const(p->coll).get(static_cast<const HashedAny&>(it->key));
        if (v == nullptr || !values_equal(it->value.get(), v->get())) return 0;
      }
      return 1;
    }
    std::size_t n = 0;
    if (dict) {
      n = static_cast<std::size_t>(PyDict_GET_SIZE(other));
    } else {
      const Py_ssize_t size = PyObject_Size(other);
      if (size < 0) {
        discard_error(mark);
        return 0;
      }
      n = static_cast<std::size_t>(size);
    }
    if (n != map.len()) return 0;
    for (auto it = map.begin(); it != map.end(); ++it) {
      Ref v;
      if (dict) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(other, it->key.object(), &found) < 0) discard_error(mark);
        v = Ref::steal(found);
      } else {
        v = Ref::steal(PyObject_GetItem(other, it->key.object()));
        if (!v) discard_error(mark);
      }
      if (!v || !values_equal(it->value.get(), v.get())) return 0;
    }
    return 1;
  }

  static PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
      const int eq = map_eq(self, other);
      if (eq < 0) Py_RETURN_NOTIMPLEMENTED;
      return PyBool_FromLong((eq == 1) == (op == Py_EQ));
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
       "copy($self)\n--\n\nA new map with the same entries, reserve and capacity."},
      {"__copy__", copy, METH_NOARGS, "__copy__($self)\n--\n\nThe same as copy()."},
      {"__reduce__", reduce, METH_NOARGS,
       "__reduce__($self)\n--\n\nPickle support: class, capacity, reserve and entries."},
      {"__setstate__", setstate, METH_O,
       "__setstate__($self, state, /)\n--\n\nAdd the (key, value) pairs of state."},
      {"__sizeof__", sizeof_, METH_NOARGS,
       "__sizeof__($self)\n--\n\nBytes of the object and its table."},
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
      {"reserve_exponent", reserve_exponent, nullptr,
       "The table keeps 2**-reserve_exponent of its slots free.", nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };

  static PyTypeObject* create() {
    const std::string name = std::string("quarlex.") + Kind::kMapName;
    const std::string doc = std::string(Kind::kMapName) +
                            "(other=None, *, capacity=0, **kwargs)\n--\n\n"
                            "Binding wrapper around the native " +
                            Kind::kMapName + " table, with the protocol of dict.";
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(Construction<MapClass>::tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_collection<Map>)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse_collection<Map>)},
        {Py_tp_clear, reinterpret_cast<void*>(clear_collection<Object>)},
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
                     kCollectionFlags | Py_TPFLAGS_MAPPING, slots};
    return make_type(spec, Construction<MapClass>::vectorcall);
  }
};

}  // namespace

std::span<const ClassMaker> map_classes() noexcept {
  static constexpr ClassMaker kMakers[] = {
      {ElasticKind::kMap, MapClass<ElasticKind>::create},
      {FunnelKind::kMap, MapClass<FunnelKind>::create},
  };
  return kMakers;
}

}  // namespace quarlex::py
