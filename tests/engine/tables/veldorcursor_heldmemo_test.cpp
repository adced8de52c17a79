// Memos opened through records a scan in record order read, while the table holds those records in
// memory (the run read aside, or cached ones), after another process rewrote some of the rows'
// memos over the same blocks or deleted rows: the memos of a changed row are refused, never read
// as another value or half of one, and the others read as they are stored. Once after the whole
// scan, once between each step and the open of the record it read, and beside a process that
// rewrites both memos of rows again and again; alone (ReadBlobValue) and together
// (ReadBlobTexts); plain and encrypted.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using storage_test::errorOf;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

// Several runs read aside, the last longer than the cache.
constexpr int32_t kRows = 600;
constexpr std::array<uint16_t, 2> kMemos{2, 3};

// Row k's memo m in generation g: the same length in every generation, so that a rewrite takes
// the blocks it freed.
std::string textOf(int32_t k, uint16_t m, int32_t g) {
  std::string s = "k" + std::to_string(k) + " m" + std::to_string(m) + " g" + std::to_string(g) + ":";
  const size_t length = 40 + size_t(k % 7) * 30;
  while (s.size() < length) s += char('a' + (s.size() * 5 + size_t(k + m + g)) % 26);
  return s;
}

void createTable(TDataDirectory& directory, bool encrypted) {
  using datafile_test::field;
  TDataCursor c(directory);
  c.SetTableName("held");
  c.SetExclusive(true);
  TCreateTableArgs a;
  a.BlobBlockSize = 64;
  a.Fields = {field(1, "K", kFieldTypeInteger), field(2, "A", kFieldTypeBlob, 0, 22),
              field(3, "B", kFieldTypeBlob, 0, 22)};
  a.Indexes.resize(1);
  // Steps go in record order, through the runs read aside.
  a.NoPrimaryIndex = true;
  a.Encrypted = encrypted;
  a.Password = encrypted ? "hush" : "";
  c.CreateTable(a);
}

void openTable(TDataCursor& c) {
  c.SetTableName("held");
  c.Open();
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

// Rows with k % 5 == 1 get a new B; rows with k % 5 == 2 go.
bool rewritten(int32_t k) {
  return k % 5 == 1;
}
bool deleted(int32_t k) {
  return k % 5 == 2;
}

// In another process: on 'C' followed by a key, changes that row (or every row for key 0) and
// answers 'D'; 'q' ends.
int writer(Helper& h, const std::string& path) {
  Database db(path);
  db.session.AddPassword("hush");
  TDataCursor c(*db.directory);
  openTable(c);
  std::vector<uint8_t> record(c.RecordSize());
  h.send('R');
  for (;;) {
    const char command = h.receive();
    if (command != 'C') return command == 'q' ? 0 : 3;
    int32_t only = 0;
    for (int i = 0; i < 4; ++i) only = (only << 8) | uint8_t(h.receive());
    for (c.SetToBegin(); c.GetNextRecord(record.data()) == 0;) {
      const int32_t k = keyOf(c, record);
      if (only != 0 && k != only) continue;
      if (rewritten(k)) {
        putText(c, record, 3, textOf(k, 3, 1));
        c.ModifyRecord(record.data());
      } else if (deleted(k)) {
        c.DeleteRecord(record.data());
      }
    }
    if (::testing::Test::HasFailure()) return 2;
    h.send('D');
  }
}

void askChange(Helper& h, int32_t only) {
  h.send('C');
  for (int i = 3; i >= 0; --i) h.send(char(uint8_t(only >> (8 * i))));
  ASSERT_EQ(h.receive(), 'D');
}

// Row k's memos read through `record`, a buffer read before the writer changed k (or did not).
void expectAsStoredOrRefused(TDataCursor& reader, int32_t k, const std::vector<uint8_t>& record) {
  std::vector<uint8_t> bytes;
  const uint16_t a = errorOf([&] { reader.ReadBlobValue(2, false, record.data(), bytes); });
  if (deleted(k)) {
    EXPECT_EQ(a, VELDOR_KEYORRECDELETED) << "K " << k;
  } else {
    EXPECT_EQ(a, 0) << "K " << k;
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), textOf(k, 2, 0)) << "K " << k;
  }
  const uint16_t b = errorOf([&] { reader.ReadBlobValue(3, false, record.data(), bytes); });
  if (deleted(k) || rewritten(k)) {
    EXPECT_EQ(b, VELDOR_KEYORRECDELETED) << "K " << k;
  } else {
    EXPECT_EQ(b, 0) << "K " << k;
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), textOf(k, 3, 0)) << "K " << k;
  }
  std::array<std::string, 2> values;
  const uint16_t both = errorOf([&] { reader.ReadBlobTexts(kMemos, false, record.data(), values); });
  if (deleted(k) || rewritten(k)) {
    EXPECT_EQ(both, VELDOR_KEYORRECDELETED) << "K " << k;
  } else {
    EXPECT_EQ(both, 0) << "K " << k;
    EXPECT_EQ(values[0], textOf(k, 2, 0)) << "K " << k;
    EXPECT_EQ(values[1], textOf(k, 3, 0)) << "K " << k;
  }
}

class HeldMemoTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    Database db(dir.path());
    db.session.AddPassword("hush");
    createTable(*db.directory, GetParam());
    TDataCursor c(*db.directory);
    openTable(c);
    std::vector<uint8_t> record(c.RecordSize());
    for (int32_t k = 1; k <= kRows; ++k) {
      c.ClearRecordBuffer(record.data());
      c.PutField(1, record.data(), reinterpret_cast<const uint8_t*>(&k));
      for (uint16_t m : kMemos) putText(c, record, m, textOf(k, m, 0));
      c.AppendRecord(record.data());
    }
  }
  TempDir dir;
};

TEST_P(HeldMemoTest, AfterTheScanAChangedRowsMemosAreRefused) {
  Helper child([&](Helper& h) { return writer(h, dir.path()); });
  ASSERT_EQ(child.receive(), 'R');
  Database db(dir.path());
  db.session.AddPassword("hush");
  TDataCursor reader(*db.directory);
  openTable(reader);
  std::vector<std::vector<uint8_t>> old;
  std::vector<uint8_t> record(reader.RecordSize());
  for (reader.SetToBegin(); reader.GetNextRecord(record.data()) == 0;) old.push_back(record);
  ASSERT_EQ(old.size(), size_t(kRows));
  askChange(child, 0);
  // Nothing of the reader stepped since: the run and the cache hold the rows as they were.
  for (const auto& row : old) expectAsStoredOrRefused(reader, keyOf(reader, row), row);
  EXPECT_EQ(reader.OpenBlobCount(), 0u);
  child.send('q');
  EXPECT_EQ(child.wait(), 0);
}

TEST_P(HeldMemoTest, AChangeBetweenTheStepAndTheOpenIsSeen) {
  Helper child([&](Helper& h) { return writer(h, dir.path()); });
  ASSERT_EQ(child.receive(), 'R');
  Database db(dir.path());
  db.session.AddPassword("hush");
  TDataCursor reader(*db.directory);
  openTable(reader);
  std::vector<uint8_t> record(reader.RecordSize());
  int32_t seen = 0;
  for (reader.SetToBegin(); reader.GetNextRecord(record.data()) == 0; ++seen) {
    const int32_t k = keyOf(reader, record);
    ASSERT_EQ(k, seen + 1);
    // A change only every so often, so that most steps come from what the table holds.
    if (k % 25 == 1 || k % 25 == 2) askChange(child, k);
    if (k % 25 == 1 || k % 25 == 2 || (!rewritten(k) && !deleted(k))) {
      expectAsStoredOrRefused(reader, k, record);
    }
  }
  EXPECT_EQ(seen, kRows);
  child.send('q');
  EXPECT_EQ(child.wait(), 0);
}

