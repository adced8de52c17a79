// The blob file: its exact layout on disk, round trips of values of every size, reuse of freed
// chains, damaged chains, the block cache, and the read and write locks between processes.
#include "engine/storage/veldorblob.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "datafile_test_util.h"
#include "engine/base/veldorerr.h"
#include "engine/storage/veldorcompress.h"
#include "platform/bytes.h"
#include "platform/faultfs.h"
#include "storage_test_util.h"

namespace engine {
namespace {

using platform::testing::TempFolder;
using storage_test::Helper;

using datafile_test::errorOf;
using datafile_test::readFileBytes;
using datafile_test::TestCursor;
using datafile_test::TestTable;

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  std::minstd_rand g(seed);
  for (auto& b : v) b = uint8_t(g());
  return v;
}

void patchRaw(const std::string& path, int64_t offset, const std::vector<uint8_t>& bytes) {
  datafile_test::patchFile(
      path, [&](std::vector<uint8_t>& all) { std::copy(bytes.begin(), bytes.end(), all.begin() + offset); });
}

std::vector<uint8_t> le4(uint32_t v) {
  std::vector<uint8_t> b(4);
  platform::put4(b.data(), v);
  return b;
}

class BlobFileTest : public ::testing::Test {
 public:
  std::unique_ptr<TBlobFile> makeFile(uint32_t blockSize = 512, bool encrypted = false) {
    auto f = std::make_unique<TBlobFile>(table, &list);
    f->SetName(path);
    f->SetBlockSize(blockSize);
    f->SetEncrypted(encrypted);
    return f;
  }
  std::unique_ptr<TBlobFile> create(uint32_t blockSize = 512, bool encrypted = false) {
    auto f = makeFile(blockSize, encrypted);
    f->CreateFile();
    return f;
  }
  std::unique_ptr<TBlobFile> open(uint32_t blockSize = 512, bool encrypted = false) {
    auto f = makeFile(blockSize, encrypted);
    f->Open();
    return f;
  }
  std::unique_ptr<TBlobFile> reopen(std::unique_ptr<TBlobFile>& f, uint32_t blockSize = 512,
                                    bool encrypted = false) {
    f->Close();
    f.reset();
    return open(blockSize, encrypted);
  }
  // Saves `data` as a value of `owner` (a new one unless `first` is given) and, unless told not to,
  // writes everything; returns its first block.
  uint32_t store(TBlobFile& f, const std::vector<uint8_t>& data, uint32_t owner, uint32_t first = 0,
                 bool write = true) {
    TBlobBuffer b(f, nullptr);
    b.SetOwnerId(owner);
    b.SetFirstBlock(first);
    b.SetSize(uint32_t(data.size()));
    if (!data.empty()) std::memcpy(b.GetData(), data.data(), data.size());
    b.Save();
    if (write) f.FlushDirtyBlocks();
    if (write) f.WriteHeader(false);
    return b.GetFirstBlock();
  }
  std::vector<uint8_t> load(TBlobFile& f, uint32_t first, uint32_t owner, TCacheReader* cursor = nullptr) {
    TBlobBuffer b(f, cursor);
    b.SetOwnerId(owner);
    b.SetFirstBlock(first);
    b.Load();
    return std::vector<uint8_t>(b.GetData(), b.GetData() + b.GetSize());
  }
  // The same value read in passing (ReadValue), its blocks kept out of the cache.
  std::vector<uint8_t> readInPassing(TBlobFile& f, uint32_t first, uint32_t owner,
                                     TCacheReader* cursor = nullptr) {
    std::vector<uint8_t> value(3, 0xEE);  // what the buffer held before goes
    f.ReadValue(cursor, first, owner, value);
    return value;
  }
  // Walks the free list and returns its blocks in order.
  std::vector<uint32_t> freeList(TBlobFile& f) {
    std::vector<uint32_t> out;
    for (uint32_t n = f.GetFreeBlockHead(); n != 0 && out.size() <= f.GetBlockCount();) {
      out.push_back(n);
      PinnedBlock b = f.GetBlockPinned(n, 1);
      n = b->GetNextBlock();
    }
    return out;
  }

