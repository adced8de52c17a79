// The journal's promise at its own layer, through a file system that fails at the k-th write: a
// write-out either succeeds whole or, once a left-behind journal is recovered, leaves the file
// exactly as it was; no fault ends in a mixed file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "datafile_test_util.h"
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

// A write-out killed at any step of its own, its journal rolled back by another process: the
// file is as it was before the change or, once the journal went, as the change made it. The
// changes put differing runs at the joining gap and either side of it, at the file's last byte,
// across the edges of the pieces the old bytes are read in, past the old length, below and across
// a cut, and grow and cut the file in the same write-out; random ones beside. The seed is printed.
struct HeldOp {
  bool cut = false;
  int64_t at = 0;
  int64_t size = 0;            // bytes written, or the length cut to
  std::vector<int64_t> flips;  // bytes a write changes; the rest it writes back as they are
  // Above 0: the write comes with the old bytes of the first 5 bytes every `knownStride` bytes
  // (TKnownOldBytes), where its flips lie, as a freed run of records does.
  uint32_t knownStride = 0;
};

// Applies `ops` to `model` (the file's bytes) and, when given, holds them in `h`.
void applyHeld(const std::vector<HeldOp>& ops, std::vector<uint8_t>& model, TFileHandler* h) {
  for (const HeldOp& op : ops) {
    if (op.cut) {
      model.resize(size_t(op.size));
      if (h) {
        h->Seek(kSeekBegin, op.size);
        h->Truncate();
      }
      continue;
    }
    std::vector<uint8_t> bytes(size_t(op.size));
    for (int64_t i = 0; i < op.size; ++i) {
      const int64_t at = op.at + i;
      bytes[size_t(i)] = at < int64_t(model.size()) ? model[size_t(at)] : uint8_t(at * 31 + 5);
    }
    for (int64_t f : op.flips)
      if (f >= op.at && f < op.at + op.size) bytes[size_t(f - op.at)] ^= 0xA5;
    TKnownOldBytes known{op.knownStride, 5, {}};
    for (int64_t w = 0; op.knownStride && w < op.size; w += op.knownStride)
      known.old.insert(known.old.end(), model.begin() + op.at + w, model.begin() + op.at + w + 5);
    if (int64_t(model.size()) < op.at + op.size) model.resize(size_t(op.at + op.size), 0);
    std::copy(bytes.begin(), bytes.end(), model.begin() + op.at);
    if (h && op.knownStride)
      h->WriteAt(op.at, std::move(bytes), std::move(known));
    else if (h)
      h->WriteAt(op.at, bytes.data(), op.size);
  }
}

struct KillCase {
  int64_t oldSize = 0;
  std::vector<HeldOp> ops;
};

std::vector<KillCase> killCases(uint32_t seed) {
  std::vector<KillCase> cases;
  // Runs 30, 31, 32 and 33 bytes apart; the last byte; a write that runs past the old end.
  cases.push_back(
      {4000,
       {{false, 0, 4000, {10, 41, 100, 133, 200, 232, 300, 334, 3999}}, {false, 3990, 110, {3995, 4050}}}});
  // Cut below changed bytes and grown again across the cut, past the old length and beyond it,
  // cut once more and grown.
  cases.push_back({5000,
                   {{false, 100, 800, {150, 151}},
                    {true, 0, 2000, {}},
                    {false, 1500, 1100, {1600, 1999, 2000}},
                    {false, 6000, 100, {}},
                    {true, 0, 5800, {}},
                    {false, 7000, 10, {}}}});
  // Old bytes read a piece at a time: runs at and across the pieces' edges.
  std::vector<int64_t> edges = {262143, 262144, 524287, 524288, 559999};
  for (int64_t at = 262100; at < 262200; at += 7) edges.push_back(at);
  cases.push_back({600000, {{false, 200000, 360000, edges}}});
  // A journal of several chunks: runs joined over a megabyte, cut by the pieces' ends, then a
  // cut whose tail alone fills most of a chunk.
  std::vector<int64_t> dense;
  for (int64_t at = 3; at < 1300000; at += 20) dense.push_back(at);
  cases.push_back(
      {1600000, {{false, 0, 1300000, dense}, {true, 0, 1000000, {}}, {false, 1200000, 5000, {}}}});
  // Cut to nothing and written again; grown only; cut only.
  cases.push_back({3000, {{true, 0, 0, {}}, {false, 0, 100, {}}}});
  cases.push_back({1000, {{false, 1000, 1000, {}}}});
  cases.push_back({3000, {{true, 0, 1234, {}}}});
  std::mt19937 random(seed);
  for (int n = 0; n < 4; ++n) {
    KillCase c;
    c.oldSize = 1 + int64_t(random() % 20000);
    int64_t size = c.oldSize;
    for (uint32_t k = 1 + random() % 5; k > 0; --k) {
      if (random() % 4 == 0) {
        size = int64_t(random() % uint32_t(size + 1));
        c.ops.push_back({true, 0, size, {}});
        continue;
      }
      HeldOp op;
      op.at = int64_t(random() % uint32_t(size + 64));
      op.size = 1 + int64_t(random() % 3000);
      for (int64_t f = op.at + int64_t(random() % 40); f < op.at + op.size; f += 28 + int64_t(random() % 8))
        if (random() % 3 != 0) op.flips.push_back(f);
      size = std::max(size, op.at + op.size);
      c.ops.push_back(op);
    }
    cases.push_back(std::move(c));
  }
  return cases;
}

