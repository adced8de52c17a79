// Runs over the stand-in programs and the test FTP server: every mix of scripts, stage faults and
// transfer modes, checked against a small model of what the run must do and store.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ftp_server_test_util.h"
#include "silent_server_test_util.h"
#include "standin_test_util.h"
#include "tasks/u_TRunTask.h"
#include "tasks/u_task1.h"
#include "tasks/u_taskstore.h"
#include "tasks/u_transfer.h"

namespace tasks {
namespace {

namespace fs = std::filesystem;

// Unwritable: the work folder may be written by others, so no parameter file is written there.
enum class Fault { None, Exit, Kill, MissingScript, MissingMain, Unwritable };

struct Scenario {
  bool pre = false, post = false, import = false;
  int transfer = kTransferNone;
  Fault fault = Fault::None;
  int stage = 0;  // where Exit and Kill strike

  bool present(int st) const { return st == 2 || (st == 1 && pre) || (st == 3 && post); }
  std::string name() const {  // import, pre, post, transfer, fault, stage
    return std::to_string(((((import * 10 + pre) * 10 + post) * 10 + transfer) * 10 + int(fault)) * 10 +
                          stage);
  }
};

std::vector<Scenario> allScenarios() {
  std::vector<Scenario> all;
  for (int bits = 0; bits < 8; ++bits) {
    for (int transfer : {kTransferNone, kTransferFtp, kTransferCopy}) {
      const Scenario s{bool(bits & 1), bool(bits & 2), bool(bits & 4), transfer};
      all.push_back(s);
      for (int stage = 1; stage <= 3; ++stage) {
        if (!s.present(stage)) continue;
        for (Fault f : {Fault::Exit, Fault::Kill})
          all.push_back({s.pre, s.post, s.import, transfer, f, stage});
      }
      for (Fault f : {Fault::MissingMain, Fault::Unwritable, Fault::MissingScript}) {
        if (f != Fault::MissingScript || s.pre || s.post)
          all.push_back({s.pre, s.post, s.import, transfer, f});
      }
    }
  }
  return all;
}

// The model: the stages a run begins, whether it ends terminated, and what it must transfer.
struct Expected {
  std::vector<int> reached;
  bool terminated = false;
  int failedStage = 0;  // the stage whose program could not start or be prepared
  bool box = false;     // the program was missing
  int mainExit = 0;
  bool transfers = false;
  std::string skipLine;
};

Expected model(const Scenario& s) {
  Expected e;
  for (int stage = 1; stage <= 3 && !e.terminated; ++stage) {
    if (!s.present(stage)) continue;
    e.reached.push_back(stage);
    const bool firstScript = stage == 1 || (stage == 3 && !s.pre);
    e.box = (s.fault == Fault::MissingMain && stage == 2) || (s.fault == Fault::MissingScript && firstScript);
    if (e.box || (s.fault == Fault::Unwritable && stage == 2)) e.failedStage = stage;
    e.terminated = e.failedStage != 0 || (s.fault == Fault::Kill && s.stage == stage);
    if (stage != 2 || s.stage != 2) continue;
    e.mainExit = s.fault == Fault::Exit ? 1 : s.fault == Fault::Kill ? 137 : 0;
  }
  if (!s.import && s.transfer != kTransferNone &&
      std::find(e.reached.begin(), e.reached.end(), 2) != e.reached.end()) {
    const bool stopped = e.terminated && e.reached.back() == 2;
    e.skipLine = stopped           ? "Transfer skipped: the run was terminated"
                 : e.mainExit != 0 ? "Transfer skipped: the export program ended with exit code 1"
                                   : "";
    e.transfers = e.skipLine.empty();
  }
  return e;
}

class Window : public TaskHost, public TaskRunView, public TaskNode {
 public:
  TaskEventSink* EventSink() override { return &sink_; }
  std::string ExportProgram() const override { return exp; }
  std::string ImportProgram() const override { return imp; }
  void AddRunningMessage(const std::string&) override {}
  void ClearMainLogs() override {}
  void ShowError(const std::string& text) override { errors.push_back(text); }
  void RunLogged(const TaskLogEntry& entry) override { logged.push_back(entry); }
  bool IsSelected() const override { return true; }

  std::string exp, imp;
  platform::EventQueue events;
  std::vector<std::string> errors;
  std::vector<TaskLogEntry> logged;

