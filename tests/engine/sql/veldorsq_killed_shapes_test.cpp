// Writers ended at a sample of their file operations (any operation but a read: opens, creates,
// writes, truncates, syncs, deletes and renames), over tables with memos, a unique descending
// index, a case-insensitive one, a compressed descending one, a locale's order, and an encrypted
// table: statements that move index keys, delete through a sub-select of their own table, insert
// a SELECT of their own table, update or delete every row, a caller's transaction over three
// tables, indexes added and dropped, restructures while another process keeps the table, and
// tables made, renamed (once to a name in other letters' case) and dropped. Another process then
// finds every table as one of the
// states the statements leave, in their order (a statement, and the caller's transaction, whole
// or not at all): its rows, every index walked whole, key searches agreeing with the scan, the
// files sound, and no journal, marker or copy left. A recovery ended part way is opened again
// and finds what an unbroken recovery finds.
//
// The kill points are sampled from the writer's operations with a printed seed
// (VELMARON_SEED replays it); VELMARON_KILL_POINTS sets how many per scenario (a number past the
// operations' count ends each scenario at every one of them).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/faultfs.h"
#include "tests/engine/sql/sql_killed_util.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tests/platform/test_seed.h"
#include "tools/tablecheck/tablecheck.h"

namespace engine::sql {
namespace {

using sql_killed::copyFolder;
using sql_killed::Database;
using storage_test::Helper;
using TempFolder = platform::testing::TempFolder;

constexpr const char* kPassword = "shape-pw";

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The table's name as its data file spells it in the folder; empty when it has none.
std::string speltTable(const std::string& folder, const std::string& table) {
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (lower(entry.path().filename().string()) == table + ".dat") return entry.path().stem().string();
  return "";
}

// Asked of the engine: a swap cut short between its moves leaves no data file under the name,
// and the table is there all the same.
bool hasTable(Database& db, const std::string& table) {
  return db.directory().TableExists(table, false);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    out.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return out;
}

// What one table holds, as a text two equal tables give alike: its fields and indexes, its rows
// by id; every index walked whole must give the rows a scan gives, key searches on the id and on
// v must find what the scan finds, and the checker must find the files sound. A failure of
// those is a "PROBLEM" line, which no state of the table holds.
std::string tableState(Database& db, const std::string& folder, const std::string& table) {
  if (!hasTable(db, table)) return table + ": absent\n";
  std::string out;
  try {
    TDataCursor c(db.directory());
    c.SetTableName(table);
    c.Open();
    out = table + ": " + std::to_string(c.FieldCount()) + " fields, " + std::to_string(c.GetIndexCount()) +
          " indexes\n";
    const std::string rows = db.run("SELECT * FROM " + table + " ORDER BY id");
    out += rows;
    const std::vector<std::string> scan = lines(rows);
    const int32_t count = int32_t(scan.size());
    std::vector<uint8_t> record(c.RecordSize());
    for (uint8_t slot = 0; slot < c.GetIndexCount(); ++slot) {
      c.SwitchToIndex(slot);
      int32_t walked = 0;
      c.SetToBegin();
      while (c.GetNextRecord(record.data()) == 0) ++walked;
      if (walked != count || c.GetRecordCount() != count)
        out += "PROBLEM: index " + std::to_string(slot) + " walks " + std::to_string(walked) +
               " rows, counts " + std::to_string(c.GetRecordCount()) + ", the scan " + std::to_string(count) +
               "\n";
    }
    c.Close();
    // Every fifth row searched by its id and by its v (the first two columns).
    for (size_t i = 0; i < scan.size(); i += 5) {
      const std::vector<std::string> row = [&] {
        std::vector<std::string> cells;
        for (size_t at = 0;;) {
          const size_t bar = scan[i].find('|', at);
          cells.push_back(scan[i].substr(at, bar - at));
          if (bar == std::string::npos) return cells;
          at = bar + 1;
        }
      }();
      if (row.size() < 2 || row[0] == "NULL") continue;
      const std::string byId = db.run("SELECT id FROM " + table + " WHERE id = " + row[0]);
      if (byId != row[0] + "\n") out += "PROBLEM: the search for id " + row[0] + " gives '" + byId + "'\n";
      if (row[1] == "NULL" || table == "n") continue;
      size_t same = 0;
      for (const std::string& other : scan) same += other.find("|" + row[1] + "|") != std::string::npos;
      const std::string byV = db.run("SELECT COUNT(*) FROM " + table + " WHERE v = " + row[1]);
      if (byV != std::to_string(same) + "\n")
        out += "PROBLEM: the search for v " + row[1] + " counts " + byV + " the scan " +
               std::to_string(same) + "\n";
    }
    TDataCursor order(db.directory());
    order.SetTableName(table);
    order.Open();
    tablecheck::Options options;
    options.checkRecordKeys = true;
    options.encrypted = table == "e";
    options.compare = [&](uint8_t slot, const uint8_t* a, const uint8_t* b, uint16_t n) {
      order.SelectIndex(slot);
      return order.CompareKeys(a, b, n);
    };
    const tablecheck::Report report =
        tablecheck::CheckTableFiles(folder + "/" + speltTable(folder, table), options);
    if (!report.ok()) out += "PROBLEM: the checker: " + report.text() + "\n";
  } catch (const EVELDOREngineError& e) {
    out += "PROBLEM: " + e.ErrorText() + "\n";
  }
  return out;
}

// Every table's state, then any file that belongs to no table of the state, a journal that holds
// a change, or a marker. An empty journal is what a writer keeps between its write-outs and holds
// no change.
std::string stateOf(const std::string& folder, const std::vector<std::string>& tables) {
  std::string out;
  {
    Database db(folder, kPassword);
    for (const std::string& table : tables) out += tableState(db, folder, table);
  }
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string stem = lower(entry.path().stem().string());
    const std::string extension = lower(entry.path().extension().string());
    if (std::find(tables.begin(), tables.end(), stem) == tables.end() || extension == ".jnm" ||
        (extension == ".jnl" && std::filesystem::file_size(entry.path()) != 0))
      out += "PROBLEM: a file left: " + entry.path().filename().string() + "\n";
  }
  return out;
}

// The tables every scenario starts from: t in a locale's order with a memo, a unique descending
// index, a case-insensitive one and a compressed descending one; e encrypted with a memo and a
// unique index; p with a memo and no index.
void makeTables(const std::string& folder) {
  Database db(folder, kPassword);
  db.run(
      "CREATE TABLE t (id INTEGER, v INTEGER, s CHAR(20), m BLOB(10, 1), PRIMARY KEY (id) "
      "LANGUAGE 'English (UK)')");
  db.run("CREATE UNIQUE DESC INDEX tu ON t (v)");
  db.run("CREATE NOCASE INDEX ts ON t (s)");
  db.run("CREATE DESC INDEX tsv ON t (s, v) COMPRESS FULL");
  db.run(std::string("CREATE TABLE e (id INTEGER, v INTEGER, s CHAR(12), m BLOB(10, 1), PRIMARY KEY (id) "
                     "ENCRYPTED WITH '") +
         kPassword + "')");
  db.run("CREATE UNIQUE INDEX eu ON e (v, s)");
  db.run("CREATE TABLE p (id INTEGER, v INTEGER, s CHAR(12), m BLOB(10, 1))");
  const char* names[] = {"alpha", "Beta", "\xC3\xA9t\xC3\xA9", "ALPHA", "gamma", "beta"};
  const auto memo = [](int i) { return std::string(size_t(i % 4) * 70, char('a' + i % 26)); };
  db.directory().StartTransaction();
  for (int i = 1; i <= 120; ++i) {
    const std::string values = std::to_string(i) + ", " + std::to_string(i * 7 % 1009) + ", '" +
                               names[i % 6] + std::to_string(i % 9) + "', '" + memo(i) + "')";
    db.run("INSERT INTO t VALUES (" + values);
    if (i <= 80) db.run("INSERT INTO e VALUES (" + values);
    if (i <= 40) db.run("INSERT INTO p VALUES (" + values);
  }
  db.directory().Commit(true, false);
  // Freed slots inside the tables, taken again by later appends out of record order.
  db.run("DELETE FROM t WHERE id > 50 AND id <= 60");
  db.run("DELETE FROM e WHERE id < 6");
}

struct Scenario {
  const char* name;
  std::vector<std::string> tables;
  // The steps; each leaves a state of its own, unless `transaction` runs them all in one
  // transaction of the caller, committed at the end.
  std::vector<std::function<void(TDataDirectory&)>> steps;
  bool transaction = false;
  bool keeper = false;  // another process keeps the tables open across the steps and the kill
};

std::function<void(TDataDirectory&)> statement(const std::string& text) {
  return [text](TDataDirectory& directory) {
    TQueryStatement s(directory);
    s.Prepare(text);
    s.Execute();
  };
}

std::function<void(TDataDirectory&)> rename(const std::string& from, const std::string& to) {
  return [from, to](TDataDirectory& directory) {
    TDataCursor c(directory);
    c.SetTableName(from);
    c.RenameTable(to);
  };
}

std::vector<Scenario> scenarios() {
  const std::vector<std::string> all{"t", "e", "p"};
  const std::string createN = "CREATE TABLE n (id INTEGER, m BLOB(10, 1), PRIMARY KEY (id))";
  return {
      {"UpdateMovingKeys",
       all,
       {statement("UPDATE t SET id = id + 1000, v = v + 2000, s = 'Moved', m = 'a memo moved along with "
                  "its row, long enough for blocks of its own' WHERE v < 400"),
        statement("UPDATE e SET v = 2000 - v, m = '' WHERE id > 40")}},
      {"DeleteWithSubSelect", all, {statement("DELETE FROM t WHERE id IN (SELECT id FROM t WHERE v < 500)")}},
      {"InsertSelectOfItself",
       all,
       {statement("INSERT INTO t SELECT id + 5000, v + 3000, s, m FROM t"),
        statement("INSERT INTO e SELECT id + 5000, v + 3000, s, m FROM e WHERE id < 50")}},
      {"UpdateEveryRow",
       all,
       {statement("UPDATE t SET v = v + 1"), statement("UPDATE e SET m = 'one', s = 'x'")}},
      {"DeleteEveryRow", all, {statement("DELETE FROM e"), statement("DELETE FROM t")}},
      {"CallersTransactionOverThreeTables",
       all,
       {statement("UPDATE t SET m = 'changed', v = v + 5000 WHERE id < 30"),
        statement("DELETE FROM e WHERE id > 60"),
        statement("INSERT INTO p SELECT id + 100, v, s, m FROM t WHERE id < 20")},
       true},
      {"IndexesAddedAndDropped",
       all,
       {statement("CREATE INDEX tvs ON t (v, s)"), statement("DROP INDEX t.ts"),
        statement("CREATE NOCASE INDEX es ON e (s)"), statement("DROP INDEX e.eu")}},
      {"RestructuredWhileKept",
       all,
       {statement("ALTER TABLE t ADD q INTEGER"), statement("ALTER TABLE e DROP m"),
        statement("ALTER TABLE p ADD w CHAR(30)")},
       false,
       true},
      {"TableCreated", {"t", "e", "p", "n"}, {statement(createN)}},
      {"TablesRenamed", {"t", "e", "p", "r", "u"}, {rename("p", "r"), rename("t", "U")}},
      {"TablesDropped", {"t", "e", "p"}, {statement("DROP TABLE e"), statement("DROP TABLE t")}},
      {"TableCreatedFilledThenOthersRenamedAndDropped",
       {"t", "e", "p", "n", "r"},
       {statement(createN), statement("INSERT INTO n SELECT id, m FROM t WHERE id < 40"), rename("p", "r"),
        statement("DROP TABLE e")}},
  };
}

// Runs the scenario's steps on `folder` through a file system that ends the process at
// operation `exitAt` (none with 0); `after` runs after each step that leaves a state. The number
// of operations the steps made.
uint64_t runSteps(const Scenario& scenario, const std::string& folder, uint64_t exitAt,
                  const std::function<void()>& after) {
  platform::FaultyFileSystem faulty(platform::FileSystem::local());
  TFileList list(faulty);
  uint64_t operations = 0;
  {
    Database db(folder, kPassword, &list);
    // Onward: the first operation from `exitAt` on that is not a read ends the process.
    faulty.setPlan({exitAt ? platform::Fault::Exit : platform::Fault::None, exitAt, false, true});
    if (scenario.transaction) db.directory().StartTransaction();
    for (const auto& step : scenario.steps) {
      step(db.directory());
      if (!scenario.transaction && after) after();
    }
    if (scenario.transaction) db.directory().Commit(true, false);
    operations = faulty.operations();
    faulty.setPlan({});
  }
  if (scenario.transaction && after) after();
  return operations;
}

// Opens every table of `tables` through a file system that ends the process at operation
// `exitAt`: the recovery of what a killed writer left, ended part way.
void openEndingAt(const std::string& folder, const std::vector<std::string>& tables, uint64_t exitAt) {
  platform::FaultyFileSystem faulty(platform::FileSystem::local());
  TFileList list(faulty);
  Database db(folder, kPassword, &list);
  faulty.setPlan({platform::Fault::Exit, exitAt, false, true});
  for (const std::string& table : tables) {
    if (!hasTable(db, table)) continue;
    TDataCursor c(db.directory());
    c.SetTableName(table);
    c.Open();
  }
  faulty.setPlan({});
}

bool journalLeft(const std::string& folder) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string extension = lower(entry.path().extension().string());
    if (extension == ".jnm" || (extension == ".jnl" && std::filesystem::file_size(entry.path()) != 0))
      return true;
  }
  return false;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class KilledShapes : public ::testing::TestWithParam<Scenario> {};

