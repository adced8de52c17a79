// The one row of an aggregate over the whole input (COUNT(*), SUM, AVG, MIN, MAX without GROUP
// BY) in a statement's own result, against the same statement writing into a named table: the
// same row read through the cursor, by record number and after the user edits the result, over
// an empty table, a filter that lets nothing or everything through, an in-memory table, and
// inside the caller's transaction with its own uncommitted rows.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/veldortypes.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldortable.h"
#include "sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace engine;
using sql_test::SqlDatabase;

class OneRowAggregate : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.run("CREATE TABLE t (id INTEGER, g INTEGER, s CHAR(20))");
    db_.run("CREATE TABLE e (id INTEGER, g INTEGER, s CHAR(20))");
    db_.run("CREATE TABLE MEMORY m (id INTEGER, g INTEGER, s CHAR(20))");
    for (int id = 1; id <= 40; ++id)
      for (const char* table : {"t", "MEMORY m"})
        db_.run(std::string("INSERT INTO ") + table + " VALUES (" + std::to_string(id) + ", " +
                std::to_string(id % 5) + ", 'v" + std::to_string(id * 7 % 11) + "')");
  }
  // An in-memory table outlives the folder.
  void TearDown() override { db_.run("DROP TABLE MEMORY m"); }

  // What the cursor shows, then what it shows after the user's edits: the row read by record
  // number, a row appended, the first row changed, then deleted.
  static std::string readAndEdit(TDataCursor& c) {
    std::string seen = SqlDatabase::text(c) + "#" + std::to_string(c.GetRecordCount());
    std::vector<uint8_t> row(c.RecordSize());
    c.SetToRecNo(1);
    if (c.GetCurrentRecord(row.data(), false) == 0) {
      std::string value;
      sql::ColumnText(c, 1, row.data(), value);
      seen += "#first " + value;
    }
    c.ClearRecordBuffer(row.data());
    uint8_t number[8] = {};
    PutIntegerValue(number, 77);
    if (c.GetFieldDesc(1).Type() == uint8_t(TEngineFieldType::Integer)) c.PutField(1, row.data(), number);
    c.AppendRecord(row.data());
    seen += "#appended " + SqlDatabase::text(c);
    c.SetToRecNo(1);
    if (c.GetCurrentRecord(row.data(), true) == 0) {
      PutIntegerValue(number, 5);
      if (c.GetFieldDesc(1).Type() == uint8_t(TEngineFieldType::Integer)) c.PutField(1, row.data(), number);
      c.ModifyRecord(row.data());
      seen += "#changed " + SqlDatabase::text(c);
      c.SetToRecNo(1);
      c.GetCurrentRecord(row.data(), false);
      c.DeleteRecord(row.data());
    }
    return seen + "#deleted " + SqlDatabase::text(c) + "#" + std::to_string(c.GetRecordCount());
  }

  // `select` (a select list and FROM part) into the statement's own result, and into a named table.
  void expectSameAsNamed(const std::string& select, const std::string& from) {
    SCOPED_TRACE(select + " " + from);
    std::string own, named;
    {
      sql::TQueryStatement s(db_.directory());
      s.Prepare("SELECT " + select + " " + from);
      TDataCursor* c = s.Execute();
      ASSERT_NE(c, nullptr);
      EXPECT_EQ(s.RowsAffected, 1);
      own = readAndEdit(*c);
    }
    const std::string target = "named" + std::to_string(++targets_);
    {
      sql::TQueryStatement s(db_.directory());
      s.Prepare("SELECT " + select + " INTO " + target + " " + from);
      TDataCursor* c = s.Execute();
      ASSERT_NE(c, nullptr);
      named = readAndEdit(*c);
    }
    db_.run("DROP TABLE " + target);
    EXPECT_EQ(own, named);
    // Run again, its result taken from the pool: the edits of the run before are gone.
    EXPECT_EQ(db_.run("SELECT " + select + " " + from), own.substr(0, own.find('#')));
  }

  // The rows of `sql` from a result made afresh, with no pooled table to take.
  std::string fresh(const std::string& sql) {
    db_.directory().DropIdleResults();
    std::string rows = db_.run(sql);
    db_.directory().DropIdleResults();
    return rows;
  }
  // Whether `s`, prepared, took a pooled result that still holds an earlier statement's row.
  static bool tookARow(sql::TQueryStatement& s) {
    const TDataCursor* result = s.MasterQuery()->ResultCursor;
    return result && result->Table() && result->Table()->HoldsIdleRow();
  }

  platform::testing::TempFolder folder_;
  SqlDatabase db_{folder_.path()};
  int targets_ = 0;
};