  TempFolder dir;
  TFileList list;
  TestTable table;
  const std::string path = dir.path("docs.BLB");
};

// ---- Format ----

using BlobFileFormat = BlobFileTest;

TEST_F(BlobFileFormat, NewFileIsExactlyItsHeaderWithVersion5AndNoBlocks) {
  auto f = create();
  EXPECT_TRUE(f->WriteHeader(false));
  f->Close();
  const auto raw = readFileBytes(path);
  ASSERT_EQ(raw.size(), 512u);
  EXPECT_EQ(platform::get4(&raw[0]), 1u);
  EXPECT_EQ(raw[8], 5);
  EXPECT_EQ(platform::get4(&raw[9]), 0u);
  EXPECT_EQ(platform::get4(&raw[13]), 1u);
  EXPECT_EQ(raw[17], 1);  // the dirty mark as it stood
  for (size_t i = 18; i < 512; ++i) ASSERT_EQ(raw[i], 0) << i;
}

TEST_F(BlobFileFormat, ThousandBytesTakeThreeBlocksOf494And494And12) {
  auto f = create();
  const auto data = pattern(1000, 1);
  EXPECT_EQ(store(*f, data, 77), 1u);
  f->Close();
  const auto raw = readFileBytes(path);
  ASSERT_EQ(raw.size(), 512u + 3 * 512);
  EXPECT_EQ(platform::get4(&raw[13]), 4u);
  struct Expect {
    uint32_t prev, next, used, total;
  } expect[] = {{0, 2, 494, 1000}, {1, 3, 494, 0}, {2, 0, 12, 0}};
  size_t copied = 0;
  for (int i = 0; i < 3; ++i) {
    const uint8_t* b = &raw[512 + i * 512];
    EXPECT_EQ(platform::get4(b + 0), expect[i].prev);
    EXPECT_EQ(platform::get4(b + 4), expect[i].next);
    EXPECT_EQ(platform::get2(b + 8), expect[i].used);
    EXPECT_EQ(platform::get4(b + 10), 77u);
    EXPECT_EQ(platform::get4(b + 14), expect[i].total);
    EXPECT_EQ(std::memcmp(b + 18, data.data() + copied, expect[i].used), 0);
    copied += expect[i].used;
  }
}

TEST_F(BlobFileFormat, EncryptedFileScramblesHeaderBlockHeaderAndDataEachFromTheSeed) {
  auto f = create(512, true);
  const auto data = pattern(30, 2);
  store(*f, data, 5);
  f->Close();
  auto raw = readFileBytes(path);
  ASSERT_EQ(raw.size(), 1024u);
  UnscrambleBuffer(raw.data(), 512, kStructureSeed);
  EXPECT_EQ(raw[8], 5);
  EXPECT_EQ(platform::get4(&raw[13]), 2u);
  UnscrambleBuffer(raw.data() + 512, 18, kStructureSeed);
  UnscrambleBuffer(raw.data() + 530, 494, kStructureSeed);
  EXPECT_EQ(platform::get4(&raw[512 + 10]), 5u);
  EXPECT_EQ(platform::get4(&raw[512 + 14]), 30u);
  EXPECT_EQ(std::memcmp(&raw[530], data.data(), 30), 0);
  EXPECT_EQ(load(*open(512, true), 1, 5), data);
}

// A new value too large for the cache goes to the file's writes as one image, past the cache; it
// must be the chain that the cache would have written block by block, whether the file writes
// through or holds its writes (inside a transaction too: then nothing reaches the file before
// the write-out, and reads see the held blocks meanwhile).
TEST_F(BlobFileFormat, AValueLargerThanTheCacheIsTheChainTheCacheWouldHaveWritten) {
  for (const bool encrypted : {false, true}) {
    for (const int mode : {0, 1, 2}) {  // writing through, holding writes, both in a transaction
      SCOPED_TRACE(std::string(encrypted ? "encrypted" : "plain") + " mode " + std::to_string(mode));
      std::filesystem::remove(path);
      auto f = create(512, encrypted);
      f->SetHoldWrites(mode != 0);
      table.transactionLock = mode == 2;
      struct Value {
        uint32_t owner, first;
        std::vector<uint8_t> data;
      };
      std::vector<Value> values;
      // One block, a chain just as large as the cache (64 blocks of 494 bytes), then one block
      // more, and one ending in a full block.
      for (const size_t length : {size_t(100), size_t(64 * 494), size_t(64 * 494 + 1), size_t(90 * 494)}) {
        const uint32_t owner = uint32_t(100 + values.size());
        const auto data = pattern(length, owner);
        const uint32_t first = store(*f, data, owner, 0, mode != 2);
        values.push_back({owner, first, data});
        EXPECT_EQ(load(*f, first, owner), data);
      }
      EXPECT_EQ(f->GetBlockCount(), 1u + 64 + 65 + 90);
      if (mode == 2) {
        EXPECT_EQ(std::filesystem::file_size(path), 0u);
        table.transactionLock = false;
        f->FlushDirtyBlocks();
        f->WriteHeader(false);
      }
      if (mode != 0) f->WriteOutHeld(false);
      f->Close();
      auto raw = readFileBytes(path);
      ASSERT_EQ(raw.size(), 512u + 220 * 512);
      if (encrypted) UnscrambleBuffer(raw.data(), 512, kStructureSeed);
      EXPECT_EQ(platform::get4(&raw[13]), 221u);
      EXPECT_EQ(platform::get4(&raw[9]), 0u);
      for (const Value& v : values) {
        const uint32_t count = uint32_t((v.data.size() + 493) / 494);
        for (uint32_t i = 0; i < count; ++i) {
          uint8_t* b = &raw[512 + size_t(v.first - 1 + i) * 512];
          if (encrypted) {
            UnscrambleBuffer(b, 18, kStructureSeed);
            UnscrambleBuffer(b + 18, 494, kStructureSeed);
          }
          const uint32_t used = std::min<uint32_t>(494, uint32_t(v.data.size()) - i * 494);
          ASSERT_EQ(platform::get4(b + 0), i == 0 ? 0 : v.first + i - 1) << v.owner << " block " << i;
          ASSERT_EQ(platform::get4(b + 4), i + 1 < count ? v.first + i + 1 : 0) << v.owner << " block " << i;
          ASSERT_EQ(platform::get2(b + 8), used) << v.owner << " block " << i;
          ASSERT_EQ(platform::get4(b + 10), v.owner);
          ASSERT_EQ(platform::get4(b + 14), i == 0 ? uint32_t(v.data.size()) : 0u);
          ASSERT_EQ(std::memcmp(b + 18, v.data.data() + i * 494, used), 0) << v.owner << " block " << i;
          for (uint32_t k = used; k < 494; ++k) ASSERT_EQ(b[18 + k], 0) << v.owner << " block " << i;
        }
      }
      auto g = open(512, encrypted);
      for (const Value& v : values) EXPECT_EQ(load(*g, v.first, v.owner), v.data);
      // The chains free as any other: the next value takes their blocks, not the file's end.
      g->FreeBlobChain(values[2].first, false, values[2].owner);
      const auto again = pattern(65 * 494, 7);
      EXPECT_EQ(store(*g, again, 7), 130u);
      EXPECT_EQ(g->GetBlockCount(), 220u);
      EXPECT_EQ(load(*reopen(g, 512, encrypted), 130, 7), again);
    }
  }
}

TEST_F(BlobFileFormat, BlockSizeZeroMeans512AndImpossibleSizesAreRefused) {
  auto f = makeFile(0);
  EXPECT_EQ(f->GetBlockSize(), 512u);
  EXPECT_EQ(errorOf([&] { f->SetBlockSize(63); }), VELDOR_HEADERCORRUPT);
  EXPECT_EQ(errorOf([&] { f->SetBlockSize(65536); }), VELDOR_HEADERCORRUPT);
}

TEST_F(BlobFileFormat, VerifyHeaderRefusesOtherVersionsAndFreeHeadsOutsideTheFile) {
  auto f = create();
  store(*f, pattern(1000, 3), 1);
  f->Close();
  // Each change stays on the file for the next; three blocks exist.
  const struct {
    int64_t at;
    std::vector<uint8_t> bytes;
    uint16_t code;
  } changes[] = {{8, {4}, VELDOR_OLDVERSION}, {8, {5}, 0}, {9, le4(4), VELDOR_HEADERCORRUPT}, {9, le4(3), 0}};
  for (const auto& change : changes) {
    patchRaw(path, change.at, change.bytes);
    EXPECT_EQ(errorOf([&] { open()->VerifyHeader(); }), change.code)
        << change.at << ": " << int(change.bytes[0]);
  }
}

TEST_F(BlobFileFormat, HeaderChangedTakesTheHeaderThatAnotherWriterWrote) {
  auto created = create();
  created->WriteHeader(true);
  created->Close();
  auto writer = open();
  auto reader = open();
  EXPECT_FALSE(reader->HeaderChanged());
  store(*writer, pattern(600, 4), 3);
  EXPECT_TRUE(reader->HeaderChanged());
  EXPECT_EQ(reader->GetBlockCount(), 2u);
  EXPECT_EQ(reader->GetChangeCounter(), writer->GetChangeCounter());
  EXPECT_FALSE(reader->HeaderChanged());
}

// ---- Model ----

struct BlobModelRun {
  uint32_t blockSize;
  bool encrypted;
};

class BlobModel : public BlobFileTest, public ::testing::WithParamInterface<BlobModelRun> {};

// Values of six owners written, rewritten longer and shorter, cut, freed and read back across
// re-opens. Freed blocks are reused before the file grows, so the file always holds as many
// blocks as the most the values ever needed at once, and the rest are on the free list, ownerless.
TEST_P(BlobModel, ValuesAndTheFreeListMatchTheModelThroughRewritesCutsFreesAndReopens) {
  const auto [blockSize, encrypted] = GetParam();
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  const size_t dataSize = blockSize - 18;
  auto f = create(blockSize, encrypted);
  struct Value {
    uint32_t first = 0;
    std::vector<uint8_t> data;
  };
  std::map<uint32_t, Value> values;
  auto randomLength = [&]() -> size_t {
    switch (rng() % 5) {
      case 0:
        return rng() % 2;
      case 1:
        return dataSize - 1 + rng() % 3;
      case 2:
        return rng() % 40 == 0 ? 300 * dataSize + rng() % dataSize : rng() % (20 * dataSize);
      default:
        return rng() % (4 * dataSize);
    }
  };
  auto checkValues = [&] {
    for (auto& [owner, v] : values) {
      if (v.data.empty())
        ASSERT_EQ(v.first, 0u) << "owner " << owner;
      else
        ASSERT_EQ(load(*f, v.first, owner), v.data) << "owner " << owner;
    }
  };
  size_t mostBlocks = 0;
  for (int step = 0; step < 300; ++step) {
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed) + " step " + std::to_string(step));
    const uint32_t owner = 1 + rng() % 6;
    Value& v = values[owner];
    const uint32_t choice = rng() % 10;
    if (choice == 0) {
      f->FreeBlobChain(v.first, false, owner);
      ASSERT_EQ(v.first, 0u);
      v.data.clear();
    } else if (choice == 1 && v.first != 0) {
      TBlobBuffer b(*f, nullptr);
      b.SetOwnerId(owner);
      b.SetFirstBlock(v.first);
      b.Load();
      v.data.resize(rng() % (v.data.size() + 1));
      b.SetSize(uint32_t(v.data.size()));
      if (v.data.empty())
        b.FreeBlocks();  // saving an empty value leaves the chain to its caller
      else
        b.Save();
      v.first = b.GetFirstBlock();
    } else if (choice == 2) {
      f->FlushDirtyBlocks();
      f->WriteHeader(false);
      f = reopen(f, blockSize, encrypted);
      f->VerifyHeader();
    } else {
      v.data = pattern(randomLength(), rng());
      if (v.data.empty())
        f->FreeBlobChain(v.first, false, owner);
      else
        v.first = store(*f, v.data, owner, v.first);
    }
    size_t live = 0;
    for (const auto& [o, value] : values) live += (value.data.size() + dataSize - 1) / dataSize;
    mostBlocks = std::max(mostBlocks, live);
    ASSERT_EQ(f->GetBlockCount(), mostBlocks);
    const std::vector<uint32_t> free = freeList(*f);
    ASSERT_EQ(free.size(), mostBlocks - live);
    if (step % 20 == 0) {
      for (uint32_t n : free) ASSERT_EQ(f->GetBlockPinned(n, 1)->GetOwnerId(), 0u) << "free block " << n;
      checkValues();
    }
  }
  f->FlushDirtyBlocks();
  f->WriteHeader(false);
  f = reopen(f, blockSize, encrypted);
  f->VerifyHeader();
  checkValues();
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, BlobModel,
                         ::testing::Values(BlobModelRun{64, false}, BlobModelRun{512, false},
                                           BlobModelRun{4096, true}),
                         [](const auto& info) {
                           return "B" + std::to_string(info.param.blockSize) +
                                  (info.param.encrypted ? "_encrypted" : "");
                         });