// The generation of row k's memo m that `text` is, or -1 when it is none of them (a torn value).
int32_t generationOf(int32_t k, uint16_t m, const std::string& text) {
  const std::string head = "k" + std::to_string(k) + " m" + std::to_string(m) + " g";
  if (text.rfind(head, 0) != 0) return -1;
  const int32_t g = std::atoi(text.c_str() + head.size());
  return text == textOf(k, m, g) ? g : -1;
}

// Another process rewrites both memos of the first rows again and again, each row in one write;
// the reader reads them together and alone through the records it steps to. Every value read is
// one the row had, and the two read together are of one write.
TEST_P(HeldMemoTest, ARowsMemosReadTogetherAreOfOneWrite) {
  constexpr int32_t kChurned = 24;
  const std::string stop = dir.path() + "/stop";
  Helper child([&](Helper& h) {
    Database db(dir.path());
    db.session.AddPassword("hush");
    TDataCursor c(*db.directory);
    openTable(c);
    std::vector<uint8_t> record(c.RecordSize());
    h.send('R');
    for (int32_t g = 1; !std::filesystem::exists(stop); ++g) {
      for (c.SetToBegin(); c.GetNextRecord(record.data()) == 0;) {
        const int32_t k = keyOf(c, record);
        if (k > kChurned) break;
        for (uint16_t m : kMemos) putText(c, record, m, textOf(k, m, g));
        c.ModifyRecord(record.data());
      }
      if (::testing::Test::HasFailure()) return 2;
    }
    return 0;
  });
  ASSERT_EQ(child.receive(), 'R');
  Database db(dir.path());
  db.session.AddPassword("hush");
  TDataCursor reader(*db.directory);
  openTable(reader);
  std::vector<uint8_t> record(reader.RecordSize());
  std::vector<uint8_t> bytes;
  std::vector<std::vector<uint8_t>> previous(kChurned + 1);
  int32_t read = 0, refused = 0;
  for (int pass = 0; pass < 60 && !HasFailure(); ++pass) {
    for (reader.SetToBegin(); reader.GetNextRecord(record.data()) == 0;) {
      const int32_t k = keyOf(reader, record);
      if (k > kChurned) break;
      // The record just read, and the one the last pass read (perhaps rewritten since).
      const std::vector<uint8_t> before = previous[size_t(k)].empty() ? record : previous[size_t(k)];
      previous[size_t(k)] = record;
      for (const std::vector<uint8_t>* through : {&before, &std::as_const(record)}) {
        std::array<std::string, 2> values;
        const uint16_t code = errorOf([&] { reader.ReadBlobTexts(kMemos, false, through->data(), values); });
        if (code == VELDOR_KEYORRECDELETED) {
          ++refused;
        } else {
          ASSERT_EQ(code, 0) << "K " << k;
          const int32_t g = generationOf(k, 2, values[0]);
          EXPECT_GE(g, 0) << "K " << k << ": " << values[0];
          EXPECT_EQ(generationOf(k, 3, values[1]), g) << "K " << k << ": " << values[1];
          ++read;
        }
        for (uint16_t m : kMemos) {
          const uint16_t alone = errorOf([&] { reader.ReadBlobValue(m, false, through->data(), bytes); });
          if (alone == 0) {
            EXPECT_GE(generationOf(k, m, std::string(bytes.begin(), bytes.end())), 0) << "K " << k;
          } else {
            EXPECT_EQ(alone, VELDOR_KEYORRECDELETED) << "K " << k;
          }
        }
      }
    }
  }
  std::ofstream{stop};
  EXPECT_EQ(child.wait(), 0);
  EXPECT_GT(read, 0);
  RecordProperty("refused", refused);
}

INSTANTIATE_TEST_SUITE_P(Tables, HeldMemoTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Encrypted" : "Plain"; });

}  // namespace