// Statements of one result shape in turn, each taking the result the one before left with its
// row: every statement shows its own row (other values, COUNT 0 and NULLs over no rows, a join),
// as the same statement does in a result made afresh, and the row count and place of one.
TEST_F(OneRowAggregate, ARowLeftInThePoolIsWrittenAnewByTheNextStatement) {
  const std::string select =
      "SELECT COUNT(*) AS n, MIN(t.id) AS lo, MAX(t.s) AS hi, AVG(t.g) AS mean, SUM(t.id) AS total ";
  const std::string pair = "SELECT COUNT(*) AS n, MIN(t.id) AS lo ";
  // The UNION's result, of the pair's shape, holds two rows: the one-row statements neither give
  // it theirs nor take it.
  const std::vector<std::string> statements = {
      select + "FROM t",
      select + "FROM t WHERE g = 3",
      select + "FROM t WHERE id > 1000",
      select + "FROM e t",
      select + "FROM t, MEMORY m WHERE t.id = m.id AND m.g = 2",
      select + "FROM t WHERE s = 'v3'",
      pair + "FROM t WHERE g = 2",
      pair + "FROM t WHERE g = 1 UNION ALL " + pair + "FROM t WHERE g = 4",
      pair + "FROM t WHERE g = 3"};
  std::vector<std::string> expected;
  for (const std::string& sql : statements) expected.push_back(fresh(sql));
  EXPECT_EQ(expected[2], "0|NULL|NULL|0|NULL\n");
  EXPECT_EQ(expected[3], expected[2]);
  int taken = 0;
  for (int round = 0; round < 2; ++round)
    for (const std::string& sql : statements) {
      SCOPED_TRACE(sql);
      sql::TQueryStatement s(db_.directory());
      s.Prepare(sql);
      taken += tookARow(s);
      TDataCursor* c = s.Execute();
      ASSERT_NE(c, nullptr);
      const int rows = sql.find("UNION") != std::string::npos ? 2 : 1;
      EXPECT_EQ(s.RowsAffected, rows);
      EXPECT_EQ(c->GetRecordCount(), rows);
      EXPECT_EQ(SqlDatabase::text(*c), expected[&sql - statements.data()]);
      EXPECT_FALSE(c->Table()->HoldsIdleRow());
    }
  // Every one-row statement but the first of each shape, and those after the UNION, which take
  // the result it left emptied (the pool's latest of their shape).
  EXPECT_EQ(taken, 2 * 9 - 2 - 2 - 2);
}

