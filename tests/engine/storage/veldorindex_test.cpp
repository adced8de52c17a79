// Index file: header and descriptors, index definitions and their limits, the page format and
// its checks, damaged files, bounded restarts, counts after refused changes, locks.
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/storage/veldorbitmap.h"
#include "tests/engine/storage/index_test_util.h"

namespace {

using namespace index_test;
using platform::get2;
using platform::get4;
using platform::put2;
using platform::put4;

void ExpectEngineError(uint16_t code, const std::function<void()>& body) {
  EXPECT_EQ(storage_test::errorOf(body), code);
}

std::string Key8(uint32_t v) {
  return MakeKey(v, 8);
}

void Fill(IndexFileFixture& fx, uint32_t count) {
  TIndexTree tree = fx.tree();
  for (uint32_t i = 0; i < count; ++i) {
    tree.InsertKey(Bytes(Key8(i)), i + 1);
    fx.file->IncRecordCount();
  }
}

// ---- Header and descriptors ----

TEST(IndexFileHeaderTest, NewFileIsItsHeaderAloneWithTheTwoSystemIndexes) {
  IndexFileFixture fx({8, kcNone, true, false});
  fx.reopen();
  EXPECT_EQ(fx.file->GetNextPageNumber(), 1u);
  EXPECT_EQ(fx.file->GetKeySize(kSysDeletedSlot), 5);
  EXPECT_EQ(fx.file->GetKeySize(kSysTextSlot), 68);
  ASSERT_EQ(fx.bytes().size(), kIndexHeaderSize);
  EXPECT_EQ(fx.bytes()[8], 5);
}

TEST(IndexFileHeaderTest, ChangeCounterTellsAnotherWriter) {
  IndexFileFixture fx({8, kcNone, true, false});
  fx.reopen();  // a created file is held exclusively; an opened one is shared
  TIndexFile other(fx.owner);
  other.SetName(fx.path);
  other.Open();
  EXPECT_FALSE(other.HeaderChanged());
  fx.file->SetRecordCount(7);
  EXPECT_TRUE(fx.file->WriteHeader(false));
  EXPECT_FALSE(fx.file->WriteHeader(false));
  EXPECT_TRUE(other.HeaderChanged());
  EXPECT_EQ(other.GetRecordCount(), 7u);
  EXPECT_FALSE(fx.file->HeaderChanged());
  // The writer's unsaved state is not ours: taking its header leaves nothing to write back.
  EXPECT_FALSE(other.IsHeaderDirty());
  EXPECT_FALSE(other.WriteHeader(false));
  other.Close();
}

class IndexDefinitionTest : public testing::Test {
 protected:
  IndexDefinitionTest() : fx_({8, kcNone, true, false}) {}
  TIndexDescriptor secondary(const std::string& name) {
    TIndexDescriptor d;
    d.name = name;
    d.keySize = 8;
    d.unique = 1;
    d.fieldCount = 1;
    d.fields[0] = 1;
    return d;
  }
  void add(std::initializer_list<const char*> names) {
    for (const char* name : names) fx_.file->AddSecondaryIndex(secondary(name));
  }
  IndexFileFixture fx_;
};

TEST_F(IndexDefinitionTest, ThirtySecondaryIndexesAreAcceptedTheThirtyFirstRefusedAndRemovalKeepsTheOrder) {
  for (int i = 1; i <= 30; ++i)
    EXPECT_EQ(fx_.file->AddSecondaryIndex(secondary("Ix" + std::to_string(i))), i);
  ExpectEngineError(VELDOR_INDEXLIMIT, [&] { fx_.file->AddSecondaryIndex(secondary("Ix31")); });
  ExpectEngineError(VELDOR_INDEXLIMIT, [&] { fx_.file->SetIndexCount(31); });
  EXPECT_EQ(fx_.file->GetIndexName(kSysDeletedSlot), "Sys Deleted");
  // The removed descriptor is parked after the others.
  fx_.file->DeleteIndexDescriptor(5, true);
  EXPECT_EQ(fx_.file->GetIndexCount(), 29);
  for (int s = 1; s <= 29; ++s)
    EXPECT_EQ(fx_.file->GetIndexName(uint8_t(s)), "Ix" + std::to_string(s < 5 ? s : s + 1));
  EXPECT_EQ(fx_.file->GetIndexName(30), "Ix5");
}

TEST_F(IndexDefinitionTest, AFileCountingMoreThanThirtySecondaryIndexesDoesNotOpen) {
  fx_.flush();
  fx_.file->Close();
  std::vector<uint8_t> bytes = fx_.bytes();
  bytes[13] = 31;
  fx_.writeBytes(bytes);
  TIndexFile file(fx_.owner);
  file.SetName(fx_.path);
  ExpectEngineError(VELDOR_HEADERCORRUPT, [&] { file.Open(); });
  EXPECT_FALSE(file.IsOpen());
}

TEST_F(IndexDefinitionTest, NamesAndFieldsAreChecked) {
  ExpectEngineError(VELDOR_INDEXNAMEREQUIRED, [&] { fx_.file->AddSecondaryIndex(secondary("  ")); });
  ExpectEngineError(VELDOR_INVALIDINDEXNAME, [&] { fx_.file->AddSecondaryIndex(secondary("1st")); });
  add({"ByName"});
  ExpectEngineError(VELDOR_INDEXEXISTS, [&] { fx_.file->AddSecondaryIndex(secondary(" byname ")); });
  TIndexDescriptor many = secondary("Many");
  many.fieldCount = 17;
  ExpectEngineError(VELDOR_INDEXLIMIT, [&] { fx_.file->AddSecondaryIndex(many); });
  fx_.owner.fields.push_back({"MEMO", 3, 22, 8});
  TIndexDescriptor blob = secondary("OnBlob");
  blob.fields[0] = 2;
  ExpectEngineError(VELDOR_SEARCHCOLREQD, [&] { fx_.file->AddSecondaryIndex(blob); });
  ExpectEngineError(VELDOR_PRIMARYKEYREDEFINE, [&] { fx_.file->DefinePrimaryIndex(secondary("")); });
  EXPECT_TRUE(fx_.file->IndexNameExists("BYNAME"));
  fx_.reopen();
  EXPECT_NO_THROW(fx_.file->VerifyHeader());
}

TEST_F(IndexDefinitionTest, RemovingAnIndexKeepsTheFreeListOfOneRemovedEarlier) {
  add({"A", "B", "C"});
  // Give C pages, free them all, then remove C: its descriptor with the free list sits in slot 3.
  TIndexTree c(*fx_.file, fx_.cursor, 3);
  for (uint32_t i = 0; i < 400; ++i) c.InsertKey(Bytes(Key8(i)), i + 1);
  for (uint32_t i = 0; i < 400; ++i) ASSERT_TRUE(c.DeleteKey(Bytes(Key8(i)), i + 1));
  const uint32_t freeHead = fx_.file->GetFreePageHead(3);
  ASSERT_NE(freeHead, 0u);
  fx_.file->DeleteIndexDescriptor(3, true);
  fx_.file->DeleteIndexDescriptor(1, true);
  EXPECT_EQ(fx_.file->GetIndexName(1), "B");
  EXPECT_EQ(fx_.file->GetIndexName(2), "A");
  EXPECT_EQ(fx_.file->GetIndexName(3), "C");
  EXPECT_EQ(fx_.file->GetFreePageHead(3), freeHead);
  EXPECT_TRUE(fx_.sound(false));
}

TEST_F(IndexDefinitionTest, UnwrittenPagesFollowTheirIndexWhenAnEarlierOneIsRemoved) {
  add({"A", "B"});
  for (uint32_t i = 0; i < 300; ++i) TIndexTree(*fx_.file, fx_.cursor, 2).InsertKey(Bytes(Key8(i)), i + 1);
  // B's pages are still only in the cache when A goes and B moves down to slot 1.
  fx_.file->DeleteIndexDescriptor(1, true);
  TIndexTree b(*fx_.file, fx_.cursor, 1);
  EXPECT_EQ(b.KeyCount(), 300u);
  b.InsertKey(Bytes(Key8(1000)), 301);
  fx_.reopen();
  TIndexTree reread(*fx_.file, fx_.cursor, 1);
  EXPECT_EQ(reread.KeyCount(), 301u);
  uint64_t position = 0;
  for (uint32_t i = 0; i < 300; i += 37) EXPECT_TRUE(reread.FindKey(Bytes(Key8(i)), position)) << i;
}

// ---- Page format ----

class PageLoaderTest : public testing::Test {
 protected:
  // A saved leaf of `count` keys under the given options, as a plain image.
  std::vector<uint8_t> leafImage(uint16_t k, uint8_t compression, bool unique, uint32_t count) {
    TPage page;
    page.SetIndex(0, k, 0, unique, compression);
    page.SetPageType(ptRootLeaf);
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t pos = i;
      page.InsertEntry(Bytes(MakeKey(i * 3 + 1, k)), pos);
      page.SetEntryRef(pos, i + 1);
    }
    page.UpdateCompressedSize();
    std::vector<uint8_t> image(kIndexPageSize);
    page.SaveToBuffer(image.data());
    return image;
  }
};

