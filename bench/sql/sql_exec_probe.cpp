// One statement of the execution bench, run alone for a profiler:
//   sql_exec_probe FOLDER load ROWS    makes table b of sql_exec_bench with ROWS rows in FOLDER
//   sql_exec_probe FOLDER run N SQL [RESET]
//                                      runs SQL N times as the bench runs it (a statement made,
//                                      prepared and executed each time) and prints its last count;
//                                      with RESET, that statement runs before each, as a bench case
//                                      with a reset does
// Under callgrind the load is done first without it, so that the count is that of the runs alone;
// with a reset, `--collect-atstart=no --toggle-collect=measured` counts SQL alone.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/sql/veldorsq.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"

namespace {

int64_t run(engine::TDataDirectory& directory, const std::string& sql) {
  engine::sql::TQueryStatement s(directory);
  s.Prepare(sql);
  engine::TDataCursor* c = s.Execute();
  return c ? c->GetRecordCount() : s.RowsAffected;
}

// Apart from run, so that a profiler can count it alone.
[[gnu::noinline]] int64_t measured(engine::TDataDirectory& directory, const std::string& sql) {
  return run(directory, sql);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || (std::string(argv[2]) == "run" && argc < 5)) {
    std::fprintf(stderr, "usage: sql_exec_probe FOLDER load ROWS | FOLDER run N SQL [RESET]\n");
    return 2;
  }
  const std::string folder = argv[1], mode = argv[2];
  const int n = std::max(1, std::atoi(argv[3]));
  std::filesystem::create_directories(folder);
  engine::TDataSession session;
  session.SetPrivateDirectory(folder);
  engine::TDataDirectory* directory = session.OpenDataDirectory("probe", folder);
  int64_t last = 0;
  if (mode == "load") {
    run(*directory,
        "CREATE TABLE b (id INTEGER, k INTEGER, u INTEGER, g10 INTEGER, g10k INTEGER, s CHAR(20))");
    directory->StartTransaction();
    for (int i = 0; i < n; ++i)
      run(*directory, "INSERT INTO b VALUES (" + std::to_string(i) + ", " + std::to_string((i * 7919) % n) +
                          ", " + std::to_string(i % 977) + ", " + std::to_string(i % 10) + ", " +
                          std::to_string(i % 10000) + ", 'name" + std::to_string(i % 5000) + "')");
    directory->Commit(true, false);
    run(*directory, "CREATE INDEX bk ON b (k)");
  } else {
    const std::string reset = argc > 5 ? argv[5] : "";
    for (int i = 0; i < n; ++i) {
      if (!reset.empty()) run(*directory, reset);
      last = measured(*directory, argv[4]);
    }
  }
  session.CloseDataDirectory(directory);
  std::printf("%lld\n", static_cast<long long>(last));
  return 0;
}
