// Filters against a twin table without indexes: every generated filter shows the same records
// whether indexes answer it or not, on tables in byte order and in a locale's order, while the
// tables change under the filtering cursor.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <set>

#include "engine/storage/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using storage_test::errorOf;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

const char* const kNames[] = {"ann",   "Ann",   "ANN",     "anna", "bob", "Bob", "zoe", "Zoë", "zoë",
                              "Émile", "emile", "étienne", "Zo",   "z",   "ab",  "abc", "Abd", "carl"};

// ID (serial, tells records apart), K int, NAME string(12), AMOUNT float. The indexed twin has
// K ascending, NAME in case and without, AMOUNT descending, and NAME descending as a field.
TCreateTableArgs tableArgs(uint16_t languageId, bool indexed) {
  using datafile_test::field;
  TCreateTableArgs a;
  a.LanguageId = languageId;
  a.BlobBlockSize = 512;
  a.NoPrimaryIndex = true;
  a.Fields = {field(1, "ID", 6), field(2, "K", 6), field(3, "NAME", 1, 12), field(4, "AMOUNT", 7),
              field(5, "NOTES", kFieldTypeBlob, 0, 22)};
  a.Indexes.resize(1);
  if (!indexed) return a;
  auto index = [&](const char* name, std::vector<uint16_t> fields, bool ci, bool desc, bool firstDesc) {
    TIndexDescriptor d;
    d.name = name;
    std::copy(fields.begin(), fields.end(), d.fields.begin());
    d.caseInsensitive = ci;
    d.descending = desc;
    d.fieldDescending[0] = firstDesc;
    a.Indexes.push_back(d);
  };
  a.TextIndex.fields[0] = 5;
  index("BYK", {2}, false, false, false);
  index("BYNAME", {3, 2}, false, false, false);
  index("BYNAMECI", {3}, true, false, false);
  index("BYAMOUNT", {4}, false, true, false);
  index("BYNAMEDESC", {3, 1}, false, false, true);
  return a;
}

struct Generator {
  std::mt19937& random;
  int pick(int n) { return int(random() % unsigned(n)); }
  std::string name() { return std::string("'") + kNames[pick(std::size(kNames))] + "'"; }
  std::string number() { return std::to_string(pick(16) - 3); }
  std::string amount() { return std::to_string(pick(9) - 4) + (pick(2) ? ".5" : ""); }
  std::string op() {
    static const char* ops[] = {"=", "<>", "<", ">", "<=", ">="};
    return ops[pick(6)];
  }
  std::string atom() {
    switch (pick(16)) {
      case 13:
        return std::string("NOTES ") + (pick(2) ? "NOT " : "") + "LIKE '%" +
               std::string(kNames[pick(std::size(kNames))]).substr(0, 2) + "%'";
      case 14: {
        // Whole words, a stop word, a prefix; the name's words may be in a NOTES memo.
        static const char* extra[] = {"zyx", "qwv", "the", "zy*", "nope"};
        std::string words = kNames[pick(std::size(kNames))];
        if (pick(2)) words += std::string(" ") + extra[pick(std::size(extra))];
        return "TEXTSEARCH('" + words + "' IN NOTES)";
      }
      case 0:
        return "K " + op() + " " + number();
      case 1:
        return number() + " " + op() + " K";
      case 2:
        return "NAME " + op() + " " + name();
      case 3:
        return "NAME = '" + std::string(kNames[pick(std::size(kNames))]).substr(0, 2) + "*'";
      case 4:
        return std::string("NAME ") + (pick(2) ? "NOT " : "") + "LIKE '" +
               std::string(kNames[pick(std::size(kNames))]).substr(0, 1 + pick(2)) + "%'";
      case 5:
        return "UPPER(NAME) " + op() + " " + name();
      case 6:
        return std::string("K ") + (pick(2) ? "NOT " : "") + "BETWEEN " + number() + " AND " + number();
      case 7:
        return std::string("NAME ") + (pick(2) ? "NOT " : "") + "BETWEEN " + name() + " AND " + name();
      case 8:
        return std::string("K ") + (pick(2) ? "NOT " : "") + "IN (" + number() + ", " + number() + ", " +
               number() + ")";
      case 9:
        return std::string("NAME ") + (pick(2) ? "NOT " : "") + "IN (" + name() + ", " + name() + ")";
      case 10:
        return std::string(pick(2) ? "K" : "NAME") + " IS " + (pick(2) ? "NOT " : "") + "NULL";
      case 11:
        return "AMOUNT " + op() + " " + amount();
      case 12:
        return "AMOUNT IN (" + amount() + ", " + amount() + ")";
      default:
        return "ID " + op() + " " + std::to_string(pick(60));
    }
  }
  std::string filter(int depth) {
    if (depth == 0 || pick(3) == 0) return atom();
    switch (pick(3)) {
      case 0:
        return "(" + filter(depth - 1) + ") AND (" + filter(depth - 1) + ")";
      case 1:
        return "(" + filter(depth - 1) + ") OR (" + filter(depth - 1) + ")";
      default:
        return "NOT (" + filter(depth - 1) + ")";
    }
  }
};

