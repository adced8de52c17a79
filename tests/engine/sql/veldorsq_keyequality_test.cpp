// UPDATE and DELETE whose WHERE is one equality on an indexed column find their rows by one key
// search instead of a filter over the table. The same statements on a twin table without
// indexes (whose filter reads every row) must leave the same rows, count the same rows and raise
// the same errors: equal keys, NULL keys and NULL values, values converted to the column's type or
// kept in their own, key equalities combined with other conditions, and a table whose rows or
// indexes another process changes between two runs of the same statement text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldortable.h"
#include "tests/engine/sql/sql_check_util.h"
#include "tests/engine/sql/sql_child_util.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tests/platform/test_seed.h"

namespace engine::sql {
namespace {

using sql_test::SqlDatabase;

// Runs `sql` (statements separated by ";") in a process of its own on the tables of `folder`
// (KeyEqualityOther.InAnotherProcess); its exit code, 0 when every statement ran.
int runElsewhere(const std::string& folder, const std::string& sql) {
  return sql_test::runTestElsewhere("KeyEqualityOther.DISABLED_InAnotherProcess",
                                    {{"VELMARON_KEYEQ_FOLDER", folder}, {"VELMARON_KEYEQ_SQL", sql}});
}

// Run only by runElsewhere.
TEST(KeyEqualityOther, DISABLED_InAnotherProcess) {
  const char* folder = std::getenv("VELMARON_KEYEQ_FOLDER");
  const char* sql = std::getenv("VELMARON_KEYEQ_SQL");
  if (!folder || !sql) GTEST_SKIP() << "run by runElsewhere";
  SqlDatabase other(folder);
  other.run(sql);
}

class KeyEquality : public ::testing::Test {
 protected:
  // Twin tables `k` (indexes on id, s, l and d) and `p` (none) with the same rows: r numbers the
  // rows, id repeats (0..9) and is NULL in every seventh row, s is a SMALLINT, l a LARGEINT past
  // the 32-bit range, d a DATE.
  void fill() {
    for (const char* t : {"k", "p"}) {
      db.run(std::string("CREATE TABLE ") + t +
             " (r INTEGER, id INTEGER, s SMALLINT, l LARGEINT, d DATE, n INTEGER, c CHAR(8))");
      for (int i = 0; i < 30; ++i)
        db.run(std::string("INSERT INTO ") + t + " VALUES (" + std::to_string(i) + ", " +
               (i % 7 == 3 ? "NULL" : std::to_string(i % 10)) + ", " + std::to_string(i % 5 - 2) + ", " +
               std::to_string(int64_t(i % 6) * 1000000000) + ", '2020-01-0" + std::to_string(i % 4 + 1) +
               "', 0, 'c" + std::to_string(i) + "')");
    }
    db.run("CREATE INDEX kid ON k (id)");
    db.run("CREATE INDEX ks ON k (s)");
    db.run("CREATE INDEX kl ON k (l)");
    db.run("CREATE INDEX kd ON k (d)");
  }
  // Runs the statement (with "$" for the table) on both tables: the same rows afterwards, the
  // same count or the same error.
  void same(const std::string& statement) {
    auto on = [&](const std::string& table) {
      std::string text = statement;
      for (size_t at; (at = text.find('$')) != std::string::npos;) text.replace(at, 1, table);
      const std::string outcome = db.rows(text);
      // The count is taken before the SELECT that reads the rows sets its own.
      const std::string count = "#" + std::to_string(outcome.starts_with("error") ? 0 : db.affected) + "\n";
      return outcome + count + db.rows("SELECT * FROM " + table + " ORDER BY r");
    };
    EXPECT_EQ(on("k"), on("p")) << statement;
  }
  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};
};

// Random UPDATEs (of plain columns and of the key itself) and DELETEs by one column's equality to
// a value of its type, of another type that converts or does not, or NULL; now and then another
// condition beside it.
TEST_F(KeyEquality, FindsTheRowsTheFilterFindsOverRandomChanges) {
  fill();
  const uint32_t seed = platform::testing::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
  const std::vector<std::string> columns = {"id", "id", "s", "l", "d"};
  const std::vector<std::string> values = {
      "0",   "3",  "9",     "12",         "-1",  "NULL",         "'3'",        "3.0",
      "2.5", "-2", "70000", "4000000000", "2e9", "'2020-01-02'", "1000000000", "'x'"};
  for (int step = 0; step < 120; ++step) {
    const std::string column = pick(columns);
    std::string where = column + " = " + pick(values);
    if (random() % 2) where = pick(values) + " = " + column;
    switch (random() % 8) {
      case 0:
        where += " AND n < 3";
        break;
      case 1:
        where += " OR r = 5";
        break;
      default:
        break;
    }
    switch (random() % 4) {
      case 0:
        same("DELETE FROM $ WHERE " + where);
        break;
      case 1:
        same("UPDATE $ SET id = " + pick({"1", "4", "NULL", "11"}) + " WHERE " + where);
        break;
      default:
        same("UPDATE $ SET n = n + 1, c = 'u" + std::to_string(step) + "' WHERE " + where);
        break;
    }
    // Rows come back now and then, some on freed records.
    if (step % 10 == 9)
      same("INSERT INTO $ VALUES (" + std::to_string(100 + step) + ", " + std::to_string(step % 10) + ", " +
           std::to_string(step % 5) + ", 3000000000, '2020-01-02', 0, 'i')");
  }
}

// The same statement text run again after another process deleted its row, re-keyed it, added a
// row of the key, dropped the index and made a unique one: each run changes the rows that hold
// the key then.
TEST_F(KeyEquality, SeesWhatAnotherProcessChangedBetweenRuns) {
  db.run("CREATE TABLE k (r INTEGER, id INTEGER, n INTEGER)");
  for (int i = 0; i < 20; ++i)
    db.run("INSERT INTO k VALUES (" + std::to_string(i) + ", " + std::to_string(i) + ", 0)");
  db.run("CREATE INDEX kid ON k (id)");
  const std::string update = "UPDATE k SET n = n + 1 WHERE id = 7";
  auto n = [&](const std::string& where) {
    return db.run("SELECT r, n FROM k WHERE " + where + " ORDER BY r");
  };
  db.run(update);
  EXPECT_EQ(db.affected, 1);

  ASSERT_EQ(runElsewhere(folder.path(), "UPDATE k SET id = 70 WHERE id = 7"), 0);
  db.run(update);
  EXPECT_EQ(db.affected, 0);
  EXPECT_EQ(n("id = 70"), "7|1\n");

  ASSERT_EQ(
      runElsewhere(folder.path(), "INSERT INTO k VALUES (20, 7, 10); UPDATE k SET id = 7 WHERE id = 70"), 0);
  db.run(update);
  EXPECT_EQ(db.affected, 2);
  EXPECT_EQ(n("id = 7"), "7|2\n20|11\n");

  ASSERT_EQ(runElsewhere(folder.path(), "DELETE FROM k WHERE r = 7"), 0);
  db.run(update);
  EXPECT_EQ(db.affected, 1);
  EXPECT_EQ(n("id = 7"), "20|12\n");

  ASSERT_EQ(runElsewhere(folder.path(), "DROP INDEX k.kid"), 0);
  db.run(update);
  EXPECT_EQ(db.affected, 1);
  EXPECT_EQ(n("id = 7"), "20|13\n");

  ASSERT_EQ(runElsewhere(folder.path(), "CREATE UNIQUE INDEX ku ON k (id); UPDATE k SET id = 8 WHERE id = 8"),
            0);
  db.run(update);
  EXPECT_EQ(db.affected, 1);
  EXPECT_EQ(n("id = 7"), "20|14\n");
  db.run("DELETE FROM k WHERE id = 7");
  EXPECT_EQ(db.affected, 1);
  ASSERT_EQ(runElsewhere(folder.path(), "INSERT INTO k VALUES (21, 7, 0)"), 0);
  db.run(update);
  EXPECT_EQ(db.affected, 1);
  EXPECT_EQ(db.run("SELECT r, n FROM k WHERE id = 7"), "21|1\n");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM k"), "20\n");
}

// A prepared statement whose key value is a parameter, run with an INTEGER, NULL, a FLOAT that
// converts and one that does not: each run on both tables, the same rows left and counted.
TEST_F(KeyEquality, TakesEachRunsParameterValueAsTheFilterDoes) {
  fill();
  TQueryStatement k(db.directory()), p(db.directory());
  k.Prepare("UPDATE k SET n = n + 1 WHERE id = ?");
  p.Prepare("UPDATE p SET n = n + 1 WHERE id = ?");
  struct Value {
    TEngineFieldType type;
    uint16_t size;
    double number;
    bool isNull;
  };
  for (const Value& v :
       {Value{TEngineFieldType::Integer, 4, 3, false}, Value{TEngineFieldType::Integer, 4, 0, true},
        Value{TEngineFieldType::Float, 8, 4.0, false}, Value{TEngineFieldType::Float, 8, 2.5, false},
        Value{TEngineFieldType::Integer, 4, 9, false}}) {
    SCOPED_TRACE(std::to_string(v.number) + (v.isNull ? " NULL" : ""));
    std::vector<TFieldDescriptor> d(1);
    d[0].SetType(uint8_t(v.type));
    d[0].SetStoredSize(v.size);
    d[0].SetOffset(0);
    std::vector<uint8_t> values(1 + v.size, 0);
    values[0] = v.isNull ? 0 : 1;
    if (v.type == TEngineFieldType::Float) {
      PutFloatValue(&values[1], v.number);
    } else {
      PutIntegerValue(&values[1], int32_t(v.number));
    }
    k.SetParams(1, d, values);
    p.SetParams(1, d, values);
    k.Execute();
    p.Execute();
    EXPECT_EQ(k.RowsAffected, p.RowsAffected);
    EXPECT_EQ(db.run("SELECT r, n FROM k ORDER BY r"), db.run("SELECT r, n FROM p ORDER BY r"));
  }
}

// A statement prepared (its table open, so that no other process can restructure it) and run
// after another process re-keyed rows to its key, and after it deleted one and added another:
// each run finds the rows that hold the key then.
TEST_F(KeyEquality, APreparedStatementRunsOnWhatAnotherProcessLeftSinceItsPlan) {
  db.run("CREATE TABLE k (r INTEGER, id INTEGER, n INTEGER)");
  for (int i = 0; i < 20; ++i)
    db.run("INSERT INTO k VALUES (" + std::to_string(i) + ", " + std::to_string(i % 5) + ", 0)");
  db.run("CREATE INDEX kid ON k (id)");
  for (const char* change :
       {"UPDATE k SET id = 3 WHERE r < 2", "DELETE FROM k WHERE r = 3; INSERT INTO k VALUES (20, 3, 0)"}) {
    SCOPED_TRACE(change);
    TQueryStatement statement(db.directory());
    statement.Prepare("UPDATE k SET n = n + 1 WHERE id = 3");
    ASSERT_EQ(runElsewhere(folder.path(), change), 0);
    statement.Execute();
    EXPECT_EQ(statement.RowsAffected, 6);
  }
  EXPECT_EQ(db.run("SELECT r, n FROM k WHERE n > 0 ORDER BY r"), "0|2\n1|2\n8|2\n13|2\n18|2\n20|1\n");
}

// Inside the caller's transaction the rows found by key are the transaction's own: one it added,
// one it re-keyed away; the rollback puts every row back.
TEST_F(KeyEquality, FindsTheTransactionsOwnRowsAndRollsBack) {
  fill();
  const std::string before = db.run("SELECT * FROM k ORDER BY r");
  db.directory().StartTransaction();
  db.run("INSERT INTO k VALUES (50, 3, 0, 0, '2020-01-01', 0, 'new')");
  db.run("UPDATE k SET id = 40 WHERE id = 4");
  EXPECT_EQ(db.affected, 2);
  db.run("UPDATE k SET n = 9 WHERE id = 3");
  EXPECT_EQ(db.affected, 3);
  db.run("DELETE FROM k WHERE id = 4");
  EXPECT_EQ(db.affected, 0);
  EXPECT_EQ(db.run("SELECT r FROM k WHERE n = 9 ORDER BY r"), "13\n23\n50\n");
  db.directory().Rollback();
  EXPECT_EQ(db.run("SELECT * FROM k ORDER BY r"), before);
}

// A key search that finds one row writes it from where the search left the cursor. Twin tables
// with one row a key: random single-row UPDATEs (of plain columns, of another indexed column, of
// the key itself, to NULL, values the row already holds, a value that fails its conversion) and
// DELETEs leave both tables alike, and each key is then found again through the index.
TEST_F(KeyEquality, ARowFoundAloneIsWrittenWhereTheSearchLeftIt) {
  for (const char* t : {"k", "p"}) {
    db.run(std::string("CREATE TABLE ") + t + " (r INTEGER, id INTEGER, s SMALLINT, n INTEGER, c CHAR(8))");
    for (int i = 0; i < 40; ++i)
      db.run(std::string("INSERT INTO ") + t + " VALUES (" + std::to_string(i) + ", " + std::to_string(i) +
             ", " + std::to_string(i % 5) + ", 0, 'c" + std::to_string(i) + "')");
  }
  db.run("CREATE INDEX kid ON k (id)");
  db.run("CREATE INDEX ks ON k (s)");
  const uint32_t seed = platform::testing::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  auto id = [&] { return std::to_string(random() % 50); };
  for (int step = 0; step < 150; ++step) {
    const std::string where = " WHERE id = " + id();
    switch (random() % 7) {
      case 0:
        same("DELETE FROM $" + where);
        break;
      case 1:
        same("UPDATE $ SET id = " + (random() % 4 == 0 ? std::string("NULL") : std::to_string(50 + step)) +
             where);
        break;
      case 2:
        same("UPDATE $ SET s = " + std::to_string(random() % 7) + ", c = 's" + std::to_string(step) + "'" +
             where);
        break;
      case 3:
        same("UPDATE $ SET n = n, c = c" + where);
        break;
      case 4:
        same("UPDATE $ SET s = 'x'" + where);
        break;
      default:
        same("UPDATE $ SET n = n + 1" + where);
        break;
    }
    if (step % 10 == 9)
      same("INSERT INTO $ VALUES (" + std::to_string(100 + step) + ", " + id() + ", 1, 0, 'i')");
  }
  for (int key = 0; key < 50 + 150; ++key) same("SELECT r, n FROM $ WHERE id = " + std::to_string(key));
  for (int key = 0; key < 7; ++key) same("SELECT r, c FROM $ WHERE s = " + std::to_string(key));
}

// The one row found by key: another session holding it stops the statement and the next run
// writes it; in the caller's transaction the change rolls back; after the table is dropped and
// made anew under its name, with the key on another record, the same text changes that row.
TEST_F(KeyEquality, ARowFoundAloneIsLockedRolledBackAndFoundInATableMadeAnew) {
  db.directory().Session().SetLockRetryCount(0);
  auto make = [&](int shift) {
    db.run("CREATE TABLE k (r INTEGER, id INTEGER, n INTEGER)");
    for (int i = 0; i < 20; ++i)
      db.run("INSERT INTO k VALUES (" + std::to_string(i) + ", " + std::to_string((i + shift) % 20) + ", 0)");
    db.run("CREATE INDEX kid ON k (id)");
  };
  make(0);
  const std::string update = "UPDATE k SET n = n + 1 WHERE id = 7";

  SqlDatabase other(folder.path());
  {
    TDataCursor holder(other.directory());
    holder.SetTableName("k");
    holder.Open();
    holder.Table()->LockRecord(8);
    try {
      db.run(update);
      ADD_FAILURE() << "the held row was passed over";
    } catch (const EVELDOREngineError& e) {
      EXPECT_EQ(e.ErrorCode(), VELDOR_RECLOCKFAILED);
    }
    holder.Table()->UnlockRecord(8);
    db.run(update);
    EXPECT_EQ(db.affected, 1);
    EXPECT_NO_THROW(holder.Table()->LockRecord(8)) << "the row is left locked";
    holder.Table()->UnlockRecord(8);
  }
  EXPECT_EQ(db.run("SELECT r, n FROM k WHERE n > 0"), "7|1\n");

  db.directory().StartTransaction();
  db.run(update);
  db.run("DELETE FROM k WHERE id = 3");
  EXPECT_EQ(db.affected, 1);
  EXPECT_EQ(db.run("SELECT r, n FROM k WHERE id = 7 OR id = 3"), "7|2\n");
  db.directory().Rollback();
  EXPECT_EQ(db.run("SELECT r, n FROM k WHERE id = 7 OR id = 3 ORDER BY r"), "3|0\n7|1\n");

  db.run("DROP TABLE k");
  make(5);
  db.run(update);
  EXPECT_EQ(db.affected, 1);
  EXPECT_EQ(db.run("SELECT r, id, n FROM k WHERE n > 0"), "2|7|1\n");
  EXPECT_EQ(other.run("SELECT r FROM k WHERE id = 7"), "2\n");
}

// One prepared statement of each kind, run again and again on a key that one row holds, several
// rows hold, none holds, NULL, a value kept in its own type, and a key the last run moved its row
// to: a run after one that wrote its row alone must find as the filter finds.
TEST_F(KeyEquality, APreparedStatementRunsAgainAfterWritingARowFoundAlone) {
  for (const char* t : {"k", "p"}) {
    db.run(std::string("CREATE TABLE ") + t + " (r INTEGER, id INTEGER, n INTEGER)");
    for (int i = 0; i < 30; ++i)
      db.run(std::string("INSERT INTO ") + t + " VALUES (" + std::to_string(i) + ", " +
             std::to_string(i < 20 ? i : i % 3) + ", 0)");
  }
  db.run("CREATE INDEX kid ON k (id)");
  struct Statement {
    std::unique_ptr<TQueryStatement> k, p;
  };
  std::vector<Statement> statements;
  for (const char* text : {"UPDATE $ SET n = n + 1 WHERE id = ?", "UPDATE $ SET id = id + 100 WHERE id = ?",
                           "DELETE FROM $ WHERE id = ?"}) {
    Statement s{std::make_unique<TQueryStatement>(db.directory()),
                std::make_unique<TQueryStatement>(db.directory())};
    std::string k = text, p = text;
    k.replace(k.find('$'), 1, "k");
    p.replace(p.find('$'), 1, "p");
    s.k->Prepare(k);
    s.p->Prepare(p);
    statements.push_back(std::move(s));
  }
  const uint32_t seed = platform::testing::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  for (int step = 0; step < 120; ++step) {
    Statement& s = statements[random() % 3 == 2 && step % 4 == 3 ? 2 : random() % 2];
    std::vector<TFieldDescriptor> d(1);
    const int pick = int(random() % 8);
    const bool isFloat = pick == 7;
    d[0].SetType(uint8_t(isFloat ? TEngineFieldType::Float : TEngineFieldType::Integer));
    d[0].SetStoredSize(isFloat ? 8 : 4);
    d[0].SetOffset(0);
    std::vector<uint8_t> values(1 + (isFloat ? 8 : 4), 0);
    values[0] = pick == 6 ? 0 : 1;
    const int key = pick < 3 ? int(random() % 20) : pick < 5 ? int(random() % 3) : int(100 + random() % 20);
    if (isFloat) {
      PutFloatValue(&values[1], key + 0.5);
    } else {
      PutIntegerValue(&values[1], key);
    }
    SCOPED_TRACE("step " + std::to_string(step) + " key " + std::to_string(key));
    s.k->SetParams(1, d, values);
    s.p->SetParams(1, d, values);
    s.k->Execute();
    s.p->Execute();
    ASSERT_EQ(s.k->RowsAffected, s.p->RowsAffected);
    ASSERT_EQ(db.run("SELECT r, id, n FROM k ORDER BY r"), db.run("SELECT r, id, n FROM p ORDER BY r"));
  }
  for (int key = 0; key < 120; ++key)
    EXPECT_EQ(db.run("SELECT r, n FROM k WHERE id = " + std::to_string(key)),
              db.run("SELECT r, n FROM p WHERE id = " + std::to_string(key)));
}

// A prepared statement that wrote the one row holding its key, run again after another process
// moved the key to another row, deleted the row and added one with the key, and gave the key to
// a second row: each run changes the rows that hold the key then.
TEST_F(KeyEquality, APreparedStatementRunsOnAnotherProcessesChangeAfterARowFoundAlone) {
  db.run("CREATE TABLE k (r INTEGER, id INTEGER, n INTEGER)");
  for (int i = 0; i < 20; ++i)
    db.run("INSERT INTO k VALUES (" + std::to_string(i) + ", " + std::to_string(i) + ", 0)");
  db.run("CREATE INDEX kid ON k (id)");
  TQueryStatement statement(db.directory());
  statement.Prepare("UPDATE k SET n = n + 1 WHERE id = 7");
  statement.Execute();
  EXPECT_EQ(statement.RowsAffected, 1);
  const std::pair<const char*, int> changes[] = {
      {"UPDATE k SET id = 70 WHERE id = 7; UPDATE k SET id = 7 WHERE r = 3", 1},
      {"DELETE FROM k WHERE id = 7; INSERT INTO k VALUES (20, 7, 5)", 1},
      {"UPDATE k SET id = 7 WHERE r = 4", 2},
      {"UPDATE k SET id = 8 WHERE id = 7", 0}};
  for (const auto& [change, rows] : changes) {
    SCOPED_TRACE(change);
    ASSERT_EQ(runElsewhere(folder.path(), change), 0);
    statement.Execute();
    EXPECT_EQ(statement.RowsAffected, rows);
  }
  EXPECT_EQ(db.run("SELECT r, id, n FROM k WHERE n > 0 ORDER BY r"), "4|8|1\n7|70|1\n20|8|7\n");
}

// Every row of a table whose key index spans many pages changed by its own key, one statement a
// row, so that some of the rows found alone end a page of the index: each statement changes its
// own row and only it, and a DELETE by each key of half of them leaves the other half.
TEST_F(KeyEquality, EachRowFoundAloneAcrossTheIndexsPagesIsTheOneWritten) {
  db.run("CREATE TABLE k (r INTEGER, id INTEGER, n INTEGER, c CHAR(40))");
  constexpr int kRows = 1200;
  db.directory().StartTransaction();
  for (int i = 0; i < kRows; ++i)
    db.run("INSERT INTO k VALUES (" + std::to_string(i) + ", " + std::to_string(i * 7 % kRows) + ", 0, 'c')");
  db.directory().Commit(true, false);
  db.run("CREATE INDEX kid ON k (id)");
  for (int key = 0; key < kRows; ++key) {
    db.run("UPDATE k SET n = r WHERE id = " + std::to_string(key));
    ASSERT_EQ(db.affected, 1) << key;
  }
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM k WHERE n <> r"), "0\n");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM k WHERE n = r"), std::to_string(kRows) + "\n");
  for (int key = 0; key < kRows / 2; ++key) {
    db.run("DELETE FROM k WHERE id = " + std::to_string(key));
    ASSERT_EQ(db.affected, 1) << key;
  }
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM k WHERE id < " + std::to_string(kRows / 2)), "0\n");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM k"), std::to_string(kRows / 2) + "\n");
}

