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

// ---- BuildCommand ----

struct BuildCase {
  const char* text;  // read by the parser into the options that are built
  Params params;
};

template <class Task>
void expectBuilds(const std::vector<BuildCase>& cases) {
  for (const BuildCase& c : cases) {
    Task task(nullptr);
    task.SetCommand(c.text);
    ASSERT_TRUE(task.ParseCommand()) << c.text << ": " << task.errortext();
    EXPECT_EQ(task.params(), c.params) << c.text;
    std::string command;
    for (const std::string& p : c.params) command += " " + p;
    EXPECT_EQ(task.command(), command) << c.text;
  }
}

// Every keyword of each program, then the rules of leaving parameters out.
TEST(ExpBuildTest, ParametersInTheirOrderAndSpellingOnlyWhereTheyDifferFromTheirDefault) {
  expectBuilds<TExpTask>({
      {"u buffer=1 compress=n consistent=y constraints=n direct=y feedback=2 file=f grants=n help=y "
       "indexes=n "
       "log=l owner=o parfile=p point_in_time_recover=y recordlength=3 recovery_tablespaces=t rows=n "
       "statistics=none tables=t",
       {"file=f", "owner=o", "tables=t", "buffer=1", "compress=n", "consistent=y", "constraints=n",
        "direct=y", "grants=n", "help=y", "indexes=n", "log=l", "Recordlength=3", "rows=n",
        "statistics=None"}},
      {"inctype=incremental record=n", {"full=y", "inctype=Incremental", "record=n", "", ""}},
      {"inctype=complete record=n", {"full=y", "inctype=complete", "", ""}},  // record only after those two
      {"inctype=incremental record=n owner=SCOTT", {"owner=SCOTT", ""}},      // inctype only in full mode
      {"file=a.dmp file=b.dmp owner=SCOTT,HR", {"file=a.dmp", "owner=SCOTT,HR", ""}},  // the first file
      {"compress=y constraints=y statistics=estimate rows=n", {"", "", "rows=n"}},
      {"scott/tiger@orcl feedback=10", {"", ""}},  // feedback and userid never
  });
}

TEST(ImpBuildTest, ParametersInTheirOrderAndSpellingOnlyWhereTheyDifferFromTheirDefault) {
  expectBuilds<TImpTask>({
      {"analyze=n buffer=1 charset=c commit=y destroy=y feedback=0 file=f fromuser=a full=n grants=n help=y "
       "ignore=y indexes=n indexfile=i log=l parfile=p point_in_time_recover=x recordlength=2 rows=n show=y "
       "skip_unusable_indexes=y tables=t touser=b userid=u",
       {"file=f", "fromuser=a", "touser=b", "tables=t", "analyze=n", "buffer=1", "Charset=c", "commit=y",
        "Destroy=y", "grants=n", "help=y", "ignore=y", "indexes=n", "Indexfile=i", "log=l", "Recordlength=2",
        "rows=n", "show=y", "skip_unusable_indexes=y"}},
      {"inctype=system touser=b", {"full=y", "inctype=System", "", "touser=b", ""}},
      {"inctype=restore", {"full=y", "inctype=Restore", "", "", ""}},
      {"analyze=y commit=n show=n userid=u/p feedback=5", {"", "", ""}},
  });
}

// ---- Setters ----

TEST(ExpSetterTest, FullEmptiesOwnerAndTablesOnlyWhenSetAndNonEmptyListsClearFullAndEachOther) {
  TExpTask task(nullptr);
  task.SetOwner("A");
  task.SetFull(false);
  EXPECT_EQ(task.options().owner, "A");
  task.SetTables("A.T");
  EXPECT_TRUE(task.options().owner.empty());
  task.SetFull(true);
  EXPECT_TRUE(task.options().tables.empty());
  task.SetOwner("");
  task.SetTables("");
  EXPECT_TRUE(task.options().full);
  task.SetOwner("B");
  EXPECT_FALSE(task.options().full);
  task.SetTables("T");
  EXPECT_FALSE(task.options().full);
  EXPECT_TRUE(task.options().owner.empty());
  task.SetFile("a");
  task.SetFile("b");
  EXPECT_THAT(task.options().files, ElementsAre("b"));
}

