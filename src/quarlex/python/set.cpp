// ElasticHashSet and FunnelHashSet, written once over the table kind.
//
// The algebra rests on four primitives that change a receiver set in place:
// union (add), difference (remove), intersection (retain) and symmetric
// difference (toggle). Each has a fast path for an operand of exactly the
// receiver's class, read under the operand's shared borrow with its stored
// hashes and no Python hashing, and a general path for any iterable, which
// is read first into a `Prepared` operand: its code (iteration, a
// generator's body) never runs while the receiver is exclusively borrowed,
// so an operand may read the receiver, as `s.update(iter(s))` does.
//
// The receiver is either the object's own set under a `Mutation` or a fresh
// result no Python code can reach yet. Operations that return a new set
// build it directly from the elements that "copy, then apply the primitive"
// would keep (the same element objects), sized once, instead of copying
// everything and removing afterwards.
#include "quarlex/python/set.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quarlex/python/args.hpp"
#include "quarlex/python/boundary.hpp"
#include "quarlex/python/hashed_key.hpp"
#include "quarlex/python/iter.hpp"
#include "quarlex/python/mutation.hpp"
#include "quarlex/python/protocol.hpp"
#include "quarlex/python/state.hpp"

namespace quarlex::py {
namespace {

constexpr Signature<1> kValueSig(const char* function) { return {function, {"value"}, 1}; }
constexpr Signature<1> kOtherSig(const char* function) { return {function, {"other"}, 1}; }

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

enum class Op { Union, Intersection, Difference, Symmetric };

template <class Kind>
struct SetClass {
  using Family = SetFamily<Kind>;
  using Set = typename Family::Set;
  using Entry = typename Set::entry_type;
  using Object = typename Family::Object;

  static bool same(PyObject* o) noexcept { return Family::check(o); }
  static Object* of(PyObject* o) noexcept { return Family::of(o); }

  static void prefetch_key(const HashedAny& k) noexcept { prefetch_object(k.object()); }

  static Set make(std::size_t capacity) { return Set(Kind::template build<Unit>(capacity)); }

  static PyObject* publish(Set&& s) { return new_collection(Family::type(), std::move(s)); }

  // The stored element of `s` equal to `k`, if any.
  static const StoredKey* find_in(const Set& s, const HashedAny& k) {
    const auto loc = s.map().find(k);
    return loc ? &s.map().table().entry_at(*loc).key : nullptr;
  }

  // ------------------------------------------------------------ operands

  // An operand read ahead of the primitive that uses it: `same` for a set
  // of this class (read in place), else what the primitive needs of an
  // iterable -- its elements hashed (union, difference), an interpreter set
  // of them (intersection) or its distinct elements (symmetric difference).
  // It owns what it read, and is released after the receiver's borrow, so
  // elements only it held are not released under that borrow.
  struct Prepared {
    PyObject* same = nullptr;
    std::vector<StoredKey> elements;
    Ref pool;
    std::optional<Set> distinct;
  };

  // Reads `o` into `p`. Union and difference keep the elements read before
  // an error of the iteration, which the caller applies before it raises;
  // the others read all or nothing.
  template <Op op>
  static void prepare(Prepared& p, PyObject* o) {
    if (same(o)) {
      p.same = o;
    } else if constexpr (op == Op::Intersection) {
      p.pool = pool_of(o);
    } else if constexpr (op == Op::Symmetric) {
      Set d = make(0);
      presize(d, length_hint(o));
      for (Ref& item : Items(o)) d.insert(StoredKey(HashedAny::of(item.get())));
      p.distinct.emplace(std::move(d));
    } else {
      for (Ref& item : Items(o)) p.elements.push_back(StoredKey(HashedAny::of(item.get())));
    }
  }

  // Prepares every operand, stopping at the first error, which is returned
  // (taken out of the interpreter) for the caller to raise once it has
  // applied what was read.
  template <Op op>
  static Ref prepare_all(std::vector<Prepared>& out, std::span<PyObject* const> operands) {
    out.reserve(operands.size());
    try {
      for (PyObject* o : operands) prepare<op>(out.emplace_back(), o);
    } catch (const PyErrSet&) {
      if constexpr (op == Op::Intersection || op == Op::Symmetric) out.pop_back();
      return Ref::steal(PyErr_GetRaisedException());
    }
    return {};
  }

