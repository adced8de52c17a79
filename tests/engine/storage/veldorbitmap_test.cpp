#include "engine/storage/veldorbitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "storage_test_util.h"

namespace engine {
namespace {

using storage_test::testSeed;

// ---- Sizing and single bits ----

TEST(RecordsBitmapSize, BitsSurviveASizeChangeWithinTheBuffer) {
  TRecordsBitmap b;
  b.SetSize(100);
  b.SetBit(70);
  b.SetSize(50);
  b.SetSize(100);
  EXPECT_TRUE(b.GetBit(70)) << "the buffer did not grow, so its bits keep their values";
  b.SetSize(5000);
  EXPECT_TRUE(b.GetBit(70));
  EXPECT_FALSE(b.GetBit(4000)) << "bytes the buffer gains are zero";
  b.SetSize(0);
  EXPECT_EQ(b.BufferSize(), 0u) << "a need of 0 frees the buffer";
}

// Sizing and filling in one step leaves what sizing and then filling leaves: the same buffer, the
// same words and counts, and the same outcome of later changes, whether the bitmap was empty,
// grows, keeps or shrinks its count, goes to 0, or had bits set and cleared before.
TEST(RecordsBitmapSize, SizingAllSetLeavesWhatSizingThenSettingAllLeaves) {
  const std::vector<std::vector<uint32_t>> sizings = {
      {100}, {100000}, {0}, {100, 100}, {100, 5000}, {5000, 100}, {5000, 0}, {0, 3000}, {2048, 2049, 2047}};
  for (const std::vector<uint32_t>& counts : sizings) {
    for (bool marked : {false, true}) {
      SCOPED_TRACE("first count " + std::to_string(counts.front()) + (marked ? " marked" : ""));
      TRecordsBitmap slow, fast;
      for (uint32_t count : counts) {
        for (TRecordsBitmap* b : {&slow, &fast}) {
          // Bits of an earlier use: some set, one cleared out of a full word.
          if (marked && b->Count() >= 40) {
            b->ClearAll();
            b->SetBit(3);
            b->SetBit(b->Count());
            b->SetAll();
            b->ClearBit(33);
          }
        }
        slow.SetSize(count);
        slow.SetAll();
        fast.SetSizeAllSet(count);
        ASSERT_EQ(fast.Count(), slow.Count());
        ASSERT_EQ(fast.BufferSize(), slow.BufferSize());
        for (size_t i = 0; i < slow.BufferSize() / 4; ++i) ASSERT_EQ(fast.Word(i), slow.Word(i)) << i;
        EXPECT_EQ(fast.CountSet(), count);
        EXPECT_EQ(fast.CountSetBefore(count / 2 + 1), slow.CountSetBefore(count / 2 + 1));
      }
      const uint32_t count = slow.Count();
      if (count < 10) continue;
      for (TRecordsBitmap* b : {&slow, &fast}) {
        b->ClearBit(count / 3);
        b->ClearRange(count - 5, count);
      }
      EXPECT_EQ(fast.CountSet(), slow.CountSet());
      EXPECT_EQ(fast.CountSet(), count - 7);
      uint32_t a = 0, b = 0;
      int64_t pa = 0, pb = 0;
      EXPECT_EQ(fast.FindNext(a, count / 3, pa), slow.FindNext(b, count / 3, pb));
      EXPECT_EQ(a, b);
      EXPECT_EQ(fast.LastMemberIn(1, count), slow.LastMemberIn(1, count));
    }
  }
}

TEST(RecordsBitmapBits, RecordOneIsTheLowestBitOfTheFirstWordAndRecordsOutsideAreNeverTouched) {
  TRecordsBitmap b;
  b.SetSize(40);
  b.SetBit(1);
  b.SetBit(32);
  b.SetBit(33);
  EXPECT_EQ(b.Word(0), 0x80000001u);
  EXPECT_EQ(b.Word(1), 0x00000001u);
  EXPECT_FALSE(b.GetBit(0));
  EXPECT_FALSE(b.GetBit(41));
  EXPECT_FALSE(b.GetBit(100000));
  EXPECT_THROW(b.SetBit(0), std::out_of_range);
  EXPECT_THROW(b.SetBit(41), std::out_of_range);
  EXPECT_THROW(b.ClearBit(100000), std::out_of_range);
  TRecordsBitmap empty;
  EXPECT_THROW(empty.SetBit(1), std::out_of_range);
}

// ---- Counting and searching ----

// Against a std::vector<bool> model: random sizes, contents and operations.
TEST(RecordsBitmapModel, AgreesWithAVectorOfBool) {
  uint32_t seed = testSeed();
  std::mt19937 rng(seed);
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed) + " round " + std::to_string(round));
    uint32_t count = std::uniform_int_distribution<uint32_t>(0, 2500)(rng);
    int density = std::uniform_int_distribution<int>(0, 4)(rng);  // 0 empty .. 4 nearly full
    TRecordsBitmap b;
    b.SetSize(count);
    // Starting from all ones leaves set bits past the count, which must not matter.
    bool fromAllOnes = rng() % 2;
    if (fromAllOnes)
      b.SetAll();
    else
      b.ClearAll();
    std::vector<bool> model(count + 1, false);
    for (uint32_t n = 1; n <= count; ++n) {
      bool set = density == 4 ? rng() % 20 != 0 : int(rng() % 4) < density;
      if (rng() % 3 == 0) set = model[n - 1] || set;  // longer runs, whole words among them
      model[n] = set;
      if (set && !fromAllOnes) b.SetBit(n);
      if (!set && fromAllOnes) b.ClearBit(n);
    }
    uint32_t total = 0;
    for (uint32_t n = 1; n <= count; ++n) {
      ASSERT_EQ(b.GetBit(n), bool(model[n])) << n;
      total += model[n];
    }
    ASSERT_EQ(b.CountSet(), total);
    for (int probe = 0; probe < 20; ++probe) {
      if (count > 0 && rng() % 2) {
        const uint32_t flip = std::uniform_int_distribution<uint32_t>(1, count)(rng);
        model[flip] = !model[flip];
        model[flip] ? b.SetBit(flip) : b.ClearBit(flip);
        b.SetSize(std::max<uint32_t>(flip - 1, 1));  // a size change within the buffer keeps every bit
        b.SetSize(count);
      }
      if (rng() % 40 == 0)
        b.SetSize(0), b.SetSize(count), model.assign(count + 1, false);  // freed: all clear
      uint32_t from = std::uniform_int_distribution<uint32_t>(0, count + 2)(rng);
      uint32_t n = std::uniform_int_distribution<uint32_t>(1, 40)(rng);
      uint32_t expectBefore = 0;
      for (uint32_t r = 1; r < from && r <= count; ++r) expectBefore += model[r];
      ASSERT_EQ(b.CountSetBefore(from), expectBefore) << from;

      // Model of FindNext.
      uint32_t expectRec = from, found = 0;
      bool expectOk = false;
      for (uint32_t r = from + 1; r <= count && !expectOk; ++r)
        if (model[r]) {
          expectRec = r;
          expectOk = ++found == n;
        }
      uint32_t rec = from;
      int64_t pos = 1000;
      ASSERT_EQ(b.FindNext(rec, n, pos), expectOk) << from << " n=" << n;
      ASSERT_EQ(rec, expectRec);
      ASSERT_EQ(pos, 1000 + int64_t(found));

      // Model of FindPrior.
      expectRec = from;
      found = 0;
      expectOk = false;
      for (uint32_t r = std::min(from, count + 1); r-- > 1 && !expectOk;)
        if (model[r]) {
          expectRec = r;
          expectOk = ++found == n;
        }
      rec = from;
      pos = 1000;
      ASSERT_EQ(b.FindPrior(rec, n, pos), expectOk) << from << " n=" << n;
      ASSERT_EQ(rec, expectRec);
      ASSERT_EQ(pos, 1000 - int64_t(found));
    }
  }
}