 private:
  TaskEventPoster sink_{events};
};

// Sets the stand-in's switches for the next stage present after `stage`: the one that the next
// event may start.
void switchesAfter(const Scenario& s, int stage, standin::Workspace& ws) {
  int next = stage + 1;
  while (next <= 3 && !s.present(next)) ++next;
  const bool hit = s.stage == next && stage >= 0, exit = hit && s.fault == Fault::Exit;
  const bool kill = hit && s.fault == Fault::Kill;
  exit ? ::setenv("VELMARON_STANDIN_EXIT", "1", 1) : ::unsetenv("VELMARON_STANDIN_EXIT");
  kill ? ::setenv("VELMARON_STANDIN_DELAY_MS", "600000", 1) : ::unsetenv("VELMARON_STANDIN_DELAY_MS");
  ::unsetenv("VELMARON_STANDIN_READY");
  if (kill) ws.makeReadyFifo();
}

// One export and one import task run every scenario in turn, so each run also shows that
// nothing of the task's previous run is measured, logged or transferred again.
class TaskRunTest : public ::testing::Test {
 protected:
  void run(const Scenario& s) {
    SCOPED_TRACE(s.name());
    standin::Workspace ws;
    FtpTestServer& ftp = FtpTestServer::get();
    const std::string missing = ws.folder() + "/no/such/program";
    const bool noMain = s.fault == Fault::MissingMain;
    window_.exp = noMain ? missing : standin::program("exp");
    window_.imp = noMain ? missing : standin::program("imp");
    window_.errors.clear();
    window_.logged.clear();
    TTaskStore store(ws.folder() + "/db");
    const std::string sqlplus = s.fault == Fault::MissingScript ? missing : standin::program("sqlplus");
    const TaskRunContext context{{ws.work(), sqlplus}, &window_, &store, &window_.events};
    TUniTask& task = s.import ? static_cast<TUniTask&>(imp_) : exp_;
    const std::string dump = ws.folder() + "/full.dmp";
    if (s.import) platform::testing::writeFile(dump, std::string("\x03\x00\x01", 3) + "EXPORT:V08.01.07\nx");
    const int32_t id = 7000 + int32_t(runs_++);
    task.SetId(id);
    task.SetNode(&window_);
    task.SetUName("scott");
    task.SetConnectString("orcl");
    task.SetCommand("file=" + dump + (s.import ? " full=y" : " owner=scott"));
    ASSERT_TRUE(task.ParseCommand()) << task.errortext();
    task.SetIsPreExec(s.pre);
    task.SetIsPostExec(s.post);
    task.SetPreExec("pre.sql");
    task.SetPostExec("post.sql");
    task.SetTransferMode(s.transfer);
    const std::string remoteDir = "run" + std::to_string(id), copyDir = ws.folder() + "/copies";
    fs::create_directories(ftp.path("home/" + remoteDir));
    fs::create_directories(copyDir);
    task.SetFtpServer(ftp.host());
    task.SetFtpUserName(FtpTestServer::kUser);
    task.SetFtpPassword(FtpTestServer::kPassword);
    task.SetFtpRemoteDir(remoteDir);
    task.SetCopyFileDir(copyDir);

    const size_t earlierLines = task.runlog().size();  // emptied only when a pre-script starts
    if (s.fault == Fault::Unwritable) fs::permissions(ws.work(), fs::perms::all);
    switchesAfter(s, 0, ws);
    task.StartTask(context);
    while (task.state() != TTaskState::Idle) {
      std::optional<platform::PostedEvent> ev = window_.events.take(std::chrono::minutes(2));
      ASSERT_TRUE(ev) << "the run hangs at stage " << task.stage();
      ASSERT_EQ(ev->first, id);
      if (ev->message == WM_TRANSFEREVENT || ev->second == kEventFinished) switchesAfter(s, task.stage(), ws);
      if (ev->message == WM_TRANSFEREVENT) {
        task.OnTransferEvent(int32_t(ev->second));
        continue;
      }
      task.OnStageEvent(int32_t(ev->second));
      if (ev->second == kEventStarted && s.fault == Fault::Kill && s.stage == task.stage()) {
        ws.awaitReady();
        task.TerminateTask();
      }
    }
    switchesAfter(s, -1, ws);
    const Expected e = model(s);

    // The stages begun, their step lines, the programs that ran and the boxes.
    std::vector<std::string> programs, expectedPrograms;
    for (const standin::Record& r : ws.records()) programs.push_back(r.program);
    size_t line = s.pre && e.failedStage != 1 ? 0 : earlierLines;
    const std::vector<std::string>& runlog = task.runlog();
    for (int stage : e.reached) {
      ASSERT_LT(line + (stage != e.failedStage), runlog.size());
      if (stage != e.failedStage) {
        expectedPrograms.push_back(stage != 2 ? "sqlplus" : s.import ? "imp" : "exp");
        const std::string start = stage == 1   ? "Running pre script pre.sql..."
                                  : stage == 3 ? "Running post script post.sql..."
                                               : task.program() + " " + task.command();
        EXPECT_TRUE(runlog[line++].ends_with(": User(scott@orcl) " + start));
      }
      const bool stopped = e.terminated && stage == e.reached.back();
      EXPECT_TRUE(runlog[line++].ends_with(stopped ? ": Terminated\r\n" : ": Done\r\n"));
    }
    EXPECT_EQ(line, runlog.size());
    EXPECT_EQ(programs, expectedPrograms);
    const std::string box = "Start " + missing + " error(00" + std::to_string(e.failedStage) + ")";
    // The box says why, as the runner found it.
    ASSERT_EQ(window_.errors.size(), e.box ? 1u : 0u);
    if (e.box) {
      EXPECT_TRUE(window_.errors[0].starts_with(box + "\n")) << window_.errors[0];
      EXPECT_GT(window_.errors[0].size(), box.size() + 1) << "the reason";
    }

    // The stored log: one row, its content the main program's output and the transfer's lines.
    const bool mainReached = std::find(e.reached.begin(), e.reached.end(), 2) != e.reached.end();
    const bool prepared = mainReached && s.fault != Fault::Unwritable;
    const bool mainRan = mainReached && e.failedStage != 2;
    std::vector<TaskLogEntry> logs = store.LoadTaskLogs(id);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].id, task.tasklogid());
    // An import names the dump it was to read; an export only the dump its program wrote.
    EXPECT_EQ(logs[0].dumpfile, prepared && (s.import || mainRan) ? dump : "Unknown");
    EXPECT_EQ(logs[0].filesize, prepared && fs::exists(dump) ? int64_t(fs::file_size(dump)) : 0);
    EXPECT_EQ(window_.logged.size(), mainReached ? 1u : 0u);
    const std::string content = store.LoadTaskLogContent(id, logs[0].id);
    EXPECT_EQ(content.find("Stage 2 could not be prepared: ") != std::string::npos, mainReached && !prepared);
    EXPECT_EQ(content.find("Exit code: " + std::to_string(e.mainExit) + "\r\n") != std::string::npos,
              mainRan);
    // A run that ended before the main stage stores only why its pre-script failed.
    EXPECT_TRUE(mainReached || content.empty() || content.starts_with("Pre script could not start: "))
        << content;
    EXPECT_EQ(content.find("Transfer skipped") != std::string::npos, !e.skipLine.empty());
    EXPECT_TRUE(e.skipLine.empty() || content.find(e.skipLine + "\r\n") != std::string::npos);

