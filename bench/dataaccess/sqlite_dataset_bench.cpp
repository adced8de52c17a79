// The data-access layer's overhead: opening and reading 100k rows of 10 columns through the
// dataset on the SQLite driver, against SQLite's own prepared step loop over the same file.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <string>

#include "dataaccess/dbaccess_dataset.h"
#include "tools/sqlitedriver/sqlitedriver.h"

namespace {

using namespace sqlitedriver;

constexpr int kRows = 100000;
constexpr const char* kQuery = "SELECT * FROM T";

const std::string& file() {
  static const std::string path = [] {
    std::string p = "/tmp/velmaron-sqlite-bench-" + std::to_string(::getpid()) + ".db";
    sqlite3* db = nullptr;
    sqlite3_open(p.c_str(), &db);
    sqlite3_exec(
        db,
        "CREATE TABLE T(ID INTEGER, NAME VARCHAR(30), AMOUNT REAL, CODE INTEGER, NOTE TEXT,"
        " PRICE REAL, QTY INTEGER, CITY VARCHAR(20), FLAG INTEGER, REMARK VARCHAR(40));"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000)"
        " INSERT INTO T SELECT i, 'Customer ' || i, i * 1.25, i % 1000, 'note ' || (i % 97), i * 0.01,"
        " i % 13, 'City ' || (i % 50), i % 2, 'remark number ' || i FROM n;",
        nullptr, nullptr, nullptr);
    sqlite3_close(db);
    std::atexit([] { ::unlink(file().c_str()); });
    return p;
  }();
  return path;
}

void BM_DataSetOpenAndRead(benchmark::State& state) {
  TSQLiteSession session;
  session.LoginPrompt = false;
  session.SetServer(file());
  auto d = session.CreateDataSet();
  d->SetSQL(kQuery);
  d->SetFetchRows(int32_t(state.range(0)));
  int64_t sum = 0;
  for (auto _ : state) {
    d->Open();
    dataset::Field& id = d->FieldByName("ID");
    dataset::Field& name = d->FieldByName("NAME");
    for (; !d->Eof(); d->Next()) sum += id.AsInteger() + int64_t(name.AsString().size());
    d->Close();
  }
  benchmark::DoNotOptimize(sum);
  state.counters["rows_per_s"] =
      benchmark::Counter(double(kRows) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DataSetOpenAndRead)->Arg(25)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_SQLiteStepLoop(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open(file().c_str(), &db);
  int64_t sum = 0;
  for (auto _ : state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, kQuery, -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      sum += sqlite3_column_int(stmt, 0) + sqlite3_column_bytes(stmt, 1);
      for (int c = 2; c < 10; ++c) benchmark::DoNotOptimize(sqlite3_column_text(stmt, c));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  benchmark::DoNotOptimize(sum);
  state.counters["rows_per_s"] =
      benchmark::Counter(double(kRows) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SQLiteStepLoop)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