TEST_F(PageLoaderTest, TrailingCompressionOfANonUniqueIndexKeepsTheLastFourBytes) {
  TPage page;
  page.SetIndex(1, 12, 0, 0, kcTrailing);
  page.SetPageType(ptRootLeaf);
  const uint8_t key[12] = {7, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  uint32_t pos = 0;
  page.InsertEntry(key, pos);
  page.SetEntryRef(pos, 9);
  page.UpdateCompressedSize();
  EXPECT_EQ(page.GetEntryTrailing(1), 6);  // only the first 8 bytes are compressible
  std::vector<uint8_t> image(kIndexPageSize);
  page.SaveToBuffer(image.data());
  EXPECT_EQ(get2(image.data() + 11), 12 - 6 + 5);
  // T, two key bytes, then the last four bytes, then the record number.
  EXPECT_EQ(image[13], 6);
  EXPECT_EQ(get4(image.data() + 13 + 1 + 2 + 4), 9u);
}

// A leaf of ten 8-byte keys, saved under `compression` and `unique`, then damaged by `edit`.
struct PageDamage {
  const char* what;
  uint8_t compression;
  bool unique;
  std::function<void(std::vector<uint8_t>&)> edit;
};

TEST_F(PageLoaderTest, DamagedPagesAreRefused) {
  const uint32_t second = 13 + (8 + 5);  // the second entry of a leading-compressed leaf
  const PageDamage damages[] = {
      {"unknown page type", kcNone, true, [](auto& b) { b[0] = 5; }},
      {"leaf entries above capacity", kcNone, true,
       [](auto& b) { put2(b.data() + 1, uint16_t(kPageDataSize / 12 + 1)); }},
      {"branch entries above capacity", kcNone, true,
       [](auto& b) { b[0] = ptBranch, put2(b.data() + 1, uint16_t(kPageDataSize / 16 + 1)); }},
      {"leading count on the first entry", kcLeading, true, [](auto& b) { b[13] = 1; }},
      {"leading count larger than the key", kcLeading, true, [&](auto& b) { b[second] = 9; }},
      {"trailing count past the compressible part", kcTrailing, false, [](auto& b) { b[13] = 5; }},
      {"trailing count where at most four bytes remain", kcBoth, false,
       [](auto& b) { b[13] = 0, b[14] = 200; }},
      {"used bytes past the page", kcLeading, true, [](auto& b) { put2(b.data() + 11, 4084); }},
      {"used bytes one short", kcLeading, true,
       [](auto& b) { put2(b.data() + 11, uint16_t(get2(b.data() + 11) - 1)); }},
      {"used bytes too many", kcLeading, true,
       [](auto& b) { put2(b.data() + 11, uint16_t(get2(b.data() + 11) + 3)); }},
      {"entries beyond the used bytes", kcBoth, true, [](auto& b) { put2(b.data() + 1, 900); }},
  };
  for (const PageDamage& d : damages) {
    SCOPED_TRACE(d.what);
    std::vector<uint8_t> image = leafImage(8, d.compression, d.unique, 10);
    d.edit(image);
    TPage page;
    page.SetIndex(0, 8, 0, d.unique, d.compression);
    ExpectEngineError(VELDOR_INDEXCORRUPT, [&] { page.LoadFromBuffer(image.data(), false); });
  }
}

TEST_F(PageLoaderTest, KeyOfOneByteFillsTwoPagesWithoutOverflow) {
  IndexFileFixture fx({1, kcNone, true, false});
  TIndexTree tree = fx.tree();
  for (uint32_t v = 0; v < 256; ++v) {
    tree.InsertKey(Bytes(MakeKey(v, 1)), v + 1);
    fx.file->IncRecordCount();
  }
  // Deleting from the middle makes the two leaves balance and merge through a full page's
  // worth of entries.
  for (uint32_t v = 60; v < 200; ++v) {
    ASSERT_TRUE(tree.DeleteKey(Bytes(MakeKey(v, 1))));
    fx.file->DecRecordCount();
  }
  EXPECT_TRUE(fx.sound());
  EXPECT_EQ(tree.KeyCount(), 116u);
}

TEST_F(PageLoaderTest, BitmapScansStopAtTheFirstMarkedRecordOrPastTheStopKey) {
  // Keys 1..10 with records 101..110, of which 104 and 108 are marked; the stop key is 6.
  TPage page;
  page.SetIndex(0, 8, 0, 1, kcNone);
  page.SetPageType(ptRootLeaf);
  auto key = [](uint32_t v) { return std::string(7, '\0') + char(v); };
  for (uint32_t i = 1; i <= 10; ++i) {
    uint32_t pos = i - 1;
    page.InsertEntry(Bytes(key(i)), pos);
    page.SetEntryRef(pos, 100 + i);
  }
  TRecordsBitmap bitmap;
  bitmap.SetSize(200);
  bitmap.ClearAll();
  bitmap.SetBit(104);
  bitmap.SetBit(108);
  TIndexCursor cursor;
  const std::string stop = key(6);
  enum Kind { Forward, Backward, ForwardToKey, BackwardToKey };
  // Records: the running record position, which a backward scan never takes below 0.
  struct Scan {
    Kind kind;
    uint32_t from;
    uint64_t records;
    bool found;
    uint32_t to;
    uint64_t recordsAfter;
  } const scans[] = {
      {Forward, 1, 0, true, 4, 3},        {Backward, 5, 3, true, 4, 2},
      {Forward, 9, 2, false, 11, 4},      {ForwardToKey, 5, 0, false, 7, 2},
      {BackwardToKey, 10, 2, true, 8, 0}, {BackwardToKey, 7, 0, false, 5, 0},
      {Backward, 3, 0, false, 0, 0},
  };
  for (const Scan& s : scans) {
    SCOPED_TRACE(testing::Message() << "kind " << s.kind << " from " << s.from);
    uint32_t position = s.from;
    uint64_t records = s.records;
    const bool found = s.kind == Forward    ? page.ScanForwardInBitmap(bitmap, position, records)
                       : s.kind == Backward ? page.ScanBackwardInBitmap(bitmap, position, records)
                       : s.kind == ForwardToKey
                           ? page.ScanForwardInBitmapToKey(cursor, bitmap, Bytes(stop), position, records)
                           : page.ScanBackwardInBitmapToKey(cursor, bitmap, Bytes(stop), position, records);
    EXPECT_EQ(found, s.found);
    EXPECT_EQ(position, s.to);
    EXPECT_EQ(records, s.recordsAfter);
  }
}

// ---- The text index ----

TEST(TextIndexTest, BranchesWithoutCountsAndTheRawParameterPageHoldThroughReopen) {
  IndexFileFixture fx({8, kcNone, true, false});
  TIndexTree text(*fx.file, fx.cursor, kSysTextSlot);
  std::set<std::string> keys;
  for (uint32_t i = 0; i < 1200; ++i) {
    const std::string word = MakeKey(i * 13, 64) + MakeKey(i, 4);  // text, then the record's id
    keys.insert(word);
    text.InsertKey(Bytes(word), i + 1);
  }
  for (uint32_t i = 0; i < 1200; i += 4) {
    auto it = keys.begin();
    std::advance(it, (i * 7) % keys.size());
    ASSERT_TRUE(text.DeleteKey(Bytes(*it)));
    keys.erase(it);
  }
  // The parameter page: 4083 bytes kept as they are.
  fx.cursor.SetCurrentIndex(kSysTextSlot);
  TPage* raw = nullptr;
  ASSERT_TRUE(fx.file->NewPage(fx.cursor, raw));
  raw->SetPageType(ptRaw);
  for (uint32_t i = 0; i < kPageDataSize; ++i) raw->RawData()[i] = uint8_t(i * 3);
  fx.file->SetTextParamsPage(raw->GetPageNumber());
  fx.file->ReleasePage(raw);
  fx.reopen();
  ASSERT_TRUE(fx.sound(false));
  TPage* root = fx.pinRoot(kSysTextSlot);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->GetPageType(), ptRootBranch);
  fx.file->ReleasePage(root);
  std::vector<std::string> seen;
  TIndexTree(*fx.file, fx.cursor, kSysTextSlot).ForEachKey([&](const uint8_t* key, uint32_t) {
    seen.emplace_back(reinterpret_cast<const char*>(key), 68);
  });
  EXPECT_EQ(seen, std::vector<std::string>(keys.begin(), keys.end()));
  bool failed = false;
  ASSERT_TRUE(fx.file->GetTextParamsPage(fx.cursor, raw, failed));
  ASSERT_FALSE(failed);
  EXPECT_EQ(raw->GetPageType(), ptRaw);
  for (uint32_t i = 0; i < kPageDataSize; ++i) ASSERT_EQ(raw->RawData()[i], uint8_t(i * 3));
  fx.file->ReleasePage(raw);
}

