// The task half of the main window offscreen against the real storage, runners and stand-in
// programs: a stored task run from the window and its log shown; a run terminated, one closed on.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <utility>

#include "tasks/u_task1.h"
#include "tasks/u_taskstore.h"
#include "tests/platform/temp_folder.h"
#include "tests/tasks/silent_server_test_util.h"
#include "tests/tasks/standin_test_util.h"
#include "tests/ui/script_services.h"
#include "ui/programsettings.h"
#include "ui/services.h"
#include "ui/u_main.h"

namespace ui {
namespace {

namespace fs = std::filesystem;

bool gone(pid_t pid) {
  return pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH);
}

size_t filesIn(const std::string& folder) {
  return size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

class TaskWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir.path("config")));
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dir.path("data")));
    qputenv("NLS_LANG", "AMERICAN_AMERICA.US7ASCII");
    Services() = UiServices{&script, &script, &script};
  }
  void TearDown() override {
    Services() = saved;
    qunsetenv("NLS_LANG");
    qunsetenv("XDG_DATA_HOME");
  }

  // An export task of scott's stored through the storage, as an earlier start would have left it;
  // `ftpServer` given, its dump is uploaded there.
  void storeTask(bool scripts, const std::string& schedule = "0", const std::string& ftpServer = "") {
    tasks::TTaskStore store(tasks::TTaskStore::DefaultFolder());
    tasks::TExpTask task(nullptr);
    task.SetName("nightly");
    task.SetTaskType(tasks::TTaskType::Export);
    task.SetUName("scott");
    task.SetUPassword("tiger");
    task.SetConnectString("orcl");
    task.SetCommand("file=" + dump + " owner=scott");
    ASSERT_TRUE(task.ParseCommand()) << task.errortext();
    task.SetIsPreExec(scripts);
    task.SetIsPostExec(false);
    task.SetPreExec("pre.sql");
    task.SetCreateTime(std::chrono::system_clock::now());
    if (!ftpServer.empty()) {
      task.SetTransferMode(tasks::kTransferFtp);
      task.SetFtpServer(ftpServer);
      task.SetFtpUserName("scott");
      task.SetFtpPassword("Up#Secret");
    }
    store.SaveTask(task);
    task.SetScheduleTable(schedule);
    store.UpdateTask(task);
  }

  std::unique_ptr<TFrmMain> newWindow() {
    auto w = std::make_unique<TFrmMain>(instance);
    EXPECT_TRUE(w->Started());
    ProgramSettings& s = Settings();
    s.expcmd = standin::program("exp");
    s.sqlpluscmd = standin::program("sqlplus");
    s.tmpdir = ws.work();
    return w;
  }

  void runSelected(TFrmMain& w) {
    auto* tree = w.findChild<QTreeWidget*>("TvwTasks");
    ASSERT_EQ(tree->topLevelItem(0)->childCount(), 1);
    tree->setCurrentItem(tree->topLevelItem(0)->child(0));
    w.findChild<QAction*>("AcRuntask")->trigger();
  }

  // Runs the window's events until `done` holds, for at most two minutes.
  static bool waitFor(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 120000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
  }

  platform::testing::TempFolder dir;
  standin::Workspace ws;
  testing::Script script;
  UiServices saved = Services();
  QString instance = "velmaron-task-test-" + QString::number(::getpid());
  std::string dump = ws.folder() + "/scott.dmp";
};

