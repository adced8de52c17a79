// The Oracle driver's commands and record sets where rows, workers and connections meet: cut
// values, non-blocking ends, lifetimes, LONG pieces in both directions.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "dataset/dberror.h"
#include "oracle/ora_query.h"
#include "oracle/oraclasses.h"
#include "oracle/oraclasses_values.h"
#include "platform/scopeguard.h"
#include "tests/oracle/oracle_testing.h"

namespace oracle {
namespace {

using namespace dataaccess;

// Replaces one entry point of the client library for the scope's length.
template <class F>
struct Replaced {
  Replaced(F& variable, F with) : variable_(variable), saved_(variable) { variable = with; }
  ~Replaced() { variable_ = saved_; }
  F& variable_;
  F saved_;
};

class OraClassesTest : public testing::StandInTest {
 protected:
  // The shared server with the tables of client.seed beside it.
  static void SetUpTestSuite() {
    folder() = std::make_unique<platform::testing::TempFolder>();
    const std::filesystem::path shared(ORACLE_TEST_SEED);
    const std::string combined = folder()->path("client-server.seed");
    {
      std::ofstream out(combined);
      out << std::ifstream(shared).rdbuf() << '\n'
          << std::ifstream(shared.parent_path() / "client.seed").rdbuf();
    }
    testing::seedStandInServer(*folder(), combined);
  }
  void TearDown() override {
    connection_.reset();
    SetWindowThreadRunner(nullptr);
    FreeOCI();
    ::unsetenv("OCI_STANDIN_DELAY_US");
  }
  TOCIConnection& connect() {
    connection_ = std::make_unique<TOCIConnection>();
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
  std::unique_ptr<TOCIRecordSet> recordSet(const std::string& sql, int fetchRows) {
    auto r = connection_->CreateRecordSet();
    r->SetSQL(sql);
    r->SetProp(prFetchRows, Variant(int32_t(fetchRows)));
    return std::unique_ptr<TOCIRecordSet>(static_cast<TOCIRecordSet*>(r.release()));
  }
  // The first field of every row held, in order.
  static std::vector<int> numbers(TOCIRecordSet& r) {
    std::vector<int> result;
    std::vector<uint8_t> record(r.RecordSize);
    for (int n = 1; n <= r.GetRecordCount(); ++n) {
      r.SetRecNo(n);
      r.GetRecord(record.data());
      result.push_back(r.GetFieldAsVariant(1, record.data()).asInt32());
    }
    return result;
  }
  std::unique_ptr<TOCIConnection> connection_;
};

// A server that describes R.NAME (VARCHAR2(40)) as six bytes long, so that the names from
// "name 10" on are cut by the buffers made for it.
struct NarrowNames {
  static inline decltype(OCIAttrGet) real;
  static sword attrGet(const void* handle, ub4 type, void* attribute, ub4* size, ub4 attr, void* err) {
    const sword status = real(handle, type, attribute, size, attr, err);
    if (status == OCI_SUCCESS && type == OCI_DTYPE_PARAM && attr == OCI_ATTR_DATA_SIZE &&
        *static_cast<ub2*>(attribute) == 40)
      *static_cast<ub2*>(attribute) = 6;
    return status;
  }
  const bool saved_ = (real = OCIAttrGet, true);
  Replaced<OCIAttrGet_t> attrGet_{OCIAttrGet, &attrGet};
};

// Text typed into the field of a VARCHAR2(5) column: in a single-byte client character set every
// byte from 0x80 up is a letter, and a longer text keeps exactly its first five bytes whatever
// meets the cut, whether the field or the record cuts it; in UTF-8 and in each double-byte set the
// cut keeps the set's whole characters, the set named by the Charset option or by NLS_LANG.
// (The rows stay in the dataset: the stand-in server stores UTF-8 and counts its bytes.)
TEST_F(OraClassesTest, TextLongerThanItsColumnIsCutByTheSessionsCharacterSet) {
  std::vector<std::string> latin1;
  for (const char b : {'\x80', '\xA9', '\xBF', '\xC0', '\xE9', '\xFF'})
    for (size_t at = 3; at < 7; ++at) {
      std::string text = "abcdefg";
      text[at] = b;
      latin1.push_back(text);
      text.replace(0, at, std::string(at, '\xA0'));
      latin1.push_back(text);
    }
  // What the field keeps of each text, and what the record keeps when the text reaches it uncut.
  auto typed = [&](const std::string& charset, const std::vector<std::string>& texts) {
    TOraSession session;
    session.LoginPrompt = false;
    session.SetConnectString("scott/tiger@ORCL");
    session.Options().SetCharset(charset);
    TOraQuery query;
    query.SetSession(&session);
    query.SetSQL("SELECT ID, S FROM SHORTS");
    query.LocalUpdate = true;
    query.Open();
    dataset::Field& field = query.FieldByName("S");
    EXPECT_EQ(field.Size, 5);
    std::pair<std::vector<std::string>, std::vector<std::string>> kept;
    for (const std::string& text : texts) {
      query.Append();
      field.SetAsString(text);
      query.Post();
      kept.first.push_back(field.AsString());
      std::vector<uint8_t> record(query.Data().RecordSize);
      query.Data().PutFieldAsVariant(field.FieldNo, record.data(), Variant(text));
      kept.second.push_back(query.Data().GetFieldAsVariant(field.FieldNo, record.data()).asString());
    }
    query.Close();
    session.Disconnect();
    return kept;
  };
  std::vector<std::string> fiveBytes;
  for (const auto& text : latin1) fiveBytes.push_back(text.substr(0, 5));
  const auto [field, record] = typed("WE8ISO8859P1", latin1);
  EXPECT_EQ(field, fiveBytes);
  EXPECT_EQ(record, fiveBytes);

  const std::vector<std::string> utf8 = {"abcd\xC3\xA9", "abc\xE2\x82\xAC", "ab\xE2\x82\xAC\xC3\xA9"};
  const std::vector<std::string> whole = {"abcd", "abc", "ab\xE2\x82\xAC"};
  const auto [fieldUtf8, recordUtf8] = typed("", utf8);
  EXPECT_EQ(fieldUtf8, whole);
  EXPECT_EQ(recordUtf8, whole);

  // Texts whose cut tells the double-byte sets' lead bytes apart: 0xB0 is a single half-width
  // letter in Shift-JIS and leads two bytes elsewhere; 0x81 leads two bytes in Shift-JIS, GBK,
  // Big5 and code pages 949 and 950 and stands alone in the EUC sets; 0x8E leads four bytes in
  // EUC-TW, two in EUC-JP, and stands alone in EUC-KR; 0x8F leads three bytes in EUC-JP; 0x81
  // before a digit leads four bytes in GB18030.
  const std::vector<std::string> doubleByte = {"abcd\xB0\xA1",       "ab\xB0\xA1\xB0\xA1",
                                               "abcd\x81\x40",       "abc\x8E\xA2\xA1\xA1",
                                               "ab\x8F\xB0\xA1\xB0", "abc\x81\x30\x81\x30"};
  const std::vector<std::string> shiftJis = {"abcd\xB0",    "ab\xB0\xA1\xB0", "abcd",
                                             "abc\x8E\xA2", "ab\x8F\xB0\xA1", "abc\x81\x30"};
  const std::vector<std::string> eucJp = {"abcd",        "ab\xB0\xA1",     "abcd\x81",
                                          "abc\x8E\xA2", "ab\x8F\xB0\xA1", "abc\x81\x30"};
  const std::vector<std::string> eucTw = {"abcd", "ab\xB0\xA1",     "abcd\x81",
                                          "abc",  "ab\x8F\xB0\xA1", "abc\x81\x30"};
  const std::vector<std::string> lead81 = {"abcd",        "ab\xB0\xA1", "abcd",
                                           "abc\x8E\xA2", "ab\x8F\xB0", "abc\x81\x30"};
  const std::vector<std::string> leadA1 = {"abcd",    "ab\xB0\xA1",     "abcd\x81",
                                           "abc\x8E", "ab\x8F\xB0\xA1", "abc\x81\x30"};
  const std::vector<std::string> gb18030 = {"abcd", "ab\xB0\xA1", "abcd", "abc\x8E\xA2", "ab\x8F\xB0", "abc"};
  for (const auto& [charset, kept] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"JA16SJIS", shiftJis},
           {"JA16EUC", eucJp},
           {"ZHT32EUC", eucTw},
           {"ZHS16GBK", lead81},
           {"ZHT16BIG5", lead81},
           {"ZHT16MSWIN950", lead81},
           {"KO16MSWIN949", lead81},
           {"KO16KSC5601", leadA1},
           {"ZHS16CGB231280", leadA1},
           {"ZHS32GB18030", gb18030},
       }) {
    const auto [fieldCut, recordCut] = typed(charset, doubleByte);
    EXPECT_EQ(fieldCut, kept) << charset;
    EXPECT_EQ(recordCut, kept) << charset;
  }

