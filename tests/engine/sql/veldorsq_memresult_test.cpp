// Copied results live in memory until they grow: the rows, their order and their values are those
// of results made on disk, whether the result stays in memory, spills while it is written or
// spills under a second cursor; a result the user keeps (INTO) is on disk for other processes;
// and many results open at once share the process's memory bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/veldortypes.h"
#include "engine/sql/veldorsq.h"
#include "engine/storage/veldorbtree.h"
#include "engine/storage/veldorfile.h"
#include "engine/storage/veldorindex.h"
#include "engine/tables/veldorcursor.h"
#include "sql_test_util.h"
#include "tests/engine/sql/sql_child_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace engine;
using sql::ColumnText;
using sql_test::SqlDatabase;
using storage_test::Helper;

class SpillBounds {
 public:
  SpillBounds(int64_t perFile, int64_t perProcess)
      : file_(TSpillFile::SpillBound()), process_(TSpillFile::SpillBudget()) {
    TSpillFile::SetSpillBounds(perFile, perProcess);
  }
  ~SpillBounds() { TSpillFile::SetSpillBounds(file_, process_); }
  SpillBounds(const SpillBounds&) = delete;
  SpillBounds& operator=(const SpillBounds&) = delete;

 private:
  int64_t file_, process_;
};

constexpr int64_t kLarge = int64_t(1) << 30;

class MemoryFirstResults : public ::testing::Test {
 protected:
  void SetUp() override {
    const uint32_t seed = storage_test::testSeed();
    std::mt19937 random(seed);
    db_.run("CREATE TABLE t (id INTEGER, g INTEGER, s CHAR(40), m BLOB(1, 1))");
    for (int id = 1; id <= kRows; ++id) {
      const int g = int(random() % 50);
      std::string s(size_t(random() % 30 + 1), 'a');
      for (char& c : s) c = char('a' + random() % 26);
      db_.run("INSERT INTO t VALUES (" + std::to_string(id) + ", " + std::to_string(g) + ", '" + s + "', " +
              (random() % 4 ? "'memo " + s + "'" : "NULL") + ")");
    }
  }
  // The names in the folder other than the table's own files.
  std::vector<std::string> strayFiles() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder_.path())) {
      const std::string name = e.path().filename().string();
      if (name.rfind("t.", 0) != 0 && name.rfind("kept.", 0) != 0) names.push_back(name);
    }
    return names;
  }
  static constexpr int kRows = 500;
  platform::testing::TempFolder folder_;
  SqlDatabase db_{folder_.path()};
};

// Each statement gives the same rows on disk from the first byte (bound 0), spilling early while
// the result is written (small bounds), and in memory throughout (the usual bounds).
TEST_F(MemoryFirstResults, GiveTheRowsOfResultsMadeOnDisk) {
  const std::vector<std::string> statements = {
      "SELECT * FROM t ORDER BY g DESC, id",
      "SELECT id, g, s FROM t ORDER BY s, id",
      "SELECT g, COUNT(*), SUM(id), MIN(s) FROM t GROUP BY g",
      "SELECT DISTINCT s FROM t",
      "SELECT id, s, m FROM t WHERE g < 10",
      "SELECT id, s FROM t ORDER BY id DESC TOP 7",
      "SELECT g, COUNT(*), AVG(id) FROM t GROUP BY g HAVING COUNT(*) > 12 ORDER BY 3",
      "SELECT COUNT(*) FROM t",
      "SELECT id FROM t WHERE g = 3 UNION SELECT id FROM t WHERE g = 4",
      // Larger than the record cache, so that rows are read back from the files.
      "SELECT a.id, b.id, a.s, b.g FROM t a, t b WHERE b.id <= 20 ORDER BY b.g, a.s, a.id, b.id",
  };
  for (const std::string& statement : statements) {
    SCOPED_TRACE(statement);
    std::string onDisk;
    {
      SpillBounds bounds(0, kLarge);
      onDisk = db_.run(statement);
    }
    ASSERT_FALSE(onDisk.empty());
    // Bounds that the files pass part way through their writing, and the usual ones.
    for (int64_t bound : {int64_t(16384), int64_t(65536), TSpillFile::SpillBound()}) {
      SpillBounds bounds(bound, kLarge);
      EXPECT_EQ(db_.run(statement), onDisk) << "bound " << bound;
    }
  }
  EXPECT_TRUE(strayFiles().empty());
  // Besides the few emptied results the directory keeps for its next statements.
  db_.directory().DropIdleResults();
  EXPECT_EQ(TSpillFile::BytesInMemory(), 0);
}