  // ------------------------------------------------------------ primitives

  // Each changes `r` by one operand; elements it removes go to `graveyard`.
  // `self` is the object owning `r` (null for a fresh result).

  static void add_from(Set& r, const Set& t) {
    const bool fresh = r.empty();
    r.reserve(t.len());
    for_each_ahead(t, prefetch_key, [&](const StoredKey& k) {
      if (fresh) {
        r.insert_unique(clone_key(k));
      } else {
        r.insert(clone_key(k));
      }
    });
  }

  // Removes the elements of `t` from `r`, walking the smaller of the two.
  static void subtract(Set& r, const Set& t, Graveyard& graveyard) {
    if (r.len() <= t.len()) {
      r.retain([&](const HashedAny& k) { return !t.contains(k); },
               [&](StoredKey&& k) { graveyard.add(std::move(k)); });
      return;
    }
    for (const StoredKey& k : t) {
      if (auto gone = r.take(k)) graveyard.add(std::move(*gone));
    }
  }

  // Removes the elements of `t` present in `r` and inserts the others; room
  // for the insertions is reserved first, so running out of memory leaves
  // `r` as it was.
  static void toggle(Set& r, const Set& t, Graveyard& graveyard) {
    std::size_t absent = 0;
    for (const StoredKey& k : t) absent += !r.contains(k);
    r.reserve(absent);
    for (const StoredKey& k : t) {
      if (auto gone = r.take(k)) {
        graveyard.add(std::move(*gone));
      } else {
        r.insert(clone_key(k));
      }
    }
  }

  template <Op op>
  static void apply(Set& r, PyObject* self, Prepared& p, Graveyard& graveyard) {
    if (p.same != nullptr && p.same == self) {
      // The receiver as its own operand: the algebraic result.
      if constexpr (op == Op::Difference || op == Op::Symmetric) {
        if (!r.empty()) r.clear([&](StoredKey&& k) noexcept { graveyard.add(std::move(k)); });
      }
      return;
    }
    if (p.same != nullptr) {
      SharedBorrow borrow(of(p.same)->borrow);
      const Set& t = of(p.same)->coll;
      if constexpr (op == Op::Union) {
        add_from(r, t);
      } else if constexpr (op == Op::Intersection) {
        r.retain([&](const HashedAny& k) { return t.contains(k); },
                 [&](StoredKey&& k) { graveyard.add(std::move(k)); });
      } else if constexpr (op == Op::Difference) {
        subtract(r, t, graveyard);
      } else {
        toggle(r, t, graveyard);
      }
      return;
    }
    if constexpr (op == Op::Union) {
      presize(r, p.elements.size());
      // A copy goes in, so an element already present is dropped with the
      // operand, not here.
      for (const StoredKey& k : p.elements) r.insert(clone_key(k));
    } else if constexpr (op == Op::Intersection) {
      retain_in_pool(r, p.pool.get(), graveyard);
    } else if constexpr (op == Op::Difference) {
      for (const StoredKey& k : p.elements) {
        if (auto gone = r.take(k)) graveyard.add(std::move(*gone));
      }
    } else {
      toggle(r, *p.distinct, graveyard);
    }
  }

  // Keeps exactly the elements of `r` found in `pool`, every one decided
  // before any is removed, so a failing membership test leaves `r` as it was.
  static void retain_in_pool(Set& r, PyObject* pool, Graveyard& graveyard) {
    std::vector<bool> keep;
    keep.reserve(r.len());
    std::size_t kept = 0;
    for (const StoredKey& k : r) {
      keep.push_back(in_pool(pool, k));
      kept += keep.back();
    }
    if (kept == r.len()) return;
    std::size_t i = 0;
    r.retain([&](const HashedAny&) { return keep[i++]; },
             [&](StoredKey&& k) { graveyard.add(std::move(k)); });
  }

