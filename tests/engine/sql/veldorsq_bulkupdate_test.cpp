// An UPDATE of thousands of rows moves the records it changed into the held writes every so many
// rows. It must leave the records that one UPDATE a row leaves (slots, free chain, keys), read
// back by a fresh session and reused in the same order by later appends; a row held by another
// process past the first move stops it with nothing changed; inside the caller's transaction the
// moved records are seen by the transaction, go with its rollback and stay with its commit, also
// under a DELETE of every row in the same transaction.
#include <gtest/gtest.h>

#include <string>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "tests/engine/sql/sql_check_util.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"

namespace engine::sql {
namespace {

using sql_test::dataFile;
using sql_test::expectSound;
using sql_test::slotsOf;
using sql_test::SqlDatabase;
using storage_test::Helper;

// More than one of the statement's moves into the held writes.
constexpr int kRows = 1300;

// slotsOf's lines cut to each record's status, link or number, and id.
std::string headersOf(const std::string& slots) {
  std::string out;
  for (size_t at = 0; at < slots.size();) {
    const size_t end = slots.find('\n', at);
    const std::string line = slots.substr(at, end - at);
    const size_t hex = line.rfind(':');
    out += (hex == std::string::npos ? line : line.substr(0, hex + 1 + 18)) + "\n";
    at = end + 1;
  }
  return out;
}

class BulkUpdate : public ::testing::Test {
 protected:
  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};

  // `rows` rows with a primary key and a secondary index, a tenth freed and taken again by
  // later rows, so that record numbers and ids no longer run together.
  void make(const std::string& table, int rows) {
    if (db.rows("SELECT COUNT(*) FROM seed") != std::to_string(rows) + "\n") {
      db.run("CREATE TABLE seed (id INTEGER, s CHAR(12), v INTEGER)");
      db.directory().StartTransaction();
      for (int i = 1; i <= rows; ++i) db.run(insertText("seed", i));
      db.directory().Commit(true, false);
    }
    db.run("CREATE TABLE " + table + " (id INTEGER, s CHAR(12), v INTEGER, PRIMARY KEY (id))");
    db.run("CREATE INDEX " + table + "s ON " + table + " (s, v)");
    db.run("INSERT INTO " + table + " SELECT * FROM seed");
    db.run("DELETE FROM " + table + " WHERE v = 3");
    db.run("INSERT INTO " + table + " SELECT id + " + std::to_string(rows) +
           ", s, v FROM seed WHERE id <= " + std::to_string(rows / 10));
  }
  static std::string insertText(const std::string& table, int i) {
    return "INSERT INTO " + table + " VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i % 13) +
           "', " + std::to_string(i % 10) + ")";
  }
  std::string all(const std::string& table) {
    return db.run("SELECT id, s, v FROM " + table + " ORDER BY id");
  }
};

TEST_F(BulkUpdate, LeavesTheRecordsThatOneUpdateARowLeaves) {
  make("p", kRows);
  make("q", kRows);
  ASSERT_EQ(slotsOf(dataFile(folder.path(), "p")), slotsOf(dataFile(folder.path(), "q")));
  const std::string ids = db.run("SELECT id FROM q WHERE id > 5 ORDER BY id");
  // Values, secondary keys and the primary key all change; the first rows stay.
  db.run("UPDATE p SET v = v + 7, s = 'k' + s, id = id + 100000 WHERE id > 5");
  const int32_t changed = db.affected;
  db.directory().StartTransaction();
  int each = 0;
  for (size_t at = 0; at < ids.size();) {
    const size_t end = ids.find('\n', at);
    db.run("UPDATE q SET v = v + 7, s = 'k' + s, id = id + 100000 WHERE id = " + ids.substr(at, end - at));
    each += db.affected;
    at = end + 1;
  }
  db.directory().Commit(true, false);
  EXPECT_EQ(changed, each);
  EXPECT_GT(changed, 1024);
  EXPECT_EQ(slotsOf(dataFile(folder.path(), "p")), slotsOf(dataFile(folder.path(), "q")));
  expectSound(db.directory(), folder.path(), "p", false, "after the update");
  {
    SqlDatabase fresh(folder.path());
    EXPECT_EQ(fresh.run("SELECT id, s, v FROM p ORDER BY id"),
              fresh.run("SELECT id, s, v FROM q ORDER BY id"));
    EXPECT_EQ(fresh.run("SELECT COUNT(*) FROM p WHERE s = 'kn4' AND v = 11"),
              fresh.run("SELECT COUNT(*) FROM q WHERE s = 'kn4' AND v = 11"));
    EXPECT_EQ(fresh.run("SELECT v FROM p WHERE id = 100006"), "13\n");
  }
  // Freed slots are taken in the same order on both.
  db.run("DELETE FROM p WHERE v = 8");
  db.run("DELETE FROM q WHERE v = 8");
  for (int i = 1; i <= 40; ++i) {
    db.run(insertText("p", 200000 + i));
    db.run(insertText("q", 200000 + i));
  }
  EXPECT_EQ(slotsOf(dataFile(folder.path(), "p")), slotsOf(dataFile(folder.path(), "q")));
  expectSound(db.directory(), folder.path(), "p", false, "after appends");
}

// Another process holds a row that comes after the statement has moved rows into its held
// writes: the statement fails there and no row of it stays, for this session and a fresh one.
TEST_F(BulkUpdate, ARowHeldByAnotherProcessPastTheFirstMoveLeavesEveryRowAsItWas) {
  make("t", kRows);
  const std::string before = all("t");
  const uint32_t held = kRows - 100;
  Helper child([&](Helper& h) {
    SqlDatabase other(folder.path());
    other.directory().Session().SetLockRetryCount(0);
    TDataCursor cursor(other.directory());
    cursor.SetTableName("t");
    cursor.Open();
    cursor.Table()->LockRecord(held);
    h.send('L');
    if (h.receive() != 'U') return 90;
    cursor.Table()->UnlockRecord(held);
    h.send('F');
    return h.receive() == 'E' ? 0 : 91;
  });
  ASSERT_EQ(child.receive(), 'L');
  db.directory().Session().SetLockRetryCount(0);
  try {
    db.run("UPDATE t SET v = v + 1");
    ADD_FAILURE() << "the held row did not stop the update";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode(), VELDOR_RECLOCKFAILED);
  }
  EXPECT_EQ(all("t"), before);
  EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT id, s, v FROM t ORDER BY id"), before);
  expectSound(db.directory(), folder.path(), "t", false, "after the failed update");
  child.send('U');
  ASSERT_EQ(child.receive(), 'F');
  db.run("UPDATE t SET v = v + 1");
  EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT COUNT(*) FROM t WHERE v = 0"), "0\n");
  child.send('E');
  EXPECT_EQ(child.wait(), 0);
}

