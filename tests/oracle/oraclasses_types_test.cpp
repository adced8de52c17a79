// Column and parameter types of the Oracle driver through the stand-in server: TIMESTAMP and
// INTERVAL, NUMBER kept exact, national text, LONG and LONG RAW, BFILE and ROWID.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "oracle/oraclasses.h"
#include "oracle/oraclasses_values.h"
#include "platform/scopeguard.h"
#include "tests/oracle/oracle_testing.h"

namespace oracle {
namespace {

using namespace dataaccess;

class OraTypesTest : public ::testing::Test {
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
  void TearDown() override {
    connection_.reset();
    FreeOCI();
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
  std::unique_ptr<TOCIRecordSet> recordSet(const std::string& sql, int fetchRows = 10) {
    auto r = connection_->CreateRecordSet();
    r->SetSQL(sql);
    r->SetProp(prFetchRows, Variant(int32_t(fetchRows)));
    return std::unique_ptr<TOCIRecordSet>(static_cast<TOCIRecordSet*>(r.release()));
  }
  // The values of every row, field by field, as the record set gives them.
  static std::vector<std::vector<Variant>> rows(TOCIRecordSet& r) {
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

TEST_F(OraTypesTest, TimestampsAndIntervalsTravelAsValueObjectsBothWays) {
  connect();
  auto insert = command("insert into times (id, ts, iym, ids) values (:id, :ts, :iym, :ids)");
  insert->Param(0).SetValue(Variant(int32_t(2)));
  TOraParamDesc& ts = insert->Param(1);
  ts.SetDataType(dtTimeStamp);
  ts.GetAsTimeStamp().SetAsDateTime(DateTime{45351.5});  // 2024-02-29 12:00
  TOraParamDesc& iym = insert->Param(2);
  iym.SetDataType(dtIntervalYM);
  iym.GetAsInterval().SetAsString("+01-06");
  TOraParamDesc& ids = insert->Param(3);
  ids.SetDataType(dtIntervalDS);
  ids.SetNull(true);
  insert->Execute(1);
  EXPECT_EQ(insert->RowsProcessed(), 1);

  auto r = recordSet("select id, ts, iym, ids from times order by id");
  r->Open();
  EXPECT_EQ(r->Fields[1].DataType, dtTimeStamp);
  EXPECT_EQ(r->Fields[2].DataType, dtIntervalYM);
  EXPECT_EQ(r->Fields[3].DataType, dtIntervalDS);
  const auto values = rows(*r);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_NEAR(values[0][1].asDateTime().days, 45351.0 + (12 * 3600 + 34 * 60 + 56.789) / 86400.0, 1e-8);
  EXPECT_NE(values[0][2].asString().find("2-03"), std::string::npos);
  EXPECT_NE(values[0][3].asString().find("02:03:04.5"), std::string::npos);
  EXPECT_EQ(values[1][1].asDateTime().days, 45351.5);
  EXPECT_NE(values[1][2].asString().find("1-06"), std::string::npos);
  EXPECT_TRUE(values[1][3].isNull());
  r->Close();

  // As text, a timestamp column has room for the longest text of the session's format.
  auto asText = command("select ts from times");
  asText->SetProp(prFieldsAsString, Variant(true));
  asText->Prepare();
  asText->DescribeOnly();
  TFieldDesc field;
  ASSERT_TRUE(asText->DescribeField(1, field, true, true));
  EXPECT_EQ(field.DataType, dtString);
  EXPECT_GE(field.Length, formatTextLength(connection_->NlsValue(3)));
  command("delete from times where id = 2")->Execute(1);

  // A record made for an insert holds empty value objects: no value, and they go with it.
  auto fresh = recordSet("select id, ts, iym, ids from times");
  fresh->Open();
  uint8_t* made = fresh->AllocRecBuf();
  fresh->InitRecord(made);
  fresh->CreateComplexFields(made, true);
  EXPECT_TRUE(fresh->GetFieldAsVariant(2, made).isNull());
  EXPECT_TRUE(fresh->GetFieldAsVariant(3, made).isNull());
  fresh->FreeComplexFields(made, true);
  TOCIRecordSet::FreeRecBuf(made);
}

TEST_F(OraTypesTest, NumbersHeldAsNumberValuesKeepEveryDigit) {
  TOCIConnection& c = connect();
  c.SetProp(prEnableNumbers, Variant(true));
  auto insert = command("insert into nums (id, big, amt) values (2, :big, :amt)");
  insert->Param(0).SetDataType(dtNumber);
  insert->Param(0).GetAsNumber().SetAsString("-98765432109876543210987654321");
  insert->Param(1).SetDataType(dtNumber);
  insert->Param(1).SetNull(true);
  insert->Execute(1);
  auto r = recordSet("select id, big, amt from nums order by id");
  r->Open();
  EXPECT_EQ(r->Fields[1].DataType, dtNumber);
  EXPECT_EQ(r->Fields[2].DataType, dtNumber);  // no precision: as wide as a NUMBER goes
  const auto values = rows(*r);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0][1].asString(), "123456789012345678901234567890");
  EXPECT_EQ(values[0][2].asString(), "1.5");
  EXPECT_EQ(values[1][1].asString(), "-98765432109876543210987654321");
  EXPECT_TRUE(values[1][2].isNull());
  command("delete from nums where id = 2")->Execute(1);
}

TEST_F(OraTypesTest, AParameterValueLostWithTheUnloadedClientIsRefusedNotWrittenAsNull) {
  TOCIConnection& c = connect();
  auto insert = command("insert into times (id, ts, ids) values (:id, :ts, :ids)");
  insert->Param(0).SetValue(Variant(int32_t(7)));
  TOraParamDesc& ts = insert->Param(1);
  ts.SetDataType(dtTimeStamp);
  ts.GetAsTimeStamp().SetAsDateTime(DateTime{45351.5});
  TOraParamDesc& ids = insert->Param(2);
  ids.SetDataType(dtIntervalDS);
  ids.GetAsInterval().SetAsString("+01 00:00:00.000");
  platform::ScopeExit remove([this] { command("delete from times where id = 7")->Execute(1); });
  // The client goes and comes back (as with another Oracle home) while the command keeps its values.
  c.Disconnect();
  FreeOCI();
  c.Connect("");
  const auto stored = [this] {
    auto r = recordSet("select ts, ids from times where id = 7");
    r->Open();
    return rows(*r);
  };
  // The user gave values: nulls in their place would lose them without a word.
  try {
    insert->Execute(1);
    ADD_FAILURE() << "executed with values lost";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("parameter ts was lost"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(stored().empty());
  // A null asked for again is a null; a value given again goes in.
  ts.GetAsTimeStamp().SetAsDateTime(DateTime{45351.5});
  ids.SetNull(true);
  insert->Execute(1);
  const auto values = stored();
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0][0].asDateTime().days, 45351.5);
  EXPECT_TRUE(values[0][1].isNull());
}

TEST_F(OraTypesTest, NumbersAsTextHaveRoomForTheDigitsTheirScaleAddsBeforeOrAfterThePoint) {
  connect();
  // Default mapping: the 18 digits of WIDE go as text, and four zeros follow them.
  auto r = recordSet("select hund, tiny, wide from scaled");
  r->Open();
  EXPECT_EQ(r->Fields[2].DataType, dtString);
  auto values = rows(*r);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0][0].asDouble(), -99000.0);
  EXPECT_EQ(values[0][1].asDouble(), -0.00099);
  EXPECT_EQ(values[0][2].asString(), "-9999999999999999990000");
  r->Close();
  // Every number as text.
  for (const int property : {prNumberAsString, prFieldsAsString}) {
    auto t = recordSet("select hund, tiny, wide from scaled");
    t->GetCommand().SetProp(property, Variant(true));
    t->Open();
    values = rows(*t);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0][0].asString(), "-99000");
    EXPECT_EQ(values[0][1].asString(), "-.00099");
    EXPECT_EQ(values[0][2].asString(), "-9999999999999999990000");
  }
}

