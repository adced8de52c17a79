// INSERT ... SELECT in the statement's own transaction gathers its rows and appends them
// together; in the caller's transaction it appends row after row. Both must leave the same table:
// the same record slots (numbers, ids, bytes), keys the checker finds equal to their records, the
// same rows affected and the same error, into an empty table, one that holds rows and the
// source table itself. A unique key met part way (inside the rows or in the tree) leaves the
// table as it was; another process appending meanwhile keeps its rows; a process ended at any
// write of the statement leaves every row or none. The SELECT's rows reach the INSERT in memory or
// through its result table alike, from every shape of source; two processes copying crosswise
// both finish, and a copy takes whole commits of another process writing its source.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/faultfs.h"
#include "tests/engine/sql/sql_check_util.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tools/tablecheck/tablecheck.h"

namespace engine::sql {
namespace {

using sql_test::expectSound;
using sql_test::SqlDatabase;
using sql_test::withTable;
using storage_test::Helper;

constexpr const char* kPassword = "ins-pw";

struct Shape {
  const char* name;
  const char* tail;                  // after the columns, before the closing parenthesis
  std::vector<const char*> indexes;  // statements with %t for the table
  bool encrypted;
  bool uniqueId;  // a unique key on id
};

// The bytes of the table's files (data and index), as a text that names the file.
std::string filesOf(const std::string& folder, const std::string& table) {
  std::string out;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::string lower = entry.path().filename().string();
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (lower != table + ".dat" && lower != table + ".idx") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    out += lower + ":" + std::string(std::istreambuf_iterator<char>(in), {}) + "\n";
  }
  return out;
}

// The record slots (status, number, id and fields) and the free-record head.
std::string slotsOf(const std::string& folder, const std::string& table) {
  return sql_test::slotsOf(sql_test::dataFile(folder, table));
}

// The first line where two texts differ, with its number; empty when they are equal.
std::string firstDifference(const std::string& a, const std::string& b) {
  size_t at = 0, line = 1;
  while (at < a.size() && at < b.size() && a[at] == b[at]) line += a[at++] == '\n';
  if (a == b) return {};
  const size_t start = a.rfind('\n', at == 0 ? 0 : at - 1);
  const size_t from = start == std::string::npos ? 0 : start + 1;
  return "line " + std::to_string(line) + ": " + a.substr(from, a.find('\n', from) - from) + " | " +
         b.substr(from, b.find('\n', from) - from);
}

// The first record slot (or the free-record head) where two tables differ; empty when none.
std::string firstSlotDifference(const std::string& folder, const std::string& a, const std::string& b) {
  const auto factsOf = [&](const std::string& table) {
    std::string problem;
    auto facts = tablecheck::ReadDataFileFacts(sql_test::dataFile(folder, table), problem);
    if (!facts) ADD_FAILURE() << table << ": " << problem;
    return facts;
  };
  const auto x = factsOf(a), y = factsOf(b);
  if (!x || !y) return "unreadable";
  if (x->freeHead != y->freeHead)
    return "free " + std::to_string(x->freeHead) + " | " + std::to_string(y->freeHead);
  if (x->records.size() != y->records.size())
    return "slots " + std::to_string(x->records.size()) + " | " + std::to_string(y->records.size());
  for (size_t i = 0; i < x->records.size(); ++i)
    if (x->status[i] != y->status[i] || x->records[i] != y->records[i])
      return "slot " + std::to_string(i + 1);
  return {};
}

// Copies the files of folder `from` into folder `to`.
void copyFiles(const std::string& from, const std::string& to) {
  for (const auto& entry : std::filesystem::directory_iterator(from))
    std::filesystem::copy_file(entry.path(), std::filesystem::path(to) / entry.path().filename());
}

// The exit code of another process that runs statement `text` on a session of `path`, its files
// ending the process before counted write `at`: 0 once the statement completed, or
// platform::kFaultExitCode.
int runEndingAtWrite(const std::string& path, const std::string& text, uint64_t at) {
  Helper writer([&](Helper&) {
    platform::FaultyFileSystem faulty(platform::FileSystem::local());
    TFileList list(faulty);
    TDataSession session;
    TDataDirectory* directory = session.OpenDataDirectory("db", path);
    directory->SetFileList(list);
    faulty.setPlan({platform::Fault::Exit, at, true});
    TQueryStatement statement(*directory);
    statement.Prepare(text);
    statement.Execute();
    faulty.setPlan({});
    session.CloseDataDirectory(directory);
    return 0;
  });
  return writer.wait();
}

uint16_t errorOf(SqlDatabase& db, const std::string& text, bool callersTransaction) {
  if (callersTransaction) db.directory().StartTransaction();
  uint16_t code = 0;
  try {
    db.run(text);
  } catch (const EVELDOREngineError& e) {
    code = e.ErrorCode();
  }
  if (callersTransaction) {
    if (code)
      db.directory().Rollback();
    else
      db.directory().Commit(true, false);
  }
  return code;
}

class InsertSelect : public ::testing::TestWithParam<Shape> {
 protected:
  void SetUp() override {
    if (GetParam().encrypted) db.directory().Session().AddPassword(kPassword);
  }
  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};

  // `first`: a column before the others.
  void create(const std::string& table, const std::string& first = "") {
    const Shape& s = GetParam();
    db.run("CREATE TABLE " + table + " (" + first + "id INTEGER, s CHAR(20), v INTEGER" + s.tail +
           (s.encrypted ? std::string(" ENCRYPTED WITH '") + kPassword + "')" : std::string(")")));
    for (const char* index : s.indexes) db.run(withTable(index, table));
  }
  // `rows` source rows from `first` on; equal names, values and cases repeat.
  void fillSource(const std::string& table, int first, int rows) {
    if (db.rows("SELECT COUNT(*) FROM " + table + " WHERE id = 0") != "0\n")
      db.run("CREATE TABLE " + table + " (id INTEGER, s CHAR(20), v INTEGER)");
    db.directory().StartTransaction();
    const char* names[] = {"alpha", "Beta", "ALPHA", "gamma", "beta ", "Zeta"};
    for (int i = first; i < first + rows; ++i)
      db.run("INSERT INTO " + table + " VALUES (" + std::to_string(i) + ", '" + names[i % 6] +
             std::to_string(i % 11) + "', " + std::to_string(i % 3) + ")");
    db.directory().Commit(true, false);
  }
  // Runs `text` (with %t) on `gathered` in its own transaction and on `rowByRow` in the
  // caller's; both must end alike.
  void both(const std::string& text, const std::string& gathered, const std::string& rowByRow) {
    SCOPED_TRACE(text);
    const uint16_t a = errorOf(db, withTable(text, gathered), false);
    const int32_t affected = db.affected;
    const uint16_t b = errorOf(db, withTable(text, rowByRow), true);
    EXPECT_EQ(a, b);
    if (!a) {
      EXPECT_EQ(affected, db.affected);
    }
    EXPECT_EQ(firstDifference(slotsOf(folder.path(), gathered), slotsOf(folder.path(), rowByRow)), "");
    expectSound(db.directory(), folder.path(), gathered, GetParam().encrypted);
    EXPECT_EQ(db.run("SELECT id, s, v FROM " + gathered + " ORDER BY id, s"),
              db.run("SELECT id, s, v FROM " + rowByRow + " ORDER BY id, s"));
  }
};

