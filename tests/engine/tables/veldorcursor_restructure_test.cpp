// Restructuring against a model of the rows: random tables and random changes (description,
// added, dropped and retyped fields, shorter strings, a unique index over duplicates), each with
// no feedback (a case stops it and the table stays as it was) or a feedback that goes on.
#include <gtest/gtest.h>

#include <random>

#include "engine/tables/veldorcursor.h"
#include "tests/engine/tables/table_test_util.h"
#include "tools/tablecheck/tablecheck.h"

namespace {

using namespace engine;
using datafile_test::field;
using table_test::Database;
using table_test::TempDir;

// A row as text per field number; "" is null.
using Row = std::map<uint16_t, std::string>;

std::vector<Row> readRows(TDataCursor& c) {
  std::vector<Row> rows;
  std::vector<uint8_t> buffer(c.RecordSize());
  std::array<uint8_t, 256> v{};
  c.SetToBegin();
  while (c.GetNextRecord(buffer.data()) == 0) {
    Row row;
    for (uint16_t p = 1; p <= c.FieldCount(); ++p) {
      const TFieldDescriptor& d = c.Field(p).desc;
      bool isNull = false;
      c.GetField(p, buffer.data(), isNull, v.data());
      int32_t i = 0;
      std::memcpy(&i, v.data(), 4);
      row[d.FieldNumber()] = isNull                         ? ""
                             : d.Type() == kFieldTypeString ? reinterpret_cast<const char*>(v.data())
                                                            : std::to_string(i);
    }
    rows.push_back(row);
  }
  return rows;
}

TEST(RestructureTest, ChangesMatchTheModelAndAStopLeavesTheTableAsItWas) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  for (int round = 0; round < 14; ++round) {
    const int change = round % 7;
    const bool feedback = pick(2) == 0;
    SCOPED_TRACE("seed " + std::to_string(seed) + " change " + std::to_string(change) + " feedback " +
                 std::to_string(feedback));
    TempDir dir;
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.SetExclusive(true);
    TRestructureArgs args;
    args.BlobBlockSize = 512;
    args.Fields = {field(1, "K", 6), field(2, "NAME", 1, 12), field(3, "CODE", 1, 8)};
    args.Indexes.resize(2);
    args.Indexes[1].name = "BYNAME";
    args.Indexes[1].fields[0] = 2;
    args.NoPrimaryIndex = true;
    TRestructureArgs created = args;
    c.CreateTable(created);
    c.Open();
    std::vector<Row> rows;
    std::vector<uint8_t> buffer(c.RecordSize());
    for (int i = 0; i < 40; ++i) {
      Row row{{1, std::to_string(pick(30))}, {2, std::string(1 + pick(8), char('a' + pick(3)))}, {3, ""}};
      if (pick(4) != 0) row[3] = pick(2) ? std::to_string(pick(1000)) : "x" + std::to_string(pick(9));
      c.ClearRecordBuffer(buffer.data());
      const int32_t k = std::stoi(row[1]);
      c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
      c.PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>(row[2].c_str()));
      c.PutField(3, buffer.data(),
                 row[3].empty() ? nullptr : reinterpret_cast<const uint8_t*>(row[3].c_str()));
      c.AppendRecord(buffer.data());
      rows.push_back(row);
    }
    c.Close();

    // The change, and what the model expects of it.
    std::vector<Row> expected;
    bool stops = false;
    std::set<std::string> ks;
    for (Row row : rows) {
      bool skip = false;
      const auto fails = [&](bool dropRow) {
        stops = stops || !feedback;
        skip = skip || dropRow;
      };
      if (change == 1) row[4] = "7";
      if (change == 2 && !row[3].empty()) fails(false);
      if (change == 2) row.erase(3);
      if (change == 3 && !row[3].empty() && row[3][0] == 'x') fails(false), row[3] = "";
      if (change == 4 && row[2].size() > 4) fails(false), row[2] = "";
      if (change == 5 && !ks.insert(row[1]).second) fails(true);
      if (!skip) expected.push_back(row);
    }
    if (change == 0) args.Description = "renamed", args.Fields[1].SetDescription("the name");
    if (change == 1) args.Fields.push_back(field(4, "EXTRA", 6)), args.Fields.back().SetDefaultText("7");
    if (change == 2) args.Fields.pop_back();
    if (change == 3) args.Fields[2] = field(3, "CODE", 6);
    if (change == 4) args.Fields[1] = field(2, "NAME", 1, 4);
    if (change == 5)
      args.Indexes.emplace_back(), args.Indexes[2].name = "BYK", args.Indexes[2].fields[0] = 1,
                                   args.Indexes[2].unique = 1;
    if (change == 6) args.Fields[0] = field(1, "K", 1, 20);
    if (feedback)
      c.SetRestructureFeedback(
          [](TDataCursor&, TRestructureCase, const std::string&, bool&, bool& all) { all = true; });
    const auto datBefore = datafile_test::readFileBytes(dir.file("rows.DAT"));
    const uint16_t error = storage_test::errorOf([&] { c.RestructureTable(args); });
    EXPECT_EQ(error != 0, stops) << error;
    c.Open();
    EXPECT_EQ(readRows(c), stops ? rows : expected);
    EXPECT_TRUE(change != 0 || c.Field(2).desc.Description() == "the name");
    const auto datAfter = datafile_test::readFileBytes(dir.file("rows.DAT"));
    if (stops || change == 0) {
      EXPECT_TRUE(std::equal(datBefore.begin() + 127 + 3 * 768, datBefore.end(),
                             datAfter.begin() + 127 + 3 * 768, datAfter.end()));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("rows.DBK")) && stops);
    tablecheck::Options options;
    options.checkRecordKeys = true;
    options.compare = [&](uint8_t slot, const uint8_t* a, const uint8_t* b, uint16_t n) {
      c.SelectIndex(slot);
      return c.CompareKeys(a, b, n);
    };
    const tablecheck::Report report = tablecheck::CheckTableFiles(dir.file("rows"), options);
    EXPECT_TRUE(report.ok()) << report.text();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}),
              stops || change == 0 ? 2 : 4);
  }
}

}  // namespace
