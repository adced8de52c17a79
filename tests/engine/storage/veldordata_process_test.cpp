// The data file shared between processes (forked helpers) and between table objects of one
// process: change detection through the header's change counter, record locks and the write lock.
#include <gtest/gtest.h>

#include <vector>

#include "datafile_test_util.h"
#include "storage_test_util.h"

namespace engine {
namespace {

using namespace datafile_test;
using platform::testing::TempFolder;
using storage_test::Helper;

class DataFileSharing : public ::testing::Test {
 protected:
  void SetUp() override {
    TFileList list;
    TestTable table;
    TDataFile f(&table, false, &list);
    f.SetName(path);
    f.DefineStructure(0, 0, 0, 0, false, "", "", 0, byteFields(2, 20));
    appendRecords(f, 2);
    flushAll(f);
  }
  std::unique_ptr<TDataFile> open(TFileList& list, TestTable& table) {
    auto f = std::make_unique<TDataFile>(&table, false, &list);
    f->SetName(path);
    f->Open();
    f->VerifyHeader();
    return f;
  }
  // A helper process that opens the table, reports 'r', and then runs each command it receives
  // through `command` (answering with its result) until 'q'.
  Helper helper(const std::function<char(TDataFile&, char)>& command) {
    return Helper([=, this](Helper& self) {
      TFileList list;
      TestTable table;
      auto f = open(list, table);
      self.send('r');
      while (char c = self.receive()) {
        if (c == 'q') return 0;
        self.send(command(*f, c));
      }
      return 3;
    });
  }

