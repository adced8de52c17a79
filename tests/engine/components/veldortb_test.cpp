// The engine components as the program uses them: its three tables on a real database folder,
// rows written and read through tables and blob streams, another process reading the same; the
// dataset layer's list model over a table; and the session lock between threads.
#include "engine/components/veldortb.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "dataset/dberror.h"
#include "tests/dataaccess/listmodel.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tools/engineserver/engineserver.h"

namespace {

using namespace engine::components;
namespace ds = dataset;
using storage_test::Helper;
using TempDir = platform::testing::TempFolder;

void addFields(TVELDORTable& t, std::initializer_list<std::pair<const char*, ds::FieldType>> fields) {
  for (auto [name, type] : fields) t.GetFieldDefs().Add(name, type, type == ds::ftString ? 250 : 0);
}

// The task storage's tables, as the program finds them in its "db" folder.
void createTaskTables(const std::string& database) {
  TVELDORTable task, log, logc;
  for (auto [t, name] : {std::pair{&task, "task"}, {&log, "tasklog"}, {&logc, "tasklogc"}}) {
    t->SetDatabaseName(database);
    t->SetTableName(name);
  }
  addFields(task, {{"id", ds::ftInteger},
                   {"name", ds::ftString},
                   {"description", ds::ftString},
                   {"createtime", ds::ftDateTime},
                   {"connecttodb", ds::ftInteger},
                   {"uname", ds::ftString},
                   {"upassword", ds::ftString},
                   {"connectstring", ds::ftString},
                   {"scheduletable", ds::ftString},
                   {"tasktype", ds::ftInteger},
                   {"command", ds::ftString},
                   {"preexec", ds::ftString},
                   {"postexec", ds::ftString},
                   {"ispreexec", ds::ftInteger},
                   {"ispostexec", ds::ftInteger},
                   {"ftpanonymous", ds::ftInteger},
                   {"transfermode", ds::ftInteger},
                   {"deletefileafter", ds::ftInteger},
                   {"ftpremotedir", ds::ftString},
                   {"copyfiledir", ds::ftString},
                   {"ftppassword", ds::ftString},
                   {"ftpusername", ds::ftString},
                   {"ftpserver", ds::ftString},
                   {"isexecuser", ds::ftInteger},
                   {"execusername", ds::ftString},
                   {"execpassword", ds::ftString},
                   {"execconnectstring", ds::ftString}});
  task.IndexDefs() = {{"", "id", ixPrimary | ixUnique}, {"bycreatetime", "createtime", ixDescending}};
  log.IndexDefs() = {{"bytask", "taskid", 0}};
  addFields(log, {{"id", ds::ftInteger},
                  {"taskid", ds::ftInteger},
                  {"begintime", ds::ftDateTime},
                  {"endtime", ds::ftDateTime},
                  {"filesize", ds::ftInteger},
                  {"dumpfile", ds::ftString}});
  addFields(logc, {{"taskid", ds::ftInteger}, {"tasklogid", ds::ftInteger}, {"content", ds::ftMemo}});
  for (TVELDORTable* t : {&task, &log, &logc}) {
    EXPECT_FALSE(t->Exists());
    t->CreateTable();
    EXPECT_TRUE(t->Exists());
  }
}

// The output of a run: long enough that no 16-bit length or offset can carry it.
std::string runOutput(int taskId) {
  std::string text;
  for (int i = 0; text.size() < 70000; ++i)
    text += "task " + std::to_string(taskId) + " line " + std::to_string(i) + "\r\n";
  return text;
}

class TaskRoadTest : public ::testing::Test {
 protected:
  // The engine starts afresh, so that a forked reader shares no open file with this process.
  void SetUp() override { Session().Close(); }
  void TearDown() override { Session().Close(); }
  TempDir dir;
};

TEST_F(TaskRoadTest, TasksAndLogsWrittenThroughTablesReadBackHereAndInAnotherProcess) {
  Helper reader([&](Helper& h) {
    h.receive();
    TVELDORDatabase db;
    db.SetDatabaseName("dbmain");
    db.SetDirectory(dir.path());
    TVELDORTable logc;  // on a database the session makes for the folder
    logc.SetTableName(dir.path() + "/tasklogc");
    logc.Open();
    if (!logc.Locate("taskid;tasklogid", ds::Variant(std::vector<ds::Variant>{int32_t(2), int32_t(22)}), 0))
      return 1;
    if (logc.FieldByName("content").AsString() != runOutput(2)) return 2;
    TVELDORTable task;
    task.SetDatabaseName("dbmain");
    task.SetTableName("task");
    task.SetIndexName("bycreatetime");
    task.Open();
    std::string names;
    for (; !task.Eof(); task.Next()) names += task.FieldByName("name").AsString() + ";";
    return names == "third;first, renamed;" ? 0 : 3;
  });

  TVELDORDatabase db;
  db.SetDatabaseName("dbmain");
  db.SetDirectory(dir.path());
  createTaskTables("dbmain");

  TVELDORTable task;
  task.SetDatabaseName("dbmain");
  task.SetTableName("task");
  task.Open();
  for (int id : {1, 2, 3}) {
    task.Append();
    task.FieldByName("id").SetAsInteger(id);
    task.FieldByName("name").SetAsString(id == 1 ? "first" : id == 2 ? "second" : "third");
    task.FieldByName("createtime")
        .SetAsDateTime(ds::textToDateTime("2026-12-0" + std::to_string(id) + " 10:30:00"));
    task.FieldByName("scheduletable").SetAsString("0000");
    task.Post();
  }
  ASSERT_TRUE(task.Locate("id", int32_t(1), 0));
  task.Edit();
  task.FieldByName("name").SetAsString("first, renamed");
  task.Post();
  ASSERT_TRUE(task.Locate("id", int32_t(2), 0));
  EXPECT_FALSE(task.Locate("id", int32_t(9), 0));  // through the primary index
  EXPECT_EQ(task.FieldByName("id").AsInteger(), 2);
  task.Delete();
  EXPECT_EQ(task.RecordCount(), 2);
  ASSERT_TRUE(task.Locate("name", "TH*", ds::loPartialKey | ds::loCaseInsensitive));
  EXPECT_EQ(task.FieldByName("id").AsInteger(), 3);
  EXPECT_FALSE(task.Locate("name", "TH*", ds::loCaseInsensitive));
  task.SetIndexName("bycreatetime");
  EXPECT_EQ(task.FieldByName("name").AsString(), "third");
  EXPECT_EQ(ds::dateTimeToText(task.FieldByName("createtime").AsDateTime()), "2026-12-03 10:30:00");
  EXPECT_EQ(task.IndexFieldNames(), "");
  task.SetIndexFieldNames("id");
  EXPECT_EQ(task.IndexName(), "");
  EXPECT_EQ(task.FieldByName("id").AsInteger(), 1);
  task.SetRange({int32_t(2)}, {int32_t(3)});
  EXPECT_EQ(task.RecordCount(), 1);
  EXPECT_EQ(task.FieldByName("id").AsInteger(), 3);
  task.CancelRange();
  EXPECT_EQ(task.RecordCount(), 2);

  // The runs of the current task, as a detail of the task table.
  ds::DataSource tasks;
  tasks.SetDataSet(&task);
  TVELDORTable log;
  log.SetDatabaseName("dbmain");
  log.SetTableName("tasklog");
  log.SetIndexName("bytask");
  log.SetMasterSource(&tasks);
  log.SetMasterFields("id");
  log.Open();
  for (int run = 0; run < 3; ++run) {
    log.Append();  // the task's id comes from the master
    log.FieldByName("id").SetAsInteger(100 + run);
    log.Post();
    if (run == 1) task.Next();
  }
  EXPECT_EQ(log.RecordCount(), 1);
  EXPECT_EQ(log.FieldByName("taskid").AsInteger(), 3);
  task.First();
  EXPECT_EQ(log.RecordCount(), 2);
  EXPECT_EQ(log.FieldByName("taskid").AsInteger(), 1);
  ds::DataSource logs;
  logs.SetDataSet(&log);
  EXPECT_THROW(task.SetMasterSource(&logs), ds::EDatabaseError);
  log.Close();

  TVELDORTable logc;
  logc.SetDatabaseName("dbmain");
  logc.SetTableName("tasklogc");
  logc.Open();
  for (int id : {1, 2}) {
    logc.Append();
    logc.FieldByName("taskid").SetAsInteger(id);
    logc.FieldByName("tasklogid").SetAsInteger(id * 11);
    logc.Post();
    logc.Edit();
    const std::string text = runOutput(id);
    logc.CreateBlobStream(logc.FieldByName("content"), ds::bmWrite)->Write(text.data(), text.size());
    logc.Post();
  }
  ASSERT_TRUE(
      logc.Locate("TASKID;tasklogid", ds::Variant(std::vector<ds::Variant>{int32_t(1), int32_t(11)}), 0));
  auto stream = logc.CreateBlobStream(logc.FieldByName("content"), ds::bmRead);
  EXPECT_EQ(stream->Seek(0, ds::soEnd), int64_t(runOutput(1).size()));
  stream->Seek(0, ds::soBeginning);
  EXPECT_EQ(stream->ReadAll(), runOutput(1));
  char past[8];
  EXPECT_EQ(stream->Read(past, sizeof past), 0u);
  stream.reset();
  EXPECT_FALSE(
      logc.Locate("taskid;tasklogid", ds::Variant(std::vector<ds::Variant>{int32_t(1), int32_t(22)}), 0));
  EXPECT_THROW(logc.CreateBlobStream(logc.FieldByName("content"), ds::bmWrite), ds::EDatabaseError);
  // The second run's log moves to the ids the reader looks for.
  ASSERT_TRUE(logc.Locate("taskid", int32_t(2), 0));
  logc.Edit();
  logc.FieldByName("tasklogid").SetAsInteger(22);
  logc.Post();
  logc.Close();
  task.Close();
  db.Close();

  reader.send(1);
  EXPECT_EQ(reader.wait(), 0);
}

// An index built on the table's cursor reports its progress through the table, ending at 100;
// the restructure lists find definitions by name in any case and empty when the table changes.
TEST_F(TaskRoadTest, IndexProgressAndRestructureLists) {
  TVELDORDatabase db;
  db.SetDatabaseName("dbmain");
  db.SetDirectory(dir.path());
  createTaskTables("dbmain");
  TVELDORTable log;
  log.SetDatabaseName("dbmain");
  log.SetTableName("tasklog");
  log.SetExclusive(true);
  log.Open();
  for (int id = 1; id <= 300; ++id) {
    log.Append();
    log.FieldByName("id").SetAsInteger(id);
    log.FieldByName("taskid").SetAsInteger(id % 7);
    log.Post();
  }
  std::vector<uint16_t> heard;
  log.OnIndexProgress = [&](TVELDORTable& sender, uint16_t percent) {
    EXPECT_EQ(&sender, &log);
    heard.push_back(percent);
  };
  engine::TIndexDescriptor index;
  index.name = "byid";
  index.fields[0] = 1;
  {
    TSessionLock lock(db.Session());
    log.Handle()->AddSecondaryIndex(index);
  }
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard.back(), 100);
  EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end()));
  log.Close();

  TRestructureFieldDefs& fields = log.RestructureFieldDefs();
  EXPECT_EQ(&fields.Owner(), &log);
  fields.Items().emplace_back().Name = "TaskId";
  fields.Items().emplace_back().Name = "content";
  EXPECT_EQ(fields.IndexOf("taskid"), 0);
  EXPECT_EQ(fields.IndexOf("CONTENT"), 1);
  EXPECT_EQ(fields.IndexOf("dumpfile"), -1);
  EXPECT_EQ(&fields.Find("Content"), &fields.Items()[1]);
  try {
    fields.Find("dumpfile");
    ADD_FAILURE() << "found a definition that is not there";
  } catch (const ds::EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'dumpfile' not found");
  }
  log.RestructureIndexDefs().Items().push_back({"bytask", "taskid", 0});
  EXPECT_EQ(log.RestructureIndexDefs().IndexOf("BYTASK"), 0);
  log.SetTableName("tasklogc");
  EXPECT_EQ(fields.Count(), 0);
  EXPECT_EQ(log.RestructureIndexDefs().Count(), 0);
}

