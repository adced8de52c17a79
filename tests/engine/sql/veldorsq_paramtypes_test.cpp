// A parameter's type is known only once its value is given: a prepared statement run again and
// again with values of other types computes with each run's values, or refuses the run, and never
// writes or selects by a value it did not compute.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "tests/engine/sql/sql_lite_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace engine;
using T = TEngineFieldType;

// The values of one run: descriptors and the flag-byte buffer SetParams reads.
struct Values {
  std::vector<TFieldDescriptor> d;
  std::vector<uint8_t> bytes;

  Values& add(T type, size_t size, const void* value, uint8_t scale = 0) {
    TFieldDescriptor& f = d.emplace_back();
    f.SetType(uint8_t(type));
    f.SetStoredSize(uint8_t(size));
    f.SetStoredScale(scale);
    f.SetOffset(uint16_t(bytes.size()));
    bytes.push_back(value ? 1 : 0);
    size_t at = bytes.size();
    bytes.resize(at + size, 0);
    if (value) std::memcpy(&bytes[at], value, size);
    return *this;
  }
  Values& integer(int32_t v) {
    uint8_t b[4];
    PutIntegerValue(b, v);
    return add(T::Integer, 4, b);
  }
  Values& smallint(int16_t v) {
    uint8_t b[2];
    PutSmallIntValue(b, v);
    return add(T::SmallInt, 2, b);
  }
  Values& real(double v) {
    uint8_t b[8];
    PutFloatValue(b, v);
    return add(T::Float, 8, b);
  }
  Values& bcd(int64_t scaled, uint8_t scale) {
    uint8_t b[kBcdSize] = {};
    EncodeBcdValue(scaled, scale, b);
    return add(T::BCD, kBcdSize, b, scale);
  }
  Values& text(const std::string& v) { return add(T::String, v.size() + 1, v.c_str()); }
  Values& null(T type, size_t size) { return add(type, size, nullptr); }
};

class ParamTypesTest : public ::testing::Test {
 protected:
  ParamTypesTest() : directory(session.OpenDataDirectory("db", folder.path())) {
    run("CREATE TABLE u (k INTEGER, n INTEGER, f FLOAT, b NUMERIC(10, 2), s CHAR(20), PRIMARY KEY (k))");
    run("INSERT INTO u VALUES (1, 1000, 1.5, 10.25, 'ab')");
    run("INSERT INTO u VALUES (2, NULL, NULL, NULL, NULL)");
    run("INSERT INTO u VALUES (3, -4, -2, 0.5, 'xyz')");
  }
  ~ParamTypesTest() override { session.CloseDataDirectory(directory); }
  void run(const std::string& text) {
    sql::TQueryStatement s(*directory);
    s.Prepare(text);
    s.Execute();
  }
  static std::string text(TDataCursor& c) {
    std::string out, value;
    std::vector<uint8_t> record(c.RecordSize());
    c.SetToBegin();
    while (c.GetNextRecord(record.data()) == 0) {
      for (uint16_t i = 1; i <= c.FieldCount(); ++i)
        out += (i > 1 ? "|" : "") + (sql::ColumnText(c, i, record.data(), value) ? value : "NULL");
      out += "\n";
    }
    return out;
  }
  std::string rows(const std::string& query = "SELECT k, n, f, b, s FROM u ORDER BY 1") {
    sql::TQueryStatement s(*directory);
    s.Prepare(query);
    return text(*s.Execute());
  }
  // Runs the prepared statement with `v`; the rows of a SELECT, else "".
  static std::string with(sql::TQueryStatement& s, const Values& v) {
    s.SetParams(uint16_t(v.d.size()), v.d, v.bytes);
    TDataCursor* c = s.Execute();
    return c ? text(*c) : "";
  }
  static std::string refused(sql::TQueryStatement& s, const Values& v) {
    try {
      with(s, v);
    } catch (const EVELDOREngineError& e) {
      return e.ErrorText();
    }
    return "ran";
  }
  platform::testing::TempFolder folder;
  TDataSession session;
  TDataDirectory* directory;
};

