// A dataset cursor that opens a table this process kept from its last close, after another
// process ended at each write of its commit in turn: whatever the new cursor reads first (its
// count, a key search, a record or a memo the caches never held) shows the rows all old or all
// new, as a fresh session does, and the hot journal is gone once it read. Shared and exclusive,
// plain and encrypted.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "platform/faultfs.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

// Enough rows that the memos span many blocks and the first reads leave most of them unread.
constexpr int32_t kRows = 120;

struct TakeBackCase {
  bool exclusive;
  bool encrypted;
  // Another cursor of this process holds the table open throughout instead of it being kept.
  bool beside = false;
};

std::string caseName(const ::testing::TestParamInfo<TakeBackCase>& info) {
  return std::string(info.param.exclusive ? "Exclusive" : "Shared") +
         (info.param.encrypted ? "Encrypted" : "") + (info.param.beside ? "Beside" : "");
}

std::string notesOf(int32_t k, int32_t generation) {
  std::string s = "k" + std::to_string(k) + " g" + std::to_string(generation) + ":";
  while (s.size() < 600) s += char('a' + (s.size() * 7 + size_t(k * 3 + generation)) % 26);
  return s;
}

std::unique_ptr<TDataCursor> cursorOn(Database& db, const TakeBackCase& c) {
  if (c.encrypted) db.session.AddPassword("hush");
  auto cursor = std::make_unique<TDataCursor>(*db.directory);
  cursor->SetTableName("notes");
  return cursor;
}

int32_t intField(TDataCursor& c, const std::vector<uint8_t>& record, uint16_t fieldNo) {
  int32_t v = 0;
  bool isNull = false;
  c.GetField(fieldNo, record.data(), isNull, reinterpret_cast<uint8_t*>(&v));
  return v;
}

void putRow(TDataCursor& c, std::vector<uint8_t>& record, int32_t k, int32_t generation) {
  c.PutField(1, record.data(), reinterpret_cast<const uint8_t*>(&k));
  c.PutField(2, record.data(), reinterpret_cast<const uint8_t*>(&generation));
  const std::string notes = notesOf(k, generation);
  ASSERT_EQ(c.OpenBlob(3, record.data(), 2, false, 1), 0);
  ASSERT_EQ(c.PutBlob(3, record.data(), 0, reinterpret_cast<const uint8_t*>(notes.data()),
                      int32_t(notes.size()), false),
            0);
}

// K (integer, primary index), G (integer, the row's generation), NOTES (memo).
void createTable(const std::string& path, const TakeBackCase& c) {
  using datafile_test::field;
  Database db(path);
  auto cursor = cursorOn(db, c);
  cursor->SetExclusive(true);
  TCreateTableArgs a;
  a.BlobBlockSize = 512;
  a.Fields = {field(1, "K", kFieldTypeInteger), field(2, "G", kFieldTypeInteger),
              field(3, "NOTES", kFieldTypeBlob, 0, 22)};
  a.Indexes.resize(1);
  a.Indexes[0].fields[0] = 1;
  a.Encrypted = c.encrypted;
  a.Password = c.encrypted ? "hush" : "";
  cursor->CreateTable(a);
  cursor->Open();
  std::vector<uint8_t> record(cursor->RecordSize());
  for (int32_t k = 1; k <= kRows; ++k) {
    cursor->ClearRecordBuffer(record.data());
    putRow(*cursor, record, k, 0);
    cursor->AppendRecord(record.data());
  }
}

std::string notesRead(TDataCursor& c, const std::vector<uint8_t>& record) {
  std::vector<uint8_t> value;
  if (!c.ReadBlobValue(3, false, record.data(), value)) return "(none)";
  return std::string(value.begin(), value.end());
}

// What a cursor just opened reads first, in this order: its count, the row with key `probe`
// found by key with its memo, then every row with its memo in key order. Each as text, so that
// a mismatch shows where.
struct FirstReads {
  int32_t count = 0;
  std::string probe;
  std::vector<std::string> rows;
  bool operator==(const FirstReads&) const = default;
};

FirstReads firstReads(TDataCursor& c, int32_t probeKey) {
  FirstReads r;
  r.count = c.GetRecordCount();
  std::vector<uint8_t> record(c.RecordSize());
  std::vector<uint8_t> key(c.RecordSize());
  c.ClearRecordBuffer(key.data());
  c.PutField(1, key.data(), reinterpret_cast<const uint8_t*>(&probeKey));
  if (c.FindKey(false, key.data(), 1, false, 0, record.data())) {
    r.probe = std::to_string(intField(c, record, 2)) + " " + notesRead(c, record);
  }
  c.SetToBegin();
  while (c.GetNextRecord(record.data()) == 0) {
    r.rows.push_back(std::to_string(intField(c, record, 1)) + " " + std::to_string(intField(c, record, 2)) +
                     " " + notesRead(c, record));
  }
  return r;
}

class TakenBackCursor : public ::testing::TestWithParam<TakeBackCase> {};

