// The whole road of a task in the main window, offscreen, against real parts: an export task made
// in the wizard against a database's dictionary, given a schedule, a pre-script and an FTP upload
// in the option dialog, run by the schedule at the injected clock's minute through the stand-in
// programs; its log in the window; an import task made over the uploaded dump; a cancelled
// Modify; the tasks through a task file. Then a run terminated, a missing program and a copy; and a
// run after its work folder was removed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "platform/localclock.h"
#include "tasks/u_task1.h"
#include "tasks/u_taskstore.h"
#include "tests/platform/temp_folder.h"
#include "tests/tasks/ftp_server_test_util.h"
#include "tests/tasks/standin_test_util.h"
#include "tests/ui/script_services.h"
#include "tests/ui/standin_oracle.h"
#include "ui/programsettings.h"
#include "ui/services.h"
#include "ui/u_chooseuser.h"
#include "ui/u_main.h"

namespace ui {
namespace {

namespace fs = std::filesystem;

size_t filesIn(const std::string& folder) {
  return size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

template <class T>
T* find(QObject& parent, const char* name) {
  T* child = parent.findChild<T*>(name);
  EXPECT_NE(child, nullptr) << name;
  return child;
}

void type(QObject& parent, const char* edit, const std::string& text) {
  auto* e = find<QLineEdit>(parent, edit);
  e->selectAll();
  QTest::keyClick(e, Qt::Key_Backspace);
  QTest::keyClicks(e, QString::fromStdString(text));
}

void click(QObject& parent, const char* name) {
  find<QAbstractButton>(parent, name)->click();
}

// The dump path the run writes for a "%d%h" name: day and hour of `t`.
std::string resolved(const std::string& folder, const std::string& prefix,
                     const platform::LocalTimeFields& t) {
  char tail[16];
  std::snprintf(tail, sizeof tail, "%02d%02d.dmp", t.day, t.hour);
  return folder + "/" + prefix + tail;
}

class RoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir.path("config")));
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dir.path("data")));
    qputenv("NLS_LANG", "AMERICAN_AMERICA.US7ASCII");
    Services() = UiServices{&script, &script, &script};
    LastOracleLogin() = {};
    testing::UseStandInServer();
    platform::testing::writeFile(preScript, "select 1 from dual;\nexit;\n");
    fs::create_directories(ftp.path("home/" + remote));
  }
  void TearDown() override {
    Services() = saved;
    qunsetenv("NLS_LANG");
    qunsetenv("XDG_DATA_HOME");
  }

  std::unique_ptr<TFrmMain> newWindow() {
    auto w = std::make_unique<TFrmMain>(instance);
    EXPECT_TRUE(w->Started());
    ProgramSettings& s = Settings();
    s.expcmd = standin::program("exp");
    s.impcmd = standin::program("imp");
    s.sqlpluscmd = standin::program("sqlplus");
    s.tmpdir = ws.work();
    w->TaskView().SetOracleLinks(testing::CountedLinks(links));
    return w;
  }

  static void trigger(TFrmMain& w, const char* action) { find<QAction>(w, action)->trigger(); }

  // Runs the window's events until `done` holds, for at most two minutes.
  static bool waitFor(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 120000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
  }

  // "New export" through every page of the wizard: connected, SCOTT picked as owner, then two of
  // SCOTT's tables picked in Table mode, the character sets compared, the dump file named.
  tasks::TUniTask* makeExportTask(TFrmMain& w) {
    script.dialogs["FrmChooseUser"] = [](QDialog& d) {
      auto* users = find<QListWidget>(d, "lbavailableusers");
      EXPECT_EQ(Entries(*users), QStringList({"HR", "SCOTT", "SYS", "SYSTEM"}));
      users->item(1)->setSelected(true);
      click(d, "btnaddone");
      return int(QDialog::Accepted);
    };
    script.dialogs["Frmchoosetable"] = [](QDialog& d) {
      auto* users = find<QListWidget>(d, "lbavailableusers");
      users->setCurrentRow(Entries(*users).indexOf("SCOTT"));
      click(d, "btnaddmore");
      return int(QDialog::Accepted);
    };
    script.dialogs["FrmExportWizard"] = [this](QDialog& d) {
      EXPECT_EQ(find<QLabel>(d, "LbCaption1")->text(), "Create export task: step 1 of 4");
      type(d, "EdTaskname", " nightly ");
      type(d, "edusername", "system");
      type(d, "edpassword", "manager");
      type(d, "edconnectstring", "ORCL");
      click(d, "BtnConnectDb");
      EXPECT_EQ(find<QLabel>(d, "Label13")->text(), "Db: system@ORCL");
      click(d, "BtnNlscompare");
      click(d, "BtnNext");
      click(d, "RbUser");
      click(d, "BtnChooseObj");
      EXPECT_EQ(find<QLineEdit>(d, "EdOwners")->text(), "SCOTT");
      click(d, "RbTable");
      click(d, "BtnChooseObj");
      click(d, "BtnNext");
      type(d, "eddumpfile", dumps + "/Scott%d%h.dmp");
      click(d, "BtnNext");
      EXPECT_EQ(find<QPlainTextEdit>(d, "EdParameters")->toPlainText().toStdString(),
                " file=" + dumps + "/Scott%d%h.dmp  tables=SCOTT.BONUS,SCOTT.DEPT,SCOTT.EMP");
      click(d, "BtnNext");
      return d.result();
    };
    const size_t before = w.TaskView().Tasks().size();
    trigger(w, "AcNewExp");
    EXPECT_EQ(w.TaskView().Tasks().size(), before + 1);
    return w.TaskView().SelectedTask();
  }

  // The option dialog on the selected task: `set` changes its controls, then OK.
  void setOptions(TFrmMain& w, const std::function<void(QDialog&)>& set) {
    script.dialogs["FrmTaskOption"] = [set](QDialog& d) {
      set(d);
      d.accept();
      return d.result();
    };
    trigger(w, "AcModifyOption");
  }

  static void ftpUpload(QDialog& d, const std::string& remote, bool deleteAfter) {
    click(d, "rbbyftp");
    type(d, "edserver", FtpTestServer::get().host());
    type(d, "edftpusername", FtpTestServer::kUser);
    type(d, "edftppassword", FtpTestServer::kPassword);
    type(d, "edremotedir", remote);
    if (deleteAfter != find<QCheckBox>(d, "cbdeletefile")->isChecked()) click(d, "cbdeletefile");
  }

  // Runs the selected task with "Run" and waits for its end. A run that fails at its start may be
  // over between two looks at its state, so its end is known by the log row it leaves.
  void runSelected(TFrmMain& w) {
    tasks::TUniTask* task = w.TaskView().SelectedTask();
    const size_t logged = w.TaskView().Store()->LoadTaskLogs(task->id()).size();
    trigger(w, "AcRuntask");
    ASSERT_TRUE(waitFor([&] {
      return task->state() == tasks::TTaskState::Idle &&
             w.TaskView().Store()->LoadTaskLogs(task->id()).size() > logged;
    })) << "the run did not end";
  }

  platform::testing::TempFolder dir;
  standin::Workspace ws;
  testing::Script script;
  testing::LinkCount links;
  FtpTestServer& ftp = FtpTestServer::get();
  UiServices saved = Services();
  QString instance = "velmaron-road-test-" + QString::number(::getpid());
  std::string dumps = ws.folder() + "/dumps";
  std::string preScript = ws.folder() + "/pre.sql";
  // The upload folder of this test on the server, which every test of the binary shares.
  std::string remote = std::string("road-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(RoadTest, AnExportMadeInTheWizardRunsOnItsScheduleUploadsItsDumpAndIsImportedAgain) {
  auto w = newWindow();
  tasks::TUniTask* task = makeExportTask(*w);
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(script.messages.at(0),
            "info: Client: US7ASCII\r\nServer: WE8ISO8859P1\r\nDifferent character set between client and "
            "server,\r\nSet client side character to the same as sever side!");
  EXPECT_EQ(task->name() + " " + task->uname() + "@" + task->connectstring(), "nightly system@ORCL");
  EXPECT_TRUE(!task->ispreexec() && !task->ispostexec() && !task->isexecuser());
  EXPECT_EQ(task->execconnectstring(), "ORCL");
  EXPECT_TRUE(fs::is_directory(dumps)) << "the wizard makes the dump file's folder";
  EXPECT_EQ(links.open, 0) << "the wizard's connection ended with it";

  // Every day at 02:30 by the injected clock; a pre-script; an FTP upload, the dump deleted after.
  setOptions(*w, [this](QDialog& d) {
    click(d, "CbSchedule");
    find<QSpinBox>(d, "EdMinute")->setValue(30);
    find<QSpinBox>(d, "EdHour")->setValue(2);
    find<QComboBox>(d, "CmbDayofWeek")->setCurrentIndex(7);
    find<QTabWidget>(d, "PageControl1")->setCurrentIndex(1);
    click(d, "CBrunb");
    type(d, "Edpreexec", preScript);
    ftpUpload(d, remote, true);
  });
  EXPECT_EQ(task->scheduletable(), "300207");
  platform::LocalTimeFields now{2026, 12, 7, 2, 29, 50, 0};
  w->TaskView().SetScheduleClock([&now] { return now; });
  w->TaskView().ScheduleCheckTimer();
  EXPECT_EQ(task->state(), tasks::TTaskState::Idle);
  now.minute = 30;
  const platform::LocalTimeFields before = platform::localNow();
  w->TaskView().ScheduleCheckTimer();
  ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Running; }));
  ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Idle; })) << "the run did not end";
  const platform::LocalTimeFields after = platform::localNow();
  std::string dump = resolved(dumps, "scott", before);
  if (!fs::exists(ftp.path("home/" + remote + "/" + fs::path(dump).filename().string())))
    dump = resolved(dumps, "scott", after);
  const std::string uploaded = ftp.path("home/" + remote + "/" + fs::path(dump).filename().string());

  // The programs, the parameter file and its end, the upload and the local dump's deletion.
  const std::vector<standin::Record> runs = ws.records();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(fs::path(runs[0].program).filename(), "sqlplus");
  EXPECT_NE(std::find(runs[0].stdinLines.begin(), runs[0].stdinLines.end(), "@" + preScript),
            runs[0].stdinLines.end());
  EXPECT_EQ(fs::path(runs[1].program).filename(), "exp");
  const std::vector<std::string> parfile = runs[1].parfile;
  EXPECT_EQ(parfile, (std::vector<std::string>{"userid=system/manager@ORCL\\r", "file=" + dump + "\\r", "\\r",
                                               "tables=SCOTT.BONUS,SCOTT.DEPT,SCOTT.EMP\\r"}));
  EXPECT_EQ(filesIn(ws.work()), 0u) << "the parameter file is gone";
  ASSERT_TRUE(fs::exists(uploaded));
  EXPECT_GT(fs::file_size(uploaded), 0u);
  EXPECT_FALSE(fs::exists(dump)) << "deleted after the upload";

  // The stored log row and the log view.
  const std::vector<tasks::TaskLogEntry> logs = w->TaskView().Store()->LoadTaskLogs(task->id());
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0].dumpfile, dump);
  EXPECT_EQ(logs[0].filesize, int64_t(fs::file_size(uploaded)));
  w->TaskView().SelectTask(task);
  auto* list = find<QTreeWidget>(*w, "lvtasklogs");
  ASSERT_EQ(list->topLevelItemCount(), 1);
  EXPECT_EQ(list->topLevelItem(0)->text(0).toStdString(), dump);
  list->setCurrentItem(list->topLevelItem(0));
  const QString shown = find<QPlainTextEdit>(*w, "Mmmainlogs")->toPlainText();
  EXPECT_TRUE(shown.contains("Exit code: 0") && shown.contains("End file transfer(ftp)"))
      << shown.toStdString();

  // An import task over the uploaded dump: its character set from the header, compared.
  script.paths.push_back(QString::fromStdString(uploaded));
  script.dialogs["FrmImportWizard"] = [](QDialog& d) {
    EXPECT_EQ(find<QLabel>(d, "LbCaption4")->text(), "Create import task: step 4 of 4");
    type(d, "EdTaskname", "restore");
    EXPECT_EQ(find<QLineEdit>(d, "EdUsername")->text(), "system") << "the last account is offered";
    click(d, "BtnBrowse");
    EXPECT_EQ(find<QLabel>(d, "lbfilenls")->text(), "US7ASCII (ASCII 7-bit American)");
    click(d, "btngetnls");
    click(d, "BtnNext");
    click(d, "RbUser");
    type(d, "EdOwners", "SCOTT");
    type(d, "EdFromToUsers", "HR");
    for (int page = 1; page < 4; ++page) click(d, "BtnNext");
    return d.result();
  };
  trigger(*w, "AcNewImp");
  EXPECT_EQ(script.messages.back(),
            "info: Dumpfile: US7ASCII (ASCII 7-bit American)\r\nServer: WE8ISO8859P1");
  tasks::TUniTask* restore = w->TaskView().SelectedTask();
  ASSERT_TRUE(restore && restore->tasktype() == tasks::TTaskType::Import);
  runSelected(*w);
  const standin::Record imp = ws.records().back();
  EXPECT_EQ(fs::path(imp.program).filename(), "imp");
  EXPECT_EQ(imp.parfile,
            (std::vector<std::string>{"userid=system/manager@ORCL\\r", "file=" + uploaded + "\\r",
                                      "fromuser=SCOTT\\r", "touser=HR\\r", "\\r"}));

  // Modify, change everything, Cancel: the next run writes the same parameter file. The task's
  // minute comes while the wizard is open: it is queued, and starts only once the wizard is closed.
  w->TaskView().SelectTask(task);
  setOptions(*w, [](QDialog& d) { click(d, "rbnone"); });
  const std::string command = task->command();
  script.dialogs["FrmExportWizard"] = [&](QDialog& d) {
    EXPECT_EQ(find<QLabel>(d, "LbCaption2")->text(), "Modify export task: step 2 of 4");
    EXPECT_EQ(find<QLineEdit>(d, "EdTaskname")->text(), "nightly");
    click(d, "BtnNext");
    EXPECT_TRUE(find<QRadioButton>(d, "RbTable")->isChecked());
    click(d, "RbFull");
    click(d, "BtnNext");
    click(d, "CbRows");
    type(d, "eddumpfile", "/elsewhere/other.dmp");
    task->SetState(tasks::TTaskState::Queued);
    w->TaskView().SchedulerTimerTick();
    EXPECT_EQ(task->state(), tasks::TTaskState::Queued);
    click(d, "BtnCancel");
    return d.result();
  };
  trigger(*w, "AcModifyTask");
  EXPECT_EQ(task->command(), command);
  EXPECT_TRUE(task->parsedok());
  ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Running; }));
  ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Idle; })) << "the run did not end";
  EXPECT_EQ(ws.records().back().parfile, parfile);

  // Both tasks out to a task file and in again.
  const QString taskFile = QString::fromStdString(ws.folder() + "/all.etf");
  script.paths.push_back(taskFile);
  trigger(*w, "AcSavetask");
  script.paths.push_back(taskFile);
  trigger(*w, "AcLoadTask");
  const std::vector<tasks::TUniTask*> all = w->TaskView().Tasks();
  ASSERT_EQ(all.size(), 4u);
  for (const tasks::TUniTask* original : {task, restore}) {
    const auto copy = std::find_if(all.begin(), all.end(), [&](const tasks::TUniTask* t) {
      return t != original && t->name() == original->name();
    });
    ASSERT_NE(copy, all.end()) << original->name();
    EXPECT_EQ((*copy)->command(), original->command());
    EXPECT_EQ((*copy)->tasktype(), original->tasktype());
    EXPECT_EQ((*copy)->params(), original->params());
    EXPECT_NE((*copy)->id(), original->id());
  }
  w->close();
}

