// The SQL component and macros over the scripted fake driver.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dataaccess/dbaccess_sql.h"
#include "tests/dataaccess/fakedriver.h"

namespace {

using namespace fakedriver;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;
namespace ds = dataset;

std::vector<std::string> names(const TDAParams& params) {
  std::vector<std::string> out;
  for (int i = 0; i < params.Count(); ++i) out.push_back(params.Items(i).Name);
  return out;
}

TEST(ParseSQLParamsTest, MarkersOutsideQuotesAndCommentsBecomeOneParameterPerName) {
  TCustomDASQL sql;
  struct Case {
    const char* text;
    const char* driverText;
    std::vector<std::string> params;
  };
  for (const Case& c : std::vector<Case>{
           {"SELECT * FROM T WHERE A = :A AND B = :B", "SELECT * FROM T WHERE A = ? AND B = ?", {"A", "B"}},
           {"SELECT ':X' FROM DUAL", "SELECT ':X' FROM DUAL", {}},
           {"SELECT :@p FROM T", "SELECT ? FROM T", {"@p"}},
           {"SELECT :A, :a, :1 FROM T", "SELECT ?, ?, ? FROM T", {"A", "1"}},
           {"SELECT 1 -- it's :X\nFROM T WHERE Y = :Y /* :Z */", "SELECT 1 \nFROM T WHERE Y = ? ", {"Y"}},
           {"BEGIN x := 1; END;", "BEGIN x := 1; END;", {}}}) {
    TDAParams params;
    std::string result;
    sql.ParseSQLParams(c.text, &params, result);
    EXPECT_EQ(result, c.driverText) << c.text;
    EXPECT_EQ(names(params), c.params) << c.text;
  }
}

class SQLTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session.LoginPrompt = false;
    sql = session.CreateSQL();
  }
  Script script;
  FakeSession session{script};
  std::unique_ptr<TCustomDASQL> sql;
};

TEST_F(SQLTest, ARepeatedNameIsBoundAtEveryPlaceAndOutputsComeBack) {
  sql->SetSQL("UPDATE T SET A = :A, B = :B WHERE A <> :a");
  sql->ParamByName("A").SetAsInteger(1);
  sql->ParamByName("B").SetAsString("x");
  sql->SetSQL("UPDATE T SET A = :A, B = :B WHERE A <> :a");  // the same text keeps the values
  sql->ParamByName("B").ParamType_ = ds::ptInputOutput;
  script.outputs["B"] = "y";
  bool after = false;
  sql->AfterExecute = [&](TCustomDASQL&, bool ok) { after = ok; };
  sql->Execute();
  EXPECT_THAT(script.take(), Contains("Execute UPDATE T SET A = ?, B = ? WHERE A <> ? A=1 B=x A=1"));
  EXPECT_TRUE(after);
  EXPECT_EQ(sql->ParamValues("B;A").asArray(), (std::vector<Variant>{"y", int32_t(1)}));

  // Still running on the driver's thread: a second run is refused, not skipped as done.
  script.background = true;
  sql->Execute();
  EXPECT_THAT([&] { sql->Execute(); },
              ThrowsMessage<EDatabaseError>(StrEq("The statement is still executing.")));
  while (sql->Executing()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST_F(SQLTest, MacrosExpandInPlaceAndANewDriverReachesEveryStatement) {
  sql->SetSQL("SELECT '&X' FROM T &COND &OTHER");
  ASSERT_EQ(sql->Macros().Count(), 2);
  sql->Macros().MacroByName("cond").SetValue("WHERE A = :A");
  EXPECT_EQ(sql->FinalSQL(), "SELECT '&X' FROM T WHERE A = ? ");
  EXPECT_EQ(sql->GetParamCount(), 1);
  sql->Macros().MacroByName("COND").SetActive(false);
  EXPECT_EQ(sql->FinalSQL(), "SELECT '&X' FROM T  ");
  EXPECT_THAT([&] { sql->Macros().MacroByName("NOPE"); },
              ThrowsMessage<EDatabaseError>(StrEq("Macro NOPE not found.")));
  sql->SetSQL("SELECT 1");
  EXPECT_EQ(sql->Macros().Count(), 0);

  session.SetIConnection(std::make_unique<FakeConnection>(script));
  ASSERT_NE(sql->ICommand(), nullptr);
  EXPECT_EQ(sql->ICommand()->GetConnection(), session.IConnection());
  auto other = std::make_unique<FakeSession>(script);
  auto orphan = other->CreateSQL();
  other.reset();
  EXPECT_EQ(orphan->Connection(), nullptr);
  EXPECT_THAT([&] { orphan->Execute(); }, ThrowsMessage<EDatabaseError>(StrEq("Connection is not defined.")));
}

}  // namespace