// A scan counts the members before each record in turn, which is answered from the count before:
// changes on either side of the scan's place, combinations, copies and moves must each be seen.
TEST(RecordsBitmapModel, CountsOfAScanFollowTheModelThroughChanges) {
  uint32_t seed = testSeed();
  std::mt19937 rng(seed);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed) + " round " + std::to_string(round));
    const uint32_t count = std::uniform_int_distribution<uint32_t>(1, 3000)(rng);
    TRecordsBitmap b;
    b.SetSize(count);
    b.ClearAll();
    std::vector<bool> model(count + 1, false);
    auto setModel = [&](uint32_t n, bool v) {
      model[n] = v;
      v ? b.SetBit(n) : b.ClearBit(n);
    };
    for (uint32_t n = 1; n <= count; ++n)
      if (rng() % 3 != 0) setModel(n, true);
    uint32_t before = 0;
    for (uint32_t n = 1; n <= count + 1; ++n) {
      ASSERT_EQ(b.CountSetBefore(n), before) << n;
      if (n <= count) before += model[n];
      switch (rng() % 64) {
        case 0: {
          // A change at, before or after the record just counted.
          const uint32_t at = std::clamp<int64_t>(int64_t(n) + int64_t(rng() % 130) - 65, 1, count);
          const bool was = model[at];
          setModel(at, !was);
          if (at <= n && at <= count) before += was ? -1 : 1;
          break;
        }
        case 1: {
          TRecordsBitmap other;
          other.SetSize(count);
          other.SetAll();
          const uint32_t at = std::uniform_int_distribution<uint32_t>(1, count)(rng);
          other.ClearBit(at);
          b.AndBitmap(other);
          if (model[at] && at <= n) --before;
          model[at] = false;
          break;
        }
        case 2: {
          b.NotBitmap();
          before = 0;
          for (uint32_t r = 1; r <= count; ++r) {
            model[r] = !model[r];
            if (r <= n) before += model[r];
          }
          break;
        }
        case 3: {
          TRecordsBitmap copy;
          copy.Assign(b);
          copy.SetBit(1);
          b = std::move(copy);
          if (!model[1] && n >= 1) ++before;
          model[1] = true;
          break;
        }
        default:
          break;
      }
    }
  }
}

