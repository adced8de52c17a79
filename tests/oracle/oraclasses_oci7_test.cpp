// The old call style against the stand-in server: a session over a logon data area, statements
// over a cursor data area with their binds, arrays, LONG pieces both ways and their mismatches,
// errors, ROWIDs, the describe rows, the cancel at the end of a fetch and execution on a worker.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "oracle/oraclasses.h"
#include "oracle/oraerror.h"
#include "platform/eventqueue.h"
#include "tests/oracle/oracle_testing.h"

namespace oracle {
namespace {

using namespace dataaccess;

template <typename F>
struct Replaced {
  Replaced(F& variable, F with) : variable_(variable), saved_(variable) { variable = with; }
  ~Replaced() { variable_ = saved_; }
  F& variable_;
  F saved_;
};

class OldCallStyleTest : public testing::StandInTest {
 protected:
  void TearDown() override {
    connection_.reset();
    FreeOCI();
    ::unsetenv("OCI_STANDIN_DELAY_US");
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

  // The values of every row, field by field, as the record set gives them.
  static std::vector<std::vector<Variant>> rows(TQvRecordSet& r) {
    std::vector<std::vector<Variant>> result;
    std::vector<uint8_t> record(r.RecordSize);
    r.SetToEnd();
    for (int n = 1; n <= r.GetRecordCount(); ++n) {
      r.SetRecNo(n);
      r.GetRecord(record.data());
      std::vector<Variant> row;
      for (int f = 1; f <= r.Fields.Count(); ++f) row.push_back(r.GetFieldAsVariant(f, record.data()));
      result.push_back(std::move(row));
    }
    return result;
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
  EXPECT_EQ(c.MaxStringSize(), 2000);  // the old calls' text limit, whatever the server

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
  // A unit that compiled with errors is stored all the same; the connection notes it.
  command("create or replace procedure broken7 as begin")->Execute(1);
  EXPECT_EQ(c.LastError(), 24344);
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
  insert->Prepare();
  insert->Execute(1);
  EXPECT_EQ(insert->RowsProcessed(), 1);
  // The prepared statement again: its value is asked for afresh.
  insert->Param(0).SetValue(Variant(int32_t(71)));
  insert->Param(1).LongValue = "a second value";
  insert->Execute(1);

  auto read = command("begin select body into :body from docs where id = :id; end;");
  read->Param(0).SetDataType(dtMemo);
  read->Param(0).SetParamType(2);
  read->Param(1).SetDataType(dtInteger);
  read->Param(1).SetParamType(1);
  read->Param(1).SetValue(Variant(int32_t(70)));
  read->Execute(1);
  EXPECT_EQ(read->Param(0).LongValue.size(), text.size());
  EXPECT_TRUE(read->Param(0).LongValue == text);
  read->Param(1).SetValue(Variant(int32_t(71)));
  read->Execute(1);
  EXPECT_EQ(read->Param(0).LongValue, "a second value");
  connection_->Rollback();
}

TEST_F(OldCallStyleTest, ARecordSetDescribesDefinesAndFetchesOverTheCursorArea) {
  connect();
  auto fill = command(
      "insert into t (id, name, amount, big, hired, bytes) values (:id, :name, 12.5, "
      "12345678901, to_date('2024-02-29', 'YYYY-MM-DD'), :bytes)");
  fill->Param(0).SetDataType(dtInteger);
  fill->Param(1).SetDataType(dtString);
  fill->Param(1).SetSize(21);
  fill->Param(2).SetDataType(dtVarBytes);
  fill->Param(2).SetSize(18);
  fill->Param(2).SetValue(Variant::bytes({0x0A, 0x0B}));  // through the length word
  fill->SetProp(prStoreRowId, Variant(true));
  std::string firstRowid;
  for (int id = 801; id <= 807; ++id) {
    fill->Param(0).SetValue(Variant(int32_t(id)));
    fill->Param(1).SetValue(Variant("n" + std::to_string(id)));
    fill->Execute(1);
    if (id == 801) firstRowid = fill->GetRowId();
  }
  auto docs = command("insert into docs (id, body) values (:id, :body)");
  docs->Param(0).SetDataType(dtInteger);
  docs->Param(1).SetDataType(dtMemo);
  docs->Param(1).SetParamType(1);
  for (int id = 81; id <= 82; ++id) {
    docs->Param(0).SetValue(Variant(int32_t(id)));
    docs->Param(1).LongValue = std::string(size_t(40000 * (id - 80)), char('a' + id - 81));
    docs->Param(1).SetNull(false);
    docs->Execute(1);
  }

  auto records = connection_->CreateRecordSet();
  auto& r = static_cast<TOCIRecordSet&>(*records);
  r.SetSQL("select id, name, amount, big, hired, bytes, rowid from t where id > 800 order by id");
  r.SetProp(prFetchRows, Variant(int32_t(3)));
  r.Open();
  ASSERT_EQ(r.Fields.Count(), 7);
  EXPECT_EQ(r.Fields[0].Name, "ID");
  EXPECT_EQ(r.Fields[0].DataType, dtInteger);
  EXPECT_EQ(r.Fields[1].DataType, dtString);
  EXPECT_EQ(r.Fields[1].Length, 20);
  EXPECT_EQ(r.Fields[2].DataType, dtFloat);
  EXPECT_EQ(r.Fields[4].DataType, dtDateTime);
  EXPECT_EQ(r.Fields[5].DataType, dtVarBytes);
  EXPECT_EQ(r.Fields[6].SubDataType, dtRowId);
  const auto values = rows(r);
  ASSERT_EQ(values.size(), 7u);
  for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(values[i][0].asInt32(), int(801 + i));
  EXPECT_EQ(values[0][1].asString(), "n801");
  EXPECT_DOUBLE_EQ(values[0][2].asDouble(), 12.5);
  EXPECT_EQ(values[0][3].asString(), "12345678901");
  EXPECT_EQ(values[0][5].asBytes(), (std::vector<uint8_t>{0x0A, 0x0B}));
  // The ROWID the insert left in the cursor area names the row the query reads.
  EXPECT_EQ(values[0][6].asString(), firstRowid);
  r.Close();

  // LONG columns come one row at a time, piece by piece.
  auto longs = connection_->CreateRecordSet();
  longs->SetSQL("select id, body from docs where id > 80 order by id");
  longs->SetProp(prFetchRows, Variant(int32_t(10)));
  longs->Open();
  EXPECT_EQ(longs->Fields[1].DataType, dtMemo);
  std::vector<size_t> sizes;
  for (const auto& row : rows(*longs)) sizes.push_back(row[1].asString().size());
  EXPECT_EQ(sizes, (std::vector<size_t>{40000, 80000}));
  longs->Close();
  connection_->Rollback();
}

// Collects the piece warnings of the statements run while it lives.
struct PieceWarnings {
  PieceWarnings() {
    SetPieceWarningHandler([this](const std::string& message) { messages.push_back(message); });
  }
  ~PieceWarnings() { SetPieceWarningHandler(nullptr); }
  std::vector<std::string> messages;
};

TEST_F(OldCallStyleTest, PiecesTheServerGivesBeyondTheOutputParametersAreDroppedWithAWarning) {
  connect();
  // The block writes a value the program gave as input only: the library hands it back in pieces
  // that no output parameter takes.
  auto block = command("begin :body := rpad('x', 450, 'y'); :n := 42; end;");
  TOraParamDesc& body = block->Param(0);
  body.SetDataType(dtMemo);
  body.SetParamType(1);
  body.LongValue = "the input";
  body.SetNull(false);
  TOraParamDesc& n = block->Param(1);
  n.SetDataType(dtInteger);
  n.SetParamType(2);
  block->Prepare();
  try {
    block->Execute(1);
    FAIL() << "a dropped value went unnoticed";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), SNotEnoughOutputParams);
  }
  {
    // The broken-off run left nothing behind: this one runs the block afresh.
    n.SetValue(Variant(int32_t(0)));
    PieceWarnings warnings;
    block->Execute(1);
    EXPECT_EQ(warnings.messages, std::vector<std::string>{SNotEnoughOutputParams});  // once for 5 pieces
    EXPECT_EQ(body.LongValue, "the input");
    EXPECT_EQ(n.GetValue().asInt32(), 42);
  }

