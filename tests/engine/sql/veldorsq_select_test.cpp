// SELECT results over real tables in a folder, where the planning decides the answer: joins whose
// conditions close a cycle, disjunctions that must stay whole, final passes over rows holding
// blobs, and the aggregates of grouped rows.
#include <gtest/gtest.h>

#include "sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace sql_test;

class SelectTest : public ::testing::Test {
 protected:
  SelectTest() : db(folder.path()) {}
  void fill(const std::string& table, const std::string& columns, std::initializer_list<const char*> rows) {
    db.run("CREATE TABLE " + table + " (" + columns + ")");
    for (const char* r : rows) db.run("INSERT INTO " + table + " VALUES (" + r + ")");
  }
  platform::testing::TempFolder folder;
  SqlDatabase db;
};

TEST_F(SelectTest, JoinConditionsThatCloseACycleKeepEveryCondition) {
  fill("e", "id INTEGER, dept INTEGER, grade INTEGER", {"1, 1, 1", "2, 2, 1", "3, 1, 2", "4, 3, 3"});
  fill("d", "id INTEGER, region INTEGER", {"1, 1", "2, 2", "3, 3"});
  fill("r", "id INTEGER", {"1", "3"});
  // e1 reaches region 1 with grade 1; e4 reaches region 3 with grade 3; e3 has grade 2 for
  // region 1; e2 reaches region 2, which r lacks.
  for (const char* sql :
       {"SELECT e.id FROM e, d, r WHERE e.dept = d.id AND d.region = r.id AND r.id = e.grade ORDER BY 1",
        "SELECT e.id FROM e JOIN d ON e.dept = d.id JOIN r ON d.region = r.id AND r.id = e.grade ORDER BY 1",
        "SELECT e.id FROM r, d, e WHERE e.grade = r.id AND r.id = d.region AND d.id = e.dept ORDER BY 1",
        "SELECT e.id FROM e, d, r WHERE e.dept = d.id AND d.region = r.id AND r.id = e.grade ORDER BY 1 "
        "NOJOINOPTIMIZE"})
    EXPECT_EQ(db.rows(sql), "1\n4\n") << sql;
  // Four tables and a self-join, each cycle closing on the first table.
  fill("g", "id INTEGER", {"1", "2", "3"});
  EXPECT_EQ(db.rows("SELECT e.id FROM e, d, r, g WHERE e.dept = d.id AND d.region = r.id AND r.id = g.id "
                    "AND g.id = e.grade ORDER BY 1"),
            "1\n4\n");
  EXPECT_EQ(db.rows("SELECT x.id, y.id FROM e x, e y, d WHERE x.dept = y.grade AND y.id = d.id AND "
                    "d.region = x.id ORDER BY 1, 2"),
            "1|1\n");
}

TEST_F(SelectTest, ADisjunctionIsTestedWhole) {
  fill("t", "a INTEGER, b INTEGER", {"1, 10", "2, 20", "3, 30"});
  fill("u", "a INTEGER, c INTEGER", {"1, 5", "2, 6", "3, 7"});
  db.run("CREATE INDEX ia ON t (a)");
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE a = 2 OR 1 = 2"), "2\n");
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE b = 10 OR 1 = 1 ORDER BY 1"), "1\n2\n3\n");
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE NOT (a = 2 AND 1 = 2) ORDER BY 1"), "1\n2\n3\n");
  EXPECT_EQ(db.rows("SELECT COUNT(*) FROM t, u WHERE t.a = u.a AND (t.b = 10 OR u.c = 7)"), "2\n");
  EXPECT_EQ(db.rows("SELECT t.a FROM t, u WHERE t.a = u.a OR u.c = 5 ORDER BY 1"), "1\n2\n2\n3\n3\n");
  EXPECT_EQ(db.rows("SELECT t.a, u.a FROM t, u WHERE NOT (t.a = u.a) AND u.c < 6 ORDER BY 1"), "2|1\n3|1\n");
  // An OR over both tables of an outer join's ON decides the partners, not the rows.
  EXPECT_EQ(db.rows("SELECT t.a, u.c FROM t LEFT OUTER JOIN u ON t.a = u.a AND (u.c = 6 OR t.b = 10) "
                    "ORDER BY 1"),
            "1|5\n2|6\n3|NULL\n");
  // The optional filter of an application: a column test or a switch that turns it off.
  TQueryStatement s(db.directory());
  s.Prepare("SELECT a FROM t WHERE a = ? OR ? = 0 ORDER BY 1");
  std::vector<engine::TFieldDescriptor> d(2);
  std::vector<uint8_t> values(10, 0);
  for (uint16_t i = 0; i < 2; ++i) {
    d[i].SetType(uint8_t(engine::TEngineFieldType::Integer));
    d[i].SetStoredSize(4);
    d[i].SetOffset(uint16_t(i * 5));
    values[i * 5] = 1;
  }
  engine::PutIntegerValue(&values[1], 3);
  engine::PutIntegerValue(&values[6], 0);
  s.SetParams(2, d, values);
  EXPECT_EQ(SqlDatabase::text(*s.Execute()), "1\n2\n3\n");
  engine::PutIntegerValue(&values[6], 1);
  s.SetParams(2, d, values);
  EXPECT_EQ(SqlDatabase::text(*s.Execute()), "3\n");
}

