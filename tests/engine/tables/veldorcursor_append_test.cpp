// Appends through the cursor: every record-id order, freed slots taken again, rows a unique index
// or a taken id refuses (in one process or two, alone or in a transaction), a failed append, a
// rolled-back transaction, another process appending in between, a blob field a restructure
// adds, and texts cut and trimmed as they are put. After each append the cursor keeps its index
// and stands on the record; at the end the checker finds every key, the record-id index's
// included.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <optional>
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

// Makes table `name` with `args` through `c`, which stays on it, exclusive and closed.
void createExclusive(TDataCursor& c, const std::string& name, TCreateTableArgs& args) {
  c.SetTableName(name);
  c.SetExclusive(true);
  c.CreateTable(args);
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
        TCreateTableArgs args = appendTable(noPrimary);
        createExclusive(c, name, args);
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
    TCreateTableArgs args = appendTable(true);
    createExclusive(c, "rows", args);
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
  TCreateTableArgs args = appendTable(true);
  createExclusive(c, "rows", args);
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

// A text longer than its field keeps the whole characters of its first bytes, with a case rule
// and without: characters of two, three and four bytes meet the field's end at each of their
// bytes. What the record holds is still UTF-8, the checker finds each key, and a search key made
// of the whole text is cut as the record was, so each index finds its row.
TEST(CursorAppendTest, ATextLongerThanItsFieldKeepsWholeCharactersWithAndWithoutACaseRule) {
  TempDir dir;
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("texts");
  c.SetExclusive(true);
  TCreateTableArgs args;
  args.LanguageId = 0x0409;
  args.BlobBlockSize = 512;
  args.Fields = {field(1, "PLAIN", 1, 5), field(2, "UPPER", 1, 5), field(3, "ID", 6, 0, 29)};
  args.Fields[1].SetCaseRule(2);
  args.Indexes.resize(3);
  args.Indexes[0].fields[0] = 3;
  args.Indexes[1].name = "BYPLAIN";
  args.Indexes[1].fields[0] = 1;
  args.Indexes[2].name = "BYUPPER";
  args.Indexes[2].fields[0] = 2;
  c.CreateTable(args);
  c.Open();
  struct Written {
    std::string text, kept;
  };
  std::vector<Written> rows;
  // Upper case already: the rule leaves them as they are.
  for (const std::string ch : {"\xC3\x89", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"})
    for (size_t lead = 0; lead < 4; ++lead) {
      Written w{std::string(lead, 'A'), std::string(lead, 'A')};
      for (int k = 0; k < 4; ++k) {
        w.text += ch;
        if (w.kept.size() + ch.size() <= 5 && w.kept.size() + ch.size() == w.text.size()) w.kept += ch;
      }
      rows.push_back(w);
    }
  std::vector<uint8_t> buffer(c.RecordSize());
  for (const Written& w : rows) {
    SCOPED_TRACE(w.text);
    std::memset(buffer.data(), 0xEE, buffer.size());
    c.ClearRecordBuffer(buffer.data());
    for (uint16_t f : {1, 2}) c.PutField(f, buffer.data(), reinterpret_cast<const uint8_t*>(w.text.c_str()));
    for (uint16_t f : {1, 2}) {
      std::array<uint8_t, 16> value{};
      bool isNull = true;
      c.GetField(f, buffer.data(), isNull, value.data());
      EXPECT_FALSE(isNull) << f;
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(value.data())), w.kept) << f;
    }
    c.AppendRecord(buffer.data());
  }
  for (uint8_t slot : {1, 2}) {
    c.SwitchToIndex(slot);
    for (const Written& w : rows) {
      SCOPED_TRACE(std::to_string(slot) + " " + w.text);
      std::vector<uint8_t> key(c.RecordSize());
      c.ClearRecordBuffer(key.data());
      c.PutField(slot, key.data(), reinterpret_cast<const uint8_t*>(w.text.c_str()));
      EXPECT_TRUE(c.FindKey(false, key.data(), 1, false, 0, buffer.data()));
      std::array<uint8_t, 16> value{};
      bool isNull = true;
      c.GetField(slot, buffer.data(), isNull, value.data());
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(value.data())), w.kept);
    }
  }
  c.Close();
  c.SetExclusive(false);
  c.Open();
  expectIntact(dir, "texts", c);
}