TEST(RecordsBitmapModel, FirstAndLastMembersOfARangeFollowTheModel) {
  uint32_t seed = testSeed();
  std::mt19937 rng(seed);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed) + " round " + std::to_string(round));
    const uint32_t count = std::uniform_int_distribution<uint32_t>(0, 700)(rng);
    const int density = std::uniform_int_distribution<int>(0, 30)(rng);
    TRecordsBitmap b;
    b.SetSize(count);
    // Bits past the count are set, and must never be found.
    b.SetAll();
    std::vector<bool> model(count + 1, false);
    for (uint32_t n = 1; n <= count; ++n) {
      model[n] = int(rng() % 30) < density;
      if (!model[n]) b.ClearBit(n);
    }
    for (int probe = 0; probe < 50; ++probe) {
      uint32_t first = std::uniform_int_distribution<uint32_t>(0, count + 40)(rng);
      uint32_t last = first + std::uniform_int_distribution<uint32_t>(0, 200)(rng) - 20;
      if (rng() % 10 == 0) last = UINT32_MAX;
      uint32_t low = 0, high = 0;
      for (uint64_t r = std::max<uint32_t>(first, 1); r <= std::min(last, count); ++r)
        if (model[r]) {
          if (low == 0) low = uint32_t(r);
          high = uint32_t(r);
        }
      ASSERT_EQ(b.FirstMemberIn(first, last), low) << first << ".." << last;
      ASSERT_EQ(b.LastMemberIn(first, last), high) << first << ".." << last;
    }
  }
}

// Ranges set and cleared a word at a time change exactly their records, whatever words they
// start and end in, and leave the running counts right; a range is wholly set only when the model
// says so. Ranges outside the records are refused.
TEST(RecordsBitmapModel, RangesFollowTheModel) {
  uint32_t seed = testSeed();
  std::mt19937 rng(seed);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed) + " round " + std::to_string(round));
    const uint32_t count = std::uniform_int_distribution<uint32_t>(1, 400)(rng);
    TRecordsBitmap b;
    b.SetSize(count);
    b.ClearAll();
    std::vector<bool> model(count + 1, false);
    for (int step = 0; step < 30; ++step) {
      // Often at a word's edge: records 32k, 32k + 1.
      const auto pick = [&] {
        const uint32_t n = std::uniform_int_distribution<uint32_t>(1, count)(rng);
        return rng() % 3 == 0 ? std::clamp<uint32_t>(n / 32 * 32 + rng() % 2, 1, count) : n;
      };
      uint32_t first = pick(), last = pick();
      if (first > last) std::swap(first, last);
      bool all = true;
      for (uint32_t r = first; r <= last; ++r) all = all && model[r];
      ASSERT_EQ(b.AllSetIn(first, last), all) << first << ".." << last;
      const bool set = rng() % 2 == 0;
      set ? b.SetRange(first, last) : b.ClearRange(first, last);
      for (uint32_t r = first; r <= last; ++r) model[r] = set;
      ASSERT_EQ(b.AllSetIn(first, last), set) << first << ".." << last;
      uint32_t members = 0;
      for (uint32_t r = 1; r <= count; ++r) {
        ASSERT_EQ(b.GetBit(r), model[r]) << r;
        members += model[r];
      }
      ASSERT_EQ(b.CountSet(), members);
      const uint32_t at = pick();
      ASSERT_EQ(b.CountSetBefore(at), uint32_t(std::count(model.begin() + 1, model.begin() + at, true)));
    }
    EXPECT_FALSE(b.AllSetIn(0, 1));
    EXPECT_FALSE(b.AllSetIn(2, 1));
    EXPECT_FALSE(b.AllSetIn(1, count + 1));
    EXPECT_THROW(b.SetRange(0, 1), std::out_of_range);
    EXPECT_THROW(b.SetRange(1, count + 1), std::out_of_range);
    EXPECT_THROW(b.ClearRange(2, 1), std::out_of_range);
  }
}

