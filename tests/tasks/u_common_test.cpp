#include "tasks/u_common.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tasks {
namespace {

TEST(ParseYesNoTest, AcceptsOneLetterYOrNInEitherCase) {
  bool flag = false;
  EXPECT_TRUE(ParseYesNo("y", flag));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(ParseYesNo("N", flag));
  EXPECT_FALSE(flag);
  EXPECT_TRUE(ParseYesNo("Y", flag));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(ParseYesNo("n", flag));
  EXPECT_FALSE(flag);
}

TEST(ParseYesNoTest, RefusesAnythingElseAndLeavesTheFlag) {
  for (const char* text : {"yes", "", "1", "no", " y", "y ", "t", "\t"}) {
    bool flag = true;
    EXPECT_FALSE(ParseYesNo(text, flag)) << '"' << text << '"';
    EXPECT_TRUE(flag) << '"' << text << '"';
    flag = false;
    EXPECT_FALSE(ParseYesNo(text, flag)) << '"' << text << '"';
    EXPECT_FALSE(flag) << '"' << text << '"';
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
                      ScheduleCase{"000000", true, 0, 0, 0},     // midnight on Sundays
                      ScheduleCase{"592307", true, 59, 23, 7},   // the last minute of every day
                      ScheduleCase{"6002xx", false, 60, 2, 8},   // minute 60, day not a number
                      ScheduleCase{"ab2403", false, 60, 24, 3},  // minute not a number, hour 24
                      ScheduleCase{"001008", false, 0, 10, 8},   // day 8
                      ScheduleCase{"3002", false, -1, -1, -1},   // too short: nothing read
                      ScheduleCase{"0000", false, -1, -1, -1},   // a new task's text
                      ScheduleCase{"", false, -1, -1, -1},
                      ScheduleCase{"3002070", false, -1, -1, -1}  // too long
                      ));

TEST(GetSystemTempDirTest, NamesAnExistingFolder) {
  std::string dir = GetSystemTempDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_TRUE(std::filesystem::is_directory(dir)) << dir;
}

TEST(GetSystemTempDirTest, FallsBackWhenTmpdirNamesNoFolder) {
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

TEST(TextTablesTest, KindNamesAreTheViewsCaptionsInKindOrder) {
  ASSERT_EQ(KindName.size(), 25u);
  EXPECT_EQ(KindName[0], "Tablespaces");
  EXPECT_EQ(KindName[10], "Package bodies");
  EXPECT_EQ(KindName[16], "Rollback Segments");
  EXPECT_EQ(KindName[17], "Database_links_public");
  EXPECT_EQ(KindName[19], "Databaselink_inuser");
  EXPECT_EQ(KindName[22], "Rollback Segments ");  // the trailing blank keeps file names apart
  EXPECT_EQ(KindName[23], "Synonyms");
  EXPECT_EQ(KindName[24], "Triggers");
}

TEST(TextTablesTest, TipsKeepTheirWordingAndOrder) {
  ASSERT_EQ(Tips.size(), 9u);
  EXPECT_EQ(Tips[0], "Export dump files can only be read by Oracle utility,Import.");
  EXPECT_EQ(Tips[2], "There are three export modes: Full database,User and Table mode");
  EXPECT_EQ(Tips[3],
            "To Export tables owned by another user,you musthave the EXP_FULL_DATABASE role "
            "enabled.This role is granted to all DBAS.");
  EXPECT_EQ(Tips[8],
            "If you do not have the system privileges containedin the EXP_FULL_DATABASE roleyou "
            "can not export a table in another user's schema,even if you created a synonym for "
            "it.");
}

}  // namespace
}  // namespace tasks

namespace tasks {
namespace {

TEST(NormalizeLineBreaksTest, LoneLineFeedsGainACarriageReturn) {
  EXPECT_EQ(NormalizeLineBreaks("a\nb"), "a\r\nb");
  EXPECT_EQ(NormalizeLineBreaks("\n\n"), "\r\n\r\n");
}

TEST(NormalizeLineBreaksTest, CarriageReturnsStayAndAClosingOneGainsALineFeed) {
  EXPECT_EQ(NormalizeLineBreaks("a\rb"), "a\rb");
  EXPECT_EQ(NormalizeLineBreaks("a\r\nb"), "a\r\nb");
  EXPECT_EQ(NormalizeLineBreaks("a\r"), "a\r\n");
  EXPECT_EQ(NormalizeLineBreaks(""), "");
}

class AppendLineToFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("velmaron-tasks-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static std::string contents(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path dir_;
};

TEST_F(AppendLineToFileTest, CreatesTheFileAndEndsEachLineWithCrLf) {
  std::string file = (dir_ / "SCOTT_EMP.sql").string();
  AppendLineToFile("create table emp", file);
  AppendLineToFile("", file);
  AppendLineToFile("x", file);
  EXPECT_EQ(contents(file), "create table emp\r\n\r\nx\r\n");
}

TEST_F(AppendLineToFileTest, AFileThatCannotBeOpenedRaises) {
  std::string file = (dir_ / "missing" / "f.sql").string();
  EXPECT_THROW(AppendLineToFile("x", file), std::exception);
}

}  // namespace
}  // namespace tasks