// ---- Buffers ----

using BlobBuffers = BlobFileTest;

TEST_F(BlobBuffers, GrowingAValueReadsZerosBetweenTheOldEndAndTheNewBytes) {
  auto f = create();
  TBlobBuffer b(*f, nullptr);
  b.SetSize(10);
  std::memset(b.GetData(), 0xAA, 10);
  b.SetSize(4);
  const uint8_t x = 0x55;
  b.Write(8, &x, 1);
  std::vector<uint8_t> expect{0xAA, 0xAA, 0xAA, 0xAA, 0, 0, 0, 0, 0x55};
  EXPECT_EQ(std::vector<uint8_t>(b.GetData(), b.GetData() + b.GetSize()), expect);
  // Past the bytes the buffer ever held, after a cut that left some of them behind.
  b.SetSize(6);
  b.SetSize(30);
  expect.resize(30, 0);
  expect[6] = expect[7] = expect[8] = 0;
  EXPECT_EQ(std::vector<uint8_t>(b.GetData(), b.GetData() + b.GetSize()), expect);
}

TEST_F(BlobBuffers, ReadsAndWritesCheckPositionPlusCount) {
  auto f = create();
  TBlobBuffer b(*f, nullptr);
  b.SetSize(100);
  uint8_t out[10];
  EXPECT_EQ(b.Read(95, out, 10), 5u);
  EXPECT_EQ(b.Read(100, out, 10), 0u);
  EXPECT_EQ(b.Read(UINT64_MAX - 3, out, 10), 0u);
  EXPECT_EQ(errorOf([&] { b.Write(0xFFFFFFFFull - 4, out, 10); }), VELDOR_INVALIDBLOBLEN);
  EXPECT_EQ(b.GetSize(), 100u);
  PinnedBlock block = f->AllocateBlock();
  EXPECT_EQ(errorOf([&] { block->WriteData(490, 5, out); }), VELDOR_INVALIDBLOBLEN);
  EXPECT_EQ(errorOf([&] { block->ReadData(0, 495, out); }), VELDOR_INVALIDBLOBLEN);
  EXPECT_EQ(errorOf([&] { block->ReadData(0xFFFFFFFF, 2, out); }), VELDOR_INVALIDBLOBLEN);
}

