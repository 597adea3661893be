// Elastic probing: prepared hashes, probe positions, query positions and the
// probe schedule.
//
// Probe j (1-based) of level i (0-based) lands at a position derived from the
// key's prepared hash x and the salt (i << 16) | ((j - 1) << 3); the low three
// salt bits number the rejection attempts of levels whose length is not a
// power of two. Probes are ordered by the injective query position
// phi(i + 1, j), and a table only ever uses positions up to 1,000,000.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarlex/common/errors.hpp"
#include "quarlex/common/hash.hpp"
#include "quarlex/common/probe.hpp"

namespace quarlex {

inline constexpr std::uint32_t kQueryPositionCap = 1'000'000;
inline constexpr const char* kQueryPositionsExhausted = "Elastic query-position convention exhausted";
// Uncapped probing in one level stops after this many probes.
inline constexpr std::uint32_t kProbeLimit = 4096;
inline constexpr std::uint32_t kRejectionAttempts = 8;
// Added to the table hash, so the elastic positions differ from the funnel
// table's for the same seed.
inline constexpr std::uint64_t kElasticHashOffset = 0xCB6D078629B6F4BAULL;

// What every elastic operation derives from a key's table hash.
struct PreparedHash {
  std::uint64_t x;           // table hash + offset; its Bloom bits are summary_mask(x)
  std::uint8_t fingerprint;  // fingerprint_of(x)

  static constexpr PreparedHash from_table_hash(std::uint64_t table_hash) noexcept {
    const std::uint64_t x = table_hash + kElasticHashOffset;
    return PreparedHash{x, fingerprint_of(x)};
  }
};

constexpr std::uint32_t probe_salt(std::size_t level, std::uint32_t probe) noexcept {
  return (static_cast<std::uint32_t>(level) << 16) | ((probe - 1) << 3);
}

// Salts hold nothing above the level's five bits (see kMaxElasticLevels), so
// the level needs no mask.
constexpr std::size_t salt_level(std::uint32_t salt) noexcept { return salt >> 16; }
constexpr std::uint32_t salt_probe(std::uint32_t salt) noexcept {
  return ((salt >> 3) & 0x1FFF) + 1;
}

inline std::uint64_t probe_mix(std::uint64_t x, std::uint32_t salt) noexcept {
  return probe_site_mix(x, salt);
}

// What level_position returns for a probe whose every attempt was rejected.
inline constexpr std::size_t kNoPosition = kRejected;

// Attempts 2 to 8 of the position rule, after the first was rejected.
[[gnu::cold, gnu::noinline]] inline std::size_t retry_position(std::uint64_t x, std::uint32_t salt,
                                                               std::uint64_t n,
                                                               std::uint64_t threshold) noexcept {
  for (std::uint32_t a = 1; a < kRejectionAttempts; ++a) {
    const std::size_t p = reduce_unbiased(probe_mix(x, salt | a), n, threshold);
    if (p != kRejected) return p;
  }
  return kNoPosition;
}

// The position rule with the level's threshold precomputed: one mix and one
// multiply unless the first attempt is rejected (probability below n/2^64).
// Every lookup probe runs it, so it is inlined and the rare retries are not;
// a plain index with a sentinel keeps the result in a register. `spread` is
// salt * kSaltSpread, which a caller stepping through a level's probes keeps
// by addition; level_position works it out.
[[gnu::always_inline]] inline std::size_t level_position_spread(std::uint64_t x,
                                                                std::uint32_t salt,
                                                                std::uint64_t spread,
                                                                std::uint64_t n,
                                                                std::uint64_t threshold) noexcept {
  const std::size_t p = reduce_unbiased(probe_site_mix_spread(x, spread), n, threshold);
  if (p != kRejected) [[likely]]
    return p;
  return retry_position(x, salt, n, threshold);
}

[[gnu::always_inline]] inline std::size_t level_position(std::uint64_t x, std::uint32_t salt,
                                                         std::uint64_t n,
                                                         std::uint64_t threshold) noexcept {
  return level_position_spread(x, salt, std::uint64_t{salt} * kSaltSpread, n, threshold);
}

enum class PhiCoordinate : std::uint8_t { I, J };

struct PhiError {
  enum class Kind : std::uint8_t { ZeroCoordinate, Overflow };
  Kind kind;
  PhiCoordinate coordinate = PhiCoordinate::I;  // meaningful for ZeroCoordinate only

