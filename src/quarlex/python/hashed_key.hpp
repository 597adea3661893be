// Hashed keys: a Python object with its hash, computed once.
//
// `HashedAny` is two words: the object's address with a type tag in its two
// low bits (1 = exactly str, 2 = exactly int, 0 = anything else, subclasses
// included), and the object's Python hash. It borrows its object: probes are
// built from the caller's reference and never released. `StoredKey` is the
// same two words owning one strong reference; it is what the tables store.
//
// Equal hashes and the same object are equal without calling Python; exact
// ints and exact strs compare by value in C++ (with the same answers as
// Python's ==); everything else goes through PyObject_RichCompare with the
// probe on the left, and an exception there is discarded and counts as
// "different" -- unless it follows a borrow conflict raised inside __eq__,
// which unwinds (PyErrSet) and stops the caller's operation. Tables only
// compare while searching, before they change anything, so such a stop
// leaves them as they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "quarlex/common/arena.hpp"
#include "quarlex/common/errors.hpp"
#include "quarlex/common/key.hpp"
#include "quarlex/common/portable.hpp"
#include "quarlex/common/scan.hpp"
#include "quarlex/python/ref.hpp"

namespace quarlex::py {

inline constexpr std::uintptr_t kTagStr = 1;
inline constexpr std::uintptr_t kTagInt = 2;
inline constexpr std::uintptr_t kTagMask = 3;

struct HashedAny {
  std::uintptr_t tagged = 0;
  Py_hash_t hash = 0;

  // Hashes `obj` (a failing __hash__ propagates as PyErrSet) and tags it.
  // Exact strs with a cached hash and exact ints of up to kInlineDigits
  // digits are hashed here, with the interpreter's own values, saving the
  // calls; this part is inlined into every lookup, the rest is not.
  [[gnu::always_inline]] static HashedAny of(PyObject* obj) {
    const auto addr = reinterpret_cast<std::uintptr_t>(obj);
    if ((addr & kTagMask) == 0) {
      if (Py_IS_TYPE(obj, &PyUnicode_Type)) {
        const Py_hash_t cached =
            __atomic_load_n(&reinterpret_cast<PyASCIIObject*>(obj)->hash, __ATOMIC_RELAXED);
        if (cached != -1) return HashedAny{addr | kTagStr, cached};
      } else if (Py_IS_TYPE(obj, &PyLong_Type)) {
        const auto* v = reinterpret_cast<PyLongObject*>(obj);
        if (PyUnstable_Long_IsCompact(v)) {
          const Py_ssize_t c = PyUnstable_Long_CompactValue(v);
          return HashedAny{addr | kTagInt, c == -1 ? -2 : static_cast<Py_hash_t>(c)};
        }
#if PyLong_SHIFT == 30 && QUARLEX_HASH_BITS == 61
        const std::uintptr_t tag = v->long_value.lv_tag;
        const std::size_t digits = tag >> _PyLong_NON_SIZE_BITS;
        if (digits <= kInlineDigits) {
          return HashedAny{addr | kTagInt, long_hash(v->long_value.ob_digit, digits, tag)};
        }
#endif
      }
    }
    return hashed_by_type(obj);
  }

#if PyLong_SHIFT == 30 && QUARLEX_HASH_BITS == 61
  static constexpr std::size_t kInlineDigits = 4;

  // Python's hash of an int of two to four digits: the magnitude modulo
  // M = 2^61 - 1, then the sign; -1 becomes -2. The interpreter reduces digit
  // by digit; here each digit goes straight to its weight 2^(30 i) mod M
  // (1, 2^30, 2^60, 2^29, as 2^61 = 1), with digit 2's top bits folded down.
  // The sum stays below 2^62, so one fold and one subtraction leave the
  // residue in [0, M), the value the interpreter's loop ends with.
  static Py_hash_t long_hash(const digit* d, std::size_t digits, std::uintptr_t tag) noexcept {
    static_assert(kInlineDigits == 4, "the weights cover four digits");
    constexpr std::uint64_t kModulus = (std::uint64_t{1} << 61) - 1;
    std::uint64_t x = d[0] + (std::uint64_t{d[1]} << 30);
    if (digits >= 3) x += (std::uint64_t{d[2] & 1u} << 60) + (d[2] >> 1);
    if (digits == 4) x += std::uint64_t{d[3]} << 29;
    x = (x & kModulus) + (x >> 61);
    if (x >= kModulus) x -= kModulus;
    // The tag's two low bits: 0 positive, 2 negative (1, zero, is compact).
    if ((tag & 3) == 2) x = 0 - x;
    return x == static_cast<std::uint64_t>(-1) ? -2 : static_cast<Py_hash_t>(x);
  }
#endif

