// INSERT ... SELECT copying a column that the conversion would write back unchanged as it lies
// in the source row: every type, NULLs and extremes, columns in another order and mixed with
// converted ones.
//
// The record locks of INSERT, UPDATE and DELETE over many rows, which the statement's own
// transaction takes ahead in runs: a row that another session or process holds stops the
// statement at that row with the record-lock error, as a lock taken row by row did (at the first
// row of a run, in its middle and at its last), with or without COMMIT INTERVAL; once it is
// released the statement changes every row; and no lock outlives the statement.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"

namespace engine::sql {
namespace {

using sql_test::SqlDatabase;
using storage_test::Helper;

constexpr int kRows = 60;

uint16_t errorOf(SqlDatabase& db, const std::string& text) {
  try {
    db.run(text);
  } catch (const EVELDOREngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

// A table `name` of kRows rows (id 1 to kRows, n 0), records 1 to kRows in id order.
void fill(SqlDatabase& db, const std::string& name) {
  if (db.rows("SELECT COUNT(*) FROM seed") != std::to_string(kRows) + "\n") {
    db.run("CREATE TABLE seed (id INTEGER, n INTEGER)");
    for (int i = 1; i <= kRows; ++i) db.run("INSERT INTO seed VALUES (" + std::to_string(i) + ", 0)");
  }
  db.run("CREATE TABLE " + name + " (id INTEGER, n INTEGER)");
  db.run("INSERT INTO " + name + " SELECT * FROM seed");
}

// Another session's hold on records of a table.
class Holder {
 public:
  Holder(const std::string& folder, const std::string& name) : db_(folder), cursor_(db_.directory()) {
    db_.directory().Session().SetLockRetryCount(0);
    cursor_.SetTableName(name);
    cursor_.Open();
  }
  TDataTable& table() { return *cursor_.Table(); }
  // True when every record of `records` can be locked here now (each is released again).
  bool canLock(const std::vector<uint32_t>& records) {
    for (uint32_t r : records) {
      try {
        table().LockRecord(r);
      } catch (const EVELDOREngineError&) {
        return false;
      }
      table().UnlockRecord(r);
    }
    return true;
  }

 private:
  SqlDatabase db_;
  TDataCursor cursor_;
};

class BulkLocks : public ::testing::Test {
 protected:
  void SetUp() override { db.directory().Session().SetLockRetryCount(0); }
  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};
};

TEST_F(BulkLocks, InsertSelectCopiesEveryTypeAsTheConversionWrites) {
  const std::string columns =
      "(a SMALLINT, b WORD, c INTEGER, d LARGEINT, e DECIMAL, f FLOAT, g MONEY, h DATE, i TIME, j TIMESTAMP, "
      "k BOOLEAN, m CHAR(10), n INTEGER)";
  db.run("CREATE TABLE src " + columns);
  db.run(
      "INSERT INTO src VALUES (-32768, 65535, -2147483648, -9000000000000000000, -12.5, -0.0, 12.34, "
      "'2024-02-29', '23:59:59', '1999-12-31 23:59:59', TRUE, 'text  ', NULL)");
  db.run(
      "INSERT INTO src VALUES (32767, 0, 2147483647, 9000000000000000000, 0, 1.5E300, -0.01, '0001-01-01', "
      "'00:00:00', '2000-01-01 00:00:00', FALSE, '', 7)");
  db.run(
      "INSERT INTO src VALUES (NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0)");
  db.run("CREATE TABLE same " + columns);
  db.run("INSERT INTO same SELECT * FROM src");
  EXPECT_EQ(db.affected, 3);
  EXPECT_EQ(db.run("SELECT * FROM same"), db.run("SELECT * FROM src"));
  // Another order, and types that convert beside ones that copy.
  db.run("CREATE TABLE mixed (n INTEGER, c INTEGER, a INTEGER, f INTEGER, m CHAR(4), h DATE)");
  db.run("INSERT INTO mixed (h, a, c, n, f, m) SELECT h, a, c, n, g, m FROM src");
  EXPECT_EQ(db.run("SELECT n, c, a, m, h FROM mixed"), db.run("SELECT n, c, a, m, h FROM src"));
  EXPECT_EQ(db.run("SELECT f FROM mixed"), "12\n0\nNULL\n");
}

TEST_F(BulkLocks, ARowHeldElsewhereStopsUpdateAndDeleteAtThatRowAsBefore) {
  const std::vector<std::string> statements = {"UPDATE t SET n = n + 1", "DELETE FROM t",
                                               "UPDATE t SET n = n + 1 COMMIT INTERVAL 10",
                                               "DELETE FROM t COMMIT INTERVAL 10"};
  int made = 0;
  for (const std::string& text : statements) {
    for (uint32_t held : {1u, 37u, 60u}) {
      SCOPED_TRACE(text + ", record " + std::to_string(held) + " held");
      const std::string table = "t" + std::to_string(++made);
      fill(db, table);
      std::string statement = text;
      statement.replace(statement.find(" t") + 1, 1, table);
      Holder holder(folder.path(), table);
      holder.table().LockRecord(held);
      EXPECT_EQ(errorOf(db, statement), VELDOR_RECLOCKFAILED);
      // Rows of the intervals committed before the held row's stay changed; no other.
      const int kept = text.find("INTERVAL") != std::string::npos ? int(held - 1) / 10 * 10 : 0;
      const bool update = text[0] == 'U';
      EXPECT_EQ(
          db.run("SELECT COUNT(*), SUM(n) FROM " + table),
          std::to_string(update ? kRows : kRows - kept) + "|" + std::to_string(update ? kept : 0) + "\n");
      std::vector<uint32_t> others;
      for (uint32_t r : {1u, 2u, held - 1, held + 1, 59u, 60u})
        if (r >= 1 && r <= 60 && r != held) others.push_back(r);
      EXPECT_TRUE(holder.canLock(others)) << "the failed statement's locks are gone";
      holder.table().UnlockRecord(held);
      db.run(statement);
      EXPECT_EQ(db.affected, update ? kRows : kRows - kept);
      EXPECT_EQ(db.run("SELECT COUNT(*), SUM(n) FROM " + table),
                update ? std::to_string(kRows) + "|" + std::to_string(kRows + kept) + "\n" : "0|NULL\n");
      EXPECT_TRUE(holder.canLock({1, 2, held, 59, 60})) << "the statement's locks are gone";
    }
  }
}

TEST_F(BulkLocks, ARecordHeldWhereInsertAppendsStopsItAsBefore) {
  fill(db, "src");
  for (uint32_t held : {1u, 37u, 60u}) {
    SCOPED_TRACE("record " + std::to_string(held) + " held");
    const std::string table = "c" + std::to_string(held);
    db.run("CREATE TABLE " + table + " (id INTEGER, n INTEGER)");
    Holder holder(folder.path(), table);
    holder.table().LockRecord(held);
    EXPECT_EQ(errorOf(db, "INSERT INTO " + table + " SELECT * FROM src"), VELDOR_RECLOCKFAILED);
    EXPECT_EQ(db.run("SELECT COUNT(*) FROM " + table), "0\n");
    holder.table().UnlockRecord(held);
    db.run("INSERT INTO " + table + " SELECT * FROM src");
    EXPECT_EQ(db.affected, kRows);
    EXPECT_TRUE(holder.canLock({1, held, 60, 61}));
    // Free records are taken again one by one; a second run appends past them.
    db.run("DELETE FROM " + table + " WHERE id <= 20");
    db.run("INSERT INTO " + table + " SELECT * FROM src WHERE id <= 30");
    EXPECT_EQ(db.run("SELECT COUNT(*), SUM(id) FROM " + table), "70|2085\n");
    EXPECT_TRUE(holder.canLock({1, 20, 61, 70}));
  }
}

// Another process, whose locks the system keeps apart, not the process's own lock table.
TEST_F(BulkLocks, ARowHeldByAnotherProcessStopsTheUpdateUntilReleased) {
  fill(db, "t");
  Helper child([&](Helper& h) {
    Holder holder(folder.path(), "t");
    holder.table().LockRecord(30);
    h.send('L');
    if (h.receive() != 'U') return 90;
    holder.table().UnlockRecord(30);
    h.send('F');
    return h.receive() == 'E' ? 0 : 91;
  });
  ASSERT_EQ(child.receive(), 'L');
  EXPECT_EQ(errorOf(db, "UPDATE t SET n = n + 1"), VELDOR_RECLOCKFAILED);
  EXPECT_EQ(db.run("SELECT SUM(n) FROM t"), "0\n");
  child.send('U');
  ASSERT_EQ(child.receive(), 'F');
  db.run("UPDATE t SET n = n + 1");
  EXPECT_EQ(db.run("SELECT SUM(n) FROM t"), std::to_string(kRows) + "\n");
  child.send('E');
  EXPECT_EQ(child.wait(), 0);
}

// A writer in another process that holds the table in its transaction: the bulk statement waits
// for its commit, then changes every row, the other writer's change kept.
TEST_F(BulkLocks, ABulkUpdateWaitsForAnotherProcesssTransactionAndKeepsItsChange) {
  db.directory().Session().SetLockRetryCount(kDefaultLockRetryCount);
  fill(db, "t");
  Helper writer([&](Helper& h) {
    SqlDatabase other(folder.path());
    other.directory().StartTransaction();
    other.run("UPDATE t SET n = n + 100 WHERE id = 30");
    h.send('L');
    usleep(300 * 1000);
    other.directory().Commit(true, false);
    return 0;
  });
  ASSERT_EQ(writer.receive(), 'L');
  db.run("UPDATE t SET n = n + 1");
  EXPECT_EQ(db.affected, kRows);
  EXPECT_EQ(db.run("SELECT SUM(n) FROM t"), std::to_string(kRows + 100) + "\n");
  EXPECT_EQ(db.run("SELECT n FROM t WHERE id = 30"), "101\n");
  EXPECT_EQ(writer.wait(), 0);
}

// The write pair is held across runs of rows: a reader still gets in between them and at the
// commit, is never refused, and (holding its read locks for its statement) reads every bulk
// statement's rows whole.
TEST_F(BulkLocks, AReaderInAnotherProcessSeesEachBulkUpdateWholeOrNotAtAll) {
  constexpr int kTableRows = 2048, kUpdates = 8;
  db.run("CREATE TABLE t (id INTEGER, n INTEGER)");
  db.run("INSERT INTO t VALUES (0, 0)");
  for (int rows = 1; rows < kTableRows; rows *= 2)
    db.run("INSERT INTO t SELECT id + " + std::to_string(rows) + ", n FROM t");
  Helper reader([&](Helper& h) {
    SqlDatabase other(folder.path());
    h.send('R');
    for (std::string sum; sum != std::to_string(kTableRows * kUpdates) + "\n";) {
      try {
        sum = other.run("SELECT SUM(n) FROM t WITH LOCKS");
      } catch (const EVELDOREngineError&) {
        return 11;
      }
      if (std::stoi(sum) % kTableRows != 0) return 10;
    }
    return 0;
  });
  ASSERT_EQ(reader.receive(), 'R');
  for (int i = 0; i < kUpdates; ++i) {
    db.run("UPDATE t SET n = n + 1");
    EXPECT_EQ(db.affected, kTableRows);
  }
  EXPECT_EQ(reader.wait(), 0);
}

}  // namespace
}  // namespace engine::sql
