// The one row of an aggregate over the whole input (COUNT(*), SUM, AVG, MIN, MAX without GROUP
// BY) in a statement's own result, against the same statement writing into a named table: the
// same row read through the cursor, by record number and after the user edits the result, over
// an empty table, a filter that lets nothing or everything through, an in-memory table, and
// inside the caller's transaction with its own uncommitted rows.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/base/veldortypes.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "sql_test_util.h"
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

  platform::testing::TempFolder folder_;
  SqlDatabase db_{folder_.path()};
  int targets_ = 0;
};

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

}  // namespace
