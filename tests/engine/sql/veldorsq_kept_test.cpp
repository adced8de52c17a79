// A table whose last cursor closed stays open in its process for the next open of that table,
// while to every other process and every other session it is closed: whatever they do to it in
// between, the next open sees exactly the table they left, and it is opened as an open would be.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/storage/veldorfile.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tests/platform/test_seed.h"

namespace {

using namespace engine;
using storage_test::Helper;

// One session on the folder, for as long as the object lives.
class Database {
 public:
  explicit Database(const std::string& folder) : directory_(session_.OpenDataDirectory("db", folder)) {}
  ~Database() { session_.CloseDataDirectory(directory_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  TDataDirectory& directory() { return *directory_; }
  void run(const std::string& text) {
    sql::TQueryStatement statement(*directory_);
    statement.Prepare(text);
    statement.Execute();
  }
  // The rows of a query, each as its columns' texts joined by blanks, rows joined by '|'.
  std::string rows(const std::string& query) {
    sql::TQueryStatement statement(*directory_);
    statement.Prepare(query);
    TDataCursor* c = statement.Execute();
    std::vector<uint8_t> record(c->RecordSize());
    std::string out, text;
    c->SetToBegin();
    while (c->GetNextRecord(record.data()) == 0) {
      if (!out.empty()) out += '|';
      for (uint16_t f = 1; f <= c->FieldCount(); ++f)
        out +=
            (f > 1 ? " " : "") + (sql::ColumnText(*c, f, record.data(), text) ? text : std::string("NULL"));
    }
    return out;
  }
  // The engine error code of a query, 0 when it runs.
  uint16_t failure(const std::string& query) {
    try {
      rows(query);
      return 0;
    } catch (const EVELDOREngineError& e) {
      return e.ErrorCode();
    }
  }
  // The engine error code of a statement, 0 when it runs.
  uint16_t runFailure(const std::string& text) {
    try {
      run(text);
      return 0;
    } catch (const EVELDOREngineError& e) {
      return e.ErrorCode();
    }
  }

 private:
  TDataSession session_;
  TDataDirectory* directory_;
};

int openDescriptors() {
  int count = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++count;
    closedir(d);
  }
  return count;
}

// Makes table "t" again over its own files, with the fields it has: the same files, emptied and
// written anew, rather than new ones under the old name.
void makeAgainInPlace(Database& db) {
  TCreateTableArgs args;
  {
    TDataCursor c(db.directory());
    c.SetTableName("t");
    c.Open();
    const TDataFile& data = c.Table()->DataFile();
    for (uint16_t p = 1; p <= data.GetFieldCount(); ++p) args.Fields.push_back(*data.GetFieldDescriptor(p));
    args.BlobBlockSize = uint16_t(data.GetBlobBlockSize());
  }
  args.Indexes.resize(1);
  args.NoPrimaryIndex = true;
  args.Overwrite = true;
  TDataCursor c(db.directory());
  c.SetTableName("t");
  c.SetExclusive(true);
  c.CreateTable(args);
}

// Runs `statements` on the folder in a child process, or, with `inProcess`, in a second session
// of this process; the statement "remake" runs makeAgainInPlace.
void runElsewhere(const std::string& folder, bool inProcess, const std::vector<std::string>& statements) {
  auto body = [&] {
    Database other(folder);
    for (const std::string& s : statements) {
      if (s == "remake")
        makeAgainInPlace(other);
      else
        other.run(s);
    }
  };
  if (inProcess) {
    body();
    return;
  }
  Helper child([&](Helper&) {
    body();
    return 0;
  });
  ASSERT_EQ(child.wait(), 0) << "the other process failed";
}

struct Change {
  const char* what;
  std::vector<std::string> statements;
  std::string after;
};

class KeptTables : public ::testing::TestWithParam<bool> {};

TEST_P(KeptTables, WhatOthersDidWhileTheTableWasKeptShowsAtTheNextOpen) {
  const bool inProcess = GetParam();
  const std::vector<Change> changes = {
      {"rows written",
       {"INSERT INTO t VALUES (4, 'd')", "UPDATE t SET v = 'B' WHERE id = 2", "DELETE FROM t WHERE id = 1"},
       "2 B|3 c|4 d"},
      {"one row changed to the same length", {"UPDATE t SET v = 'z' WHERE id = 3"}, "1 a|2 b|3 z"},
      {"emptied", {"DELETE FROM t"}, ""},
      {"restructured", {"ALTER TABLE t ADD w INTEGER", "UPDATE t SET w = id * 10"}, "1 a 10|2 b 20|3 c 30"},
      {"deleted and made again with other columns",
       {"DROP TABLE t", "CREATE TABLE t (name CHAR(10), id INTEGER)", "INSERT INTO t VALUES ('x', 7)"},
       "x 7"},
      {"deleted and made again alike, with other rows",
       {"DROP TABLE t", "CREATE TABLE t (id INTEGER, v CHAR(10))", "INSERT INTO t VALUES (1, 'q')",
        "INSERT INTO t VALUES (2, 'r')", "INSERT INTO t VALUES (3, 's')"},
       "1 q|2 r|3 s"},
      // The same files, the same sizes and, likely, the same change counters as the kept table's.
      {"made again in place, alike, with other rows",
       {"remake", "INSERT INTO t VALUES (1, 'q')", "INSERT INTO t VALUES (2, 'r')",
        "INSERT INTO t VALUES (3, 's')"},
       "1 q|2 r|3 s"},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.what);
    platform::testing::TempFolder folder;
    Database db(folder.path());
    db.run("CREATE TABLE t (id INTEGER, v CHAR(10))");
    for (const char* row : {"(1, 'a')", "(2, 'b')", "(3, 'c')"})
      db.run(std::string("INSERT INTO t VALUES ") + row);
    ASSERT_EQ(db.rows("SELECT * FROM t"), "1 a|2 b|3 c");
    ASSERT_GE(EngineFileList().Count(), 2u) << "the table was not kept";
    runElsewhere(folder.path(), inProcess, change.statements);
    EXPECT_EQ(db.rows("SELECT * FROM t"), change.after);
    // And this side's own writes land on the table the other side left.
    db.run("INSERT INTO t (id) VALUES (9)");
    EXPECT_EQ(db.rows("SELECT COUNT(*) FROM t WHERE id = 9"), "1");
    runElsewhere(folder.path(), inProcess, {"DELETE FROM t WHERE id = 9"});
    EXPECT_EQ(db.rows("SELECT COUNT(*) FROM t WHERE id = 9"), "0");
  }
}

INSTANTIATE_TEST_SUITE_P(ByAnother, KeptTables, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Session" : "Process"; });

// The kept table holds no lock: another process opens it exclusively. Meanwhile this process's
// next open is refused exactly as a fresh open is, and once the other lets go it sees its change.
TEST(KeptTable, HoldsNoLockAndIsOpenedAgainAsAFreshOpenWouldBe) {
  platform::testing::TempFolder folder;
  Database db(folder.path());
  db.run("CREATE TABLE t (id INTEGER, v CHAR(10))");
  db.run("INSERT INTO t VALUES (1, 'a')");
  ASSERT_EQ(db.rows("SELECT * FROM t"), "1 a");
  Helper holder([&](Helper& h) {
    Database other(folder.path());
    TDataCursor c(other.directory());
    c.SetTableName("t");
    c.SetExclusive(true);
    c.Open();
    h.send('H');
    if (h.receive() != 'W') return 90;
    c.Close();
    other.run("UPDATE t SET v = 'w'");
    h.send('D');
    return 0;
  });
  ASSERT_EQ(holder.receive(), 'H') << "the kept table kept another process from opening it exclusively";
  const uint16_t kept = db.failure("SELECT * FROM t");
  EXPECT_NE(kept, 0);
  {
    Database fresh(folder.path());
    EXPECT_EQ(fresh.failure("SELECT * FROM t"), kept);
  }
  holder.send('W');
  ASSERT_EQ(holder.receive(), 'D');
  EXPECT_EQ(holder.wait(), 0);
  EXPECT_EQ(db.rows("SELECT * FROM t"), "1 w");
  // Kept again, it can be dropped by another process, and is then gone here too.
  runElsewhere(folder.path(), false, {"DROP TABLE t"});
  EXPECT_NE(db.failure("SELECT * FROM t"), 0);
}

// Within one process the kept table is closed to this session's own file operations too: its
// files can be renamed away and deleted while it is kept.
TEST(KeptTable, ItsFilesAreRenamedAndDeletedByThisProcessAsClosedOnes) {
  platform::testing::TempFolder folder;
  Database db(folder.path());
  db.run("CREATE TABLE t (id INTEGER)");
  db.run("INSERT INTO t VALUES (1)");
  ASSERT_EQ(db.rows("SELECT * FROM t"), "1");
  ASSERT_EQ(db.directory().RenameTable("t", "u", false, false), 0);
  EXPECT_NE(db.failure("SELECT * FROM t"), 0);
  EXPECT_EQ(db.rows("SELECT * FROM u"), "1");
  ASSERT_EQ(db.directory().DeleteTable("u", false), 0);
  EXPECT_FALSE(db.directory().TableExists("u", false));
}

// A directory keeps a few tables, not every table it ever opened, and lets them all go when it
// closes: no file stays open.
TEST(KeptTables, AreFewAndAllGoWhenTheDirectoryCloses) {
  platform::testing::TempFolder folder;
  const int before = openDescriptors();
  {
    Database db(folder.path());
    for (int i = 0; i < 20; ++i) {
      const std::string t = "t" + std::to_string(i);
      db.run("CREATE TABLE " + t + " (id INTEGER)");
      db.run("INSERT INTO " + t + " VALUES (" + std::to_string(i) + ")");
      ASSERT_EQ(db.rows("SELECT * FROM " + t), std::to_string(i));
    }
    // Two files a table: 40 if every table were kept.
    EXPECT_GT(EngineFileList().Count(), 0u);
    EXPECT_LT(EngineFileList().Count(), 20u);
  }
  EXPECT_EQ(EngineFileList().Count(), 0u);
  EXPECT_EQ(openDescriptors(), before);
}

// A cursor that opens a table as temporary has its files go at its close, whether or not the table
// was kept from an earlier open.
TEST(KeptTable, OpenedAsTemporaryGoesAtItsCloseAsAFreshOpenWould) {
  auto openTemporarilyAndClose = [](Database& db) {
    TDataCursor c(db.directory());
    c.SetTableName("t");
    c.SetTemporary(true);
    c.Open();
    c.Close();
  };
  platform::testing::TempFolder freshFolder, keptFolder;
  bool freshExists = false;
  {
    Database fresh(freshFolder.path());
    fresh.run("CREATE TABLE t (id INTEGER)");
    fresh.run("INSERT INTO t VALUES (1)");
  }
  {
    Database fresh(freshFolder.path());
    openTemporarilyAndClose(fresh);
    freshExists = fresh.directory().TableExists("t", false);
  }
  Database db(keptFolder.path());
  db.run("CREATE TABLE t (id INTEGER)");
  db.run("INSERT INTO t VALUES (1)");
  ASSERT_EQ(db.rows("SELECT * FROM t"), "1");
  openTemporarilyAndClose(db);
  EXPECT_EQ(db.directory().TableExists("t", false), freshExists);
}

// Kept tables are few in the whole process, not only in each directory: a process with many
// directories open does not run out of file descriptors where it would not without them.
TEST(KeptTables, AreFewInTheWholeProcessSoThatManyDirectoriesDoNotExhaustTheDescriptors) {
  constexpr int kFolders = 12, kTables = 8;
  std::vector<std::unique_ptr<platform::testing::TempFolder>> folders;
  for (int f = 0; f < kFolders; ++f) {
    folders.push_back(std::make_unique<platform::testing::TempFolder>());
    Database db(folders.back()->path());
    for (int t = 0; t < kTables; ++t) {
      db.run("CREATE TABLE t" + std::to_string(t) + " (id INTEGER, m BLOB(1, 1))");
      db.run("INSERT INTO t" + std::to_string(t) + " (id) VALUES (" + std::to_string(t) + ")");
    }
  }
  Helper child([&](Helper&) {
    // Room for what one table at a time needs, and far less than every kept file of every
    // directory.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = rlim_t(openDescriptors() + 96);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 80;
    std::vector<std::unique_ptr<Database>> open;
    for (int f = 0; f < kFolders; ++f) {
      open.push_back(std::make_unique<Database>(folders[size_t(f)]->path()));
      for (int t = 0; t < kTables; ++t) {
        try {
          if (open.back()->rows("SELECT id FROM t" + std::to_string(t)) != std::to_string(t)) return 81;
        } catch (const EVELDOREngineError&) {
          return 82;
        }
      }
    }
    return 0;
  });
  EXPECT_EQ(child.wait(), 0);
}

}  // namespace