// A table kept open takes any number of records with blobs: each post lets go of the record's
// blob handles.
TEST_F(TaskRoadTest, PostsOfBlobsOnATableKeptOpenNeverRunOutOfBlobHandles) {
  TVELDORDatabase db;
  db.SetDatabaseName("dbmain");
  db.SetDirectory(dir.path());
  createTaskTables("dbmain");
  TVELDORTable logc;
  logc.SetDatabaseName("dbmain");
  logc.SetTableName("tasklogc");
  logc.Open();
  for (int id = 1; id <= 300; ++id) {
    logc.Append();
    logc.FieldByName("taskid").SetAsInteger(1);
    logc.FieldByName("tasklogid").SetAsInteger(id);
    const std::string text = "run " + std::to_string(id);
    logc.CreateBlobStream(logc.FieldByName("content"), ds::bmWrite)->Write(text.data(), text.size());
    logc.Post();
    if (id % 3 == 0) {  // and an edit of one
      logc.Edit();
      logc.FieldByName("content").SetAsString(text + " edited");
      logc.Post();
    }
  }
  EXPECT_EQ(logc.RecordCount(), 300);
  ASSERT_TRUE(logc.Locate("tasklogid", int32_t(299), 0));
  EXPECT_EQ(logc.FieldByName("content").AsString(), "run 299");
  ASSERT_TRUE(logc.Locate("tasklogid", int32_t(300), 0));
  EXPECT_EQ(logc.FieldByName("content").AsString(), "run 300 edited");
}

