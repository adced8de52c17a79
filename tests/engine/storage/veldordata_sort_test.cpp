// Record sort against a model: random tables with deleted slots, random sort fields and
// directions, distinct, grouping with finalize and filter, and limits; sorted in memory and
// through merged run files, plain and scrambled, on disk and in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <random>

#include "tests/engine/storage/datafile_test_util.h"

namespace {

using namespace datafile_test;

// `pad`: size of the two padding fields; large records make the sort use run files. Texts of
// one case order alike in byte order and in the locale's.
struct SortRun {
  const char* name;
  bool inMemory, encrypted;
  uint8_t pad;
  uint32_t records;
  uint16_t language = 0;
};

// A record as the model sees it.
struct Row {
  uint32_t id;
  std::optional<int32_t> k;
  std::optional<std::string> s;
  int32_t amount;
};

// Group steps: amounts are summed, the finished sum doubled, and sums divisible by 3 dropped.
constexpr uint16_t kAmountOffset = 9 + 5 + 14;
int32_t amountOf(const uint8_t* image) {
  return int32_t(platform::get4(image + kAmountOffset + 1));
}
void aggregate(void*, bool first, uint8_t* record, uint8_t* group) {
  if (!first) platform::put4(group + kAmountOffset + 1, uint32_t(amountOf(group) + amountOf(record)));
}
void finalize(void*, bool, uint8_t* group, uint8_t*) {
  platform::put4(group + kAmountOffset + 1, uint32_t(amountOf(group) * 2));
}
bool keepGroup(void*, bool, uint8_t* group, uint8_t*) {
  return amountOf(group) % 3 != 0;
}

class RecordSort : public ::testing::TestWithParam<SortRun> {};

TEST_P(RecordSort, OutputMatchesModelAndLeavesNoTrace) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  platform::testing::TempFolder dir;
  const std::string temp = dir.file("private");
  std::filesystem::create_directory(temp);
  TestTable table;
  table.noPrimaryIndex = true;
  TFileList list;
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (VELMARON_SEED) round " + std::to_string(round));
    std::vector<TFieldDescriptor> fields{field(1, "K", 6), field(2, "S", 1, 12), field(3, "A", 6),
                                         field(4, "P1", 1, GetParam().pad),
                                         field(5, "P2", 1, GetParam().pad)};
    layOut(fields);
    ASSERT_EQ(fields[2].Offset(), kAmountOffset);
    TDataFile file(&table, false, &list);
    file.SetName(dir.file("SORT" + std::to_string(round) + ".DAT"));
    file.SetInMemory(GetParam().inMemory);
    file.DefineStructure(GetParam().language, 0, 0, 0, GetParam().encrypted, "pw", "sort", 0, fields);
    flushAll(file);

    std::map<uint32_t, Row> live;
    for (uint32_t i = 0; i < GetParam().records; ++i) {
      TRecord* r = nullptr;
      ASSERT_TRUE(file.AllocateRecord(nullptr, r));
      r->Initialize(true);
      Row row{r->GetUniqueId(), std::nullopt, std::nullopt, int32_t(pick(100))};
      uint8_t* p = r->GetBuffer();
      if (pick(10) != 0) row.k = int32_t(pick(40)) - 20;
      if (pick(10) != 0) row.s = std::string(1 + pick(3), char('a' + pick(4)));
      if (row.k) p[fields[0].Offset()] = 1, platform::put4(p + fields[0].Offset() + 1, uint32_t(*row.k));
      if (row.s)
        p[fields[1].Offset()] = 1, std::memcpy(p + fields[1].Offset() + 1, row.s->data(), row.s->size());
      p[kAmountOffset] = 1;
      platform::put4(p + kAmountOffset + 1, uint32_t(row.amount));
      live[r->GetRecordNumber()] = row;
      r->SetDirty(true);
      // Some slots are freed again (new records are appended): the sort must skip them.
      if (pick(5) == 0) file.FreeRecord(r), live.erase(r->GetRecordNumber());
      file.ReleaseRecord(r);
    }
    flushAll(file);
    if (pick(2) == 0) file.ClearRecordCache();

