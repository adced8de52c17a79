#include "dataaccess/memdata_filter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "dataaccess/daconsts.h"
#include "tests/dataaccess/dataaccess_testing.h"

namespace dataaccess {
namespace {

using dataset::textToDateTime;

struct Column {
  const char* name;
  uint16_t dataType;
};
const Column kColumns[] = {{"NAME", 1}, {"QTY", 4},        {"PRICE", 5},    {"BORN", 6},
                           {"NOTE", 1}, {"FIRST NAME", 1}, {"ADDR.CITY", 1}};

// A few records of the columns above, one of them under test at a time.
class Records : public TFilterRecordSource {
 public:
  Records() {
    const Variant null = Variant::null();
    rows_ = {
        {"Anna", 5, 1.5, date("2001-02-03"), null, "Ann Marie", "Paris"},
        {"alex", 12, 10.25, date("1999-12-31"), "x*", "Al", "Oslo"},
        {"Bob", null, 0.0, null, "xy", "Bo", "paris"},
        {"xz", 10, -5.0, date("2001-02-03 12:00"), "", "X", null},
        {"x*", 11, 2.0, date("2001-02-04"), "x_", "Y", "Rome"},
    };
  }
  int FindFilterField(std::string_view name) const override {
    for (int i = 0; i < int(std::size(kColumns)); ++i)
      if (strcasecmp(std::string(name).c_str(), kColumns[i].name) == 0) return i;
    return -1;
  }
  uint16_t FilterFieldDataType(int field) const override { return kColumns[field].dataType; }
  Variant FilterFieldValue(int field) const override { return rows_[size_t(current)][size_t(field)]; }

  // The records the filter lets through, as "0 2 3".
  std::string passing(const TDataFilter& filter) {
    std::string out;
    for (current = 0; current < int(rows_.size()); ++current)
      if (filter.Eval(*this)) out += (out.empty() ? "" : " ") + std::to_string(current);
    return out;
  }

  int current = 0;

 private:
  static Variant date(const char* text) { return Variant(textToDateTime(text)); }
  std::vector<std::vector<Variant>> rows_;
};

struct Case {
  const char* filter;
  const char* expected;  // passing records, or the error message
  bool caseInsensitive = false;
  bool noPartialCompare = false;
};

const Case kCases[] = {
    {"", "0 1 2 3 4"},
    {" \t ", "0 1 2 3 4"},
    {"NAME = 'A*'", "0"},
    {"NAME = 'A*'", "0 1", true},
    {"name like \"x_\"", "3 4"},
    {"NAME <> 'x_'", "0 1 2"},
    {"NAME = 'x*'", "3 4"},
    {"NAME = 'x*'", "4", false, true},
    {"NAME LIKE 'x*'", "4", false, true},
    {"NOTE = NULL", "0 3"},
    {"QTY > 10", "1 4"},
    {"QTY = NULL", "2"},
    {"QTY <> NULL", "0 1 3 4"},
    {"NOT (QTY = 5 OR QTY = 10)", "1 2 4"},
    {"-5 < QTY AND QTY <= +11", "0 3 4"},
    {"PRICE >= 1.5 AND PRICE < 10.25", "0 4"},
    {"PRICE = -5", "3"},
    {"QTY = '12'", "1"},
    {"BORN = '2001-02-03'", "0"},
    {"BORN > '2001-01-01' AND '2001-02-04' > BORN", "0 3"},
    {"BORN < NAME", "0 1 3 4"},
    {"[FIRST NAME] = 'Ann*'", "0"},
    {"[ FIRST NAME ] LIKE '*Marie'", "0"},
    {"ADDR.CITY = 'paris'", "2"},
    {"addr.city = 'PARIS'", "0 2", true},
    {"TRUE", "0 1 2 3 4"},
    {"FALSE OR NOT TRUE", ""},
    {"NOT TRUE OR QTY = 12 and name = 'alex'", "1"},
    {"((QTY = 5)) OR (NAME = 'Bob' AND TRUE)", "0 2"},
    {"QTY = -NAME", "Illegal filter expression."},
    {"QTY = 1 NAME", "Illegal filter expression."},
    {"(QTY = 1", "Illegal filter expression."},
    {"QTY", "Illegal filter expression."},
    {"QTY = 1.5.5", "Illegal filter expression."},
    {"ADDR. = 'x'", "Illegal filter expression."},
    {"[QTY = 1", "Illegal filter expression."},
    {"NOPE = 1", "Field NOPE not found."},
    {"[NO PE] = 1", "Field NO PE not found."},
    {"BORN = 'soon'", "'soon' is not a valid date and time"},
    {"QTY = \x01", "Parser: The unknown symbol '\x01'  $01"},
};

TEST(TDataFilterTest, FilterTextsPassTheirRecordsOrRaiseTheirErrors) {
  Records records;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.filter);
    TDataFilter filter;
    filter.CaseInsensitive = c.caseInsensitive;
    filter.NoPartialCompare = c.noPartialCompare;
    filter.SetFilter("QTY = 5", records);
    std::string got;
    try {
      filter.SetFilter(c.filter, records);
      got = records.passing(filter);
    } catch (const EMemDataError& e) {
      got = e.what();
      EXPECT_EQ(filter.FilterExpression(), nullptr);
    }
    EXPECT_EQ(got, c.expected);
  }
  TDataFilter filter;
  std::string deep;
  for (int i = 0; i < 1001; ++i) deep += "NOT ";
  EXPECT_THROW(filter.SetFilter(deep + "QTY = 1", records), EMemDataError);
  EXPECT_THROW(filter.SetFilter(std::string(100000, '(') + "QTY = 1", records), EMemDataError);
  for (int i = 0; i < 1000; ++i) deep += "OR QTY = 1 ";
  EXPECT_THROW(filter.SetFilter("QTY = 1 " + deep.substr(4004), records), EMemDataError);
}

// Straightforward recursive matcher over code points.
bool reference(const std::u32string& t, const std::u32string& p) {
  if (p.empty()) return t.empty();
  if (p[0] == U'*') {
    for (size_t i = 0; i <= t.size(); ++i)
      if (reference(t.substr(i), p.substr(1))) return true;
    return false;
  }
  return !t.empty() && (p[0] == U'_' || p[0] == t[0]) && reference(t.substr(1), p.substr(1));
}

TEST(MatchLikeTest, AgreesWithAReferenceMatcherOnRandomPatterns) {
  const uint32_t seed = dataaccess_testing::testSeed();
  std::mt19937 rng(seed);
  const char32_t letters[] = {U'a', U'b', U'\u00e9', U'*', U'_'};
  auto utf8 = [](const std::u32string& s) {
    std::string out;
    for (char32_t c : s) out += c == U'\u00e9' ? "\xc3\xa9" : std::string(1, char(c));
    return out;
  };
  for (int i = 0; i < 20000; ++i) {
    std::u32string text, pattern;
    for (size_t n = rng() % 10; n > 0; --n) text += letters[rng() % 3];
    for (size_t n = rng() % 8; n > 0; --n) pattern += letters[rng() % 5];
    ASSERT_EQ(MatchLike(utf8(text), utf8(pattern)), reference(text, pattern))
        << "seed " << seed << " text " << utf8(text) << " pattern " << utf8(pattern);
  }
}

}  // namespace
}  // namespace dataaccess