// Kills the write-out of `kc` at each of its steps in turn, until one runs to its end, and rolls
// back what each left from another process: the file must be as it was or as the change made it,
// byte for byte, and once a kill kept the change every later one keeps it.
void killAtEveryStep(const KillCase& kc) {
  std::vector<uint8_t> old(size_t(kc.oldSize));
  for (size_t i = 0; i < old.size(); ++i) old[i] = uint8_t(i * 7 + (i >> 8) + 1);
  std::vector<uint8_t> after = old;
  applyHeld(kc.ops, after, nullptr);
  bool sawAfter = false;
  for (uint64_t k = 1;; ++k) {
    SCOPED_TRACE("killed at step " + std::to_string(k));
    TempFolder dir;
    {
      TFileList list;
      TFileHandler h(&list);
      h.SetName(dir.path("t.DAT"));
      h.CreateFile();
      if (!old.empty()) h.WriteAt(0, old.data(), int64_t(old.size()));
    }
    storage_test::Helper child([&](storage_test::Helper&) {
      platform::FaultyFileSystem fs(platform::FileSystem::local());
      TFileList list(fs);
      TFileHandler h(&list);
      h.SetName(dir.path("t.DAT"));
      h.Open();
      h.SetHoldWrites(true);
      std::vector<uint8_t> model = old;
      applyHeld(kc.ops, model, &h);
      fs.setPlan({Fault::Exit, k, false});
      WriteOutTables(fs, {TJournalTable{dir.path("t.JNL"), {&h, nullptr, nullptr}, true, nullptr}}, true);
      fs.setPlan({});
      return 0;
    });
    const int code = child.wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << "child ended with " << code;
    if (std::filesystem::exists(dir.path("t.JNL"))) {
      TFileList list;
      TFileHandler h(&list);
      h.SetName(dir.path("t.DAT"));
      h.Open();
      RecoverJournal(platform::FileSystem::local(), dir.path("t.JNL"), {&h, nullptr, nullptr});
    }
    const std::vector<uint8_t> now = contents(dir.path("t.DAT"));
    if (now == after) {
      sawAfter = true;
    } else {
      ASSERT_FALSE(sawAfter) << "a kill later than one that kept the change rolled it back";
      ASSERT_EQ(now.size(), old.size());
      ASSERT_TRUE(now == old) << "the file is neither as it was nor as the change made it";
    }
    if (code == 0) {
      EXPECT_EQ(now, after);
      EXPECT_GT(k, 1u) << "no step of the write-out was killed";
      break;
    }
  }
}

TEST(JournalKillTest, AWriteOutKilledAtAnyStepIsRolledBackWholeByAnotherProcess) {
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  const std::vector<KillCase> cases = killCases(seed);
  for (size_t n = 0; n < cases.size(); ++n) {
    SCOPED_TRACE("case " + std::to_string(n));
    killAtEveryStep(cases[n]);
    if (HasFatalFailure()) return;
  }
}

// The changed bytes are found 64 at a time: runs that end and start at a block's edge, run across
// one, fill a block or more, lie 31 and 32 bytes apart across an edge, freed records side by side
// (a few bytes at the start of each, hundreds of runs), a page's last bytes and the file's, in
// extents that start on a block's edge and off it, are rolled back whole after a kill at any step.
TEST(JournalKillTest, RunsAtTheEdgesOfTheBlocksSearchedAreRolledBackWhole) {
  std::vector<KillCase> cases;
  // Edges: 63 | 64, 124..131 across 128, 192..255 a whole block, 256..320 one more byte, a run
  // ending at 350 and one at 381 (31 apart, across 384) and one ending at 500 and one at 532
  // (32 apart, across 512), a page's last bytes (4094, 4095) and the next page's first.
  std::vector<int64_t> edges = {63, 64, 350, 381, 500, 532, 4094, 4095, 4096, 6399};
  for (int64_t at = 124; at < 132; ++at) edges.push_back(at);
  for (int64_t at = 192; at < 321; ++at) edges.push_back(at);
  cases.push_back({6400, {{false, 0, 6400, edges}}});
  // The same runs in an extent that starts 7 bytes past a block's edge.
  std::vector<int64_t> shifted;
  for (int64_t at : edges) shifted.push_back(at + 7);
  cases.push_back({6407, {{false, 7, 6400, shifted}}});
  // Freed records of 50 bytes side by side, each changed in its first 5 bytes, the last at the
  // file's end; and records of 9 bytes (keys in a leaf) whose first byte changes, up to a page's
  // last bytes.
  std::vector<int64_t> records;
  for (int64_t at = 0; at < 50000; at += 50)
    for (int64_t b = 0; b < 5; ++b) records.push_back(at + b);
  for (int64_t b = 49995; b < 50000; ++b) records.push_back(b);
  cases.push_back({50000, {{false, 0, 50000, records}}});
  std::vector<int64_t> keys;
  for (int64_t at = 4096 + 14; at + 9 <= 8192; at += 9) keys.push_back(at);
  keys.push_back(8191);
  cases.push_back({12288, {{false, 4096, 4096, keys}}});
  for (size_t n = 0; n < cases.size(); ++n) {
    SCOPED_TRACE("case " + std::to_string(n));
    killAtEveryStep(cases[n]);
    if (HasFatalFailure()) return;
  }
}

