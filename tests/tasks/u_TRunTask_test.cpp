#include "tasks/u_TRunTask.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/eventqueue.h"
#include "standin_test_util.h"

namespace {

using tasks::TaskEventPoster;
using tasks::TRunStartRecord;
using tasks::TThreadRunSqlplus;
using tasks::TThreadRunTask;
using tasks::WM_TASKEVENT;

constexpr int32_t kTaskId = 4242;
// Only against a hung test: every wait below normally ends in milliseconds.
constexpr std::chrono::seconds kPatience{60};

class RunnerTest : public ::testing::Test {
 protected:
  TRunStartRecord record(const std::string& role, std::vector<std::string> arguments = {}) {
    TRunStartRecord r;
    r.program = standin::program(role);
    r.arguments = std::move(arguments);
    r.folder = ws_.work();
    r.window = &sink_;
    r.taskId = kTaskId;
    return r;
  }

  // The next event's number, after checking its message and task id.
  int64_t nextEvent() {
    std::optional<platform::PostedEvent> e = events_.take(kPatience);
    if (!e) return -1;
    EXPECT_EQ(e->message, WM_TASKEVENT);
    EXPECT_EQ(e->first, kTaskId);
    return e->second;
  }

  // Runs `r` to its end: events 1 and 2, and no other.
  void runToEnd(TThreadRunTask& runner, const TRunStartRecord& r) {
    runner.Start(r);
    EXPECT_EQ(nextEvent(), 1);
    EXPECT_EQ(nextEvent(), 2);
    runner.Join();
    EXPECT_TRUE(events_.drain().empty());
  }

  // Runs a program with the raw output bytes `raw` (stand-in escapes) and returns its lines.
  std::vector<std::string> linesOf(const std::string& raw, const std::string& rawErr = "") {
    ws_.set("VELMARON_STANDIN_RAW", raw);
    ws_.set("VELMARON_STANDIN_RAW_ERR", rawErr);
    TThreadRunTask runner;
    runToEnd(runner, record("exp", {"userid=a/b@c"}));
    return runner.output();
  }

  standin::Workspace ws_;
  platform::EventQueue events_;
  TaskEventPoster sink_{events_};
};

using Lines = std::vector<std::string>;

TEST_F(RunnerTest, LinesSplitAtLineFeedKeepingCarriageReturnsAndTheLastUnendedLine) {
  EXPECT_EQ(linesOf("a\\r\\nb"), (Lines{"a\r", "b"}));
  EXPECT_EQ(linesOf("\\n\\r\\n\\n"), (Lines{"", "\r", ""}));                     // empty lines stay
  EXPECT_EQ(linesOf("x\\0y\\n\\0\\nz\\0"), (Lines{"xy", "", "z"}));              // zero bytes are dropped
  EXPECT_EQ(linesOf("out\\nhalf ", "err\\r\\n"), (Lines{"out", "half err\r"}));  // both streams
  EXPECT_TRUE(linesOf("").empty());  // nothing written: no lines, still events 1 and 2
  // Output longer than one read is split the same.
  std::string raw;
  Lines expected;
  for (int i = 0; i < 3000; ++i) {
    std::string line = "line " + std::to_string(i) + (i % 3 == 0 ? "\\r" : "");
    raw += line + "\\n";
    expected.push_back("line " + std::to_string(i) + (i % 3 == 0 ? "\r" : ""));
  }
  EXPECT_EQ(linesOf(raw), expected);
}

TEST_F(RunnerTest, BannerAndResultLinesOfBothStreamsArriveFromTheRecordsFolder) {
  TThreadRunTask runner;
  runToEnd(runner, record("exp", {"userid=scott/tiger@db", "file=x.dmp"}));
  const Lines& out = runner.output();
  EXPECT_NE(std::find(out.begin(), out.end(), "Export: Release 8.1.7.0.0 - Production\r"), out.end());
  EXPECT_NE(std::find(out.begin(), out.end(), "Export terminated successfully without warnings."), out.end());
  EXPECT_EQ(runner.exitCode(), 0);
  std::vector<standin::Record> log = ws_.records();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].cwd, ws_.work());
}

TEST_F(RunnerTest, ExitCodeIsKeptAndChangesNoEventAndARunnerStartsOnce) {
  ws_.set("VELMARON_STANDIN_EXIT", "5");
  TThreadRunTask runner;
  runToEnd(runner, record("imp"));
  EXPECT_EQ(runner.exitCode(), 5);
  EXPECT_EQ(runner.startResult(), 0);
  EXPECT_THROW(runner.Start(record("imp")), std::logic_error);
}

