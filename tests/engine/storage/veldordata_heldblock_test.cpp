// Records a cursor in key order asks for one at a time, far apart in the file: the data file
// reads the block of slots around each and serves later misses from the blocks it holds. Read in
// one scattered order after another, every record is what a read of the file gives (the cache's
// dirty records winning), after each road that writes slots: a flush of changed records, a run
// rewritten or freed in held writes, another object's writes to the shared file once the cache
// is cleared as the table clears it for another process's change, and held writes dropped by a
// rollback. Plain and scrambled files.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "datafile_test_util.h"
#include "storage_test_util.h"

namespace engine {
namespace {

using namespace datafile_test;
using platform::testing::TempFolder;

// Many times the record cache of 61-byte records, well within the blocks held.
constexpr uint32_t kRecords = 1500;

class HeldBlocks : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    path = dir.path("APART.DAT");
    table.encrypted = GetParam();
    {
      TDataFile f(&table, false, &list);
      f.SetName(path);
      f.DefineStructure(0, 0, 0, 0, GetParam(), GetParam() ? "pw" : "", "", 0, byteFields(4, 12));
      appendRecords(f, kRecords);
      flushAll(f);
    }
    file = openFile();
    // One record a read, as a cursor asks for whose next entries lie elsewhere.
    cursor.wanted = 1;
  }
  std::unique_ptr<TDataFile> openFile() {
    auto f = std::make_unique<TDataFile>(&table, false, &list);
    f->SetName(path);
    f->Open();
    f->VerifyHeader();
    return f;
  }
  // Record n as a cursor's key-order fetch gets it.
  std::vector<uint8_t> fetch(uint32_t n) {
    TRecord* r = nullptr;
    EXPECT_TRUE(file->GetRecord(&cursor, n, r, true, true, true));
    if (!r) return {};
    std::vector<uint8_t> out(r->GetBuffer(), r->GetBuffer() + file->GetRecordSize());
    file->ReleaseRecord(r);
    return out;
  }
  // Every record in an order drawn from `seed`, each against what the slow road reads for it:
  // the file's bytes past the held blocks, or the cached record when it is dirty. The disk
  // reads it took.
  uint64_t expectAllCurrent(uint32_t seed) {
    std::vector<uint8_t> slow;
    const uint32_t r = file->GetRecordSize();
    EXPECT_TRUE(file->ReadRecordImages(nullptr, 1, kRecords, slow));
    std::vector<uint32_t> order(kRecords);
    std::iota(order.begin(), order.end(), 1u);
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    const uint64_t before = file->GetCacheCounters().runsRead;
    for (uint32_t n : order) {
      const std::vector<uint8_t> got = fetch(n);
      if (!std::equal(got.begin(), got.end(), slow.begin() + std::ptrdiff_t(size_t(n - 1) * r))) {
        ADD_FAILURE() << "record " << n << " in order " << seed;
        break;
      }
    }
    return file->GetCacheCounters().runsRead - before;
  }
  // Changes records through the cache, leaving them dirty.
  void change(const std::vector<uint32_t>& numbers, uint32_t seed) {
    for (uint32_t n : numbers) {
      TRecord* r = nullptr;
      ASSERT_TRUE(file->GetRecord(nullptr, n, r));
      fillRecord(*r, n * 13 + seed);
      file->ReleaseRecord(r);
    }
  }
  // Plain images of first..first+count-1, changed from `seed`.
  std::vector<uint8_t> changedRun(uint32_t first, uint32_t count, uint32_t seed) {
    std::vector<uint8_t> images;
    EXPECT_TRUE(file->ReadRecordImages(nullptr, first, count, images));
    const uint32_t r = file->GetRecordSize();
    for (uint32_t i = 0; i < count; ++i)
      for (uint32_t b = 9; b < r; ++b) images[size_t(i) * r + b] = uint8_t(seed + i * 3 + b);
    return images;
  }

  TempFolder dir;
  TFileList list;
  TestTable table;
  TestCursor cursor;
  std::string path;
  std::unique_ptr<TDataFile> file;
};

TEST_P(HeldBlocks, EveryReadIsCurrentAfterEachRoadThatWritesSlots) {
  EXPECT_GT(expectAllCurrent(1), 0u);
  // The blocks hold the table now: a second pass reads almost nothing.
  EXPECT_LT(expectAllCurrent(2), uint64_t(kRecords / 20));

  // A flush of records changed through the cache, some cached still, some let go since.
  change({3, 4, 5, 700, 701, 1499}, 1);
  EXPECT_TRUE(file->FlushDirtyRecords());
  expectAllCurrent(3);
  // Changed and not yet written: the cached record wins over the blocks.
  change({10, 900}, 2);
  expectAllCurrent(4);
  EXPECT_TRUE(file->FlushDirtyRecords());
  expectAllCurrent(5);

  // Runs rewritten and freed past the cache, in held writes.
  file->SetHoldWrites(true);
  file->RewriteRecordRun(200, 40, changedRun(200, 40, 7));
  expectAllCurrent(6);
  std::vector<uint8_t> freed;
  ASSERT_TRUE(file->ReadRecordImages(nullptr, 1000, 30, freed));
  file->FreeRecordRun(1000, 30, std::move(freed));
  expectAllCurrent(7);
  // Written out: the same bytes from the file.
  file->WriteOutHeld(false);
  file->DropHeldWrites();
  file->SetHoldWrites(false);
  expectAllCurrent(8);

  // A rollback: the held writes go, and the table clears the cache with them.
  file->SetHoldWrites(true);
  file->RewriteRecordRun(50, 100, changedRun(50, 100, 9));
  expectAllCurrent(9);
  file->DropHeldWrites();
  file->ClearRecordCache();
  file->SetHoldWrites(false);
  expectAllCurrent(10);

  // Another object of the shared file writes, as another process would; the table clears the
  // cache once it sees the change.
  {
    auto other = openFile();
    for (uint32_t n : {2u, 333u, 800u, 1200u}) {
      TRecord* r = nullptr;
      ASSERT_TRUE(other->GetRecord(nullptr, n, r));
      fillRecord(*r, n + 99);
      other->ReleaseRecord(r);
    }
    flushAll(*other);
  }
  file->ClearRecordCache();
  expectAllCurrent(11);
}

INSTANTIATE_TEST_SUITE_P(Files, HeldBlocks, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Scrambled" : "Plain");
                         });

}  // namespace
}  // namespace engine