// ---- Compressed leaves ----

TEST(CompressedLeafTest, DeleteThatLengthensTheNextEntrySplitsTheFullPage) {
  IndexFileFixture fx({68, kcBoth, true, false});
  TIndexTree tree = fx.tree();
  // Key pairs B, C: two bytes of x, zeros, and C ends in 1.
  auto key = [](uint32_t x, char last) {
    return std::string{char(x >> 8), char(x)} + std::string(65, '\0') + last;
  };
  // Pairs of 7-byte entries: a root leaf of 582 entries uses 4074 bytes.
  for (uint32_t x = 1; x <= 291; ++x) {
    tree.InsertKey(Bytes(key(x, 0)), 2 * x - 1);
    tree.InsertKey(Bytes(key(x, 1)), 2 * x);
    fx.file->IncRecordCount();
    fx.file->IncRecordCount();
  }
  TPage* root = fx.pinRoot(0);
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(root->GetPageType(), ptRootLeaf);
  EXPECT_GT(root->GetUsedBytes(), kPageDataSize - 60);
  fx.file->ReleasePage(root);
  // Without B, C shares one byte with the C before it and needs 73 bytes instead of 7.
  ASSERT_TRUE(tree.DeleteKey(Bytes(key(150, 0))));
  fx.file->DecRecordCount();
  ASSERT_TRUE(fx.sound());
  EXPECT_EQ(tree.KeyCount(), 581u);
  uint64_t position = 0;
  EXPECT_TRUE(tree.FindKey(Bytes(key(150, 1)), position));
  EXPECT_EQ(position, 299u);
}

