// The table object: record locks with their retries, the read, query-read and write lock pairs,
// the transaction lock with deferred unlocks, change detection between processes, and tables
// whose files are read-only.
#include "engine/tables/veldortable.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "table_test_util.h"

namespace engine {
namespace {

using namespace table_test;

class TableTest : public ::testing::Test {
 protected:
  void SetUp() override { Database(dir.path()).create(3); }
  TempDir dir;
  Database db{dir.path()};
};

// ---- Record locks ----

using RecordLocks = TableTest;

TEST_F(RecordLocks, RecordZeroIsRefusedBothWays) {
  TDataTable& t = db.open();
  EXPECT_EQ(errorOf([&] { t.LockRecord(0); }), VELDOR_RECLOCKFAILED);
  EXPECT_EQ(errorOf([&] { t.UnlockRecord(0); }), VELDOR_UNLOCKFAILED);
  EXPECT_EQ(errorOf([&] { t.UnlockRecord(2); }), VELDOR_UNLOCKFAILED);  // not held
}

// That other processes are kept out as other sessions are is the file layer's rule, tested there.
TEST_F(RecordLocks, RecordHeldElsewhereIsTriedRetryCountPlusOneTimesUpTo256) {
  Database holder(dir.path());
  holder.open().LockRecord(2);
  for (auto [retries, wait] : {std::pair{2, 10}, {255, 0}}) {
    CountingFileSystem counting;
    TFileList list(counting);
    Database counted(dir.path(), &list);
    counted.session.SetLockRetryCount(uint8_t(retries));
    counted.session.SetLockWaitTime(uint16_t(wait));
    TDataTable& t = counted.open();
    const int before = counting.sleeps;
    EXPECT_EQ(errorOf([&] { t.LockRecord(2); }), VELDOR_RECLOCKFAILED) << retries;
    EXPECT_EQ(counting.sleeps - before, retries);
    EXPECT_FALSE(t.HoldsRecordLock(2));
    t.LockRecord(3);  // another record is free
    EXPECT_TRUE(t.HoldsRecordLock(3));
  }
}

TEST_F(RecordLocks, TwoSessionsOfOneProcessExcludeEachOtherAndInATransactionUnlocksWaitForItsEnd) {
  Database other(dir.path());
  other.session.SetLockRetryCount(0);
  TDataTable& t = db.open();
  TDataTable& o = other.open();
  ASSERT_NE(&t, &o);
  t.LockRecord(2);
  EXPECT_EQ(errorOf([&] { o.LockRecord(2); }), VELDOR_RECLOCKFAILED);
  t.UnlockRecord(2);  // outside a transaction, at once
  o.LockRecord(2);
  o.UnlockRecord(2);
  db.directory->StartTransaction();
  t.LockRecord(2);
  EXPECT_FALSE(t.LockRecord(2));  // already held: nothing to do
  t.UnlockRecord(2);
  EXPECT_TRUE(t.HoldsRecordLock(2));
  EXPECT_EQ(errorOf([&] { o.LockRecord(2); }), VELDOR_RECLOCKFAILED);
  db.directory->Commit(true, false);
  EXPECT_FALSE(t.HoldsRecordLock(2));
  o.LockRecord(2);
  EXPECT_TRUE(o.HoldsRecordLock(2));
}

// Locks taken ahead in runs are the same locks as those taken one by one: refused to others while
// the transaction lasts, released by its end (commit, interim commit or rollback); a record held
// elsewhere is left out of its run for the caller to wait on, and its neighbours are still taken.
TEST_F(RecordLocks, LockedAheadInRunsHoldsEachRecordToTheTransactionsEnd) {
  Database(dir.path()).create(40, "many");
  db.session.SetLockRetryCount(0);
  Database other(dir.path());
  other.session.SetLockRetryCount(0);
  TDataTable& t = db.open("many");
  TDataTable& o = other.open("many");
  const std::vector<uint32_t> all = [] {
    std::vector<uint32_t> v;
    for (uint32_t i = 1; i <= 40; ++i)
      if (i != 20) v.push_back(i);  // two runs: 1-19 and 21-40
    return v;
  }();
  t.LockRecordsAhead(all);
  EXPECT_FALSE(t.HoldsRecordLock(5)) << "outside a transaction nothing is taken";
  o.LockRecord(5);   // a middle one
  o.LockRecord(21);  // the first of a run
  o.LockRecord(40);  // the last
  const auto endedWell = [&](auto end) {
    db.directory->StartTransaction();
    t.LockRecord(3);  // held already: the run goes around it
    t.LockRecordsAhead(all);
    for (uint32_t r : all) {
      const bool elsewhere = r == 5 || r == 21 || r == 40;
      EXPECT_EQ(t.HoldsRecordLock(r), !elsewhere) << r;
      EXPECT_EQ(t.RecordLockInUse(r), r == 3) << r;
    }
    EXPECT_FALSE(t.HoldsRecordLock(20));
    o.LockRecord(20);  // not named: free
    o.UnlockRecord(20);
    for (uint32_t r : {1u, 4u, 6u, 19u, 22u, 39u})
      EXPECT_EQ(errorOf([&] { o.LockRecord(r); }), VELDOR_RECLOCKFAILED) << r;
    EXPECT_EQ(errorOf([&] { t.LockRecord(5); }), VELDOR_RECLOCKFAILED);
    t.UnlockRecord(3);
    end();
  };
  endedWell([&] { db.directory->Commit(true, false); });
  endedWell([&] { db.directory->Rollback(); });
  for (uint32_t r : all) {
    EXPECT_FALSE(t.HoldsRecordLock(r)) << r;
    if (r == 5 || r == 21 || r == 40) continue;
    o.LockRecord(r);
    o.UnlockRecord(r);
  }
  // An interim commit releases them and the transaction goes on.
  db.directory->StartTransaction();
  t.LockRecordsAhead(all);
  db.directory->Commit(false, false);
  o.LockRecord(1);
  o.LockRecord(39);
  db.directory->Commit(true, false);
}

// Records the transaction holds already, at a run's start and end, side by side, alone between
// two runs and last of all, are passed over by the locks taken ahead, and every other record of
// each run is still taken: all of them are refused to others until the transaction ends.
TEST_F(RecordLocks, LockedAheadAroundRecordsHeldAlreadyTakesEveryOtherOne) {
  Database(dir.path()).create(40, "many");
  db.session.SetLockRetryCount(0);
  Database other(dir.path());
  other.session.SetLockRetryCount(0);
  TDataTable& t = db.open("many");
  TDataTable& o = other.open("many");
  std::vector<uint32_t> all;
  for (uint32_t i = 1; i <= 40; ++i)
    if (i != 20 && i != 30) all.push_back(i);  // runs 1-19, 21-29 and 31-40
  const std::vector<uint32_t> held = {1, 10, 11, 19, 21, 31, 40};
  db.directory->StartTransaction();
  for (uint32_t r : held) t.LockRecord(r);
  t.LockRecordsAhead(all);
  for (uint32_t r : all) {
    EXPECT_TRUE(t.HoldsRecordLock(r)) << r;
    EXPECT_EQ(t.RecordLockInUse(r), std::find(held.begin(), held.end(), r) != held.end()) << r;
    EXPECT_EQ(errorOf([&] { o.LockRecord(r); }), VELDOR_RECLOCKFAILED) << r;
  }
  EXPECT_FALSE(t.HoldsRecordLock(20));
  EXPECT_FALSE(t.HoldsRecordLock(30));
  for (uint32_t r : held) t.UnlockRecord(r);
  db.directory->Commit(true, false);
  for (uint32_t r : all) {
    EXPECT_FALSE(t.HoldsRecordLock(r)) << r;
    o.LockRecord(r);
    o.UnlockRecord(r);
  }
}

// The unlocks reach every record held, however far apart the numbers lie and on whichever side of
// the first ones they were taken, the sets growing meanwhile; the transaction's end leaves a lock
// a cursor still holds, which the next unlock of all then releases.
TEST_F(RecordLocks, UnlocksReachEveryNumberHeldAndTheTransactionsEndKeepsALockInUse) {
  Database other(dir.path());
  other.session.SetLockRetryCount(0);
  TDataTable& t = db.open();
  TDataTable& o = other.open();
  db.directory->StartTransaction();
  t.LockRecord(9000);
  t.LockRecord(2);
  const std::vector<uint32_t> ahead = {1, 3, 20000};
  t.LockRecordsAhead(ahead);
  t.UnlockRecord(9000);
  db.directory->Commit(true, false);
  for (uint32_t r : {1u, 3u, 9000u, 20000u}) {
    EXPECT_FALSE(t.HoldsRecordLock(r)) << r;
    o.LockRecord(r);
    o.UnlockRecord(r);
  }
  EXPECT_TRUE(t.HoldsRecordLock(2));
  EXPECT_EQ(errorOf([&] { o.LockRecord(2); }), VELDOR_RECLOCKFAILED);
  t.UnlockRecords(false);
  EXPECT_FALSE(t.HoldsRecordLock(2));
  o.LockRecord(2);
  // Outside a transaction, one lock below and one above the last ones.
  t.LockRecord(30000);
  t.LockRecord(1);
  t.UnlockRecords(false);
  o.LockRecord(1);
  o.LockRecord(30000);
}

TEST_F(RecordLocks, ExclusiveTableTakesNoLocks) {
  TDataTable& t = db.open("items", true);
  EXPECT_FALSE(t.LockRecord(1));
  EXPECT_FALSE(t.HoldsRecordLock(1));
  EXPECT_FALSE(t.BeginRead());
  EXPECT_FALSE(t.HoldsReadPair());
  EXPECT_FALSE(t.BeginWrite());
  EXPECT_FALSE(t.HoldsWritePair());
}

// ---- Lock pairs ----

using LockPairs = TableTest;

TEST_F(LockPairs, ReadInsideWriteTakesNothingAndEndReadWithoutBeginDoesNothing) {
  TDataTable& t = db.open();
  t.EndRead();
  EXPECT_FALSE(t.BeginWrite());
  EXPECT_TRUE(t.HoldsWritePair());
  EXPECT_FALSE(t.BeginRead());
  EXPECT_FALSE(t.HoldsReadPair());
  EXPECT_FALSE(t.BeginQueryRead());
  t.EndWrite();
  EXPECT_FALSE(t.HoldsWritePair());
  EXPECT_FALSE(t.BeginRead());
  EXPECT_TRUE(t.HoldsReadPair());
  EXPECT_FALSE(t.BeginQueryRead());  // a read is held already
  t.EndRead();
}

TEST_F(LockPairs, ReaderKeepsAWriterOfAnotherSessionOut) {
  Database b(dir.path());
  TDataTable& ta = db.open();
  TDataTable& tb = b.open();
  ta.BeginQueryRead();
  EXPECT_EQ(errorOf([&] { tb.BeginWrite(); }), VELDOR_LOCKTIMEOUT);
  EXPECT_FALSE(tb.HoldsWritePair());
  ta.EndQueryRead();
  tb.BeginWrite();
  EXPECT_EQ(errorOf([&] { ta.BeginRead(); }), VELDOR_LOCKTIMEOUT);
  tb.EndWrite();
  ta.BeginRead();
  ta.EndRead();
}

TEST_F(LockPairs, WhenTheBlobReadLockFailsTheIndexReadLockIsReleased) {
  TDataTable& t = db.open();
  // Another handle of the process holds only the blob file's write lock.
  TFileList list;
  datafile_test::TestTable owner;
  TBlobFile blob(owner, &list);
  blob.SetName(t.FileName(kBlobFileExt));
  blob.Open();
  ASSERT_TRUE(blob.LockWrite());
  EXPECT_EQ(errorOf([&] { t.BeginRead(); }), VELDOR_LOCKTIMEOUT);
  EXPECT_FALSE(t.HoldsReadPair());
  // The index read slot is free again: a writer of the index may lock it.
  TStandaloneTableOwner indexOwner;
  TIndexFile other(indexOwner, &list);
  other.SetName(t.FileName(kIndexFileExt));
  other.Open();
  other.SetLockRetryRules(kImpatient);
  EXPECT_TRUE(other.LockWrite());
  other.UnlockWrite();
  blob.UnlockWrite();
}

TEST_F(LockPairs, WhenTheIndexWriteLockFailsTheDataWriteLockIsReleased) {
  Database b(dir.path());
  TDataTable& ta = db.open();
  TDataTable& tb = b.open();
  ta.BeginRead();  // its index read slot keeps the index write lock out
  EXPECT_EQ(errorOf([&] { tb.BeginWrite(); }), VELDOR_LOCKTIMEOUT);
  // The data write lock is free again: the reader's session can start a transaction.
  db.directory->StartTransaction();
  EXPECT_TRUE(ta.HoldsTransactionLock());
  db.directory->Rollback();
  ta.EndRead();
}

TEST_F(LockPairs, AFailedReleaseOfTheIndexLockIsReported) {
  TDataTable& t = db.open();
  t.BeginWrite();
  t.IndexFile().UnlockWrite();  // gone behind the table's back
  EXPECT_EQ(errorOf([&] { t.EndWrite(); }), VELDOR_LOCKTIMEOUT);
  EXPECT_FALSE(t.HoldsWritePair());
}

// A forked child that may no longer open the table files it inherited (their rights changed since
// the parent opened them) is told so at its first lock of each kind, with the cause and at once,
// not after the lock's retries as if another writer held the table.
TEST_F(LockPairs, AnInheritedTableThatCannotBeOpenedAnewReportsWhyAtOnce) {
  CountingFileSystem counting;
  TFileList list(counting);
  Database a(dir.path(), &list);
  TDataTable& t = a.open();
  for (const char* ext : {".DAT", ".IDX", ".BLB"})
    std::filesystem::permissions(dir.file(std::string("items") + ext), std::filesystem::perms::owner_read);
  Helper child([&](Helper&) {
    // The superuser opens whatever the rights say: the child gives its privileges up instead.
    if (geteuid() == 0 && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0))
      return 64;
    const int before = counting.sleeps;
    int wrong = 0;
    if (errorOf([&] { t.BeginWrite(); }) != VELDOR_OSEACCES) wrong |= 1;
    if (errorOf([&] { t.BeginRead(); }) != VELDOR_OSEACCES) wrong |= 2;
    if (errorOf([&] { t.LockRecord(2); }) != VELDOR_OSEACCES) wrong |= 4;
    if (errorOf([&] { a.directory->StartTransaction(); }) != VELDOR_OSEACCES) wrong |= 8;
    if (counting.sleeps != before) wrong |= 16;
    return wrong;
  });
  // Bits: 1 write, 2 read, 4 record lock, 8 transaction reported another error; 16 a lock waited.
  EXPECT_EQ(child.wait(), 0);
  EXPECT_FALSE(t.HoldsWritePair());
}

// Sleeps as the local file system does; the first sleep runs `atFirstSleep` before it.
class HookedSleepFileSystem final : public LocalFileSystem {
 public:
  void sleepFor(std::chrono::milliseconds duration) override {
    ++sleeps;
    if (atFirstSleep) std::exchange(atFirstSleep, nullptr)();
    base().sleepFor(duration);
  }
  std::function<void()> atFirstSleep;
  int sleeps = 0;
};

// A lock of each kind that another process holds is tried again until that process lets it go,
// not given up on at the first refusal: the holder lets go at the waiter's first pause.
TEST_F(LockPairs, ALockAnotherProcessHoldsIsWaitedForUntilItLetsGo) {
  // 'w'/'W' take and let go the write pair, 'r'/'R' record 2's lock; '+' answers each.
  Helper holder([&](Helper& h) {
    Database b(dir.path());
    TDataTable& t = b.open();
    for (;;) {
      const char c = h.receive();
      if (c == 'w')
        t.BeginWrite();
      else if (c == 'W')
        t.EndWrite();
      else if (c == 'r')
        t.LockRecord(2);
      else if (c == 'R')
        t.UnlockRecord(2);
      else
        return 0;
      h.send('+');
    }
  });
  HookedSleepFileSystem hooked;
  TFileList list(hooked);
  Database a(dir.path(), &list);
  a.session.SetLockRetryCount(3);
  a.session.SetLockWaitTime(1);
  TDataTable& t = a.open();
  const auto heldElsewhere = [&](char take, char release, const std::function<void()>& attempt) {
    holder.send(take);
    ASSERT_EQ(holder.receive(), '+');
    hooked.atFirstSleep = [&] {
      holder.send(release);
      ASSERT_EQ(holder.receive(), '+');
    };
    const int before = hooked.sleeps;
    EXPECT_EQ(errorOf(attempt), 0);
    EXPECT_GT(hooked.sleeps, before);
    EXPECT_FALSE(hooked.atFirstSleep);
    hooked.atFirstSleep = nullptr;
  };
  {
    SCOPED_TRACE("write");
    heldElsewhere('w', 'W', [&] {
      t.BeginWrite();
      t.EndWrite();
    });
  }
  {
    SCOPED_TRACE("read");
    heldElsewhere('w', 'W', [&] {
      t.BeginRead();
      t.EndRead();
    });
  }
  {
    SCOPED_TRACE("transaction");
    heldElsewhere('w', 'W', [&] {
      a.directory->StartTransaction();
      a.directory->Rollback();
    });
  }
  {
    SCOPED_TRACE("record");
    heldElsewhere('r', 'R', [&] {
      t.LockRecord(2);
      t.UnlockRecord(2);
    });
  }
  holder.send('q');
  EXPECT_EQ(holder.wait(), 0);
}

// 0 when a writer in another process takes the table's write locks at once, 1 when it is kept out.
int otherProcessWrites(const std::string& path) {
  Helper other([&](Helper&) {
    TFileList list(platform::FileSystem::local());
    Database b(path, &list);
    TDataTable& t = b.open();
    const uint16_t error = errorOf([&] {
      t.BeginWrite();
      t.EndWrite();
    });
    return error == 0 ? 0 : error == VELDOR_LOCKTIMEOUT ? 1 : 2;
  });
  return other.wait();
}

// A write lock whose release the system refuses is reported and, being still held, keeps other
// writers out; the table's next write takes it over rather than waiting on itself, and its
// release lets everyone in again.
TEST_F(LockPairs, AWriteLockWhoseReleaseIsRefusedIsTakenOverByTheNextWrite) {
  platform::FaultyFileSystem faulty(platform::FileSystem::local());
  TFileList list(faulty);
  Database a(dir.path(), &list);
  TDataTable& t = a.open();
  for (uint64_t refused = 1; refused <= 3; ++refused) {
    SCOPED_TRACE(refused);
    t.BeginWrite();
    faulty.failUnlocks(refused);
    EXPECT_EQ(errorOf([&] { t.EndWrite(); }), VELDOR_LOCKTIMEOUT);
    EXPECT_FALSE(t.HoldsWritePair());
    EXPECT_EQ(otherProcessWrites(dir.path()), 1);
    t.BeginWrite();
    EXPECT_TRUE(t.HoldsWritePair());
    changeItem(t, 2, 20 + uint32_t(refused));
    t.EndWrite();
    EXPECT_EQ(otherProcessWrites(dir.path()), 0);
  }
  expectItem(t, 2, 23);
}

// A transaction's data write lock, refused its release at the end, goes at the next write.
TEST_F(LockPairs, ATransactionLockWhoseReleaseIsRefusedGoesAtTheNextWrite) {
  platform::FaultyFileSystem faulty(platform::FileSystem::local());
  TFileList list(faulty);
  Database a(dir.path(), &list);
  TDataTable& t = a.open();
  a.directory->StartTransaction();
  changeItem(t, 1, 31);
  faulty.failUnlocks(100);
  EXPECT_NE(errorOf([&] { a.directory->Commit(true, true); }), 0);
  faulty.failUnlocks(0);
  EXPECT_FALSE(t.HoldsTransactionLock());
  EXPECT_EQ(otherProcessWrites(dir.path()), 1);
  t.BeginWrite();
  t.EndWrite();
  EXPECT_EQ(otherProcessWrites(dir.path()), 0);
  expectItem(t, 1, 31);
}

// ---- Change detection ----

using ChangeDetection = TableTest;

// What BeginRead reports after another process commits or rolls back, and what it then reads, is
// the transaction tests'.
TEST_F(ChangeDetection, RecordLockTakesAnotherWritersStateFirst) {
  Database b(dir.path());
  TDataTable& ta = db.open();
  TDataTable& tb = b.open();
  tb.BeginWrite();
  changeItem(tb, 2, 20);
  tb.FlushTable(false, false, false, false, false);
  tb.EndWrite();
  EXPECT_TRUE(ta.LockRecord(2));
  EXPECT_FALSE(ta.HoldsReadPair());
  expectItem(ta, 2, 20);
  ta.UnlockRecord(2);
}

// A file system that runs `hook` once, just before the first lock that `at` picks is taken on a
// file whose name ends with `extension`.
class BeforeLock final : public LocalFileSystem {
 public:
  BeforeLock(std::string extension, std::function<bool(int64_t offset, int64_t length)> at)
      : extension_(std::move(extension)), at_(std::move(at)) {}
  std::function<void()> hook;

