// Scans of a key range over records that lie apart in the data file (rows appended in no key
// order), which the data file serves from blocks of neighbouring slots it read for earlier rows:
// run again and again, each scan reads the rows as they stand, after another process inserted,
// deleted, changed or re-keyed rows of the range, after this session changed rows the earlier
// scans had read, and after a transaction's changes were rolled back. Plain and encrypted tables,
// each row with a memo.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

// Even keys 2..2 * kRows, so that a row can be put between two; many times the record cache.
constexpr int32_t kRows = 2000;
constexpr int32_t kLow = 1000, kHigh = 2600;

struct Row {
  std::string name;
  std::string memo;
  bool operator==(const Row&) const = default;
};
using Rows = std::map<int32_t, Row>;

std::string memoOf(int32_t k, const std::string& name) {
  return "memo of " + std::to_string(k) + " (" + name + ")";
}

std::unique_ptr<TDataCursor> rowsCursor(Database& db, bool encrypted) {
  if (encrypted) db.session.AddPassword("hush");
  auto c = std::make_unique<TDataCursor>(*db.directory);
  c->SetTableName("apart");
  return c;
}

void putRow(TDataCursor& c, std::vector<uint8_t>& buffer, int32_t k, const std::string& name) {
  c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
  std::array<uint8_t, 17> text{};
  std::memcpy(text.data(), name.data(), std::min<size_t>(name.size(), 16));
  c.PutField(2, buffer.data(), text.data());
  const std::string memo = memoOf(k, name);
  ASSERT_EQ(c.OpenBlob(3, buffer.data(), 2, false, 1), 0);
  ASSERT_EQ(c.TruncateBlob(3, buffer.data(), 0, false), 0);
  ASSERT_EQ(c.PutBlob(3, buffer.data(), 0, reinterpret_cast<const uint8_t*>(memo.data()),
                      int32_t(memo.size()), false),
            0);
}

void appendRow(TDataCursor& c, int32_t k, const std::string& name) {
  std::vector<uint8_t> buffer(c.RecordSize());
  c.ClearRecordBuffer(buffer.data());
  putRow(c, buffer, k, name);
  c.AppendRecord(buffer.data());
}

std::string nameOf(int32_t k) {
  return "row " + std::to_string(k);
}

// The rows, appended in an order of their own: neighbours in key order lie apart in the file.
Rows createRows(const std::string& path, bool encrypted) {
  Database db(path);
  auto c = rowsCursor(db, encrypted);
  c->SetExclusive(true);
  TCreateTableArgs a;
  a.BlobBlockSize = 64;
  a.Fields = {datafile_test::field(1, "K", kFieldTypeInteger), datafile_test::field(2, "NAME", 1, 16),
              datafile_test::field(3, "BODY", kFieldTypeBlob, 0, 22)};
  a.Indexes.resize(1);
  a.Indexes[0].fields[0] = 1;
  a.Encrypted = encrypted;
  a.Password = encrypted ? "hush" : "";
  c->CreateTable(a);
  c->Open();
  std::vector<int32_t> keys(kRows);
  std::iota(keys.begin(), keys.end(), 1);
  std::shuffle(keys.begin(), keys.end(), std::mt19937(5));
  Rows rows;
  for (int32_t half : keys) {
    appendRow(*c, 2 * half, nameOf(2 * half));
    rows[2 * half] = {nameOf(2 * half), memoOf(2 * half, nameOf(2 * half))};
  }
  return rows;
}

// Stands `c` on row `k` by its key; false when there is none.
bool findRow(TDataCursor& c, int32_t k, std::vector<uint8_t>& buffer) {
  c.ResetRange();
  c.ClearRecordBuffer(buffer.data());
  c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
  if (!c.FindKey(false, buffer.data(), 1, false, 0, nullptr)) return false;
  c.GetCurrentRecord(buffer.data(), false);
  return true;
}

