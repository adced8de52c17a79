// What a filter costs on a table of 50,000 records whose K is spread evenly over 0..99:
//   - K = 7 (1% of the records), K < 50 (50%), and TEXTSEARCH('k7' IN NAME) (the same 1%, by the
//     word "k<K>" that each NAME ends with),
//   - by the engine with an index on K and a text index on NAME (the filter answered from key
//     ranges, level 2) and on a table without them (every record read and evaluated, level 0): filter added,
//     built and counted, then dropped;
//   - by SQLite counting the same WHERE on a table with and without an index on k (the word as
//     name LIKE '% k7', which no index of SQLite's serves).
// Both work on files in one folder, warm in their caches after the first iteration.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"

namespace {

using namespace engine;

constexpr int kRecords = 50000;
const char* const kWhere[] = {"K = 7", "K < 50", "TEXTSEARCH('k7' IN NAME)"};
const char* const kSqliteWhere[] = {"k = 7", "k < 50", "name LIKE '% k7'"};

std::string Name(int32_t i, int32_t k) {
  return "name " + std::to_string(i) + " k" + std::to_string(k);
}

std::string BenchDir() {
  if (const char* s = std::getenv("VELMARON_BENCH_DIR")) return std::string(s) + "/velmaron-filter-bench";
  return (std::filesystem::temp_directory_path() / "velmaron-filter-bench").string();
}

TFieldDescriptor Field(uint16_t number, const char* name, uint8_t type, uint8_t size = 0) {
  TFieldDescriptor d;
  d.SetFieldNumber(number);
  d.SetName(name);
  d.SetType(type);
  d.SetSize(size);
  return d;
}

// The two engine tables and the SQLite database, made once for the whole run.
struct Fixture {
  TDataSession session;
  TDataDirectory* directory = nullptr;
  std::unique_ptr<TDataCursor> indexed, plain;
  sqlite3* db = nullptr;

  Fixture() {
    std::filesystem::remove_all(BenchDir());
    std::filesystem::create_directories(BenchDir());
    directory = session.OpenDataDirectory("bench", BenchDir());
    std::mt19937 random(1);
    std::vector<int32_t> ks(kRecords);
    for (int32_t& k : ks) k = int32_t(random() % 100);
    for (bool withIndex : {true, false}) {
      TCreateTableArgs a;
      a.BlobBlockSize = 512;
      a.NoPrimaryIndex = true;
      a.Fields = {Field(1, "ID", 6), Field(2, "K", 6), Field(3, "NAME", 1, 20)};
      a.Indexes.resize(1);
      if (withIndex) {
        TIndexDescriptor d;
        d.name = "BYK";
        d.fields[0] = 2;
        a.Indexes.push_back(d);
        a.TextIndex.fields[0] = 3;
      }
      auto& c = withIndex ? indexed : plain;
      c = std::make_unique<TDataCursor>(*directory);
      c->SetTableName(withIndex ? "indexed" : "plain");
      c->SetExclusive(true);
      c->CreateTable(a);
      c->Open();
      std::vector<uint8_t> buffer(c->RecordSize());
      for (int32_t i = 0; i < kRecords; ++i) {
        c->ClearRecordBuffer(buffer.data());
        c->PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&i));
        c->PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>(&ks[size_t(i)]));
        const std::string name = Name(i, ks[size_t(i)]);
        c->PutField(3, buffer.data(), reinterpret_cast<const uint8_t*>(name.c_str()));
        c->AppendRecord(buffer.data(), false);
      }
    }
    sqlite3_open((BenchDir() + "/sqlite.db").c_str(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE indexed(id INTEGER, k INTEGER, name TEXT);"
                 "CREATE TABLE plain(id INTEGER, k INTEGER, name TEXT);"
                 "CREATE INDEX byk ON indexed(k);",
                 nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (const char* table : {"indexed", "plain"}) {
      sqlite3_stmt* insert = nullptr;
      sqlite3_prepare_v2(db, (std::string("INSERT INTO ") + table + " VALUES(?, ?, ?)").c_str(), -1, &insert,
                         nullptr);
      for (int32_t i = 0; i < kRecords; ++i) {
        sqlite3_bind_int(insert, 1, i);
        sqlite3_bind_int(insert, 2, ks[size_t(i)]);
        const std::string name = Name(i, ks[size_t(i)]);
        sqlite3_bind_text(insert, 3, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(insert);
        sqlite3_reset(insert);
      }
      sqlite3_finalize(insert);
    }
    sqlite3_exec(db, "COMMIT; ANALYZE;", nullptr, nullptr, nullptr);
  }
  ~Fixture() {
    sqlite3_close(db);
    indexed.reset();
    plain.reset();
    session.CloseDataDirectory(directory);
    std::filesystem::remove_all(BenchDir());
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// range(0): 0 the 1% filter, 1 the 50% one, 2 the 1% text search; range(1): 1 with the index, 0 without.
void BM_EngineFilter(benchmark::State& state) {
  TDataCursor& c = state.range(1) ? *fixture().indexed : *fixture().plain;
  const std::string text = kWhere[state.range(0)];
  uint8_t level = 0;
  for (auto _ : state) {
    TFilter* f = c.AddFilter(nullptr, &text, nullptr, true, nullptr, false, true, false, false);
    level = f->OptimizeLevel();
    c.ActivateFilter(f);
    benchmark::DoNotOptimize(c.GetRecordCount());
    c.DropFilter(f);
  }
  state.counters["level"] = level;
}

void BM_SqliteWhere(benchmark::State& state) {
  const std::string sql = std::string("SELECT count(*) FROM ") + (state.range(1) ? "indexed" : "plain") +
                          " WHERE " + kSqliteWhere[state.range(0)];
  sqlite3_stmt* query = nullptr;
  sqlite3_prepare_v2(fixture().db, sql.c_str(), -1, &query, nullptr);
  for (auto _ : state) {
    sqlite3_step(query);
    benchmark::DoNotOptimize(sqlite3_column_int(query, 0));
    sqlite3_reset(query);
  }
  sqlite3_finalize(query);
}

BENCHMARK(BM_EngineFilter)->ArgsProduct({{0, 1, 2}, {1, 0}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqliteWhere)->ArgsProduct({{0, 1, 2}, {1, 0}})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
