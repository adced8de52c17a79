// The Oracle field classes over a record store that holds a value object per record, as the OCI
// record set holds TIMESTAMP, INTERVAL and NUMBER columns: reading, writing through an edit's
// own object, searching by key, and the classes made for each field type.
#include "oracle/ora_fields.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>

#include "dataaccess/memdata_list.h"
#include "oracle/ora_params.h"

namespace oracle {
namespace {

namespace da = dataaccess;
namespace ds = dataset;

// The client library's datetime and interval calls over text descriptors ("YYYY-MM-DD
// HH:MM:SS" for timestamps, which sorts as the times do).
class TextCalls : public DateTimeCalls {
 public:
  static std::string& d(void* p) { return *static_cast<std::string*>(p); }
  void* DescriptorAlloc(uint32_t) override { return new std::string; }
  void DescriptorFree(void* p, uint32_t) override { delete static_cast<std::string*>(p); }
  void DateTimeAssign(void* from, void* to) override { d(to) = d(from); }
  int DateTimeCompare(void* a, void* b) override { return d(a).compare(d(b)); }
  void DateTimeConstruct(void* p, int16_t y, uint8_t mo, uint8_t day, uint8_t h, uint8_t mi, uint8_t s,
                         uint32_t, std::string_view) override {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, day, h, mi, s);
    d(p) = buf;
  }
  void DateTimeGetDate(void* p, int16_t& y, uint8_t& mo, uint8_t& day) override {
    int a = 0, b = 0, c = 0;
    std::sscanf(d(p).c_str(), "%d-%d-%d", &a, &b, &c);
    y = int16_t(a), mo = uint8_t(b), day = uint8_t(c);
  }
  void DateTimeGetTime(void* p, uint8_t& h, uint8_t& mi, uint8_t& s, uint32_t& fsec) override {
    int a = 0, b = 0, c = 0;
    std::sscanf(d(p).c_str() + 11, "%d:%d:%d", &a, &b, &c);
    h = uint8_t(a), mi = uint8_t(b), s = uint8_t(c), fsec = 0;
  }
  std::string DateTimeToText(void* p, std::string_view, uint8_t) override { return d(p); }
  void DateTimeFromText(std::string_view text, std::string_view, void* p) override {
    int y, mo, day, h, mi, s;
    if (std::sscanf(std::string(text).c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &day, &h, &mi, &s) != 6)
      throw std::runtime_error("ORA-01861: literal does not match format string");
    d(p) = std::string(text);
  }
  void IntervalAssign(void* from, void* to) override { d(to) = d(from); }
  int IntervalCompare(void* a, void* b) override { return d(a).compare(d(b)); }
  std::string IntervalToText(void* p, uint8_t, uint8_t) override { return d(p); }
  void IntervalFromText(std::string_view text, void* p) override { d(p) = std::string(text); }
  uint32_t IntervalCheck(void*) override { return 0; }
};

// ID, then a TIMESTAMP, an INTERVAL DAY TO SECOND and a NUMBER held as value objects.
class ValueRows : public da::TMemData {
 public:
  void InternalInitFields() override {
    add("ID", da::dtInteger, 4);
    add("TS", dtTimeStamp, 8);
    add("IV", dtIntervalDS, 8);
    add("NUM", dtNumber, 8);
  }
  da::TDataTypeSet GetComplexTypes() const override { return withValues(TMemData::GetComplexTypes()); }
  da::TDataTypeSet GetObjectTypes() const override { return withValues(TMemData::GetObjectTypes()); }
  void CreateComplexFields(uint8_t* recBuf, bool withBlobs) override {
    TMemData::CreateComplexFields(recBuf, withBlobs);
    for (int i = 1; i < Fields.Count(); ++i)
      SetSlotPointer(Fields[i], recBuf, NewOraValue(Fields[i].DataType));
  }
  void CopyComplexFields(const uint8_t* source, uint8_t* dest, bool withBlobs) override {
    TMemData::CopyComplexFields(source, dest, withBlobs);
    for (int i = 1; i < Fields.Count(); ++i)
      AssignOraValue(*SlotPointer<da::TSharedObject>(Fields[i], source),
                     *SlotPointer<da::TSharedObject>(Fields[i], dest));
  }

