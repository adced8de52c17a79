// Key searches and range scans through the data cursor, and the same through SQLite on the same
// rows, in one run:
//   - FindKey of an integer key (unique index) and of a string key in a locale's order
//     (non-unique index); SQLite looks up the same keys through its indexes, the string one
//     under a collation that calls the engine's own locale comparison;
//   - scans of 1%, 10% and 100% of the rows in key order: a range on the integer index read with
//     GetNextRecord and with ReadRecordBlock; SQLite steps a prepared BETWEEN query.
// The files live in the page caches of both (nothing is forced to the device). The ratios
// (engine time / SQLite time) are printed at the end.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/base/veldorlocale.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"

namespace {

using namespace engine;

constexpr int kRows = 20000;
constexpr uint16_t kLanguage = 0x0409;

std::string BenchDir() {
  if (const char* s = std::getenv("VELMARON_BENCH_DIR")) return std::string(s) + "/velmaron-cursor-bench";
  return (std::filesystem::temp_directory_path() / "velmaron-cursor-bench").string();
}

std::string NameOf(int i) {
  static const char* stems[] = {"anders", "Åsa", "björn", "Zoë", "carl", "émile", "olof", "ulla"};
  return std::string(stems[i % 8]) + " " + std::to_string(i * 7919 % 100003);
}

TFieldDescriptor Field(uint16_t number, const char* name, uint8_t type, uint8_t size = 0) {
  TFieldDescriptor d;
  d.SetFieldNumber(number);
  d.SetName(name);
  d.SetType(type);
  d.SetSize(size);
  return d;
}

struct Engine {
  Engine() {
    std::filesystem::remove_all(BenchDir());
    std::filesystem::create_directories(BenchDir());
    directory = session.OpenDataDirectory("bench", BenchDir());
    TCreateTableArgs a;
    a.LanguageId = kLanguage;
    a.BlobBlockSize = 512;
    a.Fields = {Field(1, "K", kFieldTypeInteger), Field(2, "NAME", kFieldTypeString, 40)};
    a.Indexes.resize(3);
    a.Indexes[0].fields[0] = 1;
    a.Indexes[1].name = "BYK";
    a.Indexes[1].fields[0] = 1;
    a.Indexes[1].unique = 1;
    a.Indexes[2].name = "BYNAME";
    a.Indexes[2].fields[0] = 2;
    cursor = std::make_unique<TDataCursor>(*directory);
    cursor->SetTableName("rows");
    cursor->SetExclusive(true);
    cursor->CreateTable(a);
    cursor->Open();
    std::vector<uint8_t> b(cursor->RecordSize());
    for (int i = 0; i < kRows; ++i) {
      cursor->ClearRecordBuffer(b.data());
      Put(b.data(), i);
      cursor->AppendRecord(b.data(), false);
    }
  }
  ~Engine() {
    cursor.reset();
    session.CloseDataDirectory(directory);
    std::filesystem::remove_all(BenchDir());
  }
  void Put(uint8_t* b, int i) {
    const int32_t k = i;
    cursor->PutField(1, b, reinterpret_cast<const uint8_t*>(&k));
    std::string name = NameOf(i);
    cursor->PutField(2, b, reinterpret_cast<const uint8_t*>(name.c_str()));
  }
  TDataSession session;
  TDataDirectory* directory = nullptr;
  std::unique_ptr<TDataCursor> cursor;
};

int Collate(void*, int na, const void* a, int nb, const void* b) {
  return OSCompareStrings(kLanguage, 0, std::string_view(static_cast<const char*>(a), size_t(na)), false, 0,
                          std::string_view(static_cast<const char*>(b), size_t(nb)));
}

struct Lite {
  Lite() {
    const std::string path = BenchDir() + "-lite.db";
    std::filesystem::remove(path);
    sqlite3_open(path.c_str(), &db);
    sqlite3_create_collation(db, "LOCALE", SQLITE_UTF8, nullptr, Collate);
    sqlite3_exec(
        db,
        "PRAGMA synchronous=OFF; CREATE TABLE rows(id INTEGER PRIMARY KEY, k INTEGER, name TEXT COLLATE "
        "LOCALE); CREATE UNIQUE INDEX byk ON rows(k); CREATE INDEX byname ON rows(name); BEGIN;",
        nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO rows(k, name) VALUES (?, ?)", -1, &insert, nullptr);
    for (int i = 0; i < kRows; ++i) {
      const std::string name = NameOf(i);
      sqlite3_bind_int(insert, 1, i);
      sqlite3_bind_text(insert, 2, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  }
  ~Lite() {
    sqlite3_close(db);
    std::filesystem::remove(BenchDir() + "-lite.db");
  }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    return s;
  }
  sqlite3* db = nullptr;
};

Engine& TheEngine() {
  static Engine e;
  return e;
}
Lite& TheLite() {
  static Lite l;
  return l;
}

void EngineFindInt(benchmark::State& state) {
  TDataCursor& c = *TheEngine().cursor;
  c.SwitchToIndex(1);
  std::vector<uint8_t> b(c.RecordSize()), out(c.RecordSize());
  std::mt19937 random(1);
  for (auto _ : state) {
    const int32_t k = int32_t(random() % kRows);
    c.PutField(1, b.data(), reinterpret_cast<const uint8_t*>(&k));
    if (!c.FindKey(false, b.data(), 1, false, 0, out.data())) state.SkipWithError("missing key");
  }
}
void LiteFindInt(benchmark::State& state) {
  sqlite3_stmt* s = TheLite().Prepare("SELECT k, name FROM rows WHERE k = ?");
  std::mt19937 random(1);
  for (auto _ : state) {
    sqlite3_bind_int(s, 1, int(random() % kRows));
    if (sqlite3_step(s) != SQLITE_ROW) state.SkipWithError("missing key");
    benchmark::DoNotOptimize(sqlite3_column_text(s, 1));
    sqlite3_reset(s);
  }
  sqlite3_finalize(s);
}
void EngineFindString(benchmark::State& state) {
  TDataCursor& c = *TheEngine().cursor;
  c.SwitchToIndex(2);
  std::vector<uint8_t> b(c.RecordSize()), out(c.RecordSize());
  std::mt19937 random(2);
  for (auto _ : state) {
    const std::string name = NameOf(int(random() % kRows));
    c.PutField(2, b.data(), reinterpret_cast<const uint8_t*>(name.c_str()));
    if (!c.FindKey(false, b.data(), 1, false, 0, out.data())) state.SkipWithError("missing key");
  }
}
void LiteFindString(benchmark::State& state) {
  sqlite3_stmt* s = TheLite().Prepare("SELECT k, name FROM rows WHERE name = ? ORDER BY name, id LIMIT 1");
  std::mt19937 random(2);
  for (auto _ : state) {
    const std::string name = NameOf(int(random() % kRows));
    sqlite3_bind_text(s, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(s) != SQLITE_ROW) state.SkipWithError("missing key");
    benchmark::DoNotOptimize(sqlite3_column_int(s, 0));
    sqlite3_reset(s);
  }
  sqlite3_finalize(s);
}

// A scan of `percent` of the rows from a random start, by GetNextRecord (block 0) or in blocks.
void EngineScan(benchmark::State& state, int percent, uint32_t block) {
  TDataCursor& c = *TheEngine().cursor;
  c.SwitchToIndex(1);
  const int span = kRows * percent / 100;
  std::vector<uint8_t> lo(c.RecordSize()), hi(c.RecordSize()),
      out(c.RecordSize() * std::max<uint32_t>(block, 1));
  std::mt19937 random(3);
  for (auto _ : state) {
    const int32_t first = int32_t(random() % uint32_t(kRows - span + 1)), last = first + span - 1;
    c.PutField(1, lo.data(), reinterpret_cast<const uint8_t*>(&first));
    c.PutField(1, hi.data(), reinterpret_cast<const uint8_t*>(&last));
    c.SetRange(false, lo.data(), 1, hi.data(), 1);
    c.SetToBegin();
    int read = 0;
    if (block == 0) {
      while (c.GetNextRecord(out.data()) == 0) ++read;
    } else {
      for (uint16_t code = 0; code == 0;) {
        uint32_t count = block;
        code = c.ReadRecordBlock(count, out.data());
        read += int(count);
      }
    }
    if (read != span) state.SkipWithError("short scan");
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * span);
}
void LiteScan(benchmark::State& state, int percent) {
  sqlite3_stmt* s = TheLite().Prepare("SELECT k, name FROM rows WHERE k BETWEEN ? AND ? ORDER BY k");
  const int span = kRows * percent / 100;
  std::mt19937 random(3);
  for (auto _ : state) {
    const int first = int(random() % uint32_t(kRows - span + 1));
    sqlite3_bind_int(s, 1, first);
    sqlite3_bind_int(s, 2, first + span - 1);
    int read = 0;
    while (sqlite3_step(s) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_text(s, 1));
      ++read;
    }
    sqlite3_reset(s);
    if (read != span) state.SkipWithError("short scan");
  }
  sqlite3_finalize(s);
  state.SetItemsProcessed(int64_t(state.iterations()) * span);
}

// Keeps each run's time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (!r.error_occurred) times[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  TheEngine();
  TheLite();
  benchmark::RegisterBenchmark("find/int/engine", EngineFindInt);
  benchmark::RegisterBenchmark("find/int/sqlite", LiteFindInt);
  benchmark::RegisterBenchmark("find/string/engine", EngineFindString);
  benchmark::RegisterBenchmark("find/string/sqlite", LiteFindString);
  for (int percent : {1, 10, 100}) {
    const std::string p = std::to_string(percent);
    benchmark::RegisterBenchmark(("scan" + p + "/next/engine").c_str(), EngineScan, percent, 0u);
    benchmark::RegisterBenchmark(("scan" + p + "/block/engine").c_str(), EngineScan, percent, 100u);
    benchmark::RegisterBenchmark(("scan" + p + "/sqlite").c_str(), LiteScan, percent);
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const std::string& engine, const std::string& lite) {
    if (reporter.times.count(engine) && reporter.times.count(lite))
      std::printf("%-22s engine / sqlite = %.2f\n", engine.c_str(),
                  reporter.times[engine] / reporter.times[lite]);
  };
  ratio("find/int/engine", "find/int/sqlite");
  ratio("find/string/engine", "find/string/sqlite");
  for (const char* p : {"1", "10", "100"}) {
    ratio(std::string("scan") + p + "/next/engine", std::string("scan") + p + "/sqlite");
    ratio(std::string("scan") + p + "/block/engine", std::string("scan") + p + "/sqlite");
  }
  return 0;
}
