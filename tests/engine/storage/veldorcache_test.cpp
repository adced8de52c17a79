// The item cache on its own, with a minimal item: the table by number, its ascending listing and
// the recently-used chain kept in step through inserts, look-ups and removals. Reuse, growth, flushing for
// room, trimming, clearing with pinned items and runs of consecutive numbers are tested through the record
// cache, which is this cache over a real file (veldordata_cache_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "engine/storage/veldorcache.h"

namespace engine {

struct TestItem {
  uint32_t number = 0;
  int pins = 0;
  bool dirty = false;
  bool cleared = false;
  TestItem* prev = nullptr;
  TestItem* next = nullptr;
};

// How often the cache asked whether an item is dirty: the items it looked at.
int gDirtyLooks = 0;

template <>
struct TCacheTraits<TestItem> {
  static uint32_t Number(const TestItem& i) { return i.number; }
  static void Reset(TestItem& i, uint32_t n) {
    i.number = n;
    i.dirty = false;
    i.cleared = true;
  }
  static bool Pinned(const TestItem& i) { return i.pins > 0; }
  static bool Dirty(const TestItem& i) {
    ++gDirtyLooks;
    return i.dirty;
  }
  static TestItem* Prev(const TestItem& i) { return i.prev; }
  static TestItem* Next(const TestItem& i) { return i.next; }
  static void SetPrev(TestItem& i, TestItem* p) { i.prev = p; }
  static void SetNext(TestItem& i, TestItem* n) { i.next = n; }
};

namespace {

struct TestPool {
  std::unique_ptr<TestItem> Pop() {
    ++pops;
    if (spares.empty()) return std::make_unique<TestItem>();
    auto item = std::move(spares.back());
    spares.pop_back();
    return item;
  }
  void Push(std::unique_ptr<TestItem>& item) {
    if (item) spares.push_back(std::move(item));
    item.reset();
  }
  std::vector<std::unique_ptr<TestItem>> spares;
  int pops = 0;
};

using Cache = TItemCache<TestItem, TestPool>;

class ItemCacheTest : public ::testing::Test {
 protected:
  TestItem* add(uint32_t n, bool mayFlush = true) {
    return cache.Insert(cache.GetCacheSlot(n, mayFlush, [this] { ++flushes; }));
  }
  std::vector<uint32_t> listed() const {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < cache.Count(); ++i) out.push_back(cache.At(i)->number);
    return out;
  }
  std::vector<uint32_t> chain() const {
    std::vector<uint32_t> out;
    for (TestItem* i = cache.Head(); i; i = i->next) out.push_back(i->number);
    return out;
  }
  std::vector<uint32_t> chainBackwards() const {
    std::vector<uint32_t> out;
    for (TestItem* i = cache.Tail(); i; i = i->prev) out.insert(out.begin(), i->number);
    return out;
  }