TEST_F(OraTypesTest, ANumberWithoutPrecisionArrivesAsTextWhateverItsDigitsAndMagnitude) {
  TOCIConnection& c = connect();
  const std::string forty = "1234567890123456789012345678901234567891";
  // The longest fixed text, and the longest scientific one.
  const std::string fixed = "-." + std::string(22, '0') + forty;
  const std::string scientific = "-1." + forty.substr(1) + "E-129";
  auto insert = command("insert into nums (id, amt) values (:id, to_number(:amt))");
  insert->Param(0).SetValue(Variant(int32_t(2)));
  insert->Param(1).SetValue(Variant(fixed));
  insert->Execute(1);
  insert->Param(0).SetValue(Variant(int32_t(3)));
  insert->Param(1).SetValue(Variant(scientific));
  insert->Execute(1);
  platform::ScopeExit remove([this] { command("delete from nums where id > 1")->Execute(1); });
  for (const bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "wide" : "narrow");
    c.SetProp(prUseUnicode, Variant(wide));
    auto r = recordSet("select amt from nums where id > 1 order by id");
    r->Open();
    EXPECT_EQ(r->Fields[0].SubDataType, dtNumber);
    const auto values = rows(*r);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0][0].asString(), fixed);
    EXPECT_EQ(values[1][0].asString(), scientific);
    // A scale beyond the precision: sign, point and zeros come on top of the two digits.
    auto scaled = recordSet("select tiny from scaled");
    scaled->GetCommand().SetProp(prNumberAsString, Variant(true));
    scaled->Open();
    EXPECT_EQ(rows(*scaled)[0][0].asString(), "-.00099");
  }
}

