// A DELETE that takes every row of a table, in the statement's own transaction, rebuilds the
// table's keys at once; one in the caller's transaction deletes row after row. Both must leave
// the same table: the same record slots and free-record chain (the rows appended afterwards land
// in the same slots with the same ids), keys that the checker finds equal to their records,
// empty indexes, and a cursor opened before the statement that sees no row after it. Tables with
// no index, a primary key, secondary indexes (descending, case-insensitive, non-unique) and
// encrypted ones, with freed slots reused out of record order before the delete.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tools/tablecheck/tablecheck.h"

namespace engine::sql {
namespace {

using sql_test::SqlDatabase;

constexpr const char* kPassword = "all-pw";

struct Shape {
  const char* name;
  const char* tail;                  // after the columns, before the closing parenthesis
  std::vector<const char*> indexes;  // statements with %t for the table
  bool encrypted;
};

std::string withTable(std::string text, const std::string& table) {
  for (size_t at; (at = text.find("%t")) != std::string::npos;) text.replace(at, 2, table);
  return text;
}

std::string dataFile(const std::string& folder, const std::string& table) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    std::string lower = name;
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (lower == table + ".dat") return entry.path().string();
  }
  ADD_FAILURE() << "no data file for " << table;
  return {};
}

// Every record slot's status and bytes, and the free-record head.
std::string slotsOf(const std::string& file) {
  std::string problem;
  const auto facts = tablecheck::ReadDataFileFacts(file, problem);
  if (!facts) return "unreadable: " + problem;
  std::string out = "free " + std::to_string(facts->freeHead) + "\n";
  for (size_t i = 0; i < facts->status.size(); ++i) {
    out += std::to_string(i + 1) + ":" + std::to_string(facts->status[i]) + ":";
    for (uint8_t b : facts->records[i]) out += "0123456789abcdef"[b >> 4], out += "0123456789abcdef"[b & 15];
    out += "\n";
  }
  return out;
}

// The checker over the table's files, record keys included, keys ordered as a cursor of the
// table orders them (descending and locale indexes).
void expectSound(TDataDirectory& directory, const std::string& folder, const std::string& table,
                 bool encrypted, const char* when) {
  TDataCursor c(directory);
  c.SetTableName(table);
  c.Open();
  tablecheck::Options options;
  options.checkRecordKeys = true;
  options.encrypted = encrypted;
  options.compare = [&](uint8_t slot, const uint8_t* a, const uint8_t* b, uint16_t n) {
    c.SelectIndex(slot);
    return c.CompareKeys(a, b, n);
  };
  const tablecheck::Report report = tablecheck::CheckTableFiles(folder + "/" + table, options);
  EXPECT_TRUE(report.ok()) << table << " " << when << ": " << report.text();
}

class DeleteEveryRow : public ::testing::TestWithParam<Shape> {
 protected:
  void SetUp() override {
    if (GetParam().encrypted) db.directory().Session().AddPassword(kPassword);
  }
  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};

  // `rows` rows, then every third deleted and a third as many appended again, which take the
  // freed slots last freed first: ids no longer rise with the record numbers.
  void make(const std::string& table, int rows) {
    const Shape& s = GetParam();
    db.run("CREATE TABLE " + table + " (id INTEGER, s CHAR(20), v INTEGER" + s.tail +
           (s.encrypted ? std::string(" ENCRYPTED WITH '") + kPassword + "')" : std::string(")")));
    for (const char* index : s.indexes) db.run(withTable(index, table));
    db.directory().StartTransaction();
    for (int i = 1; i <= rows; ++i) db.run(insertText(table, i));
    db.directory().Commit(true, false);
    db.run("DELETE FROM " + table + " WHERE v = 0");
    for (int i = rows + 1; i <= rows + rows / 3; ++i) db.run(insertText(table, i));
  }
  static std::string insertText(const std::string& table, int i) {
    const char* names[] = {"alpha", "Beta", "ALPHA", "gamma", "beta ", "Zeta"};
    return "INSERT INTO " + table + " VALUES (" + std::to_string(i) + ", '" + names[i % 6] +
           std::to_string(i % 11) + "', " + std::to_string(i % 3) + ")";
  }
};

