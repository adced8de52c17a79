// The Oracle dataset and query writing through the stand-in: the dataset model run over a
// query, transactions and savepoints, the record count, keys from a sequence, statements of the
// query's own and row locks between two sessions. Each outcome is read back through a session of
// its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "oracle/ora_query.h"
#include "oracle/oraerror.h"
#include "tests/dataaccess/listmodel.h"
#include "tests/oracle/oracle_testing.h"
#include "tests/platform/test_seed.h"

namespace oracle {
namespace {

namespace ds = dataset;

void logOn(TOraSession& session) {
  session.LoginPrompt = false;
  session.SetConnectString("scott/tiger@ORCL");
}

class OraDataSetTest : public testing::StandInTest {
 protected:
  void SetUp() override {
    logOn(session_);
    logOn(observer_);
    observer_.ExecSQL("DELETE FROM T");
    observer_.ExecSQL("COMMIT");
    query_.SetSession(&session_);
    query_.Name = "Query1";
  }
  void TearDown() override {
    query_.Close();
    session_.Disconnect();
  }
  // The rows of `sql` as "a,b;" texts, read by the observer's own session.
  std::string rows(const std::string& sql) {
    TOraQuery q;
    q.SetSession(&observer_);
    q.SetSQL(sql);
    q.Open();
    std::string out;
    for (; !q.Eof(); q.Next())
      for (int i = 0; i < q.FieldCount(); ++i)
        out += q.Fields(i).AsString() + (i + 1 < q.FieldCount() ? "," : ";");
    return out;
  }
  void useOwnStatements(TCustomOraQuery& q) {
    q.SetSQL("SELECT ID, NAME FROM T ORDER BY ID");
    q.SetSQLInsert("INSERT INTO T (ID, NAME) VALUES (:ID, :NAME)");
    q.SetSQLUpdate("UPDATE T SET NAME = :NAME WHERE ID = :OLD_ID");
    q.SetSQLDelete("DELETE FROM T WHERE ID = :OLD_ID");
  }
  void insertRows(int count) {
    for (int i = 1; i <= count; ++i)
      observer_.ExecSQL("INSERT INTO T (ID, NAME) VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i) +
                        "')");
    observer_.ExecSQL("COMMIT");
  }

