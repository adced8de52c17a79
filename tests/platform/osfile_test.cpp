// The local file backend on its own: names, share modes, byte-range locks, renames, removal.
#include "platform/osfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "platform/faultfs.h"
#include "platform/oserror.h"
#include "tests/platform/temp_folder.h"
#include "tests/platform/test_seed.h"

namespace platform {
namespace {

using platform::testing::TempFolder;

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

class LocalBackend : public ::testing::Test {
 protected:
  FileSystem& fs = FileSystem::local();
  TempFolder dir;
  std::unique_ptr<OsFile> open(const std::string& name, bool write, ShareMode share = ShareMode::Shared) {
    OpenOptions o;
    o.write = write;
    o.share = share;
    return fs.openFile(dir.path(name), o);
  }
  // Two separate write opens of one file, in `a` and `b`.
  void twoOpens() {
    writeFile(dir.path("t.dat"), "x");
    a = open("t.dat", true);
    b = open("t.dat", true);
    ASSERT_TRUE(a && b);
  }
  std::unique_ptr<OsFile> a, b;
};

TEST_F(LocalBackend, NamesAreFoundIgnoringCaseInEveryComponent) {
  std::filesystem::create_directory(dir.path("Db"));
  writeFile(dir.path("Db/Task.DAT"), "abc");
  auto f = open("db/TASK.dat", false);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->path(), dir.path("Db/Task.DAT"));
  FileInfo info;
  EXPECT_TRUE(fs.fileInfo(dir.path("DB/task.dat"), info));
  EXPECT_EQ(info.size, 3);
  EXPECT_EQ(fs.resolvePath(dir.path("db/new.dat")), dir.path("Db/new.dat")) << "missing tail kept as spelt";
}

TEST_F(LocalBackend, EverySpellingOfANameIsListedTheExactOneFirst) {
  std::filesystem::create_directory(dir.path("Db"));
  for (const char* name : {"T.SWP", "t.SWP", "t.swp", "t.SWPX", "u.SWP", "T.CPY"})
    writeFile(dir.path("Db/") + name, "x");
  const std::string names[] = {"t.SWP", "t.CPY", "v.SWP"};
  using Paths = std::vector<std::vector<std::string>>;
  EXPECT_EQ(
      fs.spellingsOf(dir.path("Db"), names),
      (Paths{
          {dir.path("Db/t.SWP"), dir.path("Db/T.SWP"), dir.path("Db/t.swp")}, {dir.path("Db/T.CPY")}, {}}));
  const std::string upper[] = {"T.SWP"};
  EXPECT_EQ(fs.spellingsOf(dir.path("db"), upper),
            (Paths{{dir.path("Db/T.SWP"), dir.path("Db/t.SWP"), dir.path("Db/t.swp")}}))
      << "the folder is found ignoring case too";
  EXPECT_EQ(fs.spellingsOf(dir.path("none"), upper), Paths{{}});
}

TEST_F(LocalBackend, CreatingANameThatExistsInOtherCaseReusesThatFile) {
  writeFile(dir.path("TASK.DAT"), "old contents");
  auto f = fs.createFile(dir.path("task.dat"), false);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->path(), dir.path("TASK.DAT"));
  EXPECT_EQ(f->size(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.path("task.dat")) &&
               !std::filesystem::equivalent(dir.path("task.dat"), dir.path("TASK.DAT")));
}

