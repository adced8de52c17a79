// A constant compared with a column of a narrower type (1.5 or 5000000000 with an INTEGER,
// 70000 with a SMALLINT, -1 with a WORD, 1.234 with a DECIMAL of two places) is compared as the
// number it is, not as the column's type would cut it: against SQLite, whose comparisons are
// numeric, on the same rows, with and without indexes on the compared columns, through every
// operator, IN lists, BETWEEN, data changes, joins and IN sub-selects. Constants that the
// column's type holds exactly are among them, as they select as before.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/values/veldorvaluetext.h"
#include "tests/engine/sql/sql_lite_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace engine;
using Rows = std::vector<std::string>;

class NarrowConstants : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    session_.SetPrivateDirectory(folder_.path());
    directory_ = session_.OpenDataDirectory("db", folder_.path());
    ASSERT_EQ(sqlite3_open(":memory:", &lite_), SQLITE_OK);
    // n: one column per narrow type, k names the row. m: outer values for joins and IN
    // sub-selects, with fractions and values beyond n's types.
    execBoth("CREATE TABLE n (k INTEGER, id INTEGER, s SMALLINT, w WORD, l LARGEINT, b DECIMAL(10,2))",
             "CREATE TABLE n (k INTEGER, id INTEGER, s INTEGER, w INTEGER, l INTEGER, b REAL)");
    exec("CREATE TABLE m (k INTEGER, f FLOAT, i INTEGER)");
    for (const char* r :
         {"(1, -2, -2, 0, -2, -1.5)", "(2, -1, -1, 1, -5000000000, -1.23)", "(3, 0, 0, 4464, 0, 0)",
          "(4, 1, 4464, 65535, 1, 1.23)", "(5, 2, 32767, 2, 5000000000, 1.24)", "(6, 3, -32768, 3, 3, 2.5)",
          "(7, 1, 1, 1, 1, 1.23)", "(8, NULL, NULL, NULL, NULL, NULL)"})
      exec(std::string("INSERT INTO n VALUES ") + r);
    for (const char* r : {"(1, 1.5, 70000)", "(2, 2.0, 4464)", "(3, -1.5, -1)", "(4, 1.23, 65535)",
                          "(5, 1.234, 1)", "(6, -0.5, -70000)"})
      exec(std::string("INSERT INTO m VALUES ") + r);
    if (GetParam())
      for (const char* c : {"id", "s", "w", "l", "b"})
        exec(std::string("CREATE INDEX x_") + c + " ON n (" + c + ")");
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

  // The engine's rows, sorted, or "ERR text". A live result filters the table's own cursor
  // with the engine's filters, whose preparation converts constants on its own.
  Rows ours(const std::string& sql, bool live) {
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
          if (!sql::ColumnText(*c, p, record.data(), text)) text = "NULL";
          line += text + "|";
        }
        rows.push_back(line);
      }
    } catch (const EVELDOREngineError& e) {
      rows = {"ERR " + std::string(e.what())};
    }
    std::sort(rows.begin(), rows.end());
    return rows;
  }
  Rows lite(const std::string& sql) {
    Rows rows = sql_test::LiteRows(lite_, sql);
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  // `ours` and `lite` select the same rows, through a statement's result and a live one.
  void same(const std::string& oursSql, const std::string& liteSql) {
    const Rows b = lite(liteSql);
    for (const bool live : {false, true}) {
      const Rows a = ours(oursSql, live);
      std::string shown;
      for (const std::string& r : a) shown += "\n  ours   " + r;
      for (const std::string& r : b) shown += "\n  sqlite " + r;
      EXPECT_EQ(a, b) << oursSql << (live ? " (live)" : "") << shown;
    }
  }
  void same(const std::string& both) { same(both, both); }

  // How far the index answers the WHERE of a live result: 2 wholly, 0 not at all.
  int indexLevel(const std::string& sql) {
    sql::TQueryStatement s(*directory_);
    s.RequestLive = true;
    s.Prepare(sql);
    TDataCursor* c = s.Execute();
    return c && !c->Filters().empty() ? c->Filters().front()->OptimizeLevel() : -1;
  }

  // Every comparison of `column` with each constant, on either side, in lists and ranges. This
  // dialect's = and <> take NULL as a value; SQLite's IS and IS NOT do the same.
  void compareEverywhere(const std::string& column, const std::vector<std::string>& constants) {
    const std::string select = "SELECT k FROM n WHERE ";
    for (size_t i = 0; i < constants.size(); ++i) {
      const std::string& c = constants[i];
      same(select + column + " = " + c, select + column + " IS " + c);
      same(select + column + " <> " + c, select + column + " IS NOT " + c);
      same(select + c + " = " + column, select + column + " IS " + c);
      for (const char* op : {" < ", " <= ", " > ", " >= "}) {
        same(select + column + op + c);
        same(select + c + op + column);
      }
      // Lists and ranges with the first constant and with the next, in both orders over the run.
      for (const std::string& d : {constants.front(), constants[(i + 1) % constants.size()]}) {
        same(select + column + " IN (" + c + ", " + d + ")",
             select + "(" + column + " IS " + c + " OR " + column + " IS " + d + ")");
        same(select + column + " NOT IN (" + c + ", " + d + ")",
             select + column + " IS NOT " + c + " AND " + column + " IS NOT " + d);
        same(select + column + " BETWEEN " + c + " AND " + d);
        same(select + column + " NOT BETWEEN " + c + " AND " + d,
             select + "NOT COALESCE(" + column + " BETWEEN " + c + " AND " + d + ", 0)");
      }
    }
  }

  platform::testing::TempFolder folder_;
  TDataSession session_;
  TDataDirectory* directory_ = nullptr;
  sqlite3* lite_ = nullptr;
};