  // The in-place operations on the object `self`: every operand is read
  // first, then applied under the exclusive borrow. An operand that fails
  // part way still has what was read of it (and of the operands before it)
  // applied, and its error is raised afterwards.
  template <Op op>
  static void update_object(PyObject* self, std::span<PyObject* const> operands) {
    std::vector<Prepared> prepared;
    Ref failure = prepare_all<op>(prepared, operands);
    Mutation<Object> m(of(self));
    for (Prepared& p : prepared) apply<op>(m.coll(), self, p, m.graveyard());
    if (failure) {
      PyErr_SetRaisedException(failure.release());
      throw_error();
    }
  }

  // ------------------------------------------------------------ new sets

  // A copy of `s` with room for `extra` more elements: its table copied as
  // it is when that room is there already, else its elements placed once in
  // a table of the same reserve sized for them all, rather than copied and
  // then re-placed by a growth.
  static Set copy_of(const Set& s, std::size_t extra = 0) {
    if (s.capacity() - s.len() >= extra) {
      return clone_ahead(s, [](const Entry& e) noexcept { prefetch_key(e.key); },
                         [](const Entry& e, Entry* slot) noexcept {
                           ::new (slot) Entry{clone_key(e.key), Unit{}};
                         });
    }
    Set r(Kind::template build_with_options<Unit>(0, s.map().table().reserve_exponent()));
    presize(r, s.len() + extra);
    for_each_ahead(s, prefetch_key, [&](const StoredKey& k) { r.insert_unique(clone_key(k)); });
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

  // Distinct: each part holds elements of one set, and an element of `s`
  // equal to one of `t` is found in `t` (by the same hash and comparison) and
  // left out.
  static Set symmetric(const Set& s, const Set& t) {
    std::vector<const HashedAny*> picked;
    picked.reserve(s.len() + t.len());
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
    Prepared p;
    prepare<op>(p, o);
    const Set* t = p.same != nullptr ? &of(p.same)->coll : nullptr;
    std::optional<SharedBorrow> borrow;
    if (t != nullptr) borrow.emplace(of(p.same)->borrow);
    if constexpr (op == Op::Union) {
      Set r = copy_of(s, t != nullptr ? t->len() : p.elements.size());
      Graveyard none;
      apply<op>(r, nullptr, p, none);
      return r;
    } else if constexpr (op == Op::Intersection) {
      if (t == nullptr) {
        return filtered(s, [&](const HashedAny& k) { return in_pool(p.pool.get(), k); });
      }
      if (t->len() >= s.len()) {
        return filtered(s, [&](const HashedAny& k) { return t->contains(k); });
      }
      // Walk the smaller operand; the result keeps `s`'s own objects. Two
      // elements of `t` may find the same one of `s` (an __eq__ that is not
      // transitive), so these are placed with a search.
      std::vector<const HashedAny*> picked;
      picked.reserve(t->len());
      for (const StoredKey& k : *t) {
        if (const StoredKey* mine = find_in(s, k)) picked.push_back(mine);
      }
      return from_picked(picked, false);
    } else if constexpr (op == Op::Difference) {
      if (t != nullptr) return filtered(s, [&](const HashedAny& k) { return !t->contains(k); });
      Set r = copy_of(s);
      Graveyard removed;
      apply<op>(r, nullptr, p, removed);
      return r;
    } else {
      return symmetric(s, t != nullptr ? *t : *p.distinct);
    }
  }

  // `o - s` with `s` on the right: the elements of `o` not in `s`.
  static Set reflected_difference(PyObject* o, const Set& s) {
    Prepared p;
    prepare<Op::Union>(p, o);
    Set r = make(0);
    Graveyard removed;
    apply<Op::Union>(r, nullptr, p, removed);
    subtract(r, s, removed);
    return r;
  }

  // ------------------------------------------------------------ construction

  static inline const Signature<2> kNewSignature{Kind::kSetName, {"iterable", "capacity"}, 0, 1};

  static PyObject* construct(PyTypeObject* type, const Bound<2>& a) {
    Set s = make(capacity_arg(a[1]));
    if (a[0] != nullptr && a[0] != Py_None) {
      Prepared p;
      prepare<Op::Union>(p, a[0]);
      Graveyard none;
      apply<Op::Union>(s, nullptr, p, none);
    }
    return new_collection(type, std::move(s));
  }

  static PyObject* with_options(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      static const Signature<2> sig{"with_options", {"capacity", "reserve_exponent"}};
      const auto a = bind(sig, args, nargs, kwnames);
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

  static PyObject* reserve_exponent(PyObject* self, void*) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      SharedBorrow borrow(of(self)->borrow);
      return PyLong_FromUnsignedLong(of(self)->coll.reserve_exponent());
    });
  }

