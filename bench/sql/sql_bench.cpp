// Statements parsed per second: the application's own statements (the task INSERT with its 27
// values, the UPDATE and DELETE by id, the task list ordered newest first) and a 20-line SELECT
// with three joins, each beside SQLite preparing the same text over the same tables
// (sqlite3_prepare_v2 and sqlite3_finalize). At the end the ratios engine time / SQLite time are
// printed, one per statement.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>

#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"

namespace {

const char* const kTables[] = {
    "create table task(id integer, name varchar(60), description varchar(250), createtime timestamp, "
    "connecttodb "
    "integer, uname varchar(30), upassword varchar(30), connectstring varchar(60), scheduletable "
    "varchar(10), "
    "tasktype integer, command varchar(250), preexec varchar(250), postexec varchar(250), ispreexec integer, "
    "ispostexec integer, ftpanonymous integer, transfermode integer, deletefileafter integer, ftpremotedir "
    "varchar(250), copyfiledir varchar(250), ftppassword varchar(30), ftpusername varchar(30), ftpserver "
    "varchar(60), isexecuser integer, execusername varchar(30), execpassword varchar(30), execconnectstring "
    "varchar(60))",
    "create table tasklog(id integer, taskid integer, begintime timestamp, endtime timestamp, filesize "
    "integer, "
    "dumpfile varchar(250))",
    "create table tasklogc(taskid integer, tasklogid integer, content blob)",
    "create table owners(id integer, name varchar(30), region integer)",
};

struct Statement {
  const char* name;
  const char* text;
};

const Statement kStatements[] = {
    {"insert_task",
     "insert into "
     "task(id,name,description,createtime,connecttodb,uname,upassword,connectstring,scheduletable,tasktype,"
     "command,"
     "preexec,postexec,ispreexec,ispostexec,ftpanonymous,transfermode,deletefileafter,ftpremotedir,"
     "copyfiledir,"
     "ftppassword,ftpusername,ftpserver,isexecuser,execusername,execpassword,execconnectstring) "
     "values(45296789,"
     "'Nightly export','Full export of the sales schema',?,0,'scott','tiger','orcl','0000',0,'owner=sales "
     "file=/var/dumps/sales.dmp log=/var/dumps/sales.log rows=y indexes=y','/opt/scripts/pre.sql',"
     "'/opt/scripts/post.sql',1,0,0,1,1,'/incoming/dumps','/mnt/"
     "archive','secret','backup','ftp.example.com',0,"
     "'','','')"},
    {"update_task",
     "update task set name='Nightly export',description='Full export of the sales "
     "schema',connecttodb=0,uname='scott',upassword='tiger',connectstring='orcl',preexec='/opt/scripts/"
     "pre.sql',"
     "postexec='/opt/scripts/post.sql',scheduletable='300207',tasktype=0,command='owner=sales',ispreexec=1,"
     "ispostexec=0,isexecuser=0,execusername='',execpassword='',execconnectstring='',ftpanonymous=0,"
     "transfermode=1,"
     "deletefileafter=1,ftpremotedir='/incoming',copyfiledir='/mnt/archive',ftppassword='secret',ftpusername="
     "'backup',ftpserver='ftp.example.com' where id=45296789"},
    {"delete_task", "delete from task where id=45296789"},
    {"select_tasks", "select * from task order by createtime desc"},
    {"select_3_joins",
     "SELECT t.id,\n"
     "       t.name,\n"
     "       t.tasktype,\n"
     "       l.begintime,\n"
     "       l.endtime,\n"
     "       l.filesize,\n"
     "       l.dumpfile,\n"
     "       c.content,\n"
     "       o.name AS ownername\n"
     "FROM task t\n"
     "  JOIN tasklog l ON l.taskid = t.id\n"
     "  LEFT OUTER JOIN tasklogc c ON c.taskid = l.taskid AND c.tasklogid = l.id\n"
     "  JOIN owners o ON o.name = t.uname\n"
     "WHERE t.tasktype IN (0, 1)\n"
     "  AND l.filesize > 1048576\n"
     "  AND (t.transfermode = 1 OR t.deletefileafter = 0)\n"
     "  AND o.region BETWEEN 1 AND 9\n"
     "  AND t.name LIKE 'Night%'\n"
     "ORDER BY l.begintime DESC,\n"
     "         t.name"},
};

void EngineParse(benchmark::State& state, const Statement& s) {
  engine::TDataSession session;
  engine::TDataDirectory* directory = session.OpenDataDirectory("Memory", "");
  {
    engine::sql::TQueryStatement statement(*directory);
    for (auto _ : state) {
      statement.ParseStatement(s.text);
      benchmark::DoNotOptimize(statement.MasterQuery());
      statement.FreeQueries();
    }
  }
  session.CloseDataDirectory(directory);
  state.SetItemsProcessed(state.iterations());
}

void SqlitePrepare(benchmark::State& state, const Statement& s) {
  sqlite3* db = nullptr;
  if (sqlite3_open(":memory:", &db) != SQLITE_OK) throw std::runtime_error("sqlite open");
  for (const char* table : kTables)
    if (sqlite3_exec(db, table, nullptr, nullptr, nullptr) != SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(db));
  for (auto _ : state) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, s.text, -1, &statement, nullptr) != SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(db));
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations());
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (!run.error_occurred) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nengine parse time / SQLite prepare time (below 1: the engine is faster)\n");
    for (const Statement& s : kStatements) {
      auto engine = times_.find(std::string("engine/") + s.name);
      auto sqlite = times_.find(std::string("sqlite/") + s.name);
      if (engine != times_.end() && sqlite != times_.end() && sqlite->second > 0)
        std::printf("  %-20s %6.2f\n", s.name, engine->second / sqlite->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  for (const Statement& s : kStatements) {
    benchmark::RegisterBenchmark((std::string("engine/") + s.name).c_str(),
                                 [&s](benchmark::State& state) { EngineParse(state, s); });
    benchmark::RegisterBenchmark((std::string("sqlite/") + s.name).c_str(),
                                 [&s](benchmark::State& state) { SqlitePrepare(state, s); });
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