  std::string debug() const {
    if (kind == Kind::Overflow) return "Overflow";
    return std::string("ZeroCoordinate { coordinate: ") +
           (coordinate == PhiCoordinate::I ? "I" : "J") + " }";
  }
};

namespace detail {

constexpr int bit_width128(u128 v) noexcept {
  const auto hi = static_cast<std::uint64_t>(v >> 64);
  return hi != 0 ? 64 + std::bit_width(hi) : std::bit_width(static_cast<std::uint64_t>(v));
}

// phi(i, j) for i, j >= 1: for each bit b of j from the top, the bits 1 and b;
// then a 0; then the bits of i. False when the string exceeds 128 bits.
constexpr bool phi_bits(u128 i, u128 j, u128& out) noexcept {
  u128 r = 0;
  for (int b = bit_width128(j) - 1; b >= 0; --b) {
    if ((r >> 126) != 0) return false;
    r = (r << 2) | 2 | ((j >> b) & 1);
  }
  if ((r >> 127) != 0) return false;
  r <<= 1;
  const int width = bit_width128(i);
  if (width == 128 || (r >> (128 - width)) != 0) return false;
  out = (r << width) | i;
  return true;
}

// Query position of probe j in level `level` (0-based). Inside the domain
// tables use (level < 32, 1 <= j < 2^16) it takes at most 39 bits, so plain
// 64-bit arithmetic suffices: the pairs (1, b) for the bits b of j are j's
// bits spread to the even positions under a 1 in every odd one.
constexpr std::uint64_t phi_in_domain(std::size_t level, std::uint32_t j) noexcept {
  std::uint64_t v = j;
  v = (v | (v << 8)) & 0x00FF00FFu;
  v = (v | (v << 4)) & 0x0F0F0F0Fu;
  v = (v | (v << 2)) & 0x33333333u;
  v = (v | (v << 1)) & 0x55555555u;
  const int pairs = 2 * std::bit_width(j);
  const std::uint64_t code = v | (0xAAAAAAAAu & ((std::uint64_t{1} << pairs) - 1));
  const std::uint64_t i = level + 1;
  return (code << (1 + std::bit_width(i))) | i;
}

}  // namespace detail

inline Result<u128, PhiError> elastic_phi(u128 i, u128 j) {
  if (i == 0) return PhiError{PhiError::Kind::ZeroCoordinate, PhiCoordinate::I};
  if (j == 0) return PhiError{PhiError::Kind::ZeroCoordinate, PhiCoordinate::J};
  u128 out = 0;
  if (!detail::phi_bits(i, j, out)) return PhiError{PhiError::Kind::Overflow};
  return out;
}

// A probe's salt keeps the level in five bits.
inline constexpr std::size_t kMaxElasticLevels = 32;
static_assert(probe_salt(kMaxElasticLevels - 1, kProbeLimit) + kRejectionAttempts - 1 < (1u << 21),
              "a salt's level is its top five bits");

// Largest probe number of each level whose query position is within the cap
// (383 for level 0, 255 for levels 1 and 2, ... 63 for level 31).
inline constexpr std::array<std::uint32_t, kMaxElasticLevels> kMaxProbeWithinCap = [] {
  std::array<std::uint32_t, kMaxElasticLevels> a{};
  for (std::size_t level = 0; level < kMaxElasticLevels; ++level) {
    std::uint32_t j = 0;
    while (j < kProbeLimit && detail::phi_in_domain(level, j + 1) <= kQueryPositionCap) ++j;
    a[level] = j;
  }
  return a;
}();

// Routes a level can ever contribute to the schedule: level 0's first probe
// is checked on its own and never scheduled.
constexpr std::size_t schedule_routes_for_level(std::size_t level) noexcept {
  return kMaxProbeWithinCap[level] - (level == 0 ? 1 : 0);
}

// Schedule capacity for a table of `levels` levels (at most 32).
constexpr std::size_t schedule_capacity(std::size_t levels) noexcept {
  std::size_t total = 0;
  for (std::size_t i = 0; i < levels; ++i) total += schedule_routes_for_level(i);
  return total;
}
static_assert(schedule_capacity(kMaxElasticLevels) <= 0xFFFF, "schedule offsets are 16 bits");

// One scheduled probe: its query position phi(level + 1, probe) and salt.
struct PhiRoute {
  std::uint32_t key;
  std::uint32_t salt;

