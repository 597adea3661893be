// The two table kinds as the binding layer sees them.
//
// The Elastic and Funnel classes, views and iterators are twins: each family
// is written once as a template over a kind, which supplies the table, the
// class names and type ids, and how a table is built. Every construction
// draws a fresh table seed. A capacity no table can hold, or memory that
// cannot be had, surfaces as MemoryError (AllocFailure); any other build
// error is an internal failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

#include "quarlex/common/errors.hpp"
#include "quarlex/common/hash.hpp"
#include "quarlex/elastic/table.hpp"
#include "quarlex/funnel/table.hpp"
#include "quarlex/python/hashed_key.hpp"
#include "quarlex/python/types.hpp"

namespace quarlex::py {

// Unwraps a fallible construction: allocation-size failures become
// AllocFailure (MemoryError), anything else stops with `context`.
template <class T>
T take_built(Result<T, TryBuildError>&& built, const char* context) {
  if (built.ok()) return std::move(built).value();
  const TryBuildError& e = built.error();
  if (const auto* r = std::get_if<TryBuildError::Reserve>(&e.value())) throw AllocFailure(r->error);
  panic(std::string(context) + e.display());
}

struct ElasticKind {
  template <class V>
  using Table = ElasticTable<StoredKey, V>;

  static constexpr std::uint32_t kMinExponent = 1;
  static constexpr const char* kMapName = "ElasticHashMap";
  static constexpr const char* kSetName = "ElasticHashSet";
  static constexpr const char* kKeysName = "elastic_keys";
  static constexpr const char* kValuesName = "elastic_values";
  static constexpr const char* kItemsName = "elastic_items";
  static constexpr TypeId kMap = TypeId::ElasticHashMap;
  static constexpr TypeId kSet = TypeId::ElasticHashSet;
  static constexpr TypeId kKeys = TypeId::ElasticKeys;
  static constexpr TypeId kValues = TypeId::ElasticValues;
  static constexpr TypeId kItems = TypeId::ElasticItems;
  static constexpr TypeId kKeyIter = TypeId::ElasticKeyIter;
  static constexpr TypeId kValueIter = TypeId::ElasticValueIter;
  static constexpr TypeId kItemIter = TypeId::ElasticItemIter;
  static constexpr TypeId kSetIter = TypeId::ElasticSetIter;

  // Construction with the default reserve (constructors, copy, fromkeys,
  // operators).
  template <class V>
  static Table<V> build(std::size_t capacity) {
    return Table<V>::with_capacity(capacity, kDefaultReserveExponent, fresh_table_seed());
  }

  // Construction for `with_options`, the exponent already validated.
  template <class V>
  static Table<V> build_with_options(std::size_t capacity, std::uint32_t exponent) {
    return take_built(Table<V>::try_with_capacity(capacity, exponent, fresh_table_seed()),
                      "invalid map construction: ");
  }
};

struct FunnelKind {
  template <class V>
  using Table = FunnelTable<StoredKey, V>;

  static constexpr std::uint32_t kMinExponent = kFunnelMinReserveExponent;
  static constexpr const char* kMapName = "FunnelHashMap";
  static constexpr const char* kSetName = "FunnelHashSet";
  static constexpr const char* kKeysName = "funnel_keys";
  static constexpr const char* kValuesName = "funnel_values";
  static constexpr const char* kItemsName = "funnel_items";
  static constexpr TypeId kMap = TypeId::FunnelHashMap;
  static constexpr TypeId kSet = TypeId::FunnelHashSet;
  static constexpr TypeId kKeys = TypeId::FunnelKeys;
  static constexpr TypeId kValues = TypeId::FunnelValues;
  static constexpr TypeId kItems = TypeId::FunnelItems;
  static constexpr TypeId kKeyIter = TypeId::FunnelKeyIter;
  static constexpr TypeId kValueIter = TypeId::FunnelValueIter;
  static constexpr TypeId kItemIter = TypeId::FunnelItemIter;
  static constexpr TypeId kSetIter = TypeId::FunnelSetIter;

  template <class V>
  static Table<V> build(std::size_t capacity) {
    return Table<V>::with_capacity(capacity, kDefaultReserveExponent, fresh_table_seed());
  }

  template <class V>
  static Table<V> build_with_options(std::size_t capacity, std::uint32_t exponent) {
    return take_built(Table<V>::try_with_capacity(capacity, exponent, fresh_table_seed()),
                      "invalid map construction: ");
  }
};

// A table for about `n` entries, where `n` is a length an operand reported:
// an object may lie, so a size that cannot be had gives an empty table that
// grows as the items arrive.
template <class Kind, class V>
typename Kind::template Table<V> build_hinted(std::size_t n) {
  if (n > 0) {
    try {
      return Kind::template build<V>(n);
    } catch (const AllocFailure&) {
    } catch (const std::bad_alloc&) {
    }
  }
  return Kind::template build<V>(0);
}

// Room for `n` more entries if it can be had (`n` being a reported length,
// as above); the collection is unchanged when it cannot.
template <class C>
void presize(C& c, std::size_t n) {
  try {
    c.reserve(n);
  } catch (const AllocFailure&) {
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace quarlex::py
