// The hold of one mutating call on its collection.
//
// `Mutation` takes the collection's exclusive borrow for its lifetime. What
// the call takes out of the collection (removed keys, elements and values,
// replaced values, the entries a clear empties out) goes to its `Graveyard`
// and is released only after the borrow is given back: releasing an object
// may run Python code (__del__, a weakref callback), and that code may use
// the collection again. When the contents changed (the length moved,
// something was taken out, or the collection was cleared), the modification
// counter moves once, whether the call then returns or unwinds with an
// error, so an iterator never runs on from a snapshot the collection no
// longer matches. Every change either moves the length or takes something
// out (a replaced value is taken out), so no call has to report its changes
// by hand.
#pragma once

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include "quarlex/common/arena.hpp"
#include "quarlex/python/borrow.hpp"
#include "quarlex/python/hashed_key.hpp"
#include "quarlex/python/types.hpp"

namespace quarlex::py {

// References held back for release. The first two (one entry of a map) live
// inline, so single-key mutations allocate nothing.
class Graveyard {
 public:
  Graveyard() = default;
  Graveyard(const Graveyard&) = delete;
  Graveyard& operator=(const Graveyard&) = delete;
  // Most mutations hold nothing back (an insert of a new key), and then
  // every member is empty: a test inline, and a call only when there is
  // something to release.
  ~Graveyard() {
    if (inline_used_ != 0) release();
  }

  void add(Ref r) {
    if (!r) return;
    if (inline_used_ < inline_.size()) {
      inline_[inline_used_++] = std::move(r);
    } else {
      more_.push_back(std::move(r));
    }
  }
  void add(StoredKey&& key) { add(Ref::steal(key.release())); }
  void add(Unit) noexcept {}
  template <class Entry>
  void add_entry(Entry&& e) {
    add(std::move(e.key));
    add(std::move(e.value));
  }
  // Room for `n` more references, so that adding them cannot throw.
  void reserve(std::size_t n) { more_.reserve(more_.size() + n); }
  bool empty() const noexcept { return inline_used_ == 0; }

 private:
  [[gnu::noinline]] void release() noexcept {
    more_.clear();
    for (Ref& r : inline_) r = Ref();
  }

  std::array<Ref, 2> inline_;
  std::size_t inline_used_ = 0;
  std::vector<Ref> more_;
};

template <class Object>
class Mutation {
 public:
  explicit Mutation(Object* obj) : obj_(obj), borrow_(obj->borrow), before_(obj->coll.len()) {}
  Mutation(const Mutation&) = delete;
  Mutation& operator=(const Mutation&) = delete;
  // Bumps under the borrow; the members then release the borrow and, last,
  // the graveyard.
  ~Mutation() {
    if (cleared_ || !graveyard_.empty() || obj_->coll.len() != before_) obj_->bump();
  }

  auto& coll() noexcept { return obj_->coll; }
  Graveyard& graveyard() noexcept { return graveyard_; }

  template <class T>
  void release_later(T&& x) {
    graveyard_.add(std::forward<T>(x));
  }
  template <class Entry>
  void release_entry_later(Entry&& e) {
    graveyard_.add_entry(std::forward<Entry>(e));
  }

  // Empties the collection; its entries are released after the borrow. A
  // clear always counts as a change, also of an empty collection.
  void clear() {
    auto& c = obj_->coll;
    graveyard_.reserve(2 * c.len());
    // `this->` spelled out: Clang 14 takes the capture for unused when the
    // call sits in a generic lambda.
    c.clear([this](auto&& e) noexcept { this->add_noexcept(std::move(e)); });
    cleared_ = true;
  }

 private:
  // Room was reserved, so adding cannot allocate.
  template <class T>
  void add_noexcept(T&& x) noexcept {
    if constexpr (requires { x.key; }) {
      graveyard_.add_entry(std::move(x));
    } else {
      graveyard_.add(std::move(x));
    }
  }

  Graveyard graveyard_;
  Object* obj_;
  ExclusiveBorrow borrow_;
  std::size_t before_;
  bool cleared_ = false;
};

// tp_clear of a collection: empties it as `clear()` does, releasing the
// entries after the borrow. A collection busy in another call is left as
// it is: the collector then finds the cycle still referenced.
template <class Object>
int clear_collection(PyObject* self) noexcept {
  try {
    Mutation<Object> m(reinterpret_cast<Object*>(self));
    m.clear();
  } catch (...) {
    PyErr_Clear();
  }
  return 0;
}

}  // namespace quarlex::py
