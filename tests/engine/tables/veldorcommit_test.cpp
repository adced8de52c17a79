// Commits that fail or are cut short: a write refused at every position of the write-out (full
// disk, short write, I/O error), and the process ending there. Afterwards the session holds no
// lock and no half-written state, the integrity checker either passes or names the damage, and
// the records the transaction did not touch are intact.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/faultfs.h"
#include "table_test_util.h"
#include "tools/tablecheck/blobcheck.h"
#include "tools/tablecheck/tablecheck.h"

namespace engine {
namespace {

using namespace table_test;
namespace fs = std::filesystem;

constexpr uint32_t kRecords = 5;
// Records the transaction leaves alone.
constexpr uint32_t kUntouched[] = {1, 3, 5};
// The most write operations any commit below makes, with room to spare.
constexpr uint64_t kMaxWrites = 40;

// Appends three records, grows one value and shrinks another (freeing blocks).
void changeTable(TDataTable& t) {
  for (uint32_t seed = 6; seed <= 8; ++seed) appendItem(t, seed);
  changeItem(t, 2, 22);
  changeItem(t, 4, 15);  // a shorter value: the rest of the chain goes to the free list
}

class CommitFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    Database(dir.path()).create(kRecords);
    pristine = tableImages(dir);
  }

  // The checkers' verdict; when they pass, the table must open, verify and read in full.
  void checkAfterwards(const std::string& what) {
    for (uint32_t r : kUntouched)
      EXPECT_EQ(rawCode(dir.file("items.DAT"), r), codeFor(r)) << what << ": " << r;
    const tablecheck::Report report = tablecheck::CheckTableFiles(dir.file("items"));
    const tablecheck::BlobReport blobs = tablecheck::CheckTableBlobs(dir.file("items"));
    if (!report.ok() || !blobs.ok()) {
      ++damaged;
      return;
    }
    ++sound;
    Database db(dir.path());
    TDataTable& t = db.open();
    EXPECT_NO_THROW(t.VerifyHeaders()) << what;
    for (uint32_t r : kUntouched) expectItem(t, r, r);
    const uint32_t last = t.DataFile().GetLastRecordNumber();
    EXPECT_TRUE(last == kRecords || last == kRecords + 3) << what;
    for (uint32_t r = 1; r <= last; ++r) EXPECT_NO_THROW(readItem(t, r)) << what << ", record " << r;
  }

  TempDir dir;
  std::vector<std::vector<uint8_t>> pristine;
  int damaged = 0;
  int sound = 0;
};

TEST_F(CommitFaults, AFailedWriteAnywhereInTheCommitRaisesAndReleasesEverything) {
  for (platform::Fault fault :
       {platform::Fault::NoSpace, platform::Fault::ShortWrite, platform::Fault::IoError}) {
    bool completed = false;
    for (uint64_t k = 1; k <= kMaxWrites && !completed; ++k) {
      const std::string what = "fault " + std::to_string(int(fault)) + " at write " + std::to_string(k);
      writeTableImages(dir, pristine);
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      TFileList list(faulty);
      {
        Database db(dir.path(), &list);
        TDataTable& t = db.open();
        db.directory->StartTransaction();
        changeTable(t);
        faulty.setPlan({fault, k, true});
        const uint16_t code = errorOf([&] { db.directory->Commit(true, false); });
        faulty.setPlan({});
        if (code == 0) {
          completed = true;
          expectItem(t, 2, 22);
          expectItem(t, 8, 8);
        } else {
          EXPECT_EQ(code, VELDOR_WRITEERR) << what;
          EXPECT_FALSE(db.directory->InTransaction()) << what;
          EXPECT_FALSE(t.InTransaction()) << what;
          EXPECT_FALSE(t.HoldsTransactionLock()) << what;
          EXPECT_FALSE(t.HoldsWritePair()) << what;
          EXPECT_EQ(t.DataFile().GetCacheCount(), 0u) << what;
          EXPECT_FALSE(t.DataFile().IsHeaderDirty()) << what;
          // Whatever the write-out appended past what the headers on disk count is cut away,
          // so that the table still opens.
          EXPECT_NO_THROW(t.VerifyHeaders()) << what;
          // Nothing is left locked: another session writes at once.
          Database other(dir.path());
          TDataTable& o = other.open();
          EXPECT_NO_THROW({
            o.BeginWrite();
            o.EndWrite();
          }) << what;
        }
      }
      checkAfterwards(what);
    }
    EXPECT_TRUE(completed) << "the commit needs more than " << kMaxWrites << " writes";
  }
  // Some positions leave sound files (nothing, or only whole records, written), others damage
  // that the checker names.
  EXPECT_GT(damaged, 0);
  EXPECT_GT(sound, 0);
}

TEST_F(CommitFaults, AProcessEndingAnywhereInTheCommitLeavesWhatTheCheckerAccountsFor) {
  bool completed = false;
  for (uint64_t k = 1; k <= kMaxWrites && !completed; ++k) {
    const std::string what = "exit at write " + std::to_string(k);
    writeTableImages(dir, pristine);
    const std::string path = dir.path();
    Helper writer([path, k](Helper&) {
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      TFileList list(faulty);
      Database db(path, &list);
      TDataTable& t = db.open();
      db.directory->StartTransaction();
      changeTable(t);
      faulty.setPlan({platform::Fault::Exit, k, true});
      db.directory->Commit(true, false);
      return 0;
    });
    const int code = writer.wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << what << ": " << code;
    completed = code == 0;
    checkAfterwards(what);
  }
  EXPECT_TRUE(completed);
  // Cut short in the middle, the files are not all sound; the checker says so.
  EXPECT_GT(damaged, 0);
}

}  // namespace
}  // namespace engine
