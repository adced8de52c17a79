// Database directories: one object per folder of a session, the in-memory database, the rules of
// table opens, table rename, delete and temporary names, and transactions between processes.
#include "engine/tables/veldordirectory.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "table_test_util.h"

namespace engine {
namespace {

using namespace table_test;
namespace fs = std::filesystem;

// ---- Directories ----

TEST(DirectorySharing, MemoryWithoutAFolderIsOneDirectoryUntilClosedTwiceByItsSession) {
  TDataSession session;
  TDataDirectory* a = session.OpenDataDirectory("Memory", "");
  TDataDirectory* b = session.OpenDataDirectory(" memory ", "");
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->OpenCount(), 2);
  EXPECT_EQ(a->Path(), "");
  TDataSession other;
  other.CloseDataDirectory(a);  // not that session's: nothing happens
  EXPECT_EQ(a->OpenCount(), 2);
  session.CloseDataDirectory(a);
  EXPECT_EQ(session.DirectoryCount(), 1u);
  session.CloseDataDirectory(a);
  EXPECT_EQ(session.DirectoryCount(), 0u);
  session.CloseDataDirectory(a);  // closed twice: nothing happens
}

TEST(DirectorySharing, SpellingsOfOneFolderShareOneDirectory) {
  TempDir dir;
  fs::create_directory(dir.file("db"));
  fs::create_directory_symlink(dir.file("db"), dir.file("link"));
  TDataSession session;
  TDataDirectory* a = session.OpenDataDirectory("one", dir.file("db"));
  int n = 0;
  for (const std::string& s : {"  " + dir.file("db") + "/ ", dir.path() + "/./x/../db", dir.file("link")})
    EXPECT_EQ(session.OpenDataDirectory("alias" + std::to_string(++n), s), a) << s;
  EXPECT_EQ(a->OpenCount(), 4);
  EXPECT_EQ(a->Path().back(), '/');
}

TEST(DirectorySharing, FoldersThatDifferOnlyInCaseAreTwoDirectories) {
  TempDir dir;
  fs::create_directory(dir.file("db"));
  TDataSession session;
  // While only "db" exists, "DB" names it.
  TDataDirectory* lower = session.OpenDataDirectory("a", dir.file("db"));
  EXPECT_EQ(session.OpenDataDirectory("b", dir.file("DB")), lower);
  fs::create_directory(dir.file("DB"));
  TDataDirectory* upper = session.OpenDataDirectory("c", dir.file("DB"));
  EXPECT_NE(upper, lower);
  EXPECT_EQ(upper->Path(), dir.file("DB") + "/");
}

TEST(DirectorySharing, EmptyFolderMeansTheWorkingDirectory) {
  TDataSession session;
  TDataDirectory* a = session.OpenDataDirectory("db", "");
  EXPECT_EQ(a->Path(), CanonicalDirectoryPath(session.WorkingDirectory()));
  EXPECT_EQ(session.OpenDataDirectory("other", session.WorkingDirectory()), a);
}

TEST(DirectorySharing, RemoteSessionWithoutAServerRefusesAndFindsByNameWithoutRequest) {
  TDataSession session;
  session.SetSessionType(stRemote);
  EXPECT_EQ(errorOf([&] { session.OpenDataDirectory("sales", ""); }), VELDOR_REMOTECONNECT);
  TDataDirectory* a = session.OpenDataDirectory("Remote_Query", "", true);
  EXPECT_EQ(session.OpenDataDirectory(" remote_query", "", true), a);
  EXPECT_EQ(a->Path(), "");
}

// ---- Tables in a directory ----

class DirectoryTables : public ::testing::Test {
 protected:
  void SetUp() override { Database(dir.path()).create(3); }
  int32_t open(TDataTable*& t, bool exclusive, bool clone = false) {
    return db.directory->OpenTable("items", t, false, false, false, false, clone, exclusive);
  }
  TempDir dir;
  Database db{dir.path()};
};

TEST_F(DirectoryTables, CursorsOfASessionShareOneTableObject) {
  TDataTable *a = nullptr, *b = nullptr;
  ASSERT_EQ(open(a, false), 0);
  ASSERT_EQ(db.directory->OpenTable(" ITEMS.dat ", b, false, false, false, false, false, false), 0);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->GetOpenCount(), 2);
  EXPECT_EQ(a->GetUserCount(), 2);
  EXPECT_EQ(db.directory->CloseTable(a, false, false, false), 0);
  EXPECT_EQ(db.directory->Tables().size(), 1u);
  EXPECT_EQ(db.directory->CloseTable(a, false, false, false), 0);
  EXPECT_TRUE(db.directory->Tables().empty());
  EXPECT_EQ(db.directory->CloseTable(a, false, false, false), kTableNotFound);
}