  // An output parameter the block leaves alone comes back with no value, not its old one; an
  // input/output one keeps its input. Nothing is cut, so no handler is needed.
  auto untouched = command("begin select count(*) into :n from t where :out is null or :both is null; end;");
  untouched->Param(0).SetDataType(dtInteger);
  untouched->Param(0).SetParamType(2);
  TOraParamDesc& out = untouched->Param(1);
  out.SetDataType(dtMemo);
  out.SetParamType(2);
  out.LongValue = "stale";
  out.SetNull(false);
  TOraParamDesc& both = untouched->Param(2);
  both.SetDataType(dtMemo);
  both.SetParamType(3);
  both.LongValue = "kept";
  both.SetNull(false);
  untouched->Execute(1);
  EXPECT_TRUE(out.GetNull());
  EXPECT_EQ(out.LongValue, "");
  EXPECT_EQ(both.LongValue, "kept");
  PieceWarnings warnings;
  untouched->Execute(1);
  EXPECT_EQ(warnings.messages, std::vector<std::string>{STooManyOutputParams});
}

// A client library that asks for the input pieces of the values in `asks` (the contexts they
// were bound with; an unknown one is nullptr), one piece each, and notes what it is given.
struct PieceAskingLibrary {
  static inline std::vector<void*> asks;
  static inline size_t at = 0;
  static inline std::vector<std::string> given;  // piece code ":" value, "-" for no buffer
  static inline int breaks = 0;
  static inline bool failing = false;  // ogetpi answers ORA-01012

