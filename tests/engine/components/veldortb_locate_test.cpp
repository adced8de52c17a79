// Locate where no index serves the key fields: the search runs as an expression filter built from
// the values, on a table without indexes (every record evaluated) and on its twin whose indexes
// lead with the searched fields (the filter answered from key ranges), with the same answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dataset/dberror.h"
#include "engine/components/veldortb.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tools/engineserver/engineserver.h"

namespace {

using namespace engine::components;
namespace ds = dataset;
using engine::TEngineFieldType;
using engine::TExpToken;
using TempDir = platform::testing::TempFolder;
using V = ds::Variant;

constexpr uint8_t P = ds::loPartialKey;
constexpr uint8_t CI = ds::loCaseInsensitive;

ds::DateTime at(const char* text) {
  return ds::textToDateTime(text);
}
ds::Currency money(int64_t hundredths) {
  return ds::Currency{hundredths * 100};
}
V list(std::vector<V> values) {
  return V(std::move(values));
}
std::string describe(const V& v) {
  if (v.type() != ds::VariantType::Array) return v.isNull() ? "NULL" : "'" + v.asString() + "'";
  std::string text;
  for (const V& e : v.asArray()) text += (text.empty() ? "" : ", ") + describe(e);
  return text;
}

struct Row {
  int id;
  V name, note, day, time, stamp, flag, small, num, price, amount, word, large, code;
};

// Row 4 holds no value but its id.
const std::vector<Row> kRows = {
    {1, "Alpha", "first note", at("2026-12-01"), at("08:15:30.250"), at("2026-12-01 08:15:30.250"), true,
     int16_t(-5), int32_t(100000), 1.5, money(1234), int32_t(65535), int64_t(1) << 40, "ab"},
    {2, "alpha*", "note two", at("2026-12-02"), at("23:59:59.999"), at("1900-01-01 00:00:00.001"), false,
     int16_t(32767), int32_t(-7), 2.25, money(-5), int32_t(0), int64_t(-1), "abcd"},
    {3, "Beta", "third", at("1899-12-29"), at("00:00:00"), at("2026-12-03 12:00:00"), true, int16_t(0),
     int32_t(0), -3.75, money(9999999), int32_t(7), int64_t(0), "xy"},
    {4, V::null(), V::null(), V::null(), V::null(), V::null(), V::null(), V::null(), V::null(), V::null(),
     V::null(), V::null(), V::null(), V::null()},
};
const char* const kFields[] = {"NAME", "NOTE",  "DAY",    "TIME", "STAMP", "FLAG", "SMALL",
                               "NUM",  "PRICE", "AMOUNT", "WORD", "LARGE", "CODE"};

class LocateByExpressionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Session().Close();
    db.SetDatabaseName("dbmain");
    db.SetDirectory(dir.path());
  }
  void TearDown() override {
    db.Close();
    Session().Close();
  }

  // Every field of kRows; `indexed`: an index per field (but the memo) with ID as its second key
  // field, so that no index has the searched fields alone as its key; or, `alone`, the field
  // alone, so that a look-up cursor serves a search by that field.
  void create(TVELDORTable& t, const std::string& name, bool indexed, const std::string& database = "dbmain",
              bool alone = false) {
    t.SetDatabaseName(database);
    t.SetTableName(name);
    ds::FieldDefs& defs = t.GetFieldDefs();
    defs.Add("ID", ds::ftInteger);
    defs.Add("NAME", ds::ftString, 20);
    defs.Add("NOTE", ds::ftMemo);
    defs.Add("DAY", ds::ftDate);
    defs.Add("TIME", ds::ftTime);
    defs.Add("STAMP", ds::ftDateTime);
    defs.Add("FLAG", ds::ftBoolean);
    defs.Add("SMALL", ds::ftSmallint);
    defs.Add("NUM", ds::ftInteger);
    defs.Add("PRICE", ds::ftFloat);
    defs.Add("AMOUNT", ds::ftBCD, 2);
    defs.Add("WORD", ds::ftWord);
    defs.Add("LARGE", ds::ftLargeint);
    defs.Add("CODE", ds::ftBytes, 4);
    if (indexed)
      for (const char* field : kFields)
        if (std::string(field) != "NOTE" && std::string(field) != "CODE")
          t.IndexDefs().push_back({std::string("by") + field, std::string(field) + (alone ? "" : ";ID"), 0});
    t.CreateTable();
    t.Open();
    for (const Row& r : kRows) {
      t.Append();
      t.FieldByName("ID").SetAsInteger(r.id);
      const V* values[] = {&r.name, &r.note,  &r.day,    &r.time, &r.stamp, &r.flag, &r.small,
                           &r.num,  &r.price, &r.amount, &r.word, &r.large, &r.code};
      for (size_t k = 0; k < std::size(kFields); ++k)
        if (!values[k]->isNull()) t.FieldByName(kFields[k]).SetValue(*values[k]);
      t.Post();
    }
  }

  TempDir dir;
  TVELDORDatabase db;
};