TEST_P(InsertSelect, AppendsAsRowAfterRowIntoEmptyAndFilledTablesAndFromItself) {
  fillSource("src", 1, 700);
  create("g");
  create("r");
  both("INSERT INTO %t SELECT * FROM src", "g", "r");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM g"), "700\n");
  both("INSERT INTO %t SELECT id + 1000, s, v FROM src WHERE v <> 1", "g", "r");
  both("INSERT INTO %t (v, id, s) SELECT v, id + 5000, s FROM %t", "g", "r");
  both("INSERT INTO %t SELECT * FROM src WHERE id = 0", "g", "r");
  // Rows deleted: the freed records are taken again (or not, without a primary index) alike.
  for (const char* table : {"g", "r"}) db.run(std::string("DELETE FROM ") + table + " WHERE v = 2");
  both("INSERT INTO %t SELECT id + 9000, s, v FROM src", "g", "r");
  // And rows appended one by one afterwards land alike.
  for (const char* table : {"g", "r"})
    db.run(std::string("INSERT INTO ") + table + " VALUES (99999, 'x', 1)");
  EXPECT_EQ(firstDifference(slotsOf(folder.path(), "g"), slotsOf(folder.path(), "r")), "");
}

TEST_P(InsertSelect, AKeyMetPartWayLeavesTheTableAsItWas) {
  if (!GetParam().uniqueId) GTEST_SKIP() << "no unique key";
  fillSource("src", 1, 300);
  fillSource("src", 150, 1);
  create("g");
  create("r");
  // Into an empty table, the duplicate inside the rows.
  const std::string before = filesOf(folder.path(), "g");
  both("INSERT INTO %t SELECT * FROM src", "g", "r");
  EXPECT_EQ(filesOf(folder.path(), "g"), before);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM g"), "0\n");
  // Into a filled table, the duplicate in its tree (the last row, then the first).
  both("INSERT INTO %t SELECT * FROM src WHERE id <= 100", "g", "r");
  for (const char* where : {"id > 100 OR id = 100", "id >= 100"}) {
    const std::string filled = filesOf(folder.path(), "g");
    both(std::string("INSERT INTO %t SELECT * FROM src WHERE ") + where, "g", "r");
    EXPECT_EQ(filesOf(folder.path(), "g"), filled);
  }
  EXPECT_EQ(db.run("SELECT COUNT(*), SUM(id) FROM g"), "100|5050\n");
  // From itself: every row meets its own key.
  both("INSERT INTO %t SELECT * FROM %t", "g", "r");
  both("INSERT INTO %t SELECT id + 100, s, v FROM %t", "g", "r");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM g"), "200\n");
}

// An auto-increment column takes the counter's next values row after row, and the counter goes
// on from there; NOAUTOINC takes the given values, which the counter then passes.
TEST_P(InsertSelect, AutoIncrementColumnsCountAsRowAfterRow) {
  fillSource("src", 1, 400);
  create("g", "a AUTOINC, ");
  create("r", "a AUTOINC, ");
  db.run("CREATE UNIQUE INDEX ga ON g (a)");
  db.run("CREATE UNIQUE INDEX ra ON r (a)");
  both("INSERT INTO %t (id, s, v) SELECT id, s, v FROM src WHERE id <= 150", "g", "r");
  both("INSERT INTO %t (a, id, s, v) SELECT id + 1000, id + 1000, s, v FROM src WHERE id <= 10 NOAUTOINC",
       "g", "r");
  both("INSERT INTO %t (a, id, s, v) SELECT id, id + 2000, s, v FROM src WHERE id > 390 NOAUTOINC", "g", "r");
  both("INSERT INTO %t (id, s, v) SELECT id + 3000, s, v FROM src WHERE id > 150", "g", "r");
  // A value given without NOAUTOINC is the counter's; with it, one taken already is refused.
  both("INSERT INTO %t (a, id, s, v) SELECT id, id + 4000, s, v FROM src WHERE id <= 3", "g", "r");
  both("INSERT INTO %t (a, id, s, v) SELECT id, id + 5000, s, v FROM src WHERE id = 3 NOAUTOINC", "g", "r");
  for (const char* table : {"g", "r"})
    db.run(std::string("INSERT INTO ") + table + " (id, s, v) VALUES (99999, 'x', 1)");
  EXPECT_EQ(firstDifference(slotsOf(folder.path(), "g"), slotsOf(folder.path(), "r")), "");
  EXPECT_EQ(db.run("SELECT MAX(a), COUNT(*) FROM g"), db.run("SELECT MAX(a), COUNT(*) FROM r"));
  EXPECT_EQ(db.run("SELECT a FROM g WHERE id = 99999"), "1264\n");
}

// Unique keys that differ from ones in the tree only in case, or in a descending part.
TEST_P(InsertSelect, UniqueKeysEqualBesideTheirCaseMeetThoseInTheTree) {
  fillSource("src", 1, 400);
  db.run("CREATE TABLE ns (id INTEGER, s CHAR(20), v INTEGER)");
  db.run("INSERT INTO ns SELECT id, 'n' || CAST(id AS CHAR(9)), v FROM src");
  for (const char* table : {"g", "r"}) {
    create(table);
    db.run(withTable("CREATE UNIQUE NOCASE INDEX %tn ON %t (s)", table));
    db.run(withTable("CREATE UNIQUE DESC INDEX %td ON %t (v, id)", table));
  }
  both("INSERT INTO %t SELECT * FROM ns WHERE id <= 100", "g", "r");
  const std::string filled = db.run("SELECT COUNT(*) FROM g");
  both("INSERT INTO %t SELECT id + 1000, UPPER(s), v FROM ns WHERE id > 300 OR id = 50", "g", "r");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM g"), filled);
  both("INSERT INTO %t SELECT id + 1000, UPPER(s), v FROM ns WHERE id > 100", "g", "r");
  both("INSERT INTO %t SELECT id, s || 'x', v FROM ns WHERE id > 350 OR id = 7", "g", "r");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM g"), "400\n");
}

INSTANTIATE_TEST_SUITE_P(
    Tables, InsertSelect,
    ::testing::Values(Shape{"Plain", "", {"CREATE INDEX %tv ON %t (v)"}, false, false},
                      Shape{"Keys",
                            ", PRIMARY KEY (id)",
                            {"CREATE NOCASE INDEX %ts ON %t (s)",
                             "CREATE DESC INDEX %tv ON %t (v, s) COMPRESS FULL"},
                            false,
                            true},
                      Shape{"Locale",
                            ", PRIMARY KEY (id) LANGUAGE 'English (UK)'",
                            {"CREATE INDEX %ts ON %t (s, v)"},
                            false,
                            true},
                      Shape{"Encrypted", "", {"CREATE UNIQUE INDEX %tu ON %t (id)"}, true, true}),
    [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

class InsertSelectAround : public ::testing::Test {
 protected:
  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};
  void make(int rows) {
    db.run("CREATE TABLE t (id INTEGER, v INTEGER, p CHAR(10), PRIMARY KEY (id))");
    db.run("CREATE INDEX tv ON t (v)");
    db.directory().StartTransaction();
    for (int id = 1; id <= rows; ++id)
      db.run("INSERT INTO t VALUES (" + std::to_string(id) + ", " + std::to_string(id % 7) + ", 'x')");
    db.directory().Commit(true, false);
  }
};

// Another process appends row after row while this one appends its runs: each commit is whole,
// no row is lost and every key names its record.
TEST_F(InsertSelectAround, AnotherProcessAppendingMeanwhileKeepsItsRows) {
  make(500);
  constexpr int kOther = 300, kRuns = 6;
  const std::string path = folder.path();
  Helper other([path](Helper& h) {
    SqlDatabase them(path);
    h.send('S');
    for (int i = 0; i < kOther; ++i)
      them.run("INSERT INTO t VALUES (" + std::to_string(100000 + i) + ", 1, 'other')");
    return 0;
  });
  ASSERT_EQ(other.receive(), 'S');
  for (int run = 1; run <= kRuns; ++run) {
    db.run("INSERT INTO t SELECT id + " + std::to_string(run * 1000) + ", v, 'run' FROM t WHERE id <= 500");
    EXPECT_EQ(db.affected, 500);
  }
  EXPECT_EQ(other.wait(), 0);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE p = 'other'"), std::to_string(kOther) + "\n");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t"), std::to_string(500 * (kRuns + 1) + kOther) + "\n");
  expectSound(db.directory(), folder.path(), "t", false);
}

