// Indexes built from a table's records, bottom-up (an index added to an open table, the index
// rebuild of a restructure, the copy of a restructure), against the same indexes kept by appends
// one record at a time: every index reads the records in the same order, and the checker, record
// keys included, finds nothing wrong; then the tables take the same appends, modifies and
// deletes and still agree. With and without a locale; a unique primary index, a case-insensitive
// one over repeated names in mixed case, and a descending one over two fields.
//
// The seed is printed; VELMARON_SEED replays it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using datafile_test::field;
using table_test::Database;
using table_test::expectIntact;
using table_test::TempDir;

struct Row {
  int32_t k = 0;
  std::string name;
  double amount = 0;
};

const char* const kIndexNames[] = {"BYNAME", "BYAMOUNT"};

// K (the primary index), NAME case-insensitive, AMOUNT descending with NAME; without indexes
// when `indexed` is false.
TRestructureArgs definition(bool locale, bool indexed) {
  TRestructureArgs a;
  a.LanguageId = locale ? 0x0409 : 0;
  a.BlobBlockSize = 512;
  a.NoBackup = true;
  a.Fields = {field(1, "K", 6), field(2, "NAME", 1, 12), field(3, "AMOUNT", 7), field(4, "NOTE", 1, 20)};
  a.NoPrimaryIndex = !indexed;
  a.Indexes.resize(indexed ? 3 : 1);
  if (!indexed) return a;
  a.Indexes[0].fields[0] = 1;
  a.Indexes[1].name = kIndexNames[0];
  a.Indexes[1].fields[0] = 2;
  a.Indexes[1].caseInsensitive = 1;
  a.Indexes[2].name = kIndexNames[1];
  a.Indexes[2].fields = {3, 2};
  a.Indexes[2].descending = 1;
  return a;
}

class IndexBuildTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    seed_ = storage_test::testSeed();
    rng_.seed(seed_);
  }

  Row randomRow(int32_t k) {
    static const char* const stems[] = {"alpha", "Beta", "gamma", "DELTA", "eps", "Zeta", "eta", "theta"};
    std::string name = std::string(stems[rng_() % 8]) + std::to_string(rng_() % 5);
    for (char& ch : name)
      if (rng_() % 3 == 0)
        ch = char(std::isupper(uint8_t(ch)) ? std::tolower(uint8_t(ch)) : std::toupper(uint8_t(ch)));
    return {k, name, double(rng_() % 40) / 4};
  }

  std::unique_ptr<TDataCursor> create(Database& db, const std::string& name, const TRestructureArgs& args) {
    auto c = std::make_unique<TDataCursor>(*db.directory);
    c->SetTableName(name);
    c->SetExclusive(true);
    TRestructureArgs copy = args;
    c->CreateTable(copy);
    c->Open();
    return c;
  }

  static void put(TDataCursor& c, std::vector<uint8_t>& buffer, const Row& row) {
    c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&row.k));
    std::array<uint8_t, 13> text{};
    std::memcpy(text.data(), row.name.data(), std::min<size_t>(row.name.size(), 12));
    c.PutField(2, buffer.data(), text.data());
    c.PutField(3, buffer.data(), reinterpret_cast<const uint8_t*>(&row.amount));
    c.PutField(4, buffer.data(), reinterpret_cast<const uint8_t*>("a note"));
  }
  static void append(TDataCursor& c, const Row& row) {
    std::vector<uint8_t> buffer(c.RecordSize());
    c.ClearRecordBuffer(buffer.data());
    put(c, buffer, row);
    c.AppendRecord(buffer.data());
  }
  // Finds the record of key k by the primary index; false when there is none.
  static bool find(TDataCursor& c, int32_t k, std::vector<uint8_t>& buffer) {
    c.SelectIndex(kPrimarySlot);
    c.ClearRecordBuffer(buffer.data());
    c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
    if (!c.FindKey(false, buffer.data(), 1, false, 0, nullptr)) return false;
    c.GetCurrentRecord(buffer.data(), false);
    return true;
  }
  // The K of every record in the order of each index.
  static std::vector<std::vector<int32_t>> orders(TDataCursor& c) {
    std::vector<std::vector<int32_t>> all;
    std::vector<uint8_t> buffer(c.RecordSize());
    for (uint8_t slot = 0; slot <= 2; ++slot) {
      c.SelectIndex(slot);
      c.SetToBegin();
      std::vector<int32_t> ks;
      while (c.GetNextRecord(buffer.data()) == 0) {
        bool isNull = false;
        std::array<uint8_t, 8> v{};
        c.GetField(1, buffer.data(), isNull, v.data());
        int32_t k = 0;
        std::memcpy(&k, v.data(), 4);
        ks.push_back(k);
      }
      all.push_back(std::move(ks));
    }
    return all;
  }

  uint32_t seed_ = 0;
  std::mt19937 rng_;
};