// A write past the engine's largest blob is refused, not reported as written.
TEST_F(TaskRoadTest, BlobWritePastTheLargestBlobRaises) {
  TVELDORDatabase db;
  db.SetDatabaseName("dbmain");
  db.SetDirectory(dir.path());
  createTaskTables("dbmain");
  TVELDORTable logc;
  logc.SetDatabaseName("dbmain");
  logc.SetTableName("tasklogc");
  logc.Open();
  logc.Append();
  auto stream = logc.CreateBlobStream(logc.FieldByName("content"), ds::bmWrite);
  stream->Seek(0x7FFFFFFF, ds::soBeginning);
  try {
    stream->Write("ab", 2);
    FAIL() << "the write was reported as done";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode(), engine::VELDOR_INVALIDBLOBOFFSET);
  }
  stream.reset();
  logc.Cancel();
}

// An engine failure is a database error: a handler of database errors sees it whole.
TEST_F(TaskRoadTest, EngineFailuresReachHandlersOfDatabaseErrors) {
  TVELDORDatabase db;
  db.SetDatabaseName("dbmain");
  db.SetDirectory(dir.path());
  createTaskTables("dbmain");
  TVELDORTable task;
  task.SetDatabaseName("dbmain");
  task.SetTableName("task");
  task.Open();
  for (int i = 0; i < 2; ++i) {
    task.Append();
    task.FieldByName("id").SetAsInteger(7);
    try {
      task.Post();
      EXPECT_EQ(i, 0);
    } catch (const ds::EDatabaseError& e) {
      EXPECT_EQ(i, 1);
      const auto* engineError = dynamic_cast<const EVELDOREngineError*>(&e);
      ASSERT_NE(engineError, nullptr) << e.what();
      EXPECT_EQ(engineError->ErrorCode(), engine::VELDOR_KEYVIOL);
      task.Cancel();
    }
  }
  EXPECT_EQ(task.RecordCount(), 1);
}

TEST_F(TaskRoadTest, DatasetModelOverATable) {
  TVELDORDatabase db;
  db.SetDatabaseName("dbmain");
  db.SetDirectory(dir.path());
  for (bool primary : {false, true}) {
    TVELDORTable t;
    t.SetDatabaseName("dbmain");
    t.SetTableName(primary ? "keyed" : "plain");
    t.GetFieldDefs().Add("ID", ds::ftInteger);
    t.GetFieldDefs().Add("NAME", ds::ftString, 20);
    if (primary) t.IndexDefs() = {{"", "ID", ixPrimary | ixUnique}};
    t.CreateTable();
    t.Open();
    std::vector<std::pair<int, std::string>> model;
    // Records keep the order of their insertion, or of ids that only grow.
    dataaccess::testing::RunListModel(t, storage_test::testSeed(), 600, model, true);
  }
}

// Keys and ranges against a sorted model of the rows: random inserts and deletes, then searches
// by the primary key and by a two-field index, exact and nearest, and ranges over the first key
// field.
TEST_F(TaskRoadTest, KeySearchesAndRangesFollowTheSortedOrder) {
  TVELDORDatabase db;
  db.SetDatabaseName("dbmain");
  db.SetDirectory(dir.path());
  struct Table : TVELDORTable {
    using TVELDORTable::GetLookupCursor;
  } t;
  t.SetDatabaseName("dbmain");
  t.SetTableName("keyed");
  t.GetFieldDefs().Add("ID", ds::ftInteger);
  t.GetFieldDefs().Add("GRP", ds::ftInteger);
  t.GetFieldDefs().Add("NAME", ds::ftString, 20);
  t.IndexDefs() = {{"", "ID", ixPrimary | ixUnique}, {"bygrp", "GRP;NAME", 0}, {"byname", "NAME", 0}};
  t.CreateTable();
  t.Open();
  // The table's indexes, the last slot included.
  {
    TVELDORTable reader;
    reader.SetDatabaseName("dbmain");
    reader.SetTableName("keyed");
    reader.UpdateIndexDefs();
    std::string indexes;
    for (const TVELDORIndexDef& d : reader.IndexDefs()) indexes += d.Name + ":" + d.Fields + ";";
    EXPECT_EQ(indexes, ":ID;bygrp:GRP;NAME;byname:NAME;");
    reader.SetIndexFieldNames("name");
    reader.Open();
    const engine::TIndexDescriptor text = reader.Handle()->GetIndexDesc(32);
    EXPECT_EQ(text.name, "Sys Text");
    EXPECT_EQ(text.fieldCount, 0);
  }

  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  std::map<int, std::pair<int, std::string>> rows;  // by ID
  const auto byGroup = [&] {
    std::multiset<std::pair<int, std::string>> keys;
    for (const auto& [id, row] : rows) keys.insert(row);
    return keys;
  };
  for (int step = 0; step < 400; ++step) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
    const int id = int(rng() % 300);
    const int op = int(rng() % 6);
    t.SetIndexName("");
    if (op <= 1) {
      if (rows.count(id)) continue;
      const std::pair<int, std::string> row{int(rng() % 6), "n" + std::to_string(rng() % 40)};
      t.Append();
      t.FieldByName("ID").SetAsInteger(id);
      t.FieldByName("GRP").SetAsInteger(row.first);
      t.FieldByName("NAME").SetAsString(row.second);
      t.Post();
      rows[id] = row;
    } else if (op == 2) {
      ASSERT_EQ(t.FindKey({int32_t(id)}), rows.count(id) == 1);
      if (rows.count(id)) {
        EXPECT_EQ(t.FieldByName("ID").AsInteger(), id);
        t.Delete();
        rows.erase(id);
      }
    } else if (op == 3) {
      t.FindNearest({int32_t(id)});
      const auto at = rows.lower_bound(id);
      if (rows.empty()) {
        EXPECT_TRUE(t.IsEmpty());
      } else {
        EXPECT_EQ(t.FieldByName("ID").AsInteger(), at == rows.end() ? rows.rbegin()->first : at->first);
      }
    } else if (op == 4) {
      t.SetIndexName("bygrp");
      const std::pair<int, std::string> key{int(rng() % 7), "n" + std::to_string(rng() % 40)};
      const auto keys = byGroup();
      t.SetKey();
      t.FieldByName("GRP").SetAsInteger(key.first);
      t.FieldByName("NAME").SetAsString(key.second);
      EXPECT_EQ(t.GotoKey(), keys.count(key) > 0);
      t.EditKey();  // the same key, kept
      EXPECT_EQ(t.FieldByName("NAME").AsString(), key.second);
      t.Cancel();
      t.GotoNearest();
      const auto at = keys.lower_bound(key);
      if (!keys.empty()) {
        const auto expected = at == keys.end() ? *keys.rbegin() : *at;
        EXPECT_EQ(t.FieldByName("GRP").AsInteger(), expected.first);
        EXPECT_EQ(t.FieldByName("NAME").AsString(), expected.second);
      }
      // The first field alone: the group's lowest name.
      t.EditKey();
      t.SetKeyFieldCount(1);
      t.Post();
      const auto group = keys.lower_bound({key.first, ""});
      const bool inGroup = group != keys.end() && group->first == key.first;
      EXPECT_EQ(t.GotoKey(), inGroup);
      if (inGroup) {
        EXPECT_EQ(t.FieldByName("NAME").AsString(), group->second);
      }
    } else {
      t.SetIndexName("bygrp");
      const int low = int(rng() % 6), high = low + int(rng() % 3);
      t.SetRangeStart();
      t.FieldByName("GRP").SetAsInteger(low);
      t.SetRangeEnd();  // ends the entry of the start, keeping it
      t.FieldByName("GRP").SetAsInteger(high);
      t.ApplyRange();
      int expected = 0;
      for (const auto& [rowId, row] : rows) expected += row.first >= low && row.first <= high;
      EXPECT_EQ(t.RecordCount(), expected);
      int seen = 0;
      for (t.First(); !t.Eof(); t.Next()) {
        EXPECT_GE(t.FieldByName("GRP").AsInteger(), low);
        EXPECT_LE(t.FieldByName("GRP").AsInteger(), high);
        ++seen;
      }
      EXPECT_EQ(seen, expected);
      t.CancelRange();
      EXPECT_EQ(t.RecordCount(), int(rows.size()));
    }
  }

  // Searches by another index's fields go through a look-up cursor on that index, which sees the
  // whole table; with a range or a filter set, the search stays within what the dataset shows.
  t.SetIndexName("");
  engine::TDataCursor* lookup = t.GetLookupCursor("name", false);
  ASSERT_NE(lookup, nullptr);
  EXPECT_EQ(t.GetLookupCursor("NAME", false), lookup);
  EXPECT_EQ(t.GetLookupCursor("NAME", true), nullptr);  // no case-insensitive index
  EXPECT_EQ(t.GetLookupCursor("GRP", false), nullptr);  // only as the first of two fields
  for (int n = 0; n < 40; ++n) {
    const std::string name = "n" + std::to_string(n);
    const auto holder =
        std::find_if(rows.begin(), rows.end(), [&](const auto& r) { return r.second.second == name; });
    ASSERT_EQ(t.Locate("NAME", name, 0), holder != rows.end()) << name;
    if (holder == rows.end()) continue;
    EXPECT_EQ(t.FieldByName("NAME").AsString(), name);
    const int id = int(t.Lookup("NAME", name, "ID").asInt64());
    EXPECT_EQ(rows.at(id).second, name);
    t.SetRange({int32_t(id + 1)}, {});
    EXPECT_EQ(t.GetLookupCursor("NAME", false), nullptr);
    const bool later =
        std::any_of(rows.upper_bound(id), rows.end(), [&](const auto& r) { return r.second.second == name; });
    EXPECT_EQ(t.Locate("NAME", name, 0), later) << name;
    t.CancelRange();
  }

  // Key entry takes the current index's fields only, and a cancelled entry keeps the old key.
  t.SetIndexName("bygrp");
  EXPECT_EQ(t.IndexFieldCount(), 2);
  EXPECT_EQ(t.IndexFields(1).FieldName, "NAME");
  EXPECT_THAT([&] { t.IndexFields(2); },
              ::testing::ThrowsMessage<ds::EDatabaseError>(::testing::StrEq(SFieldIndexError)));
  t.SetKey();
  t.FieldByName("GRP").SetAsInteger(3);
  t.Post();
  t.SetKey();
  EXPECT_THAT([&] { t.FieldByName("ID").SetAsInteger(1); },
              ::testing::ThrowsMessage<ds::EDatabaseError>(
                  ::testing::StrEq("Field ID is not in the current index.")));
  t.FieldByName("GRP").SetAsInteger(4);
  t.Cancel();
  EXPECT_EQ(t.State(), ds::dsBrowse);
  t.EditKey();
  EXPECT_EQ(t.FieldByName("GRP").AsInteger(), 3);
  t.Cancel();
}

