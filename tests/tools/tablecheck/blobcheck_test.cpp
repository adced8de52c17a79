// The blob checker over real table files: a sound table passes, also after values were freed and
// their blocks reused; each kind of damage is named; randomly damaged files never crash it.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "tests/engine/tables/table_test_util.h"
#include "tools/tablecheck/blobcheck.h"

namespace engine {
namespace {

using namespace table_test;

constexpr uint32_t kRecords = 5;

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