// A journal as the build before kept it (the old bytes of every region a write-out writes back,
// whole, the file's tail from the lowest cut on) is read back and rolls the file back, as the
// narrow regions of this build's do.
TEST(JournalKillTest, AJournalOfWholeRegionsLeftByTheBuildBeforeRollsBack) {
  TempFolder dir;
  const std::vector<uint8_t> old = pattern(kOldSize, 1);
  makeTable(dir);
  TJournalImage image;
  TJournalFile& file = image.files.emplace_back();
  file.kind = 0;
  file.length = kOldSize;
  for (auto [from, to] : {std::pair<int64_t, int64_t>{0, 700}, {900, 2100}, {2500, kOldSize}})
    file.regions.push_back({from, std::vector<uint8_t>(old.begin() + from, old.begin() + to)});
  {
    // What the interrupted write-out had done: written the regions, cut the file and grown it.
    TFileList list;
    TFileHandler h(&list);
    h.SetName(dir.path("t.DAT"));
    h.Open();
    const std::vector<uint8_t> fresh = pattern(kOldSize, 77);
    h.WriteAt(0, fresh.data(), 700);
    h.WriteAt(900, fresh.data(), 1200);
    h.Seek(kSeekBegin, 2500);
    h.Truncate();
    h.WriteAt(4000, fresh.data(), 10);
    const std::vector<uint8_t> bytes = EncodeJournal(image);
    TFileHandler j(&list);
    j.SetName(dir.path("t.JNL"));
    j.CreateFile();
    j.WriteAt(0, bytes.data(), int64_t(bytes.size()));
  }
  ASSERT_TRUE(JournalHot(platform::FileSystem::local(), dir.path("t.JNL")));
  {
    TFileList list;
    TFileHandler h(&list);
    h.SetName(dir.path("t.DAT"));
    h.Open();
    EXPECT_TRUE(RecoverJournal(platform::FileSystem::local(), dir.path("t.JNL"), {&h, nullptr, nullptr}));
  }
  EXPECT_EQ(contents(dir.path("t.DAT")), old);
  EXPECT_FALSE(std::filesystem::exists(dir.path("t.JNL")));
}

// ---- A change over tables in two folders ----

// A journal's marker name as the reader takes it: a plain name in the journal's folder (any plain
// name, as ever) or a marker's full path, and nothing that could reach another file.
TEST(JournalMarkerTest, AJournalNamesItsMarkerPlainlyOrByAFullPathAndByNothingElse) {
  const auto reads = [](const std::string& marker) {
    TJournalImage image;
    image.marker = marker;
    const std::vector<uint8_t> bytes = EncodeJournal(image);
    TJournalImage back;
    const bool read = DecodeJournal(bytes, back);
    EXPECT_TRUE(!read || (back.marker == marker && EncodeJournal(back) == bytes)) << marker;
    return read;
  };
  for (const std::string& marker :
       {std::string(), std::string("123-00ff.JNM"), std::string("plain"), std::string(255, 'a'),
        std::string("/m.JNM"), std::string("/a/b c/1-f.JNM"), "/" + std::string(4089, 'a') + "/1.JNM"})
    EXPECT_TRUE(reads(marker)) << marker.substr(0, 40);
  for (const std::string& marker :
       {std::string(256, 'a'), std::string("a/1.JNM"), std::string("/a/../1.JNM"), std::string("/a/./1.JNM"),
        std::string("/./1.JNM"), std::string("/a//1.JNM"), std::string("/a/1.JNL"), std::string("/a/.JNM"),
        std::string("/a/b c.JNM"), std::string("/a/\n1.JNM"), std::string("/a/1.JNM/"), std::string("/"),
        std::string("/a\0/1.JNM", 9), "/" + std::string(4090, 'a') + "/1.JNM"})
    EXPECT_FALSE(reads(marker)) << marker.substr(0, 40);
}

struct SpreadTables {
  std::string first, second;  // the data files; the first one's journal is written first
  std::vector<uint8_t> old = pattern(kOldSize, 1);
  std::vector<uint8_t> fresh = pattern(kOldSize + 700, 55);
};

std::string journalOf(const std::string& data) {
  return data.substr(0, data.size() - 4) + ".JNL";
}

// Writes out one change of both tables in a child that ends at its `k`-th write; 0 when the
// write-out ran through.
int writeOutSpread(const SpreadTables& t, uint64_t k) {
  datafile_test::writeFileBytes(t.first, t.old);
  datafile_test::writeFileBytes(t.second, t.old);
  storage_test::Helper child([&](storage_test::Helper&) {
    platform::FaultyFileSystem fs(platform::FileSystem::local());
    TFileList list(fs);
    TFileHandler a(&list), b(&list);
    std::vector<TJournalTable> tables;
    for (auto [h, path] : {std::pair{&a, t.first}, {&b, t.second}}) {
      h->SetName(path);
      h->Open();
      h->SetHoldWrites(true);
      h->WriteAt(100, t.fresh.data() + 100, 600);
      h->WriteAt(2800, t.fresh.data() + 2800, 900);
      tables.push_back(TJournalTable{journalOf(path), {h, nullptr, nullptr}, true, nullptr});
    }
    fs.setPlan({Fault::Exit, k, true});
    WriteOutTables(fs, tables, true);
    return 0;
  });
  return child.wait();
}

std::vector<std::filesystem::path> markersIn(const std::string& folder) {
  std::vector<std::filesystem::path> found;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().extension() == ".JNM") found.push_back(entry.path());
  return found;
}