// Another process that had the table open and read it, and holds a record's lock, while the
// statement runs: each read sees every new row or none, the lock does not stop the appends, and
// afterwards its open table finds the rows by scan and by each index.
TEST_F(InsertSelectAround, AReaderHoldingALockSeesEveryRowOrNone) {
  make(500);
  const std::string path = folder.path();
  Helper other([path](Helper& h) {
    SqlDatabase them(path);
    TDataCursor open(them.directory());
    open.SetTableName("t");
    open.Open();
    std::vector<uint8_t> record(open.RecordSize());
    open.SetToBegin();
    int seen = 0;
    while (open.GetNextRecord(record.data()) == 0) ++seen;
    if (seen != 500) return 1;
    open.SetToBegin();
    open.GetNextRecord(record.data());
    open.LockRecord();
    h.send('R');
    for (int i = 0;; ++i) {
      const std::string count = them.run("SELECT COUNT(*) FROM t");
      if (count == "1000\n") break;
      if (count != "500\n") return 2;
      if (i > 100000) return 3;
    }
    if (them.run("SELECT COUNT(*), SUM(id) FROM t WHERE id > 1000") !=
        "500|" + std::to_string(500 * 1000 + 125250) + "\n")
      return 4;
    if (them.run("SELECT v, p FROM t WHERE id = 1499") != "2|y\n") return 5;
    if (them.run("SELECT COUNT(*) FROM t WHERE v = 3 AND p = 'y'") != "72\n") return 6;
    open.SetToBegin();
    seen = 0;
    while (open.GetNextRecord(record.data()) == 0) ++seen;
    if (seen != 1000) return 7;
    open.UnlockRecord();
    return 0;
  });
  ASSERT_EQ(other.receive(), 'R');
  db.run("INSERT INTO t SELECT id + 1000, v, 'y' FROM t");
  EXPECT_EQ(db.affected, 500);
  EXPECT_EQ(other.wait(), 0);
  expectSound(db.directory(), folder.path(), "t", false);
}

// A cursor of the same process that had the table open and read it, in record order and by an
// index, reads every new row afterwards, in order.
TEST_F(InsertSelectAround, AnOpenCursorOfTheProcessReadsTheNewRows) {
  make(500);
  TDataCursor byRecord(db.directory()), byIndex(db.directory());
  for (TDataCursor* c : {&byRecord, &byIndex}) {
    c->SetTableName("t");
    c->Open();
  }
  byIndex.SwitchToIndex(1);
  const auto lines = [](const std::string& text) {
    std::vector<std::string> out;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
      out.push_back(text.substr(at, end - at));
    return out;
  };
  ASSERT_EQ(lines(SqlDatabase::text(byRecord)).size(), 500u);
  ASSERT_EQ(lines(SqlDatabase::text(byIndex)).size(), 500u);
  db.run("INSERT INTO t SELECT id + 1000, v, 'y' FROM t");
  std::vector<std::string> all = lines(db.run("SELECT * FROM t"));
  ASSERT_EQ(all.size(), 1000u);
  EXPECT_EQ(lines(SqlDatabase::text(byRecord)), all);
  std::vector<std::string> ordered = lines(SqlDatabase::text(byIndex));
  // v is the second column, one digit.
  EXPECT_TRUE(std::is_sorted(ordered.begin(), ordered.end(), [](const std::string& a, const std::string& b) {
    return a.substr(a.find('|') + 1, 1) < b.substr(b.find('|') + 1, 1);
  }));
  std::sort(ordered.begin(), ordered.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(ordered, all);
}

// A process ended before each write of the statement's commit in turn leaves every row or none,
// files the checker finds sound once another process has opened them, and no journal.
TEST_F(InsertSelectAround, EndedAtAnyWriteLeavesEveryRowOrNone) {
  make(300);
  const std::string before = db.run("SELECT COUNT(*), SUM(id) FROM t");
  const std::string pristine = folder.path();
  bool completed = false;
  uint64_t k = 1;
  for (; !completed && k <= 200; ++k) {
    SCOPED_TRACE("ended before write " + std::to_string(k));
    platform::testing::TempFolder dir;
    copyFiles(pristine, dir.path());
    const std::string path = dir.path();
    const int code = runEndingAtWrite(path, "INSERT INTO t SELECT id + 1000, v, 'y' FROM t", k);
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << code;
    completed = code == 0;
    SqlDatabase after(path);
    const std::string found = after.run("SELECT COUNT(*), SUM(id) FROM t");
    EXPECT_TRUE(found == before || found == "600|" + std::to_string(2 * 45150 + 300000) + "\n") << found;
    if (completed) {
      EXPECT_EQ(found, "600|" + std::to_string(2 * 45150 + 300000) + "\n");
    }
    expectSound(after.directory(), path, "t", false);
    EXPECT_FALSE(std::filesystem::exists(dir.file("t.JNL")));
  }
  EXPECT_TRUE(completed);
  EXPECT_GT(k, 4u) << "the commit writes a journal and the table's files";
}

// Rows wider than one gather holds: the first run goes in together, the rest after it. A key met
// in a later run (in the tree, or in a row of the first run) leaves the table as it was, as row
// after row does; a statement that succeeds leaves the same slots and keys.
class InsertSelectRuns : public ::testing::Test {
 protected:
  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};
  static constexpr int kRows = 5120;  // about 10 MB of the wide rows

  void SetUp() override {
    db.run("CREATE TABLE src (id INTEGER, s CHAR(20), v INTEGER)");
    db.directory().StartTransaction();
    const char* names[] = {"alpha", "Beta", "ALPHA", "gamma", "beta ", "Zeta", "", "delta", "Gamma", "eta"};
    for (int i = 1; i <= 10; ++i)
      db.run("INSERT INTO src VALUES (" + std::to_string(i) + ", '" + names[i - 1] + "', " +
             std::to_string(i % 3) + ")");
    db.directory().Commit(true, false);
    for (int have = 10; have < kRows; have *= 2)
      db.run("INSERT INTO src SELECT id + " + std::to_string(have) + ", s, v FROM src");
    ASSERT_EQ(db.run("SELECT COUNT(*) FROM src"), std::to_string(kRows) + "\n");
    for (const char* table : {"g", "r"}) {
      db.run(std::string("CREATE TABLE ") + table +
             " (id INTEGER, s CHAR(20), v INTEGER, w CHAR(250), x CHAR(250), y CHAR(250), z CHAR(250), p "
             "CHAR(250), q CHAR(250), r CHAR(250), t CHAR(250), PRIMARY KEY (id))");
      db.run(std::string("CREATE NOCASE INDEX ") + table + "s ON " + table + " (s)");
      db.run(std::string("CREATE UNIQUE DESC INDEX ") + table + "u ON " + table + " (w, v)");
      db.run(std::string("CREATE INDEX ") + table + "v ON " + table + " (v, x)");
    }
  }
  // In-memory tables belong to the process, not to the folder, and outlive this directory:
  // leaving them would show in the file list of every later test of this process.
  void TearDown() override {
    for (const char* table : {"mg", "mr"}) db.rows(std::string("DROP TABLE IF EXISTS MEMORY ") + table);
  }
  // `text` (with %t) on g in its own transaction and on r in the caller's: the same error and
  // slots, sound keys; a failure leaves g's files as they were.
  // A source table of the rows `select` gives and then the row `last`.
  void rows(const std::string& table, const std::string& select, const std::string& last) {
    db.run("CREATE TABLE " + table + " (id INTEGER, s CHAR(20), v INTEGER, w CHAR(20))");
    db.run("INSERT INTO " + table + " SELECT " + select);
    db.run("INSERT INTO " + table + " VALUES (" + last + ")");
  }
  static constexpr int kAsRowAfterRow = -1;
  void both(const std::string& text, int expected) {
    SCOPED_TRACE(text);
    const std::string before = filesOf(folder.path(), "g");
    const uint16_t a = errorOf(db, withTable(text, "g"), false);
    const int32_t affected = db.affected;
    const uint16_t b = errorOf(db, withTable(text, "r"), true);
    EXPECT_EQ(a, b);
    if (expected != kAsRowAfterRow) {
      EXPECT_EQ(a, expected);
    }
    if (a) {
      EXPECT_TRUE(filesOf(folder.path(), "g") == before);
    } else {
      EXPECT_EQ(affected, db.affected);
    }
    EXPECT_EQ(firstSlotDifference(folder.path(), "g", "r"), "");
    expectSound(db.directory(), folder.path(), "g", false);
    EXPECT_EQ(db.run("SELECT COUNT(*), SUM(id), SUM(v) FROM g"),
              db.run("SELECT COUNT(*), SUM(id), SUM(v) FROM r"));
  }
};

