// Tests of the borrow flags: the conflict rules in one thread (as a re-entrant
// callback meets them), before and after the object switches to per-CPU
// reader slots or loses its owner thread, and takers racing from several
// threads, the biased flag's owner against the thread that revokes it. Also
// built with ThreadSanitizer, where a missing happens-before edge between a
// writer and a reader shows up as a race on the guarded plain data.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "quarlex/python/borrow_flag.hpp"

namespace quarlex::py {
namespace {

// Lets another thread read once, which switches the flag to reader slots.
void read_from_another_thread(BorrowFlag& flag) {
  std::thread([&] {
    ReaderCount* count = flag.try_shared();
    ASSERT_NE(count, nullptr);
    BorrowFlag::release_shared(count);
  }).join();
}

class BorrowFlagRules : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) read_from_another_thread(flag_);
  }
  BorrowFlag flag_;
};

TEST_P(BorrowFlagRules, NestedReadsExcludeWritersUntilTheLastRelease) {
  ReaderCount* outer = flag_.try_shared();
  ASSERT_NE(outer, nullptr);
  ReaderCount* inner = flag_.try_shared();
  ASSERT_NE(inner, nullptr);
  EXPECT_FALSE(flag_.try_exclusive());
  EXPECT_FALSE(flag_.exclusively_held());
  BorrowFlag::release_shared(inner);
  EXPECT_FALSE(flag_.try_exclusive());
  BorrowFlag::release_shared(outer);
  ASSERT_TRUE(flag_.try_exclusive());
  flag_.release_exclusive();
}

TEST_P(BorrowFlagRules, WriterExcludesReadersAndWriters) {
  ASSERT_TRUE(flag_.try_exclusive());
  EXPECT_TRUE(flag_.exclusively_held());
  EXPECT_EQ(flag_.try_shared(), nullptr);
  EXPECT_FALSE(flag_.try_exclusive());
  flag_.release_exclusive();
  EXPECT_FALSE(flag_.exclusively_held());
  ReaderCount* count = flag_.try_shared();
  ASSERT_NE(count, nullptr);
  BorrowFlag::release_shared(count);
}

TEST_P(BorrowFlagRules, ReadOfAnotherThreadInProgressExcludesWriters) {
  std::atomic<int> step{0};
  std::thread reader([&] {
    ReaderCount* count = flag_.try_shared();
    step.store(count != nullptr ? 1 : -1);
    while (step.load() == 1) std::this_thread::yield();
    if (count != nullptr) BorrowFlag::release_shared(count);
  });
  while (step.load() == 0) std::this_thread::yield();
  ASSERT_EQ(step.load(), 1);
  EXPECT_FALSE(flag_.try_exclusive());
  EXPECT_FALSE(flag_.exclusively_held());
  step.store(2);
  reader.join();
  ASSERT_TRUE(flag_.try_exclusive());
  flag_.release_exclusive();
}

INSTANTIATE_TEST_SUITE_P(Modes, BorrowFlagRules, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Slots" : "Central"; });

// Readers check that a two-word record is never seen half written, writers
// rewrite it; every acquisition also checks that no access of the other kind
// is inside at the same time. The record is plain memory: only the flag
// orders it.
TEST(BorrowFlagContention, ReadersAndWritersNeverOverlap) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  BorrowFlag flag;
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  std::atomic<int> readers_inside{0};
  std::atomic<int> writers_inside{0};
  std::atomic<bool> overlap{false};
  std::atomic<bool> torn{false};
  std::vector<int> writes(kThreads, 0);
  std::vector<int> reads(kThreads, 0);
  std::atomic<int> ready{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < kRounds; ++i) {
        if ((i + t) % 8 == 0) {
          if (!flag.try_exclusive()) continue;
          if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) overlap = true;
          first = first + 1;
          second = first;
          ++writes[t];
          writers_inside.fetch_sub(1);
          flag.release_exclusive();
        } else {
          ReaderCount* count = flag.try_shared();
          if (count == nullptr) continue;
          readers_inside.fetch_add(1);
          if (writers_inside.load() != 0) overlap = true;
          if (first != second) torn = true;
          ++reads[t];
          readers_inside.fetch_sub(1);
          BorrowFlag::release_shared(count);
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();

  EXPECT_FALSE(overlap.load());
  EXPECT_FALSE(torn.load());
  int total_writes = 0;
  int total_reads = 0;
  for (int t = 0; t < kThreads; ++t) {
    total_writes += writes[t];
    total_reads += reads[t];
  }
  EXPECT_EQ(first, static_cast<std::uint64_t>(total_writes));
  EXPECT_GT(total_writes, 0);
  EXPECT_GT(total_reads, 0);
  ASSERT_TRUE(flag.try_exclusive());
  flag.release_exclusive();
}

TEST(BiasedFlagRules, OwnerReentryAndOtherThreadsConflictBeforeAndAfterRevocation) {
  using Held = BiasedFlag::Held;
  BiasedFlag flag;
  const auto from_another_thread = [&flag] {
    Held held = Held::None;
    std::thread([&] {
      held = flag.try_acquire();
      if (held != Held::None) flag.release(held);
    }).join();
    return held;
  };
  const Held first = flag.try_acquire();
  ASSERT_NE(first, Held::None);
  EXPECT_EQ(flag.try_acquire(), Held::None);
  EXPECT_EQ(from_another_thread(), Held::None);
  flag.release(first);

  EXPECT_EQ(from_another_thread(), Held::Locked);
  const Held after = flag.try_acquire();
  EXPECT_EQ(after, Held::Locked);
  EXPECT_EQ(flag.try_acquire(), Held::None);
  EXPECT_EQ(from_another_thread(), Held::None);
  flag.release(after);
}

// Each round the owner steps a fresh flag while another thread tries to take
// it, so the revocation races a biased step every round. The count is plain
// memory: only the flag orders it.
TEST(BiasedFlagContention, OwnerAndRevokerNeverOverlap) {
  constexpr int kRounds = 300;
  constexpr int kAttempts = 200;
  for (int round = 0; round < kRounds; ++round) {
    BiasedFlag flag;
    std::uint64_t count = 0;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<bool> owned{false};
    int taken[2] = {0, 0};
    const auto step = [&](int who) {
      const BiasedFlag::Held held = flag.try_acquire();
      if (held == BiasedFlag::Held::None) return;
      if (inside.fetch_add(1) != 0) overlap = true;
      count = count + 1;
      ++taken[who];
      inside.fetch_sub(1);
      flag.release(held);
    };
    std::atomic<bool> done{false};
    std::thread owner([&] {
      step(0);
      owned = true;
      while (!done.load(std::memory_order_relaxed)) step(0);
    });
    std::thread other([&] {
      while (!owned.load()) std::this_thread::yield();
      for (int i = 0; i < kAttempts; ++i) step(1);
      done = true;
    });
    owner.join();
    other.join();
    ASSERT_FALSE(overlap.load()) << "round " << round;
    ASSERT_EQ(count, static_cast<std::uint64_t>(taken[0] + taken[1]));
    ASSERT_GT(taken[0], 0);
  }
}

}  // namespace
}  // namespace quarlex::py