TEST_P(KilledShapes, AnotherProcessFindsAStateTheStepsLeaveAndARecoveryEndedPartWayFinishes) {
  const Scenario& scenario = GetParam();
  const char* env = std::getenv("VELMARON_KILL_POINTS");
  const int points = env ? std::max(1, std::atoi(env)) : 5;
  const uint32_t seed = platform::testing::testSeed();
  std::mt19937 rng(seed);
  TempFolder pristine;
  makeTables(pristine.path());

  // The states the steps leave, in their order, and the operations they make.
  std::vector<std::string> states{stateOf(pristine.path(), scenario.tables)};
  uint64_t operations = 0;
  {
    TempFolder clean;
    copyFolder(pristine.path(), clean.path());
    const std::string path = clean.path();
    TempFolder replay;
    copyFolder(pristine.path(), replay.path());
    runSteps(scenario, replay.path(), 0, [&] { states.push_back(stateOf(replay.path(), scenario.tables)); });
    // Counted in a process of its own, as the killed writers will run.
    TempFolder side;
    const std::string countFile = side.file("count");
    Helper counter([&](Helper&) {
      const uint64_t n = runSteps(scenario, path, 0, nullptr);
      std::ofstream(countFile) << n;
      return 0;
    });
    ASSERT_EQ(counter.wait(), 0);
    operations = std::stoull(readFile(countFile));
  }
  for (const std::string& state : states) ASSERT_EQ(state.find("PROBLEM"), std::string::npos) << state;
  ASSERT_EQ(states.size(), scenario.transaction ? 2u : scenario.steps.size() + 1);
  ASSERT_GT(operations, 4u);

  // The first and last operations, one past the last (the steps complete), and a sample between.
  std::set<uint64_t> sample{1, operations, operations + 1};
  while (sample.size() < size_t(points) + 3 && sample.size() <= operations)
    sample.insert(1 + rng() % operations);
  std::string sampled;
  for (uint64_t k : sample) sampled += " " + std::to_string(k);
  std::printf("%s: %llu operations, ended at%s\n", scenario.name, static_cast<unsigned long long>(operations),
              sampled.c_str());

  size_t reached = 0;
  int recoveriesEnded = 0;
  for (uint64_t k : sample) {
    SCOPED_TRACE(std::string(scenario.name) + " ended at operation " + std::to_string(k) +
                 " (replay with VELMARON_SEED=" + std::to_string(seed) + ")");
    TempFolder dir;
    copyFolder(pristine.path(), dir.path());
    const std::string path = dir.path();
    TempFolder side;
    const std::string keptState = side.file("kept");
    std::unique_ptr<Helper> keeper;
    if (scenario.keeper) {
      // Opens and closes every table, which stay open in its process, then reads them again
      // once the writer has gone.
      keeper = std::make_unique<Helper>([&](Helper& h) {
        Database db(path, kPassword);
        for (const std::string& table : scenario.tables)
          if (hasTable(db, table)) db.run("SELECT COUNT(*) FROM " + table);
        h.send('r');
        if (h.receive() != 'g') return 1;
        std::string state;
        for (const std::string& table : scenario.tables) state += tableState(db, path, table);
        std::ofstream(keptState) << state;
        return 0;
      });
      ASSERT_EQ(keeper->receive(), 'r');
    }
    Helper writer([&](Helper&) {
      runSteps(scenario, path, k, nullptr);
      return 0;
    });
    const int code = writer.wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << code;

    // A recovery ended part way, then opened again, finds what an unbroken one finds.
    std::string expected, recoveryTrace;
    if (journalLeft(path) && recoveriesEnded < 2) {
      TempFolder unbroken;
      copyFolder(path, unbroken.path());
      expected = stateOf(unbroken.path(), scenario.tables);
      const uint64_t at = 1 + rng() % 6;
      Helper recovering([&](Helper&) {
        openEndingAt(path, scenario.tables, at);
        return 0;
      });
      const int recovered = recovering.wait();
      ASSERT_TRUE(recovered == 0 || recovered == platform::kFaultExitCode) << recovered;
      recoveriesEnded += recovered != 0;
      recoveryTrace = "the recovery ended at operation " + std::to_string(at);
    }
    if (keeper) {
      keeper->send('g');
      ASSERT_EQ(keeper->wait(), 0);
    }
    SCOPED_TRACE(recoveryTrace);
    const std::string found = stateOf(path, scenario.tables);
    if (!expected.empty()) {
      EXPECT_EQ(found, expected) << "a recovery ended part way left another state";
    }
    // Steps whose change the state does not show (an index the walk does not tell apart) leave
    // equal states: the first at or after the one reached.
    size_t state =
        size_t(std::find(states.begin() + ptrdiff_t(reached), states.end(), found) - states.begin());
    if (state == states.size())
      state = size_t(std::find(states.begin(), states.end(), found) - states.begin());
    ASSERT_LT(state, states.size()) << "a state no step left:\n" << found;
    ASSERT_GE(state, reached) << "a later end undid a step that an earlier one kept";
    reached = state;
    if (code == 0) {
      EXPECT_EQ(found, states.back());
    }
    if (keeper) {
      std::string kept;
      for (const std::string& line : lines(found))
        if (line.rfind("PROBLEM: a file left", 0) != 0) kept += line + "\n";
      EXPECT_EQ(readFile(keptState), kept) << "the process that kept the tables reads another state";
    }
  }
  EXPECT_EQ(states[reached], states.back()) << "the last operation ended no step";
}

INSTANTIATE_TEST_SUITE_P(Steps, KilledShapes, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace engine::sql