TEST_F(InsertSelectRuns, AKeyMetInALaterRunLeavesTheTableAsItWas) {
  both(
      "INSERT INTO %t (id, s, v, w, x) SELECT id, s, v, 'w' || CAST(id AS CHAR(9)), s FROM src WHERE id <= "
      "100",
      0);
  // In the tree: the row that takes id 50 again comes last, in the second run.
  rows("late", "id + 100, s, v, 'w' || CAST(id + 100 AS CHAR(9)) FROM src WHERE id <= 4990",
       "50, 'x', 1, 'q'");
  both("INSERT INTO %t (id, s, v, w, x) SELECT id, s, v, w, s FROM late", VELDOR_KEYVIOL);
  // In the first run: the unique (w, v) of the row of id 101 again at the end.
  rows("again", "id + 100, s, v, 'w' || CAST(id + 100 AS CHAR(9)) FROM src", "20000, 'x', 1, 'w101'");
  both("INSERT INTO %t (id, s, v, w, x) SELECT id, s, v, w, s FROM again", VELDOR_KEYVIOL);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM g"), "100\n");
  // Both runs go in.
  both("INSERT INTO %t (id, s, v, w, x) SELECT id + 100, s, v, 'y' || CAST(id AS CHAR(9)), s FROM src", 0);
  // A run whose unique keys differ only by their NULL parts.
  both("INSERT INTO %t (id, s, v, x) SELECT id + 100000, s, v, s FROM src", kAsRowAfterRow);
  both("INSERT INTO %t (id, s, v, x) SELECT id + 200000, s, v, s FROM src WHERE id = 1", kAsRowAfterRow);
}

// A process ended before each write in turn of a statement of two gathers leaves every row or none, and files
// the checker finds sound once another process has opened them.
TEST_F(InsertSelectRuns, EndedAtAWriteOfTwoRunsLeavesEveryRowOrNone) {
  db.run(
      "INSERT INTO g (id, s, v, w, x) SELECT id, s, v, 'w' || CAST(id AS CHAR(9)), s FROM src WHERE id <= "
      "100");
  const std::string before = db.run("SELECT COUNT(*) FROM g");
  const std::string after = std::to_string(100 + kRows) + "\n";
  bool completed = false;
  int tried = 0;
  for (uint64_t k = 1; !completed && k <= 200; ++k, ++tried) {
    SCOPED_TRACE("ended before write " + std::to_string(k));
    platform::testing::TempFolder dir;
    copyFiles(folder.path(), dir.path());
    const std::string path = dir.path();
    const int code = runEndingAtWrite(
        path, "INSERT INTO g (id, s, v, w, x) SELECT id + 100, s, v, 'y' || CAST(id AS CHAR(9)), s FROM src",
        k);
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << code;
    completed = code == 0;
    SqlDatabase reopened(path);
    const std::string found = reopened.run("SELECT COUNT(*) FROM g");
    EXPECT_TRUE(found == before || found == after) << found;
    if (completed) {
      EXPECT_EQ(found, after);
    }
    expectSound(reopened.directory(), path, "g", false);
  }
  EXPECT_TRUE(completed);
  EXPECT_GT(tried, 4);
}

// A statement stopped from its progress report after its first run went in leaves the table as
// it was; run again it takes every row.
TEST_F(InsertSelectRuns, StoppedAfterTheFirstRunLeavesTheTableAsItWas) {
  db.run(
      "INSERT INTO g (id, s, v, w, x) SELECT id, s, v, 'w' || CAST(id AS CHAR(9)), s FROM src WHERE id <= "
      "100");
  const std::string before = filesOf(folder.path(), "g");
  const std::string text =
      "INSERT INTO g (id, s, v, w, x) SELECT id + 100, s, v, 'y' || CAST(id AS CHAR(9)), s FROM src";
  TQueryStatement statement(db.directory());
  int reports = 0, stoppedAt = -1;
  bool done = false;
  // The first 100 is the SELECT's end; the insert's rows then start over from 0.
  statement.SetProgressCallback([&](int percent, bool& abort) {
    ++reports;
    if (percent == 100) done = true;
    if (done && percent >= 90 && percent < 100 && stoppedAt < 0) {
      stoppedAt = percent;
      abort = true;
    }
  });
  statement.Prepare(text);
  EXPECT_THROW(statement.Execute(), EVELDOREngineError);
  EXPECT_GE(stoppedAt, 90) << reports;
  EXPECT_TRUE(filesOf(folder.path(), "g") == before);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM g"), "100\n");
  expectSound(db.directory(), folder.path(), "g", false);
  db.run(text);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM g"), std::to_string(100 + kRows) + "\n");
  expectSound(db.directory(), folder.path(), "g", false);
}

// An in-memory target takes the rows as row after row does, past a run and with a key met in a
// later one.
TEST_F(InsertSelectRuns, AnInMemoryTargetTakesTheRowsAsRowAfterRow) {
  for (const char* table : {"mg", "mr"}) {
    db.run(std::string("CREATE TABLE MEMORY ") + table +
           " (id INTEGER, s CHAR(20), v INTEGER, w CHAR(250), x CHAR(250), y CHAR(250), z CHAR(250), p "
           "CHAR(250), q CHAR(250), r CHAR(250), t CHAR(250), PRIMARY KEY (id))");
    db.run(std::string("CREATE UNIQUE INDEX ") + table + "u ON MEMORY " + table + " (w)");
  }
  const auto run = [&](const std::string& text, int expected) {
    SCOPED_TRACE(text);
    const uint16_t a = errorOf(db, withTable(text, "mg"), false);
    const uint16_t b = errorOf(db, withTable(text, "mr"), true);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, expected);
    for (const char* query :
         {"SELECT COUNT(*), SUM(id) FROM MEMORY %t", "SELECT id, s, v, w FROM MEMORY %t ORDER BY w",
          "SELECT id, w FROM MEMORY %t WHERE id > 10000 ORDER BY id"})
      EXPECT_EQ(db.run(withTable(query, "mg")), db.run(withTable(query, "mr"))) << query;
  };
  run("INSERT INTO MEMORY %t (id, s, v, w, x) SELECT id, s, v, 'w' || CAST(id AS CHAR(9)), s FROM src WHERE "
      "id <= 100",
      0);
  rows("late", "id + 100, s, v, 'w' || CAST(id + 100 AS CHAR(9)) FROM src", "30000, 'x', 1, 'w7'");
  run("INSERT INTO MEMORY %t (id, s, v, w, x) SELECT id, s, v, w, s FROM late", VELDOR_KEYVIOL);
  run("INSERT INTO MEMORY %t (id, s, v, w, x) SELECT id + 100, s, v, 'w' || CAST(id + 100 AS CHAR(9)), s "
      "FROM src",
      0);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM MEMORY mg"), std::to_string(100 + kRows) + "\n");
}