struct Row {
  int32_t id = 0;
  std::optional<int32_t> k;
  std::string name;
  double amount = 0;
};

void put(TDataCursor& c, std::vector<uint8_t>& buffer, const Row& row) {
  c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&row.id));
  c.PutField(2, buffer.data(), row.k ? reinterpret_cast<const uint8_t*>(&*row.k) : nullptr);
  std::array<uint8_t, 13> text{};
  std::memcpy(text.data(), row.name.data(), std::min<size_t>(row.name.size(), 11));
  c.PutField(3, buffer.data(), row.name.empty() ? nullptr : text.data());
  c.PutField(4, buffer.data(), reinterpret_cast<const uint8_t*>(&row.amount));
  // A memo that repeats the name, none without one.
  const std::string notes = row.name.empty() ? "" : "zyx " + row.name + " qwv";
  ASSERT_EQ(c.OpenBlob(5, buffer.data(), 2, false, 0), 0);
  ASSERT_EQ(c.TruncateBlob(5, buffer.data(), 0, false), 0);
  ASSERT_EQ(c.PutBlob(5, buffer.data(), 0, reinterpret_cast<const uint8_t*>(notes.data()),
                      int32_t(notes.size()), false),
            0);
}

Row randomRow(Generator& gen, int32_t id) {
  Row r{id, std::nullopt, gen.pick(6) ? kNames[gen.pick(std::size(kNames))] : "",
        double(gen.pick(9) - 4) / 2};
  if (gen.pick(6)) r.k = gen.pick(12) - 2;
  return r;
}

// Drops the records whose ID is a multiple of 3.
bool notThird(void*, TDataCursor& c, const uint8_t* record, uint32_t) {
  int32_t id = 0;
  bool isNull = false;
  c.GetField(1, record, isNull, reinterpret_cast<uint8_t*>(&id));
  return id % 3 != 0;
}

// The IDs of the records the cursor shows.
std::set<int32_t> shown(TDataCursor& c) {
  std::set<int32_t> ids;
  const TRecordsBitmap bitmap = c.CombinedBitmap();
  std::vector<uint8_t> buffer(c.RecordSize());
  uint32_t n = 0;
  int64_t position = 0;
  while (bitmap.FindNext(n, 1, position)) {
    c.SetToRecordNo(n);
    EXPECT_EQ(c.GetCurrentRecord(buffer.data(), false), 0);
    int32_t id = 0;
    bool isNull = false;
    c.GetField(1, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&id));
    ids.insert(id);
  }
  return ids;
}

class FilterTest : public ::testing::TestWithParam<uint16_t> {};

