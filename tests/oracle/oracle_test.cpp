// The Oracle client end to end, through the client-library stand-in: loading and levels,
// connecting, NLS, errors, binds, execution and fetch.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>

#include "dataset/dberror.h"
#include "oracle/oraclasses.h"
#include "tests/oracle/oracle_testing.h"

namespace oracle {
namespace {

using namespace dataaccess;

class OracleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new platform::testing::TempFolder();
    testing::seedStandInServer(*folder_);
  }
  static void TearDownTestSuite() {
    FreeOCI();
    delete folder_;
  }
  void TearDown() override {
    connection_.reset();
    FreeOCI();
    ::unsetenv("OCI_STANDIN_FAIL_CALL");
  }
  TOCIConnection& connect(const std::string& password = "tiger") {
    connection_ = std::make_unique<TOCIConnection>();
    connection_->SetUsername("scott");
    connection_->SetPassword(password);
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
  static platform::testing::TempFolder* folder_;
  std::unique_ptr<TOCIConnection> connection_;
};
platform::testing::TempFolder* OracleTest::folder_ = nullptr;

TEST_F(OracleTest, LibraryLevelsComeFromItsFileAndMissingEntriesFailWhenCalled) {
  OCIDLL = std::string(OCI_STANDIN_HOME) + "/lib/libclntsh.so.8.0";
  LoadOCI();
  EXPECT_EQ(OCIVersion, 2);
  EXPECT_EQ(PossibleOCICallStyles, osOCI7 | osOCI8);
  EXPECT_THROW(CheckOCI81(), std::runtime_error);
  try {
    opinit(0);  // the stand-in offers no OCI7 calls
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "OCI function is not linked");
  }
  FreeOCI();
  LoadOCI();  // the home's newest file
  EXPECT_EQ(OCIVersionSt, "10.2");
  EXPECT_EQ(OCIVersion, 4);
  EXPECT_NO_THROW(CheckOCI90());
}

TEST_F(OracleTest, ConnectsReadsTheWholeServerVersionAndUsesOci8) {
  TOCIConnection& c = connect();
  EXPECT_TRUE(c.GetConnected());
  EXPECT_EQ(c.GetServerVersion().substr(0, 5), "10.2.");
  EXPECT_EQ(c.GetOCICallStyleCommand(), OCI80);
  Variant size;
  c.GetProp(prMaxStringSize, size);
  EXPECT_EQ(size.asInt32(), 4000);
  c.Disconnect();
  EXPECT_FALSE(c.GetConnected());
}

TEST_F(OracleTest, OldCallStyleFailsAsNotLinkedAgainstAClientWithoutIt) {
  connection_ = std::make_unique<TOCIConnection>();
  connection_->SetOCICallStyle(OCI73);
  connection_->SetUsername("scott");
  connection_->SetPassword("tiger");
  OCIInit();
  PossibleOCICallStyles |= osOCI7;
  EXPECT_THROW(connection_->Connect(""), std::runtime_error);
  EXPECT_FALSE(connection_->GetConnected());
}

TEST_F(OracleTest, WrongPasswordRaisesAndARetryConnects) {
  try {
    connect("wrong");
    FAIL();
  } catch (const EOraError& e) {
    EXPECT_EQ(e.ErrorCode, 1017);
  }
  connection_->SetPassword("tiger");
  connection_->Connect("");
  EXPECT_TRUE(connection_->GetConnected());
}

TEST_F(OracleTest, NlsValuesAreSetQuotedAndRead) {
  connection_ = std::make_unique<TOCIConnection>();
  connection_->SetProp(prDateFormat, Variant("YYYY-MM-DD"));
  connection_->SetUsername("scott");
  connection_->SetPassword("tiger");
  connection_->SetServer("ORCL");
  connection_->Connect("");
  connection_->SetProp(prCharLength, Variant(int32_t(0)));
  Variant value;
  connection_->GetProp(prDateFormat, value);
  EXPECT_EQ(value.asString(), "YYYY-MM-DD");
  connection_->GetProp(prNumericCharacters, value);
  EXPECT_EQ(value.asString(), ".,");
  connection_->SetProp(prDateLanguage, Variant("AMERI'CAN"));  // the quote reaches the server doubled
  connection_->GetSessionParameters();
  EXPECT_EQ(connection_->NlsValue(0), "AMERI'CAN");
  EXPECT_THROW(connection_->SetNlsParameter("NLS_DATE_FORMAT'='x", "y"), std::runtime_error);
}