TEST_P(NarrowConstants, FractionsCompareWithWholeNumbersAsNumbers) {
  compareEverywhere("id", {"1.5", "-1.5", "0.5", "-0.5", "1.4", "-1.6", "2.0", "1", "3.0 / 2"});
  compareEverywhere("l", {"1.5", "-1.5", "5000000000.5", "-5000000000.5", "5000000000", "1"});
}

TEST_P(NarrowConstants, ValuesBeyondTheColumnsRangeMatchNothingOrEverything) {
  compareEverywhere("id", {"5000000000", "-5000000000", "4294967297", "2147483647"});
  compareEverywhere("s", {"70000", "-70000", "32768", "-32769", "4464", "32767", "4464.5", "-1.5"});
  compareEverywhere("w", {"-1", "65536", "70000", "65535", "4464", "-0.5", "1.5"});
}

TEST_P(NarrowConstants, DecimalsWithMorePlacesThanTheColumnAreNotRounded) {
  compareEverywhere("b", {"1.234", "-1.234", "1.235", "1.225", "1.23", "-1.23", "2.5", "2", "1.5"});
}

// A list item the column cannot hold matches no key, and a range bound it cannot hold is the
// column's nearest value on the bound's side (an INTEGER BETWEEN 0.5 AND 2.5 is BETWEEN 1 AND 2):
// the index answers the whole test, exact items and bounds included.
TEST_P(NarrowConstants, InexactItemsAndBoundsKeepTheIndex) {
  const std::string select = "SELECT k FROM n WHERE ";
  const std::vector<std::pair<std::string, std::string>> tests = {
      {"id IN (1, 1.5, 3)", "id IN (1, 3)"},
      {"id IN (2.5, -1)", "id = -1"},
      {"id = 1.5", "0"},
      {"id <> 0.5", "1"},
      {"id NOT IN (1.5, 1)", "id IS NOT 1"},
      {"id BETWEEN 0.5 AND 2.5", ""},
      {"id BETWEEN -1.5 AND 1", ""},
      {"id BETWEEN 1.2 AND 1.4", ""},
      {"id NOT BETWEEN 0.5 AND 2.5", "NOT COALESCE(id BETWEEN 0.5 AND 2.5, 0)"},
      {"id > 1.5", ""},
      {"id <= -0.5", ""},
      {"id BETWEEN -5000000000 AND 1.5", ""},
      {"id < 5000000000", ""},
      {"id > 5000000000", ""},
      {"s IN (70000, 4464)", "s = 4464"},
      {"s BETWEEN -70000 AND 0.5", ""},
      {"s > 32767.5", ""},
      {"w BETWEEN -1 AND 1.5", ""},
      {"w >= -0.5", ""},
      {"l BETWEEN -5000000000.5 AND 0.5", ""},
      {"l IN (5000000000.5, 1)", "l = 1"},
      {"b IN (1.234, 1.23)", "b = 1.23"},
      {"b BETWEEN 1.225 AND 1.235", ""},
      {"b < 1.235", ""},
  };
  for (const auto& [ours, lite] : tests) {
    same(select + ours, select + (lite.empty() ? ours : lite));
    if (GetParam()) {
      EXPECT_EQ(indexLevel(select + ours), 2) << ours;
    }
  }
}

