// wizardshot --screenshots FOLDER: seeds a stand-in Oracle server and points the program at the
// stand-in programs (all in a temporary folder), makes an export task and an import task in the
// wizards as a user would, runs the export, and saves a picture of every wizard page
// (export-wizard-1.png .. export-wizard-4.png, import-wizard-1.png .. import-wizard-4.png), of the
// table picker (choose-tables.png) and of the task view with the run's log (task-view.png). Run it
// under a virtual X server: xvfb-run -a wizardshot --screenshots docs
// --help (or no argument) prints the usage.
#include <unistd.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "oracle/oracall.h"
#include "tasks/u_unitask.h"
#include "ui/programsettings.h"
#include "ui/services.h"
#include "ui/u_main.h"

namespace {

std::string outFolder;
bool failed = false;

void settle() {
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

void shoot(QWidget& widget, const std::string& name) {
  widget.show();
  settle();
  if (!widget.grab().save(QString::fromStdString(outFolder + "/" + name))) {
    std::cerr << "wizardshot: cannot write " << outFolder << "/" << name << '\n';
    failed = true;
  }
}

void type(QObject& parent, const char* name, const QString& text) {
  if (auto* edit = parent.findChild<QLineEdit*>(name)) edit->setText(text);
}

void click(QObject& parent, const char* name) {
  if (auto* button = parent.findChild<QAbstractButton*>(name)) button->click();
}

// Every box is said on the standard error; no question is agreed to.
struct Quiet final : ui::MessageService {
  void error(QWidget*, const QString& text) override { std::cerr << "error: " << text.toStdString() << '\n'; }
  void information(QWidget*, const QString&) override {}
  bool question(QWidget*, const QString&) override { return false; }
};

// Drives each dialog as a user would and takes its pictures.
struct User final : ui::DialogRunner {
  std::string dumpFolder;

  int run(QDialog& dialog) override {
    const QString name = dialog.objectName();
    if (name == "FrmExportWizard") return exportWizard(dialog);
    if (name == "FrmImportWizard") return importWizard(dialog);
    if (name == "Frmchoosetable") {
      auto* users = dialog.findChild<QListWidget*>("lbavailableusers");
      const auto scott = users->findItems("SCOTT", Qt::MatchExactly);
      if (!scott.isEmpty()) users->setCurrentItem(scott.front());
      click(dialog, "btnaddmore");
      shoot(dialog, "choose-tables.png");
      return QDialog::Accepted;
    }
    return QDialog::Rejected;
  }

  int exportWizard(QDialog& d) {
    d.resize(620, 440);
    type(d, "EdTaskname", "Nightly SCOTT tables");
    type(d, "EdTaskDescription", "The tables of SCOTT, every night");
    type(d, "edusername", "system");
    type(d, "edpassword", "manager");
    type(d, "edconnectstring", "ORCL");
    click(d, "BtnConnectDb");
    shoot(d, "export-wizard-1.png");
    click(d, "BtnNext");
    click(d, "RbTable");
    click(d, "BtnChooseObj");
    shoot(d, "export-wizard-2.png");
    click(d, "BtnNext");
    type(d, "eddumpfile", QString::fromStdString(dumpFolder + "/scott%d%h.dmp"));
    shoot(d, "export-wizard-3.png");
    click(d, "BtnNext");
    shoot(d, "export-wizard-4.png");
    click(d, "BtnNext");
    return d.result();
  }

  int importWizard(QDialog& d) {
    d.resize(620, 440);
    type(d, "EdTaskname", "Restore SCOTT into HR");
    type(d, "EdUsername", "system");
    type(d, "EdPassword", "manager");
    type(d, "Edconnectstring", "ORCL");
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dumpFolder, ec))
      type(d, "Eddumpfile", QString::fromStdString(entry.path().string()));
    click(d, "btnchangenls");
    shoot(d, "import-wizard-1.png");
    click(d, "BtnNext");
    click(d, "RbUser");
    type(d, "EdOwners", "SCOTT");
    type(d, "EdFromToUsers", "HR");
    shoot(d, "import-wizard-2.png");
    click(d, "BtnNext");
    click(d, "CbIgnore");
    shoot(d, "import-wizard-3.png");
    click(d, "BtnNext");
    shoot(d, "import-wizard-4.png");
    click(d, "BtnNext");
    return d.result();
  }
};

bool waitFor(const std::function<bool()>& done) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1 || (argc == 2 && std::string(argv[1]) == "--help")) {
    std::cout << "usage: wizardshot --screenshots FOLDER\n";
    return 0;
  }
  if (argc != 3 || std::string(argv[1]) != "--screenshots") {
    std::cerr << "usage: wizardshot --screenshots FOLDER\n";
    return 2;
  }
  outFolder = std::filesystem::absolute(argv[2]).string();
  std::filesystem::create_directories(outFolder);
  char folder[] = "/tmp/velmaron-wizardshot-XXXXXX";
  if (!::mkdtemp(folder)) return 1;
  const std::string dir = folder;
  std::filesystem::create_directories(dir + "/config/velmaron");
  std::ofstream(dir + "/config/velmaron/velmaron.conf") << "[General]\ntipsatstartup=false\n";
  std::filesystem::create_directories(dir + "/work");
  std::filesystem::permissions(dir + "/work", std::filesystem::perms::owner_all);
  ::setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
  ::setenv("NLS_LANG", "AMERICAN_AMERICA.WE8ISO8859P1", 1);
  const std::string seed = std::string(OCI_STANDIN_SEED) + " " + dir + "/server/ORCL " + SHOT_SEED;
  if (std::system(seed.c_str()) != 0) {
    std::cerr << "wizardshot: the stand-in server could not be seeded\n";
    return 1;
  }
  ::setenv("OCI_STANDIN_ROOT", (dir + "/server").c_str(), 1);
  ::setenv("ORACLE_HOME", OCI_STANDIN_HOME, 1);
  oracle::HomeSources.oratabPath = dir + "/oratab";

  QApplication app(argc, argv);
  Quiet quiet;
  User user;
  user.dumpFolder = dir + "/dumps";
  ui::Services().messages = &quiet;
  ui::Services().dialogs = &user;
  {
    ui::TFrmMain window("velmaron-wizardshot-" + QString::number(::getpid()));
    ui::ProgramSettings& s = ui::Settings();
    s.expcmd = std::string(STANDIN_DIR) + "/exp";
    s.impcmd = std::string(STANDIN_DIR) + "/imp";
    s.sqlpluscmd = std::string(STANDIN_DIR) + "/sqlplus";
    s.tmpdir = dir + "/work";
    window.resize(1100, 680);
    window.show();
    window.findChild<QAction*>("AcNewExp")->trigger();
    tasks::TUniTask* task = window.TaskView().SelectedTask();
    if (task) {
      window.findChild<QAction*>("AcRuntask")->trigger();
      waitFor([&] { return task->state() == tasks::TTaskState::Running; });
      waitFor([&] { return task->state() == tasks::TTaskState::Idle; });
    }
    window.findChild<QAction*>("AcNewImp")->trigger();
    if (task) window.TaskView().SelectTask(task);
    auto* logs = window.findChild<QTreeWidget*>("lvtasklogs");
    if (logs && logs->topLevelItemCount() > 0) logs->setCurrentItem(logs->topLevelItem(0));
    shoot(window, "task-view.png");
    window.close();
  }
  std::filesystem::remove_all(dir);
  return failed ? 1 : 0;
}
