// Statements parsed per second, and prepared per second (parsed, sources opened, columns bound,
// joins planned): the application's own statements (the task INSERT with its 27 values, the
// UPDATE and DELETE by id, the task list ordered newest first), a SELECT over five tables and a
// 20-line SELECT with three joins, each beside SQLite preparing the same text over the same
// tables (sqlite3_prepare_v2 and sqlite3_finalize). At the end the ratios engine time / SQLite
// time are printed, one per statement and step.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/base/veldortypes.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"

namespace {

// The tables, the same for both: a column ending in "$" is text, any other an integer.
struct Table {
  const char* name;
  std::vector<std::string> columns;
};
const Table kTables[] = {
    {"task",
     {"id",
      "name$",
      "description$",
      "createtime",
      "connecttodb",
      "uname$",
      "upassword$",
      "connectstring$",
      "scheduletable$",
      "tasktype",
      "command$",
      "preexec$",
      "postexec$",
      "ispreexec",
      "ispostexec",
      "ftpanonymous",
      "transfermode",
      "deletefileafter",
      "ftpremotedir$",
      "copyfiledir$",
      "ftppassword$",
      "ftpusername$",
      "ftpserver$",
      "isexecuser",
      "execusername$",
      "execpassword$",
      "execconnectstring$"}},
    {"tasklog", {"id", "taskid", "begintime", "endtime", "filesize", "dumpfile$"}},
    {"tasklogc", {"taskid", "tasklogid", "content$"}},
    {"owners", {"id", "name$", "region"}},
    {"hosts", {"id", "ownerid", "name$"}},
};

bool isText(const std::string& column) {
  return column.back() == '$';
}
std::string plain(const std::string& column) {
  return isText(column) ? column.substr(0, column.size() - 1) : column;
}

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
    {"select_5_joins",
     "SELECT t.name, l.begintime, l.filesize, o.name, h.name, c.tasklogid\n"
     "FROM task t\n"
     "  JOIN tasklog l ON l.taskid = t.id\n"
     "  JOIN tasklogc c ON c.tasklogid = l.id\n"
     "  JOIN owners o ON o.name = t.uname\n"
     "  JOIN hosts h ON h.ownerid = o.id\n"
     "WHERE t.tasktype = 0 AND h.name LIKE 'db%'\n"
     "ORDER BY l.begintime DESC"},
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

// The in-memory database with the tables, made once.
engine::TDataDirectory& EngineDatabase() {
  static engine::TDataSession session;
  static engine::TDataDirectory* directory = [] {
    engine::TDataDirectory* d = session.OpenDataDirectory("Memory", "");
    for (const Table& table : kTables) {
      engine::TCreateTableArgs args;
      args.BlobBlockSize = 512;
      args.NoPrimaryIndex = true;
      args.Indexes.resize(1);
      uint16_t number = 0;
      for (const std::string& c : table.columns) {
        engine::TFieldDescriptor field;
        field.SetFieldNumber(++number);
        field.SetName(plain(c));
        field.SetType(isText(c) ? engine::kFieldTypeString : engine::kFieldTypeInteger);
        field.SetSize(isText(c) ? 250 : 0);
        args.Fields.push_back(field);
      }
      engine::TDataCursor cursor(*d);
      cursor.SetTableName(table.name);
      cursor.SetInMemory(true);
      cursor.SetExclusive(true);
      cursor.CreateTable(args);
    }
    return d;
  }();
  return *directory;
}

void EngineParse(benchmark::State& state, const Statement& s) {
  engine::sql::TQueryStatement statement(EngineDatabase());
  for (auto _ : state) {
    statement.ParseStatement(s.text);
    benchmark::DoNotOptimize(statement.MasterQuery());
    statement.FreeQueries();
  }
  state.SetItemsProcessed(state.iterations());
}

// Parse, open the sources, bind and plan: what the engine does before it reads a row.
void EnginePrepare(benchmark::State& state, const Statement& s) {
  engine::sql::TQueryStatement statement(EngineDatabase());
  for (auto _ : state) {
    statement.ParseStatement(s.text);
    engine::sql::TDataQuery& q = *statement.MasterQuery();
    q.OpenSources(nullptr);
    if (q.Kind == engine::sql::qkSelect) q.BindResultColumns();
    if (q.Kind == engine::sql::qkInsert || q.Kind == engine::sql::qkUpdate) q.BindTargetColumns();
    q.LinkSourceTables();
    q.ExtractJoinConditions();
    q.CheckWhereCondition();
    q.SortSourceTables();
    q.CheckJoins();
    if (q.OrderByGiven) q.BindOrderBy();
    statement.FreeQueries();
  }
  state.SetItemsProcessed(state.iterations());
}

void SqlitePrepare(benchmark::State& state, const Statement& s) {
  sqlite3* db = nullptr;
  if (sqlite3_open(":memory:", &db) != SQLITE_OK) throw std::runtime_error("sqlite open");
  for (const Table& table : kTables) {
    std::string sql = std::string("create table ") + table.name + "(";
    for (const std::string& c : table.columns)
      sql +=
          plain(c) + (isText(c) ? " varchar(250)" : " integer") + (&c == &table.columns.back() ? ")" : ", ");
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(db));
  }
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
    std::printf("\nengine time / SQLite prepare time (below 1: the engine is faster)\n");
    for (const Statement& s : kStatements) {
      auto sqlite = times_.find(std::string("sqlite/") + s.name);
      for (const char* step : {"parse", "prepare"}) {
        auto engine = times_.find(std::string("engine/") + step + "/" + s.name);
        if (engine != times_.end() && sqlite != times_.end() && sqlite->second > 0)
          std::printf("  %-8s %-20s %6.2f\n", step, s.name, engine->second / sqlite->second);
      }
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  for (const Statement& s : kStatements) {
    benchmark::RegisterBenchmark((std::string("engine/parse/") + s.name).c_str(),
                                 [&s](benchmark::State& state) { EngineParse(state, s); });
    benchmark::RegisterBenchmark((std::string("engine/prepare/") + s.name).c_str(),
                                 [&s](benchmark::State& state) { EnginePrepare(state, s); });
    benchmark::RegisterBenchmark((std::string("sqlite/") + s.name).c_str(),
                                 [&s](benchmark::State& state) { SqlitePrepare(state, s); });
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