TEST_F(ParamTypesTest, ArithmeticOverAParameterWritesTheSumOfEachRunsValue) {
  sql::TQueryStatement add(*directory);
  add.Prepare("UPDATE u SET n = n + ?");
  with(add, Values().integer(7));
  EXPECT_EQ(rows("SELECT k, n FROM u ORDER BY k"), "1|1007\n2|NULL\n3|3\n");
  with(add, Values().smallint(-10));
  EXPECT_EQ(rows("SELECT k, n FROM u ORDER BY k"), "1|997\n2|NULL\n3|-7\n");
  // A NULL value makes every sum NULL.
  with(add, Values().null(T::Integer, 4));
  EXPECT_EQ(rows("SELECT k, n FROM u ORDER BY k"), "1|NULL\n2|NULL\n3|NULL\n");

  sql::TQueryStatement scale(*directory);
  scale.Prepare("UPDATE u SET f = f * ?, b = b - ? WHERE k <> 2");
  with(scale, Values().real(2.5).bcd(2500, 2));  // f * 2.5, b - 0.25
  EXPECT_EQ(rows("SELECT k, f, b FROM u ORDER BY k"), "1|3.75|10\n2|NULL|NULL\n3|-5|0.25\n");
  with(scale, Values().integer(-2).real(0.25));
  EXPECT_EQ(rows("SELECT k, f, b FROM u ORDER BY k"), "1|-7.5|9.75\n2|NULL|NULL\n3|10|0\n");

  // A sign and a concatenation take the value's type too; a longer text than before fits.
  sql::TQueryStatement sign(*directory);
  sign.Prepare("UPDATE u SET n = -?, s = s || ? WHERE k = ?");
  with(sign, Values().integer(12).text("c").integer(1));
  with(sign, Values().smallint(5).text("-longer").integer(3));
  EXPECT_EQ(rows("SELECT k, n, s FROM u ORDER BY k"), "1|-12|abc\n2|NULL|NULL\n3|-5|xyz-longer\n");
}

TEST_F(ParamTypesTest, ConditionsOverAParameterSelectAndDeleteByTheComputedValue) {
  sql::TQueryStatement where(*directory);
  where.Prepare("SELECT k FROM u WHERE n + ? > 1005 ORDER BY k");
  EXPECT_EQ(with(where, Values().integer(7)), "1\n");
  EXPECT_EQ(with(where, Values().integer(5)), "");
  EXPECT_EQ(with(where, Values().real(1010.5)), "1\n3\n");
  EXPECT_EQ(with(where, Values().bcd(5010000, 2)), "1\n");  // 501.00
  EXPECT_EQ(with(where, Values().null(T::Integer, 4)), "");

  // A comparison inside IF, a CAST of a text, and a join condition.
  sql::TQueryStatement cases(*directory);
  cases.Prepare("SELECT k FROM u WHERE IF(n * ? > 0 THEN k ELSE 0 - k) > CAST(? AS INTEGER) ORDER BY k");
  EXPECT_EQ(with(cases, Values().integer(1).text("0")), "1\n");
  EXPECT_EQ(with(cases, Values().real(-0.5).text("2")), "3\n");
  run("CREATE TABLE v (m INTEGER)");
  run("INSERT INTO v VALUES (1001)");
  run("INSERT INTO v VALUES (-3)");
  sql::TQueryStatement join(*directory);
  join.Prepare("SELECT u.k, v.m FROM u INNER JOIN v ON u.n + ? = v.m ORDER BY u.k");
  EXPECT_EQ(with(join, Values().integer(1)), "1|1001\n3|-3\n");
  EXPECT_EQ(with(join, Values().smallint(-1001)), "");

  sql::TQueryStatement remove(*directory);
  remove.Prepare("DELETE FROM u WHERE n - ? = 0");
  with(remove, Values().integer(1));
  with(remove, Values().real(-4));
  EXPECT_EQ(rows("SELECT k FROM u"), "1\n2\n");
}