TEST_P(IndexBuildTest, BuiltIndexesEqualIndexesKeptByAppendsAndCarryOnAlike) {
  SCOPED_TRACE("seed " + std::to_string(seed_));
  const bool locale = GetParam();
  TempDir dir;
  Database db(dir.path());
  constexpr int32_t kRows = 2500;
  std::vector<int32_t> ks(kRows);
  std::iota(ks.begin(), ks.end(), 1);
  std::shuffle(ks.begin(), ks.end(), rng_);
  std::vector<Row> rows;
  for (int32_t k : ks) rows.push_back(randomRow(k));
  // Every third K goes again before the indexes are built, so that the rebuild meets free slots.
  std::vector<int32_t> gone;
  for (int32_t k = 3; k <= kRows; k += 3) gone.push_back(k);

  const auto kept = create(db, "kept", definition(locale, true));
  const auto rebuilt = create(db, "rebuilt", definition(locale, false));
  const auto copied = create(db, "copied", definition(locale, false));
  const auto added = create(db, "added", definition(locale, false));
  std::vector<TDataCursor*> tables{kept.get(), rebuilt.get(), copied.get(), added.get()};
  for (TDataCursor* c : tables)
    for (const Row& row : rows) append(*c, row);
  // Before any index exists only the kept table can find by K: the others delete by record number,
  // which is the same in every table so far.
  std::vector<uint8_t> buffer(kept->RecordSize());
  std::vector<uint32_t> goneRecords;
  for (int32_t k : gone) {
    ASSERT_TRUE(find(*kept, k, buffer));
    goneRecords.push_back(kept->CurrentRecordNo());
    kept->DeleteRecord(buffer.data());
  }
  for (TDataCursor* c : {rebuilt.get(), copied.get(), added.get()})
    for (uint32_t n : goneRecords) {
      c->SetToRecordNo(n);
      c->GetCurrentRecord(buffer.data(), false);
      c->DeleteRecord(buffer.data());
    }

  // The index rebuild of a restructure, the copy of one (a field added), and indexes added one
  // by one to an open table.
  rebuilt->Close();
  TRestructureArgs indexed = definition(locale, true);
  rebuilt->RestructureTable(indexed);
  rebuilt->Open();
  copied->Close();
  TRestructureArgs widened = definition(locale, true);
  widened.Fields.push_back(field(5, "EXTRA", 6));
  copied->RestructureTable(widened);
  copied->Open();
  added->Close();
  TRestructureArgs primary = definition(locale, true);
  primary.Indexes.resize(1);
  added->RestructureTable(primary);
  added->Open();
  for (uint8_t slot = 1; slot <= 2; ++slot) {
    TIndexDescriptor d = definition(locale, true).Indexes[slot];
    added->AddSecondaryIndex(d);
  }

  const auto expected = orders(*kept);
  ASSERT_EQ(expected[0].size(), size_t(kRows) - gone.size());
  for (TDataCursor* c : tables) {
    SCOPED_TRACE(c->TableName());
    EXPECT_EQ(orders(*c), expected);
    expectIntact(dir, c->TableName(), *c);
  }

  // The same appends, modifies and deletes on every table.
  for (int round = 0; round < 3; ++round) {
    std::vector<Row> more;
    for (int i = 0; i < 300; ++i) more.push_back(randomRow(kRows + round * 1000 + i + 1));
    std::vector<std::pair<int32_t, Row>> changes;
    for (int i = 0; i < 200; ++i) {
      const int32_t k = int32_t(rng_() % kRows) + 1;
      changes.push_back({k, randomRow(k)});
    }
    std::vector<int32_t> deletes;
    for (int i = 0; i < 300; ++i) deletes.push_back(int32_t(rng_() % kRows) + 1);
    for (TDataCursor* c : tables) {
      SCOPED_TRACE(c->TableName());
      // The copied table's records are longer.
      buffer.assign(c->RecordSize(), 0);
      for (const Row& row : more) append(*c, row);
      for (const auto& [k, row] : changes) {
        if (!find(*c, k, buffer)) continue;
        put(*c, buffer, row);
        c->ModifyRecord(buffer.data());
      }
      for (int32_t k : deletes)
        if (find(*c, k, buffer)) c->DeleteRecord(buffer.data());
    }
    const auto now = orders(*kept);
    for (TDataCursor* c : tables) {
      SCOPED_TRACE(c->TableName());
      EXPECT_EQ(orders(*c), now);
      expectIntact(dir, c->TableName(), *c);
    }
  }
  for (TDataCursor* c : tables) c->Close();
}

