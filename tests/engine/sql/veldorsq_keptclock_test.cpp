// A table kept open between uses is taken back only when nothing was done to its files since:
// also on a file system whose clock does not tell another process's writes from this one's last
// (here one that never moves), where only the files' identities, sizes and change counters can.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorfile.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "platform/faultfs.h"
#include "platform/osfile.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/coarse_clock_fs.h"
#include "tests/platform/temp_folder.h"
#include "tools/tablecheck/tablecheck.h"

namespace {

using namespace engine;
using platform::testing::TempFolder;
using sql_test::makeAgainInPlace;
using sql_test::SqlDatabase;
using storage_test::Helper;

// Statements run on the folder by a process of its own; "remake" runs makeAgainInPlace. With
// `exitAt`, the process ends before that write (its statements then run in one transaction).
// The process's exit code.
int runElsewhere(const std::string& folder, const std::vector<std::string>& statements, uint64_t exitAt = 0) {
  Helper child([&](Helper&) {
    platform::FaultyFileSystem faulty(platform::FileSystem::local());
    TFileList list(faulty);
    SqlDatabase other(folder);
    other.directory().SetFileList(list);
    if (exitAt) {
      faulty.setPlan({platform::Fault::Exit, exitAt, true});
      other.directory().StartTransaction();
    }
    for (const std::string& s : statements) {
      if (s == "remake")
        makeAgainInPlace(other.directory());
      else
        other.run(s);
    }
    if (exitAt) other.directory().Commit(true, false);
    return 0;
  });
  return child.wait();
}

std::string freshRows(const std::string& folder, const std::string& query) {
  SqlDatabase fresh(folder);
  return fresh.rows(query);
}

void expectSound(const std::string& folder) {
  tablecheck::Options options;
  options.checkRecordKeys = true;
  const tablecheck::Report report = tablecheck::CheckTableFiles(folder + "/t", options);
  EXPECT_TRUE(report.ok()) << report.text();
}

class KeptOnACoarseClock : public ::testing::Test {
 protected:
  platform::testing::CoarseClockFileSystem coarse{platform::FileSystem::local()};
  TFileList list{coarse};

  // This process's session on the folder, its tables on the coarse clock, with table "t" made
  // by makeAgainInPlace (as the other process makes it again below), three rows written and the
  // second deleted, a statement each; the table is kept after them.
  std::unique_ptr<SqlDatabase> open(const std::string& folder) {
    auto db = std::make_unique<SqlDatabase>(folder);
    db->directory().SetFileList(list);
    db->run("CREATE TABLE t (id INTEGER, v CHAR(10))");
    makeAgainInPlace(db->directory());
    for (const char* row : {"(1, 'a')", "(2, 'b')", "(3, 'c')"})
      db->run(std::string("INSERT INTO t VALUES ") + row);
    db->run("DELETE FROM t WHERE id = 2");
    EXPECT_EQ(db->run("SELECT * FROM t ORDER BY id"), "1|a\n3|c\n");
    EXPECT_GE(list.Count(), 2u) << "the table was not kept";
    return db;
  }
};

// What another process did shows here, and this side's next write lands on the table it left.
TEST_F(KeptOnACoarseClock, WhatAnotherProcessDidShowsAndThisSidesNextWriteLandsOnIt) {
  struct Change {
    const char* what;
    std::vector<std::string> statements;
    std::string after;
  };
  const std::vector<Change> changes = {
      {"a row changed to the same length", {"UPDATE t SET v = 'z' WHERE id = 3"}, "1|a\n3|z\n"},
      // The same files, made as this side made them and written as often, to the same sizes:
      // without counters that go on, the files would look untouched, and this side's next row
      // would take the slot it freed, where the other's second row lies.
      {"made again in place and written alike",
       {"remake", "INSERT INTO t VALUES (1, 'q')", "INSERT INTO t VALUES (2, 'r')",
        "INSERT INTO t VALUES (3, 's')", "DELETE FROM t WHERE id = 3"},
       "1|q\n2|r\n"},
      {"made again in place twice",
       {"remake", "INSERT INTO t VALUES (7, 'x')", "remake", "INSERT INTO t VALUES (1, 'q')",
        "INSERT INTO t VALUES (2, 'r')", "INSERT INTO t VALUES (3, 's')", "DELETE FROM t WHERE id = 3"},
       "1|q\n2|r\n"},
      {"dropped and made again alike",
       {"DROP TABLE t", "CREATE TABLE t (id INTEGER, v CHAR(10))", "remake", "INSERT INTO t VALUES (1, 'q')",
        "INSERT INTO t VALUES (2, 'r')", "INSERT INTO t VALUES (3, 's')", "DELETE FROM t WHERE id = 3"},
       "1|q\n2|r\n"},
      {"an index made and dropped again", {"CREATE INDEX tv ON t (v)", "DROP INDEX t.tv"}, "1|a\n3|c\n"},
      {"restructured to the same sizes", {"ALTER TABLE t DROP v, ADD v CHAR(10)"}, "1|NULL\n3|NULL\n"},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.what);
    TempFolder folder;
    auto db = open(folder.path());
    ASSERT_EQ(runElsewhere(folder.path(), change.statements), 0);
    EXPECT_EQ(db->run("SELECT * FROM t ORDER BY id"), change.after);
    db->run("INSERT INTO t VALUES (9, 'n')");
    db.reset();
    EXPECT_EQ(freshRows(folder.path(), "SELECT * FROM t ORDER BY id"), change.after + "9|n\n");
    expectSound(folder.path());
  }
}

