// The table checker over real table files: a sound table passes, and each kind of damage is
// named: a record without its key, a key of a deleted record, a wrong record count, keys out of
// order, a wrong branch count, a broken sibling link, a page that belongs to nothing, a record
// missing from the record-id index.
#include "engine/storage/veldordata.h"
#include "tests/engine/storage/datafile_test_util.h"
#include "tests/engine/storage/index_test_util.h"

namespace {

using namespace index_test;
using platform::get2;
using platform::get4;
using platform::put4;

bool Mentions(const tablecheck::Report& report, const std::string& text) {
  for (const std::string& p : report.problems)
    if (p.find(text) != std::string::npos) return true;
  return false;
}

// A table of `count` records with an 8-byte key per record in its primary index; every
// record whose number is a multiple of 5 is deleted again (with its key).
class TableCheckTest : public testing::Test {
 protected:
  void SetUp() override { build(false); }

  void build(bool encrypted) {
    base_ = dir_.path("orders");
    datafile_test::TestTable table;
    table.tablePath = dir_.path();
    TDataFile data(&table);
    data.SetName(base_ + ".DAT");
    data.DefineStructure(0, 0, 0, 0, encrypted, encrypted ? "pw" : "", "", 0,
                         datafile_test::byteFields(1, 8));
    datafile_test::appendRecords(data, kCount);
    owner_.encrypted = encrypted;
    owner_.fields = {{"F1", 9, 0, 8}};
    TIndexFile index(owner_);
    index.SetName(base_ + ".IDX");
    index.CreateFile();
    TIndexDescriptor d;
    d.keySize = 9;
    d.fieldCount = 1;
    d.fields[0] = 1;
    index.DefinePrimaryIndex(d);
    TIndexCursor cursor;
    TIndexTree tree(index, cursor, 0);
    // The record-id index: one entry per slot, its status byte then its unique id.
    TIndexTree ids(index, cursor, kSysDeletedSlot);
    for (uint32_t r = 1; r <= kCount; ++r) {
      tree.InsertKey(Bytes(key(r)), r);
      ids.InsertKey(Bytes(idKey(0, r)), r);
      index.IncRecordCount();
    }
    for (uint32_t r = 5; r <= kCount; r += 5) {
      TRecord* record = nullptr;
      datafile_test::TestCursor reader;
      ASSERT_TRUE(data.GetRecord(&reader, r, record, true, false, false));
      data.FreeRecord(record);
      data.ReleaseRecord(record);
      ASSERT_TRUE(tree.DeleteKey(Bytes(key(r)), r));
      ASSERT_TRUE(ids.DeleteKey(Bytes(idKey(0, r)), r));
      ids.InsertKey(Bytes(idKey(1, r)), r);
      index.DecRecordCount();
    }
    datafile_test::flushAll(data);
    data.Close();
    index.FlushDirtyPages();
    index.WriteHeader(false);
    index.Close();
  }

  static std::string key(uint32_t r) { return std::string(1, '\1') + MakeKey(r * 11, 8); }
  static std::string idKey(uint8_t status, uint32_t id) {
    return std::string(1, char(status)) + MakeKey(id, 4);
  }

  tablecheck::Report check() const {
    tablecheck::Options options;
    return tablecheck::CheckTableFiles(base_ + ".DAT", options);
  }

  // Applies `edit` to a plain copy of page n of the index file.
  void editPage(uint32_t n, const std::function<void(std::vector<uint8_t>&)>& edit) {
    datafile_test::patchFile(base_ + ".IDX", [&](std::vector<uint8_t>& bytes) {
      uint8_t* page = bytes.data() + n * kIndexPageSize;
      if (owner_.encrypted) UnscrambleBuffer(page, kIndexPageSize, kStructureSeed);
      std::vector<uint8_t> image(page, page + kIndexPageSize);
      edit(image);
      std::copy(image.begin(), image.end(), page);
      if (owner_.encrypted) ScrambleBuffer(page, kIndexPageSize, kStructureSeed);
    });
  }
  // The first page of a type.
  uint32_t findPage(uint8_t type) {
    const std::vector<uint8_t> bytes = datafile_test::readFileBytes(base_ + ".IDX");
    for (uint32_t p = 1; (p + 1) * kIndexPageSize <= bytes.size(); ++p) {
      std::vector<uint8_t> page(bytes.begin() + p * kIndexPageSize, bytes.begin() + (p + 1) * kIndexPageSize);
      if (owner_.encrypted) UnscrambleBuffer(page.data(), page.size(), kStructureSeed);
      if (page[0] == type && get2(page.data() + 1) > 2) return p;
    }
    return 0;
  }