// ---- Damaged chains ----

class BlobCorruption : public BlobFileTest {
 public:
  static int64_t blockAt(uint32_t n) { return 512 + int64_t(n - 1) * 512; }
  void setNext(uint32_t block, uint32_t next) { patchRaw(path, blockAt(block) + 4, le4(next)); }
  void setOwner(uint32_t block, uint32_t owner) { patchRaw(path, blockAt(block) + 10, le4(owner)); }
  void setTotal(uint32_t block, uint32_t total) { patchRaw(path, blockAt(block) + 14, le4(total)); }
};

// A three-block value of owner 5 whose file is then damaged on disk; loading it raises.
struct LoadDamage {
  const char* what;
  std::function<void(BlobCorruption&)> damage;
  uint32_t first;
  uint16_t code;
};

void PrintTo(const LoadDamage& d, std::ostream* out) {
  *out << d.what;
}

class BlobLoadDamage : public BlobCorruption, public ::testing::WithParamInterface<LoadDamage> {};

TEST_P(BlobLoadDamage, LoadRaises) {
  auto f = create();
  store(*f, pattern(3 * 494, 14), 5);
  f->Close();
  GetParam().damage(*this);
  EXPECT_EQ(errorOf([&] { load(*open(), GetParam().first, 5); }), GetParam().code);
}

