// Probe counters of both tables, without timing: for e = 3 and 6 and
// n = 2^10 .. 2^20, each table is filled by insertion (growth included) with
// n keys, then every stored key and n absent keys are looked up once. Prints
// one Markdown row per (e, n): mean / max probes per hit and per miss (the
// elastic table counts slots, the funnel table probe sites), and the elastic
// table's query-position horizon. Each row pools tables with different seeds
// (at least eight, and enough for 2^18 stored keys in all): means are over all
// their lookups; max and horizon are the means of each table's own, which
// vary far less from run to run than their maximum.
//
//   build-bench/quarlex_probe_counts            # Markdown table
//   build-bench/quarlex_probe_counts --csv      # the same figures as CSV
//   build-bench/quarlex_probe_counts --by-exponent  # CSV, e = 1..10 at n = 2^16
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "quarlex/collections/hash_map.hpp"
#include "quarlex/common/hash.hpp"
#include "quarlex/common/probe_stats.hpp"
#include "quarlex/elastic/table.hpp"
#include "quarlex/funnel/table.hpp"

namespace {

using Key = std::uint64_t;
constexpr std::uint64_t kKeySalt = 0x243F6A8885A308D3ULL;

std::size_t tables_for(std::size_t n) { return std::max<std::size_t>(8, (std::size_t{1} << 18) / n); }

struct Counts {
  double hit_mean = 0, miss_mean = 0, hit_max = 0, miss_max = 0, horizon = 0;
};

template <class Table>
Counts count(std::size_t n, std::uint32_t e) {
  Counts c;
  quarlex::ProbeStats pooled;
  const std::size_t tables = tables_for(n);
  for (std::size_t t = 0; t < tables; ++t) {
    quarlex::HashMap<Table> m(Table::with_capacity(0, e, quarlex::mix64(t + 1)));
    for (std::uint64_t i = 0; i < n; ++i) {
      const Key k = quarlex::mix64(i ^ kKeySalt);
      m.insert(Key{k}, Key{k});
    }
    if constexpr (requires { m.table().horizon(); }) c.horizon += m.table().horizon();
    quarlex::probe_stats.reset();
    for (std::uint64_t i = 0; i < 2 * n; ++i) (void)m.contains(quarlex::mix64(i ^ kKeySalt));
    const quarlex::ProbeStats& s = quarlex::probe_stats;
    for (auto [into, from] : {std::pair{&pooled.hit, &s.hit}, std::pair{&pooled.miss, &s.miss}}) {
      into->lookups += from->lookups;
      into->probes += from->probes;
    }
    c.hit_max += static_cast<double>(s.hit.max_probes);
    c.miss_max += static_cast<double>(s.miss.max_probes);
  }
  c.hit_mean = pooled.hit.mean_probes();
  c.miss_mean = pooled.miss.mean_probes();
  const auto k = static_cast<double>(tables);
  c.hit_max /= k;
  c.miss_max /= k;
  c.horizon /= k;
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  const bool by_exponent = argc > 1 && std::strcmp(argv[1], "--by-exponent") == 0;
  const bool csv = by_exponent || (argc > 1 && std::strcmp(argv[1], "--csv") == 0);
  if (csv) {
    std::puts("e,log2n,table,hit_mean,hit_max,miss_mean,miss_max,horizon");
  } else {
    std::puts("| e | n | Elastic hit | Elastic miss | Elastic horizon | Funnel hit | Funnel miss |");
    std::puts("|---|---|---:|---:|---:|---:|---:|");
  }
  // The plots' view: every exponent at one size. The funnel table takes
  // exponents from 3 up.
  const std::vector<std::uint32_t> exponents =
      by_exponent ? std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}
                  : std::vector<std::uint32_t>{3, 6};
  const unsigned first = by_exponent ? 16 : 10, last = by_exponent ? 16 : 20;
  for (std::uint32_t e : exponents) {
    for (unsigned k = first; k <= last; ++k) {
      const std::size_t n = std::size_t{1} << k;
      const Counts el = count<quarlex::ElasticTable<Key, Key>>(n, e);
      const Counts fu = e >= 3 ? count<quarlex::FunnelTable<Key, Key>>(n, e) : Counts{};
      if (csv) {
        for (const auto& [name, c] : {std::pair{"Elastic", el}, std::pair{"Funnel", fu}}) {
          if (e < 3 && name[0] == 'F') continue;
          std::printf("%u,%u,%s,%.4f,%.2f,%.4f,%.2f,%.0f\n", e, k, name, c.hit_mean, c.hit_max,
                      c.miss_mean, c.miss_max, c.horizon);
        }
      } else {
        std::printf("| %u | 2^%u | %.3f / %.1f | %.3f / %.1f | %.0f | %.3f / %.1f | %.3f / %.1f |\n", e,
                    k, el.hit_mean, el.hit_max, el.miss_mean, el.miss_max, el.horizon, fu.hit_mean,
                    fu.hit_max, fu.miss_mean, fu.miss_max);
      }
      std::fflush(stdout);
    }
  }
}
