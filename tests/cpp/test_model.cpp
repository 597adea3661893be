// Randomised comparison of the generic map and set, over every table
// backend, against std::unordered_map and std::unordered_set: mixed
// insertions, replacements, lookups, removals, filters, pops, clears and
// reservations, from empty tables up to 10^5 entries and back, for each
// reserve exponent the backend accepts up to 8. The table's own invariant
// check runs after every operation on small tables and periodically on big
// ones. Copies made with insert_unique must place every key exactly where
// insert does, and clones exactly where the original has it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "quarlex/collections/hash_map.hpp"
#include "quarlex/collections/hash_set.hpp"
#include "quarlex/elastic/table.hpp"
#include "quarlex/funnel/table.hpp"

namespace quarlex {
namespace {

// Ids in groups of four share a stored hash, so fingerprint matches that
// are not key matches happen all the time.
struct ModelKey {
  std::uint64_t id = 0;
  std::uint64_t hash = 0;
};

ModelKey key_of(std::uint64_t id) { return ModelKey{id, mix64(id / 4)}; }

}  // namespace

template <>
struct KeyTraits<ModelKey> {
  static std::uint64_t hash(const ModelKey& k) noexcept { return k.hash; }
  static bool eq(const ModelKey& a, const ModelKey& b) noexcept { return a.id == b.id; }
};

namespace {

// A table template and the smallest reserve exponent it accepts.
template <template <class, class> class Table, std::uint32_t MinReserve>
struct Family {
  template <class K, class V>
  using table = Table<K, V>;
  static constexpr std::uint32_t kMinReserve = MinReserve;
};

template <class T>
T build(std::size_t capacity, std::uint32_t e, std::uint64_t seed) {
  return std::move(T::try_with_capacity(capacity, e, seed)).value();
}

// How one run unfolds: fill to `target`, then `mixed` operations at about
// that size, then drain to empty (for sizes above 1000: only the first ten
// thousand removals, the rest by clear).
struct Plan {
  std::size_t target;
  std::size_t mixed;
};

constexpr Plan kPlans[] = {{0, 2000}, {40, 20000}, {3000, 40000}, {100000, 20000}};

// Invariants after every step while the table is small, then every `stride`.
bool due(std::size_t step, std::size_t len) {
  const std::size_t stride = len < 200 ? 1 : len < 5000 ? 256 : 25000;
  return step % stride == 0;
}

template <class Table>
class MapModel {
 public:
  MapModel(std::uint32_t e, Plan plan, std::uint64_t seed)
      : e_(e), plan_(plan), rng_(seed), map_(build<Table>(rng_() % 64, e, rng_())) {}

  void run() {
    while (model_.size() < plan_.target && !failed()) step(800, 0, false);
    for (std::size_t i = 0; i < plan_.mixed && !failed(); ++i) step(400, 400, true);
    const std::size_t drains = plan_.target > 1000 ? 10000 : plan_.target * 4;
    for (std::size_t i = 0; i < drains && !model_.empty() && !failed(); ++i) step(100, 800, false);
    if (failed()) return;
    compare_all();
    map_.clear();
    model_.clear();
    compare_all();
  }

 private:
  static bool failed() { return ::testing::Test::HasFatalFailure(); }

  // `insert` and `remove` are per-mille chances; the rest is lookups and,
  // when `bulk_ops`, the rare filters, pops, clears and reservations.
  void step(unsigned insert, unsigned remove, bool bulk_ops) {
    ++steps_;
    const std::uint64_t id = rng_() % (2 * plan_.target + 16);
    const ModelKey k = key_of(id);
    const unsigned r = static_cast<unsigned>(rng_() % 1000);
    if (r < insert) {
      const std::uint64_t v = rng_();
      const auto old = map_.insert(k, v);
      const auto it = model_.find(id);
      ASSERT_EQ(old.has_value(), it != model_.end());
      if (old) {
        ASSERT_EQ(*old, it->second);
      }
      model_[id] = v;
    } else if (r < insert + remove) {
      const auto got = map_.remove(k);
      const auto it = model_.find(id);
      ASSERT_EQ(got.has_value(), it != model_.end());
      if (got) {
        ASSERT_EQ(*got, it->second);
        model_.erase(it);
      }
    } else if (r < 996 || !bulk_ops) {
      const std::uint64_t* got = map_.get(k);
      const auto it = model_.find(id);
      ASSERT_EQ(got != nullptr, it != model_.end());
      if (got) {
        ASSERT_EQ(*got, it->second);
      }
    } else {
      bulk(r - 996);
    }
    ASSERT_EQ(map_.len(), model_.size());
    ASSERT_LE(map_.len(), map_.capacity());
    if (due(steps_, map_.len())) {
      ASSERT_EQ(map_.table().check_invariants(), "") << "step " << steps_;
    }
  }

