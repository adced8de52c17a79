// The item cache on its own, with a minimal item: sorted list and recently-used chain kept in
// step, the reuse rule, growth, clearing with pinned items, and runs of consecutive numbers.
#include <gtest/gtest.h>

#include <memory>
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

template <>
struct TCacheTraits<TestItem> {
  static uint32_t Number(const TestItem& i) { return i.number; }
  static void Reset(TestItem& i, uint32_t n) {
    i.number = n;
    i.dirty = false;
    i.cleared = true;
  }
  static bool Pinned(const TestItem& i) { return i.pins > 0; }
  static bool Dirty(const TestItem& i) { return i.dirty; }
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
  TestItem* add(uint32_t n) {
    return cache.Insert(cache.GetCacheSlot(n, true, [this] { ++flushes; }));
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

TEST_F(ItemCacheTest, AtCapacityTheLeastRecentlyUsedIdleItemIsReusedAndCleared) {
  cache.SetCapacity(3);
  TestItem* one = add(1);
  add(2)->pins = 1;
  add(3)->dirty = true;
  TestItem* four = add(4);
  EXPECT_EQ(four, one);
  EXPECT_TRUE(four->cleared);
  EXPECT_EQ(listed(), (std::vector<uint32_t>{2, 3, 4}));
  EXPECT_EQ(flushes, 0);
}

TEST_F(ItemCacheTest, WithNothingIdleOneFlushIsTriedAndThenTheCapacityGrows) {
  cache.SetCapacity(2);
  add(1)->dirty = true;
  add(2)->pins = 1;
  add(3);
  EXPECT_EQ(flushes, 1);
  EXPECT_EQ(cache.Capacity(), 10u);
  EXPECT_EQ(cache.Count(), 3u);

  Cache noFlush{pool, 2, 8};
  noFlush.SetCapacity(0);
  int calls = 0;
  noFlush.Insert(noFlush.GetCacheSlot(1, false, [&] { ++calls; }));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(noFlush.Capacity(), 8u);
}

TEST_F(ItemCacheTest, AFlushThatCleansAnItemLetsItBeReused) {
  cache.SetCapacity(1);
  TestItem* one = add(1);
  one->dirty = true;
  TestItem* two = cache.Insert(cache.GetCacheSlot(2, true, [&] { one->dirty = false; }));
  EXPECT_EQ(two, one);
  EXPECT_EQ(cache.Capacity(), 1u);
}

TEST_F(ItemCacheTest, ClearingHandsPinnedItemsToTheirUsersAndTheRestToThePool) {
  cache.SetCapacity(10);
  add(1);
  add(2)->pins = 1;
  add(3)->dirty = true;
  std::vector<std::unique_ptr<TestItem>> kept;
  cache.Clear([&](std::unique_ptr<TestItem> item) { kept.push_back(std::move(item)); });
  EXPECT_EQ(cache.Count(), 0u);
  EXPECT_EQ(cache.Head(), nullptr);
  EXPECT_EQ(cache.Tail(), nullptr);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0]->number, 2u);
  EXPECT_EQ(pool.spares.size(), 2u);
}

TEST_F(ItemCacheTest, TrimmingDropsIdleItemsDownToTheTarget) {
  cache.SetCapacity(10);
  for (uint32_t n = 1; n <= 6; ++n) add(n);
  cache.At(0)->pins = 1;
  EXPECT_TRUE(cache.Trim(2, [this] { ++flushes; }));
  EXPECT_EQ(listed(), (std::vector<uint32_t>{1, 6}));
  EXPECT_EQ(cache.Capacity(), 2u);
  EXPECT_TRUE(cache.Trim(0, [this] { ++flushes; }));
  EXPECT_EQ(listed(), (std::vector<uint32_t>{1}));
  EXPECT_EQ(flushes, 1);
  EXPECT_EQ(cache.Capacity(), 1u);
}

TEST_F(ItemCacheTest, DirtyItemsAreCollectedInNumberOrderAndSplitIntoRuns) {
  cache.SetCapacity(20);
  for (uint32_t n : {9u, 1u, 2u, 5u, 3u, 10u, 12u, 6u}) add(n)->dirty = true;
  cache.FindCached(6)->pins = 1;
  std::vector<TestItem*> dirty = cache.CollectDirty([](const TestItem& i) { return i.number != 12; });
  std::vector<uint32_t> numbers;
  for (TestItem* i : dirty) numbers.push_back(i->number);
  EXPECT_EQ(numbers, (std::vector<uint32_t>{1, 2, 3, 5, 9, 10}));
  std::vector<std::pair<size_t, size_t>> runs;
  Cache::ForEachRun(dirty, [&](size_t first, size_t count) { runs.emplace_back(first, count); });
  EXPECT_EQ(runs, (std::vector<std::pair<size_t, size_t>>{{0, 3}, {3, 1}, {4, 2}}));
  runs.clear();
  Cache::ForEachRun({}, [&](size_t first, size_t count) { runs.emplace_back(first, count); });
  EXPECT_TRUE(runs.empty());
}

}  // namespace
}  // namespace engine
