// ALTER TABLE's index changes leave files that pass the integrity check: a dropped primary key's
// slot keeps its free pages for the next one.
#include <gtest/gtest.h>

#include <string>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "tests/platform/temp_folder.h"
#include "tools/tablecheck/tablecheck.h"

namespace {

using namespace engine;

TEST(AlterTableIndexes, DroppingAndAddingThePrimaryKeyBesideAnIndexKeepsTheFilesSound) {
  platform::testing::TempFolder folder;
  TDataSession session;
  TDataDirectory* directory = session.OpenDataDirectory("db", folder.path());
  auto run = [&](const std::string& text) {
    sql::TQueryStatement statement(*directory);
    statement.Prepare(text);
    statement.Execute();
  };
  auto check = [&](const char* after) {
    tablecheck::Options options;
    options.checkRecordKeys = true;
    const tablecheck::Report report = tablecheck::CheckTableFiles(folder.file("k"), options);
    EXPECT_TRUE(report.ok()) << after << ": " << report.text();
  };
  run("CREATE TABLE k (a INTEGER, b INTEGER, PRIMARY KEY (a))");
  run("CREATE INDEX kb ON k (b)");
  for (int a = 1; a <= 300; ++a)
    run("INSERT INTO k VALUES (" + std::to_string(a) + ", " + std::to_string(a % 7) + ")");
  run("ALTER TABLE k DROP PRIMARY KEY");
  check("the primary key dropped");
  run("INSERT INTO k VALUES (1, 1)");
  run("DELETE FROM k WHERE a = 1 AND b = 1");
  check("rows deleted");
  run("ALTER TABLE k ADD PRIMARY KEY (a)");
  check("the primary key added again");
  EXPECT_THROW(run("INSERT INTO k VALUES (2, 0)"), EVELDOREngineError);
  session.CloseDataDirectory(directory);
}

}  // namespace
