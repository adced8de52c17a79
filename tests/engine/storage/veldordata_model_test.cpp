// Random sequences of appends, changes, frees, flushes and re-opens against an in-memory model
// of the table: every record and the whole free-record chain must match the model. The seed is
// printed with every failure; VELMARON_SEED replays it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "datafile_test_util.h"
#include "storage_test_util.h"

namespace engine {
namespace {

using namespace datafile_test;
using platform::testing::TempFolder;

struct ModelRun {
  const char* name;
  bool inMemory;
  bool transactionLock;
  bool encrypted;
};

void PrintTo(const ModelRun& run, std::ostream* out) {
  *out << run.name;
}

class DataFileModel : public ::testing::TestWithParam<ModelRun> {
 protected:
  void SetUp() override {
    seed = storage_test::testSeed();
    rng.seed(seed);
    RecordProperty("seed", std::to_string(seed));
    table.transactionLock = GetParam().transactionLock;
    file = std::make_unique<TDataFile>(&table, false, &list);
    file->SetName(dir.path("MODEL.DAT"));
    file->SetInMemory(GetParam().inMemory);
    // 993-byte records: a cache of 16 and runs of 8, so that eviction and write-back run often.
    file->DefineStructure(0, 0, 0, 0, GetParam().encrypted, "pw", "model", 0, byteFields(4, 245));
  }

  std::string where() const {
    std::ostringstream out;
    out << "seed " << seed << " (VELMARON_SEED) step " << step;
    return out.str();
  }
  uint32_t pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); }
  uint32_t randomLive() {
    auto it = live.begin();
    std::advance(it, pick(uint32_t(live.size())));
    return it->first;
  }
  TRecord* get(uint32_t n) {
    TRecord* r = nullptr;
    const bool readAhead = pick(2) == 0;
    EXPECT_TRUE(file->GetRecord(nullptr, n, r, pick(2) == 0, false, readAhead)) << where();
    return r;
  }
  void randomFields(TRecord& r) {
    std::vector<uint8_t> bytes(r.GetBufferSize());
    for (size_t i = 9; i < bytes.size(); ++i) bytes[i] = uint8_t(rng());
    r.SetFieldData(bytes.data());
  }
  std::vector<uint8_t> imageOf(const TRecord& r) const {
    return std::vector<uint8_t>(r.GetBuffer(), r.GetBuffer() + file->GetRecordSize());
  }

  void append() {
    const uint32_t expected = freed.empty() ? next : freed.back();
    TRecord* r = nullptr;
    ASSERT_TRUE(file->AllocateRecord(nullptr, r)) << where();
    ASSERT_EQ(r->GetRecordNumber(), expected) << where();
    r->Initialize(true);
    randomFields(*r);
    ASSERT_EQ(r->GetUniqueId(), ++lastId) << where();
    live[expected] = imageOf(*r);
    file->ReleaseRecord(r);
    if (freed.empty())
      ++next;
    else
      freed.pop_back();
  }
  void change() {
    const uint32_t n = randomLive();
    TRecord* r = get(n);
    ASSERT_EQ(imageOf(*r), live[n]) << where() << " record " << n;
    randomFields(*r);
    live[n] = imageOf(*r);
    file->ReleaseRecord(r);
  }
  void free() {
    const uint32_t n = randomLive();
    TRecord* r = get(n);
    file->FreeRecord(r);
    file->ReleaseRecord(r);
    live.erase(n);
    freed.push_back(n);
  }
  void reopen() {
    flushAll(*file);
    file->Close();
    file->Open();
    file->VerifyHeader();
  }

  // Every slot against the model, and the free chain from its head: the slots freed and not
  // yet reused, most recent first, ending in 0.
  void check() {
    ASSERT_EQ(file->GetNextRecordNumber(), next) << where();
    for (uint32_t n = 1; n < next; ++n) {
      TRecord* r = get(n);
      ASSERT_NE(r, nullptr) << where();
      if (live.count(n))
        EXPECT_EQ(imageOf(*r), live[n]) << where() << " record " << n;
      else
        EXPECT_EQ(r->GetStatus(), kRecordDeleted) << where() << " record " << n;
      file->ReleaseRecord(r);
    }
    uint32_t link = file->GetFreeRecordHead();
    for (auto it = freed.rbegin(); it != freed.rend(); ++it) {
      ASSERT_EQ(link, *it) << where();
      TRecord* r = get(link);
      link = r->GetNextFree();
      file->ReleaseRecord(r);
    }
    ASSERT_EQ(link, 0u) << where();
  }

  TempFolder dir;
  TFileList list;
  TestTable table;
  std::unique_ptr<TDataFile> file;
  uint32_t seed = 0;
  std::mt19937 rng;
  int step = 0;
  std::map<uint32_t, std::vector<uint8_t>> live;
  std::vector<uint32_t> freed;
  uint32_t next = 1;
  uint32_t lastId = 0;
};

TEST_P(DataFileModel, RandomAppendsChangesAndFreesMatchTheModel) {
  for (step = 0; step < 2500; ++step) {
    const uint32_t choice = pick(100);
    if (choice < 40 || live.empty())
      append();
    else if (choice < 68)
      change();
    else if (choice < 88)
      free();
    else if (choice < 93)
      ASSERT_NO_THROW(flushAll(*file)) << where();
    else if (choice < 95)
      reopen();
    else if (choice < 97) {
      flushAll(*file);
      file->ClearRecordCache();
    } else
      file->TrimRecordCache();
    if (HasFatalFailure()) return;
    if (step % 250 == 249) check();
    if (HasFatalFailure()) return;
  }
  check();
  reopen();
  check();
  EXPECT_EQ(std::filesystem::exists(dir.path("MODEL.DAT")), !GetParam().inMemory);
}

INSTANTIATE_TEST_SUITE_P(Files, DataFileModel,
                         ::testing::Values(ModelRun{"Disk", false, false, false},
                                           ModelRun{"Memory", true, false, false},
                                           ModelRun{"DiskInTransaction", false, true, false},
                                           ModelRun{"EncryptedDisk", false, false, true}),
                         [](const ::testing::TestParamInfo<ModelRun>& info) { return info.param.name; });

}  // namespace
}  // namespace engine
