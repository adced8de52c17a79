// Several blob fields of one record read together (ReadBlobTexts) against each read alone
// (ReadBlobValue): the same values for NULL, short, chained and unsaved open blobs, plain and
// encrypted; and the same refusal of a buffer whose record another writer changed since, in
// this process or another, naming the first field whose chain is no longer the record's.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

constexpr int32_t kRows = 6;
constexpr std::array<uint16_t, 3> kMemos{2, 3, 4};

// Row k's text in memo field m, generation g: NULL (empty) for some, one block for others, and
// a chain of several 64-byte blocks for the rest.
std::string textOf(int32_t k, uint16_t m, int32_t g) {
  if ((k + m) % 4 == 0) return {};
  std::string s = "k" + std::to_string(k) + " m" + std::to_string(m) + " g" + std::to_string(g) + ":";
  const size_t length = (k * m) % 3 == 0 ? 20 : 47 * size_t(k + m);
  while (s.size() < length) s += char('a' + (s.size() * 7 + size_t(k + m + g)) % 26);
  return s;
}

// K (integer, primary index), A, B, C (memos) in blocks of 64 bytes.
void createTable(TDataDirectory& directory, bool encrypted) {
  using datafile_test::field;
  TDataCursor c(directory);
  c.SetTableName("texts");
  c.SetExclusive(true);
  TCreateTableArgs a;
  a.BlobBlockSize = 64;
  a.Fields = {field(1, "K", kFieldTypeInteger), field(2, "A", kFieldTypeBlob, 0, 22),
              field(3, "B", kFieldTypeBlob, 0, 22), field(4, "C", kFieldTypeBlob, 0, 22)};
  a.Indexes.resize(1);
  a.Indexes[0].fields[0] = 1;
  a.Encrypted = encrypted;
  a.Password = encrypted ? "hush" : "";
  c.CreateTable(a);
}

std::unique_ptr<TDataCursor> openTable(TDataDirectory& directory) {
  auto c = std::make_unique<TDataCursor>(directory);
  c->SetTableName("texts");
  c->Open();
  return c;
}

void putText(TDataCursor& c, std::vector<uint8_t>& record, uint16_t m, const std::string& text) {
  ASSERT_EQ(c.OpenBlob(m, record.data(), 2, false, 1), 0);
  ASSERT_EQ(c.TruncateBlob(m, record.data(), 0, false), 0);
  ASSERT_EQ(c.PutBlob(m, record.data(), 0, reinterpret_cast<const uint8_t*>(text.data()),
                      int32_t(text.size()), false),
            0);
}

int32_t keyOf(TDataCursor& c, const std::vector<uint8_t>& record) {
  int32_t v = 0;
  bool isNull = false;
  c.GetField(1, record.data(), isNull, reinterpret_cast<uint8_t*>(&v));
  return v;
}

void fill(TDataCursor& c) {
  std::vector<uint8_t> record(c.RecordSize());
  for (int32_t k = 1; k <= kRows; ++k) {
    c.ClearRecordBuffer(record.data());
    c.PutField(1, record.data(), reinterpret_cast<const uint8_t*>(&k));
    for (uint16_t m : kMemos)
      if (!textOf(k, m, 0).empty()) putText(c, record, m, textOf(k, m, 0));
    c.AppendRecord(record.data());
  }
}

std::vector<std::vector<uint8_t>> readAll(TDataCursor& c) {
  std::vector<std::vector<uint8_t>> rows;
  std::vector<uint8_t> record(c.RecordSize());
  c.SetToBegin();
  while (c.GetNextRecord(record.data()) == 0) rows.push_back(record);
  return rows;
}

// The record's memos read together, and each read alone.
std::array<std::string, 3> together(TDataCursor& c, const std::vector<uint8_t>& record) {
  std::array<std::string, 3> values{"left over", "left over", "left over"};
  c.ReadBlobTexts(kMemos, false, record.data(), values);
  return values;
}
std::array<std::string, 3> alone(TDataCursor& c, const std::vector<uint8_t>& record) {
  std::array<std::string, 3> values;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < kMemos.size(); ++i)
    if (c.ReadBlobValue(kMemos[i], false, record.data(), bytes)) values[i].assign(bytes.begin(), bytes.end());
  return values;
}

// Row 2 gets a new C, the last of its memos; row 3 changes K only (its memos stay); row 4 goes and a new row
// takes its slot and blocks.
void change(TDataCursor& c) {
  std::vector<uint8_t> record(c.RecordSize());
  for (int32_t k : {2, 3, 4}) {
    for (c.SetToBegin(); c.GetNextRecord(record.data()) == 0;)
      if (keyOf(c, record) == k) break;
    ASSERT_EQ(keyOf(c, record), k);
    if (k == 2) {
      putText(c, record, 4, textOf(2, 4, 1));
      c.ModifyRecord(record.data());
    } else if (k == 3) {
      const int32_t moved = 30;
      c.PutField(1, record.data(), reinterpret_cast<const uint8_t*>(&moved));
      c.ModifyRecord(record.data());
    } else {
      c.DeleteRecord(record.data());
      c.ClearRecordBuffer(record.data());
      const int32_t nine = 9;
      c.PutField(1, record.data(), reinterpret_cast<const uint8_t*>(&nine));
      for (uint16_t m : kMemos) putText(c, record, m, textOf(4, m, 0));
      c.AppendRecord(record.data());
    }
  }
}