struct Case {
  const char* fields;
  V value;
  uint8_t options;
  int found;  // the id of the first match; 0 for none
};

// Each engine type's constant, nulls, the options, and several fields; the first match in record
// order is found, a failed search leaves the dataset where it was, and no filter stays behind.
TEST_F(LocateByExpressionTest, EveryTypesValueFindsItsRecordWithOrWithoutIndexes) {
  const std::vector<Case> cases = {
      // Strings: whole texts (a final "*" is a character), prefixes, case.
      {"NAME", "Alpha", 0, 1},
      {"NAME", "alpha", 0, 0},
      {"NAME", "Alph", 0, 0},
      {"NAME", "alpha*", 0, 2},
      {"NAME", "alpha", CI, 1},
      {"NAME", "ALPHA*", CI, 2},
      {"NAME", "alp", P, 2},
      {"NAME", "Alp*", P, 1},
      {"NAME", "ALP*", P, 0},
      {"NAME", "ALP*", P | CI, 1},
      {"NAME", "alpha**", P, 2},
      {"NAME", "Alpha**", P, 0},
      {"NAME", "be", P | CI, 3},
      {"NAME", "Alphabet", P, 0},
      {"NOTE", "note two", 0, 2},
      {"NOTE", "NOTE TWO", CI, 2},
      {"NOTE", "note", 0, 0},
      // Dates by their day, times to the millisecond, timestamps whole; values or their texts.
      {"DAY", at("2026-12-02"), 0, 2},
      {"DAY", at("2026-12-01 17:45"), 0, 1},
      {"DAY", "1899-12-29", 0, 3},
      {"DAY", at("2026-12-04"), 0, 0},
      {"TIME", at("23:59:59.999"), 0, 2},
      {"TIME", "08:15:30.250", 0, 1},
      {"TIME", at("08:15:30.251"), 0, 0},
      {"TIME", at("00:00"), 0, 3},
      {"STAMP", at("1900-01-01 00:00:00.001"), 0, 2},
      {"STAMP", at("1900-01-01"), 0, 0},
      {"STAMP", "2026-12-03 12:00", 0, 3},
      {"FLAG", true, 0, 1},
      {"FLAG", false, 0, 2},
      {"FLAG", "False", 0, 2},
      {"SMALL", int16_t(-5), 0, 1},
      {"SMALL", int32_t(32767), 0, 2},
      {"SMALL", "0", 0, 3},
      {"SMALL", int32_t(-32768), 0, 0},
      {"NUM", int32_t(100000), 0, 1},
      {"NUM", int64_t(-7), 0, 2},
      {"NUM", 0.0, 0, 3},
      {"NUM", int32_t(100001), 0, 0},
      {"PRICE", 2.25, 0, 2},
      {"PRICE", "-3.75", 0, 3},
      {"PRICE", int32_t(1), 0, 0},
      {"PRICE", 1.5000001, 0, 0},
      {"AMOUNT", money(1234), 0, 1},
      {"AMOUNT", -0.05, 0, 2},
      {"AMOUNT", "99999.99", 0, 3},
      {"AMOUNT", money(1230), 0, 0},
      {"AMOUNT", money(-1234), 0, 0},
      {"WORD", int32_t(65535), 0, 1},
      {"WORD", "0", 0, 2},
      {"WORD", int32_t(8), 0, 0},
      {"LARGE", int64_t(1) << 40, 0, 1},
      {"LARGE", int32_t(-1), 0, 2},
      {"LARGE", (int64_t(1) << 40) + 1, 0, 0},
      {"CODE", "abcd", 0, 2},
      {"CODE", "ab", 0, 1},
      {"CODE", "abc", 0, 0},
      // NULL values find the records without a value; an empty text is NULL.
      {"NAME", V::null(), 0, 4},
      {"NAME", "", P, 4},
      {"NOTE", V::null(), 0, 4},
      {"DAY", V::null(), 0, 4},
      {"FLAG", V::null(), 0, 4},
      {"SMALL", V::null(), 0, 4},
      {"AMOUNT", V::null(), CI, 4},
      {"WORD", V::null(), 0, 4},
      {"LARGE", V::null(), 0, 4},
      {"CODE", "", 0, 4},
      // Two and three fields: every comparison holds.
      {"NAME;NUM", list({"Alpha", int32_t(100000)}), 0, 1},
      {"NAME;NUM", list({"Alpha", int32_t(-7)}), 0, 0},
      {"NUM;NAME", list({int32_t(-7), "ALPHA"}), P | CI, 2},
      {"NAME;PRICE", list({V::null(), V::null()}), 0, 4},
      {"NAME;PRICE", list({V::null(), 1.5}), 0, 0},
      {"FLAG;DAY;AMOUNT", list({true, at("1899-12-29"), money(9999999)}), 0, 3},
      {"FLAG;DAY;AMOUNT", list({true, at("2026-12-01"), money(9999999)}), 0, 0},
      {"FLAG;STAMP;TIME", list({false, at("1900-01-01 00:00:00.001"), at("23:59:59.999")}), 0, 2},
      {"FLAG;NAME;SMALL", list({true, "b*", int16_t(0)}), P | CI, 3},
  };
  TVELDORTable plain, indexed;
  create(plain, "plain", false);
  create(indexed, "indexed", true);
  for (TVELDORTable* t : {&plain, &indexed}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(t->TableName() + " " + c.fields + " = " + describe(c.value) + " options " +
                   std::to_string(c.options));
      t->Last();
      ASSERT_EQ(t->Locate(c.fields, c.value, c.options), c.found != 0);
      EXPECT_EQ(t->FieldByName("ID").AsInteger(), c.found ? c.found : 4);
      EXPECT_TRUE(t->Handle()->Filters().empty());
    }
    // A lookup answers from the record found and leaves the dataset where it was.
    t->First();
    EXPECT_EQ(t->Lookup("NUM;FLAG", list({int32_t(-7), false}), "NAME").asString(), "alpha*");
    EXPECT_TRUE(t->Lookup("NUM", int32_t(5), "NAME").isNull());
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 1);
    t->Next();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 2);
    // The dataset goes on from the record found.
    ASSERT_TRUE(t->Locate("FLAG", true, 0));
    t->Next();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 2);
    EXPECT_EQ(t->RecordCount(), 4);
  }
}

