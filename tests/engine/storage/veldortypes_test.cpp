#include "engine/storage/veldortypes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "storage_test_util.h"

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

// Golden vectors made once with Python's decimal module, rounding half to even: the scaled value
// (the number times 10,000) quantized to `places` decimals.
struct BcdEncodeRow {
  int64_t scaled;
  const char* text[7];  // with kEncodePlaces[i] places
};
constexpr int kEncodePlaces[7] = {0, 1, 2, 3, 4, 5, 8};
// A decimal text with more than four places and its scaled value rounded half to even.
struct BcdDecodeRow {
  const char* text;
  int64_t scaled;
};

constexpr BcdEncodeRow kBcdEncodeRows[] = {
    {INT64_C(0), {"0", "0.0", "0.00", "0.000", "0.0000", "0.00000", "0.00000000"}},
    {INT64_C(1), {"0", "0.0", "0.00", "0.000", "0.0001", "0.00010", "0.00010000"}},
    {INT64_C(-1), {"0", "0.0", "0.00", "0.000", "-0.0001", "-0.00010", "-0.00010000"}},
    {INT64_C(5), {"0", "0.0", "0.00", "0.000", "0.0005", "0.00050", "0.00050000"}},
    {INT64_C(-5), {"0", "0.0", "0.00", "0.000", "-0.0005", "-0.00050", "-0.00050000"}},
    {INT64_C(15), {"0", "0.0", "0.00", "0.002", "0.0015", "0.00150", "0.00150000"}},
    {INT64_C(25), {"0", "0.0", "0.00", "0.002", "0.0025", "0.00250", "0.00250000"}},
    {INT64_C(35), {"0", "0.0", "0.00", "0.004", "0.0035", "0.00350", "0.00350000"}},
    {INT64_C(-25), {"0", "0.0", "0.00", "-0.002", "-0.0025", "-0.00250", "-0.00250000"}},
    {INT64_C(50), {"0", "0.0", "0.00", "0.005", "0.0050", "0.00500", "0.00500000"}},
    {INT64_C(150), {"0", "0.0", "0.02", "0.015", "0.0150", "0.01500", "0.01500000"}},
    {INT64_C(250), {"0", "0.0", "0.02", "0.025", "0.0250", "0.02500", "0.02500000"}},
    {INT64_C(-150), {"0", "0.0", "-0.02", "-0.015", "-0.0150", "-0.01500", "-0.01500000"}},
    {INT64_C(4999), {"0", "0.5", "0.50", "0.500", "0.4999", "0.49990", "0.49990000"}},
    {INT64_C(5000), {"0", "0.5", "0.50", "0.500", "0.5000", "0.50000", "0.50000000"}},
    {INT64_C(5001), {"1", "0.5", "0.50", "0.500", "0.5001", "0.50010", "0.50010000"}},
    {INT64_C(15000), {"2", "1.5", "1.50", "1.500", "1.5000", "1.50000", "1.50000000"}},
    {INT64_C(25000), {"2", "2.5", "2.50", "2.500", "2.5000", "2.50000", "2.50000000"}},
    {INT64_C(-25000), {"-2", "-2.5", "-2.50", "-2.500", "-2.5000", "-2.50000", "-2.50000000"}},
    {INT64_C(123450), {"12", "12.3", "12.34", "12.345", "12.3450", "12.34500", "12.34500000"}},
    {INT64_C(123455), {"12", "12.3", "12.35", "12.346", "12.3455", "12.34550", "12.34550000"}},
    {INT64_C(123465), {"12", "12.3", "12.35", "12.346", "12.3465", "12.34650", "12.34650000"}},
    {INT64_C(-123455), {"-12", "-12.3", "-12.35", "-12.346", "-12.3455", "-12.34550", "-12.34550000"}},
    {INT64_C(1234550), {"123", "123.5", "123.46", "123.455", "123.4550", "123.45500", "123.45500000"}},
    {INT64_C(9999), {"1", "1.0", "1.00", "1.000", "0.9999", "0.99990", "0.99990000"}},
    {INT64_C(10000), {"1", "1.0", "1.00", "1.000", "1.0000", "1.00000", "1.00000000"}},
    {INT64_C(-10000), {"-1", "-1.0", "-1.00", "-1.000", "-1.0000", "-1.00000", "-1.00000000"}},
    {INT64_C(9223372036854775807),
     {"922337203685478", "922337203685477.6", "922337203685477.58", "922337203685477.581",
      "922337203685477.5807", "922337203685477.58070", "922337203685477.58070000"}},
    {INT64_MIN,
     {"-922337203685478", "-922337203685477.6", "-922337203685477.58", "-922337203685477.581",
      "-922337203685477.5808", "-922337203685477.58080", "-922337203685477.58080000"}},
    {INT64_C(9223372036854775806),
     {"922337203685478", "922337203685477.6", "922337203685477.58", "922337203685477.581",
      "922337203685477.5806", "922337203685477.58060", "922337203685477.58060000"}},
    {INT64_C(-9223372036854775807),
     {"-922337203685478", "-922337203685477.6", "-922337203685477.58", "-922337203685477.581",
      "-922337203685477.5807", "-922337203685477.58070", "-922337203685477.58070000"}},
    {INT64_C(99995000),
     {"10000", "9999.5", "9999.50", "9999.500", "9999.5000", "9999.50000", "9999.50000000"}},
    {INT64_C(99985000),
     {"9998", "9998.5", "9998.50", "9998.500", "9998.5000", "9998.50000", "9998.50000000"}},
};
// text, scaled
constexpr BcdDecodeRow kBcdDecodeRows[] = {
    {"0.00005", INT64_C(0)},
    {"0.00015", INT64_C(2)},
    {"0.00025", INT64_C(2)},
    {"-0.00005", INT64_C(0)},
    {"-0.00015", INT64_C(-2)},
    {"1.23455", INT64_C(12346)},
    {"1.23465", INT64_C(12346)},
    {"1.234550001", INT64_C(12346)},
    {"1.234549999", INT64_C(12345)},
    {"-1.23455", INT64_C(-12346)},
    {"0.000049999999", INT64_C(0)},
    {"-922337203685477.58085", INT64_MIN},
    {"12345678901234.5678949999999", INT64_C(123456789012345679)},
    {"0.0000000000000000000000000005", INT64_C(0)},
    {"99999.99995", INT64_C(1000000000)},
    {"7840296.1614550550", INT64_C(78402961615)},
};

