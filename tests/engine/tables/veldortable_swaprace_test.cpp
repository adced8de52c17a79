// A copying process that commits its swap and ends just as an open here has looked for the swap
// marker and not yet taken the copy marker: the open completes the swap and shows the new table
// whole, wherever in its moves the process ended, on a full open and on taking a kept table back;
// and two opens at once after such a copy ended. A look for the table (TableExists) between the
// moves, where no data file is under the name, finds the table: it completes a swap whose process
// ended and waits for one still running.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "engine/tables/veldortable.h"
#include "platform/faultfs.h"
#include "table_test_util.h"

namespace engine {
namespace {

using namespace table_test;
using storage_test::Helper;

// A file system that runs `hook` once, just before the first open of a file whose name ends with
// `extension`.
class BeforeOpen final : public LocalFileSystem {
 public:
  explicit BeforeOpen(std::string extension) : extension_(std::move(extension)) {}
  std::function<void()> hook;

  std::unique_ptr<platform::OsFile> openFile(const std::string& path,
                                             const platform::OpenOptions& o) override {
    if (hook && path.ends_with(extension_)) std::exchange(hook, nullptr)();
    return base().openFile(path, o);
  }

 private:
  std::string extension_;
};

constexpr uint32_t kOldItems = 3, kNewItems = 7;

// A copy of "items" into "itemsnew" in another process: once told, it commits its swap and
// ends before counted file operation `endAt` of its moves (0: before any; past the last, it
// finishes them).
std::unique_ptr<Helper> startCopy(const TempDir& dir, uint64_t endAt) {
  const std::string path = dir.path();
  return std::make_unique<Helper>([path, endAt](Helper& self) {
    platform::FaultyFileSystem faulty(platform::FileSystem::local());
    TFileList list(faulty);
    Database other(path, &list);
    TDataTable::TSwap swap(*other.directory, "items", "itemsnew", false);
    other.create(kNewItems, "itemsnew");
    self.send('r');
    if (self.receive() != 'g') return 1;
    swap.Commit(false);
    if (endAt == 0) ::_exit(platform::kFaultExitCode);
    faulty.setPlan(platform::FaultPlan{platform::Fault::Exit, endAt, false, false});
    swap.Run();
    return 0;
  });
}

// An empty folder again, with the items table of kOldItems items.
void startAgain(const TempDir& dir) {
  std::filesystem::remove_all(dir.path());
  std::filesystem::create_directories(dir.path());
  Database(dir.path()).create(kOldItems);
}

// The items table's files are sound, and none of the new table's is left.
void expectTheTableFilesOnly(const TempDir& dir) {
  expectSoundTableFiles(dir.file("items"));
  EXPECT_EQ(filesOf(dir, "itemsnew"), "");
  EXPECT_EQ(filesOf(dir, "items"), "DAT IDX BLB");
}

// Both opens: afresh in a process that never had the table, and taking back one kept at its close.
class SwapRace : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { Database(dir.path()).create(kOldItems); }
  TempDir dir;
};

TEST_P(SwapRace, ACopyThatCommitsAndEndsBetweenTheLooksLeavesItsNewTableWhole) {
  const bool kept = GetParam();
  bool finished = false;
  for (uint64_t endAt = 0; !finished; ++endAt) {
    SCOPED_TRACE("the copy ends before operation " + std::to_string(endAt) + " of its moves");
    startAgain(dir);
    BeforeOpen fs(".CPY");
    TFileList list(fs);
    Database reader(dir.path(), &list);
    if (kept) {
      TDataTable& t = reader.open();
      ASSERT_EQ(liveContents(t), contentsOf(seedRange(1, kOldItems)));
      reader.close(t);
    }
    std::unique_ptr<Helper> copy = startCopy(dir, endAt);
    ASSERT_EQ(copy->receive(), 'r');
    int code = -1;
    fs.hook = [&] {
      copy->send('g');
      code = copy->wait();
    };
    TDataTable* t = nullptr;
    EXPECT_NO_THROW(t = &reader.open());
    ASSERT_FALSE(fs.hook) << "the open never came to the copy marker";
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << code;
    // A kept table taken back holds its files' share modes while it looks at the copy's marker,
    // so the copy cannot move them meanwhile: it ends at each count while still waiting for
    // them, and past the first few counts every run is the same one.
    finished = code == 0 || (kept && endAt >= 24);
    if (t) {
      const Contents seen = liveContents(*t);
      EXPECT_EQ(seen.size(), kNewItems);
      EXPECT_TRUE(seen == contentsOf(seedRange(1, kNewItems)));
      reader.close(*t);
    }
    expectTheTableFilesOnly(dir);
    EXPECT_FALSE(std::filesystem::exists(dir.file("items.SWP")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("items.CPY")));
    ASSERT_LT(endAt, 100u);
  }
}

// Two processes open the table at once after the copy ended part way through its moves: one
// completes the swap while the other waits for it, and both read the new table.
TEST(SwapCompletedTwice, TwoOpensAtOnceAfterACopyEndedPartWayBothReadTheNewTable) {
  TempDir dir;
  bool finished = false;
  for (uint64_t endAt = 0; !finished; ++endAt) {
    SCOPED_TRACE("the copy ends before operation " + std::to_string(endAt) + " of its moves");
    startAgain(dir);
    std::unique_ptr<Helper> copy = startCopy(dir, endAt);
    ASSERT_EQ(copy->receive(), 'r');
    copy->send('g');
    const int code = copy->wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << code;
    finished = code == 0;
    const std::string path = dir.path();
    std::unique_ptr<Helper> readers[2];
    for (auto& reader : readers) {
      reader = std::make_unique<Helper>([path](Helper& self) {
        Database db(path);
        if (self.receive() != 'g') return 1;
        TDataTable& t = db.open();
        const bool whole = liveContents(t) == contentsOf(seedRange(1, kNewItems));
        db.close(t);
        return whole ? 0 : 2;
      });
    }
    for (auto& reader : readers) reader->send('g');
    for (auto& reader : readers) EXPECT_EQ(reader->wait(), 0);
    expectTheTableFilesOnly(dir);
    ASSERT_LT(endAt, 100u);
  }
}

// A look in a process that never had the table, after the copy ended at each operation of its
// moves in turn: the table is there, and the next open reads the new one whole.
TEST(ALookForTheTable, FindsItWhereverInItsMovesACopyEnded) {
  TempDir dir;
  int endsWithoutDataFile = 0;
  bool finished = false;
  for (uint64_t endAt = 0; !finished; ++endAt) {
    SCOPED_TRACE("the copy ends before operation " + std::to_string(endAt) + " of its moves");
    startAgain(dir);
    std::unique_ptr<Helper> copy = startCopy(dir, endAt);
    ASSERT_EQ(copy->receive(), 'r');
    copy->send('g');
    const int code = copy->wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << code;
    finished = code == 0;
    endsWithoutDataFile += !std::filesystem::exists(dir.file("items.DAT"));
    Database db(dir.path());
    EXPECT_TRUE(db.directory->TableExists("items", false));
    TDataTable& t = db.open();
    EXPECT_TRUE(liveContents(t) == contentsOf(seedRange(1, kNewItems)));
    db.close(t);
    expectTheTableFilesOnly(dir);
    ASSERT_LT(endAt, 100u);
  }
  EXPECT_GT(endsWithoutDataFile, 0) << "no end came between the old data file's move and the new one's";
}

// A file system that, once the old data file of "items" has moved aside, tells the other end of
// `self` and waits for its word before the next move.
class PauseAfterDataMove final : public LocalFileSystem {
 public:
  explicit PauseAfterDataMove(Helper& self) : self_(self) {}
  bool renameFile(const std::string& from, const std::string& to) override {
    const bool moved = base().renameFile(from, to);
    if (moved && from.ends_with("/items.DAT")) {
      self_.send('m');
      if (self_.receive() != 'g') ::_exit(3);
    }
    return moved;
  }

