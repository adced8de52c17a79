#include "tasks/u_taskstore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/components/veldortb.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/faultfs.h"
#include "platform/osfile.h"
#include "tasks/u_task1.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/forwarding_fs.h"
#include "tests/platform/temp_folder.h"

namespace tasks {
namespace {

// Texts a pasted statement would have run, a NUL, trailing blanks, one longer than an engine string.
std::vector<std::string> hostileTexts() {
  const std::string nul(1, '\0'), longText = std::string(10000, 'q') + "'";
  return {"x'; delete from task; --", "a" + nul + "b", "  trailing  ", longText, "", "\r\n;\"\\"};
}

// Every text column of a task, as setters and getters side by side.
struct TextColumn {
  void (TUniTask::*set)(std::string);
  const std::string& (TUniTask::*get)() const;
};
#define COLUMN(setter, getter) \
  { &TUniTask::setter, &TUniTask::getter }
// clang-format off
const std::vector<TextColumn> kTextColumns{
    COLUMN(SetName, name), COLUMN(SetDescription, description), COLUMN(SetUName, uname),
    COLUMN(SetUPassword, upassword), COLUMN(SetConnectString, connectstring),
    COLUMN(SetScheduleTable, scheduletable), COLUMN(SetCommand, command), COLUMN(SetPreExec, preexec),
    COLUMN(SetPostExec, postexec), COLUMN(SetExecUserName, execusername), COLUMN(SetExecPassword, execpassword),
    COLUMN(SetExecConnectString, execconnectstring), COLUMN(SetFtpRemoteDir, ftpremotedir),
    COLUMN(SetCopyFileDir, copyfiledir), COLUMN(SetFtpPassword, ftppassword),
    COLUMN(SetFtpUserName, ftpusername), COLUMN(SetFtpServer, ftpserver)};
// clang-format on
#undef COLUMN

// A task whose text columns hold `texts` in turn from `shift` on, and whose numbers follow `n`.
void fill(TUniTask& task, const std::vector<std::string>& texts, size_t shift, int n) {
  for (size_t i = 0; i < kTextColumns.size(); ++i)
    (task.*kTextColumns[i].set)(texts[(i + shift) % texts.size()]);
  task.SetTaskType(TTaskType(n % 4));
  task.SetIsPreExec(n % 2);
  task.SetIsPostExec(n % 3 == 0);
  task.SetIsExecUser(n % 5 == 0);
  task.SetFtpAnonymous(n % 2);
  task.SetTransferMode(n % 3);
  task.SetDeleteFileAfter(n % 2);
  task.SetCreateTime(DateTime(std::chrono::milliseconds(1'700'000'000'000 + n)));
}

void expectSame(const TUniTask& a, const TUniTask& b) {
  for (const TextColumn& c : kTextColumns) EXPECT_EQ((a.*c.get)(), (b.*c.get)());
  const auto others = [](const TUniTask& t) {
    return std::tuple(t.id(), t.tasktype(), t.ispreexec(), t.ispostexec(), t.isexecuser(), t.ftpanonymous(),
                      t.transfermode(), t.deletefileafter(), t.createtime());
  };
  EXPECT_EQ(others(a), others(b));
}

TEST(TaskStoreTest, HostileTextsRoundTripUnchangedAndTouchNoOtherRow) {
  platform::testing::TempFolder dir;
  const std::string folder = dir.path("data/velmaron/db");
  const std::vector<std::string> texts = hostileTexts();
  std::vector<std::unique_ptr<TUniTask>> model;
  {
    TTaskStore store(folder);
    for (int n = 0; n < 6; ++n) {
      model.push_back(std::make_unique<TExpTask>(nullptr));
      fill(*model.back(), texts, size_t(n), n);
      model.back()->SetScheduleTable("104501");
      store.SaveTask(*model.back());
      EXPECT_EQ(model.back()->id(), n + 1);    // the next unused id
      model.back()->SetScheduleTable("0000");  // a new row has no schedule
    }
    // Changing one row with every hostile text changes that row only.
    const DateTime created = model[2]->createtime();
    fill(*model[2], texts, 3, 7);
    store.UpdateTask(*model[2]);
    model[2]->SetCreateTime(created);  // never updated
    store.DeleteTask(model[4]->id());
    model.erase(model.begin() + 4);
  }
  TTaskStore store(folder);  // the tables as a later start finds them
  std::vector<std::unique_ptr<TUniTask>> loaded = store.LoadTasks(nullptr);
  ASSERT_EQ(loaded.size(), model.size());
  std::sort(model.begin(), model.end(), [](auto& a, auto& b) { return a->createtime() > b->createtime(); });
  for (size_t i = 0; i < model.size(); ++i) {
    expectSame(*loaded[i], *model[i]);  // an import type loads as an import task:
    EXPECT_EQ(dynamic_cast<TImpTask*>(loaded[i].get()) != nullptr, int(model[i]->tasktype()) % 2 == 1) << i;
  }
  TExpTask fresh(nullptr);
  store.SaveTask(fresh);
  EXPECT_EQ(fresh.id(), 7);  // above the highest id ever seen in the table, not reusing 5
  fresh.SetId(99);
  EXPECT_THROW(store.UpdateTask(fresh), ETaskStoreError);  // a row that is gone is not made again
  EXPECT_EQ(store.LoadTasks(nullptr).size(), model.size() + 1);
  EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  // Sorted results are made in a private folder of their own.
  EXPECT_EQ(std::filesystem::status(folder + "/work").permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
}

// A stored log as one comparable value, its content included.
using LogRow = std::tuple<int32_t, int32_t, DateTime, DateTime, int64_t, std::string, std::string>;

TEST(TaskStoreTest, LogsAreStoredUnderNewIdsAndDeletedOnlyWithTheirOwnTask) {
  platform::testing::TempFolder dir;
  TTaskStore store(dir.path("db"));
  const std::vector<std::string> texts = hostileTexts();
  const DateTime begin(std::chrono::milliseconds(1'700'000'000'123));
  std::vector<LogRow> model;  // newest first
  for (int n = 0; n < 6; ++n) {
    TaskLogEntry e{0, 1 + n % 2, begin, begin + std::chrono::seconds(n), int64_t(5) << 32 | n, texts[n]};
    e.id = store.SaveTaskLog(e, texts[5 - n]);
    EXPECT_EQ(e.id, n + 1);
    model.insert(model.begin(),
                 {e.id, e.taskid, e.begintime, e.endtime, e.filesize, e.dumpfile, texts[5 - n]});
  }
  const auto expectStored = [&] {
    for (int32_t task : {1, 2}) {
      std::vector<LogRow> stored, expected;
      for (const TaskLogEntry& e : store.LoadTaskLogs(task)) {
        stored.emplace_back(e.id, e.taskid, e.begintime, e.endtime, e.filesize, e.dumpfile,
                            store.LoadTaskLogContent(task, e.id));
      }
      std::copy_if(model.begin(), model.end(), std::back_inserter(expected),
                   [&](const LogRow& r) { return std::get<1>(r) == task; });
      EXPECT_EQ(stored, expected);
    }
  };
  store.DeleteTaskLog(1, 2);  // log 2 is task 2's: nothing goes
  expectStored();
  store.DeleteTaskLog(2, 2);
  std::erase_if(model, [](const LogRow& r) { return std::get<0>(r) == 2; });
  expectStored();
  store.DeleteTaskLogs(1);
  std::erase_if(model, [](const LogRow& r) { return std::get<1>(r) == 1; });
  expectStored();

  // Deleting a task takes its logs with it, and only its own.
  TExpTask task(nullptr);
  store.SaveTask(task);
  TaskLogEntry e{0, task.id(), begin, begin, 1, "gone.dmp"};
  e.id = store.SaveTaskLog(e, "gone");
  store.DeleteTask(task.id());
  EXPECT_TRUE(store.LoadTaskLogs(task.id()).empty());
  EXPECT_EQ(store.LoadTaskLogContent(task.id(), e.id), "");
  expectStored();
}

// The list reads a task's details on their first use, so that they equal the whole load's; a
// change made before that use wins, and a task written back before it keeps its stored details.
TEST(TaskStoreTest, ListedTasksReadTheirDetailsOnFirstUse) {
  platform::testing::TempFolder dir;
  const std::vector<std::string> texts = hostileTexts();
  std::vector<std::unique_ptr<TUniTask>> listed;
  {
    TTaskStore store(dir.path("db"));
    for (int n = 0; n < 4; ++n) {
      TExpTask task(nullptr);
      fill(task, texts, size_t(n), n);
      store.SaveTask(task);
    }
    const std::vector<std::unique_ptr<TUniTask>> whole = store.LoadTasks(nullptr);
    listed = store.LoadTaskList(nullptr);
    ASSERT_EQ(listed.size(), whole.size());
    for (const auto& task : listed) EXPECT_FALSE(task->DetailsLoaded());
    for (size_t i = 0; i < listed.size(); ++i) expectSame(*listed[i], *whole[i]);

    const std::vector<std::unique_ptr<TUniTask>> again = store.LoadTaskList(nullptr);
    TUniTask& untouched = *again[1];
    untouched.SetName("renamed only");
    store.UpdateTask(untouched);
    TUniTask& changed = *again[2];
    changed.SetFtpServer("ftp.example");  // before any read of the details
    EXPECT_EQ(changed.ftpserver(), "ftp.example");
    EXPECT_EQ(changed.uname(), whole[2]->uname());
    store.UpdateTask(changed);
    const std::vector<std::unique_ptr<TUniTask>> after = store.LoadTasks(nullptr);
    EXPECT_EQ(after[1]->name(), "renamed only");
    EXPECT_EQ(after[1]->execpassword(), whole[1]->execpassword());
    EXPECT_EQ(after[1]->description(), whole[1]->description());
    EXPECT_EQ(after[2]->ftpserver(), "ftp.example");
    EXPECT_EQ(after[2]->upassword(), whole[2]->upassword());

    listed = store.LoadTaskList(nullptr);
    TUniTask& gone = *listed[3];
    store.DeleteTask(gone.id());
    store.LoadTaskDetails(gone);
    EXPECT_TRUE(gone.DetailsLoaded());
    EXPECT_EQ(gone.uname(), "");  // the row went before its details were read
  }
  EXPECT_THROW(listed[0]->description(), std::logic_error);
  EXPECT_FALSE(listed[0]->DetailsLoaded());  // tried again on the next use
}

TEST(TaskStoreTest, TasksLoadNewestFirstAndTasksOfOneMomentByIdWhateverTheirPlaceInTheTable) {
  platform::testing::TempFolder dir;
  const DateTime moment(std::chrono::milliseconds(1'700'000'000'000));
  std::vector<int32_t> ids;
  {
    TTaskStore store(dir.path("db"));
    for (int n = 0; n < 5; ++n) {
      TExpTask task(nullptr);
      task.SetCreateTime(n == 2 ? moment + std::chrono::hours(1) : moment);
      store.SaveTask(task);
      ids.push_back(task.id());
    }
    store.DeleteTask(ids[0]);  // a gap, then a row that may take its place
    TExpTask task(nullptr);
    task.SetCreateTime(moment);
    store.SaveTask(task);
    ids[0] = task.id();
  }
  TTaskStore store(dir.path("db"));
  std::vector<int32_t> loaded, listed, inParts;
  for (const auto& task : store.LoadTasks(nullptr)) loaded.push_back(task->id());
  for (const auto& task : store.LoadTaskList(nullptr)) listed.push_back(task->id());
  const std::unique_ptr<TTaskListReader> reader = store.OpenTaskList(nullptr);
  while (!reader->AtEnd())
    for (const auto& task : reader->Next(1)) inParts.push_back(task->id());
  std::vector<int32_t> expected = {ids[2]};
  std::vector<int32_t> rest = {ids[0], ids[1], ids[3], ids[4]};
  std::sort(rest.rbegin(), rest.rend());
  expected.insert(expected.end(), rest.begin(), rest.end());
  EXPECT_EQ(loaded, expected);
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(inParts, expected);
}

// The list read in parts, with the window's writes between them: the parts never split one
// create time, and together they are the list as it was when the reading began, less the rows
// removed before they were reached, plus rows added meanwhile behind the reader (which the caller
// drops by id); rows added above the reader and changes to rows read already do not move it.
TEST(TaskStoreTest, TheListReadInPartsIsTheWholeListWhateverIsWrittenBetweenTheParts) {
  const DateTime moment(std::chrono::milliseconds(1'700'000'000'000));
  for (const size_t count : {size_t(1), size_t(3), size_t(7)}) {
    SCOPED_TRACE(count);
    platform::testing::TempFolder dir;
    TTaskStore store(dir.path("db"));
    // Times in groups of one to three equal ones, stored out of order.
    for (int n = 0; n < 40; ++n) {
      TExpTask task(nullptr);
      task.SetName("task " + std::to_string(n));
      task.SetCreateTime(moment + std::chrono::seconds((n * 7) % 23));
      store.SaveTask(task);
    }
    std::vector<int32_t> before;
    for (const auto& task : store.LoadTasks(nullptr)) before.push_back(task->id());

    std::unique_ptr<TTaskListReader> reader = store.OpenTaskList(nullptr);
    std::vector<int32_t> read, added, above, behind;
    std::vector<DateTime> times;
    std::set<int32_t> removedAhead;
    for (int part = 0; !reader->AtEnd(); ++part) {
      const std::vector<std::unique_ptr<TUniTask>> tasks = reader->Next(count);
      ASSERT_TRUE(reader->AtEnd() || tasks.size() >= count);
      for (const auto& task : tasks) {
        read.push_back(task->id());
        times.push_back(task->createtime());
        if (task->id() <= 40) {
          EXPECT_EQ(task->name(), "task " + std::to_string(task->id() - 1));
        }
      }
      if (reader->AtEnd() || tasks.empty()) continue;
      // A new task, newer than every stored one; one made at an old moment (behind the reader).
      TExpTask fresh(nullptr);
      fresh.SetCreateTime(moment + std::chrono::hours(1 + part));
      store.SaveTask(fresh);
      added.push_back(fresh.id());
      above.push_back(fresh.id());
      if (part % 3 == 0) {
        TExpTask old(nullptr);
        old.SetCreateTime(moment - std::chrono::seconds(part));
        store.SaveTask(old);
        added.push_back(old.id());
        behind.push_back(old.id());
      }
      // The last task read changed, the first one removed, a later one removed before it is read.
      TUniTask& last = *tasks.back();
      last.SetScheduleTable("104501");
      store.UpdateTask(last);
      store.DeleteTask(tasks.front()->id());
      const auto at = std::find(before.begin(), before.end(), last.id());
      if (part % 4 == 1 && before.end() - at > 3 && !removedAhead.contains(at[3])) {
        removedAhead.insert(at[3]);
        store.DeleteTask(at[3]);
      }
    }
    for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i - 1], times[i]);
    std::vector<int32_t> expected;
    for (int32_t id : before)
      if (!removedAhead.contains(id)) expected.push_back(id);
    std::vector<int32_t> kept;
    for (int32_t id : read)
      if (std::find(added.begin(), added.end(), id) == added.end()) kept.push_back(id);
    EXPECT_EQ(kept, expected);
    ASSERT_FALSE(behind.empty());
    for (int32_t id : behind) EXPECT_NE(std::find(read.begin(), read.end(), id), read.end()) << id;
    for (int32_t id : above) EXPECT_EQ(std::find(read.begin(), read.end(), id), read.end()) << id;
    EXPECT_EQ(reader->Next(count).size(), 0u);
  }
}

// The whole load reads the rows straight from the table in its own order; each task is the row
// as the table component reads it, after writes that moved rows and values about in the files.
TEST(TaskStoreTest, LoadedTasksAreTheRowsAsTheTableComponentReadsThem) {
  platform::testing::TempFolder dir;
  TTaskStore store(dir.path("db"));
  std::vector<std::string> texts = hostileTexts();
  texts.push_back(std::string(494, 'b'));
  texts.push_back(std::string(495, 'c'));
  std::vector<int32_t> ids;
  for (int n = 0; n < 40; ++n) {
    TExpTask task(nullptr);
    fill(task, texts, size_t(n), n);
    store.SaveTask(task);
    ids.push_back(task.id());
    if (n % 5 == 4) store.DeleteTask(ids[size_t(n - 3)]);  // slots and blocks that later rows take
    if (n % 7 == 6 && n % 5 != 2) {
      TExpTask changed(nullptr);
      fill(changed, texts, size_t(n + 3), n);
      changed.SetId(ids[size_t(n - 1)]);
      store.UpdateTask(changed);  // values of other lengths, their chains moved
    }
  }
  const char* const names[] = {
      "name",         "description", "uname",       "upassword",    "connectstring", "scheduletable",
      "command",      "preexec",     "postexec",    "execusername", "execpassword",  "execconnectstring",
      "ftpremotedir", "copyfiledir", "ftppassword", "ftpusername",  "ftpserver"};
  static_assert(std::size(names) == 17);
  engine::components::TVELDORTable rows;
  rows.SetSessionName(store.Database().SessionName());
  rows.SetDatabaseName("dbmain");
  rows.SetTableName("task");
  rows.Open();
  std::map<int32_t, std::vector<std::string>> expected;
  for (rows.First(); !rows.Eof(); rows.Next()) {
    std::vector<std::string>& row = expected[rows.FieldByName("id").AsInteger()];
    for (const char* name : names) row.push_back(rows.FieldByName(name).AsString());
    for (const char* name : {"tasktype", "ispreexec", "ispostexec", "ftpanonymous", "transfermode",
                             "deletefileafter", "isexecuser"})
      row.push_back(std::to_string(rows.FieldByName(name).AsInteger()));
  }
  rows.Close();
  const std::vector<std::unique_ptr<TUniTask>> loaded = store.LoadTasks(nullptr);
  ASSERT_EQ(loaded.size(), expected.size());
  for (const auto& task : loaded) {
    std::vector<std::string> row;
    for (size_t i = 0; i < kTextColumns.size(); ++i) row.push_back(((*task).*kTextColumns[i].get)());
    for (int v :
         {int(task->tasktype()), int(task->ispreexec()), int(task->ispostexec()), task->ftpanonymous(),
          task->transfermode(), task->deletefileafter(), int(task->isexecuser())})
      row.push_back(std::to_string(v));
    EXPECT_EQ(row, expected[task->id()]) << task->id();
  }
  std::vector<int32_t> whole, listed;
  for (const auto& task : loaded) whole.push_back(task->id());
  for (const auto& task : store.LoadTaskList(nullptr)) listed.push_back(task->id());
  EXPECT_EQ(listed, whole);
}

TEST(TaskStoreTest, RowsOfAnUnknownTypeAreSkippedAndKept) {
  platform::testing::TempFolder dir;
  std::vector<int32_t> known;
  {
    TTaskStore store(dir.path("db"));
    for (int type : {0, 4, 3, 255, 1}) {
      TExpTask task(nullptr);
      task.SetTaskType(TTaskType(uint8_t(type)));
      store.SaveTask(task);
      if (type == 0 || type == 3 || type == 1) known.push_back(task.id());
    }
  }
  TTaskStore store(dir.path("db"));
  std::vector<int32_t> loaded;
  for (const auto& task : store.LoadTasks(nullptr)) loaded.push_back(task->id());
  std::sort(loaded.begin(), loaded.end());
  EXPECT_EQ(loaded, known);
  TExpTask next(nullptr);
  store.SaveTask(next);
  EXPECT_EQ(next.id(), 6);  // the skipped rows are still there
}

TEST(TaskStoreTest, LogsListNewestStartFirstAndRunsOfOneMomentByIdWhateverTheOrderWritten) {
  platform::testing::TempFolder dir;
  TTaskStore store(dir.path("db"));
  const DateTime moment(std::chrono::milliseconds(1'700'000'000'000));
  // Written in this order; a run's log is written when it ends, so a long run that started first
  // is written last.
  const int startMinutes[] = {5, 1, 5, 9, 0};
  std::vector<std::pair<DateTime, int32_t>> expected;
  for (int minutes : startMinutes) {
    TaskLogEntry e{0, 4, moment + std::chrono::minutes(minutes), moment + std::chrono::hours(1), 0, "d.dmp"};
    e.id = store.SaveTaskLog(e, "");
    expected.emplace_back(e.begintime, e.id);
  }
  std::sort(expected.rbegin(), expected.rend());
  std::vector<std::pair<DateTime, int32_t>> listed;
  for (const TaskLogEntry& e : store.LoadTaskLogs(4)) listed.emplace_back(e.begintime, e.id);
  EXPECT_EQ(listed, expected);
}

// A data folder written by the program before its storage went through the components: two
// tasks, a row of a type no version knows, two logs of the first task.
TEST(TaskStoreTest, AFolderWrittenThroughEngineCursorsOpensAsItWasAndTakesNewRows) {
  platform::testing::TempFolder dir;
  const std::string folder = dir.path("db");
  std::filesystem::copy(std::string(VELMARON_TEST_DATA) + "/taskstore-cursor-db", folder);
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
  const DateTime t0(std::chrono::milliseconds(1'765'000'000'000));
  {
    TTaskStore store(folder);
    std::vector<std::unique_ptr<TUniTask>> loaded = store.LoadTasks(nullptr);
    ASSERT_EQ(loaded.size(), 2u);
    const TUniTask& restore = *loaded[0];
    EXPECT_NE(dynamic_cast<const TImpTask*>(&restore), nullptr);
    EXPECT_EQ(restore.id(), 2);
    EXPECT_EQ(restore.name(), "restore scott");
    EXPECT_EQ(restore.tasktype(), TTaskType::RawImport);
    EXPECT_EQ(restore.command(), std::string(600, 'x'));
    EXPECT_EQ(restore.execpassword(), std::string("a\0b", 3));
    EXPECT_TRUE(restore.isexecuser());
    EXPECT_EQ(restore.createtime(), t0 + std::chrono::hours(2));
    const TUniTask& nightly = *loaded[1];
    EXPECT_EQ(nightly.id(), 1);
    EXPECT_EQ(nightly.description(), "it's the \"nightly\"; full export\r\nsecond line");
    EXPECT_EQ(nightly.scheduletable(), "104501");
    EXPECT_EQ(nightly.ftppassword(), "p'w");
    EXPECT_EQ(nightly.command(), "file=/dumps/full_%d%h.dmp full=y");
    EXPECT_TRUE(nightly.ispreexec());
    EXPECT_EQ(nightly.transfermode(), 1);
    EXPECT_EQ(nightly.createtime(), t0);

    const std::vector<TaskLogEntry> logs = store.LoadTaskLogs(1);
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0].id, 2);  // the later start first
    EXPECT_EQ(logs[0].dumpfile, "/dumps/full_0908.dmp");
    EXPECT_EQ(logs[0].filesize, 12345);
    EXPECT_EQ(logs[0].begintime, t0 + std::chrono::minutes(65));
    EXPECT_EQ(logs[1].filesize, int64_t(3) << 32);
    EXPECT_EQ(logs[1].endtime, t0 + std::chrono::minutes(9));
    EXPECT_EQ(store.LoadTaskLogContent(1, 2), std::string(2000, 'L'));
    EXPECT_EQ(store.LoadTaskLogContent(1, 1),
              "Export: Release 9.2\r\nExport terminated successfully without warnings.\r\n");