// ---- Packed decimals ----

TEST(BcdGolden, EncodingRoundsHalfToEvenLikeDecimal) {
  for (const auto& row : kBcdEncodeRows)
    for (int i = 0; i < 7; ++i) {
      uint8_t bcd[kBcdSize];
      ASSERT_TRUE(EncodeBcdValue(row.scaled, kEncodePlaces[i], bcd))
          << row.scaled << " places " << kEncodePlaces[i];
      EXPECT_EQ(bcd[0], 32);
      EXPECT_EQ(bcdText(bcd), row.text[i]) << row.scaled << " places " << kEncodePlaces[i];
      for (size_t k = 18; k < kBcdSize; ++k) ASSERT_EQ(bcd[k], 0) << "digits lie in the first 16 digit bytes";
    }
}

TEST(BcdGolden, DecodingRoundsHalfToEvenLikeDecimal) {
  for (const auto& row : kBcdDecodeRows) {
    auto bcd = makeBcd(row.text);
    int64_t scaled = 1;
    TBcdDecode result = DecodeBcdValue(bcd.data(), scaled);
    EXPECT_NE(result, TBcdDecode::Overflow) << row.text;
    EXPECT_NE(result, TBcdDecode::Malformed) << row.text;
    EXPECT_EQ(scaled, row.scaled) << row.text;
  }
}

TEST(BcdGolden, EncodedValuesDecodeToThemselves) {
  for (const auto& row : kBcdEncodeRows)
    for (int places : {4, 5, 8}) {
      uint8_t bcd[kBcdSize];
      ASSERT_TRUE(EncodeBcdValue(row.scaled, places, bcd));
      int64_t scaled = 0;
      EXPECT_EQ(DecodeBcdValue(bcd, scaled), TBcdDecode::Exact);
      EXPECT_EQ(scaled, row.scaled);
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

TEST(BlockBuffer, GrowsInBlocksNeverShrinksAndFreesOnZero) {
  std::vector<uint8_t> buffer;
  ResizeBlockBuffer(251, 256, buffer);
  ASSERT_EQ(buffer.size(), 256u);
  for (uint8_t b : buffer) ASSERT_EQ(b, 0);
  buffer[10] = 7;
  ResizeBlockBuffer(100, 256, buffer);
  EXPECT_EQ(buffer.size(), 256u);
  ResizeBlockBuffer(257, 256, buffer);
  ASSERT_EQ(buffer.size(), 512u);
  EXPECT_EQ(buffer[10], 7) << "growing keeps the contents";
  EXPECT_EQ(buffer[300], 0) << "the added bytes are zero";
  ResizeBlockBuffer(0, 256, buffer);
  EXPECT_TRUE(buffer.empty());
  EXPECT_EQ(buffer.capacity(), 0u);
  ResizeBlockBuffer(-5, 256, buffer);
  EXPECT_TRUE(buffer.empty());
  ResizeBlockBuffer(1, 64, buffer);
  EXPECT_EQ(buffer.size(), 64u);
}

}  // namespace
}  // namespace engine