// A copied result leaves its record-id index to be built when something first looks at it; the
// tree then holds, in order, each row's record-id key under the row's record number, as an
// append one row at a time would have made it. The same over several runs of one statement
// (each result emptied and filled again), in arrival and in sorted order, in memory and on disk.
TEST_F(MemoryFirstResults, RecordIdIndexBuiltWhenFirstLookedAtHoldsEveryRow) {
  for (const int64_t bound : {kLarge, int64_t(0)}) {
    SpillBounds bounds(bound, kLarge);
    for (const char* sql : {"SELECT id, g, s FROM t", "SELECT s, id FROM t WHERE g < 25 ORDER BY s",
                            "SELECT id, g, s FROM t WHERE g >= 10"}) {
      SCOPED_TRACE(std::string(sql) + (bound ? "" : ", on disk"));
      sql::TQueryStatement statement(db_.directory());
      statement.Prepare(sql);
      for (int run = 0; run < 2; ++run) {
        TDataCursor& result = *statement.Execute();
        TIndexFile& index = result.Table()->IndexFile();
        ASSERT_TRUE(index.TreeBuildDeferred(kSysDeletedSlot));
        const uint32_t rows = result.GetLastRecordNumber();
        ASSERT_EQ(int64_t(rows), result.GetRecordCount());
        std::vector<std::pair<std::vector<uint8_t>, uint32_t>> entries;
        TIndexTree(index, result, kSysDeletedSlot).ForEachKey([&](const uint8_t* key, uint32_t ref) {
          entries.emplace_back(std::vector<uint8_t>(key, key + kSysDeletedKeySize), ref);
        });
        EXPECT_FALSE(index.TreeBuildDeferred(kSysDeletedSlot));
        ASSERT_EQ(entries.size(), size_t(rows));
        std::vector<uint8_t> record(result.RecordSize());
        std::array<uint8_t, kSysDeletedKeySize> key{};
        result.SetToBegin();
        for (uint32_t n = 1; n <= rows; ++n) {
          ASSERT_EQ(result.GetNextRecord(record.data()), 0) << n;
          ASSERT_EQ(result.CurrentRecordNo(), n);
          TDataCursor::BuildRecordIdKey(record.data(), key.data());
          EXPECT_EQ(entries[n - 1].second, n);
          EXPECT_TRUE(std::equal(key.begin(), key.end(), entries[n - 1].first.begin())) << n;
        }
        // The rows are the ones a fresh statement gives.
        EXPECT_EQ(SqlDatabase::text(result), db_.run(sql));
      }
    }
  }
}

// A result written out, then its caches discarded and its headers read again (as after a write
// whose held pages were dropped), keeps its unbuilt record-id index due: before it was first
// looked at, and after a look whose pages never reached the file. Either way every row is found
// under its record-id key, and a delete through the tree takes its row only.
TEST_F(MemoryFirstResults, RecordIdIndexStillDueAfterTheHeadersAreReadAgain) {
  for (const int64_t bound : {int64_t(0), kLarge}) {
    SpillBounds bounds(bound, kLarge);
    SCOPED_TRACE(bound ? "in memory" : "on disk");
    sql::TQueryStatement statement(db_.directory());
    statement.Prepare("SELECT id, g, s FROM t WHERE g >= 10");
    for (const bool lookedAt : {false, true}) {
      TDataCursor& result = *statement.Execute();
      TIndexFile& index = result.Table()->IndexFile();
      const uint32_t rows = result.GetLastRecordNumber();
      ASSERT_GT(rows, 0u);
      // The headers go to the file as they stand: a read of them finds what is held now.
      result.FlushBuffers(true, false, true, true, false);
      // The record-id keys of rows in use.
      const auto keys = [&] {
        size_t n = 0;
        TIndexCursor walker;
        TIndexTree(index, walker, kSysDeletedSlot).ForEachKey([&](const uint8_t* key, uint32_t) {
          n += key[0] == kRecordInUse;
        });
        return n;
      };
      if (lookedAt) {
        ASSERT_EQ(keys(), size_t(rows));
      }
      result.DiscardTableCaches();
      EXPECT_EQ(keys(), size_t(rows)) << (lookedAt ? "looked at first" : "never looked at");
      // A delete goes through the tree: the row is gone and the others remain.
      result.SetToBegin();
      std::vector<uint8_t> record(result.RecordSize());
      ASSERT_EQ(result.GetNextRecord(record.data()), 0);
      result.DeleteRecord(record.data());
      EXPECT_EQ(index.GetRecordCount(), rows - 1);
      EXPECT_EQ(keys(), size_t(rows) - 1);
    }
  }
}