// Without the partial-key option a value is searched as it stands, a final "*" included; with it,
// the "*" only marks the leading characters.
// Texts and integers are read straight from the record: each field's value is what the general
// decoding of the cursor's bytes gives, null, empty, negative and at the text's full size alike.
TEST_F(TaskRoadTest, FieldValuesAreWhatTheCursorHolds) {
  TVELDORDatabase db;
  db.SetDatabaseName("dbmain");
  db.SetDirectory(dir.path());
  TVELDORTable t;
  t.SetDatabaseName("dbmain");
  t.SetTableName("kinds");
  t.GetFieldDefs().Add("SEQ", ds::ftAutoInc);
  t.GetFieldDefs().Add("N", ds::ftInteger);
  t.GetFieldDefs().Add("S", ds::ftSmallint);
  t.GetFieldDefs().Add("T", ds::ftString, 6);
  t.CreateTable();
  t.Open();
  const std::vector<std::pair<ds::Variant, ds::Variant>> rows = {
      {int32_t(0), std::string("")},
      {int32_t(-7), std::string("abcdef")},
      {ds::Variant::null(), std::string("x")},
      {int32_t(2147483647), ds::Variant::null()},
      {int32_t(-2147483647 - 1), std::string("ab cd")}};
  for (const auto& [n, text] : rows) {
    t.Append();
    if (!n.isNull()) t.FieldByName("N").SetValue(n);
    t.FieldByName("S").SetAsInteger(3);
    if (!text.isNull()) t.FieldByName("T").SetValue(text);
    t.Post();
  }
  t.First();
  int count = 0;
  for (; !t.Eof(); t.Next(), ++count) {
    engine::TDataCursor& c = *t.Handle();
    std::vector<uint8_t> record(c.RecordSize());
    ASSERT_EQ(c.GetCurrentRecord(record.data(), false), 0);
    for (int i = 0; i < t.FieldCount(); ++i) {
      ds::Field& f = t.Fields(i);
      const engine::TFieldDescriptor& d = c.GetFieldDesc(uint16_t(f.FieldNo));
      std::array<uint8_t, 256> bytes{};
      bool isNull = true;
      engine::TDataCursor::ReadFieldValue(d, record.data(), isNull, bytes.data());
      const ds::Variant expected = isNull ? ds::Variant::null() : EngineValueToVariant(d, bytes.data());
      EXPECT_EQ(f.Value(), expected) << f.FieldName << " row " << count;
      EXPECT_EQ(f.IsNull(), expected.isNull()) << f.FieldName << " row " << count;
    }
  }
  EXPECT_EQ(count, int(rows.size()));
  t.First();
  t.Next();
  EXPECT_EQ(t.FieldByName("N").AsInteger(), -7);
  EXPECT_EQ(t.FieldByName("N").AsString(), "-7");
  EXPECT_EQ(t.FieldByName("T").AsString(), "abcdef");
  EXPECT_EQ(t.FieldByName("T").AsString(), "abcdef");
  t.Next();
  EXPECT_TRUE(t.FieldByName("N").IsNull());
  t.Next();
  EXPECT_TRUE(t.FieldByName("T").IsNull());
}

