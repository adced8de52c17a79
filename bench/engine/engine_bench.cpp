// The table engine against SQLite on the same rows, side by side in one run: appends with 0, 1
// and 3 secondary indexes, look-ups by an integer and a string key, range scans, filtered scans,
// modifies, deletes, a restructure that copies every row, one that builds an index in place,
// and two processes appending rows/20 each to one shared table, row by row. Both without
// forcing to the device
// (the engine's exclusive cursor writes at close; SQLite: one transaction, synchronous=OFF,
// rollback journal). Prints each time and the ratio engine / SQLite.
//   build/release/bench/engine/engine_bench [rows]   (default 20000; VELMARON_BENCH_DIR: folder)
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"

namespace {

using namespace engine;
using Clock = std::chrono::steady_clock;

std::string benchDir() {
  const char* s = std::getenv("VELMARON_BENCH_DIR");
  return (std::filesystem::path(s ? s : std::filesystem::temp_directory_path().string()) /
          "velmaron-engine-bench")
      .string();
}

double seconds(const std::function<void()>& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
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

// K, NAME, AMOUNT, NOTE; secondary indexes on K (unique), NAME and AMOUNT, as many as asked.
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

class Engine {
 public:
  explicit Engine(int indexes) : cursor_(*directory()) {
    cursor_.SetTableName("t" + std::to_string(indexes));
    cursor_.SetExclusive(true);
    TRestructureArgs a = tableArgs(indexes);
    cursor_.CreateTable(a);
    cursor_.Open();
    buffer_.resize(cursor_.RecordSize());
  }
  static TDataDirectory* directory() {
    static TDataSession session;
    static TDataDirectory* d = session.OpenDataDirectory("bench", benchDir());
    return d;
  }
  TDataCursor& cursor() { return cursor_; }
  uint8_t* put(const Row& r) {
    cursor_.ClearRecordBuffer(buffer_.data());
    cursor_.PutField(1, buffer_.data(), reinterpret_cast<const uint8_t*>(&r.k));
    cursor_.PutField(2, buffer_.data(), reinterpret_cast<const uint8_t*>(r.name.c_str()));
    cursor_.PutField(3, buffer_.data(), reinterpret_cast<const uint8_t*>(&r.amount));
    cursor_.PutField(4, buffer_.data(), reinterpret_cast<const uint8_t*>("a note of some words"));
    return buffer_.data();
  }
  bool find(const Row& r, uint8_t slot) {
    cursor_.SelectIndex(slot);
    return cursor_.FindKey(false, put(r), 1, false, 0, nullptr);
  }
  uint32_t scan() {
    uint32_t n = 0;
    cursor_.SetToBegin();
    while (cursor_.GetNextRecord(buffer_.data()) == 0) ++n;
    return n;
  }
  std::vector<uint8_t>& buffer() { return buffer_; }

 private:
  TDataCursor cursor_;
  std::vector<uint8_t> buffer_;
};

class Lite {
 public:
  explicit Lite(int indexes) {
    check(sqlite3_open((benchDir() + "/t" + std::to_string(indexes) + ".sqlite").c_str(), &db_), db_);
    exec(
        "PRAGMA synchronous=OFF; PRAGMA journal_mode=DELETE;"
        "CREATE TABLE t(k INTEGER, name TEXT, amount INTEGER, note TEXT)");
    if (indexes >= 1) exec("CREATE UNIQUE INDEX byk ON t(k)");
    if (indexes >= 2) exec("CREATE INDEX byname ON t(name)");
    if (indexes >= 3) exec("CREATE INDEX byamount ON t(amount)");
  }
  // A database of its own at `file`, set up by `sql`.
  Lite(const std::string& file, const std::string& sql) {
    check(sqlite3_open(file.c_str(), &db_), db_);
    // Before the first statement: setting the journal mode may already meet the other process.
    sqlite3_busy_timeout(db_, 60000);
    exec("PRAGMA synchronous=OFF; PRAGMA journal_mode=DELETE; " + sql);
  }
  ~Lite() { sqlite3_close(db_); }
  void exec(const std::string& sql) { check(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), db_); }
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    check(sqlite3_prepare_v2(db_, sql, -1, &s, nullptr), db_);
    return s;
  }
  // Runs `s` for each row with ?1..?n bound by `bind`; counts the result rows.
  uint64_t each(const char* sql, size_t count, const std::function<void(sqlite3_stmt*, size_t)>& bind) {
    sqlite3_stmt* s = prepare(sql);
    uint64_t rows = 0;
    exec("BEGIN");
    for (size_t i = 0; i < count; ++i) {
      bind(s, i);
      int rc;
      while ((rc = sqlite3_step(s)) == SQLITE_ROW) ++rows;
      check(rc, db_);
      sqlite3_reset(s);
    }
    exec("COMMIT");
    sqlite3_finalize(s);
    return rows;
  }