// A creation over an older file hands back how that file began, read before the cut; a new or
// empty file, one too short, and one held open elsewhere (refused, and left whole) give nothing.
TEST_F(LocalBackend, CreatingOverAFileHandsBackItsFirstBytesAsTheyWereBeforeTheCut) {
  writeFile(dir.path("T.DAT"), "old contents");
  char head[4] = {'-', '-', '-', '-'};
  bool replaced = false;
  auto f = fs.createFileReplacing(dir.path("t.dat"), false, head, 4, replaced);
  ASSERT_TRUE(f);
  EXPECT_TRUE(replaced);
  EXPECT_EQ(std::string(head, 4), "old ");
  EXPECT_EQ(f->size(), 0);
  f.reset();
  for (const char* before : {"", "ab"}) {
    writeFile(dir.path("T.DAT"), before);
    std::fill(head, head + 4, '-');
    f = fs.createFileReplacing(dir.path("T.DAT"), false, head, 4, replaced);
    ASSERT_TRUE(f);
    EXPECT_FALSE(replaced) << '"' << before << '"';
    EXPECT_EQ(std::string(head, 4), "----");
    f.reset();
  }
  f = fs.createFileReplacing(dir.path("new.dat"), false, head, 4, replaced);
  EXPECT_TRUE(f && !replaced && f->size() == 0);
  f.reset();
  writeFile(dir.path("T.DAT"), "held elsewhere");
  auto holder = open("T.DAT", false);
  ASSERT_TRUE(holder);
  EXPECT_FALSE(fs.createFileReplacing(dir.path("T.DAT"), false, head, 4, replaced));
  EXPECT_FALSE(replaced);
  EXPECT_EQ(lastOsError(), kSharingViolation);
  EXPECT_EQ(std::filesystem::file_size(dir.path("T.DAT")), 14u);
}

// Names that are only ever looked up exactly (journals) are created and deleted exactly: a file
// of that name in other case is another file and is left as it was.
TEST_F(LocalBackend, NamesMadeAsSpeltLeaveOtherCaseAlone) {
  writeFile(dir.path("TASK.JNL"), "other");
  {
    auto f = fs.createFileAsSpelt(dir.path("task.JNL"));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->path(), dir.path("task.JNL"));
    ASSERT_EQ(f->writeAt(0, "new", 3), 3);
  }
  EXPECT_EQ(std::filesystem::file_size(dir.path("TASK.JNL")), 5u);
  EXPECT_EQ(std::filesystem::file_size(dir.path("task.JNL")), 3u);
  EXPECT_TRUE(fs.deleteFileAsSpelt(dir.path("task.JNL")));
  EXPECT_FALSE(std::filesystem::exists(dir.path("task.JNL")));
  EXPECT_TRUE(std::filesystem::exists(dir.path("TASK.JNL")));
  EXPECT_FALSE(fs.deleteFileAsSpelt(dir.path("task.JNL")));
  EXPECT_EQ(osErrorKind(lastOsError()), OsErrorKind::NotFound);
}

// A kept journal is opened shared as spelt, made when missing and never emptied by the open; its
// facts come from one look-up; whether any open of it exists is told without taking it.
TEST_F(LocalBackend, FilesOpenedSharedAsSpeltAreKeptAndToldOpenAnywhere) {
  writeFile(dir.path("TASK.JNL"), "other");
  const std::string path = dir.path("task.JNL");
  EXPECT_FALSE(fs.openAsSpelt(path, ShareMode::Shared, false));
  EXPECT_EQ(osErrorKind(lastOsError()), OsErrorKind::NotFound);
  EXPECT_FALSE(fs.openAnywhereAsSpelt(path));
  FileInfo info;
  EXPECT_FALSE(fs.fileInfoAsSpelt(path, info));
  {
    auto first = fs.openAsSpelt(path, ShareMode::Shared, true);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->writeAt(0, "kept", 4), 4);
    auto second = fs.openAsSpelt(path, ShareMode::Shared, true);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->size(), 4);
    ASSERT_TRUE(fs.fileInfoAsSpelt(path, info));
    EXPECT_EQ(info.size, 4);
    EXPECT_EQ(info.identity, first->identity());
    EXPECT_TRUE(fs.openAnywhereAsSpelt(path));
    // Held alone only once every other open is gone.
    EXPECT_FALSE(fs.openAsSpelt(path, ShareMode::Exclusive, false));
    first.reset();
    EXPECT_TRUE(fs.openAnywhereAsSpelt(path));
  }
  EXPECT_FALSE(fs.openAnywhereAsSpelt(path));
  EXPECT_TRUE(fs.openAsSpelt(path, ShareMode::Exclusive, false));
  EXPECT_EQ(std::filesystem::file_size(dir.path("TASK.JNL")), 5u);
}

