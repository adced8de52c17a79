#include "engine/values/veldorvalues.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/values/veldorvaluetext.h"
#include "tests/engine/storage/storage_test_util.h"

namespace engine {
namespace {

using T = TEngineFieldType;
using Bytes = std::vector<uint8_t>;

using storage_test::testSeed;

// A value buffer of 251 bytes followed by guard bytes that no conversion may touch.
class ValueBuffer {
 public:
  static constexpr size_t kGuard = 64;
  ValueBuffer() : bytes_(kValueBufferSize + kGuard, 0xCD) {
    std::fill_n(bytes_.begin(), kValueBufferSize, 0);
  }
  std::span<uint8_t> span() { return std::span<uint8_t>(bytes_.data(), kValueBufferSize); }
  uint8_t* data() { return bytes_.data(); }
  bool guardIntact() const {
    for (size_t i = kValueBufferSize; i < bytes_.size(); ++i)
      if (bytes_[i] != 0xCD) return false;
    return true;
  }
  Bytes value(size_t n) const {
    return Bytes(bytes_.begin(), bytes_.begin() + std::min(n, kValueBufferSize));
  }
  std::string text() const {
    return std::string(reinterpret_cast<const char*>(bytes_.data()),
                       strnlen(reinterpret_cast<const char*>(bytes_.data()), kValueBufferSize));
  }
  void setText(std::string_view text) { setBytes(Bytes(text.begin(), text.end())); }
  void setBytes(const Bytes& b) {
    std::fill_n(bytes_.begin(), kValueBufferSize, 0);
    std::memcpy(bytes_.data(), b.data(), std::min(b.size(), kValueBufferSize));
  }