TEST_F(OracleTest, ErrorHandlerCanSilenceAServerError) {
  TOCIConnection& c = connect();
  int seen = 0;
  c.SetEventProp(evOnError, TQvErrorEvent([&seen](EDAError& e, bool& fail) {
                   seen = e.ErrorCode;
                   fail = false;
                 }));
  EXPECT_THROW(command("select * from missing")->Execute(1), dataset::EAbort);
  EXPECT_EQ(seen, 942);
}

TEST_F(OracleTest, AFatalErrorMidSessionStillLeavesTheConnectionReusable) {
  ::setenv("OCI_STANDIN_FAIL_CALL", "40", 1);
  TOCIConnection& c = connect();
  auto select = command("select count(*) from t");
  EXPECT_THROW(for (int i = 0; i < 40; ++i) select->Execute(1), EOraError);
  EXPECT_THROW(c.Disconnect(), EOraError);  // the dead link refuses the end, the handles go anyway
  EXPECT_FALSE(c.GetConnected());
  ::unsetenv("OCI_STANDIN_FAIL_CALL");
  FreeOCI();
  c.Connect("");
  EXPECT_TRUE(c.GetConnected());
}

TEST_F(OracleTest, ArrayInsertKeepsEveryElementWholeAndFetchReadsThemBack) {
  TOCIConnection& c = connect();
  auto insert = command(
      "insert into t (id, name, amount, big, hired, bytes) values (:id, :name, :amount, :big, :w, :b)");
  TOraParamDesc& id = insert->Param(0);
  id.SetDataType(dtInteger);
  id.SetValue(Variant(std::vector<Variant>{int32_t(1), int32_t(2), int32_t(3)}));
  insert->Param(1).SetDataType(dtString);
  insert->Param(1).SetSize(20);
  insert->Param(1).SetValue(
      Variant(std::vector<Variant>{Variant("a"), Variant("longer name"), Variant("ñandú")}));
  insert->Param(2).SetValue(Variant(std::vector<Variant>{1.5, 2.25, Variant::null()}));
  insert->Param(3).SetDataType(dtString);
  insert->Param(3).SetSize(20);
  insert->Param(3).SetValue(Variant(
      std::vector<Variant>{Variant("1234567890123456789"), Variant("1"), Variant("-999999999999999999")}));
  insert->Param(4).SetValue(
      Variant(std::vector<Variant>{Variant(DateTime{29586.5}), Variant::null(), Variant::null()}));
  insert->Param(5).SetDataType(dtVarBytes);
  insert->Param(5).SetSize(16);
  insert->Param(5).SetValue(Variant(
      std::vector<Variant>{Variant::bytes({1}), Variant::bytes({1, 2, 3, 4, 5, 6}), Variant::null()}));
  insert->Execute(3);
  EXPECT_EQ(insert->RowsProcessed(), 3);
  c.Commit();
  EXPECT_THROW(insert->Param(1).SetItemAsString(1, std::string(21, 'x')), std::runtime_error);

  auto select = command("select id, name, amount, big, hired, bytes from t order by id");
  select->Prepare();
  select->Execute(1);
  TFieldDesc fields[6];
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(select->DescribeField(i + 1, fields[i], true, true));
  EXPECT_FALSE(select->DescribeField(7, fields[0], true, true));
  EXPECT_EQ(fields[0].DataType, dtInteger);
  EXPECT_EQ(fields[2].DataType, dtFloat);
  EXPECT_EQ(fields[3].DataType, dtString);  // precision 20: exact as text
  EXPECT_EQ(fields[4].DataType, dtDateTime);
  EXPECT_EQ(fields[5].DataType, dtVarBytes);
  std::vector<std::vector<uint8_t>> buffers(6);
  std::vector<std::vector<int16_t>> indicators(6, std::vector<int16_t>(2));
  std::vector<std::vector<uint16_t>> lengths(6, std::vector<uint16_t>(2));
  for (int i = 0; i < 6; ++i) {
    const uint32_t stride = uint32_t(TOCICommand::FieldBufferLength(fields[i]));
    buffers[i].assign(stride * 2, 0);
    select->DefineArrayField(fields[i], buffers[i].data(), indicators[i].data(), lengths[i].data(), stride);
  }
  ASSERT_EQ(select->Fetch(2), 2);
  const auto text = [&](int field, int row) {
    return std::string(reinterpret_cast<const char*>(buffers[field].data() + row * fields[field].Size));
  };
  EXPECT_EQ(text(1, 1), "longer name");
  EXPECT_EQ(text(3, 0), "1234567890123456789");
  EXPECT_EQ(buffers[5][fields[5].Size], 6);
  EXPECT_EQ(buffers[5][fields[5].Size + 7], 6);
  EXPECT_EQ(OraDateToDateTime(buffers[4].data()).days, 29586.5);
  ASSERT_EQ(select->Fetch(2), 1);
  EXPECT_EQ(text(1, 0), "ñandú");
  EXPECT_EQ(text(3, 0), "-999999999999999999");
  EXPECT_EQ(indicators[2][0], -1);
  EXPECT_EQ(select->GetCursorState(), 9);

  auto one = command("select name from t where id = :id");
  one->Param(0).SetValue(Variant(int32_t(2)));
  one->Prepare();
  one->Execute(1);
  TFieldDesc name;
  one->DescribeField(1, name, true, true);
  name.Size = 4;  // too small for "longer name": the fetch must say so
  char small[4];
  int16_t indicator = 0;
  one->DefineField(name, reinterpret_cast<uint8_t*>(small), &indicator, nullptr);
  EXPECT_THROW(one->Fetch(1), std::runtime_error);
  auto remove = command("delete from t");
  remove->Execute(1);
  c.Commit();
}

