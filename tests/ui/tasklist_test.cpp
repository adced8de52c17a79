// The task tree of a window over a store of some thousand tasks: the newest show at the start, the
// rest follow from the event loop, and whatever happens meanwhile (a schedule check, a new task, a
// deletion, the close) acts as it would on the whole list.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/veldortb.h"
#include "tasks/u_task1.h"
#include "tasks/u_taskfile.h"
#include "tasks/u_taskstore.h"
#include "tests/platform/temp_folder.h"
#include "tests/tasks/standin_test_util.h"
#include "tests/ui/script_services.h"
#include "ui/programsettings.h"
#include "ui/services.h"
#include "ui/u_main.h"

namespace ui {
namespace {

namespace fs = std::filesystem;

constexpr int kStored = 2000;
const tasks::DateTime kFirstMade(std::chrono::milliseconds(1'700'000'000'000));

class TaskListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir.path("config")));
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dir.path("data")));
    Services() = UiServices{&script, &script, &script};
    // The work folder of the start, where parameter files of an earlier start lie.
    fs::create_directories(dir.path("config/velmaron"));
    std::ofstream(dir.path("config/velmaron/velmaron.conf")) << "[General]\ntmpdir=" << ws.work() << "\n";
    // A copy of the suite's store, made once: storing thousands of tasks takes a while.
    fs::copy(stored_->path("data"), dir.path("data"), fs::copy_options::recursive);
    for (const char* folder : {"data/velmaron", "data/velmaron/db", "data/velmaron/db/work"})
      fs::permissions(dir.path(folder), fs::perms::owner_all);
    std::ofstream(staleParFile()) << "userid=scott/tiger@orcl\r\n";
  }
  static void SetUpTestSuite() {
    stored_ = std::make_unique<platform::testing::TempFolder>();
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(stored_->path("data")));
    storeTasks();
    qunsetenv("XDG_DATA_HOME");
  }
  static void TearDownTestSuite() { stored_.reset(); }
  void TearDown() override {
    Services() = saved;
    qunsetenv("XDG_DATA_HOME");
  }

  // kStored export tasks "task 0" (the oldest) and on, four made at each moment (a task file's
  // are), so that a part of the list could split a moment; in one transaction, for speed. The
  // oldest runs every day at 02:30; the parameter file of its last run is left behind (SetUp).
  static void storeTasks() {
    tasks::TTaskStore store(tasks::TTaskStore::DefaultFolder());
    store.Database().StartTransaction();
    for (int n = 0; n < kStored; ++n) {
      tasks::TExpTask task(nullptr);
      task.SetName("task " + std::to_string(n));
      task.SetUName("scott");
      task.SetUPassword("tiger");
      task.SetConnectString("orcl");
      task.SetCommand("file=t" + std::to_string(n) + ".dmp owner=scott");
      task.SetCreateTime(kFirstMade + std::chrono::seconds(n / 4));
      store.SaveTask(task);
      if (n == 0) {
        oldest = task.id();
        task.SetScheduleTable("300207");
        store.UpdateTask(task);
      }
    }
    store.Database().Commit();
  }
  std::string staleParFile() const { return ws.work() + "/" + std::to_string(oldest) + ".par"; }

  std::unique_ptr<TFrmMain> newWindow() {
    auto w = std::make_unique<TFrmMain>(instance);
    EXPECT_TRUE(w->Started());
    Settings().expcmd = standin::program("exp");
    return w;
  }

  // The names in the tree, top to bottom, as it is now.
  static std::vector<std::string> treeNames(TFrmMain& w) {
    QTreeWidgetItem* root = w.findChild<QTreeWidget*>("TvwTasks")->topLevelItem(0);
    std::vector<std::string> names;
    for (int i = 0; i < root->childCount(); ++i) names.push_back(root->child(i)->text(0).toStdString());
    return names;
  }
  // The names a whole load of the store gives now, in its order.
  static std::vector<std::string> storedNames(TFrmMain& w) {
    std::vector<std::string> names;
    for (const auto& task : w.TaskView().Store()->LoadTasks(nullptr)) names.push_back(task->name());
    return names;
  }

  // Runs the window's events until `done` holds, for at most a minute.
  static bool waitFor(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
  }

  platform::testing::TempFolder dir;
  standin::Workspace ws;
  testing::Script script;
  UiServices saved = Services();
  QString instance = "velmaron-list-test-" + QString::number(::getpid());
  static inline std::unique_ptr<platform::testing::TempFolder> stored_;
  static inline int32_t oldest = 0;
};

