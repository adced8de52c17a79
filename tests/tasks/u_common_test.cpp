#include "tasks/u_common.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace tasks {
namespace {

TEST(ParseYesNoTest, AcceptsOneLetterYOrNInEitherCaseAndLeavesTheFlagOtherwise) {
  for (const char* text : {"y", "Y", "n", "N"}) {
    bool flag = text[0] == 'n' || text[0] == 'N';
    EXPECT_TRUE(ParseYesNo(text, flag)) << text;
    EXPECT_EQ(flag, text[0] == 'y' || text[0] == 'Y') << text;
  }
  for (const char* text : {"yes", "", "1", "no", " y", "y ", "t", "\t"}) {
    for (bool before : {true, false}) {
      bool flag = before;
      EXPECT_FALSE(ParseYesNo(text, flag)) << '"' << text << '"';
      EXPECT_EQ(flag, before) << '"' << text << '"';
    }
  }
}

struct ScheduleCase {
  const char* text;
  bool ok;
  int minute, hour, day;
};

class ParseScheduleTimeTest : public ::testing::TestWithParam<ScheduleCase> {};

TEST_P(ParseScheduleTimeTest, ReadsMinuteHourAndDay) {
  const ScheduleCase& c = GetParam();
  int minute = -1, hour = -1, day = -1;
  EXPECT_EQ(ParseScheduleTime(c.text, minute, hour, day), c.ok);
  EXPECT_EQ(minute, c.minute);
  EXPECT_EQ(hour, c.hour);
  EXPECT_EQ(day, c.day);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseScheduleTimeTest,
    ::testing::Values(ScheduleCase{"300207", true, 30, 2, 7},    // 02:30 every day
                      ScheduleCase{"150906", true, 15, 9, 6},    // 09:15 on Saturdays
                      ScheduleCase{"592307", true, 59, 23, 7},   // the last minute of every day
                      ScheduleCase{"6002xx", false, 60, 2, 8},   // minute 60, day not a number
                      ScheduleCase{"ab2403", false, 60, 24, 3},  // minute not a number, hour 24
                      ScheduleCase{"001008", false, 0, 10, 8},   // day 8
                      ScheduleCase{"0000", false, -1, -1, -1},   // a new task's text: nothing read
                      ScheduleCase{"3002070", false, -1, -1, -1}));

TEST(GetSystemTempDirTest, NamesAnExistingFolderAndFallsBackWhenTmpdirNamesNone) {
  EXPECT_TRUE(std::filesystem::is_directory(GetSystemTempDir())) << GetSystemTempDir();
  const char* old = std::getenv("TMPDIR");
  std::string saved = old != nullptr ? old : "";
  ::setenv("TMPDIR", "/nonexistent/velmaron-no-such-folder", 1);
  std::string dir = GetSystemTempDir();
  if (old != nullptr) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  EXPECT_EQ(dir, "/tmp");
}

}  // namespace
}  // namespace tasks