// A narrow filter's view is a few members in many empty words, which the searches pass a block
// at a time where the running counts know it empty: known counts, counts made stale by later
// changes and the counts a full bitmap starts with must all find what the model finds.
TEST(RecordsBitmapModel, SparseSearchesFollowTheModelWhateverTheCountsKnow) {
  uint32_t seed = testSeed();
  std::mt19937 rng(seed);
  for (int round = 0; round < 80; ++round) {
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed) + " round " + std::to_string(round));
    const uint32_t count = std::uniform_int_distribution<uint32_t>(1, 20000)(rng);
    std::vector<bool> model(count + 1, false);
    const int members = std::uniform_int_distribution<int>(0, 8)(rng);
    for (int i = 0; i < members; ++i) model[std::uniform_int_distribution<uint32_t>(1, count)(rng)] = true;
    TRecordsBitmap b;
    b.SetSize(count);
    const int build = int(rng() % 3);
    if (build == 0) {
      b.ClearAll();
      for (uint32_t n = 1; n <= count; ++n)
        if (model[n]) b.SetBit(n);
    } else {
      // From a full bitmap (bits past the count stay set): cleared bit by bit, or intersected.
      b.SetAll();
      if (build == 1) {
        if (rng() % 2) {
          ASSERT_EQ(b.CountSet(), count);
        }
        for (uint32_t n = 1; n <= count; ++n)
          if (!model[n]) b.ClearBit(n);
      } else {
        TRecordsBitmap other;
        other.SetSize(count);
        other.ClearAll();
        for (uint32_t n = 1; n <= count; ++n)
          if (model[n]) other.SetBit(n);
        b.AndBitmap(other);
      }
    }
    if (rng() % 4 != 0) {
      ASSERT_EQ(b.CountSet(), uint32_t(std::count(model.begin() + 1, model.end(), true)));
    }
    // Changes after the count leave some blocks' counts stale.
    for (int flips = int(rng() % 3); flips > 0; --flips) {
      const uint32_t n = std::uniform_int_distribution<uint32_t>(1, count)(rng);
      model[n] = !model[n];
      model[n] ? b.SetBit(n) : b.ClearBit(n);
    }
    for (int probe = 0; probe < 30; ++probe) {
      const uint32_t from = std::uniform_int_distribution<uint32_t>(0, count)(rng);
      const uint32_t n = std::uniform_int_distribution<uint32_t>(1, 3)(rng);
      uint32_t expectRec = from, found = 0;
      bool expectOk = false;
      for (uint32_t r = from + 1; r <= count && !expectOk; ++r)
        if (model[r]) {
          expectRec = r;
          expectOk = ++found == n;
        }
      uint32_t rec = from;
      int64_t pos = 0;
      ASSERT_EQ(b.FindNext(rec, n, pos), expectOk) << from << " n=" << n;
      ASSERT_EQ(rec, expectRec) << from << " n=" << n;
      ASSERT_EQ(pos, int64_t(found));
      const uint32_t first = std::max<uint32_t>(from, 1);
      const uint32_t last = first + std::uniform_int_distribution<uint32_t>(0, 3000)(rng);
      uint32_t low = 0;
      for (uint32_t r = first; r <= std::min(last, count) && low == 0; ++r)
        if (model[r]) low = r;
      ASSERT_EQ(b.FirstMemberIn(first, last), low) << first << ".." << last;
    }
  }
}

