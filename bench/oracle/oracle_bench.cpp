// Rows per second and client calls per 1,000 rows of a 100k-row, 10-column fetch through the
// Oracle client over the stand-in, with FetchRows 1, 25 and 500, and the same rows read by a
// plain SQLite step loop over the stand-in's file (the floor). Prints the ratios at the end.
// The record set reads 100k rows with four 40-character columns in blocks of 25, with flat
// buffers on (text in the record) and off (text in the string heap) and the heap the rows take,
// and the time to its first
// row with FetchAll blocking and in the background; each with the stand-in's call delay at 0 and
// 200 microseconds; and 5,000 rows of a 10 KB CLOB each read whole, with deferred LOB reading on
// and off. With a stand-in that holds them, the same 100k rows with a TIMESTAMP and a 30-digit
// NUMBER column beside the ten, through the record set, in blocks of 1, 25 and 500 rows against
// SQLite's loop over those twelve columns; and 20 rows of a 1 MB LONG, in blocks of 25 (the define
// callback) against one row at a time (pieces at the fetch). Rates are wall-clock.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/oracle/wide_table.h"
#include "oracle/oraclasses.h"
#include "platform/dynlib.h"

namespace {

using namespace oracle;
using namespace dataaccess;

constexpr int kRows = 100000;
constexpr int kLobRows = 5000;  // of 10 KB each
std::string root;
std::map<int, double> rowsPerSecond;  // by FetchRows; 0 is the SQLite floor
std::map<int, double> callsPer1000;
std::map<int, double> typedRowsPerSecond;  // by FetchRows; 0 is the SQLite floor
std::map<int, double> longRowsPerSecond;   // 25 in blocks, 1 one row at a time
bool typedServer = false;                  // the stand-in holds TIMESTAMP and LONG columns
constexpr int kLongRows = 20;              // of 1 MB each

uint64_t callCount() {
  std::string error;
  void* library = platform::openLibrary(std::string(OCI_STANDIN_HOME) + "/lib/libclntsh.so.10.2", error);
  auto count = reinterpret_cast<uint64_t (*)()>(platform::librarySymbol(library, "OCIStandinCallCount"));
  const uint64_t n = count != nullptr ? count() : 0;
  platform::closeLibrary(library);
  return n;
}

std::unique_ptr<TOCIConnection> connect(const std::string& server = "ORCL") {
  auto c = std::make_unique<TOCIConnection>();
  c->SetUsername("scott");
  c->SetPassword("tiger");
  c->SetServer(server);
  c->Connect("");
  return c;
}

// The server TYPES: the ten columns of WIDE with a TIMESTAMP and a NUMBER(30), and LONGS with a
// 1 MB LONG per row. Nothing when the stand-in cannot hold these columns.
void seedTyped() {
  const std::string description = root + "/types.seed";
  std::FILE* f = std::fopen(description.c_str(), "w");
  std::fputs(
      "user SCOTT tiger\ntable SCOTT.TYPED (N NUMBER(9), C1 VARCHAR2(10), C2 VARCHAR2(10), C3 VARCHAR2(10), "
      "C4 NUMBER(9), C5 NUMBER(7,2), C6 DATE, C7 VARCHAR2(10), C8 NUMBER(9), C9 VARCHAR2(10), TS "
      "TIMESTAMP(6), "
      "BIG NUMBER(30))\ntable SCOTT.LONGS (N NUMBER(9), BODY LONG)\n",
      f);
  std::fclose(f);
  const std::string command =
      std::string(OCI_STANDIN_SEED) + " " + root + "/TYPES " + description + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) return;
  auto c = connect("TYPES");
  TOCICommand insert;
  insert.SetConnection(c.get());
  insert.SetSQL("insert into typed values (:n, :c1, :c2, :c3, :c4, :c5, :c6, :c7, :c8, :c9, :ts, :big)");
  constexpr int block = 1000;
  for (int i = 0; i < insert.GetParamCount(); ++i) {
    insert.Param(i).SetLength(block);
    if (i == 1 || i == 2 || i == 3 || i == 7 || i == 9 || i == 10 || i == 11) {
      insert.Param(i).SetDataType(dtString);
      insert.Param(i).SetSize(40);
    }
  }
  for (int start = 0; start < kRows; start += block) {
    for (int r = 1; r <= block; ++r) {
      const int n = start + r;
      insert.Param(0).SetItemAsInteger(r, n);
      insert.Param(1).SetItemAsString(r, "a" + std::to_string(n % 1000));
      insert.Param(2).SetItemAsString(r, "bb" + std::to_string(n % 777));
      insert.Param(3).SetItemAsString(r, "ccc");
      insert.Param(4).SetItemAsInteger(r, n * 3);
      insert.Param(5).SetItemAsFloat(r, n / 100.0);
      insert.Param(6).SetItemAsDateTime(r, DateTime{30000.0 + n % 5000});
      insert.Param(7).SetItemAsString(r, "d");
      insert.Param(8).SetItemAsInteger(r, -n);
      insert.Param(9).SetItemAsString(r, "e" + std::to_string(n % 10));
      char stamp[40];
      std::snprintf(stamp, sizeof stamp, "2024-%02d-%02d %02d:%02d:%02d.%06d", 1 + n % 12, 1 + n % 28, n % 24,
                    n % 60, (n / 60) % 60, n % 1000000);
      insert.Param(10).SetItemAsString(r, stamp);
      insert.Param(11).SetItemAsString(r, "1234567890123456789012" + std::to_string(10000000 + n));
    }
    insert.Execute(block);
  }
  std::string body;
  for (int i = 0; body.size() < 1 << 20; ++i) body += std::to_string(i) + ",";
  body.resize(1 << 20);
  TOCICommand longs;
  longs.SetConnection(c.get());
  longs.SetSQL("insert into longs values (:n, :body)");
  longs.Param(1).SetDataType(dtMemo);
  for (int n = 1; n <= kLongRows; ++n) {
    longs.Param(0).SetValue(Variant(int32_t(n)));
    longs.Param(1).SetValue(Variant(body));
    longs.Execute(1);
  }
  c->Commit();
  typedServer = true;
}

