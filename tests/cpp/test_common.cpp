// Tests of the shared foundations: failure texts and reserve parsing, arena
// sizing and ownership (block, regions, drop guard), control-byte groups, the
// scan cursor, and the table hash.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "quarlex/common/arena.hpp"
#include "quarlex/common/control.hpp"
#include "quarlex/common/errors.hpp"
#include "quarlex/common/hash.hpp"
#include "quarlex/common/probe.hpp"
#include "quarlex/common/scan.hpp"

namespace quarlex {
namespace {

constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();

// ---------------------------------------------------------------- errors

TEST(CommonErrors, ReserveErrorTexts) {
  EXPECT_EQ(debug_text(TryReserveError::CapacityOverflow), "CapacityOverflow");
  EXPECT_EQ(debug_text(TryReserveError::AllocError), "AllocError");
  EXPECT_EQ(display_text(TryReserveError::CapacityOverflow), "capacity overflow");
  EXPECT_EQ(display_text(TryReserveError::AllocError), "memory allocation failed");

  const AllocFailure overflow(TryReserveError::CapacityOverflow);
  EXPECT_STREQ(overflow.what(), "capacity overflow");
  EXPECT_EQ(overflow.size(), 0u);
  const AllocFailure oom(TryReserveError::AllocError, 4096);
  EXPECT_STREQ(oom.what(), "memory allocation failed");
  EXPECT_EQ(oom.kind(), TryReserveError::AllocError);
  EXPECT_EQ(oom.size(), 4096u);
}

TEST(CommonErrors, ConfigErrorDebugForms) {
  EXPECT_EQ(ConfigError::too_small(5).debug(), "NTooSmall { n: 5 }");
  EXPECT_EQ(ConfigError::too_small(0).debug(), "NTooSmall { n: 0 }");
  EXPECT_EQ(ConfigError::too_small(kSizeMax).debug(), "NTooSmall { n: 18446744073709551615 }");
  EXPECT_EQ(ConfigError::exponent_zero().debug(), "ExponentZero");
}

TEST(CommonErrors, ReserveIssueTexts) {
  EXPECT_EQ(display_text(ReserveIssue::ExponentNotPositive), "reserve exponent must be positive");
  EXPECT_EQ(display_text(ReserveIssue::FractionNotFinite), "reserve fraction must be finite");
  EXPECT_EQ(display_text(ReserveIssue::FractionNotPositive), "reserve fraction must be positive");
  EXPECT_EQ(display_text(ReserveIssue::FractionNotBelowOne),
            "reserve fraction must be less than one");
  EXPECT_EQ(display_text(ReserveIssue::FractionNotInversePowerOfTwo),
            "reserve fraction must be an exact inverse power of two");
}

TEST(CommonErrors, BuildErrorDisplay) {
  for (auto issue : {ReserveIssue::ExponentNotPositive, ReserveIssue::FractionNotFinite,
                     ReserveIssue::FractionNotPositive, ReserveIssue::FractionNotBelowOne,
                     ReserveIssue::FractionNotInversePowerOfTwo}) {
    EXPECT_EQ(TryBuildError(TryBuildError::InvalidReserve{issue}).display(), display_text(issue));
  }
  using Below = TryBuildError::FunnelReserveBelowMinimum;
  EXPECT_EQ(TryBuildError(Below{0, 3}).display(),
            "Funnel reserve exponent 0 is below the minimum 3");
  EXPECT_EQ(TryBuildError(Below{2, 3}).display(),
            "Funnel reserve exponent 2 is below the minimum 3");
  EXPECT_EQ(TryBuildError(Below{4294967295u, 4294967295u}).display(),
            "Funnel reserve exponent 4294967295 is below the minimum 4294967295");
  EXPECT_EQ(TryBuildError(TryBuildError::Reserve{TryReserveError::CapacityOverflow}).display(),
            "capacity overflow");
  EXPECT_EQ(TryBuildError(TryReserveError::AllocError).display(), "memory allocation failed");

  EXPECT_EQ(TryBuildError(TryReserveError::AllocError),
            TryBuildError(TryBuildError::Reserve{TryReserveError::AllocError}));
  EXPECT_FALSE(TryBuildError(TryReserveError::AllocError) ==
               TryBuildError(TryReserveError::CapacityOverflow));
  EXPECT_FALSE(TryBuildError(Below{0, 3}) == TryBuildError(Below{1, 3}));
}

TEST(CommonErrors, PanicCarriesItsMessage) {
  try {
    panic("constructed Funnel layout: AllocError");
    FAIL() << "panic returned";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "constructed Funnel layout: AllocError");
    EXPECT_STREQ(p.what(), "constructed Funnel layout: AllocError");
  }
}

TEST(CommonErrors, ParseReserve) {
  const auto absent = parse_reserve(false, 0);
  ASSERT_TRUE(absent.ok());
  EXPECT_EQ(absent.value(), 3u);
  EXPECT_EQ(parse_reserve(false, 17).value(), 3u);

  const auto zero = parse_reserve(true, 0);
  ASSERT_FALSE(zero);
  ASSERT_TRUE(std::holds_alternative<TryBuildError::InvalidReserve>(zero.error().value()));
  EXPECT_EQ(std::get<TryBuildError::InvalidReserve>(zero.error().value()).issue,
            ReserveIssue::ExponentNotPositive);
  EXPECT_EQ(zero.error().display(), "reserve exponent must be positive");

  for (std::uint32_t e : {1u, 2u, 3u, 64u, 4294967295u}) {
    const auto r = parse_reserve(true, e);
    ASSERT_TRUE(r.ok()) << e;
    EXPECT_EQ(r.value(), e);
  }
}

TEST(CommonErrors, FunnelPreCheck) {
  EXPECT_EQ(kFunnelReserveMessage, "Funnel reserve must be at most 1/8 (reserve_exponent >= 3)");
  EXPECT_FALSE(funnel_reserve_acceptable(0));
  EXPECT_FALSE(funnel_reserve_acceptable(1));
  EXPECT_FALSE(funnel_reserve_acceptable(2));
  EXPECT_TRUE(funnel_reserve_acceptable(3));
  EXPECT_TRUE(funnel_reserve_acceptable(4294967295u));
}

// ---------------------------------------------------------------- arena layout

using u128 = unsigned __int128;

struct RefLayout {
  u128 slot_offset, summary_offset, summary_count, size;
};

u128 up(u128 v, u128 to) { return (v + to - 1) / to * to; }

// The block layout in exact arithmetic: control bytes padded to the machine
// word, slots, padded to 64, summaries, padded to 64. Nothing when the block
// would exceed the allocation limit (the limit is a multiple of 64, so the
// size rules reduce to "the final size fits").
std::optional<RefLayout> reference_layout(u128 n, u128 tail, u128 s, u128 m) {
  RefLayout r;
  r.slot_offset = up(n + tail, 8);
  r.summary_offset = up(r.slot_offset + n * s, 64);
  r.summary_count = (n + 9) / 10;
  r.size = up(r.summary_offset + r.summary_count * m, 64);
  if (r.size > kMaxAlloc) return std::nullopt;
  return r;
}

void expect_matches_reference(std::size_t n, std::size_t tail, std::size_t s, std::size_t m) {
  SCOPED_TRACE(::testing::Message() << "slots " << n << " tail " << tail << " slot size " << s
                                    << " summary size " << m);
  const auto got = compute_arena_layout(n, tail, s, m);
  const auto want = reference_layout(n, tail, s, m);
  if (!want) {
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error(), TryReserveError::AllocError);
    return;
  }
  ASSERT_TRUE(got.ok());
  const ArenaLayout& l = got.value();
  EXPECT_EQ(l.slots, n);
  EXPECT_EQ(l.ctrl_len, n + tail);
  EXPECT_EQ(l.slot_offset, static_cast<std::size_t>(want->slot_offset));
  EXPECT_EQ(l.summary_offset, static_cast<std::size_t>(want->summary_offset));
  EXPECT_EQ(l.summary_count, static_cast<std::size_t>(want->summary_count));
  EXPECT_EQ(l.size, static_cast<std::size_t>(want->size));
}

