// Commits that fail or are cut short: a write refused at every position of the write-out (full
// disk, short write, I/O error), and the process ending there. Afterwards the session holds no
// lock and no half-written state, the integrity checker either passes or names the damage, and
// the records the transaction did not touch are intact. Also the blob checker on its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

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

// ---- The blob checker ----

class BlobCheck : public ::testing::Test {
 protected:
  void SetUp() override { Database(dir.path()).create(kRecords); }
  std::string file(const char* ext) const { return dir.file(std::string("items") + ext); }
  int64_t blockAt(uint32_t n) const { return 512 + int64_t(n - 1) * 512; }
  void patch(int64_t offset, uint32_t value) {
    datafile_test::patchFile(file(".BLB"),
                             [&](std::vector<uint8_t>& b) { platform::put4(b.data() + offset, value); });
  }
  // The first block of record `r`'s value.
  uint32_t firstBlock(uint32_t r) {
    Database db(dir.path());
    TDataTable& t = db.open();
    TRecord* rec = nullptr;
    t.DataFile().GetRecord(nullptr, r, rec);
    const uint32_t first = platform::get4(rec->GetBuffer() + fieldOf(t, 2).Offset() + 1);
    t.DataFile().ReleaseRecord(rec);
    return first;
  }
  std::string problems() {
    std::string all;
    for (const auto& p : tablecheck::CheckTableBlobs(dir.file("items")).problems) all += p + "\n";
    return all;
  }
  TempDir dir;
};

TEST_F(BlobCheck, SoundTableHasNoProblemsAlsoAfterFreesAndReuse) {
  const tablecheck::BlobReport sound = tablecheck::CheckTableBlobs(file(".DAT"));
  EXPECT_TRUE(sound.ok()) << problems();
  EXPECT_EQ(sound.values, kRecords);
  {
    Database db(dir.path());
    TDataTable& t = db.open();
    t.BeginWrite();
    changeItem(t, 4, 15);
    changeItem(t, 5, 14);
    t.FlushTable(false, false, false, false, false);
    t.EndWrite();
  }
  const tablecheck::BlobReport report = tablecheck::CheckTableBlobs(file(".BLB"));
  EXPECT_TRUE(report.ok()) << problems();
  EXPECT_GT(report.freeBlocks + report.blockCount, 0u);
}

// Each kind of damage to the blob or data file and the words that name it.
TEST_F(BlobCheck, EachDamageIsReported) {
  struct Damage {
    const char* what;
    std::function<void()> apply;
    const char* reported;  // empty: any problem
  };
  const uint32_t first5 = firstBlock(5);  // several blocks
  const uint32_t first3 = firstBlock(3);
  const uint32_t first1 = firstBlock(1);
  auto resize = [this](const char* ext, std::function<size_t(size_t)> size) {
    datafile_test::patchFile(file(ext), [&](std::vector<uint8_t>& b) { b.resize(size(b.size())); });
  };
  const Damage damages[] = {
      {"chain running into another value", [&] { patch(blockAt(first5) + 4, first3); },
       "already belongs to a value"},
      {"chain linking back", [&] { patch(blockAt(first5 + 1) + 4, first5); }, ""},
      {"owner of another record", [&] { patch(blockAt(first1) + 10, 99); }, "owned by 99"},
      {"block counted and written but of no value",
       [&] {
         datafile_test::patchFile(file(".BLB"), [](std::vector<uint8_t>& b) {
           platform::put4(b.data() + 13, platform::get4(b.data() + 13) + 1);
           b.resize(b.size() + 512);
         });
       },
       "neither in a value nor free"},
      {"tail past the blocks", [&] { resize(".BLB", [](size_t n) { return n + 100; }); },
       "past the blocks its header counts"},
      {"value named before its blocks were written",
       [&] { resize(".BLB", [&](size_t) { return size_t(blockAt(first5)); }); }, "never written"},
      {"data file longer than its header", [&] { resize(".DAT", [](size_t n) { return n + 10; }); },
       "data file"},
  };
  const auto sound = tableImages(dir);
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    writeTableImages(dir, sound);
    d.apply();
    const std::string found = problems();
    EXPECT_NE(found.find(d.reported), std::string::npos) << found;
    EXPECT_FALSE(found.empty());
  }
}

TEST_F(BlobCheck, RandomlyDamagedFilesAreReportedWithoutCrashing) {
  std::mt19937 rng(storage_test::testSeed());
  const auto data = datafile_test::readFileBytes(file(".DAT"));
  const auto blob = datafile_test::readFileBytes(file(".BLB"));
  for (int round = 0; round < 60; ++round) {
    std::vector<uint8_t> d = data, b = blob;
    std::vector<uint8_t>& target = round % 3 == 0 ? d : b;
    if (round % 5 == 4) target.resize(rng() % target.size());
    for (int flips = 1 + int(rng() % 24); flips > 0 && !target.empty(); --flips)
      target[rng() % target.size()] ^= uint8_t(1u << (rng() % 8));
    tablecheck::CheckBlobImages(d, b);
  }
}

}  // namespace
}  // namespace engine
