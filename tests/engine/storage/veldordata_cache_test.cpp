// The record cache of the data file: read-ahead runs, the recently-used victim rule, pinned and
// dirty records, write-back in runs, growth under the transaction lock, and reads that reach
// past the end of the file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>

#include "datafile_test_util.h"
#include "platform/faultfs.h"
#include "storage_test_util.h"

namespace engine {
namespace {

using namespace datafile_test;
using platform::testing::TempFolder;

// Record sizes: 993 bytes give a cache of 16 records and runs of 8; 4009 bytes a cache of 4 and
// runs of 2.
constexpr int kMediumFields = 4;
constexpr uint8_t kMediumSize = 245;
constexpr int kLargeFields = 16;
constexpr uint8_t kLargeSize = 249;

class RecordCacheTest : public ::testing::Test {
 protected:
  std::unique_ptr<TDataFile> make() {
    auto f = std::make_unique<TDataFile>(&table, false, &list);
    f->SetName(path);
    return f;
  }
  // A table of `records` records written to disk, opened again with an empty cache.
  std::unique_ptr<TDataFile> openTable(int fields, uint8_t size, uint32_t records, bool encrypted = false) {
    {
      auto f = make();
      f->DefineStructure(0, 0, 0, 0, encrypted, encrypted ? "pw" : "", "", 0, byteFields(fields, size));
      appendRecords(*f, records);
      flushAll(*f);
    }
    auto f = make();
    f->Open();
    f->VerifyHeader();
    table.writes = 0;
    return f;
  }
  TRecord* get(TDataFile& f, uint32_t n, bool readAhead = false, bool forward = true) {
    TRecord* r = nullptr;
    EXPECT_TRUE(f.GetRecord(nullptr, n, r, forward, false, readAhead));
    return r;
  }
  // Reads `n` alone, changes its fields from `seed` and releases it (dirty).
  void modify(TDataFile& f, uint32_t n, uint32_t seed) {
    TRecord* r = get(f, n);
    fillRecord(*r, seed);
    f.ReleaseRecord(r);
  }
  bool cached(TDataFile& f, uint32_t n) {
    const uint64_t reads = f.GetCacheCounters().readCalls;
    f.ReleaseRecord(get(f, n));
    return f.GetCacheCounters().readCalls == reads;
  }
  std::vector<uint8_t> slotOnDisk(TDataFile& f, uint32_t n) {
    const std::vector<uint8_t> bytes = readFileBytes(path);
    const size_t start = 127 + f.GetFieldCount() * 768 + size_t(n - 1) * f.GetRecordSize();
    return std::vector<uint8_t>(bytes.begin() + start, bytes.begin() + start + f.GetRecordSize());
  }
  std::vector<uint8_t> image(TDataFile& f, uint32_t n) {
    TRecord* r = get(f, n);
    std::vector<uint8_t> out(r->GetBuffer(), r->GetBuffer() + f.GetRecordSize());
    f.ReleaseRecord(r);
    return out;
  }