  std::size_t level() const noexcept { return salt_level(salt); }
  std::uint32_t probe() const noexcept { return salt_probe(salt); }
  friend bool operator==(const PhiRoute&, const PhiRoute&) = default;
};

// Every route any table can schedule, level after level in probe order
// from each level's first schedulable probe. A route depends on its level
// and probe alone, so all tables share these (34 KB, built by the
// compiler) and a schedule keeps only counts into them and its walk.
inline constexpr std::array<std::uint16_t, kMaxElasticLevels + 1> kRouteStart = [] {
  std::array<std::uint16_t, kMaxElasticLevels + 1> start{};
  for (std::size_t level = 0; level < kMaxElasticLevels; ++level) {
    start[level + 1] = static_cast<std::uint16_t>(start[level] + schedule_routes_for_level(level));
  }
  return start;
}();

// The first probe of a level that can be scheduled.
constexpr std::uint32_t first_scheduled_probe(std::size_t level) noexcept {
  return level == 0 ? 2 : 1;
}

// The query position of level 0's first probe, the one a lookup checks on its
// own.
inline constexpr std::uint32_t kFirstQueryPosition =
    static_cast<std::uint32_t>(detail::phi_in_domain(0, 1));

inline constexpr auto kRoutes = [] {
  std::array<PhiRoute, schedule_capacity(kMaxElasticLevels)> routes{};
  for (std::size_t level = 0; level < kMaxElasticLevels; ++level) {
    const std::uint32_t first = first_scheduled_probe(level);
    for (std::uint32_t r = 0; r < schedule_routes_for_level(level); ++r) {
      routes[kRouteStart[level] + r] = PhiRoute{
          static_cast<std::uint32_t>(detail::phi_in_domain(level, first + r)),
          probe_salt(level, first + r)};
    }
  }
  return routes;
}();

// The inverse of kSaltSpread modulo 2^64 (it is odd): a spread times it
// gives back its salt. Newton's iteration doubles the correct low bits.
inline constexpr std::uint64_t kSaltSpreadInverse = [] {
  std::uint64_t inv = kSaltSpread;  // correct to 3 bits, as for any odd number
  for (int i = 0; i < 5; ++i) inv *= 2 - kSaltSpread * inv;
  return inv;
}();
static_assert(kSaltSpread * kSaltSpreadInverse == 1);

// One step of a lookup's walk: a scheduled route with what a lookup derives
// from it (its level, and its spread salt * kSaltSpread) worked out once,
// when the route joins the walk. The route's query position rides along for
// the merges, which order steps by it; its salt is implied by the spread and
// only read back when a rejected reduction retries.
struct WalkStep {
  std::uint64_t spread;
  std::uint32_t key;
  std::uint32_t level;

