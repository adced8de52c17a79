// The old call style against the stand-in server: a session over a logon data area, statements
// over a cursor data area with their binds, arrays, LONG pieces both ways, errors and ROWIDs.
#include <gtest/gtest.h>

#include <string>

#include "oracle/oraclasses.h"
#include "oracle/oraerror.h"
#include "tests/oracle/oracle_testing.h"

namespace oracle {
namespace {

using namespace dataaccess;

class OldCallStyleTest : public testing::StandInTest {
 protected:
  void TearDown() override {
    connection_.reset();
    FreeOCI();
  }
  TOCIConnection& connect(uint8_t style = OCI73) {
    connection_ = std::make_unique<TOCIConnection>();
    connection_->SetOCICallStyle(style);
    connection_->SetUsername("scott");
    connection_->SetPassword("tiger");
    connection_->SetServer("ORCL");
    connection_->Connect("");
    return *connection_;
  }
  std::unique_ptr<TOCICommand> command(const std::string& sql) {
    auto c = std::make_unique<TOCICommand>();
    c->SetConnection(connection_.get());
    c->SetSQL(sql);
    return c;
  }
  // The NAME of row `id` of T, read back through a block.
  std::string nameOf(int id) {
    auto read = command("begin select name into :n from t where id = :i; end;");
    read->Param(0).SetDataType(dtString);
    read->Param(0).SetSize(41);
    read->Param(0).SetParamType(2);
    read->Param(1).SetDataType(dtInteger);
    read->Param(1).SetParamType(1);
    read->Param(1).SetValue(Variant(int32_t(id)));
    read->Execute(1);
    return read->Param(0).GetValue().asString();
  }

  std::unique_ptr<TOCIConnection> connection_;
};

TEST_F(OldCallStyleTest, ASessionOverTheLogonAreaRunsStatementsWithTheirBinds) {
  TOCIConnection& c = connect();
  EXPECT_EQ(c.GetOCICallStyleCommand(), OCI73);
  EXPECT_TRUE(OCI7Threaded);  // the thread set-up ran with the first old-style session
  EXPECT_NE(c.GetLDA(), nullptr);
  EXPECT_THROW(c.GetSvcCtx(), std::runtime_error);
  // The server version comes from a block with a text output.
  EXPECT_EQ(c.GetServerVersion().substr(0, 2), "10");

  auto insert = command("insert into t (id, name, hired) values (:id, :name, :hired)");
  EXPECT_EQ(insert->Param(0).GetName(), "id");
  insert->Param(0).SetDataType(dtInteger);
  insert->Param(0).SetValue(Variant(int32_t(701)));
  insert->Param(1).SetDataType(dtString);
  insert->Param(1).SetSize(21);
  insert->Param(1).SetValue(Variant("old style"));
  insert->Param(2).SetDataType(dtDateTime);
  insert->Param(2).SetNull(true);
  insert->SetProp(prStoreRowId, Variant(true));
  insert->Execute(1);
  EXPECT_EQ(insert->RowsProcessed(), 1);
  EXPECT_EQ(insert->GetRowId().size(), 18u);
  EXPECT_EQ(nameOf(701), "old style");

  // Three rows from arrays in one execution.
  auto many = command("insert into t (id, name) values (:id, :name)");
  many->Param(0).SetDataType(dtInteger);
  many->Param(0).SetLength(3);
  many->Param(1).SetDataType(dtString);
  many->Param(1).SetSize(11);
  many->Param(1).SetLength(3);
  for (int i = 1; i <= 3; ++i) {
    many->Param(0).SetItemAsInteger(i, 710 + i);
    many->Param(1).SetItemAsString(i, "row " + std::to_string(i));
  }
  many->Execute(3);
  EXPECT_EQ(many->RowsProcessed(), 3);
  EXPECT_EQ(nameOf(713), "row 3");

  auto update = command("update t set name = upper(name) where id > 710");
  update->Execute(1);
  EXPECT_EQ(update->RowsProcessed(), 3);
  c.Rollback();
  try {
    nameOf(701);
    FAIL() << "the rolled back row is still there";
  } catch (const EOraError& e) {
    EXPECT_EQ(e.ErrorCode, 1403);
  }

  // A refused statement names its code and where the parse stopped.
  auto wrong = command("select nosuch from t");
  try {
    wrong->Execute(1);
    FAIL();
  } catch (const EOraError& e) {
    EXPECT_EQ(e.ErrorCode, 904);
  }
  Variant offset;
  wrong->GetProp(prErrorOffset, offset);
  EXPECT_EQ(offset.asInt32(), 7);
  c.Disconnect();
  EXPECT_FALSE(c.GetConnected());
}

TEST_F(OldCallStyleTest, LongValuesGoAndComeBackPieceByPiece) {
  connect();
  std::string text;
  for (int i = 0; text.size() < 100000; ++i) text += "line " + std::to_string(i) + "\n";
  auto insert = command("insert into docs (id, body) values (:id, :body)");
  insert->Param(0).SetDataType(dtInteger);
  insert->Param(0).SetValue(Variant(int32_t(70)));
  insert->Param(1).SetDataType(dtMemo);
  insert->Param(1).SetParamType(1);
  insert->Param(1).LongValue = text;
  insert->Param(1).SetNull(false);
  insert->Execute(1);
  EXPECT_EQ(insert->RowsProcessed(), 1);

  auto read = command("begin select body into :body from docs where id = :id; end;");
  read->Param(0).SetDataType(dtMemo);
  read->Param(0).SetParamType(2);
  read->Param(1).SetDataType(dtInteger);
  read->Param(1).SetParamType(1);
  read->Param(1).SetValue(Variant(int32_t(70)));
  read->Execute(1);
  EXPECT_EQ(read->Param(0).LongValue.size(), text.size());
  EXPECT_TRUE(read->Param(0).LongValue == text);
  connection_->Rollback();
}

TEST_F(OldCallStyleTest, AHandleSessionGivesALogonAreaForOldCalls) {
  TOCIConnection& c = connect(OCI80);
  uint8_t* lda = c.GetLDA();
  ASSERT_NE(lda, nullptr);
  EXPECT_EQ(c.GetLDA(), lda);
  EXPECT_EQ(ocom(lda), 0);
}

}  // namespace
}  // namespace oracle