TEST(CommonArenaLayout, LimitIsLargestObjectRoundedDownTo64) {
  EXPECT_EQ(kMaxAlloc, 0x7FFFFFFFFFFFFFC0u);
  EXPECT_EQ(kArenaAlign, 64u);
}

TEST(CommonArenaLayout, ZeroSlotsMeansNoBlock) {
  for (std::size_t tail : {0u, 7u}) {
    const auto l = compute_arena_layout(0, tail, 24, 16);
    ASSERT_TRUE(l.ok());
    EXPECT_EQ(l.value().size, 0u);
    EXPECT_EQ(l.value().summary_count, 0u);
    auto block = ArenaBlock::allocate(l.value());
    ASSERT_TRUE(block.ok());
    EXPECT_TRUE(block.value().empty());
    EXPECT_EQ(block.value().base(), nullptr);
  }
}

TEST(CommonArenaLayout, FunnelMapOf144Slots) {
  struct Case {
    std::size_t slot_size, summary_offset, size;
  };
  // 144 control bytes and 7 tail bytes pad to 152; 15 eight-byte summaries.
  for (const Case c : {Case{12, 1920, 2048}, Case{24, 3648, 3776}, Case{16, 2496, 2624}}) {
    const auto r = compute_arena_layout(144, 7, c.slot_size, 8);
    ASSERT_TRUE(r.ok());
    const ArenaLayout& l = r.value();
    EXPECT_EQ(l.ctrl_len, 151u);
    EXPECT_EQ(l.slot_offset, 152u);
    EXPECT_EQ(l.summary_offset, c.summary_offset) << c.slot_size;
    EXPECT_EQ(l.summary_count, 15u);
    EXPECT_EQ(l.size, c.size) << c.slot_size;
  }
}

