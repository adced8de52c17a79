// The Oracle statement component and the session's own additions through the stand-in: output
// values, parameters released at a disconnect, non-blocking
// commands, copying a session, the NUMBER mapping switches and the end of a failover.
#include "oracle/ora_sql.h"

#include <gtest/gtest.h>

#include "oracle/ora_query.h"
#include "oracle/ora_session.h"
#include "tests/oracle/oracle_testing.h"

namespace oracle {
namespace {

namespace da = dataaccess;
namespace ds = dataset;

class FailoverSession : public TOraSession {
 public:
  using TOraSession::failover;
};

class OraSQLTest : public testing::StandInTest {
 protected:
  void SetUp() override {
    session_.LoginPrompt = false;
    session_.SetConnectString("scott/tiger@ORCL");
    sql_.SetSession(&session_);
  }
  FailoverSession session_;
  TOraSQL sql_;
};

TEST_F(OraSQLTest, OutputValuesComeBackIntoOracleParameters) {
  sql_.SetSQL("begin :doubled := :n * 2; :text := 'n=' || :n; end;");
  ASSERT_EQ(sql_.Params().Count(), 3);
  EXPECT_NE(dynamic_cast<TOraParam*>(&sql_.Params().Items(0)), nullptr);
  sql_.ParamByName("n").SetAsInteger(21);
  sql_.ParamByName("doubled").SetDataType(ds::ftInteger);
  sql_.ParamByName("doubled").ParamType_ = ds::ptOutput;
  sql_.ParamByName("text").SetDataType(ds::ftString);
  sql_.ParamByName("text").ParamType_ = ds::ptOutput;
  sql_.Execute();
  EXPECT_EQ(sql_.ParamByName("doubled").GetAsInteger(), 42);
  EXPECT_EQ(sql_.ParamByName("text").GetAsString(), "n=21");
}

TEST_F(OraSQLTest, ADisconnectReleasesWhatParametersHoldForTheConnection) {
  session_.Connect();
  sql_.SetSQL("begin :c := :c; end;");
  TOraLob* lob = sql_.ParamByName("c").GetLob();
  lob->AllocLob();
  ASSERT_NE(lob->Locator(), nullptr);
  sql_.Disconnect();
  EXPECT_EQ(lob->Locator(), nullptr);
}

TEST_F(OraSQLTest, NonBlockingReachesEveryCommandTheStatementGets) {
  sql_.SetNonBlocking(true);
  auto* command = dynamic_cast<TOCICommand*>(sql_.ICommand());
  ASSERT_NE(command, nullptr);
  EXPECT_TRUE(command->GetNonBlocking());
  TOraSession other;
  sql_.SetSession(&other);  // a new command
  command = dynamic_cast<TOCICommand*>(sql_.ICommand());
  ASSERT_NE(command, nullptr);
  EXPECT_TRUE(command->GetNonBlocking());
  TOraSQL copy;
  sql_.AssignTo(copy);
  EXPECT_TRUE(copy.GetNonBlocking());
  sql_.SetSession(&session_);
}

TEST_F(OraSQLTest, ASessionCopiesItsLoginHomeAndOptions) {
  session_.Options().SetDateFormat("YYYY-MM-DD");
  session_.Options().NeverConnect = true;
  TOraSession copy;
  session_.AssignTo(copy);
  EXPECT_EQ(copy.GetConnectString(), "scott/tiger@ORCL");
  EXPECT_EQ(copy.GetHome(), session_.GetHome());
  EXPECT_EQ(copy.Options().GetDateFormat(), "YYYY-MM-DD");
  EXPECT_TRUE(copy.Options().NeverConnect);
  auto d = copy.CreateDataSet();
  EXPECT_NE(dynamic_cast<TOraDataSet*>(d.get()), nullptr);
  EXPECT_EQ(d->Connection(), &copy);
}

TEST_F(OraSQLTest, SwitchingTheNumberMappingRebuildsTheFieldsAtTheNextOpen) {
  TOraQuery query;
  query.SetSession(&session_);
  query.SetSQL("SELECT ID, AMOUNT FROM T");
  query.Open();
  EXPECT_EQ(query.FieldByName("ID").DataType(), ds::ftInteger);
  query.Close();
  session_.Options().SetEnableIntegers(false);
  query.Open();
  EXPECT_NE(query.FieldByName("ID").DataType(), ds::ftInteger);
  query.Close();
  session_.Options().SetEnableIntegers(true);
  query.Open();
  EXPECT_EQ(query.FieldByName("ID").DataType(), ds::ftInteger);
}

TEST_F(OraSQLTest, TheEndOfAFailoverInATransactionPreparesTheDatasetsAgain) {
  TOraQuery query;
  query.SetSession(&session_);
  query.SetSQL("SELECT N FROM R WHERE N < 3 ORDER BY N");
  session_.Connect();
  query.Prepare();
  ASSERT_GE(query.IRecordSet()->GetCommand().GetCursorState(), 3);
  int state = -1, type = -1;
  session_.OnFailover = [&](TOraSession&, int s, int t, bool&) { state = s, type = t; };
  bool retry = false;
  session_.failover(1, 8, retry);  // no transaction: the statement stays
  EXPECT_GE(query.IRecordSet()->GetCommand().GetCursorState(), 3);
  EXPECT_EQ(state, 0);
  EXPECT_EQ(type, 3);
  session_.StartTransaction();
  session_.failover(1, 4, retry);
  EXPECT_EQ(query.IRecordSet()->GetCommand().GetCursorState(), 0);
  query.Open();
  EXPECT_EQ(query.RecordCount(), 2);
  session_.Rollback();
}

}  // namespace
}  // namespace oracle
