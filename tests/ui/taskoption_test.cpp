// The task option dialog and the task-file commands, driven offscreen through their controls.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <span>

#include "engine/storage/veldorfile.h"
#include "platform/faultfs.h"
#include "tasks/u_taskfile.h"
#include "tasks/u_taskstore.h"
#include "tests/platform/temp_folder.h"
#include "tests/tasks/ftp_server_test_util.h"
#include "tests/ui/script_services.h"
#include "ui/u_newblanktask.h"
#include "ui/u_taskfiles.h"
#include "ui/u_taskoption.h"

namespace ui {
namespace {

using platform::testing::TempFolder;

class TaskOptionTest : public ::testing::Test {
 protected:
  void SetUp() override { Services() = UiServices{&script, &script, &script}; }
  void TearDown() override { Services() = saved; }
  template <class T>
  T* find(const char* name) {
    T* child = dialog.findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
  }
  void type(const char* edit, const QString& text) {
    auto* e = find<QLineEdit>(edit);
    e->clear();
    QTest::keyClicks(e, text);
  }

  UiServices saved = Services();
  testing::Script script;
  TFrmTaskOption dialog;
};

TEST_F(TaskOptionTest, ValuesGoBackAsTheDialogShowsThem) {
  auto task = tasks::MakeTaskOfType(0, "full=y", nullptr);
  task->SetName("nightly");
  task->SetScheduleTable("300203");
  dialog.Fill(*task);
  EXPECT_EQ(dialog.windowTitle(), "Task option: nightly");
  EXPECT_EQ(find<QComboBox>("CmbDayofWeek")->currentText(), "Wednesday");

  find<QSpinBox>("EdHour")->setValue(7);
  find<QComboBox>("CmbDayofWeek")->setCurrentIndex(7);
  find<QTabWidget>("PageControl1")->setCurrentIndex(1);
  type("Edpreexec", "  /s/pre.sql ");
  find<QCheckBox>("CbRuna")->setChecked(true);  // on, but no path
  find<QCheckBox>("cbconnectuser")->click();
  type("edusername", " sys ");
  find<QRadioButton>("rbbyftp")->click();
  find<QCheckBox>("cbaftp")->click();
  EXPECT_FALSE(find<QLineEdit>("edftpusername")->isEnabled());
  EXPECT_EQ(find<QLineEdit>("edftppassword")->text(), kAnonymousFtpAddress);
  dialog.accept();
  ASSERT_EQ(dialog.result(), QDialog::Accepted);
  dialog.TakeInto(*task);
  EXPECT_EQ(task->scheduletable(), "300707");
  EXPECT_TRUE(task->ispreexec());
  EXPECT_EQ(task->preexec(), "/s/pre.sql");
  EXPECT_FALSE(task->ispostexec());
  EXPECT_TRUE(task->isexecuser());
  EXPECT_EQ(task->execusername(), " sys ");
  EXPECT_EQ(task->ftpanonymous(), 1);

  find<QCheckBox>("CbSchedule")->click();
  dialog.TakeInto(*task);
  EXPECT_EQ(task->scheduletable(), "0");

  auto imp = tasks::MakeTaskOfType(1, "full=y", nullptr);
  dialog.Fill(*imp);
  EXPECT_FALSE(find<QTabWidget>("PageControl1")->isTabVisible(2));
}

TEST_F(TaskOptionTest, OnlyValidTimesAreTaken) {
  auto task = tasks::MakeTaskOfType(0, "full=y", nullptr);
  task->SetScheduleTable("150906");
  dialog.Fill(*task);
  auto* minute = find<QSpinBox>("EdMinute")->findChild<QLineEdit*>();
  minute->selectAll();
  QTest::keyClicks(minute, "ab");
  EXPECT_EQ(minute->text(), "15");  // letters are refused as typed
  minute->selectAll();
  QTest::keyClick(minute, Qt::Key_Backspace);
  dialog.setResult(QDialog::Rejected);
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_EQ(script.messages, std::vector<QString>{"error: The minute must be a number from 0 to 59."});
  QTest::keyClicks(minute, "75");
  EXPECT_EQ(minute->text(), "7");
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  dialog.TakeInto(*task);
  EXPECT_EQ(task->scheduletable(), "070906");
}

TEST_F(TaskOptionTest, FtpTestLogsInToTheRealServer) {
  auto task = tasks::MakeTaskOfType(0, "full=y", nullptr);
  task->SetTransferMode(tasks::kTransferFtp);
  task->SetFtpServer(FtpTestServer::get().host());
  task->SetFtpUserName(FtpTestServer::kUser);
  task->SetFtpPassword(FtpTestServer::kPassword);
  task->SetFtpRemoteDir("readonly");
  dialog.Fill(*task);
  find<QPushButton>("BtnTest")->click();
  type("edftppassword", "wrong");
  find<QPushButton>("BtnTest")->click();
  ASSERT_EQ(script.messages.size(), 2u);
  EXPECT_EQ(script.messages[0], QString::fromStdString("info: Connected to " + FtpTestServer::get().host() +
                                                       "\r\nCurrent dir is:/readonly"));
  EXPECT_TRUE(script.messages[1].startsWith(
      QString::fromStdString("info: Not connected to " + FtpTestServer::get().host() + "\r\n")));
}

TEST_F(TaskOptionTest, TaskFilesRoundTripThroughTheCommands) {
  TempFolder dir;
  auto a = tasks::MakeTaskOfType(0, "full=y", nullptr);
  a->SetName(std::string(120, 'a'));
  a->SetScheduleTable("300207");
  auto b = tasks::MakeTaskOfType(3, "fromuser=x", nullptr);
  const tasks::TUniTask* list[] = {a.get(), b.get()};
  script.paths = {QString::fromStdString(dir.file("t.etf")), QString::fromStdString(dir.file("t.etf"))};
  EXPECT_TRUE(ExportTasksToFile(nullptr, "", list));
  tasks::TTaskStore store(dir.path("db"));
  auto back = ImportTasksFromFile(nullptr, "", nullptr, store);
  ASSERT_EQ(back.size(), 2u);
  auto stored = store.LoadTasks(nullptr);
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_NE(stored[0]->id(), stored[1]->id());
  EXPECT_EQ(std::min(stored[0]->scheduletable(), stored[1]->scheduletable()), "");  // as shown, not "0000"
  EXPECT_EQ(std::max(stored[0]->scheduletable(), stored[1]->scheduletable()), "300207");
  ASSERT_EQ(script.messages.size(), 2u);
  EXPECT_TRUE(script.messages[0].startsWith("info: Successfully save tasks!\n\nTask \"aaa"));
  EXPECT_TRUE(script.messages[1].contains("name fills all 100 bytes"));
}

// An import that runs out of room at any write (the disk full from there on, or only now and
// then), also after a task's row was inserted and before its schedule was written: that row is
// taken back, or, where even that fails, shown as the store holds it. The tree gets exactly the
// tasks the store holds, each with the schedule stored, and the failure is reported.
TEST_F(TaskOptionTest, AnImportThatRunsOutOfRoomShowsExactlyTheTasksItStored) {
  TempFolder dir;
  std::vector<std::unique_ptr<tasks::TUniTask>> made;
  std::vector<const tasks::TUniTask*> list;
  for (int i = 0; i < 2; ++i) {
    made.push_back(tasks::MakeTaskOfType(i % 2 ? 3 : 0, i % 2 ? "fromuser=x" : "full=y", nullptr));
    made.back()->SetName("task " + std::to_string(i));
    made.back()->SetScheduleTable("3002" + std::to_string(10 + i));
    list.push_back(made.back().get());
  }
  const QString file = QString::fromStdString(dir.file("t.etf"));
  script.paths = {file};
  ASSERT_TRUE(ExportTasksToFile(nullptr, "", list));
  // No schedule reads the same however it was left.
  const auto schedules = [](const auto& tasks) {
    std::map<int32_t, std::string> out;
    for (const auto& t : tasks) out[t->id()] = t->scheduletable() == "0000" ? "" : t->scheduletable();
    return out;
  };
  TempFolder pristine;
  { tasks::TTaskStore made(pristine.path("db")); }
  int takenBack = 0, leftShown = 0;
  for (const bool onward : {true, false}) {
    bool completed = false;
    for (uint64_t k = 1; !completed && k <= 400; ++k) {
      SCOPED_TRACE(std::string(onward ? "full from" : "failing at every") + " write " + std::to_string(k));
      TempFolder storeDir;
      std::filesystem::copy(pristine.path("db"), storeDir.path("db"),
                            std::filesystem::copy_options::recursive);
      std::vector<std::unique_ptr<tasks::TUniTask>> back;
      {
        platform::FaultyFileSystem faulty(platform::FileSystem::local());
        engine::TFileList files(faulty);
        tasks::TTaskStore store(storeDir.path("db"), &files);
        script.paths = {file};
        script.messages.clear();
        faulty.setPlan({platform::Fault::NoSpace, k, true, onward});
        back = ImportTasksFromFile(nullptr, "", nullptr, store);
        faulty.setPlan({});
      }
      tasks::TTaskStore fresh(storeDir.path("db"));
      const auto stored = schedules(fresh.LoadTasks(nullptr));
      EXPECT_EQ(schedules(back), stored);
      completed = std::none_of(script.messages.begin(), script.messages.end(),
                               [](const QString& m) { return m.startsWith("error: "); });
      if (completed) {
        EXPECT_EQ(back.size(), 2u);
        continue;
      }
      const QString error = QString("error: ") + tasks::kSaveTaskError + "\n";
      ASSERT_TRUE(script.messages[0].startsWith(error)) << script.messages[0].toStdString();
      // The insert's failure names the insert; the update's is the engine's own.
      if (script.messages[0].mid(error.size()).startsWith(tasks::kSaveTaskError)) continue;
      if (!back.empty() && back.back()->scheduletable() == "0000")
        ++leftShown;
      else
        ++takenBack;
    }
    EXPECT_TRUE(completed);
  }
  EXPECT_GT(takenBack, 0) << "no update failed after its insert with its row taken back";
  EXPECT_GT(leftShown, 0) << "no row stayed after its update and its removal failed";
}

// An export that runs out of room part way (a file size limit stands in for a full disk) says
// so and leaves the file of the earlier export whole, with nothing of its own beside it.
TEST_F(TaskOptionTest, AnExportThatRunsOutOfRoomKeepsTheEarlierFileAndSaysSo) {
  TempFolder dir;
  std::vector<std::unique_ptr<tasks::TUniTask>> many;
  std::vector<const tasks::TUniTask*> list;
  for (int i = 0; i < 8; ++i) {
    many.push_back(tasks::MakeTaskOfType(0, "full=y", nullptr));
    many.back()->SetName("task " + std::to_string(i));
    list.push_back(many.back().get());
  }
  const QString path = QString::fromStdString(dir.file("t.etf"));
  script.paths = {path, path};
  ASSERT_TRUE(ExportTasksToFile(nullptr, "", std::span(list).first(2)));
  std::ifstream in(dir.file("t.etf"), std::ios::binary);
  const std::string earlier((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(earlier.size(), 3 * tasks::kTaskRecordSize);

  ::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit full = limit;
  limit.rlim_cur = 4 * tasks::kTaskRecordSize + 100;
  ::setrlimit(RLIMIT_FSIZE, &limit);
  const bool saved = ExportTasksToFile(nullptr, "", list);
  ::setrlimit(RLIMIT_FSIZE, &full);
  EXPECT_FALSE(saved);
  ASSERT_EQ(script.messages.size(), 2u);
  EXPECT_TRUE(script.messages[1].startsWith("error: Failed to save tasks!\n" + path))
      << script.messages[1].toStdString();
  std::ifstream again(dir.file("t.etf"), std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>()), earlier);
  EXPECT_EQ(
      std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()),
      1);
}

// A task of an earlier installation, read from its task file, holds texts in a single-byte
// character set and a description of the whole field. Passing it through the option dialog and
// the blank-task dialog without touching a field must store every text byte for byte; a field
// the user changed takes the new text.
TEST_F(TaskOptionTest, TextsOfAnEarlierInstallationSurviveTheFormsByteForByte) {
  TempFolder dir;
  auto old = tasks::MakeTaskOfType(2, "full=y file=/d/bj\xF6rn.dmp", nullptr);
  old->SetName("Bj\xF6rn nightly");
  old->SetDescription(std::string(255, 'd') + "\xE9");
  old->SetUName("scott");
  old->SetUPassword("p\xE4ss ");
  old->SetConnectString("orcl");
  old->SetPreExec("/s/pr\xE9.sql");
  old->SetTransferMode(tasks::kTransferFtp);
  old->SetFtpUserName(
      "\xE5"
      "ke");
  old->SetFtpPassword("f\xFCp");
  old->SetFtpRemoteDir("/up/\xE9t\xE9");
  old->SetCopyFileDir("/c/\xE9");
  const tasks::TUniTask* list[] = {old.get()};
  std::vector<std::string> cuts, notes;
  std::string error;
  ASSERT_TRUE(tasks::WriteTaskFile(dir.file("old.etf"), list, cuts, error)) << error;
  std::vector<std::unique_ptr<tasks::TUniTask>> read;
  ASSERT_TRUE(tasks::ReadTaskFile(dir.file("old.etf"), nullptr, read, notes, error)) << error;
  ASSERT_EQ(read.size(), 1u);
  tasks::TUniTask& task = *read[0];
  ASSERT_EQ(task.description(), old->description());
  // The file carries no script account; the task has one from its row.
  old->SetExecPassword(
      "s\xE9"
      "cret");
  task.SetIsExecUser(true);
  task.SetExecUserName("sys");
  task.SetExecPassword(old->execpassword());

  dialog.Fill(task);
  dialog.accept();
  ASSERT_EQ(dialog.result(), QDialog::Accepted);
  dialog.TakeInto(task);
  for (auto [field, was] : {std::pair{task.preexec(), old->preexec()},
                            {task.execpassword(), old->execpassword()},
                            {task.ftpusername(), old->ftpusername()},
                            {task.ftppassword(), old->ftppassword()},
                            {task.ftpremotedir(), old->ftpremotedir()},
                            {task.copyfiledir(), old->copyfiledir()}})
    EXPECT_EQ(field, was);
  EXPECT_TRUE(task.ispreexec() && task.isexecuser());
  find<QRadioButton>("rbbyftp")->click();
  find<QLineEdit>("edftppassword")->setText(QString::fromUtf8("n\xC3\xA9u"));
  dialog.TakeInto(task);
  EXPECT_EQ(task.ftppassword(), "n\xC3\xA9u") << "a changed field takes what the user typed";
  EXPECT_EQ(task.execpassword(), old->execpassword());

  // The raw command goes through the blank-task dialog, which knows nothing of the option fields.
  TFrmNewBlankTask blank(
      nullptr, [](const OracleLogin&, const std::string&) { return std::string(); }, [] {});
  blank.Fill(&task);
  blank.findChild<QPushButton*>("BtnOk")->click();
  std::unique_ptr<tasks::TUniTask> changed = blank.TakeTask();
  ASSERT_NE(changed, nullptr) << (script.messages.empty() ? "" : script.messages.back().toStdString());
  EXPECT_EQ(changed->name(), old->name());
  EXPECT_EQ(changed->description(), old->description()) << "a description longer than the edit is kept whole";
  EXPECT_EQ(changed->upassword(), old->upassword());
  EXPECT_EQ(changed->command(), old->command());
  EXPECT_TRUE(changed->parsedok());
  EXPECT_EQ(changed->params(), task.params());
}

}  // namespace
}  // namespace ui