TEST_F(OraTypesTest, EveryReadOfANumberGivesItsDigitsExactlyWhateverTheirCountSignAndMagnitude) {
  TOCIConnection& c = connect();
  // Each value is written as the client writes NUMBER text, so it must come back unchanged.
  std::vector<std::string> values;
  std::string digits;
  for (int n = 1; n <= 40; ++n) {
    digits += static_cast<char>('1' + (n - 1) % 9);
    values.push_back(digits);
    values.push_back("-." + digits);
  }
  for (const std::string& v : std::vector<std::string>{
           "1" + std::string(63, '0'), "-1" + std::string(20, '0'), "12345" + std::string(30, '0'),
           "." + std::string(20, '0') + "5", "-.000001", "-12.5", ".5", "1E+64", "-1.5E-100"})
    values.push_back(v);
  for (size_t i = 0; i < values.size(); ++i) {
    auto insert = command("insert into nums (id, amt) values (:id, to_number(:amt))");
    insert->Param(0).SetValue(Variant(int32_t(100 + i)));
    insert->Param(1).SetValue(Variant(values[i]));
    insert->Execute(1);
  }
  platform::ScopeExit remove([this] { command("delete from nums where id >= 100")->Execute(1); });
  const auto read = [&](const std::string& what, int property) {
    auto r = recordSet("select " + what + " from nums where id >= 100 order by id", 25);
    if (property) r->GetCommand().SetProp(property, Variant(true));
    r->Open();
    const auto got = rows(*r);
    // Each value that did not come back as written, with what came instead.
    std::string wrong;
    for (size_t i = 0; i < values.size(); ++i) {
      const std::string text = i < got.size() ? got[i][0].asString() : "(missing)";
      if (text != values[i]) wrong += values[i] + " came as " + text + "\n";
    }
    return wrong;
  };
  EXPECT_EQ(read("amt", 0), "") << "default mapping";
  EXPECT_EQ(read("amt", prNumberAsString), "") << "numbers as text";
  EXPECT_EQ(read("amt", prFieldsAsString), "") << "fields as text";
  EXPECT_EQ(read("to_char(amt)", 0), "") << "text made by the server";
  // A number value writes a fraction with its leading zero.
  c.SetProp(prEnableNumbers, Variant(true));
  for (std::string& v : values)
    if (const size_t point = v.find('.'); point != std::string::npos && (point == 0 || v[point - 1] == '-'))
      v.insert(point, "0");
  EXPECT_EQ(read("amt", 0), "") << "number values";
}

