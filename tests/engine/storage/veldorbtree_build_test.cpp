// A tree built bottom-up from sorted keys against one built by inserting the same keys one at a
// time: the same entries in the same order, the same positions, ranges and counts, and a checker
// that finds nothing wrong in either; then the built tree takes random inserts and deletes as any
// other. Over key sizes from eight bytes to the largest (seven entries a page, many levels), every
// compression mode, unique and non-unique indexes with repeated user keys, and three orders:
// plain bytes, bytes reversed (a descending index) and a compare of its own that ignores case
// (an index of a table with a locale).
//
// The seed is printed; VELMARON_SEED replays it.
#include <algorithm>
#include <cctype>
#include <numeric>
#include <sstream>

#include "engine/storage/veldorbitmap.h"
#include "tests/engine/storage/index_test_util.h"

namespace {

using namespace index_test;

enum class Order { Bytes, Reversed, IgnoringCase };

// Orders keys as a descending index or a locale's case-insensitive compare does.
class OrderedCursor : public TIndexCursor {
 public:
  explicit OrderedCursor(Order order) : order_(order) {}
  int CompareKeys(const uint8_t* a, const uint8_t* b, uint16_t n) const override {
    return Compare(order_, a, b, n);
  }
  int ByteOrder() const override { return order_ == Order::Bytes ? 1 : (order_ == Order::Reversed ? -1 : 0); }

  static int Compare(Order order, const uint8_t* a, const uint8_t* b, uint16_t n) {
    if (order == Order::Bytes) return CompareBytes(a, b, n, false);
    if (order == Order::Reversed) return CompareBytes(a, b, n, true);
    for (uint16_t i = 0; i < n; ++i) {
      const int x = std::toupper(a[i]), y = std::toupper(b[i]);
      if (x != y) return x < y ? -1 : 1;
    }
    // Keys that differ only in case still differ, as the engine's keys always do.
    return CompareBytes(a, b, n, false);
  }

 private:
  Order order_;
};

struct BuildCase {
  uint16_t keySize;
  uint8_t compression;
  bool unique;
  Order order;
  uint32_t keys;
};

std::string CaseName(const testing::TestParamInfo<BuildCase>& info) {
  const BuildCase& c = info.param;
  std::ostringstream s;
  s << "K" << c.keySize << "_C" << int(c.compression) << (c.unique ? "_Unique" : "_NonUnique")
    << (c.order == Order::Bytes      ? "_Bytes"
        : c.order == Order::Reversed ? "_Reversed"
                                     : "_IgnoringCase")
    << "_N" << c.keys;
  return s.str();
}

// One index file whose cursor orders keys as the case asks.
struct OrderedIndex {
  OrderedIndex(const BuildCase& c)
      : fx(IndexSetup{c.keySize, c.compression, c.unique, false}), cursor(c.order), order(c.order) {}
  TIndexTree tree() { return TIndexTree(*fx.file, cursor, fx.slot); }
  tablecheck::Report check() {
    fx.flush();
    tablecheck::Options options;
    // The files hold keys only, no records.
    options.checkKeysPerRecord = false;
    options.compare = [o = order](uint8_t, const uint8_t* a, const uint8_t* b, uint16_t n) {
      return OrderedCursor::Compare(o, a, b, n);
    };
    return tablecheck::CheckIndexImage(fx.bytes(), options);
  }
  std::vector<std::pair<std::string, uint32_t>> entries() {
    std::vector<std::pair<std::string, uint32_t>> all;
    const uint16_t k = fx.file->GetKeySize(fx.slot);
    tree().ForEachKey([&](const uint8_t* key, uint32_t ref) {
      all.emplace_back(std::string(reinterpret_cast<const char*>(key), k), ref);
    });
    return all;
  }

  IndexFileFixture fx;
  OrderedCursor cursor;
  Order order;
};

class BottomUpBuildTest : public testing::TestWithParam<BuildCase> {
 protected:
  void SetUp() override {
    seed_ = testSeed();
    rng_.seed(seed_);
  }