// Rows found alone by key in tables with a memo column, plain and encrypted: changes of the memo
// (longer, shorter, emptied, kept), of the key and deletes leave the rows as on a twin table
// without indexes, another session reads the same rows, and the table checks sound.
TEST_F(KeyEquality, ARowFoundAloneWithAMemoPlainOrEncryptedIsWrittenWhole) {
  constexpr const char* kPassword = "key-pw";
  db.directory().Session().AddPassword(kPassword);
  for (const bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "plain");
    for (const char* t : {"k", "p"}) {
      db.rows(std::string("DROP TABLE ") + t);
      db.run(std::string("CREATE TABLE ") + t + " (r INTEGER, id INTEGER, n INTEGER, m BLOB(10, 1)" +
             (encrypted ? std::string(" ENCRYPTED WITH '") + kPassword + "')" : std::string(")")));
      for (int i = 0; i < 30; ++i)
        db.run(std::string("INSERT INTO ") + t + " VALUES (" + std::to_string(i) + ", " + std::to_string(i) +
               ", 0, '" + std::string(size_t(i % 4) * 30, char('a' + i % 26)) + "')");
    }
    db.run("CREATE INDEX kid ON k (id)");
    const uint32_t seed = platform::testing::testSeed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    for (int step = 0; step < 60; ++step) {
      const std::string where = " WHERE id = " + std::to_string(random() % 35);
      switch (random() % 5) {
        case 0:
          same("UPDATE $ SET m = '" + std::string(size_t(random() % 300), char('a' + step % 26)) + "'" +
               where);
          break;
        case 1:
          same("UPDATE $ SET m = NULL, n = n + 1" + where);
          break;
        case 2:
          same("UPDATE $ SET m = m, n = n + 1" + where);
          break;
        case 3:
          same("UPDATE $ SET id = id + 100" + where);
          break;
        default:
          same("DELETE FROM $" + where);
          break;
      }
    }
    SqlDatabase other(folder.path());
    if (encrypted) other.directory().Session().AddPassword(kPassword);
    EXPECT_EQ(other.run("SELECT r, id, n, m FROM k ORDER BY r"),
              db.run("SELECT r, id, n, m FROM p ORDER BY r"));
    sql_test::expectSound(db.directory(), folder.path(), "k", encrypted, "after the changes");
  }
}

