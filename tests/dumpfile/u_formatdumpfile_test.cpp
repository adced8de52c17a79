#include "dumpfile/u_formatdumpfile.h"

#include <gtest/gtest.h>

#include "tests/dumpfile/dumpfile_test_util.h"

namespace dumpfile {
namespace {

using testing::node;

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
  for (const char* name : {"scott", "SCOTT", "SCOTT"}) root.AddUser(testing::owner(name));
  EXPECT_EQ(root.FindUser("SCOTT"), 1);
  EXPECT_EQ(root.FindUser("Scott"), -1);
  EXPECT_EQ(root.PublicCounter(kKindUsers), 0);  // owners are not counted
}

}  // namespace
}  // namespace dumpfile
