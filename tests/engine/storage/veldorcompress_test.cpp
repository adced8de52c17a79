#include "engine/storage/veldorcompress.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include "engine/base/veldorerr.h"
#include "storage_test_util.h"

namespace engine {
namespace {

using storage_test::errorOf;

std::vector<uint8_t> compress(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out;
  CompressBuffer(in.data(), in.size(), out);
  return out;
}

using storage_test::testSeed;

TEST(BufferCompression, RoundTripsGiveTheInputBack) {
  const uint32_t seed = testSeed();
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  std::mt19937 rng(seed);
  for (size_t size : {size_t(0), size_t(1), size_t(100), size_t(65536), size_t(300000)}) {
    std::vector<uint8_t> in(size);
    // Half random, half repetitive, so both stored and deflated blocks occur.
    for (size_t i = 0; i < size; ++i) in[i] = i < size / 2 ? uint8_t(rng()) : uint8_t(i % 7);
    const std::vector<uint8_t> packed = compress(in);
    std::vector<uint8_t> back;
    DecompressBuffer(packed.data(), packed.size(), back);
    EXPECT_EQ(back, in) << size;
  }
}

TEST(BufferCompression, StreamsAreZlibDeflateAtTheBestLevel) {
  EXPECT_LE(compress({}).size(), 16u) << "an empty input is a short valid stream";
  const std::vector<uint8_t> packed = compress(std::vector<uint8_t>(10000, 'a'));
  EXPECT_EQ(packed[0] & 0x0F, 8) << "deflate method in the zlib header";
  EXPECT_EQ(packed[1] >> 6, 3) << "level flag of the zlib header says maximum compression";
  EXPECT_LT(packed.size(), 100u);
}

TEST(BufferDecompression, ArbitraryTruncatedFlippedOrExtendedStreamsAreRefused) {
  const std::vector<uint8_t> junk{'n', 'o', 't', ' ', 'z', 'l', 'i', 'b'};
  std::vector<uint8_t> out;
  EXPECT_EQ(errorOf([&] { DecompressBuffer(junk.data(), junk.size(), out); }), VELDOR_UNCOMPRESS);
  EXPECT_EQ(errorOf([&] { DecompressBuffer(nullptr, 0, out); }), VELDOR_UNCOMPRESS);
  std::vector<uint8_t> in(5000);
  for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i * 31 % 251);
  const std::vector<uint8_t> packed = compress(in);
  for (size_t cut : {size_t(1), size_t(2), packed.size() / 2, packed.size() - 1}) {
    EXPECT_EQ(errorOf([&] { DecompressBuffer(packed.data(), cut, out); }), VELDOR_UNCOMPRESS) << cut;
  }
  std::vector<uint8_t> flipped = packed;
  flipped[packed.size() / 2] ^= 0x40;
  EXPECT_EQ(errorOf([&] { DecompressBuffer(flipped.data(), flipped.size(), out); }), VELDOR_UNCOMPRESS);
  std::vector<uint8_t> extended = packed;
  extended.push_back(0);
  EXPECT_EQ(errorOf([&] { DecompressBuffer(extended.data(), extended.size(), out); }), VELDOR_UNCOMPRESS);
}

TEST(BufferDecompression, OutputAboveTheLimitIsRefusedAndAtTheLimitAccepted) {
  // A 1 MiB run packs into about a kilobyte: a small input that unpacks to much more.
  const std::vector<uint8_t> in(1 << 20, 0);
  const std::vector<uint8_t> packed = compress(in);
  std::vector<uint8_t> out;
  EXPECT_EQ(errorOf([&] { DecompressBuffer(packed.data(), packed.size(), out, in.size() - 1); }),
            VELDOR_UNCOMPRESS);
  EXPECT_TRUE(out.empty());
  DecompressBuffer(packed.data(), packed.size(), out, in.size());
  EXPECT_EQ(out.size(), in.size());
  const std::vector<uint8_t> empty = compress({});
  DecompressBuffer(empty.data(), empty.size(), out, 0);
  EXPECT_TRUE(out.empty());
  const std::vector<uint8_t> one = compress({7});
  EXPECT_EQ(errorOf([&] { DecompressBuffer(one.data(), one.size(), out, 0); }), VELDOR_UNCOMPRESS);
}

TEST(TableScrambling, ZeroBytesShowTheStateSequenceWhichRepeatsEvery256Bytes) {
  std::vector<uint8_t> buf(512, 0);
  ScrambleBuffer(buf.data(), buf.size(), 0x10, 0x20);
  uint8_t low = 0x10, high = 0x20;
  for (size_t i = 0; i < 256; ++i) {
    ASSERT_EQ(buf[i], uint8_t(low ^ high)) << i;
    ++low;
    --high;
  }
  EXPECT_EQ(low, 0x10);
  EXPECT_EQ(high, 0x20);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 256, buf.begin() + 256));
}

TEST(TableScrambling, ScrambleThenUnscrambleRestoresAndZeroCountDoesNothing) {
  std::vector<uint8_t> original(1000);
  for (size_t i = 0; i < original.size(); ++i) original[i] = uint8_t(i * 7 + 3);
  for (ScrambleSeed seed : {kStructureSeed, kTextSeed, ScrambleSeed{0, 0}, ScrambleSeed{255, 255}}) {
    std::vector<uint8_t> buf = original;
    ScrambleBuffer(buf.data(), buf.size(), seed);
    EXPECT_NE(buf, original);
    UnscrambleBuffer(buf.data(), buf.size(), seed);
    EXPECT_EQ(buf, original);
  }
  std::vector<uint8_t> buf = original;
  ScrambleBuffer(buf.data(), 0, kStructureSeed);
  EXPECT_EQ(buf, original);
}

}  // namespace
}  // namespace engine
