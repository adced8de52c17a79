#include "dataaccess/memdata_list.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "dataaccess/daconsts.h"
#include "dataaccess/memds.h"
#include "tests/dataaccess/dataaccess_testing.h"

namespace dataaccess {
namespace {

struct Column {
  const char* name;
  uint16_t dataType;
  uint16_t size;
  uint16_t length = 0;
  TObjectType* type = nullptr;
};

// A record list whose fields are declared by the test.
class Table : public TMemData {
 public:
  explicit Table(std::vector<Column> columns) : columns_(std::move(columns)) {}
  void InternalInitFields() override {
    for (const Column& c : columns_) {
      auto f = std::make_unique<TFieldDesc>();
      f->Name = f->ActualName = c.name;
      f->DataType = c.dataType;
      f->Size = c.size;
      f->Length = c.length;
      f->FieldNo = uint16_t(Fields.Count() + 1);
      f->SetObjectType(c.type);
      TFieldDesc& added = Fields.Add(std::move(f));
      if (c.type) InitObjectFields(c.type, &added);
    }
  }

 private:
  std::vector<Column> columns_;
};

std::string hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += std::string{digits[p[i] >> 4], digits[p[i] & 15]};
  return s;
}

TEST(TDataLayoutTest, OneRecordOfEveryTypeHoldsItsValuesByteForByte) {
  auto* addr = new TObjectType();
  addr->AddAttribute().Name = "STREET";
  addr->AddAttribute().Name = "CITY";
  auto* list = new TObjectType();
  list->DataType = dtArray;
  list->Size = 250;
  list->AddAttribute().Name = "ELEMENT";
  Table t({{"S", dtString, 3},
           {"W", dtWideString, 6, 2},
           {"I8", dtInt8, 1},
           {"I16", dtSmallint, 2},
           {"I32", dtInteger, 4},
           {"F", dtFloat, 8},
           {"D", dtDate, 8},
           {"T", dtTime, 8},
           {"DT", dtDateTime, 8},
           {"U16", dtUInt16, 2},
           {"B", dtBoolean, 2},
           {"I64", dtInt64, 8},
           {"C", dtCurrency, 8},
           {"BY", dtBytes, 2, 2},
           {"VB", dtVarBytes, 4, 2},
           {"U32", dtUInt32, 4},
           {"id", dtInteger, 4},
           {"ID_1", dtInteger, 4},
           {"ID", dtInteger, 4},
           {"XS", dtExtString, 8},
           {"BL", dtBlob, 8},
           {"ME", dtMemo, 8},
           {"V", dtVariant, 8},
           {"XB", dtExtVarBytes, 8, 4},
           {"XW", dtExtWideString, 8},
           {"O", dtObject, 8, 0, addr},
           {"ARR", dtArray, 8, 0, list}});
  t.InitFields();
  addr->Release();
  list->Release();
  std::string names;
  for (int i = 16; i < 29; ++i) names += t.Fields[i].ActualName + "/" + t.Fields[i].Name + " ";
  EXPECT_EQ(
      names,
      "id/id ID_1/ID_1 ID/ID_2 XS/XS BL/BL ME/ME V/V XB/XB XW/XW O/O O.STREET/STREET O.CITY/CITY ARR/ARR ");
  ASSERT_EQ(t.Fields.Count(), 129);  // an array column has at most 100 elements
  EXPECT_EQ(t.Fields[128].ActualName, "ARR[99]");
  EXPECT_EQ(t.Fields[1].Offset, 4u);  // moved to an even offset
  EXPECT_EQ(t.DataSize, 155u);
  EXPECT_EQ(t.RecordSize, 285u);  // 155 + 129 null bytes, made odd

  std::unique_ptr<uint8_t[]> rec(t.AllocRecBuf());
  t.InitRecord(rec.get());
  t.CreateComplexFields(rec.get(), true);
  const Variant values[] = {"abcdef",
                            std::u16string(u"xy"),
                            int32_t(-2),
                            int32_t(-3),
                            int32_t(258),
                            1.25,
                            Variant(dataset::DateTime{2.0}),
                            Variant(dataset::DateTime{0.75}),
                            Variant(dataset::DateTime{-1.25}),
                            int32_t(65535),
                            true,
                            int64_t(-1),
                            2.5,
                            Variant::bytes({1, 2}),
                            Variant::bytes({9}),
                            int64_t(4294967295),
                            Variant::null(),
                            int32_t(7),
                            Variant(),
                            "heap",
                            "blob bytes",
                            "memo text",
                            int32_t(42),
                            Variant::bytes({5, 6, 7}),
                            std::u16string(u"wide")};
  for (int i = 0; i < int(std::size(values)); ++i) t.PutFieldAsVariant(i + 1, rec.get(), values[i]);
  EXPECT_EQ(hex(rec.get(), 99 - 8),
            "616200"
            "00"
            "780079000000"
            "fe"
            "fdff"
            "02010000"
            "000000000000f43f"
            "0000000000000040"
            "000000000000e83f"
            "000000000000f4bf"
            "ffff"
            "0100"
            "ffffffffffffffff"
            "0000000000000440"
            "0102"
            "01000900"
            "ffffffff"
            "00000000"
            "07000000"
            "00000000");
  EXPECT_EQ(hex(rec.get() + 155, 29), "0000000000000000000000000000000001000100000000000001000001");
  for (int i = 0; i < int(std::size(values)); ++i) {
    if (i == 0 || i == 16 || i == 18 || i == 20) continue;
    EXPECT_TRUE(t.GetFieldAsVariant(i + 1, rec.get()) == values[i]) << t.Fields[i].Name;
  }
  EXPECT_EQ(t.GetFieldAsVariant(1, rec.get()).asString(), "ab");
  EXPECT_EQ(t.GetBlob(21, rec.get())->AsString(), "blob bytes");
  t.SetNull(26, rec.get(), false);
  EXPECT_THROW(t.GetFieldAsVariant(26, rec.get()), EMemDataError);  // objects are no variants
  EXPECT_TRUE(t.GetFieldAsVariant(27, rec.get()).isNull());         // a child of no object
  int32_t day = 0;
  bool blank = true;
  t.GetField(7, rec.get(), &day, sizeof day, blank);
  EXPECT_EQ(day, DateDelta + 2);
  char small[2];
  t.GetField(20, rec.get(), small, sizeof small, blank);
  EXPECT_STREQ(small, "h");  // bounded by the destination and terminated
  t.PutField(1, rec.get(), "", 1);
  EXPECT_TRUE(t.GetNull(1, rec.get()));
  t.FreeComplexFields(rec.get(), true);
}

// A driver's record set: one more blob type of its own, and dates handed out a day later.
class DriverTable : public Table {
 public:
  static constexpr uint16_t dtDriverLob = 102;
  using Table::Table;
  TDataTypeSet GetBlobTypes() const override { return Table::GetBlobTypes().set(dtDriverLob); }
  TDataTypeSet GetComplexTypes() const override { return Table::GetComplexTypes().set(dtDriverLob); }
  void DateTimeToNative(const uint8_t* source, void* dest, int mode) const override {
    Table::DateTimeToNative(source, dest, mode);
    if (mode == 3) *static_cast<int32_t*>(dest) += 1;
  }
};

TEST(TDataLayoutTest, ADriverWidensTheTypeSetsAndConvertsDatesItsOwnWay) {
  DriverTable t(
      {{"LOB", DriverTable::dtDriverLob, 8}, {"D", dtDate, 8}, {"BL", dtBlob, 8}, {"I", dtInteger, 4}});
  t.InitFields();
  EXPECT_TRUE(t.HasComplexFields);
  std::unique_ptr<uint8_t[]> rec(t.AllocRecBuf());
  t.InitRecord(rec.get());
  t.CreateComplexFields(rec.get(), true);
  t.WriteBlob(1, rec.get(), 0, 3, "lob");
  EXPECT_EQ(t.GetBlob(1, rec.get())->AsString(), "lob");
  EXPECT_THROW(t.GetBlob(4, rec.get()), EDatabaseError);
  const int32_t day = DateDelta + 5;
  t.PutField(2, rec.get(), &day, sizeof day);
  int32_t got = 0;
  bool blank = true;
  t.GetField(2, rec.get(), &got, sizeof got, blank);
  EXPECT_EQ(got, day + 1);
  t.FreeComplexFields(rec.get(), true);
  // A parameter's field type maps back onto the code it is shown for, but a smallint parameter
  // is an integer, and a currency a currency.
  for (uint16_t code :
       {dtString, dtInteger, dtFloat, dtDate, dtTime, dtDateTime, dtBoolean, dtBlob, dtMemo, dtObject,
        dtReference, dtArray, dtTable, dtVariant, dtBytes, dtVarBytes, dtWideString})
    EXPECT_EQ(FieldTypeToDataType(DataTypeToFieldType(code)), code) << code;
  EXPECT_EQ(FieldTypeToDataType(DataTypeToFieldType(dtSmallint)), dtInteger);
  EXPECT_EQ(FieldTypeToDataType(dataset::ftCurrency), dtCurrency);
  EXPECT_EQ(FieldTypeToDataType(dataset::ftGuid), dtUnknown);
}

struct Row {
  int32_t id;
  std::string name;
};

// Random inserts, updates, deletes, navigation, bookmarks, filters and cached updates against a
// vector of the rows; the count and a full scan are checked after every step.
TEST(TMemDataTest, RandomEditsAndCachedUpdatesMatchAVectorModel) {
  const uint32_t seed = dataaccess_testing::testSeed();
  std::mt19937 rng(seed);
  Table t({{"ID", dtInteger, 4}, {"NAME", dtExtString, 8}});
  t.Open();
  t.InitFields();
  std::unique_ptr<uint8_t[]> buf(t.AllocRecBuf());
  std::vector<Row> model, saved;
  bool filtered = false;
  auto shows = [&](const Row& r) { return !filtered || r.name.find('a') != std::string::npos; };
  std::vector<std::pair<TRecBookmark, int32_t>> marks;
  int32_t nextId = 1;
  t.OnApplyRecord = [](TUpdateKind, TUpdateAction& action) { action = uaApplied; };

  auto name = [&] {
    std::string s(1 + rng() % 3, ' ');
    for (char& c : s) c = char('a' + rng() % 5);
    return rng() % 16 ? s : s + std::string(2100, 'L');  // long ones come from the system heap
  };
  auto row = [&](uint8_t* rec) {
    return Row{t.GetFieldAsVariant(1, rec).asInt32(), t.GetFieldAsVariant(2, rec).asString()};
  };
  for (int step = 0; step < 2000; ++step) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
    // Rows the filter lets through, by their index in the model.
    std::vector<size_t> shown;
    for (size_t i = 0; i < model.size(); ++i)
      if (!filtered || model[i].name.find('a') != std::string::npos) shown.push_back(i);
    const int n = int(shown.size());
    const int at = n ? 1 + int(rng() % uint32_t(n)) : 0;
    const size_t index = at ? shown[size_t(at - 1)] : 0;
    const unsigned op = rng() % 10;
    switch (op) {
      case 0:
      case 1: {  // insert before row `at`, or append
        t.InitRecord(buf.get());
        const Row r{nextId++, name()};
        t.PutFieldAsVariant(1, buf.get(), r.id);
        t.PutFieldAsVariant(2, buf.get(), r.name);
        if (at && rng() % 2) {
          t.SetRecNo(at);
          t.InsertRecord(buf.get());
          model.insert(model.begin() + long(index), r);
        } else {
          t.AppendRecord(buf.get());
          model.push_back(r);
        }
        break;
      }
      case 2:
      case 3:
        if (at) {  // edit the name of row `at`
          t.SetRecNo(at);
          t.GetRecord(buf.get());
          t.EditRecord(buf.get());
          model[index].name = name();
          t.PutFieldAsVariant(2, buf.get(), model[index].name);
          t.PostRecord(buf.get());
        }
        break;
      case 4:
        if (at) {
          t.SetRecNo(at);
          t.DeleteRecord();
          if (t.CachedUpdates && t.GetUpdateStatus() == usDeleted) t.DeleteRecord();  // changes nothing
          model.erase(model.begin() + long(index));
        }
        break;
      case 5:
        if (at) {
          t.SetRecNo(at);
          TRecBookmark b;
          t.GetBookmark(b);
          marks.push_back({b, model[index].id});
        }
        if (!marks.empty()) {
          auto [b, id] = marks[rng() % marks.size()];
          t.SetToBookmark(b);
          const bool exists =
              std::any_of(model.begin(), model.end(), [&](const Row& r) { return r.id == id && shows(r); });
          if (exists && b.RefreshIteration == t.RefreshIteration()) {
            t.GetRecord(buf.get());
            ASSERT_EQ(row(buf.get()).id, id);
          }
        }
        break;
      case 6:
        if (!t.CachedUpdates) {
          t.CachedUpdates = true;
          saved = model;
        } else if (rng() % 2) {
          t.CommitUpdates();
          t.CachedUpdates = false;
        } else {
          t.CancelUpdates();
          model = saved;
          t.CachedUpdates = false;
        }
        break;
      case 7: {  // scan backwards
        std::vector<Row> back;
        t.SetToEnd();
        for (t.GetPriorRecord(buf.get()); !t.Bof(); t.GetPriorRecord(buf.get()))
          back.insert(back.begin(), row(buf.get()));
        ASSERT_EQ(back.size(), size_t(std::count_if(model.begin(), model.end(), shows)));
        break;
      }
      case 8:
        if (rng() % 20 == 0 && !t.CachedUpdates) {  // refresh: everything is freed
          t.FreeData();
          model.clear();
        } else if (rng() % 4 == 0) {
          filtered = !filtered;
          t.SetFilterText(filtered ? "NAME LIKE '*a*'" : "");
          t.FilterUpdated();
        }
        break;
      default:
        break;
    }
    std::vector<Row> visible;
    std::copy_if(model.begin(), model.end(), std::back_inserter(visible), shows);
    ASSERT_EQ(t.GetRecordCount(), int(visible.size()));
    t.SetToBegin();
    int position = 0;
    for (t.GetNextRecord(buf.get()); !t.Eof(); t.GetNextRecord(buf.get())) {
      ASSERT_LT(position, int(visible.size()));
      const Row r = row(buf.get());
      ASSERT_EQ(r.id, visible[size_t(position)].id);
      ASSERT_EQ(r.name, visible[size_t(position)].name);
      ASSERT_EQ(t.GetRecNo(), ++position);
    }
    ASSERT_EQ(position, int(visible.size()));
  }
  t.Close();
}

