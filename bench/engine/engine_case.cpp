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
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"

namespace {

using namespace engine;

std::string benchDir() {
  const char* s = std::getenv("VELMARON_BENCH_DIR");
  return (std::filesystem::path(s ? s : std::filesystem::temp_directory_path().string()) /
          "velmaron-engine-case")
      .string();
}

TFieldDescriptor makeField(uint16_t number, const char* name, uint8_t type, uint8_t size = 0) {
  TFieldDescriptor d;
  d.SetFieldNumber(number);
  d.SetName(name);
  d.SetType(type);
  d.SetSize(size);
  return d;
}

struct Row {
  int32_t k;
  std::string name;
  int32_t amount;
};

// As engine_bench's table: K, NAME, AMOUNT, NOTE and as many secondary indexes as asked.
TRestructureArgs tableArgs(int indexes) {
  TRestructureArgs a;
  a.BlobBlockSize = 512;
  a.NoPrimaryIndex = true;
  a.Fields = {makeField(1, "K", 6), makeField(2, "NAME", 1, 20), makeField(3, "AMOUNT", 6),
              makeField(4, "NOTE", 1, 20)};
  const char* names[] = {"BYK", "BYNAME", "BYAMOUNT"};
  a.Indexes.resize(size_t(1 + indexes));
  for (int i = 1; i <= indexes; ++i) {
    a.Indexes[size_t(i)].name = names[i - 1];
    a.Indexes[size_t(i)].fields[0] = uint16_t(i);
    a.Indexes[size_t(i)].unique = i == 1;
  }
  return a;
}

struct Table {
  Table(TDataDirectory& d, int indexes) : cursor(d) {
    cursor.SetTableName("t" + std::to_string(indexes));
    cursor.SetExclusive(true);
    TRestructureArgs a = tableArgs(indexes);
    cursor.CreateTable(a);
    cursor.Open();
    buffer.resize(cursor.RecordSize());
  }
  uint8_t* put(const Row& r) {
    cursor.ClearRecordBuffer(buffer.data());
    cursor.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&r.k));
    cursor.PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>(r.name.c_str()));
    cursor.PutField(3, buffer.data(), reinterpret_cast<const uint8_t*>(&r.amount));
    cursor.PutField(4, buffer.data(), reinterpret_cast<const uint8_t*>("a note of some words"));
    return buffer.data();
  }
  void append(const std::vector<Row>& rows) {
    for (const Row& r : rows) cursor.AppendRecord(put(r));
    cursor.FlushBuffers(true, false, true, true, false);
  }
  TDataCursor cursor;
  std::vector<uint8_t> buffer;
};

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
  std::vector<Row> rows(n);
  std::vector<int32_t> ks(n);
  std::iota(ks.begin(), ks.end(), 0);
  std::shuffle(ks.begin(), ks.end(), rng);
  for (size_t i = 0; i < n; ++i) {
    char name[24];
    std::snprintf(name, sizeof name, "name%08d", int(ks[i] * 7919 % int(n)));
    rows[i] = {ks[i], name, int32_t(rng() % 1000)};
  }
  uint64_t seen = 0;
  {
    TDataSession session;
    TDataDirectory& d = *session.OpenDataDirectory("bench", benchDir());
    if (what == "append0") {
      Table t(d, 0);
      CALLGRIND_START_INSTRUMENTATION;
      t.append(rows);
      CALLGRIND_STOP_INSTRUMENTATION;
      seen = t.cursor.GetRecordCount();
    } else if (what == "range") {
      Table t(d, 3);
      t.append(rows);
      const size_t ranges = 200, width = std::max<size_t>(1, n / 100);
      std::mt19937 first;
      CALLGRIND_START_INSTRUMENTATION;
      t.cursor.SelectIndex(1);
      for (size_t i = 0; i < ranges * size_t(repeat); ++i) {
        if (i % ranges == 0) first.seed(7);
        const int32_t lo = int32_t(first() % n), hi = lo + int32_t(width);
        std::vector<uint8_t> low(t.put({lo, "", 0}), t.put({lo, "", 0}) + t.cursor.RecordSize());
        t.cursor.SetRange(false, low.data(), 1, t.put({hi, "", 0}), 1);
        t.cursor.SetToBegin();
        while (t.cursor.GetNextRecord(t.buffer.data()) == 0) ++seen;
      }
      t.cursor.ResetRange();
      CALLGRIND_STOP_INSTRUMENTATION;
    } else {
      Table t(d, 0);
      t.append(rows);
      t.cursor.Close();
      TRestructureArgs added = tableArgs(0);
      added.Fields.push_back(makeField(5, "EXTRA", 6));
      added.NoBackup = true;
      const auto start = std::chrono::steady_clock::now();
      CALLGRIND_START_INSTRUMENTATION;
      t.cursor.RestructureTable(added);
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
