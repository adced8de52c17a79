// UPDATE rows whose new values leave the stored record as it was: such a row is not written, but
// counted, locked and checked as a written one. Rows that change beside them, values that
// compare equal but are stored otherwise (-0 and 0, text with trailing blanks), blob columns, and
// a row another session holds.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldortable.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace engine::sql {
namespace {

using sql_test::SqlDatabase;

constexpr int kRows = 40;

class UnchangedRows : public ::testing::Test {
 protected:
  void SetUp() override { db.directory().Session().SetLockRetryCount(0); }
  // Rows id 1..kRows with n = id % 4, f = 0.0 and s = 'a'.
  void fill(const std::string& name) {
    db.run("CREATE TABLE " + name + " (id INTEGER, n INTEGER, f FLOAT, s CHAR(10))");
    for (int i = 1; i <= kRows; ++i)
      db.run("INSERT INTO " + name + " VALUES (" + std::to_string(i) + ", " + std::to_string(i % 4) +
             ", 0.0, 'a')");
  }
  std::string files(const std::string& name) {
    return platform::testing::readFile(folder.file(name + ".DAT")) +
           platform::testing::readFile(folder.file(name + ".IDX"));
  }
  // The stored image of every record, in record order.
  std::vector<std::vector<uint8_t>> images(const std::string& name) {
    TDataCursor c(db.directory());
    c.SetTableName(name);
    c.Open();
    std::vector<std::vector<uint8_t>> out;
    std::vector<uint8_t> record(c.RecordSize());
    c.SetToBegin();
    while (c.GetNextRecord(record.data()) == 0)
      out.emplace_back(record.begin(), record.begin() + c.StoredRecordSize());
    return out;
  }
  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};
};

TEST_F(UnchangedRows, AreCountedAndLeaveTheFilesAsTheyWereBesideRowsThatChange) {
  fill("t");
  const std::string before = files("t");
  const std::string rows = db.run("SELECT * FROM t");
  db.run("UPDATE t SET n = 2, s = 'a' WHERE n = 2");
  EXPECT_EQ(db.affected, kRows / 4);
  db.run("UPDATE t SET f = 0.0");
  EXPECT_EQ(db.affected, kRows);
  EXPECT_EQ(files("t"), before) << "nothing was written";
  EXPECT_EQ(db.run("SELECT * FROM t"), rows);

  // Changed and unchanged rows in one statement, in an index's order and through a join.
  db.run("CREATE INDEX byn ON t (n)");
  db.run("UPDATE t SET n = 1 WHERE n <= 1");
  EXPECT_EQ(db.affected, kRows / 2);
  EXPECT_EQ(db.run("SELECT n, COUNT(*) FROM t GROUP BY n"), "1|20\n2|10\n3|10\n");
  db.run("CREATE TABLE pick (id INTEGER)");
  for (int id : {3, 4, 5}) db.run("INSERT INTO pick VALUES (" + std::to_string(id) + ")");
  db.run("UPDATE t SET n = 3 FROM t, pick WHERE t.id = pick.id");
  EXPECT_EQ(db.affected, 3);
  EXPECT_EQ(db.run("SELECT id, n FROM t WHERE id >= 2 AND id <= 6"), "2|2\n3|3\n4|3\n5|3\n6|2\n");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE n = 3"), "12\n");

  // In the caller's transaction, rolled back and committed.
  db.directory().StartTransaction();
  db.run("UPDATE t SET n = 3 WHERE id <= 4");
  EXPECT_EQ(db.affected, 4);
  db.directory().Rollback();
  EXPECT_EQ(db.run("SELECT id, n FROM t WHERE id <= 4"), "1|1\n2|2\n3|3\n4|3\n");
  db.directory().StartTransaction();
  db.run("UPDATE t SET n = 3 WHERE id <= 4");
  db.directory().Commit(true, false);
  EXPECT_EQ(db.run("SELECT id, n FROM t WHERE id <= 4"), "1|3\n2|3\n3|3\n4|3\n");
}

