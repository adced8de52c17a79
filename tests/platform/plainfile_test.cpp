#include "platform/plainfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/oserror.h"
#include "tests/platform/temp_folder.h"

namespace {

namespace fs = std::filesystem;

using platform::testing::TempFolderTest;

using InputFileTest = TempFolderTest;

TEST_F(InputFileTest, MissingFilesFoldersAndMissingParentsAreRefusedWithTheirReason) {
  platform::InputFile f;
  EXPECT_FALSE(f.open(path("missing")));
  EXPECT_EQ(f.error(), ENOENT);
  EXPECT_FALSE(f.open(dir_.string()));
  EXPECT_EQ(f.error(), EISDIR);
  EXPECT_FALSE(f.isOpen());
  platform::OutputFile o;
  EXPECT_FALSE(o.create(path("no/such/file")));
  EXPECT_EQ(o.error(), ENOENT);
  EXPECT_FALSE(o.write("x"));
  // A FIFO without a reader is refused at once instead of being waited on.
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(o.create(path("fifo")));
  EXPECT_EQ(o.error(), platform::kNotRegularFile);
  platform::ReplacingFile r;
  EXPECT_FALSE(r.begin(path("none/t")));
  EXPECT_EQ(r.error(), ENOENT);
  EXPECT_FALSE(r.commit());
}

TEST_F(InputFileTest, ReadComesBackShortOnlyAtTheEndOfTheFile) {
  writeFile(path("a"), "0123456789");
  platform::InputFile f;
  ASSERT_TRUE(f.open(path("a")));
  EXPECT_EQ(f.size(), 10);
  char buf[16] = {};
  EXPECT_EQ(f.readAt(3, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "3456");
  EXPECT_EQ(f.readAt(7, buf, 16), 3);
  EXPECT_EQ(std::string(buf, 3), "789");
  EXPECT_EQ(f.readAt(10, buf, 16), 0);
  EXPECT_EQ(f.readAt(-1, buf, 1), -1);
  EXPECT_EQ(f.error(), EINVAL);
}

TEST_F(InputFileTest, OffsetsBeyondFourGibibytesAreReachedInASparseFile) {
  const int64_t far = (int64_t(5) << 30) + 7;
  {
    std::ofstream out(path("big"), std::ios::binary);
    out << "head";
  }
  fs::resize_file(path("big"), uint64_t(far));
  {
    std::fstream out(path("big"), std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(far);
    out << "tail";
  }
  platform::InputFile f;
  ASSERT_TRUE(f.open(path("big")));
  EXPECT_EQ(f.size(), far + 4);
  char buf[8] = {};
  ASSERT_EQ(f.readAt(far - 2, buf, 8), 6);
  EXPECT_EQ(std::string(buf, 6), std::string("\0\0tail", 6));
  // Whether the file system reports the hole or not, the answer never skips data.
  const int64_t next = f.nextDataOffset(4);
  EXPECT_GE(next, 4);
  EXPECT_LE(next, far);
  EXPECT_EQ(f.nextDataOffset(0), 0);
}

using OutputFileTest = TempFolderTest;

TEST_F(OutputFileTest, CreateEmptiesAppendAddsAtTheEndAndCreateNewRefusesAnExistingName) {
  writeFile(path("o"), "old content");
  platform::OutputFile f;
  ASSERT_TRUE(f.create(path("o")));
  ASSERT_TRUE(f.write("new"));
  ASSERT_TRUE(f.close());
  EXPECT_EQ(readFile(path("o")), "new");
  ASSERT_TRUE(f.openAppend(path("o")));
  ASSERT_TRUE(f.write("+more"));
  ASSERT_TRUE(f.close());
  EXPECT_EQ(readFile(path("o")), "new+more");
  EXPECT_FALSE(f.createNew(path("o")));
  EXPECT_EQ(f.error(), EEXIST);
  EXPECT_EQ(readFile(path("o")), "new+more");
}

using ReplacingFileTest = TempFolderTest;

TEST_F(ReplacingFileTest, TargetChangesOnlyOnCommit) {
  writeFile(path("t"), "old");
  platform::ReplacingFile f;
  ASSERT_TRUE(f.begin(path("t")));
  ASSERT_TRUE(f.write("new content"));
  EXPECT_EQ(readFile(path("t")), "old");
  EXPECT_TRUE(fs::exists(f.temporaryPath()));
  ASSERT_TRUE(f.commit());
  EXPECT_EQ(readFile(path("t")), "new content");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);
}

TEST_F(ReplacingFileTest, DiscardedOrAbandonedFileLeavesNoTraceAndKeepsTheTarget) {
  writeFile(path("t"), "old");
  {
    platform::ReplacingFile f;
    ASSERT_TRUE(f.begin(path("t")));
    ASSERT_TRUE(f.write("half"));
  }
  platform::ReplacingFile g;
  ASSERT_TRUE(g.begin(path("t")));
  ASSERT_TRUE(g.write("half"));
  g.discard();
  EXPECT_EQ(readFile(path("t")), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);
}

// What a replacement meets outside its own process: the end of its writer, a full disk, another
// writer of the same file, and targets that are links or have odd names or permissions.
using ReplacingFileFailureTest = TempFolderTest;

// A child process running `body`. The child writes a byte to `ready` when it reaches the point
// the parent waits for, and reads one from `go` where the parent must act first.
class Child {
 public:
  explicit Child(const std::function<int(int ready, int go)>& body) {
    int ready[2], go[2];
    if (::pipe(ready) != 0) throw std::runtime_error("no pipe");
    if (::pipe(go) != 0) throw std::runtime_error("no pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(go[1]);
      ::_exit(body(ready[1], go[0]));
    }
    ::close(ready[1]);
    ::close(go[0]);
    ready_ = ready[0];
    go_ = go[1];
  }
  ~Child() {
    if (pid_ > 0) {
      kill();
      wait();
    }
    ::close(ready_);
    ::close(go_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // False when the child ended before it was ready.
  bool waitReady() {
    char c = 0;
    return ::read(ready_, &c, 1) == 1;
  }
  void go() { EXPECT_EQ(::write(go_, "g", 1), 1); }
  void kill() { ::kill(pid_, SIGKILL); }
  // The child's exit code (128 + signal when a signal ended it).
  int wait() {
    int status = 0;
    ::waitpid(std::exchange(pid_, 0), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = 0;
  int ready_ = -1;
  int go_ = -1;
};

// Runs `body` in a child process and returns its exit code, killing the child once it is ready
// when `killWhenReady`.
int inChild(const std::function<int(int ready)>& body, bool killWhenReady = false) {
  Child child([&](int ready, int) { return body(ready); });
  if (killWhenReady && child.waitReady()) child.kill();
  return child.wait();
}

TEST_F(ReplacingFileFailureTest, AWriterKilledBeforeItsCommitLeavesTheOldFileWhole) {
  const std::string old(100000, 'o');
  writeFile(path("t.adf"), old);
  const int code = inChild(
      [&](int ready) {
        platform::ReplacingFile f;
        const std::string chunk(65536, 'n');
        if (!f.begin(path("t.adf")) || !f.write(chunk)) return 1;
        if (::write(ready, "r", 1) != 1) return 2;
        for (;;)
          if (!f.write(chunk)) return 3;
      },
      true);
  EXPECT_EQ(code, 128 + SIGKILL);
  EXPECT_EQ(readFile(path("t.adf")), old);
}

TEST_F(ReplacingFileFailureTest, AFullDiskFailsTheReplacementAndKeepsTheOldFile) {
  writeFile(path("t.adf"), "old");
  const int code = inChild([&](int) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    platform::ReplacingFile f;
    if (!f.begin(path("t.adf"))) return 1;
    if (f.write(std::string(8192, 'n'))) return 2;
    // A caller that goes on regardless still cannot put the cut file in place.
    if (f.write("more") || f.commit()) return 3;
    return f.error() == EFBIG ? 0 : 4;
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(readFile(path("t.adf")), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);
}

// Two writers replace one file over and over while a reader looks: every look sees one writer's
// whole file, and so does the end.
TEST_F(ReplacingFileFailureTest, TwoProcessesReplacingOneFileAtOnceLeaveOneWholeVersion) {
  constexpr size_t kSize = 200000;
  writeFile(path("t"), std::string(kSize, 'a'));
  const auto whole = [&](const std::string& bytes) {
    return bytes.size() == kSize && (bytes == std::string(kSize, 'a') || bytes == std::string(kSize, 'b') ||
                                     bytes == std::string(kSize, 'c'));
  };
  std::vector<pid_t> writers;
  for (char letter : {'b', 'c'}) {
    const pid_t child = ::fork();
    if (child == 0) {
      const std::string content(kSize, letter);
      // Until the reader has looked a while, so that its looks meet the writes however the two
      // are scheduled.
      for (int i = 0; i < 8 || !fs::exists(path("stop")); ++i) {
        platform::ReplacingFile f;
        if (!f.begin(path("t")) || !f.write(content.substr(0, kSize / 2)) ||
            !f.write(content.substr(kSize / 2)) || !f.commit())
          ::_exit(1);
      }
      ::_exit(0);
    }
    writers.push_back(child);
  }
  // The reader looks until both writers have ended.
  int torn = 0, looks = 0;
  for (size_t ended = 0; ended < writers.size(); ++looks) {
    if (looks == 40) writeFile(path("stop"), "");
    if (!whole(readFile(path("t")))) ++torn;
    for (pid_t& child : writers) {
      int status = 0;
      if (child == 0 || ::waitpid(child, &status, WNOHANG) != child) continue;
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      child = 0;
      ++ended;
    }
  }
  EXPECT_GT(looks, 40);
  EXPECT_EQ(torn, 0);
  fs::remove(path("stop"));
  EXPECT_TRUE(whole(readFile(path("t"))));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);
}

TEST_F(ReplacingFileFailureTest, TheReplacementKeepsTheTargetsPermissionsNarrowedToTheWritersOwn) {
  writeFile(path("private.adf"), "old");
  ::chmod(path("private.adf").c_str(), 0600);
  writeFile(path("shared.etf"), "old");
  ::chmod(path("shared.etf").c_str(), 0664);
  for (const auto& [name, mode, expected] : std::vector<std::tuple<std::string, unsigned, unsigned>>{
           {"private.adf", 0666, 0600}, {"shared.etf", 0600, 0600}, {"shared.etf", 0666, 0600}}) {
    platform::ReplacingFile f;
    ASSERT_TRUE(f.begin(path(name), mode));
    ASSERT_TRUE(f.write("new") && f.commit());
    struct stat st {};
    ASSERT_EQ(::stat(path(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, expected) << name << " " << mode;
  }
  writeFile(path("group.adf"), "old");
  ::chmod(path("group.adf").c_str(), 0664);
  platform::ReplacingFile f;
  ASSERT_TRUE(f.begin(path("group.adf")) && f.write("new") && f.commit());
  struct stat st {};
  ASSERT_EQ(::stat(path("group.adf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);
}

// The bytes a link led to were as open as the file it led to: the regular file that replaces the
// link is no more open than that file.
TEST_F(ReplacingFileFailureTest, ALinksReplacementIsNoMoreOpenThanTheFileItLedTo) {
  writeFile(path("secret.adf"), "old");
  ::chmod(path("secret.adf").c_str(), 0600);
  fs::create_symlink(path("secret.adf"), path("link.adf"));
  fs::create_symlink(path("missing.adf"), path("dangling.adf"));
  const mode_t mask = ::umask(0);
  ::umask(mask);
  for (const auto& [name, expected] :
       std::vector<std::pair<std::string, unsigned>>{{"link.adf", 0600}, {"dangling.adf", 0666 & ~mask}}) {
    platform::ReplacingFile f;
    ASSERT_TRUE(f.begin(path(name)) && f.write("new") && f.commit()) << name;
    struct stat st {};
    ASSERT_EQ(::lstat(path(name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
    EXPECT_EQ(st.st_mode & 0777, expected) << name;
  }
  EXPECT_EQ(readFile(path("secret.adf")), "old");
}

// A file of another user replaced by an administrator stays that user's, readable by them.
TEST_F(ReplacingFileFailureTest, AFileReplacedByAnAdministratorStaysItsOwners) {
  if (::geteuid() != 0) GTEST_SKIP() << "only an administrator may give a file away";
  writeFile(path("settings.ini"), "old");
  ASSERT_EQ(::chown(path("settings.ini").c_str(), 4321, 4322), 0);
  ::chmod(path("settings.ini").c_str(), 0600);
  platform::ReplacingFile f;
  ASSERT_TRUE(f.begin(path("settings.ini")) && f.write("new") && f.commit());
  struct stat st {};
  ASSERT_EQ(::stat(path("settings.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 4322u);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(readFile(path("settings.ini")), "new");
}

// A link at the target is replaced itself: the file it led to keeps its bytes. Names need not be
// UTF-8, and may be as long as the system allows.
TEST_F(ReplacingFileFailureTest, ALinkIsReplacedNeverWrittenThroughAndNamesAreBytes) {
  writeFile(path("dump.dmp"), "the dump");
  fs::create_symlink(path("dump.dmp"), path("link.hed"));
  const std::string odd = path("caf\xe9\xff.adf");
  const std::string longest = path(std::string(NAME_MAX - 4, 'd') + ".hed");
  for (const std::string& target : {path("link.hed"), odd, longest}) {
    platform::ReplacingFile f;
    ASSERT_TRUE(f.begin(target)) << target;
    ASSERT_TRUE(f.write("header") && f.commit()) << target;
    EXPECT_EQ(readFile(target), "header");
  }
  EXPECT_FALSE(fs::is_symlink(path("link.hed")));
  EXPECT_EQ(readFile(path("dump.dmp")), "the dump");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 4);
}

// What a writer finds beside its target that earlier writers left: their temporary files are
// removed once no writer holds them; a live writer's file, and files that only look like ours, stay.
class AbandonedTemporaryTest : public TempFolderTest {
 protected:
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.insert(entry.path().filename().string());
    return names;
  }
  // The one entry besides `target`.
  std::string otherThan(const std::string& target) const {
    std::set<std::string> names = entries();
    names.erase(target);
    EXPECT_EQ(names.size(), 1u);
    return names.empty() ? std::string() : *names.begin();
  }
  // Makes `p` seem long unwritten, links themselves not followed.
  static void backdate(const std::string& p) {
    timespec times[2];
    ::clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= 6 * platform::ReplacingFile::kAbandonedAfterSeconds;
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << p;
  }
  static bool replace(const std::string& target, const std::string& bytes) {
    platform::ReplacingFile f;
    return f.begin(target) && f.write(bytes) && f.commit();
  }
};

// A writer killed in its writes leaves its temporary file; the next writer of the target removes
// it once it has been left a while (a file just made may not be held yet), also where the target's
// name is as long as a name may be and the temporary name is cut.
TEST_F(AbandonedTemporaryTest, AWriterKilledMidWriteLeavesItsFileForALaterWriterToRemove) {
  for (const std::string& name : {std::string("t.adf"), std::string(NAME_MAX - 4, 'd') + ".hed"}) {
    SCOPED_TRACE(name.size());
    writeFile(path(name), "old");
    Child writer([&](int ready, int) {
      platform::ReplacingFile f;
      const std::string chunk(4096, 'n');
      if (!f.begin(path(name)) || !f.write(chunk)) return 1;
      if (::write(ready, "r", 1) != 1) return 2;
      for (;;)
        if (!f.write(chunk)) return 3;
    });
    ASSERT_TRUE(writer.waitReady());
    writer.kill();
    EXPECT_EQ(writer.wait(), 128 + SIGKILL);
    const std::string left = otherThan(name);
    EXPECT_NE(left.find(".tmp"), std::string::npos) << left;

    fs::last_write_time(path(left), fs::file_time_type::clock::now());
    platform::ReplacingFile early;
    ASSERT_TRUE(early.begin(path(name)));
    early.discard();
    EXPECT_TRUE(fs::exists(path(left))) << "a file just made was taken for abandoned";

    backdate(path(left));
    ASSERT_TRUE(replace(path(name), "new"));
    EXPECT_EQ(readFile(path(name)), "new");
    EXPECT_EQ(entries(), std::set<std::string>{name});
    fs::remove(path(name));
  }
}

// A writer in another process whose file seems long unwritten is held all the same: a second
// writer that begins meanwhile leaves it, both commit whole, and the last commit wins.
TEST_F(AbandonedTemporaryTest, ALiveWritersFileStaysWhileAnotherWriterBeginsAndBothCommitWhole) {
  writeFile(path("t"), "old");
  const std::string theirs(200000, 'c'), ours(150000, 'p');
  Child writer([&](int ready, int go) {
    platform::ReplacingFile f;
    if (!f.begin(path("t")) || !f.write(theirs.substr(0, theirs.size() / 2))) return 1;
    backdate(f.temporaryPath());
    char c = 0;
    if (::write(ready, "r", 1) != 1 || ::read(go, &c, 1) != 1) return 2;
    return f.write(theirs.substr(theirs.size() / 2)) && f.commit() ? 0 : 3;
  });
  ASSERT_TRUE(writer.waitReady());
  const std::string held = otherThan("t");
  platform::ReplacingFile f;
  ASSERT_TRUE(f.begin(path("t")));
  EXPECT_TRUE(fs::exists(path(held)));
  ASSERT_TRUE(f.write(ours) && f.commit());
  EXPECT_EQ(readFile(path("t")), ours);
  EXPECT_TRUE(fs::exists(path(held)));
  writer.go();
  EXPECT_EQ(writer.wait(), 0);
  EXPECT_EQ(readFile(path("t")), theirs);
  EXPECT_EQ(entries(), std::set<std::string>{"t"});
}

// The hold belongs to the writer's open, not to its process: a later writer of the same target in
// the same process, or in a child that inherited the writer's descriptor, leaves the file, and its
// look at the file (an open and a close of its own) does not let the writer's hold go.
TEST_F(AbandonedTemporaryTest, AWritersFileStaysForWritersOfItsOwnProcessAndOfItsChildren) {
  writeFile(path("t"), "old");
  platform::ReplacingFile first;
  ASSERT_TRUE(first.begin(path("t")) && first.write("first"));
  const std::string held = first.temporaryPath();
  backdate(held);
  {
    platform::ReplacingFile second;
    ASSERT_TRUE(second.begin(path("t")));
    EXPECT_TRUE(fs::exists(held)) << "a writer of the same process took the file for abandoned";
  }
  // The child holds the writer's open too, and looks after the look above has closed its own.
  Child child([&](int, int) {
    platform::ReplacingFile f;
    return f.begin(path("t")) ? 0 : 1;
  });
  EXPECT_EQ(child.wait(), 0);
  EXPECT_TRUE(fs::exists(held)) << "the file went once the same process had looked at it";
  ASSERT_TRUE(first.write("!") && first.commit());
  EXPECT_EQ(readFile(path("t")), "first!");
  EXPECT_EQ(entries(), std::set<std::string>{"t"});
}

// Only a regular file of exactly our temporary naming for this target goes: names that differ in
// any part, files of other targets, and a folder, a link, a FIFO or a file of two names stay, however
// long unwritten. A file of the naming beside them goes, so the look is not idle.
TEST_F(AbandonedTemporaryTest, AForeignFileOfALikeNameIsLeftAlone) {
  writeFile(path("t"), "old");
  const std::vector<std::string> foreign = {"t.tmp12",      "t.tmp12-3",    "t.tmp12-3-4.bak",
                                            "t.tmp012-3-4", "t.tmp12-03-4", "t.tmp12-3-65536",
                                            "t.tmp0-3-4",   "t.tmp-12-3-4", "t.tmp12-3-4-5",
                                            "t.tmp+12-3-4", "t.TMP12-3-4",  "t.tmp12-3-99999999999",
                                            "T.tmp12-3-4",  "tt.tmp12-3-4", "t.tmp12-3-4.tmp",
                                            "t.bak.tmp1-2", ".tmp12-3-4",   "xt.tmp12-3-4"};
  for (const std::string& name : foreign) writeFile(path(name), "theirs");
  fs::create_directory(path("t.tmp20-3-4"));
  writeFile(path("victim"), "kept");
  fs::create_symlink(path("victim"), path("t.tmp21-3-4"));
  fs::create_hard_link(path("victim"), path("t.tmp22-3-4"));
  ASSERT_EQ(::mkfifo(path("t.tmp23-3-4").c_str(), 0600), 0);
  writeFile(path("t.tmp24-3-4"), "abandoned");
  std::set<std::string> kept = entries();
  for (const std::string& name : kept) backdate(path(name));
  kept.erase("t.tmp24-3-4");

  ASSERT_TRUE(replace(path("t"), "new"));
  EXPECT_EQ(entries(), kept);
  EXPECT_EQ(readFile(path("victim")), "kept");
  for (const std::string& name : foreign) EXPECT_EQ(readFile(path(name)), "theirs") << name;
}

// A writer of many files removes, with one look at their folder, what killed writers of any of
// them left, names cut to fit among them, as each file's own writer would; the files of a writer
// of another target, of a live writer, one just made and names that only look like ours stay.
TEST_F(AbandonedTemporaryTest, OneLookRemovesWhatKilledWritersOfManyTargetsLeft) {
  const std::vector<std::string> targets = {"a.sql", "b c.sql", std::string(NAME_MAX - 4, 'd') + ".sql",
                                            std::string(NAME_MAX - 30, 'e') + ".sql"};
  auto killedWriterOf = [&](const std::string& name) {
    Child writer([&](int, int) -> int {
      platform::ReplacingFile f;
      ::_exit(f.begin(path(name)) ? 0 : 1);  // as if killed: the file stays, unheld
    });
    EXPECT_EQ(writer.wait(), 0) << name;
  };
  for (const std::string& name : targets) killedWriterOf(name);
  const std::set<std::string> abandoned = entries();
  ASSERT_EQ(abandoned.size(), targets.size());
  killedWriterOf("x.sql");
  writeFile(path("a.sql.tmp12-3"), "theirs");
  writeFile(path("a.sqx.tmp12-3-4"), "theirs");
  writeFile(path(std::string(NAME_MAX - 9, 'e') + ".tmp1-2-3"), "theirs");
  for (const std::string& name : entries()) backdate(path(name));
  platform::ReplacingFile live;
  ASSERT_TRUE(live.begin(path("a.sql"), 0666, platform::ReplacingFile::Leftovers::RemovedByCaller));
  backdate(live.temporaryPath());
  killedWriterOf("b c.sql");  // just now
  std::set<std::string> kept = entries();
  for (const std::string& name : abandoned) kept.erase(name);
  ASSERT_EQ(kept.size(), 6u);

  std::vector<std::string> paths;
  for (const std::string& name : targets) paths.push_back(path(name));
  platform::ReplacingFile::removeAbandoned(paths);
  EXPECT_EQ(entries(), kept);
  ASSERT_TRUE(live.write("live") && live.commit());
  EXPECT_EQ(readFile(path("a.sql")), "live");
}

using FileNamesTest = TempFolderTest;

TEST_F(FileNamesTest, RemovingAMissingFileSucceeds) {
  writeFile(path("r"), "x");
  int err = 0;
  EXPECT_TRUE(platform::fileExists(path("r")));
  EXPECT_TRUE(platform::removeFile(path("r"), err));
  EXPECT_FALSE(platform::fileExists(path("r")));
  EXPECT_TRUE(platform::removeFile(path("r"), err));
  EXPECT_FALSE(platform::removeFile(dir_.string(), err));
  EXPECT_NE(err, 0);
  EXPECT_FALSE(platform::errorText(ENOENT).empty());
}

}  // namespace
