// A DECIMAL column holds the places it is defined with: a value of more places written into it,
// whichever way it comes (a constant or parameter, another DECIMAL column, an expression, the
// rows of a SELECT, a UNION part's rows in the first part's column), is rounded to them, ties to
// even. What it then holds equals what it shows, also through an index on it. A value that a
// table holds with more places already is read as it lies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/base/veldortypes.h"
#include "engine/sql/veldorsq.h"
#include "engine/storage/veldorfielddesc.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace engine::sql {
namespace {

using sql_test::SqlDatabase;

// Four places each, and what two places make of them.
const char* const kValues[] = {"1.2356", "-1.2356", "1.235", "1.225", "NULL", "7"};
const char* const kRounded = "1|1.24\n2|-1.24\n3|1.24\n4|1.22\n5|NULL\n6|7\n";

class DecimalPlacesTest : public ::testing::Test {
 protected:
  DecimalPlacesTest() : db(folder.path()) {
    db.run("CREATE TABLE src (id INTEGER, d4 DECIMAL(10,4))");
    db.run("CREATE TABLE t (id INTEGER, d2 DECIMAL(10,2), d4 DECIMAL(10,4))");
    db.run("CREATE INDEX byd2 ON t (d2)");
    for (int i = 0; i < int(std::size(kValues)); ++i)
      db.run("INSERT INTO src VALUES (" + std::to_string(i + 1) + ", " + kValues[i] + ")");
  }
  std::string ofT() { return db.run("SELECT id, d2 FROM t ORDER BY id"); }
  // Each rounded value is found by the value it shows, through the index and without it.
  void expectFoundAsShown() {
    for (const char* shown : {"1.24", "-1.24", "1.22", "7"}) {
      const std::string where = std::string(" WHERE d2 = ") + shown;
      const std::string count = db.run("SELECT COUNT(*) FROM t" + where);
      EXPECT_NE(count, "0\n") << shown;
      EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE d2 + 0 = " + std::string(shown)), count) << shown;
    }
  }
  // A prepared statement run once per value of kValues, given as a four-place BCD after the id.
  void runWithParameters(const std::string& text) {
    TQueryStatement s(db.directory());
    s.Prepare(text);
    for (int i = 0; i < int(std::size(kValues)); ++i) {
      std::vector<TFieldDescriptor> d(2);
      std::vector<uint8_t> values(1 + 4 + 1 + kBcdSize, 0);
      d[0].SetType(uint8_t(TEngineFieldType::BCD));
      d[0].SetStoredSize(uint8_t(kBcdSize));
      d[0].SetStoredScale(4);
      d[0].SetOffset(0);
      d[1].SetType(uint8_t(TEngineFieldType::Integer));
      d[1].SetStoredSize(4);
      d[1].SetOffset(uint16_t(1 + kBcdSize));
      const bool null = std::string(kValues[i]) == "NULL";
      values[0] = null ? 0 : 1;
      if (!null)
        EncodeBcdValue(int64_t(std::stod(kValues[i]) * 10000 + (kValues[i][0] == '-' ? -0.5 : 0.5)), 4,
                       &values[1]);
      values[1 + kBcdSize] = 1;
      PutIntegerValue(&values[2 + kBcdSize], i + 1);
      s.SetParams(2, d, values);
      s.Execute();
    }
  }