  static sword execute(void*, sword, sword) { return at < asks.size() ? -3129 : 0; }
  static sword getPiece(void*, ub1* piece, void** context, ub4* iteration, ub4* index) {
    if (failing) return -1012;
    *piece = 1;
    *context = asks[at];
    *iteration = *index = 0;
    return 0;
  }
  static sword setPiece(void*, ub1 piece, void* buffer, ub4* length) {
    given.push_back(std::to_string(piece) + ":" +
                    (buffer != nullptr ? std::string(static_cast<char*>(buffer), *length) : "-"));
    if (at < asks.size()) ++at;
    return 0;
  }
  static sword breakCall(void*) {
    ++breaks;
    return 0;
  }
  explicit PieceAskingLibrary(std::vector<void*> contexts) {
    asks = std::move(contexts);
    at = 0;
    given.clear();
    breaks = 0;
    failing = false;
  }
  Replaced<oexn_t> execute_{oexn, &execute};
  Replaced<ogetpi_t> getPiece_{ogetpi, &getPiece};
  Replaced<osetpi_t> setPiece_{osetpi, &setPiece};
  Replaced<obreak_t> break_{obreak, &breakCall};
};

TEST_F(OldCallStyleTest, InputPiecesTheLibraryWantsBeyondOrShortOfTheParametersWarnOrBreakOff) {
  connect();
  auto insert = command("insert into docs (id, body) values (:id, :body)");
  insert->Param(0).SetDataType(dtMemo);
  insert->Param(0).SetParamType(1);
  insert->Param(0).LongValue = "first";
  insert->Param(0).SetNull(false);
  insert->Param(1).SetDataType(dtMemo);
  insert->Param(1).SetParamType(1);
  insert->Param(1).LongValue = "second";
  insert->Param(1).SetNull(false);
  insert->Prepare();
  void* first = &insert->Param(0);
  void* second = &insert->Param(1);
  {
    // A value asked for again, then one no parameter has: both given empty.
    PieceAskingLibrary library({first, second, first, nullptr});
    PieceWarnings warnings;
    insert->Execute(1);
    EXPECT_EQ(PieceAskingLibrary::given,
              (std::vector<std::string>{"3:first", "3:second", "3:-", "3:-", "3:-"}));
    EXPECT_EQ(warnings.messages, std::vector<std::string>{SNotEnoughInputParams});
  }
  {
    // The library is done before the second value: it was not stored.
    PieceAskingLibrary library({first});
    PieceWarnings warnings;
    insert->Execute(1);
    EXPECT_EQ(PieceAskingLibrary::given, (std::vector<std::string>{"3:first", "3:-"}));
    EXPECT_EQ(warnings.messages, std::vector<std::string>{STooManyInputParams});
  }
  {
    // Without a handler either mismatch breaks the statement off.
    PieceAskingLibrary library({first});
    try {
      insert->Execute(1);
      FAIL();
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), STooManyInputParams);
    }
    EXPECT_EQ(PieceAskingLibrary::breaks, 1);
    PieceAskingLibrary again({nullptr});
    EXPECT_THROW(insert->Execute(1), std::runtime_error);
    EXPECT_EQ(PieceAskingLibrary::breaks, 1);
    EXPECT_EQ(PieceAskingLibrary::given, std::vector<std::string>{});
  }
  {
    // A failing piece call ends the run; the next one runs.
    insert->Prepare();
    PieceAskingLibrary library({first, second});
    PieceAskingLibrary::failing = true;
    EXPECT_THROW(insert->Execute(1), EOraError);
    PieceAskingLibrary::failing = false;
    PieceWarnings warnings;
    insert->Execute(1);
    EXPECT_EQ(PieceAskingLibrary::given, (std::vector<std::string>{"3:first", "3:second", "3:-"}));
    EXPECT_TRUE(warnings.messages.empty());
  }
}

