#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "dataaccess/daconsts.h"
#include "oracle/oraclasses_values.h"
#include "tests/platform/test_seed.h"

namespace oracle {
namespace {

struct Number {
  Number() : n(new TOraNumber) {}
  ~Number() { n->Release(); }
  TOraNumber* operator->() const { return n; }
  TOraNumber* n;
};

std::string hex(const TOraNumber& n) {
  std::string out;
  char buf[4];
  for (int i = 1; i <= n.OCINumber()[0]; ++i) {
    std::snprintf(buf, sizeof buf, "%s%02X", i > 1 ? " " : "", n.OCINumber()[i]);
    out += buf;
  }
  return out;
}

TEST(NumberFormTest, TextGoesToItsBytesAndBack) {
  const struct {
    const char* text;
    const char* bytes;
    const char* shown;
  } rows[] = {
      {"0", "80", "0"},
      {"-0.000", "80", "0"},
      {"1", "C1 02", "1"},
      {"-1", "3E 64 66", "-1"},
      {"100", "C2 02", "100"},
      {"0.5", "C0 33", "0.5"},
      {"-0.5", "3F 33 66", "-0.5"},
      {"+123.456", "C2 02 18 2E 3D", "123.456"},
      {"-1,234.5", "3D 59 43 33 66", "-1234.5"},
      {"1.5E10", "C6 02 33", "15000000000"},
      {"-2.5e-3", "40 4C 66", "-0.0025"},
      {"1E125", "FF 0B", "1E+125"},
      {"1e-130", "80 02", "1E-130"},
      {"1e-131", "80", "0"},
      // Rounded half away from zero to the 20 base-100 digits the form holds.
      {"1234567890123456789012345678901234567890",
       "D4 0D 23 39 4F 5B 0D 23 39 4F 5B 0D 23 39 4F 5B 0D 23 39 4F 5B",
       "1234567890123456789012345678901234567890"},
      {"99999999999999999999999999999999999999999", "D5 0B", "100000000000000000000000000000000000000000"},
      // Longer than the library's 64-character model, as AsString gives it back.
      {"0.0000000000000000000000000000000000000000000000000000000000000123", "A2 02 18", "1.23E-62"},
  };
  for (const auto& row : rows) {
    Number n;
    n->SetAsString(row.text);
    EXPECT_EQ(hex(*n.n), row.bytes) << row.text;
    EXPECT_EQ(n->AsString(), row.shown) << row.text;
  }
}

TEST(NumberFormTest, TextOutsideTheModelIsRefusedAndChangesNothing) {
  for (const char* text : {"", "-", "+", ".", "1.2.3", "12a", " 1", ",1", "1.5,0", "1E", "E5", "1.5E+",
                           "1E5.0", "1e126", "-1e200"}) {
    Number n;
    n->SetAsInteger(7);
    EXPECT_THROW(n->SetAsString(text), dataaccess::EDAError) << text;
    EXPECT_EQ(n->AsInteger(), 7) << text;
  }
}

TEST(NumberFormTest, ModelsFollowTheTextCharacterByCharacter) {
  const std::string exponent = "9D99999999999999999999999999999999999999999EEEE";
  const struct {
    std::string text, model;
  } rows[] = {
      {"", ""},
      {"-1,234.5", "S9G999D9"},
      {"+12", "S99"},
      {",5", "99"},
      {"1.2.3", "9D999"},
      {"1.2,3", "9D999"},
      {"1.5E10", exponent},
      {"-1.5e10", "S" + exponent},
      {std::string(70, '1'), std::string(63, '9')},
      {"-" + std::string(70, '1'), "S" + std::string(63, '9')},
  };
  for (const auto& row : rows) EXPECT_EQ(BuildNumberFormatModel(row.text, '.', ','), row.model) << row.text;
  EXPECT_EQ(BuildNumberFormatModel("-1.234,5", ',', '.'), "S9G999D9");
}

TEST(NumberFormTest, IntegersAndDoublesConvertExactly) {
  Number n;
  EXPECT_EQ(n->AsInteger(), 0);
  EXPECT_EQ(n->AsFloat(), 0);
  EXPECT_EQ(n->AsString(), "");
  for (int32_t v : {0, 1, -1, 99, -100, 123456789, INT32_MAX, INT32_MIN}) {
    n->SetAsInteger(v);
    EXPECT_EQ(n->AsInteger(), v);
    EXPECT_EQ(n->AsString(), std::to_string(v));
  }
  for (const char* text : {"2147483648", "-2147483649", "1e30"}) {
    n->SetAsString(text);
    EXPECT_THROW(n->AsInteger(), dataaccess::EDAError) << text;
  }
  n->SetAsString("-7.9");
  EXPECT_EQ(n->AsInteger(), -7);
  n->SetAsFloat(0.1);
  EXPECT_EQ(n->AsString(), "0.1");
  EXPECT_EQ(n->AsFloat(), 0.1);
  n->SetAsFloat(-HUGE_VAL);
  EXPECT_EQ(n->AsString(), "-~");
  EXPECT_EQ(n->AsFloat(), -HUGE_VAL);
  EXPECT_THROW(n->SetAsFloat(NAN), dataaccess::EDAError);
  EXPECT_THROW(n->SetAsFloat(1e200), dataaccess::EDAError);
}

TEST(NumberFormTest, SeparatorsComeFromTheSettings) {
  TOraFormatSettings saved = OraFormatSettings();
  OraFormatSettings().DecimalSeparator = ',';
  OraFormatSettings().ThousandSeparator = '.';
  Number n;
  n->SetAsString("-1.234,5");
  EXPECT_EQ(n->AsString(), "-1234,5");
  n->SetAsString(",25");
  EXPECT_EQ(n->AsString(), "0,25");
  OraFormatSettings() = saved;
}

// A random exact decimal: sign, up to 38 significant digits, a point anywhere in range.
std::string randomDecimal(std::mt19937& rng, std::string& canonical) {
  std::uniform_int_distribution<int> digit(0, 9), count(1, 38), point(-100, 100);
  std::string digits;
  const int n = count(rng);
  for (int i = 0; i < n; ++i) digits += char('0' + (i == 0 ? 1 + digit(rng) % 9 : digit(rng)));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const bool negative = rng() % 2;
  const int p = point(rng);
  const std::string sign = negative ? "-" : "";
  const std::string text = sign + "0." + digits + "e" + std::to_string(p);
  const int len = int(digits.size());
  if (p <= 0)
    canonical = sign + "0." + std::string(size_t(-p), '0') + digits;
  else if (p >= len)
    canonical = sign + digits + std::string(size_t(p - len), '0');
  else
    canonical = sign + digits.substr(0, size_t(p)) + "." + digits.substr(size_t(p));
  // The library's text has no "0" before the point and turns scientific beyond 64 characters.
  if (canonical.size() - (p <= 0 ? 1 : 0) > 64) {
    const std::string mantissa = digits.size() > 1 ? digits.substr(0, 1) + "." + digits.substr(1) : digits;
    canonical = sign + mantissa + (p - 1 < 0 ? "E-" : "E+") + std::to_string(std::abs(p - 1));
  }
  return text;
}

TEST(NumberFormTest, RandomDecimalsRoundTripAndOrderAsTheirValues) {
  const uint32_t seed = platform::testing::testSeed();
  std::mt19937 rng(seed);
  Number previous;
  std::string previousText;
  for (int i = 0; i < 3000; ++i) {
    std::string canonical;
    const std::string text = randomDecimal(rng, canonical);
    Number n;
    n->SetAsString(text);
    ASSERT_EQ(n->AsString(), canonical) << "seed " << seed << ": " << text;
    ASSERT_EQ(n->AsFloat(), std::strtod(text.c_str(), nullptr)) << "seed " << seed << ": " << text;
    Number back;
    back->SetAsString(n->AsString());
    ASSERT_EQ(back->Compare(*n.n), 0) << "seed " << seed << ": " << text;
    if (i > 0) {
      const long double a = std::strtold(text.c_str(), nullptr),
                        b = std::strtold(previousText.c_str(), nullptr);
      if (a != b) {
        ASSERT_EQ(n->Compare(*previous.n), a < b ? -1 : 1)
            << "seed " << seed << ": " << text << " " << previousText;
      }
    }
    n->AssignTo(*previous.n);
    previousText = text;
  }
  Number null;
  EXPECT_EQ(null->Compare(*previous.n), -1);
  EXPECT_EQ(previous->Compare(*null.n), 1);
}

}  // namespace
}  // namespace oracle