void expectStaleRefused(TDataCursor& reader, const std::vector<std::vector<uint8_t>>& old) {
  std::array<std::string, 3> values;
  // Row 2: B is still the record's, C is not.
  EXPECT_EQ(storage_test::errorOf([&] { reader.ReadBlobTexts(kMemos, false, old[1].data(), values); }),
            VELDOR_KEYORRECDELETED);
  EXPECT_EQ(storage_test::errorOf([&] { reader.ReadBlobTexts(kMemos, false, old[3].data(), values); }),
            VELDOR_KEYORRECDELETED);
  // Only K changed: the memos the old buffer names are still the row's.
  EXPECT_EQ(together(reader, old[2]), alone(reader, old[2]));
  EXPECT_EQ(together(reader, old[2])[1], textOf(3, 3, 0));
  EXPECT_EQ(together(reader, old[0]), alone(reader, old[0]));
  EXPECT_EQ(reader.OpenBlobCount(), 0u);
  for (const auto& row : readAll(reader)) {
    const int32_t k = keyOf(reader, row);
    const auto values = together(reader, row);
    EXPECT_EQ(values, alone(reader, row)) << "K " << k;
    const int32_t was = k == 30 ? 3 : k == 9 ? 4 : k;
    EXPECT_EQ(values[1], textOf(was, 3, 0)) << "K " << k;
    EXPECT_EQ(values[2], textOf(was, 4, k == 2 ? 1 : 0)) << "K " << k;
  }
}

class BlobTextsTest : public ::testing::TestWithParam<bool> {};

TEST_P(BlobTextsTest, TogetherReadsWhatEachReadsAlone) {
  TempDir dir;
  Database db(dir.path());
  db.session.AddPassword("hush");
  createTable(*db.directory, GetParam());
  auto c = openTable(*db.directory);
  fill(*c);
  const auto rows = readAll(*c);
  ASSERT_EQ(rows.size(), size_t(kRows));
  for (const auto& row : rows) {
    const int32_t k = keyOf(*c, row);
    const auto values = together(*c, row);
    EXPECT_EQ(values, alone(*c, row)) << "K " << k;
    for (size_t i = 0; i < kMemos.size(); ++i) EXPECT_EQ(values[i], textOf(k, kMemos[i], 0)) << "K " << k;
  }
  // A blob open in the record is read as it stands, unsaved changes included, and stays open.
  std::vector<uint8_t> record = rows[0];
  putText(*c, record, 3, "unsaved");
  const auto values = together(*c, record);
  EXPECT_EQ(values, alone(*c, record));
  EXPECT_EQ(values[1], "unsaved");
  EXPECT_EQ(values[2], textOf(1, 4, 0));
  EXPECT_EQ(c->OpenBlobCount(), 1u);
  c->FreeAllBlobs(true);
  // No field at all.
  std::array<std::string, 3> none{"x", "y", "z"};
  c->ReadBlobTexts({}, false, rows[0].data(), std::span(none.data(), 0));
  EXPECT_EQ(none[0], "x");
}

TEST_P(BlobTextsTest, AnotherCursorsChangeMakesTheOldBufferFail) {
  TempDir dir;
  Database db(dir.path());
  db.session.AddPassword("hush");
  createTable(*db.directory, GetParam());
  auto reader = openTable(*db.directory);
  auto writer = openTable(*db.directory);
  fill(*writer);
  const auto old = readAll(*reader);
  change(*writer);
  expectStaleRefused(*reader, old);
}

TEST_P(BlobTextsTest, AWriterInAnotherProcessMakesTheOldBufferFail) {
  TempDir dir;
  {
    Database db(dir.path());
    db.session.AddPassword("hush");
    createTable(*db.directory, GetParam());
    fill(*openTable(*db.directory));
  }
  Helper writer([&](Helper& h) {
    Database db(dir.path());
    db.session.AddPassword("hush");
    auto c = openTable(*db.directory);
    h.receive();
    change(*c);
    if (::testing::Test::HasFailure()) return 2;
    h.send('D');
    return 0;
  });
  Database db(dir.path());
  db.session.AddPassword("hush");
  auto reader = openTable(*db.directory);
  const auto old = readAll(*reader);
  for (const auto& row : old) EXPECT_EQ(together(*reader, row), alone(*reader, row));
  writer.send('C');
  ASSERT_EQ(writer.receive(), 'D');
  EXPECT_EQ(writer.wait(), 0);
  expectStaleRefused(*reader, old);
}

INSTANTIATE_TEST_SUITE_P(Tables, BlobTextsTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Encrypted" : "Plain"; });

}  // namespace