// A (text, unique without case), C (text, index NAMES) and D (integer, unique, descending
// index), B and C keyed together by the unique BC (B descending), and the auto-increment ID that
// the primary index keys. In slot order: UA, NAMES, BC, UD.
TCreateTableArgs refusalTable() {
  TCreateTableArgs a;
  a.BlobBlockSize = 512;
  a.Fields = {field(1, "A", 1, 10), field(2, "B", 6), field(3, "C", 1, 10), field(4, "D", 6),
              field(5, "ID", 6, 0, 29)};
  a.Indexes.resize(5);
  a.Indexes[0].fields[0] = 5;
  a.Indexes[1].name = "UA";
  a.Indexes[1].fields[0] = 1;
  a.Indexes[1].unique = 1;
  a.Indexes[1].caseInsensitive = 1;
  a.Indexes[2].name = "NAMES";
  a.Indexes[2].fields[0] = 3;
  a.Indexes[3].name = "BC";
  a.Indexes[3].fields = {2, 3};
  a.Indexes[3].fieldDescending[0] = 1;
  a.Indexes[3].unique = 1;
  a.Indexes[4].name = "UD";
  a.Indexes[4].fields[0] = 4;
  a.Indexes[4].unique = 1;
  a.Indexes[4].descending = 1;
  return a;
}

struct Row {
  const char* a;
  std::optional<int32_t> b;
  const char* c;
  int32_t d;
  int32_t id = 0;
};

void putRow(TDataCursor& c, std::vector<uint8_t>& buffer, const Row& r) {
  c.ClearRecordBuffer(buffer.data());
  const auto bytes = [](const auto* p) { return reinterpret_cast<const uint8_t*>(p); };
  c.PutField(1, buffer.data(), bytes(r.a));
  c.PutField(2, buffer.data(), r.b ? bytes(&*r.b) : nullptr);
  c.PutField(3, buffer.data(), r.c ? bytes(r.c) : nullptr);
  c.PutField(4, buffer.data(), bytes(&r.d));
  if (r.id != 0) c.PutField(5, buffer.data(), bytes(&r.id));
}

// The error of an append and the index it names ("" when none).
std::pair<uint16_t, std::string> appendError(TDataCursor& c, std::vector<uint8_t>& buffer, const Row& r) {
  putRow(c, buffer, r);
  try {
    c.AppendRecord(buffer.data());
  } catch (const EVELDOREngineError& e) {
    return {e.ErrorCode(), e.Item(kItemIndex)};
  }
  return {0, ""};
}

// The D values in the order of `index`.
std::vector<int32_t> dsBy(TDataCursor& c, const char* index) {
  c.SetIndexName(index);
  std::vector<int32_t> ds;
  std::vector<uint8_t> buffer(c.RecordSize());
  c.SetToBegin();
  while (c.GetNextRecord(buffer.data()) == 0) ds.push_back(fieldOf(c, buffer, 4));
  return ds;
}

