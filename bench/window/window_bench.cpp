// The main window's start (creation, the newest stored tasks into the tree, first show) with
// 10,000 stored export tasks, against the same start over an empty task store, in one run; then
// the time until all 10,000 are in the tree (the rest arrive from the event loop), the longest
// event-loop turn meanwhile, and a start that puts every task into the tree before the window is
// shown, as the window did before it listed them from the event loop. Each is timed several times
// in a fresh window; the medians and the ratio start / empty start (goal: at most 2) are printed.
// The task stores live under VELMARON_BENCH_DIR (default the temporary folder).
#include <QApplication>
#include <QDialog>
#include <QTreeWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tasks/u_task1.h"
#include "tasks/u_taskstore.h"
#include "ui/services.h"
#include "ui/u_main.h"

namespace {

constexpr int kTasks = 10000;
constexpr int kRounds = 9;

// No box or dialog may wait for a user here.
struct Silent final : ui::MessageService, ui::DialogRunner {
  void error(QWidget*, const QString& text) override {
    std::fprintf(stderr, "error: %s\n", qPrintable(text));
  }
  void information(QWidget*, const QString&) override {}
  bool question(QWidget*, const QString&) override { return false; }
  int run(QDialog&) override { return QDialog::Rejected; }
};

std::string benchDir() {
  const char* s = std::getenv("VELMARON_BENCH_DIR");
  return (s != nullptr ? std::string(s) : std::filesystem::temp_directory_path().string()) +
         "/velmaron-window-bench";
}

// A data folder whose task store holds `count` tasks, as the window finds it at XDG_DATA_HOME.
std::string dataFolder(int count) {
  const std::string folder = benchDir() + "/data" + std::to_string(count);
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  qputenv("XDG_DATA_HOME", QByteArray::fromStdString(folder));
  tasks::TTaskStore store(tasks::TTaskStore::DefaultFolder());
  for (int i = 0; i < count; ++i) {
    tasks::TExpTask task(nullptr);
    task.SetName("nightly export " + std::to_string(i));
    task.SetUName("scott");
    task.SetUPassword("tiger");
    task.SetConnectString("orcl");
    task.SetCommand("file=/srv/dumps/scott%d%h.dmp owner=scott,hr compress=n consistent=y");
    task.ParseCommand();
    task.SetCreateTime(tasks::DateTime(std::chrono::milliseconds(1'700'000'000'000LL + i * 1000LL)));
    store.SaveTask(task);
  }
  return folder;
}

double seconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The end of the task tree's first paint, and how many tasks it showed. Installed on the tree's
// viewport last, it sees the paint first and hands it on to the view's own filter and the widget.
class FirstPaint final : public QObject {
 public:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (done || event->type() != QEvent::Paint) return false;
    done = true;
    object->removeEventFilter(this);
    QCoreApplication::sendEvent(object, event);
    at = std::chrono::steady_clock::now();
    auto* view = static_cast<QTreeWidget*>(object->parent());
    tasks = view->topLevelItemCount() > 0 ? size_t(view->topLevelItem(0)->childCount()) : 0;
    return true;
  }
  bool done = false;
  std::chrono::steady_clock::time_point at;
  size_t tasks = 0;
};

// One start, in seconds from the window's creation.
struct Start {
  double shown = 0;        // shown, the task tree painted with the first part
  double loaded = 0;       // every task in the tree
  double longestTurn = 0;  // the longest event-loop turn until then
  size_t firstPart = 0;    // tasks in the tree at its first paint
};

// A start of a window over `folder`, which holds `expected` tasks. With `wholeFirst` every task
// goes into the tree before the window is shown.
Start startOnce(const std::string& folder, size_t expected, bool wholeFirst) {
  qputenv("XDG_DATA_HOME", QByteArray::fromStdString(folder));
  Start times;
  const auto start = std::chrono::steady_clock::now();
  ui::TFrmMain window(QStringLiteral("velmaron-window-bench-%1").arg(QCoreApplication::applicationPid()));
  if (wholeFirst) window.TaskView().EnsureTasksLoaded();
  FirstPaint painted;
  window.findChild<QTreeWidget*>("TvwTasks")->viewport()->installEventFilter(&painted);
  window.show();
  QCoreApplication::processEvents();
  if (!painted.done) {
    std::fprintf(stderr, "the task tree was not painted\n");
    std::exit(1);
  }
  times.shown = std::chrono::duration<double>(painted.at - start).count();
  times.firstPart = painted.tasks;
  while (!window.TaskView().TasksLoaded()) {
    const auto turn = std::chrono::steady_clock::now();
    QCoreApplication::processEvents();
    times.longestTurn = std::max(times.longestTurn, seconds(turn));
  }
  times.loaded = seconds(start);
  if (!window.Started() || window.TaskView().Tasks().size() != expected) {
    std::fprintf(stderr, "the window did not start with %zu tasks\n", expected);
    std::exit(1);
  }
  window.close();
  return times;
}

// The medians of several starts.
struct Medians {
  std::vector<double> shown, loaded, turns, parts;
  void add(const Start& s) {
    shown.push_back(s.shown);
    loaded.push_back(s.loaded);
    turns.push_back(s.longestTurn);
    parts.push_back(double(s.firstPart));
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(benchDir() + "/config"));
  QApplication app(argc, argv);
  Silent silent;
  ui::Services().messages = &silent;
  ui::Services().dialogs = &silent;

  const std::string empty = dataFolder(0);
  std::printf("storing %d tasks...\n", kTasks);
  const std::string full = dataFolder(kTasks);
  // The three kinds of start take turns, so that a busy machine weighs on each alike.
  Medians none, many, whole;
  for (int round = 0; round < kRounds; ++round) {
    none.add(startOnce(empty, 0, false));
    many.add(startOnce(full, kTasks, false));
    whole.add(startOnce(full, kTasks, true));
  }
  // Where the time of the whole list goes: the rows read into task objects, their commands
  // parsed again.
  std::vector<std::unique_ptr<tasks::TUniTask>> loaded;
  const auto t0 = std::chrono::steady_clock::now();
  {
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(full));
    tasks::TTaskStore store(tasks::TTaskStore::DefaultFolder());
    loaded = store.LoadTaskList(nullptr);
  }
  const auto t1 = std::chrono::steady_clock::now();
  for (auto& task : loaded) task->ParseCommand();
  const double parsed = seconds(t1);
  std::printf("whole list: rows read %.1f ms, commands parsed %.1f ms\n",
              std::chrono::duration<double>(t1 - t0).count() * 1000, parsed * 1000);
  const double noneShown = median(none.shown), manyShown = median(many.shown),
               wholeShown = median(whole.shown);
  std::printf("window start, no tasks:                          %8.1f ms\n", noneShown * 1000);
  std::printf("window start, %d tasks (%.0f in the tree):    %8.1f ms\n", kTasks, median(many.parts),
              manyShown * 1000);
  std::printf("  until all %d tasks are in the tree:         %8.1f ms (longest event-loop turn %.1f ms)\n",
              kTasks, median(many.loaded) * 1000, median(many.turns) * 1000);
  std::printf("window start, all %d tasks before showing:     %8.1f ms\n", kTasks, wholeShown * 1000);
  std::printf("ratio start with %d tasks / no tasks:         %8.2f (goal: at most 2)\n", kTasks,
              manyShown / noneShown);
  std::printf("ratio start, all tasks before showing / no tasks: %8.2f\n", wholeShown / noneShown);
  std::filesystem::remove_all(benchDir());
  return 0;
}