 private:
  sqlite3* db_ = nullptr;
};

void report(const char* what, double engine, double lite) {
  std::printf("%-34s engine %9.4f s  sqlite %9.4f s  ratio %6.2f\n", what, engine, lite, engine / lite);
}

// Runs `body(who)` in `count` forked processes at once and waits for them all; the wall time.
double inProcesses(int count, const std::function<int(int)>& body) {
  return seconds([&] {
    std::vector<pid_t> pids;
    for (int who = 0; who < count; ++who) {
      const pid_t pid = fork();
      if (pid == 0) _exit(body(who));
      pids.push_back(pid);
    }
    for (pid_t pid : pids) {
      int status = 0;
      waitpid(pid, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::exit(1);
    }
  });
}

// Two processes append to one shared table, each append its own write: the engine through a
// shared cursor in a session of each process's own, SQLite in autocommit with a busy timeout.
void contendingAppends(size_t perProcess) {
  inProcesses(1, [](int) {
    TDataSession session;
    TDataCursor c(*session.OpenDataDirectory("bench", benchDir()));
    c.SetTableName("contend");
    c.SetExclusive(true);
    TRestructureArgs a = tableArgs(1);
    c.CreateTable(a);
    return 0;
  });
  const double engine = inProcesses(2, [&](int who) {
    TDataSession session;
    TDataCursor c(*session.OpenDataDirectory("bench", benchDir()));
    c.SetTableName("contend");
    c.Open();
    std::vector<uint8_t> buffer(c.RecordSize());
    for (size_t i = 0; i < perProcess; ++i) {
      const int32_t k = int32_t(size_t(who) * perProcess + i), amount = int32_t(i % 1000);
      c.ClearRecordBuffer(buffer.data());
      c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
      c.PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>("contending"));
      c.PutField(3, buffer.data(), reinterpret_cast<const uint8_t*>(&amount));
      for (;;) {
        try {
          c.AppendRecord(buffer.data());
          break;
        } catch (const EVELDOREngineError& e) {
          if (e.ErrorCode() != VELDOR_LOCKTIMEOUT && e.ErrorCode() != VELDOR_RECLOCKFAILED) throw;
        }
      }
    }
    return 0;
  });
  const std::string file = benchDir() + "/contend.sqlite";
  {
    Lite create(
        file,
        "CREATE TABLE t(k INTEGER, name TEXT, amount INTEGER, note TEXT); CREATE UNIQUE INDEX byk ON t(k)");
  }
  const double lite = inProcesses(2, [&](int who) {
    Lite l(file, "");
    sqlite3_stmt* s = l.prepare("INSERT INTO t VALUES(?1, 'contending', ?2, NULL)");
    for (size_t i = 0; i < perProcess; ++i) {
      sqlite3_bind_int(s, 1, int(size_t(who) * perProcess + i));
      sqlite3_bind_int(s, 2, int(i % 1000));
      int rc;
      while ((rc = sqlite3_step(s)) == SQLITE_BUSY) sqlite3_reset(s);
      check(rc, nullptr);
      sqlite3_reset(s);
    }
    sqlite3_finalize(s);
    return 0;
  });
  report("2 processes appending, each row", engine, lite);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? size_t(std::atol(argv[1])) : 20000;
  std::filesystem::remove_all(benchDir());
  std::filesystem::create_directories(benchDir());
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
  const auto bindRow = [&](sqlite3_stmt* s, size_t i) {
    sqlite3_bind_int(s, 1, rows[i].k);
    sqlite3_bind_text(s, 2, rows[i].name.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int(s, 3, rows[i].amount);
    sqlite3_bind_text(s, 4, "a note of some words", -1, SQLITE_STATIC);
  };
  std::printf("%zu rows\n", n);
  std::vector<std::unique_ptr<Engine>> engines;
  std::vector<std::unique_ptr<Lite>> lites;
  for (int indexes : {0, 1, 3}) {
    engines.push_back(std::make_unique<Engine>(indexes));
    lites.push_back(std::make_unique<Lite>(indexes));
    Engine& e = *engines.back();
    Lite& l = *lites.back();
    const double te = seconds([&] {
      for (const Row& r : rows) e.cursor().AppendRecord(e.put(r));
      e.cursor().FlushBuffers(true, false, true, true, false);
    });
    const double tl = seconds([&] { l.each("INSERT INTO t VALUES(?1, ?2, ?3, ?4)", n, bindRow); });
    report(("append, " + std::to_string(indexes) + " secondary indexes").c_str(), te, tl);
  }
  Engine& e3 = *engines[2];
  Lite& l3 = *lites[2];
  std::vector<size_t> probe(n);
  for (size_t& p : probe) p = rng() % n;
  report("FindKey, integer key", seconds([&] {
           for (size_t p : probe) e3.find(rows[p], 1);
         }),
         seconds([&] {
           l3.each("SELECT * FROM t WHERE k = ?1", n,
                   [&](sqlite3_stmt* s, size_t i) { sqlite3_bind_int(s, 1, rows[probe[i]].k); });
         }));
  report("FindKey, string key", seconds([&] {
           for (size_t p : probe) e3.find(rows[p], 2);
         }),
         seconds([&] {
           l3.each("SELECT * FROM t WHERE name = ?1", n, [&](sqlite3_stmt* s, size_t i) {
             sqlite3_bind_text(s, 1, rows[probe[i]].name.c_str(), -1, SQLITE_STATIC);
           });
         }));
  const size_t ranges = 200, width = std::max<size_t>(1, n / 100);
  uint64_t engineRows = 0, liteRows = 0;
  // Both sides scan the same ranges, so the rows they see must agree.
  std::mt19937 first(7);
  const double rangeEngine = seconds([&] {
    e3.cursor().SelectIndex(1);
    for (size_t i = 0; i < ranges; ++i) {
      const int32_t lo = int32_t(first() % n), hi = lo + int32_t(width);
      std::vector<uint8_t> low(e3.put({lo, "", 0}), e3.put({lo, "", 0}) + e3.cursor().RecordSize());
      e3.cursor().SetRange(false, low.data(), 1, e3.put({hi, "", 0}), 1);
      engineRows += e3.scan();
    }
    e3.cursor().ResetRange();
  });
  std::mt19937 again(7);
  const double rangeLite = seconds([&] {
    liteRows =
        l3.each("SELECT * FROM t WHERE k BETWEEN ?1 AND ?2 ORDER BY k", ranges, [&](sqlite3_stmt* s, size_t) {
          const int32_t lo = int32_t(again() % n);
          sqlite3_bind_int(s, 1, lo);
          sqlite3_bind_int(s, 2, lo + int32_t(width));
        });
  });
  report("range scans (200 x 1%)", rangeEngine, rangeLite);
  Engine& e0 = *engines[0];
  Lite& l0 = *lites[0];
  const std::string text = "AMOUNT < 100";
  const double filterEngine = seconds([&] {
    for (int i = 0; i < 10; ++i) {
      TFilter* f = e0.cursor().AddFilter(nullptr, &text, nullptr, false, nullptr, false, false, false, false);
      e0.cursor().ActivateFilter(f);
      engineRows += e0.scan();
      e0.cursor().DropFilter(f);
    }
  });
  const double filterLite = seconds(
      [&] { liteRows += l0.each("SELECT * FROM t WHERE amount < 100", 10, [](sqlite3_stmt*, size_t) {}); });
  report("filtered scans (10 x 10%)", filterEngine, filterLite);
  const size_t changes = n / 4;
  report("modify by integer key", seconds([&] {
           for (size_t i = 0; i < changes; ++i) {
             if (!e3.find(rows[probe[i]], 1)) continue;
             e3.cursor().GetCurrentRecord(e3.buffer().data(), false);
             const int32_t amount = int32_t(i % 1000);
             e3.cursor().PutField(3, e3.buffer().data(), reinterpret_cast<const uint8_t*>(&amount));
             e3.cursor().ModifyRecord(e3.buffer().data());
           }
           e3.cursor().FlushBuffers(true, false, true, true, false);
         }),
         seconds([&] {
           l3.each("UPDATE t SET amount = ?2 WHERE k = ?1", changes, [&](sqlite3_stmt* s, size_t i) {
             sqlite3_bind_int(s, 1, rows[probe[i]].k);
             sqlite3_bind_int(s, 2, int(i % 1000));
           });
         }));
  report("delete by integer key", seconds([&] {
           for (size_t i = 0; i < changes; ++i) {
             if (!e3.find(rows[i], 1)) continue;
             e3.cursor().GetCurrentRecord(e3.buffer().data(), false);
             e3.cursor().DeleteRecord(e3.buffer().data());
           }
           e3.cursor().FlushBuffers(true, false, true, true, false);
         }),
         seconds([&] {
           l3.each("DELETE FROM t WHERE k = ?1", changes,
                   [&](sqlite3_stmt* s, size_t i) { sqlite3_bind_int(s, 1, rows[i].k); });
         }));
  // A restructure that copies every row (a field added), per 100,000 rows; SQLite does the same
  // copy by hand, since its ALTER TABLE ADD COLUMN only rewrites the schema.
  e0.cursor().Close();
  TRestructureArgs added = tableArgs(0);
  added.Fields.push_back(makeField(5, "EXTRA", 6));
  added.NoBackup = true;
  const double restructureEngine = seconds([&] { e0.cursor().RestructureTable(added); });
  const double restructureLite = seconds([&] {
    l0.exec(
        "BEGIN; CREATE TABLE u(k INTEGER, name TEXT, amount INTEGER, note TEXT, extra INTEGER);"
        "INSERT INTO u SELECT k, name, amount, note, NULL FROM t; DROP TABLE t; ALTER TABLE u RENAME TO t;"
        "COMMIT");
  });
  report("restructure, per 100k rows", restructureEngine * 100000.0 / double(n),
         restructureLite * 100000.0 / double(n));
  // An index added by a restructure is built in place over the same records.
  TRestructureArgs indexed = added;
  indexed.Indexes.resize(2);
  indexed.Indexes[1].name = "BYNAME";
  indexed.Indexes[1].fields[0] = 2;
  report("index rebuild, per 100k rows",
         seconds([&] { e0.cursor().RestructureTable(indexed); }) * 100000.0 / double(n),
         seconds([&] { l0.exec("CREATE INDEX byname ON t(name)"); }) * 100000.0 / double(n));
  contendingAppends(std::max<size_t>(1, n / 20));
  std::printf("(rows seen: engine %llu, sqlite %llu%s)\n", (unsigned long long)engineRows,
              (unsigned long long)liteRows, engineRows == liteRows ? "" : ": THEY DIFFER");
  engines.clear();
  lites.clear();
  std::filesystem::remove_all(benchDir());
  return 0;
}
