// Results emptied at their statement's end and taken by the next statement of the same result
// shape: each statement shows its own rows only, as a freshly made result does, after an error
// part way, after rows and an index the user added to the result, inside a transaction that is
// rolled back, with another process committing between two runs, and when the private folder
// changes. Each expectation is what the same statement gives with the pool emptied before it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/base/veldortypes.h"
#include "engine/sql/veldorsq.h"
#include "engine/storage/veldorfile.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldortable.h"
#include "sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace engine;
using sql_test::SqlDatabase;
using storage_test::Helper;

class ResultPool : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.run("CREATE TABLE t (id INTEGER, g INTEGER, s CHAR(20))");
    for (int id = 1; id <= 60; ++id)
      db_.run("INSERT INTO t VALUES (" + std::to_string(id) + ", " + std::to_string(id % 6) + ", 'v" +
              std::to_string(id * 7 % 13) + "')");
  }
  // The rows of `sql` from a result made afresh.
  std::string fresh(const std::string& sql) {
    db_.directory().DropIdleResults();
    std::string rows = db_.run(sql);
    db_.directory().DropIdleResults();
    return rows;
  }
  platform::testing::TempFolder folder_;
  SqlDatabase db_{folder_.path()};
};

// Statements of one result shape in turn take the same table, emptied: each shows its rows only.
TEST_F(ResultPool, EachStatementShowsItsOwnRowsOnly) {
  const std::vector<std::string> statements = {
      "SELECT id, s FROM t WHERE g = 1",
      "SELECT id, s FROM t WHERE g = 2 ORDER BY s, id",
      "SELECT id, s FROM t WHERE g > 9",
      "SELECT id, s FROM t WHERE g < 3 ORDER BY id DESC",
      "SELECT g, COUNT(*) FROM t GROUP BY g",
      "SELECT DISTINCT s FROM t",
      "SELECT COUNT(*) FROM t",
      "SELECT COUNT(*) FROM t WHERE g = 4",
      "SELECT id, s FROM t ORDER BY s TOP 5",
  };
  std::vector<std::string> expected;
  for (const std::string& sql : statements) expected.push_back(fresh(sql));
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < statements.size(); ++i) {
      SCOPED_TRACE(statements[i]);
      EXPECT_EQ(db_.run(statements[i]), expected[i]);
    }
  }
  EXPECT_LE(db_.directory().IdleResultCount(), 4u);
  // The statements of the first and third shape took the same table (what the pool is for).
  std::string names[2];
  for (int i = 0; i < 2; ++i) {
    sql::TQueryStatement s(db_.directory());
    s.Prepare(statements[size_t(i) * 2]);
    TDataCursor* result = s.Execute();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(SqlDatabase::text(*result), expected[size_t(i) * 2]);
    names[i] = result->TableName();
  }
  EXPECT_EQ(names[0], names[1]);
}

// A statement stopped part way (its progress callback throws) leaves rows in its result; the next
// statement of that shape sees none of them.
TEST_F(ResultPool, AnErrorPartWayLeavesNoRowsBehind) {
  const std::string expected = fresh("SELECT id, s FROM t WHERE g = 5");
  db_.directory().Session().SetProgressSteps(10);
  for (int stopAt : {1, 3, 6}) {
    {
      sql::TQueryStatement s(db_.directory());
      int calls = 0;
      s.SetProgressCallback([&](int, bool&) {
        if (++calls == stopAt) throw std::runtime_error("stopped");
      });
      s.Prepare("SELECT id, s FROM t WHERE g <> 5");
      EXPECT_THROW(s.Execute(), std::runtime_error);
    }
    EXPECT_EQ(db_.run("SELECT id, s FROM t WHERE g = 5"), expected) << "stopped at " << stopAt;
  }
}