    // The request, and the model's answer.
    std::vector<TFieldDescriptor> sortFields;
    std::vector<std::pair<int, bool>> modelFields;  // field index, descending
    for (int f : pick(2) ? std::vector<int>{0, 1} : std::vector<int>{1, 0})
      if (sortFields.empty() || pick(2)) {
        sortFields.push_back(fields[size_t(f)]);
        sortFields.back().SetDescending(pick(2) == 0);
        modelFields.emplace_back(f, sortFields.back().Descending());
      }
    TSortOptions options;
    options.tempDirectory = temp;
    const uint32_t mode = pick(3);  // plain, distinct, group
    options.distinct = mode == 1;
    options.group = mode == 2;
    options.aggregate = aggregate;
    if (options.group && pick(2)) options.finalize = finalize;
    if (options.group && pick(2)) options.filter = keepGroup;
    if (pick(2)) options.limit = int64_t(pick(30));

    const auto keyCompare = [&](const Row& a, const Row& b) {
      for (auto [f, descending] : modelFields) {
        int c = 0;
        if (f == 0)
          c = a.k < b.k ? -1 : b.k < a.k ? 1 : 0;
        else
          c = a.s < b.s ? -1 : b.s < a.s ? 1 : 0;
        if (c != 0) return descending ? -c : c;
      }
      return 0;
    };
    std::vector<Row> rows;
    for (auto& [n, row] : live) rows.push_back(row);
    std::sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
      const int c = keyCompare(a, b);
      return c != 0 ? c < 0 : a.id < b.id;
    });
    std::vector<Row> expected;
    for (size_t i = 0; i < rows.size();) {
      size_t j = i + 1;
      while (j < rows.size() && keyCompare(rows[i], rows[j]) == 0) ++j;
      if (options.group) {
        Row g = rows[i];
        for (size_t k = i + 1; k < j; ++k) g.amount += rows[k].amount;
        if (options.finalize) g.amount *= 2;
        if (!options.filter || g.amount % 3 != 0) expected.push_back(g);
      } else {
        for (size_t k = i; k < (options.distinct ? i + 1 : j); ++k) expected.push_back(rows[k]);
      }
      i = j;
    }
    if (options.limit >= 0 && expected.size() > size_t(options.limit)) expected.resize(size_t(options.limit));

    const uint32_t count = file.SortRecords(sortFields, options);
    ASSERT_EQ(count, expected.size());
    EXPECT_EQ(file.GetNextRecordNumber(), count + 1);
    EXPECT_EQ(file.GetFreeRecordHead(), 0u);
    EXPECT_EQ(file.GetCacheCount(), 0u);
    file.VerifyHeader();
    for (uint32_t n = 1; n <= count; ++n) {
      TRecord* r = nullptr;
      ASSERT_TRUE(file.GetRecord(nullptr, n, r));
      const uint8_t* p = r->GetBuffer();
      EXPECT_EQ(r->GetStatus(), kRecordInUse);
      EXPECT_EQ(platform::get4(p + 1), n);
      EXPECT_EQ(r->GetUniqueId(), expected[n - 1].id) << "record " << n;
      EXPECT_EQ(amountOf(p), expected[n - 1].amount) << "record " << n;
      file.ReleaseRecord(r);
    }
    EXPECT_TRUE(std::filesystem::is_empty(temp));
    EXPECT_FALSE(std::filesystem::exists(file.GetName() + ".new"));
    file.Close();
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, RecordSort,
                         ::testing::Values(SortRun{"small", false, false, 20, 300},
                                           SortRun{"runs", false, false, 250, 2500},
                                           SortRun{"runs_scrambled", false, true, 250, 2500},
                                           SortRun{"in_memory", true, false, 20, 300},
                                           SortRun{"locale", false, false, 20, 300, 0x0409}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