// The SELECT's rows reach the INSERT in memory, or through its result table when they outgrow
// what a SELECT holds (a limit of 0 bytes sends every row there): both roads leave the same
// slots, rows affected and errors, whatever the source's shape.
class InsertSelectRoads : public ::testing::Test {
 protected:
  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};

  void SetUp() override {
    db.run("CREATE TABLE src (id INTEGER, s CHAR(20), v INTEGER, f FLOAT, d DATE)");
    db.directory().StartTransaction();
    // Text that fills the field, with trailing blanks, empty, NULL and in mixed case.
    const char* texts[] = {"'alpha'", "'Beta  '", "''", "NULL", "'abcdefghijklmnopqrs'",
                           "' lead'", "'ALPHA'"};
    for (int i = 1; i <= 300; ++i)
      db.run("INSERT INTO src VALUES (" + std::to_string(i) + ", " + texts[i % 7] + ", " +
             (i % 13 == 0 ? std::string("NULL") : std::to_string(i % 5)) + ", " + std::to_string(i) +
             ".25, '2024-01-" + std::to_string(1 + i % 28) + "')");
    db.directory().Commit(true, false);
    db.run("CREATE TABLE other (id INTEGER, w CHAR(8))");
    db.run("INSERT INTO other SELECT id, s FROM src WHERE v = 2");
    db.run("CREATE TABLE MEMORY msrc (id INTEGER, s CHAR(20), v INTEGER)");
    db.run("INSERT INTO MEMORY msrc SELECT id + 7000, s, v FROM src WHERE id <= 120");
  }
  void TearDown() override {
    for (const char* table : {"msrc", "mh", "mc"})
      db.rows(std::string("DROP TABLE IF EXISTS MEMORY ") + table);
  }
  // Target tables "h" and "c" of the same columns.
  void targets(const std::string& columns, const std::string& extra = "") {
    for (const char* t : {"h", "c"}) {
      db.run(std::string("CREATE TABLE ") + t + " (" + columns + ")");
      if (!extra.empty()) db.run(withTable(extra, t));
    }
  }
  uint16_t runWith(size_t limit, const std::string& text, int32_t& affected) {
    const size_t before = TDataQuery::SetHeldRowsLimit(limit);
    const uint16_t code = errorOf(db, text, false);
    TDataQuery::SetHeldRowsLimit(before);
    affected = db.affected;
    return code;
  }
  // `text` (with %t) into "h" in memory and into "c" through the result table.
  void roads(const std::string& text, const char* h = "h", const char* c = "c") {
    SCOPED_TRACE(text);
    const std::string before = filesOf(folder.path(), h);
    int32_t inMemory = 0, throughTable = 0;
    const uint16_t a = runWith(size_t(32) << 20, withTable(text, h), inMemory);
    const uint16_t b = runWith(0, withTable(text, c), throughTable);
    EXPECT_EQ(a, b);
    if (a) {
      EXPECT_TRUE(filesOf(folder.path(), h) == before);
    } else {
      EXPECT_EQ(inMemory, throughTable);
    }
  }
  void sameSlots() {
    EXPECT_EQ(firstDifference(slotsOf(folder.path(), "h"), slotsOf(folder.path(), "c")), "");
    expectSound(db.directory(), folder.path(), "h", false);
  }
};

TEST_F(InsertSelectRoads, EverySourceShapeGivesTheSameRows) {
  // Text into a longer field, a shorter one and one kept in upper case; a unique key.
  targets(
      "id INTEGER, s CHAR(30), v INTEGER, short CHAR(5), up CHAR(20) CHARCASE UPPER, f FLOAT, d DATE, "
      "PRIMARY KEY (id)",
      "CREATE INDEX %ts ON %t (s)");
  const std::string columns = "INSERT INTO %t (id, s, v, short, up, f, d) ";
  roads(columns + "SELECT id, s, v, s, s, f, d FROM src");
  roads(columns + "SELECT id + 1000, s, v, s, s, f, d FROM src WHERE v = 1 ORDER BY s DESC, id");
  roads(columns + "SELECT DISTINCT id + 2000, s, v, s, s, 1.5, d FROM src WHERE id > 200");
  roads(columns + "SELECT MIN(id) + 3000, s, COUNT(*), MAX(s), MIN(s), SUM(f), MAX(d) FROM src GROUP BY s");
  roads(columns +
        "SELECT id + 4000, s, v, s, s, f, d FROM src WHERE id < 50 UNION SELECT id + 4100, s, v, s, "
        "s, f, d FROM src WHERE id > 280");
  roads(columns + "SELECT id + 5000, s, v, s, s, f, d FROM src ORDER BY f DESC TOP 7");
  roads(columns +
        "SELECT src.id + 6000, other.w, src.v, src.s, other.w, src.f, src.d FROM src, other WHERE "
        "other.id = src.id");
  roads("INSERT INTO %t (id, s, v, short, up, f) SELECT id, s, v, s, s, 2.5 FROM MEMORY msrc");
  // From the target itself: only the rows that were there before the statement.
  roads(columns + "SELECT id + 10000, s, v, short, up, f, d FROM %t WHERE id < 8000");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM h WHERE id >= 10000"),
            db.run("SELECT COUNT(*) FROM h WHERE id < 8000"));
  // A key met part way: inside the rows, then in the tree.
  roads(columns + "SELECT 20000 + v, s, v, s, s, f, d FROM src");
  roads(columns + "SELECT id + 999, s, v, s, s, f, d FROM src WHERE id < 5 ORDER BY id DESC");
  sameSlots();
  EXPECT_EQ(db.run("SELECT id, s, short, up FROM h WHERE id IN (1, 3, 4, 5)"),
            "1|Beta|Beta|BETA\n3|NULL|NULL|NULL\n4|abcdefghijklmnopqrs|abcde|ABCDEFGHIJKLMNOPQRS\n"
            "5| lead| lead| LEAD\n");
}

TEST_F(InsertSelectRoads, AutoIncrementAndInMemoryTargetsTakeTheSameRows) {
  targets("a AUTOINC, id INTEGER, s CHAR(20), v INTEGER", "CREATE UNIQUE INDEX %ta ON %t (a)");
  roads("INSERT INTO %t (id, s, v) SELECT id, s, v FROM src WHERE v <> 3 ORDER BY s, id");
  roads("INSERT INTO %t (id, s, v) SELECT DISTINCT v, s, v FROM src");
  roads("INSERT INTO %t (a, id, s, v) SELECT id + 500, id, s, v FROM src WHERE id < 40 NOAUTOINC");
  roads("INSERT INTO %t (a, id, s, v) SELECT id + 500, id, s, v FROM src WHERE id = 7 NOAUTOINC");
  roads("INSERT INTO %t SELECT * FROM %t");
  sameSlots();
  for (const char* t : {"mh", "mc"})
    db.run(std::string("CREATE TABLE MEMORY ") + t +
           " (id INTEGER, s CHAR(20), v INTEGER, PRIMARY KEY (id))");
  roads("INSERT INTO MEMORY %t SELECT id, s, v FROM src WHERE id > 100 ORDER BY v, id", "mh", "mc");
  roads("INSERT INTO MEMORY %t SELECT id, s, v FROM MEMORY msrc", "mh", "mc");
  roads("INSERT INTO MEMORY %t SELECT id - 100, s, v FROM MEMORY %t WHERE id > 150", "mh", "mc");
  roads("INSERT INTO MEMORY %t SELECT id - 200, s, v FROM MEMORY %t WHERE id > 150 AND id < 7000", "mh",
        "mc");
  roads("INSERT INTO MEMORY %t SELECT id + 1, s, v FROM src", "mh", "mc");
  EXPECT_EQ(db.run("SELECT * FROM MEMORY mh ORDER BY id"), db.run("SELECT * FROM MEMORY mc ORDER BY id"));
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM MEMORY mh"), "470\n");
}