TEST_F(LocalBackend, MissingFilesAndFoldersFailWithTheirErrors) {
  EXPECT_FALSE(open("none.dat", false));
  EXPECT_EQ(osErrorKind(lastOsError()), OsErrorKind::NotFound);
  std::filesystem::create_directory(dir.path("sub"));
  EXPECT_FALSE(open("sub", false));
  EXPECT_EQ(osErrorKind(lastOsError()), OsErrorKind::AccessDenied);
  // A FIFO without a writer is refused at once, not waited on.
  ASSERT_EQ(::mkfifo(dir.path("pipe.dat").c_str(), 0600), 0);
  EXPECT_FALSE(open("pipe.dat", false));
  EXPECT_EQ(lastOsError(), kNotRegularFile);
}

TEST_F(LocalBackend, ExclusiveOpenFailsWhileAnotherOpenExistsAndBlocksLaterOnes) {
  writeFile(dir.path("t.dat"), "x");
  {
    auto shared1 = open("t.dat", true);
    auto shared2 = open("t.dat", false);
    ASSERT_TRUE(shared1 && shared2);
    EXPECT_FALSE(open("t.dat", true, ShareMode::Exclusive));
    EXPECT_EQ(lastOsError(), kSharingViolation);
    EXPECT_FALSE(fs.createFile(dir.path("t.dat"), false)) << "create must not empty a file in use";
  }
  auto exclusive = open("t.dat", true, ShareMode::Exclusive);
  ASSERT_TRUE(exclusive);
  EXPECT_FALSE(open("t.dat", false));
  EXPECT_FALSE(open("t.dat", true, ShareMode::Exclusive));
  exclusive.reset();
  EXPECT_TRUE(open("t.dat", false));
}

TEST_F(LocalBackend, OverlappingLocksAreRefusedThroughTheSameOpenAndAnother) {
  twoOpens();
  ASSERT_TRUE(a->lockRange(10, 10));
  EXPECT_FALSE(a->lockRange(15, 10));
  EXPECT_EQ(lastOsError(), kLockViolation);
  EXPECT_FALSE(b->lockRange(19, 1));
  EXPECT_FALSE(b->lockRange(0, 11));
  EXPECT_TRUE(b->lockRange(20, 5)) << "adjacent ranges do not overlap";
  EXPECT_TRUE(a->lockRange(0, 10));
}

TEST_F(LocalBackend, UnlockMustNameExactlyAHeldRangeOfThisOpen) {
  twoOpens();
  ASSERT_TRUE(a->lockRange(10, 10));
  ASSERT_TRUE(a->lockRange(20, 10));
  EXPECT_FALSE(a->unlockRange(10, 5)) << "part of a range";
  EXPECT_FALSE(a->unlockRange(10, 20)) << "two ranges at once";
  EXPECT_FALSE(b->unlockRange(10, 10)) << "another open's range";
  EXPECT_FALSE(b->lockRange(12, 1)) << "still held after the failed unlocks";
  EXPECT_TRUE(a->unlockRange(10, 10));
  EXPECT_TRUE(b->lockRange(12, 1));
  EXPECT_FALSE(b->lockRange(25, 1)) << "the neighbour range survived the split";
  a.reset();
  EXPECT_TRUE(b->lockRange(25, 1)) << "closing an open releases its locks";
}

// Random locks, unlocks and closes through three opens against a list of the ranges each holds:
// every call succeeds exactly when the model says, whatever the order ranges were taken in.
TEST_F(LocalBackend, LocksAndUnlocksFollowAModelOfHeldRanges) {
  writeFile(dir.path("t.dat"), "x");
  struct Held {
    int64_t offset, length;
    int owner;
  };
  std::vector<Held> model;
  std::unique_ptr<OsFile> opens[3];
  for (auto& o : opens) ASSERT_TRUE(o = open("t.dat", true));
  std::mt19937 rng(platform::testing::testSeed());
  auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
  for (int step = 0; step < 3000; ++step) {
    const int who = pick(3);
    const int64_t offset = pick(400), length = 1 + pick(8);
    const int action = pick(20);
    if (action == 0) {
      std::erase_if(model, [&](const Held& h) { return h.owner == who; });
      opens[who].reset();
      ASSERT_TRUE(opens[who] = open("t.dat", true));
    } else if (action < 8 && !model.empty()) {
      // Mostly an exact held range, sometimes a near miss or another open's range.
      Held h = model[size_t(pick(int(model.size())))];
      if (pick(4) == 0) h.length += 1;
      const bool expected = h.owner == who && std::any_of(model.begin(), model.end(), [&](const Held& m) {
                              return m.owner == who && m.offset == h.offset && m.length == h.length;
                            });
      ASSERT_EQ(opens[who]->unlockRange(h.offset, h.length), expected) << "step " << step;
      if (expected)
        std::erase_if(model, [&](const Held& m) { return m.offset == h.offset && m.length == h.length; });
    } else {
      const bool expected = std::none_of(model.begin(), model.end(), [&](const Held& m) {
        return offset < m.offset + m.length && m.offset < offset + length;
      });
      ASSERT_EQ(opens[who]->lockRange(offset, length), expected) << "step " << step;
      if (expected) model.push_back({offset, length, who});
    }
  }
}

