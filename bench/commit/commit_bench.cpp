// What a commit costs: one small transaction (one record changed, one appended) and one of
// 10,000 appends, each committed
//   - by the engine through its rollback journal (the steps of the directory's Commit),
//   - by the engine writing the same held writes out without a journal file,
//   - by SQLite with its rollback journal (journal_mode=DELETE),
// without forcing to the device (SQLite: synchronous=OFF) and with it (the engine's forceFlush;
// SQLite: synchronous=EXTRA, which like the engine also syncs the folder after the journal goes).
// Records hold an 8-byte and a 20-byte field. At the end the ratios are printed (of the medians
// when run with --benchmark_repetitions; device syncs vary a lot on a busy machine).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "engine/storage/veldorjournal.h"
#include "engine/storage/veldorkeys.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"

namespace {

using namespace engine;

constexpr int kBigAppends = 10000;

std::string BenchDir() {
  if (const char* s = std::getenv("VELMARON_BENCH_DIR")) return std::string(s) + "/velmaron-commit-bench";
  return (std::filesystem::temp_directory_path() / "velmaron-commit-bench").string();
}

TFieldDescriptor Field(uint16_t number, const char* name, uint8_t size, uint16_t offset) {
  TFieldDescriptor d;
  d.SetFieldNumber(number);
  d.SetName(name);
  d.SetType(kFieldTypeBytes);
  d.SetSize(size);
  SetFieldStorageSize(d.Span());
  SetFieldStorageScale(d.Span());
  d.SetOffset(offset);
  return d;
}

// A record's fields: has-value byte and bytes, as the table layer lays them out.
void Fill(TRecord& r, uint32_t seed) {
  uint8_t* image = r.GetBuffer();
  image[9] = 1;
  for (int i = 0; i < 8; ++i) image[10 + i] = uint8_t(seed + i);
  image[18] = 1;
  for (int i = 0; i < 20; ++i) image[19 + i] = uint8_t(seed * 7 + i);
  r.SetDirty(true);
}

struct EngineTable {
  EngineTable() {
    std::filesystem::remove_all(BenchDir());
    std::filesystem::create_directories(BenchDir());
    directory = session.OpenDataDirectory("bench", BenchDir());
    TTableDefinition d;
    d.fields = {Field(1, "CODE", 8, 9), Field(2, "NOTE", 20, 18)};
    TDataTable* created = nullptr;
    directory->CreateTable("items", d, false, false, created);
    directory->CloseTable(created, false, false, false);
    directory->OpenTable("items", table, false, false, false, false, false, false);
  }
  ~EngineTable() {
    directory->CloseTable(table, false, false, false);
    session.CloseDataDirectory(directory);
    std::filesystem::remove_all(BenchDir());
  }
  void Append(uint32_t seed) {
    TRecord* r = nullptr;
    table->DataFile().AllocateRecord(nullptr, r);
    r->Initialize(true);
    Fill(*r, seed);
    table->DataFile().ReleaseRecord(r);
    table->IndexFile().IncRecordCount();
  }
  void Change(uint32_t number, uint32_t seed) {
    TRecord* r = nullptr;
    table->DataFile().GetRecord(nullptr, number, r);
    Fill(*r, seed);
    table->DataFile().ReleaseRecord(r);
  }
  // The steps of the directory's commit for one table, with or without the journal file.
  void Commit(bool journal, bool durable) {
    table->PrepareCommit();
    table->WriteTransaction(true, durable);
    TJournalTable target = table->JournalTarget();
    target.journal = journal;
    WriteOutTables(directory->FileList().FileSystem(), {target}, durable);
    table->EndTransaction(true);
  }

  TDataSession session;
  TDataDirectory* directory = nullptr;
  TDataTable* table = nullptr;
};

void Engine(benchmark::State& state, bool big, bool journal, bool durable) {
  EngineTable t;
  t.table->StartTransaction();
  t.Append(1);
  t.Commit(true, false);
  uint32_t seed = 2;
  for (auto _ : state) {
    t.table->StartTransaction();
    if (big) {
      for (int i = 0; i < kBigAppends; ++i) t.Append(seed++);
    } else {
      t.Change(1, seed++);
      t.Append(seed++);
    }
    t.Commit(journal, durable);
  }
}

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

void Sqlite(benchmark::State& state, bool big, bool durable) {
  std::filesystem::remove_all(BenchDir());
  std::filesystem::create_directories(BenchDir());
  sqlite3* db = nullptr;
  Check(sqlite3_open((BenchDir() + "/items.sqlite").c_str(), &db), db);
  const std::string setup = std::string("PRAGMA journal_mode=DELETE; PRAGMA synchronous=") +
                            (durable ? "EXTRA" : "OFF") +
                            "; CREATE TABLE items(id INTEGER PRIMARY KEY, code BLOB, note BLOB);"
                            "INSERT INTO items VALUES(1, x'00', x'00');";
  Check(sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr), db);
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* update = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO items(code, note) VALUES(?, ?)", -1, &insert, nullptr), db);
  Check(sqlite3_prepare_v2(db, "UPDATE items SET code = ?, note = ? WHERE id = 1", -1, &update, nullptr), db);
  uint32_t seed = 2;
  auto run = [&](sqlite3_stmt* s) {
    uint8_t code[8], note[20];
    for (int i = 0; i < 8; ++i) code[i] = uint8_t(seed + i);
    for (int i = 0; i < 20; ++i) note[i] = uint8_t(seed * 7 + i);
    ++seed;
    sqlite3_bind_blob(s, 1, code, 8, SQLITE_STATIC);
    sqlite3_bind_blob(s, 2, note, 20, SQLITE_STATIC);
    Check(sqlite3_step(s), db);
    sqlite3_reset(s);
  };
  for (auto _ : state) {
    Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
    if (big) {
      for (int i = 0; i < kBigAppends; ++i) run(insert);
    } else {
      run(update);
      run(insert);
    }
    Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  }
  sqlite3_finalize(insert);
  sqlite3_finalize(update);
  sqlite3_close(db);
  std::filesystem::remove_all(BenchDir());
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // With repetitions the median stands for the case.
    for (const Run& run : runs) {
      if (run.error_occurred || (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median"))
        continue;
      std::string name = run.benchmark_name();
      if (run.run_type == Run::RT_Aggregate) name = name.substr(0, name.rfind('_'));
      times_[name] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-22s %12s %12s\n", "case", "journal/none", "journal/SQLite");
    for (const char* c : {"small/buffered", "small/durable", "10000/buffered", "10000/durable"}) {
      const double journal = times_["journal/" + std::string(c)];
      const double none = times_["nojournal/" + std::string(c)];
      const double sqlite = times_["sqlite/" + std::string(c)];
      if (journal > 0 && none > 0 && sqlite > 0)
        std::printf("%-22s %12.2f %12.2f\n", c, journal / none, journal / sqlite);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  for (bool big : {false, true})
    for (bool durable : {false, true}) {
      const std::string tag = std::string(big ? "10000" : "small") + (durable ? "/durable" : "/buffered");
      benchmark::RegisterBenchmark(("journal/" + tag).c_str(), [=](benchmark::State& s) {
        Engine(s, big, true, durable);
      })->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark(("nojournal/" + tag).c_str(), [=](benchmark::State& s) {
        Engine(s, big, false, durable);
      })->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark(("sqlite/" + tag).c_str(), [=](benchmark::State& s) {
        Sqlite(s, big, durable);
      })->Unit(benchmark::kMicrosecond);
    }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