  static PyObject* sizeof_(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      SharedBorrow borrow(of(self)->borrow);
      return sizeof_collection(self, of(self)->coll.heap_bytes() + of(self)->borrow.heap_bytes());
    });
  }

  // ------------------------------------------------------------ pickling

  static PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      std::size_t capacity = 0;
      std::uint32_t exponent = 0;
      Ref elements;
      {
        SharedBorrow borrow(of(self)->borrow);
        const Set& s = of(self)->coll;
        capacity = s.capacity();
        exponent = s.reserve_exponent();
        elements = Ref::check(PyList_New(static_cast<Py_ssize_t>(s.len())));
        Py_ssize_t i = 0;
        for (const StoredKey& k : s) PyList_SET_ITEM(elements.get(), i++, Py_NewRef(k.object()));
      }
      return reduce_collection(self, capacity, exponent, std::move(elements));
    });
  }

  static PyObject* setstate(PyObject* self, PyObject* state) noexcept {
    return guard<PyObject*>(nullptr, [&] {
      update_object<Op::Union>(self, std::span(&state, 1));
      Py_RETURN_NONE;
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
      return make_snapshot_iter(Kind::kSetIter, self,
                                snapshot_refs<1>(s, prefetch_key, [](const StoredKey& k) {
                                  return std::array<Ref, 1>{Ref::borrow(k.object())};
                                }));
    });
  }

  // ------------------------------------------------------------ elements

  // Flattened like the map's lookups.
  [[gnu::flatten]] static int contains(PyObject* self, PyObject* value) noexcept {
    return guard<int>(-1, [&] {
      Object* obj = of(self);
      SharedBorrow borrow(obj->borrow);
      return obj->coll.contains(HashedAny::of(value)) ? 1 : 0;
    });
  }

  [[gnu::flatten]] static PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      static const auto sig = kValueSig("add");
      const auto a = bind(sig, args, nargs, kwnames);
      Mutation<Object> m(of(self));
      add_key(m.coll(), a[0]);
      Py_RETURN_NONE;
    });
  }

  // An insertion's search and placement, and a removal's search and take,
  // flattened as the lookups are (growth and rebuilds stay out of line).
  [[gnu::flatten]] static void add_key(Set& set, PyObject* value) {
    set.insert(StoredKey(HashedAny::of(value)));
  }
  [[gnu::flatten]] static auto take_key(Set& set, PyObject* value) {
    return set.take(HashedAny::of(value));
  }

  // Removes `value`; whether it was present.
  [[gnu::flatten]] static bool take_out(PyObject* self, PyObject* value) {
    Mutation<Object> m(of(self));
    auto gone = take_key(m.coll(), value);
    if (!gone) return false;
    m.release_later(std::move(*gone));
    return true;
  }

  static PyObject* discard(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      static const auto sig = kValueSig("discard");
      take_out(self, bind(sig, args, nargs, kwnames)[0]);
      Py_RETURN_NONE;
    });
  }

  static PyObject* remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      static const auto sig = kValueSig("remove");
      PyObject* value = bind(sig, args, nargs, kwnames)[0];
      if (take_out(self, value)) Py_RETURN_NONE;
      set_key_error(value);
      return nullptr;
    });
  }

  static PyObject* pop(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      Mutation<Object> m(of(self));
      auto k = m.coll().pop_first();
      if (!k) {
        PyErr_SetString(PyExc_KeyError, "pop from an empty set");
        return nullptr;
      }
      return k->release();
    });
  }

  static PyObject* clear(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      Mutation<Object> m(of(self));
      m.clear();
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
      Graveyard removed;
      for (Py_ssize_t i = 1; i < nargs; ++i) {
        Prepared p;
        prepare<op>(p, args[i]);
        apply<op>(r, nullptr, p, removed);
      }
      return publish(std::move(r));
    });
  }

  static PyObject* symmetric_difference(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      static const auto sig = kOtherSig("symmetric_difference");
      PyObject* other = bind(sig, args, nargs, kwnames)[0];
      SharedBorrow borrow(of(self)->borrow);
      return publish(combine<Op::Symmetric>(of(self)->coll, other));
    });
  }

  template <Op op>
  static PyObject* update_method(PyObject* self, PyObject* const* args,
                                 Py_ssize_t nargs) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      update_object<op>(self, std::span(args, static_cast<std::size_t>(nargs)));
      Py_RETURN_NONE;
    });
  }

  static PyObject* symmetric_difference_update(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      static const auto sig = kOtherSig("symmetric_difference_update");
      const auto a = bind(sig, args, nargs, kwnames);
      update_object<Op::Symmetric>(self, std::span(a.args.data(), 1));
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
      update_object<op>(self, std::span(&o, 1));
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
      const auto a = bind(kOtherSig(fname), args, nargs, kwnames);
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
                       for (Ref& item : Items(o)) {
                         if (!s.contains(HashedAny::of(item.get()))) return false;
                       }
                       return true;
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
                       for (Ref& item : Items(o)) {
                         if (s.contains(HashedAny::of(item.get()))) return false;
                       }
                       return true;
                     });
  }

  // 1 or 0, or -1 when `other` is not set-like (not compared).
  static int equals(PyObject* self, PyObject* other) {
    if (!same(other) && !is_set_like(other)) return -1;
    const std::uint64_t mark = t_borrow_conflicts;
    SharedBorrow borrow(of(self)->borrow);
    const Set& s = of(self)->coll;
    if (same(other)) {
      if (other == self) return 1;
      SharedBorrow other_borrow(of(other)->borrow);
      return s == of(other)->coll ? 1 : 0;
    }
    const Py_ssize_t n = PyObject_Size(other);
    if (n < 0) {
      discard_error(mark);
      return 0;
    }
    if (static_cast<std::size_t>(n) != s.len()) return 0;
    for (Ref& item : Items(other)) {
      if (!s.contains(HashedAny::of(item.get()))) return 0;
    }
    return 1;
  }

  static PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
      if (op != Py_EQ && op != Py_NE) {
        if (!same(other) && !is_set_like(other)) Py_RETURN_NOTIMPLEMENTED;
        return PyBool_FromLong(set_like_order(self, other, op));
      }
      const int eq = equals(self, other);
      if (eq < 0) Py_RETURN_NOTIMPLEMENTED;
      return PyBool_FromLong((eq == 1) == (op == Py_EQ));
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
      {"__copy__", fn(copy), METH_NOARGS, "__copy__($self)\n--\n\nThe same as copy()."},
      {"__reduce__", fn(reduce), METH_NOARGS,
       "__reduce__($self)\n--\n\nPickle support: class, capacity, reserve and elements."},
      {"__setstate__", fn(setstate), METH_O,
       "__setstate__($self, state, /)\n--\n\nAdd the elements of state."},
      {"__sizeof__", fn(sizeof_), METH_NOARGS,
       "__sizeof__($self)\n--\n\nBytes of the object and its table."},
      {"copy", fn(copy), METH_NOARGS,
       "copy($self)\n--\n\nA shallow copy with the same reserve and capacity."},
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
      {"reserve_exponent", reserve_exponent, nullptr,
       "The table keeps 2**-reserve_exponent of its slots free.", nullptr},
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
        {Py_tp_new, slot(Construction<SetClass>::tp_new)},
        {Py_tp_dealloc, slot(dealloc_collection<Set>)},
        {Py_tp_traverse, slot(traverse_collection<Set>)},
        {Py_tp_clear, slot(clear_collection<Object>)},
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
    PyType_Spec spec{name.c_str(), static_cast<int>(sizeof(Object)), 0, kCollectionFlags, slots};
    return make_type(spec, Construction<SetClass>::vectorcall);
  }
};

}  // namespace

std::span<const ClassMaker> set_classes() noexcept {
  static constexpr ClassMaker kMakers[] = {
      {ElasticKind::kSet, SetClass<ElasticKind>::create},
      {FunnelKind::kSet, SetClass<FunnelKind>::create},
  };
  return kMakers;
}

}  // namespace quarlex::py
