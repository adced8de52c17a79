// Statements that change hundreds of rows, seen from other processes: one that fails part way
// (a unique key met in the middle) leaves no row changed and no record lock behind; a reader in
// another process sees each statement whole or not at all; a writer killed in the middle of one
// leaves it whole or not at all, with intact files. Plain and encrypted tables, with a memo
// column long enough to take several blob blocks.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tools/tablecheck/tablecheck.h"

namespace {

using namespace engine;
using storage_test::Helper;

constexpr int kSide = 25;  // the table holds kSide * kSide rows
constexpr const char* kPassword = "bulk-pw";

class Database : public sql_test::SessionDatabase {
 public:
  Database(const std::string& folder, bool encrypted)
      : SessionDatabase(folder, encrypted ? kPassword : nullptr) {}
};

// A memo of generation `g`: over 1 KiB, so each value takes several blob blocks.
std::string memoOf(int g) {
  std::string s = "gen" + std::to_string(g) + ":";
  while (s.size() < 1300) s += char('a' + (s.size() * 7 + size_t(g)) % 26);
  return s;
}

// Table t: id (primary key), u (unique index, id * 2), v, m (memo), kSide * kSide rows of
// generation 0.
void makeTable(const std::string& folder, bool encrypted) {
  Database db(folder, encrypted);
  db.run(std::string("CREATE TABLE t (id INTEGER, u INTEGER, v INTEGER, m BLOB(1, 1), PRIMARY KEY (id)") +
         (encrypted ? std::string(" ENCRYPTED WITH '") + kPassword + "'" : "") + ")");
  db.run("CREATE UNIQUE INDEX tu ON t (u)");
  db.run("CREATE TABLE src (n INTEGER)");
  for (int n = 0; n < kSide; ++n) db.run("INSERT INTO src VALUES (" + std::to_string(n) + ")");
  ASSERT_EQ(
      db.run("INSERT INTO t (id, u, v, m) SELECT a.n * " + std::to_string(kSide) + " + b.n + 1, (a.n * " +
             std::to_string(kSide) + " + b.n + 1) * 2, 0, 'm' FROM src a, src b"),
      kSide * kSide);
  db.run("UPDATE t SET m = '" + memoOf(0) + "'");
}

void checkFiles(const std::string& file, bool encrypted) {
  tablecheck::Options options;
  options.checkRecordKeys = true;
  options.encrypted = encrypted;
  const tablecheck::Report report = tablecheck::CheckTableFiles(file, options);
  EXPECT_TRUE(report.ok()) << report.text();
}

// Every row's v and m of one generation; its number, or -1 (with a note) when they are mixed.
int generationOf(const std::vector<std::vector<std::string>>& rows, std::string& note) {
  if (rows.empty()) return -2;
  const std::string v = rows.front()[0], m = rows.front()[1];
  for (const auto& r : rows)
    if (r[0] != v || r[1] != m) {
      note = "v " + v + " beside " + r[0] + " (row " + std::to_string(&r - rows.data() + 1) + ")" +
             (r[1] != m ? ", memo " + r[1].substr(0, 6) + "... beside " + m.substr(0, 6) + "..." : "");
      return -1;
    }
  const int g = std::stoi(v);
  if (m != memoOf(g)) {
    note = "v " + v + " with memo " + m.substr(0, 12);
    return -1;
  }
  return g;
}

class BulkWriters : public ::testing::TestWithParam<bool> {};

// A unique key met in the middle of a bulk UPDATE or INSERT: nothing of the statement stays, and
// every record of it (taken ahead or not) can be locked and written by another process at once.
TEST_P(BulkWriters, AStatementFailingMidwayLeavesNothingAndNoLock) {
  const bool encrypted = GetParam();
  platform::testing::TempFolder folder;
  const std::string path = folder.path();
  makeTable(path, encrypted);
  const int rows = kSide * kSide;
  {
    Database db(path, encrypted);
    // Row 400's new u meets this odd one: 400 rows in, past a run of record locks and a hold of
    // the write pair.
    db.run("INSERT INTO t (id, u, v, m) VALUES (100000, 801, 0, 'x')");
    EXPECT_THROW(db.run("UPDATE t SET u = u + 1, v = 7, m = 'changed' WHERE id < 100000"),
                 EVELDOREngineError);
    // The source's row 300 has an id that exists already.
    db.run("CREATE TABLE extra (id INTEGER, u INTEGER)");
    db.run(
        "INSERT INTO extra (id, u) SELECT a.n * 25 + b.n + 200000, a.n * 25 + b.n + 300000 FROM src a, "
        "src b WHERE a.n < 20");
    db.run("UPDATE extra SET id = 3 WHERE id = 200299");
    EXPECT_THROW(db.run("INSERT INTO t (id, u, v) SELECT id, u, 9 FROM extra"), EVELDOREngineError);
    const auto all = db.rows("SELECT id, u, v FROM t");
    ASSERT_EQ(all.size(), size_t(rows + 1));
    for (const auto& r : all) {
      if (r[0] == "100000") continue;
      ASSERT_EQ(r[2], "0") << "row " << r[0];
      ASSERT_EQ(std::stoi(r[1]), std::stoi(r[0]) * 2) << "row " << r[0];
    }
    const auto memos = db.rows("SELECT m FROM t WHERE id = 400 OR id = 401");
    ASSERT_EQ(memos.size(), 2u);
    for (const auto& r : memos) EXPECT_EQ(r[0], memoOf(0));
  }
  // Another process writes every row and appends onto the slots the failed INSERT had.
  Helper other([&](Helper& h) {
    Database db(path, encrypted);
    if (db.run("UPDATE t SET v = 1 WHERE id < 100000") != rows) return 2;
    if (db.run("INSERT INTO t (id, u, v) SELECT id, u, 1 FROM extra WHERE id <> 3") != 499) return 3;
    h.send('D');
    return 0;
  });
  EXPECT_EQ(other.receive(), 'D');
  EXPECT_EQ(other.wait(), 0);
  {
    Database db(path, encrypted);
    const auto all = db.rows("SELECT id, v FROM t WHERE id <> 100000");
    ASSERT_EQ(all.size(), size_t(rows + 499));
    for (const auto& r : all) ASSERT_EQ(r[1], "1") << "row " << r[0];
    // And this process too, on the same records, with COMMIT INTERVAL: the intervals before the
    // failing row stay.
    db.run("INSERT INTO t (id, u, v, m) VALUES (100001, 501, 0, 'x')");
    EXPECT_THROW(
        db.run("UPDATE t SET u = u + 1, v = 2 WHERE id <= " + std::to_string(rows) + " COMMIT INTERVAL 100"),
        EVELDOREngineError);
    const auto after = db.rows("SELECT id, v FROM t WHERE id <= " + std::to_string(rows));
    for (const auto& r : after) ASSERT_EQ(r[1], std::stoi(r[0]) <= 200 ? "2" : "1") << "row " << r[0];
    EXPECT_EQ(db.run("UPDATE t SET v = 3"), rows + 499 + 2);
  }
  checkFiles(folder.file("t"), encrypted);
}

// A bulk change inside the caller's transaction keeps every record it changes until the end.
// Rolled back, the rows, their keys and the files are as before; committed, every row is as the
// statements left it, through the unique index and in a fresh session. The statements: an UPDATE
// that leaves the unique key's bytes as they were, one that moves the keys of most rows, a DELETE
// and an INSERT, over enough rows that the record cache outgrows its step many times.
TEST_P(BulkWriters, ABulkChangeInATransactionRolledBackLeavesNothingAndCommittedLeavesEveryRow) {
  const bool encrypted = GetParam();
  platform::testing::TempFolder folder;
  const std::string path = folder.path();
  makeTable(path, encrypted);
  using Rows = std::vector<std::vector<std::string>>;
  Rows before;
  const auto statements = [](Database& db) {
    db.run("UPDATE t SET u = u, v = v + 1");
    db.run("UPDATE t SET u = u + 1 WHERE id >= 10000");
    db.run("DELETE FROM t WHERE id >= 10800");
    db.run("INSERT INTO t (id, u, v) SELECT id + 100000, u + 1000000, 5 FROM t WHERE id < 10400");
  };
  {
    Database db(path, encrypted);
    db.run(
        "INSERT INTO t (id, u, v) SELECT a.n * 625 + b.n * 25 + c.n + 10000, (a.n * 625 + b.n * 25 + c.n + "
        "10000) * 2, 0 FROM src a, src b, src c WHERE a.n < 2");
    before = db.rows("SELECT id, u, v FROM t ORDER BY id");
    ASSERT_EQ(before.size(), size_t(kSide * kSide + 1250));
    db.directory().StartTransaction();
    statements(db);
    db.directory().Rollback();
    EXPECT_EQ(db.rows("SELECT id, u, v FROM t ORDER BY id"), before);
    EXPECT_EQ(db.rows("SELECT id FROM t WHERE u = 20002"), Rows{{"10001"}});
    EXPECT_EQ(db.rows("SELECT id FROM t WHERE u = 20003"), Rows{});
  }
  checkFiles(folder.file("t"), encrypted);
  // What the statements make of `before`.
  Rows expected;
  for (const auto& r : before) {
    const int id = std::stoi(r[0]);
    const int u = std::stoi(r[1]) + (id >= 10000 ? 1 : 0);
    if (id >= 10800) continue;
    expected.push_back({r[0], std::to_string(u), std::to_string(std::stoi(r[2]) + 1)});
  }
  for (size_t i = 0, n = expected.size(); i < n; ++i)
    if (std::stoi(expected[i][0]) < 10400)
      expected.push_back({std::to_string(std::stoi(expected[i][0]) + 100000),
                          std::to_string(std::stoi(expected[i][1]) + 1000000), "5"});
  {
    Database db(path, encrypted);
    db.directory().StartTransaction();
    statements(db);
    db.directory().Commit(true, false);
    EXPECT_EQ(db.rows("SELECT id, u, v FROM t ORDER BY id"), expected);
  }
  {
    Database db(path, encrypted);
    EXPECT_EQ(db.rows("SELECT id, u, v FROM t ORDER BY id"), expected);
    EXPECT_EQ(db.rows("SELECT id FROM t WHERE u = 20003"), Rows{{"10001"}});
    EXPECT_EQ(db.rows("SELECT id FROM t WHERE u = 20002"), Rows{});
    EXPECT_EQ(db.rows("SELECT id, v FROM t WHERE u = 1020003"), (Rows{{"110001", "5"}}));
    EXPECT_EQ(db.rows("SELECT id FROM t WHERE u = 21601"), Rows{});
  }
  checkFiles(folder.file("t"), encrypted);
}

// A reader in another process, reading the whole table again and again (WITH LOCKS: the rows of
// one statement under one read) while this one updates every row (and its memo) statement after
// statement, sees one generation at a time.
TEST_P(BulkWriters, AReaderInAnotherProcessSeesEachStatementWholeOrNotAtAll) {
  const bool encrypted = GetParam();
  platform::testing::TempFolder folder;
  const std::string path = folder.path();
  makeTable(path, encrypted);
  // The reader reads until told to stop; what it found wrong it tells then ('F'), so that this
  // process never writes to a reader that is gone.
  Helper reader([&](Helper& h) {
    Database db(path, encrypted);
    int last = 0, reads = 0;
    std::string bad;
    for (;;) {
      // Ready once the first reading is done, so that a slow start on a busy machine never
      // leaves the writer done before anything was read.
      if (reads == 1) h.send('R');
      pollfd p{h.inFd(), POLLIN, 0};
      if (reads > 0 && ::poll(&p, 1, 0) > 0) break;
      std::string note;
      const int g = generationOf(db.rows("SELECT v, m FROM t WITH LOCKS"), note);
      if (g < last) {
        bad = "generation " + std::to_string(g) + " after " + std::to_string(last) + ": " + note;
        if (reads == 0) h.send('R');
        h.receive();
        break;
      }
      last = g;
      ++reads;
    }
    if (!bad.empty()) {
      std::fprintf(stderr, "reader: %s\n", bad.c_str());
      h.send('F');
      return 2;
    }
    h.send(reads > 0 ? 'D' : 'N');
    return 0;
  });
  ASSERT_EQ(reader.receive(), 'R');
  {
    Database db(path, encrypted);
    for (int g = 1; g <= 4; ++g) {
      ASSERT_EQ(db.run("UPDATE t SET v = " + std::to_string(g) + ", m = '" + memoOf(g) + "'"), kSide * kSide);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  reader.send('Q');
  EXPECT_EQ(reader.receive(), 'D');
  EXPECT_EQ(reader.wait(), 0);
  checkFiles(folder.file("t"), encrypted);
}

// Without WITH LOCKS a SELECT lets the tables go between runs of rows, so its rows may come from
// different statements of a writer in another process; but each row is whole: its memo is of
// the same statement as its other columns, never one written (or a block reused) after the row
// was read.
TEST_P(BulkWriters, AReaderWithoutLocksSeesEachRowWhole) {
  const bool encrypted = GetParam();
  platform::testing::TempFolder folder;
  const std::string path = folder.path();
  makeTable(path, encrypted);
  Helper reader([&](Helper& h) {
    Database db(path, encrypted);
    int reads = 0;
    std::string bad;
    for (;;) {
      if (reads == 1) h.send('R');
      pollfd p{h.inFd(), POLLIN, 0};
      if (reads > 0 && ::poll(&p, 1, 0) > 0) break;
      // Alternately the table alone and joined, each of its rows beside two of src.
      const bool joined = reads % 2 == 1;
      const auto rows =
          db.rows(joined ? "SELECT t.id, t.v, t.m FROM t, src WHERE src.n < 2" : "SELECT id, v, m FROM t");
      if (rows.size() != size_t(kSide * kSide * (joined ? 2 : 1)))
        bad = std::to_string(rows.size()) + " rows";
      for (const auto& r : rows)
        if (bad.empty() && r[2] != memoOf(std::stoi(r[1])))
          bad = "row " + r[0] + ": v " + r[1] + " with memo " + r[2].substr(0, 8) + "...";
      if (!bad.empty()) {
        if (reads == 0) h.send('R');
        h.receive();
        break;
      }
      ++reads;
    }
    if (!bad.empty()) {
      std::fprintf(stderr, "reader: %s\n", bad.c_str());
      h.send('F');
      return 2;
    }
    h.send(reads > 0 ? 'D' : 'N');
    return 0;
  });
  ASSERT_EQ(reader.receive(), 'R');
  {
    // Statement after statement, so that the writer waits on the reader's read and gets in
    // whenever it lets the table go in the middle of a scan.
    Database db(path, encrypted);
    for (int g = 1; g <= 12; ++g)
      ASSERT_EQ(db.run("UPDATE t SET v = " + std::to_string(g) + ", m = '" + memoOf(g) + "'"), kSide * kSide);
  }
  reader.send('Q');
  EXPECT_EQ(reader.receive(), 'D');
  EXPECT_EQ(reader.wait(), 0);
  checkFiles(folder.file("t"), encrypted);
}

// A writer killed at a random moment of its bulk statements (UPDATE of every row and memo,
// DELETE and INSERT of a third of them) leaves the statement in flight whole or not at all.
TEST_P(BulkWriters, AWriterKilledInTheMiddleLeavesItsStatementWholeOrNotAtAll) {
  const bool encrypted = GetParam();
  const uint32_t seed = platform::testing::testSeed();
  std::mt19937 random(seed);
  platform::testing::TempFolder folder;
  const std::string path = folder.path();
  makeTable(path, encrypted);
  const int rows = kSide * kSide;
  int acknowledged = 0;  // the generation last acknowledged
  bool thirdGone = false;
  for (int kill = 0; kill < 3; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill) + " (replay with VELMARON_SEED=" + std::to_string(seed) +
                 ")");
    const int from = acknowledged;
    // 'S' before each statement; 'K' after. Statements: update to the next generation, then
    // delete or put back the rows with id > 2 * rows / 3.
    Helper writer([&](Helper& h) -> int {
      Database db(path, encrypted);
      h.send('R');
      bool gone = thirdGone;
      for (int g = from + 1;; ++g) {
        h.send('S');
        db.run("UPDATE t SET v = " + std::to_string(g) + ", m = '" + memoOf(g) + "'");
        h.send('K');
        h.send('S');
        if (gone)
          db.run("INSERT INTO t (id, u, v) SELECT a.n * " + std::to_string(kSide) + " + b.n + 1, (a.n * " +
                 std::to_string(kSide) + " + b.n + 1) * 2, " + std::to_string(g) +
                 " FROM src a, src b WHERE a.n * " + std::to_string(kSide) + " + b.n + 1 > " +
                 std::to_string(2 * rows / 3));
        else
          db.run("DELETE FROM t WHERE id > " + std::to_string(2 * rows / 3));
        gone = !gone;
        h.send('K');
      }
    });
    ASSERT_EQ(writer.receive(), 'R');
    std::this_thread::sleep_for(std::chrono::milliseconds(30 + random() % 250));
    writer.kill9();
    // Replay the acknowledgements.
    int statements = 0;
    bool inFlight = false;
    for (char m = writer.receive(); m; m = writer.receive()) {
      if (m == 'S') inFlight = true;
      if (m == 'K') {
        inFlight = false;
        if (statements++ % 2 == 0)
          ++acknowledged;
        else
          thirdGone = !thirdGone;
      }
    }
    Database db(path, encrypted);
    const int kept = 2 * rows / 3;
    // The rows put back have no memo until the next UPDATE; their v is checked with the count.
    const auto all = db.rows("SELECT v, m FROM t WHERE id <= " + std::to_string(kept));
    const auto third = db.rows("SELECT v FROM t WHERE id > " + std::to_string(kept));
    const bool updateInFlight = inFlight && statements % 2 == 0;
    const bool toggleInFlight = inFlight && statements % 2 == 1;
    const size_t withThird = size_t(rows - kept);
    std::string note;
    const int g = generationOf(all, note);
    ASSERT_EQ(all.size(), size_t(kept));
    if (toggleInFlight) {
      // An INSERT puts back rows of the acknowledged generation; a DELETE takes them away.
      ASSERT_TRUE(third.size() == withThird || third.empty()) << third.size() << " rows";
      thirdGone = third.empty();
    } else {
      ASSERT_EQ(third.size(), thirdGone ? 0 : withThird);
    }
    ASSERT_GE(g, 0) << note;
    if (updateInFlight && g == acknowledged + 1) acknowledged = g;
    ASSERT_EQ(g, acknowledged) << note;
    for (const auto& r : third) ASSERT_EQ(r[0], std::to_string(g));
    checkFiles(folder.file("t"), encrypted);
  }
}

// Results built from the table in bulk (ordered, distinct, grouped, with memos, into a table of
// the folder that another process then reads) hold exactly the rows the table has.
TEST_P(BulkWriters, ResultsHoldExactlyTheTablesRows) {
  const bool encrypted = GetParam();
  platform::testing::TempFolder folder;
  const std::string path = folder.path();
  makeTable(path, encrypted);
  const int rows = kSide * kSide;
  {
    Database db(path, encrypted);
    // v = id % 13, and the memo of that generation; some rows' memos NULL.
    auto idsWhere = [&](auto&& keep) {
      std::string list;
      for (int id = 1; id <= rows; ++id)
        if (keep(id)) list += (list.empty() ? "" : ", ") + std::to_string(id);
      return " WHERE id IN (" + list + ")";
    };
    for (int g = 0; g < 13; ++g)
      db.run("UPDATE t SET v = " + std::to_string(g) + ", m = '" + memoOf(g) + "'" +
             idsWhere([g](int id) { return id % 13 == g; }));
    db.run("UPDATE t SET m = NULL" + idsWhere([](int id) { return id % 10 == 0; }));
    const auto ordered = db.rows("SELECT id, v, m FROM t ORDER BY v DESC, id");
    ASSERT_EQ(ordered.size(), size_t(rows));
    size_t at = 0;
    for (int v = 12; v >= 0; --v)
      for (int id = 1; id <= rows; ++id) {
        if (id % 13 != v) continue;
        ASSERT_EQ(ordered[at][0], std::to_string(id)) << "at " << at;
        ASSERT_EQ(ordered[at][1], std::to_string(v)) << "at " << at;
        ASSERT_EQ(ordered[at][2], id % 10 == 0 ? "NULL" : memoOf(v)) << "at " << at;
        ++at;
      }
    const auto grouped = db.rows("SELECT v, COUNT(*), MIN(id), MAX(u) FROM t GROUP BY v");
    ASSERT_EQ(grouped.size(), 13u);
    for (int v = 0; v < 13; ++v) {
      int count = 0, low = 0, high = 0;
      for (int id = 1; id <= rows; ++id)
        if (id % 13 == v) {
          ++count;
          if (low == 0) low = id;
          high = id * 2;
        }
      EXPECT_EQ(grouped[size_t(v)], (std::vector<std::string>{std::to_string(v), std::to_string(count),
                                                              std::to_string(low), std::to_string(high)}));
    }
    const auto distinct = db.rows("SELECT DISTINCT v FROM t WHERE id > 600 ORDER BY v");
    EXPECT_EQ(distinct.size(), 13u);
    db.run("SELECT id, v, m INTO kept FROM t WHERE v >= 6 ORDER BY id DESC");
  }
  Helper other([&](Helper& h) {
    Database db(path, encrypted);
    const auto kept = db.rows("SELECT id, v, m FROM kept");
    int expected = 0;
    for (int id = rows; id >= 1; --id) {
      if (id % 13 < 6) continue;
      const std::vector<std::string> want{std::to_string(id), std::to_string(id % 13),
                                          id % 10 == 0 ? "NULL" : memoOf(id % 13)};
      if (size_t(expected) >= kept.size() || kept[size_t(expected)] != want) return 2;
      ++expected;
    }
    if (size_t(expected) != kept.size()) return 3;
    h.send('D');
    return 0;
  });
  EXPECT_EQ(other.receive(), 'D');
  EXPECT_EQ(other.wait(), 0);
  checkFiles(folder.file("kept"), false);
}

INSTANTIATE_TEST_SUITE_P(Tables, BulkWriters, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Encrypted" : "Plain"; });

// Sums and counts of INTEGER and LARGEINT columns near their limits, with NULLs, whole, grouped
// and running.
TEST(BulkAggregates, SumsAndCountsNearTheLimitsOfTheirTypes) {
  platform::testing::TempFolder folder;
  Database db(folder.path(), false);
  db.run("CREATE TABLE s (g INTEGER, i INTEGER, l LARGEINT)");
  db.run("INSERT INTO s VALUES (1, 2147483647, 4611686018427387000)");
  db.run("INSERT INTO s VALUES (1, 2147483647, 4611686018427387000)");
  db.run("INSERT INTO s VALUES (2, -2147483647, -4611686018427387000)");
  db.run("INSERT INTO s VALUES (2, -2147483647, -4611686018427387000)");
  db.run("INSERT INTO s VALUES (3, NULL, NULL)");
  const auto text = [&](const std::string& query) {
    std::string out;
    for (const auto& r : db.rows(query)) {
      for (const auto& c : r) out += c + " ";
      out += "/ ";
    }
    return out;
  };
  EXPECT_EQ(text("SELECT SUM(i), SUM(l), COUNT(i), COUNT(l), COUNT(*) FROM s"), "0 0 4 4 5 / ");
  EXPECT_EQ(
      text("SELECT g, SUM(i), SUM(l), COUNT(i), COUNT(*) FROM s GROUP BY g"),
      "1 4294967294 9223372036854774000 2 2 / 2 -4294967294 -9223372036854774000 2 2 / 3 NULL NULL 0 1 / ");
  EXPECT_EQ(text("SELECT SUM(l) FROM s WHERE g = 1"), "9223372036854774000 / ");
  EXPECT_EQ(text("SELECT SUM(i) FROM s WHERE g = 3"), "NULL / ");
  EXPECT_EQ(text("SELECT g, RUNSUM(l) FROM s GROUP BY g"), "1 9223372036854774000 / 2 0 / 3 0 / ");
  // A sum past the type's range is refused, whole or grouped, never wrapped.
  for (int k = 0; k < 3; ++k) db.run("INSERT INTO s VALUES (4, 1, 4611686018427387000)");
  db.run("CREATE TABLE w (g INTEGER, h SMALLINT)");
  for (int k = 0; k < 3; ++k) db.run("INSERT INTO w VALUES (1, 32767)");
  for (const char* q : {"SELECT SUM(l) FROM s WHERE g = 4", "SELECT g, SUM(l) FROM s GROUP BY g",
                        "SELECT SUM(l) FROM s WHERE g = 1 OR g = 4"})
    EXPECT_THROW(db.rows(q), EVELDOREngineError) << q;
  EXPECT_EQ(text("SELECT SUM(h) FROM w"), "98301 / ");
  const auto errorOf = [&](const std::string& query) {
    try {
      db.rows(query);
    } catch (const EVELDOREngineError& e) {
      return e.ErrorText();
    }
    return std::string("none");
  };
  // DECIMAL sums and averages run on the 64-bit scaled value, which the addition of two DECIMALs
  // refuses to leave.
  db.run("CREATE TABLE d (g INTEGER, v DECIMAL(20,2))");
  for (int k = 0; k < 2; ++k) db.run("INSERT INTO d VALUES (1, 600000000000000)");
  db.run("INSERT INTO d VALUES (2, -600000000000000)");
  EXPECT_EQ(text("SELECT SUM(v) FROM d WHERE g = 2"), "-600000000000000 / ");
  for (const char* q : {"SELECT SUM(v) FROM d", "SELECT g, SUM(v) FROM d GROUP BY g", "SELECT AVG(v) FROM d",
                        "SELECT v + v FROM d"})
    EXPECT_EQ(errorOf(q), "SQL error - Numeric overflow in '+'") << q;
}

}  // namespace