    TExpTask added(nullptr);
    added.SetName("added");
    store.SaveTask(added);
    EXPECT_EQ(added.id(), 4);  // above the row of the unknown type
    store.SaveTaskLog({0, added.id(), t0, t0, 1, "a.dmp"}, "out");
    store.DeleteTaskLog(1, 1);
  }
  TTaskStore store(folder);
  EXPECT_EQ(store.LoadTasks(nullptr).size(), 3u);
  EXPECT_EQ(store.LoadTaskLogs(1).size(), 1u);
  EXPECT_EQ(store.LoadTaskLogContent(4, 3), "out");
}

// Tables of an earlier version that another user of them keeps open at the start get no
// create-time index then: the list is read at once and handed out in parts, in the same order.
TEST(TaskStoreTest, WithoutTheCreateTimeIndexTheListIsReadInPartsAllTheSame) {
  platform::testing::TempFolder dir;
  const std::string folder = dir.path("db");
  std::filesystem::copy(std::string(VELMARON_TEST_DATA) + "/taskstore-cursor-db", folder);
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
  engine::components::TVELDORSession session("holder");
  session.SetAutoSessionName(true);
  session.AddPassword(kLocalTablePassword);
  session.Open();
  engine::components::TVELDORDatabase database(&session);
  database.SetSessionName(session.SessionName());
  database.SetDatabaseName("held");
  database.SetDirectory(folder);
  database.Open();
  engine::components::TVELDORTable held;
  held.SetSessionName(session.SessionName());
  held.SetDatabaseName("held");
  held.SetTableName("task");
  held.Open();

  TTaskStore store(folder);
  for (int n = 0; n < 5; ++n) {
    TExpTask task(nullptr);
    task.SetCreateTime(DateTime(std::chrono::milliseconds(1'700'000'000'000 + (n % 2))));
    store.SaveTask(task);
  }
  held.UpdateIndexDefs();
  for (const auto& index : held.IndexDefs()) EXPECT_NE(index.Name, "BYCREATETIME");
  std::vector<int32_t> whole, inParts;
  for (const auto& task : store.LoadTasks(nullptr)) whole.push_back(task->id());
  ASSERT_EQ(whole.size(), 7u);
  const std::unique_ptr<TTaskListReader> reader = store.OpenTaskList(nullptr);
  while (!reader->AtEnd()) {
    const std::vector<std::unique_ptr<TUniTask>> part = reader->Next(2);
    EXPECT_TRUE(part.size() == 2 || reader->AtEnd());
    for (const auto& task : part) {
      inParts.push_back(task->id());
      EXPECT_FALSE(task->DetailsLoaded());
    }
  }
  EXPECT_EQ(inParts, whole);
}

