// Appends through the cursor: every record-id order, freed slots taken again, a failed append, a
// rolled-back transaction, another process appending in between, a blob field a restructure
// adds, and texts cut and trimmed as they are put. After each append the cursor keeps its index
// and stands on the record; at the end the checker finds every key, the record-id index's
// included.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <random>
#include <set>

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

// K (unique index BYK), NAME (index BYNAME) and the auto-increment ID, which the primary index
// keys unless `noPrimary`.
TCreateTableArgs appendTable(bool noPrimary) {
  TCreateTableArgs a;
  a.BlobBlockSize = 512;
  a.NoPrimaryIndex = noPrimary;
  a.Fields = {field(1, "K", 6), field(2, "NAME", 1, 12), field(3, "ID", 6, 0, 29)};
  a.Indexes.resize(3);
  a.Indexes[0].fields[0] = noPrimary ? 0 : 3;
  a.Indexes[1].name = "BYK";
  a.Indexes[1].fields[0] = 1;
  a.Indexes[1].unique = 1;
  a.Indexes[2].name = "BYNAME";
  a.Indexes[2].fields[0] = 2;
  return a;
}

void put(TDataCursor& c, std::vector<uint8_t>& buffer, int32_t k, int32_t id) {
  c.ClearRecordBuffer(buffer.data());
  const std::string name = "n" + std::to_string(k % 17);
  c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
  c.PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>(name.c_str()));
  if (id != 0) c.PutField(3, buffer.data(), reinterpret_cast<const uint8_t*>(&id));
}

int32_t fieldOf(TDataCursor& c, const std::vector<uint8_t>& buffer, uint16_t p) {
  int32_t v = 0;
  bool isNull = false;
  c.GetField(p, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&v));
  return v;
}

// The K values the cursor's index walks through, in order.
std::vector<int32_t> walk(TDataCursor& c) {
  std::vector<int32_t> ks;
  std::vector<uint8_t> buffer(c.RecordSize());
  c.SetToBegin();
  while (c.GetNextRecord(buffer.data()) == 0) ks.push_back(fieldOf(c, buffer, 1));
  return ks;
}