TEST_F(UnchangedRows, ValuesThatCompareEqualButAreStoredOtherwiseAreWrittenAsFromScratch) {
  fill("u");
  db.run("UPDATE u SET f = -0.0, s = 'a  ' WHERE id <= 10");
  db.run("UPDATE u SET f = 0.0 WHERE id > 30");
  db.run("UPDATE u SET f = 1.5 WHERE id = 20");
  // The same values written into records that never held others.
  db.run("CREATE TABLE w (id INTEGER, n INTEGER, f FLOAT, s CHAR(10))");
  for (int i = 1; i <= kRows; ++i)
    db.run("INSERT INTO w VALUES (" + std::to_string(i) + ", " + std::to_string(i % 4) + ", " +
           (i <= 10   ? "-0.0, 'a  '"
            : i == 20 ? "1.5, 'a'"
                      : "0.0, 'a'") +
           ")");
  EXPECT_EQ(images("u"), images("w"));
}

TEST_F(UnchangedRows, BlobColumnsAreAlwaysWritten) {
  db.run("CREATE TABLE b (id INTEGER, content BLOB(1, 1))");
  db.run("INSERT INTO b VALUES (1, 'aaaa')");
  db.run("INSERT INTO b VALUES (2, 'cccc')");
  db.run("UPDATE b SET content = 'bbbb' WHERE id = 1");
  EXPECT_EQ(db.affected, 1);
  db.run("UPDATE b SET content = 'cccc'");
  EXPECT_EQ(db.affected, 2);
  EXPECT_EQ(db.run("SELECT id, content FROM b"), "1|cccc\n2|cccc\n");
}

TEST_F(UnchangedRows, ARowHeldByAnotherSessionStillStopsTheUpdate) {
  fill("h");
  SqlDatabase other(folder.path());
  TDataCursor holder(other.directory());
  holder.SetTableName("h");
  holder.Open();
  holder.Table()->LockRecord(17);
  try {
    db.run("UPDATE h SET n = n");
    ADD_FAILURE() << "the held row was passed over";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode(), VELDOR_RECLOCKFAILED);
  }
  holder.Table()->UnlockRecord(17);
  db.run("UPDATE h SET n = n");
  EXPECT_EQ(db.affected, kRows);
  for (uint32_t r : {1u, 17u, 40u}) {
    EXPECT_NO_THROW(holder.Table()->LockRecord(r)) << "record " << r << " is left locked";
    holder.Table()->UnlockRecord(r);
  }
}

// A statement whose rows all keep their values, or that finds none, ends its transaction without
// writing anything: the files keep their bytes, another session takes every lock at once and
// writes, and the next statement that changes a row is seen there.
TEST_F(UnchangedRows, AStatementThatWritesNothingLeavesNoLockAndNoWrite) {
  fill("g");
  db.run("CREATE INDEX gid ON g (id)");
  SqlDatabase other(folder.path());
  other.directory().Session().SetLockRetryCount(0);
  TDataCursor holder(other.directory());
  holder.SetTableName("g");
  holder.Open();
  for (const char* statement :
       {"UPDATE g SET n = n WHERE id = 5", "UPDATE g SET n = 9 WHERE id = 999",
        "UPDATE g SET s = 'a' WHERE n = 1", "DELETE FROM g WHERE id = 999", "DELETE FROM g WHERE n = 7"}) {
    SCOPED_TRACE(statement);
    const std::string before = files("g");
    db.run(statement);
    EXPECT_EQ(files("g"), before);
    EXPECT_NO_THROW(holder.Table()->LockRecord(5)) << "record 5 is left locked";
    holder.Table()->UnlockRecord(5);
    other.directory().StartTransaction();
    other.run("UPDATE g SET f = 1.0 WHERE id = 6");
    other.directory().Commit(true, false);
    EXPECT_EQ(db.run("SELECT f FROM g WHERE id = 6"), "1\n");
    other.run("UPDATE g SET f = 0.0 WHERE id = 6");
  }
  db.run("UPDATE g SET n = 7 WHERE id = 5");
  EXPECT_EQ(other.run("SELECT n FROM g WHERE id = 5"), "7\n");
}