  TempFolder dir;
  TFileList list;
  TestTable table;
  TestCursor cursor;
  const std::string path = dir.path("LOG.DAT");
};

// ---- Sizes and read-ahead ----

using RecordCacheReadAhead = RecordCacheTest;

TEST_F(RecordCacheReadAhead, AForwardMissReadsOneRunAndLaterRecordsAreHits) {
  auto f = openTable(kMediumFields, kMediumSize, 40);
  f->ReleaseRecord(get(*f, 1, true));
  EXPECT_EQ(f->GetCacheCount(), 8u);
  for (uint32_t n = 2; n <= 8; ++n) f->ReleaseRecord(get(*f, n));
  EXPECT_EQ(f->GetCacheCounters().readCalls, 1u);
  EXPECT_EQ(f->GetCacheCounters().hits, 7u);
  f->ReleaseRecord(get(*f, 37, true));
  EXPECT_EQ(f->GetCacheCount(), 12u) << "the run stops at the last record";
}

TEST_F(RecordCacheReadAhead, ABackwardMissReadsTheRunEndingAtTheRecord) {
  auto f = openTable(kMediumFields, kMediumSize, 40);
  f->ReleaseRecord(get(*f, 30, true, false));
  EXPECT_TRUE(cached(*f, 23));
  EXPECT_TRUE(cached(*f, 30));
  EXPECT_FALSE(cached(*f, 31));
  f->ReleaseRecord(get(*f, 3, true, false));
  EXPECT_EQ(f->GetCacheCount(), 12u) << "a backward run never starts before record 1";
}

TEST_F(RecordCacheReadAhead, TheCursorChoosesTheRunAndIsAskedOnlyOnAMiss) {
  auto f = openTable(kMediumFields, kMediumSize, 40);
  cursor.wanted = 3;
  TRecord* r = nullptr;
  ASSERT_TRUE(f->GetRecord(&cursor, 10, r, true, true, true));
  f->ReleaseRecord(r);
  EXPECT_EQ(f->GetCacheCount(), 3u);
  ASSERT_TRUE(f->GetRecord(&cursor, 12, r, true, true, true));
  f->ReleaseRecord(r);
  EXPECT_EQ(cursor.beginReads, 1);
  cursor.wanted = 1000000;
  ASSERT_TRUE(f->GetRecord(&cursor, 35, r, true, true, true));
  f->ReleaseRecord(r);
  EXPECT_EQ(f->GetCacheCount(), 9u) << "the run ends at the last record whatever the cursor asks";
  f->ClearRecordCache();
  cursor.wanted = 6;
  cursor.keeps = [](uint32_t n) { return n % 2 == 1; };
  ASSERT_TRUE(f->GetRecord(&cursor, 20, r, true, true, true));
  f->ReleaseRecord(r);
  EXPECT_EQ(f->GetCacheCount(), 4u) << "records 20, 21, 23 and 25 are cached, 22 and 24 stay out";
}

// Against GetRecord: records clean, dirty, deleted, appended and unwritten, plain and scrambled.
TEST_F(RecordCacheReadAhead, ScanImagesAreTheRecordsGetRecordGivesAndStayOutOfTheCache) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  for (bool encrypted : {false, true}) {
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed) + (encrypted ? " scrambled" : " plain"));
    auto f = openTable(kMediumFields, kMediumSize, 40, encrypted);
    TRecord* freed = get(*f, 1 + rng() % 40);
    f->FreeRecord(freed);
    f->ReleaseRecord(freed);
    f->FlushDirtyRecords();
    for (int i = 0; i < 5; ++i) modify(*f, 1 + rng() % 40, rng());
    appendRecords(*f, 3);
    std::vector<uint8_t> images;
    for (int probe = 0; probe < 40; ++probe) {
      const uint32_t last = f->GetLastRecordNumber(), first = 1 + rng() % last, size = f->GetRecordSize();
      const uint32_t count = 1 + rng() % (last - first + 1), cached = uint32_t(f->GetCacheCount());
      ASSERT_TRUE(f->ReadRecordImages(&cursor, first, count, images));
      ASSERT_EQ(f->GetCacheCount(), cached);
      for (uint32_t n = first; n < first + count; ++n)
        ASSERT_EQ(std::memcmp(images.data() + (n - first) * size, image(*f, n).data(), size), 0) << n;
    }
    cursor.onBeginRead = [] { return true; };
    f->ClearRecordCache();
    EXPECT_FALSE(f->ReadRecordImages(&cursor, 1, 4, images)) << "another writer's change: nothing read";
    cursor.onBeginRead = nullptr;
  }
}