// Rows that outgrow what a SELECT holds part way go on through its result table: the INSERT gets
// every row once, in order. A copy that fails part way lets its rows go, and the next one on the
// thread, which gets their storage, holds only its own rows.
TEST_F(InsertSelectRoads, RowsOutgrowingTheLimitPartWayAndStorageKeptAfterAFailure) {
  const std::string select = " SELECT id, s, v FROM src WHERE id > 3 ORDER BY s DESC, id";
  const std::string expected = db.run(select.substr(1));
  int32_t affected = 0;
  for (const size_t limit : {size_t(32) << 20, size_t(0), size_t(2000)}) {
    SCOPED_TRACE(limit);
    db.run("CREATE TABLE p (id INTEGER, s CHAR(20), v INTEGER)");
    EXPECT_EQ(runWith(limit, "INSERT INTO p" + select, affected), 0);
    EXPECT_EQ(affected, 297);
    EXPECT_EQ(db.run("SELECT id, s, v FROM p"), expected);
    db.run("DROP TABLE p");
  }
  db.run("CREATE TABLE u (id INTEGER, s CHAR(20), v INTEGER, PRIMARY KEY (id))");
  db.run("INSERT INTO u VALUES (150, 'x', 1)");
  EXPECT_NE(runWith(size_t(32) << 20, "INSERT INTO u SELECT id, s, v FROM src ORDER BY s, id", affected), 0);
  db.run("INSERT INTO u SELECT id + 2000, s, v FROM src WHERE id < 4 ORDER BY s DESC");
  EXPECT_EQ(db.run("SELECT * FROM u ORDER BY id"), "150|x|1\n2001|Beta|1\n2002|NULL|2\n2003|NULL|3\n");
}

// Text copied into its field as it lies is the text a constant of the same value gives.
TEST_F(InsertSelectRoads, CopiedTextIsTheTextAConstantGives) {
  targets("id INTEGER, s CHAR(20), longer CHAR(40)");
  const char* texts[] = {"'alpha'", "'Beta  '", "''", "NULL", "'abcdefghijklmnopqrs'", "' lead'", "'ALPHA'"};
  for (int i = 1; i <= 7; ++i) {
    db.run("INSERT INTO h SELECT id, s, s FROM src WHERE id = " + std::to_string(i));
    db.run("INSERT INTO c VALUES (" + std::to_string(i) + ", " + texts[i % 7] + ", " + texts[i % 7] + ")");
  }
  sameSlots();
}

// A text that fills its whole field, with no zero after it (as a file written elsewhere may hold
// it), reads as all its bytes; copied into a longer field it keeps them all, in memory or not.
TEST(InsertSelectText, TextThatFillsItsFieldKeepsEveryByteInALongerField) {
  platform::testing::TempFolder folder;
  {
    SqlDatabase db(folder.path());
    db.run("CREATE TABLE full (id INTEGER, s CHAR(20))");
    db.run("INSERT INTO full VALUES (1, 'abcdefghijklmnopqrs')");
  }
  {
    const std::filesystem::path file = std::filesystem::path(folder.path()) / "full.DAT";
    std::fstream io(file, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(io)), {});
    const std::string text("abcdefghijklmnopqrs\0", 20);
    const size_t at = bytes.find(text);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(bytes.find(text, at + 1), std::string::npos);
    io.seekp(std::streamoff(at + 19));
    io.put('t');
  }
  SqlDatabase db(folder.path());
  const std::string whole = "1|abcdefghijklmnopqrst\n";
  ASSERT_EQ(db.run("SELECT id, s FROM full"), whole);
  db.run("CREATE TABLE wide (id INTEGER, s CHAR(30))");
  for (const size_t limit : {size_t(32) << 20, size_t(0)}) {
    const size_t before = TDataQuery::SetHeldRowsLimit(limit);
    db.run("INSERT INTO wide SELECT id, s FROM full");
    TDataQuery::SetHeldRowsLimit(before);
    EXPECT_EQ(db.run("SELECT id, s FROM wide"), whole) << limit;
    db.run("DELETE FROM wide");
  }
}

// Rows the SELECT holds in the target's own layout become the appended records themselves: each
// column must come out as a copy into a cleared record writes it, whatever bytes the source file
// holds (text with trailing blanks or bytes after its end, text filling its field, NULLs, a
// default the copy overwrites), as through the result table and row after row in the caller's
// transaction; a target whose layout differs by a column takes the rows copied one by one.
TEST(InsertSelectText, RowsTakenWholeEqualRowsCopiedColumnByColumn) {
  platform::testing::TempFolder folder;
  const char* columns = "id INTEGER, s CHAR(20), v INTEGER, f FLOAT, d DATE";
  {
    SqlDatabase db(folder.path());
    db.run(std::string("CREATE TABLE src (") + columns + ")");
    db.directory().StartTransaction();
    const char* texts[] = {"'alpha'",   "'Beta  '", "''", "NULL", "'abcdefghijklmnopqrs'",
                           "'marker1'", "'marker2'"};
    for (int i = 1; i <= 400; ++i)
      db.run("INSERT INTO src VALUES (" + std::to_string(i) + ", " + texts[i % 7] + ", " +
             (i % 13 == 0 ? std::string("NULL") : std::to_string(i % 5)) + ", " +
             (i % 11 == 0 ? std::string("NULL") : std::to_string(i) + ".5") + ", " +
             (i % 17 == 0 ? std::string("NULL") : "'2024-02-" + std::to_string(1 + i % 28) + "'") + ")");
    db.directory().Commit(true, false);
  }
  {
    // Bytes no statement writes: blanks before the zero and bytes after it, and text filling the
    // whole field with no zero.
    const std::filesystem::path file = std::filesystem::path(folder.path()) / "src.DAT";
    std::fstream io(file, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(io)), {});
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"marker1", std::string("ab  \0zz", 7)},
                                   {"marker2", std::string("   \0\0\0q", 7)},
                                   {std::string("abcdefghijklmnopqrs\0", 20), "abcdefghijklmnopqrst"}}) {
      for (size_t at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at + 1)) {
        io.seekp(std::streamoff(at));
        io.write(to.data(), std::streamsize(to.size()));
      }
    }
  }
  SqlDatabase db(folder.path());
  // The rows as the SELECT alone gives them, held or through its result table.
  const std::string selected = db.run("SELECT * FROM src");
  const size_t limit = TDataQuery::SetHeldRowsLimit(0);
  EXPECT_EQ(db.run("SELECT * FROM src"), selected);
  TDataQuery::SetHeldRowsLimit(limit);
  int targets = 0;
  const auto roadsAlike = [&](const std::string& target, const std::string& select) {
    SCOPED_TRACE(target + ": " + select);
    const std::string n = std::to_string(++targets), h = "h" + n, c = "c" + n, r = "r" + n;
    for (const std::string& t : {h, c, r}) db.run("CREATE TABLE " + t + " (" + target + ")");
    EXPECT_EQ(errorOf(db, "INSERT INTO " + h + select, false), 0);
    const size_t before = TDataQuery::SetHeldRowsLimit(0);
    EXPECT_EQ(errorOf(db, "INSERT INTO " + c + select, false), 0);
    TDataQuery::SetHeldRowsLimit(before);
    EXPECT_EQ(errorOf(db, "INSERT INTO " + r + select, true), 0);
    EXPECT_EQ(db.affected, 400);
    const std::string slots = slotsOf(folder.path(), h);
    EXPECT_EQ(firstDifference(slots, slotsOf(folder.path(), c)), "");
    EXPECT_EQ(firstDifference(slots, slotsOf(folder.path(), r)), "");
    expectSound(db.directory(), folder.path(), h, false);
    return db.run("SELECT id, s, v, f, d FROM " + h + " WHERE id IN (1, 4, 5, 6, 11, 13, 17) ORDER BY id");
  };
  const std::string some = roadsAlike(columns, " SELECT * FROM src");
  EXPECT_EQ(some,
            "1|Beta|1|1.5|2024-02-02\n4|abcdefghijklmnopqrst|4|4.5|2024-02-05\n5|ab|0|5.5|2024-02-06\n"
            "6|NULL|1|6.5|2024-02-07\n11|abcdefghijklmnopqrst|1|NULL|2024-02-12\n"
            "13|NULL|NULL|13.5|2024-02-14\n17|NULL|2|17.5|NULL\n");
  EXPECT_EQ(
      roadsAlike("id INTEGER DEFAULT '7', s CHAR(20) DEFAULT 'x', v INTEGER DEFAULT '3', f FLOAT, d DATE",
                 " SELECT * FROM src"),
      some);
  EXPECT_EQ(roadsAlike(columns, " SELECT id, s, v, f, d FROM src WHERE id > 0"), some);
  // A column more, or one shorter: not the source's layout.
  EXPECT_EQ(roadsAlike("id INTEGER, s CHAR(20), v INTEGER, f FLOAT, d DATE, w INTEGER",
                       " (id, s, v, f, d) SELECT * FROM src"),
            some);
  EXPECT_EQ(roadsAlike("id INTEGER, s CHAR(19), v INTEGER, f FLOAT, d DATE", " SELECT * FROM src"),
            "1|Beta|1|1.5|2024-02-02\n4|abcdefghijklmnopqrs|4|4.5|2024-02-05\n5|ab|0|5.5|2024-02-06\n"
            "6|NULL|1|6.5|2024-02-07\n11|abcdefghijklmnopqrs|1|NULL|2024-02-12\n"
            "13|NULL|NULL|13.5|2024-02-14\n17|NULL|2|17.5|NULL\n");
}