// A value the field's type cannot hold is refused, never wrapped into one it can.
TEST_F(LocateByExpressionTest, ValuesOutsideTheFieldsRangeAreRefused) {
  TVELDORTable t;
  create(t, "plain", false);
  const auto refused = [](const char* message) {
    return ::testing::ThrowsMessage<ds::EDatabaseError>(::testing::StrEq(message));
  };
  EXPECT_THAT([&] { t.Locate("SMALL", int32_t(32767 + 65536), 0); },
              refused("Invalid value for field 'SMALL'"));
  EXPECT_THAT([&] { t.Locate("SMALL", int32_t(-32769), 0); }, refused("Invalid value for field 'SMALL'"));
  EXPECT_THAT([&] { t.Locate("WORD", int32_t(65536 + 7), 0); }, refused("Invalid value for field 'WORD'"));
  EXPECT_THAT([&] { t.Locate("WORD", int32_t(-1), 0); }, refused("Invalid value for field 'WORD'"));
  EXPECT_THROW(t.Locate("NUM", int64_t(100000) + (int64_t(1) << 32), 0), ds::EVariantError);
  EXPECT_THROW(t.Locate("DAY", "someday", 0), ds::EVariantError);
  EXPECT_THROW(t.Locate("FLAG", "maybe", 0), ds::EVariantError);
  EXPECT_TRUE(t.Handle()->Filters().empty());
}

