// A cursor's key searches start from the pages its last search went through (TDescentMemo).
// Beside a writer that inserts and deletes keys between the searches, through another cursor of
// the same index file or through a second file object on the same file as another process would,
// while the tree grows from nothing to several levels and shrinks to nothing again (splits,
// merges, balances, the root moving up and down), every search answers as a fresh descent from
// the root does: found, position, reference and the neighbours, and the position is the key's
// rank in a model. The seed is printed; VELMARON_SEED replays it.
#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "tests/engine/storage/index_test_util.h"

namespace {

using namespace index_test;

// Looks for another writer before a page is used, as a table does: a moved header counter drops
// the cached pages and starts the operation again.
class WatchingCursor : public TIndexCursor {
 public:
  explicit WatchingCursor(TIndexFile& file) : file_(file) {}
  bool BeginRead() override {
    if (!file_.HeaderChanged()) return false;
    file_.ClearPageCache();
    return true;
  }

 private:
  TIndexFile& file_;
};

struct MemoCase {
  uint16_t keySize;
  uint8_t compression;
  bool unique;
  // The writer is a second file object on the same file (another process's view).
  bool otherFile;
};

std::string CaseName(const testing::TestParamInfo<MemoCase>& info) {
  const MemoCase& c = info.param;
  std::ostringstream s;
  s << "K" << c.keySize << "_C" << int(c.compression) << (c.unique ? "_Unique" : "_NonUnique")
    << (c.otherFile ? "_OtherFile" : "_OtherCursor");
  return s.str();
}

class RememberedDescentTest : public testing::TestWithParam<MemoCase> {
 protected:
  void SetUp() override {
    seed_ = testSeed();
    rng_.seed(seed_);
    const MemoCase& c = GetParam();
    fx_ = std::make_unique<IndexFileFixture>(IndexSetup{c.keySize, c.compression, c.unique, false});
    userSize_ = c.unique ? c.keySize : size_t(c.keySize - kUniqueIdKeySize);
    if (c.otherFile) {
      // The created file is held exclusively: both views open it again, each through its own list.
      fx_->reopen();
      writerFile_ = std::make_unique<TIndexFile>(fx_->owner, &otherList_);
      writerFile_->SetName(fx_->path);
      writerFile_->Open();
    }
    searcher_.emplace(*fx_->file);
  }

  TIndexFile& writerFile() { return writerFile_ ? *writerFile_ : *fx_->file; }

  // Key of value v: big-endian in front, so that keys order as their values.
  std::string keyOf(uint32_t v, uint32_t id) const {
    std::string user(userSize_, '\x01');
    for (int i = 0; i < 4; ++i) user[size_t(i)] = char(uint8_t(v >> (24 - 8 * i)));
    return GetParam().unique ? user : user + MakeKey(id, kUniqueIdKeySize);
  }

  // The writer's change, made visible to the searcher as a commit makes it.
  void change(const std::function<void(TIndexTree&)>& edit) {
    TIndexTree tree(writerFile(), writer_, fx_->slot);
    edit(tree);
    if (writerFile_) {
      writerFile_->FlushDirtyPages();
      writerFile_->WriteHeader(true);
    }
  }

  // The key of v (taken already in a unique index: nothing changes).
  std::string insert(uint32_t v) {
    const uint32_t id = ++lastId_;
    const std::string key = keyOf(v, id);
    if (model_.count(key) != 0) return key;
    change([&](TIndexTree& t) { t.InsertKey(Bytes(key), id); });
    model_.insert(key);
    ids_[key] = id;
    return key;
  }

  void erase(const std::string& key) {
    change([&](TIndexTree& t) { ASSERT_TRUE(t.DeleteKey(Bytes(key), ids_[key])); });
    model_.erase(key);
  }

  static void expectSameEntry(const TKeyEntry& a, const TKeyEntry& b, size_t k, const char* which) {
    EXPECT_EQ(a.valid, b.valid) << which;
    if (!a.valid || !b.valid) return;
    EXPECT_EQ(a.reference, b.reference) << which;
    EXPECT_TRUE(std::equal(a.key.begin(), a.key.begin() + ptrdiff_t(k), b.key.begin())) << which;
  }

  // The searcher's answer for `key` against a fresh cursor's and the model's.
  void search(const std::string& key, const std::string& what) {
    SCOPED_TRACE(what + ", " + std::to_string(model_.size()) + " keys, seed " + std::to_string(seed_));
    uint64_t position = 0, freshPosition = 0;
    uint32_t ref = 0, freshRef = 0;
    TKeyNeighbours near, freshNear;
    // An operation looks for other writers first, as a cursor's search does.
    searcher_->BeginRead();
    const bool found =
        TIndexTree(*fx_->file, *searcher_, fx_->slot).FindKey(Bytes(key), position, &ref, &near);
    WatchingCursor fresh(*fx_->file);
    const bool freshFound =
        TIndexTree(*fx_->file, fresh, fx_->slot).FindKey(Bytes(key), freshPosition, &freshRef, &freshNear);
    ASSERT_EQ(found, freshFound);
    ASSERT_EQ(position, freshPosition);
    EXPECT_EQ(ref, freshRef);
    expectSameEntry(near.before, freshNear.before, key.size(), "before");
    expectSameEntry(near.at, freshNear.at, key.size(), "at");
    expectSameEntry(near.after, freshNear.after, key.size(), "after");
    const auto at = model_.lower_bound(key);
    ASSERT_EQ(position, uint64_t(std::distance(model_.begin(), at)) + 1);
    ASSERT_EQ(found, at != model_.end() && *at == key);
  }

