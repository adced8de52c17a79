// A SELECT lets other writers in between its runs of rows. A row it stands on that another writer
// deletes meanwhile leaves it between its neighbours: every row that nobody deleted is in the
// result, whatever the order the table is read in.
#include <gtest/gtest.h>

#include <set>

#include "sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace sql_test;

TEST(SelectBesideADeletingWriter, KeepsEveryRowNobodyDeleted) {
  platform::testing::TempFolder folder;
  SqlDatabase reader(folder.path()), writer(folder.path());
  reader.run("CREATE TABLE t (a INTEGER, b INTEGER)");
  reader.run("CREATE TABLE k (a INTEGER, b INTEGER, PRIMARY KEY (a))");
  for (int i = 1; i <= 100; ++i) {
    reader.run("INSERT INTO t VALUES (" + std::to_string(i) + ", 0)");
    reader.run("INSERT INTO k VALUES (" + std::to_string(i) + ", 0)");
  }
  // A callback for each row: the k-th comes while the statement stands on the k-th row, with the
  // read locks let go. It deletes that row every third time.
  reader.directory().Session().SetProgressSteps(100);
  for (const char* table : {"t", "k"}) {
    std::set<int> deleted;
    int calls = 0;
    TQueryStatement select(reader.directory());
    select.SetProgressCallback([&](int, bool&) {
      if (++calls % 3 != 0) return;
      deleted.insert(calls);
      writer.run("DELETE FROM " + std::string(table) + " WHERE a = " + std::to_string(calls));
    });
    select.Prepare(std::string("SELECT a FROM ") + table + " WHERE b = 0");
    const std::string rows = SqlDatabase::text(*select.Execute());
    ASSERT_GT(deleted.size(), 20u) << table;
    std::set<int> got;
    for (size_t at = 0; at < rows.size();) {
      const size_t end = rows.find('\n', at);
      got.insert(std::stoi(rows.substr(at, end - at)));
      at = end + 1;
    }
    for (int a = 1; a <= 100; ++a) {
      EXPECT_TRUE(deleted.count(a) || got.count(a)) << table << ": row " << a << " missing";
    }
  }
}

}  // namespace