  TOraSession session_, observer_;
  TOraQuery query_;
};

TEST_F(OraDataSetTest, TheDatasetModelHoldsOverAQueryWritingThroughItsOwnStatements) {
  useOwnStatements(query_);
  query_.Open();
  std::vector<std::pair<int, std::string>> model;
  dataaccess::testing::RunListModel(query_, platform::testing::testSeed(), 150, model);
  if (HasFatalFailure()) return;
  std::sort(model.begin(), model.end());
  std::string expected;
  for (const auto& [id, name] : model) expected += std::to_string(id) + "," + name + ";";
  EXPECT_EQ(rows("SELECT ID, NAME FROM T ORDER BY ID"), expected);
}

TEST_F(OraDataSetTest, AUserTransactionKeepsPostsUntilCommitAndSavepointsUndoTheirTail) {
  insertRows(2);
  useOwnStatements(query_);
  query_.Open();
  session_.StartTransaction();
  query_.Edit();
  query_.FieldByName("NAME").SetAsString("first");
  query_.Post();
  session_.Savepoint("AFTER_FIRST");
  query_.Next();
  query_.Delete();
  EXPECT_EQ(rows("SELECT ID, NAME FROM T ORDER BY ID"), "1,n1;2,n2;");  // nothing committed yet
  session_.RollbackToSavepoint("AFTER_FIRST");
  session_.Commit();
  EXPECT_EQ(rows("SELECT ID, NAME FROM T ORDER BY ID"), "1,first;2,n2;");
}

TEST_F(OraDataSetTest, RecordCountOfAPartlyFetchedQueryIsCountedByTheServerWithItsParameters) {
  query_.SetSQL("SELECT N, NAME FROM R WHERE N <= :last ORDER BY N DESC");
  query_.ParamByName("last").SetAsInteger(42);
  query_.SetFetchRows(5);
  query_.OptionsDS().QueryRecCount = true;
  query_.Open();
  EXPECT_FALSE(query_.Fetched());
  EXPECT_EQ(query_.RecordCount(), 42);
  EXPECT_EQ(query_.FieldByName("N").AsInteger(), 42);
  query_.SetFilterSQL("N > 40");
  query_.Open();
  EXPECT_EQ(query_.GetRecCount(), 2);
}

TEST_F(OraDataSetTest, KeysComeFromTheSequenceOnInsertOrOnlyAtPost) {
  useOwnStatements(query_);
  query_.SetKeyFields("ID");
  query_.SetKeySequence(" T_SEQ ");
  query_.SequenceMode = smInsert;
  query_.Open();
  EXPECT_FALSE(query_.FieldByName("ID").Required);
  query_.Append();
  const int first = query_.FieldByName("ID").AsInteger();
  EXPECT_GE(first, 100);
  query_.FieldByName("NAME").SetAsString("a");
  query_.Post();
  query_.Append();
  EXPECT_EQ(query_.FieldByName("ID").AsInteger(), first + 1);
  query_.Cancel();  // a sequence step is never given back
  query_.Close();

  // At post, only when no insert statement is given: the key goes into the record.
  query_.SetSQLInsert("");
  query_.SequenceMode = smPost;
  dataaccess::TCustomDAUpdateSQL update;
  update.SQL(dataaccess::ukModify) = "UPDATE T SET NAME = :NAME WHERE ID = :OLD_ID";
  query_.UpdateObject = &update;
  update.SetDataSet(&query_);
  query_.Open();
  query_.Append();
  EXPECT_TRUE(query_.FieldByName("ID").IsNull());
  query_.FieldByName("NAME").SetAsString("b");
  query_.Post();
  EXPECT_EQ(query_.FieldByName("ID").AsInteger(), first + 2);
  query_.UpdateObject = nullptr;
  EXPECT_EQ(rows("SELECT ID, NAME FROM T ORDER BY ID"), std::to_string(first) + ",a;");
}

TEST_F(OraDataSetTest, AQueryWithoutItsStatementRefusesTheEditSilently) {
  insertRows(1);
  query_.SetSQL("SELECT ID, NAME FROM T");
  query_.Open();
  EXPECT_FALSE(query_.CanModify());
  query_.Close();
  query_.SetSQLInsert("INSERT INTO T (ID, NAME) VALUES (:ID, :NAME)");
  query_.Open();
  EXPECT_TRUE(query_.CanModify());
  EXPECT_THROW(query_.Edit(), ds::EAbort);
  EXPECT_EQ(query_.State(), ds::dsBrowse);
  EXPECT_THROW(query_.Delete(), ds::EAbort);
  query_.Append();
  EXPECT_EQ(query_.State(), ds::dsInsert);
  query_.Cancel();
  query_.OptionsDS().SetScrollableCursor(true);
  EXPECT_FALSE(query_.CanModify());
}

TEST_F(OraDataSetTest, ARefreshGivenAsAConditionRereadsTheRecordWithTheQuerysOwnSelect) {
  insertRows(3);
  query_.SetSQL("SELECT ID, NAME FROM T ORDER BY ID");
  query_.SetSQLRefresh("WHERE ID = :ID");
  EXPECT_EQ(query_.GetRefreshSQL(), "SELECT ID, NAME FROM T\rWHERE ID = :ID ORDER BY ID");
  query_.Open();
  query_.Next();
  observer_.ExecSQL("UPDATE T SET NAME = 'changed' WHERE ID = 2");
  observer_.ExecSQL("COMMIT");
  query_.RefreshRecord();
  EXPECT_EQ(query_.FieldByName("NAME").AsString(), "changed");
  EXPECT_EQ(query_.FieldByName("ID").AsInteger(), 2);
}

TEST_F(OraDataSetTest, ARefreshByRowidRereadsTheRowTheRecordCameFromAndAPostKeepsItsRowid) {
  insertRows(3);
  query_.SetSQL("SELECT ROWID, ID, NAME FROM T ORDER BY ID");
  query_.SetSQLRefresh("WHERE ROWID = :ROWID");
  query_.SetSQLUpdate("UPDATE T SET NAME = :NAME WHERE ROWID = :OLD_ROWID");
  query_.Open();
  ASSERT_NE(query_.RowIdField(), nullptr);
  EXPECT_FALSE(query_.RowIdField()->Visible);
  query_.Next();
  const std::string rowId = query_.RowIdField()->AsString();
  EXPECT_FALSE(rowId.empty());
  // The row's id changes; its ROWID does not.
  observer_.ExecSQL("UPDATE T SET ID = 20, NAME = 'moved' WHERE ID = 2");
  observer_.ExecSQL("COMMIT");
  query_.RefreshRecord();
  EXPECT_EQ(query_.FieldByName("ID").AsInteger(), 20);
  EXPECT_EQ(query_.FieldByName("NAME").AsString(), "moved");
  EXPECT_EQ(query_.RowIdField()->AsString(), rowId);
  query_.Edit();
  query_.FieldByName("NAME").SetAsString("by rowid");
  query_.Post();
  EXPECT_EQ(query_.RowIdField()->AsString(), rowId);
  EXPECT_EQ(rows("SELECT ID, NAME FROM T ORDER BY ID"), "1,n1;3,n3;20,by rowid;");
}

TEST_F(OraDataSetTest, LobRowsAreReadEditedAndClosedWithEveryLobReleased) {
  query_.SetSQL("SELECT ID, BODY, DATA FROM LOBS ORDER BY ID");
  query_.SetSQLUpdate("UPDATE LOBS SET ID = :ID WHERE ID = :OLD_ID");
  query_.Open();
  std::string bodies;
  for (; !query_.Eof(); query_.Next()) bodies += query_.FieldByName("BODY").AsString() + ";";
  EXPECT_EQ(bodies, "first clob text;;third;");
  query_.First();
  query_.Edit();
  query_.FieldByName("ID").SetAsInteger(7);
  query_.Cancel();
  query_.Edit();
  query_.FieldByName("ID").SetAsInteger(7);
  query_.Post();
  EXPECT_EQ(query_.FieldByName("BODY").AsString(), "first clob text");
  query_.Close();
  EXPECT_EQ(rows("SELECT ID FROM LOBS ORDER BY ID"), "2;3;7;");
  observer_.ExecSQL("UPDATE LOBS SET ID = 1 WHERE ID = 7");
  observer_.ExecSQL("COMMIT");
}

TEST_F(OraDataSetTest, ALockOnEditMakesASecondSessionWaitUntilThePostCommits) {
  insertRows(2);
  useOwnStatements(query_);
  query_.LockMode = lmLockImmediate;
  query_.SetSQLLock("UPDATE T SET NAME = NAME WHERE ID = :OLD_ID");
  query_.Open();
  query_.Edit();  // takes the row lock under LOCK_Query1

  TOraSession otherSession;
  logOn(otherSession);
  TOraQuery other;
  other.SetSession(&otherSession);
  other.Name = "Other";
  useOwnStatements(other);
  other.LockMode = lmLockImmediate;
  other.SetSQLLock("UPDATE T SET NAME = NAME WHERE ID = :OLD_ID");
  other.Open();
  auto edit = std::async(std::launch::async, [&] { other.Edit(); });
  EXPECT_EQ(edit.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  query_.FieldByName("NAME").SetAsString("mine");
  query_.Post();  // commits, which releases the lock
  edit.get();
  EXPECT_EQ(other.State(), ds::dsEdit);
  other.Cancel();
  EXPECT_EQ(rows("SELECT ID, NAME FROM T ORDER BY ID"), "1,mine;2,n2;");
}

TEST_F(OraDataSetTest, ALockHeldTooLongFailsTheEditWithTheServersErrorAndCancelGoesBack) {
  insertRows(1);
  useOwnStatements(query_);
  query_.LockMode = lmLockImmediate;
  query_.SetSQLLock("UPDATE T SET NAME = NAME WHERE ID = :OLD_ID");
  query_.Open();
  query_.Edit();

  TOraSession otherSession;
  logOn(otherSession);
  TOraQuery other;
  other.SetSession(&otherSession);
  useOwnStatements(other);
  other.LockMode = lmLockImmediate;
  other.SetSQLLock("UPDATE T SET NAME = 'x' WHERE ID = :OLD_ID");
  other.Open();
  try {
    other.Edit();
    FAIL();
  } catch (const EOraError& e) {
    EXPECT_EQ(e.ErrorCode, 54);
  }
  EXPECT_EQ(other.State(), ds::dsBrowse);
  query_.FieldByName("NAME").SetAsString("dropped");
  query_.Cancel();
  EXPECT_EQ(query_.FieldByName("NAME").AsString(), "n1");
  session_.Rollback();
  other.Edit();
  other.Post();
  EXPECT_EQ(rows("SELECT ID, NAME FROM T ORDER BY ID"), "1,n1;");
}

TEST_F(OraDataSetTest, FieldOriginsComeFromTheTextAndForStarsOfAJoinFromTheDictionary) {
  query_.OptionsDS().FieldsOrigin = true;
  auto origins = [&](const std::string& sql) {
    query_.Close();
    query_.SetSQL(sql);
    query_.Open();
    std::string out;
    for (int i = 0; i < query_.FieldCount(); ++i) out += query_.Fields(i).Origin + ";";
    return out;
  };
  EXPECT_EQ(origins("SELECT * FROM T"), "T.ID;T.NAME;T.AMOUNT;T.BIG;T.HIRED;T.BYTES;");
  EXPECT_EQ(origins("SELECT * FROM R, T WHERE 1 = 0"),
            "R.N;R.NAME;R.D;T.ID;T.NAME;T.AMOUNT;T.BIG;T.HIRED;T.BYTES;");
  EXPECT_EQ(origins("SELECT b.*, a.* FROM T a, R b WHERE 1 = 0"),
            "R.N;R.NAME;R.D;T.ID;T.NAME;T.AMOUNT;T.BIG;T.HIRED;T.BYTES;");
  // Aliases name the fields; an expression has no origin; a bare column of a join is looked up.
  EXPECT_EQ(origins("SELECT a.ID, b.N AS x, a.NAME || 'x' e, D FROM T a, R b WHERE 1 = 0"), "T.ID;R.N;;R.D;");
}

TEST_F(OraDataSetTest, ColumnDefaultsBecomeTheFieldsDefaultExpressions) {
  query_.OptionsDS().DefaultValues = true;
  useOwnStatements(query_);
  query_.SetSQL("SELECT ID, STATUS, N FROM DEFS");
  query_.SetSQLInsert("INSERT INTO DEFS (ID, STATUS, N) VALUES (:ID, :STATUS, :N)");
  query_.Open();
  EXPECT_EQ(query_.FieldByName("STATUS").DefaultExpression, "NEW");
  EXPECT_EQ(query_.FieldByName("N").DefaultExpression, "7");
  query_.Append();
  EXPECT_EQ(query_.FieldByName("STATUS").AsString(), "NEW");
  EXPECT_EQ(query_.FieldByName("N").AsInteger(), 7);
  query_.Cancel();
}

TEST_F(OraDataSetTest, BeforeFetchMayStopTheFetchAndAfterFetchHearsEachBlock) {
  query_.SetSQL("SELECT N FROM R ORDER BY N");
  query_.SetFetchRows(5);
  int blocks = 0;
  query_.AfterFetch = [&](TOraDataSet&) { ++blocks; };
  query_.BeforeFetch = [&](TOraDataSet&, bool& cancel) { cancel = blocks >= 2; };
  query_.Open();
  query_.Last();
  EXPECT_EQ(blocks, 2);
  EXPECT_EQ(query_.FieldByName("N").AsInteger(), 10);
  EXPECT_EQ(query_.RecordCount(), 10);
  query_.BeforeFetch = nullptr;
  query_.Close();
  query_.Open();
  query_.Last();
  EXPECT_EQ(query_.RecordCount(), 60);
}

TEST_F(OraDataSetTest, TheOlderOptionSetAndRefreshModeReadAndWriteTheirMembers) {
  const uint8_t defaults = (1 << doRequiredFields) | (1 << doStrictUpdate) | (1 << doLongStrings);
  EXPECT_EQ(query_.GetOptions(), defaults);
  query_.SetOptions((1 << doQueryRecCount) | (1 << doAutoClose) | (1 << doDefaultValue));
  EXPECT_TRUE(query_.OptionsDS().QueryRecCount && query_.OptionsDS().AutoClose() &&
              query_.OptionsDS().DefaultValues);
  EXPECT_FALSE(query_.OptionsDS().RequiredFields || query_.OptionsDS().LongStrings());
  query_.SetRefreshMode(rmAlways);
  EXPECT_EQ(query_.RefreshOptions, dataaccess::roAfterInsert | dataaccess::roAfterUpdate);
  query_.RefreshOptions = dataaccess::roAfterUpdate;
  EXPECT_EQ(query_.RefreshMode(), rmAfterUpdate);
  TOraQuery copy;
  query_.SetSQLUpdate("UPDATE T SET NAME = :NAME WHERE ID = :OLD_ID");
  query_.SetKeyFields("ID;NAME");
  query_.LockMode = lmLockDelayed;
  query_.AssignTo(copy);
  EXPECT_EQ(copy.SQLUpdate(), query_.SQLUpdate());
  EXPECT_EQ(copy.KeyFieldNames(), (std::vector<std::string>{"ID", "NAME"}));
  EXPECT_EQ(copy.LockMode, lmLockDelayed);
  EXPECT_EQ(copy.GetOptions(), query_.GetOptions());
}

TEST_F(OraDataSetTest, WithReturnParamsWhatTheStatementSetsComesBackIntoTheRecord) {
  insertRows(1);
  useOwnStatements(query_);
  query_.SetSQLUpdate(
      "begin UPDATE T SET NAME = upper(:NAME) WHERE ID = :OLD_ID; :NAME := upper(:NAME); end;");
  query_.OptionsDS().StrictUpdate = false;
  query_.SetReturnParams(true);
  query_.Open();
  query_.Edit();
  query_.FieldByName("NAME").SetAsString("shout");
  query_.Post();
  EXPECT_EQ(query_.FieldByName("NAME").AsString(), "SHOUT");
  EXPECT_EQ(rows("SELECT ID, NAME FROM T"), "1,SHOUT;");
}

TEST_F(OraDataSetTest, ALockClauseAloneLocksWithTheRefreshSelectAndCancelGoesBackToTheSavepoint) {
  insertRows(2);
  useOwnStatements(query_);
  query_.SetSQLRefresh("WHERE ID = :ID");
  query_.SetSQLLock("for update nowait");
  query_.LockMode = lmLockImmediate;
  EXPECT_EQ(query_.GetLockSQL(), "SELECT ID, NAME FROM T\rWHERE ID = :ID ORDER BY ID\rfor update nowait");
  query_.Open();
  query_.Next();
  query_.Edit();
  EXPECT_EQ(query_.State(), ds::dsEdit);
  query_.FieldByName("NAME").SetAsString("x");
  query_.Cancel();  // rolls back to LOCK_Query1, which the lock set
  EXPECT_EQ(query_.FieldByName("NAME").AsString(), "n2");
  query_.Edit();
  query_.FieldByName("NAME").SetAsString("y");
  query_.Post();
  EXPECT_EQ(rows("SELECT ID, NAME FROM T ORDER BY ID"), "1,n1;2,y;");
}

TEST_F(OraDataSetTest, MacrosOfTheQuerysStatementsStayKnownWhenItsTextChanges) {
  insertRows(1);
  useOwnStatements(query_);
  query_.SetSQLUpdate("UPDATE &target SET NAME = :NAME WHERE ID = :OLD_ID");
  query_.SetSQL("SELECT ID, NAME FROM T");
  query_.Macros().MacroByName("target").SetValue("T");
  EXPECT_EQ(query_.GetModifySQL(), "UPDATE T SET NAME = :NAME WHERE ID = :OLD_ID");
  query_.Open();
  query_.Edit();
  query_.FieldByName("NAME").SetAsString("m");
  query_.Post();
  EXPECT_EQ(rows("SELECT ID, NAME FROM T"), "1,m;");
}

}  // namespace
}  // namespace oracle
