// Elastic geometry: level lengths, batch quotas, slot counts, and the batch
// tracker.
//
// A table of n slots is cut into levels whose lengths roughly halve (level 0
// takes ceil(n/2), the last level the remainder). Insertions come in batches:
// batch 0 fills level 0 to three quarters, batch t >= 1 fills level t to three
// quarters and tops level t-1 up until only a delta/2 share of it is free
// (delta = 2^-e). The quotas sum to at most the insertion limit
// n - (n >> e), which is the table's capacity.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "quarlex/common/errors.hpp"
#include "quarlex/common/probe.hpp"

namespace quarlex {

// Slot counts chosen for a budget, by growth or by `reserve` stay powers of
// two up to this cap.
inline constexpr std::size_t kMaxElasticSlots = std::size_t{1} << 31;

// Stop for a geometry that validation should have ruled out.
[[noreturn]] inline void panic_invalid_geometry() {
  panic("validated Elastic library geometry: " + ConfigError::exponent_zero().debug());
}

// v >> s, where shifting by the word width or more leaves nothing.
constexpr std::size_t shr_or_zero(std::size_t v, std::uint64_t s) noexcept {
  return s >= std::numeric_limits<std::size_t>::digits ? 0 : v >> s;
}

// Level lengths for n slots: ceil(log2 n) levels, each taking the ceiling of
// half of what is left, the last one the whole remainder.
inline std::vector<std::size_t> elastic_level_lengths(std::size_t n) {
  if (n == 0) return {};
  if (n == 1) return {1};
  const std::size_t count = static_cast<std::size_t>(std::bit_width(n - 1));
  std::vector<std::size_t> lengths(count);
  std::size_t rest = n;
  for (std::size_t i = 0; i + 1 < count; ++i) {
    lengths[i] = rest - rest / 2;
    rest -= lengths[i];
  }
  lengths[count - 1] = rest;
  return lengths;
}

// Batch quotas, each clamped to the budget the earlier batches left.
inline std::vector<std::size_t> elastic_batch_quotas(const std::vector<std::size_t>& lengths,
                                                     std::size_t insert_limit, std::uint32_t e) {
  std::vector<std::size_t> quotas(lengths.size());
  std::size_t budget = insert_limit;
  for (std::size_t t = 0; t < lengths.size(); ++t) {
    std::size_t want = lengths[t] - lengths[t] / 4;
    if (t > 0) {
      const std::size_t prev = lengths[t - 1];
      want += prev / 4 - shr_or_zero(prev, std::uint64_t{e} + 1);
    }
    quotas[t] = std::min(budget, want);
    budget -= quotas[t];
  }
  return quotas;
}

struct ElasticGeometry {
  std::vector<std::size_t> level_lengths;
  std::vector<std::size_t> batch_quotas;  // one per level
  std::size_t slots = 0;                  // sum of level_lengths
  std::size_t insert_limit = 0;           // slots - (slots >> e)

  static ElasticGeometry for_slots(std::size_t slots, std::uint32_t e) {
    if (slots >= 2 && e == 0) {
      panic_invalid_geometry();
    }
    ElasticGeometry g;
    g.slots = slots;
    g.insert_limit = quarlex::insert_limit(slots, e);
    g.level_lengths = elastic_level_lengths(slots);
    g.batch_quotas = elastic_batch_quotas(g.level_lengths, g.insert_limit, e);
    return g;
  }

  // The smallest power of two from 8 up to 2^31 whose limit covers the
  // budget; nothing when even 2^31 slots are too few.
  static std::optional<std::size_t> slots_for_insert_budget(std::size_t budget, std::uint32_t e) {
    if (budget == 0) return std::size_t{0};
    for (std::size_t c = 8; c <= kMaxElasticSlots; c *= 2) {
      if (quarlex::insert_limit(c, e) >= budget) return c;
    }
    return std::nullopt;
  }

  static std::optional<ElasticGeometry> for_insert_budget(std::size_t budget, std::uint32_t e) {
    const auto slots = slots_for_insert_budget(budget, e);
    if (!slots) return std::nullopt;
    return for_slots(*slots, e);
  }
};

// Which batch an insertion belongs to, given the live count.
//
// Invariants: `ends_[k]` is the (saturating) sum of quotas 0..k, so it never
// decreases; after `sync(c)`, `index_` is the first batch whose end exceeds c
// (or the last batch once every quota is spent), `start_` is the end of the
// batch before it (0 for batch 0) and `end_` its own end. With no batches the
// range is [0, max) on batch 0. The tracker is synced lazily: only when the
// count has left [start_, end_).
class BatchScheduler {
 public:
  BatchScheduler() noexcept = default;

  // The quotas' storage becomes the ends, so a table built from a geometry
  // it no longer needs allocates nothing here.
  explicit BatchScheduler(std::vector<std::size_t> quotas) noexcept : ends_(std::move(quotas)) {
    std::size_t sum = 0;
    for (std::size_t& end : ends_) {
      sum = end > kNone - sum ? kNone : sum + end;
      end = sum;
    }
    sync(0);
  }

  bool stale(std::size_t count) const noexcept { return count < start_ || count >= end_; }

  // Branch-free binary search for the number of ends <= count.
  void sync(std::size_t count) noexcept {
    const std::size_t n = ends_.size();
    if (n == 0) {
      index_ = 0;
      start_ = 0;
      end_ = kNone;
      return;
    }
    const std::size_t* base = ends_.data();
    for (std::size_t len = n; len > 1;) {
      const std::size_t half = len / 2;
      base += static_cast<std::size_t>(base[half] <= count) * half;
      len -= half;
    }
    const std::size_t below = static_cast<std::size_t>(base - ends_.data()) + (*base <= count);
    index_ = std::min(below, n - 1);
    start_ = index_ == 0 ? 0 : ends_[index_ - 1];
    end_ = ends_[index_];
  }

  std::size_t index() const noexcept { return index_; }
  std::size_t start() const noexcept { return start_; }
  std::size_t end() const noexcept { return end_; }
  const std::vector<std::size_t>& ends() const noexcept { return ends_; }

 private:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  std::vector<std::size_t> ends_;
  std::size_t index_ = 0;
  std::size_t start_ = 0;
  std::size_t end_ = kNone;
};

}  // namespace quarlex
