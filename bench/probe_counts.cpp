// Probe counters of both tables, without timing: for e = 3 and 6 and
// n = 2^10 .. 2^20, each table is filled by insertion (growth included) with
// n keys, then every stored key and n absent keys are looked up once. Prints
// one Markdown row per (e, n): mean / max probes per hit and per miss (the
// elastic table counts slots, the funnel table probe sites), and the elastic
// table's query-position horizon. Three table seeds are pooled per row.
//
//   build-bench/quarlex_probe_counts            # Markdown table
//   build-bench/quarlex_probe_counts --csv      # the same figures as CSV
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "quarlex/collections/hash_map.hpp"
#include "quarlex/common/hash.hpp"
#include "quarlex/common/probe_stats.hpp"
#include "quarlex/elastic/table.hpp"
#include "quarlex/funnel/table.hpp"

namespace {

using Key = std::uint64_t;
constexpr std::uint64_t kKeySalt = 0x243F6A8885A308D3ULL;
constexpr std::uint64_t kSeeds[] = {0x13198A2E03707344ULL, 0xA4093822299F31D0ULL,
                                    0x082EFA98EC4E6C89ULL};

struct Counts {
  double hit_mean = 0, miss_mean = 0;
  std::uint64_t hit_max = 0, miss_max = 0, horizon = 0;
};

template <class Table>
Counts count(std::size_t n, std::uint32_t e) {
  quarlex::probe_stats.reset();
  std::uint64_t horizon = 0;
  for (std::uint64_t seed : kSeeds) {
    quarlex::HashMap<Table> m(Table::with_capacity(0, e, seed));
    for (std::uint64_t i = 0; i < n; ++i) {
      const Key k = quarlex::mix64(i ^ kKeySalt);
      m.insert(Key{k}, Key{k});
    }
    if constexpr (requires { m.table().horizon(); }) {
      horizon = std::max<std::uint64_t>(horizon, m.table().horizon());
    }
    for (std::uint64_t i = 0; i < 2 * n; ++i) (void)m.contains(quarlex::mix64(i ^ kKeySalt));
  }
  const auto& s = quarlex::probe_stats;
  return Counts{s.hit.mean_probes(), s.miss.mean_probes(), s.hit.max_probes, s.miss.max_probes,
                horizon};
}

}  // namespace

int main(int argc, char** argv) {
  const bool csv = argc > 1 && std::strcmp(argv[1], "--csv") == 0;
  if (csv) {
    std::puts("e,log2n,table,hit_mean,hit_max,miss_mean,miss_max,horizon");
  } else {
    std::puts("| e | n | Elastic hit | Elastic miss | Elastic horizon | Funnel hit | Funnel miss |");
    std::puts("|---|---|---:|---:|---:|---:|---:|");
  }
  for (std::uint32_t e : {3u, 6u}) {
    for (unsigned k = 10; k <= 20; ++k) {
      const std::size_t n = std::size_t{1} << k;
      const Counts el = count<quarlex::ElasticTable<Key, Key>>(n, e);
      const Counts fu = count<quarlex::FunnelTable<Key, Key>>(n, e);
      if (csv) {
        for (const auto& [name, c] : {std::pair{"Elastic", el}, std::pair{"Funnel", fu}}) {
          std::printf("%u,%u,%s,%.4f,%llu,%.4f,%llu,%llu\n", e, k, name, c.hit_mean,
                      static_cast<unsigned long long>(c.hit_max), c.miss_mean,
                      static_cast<unsigned long long>(c.miss_max),
                      static_cast<unsigned long long>(c.horizon));
        }
      } else {
        std::printf("| %u | 2^%u | %.3f / %llu | %.3f / %llu | %llu | %.3f / %llu | %.3f / %llu |\n",
                    e, k, el.hit_mean, static_cast<unsigned long long>(el.hit_max), el.miss_mean,
                    static_cast<unsigned long long>(el.miss_max),
                    static_cast<unsigned long long>(el.horizon), fu.hit_mean,
                    static_cast<unsigned long long>(fu.hit_max), fu.miss_mean,
                    static_cast<unsigned long long>(fu.miss_max));
      }
      std::fflush(stdout);
    }
  }
}