// What the user did to the row or the table of a result does not reach the next statement of its
// shape: a field changed in place, the row deleted, a row appended, the row found by its key.
TEST_F(OneRowAggregate, WhatTheUserMadeOfTheRowStaysWithItsStatement) {
  const std::string statement = "SELECT COUNT(*) AS n, MAX(id) AS top FROM t WHERE g = 2";
  const std::string next = "SELECT COUNT(*) AS n, MAX(id) AS top FROM t WHERE g <> 2";
  const std::string expected = fresh(statement), expectedNext = fresh(next);
  const std::vector<std::pair<std::string, void (*)(TDataCursor&)>> edits = {
      {"changed in place",
       [](TDataCursor& c) {
         std::vector<uint8_t> row(c.RecordSize());
         c.SetToBegin();
         ASSERT_EQ(c.GetNextRecord(row.data()), 0);
         ASSERT_EQ(c.GetCurrentRecord(row.data(), true), 0);
         uint8_t number[8] = {};
         PutIntegerValue(number, 999);
         c.PutField(1, row.data(), number);
         c.ModifyRecord(row.data());
       }},
      {"deleted",
       [](TDataCursor& c) {
         std::vector<uint8_t> row(c.RecordSize());
         c.SetToBegin();
         ASSERT_EQ(c.GetNextRecord(row.data()), 0);
         c.DeleteRecord(row.data());
       }},
      {"appended",
       [](TDataCursor& c) {
         std::vector<uint8_t> row(c.RecordSize());
         c.ClearRecordBuffer(row.data());
         c.AppendRecord(row.data());
       }},
      {"found by its key",
       [](TDataCursor& c) {
         std::vector<uint8_t> bookmark(c.GetKeySize());
         c.SetToRecNo(1);
         c.GetBookmark(bookmark.data());
         c.SetToEnd();
         ASSERT_TRUE(c.SetToBookmark(bookmark.data(), false));
         EXPECT_EQ(c.GetRecordNumber(), 1u);
       }},
  };
  for (const auto& [what, edit] : edits) {
    SCOPED_TRACE(what);
    for (const std::string& sql : {statement, next}) {
      sql::TQueryStatement s(db_.directory());
      s.Prepare(sql);
      TDataCursor* c = s.Execute();
      ASSERT_NE(c, nullptr);
      EXPECT_EQ(SqlDatabase::text(*c), sql == statement ? expected : expectedNext);
      edit(*c);
    }
  }
  EXPECT_EQ(db_.run(statement), expected);
}

// Each new statement counts what the table holds: after another process's commits, inside a
// transaction of its own rows, and after that transaction's rollback.
TEST_F(OneRowAggregate, EachStatementCountsWhatAnotherProcessAndARollbackLeft) {
  const std::string count = "SELECT COUNT(*), MAX(id) FROM t";
  EXPECT_EQ(db_.run(count), "40|40\n");
  const std::string folder = folder_.path();
  storage_test::Helper adder([&](storage_test::Helper&) {
    sql_test::SqlDatabase other(folder);
    other.run("INSERT INTO t VALUES (41, 1, 'other')");
    other.run("INSERT INTO t VALUES (42, 2, 'other')");
    return 0;
  });
  ASSERT_EQ(adder.wait(), 0);
  EXPECT_EQ(db_.run(count), "42|42\n");
  db_.directory().StartTransaction();
  db_.run("INSERT INTO t VALUES (43, 3, 'mine')");
  EXPECT_EQ(db_.run(count), "43|43\n");
  db_.directory().Rollback();
  EXPECT_EQ(db_.run(count), "42|42\n");
  storage_test::Helper emptier([&](storage_test::Helper&) {
    sql_test::SqlDatabase other(folder);
    other.run("DELETE FROM t");
    return 0;
  });
  ASSERT_EQ(emptier.wait(), 0);
  EXPECT_EQ(db_.run(count), "0|NULL\n");
  EXPECT_EQ(db_.run(count), fresh(count));
}

// The record a result stands before right after its run (the buffer a reader of the current
// record finds before any move) is its row, whether the result was made afresh or took a pooled
// one whose row it wrote anew: after another process's commits, inside a transaction of its own
// rows, and after that transaction's rollback.
TEST_F(OneRowAggregate, TheResultStandsWithItsOwnRowInTheBuffer) {
  const std::string count = "SELECT COUNT(*), MAX(id), MIN(s) FROM t";
  // The values in the buffer the cursor holds, then the row read through the cursor.
  auto standing = [&](bool pooled) {
    if (!pooled) db_.directory().DropIdleResults();
    sql::TQueryStatement s(db_.directory());
    s.Prepare(count);
    EXPECT_EQ(tookARow(s), pooled);
    TDataCursor* c = s.Execute();
    std::string seen, value;
    std::vector<uint8_t> buffer = c->GetCurrentRecordBuffer();
    for (uint16_t p = 1; p <= 3; ++p)
      seen += (sql::ColumnText(*c, p, buffer.data(), value) ? value : "NULL") + "|";
    return seen + "#" + SqlDatabase::text(*c);
  };
  auto expectRow = [&](const std::string& row) {
    const std::string fresh = standing(false);
    EXPECT_EQ(fresh, row + "#" + row.substr(0, row.size() - 1) + "\n");
    // Twice from the pool: the second takes the row the first wrote.
    EXPECT_EQ(standing(true), fresh);
    EXPECT_EQ(standing(true), fresh);
  };
  expectRow("40|40|v0|");
  const std::string folder = folder_.path();
  storage_test::Helper adder([&](storage_test::Helper&) {
    sql_test::SqlDatabase other(folder);
    other.run("INSERT INTO t VALUES (41, 1, 'a')");
    return 0;
  });
  ASSERT_EQ(adder.wait(), 0);
  expectRow("41|41|a|");
  db_.directory().StartTransaction();
  db_.run("INSERT INTO t VALUES (43, 3, '0')");
  expectRow("42|43|0|");
  db_.directory().Rollback();
  expectRow("41|41|a|");
}