// A dataset reads texts and plain integers at offsets it took from the descriptors at open, and
// every other field through its descriptor: both roads give what the cursor's record holds, over
// a table, a select list in another order, a copied result, while browsing and editing, and
// after the same dataset opened another table.
TEST_F(TaskRoadTest, FieldValuesReadAlikeInEveryOrderAndState) {
  TVELDORDatabase db;
  db.SetDatabaseName("dbmain");
  db.SetDirectory(dir.path());
  {
    TVELDORTable t;
    t.SetDatabaseName("dbmain");
    t.SetTableName("mixed");
    t.GetFieldDefs().Add("A", ds::ftAutoInc);
    t.GetFieldDefs().Add("T", ds::ftString, 4);
    t.GetFieldDefs().Add("F", ds::ftFloat);
    t.GetFieldDefs().Add("N", ds::ftInteger);
    t.GetFieldDefs().Add("W", ds::ftString, 40);
    t.GetFieldDefs().Add("L", ds::ftLargeint);
    t.CreateTable();
    t.Open();
    for (int i = 0; i < 4; ++i) {
      t.Append();
      if (i != 1) t.FieldByName("T").SetAsString(std::string(size_t(1 + i), char('a' + i)));
      t.FieldByName("F").SetAsFloat(i + 0.5);
      if (i != 2) t.FieldByName("N").SetAsInteger(i == 3 ? -2147483647 - 1 : i * 1000);
      t.FieldByName("W").SetAsString(std::string(size_t(10 * i + 1), char('k' + i)));
      t.FieldByName("L").SetValue(int64_t(i) << 40);
      t.Post();
    }
  }
  // Each field's value against the cursor's record read through its descriptor.
  const auto expectRecordValues = [](TVELDORDataSet& d, const std::string& what) {
    engine::TDataCursor& c = *d.Handle();
    std::vector<uint8_t> record(c.RecordSize());
    ASSERT_EQ(c.GetCurrentRecord(record.data(), false), 0) << what;
    for (int i = 0; i < d.FieldCount(); ++i) {
      ds::Field& f = d.Fields(i);
      const engine::TFieldDescriptor& desc = c.GetFieldDesc(uint16_t(f.FieldNo));
      std::array<uint8_t, 256> bytes{};
      bool isNull = true;
      engine::TDataCursor::ReadFieldValue(desc, record.data(), isNull, bytes.data());
      const ds::Variant expected = isNull ? ds::Variant::null() : EngineValueToVariant(desc, bytes.data());
      EXPECT_EQ(f.Value(), expected) << what << " " << f.FieldName;
      EXPECT_EQ(f.IsNull(), expected.isNull()) << what << " " << f.FieldName;
      EXPECT_EQ(f.AsString(), expected.asString()) << what << " " << f.FieldName;
      if (f.DataType() == ds::ftInteger) {
        EXPECT_EQ(f.AsInteger(), expected.isNull() ? 0 : expected.asInt32()) << what << " " << f.FieldName;
      }
    }
  };
  const std::vector<std::pair<std::string, bool>> sources = {{"", false},
                                                             {"SELECT A, T, F, N, W, L FROM mixed", true},
                                                             {"SELECT W, L, N, T, F, A FROM mixed", true},
                                                             {"SELECT N, W, T FROM mixed", false}};
  for (const auto& [sql, live] : sources) {
    std::unique_ptr<TVELDORDBDataSet> d;
    if (sql.empty()) {
      auto t = std::make_unique<TVELDORTable>();
      t->SetTableName("mixed");
      d = std::move(t);
    } else {
      auto q = std::make_unique<TVELDORQuery>();
      q->SetSQL(sql);
      q->SetRequestLive(live);
      d = std::move(q);
    }
    d->SetDatabaseName("dbmain");
    d->Open();
    int rows = 0;
    for (; !d->Eof(); d->Next(), ++rows) expectRecordValues(*d, sql + " row " + std::to_string(rows));
    EXPECT_EQ(rows, 4) << sql;
    d->First();
    EXPECT_EQ(d->FieldByName("T").AsString(), "a") << sql;
    EXPECT_EQ(d->FieldByName("N").AsInteger(), 0) << sql;
    d->Next();
    EXPECT_TRUE(d->FieldByName("T").IsNull()) << sql;
    EXPECT_EQ(d->FieldByName("W").AsString(), std::string(11, 'l')) << sql;
    d->Next();
    EXPECT_TRUE(d->FieldByName("N").IsNull()) << sql;
    EXPECT_EQ(d->FieldByName("N").AsInteger(), 0) << sql;
    d->Next();
    EXPECT_EQ(d->FieldByName("N").AsInteger(), -2147483647 - 1) << sql;
    EXPECT_EQ(d->FieldByName("T").AsString(), "dddd") << sql;
    if (live) {
      // An edit shows the values being entered, the old ones stay the record's until the post.
      d->Edit();
      d->FieldByName("T").SetAsString("xyz");
      d->FieldByName("N").Clear();
      EXPECT_EQ(d->FieldByName("T").AsString(), "xyz") << sql;
      EXPECT_TRUE(d->FieldByName("N").IsNull()) << sql;
      EXPECT_EQ(d->FieldByName("N").AsInteger(), 0) << sql;
      d->FieldByName("N").SetAsInteger(41);
      EXPECT_EQ(d->FieldByName("N").AsInteger(), 41) << sql;
      EXPECT_EQ(d->FieldByName("T").OldValue(), ds::Variant(std::string("dddd"))) << sql;
      EXPECT_EQ(d->FieldByName("N").OldValue(), ds::Variant(int32_t(-2147483647 - 1))) << sql;
      d->Cancel();
      EXPECT_EQ(d->FieldByName("T").AsString(), "dddd") << sql;
      expectRecordValues(*d, sql + " after cancel");
    }
    d->Close();
    d->Open();
    expectRecordValues(*d, sql + " reopened");
  }
  // One dataset over another table: its fields lie elsewhere in the record.
  {
    TVELDORTable t;
    t.SetDatabaseName("dbmain");
    t.SetTableName("other");
    t.GetFieldDefs().Add("N", ds::ftInteger);
    t.GetFieldDefs().Add("W", ds::ftString, 3);
    t.GetFieldDefs().Add("T", ds::ftString, 30);
    t.CreateTable();
    t.Open();
    t.Append();
    t.FieldByName("N").SetAsInteger(77);
    t.FieldByName("W").SetAsString("wwww");
    t.FieldByName("T").SetAsString("a text longer than four");
    t.Post();
  }
  TVELDORTable t;
  t.SetDatabaseName("dbmain");
  for (const char* name : {"mixed", "other", "mixed"}) {
    t.Close();
    t.SetTableName(name);
    t.Open();
    for (; !t.Eof(); t.Next()) expectRecordValues(t, name);
  }
  t.Close();
  t.SetTableName("other");
  t.Open();
  EXPECT_EQ(t.FieldByName("T").AsString(), "a text longer than four");
  EXPECT_EQ(t.FieldByName("W").AsString(), "www");
  EXPECT_EQ(t.FieldByName("N").AsInteger(), 77);
}
// A text's AsString and an integer's AsInteger read the record of the dataset's state, as Value
// does: the record being filtered, the row whose calculated fields are being worked out, the key
// being entered, a row being inserted, the row a bookmark leads to, a detail's rows, a row another
// process changed, and the rows of a table another process made anew between close and open.
// Narrow and wide integers keep their own widths.
TEST_F(TaskRoadTest, TextAndIntegerReadsFollowTheRecordOfEveryState) {
  // Another process changes a row under the open dataset, below: a refresh shows the change. It
  // cannot make the table anew while the table is open here. Forked before this process opens a file.
  Helper writer([&](Helper& h) {
    if (h.receive() != 'g') return 5;
    TVELDORDatabase other;
    other.SetDatabaseName("dbmain");
    other.SetDirectory(dir.path());
    TVELDORTable w;
    w.SetDatabaseName("dbmain");
    w.SetTableName("st");
    w.Open();
    if (!w.FindKey({ds::Variant(int32_t(2))})) return 1;
    w.Edit();
    w.FieldByName("NAME").SetAsString("zz");
    w.FieldByName("GRP").SetAsInteger(-7);
    w.Post();
    w.Close();
    h.send('w');
    if (h.receive() != 'r') return 2;
    try {
      w.DeleteTable();
      return 3;
    } catch (const std::exception&) {
    }
    h.send('n');
    if (h.receive() != 'c') return 4;
    // Made anew with its fields in other places and of other sizes.
    w.DeleteTable();
    w.GetFieldDefs().Clear();
    w.GetFieldDefs().Add("NAME", ds::ftString, 30);
    w.GetFieldDefs().Add("GRP", ds::ftInteger);
    w.GetFieldDefs().Add("ID", ds::ftInteger);
    w.IndexDefs() = {{"", "ID", ixPrimary | ixUnique}};
    w.CreateTable();
    w.Open();
    w.Append();
    w.FieldByName("NAME").SetAsString("a name longer than the old");
    w.FieldByName("GRP").SetAsInteger(123456);
    w.FieldByName("ID").SetAsInteger(-5);
    w.Post();
    return 0;
  });
  TVELDORDatabase db;
  db.SetDatabaseName("dbmain");
  db.SetDirectory(dir.path());
  const auto name = [](int i) { return "n\xc3\xa9" + std::to_string(i); };  // non-ASCII, 4 of 5 bytes
  {
    TVELDORTable t;
    t.SetDatabaseName("dbmain");
    t.SetTableName("st");
    t.GetFieldDefs().Add("S", ds::ftSmallint);
    t.GetFieldDefs().Add("ID", ds::ftInteger);
    t.GetFieldDefs().Add("W", ds::ftWord);
    t.GetFieldDefs().Add("NAME", ds::ftString, 5);
    t.GetFieldDefs().Add("A", ds::ftAutoInc);
    t.GetFieldDefs().Add("L", ds::ftLargeint);
    t.GetFieldDefs().Add("GRP", ds::ftInteger);
    t.IndexDefs() = {{"", "ID", ixPrimary | ixUnique}, {"byname", "NAME", 0}, {"bygrp", "GRP", 0}};
    t.CreateTable();
    t.Open();
    for (int i = 1; i <= 5; ++i) {
      t.Append();
      t.FieldByName("S").SetAsInteger(-i);
      t.FieldByName("ID").SetAsInteger(i);
      t.FieldByName("W").SetAsInteger(65530 + i % 5);
      t.FieldByName("NAME").SetAsString(name(i));
      t.FieldByName("L").SetValue(int64_t(-i) * 100000);
      t.FieldByName("GRP").SetAsInteger(i % 2);
      t.Post();
    }
  }
  TVELDORTable t;
  t.SetDatabaseName("dbmain");
  t.SetTableName("st");
  ds::Field::AddTo(t, std::make_unique<ds::SmallintField>())->FieldName = "S";
  ds::Field::AddTo(t, std::make_unique<ds::IntegerField>())->FieldName = "ID";
  ds::Field::AddTo(t, std::make_unique<ds::WordField>())->FieldName = "W";
  ds::Field* nameField = ds::Field::AddTo(t, std::make_unique<ds::StringField>());
  nameField->FieldName = "NAME", nameField->Size = 5;
  ds::Field::AddTo(t, std::make_unique<ds::AutoIncField>())->FieldName = "A";
  ds::Field::AddTo(t, std::make_unique<ds::LargeintField>())->FieldName = "L";
  ds::Field::AddTo(t, std::make_unique<ds::IntegerField>())->FieldName = "GRP";
  ds::Field* calc = ds::Field::AddTo(t, std::make_unique<ds::StringField>());
  calc->FieldName = "CALC", calc->Kind = ds::FieldKind::Calculated, calc->Size = 40;
  t.OnCalcFields = [&](ds::DataSet& d) {
    calc->SetAsString(d.FieldByName("NAME").AsString() + "/" +
                      std::to_string(d.FieldByName("ID").AsInteger()));
  };
  std::vector<std::string> filtered;
  t.SetOnFilterRecord([&](ds::DataSet& d, bool& accept) {
    filtered.push_back(d.FieldByName("NAME").AsString() + "/" +
                       std::to_string(d.FieldByName("ID").AsInteger()));
    accept = d.FieldByName("ID").AsInteger() % 2 == 1;
  });
  t.Open();
  const auto expectRow = [&](int i, const std::string& what) {
    EXPECT_EQ(t.FieldByName("ID").AsInteger(), i) << what;
    EXPECT_EQ(t.FieldByName("NAME").AsString(), name(i)) << what;
    EXPECT_EQ(t.FieldByName("S").AsInteger(), -i) << what;
    EXPECT_EQ(t.FieldByName("W").AsInteger(), 65530 + i % 5) << what;
    EXPECT_EQ(t.FieldByName("A").AsInteger(), i) << what;
    EXPECT_EQ(t.FieldByName("L").AsInteger(), -i * 100000) << what;
    EXPECT_EQ(t.FieldByName("CALC").AsString(), name(i) + "/" + std::to_string(i)) << what;
  };
  for (int i = 1; !t.Eof(); t.Next(), ++i) expectRow(i, "browse " + std::to_string(i));

  // Each record is filtered from its own bytes, not from the row the dataset stands on.
  t.First();
  t.SetFiltered(true);
  std::vector<int> kept;
  for (; !t.Eof(); t.Next()) kept.push_back(t.FieldByName("ID").AsInteger());
  EXPECT_EQ(kept, (std::vector<int>{1, 3, 5}));
  ASSERT_GE(filtered.size(), 5u);
  for (int i = 1; i <= 5; ++i)
    EXPECT_NE(std::find(filtered.begin(), filtered.end(), name(i) + "/" + std::to_string(i)), filtered.end())
        << i;
  t.SetFiltered(false);

  // A bookmark leads back to its row.
  t.First();
  t.Next();
  const ds::Bookmark second = t.GetBookmark();
  t.Last();
  expectRow(5, "last");
  t.GotoBookmark(second);
  expectRow(2, "bookmark");

  // The key being entered, not the current row.
  t.SetIndexName("byname");
  t.SetKey();
  EXPECT_TRUE(t.FieldByName("NAME").IsNull());
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "");
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 0);
  t.FieldByName("NAME").SetAsString(name(4));
  EXPECT_EQ(t.FieldByName("NAME").AsString(), name(4));
  EXPECT_TRUE(t.GotoKey());
  expectRow(4, "key");
  t.EditKey();
  EXPECT_EQ(t.FieldByName("NAME").AsString(), name(4));
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 0);
  t.Cancel();

  // A row being inserted holds only what was entered; cancelled, the row shows again.
  t.Insert();
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "");
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 0);
  EXPECT_EQ(t.FieldByName("S").AsInteger(), 0);
  t.FieldByName("ID").SetAsInteger(9);
  t.FieldByName("NAME").SetAsString("\xc3\xa9\xc3\xa9\xc3\xa9");  // cut at a whole character
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 9);
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "\xc3\xa9\xc3\xa9");
  t.Cancel();
  expectRow(4, "after cancelled insert");

  // The rows of a detail follow its master.
  ds::DataSource master;
  master.SetDataSet(&t);
  TVELDORTable detail;
  detail.SetDatabaseName("dbmain");
  detail.SetTableName("st");
  detail.SetIndexName("bygrp");
  detail.SetMasterSource(&master);
  detail.SetMasterFields("GRP");
  detail.Open();
  for (int id : {2, 3}) {
    ASSERT_TRUE(t.FindKey({ds::Variant(name(id))}));
    std::set<std::string> names;
    for (detail.First(); !detail.Eof(); detail.Next()) {
      EXPECT_EQ(detail.FieldByName("GRP").AsInteger(), id % 2);
      names.insert(detail.FieldByName("NAME").AsString());
    }
    const std::set<std::string> expected =
        id % 2 ? std::set<std::string>{name(1), name(3), name(5)} : std::set<std::string>{name(2), name(4)};
    EXPECT_EQ(names, expected);
  }
  detail.Close();

  TVELDORTable keep;
  keep.SetDatabaseName("dbmain");
  keep.SetTableName("st");
  for (const char* field : {"ID", "NAME", "GRP"})
    ds::Field::AddTo(keep, field[0] == 'N' ? std::unique_ptr<ds::Field>(std::make_unique<ds::StringField>())
                                           : std::make_unique<ds::IntegerField>())
        ->FieldName = field;
  keep.Open();
  EXPECT_EQ(keep.FieldByName("NAME").AsString(), name(1));
  t.SetIndexName("");
  ASSERT_TRUE(t.FindKey({ds::Variant(int32_t(2))}));
  writer.send('g');
  ASSERT_EQ(writer.receive(), 'w');
  t.Refresh();
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 2);
  EXPECT_EQ(t.FieldByName("NAME").AsString(), "zz");
  EXPECT_EQ(t.FieldByName("GRP").AsInteger(), -7);
  writer.send('r');
  ASSERT_EQ(writer.receive(), 'n');
  t.Close();
  keep.Close();
  writer.send('c');
  ASSERT_EQ(writer.wait(), 0);

  TVELDORTable anew;
  anew.SetDatabaseName("dbmain");
  anew.SetTableName("st");
  anew.Open();
  EXPECT_EQ(anew.FieldByName("NAME").AsString(), "a name longer than the old");
  EXPECT_EQ(anew.FieldByName("GRP").AsInteger(), 123456);
  EXPECT_EQ(anew.FieldByName("ID").AsInteger(), -5);
  // A dataset with fields of its own, open before the table was made anew, binds them to their
  // new places.
  keep.Open();
  EXPECT_EQ(keep.FieldByName("NAME").AsString(), "a name longer than the old");
  EXPECT_EQ(keep.FieldByName("GRP").AsInteger(), 123456);
  EXPECT_EQ(keep.FieldByName("ID").AsInteger(), -5);
}