TEST_F(ParamTypesTest, InsertedValuesAndLaterStatementsOfATextComputeWithTheirValues) {
  sql::TQueryStatement insert(*directory);
  // A parameter as the first operand or a function's argument is typed by its value as well.
  insert.Prepare("INSERT INTO u (k, n, s) VALUES (? + 0, 100 + ?, UPPER(? || 'x'))");
  with(insert, Values().integer(10).integer(5).text("y"));
  with(insert, Values().smallint(11).smallint(-5).text("yz"));
  with(insert, Values().real(12.0).bcd(10000, 2).text(""));  // k 12, 100 + 1.00
  EXPECT_EQ(rows("SELECT k, n, s FROM u WHERE k >= 10 ORDER BY k"), "10|105|YX\n11|95|YZX\n12|101|X\n");

  sql::TQueryStatement two(*directory);
  two.Prepare("UPDATE u SET n = n + ? WHERE k = 1; UPDATE u SET n = n * ? WHERE k = 1");
  with(two, Values().integer(1).integer(2));
  EXPECT_EQ(rows("SELECT n FROM u WHERE k = 1"), "2002\n");
  with(two, Values().smallint(-2).real(0.5));
  EXPECT_EQ(rows("SELECT n FROM u WHERE k = 1"), "1000\n");
}

TEST_F(ParamTypesTest, AValueOfATypeTheOperatorTakesNotIsRefusedAndNothingIsWritten) {
  const std::string before = rows();
  sql::TQueryStatement add(*directory);
  add.Prepare("UPDATE u SET n = n + ?");
  EXPECT_NE(refused(add, Values().text("7")), "ran");
  EXPECT_EQ(rows(), before);
  sql::TQueryStatement where(*directory);
  where.Prepare("DELETE FROM u WHERE s || ? = 'abc'");
  EXPECT_NE(refused(where, Values().integer(1)), "ran");
  EXPECT_EQ(rows(), before);
  // The statement runs again once the value fits.
  with(add, Values().integer(1));
  EXPECT_EQ(rows("SELECT k, n FROM u ORDER BY k"), "1|1001\n2|NULL\n3|-3\n");
  with(where, Values().text("c"));
  EXPECT_EQ(rows("SELECT k FROM u ORDER BY k"), "2\n3\n");
}

// One run's values for both engines: this one's descriptors and SQLite's bindings.
struct Given {
  Values ours;
  std::vector<std::function<int(sqlite3_stmt*, int)>> lite;
  std::string shown;

  Given& integer(int32_t v) {
    ours.integer(v);
    return bind("INTEGER " + std::to_string(v),
                [v](sqlite3_stmt* s, int i) { return sqlite3_bind_int(s, i, v); });
  }
  Given& smallint(int16_t v) {
    ours.smallint(v);
    return bind("SMALLINT " + std::to_string(v),
                [v](sqlite3_stmt* s, int i) { return sqlite3_bind_int(s, i, v); });
  }
  Given& real(double v) {
    ours.real(v);
    return bind("FLOAT " + std::to_string(v),
                [v](sqlite3_stmt* s, int i) { return sqlite3_bind_double(s, i, v); });
  }
  // A BCD of two places holding hundredths / 100.
  Given& bcd(int64_t hundredths) {
    ours.bcd(hundredths * 100, 2);
    const double v = double(hundredths) / 100;
    return bind("BCD " + std::to_string(v),
                [v](sqlite3_stmt* s, int i) { return sqlite3_bind_double(s, i, v); });
  }
  Given& text(const std::string& v) {
    ours.text(v);
    return bind("CHAR '" + v + "'", [v](sqlite3_stmt* s, int i) {
      return sqlite3_bind_text(s, i, v.c_str(), int(v.size()), SQLITE_TRANSIENT);
    });
  }
  Given& null(T type, size_t size) {
    ours.null(type, size);
    return bind("NULL", [](sqlite3_stmt* s, int i) { return sqlite3_bind_null(s, i); });
  }

 private:
  Given& bind(const std::string& what, std::function<int(sqlite3_stmt*, int)> f) {
    shown += (shown.empty() ? "" : ", ") + what;
    lite.push_back(std::move(f));
    return *this;
  }
};