// A statement that fails part way over a result holding an earlier row leaves it empty, as a
// result made afresh is after the same failure; the next statement shows its own row.
TEST_F(OneRowAggregate, AStatementFailingPartWayLeavesNoRowBehind) {
  const std::string sum = "SELECT SUM(id) AS n FROM t";
  const std::string failing = "SELECT SUM(id * 3000000000000000000) AS n FROM t";
  auto failed = [&] {
    sql::TQueryStatement s(db_.directory());
    s.Prepare(failing);
    const bool tookRow = tookARow(s);
    EXPECT_THROW(s.Execute(), EVELDOREngineError);
    EXPECT_EQ(s.MasterQuery()->ResultCursor->GetRecordCount(), 0);
    return tookRow;
  };
  db_.directory().DropIdleResults();
  EXPECT_FALSE(failed());
  EXPECT_EQ(db_.run(sum), "820\n");
  EXPECT_TRUE(failed());
  EXPECT_EQ(db_.run("SELECT SUM(id) AS n FROM t WHERE g = 1"), "148\n");
}

// A statement that fails before its own run starts, over a result holding an earlier row: its
// subquery fails, or another process's write keeps WITH LOCKS from its table. Its result is left
// empty, as a result made afresh is after the same failure.
TEST_F(OneRowAggregate, AStatementFailingBeforeItsRunLeavesNoRowBehind) {
  const std::string sum = "SELECT SUM(id) AS n FROM t";
  db_.directory().Session().SetLockRetryCount(0);
  db_.directory().Session().SetLockWaitTime(20);
  auto failed = [&](const std::string& sql) {
    SCOPED_TRACE(sql);
    sql::TQueryStatement s(db_.directory());
    s.Prepare(sql);
    EXPECT_TRUE(tookARow(s));
    EXPECT_THROW(s.Execute(), EVELDOREngineError);
    EXPECT_EQ(s.MasterQuery()->ResultCursor->GetRecordCount(), 0);
  };
  EXPECT_EQ(db_.run(sum), "820\n");
  failed("SELECT SUM(id) AS n FROM t WHERE id IN (SELECT SUM(id * 3000000000000000000) FROM t)");
  EXPECT_EQ(db_.run(sum), "820\n");
  const std::string folder = folder_.path();
  storage_test::Helper writer([&](storage_test::Helper& h) {
    sql_test::SqlDatabase other(folder);
    TDataCursor c(other.directory());
    c.SetTableName("t");
    c.Open();
    c.BeginWrite();
    h.send('W');
    h.receive();
    c.EndWrite();
    return 0;
  });
  ASSERT_EQ(writer.receive(), 'W');
  failed("SELECT SUM(id) AS n FROM t WITH LOCKS");
  writer.send('E');
  EXPECT_EQ(writer.wait(), 0);
  EXPECT_EQ(db_.run("SELECT SUM(id) AS n FROM t WITH LOCKS"), "820\n");
}

