// A statement's cursor opened on a table that this process already holds (kept from the last
// statement, or open for another statement) is placed on what the table's caches hold, without
// the read lock, while no other writer changed the table since. Whatever another process did in
// between — committed, restructured, or ended in the middle of a commit or of a restructure —
// the next run of a prepared statement, the next statement and a statement beside an open one
// answer exactly what a fresh session answers, each the first to read after the change.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/sql/veldorsq.h"
#include "engine/storage/veldorfile.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "platform/faultfs.h"
#include "sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace engine;
using sql_test::SqlDatabase;
using storage_test::Helper;

constexpr int kRows = 300;
const std::string kSummary = "SELECT COUNT(*), MIN(v), MAX(v), SUM(id) FROM t";

// The numbers of a one-row result.
std::vector<int> fields(const std::string& row) {
  std::vector<int> out;
  size_t at = 0;
  while (at < row.size() && row[at] != '\n') {
    size_t end = row.find_first_of("|\n", at);
    out.push_back(std::stoi(row.substr(at, end - at)));
    at = end + (row[end] == '|' ? 1 : 0);
  }
  return out;
}

// The first reader after the change: the prepared statement run again, a new statement taking
// the kept table back, or a new statement beside one that holds the table open.
enum class Road { PreparedAgain, TakenBack, Beside };

// Runs `statements` in another process; with `exitAt` its file system ends it at that counted
// operation (writes only unless `anyOperation`). True when the process ran to its end.
bool elsewhere(const std::string& folder, const std::vector<std::string>& statements, uint64_t exitAt = 0,
               bool anyOperation = false) {
  Helper child([&](Helper&) {
    platform::FaultyFileSystem faulty(platform::FileSystem::local());
    TFileList list(faulty);
    TDataSession session;
    session.SetPrivateDirectory(folder);
    TDataDirectory* directory = session.OpenDataDirectory("db", folder);
    directory->SetFileList(list);
    if (exitAt) faulty.setPlan({platform::Fault::Exit, exitAt, !anyOperation});
    for (const std::string& s : statements) {
      sql::TQueryStatement statement(*directory);
      statement.Prepare(s);
      statement.Execute();
    }
    session.CloseDataDirectory(directory);
    return 0;
  });
  const int code = child.wait();
  EXPECT_TRUE(code == 0 || (exitAt && code == platform::kFaultExitCode)) << "the other process: " << code;
  return code == 0;
}

class CachedOpen : public ::testing::TestWithParam<Road> {
 protected:
  void SetUp() override {
    db_.run("CREATE TABLE t (id INTEGER, v INTEGER, pad CHAR(120))");
    db_.run("CREATE INDEX tv ON t (v)");
    db_.directory().StartTransaction();
    for (int i = 1; i <= kRows; ++i)
      db_.run("INSERT INTO t VALUES (" + std::to_string(i) + ", 0, 'row " + std::to_string(i) + "')");
    db_.directory().Commit(true, false);
  }

  // What a fresh session in this process reads now.
  std::string fresh(const std::string& query) {
    SqlDatabase other(folder_.path());
    return other.run(query);
  }

  // Brings the table to the state in which the road's reader opens it (kept, prepared, held
  // open), runs `change` and returns what the road's reader answers first, then the same from a
  // fresh session.
  std::pair<std::string, std::string> readAround(const std::function<void()>& change) {
    db_.run(kSummary);
    sql::TQueryStatement prepared(db_.directory());
    std::unique_ptr<sql::TQueryStatement> holder;
    if (GetParam() == Road::PreparedAgain) {
      prepared.Prepare(kSummary);
      SqlDatabase::text(*prepared.Execute());
    } else if (GetParam() == Road::Beside) {
      holder = std::make_unique<sql::TQueryStatement>(db_.directory());
      holder->Prepare("SELECT id FROM t WHERE id = 1");
      holder->Execute();
    }
    change();
    std::string first;
    if (GetParam() == Road::PreparedAgain) {
      first = SqlDatabase::text(*prepared.Execute());
    } else {
      first = db_.run(kSummary);
    }
    holder.reset();
    return {first, fresh(kSummary)};
  }