TEST_F(OldCallStyleTest, TheSelectListIsDescribedByTheOldTypeRows) {
  connect();
  command(
      "create table oldkinds (v300 varchar2(300), v40 varchar2(40), c5 char(5), n number, n5 number(5) not "
      "null, n12 number(12), n72 number(7,2), d date, r40 raw(40), body long)")
      ->Execute(1);
  command("create table oldraws (img long raw, doc clob)")->Execute(1);
  const auto describe = [this](const std::string& sql, std::vector<std::unique_ptr<TFieldDesc>>& fields,
                               const std::vector<std::pair<int, bool>>& props = {}) {
    auto select = command(sql);
    for (const auto& [prop, on] : props) select->SetProp(prop, Variant(on));
    select->Prepare();
    fields.clear();
    for (int position = 1;; ++position) {
      auto field = std::make_unique<TFieldDesc>();
      if (!select->DescribeField(position, *field, false, false)) break;
      fields.push_back(std::move(field));
    }
  };
  const std::string kinds = "select v300, v40, c5, n, n5, n12, n72, d, r40, body, rowid from oldkinds";
  std::vector<std::unique_ptr<TFieldDesc>> f;
  connection_->SetProp(prEnableNumbers, Variant(true));  // no NUMBER values in the old style
  describe(kinds, f);
  ASSERT_EQ(f.size(), 11u);
  const auto expectField = [&f](size_t i, uint16_t type, uint16_t sub, uint16_t length, uint16_t size) {
    SCOPED_TRACE(f[i]->Name);
    EXPECT_EQ(f[i]->DataType, type);
    EXPECT_EQ(f[i]->SubDataType, sub);
    EXPECT_EQ(f[i]->Length, length);
    EXPECT_EQ(f[i]->Size, size);
  };
  expectField(0, dtMemo, 1, 300, 4);
  expectField(1, dtExtString, 0, 40, 4);
  expectField(2, dtString, 0, 5, 6);
  EXPECT_TRUE(f[2]->Fixed);
  EXPECT_FALSE(f[1]->Fixed);
  expectField(3, dtString, dtNumber, 38, 41);  // no precision: exact as text
  expectField(4, dtInteger, 0, 5, 4);
  EXPECT_TRUE(f[4]->Required);
  EXPECT_FALSE(f[3]->Required);
  expectField(5, dtInt64, 0, 12, 8);
  expectField(6, dtFloat, 0, 7, 8);
  EXPECT_EQ(f[6]->Scale, 2);
  expectField(7, dtDateTime, 0, 0, 7);
  expectField(8, dtVarBytes, 0, 40, 42);
  expectField(9, dtMemo, 0, 0, 4);
  expectField(10, dtString, dtRowId, 18, 19);
  EXPECT_EQ(f[10]->Name, "ROWID");

  describe(kinds, f, {{prNumberAsString, true}, {prRawAsString, true}});
  expectField(3, dtString, dtNumber, 38, 41);
  expectField(4, dtString, dtNumber, 5, 8);
  expectField(8, dtString, 0, 80, 81);
  describe(kinds, f, {{prFieldsAsString, true}});
  EXPECT_EQ(f[7]->DataType, dtString);
  EXPECT_GE(f[7]->Length, 9);

  describe("select img from oldraws", f);
  expectField(0, dtBlob, 0, 0, 4);
  try {
    describe("select doc from oldraws", f);
    FAIL() << "a CLOB has no old-style row";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Data type is not supported.");
  }

  // The rows fetch as described, the old style's RAW in the record.
  auto insert =
      command("insert into oldkinds (v40, n, n5, r40) values ('forty', 12345678901234567890, 5, :r)");
  insert->Param(0).SetDataType(dtVarBytes);
  insert->Param(0).SetSize(40);
  insert->Param(0).SetValue(Variant::bytes({0x0A, 0x0B}));
  insert->Execute(1);
  auto records = connection_->CreateRecordSet();
  records->SetSQL("select v40, n, n5, r40 from oldkinds");
  records->Open();
  const auto values = rows(*records);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0][0].asString(), "forty");
  EXPECT_EQ(values[0][1].asString(), "12345678901234567890");
  EXPECT_EQ(values[0][2].asInt32(), 5);
  EXPECT_EQ(values[0][3].asBytes(), (std::vector<uint8_t>{0x0A, 0x0B}));
  records->Close();
  command("drop table oldraws")->Execute(1);
  command("drop table oldkinds")->Execute(1);
}

