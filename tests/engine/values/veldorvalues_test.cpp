#include "engine/values/veldorvalues.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/values/veldorvaluetext.h"
#include "tests/engine/storage/storage_test_util.h"

namespace engine {
namespace {

using T = TEngineFieldType;
using Bytes = std::vector<uint8_t>;

using storage_test::bcdText;
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
    return std::all_of(bytes_.begin() + kValueBufferSize, bytes_.end(), [](uint8_t c) { return c == 0xCD; });
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
Bytes txt(std::string_view t) {
  return Bytes(t.begin(), t.end());
}
Bytes bcdOf(int64_t scaled, int places) {
  Bytes b(kBcdSize);
  EXPECT_TRUE(EncodeBcdValue(scaled, places, b.data()));
  return b;
}
std::string num(double x) {
  char s[40];
  std::snprintf(s, sizeof s, "%.17g", x);
  return s;
}

int32_t chronoDay(int y, unsigned m, unsigned d) {
  using namespace std::chrono;
  return int32_t((sys_days(year{y} / month{m} / day{d}) - sys_days(year{1899} / December / 30)).count() +
                 693594);
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

// Golden vectors made once with Python's decimal module (rounding half to even): a text or a
// double to BCD with the scales 0 to 4 (a double through round(x * 10,000) on the double product).
TEST(BcdGolden, TextAndFloatToBcdRoundHalfToEven) {
  struct Row {
    const char* text;
    double value;
    const char* expected[5];  // none where no vector was made
  };
  const Row textRows[] = {
      {"2.5", 0, {"2", "2.5", "2.50", "2.500", "2.5000"}},
      {"12.345", 0, {"12", "12.3", "12.34", "12.345", "12.3450"}},
      {"12.355", 0, {"12", "12.4", "12.36", "12.355", "12.3550"}},
      {"12.34500001", 0, {"12", "12.3", "12.35", "12.345", "12.3450"}},  // rounded once, from the text
      {"-0.005", 0, {"0", "0.0", "0.00", "-0.005", "-0.0050"}},
      {"-7.5E-5", 0, {"0", "0.0", "0.00", "0.000", "-0.0001"}},
      {"-922337203685477.5808",
       0,
       {nullptr, nullptr, "-922337203685477.58", nullptr, "-922337203685477.5808"}},
  };
  const Row floatRows[] = {
      {nullptr, -0.0, {"0", "0.0", "0.00", "0.000", "0.0000"}},
      {nullptr, 0.00015, {"0", "0.0", "0.00", "0.000", "0.0001"}},
      {nullptr, -0.00025, {"0", "0.0", "0.00", "0.000", "-0.0002"}},
      {nullptr, 2.675, {"3", "2.7", "2.68", "2.675", "2.6750"}},
      {nullptr, 1.005, {"1", "1.0", "1.00", "1.005", "1.0050"}},
      {nullptr, 123.45675, {"123", "123.5", "123.46", "123.457", "123.4568"}},
      {nullptr,
       922337203685477.0,
       {"922337203685477", "922337203685477.0", "922337203685476.97", "922337203685476.966",
        "922337203685476.9664"}},
  };
  for (const auto& rows : {std::span<const Row>(textRows), std::span<const Row>(floatRows)})
    for (const Row& row : rows)
      for (uint8_t scale = 0; scale <= 4; ++scale) {
        if (!row.expected[scale]) continue;
        SCOPED_TRACE((row.text ? row.text : num(row.value)) + " scale " + std::to_string(scale));
        ValueBuffer b;
        row.text ? b.setText(row.text) : b.setBytes(floatBytes(row.value));
        ASSERT_TRUE(row.text ? convert(b, T::String, 251, T::BCD, 34, scale)
                             : convert(b, T::Float, 8, T::BCD, 34, scale));
        EXPECT_EQ(bcdText(b.data()), row.expected[scale]);
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

// The values only a single conversion shows; which pairs convert, failures and the text forms
// are the matrix's, the round trips' and the text tests'.
TEST(ConvertValueEdges, EachKindOfConversion) {
  const double march1 = double(chronoDay(2024, 3, 1)) * kMsPerDay;
  expectConversions({
      // booleans are true when not zero; raw bytes into a boolean are normalised
      {T::SmallInt, le(uint16_t(-7), 2), 2, T::Boolean, 2, 0, true, "1"},
      {T::Bytes, le(0x0100, 2), 2, T::Boolean, 2, 0, true, "1"},
      // a time is a timestamp on day zero; timestamps round to whole milliseconds first
      {T::Time, le(3723004, 4), 4, T::Timestamp, 8, 0, true, num(kDateTimeZeroTimestamp + 3723004)},
      {T::Timestamp, floatBytes(march1 + 86399999.6), 8, T::Date, 4, 0, true,
       std::to_string(chronoDay(2024, 3, 2))},
      {T::Timestamp, floatBytes(march1 + 86399999.4), 8, T::Time, 4, 0, true, "86399999"},
      // decimals to double are the nearest double (golden), to integers truncated toward zero
      {T::BCD, bcdOf(-1, 4), 34, T::Float, 8, 0, true, num(-0x1.a36e2eb1c432dp-14)},
      {T::BCD, bcdOf(INT64_MIN, 4), 34, T::Float, 8, 0, true, num(-0x1.a36e2eb1c432dp+49)},
      {T::BCD, bcdOf(9007199254740993, 4), 34, T::Float, 8, 0, true, num(0x1.a36e2eb1c432dp+39)},
      {T::BCD, bcdOf(-15000, 4), 34, T::LargeInt, 8, 0, true, "-1"},
      {T::BCD, bcdOf(INT64_MIN, 4), 34, T::LargeInt, 8, 0, true, "-922337203685477"},
      // a rescaled decimal is re-encoded half to even
      {T::BCD, bcdOf(123450, 4), 34, T::BCD, 34, 2, true, "12.34"},
      {T::BCD, bcdOf(123550, 4), 34, T::BCD, 34, 2, true, "12.36"},
      // bytes are copied unchanged; a string target keeps its terminator
      {T::Bytes, Bytes{1, 2, 3, 4, 5, 6}, 6, T::Integer, 4, 0, true, "67305985"},
      {T::VarBytes, txt("abcdef"), 6, T::String, 4, 0, true, "abc"},
      {T::String, txt("hello"), 251, T::Bytes, 3, 0, true, "68656c0000000000"},
  });
}

// ---- Mended faults ----

TEST(ConvertValueFaults, AShorterStringKeepsSizeMinusOneCharactersAndItsTerminator) {
  expectConversions({
      {T::String, txt("abcdef"), 7, T::String, 4, 0, true, "abc"},
      {T::String, txt("a\xC3\xA9z"), 5, T::String, 3, 0, true, "a"},  // never cut inside a character
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

// Number to number narrowing is also held against the comparison-constant conversion over the
// whole matrix; these are the values that used to wrap.
TEST(ConvertValueFaults, NarrowingIsRangeChecked) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  expectConversions({
      {T::Integer, le(70000, 4), 4, T::SmallInt, 2, 4, false, "0"},
      {T::SmallInt, le(uint16_t(-1), 2), 2, T::Word, 2, 4, false, "0"},
      {T::LargeInt, le(uint64_t(INT64_MAX), 8), 8, T::BCD, 34, 4, false, "0.0000"},
      {T::Float, floatBytes(1e300), 8, T::Integer, 4, 4, false, "0"},
      {T::Float, floatBytes(nan), 8, T::LargeInt, 8, 4, false, "0"},
      {T::Float, floatBytes(9.3e18), 8, T::LargeInt, 8, 4, false, "0"},
      {T::Float, floatBytes(2147483647.9), 8, T::Integer, 4, 4, true, "2147483647"},
      {T::Float, floatBytes(1e15), 8, T::BCD, 34, 4, false, "0.0000"},
      {T::String, txt("70000"), 251, T::SmallInt, 2, 0, false, "0"},  // never 4464
      // large integers use the full 64-bit range
      {T::String, txt("-9223372036854775808"), 251, T::LargeInt, 8, 0, true, "-9223372036854775808"},
      {T::String, txt("9223372036854775808"), 251, T::LargeInt, 8, 0, false, "0"},
      {T::LargeInt, le(uint64_t(INT64_MAX), 8), 8, T::String, 251, 0, true, "9223372036854775807"},
  });
}

TEST(ConvertValueFaults, MemoTextIsParsedIntoNumbers) {
  expectConversions({
      {T::Blob, txt("42"), 8, T::Integer, 4, 0, true, "42"},  // not the bytes '4', '2'
      {T::Blob, txt("not a number"), 8, T::Integer, 4, 0, false, "0"},
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

// Texts met as string and memo values and as field default texts, one per line.
std::vector<std::string> sampleTexts() {
  std::vector<std::string> texts;
  std::istringstream lines(
      "0\n1\n-1\n 42 \n70000\n-32768\n-32769\n65535\n65536\n2147483648\n-2147483648\n9223372036854775807\n"
      "9223372036854775808\n-9223372036854775808\n1.5\n1,5\n-2.5e3\n1e400\nnan\ntRuE\nfalse\nyes\n"
      "2024-02-29\n2023-02-29\n13:05:07.250\n25:00\n1:30 pm\n2024-01-02 01:05 PM\n922337203685477.5807\n"
      "922337203685477.5808\nabc");
  for (std::string text; std::getline(lines, text);) texts.push_back(text);
  return texts;
}

// Interesting values of a source type, and some random bytes.
std::vector<Bytes> samplesOf(T s, std::mt19937& rng) {
  std::vector<Bytes> out;
  auto add = [&](uint64_t v, size_t n) { out.push_back(le(v, n)); };
  switch (s) {
    case T::String:
    case T::Blob:
      out.push_back(Bytes(kValueBufferSize, 0));
      out.push_back(Bytes(kValueBufferSize, 0));
      std::fill_n(out.back().begin(), kValueBufferSize - 1, 'x');  // longer than any field
      for (const std::string& t : sampleTexts()) {
        out.push_back(Bytes(kValueBufferSize, 0));
        std::copy(t.begin(), t.end(), out.back().begin());
      }
      break;
    case T::Date:
      for (int64_t d : {0, 1, 693594, int(kMaxEngineDay), int(kMaxEngineDay) + 1, -5}) add(uint64_t(d), 4);
      break;
    case T::Time:
      for (int64_t m : {int64_t(0), int64_t(47100250), kMsPerDay - 1, kMsPerDay, int64_t(-1)})
        add(uint64_t(m), 4);
      break;
    case T::Timestamp:
    case T::Float:
      for (double x : {0.0, -0.0, 2.7, -2.7, 1e300, -1e300, 65535.5, -32768.5, 1e15, std::nan(""),
                       std::numeric_limits<double>::infinity(), kDateTimeZeroTimestamp + 1234.5,
                       double(kMaxEngineDay) * kMsPerDay + kMsPerDay - 0.4, 5e-324, 9.3e18, 2147483647.9})
        out.push_back(floatBytes(x));
      break;
    case T::BCD:
      for (int64_t v : {int64_t(0), int64_t(1), int64_t(-1), int64_t(327680000), int64_t(-327689999),
                        INT64_MAX, INT64_MIN})
        for (int places : {0, 2, 4, 6}) {
          out.push_back(Bytes(kBcdSize));
          EncodeBcdValue(v, places, out.back().data());
        }
      out.push_back(Bytes(kBcdSize, 0xFF));  // malformed
      out.push_back(Bytes(kBcdSize, 0x99));  // beyond the scaled range
      out.back()[0] = 32;
      out.back()[1] = 0;
      break;
    default:
      for (uint64_t v : {uint64_t(0), uint64_t(1), uint64_t(-1), uint64_t(0x7FFF), uint64_t(0x8000),
                         uint64_t(0xFFFF), uint64_t(70000), uint64_t(0x7FFFFFFF), uint64_t(0x80000000),
                         uint64_t(1) << 62, uint64_t(INT64_MIN)})
        add(v, 8);
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

// Every pair on every sample: nothing written past the value, failures leave the zero value, and
// where the comparison-constant conversion takes a pair it agrees with ConvertValue.
TEST(ConvertValueMatrix, EveryPairStaysInItsBufferAndFailsToTheZeroValue) {
  uint32_t seed = testSeed();
  std::mt19937 rng(seed);
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  int constantsConverted = 0;
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
            if (FixedValueSize(s) != 0 && fixed != 0 && s != t) {
              Bytes constant(fixed, 0xAB);
              bool taken = ConvertToNodeType({s, {}, uint32_t(FixedValueSize(s)), 0},
                                             std::span(before.data(), FixedValueSize(s)),
                                             {t, {}, uint32_t(fixed), scale}, constant);
              constantsConverted += taken;
              if (!taken) {
                ASSERT_EQ(constant, Bytes(fixed, 0xAB)) << "a refused constant is untouched";
              } else if (ok) {
                ASSERT_EQ(constant, Bytes(after.begin(), after.begin() + fixed));
              } else {
                ASSERT_TRUE(t == T::Date || t == T::Timestamp) << "only beyond the calendar";
              }
            }
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
  EXPECT_GT(constantsConverted, 1000);
}

// ---- Round trips through the text forms ----

// value -> text -> value gives the same bytes; text -> value -> text gives the same text.
void throughText(T type, const Bytes& value, uint8_t scale = 0) {
  ValueBuffer b;
  b.setBytes(value);
  uint32_t size = uint32_t(FixedValueSize(type));
  ASSERT_TRUE(convert(b, type, size, T::String, 251));
  std::string text = b.text();
  ASSERT_TRUE(convert(b, T::String, 251, type, size, scale)) << text;
  ASSERT_EQ(b.value(size), value) << text;
  ASSERT_TRUE(convert(b, type, size, T::String, 251));
  ASSERT_EQ(b.text(), text);
}

TEST(RoundTrip, ValuesComeBackThroughTheirText) {
  uint32_t seed = testSeed();
  std::mt19937_64 rng(seed);
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  for (int i = 0; i < 20000 && !::testing::Test::HasFatalFailure(); ++i) {
    int32_t ms = int32_t(rng() % kMsPerDay);
    if (i % 4 == 1) ms -= ms % 1000;
    if (i % 4 == 2) ms -= ms % 60000 - 250;  // milliseconds without seconds
    throughText(T::Time, le(uint32_t(ms), 4));
    int64_t day = 1 + int64_t(rng() % kMaxEngineDay);  // the years 1 to 9999
    throughText(T::Timestamp, floatBytes(double(day) * kMsPerDay + double(rng() % kMsPerDay)));
    if (i % 4 == 0) {
      uint64_t v = rng();
      throughText(T::SmallInt, le(v, 2));
      throughText(T::Word, le(v, 2));
      throughText(T::Integer, le(v, 4));
      throughText(T::LargeInt, le(v >> (rng() % 64), 8));
    }
    // decimals with the scales 0 to 4, unless rounded beyond the range
    int64_t scaled = int64_t(rng() >> (rng() % 64)) * (rng() % 2 ? -1 : 1), check = 0;
    Bytes bcd(kBcdSize);
    ASSERT_TRUE(EncodeBcdValue(scaled, i % 5, bcd.data()));
    if (DecodeBcdValue(bcd.data(), check) == TBcdDecode::Exact) throughText(T::BCD, bcd, uint8_t(i % 5));
  }
  for (int32_t ms : {0, int32_t(kMsPerDay - 1)}) throughText(T::Time, le(uint32_t(ms), 4));
  for (int64_t day : {1, int(kMaxEngineDay)}) throughText(T::Timestamp, floatBytes(double(day) * kMsPerDay));
  throughText(T::Timestamp, floatBytes(double(kMaxEngineDay) * kMsPerDay + kMsPerDay - 1));
  for (uint64_t v : {0, 1}) throughText(T::Boolean, le(v, 2));
  for (uint64_t v : {uint64_t(-1), uint64_t(INT64_MIN), uint64_t(INT64_MAX)})
    throughText(T::LargeInt, le(v, 8));
}

// ---- Comparison constants ----

// Which pairs and values convert, and to what, the matrix holds against ConvertValue (70000 never
// becomes 4464 as a SMALLINT constant there); strings, and values or targets shorter than their
// types, are refused.
TEST(ConvertToNodeType, StringsAndValuesShorterThanTheirTypesAreRefused) {
  uint8_t out[8] = {0xAB, 0xAB};
  EXPECT_FALSE(ConvertToNodeType({T::String, {}, 8, 0}, le(0, 8), {T::Integer, {}, 4, 0}, out));
  EXPECT_FALSE(ConvertToNodeType({T::Integer, {}, 2, 0}, le(1, 2), {T::SmallInt, {}, 2, 0}, out));
  EXPECT_FALSE(ConvertToNodeType({T::SmallInt, {}, 2, 0}, le(1, 2), {T::Integer, {}, 4, 0},
                                 std::span<uint8_t>(out, 2)));
  EXPECT_EQ(out[0] + out[1], 2 * 0xAB) << "the target is untouched";
}

// ---- Value texts of fields ----

// A field's default, minimum or maximum text is valid exactly when it converts to the field's type.
TEST(IsValidValueText, AcceptsExactlyTheTextsThatConvert) {
  for (T t : {T::Date, T::Time, T::Timestamp, T::Boolean, T::SmallInt, T::Word, T::Integer, T::LargeInt,
              T::Float, T::BCD})
    for (const std::string& text : sampleTexts()) {
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

// Which texts read is the text tests'; this is where the value lands and what a failure leaves.
TEST(ParseDateTimeValue, ParsesInPlaceOrGivesDateTimeZero) {
  uint8_t v[8] = {};
  ASSERT_TRUE(ParseDateTimeValue("2024-02-29 12:00 AM", T::Timestamp, v));
  EXPECT_EQ(GetFloatValue(v), double(chronoDay(2024, 2, 29)) * kMsPerDay);
  EXPECT_FALSE(ParseDateTimeValue("2024-02-30", T::Date, v));
  EXPECT_EQ(GetIntegerValue(v), 693594);
  EXPECT_FALSE(ParseDateTimeValue("x", T::Timestamp, v));
  EXPECT_EQ(GetFloatValue(v), kDateTimeZeroTimestamp);
  std::memset(v, 0xAB, sizeof v);
  EXPECT_TRUE(ParseDateTimeValue("whatever", T::Integer, v));
  EXPECT_EQ(v[0], 0xAB) << "other types: nothing written";
  uint8_t small[4] = {};
  EXPECT_FALSE(ParseDateTimeValue("2024-01-01", T::Timestamp, small)) << "no room for a double";
}

}  // namespace
}  // namespace engine
