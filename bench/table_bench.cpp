// The two tables behind the generic map, side by side with std::unordered_map
// and absl::flat_hash_map: insert, successful and unsuccessful lookup, erase,
// with 64-bit keys and values.
//
// Keys are a bijective mix of their index with a fixed salt, so they are
// random-looking, reproducible and distinct: indices [0, n) are present,
// [n, 2n) never are. Every run reports `per_op` (time per operation). The
// tables are built here without their probe counters, which would put a
// thread-local update into every timed lookup; quarlex_probe_counts reports
// the probes, untimed.
#include <benchmark/benchmark.h>

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quarlex/collections/hash_map.hpp"
#include "quarlex/common/hash.hpp"
#include "quarlex/elastic/table.hpp"
#include "quarlex/funnel/table.hpp"

namespace {

using Key = std::uint64_t;
using Value = std::uint64_t;

constexpr std::uint64_t kKeySalt = 0x243F6A8885A308D3ULL;
constexpr std::uint64_t kTableSeed = 0x13198A2E03707344ULL;

Key key_of(std::uint64_t i) { return quarlex::mix64(i ^ kKeySalt); }

std::vector<Key> keys_from(std::uint64_t first, std::size_t n) {
  std::vector<Key> keys(n);
  for (std::size_t i = 0; i < n; ++i) keys[i] = key_of(first + i);
  return keys;
}

// One adapter per contender: how to build it empty, insert, look up, erase.
struct Elastic {
  static constexpr bool kTunable = true;
  using Map = quarlex::HashMap<quarlex::ElasticTable<Key, Value>>;
  static Map make(std::uint32_t e) {
    return Map(quarlex::ElasticTable<Key, Value>::with_capacity(0, e, kTableSeed));
  }
  static void insert(Map& m, Key k, Value v) { m.insert(k, v); }
  static const Value* find(const Map& m, Key k) { return m.get(k); }
  static bool erase(Map& m, Key k) { return m.remove(k).has_value(); }
};

struct Funnel {
  static constexpr bool kTunable = true;
  using Map = quarlex::HashMap<quarlex::FunnelTable<Key, Value>>;
  static Map make(std::uint32_t e) {
    return Map(quarlex::FunnelTable<Key, Value>::with_capacity(0, e, kTableSeed));
  }
  static void insert(Map& m, Key k, Value v) { m.insert(k, v); }
  static const Value* find(const Map& m, Key k) { return m.get(k); }
  static bool erase(Map& m, Key k) { return m.remove(k).has_value(); }
};

struct StdUnordered {
  static constexpr bool kTunable = false;
  using Map = std::unordered_map<Key, Value>;
  static Map make(std::uint32_t) { return {}; }
  static void insert(Map& m, Key k, Value v) { m.insert_or_assign(k, v); }
  static const Value* find(const Map& m, Key k) {
    auto it = m.find(k);
    return it == m.end() ? nullptr : &it->second;
  }
  static bool erase(Map& m, Key k) { return m.erase(k) != 0; }
};

struct AbslFlat {
  static constexpr bool kTunable = false;
  using Map = absl::flat_hash_map<Key, Value>;
  static Map make(std::uint32_t) { return {}; }
  static void insert(Map& m, Key k, Value v) { m.insert_or_assign(k, v); }
  static const Value* find(const Map& m, Key k) {
    auto it = m.find(k);
    return it == m.end() ? nullptr : &it->second;
  }
  static bool erase(Map& m, Key k) { return m.erase(k) != 0; }
};

// Arguments: n, and for the quarlex tables the reserve exponent (the peers
// have none and run once per n).
std::size_t size_arg(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(0));
}
template <class C>
std::uint32_t exponent_arg(const benchmark::State& state) {
  return C::kTunable ? static_cast<std::uint32_t>(state.range(1)) : 0u;
}

void per_op(benchmark::State& state, std::size_t ops) {
  state.counters["per_op"] = benchmark::Counter(
      static_cast<double>(ops), benchmark::Counter::kIsIterationInvariantRate |
                                    benchmark::Counter::kInvert);
}

template <class C>
typename C::Map filled(const std::vector<Key>& keys, std::uint32_t e) {
  auto m = C::make(e);
  for (Key k : keys) C::insert(m, k, k);
  return m;
}

// Inserting n fresh keys into an empty map, growth included; tearing the map
// down is not timed.
template <class C>
void BM_Insert(benchmark::State& state) {
  const auto keys = keys_from(0, size_arg(state));
  const std::uint32_t e = exponent_arg<C>(state);
  for (auto _ : state) {
    auto m = C::make(e);
    for (Key k : keys) C::insert(m, k, k);
    benchmark::DoNotOptimize(m);
    state.PauseTiming();
    { auto dead = std::move(m); }
    state.ResumeTiming();
  }
  per_op(state, keys.size());
}

template <class C>
void lookups(benchmark::State& state, std::uint64_t first_probe) {
  const std::size_t n = size_arg(state);
  const auto m = filled<C>(keys_from(0, n), exponent_arg<C>(state));
  const auto probes = keys_from(first_probe, n);
  for (auto _ : state) {
    std::uint64_t found = 0;
    for (Key k : probes) {
      const Value* v = C::find(m, k);
      found += v != nullptr ? *v : 1;
    }
    benchmark::DoNotOptimize(found);
  }
  per_op(state, n);
}

template <class C>
void BM_FindHit(benchmark::State& state) {
  lookups<C>(state, 0);
}

template <class C>
void BM_FindMiss(benchmark::State& state) {
  lookups<C>(state, size_arg(state));
}

// Erasing every key of a full map; refilling it between runs is not timed.
template <class C>
void BM_Erase(benchmark::State& state) {
  const auto keys = keys_from(0, size_arg(state));
  const std::uint32_t e = exponent_arg<C>(state);
  for (auto _ : state) {
    state.PauseTiming();
    auto m = filled<C>(keys, e);
    state.ResumeTiming();
    std::size_t erased = 0;
    for (Key k : keys) erased += C::erase(m, k);
    benchmark::DoNotOptimize(erased);
    state.PauseTiming();
    { auto dead = std::move(m); }
    state.ResumeTiming();
  }
  per_op(state, keys.size());
}

constexpr std::int64_t kSizes[] = {1 << 10, 1 << 16, 1 << 20};

void quarlex_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"n", "e"});
  for (std::int64_t e : {3, 6}) {
    for (std::int64_t n : kSizes) b->Args({n, e});
  }
  b->Unit(benchmark::kMicrosecond);
}

void peer_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"n"});
  for (std::int64_t n : kSizes) b->Args({n});
  b->Unit(benchmark::kMicrosecond);
}

#define QUARLEX_BENCH_ALL(op)                            \
  BENCHMARK_TEMPLATE(op, Elastic)->Apply(quarlex_args);  \
  BENCHMARK_TEMPLATE(op, Funnel)->Apply(quarlex_args);   \
  BENCHMARK_TEMPLATE(op, AbslFlat)->Apply(peer_args);    \
  BENCHMARK_TEMPLATE(op, StdUnordered)->Apply(peer_args)

QUARLEX_BENCH_ALL(BM_Insert);
QUARLEX_BENCH_ALL(BM_FindHit);
QUARLEX_BENCH_ALL(BM_FindMiss);
QUARLEX_BENCH_ALL(BM_Erase);

}  // namespace

BENCHMARK_MAIN();