void seed() {
  root = std::filesystem::temp_directory_path() / ("velmaron-oracle-bench-" + std::to_string(::getpid()));
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  const std::string description = root + "/server.seed";
  std::FILE* f = std::fopen(description.c_str(), "w");
  std::fputs("user SCOTT tiger\n", f);
  std::fputs(bench::kWideTableSeed, f);
  std::fputs(
      "table SCOTT.NAMES (N NUMBER(9), A VARCHAR2(40), B VARCHAR2(40), C VARCHAR2(40), D VARCHAR2(40))\n"
      "table SCOTT.DOCS (N NUMBER(9), BODY CLOB)\n",
      f);
  std::fclose(f);
  const std::string command = std::string(OCI_STANDIN_SEED) + " " + root + "/ORCL " + description;
  if (std::system(command.c_str()) != 0) std::abort();
  ::setenv("OCI_STANDIN_ROOT", root.c_str(), 1);
  ::setenv("ORACLE_HOME", OCI_STANDIN_HOME, 1);
  auto c = connect();
  bench::FillWideTable(*c, kRows);
  TOCICommand names;
  names.SetConnection(c.get());
  names.SetSQL(
      "insert into names select n, 'first ' || c1 || ' ' || c2, 'second ' || c9, 'third text of the row', c3 "
      "from wide");
  names.Execute(1);
  TOCICommand docs;
  docs.SetConnection(c.get());
  docs.SetSQL("insert into docs select n, :body from wide where n <= :rows");
  docs.Param(0).SetDataType(dtMemo);
  docs.Param(0).SetValue(Variant(std::string(10240, 'x')));
  docs.Param(1).SetValue(Variant(int32_t(kLobRows)));
  docs.Execute(1);
  c->Commit();
  try {
    seedTyped();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "No TIMESTAMP and LONG benchmarks: %s\n", e.what());
  }
}