// The table of a statement whose WHERE is one key equality opens in the key's index. Prepared
// statements run first with a value the key search cannot take (the run then works in that index
// without a search before it), then after changes between their plan and a run and between runs:
// rows another statement of this process added, deleted and re-keyed in and out of a transaction
// (each seen through the view the cursor keeps while nothing changed), a rollback, and another
// process's commit. Each run changes, counts and leaves the rows the twin table's filter does.
TEST_F(KeyEquality, AStatementOpenInItsKeysIndexSeesEachChangeBeforeAndBetweenItsRuns) {
  for (const char* t : {"k", "p"}) {
    db.run(std::string("CREATE TABLE ") + t + " (r INTEGER, id INTEGER, n INTEGER)");
    for (int i = 0; i < 30; ++i)
      db.run(std::string("INSERT INTO ") + t + " VALUES (" + std::to_string(i) + ", " +
             std::to_string(i % 6) + ", 0)");
  }
  db.run("CREATE INDEX kid ON k (id)");
  const char* const texts[] = {"UPDATE $ SET n = n + 1 WHERE id = ?", "UPDATE $ SET id = 9 WHERE ? = id",
                               "DELETE FROM $ WHERE id = ?"};
  struct Statement {
    std::unique_ptr<TQueryStatement> k, p;
  };
  std::vector<Statement> statements;
  for (const char* text : texts) {
    Statement s{std::make_unique<TQueryStatement>(db.directory()),
                std::make_unique<TQueryStatement>(db.directory())};
    std::string k = text, p = text;
    k.replace(k.find('$'), 1, "k");
    p.replace(p.find('$'), 1, "p");
    s.k->Prepare(k);
    s.p->Prepare(p);
    statements.push_back(std::move(s));
  }
  // Runs statement `which` on both tables with `key` (a FLOAT when it has a fraction, NULL below 0).
  auto run = [&](size_t which, double key) {
    SCOPED_TRACE(std::string(texts[which]) + " with " + std::to_string(key));
    const bool isFloat = key != double(int(key));
    std::vector<TFieldDescriptor> d(1);
    d[0].SetType(uint8_t(isFloat ? TEngineFieldType::Float : TEngineFieldType::Integer));
    d[0].SetStoredSize(isFloat ? 8 : 4);
    d[0].SetOffset(0);
    std::vector<uint8_t> values(1 + (isFloat ? 8 : 4), 0);
    values[0] = key < 0 ? 0 : 1;
    if (isFloat) {
      PutFloatValue(&values[1], key);
    } else {
      PutIntegerValue(&values[1], int32_t(key));
    }
    Statement& s = statements[which];
    s.k->SetParams(1, d, values);
    s.p->SetParams(1, d, values);
    s.k->Execute();
    s.p->Execute();
    EXPECT_EQ(s.k->RowsAffected, s.p->RowsAffected);
    EXPECT_EQ(db.run("SELECT r, id, n FROM k ORDER BY r"), db.run("SELECT r, id, n FROM p ORDER BY r"));
  };
  auto both = [&](const std::string& statement) {
    for (const char* t : {"k", "p"}) {
      std::string text = statement;
      for (size_t at; (at = text.find('$')) != std::string::npos;) text.replace(at, 1, t);
      db.run(text);
    }
  };
  run(0, 2.5);
  run(1, 3.5);
  run(2, -1);
  run(0, 2.0);
  both("INSERT INTO $ VALUES (30, 2, 7)");
  run(0, 2);
  both("UPDATE $ SET id = 2 WHERE r = 1");
  run(0, 2);
  run(1, 2);
  run(0, 2);
  run(0, 9);
  db.directory().StartTransaction();
  run(0, 1);
  both("DELETE FROM $ WHERE r = 7");
  run(0, 1);
  both("INSERT INTO $ VALUES (31, 1, 0)");
  run(2, 1);
  run(0, 1);
  db.directory().Rollback();
  run(0, 1);
  run(0, 1);
  for (const char* t : {"k", "p"})
    ASSERT_EQ(
        runElsewhere(folder.path(), std::string("UPDATE ") + t + " SET id = 1 WHERE r = 4; INSERT INTO " + t +
                                        " VALUES (32, 1, 5)"),
        0);
  run(0, 1);
  run(2, 1);
  run(0, 1);
  run(1, 5);
  run(0, 9);
}

