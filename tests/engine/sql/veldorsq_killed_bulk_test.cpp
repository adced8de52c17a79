// Bulk statements, in one transaction or each its own, whose process ends before any write of
// their write-outs: every row rewritten with one field moved on, rows deleted, rows added into
// the freed records and past the end. Its record images go back whole but differ in a byte or two each, one
// record apart: the records are sized so that those bytes lie one byte inside the journal's joining gap and
// one byte past it. Another process then finds the table all before or all after, its files intact and no
// journal left.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "platform/faultfs.h"
#include "tests/engine/sql/sql_killed_util.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tools/tablecheck/tablecheck.h"

namespace {

using namespace engine;
using sql_killed::copyFolder;
using TempFolder = platform::testing::TempFolder;

constexpr int kRows = 400;

// The record size of table t in `folder`.
uint32_t recordSizeOf(const std::string& folder) {
  sql_test::SqlDatabase db(folder);
  TDataTable* t = nullptr;
  EXPECT_EQ(db.directory().OpenTable("t", t, false, false, false, false, false, false), 0);
  const uint32_t size = t ? t->DataFile().GetRecordSize() : 0;
  if (t) db.directory().CloseTable(t, false, false, false);
  return size;
}

void makeTable(const std::string& folder, int pad) {
  sql_test::SqlDatabase db(folder);
  db.run("CREATE TABLE t (id INTEGER, v INTEGER, p CHAR(" + std::to_string(pad) + "), PRIMARY KEY (id))");
  db.run("CREATE INDEX tv ON t (v)");
  db.directory().StartTransaction();
  for (int id = 1; id <= kRows; ++id)
    db.run("INSERT INTO t VALUES (" + std::to_string(id) + ", " + std::to_string(id * 2) + ", 'x')");
  db.directory().Commit(true, false);
}

// The statements, in one transaction or not; with `exitAt` the process ends before that write.
// `after` runs after each statement that wrote its changes out.
void change(const std::string& folder, bool transaction, uint64_t exitAt,
            const std::function<void()>& after) {
  platform::FaultyFileSystem faulty(platform::FileSystem::local());
  TFileList list(faulty);
  TDataSession session;
  TDataDirectory* directory = session.OpenDataDirectory("db", folder);
  directory->SetFileList(list);
  if (exitAt) faulty.setPlan({platform::Fault::Exit, exitAt, true});
  if (transaction) directory->StartTransaction();
  for (const char* text : {"UPDATE t SET v = v + 1", "DELETE FROM t WHERE id > 300 AND id <= 350",
                           "INSERT INTO t SELECT id + 1000, v, 'y' FROM t WHERE id <= 80"}) {
    sql::TQueryStatement statement(*directory);
    statement.Prepare(text);
    statement.Execute();
    if (!transaction && after) after();
  }
  if (transaction) {
    directory->Commit(true, false);
    if (after) after();
  }
  faulty.setPlan({});
  session.CloseDataDirectory(directory);
}

std::string contentsOf(const std::string& folder) {
  sql_test::SqlDatabase db(folder);
  return db.run("SELECT id, v, p FROM t ORDER BY id");
}

TEST(KilledBulkWriteOut, LeavesWhatTheLastWriteOutLeftWithChangesAtTheJoiningGapsEdges) {
  TempFolder probe;
  makeTable(probe.path(), 1);
  const uint32_t smallest = recordSizeOf(probe.path());
  ASSERT_GT(smallest, 0u);
  ASSERT_LE(smallest, 32u) << "the records cannot be sized to the joining gap";
  // v's low byte changes in every record: records of 32 bytes put the changed bytes 31 apart,
  // of 33 bytes 32 apart.
  for (const auto& [transaction, size] :
       {std::pair{true, 32u}, std::pair{true, 33u}, std::pair{false, 33u}}) {
    SCOPED_TRACE("records of " + std::to_string(size) + " bytes" + (transaction ? ", one transaction" : ""));
    TempFolder pristine;
    makeTable(pristine.path(), int(1 + size - smallest));
    ASSERT_EQ(recordSizeOf(pristine.path()), size);
    // The states the write-outs leave, in their order.
    std::vector<std::string> states{contentsOf(pristine.path())};
    {
      TempFolder clean;
      copyFolder(pristine.path(), clean.path());
      change(clean.path(), transaction, 0, [&] { states.push_back(contentsOf(clean.path())); });
    }
    ASSERT_EQ(states.size(), transaction ? 2u : 4u);
    sql_killed::EndedWrites ended;
    sql_killed::endAtEachWrite(
        pristine.path(), states, 400,
        [transaction](const std::string& path, uint64_t k) { change(path, transaction, k, nullptr); },
        contentsOf,
        [](const TempFolder& dir) {
          tablecheck::Options options;
          options.checkRecordKeys = true;
          const tablecheck::Report report = tablecheck::CheckTableFiles(dir.file("t"), options);
          ASSERT_TRUE(report.ok()) << report.text();
          EXPECT_FALSE(std::filesystem::exists(dir.file("t.JNL")));
        },
        ended);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    EXPECT_TRUE(ended.completed);
    EXPECT_GE(ended.last, 4u) << "the write-outs write a journal and the table's files";
  }
}

}  // namespace