 private:
  Bytes bytes_;
};

using storage_test::bcdText;

Bytes bcdOf(int64_t scaled, int places) {
  Bytes b(kBcdSize);
  EXPECT_TRUE(EncodeBcdValue(scaled, places, b.data()));
  return b;
}

// Golden vectors made once with Python's decimal module (rounding half to even):
// text to BCD with a scale, quantized exactly from the text;
struct TextToBcdRow {
  const char* text;
  const char* expected[5];  // with scale 0 to 4; none where no vector was made
};
// a double to BCD: round(x * 10,000) on the double product, half to even, then quantized;
struct FloatToBcdRow {
  double value;
  const char* expected[5];  // with scale 0 to 4
};
// a scaled value to double (scaled / 10,000.0), to text, and truncated to an integer.
struct ScaledRow {
  int64_t scaled;
  double asFloat;
  const char* text;
  int64_t truncated;
};

constexpr TextToBcdRow kTextToBcdRows[] = {
    {"0", {"0", "0.0", "0.00", "0.000", "0.0000"}},
    {"1", {"1", "1.0", "1.00", "1.000", "1.0000"}},
    {"-1", {"-1", "-1.0", "-1.00", "-1.000", "-1.0000"}},
    {"1.5", {"2", "1.5", "1.50", "1.500", "1.5000"}},
    {"2.5", {"2", "2.5", "2.50", "2.500", "2.5000"}},
    {"-2.5", {"-2", "-2.5", "-2.50", "-2.500", "-2.5000"}},
    {"0.00005", {"0", "0.0", "0.00", "0.000", "0.0000"}},
    {"0.00015", {"0", "0.0", "0.00", "0.000", "0.0002"}},
    {"12.345", {"12", "12.3", "12.34", "12.345", "12.3450"}},
    {"12.355", {"12", "12.4", "12.36", "12.355", "12.3550"}},
    {"-12.345", {"-12", "-12.3", "-12.34", "-12.345", "-12.3450"}},
    {"12.3449999", {"12", "12.3", "12.34", "12.345", "12.3450"}},
    {"12.34500001", {"12", "12.3", "12.35", "12.345", "12.3450"}},
    {"0.5", {"0", "0.5", "0.50", "0.500", "0.5000"}},
    {"1.25", {"1", "1.2", "1.25", "1.250", "1.2500"}},
    {"1.35", {"1", "1.4", "1.35", "1.350", "1.3500"}},
    {"-0.005", {"0", "0.0", "0.00", "-0.005", "-0.0050"}},
    {"0.0049999", {"0", "0.0", "0.00", "0.005", "0.0050"}},
    {"99999.99995", {"100000", "100000.0", "100000.00", "100000.000", "100000.0000"}},
    {"1e3", {"1000", "1000.0", "1000.00", "1000.000", "1000.0000"}},
    {"1.5E-3", {"0", "0.0", "0.00", "0.002", "0.0015"}},
    {"2.5e-4", {"0", "0.0", "0.00", "0.000", "0.0002"}},
    {"-7.5E-5", {"0", "0.0", "0.00", "0.000", "-0.0001"}},
    {"  42.125  ", {"42", "42.1", "42.12", "42.125", "42.1250"}},
    {"+3.14159", {"3", "3.1", "3.14", "3.142", "3.1416"}},
    {".5", {"0", "0.5", "0.50", "0.500", "0.5000"}},
    {"5.", {"5", "5.0", "5.00", "5.000", "5.0000"}},
    {"922337203685477.5807", {nullptr, nullptr, "922337203685477.58", nullptr, "922337203685477.5807"}},
    {"-922337203685477.5808", {nullptr, nullptr, "-922337203685477.58", nullptr, "-922337203685477.5808"}},
    {"0.000000001", {"0", "0.0", "0.00", "0.000", "0.0000"}},
    {"123456789012345",
     {"123456789012345", "123456789012345.0", "123456789012345.00", "123456789012345.000",
      "123456789012345.0000"}},
    {"1234567890.12345",
     {"1234567890", "1234567890.1", "1234567890.12", "1234567890.123", "1234567890.1234"}},
};
constexpr FloatToBcdRow kFloatToBcdRows[] = {
    {0.0, {"0", "0.0", "0.00", "0.000", "0.0000"}},
    {-0.0, {"0", "0.0", "0.00", "0.000", "0.0000"}},
    {1.0, {"1", "1.0", "1.00", "1.000", "1.0000"}},
    {-1.0, {"-1", "-1.0", "-1.00", "-1.000", "-1.0000"}},
    {0.5, {"0", "0.5", "0.50", "0.500", "0.5000"}},
    {2.5, {"2", "2.5", "2.50", "2.500", "2.5000"}},
    {1.00005, {"1", "1.0", "1.00", "1.000", "1.0001"}},
    {5e-05, {"0", "0.0", "0.00", "0.000", "0.0000"}},
    {0.00015, {"0", "0.0", "0.00", "0.000", "0.0001"}},
    {0.00025, {"0", "0.0", "0.00", "0.000", "0.0002"}},
    {-0.00025, {"0", "0.0", "0.00", "0.000", "-0.0002"}},
    {2.675, {"3", "2.7", "2.68", "2.675", "2.6750"}},
    {1.005, {"1", "1.0", "1.00", "1.005", "1.0050"}},
    {123.45675, {"123", "123.5", "123.46", "123.457", "123.4568"}},
    {0.1, {"0", "0.1", "0.10", "0.100", "0.1000"}},
    {0.2, {"0", "0.2", "0.20", "0.200", "0.2000"}},
    {0.3, {"0", "0.3", "0.30", "0.300", "0.3000"}},
    {10000000000.0,
     {"10000000000", "10000000000.0", "10000000000.00", "10000000000.000", "10000000000.0000"}},
    {-10000000000.0,
     {"-10000000000", "-10000000000.0", "-10000000000.00", "-10000000000.000", "-10000000000.0000"}},
    {922337203685477.0,
     {"922337203685477", "922337203685477.0", "922337203685476.97", "922337203685476.966",
      "922337203685476.9664"}},
    {12.3456, {"12", "12.3", "12.35", "12.346", "12.3456"}},
    {99.99995, {"100", "100.0", "100.00", "100.000", "100.0000"}},
};
constexpr ScaledRow kScaledRows[] = {
    {INT64_C(0), 0x0.0p+0, "0", INT64_C(0)},
    {INT64_C(1), 0x1.a36e2eb1c432dp-14, "0.0001", INT64_C(0)},
    {INT64_C(-1), -0x1.a36e2eb1c432dp-14, "-0.0001", INT64_C(0)},
    {INT64_C(5000), 0x1.0000000000000p-1, "0.5", INT64_C(0)},
    {INT64_C(-5000), -0x1.0000000000000p-1, "-0.5", INT64_C(0)},
    {INT64_C(15000), 0x1.8000000000000p+0, "1.5", INT64_C(1)},
    {INT64_C(-15000), -0x1.8000000000000p+0, "-1.5", INT64_C(-1)},
    {INT64_C(99999), 0x1.3fff2e48e8a72p+3, "9.9999", INT64_C(9)},
    {INT64_C(-99999), -0x1.3fff2e48e8a72p+3, "-9.9999", INT64_C(-9)},
    {INT64_C(123456789), 0x1.81cd6e631f8a1p+13, "12345.6789", INT64_C(12345)},
    {INT64_C(9223372036854775807), 0x1.a36e2eb1c432dp+49, "922337203685477.5807", INT64_C(922337203685477)},
    {INT64_MIN, -0x1.a36e2eb1c432dp+49, "-922337203685477.5808", INT64_C(-922337203685477)},
    {INT64_C(9007199254740993), 0x1.a36e2eb1c432dp+39, "900719925474.0993", INT64_C(900719925474)},
    {INT64_C(-9007199254740995), -0x1.a36e2eb1c4330p+39, "-900719925474.0995", INT64_C(-900719925474)},
};

bool convert(ValueBuffer& b, T source, uint32_t sourceSize, T target, uint32_t targetSize,
             uint8_t targetScale = 0) {
  return ConvertValue(source, sourceSize, 0, target, targetSize, targetScale, b.span());
}

Bytes le(uint64_t v, size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(v >> (8 * i));
  return b;
}
Bytes floatBytes(double x) {
  return le(std::bit_cast<uint64_t>(x), 8);
}

int32_t chronoDay(int y, unsigned m, unsigned d) {
  using namespace std::chrono;
  return int32_t((sys_days(year{y} / month{m} / day{d}) - sys_days(year{1899} / December / 30)).count() +
                 693594);
}

// ---- Golden vectors ----

TEST(BcdGolden, TextToBcdQuantizesHalfToEven) {
  for (const auto& row : kTextToBcdRows)
    for (uint8_t scale = 0; scale <= 4; ++scale) {
      if (!row.expected[scale]) continue;
      ValueBuffer b;
      b.setText(row.text);
      ASSERT_TRUE(convert(b, T::String, 251, T::BCD, 34, scale)) << row.text << " scale " << int(scale);
      EXPECT_EQ(bcdText(b.data()), row.expected[scale]) << row.text << " scale " << int(scale);
    }
}

TEST(BcdGolden, FloatToBcdRoundsTheScaledProduct) {
  for (const auto& row : kFloatToBcdRows)
    for (uint8_t scale = 0; scale <= 4; ++scale) {
      ValueBuffer b;
      b.setBytes(floatBytes(row.value));
      ASSERT_TRUE(convert(b, T::Float, 8, T::BCD, 34, scale)) << row.value;
      EXPECT_EQ(bcdText(b.data()), row.expected[scale]) << row.value << " scale " << int(scale);
    }
}

TEST(BcdGolden, BcdToFloatTextAndIntegers) {
  for (const auto& row : kScaledRows) {
    SCOPED_TRACE(row.scaled);
    Bytes bcd = bcdOf(row.scaled, 4);
    ValueBuffer b;
    b.setBytes(bcd);
    ASSERT_TRUE(convert(b, T::BCD, 34, T::Float, 8));
    EXPECT_EQ(GetFloatValue(b.data()), row.asFloat);
    b.setBytes(bcd);
    ASSERT_TRUE(convert(b, T::BCD, 34, T::String, 251));
    EXPECT_EQ(b.text(), row.text);
    b.setBytes(bcd);
    ASSERT_TRUE(convert(b, T::BCD, 34, T::LargeInt, 8));
    EXPECT_EQ(GetLargeIntValue(b.data()), row.truncated);
    b.setBytes(bcd);
    bool fits32 = row.truncated >= INT32_MIN && row.truncated <= INT32_MAX;
    EXPECT_EQ(convert(b, T::BCD, 34, T::Integer, 4), fits32);
    EXPECT_EQ(GetIntegerValue(b.data()), fits32 ? row.truncated : 0);
    b.setBytes(bcd);
    bool fits16 = row.truncated >= -32768 && row.truncated <= 32767;
    EXPECT_EQ(convert(b, T::BCD, 34, T::SmallInt, 2), fits16);
    EXPECT_EQ(GetSmallIntValue(b.data()), fits16 ? row.truncated : 0);
  }
}

// ---- Single conversions ----

std::string num(double x) {
  char s[40];
  std::snprintf(s, sizeof s, "%.17g", x);
  return s;
}
Bytes txt(std::string_view t) {
  return Bytes(t.begin(), t.end());
}

// A value of type `t` as text: numbers in decimal (doubles exactly), decimals with their scale,
// strings as they stand, anything else as the hex of its first 8 bytes.
std::string shown(T t, const uint8_t* p) {
  switch (t) {
    case T::SmallInt:
      return std::to_string(GetSmallIntValue(p));
    case T::Word:
    case T::Boolean:
      return std::to_string(GetWordValue(p));
    case T::Integer:
    case T::Date:
    case T::Time:
      return std::to_string(GetIntegerValue(p));
    case T::LargeInt:
      return std::to_string(GetLargeIntValue(p));
    case T::Float:
    case T::Timestamp:
      return num(GetFloatValue(p));
    case T::BCD:
      return bcdText(p);
    case T::String:
      return std::string(reinterpret_cast<const char*>(p),
                         strnlen(reinterpret_cast<const char*>(p), kValueBufferSize));
    default: {
      std::string hex;
      for (int i = 0; i < 8; ++i) hex += "0123456789abcdef"[p[i] >> 4], hex += "0123456789abcdef"[p[i] & 15];
      return hex;
    }
  }
}

// One conversion in a fresh buffer: whether it converts and the target value it leaves (the zero
// value after a failure).
struct Conversion {
  T source;
  Bytes value;
  uint32_t sourceSize;
  T target;
  uint32_t targetSize;
  uint8_t scale;
  bool ok;
  std::string shown;
};

void expectConversions(const std::vector<Conversion>& rows) {
  for (const Conversion& c : rows) {
    ValueBuffer b;
    b.setBytes(c.value);
    SCOPED_TRACE(std::to_string(int(c.source)) + " -> " + std::to_string(int(c.target)) + " expecting " +
                 c.shown);
    EXPECT_EQ(convert(b, c.source, c.sourceSize, c.target, c.targetSize, c.scale), c.ok);
    EXPECT_EQ(shown(c.target, b.data()), c.shown);
    EXPECT_TRUE(b.guardIntact());
  }
}

// Pairs without a meaning, failures and the text forms are the matrix's and the text tests'; these
// are the results only a single conversion shows.
TEST(ConvertValueEdges, EachKindOfConversion) {
  const double march1 = double(chronoDay(2024, 3, 1)) * kMsPerDay;
  expectConversions({
      // booleans are true when not zero; raw bytes into a boolean are normalised
      {T::SmallInt, le(uint16_t(-7), 2), 2, T::Boolean, 2, 0, true, "1"},
      {T::Word, le(0, 2), 2, T::Boolean, 2, 0, true, "0"},
      {T::Bytes, le(0x0100, 2), 2, T::Boolean, 2, 0, true, "1"},
      // a time is a timestamp on day zero; timestamps round to whole milliseconds first
      {T::Time, le(3723004, 4), 4, T::Timestamp, 8, 0, true, num(kDateTimeZeroTimestamp + 3723004)},
      {T::Timestamp, floatBytes(march1 + 86399999.6), 8, T::Date, 4, 0, true,
       std::to_string(chronoDay(2024, 3, 2))},
      {T::Timestamp, floatBytes(march1 + 86399999.4), 8, T::Time, 4, 0, true, "86399999"},
      // decimals take the target's scale half to even
      {T::BCD, bcdOf(123450, 4), 34, T::BCD, 34, 2, true, "12.34"},
      {T::BCD, bcdOf(123550, 4), 34, T::BCD, 34, 2, true, "12.36"},
      {T::Boolean, le(1, 2), 2, T::BCD, 34, 4, true, "1.0000"},
      // bytes are copied unchanged; a string target keeps its terminator
      {T::Bytes, Bytes{1, 2, 3, 4, 5, 6}, 6, T::Integer, 4, 0, true, "67305985"},
      {T::VarBytes, txt("abcdef"), 6, T::String, 4, 0, true, "abc"},
      {T::String, txt("hello"), 251, T::Bytes, 3, 0, true, "68656c0000000000"},
      {T::Integer, le(0x01020304, 4), 4, T::VarBytes, 2, 0, true, "0403000000000000"},
      // texts beyond the scaled range: the zero value keeps the target's scale
      {T::String, txt("922337203685477.5807"), 251, T::BCD, 34, 0, false, "0"},
      {T::String, txt("1e20"), 251, T::BCD, 34, 2, false, "0.00"},
  });
}

// ---- Mended faults ----

TEST(ConvertValueFaults, AShorterStringKeepsSizeMinusOneCharactersAndItsTerminator) {
  expectConversions({
      {T::String, txt("abcdef"), 7, T::String, 4, 0, true, "abc"},
      {T::String, txt("a\xC3\xA9z"), 5, T::String, 3, 0, true, "a"},  // never cut inside a character
      {T::String, txt("abc"), 4, T::String, 1, 0, true, ""},
      {T::Blob, txt("memo text that is long"), 8, T::String, 5, 0, true, "memo"},
  });
  std::vector<uint8_t> big(400, 0);
  std::fill_n(big.begin(), 300, 'x');
  ASSERT_TRUE(ConvertValue(T::Blob, 8, 0, T::String, 251, 0, big));
  EXPECT_EQ(strnlen(reinterpret_cast<const char*>(big.data()), 400), 250u);
}

TEST(ConvertValueFaults, TextThatDoesNotFitTheTargetFailsInsteadOfSpilling) {
  expectConversions({
      {T::Integer, le(12345, 4), 4, T::String, 4, 0, false, ""},  // "12345" does not fit CHAR(3)
      {T::Integer, le(123, 4), 4, T::String, 4, 0, true, "123"},
  });
  std::vector<uint8_t> small(100, 0);
  EXPECT_FALSE(ConvertValue(T::Integer, 4, 0, T::String, 251, 0, small)) << "a buffer below 251 bytes";
}

TEST(ConvertValueFaults, NarrowingIsRangeChecked) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  expectConversions({
      {T::Integer, le(70000, 4), 4, T::SmallInt, 2, 4, false, "0"},
      {T::Integer, le(32767, 4), 4, T::SmallInt, 2, 4, true, "32767"},
      {T::Integer, le(uint32_t(-32768), 4), 4, T::SmallInt, 2, 4, true, "-32768"},
      {T::Integer, le(uint32_t(-32769), 4), 4, T::SmallInt, 2, 4, false, "0"},
      {T::Integer, le(65536, 4), 4, T::Word, 2, 4, false, "0"},
      {T::Integer, le(uint32_t(-1), 4), 4, T::Word, 2, 4, false, "0"},
      {T::SmallInt, le(uint16_t(-1), 2), 2, T::Word, 2, 4, false, "0"},
      {T::Word, le(65535, 2), 2, T::SmallInt, 2, 4, false, "0"},
      {T::Word, le(32767, 2), 2, T::SmallInt, 2, 4, true, "32767"},
      {T::LargeInt, le(uint64_t(1) << 31, 8), 8, T::Integer, 4, 4, false, "0"},
      {T::LargeInt, le(uint64_t(INT64_MIN), 8), 8, T::LargeInt, 8, 4, true, "-9223372036854775808"},
      {T::LargeInt, le(uint64_t(INT64_MAX), 8), 8, T::BCD, 34, 4, false, "0.0000"},
      {T::Float, floatBytes(1e300), 8, T::Integer, 4, 4, false, "0"},
      {T::Float, floatBytes(nan), 8, T::LargeInt, 8, 4, false, "0"},
      {T::Float, floatBytes(nan), 8, T::BCD, 34, 4, false, "0.0000"},
      {T::Float, floatBytes(-inf), 8, T::SmallInt, 2, 4, false, "0"},
      {T::Float, floatBytes(9.3e18), 8, T::LargeInt, 8, 4, false, "0"},
      {T::Float, floatBytes(-9223372036854775808.0), 8, T::LargeInt, 8, 4, true, "-9223372036854775808"},
      {T::Float, floatBytes(2147483647.9), 8, T::Integer, 4, 4, true, "2147483647"},
      {T::Float, floatBytes(2147483648.0), 8, T::Integer, 4, 4, false, "0"},
      {T::Float, floatBytes(-32768.9), 8, T::SmallInt, 2, 4, true, "-32768"},
      {T::Float, floatBytes(65535.99), 8, T::Word, 2, 4, true, "65535"},
      {T::Float, floatBytes(-0.5), 8, T::Word, 2, 4, true, "0"},
      {T::Float, floatBytes(1e15), 8, T::BCD, 34, 4, false, "0.0000"},
      {T::BCD, bcdOf(327685000, 4), 34, T::SmallInt, 2, 4, false, "0"},
      {T::BCD, bcdOf(-327689999, 4), 34, T::SmallInt, 2, 4, true, "-32768"},
      {T::String, txt("70000"), 251, T::SmallInt, 2, 0, false, "0"},  // never 4464
      {T::String, txt("2147483648"), 251, T::Integer, 4, 0, false, "0"},
      {T::String, txt("-2147483648"), 251, T::Integer, 4, 0, true, "-2147483648"},
      // large integers use the full 64-bit range
      {T::String, txt("9223372036854775807"), 251, T::LargeInt, 8, 0, true, "9223372036854775807"},
      {T::LargeInt, le(uint64_t(INT64_MAX), 8), 8, T::String, 251, 0, true, "9223372036854775807"},
      {T::String, txt("-9223372036854775808"), 251, T::LargeInt, 8, 0, true, "-9223372036854775808"},
      {T::String, txt("9223372036854775808"), 251, T::LargeInt, 8, 0, false, "0"},
  });
}

TEST(ConvertValueFaults, MemoTextIsParsedIntoNumbers) {
  expectConversions({
      {T::Blob, txt("42"), 8, T::Integer, 4, 0, true, "42"},  // not the bytes '4', '2'
      {T::Blob, txt("1.5"), 8, T::Float, 8, 0, true, "1.5"},
      {T::Blob, txt("12.345"), 8, T::BCD, 34, 2, true, "12.34"},
      {T::Blob, txt("2024-02-29"), 8, T::Date, 4, 0, true, std::to_string(chronoDay(2024, 2, 29))},
      {T::Blob, txt("not a number"), 8, T::Integer, 4, 0, false, "0"},
      {T::String, txt("text"), 251, T::Blob, 8, 0, false,
       "0000000000000000"},  // a blob reference is never made from text
  });
}

TEST(ConvertValueFaults, DecimalsUseThePointUnderAnyProcessLocale) {
  std::string saved = std::setlocale(LC_ALL, nullptr);
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"})
    if (std::setlocale(LC_ALL, name) != nullptr) break;
  expectConversions({
      {T::String, txt("1.5"), 251, T::BCD, 34, 2, true, "1.50"},
      {T::BCD, bcdOf(15000, 4), 34, T::String, 251, 0, true, "1.5"},
      {T::String, txt("1,5"), 251, T::BCD, 34, 2, false, "0.00"},
  });
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(ConvertValueFaults, TimeTextKeepsMillisecondsAndFloatTextRoundTrips) {
  expectConversions({
      {T::Time, le(47100250, 4), 4, T::String, 251, 0, true, "01:05:00.250 PM"},
      {T::String, txt("01:05:00.250 PM"), 251, T::Time, 4, 0, true, "47100250"},
      {T::Float, floatBytes(0.1 + 0.2), 8, T::String, 251, 0, true, "0.30000000000000004"},
      {T::String, txt("0.30000000000000004"), 251, T::Float, 8, 0, true, num(0.1 + 0.2)},
  });
}

// ---- The whole matrix of type pairs ----

// The target's zero value as ConvertValue leaves it after a failed conversion.
Bytes zeroOf(T t, uint8_t scale) {
  Bytes z(kValueBufferSize, 0);
  if (t == T::Date) PutIntegerValue(z.data(), kDateTimeZeroDay);
  if (t == T::Timestamp) PutFloatValue(z.data(), kDateTimeZeroTimestamp);
  if (t == T::BCD) EncodeBcdValue(0, scale, z.data());
  return z;
}

bool inert(T t) {
  int c = int(t);
  return c == 0 || c == 13 || c == 14 || c == 16 || c == 17 || c >= 19;
}

// Which pairs of different types ConvertValue converts, as its contract states.
bool converts(T s, T t) {
  int tc = int(t);
  if (inert(s)) return true;
  if (tc == 0 || t == T::Blob) return false;
  if (s == T::Bytes || s == T::VarBytes) return true;
  if (s == T::String || s == T::Blob) return (tc >= 1 && tc <= 12) || tc == 15 || tc == 18;
  return IsCastAllowed(s, t);
}

// Interesting values of a source type, and some random bytes.
std::vector<Bytes> samplesOf(T s, std::mt19937& rng) {
  std::vector<Bytes> out;
  auto text = [](std::string_view t) {
    Bytes b(kValueBufferSize, 0);
    std::memcpy(b.data(), t.data(), std::min(t.size(), kValueBufferSize - 1));
    return b;
  };
  switch (s) {
    case T::String:
    case T::Blob:
      for (const char* t : {"",
                            "0",
                            "1",
                            "-1",
                            "70000",
                            "65535",
                            "-32769",
                            "1.5",
                            "-2.5e3",
                            "1e400",
                            "nan",
                            "True",
                            "false",
                            "yes",
                            "2024-02-29",
                            "2023-02-29",
                            "13:05:07.250",
                            "1:30 pm",
                            "25:00",
                            "2024-01-02 01:05 PM",
                            "9223372036854775808",
                            "922337203685477.5807",
                            "a long text that certainly does not fit into a short field at all"})
        out.push_back(text(t));
      break;
    case T::Date:
      for (int64_t d : {int64_t(0), int64_t(1), int64_t(693594), int64_t(kMaxEngineDay),
                        int64_t(kMaxEngineDay) + 1, int64_t(-5)})
        out.push_back(le(uint64_t(d), 4));
      break;
    case T::Time:
      for (int64_t m :
           {int64_t(0), int64_t(47100250), int64_t(kMsPerDay - 1), int64_t(kMsPerDay), int64_t(-1)})
        out.push_back(le(uint64_t(m), 4));
      break;
    case T::Timestamp:
    case T::Float:
      for (double x : {0.0, -0.0, 2.7, -2.7, 1e300, -1e300, 65535.5, -32768.5, 1e15, std::nan(""),
                       std::numeric_limits<double>::infinity(), kDateTimeZeroTimestamp + 1234.5,
                       double(kMaxEngineDay) * kMsPerDay + kMsPerDay - 0.4, 5e-324})
        out.push_back(floatBytes(x));
      break;
    case T::BCD:
      for (int64_t v : {int64_t(0), int64_t(1), int64_t(-1), int64_t(327680000), int64_t(-327680000),
                        INT64_MAX, INT64_MIN})
        for (int places : {0, 2, 4, 6}) {
          Bytes b(kBcdSize);
          EncodeBcdValue(v, places, b.data());
          out.push_back(b);
        }
      {
        Bytes bad(kBcdSize, 0xFF);  // malformed
        out.push_back(bad);
        Bytes huge(kBcdSize, 0x99);
        huge[0] = 32;
        huge[1] = 0;
        out.push_back(huge);
      }
      break;
    default:
      for (uint64_t v : {uint64_t(0), uint64_t(1), uint64_t(-1), uint64_t(0x7FFF), uint64_t(0x8000),
                         uint64_t(0xFFFF), uint64_t(70000), uint64_t(0x7FFFFFFF), uint64_t(0x80000000),
                         uint64_t(1) << 62, uint64_t(INT64_MIN)})
        out.push_back(le(v, 8));
      break;
  }
  for (int i = 0; i < 4; ++i) {
    Bytes b(kValueBufferSize);
    for (auto& c : b) c = uint8_t(rng());
    if (s == T::String || s == T::Blob) b[rng() % 40] = 0;
    out.push_back(b);
  }
  return out;
}

TEST(ConvertValueMatrix, EveryPairStaysInItsBufferAndFailsToTheZeroValue) {
  uint32_t seed = testSeed();
  std::mt19937 rng(seed);
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  for (int sc = 0; sc <= 20; ++sc) {
    T s = T(sc);
    for (const Bytes& sample : samplesOf(s, rng)) {
      for (int tc = 0; tc <= 20; ++tc) {
        T t = T(tc);
        size_t fixed = FixedValueSize(t);
        for (uint32_t targetSize : {uint32_t(fixed != 0 ? fixed : 251), uint32_t(fixed != 0 ? fixed : 4)}) {
          for (uint8_t scale : {uint8_t(0), uint8_t(2), uint8_t(4)}) {
            uint32_t sourceSize = s == T::Bytes || s == T::VarBytes ? 1 + rng() % 250
                                  : FixedValueSize(s) != 0          ? uint32_t(FixedValueSize(s))
                                                                    : 251;
            ValueBuffer b;
            b.setBytes(sample);
            Bytes before = b.value(kValueBufferSize);
            bool ok = convert(b, s, sourceSize, t, targetSize, scale);
            SCOPED_TRACE(std::to_string(sc) + " -> " + std::to_string(tc) + " size " +
                         std::to_string(targetSize) + " scale " + std::to_string(scale) +
                         (ok ? " ok" : " failed"));
            ASSERT_TRUE(b.guardIntact());
            Bytes after = b.value(kValueBufferSize);
            if (s == t) continue;
            if (inert(s)) {
              ASSERT_TRUE(ok);
              ASSERT_EQ(after, before) << "nothing is done";
              ASSERT_FALSE(IsCastAllowed(s, t));
              continue;
            }
            ASSERT_TRUE(converts(s, t) <= IsCastAllowed(s, t) || t == T::Blob || inert(t));
            if (!converts(s, t)) {
              ASSERT_FALSE(ok);
              ASSERT_EQ(after, Bytes(kValueBufferSize, 0)) << "the cleared buffer";
              continue;
            }
            if (!ok) {
              ASSERT_EQ(after, zeroOf(t, scale));
              continue;
            }
            if (t == T::String) {
              ASSERT_LT(strnlen(reinterpret_cast<const char*>(after.data()), 251), targetSize);
            }
            if (t == T::Boolean) {
              ASSERT_LE(GetWordValue(after.data()), 1);
            }
            if (t == T::BCD) {
              int64_t scaled = 0;
              ASSERT_NE(DecodeBcdValue(after.data(), scaled), TBcdDecode::Malformed);
            }
            size_t written = t == T::String ? targetSize : fixed != 0 ? fixed : targetSize;
            for (size_t i = written; i < kValueBufferSize; ++i) ASSERT_EQ(after[i], 0) << "byte " << i;
          }
        }
      }
    }
  }
}

// ---- Round trips through the text forms ----

class RoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    seed = testSeed();
    rng.seed(seed);
  }
  // value -> text -> value gives the same bytes; text -> value -> text gives the same text.
  void throughText(T type, const Bytes& value, uint8_t scale = 0) {
    ValueBuffer b;
    b.setBytes(value);
    uint32_t size = uint32_t(FixedValueSize(type));
    ASSERT_TRUE(convert(b, type, size, T::String, 251)) << "seed " << seed;
    std::string text = b.text();
    ASSERT_TRUE(convert(b, T::String, 251, type, size, scale)) << text << " seed " << seed;
    ASSERT_EQ(b.value(size), value) << text << " seed " << seed;
    ASSERT_TRUE(convert(b, type, size, T::String, 251));
    ASSERT_EQ(b.text(), text) << " seed " << seed;
  }
  uint32_t seed = 0;
  std::mt19937_64 rng;
};

