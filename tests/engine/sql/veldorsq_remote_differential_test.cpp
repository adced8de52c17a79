// The SQL differential's statements on an engine server process (tools/engineserver on
// 127.0.0.1) and on a local session over an identical database: every result must match row for
// row in its order, with the same columns, rows affected and errors, and after each data change
// the whole table must too. When the server has stopped, its tables are read from its folder and
// checked. VELMARON_SEED replays a run; VELMARON_LONG=1 runs 5,000 statements.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/process.h"
#include "sql_generator.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tools/tablecheck/tablecheck.h"

namespace {

using namespace engine;
using namespace sql_gen;

// The engine server as a child process serving `root` to ann, with the password on its input.
class ServerProcess {
 public:
  explicit ServerProcess(const std::string& root)
      : process_(platform::ProcessSpec{ENGINESERVER_PROGRAM, {root, "ann"}, "", true}) {
    process_.writeInput("pw\n");
    std::string line;
    char c = 0;
    while (line.size() < 64 && process_.readOutput(&c, 1) == 1 && c != '\n') line += c;
    port_ = uint16_t(std::atoi(line.c_str()));
    if (port_ == 0) ADD_FAILURE() << "the server printed no port: " << line;
  }
  uint16_t port() const { return port_; }
  // Ends its input, which stops it; its exit code (the sanitizers' reports make it non-zero).
  int stop() {
    process_.closeInput();
    std::string rest;
    char buffer[4096];
    for (size_t n; (n = process_.readOutput(buffer, sizeof buffer)) > 0;) rest.append(buffer, n);
    const int code = process_.wait().shellCode();
    if (code != 0) ADD_FAILURE() << "the server ended with " << code << ":\n" << rest;
    return code;
  }

 private:
  platform::ChildProcess process_;
  uint16_t port_ = 0;
};

// What a statement gave: the error code, or the rows affected, the visible columns' names and
// types, the result's record count and its rows in order, read forwards and then backwards.
struct Outcome {
  uint16_t error = 0;
  bool live = false;
  int32_t affected = 0;
  uint32_t count = 0;
  std::string columns;
  std::vector<std::string> rows, backwards;
  bool operator==(const Outcome&) const = default;
  std::string text() const {
    if (error) return "error " + std::to_string(error);
    std::string out = std::to_string(affected) + (live ? " affected live, columns " : " affected, columns ") +
                      columns + ", count " + std::to_string(count) + ", " + std::to_string(rows.size()) +
                      " rows (" + std::to_string(backwards.size()) + " backwards)";
    for (size_t i = 0; i < rows.size() && i < 8; ++i) out += "\n    " + rows[i];
    return out;
  }
};

// The statement prepared once and run `runs` times, with `between` run before each further run;
// the outcome of its last run.
Outcome outcomeOf(TDataDirectory& directory, const std::string& sql, bool live, int runs = 1,
                  const std::string& between = "") {
  Outcome o;
  try {
    sql::TQueryStatement s(directory);
    s.RequestLive = live;
    s.Prepare(sql);
    TDataCursor* c = nullptr;
    for (int i = 0; i < runs; ++i) {
      if (i > 0 && !between.empty()) {
        sql::TQueryStatement change(directory);
        change.Prepare(between);
        change.Execute();
      }
      c = s.Execute();
    }
    o.affected = s.RowsAffected;
    o.live = s.Live;
    if (!c) return o;
    for (uint16_t p = 1; p <= c->FieldCount(); ++p)
      if (const TFieldDescriptor& f = c->GetFieldDesc(p); !f.Bytes()[252])
        o.columns += f.Name() + ":" + std::to_string(int(f.Type())) + " ";
    o.count = c->GetRecordCount();
    std::vector<uint8_t> record(c->RecordSize());
    std::string text;
    const auto line = [&] {
      std::string values;
      for (uint16_t p = 1; p <= c->FieldCount(); ++p)
        if (!c->GetFieldDesc(p).Bytes()[252])
          values += (sql::ColumnText(*c, p, record.data(), text) ? text : "NULL") + "|";
      return values;
    };
    c->SetToBegin();
    while (c->GetNextRecord(record.data()) == 0) o.rows.push_back(line());
    c->SetToEnd();
    while (c->GetPriorRecord(record.data()) == 0) o.backwards.push_back(line());
  } catch (const EVELDOREngineError& e) {
    o = Outcome{};
    o.error = e.ErrorCode();
  }
  return o;
}

class RemoteDifferential {
 public:
  RemoteDifferential(uint32_t seed, uint16_t port) : gen_(seed), again_(seed ^ 0x9E3779B9u), seed_(seed) {
    local_.SetPrivateDirectory(localRoot_.path());
    localDb_ = local_.OpenDataDirectory("db", localRoot_.path());
    remote_.SetSessionType(stRemote);
    // Half of the seeds talk as over a wide-area link, whose payloads are compressed.
    remote_.SetRemoteType(seed % 2 == 0);
    remote_.SetRemotePort(port);
    remote_.SetTimeOut(120);
    remote_.SetRemoteUser("ann");
    remote_.SetRemotePassword("pw");
    remote_.Connect();
    remote_.Login();
    remoteDb_ = remote_.OpenDataDirectory("db", "");
  }
  ~RemoteDifferential() {
    remote_.CloseDataDirectory(remoteDb_);
    local_.CloseDataDirectory(localDb_);
  }
  TDataDirectory& localDb() { return *localDb_; }