// ---- Counts after refused changes ----

TEST(RefusedChangeTest, DamagedLeafOnThePathLeavesTheCountsAbove) {
  IndexFileFixture fx({8, kcNone, true, false});
  Fill(fx, 3000);
  fx.reopen();
  // Damage the leaf that holds the key, insert into it, then repair the leaf on disk.
  const std::string probe = Key8(1500);
  uint32_t leaf = 0;
  std::vector<uint8_t> good;
  fx.editPages([&](uint32_t p, std::vector<uint8_t>& page) {
    for (uint32_t e = 0; page[0] == ptLeaf && e < get2(page.data() + 1); ++e)
      if (std::memcmp(page.data() + 13 + e * 12, probe.data(), 8) == 0) leaf = p, good = page, page[0] = 9;
    return leaf == p;
  });
  ASSERT_NE(leaf, 0u);
  std::string next = probe;
  next[7] = char(next[7] + 1);  // right after the probe, in the same leaf
  TIndexTree tree = fx.tree();
  ExpectEngineError(VELDOR_INDEXCORRUPT, [&] { tree.InsertKey(Bytes(next), 77777); });
  fx.flush();
  fx.putPageImage(leaf, good);
  fx.file->ClearPageCache();
  EXPECT_TRUE(fx.sound());
  EXPECT_EQ(tree.KeyCount(), 3000u);
}

