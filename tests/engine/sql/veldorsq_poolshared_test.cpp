// Results kept by their directories for the next statement of the same shape, with the engine
// server (in this process, a thread for each connection) and local sessions of this and another
// process on one folder at once: every statement, local or through the server, shows its own
// rows only, and a directory's kept results go with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorfile.h"
#include "sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tests/platform/test_seed.h"
#include "tools/engineserver/engineserver.h"

namespace {

using namespace sql_test;
using storage_test::Helper;

// More shapes than a directory keeps results, so that statements both take kept results and
// make new ones.
const char* const kShapes[] = {
    "SELECT id, s FROM t WHERE g = ?",
    "SELECT s, id FROM t WHERE g = ? ORDER BY s, id",
    "SELECT g, COUNT(*) FROM t WHERE id > ? * 9 GROUP BY g",
    "SELECT DISTINCT s FROM t WHERE g <> ?",
    "SELECT id FROM t WHERE g = ? ORDER BY id DESC",
    "SELECT COUNT(*) FROM t WHERE g = ?",
};
constexpr int kShapeCount = int(std::size(kShapes));
constexpr int kValues = 6;

std::string statement(int shape, int value) {
  std::string text = kShapes[shape];
  text.replace(text.find('?'), 1, std::to_string(value));
  return text;
}

// One session on the engine server, on its folder "db".
class RemoteDatabase {
 public:
  explicit RemoteDatabase(uint16_t port) {
    session_.SetSessionType(engine::stRemote);
    session_.SetRemoteType(true);
    session_.SetRemotePort(port);
    session_.SetTimeOut(20);
    session_.SetRemoteUser("ann");
    session_.SetRemotePassword("pw");
    session_.Connect();
    session_.Login();
    directory_ = session_.OpenDataDirectory("db", "");
  }
  ~RemoteDatabase() { session_.CloseDataDirectory(directory_); }
  RemoteDatabase(const RemoteDatabase&) = delete;
  RemoteDatabase& operator=(const RemoteDatabase&) = delete;
  std::string rows(const std::string& sql) {
    try {
      TQueryStatement s(*directory_);
      s.Prepare(sql);
      engine::TDataCursor* c = s.Execute();
      return c ? SqlDatabase::text(*c) : "";
    } catch (const EVELDOREngineError& e) {
      return "error: " + e.ErrorText();
    }
  }

 private:
  TDataSession session_;
  TDataDirectory* directory_ = nullptr;
};

// Every statement's rows from a result made afresh.
using Expected = std::map<std::pair<int, int>, std::string>;

// Runs every statement in `rounds` shuffled passes on `run`; the first difference from `expected`,
// or "".
template <typename Run>
std::string runMany(Run&& run, const Expected& expected, int rounds, uint32_t seed) {
  std::vector<std::pair<int, int>> order;
  for (const auto& [key, rows] : expected) order.push_back(key);
  std::mt19937 rng(seed);
  for (int round = 0; round < rounds; ++round) {
    std::shuffle(order.begin(), order.end(), rng);
    for (const auto& [shape, value] : order) {
      const std::string text = statement(shape, value);
      const std::string rows = run(text);
      if (rows != expected.at({shape, value})) return text + " gave\n" + rows;
    }
  }
  return "";
}

TEST(SharedResultPool, StatementsLocalAndThroughTheServerShowTheirOwnRowsAndKeptResultsGoWithTheirDirectory) {
  platform::testing::TempFolder root;
  const std::string folder = root.path("db");
  Expected expected;
  {
    std::filesystem::create_directories(folder);
    SqlDatabase db(folder);
    db.run("CREATE TABLE t (id INTEGER, g INTEGER, s CHAR(20))");
    db.directory().StartTransaction();
    for (int id = 1; id <= 90; ++id)
      db.run("INSERT INTO t VALUES (" + std::to_string(id) + ", " + std::to_string(id % kValues) + ", 'v" +
             std::to_string(id * 7 % 13) + "')");
    db.directory().Commit(true, false);
    for (int shape = 0; shape < kShapeCount; ++shape) {
      for (int value = 0; value < kValues; ++value) {
        db.directory().DropIdleResults();
        expected[{shape, value}] = db.run(statement(shape, value));
      }
    }
  }
  // Files of the process's list that earlier tests left (tables in memory live on with it).
  const size_t before = engine::EngineFileList().Count();
  const uint32_t seed = platform::testing::testSeed();
  constexpr int kRounds = 4;
  // Another process, made before any thread of this one runs: its own pool on the same folder.
  Helper other([&](Helper& h) {
    if (h.receive() != 'G') return 80;
    SqlDatabase db(folder);
    const std::string failure =
        runMany([&](const std::string& text) { return db.rows(text); }, expected, kRounds, seed + 7);
    return failure.empty() ? 0 : 81;
  });
  std::vector<std::string> failures;
  std::mutex failuresMutex;
  {
    engineserver::EngineServer server(root.path(), {{"ann", "pw"}});
    auto note = [&](const std::string& who, const std::string& failure) {
      if (failure.empty()) return;
      std::lock_guard lock(failuresMutex);
      failures.push_back(who + ": " + failure);
    };
    other.send('G');
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
      workers.emplace_back([&, w] {
        if (w < 2) {
          RemoteDatabase db(server.port());
          note("remote " + std::to_string(w),
               runMany([&](const std::string& text) { return db.rows(text); }, expected, kRounds, seed + w));
        } else {
          SqlDatabase db(folder);
          note("local " + std::to_string(w),
               runMany([&](const std::string& text) { return db.rows(text); }, expected, kRounds, seed + w));
        }
      });
    }
    for (auto& t : workers) t.join();
    // Every directory, the server's included, has closed: nothing it kept is left.
    EXPECT_EQ(engine::EngineFileList().Count(), before);
  }
  EXPECT_EQ(other.wait(), 0) << "the other process saw other rows (seed " << seed << ")";
  for (const std::string& f : failures) ADD_FAILURE() << f << "(seed " << seed << ")";
}

}  // namespace
