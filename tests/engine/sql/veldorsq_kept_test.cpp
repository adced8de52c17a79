// A table whose last cursor closed stays open in its process for the next open of that table,
// while to every other process and every other session it is closed: whatever they do to it in
// between, the next open sees exactly the table they left, and it is opened as an open would be.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/storage/veldorfile.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/osfile.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/engine/storage/datafile_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tests/platform/test_seed.h"
#include "tools/engineserver/engineserver.h"

namespace {

using namespace engine;
using sql_test::makeAgainInPlace;
using storage_test::Helper;

// One session on the folder, for as long as the object lives.
class Database {
 public:
  explicit Database(const std::string& folder) : directory_(session_.OpenDataDirectory("db", folder)) {}
  ~Database() { session_.CloseDataDirectory(directory_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  TDataDirectory& directory() { return *directory_; }
  TDataSession& session() { return session_; }
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

// The process's watch of table folders for copy and swap markers is one descriptor made at the
// first look and kept for the process's life, not a table's: it is left out.
int openDescriptors() {
  int count = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(d)) {
      char target[64] = {};
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
          std::string_view(target) == "anon_inode:inotify")
        continue;
      ++count;
    }
    closedir(d);
  }
  return count;
}

// Runs `statements` on the folder in a child process, or, with `inProcess`, in a second session
// of this process; the statement "remake" runs makeAgainInPlace.
void runElsewhere(const std::string& folder, bool inProcess, const std::vector<std::string>& statements) {
  auto body = [&] {
    Database other(folder);
    for (const std::string& s : statements) {
      if (s == "remake")
        makeAgainInPlace(other.directory());
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

// A writer killed at any moment while this process keeps the table: the next open here shows
// the table as a fresh open shows it, never a half-written change, and every row alike.
TEST(KeptTable, AWriterKilledWhileTheTableIsKeptLeavesNothingHalfWrittenToSee) {
  platform::testing::TempFolder folder;
  Database db(folder.path());
  db.run("CREATE TABLE t (id INTEGER, v INTEGER, pad CHAR(200), PRIMARY KEY (id))");
  db.directory().StartTransaction();
  for (int i = 0; i < 400; ++i)
    db.run("INSERT INTO t (id, v, pad) VALUES (" + std::to_string(i) + ", 0, 'x')");
  db.directory().Commit(true, false);
  std::mt19937 rng(platform::testing::testSeed());
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const std::string before = db.rows("SELECT COUNT(*), MIN(v), MAX(v) FROM t");
    ASSERT_EQ(before.substr(0, 4), "400 ");
    Helper writer([&](Helper& h) {
      Database other(folder.path());
      h.send('R');
      for (;;) other.run("UPDATE t SET v = v + 1, pad = 'y'");
      return 0;
    });
    ASSERT_EQ(writer.receive(), 'R');
    ASSERT_GE(EngineFileList().Count(), 2u) << "the table was not kept";
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300000));
    writer.kill9();
    const std::string kept = db.rows("SELECT COUNT(*), MIN(v), MAX(v) FROM t");
    Database fresh(folder.path());
    EXPECT_EQ(fresh.rows("SELECT COUNT(*), MIN(v), MAX(v) FROM t"), kept);
    ASSERT_EQ(kept.substr(0, 4), "400 ");
    const size_t last = kept.rfind(' ');
    EXPECT_EQ(kept.substr(4, last - 4), kept.substr(last + 1)) << "a half-written change shows: " << kept;
  }
}

// Within a transaction a kept table is taken back as one of the transaction's tables: a rollback
// drops what the transaction did to it, a commit that goes on keeps it, and a table closed and
// opened again in between is still the transaction's.
TEST(KeptTable, TakenBackInsideATransactionIsTheTransactions) {
  platform::testing::TempFolder folder;
  Database db(folder.path());
  db.run("CREATE TABLE t (id INTEGER, v CHAR(10))");
  db.run("INSERT INTO t VALUES (1, 'a')");
  ASSERT_EQ(db.rows("SELECT * FROM t"), "1 a");
  TDataDirectory& d = db.directory();
  d.StartTransaction();
  db.run("INSERT INTO t VALUES (2, 'b')");
  EXPECT_EQ(db.rows("SELECT * FROM t"), "1 a|2 b");
  d.Rollback();
  EXPECT_EQ(db.rows("SELECT * FROM t"), "1 a");
  runElsewhere(folder.path(), false, {"INSERT INTO t VALUES (3, 'c')"});
  d.StartTransaction();
  db.run("INSERT INTO t VALUES (4, 'd')");
  d.Commit(false, false);
  db.run("UPDATE t SET v = 'D' WHERE id = 4");
  EXPECT_EQ(db.rows("SELECT * FROM t"), "1 a|3 c|4 D");
  d.Rollback();
  EXPECT_EQ(db.rows("SELECT * FROM t"), "1 a|3 c|4 d");
  // What the interim commit wrote is on disk for everyone.
  {
    Database fresh(folder.path());
    EXPECT_EQ(fresh.rows("SELECT * FROM t"), "1 a|3 c|4 d");
  }
  // And the table kept after the transaction shows a later change by another process.
  runElsewhere(folder.path(), false, {"DELETE FROM t WHERE id = 1"});
  EXPECT_EQ(db.rows("SELECT * FROM t"), "3 c|4 d");
}

// What another process does to the indexes or the memo file alone while the table is kept
// shows at the next open here.
TEST(KeptTable, IndexesAndMemosChangedByAnotherProcessShowAtTheNextOpen) {
  platform::testing::TempFolder folder;
  Database db(folder.path());
  db.run("CREATE TABLE t (id INTEGER, v CHAR(10), m BLOB(1, 1))");
  db.run("INSERT INTO t (id, v, m) VALUES (1, 'b', 'first memo')");
  db.run("INSERT INTO t (id, v, m) VALUES (2, 'a', 'second')");
  ASSERT_EQ(db.rows("SELECT id, m FROM t"), "1 first memo|2 second");
  runElsewhere(folder.path(), false, {"UPDATE t SET m = 'FIRST MEMO' WHERE id = 1"});
  EXPECT_EQ(db.rows("SELECT id, m FROM t"), "1 FIRST MEMO|2 second");
  runElsewhere(folder.path(), false, {"CREATE INDEX tv ON t (v)"});
  EXPECT_EQ(db.runFailure("DROP INDEX t.tv"), 0) << "the index made elsewhere is unknown here";
  runElsewhere(folder.path(), false, {"CREATE UNIQUE INDEX tv ON t (v)"});
  EXPECT_NE(db.runFailure("INSERT INTO t (id, v) VALUES (3, 'a')"), 0)
      << "a unique index made elsewhere is not kept";
  EXPECT_EQ(db.rows("SELECT id FROM t"), "1|2");
}

// A kept table whose folder is renamed or deleted is gone as a closed one would be: the next open
// does not show its rows, a table made anew under the old path is the one seen, and nothing of
// the old files stays open.
TEST(KeptTable, WhoseFolderIsRenamedOrDeletedIsGoneAndNothingOfItStaysOpen) {
  platform::testing::TempFolder root;
  const std::filesystem::path sub = std::filesystem::path(root.path()) / "db";
  std::filesystem::create_directory(sub);
  const int before = openDescriptors();
  {
    Database db(sub.string());
    db.run("CREATE TABLE t (id INTEGER)");
    db.run("INSERT INTO t VALUES (1)");
    ASSERT_EQ(db.rows("SELECT * FROM t"), "1");
    std::filesystem::rename(sub, std::filesystem::path(root.path()) / "moved");
    EXPECT_NE(db.failure("SELECT * FROM t"), 0);
    EXPECT_EQ(EngineFileList().Count(), 0u);
    std::filesystem::create_directory(sub);
    runElsewhere(sub.string(), false, {"CREATE TABLE t (id INTEGER)", "INSERT INTO t VALUES (2)"});
    EXPECT_EQ(db.rows("SELECT * FROM t"), "2");
    std::filesystem::remove_all(sub);
    EXPECT_NE(db.failure("SELECT * FROM t"), 0);
    EXPECT_EQ(EngineFileList().Count(), 0u);
    EXPECT_FALSE(db.directory().TableExists("t", false));
  }
  EXPECT_EQ(openDescriptors(), before);
}

// Another session of this process that opens the kept table exclusively has it as a closed
// table: the next open here is refused meanwhile, exactly as a fresh one, and then sees what the
// other session wrote.
TEST(KeptTable, AnExclusiveOpenByAnotherSessionOfThisProcessIsGrantedAndItsWritesShow) {
  platform::testing::TempFolder folder;
  Database db(folder.path());
  db.run("CREATE TABLE t (id INTEGER, v CHAR(10))");
  db.run("INSERT INTO t VALUES (1, 'a')");
  ASSERT_EQ(db.rows("SELECT * FROM t"), "1 a");
  Database other(folder.path());
  {
    TDataCursor c(other.directory());
    c.SetTableName("t");
    c.SetExclusive(true);
    c.Open();
    const uint16_t kept = db.failure("SELECT * FROM t");
    EXPECT_NE(kept, 0);
    Database fresh(folder.path());
    EXPECT_EQ(fresh.failure("SELECT * FROM t"), kept);
  }
  other.run("UPDATE t SET v = 'w'");
  EXPECT_EQ(db.rows("SELECT * FROM t"), "1 w");
}

// The engine server in this process serves remote sessions from the same file list as the local
// sessions: a table kept on either side shows what the other side wrote.
TEST(KeptTable, RemoteSessionsServedInThisProcessAndLocalOnesSeeEachOthersWrites) {
  platform::testing::TempFolder root;
  engineserver::EngineServer server(root.path(), {{"ann", "pw"}});
  TDataSession remote;
  remote.SetSessionType(stRemote);
  remote.SetRemoteType(true);
  remote.SetRemotePort(server.port());
  remote.SetTimeOut(5);
  remote.SetRemoteUser("ann");
  remote.SetRemotePassword("pw");
  remote.Connect();
  remote.Login();
  TDataDirectory* far = remote.OpenDataDirectory("db", "");
  auto runFar = [&](const std::string& text) {
    sql::TQueryStatement statement(*far);
    statement.Prepare(text);
    TDataCursor* c = statement.Execute();
    std::string out, field;
    if (!c) return out;
    std::vector<uint8_t> record(c->RecordSize());
    c->SetToBegin();
    while (c->GetNextRecord(record.data()) == 0) {
      if (!out.empty()) out += '|';
      out += sql::ColumnText(*c, 1, record.data(), field) ? field : std::string("NULL");
    }
    return out;
  };
  runFar("CREATE TABLE t (id INTEGER)");
  runFar("INSERT INTO t VALUES (1)");
  ASSERT_EQ(runFar("SELECT id FROM t"), "1");
  Database near(root.path() + "/db");
  EXPECT_EQ(near.rows("SELECT id FROM t"), "1");
  near.run("INSERT INTO t VALUES (2)");
  EXPECT_EQ(runFar("SELECT id FROM t"), "1|2");
  runFar("DELETE FROM t WHERE id = 1");
  EXPECT_EQ(near.rows("SELECT id FROM t"), "2");
  near.run("UPDATE t SET id = 3");
  EXPECT_EQ(runFar("SELECT id FROM t"), "3");
  remote.CloseDataDirectory(far);
}

// Sessions on several threads of this process reading and writing the same few tables: each
// one's opens take its kept tables back or find them let go by another's, and every count
// read is one that some write left.
TEST(KeptTables, SessionsOnSeveralThreadsTakeBackAndLetGoOfEachOthersTables) {
  constexpr int kThreads = 3, kRounds = 60;
  platform::testing::TempFolder folder;
  {
    Database db(folder.path());
    for (const char* t : {"a", "b", "c"}) db.run(std::string("CREATE TABLE ") + t + " (id INTEGER)");
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int n = 0; n < kThreads; ++n) {
    threads.emplace_back([&, n] {
      try {
        Database db(folder.path());
        for (int round = 0; round < kRounds; ++round) {
          const std::string t(1, char('a' + (round + n) % 3));
          db.run("INSERT INTO " + t + " VALUES (" + std::to_string(n) + ")");
          const int mine =
              std::stoi(db.rows("SELECT COUNT(*) FROM " + t + " WHERE id = " + std::to_string(n)));
          // This thread's own rows in that table: every round that wrote it so far.
          int expected = 0;
          for (int r = 0; r <= round; ++r) expected += (r + n) % 3 == (round + n) % 3;
          if (mine != expected) ++failures;
        }
      } catch (const EVELDOREngineError&) {
        ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  Database db(folder.path());
  EXPECT_EQ(db.rows("SELECT COUNT(*) FROM a") + db.rows("SELECT COUNT(*) FROM b") +
                db.rows("SELECT COUNT(*) FROM c"),
            std::to_string(kThreads * kRounds / 3) + std::to_string(kThreads * kRounds / 3) +
                std::to_string(kThreads * kRounds / 3));
}

// A kept table that cannot be taken back (its file was touched) lets go of its files without
// ever leaving one open without the share mode: another session of this process that opens the
// table meanwhile has it as every open has it, so that no other process can open it exclusively.
TEST(KeptTable, ThatCannotBeTakenBackNeverLeavesAnotherSessionAFileWithoutItsShareMode) {
  platform::testing::TempFolder folder;
  {
    Database db(folder.path());
    db.run("CREATE TABLE t (id INTEGER)");
    db.run("INSERT INTO t VALUES (1)");
  }
  std::string dataFile;
  for (const auto& e : std::filesystem::directory_iterator(folder.path()))
    if (e.path().extension() == kDataFileExt) dataFile = e.path().string();
  ASSERT_FALSE(dataFile.empty());
  std::atomic<bool> done{false};
  std::atomic<int> unshared{0}, opens{0};
  auto read = [&] {
    Database db(folder.path());
    while (!done) {
      TDataCursor c(db.directory());
      c.SetTableName("t");
      c.Open();
      ++opens;
      if (!platform::FileSystem::local().openAnywhereAsSpelt(dataFile)) ++unshared;
    }
  };
  std::thread readers[] = {std::thread(read), std::thread(read)};
  {
    Database db(folder.path());
    for (int round = 0; round < 1200 && unshared == 0; ++round) {
      db.rows("SELECT id FROM t");
      // A new change time: the next open here cannot take the kept table back.
      ::utimensat(AT_FDCWD, dataFile.c_str(), nullptr, 0);
    }
  }
  done = true;
  for (std::thread& t : readers) t.join();
  EXPECT_GT(opens.load(), 0);
  EXPECT_EQ(unshared.load(), 0) << "an open table held no share mode, of " << opens.load() << " opens";
}

// Headers rewritten in place by another process, the sizes unchanged (the table's description
// and an index's name), show at the next open of the kept table here.
TEST(KeptTable, HeadersRewrittenInPlaceByAnotherProcessShowAtTheNextOpen) {
  platform::testing::TempFolder folder;
  Database db(folder.path());
  db.run("CREATE TABLE t (id INTEGER, v CHAR(10))");
  db.run("CREATE INDEX tv ON t (v)");
  db.run("INSERT INTO t VALUES (1, 'a')");
  auto seen = [&] {
    TDataCursor c(db.directory());
    c.SetTableName("t");
    c.Open();
    return c.GetDescription() + (c.IndexExists("tw") ? " tw" : "") + (c.IndexExists("tv") ? " tv" : "");
  };
  ASSERT_EQ(seen(), " tv");
  Helper child([&](Helper&) {
    Database other(folder.path());
    TDataCursor c(other.directory());
    c.SetTableName("t");
    c.SetExclusive(true);
    c.Open();
    c.SetHeaderInfo(0, 0, "renamed");
    for (uint8_t slot = 0; slot <= c.Table()->IndexFile().GetIndexCount(); ++slot) {
      TIndexDescriptor d = c.Table()->IndexFile().GetIndexDescriptor(slot);
      if (d.name == "tv") {
        d.name = "tw";
        c.SetIndexNameAndFields(slot, d);
      }
    }
    return 0;
  });
  ASSERT_EQ(child.wait(), 0);
  EXPECT_EQ(seen(), "renamed tw");
}

// Another process restructures the kept table with a password this session does not know, and
// then again without changing anything but the description (a restructure in place): the next
// open here asks for the password as a fresh open does, and sees the new description.
TEST(KeptTable, APasswordOrDescriptionGivenByARestructureElsewhereHoldsAtTheNextOpen) {
  platform::testing::TempFolder folder;
  Database db(folder.path());
  db.session().AddPassword("old");
  {
    TCreateTableArgs args;
    args.Fields.push_back(datafile_test::field(1, "ID", kFieldTypeInteger));
    args.BlobBlockSize = 512;
    args.Indexes.resize(1);
    args.NoPrimaryIndex = true;
    args.Encrypted = true;
    args.Password = "old";
    TDataCursor c(db.directory());
    c.SetTableName("t");
    c.SetExclusive(true);
    c.CreateTable(args);
  }
  db.run("INSERT INTO t VALUES (1)");
  ASSERT_EQ(db.rows("SELECT * FROM t"), "1");
  auto restructure = [&](bool newPassword) {
    Helper child([&](Helper&) {
      Database other(folder.path());
      other.session().AddPassword("old");
      other.session().AddPassword("new");
      TDataCursor c(other.directory());
      c.SetTableName("t");
      c.SetExclusive(true);
      c.Open();
      TRestructureArgs args;
      const TDataFile& data = c.Table()->DataFile();
      for (uint16_t p = 1; p <= data.GetFieldCount(); ++p) args.Fields.push_back(*data.GetFieldDescriptor(p));
      args.BlobBlockSize = uint16_t(data.GetBlobBlockSize());
      args.Indexes.resize(1);
      args.NoPrimaryIndex = true;
      args.Encrypted = true;
      args.Password = newPassword ? "new" : data.GetPassword();
      args.Description = "described";
      args.NoBackup = true;
      c.Close();
      c.RestructureTable(args);
      return 0;
    });
    return child.wait();
  };
  ASSERT_EQ(restructure(false), 0);
  EXPECT_EQ(db.rows("SELECT * FROM t"), "1");
  {
    TDataCursor c(db.directory());
    c.SetTableName("t");
    c.Open();
    EXPECT_EQ(c.GetDescription(), "described");
  }
  ASSERT_EQ(restructure(true), 0);
  const uint16_t kept = db.failure("SELECT * FROM t");
  EXPECT_NE(kept, 0) << "the kept table was read with the old password";
  Database fresh(folder.path());
  fresh.session().AddPassword("old");
  EXPECT_EQ(fresh.failure("SELECT * FROM t"), kept);
}

// A take-back looks for the table's copy and swap markers; a folder holding none at all is told
// apart from one holding another table's. Beside other tables' markers, as without any, each
// take-back shows what another process did while the table was kept, and the markers stay.
TEST(KeptTable, TakenBackBesideOtherTablesMarkersShowsWhatAnotherProcessDid) {
  platform::testing::TempFolder folder;
  Database db(folder.path());
  db.run("CREATE TABLE t (id INTEGER, v CHAR(10))");
  db.run("INSERT INTO t VALUES (1, 'a')");
  ASSERT_EQ(db.rows("SELECT * FROM t"), "1 a");
  const std::string copyMarker = folder.path("zz.cpy"), swapMarker = folder.path("Other.SWP");
  platform::testing::writeFile(copyMarker, "");
  platform::testing::writeFile(swapMarker, "");
  runElsewhere(folder.path(), false, {"INSERT INTO t VALUES (2, 'b')"});
  EXPECT_EQ(db.rows("SELECT * FROM t"), "1 a|2 b");
  db.run("UPDATE t SET v = 'c' WHERE id = 2");
  runElsewhere(folder.path(), false, {"UPDATE t SET v = 'd' WHERE id = 1"});
  EXPECT_EQ(db.rows("SELECT * FROM t"), "1 d|2 c");
  EXPECT_TRUE(std::filesystem::exists(copyMarker));
  EXPECT_TRUE(std::filesystem::exists(swapMarker));
  std::filesystem::remove(copyMarker);
  std::filesystem::remove(swapMarker);
  runElsewhere(folder.path(), false, {"DELETE FROM t WHERE id = 1"});
  EXPECT_EQ(db.rows("SELECT * FROM t"), "2 c");
  db.run("UPDATE t SET v = 'e' WHERE id = 2");
  runElsewhere(folder.path(), false, {"ALTER TABLE t ADD w INTEGER", "UPDATE t SET w = 7"});
  EXPECT_EQ(db.rows("SELECT * FROM t"), "2 e 7");
}

}  // namespace
