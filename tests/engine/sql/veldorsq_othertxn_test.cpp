// Another process that would change a table which the caller's transaction holds (it took the
// table's data-file write lock when the table joined the transaction): its appends, deletes and
// updates wait for the transaction and end with the lock error when it outlasts their retries,
// and a restructure or a new index is refused, whether that process was started afresh or forked
// from the caller while the table was open (an open it inherited locks as its own). So the
// caller's write, after its read, takes the rows as they stood, on every road: DELETE with and
// without WHERE (prepared before the transaction), UPDATE, INSERT, INSERT ... SELECT and a
// cursor's edit, delete and append; with and without strict change detection, on a table with
// keys and one without, each with a memo column. A twin table that nothing else touches gets the
// same statements: the two stay alike. Rolled back, the table holds exactly the rows committed
// before; committed, those rows changed only as the statement says, and the files are sound.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/base/veldortypes.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "tests/engine/sql/sql_check_util.h"
#include "tests/engine/sql/sql_child_util.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"

namespace engine::sql {
namespace {

using sql_test::expectSound;
using sql_test::SqlDatabase;

constexpr int kRows = 120;

// What another process tries on `table`, each with few retries of its locks: 0 when every change was refused,
// else 10 plus the number that went through.
int changeElsewhere(const std::string& folder, const std::string& table) {
  SqlDatabase other(folder);
  other.directory().Session().SetLockRetryCount(1);
  other.directory().Session().SetLockWaitTime(10);
  TDataCursor held(other.directory());
  held.SetTableName(table);
  held.Open();
  held.Table()->SetFileLockRetryRules({2, std::chrono::milliseconds(5)});
  int through = 0;
  for (const std::string& text :
       {"INSERT INTO " + table + " VALUES (5000, 'm', 1, 'other')", "DELETE FROM " + table + " WHERE id = 2",
        "UPDATE " + table + " SET v = 99 WHERE id = 3"}) {
    try {
      other.run(text);
      ++through;
    } catch (const EVELDOREngineError&) {
    }
  }
  return through == 0 ? 0 : 10 + through;
}

struct Shape {
  const char* name;
  bool keyed;
  uint8_t strict;
};

class AnotherProcessInTheCallersTransaction : public ::testing::TestWithParam<Shape> {
 protected:
  void SetUp() override {
    db.directory().Session().SetStrictChangeDetection(GetParam().strict);
    for (const char* table : {"t", "u"}) {
      const std::string name = table;
      db.run("CREATE TABLE " + name + " (id INTEGER, s CHAR(20), v INTEGER, m BLOB(10, 1)" +
             (GetParam().keyed ? ", PRIMARY KEY (id))" : ")"));
      if (GetParam().keyed) db.run("CREATE INDEX " + name + "s ON " + name + " (s, v)");
    }
    fill();
  }
  // kRows rows into each table, as committed rows.
  void fill() {
    for (const char* table : {"t", "u"}) {
      const std::string name = table;
      db.directory().StartTransaction();
      for (int i = 1; i <= kRows; ++i)
        db.run("INSERT INTO " + name + " VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i % 37) +
               "', " + std::to_string(i % 4) + ", '" + std::string(size_t(i % 3) * 40, 'm') + "')");
      db.directory().Commit(true, false);
    }
  }
  std::string rowsOf(SqlDatabase& where, const std::string& table) {
    return where.run("SELECT id, s, v, m FROM " + table + " ORDER BY id");
  }