// Spellings that differ in ASCII case, blanks or the ".DAT" ending name one table, open or kept;
// a letter outside ASCII in another case names another table, and so does a long name that differs
// only where the data file's name is cut.
TEST_F(DirectoryTables, SpellingsOfATableNameDifferOnlyInAsciiCaseBlanksAndTheDataEnding) {
  db.create(2, "w\xC3\xA4re");
  TDataTable& t = db.open("w\xC3\xA4re");
  for (const char* same : {"W\xC3\xA4RE", " w\xC3\xA4re.DAT ", "W\xC3\xA4re.dat"}) {
    EXPECT_TRUE(db.directory->TableExists(same, false)) << same;
    EXPECT_EQ(&db.open(same), &t) << same;
  }
  EXPECT_EQ(db.directory->RenameTable("W\xC3\xA4RE.dat", "other", false, false), kTableInUse);
  EXPECT_NE(errorOf([&] { db.open("w\xC3\x84re"); }), 0);
  while (t.GetOpenCount() > 0) db.close(t);
  EXPECT_TRUE(db.directory->Tables().empty());
  // Kept under its name; taken back, or let go for another spelling of it.
  EXPECT_EQ(&db.open("w\xC3\xA4re"), &t);
  db.close(t);
  TDataTable& again = db.open("W\xC3\xA4RE.DAT");
  expectItem(again, 2, 2);
  db.close(again);
  EXPECT_EQ(db.directory->RenameTable("W\xC3\xA4RE", "other", false, false), 0);
  EXPECT_EQ(filesOf(dir, "other"), "DAT IDX BLB");

  // In memory, at the longest name whose data file name is not cut (255 bytes with ".DAT").
  TDataDirectory& memory = *db.session.OpenDataDirectory("Memory", "");
  const std::string stem(248, 'm');
  TDataTable* longest = nullptr;
  ASSERT_EQ(memory.CreateTable(stem + "abc", itemsDefinition(), true, false, longest), 0);
  EXPECT_TRUE(memory.TableExists(stem + "ABC.DAT", true));
  EXPECT_TRUE(memory.TableExists(" " + stem + "abC ", true));
  EXPECT_FALSE(memory.TableExists(stem + "abd", true));
  EXPECT_FALSE(memory.TableExists(stem + "abcd", true));
  EXPECT_FALSE(memory.TableExists(stem + "ab", true));
  memory.CloseTable(longest, false, false, false);
  db.session.CloseDataDirectory(&memory);
}

// File names are cut to 255 bytes: up to 253 bytes a name keeps one letter of each extension and
// its table works; a longer one, whose three files would share one name, is refused with its own
// error at create and rename, and nothing is written or moved.
TEST_F(DirectoryTables, ANameTooLongForThreeDistinctFileNamesIsRefusedAtCreateAndRename) {
  const auto entries = [&] {
    return std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator());
  };
  const std::string longest(253, 'n');
  db.create(2, longest);
  TDataTable& t = db.open(longest);
  expectItem(t, 2, 2);
  db.close(t);
  const auto before = entries();
  for (size_t n : {254u, 255u}) {
    TDataTable* created = nullptr;
    EXPECT_EQ(errorOf([&] {
                db.directory->CreateTable(std::string(n, 'm'), itemsDefinition(), false, false, created);
              }),
              VELDOR_TABLENAMETOOLONG)
        << n;
    EXPECT_EQ(entries(), before) << n;
    EXPECT_EQ(errorOf([&] { db.directory->RenameTable("items", std::string(n, 'm'), false, false); }),
              VELDOR_TABLENAMETOOLONG)
        << n;
    EXPECT_EQ(filesOf(dir, "items"), "DAT IDX BLB");
    EXPECT_EQ(entries(), before) << n;
  }
  expectItem(db.open("items"), 3, 3);
  const std::string message = GetEngineErrorMessage(VELDOR_TABLENAMETOOLONG);
  EXPECT_NE(message.find("too long"), std::string::npos) << message;
}