// Writes the same rows to both tables through their cursors, and a writer cursor of the indexed
// table changes it under the filter between checks.
TEST_P(FilterTest, EveryFilterShowsTheSameRecordsWithAndWithoutIndexes) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 random(seed);
  Generator gen{random};
  TempDir dir;
  // Another process appends the same rows to both tables when told ('G').
  Helper other([&](Helper& h) {
    if (h.receive() != 'G') return 1;
    std::mt19937 childRandom(seed + 1);
    Generator childGen{childRandom};
    Database childDb(dir.path());
    std::vector<uint8_t> rowBuffer;
    for (const char* name : {"plain", "indexed"}) {
      TDataCursor c(*childDb.directory);
      c.SetTableName(name);
      c.Open();
      rowBuffer.resize(c.RecordSize());
      childRandom.seed(seed + 1);
      for (int32_t id = 1000000; id < 1000020; ++id) {
        c.ClearRecordBuffer(rowBuffer.data());
        put(c, rowBuffer, randomRow(childGen, id));
        c.AppendRecord(rowBuffer.data(), false);
        c.FreeAllBlobs(true);
      }
    }
    return 0;
  });
  for (bool indexed : {false, true}) {
    Database creatorDb(dir.path());
    TDataCursor creator(*creatorDb.directory);
    creator.SetTableName(indexed ? "indexed" : "plain");
    creator.SetExclusive(true);
    TCreateTableArgs args = tableArgs(GetParam(), indexed);
    creator.CreateTable(args);
  }
  Database db(dir.path());
  auto cursor = [&](const char* name) {
    auto c = std::make_unique<TDataCursor>(*db.directory);
    c->SetTableName(name);
    return c;
  };
  auto plain = cursor("plain"), indexed = cursor("indexed"), writer = cursor("indexed");
  auto plainWriter = cursor("plain");
  plainWriter->Open();
  plain->Open();
  indexed->Open();
  writer->Open();
  std::vector<uint8_t> buffer(plain->RecordSize());
  int32_t nextId = 1;
  auto someRow = [&] { return randomRow(gen, nextId++); };
  // Record numbers of each ID in the plain and the indexed table.
  std::map<int32_t, std::pair<uint32_t, uint32_t>> where;
  auto append = [&](TDataCursor& through) {
    const Row row = someRow();
    for (TDataCursor* c : {plainWriter.get(), &through}) {
      c->ClearRecordBuffer(buffer.data());
      put(*c, buffer, row);
      c->AppendRecord(buffer.data(), false);
      c->FreeAllBlobs(true);
    }
    where[row.id] = {plainWriter->CurrentRecordNo(), through.CurrentRecordNo()};
  };
  // A change or delete of a record that `through` can stand on, in both tables.
  auto change = [&](TDataCursor& through, const std::set<int32_t>& candidates) {
    if (candidates.empty()) return append(through);
    const int32_t id = *std::next(candidates.begin(), gen.pick(int(candidates.size())));
    Row row = someRow();
    row.id = id;
    const bool remove = gen.pick(3) == 0;
    for (TDataCursor* c : {plainWriter.get(), &through}) {
      c->SetToRecordNo(c == plainWriter.get() ? where[id].first : where[id].second);
      ASSERT_EQ(c->GetCurrentRecord(buffer.data(), false), 0);
      ASSERT_EQ(c->GetCurrentRecord(buffer.data(), true), 0);
      if (remove) {
        c->DeleteRecord(buffer.data(), false);
      } else {
        put(*c, buffer, row);
        c->ModifyRecord(buffer.data(), true, false);
        c->FreeAllBlobs(true);
      }
      if (c->LockedRecordNo() != 0) c->UnlockRecord();
    }
    if (remove) where.erase(id);
  };
  for (int i = 0; i < 120; ++i) append(*writer);
  std::array<int, 3> levels{};
  for (int round = 0; round < 50; ++round) {
    const std::string text = gen.filter(3);
    const bool checkRangeSize = gen.pick(2);
    const std::string when = "filter " + text + " seed " + std::to_string(seed);
    indexed->SetIndexName(gen.pick(2) ? "BYK" : "");
    TFilter* expected = plain->AddFilter(nullptr, &text, nullptr, true, nullptr, false, false, false, false);
    TFilter* got =
        indexed->AddFilter(nullptr, &text, nullptr, true, nullptr, false, checkRangeSize, false, false);
    ASSERT_EQ(expected->OptimizeLevel(), 0) << when;
    ++levels[got->OptimizeLevel()];
    plain->ActivateFilter(expected);
    indexed->ActivateFilter(got);
    ASSERT_EQ(shown(*indexed), shown(*plain)) << when << " level " << int(got->OptimizeLevel());
    // Changes by the filtering cursor itself (to the records it shows) and by another cursor.
    for (int step = 0; step < 4; ++step) {
      std::set<int32_t> all;
      for (const auto& [id, places] : where) all.insert(id);
      if (step % 2 == 0)
        change(*indexed, shown(*indexed));
      else
        change(*writer, all);
      if (gen.pick(2)) append(step % 2 ? *writer : *indexed);
      ASSERT_EQ(shown(*indexed), shown(*plain)) << when << " after change " << step;
    }
    TFilter* third[2];
    for (int i = 0; i < 2; ++i) {
      TDataCursor& c = i ? *indexed : *plain;
      third[i] = c.AddFilter(nullptr, nullptr, nullptr, false, &notThird, true, true, false, false);
      c.ActivateFilter(third[i]);
    }
    ASSERT_EQ(shown(*indexed), shown(*plain)) << when << " with a callback filter after it";
    ASSERT_EQ(indexed->GetRecordCount(), plain->GetRecordCount()) << when;
    plain->DropFilter(third[0]);
    indexed->DropFilter(third[1]);
    plain->DropFilter(expected);
    indexed->DropFilter(got);
  }
  // A filter made after another process wrote sees its records.
  other.send('G');
  ASSERT_EQ(other.wait(), 0);
  for (int again = 0; again < 3; ++again) {
    const std::string text = gen.filter(2);
    TFilter* filters[] = {
        plain->AddFilter(nullptr, &text, nullptr, true, nullptr, false, false, false, false),
        indexed->AddFilter(nullptr, &text, nullptr, true, nullptr, false, true, false, false)};
    plain->ActivateFilter(filters[0]);
    indexed->ActivateFilter(filters[1]);
    EXPECT_EQ(shown(*indexed), shown(*plain)) << text << " after another process wrote, seed " << seed;
    EXPECT_EQ(indexed->GetRecordCount(), plain->GetRecordCount()) << text;
    plain->DropFilter(filters[0]);
    indexed->DropFilter(filters[1]);
  }
  // Memos are read for the evaluation and searched for words: each holds its record's name.
  plain->DropFilter(nullptr);
  const std::string named = "NAME IS NOT NULL";
  plain->ActivateFilter(plain->AddFilter(nullptr, &named, nullptr, true, nullptr, false, true, false, false));
  for (std::string memo : {"NOTES LIKE 'zyx %'", "TEXTSEARCH('zyx' IN NOTES)"}) {
    indexed->DropFilter(nullptr);
    indexed->ActivateFilter(
        indexed->AddFilter(nullptr, &memo, nullptr, true, nullptr, false, true, false, false));
    EXPECT_EQ(shown(*indexed), shown(*plain)) << memo;
  }
  // NULL tests are answered from an index in either order.
  for (std::string nulls : {"NAME IS NULL", "NAME IS NOT NULL"}) {
    indexed->DropFilter(nullptr);
    TFilter* f = indexed->AddFilter(nullptr, &nulls, nullptr, true, nullptr, false, false, false, false);
    EXPECT_EQ(f->OptimizeLevel(), 2) << nulls;
  }
  EXPECT_GT(plain->GetRecordCount(), 0);
  EXPECT_GT(levels[0], 0);
  EXPECT_GT(levels[1], 0);
  EXPECT_GT(levels[2], 0);
}