// A row that a unique index refuses names the first such index in slot order, keys equal but for
// case, a descending part or a NULL part included; the keys earlier indexes took go back, its
// record slot and id are the next row's, and a commit after it keeps nothing of it.
TEST(CursorAppendTest, ARefusedRowNamesTheFirstUniqueIndexAndLeavesNothing) {
  for (const bool inTransaction : {false, true}) {
    SCOPED_TRACE(inTransaction ? "in a transaction" : "alone");
    TempDir dir;
    Database db(dir.path());
    TDataCursor c(*db.directory);
    TCreateTableArgs args = refusalTable();
    createExclusive(c, "refusals", args);
    c.SetExclusive(false);
    c.Open();
    c.SetIndexName("BC");
    std::vector<uint8_t> buffer(c.RecordSize()), read(c.RecordSize());
    ASSERT_EQ(appendError(c, buffer, {"Alpha", 1, "x", 10}).first, 0);
    ASSERT_EQ(appendError(c, buffer, {"Beta", 2, nullptr, 20}).first, 0);
    if (inTransaction) db.directory->StartTransaction();
    using Refusal = std::pair<Row, const char*>;
    for (const auto& [row, index] : std::initializer_list<Refusal>{
             {{"ALPHA", 3, "z", 30}, "UA"},      // equal but for case
             {{"Gamma", 1, "x", 30}, "BC"},      // the middle unique index, after NAMES took C
             {{"Gamma", 2, nullptr, 30}, "BC"},  // a NULL part equals a NULL part
             {{"beta", 5, "q", 10}, "UA"},       // UA and UD: the first
             {{"Gamma", 1, "x", 20}, "BC"},      // BC and UD: the first
             {{"Gamma", 6, "w", 20}, "UD"},      // the last index, in a descending one
             {{"Gamma", 1, "X", 40}, ""},        // BC tells case apart: taken
             {{"alpha ", 1, "X", 50}, "UA"},     // trailing blanks dropped
             {{"Gamma", 7, "v", 60}, "UA"}}) {
      const std::string what = std::string(row.a) + " " + std::to_string(row.d);
      const auto [error, named] = appendError(c, buffer, row);
      EXPECT_EQ(error, *index ? VELDOR_KEYVIOL : 0) << what;
      EXPECT_EQ(named, index) << what;
      EXPECT_EQ(c.CurrentIndex(), uint8_t(3)) << what;
    }
    if (inTransaction) db.directory->Commit(true, false);
    // The taken row had record 3 and id 3; the next one follows it.
    ASSERT_EQ(appendError(c, buffer, {"Delta", 8, "u", 70}).first, 0);
    EXPECT_EQ(c.CurrentRecordNo(), 4u);
    ASSERT_EQ(c.GetCurrentRecord(read.data(), false), 0);
    EXPECT_EQ(fieldOf(c, read, 5), 4);
    EXPECT_EQ(c.GetRecordCount(), 4);
    // An explicit id that is taken: the primary index keys it and comes first.
    c.SuppressAutoInc(true);
    EXPECT_EQ(appendError(c, buffer, {"alpha", 9, "t", 80, 2}),
              std::make_pair(VELDOR_KEYVIOL, std::string("Primary")));
    EXPECT_EQ(appendError(c, buffer, {"Omega", 9, nullptr, 80, 2}),
              std::make_pair(VELDOR_KEYVIOL, std::string("Primary")));
    c.SuppressAutoInc(false);
    std::vector<int32_t> all{10, 20, 40, 70};
    if (inTransaction) {
      // A key another cursor of the process holds uncommitted is refused; once that row is
      // deleted in the same transaction, it is free.
      db.directory->StartTransaction();
      TDataCursor other(*db.directory);
      other.SetTableName("refusals");
      other.Open();
      ASSERT_EQ(appendError(other, buffer, {"Epsilon", 11, "s", 90}).first, 0);
      EXPECT_EQ(appendError(c, buffer, {"epsilon", 12, "r", 91}),
                std::make_pair(VELDOR_KEYVIOL, std::string("UA")));
      ASSERT_EQ(other.GetCurrentRecord(read.data(), false), 0);
      other.DeleteRecord(read.data());
      EXPECT_EQ(appendError(c, buffer, {"EPSILON", 13, "p", 92}).first, 0);
      db.directory->Commit(true, false);
      other.Close();
      all.push_back(92);
    }
    c.Close();
    c.Open();
    auto sorted = [](std::vector<int32_t> v) {
      std::sort(v.begin(), v.end());
      return v;
    };
    for (const char* index : {"", "UA", "NAMES", "BC", "UD", "Sys Deleted"}) {
      EXPECT_EQ(sorted(dsBy(c, index)), all) << index;
    }
    EXPECT_EQ(dsBy(c, "UD"), std::vector<int32_t>(all.rbegin(), all.rend()));
    expectIntact(dir, "refusals", c);
  }
}

// Without a primary index a taken explicit id is refused after the other indexes took their
// keys, one of them equal to the holder's key but for the record: the holder's stays.
TEST(CursorAppendTest, ATakenExplicitIdTakesBackKeysEqualToTheHoldersOwn) {
  TempDir dir;
  Database db(dir.path());
  TDataCursor c(*db.directory);
  TCreateTableArgs args = appendTable(true);
  createExclusive(c, "ids", args);
  c.SetExclusive(false);
  c.Open();
  c.SuppressAutoInc(true);
  std::vector<uint8_t> buffer(c.RecordSize());
  for (int32_t k = 0; k < 40; ++k) {
    put(c, buffer, k * 17, 1000 + k);
    c.AppendRecord(buffer.data());
  }
  // The same NAME ("n0") and id as K = 0 holds, for another K.
  for (int32_t k : {1700, 1717}) {
    put(c, buffer, k, 1000);
    EXPECT_EQ(errorOf([&] { c.AppendRecord(buffer.data()); }), VELDOR_KEYVIOL);
  }
  put(c, buffer, 1734, 2000);
  c.AppendRecord(buffer.data());
  c.SetIndexName("BYNAME");
  std::vector<int32_t> ks = walk(c);
  std::sort(ks.begin(), ks.end());
  std::vector<int32_t> expected;
  for (int32_t k = 0; k < 40; ++k) expected.push_back(k * 17);
  expected.push_back(1734);
  EXPECT_EQ(ks, expected);
  c.Close();
  c.Open();
  expectIntact(dir, "ids", c);
}

// K (unique BYK, the last index), a long NAME (BYNAME) and the ID the primary index keys: a row
// BYK refuses has put keys into two trees first, often splitting a page.
TCreateTableArgs splitTable() {
  TCreateTableArgs a;
  a.BlobBlockSize = 512;
  a.Fields = {field(1, "K", 6), field(2, "NAME", 1, 60), field(3, "ID", 6, 0, 29)};
  a.Indexes.resize(3);
  a.Indexes[0].fields[0] = 3;
  a.Indexes[1].name = "BYNAME";
  a.Indexes[1].fields[0] = 2;
  a.Indexes[2].name = "BYK";
  a.Indexes[2].fields[0] = 1;
  a.Indexes[2].unique = 1;
  return a;
}

