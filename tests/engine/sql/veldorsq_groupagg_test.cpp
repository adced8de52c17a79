// Aggregates with and without GROUP BY: one row per group over the grouped road, exactly one row
// for an aggregate-only list without GROUP BY, HAVING and TOP applied on both roads, the same
// through a prepared statement run twice, INTO a named table and inside an IN sub-select.
#include <gtest/gtest.h>

#include "sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace sql_test;

class GroupedAggregates : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.run("CREATE TABLE t (id INTEGER, g INTEGER, v INTEGER)");
    db_.run("CREATE TABLE e (id INTEGER, g INTEGER, v INTEGER)");
    // Groups: NULL {7, NULL}, 1 {10, 20}, 2 {5}, 3 {NULL}.
    for (const char* row : {"1, 1, 10", "2, 1, 20", "3, 2, 5", "4, NULL, 7", "5, NULL, NULL", "6, 3, NULL"})
      db_.run(std::string("INSERT INTO t VALUES (") + row + ")");
  }
  platform::testing::TempFolder folder_;
  SqlDatabase db_{folder_.path()};
};

TEST_F(GroupedAggregates, OneRowPerGroupAndHavingFiltersGroups) {
  EXPECT_EQ(db_.rows("SELECT g, COUNT(*), COUNT(v), SUM(v), MIN(v), MAX(v) FROM t GROUP BY g"),
            "NULL|2|1|7|7|7\n1|2|2|30|10|20\n2|1|1|5|5|5\n3|1|0|NULL|NULL|NULL\n");
  EXPECT_EQ(db_.rows("SELECT g, AVG(v) FROM t WHERE v IS NOT NULL GROUP BY g"), "NULL|7\n1|15\n2|5\n");
  EXPECT_EQ(db_.rows("SELECT g, COUNT(*) FROM t GROUP BY g HAVING COUNT(*) > 1"), "NULL|2\n1|2\n");
  EXPECT_EQ(db_.rows("SELECT g, COUNT(*) FROM t GROUP BY g HAVING COUNT(*) > 100"), "");
  EXPECT_EQ(db_.rows("SELECT g, MAX(id) FROM t GROUP BY g ORDER BY 2 DESC"), "3|6\nNULL|5\n2|3\n1|2\n");
  EXPECT_EQ(db_.rows("SELECT g, COUNT(*) FROM e GROUP BY g"), "");

  // GROUP BY entries name result columns: an aggregate-only list has none to group on, and is
  // refused rather than folded into one row for the whole table.
  const std::string notInList =
      "error: SQL error - Invalid column name 'g' or table correlation name '' specified in GROUP BY clause";
  EXPECT_EQ(db_.rows("SELECT COUNT(*) FROM t GROUP BY g"), notInList);
  EXPECT_EQ(db_.rows("SELECT COUNT(*) FROM t GROUP BY g HAVING COUNT(*) > 100"), notInList);
  EXPECT_EQ(db_.rows("SELECT SUM(v), MIN(v) FROM t WHERE v > 0 GROUP BY g"), notInList);
  EXPECT_EQ(db_.rows("SELECT id FROM t WHERE id IN (SELECT COUNT(*) FROM t GROUP BY g)"), notInList);
  // Nor is an aggregate a key: its value is known only once the group is.
  EXPECT_EQ(db_.rows("SELECT COUNT(*) FROM t GROUP BY 1"),
            "error: SQL error - Invalid column number '1' specified in GROUP BY clause");
  EXPECT_EQ(
      db_.rows("SELECT g, SUM(v) AS s FROM t GROUP BY g, s"),
      "error: SQL error - Invalid column name 's' or table correlation name '' specified in GROUP BY clause");
}

TEST_F(GroupedAggregates, AggregateOnlyListWithoutGroupByGivesOneRow) {
  EXPECT_EQ(db_.rows("SELECT COUNT(*) FROM t"), "6\n");
  EXPECT_EQ(db_.rows("SELECT COUNT(*) FROM t WHERE v > 6"), "3\n");
  EXPECT_EQ(db_.rows("SELECT COUNT(*), SUM(v), MIN(v), MAX(v) FROM t"), "6|42|5|20\n");
  EXPECT_EQ(db_.rows("SELECT COUNT(*), COUNT(v), SUM(v), MIN(v) FROM e"), "0|0|NULL|NULL\n");
  EXPECT_EQ(db_.rows("SELECT COUNT(*) FROM t HAVING COUNT(*) > 100"),
            "error: SQL error - A GROUP BY clause must exist in order to use the HAVING clause");
}