  // Through the type's __hash__.
  [[gnu::noinline]] static HashedAny hashed_by_type(PyObject* obj) {
    const Py_hash_t h = PyObject_Hash(obj);
    if (h == -1) throw_error();
    return with_hash(obj, h);
  }

  static HashedAny with_hash(PyObject* obj, Py_hash_t h) {
    const auto addr = reinterpret_cast<std::uintptr_t>(obj);
    if ((addr & kTagMask) != 0) panic("PyObject* low bits must be zero for tag packing");
    std::uintptr_t tag = 0;
    if (Py_IS_TYPE(obj, &PyUnicode_Type)) {
      tag = kTagStr;
    } else if (Py_IS_TYPE(obj, &PyLong_Type)) {
      tag = kTagInt;
    }
    return HashedAny{addr | tag, h};
  }

  PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(tagged & ~kTagMask); }
  std::uintptr_t tag() const noexcept { return tagged & kTagMask; }
};

// Collections at least this long are walked with their objects prefetched
// (for_each_ahead) when every object is about to be written: below it the
// objects mostly sit in the caches already.
inline constexpr std::size_t kPrefetchFrom = std::size_t{1} << 14;

// Starts fetching an object's header, which a reference count update is
// about to write.
inline void prefetch_object(const PyObject* o) noexcept { prefetch_write(o); }

// Calls body(x) for each x of `range` in order and, in tables of
// kPrefetchFrom entries or more, touch(x) eight elements earlier. Bulk
// copies read a table in its own order, which scatters over the key and
// value objects; prefetching from `touch` overlaps those misses. The range is
// walked once; the elements must stay in place meanwhile.
template <class Range, class Touch, class Body>
void for_each_ahead(const Range& range, Touch&& touch, Body&& body) {
  using Element = std::remove_reference_t<decltype(*range.begin())>;
  if constexpr (requires { range.for_each(body); }) {
    if (range.len() < kPrefetchFrom) {
      range.for_each(body);
      return;
    }
  }
  auto fetch = [&](Element* x) { touch(*x); };
  auto give = [&](Element* x) { body(*x); };
  Lookahead<Element*, decltype(fetch), decltype(give)> ahead(fetch, give);
  const auto push = [&](Element& x) { ahead.push(&x); };
  if constexpr (requires { range.for_each(push); }) {
    range.for_each(push);
  } else {
    for (Element& x : range) push(x);
  }
  ahead.finish();
}

// src.clone(touch, copy), with touch run ahead only in collections of
// kPrefetchFrom entries or more, as for_each_ahead does for walks.
template <class Coll, class Touch, class Copy>
Coll clone_ahead(const Coll& src, Touch&& touch, Copy&& copy) {
  if (src.len() < kPrefetchFrom) return src.clone(NoTouch{}, copy);
  return src.clone(touch, copy);
}

// Python's == with the probe on the left; an exception counts as "different"
// (a borrow conflict raised inside unwinds).
bool rich_equal(PyObject* probe, PyObject* stored);

// Equality of two keys with equal hashes that are different objects: the
// exact-int and exact-str fast paths, else Python's == with the probe on the
// left.
bool keys_equal_slow(const HashedAny& probe, const HashedAny& stored);

// Inlined into every probe loop: most comparisons end on the hash or on
// identity; only the rest pay a call.
[[gnu::always_inline]] inline QuickMatch keys_match_inline(const HashedAny& probe,
                                                           const HashedAny& stored) noexcept {
  if (probe.hash != stored.hash) return QuickMatch::Unequal;
  if (probe.object() == stored.object()) return QuickMatch::Equal;
  return QuickMatch::Unknown;
}

[[gnu::always_inline]] inline bool keys_equal(const HashedAny& probe,
                                              const HashedAny& stored) {
  const QuickMatch m = keys_match_inline(probe, stored);
  return m == QuickMatch::Unknown ? keys_equal_slow(probe, stored) : m == QuickMatch::Equal;
}