    // The dump's fate and the parameter file's.
    const std::string remote = ftp.path("home/" + remoteDir + "/full.dmp"), copy = copyDir + "/full.dmp";
    EXPECT_EQ(fs::exists(remote), e.transfers && s.transfer == kTransferFtp);
    EXPECT_EQ(fs::exists(copy), e.transfers && s.transfer == kTransferCopy);
    if (e.transfers) {
      const bool byFtp = s.transfer == kTransferFtp;
      EXPECT_EQ(platform::testing::readFile(byFtp ? remote : copy), platform::testing::readFile(dump));
      EXPECT_NE(content.find(byFtp ? "End file transfer(ftp)\r\n" : "Copy file successfully: "),
                std::string::npos);
    }
    EXPECT_EQ(fs::exists(dump), s.import || mainRan);
    EXPECT_FALSE(fs::exists(ws.work() + "/" + std::to_string(id) + ".par"));
    EXPECT_EQ(task.mainthread(), nullptr);
  }

  Window window_;
  TExpTask exp_{&window_};
  TImpTask imp_{&window_};
  size_t runs_ = 0;
};

TEST_F(TaskRunTest, EveryMixOfStagesFaultsAndTransfersEndsAsTheModelSays) {
  for (const Scenario& s : allScenarios()) {
    run(s);
    if (HasFatalFailure()) return;
  }
}