TJournalImage journalAt(const std::string& path) {
  const std::vector<uint8_t> bytes = datafile_test::readFileBytes(path);
  TJournalImage image;
  EXPECT_TRUE(DecodeJournal(bytes, image)) << path;
  return image;
}

bool recover(const std::string& data) {
  TFileList list;
  TFileHandler h(&list);
  h.SetName(data);
  h.Open();
  return RecoverJournal(platform::FileSystem::local(), journalOf(data), {&h, nullptr, nullptr});
}

// Ends the write-out at each of its writes and recovers the tables in either order: both hold
// the old bytes or both the new. Where both journals were left with their marker, they name it
// as earlier builds did when they lie beside it, by its full path where not, and the marker lists
// them so.
void endEverySpreadWriteOutEarly(const SpreadTables& t, bool secondFirst) {
  std::vector<uint8_t> after = t.old;
  after.resize(2800 + 900);
  std::copy(t.fresh.begin() + 100, t.fresh.begin() + 700, after.begin() + 100);
  std::copy(t.fresh.begin() + 2800, t.fresh.begin() + 3700, after.begin() + 2800);
  const std::string markerFolder = std::filesystem::path(t.first).parent_path().string();
  const bool beside = std::filesystem::path(t.second).parent_path() == markerFolder;
  bool sawBoth = false;
  for (uint64_t k = 1; k < 40; ++k) {
    SCOPED_TRACE("ended at write " + std::to_string(k) + (secondFirst ? ", second recovered first" : ""));
    const int code = writeOutSpread(t, k);
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << code;
    const std::vector<std::filesystem::path> markers = markersIn(markerFolder);
    ASSERT_LE(markers.size(), 1u);
    // A marker is made before its listing is written: until then, no table file was touched.
    if (!markers.empty() && std::filesystem::file_size(markers.front()) > 0 &&
        JournalHot(platform::FileSystem::local(), journalOf(t.first)) &&
        JournalHot(platform::FileSystem::local(), journalOf(t.second))) {
      sawBoth = true;
      const std::string name = markers.front().filename().string();
      EXPECT_EQ(journalAt(journalOf(t.first)).marker, name);
      // Named from the root by a path without "." or ".." parts, however the first table was.
      EXPECT_EQ(journalAt(journalOf(t.second)).marker,
                beside ? name : std::filesystem::weakly_canonical(markers.front()).string());
      const std::vector<uint8_t> listing = datafile_test::readFileBytes(markers.front().string());
      const std::string listed =
          std::filesystem::path(journalOf(t.first)).filename().string() + "\n" +
          (beside ? std::filesystem::path(journalOf(t.second)).filename().string() : journalOf(t.second)) +
          "\n";
      EXPECT_EQ(std::string(listing.begin(), listing.end()), listed);
    }
    for (const std::string& data :
         secondFirst ? std::vector{t.second, t.first} : std::vector{t.first, t.second})
      EXPECT_NO_THROW(recover(data));
    const std::vector<uint8_t> first = contents(t.first);
    EXPECT_TRUE(first == after || (code != 0 && first == t.old));
    EXPECT_EQ(contents(t.second), first);
    EXPECT_TRUE(markersIn(markerFolder).empty());
    // An empty journal is left to the table's next opener, as ever.
    EXPECT_FALSE(JournalHot(platform::FileSystem::local(), journalOf(t.first)));
    EXPECT_FALSE(JournalHot(platform::FileSystem::local(), journalOf(t.second)));
    if (code == 0) break;
  }
  EXPECT_TRUE(sawBoth) << "no write-out ended while writing the tables";
}

TEST(JournalMarkerTest, AChangeOfTablesInTwoFoldersEndedAtAnyWriteIsAllOldOrAllNew) {
  TempFolder dir;
  std::filesystem::create_directories(dir.path("one"));
  std::filesystem::create_directories(dir.path("two"));
  SpreadTables spread{dir.path("one/a.DAT"), dir.path("two/b.DAT")};
  endEverySpreadWriteOutEarly(spread, false);
  endEverySpreadWriteOutEarly(spread, true);
  SpreadTables spelt{dir.path("one/./a.DAT"), dir.path("two/../two/b.DAT")};
  endEverySpreadWriteOutEarly(spelt, false);
  // Both in one folder: journals and marker as earlier builds wrote and read them.
  SpreadTables together{dir.path("one/a.DAT"), dir.path("one/b.DAT")};
  endEverySpreadWriteOutEarly(together, false);
  endEverySpreadWriteOutEarly(together, true);
}

// A journal of another folder cut off (never completed, so its table untouched) is deleted
// unread; the marker it names by its full path goes once the last journal listed is gone.
TEST(JournalMarkerTest, ACutOffJournalOfAnotherFolderLetsItsMarkerGo) {
  TempFolder dir;
  std::filesystem::create_directories(dir.path("one"));
  std::filesystem::create_directories(dir.path("two"));
  const SpreadTables t{dir.path("one/a.DAT"), dir.path("two/b.DAT")};
  // The first write into a table file comes after both journals and the marker's listing.
  uint64_t k = 1;
  for (; k < 40; ++k) {
    ASSERT_EQ(writeOutSpread(t, k), platform::kFaultExitCode);
    const std::vector<std::filesystem::path> markers = markersIn(dir.path("one"));
    if (!markers.empty() && std::filesystem::file_size(markers.front()) > 0) break;
    for (const std::string& data : {t.first, t.second}) recover(data);
  }
  ASSERT_EQ(markersIn(dir.path("one")).size(), 1u);
  const std::string marker = markersIn(dir.path("one")).front().string();
  std::vector<uint8_t> away = datafile_test::readFileBytes(journalOf(t.second));
  ASSERT_EQ(journalAt(journalOf(t.second)).marker, marker);
  away.resize(8 + 2 + marker.size() + 5);
  datafile_test::writeFileBytes(journalOf(t.second), away);
  EXPECT_FALSE(recover(t.second));
  EXPECT_FALSE(std::filesystem::exists(journalOf(t.second)));
  EXPECT_TRUE(std::filesystem::exists(marker)) << "the first table's journal is still listed";
  recover(t.first);
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(contents(t.first), t.old);
  EXPECT_EQ(contents(t.second), t.old);
}

