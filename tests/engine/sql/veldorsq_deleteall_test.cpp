// A DELETE that takes every row of a table, in the statement's own transaction, rebuilds the
// table's keys at once; one in the caller's transaction deletes row after row. Both must leave
// the same table: the same record slots and free-record chain (the rows appended afterwards land
// in the same slots with the same ids), keys that the checker finds equal to their records,
// empty indexes, and a cursor opened before the statement that sees no row after it. Tables with
// no index, a primary key, secondary indexes (descending, case-insensitive, non-unique) and
// encrypted ones, with freed slots reused out of record order before the delete.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorbtree.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "tests/engine/sql/sql_check_util.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tools/tablecheck/tablecheck.h"

namespace engine::sql {
namespace {

using sql_test::dataFile;
using sql_test::expectSound;
using sql_test::slotsOf;
using sql_test::SqlDatabase;
using sql_test::withTable;

constexpr const char* kPassword = "all-pw";

struct Shape {
  const char* name;
  const char* tail;                  // after the columns, before the closing parenthesis
  std::vector<const char*> indexes;  // statements with %t for the table
  bool encrypted;
};

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
  for (int rows : {1, 2, 400}) {
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

// Ids up to the counter's last one: rows appended, freed and appended again close to the limit
// (the last ids taken, slots reused out of record order), then every row deleted both ways; the
// table still refuses a row past the limit afterwards, as a full one should.
TEST_P(DeleteEveryRow, IdsUpToTheCounterLimitEndTheSameBothWays) {
  constexpr uint32_t kLast = 0x7FFFFFFF;
  for (const std::string table : {"m", "n"}) {
    make(table, 0);
    {
      TDataCursor c(db.directory());
      c.SetTableName(table);
      c.Open();
      const bool taken = c.BeginWrite();
      c.Table()->DataFile().SetLastUniqueId(kLast - 330);
      c.FlushBuffers(true, false, true, false, false);
      if (taken) c.EndWrite();
      ASSERT_EQ(c.GetLastUniqueId(), kLast - 330);
    }
    db.directory().StartTransaction();
    for (int i = 1; i <= 300; ++i) db.run(insertText(table, i));
    db.directory().Commit(true, false);
    db.run("DELETE FROM " + table + " WHERE v = 1 OR id > 290");
    for (int i = 301; i <= 330; ++i) db.run(insertText(table, i));
    TDataCursor c(db.directory());
    c.SetTableName(table);
    c.Open();
    ASSERT_EQ(c.GetLastUniqueId(), kLast);
  }
  ASSERT_EQ(slotsOf(dataFile(folder.path(), "m")), slotsOf(dataFile(folder.path(), "n")));
  expectSound(db.directory(), folder.path(), "m", GetParam().encrypted, "before the delete");
  const std::string count = db.run("SELECT COUNT(*) FROM m");
  db.run("DELETE FROM m");
  EXPECT_EQ(std::to_string(db.affected) + "\n", count);
  db.directory().StartTransaction();
  db.run("DELETE FROM n");
  db.directory().Commit(true, false);
  EXPECT_EQ(slotsOf(dataFile(folder.path(), "m")), slotsOf(dataFile(folder.path(), "n")));
  expectSound(db.directory(), folder.path(), "m", GetParam().encrypted, "after the delete");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM m"), "0\n");
  EXPECT_THROW(db.run(insertText("m", 1)), EVELDOREngineError);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM m"), "0\n");
}

// The record-id keys a DELETE of every row leaves, key by key and record by record, are those one
// delete after another leaves: with every key in use beforehand and with deleted ones among them,
// for counts that fill the last leaf exactly, leave it one key or start one more.
TEST_P(DeleteEveryRow, RecordIdKeysAreThoseOfOneDeleteAfterAnother) {
  const auto keysOf = [&](const std::string& table) {
    TDataCursor c(db.directory());
    c.SetTableName(table);
    c.Open();
    std::vector<std::pair<std::vector<uint8_t>, uint32_t>> entries;
    TIndexTree(c.Table()->IndexFile(), c, kSysDeletedSlot).ForEachKey([&](const uint8_t* key, uint32_t ref) {
      entries.emplace_back(std::vector<uint8_t>(key, key + kSysDeletedKeySize), ref);
    });
    return entries;
  };
  constexpr int kLeaf = int(kPageDataSize / (kSysDeletedKeySize + 10));
  for (const bool deletedBefore : {false, true})
    for (int rows : {kLeaf - 1, kLeaf, kLeaf + 1, 2 * kLeaf + 1}) {
      SCOPED_TRACE(std::to_string(rows) + (deletedBefore ? " rows, some deleted before" : " rows"));
      const std::string tail = std::to_string(rows) + (deletedBefore ? "d" : "");
      const std::string at = "ra" + tail, one = "ro" + tail;
      for (const std::string& table : {at, one}) {
        make(table, 0);
        db.directory().StartTransaction();
        for (int i = 1; i <= rows; ++i) db.run(insertText(table, i));
        db.directory().Commit(true, false);
        if (deletedBefore) db.run("DELETE FROM " + table + " WHERE id < 40 AND v = 1");
      }
      const auto before = keysOf(at);
      ASSERT_EQ(before, keysOf(one));
      ASSERT_EQ(
          std::count_if(before.begin(), before.end(), [](const auto& e) { return e.first[0] != 0; }) > 0,
          deletedBefore);
      db.run("DELETE FROM " + at);
      db.directory().StartTransaction();
      db.run("DELETE FROM " + one);
      db.directory().Commit(true, false);
      const auto after = keysOf(at);
      EXPECT_EQ(after.size(), before.size());
      EXPECT_EQ(after, keysOf(one));
      expectSound(db.directory(), folder.path(), at, GetParam().encrypted, "after the delete");
    }
}

// Every record-id key in use before a DELETE of every row: each key takes its new status where it
// stands, and the tree keeps its pages. A commit that fails puts back the files byte for byte;
// another process reading between the statements sees no row, then the rows appended again, then
// none again.
TEST_P(DeleteEveryRow, RecordIdKeysInUseChangeWhereTheyStand) {
  const bool encrypted = GetParam().encrypted;
  // Three levels of pages in the record-id tree would take more rows than a test should: two,
  // with several leaves.
  constexpr int kRows = 2 * int(kPageDataSize / (kSysDeletedKeySize + 4)) + 7;
  make("w", 0);
  db.directory().StartTransaction();
  for (int i = 1; i <= kRows; ++i) db.run(insertText("w", i));
  db.directory().Commit(true, false);
  const std::string data = dataFile(folder.path(), "w");
  const std::string index = data.substr(0, data.size() - 3) + (data.ends_with(".dat") ? "idx" : "IDX");
  struct Tree {
    uint32_t root = 0, pages = 0;
    std::vector<uint8_t> status;
    std::vector<uint32_t> refs;
  };
  const auto treeOf = [&] {
    TDataCursor c(db.directory());
    c.SetTableName("w");
    c.Open();
    Tree t;
    t.root = c.Table()->IndexFile().GetRootPageNumber(kSysDeletedSlot);
    t.pages = c.Table()->IndexFile().GetNextPageNumber();
    TIndexTree(c.Table()->IndexFile(), c, kSysDeletedSlot).ForEachKey([&](const uint8_t* key, uint32_t ref) {
      t.status.push_back(key[0]);
      t.refs.push_back(ref);
    });
    return t;
  };
  const Tree before = treeOf();
  ASSERT_EQ(before.refs.size(), size_t(kRows));
  ASSERT_EQ(std::count(before.status.begin(), before.status.end(), 0), kRows);
  const std::string dataBefore = platform::testing::readFile(data);
  const std::string indexBefore = platform::testing::readFile(index);

  storage_test::Helper failing([&](storage_test::Helper&) {
    SqlDatabase mine(folder.path());
    if (encrypted) mine.directory().Session().AddPassword(kPassword);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{1024, 1024};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 4;
    if (mine.rows("DELETE FROM w").rfind("error: ", 0) != 0) return 5;
    return 0;
  });
  ASSERT_EQ(failing.wait(), 0);
  EXPECT_EQ(platform::testing::readFile(data), dataBefore) << "a failed commit keeps the records";
  EXPECT_EQ(platform::testing::readFile(index), indexBefore) << "a failed commit keeps the keys";
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM w"), std::to_string(kRows) + "\n");

  const auto expect = [](SqlDatabase& on, const std::string& count, const std::string& some) {
    if (on.run("SELECT COUNT(*) FROM w") != count) return false;
    return on.run("SELECT id, s FROM w WHERE id = 5 OR id = " + std::to_string(kRows)) == some;
  };
  const std::string five = db.run("SELECT id, s FROM w WHERE id = 5");
  const std::string some = db.run("SELECT id, s FROM w WHERE id = 5 OR id = " + std::to_string(kRows));
  storage_test::Helper reader([&](storage_test::Helper& h) {
    SqlDatabase mine(folder.path());
    if (encrypted) mine.directory().Session().AddPassword(kPassword);
    if (!expect(mine, std::to_string(kRows) + "\n", some)) return 2;
    h.send('r');
    if (h.receive() != 'd' || !expect(mine, "0\n", "")) return 3;
    h.send('r');
    if (h.receive() != 'a' || !expect(mine, "5\n", five)) return 4;
    h.send('r');
    if (h.receive() != 'd' || !expect(mine, "0\n", "")) return 5;
    return 0;
  });
  ASSERT_EQ(reader.receive(), 'r');
  db.run("DELETE FROM w");
  EXPECT_EQ(db.affected, kRows);
  const Tree after = treeOf();
  EXPECT_EQ(after.root, before.root) << "the tree keeps its pages";
  EXPECT_EQ(after.pages, before.pages);
  EXPECT_EQ(after.refs, before.refs);
  EXPECT_EQ(std::count(after.status.begin(), after.status.end(), 1), kRows) << "every key says deleted";
  expectSound(db.directory(), folder.path(), "w", encrypted, "after the delete");
  reader.send('d');
  ASSERT_EQ(reader.receive(), 'r');
  for (int i = 1; i <= 5; ++i) db.run(insertText("w", i));
  reader.send('a');
  ASSERT_EQ(reader.receive(), 'r');
  db.run("DELETE FROM w");
  expectSound(db.directory(), folder.path(), "w", encrypted, "after the second delete");
  reader.send('d');
  EXPECT_EQ(reader.wait(), 0);
}

// The record-id keys changed where they stand, as seen by processes that carry on: one whose
// commit of the DELETE failed goes on with the rows it had; one that read every row before
// another process deleted them (its record-id pages cached) appends, deletes one row and reads,
// and the table stays sound.
TEST_P(DeleteEveryRow, ProcessesCarryOnAfterRecordIdKeysChangedInPlace) {
  const bool encrypted = GetParam().encrypted;
  constexpr int kRows = 2 * int(kPageDataSize / (kSysDeletedKeySize + 4)) + 7;
  make("c", 0);
  db.directory().StartTransaction();
  for (int i = 1; i <= kRows; ++i) db.run(insertText("c", i));
  db.directory().Commit(true, false);
  const std::string all = db.run("SELECT id, s, v FROM c");
  const auto open = [&](SqlDatabase& on) {
    if (encrypted) on.directory().Session().AddPassword(kPassword);
  };

  storage_test::Helper failing([&](storage_test::Helper&) {
    SqlDatabase mine(folder.path());
    open(mine);
    if (mine.run("SELECT id, s, v FROM c") != all) return 2;
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
    const rlimit wide = limit;
    limit.rlim_cur = 1024;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
    if (mine.rows("DELETE FROM c").rfind("error: ", 0) != 0) return 4;
    if (setrlimit(RLIMIT_FSIZE, &wide) != 0) return 3;
    if (mine.run("SELECT id, s, v FROM c") != all) return 5;
    mine.run(insertText("c", kRows + 1));
    mine.run("DELETE FROM c WHERE id = 3");
    if (mine.run("SELECT COUNT(*) FROM c") != std::to_string(kRows) + "\n") return 6;
    if (mine.rows("DELETE FROM c").rfind("error: ", 0) == 0) return 7;
    return mine.run("SELECT COUNT(*) FROM c") == "0\n" ? 0 : 8;
  });
  ASSERT_EQ(failing.wait(), 0);
  expectSound(db.directory(), folder.path(), "c", encrypted, "after the failed commit and the delete");

  db.directory().StartTransaction();
  for (int i = 1; i <= kRows; ++i) db.run(insertText("c", i));
  db.directory().Commit(true, false);
  const std::string again = db.run("SELECT id, s, v FROM c");
  storage_test::Helper other([&](storage_test::Helper& h) {
    SqlDatabase mine(folder.path());
    open(mine);
    if (mine.run("SELECT id, s, v FROM c") != again) return 2;
    h.send('r');
    if (h.receive() != 'd') return 3;
    if (mine.run("SELECT COUNT(*) FROM c") != "0\n") return 4;
    for (int i = 1; i <= 3; ++i) mine.run(insertText("c", 100 + i));
    mine.run("DELETE FROM c WHERE id = 102");
    if (mine.run("SELECT id FROM c ORDER BY id") != "101\n103\n") return 5;
    h.send('a');
    return 0;
  });
  ASSERT_EQ(other.receive(), 'r');
  db.run("DELETE FROM c");
  EXPECT_EQ(db.affected, kRows);
  other.send('d');
  EXPECT_EQ(other.receive(), 'a');
  EXPECT_EQ(other.wait(), 0);
  EXPECT_EQ(db.run("SELECT id FROM c ORDER BY id"), "101\n103\n");
  expectSound(db.directory(), folder.path(), "c", encrypted, "after another process's appends");
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

// Around a DELETE of every row: cursors of this and another session, WHERE clauses that take
// every row or all but the one at either end, a write that fails at the commit, and a reader in
// another process. No row is lost, kept or damaged, and the files stay sound.
class DeleteEveryRowAround : public ::testing::Test {
 protected:
  static constexpr int kRows = 300;
  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};

  void fill(const std::string& table) {
    db.run("CREATE TABLE " + table + " (id INTEGER, s CHAR(20), v INTEGER, PRIMARY KEY (id))");
    db.run("CREATE INDEX " + table + "s ON " + table + " (s, v)");
    db.directory().StartTransaction();
    for (int i = 1; i <= kRows; ++i)
      db.run("INSERT INTO " + table + " VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i % 37) +
             "', " + std::to_string(i % 4) + ")");
    db.directory().Commit(true, false);
  }
  static std::string all() { return std::to_string(kRows) + "\n"; }
};

TEST_F(DeleteEveryRowAround, WhereClausesTakeEveryRowOrKeepTheEnds) {
  fill("t");
  db.run("DELETE FROM t WHERE id > 1");
  EXPECT_EQ(db.run("SELECT id, s, v FROM t"), "1|n1|1\n");
  expectSound(db.directory(), folder.path(), "t", false, "all but the first");
  db.run("DELETE FROM t");
  fill("u");
  db.run("DELETE FROM u WHERE id < " + std::to_string(kRows));
  EXPECT_EQ(db.run("SELECT id FROM u"), std::to_string(kRows) + "\n");
  expectSound(db.directory(), folder.path(), "u", false, "all but the last");
  fill("w");
  db.run("DELETE FROM w WHERE id > 0 AND s >= 'n'");
  EXPECT_EQ(db.affected, kRows);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM w"), "0\n");
  expectSound(db.directory(), folder.path(), "w", false, "every row by its WHERE");
  // Key searches and appends after it, and a restructure of the emptied table.
  db.run("INSERT INTO w VALUES (5, 'x', 1)");
  db.run("INSERT INTO w VALUES (2, 'y', 2)");
  EXPECT_EQ(db.run("SELECT id FROM w WHERE id = 2"), "2\n");
  EXPECT_EQ(db.run("SELECT id FROM w WHERE s = 'x' AND v = 1"), "5\n");
  EXPECT_EQ(db.rows("INSERT INTO w VALUES (5, 'z', 3)").rfind("error: ", 0), 0u) << "the key is still unique";
  db.run("ALTER TABLE w ADD q INTEGER");
  EXPECT_EQ(db.run("SELECT id, s FROM w ORDER BY id"), "2|y\n5|x\n");
  expectSound(db.directory(), folder.path(), "w", false, "after the restructure");
}

TEST_F(DeleteEveryRowAround, CursorsOfThisAndAnotherSession) {
  fill("t");
  // In the caller's transaction, rolled back: every row is back, for this session and another.
  db.directory().StartTransaction();
  db.run("DELETE FROM t");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), "0\n");
  db.directory().Rollback();
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE s >= 'n'"), all());
  EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT COUNT(*) FROM t WHERE id > 0"), all());
  // A cursor of this session editing a row: the delete fails on it and keeps every row.
  {
    TDataCursor editor(db.directory());
    editor.SetTableName("t");
    editor.Open();
    std::vector<uint8_t> record(editor.RecordSize());
    editor.SetToBegin();
    ASSERT_EQ(editor.GetNextRecord(record.data()), 0);
    ASSERT_EQ(editor.GetNextRecord(record.data()), 0);
    ASSERT_EQ(editor.GetCurrentRecord(record.data(), true), 0);
    EXPECT_EQ(db.rows("DELETE FROM t").rfind("error: ", 0), 0u);
    EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), all());
    editor.CancelRecord();
    editor.Close();
  }
  expectSound(db.directory(), folder.path(), "t", false, "after the failed delete");
  // Cursors of another session: at the end, on a row, with a filter, on a secondary index.
  SqlDatabase other(folder.path());
  std::vector<std::unique_ptr<TDataCursor>> cursors;
  for (int i = 0; i < 4; ++i) {
    auto& c = *cursors.emplace_back(std::make_unique<TDataCursor>(other.directory()));
    c.SetTableName("t");
    c.Open();
  }
  std::vector<uint8_t> record(cursors[0]->RecordSize());
  cursors[0]->SetToEnd();
  cursors[1]->SetToBegin();
  ASSERT_EQ(cursors[1]->GetNextRecord(record.data()), 0);
  const std::string filter = "v = 2";
  cursors[2]->ActivateFilter(
      cursors[2]->AddFilter(nullptr, &filter, nullptr, false, nullptr, false, false, false, false));
  cursors[2]->SetToBegin();
  ASSERT_EQ(cursors[2]->GetNextRecord(record.data()), 0);
  cursors[3]->SwitchToIndex(1);
  ASSERT_EQ(cursors[3]->GetRecordCount(), kRows);
  db.run("DELETE FROM t");
  EXPECT_EQ(db.affected, kRows);
  for (size_t i = 0; i < cursors.size(); ++i) {
    TDataCursor& c = *cursors[i];
    c.SetToBegin();
    EXPECT_NE(c.GetNextRecord(record.data()), 0) << "cursor " << i;
    c.SetToEnd();
    EXPECT_NE(c.GetPriorRecord(record.data()), 0) << "cursor " << i;
    EXPECT_EQ(c.GetRecordCount(), 0) << "cursor " << i;
  }
  EXPECT_EQ(other.run("SELECT COUNT(*) FROM t"), "0\n");
  other.run("INSERT INTO t VALUES (7, 'a', 2)");
  EXPECT_EQ(db.run("SELECT id, s, v FROM t WHERE v = 2"), "7|a|2\n");
  cursors[2]->SetToBegin();
  EXPECT_EQ(cursors[2]->GetNextRecord(record.data()), 0) << "the filtered cursor sees the new row";
  cursors.clear();
  expectSound(db.directory(), folder.path(), "t", false, "after the sessions");
}

