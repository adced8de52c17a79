// The main window's start (creation, loading every stored task into the tree, first show) with
// 10,000 stored export tasks, against the same start over an empty task store, in one run. Each
// start is timed several times in a fresh window; the medians and their ratio (10,000 tasks /
// none) are printed. The task stores live under VELMARON_BENCH_DIR (default the temporary folder).
#include <QApplication>
#include <QDialog>
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
constexpr int kRounds = 5;

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

// The median of kRounds starts of a window over `folder`, in seconds.
double startTime(const std::string& folder, size_t expected) {
  qputenv("XDG_DATA_HOME", QByteArray::fromStdString(folder));
  std::vector<double> times;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    ui::TFrmMain window(QStringLiteral("velmaron-window-bench-%1").arg(QCoreApplication::applicationPid()));
    window.show();
    QCoreApplication::processEvents();
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!window.Started() || window.TaskView().Tasks().size() != expected) {
      std::fprintf(stderr, "the window did not start with %zu tasks\n", expected);
      std::exit(1);
    }
    window.close();
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

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
  const double none = startTime(empty, 0);
  const double many = startTime(full, kTasks);
  // Where the time of the start with tasks goes: the rows read into task objects, their commands
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
  const auto t2 = std::chrono::steady_clock::now();
  std::printf("of which: rows read %.1f ms, commands parsed %.1f ms\n",
              std::chrono::duration<double>(t1 - t0).count() * 1000,
              std::chrono::duration<double>(t2 - t1).count() * 1000);
  std::printf("window start, no tasks:      %8.1f ms\n", none * 1000);
  std::printf("window start, %d tasks:  %8.1f ms\n", kTasks, many * 1000);
  std::printf("ratio (10,000 tasks / none): %8.2f (goal: at most 2)\n", many / none);
  std::filesystem::remove_all(benchDir());
  return 0;
}