 private:
  static da::TDataTypeSet withValues(da::TDataTypeSet types) {
    return types.set(dtTimeStamp).set(dtIntervalDS).set(dtNumber);
  }
  void add(const char* name, uint16_t type, uint16_t size) {
    auto f = std::make_unique<da::TFieldDesc>();
    f->Name = f->ActualName = name;
    f->DataType = type, f->Size = size;
    f->FieldNo = uint16_t(Fields.Count() + 1);
    Fields.Add(std::move(f));
  }
};

// ID and a NUMBER held as its text, as a store without value objects gives it.
class PlainRows : public da::TMemData {
 public:
  void InternalInitFields() override {
    for (auto [name, type, size] : {std::tuple{"ID", da::dtInteger, 4}, std::tuple{"NUM", dtNumber, 48}}) {
      auto f = std::make_unique<da::TFieldDesc>();
      f->Name = f->ActualName = name;
      f->DataType = type, f->Size = uint16_t(size);
      f->FieldNo = uint16_t(Fields.Count() + 1);
      Fields.Add(std::move(f));
    }
  }
  ds::Variant GetFieldAsVariant(int fieldNo, const uint8_t* recBuf) override {
    if (fieldNo != 2) return TMemData::GetFieldAsVariant(fieldNo, recBuf);
    if (GetNull(fieldNo, recBuf)) return ds::Variant::null();
    return ds::Variant(std::string(reinterpret_cast<const char*>(Slot(Fields[1], recBuf))));
  }
  void PutFieldAsVariant(int fieldNo, uint8_t* recBuf, const ds::Variant& v) override {
    if (fieldNo != 2 || v.isNull()) return TMemData::PutFieldAsVariant(fieldNo, recBuf, v);
    const std::string text = v.asString();
    PutField(fieldNo, recBuf, text.c_str(), text.size() + 1);
  }
};

class ValueSet : public da::TMemDataSet {
 public:
  explicit ValueSet(std::unique_ptr<da::TData> rows = std::make_unique<ValueRows>()) {
    RegisterOraFieldClasses();
    SetIRecordSet(std::move(rows));
  }
  bool VariantToValueBuffer(const da::TFieldDesc& f, const ds::Variant& v, da::TValueBuffer& b) override {
    return IsOraValueType(f.DataType) ? OraVariantToValueBuffer(f, v, b)
                                      : TMemDataSet::VariantToValueBuffer(f, v, b);
  }
  bool CompareFieldValue(const da::TValueBuffer* key, const da::TFieldDesc& f, const uint8_t* rec,
                         uint8_t options) override {
    return IsOraValueType(f.DataType) ? OraCompareFieldValue(Data(), key, f, rec, options)
                                      : TMemDataSet::CompareFieldValue(key, f, rec, options);
  }

 protected:
  ds::FieldType GetFieldType(uint16_t dataType) override { return OraDataTypeToFieldType(dataType); }
};

class OraFieldsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setDateTimeCalls(&calls_);
    set_.Open();
  }
  void TearDown() override {
    set_.Close();
    setDateTimeCalls(nullptr);
  }
  void addRow(int id, const std::string& ts, const std::string& num) {
    set_.Append();
    set_.FieldByName("ID").SetAsInteger(id);
    if (!ts.empty()) set_.FieldByName("TS").SetAsString(ts);
    set_.FieldByName("NUM").SetAsString(num);
    set_.Post();
  }
  TOraNumberField& num() { return dynamic_cast<TOraNumberField&>(set_.FieldByName("NUM")); }

  TextCalls calls_;
  ValueSet set_;
};

TEST_F(OraFieldsTest, EachOracleTypeGetsItsFieldClass) {
  EXPECT_NE(dynamic_cast<TOraTimeStampField*>(&set_.FieldByName("TS")), nullptr);
  EXPECT_NE(dynamic_cast<TOraIntervalField*>(&set_.FieldByName("IV")), nullptr);
  EXPECT_EQ(num().DisplayWidth, 38);
  const std::pair<uint16_t, ds::FieldType> own[] = {{dtCursor, ds::ftCursor},
                                                    {dtOraBlob, ds::ftOraBlob},
                                                    {dtOraClob, ds::ftOraClob},
                                                    {dtBFile, da::ftBFile},
                                                    {dtLabel, da::ftLabel},
                                                    {dtFixedChar, ds::ftFixedChar},
                                                    {dtTimeStamp, da::ftTimeStamp},
                                                    {dtTimeStampTZ, da::ftTimeStampTZ},
                                                    {dtTimeStampLTZ, da::ftTimeStampLTZ},
                                                    {dtIntervalYM, da::ftIntervalYM},
                                                    {dtIntervalDS, da::ftIntervalDS},
                                                    {dtNumber, da::ftNumber},
                                                    {dtXML, da::ftXML},
                                                    {dtFixedWideChar, da::ftFixedWideChar}};
  for (const auto& [dataType, fieldType] : own) {
    EXPECT_EQ(OraDataTypeToFieldType(dataType), fieldType) << dataType;
    EXPECT_EQ(OraFieldTypeToDataType(fieldType), dataType) << dataType;
    EXPECT_NE(ds::CreateFieldOfType(fieldType), nullptr) << dataType;
  }
  EXPECT_EQ(OraDataTypeToFieldType(dtRawChar), ds::ftUnknown);
  auto tz = ds::CreateFieldOfType(da::ftTimeStampTZ);
  EXPECT_EQ(tz->DataType(), da::ftTimeStampTZ);  // the exact kind survives
}