  // Searches as a join's inner side makes them: keys in order, each found entry looked up again
  // (a step from it), the gaps between keys, and a few anywhere.
  void searches(int count) {
    if (model_.empty()) {
      search(keyOf(rng_(), 0), "empty");
      return;
    }
    std::vector<std::string> keys(model_.begin(), model_.end());
    const size_t stride = std::max<size_t>(1, keys.size() / size_t(count));
    for (size_t i = rng_() % stride; i < keys.size(); i += stride) {
      ASSERT_NO_FATAL_FAILURE(search(keys[i], "entry " + std::to_string(i)));
      ASSERT_NO_FATAL_FAILURE(search(keys[i], "entry again " + std::to_string(i)));
      std::string gap = keys[i];
      gap.back() = char(uint8_t(gap.back()) + 1);
      ASSERT_NO_FATAL_FAILURE(search(gap, "after entry " + std::to_string(i)));
    }
    for (int i = 0; i < 4; ++i) ASSERT_NO_FATAL_FAILURE(search(keyOf(rng_() % valueRange_, 0), "anywhere"));
    ASSERT_NO_FATAL_FAILURE(search(std::string(keys.front().size(), '\0'), "before all"));
    ASSERT_NO_FATAL_FAILURE(search(std::string(keys.front().size(), '\xFF'), "after all"));
  }

  // One key at a time, most changes inside one leaf: the searches that follow each start from
  // pages that the change left in place, with the keys after it one place further on or back.
  void trickle(int changes) {
    for (int i = 0; i < changes; ++i) {
      std::string changed;
      if (model_.size() > 2 && rng_() % 2 == 0) {
        changed = *std::next(model_.begin(), ptrdiff_t(rng_() % model_.size()));
        ASSERT_NO_FATAL_FAILURE(erase(changed));
      } else {
        changed = insert(rng_() % valueRange_);
      }
      if (model_.empty()) continue;
      const std::string last = *model_.rbegin();
      ASSERT_NO_FATAL_FAILURE(search(last, "last after a change"));
      auto near = model_.lower_bound(changed);
      if (near != model_.end()) {
        ASSERT_NO_FATAL_FAILURE(search(*near, "next to the change"));
      }
      ASSERT_NO_FATAL_FAILURE(search(last, "last again"));
      ASSERT_NO_FATAL_FAILURE(search(*model_.begin(), "first"));
    }
  }

  uint32_t seed_ = 0;
  std::mt19937 rng_;
  std::unique_ptr<IndexFileFixture> fx_;
  TFileList otherList_;
  std::unique_ptr<TIndexFile> writerFile_;
  TIndexCursor writer_;
  std::optional<WatchingCursor> searcher_;
  std::set<std::string> model_;
  std::map<std::string, uint32_t> ids_;
  size_t userSize_ = 0;
  uint32_t lastId_ = 0;
  uint32_t valueRange_ = 1u << 16;
};

TEST_P(RememberedDescentTest, EverySearchAnswersAsAFreshDescentWhileAnotherWriterChangesTheTree) {
  const int batches = 12;
  for (int round = 0; round < 2; ++round) {
    // Growing: keys in order (the right edge splits), in reverse, and anywhere.
    for (int b = 0; b < batches; ++b) {
      const uint32_t base = rng_() % valueRange_;
      for (int i = 0; i < 60; ++i) {
        const uint32_t v = b % 3 == 0   ? base + uint32_t(i)
                           : b % 3 == 1 ? base - uint32_t(i)
                                        : rng_() % valueRange_;
        ASSERT_NO_FATAL_FAILURE(insert(v % valueRange_));
      }
      ASSERT_NO_FATAL_FAILURE(searches(40));
      ASSERT_NO_FATAL_FAILURE(trickle(10));
    }
    // Shrinking to nothing: stretches of neighbours (pages merge) and single keys anywhere.
    while (!model_.empty()) {
      const auto anyKey = [&] { return *std::next(model_.begin(), ptrdiff_t(rng_() % model_.size())); };
      std::vector<std::string> doomed;
      if (rng_() % 2 == 0) {
        for (auto it = model_.find(anyKey()); it != model_.end() && doomed.size() < 50; ++it)
          doomed.push_back(*it);
      } else {
        for (int i = 0; i < 15; ++i) doomed.push_back(anyKey());
      }
      for (const std::string& key : doomed) {
        if (model_.count(key) != 0) {
          ASSERT_NO_FATAL_FAILURE(erase(key));
        }
      }
      ASSERT_NO_FATAL_FAILURE(searches(40));
      // Adds as often as it removes: only while the stretches still make headway.
      if (model_.size() > 40) {
        ASSERT_NO_FATAL_FAILURE(trickle(3));
      }
    }
    EXPECT_EQ(writerFile().GetRootPageNumber(fx_->slot), 0u);
  }
}

// Keys of 200 bytes leave 20 entries a leaf, so that a few hundred keys make three levels.
std::vector<MemoCase> Cases() {
  return {{200, kcNone, true, false},
          {200, kcNone, true, true},
          {68, kcBoth, false, false},
          {68, kcBoth, false, true},
          {9, kcNone, false, true}};
}

INSTANTIATE_TEST_SUITE_P(Writers, RememberedDescentTest, testing::ValuesIn(Cases()), CaseName);

}  // namespace