TEST_F(SelectTest, FinalPassesCarryBlobsAndMemosByValue) {
  fill("m", "a INTEGER, t BLOB(1, 1), b BLOB(1, 1)", {"2, 'two', 'x2'", "1, 'one', NULL", "3, 'uno', 'x1'"});
  EXPECT_EQ(db.rows("SELECT a, t, b FROM m ORDER BY a DESC"), "3|uno|x1\n2|two|x2\n1|one|NULL\n");
  EXPECT_EQ(db.rows("SELECT a, t FROM m ORDER BY a TOP 1"), "1|one\n");
  // Each run starts from an empty result whose blobs are its own.
  TQueryStatement s(db.directory());
  s.Prepare("SELECT t, a FROM m WHERE a >= 1 ORDER BY a");
  for (int run = 0; run < 3; ++run) EXPECT_EQ(SqlDatabase::text(*s.Execute()), "one|1\ntwo|2\nuno|3\n");
  EXPECT_EQ(db.rows("SELECT a - a, COUNT(*), MAX(a), t FROM m WHERE a > 1 GROUP BY 1"), "0|2|3|two\n");
  EXPECT_EQ(db.rows("SELECT COUNT(*) FROM m WHERE t = 'uno'"), "1\n");
}

TEST_F(SelectTest, GroupedAggregatesCountEachRowOnce) {
  fill("g", "k INTEGER, v INTEGER", {"1, 10", "2, 5", "1, 20", "3, NULL", "2, 7"});
  // A running sum goes on from the previous group's total.
  EXPECT_EQ(db.rows("SELECT k, RUNSUM(v), SUM(v), COUNT(v), AVG(v) FROM g GROUP BY k"),
            "1|30|30|2|15\n2|42|12|2|6\n3|42|NULL|0|0\n");
  EXPECT_EQ(db.rows("SELECT RUNSUM(v), SUM(v) FROM g"), "42|42\n");
  EXPECT_EQ(db.rows("SELECT k, SUM(v) FROM g GROUP BY k HAVING SUM(v) > 20 ORDER BY 2 DESC"), "1|30\n");
  EXPECT_EQ(db.rows("SELECT k FROM g GROUP BY k ORDER BY 1 DESC TOP 2"), "3\n2\n");
  EXPECT_EQ(db.rows("SELECT k FROM g GROUP BY k TOP 2"), "1\n2\n");
}

TEST_F(SelectTest, AColumnNumberOutsideTheSelectListIsRefusedByNumber) {
  fill("g", "k INTEGER", {"1"});
  for (const char* n : {"0", "2"})
    EXPECT_EQ(
        db.rows(std::string("SELECT k FROM g ORDER BY ") + n),
        std::string("error: SQL error - Invalid column number '") + n + "' specified in ORDER BY clause");
  EXPECT_EQ(db.rows("SELECT k FROM g GROUP BY 0"),
            "error: SQL error - Invalid column number '0' specified in GROUP BY clause");
}

}  // namespace

namespace {

using namespace sql_test;

TEST(SelectLocksTest, AStatementOverAnIndexedNotFilterLetsOtherWritersIn) {
  platform::testing::TempFolder folder;
  SqlDatabase reader(folder.path()), writer(folder.path());
  reader.run("CREATE TABLE t (a INTEGER, b INTEGER)");
  reader.run("CREATE INDEX ia ON t (a)");
  for (int i = 1; i <= 20; ++i) reader.run("INSERT INTO t VALUES (" + std::to_string(i) + ", 1)");
  for (const char* where : {"NOT (a = 5)", "NOT (a > 5)", "a <> 5", "NOT (a IS NULL)"}) {
    // The statements stay prepared, with their source cursors open, while the writer writes.
    TQueryStatement select(reader.directory()), change(reader.directory());
    select.Prepare(std::string("SELECT a FROM t WHERE ") + where);
    select.Execute();
    change.Prepare(std::string("UPDATE t SET b = b + 1 WHERE ") + where);
    change.Execute();
    EXPECT_EQ(writer.rows("INSERT INTO t VALUES (100, 1)"), "") << where;
    EXPECT_EQ(writer.rows("DELETE FROM t WHERE a = 100"), "") << where;
  }
}

}  // namespace
