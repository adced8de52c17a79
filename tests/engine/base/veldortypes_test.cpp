#include "engine/base/veldortypes.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/engine/storage/storage_test_util.h"

namespace engine {
namespace {

// A packed decimal from a plain decimal text ("-12.345"): its places are the text's decimals.
std::vector<uint8_t> makeBcd(std::string_view text) {
  std::vector<uint8_t> bcd(kBcdSize, 0);
  bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  std::string digits;
  size_t places = 0;
  bool fraction = false;
  for (char c : text) {
    if (c == '.') {
      fraction = true;
      continue;
    }
    digits.push_back(c);
    places += fraction;
  }
  EXPECT_LE(digits.size(), 32u) << text;
  bcd[0] = 32;
  bcd[1] = uint8_t(places | (negative ? 0x80 : 0));
  size_t first = 32 - digits.size();
  for (size_t i = 0; i < digits.size(); ++i) {
    size_t k = first + i;
    uint8_t d = uint8_t(digits[i] - '0');
    bcd[2 + k / 2] |= uint8_t(k % 2 == 0 ? d << 4 : d);
  }
  return bcd;
}

using storage_test::bcdText;

// ---- Packed decimals ----

// The model: exact decimal arithmetic on 128-bit integers, which hold any 32-digit number.
using Int128 = __int128;

Int128 power10(int n) {
  Int128 p = 1;
  while (n-- > 0) p *= 10;
  return p;
}

Int128 divideHalfEven(Int128 value, Int128 divisor) {
  Int128 q = value / divisor, r = value % divisor;
  const Int128 twice = 2 * (r < 0 ? -r : r);
  if (twice > divisor || (twice == divisor && q % 2 != 0)) q += value < 0 ? -1 : 1;
  return q;
}

// "-12.340" for digits -12340 with 3 places.
std::string decimalText(Int128 digits, int places) {
  std::string text;
  for (Int128 v = digits < 0 ? -digits : digits; v > 0; v /= 10)
    text.insert(text.begin(), char('0' + int(v % 10)));
  if (text.size() <= size_t(places)) text.insert(0, size_t(places) + 1 - text.size(), '0');
  if (places > 0) text.insert(text.size() - size_t(places), ".");
  return (digits < 0 ? "-" : "") + text;
}

// Values that make rounding interesting: ties, nines, extremes, and plain random ones.
int64_t randomScaled(std::mt19937& rng) {
  switch (rng() % 4) {
    case 0:
      return std::array<int64_t, 6>{
          0, INT64_MAX, INT64_MIN, INT64_MAX - 1, INT64_MIN + 1, 99995000}[rng() % 6];
    case 1:
      return (int64_t(rng() % 20000) - 10000) * 5;
    case 2:
      return int64_t(rng() % 2000001) - 1000000;
    default:
      return int64_t(uint64_t(rng()) << 32 | rng());
  }
}

TEST(BcdModel, EncodingRoundsHalfToEvenAndDecodingGivesTheValueBack) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  for (int round = 0; round < 20000; ++round) {
    const int64_t scaled = randomScaled(rng);
    const int places = int(rng() % 18);
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed) + " value " + std::to_string(scaled) + " places " +
                 std::to_string(places));
    const Int128 expected =
        places >= 4 ? Int128(scaled) * power10(places - 4) : divideHalfEven(scaled, power10(4 - places));
    uint8_t bcd[kBcdSize];
    ASSERT_TRUE(EncodeBcdValue(scaled, places, bcd));
    ASSERT_EQ(bcd[0], 32);
    ASSERT_EQ(bcdText(bcd), decimalText(expected, places));
    for (size_t k = 18; k < kBcdSize; ++k) ASSERT_EQ(bcd[k], 0) << "digits lie in the first 16 digit bytes";
    // Rounded to fewer places, the top values read back beyond the scaled range.
    const Int128 readBack = places >= 4 ? Int128(scaled) : expected * power10(4 - places);
    int64_t back = 0;
    const bool fits = readBack <= INT64_MAX && readBack >= INT64_MIN;
    ASSERT_EQ(DecodeBcdValue(bcd, back), fits ? TBcdDecode::Exact : TBcdDecode::Overflow);
    if (fits) {
      ASSERT_EQ(back, int64_t(readBack));
    }
  }
}

TEST(BcdModel, DecodingRoundsHalfToEvenAndOverflowsOnlyPastTheScaledRange) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  for (int round = 0; round < 20000; ++round) {
    std::string digits;
    for (size_t n = 1 + rng() % 32; n > 0; --n) digits.push_back("0123455999"[rng() % 10]);
    const size_t places = rng() % (digits.size() + 1);
    const bool negative = rng() % 2;
    std::string text = digits;
    if (places > 0) text.insert(text.size() - places, ".");
    if (negative) text.insert(0, "-");
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed) + " " + text);
    Int128 value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    if (negative) value = -value;
    const Int128 expected =
        places <= 4 ? value * power10(4 - int(places)) : divideHalfEven(value, power10(int(places) - 4));
    const bool exact = places <= 4 || value % power10(int(places) - 4) == 0;
    int64_t scaled = 0;
    const TBcdDecode result = DecodeBcdValue(makeBcd(text).data(), scaled);
    if (expected > INT64_MAX || expected < INT64_MIN) {
      ASSERT_EQ(result, TBcdDecode::Overflow);
      continue;
    }
    ASSERT_EQ(result, exact ? TBcdDecode::Exact : TBcdDecode::Rounded);
    ASSERT_EQ(scaled, int64_t(expected));
  }
}