// A number its field holds only rounded (a fraction for a whole-number field, a third place for
// AMOUNT's two) equals no value of the field: Locate finds nothing and Lookup gives NULL, by
// expression, by the dataset's own index and by a look-up cursor alike, whatever the options.
TEST_F(LocateByExpressionTest, ANumberTheFieldHoldsOnlyRoundedFindsNothing) {
  const std::vector<Case> cases = {
      {"NUM", 99999.5, 0, 0},
      {"NUM", 0.5, 0, 0},
      {"NUM", "-7.4", 0, 0},
      {"NUM", ds::Currency{-72500}, 0, 0},
      {"SMALL", 0.25, P | CI, 0},
      {"SMALL", -4.5, 0, 0},
      {"WORD", 7.2, 0, 0},
      {"LARGE", -1.3, 0, 0},
      {"AMOUNT", 12.341, 0, 0},
      {"AMOUNT", "-0.049", CI, 0},
      {"NAME;NUM", list({"alpha*", -7.4}), 0, 0},
      {"NAME;NUM", list({"ALP", -6.5}), P | CI, 0},
      // Whole numbers in any form still find their records.
      {"NUM", -7.0, 0, 2},
      {"NUM", "100000", 0, 1},
      {"NUM", ds::Currency{0}, 0, 3},
      {"SMALL", ds::Currency{327670000}, 0, 2},
      {"WORD", 7.0, 0, 3},
      {"LARGE", -1.0, 0, 2},
      {"AMOUNT", 12.34, 0, 1},
      {"AMOUNT", "-0.050", 0, 2},
      {"NAME;NUM", list({"ALP", -7.0}), P | CI, 2},
      // Texts of numbers: trailing zeros are no places the field lacks; a NULL finds the
      // record without a value.
      {"NUM", "-7.0", 0, 2},
      {"NUM", "-7.50", 0, 0},
      {"NUM", "1.0e5", 0, 1},
      {"AMOUNT", "12.340", 0, 1},
      {"AMOUNT", 12.3400001, 0, 0},
      {"AMOUNT", "12.3400001", 0, 0},
      {"NUM", 100000.0000001, 0, 0},
      {"NUM", V::null(), CI, 4},
      {"AMOUNT", V::null(), CI, 4},
      {"NAME;NUM", list({"alpha*", "-7.0"}), 0, 2},
  };
  TVELDORTable plain, alone;
  create(plain, "plain", false);
  create(alone, "alone", true, "dbmain", true);
  for (TVELDORTable* t : {&plain, &alone}) {
    for (const bool ownIndex : {false, true}) {
      if (ownIndex && t == &plain) continue;
      for (const Case& c : cases) {
        const std::string first = std::string(c.fields).substr(0, std::string(c.fields).find(';'));
        t->SetIndexName(ownIndex ? "by" + first : "");
        SCOPED_TRACE(t->TableName() + (ownIndex ? " by its index " : " ") + c.fields + " = " +
                     describe(c.value) + " options " + std::to_string(c.options));
        t->Last();
        const int32_t before = t->FieldByName("ID").AsInteger();
        ASSERT_EQ(t->Locate(c.fields, c.value, c.options), c.found != 0);
        EXPECT_EQ(t->FieldByName("ID").AsInteger(), c.found ? c.found : before);
        if (c.options == 0) {
          const V name = t->Lookup(c.fields, c.value, "NAME");
          EXPECT_EQ(name.isNull() ? "NULL" : name.asString(),
                    c.found ? kRows[size_t(c.found - 1)].name.asString() : "NULL");
        }
        EXPECT_TRUE(t->Handle()->Filters().empty());
      }
    }
  }
}