// A bulk change's journals run over several chunks of storage, with regions of a quarter
// megabyte and a tail longer than a chunk, over two tables (one with two files) and their marker.
// Each is byte for byte what the format's own encoder makes of what it holds, and a write-out that
// fails at any write leaves the old files, rolled back from memory or by recovery.
TEST(JournalBulkTest, AJournalOfManyChunksIsTheFormatByteForByteAndEveryFailureRollsBack) {
  struct File {
    std::string path;
    int64_t oldSize;
    std::vector<HeldOp> ops;
    std::vector<uint8_t> old, after;
  };
  std::vector<int64_t> dense, sparse;
  for (int64_t at = 5; at < 1300000; at += 20) dense.push_back(at);
  for (int64_t at = 7; at < 300000; at += 997) sparse.push_back(at);
  TempFolder dir;
  std::vector<File> files = {
      {dir.path("a.DAT"), 1600000, {{false, 0, 1300000, dense}, {false, 1600000, 10000, {}}}, {}, {}},
      {dir.path("a.IDX"), 1500000, {{true, 0, 100000, {}}, {false, 99000, 3000, {99100, 99500}}}, {}, {}},
      {dir.path("b.DAT"), 300000, {{false, 0, 300000, sparse}}, {}, {}}};
  for (File& f : files) {
    f.old.resize(size_t(f.oldSize));
    for (size_t i = 0; i < f.old.size(); ++i) f.old[i] = uint8_t(i * 13 + (i >> 9) + 3);
    f.after = f.old;
    applyHeld(f.ops, f.after, nullptr);
  }
  const std::vector<std::string> journals = {dir.path("a.JNL"), dir.path("b.JNL")};
  const std::string folder = std::filesystem::path(journals[0]).parent_path().string();
  for (const bool onward : {true, false}) {
    bool sawHot = false;
    for (uint64_t k = 1;; ++k) {
      SCOPED_TRACE(std::string(onward ? "every write from " : "every multiple of write ") +
                   std::to_string(k));
      ASSERT_LT(k, 100u);
      for (const File& f : files) datafile_test::writeFileBytes(f.path, f.old);
      bool failed = false;
      {
        platform::FaultyFileSystem fs(platform::FileSystem::local());
        TFileList list(fs);
        std::vector<std::unique_ptr<TFileHandler>> h;
        for (const File& f : files) {
          TFileHandler& one = *h.emplace_back(std::make_unique<TFileHandler>(&list));
          one.SetName(f.path);
          one.Open();
          one.SetHoldWrites(true);
          std::vector<uint8_t> model = f.old;
          applyHeld(f.ops, model, &one);
        }
        fs.setPlan({Fault::IoError, k, true, onward});
        try {
          WriteOutTables(fs,
                         {TJournalTable{journals[0], {h[0].get(), h[1].get(), nullptr}, true, nullptr},
                          TJournalTable{journals[1], {h[2].get(), nullptr, nullptr}, true, nullptr}},
                         false);
        } catch (const EVELDOREngineError&) {
          failed = true;
        }
        fs.setPlan({});
      }
      if (JournalHot(platform::FileSystem::local(), journals[0]) &&
          JournalHot(platform::FileSystem::local(), journals[1]) && !markersIn(folder).empty()) {
        sawHot = true;
        for (size_t j = 0; j < journals.size(); ++j) {
          const std::vector<uint8_t> bytes = datafile_test::readFileBytes(journals[j]);
          TJournalImage image;
          ASSERT_TRUE(DecodeJournal(bytes, image));
          ASSERT_TRUE(EncodeJournal(image) == bytes) << "journal " << j << " is not the format's own";
          EXPECT_EQ(image.marker, markersIn(folder).front().filename().string());
          if (j == 0) {
            EXPECT_GT(bytes.size(), size_t(2) << 20) << "the journal spans several chunks";
          }
          ASSERT_EQ(image.files.size(), j == 0 ? 2u : 1u);
          for (const TJournalFile& jf : image.files) {
            const File& f = files[j == 0 ? jf.kind : 2];
            EXPECT_EQ(jf.length, f.oldSize);
            for (const TJournalRegion& r : jf.regions)
              ASSERT_TRUE(std::equal(r.bytes.begin(), r.bytes.end(), f.old.begin() + r.offset));
          }
        }
      }
      {
        TFileList list;
        std::vector<std::unique_ptr<TFileHandler>> h;
        for (const File& f : files) {
          TFileHandler& one = *h.emplace_back(std::make_unique<TFileHandler>(&list));
          one.SetName(f.path);
          one.Open();
        }
        RecoverJournal(platform::FileSystem::local(), journals[0], {h[0].get(), h[1].get(), nullptr});
        RecoverJournal(platform::FileSystem::local(), journals[1], {h[2].get(), nullptr, nullptr});
      }
      for (const File& f : files) ASSERT_TRUE(contents(f.path) == (failed ? f.old : f.after)) << f.path;
      // Nor is a marker left behind, even one whose listing failed.
      ASSERT_TRUE(markersIn(folder).empty());
      if (!failed) break;
    }
    EXPECT_TRUE(sawHot || !onward) << "no write-out failed with its journals complete";
  }
}