// ---- Damaged files ----

TEST(DamagedIndexTest, ChildLinkToAnAncestorRaisesInsteadOfLooping) {
  IndexFileFixture fx({200, kcNone, true, false});
  for (uint32_t i = 0; i < 300; ++i) fx.tree().InsertKey(Bytes(MakeKey(i, 200)), i + 1);
  fx.reopen();
  // Point every child of every non-root branch at that branch itself.
  fx.editPages([](uint32_t p, std::vector<uint8_t>& page) {
    for (uint32_t e = 0; page[0] == ptBranch && e < get2(page.data() + 1); ++e)
      put4(page.data() + 13 + e * 208 + 200, p);
    return page[0] == ptBranch;
  });
  TIndexTree tree = fx.tree();
  uint64_t position = 0;
  ExpectEngineError(VELDOR_INDEXCORRUPT, [&] { tree.FindKey(Bytes(MakeKey(10, 200)), position); });
  ExpectEngineError(VELDOR_INDEXCORRUPT, [&] { tree.InsertKey(Bytes(MakeKey(100000, 200)), 5); });
  EXPECT_FALSE(fx.check(false).ok());
}

TEST(DamagedIndexTest, LeafChainThatTurnsBackRaises) {
  IndexFileFixture fx({8, kcNone, true, false});
  Fill(fx, 2000);
  fx.reopen();
  bool done = false;
  fx.editPages([&](uint32_t, std::vector<uint8_t>& page) {
    if (done || page[0] != ptLeaf || get4(page.data() + 7) == 0 || get4(page.data() + 3) == 0) return false;
    put4(page.data() + 7, get4(page.data() + 3));  // next := previous
    return done = true;
  });
  TRecordsBitmap bitmap;
  bitmap.SetSize(2000);
  bitmap.ClearAll();
  bitmap.SetBit(7);
  ExpectEngineError(VELDOR_INDEXCORRUPT, [&] { fx.tree().AddRangeToBitmap(nullptr, nullptr, bitmap); });
  // The leaves walked before the damage gave nothing.
  EXPECT_EQ(bitmap.CountSet(), 1u);
  EXPECT_TRUE(bitmap.GetBit(7));
}

TEST(DamagedIndexTest, FreeListThatPointsIntoTheTreeRaises) {
  IndexFileFixture fx({8, kcNone, true, false});
  Fill(fx, 2000);
  fx.file->SetFreePageHead(0, fx.file->GetRootPageNumber(0));
  fx.reopen();
  TIndexTree tree = fx.tree();
  ExpectEngineError(VELDOR_INDEXCORRUPT, [&] {
    for (uint32_t i = 0; i < 2000; ++i) tree.InsertKey(Bytes(Key8(100000 + i)), 5000 + i);
  });
}

TEST(DamagedIndexTest, ChildLinkNamingThePageAfterTheLastRaises) {
  IndexFileFixture fx({8, kcNone, true, false});
  Fill(fx, 2000);
  fx.reopen();
  const uint32_t root = fx.file->GetRootPageNumber(0);
  const uint32_t pagesBefore = fx.file->GetNextPageNumber();
  fx.editPages([&](uint32_t p, std::vector<uint8_t>& page) {
    if (p == root) put4(page.data() + 13 + 8, pagesBefore);
    return p == root;
  });
  uint64_t position = 0;
  ExpectEngineError(VELDOR_INDEXCORRUPT, [&] { fx.tree().FindKey(Bytes(Key8(1)), position); });
  EXPECT_EQ(fx.file->GetNextPageNumber(), pagesBefore);
}

