// Model-based tests of the counted B+-tree: random inserts and deletes against a std::multimap,
// for every key size class, compression mode, unique and non-unique indexes, plain and
// encrypted files, with the smallest page cache and with a cache that grows under a
// transaction. Equal keys in unique indexes are refused. After every batch the checker finds
// nothing wrong and the counted position of every key equals its rank in the model; all of it
// again after closing and reopening.
//
// The seed is printed; VELMARON_SEED replays it. VELMARON_PROPERTY_SCALE multiplies the
// number of operations (1 in CI).
#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

#include "tests/engine/storage/index_test_util.h"

namespace {

using namespace index_test;

struct TreeCase {
  uint16_t keySize;
  uint8_t compression;
  bool unique;
  bool encrypted;
  bool transaction;  // the cache grows instead of flushing
};

std::string CaseName(const testing::TestParamInfo<TreeCase>& info) {
  const TreeCase& c = info.param;
  std::ostringstream s;
  s << "K" << c.keySize << "_C" << int(c.compression) << (c.unique ? "_Unique" : "_NonUnique")
    << (c.encrypted ? "_Encrypted" : "") << (c.transaction ? "_Transaction" : "");
  return s.str();
}

int Scale() {
  if (const char* s = std::getenv("VELMARON_PROPERTY_SCALE")) return std::max(1, std::atoi(s));
  return 1;
}

enum class Pattern { Sequential, Reverse, Random, Skewed };

class CountedTreeModelTest : public testing::TestWithParam<TreeCase> {
 protected:
  void SetUp() override {
    seed_ = testSeed();
    rng_.seed(seed_);
    const TreeCase& c = GetParam();
    fx_ = std::make_unique<IndexFileFixture>(IndexSetup{c.keySize, c.compression, c.unique, c.encrypted});
    fx_->owner.transactionLock = c.transaction;
    userSize_ = c.unique ? c.keySize : size_t(c.keySize - 4);
    // Small keys have a small key space: keep values inside it.
    valueRange_ = c.keySize == 1 ? 256u : (c.keySize == 2 ? 4000u : 1u << 20);
  }

  // A non-unique index keeps the record's id after the user's key.
  std::string fullKey(const std::string& user, uint32_t id) const {
    return GetParam().unique ? user : user + MakeKey(id, 4);
  }

  uint32_t nextValue(Pattern pattern) {
    switch (pattern) {
      case Pattern::Sequential:
        return counter_++ % valueRange_;
      case Pattern::Reverse:
        return (valueRange_ - 1) - (counter_++ % valueRange_);
      case Pattern::Random:
        return rng_() % valueRange_;
      case Pattern::Skewed:
        return rng_() % 10 < 8 ? rng_() % 16 : rng_() % valueRange_;
    }
    return 0;
  }

  void insertOne(Pattern pattern) {
    const std::string user = MakeKey(nextValue(pattern), userSize_);
    const uint32_t id = ++lastId_;
    const std::string key = fullKey(user, id);
    TIndexTree tree = fx_->tree();
    // An equal key in a unique index is refused and changes no count (the next verify says so).
    if (GetParam().unique && model_.count(user) != 0) {
      ASSERT_EQ(storage_test::errorOf([&] { tree.InsertKey(Bytes(key), id); }), VELDOR_KEYVIOL);
      return;
    }
    tree.InsertKey(Bytes(key), id);
    model_.emplace(user, id);
    fx_->file->IncRecordCount();
  }

  void deleteOne(bool fromFront) {
    if (model_.empty()) return;
    auto it = model_.begin();
    if (!fromFront) std::advance(it, rng_() % model_.size());
    const std::string key = fullKey(it->first, it->second);
    TIndexTree tree = fx_->tree();
    ASSERT_TRUE(tree.DeleteKey(Bytes(key), it->second));
    model_.erase(it);
    fx_->file->DecRecordCount();
  }