// Commits whose index pages go out in long runs (tables doubled, every row deleted and the tree
// built again), then shorter ones, with a rollback of a whole rebuild between: the storage the
// held writes keep from one commit serves the next, and no page of it carries a byte of the last.
TEST_F(DeleteEveryRowAround, IndexRunsOfEachCommitLongOrShortOrRolledBackLeaveSoundFiles) {
  fill("t");
  const auto expectRows = [&](int rows, const std::string& when) {
    EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), std::to_string(rows) + "\n") << when;
    expectSound(db.directory(), folder.path(), "t", false, when);
  };
  int rows = kRows;
  for (int i = 0; i < 4; ++i, rows *= 2)
    db.run("INSERT INTO t SELECT id + " + std::to_string(rows) + ", s, v FROM t");
  expectRows(rows, "after the tables grew");
  db.directory().StartTransaction();
  db.run("DELETE FROM t");
  db.run("INSERT INTO t VALUES (1, 'x', 1)");
  db.directory().Rollback();
  expectRows(rows, "after a rolled back rebuild");
  db.run("DELETE FROM t WHERE id > " + std::to_string(rows / 2));
  expectRows(rows / 2, "after half was deleted");
  db.run("UPDATE t SET s = 'w' WHERE id <= 40");
  expectRows(rows / 2, "after a short update");
  db.run("DELETE FROM t");
  expectRows(0, "after every row was deleted");
  db.run("INSERT INTO t VALUES (7, 'a', 1)");
  expectRows(1, "after one row");
  db.run("DELETE FROM t");
  expectRows(0, "after the one row was deleted");
  fill("u");
  db.run("INSERT INTO t SELECT id, s, v FROM u");
  expectRows(kRows, "filled again");
  EXPECT_EQ(db.run("SELECT id, s, v FROM t ORDER BY s, v, id"),
            db.run("SELECT id, s, v FROM u ORDER BY s, v, id"));
}