TEST_F(TaskRoadTest, LocateWithoutIndexTakesAnAsteriskLiterallyUnlessPartial) {
  TVELDORDatabase db;
  db.SetDatabaseName("dbmain");
  db.SetDirectory(dir.path());
  TVELDORTable t;
  t.SetDatabaseName("dbmain");
  t.SetTableName("stars");
  t.GetFieldDefs().Add("ID", ds::ftInteger);
  t.GetFieldDefs().Add("NAME", ds::ftString, 20);
  t.CreateTable();
  t.Open();
  dataaccess::testing::addRow(t, 1, "ab");
  dataaccess::testing::addRow(t, 2, "ab*");
  dataaccess::testing::addRow(t, 3, "abc");
  ASSERT_TRUE(t.Locate("NAME", "ab*", 0));
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 2);
  ASSERT_TRUE(t.Locate("NAME", "ab", 0));
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 1);
  t.Last();
  ASSERT_TRUE(t.Locate("NAME", "ab*", ds::loPartialKey));
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 1);
  EXPECT_FALSE(t.Locate("NAME", "abd*", ds::loPartialKey));
}

// A locate value is a value: a text given for a number field is converted, and one that is no
// number fails instead of becoming part of the search's filter.
TEST_F(TaskRoadTest, LocateValueTextIsNeverPartOfTheFilter) {
  TVELDORDatabase db;
  db.SetDatabaseName("dbmain");
  db.SetDirectory(dir.path());
  TVELDORTable t;
  t.SetDatabaseName("dbmain");
  t.SetTableName("prices");
  t.GetFieldDefs().Add("ID", ds::ftInteger);
  t.GetFieldDefs().Add("PRICE", ds::ftFloat);
  t.CreateTable();
  t.Open();
  for (int id : {1, 2}) {
    t.Append();
    t.FieldByName("ID").SetAsInteger(id);
    t.FieldByName("PRICE").SetAsFloat(id * 1.5);
    t.Post();
  }
  t.First();
  ASSERT_TRUE(t.Locate("PRICE", "3", 0));
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 2);
  t.First();
  EXPECT_THROW(t.Locate("PRICE", "0 OR ID = 2", 0), ds::EVariantError);
  EXPECT_THROW(t.Locate("ID", "0 OR ID = 2", 0), ds::EVariantError);
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 1);
}