// Single runs of one export task, each for one fault of the audit.
class TaskRunEdgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_.exp = standin::program("exp");
    task_.SetNode(&window_);
    task_.SetUName("scott");
    task_.SetConnectString("orcl");
    task_.SetIsPreExec(false);
    task_.SetIsPostExec(false);
    task_.SetCopyFileDir(copies_);
    fs::create_directories(copies_);
  }
  // Starts a run of `command` and hands its events to the task until it is idle; `after` sees
  // each event once the task has taken it.
  void run(const std::string& command, const std::function<void(const platform::PostedEvent&)>& after = {}) {
    task_.SetId(++id_);
    task_.SetCommand(command);
    ASSERT_TRUE(task_.ParseCommand()) << task_.errortext();
    task_.StartTask(context_);
    while (task_.state() != TTaskState::Idle) {
      std::optional<platform::PostedEvent> ev = window_.events.take(std::chrono::minutes(2));
      ASSERT_TRUE(ev) << "the run hangs at stage " << task_.stage();
      if (ev->message == WM_TRANSFEREVENT)
        task_.OnTransferEvent(int32_t(ev->second));
      else
        task_.OnStageEvent(int32_t(ev->second));
      if (after) after(*ev);
    }
  }
  TaskLogEntry lastLog() {
    std::vector<TaskLogEntry> logs = store_.LoadTaskLogs(id_);
    return logs.empty() ? TaskLogEntry{} : logs.front();
  }

  standin::Workspace ws_;
  Window window_;
  TTaskStore store_{ws_.folder() + "/db"};
  TaskRunContext context_{{ws_.work(), standin::program("sqlplus")}, &window_, &store_, &window_.events};
  TExpTask task_{&window_};
  std::string copies_ = ws_.folder() + "/copies";
  int32_t id_ = 100;
};

