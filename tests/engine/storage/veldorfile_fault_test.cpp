// A small table-file scenario run over a backend that fails at every k-th operation: each failure
// must surface as the right engine error, and leave no handle, lock, share mode or partial backup.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorfile.h"
#include "platform/faultfs.h"
#include "storage_test_util.h"

namespace engine {
namespace {

using platform::Fault;
using platform::testing::TempFolder;
using storage_test::Helper;

constexpr int64_t kDataWriteLock = INT64_C(0xFFFFFFFF);
constexpr int kRecords = 10;
constexpr int kRecordSize = 100;
constexpr int kHeaderSize = 127;

std::vector<uint8_t> expectedContents() {
  std::vector<uint8_t> v(kHeaderSize + kRecords * kRecordSize);
  for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(i % 97 + (i < kHeaderSize ? 100 : 0));
  return v;
}

std::unique_ptr<TFileHandler> handler(TFileList& list, const std::string& name, bool exclusive = false) {
  auto h = std::make_unique<TFileHandler>(&list);
  h->SetName(name);
  h->SetExclusive(exclusive);
  return h;
}

// Writes a table file (header, then records), flushes it, backs it up, reads it back, restores it
// from the backup and drops the backup, the way the table layer uses the file layer.
void scenario(TFileList& list, const TempFolder& dir, bool compress) {
  const std::vector<uint8_t> data = expectedContents();
  auto h = handler(list, dir.path("t.dat"));
  h->CreateFile();
  h->WriteAt(0, data.data(), kHeaderSize);
  for (int r = 0; r < kRecords; ++r) {
    const int64_t at = kHeaderSize + int64_t(r) * kRecordSize;
    h->EnterSection();
    h->Seek(kSeekBegin, at);
    h->Write(data.data() + at, kRecordSize);
    h->LeaveSection();
  }
  h->Flush();
  if (!h->LockRegion(true, kDataWriteLock, 1)) throw std::runtime_error("lock");
  h->CopyToNewFile(dir.path("t.bak"), compress, nullptr, 0);
  h->LockRegion(false, kDataWriteLock, 1);
  h->Close();

  h->Open();
  std::vector<uint8_t> back(data.size());
  h->ReadAt(0, back.data(), kHeaderSize);
  h->Read(back.data() + kHeaderSize, int64_t(data.size()) - kHeaderSize);
  if (back != data) throw std::runtime_error("read back differs");
  h->Seek(kSeekBegin, 0);
  h->CopyToFile(dir.path("t.bak"), compress, nullptr, 0);
  h->Close();
  handler(list, dir.path("t.bak"))->DeleteFile();
}

// The engine error that a fault of this kind may show as, whichever operation it strikes.
bool expectedCode(Fault fault, uint16_t code) {
  switch (fault) {
    case Fault::ShortWrite:
      return code == VELDOR_WRITEERR;
    case Fault::NoSpace:
      return code == VELDOR_WRITEERR || code == VELDOR_OSUNKNOWN;
    case Fault::IoError:
      return code == VELDOR_WRITEERR || code == VELDOR_READERR || code == VELDOR_OSUNKNOWN;
    default:
      return false;
  }
}

// Nothing of the failed run is still held: no listed file, no share mode, no lock, and a backup
// exists only when it is a whole copy.
void expectNothingHalfClaimed(TFileList& list, const TempFolder& dir, bool compress, uint64_t every) {
  EXPECT_EQ(list.Count(), 0u) << "a file object outlived its handles";
  TFileList clean;
  if (std::filesystem::exists(dir.path("t.dat"))) {
    auto h = handler(clean, dir.path("t.dat"), true);
    h->Open();
    EXPECT_TRUE(h->LockRegion(true, kDataWriteLock, 1));
  }
  if (every > 1 && std::filesystem::exists(dir.path("t.bak"))) {
    auto restored = handler(clean, dir.path("restored.dat"));
    restored->CreateFile();
    restored->CopyToFile(dir.path("t.bak"), compress, nullptr, 0);
    std::vector<uint8_t> back(expectedContents().size());
    restored->ReadAt(0, back.data(), int64_t(back.size()));
    EXPECT_EQ(back, expectedContents()) << "a backup was left that is not a whole copy";
    EXPECT_EQ(restored->GetFileSize(), int64_t(back.size()));
  }
}

class FaultInjection : public ::testing::TestWithParam<bool> {
 protected:
  bool compress() const { return GetParam(); }

  // Operations of a run without faults.
  uint64_t cleanRunOperations(bool writesOnly) {
    TempFolder dir;
    platform::FaultyFileSystem fs(platform::FileSystem::local());
    fs.setPlan({Fault::None, 0, writesOnly});
    TFileList list(fs);
    scenario(list, dir, compress());
    return fs.operations();
  }
};

INSTANTIATE_TEST_SUITE_P(PlainAndCompressedBackup, FaultInjection, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Compressed" : "Plain"; });

TEST_P(FaultInjection, EveryKthOperationFailingGivesTheRightErrorAndLeavesNothingHeld) {
  const uint64_t total = cleanRunOperations(false);
  ASSERT_GT(total, 20u);
  for (Fault fault : {Fault::ShortWrite, Fault::NoSpace, Fault::IoError}) {
    for (uint64_t every = 1; every <= total + 1; ++every) {
      SCOPED_TRACE("fault " + std::to_string(int(fault)) + " every " + std::to_string(every));
      TempFolder dir;
      platform::FaultyFileSystem fs(platform::FileSystem::local());
      fs.setPlan({fault, every, false});
      TFileList list(fs);
      bool failed = false;
      try {
        scenario(list, dir, compress());
      } catch (const EVELDOREngineError& e) {
        failed = true;
        EXPECT_TRUE(expectedCode(fault, e.ErrorCode())) << e.what();
        EXPECT_EQ(e.OSError(), uint32_t(fault == Fault::IoError ? EIO : ENOSPC)) << e.what();
        EXPECT_FALSE(e.Item(kItemTable).empty());
      }
      // With every k in turn, each write is the first one struck once: a short write is never
      // taken for success.
      EXPECT_EQ(failed, fs.faults() > 0) << "a fault that struck was not reported, or one was invented";
      expectNothingHalfClaimed(list, dir, compress(), every);
    }
  }
}

TEST_P(FaultInjection, AProcessEndingAtAnyWriteLeavesNoLockOrShareMode) {
  const uint64_t writes = cleanRunOperations(true);
  for (uint64_t k = 1; k <= writes; ++k) {
    SCOPED_TRACE("exit at write " + std::to_string(k));
    TempFolder dir;
    Helper child([&](Helper&) {
      platform::FaultyFileSystem fs(platform::FileSystem::local());
      fs.setPlan({Fault::Exit, k, true});
      TFileList list(fs);
      scenario(list, dir, compress());
      return 0;
    });
    EXPECT_EQ(child.wait(), platform::kFaultExitCode);
    TFileList list;
    auto h = handler(list, dir.path("t.dat"), true);
    h->Open();
    EXPECT_TRUE(h->LockRegion(true, kDataWriteLock, 1));
  }
}

}  // namespace
}  // namespace engine