  // Random keys in random order; user keys repeat (a non-unique index tells them apart by the
  // id at the end, a unique one gets each once). Letters in both cases in the leading bytes, so
  // that a compare that folds case orders them otherwise than their bytes.
  std::vector<std::pair<std::string, uint32_t>> randomKeys(const BuildCase& c) {
    const size_t user = c.unique ? c.keySize : size_t(c.keySize - kUniqueIdKeySize);
    const uint32_t distinct = std::max<uint32_t>(2, c.unique ? c.keys * 4 : c.keys / 3);
    std::vector<std::pair<std::string, uint32_t>> keys;
    std::vector<std::string> seen;
    for (uint32_t i = 0; i < c.keys; ++i) {
      std::string key = MakeKey(uint32_t(rng_() % distinct), user);
      // Case-folded letters in the leading bytes.
      for (size_t b = 0; b < std::min<size_t>(user, 2); ++b)
        if (rng_() % 2) key[b] = char((rng_() % 2 ? 'a' : 'A') + rng_() % 3);
      if (!c.unique) key += MakeKey(i + 1, kUniqueIdKeySize);
      keys.emplace_back(key, i + 1);
    }
    if (c.unique) {
      // Keys equal under the case's order appear once.
      std::vector<std::pair<std::string, uint32_t>> kept;
      std::sort(keys.begin(), keys.end(),
                [&](const auto& a, const auto& b) { return less(c, a.first, b.first); });
      for (auto& k : keys)
        if (kept.empty() || less(c, kept.back().first, k.first)) kept.push_back(k);
      keys = std::move(kept);
      std::shuffle(keys.begin(), keys.end(), rng_);
    }
    return keys;
  }

  static bool less(const BuildCase& c, const std::string& a, const std::string& b) {
    return OrderedCursor::Compare(c.order, Bytes(a), Bytes(b), c.keySize) < 0;
  }

  uint32_t seed_ = 0;
  std::mt19937 rng_;
};

TEST_P(BottomUpBuildTest, EqualsATreeBuiltByInsertsAndCarriesOnLikeOne) {
  SCOPED_TRACE("seed " + std::to_string(seed_));
  const BuildCase& c = GetParam();
  std::vector<std::pair<std::string, uint32_t>> keys = randomKeys(c);
  OrderedIndex inserted(c), built(c);
  for (const auto& [key, ref] : keys) inserted.tree().InsertKey(Bytes(key), ref);
  std::vector<std::pair<std::string, uint32_t>> sorted = keys;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [&](const auto& a, const auto& b) { return less(c, a.first, b.first); });
  built.tree().BuildFromSorted(
      sorted.size(), [&](size_t i) { return Bytes(sorted[i].first); },
      [&](size_t i) { return sorted[i].second; });

  // Entries, counts and the checker.
  ASSERT_EQ(built.entries(), inserted.entries());
  ASSERT_EQ(built.tree().KeyCount(), keys.size());
  const tablecheck::Report builtReport = built.check(), insertedReport = inserted.check();
  ASSERT_TRUE(builtReport.ok()) << builtReport.text();
  ASSERT_TRUE(insertedReport.ok()) << insertedReport.text();
  ASSERT_EQ(builtReport.indexes.size(), insertedReport.indexes.size());
  EXPECT_EQ(builtReport.indexes.front().keys, insertedReport.indexes.front().keys);
  // Filled at least as full as by inserts.
  EXPECT_LE(builtReport.indexes.front().pages, insertedReport.indexes.front().pages);
  EXPECT_LE(builtReport.indexes.front().depth, insertedReport.indexes.front().depth);

  // Positions and neighbours of every key, and of probes between them.
  std::vector<std::string> probes;
  for (const auto& k : keys) probes.push_back(k.first);
  for (int i = 0; i < 50; ++i) probes.push_back(MakeKey(uint32_t(rng_()), c.keySize));
  for (const std::string& probe : probes) {
    uint64_t at = 0, atInserted = 0;
    uint32_t ref = 0, refInserted = 0;
    const bool found = built.tree().FindKey(Bytes(probe), at, &ref);
    ASSERT_EQ(found, inserted.tree().FindKey(Bytes(probe), atInserted, &refInserted));
    ASSERT_EQ(at, atInserted);
    if (at <= keys.size()) {
      ASSERT_EQ(ref, refInserted);
    }
  }
  for (uint64_t p = 1; p <= keys.size(); p += 1 + p / 3) {
    std::vector<uint8_t> a(c.keySize), b(c.keySize);
    uint32_t ra = 0, rb = 0;
    ASSERT_TRUE(built.tree().KeyAtPosition(p, a.data(), ra));
    ASSERT_TRUE(inserted.tree().KeyAtPosition(p, b.data(), rb));
    ASSERT_EQ(a, b);
    ASSERT_EQ(ra, rb);
  }
  // Ranges into bitmaps.
  for (int i = 0; i < 20 && !sorted.empty(); ++i) {
    size_t lo = rng_() % sorted.size(), hi = rng_() % sorted.size();
    if (lo > hi) std::swap(lo, hi);
    TRecordsBitmap a, b;
    a.SetSize(c.keys);
    b.SetSize(c.keys);
    built.tree().AddRangeToBitmap(Bytes(sorted[lo].first), Bytes(sorted[hi].first), a);
    inserted.tree().AddRangeToBitmap(Bytes(sorted[lo].first), Bytes(sorted[hi].first), b);
    for (uint32_t r = 1; r <= c.keys; ++r) ASSERT_EQ(a.GetBit(r), b.GetBit(r)) << "record " << r;
  }