TEST_F(LocalBackend, LockOffsetsPast4GiBWorkAndReservedBytesAreRefused) {
  twoOpens();
  EXPECT_TRUE(a->lockRange(INT64_C(0xFFFEFFFF), 65536));
  EXPECT_FALSE(b->lockRange(INT64_C(0xFFFFFFFF) - 7, 1));
  EXPECT_TRUE(b->lockRange(INT64_C(0xFFFFFFFF), 1));
  EXPECT_TRUE(b->lockRange(INT64_C(0x100000000) + 5, 1));
  EXPECT_FALSE(a->lockRange(INT64_C(0x100000000) + 5, 1));
  EXPECT_FALSE(a->lockRange(kFirstReservedOffset, 1));
  EXPECT_FALSE(a->lockRange(0, 0));
  EXPECT_FALSE(a->lockRange(-1, 2));
}

TEST_F(LocalBackend, ReadOnlyOpensTakeLocksThatStillExcludeWriters) {
  writeFile(dir.path("t.dat"), "x");
  auto reader = open("t.dat", false);
  auto writer = open("t.dat", true);
  ASSERT_TRUE(reader->lockRange(50, 1));
  EXPECT_FALSE(writer->lockRange(50, 1));
  EXPECT_FALSE(reader->lockRange(50, 1));
}

TEST_F(LocalBackend, ReadOnlyAttributeRefusesWriteAccessEvenToRoot) {
  writeFile(dir.path("ro.dat"), "x");
  chmod(dir.path("ro.dat").c_str(), 0444);
  FileInfo info;
  ASSERT_TRUE(fs.fileInfo(dir.path("ro.dat"), info));
  EXPECT_TRUE(info.readOnly);
  EXPECT_FALSE(open("ro.dat", true));
  EXPECT_EQ(osErrorKind(lastOsError()), OsErrorKind::AccessDenied);
  EXPECT_TRUE(open("ro.dat", false));
  EXPECT_FALSE(fs.createFile(dir.path("ro.dat"), false));
}

TEST_F(LocalBackend, RenameNeverReplacesAnotherFile) {
  writeFile(dir.path("a.dat"), "a");
  writeFile(dir.path("b.dat"), "b");
  EXPECT_FALSE(fs.renameFile(dir.path("a.dat"), dir.path("B.DAT")));
  EXPECT_EQ(lastOsError(), EEXIST);
  EXPECT_TRUE(std::filesystem::exists(dir.path("a.dat")));
  EXPECT_TRUE(fs.renameFile(dir.path("A.dat"), dir.path("c.dat")));
  EXPECT_FALSE(std::filesystem::exists(dir.path("a.dat")));
  EXPECT_TRUE(fs.renameFile(dir.path("c.dat"), dir.path("C.DAT"))) << "a change of case only";
  EXPECT_TRUE(std::filesystem::exists(dir.path("C.DAT")));
  EXPECT_FALSE(fs.renameFile(dir.path("none.dat"), dir.path("d.dat")));
  EXPECT_EQ(osErrorKind(lastOsError()), OsErrorKind::NotFound);
}