TEST_F(DirectoryTables, QueryOpensCountAsUsersOnlyWhenBothOrNeitherFlagIsSet) {
  TDataTable *a = nullptr, *b = nullptr;
  ASSERT_EQ(db.directory->OpenTable("items", a, true, false, false, false, false, false), 0);
  EXPECT_EQ(a->GetUserCount(), 0);
  ASSERT_EQ(db.directory->OpenTable("items", b, true, true, false, false, false, false), 0);
  EXPECT_EQ(a->GetUserCount(), 1);
}

TEST_F(DirectoryTables, ExclusiveOpensConflictWithOtherCursorsEvenInATransaction) {
  TDataTable *shared = nullptr, *other = nullptr;
  ASSERT_EQ(open(shared, false), 0);
  EXPECT_EQ(open(other, true), kTableInUse);
  db.directory->StartTransaction();
  EXPECT_EQ(open(other, true), kTableInUse);
  EXPECT_EQ(open(other, true, true), 0);  // a clone shares its source's table
  EXPECT_EQ(other, shared);
  db.directory->Rollback();
  db.directory->CloseTable(shared, false, false, false);
  db.directory->CloseTable(shared, false, false, false);

  TDataTable *exclusive = nullptr, *second = nullptr;
  ASSERT_EQ(open(exclusive, true), 0);
  EXPECT_EQ(open(second, false), kTableInUse);
  EXPECT_EQ(open(second, true), kTableInUse);
  db.directory->StartTransaction();
  EXPECT_EQ(open(second, false), kTableInUse);
  db.directory->Commit(true, false);
}

TEST_F(DirectoryTables, TableThatOnlyTheTransactionKeepsOpensAgainButNotExclusively) {
  TDataTable* t = nullptr;
  ASSERT_EQ(open(t, false), 0);
  db.directory->StartTransaction();
  db.directory->CloseTable(t, false, false, false);
  ASSERT_EQ(db.directory->Tables().size(), 1u);
  TDataTable* again = nullptr;
  EXPECT_EQ(open(again, true), kTableInUse);
  ASSERT_EQ(open(again, false), 0);
  EXPECT_EQ(again, t);
  db.directory->Commit(true, false);
  db.directory->CloseTable(t, false, false, false);
}

TEST_F(DirectoryTables, CreateRefusesAnOpenTable) {
  db.open();
  TDataTable* created = nullptr;
  EXPECT_EQ(db.directory->CreateTable("items", itemsDefinition(), false, false, created), kTableInUse);
  ASSERT_EQ(db.directory->CreateTable("more", itemsDefinition(), false, false, created), 0);
  EXPECT_TRUE(created->IsExclusive());
  EXPECT_EQ(filesOf(dir, "more"), "DAT IDX BLB");
  EXPECT_EQ(fs::file_size(dir.file("more.BLB")), 512u);
}

TEST_F(DirectoryTables, RenameAndDeleteRefuseOpenTablesAndWorkOnClosedOnes) {
  TDataTable& t = db.open();
  EXPECT_EQ(db.directory->RenameTable("items", "goods", false, false), kTableInUse);
  EXPECT_EQ(db.directory->DeleteTable("items", false), kTableInUse);
  db.close(t);
  ASSERT_EQ(db.directory->RenameTable("items", "goods", false, false), 0);
  EXPECT_FALSE(db.directory->TableExists("items", false));
  EXPECT_TRUE(db.directory->TableExists("goods", false));
  EXPECT_EQ(filesOf(dir, "goods"), "DAT IDX BLB");
  TDataTable& goods = db.open("goods");
  expectItem(goods, 2, 2);
  db.close(goods);
  ASSERT_EQ(db.directory->DeleteTable("goods", false), 0);
  EXPECT_EQ(filesOf(dir, "goods"), "");
}

