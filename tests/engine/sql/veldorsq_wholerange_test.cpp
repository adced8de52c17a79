// Whole numbers at and past the ends of their types. Arithmetic whose result its type cannot
// hold stops the statement with the numeric overflow error that a DECIMAL or FLOAT result past
// its range raises, in a select list, a condition or a data change, and a change stopped so
// leaves every row as it was. A value written into a column that cannot hold it, whichever way
// it comes, is refused with an error that names the column; CAST and IF refuse a number their
// type cannot hold. Values at the very ends pass unchanged.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "tests/engine/sql/sql_child_util.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace engine::sql {
namespace {

using sql_test::SqlDatabase;

class WholeRangeTest : public ::testing::Test {
 protected:
  WholeRangeTest() : db(folder.path()) {
    db.run("CREATE TABLE n (id INTEGER, a INTEGER, b SMALLINT, c LARGEINT, d DECIMAL(20,2), f FLOAT)");
    // The row at an end lies between ordinary ones: rows before it would be changed already.
    db.run("INSERT INTO n VALUES (1, 5, 5, 5, 5, 5)");
    db.run("INSERT INTO n VALUES (2, 2147483647, 32767, 9223372036854775807, 40000, 1E10)");
    db.run("INSERT INTO n VALUES (3, -2147483648, -32768, -9223372036854775807 - 1, -40000, -1E10)");
    db.run("INSERT INTO n VALUES (4, 7, 7, 7, 7, 7)");
  }
  std::string all() { return db.run("SELECT * FROM n ORDER BY id"); }
  // The statement fails with `error` and no row of n changes.
  void expectRefused(const std::string& sql, const std::string& error) {
    const std::string before = all();
    EXPECT_EQ(db.rows(sql), "error: " + error) << sql;
    EXPECT_EQ(all(), before) << sql;
  }