TEST_F(RecordCacheReadAhead, AChangeReportedByTheCursorGivesNoRecordUnlessDetectionIsStrict) {
  auto f = openTable(kMediumFields, kMediumSize, 4);
  cursor.onBeginRead = [&] {
    f->ClearRecordCache();
    return true;
  };
  TRecord* r = reinterpret_cast<TRecord*>(&cursor);
  EXPECT_FALSE(f->GetRecord(&cursor, 2, r));
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(f->GetCacheCounters().readCalls, 0u);
  table.strictChangeDetection = true;  // the operation holds the read lock: no check per read
  ASSERT_TRUE(f->GetRecord(&cursor, 2, r));
  f->ReleaseRecord(r);
  EXPECT_EQ(cursor.beginReads, 1);
}

// Single records asked in number order are read with the records that follow them, which stay out
// of the cache; what they give must be the record as written, through flushes that rewrite records
// of the run, evictions, a clearing of the cache (another writer seen) and a scrambled table.
TEST_F(RecordCacheReadAhead, SingleRecordsInNumberOrderShareOneReadAndGiveEachRecordAsWritten) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  for (bool encrypted : {false, true}) {
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed) + (encrypted ? " scrambled" : " plain"));
    auto f = openTable(kMediumFields, kMediumSize, 60, encrypted);
    std::map<uint32_t, std::vector<uint8_t>> model;
    for (uint32_t n = 1; n <= 60; ++n) model[n] = image(*f, n);
    f->ClearRecordCache();
    const uint64_t before = f->GetCacheCounters().runsRead;
    for (uint32_t n = 1; n <= 16; ++n) ASSERT_EQ(image(*f, n), model[n]) << n;
    EXPECT_LE(f->GetCacheCounters().runsRead - before, 4u) << "runs of 8 after the first two";
    EXPECT_LE(f->GetCacheCount(), 16u);
    // A record of the run changed, written back and dropped from the cache comes back changed.
    f->ClearRecordCache();
    f->ReleaseRecord(get(*f, 1));
    f->ReleaseRecord(get(*f, 2));
    const uint64_t runs = f->GetCacheCounters().runsRead;
    modify(*f, 5, rng());
    model[5] = image(*f, 5);
    f->FlushDirtyRecords();
    while (f->GetCacheCount() > 0) ASSERT_TRUE(f->DropRecentRecord());
    ASSERT_EQ(image(*f, 5), model[5]);
    EXPECT_EQ(f->GetCacheCounters().runsRead, runs) << "records 2-9 came in one read";
    uint32_t at = 1;
    for (int step = 0; step < 400; ++step) {
      const uint32_t pick = rng() % 10;
      if (pick == 0) {
        at = 1 + rng() % 60;
      } else if (pick == 1) {
        const uint32_t n = std::min<uint32_t>(60, at + rng() % 10);
        modify(*f, n, rng());
        model[n] = image(*f, n);
      } else if (pick == 2) {
        f->FlushDirtyRecords();
      } else if (pick == 3) {
        f->FlushDirtyRecords();
        f->ClearRecordCache();
      }
      ASSERT_EQ(image(*f, at), model[at]) << "step " << step << " record " << at;
      at = at % 60 + 1;
    }
    flushAll(*f);
    for (uint32_t n = 1; n <= 60; ++n) {
      f->ClearRecordCache();
      ASSERT_EQ(image(*f, n), model[n]) << "after a flush, record " << n;
    }
  }
}

// ---- Victims ----

using RecordCacheVictims = RecordCacheTest;

TEST_F(RecordCacheVictims, TheLeastRecentlyUsedIdleRecordMakesRoom) {
  auto f = openTable(kLargeFields, kLargeSize, 8);
  ASSERT_EQ(f->GetCacheCapacity(), 4u);
  for (uint32_t n = 1; n <= 4; ++n) f->ReleaseRecord(get(*f, n));
  f->ReleaseRecord(get(*f, 1));  // 2 is now the least recently used
  f->ReleaseRecord(get(*f, 5));
  EXPECT_EQ(f->GetCacheCount(), 4u);
  EXPECT_TRUE(cached(*f, 1));
  EXPECT_TRUE(cached(*f, 5));
  EXPECT_FALSE(cached(*f, 2));
}

