// The Oracle client end to end, through the client-library stand-in: loading and levels,
// connecting, NLS, errors, binds, execution and fetch.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "dataset/dberror.h"
#include "oracle/oraclasses.h"
#include "platform/scopeguard.h"
#include "tests/oracle/oracle_testing.h"

namespace oracle {
namespace {

using namespace dataaccess;

class OracleTest : public testing::StandInTest {
 protected:
  void TearDown() override {
    connection_.reset();
    FreeOCI();
    ::unsetenv("OCI_STANDIN_FAIL_CALL");
    ::unsetenv("OCI_STANDIN_FAIL_AFTER_ROWS");
    ::unsetenv("OCI_STANDIN_DELAY_US");
  }
  // The 60 rows of R (D of row 7 is NULL) in blocks of `fetchRows`.
  std::unique_ptr<TOCIRecordSet> rows(int fetchRows, bool background = false) {
    auto recordSet = connection_->CreateRecordSet();
    recordSet->SetSQL("select n, name, d from r order by n");
    recordSet->SetProp(prFetchRows, Variant(int32_t(fetchRows)));
    recordSet->GetCommand().SetProp(prNonBlocking, Variant(background));
    recordSet->SetProp(prFetchAll, Variant(background));
    return std::unique_ptr<TOCIRecordSet>(static_cast<TOCIRecordSet*>(recordSet.release()));
  }
  static Variant valueAt(TOCIRecordSet& recordSet, int fieldNo) {
    std::vector<uint8_t> record(recordSet.RecordSize);
    recordSet.GetRecord(record.data());
    return recordSet.GetFieldAsVariant(fieldNo, record.data());
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
  std::unique_ptr<TOCIConnection> connection_;
};

TEST_F(OracleTest, LibraryLevelsComeFromItsFileAndMissingEntriesFailWhenCalled) {
  OCIDLL = std::string(OCI_STANDIN_HOME) + "/lib/libclntsh.so.8.0";
  LoadOCI();
  EXPECT_EQ(OCIVersion, 2);
  EXPECT_EQ(PossibleOCICallStyles, osOCI7 | osOCI8);
  EXPECT_THROW(CheckOCI81(), std::runtime_error);
  try {
    void* env = nullptr;
    OCIEnvCreate(&env, 0, nullptr, nullptr, nullptr, nullptr, 0, nullptr);  // an 8i call: not bound at 8.0
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
  platform::EventQueue queue;
  c.SetEventPoster(&queue);
  bool ended = false;
  const int64_t worker = c.RunThread([&c] { c.Commit(); }, [&ended](std::exception_ptr) { ended = true; });
  EXPECT_TRUE(c.StopThread(worker, true));
  EXPECT_FALSE(ended);
  EXPECT_FALSE(c.StopThread(worker, true));
}

TEST_F(OracleTest, RecordSetReadsSixtyRowsInBlocksOf25And25And10WithOrWithoutFlatBuffers) {
  connect();
  for (const bool flat : {true, false}) {
    auto recordSet = rows(25);
    recordSet->SetProp(prFlatBuffers, Variant(flat));
    std::vector<int> counts;
    recordSet->SetEventProp(evOnFetchBlock, TQvFetchBlockEvent([&](bool before, bool&) {
                              if (!before) counts.push_back(recordSet->GetRecordCount());
                            }));
    recordSet->Open();
    EXPECT_EQ(recordSet->Fields[1].DataType, flat ? dtString : dtExtString);
    std::vector<uint8_t> record(recordSet->RecordSize);
    for (int n = 1; n <= 26; ++n) recordSet->GetNextRecord(record.data());
    EXPECT_EQ(recordSet->GetFieldAsVariant(2, record.data()).asString(), "name 26");
    EXPECT_EQ(recordSet->Command().GetCursorState(), 7);
    recordSet->SetRecNo(7);
    recordSet->GetRecord(record.data());
    EXPECT_TRUE(recordSet->GetNull(3, record.data()));
    EXPECT_FALSE(recordSet->GetNull(2, record.data()));
    recordSet->SetToEnd();
    EXPECT_EQ(counts, (std::vector<int>{25, 50, 60}));
    EXPECT_EQ(recordSet->Command().GetCursorState(), 9);
    recordSet->Close();
  }
}

TEST_F(OracleTest, AutoCloseUnpreparesTheStatementOnceAllRowsAreFetched) {
  connect();
  auto recordSet = rows(25);
  recordSet->SetProp(prAutoClose, Variant(true));
  recordSet->Open();
  EXPECT_EQ(recordSet->Command().GetCursorState(), 7);
  recordSet->SetToEnd();
  EXPECT_EQ(recordSet->GetRecordCount(), 60);
  EXPECT_EQ(recordSet->Command().GetCursorState(), 0);
  recordSet->SetRecNo(60);
  EXPECT_EQ(valueAt(*recordSet, 1).asInt32(), 60);
}

TEST_F(OracleTest, AFetchFailingPartWayKeepsTheRowsHeldAndRaises) {
  ::setenv("OCI_STANDIN_FAIL_AFTER_ROWS", "30", 1);
  connect();
  auto recordSet = rows(25);
  recordSet->Open();
  recordSet->SetRecNo(25);
  std::vector<uint8_t> record(recordSet->RecordSize);
  EXPECT_THROW(recordSet->GetNextRecord(record.data()), EOraError);
  EXPECT_EQ(recordSet->GetRecordCount(), 25);
  EXPECT_EQ(recordSet->GetRecNo(), 25);
  EXPECT_EQ(valueAt(*recordSet, 2).asString(), "name 25");
}

TEST_F(OracleTest, ALinkLostAtAnyCallOfAFetchRaisesOrEveryRowArrives) {
  // 60 rows in blocks of 25: the last block is a short one, which ends with "no data".
  const auto readAll = [this](int& held) {
    connect();
    auto recordSet = rows(25);
    recordSet->Open();
    recordSet->SetToEnd();
    held = recordSet->GetRecordCount();
  };
  const std::string countFile = folder()->path("calls");
  ::setenv("OCI_STANDIN_COUNT_FILE", countFile.c_str(), 1);
  platform::ScopeExit unset([] { ::unsetenv("OCI_STANDIN_COUNT_FILE"); });
  FreeOCI();
  int held = 0;
  readAll(held);
  ASSERT_EQ(held, 60);
  connection_.reset();
  FreeOCI();
  int calls = 0;
  std::ifstream(countFile) >> calls;
  ASSERT_GT(calls, 0);
  for (int n = 1; n <= calls; ++n) {
    ::setenv("OCI_STANDIN_FAIL_CALL", std::to_string(n).c_str(), 1);
    held = 0;
    try {
      readAll(held);
      EXPECT_EQ(held, 60) << "rows went missing without an error when call " << n << " failed";
    } catch (const EOraError& e) {
      EXPECT_TRUE(e.ErrorCode == 3113 || e.ErrorCode == 3114) << e.what();
    }
    connection_.reset();
    FreeOCI();
  }
}

TEST_F(OracleTest, BackgroundFetchAllDeliversEveryRowAndItsFailureReachesTheCaller) {
  connect();
  auto recordSet = rows(10, true);
  bool fetchedAll = false;
  recordSet->SetEventProp(evAfterFetchAll, TQvBoolEvent([&fetchedAll](bool ok) { fetchedAll = ok; }));
  recordSet->Open();
  EXPECT_GE(recordSet->GetRecordCount(), 10);
  recordSet->SetToEnd();
  EXPECT_EQ(recordSet->GetRecordCount(), 60);
  EXPECT_TRUE(fetchedAll);
  EXPECT_FALSE(recordSet->FetchingInBackground());
  recordSet->Close();

  ::setenv("OCI_STANDIN_FAIL_AFTER_ROWS", "35", 1);
  recordSet.reset();
  connection_.reset();
  FreeOCI();
  connect();
  recordSet = rows(10, true);
  recordSet->Open();
  EXPECT_THROW(recordSet->SetToEnd(), EOraError);  // waits for the worker, does not spin
  EXPECT_FALSE(recordSet->FetchingInBackground());
  EXPECT_EQ(recordSet->Command().GetCursorState(), 7);
  EXPECT_EQ(recordSet->GetRecordCount(), 30);
  EXPECT_NO_THROW(recordSet->SetToEnd());
  EXPECT_EQ(recordSet->GetRecordCount(), 30);
}

TEST_F(OracleTest, APlsqlBlockWithAnOutRefCursorOpensAsTheCursorsRows) {
  connect();
  auto recordSet = connection_->CreateRecordSet();
  recordSet->SetSQL("begin open :c for select n, name from r where n > :low order by n; end;");
  static_cast<TOraParamDesc&>(recordSet->GetCommand().GetParam(0)).SetDataType(dtCursor);
  recordSet->GetCommand().GetParam(1).SetValue(Variant(int32_t(55)));
  recordSet->Open();
  recordSet->SetToEnd();
  EXPECT_EQ(recordSet->GetRecordCount(), 5);
  recordSet->SetRecNo(1);
  std::vector<uint8_t> record(recordSet->RecordSize);
  recordSet->GetRecord(record.data());
  EXPECT_EQ(recordSet->GetFieldAsVariant(2, record.data()).asString(), "name 56");
  recordSet->Close();
  EXPECT_TRUE(static_cast<TOCIRecordSet&>(*recordSet).Command().OwnCursor());
}

TEST_F(OracleTest, AScrollableCursorHoldsOneBlockAndRefetchesBookmarkedRowsNearOrFar) {
  connect();
  auto recordSet = rows(10);
  recordSet->GetCommand().SetProp(prScrollable, Variant(true));
  int fetches = 0;
  recordSet->SetEventProp(evOnFetchBlock, TQvFetchBlockEvent([&fetches](bool before, bool&) {
                            if (before) ++fetches;
                          }));
  recordSet->Open();
  recordSet->SetRecNo(5);
  TRecBookmark fifth;
  recordSet->GetBookmark(fifth);
  recordSet->SetToEnd();
  std::vector<uint8_t> record(recordSet->RecordSize);
  recordSet->GetPriorRecord(record.data());
  EXPECT_EQ(recordSet->GetFieldAsVariant(1, record.data()).asInt32(), 60);
  recordSet->GetPriorRecord(record.data());  // the block before the last row: 50..59
  EXPECT_EQ(recordSet->GetFieldAsVariant(1, record.data()).asInt32(), 59);
  EXPECT_EQ(recordSet->GetRecNo(), 59);

  fetches = 0;
  recordSet->SetToBookmark(fifth);  // far: the block that starts at row 5
  EXPECT_EQ(fetches, 1);
  EXPECT_EQ(valueAt(*recordSet, 1).asInt32(), 5);
  recordSet->SetRecNo(12);
  TRecBookmark twelfth;
  recordSet->GetBookmark(twelfth);
  for (int i = 0; i < 3; ++i) recordSet->GetNextRecord(record.data());  // 13, 14, then 15..24
  EXPECT_EQ(recordSet->GetFieldAsVariant(1, record.data()).asInt32(), 15);
  fetches = 0;
  recordSet->SetToBookmark(twelfth);  // near: one block backward
  EXPECT_EQ(fetches, 1);
  EXPECT_EQ(valueAt(*recordSet, 1).asInt32(), 12);
  EXPECT_EQ(valueAt(*recordSet, 2).asString(), "name 12");
  recordSet->SetToBegin();
  recordSet->GetNextRecord(record.data());
  EXPECT_EQ(recordSet->GetFieldAsVariant(1, record.data()).asInt32(), 1);
}

// A temporary LOB of the session, released at the end of the scope.
struct TemporaryLob {
  TemporaryLob(TOCIConnection& c, uint8_t type, bool unicode) : lob(new TOraLob(c.GetSvcCtx(), unicode)) {
    lob->CreateTemporary(type);
  }
  ~TemporaryLob() { lob->Release(); }
  TOraLob* lob;
};

TEST_F(OracleTest, ALobWrittenInSeveralPiecesReadsBackWholeAndEmptyOneReadsNothing) {
  TOCIConnection& c = connect();
  const uint32_t pieceSize = dataaccess::DefaultPieceSize;
  dataaccess::DefaultPieceSize = 4;
  platform::ScopeExit restore([pieceSize] { dataaccess::DefaultPieceSize = pieceSize; });
  TemporaryLob blob(c, 1, false);
  EXPECT_EQ(blob.lob->LengthLob(), 0u);
  blob.lob->ReadLob();
  EXPECT_EQ(blob.lob->GetSize(), 0u);
  blob.lob->Write(0, 10, "0123456789");  // three pieces: 4, 4 and 2 bytes
  blob.lob->WriteLob();
  EXPECT_EQ(blob.lob->LengthLob(), 10u);
  blob.lob->Clear();
  blob.lob->ReadLob();
  EXPECT_EQ(blob.lob->AsString(), "0123456789");
  try {
    blob.lob->SetCached(false);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot disable lob caching. Lob is not empty.");
  }
}

TEST_F(OracleTest, AnUncachedUnicodeClobSavedToAStreamCountsCharacters) {
  TOCIConnection& c = connect();
  const uint32_t pieceSize = dataaccess::DefaultPieceSize;
  dataaccess::DefaultPieceSize = 16;  // 8 characters a chunk
  platform::ScopeExit restore([pieceSize] { dataaccess::DefaultPieceSize = pieceSize; });
  TemporaryLob clob(c, 2, true);
  std::u16string text;
  for (int i = 0; i < 50; ++i) text += char16_t(u'a' + i % 26);
  text += u"\u00f1\u00e9";
  clob.lob->SetAsWideString(text);
  clob.lob->WriteLob();
  EXPECT_EQ(clob.lob->LengthLob(), 52u);
  clob.lob->Clear();
  clob.lob->SetCached(false);
  std::ostringstream out;
  clob.lob->SaveToStream(out);
  EXPECT_EQ(out.str(), std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2));
  clob.lob->SetCached(true);
  clob.lob->NeedsReading = true;
  EXPECT_EQ(clob.lob->AsWideString(), text);
}

TEST_F(OracleTest, AnUncachedClobOfMultiByteCharactersSavedToAStreamKeepsEveryCharacterOnce) {
  TOCIConnection& c = connect();
  const uint32_t pieceSize = dataaccess::DefaultPieceSize;
  dataaccess::DefaultPieceSize = 7;  // chunks that end inside a character's bytes
  platform::ScopeExit restore([pieceSize] { dataaccess::DefaultPieceSize = pieceSize; });
  TemporaryLob clob(c, 2, false);
  std::string text;
  for (int i = 0; i < 40; ++i) text += i % 3 == 0 ? "\xc3\xb1" : i % 3 == 1 ? "\xe2\x82\xac" : "a";
  text += "\xf0\x9f\x98\x80z";  // a character outside the basic plane, then one byte
  clob.lob->SetAsString(text);
  clob.lob->WriteLob();
  EXPECT_EQ(clob.lob->LengthLob(), 43u);  // characters; the one outside the plane counts two
  clob.lob->Clear();
  clob.lob->SetCached(false);
  std::ostringstream out;
  clob.lob->SaveToStream(out);
  EXPECT_EQ(out.str(), text);
  clob.lob->SetCached(true);
  clob.lob->NeedsReading = true;
  EXPECT_EQ(clob.lob->AsString(), text);
}

// Written through the locator, then left uncached: only the server holds the value.
void writeUncached(TemporaryLob& lob, const std::string& value) {
  lob.lob->SetAsString(value);
  lob.lob->WriteLob();
  lob.lob->Clear();
  lob.lob->SetCached(false);
}

TEST_F(OracleTest, UncachedLobsReadAsTextGiveTheServerValueAndNullOrEmptyOnesNothing) {
  TOCIConnection& c = connect();
  const std::string bytes("\x00\xff\xc3\xb1 z", 6);
  TemporaryLob blob(c, 1, false);
  writeUncached(blob, bytes);
  EXPECT_EQ(blob.lob->GetSize(), bytes.size());
  EXPECT_EQ(blob.lob->AsString(), bytes);

  const std::string text =
      "a\xc3\xb1"
      "b\xe2\x82\xac\xf0\x9f\x98\x80"
      "cd";
  TemporaryLob clob(c, 2, false);
  writeUncached(clob, text);
  EXPECT_EQ(clob.lob->LengthLob(), 8u);
  EXPECT_EQ(clob.lob->GetSize(), text.size());
  EXPECT_EQ(clob.lob->AsString(), text);
  EXPECT_EQ(clob.lob->AsWideString(), dataset::utf8ToUtf16(text));

  TemporaryLob wide(c, 2, true);
  wide.lob->SetAsWideString(dataset::utf8ToUtf16(text));
  wide.lob->WriteLob();
  wide.lob->Clear();
  wide.lob->SetCached(false);
  EXPECT_EQ(wide.lob->GetSize(), 16u);
  EXPECT_EQ(wide.lob->AsString(), text);

  TemporaryLob empty(c, 2, false);
  empty.lob->SetCached(false);
  EXPECT_EQ(empty.lob->GetSize(), 0u);
  EXPECT_EQ(empty.lob->AsString(), "");
  char buffer[4];
  EXPECT_EQ(empty.lob->Read(0, 4, buffer), 0u);

  TOraLob* null = new TOraLob(c.GetSvcCtx());  // a locator no value was fetched into
  platform::ScopeExit release([null] { null->Release(); });
  null->AllocLob();
  null->SetCached(false);
  EXPECT_EQ(null->GetSize(), 0u);
  EXPECT_EQ(null->AsString(), "");
  EXPECT_EQ(null->AsWideString(), u"");
}

TEST_F(OracleTest, AnUncachedClobOfMultiByteCharactersReadsAtByteRangesAnywhere) {
  TOCIConnection& c = connect();
  // Bytes: a 0, \u00f1 1-2, b 3, euro sign 4-6, a character outside the basic plane 7-10, c 11, d 12.
  const std::string text =
      "a\xc3\xb1"
      "b\xe2\x82\xac\xf0\x9f\x98\x80"
      "cd";
  TemporaryLob clob(c, 2, false);
  writeUncached(clob, text);
  for (size_t position = 0; position <= text.size(); ++position) {
    for (size_t count = 1; count <= 5; ++count) {
      std::string piece(count, '?');
      piece.resize(clob.lob->Read(position, count, piece.data()));
      EXPECT_EQ(piece, text.substr(position, count)) << "at " << position << ", " << count << " bytes";
    }
  }
  std::string tail(text.size(), '?');
  tail.resize(clob.lob->Read(4, 0, tail.data()));  // to the end
  EXPECT_EQ(tail, text.substr(4));

  // Longer than one walk through the server's text: pieces that start past it still line up.
  std::string longText;
  for (int i = 0; i < 1500; ++i) longText += text;
  TemporaryLob longClob(c, 2, false);
  writeUncached(longClob, longText);
  EXPECT_EQ(longClob.lob->GetSize(), longText.size());
  std::string joined;
  char buffer[997];
  for (uint64_t n; (n = longClob.lob->Read(joined.size(), sizeof buffer, buffer)) > 0;)
    joined.append(buffer, n);
  EXPECT_EQ(joined, longText);
}

// Text in a client character set other than UTF-8, named by the `Charset` option (as VARCHAR2
// binds of the connection take it) or by NLS_LANG: a CLOB gives it back byte for byte, cached,
// streamed or by ranges past one walk through the server's text, and counts its characters.
TEST_F(OracleTest, ClobTextInAClientCharacterSetOtherThanUtf8ComesBackAsWritten) {
  // Every byte a UTF-8 reading would take apart: lone lead bytes, continuation bytes, 0xF0 up.
  std::string latin1;
  for (int i = 0; i < 6000; ++i) latin1 += char(0x20 + (i * 37) % 0xE0);
  std::string multiByte;
  for (int i = 0; i < 3000; ++i) multiByte += i % 3 == 0 ? "\xc3\xb1" : i % 3 == 1 ? "\xe2\x82\xac" : "a";
  const uint32_t pieceSize = dataaccess::DefaultPieceSize;
  dataaccess::DefaultPieceSize = 1001;  // pieces that end inside a character
  platform::ScopeExit restore([pieceSize] {
    dataaccess::DefaultPieceSize = pieceSize;
    ::unsetenv("NLS_LANG");
  });
  auto roundTrip = [&](const std::string& charset, const std::string& nlsLang, const std::string& text,
                       uint32_t characters) {
    const std::string how = charset + nlsLang;
    if (!nlsLang.empty()) ::setenv("NLS_LANG", nlsLang.c_str(), 1);
    connection_ = std::make_unique<TOCIConnection>();
    connection_->SetUsername("scott");
    connection_->SetPassword("tiger");
    connection_->SetServer("ORCL");
    connection_->SetProp(prCharset, Variant(charset));
    connection_->Connect("");
    TemporaryLob clob(*connection_, 2, false);
    clob.lob->SetTextCharset(*connection_);
    writeUncached(clob, text);
    EXPECT_EQ(clob.lob->LengthLob(), characters) << how;
    EXPECT_EQ(clob.lob->GetSize(), text.size()) << how;
    std::string joined;
    char buffer[997];
    for (uint64_t n; (n = clob.lob->Read(joined.size(), sizeof buffer, buffer)) > 0;)
      joined.append(buffer, n);
    EXPECT_EQ(joined, text) << how;
    std::ostringstream out;
    clob.lob->SaveToStream(out);
    EXPECT_EQ(out.str(), text) << how;
    clob.lob->SetCached(true);
    clob.lob->NeedsReading = true;
    EXPECT_EQ(clob.lob->AsString(), text) << how;
    ::unsetenv("NLS_LANG");
  };
  roundTrip("WE8ISO8859P1", "", latin1, 6000);
  roundTrip("", "AMERICAN_AMERICA.WE8ISO8859P1", latin1, 6000);
  // A multi-byte set whose characters the client does not split itself.
  roundTrip("JA16SJIS", "", multiByte, 3000);
}

TEST_F(OracleTest, ABfileReadsItsFileFromTheDirectoryAndAMissingDirectoryIsNoFile) {
  TOCIConnection& c = connect();
  std::filesystem::create_directories(folder()->path("ORCL/directories/DOCS"));
  std::ofstream(folder()->path("ORCL/directories/DOCS/a.txt"), std::ios::binary) << "hello bfile";
  TOraFile* file = new TOraFile(c.GetSvcCtx());
  platform::ScopeExit release([file] { file->Release(); });
  file->AllocLob();
  EXPECT_TRUE(file->IsNull());
  file->SetFileDir("DOCS");
  file->SetFileName("a.txt");
  EXPECT_EQ(file->FileDir(), "DOCS");
  EXPECT_TRUE(file->Exists());
  file->Refresh();  // opens it
  ASSERT_TRUE(file->IsOpen());
  file->ReadLob();
  EXPECT_EQ(file->AsString(), "hello bfile");
  file->Close();
  file->SetFileName("missing.txt");
  EXPECT_FALSE(file->Exists());
  file->SetFileDir("NOWHERE");
  EXPECT_FALSE(file->Exists());
}

TEST_F(OracleTest, LobColumnsGiveAnObjectPerRowReadAtTheFetchOrWhenFirstAsked) {
  connect();
  for (const bool deferred : {false, true}) {
    auto recordSet = connection_->CreateRecordSet();
    recordSet->SetSQL("select id, body, data from lobs order by id");
    recordSet->SetProp(prFetchRows, Variant(int32_t(2)));
    recordSet->SetProp(prDeferredLobRead, Variant(deferred));
    recordSet->Open();
    recordSet->SetToEnd();
    EXPECT_EQ(recordSet->GetRecordCount(), 3);
    std::vector<uint8_t> record(recordSet->RecordSize);
    recordSet->SetRecNo(1);
    recordSet->GetRecord(record.data());
    EXPECT_EQ(recordSet->GetFieldAsVariant(2, record.data()).asString(), "first clob text");
    recordSet->SetRecNo(2);
    recordSet->GetRecord(record.data());
    EXPECT_TRUE(recordSet->GetNull(2, record.data()));
    recordSet->SetRecNo(3);
    recordSet->GetRecord(record.data());
    EXPECT_EQ(recordSet->GetFieldAsVariant(3, record.data()).asBytes(), (std::vector<uint8_t>{0xFF}));
    recordSet->Close();
  }
}

TEST_F(OracleTest, ClosingDuringABackgroundFetchAllBreaksItAndTheRecordSetOpensAgain) {
  ::setenv("OCI_STANDIN_DELAY_US", "5000", 1);
  connect();
  auto recordSet = rows(1, true);
  recordSet->Open();
  EXPECT_TRUE(recordSet->FetchingInBackground());
  recordSet->Close();
  EXPECT_FALSE(recordSet->FetchingInBackground());
  EXPECT_LE(recordSet->Command().GetCursorState(), 3);
  recordSet->SetProp(prFetchAll, Variant(false));
  recordSet->Open();
  recordSet->SetRecNo(1);
  EXPECT_EQ(valueAt(*recordSet, 1).asInt32(), 1);
}

}  // namespace
}  // namespace oracle
