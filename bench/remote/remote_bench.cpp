// One table look-up and one password change per iteration, locally and through the loopback
// server, on the local network (plain payloads) and off it (zlib payloads); and a read of every
// record of a 1000-record table through a cursor, locally and through the server (one record
// and 64 records to a request); a 64 KB memo written and read back; a callback filter built over
// 1000 records (remotely one callback to the client per record).
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

// A table "memo" with a code and a memo field.
TDataCursor& openMemoTable(TDataDirectory& directory, std::unique_ptr<TDataCursor>& c) {
  {
    TDataCursor create(directory);
    create.SetTableName("memo");
    create.SetExclusive(true);
    TCreateTableArgs a;
    a.Fields.resize(2);
    a.Fields[0].SetFieldNumber(1);
    a.Fields[0].SetName("CODE");
    a.Fields[0].SetType(kFieldTypeBytes);
    a.Fields[0].SetSize(8);
    a.Fields[1].SetFieldNumber(2);
    a.Fields[1].SetName("NOTE");
    a.Fields[1].SetType(kFieldTypeBlob);
    a.Fields[1].SetSubType(22);
    a.NoPrimaryIndex = true;
    a.Overwrite = true;
    a.BlobBlockSize = 512;
    create.CreateTable(a);
  }
  c = std::make_unique<TDataCursor>(directory);
  c->SetTableName("memo");
  c->Open();
  return *c;
}

// Per iteration: a record with a 64 KB memo appended, then read back with its memo whole.
void memoRoundTrip(benchmark::State& state, TDataDirectory& directory) {
  std::unique_ptr<TDataCursor> cursor;
  TDataCursor& c = openMemoTable(directory, cursor);
  std::vector<uint8_t> record(c.RecordSize()), bytes(65536, 'x'), out(65536);
  for (auto _ : state) {
    c.ClearRecordBuffer(record.data());
    c.OpenBlob(2, record.data(), 2, false, 0);
    c.PutBlob(2, record.data(), 0, bytes.data(), int32_t(bytes.size()), false);
    c.AppendRecord(record.data());
    c.FreeAllBlobs(true);
    c.GetCurrentRecord(record.data(), false);
    uint32_t read = 0;
    c.OpenBlob(2, record.data(), 1, false, 0);
    if (c.GetBlob(2, record.data(), 0, out.data(), int32_t(out.size()), read, false) != 0 ||
        read != out.size())
      state.SkipWithError("memo not read back");
    c.FreeBlob(2, record.data(), false, 0);
  }
  state.SetBytesProcessed(state.iterations() * 2 * int64_t(bytes.size()));
}

// Per iteration: a callback filter activated (its bitmap built over 1000 records) and deactivated.
void callbackFilter(benchmark::State& state, TDataDirectory& directory) {
  std::unique_ptr<TDataCursor> cursor;
  TDataCursor& c = openMemoTable(directory, cursor);
  std::vector<uint8_t> record(c.RecordSize());
  for (int i = 0; i < 1000; ++i) {
    c.ClearRecordBuffer(record.data());
    const uint8_t code[8] = {uint8_t(i)};
    c.PutField(1, record.data(), code);
    c.AppendRecord(record.data(), false);
  }
  TFilter* filter = c.AddFilter(
      nullptr, nullptr, nullptr, false,
      [](void*, TDataCursor& cursor, const uint8_t* r, uint32_t) {
        return r[cursor.GetFieldDesc(1).Offset() + 1] % 2 == 0;
      },
      true, true, false, false);
  for (auto _ : state) {
    c.ActivateFilter(filter);
    if (c.GetRecordCount() != 500) state.SkipWithError("wrong count");
    c.DeactivateFilter(filter);
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

void LocalMemo(benchmark::State& state) {
  Folder folder;
  TDataSession session;
  memoRoundTrip(state, *session.OpenDataDirectory("db", (folder.path / "db").string()));
}

void RemoteMemo(benchmark::State& state) {
  Folder folder;
  engineserver::EngineServer server(folder.path.string(), {{"bench", "pw"}});
  TDataSession session;
  memoRoundTrip(state, remoteDirectory(session, server, state.range(0) == 1));
}

void LocalCallbackFilter(benchmark::State& state) {
  Folder folder;
  TDataSession session;
  callbackFilter(state, *session.OpenDataDirectory("db", (folder.path / "db").string()));
}

void RemoteCallbackFilter(benchmark::State& state) {
  Folder folder;
  engineserver::EngineServer server(folder.path.string(), {{"bench", "pw"}});
  TDataSession session;
  callbackFilter(state, remoteDirectory(session, server, state.range(0) == 1));
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
BENCHMARK(LocalMemo);
BENCHMARK(RemoteMemo)->Arg(1)->ArgName("lan");
BENCHMARK(RemoteMemo)->Arg(0)->ArgName("lan");
BENCHMARK(LocalCallbackFilter);
BENCHMARK(RemoteCallbackFilter)->Arg(1)->ArgName("lan");

}  // namespace

BENCHMARK_MAIN();