TEST_F(TaskRunEdgeTest, ARunsRowShowsOnlyTheDumpItsOwnProgramWrote) {
  const std::string dump = ws_.folder() + "/full.dmp";
  run("file=" + dump + " owner=scott");
  EXPECT_EQ(lastLog().dumpfile, dump);
  EXPECT_GT(lastLog().filesize, 0);
  // The same name again, but this program writes nothing; then one that cannot start.
  ws_.set("VELMARON_STANDIN_NODUMP", "1");
  task_.SetTransferMode(kTransferCopy);
  run("file=" + dump + " owner=scott");
  EXPECT_EQ(lastLog().dumpfile, "Unknown");
  EXPECT_EQ(lastLog().filesize, 0);
  EXPECT_NE(store_.LoadTaskLogContent(id_, lastLog().id).find("Transfer skipped: the run wrote no dump file"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(copies_ + "/full.dmp"));
  window_.exp = ws_.folder() + "/no/exp";
  run("file=" + dump + " owner=scott");
  EXPECT_EQ(lastLog().dumpfile, "Unknown");
  EXPECT_EQ(lastLog().filesize, 0);
  EXPECT_TRUE(fs::exists(dump));  // the earlier run's dump is left alone
}

TEST_F(TaskRunEdgeTest, AnExportThatSaysItFailedKeepsLastWeeksCopyWhateverItsExitCode) {
  // A program (or a wrapper around it) that ends with 0 after a failed export: its dump is
  // incomplete, and the copy of last week's good one must stay.
  const std::string dump = ws_.folder() + "/full.dmp", copy = copies_ + "/full.dmp";
  platform::testing::writeFile(copy, "last week's dump");
  task_.SetTransferMode(kTransferCopy);
  task_.SetDeleteFileAfter(1);
  ws_.set("VELMARON_STANDIN_EXIT", "0");
  // Its output also holds bytes that are not UTF-8, and a line without a line feed.
  ws_.set("VELMARON_STANDIN_RAW", "\\r\\nExport: Release 8.1.7.0.0\\r\\n. exporting table EMP\\xff\\xc3(\\n");
  ws_.set("VELMARON_STANDIN_RAW_ERR",
          "EXP-00056: ORACLE error 1555 encountered\\nExport terminated unsuccessfully");
  run("file=" + dump + " owner=scott");
  EXPECT_EQ(platform::testing::readFile(copy), "last week's dump");
  EXPECT_TRUE(fs::exists(dump));
  EXPECT_EQ(store_.LoadTaskLogContent(id_, lastLog().id),
            "\r\r\nExport: Release 8.1.7.0.0\r\r\n. exporting table EMP\xff\xc3(\r\n"
            "EXP-00056: ORACLE error 1555 encountered\r\nExport terminated unsuccessfully\r\n"
            "Exit code: 0\r\n"
            "Transfer skipped: the export program said \"Export terminated unsuccessfully\"\r\n");
  EXPECT_TRUE(task_.runlog().back().ends_with(": Done\r\n"));
  // Warnings leave a good dump: it goes.
  ws_.set("VELMARON_STANDIN_RAW_ERR",
          "EXP-00091: Exporting questionable statistics.\\r\\n"
          "Export terminated successfully with warnings.\\r\\n");
  run("file=" + dump + " owner=scott");
  EXPECT_NE(platform::testing::readFile(copy), "last week's dump");
  EXPECT_FALSE(fs::exists(dump));
}

TEST_F(TaskRunEdgeTest, AnExportThatSaysItFailedUnderItsMessageCodeKeepsLastWeeksCopy) {
  // The export program tells its failure under a message code of its own, as it tells every
  // message; a wrapper around it ends with 0 all the same.
  const std::string dump = ws_.folder() + "/full.dmp", copy = copies_ + "/full.dmp";
  platform::testing::writeFile(copy, "last week's dump");
  task_.SetTransferMode(kTransferCopy);
  task_.SetDeleteFileAfter(1);
  ws_.set("VELMARON_STANDIN_EXIT", "0");
  ws_.set("VELMARON_STANDIN_RAW", "\\r\\nExport: Release 8.1.7.0.0\\r\\n");
  for (const char* said :
       {"EXP-00000: Export terminated unsuccessfully\\r\\n", "EXP-00000: Export terminated unsuccessfully"}) {
    ws_.set("VELMARON_STANDIN_RAW_ERR", std::string("EXP-00056: ORACLE error 1017 encountered\\n") + said);
    run("file=" + dump + " owner=scott");
    EXPECT_EQ(platform::testing::readFile(copy), "last week's dump") << said;
    EXPECT_TRUE(fs::exists(dump)) << said;
    const std::string content = store_.LoadTaskLogContent(id_, lastLog().id);
    EXPECT_TRUE(
        content.ends_with("Exit code: 0\r\nTransfer skipped: the export program said \"Export terminated "
                          "unsuccessfully\"\r\n"))
        << content;
  }
  // Warnings under their codes leave a good dump: it goes.
  ws_.set("VELMARON_STANDIN_RAW_ERR",
          "EXP-00091: Exporting questionable statistics.\\n"
          "Export terminated successfully with warnings.\\n");
  run("file=" + dump + " owner=scott");
  EXPECT_NE(platform::testing::readFile(copy), "last week's dump");
  EXPECT_FALSE(fs::exists(dump));
}

TEST_F(TaskRunEdgeTest, ALogOfManyMegabytesIsStoredWhole) {
  // An export of many tables with its feedback on prints for a long while: the run's stored log
  // holds every line of it, in order, and the run's row is stored with it.
  const std::string program = ws_.folder() + "/chatty-exp";
  platform::testing::writeFile(
      program,
      "#!/bin/sh\n"
      "awk 'BEGIN { for (i = 0; i < 400000; i++) printf \". . exporting row block %07d\\n\", i }'\n"
      "echo 'Export terminated successfully without warnings.' >&2\n");
  ::chmod(program.c_str(), 0700);
  window_.exp = program;
  run("file=" + ws_.folder() + "/full.dmp owner=scott");
  ASSERT_TRUE(window_.errors.empty()) << window_.errors.front();
  std::string expected;
  char line[64];
  for (int i = 0; i < 400000; ++i) {
    std::snprintf(line, sizeof line, ". . exporting row block %07d\r\n", i);
    expected += line;
  }
  expected += "Export terminated successfully without warnings.\r\nExit code: 0\r\n";
  ASSERT_EQ(window_.logged.size(), 1u);
  const std::string content = store_.LoadTaskLogContent(id_, window_.logged.back().id);
  EXPECT_EQ(content.size(), expected.size());
  EXPECT_TRUE(content == expected);
}

TEST_F(TaskRunEdgeTest, AScriptThatFailedIsToldInTheStoredLog) {
  // The stored log is all that a DBA away for weeks reads of a run.
  const std::string dump = ws_.folder() + "/full.dmp";
  task_.SetIsPreExec(true);
  task_.SetPreExec("pre.sql");
  context_.settings.sqlplusProgram = ws_.folder() + "/no/sqlplus";
  run("file=" + dump + " owner=scott");
  std::string content = store_.LoadTaskLogContent(id_, lastLog().id);
  EXPECT_TRUE(content.starts_with("Pre script could not start: ")) << content;
  EXPECT_NE(content.find(ws_.folder() + "/no/sqlplus"), std::string::npos) << content;
  EXPECT_TRUE(task_.runlog().back().ends_with(": Terminated\r\n"));
  // A script that ran and failed: the export still runs, and the log says both.
  context_.settings.sqlplusProgram = standin::program("sqlplus");
  task_.SetIsPostExec(true);
  task_.SetPostExec("post.sql");
  ws_.set("VELMARON_STANDIN_EXIT", "3");
  run("file=" + dump + " owner=scott");
  content = store_.LoadTaskLogContent(id_, lastLog().id);
  EXPECT_TRUE(content.starts_with("Pre script ended with exit code 3\r\n\r\r\nExport: ")) << content;
  EXPECT_TRUE(content.ends_with("Exit code: 3\r\nPost script ended with exit code 3\r\n")) << content;
  // Stopped by the user, it is a terminated run, not a failed script.
  ws_.set("VELMARON_STANDIN_EXIT", "0");
  ws_.set("VELMARON_STANDIN_DELAY_MS", "600000");
  ws_.makeReadyFifo();
  run("file=" + dump + " owner=scott", [&](const platform::PostedEvent& ev) {
    if (ev.second == kEventStarted && task_.stage() == kStagePreScript) {
      ws_.awaitReady();
      task_.TerminateTask();
    }
  });
  EXPECT_EQ(store_.LoadTaskLogContent(id_, lastLog().id), "");
}

TEST_F(TaskRunEdgeTest, ADumpNamedWithoutAFolderIsMovedFromTheWorkFolderOnly) {
  // The window's current folder holds an unrelated file of the same name.
  const std::string here = ws_.folder() + "/here";
  fs::create_directories(here);
  platform::testing::writeFile(here + "/rel.dmp", "unrelated");
  const fs::path before = fs::current_path();
  fs::current_path(here);
  task_.SetTransferMode(kTransferCopy);
  task_.SetDeleteFileAfter(1);
  run("file=rel.dmp owner=scott");
  fs::current_path(before);
  EXPECT_EQ(platform::testing::readFile(here + "/rel.dmp"), "unrelated");
  EXPECT_FALSE(fs::exists(ws_.work() + "/rel.dmp"));
  ASSERT_TRUE(fs::exists(copies_ + "/rel.dmp"));
  EXPECT_NE(platform::testing::readFile(copies_ + "/rel.dmp"), "unrelated");
  EXPECT_EQ(lastLog().dumpfile, ws_.work() + "/rel.dmp");
  EXPECT_EQ(lastLog().filesize, int64_t(fs::file_size(copies_ + "/rel.dmp")));
}

TEST_F(TaskRunEdgeTest, ARawCommandRunsAsTypedWhereItsParameterListWouldLeaveSomethingOut) {
  // The parser takes parfile= and ignores it: a run of the list alone would export the whole
  // schema instead of the tables that the user's parameter file names.
  const std::string dump = ws_.folder() + "/t.dmp", own = ws_.folder() + "/tables.par";
  platform::testing::writeFile(own, "tables=emp\n");
  task_.SetTaskType(TTaskType::RawExport);
  task_.SetTransferMode(kTransferCopy);
  const auto readByProgram = [this] {
    const std::vector<standin::Record> records = ws_.records();
    return records.empty() ? std::vector<std::string>{} : records.back().parfile;
  };
  const auto has = [](const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line + "\\r") != lines.end();
  };
  run("File=" + dump + " parfile=" + own);
  std::vector<std::string> read = readByProgram();
  EXPECT_TRUE(has(read, "parfile=" + own)) << ::testing::PrintToString(read);
  EXPECT_TRUE(has(read, "File=" + dump)) << ::testing::PrintToString(read);
  std::string content = store_.LoadTaskLogContent(id_, lastLog().id);
  EXPECT_TRUE(content.starts_with(std::string(kRunsAsTyped) + "parfile=\r\n")) << content;
  // Only the program knows which dump it wrote: none is measured or copied.
  EXPECT_EQ(lastLog().dumpfile, "Unknown");
  // The program did write one: the skip says that its name is unknown, not that there is none.
  EXPECT_TRUE(fs::exists(dump));
  EXPECT_NE(content.find(std::string(kTransferSkippedAsTyped) + "\r\n"), std::string::npos) << content;
  EXPECT_EQ(content.find("the run wrote no dump file"), std::string::npos) << content;
  EXPECT_FALSE(fs::exists(copies_ + "/t.dmp"));
  // The stage line shows the command typed, which is now what ran.
  EXPECT_TRUE(std::any_of(task_.runlog().begin(), task_.runlog().end(), [this](const std::string& line) {
    return line.ends_with(" " + task_.command());
  })) << ::testing::PrintToString(task_.runlog());

  // A second dump file and the recovery keywords likewise.
  run("file=(" + dump + ",t2.dmp) owner=scott");
  EXPECT_TRUE(has(readByProgram(), "file=(" + dump + ",t2.dmp)"))
      << ::testing::PrintToString(readByProgram());
  content = store_.LoadTaskLogContent(id_, lastLog().id);
  EXPECT_TRUE(content.starts_with(std::string(kRunsAsTyped) + "file= after the first\r\n")) << content;
  run("point_in_time_recover=y recovery_tablespaces=ts file=" + dump);
  content = store_.LoadTaskLogContent(id_, lastLog().id);
  EXPECT_TRUE(
      content.starts_with(std::string(kRunsAsTyped) + "point_in_time_recover=, recovery_tablespaces=\r\n"))
      << content;

  // What changes only the progress dots still runs from the list, and its dump is copied.
  run("file=" + dump + " owner=scott feedback=100");
  read = readByProgram();
  EXPECT_TRUE(has(read, "file=" + dump)) << ::testing::PrintToString(read);
  EXPECT_TRUE(has(read, "owner=scott")) << ::testing::PrintToString(read);
  content = store_.LoadTaskLogContent(id_, lastLog().id);
  EXPECT_EQ(content.find(kRunsAsTyped), std::string::npos) << content;
  EXPECT_EQ(lastLog().dumpfile, dump);
  EXPECT_TRUE(fs::exists(copies_ + "/t.dmp"));
}