// A writer killed at any moment leaves each run's two rows both or neither, and every log it
// reported saved is there.
TEST(TaskStoreTest, AKilledLogWriterLeavesEachRunWholeOrAbsent) {
  platform::testing::TempFolder dir;
  const std::string folder = dir.path("db");
  for (int round = 0; round < 3; ++round) {
    storage_test::Helper writer([&](storage_test::Helper& h) {
      TTaskStore store(folder);
      const std::string output(3000 + round * 20000, char('a' + round));
      for (int n = 0;; ++n) {
        const DateTime at(std::chrono::milliseconds(1'700'000'000'000 + n));
        store.SaveTaskLog({0, 1 + n % 3, at, at, n, "d" + std::to_string(n) + ".dmp"}, output);
        h.send('s');
      }
      return 0;
    });
    int acknowledged = 0;
    const int wanted = 3 + round * 4;
    while (acknowledged < wanted && writer.receive() == 's') ++acknowledged;
    ASSERT_EQ(acknowledged, wanted);
    writer.kill9();

    TTaskStore store(folder);
    int logs = 0;
    for (int32_t task : {1, 2, 3}) {
      for (const TaskLogEntry& e : store.LoadTaskLogs(task)) {
        ++logs;
        EXPECT_EQ(e.dumpfile, "d" + std::to_string(e.filesize) + ".dmp");
        EXPECT_FALSE(store.LoadTaskLogContent(task, e.id).empty()) << "log " << e.id << " lost its output";
      }
    }
    EXPECT_GE(logs, acknowledged);
    // Every output row belongs to a log row.
    engine::components::TVELDORTable contents;
    contents.SetSessionName(store.Database().SessionName());
    contents.SetDatabaseName("dbmain");
    contents.SetTableName("tasklogc");
    contents.Open();
    EXPECT_EQ(contents.RecordCount(), logs);
    store.DeleteTaskLogs(1);
    store.DeleteTaskLogs(2);
    store.DeleteTaskLogs(3);
  }
}