  void bulk(unsigned which) {
    const std::uint64_t salt = rng_();
    const auto picked = [salt](std::uint64_t id) { return mix64(id ^ salt) % 4 == 0; };
    switch (which) {
      case 0: {
        std::size_t taken = 0;
        map_.retain([&](const ModelKey& k, std::uint64_t&) { return !picked(k.id); },
                    [&](auto&& e) {
                      ++taken;
                      EXPECT_TRUE(picked(e.key.id));
                      EXPECT_EQ(model_.at(e.key.id), e.value);
                    });
        ASSERT_EQ(taken, std::erase_if(model_, [&](const auto& kv) { return picked(kv.first); }));
        break;
      }
      case 1: {
        auto filter =
            map_.extract_if([&](const ModelKey& k, std::uint64_t&) { return picked(k.id); });
        for (std::uint64_t n = rng_() % 8; n > 0; --n) {
          auto e = filter.next();
          if (!e) break;
          ASSERT_TRUE(picked(e->key.id));
          ASSERT_EQ(model_.at(e->key.id), e->value);
          model_.erase(e->key.id);
        }
        break;
      }
      case 2: {
        auto e = map_.pop_first();
        ASSERT_EQ(e.has_value(), !model_.empty());
        if (e) {
          ASSERT_EQ(model_.at(e->key.id), e->value);
          model_.erase(e->key.id);
        }
        break;
      }
      default: {
        if (plan_.target <= 1000 && rng_() % 8 == 0) {
          std::size_t taken = 0;
          map_.clear([&](auto&& e) noexcept { taken += model_.at(e.key.id) == e.value; });
          ASSERT_EQ(taken, model_.size());
          model_.clear();
          break;
        }
        const std::size_t extra = rng_() % (plan_.target + 8);
        map_.reserve(extra);
        ASSERT_GE(map_.capacity(), map_.len() + extra);
      }
    }
  }

  void compare_all() {
    ASSERT_EQ(map_.table().check_invariants(), "");
    ASSERT_EQ(map_.len(), model_.size());
    for (const auto& [id, v] : model_) {
      const std::uint64_t* got = map_.get(key_of(id));
      ASSERT_TRUE(got != nullptr) << id;
      ASSERT_EQ(*got, v);
    }
    std::vector<const void*> order;
    for (const auto& e : map_) {
      ASSERT_EQ(model_.at(e.key.id), e.value);
      order.push_back(&e);
    }
    ASSERT_EQ(order.size(), model_.size());
    // The bulk visit sees the entries the iterators see, in their order.
    std::size_t visited = 0;
    map_.for_each([&](const auto& e) {
      ASSERT_LT(visited, order.size());
      EXPECT_EQ(&e, order[visited++]);
    });
    ASSERT_EQ(visited, order.size());
    compare_copies();
  }

  // Copies made by insert and by insert_unique into empty tables with one
  // seed: skipping the search must not change a single placement.
  void compare_copies() {
    const std::uint64_t seed = rng_();
    HashMap<Table> searched(build<Table>(0, e_, seed));
    HashMap<Table> unique(build<Table>(0, e_, seed));
    for (const auto& e : map_) {
      searched.insert(e.key, e.value);
      unique.insert_unique(e.key, e.value);
    }
    ASSERT_EQ(unique.table().check_invariants(), "");
    ASSERT_EQ(unique.len(), model_.size());
    auto a = searched.begin();
    auto b = unique.begin();
    for (; !(a == searched.end()); ++a, ++b) {
      ASSERT_FALSE(b == unique.end());
      ASSERT_TRUE(a.location() == b.location());
      ASSERT_EQ(a->key.id, b->key.id);
      ASSERT_EQ(a->value, b->value);
    }
    ASSERT_TRUE(b == unique.end());

    // A clone keeps the seed, the room and every placement, in an arena of
    // its own: changing it leaves the original alone.
    HashMap<Table> cloned =
        map_.clone([](const auto&) {}, [](const auto& e, auto* slot) noexcept { ::new (slot) auto(e); });
    ASSERT_EQ(cloned.table().check_invariants(), "");
    ASSERT_EQ(cloned.table().seed(), map_.table().seed());
    ASSERT_EQ(cloned.capacity(), map_.capacity());
    auto c = cloned.begin();
    for (auto m = map_.begin(); !(m == map_.end()); ++m, ++c) {
      ASSERT_FALSE(c == cloned.end());
      ASSERT_TRUE(m.location() == c.location());
      ASSERT_EQ(m->key.id, c->key.id);
      ASSERT_EQ(m->value, c->value);
    }
    ASSERT_TRUE(c == cloned.end());
    const ModelKey fresh = key_of(2 * plan_.target + 16);
    cloned.insert(fresh, 1);
    if (!model_.empty()) cloned.remove(key_of(model_.begin()->first));
    ASSERT_EQ(cloned.table().check_invariants(), "");
    ASSERT_EQ(map_.get(fresh), nullptr);
    ASSERT_EQ(map_.len(), model_.size());
  }