TEST_F(RunnerTest, MissingProgramGivesEventThreeOnly) {
  TThreadRunTask runner;
  TRunStartRecord r = record("exp");
  r.program = ws_.folder() + "/no such exp";
  runner.Start(r);
  EXPECT_EQ(nextEvent(), 3);
  runner.Join();
  EXPECT_TRUE(events_.drain().empty());
  EXPECT_EQ(runner.startResult(), -1);
  EXPECT_FALSE(runner.HasProcess());
  // The reason is kept for the run's log.
  ASSERT_EQ(runner.output().size(), 1u);
  EXPECT_NE(runner.output()[0].find("no such exp"), std::string::npos);
}

// Ends a process on leaving the scope, for one that a test leaves out of the run's reach.
struct KillOnExit {
  pid_t pid;
  ~KillOnExit() {
    if (pid > 0) ::kill(pid, SIGKILL);
  }
};

// A program that waits long has started a grandchild in a session of its own that holds the
// output; the terminate kills the program's group (the platform's rule), and the run must end
// although the output stays open.
TEST_F(RunnerTest, TerminateEndsTheRunEvenWhenAProcessThatLeftTheGroupHoldsThePipe) {
  // Both would outlast any test run; only the terminate ends the output in time.
  ws_.set("VELMARON_STANDIN_DELAY_MS", "600000");
  ws_.set("VELMARON_STANDIN_GRANDCHILD", "600000");
  ws_.set("VELMARON_STANDIN_DETACH", "1");
  ws_.makeReadyFifo();
  TThreadRunTask runner;
  runner.Start(record("exp", {"userid=a/b@c"}));
  EXPECT_EQ(nextEvent(), 1);
  std::istringstream ready(ws_.awaitReady());
  pid_t pid = 0, grandchild = 0;
  ready >> pid >> grandchild;
  ASSERT_GT(grandchild, 0);
  KillOnExit cleanup{grandchild};
  EXPECT_TRUE(runner.HasProcess());

  runner.Terminate();
  EXPECT_EQ(nextEvent(), 2);
  runner.Join();
  EXPECT_EQ(runner.exitCode(), 128 + SIGKILL);
  EXPECT_FALSE(runner.HasProcess());
  // What the program printed before it was killed is kept.
  EXPECT_NE(std::find(runner.output().begin(), runner.output().end(), "Connected to the database"),
            runner.output().end());
}

TEST_F(RunnerTest, TerminateBeforeTheProgramStartsKillsItOnceStarted) {
  ws_.set("VELMARON_STANDIN_DELAY_MS", "600000");
  TThreadRunTask runner;
  runner.Terminate();
  runToEnd(runner, record("exp", {"userid=a/b@c"}));
  EXPECT_EQ(runner.exitCode(), 128 + SIGKILL);
}

TEST_F(RunnerTest, DestroyingARunnerWhileItsProgramRunsEndsBoth) {
  ws_.set("VELMARON_STANDIN_DELAY_MS", "600000");
  {
    TThreadRunTask runner;
    runner.Start(record("exp", {"userid=a/b@c"}));
    EXPECT_EQ(nextEvent(), 1);
  }
  EXPECT_EQ(nextEvent(), 2);
}

// Reads the runner's results on the runner's own thread, at the moment each event is posted.
class ResultsAtEvent : public tasks::TaskEventSink {
 public:
  void PostTaskEvent(int32_t, int32_t event) override {
    if (event != 1) endTimeAtLastEvent = runner->endTime();
  }
  const TThreadRunTask* runner = nullptr;
  tasks::DateTime endTimeAtLastEvent{};
};

TEST_F(RunnerTest, EndTimeIsSetWhenTheLastEventIsPosted) {
  for (const char* program : {"imp", "no such program"}) {
    ResultsAtEvent sink;
    TThreadRunTask runner;
    sink.runner = &runner;
    TRunStartRecord r = record("imp");
    r.program = standin::program(program);
    r.window = &sink;
    runner.Start(r);
    runner.Join();
    EXPECT_NE(sink.endTimeAtLastEvent, tasks::DateTime{}) << program;
    EXPECT_GE(sink.endTimeAtLastEvent, runner.startTime()) << program;
  }
}

// The script runner's input is shown with the whole run in NoPasswordOnCommandLinesTest.
TEST_F(RunnerTest, MainRunnerGivesNoInputAndARecordWithoutWindowPostsNothing) {
  TThreadRunTask runner;
  TRunStartRecord r = record("sqlplus", {"/nolog"});
  r.input = "CONNECT u/p@db\n";
  r.window = nullptr;
  runner.Start(r);
  runner.Join();
  EXPECT_TRUE(events_.drain().empty());
  EXPECT_FALSE(runner.output().empty());
  std::vector<standin::Record> log = ws_.records();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(log[0].stdinLines.empty());
}

}  // namespace
