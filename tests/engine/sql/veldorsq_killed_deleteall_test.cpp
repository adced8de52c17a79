// DELETE of every row, whose records are freed in runs that change each record's head alone, in a
// process ended before each write of its write-outs in turn: while the journal is written, between
// the journal and the table files, and while those are written. The tables: a plain one and an
// encrypted one, each with secondary indexes (one compressed and descending) and slots freed
// before (the record-id tree holds deleted keys too), and one with a memo. Each statement on its
// own, and all of them in one transaction after an update of some of the rows it deletes (whose
// records are held already when their run is freed). Another process then finds every table all
// before or all after, its files sound and no journal left.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/faultfs.h"
#include "tests/engine/sql/sql_killed_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tools/tablecheck/tablecheck.h"

namespace engine::sql {
namespace {

using sql_killed::copyFolder;
using sql_killed::Database;
using TempFolder = platform::testing::TempFolder;

constexpr const char* kPassword = "deleteall-pw";
const char* const kTables[] = {"p", "e", "m"};

void makeTables(const std::string& folder) {
  Database db(folder, kPassword);
  db.run("CREATE TABLE p (id INTEGER, v INTEGER, s CHAR(20), PRIMARY KEY (id))");
  db.run("CREATE INDEX pv ON p (v)");
  db.run("CREATE DESC INDEX ps ON p (s, v) COMPRESS FULL");
  db.run(std::string("CREATE TABLE e (id INTEGER, v INTEGER, s CHAR(20), PRIMARY KEY (id) ENCRYPTED WITH '") +
         kPassword + "')");
  db.run("CREATE INDEX ev ON e (v)");
  db.run("CREATE TABLE m (id INTEGER, v INTEGER, n BLOB(10, 1), PRIMARY KEY (id))");
  db.run("CREATE INDEX mv ON m (v)");
  db.directory().StartTransaction();
  for (int id = 1; id <= 300; ++id) {
    const std::string row = std::to_string(id) + ", " + std::to_string(id * 37 % 1013) + ", '";
    db.run("INSERT INTO p VALUES (" + row + "row " + std::to_string(id % 17) + "')");
    db.run("INSERT INTO e VALUES (" + row + "secret " + std::to_string(id % 5) + "')");
    if (id <= 60) db.run("INSERT INTO m VALUES (" + row + std::string(size_t(id % 3) * 90, 'q') + "')");
  }
  db.directory().Commit(true, false);
  // Slots freed among the records: the rows left lie in several runs.
  db.run("DELETE FROM p WHERE id > 100 AND id <= 110");
  db.run("DELETE FROM e WHERE id < 4 OR id = 200");
}

std::string contentsOf(const std::string& folder) {
  Database db(folder, kPassword);
  return db.run("SELECT id, v, s FROM p ORDER BY id") + "|" + db.run("SELECT id, v, s FROM e ORDER BY id") +
         "|" + db.run("SELECT id, v, n FROM m ORDER BY id");
}

// The statements, in one transaction or each its own; with `exitAt` the process ends before that
// write. `after` runs after each write-out.
void change(const std::string& folder, bool transaction, uint64_t exitAt,
            const std::function<void()>& after) {
  platform::FaultyFileSystem faulty(platform::FileSystem::local());
  TFileList list(faulty);
  Database db(folder, kPassword, &list);
  if (exitAt) faulty.setPlan({platform::Fault::Exit, exitAt, true});
  if (transaction) {
    db.directory().StartTransaction();
    db.run("UPDATE p SET v = v + 1 WHERE id < 40 OR id > 280");
  }
  for (const char* table : kTables) {
    db.run(std::string("DELETE FROM ") + table);
    if (!transaction && after) after();
  }
  if (transaction) {
    db.directory().Commit(true, false);
    if (after) after();
  }
  faulty.setPlan({});
}

bool journalLeft(const std::string& folder) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string extension = entry.path().extension().string();
    if (extension == ".JNM" || (extension == ".JNL" && std::filesystem::file_size(entry.path()) != 0))
      return true;
  }
  return false;
}

TEST(KilledDeleteAll, AnotherProcessFindsEachTableAllBeforeOrAllAfterWhereverTheWriterEnded) {
  TempFolder pristine;
  makeTables(pristine.path());
  for (const bool transaction : {false, true}) {
    SCOPED_TRACE(transaction ? "one transaction" : "each statement on its own");
    std::vector<std::string> states{contentsOf(pristine.path())};
    {
      TempFolder clean;
      copyFolder(pristine.path(), clean.path());
      change(clean.path(), transaction, 0, [&] { states.push_back(contentsOf(clean.path())); });
    }
    ASSERT_EQ(states.size(), transaction ? 2u : 4u);
    ASSERT_NE(states.front(), states.back());
    sql_killed::EndedWrites ended;
    sql_killed::endAtEachWrite(
        pristine.path(), states, 600,
        [transaction](const std::string& path, uint64_t k) { change(path, transaction, k, nullptr); },
        contentsOf,
        [](const TempFolder& dir) {
          EXPECT_FALSE(journalLeft(dir.path())) << "the reader rolled back or deleted every journal";
          Database db(dir.path(), kPassword);
          for (const char* table : kTables) {
            // Keys in the order the table's own indexes keep them (descending, compressed).
            TDataCursor order(db.directory());
            order.SetTableName(table);
            order.Open();
            tablecheck::Options options;
            options.checkRecordKeys = true;
            options.encrypted = std::string(table) == "e";
            options.compare = [&](uint8_t slot, const uint8_t* a, const uint8_t* b, uint16_t n) {
              order.SelectIndex(slot);
              return order.CompareKeys(a, b, n);
            };
            const tablecheck::Report report = tablecheck::CheckTableFiles(dir.file(table), options);
            ASSERT_TRUE(report.ok()) << table << ": " << report.text();
          }
        },
        ended);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    EXPECT_TRUE(ended.completed);
    EXPECT_GE(ended.last, 8u) << "the write-outs write journals and the tables' files";
  }
}

}  // namespace
}  // namespace engine::sql
