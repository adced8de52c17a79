#include "dumpfile/u_formatdumpfile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace dumpfile {
namespace {

using tree_detail::NameStore;
using tree_detail::NodeList;
using tree_detail::ReadyChunks;

// The name of object i: lengths from 1 to 300, so that names fill chunks unevenly and some are
// longer than a small chunk.
std::string objectName(size_t i) {
  std::string name = "O" + std::to_string(i);
  name.resize(1 + (i * 37) % 300, char('a' + i % 26));
  return name;
}

// Enough objects for many chunks of the largest size, nodes and names alike.
constexpr size_t kObjects = NodeList::kLargest * 12 + 5;

void fill(TExpFileUser& owner, TExpFileRoot& root, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    TExpFileNode* node = owner.AddNode(objectName(i), uint8_t(kKindTables + i % 3));
    node->SetStartOffset(int64_t(i) * 10);
    node->SetLength(int64_t(i) + 1);
    if (i % 1000 == 0) root.AddPublicObject(objectName(i), kKindSynonymsPublic);
  }
}

void expectFilled(const TExpFileUser& owner, const TExpFileRoot& root) {
  ASSERT_EQ(size_t(owner.NodeCount()), kObjects);
  TExpFileNode* node = nullptr;
  for (size_t i = 0; i < kObjects; ++i) {
    ASSERT_TRUE(owner.GetNode(int(i), node));
    ASSERT_EQ(node->Name(), objectName(i)) << i;
    ASSERT_EQ(node->Kind(), kKindTables + i % 3) << i;
    ASSERT_EQ(node->StartOffset(), int64_t(i) * 10) << i;
    ASSERT_EQ(node->Length(), int64_t(i) + 1) << i;
  }
  ASSERT_EQ(size_t(root.PublicObjectCount()), (kObjects + 999) / 1000);
  for (int i = 0; root.GetPublicObject(i, node); ++i) ASSERT_EQ(node->Name(), objectName(size_t(i) * 1000));
  EXPECT_EQ(size_t(owner.Counter(kKindTables) + owner.Counter(kKindViews) + owner.Counter(kKindSnapshots)),
            kObjects);
}

// Chunks made ready on another thread hold what chunks made in place hold: every node keeps its
// name, kind and range, whether the chunk came ready or not, and the tree outlives the maker.
TEST(TreeStorageTest, ChunksMadeReadyHoldTheSameTreeAndOutliveTheirMaker) {
  TExpFileRoot plainRoot;
  TExpFileUser plain;
  fill(plain, plainRoot, 0, kObjects);
  expectFilled(plain, plainRoot);

  TExpFileRoot root;
  TExpFileUser owner;
  {
    ReadyChunks ready;
    // In bursts, with pauses that let the maker catch up, and without.
    fill(owner, root, 0, kObjects / 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fill(owner, root, kObjects / 3, kObjects);
    // Taken on this thread only: another thread finds none installed.
    std::thread other([] {
      EXPECT_EQ(ReadyChunks::takeNodes(), nullptr);
      EXPECT_EQ(ReadyChunks::takeNames(), nullptr);
    });
    other.join();
  }
  EXPECT_EQ(ReadyChunks::takeNodes(), nullptr);
  expectFilled(owner, root);
}

// One maker inside another: the inner one serves while it lives, the outer one again afterwards.
TEST(TreeStorageTest, NestedMakersServeInTurn) {
  ReadyChunks outer;
  // The first ask only starts the maker; later ones find chunks once it has made some.
  auto waitNodes = [] {
    for (int i = 0; i < 2000; ++i) {
      if (auto chunk = ReadyChunks::takeNodes()) return chunk;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::unique_ptr<TExpFileNode[]>();
  };
  auto chunk = waitNodes();
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(chunk[NodeList::kLargest - 1].Name(), " ");
  EXPECT_EQ(chunk[0].StartOffset(), -1);
  {
    ReadyChunks inner;
    ASSERT_NE(waitNodes(), nullptr);
  }
  ASSERT_NE(waitNodes(), nullptr);
  std::unique_ptr<char[]> names;
  for (int i = 0; i < 2000 && !names; ++i) {
    names = ReadyChunks::takeNames();
    if (!names) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_NE(names, nullptr);
  names[NameStore::kLargest - 1] = 'x';  // the whole chunk is there
}

}  // namespace
}  // namespace dumpfile