TEST_F(TaskListTest, TheNewestShowAtOnceAndTheRestFollowInTheOrderOfAWholeLoad) {
  auto w = newWindow();
  const std::vector<std::string> stored = storedNames(*w);
  ASSERT_EQ(stored.size(), size_t(kStored));
  EXPECT_EQ(stored.front(), "task 1999");
  EXPECT_EQ(stored[1], "task 1998");  // of one moment, the later added first

  // Shown at the start: the newest, a part that ends with a whole moment.
  std::vector<std::string> shown = treeNames(*w);
  EXPECT_FALSE(w->TaskView().TasksLoaded());
  ASSERT_GE(shown.size(), TaskPane::kFirstListPart);
  ASSERT_LT(shown.size(), TaskPane::kFirstListPart + 4);
  EXPECT_EQ(shown.size() % 4, 0u);
  EXPECT_EQ(shown, std::vector<std::string>(stored.begin(), stored.begin() + std::ptrdiff_t(shown.size())));
  EXPECT_TRUE(fs::exists(staleParFile())) << "its task is not shown yet";

  // The rest arrive from the event loop once the window is painted, a part each turn.
  w->show();
  size_t turns = 0;
  ASSERT_TRUE(waitFor([&] {
    ++turns;
    return w->TaskView().TasksLoaded();
  }));
  EXPECT_GT(turns, 1u);
  EXPECT_EQ(treeNames(*w), stored);
  EXPECT_FALSE(fs::exists(staleParFile()));
  EXPECT_EQ(w->TaskView().Tasks().size(), size_t(kStored));
  EXPECT_EQ(w->TaskView().Tasks().back()->id(), oldest);
  EXPECT_TRUE(script.messages.empty()) << script.messages.front().toStdString();
  w->close();
}

TEST_F(TaskListTest, ADueTaskNotYetShownIsQueuedByTheScheduleCheckAndStartedByTheTick) {
  auto w = newWindow();
  Settings().tmpdir = ws.work();
  platform::LocalTimeFields now{2026, 12, 7, 2, 30, 0, 0};
  w->TaskView().SetScheduleClock([&now] { return now; });
  // A tick needs no more than the tasks shown: the ones to come are idle and have no node.
  w->TaskView().SchedulerTimerTick();
  EXPECT_FALSE(w->TaskView().TasksLoaded());

  // The check looks at every task: the rest are shown first.
  w->TaskView().ScheduleCheckTimer();
  EXPECT_TRUE(w->TaskView().TasksLoaded());
  tasks::TUniTask* due = w->TaskView().Tasks().back();
  ASSERT_EQ(due->id(), oldest);
  EXPECT_EQ(due->state(), tasks::TTaskState::Queued);
  EXPECT_FALSE(fs::exists(staleParFile()));
  w->TaskView().SchedulerTimerTick();
  EXPECT_EQ(due->state(), tasks::TTaskState::Running);
  ASSERT_TRUE(waitFor([&] { return due->state() == tasks::TTaskState::Idle; })) << "the run did not end";
  ASSERT_EQ(ws.records().size(), 1u);
  EXPECT_EQ(fs::path(ws.records()[0].program).filename(), "exp");
  EXPECT_EQ(w->TaskView().Store()->LoadTaskLogs(oldest).size(), 1u);
  w->close();
}

TEST_F(TaskListTest, NewTasksImportedTasksAndADeletionWhileTheRestArriveLeaveTheOrderOfAWholeLoad) {
  auto w = newWindow();
  const size_t first = w->TaskView().ListedCount();
  while (w->TaskView().ListedCount() == first) QCoreApplication::processEvents();
  ASSERT_FALSE(w->TaskView().TasksLoaded());
  auto* tree = w->findChild<QTreeWidget*>("TvwTasks");

  // A new task goes on top, selected.
  script.dialogs["FrmNewBlankTask"] = [](QDialog& d) {
    d.findChild<QLineEdit*>("EdTaskname")->setText("made meanwhile");
    d.findChild<QLineEdit*>("EdUsername")->setText("system");
    d.findChild<QPlainTextEdit*>("EdCommandParameters")->setPlainText("file=a.dmp owner=scott");
    d.findChild<QPushButton*>("BtnOk")->click();
    return d.result();
  };
  w->findChild<QAction*>("AcNewBlanktask")->trigger();
  ASSERT_NE(w->TaskView().SelectedTask(), nullptr);
  EXPECT_EQ(w->TaskView().SelectedTask()->name(), "made meanwhile");
  EXPECT_EQ(treeNames(*w).front(), "made meanwhile");

  // Two from a task file go on top too, the last read first.
  {
    tasks::TExpTask a(nullptr), b(nullptr);
    a.SetName("imported a");
    b.SetName("imported b");
    for (tasks::TExpTask* t : {&a, &b}) t->SetCommand("file=b.dmp owner=hr");
    const std::vector<const tasks::TUniTask*> file = {&a, &b};
    std::vector<std::string> cuts;
    std::string error;
    ASSERT_TRUE(tasks::WriteTaskFile(dir.path("two.etf"), file, cuts, error)) << error;
  }
  script.paths = {QString::fromStdString(dir.path("two.etf"))};
  w->findChild<QAction*>("AcLoadTask")->trigger();
  ASSERT_FALSE(w->TaskView().TasksLoaded());
  const std::vector<std::string> top = treeNames(*w);
  EXPECT_EQ(std::vector<std::string>(top.begin(), top.begin() + 3),
            (std::vector<std::string>{"imported b", "imported a", "made meanwhile"}));

  // A shown task deleted: asked, then removed by the tick.
  tree->setCurrentItem(tree->topLevelItem(0)->child(3));
  const std::string deleted = tree->currentItem()->text(0).toStdString();
  script.answers = {true};
  w->findChild<QAction*>("AcDelTask")->trigger();
  w->TaskView().SchedulerTimerTick();
  ASSERT_FALSE(w->TaskView().TasksLoaded());
  std::vector<std::string> names = treeNames(*w);
  EXPECT_EQ(std::find(names.begin(), names.end(), deleted), names.end());

  ASSERT_TRUE(waitFor([&] { return w->TaskView().TasksLoaded(); }));
  names = treeNames(*w);
  EXPECT_EQ(names, storedNames(*w));
  EXPECT_EQ(names.size(), size_t(kStored) + 2);
  EXPECT_EQ(std::count(names.begin(), names.end(), "made meanwhile"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "imported a"), 1);
  EXPECT_EQ(std::find(names.begin(), names.end(), deleted), names.end());
  w->close();
}