  // Reads `t` in a transaction, lets a process forked meanwhile try its changes, then runs
  // `write` on `t` and on `u`, and ends the transaction as `commit` says.
  void road(const std::string& name, const std::function<void(const std::string& table)>& write) {
    if (db.run("SELECT COUNT(*) FROM u") == "0\n") fill();
    for (bool commit : {false, true}) {
      SCOPED_TRACE(name + (commit ? ", committed" : ", rolled back"));
      const std::string before = rowsOf(db, "t");
      ASSERT_EQ(before, rowsOf(db, "u"));
      db.directory().StartTransaction();
      EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE id > 0"), db.run("SELECT COUNT(*) FROM u"));
      storage_test::Helper child([&](storage_test::Helper&) { return changeElsewhere(folder.path(), "t"); });
      EXPECT_EQ(child.wait(), 0) << "the other process's changes went through";
      for (const char* table : {"t", "u"}) {
        try {
          write(table);
        } catch (const EVELDOREngineError& e) {
          ADD_FAILURE() << table << ": " << e.what();
        }
      }
      EXPECT_EQ(rowsOf(db, "t"), rowsOf(db, "u"));
      if (!commit) {
        db.directory().Rollback();
        EXPECT_EQ(rowsOf(db, "t"), before);
        EXPECT_EQ(rowsOf(db, "u"), before);
      } else {
        db.directory().Commit(true, false);
        SqlDatabase fresh(folder.path());
        EXPECT_EQ(rowsOf(fresh, "t"), rowsOf(fresh, "u"));
      }
      SqlDatabase fresh(folder.path());
      EXPECT_EQ(rowsOf(fresh, "t"), rowsOf(db, "t"));
      expectSound(db.directory(), folder.path(), "t", false, name);
    }
  }

  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};
};

TEST_P(AnotherProcessInTheCallersTransaction, WaitsForItOnEveryRoadOfTheCallersWrite) {
  {
    // Prepared before the transaction, as a DBA's tool prepares it.
    TQueryStatement plainT(db.directory()), plainU(db.directory());
    plainT.Prepare("DELETE FROM t");
    plainU.Prepare("DELETE FROM u");
    road("DELETE", [&](const std::string& table) { (table == "t" ? plainT : plainU).Execute(); });
  }
  road("UPDATE", [&](const std::string& table) {
    db.run("UPDATE " + table + " SET v = v + 10, m = 'new' WHERE v <> 2");
  });
  road("DELETE with WHERE",
       [&](const std::string& table) { db.run("DELETE FROM " + table + " WHERE v >= 0"); });
  road("INSERT", [&](const std::string& table) {
    for (int i = 1; i <= 30; ++i)
      db.run("INSERT INTO " + table + " VALUES (" + std::to_string(7000 + i) + ", 'ins', 1, 'memo')");
  });
  road("INSERT SELECT", [&](const std::string& table) {
    db.run("INSERT INTO " + table + " SELECT id + 8000, s, v, m FROM " + table + " WHERE v = 1");
  });
  road("cursor", [&](const std::string& table) {
    TDataCursor cursor(db.directory());
    cursor.SetTableName(table);
    cursor.Open();
    std::vector<uint8_t> record(cursor.RecordSize());
    uint8_t value[16] = {};
    cursor.SetToBegin();
    ASSERT_EQ(cursor.GetNextRecord(record.data()), 0);
    engine::PutIntegerValue(value, 77);
    cursor.PutField(3, record.data(), value);
    cursor.ModifyRecord(record.data());
    for (int i = 0; i < 5; ++i) ASSERT_EQ(cursor.GetNextRecord(record.data()), 0);
    cursor.DeleteRecord(record.data());
    cursor.ClearRecordBuffer(record.data());
    engine::PutIntegerValue(value, 9000);
    cursor.PutField(1, record.data(), value);
    cursor.AppendRecord(record.data());
    cursor.Close();
  });
}

// What another process committed after the caller read the table, and before the table joined the
// caller's transaction, is what the caller's statements then change: the transaction lock's take
// drops what the caches hold from before, under a cursor left open on the table and a statement
// prepared before. The other process makes the same changes to the twin.
TEST_P(AnotherProcessInTheCallersTransaction, SeesACommitMadeBeforeTheTableJoinedIt) {
  TQueryStatement plainT(db.directory()), plainU(db.directory());
  plainT.Prepare("DELETE FROM t");
  plainU.Prepare("DELETE FROM u");
  TDataCursor watcher(db.directory());
  watcher.SetTableName("t");
  watcher.Open();
  std::vector<uint8_t> record(watcher.RecordSize());
  watcher.SetToBegin();
  ASSERT_EQ(watcher.GetNextRecord(record.data()), 0);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE id > 0"), std::to_string(kRows) + "\n");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "rolled back" : "committed");
    storage_test::Helper child([&](storage_test::Helper&) {
      SqlDatabase other(folder.path());
      for (const char* table : {"t", "u"}) {
        const std::string name = table;
        for (int i = 1; i <= 40; ++i)
          other.run("INSERT INTO " + name + " VALUES (" + std::to_string(1000 * (round + 1) + i) + ", 'o', " +
                    std::to_string(i % 4) + ", 'other " + std::to_string(i) + "')");
        other.run("DELETE FROM " + name + " WHERE v = 1");
        other.run("UPDATE " + name + " SET v = 30, m = 'upd' WHERE v = 3");
      }
      return 0;
    });
    ASSERT_EQ(child.wait(), 0);
    const std::string committed = rowsOf(db, "u");
    const int count = std::stoi(db.run("SELECT COUNT(*) FROM u"));
    db.directory().StartTransaction();
    if (round == 0) {
      plainT.Execute();
      EXPECT_EQ(plainT.RowsAffected, count);
      plainU.Execute();
      EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), "0\n");
      db.directory().Rollback();
      EXPECT_EQ(rowsOf(db, "t"), committed);
    } else {
      for (const char* table : {"t", "u"})
        db.run(std::string("UPDATE ") + table + " SET v = v + 100 WHERE id > 1000");
      const int32_t updated = db.affected;
      EXPECT_EQ(updated, std::stoi(db.run("SELECT COUNT(*) FROM u WHERE id > 1000")));
      db.directory().Commit(true, false);
    }
    EXPECT_EQ(rowsOf(db, "t"), rowsOf(db, "u"));
    SqlDatabase fresh(folder.path());
    EXPECT_EQ(rowsOf(fresh, "t"), rowsOf(fresh, "u"));
    expectSound(db.directory(), folder.path(), "t", false);
  }
  watcher.SetToBegin();
  EXPECT_EQ(watcher.GetNextRecord(record.data()), 0);
  EXPECT_EQ(watcher.GetRecordCount(), std::stoi(db.run("SELECT COUNT(*) FROM u")));
  watcher.Close();
}

