// The write set against a plain byte image of the file it lies over: random writes (apart from
// every extent, appended to one, inside one, bridging several; copied or taken over) and cuts,
// after each of which a read through the set sees exactly the image, and the extents never
// overlap and stay in order.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "engine/storage/veldorwriteset.h"

namespace engine {
namespace {

TEST(WriteSetTest, ReadsThroughTheSetSeeTheFileAsWrittenAfterAnyMixOfWritesAndCuts) {
  const char* seedText = std::getenv("VELMARON_WRITESET_SEED");
  const uint32_t seed = seedText ? uint32_t(std::strtoul(seedText, nullptr, 10)) : 11u;
  std::mt19937 rng(seed);
  for (int round = 0; round < 40; ++round) {
    const int64_t diskSize = int64_t(rng() % 4096);
    std::vector<uint8_t> disk(static_cast<size_t>(diskSize));
    for (uint8_t& b : disk) b = uint8_t(rng() | 1u);
    std::vector<uint8_t> model = disk;
    TWriteSet set;
    int64_t lastEnd = 0;
    for (int step = 0; step < 60; ++step) {
      const uint32_t kind = rng() % 10;
      if (kind == 0) {
        const int64_t size = int64_t(rng() % 6000);
        set.Cut(diskSize, size);
        // Bytes past a cut read as zeros when the file grows again.
        model.resize(size_t(size));
        continue;
      }
      // Appends right after the last write, as a flush of consecutive runs does; else anywhere.
      const int64_t offset = kind < 4 ? lastEnd : int64_t(rng() % 6000);
      const int64_t count = 1 + int64_t(rng() % (kind < 4 ? 700 : 300));
      std::vector<uint8_t> bytes(static_cast<size_t>(count));
      for (uint8_t& b : bytes) b = uint8_t(rng());
      if (model.size() < size_t(offset + count)) model.resize(size_t(offset + count), 0);
      std::copy(bytes.begin(), bytes.end(), model.begin() + offset);
      // Some appends hand their bytes over: they may lie right after an extent without joining it.
      if (kind == 3 || kind == 9) {
        set.Write(diskSize, offset, std::move(bytes));
        ASSERT_TRUE(bytes.empty());
      } else {
        set.Write(diskSize, offset, bytes.data(), count);
      }
      lastEnd = offset + count;

      ASSERT_EQ(set.Size(), int64_t(model.size())) << "seed " << seed << " round " << round;
      int64_t previousEnd = 0;
      for (const auto& [start, extent] : set.Extents()) {
        ASSERT_GE(start, previousEnd) << "extents never overlap and stay in order; seed " << seed;
        previousEnd = start + int64_t(extent.size());
      }
      std::vector<uint8_t> seen(model.size() + 16, 0xEE);
      const int64_t diskRead = std::min<int64_t>(diskSize, int64_t(seen.size()));
      std::copy(disk.begin(), disk.begin() + diskRead, seen.begin());
      ASSERT_EQ(set.Overlay(0, seen.data(), int64_t(seen.size()), diskRead), int64_t(model.size()));
      seen.resize(model.size());
      ASSERT_EQ(seen, model) << "seed " << seed << " round " << round << " step " << step;
    }
  }
}

// A run of appends to one extent up to near the spare limit leaves storage that Clear keeps for
// the next write-out, which then takes the bytes without growing again.
TEST(WriteSetTest, AnExtentGrownByAppendsIsKeptAsSpareAndServesTheNextRun) {
  TWriteSet set;
  EXPECT_TRUE(set.TakeSpare().empty());
  const std::vector<uint8_t> chunk(16384, 0x5A);
  const size_t total = TWriteSet::kMaxSpareBytes - TWriteSet::kMaxSpareBytes / 4;
  for (size_t at = 0; at < total; at += chunk.size())
    set.Write(0, int64_t(at), chunk.data(), int64_t(chunk.size()));
  ASSERT_EQ(set.Extents().size(), 1u);
  EXPECT_LE(set.Extents().begin()->second.capacity(), TWriteSet::kMaxSpareBytes);
  set.Clear();
  const std::vector<uint8_t> spare = set.TakeSpare();
  EXPECT_TRUE(spare.empty());
  EXPECT_GE(spare.capacity(), total);
}

}  // namespace
}  // namespace engine
