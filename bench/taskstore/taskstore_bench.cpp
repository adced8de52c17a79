// The task storage against SQLite on the same rows, side by side in one run: saving a task (its
// next unused id looked up first), saving a run's log with 1 MB of output (both rows in one
// transaction), loading 10,000 tasks into task objects, newest first, and listing them as the
// window does (the columns its task tree needs). Neither forces its writes to the device. The
// loads and lists take turns with their peer and keep the median of five. The ratios (task
// storage time / SQLite time) are printed at the end.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tasks/u_task1.h"
#include "tasks/u_taskstore.h"

namespace {

using namespace tasks;

constexpr int kTasks = 10000;
constexpr int kSaves = 500;
constexpr int kLogs = 20;

std::string benchDir() {
  const char* s = std::getenv("VELMARON_BENCH_DIR");
  return (s != nullptr ? std::string(s) : std::filesystem::temp_directory_path().string()) +
         "/velmaron-taskstore-bench";
}

double seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void makeTask(TUniTask& t, int i) {
  t.SetName("nightly export " + std::to_string(i));
  t.SetDescription(std::string(300, 'd'));
  t.SetCreateTime(DateTime(std::chrono::milliseconds(1'700'000'000'000LL + i * 1000LL)));
  t.SetUName("scott");
  t.SetUPassword("tiger");
  t.SetConnectString("orcl");
  t.SetScheduleTable("0000");
  t.SetCommand(" file=/srv/dumps/full_%d.dmp owner=scott,hr compress=n consistent=y");
  t.SetPreExec("/srv/scripts/pre.sql");
  t.SetPostExec("/srv/scripts/post.sql");
  t.SetFtpRemoteDir("/incoming");
  t.SetCopyFileDir("/mnt/backup");
  t.SetFtpPassword("secret");
  t.SetFtpUserName("dumps");
  t.SetFtpServer("127.0.0.1");
}

struct Lite {
  Lite() {
    const std::string path = benchDir() + "/lite.db";
    sqlite3_open(path.c_str(), &db);
    exec("PRAGMA synchronous=OFF");
    exec(
        "CREATE TABLE task(id INTEGER PRIMARY KEY, name TEXT, description TEXT, createtime REAL, connecttodb "
        "INTEGER, uname TEXT, upassword TEXT, connectstring TEXT, scheduletable TEXT, tasktype INTEGER, "
        "command "
        "TEXT, preexec TEXT, postexec TEXT, ispreexec INTEGER, ispostexec INTEGER, ftpanonymous INTEGER, "
        "transfermode INTEGER, deletefileafter INTEGER, ftpremotedir TEXT, copyfiledir TEXT, ftppassword "
        "TEXT, "
        "ftpusername TEXT, ftpserver TEXT, isexecuser INTEGER, execusername TEXT, execpassword TEXT, "
        "execconnectstring TEXT)");
    exec(
        "CREATE TABLE tasklog(id INTEGER PRIMARY KEY, taskid INTEGER, begintime REAL, endtime REAL, filesize "
        "INTEGER, dumpfile TEXT)");
    exec("CREATE INDEX bytask ON tasklog(taskid)");
    exec(
        "CREATE TABLE tasklogc(taskid INTEGER, tasklogid INTEGER, content TEXT, PRIMARY KEY(taskid, "
        "tasklogid))");
  }
  ~Lite() { sqlite3_close(db); }
  void exec(const char* sql) { sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    return s;
  }
  int nextId(const char* table) {
    sqlite3_stmt* s = prepare((std::string("SELECT coalesce(max(id), 0) + 1 FROM ") + table).c_str());
    sqlite3_step(s);
    const int id = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    return id;
  }
  void saveTask(const TUniTask& t) {
    const int id = nextId("task");
    sqlite3_stmt* s = prepare(
        "INSERT INTO task VALUES(?1, ?2, ?3, ?4, 0, ?5, ?6, ?7, '0000', ?8, ?9, ?10, ?11, ?12, ?13, ?14, "
        "?15, ?16, "
        "?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25)");
    int p = 1;
    const auto text = [&](const std::string& v) {
      sqlite3_bind_text(s, p++, v.data(), int(v.size()), SQLITE_STATIC);
    };
    const auto num = [&](int64_t v) { sqlite3_bind_int64(s, p++, v); };
    num(id);
    text(t.name());
    text(t.description());
    sqlite3_bind_double(s, p++, double(t.createtime().time_since_epoch().count()));
    text(t.uname());
    text(t.upassword());
    text(t.connectstring());
    num(int(t.tasktype()));
    text(t.command());
    text(t.preexec());
    text(t.postexec());
    num(t.ispreexec());
    num(t.ispostexec());
    num(t.ftpanonymous());
    num(t.transfermode());
    num(t.deletefileafter());
    text(t.ftpremotedir());
    text(t.copyfiledir());
    text(t.ftppassword());
    text(t.ftpusername());
    text(t.ftpserver());
    num(t.isexecuser());
    text(t.execusername());
    text(t.execpassword());
    text(t.execconnectstring());
    sqlite3_step(s);
    sqlite3_finalize(s);
  }
  void saveLog(const TaskLogEntry& e, const std::string& content) {
    exec("BEGIN");
    const int id = nextId("tasklog");
    sqlite3_stmt* s = prepare("INSERT INTO tasklog VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    sqlite3_bind_int(s, 1, id);
    sqlite3_bind_int(s, 2, e.taskid);
    sqlite3_bind_double(s, 3, double(e.begintime.time_since_epoch().count()));
    sqlite3_bind_double(s, 4, double(e.endtime.time_since_epoch().count()));
    sqlite3_bind_int64(s, 5, e.filesize);
    sqlite3_bind_text(s, 6, e.dumpfile.data(), int(e.dumpfile.size()), SQLITE_STATIC);
    sqlite3_step(s);
    sqlite3_finalize(s);
    s = prepare("INSERT INTO tasklogc VALUES(?1, ?2, ?3)");
    sqlite3_bind_int(s, 1, e.taskid);
    sqlite3_bind_int(s, 2, id);
    sqlite3_bind_text(s, 3, content.data(), int(content.size()), SQLITE_STATIC);
    sqlite3_step(s);
    sqlite3_finalize(s);
    exec("COMMIT");
  }
  size_t loadTasks() {
    std::vector<std::unique_ptr<TUniTask>> loaded;
    sqlite3_stmt* s = prepare("SELECT * FROM task ORDER BY createtime DESC");
    while (sqlite3_step(s) == SQLITE_ROW) {
      auto t = std::make_unique<TExpTask>(nullptr);
      const auto text = [&](int c) {
        return std::string(reinterpret_cast<const char*>(sqlite3_column_blob(s, c)),
                           size_t(sqlite3_column_bytes(s, c)));
      };
      t->SetId(sqlite3_column_int(s, 0));
      t->SetName(text(1));
      t->SetDescription(text(2));
      t->SetCreateTime(DateTime(DateTime::duration(int64_t(sqlite3_column_double(s, 3)))));
      t->SetConnectToDb(sqlite3_column_int(s, 4) == 1);
      t->SetUName(text(5));
      t->SetUPassword(text(6));
      t->SetConnectString(text(7));
      t->SetScheduleTable(text(8));
      t->SetTaskType(TTaskType(sqlite3_column_int(s, 9)));
      t->SetCommand(text(10));
      t->SetPreExec(text(11));
      t->SetPostExec(text(12));
      t->SetIsPreExec(sqlite3_column_int(s, 13) != 0);
      t->SetIsPostExec(sqlite3_column_int(s, 14) != 0);
      t->SetFtpAnonymous(sqlite3_column_int(s, 15));
      t->SetTransferMode(sqlite3_column_int(s, 16));
      t->SetDeleteFileAfter(sqlite3_column_int(s, 17));
      t->SetFtpRemoteDir(text(18));
      t->SetCopyFileDir(text(19));
      t->SetFtpPassword(text(20));
      t->SetFtpUserName(text(21));
      t->SetFtpServer(text(22));
      t->SetIsExecUser(sqlite3_column_int(s, 23) != 0);
      t->SetExecUserName(text(24));
      t->SetExecPassword(text(25));
      t->SetExecConnectString(text(26));
      loaded.push_back(std::move(t));
    }
    sqlite3_finalize(s);
    return loaded.size();
  }
  // The columns the window's task list reads; the rest of a task waits for its first use.
  size_t listTasks() {
    std::vector<std::unique_ptr<TUniTask>> loaded;
    sqlite3_stmt* s = prepare(
        "SELECT id, name, createtime, connecttodb, scheduletable, tasktype, command, ispreexec, ispostexec, "
        "ftpanonymous, transfermode, deletefileafter, isexecuser FROM task ORDER BY createtime DESC");
    while (sqlite3_step(s) == SQLITE_ROW) {
      auto t = std::make_unique<TExpTask>(nullptr);
      const auto text = [&](int c) {
        return std::string(reinterpret_cast<const char*>(sqlite3_column_blob(s, c)),
                           size_t(sqlite3_column_bytes(s, c)));
      };
      t->SetId(sqlite3_column_int(s, 0));
      t->SetName(text(1));
      t->SetCreateTime(DateTime(DateTime::duration(int64_t(sqlite3_column_double(s, 2)))));
      t->SetConnectToDb(sqlite3_column_int(s, 3) == 1);
      t->SetScheduleTable(text(4));
      t->SetTaskType(TTaskType(sqlite3_column_int(s, 5)));
      t->SetCommand(text(6));
      t->SetIsPreExec(sqlite3_column_int(s, 7) != 0);
      t->SetIsPostExec(sqlite3_column_int(s, 8) != 0);
      t->SetFtpAnonymous(sqlite3_column_int(s, 9));
      t->SetTransferMode(sqlite3_column_int(s, 10));
      t->SetDeleteFileAfter(sqlite3_column_int(s, 11));
      t->SetIsExecUser(sqlite3_column_int(s, 12) != 0);
      loaded.push_back(std::move(t));
    }
    sqlite3_finalize(s);
    return loaded.size();
  }
  sqlite3* db = nullptr;
};

struct Ratio {
  const char* what;
  double store, lite;
};

// A read timed in turns with its peer, five times each, the medians kept: the first run of either
// side would otherwise also pay for the heap its tasks grow, which the other then reuses.
Ratio alternating(const char* what, const std::function<void()>& store, const std::function<void()>& lite) {
  std::vector<double> a, b;
  for (int i = 0; i < 5; ++i) {
    a.push_back(seconds(store));
    b.push_back(seconds(lite));
  }
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  return {what, a[2], b[2]};
}

}  // namespace

int main() {
  std::filesystem::remove_all(benchDir());
  std::filesystem::create_directories(benchDir());
  std::vector<Ratio> ratios;
  {
    TTaskStore store(benchDir() + "/db");
    Lite lite;
    TExpTask task(nullptr);
    makeTask(task, 0);
    ratios.push_back({"save a task", seconds([&] {
                                       for (int i = 0; i < kSaves; ++i) store.SaveTask(task);
                                     }) / kSaves,
                      seconds([&] {
                        for (int i = 0; i < kSaves; ++i) lite.saveTask(task);
                      }) / kSaves});

    std::string output;
    for (int i = 0; output.size() < (1 << 20); ++i)
      output += ". . exporting table T" + std::to_string(i) + " rows exported\r\n";
    const TaskLogEntry entry{0, 1, DateTime{}, DateTime{}, 123456789, "/srv/dumps/full_07.dmp"};
    ratios.push_back({"save a log with 1 MB of output", seconds([&] {
                                                          for (int i = 0; i < kLogs; ++i)
                                                            store.SaveTaskLog(entry, output);
                                                        }) / kLogs,
                      seconds([&] {
                        for (int i = 0; i < kLogs; ++i) lite.saveLog(entry, output);
                      }) / kLogs});

    for (int i = kSaves; i < kTasks; ++i) {
      makeTask(task, i);
      store.SaveTask(task);
    }
    lite.exec("BEGIN");
    for (int i = kSaves; i < kTasks; ++i) {
      makeTask(task, i);
      lite.saveTask(task);
    }
    lite.exec("COMMIT");
    size_t storeCount = 0, liteCount = 0;
    ratios.push_back(alternating(
        "load 10,000 tasks", [&] { storeCount = store.LoadTasks(nullptr).size(); },
        [&] { liteCount = lite.loadTasks(); }));
    if (storeCount != liteCount || storeCount != size_t(kTasks)) {
      std::printf("THE LOADS DIFFER: %zu and %zu tasks\n", storeCount, liteCount);
    }
    ratios.push_back(alternating(
        "list 10,000 tasks (the tree's columns)", [&] { storeCount = store.LoadTaskList(nullptr).size(); },
        [&] { liteCount = lite.listTasks(); }));
    if (storeCount != liteCount) std::printf("THE LISTS DIFFER: %zu and %zu tasks\n", storeCount, liteCount);
  }
  std::printf("%-40s %14s %14s %8s\n", "operation", "task store s", "sqlite s", "ratio");
  for (const Ratio& r : ratios)
    std::printf("%-40s %14.6f %14.6f %8.2f\n", r.what, r.store, r.lite, r.store / r.lite);
  std::filesystem::remove_all(benchDir());
  return 0;
}