// A commit that cannot write (the process may not grow a file): the statement fails and every row
// stays, for its own session and for the next process.
TEST_F(DeleteEveryRowAround, ACommitThatFailsKeepsEveryRow) {
  fill("t");
  storage_test::Helper child([&](storage_test::Helper&) {
    SqlDatabase mine(folder.path());
    if (mine.run("SELECT COUNT(*) FROM t") != all()) return 3;
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{1024, 1024};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 4;
    if (mine.rows("DELETE FROM t").rfind("error: ", 0) != 0) return 5;
    if (mine.run("SELECT COUNT(*) FROM t") != all()) return 6;
    if (mine.run("SELECT COUNT(*) FROM t WHERE id = 150") != "1\n") return 7;
    if (mine.run("SELECT COUNT(*) FROM t WHERE s >= 'n'") != all()) return 8;
    return 0;
  });
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(db.run("SELECT COUNT(*), SUM(id) FROM t WHERE s >= 'n'"),
            std::to_string(kRows) + "|" + std::to_string(kRows * (kRows + 1) / 2) + "\n");
  expectSound(db.directory(), folder.path(), "t", false, "after the failed commit");
  db.run("DELETE FROM t");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), "0\n");
}

// Rows looked up by key before a DELETE of every row lie cached among the slots it frees: a
// commit that fails leaves each of them with its values, for its own session and the next
// process; one that gets through leaves none of them to either, and the rows appended after it
// take the freed slots and read back as written, here and in another process.
TEST_F(DeleteEveryRowAround, RowsLookedUpByKeyBeforeTheDeleteGoOrStayWithTheCommit) {
  fill("t");
  const std::vector<int> ids = {1, 2, 3, 77, 78, 150, 151, 152, 298, 299, kRows};
  const auto lookUp = [&](SqlDatabase& s) {
    std::string seen;
    for (int id : ids) seen += s.run("SELECT id, s, v FROM t WHERE id = " + std::to_string(id));
    return seen;
  };
  const std::string every = lookUp(db);
  ASSERT_EQ(std::count(every.begin(), every.end(), '\n'), std::ptrdiff_t(ids.size()));
  storage_test::Helper failed([&](storage_test::Helper&) {
    SqlDatabase mine(folder.path());
    if (lookUp(mine) != every) return 3;
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{1024, 1024};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 4;
    if (mine.rows("DELETE FROM t").rfind("error: ", 0) != 0) return 5;
    if (lookUp(mine) != every) return 6;
    if (mine.run("SELECT COUNT(*) FROM t WHERE v >= 0") != all()) return 7;
    return 0;
  });
  EXPECT_EQ(failed.wait(), 0);
  EXPECT_EQ(lookUp(db), every);
  EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT COUNT(*) FROM t WHERE v >= 0"), all());
  // The same lookups in this session, then the delete through.
  ASSERT_EQ(lookUp(db), every);
  db.run("DELETE FROM t");
  EXPECT_EQ(db.affected, kRows);
  EXPECT_EQ(lookUp(db), "");
  const auto another = [&](const std::string& sql) {
    std::string seen;
    storage_test::Helper reader([&](storage_test::Helper& h) {
      SqlDatabase mine(folder.path());
      for (char c : mine.run(sql)) h.send(c);
      h.send('.');
      return 0;
    });
    for (char c; (c = reader.receive()) != '.';) seen += c;
    EXPECT_EQ(reader.wait(), 0);
    return seen;
  };
  EXPECT_EQ(another("SELECT COUNT(*) FROM t"), "0\n");
  for (int id : ids)
    db.run("INSERT INTO t VALUES (" + std::to_string(id) + ", 'm" + std::to_string(id) + "', " +
           std::to_string(id % 3) + ")");
  std::string appended;
  for (int id : ids)
    appended += std::to_string(id) + "|m" + std::to_string(id) + "|" + std::to_string(id % 3) + "\n";
  EXPECT_EQ(lookUp(db), appended);
  EXPECT_EQ(another("SELECT id, s, v FROM t ORDER BY id"), appended);
  expectSound(db.directory(), folder.path(), "t", false, "after the rows cached by key went");
}

