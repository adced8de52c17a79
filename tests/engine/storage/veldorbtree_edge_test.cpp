// Inserts of keys after every other go along the right edge the cursor remembers, without a
// descent. Whatever else happens between them (keys below the top, deletes that empty or merge
// the last leaf, splits, a refused equal key, another cursor's inserts), the tree must come out
// page for page as the same operations build it by descents alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/engine/storage/index_test_util.h"

namespace {

using namespace engine;
using namespace index_test;

// A key of `size` bytes that orders as v: a zero flag byte, v big-endian, then the id bytes a
// non-unique index ends with (here v again).
std::string keyOf(uint32_t v, uint16_t size) {
  std::string key(size, '\0');
  for (size_t i = 0; i < 4 && 1 + i < size; ++i) key[1 + i] = char(v >> (24 - 8 * i));
  for (size_t i = 5; i < size; ++i) key[i] = char(v >> (8 * ((size - 1 - i) % 4)));
  return key;
}

// Pages 1.. of the file on disk: equal trees built alike lay out equal pages.
std::vector<uint8_t> pages(IndexFileFixture& fx) {
  fx.flush();
  std::vector<uint8_t> all = fx.bytes();
  return {all.begin() + std::min<size_t>(all.size(), kIndexPageSize), all.end()};
}

// Orders keys as a descending index does: a key "after every other" is the lowest in bytes.
class DescendingCursor : public TIndexCursor {
 public:
  int CompareKeys(const uint8_t* a, const uint8_t* b, uint16_t length) const override {
    return CompareBytes(a, b, length, true);
  }
  int ByteOrder() const override { return -1; }
};

std::unique_ptr<TIndexCursor> cursorFor(bool descending) {
  if (descending) return std::make_unique<DescendingCursor>();
  return std::make_unique<TIndexCursor>();
}

struct EdgeCase {
  IndexSetup setup;
  const char* name;
  bool descending = false;
};

class IndexEdgeTest : public testing::TestWithParam<EdgeCase> {};

TEST_P(IndexEdgeTest, InsertsAtTheEdgeBuildTheTreeDescentsBuild) {
  const IndexSetup setup = GetParam().setup;
  const bool descending = GetParam().descending;
  // In a descending index the values run the other way in bytes: rising values still come after
  // every other key in the index's order.
  const auto keyFor = [&](uint32_t v) { return keyOf(descending ? 0x7fffffffu - v : v, setup.keySize); };
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  // `edge` keeps one cursor, whose remembered edge serves; `descents` a fresh cursor each time.
  IndexFileFixture edge(setup), descents(setup);
  const std::unique_ptr<TIndexCursor> edgeCursor = cursorFor(descending), other = cursorFor(descending);
  std::map<uint32_t, uint32_t> live;  // key value -> reference
  uint32_t top = 0, served = 0;
  const auto both = [&](const auto& op) {
    const uint16_t a = storage_test::errorOf([&] { op(TIndexTree(*edge.file, *edgeCursor, edge.slot)); });
    const std::unique_ptr<TIndexCursor> fresh = cursorFor(descending);
    const uint16_t b = storage_test::errorOf([&] { op(TIndexTree(*descents.file, *fresh, descents.slot)); });
    EXPECT_EQ(a, b);
    return a;
  };
  for (uint32_t step = 0; step < 6000; ++step) {
    const uint32_t roll = uint32_t(rng() % 100);
    uint32_t v = 0;
    if (roll < 80) {
      v = top += 1 + rng() % 3;  // after every key: the edge
    } else if (roll < 88 && top > 0) {
      v = 1 + uint32_t(rng() % top);  // below the top: a descent
      if (live.count(v)) continue;
    } else if (roll < 90 && !live.empty()) {
      // An equal top key: a unique index refuses it, another one takes it after its equal.
      const std::string key = keyFor(live.rbegin()->first);
      const uint16_t error = both([&](TIndexTree t) { t.InsertKey(Bytes(key), 7); });
      EXPECT_EQ(error, setup.unique ? VELDOR_KEYVIOL : 0) << step;
      if (!setup.unique) both([&](TIndexTree t) { EXPECT_TRUE(t.DeleteKey(Bytes(key), 7)) << step; });
      continue;
    } else if (roll < 97 && !live.empty()) {
      // Deletes, often of the highest keys, which shrink or merge away the last leaf.
      const size_t n = roll < 94 ? 1 : 1 + rng() % 40;
      for (size_t i = 0; i < n && !live.empty(); ++i) {
        auto it = roll < 94 ? std::next(live.begin(), long(rng() % live.size())) : std::prev(live.end());
        const std::string key = keyFor(it->first);
        both([&](TIndexTree t) { EXPECT_TRUE(t.DeleteKey(Bytes(key))) << step; });
        live.erase(it);
      }
      continue;
    } else if (top > 0) {
      // Another cursor of the same file takes the edge's keys in between: it changes the pages
      // the first cursor remembers, and splits them.
      for (int i = 0; i < 40; ++i) {
        v = top += 1;
        const std::string key = keyFor(v);
        TIndexTree(*edge.file, *other, edge.slot).InsertKey(Bytes(key), v);
        const std::unique_ptr<TIndexCursor> fresh = cursorFor(descending);
        TIndexTree(*descents.file, *fresh, descents.slot).InsertKey(Bytes(key), v);
        live[v] = v;
      }
      continue;
    }
    if (v == 0) continue;
    const std::string key = keyFor(v);
    ASSERT_EQ(both([&](TIndexTree t) { t.InsertKey(Bytes(key), v); }), 0) << step;
    live[v] = v;
    if (edgeCursor->AppendHint().levels > 1) ++served;
  }
  // The edge was there to serve for most rising keys of a tree of several levels.
  if (setup.compression == kcNone) {
    EXPECT_GT(served, 1000u);
  }
  std::vector<std::pair<uint32_t, uint32_t>> expected(live.begin(), live.end()), seen;
  edge.tree().ForEachKey([&](const uint8_t* key, uint32_t ref) {
    const uint32_t v = uint32_t(key[1]) << 24 | uint32_t(key[2]) << 16 | uint32_t(key[3]) << 8 | key[4];
    seen.emplace_back(descending ? 0x7fffffffu - v : v, ref);
  });
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(edge.tree().KeyCount(), live.size());
  EXPECT_TRUE(pages(edge) == pages(descents)) << "the trees differ";
  // The checker knows ascending indexes only.
  if (!descending) {
    EXPECT_TRUE(edge.sound(false));
    EXPECT_TRUE(descents.sound(false));
  }
}

INSTANTIATE_TEST_SUITE_P(Indexes, IndexEdgeTest,
                         testing::Values(EdgeCase{{5, kcNone, true, false}, "RecordIdKeys"},
                                         EdgeCase{{12, kcNone, false, false}, "NonUnique"},
                                         EdgeCase{{9, kcNone, true, true}, "Encrypted"},
                                         EdgeCase{{12, kcBoth, true, false}, "Compressed"},
                                         EdgeCase{{12, kcNone, true, false}, "Descending", true},
                                         EdgeCase{{12, kcNone, false, false}, "DescendingNonUnique", true}),
                         [](const testing::TestParamInfo<EdgeCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