TEST_F(OneRowAggregate, ShowsTheRowANamedTableHoldsAndTakesTheUsersEdits) {
  const char* selects[] = {"COUNT(*)", "SUM(id), COUNT(*)", "AVG(id), MIN(s), MAX(g)", "COUNT(s), AVG(g)",
                           "MAX(s)"};
  const char* froms[] = {"FROM t", "FROM t WHERE g = 3", "FROM t WHERE id > 1000",   "FROM t WHERE id > 0",
                         "FROM e", "FROM MEMORY m",      "FROM MEMORY m WHERE g < 2"};
  for (const char* select : selects)
    for (const char* from : froms) expectSameAsNamed(select, from);
}

TEST_F(OneRowAggregate, CountsTheCallersUncommittedRowsInItsTransaction) {
  EXPECT_EQ(db_.run("SELECT COUNT(*) FROM t"), "40\n");
  db_.directory().StartTransaction();
  db_.run("INSERT INTO t VALUES (100, 1, 'new')");
  db_.run("INSERT INTO MEMORY m VALUES (100, 1, 'new')");
  db_.run("DELETE FROM t WHERE id < 4");
  EXPECT_EQ(db_.run("SELECT COUNT(*) FROM t"), "38\n");
  EXPECT_EQ(db_.run("SELECT COUNT(*) FROM MEMORY m"), "41\n");
  EXPECT_EQ(db_.run("SELECT COUNT(*), MAX(id) FROM t WHERE g = 1"), "8|100\n");
  EXPECT_EQ(db_.run("SELECT COUNT(*) FROM t WHERE id > 99"), "1\n");
  db_.directory().Rollback();
  EXPECT_EQ(db_.run("SELECT COUNT(*) FROM t"), "40\n");
  EXPECT_EQ(db_.run("SELECT COUNT(*), MAX(id) FROM t WHERE g = 1"), "8|36\n");
}

// Prepared once and run again and again with other statements of its shape between: each run
// counts what the table then holds.
TEST_F(OneRowAggregate, APreparedCountFollowsTheTableBetweenRuns) {
  sql::TQueryStatement s(db_.directory());
  s.Prepare("SELECT COUNT(*) FROM t");
  for (int round = 0; round < 4; ++round) {
    TDataCursor* c = s.Execute();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(SqlDatabase::text(*c), std::to_string(40 + round) + "\n");
    EXPECT_EQ(db_.run("SELECT COUNT(*) FROM e"), "0\n");
    db_.run("INSERT INTO t VALUES (" + std::to_string(200 + round) + ", 0, 'x')");
  }
}

// A result whose field, header or index the user changed is not taken by the next statement of
// its shape, which shows its columns and header as a result made afresh.
TEST_F(OneRowAggregate, AResultTheUserRestructuredIsNotTakenAgain) {
  const std::string sql = "SELECT COUNT(*) FROM t";
  std::string name;
  std::string description;
  int indexes = -1, version = -1;
  {
    sql::TQueryStatement s(db_.directory());
    s.Prepare(sql);
    TDataCursor* c = s.Execute();
    ASSERT_NE(c, nullptr);
    name = c->GetTableFieldDescByNumber(1).Name();
    indexes = c->GetIndexCount();
    version = c->GetUserMajorVersion();
    description = c->GetDescription();
  }
  for (int change = 0; change < 3; ++change) {
    SCOPED_TRACE(change);
    {
      sql::TQueryStatement s(db_.directory());
      s.Prepare(sql);
      TDataCursor* c = s.Execute();
      ASSERT_NE(c, nullptr);
      if (change == 0) {
        TFieldDescriptor d = c->GetTableFieldDescByNumber(1);
        d.SetName("renamed");
        c->SetTableFieldDesc(1, d);
      } else if (change == 1) {
        c->SetHeaderInfo(7, 3, "mine");
      } else {
        TIndexDescriptor index;
        index.name = "bycount";
        index.fieldCount = 1;
        index.fields[0] = 1;
        c->AddSecondaryIndex(index);
      }
    }
    sql::TQueryStatement s(db_.directory());
    s.Prepare(sql);
    TDataCursor* c = s.Execute();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(SqlDatabase::text(*c), "40\n");
    EXPECT_EQ(c->GetTableFieldDescByNumber(1).Name(), name);
    EXPECT_EQ(c->GetUserMajorVersion(), version);
    EXPECT_EQ(c->GetDescription(), description);
    EXPECT_EQ(c->GetIndexCount(), indexes);
  }
}

