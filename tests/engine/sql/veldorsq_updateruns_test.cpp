// An UPDATE of every row of a table without indexes of its own, with the one commit at the end,
// changes its records run by run in place. It must leave the records, the values (NULLs
// included) and the affected count that one UPDATE a row leaves, write nothing when no row
// changes, start from what another process committed before it, and leave every row as it was
// when a row past the first run is refused or held by another process. A memo table takes the
// row-by-row road and keeps its memos.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
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

// Records of about 1 KB: the statement's runs hold a few hundred, so these rows take several.
constexpr int kRows = 1300;

std::string bytesOf(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class UpdateRuns : public ::testing::Test {
 protected:
  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};

  // `rows` rows, every seventh v NULL, a tenth deleted and their slots left as gaps between
  // runs, some appended after.
  void make(const std::string& table, int rows, const std::string& vRule = "") {
    db.run("CREATE TABLE " + table + " (id INTEGER, s CHAR(12), v INTEGER" + vRule +
           ", pad CHAR(250), more1 CHAR(250), more2 CHAR(250), more3 CHAR(250))");
    db.directory().StartTransaction();
    for (int i = 1; i <= rows; ++i) db.run(insertText(table, i));
    db.directory().Commit(true, false);
    db.run("DELETE FROM " + table + " WHERE id > 400 AND id < 530");
    for (int i = rows + 1; i <= rows + 20; ++i) db.run(insertText(table, i));
  }
  static std::string insertText(const std::string& table, int i) {
    return "INSERT INTO " + table + " VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i % 13) +
           "', " + (i % 7 == 0 ? std::string("NULL") : std::to_string(i % 10)) + ", 'p" + std::to_string(i) +
           "', NULL, NULL, NULL)";
  }
  std::string all(const std::string& table) {
    return db.run("SELECT id, s, v, pad FROM " + table + " ORDER BY id");
  }
  // `sql` on `table` one row after another: inside the caller's transaction.
  int32_t rowByRow(const std::string& sql) {
    db.directory().StartTransaction();
    db.run(sql);
    const int32_t affected = db.affected;
    db.directory().Commit(true, false);
    return affected;
  }
};

TEST_F(UpdateRuns, LeaveTheRecordsValuesAndCountsThatOneUpdateARowLeaves) {
  make("p", kRows);
  make("q", kRows);
  ASSERT_EQ(slotsOf(dataFile(folder.path(), "p")), slotsOf(dataFile(folder.path(), "q")));
  for (const std::string set : {"v = v + 7, s = s + 'x'", "v = NULL", "v = id, pad = 'z'"}) {
    db.run("UPDATE p SET " + set);
    EXPECT_EQ(db.affected, rowByRow("UPDATE q SET " + set)) << set;
    EXPECT_EQ(db.affected, kRows - 129 + 20) << set;
    EXPECT_EQ(slotsOf(dataFile(folder.path(), "p")), slotsOf(dataFile(folder.path(), "q"))) << set;
    EXPECT_EQ(all("p"), all("q")) << set;
    expectSound(db.directory(), folder.path(), "p", false, "after " + set);
  }
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM p WHERE v = id AND pad = 'z'"),
            std::to_string(kRows - 129 + 20) + "\n");
  {
    SqlDatabase fresh(folder.path());
    EXPECT_EQ(fresh.run("SELECT id, s, v, pad FROM p ORDER BY id"),
              fresh.run("SELECT id, s, v, pad FROM q ORDER BY id"));
  }
  // Every row as it was: nothing of the file changes, its header's counter included.
  const std::string before = bytesOf(dataFile(folder.path(), "p"));
  db.run("UPDATE p SET v = id");
  EXPECT_EQ(db.affected, kRows - 129 + 20);
  EXPECT_EQ(bytesOf(dataFile(folder.path(), "p")), before);
  // Freed slots are taken in the same order on both.
  db.run("DELETE FROM p WHERE id < 100");
  db.run("DELETE FROM q WHERE id < 100");
  for (int i = 1; i <= 30; ++i) {
    db.run(insertText("p", 5000 + i));
    db.run(insertText("q", 5000 + i));
  }
  EXPECT_EQ(slotsOf(dataFile(folder.path(), "p")), slotsOf(dataFile(folder.path(), "q")));
}

