// What the table component adds to the engine cursor, and both against SQLite, on 100,000 rows of
// (ID integer, NAME text) in insertion order:
//   - open, read every row's two values, close: TVELDORTable (First .. Eof through its fields),
//     TVELDORQuery over a live and over a copied result, the cursor alone (GetNextRecord and
//     GetField), SQLite (a prepared SELECT stepped to the end); TVELDORQuery over a select list
//     that reorders the columns and adds an expression, live and copied;
//   - a case-ignoring search whose only hit is the last row: TVELDORTable::Locate, the cursor with
//     the same filter, SQLite's prepared SELECT ... COLLATE NOCASE LIMIT 1;
//   - on 20,000 rows of (ID integer, NOTE memo of 100..400 bytes): open, read every row's id and
//     memo, close: TVELDORTable, the cursor alone (OpenBlob, GetBlob, FreeBlob), SQLite.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/veldortb.h"
#include "engine/tables/veldordirectory.h"

namespace {

using namespace engine;
using namespace engine::components;
namespace ds = dataset;

constexpr int kRows = 100000;
constexpr int kMemoRows = 20000;

std::string BenchDir() {
  if (const char* s = std::getenv("VELMARON_BENCH_DIR")) return std::string(s) + "/velmaron-components-bench";
  return (std::filesystem::temp_directory_path() / "velmaron-components-bench").string();
}

std::string NameOf(int i) {
  return "name " + std::to_string(i);
}
std::string NoteOf(int i) {
  return std::string(size_t(100 + i % 301), char('a' + i % 26));
}
const std::string kLastUpper = "NAME " + std::to_string(kRows - 1);

struct Fixture {
  Fixture() {
    std::filesystem::remove_all(BenchDir());
    std::filesystem::create_directories(BenchDir());
    database = std::make_unique<TVELDORDatabase>();
    database->SetDatabaseName("bench");
    database->SetDirectory(BenchDir());
    TVELDORTable t;
    t.SetDatabaseName("bench");
    t.SetTableName("rows");
    t.GetFieldDefs().Add("ID", ds::ftInteger);
    t.GetFieldDefs().Add("NAME", ds::ftString, 40);
    t.CreateTable();
    t.Open();
    for (int i = 0; i < kRows; ++i) {
      t.Append();
      t.Fields(0).SetAsInteger(i);
      t.Fields(1).SetAsString(NameOf(i));
      t.Post();
    }
    t.Close();
    TVELDORTable n;
    n.SetDatabaseName("bench");
    n.SetTableName("notes");
    n.GetFieldDefs().Add("ID", ds::ftInteger);
    n.GetFieldDefs().Add("NOTE", ds::ftMemo);
    n.CreateTable();
    n.Open();
    for (int i = 0; i < kMemoRows; ++i) {
      n.Append();
      n.Fields(0).SetAsInteger(i);
      n.Fields(1).SetAsString(NoteOf(i));
      n.Post();
    }
    n.Close();

    directory = session.OpenDataDirectory("direct", BenchDir());

    sqlite3_open((BenchDir() + "/rows.sqlite").c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE rows(id INTEGER, name TEXT); BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO rows VALUES(?, ?)", -1, &insert, nullptr);
    for (int i = 0; i < kRows; ++i) {
      const std::string name = NameOf(i);
      sqlite3_bind_int(insert, 1, i);
      sqlite3_bind_text(insert, 2, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "CREATE TABLE notes(id INTEGER, note TEXT)", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO notes VALUES(?, ?)", -1, &insert, nullptr);
    for (int i = 0; i < kMemoRows; ++i) {
      const std::string note = NoteOf(i);
      sqlite3_bind_int(insert, 1, i);
      sqlite3_bind_text(insert, 2, note.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  ~Fixture() {
    sqlite3_close(db);
    session.CloseDataDirectory(directory);
  }
  std::unique_ptr<TVELDORDatabase> database;
  TDataSession session;
  TDataDirectory* directory = nullptr;
  sqlite3* db = nullptr;
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// Opens `table` through the table component and reads its two columns on every row, the second
// as text.
void scanTable(benchmark::State& state, const char* table, int64_t rows) {
  fixture();
  for (auto _ : state) {
    TVELDORTable t;
    t.SetDatabaseName("bench");
    t.SetTableName(table);
    t.Open();
    ds::Field& id = t.Fields(0);
    ds::Field& text = t.Fields(1);
    int64_t sum = 0;
    for (; !t.Eof(); t.Next()) sum += id.AsInteger() + int64_t(text.AsString().size());
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * rows);
}

// SQLite's prepared loop over `sql`, which selects an integer and a text.
void scanSqlite(benchmark::State& state, const char* sql, int64_t rows) {
  Fixture& f = fixture();
  for (auto _ : state) {
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(f.db, sql, -1, &select, nullptr);
    int64_t sum = 0;
    while (sqlite3_step(select) == SQLITE_ROW)
      sum += sqlite3_column_int(select, 0) +
             int64_t(std::string(reinterpret_cast<const char*>(sqlite3_column_text(select, 1))).size());
    sqlite3_finalize(select);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * rows);
}

void BM_TableOpenAndScan(benchmark::State& state) {
  scanTable(state, "rows", kRows);
}

// `live`: the result is the table's own cursor; else the rows are copied into a result first.
void BM_QueryOpenAndScan(benchmark::State& state) {
  fixture();
  const bool live = state.range(0) != 0;
  for (auto _ : state) {
    TVELDORQuery q;
    q.SetDatabaseName("bench");
    q.SetSQL("SELECT ID, NAME FROM rows");
    q.SetRequestLive(live);
    q.Open();
    ds::Field& id = q.Fields(0);
    ds::Field& name = q.Fields(1);
    int64_t sum = 0;
    for (; !q.Eof(); q.Next()) sum += id.AsInteger() + int64_t(name.AsString().size());
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

// A select list in another order than the table's, with an expression: live, the cursor
// computes the expression as it reads each record; copied, every row is written to a result
// table first.
void BM_QuerySelectListScan(benchmark::State& state) {
  fixture();
  const bool live = state.range(0) != 0;
  for (auto _ : state) {
    TVELDORQuery q;
    q.SetDatabaseName("bench");
    q.SetSQL("SELECT NAME, ID, ID * 2 AS TWICE FROM rows");
    q.SetRequestLive(live);
    q.Open();
    ds::Field& name = q.Fields(0);
    ds::Field& id = q.Fields(1);
    ds::Field& twice = q.Fields(2);
    int64_t sum = 0;
    for (; !q.Eof(); q.Next()) sum += id.AsInteger() + twice.AsInteger() + int64_t(name.AsString().size());
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_CursorOpenAndScan(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    TDataCursor c(*f.directory);
    c.SetTableName("rows");
    c.Open();
    std::vector<uint8_t> record(c.RecordSize());
    uint8_t value[64];
    bool isNull = false;
    int64_t sum = 0;
    c.SetToBegin();
    while (c.GetNextRecord(record.data()) == 0) {
      c.GetField(1, record.data(), isNull, value);
      int32_t id;
      std::memcpy(&id, value, 4);
      c.GetField(2, record.data(), isNull, value);
      sum += id + int64_t(std::string(reinterpret_cast<char*>(value)).size());
    }
    c.Close();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_SqliteOpenAndScan(benchmark::State& state) {
  scanSqlite(state, "SELECT id, name FROM rows", kRows);
}

void BM_TableLocateIgnoringCaseLastRow(benchmark::State& state) {
  fixture();
  TVELDORTable t;
  t.SetDatabaseName("bench");
  t.SetTableName("rows");
  t.Open();
  for (auto _ : state) {
    t.First();
    if (!t.Locate("NAME", kLastUpper, ds::loCaseInsensitive)) state.SkipWithError("not found");
  }
}

void BM_CursorLocateIgnoringCaseLastRow(benchmark::State& state) {
  Fixture& f = fixture();
  TDataCursor c(*f.directory);
  c.SetTableName("rows");
  c.Open();
  std::vector<uint8_t> record(c.RecordSize());
  for (auto _ : state) {
    std::string text = "NAME = '" + kLastUpper + "'";
    TFilter* filter = c.AddFilter(nullptr, &text, nullptr, true, nullptr, false, false, true, true);
    c.ActivateFilter(filter);
    c.SetToBegin();
    if (c.GetNextRecord(record.data()) != 0) state.SkipWithError("not found");
    c.DropFilter(filter);
  }
}

void BM_SqliteLocateIgnoringCaseLastRow(benchmark::State& state) {
  Fixture& f = fixture();
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(f.db, "SELECT id FROM rows WHERE name = ? COLLATE NOCASE LIMIT 1", -1, &select, nullptr);
  for (auto _ : state) {
    sqlite3_bind_text(select, 1, kLastUpper.c_str(), -1, SQLITE_STATIC);
    if (sqlite3_step(select) != SQLITE_ROW) state.SkipWithError("not found");
    sqlite3_reset(select);
  }
  sqlite3_finalize(select);
}

void BM_TableMemoScan(benchmark::State& state) {
  scanTable(state, "notes", kMemoRows);
}

void BM_CursorMemoScan(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    TDataCursor c(*f.directory);
    c.SetTableName("notes");
    c.Open();
    std::vector<uint8_t> record(c.RecordSize());
    std::vector<uint8_t> note(512);
    uint8_t value[8];
    bool isNull = false;
    int64_t sum = 0;
    c.SetToBegin();
    while (c.GetNextRecord(record.data()) == 0) {
      c.GetField(1, record.data(), isNull, value);
      int32_t id;
      std::memcpy(&id, value, 4);
      uint32_t size = 0, read = 0;
      if (c.OpenBlob(2, record.data(), 1, false, 1) != 0) state.SkipWithError("open");
      c.GetBlobSize(2, record.data(), size, false);
      c.GetBlob(2, record.data(), 0, note.data(), int32_t(std::min<size_t>(size, note.size())), read, false);
      c.FreeBlob(2, record.data(), false, 1);
      sum += id + int64_t(read);
    }
    c.Close();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kMemoRows);
}

void BM_SqliteMemoScan(benchmark::State& state) {
  scanSqlite(state, "SELECT id, note FROM notes", kMemoRows);
}

BENCHMARK(BM_TableOpenAndScan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueryOpenAndScan)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuerySelectListScan)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CursorOpenAndScan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteOpenAndScan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TableLocateIgnoringCaseLastRow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CursorLocateIgnoringCaseLastRow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteLocateIgnoringCaseLastRow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TableMemoScan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CursorMemoScan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteMemoScan)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
