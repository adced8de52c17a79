// A long scan in record order, most of whose steps take the next record from what the table holds
// in memory (a cached record or the run read aside), beside writes of its own session through
// another cursor of the same table: rows renamed ahead of the scan and behind it, the row just
// read and the next one among them, rows deleted, rows added at the end, some of it inside
// transactions that commit or roll back, and steps taken while the transaction holds the table.
// Every step reads the row that the table as the session now sees it has after the last one read,
// with its present values; plain and encrypted tables. The seed is printed; VELMARON_SEED replays
// it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using table_test::Database;
using table_test::TempDir;

// Several runs read aside, each longer than the one before, up to the longest.
constexpr int32_t kRows = 3000;

using Row = std::pair<int32_t, std::string>;

TCreateTableArgs rowsTable(bool encrypted) {
  using datafile_test::field;
  TCreateTableArgs a;
  a.BlobBlockSize = 512;
  a.Fields = {field(1, "K", kFieldTypeInteger), field(2, "NAME", kFieldTypeString, 16)};
  a.Indexes.resize(1);
  // New rows go after the last slot.
  a.NoPrimaryIndex = true;
  a.Encrypted = encrypted;
  a.Password = encrypted ? "hush" : "";
  return a;
}

void putRow(TDataCursor& c, std::vector<uint8_t>& buffer, const Row& row) {
  c.ClearRecordBuffer(buffer.data());
  c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&row.first));
  std::array<uint8_t, 17> text{};
  std::memcpy(text.data(), row.second.data(), std::min<size_t>(row.second.size(), 16));
  c.PutField(2, buffer.data(), text.data());
}

Row rowOf(TDataCursor& c, const std::vector<uint8_t>& buffer) {
  Row row;
  std::array<uint8_t, 64> text{};
  bool isNull = false;
  c.GetField(1, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&row.first));
  c.GetField(2, buffer.data(), isNull, text.data());
  row.second = reinterpret_cast<const char*>(text.data());
  return row;
}

class ScanBesideItsOwnSession : public ::testing::TestWithParam<bool> {};

TEST_P(ScanBesideItsOwnSession, EachStepReadsTheNextRowAsTheSessionNowSeesIt) {
  const bool encrypted = GetParam();
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  TempDir dir;
  Database db(dir.path());
  if (encrypted) db.session.AddPassword("hush");
  // Slot n - 1 holds record n; a deleted record is K 0.
  std::vector<Row> slots;
  {
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.SetExclusive(true);
    TCreateTableArgs args = rowsTable(encrypted);
    c.CreateTable(args);
    c.Open();
    std::vector<uint8_t> buffer(c.RecordSize());
    for (int32_t k = 1; k <= kRows; ++k) {
      slots.emplace_back(k, "row " + std::to_string(k));
      putRow(c, buffer, slots.back());
      c.AppendRecord(buffer.data());
    }
  }
  TDataCursor scan(*db.directory), writer(*db.directory);
  for (TDataCursor* c : {&scan, &writer}) {
    c->SetTableName("rows");
    c->Open();
  }
  std::vector<uint8_t> buffer(scan.RecordSize()), row(writer.RecordSize());
  int32_t nextKey = kRows + 1;
  std::vector<Row> saved;
  bool inTransaction = false;
  uint32_t last = 0;  // the record the scan read last
  auto change = [&](uint32_t recordNo, char kind, int step) {
    writer.SetToRecordNo(recordNo);
    ASSERT_EQ(writer.GetCurrentRecord(row.data(), false), 0) << "record " << recordNo;
    Row& r = slots[recordNo - 1];
    ASSERT_EQ(rowOf(writer, row), r);
    if (kind == 'd') {
      writer.DeleteRecord(row.data());
      r = {0, ""};
    } else {
      r.second = "step " + std::to_string(step);
      putRow(writer, row, r);
      writer.ModifyRecord(row.data());
    }
  };
  scan.SetToBegin();
  int passes = 0;
  for (int step = 0; passes < 2; ++step) {
    if (pick(8) == 0) {
      const uint32_t what = pick(10);
      std::vector<uint32_t> live;
      for (uint32_t n = 1; n <= slots.size(); ++n)
        if (slots[n - 1].first != 0) live.push_back(n);
      // The next row (ahead in the run the scan reads from), the row just read, or any.
      const auto after = std::upper_bound(live.begin(), live.end(), last);
      const uint32_t near = after != live.end() && pick(2) ? *after : last;
      const uint32_t target = near != 0 && pick(2) ? near : live[pick(uint32_t(live.size()))];
      if (what == 0 && !inTransaction) {
        db.directory->StartTransaction();
        saved = slots;
        inTransaction = true;
      } else if (what == 1 && inTransaction) {
        if (pick(2)) {
          db.directory->Commit(true, false);
        } else {
          db.directory->Rollback();
          slots = saved;
        }
        inTransaction = false;
      } else if (what == 2) {
        slots.emplace_back(nextKey, "new " + std::to_string(nextKey));
        ++nextKey;
        putRow(writer, row, slots.back());
        writer.AppendRecord(row.data());
      } else if (what == 3 && live.size() > 1) {
        change(target, 'd', step);
      } else {
        change(target, 'm', step);
      }
      if (HasFatalFailure()) return;
    }
    uint32_t expected = last + 1;
    while (expected <= slots.size() && slots[expected - 1].first == 0) ++expected;
    const uint16_t code = scan.GetNextRecord(buffer.data());
    if (expected > slots.size()) {
      ASSERT_EQ(code, VELDOR_EOF) << "step " << step << " after record " << last;
      scan.SetToBegin();
      last = 0;
      ++passes;
      continue;
    }
    ASSERT_EQ(code, 0) << "step " << step << " after record " << last;
    ASSERT_EQ(scan.GetRecordNumber(), expected) << "step " << step;
    ASSERT_EQ(rowOf(scan, buffer), slots[expected - 1]) << "step " << step << " record " << expected;
    const auto shown =
        std::count_if(slots.begin(), slots.begin() + expected, [](const Row& r) { return r.first; });
    ASSERT_EQ(scan.GetSequenceNumber(), shown) << "step " << step;
    last = expected;
  }
  if (inTransaction) db.directory->Commit(true, false);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ScanBesideItsOwnSession, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Encrypted" : "Plain");
                         });

}  // namespace