// On a remote session the search tree goes to the server whole: compare lengths, case rules and
// typed constants arrive as they were built. A server gone meanwhile is an engine error.
// A filter text's number that the field's type cannot hold (a fraction against whole numbers,
// one beyond a SMALLINT or WORD, more places than a BCD field keeps) is compared as itself, not
// cut to the field's type: with indexes as without.
TEST_F(LocateByExpressionTest, FilterNumbersTheFieldCannotHoldCompareAsThemselves) {
  const std::vector<std::pair<std::string, std::vector<int>>> cases = {
      {"NUM = 0.5", {}},
      {"NUM < 0.5", {2, 3}},
      {"NUM > -7.5", {1, 2, 3}},
      {"NUM IN (0.5, 100000)", {1}},
      {"SMALL = 98303", {}},
      {"SMALL < 98303", {1, 2, 3}},
      {"WORD = -1", {}},
      {"WORD > -1", {1, 2, 3}},
      {"AMOUNT = 12.341", {}},
      {"AMOUNT > 12.341", {3}},
      {"LARGE BETWEEN -1.5 AND -0.5", {2}},
      {"NUM = 0 AND AMOUNT = 99999.99", {3}},
  };
  TVELDORTable plain, indexed;
  create(plain, "plain", false);
  create(indexed, "indexed", true);
  for (TVELDORTable* t : {&plain, &indexed}) {
    for (const auto& [text, ids] : cases) {
      SCOPED_TRACE(t->TableName() + " " + text);
      t->SetFiltered(false);
      t->SetFilterText(text);
      t->SetFiltered(true);
      std::vector<int> shown;
      for (t->First(); !t->Eof(); t->Next()) shown.push_back(int(t->FieldByName("ID").AsInteger()));
      EXPECT_EQ(shown, ids);
    }
  }
}

TEST_F(LocateByExpressionTest, ARemoteTableIsSearchedByTheSameTree) {
  auto server = std::make_unique<engineserver::EngineServer>(
      dir.path(), std::map<std::string, std::string>{{"ann", "pw"}});
  TVELDORSession remote("Remote");
  remote.SetSessionName("remote");
  remote.SetSessionType(engine::stRemote);
  remote.SetRemotePort(server->port());
  remote.OnRemoteLogin = [&](TVELDORSession&, std::string& user, std::string& password, bool&) {
    user = "ann";
    password = "pw";
  };
  {
    TVELDORDatabase r(&remote);
    r.SetDatabaseName("r");
    r.SetRemoteDatabase("\\tables\\");
    TVELDORTable t;
    t.SetSessionName("remote");
    create(t, "plain", false, "r");
    const std::vector<Case> cases = {
        {"NAME", "alp", P, 2},
        {"NAME", "ALPHA", CI, 1},
        {"NAME", "alpha**", P, 2},
        {"NAME;DAY", list({V::null(), V::null()}), 0, 4},
        {"TIME;AMOUNT", list({at("00:00"), money(9999999)}), 0, 3},
        {"STAMP", at("1900-01-01"), 0, 0},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.fields) + " = " + describe(c.value));
      t.Last();
      ASSERT_EQ(t.Locate(c.fields, c.value, c.options), c.found != 0);
      EXPECT_EQ(t.FieldByName("ID").AsInteger(), c.found ? c.found : 4);
    }
    server.reset();
    EXPECT_THROW(t.Locate("NAME", "alp", P), EVELDOREngineError);
    t.Close();
  }
  remote.Close();
}

// Only the cursor's fields can be searched by expression: a calculated field cannot.
TEST_F(LocateByExpressionTest, AFieldTheCursorDoesNotKnowIsNotFound) {
  {
    TVELDORTable t;
    create(t, "plain", false);
  }
  TVELDORTable t;
  t.SetDatabaseName("dbmain");
  t.SetTableName("plain");
  ds::Field::AddTo(t, std::make_unique<ds::IntegerField>())->FieldName = "ID";
  ds::Field::AddTo(t, std::make_unique<ds::StringField>())->FieldName = "NAME";
  ds::Field* twice = ds::Field::AddTo(t, std::make_unique<ds::IntegerField>());
  twice->FieldName = "TWICE", twice->Kind = ds::FieldKind::Calculated;
  t.OnCalcFields = [&](ds::DataSet& d) { twice->SetAsInteger(d.FieldByName("ID").AsInteger() * 2); };
  t.Open();
  for (const char* fields : {"TWICE", "NAME;TWICE"}) {
    EXPECT_THAT(
        [&] {
          t.Locate(fields, list({"Beta", int32_t(6)}), 0);
        },
        ::testing::ThrowsMessage<ds::EDatabaseError>(::testing::StrEq("Field 'TWICE' not found")));
    EXPECT_TRUE(t.Handle()->Filters().empty());
  }
  EXPECT_THAT([&] { t.Locate(" ; ", int32_t(6), 0); },
              ::testing::ThrowsMessage<ds::EDatabaseError>(::testing::StrEq("Field ' ; ' not found")));
  ASSERT_TRUE(t.Locate("NAME", "Beta", 0));
  EXPECT_EQ(twice->AsInteger(), 6);
}