// A parameter stands anywhere a value may: first in arithmetic, inside a function or IF, on
// the left of a comparison, in a list or range. Each statement is prepared once and run with
// values of changing types, against SQLite on the same rows with the same values.
class ParamsAnywhereTest : public ParamTypesTest {
 protected:
  ParamsAnywhereTest() {
    EXPECT_EQ(sqlite3_open(":memory:", &lite_), SQLITE_OK);
    for (const char* sql :
         {"CREATE TABLE u (k INTEGER, n INTEGER, f REAL, b REAL, s TEXT)",
          "INSERT INTO u VALUES (1, 1000, 1.5, 10.25, 'ab')",
          "INSERT INTO u VALUES (2, NULL, NULL, NULL, NULL)", "INSERT INTO u VALUES (3, -4, -2, 0.5, 'xyz')"})
      EXPECT_EQ(sqlite3_exec(lite_, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  }
  ~ParamsAnywhereTest() override { sqlite3_close(lite_); }

  std::vector<std::string> liteRows(const std::string& sql, const Given& run) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(lite_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
      return {"ERR lite " + std::string(sqlite3_errmsg(lite_))};
    for (size_t i = 0; i < run.lite.size(); ++i) EXPECT_EQ(run.lite[i](st, int(i + 1)), SQLITE_OK);
    std::vector<std::string> rows;
    while (sqlite3_step(st) == SQLITE_ROW) rows.push_back(sql_test::LiteRowLine(st));
    sqlite3_finalize(st);
    return rows;
  }
  static std::vector<std::string> ourRows(sql::TQueryStatement& s, const Given& run) {
    std::vector<std::string> rows;
    try {
      s.SetParams(uint16_t(run.ours.d.size()), run.ours.d, run.ours.bytes);
      TDataCursor* c = s.Execute();
      if (!c) return rows;
      std::vector<uint8_t> record(c->RecordSize());
      std::string value;
      c->SetToBegin();
      while (c->GetNextRecord(record.data()) == 0) {
        std::string line;
        for (uint16_t i = 1; i <= c->FieldCount(); ++i)
          line += (sql::ColumnText(*c, i, record.data(), value) ? value : "NULL") + "|";
        rows.push_back(line);
      }
    } catch (const EVELDOREngineError& e) {
      rows = {"ERR " + e.ErrorText()};
    }
    return rows;
  }
  // A statement prepared once and run with each of its values gives SQLite's rows each time.
  struct Case {
    const char* ours;
    const char* lite;  // nullptr: the same text
    std::vector<Given> runs;
  };
  void expectEachRunAsSQLite(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      sql::TQueryStatement s(*directory);
      s.Prepare(c.ours);
      for (const Given& run : c.runs) {
        const std::vector<std::string> lite = liteRows(c.lite ? c.lite : c.ours, run);
        EXPECT_EQ(ourRows(s, run), lite) << c.ours << " with " << run.shown;
      }
    }
  }
  // Every file of the database, byte for byte.
  std::map<std::string, std::string> files() const {
    std::map<std::string, std::string> all;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
      std::ifstream in(entry.path(), std::ios::binary);
      all[entry.path().filename().string()] =
          std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return all;
  }

  sqlite3* lite_ = nullptr;
};

TEST_F(ParamsAnywhereTest, EachRunComputesWithItsValuesAsSQLiteDoes) {
  const T I = T::Integer;
  const std::vector<Case> cases = {
      {"SELECT k FROM u WHERE ? + n > 0 ORDER BY k",
       nullptr,
       {Given().integer(-999), Given().smallint(5), Given().real(-999.5), Given().bcd(-99990),
        Given().real(4.5), Given().null(I, 4), Given().integer(2000)}},
      {"SELECT k FROM u WHERE ? * 2 - n < 0 ORDER BY k",
       nullptr,
       {Given().integer(3), Given().real(-2.5), Given().bcd(-150), Given().smallint(-2),
        Given().null(T::Float, 8)}},
      {"SELECT k FROM u WHERE -? < n ORDER BY k",
       nullptr,
       {Given().integer(0), Given().real(4.5), Given().bcd(-100001), Given().smallint(4)}},
      {"SELECT k FROM u WHERE ? < n AND ? >= f ORDER BY k",
       nullptr,
       {Given().integer(0).integer(2), Given().real(-4.5).bcd(-200), Given().smallint(-5).real(1.5)}},
      {"SELECT k FROM u WHERE UPPER(?) = UPPER(s) ORDER BY k",
       nullptr,
       {Given().text("Ab"), Given().text("XYZ"), Given().text("abc"), Given().text("aB")}},
      {"SELECT k FROM u WHERE ? || s IN ('zab', 'zxyz') ORDER BY k",
       nullptr,
       {Given().text("z"), Given().text("q"), Given().text("")}},
      {"SELECT k FROM u WHERE SUBSTRING(? FROM 2 FOR 2) = s ORDER BY k",
       "SELECT k FROM u WHERE substr(?, 2, 2) = s ORDER BY k",
       {Given().text("xab"), Given().text("axyz"), Given().text("-xyz")}},
      {"SELECT k FROM u WHERE s LIKE ? || '%' ORDER BY k",
       nullptr,
       {Given().text("a"), Given().text("xy"), Given().text("b")}},
      {"SELECT k FROM u WHERE IF(? > 0 THEN n ELSE k) > 2 ORDER BY k",
       "SELECT k FROM u WHERE CASE WHEN ? > 0 THEN n ELSE k END > 2 ORDER BY k",
       {Given().integer(1), Given().integer(-1), Given().real(0.5), Given().bcd(-1), Given().null(I, 4)}},
      {"SELECT k FROM u WHERE IF(n > 0 THEN ? ELSE k) = 3 ORDER BY k",
       "SELECT k FROM u WHERE CASE WHEN n > 0 THEN ? ELSE k END = 3 ORDER BY k",
       {Given().integer(3), Given().real(3.0), Given().smallint(2), Given().bcd(300), Given().real(2.5)}},
      {"SELECT k FROM u WHERE ABS(?) < n ORDER BY k",
       "SELECT k FROM u WHERE abs(?) < n ORDER BY k",
       {Given().integer(-5), Given().real(-1000.5), Given().bcd(99999), Given().smallint(-3)}},
      {"SELECT k FROM u WHERE n IN (? + 1, 0 - ?) ORDER BY k",
       nullptr,
       {Given().integer(999).integer(4), Given().smallint(-5).real(-1000), Given().bcd(99900).bcd(400),
        Given().real(999.5).integer(-4)}},
      {"SELECT k FROM u WHERE n BETWEEN ? - 1 AND ? + 1 ORDER BY k",
       nullptr,
       {Given().integer(-5).integer(0), Given().real(-3.5).real(999), Given().smallint(-4).bcd(99950)}},
      {"SELECT k FROM u WHERE ? BETWEEN n AND k ORDER BY k",
       nullptr,
       {Given().integer(2), Given().real(-4), Given().bcd(-450), Given().smallint(3)}},
  };
  expectEachRunAsSQLite(cases);
  // Some of the same by hand.
  sql::TQueryStatement sum(*directory);
  sum.Prepare("SELECT k FROM u WHERE ? + n > 0 ORDER BY k");
  EXPECT_EQ(ourRows(sum, Given().integer(-999)), std::vector<std::string>{"1|"});
  EXPECT_EQ(ourRows(sum, Given().real(4.5)), (std::vector<std::string>{"1|", "3|"}));
  EXPECT_EQ(ourRows(sum, Given().null(I, 4)), std::vector<std::string>{});
  sql::TQueryStatement upper(*directory);
  upper.Prepare("SELECT k FROM u WHERE UPPER(?) = UPPER(s) ORDER BY k");
  EXPECT_EQ(ourRows(upper, Given().text("xYz")), std::vector<std::string>{"3|"});
}

TEST_F(ParamsAnywhereTest, ChangesWriteWhatEachRunsValuesCompute) {
  const char* const update = "UPDATE u SET n = ? - n, s = UPPER(?) || s WHERE k <> 2";
  sql::TQueryStatement s(*directory);
  s.Prepare(update);
  for (const Given& run :
       {Given().integer(1).text("p"), Given().smallint(-1).text("q"), Given().integer(7).text("")}) {
    ourRows(s, run);
    liteRows(update, run);
  }
  EXPECT_EQ(ourRows(s, Given().integer(0).text("")), liteRows(update, Given().integer(0).text("")));
  const std::string all = "SELECT k, n, s FROM u ORDER BY k";
  sql::TQueryStatement read(*directory);
  read.Prepare(all);
  EXPECT_EQ(ourRows(read, Given()), liteRows(all, Given()));
  // n: 1000 -> 1 - 1000 -> -1 + 999 -> 7 - 998 -> 0 + 991, and -4 -> 5 -> -6 -> 13 -> -13.
  EXPECT_EQ(ourRows(read, Given()),
            (std::vector<std::string>{"1|991|QPab|", "2|NULL|NULL|", "3|-13|QPxyz|"}));
}

// A part that holds parameters but reads no column (a condition on them alone, an IF over one, a
// sum of two) is computed with each run's values, not once for all runs.
TEST_F(ParamsAnywhereTest, PartsOverParametersAloneAreComputedAtEachRun) {
  const std::vector<Case> cases = {
      {"SELECT k FROM u WHERE n > IF(? > 0 THEN 1 ELSE -999) ORDER BY k",
       "SELECT k FROM u WHERE n > CASE WHEN ? > 0 THEN 1 ELSE -999 END ORDER BY k",
       {Given().integer(1), Given().integer(-1), Given().real(0.5), Given().real(-0.5), Given().integer(2)}},
      {"SELECT k FROM u WHERE n > IF(k > 0 THEN ? ELSE 0) ORDER BY k",
       "SELECT k FROM u WHERE n > CASE WHEN k > 0 THEN ? ELSE 0 END ORDER BY k",
       {Given().integer(1), Given().integer(-10), Given().real(999.5), Given().bcd(-450)}},
      {"SELECT k FROM u WHERE ? = ? ORDER BY k",
       nullptr,
       {Given().integer(1).integer(1), Given().integer(1).real(1.5), Given().real(2.0).smallint(2),
        Given().text("a").text("b"), Given().text("a").text("a")}},
      {"SELECT k FROM u WHERE n > ? + ? ORDER BY k",
       nullptr,
       {Given().integer(1).integer(2), Given().real(-2.5).real(-2.5), Given().bcd(99950).smallint(0),
        Given().integer(1).null(T::Integer, 4), Given().integer(-10).integer(0)}},
      {"SELECT k FROM u WHERE LENGTH(?) > k ORDER BY k",
       "SELECT k FROM u WHERE length(?) > k ORDER BY k",
       {Given().text("ab"), Given().text("abcd"), Given().text("")}},
      // The dialect's comparison with NULL is false, so NOT of it holds.
      {"SELECT k FROM u WHERE NOT (? > n) ORDER BY k",
       "SELECT k FROM u WHERE NOT COALESCE(? > n, 0) ORDER BY k",
       {Given().integer(0), Given().real(1000.5), Given().integer(-100)}},
  };
  expectEachRunAsSQLite(cases);
}

// A DELETE whose WHERE holds parameters on an indexed column, prepared once and run with values
// of changing types (a fraction, a BCD, a NULL, a value that fails), removes exactly SQLite's
// rows each time.
TEST_F(ParamsAnywhereTest, DeletesByParametersOnAnIndexedColumnRemoveSQLitesRows) {
  run("CREATE INDEX un ON u (n)");
  for (int i = 0; i < 8; ++i) {
    const std::string row =
        "INSERT INTO u (k, n) VALUES (" + std::to_string(10 + i) + ", " + std::to_string(i - 3) + ")";
    run(row);
    EXPECT_EQ(sqlite3_exec(lite_, row.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  }
  const std::string all = "SELECT k, n FROM u ORDER BY k";
  sql::TQueryStatement read(*directory);
  read.Prepare(all);
  const T I = T::Integer;
  struct Case {
    const char* sql;
    std::vector<Given> runs;
  };
  const std::vector<Case> cases = {
      {"DELETE FROM u WHERE n < ?",
       {Given().null(I, 4), Given().real(-3.5), Given().bcd(-250), Given().integer(-3)}},
      {"DELETE FROM u WHERE n > ?", {Given().real(1000.5), Given().bcd(99950), Given().smallint(999)}},
      {"DELETE FROM u WHERE n IN (?, ?)",
       {Given().real(0.5).real(-0.5), Given().integer(-2).real(2.5), Given().bcd(-150).smallint(-1)}},
      {"DELETE FROM u WHERE n BETWEEN ? AND ?",
       {Given().real(1.5).real(1.9), Given().real(-0.5).bcd(50), Given().smallint(3).integer(2),
        Given().real(2.5).real(3.5)}},
      {"DELETE FROM u WHERE n >= ? + ?", {Given().integer(2).real(1.5), Given().real(1.25).real(2.5)}},
      {"DELETE FROM u WHERE ? = ? AND n = 1", {Given().integer(1).real(1.5), Given().real(2.0).integer(2)}},
  };
  for (const Case& c : cases) {
    sql::TQueryStatement s(*directory);
    s.Prepare(c.sql);
    for (const Given& run : c.runs) {
      ourRows(s, run);
      liteRows(c.sql, run);
      EXPECT_EQ(ourRows(read, Given()), liteRows(all, Given())) << c.sql << " with " << run.shown;
    }
  }
  // A run refused for its value's type leaves the statement whole for the next one.
  sql::TQueryStatement s(*directory);
  s.Prepare("DELETE FROM u WHERE n <= ? * 2");
  EXPECT_EQ(ourRows(s, Given().text("x")).size(), 1u);
  EXPECT_EQ(ourRows(read, Given()), liteRows(all, Given()));
  ourRows(s, Given().real(-2.5));
  liteRows("DELETE FROM u WHERE n <= ? * 2", Given().real(-2.5));
  EXPECT_EQ(ourRows(read, Given()), liteRows(all, Given()));
}

// A value of a type the statement cannot compute with is refused at the run, with the same
// message each time, and the files are left byte for byte as they were. A place that takes only
// a constant, or that no value of any type could fill, is refused at preparation, every time.
TEST_F(ParamsAnywhereTest, AValueOfAWrongTypeIsRefusedAndNothingChanges) {
  const auto before = files();
  struct Case {
    const char* sql;
    Given run;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"UPDATE u SET n = ? + n", Given().text("7"),
       "SQL error - Type mismatch between constant '?' and column 'n' in update values"},
      {"UPDATE u SET s = UPPER(?)", Given().integer(1),
       "SQL error - Type mismatch between UPPER function and function argument in update values"},
      {"DELETE FROM u WHERE ? * 2 > n", Given().text("a"),
       "SQL error - Type mismatch between constant '?' and constant '2' in WHERE or JOIN clause"},
      {"DELETE FROM u WHERE ABS(?) = n", Given().text("1"),
       "SQL error - Expression argument of ABS function must be an integer, floating-point, or BCD type in "
       "WHERE or JOIN clause"},
      {"DELETE FROM u WHERE s || ? = 'abc'", Given().integer(1),
       "SQL error - Type mismatch between column 's' and constant '?' in WHERE or JOIN clause"},
  };
  for (const Case& c : cases) {
    sql::TQueryStatement s(*directory);
    s.Prepare(c.sql);
    for (int again = 0; again < 2; ++again)
      EXPECT_EQ(ourRows(s, c.run), std::vector<std::string>{std::string("ERR ") + c.message}) << c.sql;
    EXPECT_EQ(files(), before) << c.sql;
  }
  const auto prepared = [&](const std::string& sql) {
    try {
      sql::TQueryStatement s(*directory);
      s.Prepare(sql);
    } catch (const EVELDOREngineError& e) {
      return e.ErrorText();
    }
    return std::string("prepared");
  };
  for (int again = 0; again < 2; ++again)
    EXPECT_EQ(prepared("SELECT k FROM u WHERE ROUND(f TO ?) > 0"),
              "SQL error - Decimal places argument of ROUND function must be an integer constant in WHERE or "
              "JOIN clause");
  // No value of any type could stand there.
  EXPECT_EQ(prepared("SELECT k FROM u WHERE ? - 'a' > 0"),
            "SQL error - Type mismatch between constant '?' and constant 'a' in WHERE or JOIN clause");
  EXPECT_EQ(prepared("SELECT k FROM u WHERE ? * TRUE > 0"),
            "SQL error - Type mismatch between constant '?' and constant 'TRUE' in WHERE or JOIN clause");
  EXPECT_EQ(files(), before);
}

}  // namespace