// A reader in another process counting and searching by key while the delete runs sees every
// row or none, never a part.
TEST_F(DeleteEveryRowAround, AReaderInAnotherProcessSeesEveryRowOrNone) {
  fill("t");
  storage_test::Helper child([&](storage_test::Helper& h) {
    SqlDatabase mine(folder.path());
    h.send('r');
    for (int i = 0; i < 2000; ++i) {
      const std::string count = mine.run("SELECT COUNT(*) FROM t");
      const std::string key = mine.run("SELECT COUNT(*) FROM t WHERE id = 299 OR s = 'n3'");
      if (count == "0\n") return key == "0\n" ? 0 : 2;
      if (count != all()) return 3;
      if (key != "9\n" && key != "0\n") return 4;
    }
    return 5;
  });
  ASSERT_EQ(child.receive(), 'r');
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  db.run("DELETE FROM t");
  EXPECT_EQ(child.wait(), 0);
}

// A row that a cursor of another process holds keeps the statement from the path: it fails on
// that row, the rows before it come back, and once the row is let go the delete takes them all.
TEST_F(DeleteEveryRowAround, ARowHeldByAnotherProcessFailsTheStatementWhole) {
  fill("t");
  storage_test::Helper child([&](storage_test::Helper& h) {
    SqlDatabase mine(folder.path());
    TDataCursor c(mine.directory());
    c.SetTableName("t");
    c.Open();
    std::vector<uint8_t> record(c.RecordSize());
    c.SetToBegin();
    for (int i = 0; i < kRows / 2; ++i)
      if (c.GetNextRecord(record.data()) != 0) return 2;
    if (c.GetCurrentRecord(record.data(), true) != 0) return 3;
    h.send('l');
    if (h.receive() != 'x') return 4;
    c.CancelRecord();
    c.Close();
    return 0;
  });
  ASSERT_EQ(child.receive(), 'l');
  db.directory().Session().SetLockRetryCount(2);
  db.directory().Session().SetLockWaitTime(20);
  EXPECT_EQ(db.rows("DELETE FROM t").rfind("error: ", 0), 0u);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE s >= 'n'"), all());
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE id > 0"), all());
  child.send('x');
  EXPECT_EQ(child.wait(), 0);
  expectSound(db.directory(), folder.path(), "t", false, "after the failed delete");
  db.run("DELETE FROM t");
  EXPECT_EQ(db.affected, kRows);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), "0\n");
  expectSound(db.directory(), folder.path(), "t", false, "after the delete");
}