TEST(CommonArenaLayout, ElasticStyleLayout) {
  // No control tail; 16-byte summaries per started group of ten slots.
  const ArenaLayout one = compute_arena_layout(1, 0, 24, 16).value();
  EXPECT_EQ(one.slot_offset, 8u);
  EXPECT_EQ(one.summary_offset, 64u);
  EXPECT_EQ(one.summary_count, 1u);
  EXPECT_EQ(one.size, 128u);

  const ArenaLayout hundred = compute_arena_layout(100, 0, 24, 16).value();
  EXPECT_EQ(hundred.slot_offset, 104u);
  EXPECT_EQ(hundred.summary_offset, 2560u);
  EXPECT_EQ(hundred.summary_count, 10u);
  EXPECT_EQ(hundred.size, 2752u);

  const ArenaLayout more = compute_arena_layout(101, 0, 16, 16).value();
  EXPECT_EQ(more.slot_offset, 104u);
  EXPECT_EQ(more.summary_offset, 1728u);
  EXPECT_EQ(more.summary_count, 11u);
  EXPECT_EQ(more.size, 1920u);
}

TEST(CommonArenaLayout, SmallCountsMatchReferenceAndAlign) {
  for (std::size_t n = 1; n <= 300; ++n) {
    for (std::size_t tail : {0u, 7u}) {
      for (std::size_t s : {16u, 24u}) {
        for (std::size_t m : {0u, 8u, 16u}) {
          expect_matches_reference(n, tail, s, m);
          const ArenaLayout l = compute_arena_layout(n, tail, s, m).value();
          // Slots hold pointers and word-sized hashes: the slot array must be
          // word-aligned, the summary array and the block end 64-aligned.
          EXPECT_EQ(l.slot_offset % alignof(std::uint64_t), 0u) << n << " " << tail;
          EXPECT_GE(l.slot_offset, l.ctrl_len);
          EXPECT_EQ(l.summary_offset % 64, 0u);
          EXPECT_EQ(l.size % 64, 0u);
        }
      }
    }
  }
}

TEST(CommonArenaLayout, SlotArrayLimit) {
  for (std::size_t s : {24u, 16u}) {
    const std::size_t last_fitting = kMaxAlloc / s;
    EXPECT_LE(static_cast<u128>(last_fitting) * s, kMaxAlloc);
    EXPECT_GT(static_cast<u128>(last_fitting + 1) * s, kMaxAlloc);
    for (std::size_t n : {last_fitting, last_fitting + 1}) {
      const auto r = compute_arena_layout(n, 0, s, 0);
      ASSERT_FALSE(r.ok()) << n;
      EXPECT_EQ(r.error(), TryReserveError::AllocError);
    }
  }
  // Counts whose slot array wraps the machine word to a tiny size.
  const std::size_t wraps16 = std::size_t{1} << 60;  // x16 == 2^64
  const std::size_t wraps24 = ((std::size_t{1} << 61) + 1) / 3;  // x24 == 2^64 + 8
  EXPECT_EQ(wraps16 * 16, 0u);
  EXPECT_EQ(wraps24 * 24, 8u);
  EXPECT_EQ(compute_arena_layout(wraps16, 0, 16, 8).error(), TryReserveError::AllocError);
  EXPECT_EQ(compute_arena_layout(wraps24, 7, 24, 8).error(), TryReserveError::AllocError);
}

TEST(CommonArenaLayout, LargestAcceptedBlockIsExact) {
  for (std::size_t tail : {0u, 7u}) {
    for (std::size_t s : {16u, 24u}) {
      for (std::size_t m : {0u, 8u, 16u}) {
        u128 lo = 0, hi = kSizeMax - tail;
        while (lo < hi) {
          const u128 mid = (lo + hi + 1) / 2;
          if (reference_layout(mid, tail, s, m)) {
            lo = mid;
          } else {
            hi = mid - 1;
          }
        }
        const auto largest = static_cast<std::size_t>(lo);
        for (std::size_t n : {largest - 64, largest - 1, largest, largest + 1, largest + 64,
                              kMaxAlloc / s, kMaxAlloc / s + 1, kMaxAlloc, kSizeMax - tail}) {
          expect_matches_reference(n, tail, s, m);
        }
        EXPECT_TRUE(compute_arena_layout(largest, tail, s, m).ok());
        EXPECT_FALSE(compute_arena_layout(largest + 1, tail, s, m).ok());
      }
    }
  }
}

TEST(CommonArenaLayout, SummaryArrayCannotWrap) {
  // 2^54 summaries of 1024 bytes would wrap to zero bytes.
  const std::size_t n = std::size_t{10} << 54;
  const auto r = compute_arena_layout(n, 0, 1, 1024);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), TryReserveError::AllocError);
  expect_matches_reference(n, 0, 1, 1024);
}

TEST(CommonArenaLayout, ControlTailOverflowIsCapacityOverflow) {
  EXPECT_EQ(compute_arena_layout(kSizeMax - 6, 7, 16, 8).error(),
            TryReserveError::CapacityOverflow);
  EXPECT_EQ(compute_arena_layout(1, kSizeMax, 24, 8).error(), TryReserveError::CapacityOverflow);
  EXPECT_EQ(compute_arena_layout(kSizeMax - 7, 7, 16, 8).error(), TryReserveError::AllocError);
  EXPECT_EQ(compute_arena_layout(kSizeMax, 0, 24, 16).error(), TryReserveError::AllocError);
}

