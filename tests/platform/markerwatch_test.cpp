#include "platform/markerwatch.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/osfile.h"
#include "tests/platform/temp_folder.h"

namespace platform {
namespace {

using Names = std::vector<std::string>;
namespace fsys = std::filesystem;

void touch(const std::string& path) {
  std::ofstream(path) << "x";
}

// Runs `work` in a forked child and waits for it: the change is made by another process.
template <typename Work>
void inChild(Work work) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    work();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

Names look(MarkerWatch& watch, const std::string& folder) {
  Names names;
  EXPECT_TRUE(watch.markerNames(folder, names));
  return names;
}

class MarkerWatchTest : public ::testing::Test {
 protected:
  testing::TempFolder dir;
  MarkerWatch watch;
};

TEST_F(MarkerWatchTest, MarkersMadeByAnotherProcessAreSeenAtTheNextLook) {
  touch(dir.path("t.DAT"));
  touch(dir.path("u.swp"));
  EXPECT_EQ(look(watch, dir.path()), (Names{"u.swp"}));
  const uint64_t reads = watch.folderReads();
  touch(dir.path("other.dat"));
  EXPECT_EQ(look(watch, dir.path()), (Names{"u.swp"}));
  EXPECT_EQ(watch.folderReads(), reads) << "no marker came or went: the folder is not read";

  inChild([&] { touch(dir.path("T.Swp")); });
  EXPECT_EQ(look(watch, dir.path()), (Names{"T.Swp", "u.swp"})) << "created";

  touch(dir.path("staged"));
  inChild([&] { fsys::rename(dir.path("staged"), dir.path("T.CPY")); });
  EXPECT_EQ(look(watch, dir.path()), (Names{"T.CPY", "T.Swp", "u.swp"})) << "renamed into the folder";

  inChild([&] { fsys::remove(dir.path("u.swp")); });
  EXPECT_EQ(look(watch, dir.path()), (Names{"T.CPY", "T.Swp"})) << "deleted";
  inChild([&] { fsys::rename(dir.path("T.CPY"), dir.path("moved")); });
  EXPECT_EQ(look(watch, dir.path()), (Names{"T.Swp"})) << "renamed away";
}

TEST_F(MarkerWatchTest, AForkedChildsLooksDoNotTakeTheParentsEvents) {
  EXPECT_EQ(look(watch, dir.path()), Names{});
  // The child looks with the instance it inherited, after its own marker was made: reading the
  // queue it shares with the parent would take the parent's event away.
  inChild([&] {
    touch(dir.path("t.swp"));
    Names names;
    if (!watch.markerNames(dir.path(), names) || names != Names{"t.swp"}) ::_exit(1);
    touch(dir.path("u.cpy"));
    if (!watch.markerNames(dir.path(), names) || names != (Names{"t.swp", "u.cpy"})) ::_exit(2);
  });
  EXPECT_EQ(look(watch, dir.path()), (Names{"t.swp", "u.cpy"}));
}

TEST_F(MarkerWatchTest, LostEventsMakeEveryListingBeReadAgain) {
  EXPECT_EQ(look(watch, dir.path()), Names{});
  // More events than the queue holds: the marker's own event is lost, only the overflow tells.
  const long queued = [] {
    long n = 16384;
    if (std::FILE* f = std::fopen("/proc/sys/fs/inotify/max_queued_events", "r")) {
      if (std::fscanf(f, "%ld", &n) != 1) n = 16384;
      std::fclose(f);
    }
    return n;
  }();
  ASSERT_LE(queued, 200000) << "queue too long to overflow in a test";
  const std::string churn = dir.path("churn");
  for (long i = 0; i <= queued / 2; ++i) {
    ::close(::open(churn.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    ::unlink(churn.c_str());
  }
  touch(dir.path("T.SWP"));
  EXPECT_EQ(look(watch, dir.path()), Names{"T.SWP"});
}

TEST_F(MarkerWatchTest, AFolderReplacedUnderTheSamePathIsReadAfresh) {
  const std::string folder = dir.path("x/db");
  fsys::create_directories(folder);
  EXPECT_EQ(look(watch, folder), Names{});
  inChild([&] {
    fsys::remove_all(folder);
    fsys::create_directory(folder);
    touch(folder + "/t.swp");
  });
  EXPECT_EQ(look(watch, folder), Names{"t.swp"}) << "deleted and made again";

  // The folder above moves away: the watched folder sees no event of its own.
  inChild([&] {
    fsys::rename(dir.path("x"), dir.path("y"));
    fsys::create_directories(folder);
    touch(folder + "/u.cpy");
  });
  EXPECT_EQ(look(watch, folder), Names{"u.cpy"}) << "another folder under the path";
  inChild([&] { touch(dir.path("y/db/v.swp")); });
  EXPECT_EQ(look(watch, folder), Names{"u.cpy"});
  EXPECT_EQ(look(watch, dir.path("y/db")), (Names{"t.swp", "v.swp"}));
}

TEST_F(MarkerWatchTest, OnlyLocalFileSystemsAreWatched) {
  EXPECT_TRUE(isLocalFileSystemType(0xEF53));
  EXPECT_TRUE(isLocalFileSystemType(0x01021994));
  EXPECT_FALSE(isLocalFileSystemType(0x6969)) << "NFS";
  EXPECT_FALSE(isLocalFileSystemType(0xFF534D42)) << "CIFS";
  EXPECT_FALSE(isLocalFileSystemType(0x65735546)) << "FUSE";
  EXPECT_FALSE(isLocalFileSystemType(-1)) << "unknown";

  MarkerWatch remote([](const std::string&) { return int64_t(0x6969); });
  EXPECT_EQ(look(remote, dir.path()), Names{});
  EXPECT_EQ(look(remote, dir.path()), Names{});
  EXPECT_EQ(remote.folderReads(), 2u) << "a folder others may write to is read at every look";

  MarkerWatch bounded({}, 1);
  fsys::create_directory(dir.path("a"));
  fsys::create_directory(dir.path("b"));
  look(bounded, dir.path("a"));
  look(bounded, dir.path("b"));
  look(bounded, dir.path("a"));
  look(bounded, dir.path("b"));
  EXPECT_EQ(bounded.folderReads(), 3u) << "folders beyond the bound are read every time";
}

TEST_F(MarkerWatchTest, TheFileSystemsMarkerLookUsesTheWatch) {
  FileSystem& fs = FileSystem::local();
  const std::string names[] = {"t.SWP", "t.CPY"};
  using Paths = std::vector<std::vector<std::string>>;
  EXPECT_EQ(fs.spellingsOf(dir.path(), names), (Paths{{}, {}}));
  touch(dir.path("t.dat"));
  EXPECT_TRUE(fs.holdsNoMarkers(dir.path()));
  inChild([&] { touch(dir.path("T.swp")); });
  EXPECT_FALSE(fs.holdsNoMarkers(dir.path())) << "a marker made by another process";
  EXPECT_EQ(fs.spellingsOf(dir.path(), names), (Paths{{dir.path("T.swp")}, {}}));
  touch(dir.path("t.SWP"));
  EXPECT_EQ(fs.spellingsOf(dir.path(), names), (Paths{{dir.path("t.SWP"), dir.path("T.swp")}, {}}));
  fsys::remove(dir.path("t.SWP"));
  fsys::remove(dir.path("T.swp"));
  EXPECT_TRUE(fs.holdsNoMarkers(dir.path()));
  inChild([&] { touch(dir.path("other.Cpy")); });
  EXPECT_FALSE(fs.holdsNoMarkers(dir.path())) << "another table's marker, in any case";
  EXPECT_FALSE(fs.holdsNoMarkers(dir.path("none"))) << "a folder that is not there cannot be told";
}

}  // namespace
}  // namespace platform