// A writer of another process ends at any write of its commit, and the table is recovered by a
// third before this side takes it back: it then holds what it held (or the other's whole
// change), and this side's write after it, whose old bytes it may take from its copy of its own
// last write-out, lands on exactly that.
TEST_F(KeptOnACoarseClock, AWriteRolledBackElsewhereBetweenUsesLeavesTheTableAsItWas) {
  bool completed = false;
  for (uint64_t k = 1; k <= 60 && !completed; ++k) {
    SCOPED_TRACE("ended before write " + std::to_string(k));
    TempFolder folder;
    auto db = open(folder.path());
    const int code = runElsewhere(folder.path(),
                                  {"INSERT INTO t VALUES (2, 'x')", "UPDATE t SET v = 'C' WHERE id = 3",
                                   "INSERT INTO t VALUES (4, 'd')"},
                                  k);
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << code;
    completed = code == 0;
    const std::string after = completed ? "1|a\n2|x\n3|C\n4|d\n" : "1|a\n3|c\n";
    // The third process rolls back what the second left.
    EXPECT_EQ(freshRows(folder.path(), "SELECT * FROM t ORDER BY id"), after);
    EXPECT_EQ(db->run("SELECT * FROM t ORDER BY id"), after);
    db->run("UPDATE t SET v = 'y' WHERE id = 1");
    db->run("INSERT INTO t VALUES (9, 'n')");
    db.reset();
    EXPECT_EQ(freshRows(folder.path(), "SELECT * FROM t ORDER BY id"), "1|y" + after.substr(3) + "9|n\n");
    expectSound(folder.path());
  }
  EXPECT_TRUE(completed) << "the commit needs more writes than tried";
}

// A restructure that keeps a backup replaces the backup an earlier one left. Another process
// may hold those files for a moment: a table it kept before the earlier restructure moved its
// files is taken back, finds them renamed and lets go. The restructure waits for that, as it
// waits to rename the table's own files, instead of failing.
TEST(KeptBackup, ARestructureWaitsForAMomentsHoldOfTheBackupItReplaces) {
  TempFolder folder;
  SqlDatabase db(folder.path());
  db.run("CREATE TABLE t (id INTEGER, v CHAR(10))");
  db.run("INSERT INTO t VALUES (1, 'a')");
  db.run("ALTER TABLE t ADD w INTEGER");
  Helper holder([&](Helper& h) {
    auto file = platform::FileSystem::local().openFile(folder.file("t.DBK"), platform::OpenOptions{});
    if (!file) return 80;
    h.send('H');
    usleep(200000);
    return 0;
  });
  ASSERT_EQ(holder.receive(), 'H');
  EXPECT_EQ(db.rows("ALTER TABLE t ADD x INTEGER"), "");
  EXPECT_EQ(holder.wait(), 0);
  EXPECT_EQ(db.run("SELECT * FROM t"), "1|a|NULL|NULL\n");
}

}  // namespace