TEST_P(DeleteEveryRow, LeavesTheTableAsOneDeleteAfterAnother) {
  const bool encrypted = GetParam().encrypted;
  for (int rows : {2, 400}) {
    SCOPED_TRACE(std::to_string(rows) + " rows");
    const std::string at = "a" + std::to_string(rows), one = "o" + std::to_string(rows);
    make(at, rows);
    make(one, rows);
    ASSERT_EQ(slotsOf(dataFile(folder.path(), at)), slotsOf(dataFile(folder.path(), one)));
    const std::string count = db.run("SELECT COUNT(*) FROM " + at);

    // A cursor of the table open and standing on a row across the statement.
    TDataCursor watcher(db.directory());
    watcher.SetTableName(at);
    watcher.Open();
    std::vector<uint8_t> record(watcher.RecordSize());
    watcher.SetToBegin();
    ASSERT_EQ(watcher.GetNextRecord(record.data()), 0);

    db.run("DELETE FROM " + at);
    const int32_t whole = db.affected;
    db.directory().StartTransaction();
    db.run("DELETE FROM " + one);
    db.directory().Commit(true, false);
    EXPECT_EQ(whole, db.affected);
    EXPECT_EQ(std::to_string(whole) + "\n", count);
    EXPECT_EQ(slotsOf(dataFile(folder.path(), at)), slotsOf(dataFile(folder.path(), one)));
    expectSound(db.directory(), folder.path(), at, encrypted, "after the delete");
    EXPECT_EQ(db.run("SELECT COUNT(*) FROM " + at), "0\n");

    watcher.SetToBegin();
    EXPECT_NE(watcher.GetNextRecord(record.data()), 0) << "the open cursor sees no row";
    EXPECT_EQ(watcher.GetRecordCount(), 0);
    watcher.Close();

    // Appends take the freed slots in the same order, with the same ids, on both.
    for (int i = 1; i <= 5; ++i) {
      db.run(insertText(at, 9000 + i));
      db.run(insertText(one, 9000 + i));
    }
    db.run("INSERT INTO " + at + " SELECT id + 20000, s, v FROM " + one);
    db.run("INSERT INTO " + one + " SELECT id + 20000, s, v FROM " + one);
    EXPECT_EQ(slotsOf(dataFile(folder.path(), at)), slotsOf(dataFile(folder.path(), one)));
    expectSound(db.directory(), folder.path(), at, encrypted, "after appends");
    EXPECT_EQ(db.run("SELECT id, s, v FROM " + at + " ORDER BY id, s"),
              db.run("SELECT id, s, v FROM " + one + " ORDER BY id, s"));

    // And the table empties again, through the same path.
    db.run("DELETE FROM " + at);
    db.directory().StartTransaction();
    db.run("DELETE FROM " + one);
    db.directory().Commit(true, false);
    EXPECT_EQ(slotsOf(dataFile(folder.path(), at)), slotsOf(dataFile(folder.path(), one)));
    expectSound(db.directory(), folder.path(), at, encrypted, "after the second delete");
  }
}

TEST_P(DeleteEveryRow, AStatementThatLeavesARowChangesRowByRowAndKeepsIt) {
  make("p", 200);
  make("q", 200);
  db.run("DELETE FROM p WHERE id <> 7");
  db.directory().StartTransaction();
  db.run("DELETE FROM q WHERE id <> 7");
  db.directory().Commit(true, false);
  EXPECT_EQ(db.run("SELECT id, s, v FROM p"), "7|Beta7|1\n");
  EXPECT_EQ(slotsOf(dataFile(folder.path(), "p")), slotsOf(dataFile(folder.path(), "q")));
  expectSound(db.directory(), folder.path(), "p", GetParam().encrypted, "after the delete");
}

