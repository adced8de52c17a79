// A session that keeps running statements on a table sees, at its next statement, what another
// process did to the table's structure in between: a new field, a restructure, a new index, the
// table dropped and made again. A statement opens its tables afresh, and what it skips on a
// reopen (the check of a field list it checked before) must not hide such a change.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace engine;
using storage_test::Helper;

using sql_test::SqlDatabase;

// The first row of the result, its columns joined by '|'.
std::string firstRow(SqlDatabase& db, const std::string& query) {
  const std::string rows = db.run(query);
  return rows.empty() ? "none" : rows.substr(0, rows.find('\n'));
}

uint16_t columns(SqlDatabase& db, const std::string& table) {
  sql::TQueryStatement statement(db.directory());
  statement.Prepare("SELECT * FROM " + table);
  return statement.Execute()->FieldCount();
}

// The rows a change statement reports.
int64_t changed(SqlDatabase& db, const std::string& text) {
  db.run(text);
  return db.affected;
}

// Runs `statements` in a process of its own, on its own session, and waits for it.
void inOtherProcess(const std::string& folder, const std::vector<std::string>& statements) {
  Helper child([&](Helper&) {
    SqlDatabase db(folder);
    for (const std::string& s : statements) db.run(s);
    return 0;
  });
  ASSERT_EQ(child.wait(), 0);
}

class StructureChangedElsewhere : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.run("CREATE TABLE t (a INTEGER, b CHAR(10))");
    db_.run("INSERT INTO t VALUES (1, 'one')");
    // Twice, so that the field list is known from an earlier open.
    ASSERT_EQ(firstRow(db_, "SELECT * FROM t WHERE a = 1"), "1|one");
    ASSERT_EQ(firstRow(db_, "SELECT * FROM t WHERE a = 1"), "1|one");
  }
  platform::testing::TempFolder folder_;
  SqlDatabase db_{folder_.path()};
};

TEST_F(StructureChangedElsewhere, NewFieldIsSeenByTheNextStatement) {
  inOtherProcess(folder_.path(), {"ALTER TABLE t ADD c INTEGER", "UPDATE t SET c = 7"});
  EXPECT_EQ(columns(db_, "t"), 3);
  EXPECT_EQ(firstRow(db_, "SELECT a, c FROM t WHERE a = 1"), "1|7");
  EXPECT_EQ(changed(db_, "UPDATE t SET c = 8 WHERE a = 1"), 1);
  EXPECT_EQ(firstRow(db_, "SELECT * FROM t"), "1|one|8");
}

TEST_F(StructureChangedElsewhere, RestructuredFieldsAreSeenByTheNextStatement) {
  // The same number of fields, each of another type or size: only the descriptors differ.
  inOtherProcess(folder_.path(),
                 {"DROP TABLE t", "CREATE TABLE t (a CHAR(5), b INTEGER)", "INSERT INTO t VALUES ('x', 42)"});
  EXPECT_EQ(columns(db_, "t"), 2);
  EXPECT_EQ(firstRow(db_, "SELECT b, a FROM t"), "42|x");
  EXPECT_EQ(changed(db_, "INSERT INTO t VALUES ('y', 43)"), 1);
  EXPECT_EQ(firstRow(db_, "SELECT a FROM t WHERE b = 43"), "y");
  inOtherProcess(folder_.path(), {"ALTER TABLE t ADD c INTEGER AT 1"});
  EXPECT_EQ(firstRow(db_, "SELECT * FROM t WHERE b = 42"), "NULL|x|42");
}

TEST_F(StructureChangedElsewhere, NewIndexIsSeenByTheNextStatement) {
  inOtherProcess(folder_.path(), {"CREATE INDEX ia ON t (a)"});
  EXPECT_EQ(changed(db_, "INSERT INTO t VALUES (2, 'two')"), 1);
  EXPECT_EQ(firstRow(db_, "SELECT b FROM t WHERE a = 2"), "two");
  // Dropping it works only when this session knows it is there.
  EXPECT_NO_THROW(db_.run("DROP INDEX t.ia"));
  inOtherProcess(folder_.path(), {"ALTER TABLE t ADD PRIMARY KEY (a)"});
  EXPECT_THROW(db_.run("INSERT INTO t VALUES (1, 'again')"), EVELDOREngineError);
  EXPECT_EQ(firstRow(db_, "SELECT COUNT(*) FROM t"), "2");
}