// Aggregates the one-row road could get wrong: NULL-only and empty inputs,
// DISTINCT, TOP and ORDER BY on the one row, and a join.
TEST_F(OneRowAggregate, TrickyAggregatesShowWhatANamedTableHolds) {
  db_.run("CREATE TABLE n (id INTEGER, x INTEGER)");
  db_.run("INSERT INTO n (id) VALUES (1)");
  db_.run("INSERT INTO n (id) VALUES (2)");
  const std::pair<const char*, const char*> cases[] = {
      {"SUM(x), MIN(x), MAX(x), COUNT(x)", "FROM n"},
      {"AVG(x), COUNT(*)", "FROM n"},
      {"SUM(x), AVG(x), COUNT(x)", "FROM n WHERE id > 5"},
      {"DISTINCT COUNT(*)", "FROM t"},
      {"COUNT(*)", "FROM t TOP 1"},
      {"DISTINCT COUNT(*)", "FROM t TOP 1"},
      {"COUNT(*), MIN(s)", "FROM t ORDER BY 2 TOP 1"},
      {"COUNT(*), SUM(t.id)", "FROM t, n WHERE t.id = n.id"},
      {"COUNT(*)", "FROM t WHERE id IN (SELECT id FROM n)"},
  };
  for (const auto& [select, from] : cases) expectSameAsNamed(select, from);
  EXPECT_EQ(db_.run("SELECT COUNT(*) FROM t ORDER BY 1"), "40\n");
  db_.run("CREATE TABLE a (k AUTOINC, v INTEGER)");
  for (int v = 1; v <= 5; ++v) db_.run("INSERT INTO a (v) VALUES (" + std::to_string(v) + ")");
  db_.run("DELETE FROM a WHERE v < 3");
  expectSameAsNamed("MIN(k), MAX(k), COUNT(k)", "FROM a");
  EXPECT_EQ(db_.run("SELECT MIN(k), MAX(k) FROM a"), "3|5\n");
  EXPECT_EQ(db_.run("SELECT id FROM t WHERE id IN (SELECT MAX(id) FROM n)"), "2\n");
  EXPECT_EQ(db_.run("SELECT COUNT(*) FROM t WHERE id NOT IN (SELECT COUNT(*) FROM n)"), "39\n");
  // UNION parts keep the rows' road: their rows come in the order plain rows of theirs would.
  EXPECT_EQ(
      db_.run("SELECT COUNT(*) FROM t UNION ALL SELECT COUNT(*) FROM e UNION ALL SELECT MAX(id) FROM n"),
      db_.run(
          "SELECT id FROM t WHERE id = 40 UNION ALL SELECT g FROM t WHERE id = 40 UNION ALL SELECT id FROM n "
          "WHERE id = 2"));
  {
    sql::TQueryStatement s(db_.directory());
    s.Prepare("SELECT id FROM t WHERE id IN (SELECT COUNT(*) FROM n) ORDER BY id");
    for (int rows = 2; rows <= 4; ++rows) {
      TDataCursor* c = s.Execute();
      ASSERT_NE(c, nullptr);
      EXPECT_EQ(SqlDatabase::text(*c), std::to_string(rows) + "\n");
      db_.run("INSERT INTO n (id) VALUES (" + std::to_string(rows + 1) + ")");
    }
    db_.run("DELETE FROM n WHERE id > 2");
  }
  db_.run("INSERT INTO n (id, x) SELECT COUNT(*), MAX(id) FROM t");
  EXPECT_EQ(db_.run("SELECT id, x FROM n WHERE x IS NOT NULL"), "40|40\n");
}