TEST(ImpSetterTest, FullEmptiesFromUserAndTablesEitherWayAndOnlyThoseTwoClearFull) {
  TImpTask task(nullptr);
  task.SetFromUser("A");
  task.SetTables("T");
  task.SetToUser("B");
  task.SetFull(false);
  EXPECT_TRUE(task.options().fromuser.empty());
  EXPECT_TRUE(task.options().tables.empty());
  EXPECT_EQ(task.options().touser, "B");
  task.SetFull(true);
  task.SetToUser("C");
  task.SetTables("");
  EXPECT_TRUE(task.options().full);
  task.SetFromUser("A");
  EXPECT_FALSE(task.options().full);
  task.SetTables("T");
  EXPECT_EQ(task.options().fromuser, "A");
}

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
  EXPECT_EQ(imp.options(), kImpDefaults);
  TExpOptions o;
  o.recordlength = -3;
  EXPECT_EQ(ExpParamsProblem(o), "The value of recordlength is negative");
  EXPECT_THROW(BuildExpParams(o), std::invalid_argument);
}

// ---- Applying parsed keywords ----

struct ApplyCase {
  TParamKeyword keyword;
  const char* value;
  bool exp;  // accepted by SetExpOption
  bool imp;  // accepted by SetImpOption
};

TEST(SetOptionTest, RefusesWhatTheProgramsRefuse) {
  using K = TParamKeyword;
  // Accepted values are the build tests' and the round trip's.
  const ApplyCase cases[] = {
      {K::Rows, "yes", false, false},
      {K::Compress, "", false, false},
      {K::Buffer, "0", false, false},
      {K::Buffer, "-5", false, false},
      {K::RecordLength, "99999999999", false, false},
      {K::Feedback, "0", false, true},  // import ignores it
      {K::IncType, "none", false, false},
      {K::IncType, "restore", false, true},
      {K::Statistics, "all", false, false},
  };
  for (const ApplyCase& c : cases) {
    TExpOptions e;
    TImpOptions i;
    EXPECT_EQ(SetExpOption(c.keyword, c.value, e), c.exp) << static_cast<int>(c.keyword) << "=" << c.value;
    EXPECT_EQ(SetImpOption(c.keyword, c.value, i), c.imp) << static_cast<int>(c.keyword) << "=" << c.value;
    if (!c.exp) {
      EXPECT_EQ(e, kExpDefaults) << static_cast<int>(c.keyword) << "=" << c.value;
    }
    if (!c.imp) {
      EXPECT_EQ(i, kImpDefaults) << static_cast<int>(c.keyword) << "=" << c.value;
    }
  }
}

// Lists append (the parser's tests show it) and clear full mode; touser leaves it.
TEST(SetOptionTest, IncTypeInAnyCaseSetsFullAndListsClearIt) {
  TExpOptions e;
  EXPECT_TRUE(SetExpOption(TParamKeyword::IncType, "incremental", e));
  EXPECT_EQ(e.inctype, TExpIncType::Incremental);
  EXPECT_TRUE(e.full);
  EXPECT_TRUE(SetExpOption(TParamKeyword::Tables, "t", e));
  EXPECT_FALSE(e.full);

  TImpOptions i;
  EXPECT_TRUE(SetImpOption(TParamKeyword::IncType, "SYSTEM", i));
  EXPECT_TRUE(SetImpOption(TParamKeyword::ToUser, "x", i));
  EXPECT_TRUE(i.full);
  EXPECT_TRUE(SetImpOption(TParamKeyword::FromUser, "a", i));
  EXPECT_FALSE(i.full);
}

// ---- Values that read back only in quotes ----

// Which values are quoted and how is left to the round trip of generated option sets; these are
// the values that no text can carry, and the one name list that quoting has to regroup.

// Parses `text` into the task, then parses the command the task built from it: the stored
// command must give the same options and the same command again.
template <class Task>
Task& reload(Task& task, std::string_view text) {
  task.SetCommand(std::string(text));
  EXPECT_TRUE(task.ParseCommand()) << text << " at " << task.errorpos() << ": " << task.errortext();
  const auto first = task.options();
  const std::string built = task.command();
  EXPECT_TRUE(task.ParseCommand()) << built << " at " << task.errorpos() << ": " << task.errortext();
  EXPECT_EQ(task.options(), first) << built;
  EXPECT_EQ(task.command(), built);
  return task;
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
  EXPECT_THROW(imp.SetToUser("x\ny"), std::invalid_argument);
  EXPECT_EQ(imp.options(), kImpDefaults);
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
  reload(imp, "tables=('x y\\,z',t)");
  EXPECT_EQ(imp.options().tables, "x y\\,z,t");
  EXPECT_THAT(imp.params(), ElementsAre("", "", "tables='x y\\,z,t'"));
  // Too long for that: "x y\" cannot be quoted on its own, "x y\,z" can.
  const std::string t(250, 't');
  reload(imp, "tables=('x y\\,z'," + t + ")");
  EXPECT_THAT(imp.params(), ElementsAre("", "", "tables='x y\\,z'," + t));
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
