#include "platform/bytes.h"

#include <gtest/gtest.h>

#include <cstring>

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

// Every length a record field can have, at every alignment: exactly the n bytes arrive, and no
// byte on either side of them is touched.
TEST(ShortCopies, CopyExactlyTheirBytesAtEveryLengthAndAlignment) {
  uint8_t from[300 + 16];
  for (size_t i = 0; i < sizeof from; ++i) from[i] = uint8_t(i * 7 + 1);
  for (size_t n = 0; n <= 300; ++n) {
    for (size_t shift = 0; shift < 8; ++shift) {
      uint8_t to[300 + 32];
      std::memset(to, 0xEE, sizeof to);
      platform::copyShort(to + 8 + shift, from + shift, n);
      for (size_t i = 0; i < sizeof to; ++i) {
        const bool inside = i >= 8 + shift && i < 8 + shift + n;
        ASSERT_EQ(to[i], inside ? from[i - 8] : 0xEE) << "n " << n << " shift " << shift << " at " << i;
      }
    }
  }
}

}  // namespace
