#include "tasks/u_task1.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tasks/expparse.h"
#include "tasks/impparse.h"

namespace tasks {
namespace {

using ::testing::ElementsAre;
using Params = std::vector<std::string>;

// ---- A new task ----

TEST(NewTaskTest, KindsCarryTheirTaskType) {
  TExpTask exp(nullptr);
  TImpTask imp(nullptr);
  EXPECT_EQ(exp.tasktype(), TTaskType::Export);
  EXPECT_EQ(imp.tasktype(), TTaskType::Import);
}

TEST(NewTaskTest, StartsIdleWithScriptsOnAndTheLoopbackFtpServer) {
  TExpTask task(nullptr);
  EXPECT_EQ(task.state(), TTaskState::Idle);
  EXPECT_EQ(task.stage(), kStageNone);
  EXPECT_FALSE(task.terminated());
  EXPECT_TRUE(task.ispreexec());
  EXPECT_TRUE(task.ispostexec());
  EXPECT_EQ(task.ftpserver(), "127.0.0.1");
  EXPECT_TRUE(task.name().empty());
  EXPECT_TRUE(task.command().empty());
}

TEST(NewTaskTest, HoldsNoParametersUntilTheFirstBuild) {
  TExpTask exp(nullptr);
  TImpTask imp(nullptr);
  EXPECT_TRUE(exp.params().empty());
  EXPECT_TRUE(exp.command().empty());
  EXPECT_TRUE(imp.params().empty());
  EXPECT_EQ(exp.options(), kExpDefaults);
  EXPECT_EQ(imp.options(), kImpDefaults);
}

TEST(NewTaskTest, DefaultsAreThoseOfThePrograms) {
  const TExpOptions& e = kExpDefaults;
  EXPECT_EQ(e.buffer, 0);
  EXPECT_TRUE(e.compress);
  EXPECT_FALSE(e.consistent);
  EXPECT_TRUE(e.constraints);
  EXPECT_FALSE(e.direct);
  EXPECT_FALSE(e.full);
  EXPECT_TRUE(e.grants);
  EXPECT_EQ(e.inctype, TExpIncType::None);
  EXPECT_TRUE(e.indexes);
  EXPECT_TRUE(e.record);
  EXPECT_TRUE(e.rows);
  EXPECT_EQ(e.statistics, TExpStatistics::Estimate);
  const TImpOptions& i = kImpDefaults;
  EXPECT_TRUE(i.analyze);
  EXPECT_FALSE(i.commit);
  EXPECT_FALSE(i.destroy);
  EXPECT_TRUE(i.grants);
  EXPECT_FALSE(i.ignore);
  EXPECT_EQ(i.inctype, TImpIncType::None);
  EXPECT_TRUE(i.indexes);
  EXPECT_TRUE(i.rows);
  EXPECT_FALSE(i.show);
  EXPECT_FALSE(i.skip_unusable_indexes);
}

// ---- BuildCommand ----

class ExpBuildTest : public ::testing::Test {
 protected:
  TExpTask task{nullptr};
};

TEST_F(ExpBuildTest, FileAloneLeavesTheOwnerAndTablesEntriesEmpty) {
  task.SetFile("d:\\x.dmp");
  EXPECT_THAT(task.params(), ElementsAre("file=d:\\x.dmp", "", ""));
  EXPECT_EQ(task.command(), " file=d:\\x.dmp  ");
}

TEST_F(ExpBuildTest, FullWithoutIncTypeGivesFullAndTheTwoEmptyEntries) {
  task.SetFull(true);
  EXPECT_THAT(task.params(), ElementsAre("full=y", "", ""));
  EXPECT_EQ(task.command(), " full=y  ");
}

TEST_F(ExpBuildTest, IncrementalWithoutRecordFollowsFull) {
  task.SetFull(true);
  task.SetIncType(TExpIncType::Incremental);
  task.SetRecord(false);
  EXPECT_THAT(task.params(), ElementsAre("full=y", "inctype=Incremental", "record=n", "", ""));
}

TEST_F(ExpBuildTest, IncTypeSpellingsAndRecordOnlyAfterCumulativeOrIncremental) {
  task.SetFull(true);
  task.SetRecord(false);
  task.SetIncType(TExpIncType::Complete);
  EXPECT_THAT(task.params(), ElementsAre("full=y", "inctype=complete", "", ""));
  task.SetIncType(TExpIncType::Cumulative);
  EXPECT_THAT(task.params(), ElementsAre("full=y", "inctype=cumulative", "record=n", "", ""));
  task.SetRecord(true);
  EXPECT_THAT(task.params(), ElementsAre("full=y", "inctype=cumulative", "", ""));
}

TEST_F(ExpBuildTest, IncTypeAndRecordAppearOnlyInFullMode) {
  task.SetIncType(TExpIncType::Incremental);
  task.SetRecord(false);
  task.SetOwner("SCOTT");
  EXPECT_THAT(task.params(), ElementsAre("owner=SCOTT", ""));
}

TEST_F(ExpBuildTest, OwnerModeAndTableMode) {
  task.SetFile("a.dmp");
  task.SetOwner("SCOTT,HR");
  EXPECT_THAT(task.params(), ElementsAre("file=a.dmp", "owner=SCOTT,HR", ""));
  task.SetTables("SCOTT.EMP");
  EXPECT_THAT(task.params(), ElementsAre("file=a.dmp", "", "tables=SCOTT.EMP"));
}

TEST_F(ExpBuildTest, EveryOptionAwayFromItsDefaultInOrderAndSpelling) {
  task.SetFull(true);
  task.SetIncType(TExpIncType::Cumulative);
  task.SetRecord(false);
  task.SetFile("f.dmp");
  task.SetBuffer(4096);
  task.SetCompress(false);
  task.SetConsistent(true);
  task.SetConstraints(false);
  task.SetDirect(true);
  task.SetGrants(false);
  task.SetHelp(true);
  task.SetIndexes(false);
  task.SetLog("x.log");
  task.SetRecordLength(65535);
  task.SetRows(false);
  task.SetStatistics(TExpStatistics::None);
  task.SetFeedback(100);
  task.SetUserId("system/manager");
  EXPECT_THAT(task.params(),
              ElementsAre("full=y", "inctype=cumulative", "record=n", "file=f.dmp", "", "", "buffer=4096",
                          "compress=n", "consistent=y", "constraints=n", "direct=y", "grants=n", "help=y",
                          "indexes=n", "log=x.log", "Recordlength=65535", "rows=n", "statistics=None"));
  EXPECT_EQ(task.command(),
            " full=y inctype=cumulative record=n file=f.dmp   buffer=4096 compress=n "
            "consistent=y constraints=n direct=y grants=n help=y indexes=n log=x.log "
            "Recordlength=65535 rows=n statistics=None");
}

TEST_F(ExpBuildTest, FlagsAtTheirDefaultAreLeftOut) {
  task.SetCompress(false);
  EXPECT_THAT(task.params(), ElementsAre("", "", "compress=n"));
  task.SetCompress(true);
  EXPECT_THAT(task.params(), ElementsAre("", ""));
}

TEST_F(ExpBuildTest, FlagsOnTheOtherSideOfTheirDefault) {
  task.SetConsistent(false);
  task.SetConstraints(true);
  task.SetDirect(false);
  EXPECT_THAT(task.params(), ElementsAre("", ""));
  task.SetStatistics(TExpStatistics::Compute);
  EXPECT_THAT(task.params(), ElementsAre("", "", "statistics=compute"));
  task.SetStatistics(TExpStatistics::Estimate);
  EXPECT_THAT(task.params(), ElementsAre("", ""));
}

TEST_F(ExpBuildTest, FeedbackAndUserIdAreNeverEmitted) {
  task.SetFeedback(10);
  task.SetUserId("scott/tiger@orcl");
  EXPECT_THAT(task.params(), ElementsAre("", ""));
}

TEST_F(ExpBuildTest, OnlyTheFirstFileIsPassed) {
  ParseFailure failure;
  TExpOptions o;
  ASSERT_TRUE(SetExpOption(TParamKeyword::File, "a.dmp", o));
  ASSERT_TRUE(SetExpOption(TParamKeyword::File, "b.dmp", o));
  EXPECT_THAT(BuildExpParams(o), ElementsAre("file=a.dmp", "", ""));
}

class ImpBuildTest : public ::testing::Test {
 protected:
  TImpTask task{nullptr};
};

TEST_F(ImpBuildTest, AnySetterLeavesTheThreeListEntries) {
  task.SetIgnore(true);
  EXPECT_THAT(task.params(), ElementsAre("", "", "", "ignore=y"));
  EXPECT_EQ(task.command(), "    ignore=y");
}

TEST_F(ImpBuildTest, FullWithIncTypeSpellings) {
  task.SetFull(true);
  task.SetIncType(TImpIncType::System);
  EXPECT_THAT(task.params(), ElementsAre("full=y", "inctype=System", "", "", ""));
  task.SetIncType(TImpIncType::Restore);
  EXPECT_THAT(task.params(), ElementsAre("full=y", "inctype=Restore", "", "", ""));
  task.SetIncType(TImpIncType::None);
  EXPECT_THAT(task.params(), ElementsAre("full=y", "", "", ""));
}

TEST_F(ImpBuildTest, FromUserToUserTablesInThisOrder) {
  task.SetFile("in.dmp");
  task.SetTables("EMP,DEPT");
  task.SetToUser("HR");
  task.SetFromUser("SCOTT");
  EXPECT_THAT(task.params(), ElementsAre("file=in.dmp", "fromuser=SCOTT", "touser=HR", "tables=EMP,DEPT"));
}

TEST_F(ImpBuildTest, EveryOptionAwayFromItsDefaultInOrderAndSpelling) {
  task.SetFull(true);
  task.SetIncType(TImpIncType::Restore);
  task.SetFile("f.dmp");
  task.SetToUser("B");
  task.SetAnalyze(false);
  task.SetBuffer(100);
  task.SetCharset("WE8ISO8859P1");
  task.SetCommit(true);
  task.SetDestroy(true);
  task.SetGrants(false);
  task.SetHelp(true);
  task.SetIgnore(true);
  task.SetIndexes(false);
  task.SetIndexFile("idx.sql");
  task.SetLog("imp.log");
  task.SetRecordLength(8192);
  task.SetRows(false);
  task.SetShow(true);
  task.SetSkipUnusableIndexes(true);
  task.SetFeedback(5);
  task.SetUserId("u/p");
  EXPECT_THAT(task.params(),
              ElementsAre("full=y", "inctype=Restore", "file=f.dmp", "", "touser=B", "", "analyze=n",
                          "buffer=100", "Charset=WE8ISO8859P1", "commit=y", "Destroy=y", "grants=n", "help=y",
                          "ignore=y", "indexes=n", "Indexfile=idx.sql", "log=imp.log", "Recordlength=8192",
                          "rows=n", "show=y", "skip_unusable_indexes=y"));
}

// ---- Counts ----

TEST(CountSetterTest, ANegativeCountIsRefusedAndTheTaskKept) {
  TExpTask exp(nullptr);
  exp.SetBuffer(4096);
  const TExpOptions before = exp.options();
  const std::string commandBefore = exp.command();
  EXPECT_THROW(exp.SetBuffer(-5), std::invalid_argument);
  EXPECT_THROW(exp.SetRecordLength(-1), std::invalid_argument);
  EXPECT_THROW(exp.SetFeedback(-1), std::invalid_argument);
  EXPECT_EQ(exp.options(), before);
  EXPECT_EQ(exp.command(), commandBefore);
  TImpTask imp(nullptr);
  EXPECT_THROW(imp.SetBuffer(-5), std::invalid_argument);
  EXPECT_THROW(imp.SetRecordLength(-1), std::invalid_argument);
  EXPECT_THROW(imp.SetFeedback(-1), std::invalid_argument);
  EXPECT_EQ(imp.options(), kImpDefaults);
  // 0 is the default, which leaves the parameter out.
  exp.SetBuffer(0);
  EXPECT_THAT(exp.params(), ElementsAre("", ""));
  TExpOptions o;
  o.recordlength = -3;
  EXPECT_EQ(ExpParamsProblem(o), "The value of recordlength is negative");
  EXPECT_THROW(BuildExpParams(o), std::invalid_argument);
}

// ---- Setters that clear each other ----

TEST(ExpSetterTest, FullEmptiesOwnerAndTablesOnlyWhenSet) {
  TExpTask task(nullptr);
  task.SetOwner("A");
  task.SetFull(false);
  EXPECT_EQ(task.options().owner, "A");
  task.SetFull(true);
  EXPECT_TRUE(task.options().full);
  EXPECT_TRUE(task.options().owner.empty());
  EXPECT_TRUE(task.options().tables.empty());
}

TEST(ExpSetterTest, OwnerAndTablesClearFullAndEachOther) {
  TExpTask task(nullptr);
  task.SetFull(true);
  task.SetOwner("A");
  EXPECT_FALSE(task.options().full);
  task.SetTables("A.T");
  EXPECT_TRUE(task.options().owner.empty());
  EXPECT_EQ(task.options().tables, "A.T");
  task.SetOwner("B");
  EXPECT_TRUE(task.options().tables.empty());
}

TEST(ExpSetterTest, EmptyListsClearNothing) {
  TExpTask task(nullptr);
  task.SetFull(true);
  task.SetOwner("");
  task.SetTables("");
  EXPECT_TRUE(task.options().full);
  task.SetFull(false);
  task.SetOwner("A");
  task.SetTables("");
  EXPECT_EQ(task.options().owner, "A");
}

TEST(ExpSetterTest, FileReplacesTheList) {
  TExpTask task(nullptr);
  task.SetFile("a");
  task.SetFile("b");
  EXPECT_THAT(task.options().files, ElementsAre("b"));
}

TEST(ImpSetterTest, FullEmptiesFromUserAndTablesEitherWayButKeepsToUser) {
  TImpTask task(nullptr);
  task.SetFromUser("A");
  task.SetTables("T");
  task.SetToUser("B");
  task.SetFull(false);
  EXPECT_TRUE(task.options().fromuser.empty());
  EXPECT_TRUE(task.options().tables.empty());
  EXPECT_EQ(task.options().touser, "B");
  task.SetFull(true);
  EXPECT_TRUE(task.options().full);
}

TEST(ImpSetterTest, FromUserAndTablesClearFullButNotEachOther) {
  TImpTask task(nullptr);
  task.SetFull(true);
  task.SetFromUser("A");
  EXPECT_FALSE(task.options().full);
  task.SetTables("T");
  EXPECT_EQ(task.options().fromuser, "A");
  task.SetFull(true);
  task.SetToUser("B");
  EXPECT_TRUE(task.options().full);
  task.SetTables("");
  EXPECT_TRUE(task.options().full);
}

// ---- Applying parsed keywords ----

TEST(SetExpOptionTest, FlagsTakeOneYOrN) {
  TExpOptions o;
  EXPECT_TRUE(SetExpOption(TParamKeyword::Rows, "n", o));
  EXPECT_FALSE(o.rows);
  EXPECT_FALSE(SetExpOption(TParamKeyword::Rows, "yes", o));
  EXPECT_FALSE(SetExpOption(TParamKeyword::Compress, "", o));
  EXPECT_FALSE(SetExpOption(TParamKeyword::Direct, "1", o));
  EXPECT_FALSE(o.rows);
}

TEST(SetExpOptionTest, CountsMustBeNumbersAboveZero) {
  TExpOptions o;
  EXPECT_TRUE(SetExpOption(TParamKeyword::Buffer, "4096", o));
  EXPECT_EQ(o.buffer, 4096);
  EXPECT_FALSE(SetExpOption(TParamKeyword::Buffer, "0", o));
  EXPECT_FALSE(SetExpOption(TParamKeyword::Buffer, "abc", o));
  EXPECT_FALSE(SetExpOption(TParamKeyword::Buffer, "-5", o));
  EXPECT_FALSE(SetExpOption(TParamKeyword::RecordLength, "99999999999", o));
  EXPECT_EQ(o.buffer, 4096);
  EXPECT_TRUE(SetExpOption(TParamKeyword::Feedback, "10", o));
  EXPECT_EQ(o.feedback, 10);
  EXPECT_FALSE(SetExpOption(TParamKeyword::Feedback, "0", o));
}

TEST(SetExpOptionTest, IncTypeInAnyCaseAlsoSetsFull) {
  TExpOptions o;
  EXPECT_TRUE(SetExpOption(TParamKeyword::IncType, "incremental", o));
  EXPECT_EQ(o.inctype, TExpIncType::Incremental);
  EXPECT_TRUE(o.full);
  EXPECT_TRUE(SetExpOption(TParamKeyword::IncType, "Cumulative", o));
  EXPECT_TRUE(SetExpOption(TParamKeyword::IncType, "COMPLETE", o));
  EXPECT_EQ(o.inctype, TExpIncType::Complete);
  TExpOptions fresh;
  EXPECT_FALSE(SetExpOption(TParamKeyword::IncType, "none", fresh));
  EXPECT_FALSE(SetExpOption(TParamKeyword::IncType, "SYSTEM", fresh));
  EXPECT_FALSE(fresh.full);
}

TEST(SetExpOptionTest, Statistics) {
  TExpOptions o;
  EXPECT_TRUE(SetExpOption(TParamKeyword::Statistics, "compute", o));
  EXPECT_EQ(o.statistics, TExpStatistics::Compute);
  EXPECT_TRUE(SetExpOption(TParamKeyword::Statistics, "None", o));
  EXPECT_EQ(o.statistics, TExpStatistics::None);
  EXPECT_TRUE(SetExpOption(TParamKeyword::Statistics, "ESTIMATE", o));
  EXPECT_EQ(o.statistics, TExpStatistics::Estimate);
  EXPECT_FALSE(SetExpOption(TParamKeyword::Statistics, "all", o));
}

TEST(SetExpOptionTest, ListsAppendClearFullAndKeepEachOther) {
  TExpOptions o;
  o.full = true;
  EXPECT_TRUE(SetExpOption(TParamKeyword::Owner, "a", o));
  EXPECT_TRUE(SetExpOption(TParamKeyword::Owner, "b", o));
  EXPECT_TRUE(SetExpOption(TParamKeyword::Tables, "t", o));
  EXPECT_EQ(o.owner, "a,b");
  EXPECT_EQ(o.tables, "t");
  EXPECT_FALSE(o.full);
}

TEST(SetExpOptionTest, IgnoredKeywordsAreAcceptedAndChangeNothing) {
  TExpOptions o;
  EXPECT_TRUE(SetExpOption(TParamKeyword::ParFile, "p.par", o));
  EXPECT_TRUE(SetExpOption(TParamKeyword::PointInTimeRecover, "y", o));
  EXPECT_TRUE(SetExpOption(TParamKeyword::RecoveryTablespaces, "ts", o));
  EXPECT_EQ(o, kExpDefaults);
}

TEST(SetExpOptionTest, ImportKeywordsAreRefused) {
  TExpOptions o;
  for (TParamKeyword k :
       {TParamKeyword::Analyze, TParamKeyword::Charset, TParamKeyword::Commit, TParamKeyword::Destroy,
        TParamKeyword::FromUser, TParamKeyword::Ignore, TParamKeyword::IndexFile, TParamKeyword::Show,
        TParamKeyword::SkipUnusableIndexes, TParamKeyword::ToUser}) {
    EXPECT_FALSE(SetExpOption(k, "y", o)) << static_cast<int>(k);
  }
  EXPECT_EQ(o, kExpDefaults);
}

TEST(SetImpOptionTest, TextsListsAndIncType) {
  TImpOptions o;
  EXPECT_TRUE(SetImpOption(TParamKeyword::FromUser, "a", o));
  EXPECT_TRUE(SetImpOption(TParamKeyword::FromUser, "b", o));
  EXPECT_TRUE(SetImpOption(TParamKeyword::ToUser, "c", o));
  EXPECT_TRUE(SetImpOption(TParamKeyword::Charset, "UTF8", o));
  EXPECT_TRUE(SetImpOption(TParamKeyword::IndexFile, "i.sql", o));
  EXPECT_EQ(o.fromuser, "a,b");
  EXPECT_EQ(o.touser, "c");
  EXPECT_EQ(o.charset, "UTF8");
  EXPECT_EQ(o.indexfile, "i.sql");
  EXPECT_TRUE(SetImpOption(TParamKeyword::IncType, "restore", o));
  EXPECT_TRUE(o.full);
  EXPECT_EQ(o.inctype, TImpIncType::Restore);
  EXPECT_FALSE(SetImpOption(TParamKeyword::IncType, "COMPLETE", o));
  EXPECT_FALSE(SetImpOption(TParamKeyword::IncType, "NONE", o));
}

TEST(SetImpOptionTest, ToUserLeavesFullAlone) {
  TImpOptions o;
  o.full = true;
  EXPECT_TRUE(SetImpOption(TParamKeyword::ToUser, "x", o));
  EXPECT_TRUE(o.full);
  EXPECT_TRUE(SetImpOption(TParamKeyword::Tables, "t", o));
  EXPECT_FALSE(o.full);
}

TEST(SetImpOptionTest, FeedbackIsAcceptedAndIgnored) {
  TImpOptions o;
  EXPECT_TRUE(SetImpOption(TParamKeyword::Feedback, "0", o));
  EXPECT_TRUE(SetImpOption(TParamKeyword::Feedback, "whatever", o));
  EXPECT_EQ(o, kImpDefaults);
}

TEST(SetImpOptionTest, ExportKeywordsAreRefused) {
  TImpOptions o;
  for (TParamKeyword k : {TParamKeyword::Compress, TParamKeyword::Consistent, TParamKeyword::Constraints,
                          TParamKeyword::Direct, TParamKeyword::Owner, TParamKeyword::Record,
                          TParamKeyword::RecoveryTablespaces, TParamKeyword::Statistics}) {
    EXPECT_FALSE(SetImpOption(k, "y", o)) << static_cast<int>(k);
  }
  EXPECT_EQ(o, kImpDefaults);
}

// ---- Values that read back only in quotes ----

// Parses `text` into a fresh export task, then parses the command the task built from it: the
// stored command must give the same options and the same command again.
TExpTask& reloadExp(TExpTask& task, std::string_view text) {
  task.SetCommand(std::string(text));
  EXPECT_TRUE(task.ParseCommand()) << text << " at " << task.errorpos() << ": " << task.errortext();
  const TExpOptions first = task.options();
  const std::string built = task.command();
  EXPECT_TRUE(task.ParseCommand()) << built << " at " << task.errorpos() << ": " << task.errortext();
  EXPECT_EQ(task.options(), first) << built;
  EXPECT_EQ(task.command(), built);
  return task;
}

TEST(QuotedValueTest, AQuotedListWithABlankAndACommaIsWrittenInQuotesAndReloadsTheSame) {
  TExpTask task(nullptr);
  reloadExp(task, "tables='a, b'");
  EXPECT_EQ(task.options().tables, "a, b");
  EXPECT_THAT(task.params(), ElementsAre("", "tables='a, b'"));
  EXPECT_EQ(task.command(), "  tables='a, b'");

  TImpTask imp(nullptr);
  imp.SetCommand("fromuser='x y' touser=(hr,'my, user') file='/d/My Dumps/in.dmp'");
  ASSERT_TRUE(imp.ParseCommand()) << imp.errortext();
  EXPECT_THAT(imp.params(),
              ElementsAre("file='/d/My Dumps/in.dmp'", "fromuser='x y'", "touser='hr,my, user'", ""));
  const TImpOptions first = imp.options();
  ASSERT_TRUE(imp.ParseCommand()) << imp.errortext();
  EXPECT_EQ(imp.options(), first);
}

TEST(QuotedValueTest, EverythingTheScannerWouldSplitOrChangeIsQuoted) {
  struct Case {
    std::string value;
    std::string entry;
  };
  const std::vector<Case> cases = {
      {"a b", "log='a b'"},
      {"a,b", "log='a,b'"},
      {"a=b", "log='a=b'"},
      {"(a)", "log='(a)'"},
      {"x)", "log='x)'"},
      {"it's", R"(log='it\'s')"},
      {R"(c:\it\'s)", R"(log='c:\it\\'s')"},
      {"99999999999", "log='99999999999'"},  // too large for a number token
  };
  for (const Case& c : cases) {
    TExpTask task(nullptr);
    task.SetLog(c.value);
    EXPECT_THAT(task.params(), ElementsAre("", "", c.entry));
    TExpOptions back;
    ParseFailure failure;
    ASSERT_EQ(ExpParse(task.command(), back, failure), 0) << task.command() << ": " << failure.errortext;
    EXPECT_EQ(back.log, c.value);
  }
  // A file is always written, so an empty one is written as an empty quoted value.
  TExpTask task(nullptr);
  task.SetFile("");
  EXPECT_THAT(task.params(), ElementsAre("file=''", "", ""));
  reloadExp(task, task.command());
  EXPECT_THAT(task.options().files, ElementsAre(""));
}

TEST(QuotedValueTest, ValuesThatReadBackAsTheyStandAreWrittenAsBefore) {
  TExpTask task(nullptr);
  task.SetFile("c:\\dumps\\");  // a trailing backslash is harmless without quotes
  task.SetTables("SCOTT.EMP,\"Dept\",007");
  task.SetLog("a\tb");  // tab is a word character of the scanner
  EXPECT_THAT(task.params(),
              ElementsAre("file=c:\\dumps\\", "", "tables=SCOTT.EMP,\"Dept\",007", "log=a\tb"));
  reloadExp(task, task.command());
}

TEST(QuotedValueTest, ANameListIsQuotedWholeOrNameByNameWhenTooLongForOneQuote) {
  TExpTask task(nullptr);
  task.SetOwner(",A");  // an empty first name, which only a whole quote keeps
  EXPECT_THAT(task.params(), ElementsAre("owner=',A'", ""));
  reloadExp(task, task.command());
  task.SetOwner("A,,B");
  EXPECT_THAT(task.params(), ElementsAre("owner='A,,B'", ""));
  reloadExp(task, task.command());

  std::string list;
  std::string written;
  for (int i = 0; i < 40; ++i) {
    std::string name = i == 17 ? "MY OWNER" : "OWNER_" + std::to_string(i);
    list += (i ? "," : "") + name;
    written += (i ? "," : "") + (i == 17 ? "'" + name + "'" : name);
  }
  ASSERT_GT(list.size(), 255u);
  task.SetOwner(list);
  EXPECT_THAT(task.params(), ElementsAre("owner=" + written, ""));
  reloadExp(task, task.command());
  EXPECT_EQ(task.options().owner, list);
  // Leading empty names go with the first name, which keeps them.
  task.SetOwner(",A B," + list);
  EXPECT_THAT(task.params(), ElementsAre("owner=',A B'," + written, ""));
  reloadExp(task, task.command());
  EXPECT_EQ(task.options().owner, ",A B," + list);
}

TEST(QuotedValueTest, SettersRefuseAValueThatNoTextCarriesAndKeepTheTask) {
  TExpTask task(nullptr);
  task.SetFile("keep.dmp");
  task.SetOwner("KEEP");
  task.SetLog("keep.log");
  const TExpOptions before = task.options();
  const std::vector<std::string> paramsBefore = task.params();
  const std::string commandBefore = task.command();
  const std::vector<std::string> refused = {"C:\\My Logs\\", "a\nb", "a\rb", std::string("a\0b", 3),
                                            std::string(300, 'f')};
  for (const std::string& v : refused) {
    EXPECT_THROW(task.SetLog(v), std::invalid_argument);
    EXPECT_THROW(task.SetFile(v), std::invalid_argument);
  }
  EXPECT_THROW(task.SetTables("T ONE\\"), std::invalid_argument);
  EXPECT_THROW(task.SetOwner("A,B\nC"), std::invalid_argument);
  EXPECT_EQ(task.options(), before);
  EXPECT_EQ(task.params(), paramsBefore);
  EXPECT_EQ(task.command(), commandBefore);
  try {
    task.SetLog("C:\\My Logs\\");
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "The value of log ends with a backslash, which would escape its closing quote");
  }

