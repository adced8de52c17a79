#include "platform/textfile.h"

#include "platform/plainfile.h"

#include <gtest/gtest.h>

#include "tests/platform/temp_folder.h"

namespace {

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

TEST(AppendLineToFileTest, CreatesTheFileThenAppendsOneLinePerCallAndRaisesAnIoErrorWhereItCannotOpen) {
  platform::testing::TempFolder dir;
  platform::AppendLineToFile("first", dir.path("x.sql"));
  platform::AppendLineToFile("second\r\n", dir.path("x.sql"));
  EXPECT_EQ(platform::testing::readFile(dir.path("x.sql")), "first\r\nsecond\r\n\r\n");
  EXPECT_THROW(platform::AppendLineToFile("x", dir.path("missing/x.sql")), platform::IoError);
  EXPECT_THROW(platform::AppendLineToFile("x", dir.path()), platform::IoError);
}

}  // namespace