// A commit that stops part way at each of several points (the process may not write past a
// given size: in the journal, then in the table's own files), and the process gone at once
// after: its session and the next process find every row or, when the commit got through, none;
// never a part, and files the checker finds sound.
TEST_F(DeleteEveryRowAround, ACommitStoppedAtEachPointThenKilled) {
  std::string survivors;
  for (int step = 1; step <= 8; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    if (step == 1 || survivors == "0\n") {
      if (step > 1) db.run("DROP TABLE t");
      fill("t");
    }
    uintmax_t largest = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
      if (entry.is_regular_file()) largest = std::max(largest, entry.file_size());
    const rlim_t size = rlim_t(largest * step / 6);
    storage_test::Helper child([&](storage_test::Helper& h) {
      SqlDatabase mine(folder.path());
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{size, size};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 4;
      const std::string outcome = mine.rows("DELETE FROM t");
      if (outcome.empty()) {
        h.send('d');
      } else {
        const std::string count = mine.rows("SELECT COUNT(*) FROM t WHERE s >= 'n'");
        h.send(count == all() ? 'a' : count.rfind("error: ", 0) == 0 ? 'e' : 'p');
      }
      std::raise(SIGKILL);
      return 0;
    });
    const char seen = child.receive();
    child.wait();
    EXPECT_NE(seen, 'p') << "a part of the rows in the failed statement's own session";
    survivors = db.run("SELECT COUNT(*) FROM t");
    EXPECT_EQ(survivors, seen == 'd' ? "0\n" : all());
    EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE s >= 'n'"), survivors);
    expectSound(db.directory(), folder.path(), "t", false, "after the stopped commit");
  }
}

// Another process appending while the statement runs: each of its rows is either among the rows
// deleted (it got in before) or still there after, never lost or half there.
TEST_F(DeleteEveryRowAround, RowsAppendedByAnotherProcessMeanwhile) {
  fill("t");
  constexpr int kAppends = 150;
  storage_test::Helper child([&](storage_test::Helper& h) {
    SqlDatabase mine(folder.path());
    h.send('r');
    for (int i = 1; i <= kAppends; ++i)
      mine.run("INSERT INTO t VALUES (" + std::to_string(100000 + i) + ", 'm', 1)");
    return 0;
  });
  ASSERT_EQ(child.receive(), 'r');
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  db.run("DELETE FROM t");
  const int32_t deleted = db.affected;
  EXPECT_EQ(child.wait(), 0);
  EXPECT_GE(deleted, kRows);
  const std::string left = std::to_string(kRows + kAppends - deleted);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), left + "\n");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE id > 100000 AND s = 'm'"), left + "\n");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE id = " + std::to_string(100000 + kAppends)),
            deleted == kRows + kAppends ? "0\n" : "1\n");
  expectSound(db.directory(), folder.path(), "t", false, "after the appends");
}

// A DELETE without WHERE takes its rows from the record-id index instead of walking the table;
// one with a WHERE that every row passes walks it. Prepared before another process deleted rows
// and appended others, both take exactly the rows there are when they run, in the statement's
// own transaction and in the caller's, and leave the same slots; both report the same progress,
// and a callback that stops the statement part way keeps every row.
TEST_F(DeleteEveryRowAround, RowsTakenWithoutAWalkAreThoseAWalkFinds) {
  fill("t");
  fill("u");
  TQueryStatement plain(db.directory()), walked(db.directory());
  plain.Prepare("DELETE FROM t");
  walked.Prepare("DELETE FROM u WHERE v >= 0");
  int appended = 0;
  const auto changeElsewhere = [&](const char* deleted) {
    storage_test::Helper child([&](storage_test::Helper&) {
      SqlDatabase mine(folder.path());
      for (const char* table : {"t", "u"}) {
        for (int i = 1; i <= 40; ++i)
          mine.run(std::string("INSERT INTO ") + table + " VALUES (" + std::to_string(1000 + appended + i) +
                   ", 'm', " + std::to_string(i % 4) + ")");
        mine.run(std::string("DELETE FROM ") + table + " WHERE " + deleted);
      }
      return 0;
    });
    ASSERT_EQ(child.wait(), 0);
    appended += 40;
  };
  const auto expectSame = [&](const std::string& when) {
    EXPECT_EQ(plain.RowsAffected, walked.RowsAffected) << when;
    EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), "0\n") << when;
    EXPECT_EQ(db.run("SELECT COUNT(*) FROM u"), "0\n") << when;
    EXPECT_EQ(slotsOf(dataFile(folder.path(), "t")), slotsOf(dataFile(folder.path(), "u"))) << when;
    expectSound(db.directory(), folder.path(), "t", false, when);
  };
  changeElsewhere("v = 1");
  plain.Execute();
  walked.Execute();
  EXPECT_EQ(plain.RowsAffected, kRows - kRows / 4 + 30);
  expectSame("in the statement's transaction");

  changeElsewhere("id = 1041");
  db.directory().StartTransaction();
  plain.Execute();
  walked.Execute();
  db.directory().Commit(true, false);
  EXPECT_EQ(plain.RowsAffected, 39);
  expectSame("in the caller's transaction");

  changeElsewhere("id = 1081");
  db.directory().Session().SetProgressSteps(10);
  std::vector<int> reported[2];
  for (int i = 0; i < 2; ++i) {
    TQueryStatement& statement = i == 0 ? plain : walked;
    statement.SetProgressCallback([&, i](int percent, bool&) { reported[i].push_back(percent); });
    statement.Execute();
  }
  EXPECT_EQ(reported[0], reported[1]);
  EXPECT_GE(reported[0].size(), 9u);
  expectSame("with progress reports");

  changeElsewhere("id = 1121");
  for (TQueryStatement* statement : {&plain, &walked}) {
    int calls = 0;
    statement->SetProgressCallback([&](int, bool& abort) { abort = ++calls == 3; });
    EXPECT_THROW(statement->Execute(), EVELDOREngineError);
  }
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), "39\n");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM u"), "39\n");
  EXPECT_EQ(slotsOf(dataFile(folder.path(), "t")), slotsOf(dataFile(folder.path(), "u")));
  expectSound(db.directory(), folder.path(), "t", false, "after the stopped statements");
}

