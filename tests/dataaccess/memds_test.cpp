// The memory dataset driven as an application drives it, checked after every step.
#include "dataaccess/memds.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "dataaccess/daconsts.h"
#include "dataaccess/memdata_list.h"
#include "tests/dataaccess/dataaccess_testing.h"
#include "tests/dataaccess/listmodel.h"

namespace dataaccess {
namespace {

namespace ds = dataset;

// ID integer, NAME a heap string, AMOUNT NUMBER(5,2), NOTE a memo, CODE NUMBER(10).
class People : public TMemData {
 public:
  void InternalInitFields() override {
    add("ID", dtInteger, 4, 9, 0);
    add("NAME", dtExtString, 8, 30, 0);
    add("AMOUNT", dtFloat, 8, 5, 2);
    add("NOTE", dtMemo, 8, 0, 0);
    add("CODE", dtInteger, 4, 10, 0);
  }

 private:
  void add(const char* name, uint16_t type, uint16_t size, uint16_t length, uint16_t scale) {
    auto f = std::make_unique<TFieldDesc>();
    f->Name = f->ActualName = name;
    f->DataType = type, f->Size = size, f->Length = length, f->Scale = scale;
    f->FieldNo = uint16_t(Fields.Count() + 1);
    Fields.Add(std::move(f));
  }
};

class PeopleSet : public TMemDataSet {
 public:
  PeopleSet() { SetIRecordSet(std::make_unique<People>()); }
  int inserts = 0, updates = 0, deletes = 0;
  int32_t codeFromServer = 0;  // what a server's insert hands back, written into CODE