// ---------------------------------------------------------------- arena block

bool all_zero(const std::byte* p, std::size_t n) {
  return std::all_of(p, p + n, [](std::byte b) { return b == std::byte{0}; });
}

TEST(CommonArenaBlock, AllocateZeroesControlAndSummaries) {
  for (std::size_t slots : {1u, 9u, 144u, 1000u}) {
    const ArenaLayout l = compute_arena_layout(slots, 7, 24, 8).value();
    // Leave dirty memory behind for the allocator to hand out again.
    {
      ArenaBlock dirty = ArenaBlock::allocate(l).value();
      std::memset(dirty.base(), 0xA5, l.size);
    }
    const ArenaBlock b = ArenaBlock::allocate(l).value();
    ASSERT_FALSE(b.empty());
    EXPECT_EQ(b.size(), l.size);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.base()) % 64, 0u);
    EXPECT_TRUE(all_zero(b.base(), l.ctrl_len)) << slots;
    EXPECT_TRUE(all_zero(b.base() + l.summary_offset, l.size - l.summary_offset)) << slots;
    EXPECT_EQ(b.at<std::uint8_t>(l.slot_offset),
              reinterpret_cast<std::uint8_t*>(b.base()) + l.slot_offset);
  }
}

// Double frees and leaks are caught by the sanitizer build; here the owner
// states after each transfer are checked.
TEST(CommonArenaBlock, MoveAndResetTransferOwnership) {
  const ArenaLayout l = compute_arena_layout(64, 0, 16, 16).value();
  auto r = ArenaBlock::allocate(l);
  ASSERT_TRUE(r.ok());
  ArenaBlock a = std::move(r).value();
  std::byte* const p = a.base();
  ASSERT_NE(p, nullptr);

  ArenaBlock b(std::move(a));
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(b.base(), p);
  a.reset();

  ArenaBlock c = ArenaBlock::allocate(l).value();
  c = std::move(b);  // frees c's own block
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(c.base(), p);
  EXPECT_EQ(c.size(), l.size);

  c.reset();
  EXPECT_TRUE(c.empty());
  c.reset();
  EXPECT_TRUE(c.empty());
}

// ---------------------------------------------------------------- regions and guard

// Records which ids are owned by live objects, how many objects are alive,
// and any destruction of an object that is not alive (a double drop, or a
// drop of a slot that never held an entry).
struct Tracked {
  static constexpr int kIds = 256;
  static constexpr std::uint32_t kAlive = 0x600DF00D;
  static inline int live = 0;
  static inline int bad_drops = 0;
  static inline std::array<int, kIds> owners{};

  int id;
  std::uint32_t state = kAlive;

  explicit Tracked(int i) : id(i) {
    ++live;
    ++owners[static_cast<std::size_t>(i)];
  }
  Tracked(Tracked&& o) noexcept : id(std::exchange(o.id, -1)) { ++live; }
  Tracked& operator=(Tracked&&) = delete;
  ~Tracked() {
    if (state != kAlive) {
      ++bad_drops;
      return;
    }
    state = 0;
    --live;
    if (id >= 0) --owners[static_cast<std::size_t>(id)];
  }

  static void reset() {
    live = 0;
    bad_drops = 0;
    owners.fill(0);
  }
};

using Entry = SlotEntry<Tracked, Tracked>;
constexpr int kValueId = 128;  // value of slot i has id kValueId + i

class CommonSlotRegion : public ::testing::Test {
 protected:
  void SetUp() override { Tracked::reset(); }
  void TearDown() override {
    EXPECT_EQ(Tracked::bad_drops, 0);
    Tracked::reset();
  }
};

// A region whose control bytes live in an exact-size vector (a read past the
// region shows under AddressSanitizer) and whose slots live in an arena block.
// Slot memory starts as garbage that never reads as a live object.
struct TestRegion {
  std::vector<std::uint8_t> ctrl;
  ArenaBlock block;
  SlotRegion<Entry> region;

  explicit TestRegion(const std::vector<std::uint8_t>& bytes) : ctrl(bytes) {
    const ArenaLayout l = compute_arena_layout(bytes.size(), 0, sizeof(Entry), 0).value();
    block = ArenaBlock::allocate(l).value();
    region.ctrl = ctrl.data();
    region.len = bytes.size();
    region.entries = block.empty() ? nullptr : block.at<Entry>(l.slot_offset);
    if (!block.empty()) {
      std::memset(static_cast<void*>(region.entries), 0xCD, bytes.size() * sizeof(Entry));
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (ctrl_is_full(bytes[i])) {
        const int id = static_cast<int>(i);
        std::construct_at(&region.entries[i], Entry{Tracked(id), Tracked(kValueId + id)});
      }
    }
  }
};

struct OneRegion {
  SlotRegion<Entry> r;
  void drop_all_values() noexcept { r.drop_values(); }
};