TEST(CursorAppendTest, EveryIdOrderAndIndexKeepsTheCursorAndTheKeysWhole) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 random(seed);
  enum Ids { kRising, kFalling, kMixed };
  int made = 0;
  for (const bool noPrimary : {true, false})
    for (const Ids ids : {kRising, kFalling, kMixed})
      for (const char* index : {"", "BYK", "Sys Deleted"}) {
        TempDir dir;
        Database db(dir.path());
        TDataCursor c(*db.directory);
        const std::string name = "t" + std::to_string(made++);
        c.SetTableName(name);
        c.SetExclusive(true);
        TCreateTableArgs args = appendTable(noPrimary);
        c.CreateTable(args);
        c.SetExclusive(made % 2 == 0);
        c.Open();
        c.SetIndexName(index);
        c.SuppressAutoInc(ids != kRising);
        const uint8_t slot = c.CurrentIndex();
        std::vector<uint8_t> buffer(c.RecordSize()), read(c.RecordSize());
        std::set<int32_t> usedIds;
        std::map<int32_t, uint32_t> byK;   // live records
        std::map<int32_t, int32_t> idOfK;  // their ids, where given
        for (int32_t i = 0; i < 160; ++i) {
          const std::string when = name + " append " + std::to_string(i) + " seed " + std::to_string(seed);
          int32_t id = 0;
          if (ids == kFalling) id = 100000 - i;
          while (ids == kMixed && (id == 0 || usedIds.count(id))) id = int32_t(1 + random() % 5000);
          usedIds.insert(id);
          // A K taken already is refused by BYK, an id taken already by the primary index or the
          // record ids (after BYK took the key): nothing changes and the cursor keeps its index.
          const bool again = i % 23 == 22 && !byK.empty();
          const bool idAgain = ids == kMixed && i % 29 == 28 && !idOfK.empty();
          if (idAgain) id = std::next(idOfK.begin(), long(random() % idOfK.size()))->second;
          const int32_t k = again ? byK.begin()->first : i;
          put(c, buffer, k, id);
          const uint16_t error = errorOf([&] { c.AppendRecord(buffer.data()); });
          ASSERT_EQ(error, again || idAgain ? VELDOR_KEYVIOL : 0) << when;
          ASSERT_EQ(c.CurrentIndex(), slot) << when;
          if (again || idAgain) continue;
          byK[k] = c.CurrentRecordNo();
          if (id != 0) idOfK[k] = id;
          ASSERT_EQ(c.GetCurrentRecord(read.data(), false), 0) << when;
          EXPECT_EQ(fieldOf(c, read, 1), k) << when;
          if (id != 0) {
            EXPECT_EQ(fieldOf(c, read, 3), id) << when;
          }
          // Freed slots are taken again by later appends where a primary index allows it.
          if (random() % 4 == 0) {
            auto victim = std::next(byK.begin(), long(random() % byK.size()));
            c.SetToRecordNo(victim->second);
            ASSERT_EQ(c.GetCurrentRecord(read.data(), false), 0) << when;
            c.DeleteRecord(read.data());
            idOfK.erase(victim->first);
            byK.erase(victim);
          }
        }
        SCOPED_TRACE(name + " seed " + std::to_string(seed));
        // The checker reads the files: a cursor holding the table alone writes them at its close.
        c.Close();
        c.SetExclusive(false);
        c.Open();
        c.SetIndexName("BYK");
        EXPECT_EQ(c.GetRecordCount(), int32_t(byK.size()));
        std::vector<int32_t> expected;
        for (const auto& [k, n] : byK) expected.push_back(k);
        EXPECT_EQ(walk(c), expected);
        expectIntact(dir, name, c);
      }
}

// The other process appends K = 1000 + n when sent n, and answers 'A'.
int appendOnRequest(Helper& h, const std::string& path) {
  Database db(path);
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  for (char n; (n = h.receive()) != 0;) {
    put(c, buffer, 1000 + n, 0);
    c.AppendRecord(buffer.data());
    h.send('A');
  }
  return 0;
}

TEST(CursorAppendTest, AnotherProcessesAppendsAndARollbackLeaveExactlyTheCommittedRecords) {
  TempDir dir;
  {
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.SetExclusive(true);
    TCreateTableArgs args = appendTable(true);
    c.CreateTable(args);
  }
  Helper other([&](Helper& h) { return appendOnRequest(h, dir.path()); });
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  std::vector<int32_t> expected;
  for (int32_t i = 1; i <= 40; ++i) {
    put(c, buffer, i, 0);
    c.AppendRecord(buffer.data());
    expected.push_back(i);
    if (i % 3 == 0) {
      other.send(char(i));
      ASSERT_EQ(other.receive(), 'A');
      expected.push_back(1000 + i);
    }
  }
  // Appends inside a transaction that is rolled back leave nothing, and the next ones go on.
  db.directory->StartTransaction();
  for (int32_t i = 50; i < 80; ++i) {
    put(c, buffer, i, 0);
    c.AppendRecord(buffer.data());
  }
  db.directory->Rollback();
  for (int32_t i = 80; i < 85; ++i) {
    put(c, buffer, i, 0);
    c.AppendRecord(buffer.data());
    expected.push_back(i);
  }
  other.send(char(99));
  ASSERT_EQ(other.receive(), 'A');
  expected.push_back(1099);
  other.send(0);
  EXPECT_EQ(other.wait(), 0);
  std::sort(expected.begin(), expected.end());
  c.SetIndexName("BYK");
  EXPECT_EQ(walk(c), expected);
  // Each record has its own unique id.
  c.SetIndexName("Sys Deleted");
  std::set<int32_t> ids;
  std::vector<uint8_t> read(c.RecordSize());
  c.SetToBegin();
  while (c.GetNextRecord(read.data()) == 0) ids.insert(fieldOf(c, read, 3));
  EXPECT_EQ(ids.size(), expected.size());
  expectIntact(dir, "rows", c);
}

