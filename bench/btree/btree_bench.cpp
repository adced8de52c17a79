// Counted B+-tree against SQLite: inserts and lookups of N integer keys and of N 20-byte string
// keys, in random and in sequential order, each engine on its own fresh file in the same run.
//
// The index file holds the keys as the engine builds them for a field: a flag byte and the
// field's key bytes (integer: 4 bytes; string of 20 characters: 21 bytes with its terminator).
// SQLite holds them in a WITHOUT ROWID table with the key as primary key, journal off,
// synchronous off. Inserts run in one transaction on both sides (the engine: under its
// transaction lock, so that pages stay in memory until the final flush); the engine's plain
// mode, which writes its few cached pages back as it goes, is measured too. Lookups find every
// key once, in random order, after a fresh open.
//
// At the end the ratios engine time / SQLite time are printed, one per case.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorbtree.h"
#include "engine/storage/veldorindex.h"
#include "engine/storage/veldorkeys.h"

namespace {

using namespace engine;

uint32_t KeyCount() {
  if (const char* s = std::getenv("VELMARON_BENCH_KEYS")) return uint32_t(std::max(1000L, std::atol(s)));
  return 1'000'000;
}

std::string BenchDir() {
  if (const char* s = std::getenv("VELMARON_BENCH_DIR")) return s;
  return std::filesystem::temp_directory_path().string();
}

enum KeyKind { kInteger = 0, kString = 1 };
enum Order { kSequential = 0, kRandom = 1 };

// Values 0..N-1 in the order of the case.
std::vector<uint32_t> Values(Order order) {
  std::vector<uint32_t> v(KeyCount());
  std::iota(v.begin(), v.end(), 0u);
  if (order == kRandom) std::shuffle(v.begin(), v.end(), std::mt19937(42));
  return v;
}

// The 20-character text of a value: ascending with the value, so that sequential values give
// sequential keys; the letters after the number keep the keys from being all digits.
std::string Text(uint32_t v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%010u%c%c%c%c%c%c%c%c%c%c", v, 'a' + v % 26, 'b' + v % 23,
                'c' + v % 19, 'd' + v % 17, 'e' + v % 13, 'f' + v % 11, 'g' + v % 7, 'h' + v % 5, 'i' + v % 3,
                'j');
  return std::string(buffer, 20);
}

uint16_t EngineKeySize(KeyKind kind) {
  return kind == kInteger ? 5 : 22;
}

void EngineKey(KeyKind kind, uint32_t v, uint8_t* key) {
  key[0] = 1;  // has a value
  if (kind == kInteger) {
    EncodeIntegerKey(int32_t(v), key + 1);
  } else {
    const std::string t = Text(v);
    std::memcpy(key + 1, t.data(), 20);
    key[21] = 0;
  }
}

// ---- Engine side ----

struct EngineIndex {
  explicit EngineIndex(KeyKind kind, bool create) : kind(kind) {
    path = BenchDir() + "/velmaron-btree-bench.IDX";
    owner.fields.push_back({"K", uint8_t(kind == kInteger ? 6 : 1), 0, uint16_t(EngineKeySize(kind) - 1)});
    file = std::make_unique<TIndexFile>(owner);
    file->SetName(path);
    if (create) {
      file->CreateFile();
      TIndexDescriptor d;
      d.keySize = EngineKeySize(kind);
      d.fieldCount = 1;
      d.fields[0] = 1;
      file->DefinePrimaryIndex(d);
      file->WriteHeader(true);
    } else {
      file->Open();
    }
  }
  ~EngineIndex() {
    file->FlushDirtyPages();
    file->WriteHeader(false);
    file->Close();
  }
  KeyKind kind;
  std::string path;
  TStandaloneTableOwner owner;
  std::unique_ptr<TIndexFile> file;
  TIndexCursor cursor;
};

void EngineInsert(benchmark::State& state, KeyKind kind, Order order, bool transaction) {
  const std::vector<uint32_t> values = Values(order);
  for (auto _ : state) {
    EngineIndex index(kind, true);
    index.owner.transactionLock = transaction;
    TIndexTree tree(*index.file, index.cursor, 0);
    uint8_t key[32];
    for (uint32_t v : values) {
      EngineKey(kind, v, key);
      tree.InsertKey(key, v + 1);
    }
    index.owner.transactionLock = false;
    index.file->FlushDirtyPages();
    index.file->WriteHeader(false);
    if (tree.KeyCount() != values.size()) state.SkipWithError("key count differs");
  }
  state.SetItemsProcessed(int64_t(values.size()) * state.iterations());
}

void EngineLookup(benchmark::State& state, KeyKind kind, Order order) {
  {
    EngineIndex index(kind, true);
    index.owner.transactionLock = true;
    TIndexTree tree(*index.file, index.cursor, 0);
    uint8_t key[32];
    for (uint32_t v : Values(order)) {
      EngineKey(kind, v, key);
      tree.InsertKey(key, v + 1);
    }
    index.owner.transactionLock = false;
  }
  const std::vector<uint32_t> probes = Values(kRandom);
  for (auto _ : state) {
    EngineIndex index(kind, false);
    TIndexTree tree(*index.file, index.cursor, 0);
    uint8_t key[32];
    uint64_t position = 0;
    uint32_t ref = 0;
    for (uint32_t v : probes) {
      EngineKey(kind, v, key);
      if (!tree.FindKey(key, position, &ref) || ref != v + 1) {
        state.SkipWithError("key not found");
        break;
      }
    }
  }
  state.SetItemsProcessed(int64_t(probes.size()) * state.iterations());
}

