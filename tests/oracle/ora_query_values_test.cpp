// The Oracle query over columns whose rows hold value objects (NUMBER kept exact with
// EnableNumbers, TIMESTAMP, INTERVAL): read, edited, posted and closed through the stand-in, every
// object released (the suite runs under LeakSanitizer) and the written values read back.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "oracle/ora_query.h"
#include "platform/scopeguard.h"
#include "tests/oracle/oracle_testing.h"

namespace oracle {
namespace {

class OraQueryValuesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder() = std::make_unique<platform::testing::TempFolder>();
    const std::filesystem::path seed = std::filesystem::path(ORACLE_TEST_SEED).parent_path() / "types.seed";
    testing::seedStandInServer(*folder(), seed.string());
  }
  static void TearDownTestSuite() {
    FreeOCI();
    folder().reset();
  }
  static std::unique_ptr<platform::testing::TempFolder>& folder() {
    static std::unique_ptr<platform::testing::TempFolder> server;
    return server;
  }
  void SetUp() override {
    for (TOraSession* s : {&session_, &observer_}) {
      s->LoginPrompt = false;
      s->SetConnectString("scott/tiger@ORCL");
      s->Options().SetEnableNumbers(true);
    }
    query_.SetSession(&session_);
  }
  void TearDown() override {
    query_.Close();
    session_.Disconnect();
    observer_.Disconnect();
  }
  // Field `field` of the rows of `sql`, as text, read through the observer's own session.
  std::string column(const std::string& sql, const std::string& field) {
    TOraQuery q;
    q.SetSession(&observer_);
    q.SetSQL(sql);
    q.Open();
    std::string out;
    for (; !q.Eof(); q.Next()) out += q.FieldByName(field).AsString() + ";";
    return out;
  }

  TOraSession session_, observer_;
  TOraQuery query_;
};

TEST_F(OraQueryValuesTest, AnExactNumberIsReadEditedAndPostedWithoutLosingDigitsOrObjects) {
  query_.SetSQL("SELECT ID, BIG, AMT FROM NUMS ORDER BY ID");
  query_.SetSQLUpdate("UPDATE NUMS SET BIG = :BIG, AMT = :AMT WHERE ID = :OLD_ID");
  query_.SetSQLInsert("INSERT INTO NUMS (ID, BIG, AMT) VALUES (:ID, :BIG, :AMT)");
  query_.Open();
  EXPECT_EQ(query_.FieldByName("BIG").AsString(), "123456789012345678901234567890");
  EXPECT_EQ(query_.FieldByName("AMT").AsString(), "1.5");

  query_.Edit();
  query_.FieldByName("BIG").SetAsString("987654321098765432109876543210");
  // Cancelled edits leave the row's value as it was.
  query_.Cancel();
  EXPECT_EQ(query_.FieldByName("BIG").AsString(), "123456789012345678901234567890");

  query_.Edit();
  query_.FieldByName("BIG").SetAsString("987654321098765432109876543210");
  query_.FieldByName("AMT").SetAsString("2.25");
  query_.Post();
  EXPECT_EQ(query_.FieldByName("BIG").AsString(), "987654321098765432109876543210");

  query_.Append();
  query_.FieldByName("ID").SetAsInteger(2);
  query_.FieldByName("BIG").SetAsString("111111111111111111111111111111");
  query_.Post();
  query_.Close();
  EXPECT_EQ(column("SELECT ID, BIG FROM NUMS ORDER BY ID", "BIG"),
            "987654321098765432109876543210;111111111111111111111111111111;");
  EXPECT_EQ(column("SELECT ID, AMT FROM NUMS WHERE ID = 1", "AMT"), "2.25;");
  observer_.ExecSQL("DELETE FROM NUMS WHERE ID = 2");
  observer_.ExecSQL("COMMIT");
}