TEST_F(DirectoryTables, RenameToBackupReplacesAnEarlierBackup) {
  datafile_test::writeFileBytes(dir.file("items.DBK"), {1, 2, 3});
  ASSERT_EQ(db.directory->RenameTable("items", "items", true, false), 0);
  EXPECT_EQ(filesOf(dir, "items"), "DBK IBK BBK");
  EXPECT_GT(fs::file_size(dir.file("items.DBK")), 3u);
}

TEST_F(DirectoryTables, RenameOntoAnExistingTableFailsAndRenamesNothing) {
  db.create(1, "goods");
  EXPECT_NE(errorOf([&] { db.directory->RenameTable("items", "goods", false, false); }), 0);
  EXPECT_EQ(errorOf([&] { db.directory->RenameTable("items", "goods", false, false); }), VELDOR_TABLEEXISTS);
  try {
    db.directory->RenameTable("items", "goods", false, false);
    ADD_FAILURE() << "renamed onto an existing table";
  } catch (const EVELDOREngineError& e) {
    EXPECT_NE(std::string(e.what()).find("'goods'"), std::string::npos) << e.what();
  }
  EXPECT_EQ(filesOf(dir, "items"), "DAT IDX BLB");
  EXPECT_EQ(db.open("goods").DataFile().GetLastRecordNumber(), 1u);
}

TEST_F(DirectoryTables, TemporaryNamesAreTakenOnDiskAndNeverReused) {
  auto ending = [](const std::string& name) {
    return name.substr(name.size() - std::min<size_t>(5, name.size()));
  };
  const std::string first = db.directory->MakeTempTableName(false);
  EXPECT_EQ(ending(first), "0.DAT");
  EXPECT_TRUE(fs::exists(dir.file(first)));
  const std::string second = db.directory->MakeTempTableName(false);
  EXPECT_NE(second, first);
  EXPECT_EQ(ending(second), "1.DAT");
  EXPECT_TRUE(db.directory->TableExists(second, false));
  EXPECT_EQ(ending(db.directory->MakeTempTableName(true)), "0.DAT");
}

TEST_F(DirectoryTables, OpenTableOfAMissingTableRaisesAndLeavesNothing) {
  TDataTable* t = nullptr;
  EXPECT_EQ(errorOf([&] { db.directory->OpenTable("none", t, false, false, false, false, false, false); }),
            VELDOR_OSENOENT);
  EXPECT_TRUE(db.directory->Tables().empty());
}

// ---- Transactions ----

class Transactions : public ::testing::Test {
 protected:
  void SetUp() override { Database(dir.path()).create(3); }
  // A process with the table open that has read it (record 2 into its cache) and reports 'r';
  // told 'c', it reads again and answers 'y' when `holds(whether that read saw a change, table)`.
  Helper watcher(const std::function<bool(bool, TDataTable&)>& holds) {
    return Helper([path = dir.path(), holds](Helper& self) {
      Database db(path);
      TDataTable& t = db.open();
      t.BeginRead();
      if (readItem(t, 2).body != bodyFor(2)) return 3;
      t.EndRead();
      self.send('r');
      if (self.receive() != 'c') return 2;
      const bool held = holds(t.BeginRead(), t);
      t.EndRead();
      self.send(held ? 'y' : 'n');
      return 0;
    });
  }
  static bool confirms(Helper& watcher) {
    watcher.send('c');
    return watcher.receive() == 'y' && watcher.wait() == 0;
  }
  TempDir dir;
};

