// A prepared SELECT keeps its source cursors open between its runs, and a run keeps a source's
// view of the records in use when nothing changed the table since it was built. Whatever did
// change it in between (this session's other statements, another session of the process, another
// process, committed or still in its transaction, a rollback), each run counts and lists exactly
// the rows a statement prepared afresh finds, and those are the rows the test's model holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace sql_test;
using storage_test::Helper;

constexpr int kRows = 1200;  // the views span several blocks of bitmap words

// The queries, prepared once, and what each answers over a model of id -> k.
struct Query {
  std::string text;
  std::string (*expect)(const std::map<int, int>& rows);
};

std::string countOf(const std::map<int, int>& rows, bool (*keep)(int id, int k)) {
  int n = 0;
  for (const auto& [id, k] : rows) n += keep(id, k);
  return std::to_string(n) + "\n";
}

std::string idsOf(const std::map<int, int>& rows, bool (*keep)(int id, int k)) {
  std::string out;
  for (const auto& [id, k] : rows)
    if (keep(id, k)) out += std::to_string(id) + "\n";
  return out;
}

// The result's lines in id order (a result keeps the order its rows came in).
std::string sortedIds(const std::string& lines) {
  std::vector<int> ids;
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) ids.push_back(std::stoi(line));
  std::sort(ids.begin(), ids.end());
  std::string out;
  for (int id : ids) out += std::to_string(id) + "\n";
  return out;
}

const std::vector<Query>& queries() {
  static const std::vector<Query> all = {
      {"SELECT COUNT(*) FROM t", [](const auto& r) { return countOf(r, [](int, int) { return true; }); }},
      {"SELECT id FROM t", [](const auto& r) { return idsOf(r, [](int, int) { return true; }); }},
      {"SELECT id FROM t WHERE k < 3",
       [](const auto& r) { return idsOf(r, [](int, int k) { return k < 3; }); }},
      {"SELECT COUNT(*) FROM t WHERE k < 3",
       [](const auto& r) { return countOf(r, [](int, int k) { return k < 3; }); }},
      {"SELECT id FROM t WHERE id > 1190",
       [](const auto& r) { return idsOf(r, [](int id, int) { return id > 1190; }); }},
  };
  return all;
}

class PreparedSelect : public ::testing::Test {
 protected:
  void SetUp() override {
    db.run("CREATE TABLE t (id INTEGER, k INTEGER)");
    db.run("CREATE INDEX tk ON t (k)");
    db.directory().StartTransaction();
    for (int id = 1; id <= kRows; ++id) insert(db, id, id % 100);
    db.directory().Commit(true, false);
    // Results are made in a folder of their own, as an application's are: the database's
    // transactions then hold the source tables only.
    db.directory().Session().SetPrivateDirectory(results.path());
    for (const Query& q : queries()) {
      prepared.push_back(std::make_unique<TQueryStatement>(db.directory()));
      prepared.back()->Prepare(q.text);
    }
  }
  void insert(SqlDatabase& on, int id, int k) {
    on.run("INSERT INTO t VALUES (" + std::to_string(id) + ", " + std::to_string(k) + ")");
    model[id] = k;
  }
  void erase(SqlDatabase& on, const std::string& where, bool (*gone)(int id, int k)) {
    on.run("DELETE FROM t WHERE " + where);
    std::erase_if(model, [&](const auto& row) { return gone(row.first, row.second); });
  }
  // Every prepared query run again, and the same text prepared afresh, against the model.
  void expectModel(const std::map<int, int>& expected, const std::string& when) {
    SCOPED_TRACE(when);
    for (size_t i = 0; i < queries().size(); ++i) {
      const Query& q = queries()[i];
      const std::string want = q.expect(expected);
      engine::TDataCursor* c = prepared[i]->Execute();
      ASSERT_NE(c, nullptr) << q.text;
      EXPECT_EQ(sortedIds(SqlDatabase::text(*c)), want) << "prepared: " << q.text;
      EXPECT_EQ(sortedIds(db.run(q.text)), want) << "afresh: " << q.text;
    }
  }