TEST_F(RoundTrip, TimesWithMilliseconds) {
  for (int i = 0; i < 20000; ++i) {
    int32_t ms = int32_t(rng() % kMsPerDay);
    if (i % 4 == 1) ms -= ms % 1000;
    if (i % 4 == 2) ms -= ms % 60000 - 250;  // milliseconds without seconds
    throughText(T::Time, le(uint32_t(ms), 4));
  }
  throughText(T::Time, le(0, 4));
  throughText(T::Time, le(uint32_t(kMsPerDay - 1), 4));
}

TEST_F(RoundTrip, TimestampsOverYearsOneTo9999) {
  for (int i = 0; i < 20000; ++i) {
    int64_t day = 1 + int64_t(rng() % kMaxEngineDay);
    int64_t ms = int64_t(rng() % kMsPerDay);
    throughText(T::Timestamp, floatBytes(double(day) * kMsPerDay + double(ms)));
  }
  throughText(T::Timestamp, floatBytes(double(kMsPerDay)));
  throughText(T::Timestamp, floatBytes(double(kMaxEngineDay) * kMsPerDay + kMsPerDay - 1));
}

TEST_F(RoundTrip, BooleansAndIntegers) {
  throughText(T::Boolean, le(0, 2));
  throughText(T::Boolean, le(1, 2));
  for (uint64_t v : {uint64_t(0), uint64_t(-1), uint64_t(INT64_MIN), uint64_t(INT64_MAX)})
    throughText(T::LargeInt, le(v, 8));
  for (int i = 0; i < 5000; ++i) {
    uint64_t v = rng();
    throughText(T::SmallInt, le(v, 2));
    throughText(T::Word, le(v, 2));
    throughText(T::Integer, le(v, 4));
    throughText(T::LargeInt, le(v >> (rng() % 64), 8));
  }
}

