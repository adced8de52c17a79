#include "engine/values/veldorvaluetext.h"

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <locale>
#include <random>
#include <string>

#include "engine/base/veldorhelpers.h"
#include "engine/base/veldortypes.h"
#include "tests/engine/storage/storage_test_util.h"

namespace engine {
namespace {

using namespace std::chrono;

using storage_test::testSeed;

int32_t ms(int h, int m, int s = 0, int milli = 0) {
  return ((h * 60 + m) * 60 + s) * 1000 + milli;
}

std::string messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EConvertError& e) {
    return e.what();
  }
  return "no error";
}

// The day number of a calendar date, counted by std::chrono from 1899-12-30 = 693594.
int32_t chronoDay(int y, unsigned m, unsigned d) {
  return int32_t((sys_days(year{y} / month{m} / day{d}) - sys_days(year{1899} / December / 30)).count() +
                 693594);
}

// ---- Dates ----

TEST(DateText, DayNumbersAgreeWithChrono) {
  EXPECT_EQ(ParseDateText("0001-01-01"), 1);
  EXPECT_EQ(ParseDateText("1899-12-30"), 693594);
  EXPECT_EQ(ParseDateText("9999-12-31"), kMaxEngineDay);
  // Every 11th day over the whole range, so that every month of every leap-year rule comes by.
  for (int32_t day = 1; day <= kMaxEngineDay; day += 11) {
    year_month_day ymd(sys_days(year{1899} / December / 30) + days(day - 693594));
    std::string text = DateToText(day);
    char expected[16];
    std::snprintf(expected, sizeof expected, "%04d-%02u-%02u", int(ymd.year()), unsigned(ymd.month()),
                  unsigned(ymd.day()));
    ASSERT_EQ(text, expected);
    ASSERT_EQ(ParseDateText(text), day);
  }
}

TEST(DateText, ReadsPartsOfAnyWidthAndWritesFourDigitYears) {
  EXPECT_EQ(DateToText(ParseDateText("33-1-2")), "0033-01-02");
  EXPECT_EQ(ParseDateText("00002024-002-0029"), chronoDay(2024, 2, 29));
  EXPECT_EQ(ParseDateText(" 2024 - 02 - 29 "), chronoDay(2024, 2, 29));
}

TEST(DateText, InvalidDatesRaiseConversionErrors) {
  // Which texts read is the date reader's (the validity tests of engine/storage share it).
  EXPECT_EQ(messageOf([] { ParseDateText("2024-02"); }), "'2024-02' is not a valid date");
  EXPECT_EQ(messageOf([] { ParseDateText("2023-02-29"); }), "'2023-02-29' is not a valid date");
  EXPECT_THROW(DateToText(0), EConvertError);
  EXPECT_THROW(DateToText(kMaxEngineDay + 1), EConvertError);
}

// ---- Times ----

TEST(TimeText, WritesTwelveHourClockAndReadsItBack) {
  // Milliseconds are not padded, and stay when the seconds are zero.
  const std::pair<int32_t, const char*> written[] = {{ms(12, 0), "12:00 PM"},
                                                     {0, "12:00 AM"},
                                                     {ms(13, 5), "01:05 PM"},
                                                     {ms(13, 5, 7, 250), "01:05:07.250 PM"},
                                                     {ms(11, 59, 59, 5), "11:59:59.5 AM"},
                                                     {ms(13, 5, 0, 250), "01:05:00.250 PM"}};
  for (auto [t, text] : written) {
    EXPECT_EQ(TimeToText(t), text);
    EXPECT_EQ(ParseTimeText(text), t) << text;
  }
  // The half of the day may stand anywhere; a 24-hour clock reads too.
  const std::pair<const char*, int32_t> read[] = {{"12:30 AM", ms(0, 30)},
                                                  {"pm 1:30", ms(13, 30)},
                                                  {"13:05:07.250", ms(13, 5, 7, 250)},
                                                  {" 23:59:59.999 ", ms(23, 59, 59, 999)}};
  for (auto [text, t] : read) EXPECT_EQ(ParseTimeText(text), t) << text;
  EXPECT_THROW(TimeToText(-1), EConvertError);
  EXPECT_THROW(TimeToText(kMsPerDay), EConvertError);
}