struct TwoRegions {
  SlotRegion<Entry> a, b;
  void drop_all_values() noexcept {
    a.drop_values();
    b.drop_values();
  }
};

std::vector<std::size_t> full_indices(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (ctrl_is_full(bytes[i])) out.push_back(i);
  }
  return out;
}

// Control bytes of length `len`: a random mix of empty, tombstone and full.
std::vector<std::uint8_t> random_ctrl(std::size_t len, std::mt19937_64& rng) {
  std::vector<std::uint8_t> bytes(len);
  for (auto& b : bytes) {
    switch (rng() % 3) {
      case 0: b = kCtrlEmpty; break;
      case 1: b = kCtrlTombstone; break;
      default: b = static_cast<std::uint8_t>(1 + rng() % 127); break;
    }
  }
  return bytes;
}

std::vector<std::vector<std::uint8_t>> drain_patterns(std::size_t len, std::mt19937_64& rng) {
  std::vector<std::vector<std::uint8_t>> out;
  out.emplace_back(len, std::uint8_t{0x7F});
  out.emplace_back(len, kCtrlTombstone);
  out.emplace_back(len, std::uint8_t{0x01});
  for (int k = 0; k < 20; ++k) out.push_back(random_ctrl(len, rng));
  return out;
}

TEST_F(CommonSlotRegion, DrainVisitsFullSlotsInOrderAndClearsEveryByte) {
  std::mt19937_64 rng(7);
  for (std::size_t len : {0u, 2u, 7u, 8u, 9u, 17u}) {
    for (const auto& bytes : drain_patterns(len, rng)) {
      TestRegion t(bytes);
      const auto want = full_indices(bytes);
      std::vector<Entry> got;
      got.reserve(len);
      t.region.drain_values_and_clear([&](Entry&& e) { got.push_back(std::move(e)); });

      ASSERT_EQ(got.size(), want.size()) << len;
      for (std::size_t k = 0; k < want.size(); ++k) {
        EXPECT_EQ(got[k].key.id, static_cast<int>(want[k]));
        EXPECT_EQ(got[k].value.id, kValueId + static_cast<int>(want[k]));
      }
      EXPECT_TRUE(std::all_of(t.ctrl.begin(), t.ctrl.end(), [](std::uint8_t b) { return b == 0; }));
      EXPECT_EQ(Tracked::live, static_cast<int>(2 * want.size()));
      got.clear();
      EXPECT_EQ(Tracked::live, 0);
    }
  }
}

TEST_F(CommonSlotRegion, GuardDropsExactlyTheFullEntriesOfEveryRegion) {
  // Two regions in one block, as levels of an elastic table: 9 then 7 slots.
  std::vector<std::uint8_t> bytes = {0x11, 0x80, 0x00, 0x7F, 0x01, 0x80, 0x80, 0x22,
                                     0x33, 0x00, 0x44, 0x80, 0x00, 0x00, 0x55, 0x66};
  const ArenaLayout l = compute_arena_layout(bytes.size(), 0, sizeof(Entry), 16).value();
  ArenaBlock block = ArenaBlock::allocate(l).value();
  auto* ctrl = block.at<std::uint8_t>(0);
  auto* entries = block.at<Entry>(l.slot_offset);
  std::memcpy(ctrl, bytes.data(), bytes.size());
  std::memset(static_cast<void*>(entries), 0xCD, bytes.size() * sizeof(Entry));
  const auto full = full_indices(bytes);
  for (std::size_t i : full) {
    const int id = static_cast<int>(i);
    std::construct_at(&entries[i], Entry{Tracked(id), Tracked(kValueId + id)});
  }
  ASSERT_EQ(Tracked::live, static_cast<int>(2 * full.size()));

  TwoRegions regions{{ctrl, entries, 9}, {ctrl + 9, entries + 9, 7}};
  { ArenaDropGuard<TwoRegions> guard(std::move(block), regions); }
  EXPECT_EQ(Tracked::live, 0);
  EXPECT_TRUE(std::all_of(Tracked::owners.begin(), Tracked::owners.end(),
                          [](int n) { return n == 0; }));
}

TEST_F(CommonSlotRegion, DrainThatThrowsLeavesTheRestToTheGuard) {
  struct Boom : std::runtime_error {
    Boom() : std::runtime_error("consumer failed") {}
  };
  std::mt19937_64 rng(11);
  for (std::size_t len : {9u, 17u}) {
    for (const auto& bytes : drain_patterns(len, rng)) {
      const auto full = full_indices(bytes);
      for (std::size_t fail_at = 0; fail_at < full.size(); ++fail_at) {
        Tracked::reset();
        TestRegion t(bytes);
        std::vector<Entry> moved;
        moved.reserve(len);
        const auto consume = [&](Entry&& e) {
          if (moved.size() == fail_at) throw Boom();
          moved.push_back(std::move(e));
        };
        {
          ArenaDropGuard<OneRegion> guard(std::move(t.block), OneRegion{t.region});
          EXPECT_THROW(guard.regions().r.drain_values_and_clear(consume), Boom);
          // Slots up to the failing one are cleared; the rest still own theirs.
          for (std::size_t k = 0; k < full.size(); ++k) {
            EXPECT_EQ(ctrl_is_full(t.ctrl[full[k]]), k > fail_at) << len << " " << k;
          }
        }
        ASSERT_EQ(moved.size(), fail_at);
        EXPECT_EQ(Tracked::bad_drops, 0);
        EXPECT_EQ(Tracked::live, static_cast<int>(2 * moved.size()));
        for (std::size_t k = 0; k < full.size(); ++k) {
          const auto id = full[k];
          const int expected = k < fail_at ? 1 : 0;
          EXPECT_EQ(Tracked::owners[id], expected) << "slot " << id;
          EXPECT_EQ(Tracked::owners[kValueId + id], expected) << "slot " << id;
        }
        moved.clear();
        EXPECT_EQ(Tracked::live, 0);
      }
    }
  }
}

