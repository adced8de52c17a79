// A create of a lasting table stopped before each of its file operations while another process
#include <cstdlib>
// creates the same table: one create makes the table and it stays whole, rows, index and memos;
// the other fails with "table exists" and leaves every file of the table alone. An open elsewhere
// that finds the new data file first never makes the create fail.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "engine/tables/veldortable.h"
#include "platform/oserror.h"
#include "table_test_util.h"
#include "tests/platform/forwarding_fs.h"

namespace engine {
namespace {

using namespace table_test;
using storage_test::Helper;

// The local file system, with `hook` run once just before counted operation `pauseAt` (opens,
// creates, deletes and renames, counted from 1), `afterRename` after each rename, `beforeCreate`
// before each plain create, `afterOpen` after each open that succeeded, and `onSleep` before each
// pause between lock attempts.
class PausingFileSystem final : public platform::testing::ForwardingFileSystem {
 public:
  PausingFileSystem() : ForwardingFileSystem(platform::FileSystem::local()) {}
  uint64_t pauseAt = 0;
  std::function<void()> hook;
  std::function<void()> onSleep;
  std::function<void(const std::string& from)> afterRename;
  std::function<void(const std::string& path)> beforeCreate;
  std::function<void(const std::string& path)> afterOpen;
  uint64_t operations = 0;

  std::unique_ptr<platform::OsFile> openFile(const std::string& path,
                                             const platform::OpenOptions& o) override {
    count();
    std::unique_ptr<platform::OsFile> file = base_.openFile(path, o);
    if (file && afterOpen) afterOpen(path);
    return file;
  }
  std::unique_ptr<platform::OsFile> createFile(const std::string& path, bool deleteOnClose) override {
    count();
    if (beforeCreate) beforeCreate(path);
    return base_.createFile(path, deleteOnClose);
  }
  std::unique_ptr<platform::OsFile> createFileReplacing(const std::string& path, bool deleteOnClose,
                                                        void* head, int64_t bytes, bool& replaced) override {
    count();
    return base_.createFileReplacing(path, deleteOnClose, head, bytes, replaced);
  }
  platform::CreateNewResult createNewFile(const std::string& path) override {
    count();
    return base_.createNewFile(path);
  }
  bool fileInfo(const std::string& path, platform::FileInfo& info) override {
    return base_.fileInfo(path, info);
  }
  bool deleteFile(const std::string& path) override {
    count();
    return base_.deleteFile(path);
  }
  bool deleteFileAsSpelt(const std::string& path) override {
    count();
    return base_.deleteFileAsSpelt(path);
  }
  bool renameFile(const std::string& from, const std::string& to) override {
    count();
    const bool renamed = base_.renameFile(from, to);
    if (renamed && afterRename) afterRename(from);
    return renamed;
  }
  void sleepFor(std::chrono::milliseconds duration) override {
    if (onSleep) onSleep();
    base_.sleepFor(duration);
  }