TEST_F(LocalBackend, DosDateTimeIsTheLocalWriteTimeInTwoSecondStepsAndZeroBefore1980) {
  writeFile(dir.path("t.dat"), "x");
  // 2021-06-15 13:45:31 local time, with a fraction that the two-second steps drop.
  struct tm local {};
  local.tm_year = 121;
  local.tm_mon = 5;
  local.tm_mday = 15;
  local.tm_hour = 13;
  local.tm_min = 45;
  local.tm_sec = 31;
  local.tm_isdst = -1;
  const time_t when = mktime(&local);
  const struct timespec times[2] = {{when, 0}, {when, 999999999}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.path("t.dat").c_str(), times, 0), 0);
  FileInfo info;
  ASSERT_TRUE(fs.fileInfo(dir.path("t.dat"), info));
  EXPECT_EQ(info.modifiedNs, int64_t(when) * 1000000000 + 999999999);
  const uint32_t dos = uint32_t(dosDateTime(info));
  EXPECT_EQ(dos >> 16, uint32_t((2021 - 1980) << 9 | 6 << 5 | 15));
  EXPECT_EQ(dos & 0xFFFF, uint32_t(13 << 11 | 45 << 5 | 31 / 2));
  // A time before 1980 has no DOS form, the epoch included (a stopped clock's stand-in).
  info.modifiedNs = 0;
  EXPECT_EQ(dosDateTime(info), 0);
  info.modifiedNs = -1;
  EXPECT_EQ(dosDateTime(info), 0);
}

// Transfers past the end, cuts and gaps are tested through the file layer over this backend.
TEST_F(LocalBackend, PositionalTransfersRefuseNegativeOffsetsAndSync) {
  auto f = fs.createFile(dir.path("t.dat"), false);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->writeAt(10, "hello", 5), 5);
  EXPECT_EQ(f->size(), 15);
  char buf[1];
  EXPECT_EQ(f->readAt(-1, buf, 1), -1);
  EXPECT_TRUE(f->sync());
}

// Which of the bytes [0, count) of `path` another process could lock now: a child opens the file
// afresh and tries each byte in turn.
std::vector<bool> freeToAnotherProcess(FileSystem& fs, const std::string& path, int count) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    OpenOptions o;
    o.write = true;
    auto f = fs.openFile(path, o);
    std::vector<char> free(size_t(count), 0);
    for (int i = 0; f && i < count; ++i) {
      free[size_t(i)] = f->lockRange(i, 1) ? 1 : 0;
      if (free[size_t(i)]) f->unlockRange(i, 1);
    }
    _exit(write(pipeEnds[1], free.data(), free.size()) == ssize_t(free.size()) ? 0 : 1);
  }
  close(pipeEnds[1]);
  std::vector<char> free(size_t(count), 0);
  const ssize_t got = read(pipeEnds[0], free.data(), free.size());
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (got != ssize_t(count) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return std::vector<bool>(free.begin(), free.end());
}

// A release the system refuses leaves the range held, for this process's table of held ranges as
// for every other process, and says so; a later release of it goes through.
TEST_F(LocalBackend, ARefusedReleaseLeavesTheRangeHeldEverywhereUntilAReleaseSucceeds) {
  writeFile(dir.path("t.dat"), "x");
  FaultyFileSystem faulty(fs);
  OpenOptions o;
  o.write = true;
  auto f = faulty.openFile(dir.path("t.dat"), o);
  ASSERT_TRUE(f);
  ASSERT_TRUE(f->lockRange(2, 2));
  EXPECT_TRUE(f->holdsRange(2, 2));
  EXPECT_FALSE(f->holdsRange(2, 1));
  faulty.failUnlocks(1);
  EXPECT_FALSE(f->unlockRange(2, 2));
  EXPECT_EQ(lastOsError(), ENOLCK);
  EXPECT_TRUE(f->holdsRange(2, 2));
  EXPECT_FALSE(f->lockRange(3, 1));  // still refused through the same open
  EXPECT_EQ(freeToAnotherProcess(fs, dir.path("t.dat"), 4), (std::vector<bool>{true, true, false, false}));
  EXPECT_TRUE(f->unlockRange(2, 2));
  EXPECT_FALSE(f->holdsRange(2, 2));
  EXPECT_EQ(freeToAnotherProcess(fs, dir.path("t.dat"), 4), (std::vector<bool>{true, true, true, true}));
}