INSTANTIATE_TEST_SUITE_P(Shapes, AnotherProcessInTheCallersTransaction,
                         ::testing::Values(Shape{"Keyed", true, 0}, Shape{"KeyedStrict", true, 1},
                                           Shape{"Unkeyed", false, 0}, Shape{"UnkeyedStrict", false, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// A process started afresh, which shares nothing with the caller, is kept out the same way.
TEST(AnotherProcessInTheCallersTransactionAfresh, IsKeptOutAsAForkedOneIs) {
  platform::testing::TempFolder folder;
  SqlDatabase db(folder.path());
  db.run("CREATE TABLE t (id INTEGER, s CHAR(20), v INTEGER, m BLOB(10, 1), PRIMARY KEY (id))");
  for (int i = 1; i <= 20; ++i) db.run("INSERT INTO t VALUES (" + std::to_string(i) + ", 'a', 1, 'x')");
  db.directory().StartTransaction();
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), "20\n");
  EXPECT_EQ(sql_test::runTestElsewhere("AnotherProcessInTheCallersTransactionAfresh.DISABLED_Changes",
                                       {{"VELMARON_OTHER_FOLDER", folder.path()}}),
            0);
  db.run("DELETE FROM t WHERE v = 1");
  EXPECT_EQ(db.affected, 20);
  db.directory().Commit(true, false);
  EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT COUNT(*) FROM t"), "0\n");
  expectSound(db.directory(), folder.path(), "t", false);
}

// Run by the test above in a process of its own.
TEST(AnotherProcessInTheCallersTransactionAfresh, DISABLED_Changes) {
  const char* folder = std::getenv("VELMARON_OTHER_FOLDER");
  ASSERT_NE(folder, nullptr);
  if (changeElsewhere(folder, "t") != 0) std::exit(1);
}

}  // namespace
}  // namespace engine::sql
