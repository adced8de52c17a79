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

}  // namespace
}  // namespace dumpfile
