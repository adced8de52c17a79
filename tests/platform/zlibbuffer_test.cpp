#include "platform/zlibbuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace platform {
namespace {

// One bit at a time, as the checksum is defined.
uint32_t referenceCrc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// Short buffers take one road and long ones another (folded 16 bytes at a time, the rest after):
// every length around the edges between them, at every start within 16 bytes, agrees with the
// definition.
TEST(Crc32Test, EveryLengthAndStartGivesTheChecksumOfTheDefinition) {
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc32(check, sizeof check), 0xCBF43926u);
  EXPECT_EQ(crc32(nullptr, 0), 0u);
  std::minstd_rand random(62);
  std::vector<uint8_t> bytes(5000 + 16);
  for (uint8_t& b : bytes) b = uint8_t(random());
  for (size_t size = 0; size <= 200; ++size)
    for (size_t start = 0; start < 16; ++start)
      ASSERT_EQ(crc32(bytes.data() + start, size), referenceCrc32(bytes.data() + start, size))
          << size << " " << start;
  for (int round = 0; round < 50; ++round) {
    const size_t size = 200 + random() % 4800, start = random() % 16;
    ASSERT_EQ(crc32(bytes.data() + start, size), referenceCrc32(bytes.data() + start, size))
        << size << " " << start;
  }
  // All ones and all zeros, where a wrong constant shows as readily as anywhere.
  for (const uint8_t fill : {uint8_t(0), uint8_t(0xFF)}) {
    const std::vector<uint8_t> same(4096 + 7, fill);
    EXPECT_EQ(crc32(same.data(), same.size()), referenceCrc32(same.data(), same.size()));
  }
  // Taken in pieces, long and short on either side of each road's edge, the running value gives
  // the checksum of the whole.
  for (const size_t cut :
       {size_t(0), size_t(1), size_t(15), size_t(63), size_t(64), size_t(100), size_t(4999)}) {
    const uint32_t first = crc32(bytes.data(), cut);
    EXPECT_EQ(crc32(bytes.data() + cut, 5000 - cut, first), referenceCrc32(bytes.data(), 5000)) << cut;
  }
}

}  // namespace
}  // namespace platform
