// Fuzz target over the expression parser and the flattened-tree reader. The first byte chooses
// the clause flags (bits 0-4); with bit 5 set the rest is read as a flattened tree instead of
// parsed. Only engine errors may leave either; a message stays within 255 characters; every
// node goes back to the pool; a parsed tree flattens, reads back and flattens to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/values/veldorexpparser.h"
#include "engine/values/veldorexptoken.h"
#include "tests/engine/values/exp_test_util.h"

using namespace engine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0] & 0x1F;
  const bool readTree = data[0] & 0x20;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  {
    TExpTreePtr tree;
    exp_test::FakeStatement statement;
    TExpressionParser parser(&statement);
    parser.contextWord = "fuzz";
    try {
      if (readTree) {
        tree.reset(UnflattenExpTree(std::span(data + 1, size - 1)));
      } else {
        parser.SetText(text);
        parser.NextToken();
        tree.reset(parser.ParseExpression(flags));
      }
    } catch (const EVELDOREngineError& e) {
      if (e.Item(kItemText).size() > 255) std::abort();
    }
    if (tree && !readTree) {
      if (ExpTreeDepth(tree.get()) > kMaxExpTreeDepth) std::abort();
      std::vector<uint8_t> bytes, again;
      FlattenExpTreeWithArgs(tree.get(), bytes);
      TExpTreePtr back(UnflattenExpTree(bytes));
      FlattenExpTreeWithArgs(back.get(), again);
      if (bytes != again || !SameExpTree(back.get(), TExpTreePtr(UnflattenExpTree(again)).get()))
        std::abort();
    }
  }
  if (ExpTokensInUse() != 0) std::abort();
  return 0;
}
