// Runs of export and import tasks over the stand-in programs and the test FTP server: every mix
// of scripts present, a stage that fails, is terminated or whose program is missing, and each
// transfer mode, checked against a small model of what the run must do and store.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ftp_server_test_util.h"
#include "standin_test_util.h"
#include "tasks/u_TRunTask.h"
#include "tasks/u_task1.h"
#include "tasks/u_taskrun.h"
#include "tasks/u_taskstore.h"
#include "tasks/u_transfer.h"

namespace tasks {
namespace {

namespace fs = std::filesystem;

enum class Fault { None, Exit, Kill, MissingScript, MissingMain };

struct Scenario {
  bool pre = false, post = false, import = false;
  int transfer = kTransferNone;
  Fault fault = Fault::None;
  int stage = 0;  // where Exit and Kill strike

  std::string name() const {
    static const char* faults[] = {"none", "exit", "kill", "missing-script", "missing-main"};
    return std::string(import ? "imp" : "exp") + (pre ? "+pre" : "") + (post ? "+post" : "") + " transfer " +
           std::to_string(transfer) + " " + faults[int(fault)] + (stage ? "@" + std::to_string(stage) : "");
  }
};

std::vector<Scenario> allScenarios() {
  std::vector<Scenario> all;
  for (int bits = 0; bits < 8; ++bits) {
    for (int transfer : {kTransferNone, kTransferFtp, kTransferCopy}) {
      Scenario s{bool(bits & 1), bool(bits & 2), bool(bits & 4), transfer};
      std::vector<Scenario> faults{s};
      for (int stage : {1, 2, 3}) {
        if ((stage == 1 && !s.pre) || (stage == 3 && !s.post)) continue;
        for (Fault f : {Fault::Exit, Fault::Kill})
          faults.push_back({s.pre, s.post, s.import, transfer, f, stage});
      }
      faults.push_back({s.pre, s.post, s.import, transfer, Fault::MissingMain});
      if (s.pre || s.post) faults.push_back({s.pre, s.post, s.import, transfer, Fault::MissingScript});
      all.insert(all.end(), faults.begin(), faults.end());
    }
  }
  return all;
}

// The model: the stages a run reaches, whether it ends terminated, and what it must transfer.
struct Expected {
  std::vector<int> reached;  // stages begun, in order
  bool terminated = false;
  int missingStage = 0;  // the stage whose program could not start
  int mainExit = 0;
  bool transfers = false;
  std::string skipLine;
};

Expected model(const Scenario& s) {
  Expected e;
  for (int stage : {1, 2, 3}) {
    if ((stage == 1 && !s.pre) || (stage == 3 && !s.post)) continue;
    e.reached.push_back(stage);
    const bool firstScript = stage != 2 && (stage == 1 || !s.pre);
    if ((s.fault == Fault::MissingMain && stage == 2) || (s.fault == Fault::MissingScript && firstScript)) {
      e.missingStage = stage;
      e.terminated = true;
    }
    if (s.fault == Fault::Kill && s.stage == stage) e.terminated = true;
    if (stage == 2 && s.stage == 2)
      e.mainExit = s.fault == Fault::Exit ? 1 : s.fault == Fault::Kill ? 137 : 0;
    if (stage == 2 && !s.import && s.transfer != kTransferNone) {
      if (e.terminated) {
        e.skipLine = "Transfer skipped: the run was terminated";
      } else if (e.mainExit != 0) {
        e.skipLine = "Transfer skipped: the export program ended with exit code 1";
      } else {
        e.transfers = true;
      }
    }
    if (e.terminated) break;
  }
  return e;
}

class Window : public TaskHost, public TaskRunView, public TaskNode {
 public:
  Window(std::string exp, std::string imp) : exp_(std::move(exp)), imp_(std::move(imp)) {}
  TaskQuery* Query() override { return nullptr; }
  TaskLogTable* LogTable() override { return nullptr; }
  TaskEventSink* EventSink() override { return &sink_; }
  std::string ExportProgram() const override { return exp_; }
  std::string ImportProgram() const override { return imp_; }
  void AddRunningMessage(const std::string& line) override { running.push_back(line); }
  void ClearMainLogs() override {}
  void ShowError(const std::string& text) override { errors.push_back(text); }
  void RunLogged(const TaskLogEntry& entry) override { logged.push_back(entry); }
  bool IsSelected() const override { return true; }