// Rows handed over in the target's layout must still come out as each column's conversion
// writes it: a decimal into one of fewer places (rounded to them), text into a field with a case
// rule, a date into a timestamp, a computed or constant column, the table itself as the source,
// rows cut, turned round or made distinct, and a key met part way, after which every lock ahead
// is let go.
TEST(InsertSelectText, RowsOfTheSameLayoutTakeTheTargetsRules) {
  platform::testing::TempFolder folder;
  SqlDatabase db(folder.path());
  db.run("CREATE TABLE src (id INTEGER, d DECIMAL(10,4), s CHAR(8), w DATE)");
  db.directory().StartTransaction();
  for (int i = 1; i <= 60; ++i)
    db.run("INSERT INTO src VALUES (" + std::to_string(i) + ", " + std::to_string(i) + ".1256, 'ab" +
           std::to_string(i % 4) + "', '2024-03-" + std::to_string(1 + i % 28) + "')");
  db.directory().Commit(true, false);
  int targets = 0;
  // The same statement held, through the result table and row by row in the caller's
  // transaction: the rows of ids 1, 2 and 60 of the first.
  const auto threeRoads = [&](const std::string& columns, const std::string& select) {
    SCOPED_TRACE(columns + ": " + select);
    const std::string n = std::to_string(++targets), h = "h" + n, c = "c" + n, r = "r" + n;
    for (const std::string& t : {h, c, r}) db.run("CREATE TABLE " + t + " (" + columns + ")");
    EXPECT_EQ(errorOf(db, "INSERT INTO " + h + select, false), 0);
    const int32_t affected = db.affected;
    const size_t before = TDataQuery::SetHeldRowsLimit(0);
    EXPECT_EQ(errorOf(db, "INSERT INTO " + c + select, false), 0);
    TDataQuery::SetHeldRowsLimit(before);
    EXPECT_EQ(errorOf(db, "INSERT INTO " + r + select, true), 0);
    EXPECT_EQ(db.affected, affected);
    const std::string slots = slotsOf(folder.path(), h);
    EXPECT_EQ(firstDifference(slots, slotsOf(folder.path(), c)), "");
    EXPECT_EQ(firstDifference(slots, slotsOf(folder.path(), r)), "");
    expectSound(db.directory(), folder.path(), h, false);
    return db.run("SELECT * FROM " + h + " WHERE id IN (1, 2, 60) ORDER BY id");
  };
  // Each target as constants of the same values fill it.
  const auto asConstants = [&](const std::string& columns, const std::vector<std::string>& values) {
    db.run("CREATE TABLE k" + std::to_string(++targets) + " (" + columns + ")");
    for (const std::string& v : values)
      db.run("INSERT INTO k" + std::to_string(targets) + " VALUES (" + v + ")");
    return db.run("SELECT * FROM k" + std::to_string(targets) + " ORDER BY id");
  };
  const std::vector<std::string> values = {"1, 1.1256, 'ab1', '2024-03-02'", "2, 2.1256, 'ab2', '2024-03-03'",
                                           "60, 60.1256, 'ab0', '2024-03-05'"};
  // A decimal of other places takes the target's places on every road.
  const std::string twoPlaces = "id INTEGER, d DECIMAL(10,2), s CHAR(8), w DATE";
  const std::string places = threeRoads(twoPlaces, " SELECT * FROM src");
  EXPECT_EQ(places.substr(0, places.find('\n')), "1|1.13|ab1|2024-03-02");
  EXPECT_EQ(places, asConstants(twoPlaces, values));
  for (const std::string& columns :
       {std::string("id INTEGER, d DECIMAL(10,4), s CHAR(8) CHARCASE UPPER, w DATE"),
        std::string("id INTEGER, d DECIMAL(10,4), s CHAR(8), w TIMESTAMP")})
    EXPECT_EQ(threeRoads(columns, " SELECT * FROM src"), asConstants(columns, values));
  const std::string columns = "id INTEGER, d DECIMAL(10,4), s CHAR(8), w DATE";
  const std::string all = asConstants(columns, values);
  EXPECT_EQ(threeRoads(columns, " SELECT * FROM src"), all);
  EXPECT_EQ(threeRoads(columns, " SELECT * FROM src ORDER BY id DESC"), all);
  EXPECT_EQ(threeRoads(columns, " SELECT DISTINCT * FROM src"), all);
  EXPECT_EQ(threeRoads(columns, " (id, w, s, d) SELECT id, w, s, d FROM src"), all);
  // Cut short of the rows held, whose bytes the appended batch then holds past its end.
  for (const char* top : {" TOP 2", " TOP 40"})
    EXPECT_EQ(threeRoads(columns, std::string(" SELECT * FROM src ORDER BY id") + top),
              all.substr(0, all.rfind("60|")));
  EXPECT_EQ(threeRoads(columns, " SELECT id, d, 'x', w FROM src WHERE id = 2"),
            asConstants(columns, {"2, 2.1256, 'x', '2024-03-03'"}));
  EXPECT_EQ(threeRoads(columns, " SELECT id, d + 1, s, w FROM src WHERE id = 2"),
            asConstants(columns, {"2, 3.1256, 'ab2', '2024-03-03'"}));
  // The table as its own source takes each row once, twice over.
  db.run("CREATE TABLE self (" + columns + ")");
  for (int round = 1; round <= 2; ++round) {
    db.run("INSERT INTO self SELECT * FROM src");
    db.run("INSERT INTO self SELECT * FROM self");
    EXPECT_EQ(db.rows("SELECT COUNT(*) FROM self"), std::to_string(round == 1 ? 120 : 360) + "\n");
    EXPECT_EQ(db.rows("SELECT COUNT(*) FROM self WHERE id = 60 AND s = 'ab0'"), round == 1 ? "2\n" : "6\n");
  }
  expectSound(db.directory(), folder.path(), "self", false);
  // A key met by the last row: nothing is written, and no lock taken ahead is kept.
  db.run("CREATE TABLE u (" + columns + ")");
  db.run("CREATE UNIQUE INDEX ud ON u (s)");
  db.run("INSERT INTO u VALUES (100, 1, 'ab3', '2024-01-01')");
  EXPECT_NE(errorOf(db, "INSERT INTO u SELECT * FROM src WHERE id > 56", false), 0);
  EXPECT_EQ(db.rows("SELECT COUNT(*) FROM u"), "1\n");
  EXPECT_EQ(errorOf(db, "INSERT INTO u SELECT * FROM src WHERE id = 58 OR id = 60", false), 0);
  EXPECT_EQ(db.rows("SELECT id, s FROM u ORDER BY id"), "58|ab2\n60|ab0\n100|ab3\n");
  expectSound(db.directory(), folder.path(), "u", false);
}