TEST(BcdEdges, ValuesBeyondTheScaledRangeOverflow) {
  int64_t scaled = 7;
  EXPECT_EQ(DecodeBcdValue(makeBcd("922337203685477.5808").data(), scaled), TBcdDecode::Overflow);
  EXPECT_EQ(scaled, 0);
  EXPECT_EQ(DecodeBcdValue(makeBcd("922337203685477.58075").data(), scaled), TBcdDecode::Overflow)
      << "rounding up passes the top";
  EXPECT_EQ(DecodeBcdValue(makeBcd("-922337203685477.5808").data(), scaled), TBcdDecode::Exact);
  EXPECT_EQ(scaled, INT64_MIN);
  EXPECT_EQ(DecodeBcdValue(makeBcd("12345678901234567890123456789012").data(), scaled), TBcdDecode::Overflow);
  EXPECT_EQ(DecodeBcdValue(makeBcd("0.000000000000000000000000000000").data(), scaled), TBcdDecode::Exact);
  EXPECT_EQ(scaled, 0);
}

TEST(BcdEdges, MalformedBytesAreRecognised) {
  auto bcd = makeBcd("1.5");
  bcd[2 + 15] = 0x0A;  // a nibble above 9
  int64_t scaled = 0;
  EXPECT_EQ(DecodeBcdValue(bcd.data(), scaled), TBcdDecode::Malformed);
  bcd = makeBcd("1.5");
  bcd[0] = 65;
  EXPECT_EQ(DecodeBcdValue(bcd.data(), scaled), TBcdDecode::Malformed);
  bcd = makeBcd("1.5");
  bcd[0] = 0;  // precision 0 reads as 0
  EXPECT_EQ(DecodeBcdValue(bcd.data(), scaled), TBcdDecode::Exact);
  EXPECT_EQ(scaled, 0);
  std::vector<uint8_t> zeros(kBcdSize, 0);
  EXPECT_EQ(DecodeBcdValue(zeros.data(), scaled), TBcdDecode::Exact);
  bcd = makeBcd("1.5");
  bcd[1] = 33;  // more places than digits
  EXPECT_EQ(DecodeBcdValue(bcd.data(), scaled), TBcdDecode::Malformed);
}

TEST(BcdEdges, PlacesBeyondThePrecisionAreRefused) {
  uint8_t bcd[kBcdSize];
  EXPECT_FALSE(EncodeBcdValue(1, 33, bcd));
  EXPECT_FALSE(EncodeBcdValue(-1, -1, bcd));
  EXPECT_FALSE(EncodeBcdValue(INT64_MAX, 20, bcd)) << "19 digits and 16 zeros exceed 32 digits";
  int64_t scaled = 1;
  EXPECT_EQ(DecodeBcdValue(bcd, scaled), TBcdDecode::Exact);
  EXPECT_EQ(scaled, 0) << "a refused value leaves the bytes of 0";
  EXPECT_TRUE(EncodeBcdValue(INT64_MAX, 17, bcd));
  EXPECT_EQ(DecodeBcdValue(bcd, scaled), TBcdDecode::Exact);
  EXPECT_EQ(scaled, INT64_MAX);
}

TEST(RoundHalfEven, DividesWithTiesToEven) {
  const int64_t rows[][3] = {{25, 10, 2},
                             {35, 10, 4},
                             {-25, 10, -2},
                             {-35, 10, -4},
                             {-36, 10, -4},
                             {INT64_MIN, 1, INT64_MIN},
                             {INT64_MAX, INT64_MAX, 1},
                             {INT64_MIN, INT64_MAX, -1}};
  for (const auto& r : rows) EXPECT_EQ(DivideRoundHalfEven(r[0], r[1]), r[2]) << r[0] << " / " << r[1];
}

// ---- Value bytes ----

TEST(ValueBytes, ValuesAreLittleEndian) {
  uint8_t b[8] = {};
  PutIntegerValue(b, -2);
  EXPECT_EQ(b[0], 0xFE);
  EXPECT_EQ(b[3], 0xFF);
  EXPECT_EQ(GetIntegerValue(b), -2);
  PutFloatValue(b, 1.0);
  EXPECT_EQ(b[7], 0x3F);
  EXPECT_EQ(b[6], 0xF0);
  EXPECT_EQ(GetFloatValue(b), 1.0);
  PutLargeIntValue(b, INT64_MIN);
  EXPECT_EQ(GetLargeIntValue(b), INT64_MIN);
  EXPECT_EQ(NormalizeBooleanValue(0), 0);
  EXPECT_EQ(NormalizeBooleanValue(0xFFFF), 1);
}

// ---- Buffers ----

TEST(BlockBuffer, GrowsInBlocksKeepingItsBytesNeverShrinksAndFreesOnZero) {
  std::vector<uint8_t> buffer;
  ResizeBlockBuffer(251, 256, buffer);
  buffer[10] = 7;
  ResizeBlockBuffer(100, 256, buffer);
  EXPECT_EQ(buffer.size(), 256u);
  ResizeBlockBuffer(257, 256, buffer);
  ASSERT_EQ(buffer.size(), 512u);
  EXPECT_EQ(buffer[10], 7);
  EXPECT_EQ(buffer[300], 0) << "the added bytes are zero";
  ResizeBlockBuffer(0, 256, buffer);
  EXPECT_EQ(buffer.capacity(), 0u);
  ResizeBlockBuffer(-5, 256, buffer);
  EXPECT_TRUE(buffer.empty());
}

}  // namespace
}  // namespace engine