// Journals whose pieces end where storage runs out: a region that fills the first chunk exactly,
// leaves the checksum room or not, goes one byte past it, one larger than a chunk, a cut whose
// tail outgrows one, and a file with no region. Each case runs in a thread of its own, so that
// it starts with no storage kept, and then again in the same thread on the storage the failed
// write-outs left. A short or failed write at any step leaves either a journal that is the
// format's own and rolls back whole, or one that recovery refuses, with the file untouched. Two
// threads do the same at once.
TEST(JournalBulkTest, RegionsAtTheEdgesOfTheBuildsStorageRollBackWholeAtEveryFailedWrite) {
  // The first chunk, 64 KiB, opens with room for a head naming a marker path of 4096 bytes, then
  // the file's 13-byte head: a region of 61,404 bytes (and its 12-byte head) fills it.
  constexpr int64_t kFill = 65536 - (8 + 2 + 4096 + 1) - 13 - 12;
  struct Case {
    int64_t oldSize;
    std::vector<HeldOp> ops;
  };
  const auto everyByte = [](int64_t from, int64_t n) {
    std::vector<int64_t> v;
    for (int64_t i = from; i < from + n; ++i) v.push_back(i);
    return v;
  };
  std::vector<Case> cases;
  for (const int64_t s : {kFill, kFill - 4, kFill - 3, kFill + 1})
    cases.push_back({200000, {{false, 0, s, everyByte(0, s)}}});
  cases.push_back({1200000, {{false, 0, 1100000, everyByte(0, 1100000)}}});
  cases.push_back({1200000, {{true, 0, 0, {}}, {false, 0, 10, {}}}});
  cases.push_back({5000, {{false, 100, 3000, {}}}});
  const auto exercise = [&](size_t n) {
    const Case& c = cases[n];
    std::vector<uint8_t> old(size_t(c.oldSize));
    for (size_t i = 0; i < old.size(); ++i) old[i] = uint8_t(i * 11 + (i >> 10) + 7);
    std::vector<uint8_t> after = old;
    applyHeld(c.ops, after, nullptr);
    {
      for (const Fault fault : {Fault::ShortWrite, Fault::IoError}) {
        for (uint64_t k = 1;; ++k) {
          SCOPED_TRACE("case " + std::to_string(n) + (fault == Fault::ShortWrite ? " short" : " failed") +
                       " from write " + std::to_string(k));
          ASSERT_LT(k, 40u);
          TempFolder dir;
          datafile_test::writeFileBytes(dir.path("t.DAT"), old);
          bool failed = false;
          {
            platform::FaultyFileSystem fs(platform::FileSystem::local());
            TFileList list(fs);
            TFileHandler h(&list);
            h.SetName(dir.path("t.DAT"));
            h.Open();
            h.SetHoldWrites(true);
            std::vector<uint8_t> model = old;
            applyHeld(c.ops, model, &h);
            fs.setPlan({fault, k, true, true});
            try {
              WriteOutTables(fs, {TJournalTable{dir.path("t.JNL"), {&h, nullptr, nullptr}, true, nullptr}},
                             false);
            } catch (const EVELDOREngineError&) {
              failed = true;
            }
            fs.setPlan({});
          }
          TJournalImage image;
          const bool hot = JournalHot(platform::FileSystem::local(), dir.path("t.JNL"));
          const std::vector<uint8_t> bytes = hot ? contents(dir.path("t.JNL")) : std::vector<uint8_t>();
          if (hot && DecodeJournal(bytes, image)) {
            ASSERT_TRUE(EncodeJournal(image) == bytes) << "not the format's own";
            ASSERT_EQ(image.files.size(), 1u);
            EXPECT_EQ(image.files[0].length, c.oldSize);
            for (const TJournalRegion& r : image.files[0].regions)
              ASSERT_TRUE(std::equal(r.bytes.begin(), r.bytes.end(), old.begin() + r.offset));
          } else if (hot) {
            // Refused: the write-out never reached the table.
            ASSERT_TRUE(contents(dir.path("t.DAT")) == old);
          }
          {
            TFileList list;
            TFileHandler h(&list);
            h.SetName(dir.path("t.DAT"));
            h.Open();
            RecoverJournal(platform::FileSystem::local(), dir.path("t.JNL"), {&h, nullptr, nullptr});
          }
          ASSERT_TRUE(contents(dir.path("t.DAT")) == (failed ? old : after));
          if (!failed) break;
        }
      }
    }
  };
  for (size_t n = 0; n < cases.size(); ++n) std::thread(exercise, n).join();
  // Two commits at once, each thread on storage of its own: a journal of one chunk beside one of
  // several.
  std::thread first(exercise, 0), second(exercise, 4);
  first.join();
  second.join();
}