  static constexpr WalkStep of(const PhiRoute& r) noexcept {
    return WalkStep{std::uint64_t{r.salt} * kSaltSpread, r.key,
                    static_cast<std::uint32_t>(salt_level(r.salt))};
  }
  constexpr std::uint32_t salt() const noexcept {
    return static_cast<std::uint32_t>(spread * kSaltSpreadInverse);
  }
};

// The probe schedule up to a horizon H: exactly one route for each
// (level i, probe j) with phi(i + 1, j) <= H, except (0, 1), which a lookup
// checks on its own. Level i's routes are the first counts_[i] of its
// segment of kRoutes, in probe order and so in increasing query position.
//
// The walk is what a lookup visits: per level, the leading routes of its
// segment up to the deepest probe at which an entry was placed since the
// last clear (later probes hold no entry), merged across levels by query
// position. It keeps only the steps of the routes. Its room grows only when
// an extension needs it, and never past the routes within the position cap,
// so a table that reaches small query positions only keeps a small walk.
// Invariant: walk_ holds the steps of the first walk_len_[i] routes of every
// segment i in increasing query position, walk_len_[i] <= counts_[i], and
// the counts sum to at most walk_.size(), the room.
class ProbeSchedule {
 public:
  ProbeSchedule() noexcept = default;
  // A schedule for `levels` levels (at most 32), with no room yet.
  explicit ProbeSchedule(std::size_t levels) noexcept : levels_(levels) {}

  // Adds the routes with query positions in (horizon, position]; throws
  // AllocFailure, with nothing changed, when their room cannot be had.
  void extend(std::uint32_t position) {
    if (position > kQueryPositionCap) panic(kQueryPositionsExhausted);
    if (!try_extend(position)) throw AllocFailure(TryReserveError::AllocError);
  }

  // As extend, but false, with nothing changed, when the room cannot be had.
  bool try_extend(std::uint32_t position) noexcept {
    if (position > kQueryPositionCap) return false;
    Counts need{};
    std::size_t total = 0;
    for (std::size_t level = 0; level < levels_; ++level) {
      const PhiRoute* segment = level_routes(level);
      std::size_t n = counts_[level];
      for (const std::size_t end = schedule_routes_for_level(level);
           n < end && segment[n].key <= position;) {
        ++n;
      }
      need[level] = static_cast<std::uint16_t>(n);
      total += n;
    }
    if (total > walk_.size() && !try_room_for(total)) return false;
    counts_ = need;
    horizon_ = position;
    return true;
  }

  // Takes over the routes and walk of `o`, which is left a fresh schedule.
  void take(ProbeSchedule& o) noexcept {
    walk_ = std::exchange(o.walk_, {});
    counts_ = o.counts_;
    walk_len_ = o.walk_len_;
    walk_size_ = o.walk_size_;
    levels_ = std::exchange(o.levels_, 0);
    horizon_ = o.horizon_;
    o.clear();
  }

  // Takes in more levels, with no room yet; the walk stays.
  void widen(std::size_t levels) noexcept { levels_ = std::max(levels_, levels); }

  // Lets the walk reach probe `probe` of `level`, already scheduled: its new
  // routes are merged in from the back, so nothing moves twice.
  void reach(std::size_t level, std::uint32_t probe) noexcept {
    const std::size_t depth = probe + 1 - first_probe(level);
    if (depth <= walk_len_[level]) return;
    const PhiRoute* run = level_routes(level) + walk_len_[level];
    std::size_t r = depth - walk_len_[level];
    std::size_t w = walk_size_;
    walk_size_ += r;
    WalkStep* out = walk_.data() + walk_size_;
    while (r > 0) {
      if (w > 0 && walk_[w - 1].key > run[r - 1].key) {
        *--out = walk_[--w];
      } else {
        *--out = WalkStep::of(run[--r]);
      }
    }
    walk_len_[level] = static_cast<std::uint16_t>(depth);
  }

  // As reach, but the walk takes the new routes only at the next
  // merge_walk(); until then it lacks them. A rebuild re-places every entry
  // and would otherwise merge once per new depth, each time moving most of
  // the walk.
  void reach_later(std::size_t level, std::uint32_t probe) noexcept {
    const std::size_t depth = probe + 1 - first_probe(level);
    if (depth > walk_len_[level]) walk_len_[level] = static_cast<std::uint16_t>(depth);
  }

