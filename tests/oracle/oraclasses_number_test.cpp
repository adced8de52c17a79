#include <gtest/gtest.h>

#include <array>
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
  for (int i = 1; i <= n.OCINumber()[0]; ++i) out += (std::snprintf(buf, 4, " %02X", n.OCINumber()[i]), buf);
  return out.substr(1);
}

TEST(NumberFormTest, TextGoesToItsBytesAndBackOrIsRefused) {
  const std::string forty = "1234567890123456789012345678901234567890";
  const std::array<std::string, 3> rows[] = {
      {"-0.000", "80", "0"},
      {"0.5", "C0 33", "0.5"},
      {"-0.5", "3F 33 66", "-0.5"},
      {"+1,234.5", "C2 0D 23 33", "1234.5"},
      {"-2.5e-3", "40 4C 66", "-0.0025"},
      {"1E125", "FF 0B", "1E+125"},
      {"1e-130", "80 02", "1E-130"},
      {"-1e-131", "80", "0"},
      {forty, "D4 0D 23 39 4F 5B 0D 23 39 4F 5B 0D 23 39 4F 5B 0D 23 39 4F 5B", forty},
      // Rounded half away from zero to the 20 base-100 digits the form holds.
      {std::string(41, '9'), "D5 0B", "1" + std::string(41, '0')},
      // Longer than the library's 64-character model, as AsString gives it back.
      {"0." + std::string(61, '0') + "123", "A2 02 18", "1.23E-62"},
  };
  for (const auto& [text, bytes, shown] : rows) {
    Number n;
    n->SetAsString(text);
    EXPECT_EQ(std::make_pair(hex(*n.n), n->AsString()), std::make_pair(bytes, shown)) << text;
  }
  // Text outside its model is refused and changes nothing.
  for (const char* text : {"", "-", ".", "1.2.3", "12a", " 1", ",1", "1.5,0", "1E", "E5", "1E5.0", "1e126"}) {
    Number n;
    n->SetAsInteger(7);
    EXPECT_THROW(n->SetAsString(text), dataaccess::EDAError) << text;
    EXPECT_EQ(n->AsInteger(), 7) << text;
  }
}

TEST(NumberFormTest, ModelsFollowTheTextCharacterByCharacter) {
  const std::string exponent = "9D99999999999999999999999999999999999999999EEEE";
  const std::pair<std::string, std::string> rows[] = {
      {"", ""},
      {"-1,234.5", "S9G999D9"},
      {"1.2.3", "9D999"},
      {"-1.5e10", "S" + exponent},
      {std::string(70, '1'), std::string(63, '9')},
      {"-" + std::string(70, '1'), "S" + std::string(63, '9')},
  };
  for (const auto& [text, model] : rows) EXPECT_EQ(buildNumberFormatModel(text, '.', ','), model) << text;
}

TEST(NumberFormTest, IntegersAndDoublesConvertExactly) {
  Number n;
  EXPECT_EQ(std::make_tuple(n->AsInteger(), n->AsFloat(), n->AsString()),
            std::make_tuple(0, 0.0, std::string()));
  n->SetAsInteger(INT32_MIN);
  EXPECT_EQ(std::make_pair(n->AsInteger(), n->AsString()),
            std::make_pair(INT32_MIN, std::string("-2147483648")));
  n->SetAsString("-2147483649");
  EXPECT_THROW(n->AsInteger(), dataaccess::EDAError);
  n->SetAsString("-7.9");
  EXPECT_EQ(n->AsInteger(), -7);
  n->SetAsFloat(0.1);
  EXPECT_EQ(std::make_pair(n->AsString(), n->AsFloat()), std::make_pair(std::string("0.1"), 0.1));
  EXPECT_THROW(n->SetAsFloat(NAN), dataaccess::EDAError);
  valueFormatSettings().DecimalSeparator = ',', valueFormatSettings().ThousandSeparator = '.';
  n->SetAsString("-1.234,5");
  EXPECT_EQ(n->AsString(), "-1234,5");
  valueFormatSettings() = ValueFormatSettings();
}

// A random exact decimal ("-0.123e-5"): up to 38 significant digits, a point anywhere in range;
// `shown` is the text AsString must give for it.
std::string randomDecimal(std::mt19937& rng, std::string& shown) {
  std::string digits(1, char('1' + rng() % 9));
  for (int n = int(rng() % 38); n > 0; --n) digits += char('0' + rng() % 10);
  digits.erase(digits.find_last_not_of('0') + 1);
  const std::string sign = rng() % 2 ? "-" : "";
  const int p = int(rng() % 201) - 100, len = int(digits.size());
  if (p <= 0)
    shown = sign + "0." + std::string(size_t(-p), '0') + digits;
  else if (p >= len)
    shown = sign + digits + std::string(size_t(p - len), '0');
  else
    shown = sign + digits.substr(0, size_t(p)) + "." + digits.substr(size_t(p));
  // The library's text has no "0" before the point and turns scientific beyond 64 characters.
  if (shown.size() - (p <= 0 ? 1 : 0) > 64)
    shown = sign + digits[0] + (len > 1 ? "." + digits.substr(1) : "") + (p < 1 ? "E-" : "E+") +
            std::to_string(std::abs(p - 1));
  return sign + "0." + digits + "e" + std::to_string(p);
}

TEST(NumberFormTest, RandomDecimalsRoundTripAndOrderAsTheirValues) {
  const uint32_t seed = platform::testing::testSeed();
  std::mt19937 rng(seed);
  Number previous;
  std::string previousText;
  for (int i = 0; i < 3000; ++i) {
    std::string shown;
    const std::string text = randomDecimal(rng, shown);
    Number n, back;
    n->SetAsString(text);
    ASSERT_EQ(n->AsString(), shown) << "seed " << seed << ": " << text;
    ASSERT_EQ(n->AsFloat(), std::strtod(text.c_str(), nullptr)) << "seed " << seed << ": " << text;
    back->SetAsString(shown);
    ASSERT_EQ(back->Compare(*n.n), 0) << "seed " << seed << ": " << text;
    const long double a = std::strtold(text.c_str(), nullptr),
                      b = std::strtold(previousText.c_str(), nullptr);
    if (i > 0 && a != b) {
      ASSERT_EQ(n->Compare(*previous.n), a < b ? -1 : 1)
          << "seed " << seed << ": " << text << " " << previousText;
    }
    n->AssignTo(*previous.n);
    previousText = text;
  }
  Number null;
  EXPECT_EQ(std::make_pair(null->Compare(*previous.n), previous->Compare(*null.n)), std::make_pair(-1, 1));
}

}  // namespace
}  // namespace oracle