// Ranges released together go in as few system calls as possible, yet never take along a range
// of the same open that lies between them and was not named: held ranges of two opens at random,
// then a random handful of one open's ranges (with near misses, repeats and the other open's
// ranges among them) released at once. Each is marked released exactly when the model holds it
// for that open, and another process then finds free exactly the bytes the model has free.
TEST_F(LocalBackend, RangesUnlockedTogetherAreExactlyTheNamedOnesHeldByThatOpen) {
  twoOpens();
  // The plain case first: a range of the same open between two named ones stays held.
  ASSERT_TRUE(a->lockRange(10, 1) && a->lockRange(20, 1) && a->lockRange(30, 2));
  std::vector<OsFile::Range> outer = {{30, 2}, {10, 1}};
  ASSERT_TRUE(a->unlockRanges(outer));
  EXPECT_TRUE(outer[0].released && outer[1].released);
  const std::vector<bool> seen = freeToAnotherProcess(fs, dir.path("t.dat"), 40);
  ASSERT_EQ(seen.size(), 40u);
  EXPECT_TRUE(seen[10] && seen[30] && seen[31]);
  EXPECT_FALSE(seen[20]);
  EXPECT_FALSE(b->lockRange(20, 1));
  ASSERT_TRUE(a->unlockRange(20, 1));
  struct Held {
    int64_t offset, length;
    int owner;
  };
  OsFile* opens[2] = {a.get(), b.get()};
  std::vector<Held> model;
  std::mt19937 rng(platform::testing::testSeed());
  auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
  constexpr int kBytes = 120;
  for (int round = 0; round < 24; ++round) {
    SCOPED_TRACE(round);
    for (int i = 0; i < 12; ++i) {
      const int who = pick(2);
      const int64_t offset = pick(kBytes - 4), length = 1 + pick(3);
      const bool expected = std::none_of(model.begin(), model.end(), [&](const Held& m) {
        return offset < m.offset + m.length && m.offset < offset + length;
      });
      ASSERT_EQ(opens[who]->lockRange(offset, length), expected);
      if (expected) model.push_back({offset, length, who});
    }
    const int who = pick(2);
    std::vector<OsFile::Range> ranges;
    for (int n = pick(6); n-- > 0 && !model.empty();) {
      Held h = model[size_t(pick(int(model.size())))];
      if (pick(5) == 0) h.length += 1;
      ranges.push_back({h.offset, h.length});
      if (pick(6) == 0) ranges.push_back({h.offset, h.length});
    }
    std::vector<bool> expected(ranges.size());
    for (size_t i = 0; i < ranges.size(); ++i) {
      const bool first =
          std::none_of(ranges.begin(), ranges.begin() + ptrdiff_t(i), [&](const OsFile::Range& r) {
            return r.offset == ranges[i].offset && r.length == ranges[i].length;
          });
      expected[i] = first && std::any_of(model.begin(), model.end(), [&](const Held& m) {
                      return m.owner == who && m.offset == ranges[i].offset && m.length == ranges[i].length;
                    });
    }
    const bool all = std::all_of(expected.begin(), expected.end(), [](bool e) { return e; });
    EXPECT_EQ(opens[who]->unlockRanges(ranges), all);
    for (size_t i = 0; i < ranges.size(); ++i) {
      EXPECT_EQ(ranges[i].released, expected[i]) << ranges[i].offset << "+" << ranges[i].length;
      if (expected[i]) std::erase_if(model, [&](const Held& m) { return m.offset == ranges[i].offset; });
    }
    const std::vector<bool> free = freeToAnotherProcess(fs, dir.path("t.dat"), kBytes);
    ASSERT_EQ(free.size(), size_t(kBytes));
    for (int byte = 0; byte < kBytes; ++byte) {
      const bool held = std::any_of(model.begin(), model.end(), [&](const Held& m) {
        return m.offset <= byte && byte < m.offset + m.length;
      });
      EXPECT_EQ(free[size_t(byte)], !held) << "byte " << byte;
    }
    // Now and then everything goes, so that the table fills again from empty.
    if (pick(4) == 0) {
      for (const Held& m : model) ASSERT_TRUE(opens[m.owner]->unlockRange(m.offset, m.length));
      model.clear();
    }
  }
}

