// NULLs, duplicates, mixed case and empty texts, negative numbers through every clause that
// decides which rows a SELECT gives, against SQLite on the same rows. SQLite is given this
// dialect's rules where they are its own: = and <> take NULL as a value (NULL = NULL holds, so
// an IN list or a join key matches a NULL), NOT of NULL is true, a NULL text orders and compares
// as the empty text, an empty text is stored as NULL, AVG of no values is 0. Everything else,
// aggregates over NULL-only groups, DISTINCT and GROUP BY over NULLs, UNION, the order of NULLs
// in ORDER BY, must be as SQLite gives it. Each table is read with and without an index on
// the tested column, since an index serves IN lists, BETWEEN and NULL tests by key ranges.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorlocale.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/values/veldorvaluetext.h"
#include "tests/engine/sql/sql_lite_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace engine;
using Rows = std::vector<std::string>;

// The same statement for both sides, or one per side.
struct Pair {
  std::string ours, lite;
  Pair(const char* both) : ours(both), lite(both) {}
  Pair(std::string o, std::string l) : ours(std::move(o)), lite(std::move(l)) {}
};

class NullRows : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    session_.SetPrivateDirectory(folder_.path());
    directory_ = session_.OpenDataDirectory("db", folder_.path());
    ASSERT_EQ(sqlite3_open(":memory:", &lite_), SQLITE_OK);
    sqlite3_create_collation(
        lite_, "VEL", SQLITE_UTF8, nullptr, [](void*, int n, const void* a, int m, const void* b) {
          return OSCompareStrings(0, 0, std::string_view(static_cast<const char*>(a), size_t(n)), false, 0,
                                  std::string_view(static_cast<const char*>(b), size_t(m)));
        });
    // t: the tested rows; u: a second table for IN (sub-select), joins and UNION.
    static const char* const kT[] = {"(1, 'abc', 1.5)",  "(1, 'ABC', -2.0)", "(NULL, 'abc', NULL)",
                                     "(-3, NULL, 0.0)",  "(2, 'a_c', 2.5)",  "(NULL, NULL, NULL)",
                                     "(0, 'Zed', -0.5)", "(-3, 'zed', 4.0)", "(7, 'x', NULL)",
                                     "(2, 'abc', 2.5)"};
    static const char* const kU[] = {"(1, 'abc')", "(NULL, 'x')", "(-3, NULL)", "(9, 'Zed')", "(NULL, NULL)"};
    // A group whose first rows are NULL (a = 5), and one of NULLs only (a = 6).
    static const char* const kG[] = {"(5, NULL, NULL)", "(5, NULL, NULL)", "(5, 'q', -7.5)",
                                     "(6, NULL, NULL)"};
    exec("CREATE TABLE t (a INTEGER, s CHAR(10), f FLOAT)");
    exec("CREATE TABLE u (a INTEGER, s CHAR(10))");
    for (const char* r : kT) exec(std::string("INSERT INTO t VALUES ") + r);
    for (const char* r : kG) exec(std::string("INSERT INTO t VALUES ") + r);
    for (const char* r : kU) exec(std::string("INSERT INTO u VALUES ") + r);
    // An empty text is stored as NULL by this engine; SQLite is given the NULL itself.
    execBoth("INSERT INTO t VALUES (4, '', 1.0)", "INSERT INTO t VALUES (4, NULL, 1.0)");
    // Zero with its sign: equal to zero, one value for DISTINCT and GROUP BY.
    exec("INSERT INTO t VALUES (8, 'neg', -0.0)");
    exec("INSERT INTO t VALUES (8, 'neg', 0.0 * -1.0)");
    if (GetParam()) {
      exec("CREATE INDEX ia ON t (a)");
      exec("CREATE INDEX isx ON t (s)");
      exec("CREATE INDEX iua ON u (a)");
    }
  }
  void TearDown() override {
    session_.CloseDataDirectory(directory_);
    sqlite3_close(lite_);
  }

  void exec(const std::string& sql) { execBoth(sql, sql); }
  void execBoth(const std::string& ours, const std::string& lite) {
    sql::TQueryStatement s(*directory_);
    s.Prepare(ours);
    s.Execute();
    ASSERT_EQ(sqlite3_exec(lite_, lite.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << lite;
  }

  // The engine's rows in the order it gives them, or "ERR text". A live result filters the
  // table's own cursor, with the engine's filters instead of the statement's row checks.
  Rows ours(const std::string& sql, bool live = false) {
    Rows rows;
    try {
      sql::TQueryStatement s(*directory_);
      s.RequestLive = live;
      s.Prepare(sql);
      TDataCursor* c = s.Execute();
      if (!c) return rows;
      std::vector<uint8_t> record(c->RecordSize());
      std::string text;
      c->SetToBegin();
      while (c->GetNextRecord(record.data()) == 0) {
        std::string line;
        for (uint16_t p = 1; p <= c->FieldCount(); ++p) {
          if (c->GetFieldDesc(p).Bytes()[252]) continue;
          // SQLite keeps no sign on a zero; the value is the same.
          if (!sql::ColumnText(*c, p, record.data(), text)) text = "NULL";
          line += (text == "-0" ? "0" : text) + "|";
        }
        rows.push_back(line);
      }
    } catch (const EVELDOREngineError& e) {
      rows = {"ERR " + std::string(e.what())};
    }
    return rows;
  }
  Rows lite(const std::string& sql) { return sql_test::LiteRows(lite_, sql); }

  // Both sides give the same rows; in the same order when `ordered`.
  void same(const std::vector<Pair>& pairs, bool ordered = false) {
    for (const Pair& p : pairs) {
      Rows b = lite(p.lite);
      if (!ordered) std::sort(b.begin(), b.end());
      for (const bool live : {false, true}) {
        Rows a = ours(p.ours, live);
        if (!ordered) std::sort(a.begin(), a.end());
        std::string shown;
        for (const std::string& r : a) shown += "\n  ours   " + r;
        for (const std::string& r : b) shown += "\n  sqlite " + r;
        EXPECT_EQ(a, b) << p.ours << (live ? " (live)" : "") << shown;
      }
    }
  }

  platform::testing::TempFolder folder_;
  TDataSession session_;
  TDataDirectory* directory_ = nullptr;
  sqlite3* lite_ = nullptr;
};

TEST_P(NullRows, ConditionsOverNullsSelectTheRowsTheirOperatorsDefine) {
  same({
      {"SELECT a FROM t WHERE a = NULL", "SELECT a FROM t WHERE a IS NULL"},
      {"SELECT a FROM t WHERE a <> NULL", "SELECT a FROM t WHERE a IS NOT NULL"},
      {"SELECT a FROM t WHERE a IS NULL OR a > 1", "SELECT a FROM t WHERE a IS NULL OR a > 1"},
      {"SELECT a FROM t WHERE NOT (a > 1)", "SELECT a FROM t WHERE NOT COALESCE(a > 1, 0)"},
      {"SELECT a, s FROM t WHERE a > 0 AND s IS NOT NULL",
       "SELECT a, s FROM t WHERE a > 0 AND s IS NOT NULL"},
      {"SELECT a FROM t WHERE a < 1", "SELECT a FROM t WHERE a < 1"},
      {"SELECT a FROM t WHERE f >= -0.5 OR a = -3", "SELECT a FROM t WHERE f >= -0.5 OR a IS -3"},
      {"SELECT a FROM t WHERE a IN (1, NULL)", "SELECT a FROM t WHERE a IS 1 OR a IS NULL"},
      {"SELECT a FROM t WHERE a IN (2, -3, 99)", "SELECT a FROM t WHERE a IN (2, -3, 99)"},
      {"SELECT a FROM t WHERE a NOT IN (2, -3)", "SELECT a FROM t WHERE a IS NOT 2 AND a IS NOT -3"},
      {"SELECT a FROM t WHERE a NOT IN (1, NULL)", "SELECT a FROM t WHERE a IS NOT 1 AND a IS NOT NULL"},
      {"SELECT a FROM t WHERE a BETWEEN -3 AND 1", "SELECT a FROM t WHERE a BETWEEN -3 AND 1"},
      {"SELECT a FROM t WHERE a NOT BETWEEN -3 AND 1",
       "SELECT a FROM t WHERE NOT COALESCE(a BETWEEN -3 AND 1, 0)"},
      {"SELECT s FROM t WHERE s LIKE 'a%'", "SELECT s FROM t WHERE s GLOB 'a*'"},
      {"SELECT s FROM t WHERE s LIKE 'a_c'", "SELECT s FROM t WHERE s GLOB 'a?c'"},
      {"SELECT s FROM t WHERE s NOT LIKE 'a%'", "SELECT s FROM t WHERE s IS NULL OR NOT s GLOB 'a*'"},
      {"SELECT s FROM t WHERE s = 'abc'", "SELECT s FROM t WHERE s = 'abc'"},
      {"SELECT s FROM t WHERE s IN ('zed', 'x')", "SELECT s FROM t WHERE s IN ('zed', 'x')"},
      {"SELECT a FROM t WHERE a IN (SELECT a FROM u)",
       "SELECT a FROM t WHERE EXISTS (SELECT 1 FROM u WHERE u.a IS t.a)"},
      {"SELECT a FROM t WHERE a IN (SELECT a FROM u WHERE a > 0)",
       "SELECT a FROM t WHERE a IN (SELECT a FROM u WHERE a > 0)"},
      {"SELECT a FROM t WHERE a NOT IN (SELECT a FROM u)",
       "SELECT a FROM t WHERE NOT EXISTS (SELECT 1 FROM u WHERE u.a IS t.a)"},
      {"SELECT s FROM t WHERE s IN ('abc', NULL)", "SELECT s FROM t WHERE s IS 'abc' OR s IS NULL"},
      // x >= NULL holds for no x but NULL, and NULL <= 3 does not.
      {"SELECT a FROM t WHERE a BETWEEN NULL AND 3", "SELECT a FROM t WHERE 0"},
      {"SELECT s FROM t WHERE s < 'a'", "SELECT s FROM t WHERE COALESCE(s, '') COLLATE VEL < 'a'"},
      {"SELECT s FROM t WHERE s >= 'zed' AND s <= 'Zed'",
       "SELECT s FROM t WHERE s COLLATE VEL >= 'zed' AND s COLLATE VEL <= 'Zed'"},
      {"SELECT f FROM t WHERE f = 0", "SELECT f FROM t WHERE f = 0"},
      {"SELECT a FROM t WHERE (a > 0 OR s = 'x') AND NOT (f < 0)",
       "SELECT a FROM t WHERE (COALESCE(a > 0, 0) OR s IS 'x') AND NOT COALESCE(f < 0, 0)"},
  });
}

TEST_P(NullRows, RangesAndPatternsSelectWhatTheirScanWould) {
  same({
      {"SELECT a FROM t WHERE a BETWEEN 3 AND -3", "SELECT a FROM t WHERE a BETWEEN 3 AND -3"},
      {"SELECT a FROM t WHERE a NOT BETWEEN 3 AND -3",
       "SELECT a FROM t WHERE NOT COALESCE(a BETWEEN 3 AND -3, 0)"},
      {"SELECT s FROM t WHERE s LIKE 'ab%'", "SELECT s FROM t WHERE s GLOB 'ab*'"},
      {"SELECT s FROM t WHERE s LIKE '%'", "SELECT s FROM t WHERE s IS NOT NULL"},
      {"SELECT s FROM t WHERE s LIKE 'Z%'", "SELECT s FROM t WHERE s GLOB 'Z*'"},
      // LIKE compares the bytes without a language, where = compares as US English ('ÁBC' =
      // 'ABC'): a pattern that only ends in "%" does as well.
      {"SELECT s FROM t WHERE s LIKE 'ÁBC%'", "SELECT s FROM t WHERE s GLOB 'ÁBC*'"},
      {"SELECT s FROM t WHERE s LIKE 'ÁB%'", "SELECT s FROM t WHERE s GLOB 'ÁB*'"},
      {"SELECT s FROM t WHERE s NOT LIKE 'ÁBC%'", "SELECT s FROM t WHERE s IS NULL OR NOT s GLOB 'ÁBC*'"},
      {"SELECT s FROM t WHERE s <> 'abc'", "SELECT s FROM t WHERE s IS NOT 'abc'"},
      {"SELECT s FROM t WHERE s BETWEEN 'a' AND 'b'",
       "SELECT s FROM t WHERE COALESCE(s, '') COLLATE VEL BETWEEN 'a' AND 'b'"},
      {"SELECT a FROM t WHERE a IN (2, 2, -3)", "SELECT a FROM t WHERE a IN (2, -3)"},
      {"SELECT a FROM t WHERE a > 0 AND a < 0", "SELECT a FROM t WHERE 0"},
  });
}

TEST_P(NullRows, ExpressionsAndSubSelectsCarryNullsThrough) {
  same({
      {"SELECT a * -1, -a, ABS(a) FROM t", "SELECT a * -1, -a, ABS(a) FROM t"},
      {"SELECT UPPER(s), LOWER(s), LENGTH(s) FROM t", "SELECT UPPER(s), LOWER(s), LENGTH(s) FROM t"},
      {"SELECT SUM(a * 2), COUNT(a + 1), MIN(-a), MAX(f * a) FROM t",
       "SELECT SUM(a * 2), COUNT(a + 1), MIN(-a), MAX(f * a) FROM t"},
      {"SELECT a, SUM(f * 2), COUNT(f + 1) FROM t GROUP BY a",
       "SELECT a, SUM(f * 2), COUNT(f + 1) FROM t GROUP BY a"},
      {"SELECT a, s, COUNT(*) FROM t GROUP BY a, s", "SELECT a, s, COUNT(*) FROM t GROUP BY a, s"},
      {"SELECT a FROM t WHERE a IN (SELECT DISTINCT a FROM u WHERE s IS NULL)",
       "SELECT a FROM t WHERE EXISTS (SELECT 1 FROM u WHERE u.a IS t.a AND u.s IS NULL)"},
      {"SELECT a FROM t WHERE a IN (SELECT a FROM u WHERE a > 100)", "SELECT a FROM t WHERE 0"},
      {"SELECT a FROM t WHERE a IN (SELECT a FROM u WHERE a > 0 UNION SELECT a FROM t WHERE a < 0)",
       "SELECT a FROM t WHERE a IN (SELECT a FROM u WHERE a > 0 UNION SELECT a FROM t WHERE a < 0)"},
      {"SELECT a FROM t WHERE a NOT IN (SELECT a FROM u WHERE a > 100)", "SELECT a FROM t"},
      {"SELECT x.a, y.a FROM t x, t y WHERE x.a = y.a AND x.s = y.s",
       "SELECT x.a, y.a FROM t x, t y WHERE x.a IS y.a AND x.s IS y.s"},
      {"SELECT x.a, y.s FROM t x LEFT OUTER JOIN u y ON x.a = y.a AND y.s = 'x'",
       "SELECT x.a, y.s FROM t x LEFT OUTER JOIN u y ON x.a IS y.a AND y.s IS 'x'"},
      {"SELECT x.a, COUNT(*) FROM t x INNER JOIN u y ON x.a = y.a GROUP BY x.a",
       "SELECT x.a, COUNT(*) FROM t x INNER JOIN u y ON x.a IS y.a GROUP BY x.a"},
  });
}

TEST_P(NullRows, DataChangesReachTheRowsTheirConditionsSelect) {
  for (const Pair& change : std::vector<Pair>{
           {"UPDATE t SET a = a + 1 WHERE a IS NULL OR a < 0",
            "UPDATE t SET a = a + 1 WHERE a IS NULL OR a < 0"},
           {"UPDATE t SET f = -f WHERE a IN (1, NULL)", "UPDATE t SET f = -f WHERE a IS 1 OR a IS NULL"},
           {"DELETE FROM t WHERE s NOT IN ('abc', 'x')",
            "DELETE FROM t WHERE s IS NOT 'abc' AND s IS NOT 'x'"},
           {"INSERT INTO u SELECT a, s FROM t WHERE f IS NULL",
            "INSERT INTO u SELECT a, s FROM t WHERE f IS NULL"},
           {"DELETE FROM u WHERE a BETWEEN -3 AND 1", "DELETE FROM u WHERE a BETWEEN -3 AND 1"},
       }) {
    execBoth(change.ours, change.lite);
    same({"SELECT * FROM t", "SELECT * FROM u"});
  }
}

TEST_P(NullRows, AggregatesCountAndSkipNullsAsSqlDoes) {
  same({
      {"SELECT COUNT(*), COUNT(a), COUNT(s), COUNT(f) FROM t",
       "SELECT COUNT(*), COUNT(a), COUNT(s), COUNT(f) FROM t"},
      {"SELECT SUM(a), MIN(a), MAX(a) FROM t", "SELECT SUM(a), MIN(a), MAX(a) FROM t"},
      // Texts take the order of the result's keys, their bytes, as ORDER BY does.
      {"SELECT MIN(s), MAX(s) FROM t", "SELECT MIN(s), MAX(s) FROM t"},
      {"SELECT MIN(f), MAX(f), SUM(f), COUNT(f), MIN(s) FROM t WHERE a = 5",
       "SELECT MIN(f), MAX(f), SUM(f), COUNT(f), MIN(s) FROM t WHERE a = 5"},
      {"SELECT COUNT(*) FROM t WHERE a IS NULL", "SELECT COUNT(*) FROM t WHERE a IS NULL"},
      {"SELECT SUM(a), COUNT(a), MIN(s), MAX(f), COUNT(*) FROM t WHERE a > 100",
       "SELECT SUM(a), COUNT(a), MIN(s), MAX(f), COUNT(*) FROM t WHERE a > 100"},
      {"SELECT AVG(f) FROM t WHERE a > 100", "SELECT 0"},
      {"SELECT a, COUNT(*) FROM t WHERE a > 100 GROUP BY a",
       "SELECT a, COUNT(*) FROM t WHERE a > 100 GROUP BY a"},
      {"SELECT COUNT(*), COUNT(y.a), SUM(y.a) FROM t x LEFT OUTER JOIN u y ON x.a = y.a",
       "SELECT COUNT(*), COUNT(y.a), SUM(y.a) FROM t x LEFT OUTER JOIN u y ON x.a IS y.a"},
      {"SELECT AVG(f) FROM t", "SELECT AVG(f) FROM t"},
      {"SELECT SUM(a), MIN(a), COUNT(a) FROM t WHERE a IS NULL",
       "SELECT SUM(a), MIN(a), COUNT(a) FROM t WHERE a IS NULL"},
      {"SELECT a, COUNT(*), COUNT(s), COUNT(f) FROM t GROUP BY a",
       "SELECT a, COUNT(*), COUNT(s), COUNT(f) FROM t GROUP BY a"},
      {"SELECT a, SUM(f), MIN(f), MAX(f) FROM t GROUP BY a",
       "SELECT a, SUM(f), MIN(f), MAX(f) FROM t GROUP BY a"},
      {"SELECT a, MIN(s), MAX(s) FROM t GROUP BY a", "SELECT a, MIN(s), MAX(s) FROM t GROUP BY a"},
      {"SELECT a, SUM(f) FROM t GROUP BY a HAVING SUM(f) > 0",
       "SELECT a, SUM(f) FROM t GROUP BY a HAVING SUM(f) > 0"},
      {"SELECT a, AVG(f) FROM t GROUP BY a", "SELECT a, COALESCE(AVG(f), 0) FROM t GROUP BY a"},
      {"SELECT s, COUNT(*), SUM(a) FROM t GROUP BY s", "SELECT s, COUNT(*), SUM(a) FROM t GROUP BY s"},
      {"SELECT a, COUNT(*) FROM t GROUP BY a HAVING COUNT(*) > 1",
       "SELECT a, COUNT(*) FROM t GROUP BY a HAVING COUNT(*) > 1"},
  });
}

TEST_P(NullRows, DistinctUnionAndJoinsTreatNullsAsOneValue) {
  same({
      {"SELECT DISTINCT a FROM t", "SELECT DISTINCT a FROM t"},
      {"SELECT DISTINCT f FROM t", "SELECT DISTINCT f FROM t"},
      {"SELECT f, COUNT(*) FROM t GROUP BY f", "SELECT f, COUNT(*) FROM t GROUP BY f"},
      {"SELECT DISTINCT s FROM t", "SELECT DISTINCT s FROM t"},
      {"SELECT DISTINCT a, s FROM t", "SELECT DISTINCT a, s FROM t"},
      {"SELECT a, s FROM t UNION SELECT a, s FROM u", "SELECT a, s FROM t UNION SELECT a, s FROM u"},
      {"SELECT a, s FROM t UNION ALL SELECT a, s FROM u", "SELECT a, s FROM t UNION ALL SELECT a, s FROM u"},
      {"SELECT a FROM t WHERE a < 0 UNION SELECT a FROM u WHERE a IS NULL",
       "SELECT a FROM t WHERE a < 0 UNION SELECT a FROM u WHERE a IS NULL"},
      {"SELECT x.a, y.s FROM t x INNER JOIN u y ON x.a = y.a",
       "SELECT x.a, y.s FROM t x INNER JOIN u y ON x.a IS y.a"},
      {"SELECT x.a, y.s FROM t x LEFT OUTER JOIN u y ON x.a = y.a",
       "SELECT x.a, y.s FROM t x LEFT OUTER JOIN u y ON x.a IS y.a"},
      {"SELECT x.s, y.a FROM t x, u y WHERE x.s = y.s", "SELECT x.s, y.a FROM t x, u y WHERE x.s IS y.s"},
      {"SELECT x.a FROM t x LEFT OUTER JOIN u y ON x.a = y.a WHERE y.s IS NULL",
       "SELECT x.a FROM t x LEFT OUTER JOIN u y ON x.a IS y.a WHERE y.s IS NULL"},
      {"SELECT a FROM t UNION ALL SELECT a FROM u UNION ALL SELECT a FROM u",
       "SELECT a FROM t UNION ALL SELECT a FROM u UNION ALL SELECT a FROM u"},
      {"SELECT a, s FROM u UNION SELECT a, s FROM u", "SELECT a, s FROM u UNION SELECT a, s FROM u"},
      {"SELECT a FROM t UNION ALL SELECT a FROM u UNION SELECT a FROM u",
       "SELECT a FROM t UNION ALL SELECT a FROM u UNION SELECT a FROM u"},

  });
}

TEST_P(NullRows, OrderByPutsNullsFirstAscendingAndLastDescending) {
  same(
      {
          {"SELECT a FROM t ORDER BY a", "SELECT a FROM t ORDER BY a"},
          {"SELECT a FROM t ORDER BY a DESC", "SELECT a FROM t ORDER BY a DESC"},
          {"SELECT DISTINCT a FROM t ORDER BY a", "SELECT DISTINCT a FROM t ORDER BY a"},
          {"SELECT a, COUNT(*) FROM t GROUP BY a ORDER BY a",
           "SELECT a, COUNT(*) FROM t GROUP BY a ORDER BY a"},
          {"SELECT f FROM t ORDER BY f DESC", "SELECT f FROM t ORDER BY f DESC"},
          {"SELECT s FROM t ORDER BY s", "SELECT s FROM t ORDER BY s"},
          {"SELECT a FROM t UNION SELECT a FROM u ORDER BY 1",
           "SELECT a FROM t UNION SELECT a FROM u ORDER BY 1"},
          {"SELECT DISTINCT a FROM t ORDER BY a DESC", "SELECT DISTINCT a FROM t ORDER BY a DESC"},
          {"SELECT s FROM t ORDER BY s DESC", "SELECT s FROM t ORDER BY s DESC"},
          {"SELECT a, s FROM t ORDER BY a DESC, s", "SELECT a, s FROM t ORDER BY a DESC, s"},
          {"SELECT a, s FROM t ORDER BY s, a DESC", "SELECT a, s FROM t ORDER BY s, a DESC"},
          {"SELECT a FROM t ORDER BY a TOP 4", "SELECT a FROM t ORDER BY a LIMIT 4"},
          {"SELECT DISTINCT s FROM t ORDER BY s DESC TOP 3",
           "SELECT DISTINCT s FROM t ORDER BY s DESC LIMIT 3"},
          {"SELECT a, COUNT(f) FROM t GROUP BY a ORDER BY 2 DESC, 1",
           "SELECT a, COUNT(f) FROM t GROUP BY a ORDER BY 2 DESC, 1"},
      },
      true);
}

// A chain joins from the left, so one whose last UNION is plain gives each row once, whatever
// came before it; a chain of UNION ALL alone keeps every row, also beside a sub-select (in a
// condition of one of its parts) whose own chain is distinct. The same through ORDER BY, TOP and
// INSERT ... SELECT.
TEST_P(NullRows, UnionChainsEndingInAPlainUnionGiveEachRowOnce) {
  same(
      {
          {"SELECT a FROM t UNION ALL SELECT a FROM u UNION SELECT a FROM u ORDER BY 1",
           "SELECT a FROM t UNION ALL SELECT a FROM u UNION SELECT a FROM u ORDER BY 1"},
          {"SELECT a, s FROM u UNION ALL SELECT a, s FROM t UNION ALL SELECT a, s FROM u UNION "
           "SELECT a, s FROM u ORDER BY 1, 2",
           "SELECT a, s FROM u UNION ALL SELECT a, s FROM t UNION ALL SELECT a, s FROM u UNION "
           "SELECT a, s FROM u ORDER BY 1, 2"},
          {"SELECT a FROM t UNION ALL SELECT a FROM u UNION SELECT a FROM t ORDER BY 1 DESC TOP 3",
           "SELECT a FROM t UNION ALL SELECT a FROM u UNION SELECT a FROM t ORDER BY 1 DESC LIMIT 3"},
          {"SELECT a FROM t WHERE a > 0 AND a IN (SELECT a FROM u UNION SELECT a FROM t WHERE a < 0) "
           "UNION ALL SELECT a FROM u ORDER BY 1",
           "SELECT a FROM t WHERE a > 0 AND a IN (SELECT a FROM u UNION SELECT a FROM t WHERE a < 0) "
           "UNION ALL SELECT a FROM u ORDER BY 1"},
          {"SELECT a FROM u UNION ALL SELECT a FROM t WHERE a > 0 AND a IN (SELECT a FROM u UNION SELECT "
           "a FROM u) UNION ALL SELECT a FROM u ORDER BY 1",
           "SELECT a FROM u UNION ALL SELECT a FROM t WHERE a > 0 AND a IN (SELECT a FROM u UNION SELECT "
           "a FROM u) UNION ALL SELECT a FROM u ORDER BY 1"},
          {"SELECT a FROM u WHERE a IN (SELECT a FROM t WHERE a > 0 UNION ALL SELECT a FROM u WHERE a > 0 "
           "UNION SELECT a FROM t WHERE a > 5) ORDER BY 1",
           "SELECT a FROM u WHERE a IN (SELECT a FROM t WHERE a > 0 UNION ALL SELECT a FROM u WHERE a > 0 "
           "UNION SELECT a FROM t WHERE a > 5) ORDER BY 1"},
      },
      true);
  exec("CREATE TABLE w (a INTEGER, s CHAR(10))");
  exec("INSERT INTO w SELECT a, s FROM t UNION ALL SELECT a, s FROM u UNION SELECT a, s FROM u");
  same({"SELECT a, s FROM w"});
  exec("INSERT INTO w SELECT a, s FROM u UNION ALL SELECT a, s FROM u WHERE a IS NULL");
  same({"SELECT a, s FROM w"});
}

// DISTINCT belongs to the part that says it: the first part's does not reach the parts after a
// UNION ALL, a later part's holds for that part's rows alone, and a plain UNION makes every row
// before it distinct. Parts of aggregates alone, sub-selects in a part, ORDER BY, TOP and
// INSERT ... SELECT the same.
TEST_P(NullRows, EachPartsDistinctHoldsForItsOwnRows) {
  same({
      {"SELECT DISTINCT a FROM t UNION ALL SELECT a FROM u"},
      {"SELECT a FROM t UNION ALL SELECT DISTINCT a FROM u"},
      {"SELECT DISTINCT a, s FROM u UNION ALL SELECT DISTINCT a, s FROM u"},
      {"SELECT a FROM t UNION SELECT a FROM u UNION ALL SELECT a FROM t"},
      {"SELECT DISTINCT s FROM t UNION ALL SELECT s FROM u UNION ALL SELECT DISTINCT s FROM t"},
      {"SELECT a FROM u UNION ALL SELECT DISTINCT a FROM t UNION SELECT a FROM u"},
      {"SELECT COUNT(*) FROM u UNION SELECT COUNT(*) FROM u"},
      {"SELECT MAX(a) FROM t UNION ALL SELECT DISTINCT a FROM u UNION ALL SELECT MAX(a) FROM t"},
      {"SELECT DISTINCT a FROM t WHERE a IN (SELECT a FROM u WHERE a > -5 UNION ALL SELECT DISTINCT a FROM t "
       "WHERE a > 0) UNION ALL SELECT a FROM u WHERE a IN (SELECT DISTINCT a FROM t WHERE a > -5)"},
  });
  same(
      {
          {"SELECT DISTINCT a FROM t UNION ALL SELECT a FROM u ORDER BY 1"},
          {"SELECT a, s FROM u UNION ALL SELECT DISTINCT a, s FROM t ORDER BY 1, 2"},
          {"SELECT DISTINCT a FROM t UNION ALL SELECT a FROM t ORDER BY 1 DESC TOP 5",
           "SELECT DISTINCT a FROM t UNION ALL SELECT a FROM t ORDER BY 1 DESC LIMIT 5"},
          {"SELECT a FROM u UNION ALL SELECT DISTINCT a FROM t ORDER BY 1 TOP 4",
           "SELECT a FROM u UNION ALL SELECT DISTINCT a FROM t ORDER BY 1 LIMIT 4"},
      },
      true);
  exec("CREATE TABLE w (a INTEGER, s CHAR(10))");
  exec("INSERT INTO w SELECT DISTINCT a, s FROM u UNION ALL SELECT a, s FROM u");
  exec("INSERT INTO w SELECT a, s FROM u UNION ALL SELECT DISTINCT a, s FROM t");
  same({"SELECT a, s FROM w"});
}

// A result column may be named as the chain's hidden part column is.
TEST_P(NullRows, AColumnNamedLikeTheChainsHiddenOneIsAColumnLikeAnother) {
  same({
      {"SELECT a AS Sys__Union__Part FROM u UNION ALL SELECT DISTINCT a FROM t"},
      {"SELECT a, s AS SYS__UNION__PART FROM u UNION ALL SELECT DISTINCT a, s FROM t"},
  });
}

// A chain whose parts are distinct in groups, prepared once, gives the same rows each run.
TEST_P(NullRows, AChainDistinctInGroupsGivesItsRowsEachRun) {
  const std::string text = "SELECT a FROM u UNION ALL SELECT DISTINCT a FROM t UNION ALL SELECT a FROM u";
  const size_t expected = lite(text).size();
  sql::TQueryStatement s(*directory_);
  s.Prepare(text);
  for (int run = 0; run < 3; ++run) {
    TDataCursor* c = s.Execute();
    ASSERT_NE(c, nullptr);
    std::vector<uint8_t> record(c->RecordSize());
    size_t n = 0;
    c->SetToBegin();
    while (c->GetNextRecord(record.data()) == 0) ++n;
    EXPECT_EQ(n, expected) << run;
  }
}

INSTANTIATE_TEST_SUITE_P(Indexes, NullRows, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Indexed" : "Plain"; });

}  // namespace
