// A statement opens its tables when it is prepared and reads them when it runs: another process
// that changes a table in between (deletes its first row, adds a row before every other, empties
// it, moves a row into a key) must find each run reading the table as it then stands, whether
// the run scans, counts, searches a key, joins, sorts or hands the table's cursor over as a live
// result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/veldorsq.h"
#include "tests/engine/sql/sql_child_util.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace engine::sql {
namespace {

using sql_test::SqlDatabase;

// Runs `sql` in a process of its own on the tables of `folder` (SourceOpenOther.InAnotherProcess);
// its exit code, 0 when the statement ran.
int runElsewhere(const std::string& folder, const std::string& sql) {
  return sql_test::runTestElsewhere(
      "SourceOpenOther.DISABLED_InAnotherProcess",
      {{"VELMARON_SOURCEOPEN_FOLDER", folder}, {"VELMARON_SOURCEOPEN_SQL", sql}});
}

// Run only by runElsewhere.
TEST(SourceOpenOther, DISABLED_InAnotherProcess) {
  const char* folder = std::getenv("VELMARON_SOURCEOPEN_FOLDER");
  const char* sql = std::getenv("VELMARON_SOURCEOPEN_SQL");
  if (!folder || !sql) GTEST_SKIP() << "run by runElsewhere";
  SqlDatabase other(folder);
  other.run(sql);
}

TEST(SourceOpen, AStatementPreparedBeforeAnotherProcessChangesItsTablesReadsThemAsTheyStandAtItsRun) {
  const std::vector<std::string> queries = {
      "SELECT * FROM t",
      "SELECT COUNT(*) FROM t",
      "SELECT SUM(id), MIN(k) FROM t",
      "SELECT id FROM t WHERE k = 7",
      "SELECT id, s FROM t WHERE id > 15",
      "SELECT t.id, u.w FROM t JOIN u ON t.k = u.k",
      "SELECT u.w, t.id FROM u LEFT JOIN t ON u.k = t.k",
      "SELECT id, k FROM t ORDER BY k DESC, id",
  };
  // Live: the statement's source cursor is the result.
  const std::vector<std::string> liveQueries = {"SELECT * FROM t", "SELECT id, s FROM t WHERE k > 3"};
  const std::vector<std::string> changes = {
      "DELETE FROM t WHERE id = 1",
      "INSERT INTO t VALUES (0, 7, 'zero')",
      "DELETE FROM t",
      "UPDATE t SET k = 7 WHERE id = 2",
  };
  for (const std::string& change : changes) {
    SCOPED_TRACE(change);
    platform::testing::TempFolder folder;
    SqlDatabase db(folder.path());
    db.run("CREATE TABLE t (id INTEGER, k INTEGER, s CHAR(8))");
    db.run("CREATE INDEX ik ON t (k)");
    db.run("CREATE TABLE u (k INTEGER, w CHAR(8))");
    for (int i = 1; i <= 20; ++i)
      db.run("INSERT INTO t VALUES (" + std::to_string(i) + ", " + std::to_string(i % 9) + ", 'r" +
             std::to_string(i) + "')");
    for (int k = 0; k < 9; k += 2)
      db.run("INSERT INTO u VALUES (" + std::to_string(k) + ", 'w" + std::to_string(k) + "')");

    std::vector<std::unique_ptr<TQueryStatement>> prepared;
    for (const std::string& sql : queries) {
      prepared.push_back(std::make_unique<TQueryStatement>(db.directory()));
      prepared.back()->Prepare(sql);
    }
    for (const std::string& sql : liveQueries) {
      prepared.push_back(std::make_unique<TQueryStatement>(db.directory()));
      prepared.back()->RequestLive = true;
      prepared.back()->Prepare(sql);
    }
    ASSERT_EQ(runElsewhere(folder.path(), change), 0);

    for (size_t i = 0; i < prepared.size(); ++i) {
      const bool live = i >= queries.size();
      const std::string& sql = live ? liveQueries[i - queries.size()] : queries[i];
      SCOPED_TRACE(sql + (live ? " (live)" : ""));
      TDataCursor* result = prepared[i]->Execute();
      ASSERT_NE(result, nullptr);
      EXPECT_EQ(prepared[i]->Live, live);
      const std::string expected = db.run(sql);
      if (live) {
        // The user's first step on the live cursor, from where the run left it: the first row.
        std::vector<uint8_t> record(result->RecordSize());
        std::string first;
        if (result->GetNextRecord(record.data()) == 0 && !ColumnText(*result, 1, record.data(), first))
          first = "NULL";
        EXPECT_EQ(first, expected.substr(0, expected.find_first_of("|\n")));
        EXPECT_EQ(result->GetRecordCount(), std::count(expected.begin(), expected.end(), '\n'));
      }
      EXPECT_EQ(SqlDatabase::text(*result), expected);
    }
  }
}

}  // namespace
}  // namespace engine::sql
