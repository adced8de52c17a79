// Statements run end to end, beside SQLite running the same statements over the same rows and
// indexes, both on file databases in one temporary folder with the same durability (no flush to
// the disk per commit: the engine's default, SQLite's synchronous=OFF). Each case runs a number
// of times on each side; the median and the 99th percentile of one run are printed with the
// ratio engine / SQLite of the medians (below 1: the engine is faster).
//
// The application's statements (the task INSERT, UPDATE by id with the values the row holds and
// with new ones, the task list newest first over 1,000 and 10,000 rows, the log insert with its
// blob), WHERE through an index at 0.1 %, 10 % and 90 % of 100,000 rows and without one,
// a select list with computed columns over every row, a scan whose condition computes a value,
// COUNT(*), GROUP BY into 10 and 10,000 groups, DISTINCT, ORDER BY, TOP, a 1,000 x 100,000 join
// with and without an index on the inner table, a three-table join with an OR across tables, and
// INSERT, UPDATE and DELETE of 100,000 rows.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/base/veldortypes.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"

namespace {

// Rows of the large tables; a second argument changes it (the case names keep saying 100k).
int kRows = 100000;

using Clock = std::chrono::steady_clock;

struct Times {
  double median = 0, p99 = 0;
};

Times measure(int runs, const std::function<void()>& run) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    run();
    t.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(t.begin(), t.end());
  return {t[t.size() / 2], t[std::min(t.size() - 1, t.size() * 99 / 100)]};
}

class Engine {
 public:
  explicit Engine(const std::string& folder) {
    session_.SetPrivateDirectory(folder);
    directory_ = session_.OpenDataDirectory("bench", folder);
  }
  ~Engine() { session_.CloseDataDirectory(directory_); }
  void begin() { directory_->StartTransaction(); }
  void commit() { directory_->Commit(true, false); }
  int64_t run(const std::string& sql) {
    engine::sql::TQueryStatement s(*directory_);
    s.Prepare(sql);
    engine::TDataCursor* c = s.Execute();
    return c ? c->GetRecordCount() : s.RowsAffected;
  }

 private:
  engine::TDataSession session_;
  engine::TDataDirectory* directory_ = nullptr;
};

class Lite {
 public:
  explicit Lite(const std::string& file) {
    if (sqlite3_open(file.c_str(), &db_) != SQLITE_OK) throw std::runtime_error("sqlite open");
    exec("PRAGMA synchronous=OFF");
  }
  ~Lite() { sqlite3_close(db_); }
  void exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string text = error ? error : "?";
      sqlite3_free(error);
      throw std::runtime_error(text + " in " + sql);
    }
  }
  // Steps through every row, reading each column, as a client reads a result.
  int64_t run(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string(sqlite3_errmsg(db_)) + " in " + sql);
    int64_t rows = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
      for (int i = 0; i < sqlite3_column_count(st); ++i) sqlite3_column_text(st, i);
      ++rows;
    }
    sqlite3_finalize(st);
    return rows ? rows : sqlite3_changes(db_);
  }

 private:
  sqlite3* db_ = nullptr;
};

struct Case {
  std::string name;
  std::string ours, lite;
  int runs;
  // Run before each timed run, untimed (a table put back as it was).
  std::string resetOurs = {}, resetLite = {};
};

}  // namespace