TEST_F(BulkUpdate, InTheCallersTransactionGoesWithItsRollbackAndStaysWithItsCommit) {
  make("t", kRows);
  const std::string before = all("t");
  const std::string count = db.run("SELECT COUNT(*) FROM t");
  const std::string fours = db.run("SELECT COUNT(*) FROM t WHERE v = 4");
  db.directory().StartTransaction();
  db.run("UPDATE t SET v = v + 20");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE v >= 20"), count) << "the transaction sees its rows";
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE v = 24 AND s >= 'n'"), fours);
  db.directory().Rollback();
  EXPECT_EQ(all("t"), before);
  EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT id, s, v FROM t ORDER BY id"), before);
  expectSound(db.directory(), folder.path(), "t", false, "after the rollback");

  // Updated, then every row deleted, in one transaction: committed, no row is left; appends take
  // the slots that a DELETE of the rows as they were would have freed, with the same links and
  // ids (the freed records' fields keep the values they had).
  db.directory().StartTransaction();
  db.run("UPDATE t SET v = v + 20");
  db.run("DELETE FROM t");
  EXPECT_EQ(db.affected, std::stoi(count));
  db.directory().Commit(true, false);
  EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT COUNT(*) FROM t"), "0\n");
  expectSound(db.directory(), folder.path(), "t", false, "after update and delete");
  make("u", kRows);
  db.run("DELETE FROM u");
  for (int i = 1; i <= 30; ++i) {
    db.run(insertText("t", 300000 + i));
    db.run(insertText("u", 300000 + i));
  }
  EXPECT_EQ(headersOf(slotsOf(dataFile(folder.path(), "t"))),
            headersOf(slotsOf(dataFile(folder.path(), "u"))));
  EXPECT_EQ(all("t"), all("u"));
}

}  // namespace
}  // namespace engine::sql