TEST_F(RoadTest, ARunTerminatedAMissingProgramAndACopyInsteadOfAnUpload) {
  auto w = newWindow();
  tasks::TUniTask* task = makeExportTask(*w);
  ASSERT_NE(task, nullptr);
  setOptions(*w, [this](QDialog& d) { ftpUpload(d, remote, false); });

  // Terminated in the middle of the export: nothing is uploaded.
  ws.set("VELMARON_STANDIN_DELAY_MS", "600000");
  ws.makeReadyFifo();
  trigger(*w, "AcRuntask");
  ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Running; }));
  ws.awaitReady();
  trigger(*w, "AcTerminaterunningtask");
  ASSERT_TRUE(waitFor([&] { return task->state() == tasks::TTaskState::Idle; }));
  ::unsetenv("VELMARON_STANDIN_DELAY_MS");
  ::unsetenv("VELMARON_STANDIN_READY");
  EXPECT_TRUE(find<QPlainTextEdit>(*w, "MmRunningMsg")->toPlainText().contains("Terminated"));
  EXPECT_EQ(filesIn(ftp.path("home/" + remote)), 0u);
  EXPECT_EQ(filesIn(ws.work()), 0u);
  std::vector<tasks::TaskLogEntry> logs = w->TaskView().Store()->LoadTaskLogs(task->id());
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_NE(w->TaskView()
                .Store()
                ->LoadTaskLogContent(task->id(), logs[0].id)
                .find("Transfer skipped: the run was terminated"),
            std::string::npos);

  // The export program is missing: the start error, and a log of the run.
  Settings().expcmd = ws.folder() + "/no/exp";
  const size_t shown = script.messages.size();
  runSelected(*w);
  ASSERT_EQ(script.messages.size(), shown + 1);
  // The box names the stage and gives the reason.
  EXPECT_EQ(script.messages.back().toStdString(), "error: Start " + ws.folder() +
                                                      "/no/exp error(002)\nCannot start " + ws.folder() +
                                                      "/no/exp: No such file or directory");
  EXPECT_EQ(w->TaskView().Store()->LoadTaskLogs(task->id()).size(), 2u);

  // A copy to a folder instead of the upload.
  Settings().expcmd = standin::program("exp");
  const std::string copies = ws.folder() + "/copies";
  fs::create_directories(copies);
  setOptions(*w, [&copies](QDialog& d) {
    click(d, "rbbydir");
    type(d, "eddestdir", copies);
  });
  runSelected(*w);
  ASSERT_EQ(filesIn(copies), 1u);
  const fs::path copy = fs::directory_iterator(copies)->path();
  EXPECT_EQ(platform::testing::readFile(copy.string()),
            platform::testing::readFile(dumps + "/" + copy.filename().string()));
  EXPECT_EQ(filesIn(ftp.path("home/" + remote)), 0u);
  w->close();
}