TEST_F(RoundTrip, DecimalsWithScalesZeroToFour) {
  for (uint8_t scale = 0; scale <= 4; ++scale) {
    for (int i = 0; i < 4000; ++i) {
      int64_t scaled = int64_t(rng() >> (rng() % 64));
      if (rng() % 2) scaled = -scaled;
      Bytes bcd(kBcdSize);
      ASSERT_TRUE(EncodeBcdValue(scaled, scale, bcd.data()));
      int64_t check = 0;
      if (DecodeBcdValue(bcd.data(), check) != TBcdDecode::Exact) continue;  // rounded beyond the range
      throughText(T::BCD, bcd, scale);
    }
  }
}

// ---- Comparison constants ----

TEST(ConvertToNodeType, ConstantsTakeTheOtherSidesTypeOrAreRefused) {
  struct Row {
    T source;
    Bytes value;
    T target;
    uint8_t scale;
    const char* shown;  // nullptr: refused, the target untouched
  };
  const Row rows[] = {
      {T::Integer, le(uint32_t(-5), 4), T::SmallInt, 0, "-5"},
      {T::Word, le(65535, 2), T::Integer, 0, "65535"},           // zero-extended
      {T::SmallInt, le(uint16_t(-2), 2), T::LargeInt, 0, "-2"},  // sign-extended
      {T::Float, floatBytes(-2.7), T::Integer, 0, "-2"},
      {T::BCD, bcdOf(-27000, 4), T::Word, 0, nullptr},
      {T::BCD, bcdOf(27000, 4), T::Word, 0, "2"},
      {T::LargeInt, le(uint64_t(1) << 53, 8), T::Float, 0, "9007199254740992"},
      {T::BCD, bcdOf(15000, 4), T::Float, 0, "1.5"},
      {T::Float, floatBytes(12.345), T::BCD, 2, "12.34"},
      {T::Integer, le(5, 4), T::BCD, 2, "5.00"},
      {T::Date, le(693594, 4), T::Timestamp, 0, "59926521600000"},
      {T::Timestamp, floatBytes(double(700000) * kMsPerDay + kMsPerDay - 0.3), T::Date, 0,
       "700001"},  // whole ms first
      {T::Integer, le(70000, 4), T::SmallInt, 0,
       nullptr},  // a comparison with 70000 must not become one with 4464
      {T::SmallInt, le(uint16_t(-1), 2), T::Word, 0, nullptr},
      {T::Float, floatBytes(std::nan("")), T::Integer, 0, nullptr},
      {T::Float, floatBytes(1e20), T::LargeInt, 0, nullptr},
      {T::String, le(0, 8), T::Integer, 0, nullptr},  // strings are not handled here
      {T::Date, le(1, 4), T::Time, 0, nullptr},
      {T::Integer, le(1, 2), T::SmallInt, 0, nullptr},  // a source value shorter than its type
  };
  for (const Row& r : rows) {
    uint8_t out[kBcdSize];
    std::memset(out, 0xAB, sizeof out);
    SCOPED_TRACE(std::to_string(int(r.source)) + " -> " + std::to_string(int(r.target)));
    bool ok = ConvertToNodeType({r.source, {}, uint32_t(r.value.size()), 0}, r.value,
                                {r.target, {}, uint32_t(FixedValueSize(r.target)), r.scale},
                                std::span<uint8_t>(out, FixedValueSize(r.target)));
    ASSERT_EQ(ok, r.shown != nullptr);
    if (ok) {
      EXPECT_EQ(shown(r.target, out), r.shown);
    } else {
      EXPECT_EQ(std::count(out, out + sizeof out, 0xAB), long(sizeof out)) << "the target is untouched";
    }
  }
}