TEST_F(OraQueryValuesTest, WholeNumbersOfTenToEighteenDigitsAreReadAndPostedExactly) {
  // Without NUMBER values these columns are 64-bit integers in the record.
  session_.Options().SetEnableNumbers(false);
  query_.SetSQL("SELECT ID, N10, N18 FROM WHOLE ORDER BY ID");
  query_.SetSQLUpdate("UPDATE WHOLE SET N10 = :N10, N18 = :N18 WHERE ID = :OLD_ID");
  query_.Open();
  EXPECT_EQ(query_.FieldByName("N10").AsString(), "9999999999");
  EXPECT_EQ(query_.FieldByName("N18").AsString(), "999999999999999999");
  query_.Next();
  EXPECT_EQ(query_.FieldByName("N10").AsString(), "-2147483649");
  EXPECT_EQ(query_.FieldByName("N18").AsString(), "-999999999999999999");
  query_.Edit();
  query_.FieldByName("N18").SetAsString("-123456789012345678");
  query_.Post();
  query_.Close();
  EXPECT_EQ(column("SELECT ID, N10, N18 FROM WHOLE ORDER BY ID", "N18"),
            "999999999999999999;-123456789012345678;");
  EXPECT_EQ(column("SELECT ID, N10, N18 FROM WHOLE ORDER BY ID", "N10"), "9999999999;-2147483649;");
}

TEST_F(OraQueryValuesTest, WholeNumbersPastTheDoublesExactRangeAreFoundAndInsertedExactly) {
  // Neighbours past 2^53 are one double: a road through one would mistake or change them.
  session_.Options().SetEnableNumbers(false);
  query_.SetSQL("SELECT ID, N10, N18 FROM WHOLE ORDER BY ID");
  query_.SetSQLInsert("INSERT INTO WHOLE (ID, N10, N18) VALUES (:ID, :N10, :N18)");
  query_.SetSQLDelete("DELETE FROM WHOLE WHERE ID = :OLD_ID");
  query_.Open();
  // The other test of this table may change the second row's N18: that row is found by N10.
  EXPECT_FALSE(query_.Locate("N18", dataset::Variant(int64_t(999999999999999998)), 0));
  EXPECT_FALSE(query_.Locate("N18", dataset::Variant("999999999999999998"), 0));
  EXPECT_TRUE(query_.Locate("N10", dataset::Variant("-2147483649"), 0));
  EXPECT_EQ(query_.FieldByName("ID").AsString(), "2");
  EXPECT_TRUE(query_.Locate("N18", dataset::Variant(int64_t(999999999999999999)), 0));
  EXPECT_EQ(query_.FieldByName("ID").AsString(), "1");
  EXPECT_TRUE(query_.Locate("N18", dataset::Variant("999999999999999999"), 0));
  query_.Append();
  query_.FieldByName("ID").SetValue(dataset::Variant(int32_t(3)));
  query_.FieldByName("N10").SetValue(dataset::Variant(int64_t(-9999999999)));
  query_.FieldByName("N18").SetValue(dataset::Variant(int64_t(-9007199254740993)));
  query_.Post();
  EXPECT_EQ(query_.FieldByName("N18").AsString(), "-9007199254740993");
  EXPECT_EQ(column("SELECT N18 FROM WHOLE WHERE ID = 3", "N18"), "-9007199254740993;");
  EXPECT_EQ(column("SELECT N10 FROM WHOLE WHERE ID = 3", "N10"), "-9999999999;");
  query_.Delete();
  query_.Close();
  EXPECT_EQ(column("SELECT ID FROM WHOLE", "ID"), "1;2;");
}