TEST_F(Transactions, StartTwiceIsOnceAndCommitFreesTablesClosedMeanwhile) {
  Database db(dir.path());
  TDataTable& t = db.open();
  db.directory->StartTransaction();
  db.directory->StartTransaction();
  EXPECT_TRUE(t.InTransaction());
  appendItem(t, 4);
  db.close(t);
  EXPECT_EQ(db.directory->Tables().size(), 1u);
  db.directory->Commit(true, false);
  EXPECT_TRUE(db.directory->Tables().empty());
  TDataTable& again = db.open();
  expectItem(again, 4, 4);
}

TEST_F(Transactions, CommitWithoutEndKeepsTheTablesInTheTransaction) {
  Database db(dir.path());
  Database other(dir.path());
  TDataTable& t = db.open();
  db.directory->StartTransaction();
  appendItem(t, 4);
  db.close(t);
  db.directory->Commit(false, false);
  EXPECT_TRUE(db.directory->InTransaction());
  ASSERT_EQ(db.directory->Tables().size(), 1u);
  EXPECT_TRUE(t.InTransaction());
  EXPECT_TRUE(t.HoldsTransactionLock());
  EXPECT_FALSE(t.HoldsWritePair());
  // Written, and still locked against other writers (of other processes too: the file layer's
  // rule, tested there).
  TDataTable& o = other.open();
  o.BeginRead();
  EXPECT_EQ(o.DataFile().GetLastRecordNumber(), 4u);
  o.EndRead();
  EXPECT_EQ(errorOf([&] { other.directory->StartTransaction(); }), VELDOR_LOCKTIMEOUT);
  EXPECT_FALSE(other.directory->InTransaction());
  EXPECT_FALSE(o.InTransaction());
  EXPECT_EQ(errorOf([&] { o.BeginWrite(); }), VELDOR_LOCKTIMEOUT);
  db.directory->Commit(true, false);
  EXPECT_TRUE(db.directory->Tables().empty());
  o.BeginWrite();
  o.EndWrite();
}

// A commit that goes on leaves the directory in its transaction: a table opened after it joins
// the transaction and goes back with a rollback, and the tables it keeps are not free.
TEST_F(Transactions, ATableOpenedAfterACommitThatGoesOnJoinsTheTransaction) {
  Database db(dir.path());
  db.create(0, "more");
  TDataTable& t = db.open();
  db.directory->StartTransaction();
  appendItem(t, 4);
  db.directory->Commit(false, false);
  EXPECT_TRUE(db.directory->InTransaction());
  TDataTable& m = db.open("more");
  EXPECT_TRUE(m.InTransaction());
  appendItem(m, 7);
  db.close(m);
  db.close(t);
  db.directory->Rollback();
  EXPECT_FALSE(db.directory->InTransaction());
  EXPECT_TRUE(db.directory->Tables().empty());
  TDataTable& items = db.open();
  TDataTable& more = db.open("more");
  items.BeginRead();
  EXPECT_EQ(items.IndexFile().GetRecordCount(), 4u);
  items.EndRead();
  more.BeginRead();
  EXPECT_EQ(more.IndexFile().GetRecordCount(), 0u);
  more.EndRead();
}

// The other process's cached record 2 gives way to the committed one.
TEST_F(Transactions, CommittedInOneProcessIsSeenByAnother) {
  Helper reader = watcher([](bool changed, TDataTable& t) {
    return changed && t.IndexFile().GetRecordCount() == 6 && readItem(t, 6).body == bodyFor(6) &&
           readItem(t, 2).body == bodyFor(22);
  });
  ASSERT_EQ(reader.receive(), 'r');
  Database db(dir.path());
  TDataTable& t = db.open();
  db.directory->StartTransaction();
  for (uint32_t seed = 4; seed <= 6; ++seed) appendItem(t, seed);
  changeItem(t, 2, 22);
  db.directory->Commit(true, false);
  EXPECT_TRUE(confirms(reader));
}