// The rows of kLow..kHigh as a scan of the range reads them, memos included.
Rows scanRange(TDataCursor& c) {
  std::vector<uint8_t> low(c.RecordSize()), high(c.RecordSize()), buffer(c.RecordSize());
  const int32_t lo = kLow, hi = kHigh;
  c.ClearRecordBuffer(low.data());
  c.PutField(1, low.data(), reinterpret_cast<const uint8_t*>(&lo));
  c.ClearRecordBuffer(high.data());
  c.PutField(1, high.data(), reinterpret_cast<const uint8_t*>(&hi));
  c.SetRange(false, low.data(), 1, high.data(), 1);
  c.SetToBegin();
  Rows rows;
  while (c.GetNextRecord(buffer.data()) == 0) {
    int32_t k = 0;
    bool isNull = false;
    std::array<uint8_t, 17> text{};
    c.GetField(1, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&k));
    c.GetField(2, buffer.data(), isNull, text.data());
    std::vector<uint8_t> memo;
    c.ReadBlobValue(3, false, buffer.data(), memo);
    rows[k] = {reinterpret_cast<const char*>(text.data()), std::string(memo.begin(), memo.end())};
  }
  c.ResetRange();
  return rows;
}

Rows inRange(const Rows& rows) {
  return Rows(rows.lower_bound(kLow), rows.upper_bound(kHigh));
}

// The name `replaceRange` gives row k in round `round`.
std::string replacedName(int32_t k, int32_t round) {
  return "re" + std::to_string(round) + " " + std::to_string(k);
}

// Deletes every row of kLow..kHigh and appends each again under its round's name, in an order
// of the round's own: the rows go to freed slots, most of them another row's.
void replaceRange(TDataCursor& c, int32_t round) {
  std::vector<uint8_t> buffer(c.RecordSize());
  std::vector<int32_t> keys;
  for (int32_t k = kLow; k <= kHigh; ++k)
    if (findRow(c, k, buffer)) {
      c.DeleteRecord(buffer.data());
      keys.push_back(k);
    }
  std::shuffle(keys.begin(), keys.end(), std::mt19937(uint32_t(round)));
  for (int32_t k : keys) appendRow(c, k, replacedName(k, round));
}

// Writes in its own process, told what to do one message at a time: 'm' k renames row k, 'd' k
// deletes it, 'a' k appends it, 'x' k to gives row k the key `to`, 'r' k replaces the rows of
// the range in round k (replaceRange); keys go as two bytes. It answers 'k' when done, 'n' when
// the row was not found.
int writer(Helper& h, const std::string& path, bool encrypted) {
  Database db(path);
  auto c = rowsCursor(db, encrypted);
  c->Open();
  std::vector<uint8_t> buffer(c->RecordSize());
  const auto number = [&] {
    const int32_t high = uint8_t(h.receive());
    return high * 256 + uint8_t(h.receive());
  };
  h.send('k');
  while (const char m = h.receive()) {
    if (m == 'q') break;
    const int32_t k = number();
    if (m == 'r') {
      replaceRange(*c, k);
    } else if (m == 'a') {
      appendRow(*c, k, "new " + std::to_string(k));
    } else {
      if (!findRow(*c, k, buffer)) {
        h.send('n');
        continue;
      }
      if (m == 'd') {
        c->DeleteRecord(buffer.data());
      } else {
        const int32_t to = m == 'x' ? number() : k;
        putRow(*c, buffer, to, "changed " + std::to_string(k));
        c->ModifyRecord(buffer.data());
      }
    }
    h.send('k');
  }
  return 0;
}

class KeyRangeScan : public ::testing::TestWithParam<bool> {
 protected:
  void tell(Helper& h, char m, int32_t k, int32_t to = -1) {
    h.send(m);
    for (int32_t v : {k, to}) {
      if (v < 0) continue;
      h.send(char(uint8_t(v / 256)));
      h.send(char(uint8_t(v % 256)));
    }
    ASSERT_EQ(h.receive(), 'k') << m << " " << k;
  }
  // The disk reads of the last scan.
  Rows scanCounting(TDataCursor& c, uint64_t& reads) {
    const uint64_t before = c.Table()->DataFile().GetCacheCounters().runsRead;
    Rows rows = scanRange(c);
    reads = c.Table()->DataFile().GetCacheCounters().runsRead - before;
    return rows;
  }
  TempDir dir;
};