TEST_F(TaskRunEdgeTest, ALogOrDumpNamedLikeTheRunsOwnParameterFileIsRefused) {
  // The run replaces that file with its parameter file and removes it at its end: the log or
  // dump would be lost, and a log made before the program read its parameters would empty them.
  const std::string dump = ws_.folder() + "/own.dmp";
  size_t programs = 0;
  const auto refused = [this, &programs](const std::string& what) {
    const std::string content = store_.LoadTaskLogContent(id_, lastLog().id);
    EXPECT_NE(content.find("Stage 2 could not be prepared: The " + what +
                           " file of the task is its parameter file " + fs::canonical(ws_.work()).string() +
                           "/" + std::to_string(id_) + ".par"),
              std::string::npos)
        << content;
    EXPECT_EQ(ws_.records().size(), programs) << "no program ran";
    EXPECT_FALSE(fs::exists(ws_.work() + "/" + std::to_string(id_) + ".par"));
  };
  run("file=" + dump + " owner=scott log=" + std::to_string(id_ + 1) + ".par");
  refused("log");
  run("file=" + dump + " owner=scott log=" + ws_.work() + "/./" + std::to_string(id_ + 1) + ".PAR");
  programs = ws_.records().size();
  EXPECT_EQ(programs, 1u) << "another name than the parameter file's";
  task_.SetTaskType(TTaskType::RawExport);
  run("FILE=" + std::to_string(id_ + 1) + ".par parfile=x.par");
  refused("dump");
  // A log made in the run's own dump, under any spelling: the export's dump would hold the log
  // and still be copied as a good one; the import's source would be emptied.
  task_.SetTransferMode(kTransferCopy);
  run("file=" + dump + " owner=scott LOG='" + ws_.folder() + "/./own.dmp'");
  EXPECT_NE(store_.LoadTaskLogContent(id_, lastLog().id)
                .find("could not be prepared: The log file of the task is its dump file " + dump),
            std::string::npos)
      << store_.LoadTaskLogContent(id_, lastLog().id);
  EXPECT_FALSE(fs::exists(copies_ + "/own.dmp"));
  EXPECT_EQ(ws_.records().size(), programs);
  task_.SetTransferMode(kTransferNone);
  // Another task's parameter file is no loss of this run's: the scheduler keeps the two apart.
  task_.SetTaskType(TTaskType::Export);
  run("file=" + dump + " owner=scott log=1.par");
  EXPECT_NE(store_.LoadTaskLogContent(id_, lastLog().id).find(". exporting user SCOTT"), std::string::npos);
}