TEST_F(LocalBackend, PeekHeadShowsWritesOfOtherOpensAndProcessesAndNothingOfAnEmptyFile) {
  auto f = fs.createFile(dir.path("t.dat"), false);
  ASSERT_TRUE(f);
  uint8_t head[kHeadViewBytes + 1] = {};
  // Nothing to show yet, and never more than the view's bytes.
  EXPECT_FALSE(f->peekHead(head, 4));
  ASSERT_EQ(f->writeAt(0, "abcd", 4), 4);
  EXPECT_FALSE(f->peekHead(head, kHeadViewBytes + 1));
  ASSERT_TRUE(f->peekHead(head, 4));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(head), 4), "abcd");
  // Past the end of a short file the view shows zeros.
  ASSERT_TRUE(f->peekHead(head, 6));
  EXPECT_EQ(head[4], 0);
  f.reset();
  a = open("t.dat", false);
  b = open("t.dat", true);
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->peekHead(head, 4));
  ASSERT_EQ(b->writeAt(1, "X", 1), 1);
  ASSERT_TRUE(a->peekHead(head, 4));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(head), 4), "aXcd");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto c = open("t.dat", true);
    _exit(c && c->writeAt(2, "Y", 1) == 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(a->peekHead(head, 4));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(head), 4), "aXYd");
}