 private:
  Helper& self_;
};

// A swap running in another process, held between the moves: the look waits for it instead of
// answering that the table is gone.
TEST(ALookForTheTable, WaitsForASwapRunningElsewhere) {
  TempDir dir;
  Database(dir.path()).create(kOldItems);
  const std::string path = dir.path();
  Helper copy([path](Helper& self) {
    PauseAfterDataMove fs(self);
    TFileList list(fs);
    Database other(path, &list);
    TDataTable::TSwap swap(*other.directory, "items", "itemsnew", false);
    other.create(kNewItems, "itemsnew");
    swap.Commit(false);
    swap.Run();
    return 0;
  });
  ASSERT_EQ(copy.receive(), 'm');
  ASSERT_FALSE(std::filesystem::exists(dir.file("items.DAT")));
  // The copy goes on once the look has come to its marker.
  BeforeOpen fs(".SWP");
  fs.hook = [&] { copy.send('g'); };
  TFileList list(fs);
  Database reader(path, &list);
  EXPECT_TRUE(reader.directory->TableExists("items", false));
  if (fs.hook) {
    ADD_FAILURE() << "the look never came to the swap marker";
    copy.send('g');
  }
  EXPECT_EQ(copy.wait(), 0);
  TDataTable& t = reader.open();
  EXPECT_TRUE(liveContents(t) == contentsOf(seedRange(1, kNewItems)));
  reader.close(t);
  expectTheTableFilesOnly(dir);
}

INSTANTIATE_TEST_SUITE_P(Opens, SwapRace, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "KeptTakenBack" : "Fresh"; });

}  // namespace
}  // namespace engine
