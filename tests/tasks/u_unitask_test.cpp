#include "tasks/u_unitask.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "tasks/expparse.h"
#include "tasks/impparse.h"
#include "tasks/u_task1.h"
#include "tests/platform/test_seed.h"

namespace tasks {
namespace {

using ::testing::ElementsAre;

// A window that hands out nothing but its configured programs.
class FakeHost : public TaskHost {
 public:
  TaskEventSink* EventSink() override { return nullptr; }
  std::string ExportProgram() const override { return "/opt/oracle/bin/exp"; }
  std::string ImportProgram() const override { return "/opt/oracle/bin/imp"; }
};

// A task of neither kind: what the base gives on its own.
class BareTask : public TUniTask {
 public:
  using TUniTask::TUniTask;
  void BuildCommand() override {}

 protected:
  bool Parse(std::string_view, ParseFailure&) override { return false; }
};

TEST(UniTaskTest, EachTaskTakesTheProgramOfItsType) {
  FakeHost host;
  BareTask task(&host);
  task.SetTaskType(TTaskType::RawImport);
  task.SetProgramPath();
  EXPECT_EQ(task.program(), "/opt/oracle/bin/imp");
  TExpTask exp(&host);
  TImpTask imp(&host);
  exp.SetProgramPath();
  imp.SetProgramPath();
  EXPECT_EQ(exp.program(), "/opt/oracle/bin/exp");
  EXPECT_EQ(imp.program(), "/opt/oracle/bin/imp");
}

// ---- ParseCommand ----

class ParseCommandTest : public ::testing::Test {
 protected:
  TExpTask exp{nullptr};
};

TEST_F(ParseCommandTest, SuccessStartsFromTheDefaults) {
  exp.SetCompress(false);
  exp.SetOwner("OLD");
  exp.SetCommand("tables=t");
  ASSERT_TRUE(exp.ParseCommand());
  EXPECT_TRUE(exp.options().compress);
  EXPECT_TRUE(exp.options().owner.empty());
  EXPECT_EQ(exp.options().tables, "t");
}

TEST_F(ParseCommandTest, FailureKeepsTheOptionsParamsAndCommandItHadBefore) {
  exp.SetFile("keep.dmp");
  exp.SetCompress(false);
  exp.SetOwner("A");
  const TExpOptions before = exp.options();
  const std::vector<std::string> paramsBefore = exp.params();
  exp.SetCommand("file=new.dmp owner=b rows=maybe direct=y");
  EXPECT_FALSE(exp.ParseCommand());
  EXPECT_FALSE(exp.parsedok());
  EXPECT_EQ(exp.options(), before);
  EXPECT_EQ(exp.params(), paramsBefore);
  EXPECT_EQ(exp.command(), "file=new.dmp owner=b rows=maybe direct=y");
  EXPECT_EQ(exp.errorpos(), 32);
  EXPECT_EQ(exp.errortext(), "maybe");
}

TEST_F(ParseCommandTest, ARawCommandKeepsItsTypedTextAndTakesTheParsedList) {
  exp.SetTaskType(TTaskType::RawExport);
  exp.SetCommand("OWNER=SCOTT   FILE=X.DMP");
  ASSERT_TRUE(exp.ParseCommand());
  EXPECT_EQ(exp.command(), "OWNER=SCOTT   FILE=X.DMP");
  EXPECT_EQ(exp.params(), (std::vector<std::string>{"file=X.DMP", "owner=SCOTT", ""}));
  ASSERT_TRUE(exp.ParseCommand());  // every load parses it again
  EXPECT_EQ(exp.command(), "OWNER=SCOTT   FILE=X.DMP");
  exp.SetTaskType(TTaskType::Export);
  ASSERT_TRUE(exp.ParseCommand());
  EXPECT_EQ(exp.command(), " file=X.DMP owner=SCOTT ");
}

// ---- Round trips over generated option sets ----

class RoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override {
    seed_ = platform::testing::testSeed();
    rng_.seed(seed_);
    RecordProperty("seed", std::to_string(seed_));
  }