TEST_F(OraFieldsTest, ANumberKeepsEveryDigitAndReadsAsIntegerFloatAndText) {
  const std::string digits38 = "12345678901234567890123456789012345678";
  addRow(1, "", digits38);
  EXPECT_EQ(num().AsString(), digits38);
  EXPECT_EQ(num().Value().asString(), digits38);
  set_.Edit();
  num().SetValue(ds::Variant(int64_t(9007199254740993)));  // beyond a double's integers
  EXPECT_EQ(num().AsString(), "9007199254740993");
  num().SetAsFloat(2.5);
  EXPECT_DOUBLE_EQ(num().AsFloat(), 2.5);
  num().SetValue(ds::Variant(int32_t(-7)));
  EXPECT_EQ(num().AsInteger(), -7);
  EXPECT_THROW(num().SetValue(ds::Variant(true)), ds::EConvertError);
  set_.Post();
  EXPECT_EQ(num().AsInteger(), -7);
  EXPECT_TRUE(num().IsValidChar('7') && num().IsValidChar('-') && num().IsValidChar('E') &&
              num().IsValidChar('e'));
  EXPECT_TRUE(num().IsValidChar(valueFormatSettings().DecimalSeparator));
  EXPECT_FALSE(num().IsValidChar('x') || num().IsValidChar('D'));
}

TEST_F(OraFieldsTest, AnEditWritesItsOwnObjectSoCancelBringsTheOldValueBack) {
  addRow(1, "2020-01-02 03:04:05", "10");
  EXPECT_THROW(num().SetAsString("11"), ds::EDatabaseError);  // not while browsing
  set_.Edit();
  num().SetAsString("11");
  set_.FieldByName("TS").SetAsString("2021-06-07 08:09:10");
  EXPECT_EQ(num().OldValue().asString(), "10");  // the store keeps the old object
  set_.Cancel();
  EXPECT_EQ(num().AsString(), "10");
  EXPECT_EQ(set_.FieldByName("TS").AsString(), "2020-01-02 03:04:05");
  set_.Edit();
  num().SetAsString("12");
  set_.Post();
  EXPECT_EQ(num().AsString(), "12");
  // A text the value does not read leaves it as it was.
  set_.Edit();
  EXPECT_ANY_THROW(set_.FieldByName("TS").SetAsString("yesterday"));
  EXPECT_EQ(set_.FieldByName("TS").AsString(), "2020-01-02 03:04:05");
  set_.Cancel();
}

TEST_F(OraFieldsTest, NullAndAnEmptyTextClearTheValue) {
  addRow(1, "2020-01-02 03:04:05", "10");
  EXPECT_TRUE(set_.FieldByName("IV").IsNull());
  set_.Edit();
  set_.FieldByName("IV").SetAsString("+01 02:03:04");
  EXPECT_EQ(set_.FieldByName("IV").Value().asString(), "+01 02:03:04");
  set_.FieldByName("TS").SetAsString("");
  num().Clear();
  set_.Post();
  EXPECT_TRUE(set_.FieldByName("TS").IsNull());
  EXPECT_TRUE(set_.FieldByName("TS").Value().isNull());
  EXPECT_TRUE(num().IsNull());
  EXPECT_EQ(num().AsString(), "");
  EXPECT_EQ(set_.FieldByName("IV").AsString(), "+01 02:03:04");
}

TEST_F(OraFieldsTest, ATimeStampReadsAndWritesDateTimes) {
  addRow(1, "", "0");
  set_.Edit();
  auto& ts = dynamic_cast<TOraTimeStampField&>(set_.FieldByName("TS"));
  ts.SetValue(ds::Variant("1999-12-31 23:59:58").asDateTime());
  set_.Post();
  EXPECT_EQ(ts.AsString(), "1999-12-31 23:59:58");
  EXPECT_EQ(ts.AsDateTime().days, ds::Variant("1999-12-31 23:59:58").asDateTime().days);
  ASSERT_NE(ts.AsTimeStamp(), nullptr);
}