  static constexpr uint32_t kCount = 3000;
  platform::testing::TempFolder dir_;
  std::string base_;
  TStandaloneTableOwner owner_;
};

// An encrypted one with its flag taken from the data file.
TEST_F(TableCheckTest, ASoundTablePassesPlainOrEncrypted) {
  for (bool encrypted : {false, true}) {
    if (encrypted) build(true);
    const tablecheck::Report report = check();
    EXPECT_TRUE(report.ok()) << report.text();
    EXPECT_EQ(report.recordCount, kCount - kCount / 5);
  }
}

TEST_F(TableCheckTest, ARecordWithoutItsKeyAndAKeyOfADeletedRecordAreNamed) {
  // Point one leaf entry at a deleted record: record r loses its key, record 5 gains one.
  const uint32_t leaf = findPage(ptLeaf);
  ASSERT_NE(leaf, 0u);
  uint32_t lost = 0;
  editPage(leaf, [&](std::vector<uint8_t>& page) {
    lost = get4(page.data() + 13 + 9);
    put4(page.data() + 13 + 9, 5);
  });
  const tablecheck::Report report = check();
  EXPECT_TRUE(Mentions(report, "entry for deleted record 5")) << report.text();
  EXPECT_TRUE(Mentions(report, "no entry for record " + std::to_string(lost))) << report.text();
}

// Each kind of damage to the index file and the words that name it.
TEST_F(TableCheckTest, EachDamageIsNamed) {
  struct Damage {
    const char* what;
    std::function<void()> apply;
    const char* named;
  };
  const std::string indexPath = base_ + ".IDX";
  const Damage damages[] = {
      {"wrong record count",
       [&] {
         datafile_test::patchFile(indexPath, [](auto& b) { put4(b.data() + kIndexRecordCountOffset, 7); });
       },
       "record count 7"},
      {"keys out of order",
       [&] {
         editPage(findPage(ptLeaf), [](std::vector<uint8_t>& page) {
           std::swap_ranges(page.begin() + 13, page.begin() + 26, page.begin() + 26);
         });
       },
       "not after"},
      {"wrong branch count",
       [&] {
         editPage(findPage(ptRootBranch), [](std::vector<uint8_t>& page) {
           put4(page.data() + 13 + 9 + 4, get4(page.data() + 13 + 9 + 4) + 1);
         });
       },
       "its parent entry counts"},
      {"broken sibling link",
       [&] { editPage(findPage(ptLeaf), [](std::vector<uint8_t>& page) { put4(page.data() + 7, 0); }); },
       "next link"},
      {"page that belongs to nothing",
       [&] {
         datafile_test::patchFile(indexPath, [](auto& b) {
           const uint32_t next = get4(b.data() + 9);
           b.resize(b.size() + kIndexPageSize, 0);
           put4(b.data() + 9, next + 1);
         });
       },
       "reachable from no index"},
      {"slot missing from the record-id index",
       [&] {
         TIndexFile index(owner_);
         index.SetName(indexPath);
         index.Open();
         TIndexCursor cursor;
         ASSERT_TRUE(TIndexTree(index, cursor, kSysDeletedSlot).DeleteKey(Bytes(idKey(1, 10)), 10));
         index.FlushDirtyPages();
       },
       "\"Sys Deleted\"): no entry for record 10"},
  };
  const std::vector<uint8_t> sound = datafile_test::readFileBytes(indexPath);
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    datafile_test::writeFileBytes(indexPath, sound);
    d.apply();
    const tablecheck::Report report = check();
    EXPECT_TRUE(Mentions(report, d.named)) << report.text();
  }
}

// The checker runs on files that a crash or a bug damaged: any damage is reported, never a crash
// (ASan and UBSan in the test build) or a hang.
TEST_F(TableCheckTest, RandomlyDamagedFilesAreReportedWithoutCrashing) {
  std::mt19937 rng(testSeed());
  const std::vector<uint8_t> index = datafile_test::readFileBytes(base_ + ".IDX");
  tablecheck::Options options;
  for (int round = 0; round < 60; ++round) {
    std::vector<uint8_t> damaged = index;
    if (round % 6 == 5) damaged.resize(rng() % damaged.size());
    const size_t from = round % 3 == 0 ? 0 : kIndexHeaderSize;
    for (int flips = 1 + int(rng() % 24); flips > 0 && round % 6 != 5; --flips)
      damaged[from + rng() % (index.size() - kIndexHeaderSize)] ^= uint8_t(1u << (rng() % 8));
    std::string problem;
    const auto facts = round % 2 ? tablecheck::ReadDataFileFacts(base_ + ".DAT", problem) : std::nullopt;
    tablecheck::CheckIndexImage(damaged, options, facts).text();
  }
}

}  // namespace
