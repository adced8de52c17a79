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
  for (int rows : {0, 10001})
    EXPECT_THAT([&] { d->SetFetchRows(rows); },
                ThrowsMessage<EDatabaseError>(StrEq("FetchRows must be 1..10000.")));
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
