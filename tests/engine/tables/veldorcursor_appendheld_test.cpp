// Appends after the last slot inside a transaction: each row is read back by the appending cursor
// and by another cursor of the session before the commit; a rolled-back run leaves nothing behind,
// and the rows appended after it into the same slot numbers are the ones every reader finds (a
// copy of a slot kept from the rolled-back run would show the old row). A read of the record
// number just past the last finds nothing and leaves no slot behind. Plain and encrypted tables,
// with a blob field and a unique key that refuses a row part way.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using datafile_test::field;
using storage_test::errorOf;
using storage_test::Helper;
using table_test::Database;
using table_test::expectIntact;
using table_test::TempDir;

// K (unique index BYK), BODY (a blob) and the auto-increment ID, which the primary index keys.
void createRows(const std::string& folder, bool encrypted) {
  Database db(folder);
  if (encrypted) db.session.AddPassword("hush");
  TDataCursor c(*db.directory);
  TCreateTableArgs a;
  a.BlobBlockSize = 64;
  a.Fields = {field(1, "K", 6), field(2, "BODY", kFieldTypeBlob, 0, 22), field(3, "ID", 6, 0, 29)};
  a.Indexes.resize(2);
  a.Indexes[0].fields[0] = 3;
  a.Indexes[1].name = "BYK";
  a.Indexes[1].fields[0] = 1;
  a.Indexes[1].unique = 1;
  a.Encrypted = encrypted;
  a.Password = encrypted ? "hush" : "";
  c.SetTableName("rows");
  c.SetExclusive(true);
  c.CreateTable(a);
}

std::string bodyOf(int32_t k) {
  return std::string(size_t(20 + k % 90), char('a' + k % 26));
}

void appendRow(TDataCursor& c, std::vector<uint8_t>& buffer, int32_t k) {
  c.ClearRecordBuffer(buffer.data());
  c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
  const std::string body = bodyOf(k);
  ASSERT_EQ(c.OpenBlob(2, buffer.data(), 2, false, 1), 0);
  ASSERT_EQ(c.PutBlob(2, buffer.data(), 0, reinterpret_cast<const uint8_t*>(body.data()),
                      int32_t(body.size()), false),
            0);
  c.AppendRecord(buffer.data());
}

// K and BODY of record `recordNo` as `c` reads it (K 0 when there is no such record).
std::pair<int32_t, std::string> rowAt(TDataCursor& c, uint32_t recordNo) {
  std::vector<uint8_t> read(c.RecordSize());
  if (errorOf([&] { c.SetToRecordNo(recordNo); }) != 0 || c.GetCurrentRecord(read.data(), false) != 0)
    return {0, ""};
  int32_t k = 0;
  bool isNull = false;
  c.GetField(1, read.data(), isNull, reinterpret_cast<uint8_t*>(&k));
  uint32_t size = 0, got = 0;
  std::string body;
  if (c.OpenBlob(2, read.data(), 0, false, 1) == 0 && c.GetBlobSize(2, read.data(), size, false) == 0) {
    body.assign(size, '\0');
    c.GetBlob(2, read.data(), 0, reinterpret_cast<uint8_t*>(body.data()), int32_t(size), got, false);
    c.FreeBlob(2, read.data(), false, 1);
  }
  return {k, body};
}

// The K values in record-number order, and their sum.
std::vector<int32_t> keysOf(TDataCursor& c) {
  c.SetIndexName("");
  std::vector<int32_t> ks;
  std::vector<uint8_t> buffer(c.RecordSize());
  c.SetToBegin();
  while (c.GetNextRecord(buffer.data()) == 0) {
    int32_t k = 0;
    bool isNull = false;
    c.GetField(1, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&k));
    ks.push_back(k);
  }
  return ks;
}

// On each byte but 0: answers with the number of rows it reads and the sum of their K, four
// bytes each.
int countRows(Helper& h, const std::string& folder, bool encrypted) {
  Database db(folder);
  if (encrypted) db.session.AddPassword("hush");
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.Open();
  while (h.receive() != 0) {
    const std::vector<int32_t> ks = keysOf(c);
    uint32_t sum = 0;
    for (int32_t k : ks) sum += uint32_t(k);
    for (uint32_t v : {uint32_t(ks.size()), sum})
      for (int i = 0; i < 4; ++i) h.send(char(v >> (8 * i)));
  }
  return 0;
}

class AppendHeldTest : public testing::TestWithParam<bool> {};