// ---- Value texts of fields ----

// A field's default, minimum or maximum text is valid exactly when it converts to the field's type.
TEST(IsValidValueText, AcceptsExactlyTheTextsThatConvert) {
  for (T t : {T::Date, T::Time, T::Timestamp, T::Boolean, T::SmallInt, T::Word, T::Integer, T::LargeInt,
              T::Float, T::BCD})
    for (const char* text : {"0",
                             "1",
                             "-1",
                             " 42 ",
                             "70000",
                             "-32768",
                             "-32769",
                             "65535",
                             "65536",
                             "2147483648",
                             "-2147483648",
                             "9223372036854775807",
                             "9223372036854775808",
                             "-9223372036854775808",
                             "1.5",
                             "1,5",
                             "1e5",
                             "1e400",
                             "tRuE",
                             "false",
                             "yes",
                             "2024-02-29",
                             "2023-02-29",
                             "13:05",
                             "25:00",
                             "1:30 pm",
                             "2024-01-02 01:05 PM",
                             "922337203685477.5807",
                             "922337203685477.5808",
                             "abc"}) {
      ValueBuffer b;
      b.setText(text);
      EXPECT_EQ(IsValidValueText(text, t), convert(b, T::String, 251, t, uint32_t(FixedValueSize(t)), 4))
          << text << " as " << int(t);
    }
  // What no conversion shows: the keywords, the empty text, and the types without a text.
  EXPECT_TRUE(IsValidValueText("Current_Time", T::Timestamp));
  EXPECT_TRUE(IsValidValueText("current_date", T::Date));
  EXPECT_FALSE(IsValidValueText("current_time", T::Date));
  EXPECT_TRUE(IsValidValueText("", T::Integer));
  EXPECT_TRUE(IsValidValueText("anything", T::Blob));
  EXPECT_FALSE(IsValidValueText("1", T::Type13));
}

