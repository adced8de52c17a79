#include "dumpfile/u_formatdumpfile.h"

#include <gtest/gtest.h>

namespace dumpfile {
namespace {

std::unique_ptr<TExpFileNode> node(const char* name, uint8_t kind) {
  auto n = std::make_unique<TExpFileNode>();
  n->SetName(name);
  n->SetKind(kind);
  return n;
}

TEST(ObjectTreeOwners, CountersCountEveryAddByKindAndLookupsStayInRange) {
  TExpFileUser owner;
  for (const char* name : {"A", "B", "A"}) owner.AddNode(node(name, kKindTables));
  owner.AddNode(node("V", kKindViews));
  EXPECT_EQ(owner.Counter(kKindTables), 3);
  EXPECT_EQ(owner.Counter(kKindViews), 1);
  TExpFileNode* n = nullptr;
  ASSERT_TRUE(owner.GetNode(3, n));
  EXPECT_EQ(n->Name(), "V");
  EXPECT_FALSE(owner.GetNode(4, n));
  EXPECT_FALSE(owner.GetNode(-1, n));
}

TEST(ObjectTreeOwners, FindUserIsCaseSensitiveAndTakesTheFirstMatch) {
  TExpFileRoot root;
  for (const char* name : {"scott", "SCOTT", "SCOTT"}) {
    auto u = std::make_unique<TExpFileUser>();
    u->SetName(name);
    root.AddUser(std::move(u));
  }
  EXPECT_EQ(root.FindUser("SCOTT"), 1);
  EXPECT_EQ(root.FindUser("Scott"), -1);
  EXPECT_EQ(root.PublicCounter(kKindUsers), 0);  // owners are not counted
}

TEST(ObjectTreeMarks, ClosingWithoutOpenNodeOnlyAdvancesTheMarks) {
  TExpFileRoot root;
  root.SetReadPosition(10);
  root.MarkLineStart();
  root.SetReadPosition(25);
  root.CloseCurrentNode();
  EXPECT_EQ(root.StatementStart(), 10);
  EXPECT_EQ(root.NextStatementStart(), 25);
}

TEST(ObjectTreeMarks, ClosedNodeSpansFromStatementStartToNextStatementStart) {
  TExpFileRoot root;
  // Line "junk\n" belongs to nothing.
  root.SetReadPosition(5);
  root.NextStatement();
  // Head line ends at 20: closing nothing moves the marks, then the node opens.
  root.SetReadPosition(20);
  root.CloseCurrentNode();
  TExpFileNode* t = root.AddPublicObject(node("T", kKindTablespaces));
  root.SetOpenNode(t);
  // Two more lines of the object.
  root.SetReadPosition(30);
  root.MarkLineStart();
  root.SetReadPosition(44);
  root.MarkLineStart();
  // The next head closes it.
  root.SetReadPosition(60);
  root.CloseCurrentNode();
  EXPECT_EQ(t->StartOffset(), 5);
  EXPECT_EQ(t->Length(), 39);
  EXPECT_EQ(root.OpenNode(), nullptr);
  EXPECT_EQ(root.PublicCounter(kKindTablespaces), 1);
}

TEST(ObjectTreeMarks, NodeStillOpenAtTheEndKeepsNoRange) {
  TExpFileRoot root;
  TExpFileNode* t = root.AddPublicObject(node("T", kKindTablespaces));
  root.SetOpenNode(t);
  root.SetReadPosition(100);
  root.MarkLineStart();
  EXPECT_EQ(t->StartOffset(), -1);
  EXPECT_EQ(t->Length(), 0);
}

}  // namespace
}  // namespace dumpfile