TEST_F(StructureChangedElsewhere, DroppedAndRecreatedTableIsSeenByTheNextStatement) {
  inOtherProcess(folder_.path(), {"DROP TABLE t"});
  EXPECT_THROW(db_.run("SELECT * FROM t"), EVELDOREngineError);
  inOtherProcess(folder_.path(),
                 {"CREATE TABLE t (a INTEGER, b CHAR(10))", "INSERT INTO t VALUES (5, 'five')"});
  // The same structure as before, new rows.
  EXPECT_EQ(firstRow(db_, "SELECT * FROM t"), "5|five");
  EXPECT_EQ(firstRow(db_, "SELECT COUNT(*) FROM t WHERE a = 1"), "0");
}

// Columns bind to the fields of their names in whatever order a statement lists them, ignoring
// ASCII case only; a letter outside ASCII in another case is another name.
TEST_F(StructureChangedElsewhere, ColumnsBindByNameInAnyOrderIgnoringAsciiCaseOnly) {
  db_.run(
      "CREATE TABLE u (a INTEGER, gr\xC3\xB6\xC3\x9F"
      "e CHAR(5), b CHAR(5), c INTEGER)");
  EXPECT_EQ(changed(db_,
                    "INSERT INTO u (c, B, GR\xC3\xB6\xC3\x9F"
                    "E, a) VALUES (3, 'bee', 'x', 1)"),
            1);
  EXPECT_EQ(changed(db_, "INSERT INTO u (b, a) VALUES ('two', 2)"), 1);
  EXPECT_EQ(changed(db_,
                    "UPDATE u SET C = 4, A = 5, gr\xC3\xB6\xC3\x9F"
                    "e = 'y' WHERE a = 1"),
            1);
  EXPECT_EQ(db_.run("SELECT * FROM u"), "5|y|bee|4\n2|NULL|two|NULL\n");
  for (const char* wrong :
       {"INSERT INTO u (GR\xC3\x96\xC3\x9F"
        "E) VALUES ('z')",
        "UPDATE u SET b = 'z', d = 1", "INSERT INTO u (c, b, a, e) VALUES (1, 'z', 1, 1)"})
    EXPECT_EQ(db_.rows(wrong).rfind("error: ", 0), 0u) << wrong;
  EXPECT_EQ(db_.run("SELECT COUNT(*) FROM u"), "2\n");
}

// A statement keeps its tables open from its preparation to its execution: another process
// cannot change the structure under it, and the statement runs on the fields it was prepared
// with; the change is made once the statement is gone.
TEST_F(StructureChangedElsewhere, AStructureChangeWaitsForAPreparedStatement) {
  auto alter = [&] {
    Helper child([&](Helper&) {
      SqlDatabase db(folder_.path());
      return db.rows("ALTER TABLE t ADD c INTEGER AT 1").rfind("error: ", 0) == 0 ? 1 : 0;
    });
    return child.wait();
  };
  {
    sql::TQueryStatement update(db_.directory());
    update.Prepare("UPDATE t SET b = 'uno' WHERE a = 1");
    EXPECT_EQ(alter(), 1);
    update.Execute();
    EXPECT_EQ(update.RowsAffected, 1);
  }
  EXPECT_EQ(alter(), 0);
  EXPECT_EQ(firstRow(db_, "SELECT * FROM t"), "NULL|1|uno");
  EXPECT_EQ(changed(db_, "UPDATE t SET c = 2, b = 'one' WHERE a = 1"), 1);
  EXPECT_EQ(firstRow(db_, "SELECT * FROM t"), "2|1|one");
}

// A query's scratch result writes no journal, yet a SELECT leaves nothing behind in the private
// folder: the result's files go with the statement.
TEST_F(StructureChangedElsewhere, ScratchResultsLeaveNoFileBehind) {
  auto files = [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder_.path()))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  const std::vector<std::string> before = files();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(firstRow(db_, "SELECT b FROM t WHERE a = 1 ORDER BY b"), "one");
  EXPECT_EQ(files(), before);
}

}  // namespace