 protected:
  void PerformInsert() override {
    ++inserts;
    if (codeFromServer != 0) SetFieldData(FieldByName("CODE"), Variant(codeFromServer));
  }
  void PerformUpdate() override { ++updates; }
  void PerformDelete() override { ++deletes; }
};

using testing::addRow;

TEST(TMemDataSetTest, RandomEditingAndNavigationFollowsAListModel) {
  PeopleSet d;
  d.Open();
  std::vector<std::pair<int, std::string>> model;
  testing::RunListModel(d, dataaccess_testing::testSeed(), 1500, model);
  if (::testing::Test::HasFatalFailure()) return;
  d.Edit();
  d.FieldByName("NAME").SetAsString("left open");
  d.Close();  // an edit in progress and buffers holding heap strings: nothing may outlive the store
  EXPECT_EQ(d.inserts + d.updates + d.deletes > 0, true);
}

TEST(TMemDataSetTest, WhatAnInsertWritesBackIntoTheRecordIsKept) {
  PeopleSet d;
  d.Open();
  d.codeFromServer = 77;
  addRow(d, 1, "a");
  EXPECT_EQ(d.FieldByName("CODE").AsInteger(), 77);
  d.codeFromServer = 0;
  addRow(d, 2, "b");
  d.First();
  EXPECT_EQ(d.FieldByName("CODE").AsInteger(), 77);
  d.Next();
  EXPECT_TRUE(d.FieldByName("CODE").IsNull());
}

TEST(TMemDataSetTest, FiltersSearchesBlobsAndRangesAsTheUserSeesThem) {
  PeopleSet d;
  d.NumberRange = true;
  d.Open();
  for (auto [id, name] : {std::pair{1, "ABCD"}, {2, "abcd"}, {3, "XYZ"}, {4, "ab"}}) addRow(d, id, name);
  EXPECT_TRUE(d.Locate("NAME", "AB", ds::loPartialKey));
  EXPECT_EQ(d.RecNo(), 1);
  d.Last();
  EXPECT_TRUE(d.Locate("NAME", "abcd", ds::loCaseInsensitive));
  EXPECT_EQ(d.RecNo(), 1);
  EXPECT_TRUE(d.Lookup("ID", 9, "NAME").isNull());
  EXPECT_EQ(d.Lookup("ID", 3, "NAME").asString(), "XYZ");
  EXPECT_EQ(d.RecNo(), 1);

  d.SetFilterText("NAME = 'ab*'");
  d.SetFiltered(true);
  EXPECT_EQ(d.RecordCount(), 2);  // "abcd" and "ab"; the filter is case-sensitive
  d.SetOnFilterRecord([](ds::DataSet& s, bool& accept) { accept = s.FieldByName("ID").AsInteger() > 2; });
  EXPECT_EQ(d.RecordCount(), 1);
  EXPECT_EQ(d.FieldByName("ID").AsInteger(), 4);
  d.SetFiltered(false);
  EXPECT_EQ(d.RecordCount(), 4);
  EXPECT_TRUE(d.FindLast());
  EXPECT_EQ(d.FieldByName("ID").AsInteger(), 4);
  EXPECT_EQ(d.RecordCount(), 4);

  Field& note = d.FieldByName("NOTE");
  EXPECT_THROW(d.CreateBlobStream(note, ds::bmWrite), ds::EDatabaseError);
  d.First();
  d.Edit();
  {
    auto s = d.CreateBlobStream(note, ds::bmWrite);
    s->Write("hello, world", 12);
  }
  EXPECT_TRUE(note.Modified);
  d.Cancel();
  EXPECT_TRUE(note.IsNull());
  d.Edit();
  d.CreateBlobStream(note, ds::bmWrite)->Write("kept", 4);
  d.Post();
  EXPECT_EQ(d.CreateBlobStream(note, ds::bmRead)->ReadAll(), "kept");

  d.Edit();
  d.FieldByName("AMOUNT").SetAsFloat(999.99);
  EXPECT_THROW(d.FieldByName("AMOUNT").SetAsFloat(1000), ds::EDatabaseError);
  d.FieldByName("CODE").SetAsInteger(2000000000);  // NUMBER(10) does not fit 32 bits: no range
  d.Post();
  EXPECT_EQ(d.FieldByName("AMOUNT").AsFloat(), 999.99);
  d.Close();
}

TEST(TMemDataSetTest, CachedUpdatesWaitForApplyAndTheHandlerDecides) {
  PeopleSet d;
  d.SetCachedUpdates(true);
  d.Prepare();
  EXPECT_EQ(d.GetFieldDefs().Count(), 5);
  d.Open();
  addRow(d, 1, "a");
  addRow(d, 2, "b");
  EXPECT_EQ(d.GetUpdateStatus(), ds::usInserted);
  EXPECT_EQ(d.inserts, 0);
  auto answer = ds::uaFail;
  int calls = 0;
  d.OnUpdateRecord = [&](ds::DataSet&, ds::UpdateKind kind, ds::UpdateAction& action) {
    EXPECT_EQ(kind, ds::ukInsert);
    ++calls;
    action = answer;
  };
  d.ApplyUpdates();
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(d.UpdatesPending());
  answer = ds::uaAbort;
  d.ApplyUpdates();  // stops at the first record, without an error
  EXPECT_EQ(calls, 3);
  answer = uaDefault;
  d.ApplyUpdates();
  EXPECT_EQ(d.inserts, 2);
  d.CommitUpdates();
  EXPECT_FALSE(d.UpdatesPending());
  EXPECT_EQ(d.GetUpdateStatus(), ds::usUnmodified);

  d.SetCachedUpdates(false);
  d.LocalUpdate = true;
  d.Edit();
  d.FieldByName("NAME").SetAsString("local");
  d.Post();
  EXPECT_EQ(d.updates, 0);
  d.LocalUpdate = false;
  d.Delete();
  EXPECT_EQ(d.deletes, 1);
}

TEST(TMemDataSetTest, ADetailFollowsItsMasterAndLinksCannotCircle) {
  PeopleSet master, detail;
  master.Open();
  detail.Open();
  for (int i = 1; i <= 3; ++i) addRow(master, i, "m" + std::to_string(i));
  for (int i = 1; i <= 6; ++i) addRow(detail, (i + 1) / 2, "d" + std::to_string(i));
  ds::DataSource masterSource, detailSource;
  masterSource.SetDataSet(&master);
  detailSource.SetDataSet(&detail);
  ds::MasterDataLink link(detail);
  link.FieldNames = "ID";
  link.OnMasterChange = [&] {
    detail.SetFilterText("ID = " + std::to_string(link.MasterFields()[0]->AsInteger()));
    detail.SetFiltered(true);
  };
  link.SetDataSource(&masterSource);
  master.First();
  EXPECT_EQ(detail.RecordCount(), 2);
  EXPECT_EQ(detail.FieldByName("NAME").AsString(), "d1");
  master.Last();
  EXPECT_EQ(detail.FieldByName("NAME").AsString(), "d5");

  ds::MasterDataLink back(master);
  try {
    back.SetDataSource(&detailSource);
    FAIL();
  } catch (const ds::EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Circular datalinks are not allowed");
  }
  int calls = 0;
  auto gone = std::make_unique<PeopleSet>();
  ds::MasterDataLink orphan(*gone);
  orphan.OnMasterChange = [&] { ++calls; };
  orphan.SetDataSource(&masterSource);
  gone.reset();  // the link outlives its detail and calls nothing back
  master.First();
  EXPECT_EQ(calls, 1);
  master.Close();
  EXPECT_FALSE(link.Active());
}

TEST(TMemDataSetTest, PersistentCalculatedAndLookupFieldsFollowTheRecordAndTheEventsComeInOrder) {
  auto owners = std::make_unique<PeopleSet>();
  owners->Open();
  addRow(*owners, 7, "Ann");
  PeopleSet d;
  std::vector<std::string> events;
  auto log = [&](const char* e) { return [&events, e](ds::DataSet&) { events.push_back(e); }; };
  d.BeforePost = log("before post"), d.AfterPost = log("after post"), d.OnNewRecord = log("new");
  d.AfterScroll = log("scroll"), d.AfterCancel = log("cancel");
  Field* id = Field::AddTo(d, std::make_unique<ds::IntegerField>());
  id->FieldName = "ID", id->Required = true, id->DefaultExpression = "7";
  Field::AddTo(d, std::make_unique<ds::StringField>())->FieldName = "NAME";
  Field* twice = Field::AddTo(d, std::make_unique<ds::IntegerField>());
  twice->FieldName = "TWICE", twice->Kind = ds::FieldKind::Calculated;
  Field* owner = Field::AddTo(d, std::make_unique<ds::StringField>());
  owner->FieldName = "OWNER", owner->Kind = ds::FieldKind::Lookup, owner->LookupDataSet = owners.get();
  owner->KeyFields = owner->LookupKeyFields = "ID", owner->LookupResultField = "NAME";
  d.OnCalcFields = [&](ds::DataSet& s) { twice->SetAsInteger(s.FieldByName("ID").AsInteger() * 2); };
  d.Open();
  EXPECT_EQ(d.FieldByName("NAME").Size, 30);  // from the definition
  EXPECT_EQ(d.FindField("AMOUNT"), nullptr);  // persistent fields only
  d.Append();
  EXPECT_EQ(twice->AsInteger(), 14);  // the default went in, and the calculation followed
  id->Clear();
  EXPECT_THROW(d.Post(), ds::EDatabaseError);  // "Field 'ID' must have a value"
  EXPECT_EQ(d.State(), ds::dsInsert);
  id->SetAsInteger(7);
  d.DisableControls();
  d.Post();
  d.EnableControls();
  EXPECT_EQ(owner->AsString(), "Ann");
  EXPECT_EQ(twice->AsInteger(), 14);
  EXPECT_THROW(twice->SetAsInteger(1), ds::EDatabaseError);  // browse state
  EXPECT_EQ(events, (std::vector<std::string>{"new", "scroll", "before post", "before post", "after post"}));
  owners.reset();  // the lookup field forgets the dataset that went
  d.Resync();
  EXPECT_TRUE(owner->IsNull());
  EXPECT_EQ(twice->AsInteger(), 14);
}

// ID a 64-bit integer.
class Wide : public TMemData {
 public:
  void InternalInitFields() override {
    auto f = std::make_unique<TFieldDesc>();
    f->Name = f->ActualName = "ID";
    f->DataType = dtInt64, f->Size = 8, f->Length = 19;
    f->FieldNo = 1;
    Fields.Add(std::move(f));
  }
};

TEST(TMemDataSetTest, AFilterComparesA64BitColumnWithATextOrDecimalConstantExactly) {
  TMemDataSet d;
  d.SetIRecordSet(std::make_unique<Wide>());
  d.Open();
  // Each pair differs by one past the 53 bits a double holds exactly.
  for (const int64_t id : {int64_t(9007199254740992), int64_t(9007199254740993), INT64_MAX - 1, INT64_MAX,
                           INT64_MIN, INT64_MIN + 1}) {
    d.Append();
    d.FieldByName("ID").SetValue(Variant(id));
    d.Post();
  }
  const auto passing = [&](const std::string& filter) {
    d.SetFilterText(filter);
    d.SetFiltered(true);
    std::string out;
    for (d.First(); !d.Eof(); d.Next()) out += d.FieldByName("ID").AsString() + " ";
    d.SetFiltered(false);
    return out;
  };
  EXPECT_EQ(passing("ID = '9007199254740993'"), "9007199254740993 ");
  EXPECT_EQ(passing("ID > '9007199254740992'"), "9007199254740993 9223372036854775806 9223372036854775807 ");
  EXPECT_EQ(passing("ID <> '9223372036854775806' AND ID > '9223372036854775805.5'"), "9223372036854775807 ");
  EXPECT_EQ(passing("ID < ' -9223372036854775807 '"), "-9223372036854775808 ");
  EXPECT_EQ(
      passing("ID >= '-9223372036854775807.0'"),
      "9007199254740992 9007199254740993 9223372036854775806 9223372036854775807 -9223372036854775807 ");
  EXPECT_EQ(passing("ID < '-9223372036854775807.5'"), "-9223372036854775808 ");
  // Beyond 64 bits and in exponent form the text is read as a double.
  EXPECT_EQ(passing("ID >= '9223372036854775808'"), "");
  EXPECT_EQ(passing("ID > '9.1E18'"), "9223372036854775806 9223372036854775807 ");
  EXPECT_EQ(passing("ID = 'x'"), "");
  // A constant with a point is a double: 2^53 exactly here.
  EXPECT_EQ(passing("ID > 9007199254740992.0"), "9007199254740993 9223372036854775806 9223372036854775807 ");
  EXPECT_EQ(passing("ID <= 9007199254740992.0 AND ID > 0"), "9007199254740992 ");
}

// S text of 5 bytes, W wide text of 5 UTF-16 units.
class ShortTexts : public TMemData {
 public:
  void InternalInitFields() override {
    add("S", dtString, 6);
    add("W", dtWideString, 12);
  }