TEST_F(TaskRunEdgeTest, APasswordTypedInARawCommandIsNeverShownInTheRunsLog) {
  const std::string dump = ws_.folder() + "/t.dmp", own = ws_.folder() + "/tables.par";
  platform::testing::writeFile(own, "tables=emp\n");
  task_.SetTaskType(TTaskType::RawExport);
  const auto shown = [this] {
    std::string text = store_.LoadTaskLogContent(id_, lastLog().id);
    for (const std::string& line : task_.runlog()) text += line;
    return text;
  };
  // Under its keyword, in any case, run as typed or from the list; and standing first.
  for (const std::string& command :
       {"USERID=hr/Tiger9@orcl file=" + dump + " parfile=" + own, "userid='hr/Tiger9' file=" + dump,
        "hr/Tiger9@orcl file=" + dump + " parfile=" + own, "hr/Tiger9 file=" + dump}) {
    run(command);
    const std::string text = shown();
    EXPECT_EQ(text.find("Tiger9"), std::string::npos) << text;
    EXPECT_NE(text.find("hr/***"), std::string::npos) << text;
  }
  // A command without an account is shown as typed.
  run("file=" + dump + " owner=a/b");
  EXPECT_NE(shown().find("owner=a/b"), std::string::npos) << shown();
}

