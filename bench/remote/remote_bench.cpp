// One table look-up and one password change per iteration, locally and through the loopback
// server, on the local network (plain payloads) and off it (zlib payloads); and a read of every
// record of a 1000-record table through a cursor, locally and through the server (one record
// and 64 records to a request).
#include <benchmark/benchmark.h>

#include <filesystem>

#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "tools/engineserver/engineserver.h"

namespace {

using namespace engine;

struct Folder {
  Folder() {
    path = std::filesystem::temp_directory_path() / ("velmaron-remote-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path / "db");
  }
  ~Folder() { std::filesystem::remove_all(path); }
  std::filesystem::path path;
};

void run(benchmark::State& state, TDataSession& session, TDataDirectory& directory) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(directory.TableExists("missing", false));
    session.AddPassword("secret");
    session.RemovePassword("secret");
  }
  state.SetItemsProcessed(state.iterations() * 3);
}

// Creates the table "bench" with 1000 records of 40 bytes, then reads them all per iteration,
// `blocks` records to a request.
void readAll(benchmark::State& state, TDataDirectory& directory, uint32_t blocks = 1) {
  {
    TDataCursor c(directory);
    c.SetTableName("bench");
    c.SetExclusive(true);
    TCreateTableArgs a;
    a.Fields.emplace_back();
    a.Fields.back().SetFieldNumber(1);
    a.Fields.back().SetName("CODE");
    a.Fields.back().SetType(kFieldTypeBytes);
    a.Fields.back().SetSize(40);
    a.NoPrimaryIndex = true;
    a.Overwrite = true;
    a.BlobBlockSize = 512;
    c.CreateTable(a);
  }
  TDataCursor c(directory);
  c.SetTableName("bench");
  c.SetRecordBlockCount(blocks);
  c.Open();
  std::vector<uint8_t> record(c.RecordSize());
  for (int i = 0; i < 1000; ++i) {
    c.ClearRecordBuffer(record.data());
    c.AppendRecord(record.data(), false);
  }
  for (auto _ : state) {
    c.SetToBegin();
    while (c.GetNextRecord(record.data()) == 0) benchmark::DoNotOptimize(record.data());
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}

TDataDirectory& remoteDirectory(TDataSession& session, engineserver::EngineServer& server, bool lan) {
  session.SetSessionType(stRemote);
  session.SetRemoteType(lan);
  session.SetRemotePort(server.port());
  session.SetRemoteUser("bench");
  session.SetRemotePassword("pw");
  session.Connect();
  session.Login();
  return *session.OpenDataDirectory("db", "");
}

void LocalRead(benchmark::State& state) {
  Folder folder;
  TDataSession session;
  readAll(state, *session.OpenDataDirectory("db", (folder.path / "db").string()));
}

void RemoteRead(benchmark::State& state) {
  Folder folder;
  engineserver::EngineServer server(folder.path.string(), {{"bench", "pw"}});
  TDataSession session;
  readAll(state, remoteDirectory(session, server, state.range(0) == 1), uint32_t(state.range(1)));
}

void Local(benchmark::State& state) {
  Folder folder;
  TDataSession session;
  run(state, session, *session.OpenDataDirectory("db", (folder.path / "db").string()));
}

void Remote(benchmark::State& state) {
  Folder folder;
  engineserver::EngineServer server(folder.path.string(), {{"bench", "pw"}});
  TDataSession session;
  run(state, session, remoteDirectory(session, server, state.range(0) == 1));
  session.Logout();
}

BENCHMARK(Local);
BENCHMARK(Remote)->Arg(1)->ArgName("lan");
BENCHMARK(Remote)->Arg(0)->ArgName("lan");
BENCHMARK(LocalRead);
BENCHMARK(RemoteRead)->Args({1, 1})->Args({1, 64})->ArgNames({"lan", "block"});

}  // namespace

BENCHMARK_MAIN();