// Every regular file of `folder`, by name, with its bytes.
std::map<std::string, std::string> folderBytes(const std::string& folder) {
  std::map<std::string, std::string> bytes;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.is_regular_file()) bytes[entry.path().filename()] = platform::testing::readFile(entry.path());
  return bytes;
}

// Ends a child's first start on `folder` at its file operations in turn until one leaves the task
// table's index without its data file.
void leaveAFirstStartCutBeforeTheDataFile(const std::string& folder) {
  for (uint64_t at = 1;
       !std::filesystem::exists(folder + "/task.IDX") || std::filesystem::exists(folder + "/task.DAT");
       ++at) {
    ASSERT_LT(at, 100u) << "no first start left the index without the data file";
    std::filesystem::remove_all(folder);
    storage_test::Helper first([&](storage_test::Helper&) {
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      engine::TFileList files(faulty);
      faulty.setPlan({platform::Fault::Exit, at, false, true});
      TTaskStore store(folder, &files);
      return 0;
    });
    ASSERT_EQ(first.wait(), platform::kFaultExitCode);
  }
}

// A table file of the store damaged on disk (emptied or cut by a crash, overwritten by another
// program, lost): opening and listing the store fails with the engine's error, never as an empty
// list, and every file of the store stays as it was.
TEST(TaskStoreTest, ADamagedTableFileIsAnErrorAndEveryFileIsKept) {
  platform::testing::TempFolder dir;
  const std::string folder = dir.path("db");
  {
    TTaskStore store(folder);
    for (int n = 0; n < 3; ++n) {
      TExpTask task(nullptr);
      fill(task, hostileTexts(), size_t(n), n);
      store.SaveTask(task);
    }
  }
  const auto files = [&folder] { return folderBytes(folder); };
  const std::map<std::string, std::string> whole = files();
  std::vector<std::string> tableFiles;
  for (const auto& [name, bytes] : whole) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (lower.starts_with("task.")) tableFiles.push_back(name);
  }
  ASSERT_FALSE(tableFiles.empty());
  // A file of the table gone: the others, which may hold the tasks' texts, are not made anew.
  for (const std::string& name : tableFiles) {
    for (const auto& [other, bytes] : whole) platform::testing::writeFile(folder + "/" + other, bytes);
    std::filesystem::remove(folder + "/" + name);
    std::map<std::string, std::string> expected = whole;
    expected.erase(name);
    try {
      TTaskStore store(folder);
      const std::vector<std::unique_ptr<TUniTask>> listed = store.LoadTaskList(nullptr);
      ADD_FAILURE() << "without " << name << " listed " << listed.size() << " tasks";
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
    }
    EXPECT_EQ(files(), expected) << "without " << name;
  }
  for (const std::string& name : tableFiles) {
    const std::string& original = whole.at(name);
    for (const std::string& damaged :
         {std::string(), original.substr(0, original.size() / 2), std::string(original.size(), '\xAB')}) {
      for (const auto& [other, bytes] : whole) platform::testing::writeFile(folder + "/" + other, bytes);
      platform::testing::writeFile(folder + "/" + name, damaged);
      std::map<std::string, std::string> expected = whole;
      expected[name] = damaged;
      try {
        TTaskStore store(folder);
        const std::vector<std::unique_ptr<TUniTask>> listed = store.LoadTaskList(nullptr);
        for (const auto& task : listed) store.LoadTaskDetails(*task);
        ADD_FAILURE() << name << " of " << damaged.size() << " bytes listed " << listed.size() << " tasks";
      } catch (const std::exception& e) {
        EXPECT_STRNE(e.what(), "") << name;
      }
      EXPECT_EQ(files(), expected) << name << " of " << damaged.size() << " bytes";
    }
  }
}