// Random bit flips and cuts: every failure is an engine error, never a crash (under ASan and
// UBSan in the test build) and never a hang.
TEST(DamagedIndexTest, BitFlipsAndTruncationGiveEngineErrors) {
  std::mt19937 rng(testSeed());
  for (uint8_t compression = kcNone; compression <= kcBoth; ++compression) {
    IndexFileFixture fx({12, compression, compression % 2 == 0, compression == kcBoth});
    TIndexTree build = fx.tree();
    std::vector<std::string> keys;
    for (uint32_t i = 0; i < 1500; ++i) {
      keys.push_back(MakeKey(i * 7, 12));
      build.InsertKey(Bytes(keys.back()), i + 1);
    }
    fx.reopen();
    fx.file->Close();
    const std::vector<uint8_t> pristine = fx.bytes();
    for (int round = 0; round < 40; ++round) {
      std::vector<uint8_t> damaged = pristine;
      const size_t pages = damaged.size() - kIndexHeaderSize;
      if (round % 5 == 4) damaged.resize(kIndexHeaderSize + rng() % pages);
      for (int f = 1 + int(rng() % 16); f > 0 && round % 5 != 4; --f)
        damaged[(round % 7 == 6 ? 0 : kIndexHeaderSize) + rng() % pages] ^= uint8_t(1u << (rng() % 8));
      fx.writeBytes(damaged);
      TIndexFile file(fx.owner);
      file.SetName(fx.path);
      TIndexCursor cursor;
      try {
        file.Open();
        file.VerifyHeader();
        TIndexTree tree(file, cursor, fx.slot);
        uint64_t position = 0;
        for (size_t i = 0; i < keys.size(); i += 13) tree.FindKey(Bytes(keys[i]), position);
        for (uint32_t i = 0; i < 200; ++i) tree.InsertKey(Bytes(MakeKey(i * 7 + 3, 12)), 9000 + i);
        for (size_t i = 0; i < keys.size(); i += 3) tree.DeleteKey(Bytes(keys[i]));
        uint8_t key[12];
        uint32_t ref = 0;
        tree.KeyAtPosition(100, key, ref);
        file.FlushDirtyPages();
      } catch (const EVELDOREngineError&) {
        // The expected outcome for most damage; anything else fails the test.
      }
      file.ClearPageCache();
      file.Close();
    }
  }
}

// ---- Restarts ----

class AlwaysChangedCursor : public TIndexCursor {
 public:
  bool BeginRead() override { return ++reads > 0; }
  int reads = 0;
};

TEST(RestartTest, ATableThatAlwaysReportsAChangeEndsInAnErrorNotALoop) {
  IndexFileFixture fx({8, kcNone, true, false});
  Fill(fx, 500);
  fx.reopen();
  AlwaysChangedCursor cursor;
  TIndexTree tree(*fx.file, cursor, 0);
  uint64_t position = 0;
  ExpectEngineError(VELDOR_INDEXCORRUPT, [&] { tree.FindKey(Bytes(Key8(3)), position); });
  EXPECT_EQ(cursor.reads, TIndexTree::kMaxRestarts + 1);
  // With strict change detection the cursor is not asked.
  fx.owner.strictChangeDetection = true;
  EXPECT_TRUE(tree.FindKey(Bytes(Key8(3)), position));
}

// A cursor that sees another writer's change at its `changeAt`-th read (0: never).
class ChangedOnceCursor : public TIndexCursor {
 public:
  explicit ChangedOnceCursor(int changeAt) : changeAt_(changeAt) {}
  bool BeginRead() override { return ++reads == changeAt_; }
  int reads = 0;

 private:
  int changeAt_;
};

// A key range's walk that meets a change part way is begun again: the bitmap gains the range's
// records once and keeps those it held, for a range of a few records and one of most of the
// table; a walk that ends in an error (every read a change) leaves the bitmap as it was.
TEST(RestartTest, ARangeWalkBegunAgainAddsItsRecordsOnceAndAFailedOneNone) {
  constexpr uint32_t kKeys = 5000;
  IndexFileFixture fx({8, kcNone, true, false});
  Fill(fx, kKeys);
  auto held = [] {
    TRecordsBitmap bitmap;
    bitmap.SetSize(kKeys);
    bitmap.ClearAll();
    for (const uint32_t record : {1u, 2500u, kKeys}) bitmap.SetBit(record);
    return bitmap;
  };
  auto members = [](const TRecordsBitmap& bitmap) {
    std::vector<uint32_t> records;
    for (uint32_t r = 1; r <= bitmap.Count(); ++r)
      if (bitmap.GetBit(r)) records.push_back(r);
    return records;
  };
  for (const auto& [lo, hi] : {std::pair<uint32_t, uint32_t>{100, 140}, {10, 4900}}) {
    // Key i refers to record i + 1; keys compare as bytes.
    TRecordsBitmap expected = held();
    for (uint32_t k = 0; k < kKeys; ++k)
      if (Key8(lo) <= Key8(k) && Key8(k) <= Key8(hi)) expected.SetBit(k + 1);
    for (const int changeAt : {0, 1, 2, 3, 5, 8}) {
      SCOPED_TRACE(std::to_string(lo) + ".." + std::to_string(hi) + " changed at read " +
                   std::to_string(changeAt));
      fx.reopen();
      ChangedOnceCursor cursor(changeAt);
      TRecordsBitmap bitmap = held();
      TIndexTree(*fx.file, cursor, 0).AddRangeToBitmap(Bytes(Key8(lo)), Bytes(Key8(hi)), bitmap);
      EXPECT_EQ(members(bitmap), members(expected));
      EXPECT_EQ(bitmap.CountSet(), expected.CountSet());
    }
    fx.reopen();
    AlwaysChangedCursor always;
    TRecordsBitmap bitmap = held();
    ExpectEngineError(VELDOR_INDEXCORRUPT, [&] {
      TIndexTree(*fx.file, always, 0).AddRangeToBitmap(Bytes(Key8(lo)), Bytes(Key8(hi)), bitmap);
    });
    EXPECT_EQ(members(bitmap), members(held()));
  }
}