TEST_F(RecordCacheVictims, PinnedRecordsAreNeverReusedTheCacheGrowsBySixtyFourAndTrimsBack) {
  auto f = openTable(kLargeFields, kLargeSize, 10);
  std::vector<TRecord*> pinned;
  std::vector<std::vector<uint8_t>> before;
  for (uint32_t n = 1; n <= 8; ++n) {
    pinned.push_back(get(*f, n));
    before.emplace_back(pinned.back()->GetBuffer(), pinned.back()->GetBuffer() + f->GetRecordSize());
  }
  EXPECT_EQ(f->GetCacheCapacity(), 68u);
  EXPECT_EQ(f->GetCacheCount(), 8u);
  for (size_t i = 0; i < pinned.size(); ++i) {
    EXPECT_EQ(pinned[i]->GetRecordNumber(), i + 1);
    EXPECT_TRUE(pinned[i]->SameData(before[i].data()));
    f->ReleaseRecord(pinned[i]);
  }
  modify(*f, 9, 1);
  f->TrimRecordCache();
  EXPECT_EQ(f->GetCacheCount(), 4u);
  EXPECT_EQ(f->GetCacheCapacity(), 4u);
  EXPECT_EQ(f->GetCacheCounters().flushWrites, 0u) << "clean records go first";
}

// Outside a transaction the dirty records go out in one run to make room; under the transaction
// lock nothing may be written before the commit, so the cache grows instead.
TEST_F(RecordCacheVictims, DirtyRecordsAreWrittenBackToMakeRoomUnlessUnderTheTransactionLock) {
  for (bool inTransaction : {false, true}) {
    SCOPED_TRACE(inTransaction ? "in a transaction" : "outside a transaction");
    auto f = openTable(kLargeFields, kLargeSize, 8);
    table.transactionLock = inTransaction;
    const std::vector<uint8_t> original = slotOnDisk(*f, 2);
    for (uint32_t n = 1; n <= 4; ++n) modify(*f, n, 100 + n);
    const std::vector<uint8_t> changed = image(*f, 2);
    f->ReleaseRecord(get(*f, 5));
    EXPECT_EQ(f->GetCacheCounters().flushWrites, inTransaction ? 0u : 1u) << "records 1-4 go out in one run";
    EXPECT_EQ(f->GetCacheCapacity(), inTransaction ? 68u : 4u);
    EXPECT_EQ(slotOnDisk(*f, 2), inTransaction ? original : changed);
    EXPECT_EQ(table.writes > 0, !inTransaction);
    if (!inTransaction) continue;
    EXPECT_TRUE(f->DropRecentRecord());   // record 5, the one clean record
    EXPECT_FALSE(f->DropRecentRecord());  // nothing is written to make room in a transaction
    EXPECT_EQ(f->GetCacheCounters().flushWrites, 0u);
    f->ClearRecordCache();
  }
}

