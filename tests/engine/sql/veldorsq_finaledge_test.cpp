// The final passes at their edges: -0 beside 0, NULLs, texts that differ only by trailing blanks or
// case, TOP 0 and 1, row limits of 0 and 1, an empty input and a single row. Held in memory, spilt
// at the first row or spilt midway, each statement gives the same rows in the same order.
#include <gtest/gtest.h>

#include "sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace sql_test;

TEST(FinalPassEdges, HeldOrSpiltGiveTheSameRows) {
  platform::testing::TempFolder folder;
  SqlDatabase db(folder.path());
  db.run("CREATE TABLE t (id INTEGER, f FLOAT, s CHAR(8), k INTEGER)");
  db.run("CREATE TABLE e (id INTEGER, f FLOAT, s CHAR(8), k INTEGER)");
  db.run("CREATE TABLE one (id INTEGER, f FLOAT, s CHAR(8), k INTEGER)");
  db.run("INSERT INTO one VALUES (1, -0.0, 'x', NULL)");
  // A text and its decomposed form, one value under a locale.
  db.run("CREATE TABLE n (id INTEGER, f FLOAT, s CHAR(8), k INTEGER)");
  for (int i = 0; i < 6; ++i)
    db.run("INSERT INTO n VALUES (" + std::to_string(i) + ", NULL, '" + (i % 2 ? "e\xCC\x81" : "\xC3\xA9") +
           "', " + std::to_string(i % 2) + ")");
  const char* floats[] = {"-0.0", "0.0", "NULL", "1.5", "-1.5", "0.0", "-0.0"};
  const char* texts[] = {"'a'", "'a '", "'A'", "NULL", "''", "'b'", "'a'"};
  for (int i = 0; i < 70; ++i)
    db.run("INSERT INTO t VALUES (" + std::to_string(i) + ", " + floats[i % 7] + ", " + texts[i * 3 % 7] +
           ", " + (i % 5 == 0 ? std::string("NULL") : std::to_string(i % 4)) + ")");
  const char* shapes[] = {
      "SELECT DISTINCT f FROM %",
      "SELECT DISTINCT f, s FROM % ORDER BY 1 DESC",
      "SELECT f, COUNT(*), MIN(id) FROM % GROUP BY f",
      "SELECT s, COUNT(*), MAX(id) FROM % GROUP BY s ORDER BY 2 DESC",
      "SELECT f, k, COUNT(*) FROM % GROUP BY f, k",
      "SELECT id, f, k FROM % ORDER BY f, k DESC",
      "SELECT id, f FROM % ORDER BY f TOP 0",
      "SELECT id, f FROM % ORDER BY f TOP 1",
      "SELECT id, s FROM % ORDER BY s DESC TOP 2",
      "SELECT DISTINCT s FROM % TOP 0",
      "SELECT DISTINCT s FROM % ORDER BY s TOP 1",
      "SELECT k, COUNT(*) FROM % GROUP BY k TOP 0",
      "SELECT k, COUNT(*) FROM % GROUP BY k ORDER BY 2 TOP 1",
      "SELECT DISTINCT s FROM % LANGUAGE 'English (UK)'",
      "SELECT s, COUNT(*) FROM % GROUP BY s LANGUAGE 'English (UK)'",
      "SELECT id, s FROM % ORDER BY s, 1 DESC LANGUAGE 'English (UK)'",
  };
  auto run = [&](const std::string& sql, size_t limit, int32_t most) {
    const size_t before = TDataQuery::SetHeldRowsLimit(limit);
    TQueryStatement s(db.directory());
    s.MaxRowCount = most;
    s.Prepare(sql);
    std::string rows = SqlDatabase::text(*s.Execute());
    TDataQuery::SetHeldRowsLimit(before);
    return rows;
  };
  for (const char* table : {"t", "e", "one", "n"}) {
    for (std::string sql : shapes) {
      sql.replace(sql.find('%'), 1, table);
      for (int32_t most : {-1, 0, 1, 5}) {
        const std::string held = run(sql, size_t(1) << 30, most);
        EXPECT_EQ(run(sql, 0, most), held) << sql << " limit " << most;
        EXPECT_EQ(run(sql, 600, most), held) << sql << " limit " << most;
      }
    }
  }
  // A text and its decomposed form are one value under a locale: to `=`, to DISTINCT and to
  // GROUP BY.
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM n WHERE s = 'e\xCC\x81' LANGUAGE 'English (UK)'"), "6\n");
  EXPECT_EQ(db.run("SELECT DISTINCT s FROM n LANGUAGE 'English (UK)'"), "\xC3\xA9\n");
  EXPECT_EQ(db.run("SELECT s, COUNT(*) FROM n GROUP BY s LANGUAGE 'English (UK)'"), "\xC3\xA9|6\n");
  // -0 and 0 are one value to `=`, to DISTINCT and to GROUP BY.
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE f = 0"), "40\n");
  EXPECT_EQ(db.run("SELECT DISTINCT f FROM t ORDER BY f"), "NULL\n-1.5\n-0\n1.5\n");
  for (size_t limit : {size_t(1) << 30, size_t(0)}) {
    const size_t before = TDataQuery::SetHeldRowsLimit(limit);
    EXPECT_EQ(db.run("SELECT f, COUNT(*) FROM t GROUP BY f ORDER BY f"), "NULL|10\n-1.5|10\n-0|40\n1.5|10\n");
    EXPECT_EQ(db.run("SELECT k, f, COUNT(*) FROM t WHERE k = 1 GROUP BY k, f"),
              "1|NULL|2\n1|-1.5|1\n1|0|10\n1|1.5|1\n");
    TDataQuery::SetHeldRowsLimit(before);
  }
}

}  // namespace