// Another process changes and deletes rows between this session's last look and the statement:
// the statement changes the rows as that process left them.
TEST_F(UpdateRuns, StartFromWhatAnotherProcessCommittedBeforeTheStatement) {
  make("p", kRows);
  make("q", kRows);
  ASSERT_EQ(all("p"), all("q"));
  const std::string changes[] = {"UPDATE p SET v = 500 WHERE id <= 100", "DELETE FROM p WHERE id > 1250",
                                 "INSERT INTO p VALUES (9000, 'late', 3, 'late', NULL, NULL, NULL)"};
  Helper child([&](Helper& h) {
    if (h.receive() != 'G') return 90;
    SqlDatabase other(folder.path());
    for (const std::string& c : changes) other.run(c);
    h.send('D');
    return 0;
  });
  // This session has the table open and its records cached.
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM p WHERE v IS NULL"),
            db.run("SELECT COUNT(*) FROM q WHERE v IS NULL"));
  child.send('G');
  ASSERT_EQ(child.receive(), 'D');
  EXPECT_EQ(child.wait(), 0);
  db.run("UPDATE p SET v = v + 1");
  const int32_t affected = db.affected;
  for (std::string c : changes) db.run(c.replace(c.find(" p "), 3, " q "));
  EXPECT_EQ(affected, rowByRow("UPDATE q SET v = v + 1"));
  EXPECT_EQ(all("p"), all("q"));
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM p WHERE v = 501"), "100\n");
  EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT id, s, v, pad FROM p ORDER BY id"), all("q"));
  EXPECT_EQ(slotsOf(dataFile(folder.path(), "p")), slotsOf(dataFile(folder.path(), "q")));
}

// A row refused for its value after whole runs were changed, and a row another process holds,
// each stop the statement with every row as it was, in this session and a fresh one.
TEST_F(UpdateRuns, ARowRefusedOrHeldPastTheFirstRunLeavesEveryRowAsItWas) {
  make("t", kRows, " MAX '1000'");
  db.run("UPDATE t SET v = 995 WHERE id = 1200");
  const std::string before = all("t");
  try {
    db.run("UPDATE t SET v = v + 10, s = 'changed'");
    ADD_FAILURE() << "the refused row did not stop the update";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode(), VELDOR_MAXVALERR);
  }
  EXPECT_EQ(all("t"), before);
  EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT id, s, v, pad FROM t ORDER BY id"), before);
  expectSound(db.directory(), folder.path(), "t", false, "after the refused update");

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
    return 0;
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
  EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT id, s, v, pad FROM t ORDER BY id"), before);
  child.send('U');
  ASSERT_EQ(child.receive(), 'F');
  EXPECT_EQ(child.wait(), 0);
  db.run("UPDATE t SET v = v + 1 WHERE id <> 1200");
  db.run("UPDATE t SET v = v + 1");
  EXPECT_EQ(db.run("SELECT v FROM t WHERE id = 1200"), "996\n");
  EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT COUNT(*) FROM t WHERE v = 0"), "0\n");
  expectSound(db.directory(), folder.path(), "t", false, "after the update");
}

TEST_F(UpdateRuns, AMemoTableChangesRowByRowAndKeepsItsMemos) {
  db.run("CREATE TABLE m (id INTEGER, v INTEGER, memo BLOB(1, 1))");
  db.directory().StartTransaction();
  for (int i = 1; i <= 300; ++i)
    db.run("INSERT INTO m VALUES (" + std::to_string(i) + ", " + (i % 5 == 0 ? "NULL" : std::to_string(i)) +
           ", " + (i % 3 == 0 ? std::string("NULL") : "'" + std::string(600 + i, char('a' + i % 26)) + "'") +
           ")");
  db.directory().Commit(true, false);
  db.run("DELETE FROM m WHERE id BETWEEN 100 AND 120");
  const std::string memos = db.run("SELECT id, memo FROM m ORDER BY id");
  db.run("UPDATE m SET v = v * 2");
  EXPECT_EQ(db.affected, 279);
  EXPECT_EQ(db.run("SELECT COUNT(*), SUM(v) FROM m"), "279|68480\n");
  EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT id, memo FROM m ORDER BY id"), memos);
  expectSound(db.directory(), folder.path(), "m", false, "after the update");
}