// Random histories of inserts and deletes (runs of freed slots reused, equal secondary keys, rows
// deleted from the front, the middle and the end), then every row deleted both ways.
TEST_P(DeleteEveryRow, RandomHistoriesEndTheSameBothWays) {
  for (uint32_t seed = 1; seed <= 2; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::string at = "h" + std::to_string(seed), one = "k" + std::to_string(seed);
    std::mt19937 rng(seed);
    std::vector<std::string> steps;
    int next = 1;
    for (int round = 0; round < 4; ++round) {
      const int adds = int(rng() % 250);
      for (int i = 0; i < adds; ++i) steps.push_back(insertText("%t", next++));
      const int low = int(rng() % uint32_t(next)), high = low + int(rng() % 120);
      steps.push_back("DELETE FROM %t WHERE id >= " + std::to_string(low) + " AND id < " +
                      std::to_string(high));
      if (rng() % 2) steps.push_back("DELETE FROM %t WHERE v = " + std::to_string(rng() % 3));
    }
    for (const std::string& table : {at, one}) {
      make(table, 0);
      for (const std::string& step : steps) db.run(withTable(step, table));
    }
    ASSERT_EQ(slotsOf(dataFile(folder.path(), at)), slotsOf(dataFile(folder.path(), one)));
    db.run("DELETE FROM " + at);
    db.directory().StartTransaction();
    db.run("DELETE FROM " + one);
    db.directory().Commit(true, false);
    EXPECT_EQ(slotsOf(dataFile(folder.path(), at)), slotsOf(dataFile(folder.path(), one)));
    expectSound(db.directory(), folder.path(), at, GetParam().encrypted, "after the delete");
    for (int i = 0; i < 30; ++i) {
      const std::string row = insertText("%t", next++);
      db.run(withTable(row, at));
      db.run(withTable(row, one));
    }
    EXPECT_EQ(slotsOf(dataFile(folder.path(), at)), slotsOf(dataFile(folder.path(), one)));
    expectSound(db.directory(), folder.path(), at, GetParam().encrypted, "after appends");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, DeleteEveryRow,
    ::testing::Values(
        Shape{"Plain", "", {}, false},
        Shape{"Keys",
              ", PRIMARY KEY (id)",
              {"CREATE NOCASE INDEX %ts ON %t (s)", "CREATE DESC INDEX %tv ON %t (v, s) COMPRESS FULL"},
              false},
        Shape{
            "Locale", ", PRIMARY KEY (id) LANGUAGE 'English (UK)'", {"CREATE INDEX %ts ON %t (s, v)"}, false},
        Shape{"Encrypted", "", {"CREATE UNIQUE INDEX %tu ON %t (id)"}, true}),
    [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

// A process killed at a random moment of a DELETE of every row leaves every row or none, and
// files the checker finds sound once the next open has put back what the kill left.
TEST(DeleteEveryRowKilled, LeavesEveryRowOrNone) {
  platform::testing::TempFolder folder;
  constexpr int kRows = 1500;
  const auto fill = [&](SqlDatabase& db) {
    db.run("INSERT INTO t SELECT * FROM seed");
    ASSERT_EQ(db.run("SELECT COUNT(*) FROM t"), std::to_string(kRows) + "\n");
  };
  std::chrono::microseconds took{};
  {
    SqlDatabase db(folder.path());
    db.run("CREATE TABLE seed (id INTEGER, s CHAR(20), v INTEGER)");
    db.directory().StartTransaction();
    for (int i = 1; i <= kRows; ++i)
      db.run("INSERT INTO seed VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i % 97) + "', " +
             std::to_string(i % 5) + ")");
    db.directory().Commit(true, false);
    db.run("CREATE TABLE t (id INTEGER, s CHAR(20), v INTEGER, PRIMARY KEY (id))");
    db.run("CREATE INDEX ts ON t (s, v)");
    fill(db);
    const auto start = std::chrono::steady_clock::now();
    db.run("DELETE FROM t");
    took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    fill(db);
  }
  std::mt19937 rng(62);
  int none = 0, every = 0;
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    storage_test::Helper child([&](storage_test::Helper& h) {
      SqlDatabase db(folder.path());
      h.send('r');
      db.run("DELETE FROM t");
      h.send('d');
      for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
      return 0;
    });
    ASSERT_EQ(child.receive(), 'r');
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % uint32_t(took.count() * 3 / 2 + 1)));
    child.kill9();
    SqlDatabase db(folder.path());
    const std::string count = db.run("SELECT COUNT(*) FROM t");
    EXPECT_TRUE(count == "0\n" || count == std::to_string(kRows) + "\n") << count;
    expectSound(db.directory(), folder.path(), "t", false, "after the kill");
    if (count == "0\n") {
      ++none;
      fill(db);
    } else {
      ++every;
      EXPECT_EQ(db.run("SELECT COUNT(*), SUM(id) FROM t WHERE s >= 'n'"),
                std::to_string(kRows) + "|" + std::to_string(kRows * (kRows + 1) / 2) + "\n");
    }
  }
  std::printf("killed: %d left every row, %d none\n", every, none);
}

}  // namespace
}  // namespace engine::sql