// A hashed key owning one strong reference to its object.
class StoredKey : public HashedAny {
 public:
  StoredKey() noexcept = default;
  // Takes a new reference to the probe's object. Inlined: a probe is most
  // often made just before, and an out-of-line copy would read its two words
  // back as one wide load, which store forwarding cannot serve.
  [[gnu::always_inline]] explicit StoredKey(const HashedAny& probe) noexcept {
    copy_words(probe);
    Py_INCREF(object());
  }
  StoredKey(const StoredKey&) = delete;
  StoredKey& operator=(const StoredKey&) = delete;
  StoredKey(StoredKey&& o) noexcept {
    copy_words(o);
    o.tagged = 0;
  }
  StoredKey& operator=(StoredKey&& o) noexcept {
    std::swap(tagged, o.tagged);
    std::swap(hash, o.hash);
    return *this;
  }
  ~StoredKey() {
    if (tagged != 0) Py_DECREF(object());
  }

  // Hands the reference to the caller; the key is empty afterwards.
  PyObject* release() noexcept {
    PyObject* o = object();
    tagged = 0;
    return o;
  }

 private:
  // Word by word: keys are most often copied soon after their two words were
  // stored one at a time, and a single wide load of both cannot be served by
  // store forwarding (it waits for the stores to reach the cache).
  [[gnu::always_inline]] void copy_words(const HashedAny& from) noexcept {
    tagged = from.tagged;
    hash = from.hash;
  }
};

// A new key holding a new reference to a stored key's object, with its hash.
[[gnu::always_inline]] inline StoredKey clone_key(const HashedAny& k) noexcept {
  return StoredKey(k);
}

// Table arenas up to kReusedBlockMax bytes come from the interpreter's heap
// (mimalloc on free-threaded builds), which keeps freed pages for reuse: a
// table that grows or rebuilds, or a new copy, takes up memory a table just
// gave back instead of faulting fresh pages in one by one. Larger ones come
// from the C heap, which refuses a block the machine cannot back (the
// interpreter's heap may reserve it and fail only when it is touched), so an
// impossible capacity stays a MemoryError. Both heaps align less than an
// arena needs: a block is over-allocated and the heap's own address kept in
// the word before it, its low bit set for the C heap. Tables are only built,
// grown and freed inside calls from the interpreter, with the thread
// attached, as PyMem_Malloc requires.
inline constexpr std::size_t kReusedBlockMax = std::size_t{64} << 20;

inline void* interpreter_heap_allocate(std::size_t bytes) noexcept {
  if (bytes > static_cast<std::size_t>(PY_SSIZE_T_MAX) - kArenaAlign) return nullptr;
  const bool reused = bytes <= kReusedBlockMax;
  void* raw = reused ? PyMem_Malloc(bytes + kArenaAlign) : PyMem_RawMalloc(bytes + kArenaAlign);
  if (raw == nullptr) return nullptr;
  const std::uintptr_t at =
      (reinterpret_cast<std::uintptr_t>(raw) + sizeof(void*) + kArenaAlign - 1) &
      ~std::uintptr_t{kArenaAlign - 1};
  reinterpret_cast<std::uintptr_t*>(at)[-1] =
      reinterpret_cast<std::uintptr_t>(raw) | (reused ? 0 : 1);
  return reinterpret_cast<void*>(at);
}

inline void interpreter_heap_release(void* block) noexcept {
  const std::uintptr_t word = static_cast<std::uintptr_t*>(block)[-1];
  void* raw = reinterpret_cast<void*>(word & ~std::uintptr_t{1});
  if ((word & 1) == 0) {
    PyMem_Free(raw);
  } else {
    PyMem_RawFree(raw);
  }
}

inline constexpr BlockSource kInterpreterHeap{interpreter_heap_allocate,
                                              interpreter_heap_release};

}  // namespace quarlex::py

namespace quarlex {

template <>
struct BlockSourceFor<py::StoredKey> {
  static constexpr const BlockSource* source = &py::kInterpreterHeap;
};

template <>
struct KeyTraits<py::StoredKey> {
  static std::uint64_t hash(const py::HashedAny& k) noexcept {
    return static_cast<std::uint64_t>(k.hash);
  }
  static bool eq(const py::HashedAny& probe, const py::HashedAny& stored) {
    return py::keys_equal(probe, stored);
  }
  static QuickMatch quick_eq(const py::HashedAny& probe, const py::HashedAny& stored) noexcept {
    return py::keys_match_inline(probe, stored);
  }
};

}  // namespace quarlex