TEST_P(BlobLoadDamage, ReadingInPassingRaisesAsLoadDoes) {
  auto f = create();
  store(*f, pattern(3 * 494, 14), 5);
  f->Close();
  GetParam().damage(*this);
  EXPECT_EQ(errorOf([&] { readInPassing(*open(), GetParam().first, 5); }), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    Chains, BlobLoadDamage,
    ::testing::Values(
        LoadDamage{"FirstBlockOfAnotherOwner", [](BlobCorruption& t) { t.setOwner(1, 6); }, 1,
                   VELDOR_KEYORRECDELETED},
        // The chain runs back and claims more than its three blocks.
        LoadDamage{"LinkBackToAnEarlierBlock",
                   [](BlobCorruption& t) { t.setNext(3, 1), t.setTotal(1, 6 * 494); }, 1, VELDOR_MEMOCORRUPT},
        LoadDamage{"LinkToItself", [](BlobCorruption& t) { t.setNext(2, 2); }, 1, VELDOR_MEMOCORRUPT},
        LoadDamage{"LinkOutsideTheFile", [](BlobCorruption& t) { t.setNext(2, 99); }, 1, VELDOR_MEMOCORRUPT},
        LoadDamage{"FirstBlockOutsideTheFile", [](BlobCorruption&) {}, 0xFFFFFFFF, VELDOR_MEMOCORRUPT},
        LoadDamage{"ChainShorterThanItsLength", [](BlobCorruption& t) { t.setNext(2, 0); }, 1,
                   VELDOR_ENDOFBLOB},
        // Raised before anything is allocated for the value.
        LoadDamage{"LengthBeyondWhatTheFileCanHold", [](BlobCorruption& t) { t.setTotal(1, 0xFFFFFFF0); }, 1,
                   VELDOR_MEMOCORRUPT},
        LoadDamage{"UsedBytesBeyondTheDataArea",
                   [](BlobCorruption& t) {
                     patchRaw(t.path, BlobCorruption::blockAt(1) + 8, {0xFF, 0xFF});
                   },
                   1, VELDOR_MEMOCORRUPT},
        LoadDamage{"FileCutShorterThanItsHeaderSays",
                   [](BlobCorruption& t) { std::filesystem::resize_file(t.path, 512 + 512); }, 1,
                   VELDOR_READERR}),
    [](const ::testing::TestParamInfo<LoadDamage>& info) { return std::string(info.param.what); });

// A value held in one block is read in passing by a shorter road than a chain: whatever its
// block's length and used count say, the read gives what Load gives or raises what Load raises.
TEST_F(BlobCorruption, AOneBlockValueReadInPassingIsWhatLoadMakesOfItsCounts) {
  for (const uint32_t total : {0u, 1u, 299u, 300u, 301u, 494u, 495u})
    for (const uint32_t used : {0u, 1u, 299u, 300u, 301u, 494u, 495u, 0xFFFFu}) {
      SCOPED_TRACE(std::to_string(total) + " long, " + std::to_string(used) + " used");
      {
        auto f = create();
        store(*f, pattern(300, total + used), 5);
      }
      setTotal(1, total);
      patchRaw(path, blockAt(1) + 8, {uint8_t(used), uint8_t(used >> 8)});
      std::vector<uint8_t> loaded, read;
      const uint16_t loadCode = errorOf([&] { loaded = load(*open(), 1, 5); });
      EXPECT_EQ(errorOf([&] { read = readInPassing(*open(), 1, 5); }), loadCode);
      if (loadCode == 0) {
        EXPECT_EQ(read, loaded);
      }
    }
}

// Values at and beside one block's room, in plain and scrambled files of two block sizes, read in
// passing along a scan whose read-ahead holds their blocks: each gives its own bytes, also after a
// value was rewritten in place here (its block's image read ahead before the rewrite) and after
// another's blocks were freed and taken by a new value.
TEST_F(BlobCorruption, OneBlockValuesReadInPassingAlongAScanGiveTheirOwnBytesAfterRewritesInPlace) {
  for (const uint32_t blockSize : {512u, 1024u})
    for (const bool encrypted : {false, true}) {
      SCOPED_TRACE(std::to_string(blockSize) + (encrypted ? " scrambled" : " plain"));
      const uint32_t room = blockSize - 18;
      const std::vector<uint32_t> lengths = {0, 1, room - 1, room, room + 1, 2, room, room - 1, 3 * room + 5};
      std::map<uint32_t, std::pair<uint32_t, std::vector<uint8_t>>> values;  // owner: first block, bytes
      {
        auto f = create(blockSize, encrypted);
        for (uint32_t owner = 1; owner <= lengths.size(); ++owner) {
          auto bytes = pattern(lengths[owner - 1], owner * 7);
          values[owner] = {store(*f, bytes, owner), bytes};
        }
      }
      auto f = open(blockSize, encrypted);
      const auto scan = [&](const char* when) {
        for (const auto& [owner, v] : values) {
          if (v.first == 0) continue;
          EXPECT_EQ(readInPassing(*f, v.first, owner), v.second) << when << ", owner " << owner;
        }
      };
      scan("as stored");
      // Read ahead again from the start, then rewritten before its own read.
      EXPECT_EQ(readInPassing(*f, values[2].first, 2), values[2].second);
      for (const uint32_t owner : {4u, 7u}) {
        auto& v = values[owner];
        v.second = pattern(v.second.size(), owner * 13 + 1);
        ASSERT_EQ(store(*f, v.second, owner, v.first, owner == 4), v.first) << "rewritten in place";
      }
      // Its blocks, read ahead, freed and taken by a new value of another owner.
      f->FreeBlobChain(values[5].first, true, 5);
      values.erase(5);
      values[20].second = pattern(room, 99);
      values[20].first = store(*f, values[20].second, 20);
      scan("after rewrites in place");
      f = reopen(f, blockSize, encrypted);
      scan("reopened");
    }
}

TEST_F(BlobCorruption, CycleIsFoundBeforeAnyBlockIsFreed) {
  auto f = create();
  store(*f, pattern(3 * 494, 19), 5);
  f->Close();
  setNext(3, 2);
  auto g = open();
  uint32_t first = 1;
  EXPECT_EQ(errorOf([&] { g->FreeBlobChain(first, true, 5); }), VELDOR_MEMOCORRUPT);
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(g->GetFreeBlockHead(), 0u);
}

TEST_F(BlobCorruption, BlockSharedByTwoValuesIsNeverFreedTwice) {
  auto f = create();
  uint32_t a = store(*f, pattern(2 * 494, 20), 1);  // blocks 1, 2
  uint32_t b = store(*f, pattern(2 * 494, 21), 2);  // blocks 3, 4
  f->Close();
  setNext(3, 2);  // b now runs into a's second block
  auto g = open();
  g->FreeBlobChain(a, false, 1);
  EXPECT_EQ(freeList(*g), (std::vector<uint32_t>{2, 1}));
  EXPECT_EQ(errorOf([&] { g->FreeBlobChain(b, true, 2); }), VELDOR_MEMOCORRUPT);
  EXPECT_EQ(freeList(*g), (std::vector<uint32_t>{2, 1}));
  EXPECT_EQ(b, 3u);
}

TEST_F(BlobCorruption, FreeingAnotherOwnersChainWithoutRepairRaises) {
  auto f = create();
  uint32_t a = store(*f, pattern(2 * 494, 22), 1);
  EXPECT_EQ(errorOf([&] { f->FreeBlobChain(a, false, 2); }), VELDOR_MEMOCORRUPT);
  f->FreeBlobChain(a, true, 2);
  EXPECT_EQ(freeList(*f).size(), 2u);
}

TEST_F(BlobCorruption, SavingIntoAChainThatRunsIntoItselfRaises) {
  auto f = create();
  store(*f, pattern(4 * 494, 23), 5);
  f->Close();
  setNext(2, 1);
  EXPECT_EQ(errorOf([&] { store(*open(), pattern(4 * 494, 24), 5, 1); }), VELDOR_MEMOCORRUPT);
}

TEST_F(BlobCorruption, FreeListRunningIntoItselfIsNotHandedOutTwice) {
  auto f = create();
  uint32_t a = store(*f, pattern(494, 25), 1);
  f->FreeBlobChain(a, false, 1);
  f->FlushDirtyBlocks();
  f->WriteHeader(false);
  f->Close();
  setNext(1, 1);
  EXPECT_EQ(errorOf([&] { open()->AllocateBlock(); }), VELDOR_MEMOCORRUPT);
}

TEST_F(BlobCorruption, FreeListHeadOnALiveBlockIsNotHandedOut) {
  auto f = create();
  const auto kept = pattern(2 * 494, 25);
  store(*f, kept, 1);
  f->Close();
  patchRaw(path, 9, le4(1));  // the header calls block 1, the first of a live value, free
  auto g = open();
  EXPECT_EQ(errorOf([&] { store(*g, pattern(100, 26), 2); }), VELDOR_MEMOCORRUPT);
  g->ClearBlockCache();
  EXPECT_EQ(load(*g, 1, 1), kept);
}

TEST_F(BlobCorruption, AppendingPastTheBlockOrByteLimitRaisesTableFull) {
  auto f = create();
  f->WriteHeader(true);
  f->Close();
  patchRaw(path, 13, le4(2000000001));
  auto g = open();
  TBlock* block = nullptr;
  EXPECT_EQ(errorOf([&] { g->GetBlock(nullptr, 2000000001, block, 1, false); }), VELDOR_TABLEFULL);
  g->Close();
  // With 512-byte blocks the byte limit comes first: block 7,812,499 ends at exactly 4,000,000,000.
  patchRaw(path, 13, le4(7812499));
  g->Open();
  ASSERT_TRUE(g->GetBlock(nullptr, 7812499, block, 1, false));
  g->ReleaseBlock(block);
  EXPECT_EQ(errorOf([&] { g->GetBlock(nullptr, 7812500, block, 1, false); }), VELDOR_TABLEFULL);
  g->ClearBlockCache();  // never written
}

TEST_F(BlobCorruption, BlockNumberZeroOrPastTheFileRaises) {
  auto f = create();
  store(*f, pattern(100, 26), 5);
  TBlock* block = nullptr;
  EXPECT_EQ(errorOf([&] { f->GetBlock(nullptr, 0, block, 1, false); }), VELDOR_MEMOCORRUPT);
  EXPECT_EQ(errorOf([&] { f->GetBlock(nullptr, 3, block, 1, false); }), VELDOR_MEMOCORRUPT);
}

// ---- Cache ----

using BlockCache = BlobFileTest;

TEST_F(BlockCache, ColdLoadReadsTheChainAfterItsFirstBlockInRunsAndStaysWithinCapacity) {
  auto f = create();
  const auto data = pattern(32 * 494, 28);
  store(*f, data, 1);
  auto g = reopen(f);
  EXPECT_EQ(load(*g, 1, 1), data);
  EXPECT_EQ(g->DiskReads(), 2u);  // the first block, then the 31 after it
  const auto big = pattern(300 * 494, 29);
  store(*g, big, 2);
  auto h = reopen(g);
  EXPECT_EQ(load(*h, 33, 2), big);
  EXPECT_LE(h->CachedBlockCount(), 64u);
  EXPECT_EQ(h->DiskReads(), 1u + (299u + 31) / 32);
}

// Values read one after another miss near each other: each miss reads the whole read-ahead run
// around its block, so a walk down the file (values read newest first) reads each run once, as a
// walk up does; a value read alone reads only its first block.
TEST_F(BlockCache, ValuesReadOneAfterAnotherReadEachRunOnceInEitherDirection) {
  auto f = create();
  std::map<uint32_t, std::vector<uint8_t>> values;  // by first block; the owner is the first block too
  for (uint32_t owner = 1; f->GetBlockCount() < 300; ++owner) {
    const auto data = pattern(owner % 7 == 0 ? 494 + owner : 1 + owner % 494, owner);
    const uint32_t first = f->GetFreeBlockNumber();
    store(*f, data, first);
    values[first] = data;
  }
  const uint64_t runs = (f->GetBlockCount() + 31) / 32;
  auto g = reopen(f);
  EXPECT_EQ(load(*g, values.begin()->first, values.begin()->first), values.begin()->second);
  EXPECT_EQ(g->DiskReads(), 1u);
  g = reopen(g);
  for (auto at = values.rbegin(); at != values.rend(); ++at)
    ASSERT_EQ(load(*g, at->first, at->first), at->second);
  EXPECT_LE(g->DiskReads(), runs + 1);
  EXPECT_LE(g->CachedBlockCount(), 64u);
  g = reopen(g);
  for (const auto& [first, data] : values) ASSERT_EQ(load(*g, first, first), data);
  EXPECT_LE(g->DiskReads(), runs + 1);
  // In any order the values are the same.
  g = reopen(g);
  std::vector<uint32_t> order;
  for (const auto& v : values) order.push_back(v.first);
  std::shuffle(order.begin(), order.end(), std::minstd_rand(35));
  for (uint32_t first : order) ASSERT_EQ(load(*g, first, first), values[first]);
}

// A run read around a block passes over the blocks the cache holds changed: they stay as changed.
TEST_F(BlockCache, ARunReadAroundABlockKeepsTheChangedBlocksItPasses) {
  auto f = create();
  for (uint32_t owner = 1; owner <= 160; ++owner) store(*f, pattern(100, owner), owner);
  auto g = reopen(f);
  table.transactionLock = true;
  EXPECT_EQ(load(*g, 3, 3), pattern(100, 3));
  const auto changed = pattern(200, 999);
  store(*g, changed, 10, 10, false);
  // Far away, so that the clean blocks of the first run leave the cache and the next miss near
  // them reads the run again.
  for (uint32_t owner = 97; owner <= 160; ++owner) ASSERT_EQ(load(*g, owner, owner), pattern(100, owner));
  EXPECT_EQ(load(*g, 5, 5), pattern(100, 5));
  EXPECT_EQ(load(*g, 6, 6), pattern(100, 6));
  EXPECT_EQ(load(*g, 10, 10), changed);
  table.transactionLock = false;
  g->FlushDirtyBlocks();
  g = reopen(g);
  EXPECT_EQ(load(*g, 10, 10), changed);
  EXPECT_EQ(load(*g, 11, 11), pattern(100, 11));
}

// Runs read among changed blocks give every value as last written, whatever mix of reads and
// writes in either direction: inside a transaction, where the cache fills with changed blocks
// that a search for room moves to the recent end, and outside one, where changed blocks are
// written out to make room and blocks read along with a run wait for their first use.
TEST_F(BlockCache, RunsReadAmongChangedBlocksGiveEveryValueAsLastWritten) {
  for (uint32_t seed = 1; seed <= 16; ++seed) {
    SCOPED_TRACE(seed);
    std::minstd_rand random(seed);
    table.transactionLock = false;
    auto f = create();
    std::map<uint32_t, std::vector<uint8_t>> values;  // by first block, which is the owner too
    for (uint32_t owner = 1; owner <= 96; ++owner) store(*f, values[owner] = pattern(100, owner), owner);
    auto g = reopen(f);
    table.transactionLock = seed % 2 == 0;
    for (int step = 0; step < 400; ++step) {
      const uint32_t at = 1 + uint32_t(random() % g->GetBlockCount());
      if (!values.count(at)) continue;
      switch (random() % 4) {
        case 0:
          store(*g, values[at] = pattern(1 + random() % 494, random()), at, at, !table.transactionLock);
          break;
        case 1: {
          const uint32_t first = g->GetFreeBlockNumber();
          store(*g, values[first] = pattern(1 + random() % 494, random()), first, 0, !table.transactionLock);
          break;
        }
        default:
          // A walk of a few values down or up from `at`.
          for (uint32_t n = at, left = 1 + random() % 40, up = random() % 2; left > 0 && values.count(n);
               --left) {
            ASSERT_EQ(load(*g, n, n), values[n]) << n;
            n = up ? n + 1 : n - 1;
          }
      }
    }
    for (const auto& [first, data] : values) ASSERT_EQ(load(*g, first, first), data) << first;
    g->ClearBlockCache();
  }
  table.transactionLock = false;
}

// A value read in passing is the one Load gives, whether its blocks are cached (changed or not),
// wait in the run last read, or are read anew, in either direction and over changes inside and
// outside a transaction; and the cache holds afterwards just what it held before.
TEST_F(BlockCache, ValuesReadInPassingAreTheLoadedOnesAndStayOutOfTheCache) {
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    SCOPED_TRACE(seed);
    std::minstd_rand random(seed);
    table.transactionLock = false;
    const bool encrypted = seed % 4 < 2;
    auto f = create(512, encrypted);
    std::map<uint32_t, std::vector<uint8_t>> values;  // by first block, which is the owner too
    for (uint32_t owner = 1; f->GetBlockCount() < 150; owner = f->GetFreeBlockNumber()) {
      const size_t length = owner % 9 == 0 ? 494 * (1 + random() % 5) + random() % 3 : 1 + random() % 494;
      store(*f, values[owner] = pattern(length, owner), owner);
    }
    auto g = reopen(f, 512, encrypted);
    table.transactionLock = seed % 2 == 0;
    for (int step = 0; step < 200; ++step) {
      const uint32_t at = 1 + uint32_t(random() % g->GetBlockCount());
      if (!values.count(at)) continue;
      if (random() % 3 == 0) {
        // Changed in place (kept to the blocks it has, so that the keys stay first blocks).
        const size_t length = values[at].size() <= 494 ? 1 + random() % 494 : values[at].size();
        store(*g, values[at] = pattern(length, random()), at, at, !table.transactionLock);
        continue;
      }
      const bool alsoLoad = random() % 2 == 0;
      const size_t cached = g->CachedBlockCount();
      for (uint32_t n = at, left = 1 + random() % 30, up = random() % 2; left > 0 && n >= 1; --left) {
        if (values.count(n)) {
          ASSERT_EQ(readInPassing(*g, n, n), values[n]) << n;
          if (alsoLoad) {
            ASSERT_EQ(load(*g, n, n), values[n]) << n;
          }
        }
        n = up ? n + 1 : n - 1;
      }
      if (!alsoLoad) {
        ASSERT_EQ(g->CachedBlockCount(), cached);
      }
    }
    for (const auto& [first, data] : values) ASSERT_EQ(readInPassing(*g, first, first), data) << first;
    table.transactionLock = false;
    g->FlushDirtyBlocks();
    g->WriteHeader(false);
    g->ClearBlockCache();
    for (const auto& [first, data] : values) ASSERT_EQ(readInPassing(*g, first, first), data) << first;
    EXPECT_EQ(g->CachedBlockCount(), 0u);
  }
  table.transactionLock = false;
}