// The search for changed bytes goes a word at a time: a single changed byte, or a run that ends
// the write, at every offset of writes of 1 to 17 bytes starting on and off a word's edge (and
// running past the old end), is journaled as exactly its own old bytes.
TEST(JournalNarrowTest, AChangedByteOrRunAtEveryPlaceNearAWordsEdgeIsJournaledAlone) {
  TempFolder dir;
  makeTable(dir);
  const std::vector<uint8_t> old = pattern(kOldSize, 1);
  for (const int64_t from : {int64_t(0), int64_t(5), int64_t(2993)})
    for (int64_t n = 1; n < 18; ++n)
      for (int64_t p = 0; p < n; ++p)
        for (const bool toTheEnd : {false, true}) {
          SCOPED_TRACE(std::to_string(n) + " bytes at " + std::to_string(from) + ", changed from " +
                       std::to_string(p) + (toTheEnd ? " on" : " only"));
          std::vector<int64_t> flips = {from + p};
          for (int64_t q = p + 1; toTheEnd && q < n; ++q) flips.push_back(from + q);
          platform::FaultyFileSystem fs(platform::FileSystem::local());
          {
            TFileList list(fs);
            TFileHandler h(&list);
            h.SetName(dir.path("t.DAT"));
            h.Open();
            h.SetHoldWrites(true);
            std::vector<uint8_t> model = old;
            applyHeld({{false, from, n, flips}}, model, &h);
            // The journal goes out; the table's write and the rollback from memory fail.
            fs.setPlan({Fault::IoError, 2, true, true});
            EXPECT_THROW(
                WriteOutTables(fs, {TJournalTable{dir.path("t.JNL"), {&h, nullptr, nullptr}, true, nullptr}},
                               false),
                EVELDOREngineError);
            fs.setPlan({});
          }
          // A write-out that only grows the file is rolled back by a cut, which this plan lets
          // through.
          if (!std::filesystem::exists(dir.path("t.JNL"))) {
            ASSERT_GE(from + p, kOldSize);
            ASSERT_TRUE(contents(dir.path("t.DAT")) == old);
            continue;
          }
          TJournalImage image;
          ASSERT_TRUE(DecodeJournal(contents(dir.path("t.JNL")), image));
          ASSERT_EQ(image.files.size(), 1u);
          // Past the old end nothing is kept: the file's length puts that back.
          const int64_t end = std::min(kOldSize, toTheEnd ? from + n : from + p + 1);
          ASSERT_EQ(image.files[0].regions.size(), from + p < kOldSize ? 1u : 0u);
          if (from + p < kOldSize) {
            EXPECT_EQ(image.files[0].regions[0].offset, from + p);
            EXPECT_EQ(int64_t(image.files[0].regions[0].bytes.size()), end - (from + p));
          }
          TFileList list;
          TFileHandler h(&list);
          h.SetName(dir.path("t.DAT"));
          h.Open();
          RecoverJournal(platform::FileSystem::local(), dir.path("t.JNL"), {&h, nullptr, nullptr});
          h.Close();
          ASSERT_TRUE(contents(dir.path("t.DAT")) == old);
        }
}

// The changed bytes are found 64 at a time: whatever the pattern (runs at and across a block's
// edge, a block changed whole, runs 31, 32 and 33 bytes apart, bytes far apart, random ones), the
// journal keeps exactly the runs of changed bytes, those less than 32 bytes apart as one region,
// each with its old bytes, and a rollback puts every byte back.
TEST(JournalNarrowTest, EveryPatternOfChangedBytesIsJournaledAsItsJoinedRuns) {
  constexpr int64_t kFrom = 37, kSize = 2900, kJoin = 32;
  const std::vector<uint8_t> old = pattern(kOldSize, 1);
  std::vector<std::vector<int64_t>> patterns = {
      {63, 64, 127, 128, 300}, {},      {kFrom + 27, kFrom + 59, kFrom + 92, kFrom + 126},
      {kFrom + kSize - 1},     {kFrom},
  };
  std::vector<int64_t> whole;
  for (int64_t at = kFrom + 27; at < kFrom + 27 + 130; ++at) whole.push_back(at);
  patterns.push_back(whole);
  std::mt19937 random(storage_test::testSeed());
  for (int n = 0; n < 24; ++n) {
    std::vector<int64_t> flips;
    const uint32_t density = 1 + random() % 60;
    for (int64_t at = kFrom; at < kFrom + kSize; ++at)
      if (random() % 100 < density / (n % 3 == 0 ? 1 : 10)) flips.push_back(at);
    patterns.push_back(flips);
  }
  TempFolder dir;
  makeTable(dir);
  for (size_t n = 0; n < patterns.size(); ++n) {
    SCOPED_TRACE("pattern " + std::to_string(n) + " seed " + std::to_string(storage_test::testSeed()));
    const std::vector<int64_t>& flips = patterns[n];
    // The regions the rule gives: runs of changed bytes, joined across gaps under kJoin.
    std::vector<std::pair<int64_t, int64_t>> wanted;
    for (int64_t at : flips) {
      if (!wanted.empty() && at - wanted.back().second < kJoin)
        wanted.back().second = at + 1;
      else
        wanted.emplace_back(at, at + 1);
    }
    platform::FaultyFileSystem fs(platform::FileSystem::local());
    {
      TFileList list(fs);
      TFileHandler h(&list);
      h.SetName(dir.path("t.DAT"));
      h.Open();
      h.SetHoldWrites(true);
      std::vector<uint8_t> model = old;
      applyHeld({{false, kFrom, kSize, flips}}, model, &h);
      // The journal goes out; the table's write and the rollback from memory fail.
      fs.setPlan({Fault::IoError, 2, true, true});
      const auto writeOut = [&] {
        WriteOutTables(fs, {TJournalTable{dir.path("t.JNL"), {&h, nullptr, nullptr}, true, nullptr}}, false);
      };
      if (flips.empty()) {
        // Nothing differs: the write-out journals no region and writes the bytes back as they were.
        fs.setPlan({});
        writeOut();
      } else {
        EXPECT_THROW(writeOut(), EVELDOREngineError);
      }
      fs.setPlan({});
    }
    if (flips.empty()) {
      ASSERT_TRUE(contents(dir.path("t.DAT")) == old);
      continue;
    }
    TJournalImage image;
    ASSERT_TRUE(DecodeJournal(contents(dir.path("t.JNL")), image));
    ASSERT_EQ(image.files.size(), 1u);
    std::vector<std::pair<int64_t, int64_t>> kept;
    for (const TJournalRegion& r : image.files[0].regions) {
      kept.emplace_back(r.offset, r.offset + int64_t(r.bytes.size()));
      ASSERT_TRUE(std::equal(r.bytes.begin(), r.bytes.end(), old.begin() + r.offset)) << "at " << r.offset;
    }
    ASSERT_EQ(kept, wanted);
    TFileList list;
    TFileHandler h(&list);
    h.SetName(dir.path("t.DAT"));
    h.Open();
    RecoverJournal(platform::FileSystem::local(), dir.path("t.JNL"), {&h, nullptr, nullptr});
    h.Close();
    ASSERT_TRUE(contents(dir.path("t.DAT")) == old);
  }
}