// The records a cursor finds by a key search (a join's inner rows) may fill 64 KiB before one is
// reused, so that the statement's next run finds them again; its other fetches and scans, and
// fetches without a cursor, keep the cache at its size.
TEST_F(RecordCacheVictims, RecordsACursorFindsByKeyMayFillSixtyFourKiB) {
  auto f = openTable(kMediumFields, kMediumSize, 300);
  ASSERT_EQ(f->GetCacheCapacity(), 16u);
  for (uint32_t n = 1; n <= 300; n += 3) {
    TRecord* r = nullptr;
    ASSERT_TRUE(f->GetRecord(&cursor, n, r));
    f->ReleaseRecord(r);
  }
  EXPECT_EQ(f->GetCacheCapacity(), 16u);
  f->ClearRecordCache();
  cursor.byKey = true;
  const auto fetch = [&](uint32_t n, bool readAhead) {
    TRecord* r = nullptr;
    ASSERT_TRUE(f->GetRecord(&cursor, n, r, true, readAhead, readAhead));
    f->ReleaseRecord(r);
  };
  const uint32_t most = uint32_t(65536 / f->GetRecordSize());
  for (uint32_t n = 1; n <= 300; n += 3) fetch(n, false);
  EXPECT_EQ(f->GetCacheCapacity(), most);
  EXPECT_EQ(f->GetCacheCount(), most);
  const uint64_t reads = f->GetCacheCounters().readCalls;
  for (uint32_t n = 300 - 3 * (most - 1) - 2; n <= 300; n += 3) fetch(n, false);
  EXPECT_EQ(f->GetCacheCounters().readCalls, reads) << "the last " << most << " fetched are all held";
  f->ClearRecordCache();
  f->TrimRecordCache();
  cursor.wanted = 4;
  for (uint32_t n = 1; n <= 300; n += 4) fetch(n, true);
  for (uint32_t n = 2; n <= 300; n += 7) f->ReleaseRecord(get(*f, n));
  EXPECT_EQ(f->GetCacheCapacity(), 16u);
}

TEST_F(RecordCacheVictims, RecordLargerThan16KGivesACacheOfZeroThatGrowsOnFirstUse) {
  auto f = openTable(70, 249, 3);
  EXPECT_EQ(f->GetCacheCapacity(), 0u);
  EXPECT_EQ(f->GetReadAheadCount(), 1u);
  f->ReleaseRecord(get(*f, 2, true));
  EXPECT_EQ(f->GetCacheCapacity(), 64u);
  EXPECT_EQ(f->GetCacheCount(), 1u);
}

// ---- Write-back ----

using RecordCacheWriteBack = RecordCacheTest;

TEST_F(RecordCacheWriteBack, DirtyRecordsGoOutOneWritePerRunOfConsecutiveNumbers) {
  auto f = openTable(kMediumFields, kMediumSize, 20);
  std::map<uint32_t, std::vector<uint8_t>> changed;
  for (uint32_t n : {1u, 2u, 3u, 7u, 8u, 10u}) {
    modify(*f, n, 500 + n);
    changed[n] = image(*f, n);
  }
  TRecord* pinned = get(*f, 12);
  fillRecord(*pinned, 9);
  EXPECT_TRUE(f->FlushDirtyRecords());
  EXPECT_EQ(f->GetCacheCounters().flushWrites, 3u);
  EXPECT_TRUE(pinned->IsDirty()) << "a pinned record is not written";
  f->ReleaseRecord(pinned);
  EXPECT_TRUE(f->FlushDirtyRecords());
  EXPECT_FALSE(f->FlushDirtyRecords());
  for (const auto& [n, bytes] : changed) EXPECT_EQ(slotOnDisk(*f, n), bytes) << n;
}

TEST_F(RecordCacheWriteBack, ADirtyRecordInsideTheRunBeingReadIsNeitherWrittenNorOverwritten) {
  auto f = openTable(kMediumFields, kMediumSize, 40);
  const std::vector<uint8_t> original = slotOnDisk(*f, 3);
  modify(*f, 3, 777);
  const std::vector<uint8_t> changed = image(*f, 3);
  for (uint32_t n = 20; n < 35; ++n) modify(*f, n, n);
  ASSERT_EQ(f->GetCacheCount(), 16u);
  f->ReleaseRecord(get(*f, 1, true));  // reads 1-8; making room flushes 20-34 but not 3
  EXPECT_EQ(f->GetCacheCounters().flushWrites, 1u);
  EXPECT_EQ(slotOnDisk(*f, 3), original);
  EXPECT_EQ(image(*f, 3), changed);
  TRecord* r = get(*f, 3);
  EXPECT_TRUE(r->IsDirty());
  f->ReleaseRecord(r);
  f->FlushDirtyRecords();
  EXPECT_EQ(slotOnDisk(*f, 3), changed);
}