  platform::testing::TempFolder folder;
  SqlDatabase db;
};

const std::string kOverflowPlus = "SQL error - Numeric overflow in '+'";
const std::string kOverflowMinus = "SQL error - Numeric overflow in '-'";
const std::string kOverflowTimes = "SQL error - Numeric overflow in '*'";

TEST_F(WholeRangeTest, ArithmeticPastItsTypeRaisesTheNumericOverflowOfDecimalsAndFloats) {
  // The error that a DECIMAL and a FLOAT past their ranges raise.
  EXPECT_EQ(db.rows("SELECT d * 100000000000000000 FROM n"), "error: " + kOverflowTimes);
  EXPECT_EQ(db.rows("SELECT f * 1E300 FROM n"), "error: " + kOverflowTimes);

  // 32 bits: INTEGER, and SMALLINT, whose sums and products are INTEGER.
  expectRefused("UPDATE n SET a = a + 1", kOverflowPlus);
  expectRefused("UPDATE n SET a = a - 1", kOverflowMinus);
  expectRefused("UPDATE n SET a = a * 2", kOverflowTimes);
  expectRefused("UPDATE n SET a = -a", kOverflowMinus);
  expectRefused("UPDATE n SET a = 1 WHERE a + b > 0", kOverflowPlus);
  EXPECT_EQ(db.rows("SELECT id, a * b FROM n"), "error: " + kOverflowTimes);
  EXPECT_EQ(db.rows("SELECT SUM(a + 1) FROM n"), "error: " + kOverflowPlus);
  EXPECT_EQ(db.rows("SELECT id FROM n WHERE -a < 0"), "error: " + kOverflowMinus);
  EXPECT_EQ(db.rows("SELECT 2147483647 + 1 FROM n"), "error: " + kOverflowPlus);
  EXPECT_EQ(db.rows("SELECT b * b * b FROM n"), "error: " + kOverflowTimes);
  // 16 bits: the negative of a SMALLINT is a SMALLINT.
  expectRefused("UPDATE n SET b = -b", kOverflowMinus);
  // 64 bits: LARGEINT and what it takes part in.
  expectRefused("UPDATE n SET c = c + 1", kOverflowPlus);
  expectRefused("UPDATE n SET c = c + b", kOverflowPlus);
  expectRefused("UPDATE n SET c = c - 1", kOverflowMinus);
  expectRefused("UPDATE n SET c = c * 2", kOverflowTimes);
  expectRefused("UPDATE n SET c = -c", kOverflowMinus);
  expectRefused("INSERT INTO n (id, c) SELECT id, c + a FROM n", kOverflowPlus);
  expectRefused("INSERT INTO n (id, a) VALUES (5, 2147483647 + 1)", kOverflowPlus);
  // ABS of a type's smallest value.
  for (const char* column : {"a", "b", "c"})
    EXPECT_EQ(db.rows(std::string("SELECT ABS(") + column + ") FROM n"),
              "error: SQL error - Numeric overflow in 'ABS'")
        << column;

  // Up to the ends nothing is refused; a SMALLINT sum is an INTEGER.
  EXPECT_EQ(db.run("SELECT a - 1, a + (-2147483647 - 1), b + b, -b, c - 1, ABS(1 - a), ABS(1 - b) FROM n "
                   "WHERE id = 2"),
            "2147483646|-1|65534|-32767|9223372036854775806|2147483646|32766\n");
  EXPECT_EQ(db.run("SELECT a + 1, -(a + 1), b - b, -(c + 1), c + 9223372036854775807, ABS(c + 1) FROM n "
                   "WHERE id = 3"),
            "-2147483647|2147483647|0|9223372036854775807|-1|9223372036854775807\n");
  db.run("UPDATE n SET a = a + 2147483640, c = c - 9223372036854775807 WHERE id = 4");
  EXPECT_EQ(db.run("SELECT a, c FROM n WHERE id = 4"), "2147483647|-9223372036854775800\n");
}

TEST_F(WholeRangeTest, CastAndIfRefuseANumberTheirTypeCannotHold) {
  EXPECT_EQ(db.rows("SELECT CAST(a AS SMALLINT) FROM n"), "error: SQL error - Numeric overflow in 'CAST'");
  EXPECT_EQ(db.rows("SELECT CAST(c AS INTEGER) FROM n"), "error: SQL error - Numeric overflow in 'CAST'");
  EXPECT_EQ(db.rows("SELECT CAST(f AS INTEGER) FROM n"), "error: SQL error - Numeric overflow in 'CAST'");
  EXPECT_EQ(db.rows("SELECT CAST(d AS SMALLINT) FROM n"), "error: SQL error - Numeric overflow in 'CAST'");
  EXPECT_EQ(db.rows("SELECT CAST(f * 1E300 / 1E10 AS DECIMAL(20,2)) FROM n"),
            "error: SQL error - Numeric overflow in 'CAST'");
  EXPECT_EQ(db.rows("SELECT IF(id = 2 THEN b ELSE a) FROM n"), "error: SQL error - Numeric overflow in 'IF'");
  expectRefused("UPDATE n SET b = CAST(a AS SMALLINT)", "SQL error - Numeric overflow in 'CAST'");
  // At the ends, and a text that is no number: its zero, as ever.
  const std::string ends =
      "SELECT CAST(b AS SMALLINT), CAST(a AS INTEGER), CAST(c AS LARGEINT), "
      "CAST(b AS INTEGER), IF(id = 2 THEN b ELSE a), CAST('abc' AS INTEGER) FROM n WHERE ";
  EXPECT_EQ(db.run(ends + "id = 2"), "32767|2147483647|9223372036854775807|32767|32767|0\n");
  EXPECT_EQ(db.run(ends + "id = 4"), "7|7|7|7|7|0\n");
}

TEST_F(WholeRangeTest, AColumnIsNeverGivenAValueItCannotHold) {
  db.run("CREATE TABLE s (id INTEGER, b SMALLINT, a INTEGER, c LARGEINT)");
  db.run("INSERT INTO s VALUES (1, 1, 1, 1)");
  auto refused = [&](const std::string& sql, const std::string& error) {
    const std::string before = db.run("SELECT * FROM s ORDER BY id");
    const std::string got = db.rows(sql);
    EXPECT_EQ(got.rfind("error: ", 0), 0u) << sql << " gave " << got;
    EXPECT_NE(got.find(error), std::string::npos) << sql << " gave " << got;
    EXPECT_EQ(db.run("SELECT * FROM s ORDER BY id"), before) << sql;
  };
  const std::string b = "column b and constant value ", a = "column a and constant value ",
                    c = "column c and constant value ";
  refused("INSERT INTO s VALUES (2, 32768, 0, 0)", b + "32768");
  refused("INSERT INTO s VALUES (2, -32769, 0, 0)", b + "-32769");
  refused("INSERT INTO s VALUES (2, 0, 2147483648, 0)", a + "2147483648");
  refused("INSERT INTO s VALUES (2, 0, -2147483649, 0)", a + "-2147483649");
  refused("INSERT INTO s VALUES (2, 0, 1E10, 0)", a);
  refused("INSERT INTO s VALUES (2, 0, 0, 1E19)", c);
  refused("INSERT INTO s VALUES (2, 40000.5, 0, 0)", b + "40000.5");
  refused("UPDATE s SET b = 70000", b + "70000");
  // From the columns of another table, row by row.
  refused("UPDATE s SET b = a * 40000", b + "40000");
  refused("INSERT INTO s (id, b) SELECT id, a FROM n", "column b");
  refused("INSERT INTO s (id, a) SELECT id, c FROM n", "column a");
  refused("INSERT INTO s (id, b) SELECT id, d FROM n", "column b");
  refused("INSERT INTO s (id, a) SELECT id, f FROM n", "column a");
  // The very ends are taken as they are.
  db.run("INSERT INTO s VALUES (3, 32767, 2147483647, 9223372036854775807)");
  db.run("INSERT INTO s VALUES (4, -32768, -2147483648, -9223372036854775807)");
  db.run("INSERT INTO s (id, b, a, c) SELECT id + 10, b, a, c FROM n WHERE id = 2 OR id = 3");
  EXPECT_EQ(db.run("SELECT * FROM s ORDER BY id"),
            "1|1|1|1\n3|32767|2147483647|9223372036854775807\n4|-32768|-2147483648|-9223372036854775807\n"
            "12|32767|2147483647|9223372036854775807\n13|-32768|-2147483648|-9223372036854775808\n");
}

// A change stopped by an overflow leaves nothing behind for another process either: no row, no
// index key and no lock. The table with an index takes the row-by-row way, the one without the
// way that changes every record at once.
TEST_F(WholeRangeTest, AChangeStoppedByAnOverflowLeavesAnotherProcessTheTableAsItWas) {
  db.run("CREATE TABLE k (id INTEGER, a INTEGER, b SMALLINT, c LARGEINT, d DECIMAL(20,2), f FLOAT)");
  db.run("CREATE INDEX ka ON k (a)");
  db.run("INSERT INTO k SELECT * FROM n");
  for (const char* table : {"n", "k"}) {
    const std::string t = table;
    expectRefused("UPDATE " + t + " SET a = a + 1", kOverflowPlus);
    expectRefused("UPDATE " + t + " SET b = 1, c = c - 1", kOverflowMinus);
    expectRefused("INSERT INTO " + t + " (id, a) SELECT id + 10, a * 2 FROM n", kOverflowTimes);
    expectRefused("DELETE FROM " + t + " WHERE -a < 0", kOverflowMinus);
  }
  // This session stays open while the other process reads and changes every row.
  EXPECT_EQ(sql_test::runTestElsewhere("WholeRangeElsewhere.DISABLED_SeesAndChangesEveryRow",
                                       {{"VELMARON_WHOLERANGE_FOLDER", folder.path()}}),
            0);
  for (const char* table : {"n", "k"})
    EXPECT_EQ(db.run(std::string("SELECT id, a, b FROM ") + table + " ORDER BY id"),
              "1|4|1\n2|2147483646|1\n3|-2147483648|-32768\n4|6|1\n")
        << table;
}

// Run by the test above in a process of its own: the rows as they were, and each of them free
// to change.
TEST(WholeRangeElsewhere, DISABLED_SeesAndChangesEveryRow) {
  const char* folder = std::getenv("VELMARON_WHOLERANGE_FOLDER");
  ASSERT_NE(folder, nullptr);
  SqlDatabase other(folder);
  for (const char* table : {"n", "k"}) {
    const std::string t = table;
    if (other.run("SELECT id, a, b, c FROM " + t + " ORDER BY id") !=
        "1|5|5|5\n2|2147483647|32767|9223372036854775807\n3|-2147483648|-32768|-9223372036854775808\n"
        "4|7|7|7\n")
      std::exit(1);
    if (other.run("SELECT id FROM " + t + " WHERE a = 2147483647") != "2\n") std::exit(2);
    other.run("UPDATE " + t + " SET a = a - 1, b = 1 WHERE a > -2147483648");
    if (other.affected != 3) std::exit(3);
  }
}

}  // namespace
}  // namespace engine::sql