// Block reading serves every record once, in order, whatever the block size, and leaves the
// dataset on the record it reached.
TEST_F(TaskRoadTest, BlockReadingServesEveryRecordOnceAndStopsWhereItReached) {
  TVELDORDatabase db;
  db.SetDatabaseName("dbmain");
  db.SetDirectory(dir.path());
  TVELDORTable t;
  t.SetDatabaseName("dbmain");
  t.SetTableName("many");
  t.GetFieldDefs().Add("ID", ds::ftInteger);
  t.GetFieldDefs().Add("NAME", ds::ftString, 20);
  t.IndexDefs() = {{"", "ID", ixPrimary | ixUnique}};
  t.CreateTable();
  t.Open();
  const int count = 500;
  for (int id = 1; id <= count; ++id) dataaccess::testing::addRow(t, id, "n" + std::to_string(id));
  for (int size : {1, 7, 500, 501, INT32_MAX}) {
    SCOPED_TRACE(size);
    t.First();
    t.SetBlockReadSize(size);
    EXPECT_EQ(t.State(), ds::dsBlockRead);
    int expected = 1;
    for (; !t.Eof(); t.Next(), ++expected) {
      ASSERT_EQ(t.FieldByName("ID").AsInteger(), expected);
      ASSERT_EQ(t.FieldByName("NAME").AsString(), "n" + std::to_string(expected));
    }
    EXPECT_EQ(expected, count + 1);
    t.SetBlockReadSize(0);
    EXPECT_EQ(t.State(), ds::dsBrowse);
    EXPECT_TRUE(t.Eof());
    EXPECT_EQ(t.FieldByName("ID").AsInteger(), count);

    ASSERT_TRUE(t.Locate("ID", int32_t(100), 0));
    t.SetBlockReadSize(size);
    EXPECT_EQ(t.MoveBy(150), 150);
    EXPECT_EQ(t.FieldByName("ID").AsInteger(), 250);
    t.SetBlockReadSize(0);
    EXPECT_EQ(t.FieldByName("ID").AsInteger(), 250);
    t.Next();
    EXPECT_EQ(t.FieldByName("ID").AsInteger(), 251);
  }
}