TEST_P(NarrowConstants, DataChangesReachOnlyTheRowsTheNumberSelects) {
  for (const std::string change : {
           "DELETE FROM n WHERE id = 1.5",
           "DELETE FROM n WHERE s = 70000",
           "DELETE FROM n WHERE w = -1",
           "DELETE FROM n WHERE b = 1.234",
           "DELETE FROM n WHERE l = 5000000000.5",
           "UPDATE n SET k = k + 100 WHERE id IN (1.5, 2.5)",
           "UPDATE n SET k = k + 200 WHERE s = 70000 OR w = 70000",
           "UPDATE n SET k = k + 300 WHERE id < 1.5",
           "DELETE FROM n WHERE id BETWEEN -0.5 AND 0.5",
           "DELETE FROM n WHERE id >= 1.5",
       }) {
    exec(change);
    same("SELECT * FROM n");
  }
}

TEST_P(NarrowConstants, JoinsAndSubSelectsCompareTheOuterRowsNumber) {
  // Either table may drive; either side of ON may name the inner column.
  for (const char* on : {"n.id = m.f", "m.f = n.id", "n.s = m.i", "n.w = m.i", "n.b = m.f", "n.id = m.i",
                         "n.l = m.f", "n.id < m.f", "n.w >= m.i"}) {
    for (const char* from : {"m INNER JOIN n", "n INNER JOIN m"})
      same(std::string("SELECT m.k, n.k FROM ") + from + " ON " + on);
    same(std::string("SELECT m.k, n.k FROM m LEFT OUTER JOIN n ON ") + on);
    same(std::string("SELECT m.k, n.k FROM m, n WHERE ") + on);
  }
  // The dialect's IN (sub-select) takes NULL as a value: no NULL item makes it unknown.
  for (const auto& [outer, inner] :
       {std::pair("f", "id"), {"i", "s"}, {"i", "w"}, {"f", "b"}, {"i", "id"}, {"f", "l"}, {"i", "l"}}) {
    const std::string in = std::string(outer) + " IN (SELECT " + inner + " FROM n)";
    const std::string exists =
        std::string("EXISTS (SELECT 1 FROM n WHERE n.") + inner + " IS m." + outer + ")";
    same("SELECT k FROM m WHERE " + in, "SELECT k FROM m WHERE " + exists);
    same("SELECT k FROM m WHERE NOT " + in, "SELECT k FROM m WHERE NOT " + exists);
  }
}

TEST_P(NarrowConstants, DatesMeetTimestampsWithTheirTimeOfDay) {
  exec("CREATE TABLE dt (k INTEGER, d DATE)");
  exec("INSERT INTO dt VALUES (1, '2024-01-01')");
  exec("INSERT INTO dt VALUES (2, '2024-01-02')");
  exec("INSERT INTO dt VALUES (3, '2024-01-03')");
  if (GetParam()) exec("CREATE INDEX idt ON dt (d)");
  const std::string noon = "CAST('2024-01-02 01:05:07 PM' AS TIMESTAMP)";
  const std::string midnight = "CAST('2024-01-02' AS TIMESTAMP)";
  for (const bool live : {false, true}) {
    EXPECT_EQ(ours("SELECT k FROM dt WHERE d = " + noon, live), Rows{});
    EXPECT_EQ(ours("SELECT k FROM dt WHERE d < " + noon, live), (Rows{"1|", "2|"}));
    EXPECT_EQ(ours("SELECT k FROM dt WHERE d >= " + noon, live), Rows{"3|"});
    EXPECT_EQ(ours("SELECT k FROM dt WHERE d IN (" + noon + ", " + midnight + ")", live), Rows{"2|"});
    EXPECT_EQ(ours("SELECT k FROM dt WHERE d = " + midnight, live), Rows{"2|"});
  }
  if (GetParam()) {
    for (const std::string& test : {"d = " + noon, "d >= " + noon, "d BETWEEN " + midnight + " AND " + noon,
                                    "d IN (" + noon + ", " + midnight + ")"}) {
      EXPECT_EQ(indexLevel("SELECT k FROM dt WHERE " + test), 2) << test;
    }
  }
  exec("DELETE FROM dt WHERE d = " + noon);
  EXPECT_EQ(ours("SELECT k FROM dt", false), (Rows{"1|", "2|", "3|"}));
}