  // Inserts and deletes go on from the built tree as from any other, also after a reopen.
  built.fx.reopen();
  std::vector<std::pair<std::string, uint32_t>> model = sorted;
  uint32_t nextRef = uint32_t(keys.size()) + 1;
  for (int round = 0; round < 2; ++round) {
    for (uint32_t i = 0; i < c.keys / 2 + 4; ++i) {
      if (!model.empty() && rng_() % 2) {
        const size_t victim = rng_() % model.size();
        ASSERT_TRUE(built.tree().DeleteKey(Bytes(model[victim].first), model[victim].second));
        model.erase(model.begin() + ptrdiff_t(victim));
      } else {
        std::string key =
            MakeKey(uint32_t(rng_()), c.unique ? c.keySize : size_t(c.keySize - kUniqueIdKeySize));
        if (!c.unique) key += MakeKey(nextRef, kUniqueIdKeySize);
        const auto same = [&](const auto& m) { return !less(c, m.first, key) && !less(c, key, m.first); };
        if (c.unique && std::any_of(model.begin(), model.end(), same)) continue;
        built.tree().InsertKey(Bytes(key), nextRef);
        const auto at =
            std::upper_bound(model.begin(), model.end(), key,
                             [&](const std::string& k, const auto& m) { return less(c, k, m.first); });
        model.insert(at, {key, nextRef++});
      }
    }
    ASSERT_EQ(built.entries(), model);
    const tablecheck::Report after = built.check();
    ASSERT_TRUE(after.ok()) << after.text();
    built.fx.reopen();
  }
}

std::vector<BuildCase> AllCases() {
  std::vector<BuildCase> cases;
  for (Order order : {Order::Bytes, Order::Reversed, Order::IgnoringCase})
    for (bool unique : {true, false}) {
      cases.push_back({12, kcNone, unique, order, 1500});
      cases.push_back({40, kcBoth, unique, order, 1500});
      // Seven entries a page: many levels.
      cases.push_back({uint16_t(kMaxKeyFieldsSize), kcNone, unique, order, 800});
    }
  for (uint8_t compression : {kcLeading, kcTrailing}) {
    cases.push_back({24, compression, true, Order::Bytes, 1500});
    cases.push_back({24, compression, false, Order::Bytes, 1500});
  }
  // Too few keys for a branch; one key; none.
  cases.push_back({8, kcNone, true, Order::Bytes, 100});
  cases.push_back({8, kcNone, false, Order::Bytes, 1});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Shapes, BottomUpBuildTest, testing::ValuesIn(AllCases()), CaseName);

class BottomUpBuildRefusalTest : public testing::Test {};

TEST_F(BottomUpBuildRefusalTest, EqualKeysOfAUniqueIndexLeaveItEmpty) {
  IndexFileFixture fx(IndexSetup{8, kcNone, true, false});
  const uint32_t pagesBefore = fx.file->GetNextPageNumber();
  std::vector<std::string> keys;
  for (uint32_t i = 0; i < 2000; ++i) keys.push_back(MakeKey(i, 8));
  std::sort(keys.begin(), keys.end());
  keys[1500] = keys[1499];
  try {
    fx.tree().BuildFromSorted(
        keys.size(), [&](size_t i) { return Bytes(keys[i]); }, [](size_t i) { return uint32_t(i + 1); });
    FAIL() << "equal keys were taken";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode(), VELDOR_KEYVIOL);
  }
  EXPECT_EQ(fx.file->GetRootPageNumber(fx.slot), 0u);
  EXPECT_EQ(fx.file->GetNextPageNumber(), pagesBefore);
  EXPECT_TRUE(fx.sound(false));
}

