// The data-access dataset end to end on the SQLite driver, each outcome checked in the file
// through a connection of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "dataaccess/dbaccess_dataset.h"
#include "tests/dataaccess/dataaccess_testing.h"
#include "tests/dataaccess/listmodel.h"
#include "tests/platform/temp_folder.h"
#include "tools/sqlitedriver/sqlitedriver.h"

namespace {

using namespace sqlitedriver;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

class SQLiteDataSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session.LoginPrompt = false;
    session.SetServer(dir.path("t.db"));
    run("CREATE TABLE T(ID INTEGER, NAME VARCHAR(20)); CREATE TABLE D(MASTER_ID INTEGER, V VARCHAR(10));"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10)"
        " INSERT INTO T SELECT i, 'n' || i FROM n;"
        "INSERT INTO D VALUES (1, 'a'), (1, 'b'), (2, 'c');");
    d = session.CreateDataSet();
    d->SetSQL("SELECT ID, NAME FROM T ORDER BY ID");
    update.SQL(ukModify) = "UPDATE T SET ID = :ID, NAME = :NAME WHERE ID = :OLD_ID";
    update.RefreshSQL = "SELECT ID, NAME FROM T WHERE ID = :ID";
  }
  // Runs SQL on a connection of its own; the rows as "a,b;" texts.
  std::string run(const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(dir.path("t.db").c_str(), &db);
    std::string out;
    char* error = nullptr;
    sqlite3_exec(
        db, sql.c_str(),
        [](void* text, int n, char** values, char**) {
          for (int i = 0; i < n; ++i)
            *static_cast<std::string*>(text) +=
                std::string(values[i] ? values[i] : "") + (i + 1 < n ? "," : ";");
          return 0;
        },
        &out, &error);
    EXPECT_EQ(error, nullptr) << error;
    sqlite3_free(error);
    sqlite3_close(db);
    return out;
  }
  void edit(const char* name) {
    d->Edit();
    d->FieldByName("NAME").SetAsString(name);
    d->Post();
  }

  platform::testing::TempFolder dir;
  TSQLiteSession session;
  TCustomDAUpdateSQL update;
  std::unique_ptr<TCustomDADataSet> d;
};

TEST_F(SQLiteDataSetTest, RowsComeInBlocksAndTransactionsShowInTheFile) {
  d->SetFetchRows(3);
  d->Open();
  EXPECT_EQ(d->RecordCount(), 3);
  EXPECT_TRUE(d->Locate("ID", int32_t(8), 0));
  EXPECT_EQ(d->FieldByName("NAME").AsString(), "n8");
  d->SetFilterSQL("ID > 7");
  d->Last();
  EXPECT_EQ(d->RecordCount(), 3);

  auto sql = session.CreateSQL();
  sql->SetSQL("DELETE FROM T WHERE ID > :LIMIT");
  sql->ParamByName("LIMIT").SetAsInteger(8);
  session.StartTransaction();
  sql->Execute();
  EXPECT_EQ(run("SELECT COUNT(*) FROM T"), "10;");
  session.Rollback();
  EXPECT_EQ(run("SELECT COUNT(*) FROM T"), "10;");
  session.StartTransaction();
  sql->Execute();
  session.Commit();
  EXPECT_EQ(run("SELECT COUNT(*) FROM T"), "8;");
}

TEST_F(SQLiteDataSetTest, UpdatesThroughUpdateSQLAreStrictAndAFailedOneLeavesTheTableAsItWas) {
  d->UpdateObject = &update;
  d->Open();
  edit("first");
  EXPECT_EQ(run("SELECT NAME FROM T WHERE ID = 1"), "first;");
  run("INSERT INTO T VALUES (2, 'twin')");
  d->Next();
  EXPECT_THAT([&] { edit("x"); }, ThrowsMessage<EDatabaseError>(StrEq("Update failed. Found 2 records.")));
  d->Cancel();
  EXPECT_EQ(run("SELECT NAME FROM T WHERE ID = 2 ORDER BY NAME"), "n2;twin;");
  run("DELETE FROM T WHERE ID = 3");
  d->Next();
  EXPECT_THAT([&] { edit("x"); }, ThrowsMessage<EDatabaseError>(StrEq("Update failed. Found 0 records.")));
  d->Cancel();
  run("UPDATE T SET NAME = 'changed' WHERE ID = 4; INSERT INTO T VALUES (5, 'twin')");
  d->Next();
  d->RefreshRecord();
  EXPECT_EQ(d->FieldByName("NAME").AsString(), "changed");
  d->Next();
  EXPECT_THAT([&] { d->RefreshRecord(); },
              ThrowsMessage<EDatabaseError>(StrEq("Refresh failed. Found 2 records.")));
  d->Options().StrictUpdate = false;
  run("DELETE FROM T WHERE ID = 6");
  d->Next();
  d->RefreshRecord();  // nothing found: the record stays as it was
  EXPECT_EQ(d->FieldByName("NAME").AsString(), "n6");
}

TEST_F(SQLiteDataSetTest, CachedUpdatesReachTheFileOnlyWhenApplied) {
  d->UpdateObject = &update;
  d->SetCachedUpdates(true);
  d->Open();
  edit("cached");
  EXPECT_EQ(run("SELECT NAME FROM T WHERE ID = 1"), "n1;");
  d->ApplyUpdates();
  d->CommitUpdates();
  EXPECT_EQ(run("SELECT NAME FROM T WHERE ID = 1"), "cached;");
  d->Next();
  edit("dropped");
  d->CancelUpdates();
  ASSERT_TRUE(d->Locate("ID", int32_t(2), 0));
  EXPECT_EQ(d->FieldByName("NAME").AsString(), "n2");
  EXPECT_EQ(run("SELECT NAME FROM T WHERE ID = 2"), "n2;");
}