TEST_F(TaskWindowTest, StoredTaskRunsFromTheWindowAndItsLogIsShownAgainAfterARestart) {
  storeTask(true);
  {
    auto w = newWindow();
    runSelected(*w);
    tasks::TUniTask* task = w->TaskView().SelectedTask();
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Running; }));
    ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Idle; })) << "the run did not end";

    std::vector<std::string> programs;
    bool crlf = false;
    for (const standin::Record& r : ws.records()) {
      programs.push_back(fs::path(r.program).filename());
      for (const std::string& a : r.args) EXPECT_EQ(a.find("tiger"), std::string::npos) << a;
      for (const std::string& p : r.parfile) crlf = crlf || (p.size() > 2 && p.substr(p.size() - 2) == "\\r");
    }
    EXPECT_EQ(programs, (std::vector<std::string>{"sqlplus", "exp"}));
    EXPECT_TRUE(crlf) << "the parameter file's lines end with CR LF";
    EXPECT_EQ(filesIn(ws.work()), 0u) << "the parameter file is gone";

    auto* logs = w->findChild<QTreeWidget*>("lvtasklogs");
    ASSERT_EQ(logs->topLevelItemCount(), 1);
    EXPECT_EQ(logs->topLevelItem(0)->text(0).toStdString(), dump);
    logs->setCurrentItem(logs->topLevelItem(0));
    EXPECT_TRUE(w->findChild<QPlainTextEdit*>("Mmmainlogs")->toPlainText().contains("Exit code: 0"));
    // The run's dump becomes a new import task of its own, made in the import wizard.
    script.dialogs["FrmImportWizard"] = [&](QDialog& wizard) {
      EXPECT_EQ(wizard.findChild<QLineEdit*>("Eddumpfile")->text().toStdString(), dump);
      wizard.findChild<QLineEdit*>("EdTaskname")->setText("restore");
      wizard.findChild<QLineEdit*>("EdUsername")->setText("scott");
      for (int page = 0; page < 4; ++page) wizard.findChild<QPushButton*>("BtnNext")->click();
      return wizard.result();
    };
    w->findChild<QAction*>("AcImportthisfile")->trigger();
    ASSERT_TRUE(w->TaskView().SelectedTask() &&
                w->TaskView().SelectedTask()->tasktype() == tasks::TTaskType::Import);
    EXPECT_EQ(w->TaskView().Store()->LoadTasks(nullptr).size(), 2u);
    script.answers.push_back(true);
    w->findChild<QAction*>("AcDelTask")->trigger();
    EXPECT_TRUE(waitFor([&] { return w->TaskView().Tasks().size() == 1; }));
    EXPECT_EQ(w->TaskView().Store()->LoadTasks(nullptr).size(), 1u);
    w->close();
  }
  // The same folder at the next start: the task and its log.
  auto w = newWindow();
  auto* tree = w->findChild<QTreeWidget*>("TvwTasks");
  ASSERT_EQ(tree->topLevelItem(0)->childCount(), 1);
  EXPECT_EQ(tree->topLevelItem(0)->child(0)->text(0), "nightly");
  tree->setCurrentItem(tree->topLevelItem(0)->child(0));
  auto* logs = w->findChild<QTreeWidget*>("lvtasklogs");
  ASSERT_EQ(logs->topLevelItemCount(), 1);
  logs->setCurrentItem(logs->topLevelItem(0));
  script.answers.push_back(true);
  w->findChild<QAction*>("AcDeleteTasklog")->trigger();
  EXPECT_EQ(logs->topLevelItemCount(), 0);
  EXPECT_TRUE(w->TaskView().Store()->LoadTaskLogs(w->TaskView().SelectedTask()->id()).empty());
  w->close();
}

// The upload waits for a server that never answers: closing does not wait for it, and the run
// is logged as ended by the closing.
TEST_F(TaskWindowTest, ClosingDuringAHangingUploadAbortsItAndLogsTheRun) {
  SilentServer server;
  storeTask(false, "0", server.host());
  auto w = newWindow();
  runSelected(*w);
  tasks::TUniTask* task = w->TaskView().SelectedTask();
  ASSERT_NE(task, nullptr);
  const int32_t id = task->id();
  // The program has ended and the upload has begun.
  ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Running && fs::exists(dump); }));
  ASSERT_TRUE(waitFor([&] { return ws.records().size() == 1; }));
  QElapsedTimer wait;
  wait.start();
  while (wait.elapsed() < 1000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_EQ(task->state(), tasks::TTaskState::Running) << "the upload should still wait";
  script.answers = {true};
  EXPECT_TRUE(w->close());
  w.reset();
  tasks::TTaskStore store(tasks::TTaskStore::DefaultFolder());
  const std::vector<tasks::TaskLogEntry> logs = store.LoadTaskLogs(id);
  ASSERT_EQ(logs.size(), 1u);
  const std::string content = store.LoadTaskLogContent(id, logs[0].id);
  EXPECT_NE(content.find("transfer aborted"), std::string::npos) << content;
  EXPECT_TRUE(content.ends_with("Terminated: the window was closed\r\n")) << content;
  EXPECT_TRUE(fs::exists(dump));
}

TEST_F(TaskWindowTest, AParameterFileLeftByAnEarlierStartIsRemovedAtStart) {
  storeTask(false);
  int32_t id = 0;
  {
    tasks::TTaskStore store(tasks::TTaskStore::DefaultFolder());
    id = store.LoadTasks(nullptr).at(0)->id();
  }
  fs::create_directories(dir.path("config/velmaron"));
  std::ofstream(dir.path("config/velmaron/velmaron.conf")) << "[General]\ntmpdir=" << ws.work() << "\n";
  std::ofstream(ws.work() + "/" + std::to_string(id) + ".par") << "userid=scott/tiger@orcl\r\n";
  std::ofstream(ws.work() + "/other.par") << "not ours";
  auto w = newWindow();
  EXPECT_FALSE(fs::exists(ws.work() + "/" + std::to_string(id) + ".par"));
  EXPECT_TRUE(fs::exists(ws.work() + "/other.par"));
}