// A cursor whose `changeAt`-th read meets a change another process made just then (`change`):
// the file's pages and header are dropped, as a table drops them when it sees another writer.
class WriterBetweenReadsCursor : public TIndexCursor {
 public:
  WriterBetweenReadsCursor(IndexFileFixture& fx, int changeAt, std::function<void()> change)
      : fx_(fx), changeAt_(changeAt), change_(std::move(change)) {}
  bool BeginRead() override {
    if (++reads != changeAt_) return false;
    change_();
    fx_.file->ClearPageCache();
    fx_.file->ReadHeader();
    return true;
  }
  int reads = 0;

 private:
  IndexFileFixture& fx_;
  int changeAt_;
  std::function<void()> change_;
};

// A range walk that has passed a leaf when another process removes keys from it is begun again,
// and the bitmap gets that walk's records alone: none whose key is gone, none lost. For a range
// whose records the walk keeps in a list, and one past the list, kept in a copy of the bitmap.
TEST(RestartTest, ARangeWalkBegunAgainAfterAnotherWritersChangeKeepsNothingOfTheFirstWalk) {
  constexpr uint32_t kKeys = 5000;
  // Keys of values 1 or 2 modulo 3 follow the values' order (the others sort after them all).
  auto ordered = [](uint32_t v) { return v % 3 != 0; };
  for (const bool pastTheList : {false, true}) {
    SCOPED_TRACE(pastTheList ? "records past the list" : "records in the list");
    IndexFileFixture fx({8, kcNone, true, false});
    Fill(fx, kKeys);
    fx.reopen();
    auto emptyBitmap = [] {
      TRecordsBitmap bitmap;
      bitmap.SetSize(kKeys);
      bitmap.ClearAll();
      return bitmap;
    };
    // The pages a walk of lo..hi reads: each read asks the cursor once.
    auto readsOf = [&](uint32_t lo, uint32_t hi) {
      WriterBetweenReadsCursor counter(fx, 0, {});
      TRecordsBitmap bitmap = emptyBitmap();
      TIndexTree(*fx.file, counter, 0).AddRangeToBitmap(Bytes(Key8(lo)), Bytes(Key8(hi)), bitmap);
      return counter.reads;
    };
    // The first value of the leaf after the one holding `from`: a walk that ends on a leaf's last
    // key reads the leaf after it.
    auto nextLeaf = [&](uint32_t from) {
      const int one = readsOf(from, from);
      uint32_t v = from + 1;
      while (v < kKeys && (!ordered(v) || readsOf(from, v) == one)) ++v;
      do ++v;
      while (!ordered(v));
      return v;
    };
    const uint32_t second = nextLeaf(1);
    const uint32_t third = nextLeaf(second);
    ASSERT_LT(third, kKeys);
    // From within the second leaf into the third: the change comes as the third is read.
    const uint32_t lo = pastTheList ? second : third - 60;
    const uint32_t hi = third + 9;
    ASSERT_TRUE(ordered(lo) && ordered(hi));
    ASSERT_LE(second, lo);
    uint32_t beforeChange = 0;
    for (uint32_t v = lo; v < third; ++v) beforeChange += ordered(v);
    if (pastTheList)
      ASSERT_GT(beforeChange, 64u);
    else
      ASSERT_LE(beforeChange + 10, 64u);
    const int changeAt = readsOf(lo, lo) + 1;
    ASSERT_EQ(readsOf(lo, hi), changeAt);

    // The other process removes the keys of even values in the range, on both sides of the leaf
    // boundary.
    auto removeEven = [&] {
      storage_test::Helper writer([&](storage_test::Helper&) {
        TIndexFile file(fx.owner);
        file.SetName(fx.path);
        file.Open();
        file.VerifyHeader();
        TIndexCursor cursor;
        TIndexTree tree(file, cursor, 0);
        for (uint32_t v = lo; v <= hi; ++v)
          if (ordered(v) && v % 2 == 0 && !tree.DeleteKey(Bytes(Key8(v)), v + 1)) return 1;
        file.FlushDirtyPages();
        file.WriteHeader(false);
        file.Close();
        return 0;
      });
      EXPECT_EQ(writer.wait(), 0);
    };
    WriterBetweenReadsCursor cursor(fx, changeAt, removeEven);
    TRecordsBitmap bitmap = emptyBitmap();
    bitmap.SetBit(2);
    TIndexTree(*fx.file, cursor, 0).AddRangeToBitmap(Bytes(Key8(lo)), Bytes(Key8(hi)), bitmap);
    EXPECT_GT(cursor.reads, changeAt);
    std::vector<uint32_t> expected{2};
    for (uint32_t v = lo; v <= hi; ++v)
      if (ordered(v) && v % 2 != 0) expected.push_back(v + 1);
    std::vector<uint32_t> members;
    for (uint32_t r = 1; r <= kKeys; ++r)
      if (bitmap.GetBit(r)) members.push_back(r);
    EXPECT_EQ(members, expected);
    EXPECT_EQ(bitmap.CountSet(), expected.size());
  }
}