 private:
  void count() {
    if (++operations == pauseAt && hook) std::exchange(hook, nullptr)();
  }
};

constexpr uint32_t kItems = 5;

// The items table's definition as a cursor creates it, with no primary index.
TCreateTableArgs itemsArgs() {
  TCreateTableArgs a;
  a.Fields = itemsDefinition().fields;
  a.NoPrimaryIndex = true;
  a.BlobBlockSize = uint16_t(kDefaultBlobBlockSize);
  return a;
}

// Creates the items table through a cursor of `db`, as a create that may find it made.
void createItems(Database& db, const std::string& name = "items") {
  TDataCursor c(*db.directory);
  c.SetTableName(name);
  c.SetExclusive(true);
  TCreateTableArgs a = itemsArgs();
  c.CreateTable(a);
}

// A process that, once told 'g', runs `body` on a session of `dir` through a file system that
// sends 'w' the first time it pauses between lock attempts.
std::unique_ptr<Helper> startOther(const TempDir& dir, const std::function<int(Database&, Helper&)>& body) {
  const std::string path = dir.path();
  return std::make_unique<Helper>([path, body](Helper& self) {
    PausingFileSystem fs;
    bool told = false;
    fs.onSleep = [&] {
      if (!std::exchange(told, true)) self.send('w');
    };
    TFileList list(fs);
    Database db(path, &list);
    if (self.receive() != 'g') return 90;
    return body(db, self);
  });
}

// Exit codes of the other process.
constexpr int kMade = 0, kFoundMade = 1, kNotFound = 2, kFailed = 3;

void expectOnlyTheTablesFiles(const TempDir& dir) {
  EXPECT_EQ(filesOf(dir, "items"), "DAT IDX BLB");
  for (const char* ext : {"DNW", "SWP", "CPY"})
    EXPECT_FALSE(std::filesystem::exists(dir.file(std::string("items.") + ext))) << ext;
}

class CreateRace : public ::testing::Test {
 protected:
  void startAgain() {
    std::filesystem::remove_all(dir.path());
    std::filesystem::create_directories(dir.path());
  }
  TempDir dir;
};

TEST_F(CreateRace, ASecondCreateOfTheTableLeavesTheFirstWholeWhereverItIsStopped) {
  bool finished = false;
  for (uint64_t at = 1; !finished; ++at) {
    SCOPED_TRACE("this create stopped before operation " + std::to_string(at));
    startAgain();
    // Creates the table, fills it and closes it, or finds it made.
    std::unique_ptr<Helper> other = startOther(dir, [](Database& db, Helper& self) {
      const uint16_t error = errorOf([&] { createItems(db); });
      if (error == VELDOR_TABLEEXISTS) {
        self.send('d');
        return kFoundMade;
      }
      if (error != 0) {
        self.send('d');
        return kFailed;
      }
      TDataTable& t = db.open("items", true);
      for (uint32_t i = 1; i <= kItems; ++i) appendItem(t, i);
      db.close(t);
      self.send('d');
      return kMade;
    });
    PausingFileSystem fs;
    fs.pauseAt = at;
    fs.hook = [&] {
      other->send('g');
      // Until the other create is done or waits for this one.
      const char seen = other->receive();
      ASSERT_TRUE(seen == 'd' || seen == 'w') << int(seen);
    };
    uint16_t error = 0;
    {
      TFileList list(fs);
      Database db(dir.path(), &list);
      error = errorOf([&] { createItems(db); });
    }
    finished = bool(fs.hook);
    if (finished) other->send('g');
    const int code = other->wait();
    ASSERT_TRUE(code == kMade || code == kFoundMade) << code;
    // Exactly one create made the table: the other was told it was there.
    EXPECT_EQ(error, code == kMade ? VELDOR_TABLEEXISTS : 0);
    expectSoundTableFiles(dir.file("items"));
    expectOnlyTheTablesFiles(dir);
    Database db(dir.path());
    Contents seen;
    ASSERT_EQ(errorOf([&] {
                TDataTable& t = db.open();
                seen = liveContents(t);
                db.close(t);
              }),
              0);
    EXPECT_TRUE(seen == (code == kMade ? contentsOf(seedRange(1, kItems)) : Contents{}))
        << seen.size() << " rows";
    ASSERT_LT(at, 200u);
  }
}

// Another process's open of the table that looked for markers just before the create took its
// hold finds the new data file as soon as it is in place, and holds it while it opens the index:
// the creator's open of it again waits, as an open waits, and the create completes.
TEST_F(CreateRace, TheCreatorsOpenAgainWaitsForAnOpenThatFoundTheNewDataFileFirst) {
  const std::string data = dir.file("items.DAT");
  Helper other([data](Helper& self) {
    if (self.receive() != 'g') return kFailed;
    std::unique_ptr<platform::OsFile> file = platform::FileSystem::local().openFile(
        data, platform::OpenOptions{false, platform::ShareMode::Shared});
    self.send(file ? 'o' : 'n');
    if (self.receive() != 'x') return kFailed;
    return file ? kMade : kNotFound;
  });
  PausingFileSystem fs;
  bool holding = false;
  fs.afterRename = [&](const std::string& from) {
    if (!from.ends_with("items.DNW")) return;
    other.send('g');
    ASSERT_EQ(other.receive(), 'o');
    holding = true;
  };
  // The creator's first wait lets the other open go.
  fs.onSleep = [&] {
    if (std::exchange(holding, false)) other.send('x');
  };
  uint16_t error = 0;
  {
    TFileList list(fs);
    Database db(dir.path(), &list);
    error = errorOf([&] { createItems(db); });
  }
  if (holding) other.send('x');
  EXPECT_EQ(other.wait(), kMade);
  EXPECT_EQ(error, 0);
  expectSoundTableFiles(dir.file("items"));
  expectOnlyTheTablesFiles(dir);
}

// A rename whose looks for markers beside the new name came just before a create of that name
// elsewhere took its hold there: the rename waits for the hold, as an open or a drop of the name
// waits, instead of failing with an access error on it. The create keeps the table it made, and
// the rename is then refused as any rename onto an existing table is, leaving both tables whole.
TEST_F(CreateRace, ARenameOntoANameAnotherProcessIsCreatingWaitsForTheCreatesHold) {
  const std::string path = dir.path();
  Helper other([path](Helper& self) {
    PausingFileSystem fs;
    // Once the create holds its marker beside the name.
    bool told = false;
    fs.afterOpen = [&](const std::string& opened) {
      if (told || !opened.ends_with("/moved.SWP")) return;
      told = true;
      self.send('h');
      if (self.receive() != 'x') std::_Exit(kFailed);
    };
    TFileList list(fs);
    Database db(path, &list);
    if (self.receive() != 'g') return kFailed;
    const uint16_t error = errorOf([&] { createItems(db, "moved"); });
    return error == 0 ? kMade : kFailed;
  });
  Database(dir.path()).create(2);
  PausingFileSystem fs;
  bool asked = false, held = false;
  fs.beforeCreate = [&](const std::string& created) {
    if (asked || !created.ends_with("/moved.SWP")) return;
    asked = true;
    other.send('g');
    ASSERT_EQ(other.receive(), 'h');
    held = true;
  };
  fs.onSleep = [&] {
    if (std::exchange(held, false)) other.send('x');
  };
  uint16_t error = 0;
  {
    TFileList list(fs);
    Database db(dir.path(), &list);
    error = errorOf([&] { db.directory->RenameTable("items", "moved", false, false); });
  }
  if (held) other.send('x');
  ASSERT_EQ(other.wait(), kMade);
  Database db(dir.path());
  EXPECT_EQ(error, errorOf([&] { db.directory->RenameTable("items", "moved", false, false); }))
      << "not refused as a rename onto an existing table";
  EXPECT_NE(error, 0);
  EXPECT_EQ(error, VELDOR_TABLEEXISTS);
  EXPECT_EQ(filesOf(dir, "items"), "DAT IDX BLB");
  EXPECT_EQ(filesOf(dir, "moved"), "DAT IDX BLB");
  for (const char* name : {"items.SWP", "moved.SWP"})
    EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
  expectSoundTableFiles(dir.file("items"));
  expectSoundTableFiles(dir.file("moved"));
  TDataTable& items = db.open();
  expectItem(items, 2, 2);
  db.close(items);
}

TEST_F(CreateRace, ARenameOntoANameAnotherProcessMadeBeforeItsMarkersIsRefusedAsOntoATable) {
  const std::string path = dir.path();
  Helper other([path](Helper& self) {
    Database db(path);
    if (self.receive() != 'g') return kFailed;
    const uint16_t error = errorOf([&] { createItems(db, "moved"); });
    return error == 0 ? kMade : kFailed;
  });
  Database(dir.path()).create(2);
  PausingFileSystem fs;
  // The rename has looked at both names and is about to mark them: the other table is made
  // whole meanwhile.
  bool asked = false;
  int made = -1;
  fs.beforeCreate = [&](const std::string& created) {
    if (asked || !created.ends_with("/items.SWP")) return;
    asked = true;
    other.send('g');
    made = other.wait();
  };
  uint16_t error = 0;
  {
    TFileList list(fs);
    Database db(dir.path(), &list);
    error = errorOf([&] { db.directory->RenameTable("items", "moved", false, false); });
  }
  if (!asked) other.send('g');
  if (made < 0) made = other.wait();
  ASSERT_TRUE(asked) << "the rename made no marker";
  ASSERT_EQ(made, kMade);
  EXPECT_EQ(error, VELDOR_TABLEEXISTS);
  EXPECT_EQ(filesOf(dir, "items"), "DAT IDX BLB");
  EXPECT_EQ(filesOf(dir, "moved"), "DAT IDX BLB");
  for (const char* name : {"items.SWP", "moved.SWP"})
    EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
  expectSoundTableFiles(dir.file("items"));
  expectSoundTableFiles(dir.file("moved"));
  Database db(dir.path());
  TDataTable& items = db.open();
  expectItem(items, 2, 2);
  db.close(items);
  TDataTable& moved = db.open("moved");
  EXPECT_EQ(moved.DataFile().GetLastRecordNumber(), 0u);
  db.close(moved);
}

// The local file system, running `beforeOpen` before and `afterOpen` after the first open of the
// items table's create marker, and `aroundMake` around the first make of the marker.
class MarkerSeamFileSystem final : public platform::testing::ForwardingFileSystem {
 public:
  MarkerSeamFileSystem() : ForwardingFileSystem(platform::FileSystem::local()) {}
  std::function<void()> beforeOpen, afterOpen;
  std::function<void(bool made)> aroundMake;