// Three modified records applied by a callback that fails, retries, reverts or applies as
// scripted; what each apply leaves is what a second apply and the commit build on.
TEST(TMemDataTest, ApplyUpdatesRetriesStopsAtAFailureAndSurvivesAReverted) {
  Table t({{"ID", dtInteger, 4}});
  t.Open();
  t.InitFields();
  std::unique_ptr<uint8_t[]> buf(t.AllocRecBuf());
  for (int32_t id = 1; id <= 3; ++id) {
    t.InitRecord(buf.get());
    t.PutFieldAsVariant(1, buf.get(), id);
    t.AppendRecord(buf.get());
  }
  t.CachedUpdates = true;
  for (int n = 1; n <= 3; ++n) {
    t.SetRecNo(n);
    t.GetRecord(buf.get());
    t.PutFieldAsVariant(1, buf.get(), int32_t(10 * n));
    t.UpdateRecord(buf.get());
  }
  std::string calls;
  std::string script;  // one action per call: a applied, r retry, f fail (raises), v revert, s skip
  t.OnApplyRecord = [&](TUpdateKind, TUpdateAction& action) {
    const char c = script[calls.size()];
    calls += std::to_string(t.GetRecNo());
    if (c == 'f') throw std::runtime_error("refused");
    if (c == 'v') t.RevertRecord();
    action = c == 'a' ? uaApplied : c == 'r' ? uaRetry : uaSkip;
  };
  auto results = [&] {
    std::string r;
    for (int n = 1; n <= 3; ++n) t.SetRecNo(n), r += std::to_string(t.GetUpdateResult());
    return r;
  };
  script = "arf";
  EXPECT_THROW(t.ApplyUpdates(), std::runtime_error);
  EXPECT_EQ(calls, "122");
  EXPECT_EQ(results(), "405");  // applied; retried, then failed; not reached
  calls.clear();
  script = "vs";
  t.ApplyUpdates();
  EXPECT_EQ(calls, "23");  // the first passed over; the second reverted by its callback
  EXPECT_EQ(results(), "452");
  EXPECT_TRUE(t.GetUpdatesPending());
  calls.clear();
  script = "a";
  t.CommitUpdates();
  EXPECT_EQ(calls, "3");
  EXPECT_FALSE(t.GetUpdatesPending());
  std::string ids;
  for (int n = 1; n <= 3; ++n)
    t.SetRecNo(n), t.GetRecord(buf.get()), ids += t.GetFieldAsVariant(1, buf.get()).asString() + " ";
  EXPECT_EQ(ids, "10 2 30 ");
  EXPECT_EQ(t.GetUpdateStatus(), usUnmodified);
}

}  // namespace
}  // namespace dataaccess