// A result read by two cursors spills while rows are appended through one of them: the other goes
// on from its record to the same rows and sees the new ones, as on disk.
TEST_F(MemoryFirstResults, SpillUnderAnOpenSecondCursorIsInvisibleToIt) {
  sql::TQueryStatement statement(db_.directory());
  statement.Prepare("SELECT a.id, b.id, b.s FROM t a, t b WHERE b.id <= 20 ORDER BY a.id, b.id");
  TDataCursor* result = statement.Execute();
  ASSERT_NE(result, nullptr);
  const std::string expected = SqlDatabase::text(*result);
  EXPECT_TRUE(strayFiles().empty()) << "a small result makes no file";
  std::unique_ptr<TDataCursor> second = result->Clone();
  std::vector<uint8_t> record(second->RecordSize());
  second->SetToBegin();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(second->GetNextRecord(record.data()), 0);

  // Rows go in through the first cursor and out to the file in batches, and the second reads on
  // between the batches: the result spills under it part way.
  SpillBounds bounds(4096, kLarge);
  std::vector<uint8_t> row(result->RecordSize());
  std::vector<int> ids;
  std::string value;
  auto readSecond = [&](int upTo) {
    while (int(ids.size()) < upTo && second->GetNextRecord(record.data()) == 0) {
      ASSERT_TRUE(ColumnText(*second, 1, record.data(), value));
      ids.push_back(std::stoi(value));
    }
  };
  for (int batch = 0; batch < 6; ++batch) {
    for (int i = 0; i < 50; ++i) {
      result->ClearRecordBuffer(row.data());
      uint8_t number[4];
      PutIntegerValue(number, 100000 + batch * 50 + i);
      result->PutField(1, row.data(), number);
      result->AppendRecord(row.data());
    }
    result->FlushBuffers(true, false, true, true, false);
    readSecond(100 + (batch + 1) * 60);
  }
  EXPECT_FALSE(strayFiles().empty()) << "the grown result is on disk";
  readSecond(kRows * 20 + 1000);
  std::vector<int> wanted;
  for (size_t at = 0; at < expected.size(); at = expected.find('\n', at) + 1)
    wanted.push_back(std::stoi(expected.substr(at)));
  wanted.erase(wanted.begin(), wanted.begin() + 100);
  for (int i = 0; i < 300; ++i) wanted.push_back(100000 + i);
  EXPECT_EQ(ids, wanted);
  EXPECT_EQ(SqlDatabase::text(*result).substr(0, expected.size()), expected);
  second.reset();
}

// INTO makes the user's table on disk whatever the bounds: another process reads it at once.
TEST_F(MemoryFirstResults, ResultKeptWithIntoIsOnDiskForOtherProcesses) {
  const std::string expected = db_.run("SELECT id, s FROM t WHERE g < 5 ORDER BY id");
  {
    SpillBounds bounds(kLarge, kLarge);
    db_.run("SELECT id, s INTO kept FROM t WHERE g < 5 ORDER BY id");
  }
  ASSERT_TRUE(std::filesystem::exists(folder_.path("kept.DAT")));
  const std::string folder = folder_.path();
  Helper child([&](Helper&) {
    SqlDatabase other(folder);
    return other.run("SELECT * FROM kept") == expected ? 0 : 1;
  });
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(db_.run("SELECT * FROM kept"), expected);
  EXPECT_TRUE(strayFiles().empty());
}