// Two tasks of one dump started together: the second waits for the first, as the slow stand-in
// writer shows, and its log says why.
TEST_F(TaskWindowTest, TwoTasksOfOneDumpStartedTogetherRunOneAfterTheOther) {
  storeTask(false);
  storeTask(false);
  ws.set("VELMARON_STANDIN_WRITE_MS", "700");
  auto w = newWindow();
  auto* tree = w->findChild<QTreeWidget*>("TvwTasks");
  ASSERT_EQ(tree->topLevelItem(0)->childCount(), 2);
  std::vector<tasks::TUniTask*> started;
  for (int i = 0; i < 2; ++i) {
    tree->setCurrentItem(tree->topLevelItem(0)->child(i));
    started.push_back(w->TaskView().SelectedTask());
    w->findChild<QAction*>("AcRuntask")->trigger();
  }
  ASSERT_TRUE(waitFor([&] { return ws.records().size() == 2; }));
  ASSERT_TRUE(waitFor([&] {
    return started[0]->state() == tasks::TTaskState::Idle && started[1]->state() == tasks::TTaskState::Idle;
  }));
  const std::string log = platform::testing::readFile(ws.folder() + "/standin.log");
  EXPECT_EQ(log.find("dump-shared: "), std::string::npos) << log;
  int waited = 0;
  for (tasks::TUniTask* task : started) {
    const std::vector<tasks::TaskLogEntry> logs = w->TaskView().Store()->LoadTaskLogs(task->id());
    ASSERT_EQ(logs.size(), 1u);
    waited += w->TaskView()
                  .Store()
                  ->LoadTaskLogContent(task->id(), logs[0].id)
                  .find("Waiting for task nightly to end: it uses the dump file " + dump + "\r\n") !=
              std::string::npos;
  }
  EXPECT_EQ(waited, 1);
  w->close();
}

// The question before a deletion leaves the event loop running: a scheduled run that starts
// while it is open is not deleted under its runners when the answer is yes.
TEST_F(TaskWindowTest, ATaskThatStartsWhileItsDeletionIsAskedIsNotDeleted) {
  storeTask(false, "300207");  // every day at 02:30
  ws.set("VELMARON_STANDIN_DELAY_MS", "600000");
  ws.makeReadyFifo();
  auto w = newWindow();
  platform::LocalTimeFields now{2026, 12, 7, 2, 29, 50, 0};
  w->TaskView().SetScheduleClock([&now] { return now; });
  tasks::TUniTask* task = w->TaskView().Tasks().at(0);
  const int32_t id = task->id();
  w->TaskView().ScheduleCheckTimer();
  w->TaskView().SelectTask(task);
  script.whileAsked = [&] {
    now.minute = 30;
    w->TaskView().ScheduleCheckTimer();
    ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Running; }));
  };
  script.answers = {true};
  w->findChild<QAction*>("AcDelTask")->trigger();
  script.whileAsked = nullptr;
  EXPECT_EQ(task->state(), tasks::TTaskState::Running);
  EXPECT_EQ(script.messages.back(), "info: Can not delete running task ");
  w->TaskView().SchedulerTimerTick();
  ASSERT_EQ(w->TaskView().Tasks().size(), 1u);
  EXPECT_EQ(w->TaskView().Tasks().at(0), task);
  ws.awaitReady();
  w->findChild<QAction*>("AcTerminaterunningtask")->trigger();
  ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Idle; }));
  w->close();
  w.reset();
  tasks::TTaskStore store(tasks::TTaskStore::DefaultFolder());
  ASSERT_EQ(store.LoadTasks(nullptr).size(), 1u);
  EXPECT_EQ(store.LoadTaskLogs(id).size(), 1u);
}