TEST_P(TakenBackCursor, FirstReadsAfterAWriterEndedInItsCommitShowAllOldOrAllNew) {
  const TakeBackCase kind = GetParam();
  TempDir dir;
  createTable(dir.path(), kind);
  const std::string path = dir.path();
  Database db(path);
  // The row searched for: one the first reads below never bring into the caches.
  const int32_t probe = kRows - 7;
  std::unique_ptr<TDataCursor> holder;
  if (kind.beside) {
    holder = cursorOn(db, kind);
    holder->Open();
  }
  bool completed = false;
  for (uint64_t at = 1; at <= 80 && !completed; ++at) {
    const std::string what = "exit at write " + std::to_string(at);
    {
      // Reads a little and closes: the table is kept with its caches, most of them cold.
      auto c = cursorOn(db, kind);
      c->SetExclusive(kind.exclusive);
      c->Open();
      std::vector<uint8_t> record(c->RecordSize());
      c->SetToBegin();
      ASSERT_EQ(c->GetNextRecord(record.data()), 0) << what;
      notesRead(*c, record);
    }
    const int code = table_test::commitEndingAtWrite(path, at, [&](Database& other) {
      auto w = cursorOn(other, kind);
      w->Open();
      std::vector<uint8_t> record(w->RecordSize());
      other.directory->StartTransaction();
      w->SetToBegin();
      int32_t generation = 0;
      while (w->GetNextRecord(record.data()) == 0) {
        generation = intField(*w, record, 2) + 1;
        putRow(*w, record, intField(*w, record, 1), generation);
        w->ModifyRecord(record.data());
      }
      std::vector<uint8_t> added(w->RecordSize());
      w->ClearRecordBuffer(added.data());
      putRow(*w, added, kRows + int32_t(at), generation);
      w->AppendRecord(added.data());
      return 0;
    });
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << what << ": " << code;
    completed = code == 0;

    FirstReads here;
    {
      auto c = cursorOn(db, kind);
      c->SetExclusive(kind.exclusive);
      c->Open();
      here = firstReads(*c, probe);
    }
    Database fresh(path);
    auto f = cursorOn(fresh, kind);
    f->Open();
    const FirstReads expected = firstReads(*f, probe);
    EXPECT_FALSE(std::filesystem::exists(dir.file("notes.JNL"))) << what;
    EXPECT_EQ(here.count, expected.count) << what;
    EXPECT_EQ(here.probe, expected.probe) << what;
    EXPECT_EQ(here.rows, expected.rows) << what;
    // All rows of one generation, with their own memos.
    ASSERT_FALSE(expected.rows.empty());
    const std::string generation = expected.probe.substr(0, expected.probe.find(' '));
    for (const std::string& row : expected.rows) {
      const int32_t k = std::stoi(row.substr(0, row.find(' ')));
      EXPECT_EQ(row, std::to_string(k) + " " + generation + " " + notesOf(k, std::stoi(generation))) << what;
    }
  }
  EXPECT_TRUE(completed) << "no write let the commit finish";
}

// Another session of this process writes through the same file objects while a cursor of the
// first holds the table it took back (rows rewritten, a row appended), or empties and fills it
// again, shorter, under an exclusive open that makes the first session let its kept files go:
// each change shows at the first session's next open, as in a fresh session.
TEST(TakenBackCursorSessions, ChangesByAnotherSessionWhileTakenBackShowAtTheNextTakeBack) {
  const TakeBackCase kind{false, false};
  TempDir dir;
  createTable(dir.path(), kind);
  Database db(dir.path());
  Database other(dir.path());
  const std::vector<std::function<void(TDataCursor&)>> changes = {
      [](TDataCursor& w) {
        std::vector<uint8_t> record(w.RecordSize());
        w.SetToBegin();
        while (w.GetNextRecord(record.data()) == 0) {
          putRow(w, record, intField(w, record, 1), intField(w, record, 2) + 1);
          w.ModifyRecord(record.data());
        }
      },
      [](TDataCursor& w) {
        std::vector<uint8_t> record(w.RecordSize());
        w.ClearRecordBuffer(record.data());
        putRow(w, record, kRows + 1, 5);
        w.AppendRecord(record.data());
      },
      [](TDataCursor& w) {
        w.EmptyTable();
        std::vector<uint8_t> record(w.RecordSize());
        for (int32_t k = 1; k <= 3; ++k) {
          w.ClearRecordBuffer(record.data());
          putRow(w, record, k, 9);
          w.AppendRecord(record.data());
        }
      }};
  for (size_t i = 0; i < changes.size(); ++i) {
    SCOPED_TRACE(i);
    {
      // Kept, then taken back and held while the other session writes.
      cursorOn(db, kind)->Open();
      auto held = cursorOn(db, kind);
      held->Open();
      firstReads(*held, 2);
      auto w = cursorOn(other, kind);
      w->SetExclusive(i == 2);
      if (i == 2) held.reset();
      w->Open();
      changes[i](*w);
    }
    auto c = cursorOn(db, kind);
    c->Open();
    const FirstReads here = firstReads(*c, 2);
    Database fresh(dir.path());
    auto f = cursorOn(fresh, kind);
    f->Open();
    EXPECT_EQ(here, firstReads(*f, 2));
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, TakenBackCursor,
                         ::testing::Values(TakeBackCase{false, false}, TakeBackCase{false, true},
                                           TakeBackCase{true, false}, TakeBackCase{false, false, true},
                                           TakeBackCase{false, true, true}),
                         caseName);

}  // namespace