// The one row used as a table: a second cursor on it, last then first, a bookmark, an index
// added and searched, a range on it.
TEST_F(OneRowAggregate, TheRowServesTheCallerAsATable) {
  sql::TQueryStatement s(db_.directory());
  s.Prepare("SELECT COUNT(*), MAX(id) FROM t");
  TDataCursor* c = s.Execute();
  ASSERT_NE(c, nullptr);
  std::vector<uint8_t> row(c->RecordSize());
  c->SetToEnd();
  ASSERT_EQ(c->GetPriorRecord(row.data()), 0);
  EXPECT_EQ(c->GetSequenceNumber(), 1);
  std::vector<uint8_t> mark(c->GetKeySize() + 8);
  c->GetBookmark(mark.data());
  c->SetToBegin();
  ASSERT_TRUE(c->SetToBookmark(mark.data(), false));
  EXPECT_EQ(c->GetRecordNumber(), 1u);
  {
    std::unique_ptr<TDataCursor> second = c->Clone();
    EXPECT_EQ(SqlDatabase::text(*second), "40|40\n");
    EXPECT_EQ(second->GetRecordCount(), 1);
  }
  TIndexDescriptor index;
  index.name = "bycount";
  index.fieldCount = 1;
  index.fields[0] = 1;
  c->AddSecondaryIndex(index);
  uint8_t slot = 1;
  while (slot < c->GetIndexCount() && c->GetIndexDesc(slot).name != "bycount") ++slot;
  ASSERT_EQ(c->GetIndexDesc(slot).name, "bycount");
  c->SwitchToIndex(slot);
  EXPECT_EQ(SqlDatabase::text(*c), "40|40\n");
  uint8_t key[8] = {};
  c->ClearRecordBuffer(row.data());
  PutIntegerValue(key, 40);
  c->PutField(1, row.data(), key);
  EXPECT_TRUE(c->FindKey(false, row.data(), 1, false, 0, nullptr));
  c->SetRange(false, row.data(), 1, row.data(), 1);
  EXPECT_EQ(c->GetRecordCount(), 1);
  PutIntegerValue(key, 41);
  c->PutField(1, row.data(), key);
  c->SetRange(false, row.data(), 1, row.data(), 1);
  EXPECT_EQ(c->GetRecordCount(), 0);
  // Run again with the range and the index left on the result: the new row, found by its key.
  db_.run("INSERT INTO t VALUES (41, 1, 'x')");
  c = s.Execute();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(SqlDatabase::text(*c), "41|41\n");
  EXPECT_EQ(c->GetRecordCount(), 1);
  c->SwitchToIndex(slot);
  EXPECT_EQ(c->GetRecordCount(), 1);
  EXPECT_TRUE(c->FindKey(false, row.data(), 1, false, 0, nullptr));
  EXPECT_EQ(c->GetRecordNumber(), 1u);
}

// A second cursor the caller keeps on the result sees the row of the next run, not the one before.
TEST_F(OneRowAggregate, ACursorKeptOnTheResultSeesTheNextRun) {
  sql::TQueryStatement s(db_.directory());
  s.Prepare("SELECT COUNT(*), MAX(id) FROM t");
  TDataCursor* c = s.Execute();
  ASSERT_NE(c, nullptr);
  std::unique_ptr<TDataCursor> kept = c->Clone();
  EXPECT_EQ(SqlDatabase::text(*kept), "40|40\n");
  for (int round = 1; round <= 2; ++round) {
    db_.run("INSERT INTO t VALUES (" + std::to_string(40 + round) + ", 0, 'x')");
    c = s.Execute();
    ASSERT_NE(c, nullptr);
    const std::string now = std::to_string(40 + round) + "|" + std::to_string(40 + round) + "\n";
    EXPECT_EQ(SqlDatabase::text(*c), now);
    EXPECT_EQ(SqlDatabase::text(*kept), now);
    EXPECT_EQ(kept->GetRecordCount(), 1);
  }
}