// A table whose data file is lost while its index still holds keys, or its memo file texts:
// either file alone refuses the start (the memo file with the index gone or cut back to its
// header, all a first start cut short would leave of it; the index with the memo file gone), and
// no file is written.
TEST(TaskStoreTest, AnIndexWithKeysOrAMemoFileWithTextsRefusesTheStartOnItsOwn) {
  platform::testing::TempFolder dir;
  const std::string folder = dir.path("db");
  {
    TTaskStore store(folder);
    TExpTask task(nullptr);
    fill(task, hostileTexts(), 0, 1);
    store.SaveTask(task);
  }
  const auto files = [&folder] { return folderBytes(folder); };
  const std::map<std::string, std::string> whole = files();
  ASSERT_GT(whole.at("task.BLB").size(), 512u) << "the texts are in the memo file";
  ASSERT_GT(whole.at("task.IDX").size(), 4096u) << "the keys are in the index";
  const std::string cutIndex = whole.at("task.IDX").substr(0, 4096);
  // Besides the data file, one more file gone (null) or cut.
  const std::pair<std::string, const std::string*> cases[] = {
      {"task.IDX", nullptr}, {"task.IDX", &cutIndex}, {"task.BLB", nullptr}};
  for (const auto& [name, bytes] : cases) {
    const std::string what = (bytes == nullptr ? "no " : "a cut ") + name;
    for (const auto& [file, content] : whole) platform::testing::writeFile(folder + "/" + file, content);
    std::map<std::string, std::string> expected = whole;
    expected.erase("task.DAT");
    std::filesystem::remove(folder + "/task.DAT");
    if (bytes == nullptr) {
      expected.erase(name);
      std::filesystem::remove(folder + "/" + name);
    } else {
      expected[name] = *bytes;
      platform::testing::writeFile(folder + "/" + name, *bytes);
    }
    try {
      TTaskStore store(folder);
      ADD_FAILURE() << "opened with " << what;
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find("task.DAT"), std::string::npos) << e.what();
    }
    const std::map<std::string, std::string> now = files();
    std::vector<std::string> changed;
    for (const auto& [file, content] : now)
      if (!expected.contains(file) || expected.at(file) != content) changed.push_back(file);
    for (const auto& [file, content] : expected)
      if (!now.contains(file)) changed.push_back(file);
    EXPECT_TRUE(changed.empty()) << "with " << what << ", changed " << ::testing::PrintToString(changed);
  }
}

