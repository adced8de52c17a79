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

// A constant compared with a column is the number it is (15 / 13 is 1.15..., not the integer
// column's 1) wherever the comparison stands, so a condition and its negation share out the rows.
TEST_F(SelectTest, AConditionAndItsNegationTakeEveryRowOnce) {
  fill("t", "a INTEGER, b INTEGER", {"1, 0", "2, 1", "3, 2", "4, NULL"});
  for (int indexed = 0; indexed < 2; ++indexed) {
    if (indexed) db.run("CREATE INDEX ib ON t (b)");
    EXPECT_EQ(db.rows("SELECT a FROM t WHERE (15 / 13) > b ORDER BY 1"), "1\n2\n");
    EXPECT_EQ(db.rows("SELECT a FROM t WHERE NOT ((15 / 13) > b) ORDER BY 1"), "3\n4\n");
    EXPECT_EQ(db.rows("SELECT a FROM t WHERE NOT (b < (15 / 13)) ORDER BY 1"), "3\n4\n");
    EXPECT_EQ(db.rows("SELECT a FROM t WHERE (15 / 13) > b OR a = 4 ORDER BY 1"), "1\n2\n4\n");
    EXPECT_EQ(db.rows("SELECT a FROM t WHERE NOT ((15 / 13) >= b OR a = 4) ORDER BY 1"), "3\n");
  }
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

// A test of the inner table in an outer join's ON picks its partners; the same table's test in
// WHERE then sees the NULLs of the rows left without one.
TEST_F(SelectTest, AnOuterJoinsOnTestStaysInTheJoinBesideAWhereTestOfTheSameTable) {
  fill("t", "a INTEGER", {"1", "2"});
  fill("u", "a INTEGER, b INTEGER, f FLOAT", {"1, 1, 10", "2, 2, 1"});
  EXPECT_EQ(db.rows("SELECT t.a, u.b FROM t LEFT OUTER JOIN u ON t.a = u.a AND u.f >= 9 ORDER BY 1"),
            "1|1\n2|NULL\n");
  EXPECT_EQ(db.rows("SELECT t.a, u.b FROM t LEFT OUTER JOIN u ON t.a = u.a AND u.f >= 9 WHERE u.b IS NULL"),
            "2|NULL\n");
  EXPECT_EQ(db.rows("SELECT t.a, u.b FROM t LEFT OUTER JOIN u ON t.a = u.a AND u.f >= 9 WHERE NOT (u.b >= 3) "
                    "ORDER BY 1"),
            "1|1\n2|NULL\n");
  EXPECT_EQ(db.rows("SELECT t.a, u.b FROM u RIGHT OUTER JOIN t ON t.a = u.a AND u.f >= 9 WHERE NOT (3 >= "
                    "(u.b + u.a))"),
            "2|NULL\n");
  // A text that names a column of the preserved table ('a') leaves the pattern in the join.
  db.run("CREATE TABLE v (a INTEGER, s CHAR(10))");
  db.run("INSERT INTO v VALUES (1, 'a')");
  EXPECT_EQ(db.rows("SELECT t.a, v.s FROM t LEFT OUTER JOIN v ON t.a = v.a AND v.s LIKE 'a' ORDER BY 1"),
            "1|a\n2|NULL\n");
  // Two tests of the inner table in ON stay together in the join.
  EXPECT_EQ(db.rows("SELECT t.a, u.b FROM t LEFT OUTER JOIN u ON t.a = u.a AND u.f >= 9 AND u.b > 0 WHERE "
                    "u.a IS NULL OR u.b = 1 ORDER BY 1"),
            "1|1\n2|NULL\n");
}

// Tests in the ON of chained outer joins, over the preserved table or three tables, choose
// partners and never drop a preserved row.
TEST_F(SelectTest, ChainedOuterJoinsKeepEveryPreservedRowWhatTheirOnTests) {
  fill("t", "a INTEGER", {"1", "2", "3"});
  fill("u", "a INTEGER, b INTEGER", {"1, 10", "2, 20", "3, 500"});
  fill("v", "a INTEGER, c INTEGER", {"1, 100", "3, 300"});
  EXPECT_EQ(
      db.rows("SELECT t.a, u.b, v.c FROM t LEFT OUTER JOIN u ON t.a = u.a AND u.b > 15 LEFT OUTER JOIN v "
              "ON v.a = t.a AND v.c > 150 WHERE u.b IS NULL ORDER BY 1"),
      "1|NULL|NULL\n");
  EXPECT_EQ(
      db.rows("SELECT t.a, u.b FROM t LEFT OUTER JOIN u ON t.a = u.a AND t.a > 1 AND t.a < 3 ORDER BY 1"),
      "1|NULL\n2|20\n3|NULL\n");
  EXPECT_EQ(db.rows("SELECT t.a, u.b FROM u RIGHT OUTER JOIN t ON t.a = u.a AND t.a > 1 AND u.b < 100 WHERE "
                    "t.a < 3 ORDER BY 1"),
            "1|NULL\n2|20\n");
}

// Under a language LIKE compares a character with the marks that follow it, so 'A' + acute is one
// character, the same as a precomposed 'Á' and not an 'A'. LIKE 'p%' must find what LIKE 'p%%'
// finds, read through an index or not.
TEST_F(SelectTest, ALikeEndingInPercentFindsWhatItsLongerFormFindsUnderALanguage) {
  fill("w", "id INTEGER, s CHAR(12)",
       {"1, 'A\xCC\x81x'", "2, '\xC3\x81x'", "3, 'Ax'", "4, 'ax'", "5, 'e\xCC\x81'", "6, 'ex'"});
  for (int indexed = 0; indexed < 2; ++indexed) {
    if (indexed) db.run("CREATE INDEX ws ON w (s)");
    for (const char* prefix : {"A", "\xC3\x81", "A\xCC\x81", "e", "Ax"}) {
      const std::string like = std::string("SELECT id FROM w WHERE s LIKE '") + prefix;
      const std::string notLike = std::string("SELECT id FROM w WHERE s NOT LIKE '") + prefix;
      const std::string tail = " ORDER BY 1 LANGUAGE 'English (UK)'";
      EXPECT_EQ(db.rows(like + "%'" + tail), db.rows(like + "%%'" + tail))
          << prefix << " indexed " << indexed;
      EXPECT_EQ(db.rows(notLike + "%'" + tail), db.rows(notLike + "%%'" + tail))
          << prefix << " indexed " << indexed;
    }
  }
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

// The final passes hold the rows in memory up to a limit and go through the result table beyond
// it. Held, spilt at the first row or spilt midway, a pass gives the same rows in the same order,
// and the result's index holds every row.
TEST_F(SelectTest, FinalPassesGiveTheSameRowsHeldInMemoryOrThroughTheTable) {
  db.run("CREATE TABLE t (id INTEGER, k INTEGER, s CHAR(12), f FLOAT, m BLOB(1, 1))");
  const char* texts[] = {"'abc'", "'ABC'", "'Abd'", "'b'", "NULL", "'abc'"};
  for (int i = 0; i < 35; ++i)
    db.run("INSERT INTO t VALUES (" + std::to_string(i) + ", " +
           (i % 17 == 0 ? std::string("NULL") : std::to_string(i * 7 % 13)) + ", " + texts[i % 6] + ", " +
           std::to_string(i % 10) + ".5, 'memo" + std::to_string(i % 3) + "')");
  // 1,120 rows, each value repeated in later copies.
  for (int rows = 35; rows < 1120; rows *= 2)
    db.run("INSERT INTO t SELECT id + " + std::to_string(rows) + ", k, s, f, m FROM t");
  // Ties keep the order the rows came in; NULL comes first ascending and last descending.
  EXPECT_EQ(db.rows("SELECT id, k FROM t ORDER BY k TOP 3"), "0|NULL\n17|NULL\n34|NULL\n");
  EXPECT_EQ(db.rows("SELECT id, k FROM t ORDER BY k DESC TOP 2"), "11|12\n24|12\n");
  EXPECT_TRUE(
      db.rows("SELECT id, k FROM t WHERE id < 35 ORDER BY k DESC").ends_with("\n0|NULL\n17|NULL\n34|NULL\n"));
  const char* statements[] = {
      "SELECT id, k, s FROM t ORDER BY k DESC, s",
      "SELECT id, s FROM t ORDER BY s, 1 DESC NOCASE",
      "SELECT id, k FROM t ORDER BY k TOP 7",
      "SELECT id, k FROM t ORDER BY k DESC TOP 520",
      "SELECT k, COUNT(*), SUM(f), AVG(id), RUNSUM(id), MIN(s), MAX(s), COUNT(s) FROM t GROUP BY k",
      "SELECT k, COUNT(*) FROM t GROUP BY k HAVING COUNT(*) > 80 ORDER BY 2 DESC",
      "SELECT s, COUNT(*), AVG(f) FROM t GROUP BY s ORDER BY 2 DESC, 1 TOP 3",
      "SELECT k, MIN(id) FROM t GROUP BY k TOP 3",
      "SELECT s, k FROM t GROUP BY s, k ORDER BY 2, 1",
      "SELECT DISTINCT s FROM t",
      "SELECT DISTINCT k, s FROM t ORDER BY k DESC",
      "SELECT DISTINCT s, k FROM t ORDER BY s, k",
      "SELECT k, id, m FROM t WHERE id < 60 ORDER BY k DESC, id",
      "SELECT k, COUNT(*), m FROM t GROUP BY k",
      // A locale's keys compare through it, not by their bytes.
      "SELECT DISTINCT s FROM t LANGUAGE 'English (UK)'",
      "SELECT id, s FROM t ORDER BY s DESC, 1 LANGUAGE 'English (UK)'",
      "SELECT s, COUNT(*) FROM t GROUP BY s LANGUAGE 'English (UK)'",
  };
  auto run = [&](const std::string& sql, size_t limit, int32_t most) {
    const size_t before = TDataQuery::SetHeldRowsLimit(limit);
    TQueryStatement s(db.directory());
    s.MaxRowCount = most;
    s.Prepare(sql);
    engine::TDataCursor& c = *s.Execute();
    std::string rows = SqlDatabase::text(c);
    // Through the pass index, ties by the order the rows were written in, which is the result's.
    for (uint8_t slot = 1; slot <= c.GetIndexCount(); ++slot)
      if (c.GetIndexDesc(slot).name == "Sys__OrderBy") {
        c.SwitchToIndex(slot);
        EXPECT_EQ(SqlDatabase::text(c), rows) << sql;
      }
    TDataQuery::SetHeldRowsLimit(before);
    return rows;
  };
  for (const char* sql : statements) {
    const std::string held = run(sql, size_t(1) << 30, -1);
    EXPECT_FALSE(held.empty()) << sql;
    EXPECT_EQ(run(sql, 0, -1), held) << sql;
    EXPECT_EQ(run(sql, 20000, -1), held) << sql;
  }
  // A row limit counts the rows taken, TOP's trimmed ones too.
  for (const char* sql : {"SELECT id, k FROM t ORDER BY k TOP 7", "SELECT k, COUNT(*) FROM t GROUP BY k",
                          "SELECT DISTINCT s, k FROM t ORDER BY k DESC", "SELECT DISTINCT k, s FROM t"})
    for (int32_t most : {30, 1000})
      EXPECT_EQ(run(sql, 0, most), run(sql, size_t(1) << 30, most)) << sql << " " << most;
  // DISTINCT's TOP counts distinct rows.
  for (const char* sql :
       {"SELECT DISTINCT s FROM t TOP 3", "SELECT DISTINCT k, s FROM t ORDER BY k DESC TOP 5",
        "SELECT DISTINCT s FROM t ORDER BY s TOP 2"})
    EXPECT_EQ(run(sql, 0, -1), run(sql, size_t(1) << 30, -1)) << sql;
  EXPECT_EQ(db.rows("SELECT DISTINCT s FROM t TOP 3"), "abc\nABC\nAbd\n");
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

// Columns and aggregates that a run fills from the stored bytes (plain columns, COUNT, the SUM of
// integers) at their edges: integer limits whose sum leaves the 32 bits, NULLs, texts of full
// width and with blanks inside, and the NULL columns of an outer join's missing row.
TEST_F(SelectTest, ColumnsFilledFromStoredBytesKeepTheirValuesAtTheEdges) {
  fill("e", "k INTEGER, v INTEGER, w SMALLINT, f FLOAT, s CHAR(5)",
       {"1, 2147483647, 7, 1.5, 'abcde'", "1, 2147483647, -7, NULL, 'a b'",
        "2, -2147483648, NULL, -0.25, NULL", "2, NULL, 32767, 2.0, 'x'", "3, NULL, NULL, NULL, 'zz'"});
  EXPECT_EQ(db.rows("SELECT k, SUM(v), COUNT(v), COUNT(*), RUNSUM(v), SUM(w), MIN(s) FROM e GROUP BY k"),
            "1|4294967294|2|2|4294967294|0|a "
            "b\n2|-2147483648|1|2|2147483646|32767|x\n3|NULL|0|1|2147483646|NULL|zz\n");
  EXPECT_EQ(db.rows("SELECT SUM(v), COUNT(v), COUNT(*) FROM e"), "2147483646|3|5\n");
  EXPECT_EQ(db.rows("SELECT v, w, f, s FROM e ORDER BY s, v"),
            "-2147483648|NULL|-0.25|NULL\n2147483647|-7|NULL|a b\n2147483647|7|1.5|abcde\nNULL|32767|2|x\n"
            "NULL|NULL|NULL|zz\n");
  fill("o", "k INTEGER, t CHAR(3)", {"1, 'one'"});
  EXPECT_EQ(db.rows("SELECT e.k, o.t, o.k FROM e LEFT OUTER JOIN o ON o.k = e.k ORDER BY 1, 2"),
            "1|one|1\n1|one|1\n2|NULL|NULL\n2|NULL|NULL\n3|NULL|NULL\n");
}

TEST_F(SelectTest, InSubSelectComparesEachRowWithTheSubSelectsRows) {
  fill("t", "a INTEGER, s CHAR(5)", {"1, 'x'", "2, 'y'", "3, 'z'", "NULL, 'n'"});
  fill("u", "b INTEGER, f FLOAT", {"2, 1.5", "3, 2", "3, 3", "NULL, 4"});
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE a IN (SELECT b FROM u) ORDER BY 1"), "NULL\n2\n3\n");
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE a NOT IN (SELECT b FROM u WHERE b > 0)"), "1\nNULL\n");
  // 1.5 is no whole number: no row of t equals it.
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE a IN (SELECT f FROM u) ORDER BY 1"), "2\n3\n");
  EXPECT_EQ(
      db.rows("SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE b IN (SELECT a FROM t WHERE s = 'z'))"),
      "3\n");
  EXPECT_EQ(db.rows("SELECT COUNT(*) FROM t WHERE s = 'x' OR a IN (SELECT b FROM u WHERE f > 2)"), "3\n");
  TQueryStatement s(db.directory());
  s.Prepare("SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE f >= ?)");
  std::vector<engine::TFieldDescriptor> d(1);
  d[0].SetType(uint8_t(engine::TEngineFieldType::Integer));
  d[0].SetStoredSize(4);
  std::vector<uint8_t> values(5, 1);
  for (int32_t low : {3, 1, 5}) {
    engine::PutIntegerValue(&values[1], low);
    s.SetParams(1, d, values);
    EXPECT_EQ(SqlDatabase::text(*s.Execute()), low == 3   ? "3\nNULL\n"
                                               : low == 1 ? "2\n3\nNULL\n"
                                                          : "")
        << low;
  }
  db.run("DELETE FROM t WHERE a IN (SELECT b FROM u)");
  EXPECT_EQ(db.rows("SELECT a FROM t"), "1\n");
}

TEST_F(SelectTest, RowLimitsKeepExactlyTheirCount) {
  fill("t", "a INTEGER, k INTEGER", {"5, 1", "3, 2", "4, 1", "1, 3", "2, 2"});
  EXPECT_EQ(db.rows("SELECT a FROM t ORDER BY a TOP 3"), "1\n2\n3\n");
  EXPECT_EQ(db.rows("SELECT a FROM t ORDER BY a DESC TOP 1"), "5\n");
  EXPECT_EQ(db.rows("SELECT a FROM t TOP 2"), "5\n3\n");
  EXPECT_EQ(db.rows("SELECT a FROM t TOP 0"), "");
  EXPECT_EQ(db.rows("SELECT DISTINCT k FROM t TOP 2"), "1\n2\n");
  EXPECT_EQ(db.rows("SELECT k, COUNT(*) FROM t GROUP BY k TOP 2"), "1|2\n2|2\n");
  EXPECT_EQ(db.rows("SELECT k, COUNT(*) FROM t GROUP BY k ORDER BY 1 DESC TOP 1"), "3|1\n");
  for (int32_t most : {0, 1, 2, 5, 6}) {
    TQueryStatement s(db.directory());
    s.MaxRowCount = most;
    s.Prepare("SELECT a FROM t");
    EXPECT_EQ(s.Execute()->GetRecordCount(), std::min(most, 5)) << most;
    TQueryStatement count(db.directory());
    count.MaxRowCount = most;
    count.Prepare("SELECT COUNT(*) FROM t");
    EXPECT_EQ(count.Execute()->GetRecordCount(), std::min(most, 1)) << most;
  }
}

TEST_F(SelectTest, ComparisonsTurnedAboutMirrorTheirOperator) {
  fill("t", "a INTEGER", {"1", "2", "3", "4", "5", "6"});
  fill("u", "b INTEGER", {"2", "5"});
  db.run("CREATE INDEX ia ON t (a)");
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE 4 < a"), "5\n6\n");
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE 2 >= a"), "1\n2\n");
  // Under a NOT too, a constant on the left compares as the number it is (-4.67 here, which no
  // integer equals), as one on the right does.
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE (14 / -3) = 0 - a"), "");
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE NOT ((14 / -3) <> 0 - a)"), "");
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE (14 / -3) < 0 - a ORDER BY 1"), "1\n2\n3\n4\n");
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE NOT ((14 / -3) >= 0 - a) ORDER BY 1"), "1\n2\n3\n4\n");
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE 0 - a > (14 / -3) ORDER BY 1"), "1\n2\n3\n4\n");
  // The smaller table drives; each comparison turned with it keeps its meaning.
  for (const char* tail : {"", " NOJOINOPTIMIZE"}) {
    EXPECT_EQ(
        db.rows(std::string("SELECT t.a, u.b FROM t, u WHERE t.a > u.b AND t.a < 4 ORDER BY 1, 2") + tail),
        "3|2\n");
    EXPECT_EQ(
        db.rows(std::string("SELECT t.a, u.b FROM t, u WHERE u.b > t.a AND t.a >= 2 ORDER BY 1, 2") + tail),
        "2|5\n3|5\n4|5\n");
    EXPECT_EQ(
        db.rows(std::string("SELECT t.a, u.b FROM u, t WHERE t.a <= u.b AND u.b = 2 ORDER BY 1") + tail),
        "1|2\n2|2\n");
  }
}

// A condition over two tables that only the joined row can test compares as a filter on one
// table does: a constant side compares as the number it is (3 / 4 is above 0, 0 - 3 / 4 below).
TEST_F(SelectTest, AConditionOnTheJoinedRowComparesAsAFilterDoes) {
  fill("t", "a INTEGER, b SMALLINT", {"1, 1", "2, NULL", "3, -2"});
  fill("u", "a INTEGER", {"1", "2", "3"});
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE (b - b) >= (3 / 4) ORDER BY 1"), "");
  EXPECT_EQ(db.rows("SELECT a FROM t WHERE (b - b) > (0 - 3 / 4) ORDER BY 1"), "1\n3\n");
  for (auto [where, rows] : {std::pair{"(t.b - t.b) >= (3 / 4) OR u.a = 1000", ""},
                             std::pair{"(t.b - t.b) > (0 - 3 / 4) OR u.a = 1000", "1\n3\n"}}) {
    EXPECT_EQ(db.rows(std::string("SELECT t.a FROM t, u WHERE t.a = u.a AND (") + where + ") ORDER BY 1"),
              rows)
        << where;
    db.run(std::string("UPDATE t SET b = b FROM t, u WHERE t.a = u.a AND (") + where + ")");
    EXPECT_EQ(db.affected, rows[0] ? 2 : 0) << where;
  }
}

TEST_F(SelectTest, AnAverageOfDecimalsRoundsHalvesAwayFromZero) {
  fill("d", "g INTEGER, v DECIMAL(10, 4)",
       {"1, 0.0001", "1, 0.0002", "2, -0.0001", "2, -0.0002", "3, 0.0001", "3, 0.0001", "3, 0.0002"});
  EXPECT_EQ(db.rows("SELECT g, AVG(v) FROM d GROUP BY g"), "1|0.0002\n2|-0.0002\n3|0.0001\n");
  EXPECT_EQ(db.rows("SELECT AVG(v) FROM d WHERE g = 1"), "0.0002\n");
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

// A SELECT holds its tables' read locks across runs of rows, never while its progress callback
// runs: a write from the callback (through another session of the process) goes through at once.
TEST(SelectLocksTest, AProgressCallbackWritesToTheTableTheSelectReads) {
  platform::testing::TempFolder folder;
  SqlDatabase reader(folder.path()), writer(folder.path());
  reader.run("CREATE TABLE t (a INTEGER, b INTEGER)");
  reader.run("INSERT INTO t VALUES (1, 0)");
  for (int i = 0; i < 11; ++i)
    reader.run("INSERT INTO t SELECT a + " + std::to_string(1 << i) + ", b FROM t");
  for (const char* sql : {"SELECT a FROM t WHERE b = 0", "SELECT b, COUNT(*) FROM t GROUP BY b",
                          "SELECT x.a FROM t x, t y WHERE y.a = x.a AND x.a < 40"}) {
    int calls = 0;
    std::string failure;
    TQueryStatement select(reader.directory());
    select.SetProgressCallback([&](int, bool&) {
      ++calls;
      const std::string answer = writer.rows("UPDATE t SET b = 0 WHERE a = 1");
      if (!answer.empty()) failure = answer;
    });
    select.Prepare(sql);
    select.Execute();
    EXPECT_GT(calls, 1) << sql;
    EXPECT_EQ(failure, "") << sql;
  }
  EXPECT_EQ(writer.rows("SELECT COUNT(*) FROM t"), "2048\n");
}

}  // namespace

namespace {

using namespace sql_test;

// A prepared statement keeps the plan Prepare made through every run, while each run's filters
// take that run's parameter values.
TEST(QueryPlanTest, EachRunFollowsThePreparedPlanWithItsOwnParameterValues) {
  platform::testing::TempFolder folder;
  SqlDatabase db(folder.path());
  db.run("CREATE TABLE e (id INTEGER, dept INTEGER)");
  db.run("CREATE TABLE d (id INTEGER, region INTEGER)");
  db.run("CREATE INDEX ii ON e (id)");
  for (int i = 1; i <= 6; ++i)
    db.run("INSERT INTO e VALUES (" + std::to_string(i) + ", " + std::to_string(i % 2) + ")");
  db.run("INSERT INTO d VALUES (0, 10)");
  db.run("INSERT INTO d VALUES (1, 11)");
  TQueryStatement s(db.directory());
  s.Prepare("SELECT e.id, d.region FROM e, d WHERE e.dept = d.id AND e.id > ? AND d.region <> 99 ORDER BY 1");
  const std::string plan = s.Plan()[0].ToString();
  EXPECT_NE(plan.find("filter(E.id > ?)"), std::string::npos) << plan;
  std::vector<engine::TFieldDescriptor> d(1);
  d[0].SetType(uint8_t(engine::TEngineFieldType::Integer));
  d[0].SetStoredSize(4);
  std::vector<uint8_t> value(5, 0);
  value[0] = 1;
  for (int32_t from : {4, 1, 6}) {
    engine::PutIntegerValue(&value[1], from);
    s.SetParams(1, d, value);
    std::string expected;
    for (int i = from + 1; i <= 6; ++i)
      expected += std::to_string(i) + "|" + std::to_string(10 + i % 2) + "\n";
    EXPECT_EQ(SqlDatabase::text(*s.Execute()), expected) << from;
    EXPECT_EQ(s.Plan()[0].ToString(), plan);
  }
  // Rows added after Prepare are seen; the plan stays.
  db.run("INSERT INTO e VALUES (9, 1)");
  EXPECT_EQ(SqlDatabase::text(*s.Execute()), "9|11\n");
  EXPECT_EQ(s.Plan()[0].ToString(), plan);
}

TEST(QueryPlanTest, ThePlanShowsTheJoinOrderFiltersAndConditionsARunFollows) {
  platform::testing::TempFolder folder;
  SqlDatabase db(folder.path());
  db.run("CREATE TABLE e (id INTEGER, dept INTEGER, grade INTEGER)");
  db.run("CREATE TABLE d (id INTEGER, region INTEGER)");
  db.run("CREATE INDEX ii ON e (id)");
  for (int i = 1; i <= 5; ++i) db.run("INSERT INTO e VALUES (" + std::to_string(i) + ", 1, 1)");
  db.run("INSERT INTO d VALUES (1, 1)");
  auto plans = [&](const std::string& sql) {
    TQueryStatement s(db.directory());
    s.Prepare(sql);
    std::string text;
    for (const TQueryPlan& p : s.Plan()) text += (text.empty() ? "" : " || ") + p.ToString();
    return text;
  };
  // The smaller table drives; the indexed filter is on its cursor before the choice.
  EXPECT_EQ(plans("SELECT e.id FROM e, d WHERE e.dept = d.id AND e.id > 3 AND (d.id = 1 OR e.grade = 2) "
                  "ORDER BY 1"),
            "SELECT D ->E#1(D.id =#1 E.dept) E filter(E.id > 3) | residual((D.id = 1) OR (E.grade = 2)) | "
            "result id Sys__OrderBy(1)");
  EXPECT_EQ(plans("SELECT e.id FROM e, d WHERE e.dept = d.id NOJOINOPTIMIZE"),
            "SELECT E ->D#1(E.dept =#1 D.id) D | result id");
  EXPECT_EQ(plans("SELECT id FROM e WHERE grade = 1 OR 1 = 2"),
            "SELECT E | post((E.grade = 1) OR (1 = 2)) | result id");
  EXPECT_EQ(plans("SELECT id FROM e WHERE id IN (SELECT id FROM d)"),
            "SELECT E | postIN(E.id,SELECT) | result id || SELECT D | result id");
  EXPECT_EQ(plans("UPDATE e SET grade = 2 WHERE id = 2"), "UPDATE E filter(E.id = 2)");
}

}  // namespace