  platform::testing::TempFolder folder;
  SqlDatabase db;
};

TEST_F(DecimalPlacesTest, InsertRoundsToTheColumnsPlaces) {
  db.run("INSERT INTO t (id, d2) SELECT id, d4 FROM src");
  EXPECT_EQ(ofT(), kRounded);
  expectFoundAsShown();
  db.run("DELETE FROM t");
  db.run("INSERT INTO t (id, d2) SELECT id, d4 * 1 FROM src ORDER BY id DESC");
  EXPECT_EQ(ofT(), kRounded);
  db.run("DELETE FROM t");
  for (int i = 0; i < int(std::size(kValues)); ++i)
    db.run("INSERT INTO t (id, d2) VALUES (" + std::to_string(i + 1) + ", CAST(" + kValues[i] +
           " AS DECIMAL(10, 4)))");
  EXPECT_EQ(ofT(), kRounded);
  expectFoundAsShown();
  db.run("DELETE FROM t");
  runWithParameters("INSERT INTO t (d2, id) VALUES (?, ?)");
  EXPECT_EQ(ofT(), kRounded);
  expectFoundAsShown();
}

TEST_F(DecimalPlacesTest, UpdateRoundsToTheColumnsPlaces) {
  db.run("INSERT INTO t (id, d4) SELECT id, d4 FROM src");
  db.run("UPDATE t SET d2 = d4");
  EXPECT_EQ(ofT(), kRounded);
  expectFoundAsShown();
  db.run("UPDATE t SET d2 = NULL");
  db.run("UPDATE t SET d2 = d4 + 0 WHERE id > 0");
  EXPECT_EQ(ofT(), kRounded);
  db.run("UPDATE t SET d2 = NULL");
  runWithParameters("UPDATE t SET d2 = ? WHERE id = ?");
  EXPECT_EQ(ofT(), kRounded);
  expectFoundAsShown();
}

// A UNION part's values go into the first part's columns, with their places.
TEST_F(DecimalPlacesTest, AUnionPartsValuesTakeTheFirstPartsPlaces) {
  db.run("INSERT INTO t (id, d2) VALUES (0, 2.5)");
  EXPECT_EQ(db.run("SELECT id, d2 FROM t UNION ALL SELECT id, d4 FROM src ORDER BY 1"),
            "0|2.5\n" + std::string(kRounded));
  // Rounded, a part's value is the same as the first part's.
  db.run("INSERT INTO t (id, d2) VALUES (1, 1.24)");
  EXPECT_EQ(db.run("SELECT id, d2 FROM t UNION SELECT id, d4 FROM src WHERE id = 1 ORDER BY 1"),
            "0|2.5\n1|1.24\n");
}

// A row written with more places than its column has, as a table may hold it, reads and
// stays as it lies; a change to another column of the row leaves it so.
TEST_F(DecimalPlacesTest, AValueStoredWithMorePlacesIsReadAsItLies) {
  db.run("INSERT INTO t (id) VALUES (1)");
  {
    TDataCursor c(db.directory());
    c.SetTableName("t");
    c.Open();
    std::vector<uint8_t> record(c.RecordSize());
    ASSERT_EQ(c.GetNextRecord(record.data()), 0);
    c.GetCurrentRecord(record.data(), true);
    uint8_t value[kBcdSize] = {};
    EncodeBcdValue(12356, 4, value);
    c.PutField(2, record.data(), value);
    c.ModifyRecord(record.data());
  }
  EXPECT_EQ(ofT(), "1|1.2356\n");
  db.run("UPDATE t SET id = 2");
  EXPECT_EQ(ofT(), "2|1.2356\n");
}

// The 34 bytes of a BCD of `digits` (no point) with the last `places` of them after the point.
std::vector<uint8_t> bcdOf(const std::string& digits, int places, bool negative = false) {
  std::vector<uint8_t> v(kBcdSize, 0);
  v[0] = kBcdPrecision;
  v[1] = uint8_t(places | (negative ? 0x80 : 0));
  const size_t first = kBcdPrecision - digits.size();
  for (size_t i = 0; i < digits.size(); ++i) {
    const size_t k = first + i;
    uint8_t& byte = v[2 + k / 2];
    const uint8_t d = uint8_t(digits[i] - '0');
    byte = k % 2 == 0 ? uint8_t((byte & 0x0F) | (d << 4)) : uint8_t((byte & 0xF0) | d);
  }
  return v;
}

// Appends a row of `table` whose first field holds `bcd` as it is given.
void putRow(TDataDirectory& directory, const std::string& table, const std::vector<uint8_t>& bcd) {
  TDataCursor c(directory);
  c.SetTableName(table);
  c.Open();
  std::vector<uint8_t> record(c.RecordSize());
  c.ClearRecordBuffer(record.data());
  c.PutField(1, record.data(), bcd.data());
  c.AppendRecord(record.data(), false);
}

// Rounded, a value may meet one a unique index holds: the change is refused whole, with the
// index named, and nothing of it is written.
TEST_F(DecimalPlacesTest, AValueRoundedOntoAKeyAUniqueIndexHoldsIsRefusedWhole) {
  db.run("CREATE TABLE k (id INTEGER, d DECIMAL(10,2))");
  db.run("CREATE UNIQUE INDEX kd ON k (d)");
  db.run("INSERT INTO k VALUES (1, 1.23)");
  const std::string refused = "error: Duplicate key found in the index 'kd' of the table 'k'";
  EXPECT_EQ(db.rows("INSERT INTO k VALUES (2, 1.234)"), refused);
  // 1.2356 and 1.235 of src both round to 1.24.
  EXPECT_EQ(db.rows("INSERT INTO k SELECT id + 10, d4 FROM src WHERE d4 IS NOT NULL"), refused);
  EXPECT_EQ(db.run("SELECT id, d FROM k"), "1|1.23\n");
}

// The bytes of the first field of each row of `c`, sorted.
std::vector<std::vector<uint8_t>> firstFields(TDataCursor& c) {
  std::vector<std::vector<uint8_t>> values;
  std::vector<uint8_t> record(c.RecordSize());
  c.SetToBegin();
  while (c.GetNextRecord(record.data()) == 0) {
    std::vector<uint8_t> value(kBcdSize);
    bool isNull = false;
    c.GetField(1, record.data(), isNull, value.data());
    values.push_back(isNull ? std::vector<uint8_t>() : value);
  }
  std::sort(values.begin(), values.end());
  return values;
}

// A value beyond the engine's 64-bit count of ten-thousandths, as a table may hold it, keeps its
// digits when it goes into a column of fewer places: rounded, never dropped or refused.
TEST_F(DecimalPlacesTest, AValueBeyondTheScaledRangeKeepsItsDigitsInFewerPlaces) {
  db.run("CREATE TABLE h4 (d DECIMAL(30,4))");
  db.run("CREATE TABLE h2 (d DECIMAL(30,2))");
  putRow(db.directory(), "h4", bcdOf("123456789012345678901250", 4));
  putRow(db.directory(), "h4", bcdOf("999999999999999999999999", 4, true));
  putRow(db.directory(), "h2", bcdOf("100", 2));
  std::vector<std::vector<uint8_t>> wide = {bcdOf("100", 2), bcdOf("1234567890123456789012", 2),
                                            bcdOf("10000000000000000000000", 2, true)};
  std::sort(wide.begin(), wide.end());
  {
    TQueryStatement s(db.directory());
    s.Prepare("SELECT d FROM h2 UNION ALL SELECT d FROM h4");
    EXPECT_EQ(firstFields(*s.Execute()), wide);
  }
  EXPECT_EQ(db.rows("INSERT INTO h2 SELECT d FROM h4"), "");
  TDataCursor c(db.directory());
  c.SetTableName("h2");
  c.Open();
  EXPECT_EQ(firstFields(c), wide);
}

}  // namespace
}  // namespace engine::sql