// ---- Page cache ----

TEST(PageCacheTest, GrowsOnlyWhileEveryPageIsPinnedOrDirtyAndTrimsBack) {
  IndexFileFixture fx({8, kcNone, true, false});
  fx.owner.transactionLock = true;
  Fill(fx, 5000);
  EXPECT_GT(fx.file->CachedPageCount(0), 2u);
  EXPECT_EQ(fx.bytes().size(), kIndexHeaderSize);  // nothing written under the transaction
  fx.owner.transactionLock = false;
  fx.flush();
  fx.file->TrimPageCache();
  EXPECT_LE(fx.file->CachedPageCount(0), 2u);
  EXPECT_LE(fx.file->PooledPageCount(), TPageStack::kCapacity);
  EXPECT_TRUE(fx.sound());
}

TEST(PageCacheTest, EmptyDropsCachedPagesAndReusesNothingStale) {
  IndexFileFixture fx({8, kcNone, true, false});
  Fill(fx, 3000);
  fx.file->Empty();
  fx.file->SetRecordCount(0);
  EXPECT_EQ(fx.file->GetNextPageNumber(), 1u);
  EXPECT_EQ(fx.file->CachedPageCount(0), 0u);
  Fill(fx, 100);
  fx.reopen();
  EXPECT_TRUE(fx.sound());
}

TEST(PageCacheTest, APagePinnedWhileTheCacheIsClearedStaysValidUntilReleased) {
  IndexFileFixture fx({8, kcNone, true, false});
  Fill(fx, 1000);
  fx.flush();
  TPage* root = fx.pinRoot(0);
  ASSERT_NE(root, nullptr);
  const uint32_t count = root->GetEntryCount();
  fx.file->ClearPageCache();
  EXPECT_EQ(fx.file->CachedPageCount(0), 0u);
  EXPECT_EQ(root->GetEntryCount(), count);  // still the caller's page
  fx.file->ReleasePage(root);
  uint64_t position = 0;
  EXPECT_TRUE(fx.tree().FindKey(Bytes(Key8(500)), position));
}

// ---- Locks ----

TEST(IndexLockTest, AWriterExcludesReadersOfAnotherProcessAndOnlyHeldLocksAreReleased) {
  IndexFileFixture fx(IndexSetup{});
  fx.flush();
  fx.file->Close();
  auto openFile = [&] {
    auto file = std::make_unique<TIndexFile>(fx.owner);
    file->SetName(fx.path);
    file->Open();
    return file;
  };
  storage_test::Helper helper([&](storage_test::Helper& h) {
    auto file = openFile();
    if (!file->LockWrite()) return 1;
    h.send('w');
    h.receive();
    file->UnlockWrite();
    h.send('u');
    h.receive();
    return 0;
  });
  ASSERT_EQ(helper.receive(), 'w');
  auto file = openFile();
  file->SetLockRetryRules({3, std::chrono::milliseconds(1)});
  uint16_t slot = 0;
  EXPECT_FALSE(file->LockRead(slot));
  EXPECT_FALSE(file->LockWrite());
  helper.send('g');
  ASSERT_EQ(helper.receive(), 'u');
  EXPECT_TRUE(file->LockRead(slot));
  EXPECT_NE(slot, 0);
  EXPECT_TRUE(file->UnlockRead(slot));
  EXPECT_FALSE(file->UnlockRead(slot)) << "a release of a lock not held fails";
  helper.send('g');
  EXPECT_EQ(helper.wait(), 0);
  ASSERT_TRUE(file->LockWrite());
  EXPECT_TRUE(file->UnlockWrite());
  EXPECT_FALSE(file->UnlockWrite());
}

}  // namespace