// Values that read the columns they write, swap two, or meet a NULL come out as one UPDATE a
// row leaves them.
TEST_F(UpdateRuns, ValuesThatReadTheirOwnColumnsAsRowByRow) {
  make("p", kRows);
  make("q", kRows);
  for (const std::string set : {"v = id, id = v", "v = v + NULL, s = s + s", "v = v * 2 + id, id = id + v"}) {
    db.run("UPDATE p SET " + set);
    EXPECT_EQ(db.affected, rowByRow("UPDATE q SET " + set)) << set;
    EXPECT_EQ(all("p"), all("q")) << set;
    EXPECT_EQ(slotsOf(dataFile(folder.path(), "p")), slotsOf(dataFile(folder.path(), "q"))) << set;
  }
}

// Another cursor of this session and a reader in another process, each with the records read
// before the statement, see every new value after it, and the committed ones after a failed
// statement.
TEST_F(UpdateRuns, EarlierReadersSeeTheNewValuesAndAfterAFailureTheCommittedOnes) {
  make("p", kRows, " MAX '1300'");
  TDataCursor cursor(db.directory());
  cursor.SetTableName("p");
  cursor.Open();
  const std::string before = SqlDatabase::text(cursor);
  Helper child([&](Helper& h) {
    SqlDatabase other(folder.path());
    const std::string query = "SELECT id, s, v, pad FROM p ORDER BY id";
    h.send(other.run(query) == other.run(query) ? 'R' : 'X');
    for (char step : {'A', 'B'}) {
      if (h.receive() != step) return 90;
      SqlDatabase fresh(folder.path());
      h.send(other.run(query) == fresh.run(query) ? 'S' : 'X');
    }
    return 0;
  });
  ASSERT_EQ(child.receive(), 'R');
  db.run("UPDATE p SET v = id - 30, s = 'new'");
  const std::string after = SqlDatabase::text(cursor);
  EXPECT_NE(after, before);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM p WHERE v = id - 30 AND s = 'new'"),
            std::to_string(kRows - 129 + 20) + "\n");
  child.send('A');
  EXPECT_EQ(child.receive(), 'S');
  // Refused past the first runs.
  EXPECT_EQ(db.rows("UPDATE p SET v = id + 20").rfind("error: ", 0), 0u);
  EXPECT_EQ(SqlDatabase::text(cursor), after);
  child.send('B');
  EXPECT_EQ(child.receive(), 'S');
  EXPECT_EQ(child.wait(), 0);
}

// The optimistic protocol and a table whose last slots are free leave the rows and the count
// one UPDATE a row leaves.
TEST_F(UpdateRuns, OptimisticProtocolAndFreeLastSlotsAsRowByRow) {
  make("p", kRows);
  make("q", kRows);
  db.directory().Session().SetLockRetryCount(0);
  db.directory().Session().SetLockProtocol(lpOptimistic);
  EXPECT_EQ(db.rows("UPDATE p SET v = v + 1"), "");
  const int32_t affected = db.affected;
  db.directory().StartTransaction();
  EXPECT_EQ(db.rows("UPDATE q SET v = v + 1"), "");
  EXPECT_EQ(affected, db.affected);
  db.directory().Commit(true, false);
  db.directory().Session().SetLockProtocol(lpPessimistic);
  EXPECT_EQ(all("p"), all("q"));

  db.run("DELETE FROM p WHERE id > 1290");
  db.run("DELETE FROM q WHERE id > 1290");
  db.run("UPDATE p SET v = v + 1, s = 'last'");
  EXPECT_EQ(db.affected, rowByRow("UPDATE q SET v = v + 1, s = 'last'"));
  EXPECT_EQ(all("p"), all("q"));
  expectSound(db.directory(), folder.path(), "p", false, "after the update");
}

}  // namespace
}  // namespace engine::sql