TEST_F(OraFieldsTest, LocateFindsOracleValuesByTextNumbersAndDatesAndTheNearestOneAfterAKey) {
  addRow(1, "2020-01-01 00:00:00", "10");
  addRow(2, "2020-02-01 00:00:00", "20.5");
  addRow(3, "2020-03-01 00:00:00", "30");
  EXPECT_TRUE(set_.Locate("NUM", ds::Variant(int32_t(30)), 0));
  EXPECT_EQ(set_.FieldByName("ID").AsInteger(), 3);
  EXPECT_TRUE(set_.Locate("NUM", ds::Variant(20.5), 0));
  EXPECT_EQ(set_.FieldByName("ID").AsInteger(), 2);
  EXPECT_TRUE(set_.Locate("NUM", ds::Variant("10"), 0));
  EXPECT_EQ(set_.FieldByName("ID").AsInteger(), 1);
  EXPECT_FALSE(set_.Locate("NUM", ds::Variant("15"), 0));
  EXPECT_TRUE(set_.LocateRecord("NUM", ds::Variant("15"), da::lxNearest));
  set_.Resync();
  EXPECT_EQ(set_.FieldByName("ID").AsInteger(), 2);
  EXPECT_TRUE(set_.Locate("TS", ds::Variant("2020-03-01 00:00:00").asDateTime(), 0));
  EXPECT_EQ(set_.FieldByName("ID").AsInteger(), 3);
  EXPECT_TRUE(set_.Locate("TS", ds::Variant("2020-02-01 00:00:00"), 0));
  EXPECT_EQ(set_.Lookup("NUM", ds::Variant(int32_t(10)), "ID").asInt32(), 1);
  EXPECT_THROW(set_.Locate("NUM", ds::Variant(true), 0), ds::EConvertError);
  EXPECT_THROW(set_.Locate("IV", ds::Variant(int32_t(1)), 0), ds::EConvertError);
}

TEST(OraPlainValueTest, AStoreWithoutValueObjectsIsReadWrittenAndSearchedThroughItsValues) {
  ValueSet set(std::make_unique<PlainRows>());
  set.Open();
  for (const char* n : {"10", "12345678901234567890123", "30"}) {
    set.Append();
    set.FieldByName("ID").SetAsInteger(int32_t(set.RecordCount() + 1));
    set.FieldByName("NUM").SetAsString(n);
    set.Post();
  }
  auto& num = dynamic_cast<TOraNumberField&>(set.FieldByName("NUM"));
  EXPECT_EQ(num.AsNumber(), nullptr);
  EXPECT_TRUE(set.Locate("NUM", ds::Variant("12345678901234567890123"), 0));
  EXPECT_EQ(set.FieldByName("ID").AsInteger(), 2);
  EXPECT_EQ(num.AsString(), "12345678901234567890123");
  EXPECT_TRUE(set.Locate("NUM", ds::Variant(int32_t(30)), 0));
  EXPECT_EQ(set.FieldByName("ID").AsInteger(), 3);
  EXPECT_FALSE(set.Locate("NUM", ds::Variant(int32_t(11)), 0));
}

TEST(OraFieldClassTest, LabelsAreNullBFilesShowTheirKindAndXmlIsOnlyText) {
  RegisterOraFieldClasses();
  TLabelField label;
  EXPECT_TRUE(label.Value().isNull());
  EXPECT_TRUE(label.IsNull());
  TBFileField file;
  EXPECT_EQ(file.DisplayText(), "(BFile)");
  EXPECT_EQ(file.BlobType(), ds::ftBlob);
  EXPECT_EQ(file.FileName(), "");
  EXPECT_THROW(file.SetValue(ds::Variant("x")), ds::EDatabaseError);
  TOraDataSetField nested;
  EXPECT_EQ(nested.DisplayText(), "(DataSet)");
  TOraReferenceField ref;
  EXPECT_EQ(ref.DisplayText(), "(Reference)");
  TOraXMLField xml;
  xml.FieldName = "DOC";
  try {
    (void)xml.AsInteger();
    FAIL();
  } catch (const ds::EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot access field 'DOC' as type Text");
  }
}

}  // namespace
}  // namespace oracle