// The program ended at any file operation of its first start on a fresh folder, as it makes the
// tables: whatever that leaves, the next start opens the store (making anew a table whose creation
// was cut short) and keeps the tasks and logs it is given.
TEST(TaskStoreTest, AFirstStartEndedAtAnyFileOperationLeavesFilesTheNextStartTakesUp) {
  bool completed = false;
  uint64_t at = 1;
  for (; !completed && at < 5000; ++at) {
    SCOPED_TRACE("ended at operation " + std::to_string(at));
    platform::testing::TempFolder dir;
    const std::string folder = dir.path("db");
    storage_test::Helper first([&](storage_test::Helper&) {
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      engine::TFileList files(faulty);
      faulty.setPlan({platform::Fault::Exit, at, false, true});
      TTaskStore store(folder, &files);
      return 0;
    });
    const int code = first.wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << code;
    completed = code == 0;
    try {
      TTaskStore store(folder);
      TExpTask task(nullptr);
      fill(task, hostileTexts(), 0, 1);
      task.SetScheduleTable("0000");
      store.SaveTask(task);
      const DateTime now(std::chrono::milliseconds(1'700'000'000'000));
      const int32_t log = store.SaveTaskLog({0, task.id(), now, now, 7, "x.dmp"}, "output");
      const std::vector<std::unique_ptr<TUniTask>> listed = store.LoadTasks(nullptr);
      ASSERT_EQ(listed.size(), 1u);
      expectSame(*listed[0], task);
      EXPECT_EQ(store.LoadTaskLogContent(task.id(), log), "output");
    } catch (const std::exception& e) {
      FAIL() << e.what();
    }
  }
  EXPECT_TRUE(completed);
  EXPECT_GT(at, 10u) << "a first start makes three tables";
  std::printf("the first start ran to its end after %llu operations\n",
              static_cast<unsigned long long>(at - 1));
}

// The local file system, but when it finds no data file of the task table (or, at an index look,
// when it opens the table's index or looks whether anyone has it open) it lets `between` run:
// another process's work between the look and the answer, or just after the answer.
class InterleavingFileSystem final : public platform::testing::ForwardingFileSystem {
 public:
  enum class At { kMissingDataFile, kBeforeIndexLook, kAfterIndexLook };
  // `between` runs at each such look until it returns true.
  InterleavingFileSystem(platform::FileSystem& base, std::function<bool()> between,
                         At at = At::kMissingDataFile)
      : ForwardingFileSystem(base), between_(std::move(between)), at_(at) {}

  std::unique_ptr<platform::OsFile> openFile(const std::string& path,
                                             const platform::OpenOptions& options) override {
    indexLook(path, At::kBeforeIndexLook);
    std::unique_ptr<platform::OsFile> file = base_.openFile(path, options);
    indexLook(path, At::kAfterIndexLook);
    return file;
  }
  bool openAnywhereAsSpelt(const std::string& path) override {
    indexLook(path, At::kBeforeIndexLook);
    const bool open = base_.openAnywhereAsSpelt(path);
    indexLook(path, At::kAfterIndexLook);
    return open;
  }
  std::unique_ptr<platform::OsFile> createFile(const std::string& path, bool deleteOnClose) override {
    return base_.createFile(path, deleteOnClose);
  }
  std::unique_ptr<platform::OsFile> createFileAsSpelt(const std::string& path) override {
    return base_.createFileAsSpelt(path);
  }
  std::unique_ptr<platform::OsFile> createFileReplacing(const std::string& path, bool deleteOnClose,
                                                        void* head, int64_t count, bool& replaced) override {
    return base_.createFileReplacing(path, deleteOnClose, head, count, replaced);
  }
  std::unique_ptr<platform::OsFile> openAsSpelt(const std::string& path, platform::ShareMode share,
                                                bool create) override {
    return base_.openAsSpelt(path, share, create);
  }
  platform::CreateNewResult createNewFile(const std::string& path) override {
    return base_.createNewFile(path);
  }
  bool fileInfo(const std::string& path, platform::FileInfo& info) override {
    const bool found = base_.fileInfo(path, info);
    if (at_ == At::kMissingDataFile && !found && between_ &&
        std::filesystem::path(path).filename() == "task.DAT" && between_())
      between_ = {};
    return found;
  }
  bool fileInfoAsSpelt(const std::string& path, platform::FileInfo& info) override {
    return base_.fileInfoAsSpelt(path, info);
  }

 private:
  void indexLook(const std::string& path, At moment) {
    if (at_ == moment && between_ && std::filesystem::path(path).filename() == "task.IDX" && between_())
      between_ = {};
  }
  std::function<bool()> between_;
  At at_;
};

// Two processes start on a fresh folder at once (the window and a scheduled run on a first day):
// the one that finds the task table missing and then sees its files made by the other opens that
// table, and neither fails.
TEST(TaskStoreTest, AStoreMadeByAnotherProcessWhileThisOneLooksIsOpenedNotRefused) {
  platform::testing::TempFolder dir;
  const std::string folder = dir.path("db");
  storage_test::Helper other([&](storage_test::Helper& h) {
    if (h.receive() != 'g') return 1;
    {
      TTaskStore store(folder);
      TExpTask task(nullptr);
      fill(task, hostileTexts(), 0, 1);
      store.SaveTask(task);
    }
    h.send('d');
    return 0;
  });
  InterleavingFileSystem fs(platform::FileSystem::local(), [&] {
    other.send('g');
    EXPECT_EQ(other.receive(), 'd');
    return true;
  });
  engine::TFileList files(fs);
  {
    TTaskStore store(folder, &files);
    EXPECT_EQ(store.LoadTaskList(nullptr).size(), 1u);
  }
  EXPECT_EQ(other.wait(), 0);
}

