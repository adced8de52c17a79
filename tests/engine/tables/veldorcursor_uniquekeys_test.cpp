// Unique keys met twice while a restructure builds its keys at the end: a copy and a rebuild in
// place find every duplicate under the index's own order (descending, a descending field, a
// locale), as the record-by-record copy does. With feedback that goes on, the same records go;
// without it the restructure stops and the table is left as it was. An empty table and a table of
// one record restructure whole.
#include <gtest/gtest.h>

#include <filesystem>
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

using Row = std::pair<int32_t, std::string>;

enum class Order { Descending, FieldDescending, Locale };

struct UniqueCase {
  Order order;
  bool copy;  // a copy into a new table; otherwise the indexes are rebuilt in place
};

std::string caseName(const ::testing::TestParamInfo<UniqueCase>& info) {
  const char* order[] = {"Descending", "FieldDescending", "Locale"};
  return std::string(order[int(info.param.order)]) + (info.param.copy ? "Copy" : "InPlace");
}

// K integer and NAME text; the primary index on K. `withNameIndex` adds BYNAME, unique over NAME
// in the case's order, and BYK, over K ascending, after it; `textIndex` adds a text index over
// NAME, which makes a copy go record by record.
TRestructureArgs structure(const UniqueCase& c, bool withNameIndex, bool textIndex, uint8_t nameSize) {
  TRestructureArgs a;
  a.NoBackup = true;
  a.BlobBlockSize = 512;
  a.LanguageId = c.order == Order::Locale ? 0x0409 : 0;
  a.Fields = {field(1, "K", kFieldTypeInteger), field(2, "NAME", kFieldTypeString, nameSize)};
  a.Indexes.resize(withNameIndex ? 3 : 1);
  a.Indexes[0].fields[0] = 1;
  if (withNameIndex) {
    TIndexDescriptor& d = a.Indexes[1];
    d.name = "BYNAME";
    d.fields[0] = 2;
    d.unique = 1;
    d.descending = c.order == Order::Descending;
    d.fieldDescending[0] = c.order == Order::FieldDescending;
    a.Indexes[2].name = "BYK";
    a.Indexes[2].fields[0] = 1;
  }
  if (textIndex) a.TextIndex.fields[0] = 2;
  return a;
}

std::vector<Row> readRows(TDataCursor& c) {
  std::vector<Row> rows;
  std::vector<uint8_t> buffer(c.RecordSize());
  std::array<char, 64> text{};
  c.SetToBegin();
  while (c.GetNextRecord(buffer.data()) == 0) {
    Row row;
    bool isNull = false;
    c.GetField(1, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&row.first));
    text.fill(0);
    c.GetField(2, buffer.data(), isNull, reinterpret_cast<uint8_t*>(text.data()));
    row.second = text.data();
    rows.push_back(row);
  }
  return rows;
}

std::vector<Row> makeRows(uint32_t seed) {
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  // Few names, in both cases and of several lengths, so that most come back; K unique.
  std::vector<Row> rows;
  for (int32_t k = 1; k <= 300; ++k) {
    std::string name(1 + pick(3), 'a');
    for (char& ch : name) ch = "aBcDe"[pick(5)];
    rows.emplace_back(k * 7 % 307, name);
  }
  return rows;
}

void createTable(const TempDir& dir, TRestructureArgs args, const std::vector<Row>& rows) {
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.SetExclusive(true);
  c.CreateTable(args);
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  for (const Row& row : rows) {
    c.ClearRecordBuffer(buffer.data());
    c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&row.first));
    c.PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>(row.second.c_str()));
    c.AppendRecord(buffer.data());
  }
}

struct Outcome {
  uint16_t error = 0;
  std::vector<Row> rows;
  int cases = 0;
};

// Restructures table "rows" of `dir` to `args` with feedback that goes on at every case (or none)
// and reads the rows in K order.
Outcome restructure(const TempDir& dir, TRestructureArgs args, bool goOn) {
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.SetExclusive(true);
  Outcome out;
  if (goOn)
    c.SetDataLostHook([&](TDataCursor&, TRestructureCase kind, const std::string&, bool& carryOn, bool&) {
      EXPECT_EQ(kind, rcKeyViolation);
      ++out.cases;
      carryOn = true;
    });
  out.error = storage_test::errorOf([&] { c.RestructureTable(args); });
  c.Open();
  out.rows = readRows(c);
  expectIntact(dir, "rows", c);
  return out;
}

class UniqueKeysAtTheEnd : public ::testing::TestWithParam<UniqueCase> {};

TEST_P(UniqueKeysAtTheEnd, FindEveryDuplicateAsTheRecordByRecordCopyDoes) {
  const UniqueCase kind = GetParam();
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  const std::vector<Row> rows = makeRows(seed);
  // BYNAME and BYK are added to a table without them; the copy also changes NAME's size.
  const TRestructureArgs before = structure(kind, false, false, 12);
  const TRestructureArgs after = structure(kind, true, false, kind.copy ? 16 : 12);

  // What the record-by-record copy keeps: a text index makes the copy append each record.
  TempDir slowDir;
  createTable(slowDir, structure(kind, false, true, 12), rows);
  const Outcome slow = restructure(slowDir, structure(kind, true, true, 16), true);
  ASSERT_EQ(slow.error, 0);
  ASSERT_LT(slow.rows.size(), rows.size());

  TempDir dir;
  createTable(dir, before, rows);
  const auto datBefore = datafile_test::readFileBytes(dir.file("rows.DAT"));
  const auto idxBefore = datafile_test::readFileBytes(dir.file("rows.IDX"));
  const Outcome stopped = restructure(dir, after, false);
  EXPECT_EQ(stopped.error, VELDOR_KEYVIOL);
  EXPECT_EQ(datafile_test::readFileBytes(dir.file("rows.DAT")), datBefore);
  EXPECT_EQ(datafile_test::readFileBytes(dir.file("rows.IDX")), idxBefore);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);

  const Outcome fast = restructure(dir, after, true);
  ASSERT_EQ(fast.error, 0);
  EXPECT_EQ(fast.cases, slow.cases);
  EXPECT_EQ(fast.rows, slow.rows);
}

INSTANTIATE_TEST_SUITE_P(Orders, UniqueKeysAtTheEnd,
                         ::testing::Values(UniqueCase{Order::Descending, true},
                                           UniqueCase{Order::Descending, false},
                                           UniqueCase{Order::FieldDescending, true},
                                           UniqueCase{Order::FieldDescending, false},
                                           UniqueCase{Order::Locale, true}, UniqueCase{Order::Locale, false}),
                         caseName);

}  // namespace

namespace {

// No record and a single one: a copy and a rebuild in place build whole, checked trees.
TEST(UniqueKeysAtTheEndOfASmallTable, EmptyAndSingleRecordTablesRestructureWhole) {
  for (size_t count : {size_t(0), size_t(1)}) {
    for (const bool copy : {true, false}) {
      const UniqueCase kind{Order::Descending, copy};
      std::vector<Row> rows;
      if (count == 1) rows.emplace_back(7, "one");
      TempDir dir;
      createTable(dir, structure(kind, false, false, 12), rows);
      const Outcome out = restructure(dir, structure(kind, true, false, copy ? 16 : 12), false);
      EXPECT_EQ(out.error, 0) << count << " " << copy;
      EXPECT_EQ(out.rows, rows) << count << " " << copy;
    }
  }
}

}  // namespace