// The reports of a DELETE without WHERE, counted without a walk, fall where a walk's do whatever
// the rows and the steps: a few rows (each a report or more apart), about a hundred, some hundreds,
// one step for the whole or a percent each. A callback that stops the statement at any report
// stops both at the same row and keeps every row.
TEST_F(DeleteEveryRowAround, ProgressOfEveryRowCountedAtOnceFallsWhereAWalksDoes) {
  for (const int rows : {1, 2, 7, 99, 101, 250}) {
    for (const char* table : {"t", "u"}) {
      db.run(std::string("CREATE TABLE ") + table + " (id INTEGER, s CHAR(20), v INTEGER, PRIMARY KEY (id))");
      db.directory().StartTransaction();
      for (int i = 1; i <= rows; ++i)
        db.run(std::string("INSERT INTO ") + table + " VALUES (" + std::to_string(i) + ", 'n', " +
               std::to_string(i % 4) + ")");
      db.directory().Commit(true, false);
    }
    {
      TQueryStatement plain(db.directory()), walked(db.directory());
      plain.Prepare("DELETE FROM t");
      walked.Prepare("DELETE FROM u WHERE v >= 0");
      for (const uint16_t steps : {0, 3, 7, 30, 100, 200}) {
        SCOPED_TRACE(std::to_string(rows) + " rows, " + std::to_string(steps) + " steps");
        db.directory().Session().SetProgressSteps(steps);
        std::vector<int> reported[2];
        for (int i = 0; i < 2; ++i) {
          TQueryStatement& statement = i == 0 ? plain : walked;
          statement.SetProgressCallback([&, i](int percent, bool&) { reported[i].push_back(percent); });
          db.directory().StartTransaction();
          statement.Execute();
          EXPECT_EQ(statement.RowsAffected, rows);
          db.directory().Rollback();
        }
        EXPECT_EQ(reported[0], reported[1]);
        ASSERT_FALSE(reported[0].empty());
        const size_t reports = reported[1].size();
        for (const size_t stop : std::set<size_t>{1, 2, reports / 2, reports}) {
          if (stop == 0 || stop > reports) continue;
          std::vector<int> seen[2];
          for (int i = 0; i < 2; ++i) {
            TQueryStatement& statement = i == 0 ? plain : walked;
            statement.SetProgressCallback([&, i](int percent, bool& abort) {
              seen[i].push_back(percent);
              abort = seen[i].size() == stop;
            });
            EXPECT_THROW(statement.Execute(), EVELDOREngineError) << "stopped at report " << stop;
          }
          EXPECT_EQ(seen[0], seen[1]) << "stopped at report " << stop;
          EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), std::to_string(rows) + "\n");
          EXPECT_EQ(db.run("SELECT COUNT(*) FROM u"), std::to_string(rows) + "\n");
        }
      }
    }
    db.run("DROP TABLE t");
    db.run("DROP TABLE u");
  }
}

// WHERE clauses that name no column, constant or with a sub-select, take every row or none as
// their value says; a DELETE without WHERE takes every row. Each keeps or empties the table whole.
TEST_F(DeleteEveryRowAround, WhereClausesWithoutAColumnTakeEveryRowOrNone) {
  fill("t");
  fill("e");
  db.run("DELETE FROM e");
  for (const char* where : {"1 = 0", "'a' > 'b'", "1 = 1 AND 2 = 3", "1 = 0 OR 2 = 3", "NOT (1 = 1)",
                            "1 IN (SELECT id FROM e)"}) {
    db.run(std::string("DELETE FROM t WHERE ") + where);
    EXPECT_EQ(db.affected, 0) << where;
    EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE s >= 'n'"), all()) << where;
  }
  for (const char* where : {"1 = 1", "0 NOT IN (SELECT id FROM e)", ""}) {
    db.run(std::string("DELETE FROM t") + (*where ? " WHERE " : "") + where);
    EXPECT_EQ(db.affected, kRows) << where;
    EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), "0\n") << where;
    expectSound(db.directory(), folder.path(), "t", false, where);
    db.run("INSERT INTO t SELECT id, s, v FROM e");
    for (int i = 1; i <= kRows; ++i)
      db.run("INSERT INTO t VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i % 37) + "', " +
             std::to_string(i % 4) + ")");
  }
}