TEST_F(TaskWindowTest, ScheduledRunIsTerminatedAndClosingMidRunEndsTheProgramsAndLeavesNoParameterFile) {
  storeTask(false, "300207");  // every day at 02:30
  ws.set("VELMARON_STANDIN_DELAY_MS", "600000");
  ws.set("VELMARON_STANDIN_GRANDCHILD", "600000");
  ws.makeReadyFifo();
  auto w = newWindow();
  platform::LocalTimeFields now{2026, 12, 7, 2, 29, 50, 0};
  w->TaskView().SetScheduleClock([&now] { return now; });
  tasks::TUniTask* task = w->TaskView().Tasks().at(0);
  w->TaskView().ScheduleCheckTimer();
  EXPECT_EQ(task->state(), tasks::TTaskState::Idle);
  now.minute = 30;
  w->TaskView().ScheduleCheckTimer();
  ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Running; }));
  w->TaskView().ScheduleCheckTimer();  // a running task is not queued again
  ws.awaitReady();
  w->TaskView().SelectTask(task);
  w->findChild<QAction*>("AcTerminaterunningtask")->trigger();
  ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Idle; }));
  EXPECT_EQ(filesIn(ws.work()), 0u);
  EXPECT_TRUE(w->findChild<QPlainTextEdit*>("MmRunningMsg")->toPlainText().contains("Terminated"));
  EXPECT_EQ(w->findChild<QTreeWidget*>("lvtasklogs")->topLevelItemCount(), 1);

  // Run again and close the window in the middle of the run.
  ws.makeReadyFifo();
  runSelected(*w);
  ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Running; }));
  std::istringstream ready(ws.awaitReady());
  pid_t child = 0, grandchild = 0;
  ready >> child >> grandchild;
  ASSERT_GT(child, 0);
  EXPECT_EQ(filesIn(ws.work()), 1u) << "the run's parameter file";
  // Closing asks first; No keeps the window and the run. A termination request does not ask.
  script.answers = {false};
  EXPECT_FALSE(w->close());
  EXPECT_EQ(script.messages.back(),
            "question: A task is running. Closing the window terminates it. Close anyway?");
  EXPECT_EQ(task->state(), tasks::TTaskState::Running);
  const int32_t id = task->id();
  const size_t asked = script.messages.size();
  w->CloseOnRequest();
  EXPECT_FALSE(w->isVisible());
  EXPECT_EQ(script.messages.size(), asked);
  EXPECT_TRUE(w->TaskView().Tasks().empty());
  EXPECT_EQ(filesIn(ws.work()), 0u) << "no parameter file is left";
  EXPECT_TRUE(waitFor([&] { return gone(child) && gone(grandchild); })) << child << " " << grandchild;
  w.reset();
  QCoreApplication::processEvents();  // the runners' last events find no window
  // The run ended by closing is logged, as the terminated one is.
  tasks::TTaskStore store(tasks::TTaskStore::DefaultFolder());
  const std::vector<tasks::TaskLogEntry> logs = store.LoadTaskLogs(id);
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_TRUE(store.LoadTaskLogContent(id, logs[0].id).ends_with("Terminated: the window was closed\r\n"));
}

// A termination request (or the tray's Exit) that comes while a box or dialog is open: the
// command under it goes on with its task once the loop ends, so the window closes only after
// that. A cancelled wizard puts the task's command back; a run whose program could not start
// ends and is logged.
TEST_F(TaskWindowTest, AClosingRequestWhileABoxOrDialogIsOpenWaitsForTheCommandUnderIt) {
  storeTask(false);
  {
    auto w = newWindow();
    tasks::TUniTask* task = w->TaskView().Tasks().at(0);
    const std::string command = task->command();
    w->TaskView().SelectTask(task);
    script.dialogs["FrmExportWizard"] = [&](QDialog& wizard) {
      ModalLoop loop;
      wizard.findChild<QLineEdit*>("EdTaskname")->setText("changed");
      w->CloseOnRequest();
      return int(QDialog::Rejected);
    };
    w->findChild<QAction*>("AcModifyTask")->trigger();
    ASSERT_EQ(w->TaskView().Tasks().size(), 1u) << "the window closed under the wizard";
    EXPECT_EQ(task->command(), command);
    EXPECT_EQ(task->name(), "nightly");
    EXPECT_TRUE(waitFor([&] { return w->TaskView().Tasks().empty(); })) << "the window did not close";
  }

  auto w = newWindow();
  Settings().expcmd = ws.folder() + "/no/exp";
  tasks::TUniTask* task = w->TaskView().Tasks().at(0);
  const int32_t id = task->id();
  bool closedByRequest = false, boxShown = false;
  script.whileShown = [&] {
    if (std::exchange(boxShown, true)) return;
    QMessageBox box;
    box.setText("Start error");
    QTimer::singleShot(0, &box, [&] {
      w->CloseOnRequest();
      closedByRequest = !box.isVisible();
    });
    // Only for a close that fails, so that the test ends.
    QTimer::singleShot(60000, &box, &QMessageBox::reject);
    ModalLoop loop;
    box.exec();
  };
  runSelected(*w);
  ASSERT_TRUE(waitFor([&] { return w->TaskView().Tasks().empty(); })) << "the window did not close";
  EXPECT_TRUE(closedByRequest);
  ASSERT_TRUE(!script.messages.empty() && script.messages[0].startsWith("error: Start "));
  w.reset();
  tasks::TTaskStore store(tasks::TTaskStore::DefaultFolder());
  const std::vector<tasks::TaskLogEntry> logs = store.LoadTaskLogs(id);
  ASSERT_EQ(logs.size(), 1u);
  const std::string content = store.LoadTaskLogContent(id, logs[0].id);
  EXPECT_NE(content.find("Cannot start " + ws.folder() + "/no/exp"), std::string::npos) << content;
}