  // Rebuilds the walk from the leading walk_len_[i] routes of every segment,
  // merged by query position.
  void merge_walk() noexcept {
    Counts next{};
    std::size_t w = 0;
    for (;;) {
      std::size_t best = levels_;
      std::uint32_t best_key = std::numeric_limits<std::uint32_t>::max();
      for (std::size_t level = 0; level < levels_; ++level) {
        if (next[level] < walk_len_[level] && level_routes(level)[next[level]].key < best_key) {
          best = level;
          best_key = level_routes(level)[next[level]].key;
        }
      }
      if (best == levels_) break;
      walk_[w++] = WalkStep::of(level_routes(best)[next[best]++]);
    }
    walk_size_ = w;
  }

  void clear() noexcept {
    counts_.fill(0);
    walk_len_.fill(0);
    walk_size_ = 0;
    horizon_ = 0;
  }

  std::uint32_t horizon() const noexcept { return horizon_; }
  // Whether probe `probe` of `level` lies within the horizon, known without
  // its query position: the scheduled routes are exactly those within it, in
  // probe order. Level 0's first probe is never scheduled; the horizon covers
  // it once it reaches that probe's position.
  bool covers(std::size_t level, std::uint32_t probe) const noexcept {
    const std::uint32_t first = first_probe(level);
    if (probe < first) return horizon_ >= kFirstQueryPosition;
    return probe - first < counts_[level];
  }
  // Levels this schedule has room for.
  std::size_t levels() const noexcept { return levels_; }
  // Routes the walk has room for.
  std::size_t capacity() const noexcept { return walk_.size(); }
  // What the walk allocated.
  std::size_t heap_bytes() const noexcept { return walk_.capacity() * sizeof(WalkStep); }
  std::size_t size() const noexcept {
    std::size_t n = 0;
    for (std::size_t level = 0; level < levels_; ++level) n += counts_[level];
    return n;
  }

  // The routes of one level, in probe order: the first level_size(level)
  // are scheduled.
  static const PhiRoute* level_routes(std::size_t level) noexcept {
    return kRoutes.data() + kRouteStart[level];
  }
  std::size_t level_size(std::size_t level) const noexcept { return counts_[level]; }

  // The steps of the walk, in increasing query position.
  const WalkStep* walk_begin() const noexcept { return walk_.data(); }
  const WalkStep* walk_end() const noexcept { return walk_.data() + walk_size_; }
  std::size_t walk_len(std::size_t level) const noexcept { return walk_len_[level]; }

  // Every route in increasing query position.
  std::vector<PhiRoute> ordered() const {
    std::vector<PhiRoute> out;
    for (std::size_t level = 0; level < levels_; ++level) {
      out.insert(out.end(), level_routes(level), level_routes(level) + counts_[level]);
    }
    std::sort(out.begin(), out.end(),
              [](const PhiRoute& a, const PhiRoute& b) { return a.key < b.key; });
    return out;
  }

  static constexpr std::uint32_t first_probe(std::size_t level) noexcept {
    return first_scheduled_probe(level);
  }

 private:
  using Counts = std::array<std::uint16_t, kMaxElasticLevels>;

  // Gives the walk room for `total` routes: twice its room (and four more)
  // or what is needed, within what its levels can ever use. False, with
  // nothing changed, when the memory cannot be had.
  bool try_room_for(std::size_t total) noexcept {
    const std::size_t room =
        std::min(schedule_capacity(levels_), std::max(total, 2 * walk_.size() + 4));
    std::vector<WalkStep> walk;
    try {
      walk.resize(room);
    } catch (const std::bad_alloc&) {
      return false;
    }
    std::copy_n(walk_.data(), walk_size_, walk.data());
    walk_ = std::move(walk);
    return true;
  }

  std::vector<WalkStep> walk_;
  Counts counts_{};
  Counts walk_len_{};
  std::size_t walk_size_ = 0;
  std::size_t levels_ = 0;
  std::uint32_t horizon_ = 0;
};

}  // namespace quarlex