// Each queued record is written with its own values, wherever the cursor stands when they are
// applied; what the table gives back after an insert lands in that record too.
TEST_F(SQLiteDataSetTest, CachedUpdatesWriteEachQueuedRecordWhereverTheCursorStands) {
  run("CREATE TRIGGER up AFTER INSERT ON T BEGIN UPDATE T SET NAME = upper(NAME) WHERE ID = new.ID; END");
  update.SQL(ukInsert) = "INSERT INTO T VALUES (:ID, :NAME)";
  update.SQL(ukDelete) = "DELETE FROM T WHERE ID = :OLD_ID";
  d->UpdateObject = &update;
  d->RefreshOptions = roAfterInsert;
  d->SetCachedUpdates(true);
  d->Open();
  edit("c1");
  d->Next();
  d->Edit();
  d->FieldByName("ID").SetAsInteger(20);  // the key changes: found by its original value
  d->FieldByName("NAME").SetAsString("c2");
  d->Post();
  d->Next();
  d->Next();
  d->Delete();  // row 4
  d->First();
  for (int id : {11, 12}) {
    d->Insert();
    d->FieldByName("ID").SetAsInteger(id);
    d->FieldByName("NAME").SetAsString("new" + std::to_string(id));
    d->Post();
  }
  ASSERT_TRUE(d->Locate("ID", int32_t(3), 0));
  d->ApplyUpdates();
  d->CommitUpdates();
  EXPECT_EQ(run("SELECT ID, NAME FROM T WHERE ID IN (1, 2, 3, 4, 11, 12, 20) ORDER BY ID"),
            "1,c1;3,n3;11,NEW11;12,NEW12;20,c2;");
  EXPECT_EQ(d->FieldByName("NAME").AsString(), "n3");
  ASSERT_TRUE(d->Locate("ID", int32_t(12), 0));
  EXPECT_EQ(d->FieldByName("NAME").AsString(), "NEW12");
}

// An update finds its row by the original key, re-reads it when asked, and the check against
// other users compares the table with what this dataset read, not with what it was given since.
TEST_F(SQLiteDataSetTest, AnUpdateFindsItsRowByTheOriginalKeyAndChecksAgainstWhatWasRead) {
  run("CREATE TRIGGER up AFTER UPDATE ON T BEGIN UPDATE T SET NAME = NAME || '!' WHERE ID = new.ID "
      "AND NAME NOT LIKE '%!'; END");
  d->UpdateObject = &update;
  d->Open();
  d->Edit();
  d->FieldByName("ID").SetAsInteger(100);
  d->Post();
  EXPECT_EQ(run("SELECT ID FROM T WHERE ID IN (1, 100)"), "100;");
  EXPECT_EQ(d->FieldByName("NAME").AsString(), "n1");  // not re-read
  d->RefreshOptions = roAfterUpdate;
  edit("x");
  EXPECT_EQ(d->FieldByName("NAME").AsString(), "x!");

  d->Next();
  d->Edit();
  d->FieldByName("NAME").SetAsString("mine");
  d->PerformSQL(update.RefreshSQL, stRefresh | stCheck);  // the table still holds what was read
  run("UPDATE T SET NAME = 'theirs' WHERE ID = 2");
  EXPECT_THAT([&] { d->PerformSQL(update.RefreshSQL, stRefresh | stCheck); },
              ThrowsMessage<EDatabaseError>(StrEq("Record was changed by another user.")));
  EXPECT_EQ(d->FieldByName("NAME").AsString(), "mine");
  d->Cancel();
}

TEST_F(SQLiteDataSetTest, ADetailFollowsItsMasterAcrossTwoTables) {
  auto detail = session.CreateDataSet();
  detail->SetSQL("SELECT MASTER_ID, V FROM D");
  dataset::DataSource source;
  source.SetDataSet(d.get());
  detail->SetMasterSource(&source);
  detail->SetMasterFields("ID");
  detail->SetDetailFields("MASTER_ID");
  d->Open();
  detail->Open();
  EXPECT_EQ(detail->RecordCount(), 2);
  d->Next();
  EXPECT_EQ(detail->RecordCount(), 1);
  EXPECT_EQ(detail->FieldByName("V").AsString(), "c");
}

// The memory dataset's list-model harness with every change written through update SQL; the
// table ends holding the model's rows.
TEST_F(SQLiteDataSetTest, TheListModelHarnessHoldsWithEveryChangeWrittenToTheTable) {
  run("DELETE FROM T");
  update.SQL(ukInsert) = "INSERT INTO T VALUES (:ID, :NAME)";
  update.SQL(ukDelete) = "DELETE FROM T WHERE ID = :OLD_ID";
  d->UpdateObject = &update;
  d->Open();
  std::vector<std::pair<int, std::string>> model;
  dataaccess::testing::RunListModel(*d, dataaccess_testing::testSeed(), 300, model);
  if (HasFatalFailure()) return;
  std::sort(model.begin(), model.end());
  std::string rows;
  for (const auto& [id, name] : model) rows += std::to_string(id) + "," + name + ";";
  EXPECT_EQ(run("SELECT ID, NAME FROM T ORDER BY ID"), rows);
}

}  // namespace