  // The checker's rules and the counted positions against the model.
  void verify(const std::string& when) {
    SCOPED_TRACE(when);
    const tablecheck::Report report = fx_->check();
    ASSERT_TRUE(report.ok()) << report.text();
    std::vector<std::pair<std::string, uint32_t>> sorted;
    for (const auto& [user, id] : model_) sorted.emplace_back(fullKey(user, id), id);
    std::sort(sorted.begin(), sorted.end());
    TIndexTree tree = fx_->tree();
    ASSERT_EQ(tree.KeyCount(), sorted.size());
    std::vector<uint8_t> key(GetParam().keySize);
    for (size_t i = 0; i < sorted.size(); ++i) {
      uint64_t position = 0;
      uint32_t ref = 0;
      ASSERT_TRUE(tree.FindKey(Bytes(sorted[i].first), position, &ref)) << "key " << i << " not found";
      ASSERT_EQ(position, i + 1) << "rank of key " << i;
      ASSERT_EQ(ref, sorted[i].second);
      // Every few keys, the way back from a position to its key.
      if (i % 7 == 0) {
        ASSERT_TRUE(tree.KeyAtPosition(i + 1, key.data(), ref));
        ASSERT_EQ(std::string(key.begin(), key.end()), sorted[i].first);
      }
    }
  }

  void batch(Pattern pattern, int inserts, int deletes) {
    for (int i = 0; i < inserts; ++i) ASSERT_NO_FATAL_FAILURE(insertOne(pattern));
    for (int i = 0; i < deletes; ++i) ASSERT_NO_FATAL_FAILURE(deleteOne(false));
  }

  uint32_t seed_ = 0;
  std::mt19937 rng_;
  std::unique_ptr<IndexFileFixture> fx_;
  std::multimap<std::string, uint32_t> model_;
  size_t userSize_ = 0;
  uint32_t valueRange_ = 0;
  uint32_t counter_ = 0;
  uint32_t lastId_ = 0;
};

TEST_P(CountedTreeModelTest, PositionsMatchTheModelThroughInsertsDeletesAndReopen) {
  const int n = GetParam().keySize >= 68 ? 90 * Scale() : 300 * Scale();
  const Pattern patterns[] = {Pattern::Sequential, Pattern::Reverse, Pattern::Random, Pattern::Skewed};
  int round = 0;
  for (Pattern pattern : patterns) {
    for (int b = 0; b < 3; ++b) {
      ASSERT_NO_FATAL_FAILURE(batch(pattern, n, n / 3));
      ASSERT_NO_FATAL_FAILURE(verify("round " + std::to_string(round++)));
    }
  }
  fx_->reopen();
  ASSERT_NO_FATAL_FAILURE(verify("after reopen"));

  // Delete to empty, from the front so that the left edge is taken apart page by page.
  while (!model_.empty()) ASSERT_NO_FATAL_FAILURE(deleteOne(model_.size() % 2 == 0));
  ASSERT_NO_FATAL_FAILURE(verify("emptied"));
  EXPECT_EQ(fx_->file->GetRootPageNumber(fx_->slot), 0u);
  const uint32_t pagesWhenEmpty = fx_->file->GetNextPageNumber();

  // Refill: freed pages are used again before the file grows.
  counter_ = 0;
  ASSERT_NO_FATAL_FAILURE(batch(Pattern::Random, n, 0));
  ASSERT_NO_FATAL_FAILURE(verify("refilled"));
  EXPECT_LE(fx_->file->GetNextPageNumber(), pagesWhenEmpty + 1);
  fx_->reopen();
  ASSERT_NO_FATAL_FAILURE(verify("refilled and reopened"));
}

std::vector<TreeCase> AllCases() {
  std::vector<TreeCase> cases;
  for (uint16_t k : {uint16_t(1), uint16_t(2), uint16_t(5), uint16_t(68), uint16_t(522)})
    for (uint8_t c = kcNone; c <= kcBoth; ++c)
      for (bool unique : {true, false}) {
        if (!unique && k < 5) continue;
        cases.push_back({k, c, unique, false, false});
      }
  // Encryption and the growing cache on a few shapes.
  cases.push_back({5, kcNone, true, true, false});
  cases.push_back({68, kcBoth, false, true, false});
  cases.push_back({2, kcLeading, true, false, true});
  cases.push_back({68, kcTrailing, false, true, true});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(KeySizesModes, CountedTreeModelTest, testing::ValuesIn(AllCases()), CaseName);

}  // namespace