// The tree the search filters with: per field "=" of the field's column and a constant of its
// type named by the value's text, joined left-deep by AND; the options on the comparisons.
TEST_F(LocateByExpressionTest, TheSearchTreeHasAComparisonPerFieldJoinedLeftDeep) {
  TVELDORTable t;
  create(t, "plain", false);
  const std::vector<ds::Field*> fields = {&t.FieldByName("NAME"), &t.FieldByName("AMOUNT"),
                                          &t.FieldByName("DAY")};
  const std::string longName(300, 'x');
  const engine::TExpTreePtr tree =
      t.BuildLocateFilter(fields, {longName + "*", V::null(), at("2026-12-02")}, true, true);
  ASSERT_TRUE(tree);
  const TExpToken& root = *tree;
  EXPECT_EQ(root.code, engine::opAnd);
  ASSERT_TRUE(root.left && root.right);
  EXPECT_EQ(root.left->code, engine::opAnd);
  const TExpToken* comparisons[] = {root.left->left, root.left->right, root.right};
  for (size_t k = 0; k < 3; ++k) {
    ASSERT_NE(comparisons[k], nullptr);
    const TExpToken& c = *comparisons[k];
    EXPECT_EQ(c.code, engine::opEqual);
    EXPECT_EQ(c.type, TEngineFieldType::Boolean);
    EXPECT_TRUE(c.caseInsensitive);
    ASSERT_TRUE(c.left && c.right);
    EXPECT_EQ(c.left->kind, engine::expColumn);
    EXPECT_EQ(c.left->columnName, fields[k]->FieldName);
    EXPECT_EQ(c.left->fieldNo, fields[k]->FieldNo);
    EXPECT_EQ(c.right->kind, engine::expConstant);
    EXPECT_EQ(c.right->type, c.left->type);
  }
  const TExpToken& name = *comparisons[0];
  EXPECT_EQ(name.kind, engine::expKeyCompare);
  EXPECT_EQ(name.left->type, TEngineFieldType::String);
  EXPECT_EQ(name.compareLength, 300u);
  EXPECT_EQ(name.right->Text(), longName);
  EXPECT_EQ(name.right->valueSize, 301u);
  EXPECT_EQ(name.right->name, std::string(255, 'x'));
  const TExpToken& amount = *comparisons[1];
  EXPECT_EQ(amount.left->type, TEngineFieldType::BCD);
  EXPECT_EQ(amount.left->scale, 2);
  EXPECT_EQ(amount.right->scale, 2);
  EXPECT_TRUE(amount.right->isNull);
  EXPECT_EQ(amount.right->name, "NULL");
  const TExpToken& day = *comparisons[2];
  EXPECT_EQ(day.left->type, TEngineFieldType::Date);
  EXPECT_FALSE(day.right->isNull);
  EXPECT_EQ(day.right->compareLength, 0u);
}

// A value is compared as a value: a text that names a column, or reads as an expression, finds
// only a record holding that very text.
TEST_F(LocateByExpressionTest, TextsThatLookLikeColumnsOrExpressionsAreOnlyValues) {
  for (bool indexed : {false, true}) {
    TVELDORTable t;
    create(t, indexed ? "indexed" : "plain", indexed);
    for (const char* text : {"NAME", "NOTE", "x' OR 'a'='a", "Alpha' OR NAME <> '", "NAME IS NOT NULL"}) {
      EXPECT_FALSE(t.Locate("NAME", text, 0)) << text;
      EXPECT_FALSE(t.Locate("NAME", text, P | CI)) << text;
    }
    t.Append();
    t.FieldByName("ID").SetAsInteger(5);
    t.FieldByName("NAME").SetAsString("NOTE");
    t.Post();
    t.First();
    ASSERT_TRUE(t.Locate("NAME", "NOTE", 0));
    EXPECT_EQ(t.FieldByName("ID").AsInteger(), 5);
  }
}

}  // namespace
