// Probe counters, compiled in only where QUARLEX_PROBE_STATS is defined (the
// benchmarks); elsewhere a tally is empty and every call on it compiles to
// nothing.
//
// A lookup is a hit or a miss. `probes` counts the probe sites it visited
// (elastic: slots; funnel: level buckets, uniform slots and two-choice
// buckets; a full scan counts every slot), `compares` the key comparisons.
// Per thread, so concurrent readers never race.
#pragma once

#include <cstdint>

namespace quarlex {

#ifdef QUARLEX_PROBE_STATS
struct ProbeStats {
  struct Side {
    std::uint64_t lookups = 0;
    std::uint64_t probes = 0;
    std::uint64_t compares = 0;
    std::uint64_t max_probes = 0;
    double mean_probes() const noexcept {
      return lookups ? double(probes) / double(lookups) : 0.0;
    }
    double mean_compares() const noexcept {
      return lookups ? double(compares) / double(lookups) : 0.0;
    }
  };
  Side hit;
  Side miss;
  std::uint64_t summary_rejects = 0;
  std::uint64_t fallback_scans = 0;

  void reset() noexcept { *this = ProbeStats{}; }
};

inline thread_local ProbeStats probe_stats;
#endif

// Tally of one lookup.
struct ProbeTally {
#ifdef QUARLEX_PROBE_STATS
  std::uint64_t probes = 0;
  std::uint64_t compares = 0;
  void probe(std::uint64_t k = 1) noexcept { probes += k; }
  void compare() noexcept { ++compares; }
  void record(bool hit) const noexcept {
    ProbeStats::Side& s = hit ? probe_stats.hit : probe_stats.miss;
    ++s.lookups;
    s.probes += probes;
    s.compares += compares;
    if (probes > s.max_probes) s.max_probes = probes;
  }
  static void summary_reject() noexcept { ++probe_stats.summary_rejects; }
  static void fallback_scan() noexcept { ++probe_stats.fallback_scans; }
#else
  void probe(std::uint64_t = 1) noexcept {}
  void compare() noexcept {}
  void record(bool) const noexcept {}
  static void summary_reject() noexcept {}
  static void fallback_scan() noexcept {}
#endif
};

}  // namespace quarlex