TEST_F(OraTypesTest, NationalTextIsWideWithUseUnicodeAndItsBindsCarryUtf16) {
  TOCIConnection& c = connect();
  c.SetProp(prUseUnicode, Variant(true));
  auto insert = command("insert into texts (id, nname) values (2, :name)");
  insert->Param(0).SetDataType(dtWideString);
  insert->Param(0).SetSize(40);
  insert->Param(0).SetItemAsWideString(1, u"\u0109u \u20AC");
  insert->Execute(1);
  for (const bool flat : {true, false}) {
    auto r = recordSet("select id, nname from texts order by id");
    r->SetProp(prFlatBuffers, Variant(flat));
    r->Open();
    EXPECT_EQ(r->Fields[1].DataType, flat ? dtWideString : dtExtWideString);
    const auto values = rows(*r);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0][1].asString(), "ñandú");
    EXPECT_EQ(values[1][1].asString(), "\u0109u \u20AC");
  }
  command("delete from texts where id = 2")->Execute(1);
}

TEST_F(OraTypesTest, LongAndLongRawColumnsArriveWholeThroughTheDefineCallback) {
  connect();
  std::string text, bytes;
  for (int i = 0; text.size() < 200000; ++i) text += std::to_string(i) + ",";
  for (int i = 0; i < 70000; ++i) bytes += char(i % 251);
  for (int id = 1; id <= 3; ++id) {
    auto insert = command("insert into longs (id, txt, raws) values (:id, :txt, :raws)");
    insert->Param(0).SetValue(Variant(int32_t(id)));
    insert->Param(1).SetDataType(dtMemo);
    insert->Param(1).SetValue(Variant(id == 2 ? std::string() : text.substr(0, text.size() / size_t(id))));
    insert->Param(2).SetDataType(dtBlob);
    insert->Param(2).SetValue(Variant::bytes(std::vector<uint8_t>(bytes.begin(), bytes.end())));
    insert->Execute(1);
  }
  auto r = recordSet("select id, txt, raws from longs order by id", 2);
  r->Open();
  EXPECT_EQ(r->Fields[1].DataType, dtMemo);
  EXPECT_EQ(r->Fields[2].DataType, dtBlob);
  const auto values = rows(*r);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0][1].asString(), text);
  EXPECT_TRUE(values[1][1].isNull());
  EXPECT_EQ(values[2][1].asString(), text.substr(0, text.size() / 3));
  EXPECT_EQ(values[2][2].asBytes(), std::vector<uint8_t>(bytes.begin(), bytes.end()));
  r->Close();

  // The Lite client reads one row at a time, each LONG value piece by piece.
  OCILite = true;
  platform::ScopeExit notLite([] { OCILite = false; });
  int fetches = 0;
  auto one = recordSet("select id, txt, raws from longs order by id", 25);
  one->SetEventProp(evOnFetchBlock,
                    TQvFetchBlockEvent([&fetches](bool before, bool&) { fetches += before; }));
  one->Open();
  const auto again = rows(*one);
  ASSERT_EQ(again.size(), 3u);
  EXPECT_EQ(fetches, 4);  // three rows, then the end
  EXPECT_EQ(again[0][1].asString(), text);
  EXPECT_TRUE(again[1][1].isNull());
  EXPECT_EQ(again[2][2].asBytes(), std::vector<uint8_t>(bytes.begin(), bytes.end()));
  one->Close();

  // A LONG output parameter of a block receives the value piece by piece.
  auto block = command("begin select txt into :txt from longs where id = 1; end;");
  block->Param(0).SetDataType(dtMemo);
  block->Param(0).SetParamType(2);
  block->Execute(1);
  EXPECT_EQ(block->Param(0).LongValue, text);
  command("delete from longs")->Execute(1);
}

