#include "platform/plainfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

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
