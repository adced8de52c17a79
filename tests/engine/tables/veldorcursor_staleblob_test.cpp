// A blob opened through a record buffer that was read before another writer changed the record:
// the blob must be the one the buffer's row had, or the open must fail with
// VELDOR_KEYORRECDELETED. A new value saved in the meantime (often over the same blocks), a
// deleted record, or its slot taken by another record must never show beside the buffer's other
// values. Writers in another process, another cursor of the same session, and a remote cursor.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "tests/engine/tables/table_test_util.h"
#include "tools/engineserver/engineserver.h"

namespace {

using namespace engine;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

constexpr int32_t kRows = 3;

// Over one 512-byte block, so that a rewrite walks a chain.
std::string notesOf(int32_t k, int32_t generation) {
  std::string s = "k" + std::to_string(k) + " g" + std::to_string(generation) + ":";
  while (s.size() < 700) s += char('a' + (s.size() * 5 + size_t(k + generation)) % 26);
  return s;
}

// K (integer, primary index), V (integer), NOTES (memo).
void createTable(TDataDirectory& directory) {
  using datafile_test::field;
  TDataCursor c(directory);
  c.SetTableName("memos");
  c.SetExclusive(true);
  TCreateTableArgs a;
  a.BlobBlockSize = 512;
  a.Fields = {field(1, "K", kFieldTypeInteger), field(2, "V", kFieldTypeInteger),
              field(3, "NOTES", kFieldTypeBlob, 0, 22)};
  a.Indexes.resize(1);
  a.Indexes[0].fields[0] = 1;
  c.CreateTable(a);
}

std::unique_ptr<TDataCursor> openTable(TDataDirectory& directory) {
  auto c = std::make_unique<TDataCursor>(directory);
  c->SetTableName("memos");
  c->Open();
  return c;
}

int32_t intField(TDataCursor& c, const std::vector<uint8_t>& record, uint16_t fieldNo) {
  int32_t v = 0;
  bool isNull = false;
  c.GetField(fieldNo, record.data(), isNull, reinterpret_cast<uint8_t*>(&v));
  return v;
}

// Rows K = 1..kRows with V = 0 and their generation-0 notes.
void fill(TDataCursor& c) {
  std::vector<uint8_t> record(c.RecordSize());
  for (int32_t k = 1; k <= kRows; ++k) {
    c.ClearRecordBuffer(record.data());
    const int32_t v = 0;
    c.PutField(1, record.data(), reinterpret_cast<const uint8_t*>(&k));
    c.PutField(2, record.data(), reinterpret_cast<const uint8_t*>(&v));
    const std::string notes = notesOf(k, 0);
    ASSERT_EQ(c.OpenBlob(3, record.data(), 2, false, 1), 0);
    ASSERT_EQ(c.PutBlob(3, record.data(), 0, reinterpret_cast<const uint8_t*>(notes.data()),
                        int32_t(notes.size()), false),
              0);
    c.AppendRecord(record.data());
  }
}

// The record buffers of the rows, in key order.
std::vector<std::vector<uint8_t>> readAll(TDataCursor& c) {
  std::vector<std::vector<uint8_t>> rows;
  std::vector<uint8_t> record(c.RecordSize());
  c.SetToBegin();
  while (c.GetNextRecord(record.data()) == 0) rows.push_back(record);
  return rows;
}

// The blob of `record` through OpenBlob, GetBlob and FreeBlob, on a copy of the buffer; the
// open's code, and the value when it opened.
std::pair<uint16_t, std::string> openedNotes(TDataCursor& c, const std::vector<uint8_t>& record) {
  std::vector<uint8_t> image = record;
  const uint16_t code = c.OpenBlob(3, image.data(), 1, false, 1);
  if (code != 0) return {code, {}};
  uint32_t size = 0, read = 0;
  EXPECT_EQ(c.GetBlobSize(3, image.data(), size, false), 0);
  std::string value(size, '\0');
  EXPECT_EQ(
      c.GetBlob(3, image.data(), 0, reinterpret_cast<uint8_t*>(value.data()), int32_t(size), read, false), 0);
  EXPECT_EQ(c.FreeBlob(3, image.data(), false, 1), 0);
  return {0, value};
}

// The writes another writer makes while the reader holds its old buffers.
enum Change : char {
  kNewNotes = 'N',      // row K = 1 gets generation-1 notes (and V = 1)
  kValueOnly = 'V',     // row K = 2 gets V = 7, its notes untouched
  kDeleteAndAdd = 'X',  // row K = 3 goes, and a new row (K = 9) takes its slot
};

void change(TDataCursor& c, Change what) {
  std::vector<uint8_t> record(c.RecordSize());
  const int32_t k = what == kNewNotes ? 1 : what == kValueOnly ? 2 : 3;
  for (c.SetToBegin(); c.GetNextRecord(record.data()) == 0;)
    if (intField(c, record, 1) == k) break;
  ASSERT_EQ(intField(c, record, 1), k);
  if (what == kDeleteAndAdd) {
    c.DeleteRecord(record.data());
    c.ClearRecordBuffer(record.data());
    const int32_t nine = 9;
    c.PutField(1, record.data(), reinterpret_cast<const uint8_t*>(&nine));
    const std::string notes = notesOf(9, 0);
    ASSERT_EQ(c.OpenBlob(3, record.data(), 2, false, 1), 0);
    ASSERT_EQ(c.PutBlob(3, record.data(), 0, reinterpret_cast<const uint8_t*>(notes.data()),
                        int32_t(notes.size()), false),
              0);
    c.AppendRecord(record.data());
    return;
  }
  const int32_t v = what == kNewNotes ? 1 : 7;
  c.PutField(2, record.data(), reinterpret_cast<const uint8_t*>(&v));
  if (what == kNewNotes) {
    const std::string notes = notesOf(1, 1);
    ASSERT_EQ(c.OpenBlob(3, record.data(), 2, false, 1), 0);
    ASSERT_EQ(c.PutBlob(3, record.data(), 0, reinterpret_cast<const uint8_t*>(notes.data()),
                        int32_t(notes.size()), false),
              0);
  }
  c.ModifyRecord(record.data());
}

// What the reader must see through each of its old buffers after all three changes.
void expectStaleBuffersRefused(TDataCursor& reader, const std::vector<std::vector<uint8_t>>& old) {
  ASSERT_EQ(old.size(), size_t(kRows));
  // New notes: the old buffer's row is gone; the new notes must not show beside V = 0.
  EXPECT_EQ(openedNotes(reader, old[0]).first, VELDOR_KEYORRECDELETED);
  // Only V changed: the notes the old buffer names are still the row's.
  EXPECT_EQ(openedNotes(reader, old[1]), std::pair(uint16_t(0), notesOf(2, 0)));
  // Deleted, and its slot (and blocks) given to another row.
  EXPECT_EQ(openedNotes(reader, old[2]).first, VELDOR_KEYORRECDELETED);
  std::vector<uint8_t> value;
  EXPECT_EQ(storage_test::errorOf([&] { reader.ReadBlobValue(3, false, old[0].data(), value); }),
            VELDOR_KEYORRECDELETED);
  EXPECT_EQ(storage_test::errorOf([&] { reader.ReadBlobValue(3, false, old[2].data(), value); }),
            VELDOR_KEYORRECDELETED);
  EXPECT_EQ(reader.OpenBlobCount(), 0u) << "a refused open left a blob behind";
  // Read again, every row opens its own notes.
  for (const auto& row : readAll(reader)) {
    const int32_t k = intField(reader, row, 1);
    EXPECT_EQ(openedNotes(reader, row), std::pair(uint16_t(0), notesOf(k, k == 1 ? 1 : 0))) << "K " << k;
  }
}

TEST(StaleBlobTest, AWriterInAnotherProcessMakesTheOldBufferFailNotTear) {
  TempDir dir;
  {
    Database db(dir.path());
    createTable(*db.directory);
    fill(*openTable(*db.directory));
  }
  Helper writer([&](Helper& h) {
    Database db(dir.path());
    auto c = openTable(*db.directory);
    for (char what; (what = h.receive()) != 0;) {
      change(*c, Change(what));
      if (::testing::Test::HasFailure()) return 2;
      h.send('D');
    }
    return 0;
  });
  Database db(dir.path());
  auto reader = openTable(*db.directory);
  const auto old = readAll(*reader);
  // Before any change the old buffers are current.
  for (const auto& row : old) EXPECT_EQ(openedNotes(*reader, row).first, 0);
  for (Change what : {kNewNotes, kValueOnly, kDeleteAndAdd}) {
    writer.send(what);
    ASSERT_EQ(writer.receive(), 'D') << what;
  }
  writer.send(0);
  EXPECT_EQ(writer.wait(), 0);
  expectStaleBuffersRefused(*reader, old);
  table_test::expectIntact(dir, "memos", *reader);
}

TEST(StaleBlobTest, AnotherCursorOfTheSameSessionMakesTheOldBufferFailNotTear) {
  TempDir dir;
  Database db(dir.path());
  createTable(*db.directory);
  auto reader = openTable(*db.directory);
  auto writer = openTable(*db.directory);
  fill(*writer);
  const auto old = readAll(*reader);
  for (Change what : {kNewNotes, kValueOnly, kDeleteAndAdd}) change(*writer, what);
  expectStaleBuffersRefused(*reader, old);
  // A buffer that names no stored record (one being appended) opens as before.
  std::vector<uint8_t> fresh(reader->RecordSize());
  reader->ClearRecordBuffer(fresh.data());
  EXPECT_EQ(openedNotes(*reader, fresh), std::pair(uint16_t(0), std::string()));
  // The clone of a row made for an append carries the row's notes, not its identity.
  std::vector<uint8_t> clone(reader->RecordSize());
  reader->SetToBegin();
  ASSERT_EQ(reader->GetNextRecord(nullptr), 0);
  ASSERT_EQ(reader->CloneCurrentRecord(clone.data()), 0);
  std::vector<uint8_t> value;
  ASSERT_TRUE(reader->ReadBlobValue(3, false, clone.data(), value));
  EXPECT_EQ(std::string(value.begin(), value.end()), notesOf(1, 1));
  reader->FreeAllBlobs(true);
}

// Row K = 1 rewritten so that its notes' old chain goes to another row: the notes dropped, a
// new row (K = 10 + g) given notes from the free list, then row 1 given generation `g`.
void rewriteThroughNull(TDataCursor& c, int32_t g) {
  std::vector<uint8_t> record(c.RecordSize());
  auto notesInto = [&](const std::string& notes) {
    ASSERT_EQ(c.OpenBlob(3, record.data(), 2, false, 1), 0);
    ASSERT_EQ(c.PutBlob(3, record.data(), 0, reinterpret_cast<const uint8_t*>(notes.data()),
                        int32_t(notes.size()), false),
              0);
  };
  auto findFirst = [&] {
    for (c.SetToBegin(); c.GetNextRecord(record.data()) == 0;)
      if (intField(c, record, 1) == 1) break;
    ASSERT_EQ(intField(c, record, 1), 1);
  };
  findFirst();
  ASSERT_EQ(c.OpenBlob(3, record.data(), 2, false, 1), 0);
  ASSERT_EQ(c.TruncateBlob(3, record.data(), 0, false), 0);
  c.ModifyRecord(record.data());
  c.ClearRecordBuffer(record.data());
  const int32_t k = 10 + g;
  c.PutField(1, record.data(), reinterpret_cast<const uint8_t*>(&k));
  notesInto(notesOf(k, 0));
  c.AppendRecord(record.data());
  findFirst();
  notesInto(notesOf(1, g));
  c.ModifyRecord(record.data());
}

// The reader proves its row current from its caches, and only then goes to the file for the
// first block of the row's notes; another process frees that block in between. The row was only
// rewritten, so the read must end in the code that sends its caller to read the row again, not
// in an error raised as if the row were gone, and must never give another row's notes.
TEST(StaleBlobTest, AChainFreedBetweenTheRowsProofAndItsFirstBlockReadSendsTheReaderBackToTheRow) {
  TempDir dir;
  {
    Database db(dir.path());
    createTable(*db.directory);
    fill(*openTable(*db.directory));
  }
  Helper writer([&](Helper& h) {
    Database db(dir.path());
    auto c = openTable(*db.directory);
    for (char g; (g = h.receive()) != 0;) {
      rewriteThroughNull(*c, g);
      if (::testing::Test::HasFailure()) return 2;
      h.send('D');
    }
    return 0;
  });
  Database db(dir.path());
  auto reader = openTable(*db.directory);
  int generation = 0, fired = 0, underPair = 0;
  bool armed = false;
  reader->Table()->BlobFile().SetFileReadHook([&] {
    if (!std::exchange(armed, false)) return;
    // Under the read pair the writer would wait for this reader: no window to race in.
    if (reader->Table()->HoldsReadPair()) {
      ++underPair;
      return;
    }
    ++fired;
    writer.send(char(++generation));
    ASSERT_EQ(writer.receive(), 'D');
  });
  // Each road: read the row, arm the writer, read its notes from the old buffer.
  const auto roads = std::vector<std::function<uint16_t(const std::vector<uint8_t>&, std::string&)>>{
      [&](const std::vector<uint8_t>& row, std::string& value) {
        return reader->ReadStoredBlob(3, false, row.data(), value);
      },
      [&](const std::vector<uint8_t>& row, std::string& value) {
        auto [code, notes] = openedNotes(*reader, row);
        value = notes;
        return code;
      }};
  for (const auto& road : roads) {
    // A change seen on reading the rows drops what the reader's caches hold of the notes.
    writer.send(char(++generation));
    ASSERT_EQ(writer.receive(), 'D');
    const auto rows = readAll(*reader);
    ASSERT_EQ(intField(*reader, rows[0], 1), 1);
    armed = true;
    std::string value;
    uint16_t code = 0;
    const uint16_t raised = storage_test::errorOf([&] { code = road(rows[0], value); });
    EXPECT_EQ(raised, 0) << "the rewritten row was taken for a deleted one";
    EXPECT_EQ(code, VELDOR_KEYORRECDELETED);
    EXPECT_TRUE(value.empty() || value == notesOf(1, generation - 1)) << value.substr(0, 12);
    EXPECT_EQ(reader->OpenBlobCount(), 0u);
  }
  EXPECT_EQ(fired, 2) << underPair << " reads went to the file under the read pair";
  writer.send(0);
  EXPECT_EQ(writer.wait(), 0);
  for (const auto& row : readAll(*reader)) {
    const int32_t k = intField(*reader, row, 1);
    EXPECT_EQ(openedNotes(*reader, row), std::pair(uint16_t(0), notesOf(k, k == 1 ? generation : 0)))
        << "K " << k;
  }
  table_test::expectIntact(dir, "memos", *reader);
}

// The same window, but the row is deleted and its notes' blocks go to a new row (K = 20 + g)
// whose notes are longer, so that the first block read is now in the middle of that row's chain.
// Each road must end in the deleted row's refusal: no other row's notes, no blob left open, and
// no second refusal of the row once read again.
TEST(StaleBlobTest, ARowDeletedBetweenItsProofAndItsFirstBlockReadIsRefused) {
  TempDir dir;
  {
    Database db(dir.path());
    createTable(*db.directory);
    fill(*openTable(*db.directory));
  }
  Helper writer([&](Helper& h) {
    Database db(dir.path());
    auto c = openTable(*db.directory);
    std::vector<uint8_t> record(c->RecordSize());
    for (char k; (k = h.receive()) != 0;) {
      for (c->SetToBegin(); c->GetNextRecord(record.data()) == 0;)
        if (intField(*c, record, 1) == k) break;
      if (intField(*c, record, 1) != k) return 3;
      c->DeleteRecord(record.data());
      c->ClearRecordBuffer(record.data());
      const int32_t added = 20 + k;
      c->PutField(1, record.data(), reinterpret_cast<const uint8_t*>(&added));
      const std::string notes = notesOf(added, 0) + notesOf(added, 1);
      if (c->OpenBlob(3, record.data(), 2, false, 1) != 0 ||
          c->PutBlob(3, record.data(), 0, reinterpret_cast<const uint8_t*>(notes.data()),
                     int32_t(notes.size()), false) != 0)
        return 4;
      c->AppendRecord(record.data());
      h.send('D');
    }
    return 0;
  });
  Database db(dir.path());
  auto reader = openTable(*db.directory);
  int fired = 0;
  char victim = 0;
  reader->Table()->BlobFile().SetFileReadHook([&] {
    if (victim == 0 || reader->Table()->HoldsReadPair()) return;
    ++fired;
    writer.send(std::exchange(victim, 0));
    ASSERT_EQ(writer.receive(), 'D');
  });
  const auto roads = std::vector<std::function<uint16_t(const std::vector<uint8_t>&, std::string&)>>{
      [&](const std::vector<uint8_t>& row, std::string& value) {
        return reader->ReadStoredBlob(3, false, row.data(), value);
      },
      [&](const std::vector<uint8_t>& row, std::string& value) {
        auto [code, notes] = openedNotes(*reader, row);
        value = notes;
        return code;
      }};
  for (size_t r = 0; r < roads.size(); ++r) {
    SCOPED_TRACE("road " + std::to_string(r));
    // The rows are read after the last change, with the caches dropped that it made stale.
    const auto rows = readAll(*reader);
    // The lowest key: each road's victim went to the end.
    const int32_t k = intField(*reader, rows[0], 1);
    ASSERT_EQ(k, int32_t(r + 1));
    victim = char(k);
    std::string value = "left over";
    uint16_t code = 0;
    EXPECT_EQ(storage_test::errorOf([&] { code = roads[r](rows[0], value); }), 0);
    EXPECT_EQ(code, VELDOR_KEYORRECDELETED);
    EXPECT_TRUE(value.empty()) << value.substr(0, 12);
    EXPECT_EQ(reader->OpenBlobCount(), 0u);
  }
  EXPECT_EQ(fired, 2);
  writer.send(0);
  EXPECT_EQ(writer.wait(), 0);
  for (const auto& row : readAll(*reader)) {
    const int32_t k = intField(*reader, row, 1);
    EXPECT_EQ(openedNotes(*reader, row),
              std::pair(uint16_t(0), k > 20 ? notesOf(k, 0) + notesOf(k, 1) : notesOf(k, 0)))
        << "K " << k;
  }
  table_test::expectIntact(dir, "memos", *reader);
}

// Both sessions are the server's: the writer is another client.
TEST(StaleBlobTest, ARemoteCursorGetsTheRefusalFromTheServer) {
  TempDir serverRoot;
  std::filesystem::create_directories(serverRoot.path() + "/db");
  engineserver::EngineServer server(serverRoot.path(), {{"ann", "pw"}});
  TDataSession sessions[2];
  for (TDataSession& s : sessions) {
    s.SetSessionType(stRemote);
    s.SetRemotePort(server.port());
    s.SetTimeOut(1);
    s.SetRemoteUser("ann");
    s.SetRemotePassword("pw");
    s.Connect();
    s.Login();
  }
  TDataDirectory& mine = *sessions[0].OpenDataDirectory("db", "");
  TDataDirectory& other = *sessions[1].OpenDataDirectory("db", "");
  createTable(mine);
  auto reader = openTable(mine);
  fill(*reader);
  const auto old = readAll(*reader);
  auto writer = openTable(other);
  for (Change what : {kNewNotes, kValueOnly, kDeleteAndAdd}) change(*writer, what);
  expectStaleBuffersRefused(*reader, old);
}

}  // namespace