  platform::testing::TempFolder folder_;
  SqlDatabase db_{folder_.path()};
};

TEST_P(CachedOpen, SeesWhatAnotherProcessCommittedAsAFreshSessionDoes) {
  for (const std::vector<std::string>& change : std::vector<std::vector<std::string>>{
           {"UPDATE t SET v = v + 1"},
           {"DELETE FROM t WHERE id <= 10"},
           {"INSERT INTO t VALUES (1000, 5, 'new')", "UPDATE t SET pad = 'changed' WHERE id = 20"},
           // Values the rows already hold: nothing is written, and nothing is to be seen.
           {"UPDATE t SET v = v WHERE id = 30"}}) {
    SCOPED_TRACE(change.front());
    const auto [first, expected] = readAround([&] { elsewhere(folder_.path(), change); });
    EXPECT_EQ(first, expected);
    EXPECT_EQ(db_.run("SELECT id, v, pad FROM t"), fresh("SELECT id, v, pad FROM t"));
  }
}

// A writer that ends at each write of its commit in turn leaves the rows all old or all new: the
// first reader rolls its journal back (or sees the finished commit) before it answers.
TEST_P(CachedOpen, AWriterEndedInItsCommitLeavesAllOldOrAllNew) {
  bool finished = false;
  for (uint64_t write = 1; !finished && write <= 40; ++write) {
    SCOPED_TRACE(write);
    const std::string before = db_.run(kSummary);
    const auto [first, expected] = readAround(
        [&] { finished = elsewhere(folder_.path(), {"UPDATE t SET v = v + 1, pad = 'y'"}, write); });
    EXPECT_EQ(first, expected);
    // COUNT, MIN(v), MAX(v), SUM(id): every row moved by one, or none did.
    const std::vector<int> was = fields(before), now = fields(db_.run(kSummary));
    ASSERT_EQ(now.size(), 4u);
    EXPECT_EQ(now[0], kRows);
    EXPECT_EQ(now[1], was[1] + (finished ? 1 : 0));
    EXPECT_EQ(now[2], now[1]);
    EXPECT_EQ(now[3], kRows * (kRows + 1) / 2);
    EXPECT_EQ(db_.run("SELECT COUNT(*) FROM t WHERE pad = 'y'"), finished ? "300\n" : "0\n");
  }
  EXPECT_TRUE(finished) << "no write number let the commit finish";
}

INSTANTIATE_TEST_SUITE_P(Roads, CachedOpen,
                         ::testing::Values(Road::PreparedAgain, Road::TakenBack, Road::Beside));

// A table kept by this process while another one restructures it, ending at each step of the
// copy and the swap in turn: the next statement here reads the old table whole or the new one
// whole, as a fresh session does, and a swap left behind is finished first.
TEST(CachedOpenKept, ARestructureEndedAnywhereShowsWholeAtTheNextStatement) {
  platform::testing::TempFolder folder;
  SqlDatabase db(folder.path());
  db.run("CREATE TABLE t (id INTEGER, v INTEGER)");
  db.directory().StartTransaction();
  for (int i = 1; i <= 50; ++i)
    db.run("INSERT INTO t VALUES (" + std::to_string(i) + ", " + std::to_string(i) + ")");
  db.directory().Commit(true, false);
  bool finished = false;
  int columns = 2;
  for (uint64_t step = 1; !finished && step <= 200; ++step) {
    SCOPED_TRACE(step);
    db.run("SELECT COUNT(*) FROM t");
    finished =
        elsewhere(folder.path(), {"ALTER TABLE t ADD w" + std::to_string(step) + " INTEGER"}, step, true);
    const std::string here = db.run("SELECT * FROM t WHERE id = 7");
    SqlDatabase other(folder.path());
    EXPECT_EQ(here, other.run("SELECT * FROM t WHERE id = 7"));
    EXPECT_EQ(db.run("SELECT COUNT(*), SUM(v) FROM t"), "50|1275\n");
    const int now = int(std::count(here.begin(), here.end(), '|')) + 1;
    EXPECT_TRUE(now == columns || now == columns + 1) << here;
    columns = now;
  }
  EXPECT_TRUE(finished) << "no step let the restructure finish";
}

}  // namespace