TEST(TimeText, InvalidTimesRaiseConversionErrors) {
  EXPECT_EQ(messageOf([] { ParseTimeText("noon"); }), "'noon' is not a valid time");
  EXPECT_EQ(messageOf([] { ParseTimeText("13:00 PM"); }), "'13:00 PM' is not a valid time");
}

// ---- Timestamps ----

TEST(TimestampText, DateAndTimeTogether) {
  double t = double(chronoDay(2024, 1, 2)) * kMsPerDay + ms(13, 5, 7);
  EXPECT_EQ(ParseTimestampText("2024-01-02 01:05:07 PM"), t);
  EXPECT_EQ(TimestampToText(t), "2024-01-02 01:05:07 PM");
  EXPECT_EQ(ParseTimestampText("13:05"), kDateTimeZeroTimestamp + ms(13, 5)) << "a time alone is on day zero";
  EXPECT_EQ(ParseTimestampText("2024-01-02"), double(chronoDay(2024, 1, 2)) * kMsPerDay);
  EXPECT_EQ(TimestampToText(t + 0.4), "2024-01-02 01:05:07 PM") << "rounded to whole milliseconds";
  EXPECT_EQ(TimestampToText(t + 0.6), "2024-01-02 01:05:07.1 PM");
  // A failure names the part that failed, in that part's own message.
  EXPECT_EQ(messageOf([] { ParseTimestampText("2024-01-32 01:05 PM"); }), "'2024-01-32' is not a valid date");
  EXPECT_EQ(messageOf([] { ParseTimestampText("2024-01-02 25:00"); }), "'25:00' is not a valid time");
  EXPECT_EQ(messageOf([] { ParseTimestampText("1:x"); }), "'1:x' is not a valid time");
  EXPECT_EQ(messageOf([] { ParseTimestampText("2024-01-32"); }), "'2024-01-32' is not a valid date");
  EXPECT_THROW(TimestampToText(std::nan("")), EConvertError);
  EXPECT_THROW(TimestampToText(-1), EConvertError);
  EXPECT_THROW(TimestampToText(0), EConvertError) << "day 0 is before 0001-01-01";
}

// ---- Booleans ----

TEST(BooleanText, TrueAndFalseInAnyCase) {
  EXPECT_EQ(BooleanToText(true), "True");
  EXPECT_EQ(BooleanToText(false), "False");
  EXPECT_TRUE(ParseBooleanText("TrUe"));
  EXPECT_FALSE(ParseBooleanText("FALSE"));
  EXPECT_EQ(messageOf([] { ParseBooleanText("yes"); }), "'yes' is not a valid boolean");
}

// ---- Numbers ----

TEST(FloatText, GeneralFormWithAPoint) {
  const std::pair<double, const char*> rows[] = {{1.5, "1.5"},
                                                 {100, "100"},
                                                 {0, "0"},
                                                 {0.1, "0.1"},
                                                 {1e-5, "0.00001"},
                                                 {1e-6, "1E-6"},
                                                 {123456789012345.0, "123456789012345"},
                                                 {1.5e15, "1.5E15"},
                                                 {1.0 / 3, "0.3333333333333333"},
                                                 {std::numeric_limits<double>::infinity(), "INF"},
                                                 {std::nan(""), "NAN"}};
  for (auto [x, text] : rows) EXPECT_EQ(FloatToText(x), text);
}

TEST(FloatText, EveryFiniteDoubleRoundTripsExactly) {
  uint32_t seed = testSeed();
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 200000; ++i) {
    double x = std::bit_cast<double>(uint64_t(rng()));
    if (!std::isfinite(x)) continue;
    std::string text = FloatToText(x);
    double back = ParseFloatText(text);
    ASSERT_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(x))
        << "VELMARON_SEED=" << seed << " " << text;
    ASSERT_TRUE(IsValidFloatText(text)) << text;
  }
  for (double x : {std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
                   std::numeric_limits<double>::min(), -0.0, 0.1 + 0.2})
    EXPECT_EQ(std::bit_cast<uint64_t>(ParseFloatText(FloatToText(x))), std::bit_cast<uint64_t>(x))
        << FloatToText(x);
}