// Bounds next to whole numbers, on both sides of zero, and at and past each type's ends, through
// an ascending index, a descending one and a scan alike.
TEST_P(NarrowConstants, BoundsNearTheNearestValueAndTheTypesEnds) {
  execBoth("INSERT INTO n VALUES (9, 2147483647, 32767, 65535, 9223372036854775807, -99999999.99)",
           "INSERT INTO n VALUES (9, 2147483647, 32767, 65535, 9223372036854775807, -99999999.99)");
  execBoth("INSERT INTO n VALUES (10, -2147483648, -32768, 0, -9223372036854775807, 99999999.99)",
           "INSERT INTO n VALUES (10, -2147483648, -32768, 0, -9223372036854775807, 99999999.99)");
  for (int pass = 0; pass < (GetParam() ? 2 : 1); ++pass) {
    if (pass == 1) {
      for (const char* c : {"id", "s", "w", "l", "b"}) {
        execBoth(std::string("DROP INDEX n.x_") + c, "SELECT 1");
        execBoth(std::string("CREATE DESC INDEX x_") + c + " ON n (" + c + ")", "SELECT 1");
      }
    }
    compareEverywhere("id", {"-1.5", "-0.5", "2.0000001", "1.9999999", "-2.0000001", "-1.9999999",
                             "2147483647.5", "-2147483648.5", "2147483648", "-2147483649", "2147483647"});
    compareEverywhere("s", {"32767.5", "-32768.5", "32768", "-32769", "-1.5", "-2.5"});
    compareEverywhere("w", {"65535.5", "65536", "-0.5", "-1", "0.5", "0"});
    compareEverywhere("l", {"-1.5", "-2.5", "9223372036854775807", "-9223372036854775807", "1e19", "-1e19"});
    compareEverywhere("b", {"-1.235", "-1.225", "-1.2349", "-1.2351", "-1.499", "-99999999.995",
                            "99999999.995", "1e15", "-1e15"});
  }
}

// A DATE against timestamps at midnight, just after it and just before, before 1970 and near
// the last date, through the index and a scan alike.
TEST_P(NarrowConstants, DatesMeetTimestampsAtMidnightAndFarFromToday) {
  exec("CREATE TABLE dt (k INTEGER, d DATE)");
  int k = 0;
  for (const char* d : {"1900-01-01", "1969-12-31", "1970-01-01", "2024-01-02", "9999-12-31"})
    exec("INSERT INTO dt VALUES (" + std::to_string(++k) + ", '" + d + "')");
  exec("INSERT INTO dt VALUES (6, NULL)");
  if (GetParam()) exec("CREATE INDEX idt ON dt (d)");
  const auto ts = [](const std::string& text) { return "CAST('" + text + "' AS TIMESTAMP)"; };
  const std::vector<std::pair<std::string, Rows>> tests = {
      {"d >= " + ts("1969-12-31 12:00:01 AM"), {"3|", "4|", "5|"}},
      {"d > " + ts("1969-12-31"), {"3|", "4|", "5|"}},
      {"d >= " + ts("1969-12-31"), {"2|", "3|", "4|", "5|"}},
      {"d <= " + ts("1969-12-31 12:00:01 AM"), {"1|", "2|"}},
      {"d < " + ts("1970-01-01"), {"1|", "2|"}},
      {"d < " + ts("1969-12-31 11:59:59 PM"), {"1|", "2|"}},
      {"d = " + ts("1969-12-31 11:59:59 PM"), {}},
      {"d <> " + ts("1969-12-31 11:59:59 PM"), {"1|", "2|", "3|", "4|", "5|", "6|"}},
      {"d BETWEEN " + ts("1899-12-31 11:00:00 PM") + " AND " + ts("1970-01-01 12:00:00 AM"),
       {"1|", "2|", "3|"}},
      {"d BETWEEN " + ts("1969-12-31 06:00:00 AM") + " AND " + ts("1969-12-31 07:00:00 AM"), {}},
      {"d > " + ts("9999-12-31 11:00:00 PM"), {}},
      {"d <= " + ts("9999-12-31 11:00:00 PM"), {"1|", "2|", "3|", "4|", "5|"}},
      {"d < " + ts("1900-01-01 01:00:00 AM"), {"1|"}},
      {"d IN (" + ts("1970-01-01 12:00:01 AM") + ", " + ts("2024-01-02") + ")", {"4|"}},
  };
  for (const auto& [test, expected] : tests)
    for (const bool live : {false, true})
      EXPECT_EQ(ours("SELECT k FROM dt WHERE " + test, live), expected) << test << (live ? " (live)" : "");
}

INSTANTIATE_TEST_SUITE_P(Indexes, NarrowConstants, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Indexed" : "Plain"; });

}  // namespace