  bool coin() { return std::uniform_int_distribution<int>(0, 1)(rng_) == 1; }
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  // A value that the generated command carries as one bare word or number, or now and then one
  // that reads back only in quotes.
  std::string name() {
    static const std::string first = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    static const std::string rest = first + "0123456789_$#.:\\/%";
    if (pick(6) == 0) return quotedName();
    if (pick(8) == 0) return std::to_string(pick(100000));  // all digits: a NUMBER token
    std::string s(1, first[pick(static_cast<int>(first.size()))]);
    for (int i = pick(12); i > 0; --i) s += rest[pick(static_cast<int>(rest.size()))];
    return s;
  }
  // Blanks, commas after blanks, quotes of both kinds, a backslash before a quote, brackets, "=",
  // tabs, empty names in a list, digits too large for a number. Never a backslash at the end,
  // which no quoted text can carry (the focused tests show its refusal).
  std::string quotedName() {
    static const std::vector<std::string> parts = {" ",  ", ", "'", "\"", "\\'",   "(",   ")",          "=",
                                                   "\t", ",",  "x", "Ab", "c:\\d", "a b", "99999999999"};
    std::string s;
    for (int i = 1 + pick(4); i > 0; --i) s += parts[pick(static_cast<int>(parts.size()))];
    return s;
  }
  std::string nameList() {
    std::string s = name();
    // Now and then a list too long to quote whole, so that its names are quoted one by one.
    if (pick(10) == 0) {
      for (int i = 40; i > 0; --i) s += "," + name();
      return s;
    }
    for (int i = pick(4); i > 0; --i) s += "," + name();
    return s;
  }

  // The options both programs have; the flags of each program go through `flags`.
  template <class Options>
  void sharedOptions(Options& o, std::initializer_list<bool Options::*> flags) {
    for (bool Options::*flag : flags) o.*flag = coin();
    if (coin()) o.files.push_back(name());
    if (coin()) o.buffer = 1 + pick(1 << 20);
    if (coin()) o.log = name();
    if (coin()) o.recordlength = 1 + pick(65535);
  }

  TExpOptions expOptions() {
    using O = TExpOptions;
    TExpOptions o;
    switch (pick(4)) {
      case 0:
        o.full = true;
        o.inctype = static_cast<TExpIncType>(pick(4));
        if (o.inctype == TExpIncType::Cumulative || o.inctype == TExpIncType::Incremental) o.record = coin();
        break;
      case 1:
        o.owner = nameList();
        break;
      case 2:
        o.tables = nameList();
        break;
    }
    sharedOptions(o, {&O::compress, &O::consistent, &O::constraints, &O::direct, &O::grants, &O::help,
                      &O::indexes, &O::rows});
    o.statistics = static_cast<TExpStatistics>(pick(3));
    return o;
  }

  TImpOptions impOptions() {
    using O = TImpOptions;
    TImpOptions o;
    if (coin()) {
      o.full = true;
      o.inctype = static_cast<TImpIncType>(pick(3));
    } else {
      if (coin()) o.fromuser = nameList();
      if (coin()) o.tables = nameList();
    }
    if (coin()) o.touser = nameList();
    if (coin()) o.charset = name();
    if (coin()) o.indexfile = name();
    sharedOptions(o, {&O::analyze, &O::commit, &O::destroy, &O::grants, &O::help, &O::ignore, &O::indexes,
                      &O::rows, &O::show, &O::skip_unusable_indexes});
    return o;
  }

  static std::string join(const std::vector<std::string>& params) {
    std::string s;
    for (const std::string& p : params) s += " " + p;
    return s;
  }

  // Builds the command of `o`, parses it back and checks that the same options come out.
  template <class Options, class Build, class Parse>
  void expectRoundTrip(const Options& o, const std::string& problem, Build build, Parse parse, int i) {
    ASSERT_EQ(problem, "") << "seed " << seed_ << " (VELMARON_SEED) case " << i;
    std::string command = join(build(o));
    Options back;
    ParseFailure failure;
    if (command.find_first_not_of(' ') == std::string::npos) {
      // Nothing but defaults builds a blank text, and a blank text is no command.
      ASSERT_NE(parse(command, back, failure), 0) << "seed " << seed_ << " case " << i;
      return;
    }
    ASSERT_EQ(parse(command, back, failure), 0)
        << "seed " << seed_ << " (VELMARON_SEED) case " << i << ": " << command << " at " << failure.errorpos
        << " '" << failure.errortext << "'";
    ASSERT_EQ(join(build(back)), command) << "seed " << seed_ << " case " << i;
    ASSERT_TRUE(back == o) << "seed " << seed_ << " case " << i << ": " << command;
  }

  uint32_t seed_ = 0;
  std::mt19937 rng_;
};

// inctype is generated only in full mode, and record only after cumulative or incremental: the
// command carries them nowhere else.
TEST_F(RoundTripTest, ExportOptionsSurviveBuildAndParse) {
  for (int i = 0; i < 2000 && !HasFatalFailure(); ++i) {
    TExpOptions o = expOptions();
    expectRoundTrip(o, ExpParamsProblem(o), BuildExpParams, ExpParse, i);
  }
}

TEST_F(RoundTripTest, ImportOptionsSurviveBuildAndParse) {
  for (int i = 0; i < 2000 && !HasFatalFailure(); ++i) {
    TImpOptions o = impOptions();
    expectRoundTrip(o, ImpParamsProblem(o), BuildImpParams, ImpParse, i);
  }
}

}  // namespace
}  // namespace tasks