TEST_F(OraQueryValuesTest, ATimestampAndAnIntervalAreEditedThroughTheirOwnCopies) {
  query_.SetSQL("SELECT ID, TS, IDS FROM TIMES WHERE ID = 1");
  query_.SetSQLUpdate("UPDATE TIMES SET TS = :TS, IDS = :IDS WHERE ID = :OLD_ID");
  query_.Open();
  const std::string before = query_.FieldByName("TS").AsString();
  const std::string interval = query_.FieldByName("IDS").AsString();

  query_.Edit();
  query_.FieldByName("TS").SetAsDateTime(Variant("2025-03-01 08:09:10").asDateTime());
  query_.FieldByName("IDS").SetAsString("+09 00:00:00.000000");
  query_.Cancel();
  EXPECT_EQ(query_.FieldByName("TS").AsString(), before);
  EXPECT_EQ(query_.FieldByName("IDS").AsString(), interval);

  query_.Edit();
  query_.FieldByName("TS").SetAsString("01.03.2025 08:09:10.250000");
  query_.FieldByName("IDS").SetAsString("+03 04:05:06.250000");
  query_.Post();
  // The fraction of a second goes over with the value, read back in the field's own format.
  const std::string after = query_.FieldByName("TS").AsString();
  EXPECT_EQ(after, "01.03.2025 08:09:10.250000");
  const std::string changed = query_.FieldByName("IDS").AsString();
  EXPECT_NE(changed, interval);
  query_.Close();
  EXPECT_EQ(column("SELECT ID, TS FROM TIMES WHERE ID = 1", "TS"), after + ";");
  EXPECT_EQ(column("SELECT ID, IDS FROM TIMES WHERE ID = 1", "IDS"), changed + ";");
}

TEST_F(OraQueryValuesTest, ValuesHeldAcrossAnotherHomeAreForgottenWithTheUnloadedClient) {
  query_.SetSQL("SELECT ID, TS, IDS FROM TIMES WHERE TS > :SINCE");
  TOraParam& since = static_cast<TOraParam&>(query_.ParamByName("SINCE"));
  since.SetDataType(dataaccess::ftTimeStamp);
  since.SetAsString("01.01.2000 00:00:00.000000");
  query_.Open();
  const std::string ts = query_.FieldByName("TS").AsString();
  const std::string ds = query_.FieldByName("IDS").AsString();
  // Parameters of no component: no disconnection releases their values.
  auto kept = std::make_unique<TOraParam>(), dropped = std::make_unique<TOraParam>(),
       lob = std::make_unique<TOraParam>();
  for (TOraParam* p : {kept.get(), dropped.get()}) {
    p->SetDataType(dataaccess::ftIntervalDS);
    p->SetAsString("+01 00:00:00.000000");
  }
  TOraInterval* held = new TOraInterval(dtIntervalDS);
  TOraInterval* copy = new TOraInterval(dtIntervalDS);
  platform::ScopeExit release([held, copy] {
    held->Release();
    copy->Release();
  });
  held->SetAsString("+03 00:00:00.000000");
  lob->SetDataType(dataset::ftOraClob);
  lob->GetLob()->AllocLob();
  lob->GetLob()->Write(0, 4, "text");

  // Their descriptors and locators went with the client's environment: forgotten, never freed.
  session_.SetHome(ohHome5);
  ASSERT_FALSE(OCILoaded());
  EXPECT_TRUE(kept->IsNull());
  dropped.reset();
  query_.Close();
  EXPECT_EQ(lob->GetLob()->AsString(), "text");
  lob.reset();
  session_.SetHome(ohDefault);

  EXPECT_TRUE(kept->IsNull());
  held->AssignTo(*copy);
  EXPECT_TRUE(copy->IsNull());
  EXPECT_EQ(copy->AsString(), "");
  kept->SetAsString("+02 00:00:00.000000");
  EXPECT_EQ(kept->GetAsString(), "+02 00:00:00.000000");
  since.SetAsString("01.01.2000 00:00:00.000000");
  query_.Open();
  ASSERT_FALSE(query_.Eof());
  EXPECT_EQ(query_.FieldByName("TS").AsString(), ts);
  EXPECT_EQ(query_.FieldByName("IDS").AsString(), ds);
}

}  // namespace
}  // namespace oracle