TEST_F(OracleTest, LongValuesGoInPiecesAndArriveWhole) {
  connect();
  auto insert = command("insert into docs (id, body) values (:id, :body)");
  insert->Param(0).SetValue(Variant(int32_t(1)));
  insert->Param(1).SetDataType(dtMemo);
  std::string body;
  for (int i = 0; body.size() < 100000; ++i) body += std::to_string(i) + ",";
  insert->Param(1).SetValue(Variant(body));
  insert->Execute(1);
  insert->Param(0).SetValue(Variant(int32_t(2)));
  insert->Param(1).SetValue(Variant(std::string()));
  insert->Execute(1);
  auto select = command("select length(body), substr(body, 99990, 10) from docs order by id");
  select->Prepare();
  select->Execute(1);
  TFieldDesc length, tail;
  select->DescribeField(1, length, true, true);
  select->DescribeField(2, tail, true, true);
  int32_t lengths[2];
  char tails[2][64] = {};
  int16_t indicators[2][2];
  length.DataType = dtInteger;
  length.SubDataType = 0;
  length.Size = 4;
  tail.Size = 64;
  select->DefineArrayField(length, reinterpret_cast<uint8_t*>(lengths), indicators[0], nullptr, 4);
  select->DefineArrayField(tail, reinterpret_cast<uint8_t*>(tails), indicators[1], nullptr, 64);
  ASSERT_EQ(select->Fetch(2), 2);
  EXPECT_EQ(lengths[0], int32_t(body.size()));
  EXPECT_EQ(std::string(tails[0]), body.substr(99989, 10));
  EXPECT_EQ(indicators[0][1], -1);  // the empty value is NULL
}

TEST_F(OracleTest, NonBlockingExecutionEndsOnTheWindowThread) {
  TOCIConnection& c = connect();
  platform::EventQueue queue;
  c.SetEventPoster(&queue);
  auto update = command("update t set name = 'x' where id = -1");
  update->SetProp(prNonBlocking, Variant(true));
  bool ended = false, succeeded = false;
  update->SetEventProp(evAfterExecute, TQvBoolEvent([&](bool ok) {
                         ended = true;
                         succeeded = ok;
                       }));
  update->Execute(1);
  std::optional<platform::PostedEvent> event = queue.take(std::chrono::minutes(1));
  ASSERT_TRUE(event);
  c.DispatchThreadEvent(*event);
  EXPECT_TRUE(ended);
  EXPECT_TRUE(succeeded);
  EXPECT_FALSE(update->GetExecuting());
}

TEST_F(OracleTest, StoppingAWorkerBreaksItsCallAndJoins) {
  TOCIConnection& c = connect();
  bool ended = false;
  const int64_t worker = c.RunThread([&c] { c.Commit(); }, [&ended](std::exception_ptr) { ended = true; });
  EXPECT_TRUE(c.StopThread(worker, true));
  EXPECT_FALSE(ended);
  EXPECT_FALSE(c.StopThread(worker, true));
}

}  // namespace
}  // namespace oracle
