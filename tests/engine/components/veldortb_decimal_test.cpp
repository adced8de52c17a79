// A DECIMAL value is one value whichever road stores it: SQL INSERT with a number, a text or
// float parameter, a table field given a text, a float or a currency, and a restructure that changes
// the column's places all put the same digits into the file (ties to even), and every road
// refuses with a clear error a value its column cannot hold, storing nothing. The file's packed
// decimals are read back digit by digit.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "dataset/dberror.h"
#include "engine/components/veldortb.h"
#include "engine/tables/veldorcursor.h"
#include "engine/values/veldorvaluetext.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine::components;
namespace ds = dataset;

const char* const kColumns[] = {"d0", "d2", "d4"};
using Cols = std::vector<std::string>;

class DecimalRoadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db.SetDatabaseName("dbdec");
    db.SetDirectory(dir.path());
    q.SetDatabaseName("dbdec");
  }
  void exec(const std::string& text) {
    q.SetSQL(text);
    q.ExecSQL();
  }
  // Every record of `table` as the digits its columns hold in the file ("-" for NULL), by id.
  std::map<int32_t, std::vector<std::string>> fileValues(const std::string& table) {
    q.Close();
    table_test::Database raw(dir.path());
    engine::TDataCursor c(*raw.directory);
    c.SetTableName(table);
    c.Open();
    std::map<int32_t, std::vector<std::string>> rows;
    std::vector<uint8_t> record(c.RecordSize());
    std::array<uint8_t, 256> v{};
    c.SetToBegin();
    while (c.GetNextRecord(record.data()) == 0) {
      bool isNull = false;
      c.GetField(1, record.data(), isNull, v.data());
      const int32_t id = int32_t(platform::get4(v.data()));
      std::vector<std::string>& row = rows[id];
      for (uint16_t p = 2; p <= c.FieldCount(); ++p) {
        c.GetField(p, record.data(), isNull, v.data());
        row.push_back(isNull ? "-" : storage_test::bcdText(v.data()));
      }
    }
    c.Close();
    return rows;
  }
  // The message of the failure of `step`; "" when it stored its value.
  static std::string refusal(const std::function<void()>& step) try {
    step();
    return "";
  } catch (const std::exception& e) {
    return e.what();
  }

  // The roads, each storing `value` into `columns` of a new row `id` of `table`.
  void sqlNumber(const std::string& table, int id, const std::vector<std::string>& columns,
                 const std::string& value) {
    insert(table, id, columns, value);
  }
  void insert(const std::string& table, int id, const std::vector<std::string>& columns,
              const std::string& literal) {
    std::string names = "id", values = std::to_string(id);
    for (const std::string& c : columns) names += ", " + c, values += ", " + literal;
    exec("INSERT INTO " + table + " (" + names + ") VALUES (" + values + ")");
  }
  void parameter(const std::string& table, int id, const std::vector<std::string>& columns,
                 const std::function<void(ds::Param&)>& set) {
    std::string names = "id", values = ":id";
    for (const std::string& c : columns) names += ", " + c, values += ", :" + c;
    q.SetSQL("INSERT INTO " + table + " (" + names + ") VALUES (" + values + ")");
    q.ParamByName("id").SetAsInteger(id);
    for (const std::string& c : columns) set(q.ParamByName(c));
    q.ExecSQL();
  }
  void field(const std::string& table, int id, const std::vector<std::string>& columns,
             const std::function<void(ds::Field&)>& set) {
    TVELDORTable t;
    t.SetDatabaseName("dbdec");
    t.SetTableName(table);
    t.Open();
    t.Append();
    try {
      t.FieldByName("id").SetAsInteger(id);
      for (const std::string& c : columns) set(t.FieldByName(c));
      t.Post();
    } catch (...) {
      t.Cancel();
      throw;
    }
  }

  using Road = std::function<void(const std::string& table, int id, const std::vector<std::string>& columns,
                                  const std::string& value)>;
  // Roads that take the value's text exactly, those that take it as a float, those that take it
  // as a currency (four places).
  std::vector<std::pair<std::string, Road>> textRoads() {
    return {
        {"parameter text", [this](auto& t, int id, auto& c,
                                  auto& v) { parameter(t, id, c, [&](ds::Param& p) { p.SetAsString(v); }); }},
        {"field text", [this](const std::string& t, int id, const Cols& c, const std::string& v) {
           field(t, id, c, [&](ds::Field& f) { f.SetAsString(v); });
         }}};
  }
  std::vector<std::pair<std::string, Road>> floatRoads() {
    return {{"sql number", [this](const std::string& t, int id, const Cols& c,
                                  const std::string& v) { sqlNumber(t, id, c, v); }},
            {"parameter float",
             [this](const std::string& t, int id, const Cols& c, const std::string& v) {
               parameter(t, id, c, [&](ds::Param& p) { p.SetAsFloat(std::stod(v)); });
             }},
            {"field float", [this](const std::string& t, int id, const Cols& c, const std::string& v) {
               field(t, id, c, [&](ds::Field& f) { f.SetAsFloat(std::stod(v)); });
             }}};
  }
  std::vector<std::pair<std::string, Road>> currencyRoads() {
    const auto currency = [](const std::string& v) {
      return ds::Variant(ds::Currency{engine::ParseCurrencyText(v)});
    };
    return {{"parameter currency",
             [this, currency](const std::string& t, int id, const Cols& c, const std::string& v) {
               parameter(t, id, c, [&](ds::Param& p) {
                 p.DataType = ds::ftBCD;
                 p.SetValue(currency(v));
               });
             }},
            {"field currency",
             [this, currency](const std::string& t, int id, const Cols& c, const std::string& v) {
               field(t, id, c, [&](ds::Field& f) { f.SetValue(currency(v)); });
             }}};
  }

  platform::testing::TempFolder dir;
  TVELDORDatabase db;
  TVELDORQuery q;
};

