// A single-table SELECT whose row conditions read only the record, or whose TOP keeps its best
// rows by columns it copies, lets the rows it would drop go where the table's cursor holds them,
// and takes the rows whose columns it only copies from there too.
// Each such statement gives what the same statement gives when a condition on a memo (always
// NULL here) makes every row go through the row loop: over NULLs, -0 and 0, texts that differ by
// case, accents or trailing blanks, with and without a locale, ascending and descending, ties;
// and beside another session that changes the rows ahead of the scan from the progress callback.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace sql_test;

// Adds "AND m IS NULL" to the WHERE of `sql` (or a WHERE of it), before its GROUP BY, ORDER BY or
// LANGUAGE: the memo is read through the row loop, so no row is let go where it lies.
std::string throughTheRowLoop(const std::string& sql) {
  size_t end = sql.size();
  for (const char* clause : {" GROUP BY", " ORDER BY", " LANGUAGE"})
    if (const size_t at = sql.find(clause); at != std::string::npos) end = std::min(end, at);
  const size_t where = sql.find(" WHERE ");
  if (where == std::string::npos) return sql.substr(0, end) + " WHERE m IS NULL" + sql.substr(end);
  const size_t from = where + 7;
  return sql.substr(0, from) + "(" + sql.substr(from, end - from) + ") AND m IS NULL" + sql.substr(end);
}

void fill(SqlDatabase& db) {
  db.run("CREATE TABLE t (id INTEGER, k INTEGER, s CHAR(8), f FLOAT, m BLOB(1, 1))");
  const char* texts[] = {"'a'", "'A'", "NULL", "'\xC3\xA9'", "'e\xCC\x81'", "'b'", "'a '", "'B'"};
  const char* floats[] = {"-0.0", "0.0", "NULL", "1.5", "-1.5"};
  for (int i = 0; i < 50; ++i)
    db.run("INSERT INTO t (id, k, s, f) VALUES (" + std::to_string(i) + ", " +
           (i % 7 == 3 ? std::string("NULL") : std::to_string(i * 37 % 11 - 5)) + ", " + texts[i * 3 % 8] +
           ", " + floats[i % 5] + ")");
  // Each copy orders before its original by k: the best rows keep arriving.
  for (int copy = 50; copy < 3200; copy *= 2)
    db.run("INSERT INTO t (id, k, s, f) SELECT id + " + std::to_string(copy) + ", k - 1, s, f FROM t");
}

TEST(RowsLetGoWhereTheyLie, GiveWhatTheRowLoopGives) {
  platform::testing::TempFolder folder;
  SqlDatabase db(folder.path());
  fill(db);
  const std::vector<std::string> statements = {
      "SELECT id FROM t WHERE k < 0",
      "SELECT id, k FROM t WHERE k >= 3",
      "SELECT id FROM t WHERE k = -2",
      "SELECT id FROM t WHERE k <> -2",
      "SELECT id FROM t WHERE k IS NULL",
      "SELECT id FROM t WHERE NOT (k > -1)",
      "SELECT id FROM t WHERE k BETWEEN -2 AND 2",
      "SELECT id FROM t WHERE k IN (1, 3, -5)",
      "SELECT id, s FROM t WHERE s = 'a'",
      "SELECT id, s FROM t WHERE s < 'b'",
      "SELECT id, s FROM t WHERE s LIKE 'a%'",
      "SELECT id, s FROM t WHERE s > 'A' LANGUAGE 'English (UK)'",
      "SELECT id, f FROM t WHERE f < 0",
      "SELECT id, f FROM t WHERE f = 0",
      "SELECT id FROM t WHERE f >= 1.5 OR k = 0",
      "SELECT id FROM t WHERE k < 2 AND s <> 'a'",
      "SELECT id FROM t WHERE id < 40 OR id > 3150",
      "SELECT id FROM t WHERE id > 5000",
      "SELECT id, k, s, f FROM t",
      "SELECT id, s FROM t ORDER BY s, id",
      "SELECT DISTINCT s FROM t",
      "SELECT DISTINCT k, s FROM t WHERE k > 0 LANGUAGE 'English (UK)'",
      "SELECT k, SUM(id) FROM t GROUP BY k",
      "SELECT k, COUNT(*) FROM t WHERE f > -1 GROUP BY k",
      "SELECT COUNT(*), SUM(k) FROM t WHERE s IS NOT NULL",
      "SELECT id, k FROM t ORDER BY k TOP 10",
      "SELECT id, k FROM t ORDER BY k DESC TOP 3",
      "SELECT id, s FROM t ORDER BY s TOP 25",
      "SELECT id, s, f FROM t ORDER BY s DESC, f TOP 1",
      "SELECT id, f, k FROM t ORDER BY f, k DESC TOP 700",
      "SELECT id, s FROM t WHERE k < 0 ORDER BY s TOP 9 LANGUAGE 'English (UK)'",
      "SELECT id, s, k FROM t ORDER BY s DESC, k TOP 4 LANGUAGE 'English (UK)'",
      "SELECT id, k FROM t WHERE s <> 'b' ORDER BY k TOP 0",
  };
  for (const std::string& sql : statements) {
    const std::string slow = throughTheRowLoop(sql);
    EXPECT_EQ(db.rows(sql), db.rows(slow)) << sql << "\nagainst " << slow;
  }
}

