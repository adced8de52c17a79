// A worker process that sorts and restructures a table without end, killed at random moments:
// afterwards the table opens whole, holds the same rows, and the checker passes.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "engine/tables/veldorcursor.h"
#include "tests/engine/tables/table_test_util.h"
#include "tools/tablecheck/tablecheck.h"

namespace {

using namespace engine;
using datafile_test::field;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

// The structure of step `step` of the worker's cycle: with or without a secondary index and an
// extra field (always null, so dropping it loses nothing).
TRestructureArgs structure(int step) {
  TRestructureArgs a;
  a.BlobBlockSize = 512;
  a.NoPrimaryIndex = true;
  a.NoBackup = step % 2 == 0;
  a.Description = "step " + std::to_string(step % 3);
  a.Fields = {field(1, "K", 6), field(2, "NAME", 1, 12)};
  if (step % 4 == 1) a.Fields.push_back(field(3, "EXTRA", 6));
  a.Indexes.resize(step % 4 == 2 ? 2 : 1);
  if (a.Indexes.size() == 2) a.Indexes[1].name = "BYNAME", a.Indexes[1].fields[0] = 2;
  return a;
}

std::multiset<std::pair<int32_t, std::string>> rowsOf(TDataCursor& c) {
  std::multiset<std::pair<int32_t, std::string>> rows;
  std::vector<uint8_t> buffer(c.RecordSize());
  std::array<uint8_t, 16> v{};
  bool isNull = false;
  c.SetToBegin();
  while (c.GetNextRecord(buffer.data()) == 0) {
    int32_t k = 0;
    c.GetField(1, buffer.data(), isNull, v.data());
    std::memcpy(&k, v.data(), 4);
    c.GetField(2, buffer.data(), isNull, v.data());
    rows.emplace(k, reinterpret_cast<const char*>(v.data()));
  }
  return rows;
}

int worker(const std::string& path, uint32_t seed) {
  Database db(path);
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.SetExclusive(true);
  for (int step = int(seed % 4) * 3;; ++step) {
    TRestructureArgs a = structure(step);
    c.RestructureTable(a);
    if (a.Indexes.size() > 1) continue;
    c.Open();
    const uint16_t fields[] = {uint16_t(1 + step % 2), uint16_t(2 - step % 2)};
    const bool descending[] = {step % 3 == 0, false};
    c.SortRecords(fields, descending, {});
    c.Close();
  }
}

TEST(KilledRestructure, TheTableOpensWholeWithItsRowsAfterEveryKill) {
  const char* env = std::getenv("VELMARON_KILLS");
  const int kills = env ? std::atoi(env) : 25;
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  TempDir dir;
  std::multiset<std::pair<int32_t, std::string>> rows;
  {
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.SetExclusive(true);
    TRestructureArgs a = structure(0);
    c.CreateTable(a);
    c.Open();
    std::vector<uint8_t> buffer(c.RecordSize());
    for (int i = 0; i < 400; ++i) {
      const int32_t k = int32_t(rng() % 50);
      const std::string name(1 + rng() % 10, char('a' + rng() % 5));
      c.ClearRecordBuffer(buffer.data());
      c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
      c.PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>(name.c_str()));
      c.AppendRecord(buffer.data());
      rows.emplace(k, name);
    }
  }
  for (int kill = 0; kill < kills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill) + " (replay with VELMARON_SEED=" + std::to_string(seed) +
                 ")");
    const uint32_t workerSeed = uint32_t(rng());
    Helper writer([&](Helper&) { return worker(dir.path(), workerSeed); });
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 60000));
    ASSERT_EQ(writer.kill9(), 128 + SIGKILL);
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.Open();
    ASSERT_EQ(rowsOf(c), rows);
    tablecheck::Options options;
    options.checkRecordKeys = true;
    options.compare = [&](uint8_t slot, const uint8_t* a, const uint8_t* b, uint16_t n) {
      c.SelectIndex(slot);
      return c.CompareKeys(a, b, n);
    };
    const tablecheck::Report report = tablecheck::CheckTableFiles(dir.file("rows"), options);
    ASSERT_TRUE(report.ok()) << report.text();
  }
}

}  // namespace
