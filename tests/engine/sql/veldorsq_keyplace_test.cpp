// Where the plan puts a single-table WHERE of one equality on an indexed column: the index's
// filter when the index can serve it, else the row check. A column equal to a constant of its own
// type is placed without a rating; the same equality twice (which is rated) must be placed alike,
// and both must find the rows a twin table without indexes finds, for each column type and for
// constants of other types, NULL and expressions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/storage/veldorindex.h"
#include "platform/bytes.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace engine::sql {
namespace {

using sql_test::SqlDatabase;

class KeyPlace : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* t : {"k", "p"}) {
      db.run(
          std::string("CREATE TABLE ") + t +
          " (r INTEGER, i INTEGER, s SMALLINT, l LARGEINT, d DATE, m TIME, c CHAR(6), f FLOAT, b BOOLEAN)");
      for (int n = 0; n < 24; ++n)
        db.run(std::string("INSERT INTO ") + t + " VALUES (" + std::to_string(n) + ", " +
               (n % 7 == 3 ? "NULL" : std::to_string(n % 6 - 2)) + ", " + std::to_string(n % 5) + ", " +
               std::to_string(int64_t(n % 4) * 1500000000) + ", '2020-02-0" + std::to_string(n % 3 + 1) +
               "', '10:0" + std::to_string(n % 4) + ":00', 'c" + std::to_string(n % 4) + "', " +
               std::to_string(n % 3) + ".0, " + (n % 2 ? "TRUE" : "FALSE") + ")");
    }
    for (const char* column : {"i", "s", "l", "d", "m", "c", "f", "b"})
      db.run(std::string("CREATE INDEX k") + column + " ON k (" + column + ")");
  }
  // The places of the master query's conjuncts once prepared, or the error's text.
  std::string places(const std::string& sql) {
    try {
      TQueryStatement s(db.directory());
      s.Prepare(sql);
      std::string text;
      for (const TQueryPlan::Conjunct& c : s.MasterQuery()->Plan().Conjuncts)
        text += std::to_string(int(c.Place)) + " ";
      return text;
    } catch (const EVELDOREngineError& e) {
      return "error: " + e.ErrorText();
    }
  }

  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};
};

const char* const kEqualities[] = {
    "i = 1",
    "1 = i",
    "i = -2",
    "s = 3",
    "l = 3000000000",
    "l = 0",
    "d = '2020-02-02'",
    "m = '10:01:00'",
    "c = 'c2'",
    "f = 1.0",
    "b = TRUE",
    "i = 2.0",
    "i = 2.5",
    "s = 70000",
    "l = 1.5",
    "i = NULL",
    "d = NULL",
    "i = 3000000000",
    "s = i",
    "i = (1 + 1)",
    "i = -(-1)",
};

TEST_F(KeyPlace, AnEqualityIsPlacedAsItsRatedTwinAndFindsTheSameRows) {
  for (const char* equality : kEqualities) {
    SCOPED_TRACE(equality);
    const std::string once = places(std::string("SELECT r FROM k WHERE ") + equality);
    const std::string twice = places(std::string("SELECT r FROM k WHERE ") + equality + " AND " + equality);
    EXPECT_EQ(once, twice);
    EXPECT_EQ(places(std::string("UPDATE k SET r = r WHERE ") + equality), once);
    const std::string rows = db.rows(std::string("SELECT r FROM k WHERE ") + equality + " ORDER BY r");
    EXPECT_EQ(rows, db.rows(std::string("SELECT r FROM p WHERE ") + equality + " ORDER BY r"));
    EXPECT_EQ(rows,
              db.rows(std::string("SELECT r FROM k WHERE ") + equality + " AND " + equality + " ORDER BY r"));
  }
  // The index serves the plain integer equality, which the key search then takes.
  EXPECT_EQ(places("SELECT r FROM k WHERE i = 1"), std::to_string(int(cpCursorFilter)) + " ");
}

// Run as changes: each UPDATE and DELETE by one equality leaves both tables alike and counts alike.
TEST_F(KeyPlace, ChangesByOneEqualityLeaveBothTablesAlike) {
  for (const char* equality : kEqualities) {
    SCOPED_TRACE(equality);
    for (const std::string& change : {std::string("UPDATE $ SET r = r + 100 WHERE ") + equality,
                                      std::string("DELETE FROM $ WHERE ") + equality}) {
      auto on = [&](const char* table) {
        std::string text = change;
        text.replace(text.find('$'), 1, table);
        const std::string outcome = db.rows(text);
        return outcome + "#" + std::to_string(outcome.starts_with("error") ? -1 : db.affected);
      };
      EXPECT_EQ(on("k"), on("p"));
      EXPECT_EQ(db.run("SELECT * FROM k ORDER BY r"), db.run("SELECT * FROM p ORDER BY r"));
    }
  }
}