TEST(FilterErrorTest, FiltersThatCannotFilterAreRefusedAndOnlyTheCursorsOwnAreDropped) {
  TempDir dir;
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("t");
  c.SetExclusive(true);
  TCreateTableArgs args = tableArgs(0, true);
  c.CreateTable(args);
  c.Open();
  auto add = [&](const std::string* text) {
    return errorOf([&] { c.AddFilter(nullptr, text, nullptr, true, nullptr, false, true, false, false); });
  };
  EXPECT_EQ(add(nullptr), VELDOR_INVALIDFILTER);
  for (std::string text : {"  ", "K +", "K + 1", "NOSUCH = 1", "NAME = 1"})
    EXPECT_EQ(add(&text), VELDOR_INVALIDFILTER) << text;
  const std::string text = "K = 1";
  for (int i = 0; i < 64; ++i) ASSERT_EQ(add(&text), 0);
  EXPECT_EQ(add(&text), VELDOR_INTERNALLIMIT);
  TDataCursor other(*db.directory);
  EXPECT_EQ(errorOf([&] { c.DropFilter(reinterpret_cast<TFilter*>(&other)); }), VELDOR_NOSUCHFILTER);
  c.DropFilter(nullptr);
  EXPECT_TRUE(c.Filters().empty());
}

INSTANTIATE_TEST_SUITE_P(ByteOrderAndLocale, FilterTest, ::testing::Values(uint16_t(0), uint16_t(0x0409)));

}  // namespace
