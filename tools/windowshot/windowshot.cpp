// windowshot --screenshot OUT.png: builds a dump with the dump builder in a temporary folder,
// opens it in the main window (settings kept in that folder too), selects a table and saves a
// picture of the window. Run it under a virtual X server: xvfb-run -a windowshot --screenshot x.png
// --help (or no argument) prints the usage.
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "tools/dumpbuilder/dumpbuilder.h"
#include "ui/services.h"
#include "ui/u_main.h"

namespace {

// Waits for the progress window's "&Ok" and presses it; every other dialog is cancelled.
class WaitForWorkers final : public ui::DialogRunner {
 public:
  int run(QDialog& dialog) override {
    auto* button = dialog.findChild<QPushButton*>("Button1");
    if (!button) return QDialog::Rejected;
    while (button->text() != "&Ok") QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    button->click();
    return dialog.result();
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1 || (argc == 2 && std::string(argv[1]) == "--help")) {
    std::cout << "usage: windowshot --screenshot OUT.png\n";
    return 0;
  }
  if (argc != 3 || std::string(argv[1]) != "--screenshot") {
    std::cerr << "usage: windowshot --screenshot OUT.png\n";
    return 2;
  }
  // Without a display the toolkit would abort without a word.
  const auto unset = [](const char* name) {
    const char* v = std::getenv(name);
    return !v || !*v;
  };
  if (unset("QT_QPA_PLATFORM") && unset("DISPLAY") && unset("WAYLAND_DISPLAY")) {
    std::cerr << "windowshot: no display; set DISPLAY, or QT_QPA_PLATFORM=offscreen\n";
    return 1;
  }
  const std::string out = std::filesystem::absolute(argv[2]).string();
  char folder[] = "/tmp/velmaron-windowshot-XXXXXX";
  if (!::mkdtemp(folder)) {
    std::cerr << "windowshot: cannot make a folder under /tmp\n";
    return 1;
  }
  const std::string dir = folder;
  std::filesystem::create_directories(dir + "/config/velmaron");
  std::ofstream(dir + "/config/velmaron/velmaron.conf") << "[General]\ntipsatstartup=false\n";
  ::setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);

  QApplication app(argc, argv);
  WaitForWorkers runner;
  ui::Services().dialogs = &runner;
  dumpbuilder::Options options;
  options.targetSize = 300 << 10;
  dumpbuilder::buildDump(dir + "/full_export.dmp", options);

  int status = 1;
  {
    ui::TFrmMain window("velmaron-windowshot-" + QString::number(::getpid()));
    window.resize(1100, 680);
    window.show();
    window.findChild<QTabWidget*>("PageControl3")->setCurrentIndex(1);
    window.DumpView().OpenDumpOrAnalysisFile(dir + "/full_export.dmp");
    auto* tree = window.findChild<QTreeWidget*>("Tvdumpfile");
    const auto owners = tree->findItems("SCOTT", Qt::MatchExactly | Qt::MatchRecursive);
    if (!owners.isEmpty() && owners[0]->childCount() > 0) {
      QTreeWidgetItem* tables = owners[0]->child(0);
      owners[0]->setExpanded(true);
      tables->setExpanded(true);
      if (tables->childCount() > 0) tree->setCurrentItem(tables->child(0));
    }
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    status = window.grab().save(QString::fromStdString(out)) ? 0 : 1;
  }
  std::filesystem::remove_all(dir);
  if (status != 0) std::cerr << "windowshot: cannot write " << out << '\n';
  return status;
}
