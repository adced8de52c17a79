// A text of one statement is read once when it is prepared; a longer text is checked whole and its
// first statement read again. Both roads must give the same model, the same errors, the same rows
// and counts: keywords in any case, quoted names that are keywords, non-ASCII names, the longest
// and shortest keywords, parameters and sub-selects. A prepared UPDATE run again after another
// process committed a change to its row sees that change.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "tests/engine/sql/sql_child_util.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace engine::sql {
namespace {

using sql_test::SqlDatabase;

// Runs `sql` in a process of its own on the tables of `folder`; its exit code, 0 when it ran.
int runElsewhere(const std::string& folder, const std::string& sql) {
  return sql_test::runTestElsewhere(
      "SingleTextOther.DISABLED_InAnotherProcess",
      {{"VELMARON_SINGLETEXT_FOLDER", folder}, {"VELMARON_SINGLETEXT_SQL", sql}});
}

// Run only by runElsewhere.
TEST(SingleTextOther, DISABLED_InAnotherProcess) {
  const char* folder = std::getenv("VELMARON_SINGLETEXT_FOLDER");
  const char* sql = std::getenv("VELMARON_SINGLETEXT_SQL");
  if (!folder || !sql) GTEST_SKIP() << "run by runElsewhere";
  SqlDatabase other(folder);
  other.run(sql);
}

class SingleText : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* t : {"t", "u"}) {
      db.run(std::string("CREATE TABLE ") + t +
             " (id INTEGER, \"select\" CHAR(10), \xC3\xA4rger INTEGER, d DATE, f FLOAT)");
      for (int i = 0; i < 12; ++i)
        db.run(std::string("INSERT INTO ") + t + " VALUES (" + std::to_string(i) + ", 'v" +
               std::to_string(i % 4) + "', " + (i % 5 == 2 ? "NULL" : std::to_string(i % 3)) +
               ", '2021-03-0" + std::to_string(i % 9 + 1) + "', " + std::to_string(i) + ".5)");
    }
    db.run("CREATE INDEX tid ON t (id)");
    db.run("CREATE INDEX uid ON u (id)");
  }
  // The model the statement prepares to, or its error's text.
  std::string prepared(TQueryStatement& s, const std::string& text) {
    try {
      s.Prepare(text);
      return sql_test::dump(s);
    } catch (const EVELDOREngineError& e) {
      return "error: " + e.ErrorText();
    }
  }
  // `statement` with every "$" made `table`.
  static std::string on(const std::string& statement, const char* table) {
    std::string text = statement;
    for (size_t at; (at = text.find('$')) != std::string::npos;) text.replace(at, 1, table);
    return text;
  }

  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};
};

const char* const kStatements[] = {
    "UPDATE $ SET \"select\" = 'Renamed', f = 1.25 WHERE id = 5",
    "uPdAtE $ sEt \"select\" = 'x' wHeRe ID = 3 AnD f > 0",
    "UPDATE $ AS q SET q.\xC3\xA4rger = 7 WHERE q.\xC3\xA4rger IS NULL",
    "UPDATE $ SET d = CURRENT_DATE WHERE id IN (SELECT id FROM $ WHERE id < 2)",
    "UPDATE $ SET f = f * 2 WHERE \"select\" LIKE 'v1%' OR id BETWEEN 9 AND 10",
    "UPDATE $ SET id = id WHERE id = 4 NOJOINOPTIMIZE",
    "UPDATE $ SET \"select\" = NULL WHERE id = 6 NOAUTOINC",
    "DELETE FROM $ WHERE id = 8",
    "delete from $ where \xC3\xA4rger = 1 and id <> 0",
    "INSERT INTO $ VALUES (20, 'new', 1, '2022-01-01', 0.5)",
    "INSERT INTO $ (id, \"select\") SELECT id + 100, \"select\" FROM $ WHERE id < 3",
    "SELECT id, \"select\" FROM $ WHERE id = 2",
    "SELECT \"select\", COUNT(*), SUM(f) FROM $ GROUP BY \"select\" ORDER BY 1",
};
// Errors, each at its own step: the grammar, a column, a type.
const char* const kFaulty[] = {
    "UPDATE $ SET f = TRUE WHERE id = 1",
    "UPDATE $ SET WHERE id = 1",
    "UPDATE $ SET nosuch = 1 WHERE id = 1",
    "UPDATE $ SET id = 'x' WHERE id = 1",
    "DELETE FROM $ WHERE",
    "UPDATE $ SET id = 1 WHERE id = 1 extra",
};

// The statement alone and as the first of two prepare the same model, or fail the same way.
TEST_F(SingleText, PreparesTheModelTheSecondReadingGives) {
  auto compare = [&](const char* statement, bool faulty) {
    SCOPED_TRACE(statement);
    TQueryStatement alone(db.directory()), first(db.directory());
    const std::string text = on(statement, "t");
    const std::string model = prepared(alone, text);
    EXPECT_EQ(model.starts_with("error"), faulty) << model;
    EXPECT_EQ(model, prepared(first, text + "; SELECT id FROM u"));
  };
  for (const char* statement : kStatements) compare(statement, false);
  for (const char* statement : kFaulty) compare(statement, true);
}