// An argument runs only the cases whose names hold it (or, starting with '=', the one so named); a
// second one sets the rows of the large tables; a third multiplies each case's runs (for a
// profiler).
int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  if (argc > 2) kRows = std::max(1, std::atoi(argv[2]));
  const int repeat = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "velmaron_sql_exec_bench";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  {
    Engine ours(folder.string());
    Lite lite((folder / "lite.db").string());
    auto both = [&](const std::string& sql) {
      ours.run(sql);
      lite.exec(sql);
    };
    auto load = [&](const std::string& table, int rows, const std::function<std::string(int)>& values) {
      ours.begin();
      lite.exec("BEGIN");
      for (int i = 0; i < rows; ++i) both("INSERT INTO " + table + " VALUES (" + values(i) + ")");
      ours.commit();
      lite.exec("COMMIT");
    };
    std::printf("loading %d rows...\n", kRows);
    both("CREATE TABLE b (id INTEGER, k INTEGER, u INTEGER, g10 INTEGER, g10k INTEGER, s CHAR(20))");
    both("CREATE TABLE c (id INTEGER, k INTEGER, u INTEGER, g10 INTEGER, g10k INTEGER, s CHAR(20))");
    both("CREATE TABLE small (id INTEGER, v INTEGER)");
    both("CREATE TABLE inner1 (id INTEGER, w INTEGER)");
    both("CREATE TABLE inner2 (id INTEGER, w INTEGER)");
    const char* taskColumns = "(id INTEGER, name CHAR(60), createtime INTEGER, command CHAR(200))";
    for (const char* t : {"task", "task1k", "task10k"})
      both(std::string("CREATE TABLE ") + t + " " + taskColumns);
    both("CREATE TABLE tasklog (id INTEGER, taskid INTEGER, begintime INTEGER, content BLOB(1, 1))");
    load("b", kRows, [](int i) {
      return std::to_string(i) + ", " + std::to_string((i * 7919) % kRows) + ", " + std::to_string(i % 977) +
             ", " + std::to_string(i % 10) + ", " + std::to_string(i % 10000) + ", 'name" +
             std::to_string(i % 5000) + "'";
    });
    load("small", 1000, [](int i) { return std::to_string(i * 100) + ", " + std::to_string(i % 3); });
    load("inner1", kRows, [](int i) { return std::to_string(i) + ", " + std::to_string(i % 7); });
    load("inner2", kRows, [](int i) { return std::to_string(i) + ", " + std::to_string(i % 7); });
    auto task = [](int i) {
      return std::to_string(i) + ", 'Nightly export " + std::to_string(i) + "', " +
             std::to_string((i * 31) % 100000) +
             ", 'owner=sales file=/var/dumps/sales.dmp log=/var/dumps/sales.log rows=y'";
    };
    load("task1k", 1000, task);
    load("task10k", 10000, task);
    both("CREATE INDEX bk ON b (k)");
    both("CREATE INDEX i1 ON inner1 (id)");
    both("CREATE INDEX tid ON task (id)");
    load("task", 200, task);
    std::string content(4000, 'x');

    int next = 1000000;
    std::vector<Case> cases = {
        {"task INSERT", "", "", 300},
        {"task UPDATE by id", "UPDATE task SET name = 'Renamed', command = 'owner=hr' WHERE id = 150",
         "UPDATE task SET name = 'Renamed', command = 'owner=hr' WHERE id = 150", 300},
        {"task UPDATE by id, new values", "", "", 300},
        {"tasks newest first, 1k", "SELECT * FROM task1k ORDER BY createtime DESC",
         "SELECT * FROM task1k ORDER BY createtime DESC", 30},
        {"tasks newest first, 10k", "SELECT * FROM task10k ORDER BY createtime DESC",
         "SELECT * FROM task10k ORDER BY createtime DESC", 10},
        {"log INSERT with blob", "", "", 300},
        {"indexed WHERE 0.1%", "SELECT id, s FROM b WHERE k < 100", "SELECT id, s FROM b WHERE k < 100", 30},
        {"indexed WHERE 10%", "SELECT id, s FROM b WHERE k < 10000", "SELECT id, s FROM b WHERE k < 10000",
         10},
        {"indexed WHERE 90%", "SELECT id, s FROM b WHERE k < 90000", "SELECT id, s FROM b WHERE k < 90000",
         5},
        {"unindexed WHERE 1%", "SELECT id, s FROM b WHERE u < 10", "SELECT id, s FROM b WHERE u < 10", 10},
        {"computed select list", "SELECT id, u * 2 + k, UPPER(s) || 'x' FROM b",
         "SELECT id, u * 2 + k, UPPER(s) || 'x' FROM b", 5},
        {"computed WHERE 1%", "SELECT id, s FROM b WHERE u * 2 + 1 < 21",
         "SELECT id, s FROM b WHERE u * 2 + 1 < 21", 10},
        {"COUNT(*)", "SELECT COUNT(*) FROM b", "SELECT COUNT(*) FROM b", 30},
        {"GROUP BY 10 groups", "SELECT g10, COUNT(*), SUM(u) FROM b GROUP BY g10",
         "SELECT g10, COUNT(*), SUM(u) FROM b GROUP BY g10", 5},
        {"GROUP BY 10,000 groups", "SELECT g10k, COUNT(*), SUM(u) FROM b GROUP BY g10k",
         "SELECT g10k, COUNT(*), SUM(u) FROM b GROUP BY g10k", 5},
        {"DISTINCT", "SELECT DISTINCT s FROM b", "SELECT DISTINCT s FROM b", 5},
        {"ORDER BY", "SELECT id, u FROM b ORDER BY u, id", "SELECT id, u FROM b ORDER BY u, id", 5},
        {"TOP 10 of ORDER BY", "SELECT id, u FROM b ORDER BY u TOP 10",
         "SELECT id, u FROM b ORDER BY u LIMIT 10", 5},
        {"join 1k x 100k, inner indexed",
         "SELECT small.id, inner1.w FROM small, inner1 WHERE inner1.id = small.id",
         "SELECT small.id, inner1.w FROM small, inner1 WHERE inner1.id = small.id", 10},
        {"join 1k x 100k, no index",
         "SELECT small.id, inner2.w FROM small, inner2 WHERE inner2.id = small.id",
         "SELECT small.id, inner2.w FROM small, inner2 WHERE inner2.id = small.id", 1},
        {"3 tables, residual OR",
         "SELECT small.id FROM small, inner1, b WHERE inner1.id = small.id AND b.id = inner1.id AND "
         "(small.v = 1 OR b.g10 = 0)",
         "SELECT small.id FROM small, inner1, b WHERE inner1.id = small.id AND b.id = inner1.id AND "
         "(small.v = 1 OR b.g10 = 0)",
         10},
        {"INSERT 100k rows", "INSERT INTO c SELECT * FROM b", "INSERT INTO c SELECT * FROM b", 1,
         "DELETE FROM c", "DELETE FROM c"},
        {"UPDATE 100k rows", "UPDATE c SET u = u + 1", "UPDATE c SET u = u + 1", 1},
        {"DELETE 100k rows", "DELETE FROM c", "DELETE FROM c", 1, "INSERT INTO c SELECT * FROM b",
         "INSERT INTO c SELECT * FROM b"},
    };
    std::printf("%-32s %12s %12s %12s %12s %8s\n", "case", "engine p50", "engine p99", "sqlite p50",
                "sqlite p99", "ratio");
    for (Case& c : cases) {
      if (only.starts_with('=') ? c.name != only.substr(1) : c.name.find(only) == std::string::npos) continue;
      std::function<void()> runOurs, runLite;
      if (c.name == "task INSERT" || c.name == "log INSERT with blob") {
        bool log = c.name != "task INSERT";
        auto text = [&](int id) {
          return log ? "INSERT INTO tasklog VALUES (" + std::to_string(id) + ", 7, 123456, '" + content + "')"
                     : "INSERT INTO task VALUES (" + task(id) + ")";
        };
        runOurs = [&, text] { ours.run(text(next++)); };
        runLite = [&, text] { lite.run(text(next++)); };
      } else if (c.name == "task UPDATE by id, new values") {
        // The same row each time with values it did not hold: every run writes (the case above
        // sets the values the row already holds after its first run, which a side may skip).
        auto text = [](int n) {
          return "UPDATE task SET name = 'Renamed " + std::to_string(n) +
                 "', command = 'owner=hr' WHERE id = 140";
        };
        runOurs = [&, text] { ours.run(text(next++)); };
        runLite = [&, text] { lite.run(text(next++)); };
      } else {
        runOurs = [&] {
          if (!c.resetOurs.empty()) ours.run(c.resetOurs);
          ours.run(c.ours);
        };
        runLite = [&] {
          if (!c.resetLite.empty()) lite.run(c.resetLite);
          lite.run(c.lite);
        };
      }
      // Resets are timed with the run when a case has one: they are the same on both sides.
      Times a = measure(c.runs * repeat, runOurs), b = measure(c.runs * repeat, runLite);
      std::printf("%-32s %10.2fus %10.0fus %10.2fus %10.0fus %8.3f%s\n", c.name.c_str(), a.median, a.p99,
                  b.median, b.p99, b.median > 0 ? a.median / b.median : 0.0,
                  c.resetOurs.empty() ? "" : " (with reset)");
      std::fflush(stdout);
    }
  }
  std::filesystem::remove_all(folder);
  return 0;
}