// Rows the user appends to a result, and an index added to it, do not reach the next statement:
// the rows go with the emptying, and a result whose structure changed is not kept.
TEST_F(ResultPool, WhatTheUserAddsToAResultStaysWithIt) {
  const std::string expected = fresh("SELECT id, s FROM t WHERE g = 3");
  {
    sql::TQueryStatement s(db_.directory());
    s.Prepare("SELECT id, s FROM t WHERE g = 2");
    TDataCursor* result = s.Execute();
    ASSERT_NE(result, nullptr);
    std::vector<uint8_t> row(result->RecordSize());
    for (int i = 0; i < 40; ++i) {
      result->ClearRecordBuffer(row.data());
      uint8_t number[4];
      PutIntegerValue(number, 9000 + i);
      result->PutField(1, row.data(), number);
      result->AppendRecord(row.data());
    }
  }
  EXPECT_EQ(db_.run("SELECT id, s FROM t WHERE g = 3"), expected);
  {
    sql::TQueryStatement s(db_.directory());
    s.Prepare("SELECT id, s FROM t WHERE g = 1");
    TDataCursor* result = s.Execute();
    ASSERT_NE(result, nullptr);
    TIndexDescriptor index;
    index.name = "bys";
    index.fieldCount = 1;
    index.fields[0] = 2;
    result->AddSecondaryIndex(index);
  }
  sql::TQueryStatement s(db_.directory());
  s.Prepare("SELECT id, s FROM t WHERE g = 3");
  TDataCursor* result = s.Execute();
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(SqlDatabase::text(*result), expected);
  EXPECT_EQ(result->GetIndexCount(), 0) << "the result with the user's index was not taken";
}

// Results taken and emptied inside a transaction, which then rolls back: the next statements show
// the rows the table holds, whether their result was idle during the transaction or not.
TEST_F(ResultPool, RightAcrossATransactionRolledBack) {
  const std::string before = fresh("SELECT id, s FROM t WHERE g = 0");
  db_.run("SELECT id, s FROM t WHERE g = 1");  // one idle result before the transaction
  db_.directory().StartTransaction();
  db_.run("INSERT INTO t VALUES (600, 0, 'new')");
  const std::string inside = db_.run("SELECT id, s FROM t WHERE g = 0");
  EXPECT_NE(inside, before);
  EXPECT_NE(inside.find("600|new"), std::string::npos);
  db_.run("SELECT id, s FROM t WHERE g = 4");
  db_.directory().Rollback();
  EXPECT_EQ(db_.run("SELECT id, s FROM t WHERE g = 0"), before);
  db_.directory().StartTransaction();
  db_.run("DELETE FROM t WHERE g = 0");
  EXPECT_EQ(db_.run("SELECT id, s FROM t WHERE g = 0"), "");
  db_.directory().Commit(true, false);
  EXPECT_EQ(db_.run("SELECT id, s FROM t WHERE g = 0"), "");
  EXPECT_EQ(db_.run("SELECT COUNT(*) FROM t"), fresh("SELECT COUNT(*) FROM t"));
}

// A prepared statement run again after another process committed rows, with other statements of
// its shape between the runs: each run shows the table as it then is.
TEST_F(ResultPool, PreparedStatementSeesAnotherProcessCommitBetweenRuns) {
  sql::TQueryStatement s(db_.directory());
  s.Prepare("SELECT id, s FROM t WHERE g = 2");
  TDataCursor* result = s.Execute();
  ASSERT_NE(result, nullptr);
  const std::string first = SqlDatabase::text(*result);
  db_.run("SELECT id, s FROM t WHERE g = 3");
  const std::string folder = folder_.path();
  Helper child([&](Helper&) {
    SqlDatabase other(folder);
    other.run("INSERT INTO t VALUES (700, 2, 'other')");
    other.run("DELETE FROM t WHERE id = 2");
    return 0;
  });
  ASSERT_EQ(child.wait(), 0);
  db_.run("SELECT id, s FROM t WHERE g = 1");
  result = s.Execute();
  ASSERT_NE(result, nullptr);
  const std::string second = SqlDatabase::text(*result);
  EXPECT_NE(second, first);
  EXPECT_EQ(second, fresh("SELECT id, s FROM t WHERE g = 2"));
  EXPECT_NE(second.find("700|other"), std::string::npos);
  EXPECT_EQ(second.find("2|v1\n"), std::string::npos);
}