TEST_P(AppendHeldTest, RowsAppendedAfterARollbackIntoTheSameSlotsAreTheOnesEveryReaderFinds) {
  const bool encrypted = GetParam();
  TempDir dir;
  createRows(dir.path(), encrypted);
  Helper other([&](Helper& h) { return countRows(h, dir.path(), encrypted); });
  const auto otherSees = [&] {
    other.send('S');
    uint32_t v[2] = {0, 0};
    for (uint32_t& x : v)
      for (int i = 0; i < 4; ++i) x |= uint32_t(uint8_t(other.receive())) << (8 * i);
    return std::make_pair(v[0], v[1]);
  };
  Database db(dir.path());
  if (encrypted) db.session.AddPassword("hush");
  TDataCursor c(*db.directory), reader(*db.directory);
  c.SetTableName("rows");
  c.Open();
  reader.SetTableName("rows");
  reader.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  std::vector<int32_t> expected;
  for (int32_t k = 1; k <= 20; ++k) {
    appendRow(c, buffer, k);
    expected.push_back(k);
  }
  // Both cursors read the end before the transaction: the last slot is cached.
  ASSERT_EQ(rowAt(reader, 20).first, 20);

  for (int round = 0; round < 2; ++round) {
    db.directory->StartTransaction();
    for (int32_t k = 1000; k < 1060; ++k) {
      appendRow(c, buffer, k);
      const uint32_t recordNo = c.CurrentRecordNo();
      EXPECT_EQ(rowAt(c, recordNo), std::make_pair(k, bodyOf(k))) << k;
      EXPECT_EQ(rowAt(reader, recordNo), std::make_pair(k, bodyOf(k))) << k;
      // A row the unique index refuses after the row-id key went in leaves the next one alone.
      if (k % 20 == 0) {
        EXPECT_EQ(errorOf([&] { appendRow(c, buffer, 7); }), VELDOR_KEYVIOL);
      }
    }
    EXPECT_EQ(c.GetRecordCount(), 80);
    db.directory->Rollback();
    EXPECT_EQ(c.GetRecordCount(), 20);
    EXPECT_EQ(reader.GetRecordCount(), 20);
    EXPECT_EQ(rowAt(reader, 21).first, 0);
  }

  // The same slot numbers again, committed: no reader may find a row of the rolled-back runs.
  db.directory->StartTransaction();
  for (int32_t k = 2000; k < 2060; ++k) {
    appendRow(c, buffer, k);
    expected.push_back(k);
  }
  db.directory->Commit(true, false);
  for (uint32_t recordNo = 21; recordNo <= 80; ++recordNo) {
    const int32_t k = int32_t(2000 + recordNo - 21);
    EXPECT_EQ(rowAt(reader, recordNo), std::make_pair(k, bodyOf(k))) << recordNo;
    EXPECT_EQ(rowAt(c, recordNo), std::make_pair(k, bodyOf(k))) << recordNo;
  }
  EXPECT_EQ(keysOf(c), expected);
  EXPECT_EQ(keysOf(reader), expected);
  uint32_t sum = 0;
  for (int32_t k : expected) sum += uint32_t(k);
  EXPECT_EQ(otherSees(), std::make_pair(uint32_t(expected.size()), sum));
  other.send(0);
  EXPECT_EQ(other.wait(), 0);
  expectIntact(dir, "rows", c);
}

// A cursor left standing on a row its rolled-back transaction appended: reading, changing or
// deleting it is refused, and no slot appears for it.
TEST(AppendHeldRollbackTest, ACursorOnARolledBackAppendFindsNoRecordAndMakesNone) {
  TempDir dir;
  createRows(dir.path(), false);
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  for (int32_t k = 1; k <= 5; ++k) appendRow(c, buffer, k);
  for (int attempt = 0; attempt < 3; ++attempt) {
    db.directory->StartTransaction();
    appendRow(c, buffer, 100 + attempt);
    ASSERT_EQ(c.CurrentRecordNo(), 6u);
    db.directory->Rollback();
    std::vector<uint8_t> read(c.RecordSize());
    const int32_t k = 50;
    if (attempt == 0) {
      EXPECT_NE(errorOf([&] { EXPECT_NE(c.GetCurrentRecord(read.data(), false), 0); }), 0xffff);
    } else if (attempt == 1) {
      c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
      EXPECT_NE(errorOf([&] { c.ModifyRecord(buffer.data(), false, false); }), 0);
    } else {
      EXPECT_NE(errorOf([&] { c.DeleteRecord(buffer.data()); }), 0);
    }
    EXPECT_EQ(c.GetRecordCount(), 5) << attempt;
  }
  c.SetToBegin();
  appendRow(c, buffer, 6);
  EXPECT_EQ(c.CurrentRecordNo(), 6u);
  EXPECT_EQ(keysOf(c), (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
  expectIntact(dir, "rows", c);
}

INSTANTIATE_TEST_SUITE_P(Tables, AppendHeldTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "Encrypted" : "Plain"; });

}  // namespace