TEST_F(TaskRunEdgeTest, AWorkFolderThatIsNoFolderFailsTheRunWithItsOwnReasonOnly) {
  const std::string file = ws_.folder() + "/not-a-folder";
  platform::testing::writeFile(file, "x");
  context_.settings.workFolder = file;
  run("file=" + ws_.folder() + "/x.dmp owner=scott");
  const std::string content = store_.LoadTaskLogContent(id_, lastLog().id);
  EXPECT_EQ(content,
            "Stage 2 could not be prepared: Cannot open the work folder " + file + ": Not a directory\r\n");
}

TEST_F(TaskRunEdgeTest, TerminateAbortsAHangingUploadAndKeepsTheDump) {
  SilentServer server;
  task_.SetTransferMode(kTransferFtp);
  task_.SetFtpServer(server.host());
  task_.SetFtpUserName("u");
  task_.SetFtpPassword("Hang#Secret");
  task_.SetDeleteFileAfter(1);
  const std::string dump = ws_.folder() + "/hang.dmp";
  bool terminated = false;
  run("file=" + dump + " owner=scott", [&](const platform::PostedEvent& ev) {
    // The program has ended and the upload waits for the server.
    if (ev.message == WM_TASKEVENT && ev.second == kEventFinished && task_.state() == TTaskState::Running) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // into the wait for a greeting
      task_.TerminateTask();
      terminated = true;
    }
  });
  EXPECT_TRUE(terminated);
  EXPECT_TRUE(task_.runlog().back().ends_with(": Terminated\r\n"));
  const std::string content = store_.LoadTaskLogContent(id_, lastLog().id);
  EXPECT_NE(content.find("transfer aborted"), std::string::npos) << content;
  EXPECT_EQ(content.find("Secret"), std::string::npos);
  EXPECT_TRUE(fs::exists(dump));
}

TEST_F(TaskRunEdgeTest, ATaskDestroyedMidRunEndsItsProgramAndRemovesItsParameterFile) {
  auto task = std::make_unique<TExpTask>(&window_);
  task->SetId(77);
  task->SetUName("scott");
  task->SetUPassword("Mid#Secret");
  task->SetIsPreExec(false);
  task->SetIsPostExec(false);
  task->SetCommand("file=" + ws_.folder() + "/mid.dmp owner=scott");
  ASSERT_TRUE(task->ParseCommand());
  ws_.set("VELMARON_STANDIN_DELAY_MS", "600000");
  ws_.makeReadyFifo();
  task->StartTask(context_);
  const std::string parfile = ws_.work() + "/77.par";
  EXPECT_TRUE(fs::exists(parfile));
  const std::string pids = ws_.awaitReady();
  const pid_t pid = std::atoi(pids.c_str());
  ASSERT_GT(pid, 0);
  task.reset();
  EXPECT_FALSE(fs::exists(parfile));
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid)));  // killed and reaped
}

}  // namespace
}  // namespace tasks

namespace tasks {
namespace {

// A new task has both script stages on and no scripts: they are skipped with a line each, and
// only the export program runs.
TEST(TaskRunScriptTest, AScriptStageWithNoScriptIsSkippedWithAStepLine) {
  standin::Workspace ws;
  Window window;
  window.exp = standin::program("exp");
  TTaskStore store(ws.folder() + "/db");
  const TaskRunContext context{{ws.work(), standin::program("sqlplus")}, &window, &store, &window.events};
  TExpTask task(&window);
  ASSERT_TRUE(task.ispreexec() && task.ispostexec());
  task.SetId(42);
  task.SetNode(&window);
  task.SetPostExec("  ");
  task.SetCommand("file=" + ws.folder() + "/a.dmp");
  ASSERT_TRUE(task.ParseCommand());
  task.StartTask(context);
  while (task.state() != TTaskState::Idle) {
    std::optional<platform::PostedEvent> ev = window.events.take(std::chrono::minutes(2));
    ASSERT_TRUE(ev) << "the run hangs at stage " << task.stage();
    task.OnStageEvent(int32_t(ev->second));
  }
  std::vector<std::string> programs;
  for (const standin::Record& r : ws.records()) programs.push_back(fs::path(r.program).filename());
  EXPECT_EQ(programs, std::vector<std::string>{"exp"});
  ASSERT_EQ(task.runlog().size(), 4u);
  EXPECT_TRUE(task.runlog()[0].ends_with(": Pre script skipped: no script file is set"));
  EXPECT_TRUE(task.runlog()[1].find(": User(@) ") != std::string::npos);
  EXPECT_TRUE(task.runlog()[2].ends_with(": Post script skipped: no script file is set"));
  EXPECT_TRUE(task.runlog()[3].ends_with(": Done\r\n"));
  EXPECT_TRUE(window.errors.empty());
}

}  // namespace
}  // namespace tasks