TEST_P(KeyRangeScan, ReadsWhatAnotherProcessCommittedBetweenScans) {
  const bool encrypted = GetParam();
  Rows model = createRows(dir.path(), encrypted);
  Helper child([&](Helper& h) { return writer(h, dir.path(), encrypted); });
  ASSERT_EQ(child.receive(), 'k');
  Database db(dir.path());
  auto c = rowsCursor(db, encrypted);
  c->Open();
  c->Table()->SetFileLockRetryRules(table_test::kImpatient);
  uint64_t reads = 0;
  ASSERT_EQ(scanCounting(*c, reads), inRange(model));
  // Nothing changed: the second scan finds most rows in the bytes the first one read.
  ASSERT_EQ(scanCounting(*c, reads), inRange(model));
  const uint64_t expected = uint64_t(kHigh - kLow) / 2 + 1;
  EXPECT_LT(reads, expected / 4) << "of " << expected << " rows";

  // Each step changes rows the scans before read near their ends and starts, whose records the
  // cache has let go while the blocks they lie in were held.
  const auto renamed = [&](int32_t k) {
    model[k] = {"changed " + std::to_string(k), memoOf(k, "changed " + std::to_string(k))};
  };
  for (int32_t k : {kHigh - 10, kHigh - 40, kLow + 2, kLow + 300}) {
    tell(child, 'm', k);
    renamed(k);
  }
  EXPECT_EQ(scanRange(*c), inRange(model));
  for (int32_t k : {kHigh - 12, kLow + 4, kLow + 800}) {
    tell(child, 'd', k);
    model.erase(k);
  }
  EXPECT_EQ(scanRange(*c), inRange(model));
  for (int32_t k : {kLow + 1, kHigh - 11, kLow + 501}) {
    tell(child, 'a', k);
    model[k] = {"new " + std::to_string(k), memoOf(k, "new " + std::to_string(k))};
  }
  EXPECT_EQ(scanRange(*c), inRange(model));
  // Re-keyed: within the range, out of it, and into it from outside.
  for (auto [k, to] : {std::pair{kHigh - 20, kLow + 7}, {kLow + 10, kHigh + 101}, {kHigh + 50, kHigh - 5}}) {
    tell(child, 'x', k, to);
    model.erase(k);
    model[to] = {"changed " + std::to_string(k), memoOf(to, "changed " + std::to_string(k))};
  }
  EXPECT_EQ(scanRange(*c), inRange(model));
  EXPECT_EQ(scanRange(*c), inRange(model));
  child.send('q');
  EXPECT_EQ(child.wait(), 0);
}

// Changes of this session go through the same table: written out after the scans read their
// blocks, and read again once the cache has let them go.
TEST_P(KeyRangeScan, ReadsThisSessionsChangesWrittenOutBetweenScans) {
  const bool encrypted = GetParam();
  Rows model = createRows(dir.path(), encrypted);
  Database db(dir.path());
  auto c = rowsCursor(db, encrypted);
  c->Open();
  auto w = rowsCursor(db, encrypted);
  w->Open();
  std::vector<uint8_t> buffer(w->RecordSize());
  ASSERT_EQ(scanRange(*c), inRange(model));
  for (int round = 0; round < 3; ++round) {
    for (int32_t k = kHigh - 100 + round * 2; k <= kHigh; k += 20) {
      ASSERT_TRUE(findRow(*w, k, buffer)) << k;
      const std::string name = "r" + std::to_string(round) + " " + std::to_string(k);
      putRow(*w, buffer, k, name);
      w->ModifyRecord(buffer.data());
      model[k] = {name, memoOf(k, name)};
    }
    ASSERT_TRUE(findRow(*w, kHigh - 30, buffer));
    w->DeleteRecord(buffer.data());
    model.erase(kHigh - 30);
    appendRow(*w, kHigh - 30, "back");
    model[kHigh - 30] = {"back", memoOf(kHigh - 30, "back")};
    EXPECT_EQ(scanRange(*c), inRange(model)) << "round " << round;
  }
}