  std::unique_ptr<platform::OsFile> openFile(const std::string& path,
                                             const platform::OpenOptions& o) override {
    if (!isMarker(path) || !beforeOpen) return base_.openFile(path, o);
    std::exchange(beforeOpen, nullptr)();
    std::unique_ptr<platform::OsFile> file = base_.openFile(path, o);
    const int error = platform::lastOsError();
    if (afterOpen) std::exchange(afterOpen, nullptr)();
    platform::setLastOsError(error);
    return file;
  }
  bool fileInfo(const std::string& path, platform::FileInfo& info) override {
    return base_.fileInfo(path, info);
  }
  platform::CreateNewResult createNewFile(const std::string& path) override {
    if (!isMarker(path) || !aroundMake) return base_.createNewFile(path);
    std::function<void(bool)> around = std::exchange(aroundMake, nullptr);
    around(false);
    const platform::CreateNewResult made = base_.createNewFile(path);
    around(true);
    return made;
  }

  std::unique_ptr<platform::OsFile> createFile(const std::string& path, bool deleteOnClose) override {
    return base_.createFile(path, deleteOnClose);
  }
  std::unique_ptr<platform::OsFile> createFileAsSpelt(const std::string& path) override {
    return base_.createFileAsSpelt(path);
  }
  std::unique_ptr<platform::OsFile> createFileReplacing(const std::string& path, bool deleteOnClose,
                                                        void* head, int64_t count, bool& replaced) override {
    return base_.createFileReplacing(path, deleteOnClose, head, count, replaced);
  }
  std::unique_ptr<platform::OsFile> openAsSpelt(const std::string& path, platform::ShareMode share,
                                                bool create) override {
    return base_.openAsSpelt(path, share, create);
  }
  bool fileInfoAsSpelt(const std::string& path, platform::FileInfo& info) override {
    return base_.fileInfoAsSpelt(path, info);
  }

