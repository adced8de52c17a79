// A single-table UPDATE computes each row's new values from that row's record alone, whatever the
// rows before it held: a NULL after a value and a value after a NULL, memos long and short (and
// NULL) copied into another column, texts of every width. A prepared UPDATE run again takes the
// new run's parameters, a NULL among them; a row past the first whose value overflows stops the
// statement with every row as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/base/veldortypes.h"
#include "engine/sql/veldorsq.h"
#include "engine/storage/veldorfielddesc.h"
#include "engine/tables/veldordirectory.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tools/tablecheck/tablecheck.h"

namespace engine::sql {
namespace {

using sql_test::SqlDatabase;

constexpr int kRows = 90;

struct Row {
  std::optional<int64_t> n, k;
  std::string s;
  std::optional<std::string> m, c;
};

std::string field(const std::optional<int64_t>& v) {
  return v ? std::to_string(*v) : "NULL";
}
std::string field(const std::optional<std::string>& v) {
  return v ? *v : "NULL";
}
std::string text(const std::vector<Row>& rows) {
  std::string out;
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    out += std::to_string(i + 1) + "|" + field(r.n) + "|" + r.s + "|" + field(r.m) + "|" + field(r.c) + "|" +
           field(r.k) + "\n";
  }
  return out;
}

// The parameters (an INTEGER, NULL when absent, and a CHAR(4)) given to a prepared statement.
void give(TQueryStatement& s, std::optional<int32_t> number, const std::string& prefix) {
  std::vector<TFieldDescriptor> d(2);
  std::vector<uint8_t> values(16, 0);
  d[0].SetType(uint8_t(TEngineFieldType::Integer));
  d[0].SetStoredSize(4);
  d[0].SetOffset(0);
  values[0] = number ? 1 : 0;
  if (number) PutIntegerValue(&values[1], *number);
  d[1].SetType(uint8_t(TEngineFieldType::String));
  d[1].SetStoredSize(5);
  d[1].SetOffset(5);
  values[5] = 1;
  std::memcpy(&values[6], prefix.data(), prefix.size());
  s.SetParams(2, d, values);
}

// A text longer than a CHAR key column, from a constant or a parameter, inserted or set, keeps
// the whole characters that fit, in the record and in the key: the row is found by the key
// that a constant of those characters makes. "é" takes two bytes, the tenth and eleventh.
TEST(UpdateValues, ALongTextInACharKeyColumnKeepsWholeCharactersInItsRecordAndKey) {
  platform::testing::TempFolder folder;
  SqlDatabase db(folder.path());
  db.run("CREATE TABLE k (s CHAR(10), n INTEGER, PRIMARY KEY (s))");
  db.run("INSERT INTO k VALUES ('bbbbbbbbb\xC3\xA9', 1)");
  {
    TQueryStatement s(db.directory());
    s.Prepare("INSERT INTO k VALUES (?, 2)");
    std::vector<TFieldDescriptor> d(1);
    d[0].SetType(uint8_t(TEngineFieldType::String));
    d[0].SetStoredSize(16);
    d[0].SetOffset(0);
    std::vector<uint8_t> values(17, 0);
    values[0] = 1;
    std::memcpy(&values[1], "ccccccccc\xC3\xA9", 11);
    s.SetParams(1, d, values);
    s.Execute();
  }
  db.run("UPDATE k SET s = 'aaaaaaaaa\xC3\xA9' WHERE n = 1");
  EXPECT_EQ(db.rows("SELECT n, LENGTH(s) FROM k WHERE s = 'aaaaaaaaa'"), "1|9\n");
  EXPECT_EQ(db.rows("SELECT n, LENGTH(s) FROM k WHERE s = 'ccccccccc'"), "2|9\n");
  EXPECT_EQ(db.rows("SELECT n, s FROM k ORDER BY s"), "1|aaaaaaaaa\n2|ccccccccc\n");
  tablecheck::Options options;
  options.checkRecordKeys = true;
  const tablecheck::Report report = tablecheck::CheckTableFiles(folder.file("k"), options);
  EXPECT_TRUE(report.ok()) << report.text();
}

TEST(UpdateValues, EachRowGetsItsOwnValuesAcrossNullsWidthsMemosRunsAndAFailedRow) {
  platform::testing::TempFolder folder;
  SqlDatabase db(folder.path());
  db.run(
      "CREATE TABLE u (id INTEGER, n INTEGER, s CHAR(12), m BLOB(1, 1), c BLOB(1, 1), k INTEGER, "
      "f FLOAT, PRIMARY KEY (id))");
  std::vector<Row> rows(kRows);
  db.directory().StartTransaction();
  for (int i = 1; i <= kRows; ++i) {
    Row& r = rows[size_t(i - 1)];
    if (i % 4 != 0) r.n = int64_t(i) * 1000;
    r.s = std::string(size_t(1 + i % 6), char('a' + i % 26));
    // Long memos between short ones and NULLs: a value node that grew for one row serves the next.
    if (i % 5 != 0)
      r.m =
          i % 3 == 0 ? std::string(size_t(600 + i), char('A' + i % 26)) : std::string(size_t(1 + i % 9), 'x');
    db.run("INSERT INTO u VALUES (" + std::to_string(i) + ", " + field(r.n) + ", '" + r.s + "', " +
           (r.m ? "'" + *r.m + "'" : "NULL") + ", NULL, NULL, " + (i < 60 ? std::to_string(i) : "1E300") +
           ")");
  }
  db.directory().Commit(true, false);
  const std::string columns = "SELECT id, n, s, m, c, k FROM u ORDER BY id";
  ASSERT_EQ(db.run(columns), text(rows));

  TQueryStatement update(db.directory());
  update.Prepare("UPDATE u SET n = ?, s = CAST(? AS CHAR(4)) || s, c = m, k = -(n * 2) + 1 WHERE id > 0");
  auto expectRun = [&](std::optional<int32_t> number, const std::string& prefix) {
    for (Row& r : rows) {
      r.k = r.n ? std::optional<int64_t>(-(*r.n * 2) + 1) : std::nullopt;
      r.n = number ? std::optional<int64_t>(*number) : std::nullopt;
      r.s = prefix + r.s;
      r.c = r.m;
    }
  };
  give(update, 7, "pq");
  update.Execute();
  EXPECT_EQ(update.RowsAffected, kRows);
  expectRun(7, "pq");
  ASSERT_EQ(db.run(columns), text(rows)) << "the first run";

  // The product overflows from the 60th row on: the rows before it stay as they were.
  const std::string whole = "SELECT id, n, s, m, c, k, f FROM u ORDER BY id";
  const std::string before = db.run(whole);
  EXPECT_EQ(db.rows("UPDATE u SET k = k - 1, s = 'changed', f = f * 1E10 WHERE id > 0"),
            "error: SQL error - Numeric overflow in '*'");
  EXPECT_EQ(db.run(whole), before) << "a failed row leaves every row as it was";

  give(update, std::nullopt, "z");
  update.Execute();
  expectRun(std::nullopt, "z");
  EXPECT_EQ(db.run(columns), text(rows)) << "the second run, with a NULL parameter";

  give(update, -3, "w");
  update.Execute();
  expectRun(-3, "w");
  EXPECT_EQ(db.run(columns), text(rows)) << "the third run, after NULLs in every row";
}

}  // namespace
}  // namespace engine::sql