// A transaction's own changes show in its scans, and after its rollback the scans read the rows
// as they were before it.
TEST_P(KeyRangeScan, ReadsTheRowsAsBeforeATransactionRolledBack) {
  const bool encrypted = GetParam();
  const Rows model = createRows(dir.path(), encrypted);
  Database db(dir.path());
  auto c = rowsCursor(db, encrypted);
  c->Open();
  auto w = rowsCursor(db, encrypted);
  w->Open();
  std::vector<uint8_t> buffer(w->RecordSize());
  ASSERT_EQ(scanRange(*c), inRange(model));
  db.directory->StartTransaction();
  Rows changed = model;
  for (int32_t k = kHigh - 200; k <= kHigh; k += 8) {
    ASSERT_TRUE(findRow(*w, k, buffer)) << k;
    putRow(*w, buffer, k, "in transaction");
    w->ModifyRecord(buffer.data());
    changed[k] = {"in transaction", memoOf(k, "in transaction")};
  }
  for (int32_t k = kLow + 1; k < kLow + 100; k += 10) {
    appendRow(*w, k, "added");
    changed[k] = {"added", memoOf(k, "added")};
  }
  EXPECT_EQ(scanRange(*c), inRange(changed));
  EXPECT_EQ(scanRange(*c), inRange(changed));
  db.directory->Rollback();
  EXPECT_EQ(scanRange(*c), inRange(model));
  EXPECT_EQ(scanRange(*c), inRange(model));
}

// The rows of the range go to other slots, each slot taking another row's, while the scanning
// table holds blocks of them: written by another session over the same open files, by another
// process while this table stays open and while it is closed (its files kept), and by this
// table emptied and filled again between two opens.
TEST_P(KeyRangeScan, ReadsRowsMovedToOtherSlotsByAnyWriter) {
  const bool encrypted = GetParam();
  Rows model = createRows(dir.path(), encrypted);
  const auto replaced = [&](int32_t round) {
    Rows rows;
    for (const auto& [k, row] : inRange(model))
      rows[k] = {replacedName(k, round), memoOf(k, replacedName(k, round))};
    return rows;
  };
  TFileList list;
  Database db(dir.path(), &list);
  auto c = rowsCursor(db, encrypted);
  c->Open();
  ASSERT_EQ(scanRange(*c), inRange(model));
  ASSERT_EQ(scanRange(*c), inRange(model));
  {
    Database other(dir.path(), &list);
    auto w = rowsCursor(other, encrypted);
    w->Open();
    replaceRange(*w, 1);
  }
  EXPECT_EQ(scanRange(*c), replaced(1)) << "another session";

  Helper child([&](Helper& h) { return writer(h, dir.path(), encrypted); });
  ASSERT_EQ(child.receive(), 'k');
  tell(child, 'r', 2);
  EXPECT_EQ(scanRange(*c), replaced(2)) << "another process";
  ASSERT_EQ(scanRange(*c), replaced(2));
  c->Close();
  tell(child, 'r', 3);
  c->Open();
  EXPECT_EQ(scanRange(*c), replaced(3)) << "another process while closed";
  child.send('q');
  EXPECT_EQ(child.wait(), 0);

  ASSERT_EQ(scanRange(*c), replaced(3));
  c->Close();
  {
    auto e = rowsCursor(db, encrypted);
    e->SetExclusive(true);
    e->Open();
    e->EmptyTable();
    std::vector<int32_t> keys;
    for (const auto& [k, row] : model) keys.push_back(k);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(11));
    for (int32_t k : keys) appendRow(*e, k, replacedName(k, 4));
  }
  c->Open();
  EXPECT_EQ(scanRange(*c), replaced(4)) << "emptied and filled again";
}

INSTANTIATE_TEST_SUITE_P(Kinds, KeyRangeScan, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Encrypted" : "Plain");
                         });

}  // namespace