// A region's size takes 32 bits: a file found longer than that on disk (none this engine
// writes), cut by a change, is refused before anything is read or written, and stays as it was.
TEST(JournalBulkTest, ACutOfMoreBytesThanARegionHoldsIsRefusedAndChangesNothing) {
  TempFolder dir;
  const int64_t size = (int64_t(1) << 32) + 4096;
  {
    std::FILE* f = std::fopen(dir.path("t.DAT").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputc(1, f);
    std::fclose(f);
    std::filesystem::resize_file(dir.path("t.DAT"), uintmax_t(size));
  }
  {
    TFileList list;
    TFileHandler h(&list);
    h.SetName(dir.path("t.DAT"));
    h.Open();
    h.SetHoldWrites(true);
    h.Seek(kSeekBegin, 0);
    h.Truncate();
    EXPECT_THROW(
        WriteOutTables(platform::FileSystem::local(),
                       {TJournalTable{dir.path("t.JNL"), {&h, nullptr, nullptr}, true, nullptr}}, false),
        EVELDOREngineError);
  }
  EXPECT_EQ(std::filesystem::file_size(dir.path("t.DAT")), uintmax_t(size));
  EXPECT_FALSE(JournalHot(platform::FileSystem::local(), dir.path("t.JNL")));
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

// A write that comes with the old bytes of the windows where it may differ (as a freed run of
// records does) is journaled from those windows without a read; anything written or cut into its
// extent afterwards makes the write-out read and compare the extent again. Each history, killed
// at any step of its write-out, is rolled back whole by another process.
TEST(JournalKnownOldTest, WindowsKnownToTheWriterOrTheExtentReadAgainRollBackWhole) {
  constexpr int64_t kFrom = 500, kStride = 50, kSize = 2000;
  // Two of every three windows change, each in its first, third and fifth byte.
  std::vector<int64_t> flips;
  for (int64_t w = 0; w < kSize / kStride; ++w)
    if (w % 3 != 0)
      for (int64_t b : {0, 2, 4}) flips.push_back(kFrom + w * kStride + b);
  const HeldOp freed{false, kFrom, kSize, flips, uint32_t(kStride)};
  const auto with = [&](std::vector<HeldOp> after) {
    after.insert(after.begin(), freed);
    return KillCase{3000, after};
  };
  const std::vector<KillCase> cases = {
      // Alone; bytes outside the windows written into it; an append at its end; a second known
      // write over part of it.
      with({}),
      with({{false, kFrom + 3 * kStride + 10, 30, {kFrom + 3 * kStride + 20}}}),
      with({{false, kFrom + kSize, 120, {kFrom + kSize + 7}}}),
      with({{false, kFrom + 10 * kStride, 5 * kStride, {kFrom + 11 * kStride}, uint32_t(kStride)}}),
      // A cut through a window; a cut below it and a write where it began.
      with({{true, 0, kFrom + 20 * kStride + 3, {}}}),
      with({{true, 0, kFrom - 50, {}}, {false, kFrom, 120, {kFrom + 60}}}),
      // A write from before its start, alone and after a cut below, with a write where it began.
      with({{false, kFrom - 20, 40, {kFrom - 10, kFrom + 10}}}),
      with({{false, kFrom - 20, 40, {kFrom - 10, kFrom + 10}},
            {true, 0, kFrom - 10, {}},
            {false, kFrom, 120, {kFrom + 60}}}),
      // A write from inside it across a gap to a later extent, which joins the three into one
      // starting where it starts, with changes in the gap and past its windows.
      with({{false, kFrom + kSize + 100, 100, {kFrom + kSize + 150}},
            {false, kFrom + kSize - 30, 160, {kFrom + kSize - 20, kFrom + kSize + 50, kFrom + kSize + 120}}}),
  };
  for (size_t n = 0; n < cases.size(); ++n) {
    SCOPED_TRACE("case " + std::to_string(n));
    killAtEveryStep(cases[n]);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace engine