TEST_F(CommonSlotRegion, DisarmedGuardDropsNothing) {
  const std::vector<std::uint8_t> bytes = {0x01, 0x80, 0x02, 0x00, 0x03, 0x04, 0x05, 0x06, 0x07};
  TestRegion t(bytes);
  const int before = Tracked::live;
  ASSERT_EQ(before, 2 * 7);
  {
    ArenaDropGuard<OneRegion> guard(std::move(t.block), OneRegion{t.region});
    guard.disarm_values();
  }
  EXPECT_EQ(Tracked::live, before);
}

TEST_F(CommonSlotRegion, DrainThenDisarmFreesOnlyTheBlock) {
  const std::vector<std::uint8_t> bytes = {0x01, 0x80, 0x02, 0x00, 0x03, 0x04, 0x05, 0x06, 0x07};
  TestRegion t(bytes);
  std::vector<Entry> moved;
  {
    ArenaDropGuard<OneRegion> guard(std::move(t.block), OneRegion{t.region});
    guard.regions().r.drain_values_and_clear([&](Entry&& e) { moved.push_back(std::move(e)); });
    guard.disarm_values();
  }
  EXPECT_EQ(moved.size(), 7u);
  EXPECT_EQ(Tracked::live, 14);
  moved.clear();
  EXPECT_EQ(Tracked::live, 0);
}

// ---------------------------------------------------------------- groups

template <class Pred>
std::uint64_t reference_mask(std::uint64_t w, Pred pred) {
  std::uint64_t m = 0;
  for (unsigned k = 0; k < 8; ++k) {
    if (pred(static_cast<std::uint8_t>(w >> (8 * k)))) m |= 0x80ULL << (8 * k);
  }
  return m;
}

void expect_masks(std::uint64_t w, std::uint8_t fp) {
  const auto full = reference_mask(w, [](std::uint8_t b) { return (b & 0x7F) != 0; });
  const auto free_bytes = reference_mask(w, [](std::uint8_t b) { return (b & 0x7F) == 0; });
  const auto match = reference_mask(w, [fp](std::uint8_t b) { return b == fp; });
  ASSERT_EQ(group_full_mask(w), full) << std::hex << w;
  ASSERT_EQ(group_free_mask(w), free_bytes) << std::hex << w;
  ASSERT_EQ(group_match_mask(w, fp), match) << std::hex << w << " fp " << int{fp};
  ASSERT_EQ(group_match_or_free_mask(w, fp), match | free_bytes)
      << std::hex << w << " fp " << int{fp};
}

TEST(CommonGroups, MasksAgreeWithBytewiseReference) {
  std::mt19937_64 rng(3);
  // Words built mostly from the interesting bytes, so matches are frequent.
  for (int i = 0; i < 200000; ++i) {
    const auto fp = static_cast<std::uint8_t>(1 + rng() % 127);
    std::uint64_t w = 0;
    for (unsigned k = 0; k < 8; ++k) {
      const std::uint8_t choices[] = {0x00, 0x80, fp, static_cast<std::uint8_t>(fp ^ 0x80),
                                      static_cast<std::uint8_t>(rng())};
      w |= std::uint64_t{choices[rng() % 5]} << (8 * k);
    }
    expect_masks(w, fp);
    expect_masks(rng(), fp);
  }
}

TEST(CommonGroups, EveryByteValueInEveryLane) {
  std::mt19937_64 rng(5);
  for (unsigned lane = 0; lane < 8; ++lane) {
    for (unsigned v = 0; v < 256; ++v) {
      for (unsigned fp = 1; fp < 128; ++fp) {
        const std::uint64_t background = rng() & ~(0xFFULL << (8 * lane));
        expect_masks(background | (std::uint64_t{v} << (8 * lane)), static_cast<std::uint8_t>(fp));
      }
    }
  }
}