// ---- SQLite side ----

struct SqliteDb {
  explicit SqliteDb(KeyKind kind, bool create) {
    path = BenchDir() + "/velmaron-btree-bench.sqlite";
    if (create) std::filesystem::remove(path);
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) std::abort();
    exec("PRAGMA journal_mode=OFF");
    exec("PRAGMA synchronous=OFF");
    if (create)
      exec(kind == kInteger ? "CREATE TABLE t(k INTEGER PRIMARY KEY, r INTEGER) WITHOUT ROWID"
                            : "CREATE TABLE t(k TEXT PRIMARY KEY, r INTEGER) WITHOUT ROWID");
  }
  ~SqliteDb() { sqlite3_close(db); }
  void exec(const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  }
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) std::abort();
    return s;
  }
  void bindKey(sqlite3_stmt* s, KeyKind kind, uint32_t v, std::string& text) {
    if (kind == kInteger) {
      sqlite3_bind_int64(s, 1, v);
    } else {
      text = Text(v);
      sqlite3_bind_text(s, 1, text.data(), int(text.size()), SQLITE_STATIC);
    }
  }
  std::string path;
  sqlite3* db = nullptr;
};

void SqliteInsert(benchmark::State& state, KeyKind kind, Order order) {
  const std::vector<uint32_t> values = Values(order);
  for (auto _ : state) {
    SqliteDb db(kind, true);
    sqlite3_stmt* insert = db.prepare("INSERT INTO t(k, r) VALUES(?, ?)");
    db.exec("BEGIN");
    std::string text;
    for (uint32_t v : values) {
      db.bindKey(insert, kind, v, text);
      sqlite3_bind_int64(insert, 2, v + 1);
      if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
      sqlite3_reset(insert);
    }
    db.exec("COMMIT");
    sqlite3_finalize(insert);
  }
  state.SetItemsProcessed(int64_t(values.size()) * state.iterations());
}

void SqliteLookup(benchmark::State& state, KeyKind kind, Order order) {
  {
    SqliteDb db(kind, true);
    sqlite3_stmt* insert = db.prepare("INSERT INTO t(k, r) VALUES(?, ?)");
    db.exec("BEGIN");
    std::string text;
    for (uint32_t v : Values(order)) {
      db.bindKey(insert, kind, v, text);
      sqlite3_bind_int64(insert, 2, v + 1);
      if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
      sqlite3_reset(insert);
    }
    db.exec("COMMIT");
    sqlite3_finalize(insert);
  }
  const std::vector<uint32_t> probes = Values(kRandom);
  for (auto _ : state) {
    SqliteDb db(kind, false);
    sqlite3_stmt* find = db.prepare("SELECT r FROM t WHERE k = ?");
    std::string text;
    for (uint32_t v : probes) {
      db.bindKey(find, kind, v, text);
      if (sqlite3_step(find) != SQLITE_ROW || sqlite3_column_int64(find, 0) != v + 1) {
        state.SkipWithError("key not found");
        break;
      }
      sqlite3_reset(find);
    }
    sqlite3_finalize(find);
  }
  state.SetItemsProcessed(int64_t(probes.size()) * state.iterations());
}

// ---- Registration and the ratio summary ----

const char* KindName(KeyKind k) {
  return k == kInteger ? "int" : "str20";
}
const char* OrderName(Order o) {
  return o == kRandom ? "random" : "sequential";
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (!run.error_occurred) {
        std::string name = run.benchmark_name();
        name = name.substr(0, name.find("/iterations"));
        times_[name] = run.GetAdjustedRealTime();
      }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nengine time / SQLite time (below 1: the engine is faster)\n");
    for (const auto& [name, time] : times_) {
      if (name.rfind("engine/", 0) != 0) continue;
      std::string rest = name.substr(7);
      const std::string plain = "/plain";
      const bool isPlain =
          rest.size() > plain.size() && rest.compare(rest.size() - plain.size(), plain.size(), plain) == 0;
      const std::string twin = "sqlite/" + (isPlain ? rest.substr(0, rest.size() - plain.size()) : rest);
      auto it = times_.find(twin);
      if (it != times_.end() && it->second > 0)
        std::printf("  %-40s %6.2f\n", rest.c_str(), time / it->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

void Register() {
  for (KeyKind kind : {kInteger, kString})
    for (Order order : {kSequential, kRandom}) {
      const std::string tag = std::string(KindName(kind)) + "/" + OrderName(order);
      benchmark::RegisterBenchmark(("engine/insert/" + tag).c_str(),
                                   [=](benchmark::State& s) { EngineInsert(s, kind, order, true); })
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("sqlite/insert/" + tag).c_str(),
                                   [=](benchmark::State& s) { SqliteInsert(s, kind, order); })
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("engine/insert/" + tag + "/plain").c_str(),
                                   [=](benchmark::State& s) { EngineInsert(s, kind, order, false); })
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("engine/lookup/" + tag).c_str(),
                                   [=](benchmark::State& s) { EngineLookup(s, kind, order); })
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("sqlite/lookup/" + tag).c_str(),
                                   [=](benchmark::State& s) { SqliteLookup(s, kind, order); })
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
  Register();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::filesystem::remove(BenchDir() + "/velmaron-btree-bench.IDX");
  std::filesystem::remove(BenchDir() + "/velmaron-btree-bench.sqlite");
  return 0;
}