// The stand-in reads its hooks when the client environment is made.
std::unique_ptr<TOCIConnection> connectWithDelay(int64_t delayMicros) {
  FreeOCI();
  ::setenv("OCI_STANDIN_DELAY_US", std::to_string(delayMicros).c_str(), 1);
  return connect();
}

std::unique_ptr<TOCIRecordSet> names(TOCIConnection& c) {
  auto recordSet = c.CreateRecordSet();
  recordSet->SetSQL("select n, a, b, c, d from names");
  return std::unique_ptr<TOCIRecordSet>(static_cast<TOCIRecordSet*>(recordSet.release()));
}

// Args: flat buffers (1) or not (0), call delay in microseconds.
void BM_RecordSetFetch(benchmark::State& state) {
  auto c = connectWithDelay(state.range(1));
  int64_t rows = 0;
  double heap = 0;
  for (auto _ : state) {
    auto recordSet = names(*c);
    recordSet->SetProp(prFlatBuffers, Variant(state.range(0) != 0));
    recordSet->SetProp(prFetchAll, Variant(true));
    const size_t heapBefore = ::mallinfo2().uordblks;
    recordSet->Open();
    heap = double(::mallinfo2().uordblks - heapBefore) * kRows / recordSet->GetRecordCount();
    rows += recordSet->GetRecordCount();
    recordSet->Close();
  }
  state.counters["rows/s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsRate);
  state.counters["heap MB/100k rows"] = heap / 1e6;
}

// Args: deferred LOB reading (1) or not (0), call delay in microseconds. Opens and reads every
// row's 10 KB CLOB.
void BM_RecordSetClobs(benchmark::State& state) {
  auto c = connectWithDelay(state.range(1));
  int64_t rows = 0;
  for (auto _ : state) {
    auto recordSet = c->CreateRecordSet();
    recordSet->SetSQL("select n, body from docs");
    recordSet->SetProp(prDeferredLobRead, Variant(state.range(0) != 0));
    recordSet->SetProp(prFetchAll, Variant(true));
    recordSet->Open();
    std::vector<uint8_t> record(recordSet->RecordSize);
    for (recordSet->SetToBegin();;) {
      recordSet->GetNextRecord(record.data());
      if (recordSet->Eof()) break;
      if (recordSet->GetFieldAsVariant(2, record.data()).asString().size() != 10240) std::abort();
      ++rows;
    }
    recordSet->Close();
  }
  state.counters["rows/s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsRate);
}

// Args: FetchAll in the background (1) or blocking (0), call delay in microseconds. Times Open
// only: what the user waits for before the first row shows.
void BM_RecordSetFirstRow(benchmark::State& state) {
  auto c = connectWithDelay(state.range(1));
  for (auto _ : state) {
    auto recordSet = names(*c);
    recordSet->GetCommand().SetProp(prNonBlocking, Variant(state.range(0) != 0));
    recordSet->SetProp(prFetchAll, Variant(true));
    const auto start = std::chrono::steady_clock::now();
    recordSet->Open();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    recordSet->SetToEnd();
    if (recordSet->GetRecordCount() != kRows) std::abort();
    recordSet->Close();
  }
}

void BM_OracleFetch(benchmark::State& state) {
  const int fetchRows = int(state.range(0));
  auto c = connect();
  int64_t rows = 0;
  uint64_t calls = 0;
  for (auto _ : state) {
    const uint64_t before = callCount();
    TOCICommand select;
    select.SetConnection(c.get());
    select.SetSQL("select n, c1, c2, c3, c4, c5, c6, c7, c8, c9 from wide");
    select.Prepare();
    select.Execute(1);
    TFieldDesc fields[10];
    std::vector<std::vector<uint8_t>> buffers(10);
    std::vector<std::vector<int16_t>> indicators(10, std::vector<int16_t>(size_t(fetchRows)));
    for (int i = 0; i < 10; ++i) {
      select.DescribeField(i + 1, fields[i], true, true);
      const uint32_t stride = uint32_t(TOCICommand::FieldBufferLength(fields[i]));
      buffers[size_t(i)].assign(stride * size_t(fetchRows), 0);
      select.DefineArrayField(fields[i], buffers[size_t(i)].data(), indicators[size_t(i)].data(), nullptr,
                              stride);
    }
    int got;
    while ((got = select.Fetch(uint32_t(fetchRows))) > 0) {
      rows += got;
      benchmark::DoNotOptimize(buffers[0][0]);
      if (got < fetchRows) break;
    }
    calls += callCount() - before;
  }
  state.counters["rows/s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsRate);
  state.counters["calls/1000 rows"] = double(calls) * 1000.0 / double(rows);
  callsPer1000[fetchRows] = double(calls) * 1000.0 / double(rows);
}

void BM_SQLiteStepLoop(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2((root + "/ORCL/SCOTT.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  int64_t rows = 0, calls = 0;
  for (auto _ : state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT N, C1, C2, C3, C4, C5, C6, C7, C8, C9 FROM WIDE", -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      ++rows;
      ++calls;
      for (int i = 0; i < 10; ++i) {
        benchmark::DoNotOptimize(sqlite3_column_text(stmt, i));
        ++calls;
      }
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  state.counters["rows/s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsRate);
  state.counters["calls/1000 rows"] = double(calls) * 1000.0 / double(rows);
  callsPer1000[0] = double(calls) * 1000.0 / double(rows);
}

// Args: FetchRows. The twelve columns of TYPED through the record set, the NUMBER kept exact.
void BM_RecordSetTyped(benchmark::State& state) {
  if (!typedServer) return state.SkipWithError("the stand-in holds no TIMESTAMP columns");
  auto c = connect("TYPES");
  c->SetProp(prEnableNumbers, Variant(true));
  int64_t rows = 0;
  for (auto _ : state) {
    auto recordSet = c->CreateRecordSet();
    recordSet->SetSQL("select n, c1, c2, c3, c4, c5, c6, c7, c8, c9, ts, big from typed");
    recordSet->SetProp(prFetchRows, Variant(int32_t(state.range(0))));
    recordSet->SetProp(prFetchAll, Variant(true));
    recordSet->Open();
    if (recordSet->GetRecordCount() != kRows) std::abort();
    rows += recordSet->GetRecordCount();
    recordSet->Close();
  }
  state.counters["rows/s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsRate);
}

void BM_SQLiteTypedLoop(benchmark::State& state) {
  if (!typedServer) return state.SkipWithError("the stand-in holds no TIMESTAMP columns");
  sqlite3* db = nullptr;
  sqlite3_open_v2((root + "/TYPES/SCOTT.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  int64_t rows = 0;
  for (auto _ : state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT N, C1, C2, C3, C4, C5, C6, C7, C8, C9, TS, BIG FROM TYPED", -1, &stmt,
                       nullptr);
    for (; sqlite3_step(stmt) == SQLITE_ROW; ++rows)
      for (int i = 0; i < 12; ++i) benchmark::DoNotOptimize(sqlite3_column_text(stmt, i));
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  state.counters["rows/s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsRate);
}

// Args: 25 for blocks of 25 rows (the define callback), 1 for one row at a time with the pieces
// at the fetch (the Lite client's way). Every row's 1 MB LONG is read whole.
void BM_RecordSetLong(benchmark::State& state) {
  if (!typedServer) return state.SkipWithError("the stand-in holds no LONG pieces");
  auto c = connect("TYPES");
  const bool oneRow = state.range(0) == 1;
  int64_t rows = 0;
  for (auto _ : state) {
    OCILite = oneRow;
    auto recordSet = c->CreateRecordSet();
    recordSet->SetSQL("select n, body from longs");
    recordSet->SetProp(prFetchRows, Variant(int32_t(25)));
    recordSet->SetProp(prFetchAll, Variant(true));
    recordSet->Open();
    OCILite = false;
    if (recordSet->GetRecordCount() != kLongRows) std::abort();
    std::vector<uint8_t> record(recordSet->RecordSize);
    recordSet->SetRecNo(kLongRows);
    recordSet->GetRecord(record.data());
    if (recordSet->GetBlobSize(2, record.data()) != 1u << 20) std::abort();
    rows += recordSet->GetRecordCount();
    recordSet->Close();
  }
  state.counters["rows/s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsRate);
}

// The floor of the record set benchmarks: SQLite stepping over the same rows of NAMES.
void BM_SQLiteNamesLoop(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2((root + "/ORCL/SCOTT.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  int64_t rows = 0;
  for (auto _ : state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT N, A, B, C, D FROM NAMES", -1, &stmt, nullptr);
    for (; sqlite3_step(stmt) == SQLITE_ROW; ++rows)
      for (int i = 0; i < 5; ++i) benchmark::DoNotOptimize(sqlite3_column_text(stmt, i));
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  state.counters["rows/s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_SQLiteStepLoop)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SQLiteNamesLoop)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OracleFetch)->Arg(1)->Arg(25)->Arg(500)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SQLiteTypedLoop)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordSetTyped)->Arg(1)->Arg(25)->Arg(500)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordSetLong)->Arg(25)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordSetClobs)->ArgsProduct({{0, 1}, {0, 200}})->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordSetFetch)->ArgsProduct({{1, 0}, {0, 200}})->UseRealTime()->Unit(benchmark::kMillisecond);
// A fixed count: Open alone is short, so the library would otherwise repeat the whole fetch
// thousands of times.
BENCHMARK(BM_RecordSetFirstRow)
    ->ArgsProduct({{0, 1}, {0, 200}})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// Keeps each run's rows per second as the library measured it, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // With repetitions, the median stands for the benchmark (it comes after the single runs).
      if (!run.aggregate_name.empty() && run.aggregate_name != "median") continue;
      const auto found = run.counters.find("rows/s");
      if (found == run.counters.end()) continue;
      const std::string name = run.benchmark_name();
      const size_t slash = name.find('/');
      const int key = slash == std::string::npos ? 0 : std::atoi(name.c_str() + slash + 1);
      if (name.find("Typed") != std::string::npos)
        typedRowsPerSecond[key] = found->second.value;
      else if (name.find("RecordSetLong") != std::string::npos)
        longRowsPerSecond[key] = found->second.value;
      else if (name.find("RecordSet") == std::string::npos && name.find("Names") == std::string::npos)
        rowsPerSecond[key] = found->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  seed();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nFetchRows  rows/s  of the SQLite floor  client calls per 1,000 rows\n");
  std::printf("SQLite     %.0f  1.00  %.0f\n", rowsPerSecond[0], callsPer1000[0]);
  for (int rows : {1, 25, 500})
    std::printf("%-9d  %.0f  %.3f  %.1f\n", rows, rowsPerSecond[rows], rowsPerSecond[rows] / rowsPerSecond[0],
                callsPer1000[rows]);
  if (typedServer) {
    std::printf("\nWith TIMESTAMP and NUMBER(30), record set  rows/s  of the SQLite floor\n");
    std::printf("SQLite     %.0f  1.00\n", typedRowsPerSecond[0]);
    for (int rows : {1, 25, 500})
      std::printf("%-9d  %.0f  %.3f\n", rows, typedRowsPerSecond[rows],
                  typedRowsPerSecond[rows] / typedRowsPerSecond[0]);
    std::printf("\n1 MB LONG  rows/s: blocks of 25 %.1f, one row at a time %.1f, ratio %.2f\n",
                longRowsPerSecond[25], longRowsPerSecond[1], longRowsPerSecond[1] / longRowsPerSecond[25]);
  }
  FreeOCI();
  std::filesystem::remove_all(root);
  return 0;
}
