#include "platform/textfile.h"

#include "platform/plainfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

namespace fs = std::filesystem;
using platform::NormalizeLineBreaks;

// Lone line feeds become CR LF; a lone carriage return is completed only at the very end.
TEST(NormalizeLineBreaksTest, LoneLineFeedsAndAFinalCarriageReturnBecomeCarriageReturnLineFeed) {
  EXPECT_EQ(NormalizeLineBreaks("a\nb\n"), "a\r\nb\r\n");
  EXPECT_EQ(NormalizeLineBreaks("\n\n"), "\r\n\r\n");
  EXPECT_EQ(NormalizeLineBreaks("a\r\nb"), "a\r\nb");
  EXPECT_EQ(NormalizeLineBreaks("a\rb"), "a\rb");
  EXPECT_EQ(NormalizeLineBreaks("a\r"), "a\r\n");
  EXPECT_EQ(NormalizeLineBreaks("\r"), "\r\n");
  EXPECT_EQ(NormalizeLineBreaks("a\r\r\n"), "a\r\r\n");
  EXPECT_EQ(NormalizeLineBreaks(""), "");
}

TEST(NormalizeLineBreaksTest, OtherBytesPassUnchanged) {
  std::string all;
  for (int c = 0; c < 256; ++c)
    if (c != '\n' && c != '\r') all += char(c);
  EXPECT_EQ(NormalizeLineBreaks(all), all);
}

class AppendLineToFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() /
        ("velmaron-textfile-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  fs::path dir_;
};

TEST_F(AppendLineToFileTest, CreatesTheFileThenAppendsOneLinePerCallAndRaisesAnIoErrorWhereItCannotOpen) {
  const std::string file = (dir_ / "x.sql").string();
  platform::AppendLineToFile("first", file);
  platform::AppendLineToFile("second\r\n", file);
  EXPECT_EQ(read(file), "first\r\nsecond\r\n\r\n");
  EXPECT_THROW(platform::AppendLineToFile("x", (dir_ / "missing" / "x.sql").string()), platform::IoError);
  EXPECT_THROW(platform::AppendLineToFile("x", dir_.string()), platform::IoError);
}

}  // namespace