TEST_F(RecordCacheWriteBack, AFailedWriteLeavesTheRunDirtyForTheNextFlush) {
  platform::FaultyFileSystem faulty(platform::FileSystem::local());
  TFileList faultyList(faulty);
  {
    auto f = make();
    f->DefineStructure(0, 0, 0, 0, false, "", "", 0, byteFields(kMediumFields, kMediumSize));
    appendRecords(*f, 5);
    flushAll(*f);
  }
  TDataFile f(&table, false, &faultyList);
  f.SetName(path);
  f.Open();
  modify(f, 2, 42);
  const std::vector<uint8_t> changed = image(f, 2);
  const uint32_t counter = f.GetChangeCounter();
  f.SetLastUniqueId(99);
  faulty.setPlan({platform::Fault::IoError, 1, true});
  EXPECT_EQ(errorOf([&] { f.FlushDirtyRecords(); }), VELDOR_WRITEERR);
  EXPECT_EQ(errorOf([&] { f.WriteHeader(false); }), VELDOR_WRITEERR);
  EXPECT_EQ(f.GetChangeCounter(), counter);
  EXPECT_TRUE(f.IsHeaderDirty());
  faulty.setPlan({});
  EXPECT_TRUE(f.FlushDirtyRecords());
  EXPECT_TRUE(f.WriteHeader(false));
  EXPECT_EQ(slotOnDisk(f, 2), changed);
  EXPECT_EQ(f.GetChangeCounter(), counter + 1);
}

// ---- Appends and the end of the file ----

using RecordCacheEnd = RecordCacheTest;

TEST_F(RecordCacheEnd, RecordZeroAndRecordsPastTheEndAreCorruption) {
  auto f = openTable(kMediumFields, kMediumSize, 5);
  TRecord* r = nullptr;
  EXPECT_EQ(errorOf([&] { f->GetRecord(nullptr, 0, r); }), VELDOR_FILECORRUPT);
  EXPECT_EQ(errorOf([&] { f->GetRecord(nullptr, 7, r, true, false, true); }), VELDOR_FILECORRUPT);
  EXPECT_EQ(errorOf([&] { f->GetRecord(nullptr, 0xFFFFFFFF, r, false, false, true); }), VELDOR_FILECORRUPT);
  EXPECT_EQ(f->GetCacheCount(), 0u);
}

TEST_F(RecordCacheEnd, TheNextRecordNumberAppendsADirtySlotEvenWithFreeSlots) {
  auto f = openTable(kMediumFields, kMediumSize, 5);
  TRecord* r = get(*f, 2);
  f->FreeRecord(r);
  f->ReleaseRecord(r);
  r = get(*f, 6);
  EXPECT_EQ(r->GetRecordNumber(), 6u);
  EXPECT_TRUE(r->IsDirty());
  EXPECT_EQ(r->GetStatus(), kRecordInUse);
  f->ReleaseRecord(r);
  flushAll(*f);
  f->Close();
  f->Open();
  f->VerifyHeader();  // the header counts the new slot
  EXPECT_EQ(f->GetLastRecordNumber(), 6u);
}

TEST_F(RecordCacheEnd, AppendingPastTwoHundredMillionSlotsIsTableFull) {
  { auto f = openTable(1, 1, 1); }
  patchFile(path, [](auto& b) { platform::put4(&b[13], 200'000'001); });
  auto f = make();
  f->Open();
  TRecord* r = nullptr;
  EXPECT_EQ(errorOf([&] { f->GetRecord(nullptr, 200'000'001, r); }), VELDOR_TABLEFULL);
}