// Each row's new values are taken from that row as read under its lock, all of them before any
// is written: values that swap two columns or read the column they set, NULLs, memo values, a
// sub-select over the table being changed, and a statement that fails at a row part way (every
// row back as it was, the next statement unaffected by what the failed one left).
TEST_F(UnchangedRows, ValuesReadFromTheRowItselfRowAfterRow) {
  struct Row {
    int id;
    std::optional<int> a, b;
    std::optional<std::string> m;
  };
  std::vector<Row> model;
  db.run("CREATE TABLE w (id INTEGER, a INTEGER, b INTEGER, m BLOB(1, 1), PRIMARY KEY (id))");
  const auto text = [](const std::optional<int>& v) { return v ? std::to_string(*v) : std::string("NULL"); };
  for (int id = 1; id <= 30; ++id) {
    Row r{id, id % 7 == 0 ? std::nullopt : std::optional<int>(id), 100 + id,
          id % 5 == 0 ? std::nullopt : std::optional<std::string>("memo " + std::to_string(id))};
    db.run("INSERT INTO w VALUES (" + std::to_string(id) + ", " + text(r.a) + ", " + text(r.b) + ", " +
           (r.m ? "'" + *r.m + "'" : std::string("NULL")) + ")");
    model.push_back(r);
  }
  db.run("INSERT INTO w VALUES (125, 1, 1, NULL)");
  model.push_back(Row{125, 1, 1, std::nullopt});
  const auto expected = [&] {
    std::string out;
    for (const Row& r : model)
      out += std::to_string(r.id) + "|" + text(r.a) + "|" + text(r.b) + "|" + r.m.value_or("NULL") + "\n";
    return out;
  };
  const auto check = [&](const char* sql, const char* what) {
    EXPECT_EQ(db.run("SELECT id, a, b, m FROM w ORDER BY id"), expected()) << what << ": " << sql;
  };

  db.run("UPDATE w SET a = b, b = a");
  for (Row& r : model) std::swap(r.a, r.b);
  check("UPDATE w SET a = b, b = a", "swapped");

  db.run("UPDATE w SET a = a + 1, b = b * 2 WHERE id <= 30");
  for (Row& r : model)
    if (r.id <= 30) {
      if (r.a) ++*r.a;
      if (r.b) *r.b *= 2;
    }
  check("a = a + 1, b = b * 2", "each from its own row, NULLs kept");

  db.run("UPDATE w SET m = NULL, a = a - 1 WHERE id <= 15");
  db.run("UPDATE w SET m = 'changed', b = a WHERE id >= 10 AND id <= 20");
  for (Row& r : model) {
    if (r.id <= 15) r.m.reset(), r.a = r.a ? std::optional<int>(*r.a - 1) : std::nullopt;
    if (r.id >= 10 && r.id <= 20) r.m = "changed", r.b = r.a;
  }
  check("memo values and NULLs", "memos");

  // Rows picked by a sub-select over the table being changed, whose column it reads the rows set.
  db.run("UPDATE w SET b = a, a = b + 1 WHERE id IN (SELECT id FROM w WHERE b > 100 AND id <= 30)");
  int picked = 0;
  for (Row& r : model)
    if (r.b && *r.b > 100 && r.id <= 30) {
      ++picked;
      const std::optional<int> a = r.a;
      r.a = *r.b + 1, r.b = a;
    }
  EXPECT_EQ(db.affected, picked);
  check("sub-select", "rows from a sub-select over the same table");

  // Row 25 would take the key of row 125, after rows 1 to 10 were written: nothing stays.
  EXPECT_THROW(db.run("UPDATE w SET id = id + 100, a = b, b = a WHERE id <= 10 OR id = 25"),
               EVELDOREngineError);
  check("failed part way", "every row as before");
  db.run("UPDATE w SET a = id, b = a WHERE id >= 20");
  EXPECT_EQ(db.affected, 12);
  for (Row& r : model)
    if (r.id >= 20) r.b = r.a, r.a = r.id;
  check("after the failure", "the next statement as any");
}

}  // namespace
}  // namespace engine::sql
