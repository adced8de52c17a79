// Share modes, open files and lock retries of the file layer between processes (forked helpers).
// The backend's own rules (overlaps, exact unlocks, opens of one process) are fixed by its tests,
// the lock layout of each table file by that file's tests, and the release of everything a
// process held when it ends by the fault-injection run.
#include <gtest/gtest.h>

#include <atomic>

#include "engine/base/veldorerr.h"
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