// The first byte of every key changed in place: a tree of three levels keeps its pages and
// shape, finds every key by its new bytes and still carries inserts; a tree with one key that
// starts otherwise, or with compressed leaves, is refused whole, its file as it was.
class ReplaceLeadingByteTest : public testing::Test {
 protected:
  // Keys of 200 bytes: about twenty to a page, so a thousand make three levels.
  static constexpr uint16_t kKeySize = 200;
  static std::vector<std::string> keys(uint32_t count, char lead) {
    std::vector<std::string> all;
    for (uint32_t i = 0; i < count; ++i) all.push_back(lead + MakeKey(i, kKeySize - 1));
    std::sort(all.begin(), all.end());
    return all;
  }
  static void build(IndexFileFixture& fx, const std::vector<std::string>& all) {
    fx.tree().BuildFromSorted(
        all.size(), [&](size_t i) { return Bytes(all[i]); }, [](size_t i) { return uint32_t(i + 1); });
  }
  static std::vector<std::pair<std::string, uint32_t>> entries(IndexFileFixture& fx) {
    std::vector<std::pair<std::string, uint32_t>> all;
    fx.tree().ForEachKey([&](const uint8_t* key, uint32_t ref) {
      all.emplace_back(std::string(reinterpret_cast<const char*>(key), kKeySize), ref);
    });
    return all;
  }
};

TEST_F(ReplaceLeadingByteTest, EveryKeyOfEveryLevelTakesTheNewByte) {
  for (const bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "plain");
    IndexFileFixture fx(IndexSetup{kKeySize, kcNone, true, encrypted});
    const std::vector<std::string> before = keys(1000, '\0');
    build(fx, before);
    const tablecheck::Report shape = fx.check(false);
    ASSERT_TRUE(shape.ok()) << shape.text();
    ASSERT_EQ(shape.indexes.front().depth, 3u);
    const uint32_t root = fx.file->GetRootPageNumber(fx.slot), pages = fx.file->GetNextPageNumber();

    ASSERT_TRUE(fx.tree().ReplaceLeadingByte(0, 1));
    std::vector<std::pair<std::string, uint32_t>> expected;
    for (size_t i = 0; i < before.size(); ++i)
      expected.emplace_back('\1' + before[i].substr(1), uint32_t(i + 1));
    EXPECT_EQ(entries(fx), expected);
    EXPECT_EQ(fx.file->GetRootPageNumber(fx.slot), root);
    EXPECT_EQ(fx.file->GetNextPageNumber(), pages);
    // Read back from the file: every branch key changed too, or a search would miss.
    fx.reopen();
    const tablecheck::Report after = fx.check(false);
    ASSERT_TRUE(after.ok()) << after.text();
    EXPECT_EQ(after.indexes.front().depth, 3u);
    EXPECT_EQ(after.indexes.front().pages, shape.indexes.front().pages);
    for (size_t i = 0; i < expected.size(); i += 7) {
      uint64_t position = 0;
      uint32_t reference = 0;
      ASSERT_TRUE(fx.tree().FindKey(Bytes(expected[i].first), position, &reference)) << i;
      EXPECT_EQ(position, i + 1);
      EXPECT_EQ(reference, i + 1);
      EXPECT_FALSE(fx.tree().HasKey(Bytes(before[i])));
    }
    // The tree carries on as any other: keys before and after the changed ones.
    fx.tree().InsertKey(Bytes(std::string(kKeySize, '\0')), 5000);
    fx.tree().InsertKey(Bytes(std::string(kKeySize, '\2')), 5001);
    EXPECT_EQ(fx.tree().KeyCount(), before.size() + 2);
    EXPECT_TRUE(fx.sound(false));
  }
}

TEST_F(ReplaceLeadingByteTest, AKeyThatStartsOtherwiseOrACompressedLeafChangesNothing) {
  {
    SCOPED_TRACE("the last key starts otherwise");
    IndexFileFixture fx(IndexSetup{kKeySize, kcNone, true, false});
    std::vector<std::string> all = keys(1000, '\0');
    all.back()[0] = '\2';
    build(fx, all);
    fx.flush();
    const std::vector<uint8_t> image = fx.bytes();
    EXPECT_FALSE(fx.tree().ReplaceLeadingByte(0, 1));
    fx.flush();
    EXPECT_EQ(fx.bytes(), image);
  }
  {
    SCOPED_TRACE("compressed leaves");
    IndexFileFixture fx(IndexSetup{kKeySize, kcBoth, true, false});
    build(fx, keys(1000, '\0'));
    fx.flush();
    const std::vector<uint8_t> image = fx.bytes();
    EXPECT_FALSE(fx.tree().ReplaceLeadingByte(0, 1));
    fx.flush();
    EXPECT_EQ(fx.bytes(), image);
  }
}

}  // namespace
