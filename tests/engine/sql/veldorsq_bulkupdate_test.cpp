// An UPDATE of thousands of rows moves the records it changed into the held writes every so many
// rows. It must leave the records that one UPDATE a row leaves (slots, free chain, keys), read
// back by a fresh session and reused in the same order by later appends; a row held by another
// process past the first move stops it with nothing changed; inside the caller's transaction the
// moved records are seen by the transaction, go with its rollback and stay with its commit, also
// under a DELETE of every row in the same transaction. A key clash past a move, and a kill at any
// moment, leave every row old or every row new, on plain and scrambled tables.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <utility>

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

// On a scrambled table too, a key clash met after rows were moved into the held writes fails the
// statement with every row as it was, in this session and a fresh one; the same UPDATE without
// the clash then changes every row.
TEST_F(BulkUpdate, AKeyClashPastTheFirstMoveOnAScrambledTableLeavesEveryRowAsItWas) {
  db.directory().Session().AddPassword("upd-pw");
  db.run("CREATE TABLE t (id INTEGER, s CHAR(12), v INTEGER, PRIMARY KEY (id) ENCRYPTED WITH 'upd-pw')");
  db.run("CREATE INDEX ts ON t (s, v)");
  db.directory().StartTransaction();
  for (int i = 1; i <= kRows; ++i) db.run(insertText("t", i));
  // Row kRows - 50 would take this one's key.
  db.run(insertText("t", 100000 + kRows - 50));
  db.directory().Commit(true, false);
  const std::string before = all("t");
  try {
    db.run("UPDATE t SET id = id + 100000, v = v + 1");
    ADD_FAILURE() << "the clash did not stop the update";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode(), VELDOR_KEYVIOL);
  }
  EXPECT_EQ(all("t"), before);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE s >= 'n' AND v < 10"), std::to_string(kRows + 1) + "\n");
  {
    SqlDatabase fresh(folder.path());
    fresh.directory().Session().AddPassword("upd-pw");
    EXPECT_EQ(fresh.run("SELECT id, s, v FROM t ORDER BY id"), before);
  }
  expectSound(db.directory(), folder.path(), "t", false, "after the clash");
  db.run("UPDATE t SET id = id + 200000, v = v + 1");
  EXPECT_EQ(db.affected, kRows + 1);
  SqlDatabase fresh(folder.path());
  fresh.directory().Session().AddPassword("upd-pw");
  EXPECT_EQ(fresh.run("SELECT COUNT(*), MIN(id), SUM(v) FROM t WHERE s >= 'n'"),
            db.run("SELECT COUNT(*), MIN(id), SUM(v) FROM t"));
  EXPECT_EQ(fresh.run("SELECT MIN(id) FROM t"), "200001\n");
  expectSound(db.directory(), folder.path(), "t", false, "after the update");
}

// A process killed at a random moment of an UPDATE that moves rows into the held writes leaves
// every row old or every row new, never a mix, and files the checker finds sound once the next
// open has put back what the kill left. Plain and scrambled tables, with indexes and without
// (whose rows change run by run).
TEST_F(BulkUpdate, KilledAtRandomMomentsLeavesEveryRowOldOrNew) {
  constexpr int kMany = 2600;  // two moves and some
  db.directory().Session().AddPassword("upd-pw");
  bool first = true;
  for (const bool indexed : {true, false})
    for (const char* tail : {")", " ENCRYPTED WITH 'upd-pw')"}) {
      SCOPED_TRACE(std::string(tail) + (indexed ? " indexed" : " without indexes"));
      if (!std::exchange(first, false)) db.run("DROP TABLE t");
      db.run(std::string("CREATE TABLE t (id INTEGER, s CHAR(12), v INTEGER") +
             (indexed ? ", PRIMARY KEY (id)" : "") + tail);
      if (indexed) db.run("CREATE INDEX ts ON t (s, v)");
      db.directory().StartTransaction();
      for (int i = 1; i <= kMany; ++i) db.run(insertText("t", i));
      db.directory().Commit(true, false);
      const auto start = std::chrono::steady_clock::now();
      db.run("UPDATE t SET v = v + 100");
      const auto took =
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
      db.run("UPDATE t SET v = v - 100");
      std::mt19937 rng(77);
      int olds = 0, news = 0;
      for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Rows are v < 100 (old) or v >= 100 (new) as the last update left them.
        const bool wereNew = db.run("SELECT COUNT(*) FROM t WHERE v >= 100") != "0\n";
        Helper child([&](Helper& h) {
          SqlDatabase other(folder.path());
          other.directory().Session().AddPassword("upd-pw");
          h.send('r');
          other.run(wereNew ? "UPDATE t SET v = v - 100" : "UPDATE t SET v = v + 100");
          h.send('d');
          for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
          return 0;
        });
        ASSERT_EQ(child.receive(), 'r');
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % uint32_t(took.count() * 2 + 1)));
        child.kill9();
        SqlDatabase after(folder.path());
        after.directory().Session().AddPassword("upd-pw");
        const std::string high = after.run("SELECT COUNT(*) FROM t WHERE v >= 100");
        EXPECT_TRUE(high == "0\n" || high == std::to_string(kMany) + "\n") << high;
        const bool changed = (high != "0\n") != wereNew;
        (changed ? news : olds)++;
        // The same rows by the secondary index (whose keys hold v), and none lost.
        EXPECT_EQ(after.run("SELECT COUNT(*), SUM(id) FROM t WHERE s >= 'n'"),
                  std::to_string(kMany) + "|" + std::to_string(kMany * (kMany + 1) / 2) + "\n");
        expectSound(after.directory(), folder.path(), "t", false, "after the kill");
      }
      std::printf("killed: %d left every row old, %d new\n", olds, news);
    }
}

// Conditions that the update itself makes false, on a filtered column and on the key range the
// scan follows: every row that met the condition is changed once, none twice, none of the rest.
TEST_F(BulkUpdate, RowsTheUpdateMovesOutOfItsConditionAreChangedOnce) {
  make("t", 2 * kRows);
  const std::string low = db.run("SELECT COUNT(*) FROM t WHERE v < 5");
  db.run("UPDATE t SET v = v + 10 WHERE v < 5");
  EXPECT_EQ(std::to_string(db.affected) + "\n", low);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE v >= 10"), low);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE v >= 20"), "0\n");
  const std::string inRange = db.run("SELECT COUNT(*), SUM(id) FROM t WHERE id BETWEEN 10 AND 2400");
  db.run("UPDATE t SET id = id + 1000000 WHERE id BETWEEN 10 AND 2400");
  EXPECT_EQ(db.run("SELECT COUNT(*), SUM(id - 1000000) FROM t WHERE id > 1000000"), inRange);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE id BETWEEN 10 AND 2400"), "0\n");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE id > 2000000"), "0\n");
  SqlDatabase fresh(folder.path());
  EXPECT_EQ(fresh.run("SELECT COUNT(*), SUM(id) FROM t WHERE s >= 'n'"),
            db.run("SELECT COUNT(*), SUM(id) FROM t"));
  expectSound(db.directory(), folder.path(), "t", false, "after the updates");
}

}  // namespace
}  // namespace engine::sql