  TestPool pool;
  Cache cache{pool, 2, 8};
  int flushes = 0;
};

TEST_F(ItemCacheTest, ListStaysSortedWhileTheChainKeepsUseOrder) {
  cache.SetCapacity(10);
  for (uint32_t n : {5u, 1u, 9u, 3u}) add(n);
  EXPECT_EQ(listed(), (std::vector<uint32_t>{1, 3, 5, 9}));
  EXPECT_EQ(chain(), (std::vector<uint32_t>{3, 9, 1, 5}));
  EXPECT_EQ(chainBackwards(), chain());
  EXPECT_NE(cache.Find(5), nullptr);
  EXPECT_EQ(chain(), (std::vector<uint32_t>{5, 3, 9, 1}));
  EXPECT_EQ(cache.Find(4), nullptr);
  EXPECT_EQ(chainBackwards(), chain());
  // The probe looks at the head of the chain only.
  EXPECT_NE(cache.FindRecent(3), nullptr);
  EXPECT_EQ(cache.FindRecent(1), nullptr);
  EXPECT_NE(cache.FindCached(1), nullptr);
  // A number already cached is not inserted twice; an item not in the list is not removed.
  EXPECT_EQ(add(9), nullptr);
  EXPECT_EQ(pool.spares.size(), 1u);
  TestItem stranger;
  stranger.number = 1;
  EXPECT_EQ(cache.Remove(&stranger), nullptr);
  EXPECT_EQ(listed(), (std::vector<uint32_t>{1, 3, 5, 9}));
}

// Inside a transaction nothing may be written back, so the chain fills with dirty items. A slot is
// then sought among the last growth step of the chain only; the busy items passed over move to
// the head (keeping their order), so the next search starts past them, and the cache grows rather
// than walk to the idle items near the head (the neighbours a read-ahead has just brought in).
TEST_F(ItemCacheTest, WithoutFlushingOnlyTheTailsGrowthStepIsSearchedAndBusyItemsMoveAhead) {
  cache.SetCapacity(10);
  std::vector<TestItem*> items;
  for (uint32_t n = 1; n <= 10; ++n) items.push_back(add(n, false));
  for (uint32_t n = 1; n <= 8; ++n) items[n - 1]->dirty = true;
  items[7]->dirty = false;
  items[7]->pins = 1;
  ASSERT_EQ(chain(), (std::vector<uint32_t>{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));

  EXPECT_NE(add(11, false), nullptr);
  EXPECT_EQ(cache.Count(), 11u);
  EXPECT_EQ(cache.Capacity(), 18u);
  EXPECT_EQ(flushes, 0);
  EXPECT_EQ(chain(), (std::vector<uint32_t>{11, 8, 7, 6, 5, 4, 3, 2, 1, 10, 9}));
  EXPECT_EQ(chainBackwards(), chain());

  for (uint32_t n = 12; n <= 18; ++n) add(n, false);
  // Full again: the least recently used idle item is now at the tail and is taken at once.
  EXPECT_NE(add(19, false), nullptr);
  EXPECT_EQ(cache.Count(), 18u);
  EXPECT_EQ(cache.FindCached(9), nullptr);
  EXPECT_NE(cache.FindCached(10), nullptr);
  EXPECT_EQ(listed().back(), 19u);

  // When the owner may write back, the whole chain is searched before a flush or growth: the one
  // idle item is the most recently used but one.
  for (uint32_t n = 10; n <= 19; ++n)
    if (TestItem* item = cache.FindCached(n); item && n != 18) item->dirty = true;
  EXPECT_NE(add(20, true), nullptr);
  EXPECT_EQ(flushes, 0);
  EXPECT_EQ(cache.FindCached(18), nullptr);
  EXPECT_EQ(cache.Capacity(), 18u);
  EXPECT_EQ(chainBackwards(), chain());
}

// A transaction that changes many items: nothing at the tail turns idle before its commit. The
// searches for a slot look at few of its items (each look at a cold item is a cache miss), where
// every item was once passed over; the capacity keeps within an eighth of the count above it.
TEST_F(ItemCacheTest, ABulkChangeWithoutFlushingLooksAtFewOfItsItemsAndGrowsByAShareOfTheCount) {
  cache.SetCapacity(16);
  const uint32_t n = 20000;
  gDirtyLooks = 0;
  for (uint32_t i = 1; i <= n; ++i) {
    TestItem* item = add(i, false);
    ASSERT_NE(item, nullptr);
    item->dirty = true;
    ASSERT_LE(cache.Capacity(), std::max<size_t>(16, cache.Count() + cache.Count() / 8 + 8));
  }
  EXPECT_EQ(cache.Count(), n);
  EXPECT_LT(gDirtyLooks, int(n / 10));
  EXPECT_EQ(flushes, 0);
  EXPECT_EQ(chainBackwards(), chain());
  // Its items clean again (written at the commit), a slot is an idle item and the cache keeps its
  // size.
  for (TestItem* item = cache.Head(); item; item = item->next) item->dirty = false;
  const size_t capacity = cache.Capacity();
  for (uint32_t i = n + 1; i <= n + 100; ++i) ASSERT_NE(add(i, false), nullptr);
  EXPECT_EQ(cache.Capacity(), capacity);
  EXPECT_LE(cache.Count(), capacity);
}

// Thousands of numbers, clustered and spread, inserted and removed in random order: every removal
// closes its gap so that no number cached after it is lost, and none removed is still found.
TEST_F(ItemCacheTest, ManyInsertsAndRemovalsKeepEveryCachedNumberFindable) {
  cache.SetCapacity(100000);
  std::mt19937 rng(5);
  std::set<uint32_t> held;
  std::vector<uint32_t> numbers;
  for (uint32_t n = 1; n <= 3000; ++n) numbers.push_back(n);
  for (uint32_t n = 0; n < 3000; ++n) numbers.push_back(uint32_t(rng()) | 1u << 31);
  std::shuffle(numbers.begin(), numbers.end(), rng);
  for (size_t round = 0; round < numbers.size(); ++round) {
    const uint32_t n = numbers[round];
    if (held.insert(n).second) {
      ASSERT_NE(add(n), nullptr);
    }
    if (round % 3 == 2) {
      auto it = held.begin();
      std::advance(it, ptrdiff_t(rng() % held.size()));
      TestItem* item = cache.FindCached(*it);
      ASSERT_NE(item, nullptr) << *it;
      std::unique_ptr<TestItem> removed = cache.Remove(item);
      ASSERT_EQ(removed.get(), item);
      pool.Push(removed);
      ASSERT_EQ(cache.FindCached(*it), nullptr);
      held.erase(it);
    }
  }
  ASSERT_EQ(cache.Count(), held.size());
  for (uint32_t n : held) ASSERT_NE(cache.FindCached(n), nullptr) << n;
  EXPECT_EQ(listed(), std::vector<uint32_t>(held.begin(), held.end()));
  EXPECT_EQ(chainBackwards(), chain());
  EXPECT_EQ(chain().size(), held.size());
}

// A clear of a cache its removals emptied (colliding numbers shifted back over and over) leaves
// nothing to find, and the numbers come back as new items, each found as itself; so does a clear
// right after another.
TEST_F(ItemCacheTest, AClearAfterTheRemovalsEmptiedTheCacheLeavesNothingBehind) {
  cache.SetCapacity(100000);
  std::mt19937 rng(11);
  std::vector<uint32_t> numbers;
  // Neighbouring numbers and numbers a power of two apart: chains of collisions in the table.
  for (uint32_t n = 1; n <= 300; ++n) numbers.insert(numbers.end(), {n, n << 12, n << 20});
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  for (int round = 0; round < 3; ++round) {
    std::shuffle(numbers.begin(), numbers.end(), rng);
    for (uint32_t n : numbers) {
      TestItem* item = add(n);
      ASSERT_NE(item, nullptr);
      item->dirty = round == 1;
    }
    std::shuffle(numbers.begin(), numbers.end(), rng);
    for (uint32_t n : numbers) {
      std::unique_ptr<TestItem> removed = cache.Remove(cache.FindCached(n));
      ASSERT_NE(removed, nullptr) << n;
      pool.Push(removed);
    }
    ASSERT_EQ(cache.Count(), 0u);
    cache.Clear([](std::unique_ptr<TestItem>) { FAIL() << "nothing is pinned"; });
    cache.Clear([](std::unique_ptr<TestItem>) { FAIL() << "nothing is pinned"; });
    for (uint32_t n : numbers) ASSERT_EQ(cache.FindCached(n), nullptr) << n;
    EXPECT_EQ(cache.Head(), nullptr);
    EXPECT_TRUE(listed().empty());
  }
  for (uint32_t n : numbers) ASSERT_NE(add(n), nullptr);
  for (uint32_t n : numbers) {
    TestItem* item = cache.FindCached(n);
    ASSERT_NE(item, nullptr) << n;
    EXPECT_EQ(item->number, n);
  }
  std::vector<uint32_t> sorted = numbers;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(listed(), sorted);
  EXPECT_EQ(chain().size(), numbers.size());
}

// The dirty items come in number order whether their numbers fill a range without a gap (placed
// by number) or not (sorted): one item, a dense run at the top of the number range, runs with
// one gap, and random sets, with pinned, clean and unwanted items left out.
TEST_F(ItemCacheTest, DirtyItemsAreCollectedInNumberOrderWithOrWithoutGaps) {
  cache.SetCapacity(100000);
  std::mt19937 rng(11);
  const std::vector<std::vector<uint32_t>> fixed = {{7},
                                                    {UINT32_MAX - 2, UINT32_MAX - 1, UINT32_MAX},
                                                    {1, 2, 3, 5},
                                                    {10, 11, 12, 13, 14, 15, 16, 17, 18, 19}};
  for (int round = 0; round < 40; ++round) {
    std::vector<uint32_t> numbers;
    if (size_t(round) < fixed.size()) {
      numbers = fixed[size_t(round)];
    } else {
      const uint32_t first = uint32_t(rng() % 5000) + 1, count = uint32_t(rng() % 300) + 1;
      for (uint32_t n = first; n < first + count; ++n)
        if (round % 2 == 0 || rng() % 4 != 0) numbers.push_back(n);
      if (numbers.empty()) numbers.push_back(first);
    }
    std::shuffle(numbers.begin(), numbers.end(), rng);
    std::vector<uint32_t> expected;
    for (uint32_t n : numbers) {
      TestItem* item = add(n);
      ASSERT_NE(item, nullptr) << n;
      const uint32_t kind = rng() % 8;
      item->dirty = kind != 0;
      item->pins = kind == 1 ? 1 : 0;
      if (item->dirty && item->pins == 0 && n % 9 != 4) expected.push_back(n);
    }
    std::sort(expected.begin(), expected.end());
    std::vector<uint32_t> got;
    for (TestItem* item : cache.CollectDirty([](const TestItem& i) { return i.number % 9 != 4; }))
      got.push_back(item->number);
    EXPECT_EQ(got, expected) << "round " << round;
    cache.Clear([&](std::unique_ptr<TestItem> pinned) { pool.Push(pinned); });
  }
}

// A trim that drops a few items removes them one by one; one that drops most (the commit of a
// large transaction) builds the table anew for those that stay. Either way the same items go
// (the least recently used idle ones), those that stay keep their chain order and are found, the
// rest are not, and the cache goes on taking and giving back items as before.
TEST_F(ItemCacheTest, TrimmingFewOrMostDropsTheLeastRecentlyUsedIdleItems) {
  for (size_t target : {size_t(2900), size_t(40), size_t(0)}) {
    TestPool spares;
    Cache trimmed{spares, 2, 8};
    trimmed.SetCapacity(100000);
    std::mt19937 rng(uint32_t(target) + 3);
    for (uint32_t n = 1; n <= 3000; ++n) {
      // Clustered and spread numbers, as records and far pages.
      const uint32_t number = n % 4 == 0 ? uint32_t(rng()) | 1u << 31 : n;
      if (TestItem* item = trimmed.Insert(trimmed.GetCacheSlot(number, true, [] {}))) {
        item->dirty = rng() % 5 == 0;
        item->pins = rng() % 11 == 0 ? 1 : 0;
      }
      if (n % 7 == 0) trimmed.Find(uint32_t(rng() % n) + 1);
    }
    std::vector<uint32_t> expected;
    size_t toDrop = trimmed.Count() - target;
    for (TestItem* i = trimmed.Tail(); i; i = i->prev) {
      const bool idle = i->pins == 0 && !i->dirty;
      if (idle && toDrop > 0)
        --toDrop;
      else
        expected.insert(expected.begin(), i->number);
    }
    std::set<uint32_t> before;
    for (TestItem* i = trimmed.Head(); i; i = i->next) before.insert(i->number);
    int flushed = 0;
    ASSERT_TRUE(trimmed.Trim(target, [&] { ++flushed; })) << target;
    std::vector<uint32_t> kept;
    for (TestItem* i = trimmed.Head(); i; i = i->next) kept.push_back(i->number);
    EXPECT_EQ(kept, expected) << target;
    EXPECT_EQ(trimmed.Count(), kept.size());
    EXPECT_EQ(flushed, kept.size() > target ? 1 : 0);
    const std::set<uint32_t> stay(kept.begin(), kept.end());
    for (uint32_t n : before) EXPECT_EQ(trimmed.FindCached(n) != nullptr, stay.count(n) == 1) << n;
    for (size_t i = 0; i < trimmed.Count(); ++i) ASSERT_TRUE(stay.count(trimmed.At(i)->number));
    // Taking and removing items after the trim still finds every one of them.
    trimmed.SetCapacity(100000);
    for (uint32_t n = 5000000; n < 5002000; ++n)
      ASSERT_NE(trimmed.Insert(trimmed.GetCacheSlot(n, true, [] {})), nullptr);
    for (uint32_t n = 5000000; n < 5002000; n += 2) {
      std::unique_ptr<TestItem> removed = trimmed.Remove(trimmed.FindCached(n));
      ASSERT_NE(removed, nullptr);
      spares.Push(removed);
    }
    for (uint32_t n : stay) EXPECT_NE(trimmed.FindCached(n), nullptr) << n;
    for (uint32_t n = 5000001; n < 5002000; n += 2) EXPECT_NE(trimmed.FindCached(n), nullptr) << n;
  }
}

// A trim to a target the cache is already within drops nothing and flushes nothing, dirty and
// pinned items included, and leaves the capacity at the target, as a trim that drops does.
TEST_F(ItemCacheTest, TrimmingACacheWithinItsTargetKeepsEveryItemAndSetsTheCapacity) {
  for (size_t held : {size_t(0), size_t(1), size_t(2)}) {
    TestPool spares;
    Cache cache{spares, 2, 8};
    cache.SetCapacity(100);
    for (uint32_t n = 1; n <= held; ++n) {
      TestItem* item = cache.Insert(cache.GetCacheSlot(n, true, [] {}));
      ASSERT_NE(item, nullptr);
      item->dirty = n == 1;
      item->pins = n == 2 ? 1 : 0;
    }
    std::vector<uint32_t> before;
    for (TestItem* i = cache.Head(); i; i = i->next) before.push_back(i->number);
    int flushed = 0;
    ASSERT_TRUE(cache.Trim(2, [&] { ++flushed; })) << held;
    std::vector<uint32_t> after;
    for (TestItem* i = cache.Head(); i; i = i->next) after.push_back(i->number);
    EXPECT_EQ(after, before) << held;
    EXPECT_EQ(flushed, 0) << held;
    EXPECT_EQ(cache.Count(), held);
    EXPECT_EQ(cache.Capacity(), 2u) << held;
    for (uint32_t n = 1; n <= held; ++n) EXPECT_NE(cache.FindCached(n), nullptr) << n;
  }
}

}  // namespace
}  // namespace engine