  std::uint32_t e_;
  Plan plan_;
  std::mt19937_64 rng_;
  HashMap<Table> map_;
  std::unordered_map<std::uint64_t, std::uint64_t> model_;
  std::size_t steps_ = 0;
};

template <class Table>
void run_set_model(std::uint32_t e, Plan plan, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  HashSet<Table> set(build<Table>(0, e, rng()));
  std::unordered_set<std::uint64_t> model;
  const std::size_t steps = plan.target * 2 + plan.mixed;
  for (std::size_t i = 0; i < steps; ++i) {
    const std::uint64_t id = rng() % (2 * plan.target + 16);
    const unsigned insert = i < plan.target * 2 ? 700 : 450;
    const unsigned r = static_cast<unsigned>(rng() % 1000);
    if (r < insert) {
      ASSERT_EQ(set.insert(key_of(id)), model.insert(id).second);
    } else if (r < 900) {
      ASSERT_EQ(set.remove(key_of(id)), model.erase(id) == 1);
    } else if (r < 997) {
      ASSERT_EQ(set.contains(key_of(id)), model.count(id) == 1);
    } else if (r == 997) {
      const std::uint64_t bit = rng() % 3;
      set.retain([bit](const ModelKey& k) { return ((k.id >> bit) & 1) == 0; });
      std::erase_if(model, [bit](std::uint64_t v) { return ((v >> bit) & 1) != 0; });
    } else {
      const auto k = set.pop_first();
      ASSERT_EQ(k.has_value(), !model.empty());
      if (k) {
        ASSERT_EQ(model.erase(k->id), 1u);
      }
    }
    ASSERT_EQ(set.len(), model.size());
    if (due(i, set.len())) {
      ASSERT_EQ(set.map().table().check_invariants(), "") << "step " << i;
    }
  }
  // Equality against a set of the same keys built in another order, with
  // another seed.
  HashSet<Table> other(build<Table>(model.size(), e, rng()));
  for (std::uint64_t id : model) other.insert(key_of(id));
  ASSERT_TRUE(set == other);
  HashSet<Table> copy(build<Table>(0, e, rng()));
  for (const ModelKey& k : set) copy.insert_unique(k);
  ASSERT_EQ(copy.map().table().check_invariants(), "");
  ASSERT_TRUE(copy == other);
  if (!model.empty()) {
    other.remove(key_of(*model.begin()));
    ASSERT_FALSE(set == other);
  }
}

template <class F>
class TableModel : public ::testing::Test {};

using Families = ::testing::Types<Family<ElasticTable, 1>, Family<FunnelTable, 3>>;
TYPED_TEST_SUITE(TableModel, Families);

TYPED_TEST(TableModel, MapMatchesUnorderedMap) {
  using Table = typename TypeParam::template table<ModelKey, std::uint64_t>;
  for (std::uint32_t e = TypeParam::kMinReserve; e <= 8; ++e) {
    for (const Plan& plan : kPlans) {
      SCOPED_TRACE("reserve exponent " + std::to_string(e) + ", size " +
                   std::to_string(plan.target));
      MapModel<Table>(e, plan, 1000 * e + plan.target).run();
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TYPED_TEST(TableModel, SetMatchesUnorderedSet) {
  using Table = typename TypeParam::template table<ModelKey, Unit>;
  for (std::uint32_t e = TypeParam::kMinReserve; e <= 8; ++e) {
    for (const Plan& plan : {Plan{0, 1000}, Plan{40, 20000}, Plan{5000, 30000}}) {
      SCOPED_TRACE("reserve exponent " + std::to_string(e) + ", size " +
                   std::to_string(plan.target));
      run_set_model<Table>(e, plan, 7 * e + plan.target);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace quarlex