TEST(CommonGroups, LowestAndBelow) {
  std::mt19937_64 rng(9);
  for (unsigned k = 0; k < 8; ++k) {
    for (int i = 0; i < 64; ++i) {
      const std::uint64_t above = k == 7 ? 0 : (rng() & kHigh1) << (8 * (k + 1));
      EXPECT_EQ(mask_lowest((0x80ULL << (8 * k)) | above), k);
    }
  }
  EXPECT_EQ(mask_lowest(kHigh1), 0u);
  for (unsigned n = 0; n <= 8; ++n) {
    std::uint64_t want = 0;
    for (unsigned k = 0; k < n; ++k) want |= 0xFFULL << (8 * k);
    EXPECT_EQ(mask_below(n), want) << n;
  }
  // Keeping the full bytes of a short tail group.
  EXPECT_EQ(group_full_mask(0x0101010101010101ULL) & mask_below(3), 0x808080ULL);
}

// ---------------------------------------------------------------- scan cursor

std::vector<std::size_t> scan_all(const std::vector<std::uint8_t>& bytes) {
  GroupCursor c = GroupCursor::over(bytes.data(), bytes.size());
  std::vector<std::size_t> out;
  while (auto i = c.next_full()) out.push_back(*i);
  EXPECT_FALSE(c.next_full().has_value());
  return out;
}

TEST(CommonGroupCursor, AgreesWithBytewiseReference) {
  std::mt19937_64 rng(13);
  for (std::size_t len = 0; len <= 40; ++len) {
    for (int k = 0; k < 50; ++k) {
      const auto bytes = random_ctrl(len, rng);
      EXPECT_EQ(scan_all(bytes), full_indices(bytes)) << len;
    }
    const std::vector<std::uint8_t> all_full(len, 0x7F);
    EXPECT_EQ(scan_all(all_full), full_indices(all_full));
    EXPECT_TRUE(scan_all(std::vector<std::uint8_t>(len, kCtrlTombstone)).empty());
  }
}

TEST(CommonGroupCursor, FindsSlotsInLaterGroupsAndTail) {
  std::vector<std::uint8_t> bytes(16, kCtrlEmpty);
  bytes[9] = 0x2A;
  EXPECT_EQ(scan_all(bytes), std::vector<std::size_t>{9});

  std::vector<std::uint8_t> tail(19, kCtrlTombstone);
  tail[18] = 0x01;
  tail[16] = 0x7F;
  EXPECT_EQ(scan_all(tail), (std::vector<std::size_t>{16, 18}));

  GroupCursor unstarted;
  EXPECT_FALSE(unstarted.next_full().has_value());
}

TEST(CommonGroupCursor, PassingTheEndPanics) {
  std::array<std::uint8_t, 16> bytes{};
  GroupCursor c = GroupCursor::over(bytes.data(), 8);
  c.next = bytes.data() + 12;
  try {
    c.next_full();
    FAIL() << "no panic";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message().rfind("iterator control pointers remain ordered: ", 0), 0u)
        << p.message();
  }
}

// ---------------------------------------------------------------- table hash

// The folded multiply written out from its definition.
std::uint64_t reference_fold(std::uint64_t y, std::uint64_t g) {
  const std::uint64_t y0 = static_cast<std::uint32_t>(y), y1 = static_cast<std::uint32_t>(y >> 32);
  const std::uint64_t g0 = static_cast<std::uint32_t>(g), g1 = static_cast<std::uint32_t>(g >> 32);
  return (y1 * g1 ^ y0 * g0) ^ std::rotl(y1 * g0 ^ y0 * g1, 32);
}

std::uint64_t xor_of_wide_product_halves(std::uint64_t a, std::uint64_t b) {
  const u128 p = static_cast<u128>(a) * b;
  return static_cast<std::uint64_t>(p >> 64) ^ static_cast<std::uint64_t>(p);
}

TEST(CommonHash, FoldMulFixedValues) {
  EXPECT_EQ(fold_mul(0, 0x0123456789ABCDEFULL), 0u);
  EXPECT_EQ(fold_mul(1, 0x0123456789ABCDEFULL), 0x0123456789ABCDEFULL);
  EXPECT_EQ(fold_mul(1ULL << 32, 0x0123456789ABCDEFULL), 0x89ABCDEF01234567ULL);
  EXPECT_EQ(fold_mul(0xFFFFFFFFULL, 0xFFFFFFFFULL), 0xFFFFFFFE00000001ULL);
  EXPECT_EQ(fold_mul(0x0000000300000002ULL, 0x0000000500000007ULL), 0x0000001F00000001ULL);
  EXPECT_EQ(fold_mul(0xFFFFFFFF00000001ULL, 0x0000000200000003ULL), 0xFFFFFFFEFFFFFFFFULL);
  // All four partial products are 0xFFFFFFFE00000001 and cancel; the exact
  // product (2^64 - 1)^2 has halves 0xFF..FE and 1.
  EXPECT_EQ(fold_mul(~0ULL, ~0ULL), 0u);
  EXPECT_EQ(xor_of_wide_product_halves(~0ULL, ~0ULL), ~0ULL);
}

TEST(CommonHash, FoldMulMatchesDefinitionNotWideProduct) {
  std::mt19937_64 rng(17);
  int differ = 0;
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t y = rng(), g = rng();
    ASSERT_EQ(fold_mul(y, g), reference_fold(y, g)) << std::hex << y << " " << g;
    differ += fold_mul(y, g) != xor_of_wide_product_halves(y, g);
  }
  EXPECT_GT(differ, 90000);
}