TEST_F(RoadTest, RawTasksAreMadeAndChangedInTheBlankTaskDialogAndABadCommandBecomesRaw) {
  auto w = newWindow();
  auto blank = [](const char* name, bool import, const char* command) {
    return [=](QDialog& d) {
      EXPECT_EQ(d.objectName(), "FrmNewBlankTask");
      type(d, "EdTaskname", name);
      type(d, "EdUsername", "system");
      if (import) click(d, "Rbimport");
      find<QPlainTextEdit>(d, "EdCommandParameters")->setPlainText(command);
      click(d, "BtnOk");
      return d.result();
    };
  };
  script.dialogs["FrmNewBlankTask"] = blank("raw", false, "file=a.dmp owner=scott");
  trigger(*w, "AcNewBlanktask");
  tasks::TUniTask* raw = w->TaskView().SelectedTask();
  ASSERT_TRUE(raw && raw->tasktype() == tasks::TTaskType::RawExport && raw->parsedok());
  EXPECT_TRUE(!raw->ispreexec() && !raw->ispostexec());
  setOptions(*w, [this](QDialog& d) { ftpUpload(d, remote, true); });

  // Changed into an import: a new object of the other kind, which keeps the transfer and the id.
  const int32_t id = raw->id();
  script.dialogs["FrmNewBlankTask"] = [](QDialog& d) {
    EXPECT_EQ(find<QLineEdit>(d, "EdTaskname")->text(), "raw");
    EXPECT_TRUE(find<QRadioButton>(d, "Rbexport")->isChecked());
    click(d, "Rbimport");
    find<QPlainTextEdit>(d, "EdCommandParameters")->setPlainText("file=a.dmp fromuser=scott");
    type(d, "EdTaskname", "raw import");
    click(d, "BtnOk");
    return d.result();
  };
  trigger(*w, "AcModifyTask");
  tasks::TUniTask* changed = w->TaskView().SelectedTask();
  ASSERT_TRUE(changed && changed->tasktype() == tasks::TTaskType::RawImport);
  EXPECT_EQ(changed->id(), id);
  EXPECT_EQ(changed->transfermode(), tasks::kTransferFtp);
  EXPECT_EQ(find<QTreeWidget>(*w, "TvwTasks")->currentItem()->text(0), "raw import");
  const std::vector<std::unique_ptr<tasks::TUniTask>> stored = w->TaskView().Store()->LoadTasks(nullptr);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]->name() + " " + stored[0]->command(), "raw import file=a.dmp fromuser=scott");
  EXPECT_EQ(int(stored[0]->tasktype()), int(tasks::TTaskType::RawImport));

  // A stored export whose command does not parse is offered as a raw task from then on.
  tasks::TExpTask bad(nullptr);
  bad.SetName("bad");
  bad.SetTaskType(tasks::TTaskType::Export);
  bad.SetCommand("file=a.dmp bogus=1");
  bad.SetCreateTime(std::chrono::system_clock::now());
  w->TaskView().Store()->SaveTask(bad);
  w->close();
  w.reset();
  w = newWindow();
  const std::vector<tasks::TUniTask*> all = w->TaskView().Tasks();
  const auto it = std::find_if(all.begin(), all.end(), [](auto* t) { return t->name() == "bad"; });
  const auto rawAgain =
      std::find_if(all.begin(), all.end(), [](auto* t) { return t->name() == "raw import"; });
  ASSERT_NE(rawAgain, all.end());
  EXPECT_EQ((*rawAgain)->command(), "file=a.dmp fromuser=scott") << "a raw command stays as typed";
  EXPECT_TRUE((*rawAgain)->parsedok());
  ASSERT_NE(it, all.end());
  w->TaskView().SelectTask(*it);
  trigger(*w, "AcModifyTask");
  EXPECT_EQ(script.messages.back(), "info: file=a.dmp bogus=1\nInvalid export command");
  EXPECT_EQ((*it)->tasktype(), tasks::TTaskType::RawExport);
  script.dialogs["FrmNewBlankTask"] = [](QDialog& d) {
    EXPECT_EQ(find<QPlainTextEdit>(d, "EdCommandParameters")->toPlainText(), "file=a.dmp bogus=1");
    click(d, "BtnCancel");
    return d.result();
  };
  trigger(*w, "AcModifyTask");
  EXPECT_EQ(w->TaskView().Tasks().size(), 2u);
  w->close();
}

}  // namespace
}  // namespace ui