  platform::testing::TempFolder folder, results;
  SqlDatabase db{folder.path()};
  std::map<int, int> model;
  std::vector<std::unique_ptr<TQueryStatement>> prepared;
};

TEST_F(PreparedSelect, SeesThisSessionsChangesAndItsRollback) {
  expectModel(model, "as loaded");
  expectModel(model, "run again, nothing changed");
  insert(db, 2000, 1);
  erase(db, "k > 90", [](int, int k) { return k > 90; });
  db.run("UPDATE t SET k = 1 WHERE id = 5");
  model[5] = 1;
  expectModel(model, "rows added, deleted and moved into the range");
  // As many rows as before, other ones.
  erase(db, "id = 10", [](int id, int) { return id == 10; });
  insert(db, 3000, 2);
  expectModel(model, "one row deleted and one added");
  db.directory().StartTransaction();
  const std::map<int, int> before = model;
  insert(db, 3001, 0);
  erase(db, "id < 300", [](int id, int) { return id < 300; });
  expectModel(model, "inside the transaction");
  db.directory().Rollback();
  model = before;
  expectModel(model, "rolled back");
  erase(db, "id > 0", [](int, int) { return true; });
  expectModel(model, "emptied");
  insert(db, 1, 1);
  expectModel(model, "one row again");
}

// A rollback takes the table's change counters back to where they stood: the same number of
// changes made again after it (other rows deleted, other rows added) brings the counters, the last
// record number and the live count back to what a run inside the transaction saw, with other
// records in use.
TEST_F(PreparedSelect, SeesChangesAfterARollbackThatMatchTheRolledBackOnesInNumber) {
  expectModel(model, "as loaded");
  // What runs inside the transaction, rolled back, then what runs after it.
  const auto rounds = {
      std::pair<std::string, std::function<void()>>{
          "DELETE FROM t WHERE id = 5", [&] { erase(db, "id = 7", [](int id, int) { return id == 7; }); }},
      {"DELETE FROM t WHERE id = 20", [&] { insert(db, 6000, 1); }},
      {"INSERT INTO t VALUES (6001, 1)", [&] { erase(db, "id = 30", [](int id, int) { return id == 30; }); }},
      {"DELETE FROM t WHERE id = 40", [&] {
         erase(db, "id = 41", [](int id, int) { return id == 41; });
         insert(db, 6002, 2);
       }}};
  int round = 0;
  for (const auto& [inside, after] : rounds) {
    db.directory().StartTransaction();
    db.run(inside);
    if (round++ == 3) db.run("INSERT INTO t VALUES (6003, 2)");
    for (auto& p : prepared) p->Execute();
    db.directory().Rollback();
    after();
    expectModel(model, inside + " rolled back, then as many changes of other rows");
  }
}

// Inside one transaction, between two runs: rows deleted and as many added into freed records
// that are not the ones just freed (freed before the transaction), so that the live count and
// the last record number stay while other records are in use.
TEST_F(PreparedSelect, SeesRowsMovedToOtherFreedRecordsInsideATransaction) {
  erase(db, "id = 100 OR id = 200 OR id = 300",
        [](int id, int) { return id == 100 || id == 200 || id == 300; });
  expectModel(model, "records freed");
  db.directory().StartTransaction();
  expectModel(model, "inside the transaction, nothing changed");
  for (int round = 0; round < 3; ++round) {
    const int gone = 500 + round * 10;
    db.run("DELETE FROM t WHERE id = " + std::to_string(gone));
    model.erase(gone);
    insert(db, 7000 + round, 1);
    expectModel(model,
                "inside the transaction, one row deleted and one added, round " + std::to_string(round));
  }
  db.directory().Commit(true, false);
  expectModel(model, "committed");
}

