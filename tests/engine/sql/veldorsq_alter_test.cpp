// ALTER TABLE's index changes leave files that pass the integrity check: a dropped primary key's
// slot keeps its free pages for the next one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// A restructure carries every index over as it was defined, the fields past the first few of
// a wide one included: a unique index over twelve columns still tells rows apart by the last.
TEST(AlterTableIndexes, AWideUniqueIndexKeepsEveryFieldThroughARestructure) {
  platform::testing::TempFolder folder;
  TDataSession session;
  TDataDirectory* directory = session.OpenDataDirectory("db", folder.path());
  auto run = [&](const std::string& text) {
    sql::TQueryStatement statement(*directory);
    statement.Prepare(text);
    statement.Execute();
    return statement.RowsAffected;
  };
  // The index leads with c12 and ends with c1, which alone tells the rows apart.
  std::string columns, names, list;
  for (int c = 1; c <= 12; ++c) {
    columns += (c > 1 ? ", c" : "c") + std::to_string(c) + " INTEGER";
    names += (c > 1 ? ", c" : "c") + std::to_string(c);
    list += (c > 1 ? ", c" : "c") + std::to_string(13 - c);
  }
  auto row = [](int last) {
    std::string values;
    for (int c = 1; c <= 12; ++c) values += (c > 1 ? ", " : "") + std::to_string(c == 1 ? last : 7);
    return values;
  };
  run("CREATE TABLE w (" + columns + ")");
  run("CREATE UNIQUE INDEX wide ON w (" + list + ")");
  EXPECT_EQ(run("INSERT INTO w VALUES (" + row(1) + ")"), 1);
  EXPECT_EQ(run("INSERT INTO w VALUES (" + row(2) + ")"), 1);
  run("ALTER TABLE w ADD z INTEGER");
  EXPECT_EQ(run("INSERT INTO w (" + names + ") VALUES (" + row(3) + ")"), 1);
  EXPECT_THROW(run("INSERT INTO w (" + names + ") VALUES (" + row(2) + ")"), EVELDOREngineError);
  sql::TQueryStatement count(*directory);
  count.Prepare("SELECT COUNT(*) FROM w");
  TDataCursor* c = count.Execute();
  ASSERT_NE(c, nullptr);
  std::string text;
  std::vector<uint8_t> record(c->RecordSize());
  c->SetToBegin();
  ASSERT_EQ(c->GetNextRecord(record.data()), 0);
  EXPECT_TRUE(sql::ColumnText(*c, 1, record.data(), text));
  EXPECT_EQ(text, "3");
  tablecheck::Options options;
  options.checkRecordKeys = true;
  const tablecheck::Report report = tablecheck::CheckTableFiles(folder.file("w"), options);
  EXPECT_TRUE(report.ok()) << report.text();
}

}  // namespace