void putLong(TDataCursor& c, std::vector<uint8_t>& buffer, int32_t k, int32_t salt) {
  c.ClearRecordBuffer(buffer.data());
  const std::string name = std::to_string(uint32_t(salt) * 2654435761u % 100000) + std::string(50, 'x');
  c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
  c.PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>(name.c_str()));
}

// Sent n: appends K = 100000 + n, then a row with K = 1 that BYK refuses; answers 'A' when both
// went as they should.
int appendAndRefuseOnRequest(Helper& h, const std::string& path) {
  Database db(path);
  TDataCursor c(*db.directory);
  c.SetTableName("splits");
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  for (char n; (n = h.receive()) != 0;) {
    putLong(c, buffer, 100000 + uint8_t(n), 7 * uint8_t(n));
    c.AppendRecord(buffer.data());
    putLong(c, buffer, 1, 11 * uint8_t(n));
    h.send(errorOf([&] { c.AppendRecord(buffer.data()); }) == VELDOR_KEYVIOL ? 'A' : 'F');
  }
  return 0;
}

// Refused rows in two processes between each other's appends: each sees the other's rows and
// the trees stay whole.
TEST(CursorAppendTest, RowsRefusedInTwoProcessesLeaveTheTreesWholeForBoth) {
  TempDir dir;
  {
    Database db(dir.path());
    TDataCursor c(*db.directory);
    TCreateTableArgs args = splitTable();
    createExclusive(c, "splits", args);
  }
  Helper other([&](Helper& h) { return appendAndRefuseOnRequest(h, dir.path()); });
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("splits");
  c.Open();
  c.SetIndexName("BYNAME");
  std::vector<uint8_t> buffer(c.RecordSize());
  std::vector<int32_t> expected;
  for (int32_t i = 1; i <= 400; ++i) {
    putLong(c, buffer, i, i);
    c.AppendRecord(buffer.data());
    expected.push_back(i);
    putLong(c, buffer, (i + 1) / 2, 3 * i);
    ASSERT_EQ(errorOf([&] { c.AppendRecord(buffer.data()); }), VELDOR_KEYVIOL) << i;
    if (i % 4 == 0) {
      other.send(char(i / 4));
      ASSERT_EQ(other.receive(), 'A') << i;
      expected.push_back(100000 + i / 4);
    }
  }
  other.send(0);
  EXPECT_EQ(other.wait(), 0);
  std::sort(expected.begin(), expected.end());
  c.SetIndexName("BYK");
  EXPECT_EQ(walk(c), expected);
  EXPECT_EQ(c.GetRecordCount(), int32_t(expected.size()));
  expectIntact(dir, "splits", c);
}

// An index file at its greatest size refuses every insert that might take a page; a row that
// breaks a unique key, or whose explicit id is taken, is still refused for that first.
TEST(CursorAppendTest, AFullIndexFileStillReportsTheKeyARowBreaksFirst) {
  for (const bool noPrimary : {false, true}) {
    SCOPED_TRACE(noPrimary ? "no primary index" : "primary index");
    TempDir dir;
    {
      Database db(dir.path());
      TDataCursor c(*db.directory);
      TCreateTableArgs args = appendTable(noPrimary);
      createExclusive(c, "rows", args);
      c.Open();
      c.SuppressAutoInc(true);
      std::vector<uint8_t> buffer(c.RecordSize());
      for (int32_t k = 1; k <= 3; ++k) {
        put(c, buffer, k, 10 * k);
        c.AppendRecord(buffer.data());
      }
    }
    // The next page the file would take lies at its greatest size.
    datafile_test::patchFile(dir.file("rows.IDX"), [](std::vector<uint8_t>& bytes) {
      const uint32_t next = uint32_t(kMaxIndexFileSize / kIndexPageSize);
      std::memcpy(bytes.data() + 9, &next, 4);
    });
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.Open();
    c.SuppressAutoInc(true);
    std::vector<uint8_t> buffer(c.RecordSize());
    put(c, buffer, 2, 40);
    EXPECT_EQ(errorOf([&] { c.AppendRecord(buffer.data()); }), VELDOR_KEYVIOL);
    put(c, buffer, 4, 20);
    EXPECT_EQ(errorOf([&] { c.AppendRecord(buffer.data()); }), VELDOR_KEYVIOL);
    put(c, buffer, 4, 40);
    EXPECT_EQ(errorOf([&] { c.AppendRecord(buffer.data()); }), VELDOR_TABLEFULL);
    EXPECT_EQ(c.GetRecordCount(), 3);
    c.SetIndexName("BYK");
    EXPECT_EQ(walk(c), (std::vector<int32_t>{1, 2, 3}));
  }
}

}  // namespace