  platform::EventQueue events;
  std::vector<std::string> running, errors;
  std::vector<TaskLogEntry> logged;

 private:
  std::string exp_, imp_;
  TaskEventPoster sink_{events};
};

// The stand-in's switches for the stage that the next event may start.
void switchesFor(const Scenario& s, int stage, standin::Workspace& ws) {
  const bool hit = s.stage == stage;
  if (hit && s.fault == Fault::Exit) {
    ::setenv("VELMARON_STANDIN_EXIT", "1", 1);
  } else {
    ::unsetenv("VELMARON_STANDIN_EXIT");
  }
  if (hit && s.fault == Fault::Kill) {
    ::setenv("VELMARON_STANDIN_DELAY_MS", "600000", 1);
    ws.makeReadyFifo();
  } else {
    ::unsetenv("VELMARON_STANDIN_DELAY_MS");
    ::unsetenv("VELMARON_STANDIN_READY");
  }
}

int nextStage(const Scenario& s, int stage) {
  for (int next = stage + 1; next <= 3; ++next) {
    if ((next == 1 && s.pre) || next == 2 || (next == 3 && s.post)) return next;
  }
  return 0;
}

class TaskRunTest : public ::testing::Test {
 protected:
  void run(const Scenario& s) {
    SCOPED_TRACE(s.name());
    standin::Workspace ws;
    FtpTestServer& ftp = FtpTestServer::get();
    const std::string missing = ws.folder() + "/no/such/program";
    Window window(s.fault == Fault::MissingMain ? missing : standin::program("exp"),
                  s.fault == Fault::MissingMain ? missing : standin::program("imp"));
    TTaskStore store(ws.folder() + "/db");
    TaskRunContext context{
        {ws.work(), s.fault == Fault::MissingScript ? missing : standin::program("sqlplus")},
        &window,
        &store,
        &window.events};
    std::unique_ptr<TUniTask> task;
    if (s.import) {
      task = std::make_unique<TImpTask>(&window);
    } else {
      task = std::make_unique<TExpTask>(&window);
    }
    const std::string dump = ws.folder() + "/full.dmp";
    if (s.import)
      platform::testing::writeFile(dump, std::string("\x03\x00\x01", 3) + "EXPORT:V08.01.07\n" + "x");
    const int32_t id = 7000 + int32_t(runs_++);
    task->SetId(id);
    task->SetNode(&window);
    task->SetUName("scott");
    task->SetUPassword("tiger");
    task->SetConnectString("orcl");
    task->SetCommand("file=" + dump + (s.import ? " full=y" : " owner=scott"));
    ASSERT_TRUE(task->ParseCommand()) << task->errortext();
    task->SetIsPreExec(s.pre);
    task->SetIsPostExec(s.post);
    task->SetPreExec("pre.sql");
    task->SetPostExec("post.sql");
    task->SetTransferMode(s.transfer);
    const std::string remoteDir = "run" + std::to_string(id);
    fs::create_directories(ftp.path("home/" + remoteDir));
    task->SetFtpServer(ftp.host());
    task->SetFtpUserName(FtpTestServer::kUser);
    task->SetFtpPassword(FtpTestServer::kPassword);
    task->SetFtpRemoteDir(remoteDir);
    const std::string copyDir = ws.folder() + "/copies";
    fs::create_directories(copyDir);
    task->SetCopyFileDir(copyDir);

    const Expected e = model(s);
    switchesFor(s, nextStage(s, 0), ws);
    task->StartTask(context);
    while (task->state() != TTaskState::Idle) {
      std::optional<platform::PostedEvent> ev = window.events.take(std::chrono::minutes(2));
      ASSERT_TRUE(ev) << "the run hangs at stage " << task->stage();
      if (ev->message == WM_TRANSFEREVENT) {
        switchesFor(s, nextStage(s, task->stage()), ws);
        task->OnTransferEvent(int32_t(ev->second));
        continue;
      }
      ASSERT_EQ(ev->message, WM_TASKEVENT);
      ASSERT_EQ(ev->first, id);
      if (ev->second == kEventFinished) switchesFor(s, nextStage(s, task->stage()), ws);
      task->OnStageEvent(int32_t(ev->second));
      if (ev->second == kEventStarted && s.fault == Fault::Kill && s.stage == task->stage()) {
        ws.awaitReady();
        task->TerminateTask();
      }
    }
    switchesFor(s, 0, ws);

    // The stages begun, their step lines and the end.
    std::vector<std::string> programs;
    for (const standin::Record& r : ws.records()) programs.push_back(r.program);
    std::vector<std::string> expectedPrograms;
    size_t line = 0;
    const std::vector<std::string>& runlog = task->runlog();
    for (int stage : e.reached) {
      if (stage != e.missingStage) {
        expectedPrograms.push_back(stage != 2 ? "sqlplus" : s.import ? "imp" : "exp");
        const std::string start = stage == 1   ? "Running pre script pre.sql..."
                                  : stage == 3 ? "Running post script post.sql..."
                                               : task->program() + " " + task->command();
        ASSERT_LT(line, runlog.size());
        EXPECT_TRUE(runlog[line].ends_with(") " + start)) << runlog[line];
        EXPECT_NE(runlog[line++].find(": User(scott@orcl) "), std::string::npos);
      }
      ASSERT_LT(line, runlog.size());
      const bool last = stage == e.reached.back();
      EXPECT_TRUE(runlog[line++].ends_with(last && e.terminated ? ": Terminated\r\n" : ": Done\r\n"));
    }
    EXPECT_EQ(line, runlog.size());
    EXPECT_EQ(programs, expectedPrograms);
    EXPECT_EQ(window.errors.size(), e.missingStage ? 1u : 0u);
    if (e.missingStage) {
      EXPECT_EQ(window.errors[0], "Start " + missing + " error(00" + std::to_string(e.missingStage) + ")");
    }

    // The stored log.
    const bool mainReached = std::find(e.reached.begin(), e.reached.end(), 2) != e.reached.end();
    std::vector<TaskLogEntry> logs = store.LoadTaskLogs(id);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].id, task->tasklogid());
    EXPECT_EQ(logs[0].dumpfile, mainReached ? dump : "Unknown");
    EXPECT_EQ(logs[0].filesize, mainReached && fs::exists(dump) ? int64_t(fs::file_size(dump)) : 0);
    EXPECT_EQ(window.logged.size(), mainReached ? 1u : 0u);
    const std::string content = store.LoadTaskLogContent(id, logs[0].id);
    const bool mainRan = mainReached && e.missingStage != 2;
    EXPECT_EQ(content.find("Exit code: " + std::to_string(e.mainExit) + "\r\n") != std::string::npos,
              mainRan);
    if (!mainReached) {
      EXPECT_EQ(content, "");
    }
    EXPECT_EQ(content.find("Transfer skipped") != std::string::npos, !e.skipLine.empty());
    if (!e.skipLine.empty()) {
      EXPECT_NE(content.find(e.skipLine + "\r\n"), std::string::npos);
    }

    // The dump's fate and the parameter file's.
    const std::string remote = ftp.path("home/" + remoteDir + "/full.dmp");
    const std::string copy = copyDir + "/full.dmp";
    EXPECT_EQ(fs::exists(remote), e.transfers && s.transfer == kTransferFtp);
    EXPECT_EQ(fs::exists(copy), e.transfers && s.transfer == kTransferCopy);
    if (e.transfers) {
      EXPECT_EQ(platform::testing::readFile(s.transfer == kTransferFtp ? remote : copy),
                platform::testing::readFile(dump));
      EXPECT_NE(content.find(s.transfer == kTransferFtp ? "End file transfer(ftp)\r\n"
                                                        : "Copy file successfully: "),
                std::string::npos);
    }
    if (s.import) {
      EXPECT_TRUE(fs::exists(dump));
    }
    EXPECT_FALSE(fs::exists(ws.work() + "/" + std::to_string(id) + ".par"));
    EXPECT_EQ(task->mainthread(), nullptr);
  }

  size_t runs_ = 0;
};

TEST_F(TaskRunTest, EveryMixOfStagesFaultsAndTransfersEndsAsTheModelSays) {
  for (const Scenario& s : allScenarios()) {
    run(s);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace tasks