// A termination request that comes while the close asks whether to end the running task: the
// request does not wait for the user's answer; the question goes as cancelled and the close ends
// the run and logs it.
TEST_F(TaskWindowTest, ATerminationRequestWhileTheCloseAsksAboutARunningTaskClosesTheWindow) {
  storeTask(false);
  ws.set("VELMARON_STANDIN_DELAY_MS", "600000");
  ws.makeReadyFifo();
  auto w = newWindow();
  tasks::TUniTask* task = w->TaskView().Tasks().at(0);
  const int32_t id = task->id();
  runSelected(*w);
  ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Running; }));
  std::istringstream ready(ws.awaitReady());
  pid_t child = 0;
  ready >> child;
  ASSERT_GT(child, 0);

  bool closedByRequest = false;
  script.answers = {false};
  script.whileAsked = [&] {
    QMessageBox box;
    box.setText("Close anyway?");
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    QTimer::singleShot(0, &box, [&] {
      w->CloseOnRequest();
      closedByRequest = !box.isVisible();
    });
    // Only for a request that is not heard, so that the test ends.
    QTimer::singleShot(60000, &box, &QMessageBox::reject);
    ModalLoop loop;
    box.exec();
  };
  w->findChild<QAction*>("MnuExit")->trigger();
  script.whileAsked = nullptr;
  EXPECT_TRUE(closedByRequest) << "the question stayed open";
  ASSERT_TRUE(w->TaskView().Tasks().empty()) << "the window did not close";
  EXPECT_TRUE(waitFor([&] { return gone(child); })) << child;
  w.reset();
  QCoreApplication::processEvents();
  tasks::TTaskStore store(tasks::TTaskStore::DefaultFolder());
  const std::vector<tasks::TaskLogEntry> logs = store.LoadTaskLogs(id);
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_TRUE(store.LoadTaskLogContent(id, logs[0].id).ends_with("Terminated: the window was closed\r\n"));
}

// The same with the program's own dialogs and boxes, not scripted ones: each holds the close
// while it is open. A close request comes once the Modify wizard, then the box that says a run
// could not start, is open.
TEST_F(TaskWindowTest, TheProgramsOwnDialogsAndBoxesHoldACloseRequestUntilTheCommandUnderThemReturned) {
  storeTask(false);
  auto requestOnceOpen = [](TFrmMain& w) {
    auto* poll = new QTimer(&w);
    QObject::connect(poll, &QTimer::timeout, poll, [&w, poll] {
      if (!QApplication::activeModalWidget()) return;
      poll->stop();
      w.CloseOnRequest();
    });
    poll->start(10);
  };
  {
    auto w = newWindow();
    Services().dialogs = saved.dialogs;
    tasks::TUniTask* task = w->TaskView().Tasks().at(0);
    const std::string command = task->command();
    w->TaskView().SelectTask(task);
    requestOnceOpen(*w);
    w->findChild<QAction*>("AcModifyTask")->trigger();
    ASSERT_EQ(w->TaskView().Tasks().size(), 1u) << "the window closed under the wizard";
    EXPECT_EQ(task->command(), command);
    EXPECT_TRUE(waitFor([&] { return w->TaskView().Tasks().empty(); })) << "the window did not close";
  }

  Services().messages = saved.messages;
  auto w = newWindow();
  Settings().expcmd = ws.folder() + "/no/exp";
  const int32_t id = w->TaskView().Tasks().at(0)->id();
  requestOnceOpen(*w);
  runSelected(*w);
  ASSERT_TRUE(waitFor([&] { return w->TaskView().Tasks().empty(); })) << "the window did not close";
  w.reset();
  tasks::TTaskStore store(tasks::TTaskStore::DefaultFolder());
  const std::vector<tasks::TaskLogEntry> logs = store.LoadTaskLogs(id);
  ASSERT_EQ(logs.size(), 1u);
  const std::string content = store.LoadTaskLogContent(id, logs[0].id);
  EXPECT_NE(content.find("Cannot start " + ws.folder() + "/no/exp"), std::string::npos) << content;
}

}  // namespace
}  // namespace ui