  std::unique_ptr<platform::OsFile> openFile(const std::string& path,
                                             const platform::OpenOptions& o) override {
    auto file = base().openFile(path, o);
    if (!file || !path.ends_with(extension_)) return file;
    return std::make_unique<File>(std::move(file), *this);
  }

 private:
  class File final : public WrappedFile {
   public:
    File(std::unique_ptr<platform::OsFile> file, BeforeLock& fs) : WrappedFile(std::move(file)), fs_(fs) {}
    bool lockRange(int64_t offset, int64_t length) override {
      if (fs_.hook && fs_.at_(offset, length)) std::exchange(fs_.hook, nullptr)();
      return file_->lockRange(offset, length);
    }

   private:
    BeforeLock& fs_;
  };
  std::string extension_;
  std::function<bool(int64_t, int64_t)> at_;
};

// What a writer that ends part way through a write-out leaves: the journal of the table's files
// as they are in `pristine`, and the last record's slot half written.
void leaveHalfWrittenChange(const TempDir& dir, const std::vector<std::vector<uint8_t>>& pristine,
                            uint32_t recordSize) {
  TJournalImage journal;
  for (uint8_t kind = 0; kind < 3; ++kind) {
    TJournalFile file;
    file.kind = kind;
    file.length = int64_t(pristine[kind].size());
    file.regions.push_back(TJournalRegion{0, pristine[kind]});
    journal.files.push_back(file);
  }
  datafile_test::writeFileBytes(dir.file("items.JNL"), EncodeJournal(journal));
  std::vector<uint8_t> data = pristine[0];
  std::fill(data.end() - int64_t(recordSize), data.end(), uint8_t(0x5A));
  datafile_test::writeFileBytes(dir.file("items.DAT"), data);
}

// A writer takes the table between a reader's look for a journal and its read slot, writes part
// of a change and ends: the reader looks once its slot is held, rolls the journal back and reads
// the table as it was.
TEST_F(ChangeDetection, AJournalLeftJustBeforeTheReadSlotIsTakenIsRolledBackBeforeTheRead) {
  const std::vector<std::vector<uint8_t>> pristine = tableImages(dir);
  // A read slot: one byte of the index file just below the 4 GiB mark.
  BeforeLock fs(".IDX", [](int64_t offset, int64_t length) {
    return length == 1 && offset >= INT64_C(0xFFFF0000) && offset < INT64_C(0xFFFFFFFF);
  });
  TFileList list(fs);
  Database reader(dir.path(), &list);
  TDataTable& t = reader.open();
  fs.hook = [&] { leaveHalfWrittenChange(dir, pristine, t.DataFile().GetRecordSize()); };
  t.BeginRead();
  EXPECT_FALSE(fs.hook);
  EXPECT_FALSE(std::filesystem::exists(dir.file("items.JNL")));
  expectItem(t, 3, 3);
  t.EndRead();
  EXPECT_EQ(tableImages(dir), pristine);
}

// The same between a writer's look and the data file's write lock, which every writer takes
// first: the write pair and the transaction lock look once it is held and roll the journal back,
// so that nothing is written over the half-written change.
TEST_F(ChangeDetection, AJournalLeftJustBeforeTheWriteLockIsTakenIsRolledBackBeforeTheWrite) {
  const std::vector<std::vector<uint8_t>> pristine = tableImages(dir);
  for (const bool transaction : {false, true}) {
    SCOPED_TRACE(transaction ? "transaction" : "write pair");
    datafile_test::writeFileBytes(dir.file("items.DAT"), pristine[0]);
    BeforeLock fs(
        ".DAT", [](int64_t offset, int64_t length) { return length == 1 && offset == kDataWriteLockOffset; });
    TFileList list(fs);
    Database writer(dir.path(), &list);
    TDataTable& t = writer.open();
    fs.hook = [&] { leaveHalfWrittenChange(dir, pristine, t.DataFile().GetRecordSize()); };
    if (transaction) {
      t.LockForTransaction();
    } else {
      t.BeginWrite();
    }
    EXPECT_FALSE(fs.hook);
    EXPECT_FALSE(std::filesystem::exists(dir.file("items.JNL")));
    EXPECT_EQ(tableImages(dir), pristine);
    if (transaction) {
      t.UnlockForTransaction();
    } else {
      t.EndWrite();
    }
  }
}

// ---- Read-only files ----

TEST_F(TableTest, ReadOnlyFilesStillTakeTheReadLocksAndNothingElse) {
  Helper writer([path = dir.path()](Helper& self) {
    if (self.receive() != 'w') return 2;
    Database db(path);
    TDataTable& t = db.open();
    if (t.IsReadOnly()) return 4;
    const bool keptOut = errorOf([&] { t.BeginWrite(); }) == VELDOR_LOCKTIMEOUT;
    self.send(keptOut ? 'k' : 'x');
    if (self.receive() != 'w') return 2;
    t.BeginWrite();
    t.EndWrite();
    return 0;
  });
  namespace fs = std::filesystem;
  const auto readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  for (const char* ext : {".DAT", ".IDX", ".BLB"})
    fs::permissions(dir.file(std::string("items") + ext), readOnly);
  TDataTable& t = db.open();
  EXPECT_TRUE(t.IsReadOnlyAttribute());
  EXPECT_TRUE(t.IsReadOnly());
  EXPECT_FALSE(t.LockRecord(1));
  EXPECT_FALSE(t.BeginWrite());
  db.directory->StartTransaction();
  EXPECT_FALSE(t.InTransaction());
  db.directory->Commit(true, false);
  // Another user may write to the files: the read pair must keep that writer out.
  for (const char* ext : {".DAT", ".IDX", ".BLB"})
    fs::permissions(dir.file(std::string("items") + ext), fs::perms::owner_write, fs::perm_options::add);
  t.BeginRead();
  EXPECT_TRUE(t.HoldsReadPair());
  expectItem(t, 3, 3);
  writer.send('w');
  EXPECT_EQ(writer.receive(), 'k');
  t.EndRead();
  writer.send('w');
  EXPECT_EQ(writer.wait(), 0);
}

// ---- Files of the table ----

using TableFiles = TableTest;

TEST_F(TableFiles, IndexBackupRestoresTheIndexAsItWas) {
  TDataTable& t = db.open("items", true);
  t.BackupIndex();
  const auto backupSize = std::filesystem::file_size(dir.file("items.IBK"));
  for (uint32_t seed = 4; seed <= 500; ++seed) appendItem(t, seed);  // the index grows by pages
  t.FlushTable(false, false, false, false, false);
  EXPECT_EQ(t.IndexFile().GetRecordCount(), 500u);
  ASSERT_GT(std::filesystem::file_size(dir.file("items.IDX")), backupSize);
  t.RestoreIndex(false, true);
  EXPECT_EQ(t.IndexFile().GetRecordCount(), 3u);
  EXPECT_EQ(std::filesystem::file_size(dir.file("items.IDX")), backupSize)
      << "no pages of the newer index remain";
  EXPECT_FALSE(std::filesystem::exists(dir.file("items.IBK")));
  t.BackupIndex();
  t.RestoreIndex(true, false);  // keeps the current index and the backup
  EXPECT_TRUE(std::filesystem::exists(dir.file("items.IBK")));
}

TEST_F(TableFiles, EmptyTableLeavesHeadersOnly) {
  TDataTable& t = db.open("items", true);
  t.EmptyTable();
  t.FlushTable(false, false, false, false, false);
  EXPECT_EQ(t.DataFile().GetLastRecordNumber(), 0u);
  EXPECT_EQ(t.IndexFile().GetRecordCount(), 0u);
  EXPECT_EQ(t.BlobFile().GetBlockCount(), 0u);
  db.close(t);
  EXPECT_EQ(std::filesystem::file_size(dir.file("items.BLB")), 512u);
}

TEST_F(TableFiles, ExclusiveTableWritesItsChangesWhenItsLastCursorCloses) {
  {
    Database writer(dir.path());
    TDataTable& t = writer.open("items", true);
    appendItem(t, 4);
    writer.close(t);
  }
  expectItem(db.open(), 4, 4);
}

TEST_F(TableFiles, TemporaryTableGoesAwayWithItsLastCursor) {
  TDataTable* t = nullptr;
  ASSERT_EQ(db.directory->OpenTable("items", t, false, false, true, false, false, true), 0);
  const auto before = std::filesystem::file_size(dir.file("items.DAT"));
  appendItem(*t, 4);
  db.directory->CloseTable(t, true, false, false);
  EXPECT_TRUE(db.directory->Tables().empty());
  EXPECT_FALSE(std::filesystem::exists(dir.file("items.DAT")));
  EXPECT_GT(before, 0u);
}

TEST_F(TableFiles, EncryptedTableScramblesItsBlobsToo) {
  db.create(2, "secret", itemsDefinition(true, 1024));
  TDataTable& t = db.open("secret");
  EXPECT_TRUE(t.BlobFile().IsEncrypted());
  EXPECT_EQ(t.BlobFile().GetBlockSize(), 1024u);
  expectItem(t, 2, 2);
  const auto raw = datafile_test::readFileBytes(dir.file("secret.BLB"));
  const auto body = bodyFor(2);
  EXPECT_EQ(std::search(raw.begin(), raw.end(), body.begin(), body.begin() + 16), raw.end());
}

}  // namespace
}  // namespace engine