 private:
  static bool isMarker(const std::string& path) {
    return std::filesystem::path(path).filename() == "items.SWP";
  }
};

// Two creates of the table at once: this one makes its marker, the other takes it for one cut off
// in its write and removes it before this one opens it, then makes its own once this one's open
// has failed. This create waits for the other's, which makes the table, and is told the
// table exists; it is not refused with the marker "not found".
TEST_F(CreateRace, ACreateWhoseMarkerIsTakenAndMadeAgainElsewhereWaitsForTheOtherCreate) {
  const std::string path = dir.path();
  Helper other([path](Helper& self) {
    MarkerSeamFileSystem fs;
    fs.aroundMake = [&](bool made) {
      self.send(made ? 'c' : 'r');
      if (!made && self.receive() != 'g') std::_Exit(kFailed);
    };
    TFileList list(fs);
    Database db(path, &list);
    if (self.receive() != 'g') return kFailed;
    return errorOf([&] { createItems(db); }) == 0 ? kMade : kFailed;
  });
  MarkerSeamFileSystem fs;
  fs.beforeOpen = [&] {
    // This create's marker is made and not yet held: the other removes it, and waits.
    other.send('g');
    ASSERT_EQ(other.receive(), 'r');
  };
  fs.afterOpen = [&] {
    other.send('g');
    ASSERT_EQ(other.receive(), 'c');
  };
  uint16_t error = 0;
  {
    TFileList list(fs);
    Database db(dir.path(), &list);
    error = errorOf([&] { createItems(db); });
  }
  EXPECT_FALSE(fs.beforeOpen || fs.afterOpen) << "the creates did not meet at the marker";
  if (fs.beforeOpen) other.send('g');
  if (fs.afterOpen) other.send('g');
  EXPECT_EQ(other.wait(), kMade);
  EXPECT_EQ(error, VELDOR_TABLEEXISTS);
  expectSoundTableFiles(dir.file("items"));
  expectOnlyTheTablesFiles(dir);
}

}  // namespace
}  // namespace engine