TEST_F(PreparedSelect, SeesAnotherSessionsAndAnotherProcesssCommits) {
  expectModel(model, "as loaded");
  {
    SqlDatabase other(folder.path());
    insert(other, 4000, 0);
    erase(other, "id = 11 OR id = 700", [](int id, int) { return id == 11 || id == 700; });
  }
  expectModel(model, "another session's changes");
  Helper child([&](Helper& h) {
    SqlDatabase other(folder.path());
    other.directory().StartTransaction();
    other.run("INSERT INTO t VALUES (5000, 0)");
    other.run("DELETE FROM t WHERE id > 600 AND id < 2000");
    h.send('w');
    if (h.receive() != 'c') return 1;
    other.directory().Commit(true, false);
    h.send('d');
    if (h.receive() != 'e') return 1;
    other.run("DELETE FROM t WHERE id < 100");
    other.run("INSERT INTO t VALUES (5001, 2)");
    h.send('d');
    return 0;
  });
  ASSERT_EQ(child.receive(), 'w');
  expectModel(model, "another process's transaction, not yet committed");
  child.send('c');
  ASSERT_EQ(child.receive(), 'd');
  model[5000] = 0;
  std::erase_if(model, [](const auto& row) { return row.first > 600 && row.first < 2000; });
  expectModel(model, "another process's transaction, committed");
  child.send('e');
  ASSERT_EQ(child.receive(), 'd');
  std::erase_if(model, [](const auto& row) { return row.first < 100; });
  model[5001] = 2;
  expectModel(model, "another process's single statements");
  EXPECT_EQ(child.wait(), 0);
}

// A restructure needs the table to itself: the prepared statements let it go first, and a
// COUNT(*) prepared afresh counts the restructured table's rows.
TEST_F(PreparedSelect, CountAfterAnotherProcessRestructuredTheTable) {
  expectModel(model, "as loaded");
  prepared.clear();
  erase(db, "k = 4", [](int, int k) { return k == 4; });
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), std::to_string(model.size()) + "\n");
  Helper child([&](Helper&) {
    SqlDatabase other(folder.path());
    other.run("ALTER TABLE t ADD w INTEGER");
    other.run("DELETE FROM t WHERE k = 5");
    return 0;
  });
  ASSERT_EQ(child.wait(), 0);
  std::erase_if(model, [](const auto& row) { return row.second == 5; });
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), std::to_string(model.size()) + "\n");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE k < 3"), countOf(model, [](int, int k) { return k < 3; }));
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE w IS NULL"), std::to_string(model.size()) + "\n");
}

// A table in memory takes no locks: a prepared SELECT over it keeps its view by the table's
// counters alone. Rows deleted and as many added into the freed records, the table emptied and
// filled again as before, by this session's other statements: each run lists what the table holds.
TEST(PreparedSelectInMemory, SeesEveryChangeOfItsTableMadeBetweenRuns) {
  platform::testing::TempFolder folder;
  SqlDatabase db(folder.path());
  // An in-memory table is the process's and outlives the folder: it goes however the test ends,
  // after the statements over it.
  const struct Dropped {
    SqlDatabase& db;
    ~Dropped() { db.rows("DROP TABLE IF EXISTS MEMORY m"); }
  } dropped{db};
  db.run("CREATE TABLE MEMORY m (id INTEGER, k INTEGER)");
  std::map<int, int> model;
  for (int id = 1; id <= 300; ++id) {
    db.run("INSERT INTO MEMORY m VALUES (" + std::to_string(id) + ", " + std::to_string(id % 7) + ")");
    model[id] = id % 7;
  }
  TQueryStatement all(db.directory()), some(db.directory());
  all.Prepare("SELECT id FROM MEMORY m");
  some.Prepare("SELECT id FROM MEMORY m WHERE k < 3");
  const auto expect = [&](const std::string& when) {
    EXPECT_EQ(sortedIds(SqlDatabase::text(*all.Execute())), idsOf(model, [](int, int) { return true; }))
        << when;
    EXPECT_EQ(sortedIds(SqlDatabase::text(*some.Execute())), idsOf(model, [](int, int k) { return k < 3; }))
        << when;
  };
  expect("as made");
  for (int round = 0; round < 3; ++round) {
    const int gone = 10 + round, added = 1000 + round;
    db.run("DELETE FROM MEMORY m WHERE id = " + std::to_string(gone));
    db.run("INSERT INTO MEMORY m VALUES (" + std::to_string(added) + ", 1)");
    model.erase(gone);
    model[added] = 1;
    expect("one row deleted and one added, round " + std::to_string(round));
  }
  db.run("UPDATE MEMORY m SET k = 0 WHERE id = 20");
  model[20] = 0;
  expect("a row moved into the range");
  db.run("DELETE FROM MEMORY m");
  for (int id = 1; id <= 300; ++id) db.run("INSERT INTO MEMORY m VALUES (" + std::to_string(id) + ", 5)");
  model.clear();
  for (int id = 1; id <= 300; ++id) model[id] = 5;
  expect("emptied and filled again");
}

