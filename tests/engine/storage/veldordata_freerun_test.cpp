// Freeing a run of records at once (FreeRecordRun) against FreeRecord one record after another:
// two copies of one table, with a free chain already there, records changed and not yet written
// (dirty in the cache), records cached clean and a read-ahead run over the freed records, end
// with the same records read through the cache, the same slots and free-chain head on disk, and
// the same slots taken again by later allocations. Plain and scrambled files, with and without a
// primary index (without one the freed records stay unlinked). A run freed with the heads its
// read kept, cached records among its slots, ends the same way, and its write-out killed at any
// step is rolled back whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "datafile_test_util.h"
#include "engine/storage/veldorjournal.h"
#include "platform/faultfs.h"
#include "storage_test_util.h"

namespace engine {
namespace {

using namespace datafile_test;
using platform::testing::TempFolder;

constexpr uint32_t kRecords = 90;

class FreeRecordRun : public ::testing::Test {
 protected:
  struct Copy {
    TestTable table;
    std::unique_ptr<TDataFile> file;
    std::string path;
  };

  void open(Copy& c, const std::string& name, bool encrypted, bool noPrimary) {
    c.path = dir.path(name);
    c.table.noPrimaryIndex = noPrimary;
    c.table.encrypted = encrypted;
    create(c.table, list, c.path, encrypted);
    c.file = openHolding(c.table, list, c.path);
  }
  static void create(TestTable& table, TFileList& list, const std::string& path, bool encrypted) {
    TDataFile f(&table, false, &list);
    f.SetName(path);
    // 61-byte records: a run read ahead holds many of them.
    f.DefineStructure(0, 0, 0, 0, encrypted, encrypted ? "pw" : "", "", 0, byteFields(4, 12));
    appendRecords(f, kRecords);
    flushAll(f);
  }
  static std::unique_ptr<TDataFile> openHolding(TestTable& table, TFileList& list, const std::string& path) {
    auto f = std::make_unique<TDataFile>(&table, false, &list);
    f->SetName(path);
    f->Open();
    f->VerifyHeader();
    f->SetHoldWrites(true);
    return f;
  }
  static int64_t slotOffset(TDataFile& f, uint32_t n) {
    return 127 + int64_t(f.GetFieldCount()) * 768 + int64_t(n - 1) * f.GetRecordSize();
  }
  static TRecord* get(TDataFile& f, uint32_t n) {
    TRecord* r = nullptr;
    EXPECT_TRUE(f.GetRecord(nullptr, n, r));
    return r;
  }
  static std::vector<uint8_t> image(TDataFile& f, uint32_t n) {
    TRecord* r = get(f, n);
    std::vector<uint8_t> out(r->GetBuffer(), r->GetBuffer() + f.GetRecordSize());
    f.ReleaseRecord(r);
    return out;
  }
  // The slots and the free-chain head as the file on disk holds them.
  static std::vector<uint8_t> onDisk(Copy& c) {
    const std::vector<uint8_t> bytes = readFileBytes(c.path);
    const size_t start = 127 + size_t(c.file->GetFieldCount()) * 768;
    std::vector<uint8_t> out(bytes.begin() + std::ptrdiff_t(std::min(start, bytes.size())), bytes.end());
    const uint32_t head = c.file->GetFreeRecordHead();
    out.insert(out.end(), {uint8_t(head), uint8_t(head >> 8), uint8_t(head >> 16), uint8_t(head >> 24)});
    return out;
  }
  static void writeOut(TDataFile& f) {
    flushAll(f);
    f.WriteOutHeld(false);
    f.DropHeldWrites();
  }