// Values read in passing one after another (a scan reading a few of each row's values) read the
// file in runs of kPassingReadBytes, each once up the file; into a string they read as into bytes.
TEST_F(BlockCache, ValuesReadInPassingInOrderReadEachLongRunOnce) {
  auto f = create();
  std::map<uint32_t, std::vector<uint8_t>> values;  // by first block, which is the owner too
  for (uint32_t owner = 1; f->GetBlockCount() < 700; owner = f->GetFreeBlockNumber())
    store(*f, values[owner] = pattern(owner % 5 == 0 ? 494 * 2 + 7 : 1 + owner % 494, owner), owner);
  const uint64_t runs = (f->GetBlockCount() + kPassingReadBytes / 512 - 1) / (kPassingReadBytes / 512);
  auto g = reopen(f);
  for (const auto& [first, data] : values) ASSERT_EQ(readInPassing(*g, first, first), data) << first;
  EXPECT_LE(g->DiskReads(), runs + 1);
  EXPECT_EQ(g->CachedBlockCount(), 0u);
  g = reopen(g);
  std::string text;
  for (auto at = values.rbegin(); at != values.rend(); ++at) {
    g->ReadValue(nullptr, at->first, at->first, text);
    ASSERT_EQ(text, std::string(at->second.begin(), at->second.end())) << at->first;
  }
  // Down the file a chain that crosses into the run above reads that run again, and its own after.
  EXPECT_LE(g->DiskReads(), 3 * runs + 1);
}