 private:
  void add(const char* name, uint16_t type, uint16_t size) {
    auto f = std::make_unique<TFieldDesc>();
    f->Name = f->ActualName = name;
    f->DataType = type, f->Size = size, f->Length = 5;
    f->FieldNo = uint16_t(Fields.Count() + 1);
    Fields.Add(std::move(f));
  }
};

// Texts of two-, three- and four-byte characters after 0 to 3 ASCII letters, with what of them
// 5 bytes keep (`narrow`) and what 5 UTF-16 units keep (`wide`), in whole characters.
struct LongTextCase {
  std::string text, narrow, wide;
};
std::vector<LongTextCase> longTextCases() {
  std::vector<LongTextCase> cases;
  for (const std::string c : {"\xC3\x89", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"})
    for (size_t lead = 0; lead < 4; ++lead) {
      LongTextCase k{std::string(lead, 'A'), std::string(lead, 'A'), std::string(lead, 'A')};
      size_t units = lead;
      const size_t charUnits = c.size() == 4 ? 2 : 1;
      for (int n = 0; n < 4; ++n) {
        k.text += c;
        if (k.narrow.size() + c.size() <= 5 && k.narrow.size() == k.text.size() - c.size()) k.narrow += c;
        if (units + charUnits <= 5 && k.wide.size() == k.text.size() - c.size())
          k.wide += c, units += charUnits;
      }
      cases.push_back(k);
    }
  return cases;
}

// A text longer than its field keeps the whole characters that fit, whether the record takes it
// straight (a value a server hands back, a collection's item) or through fields added by hand:
// no UTF-8 character is cut inside, and no UTF-16 pair is split, for characters of two, three
// and four bytes that the field's end meets at each of their bytes.
TEST(TMemDataSetTest, ATextLongerThanItsFieldKeepsWholeCharacters) {
  using Case = LongTextCase;
  const std::vector<Case> cases = longTextCases();
  ShortTexts store;
  store.Open();
  store.InitFields();
  std::unique_ptr<uint8_t[]> buf(store.AllocRecBuf());
  for (const Case& k : cases) {
    SCOPED_TRACE("straight " + k.text);
    store.InitRecord(buf.get());
    store.PutFieldAsVariant(1, buf.get(), k.text);
    store.PutFieldAsVariant(2, buf.get(), k.text);
    EXPECT_EQ(store.GetFieldAsVariant(1, buf.get()).asString(), k.narrow);
    EXPECT_EQ(store.GetFieldAsVariant(2, buf.get()).asWideString(), ds::utf8ToUtf16(k.wide));
  }
  store.Close();

  class Set : public TMemDataSet {
   public:
    Set() { SetIRecordSet(std::make_unique<ShortTexts>()); }
  } d;
  Field* narrow = Field::AddTo(d, std::make_unique<ds::StringField>());
  narrow->FieldName = "S";
  Field* wide = Field::AddTo(d, std::make_unique<ds::WideStringField>());
  wide->FieldName = "W";
  d.Open();
  for (const Case& k : cases) {
    d.Append();
    narrow->SetAsString(k.text);
    wide->SetAsString(k.text);
    d.Post();
  }
  d.First();
  for (const Case& k : cases) {
    SCOPED_TRACE("through fields " + k.text);
    EXPECT_EQ(narrow->AsString(), k.narrow);
    EXPECT_EQ(wide->Value().asWideString(), ds::utf8ToUtf16(k.wide));
    d.Next();
  }
  EXPECT_TRUE(d.Eof());
}

// Text fields 5 wide cut a longer text themselves, before the record sees it: the narrow one at a
// UTF-8 character's start, the wide one where no character outside the basic plane loses its
// second UTF-16 half.
TEST(TMemDataSetTest, TextFieldsNarrowerThanTheirTextKeepWholeCharacters) {
  class Set : public TMemDataSet {
   public:
    Set() { SetIRecordSet(std::make_unique<ShortTexts>()); }
  } d;
  Field* narrow = Field::AddTo(d, std::make_unique<ds::StringField>());
  narrow->FieldName = "S";
  narrow->Size = 5;
  Field* wide = Field::AddTo(d, std::make_unique<ds::WideStringField>());
  wide->FieldName = "W";
  wide->Size = 5;
  d.Open();
  const std::vector<LongTextCase> cases = longTextCases();
  for (const LongTextCase& k : cases) {
    SCOPED_TRACE(k.text);
    EXPECT_EQ(narrow->Convert(ds::Variant(k.text)).asString(), k.narrow);
    EXPECT_EQ(wide->Convert(ds::Variant(k.text)).asWideString(), ds::utf8ToUtf16(k.wide));
    d.Append();
    narrow->SetAsString(k.text);
    wide->SetAsString(k.text);
    d.Post();
    EXPECT_EQ(narrow->AsString(), k.narrow);
    EXPECT_EQ(wide->Value().asWideString(), ds::utf8ToUtf16(k.wide));
  }
}

// Text in a single-byte character set, where every byte from 0x80 up is a letter of its own: a
// text longer than its field keeps exactly the field's width, whatever bytes meet the cut (a UTF-8
// reading would take 0x80 to 0xBF for the tails of a character and drop them back to the byte
// before them), through the record and through a field 5 wide alike.
TEST(TMemDataSetTest, SingleByteTextLongerThanItsFieldKeepsExactlyTheFieldsWidth) {
  class SingleByteTexts : public ShortTexts {
   public:
    ds::NarrowText NarrowTextEncoding() const override { return ds::NarrowText::SingleByte; }
  };
  // Every byte from 0x80 to 0xFF, and ASCII, in each place from the third to the seventh byte.
  std::vector<std::string> texts;
  for (int b = 0x80; b <= 0xFF; ++b)
    for (size_t at = 2; at < 7; ++at) {
      std::string text = "abcdefg";
      text[at] = char(b);
      texts.push_back(text);
      text.replace(0, at, std::string(at, char(0xBF)));  // and the bytes before it tails as well
      texts.push_back(text);
    }
  texts.push_back("\xE9\xE8\xA9\xBF\x80\xFF\xC3");

  SingleByteTexts store;
  store.Open();
  store.InitFields();
  std::unique_ptr<uint8_t[]> buf(store.AllocRecBuf());
  for (const std::string& text : texts) {
    store.InitRecord(buf.get());
    store.PutFieldAsVariant(1, buf.get(), text);
    EXPECT_EQ(store.GetFieldAsVariant(1, buf.get()).asString(), text.substr(0, 5)) << "straight";
  }
  store.Close();

  class Set : public TMemDataSet {
   public:
    Set() { SetIRecordSet(std::make_unique<SingleByteTexts>()); }
  } d;
  Field* narrow = Field::AddTo(d, std::make_unique<ds::StringField>());
  narrow->FieldName = "S";
  narrow->Size = 5;
  d.Open();
  for (const std::string& text : texts) {
    EXPECT_EQ(narrow->Convert(ds::Variant(text)).asString(), text.substr(0, 5)) << "converted";
    d.Append();
    narrow->SetAsString(text);
    d.Post();
    EXPECT_EQ(narrow->AsString(), text.substr(0, 5)) << "through the field";
  }
  EXPECT_EQ(d.RecordCount(), int(texts.size()));
}

// Characters of a double-byte set, each as its bytes: the set's lead bytes of every kind, trail
// bytes that read as lead bytes or as ASCII, and the set's single bytes from 0x80 up.
struct DoubleByteSet {
  ds::NarrowText encoding;
  const char* name;
  std::vector<std::string> characters;
};

std::vector<DoubleByteSet> doubleByteSets() {
  using enum ds::NarrowText;
  return {
      {ShiftJis, "Shift-JIS", {"a", "\xB1", "\x82\xA0", "\x81\x40", "\x88\x9F", "\xE0\x81", "\xFC\x4B"}},
      {EucJp, "EUC-JP", {"a", "\xA4\xA2", "\x8E\xB1", "\x8F\xB0\xA1", "\xFE\xFE"}},
      {EucTw, "EUC-TW", {"a", "\xC4\xA1", "\x8E\xA2\xA1\xA1", "\xFE\xFE"}},
      {Lead81,
       "GBK, Big5, 949, 950",
       {"a", "\xC4\xE3", "\x81\x40", "\x81\x81", "\xA1\x7E", "\xFE\xFE", "\x80"}},
      {LeadA1, "EUC-KR, EUC-CN", {"a", "\xB0\xA1", "\xA1\xA1", "\xFE\xFE"}},
      {Gb18030, "GB18030", {"a", "\xC4\xE3", "\x81\x40", "\x81\x81", "\x81\x30\x81\x30", "\xFE\x39\xFE\x39"}},
  };
}

// Text of a double-byte set keeps, when longer than its field, the whole characters that fit in
// the field's 5 bytes: never a lone lead byte, never fewer characters than fit, whatever bytes
// meet the cut. Every text is 0 to 4 ASCII letters and then three characters of the set in every
// order, through the record and through a field 5 wide alike.
TEST(TMemDataSetTest, DoubleByteTextLongerThanItsFieldKeepsTheWholeCharactersThatFit) {
  for (const DoubleByteSet& set : doubleByteSets()) {
    SCOPED_TRACE(set.name);
    struct Case {
      std::string text, kept;
    };
    std::vector<Case> cases;
    const std::vector<std::string>& chars = set.characters;
    for (size_t letters = 0; letters < 5; ++letters)
      for (const std::string& a : chars)
        for (const std::string& b : chars)
          for (const std::string& c : chars) {
            Case k{std::string(letters, 'x'), std::string(letters, 'x')};
            bool whole = true;
            for (const std::string* ch : {&a, &b, &c}) {
              if (k.text.size() + ch->size() > 5) whole = false;
              k.text += *ch;
              if (whole) k.kept = k.text;
            }
            if (k.text.size() > 5) cases.push_back(k);
          }

    class Texts : public ShortTexts {
     public:
      explicit Texts(ds::NarrowText encoding) : encoding_(encoding) {}
      ds::NarrowText NarrowTextEncoding() const override { return encoding_; }

     private:
      ds::NarrowText encoding_;
    };
    Texts store(set.encoding);
    store.Open();
    store.InitFields();
    std::unique_ptr<uint8_t[]> buf(store.AllocRecBuf());
    for (const Case& k : cases) {
      store.InitRecord(buf.get());
      store.PutFieldAsVariant(1, buf.get(), k.text);
      EXPECT_EQ(store.GetFieldAsVariant(1, buf.get()).asString(), k.kept) << "straight";
    }
    store.Close();

    class Set : public TMemDataSet {
     public:
      explicit Set(ds::NarrowText encoding) { SetIRecordSet(std::make_unique<Texts>(encoding)); }
    } d(set.encoding);
    Field* narrow = Field::AddTo(d, std::make_unique<ds::StringField>());
    narrow->FieldName = "S";
    narrow->Size = 5;
    d.Open();
    for (const Case& k : cases) {
      EXPECT_EQ(narrow->Convert(ds::Variant(k.text)).asString(), k.kept) << "converted";
      d.Append();
      narrow->SetAsString(k.text);
      d.Post();
      EXPECT_EQ(narrow->AsString(), k.kept) << "through the field";
    }
    EXPECT_EQ(d.RecordCount(), int(cases.size()));
  }
}

}  // namespace
}  // namespace dataaccess
