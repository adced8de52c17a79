// Markers of a copy or swap spelt otherwise than the open of their table: a swap of "ITEMS"
// in another process, ended at every file operation from its first marker on, shows whole
// (the old table before its commit, the new one after) to an open spelt "items", to one spelt
// "ITEMS", and to a table kept as "items" and taken back, and leaves no stray file. Two markers
// of one kind under two spellings of one table are both honoured, or refused with nothing
// touched when both are swaps. A folder that cannot be listed never passes for one without
// markers.
#include <gtest/gtest.h>
#include <strings.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine/tables/veldortable.h"
#include "platform/faultfs.h"
#include "table_test_util.h"

namespace engine {
namespace {

using namespace table_test;
using storage_test::Helper;

constexpr uint32_t kOldItems = 3, kNewItems = 7;

// Where the swap's process ends: in the making of its copy and the writing of its swap marker
// (counted from the copy marker's write on), or in its moves once the swap marker is written.
enum class Stage { BeforeItsMoves, InItsMoves };

// A copy of the items table, spelt "ITEMS", into "itemsnew" in another process that ends before
// counted file operation `endAt` of `stage` (0: as the stage begins); past the stage's last
// operation it finishes it: 0 is its exit code then, and only the swap marker's removal is left
// for a stage before the moves.
int swapEndingAt(const TempDir& dir, Stage stage, uint64_t endAt) {
  const std::string path = dir.path();
  Helper copy([&](Helper&) {
    platform::FaultyFileSystem faulty(platform::FileSystem::local());
    TFileList list(faulty);
    Database other(path, &list);
    const auto endHere = [&] {
      if (endAt == 0) ::_exit(platform::kFaultExitCode);
      faulty.setPlan(platform::FaultPlan{platform::Fault::Exit, endAt, false, false});
    };
    if (stage == Stage::BeforeItsMoves) endHere();
    TDataTable::TSwap swap(*other.directory, "ITEMS", "itemsnew", false);
    other.create(kNewItems, "itemsnew");
    swap.Commit(false);
    if (stage == Stage::BeforeItsMoves) ::_exit(0);
    endHere();
    swap.Run();
    return 0;
  });
  return copy.wait();
}

// The folder's entries, upper-cased and sorted, e.g. "ITEMS.BLB ITEMS.DAT ITEMS.IDX".
std::string entriesUpperCased(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    std::string name = entry.path().filename().string();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

// The integrity checkers pass over the items table, its files spelt in whatever case.
void expectSoundItems(const TempDir& dir) {
  TempDir copy;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    if (strcasecmp(entry.path().stem().c_str(), "items") == 0)
      std::filesystem::copy_file(entry.path(), copy.file("items" + entry.path().extension().string()));
  expectSoundTableFiles(copy.file("items"));
}

struct Opening {
  const char* label;
  const char* spelling;
  bool kept;
};

void PrintTo(const Opening& opening, std::ostream* out) {
  *out << opening.label;
}

class MarkerSpeltOtherwise : public ::testing::TestWithParam<Opening> {
 protected:
  // Every run from an empty folder with the old items table; with `kept`, the reader has opened
  // it and keeps its files, closed, to take them back.
  void sweep(Stage stage) {
    const Opening opening = GetParam();
    bool finished = false;
    for (uint64_t endAt = 0; !finished; ++endAt) {
      SCOPED_TRACE("the copy ends before operation " + std::to_string(endAt));
      std::filesystem::remove_all(dir.path());
      std::filesystem::create_directories(dir.path());
      Database(dir.path()).create(kOldItems);
      Database reader(dir.path());
      if (opening.kept) reader.close(reader.open(opening.spelling));
      const int code = swapEndingAt(dir, stage, endAt);
      ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << code;
      finished = code == 0;
      TDataTable* t = nullptr;
      ASSERT_NO_THROW(t = &reader.open(opening.spelling));
      const Contents seen = liveContents(*t);
      reader.close(*t);
      if (stage == Stage::InItsMoves || finished) {
        EXPECT_EQ(seen.size(), kNewItems) << "the swap was committed";
      }
      EXPECT_TRUE(seen == contentsOf(seedRange(1, kOldItems)) || seen == contentsOf(seedRange(1, kNewItems)))
          << seen.size() << " items, neither table whole";
      EXPECT_EQ(entriesUpperCased(dir), "ITEMS.BLB ITEMS.DAT ITEMS.IDX");
      expectSoundItems(dir);
      ASSERT_LT(endAt, 400u);
    }
  }

  TempDir dir;
};

TEST_P(MarkerSpeltOtherwise, ASwapEndedInItsMovesShowsTheNewTableWhole) {
  sweep(Stage::InItsMoves);
}

TEST_P(MarkerSpeltOtherwise, ACopyEndedBeforeItsMovesShowsOneTableWholeAndLeavesNoStrayCopy) {
  sweep(Stage::BeforeItsMoves);
}

INSTANTIATE_TEST_SUITE_P(Opens, MarkerSpeltOtherwise,
                         ::testing::Values(Opening{"SpeltLowerCase", "items", false},
                                           Opening{"SpeltAsTheSwap", "ITEMS", false},
                                           Opening{"KeptAndTakenBackSpeltLowerCase", "items", true}),
                         [](const auto& info) { return std::string(info.param.label); });

// Writes a marker as a copy or swap leaves it: the new table's name, and for a swap a line with
// its plan (no backup kept, and whether the new table has a blob file).
void writeMarker(const TempDir& dir, const std::string& file, const std::string& text) {
  datafile_test::writeFileBytes(dir.file(file), std::vector<uint8_t>(text.begin(), text.end()));
}

// The folder's files with their bytes, to tell that nothing changed.
std::vector<std::pair<std::string, std::vector<uint8_t>>> folderBytes(const TempDir& dir) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    files.emplace_back(entry.path().filename().string(), datafile_test::readFileBytes(entry.path().string()));
  std::sort(files.begin(), files.end());
  return files;
}

TEST(MarkersOfTwoSpellings, TwoCopiesCutShortAreBothDropped) {
  TempDir dir;
  Database db(dir.path());
  db.create(kOldItems);
  db.create(kNewItems, "copya");
  db.create(kNewItems, "copyb");
  writeMarker(dir, "ITEMS.CPY", "copya");
  writeMarker(dir, "Items.CPY", "copyb");
  for (const char* spelling : {"items", "ITEMS"}) {
    SCOPED_TRACE(spelling);
    TDataTable& t = db.open(spelling);
    EXPECT_TRUE(liveContents(t) == contentsOf(seedRange(1, kOldItems)));
    db.close(t);
    EXPECT_EQ(entriesUpperCased(dir), "ITEMS.BLB ITEMS.DAT ITEMS.IDX");
  }
}

// Neither swap can be told to be the later one: the open fails as a damaged table, naming both
// markers (not as a denied access, which would send an administrator to the permissions), and
// leaves every file as it was for the administrator to settle.
TEST(MarkersOfTwoSpellings, TwoSwapsAreRefusedWithNothingTouched) {
  TempDir dir;
  {
    Database db(dir.path());
    db.create(kOldItems);
    db.create(kNewItems, "copya");
    db.create(kNewItems + 1, "copyb");
  }
  writeMarker(dir, "ITEMS.SWP", "copya\n01");
  writeMarker(dir, "items.SWP", "copyb\n01");
  const auto before = folderBytes(dir);
  for (const char* spelling : {"items", "ITEMS", "Items"}) {
    SCOPED_TRACE(spelling);
    Database db(dir.path());
    std::string message;
    try {
      db.open(spelling);
      ADD_FAILURE() << "the open went ahead";
    } catch (const EVELDOREngineError& e) {
      EXPECT_EQ(e.ErrorCode(), VELDOR_HEADERCORRUPT);
      message = e.ErrorText();
    }
    EXPECT_NE(message.find("corrupt"), std::string::npos) << message;
    EXPECT_NE(message.find(dir.file("ITEMS.SWP")), std::string::npos) << message;
    EXPECT_NE(message.find(dir.file("items.SWP")), std::string::npos) << message;
    EXPECT_TRUE(folderBytes(dir) == before);
  }
}

// A copy that committed its swap as "ITEMS" left a copy marker of another spelling beside its
// swap marker, and a copy cut short left one more: the swap is completed and the other copy's
// table dropped.
TEST(MarkersOfTwoSpellings, ACommittedSwapIsCompletedBeforeAnotherCopyIsDropped) {
  TempDir dir;
  Database db(dir.path());
  db.create(kOldItems);
  db.create(kNewItems, "itemsnew");
  db.create(kOldItems + 1, "copyb");
  writeMarker(dir, "ITEMS.SWP", "itemsnew\n01");
  writeMarker(dir, "ITEMS.CPY", "itemsnew");
  writeMarker(dir, "items.CPY", "copyb");
  TDataTable& t = db.open("items");
  EXPECT_TRUE(liveContents(t) == contentsOf(seedRange(1, kNewItems)));
  db.close(t);
  EXPECT_EQ(entriesUpperCased(dir), "ITEMS.BLB ITEMS.DAT ITEMS.IDX");
}

// A reader keeps the items table; a swap elsewhere commits and its process ends before its moves.
// Then no descriptor is left for the reader's process: the folder cannot be listed for markers,
// and the table taken back must not show the old rows as though no swap had been committed.
TEST(MarkersUnseen, AFolderThatCannotBeListedNeverPassesForOneWithoutMarkers) {
  TempDir dir;
  {
    Database db(dir.path());
    db.create(kOldItems);
    db.create(kNewItems, "itemsnew");
  }
  Helper reader([&](Helper&) {
    Database db(dir.path());
    db.close(db.open("items"));
    writeMarker(dir, "items.CPY", "itemsnew");
    writeMarker(dir, "items.SWP", "itemsnew\n01");
    // The sanitizers check an error's type at its first making with a descriptor of their own.
    try {
      db.open("nosuchtable");
    } catch (const std::exception&) {
    }
    const int lowest = ::dup(0);
    if (lowest < 0 || ::close(lowest) != 0) return 3;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 3;
    limit.rlim_cur = rlim_t(lowest);
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 3;
    size_t shown = 0;
    try {
      TDataTable& t = db.open("items");
      shown = liveContents(t).size();
      db.close(t);
    } catch (const std::exception&) {
      return 0;  // refused: the open could not tell, and said so
    }
    return shown == kNewItems ? 0 : 5;
  });
  EXPECT_EQ(reader.wait(), 0) << "5: the old table was shown after its swap was committed";
}

// A table named with a folder of its own is looked for where its name leads: a swap of it,
// committed in another process that ends before its moves, leaves its marker there while the
// session's folder holds no marker at all. Opened afresh or kept and taken back, the table
// shows the new rows.
TEST(MarkersElsewhere, ATableNamedWithAFolderFindsTheSwapMarkerBesideItsFiles) {
  for (const bool kept : {false, true}) {
    SCOPED_TRACE(kept ? "kept and taken back" : "opened afresh");
    TempDir dir;
    const std::string sub = dir.file("sub") + "/";
    std::filesystem::create_directories(sub);
    Database(sub).create(kOldItems);
    Database reader(dir.path());
    if (kept) reader.close(reader.open(sub + "items"));
    Helper copy([&](Helper&) {
      Database other(dir.path());
      TDataTable::TSwap swap(*other.directory, sub + "ITEMS", sub + "itemsnew", false);
      other.create(kNewItems, sub + "itemsnew");
      swap.Commit(false);
      ::_exit(0);
      return 0;
    });
    ASSERT_EQ(copy.wait(), 0);
    ASSERT_FALSE(std::filesystem::is_empty(sub));
    TDataTable& t = reader.open(sub + "items");
    EXPECT_EQ(liveContents(t).size(), kNewItems) << "the swap was committed";
    reader.close(t);
  }
}

}  // namespace
}  // namespace engine