// The blocks of a run wait in the read buffer for their first use; one that was in the cache when
// the run was read, or taken into it since, is read from the disk again once the cache lets it
// go: the buffer holds what it was before it was changed.
TEST_F(BlockCache, BlocksOfARunThatWereCachedSinceAreNotTakenFromItAgain) {
  auto f = create();
  for (uint32_t owner = 1; owner <= 64; ++owner) store(*f, pattern(100, owner), owner);
  auto g = reopen(f);
  EXPECT_EQ(load(*g, 9, 9), pattern(100, 9));  // alone: one block
  store(*g, pattern(150, 900), 9, 9);          // cached and changed before the run is read
  EXPECT_EQ(load(*g, 5, 5), pattern(100, 5));  // near: the run of blocks 1 to 32
  store(*g, pattern(150, 700), 7, 7);          // taken from the run, changed and written
  // New values push blocks 7 and 9 out of the cache without another run read.
  for (uint32_t owner = 65; owner <= 200; ++owner) store(*g, pattern(10, owner), owner);
  EXPECT_EQ(load(*g, 7, 7), pattern(150, 700));
  EXPECT_EQ(load(*g, 9, 9), pattern(150, 900));
  EXPECT_EQ(load(*g, 8, 8), pattern(100, 8));
}

// A file cut short reads as a read error also when the read begins at a run before the block.
TEST_F(BlockCache, AFileCutShortIsAReadErrorWhereverTheRunBegins) {
  auto f = create();
  for (uint32_t owner = 1; owner <= 40; ++owner) store(*f, pattern(100, owner), owner);
  f->Close();
  std::filesystem::resize_file(path, 512 + 35 * 512);
  auto g = open();
  EXPECT_EQ(load(*g, 34, 34), pattern(100, 34));
  EXPECT_EQ(errorOf([&] { load(*g, 37, 37); }), VELDOR_READERR);
}

TEST_F(BlockCache, InsideATransactionTheCacheGrowsInsteadOfWriting) {
  auto f = create();
  f->WriteHeader(true);
  table.transactionLock = true;
  const auto data = pattern(200 * 494, 30);
  store(*f, data, 1, 0, false);
  EXPECT_EQ(std::filesystem::file_size(path), 512u);
  EXPECT_GE(f->CachedBlockCount(), 200u);
  EXPECT_GE(f->CacheCapacity(), 200u);
  // Trimming cannot make room by writing the transaction's blocks either.
  f->TrimBlockCache();
  EXPECT_EQ(std::filesystem::file_size(path), 512u);
  EXPECT_GE(f->CachedBlockCount(), 200u);
  table.transactionLock = false;
  EXPECT_TRUE(f->FlushDirtyBlocks());
  f->WriteHeader(false);
  f->TrimBlockCache();
  EXPECT_EQ(f->CachedBlockCount(), 64u);
  EXPECT_EQ(f->CacheCapacity(), 64u);
  auto g = reopen(f);
  EXPECT_EQ(load(*g, 1, 1), data);
}