// Statements by key over tables whose index definitions differ in one point each (the column an
// index leads with, its direction, a second field, the column's type, none at all) and are
// otherwise alike, taken in turns in one process: each finds the rows its own table's filter
// finds, whatever table the statement before it searched.
TEST_F(KeyEquality, EachTableInTurnIsSearchedByItsOwnIndexes) {
  const std::pair<const char*, const char*> tables[] = {{"INTEGER", "CREATE INDEX kx ON $ (id)"},
                                                        {"INTEGER", "CREATE DESC INDEX kx ON $ (id)"},
                                                        {"INTEGER", "CREATE INDEX kx ON $ (r)"},
                                                        {"INTEGER", "CREATE INDEX kx ON $ (id, r)"},
                                                        {"INTEGER", "CREATE INDEX kx ON $ (r, id)"},
                                                        {"SMALLINT", "CREATE INDEX kx ON $ (id)"},
                                                        {"INTEGER", ""}};
  std::vector<std::string> names;
  for (const auto& [type, index] : tables) {
    const std::string k = "k" + std::to_string(names.size()), p = "p" + std::to_string(names.size());
    for (const std::string& t : {k, p}) {
      db.run("CREATE TABLE " + t + " (r INTEGER, id " + type + ", n INTEGER)");
      for (int i = 0; i < 24; ++i)
        db.run("INSERT INTO " + t + " VALUES (" + std::to_string(i) + ", " + std::to_string(i % 6) + ", 0)");
    }
    std::string text = index;
    if (const size_t at = text.find('$'); at != std::string::npos) text.replace(at, 1, k);
    if (!text.empty()) db.run(text);
    names.push_back(std::to_string(names.size()));
  }
  // Each statement on one table follows one on another: the tables with indexes go first in
  // turn, their twins after them, and then every pair is compared.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto update = [&](const std::string& prefix, size_t n) {
      return "UPDATE " + prefix + names[n] + " SET n = n + 1 WHERE id = " + std::to_string((round + n) % 6);
    };
    auto remove = [&](const std::string& prefix, size_t n) {
      return "DELETE FROM " + prefix + names[n] + " WHERE id = " + std::to_string((round + n + 3) % 6);
    };
    for (const auto& statement : {std::function<std::string(const std::string&, size_t)>(update),
                                  std::function<std::string(const std::string&, size_t)>(remove)}) {
      std::vector<std::string> outcomes[2];
      for (int side = 0; side < 2; ++side)
        for (size_t n = 0; n < names.size(); ++n) {
          const std::string outcome = db.rows(statement(side == 0 ? "k" : "p", n));
          outcomes[side].push_back(outcome + "#" + std::to_string(db.affected));
        }
      for (size_t n = 0; n < names.size(); ++n)
        EXPECT_EQ(outcomes[0][n] + "\n" + db.rows("SELECT * FROM k" + names[n] + " ORDER BY r"),
                  outcomes[1][n] + "\n" + db.rows("SELECT * FROM p" + names[n] + " ORDER BY r"))
            << statement("k", n);
    }
  }
}

