// A parameter's type is known only once its value is given: a prepared statement run again and
// again with values of other types computes with each run's values, or refuses the run, and never
// writes or selects by a value it did not compute.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
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
  // A parameter as the first operand has no type at preparation.
  EXPECT_THROW(insert.Prepare("INSERT INTO u (k, n, s) VALUES (? + 0, 100 + ?, 'x' || ?)"),
               EVELDOREngineError);
  insert.Prepare("INSERT INTO u (k, n, s) VALUES (?, 100 + ?, 'x' || ?)");
  with(insert, Values().integer(10).integer(5).text("y"));
  with(insert, Values().integer(11).smallint(-5).text("yz"));
  EXPECT_EQ(rows("SELECT k, n, s FROM u WHERE k >= 10 ORDER BY k"), "10|105|xy\n11|95|xyz\n");

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

}  // namespace