TEST(FloatText, ReadsOnlyNumbers) {
  EXPECT_EQ(ParseFloatText("1.5"), 1.5);
  EXPECT_EQ(ParseFloatText(" +2E3 "), 2000);
  EXPECT_EQ(ParseFloatText(".5"), 0.5);
  for (const char* bad : {"", "1,5", "inf", "nan", "-inf", "0x10", "1e400", "1.5.2", "e5", "--1", "1 2"})
    EXPECT_THROW(ParseFloatText(bad), EConvertError) << bad;
}

// Decimal comma for C++ streams, as a desktop toolkit sets it for the user's locale.
struct CommaNumpunct : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
};

TEST(FloatText, ReadsAndWritesThePointUnderAnyProcessLocale) {
  std::string saved = std::setlocale(LC_ALL, nullptr);
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"})
    if (std::setlocale(LC_ALL, name) != nullptr) break;
  std::locale savedGlobal = std::locale::global(std::locale(std::locale::classic(), new CommaNumpunct));
  EXPECT_EQ(ParseFloatText("1.5"), 1.5);
  EXPECT_EQ(FloatToText(1.5), "1.5");
  EXPECT_EQ(ParseCurrencyText("1.5"), 15000);
  EXPECT_EQ(ScaledToText(15000), "1.5");
  EXPECT_THROW(ParseFloatText("1,5"), EConvertError);
  std::locale::global(savedGlobal);
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(DecimalText, ReadsExactlyAndRoundsHalfToEven) {
  struct Row {
    const char* text;
    int scale;
    int64_t value;
  };
  const Row rows[] = {{"1.5", 4, 15000},
                      {"0.00005", 4, 0},
                      {"0.00015", 4, 2},
                      {"-0.00015", 4, -2},
                      {"0.00025", 4, 2},
                      {"0.000250001", 4, 3},
                      {"922337203685477.5807", 4, INT64_MAX},
                      {"-922337203685477.5808", 4, INT64_MIN},
                      {"1E2", 4, 1000000},
                      {"1e-999999999999", 4, 0},
                      {"12.345", 2, 1234},
                      {"12.355", 2, 1236},
                      {"0.5", 0, 0},
                      {"0.51", 0, 1}};
  for (const Row& r : rows) {
    EXPECT_EQ(ParseDecimalText(r.text, r.scale), r.value) << r.text;
    if (r.scale == 4) {
      EXPECT_EQ(ParseCurrencyText(r.text), r.value) << r.text;
    }
  }
  for (const char* bad : {"922337203685477.5808", "-922337203685477.5809", "1e999999999999", "", ".", "1,5",
                          "1e", "1e+", "abc", "1.2.3"})
    EXPECT_THROW(ParseCurrencyText(bad), EConvertError) << bad;
}

TEST(DecimalText, ScaledValuesWriteWithoutTrailingZeros) {
  const std::pair<int64_t, const char*> rows[] = {{0, "0"},
                                                  {50000, "5"},
                                                  {123400, "12.34"},
                                                  {-1, "-0.0001"},
                                                  {INT64_MIN, "-922337203685477.5808"},
                                                  {INT64_MAX, "922337203685477.5807"}};
  for (auto [v, text] : rows) EXPECT_EQ(ScaledToText(v), text);
}

TEST(IntegerText, RangeIsChecked) {
  EXPECT_EQ(ParseIntegerText("70000", INT32_MIN, INT32_MAX), 70000);
  EXPECT_THROW(ParseIntegerText("70000", -32768, 32767), EConvertError);
  EXPECT_EQ(ParseIntegerText(" -9223372036854775808 ", INT64_MIN, INT64_MAX), INT64_MIN);
  EXPECT_THROW(ParseIntegerText("9223372036854775808", INT64_MIN, INT64_MAX), EConvertError);
  for (const char* bad : {"", "+", "1.0", "0x10", "1 2", "--1"})
    EXPECT_THROW(ParseIntegerText(bad, INT64_MIN, INT64_MAX), EConvertError) << bad;
}

}  // namespace
}  // namespace engine