  TImpTask imp(nullptr);
  EXPECT_THROW(imp.SetCharset("x y\\"), std::invalid_argument);
  EXPECT_THROW(imp.SetIndexFile("x y\\"), std::invalid_argument);
  EXPECT_THROW(imp.SetLog("x\ny"), std::invalid_argument);
  EXPECT_THROW(imp.SetFile("x y\\"), std::invalid_argument);
  EXPECT_THROW(imp.SetFromUser("x y\\"), std::invalid_argument);
  EXPECT_THROW(imp.SetToUser("x y\\"), std::invalid_argument);
  EXPECT_THROW(imp.SetTables("x y\\"), std::invalid_argument);
  EXPECT_EQ(imp.options(), kImpDefaults);
}

TEST(QuotedValueTest, BuildingOptionsThatNoTextCarriesThrowsWithTheReason) {
  TExpOptions o;
  o.tables = "a b\\";
  EXPECT_EQ(ExpParamsProblem(o),
            "The value of tables ends with a backslash, which would escape its closing quote");
  EXPECT_THROW(BuildExpParams(o), std::invalid_argument);
  TImpOptions i;
  i.charset = "a\nb";
  EXPECT_EQ(ImpParamsProblem(i),
            "The value of charset holds a line break, which would split its line of the parameter file");
  EXPECT_THROW(BuildImpParams(i), std::invalid_argument);
  EXPECT_EQ(ExpParamsProblem(kExpDefaults), "");
  EXPECT_EQ(ImpParamsProblem(kImpDefaults), "");
}

TEST(QuotedValueTest, TheParserRefusesATextWhoseOptionsCouldNotBeWrittenBack) {
  // A quoted line break reads fine, but would split the parameter file's line.
  const std::string text = "file=x.dmp log='a\nb'";
  TExpOptions o;
  ParseFailure failure;
  EXPECT_NE(ExpParse(text, o, failure), 0);
  EXPECT_EQ(failure.errorpos, static_cast<int32_t>(text.size()) + 1);
  EXPECT_EQ(failure.errortext,
            "The value of log holds a line break, which would split its line of the parameter file");

  // A line break in one name of a list, with the task keeping what it had.
  TImpTask imp(nullptr);
  imp.SetFromUser("KEEP");
  const std::vector<std::string> paramsBefore = imp.params();
  imp.SetCommand("tables=(a,'b\nc')");
  EXPECT_FALSE(imp.ParseCommand());
  EXPECT_EQ(imp.errortext(),
            "The value of tables holds a line break, which would split its line of the parameter file");
  EXPECT_EQ(imp.options().fromuser, "KEEP");
  EXPECT_EQ(imp.params(), paramsBefore);
}

TEST(QuotedValueTest, ANameThatWouldEndAQuoteWithABackslashTakesTheNextNameWithIt) {
  TImpTask imp(nullptr);
  // Short enough to quote whole.
  imp.SetCommand("tables=('x y\\,z',t)");
  ASSERT_TRUE(imp.ParseCommand()) << imp.errortext();
  EXPECT_EQ(imp.options().tables, "x y\\,z,t");
  EXPECT_THAT(imp.params(), ElementsAre("", "", "tables='x y\\,z,t'"));
  // Too long for that: "x y\" cannot be quoted on its own, "x y\,z" can.
  const std::string t(250, 't');
  imp.SetCommand("tables=('x y\\,z'," + t + ")");
  ASSERT_TRUE(imp.ParseCommand()) << imp.errortext();
  EXPECT_THAT(imp.params(), ElementsAre("", "", "tables='x y\\,z'," + t));
  const TImpOptions first = imp.options();
  ASSERT_TRUE(imp.ParseCommand()) << imp.errortext();
  EXPECT_EQ(imp.options(), first);
  // With nothing after it, no run of names ends without that backslash.
  TImpOptions o;
  o.tables = t + ",x y\\";
  EXPECT_EQ(
      ImpParamsProblem(o),
      "The value of tables has a name that ends with a backslash, which would escape its closing quote");
  o.tables = t + ",x y\\,";
  EXPECT_EQ(ImpParamsProblem(o), "");
  EXPECT_THAT(BuildImpParams(o), ElementsAre("", "", "tables=" + t + ",'x y\\,'"));
}

}  // namespace
}  // namespace tasks