TEST_F(OraTypesTest, BfileColumnsReadTheirFilesAndRowidsNameTheirRows) {
  connect();
  std::filesystem::create_directories(folder()->path("ORCL/directories/DOCS"));
  std::ofstream(folder()->path("ORCL/directories/DOCS/a.txt"), std::ios::binary) << "hello bfile";
  command("insert into files (id, f) values (1, bfilename('DOCS', 'a.txt'))")->Execute(1);
  command("insert into files (id, f) values (2, NULL)")->Execute(1);
  auto r = recordSet("select id, f, rowid from files order by id");
  r->Open();
  EXPECT_EQ(r->Fields[1].DataType, dtBFile);
  EXPECT_EQ(r->Fields[2].DataType, dtString);
  EXPECT_EQ(r->Fields[2].SubDataType, dtRowId);
  const auto values = rows(*r);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0][1].asBytes(),
            (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', ' ', 'b', 'f', 'i', 'l', 'e'}));
  EXPECT_TRUE(values[1][1].isNull());
  EXPECT_EQ(values[0][2].asString().size(), 18u);

  auto update = command("update files set id = id where id = 1");
  update->SetProp(prStoreRowId, Variant(true));
  update->Execute(1);
  EXPECT_EQ(update->GetRowId(), values[0][2].asString());

  // A BFILE parameter takes the locator the block hands back.
  auto block = command("begin select f into :f from files where id = 1; end;");
  TOraParamDesc& file = block->Param(0);
  file.SetDataType(dtBFile);
  file.SetParamType(2);
  block->Execute(1);
  EXPECT_EQ(file.GetAsFile().FileDir(), "DOCS");
  EXPECT_EQ(file.GetAsFile().FileName(), "a.txt");
  EXPECT_TRUE(file.GetAsFile().Exists());
  command("delete from files")->Execute(1);
}

TEST_F(OraTypesTest, ABfileKeptAcrossTheUnloadedClientIsRefusedNotReadOrWrittenAsNull) {
  TOCIConnection& c = connect();
  std::filesystem::create_directories(folder()->path("ORCL/directories/DOCS"));
  std::ofstream(folder()->path("ORCL/directories/DOCS/a.txt"), std::ios::binary) << "hello bfile";
  platform::ScopeExit remove([this] {
    command("delete from files")->Execute(1);
    connection_->Commit();
  });
  command("insert into files (id, f) values (1, bfilename('DOCS', 'a.txt'))")->Execute(1);
  c.Commit();
  auto r = recordSet("select f from files where id = 1");
  r->Open();
  std::vector<uint8_t> record(r->RecordSize);
  r->SetToBegin();
  r->GetNextRecord(record.data());
  auto* fetched = dynamic_cast<TOraFile*>(r->GetFieldObject(1, record.data()));
  ASSERT_NE(fetched, nullptr);
  ASSERT_EQ(fetched->FileName(), "a.txt");
  // A parameter named by the user; an output parameter that held a value.
  auto insert = command("insert into files (id, f) values (2, :f)");
  TOraParamDesc& f = insert->Param(0);
  f.SetDataType(dtBFile);
  TOraFile& named = f.GetAsFile();
  named.SetSvcCtx(c.GetSvcCtx());
  named.AllocLob();
  named.SetFileDir("DOCS");
  named.SetFileName("a.txt");
  auto block = command("begin select f into :f from files where id = 1; end;");
  TOraParamDesc& out = block->Param(0);
  out.SetDataType(dtBFile);
  out.SetParamType(2);
  block->Execute(1);
  ASSERT_EQ(out.GetAsFile().FileName(), "a.txt");

  // The client goes and comes back (as with another Oracle home).
  c.Disconnect();
  FreeOCI();
  c.Connect("");
  const auto lost = [](const std::function<void()>& run) {
    try {
      run();
    } catch (const std::exception& e) {
      return std::string(e.what()).find("lost with the client of another Oracle home") != std::string::npos;
    }
    return false;
  };
  // The name stood in the locator that went: neither a null file nor a missing one.
  EXPECT_TRUE(lost([&] { fetched->FileName(); }));
  EXPECT_TRUE(lost([&] { fetched->FileDir(); }));
  EXPECT_TRUE(lost([&] { fetched->IsNull(); }));
  EXPECT_TRUE(lost([&] { fetched->Exists(); }));
  // Sent, it would put a null where the user named a file.
  EXPECT_TRUE(lost([&] { insert->Execute(1); }));
  auto stored = recordSet("select id from files where id = 2");
  stored->Open();
  EXPECT_TRUE(rows(*stored).empty());
  // Named again, it goes in; an output value is only replaced.
  named.AllocLob();
  named.SetFileDir("DOCS");
  named.SetFileName("a.txt");
  insert->Execute(1);
  stored->Close();
  stored->Open();
  EXPECT_EQ(rows(*stored).size(), 1u);
  block->Execute(1);
  EXPECT_EQ(out.GetAsFile().FileName(), "a.txt");
}

}  // namespace
}  // namespace oracle