// The callback runs with the read locks let go, every other percent; from it another session
// turns rows ahead of the scan in and out of the result. The rows, and the percents reported,
// are those of the row loop.
TEST(RowsLetGoWhereTheyLie, SeeWhatAnotherSessionChangedMeanwhile) {
  for (const char* sql : {"SELECT id FROM t WHERE k < 0", "SELECT id, k FROM t ORDER BY k TOP 10"}) {
    std::vector<std::string> outcomes;
    for (const bool loop : {false, true}) {
      platform::testing::TempFolder folder;
      SqlDatabase reader(folder.path()), writer(folder.path());
      fill(reader);
      // The writer finds its rows through an index; the statements read the table.
      reader.run("CREATE INDEX byid ON t (id)");
      reader.directory().Session().SetProgressSteps(50);
      std::string outcome;
      int calls = 0;
      TQueryStatement select(reader.directory());
      select.SetProgressCallback([&](int percent, bool&) {
        outcome += std::to_string(percent) + " ";
        ++calls;
        // Ahead of the scan: one row into the result, one out of it.
        const std::string in = std::to_string(calls * 31 + 40), out = std::to_string(calls * 31 + 41);
        writer.run("UPDATE t SET k = -100 - id WHERE id = " + in);
        writer.run("UPDATE t SET k = 100 + id WHERE id = " + out);
      });
      select.Prepare(loop ? throughTheRowLoop(sql) : sql);
      outcome += "\n" + SqlDatabase::text(*select.Execute());
      EXPECT_GT(calls, 25) << sql;
      outcomes.push_back(outcome);
    }
    EXPECT_EQ(outcomes[0], outcomes[1]) << sql;
  }
}

// Rows of a table laid out as the result's (no blob, every column copied) are taken as copies of
// their records where they lie, past the rows held so far: with and without DISTINCT, whose
// duplicates leave a row's room behind, TOP, which moves its best rows down, a held-rows limit
// that sends them to the result table part way, and another session adding rows from the
// progress callback past the room reserved for the rows the table had. Each gives what the rows
// give when none is held, and an INSERT of them writes the same rows.
TEST(RowsTakenWhole, GiveWhatTheResultTableGives) {
  platform::testing::TempFolder folder;
  SqlDatabase db(folder.path()), writer(folder.path());
  db.run("CREATE TABLE w (id INTEGER, k INTEGER, s CHAR(8))");
  db.run("CREATE TABLE copied (id INTEGER, k INTEGER, s CHAR(8))");
  const char* texts[] = {"'a'", "NULL", "'b  '", "'c'", "''"};
  for (int i = 0; i < 40; ++i)
    db.run("INSERT INTO w VALUES (" + std::to_string(i % 25) + ", " +
           (i % 9 == 4 ? std::string("NULL") : std::to_string(i % 6 - 2)) + ", " + texts[i % 5] + ")");
  for (int copy = 0; copy < 5; ++copy) db.run("INSERT INTO w SELECT * FROM w");
  db.directory().Session().SetProgressSteps(20);
  const std::vector<std::string> statements = {
      "SELECT * FROM w",
      "SELECT * FROM w WHERE k > 0",
      "SELECT DISTINCT * FROM w",
      "SELECT DISTINCT * FROM w WHERE s IS NOT NULL",
      "SELECT * FROM w ORDER BY k TOP 7",
      "SELECT * FROM w ORDER BY s DESC, id",
  };
  const auto run = [&](const std::string& sql, size_t limit, bool adding) {
    const size_t before = TDataQuery::SetHeldRowsLimit(limit);
    int calls = 0;
    TQueryStatement select(db.directory());
    if (adding)
      select.SetProgressCallback([&](int, bool&) {
        if (++calls <= 3) writer.run("INSERT INTO w VALUES (" + std::to_string(900 + calls) + ", 1, 'new')");
      });
    select.Prepare(sql);
    std::string rows = SqlDatabase::text(*select.Execute());
    db.run("DELETE FROM copied");
    TQueryStatement insert(db.directory());
    insert.Prepare("INSERT INTO copied " + sql);
    insert.Execute();
    rows += "\ncopied:\n" + db.rows("SELECT * FROM copied");
    TDataQuery::SetHeldRowsLimit(before);
    if (adding) db.run("DELETE FROM w WHERE id > 900");
    return rows;
  };
  for (const std::string& sql : statements) {
    const std::string table = run(sql, 0, false);
    EXPECT_EQ(run(sql, size_t(1) << 30, false), table) << sql;
    EXPECT_EQ(run(sql, 20000, false), table) << sql;
    EXPECT_EQ(run(sql, size_t(1) << 30, true), run(sql, 0, true)) << sql;
  }
}

}  // namespace
