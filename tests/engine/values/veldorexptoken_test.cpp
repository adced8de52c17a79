#include "engine/values/veldorexptoken.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/engine/values/exp_test_util.h"

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

TEST(ExpTreeTest, VeryDeepTreesAreCopiedComparedAndFreedWithoutRecursion) {
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
  root.reset();
  copy.reset();
  EXPECT_EQ(ExpTokensInUse(), 0);
}

// Every parsed text survives flattening; every cut or deepened stream is refused and leaks nothing.
TEST(ExpTreeTest, FlattenedTreesReadBackAndDamagedStreamsAreRefused) {
  const char* texts[] = {"a = 1 OR b <> 'x' AND NOT c", "x IN (1, 2, 3) AND y BETWEEN 'a' AND 'b'",
                         "CAST(a AS DECIMAL(10, 2)) * -2.5 + SUBSTRING(b FROM 1 FOR 2)", "''",
                         "UPPER(c) LIKE 'A%'"};
  for (const char* text : texts) {
    std::string error;
    auto tree = exp_test::parseAll(text, 0x1F, nullptr, error);
    ASSERT_TRUE(tree) << error;
    std::vector<uint8_t> bytes, again;
    FlattenExpTreeWithArgs(tree.get(), bytes);
    TExpTreePtr back(UnflattenExpTree(bytes));
    FlattenExpTreeWithArgs(back.get(), again);
    EXPECT_EQ(bytes, again) << text;
    EXPECT_EQ(exp_test::dump(back.get()), exp_test::dump(tree.get()).c_str()) << text;
    for (size_t cut = 1; cut < bytes.size(); cut += 3)
      EXPECT_THROW(UnflattenExpTree(std::span(bytes.data(), cut)), EVELDOREngineError) << text << " " << cut;
  }
  TExpTreePtr chain(GetExpToken());
  for (int i = 0; i < kMaxExpTreeDepth; ++i) {
    TExpToken* top = GetExpToken();
    top->left = chain.release();
    chain.reset(top);
  }
  std::vector<uint8_t> bytes;
  FlattenExpTreeWithArgs(chain.get(), bytes);
  EXPECT_THROW(UnflattenExpTree(bytes), EVELDOREngineError);
  chain.reset();
  EXPECT_EQ(ExpTokensInUse(), 0);
}

}  // namespace
}  // namespace engine
