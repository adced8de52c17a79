// The data-access dataset over the scripted fake driver: fetch bounds, conditions, master/detail,
// and writing records back with update SQL.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dataaccess/dbaccess_dataset.h"
#include "tests/dataaccess/fakedriver.h"

namespace {

using namespace fakedriver;
using ::testing::Contains;
using ::testing::StrEq;
using ::testing::ThrowsMessage;
namespace ds = dataset;

class DataSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script.columns = {{"ID", dtInteger, 4}, {"NAME", dtString, 21}};
    for (int i = 1; i <= 10; ++i) script.rows.push_back({int32_t(i), "n" + std::to_string(i)});
    session.LoginPrompt = false;
    d = session.CreateDataSet();
    d->SetSQL("SELECT ID, NAME FROM T");
  }
  Script script;
  FakeSession session{script};
  std::unique_ptr<TCustomDADataSet> d;
};

TEST_F(DataSetTest, BlocksOfFetchRowsAndTheBoundsOfTheFetchSettings) {
  d->SetFetchRows(10000);
  for (int rows : {0, 10001})
    EXPECT_THAT([&] { d->SetFetchRows(rows); },
                ThrowsMessage<EDatabaseError>(StrEq("FetchRows must be 1..10000.")));
  EXPECT_EQ(d->FetchRows(), 10000);  // a refused value changes nothing
  d->SetFetchRows(1);
  d->SetFetchRows(3);
  d->Open();
  EXPECT_EQ(d->RowsAffected(), -1);
  EXPECT_EQ(d->RecordCount(), 3);
  int n = 0;
  for (; !d->Eof(); d->Next()) EXPECT_EQ(d->FieldByName("ID").AsInteger(), ++n);
  EXPECT_EQ(n, 10);
  d->SetUniDirectional(true);
  EXPECT_FALSE(d->Active());
  d->SetFetchAll(true);
  EXPECT_FALSE(d->UniDirectional());
  d->Open();
  EXPECT_EQ(d->RecordCount(), 10);
  d->SetUniDirectional(true);
  EXPECT_FALSE(d->FetchAll());
}

// A dataset whose driver tells how many rows the server holds.
struct CountingDataSet : TCustomDADataSet {
  int GetRecCount() override {
    ++asked;
    return 10;
  }
  int asked = 0;
};

TEST_F(DataSetTest, TheServerCountStandsInForRowsNotYetFetched) {
  CountingDataSet c;
  c.SetConnection(&session);
  c.SetSQL("SELECT ID, NAME FROM T");
  c.SetFetchRows(3);
  c.Open();
  EXPECT_EQ(c.RecordCount(), 3);  // not asked for
  EXPECT_EQ(c.asked, 0);
  c.Close();
  c.Options().QueryRecCount = true;
  c.Open();
  EXPECT_EQ(c.asked, 1);
  EXPECT_EQ(c.RecordCount(), 10);
  for (int i = 0; i < 3; ++i) c.Next();  // into the second block
  EXPECT_EQ(c.RecordCount(), 10);
  c.Refresh();
  EXPECT_EQ(c.asked, 2);
  script.rows.pop_back();  // once every row is held, the server's count no longer counts
  while (!c.Eof()) c.Next();
  EXPECT_EQ(c.RecordCount(), 9);
  // Only a driver that knows its dialect edits the clauses.
  EXPECT_EQ(c.DeleteWhere("SELECT 1 FROM T WHERE A = 1"), "");
  EXPECT_EQ(c.SetOrderBy("SELECT 1 FROM T", "A"), "");
  EXPECT_EQ(c.GetOrderBy("SELECT 1 FROM T ORDER BY A"), "");
}

TEST_F(DataSetTest, AnUpdateObjectIsBorrowedAndAReadOnlyOrOneWayDatasetTakesNoChange) {
  auto update = std::make_unique<TCustomDAUpdateSQL>();
  update->SQL(ukModify) = "UPDATE T SET NAME = :NAME WHERE ID = :OLD_ID";
  d->UpdateObject = update.get();
  d->Open();
  EXPECT_TRUE(d->CanModify());
  d->SetUniDirectional(true);
  d->Open();
  EXPECT_FALSE(d->CanModify());
  EXPECT_THROW(d->Edit(), EDatabaseError);
  d->SetUniDirectional(false);
  d->ReadOnly = true;
  d->Open();
  EXPECT_FALSE(d->CanModify());
  d->ReadOnly = false;
  update.reset();  // never told which dataset uses it
  EXPECT_EQ(d->UpdateObject, nullptr);
  d->Close();
  d->Open();
  EXPECT_FALSE(d->CanModify());
}

TEST_F(DataSetTest, OutputParametersOfAnUpdateReachTheRecordOnlyWithReturnParams) {
  TCustomDAUpdateSQL update;
  update.SQL(ukModify) = "UPDATE T SET NAME = :NAME WHERE ID = :OLD_ID";
  d->UpdateObject = &update;
  d->BeforeUpdateExecute = [](TCustomDADataSet&, uint8_t, TDAParams& params) {
    params.ParamByName("NAME").ParamType_ = ds::ptInputOutput;
    params.ParamByName("OLD_ID").ParamType_ = ds::ptInputOutput;
  };
  script.outputs["NAME"] = "from server";
  script.outputs["OLD_ID"] = int32_t(99);  // an original value never comes back
  d->Open();
  const auto edit = [&] {
    d->Edit();
    d->FieldByName("NAME").SetAsString("typed");
    d->Post();
    return d->FieldByName("NAME").AsString();
  };
  EXPECT_EQ(edit(), "typed");
  d->Options().ReturnParams = true;
  EXPECT_EQ(edit(), "from server");
  EXPECT_EQ(d->FieldByName("ID").AsInteger(), 1);
}

TEST_F(DataSetTest, ConditionsJoinTheTopLevelWhereClauseAndAMasterDrivesItsDetail) {
  d->SetSQL("SELECT ID FROM T WHERE A = 1 OR (B = 2) ORDER BY A");
  d->SetFilterSQL("C > 0");
  EXPECT_EQ(d->FinalSQL(), "SELECT ID FROM T WHERE (A = 1 OR (B = 2)) AND (C > 0) ORDER BY A");
  d->SetSQL("SELECT ID, NAME FROM T");
  d->SetFilterSQL("");

  auto detail = session.CreateDataSet();
  detail->SetSQL("SELECT ID, NAME FROM D");
  ds::DataSource source;
  source.SetDataSet(d.get());
  detail->SetMasterSource(&source);
  detail->SetMasterFields("ID;NAME");
  detail->SetDetailFields("MASTER_ID;MASTER_NAME");
  EXPECT_EQ(detail->FinalSQL(), "SELECT ID, NAME FROM D WHERE MASTER_ID = ? and MASTER_NAME = ?");
  d->Open();
  detail->Open();
  d->Next();
  EXPECT_THAT(script.take(),
              Contains("Execute SELECT ID, NAME FROM D WHERE MASTER_ID = ? and MASTER_NAME = ? "
                       "ID=2 NAME=n2"));
  EXPECT_THROW(source.SetDataSet(detail.get()), EDatabaseError);  // circular
}

}  // namespace
