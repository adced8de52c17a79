#include "platform/privatefile.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "tests/platform/temp_folder.h"

namespace {

using platform::makePrivateFolder;
using platform::writePrivateFile;

class PrivateFileTest : public ::testing::Test {
 protected:
  static std::string read(const std::string& path) { return platform::testing::readFile(path); }
  static mode_t modeOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
  }

  platform::testing::TempFolder temp_;
  const std::string folder_ = temp_.path();
};

TEST_F(PrivateFileTest, FileHoldsTheContentWithMode0600WhateverTheUmaskReplacingAnExistingOne) {
  std::ofstream(folder_ + "/12.par") << "an older and much longer content\n";
  ::chmod((folder_ + "/12.par").c_str(), 0644);
  mode_t old = ::umask(0);
  writePrivateFile(folder_, "12.par", std::string("userid=a/b@c\r\n\r\nx", 18));
  ::umask(old);
  EXPECT_EQ(read(folder_ + "/12.par"), std::string("userid=a/b@c\r\n\r\nx", 18));
  EXPECT_EQ(modeOf(folder_ + "/12.par") & 07777, 0600u);
}

TEST_F(PrivateFileTest, ASymbolicLinkOfThatNameIsRemovedAndItsTargetLeftAlone) {
  std::string target = folder_ + "/target";
  std::ofstream(target) << "keep me";
  ASSERT_EQ(::symlink(target.c_str(), (folder_ + "/12.par").c_str()), 0);
  writePrivateFile(folder_, "12.par", "secret\n");
  EXPECT_EQ(read(target), "keep me");
  EXPECT_TRUE(S_ISREG(modeOf(folder_ + "/12.par")));
  EXPECT_EQ(read(folder_ + "/12.par"), "secret\n");
}

TEST_F(PrivateFileTest, AFolderOthersMayWriteIsRefusedAndNothingIsWritten) {
  ::chmod(folder_.c_str(), 0777);
  try {
    writePrivateFile(folder_, "12.par", "secret\n");
    FAIL() << "wrote into a folder that others may write";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(folder_), std::string::npos) << e.what();
  }
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/12.par"));
  ::chmod(folder_.c_str(), 0720);
  EXPECT_THROW(writePrivateFile(folder_, "12.par", "secret\n"), std::runtime_error);
}

TEST_F(PrivateFileTest, AMissingFolderIsASystemErrorAndANameWithAFolderPartIsRefused) {
  EXPECT_THROW(writePrivateFile(folder_ + "/missing", "12.par", "x"), std::system_error);
  std::filesystem::create_directory(folder_ + "/sub");
  EXPECT_THROW(writePrivateFile(folder_, "sub/12.par", "x"), std::runtime_error);
  EXPECT_THROW(writePrivateFile(folder_, "..", "x"), std::runtime_error);
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/sub/12.par"));
}

TEST_F(PrivateFileTest, MakePrivateFolderCreatesAFolderForItsUserOnlyAndRefusesASharedOne) {
  std::string work = folder_ + "/work";
  makePrivateFolder(work);
  EXPECT_EQ(modeOf(work) & 07777, 0700u);
  makePrivateFolder(work);  // an existing private folder is fine
  writePrivateFile(work, "1.par", "x");
  EXPECT_EQ(read(work + "/1.par"), "x");
  ::chmod(work.c_str(), 0777);
  EXPECT_THROW(makePrivateFolder(work), std::runtime_error);
}

}  // namespace
