// The journal's promise at its own layer, through a file system that fails at the k-th write: a
// write-out either succeeds whole or, once a left-behind journal is recovered, leaves the file
// exactly as it was; no fault ends in a mixed file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorfile.h"
#include "engine/storage/veldorjournal.h"
#include "platform/faultfs.h"
#include "storage_test_util.h"

namespace engine {
namespace {

using platform::Fault;
using platform::testing::TempFolder;

constexpr int64_t kOldSize = 3000;

std::vector<uint8_t> pattern(int64_t size, uint8_t salt) {
  std::vector<uint8_t> v(size_t(size), 0);
  for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(i * 7 + salt);
  return v;
}

std::vector<uint8_t> contents(const std::string& path) {
  TFileList list;
  TFileHandler h(&list);
  h.SetName(path);
  h.Open();
  std::vector<uint8_t> bytes(size_t(h.GetFileSize()));
  h.ReadAt(0, bytes.data(), int64_t(bytes.size()));
  return bytes;
}

void makeTable(const TempFolder& dir) {
  TFileList list;
  TFileHandler h(&list);
  h.SetName(dir.path("t.DAT"));
  h.CreateFile();
  const std::vector<uint8_t> old = pattern(kOldSize, 1);
  h.WriteAt(0, old.data(), kOldSize);
}

struct Outcome {
  std::vector<uint8_t> after;  // the file as the change makes it
  bool failed = false;
  uint64_t writes = 0;  // the writes of the write-out
};

// The change under test: two regions overwritten and the file grown, held and then written out
// through `fs` under `plan`, whose operations count the write-out's writes only; the journal goes
// into `kept` when given.
Outcome change(platform::FaultyFileSystem& fs, const TempFolder& dir, Fault fault, uint64_t every,
               TJournalHandle* kept = nullptr) {
  Outcome outcome;
  TFileList list(fs);
  TFileHandler h(&list);
  h.SetName(dir.path("t.DAT"));
  h.Open();
  h.SetHoldWrites(true);
  outcome.after = pattern(kOldSize, 1);
  const std::vector<uint8_t> fresh = pattern(kOldSize + 1500, 99);
  for (auto [at, n] : {std::pair<int64_t, int64_t>{100, 400}, {2500, 2000}}) {
    h.WriteAt(at, fresh.data() + at, n);
    outcome.after.resize(std::max(outcome.after.size(), size_t(at + n)));
    std::copy(fresh.begin() + at, fresh.begin() + at + n, outcome.after.begin() + at);
  }
  fs.setPlan({fault, every, true});
  try {
    WriteOutTables(fs, {TJournalTable{dir.path("t.JNL"), {&h, nullptr, nullptr}, true, kept}}, true);
  } catch (const EVELDOREngineError&) {
    outcome.failed = true;
  }
  outcome.writes = fs.operations();
  fs.setPlan({});
  return outcome;
}

TEST(JournalFormatTest, ChecksumIsTheIso3309Crc32) {
  const std::string check = "123456789";
  EXPECT_EQ(JournalChecksum({reinterpret_cast<const uint8_t*>(check.data()), check.size()}), 0xCBF43926u);
  EXPECT_EQ(JournalChecksum({}), 0u);
  // The same over a long run of every byte value as one byte at a time by the table.
  std::vector<uint8_t> bytes(100003);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 131 + i / 7);
  uint32_t c = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  EXPECT_EQ(JournalChecksum(bytes), c ^ 0xFFFFFFFFu);
}

TEST(JournalFaultTest, EveryFailedWriteOutLeavesTheOldFileOnceItsJournalIsRecovered) {
  uint64_t writes = 0;
  {
    TempFolder dir;
    makeTable(dir);
    platform::FaultyFileSystem fs(platform::FileSystem::local());
    const Outcome clean = change(fs, dir, Fault::None, 0);
    ASSERT_FALSE(clean.failed);
    EXPECT_EQ(contents(dir.path("t.DAT")), clean.after);
    writes = clean.writes;
    ASSERT_GT(writes, 2u);  // the journal's, then the table's
  }
  for (Fault fault : {Fault::ShortWrite, Fault::NoSpace, Fault::IoError}) {
    for (uint64_t k = 1; k <= writes; ++k) {
      SCOPED_TRACE("fault " + std::to_string(int(fault)) + " at write " + std::to_string(k));
      TempFolder dir;
      makeTable(dir);
      platform::FaultyFileSystem fs(platform::FileSystem::local());
      const Outcome outcome = change(fs, dir, fault, k);
      EXPECT_TRUE(outcome.failed);
      if (std::filesystem::exists(dir.path("t.JNL"))) {
        TFileList list;
        TFileHandler h(&list);
        h.SetName(dir.path("t.DAT"));
        h.Open();
        RecoverJournal(platform::FileSystem::local(), dir.path("t.JNL"), {&h, nullptr, nullptr});
      }
      EXPECT_FALSE(std::filesystem::exists(dir.path("t.JNL")));
      EXPECT_EQ(contents(dir.path("t.DAT")), outcome.failed ? pattern(kOldSize, 1) : outcome.after);
    }
  }
}

// The same into a journal file kept from one write-out to the next: a failed one leaves no change
// in it once recovered, and the file serves the next write-out as before.
TEST(JournalFaultTest, EveryFailedWriteOutIntoAKeptJournalLeavesTheOldFileAndTheJournalServesOn) {
  for (Fault fault : {Fault::ShortWrite, Fault::NoSpace, Fault::IoError}) {
    for (uint64_t k = 1;; ++k) {
      SCOPED_TRACE("fault " + std::to_string(int(fault)) + " at write " + std::to_string(k));
      TempFolder dir;
      makeTable(dir);
      platform::FaultyFileSystem fs(platform::FileSystem::local());
      TJournalHandle kept(dir.path("t.JNL"));
      const Outcome outcome = change(fs, dir, fault, k, &kept);
      if (JournalHot(fs, dir.path("t.JNL"))) {
        TFileList list;
        TFileHandler h(&list);
        h.SetName(dir.path("t.DAT"));
        h.Open();
        RecoverJournal(platform::FileSystem::local(), dir.path("t.JNL"), {&h, nullptr, nullptr});
      }
      EXPECT_NE(JournalState(fs, dir.path("t.JNL")), TJournalState::Hot);
      EXPECT_EQ(contents(dir.path("t.DAT")), outcome.failed ? pattern(kOldSize, 1) : outcome.after);
      const Outcome again = change(fs, dir, Fault::None, 0, &kept);
      EXPECT_FALSE(again.failed);
      EXPECT_EQ(contents(dir.path("t.DAT")), again.after);
      EXPECT_EQ(JournalState(fs, dir.path("t.JNL")), TJournalState::Empty);
      kept.Release(fs);
      EXPECT_FALSE(std::filesystem::exists(dir.path("t.JNL")));
      if (!outcome.failed) break;
    }
  }
}

// A bulk change writes back most of the bytes it holds as they were (a record's fields that a
// statement left alone): the journal keeps the old bytes of the runs that differ only, joined
// when close, and a write-out that fails anywhere still leaves the old file once recovered.
struct MostlySame {
  std::vector<uint8_t> after;
  std::vector<int64_t> differing;  // offsets whose byte the change alters
};

MostlySame holdMostlySame(TFileHandler& h) {
  MostlySame m;
  m.after = pattern(kOldSize, 1);
  // Extents written back whole over the old bytes, with changes at their edges, one byte alone,
  // runs a byte apart and far apart, and one extent that changes nothing.
  const std::vector<std::pair<int64_t, int64_t>> extents = {{0, 700}, {900, 1200}, {2200, 500}, {2800, 200}};
  const std::vector<int64_t> changes = {0, 1, 2, 699, 900, 950, 952, 1000, 1032, 1100, 2099, 2200, 2699};
  for (int64_t at : changes) {
    m.after[size_t(at)] ^= 0x5A;
    m.differing.push_back(at);
  }
  for (auto [at, n] : extents) h.WriteAt(at, m.after.data() + at, n);
  return m;
}

TEST(JournalNarrowTest, OnlyTheBytesThatChangeAreJournaledAndEveryFailureStillRollsBack) {
  // What the journal keeps, seen in one left hot: the table write fails and so does the rollback
  // from memory (every second write fails).
  {
    TempFolder dir;
    makeTable(dir);
    platform::FaultyFileSystem fs(platform::FileSystem::local());
    TFileList list(fs);
    TFileHandler h(&list);
    h.SetName(dir.path("t.DAT"));
    h.Open();
    h.SetHoldWrites(true);
    const MostlySame m = holdMostlySame(h);
    fs.setPlan({Fault::IoError, 2, true});
    EXPECT_THROW(
        WriteOutTables(fs, {TJournalTable{dir.path("t.JNL"), {&h, nullptr, nullptr}, true, nullptr}}, false),
        EVELDOREngineError);
    fs.setPlan({});
    ASSERT_TRUE(JournalHot(fs, dir.path("t.JNL")));
    TJournalImage image;
    const std::vector<uint8_t> bytes = contents(dir.path("t.JNL"));
    ASSERT_TRUE(DecodeJournal(bytes, image));
    ASSERT_EQ(image.files.size(), 1u);
    EXPECT_EQ(image.files[0].length, kOldSize);
    const std::vector<uint8_t> old = pattern(kOldSize, 1);
    size_t kept = 0;
    for (const TJournalRegion& r : image.files[0].regions) {
      kept += r.bytes.size();
      EXPECT_TRUE(std::equal(r.bytes.begin(), r.bytes.end(), old.begin() + r.offset));
    }
    for (int64_t at : m.differing) {
      const bool covered = std::any_of(
          image.files[0].regions.begin(), image.files[0].regions.end(),
          [&](const TJournalRegion& r) { return r.offset <= at && at < r.offset + int64_t(r.bytes.size()); });
      EXPECT_TRUE(covered) << "offset " << at;
    }
    // 13 changed bytes against 2,600 written; bytes a few apart share a region.
    EXPECT_LT(kept, 100u);
    EXPECT_LT(image.files[0].regions.size(), m.differing.size());
    const auto regionOf = [&](int64_t at) {
      for (size_t i = 0; i < image.files[0].regions.size(); ++i) {
        const TJournalRegion& r = image.files[0].regions[i];
        if (r.offset <= at && at < r.offset + int64_t(r.bytes.size())) return i;
      }
      return image.files[0].regions.size();
    };
    EXPECT_EQ(regionOf(950), regionOf(952));
    EXPECT_NE(regionOf(699), regionOf(900));
    h.DropHeldWrites();
    h.Close();
    TFileList plain;
    TFileHandler again(&plain);
    again.SetName(dir.path("t.DAT"));
    again.Open();
    RecoverJournal(platform::FileSystem::local(), dir.path("t.JNL"), {&again, nullptr, nullptr});
    again.Close();
    EXPECT_EQ(contents(dir.path("t.DAT")), old);
  }
  for (Fault fault : {Fault::ShortWrite, Fault::NoSpace, Fault::IoError}) {
    for (uint64_t k = 1;; ++k) {
      SCOPED_TRACE("fault " + std::to_string(int(fault)) + " at write " + std::to_string(k));
      TempFolder dir;
      makeTable(dir);
      platform::FaultyFileSystem fs(platform::FileSystem::local());
      bool failed = false;
      MostlySame m;
      {
        TFileList list(fs);
        TFileHandler h(&list);
        h.SetName(dir.path("t.DAT"));
        h.Open();
        h.SetHoldWrites(true);
        m = holdMostlySame(h);
        fs.setPlan({fault, k, true});
        try {
          WriteOutTables(fs, {TJournalTable{dir.path("t.JNL"), {&h, nullptr, nullptr}, true, nullptr}}, true);
        } catch (const EVELDOREngineError&) {
          failed = true;
        }
        fs.setPlan({});
      }
      if (JournalHot(fs, dir.path("t.JNL"))) {
        TFileList list;
        TFileHandler h(&list);
        h.SetName(dir.path("t.DAT"));
        h.Open();
        RecoverJournal(platform::FileSystem::local(), dir.path("t.JNL"), {&h, nullptr, nullptr});
      }
      EXPECT_EQ(contents(dir.path("t.DAT")), failed ? pattern(kOldSize, 1) : m.after);
      if (!failed) break;
    }
  }
}

// A kept journal is written in place write-out after write-out; deleted behind its holder (as a
// recovery elsewhere does), the next write-out makes it anew; letting it go deletes it only when
// no other open of it is left.
TEST(JournalHandleTest, AKeptJournalIsReusedRemadeWhenDeletedAndGoesWithItsLastHolder) {
  TempFolder dir;
  makeTable(dir);
  platform::FileSystem& fs = platform::FileSystem::local();
  platform::FaultyFileSystem counting(fs);
  const std::string path = dir.path("t.JNL");
  const auto identity = [&] {
    platform::FileInfo info;
    EXPECT_TRUE(fs.fileInfoAsSpelt(path, info));
    EXPECT_EQ(info.size, 0);
    return info.identity;
  };
  TJournalHandle kept(path);
  ASSERT_FALSE(change(counting, dir, Fault::None, 0, &kept).failed);
  const platform::FileIdentity first = identity();
  ASSERT_FALSE(change(counting, dir, Fault::None, 0, &kept).failed);
  EXPECT_EQ(identity(), first);
  std::filesystem::remove(path);
  ASSERT_FALSE(change(counting, dir, Fault::None, 0, &kept).failed);
  identity();
  // Another open keeps it; its own holder then lets go last.
  TJournalHandle other(path);
  ASSERT_FALSE(change(counting, dir, Fault::None, 0, &other).failed);
  kept.Release(counting);
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_TRUE(fs.openAnywhereAsSpelt(path));
  other.Release(counting);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(fs.openAnywhereAsSpelt(path));
}

// What the holder is told it would find at the path spares the write-out's look-up only when it is
// the file held, and only for the next write-out: a journal deleted behind the holder after that
// one is made anew as before, and one told of another file is looked for where the path leads.
TEST(JournalHandleTest, ASeenJournalSparesOneLookUpAndOnlyForTheFileHeld) {
  TempFolder dir;
  makeTable(dir);
  platform::FileSystem& fs = platform::FileSystem::local();
  platform::FaultyFileSystem counting(fs);
  const std::string path = dir.path("t.JNL");
  TJournalHandle kept(path);
  ASSERT_FALSE(change(counting, dir, Fault::None, 0, &kept).failed);
  platform::FileInfo info;
  ASSERT_TRUE(fs.fileInfoAsSpelt(path, info));
  const platform::FileIdentity held = info.identity;
  kept.Seen(held);
  ASSERT_FALSE(change(counting, dir, Fault::None, 0, &kept).failed);
  ASSERT_TRUE(fs.fileInfoAsSpelt(path, info));
  EXPECT_EQ(info.identity, held);
  EXPECT_EQ(info.size, 0);
  kept.Seen(held);
  ASSERT_FALSE(change(counting, dir, Fault::None, 0, &kept).failed);
  std::filesystem::remove(path);
  ASSERT_FALSE(change(counting, dir, Fault::None, 0, &kept).failed);
  ASSERT_TRUE(fs.fileInfoAsSpelt(path, info));
  EXPECT_EQ(info.size, 0);
  std::filesystem::remove(path);
  kept.Seen({info.identity.device, info.identity.inode + 1});
  const Outcome last = change(counting, dir, Fault::None, 0, &kept);
  ASSERT_FALSE(last.failed);
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(contents(dir.path("t.DAT")), last.after);
}

}  // namespace
}  // namespace engine