// Results go to the private folder's directory: a new folder gets its own, and the old folder's
// directory lets its pool go when it closes.
TEST_F(ResultPool, APrivateFolderChangeTakesResultsElsewhere) {
  const std::string expected = fresh("SELECT id, s FROM t WHERE g = 4");
  platform::testing::TempFolder other;
  TDataSession& session = db_.directory().Session();
  for (int round = 0; round < 2; ++round) {
    session.SetPrivateDirectory(other.path());
    EXPECT_EQ(db_.run("SELECT id, s FROM t WHERE g = 4"), expected);
    session.SetPrivateDirectory(folder_.path());
    EXPECT_EQ(db_.run("SELECT id, s FROM t WHERE g = 4"), expected);
  }
  db_.directory().DropIdleResults();
  EXPECT_EQ(TSpillFile::BytesInMemory(), 0) << "the other folder's directory closed with its pool";
}

// A result that went to disk is not kept: its files go at its close, as before.
TEST_F(ResultPool, ASpilledResultIsNotKept) {
  const int64_t bound = TSpillFile::SpillBound(), budget = TSpillFile::SpillBudget();
  TSpillFile::SetSpillBounds(0, budget);
  const std::string expected = db_.run("SELECT id, s FROM t WHERE g = 1");
  TSpillFile::SetSpillBounds(bound, budget);
  EXPECT_EQ(db_.directory().IdleResultCount(), 0u);
  EXPECT_EQ(db_.run("SELECT id, s FROM t WHERE g = 1"), expected);
  EXPECT_EQ(db_.directory().IdleResultCount(), 1u);
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder_.path()))
    files += e.path().filename().string().rfind("t.", 0) != 0;
  EXPECT_EQ(files, 0u);
}

// A table closed and kept here, then restructured by another process that ended once its swap was
// committed but before its files moved: the next open here completes that swap, as an open in a
// fresh process does, and shows the new table, not the old one with the new one deleted.
TEST_F(ResultPool, AKeptTableTakenBackCompletesASwapLeftByAnEndedProcess) {
  const std::string old = db_.run("SELECT id, g FROM t WHERE id < 4");  // t is closed and kept
  ASSERT_EQ(old, "1|1\n2|2\n3|3\n");
  const std::string folder = folder_.path();
  Helper child([&](Helper&) {
    SqlDatabase other(folder);
    TDataTable::TSwap swap(other.directory(), "t", "tnew", false);
    other.run("CREATE TABLE tnew (id INTEGER, g INTEGER, s CHAR(20), extra INTEGER)");
    other.run("INSERT INTO tnew VALUES (1, 10, 'a', 100)");
    other.run("INSERT INTO tnew VALUES (2, 20, 'b', 200)");
    swap.Commit(false);
    ::_exit(0);  // ends with its markers left, before any file moved
    return 0;
  });
  ASSERT_EQ(child.wait(), 0);
  EXPECT_EQ(db_.rows("SELECT id, g, extra FROM t"), "1|10|100\n2|20|200\n");
  EXPECT_EQ(db_.rows("SELECT COUNT(*) FROM t"), "2\n");
}

// The same with the copy's own marker taken away before its commit, as an open elsewhere that
// removes a stale marker of that name just as the copy writes its own may do: the commit names
// it again, so that the take-back here, which looks for the swap marker only beside a copy
// marker, still completes the swap.
TEST_F(ResultPool, AKeptTableTakenBackCompletesASwapWhoseCopyMarkerWentBeforeItsCommit) {
  ASSERT_EQ(db_.run("SELECT id, g FROM t WHERE id < 3"), "1|1\n2|2\n");  // t is closed and kept
  const std::string folder = folder_.path();
  Helper child([&](Helper&) {
    SqlDatabase other(folder);
    TDataTable::TSwap swap(other.directory(), "t", "tnew", false);
    other.run("CREATE TABLE tnew (id INTEGER, g INTEGER)");
    other.run("INSERT INTO tnew VALUES (7, 70)");
    int removed = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder))
      if (e.path().extension() == ".CPY") removed += std::filesystem::remove(e.path());
    if (removed != 1) ::_exit(2);
    swap.Commit(false);
    ::_exit(0);  // ends with its markers left, before any file moved
    return 0;
  });
  ASSERT_EQ(child.wait(), 0);
  EXPECT_EQ(db_.rows("SELECT id, g FROM t"), "7|70\n");
}