// A remote session logs in through its handler and keeps its tables on the server.
TEST_F(TaskRoadTest, RemoteSessionLogsInThroughItsHandlerAndKeepsTablesOnTheServer) {
  engineserver::EngineServer server(dir.path(), {{"ann", "pw"}});
  TVELDORSession remote("Remote");
  remote.SetSessionName("remote");
  remote.SetSessionType(engine::stRemote);
  remote.SetRemotePort(server.port());
  int asked = 0;
  remote.OnRemoteLogin = [&](TVELDORSession&, std::string& user, std::string& password, bool&) {
    ++asked;
    user = "ann";
    password = "pw";
  };
  TVELDORDatabase db(&remote);
  db.SetDatabaseName("r");
  db.SetRemoteDatabase(" \\tasks\\ ");
  TVELDORTable logc;
  logc.SetSessionName("remote");
  logc.SetDatabaseName("r");
  logc.SetTableName("tasklogc");
  logc.GetFieldDefs().Add("taskid", ds::ftInteger);
  logc.GetFieldDefs().Add("content", ds::ftMemo);
  logc.CreateTable();
  logc.Open();
  logc.Append();
  logc.FieldByName("taskid").SetAsInteger(7);
  logc.FieldByName("content").SetAsString("remote output");
  logc.Post();
  logc.Close();
  logc.Open();
  EXPECT_EQ(logc.FieldByName("content").AsString(), "remote output");
  EXPECT_EQ(asked, 1);
  EXPECT_THROW(remote.SetRemotePort(1), ds::EDatabaseError);
  logc.Close();
  remote.Close();
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/tasks/tasklogc.DAT"));
}

TEST(QueryParamsTest, NamesBecomeMarksAndValuesOfAnySizeTravelWhole) {
  std::vector<std::string> names;
  EXPECT_EQ(ParseSQLParams("insert into tasklog values(:id, ':kept', \":kept\", a::b, :createtime)", names),
            "insert into tasklog values(?, ':kept', \":kept\", a:b, ?)");
  EXPECT_EQ(names, (std::vector<std::string>{"id", "createtime"}));

  ds::Params params;
  const std::string big(100000, 'x');
  params.CreateParam(ds::ftString, "big", ds::ptInput).SetAsString(big);
  params.CreateParam(ds::ftString, "s250", ds::ptInput).SetAsString(std::string(250, 'a'));
  params.CreateParam(ds::ftString, "s251", ds::ptInput).SetAsString(std::string(251, 'b'));
  for (int i = 0; i < 300; ++i)
    params.CreateParam(ds::ftString, "p" + std::to_string(i), ds::ptInput)
        .SetAsString(std::string(250, char('c' + i % 20)));
  params.CreateParam(ds::ftDateTime, "createtime", ds::ptInput)
      .SetAsDateTime(ds::textToDateTime("2026-12-07 02:30:00"));
  TQueryParamBlock block;
  PackQueryParams(params, block);
  auto reference = [&](int i) {
    size_t length;
    const char* address;
    std::memcpy(&length, &block.buffer[block.offsets[size_t(i)] + 1], sizeof length);
    std::memcpy(&address, &block.buffer[block.offsets[size_t(i)] + 1 + sizeof length], sizeof address);
    return std::string(address, length);
  };
  EXPECT_EQ(block.descriptors[0].Type(), 3);
  EXPECT_EQ(reference(0), big);
  EXPECT_EQ(block.descriptors[1].Type(), 1);
  EXPECT_EQ(block.descriptors[1].StoredSize(), 251);
  EXPECT_EQ(block.descriptors[2].Type(), 3);
  EXPECT_EQ(reference(2), std::string(251, 'b'));
  const size_t last = block.offsets[302];
  EXPECT_GT(last, 0xFFFFu);
  EXPECT_EQ(block.buffer[last], 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&block.buffer[last + 1])),
            std::string(250, char('c' + 299 % 20)));
  EXPECT_EQ(block.buffer.size(), block.offsets[303] + 1 + 8);

  params.CreateParam(ds::ftUnknown, "never", ds::ptInput);
  try {
    PackQueryParams(params, block);
    FAIL();
  } catch (const ds::EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "No value for parameter 'never'");
  }
}

TEST(SessionTest, NamesPasswordsAndTheLockBetweenThreads) {
  TVELDORSessionList& list = TVELDORSessionList::Instance();
  EXPECT_EQ(list.FindSession(""), &Session());
  EXPECT_EQ(list.FindSession("dEFAULT"), &Session());
  EXPECT_EQ(list.FindSession("nobody"), nullptr);
  try {
    list.GetSession("nobody");
    FAIL();
  } catch (const ds::EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Session name nobody is not valid.");
  }
  {
    TVELDORSession a("A"), b("B");
    a.SetAutoSessionName(true);
    b.SetAutoSessionName(true);
    EXPECT_EQ(a.SessionName(), "A_1");
    EXPECT_EQ(b.SessionName(), "B_2");
    a.SetAutoSessionName(false);
    TVELDORSession c("C");
    c.SetAutoSessionName(true);
    EXPECT_EQ(c.SessionName(), "C_1");
    c.SetProgressSteps(101);
    EXPECT_EQ(c.ProgressSteps(), 20);
    EXPECT_FALSE(c.PasswordRequest());  // no handler, no dialog
    c.OnPassword = [](TVELDORSession&, bool& go) { go = true; };
    EXPECT_TRUE(c.PasswordRequest());
  }
  // While one thread is inside the engine, no other thread gets in.
  std::atomic<bool> entered = false;
  {
    TSessionLock held(Session());
    std::thread other([&] {
      if (list.SessionLock().try_lock()) {
        entered = true;
        list.SessionLock().unlock();
      }
    });
    other.join();
  }
  EXPECT_FALSE(entered);
  Session().Close();
}

}  // namespace