  // The statement on both sides; false (and a failure naming the seed) when they differ.
  bool same(const std::string& sql, bool live = false, int runs = 1, const std::string& between = "") {
    const Outcome here = outcomeOf(*localDb_, sql, live, runs, between),
                  there = outcomeOf(*remoteDb_, sql, live, runs, between);
    ++ran_;
    if (here.error) ++errors_;
    if (here.live && sql.rfind("SELECT *", 0) != 0) ++liveLists_;
    if (here == there) return true;
    ADD_FAILURE() << "VELMARON_SEED=" << seed_ << " statement " << count_ << (live ? " (live)" : "")
                  << (runs > 1 ? " (run twice, " + between + " between)" : "") << ": " << sql
                  << "\n  local:  " << here.text() << "\n  remote: " << there.text();
    failed_ = true;
    return false;
  }

  void seedTables(int most) {
    for (int t = 1; t <= 3 && !failed_; ++t) {
      const TableSeed seed = gen_.seedTable(t, most);
      same(seed.drop);
      same(seed.create);
      if (seed.indexesFirst)
        for (const std::string& index : seed.indexes) same(index);
      localDb_->StartTransaction();
      remoteDb_->StartTransaction();
      for (const std::string& insert : seed.inserts)
        if (!same(insert)) break;
      localDb_->Commit(true, false);
      remoteDb_->Commit(true, false);
      if (!seed.indexesFirst)
        for (const std::string& index : seed.indexes) same(index);
    }
  }

  void run(int statements) {
    const bool long_ = std::getenv("VELMARON_LONG") != nullptr;
    const int perRound = long_ ? 100 : 150;
    for (count_ = 0; count_ < statements && !failed_; ++count_) {
      if (count_ % perRound == 0) seedTables(long_ ? 200 : 60);
      if (gen_.chance(12)) {
        const Change change = gen_.change();
        if (same(change.text.ours)) same("SELECT * FROM " + change.table);
      } else {
        // Some statements run twice, with a row added between: the server runs its prepared
        // statement again, and the client's result cursor follows the new result.
        const Query q = gen_.select();
        const uint32_t draw = again_();
        if (draw % 5 != 0) {
          same(q.text().ours, q.live);
        } else {
          const std::string row = "INSERT INTO t" + std::to_string(draw / 5 % 3 + 1) + " VALUES (" +
                                  std::to_string(draw / 15 % 20) +
                                  ", 1, 1000, 0.5, 'abc', '2020-01-03', 'memo')";
          same(q.text().ours, q.live, 2, row);
        }
      }
    }
  }
  int ran() const { return ran_; }
  // Live results of select lists (not "*") that went remote.
  int liveLists() const { return liveLists_; }
  int errors() const { return errors_; }

 private:
  platform::testing::TempFolder localRoot_;
  TDataSession local_, remote_;
  TDataDirectory* localDb_ = nullptr;
  TDataDirectory* remoteDb_ = nullptr;
  Generator gen_;
  // Draws of this run's own, so that the generator gives the statements it gives elsewhere.
  std::mt19937 again_;
  uint32_t seed_;
  int count_ = 0, ran_ = 0, errors_ = 0, liveLists_ = 0;
  bool failed_ = false;
};

TEST(SqlRemoteDifferentialTest, StatementsOnAServerProcessGiveTheRowsTheyGiveLocally) {
  const uint32_t seed = storage_test::testSeed();
  platform::testing::TempFolder serverRoot;
  ServerProcess server(serverRoot.path());
  ASSERT_NE(server.port(), 0);
  std::vector<Outcome> localTables;
  {
    RemoteDifferential d(seed, server.port());
    d.run(std::getenv("VELMARON_LONG") ? 5000 : 300);
    // Most statements ran to an answer: a run of errors on both sides proves nothing.
    EXPECT_LT(d.errors() * 10, d.ran()) << d.errors() << " of " << d.ran() << " failed on both sides";
    EXPECT_GT(d.liveLists(), 0);
    for (const char* t : {"t1", "t2", "t3"})
      localTables.push_back(outcomeOf(d.localDb(), std::string("SELECT * FROM ") + t, false));
  }
  ASSERT_EQ(server.stop(), 0);
  // What the server wrote is in its folder: the same rows, in tables that pass the checker.
  TDataSession reader;
  reader.SetPrivateDirectory(serverRoot.path() + "/db");
  TDataDirectory* written = reader.OpenDataDirectory("db", serverRoot.path() + "/db");
  for (int t = 1; t <= 3; ++t) {
    const std::string name = "t" + std::to_string(t);
    const Outcome there = outcomeOf(*written, "SELECT * FROM " + name, false),
                  here = localTables[size_t(t - 1)];
    EXPECT_TRUE(there == here) << name << "\n  local:  " << here.text() << "\n  server: " << there.text();
    tablecheck::Options options;
    options.checkRecordKeys = true;
    const tablecheck::Report report = tablecheck::CheckTableFiles(serverRoot.path() + "/db/" + name, options);
    EXPECT_TRUE(report.ok()) << name << ": " << report.text();
  }
  reader.CloseDataDirectory(written);
}

}  // namespace