TEST(CommonHash, Mix64IsSplitMix64Output) {
  EXPECT_EQ(mix64(0), 0u);
  const std::uint64_t want[] = {0xE220A8397B1DCDAFULL, 0x6E789E6AA1B965F4ULL,
                                0x06C45D188009454FULL, 0xF88BB8A8724C81ECULL};
  std::uint64_t state = 0;
  for (std::uint64_t w : want) {
    state += 0x9E3779B97F4A7C15ULL;
    EXPECT_EQ(mix64(state), w);
  }
}

TEST(CommonHash, SeedsAreStableOrFresh) {
  EXPECT_EQ(process_seed(), process_seed());

  constexpr int kThreads = 4, kPerThread = 5000;
  std::vector<std::vector<std::uint64_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&drawn, t] {
      for (int i = 0; i < kPerThread; ++i) drawn[t].push_back(fresh_table_seed());
    });
  }
  for (auto& th : threads) th.join();
  std::unordered_set<std::uint64_t> all;
  for (const auto& v : drawn) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

TEST(CommonHash, TableHashIsFoldOfSeededStoredHash) {
  const std::uint64_t g = process_seed();
  const std::uint64_t minus_one = static_cast<std::uint64_t>(std::int64_t{-1});
  std::mt19937_64 rng(19);
  for (int i = 0; i < 1000; ++i) {
    const std::uint64_t s1 = rng(), s2 = rng();
    const std::uint64_t h = i == 0 ? minus_one : rng();
    EXPECT_EQ(table_hash(h, s1), reference_fold(s1 ^ h, g));
    EXPECT_NE(table_hash(h, s1), table_hash(h, s2));
    EXPECT_NE(table_hash(h, s1), table_hash(h ^ 1, s1));
  }
  EXPECT_EQ(table_hash(minus_one, 0), reference_fold(~0ULL, g));
}

TEST(CommonProbe, ReductionFingerprintSummaryAndLimits) {
  EXPECT_EQ(mul_hi(1ULL << 63, 10), 5u);
  EXPECT_EQ(mul_hi(~0ULL, 1000), 999u);
  EXPECT_EQ(mul_hi(0, 1000), 0u);
  EXPECT_EQ(mul_hi(~0ULL, 0), 0u);
  // 2^64 mod 100 = 16: the 16 lowest products are rejected.
  EXPECT_EQ(rejection_threshold(100), 16u);
  EXPECT_EQ(rejection_threshold(64), 0u);
  EXPECT_EQ(reduce_unbiased(~0ULL, 100, 16), 99u);
  EXPECT_EQ(reduce_unbiased(0, 100, 16), kRejected);

  EXPECT_EQ(fingerprint_of(0), 1u);  // never a free control value
  EXPECT_EQ(fingerprint_of(std::uint64_t{1} << 57), 1u);
  EXPECT_EQ(fingerprint_of(~std::uint64_t{0}), 127u);
  EXPECT_EQ(summary_mask(0), 1u);  // both bits coincide
  EXPECT_EQ(summary_mask((5ull << 32) + 9), (1ull << 9) | (1ull << 5));
  for (const std::uint64_t x : {0ull, (5ull << 32) + 9, ~0ull}) {
    EXPECT_TRUE(summary_holds(summary_mask(x), x));
    EXPECT_FALSE(summary_holds(~summary_mask(x), x));
  }
  EXPECT_FALSE(summary_holds(1ull << 9, (5ull << 32) + 9));  // one of two bits

  EXPECT_EQ(insert_limit(344, 3), 301u);
  EXPECT_EQ(insert_limit(1375, 3), 1204u);
  EXPECT_EQ(insert_limit(1375, 64), 1375u);
  for (const auto& [n, limit] : std::vector<std::pair<std::size_t, std::size_t>>{
           {8, 6}, {64, 48}, {100, 75}, {130, 97}, {131, 97}, {144, 104}, {1000, 532}, {1142, 603}})
    EXPECT_EQ(tombstone_limit(n), limit) << n;
  EXPECT_EQ(tombstone_limit(kSizeMax), kSizeMax / 2);  // 3n saturates rather than wrapping
}

// ---------------------------------------------------------------- result

TEST(CommonResult, HoldsMoveOnlyValueOrError) {
  auto r = ArenaBlock::allocate(compute_arena_layout(10, 0, 16, 8).value());
  ASSERT_TRUE(r.ok());
  const std::byte* p = r.value().base();
  ArenaBlock taken = std::move(r).value();
  EXPECT_EQ(taken.base(), p);

  const Result<int, TryReserveError> e(TryReserveError::CapacityOverflow);
  EXPECT_FALSE(e.ok());
  EXPECT_FALSE(static_cast<bool>(e));
  EXPECT_EQ(e.error(), TryReserveError::CapacityOverflow);
  EXPECT_THROW((void)e.value(), std::bad_variant_access);
}

}  // namespace
}  // namespace quarlex