  TempFolder dir;
  const std::string path = dir.path("SHARED.DAT");
};

TEST_F(DataFileSharing, AReaderNoticesAnotherProcesssWritesThroughTheChangeCounter) {
  Helper writer = helper([](TDataFile& f, char c) {
    if (c != 'w') return 'x';
    appendRecords(f, 3);
    TRecord* r = nullptr;
    if (!f.GetRecord(nullptr, 1, r)) return 'x';
    fillRecord(*r, 4242);
    f.ReleaseRecord(r);
    flushAll(f);
    return 'd';
  });
  ASSERT_EQ(writer.receive(), 'r');
  TFileList list;
  TestTable table;
  auto reader = open(list, table);
  TRecord* r = nullptr;
  ASSERT_TRUE(reader->GetRecord(nullptr, 1, r));
  const std::vector<uint8_t> old(r->GetBuffer(), r->GetBuffer() + reader->GetRecordSize());
  reader->ReleaseRecord(r);
  EXPECT_FALSE(reader->HeaderChanged());

  writer.send('w');
  ASSERT_EQ(writer.receive(), 'd');
  EXPECT_EQ(readFileBytes(path)[111], 1) << "the writer's header went out marked dirty";
  ASSERT_TRUE(reader->HeaderChanged());
  EXPECT_EQ(reader->GetLastRecordNumber(), 5u);
  EXPECT_EQ(reader->GetLastUniqueId(), 5u);
  EXPECT_FALSE(reader->IsHeaderDirty()) << "the writer's dirty flag is not ours";
  EXPECT_FALSE(reader->WriteHeader(false)) << "nothing of ours to write";
  EXPECT_FALSE(reader->HeaderChanged());

  // The table layer clears the cache on a change; the new contents then come from disk.
  reader->ClearRecordCache();
  ASSERT_TRUE(reader->GetRecord(nullptr, 1, r));
  EXPECT_FALSE(r->SameData(old.data()));
  reader->ReleaseRecord(r);
  ASSERT_TRUE(reader->GetRecord(nullptr, 5, r, true, false, true));
  EXPECT_EQ(r->GetUniqueId(), 5u);
  reader->ReleaseRecord(r);

  writer.send('q');
  EXPECT_EQ(writer.wait(), 0);
}

TEST_F(DataFileSharing, UnlockAllRecordsReleasesEachRecordLockThisObjectHolds) {
  Helper locker = helper([](TDataFile& f, char c) {
    switch (c) {
      case 'l':
        return f.LockRecord(1) && f.LockRecord(5) && f.LockRecord(200'000'000) ? 'k' : 'x';
      case 'u':
        return f.UnlockAllRecords() && !f.HoldsRecordLock(5) ? 'k' : 'x';
      default:
        return 'x';
    }
  });
  ASSERT_EQ(locker.receive(), 'r');
  TFileList list;
  TestTable table;
  auto f = open(list, table);
  locker.send('l');
  ASSERT_EQ(locker.receive(), 'k');
  EXPECT_FALSE(f->LockRecord(1));
  EXPECT_FALSE(f->LockRecord(5));
  EXPECT_FALSE(f->LockRecord(200'000'000));
  EXPECT_TRUE(f->LockRecord(2));
  locker.send('u');
  ASSERT_EQ(locker.receive(), 'k');
  EXPECT_TRUE(f->LockRecord(1));
  EXPECT_TRUE(f->LockRecord(5));
  EXPECT_TRUE(f->LockRecord(200'000'000));
  EXPECT_TRUE(f->UnlockAllRecords());
  locker.send('q');
  EXPECT_EQ(locker.wait(), 0);
}

// A run of records locked at once holds each of them and is released only as a whole: by a
// list naming every record of it, or with all locks.
TEST_F(DataFileSharing, ARunOfRecordLocksIsHeldRecordByRecordAndReleasedWhole) {
  TFileList list;
  TestTable tableA, tableB;
  auto a = open(list, tableA);
  auto b = open(list, tableB);
  ASSERT_TRUE(b->LockRecord(15));
  EXPECT_FALSE(a->LockRecordRun(10, 20)) << "one record of it is held elsewhere";
  EXPECT_TRUE(b->LockRecord(10)) << "nothing of the refused run stays held";
  EXPECT_TRUE(b->UnlockRecord(10));
  EXPECT_FALSE(a->LockRecordRun(0, 3));
  EXPECT_FALSE(a->LockRecordRun(5, 4));
  ASSERT_TRUE(a->LockRecordRun(16, 20));
  ASSERT_TRUE(a->LockRecordRun(12, 14));
  ASSERT_TRUE(a->LockRecordRun(30, 30));
  for (uint32_t r : {12u, 13u, 14u, 16u, 18u, 20u, 30u}) {
    EXPECT_TRUE(a->HoldsRecordLock(r)) << r;
    EXPECT_FALSE(b->LockRecord(r)) << r;
  }
  for (uint32_t r : {11u, 15u, 21u, 29u}) EXPECT_FALSE(a->HoldsRecordLock(r)) << r;
  EXPECT_FALSE(a->UnlockRecord(17)) << "not one record of a run";
  const std::vector<uint32_t> part = {12, 13, 16, 17, 18, 19, 20};
  EXPECT_FALSE(a->UnlockRecords(part)) << "12 to 14 not named whole";
  EXPECT_TRUE(a->HoldsRecordLock(12));
  EXPECT_FALSE(b->LockRecord(13));
  EXPECT_FALSE(a->HoldsRecordLock(18));
  EXPECT_TRUE(b->LockRecord(18));
  EXPECT_TRUE(b->UnlockRecord(18));
  const std::vector<uint32_t> rest = {12, 13, 14, 30};
  EXPECT_TRUE(a->UnlockRecords(rest));
  EXPECT_TRUE(b->LockRecord(13));
  EXPECT_TRUE(b->LockRecord(30));
  ASSERT_TRUE(a->LockRecordRun(40, 50));
  EXPECT_TRUE(a->UnlockAllRecords());
  EXPECT_TRUE(b->LockRecord(45));
}

TEST_F(DataFileSharing, RecordLocksOfOneObjectAreReleasedByItAloneAndWhenItCloses) {
  TFileList list;
  TestTable tableA, tableB;
  auto a = open(list, tableA);
  auto b = open(list, tableB);
  EXPECT_FALSE(a->LockRecord(0));
  EXPECT_FALSE(a->LockRecord(200'000'002));  // past the slot limit
  EXPECT_FALSE(a->UnlockRecord(0));
  ASSERT_TRUE(a->LockRecord(1));
  ASSERT_TRUE(a->LockRecord(2));
  ASSERT_TRUE(b->LockRecord(3));
  ASSERT_TRUE(b->LockRecord(200'000'001));
  EXPECT_FALSE(a->LockRecord(3));
  EXPECT_TRUE(a->UnlockAllRecords());
  EXPECT_TRUE(b->HoldsRecordLock(3));
  EXPECT_FALSE(a->LockRecord(3)) << "b's lock survived a's release";
  EXPECT_TRUE(b->LockRecord(1));
  EXPECT_FALSE(a->UnlockRecord(1)) << "a lock is released only by its holder";
  EXPECT_TRUE(b->UnlockRecord(1));
  ASSERT_TRUE(a->LockRecord(4));
  a->Close();
  EXPECT_TRUE(b->LockRecord(4));
}

// Record locks released with the write lock go in as few system calls as they can, yet another
// table object's record lock between them (one open of the file in this process serves both)
// stays held, here and to another process; a record not held is refused and the rest released.
TEST_F(DataFileSharing, RecordLocksReleasedWithTheWriteLockLeaveAnotherObjectsLockBetweenThem) {
  Helper checker = helper([](TDataFile& f, char c) {
    f.SetLockRetryRules({1, std::chrono::milliseconds(1)});
    // 'b': record 5 is held elsewhere, 3, 10 to 12 and the write lock are free; 'f': all free.
    const bool fiveFree = f.LockRecord(5);
    const bool restFree = f.LockRecord(3) && f.LockRecordRun(10, 12) && f.LockWrite();
    const bool ok = restFree && fiveFree == (c == 'f');
    f.UnlockAllRecords();
    f.UnlockWrite();
    return ok ? 'k' : 'x';
  });
  ASSERT_EQ(checker.receive(), 'r');
  TFileList list;
  TestTable tableA, tableB;
  auto a = open(list, tableA);
  auto b = open(list, tableB);
  for (bool between : {true, false}) {
    SCOPED_TRACE(between);
    ASSERT_TRUE(a->LockWrite());
    ASSERT_TRUE(a->LockRecord(3));
    ASSERT_TRUE(a->LockRecordRun(10, 12));
    if (between) {
      ASSERT_TRUE(b->LockRecord(5));
    }
    bool writeLock = false;
    const std::vector<uint32_t> held = {3, 10, 11, 12};
    ASSERT_TRUE(a->UnlockRecords(held, &writeLock));
    EXPECT_TRUE(writeLock);
    for (uint32_t r : {3u, 10u, 12u}) EXPECT_FALSE(a->HoldsRecordLock(r)) << r;
    EXPECT_EQ(b->HoldsRecordLock(5), between);
    checker.send(between ? 'b' : 'f');
    EXPECT_EQ(checker.receive(), 'k');
    EXPECT_EQ(a->LockRecord(5), !between) << "b's lock is still b's";
    if (between) {
      EXPECT_TRUE(b->UnlockRecord(5));
    } else {
      EXPECT_TRUE(a->UnlockRecord(5));
    }
  }
  // A record not held is refused; the write lock and the held one go all the same.
  ASSERT_TRUE(a->LockWrite());
  ASSERT_TRUE(a->LockRecord(3));
  bool writeLock = false;
  const std::vector<uint32_t> some = {3, 4};
  EXPECT_FALSE(a->UnlockRecords(some, &writeLock));
  EXPECT_TRUE(writeLock);
  EXPECT_FALSE(a->HoldsRecordLock(3));
  checker.send('f');
  EXPECT_EQ(checker.receive(), 'k');
  checker.send('q');
  EXPECT_EQ(checker.wait(), 0);
}

TEST_F(DataFileSharing, TheWriteLockKeepsAnotherProcessOutUntilReleased) {
  Helper holder = helper([](TDataFile& f, char c) {
    if (c == 'l') return f.LockWrite() ? 'k' : 'x';
    if (c == 'u') return f.UnlockWrite() ? 'k' : 'x';
    return 'x';
  });
  ASSERT_EQ(holder.receive(), 'r');
  TFileList list;
  TestTable table;
  auto f = open(list, table);
  f->SetLockRetryRules({3, std::chrono::milliseconds(1)});
  holder.send('l');
  ASSERT_EQ(holder.receive(), 'k');
  EXPECT_FALSE(f->LockWrite());
  EXPECT_TRUE(f->LockRecord(1)) << "record locks lie apart from the write lock";
  holder.send('u');
  ASSERT_EQ(holder.receive(), 'k');
  EXPECT_TRUE(f->LockWrite());
  EXPECT_TRUE(f->UnlockWrite());
  EXPECT_FALSE(f->UnlockWrite());
  holder.send('q');
  EXPECT_EQ(holder.wait(), 0);
}

}  // namespace
}  // namespace engine