// A transaction over more tables than a statement's usual few, some closed during it: a rollback
// leaves every one as it was, and a commit writes every one, which another process then reads.
TEST_F(Transactions, OverManyTablesRollsBackAndCommitsEachAndAnotherProcessSeesThem) {
  constexpr int kTables = 7;
  auto name = [](int n) { return "many" + std::to_string(n); };
  {
    Database made(dir.path());
    for (int n = 0; n < kTables; ++n) made.create(uint32_t(n), name(n));
  }
  Helper reader([path = dir.path(), name](Helper& self) {
    if (self.receive() != 'c') return 2;
    Database db(path);
    for (int n = 0; n < kTables; ++n) {
      TDataTable& t = db.open(name(n));
      t.BeginRead();
      const uint32_t count = t.IndexFile().GetRecordCount();
      const bool added = readItem(t, uint32_t(n) + 1).body == bodyFor(uint32_t(40 + n));
      t.EndRead();
      if (count != uint32_t(n) + 1 || !added) return 10 + n;
    }
    return 0;
  });
  Database db(dir.path());
  for (const bool commit : {false, true}) {
    SCOPED_TRACE(commit ? "commit" : "rollback");
    std::vector<TDataTable*> tables;
    for (int n = 0; n < kTables; ++n) tables.push_back(&db.open(name(n)));
    db.directory->StartTransaction();
    for (int n = 0; n < kTables; ++n) {
      EXPECT_TRUE(tables[size_t(n)]->InTransaction());
      appendItem(*tables[size_t(n)], uint32_t(40 + n));
    }
    for (int n = 0; n < kTables; n += 2) db.close(*tables[size_t(n)]);
    if (commit)
      db.directory->Commit(true, false);
    else
      db.directory->Rollback();
    EXPECT_FALSE(db.directory->InTransaction());
    for (int n = 1; n < kTables; n += 2) {
      TDataTable& t = *tables[size_t(n)];
      EXPECT_FALSE(t.InTransaction());
      t.BeginRead();
      EXPECT_EQ(t.IndexFile().GetRecordCount(), uint32_t(n) + (commit ? 1 : 0)) << name(n);
      t.EndRead();
      db.close(t);
    }
    EXPECT_TRUE(db.directory->Tables().empty());
  }
  reader.send('c');
  EXPECT_EQ(reader.wait(), 0);
}

TEST_F(Transactions, RollbackLeavesNothingVisible) {
  Helper reader = watcher([](bool changed, TDataTable& t) {
    return !changed && t.IndexFile().GetRecordCount() == 3 && readItem(t, 2).body == bodyFor(2);
  });
  ASSERT_EQ(reader.receive(), 'r');
  const auto before = tableImages(dir);
  Database db(dir.path());
  TDataTable& t = db.open();
  db.directory->StartTransaction();
  appendItem(t, 4);
  changeItem(t, 2, 22);
  expectItem(t, 2, 22);
  TFieldDescriptor renamed = fieldOf(t, 3);
  renamed.SetName("REMARK");
  t.DataFile().UpdateFieldDescriptor(3, renamed);
  db.directory->Rollback();
  EXPECT_FALSE(t.InTransaction());
  EXPECT_FALSE(t.HoldsTransactionLock());
  expectItem(t, 2, 2);
  EXPECT_EQ(t.DataFile().GetLastRecordNumber(), 3u);
  EXPECT_TRUE(tableImages(dir) == before);
  EXPECT_EQ(fieldOf(t, 3).Name(), "NOTE");
  EXPECT_FALSE(t.DataFile().WriteFieldDescriptors()) << "the renamed field is not written later either";
  EXPECT_TRUE(confirms(reader));
}

TEST_F(Transactions, DestroyingTheDirectoryRollsBack) {
  {
    TDataSession session;
    TDataDirectory* d = session.OpenDataDirectory("db", dir.path());
    TDataTable* t = nullptr;
    ASSERT_EQ(d->OpenTable("items", t, false, false, false, false, false, false), 0);
    d->StartTransaction();
    appendItem(*t, 4);
  }
  Database db(dir.path());
  TDataTable& t = db.open();
  EXPECT_EQ(t.DataFile().GetLastRecordNumber(), 3u);
  db.directory->StartTransaction();  // the lock was released
  db.directory->Rollback();
}

}  // namespace
}  // namespace engine