// Two columns of one size swap their names, in this session, in another session and in another
// process: the record keeps its size and every field its place, and a statement run after it
// reads each column by its new name.
TEST(ColumnsRenamedInPlace, AreReadByTheirNewNamesWhereverTheRenameRan) {
  platform::testing::TempFolder folder;
  const std::string swap = "ALTER TABLE t REDEFINE a c CHAR(8), REDEFINE b a CHAR(8)";
  const std::string back = "ALTER TABLE t REDEFINE a b CHAR(8), REDEFINE c a CHAR(8)";
  Helper child([&](Helper& h) {
    if (h.receive() != 'g') return 1;
    SqlDatabase other(folder.path());
    other.run(swap);
    return 0;
  });
  SqlDatabase db(folder.path());
  db.run("CREATE TABLE t (id INTEGER, a CHAR(8), b CHAR(8))");
  db.run("INSERT INTO t VALUES (1, 'left', 'right')");
  EXPECT_EQ(db.run("SELECT id, a, b FROM t"), "1|left|right\n");
  db.run(swap);
  EXPECT_EQ(db.run("SELECT id, a, c FROM t"), "1|right|left\n");
  {
    SqlDatabase other(folder.path());
    other.run(back);
  }
  EXPECT_EQ(db.run("SELECT id, a, b FROM t"), "1|left|right\n");
  child.send('g');
  ASSERT_EQ(child.wait(), 0);
  EXPECT_EQ(db.run("SELECT id, a, c FROM t"), "1|right|left\n");
  EXPECT_EQ(db.run("SELECT id FROM t WHERE a = 'right'"), "1\n");
}

// Results made in the database's own folder are among its directory's tables: a transaction
// begun after the statement was prepared leaves its result table out, so that the statement runs
// again inside it and after its rollback.
TEST(PreparedSelectBesideItsTables, RunsAgainInsideATransactionBegunAfterItsPreparation) {
  platform::testing::TempFolder folder;
  SqlDatabase db(folder.path());
  db.run("CREATE TABLE t (id INTEGER)");
  db.run("INSERT INTO t VALUES (1)");
  TQueryStatement count(db.directory()), rows(db.directory());
  count.Prepare("SELECT COUNT(*) FROM t");
  rows.Prepare("SELECT id FROM t ORDER BY id");
  EXPECT_EQ(SqlDatabase::text(*count.Execute()), "1\n");
  db.directory().StartTransaction();
  db.run("INSERT INTO t VALUES (2)");
  EXPECT_EQ(SqlDatabase::text(*count.Execute()), "2\n");
  EXPECT_EQ(SqlDatabase::text(*rows.Execute()), "1\n2\n");
  db.directory().Rollback();
  EXPECT_EQ(SqlDatabase::text(*count.Execute()), "1\n");
  EXPECT_EQ(SqlDatabase::text(*rows.Execute()), "1\n");
  db.directory().StartTransaction();
  db.run("INSERT INTO t VALUES (3)");
  db.directory().Commit(true, false);
  EXPECT_EQ(SqlDatabase::text(*count.Execute()), "2\n");
  EXPECT_EQ(SqlDatabase::text(*rows.Execute()), "1\n3\n");
}

}  // namespace
