// Definition statements over real tables: what a declared primary key does for the rows that
// follow, through CREATE TABLE, ALTER TABLE and DROP INDEX.
#include <gtest/gtest.h>

#include "sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace sql_test;

class DefinitionTest : public ::testing::Test {
 protected:
  DefinitionTest() : db(folder.path()) {}
  platform::testing::TempFolder folder;
  SqlDatabase db;
};

TEST_F(DefinitionTest, ADeclaredPrimaryKeyRefusesDuplicatesUntilItIsDropped) {
  db.run("CREATE TABLE k (a INTEGER, b CHAR(5), PRIMARY KEY (a))");
  db.run("INSERT INTO k VALUES (2, 'x')");
  db.run("INSERT INTO k VALUES (1, 'y')");
  EXPECT_EQ(db.rows("INSERT INTO k VALUES (1, 'z')"),
            "error: Duplicate key found in the index 'Primary' of the table 'k'");
  db.run("DROP INDEX k.primary");
  db.run("INSERT INTO k VALUES (1, 'z')");
  EXPECT_EQ(db.rows("SELECT a, b FROM k ORDER BY 1, 2"), "1|y\n1|z\n2|x\n");
  EXPECT_EQ(db.rows("DROP INDEX k.primary"),
            "error: Invalid secondary index name '' specified for the table 'k'");
  db.run("DROP INDEX IF EXISTS k.primary");
}

TEST_F(DefinitionTest, AlterTableAddsAndDropsThePrimaryKey) {
  db.run("CREATE TABLE u (a INTEGER, b INTEGER)");
  db.run("CREATE INDEX ib ON u (b)");
  db.run("INSERT INTO u VALUES (2, 1)");
  db.run("INSERT INTO u VALUES (1, 1)");
  db.run("ALTER TABLE u ADD PRIMARY KEY (a)");
  EXPECT_NE(db.rows("INSERT INTO u VALUES (1, 2)").find("Duplicate key"), std::string::npos);
  db.run("ALTER TABLE u ADD c INTEGER");
  EXPECT_NE(db.rows("INSERT INTO u VALUES (1, 2, 3)").find("Duplicate key"), std::string::npos);
  db.run("ALTER TABLE u DROP PRIMARY KEY");
  db.run("INSERT INTO u VALUES (1, 2, 3)");
  EXPECT_EQ(db.rows("SELECT a, b, c FROM u WHERE b = 1 ORDER BY 1"), "1|1|NULL\n2|1|NULL\n");
  EXPECT_EQ(db.rows("SELECT COUNT(*) FROM u"), "3\n");
}

TEST_F(DefinitionTest, AColumnAddedAtAPositionStandsThere) {
  db.run("CREATE TABLE c (a INTEGER, b INTEGER, c INTEGER)");
  db.run("INSERT INTO c VALUES (1, 2, 3)");
  db.run("ALTER TABLE c ADD d INTEGER AT 3");
  EXPECT_EQ(db.rows("SELECT * FROM c"), "1|2|NULL|3\n");
  db.run("ALTER TABLE c ADD e INTEGER AT 4, ADD f INTEGER AT 1");
  EXPECT_EQ(db.rows("SELECT f, a, e, c FROM c"), "NULL|1|NULL|3\n");
  {
    sql_test::TQueryStatement s(db.directory());
    s.Prepare("SELECT * FROM c");
    engine::TDataCursor& cursor = *s.Execute();
    std::string names;
    for (uint16_t p = 1; p <= cursor.FieldCount(); ++p) names += cursor.GetFieldDesc(p).Name() + " ";
    EXPECT_EQ(names, "f a b d e c ");
  }
  // Past the last column is at the end.
  db.run("ALTER TABLE c ADD g INTEGER AT 9");
  EXPECT_EQ(db.rows("SELECT g FROM c"), "NULL\n");
}

}  // namespace