TEST(ParseDateTimeValue, ParsesInPlaceOrGivesDateTimeZero) {
  uint8_t v[8] = {};
  ASSERT_TRUE(ParseDateTimeValue("2024-02-29", T::Date, v));
  EXPECT_EQ(GetIntegerValue(v), chronoDay(2024, 2, 29));
  ASSERT_TRUE(ParseDateTimeValue("1:30 pm", T::Time, v));
  EXPECT_EQ(GetIntegerValue(v), 48600000);
  ASSERT_TRUE(ParseDateTimeValue("2024-02-29 12:00 AM", T::Timestamp, v));
  EXPECT_EQ(GetFloatValue(v), double(chronoDay(2024, 2, 29)) * kMsPerDay);
  EXPECT_FALSE(ParseDateTimeValue("2024-02-30", T::Date, v));
  EXPECT_EQ(GetIntegerValue(v), 693594);
  EXPECT_FALSE(ParseDateTimeValue("noon", T::Time, v));
  EXPECT_EQ(GetIntegerValue(v), 0);
  EXPECT_FALSE(ParseDateTimeValue("x", T::Timestamp, v));
  EXPECT_EQ(GetFloatValue(v), kDateTimeZeroTimestamp);
  std::memset(v, 0xAB, sizeof v);
  EXPECT_TRUE(ParseDateTimeValue("whatever", T::Integer, v));
  EXPECT_EQ(v[0], 0xAB) << "other types: nothing written";
  uint8_t small[4] = {};
  EXPECT_FALSE(ParseDateTimeValue("2024-01-01", T::Timestamp, small)) << "no room for a double";
  std::string longText = "2024-01-01 " + std::string(300, ' ');
  EXPECT_FALSE(ParseDateTimeValue(longText.substr(0, 200) + "x", T::Date, v));
}

}  // namespace
}  // namespace engine
