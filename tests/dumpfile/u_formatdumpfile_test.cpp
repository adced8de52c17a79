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

TEST(ObjectTreeKinds, NamesAreTheCaptionsUsedForFilesIncludingTheTrailingBlank) {
  EXPECT_EQ(KindName[0], "Tablespaces");
  EXPECT_EQ(KindName[1], "Users");
  EXPECT_EQ(KindName[10], "Package bodies");
  EXPECT_EQ(KindName[16], "Rollback Segments");
  EXPECT_EQ(KindName[22], "Rollback Segments ");
  EXPECT_EQ(KindName[24], "Triggers");
}

TEST(ObjectTreeNodes, NewNodeHasNoRange) {
  TExpFileNode n;
  EXPECT_EQ(n.StartOffset(), -1);
  EXPECT_EQ(n.Length(), 0);
  EXPECT_EQ(n.Name(), " ");
  EXPECT_EQ(n.Text(), " ");
}

TEST(ObjectTreeOwners, CountersCountEveryAddByKind) {
  TExpFileUser owner;
  EXPECT_EQ(owner.Kind(), kKindUsers);
  owner.AddNode(node("A", kKindTables));
  owner.AddNode(node("B", kKindTables));
  owner.AddNode(node("A", kKindTables));
  owner.AddNode(node("V", kKindViews));
  EXPECT_EQ(owner.Counter(kKindTables), 3);
  EXPECT_EQ(owner.Counter(kKindViews), 1);
  EXPECT_EQ(owner.NodeCount(), 4);
  TExpFileNode* n = nullptr;
  ASSERT_TRUE(owner.GetNode(3, n));
  EXPECT_EQ(n->Name(), "V");
  EXPECT_FALSE(owner.GetNode(4, n));
  EXPECT_FALSE(owner.GetNode(-1, n));
}

TEST(ObjectTreeOwners, FindUserIsCaseSensitiveAndTakesTheFirstMatch) {
  TExpFileRoot root;
  auto u = std::make_unique<TExpFileUser>();
  u->SetName("scott");
  root.AddUser(std::move(u));
  u = std::make_unique<TExpFileUser>();
  u->SetName("SCOTT");
  root.AddUser(std::move(u));
  u = std::make_unique<TExpFileUser>();
  u->SetName("SCOTT");
  root.AddUser(std::move(u));
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

TEST(ObjectTreeRoot, MessageAndCancelAreSharedAcrossThreads) {
  TExpFileRoot root;
  EXPECT_FALSE(root.Cancelled());
  root.SetCancelled(true);
  root.SetMessage("Terminated by user!");
  EXPECT_TRUE(root.Cancelled());
  EXPECT_EQ(root.Message(), "Terminated by user!");
  EXPECT_FALSE(root.OutputDir().empty());
}

}  // namespace
}  // namespace dumpfile