TEST_F(TaskListTest, ATaskFileExportedBeforeTheRestArrivedHoldsEveryTask) {
  auto w = newWindow();
  ASSERT_FALSE(w->TaskView().TasksLoaded());
  const std::string file = dir.path("all.etf");
  script.paths = {QString::fromStdString(file)};
  w->findChild<QAction*>("AcSavetask")->trigger();
  EXPECT_TRUE(w->TaskView().TasksLoaded());
  std::vector<std::unique_ptr<tasks::TUniTask>> written;
  std::vector<std::string> notes;
  std::string error;
  ASSERT_TRUE(tasks::ReadTaskFile(file, nullptr, written, notes, error)) << error;
  ASSERT_EQ(written.size(), size_t(kStored));
  EXPECT_EQ(written.front()->name(), "task 0");  // the oldest, written by id
  EXPECT_EQ(written.front()->upassword(), "tiger");
  w->close();
}

// The store failing under the listing (here its blob file cut short behind it) is shown once and
// ends the listing; the tasks shown stay usable and the window closes as ever.
TEST_F(TaskListTest, AFailureOfALaterPartIsShownAndEndsTheListing) {
  auto w = newWindow();
  const size_t first = w->TaskView().ListedCount();
  ASSERT_FALSE(w->TaskView().TasksLoaded());
  // The oldest tasks' blobs lie at the start of the file: all but the first part's are cut away.
  const std::string blobs = tasks::TTaskStore::DefaultFolder() + "/task.BLB";
  ASSERT_TRUE(fs::exists(blobs));
  fs::resize_file(blobs, fs::file_size(blobs) / 2);
  ASSERT_TRUE(waitFor([&] { return w->TaskView().TasksLoaded(); }));
  ASSERT_EQ(script.messages.size(), 1u);
  EXPECT_TRUE(script.messages[0].startsWith("error: ")) << script.messages[0].toStdString();
  const size_t listed = w->TaskView().ListedCount();
  EXPECT_GE(listed, first);
  EXPECT_LT(listed, size_t(kStored));
  EXPECT_EQ(treeNames(*w).size(), listed);
  EXPECT_EQ(w->TaskView().Tasks().size(), listed);
  w->TaskView().ScheduleCheckTimer();
  w->TaskView().SchedulerTimerTick();
  EXPECT_EQ(script.messages.size(), 1u);
  w->close();
  EXPECT_TRUE(w->TaskView().Tasks().empty());
}

TEST_F(TaskListTest, ClosingBeforeTheRestArrivedLeavesTheStoreWholeAndNoParameterFile) {
  {
    auto w = newWindow();
    ASSERT_FALSE(w->TaskView().TasksLoaded());
    w->close();
    EXPECT_TRUE(w->TaskView().Tasks().empty());
    EXPECT_FALSE(fs::exists(staleParFile())) << "closing shows the rest first, as a whole load would have";
    QCoreApplication::processEvents();  // no part arrives after the close
    EXPECT_TRUE(w->TaskView().Tasks().empty());
  }
  {
    // Gone without a close: the pane ends as on a close.
    std::ofstream(staleParFile()) << "userid=scott/tiger@orcl\r\n";
    auto w = newWindow();
    ASSERT_FALSE(w->TaskView().TasksLoaded());
  }
  EXPECT_FALSE(fs::exists(staleParFile()));
  QCoreApplication::processEvents();
  auto w = newWindow();
  ASSERT_TRUE(waitFor([&] { return w->TaskView().TasksLoaded(); }));
  EXPECT_EQ(treeNames(*w), storedNames(*w));
  EXPECT_EQ(treeNames(*w).size(), size_t(kStored));
  EXPECT_TRUE(script.messages.empty()) << script.messages.front().toStdString();
  w->close();
}

}  // namespace
}  // namespace ui
