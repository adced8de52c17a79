#include "platform/bytes.h"

#include <gtest/gtest.h>

namespace {

TEST(LittleEndianFields, RoundTripAtEveryWidth) {
  uint8_t b[8];
  platform::put2(b, 0xBEEF);
  EXPECT_EQ(b[0], 0xEF);
  EXPECT_EQ(platform::get2(b), 0xBEEF);
  platform::put4(b, 0x80000001u);
  EXPECT_EQ(b[3], 0x80);
  EXPECT_EQ(platform::get4s(b), int32_t(0x80000001u));
  platform::put8(b, 0x0123456789ABCDEFull);
  EXPECT_EQ(b[0], 0xEF);
  EXPECT_EQ(platform::get8(b), 0x0123456789ABCDEFull);
}

TEST(LittleEndianFields, FixedTextIsCutAndZeroPadded) {
  uint8_t b[6];
  platform::putFixedText(b, 4, "abcdef");
  EXPECT_EQ(platform::getFixedText(b, 4), "abcd");
  platform::putFixedText(b, 6, "ab");
  EXPECT_EQ(b[2], 0);
  EXPECT_EQ(platform::getFixedText(b, 6), "ab");
}

}  // namespace