// Only an ascending, named index led by the column serves the key search. Between two runs of
// the same statements another process replaces the table's indexes: one descending on the
// column, one that holds it second, one that it leads with another field, a unique one, a primary
// key on it, none; each run leaves and counts the rows the twin table's filter does, and a failed
// update changes nothing on either.
TEST_F(KeyEquality, ServedOnlyByAnAscendingIndexLedByTheColumnAsAnotherProcessReplacesIndexes) {
  for (const char* t : {"k", "p"}) {
    db.run(std::string("CREATE TABLE ") + t + " (r INTEGER, id INTEGER, n INTEGER, c CHAR(4))");
    for (int i = 0; i < 24; ++i)
      db.run(std::string("INSERT INTO ") + t + " VALUES (" + std::to_string(i) + ", " +
             std::to_string(i % 8) + ", 0, 'c')");
  }
  const char* const indexes[] = {"CREATE DESC INDEX kx ON k (id)",
                                 "DROP INDEX k.kx; CREATE INDEX kx ON k (r, id)",
                                 "DROP INDEX k.kx; CREATE INDEX kx ON k (id, r)",
                                 "DROP INDEX k.kx; CREATE DESC INDEX ky ON k (n); CREATE INDEX kx ON k (id)",
                                 "DROP INDEX k.kx; DROP INDEX k.ky; CREATE UNIQUE INDEX kx ON k (r)",
                                 "DROP INDEX k.kx; ALTER TABLE k ADD PRIMARY KEY (r)",
                                 "ALTER TABLE k DROP PRIMARY KEY"};
  int step = 0;
  for (const char* change : indexes) {
    SCOPED_TRACE(change);
    ASSERT_EQ(runElsewhere(folder.path(), change), 0);
    const std::string key = std::to_string(step % 8);
    same("UPDATE $ SET n = n + 1, c = 'u" + std::to_string(step) + "' WHERE id = " + key);
    // The key itself changes: the rows leave the key for another and come back.
    same("UPDATE $ SET id = id + 10 WHERE id = " + key);
    same("UPDATE $ SET id = id - 10 WHERE " + key + " + 10 = id");
    // A value the column cannot hold fails the statement with no row changed.
    same("UPDATE $ SET c = 'toolong' WHERE id = " + key);
    same("UPDATE $ SET n = 'x' WHERE id = " + key);
    same("DELETE FROM $ WHERE id = " + std::to_string((step + 3) % 8));
    same("INSERT INTO $ VALUES (" + std::to_string(100 + step) + ", " + std::to_string((step + 3) % 8) +
         ", 0, 'i')");
    ++step;
  }
}

}  // namespace
}  // namespace engine::sql
