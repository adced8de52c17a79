// Opening and reading 100k rows of 10 columns through TOraQuery (fields read by the dataset),
// through the TOCIRecordSet under it alone (records read from the record list), and with SQLite's
// step loop over the stand-in's file (the floor); each reads every value once, in blocks of 25
// rows. Prints the ratios at the end: the query's cost over the record set is the component's
// overhead (goal at most 1.3).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/oracle/wide_table.h"
#include "oracle/ora_query.h"

namespace {

using namespace oracle;
using namespace dataaccess;

constexpr int kRows = 100000;
constexpr const char* kSelect = "select n, c1, c2, c3, c4, c5, c6, c7, c8, c9 from wide";
std::string root;

std::unique_ptr<TOCIConnection> connect() {
  auto c = std::make_unique<TOCIConnection>();
  c->SetUsername("scott");
  c->SetPassword("tiger");
  c->SetServer("ORCL");
  c->Connect("");
  return c;
}

void seed() {
  root = std::filesystem::temp_directory_path() / ("velmaron-oraquery-bench-" + std::to_string(::getpid()));
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  const std::string description = root + "/server.seed";
  std::FILE* f = std::fopen(description.c_str(), "w");
  std::fputs("user SCOTT tiger\n", f);
  std::fputs(bench::kWideTableSeed, f);
  std::fclose(f);
  const std::string command = std::string(OCI_STANDIN_SEED) + " " + root + "/ORCL " + description;
  if (std::system(command.c_str()) != 0) std::abort();
  ::setenv("OCI_STANDIN_ROOT", root.c_str(), 1);
  ::setenv("ORACLE_HOME", OCI_STANDIN_HOME, 1);
  auto c = connect();
  bench::FillWideTable(*c, kRows);
  c->Commit();
}

void BM_Query(benchmark::State& state) {
  TOraSession session;
  session.LoginPrompt = false;
  session.SetConnectString("scott/tiger@ORCL");
  session.Connect();
  int64_t rows = 0;
  for (auto _ : state) {
    TOraQuery query;
    query.SetSession(&session);
    query.SetSQL(kSelect);
    query.Open();
    std::vector<dataset::Field*> fields;
    for (int i = 0; i < query.FieldCount(); ++i) fields.push_back(&query.Fields(i));
    for (; !query.Eof(); query.Next(), ++rows)
      for (dataset::Field* f : fields) benchmark::DoNotOptimize(f->Value());
    query.Close();
  }
  if (rows != int64_t(state.iterations()) * kRows) std::abort();
  state.counters["rows/s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsRate);
}

void BM_RecordSet(benchmark::State& state) {
  auto c = connect();
  int64_t rows = 0;
  for (auto _ : state) {
    auto recordSet = c->CreateRecordSet();
    recordSet->SetSQL(kSelect);
    recordSet->Open();
    std::vector<uint8_t> buffer(recordSet->RecordSize);
    for (recordSet->SetToBegin();; ++rows) {
      recordSet->GetNextRecord(buffer.data());
      if (recordSet->Eof()) break;
      for (int i = 1; i <= 10; ++i) benchmark::DoNotOptimize(recordSet->GetFieldAsVariant(i, buffer.data()));
    }
    recordSet->Close();
  }
  if (rows != int64_t(state.iterations()) * kRows) std::abort();
  state.counters["rows/s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsRate);
}

void BM_SQLiteStepLoop(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2((root + "/ORCL/SCOTT.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  int64_t rows = 0;
  for (auto _ : state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT N, C1, C2, C3, C4, C5, C6, C7, C8, C9 FROM WIDE", -1, &stmt, nullptr);
    for (; sqlite3_step(stmt) == SQLITE_ROW; ++rows)
      for (int i = 0; i < 10; ++i) benchmark::DoNotOptimize(sqlite3_column_text(stmt, i));
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  state.counters["rows/s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_SQLiteStepLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordSet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Query)->Unit(benchmark::kMillisecond);

// Keeps each run's rows per second as the library measured it, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rowsPerSecond;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (const auto found = run.counters.find("rows/s"); found != run.counters.end())
        rowsPerSecond[run.benchmark_name()] = found->second.value;
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  seed();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double query = reporter.rowsPerSecond["BM_Query"], records = reporter.rowsPerSecond["BM_RecordSet"],
               floor = reporter.rowsPerSecond["BM_SQLiteStepLoop"];
  if (query > 0 && records > 0 && floor > 0) {
    std::printf("\nTime per row, relative\n");
    std::printf("TOraQuery over TOCIRecordSet   %.2f  (goal at most 1.3)\n", records / query);
    std::printf("TOraQuery over the SQLite loop %.2f\n", floor / query);
    std::printf("TOCIRecordSet over the SQLite loop %.2f\n", floor / records);
  }
  FreeOCI();
  std::filesystem::remove_all(root);
  return 0;
}