// Run alone on one table and as the first of two on its twin: the same rows left, the same rows
// counted, the same error. A prepared text run twice counts as often the second time.
TEST_F(SingleText, RunsAsTheFirstOfTwoStatementsRuns) {
  std::vector<const char*> all(std::begin(kStatements), std::end(kStatements));
  all.insert(all.end(), std::begin(kFaulty), std::end(kFaulty));
  for (const char* statement : all) {
    SCOPED_TRACE(statement);
    const std::string alone = db.rows(on(statement, "t"));
    const int32_t aloneCount = db.affected;
    const std::string first = db.rows(on(statement, "u") + "; DELETE FROM u WHERE id < 0");
    if (alone.starts_with("error")) {
      EXPECT_EQ(alone, first);
    } else {
      EXPECT_FALSE(first.starts_with("error")) << first;
      // The DELETE that follows counts nothing of its own.
      EXPECT_EQ(aloneCount, db.affected);
    }
    EXPECT_EQ(db.run("SELECT * FROM t ORDER BY id, f"), db.run("SELECT * FROM u ORDER BY id, f"));
  }
  for (const char* table : {"t", "u"}) {
    TQueryStatement s(db.directory());
    s.Prepare(on("UPDATE $ SET f = f + 1 WHERE id < 4", table));
    s.Execute();
    const int32_t once = s.RowsAffected;
    s.Execute();
    EXPECT_EQ(s.RowsAffected, once);
  }
  EXPECT_EQ(db.run("SELECT * FROM t ORDER BY id, f"), db.run("SELECT * FROM u ORDER BY id, f"));
}

// A prepared UPDATE whose values the row already holds writes nothing; another process then
// changes the row and commits: the next run finds the change and writes the values again, and a
// run after another process deleted the row counts nothing.
TEST_F(SingleText, APreparedUpdateSeesWhatAnotherProcessCommittedBetweenRuns) {
  for (const char* table : {"t", "u"}) {
    SCOPED_TRACE(table);
    TQueryStatement s(db.directory());
    s.Prepare(on("UPDATE $ SET \"select\" = 'held', f = 2.5 WHERE id = 7", table));
    s.Execute();
    EXPECT_EQ(s.RowsAffected, 1);
    s.Execute();
    EXPECT_EQ(s.RowsAffected, 1);
    ASSERT_EQ(runElsewhere(folder.path(), on("UPDATE $ SET \"select\" = 'other', f = 9 WHERE id = 7", table)),
              0);
    EXPECT_EQ(db.run(on("SELECT \"select\", f FROM $ WHERE id = 7", table)), "other|9\n");
    s.Execute();
    EXPECT_EQ(s.RowsAffected, 1);
    EXPECT_EQ(db.run(on("SELECT \"select\", f FROM $ WHERE id = 7", table)), "held|2.5\n");
    ASSERT_EQ(runElsewhere(folder.path(), on("DELETE FROM $ WHERE id = 7", table)), 0);
    s.Execute();
    EXPECT_EQ(s.RowsAffected, 0);
    EXPECT_EQ(db.run(on("SELECT COUNT(*) FROM $ WHERE \"select\" = 'held'", table)), "0\n");
  }
}

// A text that fails to prepare, in its grammar, in its one statement's preparation or in a later
// statement, runs nothing when the statement is then executed: the run raises the same error
// (an engine server does the same for a client that runs it regardless), and the statement
// prepares and runs the next text as a new one would.
TEST_F(SingleText, AFailedPrepareLeavesNothingToRun) {
  const char* const failing[] = {
      "UPDATE $ SET id = 'x' WHERE id = 1",
      "UPDATE $ SET nosuch = 1 WHERE id = 1",
      "UPDATE $ SET f = 3 WHERE id = 2; SELECT FROM $",
      "DELETE FROM $ WHERE id = 3; UPDATE $ SET",
      "SELECT nosuch FROM $",
  };
  for (const char* text : failing) {
    SCOPED_TRACE(text);
    TQueryStatement s(db.directory());
    const std::string error = prepared(s, on(text, "t"));
    ASSERT_TRUE(error.starts_with("error")) << error;
    try {
      s.Execute();
      ADD_FAILURE() << "ran";
    } catch (const EVELDOREngineError& e) {
      EXPECT_EQ("error: " + e.ErrorText(), error);
    }
    EXPECT_EQ(db.run("SELECT * FROM t ORDER BY id, f"), db.run("SELECT * FROM u ORDER BY id, f"));
    EXPECT_FALSE(prepared(s, on("UPDATE $ SET f = f + 1 WHERE id = 4", "t")).starts_with("error"));
    s.Execute();
    EXPECT_EQ(s.RowsAffected, 1);
    db.run(on("UPDATE $ SET f = f + 1 WHERE id = 4", "u"));
  }
  EXPECT_EQ(db.run("SELECT f FROM t WHERE id = 4"), "9.5\n");
}

}  // namespace
}  // namespace engine::sql