// ---- Combining ----

TEST(RecordsBitmapCombine, AndOrNotFollowTheModel) {
  uint32_t seed = testSeed();
  std::mt19937 rng(seed);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed) + " round " + std::to_string(round));
    uint32_t countA = std::uniform_int_distribution<uint32_t>(0, 3000)(rng);
    uint32_t countB = std::uniform_int_distribution<uint32_t>(0, 3000)(rng);
    TRecordsBitmap a, b;
    a.SetSize(countA);
    b.SetSize(countB);
    a.ClearAll();
    b.SetAll();  // b's bits past its count are set: they must not leak into a
    std::vector<bool> ma(countA + 1), mb(countB + 1, true);
    for (uint32_t n = 1; n <= countA; ++n)
      if (rng() % 2) {
        a.SetBit(n);
        ma[n] = true;
      }
    for (uint32_t n = 1; n <= countB; ++n)
      if (rng() % 2) {
        b.ClearBit(n);
        mb[n] = false;
      }
    auto inB = [&](uint32_t n) { return n <= countB && mb[n]; };

    TRecordsBitmap x;
    x.Assign(a);
    ASSERT_EQ(x.Count(), a.Count());
    ASSERT_EQ(x.BufferSize(), a.BufferSize());
    x.AndBitmap(b);
    for (uint32_t n = 1; n <= countA; ++n) ASSERT_EQ(x.GetBit(n), ma[n] && inB(n)) << "and " << n;

    x.Assign(a);
    x.OrBitmap(b);
    for (uint32_t n = 1; n <= countA; ++n) ASSERT_EQ(x.GetBit(n), ma[n] || inB(n)) << "or " << n;

    x.Assign(a);
    x.NotBitmap();
    for (uint32_t n = 1; n <= countA; ++n) ASSERT_EQ(x.GetBit(n), !ma[n]) << "not " << n;
  }
}

TEST(RecordsBitmapCombine, ASmallerOtherBitmapIsNeverReadPast) {
  // The larger bitmap needs more than one buffer block, the smaller one has a single word.
  TRecordsBitmap big, small;
  big.SetSize(5000);
  big.SetAll();
  small.SetSize(3);
  small.SetAll();
  big.AndBitmap(small);
  EXPECT_EQ(big.CountSet(), 3u);
  big.SetAll();
  small.ClearAll();
  small.SetBit(2);
  big.NotBitmap();
  big.OrBitmap(small);
  EXPECT_EQ(big.CountSet(), 1u);
  EXPECT_TRUE(big.GetBit(2));
  TRecordsBitmap empty;
  big.OrBitmap(empty);
  EXPECT_EQ(big.CountSet(), 1u);
  big.AndBitmap(empty);
  EXPECT_EQ(big.CountSet(), 0u);
}

// ---- Pool ----

class RecordsBitmapPoolTest : public ::testing::Test {
 protected:
  TRecordsBitmapStack pool;
};

TEST_F(RecordsBitmapPoolTest, RecycledBitmapsComeBackClearedWithTheirSize) {
  auto b = pool.Get();
  EXPECT_EQ(b->Count(), 0u);
  b->SetSize(100);
  b->SetAll();
  TRecordsBitmap* raw = b.get();
  pool.Put(b);
  EXPECT_EQ(b, nullptr) << "the caller's reference is gone";
  EXPECT_EQ(pool.SpareCount(), 1u);
  auto again = pool.Get();
  EXPECT_EQ(again.get(), raw);
  EXPECT_EQ(again->Count(), 100u);
  EXPECT_EQ(again->CountSet(), 0u);
  EXPECT_EQ(pool.SpareCount(), 0u);
}

TEST_F(RecordsBitmapPoolTest, ThreadsShareThePool) {
  std::vector<std::jthread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([this] {
      for (int i = 0; i < 500; ++i) {
        auto b = pool.Get();
        b->SetSize(64);
        b->SetBit(7);
        EXPECT_EQ(b->CountSet(), 1u);
        pool.Put(b);
      }
    });
  threads.clear();
  EXPECT_LE(pool.SpareCount(), 8u);
  EXPECT_GE(pool.SpareCount(), 1u);
}

}  // namespace
}  // namespace engine
