// Byte-range locks and share modes between processes (forked helpers), with the lock offsets the
// table files use. The backend's own rules (overlaps, exact unlocks, opens of one process) are
// fixed by its tests; here the file layer's use of them is.
#include <gtest/gtest.h>

#include <atomic>

#include "engine/storage/veldorerr.h"
#include "engine/storage/veldorfile.h"
#include "storage_test_util.h"

namespace engine {
namespace {

using platform::testing::TempFolder;
using storage_test::Helper;

// The table files' lock ranges.
constexpr int64_t kDataWriteLock = INT64_C(0xFFFFFFFF);
constexpr int64_t kIndexWriteLock = INT64_C(0xFFFEFFFF);
constexpr int64_t kIndexWriteLength = 65536;
int64_t readSlot(int64_t slot) {
  return INT64_C(0xFFFFFFFF) - slot;
}
int64_t recordLock(int64_t record) {
  return INT64_C(0xFFFFFFFE) - record;
}

using storage_test::errorOf;

std::unique_ptr<TFileHandler> handler(TFileList& list, const std::string& name, bool exclusive = false) {
  auto h = std::make_unique<TFileHandler>(&list);
  h->SetName(name);
  h->SetExclusive(exclusive);
  return h;
}

class ProcessLocks : public ::testing::Test {
 protected:
  void SetUp() override {
    TFileList list;
    handler(list, path)->CreateFile();
  }
  TempFolder dir;
  const std::string path = dir.path("task.idx");
};

// A helper that opens the table file in its own process, does `hold`, reports 'r' and waits for
// the test to send 'q'; then it closes and ends with 0.
Helper holder(const std::string& path, bool exclusive, const std::function<bool(TFileHandler&)>& hold) {
  return Helper([=](Helper& self) {
    TFileList list;
    auto h = handler(list, path, exclusive);
    h->Open();
    if (!hold(*h)) return 2;
    self.send('r');
    while (char c = self.receive()) {
      if (c == 'q') return 0;
    }
    return 3;
  });
}

TEST_F(ProcessLocks, ShareModesHoldAgainstAnotherProcess) {
  TFileList list;
  {
    Helper shared = holder(path, false, [](TFileHandler&) { return true; });
    ASSERT_EQ(shared.receive(), 'r');
    EXPECT_EQ(errorOf([&] { handler(list, path, true)->Open(); }), VELDOR_OSEACCES);
    handler(list, path)->Open();
    shared.send('q');
    ASSERT_EQ(shared.wait(), 0);
  }
  Helper exclusive = holder(path, true, [](TFileHandler&) { return true; });
  ASSERT_EQ(exclusive.receive(), 'r');
  EXPECT_EQ(errorOf([&] { handler(list, path)->Open(); }), VELDOR_OSEACCES);
  EXPECT_EQ(errorOf([&] { handler(list, path, true)->Open(); }), VELDOR_OSEACCES);
  EXPECT_EQ(errorOf([&] { handler(list, path)->CreateFile(); }), VELDOR_OSEACCES) << "nor may it be emptied";
  exclusive.send('q');
  ASSERT_EQ(exclusive.wait(), 0);
  auto mine = handler(list, path, true);
  mine->Open();
  EXPECT_TRUE(mine->IsOpen());
}

// Deleting or renaming a file that another process still has open would leave that process
// writing into a file without a name: its later writes would be lost.
TEST_F(ProcessLocks, AFileThatAnotherProcessHasOpenIsNeitherDeletedNorRenamed) {
  Helper other = holder(path, false, [](TFileHandler&) { return true; });
  ASSERT_EQ(other.receive(), 'r');
  TFileList list;
  auto h = handler(list, path);
  EXPECT_EQ(errorOf([&] { h->DeleteFile(); }), VELDOR_OSEACCES);
  EXPECT_EQ(errorOf([&] { h->RenameFile(dir.path("moved.idx")); }), VELDOR_OSEACCES);
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_FALSE(std::filesystem::exists(dir.path("moved.idx")));
  other.send('q');
  ASSERT_EQ(other.wait(), 0);
  h->RenameFile(dir.path("moved.idx"));
  h->DeleteFile();
  EXPECT_FALSE(std::filesystem::exists(dir.path("moved.idx")));
}

TEST_F(ProcessLocks, AWriterExcludesEveryReaderSlotAndAReaderExcludesTheWriter) {
  Helper reader = holder(path, false, [](TFileHandler& h) { return h.LockRegion(true, readSlot(17), 1); });
  ASSERT_EQ(reader.receive(), 'r');
  TFileList list;
  auto h = handler(list, path);
  h->Open();
  EXPECT_FALSE(h->LockRegion(true, kIndexWriteLock, kIndexWriteLength));
  EXPECT_FALSE(h->LockRegion(true, readSlot(17), 1)) << "the same slot";
  EXPECT_TRUE(h->LockRegion(true, readSlot(18), 1)) << "readers rarely collide";
  EXPECT_TRUE(h->LockRegion(false, readSlot(18), 1));
  reader.send('q');
  ASSERT_EQ(reader.wait(), 0);
  ASSERT_TRUE(h->LockRegion(true, kIndexWriteLock, kIndexWriteLength));

  Helper late = Helper([&](Helper&) {
    TFileList own;
    auto r = handler(own, path);
    r->Open();
    for (int64_t slot : {1, 2, 65535}) {
      if (r->LockRegion(true, readSlot(slot), 1)) return 4;
    }
    return r->LockRegion(true, kDataWriteLock, 1) ? 0 : 5;
  });
  EXPECT_EQ(late.wait(), 0)
      << "no reader slot while the writer holds its range; the data write byte is apart";
}

TEST_F(ProcessLocks, RecordLocksAreIndependentOfEachOther) {
  Helper other = holder(path, false, [](TFileHandler& h) { return h.LockRegion(true, recordLock(5), 1); });
  ASSERT_EQ(other.receive(), 'r');
  TFileList list;
  auto h = handler(list, path);
  h->Open();
  EXPECT_FALSE(h->LockRegion(true, recordLock(5), 1));
  EXPECT_TRUE(h->LockRegion(true, recordLock(4), 1));
  EXPECT_TRUE(h->LockRegion(true, recordLock(6), 1));
  EXPECT_TRUE(h->LockRegion(true, recordLock(200000000), 1));
  EXPECT_TRUE(h->LockRegion(true, kDataWriteLock, 1));
  EXPECT_FALSE(h->LockRegion(false, recordLock(5), 1)) << "only its holder can release it";
  other.send('q');
  ASSERT_EQ(other.wait(), 0);
  EXPECT_TRUE(h->LockRegion(true, recordLock(5), 1));
}

TEST_F(ProcessLocks, AKilledHolderLosesItsLocksAndItsOpen) {
  Helper victim = holder(path, true, [](TFileHandler& h) {
    return h.LockRegion(true, kDataWriteLock, 1) && h.LockRegion(true, recordLock(3), 1);
  });
  ASSERT_EQ(victim.receive(), 'r');
  TFileList list;
  EXPECT_EQ(errorOf([&] { handler(list, path)->Open(); }), VELDOR_OSEACCES);
  EXPECT_EQ(victim.kill9(), 128 + SIGKILL);
  auto h = handler(list, path, true);
  h->Open();
  EXPECT_TRUE(h->LockRegion(true, kDataWriteLock, 1));
  EXPECT_TRUE(h->LockRegion(true, recordLock(3), 1));
}

TEST_F(ProcessLocks, TheRetryGivesUpAfterItsAttemptsWhileAnotherProcessHoldsTheLock) {
  Helper other = holder(
      path, false, [](TFileHandler& h) { return h.LockRegion(true, kIndexWriteLock, kIndexWriteLength); });
  ASSERT_EQ(other.receive(), 'r');
  TFileList list;
  auto h = handler(list, path);
  h->Open();
  h->SetLockRetryRules({6, std::chrono::milliseconds(1)});
  std::vector<uint32_t> attempts;
  uint32_t slot = 100;
  EXPECT_FALSE(h->LockRegionRetrying(
      [&](uint32_t attempt) {
        attempts.push_back(attempt);
        return readSlot(++slot);  // a new slot for every attempt
      },
      1));
  EXPECT_EQ(attempts, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_FALSE(h->LockRegionRetrying([](uint32_t) { return kDataWriteLock - 65536; }, 1));
  other.send('q');
  ASSERT_EQ(other.wait(), 0);
  attempts.clear();
  EXPECT_TRUE(h->LockRegionRetrying(
      [&](uint32_t attempt) {
        attempts.push_back(attempt);
        return kIndexWriteLock;
      },
      kIndexWriteLength));
  EXPECT_EQ(attempts, std::vector<uint32_t>{1});
}

}  // namespace
}  // namespace engine