// Many results open at once: those that come after the process's bound is spent are made on
// disk, every one reads its own rows, and nothing is left once they are closed.
TEST_F(MemoryFirstResults, ManyOpenResultsShareTheProcessBound) {
  std::vector<std::string> expected;
  for (int g = 0; g < 50; ++g)
    expected.push_back(db_.run("SELECT id, s FROM t WHERE g = " + std::to_string(g) + " ORDER BY s, id"));
  SpillBounds bounds(65536, 262144);
  std::vector<std::unique_ptr<sql::TQueryStatement>> open;
  std::vector<TDataCursor*> results;
  for (int g = 0; g < 50; ++g) {
    open.push_back(std::make_unique<sql::TQueryStatement>(db_.directory()));
    open.back()->Prepare("SELECT id, s FROM t WHERE g = " + std::to_string(g) + " ORDER BY s, id");
    results.push_back(open.back()->Execute());
    ASSERT_NE(results.back(), nullptr);
    EXPECT_LE(TSpillFile::BytesInMemory(), 262144);
  }
  EXPECT_FALSE(strayFiles().empty()) << "the later results went to disk";
  for (int g = 0; g < 50; ++g) {
    EXPECT_EQ(SqlDatabase::text(*results[size_t(g)]), expected[size_t(g)]) << "g = " << g;
  }
  open.clear();
  // Besides the few emptied results the directory keeps for its next statements.
  db_.directory().DropIdleResults();
  EXPECT_EQ(TSpillFile::BytesInMemory(), 0);
  EXPECT_TRUE(strayFiles().empty());
}

// Runs this test program again as another process that makes ("make") or reads ("read") a table
// `name` in `folder` (TableMaker.InAnotherProcess); its exit code.
int runTableMaker(const std::string& folder, const std::string& name, const std::string& step) {
  return sql_test::runTestElsewhere(
      "TableMaker.DISABLED_InAnotherProcess",
      {{"VELMARON_MAKER_FOLDER", folder}, {"VELMARON_MAKER_NAME", name}, {"VELMARON_MAKER_STEP", step}});
}

// Run only by runTableMaker.
TEST(TableMaker, DISABLED_InAnotherProcess) {
  const char* folder = std::getenv("VELMARON_MAKER_FOLDER");
  const char* name = std::getenv("VELMARON_MAKER_NAME");
  const char* step = std::getenv("VELMARON_MAKER_STEP");
  if (!folder || !name || !step) GTEST_SKIP() << "run by runTableMaker";
  SqlDatabase other(folder);
  const std::string table = "\"" + std::string(name) + "\"";
  const std::string memo(3000, 'z');
  if (std::string(step) == "make") {
    ASSERT_EQ(other.rows("CREATE TABLE " + table + " (id INTEGER, m BLOB(1, 1))"), "");
    ASSERT_EQ(other.rows("INSERT INTO " + table + " VALUES (7, '" + memo + "')"), "");
  }
  EXPECT_EQ(other.rows("SELECT id, m FROM " + table), "7|" + memo + "\n");
}