// Rows appended at once (AppendRecords) against the same rows appended one by one: the same
// records (numbers and unique ids), keys and counts, in an empty table (indexes built) and in one
// that holds records (keys inserted); a row whose key a unique index holds already is refused
// alike, the rows before it appended; then both tables carry on alike.
TEST_P(IndexBuildTest, RowsAppendedAtOnceEqualRowsAppendedOneByOne) {
  SCOPED_TRACE("seed " + std::to_string(seed_));
  const bool locale = GetParam();
  TempDir dir;
  Database db(dir.path());
  const auto kept = create(db, "kept", definition(locale, true));
  const auto bulk = create(db, "bulk", definition(locale, true));
  std::vector<TDataCursor*> tables{kept.get(), bulk.get()};
  auto image = [&](TDataCursor& c, const Row& row) {
    std::vector<uint8_t> buffer(c.RecordSize());
    c.ClearRecordBuffer(buffer.data());
    put(c, buffer, row);
    return buffer;
  };
  // Appends `rows` to both tables; the error code each raised (0 for none).
  auto appendBoth = [&](const std::vector<Row>& rows) {
    std::array<uint16_t, 2> codes{};
    for (size_t t = 0; t < 2; ++t) {
      TDataCursor& c = *tables[t];
      std::vector<std::vector<uint8_t>> images;
      for (const Row& row : rows) images.push_back(image(c, row));
      try {
        if (t == 0) {
          for (auto& b : images) c.AppendRecord(b.data(), false);
        } else {
          std::vector<uint8_t*> pointers;
          for (auto& b : images) pointers.push_back(b.data());
          c.AppendRecords(pointers);
        }
      } catch (const EVELDOREngineError& e) {
        codes[t] = e.ErrorCode();
      }
    }
    return codes;
  };
  auto expectSame = [&] {
    EXPECT_EQ(orders(*bulk), orders(*kept));
    EXPECT_EQ(bulk->GetRecordCount(), kept->GetRecordCount());
    EXPECT_EQ(bulk->GetLastUniqueId(), kept->GetLastUniqueId());
    std::vector<uint8_t> a(kept->RecordSize()), b(bulk->RecordSize());
    for (TDataCursor* c : tables) {
      c->SelectIndex(255);
      c->SetToBegin();
    }
    for (;;) {
      const bool more = kept->GetNextRecord(a.data()) == 0;
      ASSERT_EQ(bulk->GetNextRecord(b.data()) == 0, more);
      if (!more) break;
      EXPECT_EQ(a, b);
    }
    for (TDataCursor* c : tables) expectIntact(dir, c->TableName(), *c);
  };

  std::vector<Row> rows;
  for (int32_t k = 1; k <= 1500; ++k) rows.push_back(randomRow(k * 7 % 1501));
  EXPECT_EQ(appendBoth(rows), (std::array<uint16_t, 2>{}));
  expectSame();
  rows.clear();
  for (int32_t k = 1; k <= 400; ++k) rows.push_back(randomRow(2000 + k));
  EXPECT_EQ(appendBoth(rows), (std::array<uint16_t, 2>{}));
  expectSame();
  // K 2100 is held already.
  rows.clear();
  for (int32_t k = 1; k <= 50; ++k) rows.push_back(randomRow(k == 30 ? 2100 : 3000 + k));
  EXPECT_EQ(appendBoth(rows), (std::array<uint16_t, 2>{VELDOR_KEYVIOL, VELDOR_KEYVIOL}));
  expectSame();
  std::vector<Row> changes;
  for (int32_t k = 1; k <= 1500; k += 4) changes.push_back(randomRow(k));
  std::vector<uint8_t> buffer(kept->RecordSize());
  for (TDataCursor* c : tables) {
    for (const Row& row : changes) {
      if (!find(*c, row.k, buffer)) continue;
      put(*c, buffer, row);
      c->ModifyRecord(buffer.data());
    }
    for (int32_t k = 2; k <= 1500; k += 3)
      if (find(*c, k, buffer)) c->DeleteRecord(buffer.data());
  }
  // Free slots now: the rows go one append each.
  rows.clear();
  for (int32_t k = 1; k <= 20; ++k) rows.push_back(randomRow(4000 + k));
  EXPECT_EQ(appendBoth(rows), (std::array<uint16_t, 2>{}));
  expectSame();
  for (TDataCursor* c : tables) c->Close();
}

INSTANTIATE_TEST_SUITE_P(Collations, IndexBuildTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Locale") : std::string("Bytes");
                         });

}  // namespace
