// One case of engine_bench alone, on the same rows, for an instruction count of the case by
// itself: the set-up runs outside the counted part (callgrind's instrumentation is switched on
// around the case only; run with --collect-atstart=no or --instr-atstart=no).
//   valgrind --tool=callgrind --instr-atstart=no build/release/bench/engine/engine_case CASE [rows [repeat]]
// CASE: append0 | range | restructure.  VELMARON_BENCH_DIR: folder, as for engine_bench.
#include <valgrind/callgrind.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/engine/engine_table.h"
#include "engine/tables/veldorsession.h"

namespace {

using namespace engine_bench;

std::string benchDir() {
  return engine_bench::benchDir("velmaron-engine-case");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  const size_t n = argc > 2 ? size_t(std::atol(argv[2])) : 100000;
  // Range scans only: the case that many times over, so that a sampling profile sees it mostly.
  const int repeat = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
  if (what != "append0" && what != "range" && what != "restructure") {
    std::fprintf(stderr, "usage: engine_case append0|range|restructure [rows]\n");
    return 2;
  }
  std::filesystem::remove_all(benchDir());
  std::filesystem::create_directories(benchDir());
  // The rows of engine_bench, drawn alike.
  std::mt19937 rng(42);
  const std::vector<Row> rows = makeRows(n, rng);
  uint64_t seen = 0;
  {
    TDataSession session;
    TDataDirectory& d = *session.OpenDataDirectory("bench", benchDir());
    if (what == "append0") {
      BenchTable t(d, 0);
      CALLGRIND_START_INSTRUMENTATION;
      t.append(rows);
      CALLGRIND_STOP_INSTRUMENTATION;
      seen = t.cursor().GetRecordCount();
    } else if (what == "range") {
      BenchTable t(d, 3);
      t.append(rows);
      const size_t ranges = 200, width = std::max<size_t>(1, n / 100);
      std::mt19937 first;
      CALLGRIND_START_INSTRUMENTATION;
      t.cursor().SelectIndex(1);
      for (size_t i = 0; i < ranges * size_t(repeat); ++i) {
        if (i % ranges == 0) first.seed(7);
        seen += t.scanRange(int32_t(first() % n), int32_t(width));
      }
      t.cursor().ResetRange();
      CALLGRIND_STOP_INSTRUMENTATION;
    } else {
      BenchTable t(d, 0);
      t.append(rows);
      t.cursor().Close();
      TRestructureArgs added = tableArgs(0);
      added.Fields.push_back(makeField(5, "EXTRA", 6));
      added.NoBackup = true;
      const auto start = std::chrono::steady_clock::now();
      CALLGRIND_START_INSTRUMENTATION;
      t.cursor().RestructureTable(added);
      CALLGRIND_STOP_INSTRUMENTATION;
      std::printf("restructure %.4f s\n",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      seen = n;
    }
  }
  std::printf("%s: %zu rows, %llu seen\n", what.c_str(), n, (unsigned long long)seen);
  std::filesystem::remove_all(benchDir());
  return 0;
}