TEST_F(GroupedAggregates, TopCapsEveryRoad) {
  // The record-count shortcut, the one-row loop, and the grouped road.
  for (const char* sql :
       {"SELECT COUNT(*) FROM t", "SELECT COUNT(*) FROM e", "SELECT COUNT(*), SUM(v) FROM t WHERE v > 0",
        "SELECT g, COUNT(*) FROM t GROUP BY g"})
    EXPECT_EQ(db_.rows(std::string(sql) + " TOP 0"), "") << sql;
  EXPECT_EQ(db_.rows("SELECT COUNT(*) FROM t TOP 1"), "6\n");
  EXPECT_EQ(db_.rows("SELECT COUNT(*) FROM e TOP 1"), "0\n");
  EXPECT_EQ(db_.rows("SELECT COUNT(*), SUM(v) FROM t WHERE v > 0 TOP 1"), "4|42\n");
  EXPECT_EQ(db_.rows("SELECT g, COUNT(*) FROM t GROUP BY g TOP 1"), "NULL|2\n");
  EXPECT_EQ(db_.rows("SELECT g, COUNT(*) FROM t GROUP BY g ORDER BY 2 DESC, 1 DESC TOP 1"), "1|2\n");

  // INTO a named table holds what the result would.
  db_.run("SELECT COUNT(*) INTO none FROM t TOP 0");
  EXPECT_EQ(db_.rows("SELECT * FROM none"), "");
  db_.run("SELECT COUNT(*) INTO total FROM t");
  EXPECT_EQ(db_.rows("SELECT * FROM total"), "6\n");
  db_.run("SELECT g, COUNT(*) INTO groups FROM t GROUP BY g HAVING COUNT(*) > 1");
  EXPECT_EQ(db_.rows("SELECT * FROM groups"), "NULL|2\n1|2\n");

  // In an IN sub-select: no row, the one row, the groups' rows.
  EXPECT_EQ(db_.rows("SELECT id FROM t WHERE id IN (SELECT COUNT(*) FROM t TOP 0)"), "");
  EXPECT_EQ(db_.rows("SELECT id FROM t WHERE id IN (SELECT COUNT(*) FROM t)"), "6\n");
  // A sub-select has one column, so its groups are of that column.
  EXPECT_EQ(db_.rows("SELECT id FROM t WHERE g IN (SELECT g FROM t WHERE v > 8 GROUP BY g)"), "1\n2\n");
  EXPECT_EQ(db_.rows("SELECT id FROM t WHERE g IN (SELECT g FROM t GROUP BY g TOP 0)"), "");
}

TEST_F(GroupedAggregates, PreparedStatementRunsTwice) {
  TQueryStatement none(db_.directory()), grouped(db_.directory()), whole(db_.directory());
  none.Prepare("SELECT COUNT(*) FROM t TOP 0");
  grouped.Prepare("SELECT g, COUNT(*) FROM t GROUP BY g HAVING COUNT(*) > 1");
  whole.Prepare("SELECT COUNT(*) FROM t");
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(SqlDatabase::text(*none.Execute()), "") << run;
    EXPECT_EQ(SqlDatabase::text(*grouped.Execute()), run == 0 ? "NULL|2\n1|2\n" : "NULL|2\n1|2\n2|2\n")
        << run;
    EXPECT_EQ(SqlDatabase::text(*whole.Execute()), run == 0 ? "6\n" : "7\n") << run;
    if (run == 0) db_.run("INSERT INTO t VALUES (7, 2, 1)");
  }
}

// Every part of a UNION writes into the master's result table; an AVG in any part counts its
// values in a hidden column of its position there, whether or not the master averages there too.
TEST_F(GroupedAggregates, AveragesInUnionPartsCountTheirOwnValues) {
  db_.run("CREATE TABLE f (g INTEGER, x FLOAT)");
  for (const char* row : {"1, 1.5", "1, 2.5", "2, 4.0", "NULL, NULL"})
    db_.run(std::string("INSERT INTO f VALUES (") + row + ")");
  // The parts run before the master, the last first.
  EXPECT_EQ(
      db_.rows(
          "SELECT COUNT(*), AVG(v) FROM t WHERE g = 1 UNION ALL SELECT COUNT(*), AVG(v) FROM t WHERE g = 2"),
      "1|5\n2|15\n");
  EXPECT_EQ(
      db_.rows(
          "SELECT MAX(x) FROM f UNION ALL SELECT AVG(x) FROM f UNION ALL SELECT AVG(x) FROM f WHERE g = 1"),
      "2\n2.6666666666666665\n4\n");
  EXPECT_EQ(
      db_.rows("SELECT AVG(x), MAX(x) FROM f WHERE g = 2 UNION ALL SELECT MIN(x), AVG(x) FROM f WHERE g = 1 "
               "UNION ALL SELECT AVG(x), AVG(x) FROM f WHERE g = 9"),
      "0|0\n1.5|2\n4|4\n");
  EXPECT_EQ(db_.rows("SELECT AVG(v) FROM t WHERE g = 1 UNION SELECT AVG(v) FROM t WHERE id < 3"), "15\n");
  EXPECT_EQ(db_.rows("SELECT AVG(v) FROM t WHERE g = 1 UNION SELECT AVG(v) FROM t WHERE g = 2 ORDER BY 1"),
            "5\n15\n");
  EXPECT_EQ(
      db_.rows("SELECT id FROM t WHERE v IN (SELECT AVG(v) FROM t WHERE g = 2 UNION ALL SELECT AVG(v) FROM t "
               "WHERE g = 1)"),
      "3\n");

  TQueryStatement twice(db_.directory());
  twice.Prepare("SELECT AVG(v) FROM t WHERE g = 1 UNION ALL SELECT AVG(v) FROM t WHERE g = 2");
  EXPECT_EQ(SqlDatabase::text(*twice.Execute()), "5\n15\n");
  db_.run("INSERT INTO t VALUES (7, 2, 7)");
  EXPECT_EQ(SqlDatabase::text(*twice.Execute()), "6\n15\n");
}

}  // namespace