// An index whose text keys were ordered by another version of the table's collation waits for a
// rebuild and cannot be selected. One that begins with an integer column must then be passed by
// for that column's equality, alone or as a join's key, in favour of a sound index on the column
// or of reading the table.
TEST(KeyPlaceStale, AnIndexAwaitingRebuildServesNoEquality) {
  platform::testing::TempFolder folder;
  {
    SqlDatabase db{folder.path()};
    db.run("CREATE TABLE t (r INTEGER, i INTEGER, c CHAR(6), PRIMARY KEY (r) LANGUAGE 'English (UK)')");
    db.run("CREATE TABLE a (x INTEGER)");
    for (int n = 0; n < 12; ++n)
      db.run("INSERT INTO t VALUES (" + std::to_string(n) + ", " + std::to_string(n % 3) + ", 'c" +
             std::to_string(n % 4) + "')");
    for (int n = 0; n < 40; ++n) db.run("INSERT INTO a VALUES (" + std::to_string(n % 5) + ")");
    db.run("CREATE INDEX ic ON t (i, c)");
    db.run("CREATE INDEX ii ON t (i)");
  }
  const std::string idx = folder.path() + "/t.IDX";
  std::vector<uint8_t> bytes = datafile_test::readFileBytes(idx);
  platform::put4(bytes.data() + kIndexCollationVersionOffset,
                 platform::get4(bytes.data() + kIndexCollationVersionOffset) ^ 0x5A5A);
  datafile_test::writeFileBytes(idx, bytes);
  SqlDatabase db{folder.path()};
  EXPECT_EQ(db.rows("SELECT r FROM t WHERE i = 1 ORDER BY r"), "1\n4\n7\n10\n");
  EXPECT_EQ(db.rows("SELECT COUNT(*), SUM(t.r) FROM a JOIN t ON t.i = a.x"), "96|528\n");
  EXPECT_EQ(db.rows("SELECT COUNT(*), SUM(t.r) FROM a LEFT JOIN t ON t.i = a.x WHERE a.x < 4"), "104|528\n");
}

// Two folders hold a table made by the same statements, so that their index files define the
// indexes byte for byte alike, but one file's keys wait for a rebuild. Searched in turns from one
// process, each table takes for a column's equality only the index its own state allows. (The
// index names are this test's own, so that no table of another test defines its indexes alike.)
TEST(KeyPlaceStale, TwinTablesOneAwaitingRebuildSearchedInTurns) {
  platform::testing::TempFolder sound, stale;
  for (const std::string& path : {sound.path(), stale.path()}) {
    SqlDatabase db{path};
    db.run("CREATE TABLE t (r INTEGER, i INTEGER, c CHAR(6), PRIMARY KEY (r) LANGUAGE 'English (UK)')");
    for (int n = 0; n < 12; ++n)
      db.run("INSERT INTO t VALUES (" + std::to_string(n) + ", " + std::to_string(n % 3) + ", 'c" +
             std::to_string(n % 4) + "')");
    db.run("CREATE INDEX twin_ic ON t (i, c)");
    db.run("CREATE INDEX twin_ii ON t (i)");
  }
  const std::string idx = stale.path() + "/t.IDX";
  std::vector<uint8_t> bytes = datafile_test::readFileBytes(idx);
  platform::put4(bytes.data() + kIndexCollationVersionOffset,
                 platform::get4(bytes.data() + kIndexCollationVersionOffset) ^ 0x5A5A);
  datafile_test::writeFileBytes(idx, bytes);
  SqlDatabase first{sound.path()}, second{stale.path()};
  for (int round = 0; round < 2; ++round) {
    for (SqlDatabase* db : {&first, &second, &second, &first}) {
      SCOPED_TRACE(db == &first ? "sound" : "awaiting rebuild");
      EXPECT_EQ(db->rows("SELECT r FROM t WHERE i = 1 ORDER BY r"), "1\n4\n7\n10\n");
      EXPECT_EQ(db->rows("UPDATE t SET c = c WHERE i = 2"), "");
      EXPECT_EQ(db->affected, 4);
    }
  }
}

}  // namespace
}  // namespace engine::sql