// A copy of T (spelt so) ended before it chose a new table's name and left its marker; a later
// copy of t takes that marker over under its other spelling, commits and ends before its files
// moved. The take-back here, which knows the table as t, must still find the committed swap.
TEST_F(ResultPool, AKeptTableTakenBackCompletesASwapWhoseCopyMarkerIsSpeltOtherwise) {
  ASSERT_EQ(db_.run("SELECT id, g FROM t WHERE id < 3"), "1|1\n2|2\n");  // t is closed and kept
  const std::string folder = folder_.path();
  Helper cutShort([&](Helper&) {
    SqlDatabase other(folder);
    TDataTable::TSwap swap(other.directory(), "T", false);
    ::_exit(0);
    return 0;
  });
  ASSERT_EQ(cutShort.wait(), 0);
  Helper committed([&](Helper&) {
    SqlDatabase other(folder);
    TDataTable::TSwap swap(other.directory(), "t", "tnew", false);
    other.run("CREATE TABLE tnew (id INTEGER, g INTEGER)");
    other.run("INSERT INTO tnew VALUES (7, 70)");
    swap.Commit(false);
    ::_exit(std::filesystem::exists(folder + "/T.CPY") && !std::filesystem::exists(folder + "/t.CPY") ? 0
                                                                                                      : 2);
    return 0;
  });
  ASSERT_EQ(committed.wait(), 0) << "the marker left as T.CPY is the one the copy of t took over";
  EXPECT_EQ(db_.rows("SELECT id, g FROM t"), "7|70\n");
}

// Results still in use are never emptied nor handed out: two prepared statements of one shape run
// in turn while the other's result is read, and a clone that outlives its statement's next run.
// Shapes with an autoincrement, a date, a descending order, TOP and averages give their own rows.
TEST_F(ResultPool, ResultsInUseAreNeverHandedOut) {
  db_.run("CREATE TABLE u (a AUTOINC, s CHAR(10), d DATE)");
  for (int i = 0; i < 5; ++i) db_.run("INSERT INTO u (s) VALUES ('x" + std::to_string(i) + "')");
  const std::vector<std::string> shapes = {"SELECT a, s FROM u",
                                           "SELECT a, s FROM u WHERE a > 2",
                                           "SELECT d, a FROM u",
                                           "SELECT s, a FROM u ORDER BY s DESC",
                                           "SELECT s, a FROM u ORDER BY s DESC TOP 2",
                                           "SELECT g, COUNT(*), AVG(id) FROM t GROUP BY g",
                                           "SELECT g, COUNT(*), AVG(id) FROM t WHERE id > 30 GROUP BY g"};
  std::vector<std::string> expected;
  for (const std::string& sql : shapes) expected.push_back(fresh(sql));
  for (int round = 0; round < 2; ++round)
    for (size_t i = 0; i < shapes.size(); ++i) EXPECT_EQ(db_.rows(shapes[i]), expected[i]) << shapes[i];

  const std::string e1 = fresh("SELECT id, s FROM t WHERE g = 1"),
                    e2 = fresh("SELECT id, s FROM t WHERE g = 2");
  sql::TQueryStatement s1(db_.directory()), s2(db_.directory());
  s1.Prepare("SELECT id, s FROM t WHERE g = 1");
  s2.Prepare("SELECT id, s FROM t WHERE g = 2");
  TDataCursor* r1 = s1.Execute();
  TDataCursor* r2 = s2.Execute();
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(SqlDatabase::text(*r1), e1);
    r1 = s1.Execute();
    EXPECT_EQ(SqlDatabase::text(*r2), e2);
    r2 = s2.Execute();
    EXPECT_EQ(db_.run("SELECT id, s FROM t WHERE g = 2"), e2);
    EXPECT_EQ(SqlDatabase::text(*r1), e1);
  }

  const std::string e3 = fresh("SELECT id, s FROM t WHERE g = 3");
  sql::TQueryStatement s(db_.directory());
  s.Prepare("SELECT id, s FROM t WHERE g = 3");
  std::unique_ptr<TDataCursor> clone = s.Execute()->Clone();
  s.Execute();
  EXPECT_EQ(db_.run("SELECT id, s FROM t WHERE g = 1"), e1);
  EXPECT_EQ(SqlDatabase::text(*clone), e3);
  clone.reset();
  EXPECT_EQ(db_.run("SELECT id, s FROM t WHERE g = 1"), e1);
}