// Counts the cancels of old-style cursors, which still reach the library.
struct CancelCount {
  static inline ocan_t real = nullptr;
  static inline int calls = 0;
  static sword count(void* cda) {
    ++calls;
    return real(cda);
  }
};

struct FetchCount {
  static inline ofen_t real = nullptr;
  static inline int calls = 0;
  static sword count(void* cda, sword rows) {
    ++calls;
    return real(cda, rows);
  }
};

TEST_F(OldCallStyleTest, FetchesComeInBlocksUnlessALongNeedsPiecesAndTheEndCancelsTheCursorOnce) {
  connect();
  CancelCount::real = ocan;
  CancelCount::calls = 0;
  Replaced<ocan_t> cancel(ocan, &CancelCount::count);
  FetchCount::real = ofen;
  FetchCount::calls = 0;
  Replaced<ofen_t> fetch(ofen, &FetchCount::count);
  // A text long enough to be a memo still comes in blocks: 3, 3 and the last one.
  auto r = connection_->CreateRecordSet();
  r->SetSQL("select n, rpad(name, 300) from r where n <= 7 order by n");
  r->SetProp(prFetchRows, Variant(int32_t(3)));
  r->SetProp(prLongStrings, Variant(false));
  r->Open();
  EXPECT_EQ(r->Fields[1].DataType, dtMemo);
  EXPECT_EQ(CancelCount::calls, 0);  // rows are still waiting
  const auto values = rows(*r);
  ASSERT_EQ(values.size(), 7u);
  EXPECT_EQ(values[6][1].asString().size(), 300u);
  EXPECT_EQ(FetchCount::calls, 3);
  EXPECT_EQ(CancelCount::calls, 1);
  EXPECT_EQ(r->GetCommand().GetCursorState(), 9);
  r->Close();
  EXPECT_EQ(CancelCount::calls, 1);

  // A LONG comes one row at a time, piece by piece; the end cancels alike, and a fetch after the
  // end does not cancel again.
  auto docs = command("insert into docs (id, body) values (:id, :body)");
  docs->Param(0).SetDataType(dtInteger);
  docs->Param(1).SetDataType(dtMemo);
  docs->Param(1).SetParamType(1);
  for (int id = 91; id <= 92; ++id) {
    docs->Param(0).SetValue(Variant(int32_t(id)));
    docs->Param(1).LongValue = std::string(size_t(50000), char('a' + id - 91));
    docs->Param(1).SetNull(false);
    docs->Execute(1);
  }
  FetchCount::calls = 0;
  auto longs = connection_->CreateRecordSet();
  longs->SetSQL("select id, body from docs where id > 90 order by id");
  longs->SetProp(prFetchRows, Variant(int32_t(10)));
  longs->Open();
  std::vector<size_t> sizes;
  for (const auto& row : rows(*longs)) sizes.push_back(row[1].asString().size());
  EXPECT_EQ(sizes, (std::vector<size_t>{50000, 50000}));
  EXPECT_GT(FetchCount::calls, 3);  // a block of 10 would have taken one call
  EXPECT_EQ(CancelCount::calls, 2);
  auto& fetched = static_cast<TOCICommand&>(longs->GetCommand());
  Variant count;
  fetched.GetProp(prRowsProcessed, count);
  EXPECT_EQ(count.asInt32(), 2);
  EXPECT_EQ(fetched.Fetch(1), 0);
  EXPECT_EQ(CancelCount::calls, 2);
  connection_->Rollback();
}

