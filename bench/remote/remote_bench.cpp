// One table look-up and one password change per iteration, locally and through the loopback
// server, on the local network (plain payloads) and off it (zlib payloads).
#include <benchmark/benchmark.h>

#include <filesystem>

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

void Local(benchmark::State& state) {
  Folder folder;
  TDataSession session;
  run(state, session, *session.OpenDataDirectory("db", (folder.path / "db").string()));
}

void Remote(benchmark::State& state) {
  Folder folder;
  engineserver::EngineServer server(folder.path.string(), {{"bench", "pw"}});
  TDataSession session;
  session.SetSessionType(stRemote);
  session.SetRemoteType(state.range(0) == 1);
  session.SetRemotePort(server.port());
  session.SetRemoteUser("bench");
  session.SetRemotePassword("pw");
  session.Connect();
  session.Login();
  run(state, session, *session.OpenDataDirectory("db", ""));
  session.Logout();
}

BENCHMARK(Local);
BENCHMARK(Remote)->Arg(1)->ArgName("lan");
BENCHMARK(Remote)->Arg(0)->ArgName("lan");

}  // namespace

BENCHMARK_MAIN();