// A table without keys (its rows in record-number order), with a memo column, after appends
// rolled back and rows deleted: DELETE without WHERE takes the rows a walk takes, in the
// statement's own transaction and in the caller's after changes of its own, and rolled back
// it keeps every row.
TEST_F(DeleteEveryRowAround, WithoutKeysAfterRollbacksAndTheCallersOwnChanges) {
  for (const char* table : {"t", "u"}) {
    db.run(std::string("CREATE TABLE ") + table + " (id INTEGER, s CHAR(20), v INTEGER, m BLOB(10, 1))");
    db.directory().StartTransaction();
    for (int i = 1; i <= kRows; ++i)
      db.run(std::string("INSERT INTO ") + table + " VALUES (" + std::to_string(i) + ", 'n', " +
             std::to_string(i % 4) + ", '" + std::string(size_t(i % 3) * 40, 'm') + "')");
    db.directory().Commit(true, false);
    db.directory().StartTransaction();
    for (int i = 1; i <= 30; ++i)
      db.run(std::string("INSERT INTO ") + table + " VALUES (" + std::to_string(5000 + i) + ", 'r', 1, 'x')");
    db.directory().Rollback();
    db.run(std::string("DELETE FROM ") + table + " WHERE v = 2");
  }
  const auto both = [&](bool commit, const std::string& when) {
    const std::string rows = db.run("SELECT id, s, v, m FROM t ORDER BY id");
    const std::string slots = slotsOf(dataFile(folder.path(), "t"));
    db.directory().StartTransaction();
    for (const char* table : {"t", "u"}) {
      const std::string name = table;
      db.run("INSERT INTO " + name + " VALUES (7000, 'own', 1, 'own memo')");
      db.run("DELETE FROM " + name + " WHERE id = 3 OR id = " + std::to_string(kRows));
      db.run("UPDATE " + name + " SET v = 9, m = 'changed' WHERE id = 5");
    }
    db.run("DELETE FROM t");
    const int32_t whole = db.affected;
    db.run("DELETE FROM u WHERE v >= 0");
    EXPECT_EQ(whole, db.affected) << when;
    EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), "0\n") << when;
    if (!commit) {
      db.directory().Rollback();
      EXPECT_EQ(db.run("SELECT id, s, v, m FROM t ORDER BY id"), rows) << when;
      EXPECT_EQ(slotsOf(dataFile(folder.path(), "t")), slots) << when;
    } else {
      db.directory().Commit(true, false);
      EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT COUNT(*) FROM t"), "0\n") << when;
      EXPECT_EQ(slotsOf(dataFile(folder.path(), "t")), slotsOf(dataFile(folder.path(), "u"))) << when;
    }
    expectSound(db.directory(), folder.path(), "t", false, when);
  };
  both(false, "rolled back");
  both(true, "committed");
  for (const char* table : {"t", "u"})
    for (int i = 1; i <= 50; ++i)
      db.run(std::string("INSERT INTO ") + table + " VALUES (" + std::to_string(i) + ", 'a', " +
             std::to_string(i % 4) + ", 'memo')");
  db.run("DELETE FROM t");
  EXPECT_EQ(db.affected, 50);
  db.run("DELETE FROM u WHERE v >= 0");
  EXPECT_EQ(slotsOf(dataFile(folder.path(), "t")), slotsOf(dataFile(folder.path(), "u")));
  expectSound(db.directory(), folder.path(), "t", false, "in the statement's transaction");
}

// Another process that appends and deletes rows after the caller's transaction read the table
// waits for that transaction, which holds the table since: the DELETE takes the rows there were
// when it read, none more, none fewer, and the other process's changes land after the commit.
// The other process is forked while the caller holds the table open.
TEST_F(DeleteEveryRowAround, AnotherProcessWaitsForTheCallersTransaction) {
  for (uint8_t strict : {0, 1}) {
    SCOPED_TRACE("strict change detection " + std::to_string(strict));
    db.directory().Session().SetStrictChangeDetection(strict);
    const std::string table = strict ? "s" : "t";
    fill(table);
    TQueryStatement statement(db.directory());
    statement.Prepare("DELETE FROM " + table);
    db.directory().StartTransaction();
    EXPECT_EQ(db.run("SELECT COUNT(*) FROM " + table + " WHERE id > 0"), all());
    storage_test::Helper child([&](storage_test::Helper& h) {
      SqlDatabase mine(folder.path());
      // The table's file-wide locks tried briefly, for the first append only.
      TDataCursor held(mine.directory());
      held.SetTableName(table);
      held.Open();
      held.Table()->SetFileLockRetryRules({2, std::chrono::milliseconds(5)});
      const auto append = [&](int i) {
        mine.run("INSERT INTO " + table + " VALUES (" + std::to_string(1000 + i) + ", 'm', " +
                 std::to_string(i % 4) + ")");
      };
      try {
        append(1);
        return 3;
      } catch (const EVELDOREngineError&) {
      }
      h.send('W');
      if (h.receive() != 'C') return 4;
      held.Table()->SetFileLockRetryRules(kFileLockRetryRules);
      for (int i = 1; i <= 40; ++i) append(i);
      mine.run("DELETE FROM " + table + " WHERE v = 1");
      return 0;
    });
    ASSERT_EQ(child.receive(), 'W') << "the other process's append went through";
    statement.Execute();
    EXPECT_EQ(statement.RowsAffected, kRows);
    EXPECT_EQ(db.run("SELECT COUNT(*) FROM " + table), "0\n");
    db.directory().Commit(true, false);
    child.send('C');
    ASSERT_EQ(child.wait(), 0);
    EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT COUNT(*) FROM " + table), "30\n");
    expectSound(db.directory(), folder.path(), table, false, "after the other process's changes");
  }
}

// One prepared statement run again after new rows, and a DELETE whose rows come from a subquery
// on another table: every row each time, with the keys sound and searches right after.
TEST_F(DeleteEveryRowAround, APreparedStatementRunAgainAndRowsFromASubquery) {
  fill("t");
  fill("u");
  TQueryStatement statement(db.directory());
  statement.Prepare("DELETE FROM t");
  statement.Execute();
  EXPECT_EQ(statement.RowsAffected, kRows);
  for (int i = 1; i <= 20; ++i) db.run("INSERT INTO t VALUES (" + std::to_string(i * 7) + ", 'r', 3)");
  statement.Execute();
  EXPECT_EQ(statement.RowsAffected, 20);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), "0\n");
  db.run("INSERT INTO t SELECT * FROM u");
  db.run("DELETE FROM t WHERE id IN (SELECT id FROM u WHERE v >= 0)");
  EXPECT_EQ(db.affected, kRows);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), "0\n");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM u WHERE id = 17"), "1\n");
  db.run("INSERT INTO t VALUES (17, 'q', 1)");
  EXPECT_EQ(db.run("SELECT s FROM t WHERE id = 17"), "q\n");
  expectSound(db.directory(), folder.path(), "t", false, "after the deletes");
  expectSound(db.directory(), folder.path(), "u", false, "the subquery's table");
}

// The table open exclusively by a cursor of the same session, which stands on a row: the
// statement is refused and every row stays, for that cursor too.
TEST_F(DeleteEveryRowAround, TheTableOpenExclusivelyKeepsEveryRow) {
  fill("t");
  TDataCursor owner(db.directory());
  owner.SetTableName("t");
  owner.SetExclusive(true);
  owner.Open();
  std::vector<uint8_t> record(owner.RecordSize());
  owner.SetToBegin();
  ASSERT_EQ(owner.GetNextRecord(record.data()), 0);
  EXPECT_EQ(db.rows("DELETE FROM t").rfind("error: ", 0), 0u);
  EXPECT_EQ(owner.GetRecordCount(), kRows);
  owner.SetToEnd();
  EXPECT_EQ(owner.GetPriorRecord(record.data()), 0);
  owner.Close();
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE s >= 'n'"), all());
  db.run("DELETE FROM t");
  EXPECT_EQ(db.affected, kRows);
  expectSound(db.directory(), folder.path(), "t", false, "after the delete");
}