// Results of other shapes with as many fields (other types, sizes, names, scales, field order)
// returned and asked for again in turn: each statement gets its own columns and row, as the
// same statement writing into a named table shows them.
TEST_F(OneRowAggregate, PooledResultsOfOtherShapesAreNotMixedUp) {
  const std::string selects[] = {"COUNT(*)",          "MAX(s)",           "MIN(id)",        "AVG(g)",
                                 "COUNT(*) AS other", "SUM(id) AS other", "MAX(g), MIN(s)", "MIN(s), MAX(g)",
                                 "COUNT(s), SUM(g)"};
  auto shape = [](TDataCursor& c) {
    std::string out;
    for (uint16_t p = 1; p <= c.FieldCount(); ++p) {
      const TFieldDescriptor& d = c.GetFieldDesc(p);
      out += d.Name() + ":" + std::to_string(d.Type()) + "." + std::to_string(d.StoredSize()) + "." +
             std::to_string(d.StoredScale()) + " ";
    }
    return out + SqlDatabase::text(c);
  };
  std::vector<std::string> named;
  for (const std::string& select : selects) {
    {
      sql::TQueryStatement s(db_.directory());
      s.Prepare("SELECT " + select + " INTO shaped FROM t WHERE id > 3");
      TDataCursor* c = s.Execute();
      ASSERT_NE(c, nullptr);
      named.push_back(shape(*c));
    }
    db_.run("DROP TABLE shaped");
  }
  for (int round = 0; round < 3; ++round)
    for (size_t i = 0; i < std::size(selects); ++i) {
      SCOPED_TRACE(selects[i]);
      sql::TQueryStatement s(db_.directory());
      s.Prepare("SELECT " + selects[i] + " FROM t WHERE id > 3");
      TDataCursor* c = s.Execute();
      ASSERT_NE(c, nullptr);
      EXPECT_EQ(shape(*c), named[i]);
    }
}

// An encrypted result and one in the memory database, twice each (the second from the pool where
// there is one): the row and the user's edits as on a plain result.
TEST_F(OneRowAggregate, EncryptedAndInMemoryResultsHoldTheSameRow) {
  auto seen = [&](const std::string& sql) {
    sql::TQueryStatement s(db_.directory());
    s.Prepare(sql);
    TDataCursor* c = s.Execute();
    if (!c) return std::string("no result");
    EXPECT_EQ(c->IsEncrypted(), sql.find("ENCRYPTED") != std::string::npos);
    return readAndEdit(*c);
  };
  const std::string plain = seen("SELECT COUNT(*), MAX(s) FROM t WHERE g > 1");
  EXPECT_EQ(plain.substr(0, plain.find('#')), "24|v9\n");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(seen("SELECT COUNT(*), MAX(s) FROM t WHERE g > 1 ENCRYPTED WITH 'pw'"), plain);
    EXPECT_EQ(seen("SELECT COUNT(*), MAX(s) INTO MEMORY FROM t WHERE g > 1"), plain);
    EXPECT_EQ(seen("SELECT COUNT(*), MAX(s) FROM MEMORY m WHERE g > 1"), plain);
  }
}

// With a progress callback the statement reports its end after the row went in; the row and the
// user's edits are those of a run without one.
TEST_F(OneRowAggregate, AProgressCallbackLeavesTheRowAsItWas) {
  for (int id = 41; id <= 400; ++id)
    db_.run("INSERT INTO t VALUES (" + std::to_string(id) + ", " + std::to_string(id % 5) + ", 'w')");
  std::string plain, reported;
  {
    sql::TQueryStatement s(db_.directory());
    s.Prepare("SELECT COUNT(*), MIN(s), SUM(id) FROM t WHERE g <> 2");
    plain = readAndEdit(*s.Execute());
  }
  sql::TQueryStatement s(db_.directory());
  s.Prepare("SELECT COUNT(*), MIN(s), SUM(id) FROM t WHERE g <> 2");
  int calls = 0;
  s.SetProgressCallback([&](int, bool&) { ++calls; });
  TDataCursor* c = s.Execute();
  ASSERT_NE(c, nullptr);
  EXPECT_GT(calls, 0);
  EXPECT_EQ(readAndEdit(*c), plain);
  EXPECT_EQ(plain.substr(0, plain.find('#')), "320|v0|64240\n");
}

}  // namespace