  TempFolder dir;
  TFileList list;
};

TEST_F(FreeRecordRun, EndsAsFreeRecordOneAfterAnother) {
  const char* env = std::getenv("VELMARON_SEED");
  const uint32_t firstSeed = env ? uint32_t(std::strtoul(env, nullptr, 10)) : 1;
  for (uint32_t seed = firstSeed; seed < firstSeed + (env ? 1 : 6); ++seed) {
    std::mt19937 rng(seed);
    const bool encrypted = seed % 2 == 0, noPrimary = seed % 3 == 0;
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
    Copy run, each;
    open(run, "RUN" + std::to_string(seed) + ".DAT", encrypted, noPrimary);
    open(each, "ONE" + std::to_string(seed) + ".DAT", encrypted, noPrimary);
    // The same history on both: a chain of earlier frees, written or not.
    std::vector<uint32_t> earlier;
    for (int i = 0; i < 4; ++i) earlier.push_back(1 + rng() % kRecords);
    const uint32_t first = 1 + rng() % (kRecords - 30), count = 1 + rng() % (kRecords - first);
    std::vector<uint32_t> dirty, clean;
    for (int i = 0; i < 6; ++i) dirty.push_back(first + rng() % count);
    for (int i = 0; i < 6; ++i) clean.push_back(1 + rng() % kRecords);
    const bool writeEarlier = rng() % 2 == 0;
    for (Copy* c : {&run, &each}) {
      TDataFile& f = *c->file;
      for (uint32_t n : earlier) {
        // Outside the run: every record of the run must be in use.
        if (n >= first && n < first + count) continue;
        TRecord* r = get(f, n);
        if (r->GetStatus() == kRecordInUse) f.FreeRecord(r);
        f.ReleaseRecord(r);
      }
      if (writeEarlier) writeOut(f);
      // Misses one after another: the second reads a run ahead over the records to be freed.
      for (uint32_t n = first; n < first + 2 && n <= kRecords; ++n) f.ReleaseRecord(get(f, n));
      for (uint32_t n : dirty) {
        TRecord* r = get(f, n);
        fillRecord(*r, n * 977 + seed);
        f.ReleaseRecord(r);
      }
      for (uint32_t n : clean) f.ReleaseRecord(get(f, n));
    }
    // The run both ways.
    std::vector<uint8_t> images;
    ASSERT_TRUE(run.file->ReadRecordImages(nullptr, first, count, images));
    run.file->FreeRecordRun(first, count, std::move(images));
    EXPECT_TRUE(images.empty());
    for (uint32_t n = first; n < first + count; ++n) {
      TRecord* r = get(*each.file, n);
      each.file->FreeRecord(r);
      each.file->ReleaseRecord(r);
    }
    EXPECT_EQ(run.file->GetFreeRecordHead(), each.file->GetFreeRecordHead());
    for (uint32_t n = 1; n <= kRecords; ++n) ASSERT_EQ(image(*run.file, n), image(*each.file, n)) << n;
    for (Copy* c : {&run, &each}) writeOut(*c->file);
    EXPECT_EQ(onDisk(run), onDisk(each));
    // Allocations take the same slots in the same order (or append, without a primary index).
    for (int i = 0; i < 5; ++i) {
      TRecord *a = nullptr, *b = nullptr;
      ASSERT_TRUE(run.file->AllocateRecord(nullptr, a));
      ASSERT_TRUE(each.file->AllocateRecord(nullptr, b));
      EXPECT_EQ(a->GetRecordNumber(), b->GetRecordNumber());
      if (i == 0) {
        EXPECT_EQ(a->GetRecordNumber(), noPrimary ? kRecords + 1 : first + count - 1);
      }
      run.file->ReleaseRecord(a);
      each.file->ReleaseRecord(b);
    }
  }
}

TEST_F(FreeRecordRun, ARecordNotInUseIsRefusedAndNothingIsFreed) {
  Copy c;
  open(c, "BAD.DAT", false, false);
  TDataFile& f = *c.file;
  TRecord* r = get(f, 12);
  f.FreeRecord(r);
  f.ReleaseRecord(r);
  const uint32_t head = f.GetFreeRecordHead();
  std::vector<uint8_t> images;
  ASSERT_TRUE(f.ReadRecordImages(nullptr, 10, 5, images));
  EXPECT_EQ(errorOf([&] { f.FreeRecordRun(10, 5, std::move(images)); }), VELDOR_FILECORRUPT);
  EXPECT_EQ(f.GetFreeRecordHead(), head);
  EXPECT_EQ(image(f, 10)[0], kRecordInUse);
  EXPECT_FALSE(f.HasHeldWrites());
}

// What the cache holds of a run's records before it is freed with the heads its read kept.
enum class CachedKind { Clean, WrittenBackAsItWas, Changed };

// Caches records of the run first..first+count-1 (some clean, the last of `kind`) and others
// around it, as a table's cursors leave them.
void cacheAround(TDataFile& f, uint32_t first, uint32_t count, CachedKind kind, std::mt19937& rng) {
  const auto touch = [&](uint32_t n) {
    TRecord* r = nullptr;
    ASSERT_TRUE(f.GetRecord(nullptr, n, r));
    f.ReleaseRecord(r);
  };
  // The run's first and last slots, slots inside it and past it.
  for (uint32_t n : {first, first + count - 1, first + count / 2, first + 1 + uint32_t(rng() % (count - 1))})
    touch(n);
  if (first > 1) touch(first - 1);
  if (first + count <= kRecords) touch(first + count);
  TRecord* r = nullptr;
  const uint32_t n = first + uint32_t(rng() % count);
  ASSERT_TRUE(f.GetRecord(nullptr, n, r));
  if (kind == CachedKind::WrittenBackAsItWas) {
    // Changed, then set back: dirty, with the bytes the file has.
    const std::vector<uint8_t> was(r->GetBuffer(), r->GetBuffer() + f.GetRecordSize());
    fillRecord(*r, n * 131);
    std::memcpy(r->GetBuffer(), was.data(), was.size());
    r->SetDirty(true);
  } else if (kind == CachedKind::Changed) {
    fillRecord(*r, n * 977 + 3);
  }
  f.ReleaseRecord(r);
}

TEST_F(FreeRecordRun, CachedRecordsAmongARunFreedWithItsHeadsEndAsFreeRecordOneAfterAnother) {
  const char* env = std::getenv("VELMARON_SEED");
  const uint32_t firstSeed = env ? uint32_t(std::strtoul(env, nullptr, 10)) : 1;
  for (uint32_t seed = firstSeed; seed < firstSeed + (env ? 1 : 9); ++seed) {
    std::mt19937 rng(seed);
    const bool noPrimary = seed % 2 == 0;
    const CachedKind kind = CachedKind(seed % 3);
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
    Copy run, each;
    open(run, "RUN" + std::to_string(seed) + ".DAT", false, noPrimary);
    open(each, "ONE" + std::to_string(seed) + ".DAT", false, noPrimary);
    const uint32_t first = 1 + rng() % (kRecords - 30), count = 10 + rng() % (kRecords - first - 9);
    for (Copy* c : {&run, &each}) {
      std::mt19937 same(seed);
      cacheAround(*c->file, first, count, kind, same);
    }
    std::vector<uint8_t> images, heads;
    ASSERT_TRUE(run.file->ReadRecordImages(nullptr, first, count, images, heads));
    // A record changed in the cache and not written holds bytes the file does not: the heads
    // would not tell every byte the free changes.
    EXPECT_EQ(heads.size(), kind == CachedKind::Changed ? 0 : size_t(count) * 5);
    run.file->FreeRecordRun(first, count, std::move(images), std::move(heads));
    for (uint32_t n = first; n < first + count; ++n) {
      TRecord* r = get(*each.file, n);
      each.file->FreeRecord(r);
      each.file->ReleaseRecord(r);
    }
    EXPECT_EQ(run.file->GetFreeRecordHead(), each.file->GetFreeRecordHead());
    for (uint32_t n = 1; n <= kRecords; ++n) ASSERT_EQ(image(*run.file, n), image(*each.file, n)) << n;
    flushAll(*run.file);
    // The run's old bytes stay known to its write-out, the cached records of it written with it.
    EXPECT_EQ(run.file->HeldWrites().KnownOld(slotOffset(*run.file, first)) != nullptr,
              kind != CachedKind::Changed);
    // Written out as a commit does: the journal takes the known bytes, checked against the disk
    // in a debug build.
    WriteOutTables(platform::FileSystem::local(),
                   {TJournalTable{dir.path("RUN.JNL"), {run.file.get(), nullptr, nullptr}, true, nullptr}},
                   false);
    writeOut(*each.file);
    EXPECT_FALSE(std::filesystem::exists(dir.path("RUN.JNL")));
    EXPECT_EQ(onDisk(run), onDisk(each));
    for (uint32_t n = 1; n <= kRecords; ++n) ASSERT_EQ(image(*run.file, n), image(*each.file, n)) << n;
  }
}

// A cached record of the run whose bytes past its head differ from the file's in one byte only
// (the first past the head, the id's last, the first field's, the record's last), changed before
// the read or between the read and the free: the write-out leaves on disk what the cache holds,
// reads back the same in a fresh open, and its journal (checked against the disk in a debug
// build) covers every byte that changed.
TEST_F(FreeRecordRun, ACachedRecordChangedInOneByteIsWrittenWithTheRunAsTheCacheHoldsIt) {
  int round = 0;
  for (const bool beforeRead : {true, false}) {
    for (const uint32_t at : {5u, 8u, 9u, 0u}) {
      SCOPED_TRACE(std::string(beforeRead ? "before" : "after") + " the read, byte " + std::to_string(at));
      Copy c;
      open(c, "B" + std::to_string(round++) + ".DAT", false, false);
      TDataFile& f = *c.file;
      const uint32_t r = f.GetRecordSize(), first = 20, count = 30, n = 33;
      const uint32_t byte = at == 0 ? r - 1 : at;
      for (uint32_t k : {first, n - 1, n, n + 1, first + count - 1}) f.ReleaseRecord(get(f, k));
      const auto change = [&] {
        TRecord* rec = get(f, n);
        rec->GetBuffer()[byte] ^= 0x5a;
        rec->SetDirty(true);
        f.ReleaseRecord(rec);
      };
      if (beforeRead) change();
      std::vector<uint8_t> images, heads;
      ASSERT_TRUE(f.ReadRecordImages(nullptr, first, count, images, heads));
      if (beforeRead) {
        EXPECT_TRUE(heads.empty()) << "heads kept for a record the file does not hold";
      } else {
        change();
      }
      f.FreeRecordRun(first, count, std::move(images), std::move(heads));
      std::vector<std::vector<uint8_t>> cached;
      for (uint32_t k = 1; k <= kRecords; ++k) cached.push_back(image(f, k));
      EXPECT_EQ(cached[n - 1][0], kRecordDeleted);
      flushAll(f);
      WriteOutTables(platform::FileSystem::local(),
                     {TJournalTable{dir.path("B.JNL"), {&f, nullptr, nullptr}, true, nullptr}}, false);
      for (uint32_t k = 1; k <= kRecords; ++k) ASSERT_EQ(image(f, k), cached[k - 1]) << k;
      TFileList fresh;
      std::unique_ptr<TDataFile> g = openHolding(c.table, fresh, c.path);
      for (uint32_t k = 1; k <= kRecords; ++k) ASSERT_EQ(image(*g, k), cached[k - 1]) << k;
    }
  }
}

// True when `a` and `b` differ at most in the header's time stamp, which each write-out of the
// header sets anew.
bool sameButStamp(std::vector<uint8_t> a, std::vector<uint8_t> b) {
  constexpr size_t kStamp = 27, kStampEnd = 35;
  for (std::vector<uint8_t>* bytes : {&a, &b})
    if (bytes->size() >= kStampEnd) std::fill(bytes->begin() + kStamp, bytes->begin() + kStampEnd, 0);
  return a == b;
}

// The write-out of a run freed with the heads its read kept, clean and rewritten cached records
// among its slots, killed at any step of its own: another process rolls its journal back to the
// file as it was, byte for byte, or finds the file as the write-out left it whole.
TEST_F(FreeRecordRun, AWriteOutOfARunWithCachedRecordsKilledAtAnyStepIsAllOldOrAllNew) {
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const uint32_t first = 1 + rng() % (kRecords - 30), count = 10 + rng() % (kRecords - first - 9);
  const CachedKind kind = seed % 2 == 0 ? CachedKind::Clean : CachedKind::WrittenBackAsItWas;
  const std::string path = dir.path("T.DAT"), journal = dir.path("T.JNL");
  TestTable table;
  create(table, list, path, false);
  const std::vector<uint8_t> old = readFileBytes(path);
  // The history; the file's bytes once it is written out whole.
  const auto history = [&](TDataFile& f) {
    std::mt19937 same(seed);
    cacheAround(f, first, count, kind, same);
    std::vector<uint8_t> images, heads;
    if (!f.ReadRecordImages(nullptr, first, count, images, heads) || heads.empty()) return false;
    f.FreeRecordRun(first, count, std::move(images), std::move(heads));
    flushAll(f);
    return f.HeldWrites().KnownOld(slotOffset(f, first)) != nullptr;
  };
  std::vector<uint8_t> after;
  {
    TFileList mine;
    std::unique_ptr<TDataFile> f = openHolding(table, mine, path);
    ASSERT_TRUE(history(*f)) << "the run's old bytes are not known to the write-out";
    WriteOutTables(platform::FileSystem::local(),
                   {TJournalTable{journal, {f.get(), nullptr, nullptr}, true, nullptr}}, true);
    after = readFileBytes(path);
  }
  ASSERT_FALSE(sameButStamp(after, old));
  bool sawAfter = false;
  for (uint64_t k = 1;; ++k) {
    SCOPED_TRACE("killed at step " + std::to_string(k));
    writeFileBytes(path, old);
    storage_test::Helper child([&](storage_test::Helper&) {
      platform::FaultyFileSystem fs(platform::FileSystem::local());
      TFileList mine(fs);
      std::unique_ptr<TDataFile> f = openHolding(table, mine, path);
      if (!history(*f)) return 5;
      fs.setPlan({platform::Fault::Exit, k, false});
      WriteOutTables(fs, {TJournalTable{journal, {f.get(), nullptr, nullptr}, true, nullptr}}, true);
      fs.setPlan({});
      // Ended here, as a kill would: closing the table writes nothing more.
      _exit(0);
    });
    const int code = child.wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << "child ended with " << code;
    if (std::filesystem::exists(journal)) {
      TFileList mine;
      TFileHandler h(&mine);
      h.SetName(path);
      h.Open();
      RecoverJournal(platform::FileSystem::local(), journal, {&h, nullptr, nullptr});
    }
    const std::vector<uint8_t> now = readFileBytes(path);
    if (sameButStamp(now, after)) {
      sawAfter = true;
    } else {
      ASSERT_FALSE(sawAfter) << "a kill later than one that kept the change rolled it back";
      ASSERT_TRUE(now == old) << "the file is neither as it was nor as the write-out made it";
    }
    if (code == 0) {
      EXPECT_GT(k, 1u) << "no step of the write-out was killed";
      break;
    }
  }
}

}  // namespace
}  // namespace engine