// Two processes start on a folder where a first start was cut short before the task table's data
// file: the one that looks into the files left while the other makes the table over them opens
// the table the other made.
TEST(TaskStoreTest, ATableMadeOverLeftFilesByAnotherProcessWhileThisOneLooksIsOpenedNotRefused) {
  platform::testing::TempFolder dir;
  const std::string folder = dir.path("db");
  ASSERT_NO_FATAL_FAILURE(leaveAFirstStartCutBeforeTheDataFile(folder));
  storage_test::Helper other([&](storage_test::Helper& h) {
    if (h.receive() != 'g') return 1;
    TTaskStore store(folder);
    TExpTask task(nullptr);
    fill(task, hostileTexts(), 0, 1);
    store.SaveTask(task);
    h.send('d');
    return h.receive() == 'q' ? 0 : 2;
  });
  InterleavingFileSystem fs(
      platform::FileSystem::local(),
      [&] {
        other.send('g');
        EXPECT_EQ(other.receive(), 'd');
        return true;
      },
      InterleavingFileSystem::At::kBeforeIndexLook);
  engine::TFileList files(fs);
  try {
    TTaskStore store(folder, &files);
    EXPECT_EQ(store.LoadTaskList(nullptr).size(), 1u);
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
  other.send('q');
  EXPECT_EQ(other.wait(), 0);
}

// Two processes start on a folder where a first start was cut short before the task table's data
// file, the second at the very moment the first looks into the index left: the look keeps no one
// out, so neither start fails, and both use the one table.
TEST(TaskStoreTest, AStartAtTheMomentAnotherLooksIntoLeftFilesIsNotRefused) {
  platform::testing::TempFolder dir;
  const std::string folder = dir.path("db");
  ASSERT_NO_FATAL_FAILURE(leaveAFirstStartCutBeforeTheDataFile(folder));
  storage_test::Helper other([&](storage_test::Helper& h) {
    if (h.receive() != 'g') return 1;
    try {
      TTaskStore store(folder);
      TExpTask task(nullptr);
      fill(task, hostileTexts(), 0, 1);
      store.SaveTask(task);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "the other start failed: %s\n", e.what());
      h.send('f');
      return 3;
    }
    h.send('d');
    return 0;
  });
  InterleavingFileSystem fs(
      platform::FileSystem::local(),
      [&] {
        other.send('g');
        EXPECT_EQ(other.receive(), 'd');
        return true;
      },
      InterleavingFileSystem::At::kAfterIndexLook);
  try {
    engine::TFileList files(fs);
    TTaskStore store(folder, &files);
    EXPECT_EQ(store.LoadTaskList(nullptr).size(), 1u);
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
  EXPECT_EQ(other.wait(), 0);
}

// Files a first start cut short left, but which another process has open (one making the table
// over them, or a reader): not taken for left over. The start is refused and touches none of them;
// once they are let go, the next start makes the table over them.
TEST(TaskStoreTest, LeftFilesAnotherProcessHasOpenAreNotTakenUp) {
  platform::testing::TempFolder dir;
  const std::string folder = dir.path("db");
  ASSERT_NO_FATAL_FAILURE(leaveAFirstStartCutBeforeTheDataFile(folder));
  const auto files = [&folder] { return folderBytes(folder); };
  const std::map<std::string, std::string> left = files();
  storage_test::Helper reader([&](storage_test::Helper& h) {
    const std::unique_ptr<platform::OsFile> index =
        platform::FileSystem::local().openFile(folder + "/task.IDX", {false, platform::ShareMode::Shared});
    h.send(index != nullptr ? 'o' : 'x');
    return h.receive() == 'q' ? 0 : 2;
  });
  ASSERT_EQ(reader.receive(), 'o');
  try {
    TTaskStore store(folder);
    ADD_FAILURE() << "opened over an index another process has open";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("task.DAT"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(files() == left) << "the left files were touched";
  reader.send('q');
  ASSERT_EQ(reader.wait(), 0);
  TTaskStore store(folder);
  TExpTask task(nullptr);
  fill(task, hostileTexts(), 0, 1);
  store.SaveTask(task);
  EXPECT_EQ(store.LoadTaskList(nullptr).size(), 1u);
}

// The local file system, telling `firstWait` the first time it pauses between lock attempts.
class WaitTellingFileSystem final : public platform::testing::ForwardingFileSystem {
 public:
  explicit WaitTellingFileSystem(std::function<void()> firstWait)
      : ForwardingFileSystem(platform::FileSystem::local()), firstWait_(std::move(firstWait)) {}
  void sleepFor(std::chrono::milliseconds duration) override {
    if (firstWait_) std::exchange(firstWait_, {})();
    base_.sleepFor(duration);
  }
  std::unique_ptr<platform::OsFile> openFile(const std::string& path,
                                             const platform::OpenOptions& options) override {
    return base_.openFile(path, options);
  }
  std::unique_ptr<platform::OsFile> createFile(const std::string& path, bool deleteOnClose) override {
    return base_.createFile(path, deleteOnClose);
  }
  std::unique_ptr<platform::OsFile> createFileAsSpelt(const std::string& path) override {
    return base_.createFileAsSpelt(path);
  }
  std::unique_ptr<platform::OsFile> createFileReplacing(const std::string& path, bool deleteOnClose,
                                                        void* head, int64_t count, bool& replaced) override {
    return base_.createFileReplacing(path, deleteOnClose, head, count, replaced);
  }
  std::unique_ptr<platform::OsFile> openAsSpelt(const std::string& path, platform::ShareMode share,
                                                bool create) override {
    return base_.openAsSpelt(path, share, create);
  }
  platform::CreateNewResult createNewFile(const std::string& path) override {
    return base_.createNewFile(path);
  }
  bool fileInfo(const std::string& path, platform::FileInfo& info) override {
    return base_.fileInfo(path, info);
  }
  bool fileInfoAsSpelt(const std::string& path, platform::FileInfo& info) override {
    return base_.fileInfoAsSpelt(path, info);
  }

 private:
  std::function<void()> firstWait_;
};

// The same, with the other process making the store at each later look of this one that finds
// the task table missing, up to its create's own look under its hold on the name (where the other
// waits for this one): neither fails, and the other's task is kept, wherever the looks are cut.
TEST(TaskStoreTest, AStoreMadeByAnotherProcessAtAnyLookOfThisOnesCreateIsOpenedNotRefused) {
  for (int look = 1;; ++look) {
    SCOPED_TRACE("the other process runs at look " + std::to_string(look));
    platform::testing::TempFolder dir;
    const std::string folder = dir.path("db");
    storage_test::Helper other([&](storage_test::Helper& h) {
      WaitTellingFileSystem waits([&] { h.send('w'); });
      engine::TFileList files(waits);
      if (h.receive() != 'g') return 1;
      {
        TTaskStore store(folder, &files);
        TExpTask task(nullptr);
        fill(task, hostileTexts(), 0, 1);
        store.SaveTask(task);
      }
      h.send('d');
      return 0;
    });
    int missing = 0;
    bool ran = false;
    InterleavingFileSystem fs(platform::FileSystem::local(), [&] {
      if (++missing < look) return false;
      other.send('g');
      const char seen = other.receive();
      EXPECT_TRUE(seen == 'd' || seen == 'w') << int(seen);
      ran = true;
      return true;
    });
    {
      engine::TFileList files(fs);
      EXPECT_NO_THROW(TTaskStore store(folder, &files));
    }
    if (!ran) other.send('g');
    EXPECT_EQ(other.wait(), 0);
    TTaskStore store(folder);
    EXPECT_EQ(store.LoadTaskList(nullptr).size(), 1u);
    if (!ran || ::testing::Test::HasFailure()) break;
  }
}

// The local file system, running `beforeMove` before the first move of a file to the task table's
// data file name: the moment a create has made the table's index and memo file but not its name,
// or a swap has moved the old data file aside and not yet the new one in.
class MovePausingFileSystem final : public platform::testing::ForwardingFileSystem {
 public:
  explicit MovePausingFileSystem(std::function<void()> beforeMove)
      : ForwardingFileSystem(platform::FileSystem::local()), beforeMove_(std::move(beforeMove)) {}
  bool renameFile(const std::string& from, const std::string& to) override {
    if (beforeMove_ && std::filesystem::path(to).filename() == "task.DAT") std::exchange(beforeMove_, {})();
    return base_.renameFile(from, to);
  }
  std::unique_ptr<platform::OsFile> openFile(const std::string& path,
                                             const platform::OpenOptions& options) override {
    return base_.openFile(path, options);
  }
  std::unique_ptr<platform::OsFile> createFile(const std::string& path, bool deleteOnClose) override {
    return base_.createFile(path, deleteOnClose);
  }
  std::unique_ptr<platform::OsFile> createFileAsSpelt(const std::string& path) override {
    return base_.createFileAsSpelt(path);
  }
  std::unique_ptr<platform::OsFile> createFileReplacing(const std::string& path, bool deleteOnClose,
                                                        void* head, int64_t count, bool& replaced) override {
    return base_.createFileReplacing(path, deleteOnClose, head, count, replaced);
  }
  std::unique_ptr<platform::OsFile> openAsSpelt(const std::string& path, platform::ShareMode share,
                                                bool create) override {
    return base_.openAsSpelt(path, share, create);
  }
  platform::CreateNewResult createNewFile(const std::string& path) override {
    return base_.createNewFile(path);
  }
  bool fileInfo(const std::string& path, platform::FileInfo& info) override {
    return base_.fileInfo(path, info);
  }
  bool fileInfoAsSpelt(const std::string& path, platform::FileInfo& info) override {
    return base_.fileInfoAsSpelt(path, info);
  }

 private:
  std::function<void()> beforeMove_;
};

// Two processes start on a fresh folder at once, and one comes while the other is making the task
// table, its index made and its data file not yet in place: that start waits for the table and
// opens it, instead of taking the files being made for a table whose data file was lost.
TEST(TaskStoreTest, AStartWhileAnotherProcessMakesATableWaitsForItAndOpensIt) {
  platform::testing::TempFolder dir;
  const std::string folder = dir.path("db");
  storage_test::Helper other([&](storage_test::Helper& h) {
    MovePausingFileSystem fs([&] {
      h.send('m');
      if (h.receive() != 'g') std::_Exit(3);
    });
    engine::TFileList files(fs);
    TTaskStore store(folder, &files);
    TExpTask task(nullptr);
    fill(task, hostileTexts(), 0, 1);
    store.SaveTask(task);
    return 0;
  });
  ASSERT_EQ(other.receive(), 'm');
  bool waited = false;
  WaitTellingFileSystem waits([&] {
    waited = true;
    other.send('g');
  });
  {
    engine::TFileList files(waits);
    try {
      TTaskStore store(folder, &files);
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
  }
  EXPECT_TRUE(waited) << "the start did not wait for the table being made";
  if (!waited) other.send('g');
  EXPECT_EQ(other.wait(), 0);
  TTaskStore store(folder);
  EXPECT_EQ(store.LoadTaskList(nullptr).size(), 1u);
}

// An upgrade that restructures the task table, killed after the old data file moved aside and
// before the new one took its name: the next start completes the swap and keeps the tasks.
TEST(TaskStoreTest, AStartAfterARestructureKilledBetweenItsMovesKeepsTheTasks) {
  platform::testing::TempFolder dir;
  const std::string folder = dir.path("db");
  TExpTask task(nullptr);
  fill(task, hostileTexts(), 0, 1);
  task.SetScheduleTable("0000");
  TTaskStore(folder).SaveTask(task);
  storage_test::Helper upgrade([&](storage_test::Helper&) {
    MovePausingFileSystem fs([] { std::_Exit(platform::kFaultExitCode); });
    engine::TFileList files(fs);
    engine::TDataSession session;
    session.AddPassword(kLocalTablePassword);
    engine::TDataDirectory* directory = session.OpenDataDirectory("db", folder);
    directory->SetFileList(files);
    engine::sql::TQueryStatement alter(*directory);
    alter.Prepare("ALTER TABLE task ADD upgraded INTEGER");
    alter.Execute();
    return 0;
  });
  ASSERT_EQ(upgrade.wait(), platform::kFaultExitCode);
  ASSERT_FALSE(std::filesystem::exists(folder + "/task.DAT"));
  try {
    TTaskStore store(folder);
    const std::vector<std::unique_ptr<TUniTask>> listed = store.LoadTasks(nullptr);
    ASSERT_EQ(listed.size(), 1u);
    expectSame(*listed[0], task);
  } catch (const std::exception& e) {
    FAIL() << e.what();
  }
  EXPECT_TRUE(std::filesystem::exists(folder + "/task.DAT"));
}

TEST(TaskStoreTest, TheDataFolderFollowsXdgDataHome) {
  const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  ::setenv("XDG_DATA_HOME", "/srv/data", 1);
  EXPECT_EQ(TTaskStore::DefaultFolder(), "/srv/data/velmaron/db");
  ::setenv("XDG_DATA_HOME", "relative", 1);
  EXPECT_EQ(TTaskStore::DefaultFolder(), home + "/.local/share/velmaron/db");
  ::unsetenv("XDG_DATA_HOME");
}

}  // namespace
}  // namespace tasks
