#include "engine/values/veldorexptoken.h"

#include <gtest/gtest.h>

#include <thread>

#include "engine/base/veldorerr.h"

namespace engine {
namespace {

TEST(ExpTokenPoolTest, PoolKeepsAtMost256SparesAndResetShrinksAGrownBuffer) {
  auto& pool = TExpTokenStack::Instance();
  pool.Clear();
  for (int i = 0; i < 257; ++i) {
    TExpToken* n = new TExpToken();
    pool.Push(n);
    EXPECT_EQ(n, nullptr);
  }
  EXPECT_EQ(pool.Count(), 256u);
  TExpToken* n = pool.Pop();
  n->SetValueSize(512);
  n->Value()[3] = 7;
  n->Reset();
  EXPECT_EQ(n->ValueCapacity(), 256u);
  EXPECT_EQ(n->Value()[3], 0);
  pool.Push(n);
  pool.Clear();
  EXPECT_EQ(pool.Count(), 0u);
}

TEST(ExpTokenPoolTest, ThreadsShareThePoolThroughTheirOwnSpares) {
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      std::vector<TExpToken*> held;
      for (int round = 0; round < 200; ++round) {
        for (int i = 0; i < 100; ++i) held.push_back(GetExpToken());
        for (auto*& n : held) PutExpToken(n);
        held.clear();
      }
      EXPECT_EQ(ExpTokensInUse(), 0);
    });
  threads.clear();
  EXPECT_LE(TExpTokenStack::Instance().Count(), TExpTokenStack::kCapacity);
}

TEST(ExpTreeTest, VeryDeepTreesAreCopiedComparedFreedAndRefusedWhenReadWithoutRecursion) {
  TExpTreePtr root(GetExpToken());
  TExpToken* tip = root.get();
  for (int i = 0; i < 200'000; ++i) {
    TExpToken* next = GetExpToken();
    (i % 2 ? tip->left : tip->right) = next;
    tip = next;
  }
  tip->SetText("end");
  EXPECT_EQ(ExpTreeDepth(root.get()), 200'001);
  TExpTreePtr copy(CopyExpTree(root.get()));
  EXPECT_TRUE(SameExpTree(root.get(), copy.get()));
  tip->Value()[0] = 'E';
  tip->kind = expConstant;
  EXPECT_FALSE(SameExpTree(root.get(), copy.get()));
  // Flattened, it is too deep to be read back.
  std::vector<uint8_t> bytes;
  FlattenExpTreeWithArgs(root.get(), bytes);
  EXPECT_THROW(UnflattenExpTree(bytes), EVELDOREngineError);
  root.reset();
  copy.reset();
  EXPECT_EQ(ExpTokensInUse(), 0);
}

}  // namespace
}  // namespace engine