// A result whose memos went to disk while its rows stay in memory: another process that makes a
// table of the result's name (its temporary names are made the same way, from its thread's number)
// finds the name free, and makes, fills and keeps its table; the result reads its own rows
// throughout, and when its rows follow to disk they go beside the other table's files.
TEST_F(MemoryFirstResults, AnotherProcessMakesATableOfTheNameOfAPartlySpilledResult) {
  db_.run("CREATE TABLE big (id INTEGER, m BLOB(1, 1))");
  for (int id = 1; id <= 24; ++id)
    db_.run("INSERT INTO big VALUES (" + std::to_string(id) + ", '" + std::string(9000, char('a' + id)) +
            "')");
  const std::string statementText = "SELECT id, m FROM big ORDER BY id DESC";
  const std::string expected = db_.run(statementText);
  auto filesOf = [&](const std::string& stem) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder_.path())) {
      const std::string name = e.path().filename().string();
      if (name.rfind(stem, 0) == 0) names.push_back(name);
    }
    return names;
  };
  SpillBounds bounds(65536, kLarge);
  auto statement = std::make_unique<sql::TQueryStatement>(db_.directory());
  statement->Prepare(statementText);
  TDataCursor* result = statement->Execute();
  ASSERT_NE(result, nullptr);
  const std::string name = std::filesystem::path(result->TableName()).stem().string();
  // Held writes go out to the files.
  result->FlushBuffers(true, false, true, true, false);
  ASSERT_FALSE(filesOf(name).empty()) << "the memos are on disk";
  ASSERT_FALSE(std::filesystem::exists(folder_.path(name + ".DAT"))) << "the rows are in memory";

  const std::string folder = folder_.path();
  // A process of its own (not a fork, which would have this process's files listed) makes and
  // fills a table of the result's name, then reads it again.
  EXPECT_EQ(runTableMaker(folder, name, "make"), 0);
  EXPECT_EQ(SqlDatabase::text(*result), expected);

  // The result's rows grow past the bound and go to disk beside the other table.
  std::vector<uint8_t> row(result->RecordSize());
  for (int i = 0; i < 6000; ++i) {
    result->ClearRecordBuffer(row.data());
    uint8_t number[4];
    PutIntegerValue(number, 1000 + i);
    result->PutField(1, row.data(), number);
    result->AppendRecord(row.data());
  }
  result->FlushBuffers(true, false, true, true, false);
  EXPECT_EQ(SqlDatabase::text(*result).substr(0, expected.size()), expected);
  EXPECT_EQ(result->GetRecordCount(), 24 + 6000);
  EXPECT_EQ(runTableMaker(folder, name, "read"), 0);
  statement.reset();
  for (const std::string& left : filesOf(name))
    EXPECT_EQ(left.find('~'), std::string::npos) << left << " was the result's and is left";
  // Besides the few emptied results the directory keeps for its next statements.
  db_.directory().DropIdleResults();
  EXPECT_EQ(TSpillFile::BytesInMemory(), 0);
}

// Sessions on threads of one process run statements whose results spill under small bounds at
// once, sharing the process's bound: every thread gets the rows of each statement as one thread
// alone gets them, and no byte stays counted or on disk.
TEST_F(MemoryFirstResults, SessionsOnThreadsSpillAtOnceUnderOneProcessBound) {
  const std::vector<std::string> statements = {
      "SELECT * FROM t ORDER BY g DESC, id",
      "SELECT g, COUNT(*), MIN(s) FROM t GROUP BY g",
      "SELECT DISTINCT s FROM t",
      "SELECT a.id, b.id, a.s FROM t a, t b WHERE b.id <= 6 ORDER BY a.s, a.id, b.id",
  };
  std::vector<std::string> expected;
  for (const std::string& s : statements) expected.push_back(db_.run(s));
  SpillBounds bounds(16384, 98304);
  constexpr int kThreads = 6;
  std::vector<int> wrong(kThreads, 0), failed(kThreads, 0);
  std::vector<std::thread> threads;
  const std::string folder = folder_.path();
  for (int n = 0; n < kThreads; ++n) {
    threads.emplace_back([&, n] {
      try {
        SqlDatabase session(folder);
        for (int round = 0; round < 3; ++round) {
          for (size_t i = 0; i < statements.size(); ++i) {
            const size_t k = (i + size_t(n)) % statements.size();
            if (session.run(statements[k]) != expected[k]) ++wrong[size_t(n)];
          }
        }
      } catch (...) {
        ++failed[size_t(n)];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
  EXPECT_EQ(failed, std::vector<int>(kThreads, 0));
  EXPECT_TRUE(strayFiles().empty());
  // Besides the few emptied results the directory keeps for its next statements.
  db_.directory().DropIdleResults();
  EXPECT_EQ(TSpillFile::BytesInMemory(), 0);
}

}  // namespace