TEST(CursorAppendTest, ABlobFieldARestructureAddsIsSavedByTheNextAppend) {
  TempDir dir;
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.SetExclusive(true);
  TCreateTableArgs args = appendTable(true);
  c.CreateTable(args);
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  put(c, buffer, 1, 0);
  c.AppendRecord(buffer.data());
  c.Close();
  TRestructureArgs more;
  more.BlobBlockSize = 512;
  more.NoPrimaryIndex = true;
  more.NoBackup = true;
  more.Fields = args.Fields;
  more.Fields.push_back(field(4, "BODY", kFieldTypeBlob));
  more.Indexes = args.Indexes;
  c.RestructureTable(more);
  c.Open();
  buffer.assign(c.RecordSize(), 0);
  put(c, buffer, 2, 0);
  const std::string body(1500, 'b');
  ASSERT_EQ(c.OpenBlob(4, buffer.data(), 2, false, 1) +
                c.PutBlob(4, buffer.data(), 0, reinterpret_cast<const uint8_t*>(body.data()),
                          int32_t(body.size()), false),
            0);
  c.AppendRecord(buffer.data());
  std::vector<uint8_t> read(c.RecordSize());
  ASSERT_EQ(c.GetCurrentRecord(read.data(), false), 0);
  uint32_t size = 0, got = 0;
  ASSERT_EQ(c.OpenBlob(4, read.data(), 0, false, 1) + c.GetBlobSize(4, read.data(), size, false), 0);
  std::string stored(size, '\0');
  ASSERT_EQ(
      c.GetBlob(4, read.data(), 0, reinterpret_cast<uint8_t*>(stored.data()), int32_t(size), got, false), 0);
  c.FreeBlob(4, read.data(), false, 1);
  EXPECT_EQ(stored, body);
  c.Close();
  c.SetExclusive(false);
  c.Open();
  expectIntact(dir, "rows", c);
}

// A text without a case rule is stored as one with a rule stores a text the rule leaves alone:
// cut to the field, trailing blanks dropped, blank as null.
TEST(CursorAppendTest, ATextIsCutAndTrimmedAlikeWithAndWithoutACaseRule) {
  TempDir dir;
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("texts");
  c.SetExclusive(true);
  TCreateTableArgs args;
  args.BlobBlockSize = 512;
  args.NoPrimaryIndex = true;
  args.Fields = {field(1, "PLAIN", 1, 8), field(2, "UPPER", 1, 8)};
  args.Fields[1].SetCaseRule(2);
  args.Indexes.resize(1);
  c.CreateTable(args);
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  for (const char* text : {"", " ", "   ", "12", "12  ", " 1 2 ", "1234567", "12345678", "123456789",
                           "123456 8", "1234567 ", "#-+=%&*!~"}) {
    // Bytes left by an earlier value must not show through.
    std::memset(buffer.data(), 0xEE, buffer.size());
    c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(text));
    c.PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>(text));
    std::array<uint8_t, 16> plain{}, upper{};
    bool plainNull = false, upperNull = false;
    c.GetField(1, buffer.data(), plainNull, plain.data());
    c.GetField(2, buffer.data(), upperNull, upper.data());
    EXPECT_EQ(plainNull, upperNull) << '"' << text << '"';
    EXPECT_EQ(plain, upper) << '"' << text << '"';
    std::string expected(text, strnlen(text, c.Field(1).desc.StoredSize() - 1u));
    while (!expected.empty() && expected.back() == ' ') expected.pop_back();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(plain.data())), expected) << '"' << text << '"';
    EXPECT_EQ(plainNull, expected.empty()) << '"' << text << '"';
  }
}

}  // namespace