  // Without the option, the client's own set, named in NLS_LANG, is the one.
  ::setenv("NLS_LANG", "AMERICAN_AMERICA.WE8ISO8859P1", 1);
  platform::ScopeExit unset([] { ::unsetenv("NLS_LANG"); });
  const auto [fieldClient, recordClient] = typed("", latin1);
  EXPECT_EQ(fieldClient, fiveBytes);
  EXPECT_EQ(recordClient, fiveBytes);
  ::setenv("NLS_LANG", "JAPANESE_JAPAN.JA16SJIS", 1);
  const auto [fieldSjis, recordSjis] = typed("", doubleByte);
  EXPECT_EQ(fieldSjis, shiftJis);
  EXPECT_EQ(recordSjis, shiftJis);
}

TEST_F(OraClassesTest, ABlockWithACutValueIsKeptBeforeTheCutIsRaisedAndTheNextFetchGoesOn) {
  connect();
  NarrowNames narrow;
  auto r = recordSet("select n, name from r where n <= 14 order by n", 4);
  r->Open();
  std::vector<uint8_t> record(r->RecordSize);
  for (int i = 0; i < 8; ++i) r->GetNextRecord(record.data());
  try {
    r->GetNextRecord(record.data());  // the block of rows 9 to 12 holds "name 10"
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The value of column NAME was truncated");
  }
  EXPECT_EQ(r->GetRecordCount(), 12);
  EXPECT_THROW(r->SetToEnd(), std::runtime_error);  // rows 13 and 14 are cut too, and kept
  r->SetToEnd();
  EXPECT_EQ(numbers(*r), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
  r->SetRecNo(10);
  r->GetRecord(record.data());
  EXPECT_EQ(r->GetFieldAsVariant(2, record.data()).asString(), "name 1");
  r->Close();

  // In the background the cut ends the worker after its block; the caller gets every row before
  // the failure and the rest with the next fetch.
  auto background = recordSet("select n, name from r where n <= 14 order by n", 4);
  background->GetCommand().SetProp(prNonBlocking, Variant(true));
  background->SetProp(prFetchAll, Variant(true));
  background->Open();
  EXPECT_THROW(background->SetToEnd(), std::runtime_error);
  EXPECT_EQ(background->GetRecordCount(), 12);
  EXPECT_THROW(background->SetToEnd(), std::runtime_error);
  background->SetToEnd();
  EXPECT_EQ(numbers(*background).size(), 14u);
}

// Tasks for the window thread, run when the test drains them.
struct WindowTasks {
  std::mutex lock;
  std::deque<std::function<void()>> tasks;
  // Runs the tasks queued now; answers how many ran.
  int runQueued() {
    std::deque<std::function<void()>> now;
    {
      std::lock_guard<std::mutex> guard(lock);
      now.swap(tasks);
    }
    for (auto& task : now) task();
    return int(now.size());
  }
  // Runs the tasks that arrive within a minute until `done` holds.
  void runUntil(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!done() && std::chrono::steady_clock::now() < limit) {
      std::function<void()> task;
      {
        std::lock_guard<std::mutex> guard(lock);
        if (!tasks.empty()) {
          task = std::move(tasks.front());
          tasks.pop_front();
        }
      }
      if (task)
        task();
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
};

TEST_F(OraClassesTest, NonBlockingExecutionEndsOnTheWindowThreadWithoutAPosterOfItsOwn) {
  WindowTasks window;
  SetWindowThreadRunner([&window](std::function<void()> task) {
    std::lock_guard<std::mutex> guard(window.lock);
    window.tasks.push_back(std::move(task));
  });
  connect();
  auto update = command("update t set name = 'x' where id = -1");
  update->SetProp(prNonBlocking, Variant(true));
  int ended = 0;
  update->SetEventProp(evAfterExecute, TQvBoolEvent([&ended](bool ok) { ended += ok ? 1 : 100; }));
  update->Execute(1);
  window.runUntil([&ended] { return ended == 1; });
  EXPECT_EQ(ended, 1);
  EXPECT_FALSE(update->GetExecuting());
  update->Execute(1);  // the first run has ended, so a second may start
  window.runUntil([&ended] { return ended == 2; });
  EXPECT_EQ(ended, 2);

  // A worker whose connection has gone meanwhile ends without reaching it.
  update->Execute(1);
  update.reset();  // stops the worker, whose end is queued by then
  connection_.reset();
  EXPECT_EQ(window.runQueued(), 1);
  SetWindowThreadRunner(nullptr);
  connect();
  auto refused = command("update t set name = 'x' where id = -1");
  refused->SetProp(prNonBlocking, Variant(true));
  EXPECT_THROW(refused->Execute(1), std::runtime_error);  // nowhere to deliver its end
}

TEST_F(OraClassesTest, CommandsAndRecordSetsOutlivingTheirConnectionLetItGo) {
  ::setenv("OCI_STANDIN_DELAY_US", "2000", 1);
  connect();
  platform::EventQueue queue;
  connection_->SetEventPoster(&queue);
  auto update = command("update t set name = 'x' where id = -1");
  update->SetProp(prNonBlocking, Variant(true));
  update->Execute(1);  // still running when the connection goes
  auto rows = recordSet("select n, name from r order by n", 1);
  rows->GetCommand().SetProp(prNonBlocking, Variant(true));
  rows->SetProp(prFetchAll, Variant(true));
  rows->Open();
  ASSERT_TRUE(rows->FetchingInBackground());
  auto idle = command("select n from r");
  idle->Prepare();
  connection_.reset();
  EXPECT_EQ(update->GetConnection(), nullptr);
  EXPECT_FALSE(update->GetExecuting());
  EXPECT_FALSE(rows->FetchingInBackground());
  EXPECT_EQ(idle->GetConnection(), nullptr);
  EXPECT_EQ(idle->GetCursorState(), 0);
  update.reset();
  rows.reset();
  idle.reset();
}

// The client library's calls for a statement with a LONG output, answered here: the value comes
// back in two pieces into the buffers the command gives.
struct LongOutputLibrary {
  static inline decltype(OCIStmtExecute) realExecute;
  static inline decltype(OCIStmtGetPieceInfo) realGetPieceInfo;
  static inline decltype(OCIStmtSetPieceInfo) realSetPieceInfo;
  static inline decltype(OCIAttrGet) realAttrGet;
  static inline TOraParamDesc* param = nullptr;  // its bind handle is the one asked for
  static inline int step = 0;
  static inline void* buffer = nullptr;
  static inline ub4* length = nullptr;

  static sword execute(void*, void*, void*, ub4, ub4, const void*, void*, ub4) {
    static const char* const pieces[] = {"first piece, ", "second piece"};
    if (step > 0 && step <= 2) {
      const size_t n = std::min<size_t>(*length, std::strlen(pieces[step - 1]));
      std::memcpy(buffer, pieces[step - 1], n);
      *length = ub4(n);
    }
    return ++step <= 2 ? OCI_NEED_DATA : OCI_SUCCESS;
  }
  static sword getPieceInfo(void*, void*, void** handle, ub4* type, ub1* direction, ub4* iteration,
                            ub4* index, ub1* piece) {
    *handle = param->BindHandle;
    *type = OCI_HTYPE_BIND;
    *direction = 2;  // out
    *iteration = 0;
    *index = 0;
    *piece = step == 1 ? 1 : 2;
    return OCI_SUCCESS;
  }
  static sword setPieceInfo(void*, ub4, void*, const void* value, ub4* valueLength, ub1, const void*, ub2*) {
    buffer = const_cast<void*>(value);
    length = valueLength;
    return OCI_SUCCESS;
  }
  static sword attrGet(const void* handle, ub4 type, void* attribute, ub4* size, ub4 attr, void* err) {
    if (type == OCI_HTYPE_STMT && attr == OCI_ATTR_ROW_COUNT) {
      *static_cast<ub4*>(attribute) = 1;
      return OCI_SUCCESS;
    }
    return realAttrGet(handle, type, attribute, size, attr, err);
  }
  explicit LongOutputLibrary(TOraParamDesc& output) {
    param = &output;
    realExecute = OCIStmtExecute;
    realGetPieceInfo = OCIStmtGetPieceInfo;
    realSetPieceInfo = OCIStmtSetPieceInfo;
    realAttrGet = OCIAttrGet;
    OCIStmtExecute = execute;
    OCIStmtGetPieceInfo = getPieceInfo;
    OCIStmtSetPieceInfo = setPieceInfo;
    OCIAttrGet = attrGet;
    step = 0;
  }
  ~LongOutputLibrary() {
    OCIStmtExecute = realExecute;
    OCIStmtGetPieceInfo = realGetPieceInfo;
    OCIStmtSetPieceInfo = realSetPieceInfo;
    OCIAttrGet = realAttrGet;
  }
};

TEST_F(OraClassesTest, ALongOutputParameterReceivesItsPiecesInsteadOfSendingItsInput) {
  connect();
  auto block = command("begin :body := 'ignored'; end;");
  TOraParamDesc& body = block->Param(0);
  body.SetDataType(dtMemo);
  body.SetParamType(2);
  body.SetValue(Variant("the input value"));
  block->Prepare();
  LongOutputLibrary library(body);
  block->Execute(1);
  EXPECT_EQ(body.LongValue, "first piece, second piece");
  EXPECT_FALSE(body.GetNull());
  EXPECT_EQ(LongOutputLibrary::step, 3);
}

// A piece call of the library that fails.
sword failingPieceInfo(void*, void*, void**, ub4*, ub1*, ub4*, ub4*, ub1*) {
  return OCI_INVALID_HANDLE;
}

TEST_F(OraClassesTest, AStatementWhosePieceExchangeFailedRunsOnTheNextExecute) {
  connect();
  auto insert = command("insert into docs (id, body) values (:id, :body)");
  insert->Param(0).SetDataType(dtInteger);
  insert->Param(0).SetValue(Variant(int32_t(61)));
  insert->Param(1).SetDataType(dtMemo);
  insert->Param(1).SetParamType(1);
  insert->Param(1).SetValue(Variant("a long value"));
  insert->Prepare();
  {
    Replaced<OCIStmtGetPieceInfo_t> failing(OCIStmtGetPieceInfo, &failingPieceInfo);
    EXPECT_THROW(insert->Execute(1), std::exception);
  }
  EXPECT_FALSE(insert->GetExecuting());
  insert->Execute(1);  // not taken for one still running
  EXPECT_EQ(insert->RowsProcessed(), 1);
  connection_->Rollback();
}

// What the error call of the library answers, set by each case.
struct ErrorRecord {
  static inline sword answer = OCI_SUCCESS;
  static inline sb4 code = 0;
  static inline const char* text = "";
  static sword get(void*, ub4, OraText*, sb4* errorCode, OraText* buffer, ub4 size, ub4) {
    *errorCode = code;
    std::snprintf(reinterpret_cast<char*>(buffer), size, "%s", text);
    return answer;
  }
};

TEST_F(OraClassesTest, StatusesBecomeOracleNumbersAndOnlyFailuresRaise) {
  TOCIConnection& c = connect();
  Replaced<OCIErrorGet_t> errors(OCIErrorGet, &ErrorRecord::get);
  std::string msg;
  ErrorRecord::answer = OCI_ERROR;  // the library could not fill the record: the text tells
  ErrorRecord::code = 0;
  ErrorRecord::text = "ORA-12154: TNS:could not resolve the connect identifier specified";
  EXPECT_EQ(GetOraError(OCI_ERROR, msg, nullptr), 12154);

  ErrorRecord::answer = OCI_SUCCESS;
  ErrorRecord::code = 1403;
  ErrorRecord::text = "ORA-01403: no data found\n";
  EXPECT_NO_THROW(OraError(OCI_SUCCESS_WITH_INFO, nullptr));
  try {
    OraError(OCI_ERROR, nullptr);
    FAIL();
  } catch (const EOraError& e) {
    EXPECT_EQ(e.ErrorCode, 1403);
    EXPECT_STREQ(e.what(), "ORA-01403: no data found");
  }

  // On a connection, success with information passes unless the block compiled with errors.
  ErrorRecord::code = 24345;
  EXPECT_NO_THROW(c.Check(OCI_SUCCESS_WITH_INFO));
  ErrorRecord::code = 24344;
  ErrorRecord::text = "ORA-24344: success with compilation error";
  try {
    c.Check(OCI_SUCCESS_WITH_INFO);
    FAIL();
  } catch (const EOraError& e) {
    EXPECT_EQ(e.ErrorCode, 24344);
  }
  EXPECT_EQ(c.LastError(), 24344);
}

TEST_F(OraClassesTest, SessionSettingsAreFoundAtConnectAndUserValuesOutliveTheSession) {
  connection_ = std::make_unique<TOCIConnection>();
  TOCIConnection& c = *connection_;
  c.SetProp(prCharLength, Variant(int32_t(0)));  // found from the server at connect
  c.SetProp(prDateFormat, Variant("YYYY-MM-DD"));
  c.SetUsername("scott");
  c.SetPassword("tiger");
  c.SetServer("ORCL");
  c.Connect("");
  EXPECT_GE(c.GetCharLength(), 1);
  EXPECT_EQ(c.GetServerVersion(), "10.2.0.1.0 ");  // the banner's version with its blank
  EXPECT_EQ(c.NlsValue(0), "AMERICAN");
  Variant size;
  c.SetProp(prCharLength, Variant(int32_t(2)));
  c.GetProp(prMaxStringSize, size);
  EXPECT_EQ(size.asInt32(), 2000);
  c.SetProp(prCharLength, Variant(int32_t(1)));
  c.GetProp(prMaxStringSize, size);
  EXPECT_EQ(size.asInt32(), 4000);
  c.Disconnect();
  EXPECT_EQ(c.NlsValue(1), "YYYY-MM-DD");  // the user's value stays for the next session
  EXPECT_EQ(c.NlsValue(0), "");            // the server's is read again then
}

TEST_F(OraClassesTest, AutoCommitCommitsAStatementOnlyWhenConnectionAndCommandBothAskForIt) {
  TOCIConnection& c = connect();
  c.SetProp(prAutoCommit, Variant(true));
  const auto count = [this] {
    auto r = recordSet("select count(*) from t where id >= 900", 1);
    r->Open();
    std::vector<uint8_t> record(r->RecordSize);
    r->GetNextRecord(record.data());
    return r->GetFieldAsVariant(1, record.data()).asString();
  };
  auto kept = command("insert into t (id) values (900)");
  kept->SetProp(prAutoCommit, Variant(true));
  kept->Execute(1);
  c.Rollback();
  EXPECT_EQ(count(), "1");
  auto undone = command("insert into t (id) values (901)");
  undone->SetProp(prAutoCommit, Variant(false));
  undone->Execute(1);
  c.Rollback();
  EXPECT_EQ(count(), "1");
  command("delete from t where id >= 900")->Execute(1);
}

TEST_F(OraClassesTest, DescribeMakesEachColumnTheFieldItsSettingsAsk) {
  TOCIConnection& c = connect();
  auto select = command("select n, c, v255, v256, r from kinds");
  select->Prepare();
  select->DescribeOnly();
  struct Described {
    uint16_t DataType, SubDataType, Length, Size;
    bool Fixed;
  };
  const auto describe = [&select](int position, bool longStrings = false) {
    TFieldDesc field;
    EXPECT_TRUE(select->DescribeField(position, field, longStrings, true));
    return Described{field.DataType, field.SubDataType, field.Length, field.Size, field.Fixed};
  };
  EXPECT_EQ(describe(1).DataType, dtInteger);
  EXPECT_TRUE(describe(2).Fixed);
  const Described v255 = describe(3);
  EXPECT_EQ(v255.DataType, dtString);  // 255 is the longest string of the record
  EXPECT_EQ(v255.Size, 256);
  const Described v256 = describe(4);
  EXPECT_EQ(v256.DataType, dtMemo);
  EXPECT_EQ(v256.SubDataType, 1);
  EXPECT_EQ(describe(4, true).DataType, dtString);
  EXPECT_EQ(describe(5).DataType, dtFloat);
  c.SetProp(prEnableIntegers, Variant(false));
  EXPECT_EQ(describe(1).DataType, dtFloat);
  select->SetProp(prNumberAsString, Variant(true));
  const Described asText = describe(1);
  EXPECT_EQ(asText.DataType, dtString);
  EXPECT_EQ(asText.SubDataType, dtNumber);
  EXPECT_EQ(asText.Length, 9);
  EXPECT_EQ(asText.Size, 12);  // sign, decimal point and terminator beside nine digits
}

TEST_F(OraClassesTest, FixedCharAndLongTextColumnsReachTheRecord) {
  connect();
  for (const bool trim : {false, true}) {
    auto r = recordSet("select n, c, v256 from kinds order by n", 10);
    r->SetProp(prLongStrings, Variant(false));
    r->TrimFixedChar = trim;
    r->Open();
    EXPECT_EQ(r->Fields[2].DataType, dtMemo);
    std::vector<uint8_t> record(r->RecordSize);
    r->GetNextRecord(record.data());
    EXPECT_EQ(r->GetFieldAsVariant(2, record.data()).asString(), trim ? "ab" : "ab    ");
    EXPECT_EQ(r->GetFieldAsVariant(3, record.data()).asString(), "a long text");
    r->GetNextRecord(record.data());
    EXPECT_EQ(r->GetFieldAsVariant(2, record.data()).asString(), "abcdef");
    EXPECT_TRUE(r->GetNull(3, record.data()));
  }
}

// Counts the LOB reads and keeps the character-set form each read and write was given.
struct LobCalls {
  static inline decltype(OCILobRead) realRead;
  static inline decltype(OCILobWrite) realWrite;
  static inline int reads = 0;
  static inline std::vector<ub1> forms;
  static sword read(void* svc, void* err, void* locator, ub4* amount, ub4 offset, void* buffer, ub4 length,
                    void* context, void* callback, ub2 charsetId, ub1 form) {
    ++reads;
    forms.push_back(form);
    return realRead(svc, err, locator, amount, offset, buffer, length, context, callback, charsetId, 1);
  }
  static sword write(void* svc, void* err, void* locator, ub4* amount, ub4 offset, void* buffer, ub4 length,
                     ub1 piece, void* context, void* callback, ub2 charsetId, ub1 form) {
    forms.push_back(form);
    return realWrite(svc, err, locator, amount, offset, buffer, length, piece, context, callback, charsetId,
                     1);
  }
  static sword nationalForm(void*, void*, const void*, ub1* form) {
    *form = 2;
    return OCI_SUCCESS;
  }
  LobCalls() {
    realRead = OCILobRead;
    realWrite = OCILobWrite;
    OCILobRead = read;
    OCILobWrite = write;
    reads = 0;
    forms.clear();
  }
  ~LobCalls() {
    OCILobRead = realRead;
    OCILobWrite = realWrite;
  }
};

TEST_F(OraClassesTest, LobValuesFollowCachingTheTrimBeforeAWriteAndTheirCharacterSetForm) {
  TOCIConnection& c = connect();
  LobCalls calls;
  for (const bool cache : {true, false}) {
    auto r = recordSet("select id, body from lobs order by id", 10);
    r->GetCommand().SetProp(prCacheLobs, Variant(cache));
    r->Open();
    EXPECT_EQ(LobCalls::reads > 0, cache);  // read at the fetch only when cached
    LobCalls::reads = 0;
    std::vector<uint8_t> record(r->RecordSize);
    r->GetNextRecord(record.data());
    EXPECT_EQ(r->GetFieldAsVariant(2, record.data()).asString(), "first clob text");
    EXPECT_EQ(LobCalls::reads > 0, !cache);
    LobCalls::reads = 0;
  }

  TOraLob* blob = new TOraLob(c.GetSvcCtx());
  platform::ScopeExit release([blob] { blob->Release(); });
  blob->CreateTemporary(1);
  blob->Write(0, 10, "0123456789");
  blob->WriteLob();
  blob->Clear();
  blob->Write(0, 3, "abc");
  blob->WriteLob();  // the old tail must go
  EXPECT_EQ(blob->LengthLob(), 3u);

  Replaced<OCILobCharSetForm_t> national(OCILobCharSetForm, &LobCalls::nationalForm);
  LobCalls::forms.clear();
  auto r = recordSet("select id, body from lobs order by id", 10);
  r->Open();
  ASSERT_FALSE(LobCalls::forms.empty());
  for (const ub1 form : LobCalls::forms) EXPECT_EQ(form, 2);  // the form the library gives is read with
}

TEST_F(OraClassesTest, ALobValueLeftOnTheServerIsRefusedOnceItsLocatorWentWithTheClient) {
  TOCIConnection& c = connect();
  // Uncached, or cached with its reading put off: the value stays on the server until it is read
  // through the locator.
  std::vector<std::unique_ptr<TOCIRecordSet>> sets;
  std::vector<std::vector<uint8_t>> records;
  std::vector<TOraLob*> lobs;
  for (const int property : {prCacheLobs, prDeferredLobRead}) {
    auto r = recordSet("select id, body from lobs where id = 1", 10);
    if (property == prCacheLobs)
      r->GetCommand().SetProp(prCacheLobs, Variant(false));
    else
      r->SetProp(prDeferredLobRead, Variant(true));
    r->Open();
    records.emplace_back(r->RecordSize);
    r->SetToBegin();
    r->GetNextRecord(records.back().data());
    lobs.push_back(static_cast<TOraLob*>(r->GetFieldObject(2, records.back().data())));
    ASSERT_NE(lobs.back(), nullptr);
    sets.push_back(std::move(r));
  }

  c.Disconnect();
  FreeOCI();
  c.Connect("");
  const auto lost = [](const std::function<void()>& f) {
    try {
      f();
    } catch (const std::exception& e) {
      return std::string(e.what()).find("lost with the client of another Oracle home") != std::string::npos;
    }
    return false;
  };
  for (TOraLob* l : lobs) {
    SCOPED_TRACE(l == lobs[0] ? "uncached" : "deferred");
    EXPECT_TRUE(lost([l] { l->AsString(); }));
    EXPECT_TRUE(lost([l] { l->GetSize(); }));
    EXPECT_TRUE(lost([l] { l->LengthLob(); }));
    EXPECT_TRUE(lost([l] {
      std::ostringstream out;
      l->SaveToStream(out);
    }));
  }
  // Given a value of its own, it is a LOB again.
  TOraLob* deferred = lobs[1];
  deferred->NeedsReading = false;
  deferred->Write(0, 4, "mine");
  EXPECT_EQ(deferred->AsString(), "mine");
}

// TIMESTAMP and INTERVAL descriptors of a client library, kept in memory.
struct DateTimeLibrary {
  struct Stamp {
    sb2 year = 0;
    ub1 month = 0, day = 0, hour = 0, minute = 0, second = 0;
    ub4 fsec = 0;
    auto operator<=>(const Stamp&) const = default;
  };
  static inline decltype(OCIDescriptorAlloc) realAlloc;
  static inline decltype(OCIDescriptorFree) realFree;
  static inline std::string lastFormat;
  static inline int live = 0;
  static bool ours(ub4 type) { return type == 62 || type == 63 || (type >= 68 && type <= 70); }
  static sword alloc(const void* env, void** descriptor, ub4 type, size_t extra, void** user) {
    if (!ours(type)) return realAlloc(env, descriptor, type, extra, user);
    ++live;
    *descriptor = type >= 68 ? static_cast<void*>(new Stamp) : static_cast<void*>(new std::string);
    return OCI_SUCCESS;
  }
  static sword free(void* descriptor, ub4 type) {
    if (!ours(type)) return realFree(descriptor, type);
    --live;
    if (type >= 68)
      delete static_cast<Stamp*>(descriptor);
    else
      delete static_cast<std::string*>(descriptor);
    return OCI_SUCCESS;
  }
  static sword construct(void*, void*, void* d, sb2 y, ub1 mo, ub1 day, ub1 h, ub1 mi, ub1 s, ub4 fs,
                         const OraText*, size_t) {
    *static_cast<Stamp*>(d) = {y, mo, day, h, mi, s, fs};
    return OCI_SUCCESS;
  }
  static sword getDate(void*, void*, const void* d, sb2* y, ub1* mo, ub1* day) {
    const Stamp& stamp = *static_cast<const Stamp*>(d);
    *y = stamp.year;
    *mo = stamp.month;
    *day = stamp.day;
    return OCI_SUCCESS;
  }
  static sword getTime(void*, void*, void* d, ub1* h, ub1* mi, ub1* s, ub4* fs) {
    const Stamp& stamp = *static_cast<const Stamp*>(d);
    *h = stamp.hour;
    *mi = stamp.minute;
    *s = stamp.second;
    *fs = stamp.fsec;
    return OCI_SUCCESS;
  }
  static sword toText(void*, void*, const void* d, const OraText* format, ub1 formatLength, ub1,
                      const OraText*, size_t, ub4* size, OraText* buffer) {
    lastFormat.assign(reinterpret_cast<const char*>(format), formatLength);
    const Stamp& s = *static_cast<const Stamp*>(d);
    *size = ub4(std::snprintf(reinterpret_cast<char*>(buffer), *size, "%04d-%02d-%02d %02d:%02d:%02d", s.year,
                              s.month, s.day, s.hour, s.minute, s.second));
    return OCI_SUCCESS;
  }
  static sword fromText(void*, void*, const OraText* text, size_t length, const OraText*, ub1, const OraText*,
                        size_t, void* d) {
    int y, mo, day, h, mi, s;
    if (std::sscanf(std::string(reinterpret_cast<const char*>(text), length).c_str(), "%d-%d-%d %d:%d:%d", &y,
                    &mo, &day, &h, &mi, &s) != 6)
      return OCI_ERROR;
    *static_cast<Stamp*>(d) = {sb2(y), ub1(mo), ub1(day), ub1(h), ub1(mi), ub1(s), 0};
    return OCI_SUCCESS;
  }
  static sword compare(void*, void*, const void* a, const void* b, sword* result) {
    const auto order = *static_cast<const Stamp*>(a) <=> *static_cast<const Stamp*>(b);
    *result = order < 0 ? -1 : order > 0 ? 1 : 0;
    return OCI_SUCCESS;
  }
  static sword assign(void*, void*, const void* from, void* to) {
    *static_cast<Stamp*>(to) = *static_cast<const Stamp*>(from);
    return OCI_SUCCESS;
  }
  static sword intervalFromText(void*, void*, const OraText* text, size_t length, void* d) {
    *static_cast<std::string*>(d) = std::string(reinterpret_cast<const char*>(text), length);
    return OCI_SUCCESS;
  }
  static sword intervalToText(void*, void*, const void* d, ub1, ub1, OraText* buffer, size_t size,
                              size_t* length) {
    *length = std::size_t(std::snprintf(reinterpret_cast<char*>(buffer), size, "%s",
                                        static_cast<const std::string*>(d)->c_str()));
    return OCI_SUCCESS;
  }
  static sword intervalCheck(void*, void*, const void* d, ub4* valid) {
    *valid =
        static_cast<const std::string*>(d)->find_first_not_of("+-0123456789 :.") == std::string::npos ? 0 : 1;
    return OCI_SUCCESS;
  }

  const bool saved_ = (realAlloc = OCIDescriptorAlloc, realFree = OCIDescriptorFree, true);
  Replaced<OCIDescriptorAlloc_t> alloc_{OCIDescriptorAlloc, &alloc};
  Replaced<OCIDescriptorFree_t> free_{OCIDescriptorFree, &free};
  Replaced<OCIDateTimeConstruct_t> construct_{OCIDateTimeConstruct, &construct};
  Replaced<OCIDateTimeGetDate_t> getDate_{OCIDateTimeGetDate, &getDate};
  Replaced<OCIDateTimeGetTime_t> getTime_{OCIDateTimeGetTime, &getTime};
  Replaced<OCIDateTimeToText_t> toText_{OCIDateTimeToText, &toText};
  Replaced<OCIDateTimeFromText_t> fromText_{OCIDateTimeFromText, &fromText};
  Replaced<OCIDateTimeCompare_t> compare_{OCIDateTimeCompare, &compare};
  Replaced<OCIDateTimeAssign_t> assign_{OCIDateTimeAssign, &assign};
  Replaced<OCIIntervalFromText_t> intervalFromText_{OCIIntervalFromText, &intervalFromText};
  Replaced<OCIIntervalToText_t> intervalToText_{OCIIntervalToText, &intervalToText};
  Replaced<OCIIntervalCheck_t> intervalCheck_{OCIIntervalCheck, &intervalCheck};
};

TEST_F(OraClassesTest, TimestampsAndIntervalsWorkThroughTheClientLibraryWithNothingInstalled) {
  connect();
  DateTimeLibrary library;
  {
    TOraTimeStamp* a = new TOraTimeStamp(dtTimeStamp);
    TOraTimeStamp* b = new TOraTimeStamp(dtTimeStamp);
    platform::ScopeExit release([a, b] {
      a->Release();
      b->Release();
    });
    const DateTime noon{45351.5};  // 2024-02-29 12:00
    a->SetAsDateTime(noon);
    EXPECT_EQ(a->AsDateTime().days, noon.days);
    a->SetFormat("YYYY-MM-DD HH24:MI:SS");
    EXPECT_EQ(a->AsString(), "2024-02-29 12:00:00");
    EXPECT_EQ(DateTimeLibrary::lastFormat, "YYYY-MM-DD HH24:MI:SS");
    b->SetFormat("YYYY-MM-DD HH24:MI:SS");
    b->SetAsString("2024-02-29 12:00:01");
    EXPECT_LT(a->Compare(*b), 0);
    EXPECT_THROW(b->SetAsString("not a time"), EOraError);
    EXPECT_EQ(b->AsString(), "2024-02-29 12:00:01");  // a failed write leaves the value
    b->AssignTo(*a);
    EXPECT_EQ(a->Compare(*b), 0);

    TOraInterval* span = new TOraInterval(dtIntervalDS);
    platform::ScopeExit releaseSpan([span] { span->Release(); });
    span->SetAsString("+01 02:03:04.5");
    EXPECT_EQ(span->AsString(), "+01 02:03:04.5");
    try {
      span->SetAsString("one day");
      FAIL();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Invalid interval.");
    }
    EXPECT_EQ(span->AsString(), "+01 02:03:04.5");
  }
  EXPECT_EQ(DateTimeLibrary::live, 0);
}

// ROWID descriptors of a library whose data the test chooses.
struct RowidLibrary {
  static inline decltype(OCIDescriptorAlloc) realAlloc;
  static inline decltype(OCIDescriptorFree) realFree;
  static inline decltype(OCIAttrGet) realAttrGet;
  static inline std::vector<uint8_t> data;
  static inline int live = 0;
  static sword alloc(const void* env, void** descriptor, ub4 type, size_t extra, void** user) {
    if (type != OCI_DTYPE_ROWID) return realAlloc(env, descriptor, type, extra, user);
    ++live;
    *descriptor = new uint8_t[16]{};
    return OCI_SUCCESS;
  }
  static sword free(void* descriptor, ub4 type) {
    if (type != OCI_DTYPE_ROWID) return realFree(descriptor, type);
    --live;
    delete[] static_cast<uint8_t*>(descriptor);
    return OCI_SUCCESS;
  }
  static sword attrGet(const void* handle, ub4 type, void* attribute, ub4* size, ub4 attr, void* err) {
    if (type != OCI_HTYPE_STMT || attr != OCI_ATTR_ROWID)
      return realAttrGet(handle, type, attribute, size, attr, err);
    if (data.empty()) return OCI_NO_DATA;
    std::memcpy(attribute, data.data(), data.size());
    return OCI_SUCCESS;
  }
  static sword toChar(void* descriptor, OraText* buffer, ub2* length, void*) {
    const std::string text = "text of " + std::to_string(static_cast<uint8_t*>(descriptor)[12]);
    *length = ub2(text.size());
    std::memcpy(buffer, text.data(), text.size());
    return OCI_SUCCESS;
  }
  const bool saved_ =
      (realAlloc = OCIDescriptorAlloc, realFree = OCIDescriptorFree, realAttrGet = OCIAttrGet, true);
  Replaced<OCIDescriptorAlloc_t> alloc_{OCIDescriptorAlloc, &alloc};
  Replaced<OCIDescriptorFree_t> free_{OCIDescriptorFree, &free};
  Replaced<OCIAttrGet_t> attrGet_{OCIAttrGet, &attrGet};
  Replaced<OCIRowidToChar_t> toChar_{OCIRowidToChar, &toChar};
  Replaced<uint8_t> version_{OCIVersion, OCIVersion};
};

TEST_F(OraClassesTest, TheRowidOfTheLastRowIsReadInTheLayoutOfTheLibrarysLevel) {
  connect();
  auto update = command("update t set name = name where id = -1");
  update->Prepare();
  update->Execute(1);
  RowidLibrary library;
  RowidLibrary::data.clear();
  EXPECT_EQ(update->GetRowId(), "");  // no row touched
  RowidLibrary::data = {1, 0, 0, 0x1D, 0x2A, 0, 4, 0, 0, 0, 0x8B, 0, 7};
  OCIVersion = 4;
  EXPECT_EQ(update->GetRowId(), "text of 7");
  OCIVersion = 3;
  EXPECT_EQ(update->GetRowId(), "AAAB0qAAEAAAACLAAH");
  RowidLibrary::data = {2, 0xFF, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(update->GetRowId().substr(0, 5), "*/wAQ");
  OCIVersion = 2;  // machine order, two bytes between file and block
  RowidLibrary::data = {0x2A, 0x1D, 0, 0, 4, 0, 0, 0, 0x8B, 0, 0, 0, 7, 0};
  EXPECT_EQ(update->GetRowId(), "AAAB0qAAEAAAACLAAH");
  EXPECT_EQ(RowidLibrary::live, 0);
}

// The execution modes and commits a connection asks of the library.
struct CommitWatch {
  static inline decltype(OCIStmtExecute) realExecute;
  static inline decltype(OCITransCommit) realCommit;
  static inline std::vector<ub4> modes;
  static inline int commits = 0;
  static sword execute(void* svc, void* stmt, void* err, ub4 iters, ub4 offset, const void* in, void* out,
                       ub4 mode) {
    modes.push_back(mode);
    return realExecute(svc, stmt, err, iters, offset, in, out, mode);
  }
  static sword commit(void* svc, void* err, ub4 flags) {
    ++commits;
    return realCommit(svc, err, flags);
  }
  const bool saved_ =
      (realExecute = OCIStmtExecute, realCommit = OCITransCommit, modes.clear(), commits = 0, true);
  Replaced<OCIStmtExecute_t> execute_{OCIStmtExecute, &execute};
  Replaced<OCITransCommit_t> commit_{OCITransCommit, &commit};
};

TEST_F(OraClassesTest, LobParametersAreReadOrWrittenAfterTheStatement) {
  TOCIConnection& c = connect();
  auto read = command("begin select body into :b from lobs where id = 1; end;");
  TOraParamDesc& out = read->Param(0);
  out.SetDataType(dtOraClob);
  out.SetParamType(2);
  read->Execute(1);
  EXPECT_EQ(out.GetAsLob().AsString(), "first clob text");

  auto write = command("begin select body into :b from lobs where id = 3; end;");
  TOraParamDesc& in = write->Param(0);
  in.SetDataType(dtOraClob);
  in.SetParamType(1);
  in.GetAsLob().Write(0, 7, "written");
  write->SetProp(prAutoCommit, Variant(true));
  c.SetProp(prAutoCommit, Variant(true));
  CommitWatch watch;
  write->Execute(1);
  // The value goes after the statement, so the commit follows the write instead of riding on the
  // execution.
  EXPECT_EQ(CommitWatch::modes, (std::vector<ub4>{0}));
  EXPECT_EQ(CommitWatch::commits, 1);
  TOraLob& written = in.GetAsLob();
  written.Clear();
  written.ReadLob();
  EXPECT_EQ(written.AsString(), "written");
  CommitWatch::modes.clear();
  CommitWatch::commits = 0;
  auto plain = command("update t set name = name where id = -1");
  plain->SetProp(prAutoCommit, Variant(true));
  plain->Execute(1);
  EXPECT_EQ(CommitWatch::modes, (std::vector<ub4>{OCI_COMMIT_ON_SUCCESS}));
  EXPECT_EQ(CommitWatch::commits, 0);

  auto neither = command("begin select body into :b from lobs where id = 1; end;");
  neither->Param(0).SetDataType(dtOraClob);
  neither->Param(0).SetParamType(3);
  try {
    neither->Execute(1);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Lob parameter should be Input or Output");
  }
}

TEST_F(OraClassesTest, OutputLobParametersLeftUncachedReadTheirValuesThroughTheLocator) {
  connect();
  struct Case {
    const char* sql;
    uint16_t type;
    std::string value;
    bool null;
  };
  const Case cases[] = {
      {"begin select body into :b from lobs where id = 1; end;", dtOraClob, "first clob text", false},
      {"begin select data into :b from lobs where id = 1; end;", dtOraBlob, std::string("\x01\x02\x03"),
       false},
      {"begin select body into :b from lobs where id = 2; end;", dtOraClob, "", true},
  };
  for (const Case& with : cases) {
    SCOPED_TRACE(with.sql);
    auto read = command(with.sql);
    read->SetProp(prCacheLobs, Variant(false));
    TOraParamDesc& out = read->Param(0);
    out.SetDataType(with.type);
    out.SetParamType(2);
    TOraLob& lob = out.GetAsLob();
    lob.SetCached(false);  // kept so by the execution without CacheLobs
    read->Execute(1);
    ASSERT_FALSE(lob.GetCached());
    EXPECT_EQ(out.GetNull(), with.null);
    EXPECT_EQ(lob.GetSize(), with.value.size());
    EXPECT_EQ(lob.AsString(), with.value);
  }
}

TEST_F(OraClassesTest, ReopeningRunsTheStatementAgainOverTheSameFields) {
  connect();
  auto r = recordSet("select n, name from r where n > 57 order by n", 2);
  r->Open();
  r->SetToEnd();
  EXPECT_EQ(numbers(*r), (std::vector<int>{58, 59, 60}));
  command("insert into r (n, name) values (61, 'name 61')")->Execute(1);
  r->Reopen();
  EXPECT_EQ(r->Command().GetCursorState(), 7);
  r->SetToEnd();
  EXPECT_EQ(numbers(*r), (std::vector<int>{58, 59, 60, 61}));
  EXPECT_EQ(r->Fields.Count(), 2);
  r->Close();
  command("delete from r where n = 61")->Execute(1);
}

// The value sizes the command binds, by placeholder.
struct BindSizes {
  static inline decltype(OCIBindByName) real;
  static inline std::map<std::string, sb4> sizes;
  static sword bind(void* stmt, void** handle, void* err, const OraText* name, sb4 nameLength, void* value,
                    sb4 valueSize, ub2 type, void* indicator, ub2* length, ub2* code, ub4 maxElements,
                    ub4* elements, ub4 mode) {
    sizes[std::string(reinterpret_cast<const char*>(name), size_t(nameLength))] = valueSize;
    return real(stmt, handle, err, name, nameLength, value, valueSize, type, indicator, length, code,
                maxElements, elements, mode);
  }
  const bool saved_ = (real = OCIBindByName, sizes.clear(), true);
  Replaced<OCIBindByName_t> bind_{OCIBindByName, &bind};
};

TEST_F(OraClassesTest, TextBindsGoAsLongAsTheirValueOrAsTheCharacterLengthAllows) {
  TOCIConnection& c = connect();
  BindSizes sizes;
  auto select = command("select count(*) from r where name = :name");
  TOraParamDesc& name = select->Param(0);
  name.SetDataType(dtString);
  name.SetSize(4000);
  name.SetParamType(1);
  name.SetItemAsString(1, "name 7");
  select->Execute(1);
  EXPECT_EQ(BindSizes::sizes[":name"], 7);  // the value and its terminator
  c.SetProp(prCharLength, Variant(int32_t(3)));
  select->Execute(1);
  EXPECT_EQ(BindSizes::sizes[":name"], 1333);  // what 4000 bytes hold in characters of three bytes

  // A value passed in that is longer goes whole: a cut would lose text (and split a character)
  // that the column may well take, and report success.
  const std::string text = std::string(1330, 'x') + "\xc3\xb1" + std::string(668, 'y');
  auto insert = command("insert into docs (id, body) values (62, :body)");
  TOraParamDesc& body = insert->Param(0);
  body.SetDataType(dtString);
  body.SetSize(4000);
  body.SetParamType(1);
  body.SetItemAsString(1, text);
  insert->Execute(1);
  auto read = recordSet("select body from docs where id = 62", 1);
  read->Open();
  std::vector<uint8_t> record(read->RecordSize);
  read->SetToEnd();
  ASSERT_EQ(read->GetRecordCount(), 1);
  read->SetRecNo(1);
  read->GetRecord(record.data());
  EXPECT_EQ(read->GetFieldAsVariant(1, record.data()).asString(), text);
  read->Close();

  // And so does a wide one.
  std::u16string wide(990, u'w');
  wide += u"\u20ac\u00f1" + std::u16string(8, u'v');
  auto insertWide = command("insert into docs (id, body) values (63, :body)");
  TOraParamDesc& wideBody = insertWide->Param(0);
  wideBody.SetDataType(dtWideString);
  wideBody.SetSize(4000);
  wideBody.SetParamType(1);
  wideBody.SetItemAsWideString(1, wide);
  insertWide->Execute(1);
  auto readWide = recordSet("select body from docs where id = 63", 1);
  readWide->Open();
  readWide->SetToEnd();
  ASSERT_EQ(readWide->GetRecordCount(), 1);
  readWide->SetRecNo(1);
  readWide->GetRecord(record.data());
  EXPECT_EQ(readWide->GetFieldAsVariant(1, record.data()).asString(),
            std::string(990, 'w') + "\u20ac\u00f1" + std::string(8, 'v'));
  readWide->Close();
  c.Rollback();
}

TEST_F(OraClassesTest, AnOutputValueLongerThanItsParameterIsReportedNotCut) {
  connect();
  auto block = command("begin :x := rpad('a', :n, 'b'); end;");
  TOraParamDesc& x = block->Param(0);
  x.SetDataType(dtString);
  x.SetSize(10);
  x.SetParamType(3);  // in and out: the value it came with is shorter
  x.SetItemAsString(1, "in");
  block->Param(1).SetDataType(dtInteger);
  block->Param(1).SetParamType(1);
  block->Param(1).SetValue(Variant(int32_t(9)));
  block->Execute(1);  // nine characters fit
  EXPECT_EQ(x.GetItemAsString(1), "abbbbbbbb");

  block->Param(1).SetValue(Variant(int32_t(100)));
  try {
    block->Execute(1);
    FAIL() << "a cut value came back as " << x.GetItemAsString(1);
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The value of parameter x was truncated");
  }
  x.SetSize(101);
  block->Execute(1);
  EXPECT_EQ(x.GetItemAsString(1), "a" + std::string(99, 'b'));
}

TEST(OraFixedCharTest, FixedLengthTextGoesOverWholeWithCrLfLineEndsWhenAskedFor) {
  TOCIConnection connection;
  TOCIRecordSet recordSet;
  recordSet.SetConnection(&connection);
  TFieldDesc field;
  field.DataType = dtFixedChar;
  field.Size = 6;
  field.Offset = 0;
  const uint8_t record[6] = {'a', '\n', 'b', '\r', '\n', ' '};
  char out[16] = {};
  recordSet.GetFieldData(field, record, out, sizeof out);
  EXPECT_EQ(std::string(out, 6), std::string("a\nb\r\n "));
  connection.SetProp(prConvertEOL, Variant(true));
  std::memset(out, 0, sizeof out);
  recordSet.GetFieldData(field, record, out, sizeof out);
  EXPECT_STREQ(out, "a\r\nb\r\n ");  // a line end already CR LF stays as it is

  field.DataType = dtFixedWideChar;
  const uint8_t wide[6] = {'x', 0, '\n', 0, 'y', 0};
  char16_t wideOut[8] = {};
  recordSet.GetFieldData(field, wide, wideOut, sizeof wideOut);
  EXPECT_EQ(std::u16string(wideOut), u"x\r\ny");
}

}  // namespace
}  // namespace oracle