// Ties, negatives and the ends of the range, into columns of 0, 2 and 4 places: the digits each
// column holds, the same for every road that reads the value exactly (a float is read as the
// double nearest to it, whose ties at four places are the same).
TEST_F(DecimalRoadsTest, EveryRoadStoresTheSameDigitsRoundedHalfToEven) {
  exec("CREATE TABLE money (id INTEGER, d0 DECIMAL(20,0), d2 DECIMAL(20,2), d4 DECIMAL(20,4))");
  struct Case {
    std::string value;
    std::vector<std::string> digits;  // d0, d2, d4
    bool asFloat;                     // the double of the text is the value at four places
    bool asCurrency;                  // four places at most
  };
  const std::vector<Case> cases = {
      {"2.345", {"2", "2.34", "2.3450"}, true, true},
      {"2.355", {"2", "2.36", "2.3550"}, true, true},
      {"-2.345", {"-2", "-2.34", "-2.3450"}, true, true},
      {"-2.355", {"-2", "-2.36", "-2.3550"}, true, true},
      {"0.5", {"0", "0.50", "0.5000"}, true, true},
      {"1.5", {"2", "1.50", "1.5000"}, true, true},
      {"-2.5", {"-2", "-2.50", "-2.5000"}, true, true},
      {"-0.005", {"0", "0.00", "-0.0050"}, true, true},
      {"0.00005", {"0", "0.00", "0.0000"}, false, false},
      {"0.00015", {"0", "0.00", "0.0002"}, false, false},
      {"0.01495", {"0", "0.01", "0.0150"}, false, false},
      {"922337203685477.4999",
       {"922337203685477", "922337203685477.50", "922337203685477.4999"},
       false,
       true},
      {"-922337203685477.4999",
       {"-922337203685477", "-922337203685477.50", "-922337203685477.4999"},
       false,
       true},
  };
  std::map<int32_t, std::vector<std::string>> expected;
  std::map<int32_t, std::string> what;
  int id = 0;
  const std::vector<std::string> all(std::begin(kColumns), std::end(kColumns));
  for (const Case& c : cases) {
    std::vector<std::pair<std::string, Road>> roads = textRoads();
    if (c.asFloat)
      for (auto& r : floatRoads()) roads.push_back(r);
    if (c.asCurrency)
      for (auto& r : currencyRoads()) roads.push_back(r);
    for (auto& [name, road] : roads) {
      ++id;
      road("money", id, all, c.value);
      expected[id] = c.digits;
      what[id] = name + " " + c.value;
    }
  }
  const std::map<int32_t, std::vector<std::string>> stored = fileValues("money");
  ASSERT_EQ(stored.size(), expected.size());
  for (const auto& [row, digits] : expected) EXPECT_EQ(stored.at(row), digits) << what[row];

  // A float whose double lies off the decimal tie goes by the double, on every float road alike.
  id = 1000;
  for (auto& [name, road] : floatRoads()) road("money", ++id, all, "0.01495");
  const std::map<int32_t, std::vector<std::string>> floats = fileValues("money");
  EXPECT_EQ(floats.at(1001), floats.at(1002));
  EXPECT_EQ(floats.at(1001), floats.at(1003));
}