TEST_F(OldCallStyleTest, ANonBlockingStatementRunsOnAWorkerAndItsEndAndErrorsReachTheWindowThread) {
  TOCIConnection& c = connect();
  platform::EventQueue queue;
  c.SetEventPoster(&queue);
  std::vector<int> errors;
  c.SetEventProp(evOnError, TQvErrorEvent([&errors](EDAError& e, bool& fail) {
                   errors.push_back(e.ErrorCode);
                   fail = false;
                 }));
  const auto run = [&c, &queue](TOCICommand& statement) {
    statement.Execute(1);
    EXPECT_TRUE(statement.GetExecuting());
    std::optional<platform::PostedEvent> event = queue.take(std::chrono::minutes(1));
    ASSERT_TRUE(event);
    c.DispatchThreadEvent(*event);
    EXPECT_FALSE(statement.GetExecuting());
  };
  std::vector<bool> ends;
  auto insert = command("insert into t (id, name) values (:id, 'worker')");
  insert->SetProp(prNonBlocking, Variant(true));
  insert->SetEventProp(evAfterExecute, TQvBoolEvent([&ends](bool ok) { ends.push_back(ok); }));
  insert->Param(0).SetDataType(dtInteger);
  insert->Param(0).SetValue(Variant(int32_t(901)));
  run(*insert);
  EXPECT_EQ(insert->RowsProcessed(), 1);
  EXPECT_EQ(nameOf(901), "worker");
  // The same row again breaks the key; the handler hears of it on this thread and ends it quietly.
  run(*insert);
  EXPECT_EQ(ends, (std::vector<bool>{true, false}));
  EXPECT_EQ(errors, std::vector<int>{1});
  insert->Param(0).SetValue(Variant(int32_t(902)));
  run(*insert);
  EXPECT_EQ(nameOf(902), "worker");
  c.Rollback();

  // Without thread safety there is no worker.
  c.SetProp(prThreadSafety, Variant(false));
  EXPECT_THROW(insert->Execute(1), std::runtime_error);
  EXPECT_FALSE(insert->GetExecuting());
}