// The body of a process that copies the first 20 rows of `from` into `to` `rounds` times on the
// tables of `path`: it says 'S' once its session is open and copies once told 'G'. `ready` runs
// first in the process; when it fails the process ends with 2.
std::function<int(Helper&)> copier(
    const std::string& path, const char* from, const char* to, int rounds,
    std::function<bool()> ready = [] { return true; }) {
  return [=](Helper& h) {
    if (!ready()) return 2;
    SqlDatabase them(path);
    h.send('S');
    if (h.receive() != 'G') return 1;
    for (int i = 0; i < rounds; ++i)
      them.run(std::string("INSERT INTO ") + to + " SELECT id + 1000, s, v FROM " + from + " WHERE id <= 20");
    return 0;
  };
}

// Lets every copier start at once, and expects each to finish.
void runTogether(std::initializer_list<Helper*> copiers) {
  for (Helper* h : copiers) ASSERT_EQ(h->receive(), 'S');
  for (Helper* h : copiers) h->send('G');
  for (Helper* h : copiers) EXPECT_EQ(h->wait(), 0);
}

// Two processes, each copying one table's first rows into the other again and again, both
// finish: neither waits for a lock the other holds while it holds one the other waits for.
TEST_F(InsertSelectRoads, TwoProcessesCopyingCrosswiseBothFinish) {
  db.run("CREATE TABLE a (id INTEGER, s CHAR(20), v INTEGER)");
  db.run("CREATE TABLE b (id INTEGER, s CHAR(20), v INTEGER)");
  db.run("INSERT INTO a SELECT id, s, v FROM src WHERE id <= 20");
  db.run("INSERT INTO b SELECT id, s, v FROM src WHERE id <= 20");
  constexpr int kRounds = 12;
  Helper ab(copier(folder.path(), "a", "b", kRounds)), ba(copier(folder.path(), "b", "a", kRounds));
  ASSERT_NO_FATAL_FAILURE(runTogether({&ab, &ba}));
  const std::string rows = std::to_string(20 * (kRounds + 1)) + "\n";
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM a"), rows);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM b"), rows);
  expectSound(db.directory(), folder.path(), "a", false);
  expectSound(db.directory(), folder.path(), "b", false);
}

// Three processes copying in a ring (a into b, b into c, c into a) all finish: the order the
// locks are taken in is one order for every process, not only the reverse of one other's.
TEST_F(InsertSelectRoads, ThreeProcessesCopyingInARingAllFinish) {
  for (const char* t : {"a", "b", "c"}) {
    db.run(std::string("CREATE TABLE ") + t + " (id INTEGER, s CHAR(20), v INTEGER)");
    db.run(std::string("INSERT INTO ") + t + " SELECT id, s, v FROM src WHERE id <= 20");
  }
  constexpr int kRounds = 10;
  const std::string path = folder.path();
  Helper ab(copier(path, "a", "b", kRounds)), bc(copier(path, "b", "c", kRounds)),
      ca(copier(path, "c", "a", kRounds));
  ASSERT_NO_FATAL_FAILURE(runTogether({&ab, &bc, &ca}));
  for (const char* t : {"a", "b", "c"})
    EXPECT_EQ(db.run(std::string("SELECT COUNT(*) FROM ") + t), std::to_string(20 * (kRounds + 1)) + "\n");
}

// The order does not hang on a process's locale: in a Turkish one, 'I' is not the upper case of
// 'i', so a table named in capitals would sort before "b" there and after it in the C locale.
TEST_F(InsertSelectRoads, TheLockOrderIsTheSameInEveryLocale) {
  const std::string locales = folder.path() + "/locales";
  std::filesystem::create_directory(locales);
  const std::string build = "localedef -i tr_TR -f UTF-8 " + locales + "/tr_TR.UTF-8 >/dev/null 2>&1";
  if (std::system(build.c_str()) != 0) GTEST_SKIP() << "no Turkish locale can be built here";
  db.run("CREATE TABLE ITEMS (id INTEGER, s CHAR(20), v INTEGER)");
  db.run("CREATE TABLE b (id INTEGER, s CHAR(20), v INTEGER)");
  db.run("INSERT INTO ITEMS SELECT id, s, v FROM src WHERE id <= 20");
  db.run("INSERT INTO b SELECT id, s, v FROM src WHERE id <= 20");
  constexpr int kRounds = 80;
  const auto inTurkish = [locales] {
    return setenv("LOCPATH", locales.c_str(), 1) == 0 && std::setlocale(LC_ALL, "tr_TR.UTF-8") &&
           std::tolower('I') == 'I';
  };
  Helper turkish(copier(folder.path(), "b", "ITEMS", kRounds, inTurkish)),
      plain(copier(folder.path(), "ITEMS", "b", kRounds));
  ASSERT_NO_FATAL_FAILURE(runTogether({&turkish, &plain}));
  const std::string rows = std::to_string(20 * (kRounds + 1)) + "\n";
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM ITEMS"), rows);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM b"), rows);
}

// Another process commits rows to the source, ten at a time, while this one copies it: each copy
// takes whole commits.
TEST_F(InsertSelectRoads, AnotherProcessWritingTheSourceMeanwhile) {
  db.run("CREATE TABLE t (id INTEGER, s CHAR(20), v INTEGER)");
  constexpr int kCommits = 60;
  const std::string path = folder.path();
  Helper writer([path](Helper& h) {
    SqlDatabase them(path);
    h.send('S');
    for (int c = 0; c < kCommits; ++c) {
      them.directory().StartTransaction();
      for (int i = 0; i < 10; ++i)
        them.run("INSERT INTO src VALUES (" + std::to_string(100000 + c * 10 + i) + ", 'w', 9, 1, NULL)");
      them.directory().Commit(true, false);
    }
    return 0;
  });
  ASSERT_EQ(writer.receive(), 'S');
  for (int copy = 0; copy < 15; ++copy) {
    db.run("INSERT INTO t SELECT id, s, v FROM src WHERE v = 9");
    EXPECT_EQ(db.affected % 10, 0) << db.affected;
  }
  EXPECT_EQ(writer.wait(), 0);
  db.run("INSERT INTO t SELECT id, s, v FROM src WHERE v = 9");
  EXPECT_EQ(db.affected, kCommits * 10);
  expectSound(db.directory(), folder.path(), "t", false);
}

}  // namespace
}  // namespace engine::sql