TEST_F(RecordCacheEnd, AppendingPastFourBillionBytesIsTableFull) {
  std::vector<TFieldDescriptor> fields = byteFields(261, 250);
  fields.push_back(field(262, "LAST", 9, 14));
  layOut(fields);
  {
    auto f = make();
    f->DefineStructure(0, 0, 0, 0, false, "", "", 0, fields);
    flushAll(*f);
  }
  // 127 + 262 x 768 + 61033 x 65535 is just below 4,000,000,000; one more slot is not.
  patchFile(path, [](auto& b) { platform::put4(&b[13], 61034); });
  auto f = make();
  f->Open();
  TRecord* r = nullptr;
  EXPECT_EQ(errorOf([&] { f->GetRecord(nullptr, 61034, r); }), VELDOR_TABLEFULL);
  f->Close();
  patchFile(path, [](auto& b) { platform::put4(&b[13], 61033); });
  f->Open();
  ASSERT_TRUE(f->GetRecord(nullptr, 61033, r));
  f->ReleaseRecord(r);
  f->ClearRecordCache();
}

TEST_F(RecordCacheEnd, AShortFileIsAReadErrorAndOnlyWholeSlotsAreMerged) {
  { auto f = openTable(kMediumFields, kMediumSize, 10); }
  patchFile(path, [](auto& b) { b.resize(b.size() - 500); });
  auto f = make();
  f->Open();
  TRecord* r = nullptr;
  EXPECT_EQ(errorOf([&] { f->GetRecord(nullptr, 5, r, true, false, true); }), VELDOR_READERR);
  EXPECT_EQ(f->GetCacheCount(), 0u);

  // Where a short read is tolerated, the cut slot is still not taken for a record: asked for
  // itself, it is the read error still.
  table.writes = 1;
  table.transactionLock = true;
  ASSERT_TRUE(f->GetRecord(nullptr, 5, r, true, false, true));
  f->ReleaseRecord(r);
  EXPECT_EQ(f->GetCacheCount(), 5u);
  EXPECT_EQ(errorOf([&] { f->GetRecord(nullptr, 10, r); }), VELDOR_READERR);
}

TEST_F(RecordCacheEnd, ARunOverAppendedSlotsNotYetWrittenReadsWhatIsOnDisk) {
  auto f = openTable(kMediumFields, kMediumSize, 5);
  appendRecords(*f, 2);
  const std::vector<uint8_t> appended = image(*f, 7);
  f->ReleaseRecord(get(*f, 3, true));
  EXPECT_EQ(image(*f, 7), appended);
  EXPECT_EQ(f->GetCacheCounters().runsRead, 1u);
}

// ---- Clearing, trimming, the pool ----

using RecordCacheLifetime = RecordCacheTest;

TEST_F(RecordCacheLifetime, ClearingKeepsAPinnedRecordValidUntilItIsReleased) {
  auto f = openTable(kMediumFields, kMediumSize, 5);
  TRecord* held = get(*f, 3);
  const std::vector<uint8_t> bytes(held->GetBuffer(), held->GetBuffer() + f->GetRecordSize());
  modify(*f, 4, 9);
  f->ClearRecordCache();
  EXPECT_EQ(f->GetCacheCount(), 0u);
  EXPECT_TRUE(held->SameData(bytes.data()));
  EXPECT_EQ(held->GetRecordNumber(), 3u);
  f->ReleaseRecord(held);
  EXPECT_FALSE(f->FlushDirtyRecords()) << "cleared dirty records are dropped, not written";
  TRecord* again = get(*f, 3);
  EXPECT_TRUE(again->SameData(bytes.data()));
  f->ReleaseRecord(again);
}

TEST_F(RecordCacheLifetime, DroppingWritesOnceWhenEveryRecordIsDirty) {
  auto f = openTable(kLargeFields, kLargeSize, 4);
  EXPECT_FALSE(f->DropRecentRecord());
  modify(*f, 1, 5);
  EXPECT_TRUE(f->DropRecentRecord());
  EXPECT_EQ(f->GetCacheCounters().flushWrites, 1u);
  EXPECT_EQ(f->GetCacheCount(), 0u);
}

}  // namespace
}  // namespace engine
