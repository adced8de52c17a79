// A transaction over two tables in two folders, one of them opened by its path name: each table's
// journal lies beside its own files, the change's marker beside the first. Writers are made to end
// before each write of the commit; whichever table another process opens first, both tables end
// all old or all new, and nothing a writer left stays behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "platform/faultfs.h"
#include "table_test_util.h"

namespace engine {
namespace {

using namespace table_test;

constexpr uint32_t kHomeRecords = 5;
constexpr uint32_t kAwayRecords = 9;
constexpr uint64_t kMaxWrites = 60;

class TwoFolders : public ::testing::Test {
 public:
  void SetUp() override {
    home = root.path() + "/home";
    away = root.path() + "/away";
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(away);
    Database db(home);
    db.create(kHomeRecords, "home");
    db.create(kAwayRecords, awayTable());
    pristineHome = images(homeFile());
    pristineAway = images(awayFile());
  }

  // The table of the directory's own folder, and the one named by its path.
  std::string homeFile(const std::string& ext = "") const { return home + "/home" + ext; }
  std::string awayFile(const std::string& ext = "") const { return away + "/away" + ext; }
  std::string awayTable() const { return awayFile(); }

  static std::vector<std::vector<uint8_t>> images(const std::string& base) {
    std::vector<std::vector<uint8_t>> found;
    for (const char* ext : {".DAT", ".IDX", ".BLB"})
      found.push_back(datafile_test::readFileBytes(base + ext));
    return found;
  }
  static void restore(const std::string& base, const std::vector<std::vector<uint8_t>>& images) {
    const char* exts[] = {".DAT", ".IDX", ".BLB"};
    for (size_t i = 0; i < 3; ++i) datafile_test::writeFileBytes(base + exts[i], images[i]);
  }

  // What every record in use holds, read by a session that opens the table afresh (rolling back
  // what a dead writer left), once the integrity checkers passed over it.
  Contents contents(const std::string& table, const std::string& base) const {
    Contents c;
    try {
      Database db(home);
      c = liveContents(db.open(table));
    } catch (const std::exception& e) {
      ADD_FAILURE() << table << ": " << e.what();
    }
    expectSoundTableFiles(base, table + ": ");
    return c;
  }

  // Every file under the temporary folder that is not one of the two tables' own files.
  std::vector<std::filesystem::path> strayFiles() const {
    std::set<std::string> own;
    for (const std::string& base : {homeFile(), awayFile()})
      for (const char* ext : {".DAT", ".IDX", ".BLB"}) own.insert(base + ext);
    std::vector<std::filesystem::path> stray;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root.path()))
      if (entry.is_regular_file() && !own.count(entry.path().string())) stray.push_back(entry.path());
    return stray;
  }

  TempDir root;
  std::string home, away;
  std::vector<std::vector<uint8_t>> pristineHome, pristineAway;
};

// Ends, before each of its writes, a writer committing one change of both tables; `awayFirst`
// opens the table of the other folder first, which puts the marker beside the home table (the
// last opened table's journal is written first). Then another process opens the tables, in the
// order `awayRecoveredFirst` tells.
void endEveryCommitEarly(TwoFolders& f, bool awayFirst, bool awayRecoveredFirst) {
  const Contents homeBefore = contentsOf(seedRange(1, kHomeRecords));
  const Contents homeAfter = contentsOf({1, 22, 3, 15, 5, 6, 7, 8});
  const Contents awayBefore = contentsOf(seedRange(1, kAwayRecords));
  const Contents awayAfter = contentsOf({41, 2, 3, 4, 5, 6, 7, 8, 9, 42});
  bool completed = false;
  bool leftBoth = false;  // a writer ended with both journals hot and their marker there
  uint64_t k = 1;
  for (; k <= kMaxWrites && !completed; ++k) {
    const std::string what = std::string(awayFirst ? "away" : "home") + " opened first, " +
                             (awayRecoveredFirst ? "away" : "home") + " recovered first, exit at write " +
                             std::to_string(k);
    f.restore(f.homeFile(), f.pristineHome);
    f.restore(f.awayFile(), f.pristineAway);
    Helper writer([&](Helper&) {
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      TFileList list(faulty);
      Database db(f.home, &list);
      TDataTable* a = awayFirst ? &db.open(f.awayTable()) : nullptr;
      TDataTable& h = db.open("home");
      if (!a) a = &db.open(f.awayTable());
      db.directory->StartTransaction();
      for (uint32_t seed = 6; seed <= 8; ++seed) appendItem(h, seed);
      changeItem(h, 2, 22);
      changeItem(h, 4, 15);
      changeItem(*a, 1, 41);
      appendItem(*a, 42);
      faulty.setPlan({platform::Fault::Exit, k, true});
      db.directory->Commit(true, true);
      return 0;
    });
    const int code = writer.wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << what << ": " << code;
    completed = code == 0;
    const std::string markerFolder = awayFirst ? f.home : f.away;
    bool marker = false;
    for (const std::filesystem::path& left : f.strayFiles()) {
      const bool journal = left == f.homeFile(".JNL") || left == f.awayFile(".JNL");
      const bool isMarker = left.parent_path() == markerFolder && left.extension() == ".JNM";
      marker = marker || isMarker;
      EXPECT_TRUE(journal || isMarker) << what << ": " << left;
    }
    leftBoth = leftBoth || (marker && JournalHot(platform::FileSystem::local(), f.homeFile(".JNL")) &&
                            JournalHot(platform::FileSystem::local(), f.awayFile(".JNL")));
    Contents homeFound, awayFound;
    if (awayRecoveredFirst) awayFound = f.contents(f.awayTable(), f.awayFile());
    homeFound = f.contents("home", f.homeFile());
    if (!awayRecoveredFirst) awayFound = f.contents(f.awayTable(), f.awayFile());
    EXPECT_TRUE(homeFound == homeAfter || (!completed && homeFound == homeBefore)) << what;
    EXPECT_TRUE(awayFound == (homeFound == homeAfter ? awayAfter : awayBefore)) << what;
    EXPECT_TRUE(f.strayFiles().empty()) << what;
  }
  EXPECT_TRUE(completed);
  EXPECT_TRUE(leftBoth) << "some writer ended in the middle of writing the tables";
}

TEST_F(TwoFolders, AWriterEndingInTheMiddleOfACommitLeavesBothTablesAllOldOrAllNew) {
  for (bool awayFirst : {false, true})
    for (bool awayRecoveredFirst : {false, true}) {
      endEveryCommitEarly(*this, awayFirst, awayRecoveredFirst);
      if (HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace engine
