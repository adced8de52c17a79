// Threads of one process, each with its own session on one folder, make their statements'
// result tables there at the same time: each statement reads its own rows, and none fails.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/storage/veldorhelpers_file.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace engine;

constexpr int kThreads = 8;
constexpr int kRows = 20;

std::string tableOf(int thread) {
  return "t" + std::to_string(thread);
}

// The rows a thread's statements read: values of its own table only, highest first.
std::string expectedOf(int thread) {
  std::string out;
  for (int v = kRows; v >= 1; --v) out += std::to_string(thread * 1000 + v) + " ";
  return out;
}

std::string readAll(TDataCursor& c) {
  std::string out, text;
  std::vector<uint8_t> record(c.RecordSize());
  c.SetToBegin();
  while (c.GetNextRecord(record.data()) == 0)
    out += (sql::ColumnText(c, 1, record.data(), text) ? text : "NULL") + " ";
  return out;
}

// Thread ids are forced to share their first digits, as ids of a busy machine do.
TEST(ResultNamesTest, ThreadsWithIdsOfTheSameFirstDigitsKeepTheirResultsApart) {
  platform::testing::TempFolder folder;
  {
    TDataSession session;
    TDataDirectory* directory = session.OpenDataDirectory("db", folder.path());
    for (int k = 0; k < kThreads; ++k) {
      sql::TQueryStatement s(*directory);
      std::string text = "CREATE TABLE " + tableOf(k) + " (v INTEGER)";
      for (int v = 1; v <= kRows; ++v)
        text += "; INSERT INTO " + tableOf(k) + " VALUES (" + std::to_string(k * 1000 + v) + ")";
      s.Prepare(text);
      s.Execute();
    }
    session.CloseDataDirectory(directory);
  }
  std::barrier start(kThreads);
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> threads;
  for (int k = 0; k < kThreads; ++k) {
    threads.emplace_back([&, k] {
      SetTempNameThreadNumber(1234500 + uint64_t(k));
      try {
        TDataSession session;
        session.SetPrivateDirectory(folder.path());
        TDataDirectory* directory = session.OpenDataDirectory("db", folder.path());
        start.arrive_and_wait();
        for (int round = 0; round < 10 && failures[k].empty(); ++round) {
          // Several results alive at once, each a table of its own.
          std::vector<std::unique_ptr<sql::TQueryStatement>> open;
          for (int n = 0; n < 3; ++n) {
            auto& s = *open.emplace_back(std::make_unique<sql::TQueryStatement>(*directory));
            s.Prepare("SELECT v FROM " + tableOf(k) + " WHERE v > 0 ORDER BY v DESC");
            const std::string got = readAll(*s.Execute());
            if (got != expectedOf(k)) failures[k] = "read " + got;
          }
        }
        session.CloseDataDirectory(directory);
      } catch (const EVELDOREngineError& e) {
        failures[k] = e.ErrorText();
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int k = 0; k < kThreads; ++k) EXPECT_EQ(failures[k], "") << "thread " << k;
}

// One thread makes the same names for each of its sessions: a result one session holds is seen
// by the other, which takes the next name.
TEST(ResultNamesTest, SessionsOfOneThreadKeepTheirResultsApart) {
  platform::testing::TempFolder folder;
  TDataSession first, second;
  std::vector<TDataDirectory*> directories;
  for (TDataSession* session : {&first, &second}) {
    session->SetPrivateDirectory(folder.path());
    directories.push_back(session->OpenDataDirectory("db", folder.path()));
  }
  {
    sql::TQueryStatement s(*directories[0]);
    s.Prepare(
        "CREATE TABLE t0 (v INTEGER); CREATE TABLE t1 (v INTEGER); INSERT INTO t0 VALUES (1); "
        "INSERT INTO t1 VALUES (1001)");
    s.Execute();
  }
  std::vector<std::unique_ptr<sql::TQueryStatement>> open;
  std::vector<TDataCursor*> results;
  for (int n = 0; n < 6; ++n) {
    auto& s = *open.emplace_back(std::make_unique<sql::TQueryStatement>(*directories[n % 2]));
    s.Prepare("SELECT v FROM t" + std::to_string(n % 2) + " WHERE v > 0 ORDER BY v DESC");
    results.push_back(s.Execute());
  }
  for (int n = 0; n < 6; ++n) EXPECT_EQ(readAll(*results[size_t(n)]), n % 2 ? "1001 " : "1 ") << n;
  open.clear();
  first.CloseDataDirectory(directories[0]);
  second.CloseDataDirectory(directories[1]);
}

}  // namespace