// After the path and after one delete after another: a restructure, a new index and appends give
// the same record slots, the same rows by key, and sound files.
TEST_F(DeleteEveryRowAround, RestructureAfterwardsAsAfterOneDeleteAfterAnother) {
  fill("t");
  fill("o");
  for (const char* table : {"t", "o"}) db.run(std::string("DELETE FROM ") + table + " WHERE v = 1");
  for (const char* table : {"t", "o"})
    db.run(std::string("INSERT INTO ") + table + " VALUES (1001, 'late', 1)");
  db.run("DELETE FROM t");
  db.directory().StartTransaction();
  db.run("DELETE FROM o");
  db.directory().Commit(true, false);
  for (const std::string table : {"t", "o"}) {
    db.run("ALTER TABLE " + table + " ADD w INTEGER");
    db.run("CREATE INDEX " + table + "w ON " + table + " (w, s)");
    for (int i = 1; i <= 40; ++i)
      db.run("INSERT INTO " + table + " VALUES (" + std::to_string(i * 3) + ", 'a" + std::to_string(i % 5) +
             "', 1, " + std::to_string(i % 7) + ")");
  }
  EXPECT_EQ(slotsOf(dataFile(folder.path(), "t")), slotsOf(dataFile(folder.path(), "o")));
  EXPECT_EQ(db.run("SELECT id, s, w FROM t WHERE w = 3 ORDER BY s, id"),
            db.run("SELECT id, s, w FROM o WHERE w = 3 ORDER BY s, id"));
  EXPECT_EQ(db.run("SELECT id FROM t WHERE id = 60"), "60\n");
  expectSound(db.directory(), folder.path(), "t", false, "after the restructure");
}

// Through the cursor, in a transaction that first changed rows (records newer in the cache than in
// the file), read others and freed some: records of 2 KB, so that the records go out in several
// runs split by the freed slots. Rolled back, every slot and the free chain are as before;
// committed after appends in the same transaction, the slots, links and ids are those of one
// delete after another, and the files are sound.
TEST_F(DeleteEveryRowAround, ThroughTheCursorAfterChangesInTheSameTransaction) {
  constexpr int kWide = 700;
  for (const char* table : {"a", "b"}) {
    db.run(std::string("CREATE TABLE ") + table +
           " (id INTEGER, s CHAR(20), w CHAR(250), v INTEGER, x1 CHAR(250), x2 CHAR(250), x3 CHAR(250), x4 "
           "CHAR(250), x5 CHAR(250), x6 CHAR(250), x7 CHAR(250), PRIMARY KEY (id))");
    db.run(std::string("CREATE INDEX ") + table + "s ON " + table + " (s, v)");
    db.directory().StartTransaction();
    for (int i = 1; i <= kWide; ++i)
      db.run(std::string("INSERT INTO ") + table + " VALUES (" + std::to_string(i) + ", 'n" +
             std::to_string(i % 37) + "', 'w" + std::to_string(i) + "', " + std::to_string(i % 7) +
             ", 'x', 'x', 'x', 'x', 'x', 'x', 'x')");
    db.directory().Commit(true, false);
    db.run(std::string("DELETE FROM ") + table + " WHERE v = 3");
  }
  const auto run = [&](const char* table, bool bulk, bool commit) {
    db.directory().StartTransaction();
    TDataCursor cursor(db.directory());
    cursor.SetTableName(table);
    cursor.Open();
    std::vector<uint8_t> record(cursor.RecordSize());
    std::vector<uint32_t> numbers;
    // Rows changed at the start, across a run's end and at the end; others freed and taken again.
    db.run(std::string("UPDATE ") + table + " SET v = 50, s = 'q' WHERE id IN (1, 300, 301, 302, 700)");
    db.run(std::string("DELETE FROM ") + table + " WHERE id = 40 OR id = 400");
    db.run(std::string("INSERT INTO ") + table +
           " VALUES (5000, 'x', 'y', 1, 'a', 'b', 'c', 'd', 'e', 'f', 'g')");
    numbers.clear();
    cursor.SetToBegin();
    while (cursor.GetNextRecord(record.data()) == 0) numbers.push_back(cursor.CurrentRecordNo());
    std::sort(numbers.begin(), numbers.end());
    if (bulk) {
      cursor.Table()->LockRecordsAhead(numbers);
      ASSERT_TRUE(cursor.DeleteEveryRecord(numbers));
    } else {
      for (uint32_t n : numbers) {
        cursor.SetToRecordNo(n);
        ASSERT_EQ(cursor.GetCurrentRecord(record.data(), false), 0);
        cursor.DeleteRecord(record.data());
      }
    }
    EXPECT_EQ(cursor.GetRecordCount(), 0);
    cursor.SetToBegin();
    EXPECT_NE(cursor.GetNextRecord(record.data()), 0);
    EXPECT_EQ(db.run(std::string("SELECT COUNT(*) FROM ") + table), "0\n");
    cursor.Close();
    if (!commit) return db.directory().Rollback();
    for (int i = 1; i <= 20; ++i)
      db.run(std::string("INSERT INTO ") + table + " VALUES (" + std::to_string(6000 + i) +
             ", 'm', 'z', 2, 'a', 'b', 'c', 'd', 'e', 'f', 'g')");
    db.directory().Commit(true, false);
  };
  const std::string before = slotsOf(dataFile(folder.path(), "a"));
  const std::string rows = db.run("SELECT id, s, w, v FROM a ORDER BY id");
  run("a", true, false);
  EXPECT_EQ(slotsOf(dataFile(folder.path(), "a")), before);
  EXPECT_EQ(db.run("SELECT id, s, w, v FROM a ORDER BY id"), rows);
  EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT COUNT(*) FROM a WHERE s >= 'n'"),
            db.run("SELECT COUNT(*) FROM a"));
  expectSound(db.directory(), folder.path(), "a", false, "after the rollback");
  run("a", true, true);
  run("b", false, true);
  EXPECT_EQ(slotsOf(dataFile(folder.path(), "a")), slotsOf(dataFile(folder.path(), "b")));
  EXPECT_EQ(db.run("SELECT id, s, w, v FROM a ORDER BY id"), db.run("SELECT id, s, w, v FROM b ORDER BY id"));
  EXPECT_EQ(SqlDatabase(folder.path()).run("SELECT COUNT(*) FROM a WHERE s >= 'm'"), "20\n");
  expectSound(db.directory(), folder.path(), "a", false, "after the commit");
}

}  // namespace
}  // namespace engine::sql