TEST_F(BlockCache, DroppingTheCacheKeepsPinnedBlocksUsableUntilReleased) {
  auto f = create();
  store(*f, pattern(100, 31), 1);
  PinnedBlock b = f->GetBlockPinned(1, 1);
  f->ClearBlockCache();
  EXPECT_EQ(f->CachedBlockCount(), 0u);
  EXPECT_EQ(b->GetOwnerId(), 1u);
  const size_t pooled = f->PoolCount();
  b.reset();
  EXPECT_EQ(f->PoolCount(), pooled + 1);
}

TEST_F(BlockCache, LoadStartsAgainWhenTheCursorReportsAnotherWriter) {
  auto f = create();
  const auto data = pattern(100 * 494, 33);
  store(*f, data, 1);
  auto g = reopen(f);
  int changes = 2;
  TestCursor cursor;
  cursor.onBeginRead = [&] {
    if (changes == 0) return false;
    --changes;
    g->ClearBlockCache();
    return true;
  };
  EXPECT_EQ(load(*g, 1, 1, &cursor), data);
  EXPECT_GE(cursor.beginReads, 3);
  table.strictChangeDetection = true;  // the operation holds the read lock: no check per read
  g->ClearBlockCache();
  cursor.beginReads = 0;
  EXPECT_EQ(load(*g, 1, 1, &cursor), data);
  EXPECT_EQ(cursor.beginReads, 0);
}

TEST_F(BlockCache, ReadingInPassingStartsAgainWhenTheCursorReportsAnotherWriter) {
  auto f = create();
  // Over several read-ahead runs, so that each attempt misses.
  const auto data = pattern(300 * 494, 35);
  store(*f, data, 1);
  auto g = reopen(f);
  int changes = 2;
  TestCursor cursor;
  cursor.onBeginRead = [&] {
    if (changes == 0) return false;
    --changes;
    g->ClearBlockCache();
    return true;
  };
  EXPECT_EQ(readInPassing(*g, 1, 1, &cursor), data);
  EXPECT_GE(cursor.beginReads, 3);
  // A writer that never stops changing the file is given up on. The read starts with nothing
  // read before it waiting (the whole value was read in one scan run).
  cursor.onBeginRead = [&] {
    g->ClearBlockCache();
    return true;
  };
  g->ClearBlockCache();
  EXPECT_EQ(errorOf([&] { readInPassing(*g, 1, 1, &cursor); }), VELDOR_LOCKTIMEOUT);
}

TEST_F(BlockCache, AFailedWriteKeepsTheBlocksDirtyForTheNextAttempt) {
  platform::FaultyFileSystem faulty(platform::FileSystem::local());
  TFileList faultyList(faulty);
  auto f = std::make_unique<TBlobFile>(table, &faultyList);
  f->SetName(path);
  f->CreateFile();
  f->WriteHeader(true);
  const auto data = pattern(10 * 494, 34);
  store(*f, data, 1, 0, false);
  faulty.setPlan({platform::Fault::NoSpace, 1, true});
  EXPECT_EQ(errorOf([&] { f->FlushDirtyBlocks(); }), VELDOR_WRITEERR);
  faulty.setPlan({});
  EXPECT_TRUE(f->FlushDirtyBlocks());
  f->WriteHeader(false);
  f->Close();
  EXPECT_EQ(load(*open(), 1, 1), data);
}

// ---- Locks ----

class BlobLocks : public BlobFileTest {
 protected:
  void SetUp() override {
    auto f = create();
    f->WriteHeader(true);
  }
  // A helper process that opens the blob file, takes the write lock and reports 'r'; told 'd',
  // it trades the write lock for a read slot and reports 'r' again; told 'q', it ends.
  Helper holder() {
    const std::string p = path;
    return Helper([p](Helper& self) {
      TestTable t;
      TFileList l;
      TBlobFile f(t, &l);
      f.SetName(p);
      f.Open();
      uint16_t slot = 0;
      if (!f.LockWrite()) return 2;
      self.send('r');
      while (char c = self.receive()) {
        if (c == 'q') return 0;
        if (c == 'd' && !(f.UnlockWrite() && f.LockRead(slot))) return 4;
        self.send('r');
      }
      return 3;
    });
  }
  std::unique_ptr<TBlobFile> impatient() {
    auto f = open();
    f->SetLockRetryRules({3, std::chrono::milliseconds(1)});
    return f;
  }
};

TEST_F(BlobLocks, AWriterInAnotherProcessKeepsEveryoneOutAndItsReaderKeepsWritersOut) {
  Helper other = holder();
  ASSERT_EQ(other.receive(), 'r');
  auto f = impatient();
  uint16_t slot = 0;
  EXPECT_FALSE(f->LockRead(slot));
  EXPECT_FALSE(f->LockWrite());
  other.send('d');
  ASSERT_EQ(other.receive(), 'r');
  EXPECT_TRUE(f->LockRead(slot));  // readers share
  EXPECT_GE(slot, 1);
  EXPECT_FALSE(f->LockWrite());
  EXPECT_TRUE(f->UnlockRead(slot));
  EXPECT_FALSE(f->LockWrite());  // the other reader still keeps a writer out
  other.send('q');
  ASSERT_EQ(other.wait(), 0);
  EXPECT_TRUE(f->LockWrite());
  EXPECT_FALSE(f->UnlockRead(slot));  // only a held range is released
  EXPECT_TRUE(f->UnlockWrite());
}

TEST_F(BlobLocks, TwoFileObjectsOfOneProcessExcludeEachOther) {
  auto a = impatient();
  auto b = impatient();
  ASSERT_TRUE(a->LockWrite());
  uint16_t slot = 7;
  EXPECT_FALSE(b->LockRead(slot));
  EXPECT_EQ(slot, 0);  // a failed attempt holds no slot, and releasing none is harmless
  EXPECT_TRUE(b->UnlockRead(slot));
  EXPECT_TRUE(a->UnlockWrite());
  EXPECT_TRUE(b->LockRead(slot));
  EXPECT_FALSE(a->LockWrite());
  EXPECT_TRUE(b->UnlockRead(slot));
}

}  // namespace
}  // namespace engine