TEST_F(OldCallStyleTest, BreakingANonBlockingStatementEndsItWithTheCancelError) {
  ::setenv("OCI_STANDIN_DELAY_US", "30000", 1);  // a slow server, read when the session logs on
  TOCIConnection& c = connect();
  platform::EventQueue queue;
  c.SetEventPoster(&queue);
  std::vector<int> errors;
  c.SetEventProp(evOnError, TQvErrorEvent([&errors](EDAError& e, bool& fail) {
                   errors.push_back(e.ErrorCode);
                   fail = false;
                 }));
  auto update = command("update t set name = 'x' where id = -1");
  update->SetProp(prNonBlocking, Variant(true));
  update->Execute(1);
  // A break reaches the statement once the worker has opened its cursor.
  std::optional<platform::PostedEvent> event;
  for (int i = 0; i < 6000 && !event; ++i) {
    update->BreakExec();
    event = queue.take(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(event);
  c.DispatchThreadEvent(*event);
  EXPECT_EQ(errors, std::vector<int>{1013});
  EXPECT_FALSE(update->GetExecuting());
}

// Counts the closes of old-style cursors, which still reach the library.
struct CloseCount {
  static inline oclose_t real = nullptr;
  static inline int calls = 0;
  static sword count(void* cda) {
    ++calls;
    return real(cda);
  }
};

TEST_F(OldCallStyleTest, AutoCommitRollbackCursorCloseAndLogoffReachTheServer) {
  TOCIConnection& c = connect();
  const auto has = [this](int id) {
    try {
      nameOf(id);
      return true;
    } catch (const EOraError& e) {
      EXPECT_EQ(e.ErrorCode, 1403);
      return false;
    }
  };
  c.SetProp(prAutoCommit, Variant(true));
  auto kept = command("insert into t (id, name) values (950, 'kept')");
  kept->SetProp(prAutoCommit, Variant(true));
  kept->Execute(1);
  auto undone = command("insert into t (id, name) values (951, 'undone')");
  undone->SetProp(prAutoCommit, Variant(false));
  undone->Execute(1);
  c.Rollback();
  EXPECT_TRUE(has(950));
  EXPECT_FALSE(has(951));

  // An unprepared statement's cursor is closed in the library.
  CloseCount::real = oclose;
  CloseCount::calls = 0;
  {
    Replaced<oclose_t> close(oclose, &CloseCount::count);
    auto select = command("select id from t");
    select->Prepare();
    select->Unprepare();
    EXPECT_EQ(CloseCount::calls, 1);
  }

  // The end of the session undoes its open work, and frees what it held for the next one.
  c.SetProp(prAutoCommit, Variant(false));
  command("insert into t (id, name) values (952, 'open')")->Execute(1);
  c.Disconnect();
  connect();
  EXPECT_FALSE(has(952));
  command("insert into t (id, name) values (952, 'again')")->Execute(1);
  EXPECT_EQ(nameOf(952), "again");
  command("delete from t where id >= 950")->Execute(1);
  connection_->Commit();
}

TEST_F(OldCallStyleTest, ABlockOpensARefCursorIntoItsCursorAreaAndItsRowsAreFetched) {
  connect();
  CancelCount::real = ocan;
  CancelCount::calls = 0;
  Replaced<ocan_t> cancel(ocan, &CancelCount::count);
  auto recordSet = connection_->CreateRecordSet();
  recordSet->SetSQL("begin open :c for select n, name from r where n > :low order by n; end;");
  recordSet->SetProp(prFetchRows, Variant(int32_t(2)));
  static_cast<TOraParamDesc&>(recordSet->GetCommand().GetParam(0)).SetDataType(dtCursor);
  recordSet->GetCommand().GetParam(1).SetValue(Variant(int32_t(55)));
  recordSet->Open();
  ASSERT_EQ(recordSet->Fields.Count(), 2);
  EXPECT_EQ(recordSet->Fields[1].Name, "NAME");
  const auto values = rows(*recordSet);
  ASSERT_EQ(values.size(), 5u);
  EXPECT_EQ(values[0][1].asString(), "name 56");
  EXPECT_EQ(values[4][0].asInt32(), 60);
  EXPECT_EQ(CancelCount::calls, 1);
  recordSet->Close();
  EXPECT_TRUE(static_cast<TOCIRecordSet&>(*recordSet).Command().OwnCursor());
  // Closed after its first block, the cursor is cancelled; opened again, the block opens a new
  // cursor into the same area.
  recordSet->Open();
  recordSet->Close();
  EXPECT_EQ(CancelCount::calls, 2);
  recordSet->Open();
  EXPECT_EQ(rows(*recordSet).size(), 5u);
  recordSet->Close();
  EXPECT_EQ(CancelCount::calls, 3);
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