// A value beyond what its column holds (the 64-bit count of ten-thousandths every read goes
// through, or more digits than a packed decimal has) is refused on every road with an error that
// names the column, and no row is stored; the largest and smallest values are kept exactly.
TEST_F(DecimalRoadsTest, AValueTheColumnCannotHoldIsRefusedOnEveryRoad) {
  exec("CREATE TABLE big (id INTEGER, d0 DECIMAL(20,0), d2 DECIMAL(20,2), d4 DECIMAL(20,4))");
  struct Case {
    std::string value;
    std::string column;
    bool byFloat;  // the double nearest the text lies beyond the column too
  };
  const std::vector<Case> refused = {
      {"922337203685477.5808", "d4", true},
      {"-922337203685477.5809", "d4", false},  // its double is the smallest value itself
      {"922337203685478", "d2", true},
      {"12345678901234567890123456789012", "d2", true},
      {"922337203685477.5807", "d0", true},  // rounds past the end
      {"-922337203685477.5", "d0", false},   // its double scales to a little less
      {"922337203685477.996", "d2", true},
  };
  const auto currencyHolds = [](const std::string& v) {
    try {
      engine::ParseCurrencyText(v);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  };
  int id = 0;
  for (const Case& c : refused) {
    std::vector<std::pair<std::string, Road>> roads = textRoads();
    if (currencyHolds(c.value))
      for (auto& r : currencyRoads()) roads.push_back(r);
    if (c.byFloat)
      for (auto& r : floatRoads()) roads.push_back(r);
    for (auto& [name, road] : roads) {
      const std::string message = refusal([&] { road("big", ++id, {c.column}, c.value); });
      EXPECT_NE(message.find(c.column), std::string::npos)
          << name << " " << c.value << ": '" << message << "'";
    }
  }
  EXPECT_TRUE(fileValues("big").empty());

  // The ends themselves are kept, digit for digit.
  const std::vector<std::string> all(std::begin(kColumns), std::end(kColumns));
  field("big", 1, {"d4"}, [](ds::Field& f) { f.SetAsString("922337203685477.5807"); });
  parameter("big", 2, {"d4"}, [](ds::Param& p) { p.SetAsString("-922337203685477.5807"); });
  field("big", 3, {"d0"}, [](ds::Field& f) { f.SetValue(ds::Variant(ds::Currency{-9223372036854770000})); });
  const auto stored = fileValues("big");
  EXPECT_EQ(stored.at(1), (std::vector<std::string>{"-", "-", "922337203685477.5807"}));
  EXPECT_EQ(stored.at(2), (std::vector<std::string>{"-", "-", "-922337203685477.5807"}));
  EXPECT_EQ(stored.at(3), (std::vector<std::string>{"-922337203685477", "-", "-"}));

  // The field's message says what the column holds.
  const std::string message =
      refusal([&] { field("big", 9, {"d2"}, [](ds::Field& f) { f.SetAsString("922337203685478"); }); });
  EXPECT_EQ(message,
            "922337203685478 is not a valid value for field 'd2'. The allowed range is "
            "-922337203685477.58 to 922337203685477.58");
}

// A restructure that takes places away rounds each value as an INSERT into the new column would,
// and refuses (leaving the table as it was) a value the new places would take past the end.
TEST_F(DecimalRoadsTest, ARestructureToFewerPlacesRoundsAsAnInsertAndRefusesWhatNoLongerFits) {
  exec("CREATE TABLE narrow (id INTEGER, d DECIMAL(20,4))");
  exec("CREATE TABLE direct (id INTEGER, d DECIMAL(20,2))");
  const std::vector<std::string> values = {"1.2345",  "1.2350", "1.2450",  "-1.2350",
                                           "-1.2450", "0.0050", "-0.0050", "922337203685477.5807"};
  for (size_t i = 0; i < values.size(); ++i) {
    for (const char* table : {"narrow", "direct"})
      parameter(table, int(i + 1), {"d"}, [&](ds::Param& p) { p.SetAsString(values[i]); });
  }
  exec("ALTER TABLE narrow REDEFINE d DECIMAL(20,2)");
  const auto narrowed = fileValues("narrow");
  EXPECT_EQ(narrowed, fileValues("direct"));
  EXPECT_EQ(narrowed.at(2), std::vector<std::string>{"1.24"});
  EXPECT_EQ(narrowed.at(3), std::vector<std::string>{"1.24"});
  EXPECT_EQ(narrowed.at(4), std::vector<std::string>{"-1.24"});
  EXPECT_EQ(narrowed.at(6), std::vector<std::string>{"0.00"});

  const std::string message = refusal([&] { exec("ALTER TABLE narrow REDEFINE d DECIMAL(20,0)"); });
  EXPECT_NE(message.find("d"), std::string::npos) << message;
  EXPECT_EQ(fileValues("narrow"), narrowed) << "the table stays as it was";
}

}  // namespace