// An open that a child made by fork() inherited locks as another process's open would: the
// parent's range keeps it out, the child's own ranges keep the parent's other opens out, and none
// of the child's releases lets the parent's range go.
TEST_F(LocalBackend, AnOpenInheritedThroughForkLocksAsAnotherProcesssOpen) {
  twoOpens();
  ASSERT_TRUE(a->lockRange(20, 1));
  int toParent[2], toChild[2];
  ASSERT_EQ(pipe(toParent), 0);
  ASSERT_EQ(pipe(toChild), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(toParent[0]);
    close(toChild[1]);
    const bool ok = !a->lockRange(20, 1) && !a->unlockRange(20, 1) && a->lockRange(21, 1);
    char done = ok ? 'L' : 'F';
    if (write(toParent[1], &done, 1) != 1) _exit(2);
    // Held until the parent has looked and closed its end.
    if (read(toChild[0], &done, 1) < 0) _exit(3);
    _exit(ok && a->unlockRange(21, 1) ? 0 : 1);
  }
  close(toParent[1]);
  close(toChild[0]);
  char seen = 0;
  ASSERT_EQ(read(toParent[0], &seen, 1), 1);
  EXPECT_EQ(seen, 'L') << "the child took the parent's range through the inherited open";
  EXPECT_FALSE(b->lockRange(21, 1)) << "the child's range is the child's";
  close(toParent[0]);
  close(toChild[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::vector<bool> free = freeToAnotherProcess(fs, dir.path("t.dat"), 40);
  ASSERT_EQ(free.size(), 40u);
  EXPECT_FALSE(free[20]) << "the parent's range went with the child's release";
  EXPECT_TRUE(free[21]);
  EXPECT_TRUE(a->unlockRange(20, 1));
}

// The child's own description is of the file the parent opened, whatever its name has become:
// one renamed and one deleted since the open both still keep the parent's range from the child.
TEST_F(LocalBackend, AnOpenInheritedThroughForkOfARenamedOrDeletedFileLocksTheSameFile) {
  twoOpens();
  ASSERT_TRUE(a->lockRange(20, 1));
  ASSERT_TRUE(b->lockRange(30, 1));
  ASSERT_EQ(::rename(dir.path("t.dat").c_str(), dir.path("u.dat").c_str()), 0);
  writeFile(dir.path("t.dat"), "another file under the old name");
  const pid_t renamed = fork();
  if (renamed == 0)
    _exit(!a->lockRange(20, 1) && lastOsError() == kLockViolation && a->lockRange(21, 1) ? 0 : 1);
  ASSERT_EQ(::unlink(dir.path("u.dat").c_str()), 0);
  const pid_t deleted = fork();
  if (deleted == 0)
    _exit(!b->lockRange(30, 1) && lastOsError() == kLockViolation && b->lockRange(31, 1) ? 0 : 1);
  for (const pid_t child : {renamed, deleted}) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << (child == renamed ? "renamed" : "deleted");
  }
  EXPECT_TRUE(a->unlockRange(20, 1));
  EXPECT_TRUE(b->unlockRange(30, 1));
}

// A forked child that lets its inherited open's share mode go, or takes it again, does so for
// itself: the parent's open stays open to everyone else, so that nobody opens the file
// exclusively under it.
TEST_F(LocalBackend, AForkedChildsShareModeReleaseLeavesTheParentsOpenStanding) {
  writeFile(dir.path("t.dat"), "x");
  a = open("t.dat", true);
  ASSERT_TRUE(a);
  const pid_t child = fork();
  if (child == 0) {
    const bool released = a->releaseShareMode();
    const bool retaken = a->retakeShareMode(ShareMode::Shared) && a->releaseShareMode();
    _exit(released && retaken ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(open("t.dat", true, ShareMode::Exclusive)) << "the child let the parent's open go";
  EXPECT_EQ(lastOsError(), kSharingViolation);
}

// A child made by fork() shares its parent's opens, and with them the system's locks on them, but
// not the parent's ranges: ranges the child took through such an open and released together must
// not take along a range the parent holds between them.
TEST_F(LocalBackend, RangesReleasedTogetherInAForkedChildLeaveTheParentsRangeBetweenThem) {
  twoOpens();
  ASSERT_TRUE(a->lockRange(20, 1));
  const pid_t child = fork();
  if (child == 0) {
    std::vector<OsFile::Range> ranges = {{10, 1}, {30, 1}};
    const bool ok = a->lockRange(10, 1) && a->lockRange(30, 1) && a->unlockRanges(ranges) &&
                    ranges[0].released && ranges[1].released;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::vector<bool> seen = freeToAnotherProcess(fs, dir.path("t.dat"), 40);
  ASSERT_EQ(seen.size(), 40u);
  EXPECT_TRUE(seen[10] && seen[30]);
  EXPECT_FALSE(seen[20]) << "the parent's range went with the child's";
  EXPECT_FALSE(b->lockRange(20, 1));
  EXPECT_TRUE(a->unlockRange(20, 1));
}

// A file cut to nothing from outside, by another open or another process, faults a look through
// the view: the look says false, and shows the bytes again once the file has them again. A fault
// anywhere else still ends the process.
TEST_F(LocalBackend, PeekHeadOfAFileCutFromOutsideFailsInsteadOfFaulting) {
  writeFile(dir.path("t.dat"), "abcdefgh");
  a = open("t.dat", false);
  b = open("t.dat", true);
  ASSERT_TRUE(a && b);
  uint8_t head[kHeadViewBytes] = {};
  ASSERT_TRUE(a->peekHead(head, 8));
  ASSERT_TRUE(b->truncate(0));
  EXPECT_FALSE(a->peekHead(head, 8));
  EXPECT_FALSE(a->peekHead(head, 8));
  ASSERT_EQ(b->writeAt(0, "ABCDEFGH", 8), 8);
  ASSERT_TRUE(a->peekHead(head, 8));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(head), 8), "ABCDEFGH");

  const pid_t cutter = fork();
  ASSERT_GE(cutter, 0);
  if (cutter == 0) _exit(::truncate(dir.path("t.dat").c_str(), 0) == 0 ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(cutter, &status, 0), cutter);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(a->peekHead(head, 8));

  // A view of this process's own, cut the same way, is no head view: its fault is not caught.
  const pid_t faulter = fork();
  ASSERT_GE(faulter, 0);
  if (faulter == 0) {
    if (b->writeAt(0, "x", 1) != 1) _exit(3);
    ::dup2(::open("/dev/null", O_WRONLY), 2);  // a sanitizer's report of the fault
    const int fd = ::open(dir.path("t.dat").c_str(), O_RDONLY);
    void* view = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    if (fd < 0 || view == MAP_FAILED || !b->truncate(0)) _exit(3);
    const volatile char first = *static_cast<const volatile char*>(view);
    _exit(first == 'x' ? 4 : 5);
  }
  ASSERT_EQ(waitpid(faulter, &status, 0), faulter);
  // Ended by the signal, or by a sanitizer's report of it.
  EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) < 3)) << status;
  if (WIFSIGNALED(status)) {
    EXPECT_EQ(WTERMSIG(status), SIGBUS);
  }
}

}  // namespace
}  // namespace platform