// The name of a result gone to the pool reaches nothing: no open, rename, delete or table made
// under it gets at the kept files, and the next statement of its shape shows its own rows only.
TEST_F(ResultPool, AnEmptiedResultIsOutOfReachByItsName) {
  const std::string expected = fresh("SELECT id, s FROM t WHERE g = 1");
  std::string name;
  {
    sql::TQueryStatement s(db_.directory());
    s.Prepare("SELECT id, s FROM t WHERE g = 2");
    name = s.Execute()->TableName();
  }
  ASSERT_EQ(db_.directory().IdleResultCount(), 1u);
  const std::string quoted = "\"" + name + "\"";
  EXPECT_EQ(db_.rows("SELECT * FROM " + quoted).rfind("error: ", 0), 0u);
  EXPECT_ANY_THROW(db_.directory().RenameTable(name, "other", false, false));
  EXPECT_ANY_THROW(db_.directory().DeleteTable(name, false));
  EXPECT_EQ(db_.rows("CREATE TABLE " + quoted + " (q INTEGER)").rfind("error: ", 0), 0u);
  EXPECT_EQ(db_.rows("INSERT INTO " + quoted + " VALUES (5)").rfind("error: ", 0), 0u);
  sql::TQueryStatement s(db_.directory());
  s.Prepare("SELECT id, s FROM t WHERE g = 1");
  TDataCursor* result = s.Execute();
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->TableName(), name);
  EXPECT_EQ(SqlDatabase::text(*result), expected);
}

// A swap of a kept table running in another process when this one opens it again: the open waits
// for the moves and shows the new table, whether the swap began before the open or after.
TEST_F(ResultPool, AKeptTableTakenBackWaitsForASwapRunningElsewhere) {
  for (int delayMs : {0, 300}) {
    SCOPED_TRACE(delayMs);
    const std::string name = "w" + std::to_string(delayMs), fresh = name + "new";
    db_.run("CREATE TABLE " + name + " (id INTEGER)");
    db_.run("INSERT INTO " + name + " VALUES (1)");
    ASSERT_EQ(db_.rows("SELECT id FROM " + name), "1\n");  // closed and kept
    const std::string folder = folder_.path();
    Helper child([&](Helper& self) {
      SqlDatabase other(folder);
      TDataTable::TSwap swap(other.directory(), name, fresh, false);
      other.run("CREATE TABLE " + fresh + " (id INTEGER, extra INTEGER)");
      other.run("INSERT INTO " + fresh + " VALUES (2, 20)");
      swap.Commit(false);
      self.send('c');
      ::usleep(useconds_t(delayMs) * 1000);
      swap.Run();
      return 0;
    });
    ASSERT_EQ(child.receive(), 'c');
    EXPECT_EQ(db_.rows("SELECT id, extra FROM " + name), "2|20\n");
    ASSERT_EQ(child.wait(), 0);
    EXPECT_EQ(db_.rows("SELECT id, extra FROM " + name), "2|20\n");
  }
}

}  // namespace