// TOP over more rows than it waits for before keeping its best: its rows are the first of the
// whole ordered result, ties in arrival order, whether the best rows come early or late.
TEST(FinalPassEdges, TopIsTheHeadOfTheWholeOrder) {
  platform::testing::TempFolder folder;
  SqlDatabase db(folder.path());
  db.run("CREATE TABLE t (id INTEGER, k INTEGER, s CHAR(8), f FLOAT)");
  const char* texts[] = {"'a'", "'A'", "NULL", "'\xC3\xA9'", "'e\xCC\x81'", "'b'", "'a '"};
  const char* floats[] = {"-0.0", "0.0", "NULL", "1.5", "-1.5"};
  for (int i = 0; i < 64; ++i)
    db.run("INSERT INTO t VALUES (" + std::to_string(i) + ", " +
           (i % 7 == 3 ? std::string("NULL") : std::to_string(i * 37 % 11 - 5)) + ", " + texts[i * 3 % 7] +
           ", " + floats[i % 5] + ")");
  // Each copy comes after its original and orders before it by k: the best rows keep arriving.
  for (int copy = 64; copy < 4096; copy *= 2)
    db.run("INSERT INTO t SELECT id + " + std::to_string(copy) + ", k - 1, s, f FROM t");
  ASSERT_EQ(db.run("SELECT COUNT(*) FROM t"), "4096\n");
  const char* orders[] = {
      "SELECT id, k FROM t ORDER BY k",
      "SELECT id, k FROM t ORDER BY k DESC",
      "SELECT id, s FROM t ORDER BY s",
      "SELECT id, s, f FROM t ORDER BY s DESC, f",
      "SELECT id, f, k FROM t ORDER BY f, k DESC",
      "SELECT id, s FROM t WHERE k < 0 ORDER BY s LANGUAGE 'English (UK)'",
      "SELECT id, s, k FROM t ORDER BY s DESC, k LANGUAGE 'English (UK)'",
  };
  auto head = [](const std::string& rows, size_t n) {
    size_t end = 0;
    for (size_t i = 0; i < n && end < rows.size(); ++i) end = rows.find('\n', end) + 1;
    return rows.substr(0, end);
  };
  for (std::string sql : orders) {
    const size_t at = sql.find(" LANGUAGE");
    const std::string whole = db.run(sql);
    for (int n : {0, 1, 10, 700, 1500, 5000}) {
      std::string top = sql;
      top.insert(at == std::string::npos ? top.size() : at, " TOP " + std::to_string(n));
      EXPECT_EQ(db.run(top), head(whole, size_t(n))) << top;
    }
  }
}