namespace ui {
namespace {

TEST_F(RoadTest, ARunAfterItsWorkFolderWasRemovedRunsInTheFolderAStartWouldTake) {
  auto w = newWindow();
  tasks::TUniTask* task = makeExportTask(*w);
  ASSERT_NE(task, nullptr);
  // A temporary-file cleaner took the work folder while the window ran.
  const std::string temp = dir.path("tmp");
  fs::create_directories(temp);
  const QByteArray savedTemp = qgetenv("TMPDIR");
  qputenv("TMPDIR", QByteArray::fromStdString(temp));
  fs::remove_all(ws.work());
  runSelected(*w);
  if (savedTemp.isNull())
    qunsetenv("TMPDIR");
  else
    qputenv("TMPDIR", savedTemp);
  const std::vector<tasks::TaskLogEntry> logs = w->TaskView().Store()->LoadTaskLogs(task->id());
  ASSERT_EQ(logs.size(), 1u);
  const std::string content = w->TaskView().Store()->LoadTaskLogContent(task->id(), logs[0].id);
  EXPECT_NE(content.find("Exit code: 0"), std::string::npos) << content;
  EXPECT_TRUE(fs::exists(logs[0].dumpfile)) << logs[0].dumpfile;
  ASSERT_EQ(ws.records().size(), 1u);
  EXPECT_EQ(ws.records()[0].cwd, temp + "/velmaron-" + std::to_string(::getuid()));
  EXPECT_EQ(Settings().tmpdir, ws.work()) << "the setting stays the user's";
  w->close();
}

}  // namespace
}  // namespace ui
