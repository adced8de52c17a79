#include "ui/u_main.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <system_error>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QSplitter>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

#include "platform/processinfo.h"
#include "platform/processlock.h"
#include "tasks/u_common.h"
#include "tasks/u_oraenv.h"
#include "ui/programsettings.h"
#include "ui/services.h"
#include "ui/smallforms.h"
#include "ui/u_changeregnls.h"
#include "ui/u_sysoption.h"
#include "ui/windowtext.h"

namespace ui {

namespace {

// What a running instance sends back at once on a hand-over.
constexpr char kHandOverReply = '\x06';

const QString kWebAddress = QStringLiteral("https://velmaron.example.org/");
const QString kRegistryError =
    QStringLiteral("Save to Registry error, check if you have enough privilege to write to registry");

}  // namespace

QString InstanceName() {
  // In the user's own runtime folder, where no other user can take the name first.
  return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + "/" + kProgramTitle +
         QString::number(platform::currentUserId());
}

bool HandOverToRunningInstance(const QString& name, QString& error, std::chrono::milliseconds wait) {
  error.clear();
  const QDeadlineTimer deadline(wait);
  QLocalSocket socket;
  // The wait runs the event loop, so that an instance in this same process answers too.
  QEventLoop loop;
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  QObject::connect(&socket, &QLocalSocket::connected, &loop, &QEventLoop::quit);
  QObject::connect(&socket, &QLocalSocket::readyRead, &loop, &QEventLoop::quit);
  QObject::connect(&socket, &QLocalSocket::disconnected, &loop, &QEventLoop::quit);
  QObject::connect(&socket, &QLocalSocket::errorOccurred, &loop, &QEventLoop::quit);
  auto waitWhile = [&](auto pending) {
    while (pending() && !deadline.hasExpired()) {
      timer.start(std::max<qint64>(1, deadline.remainingTime()));
      loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
  };
  const QString seconds = QString::number(double(wait.count()) / 1000.0);

  socket.connectToServer(name);
  waitWhile([&] { return socket.state() == QLocalSocket::ConnectingState; });
  if (socket.state() == QLocalSocket::ConnectingState) {
    // The socket is there and listening, but its queue of connections is full: nobody takes them.
    socket.abort();
    error = QStringLiteral(
                "The running Velmaron for Oracle did not take the connection within %1 seconds; it "
                "may be hung.")
                .arg(seconds);
    return true;
  }
  // Nobody listens: no socket, or one left by an instance that ended without removing it.
  if (socket.state() != QLocalSocket::ConnectedState) return false;

  // The connection itself is the message; the running instance answers it at once.
  waitWhile([&] { return socket.bytesAvailable() == 0 && socket.state() == QLocalSocket::ConnectedState; });
  char reply = 0;
  if (socket.bytesAvailable() > 0 && socket.read(&reply, 1) == 1) {
    if (reply == kHandOverReply) {
      socket.disconnectFromServer();
      return true;
    }
    error = QStringLiteral("The program listening under %1 did not answer as Velmaron for Oracle does.")
                .arg(name);
  } else if (socket.state() != QLocalSocket::ConnectedState) {
    error = QStringLiteral("The running Velmaron for Oracle closed the connection without answering it.");
  } else {
    error =
        QStringLiteral("The running Velmaron for Oracle did not answer within %1 seconds; it may be hung.")
            .arg(seconds);
  }
  socket.abort();
  return true;
}

void AnswerHandOver(QLocalSocket& socket) {
  QObject::connect(&socket, &QLocalSocket::disconnected, &socket, &QObject::deleteLater);
  // Even to a sender that has given up waiting: the write fails quietly and the socket closes.
  socket.write(&kHandOverReply, 1);
  socket.flush();
  socket.disconnectFromServer();
}

QLocalServer* ListenForLaterInstances(const QString& name, QObject* parent, bool& handedOver, QString* error,
                                      std::chrono::milliseconds wait) {
  handedOver = false;
  // Between this start's look for an answer and its listen, no other start may listen: the
  // socket it found stale could then be that start's new one.
  const QString socketPath = QFileInfo(name).isAbsolute() ? name : QDir::tempPath() + "/" + name;
  platform::ProcessLock turn;
  try {
    for (int waited = 0; !turn.acquire((socketPath + ".lock").toStdString()) && waited < 5000; waited += 10)
      QThread::msleep(10);
  } catch (const std::system_error&) {
    // No lock file can be made there: the listen below tells whether the name can be taken at all.
  }
  // Asked before the listen, which would take the name over from whoever has it.
  QString notAnswered;
  if (HandOverToRunningInstance(name, notAnswered, wait)) {
    handedOver = true;
    if (error) *error = notAnswered;
    return nullptr;
  }
  // Nobody answers: a socket left by a crashed instance, if any.
  QLocalServer::removeServer(name);
  auto server = std::make_unique<QLocalServer>(parent);
  server->setSocketOptions(QLocalServer::UserAccessOption);
  return server->listen(name) ? server.release() : nullptr;
}

TFrmMain::TFrmMain(const QString& instanceName, std::chrono::milliseconds handOverWait) {
  setObjectName("FrmMain");
  // An instance that was told nothing is said so; this start ends either way.
  auto handOver = [this](const QString& error) {
    if (error.isEmpty())
      handedOver_ = true;
    else
      Services().messages->error(this, "Error on ActivatePreviousInstance: " + error);
  };
  try {
    setWindowTitle(kProgramTitle);
    QString error;
    if (HandOverToRunningInstance(instanceName, error, handOverWait)) {
      handOver(error);
      return;
    }
    setWindowIcon(style()->standardIcon(QStyle::SP_DriveHDIcon));
    BuildActions();
    BuildLayout();
    BuildMenus();
    BuildTray();
    bool answered = false;
    instanceServer_ = ListenForLaterInstances(instanceName, this, answered, &error, handOverWait);
    if (answered) {
      handOver(error);
      return;
    }
    if (instanceServer_)
      connect(instanceServer_, &QLocalServer::newConnection, this, [this] {
        // Answered first, so that the later start ends at once, whatever the restore takes.
        while (QLocalSocket* socket = instanceServer_->nextPendingConnection()) AnswerHandOver(*socket);
        RestoreFromTray();
      });

    FrmSysOption = std::make_unique<TFrmSysOption>(this);
    FrmAboutBox = std::make_unique<TFrmAboutBox>(this);
    frmchangenls = std::make_unique<Tfrmchangenls>(this);

    tasks::TOraEnv env;
    env.ReadOracleHome();
    env.DetectToolNames();
    const std::string unread = ReadSettings(ToolNames{env.ScriptTool(), env.ExportTool(), env.ImportTool()});
    if (!unread.empty()) Services().messages->warning(this, QString::fromStdString(unread));
    tasks_->Open();
    tipsAtStartup_ = Settings().tipsatstartup;
    showTipsOnActivate_ = true;
    SetTaskViewActive(true);
    started_ = true;
  } catch (const std::exception& e) {
    Services().messages->error(this, QStringLiteral("System error while starting Velmaron for Oracle. (%1)")
                                         .arg(QString::fromUtf8(e.what())));
  }
}

TFrmMain::~TFrmMain() = default;

QAction* TFrmMain::NewAction(const char* name, const QString& caption, const QString& hint) {
  auto* action = new QAction(caption, this);
  action->setObjectName(name);
  if (!hint.isEmpty()) {
    action->setToolTip(hint);
    action->setStatusTip(hint);
  }
  return action;
}

void TFrmMain::BuildActions() {
  TaskActions& t = taskActions_;
  t.AcNewBlanktask = NewAction("AcNewBlanktask", "New", "New task");
  t.AcNewExp = NewAction("AcNewExp", "New export", "New export task");
  t.AcNewImp = NewAction("AcNewImp", "New import", "New import task");
  t.AcRuntask = NewAction("AcRuntask", "Run", "Run task");
  t.AcTerminaterunningtask = NewAction("AcTerminaterunningtask", "Terminate", "Stop task");
  t.AcModifyTask = NewAction("AcModifyTask", "Modify", "Modify task");
  t.AcDelTask = NewAction("AcDelTask", "Delete", "Delete task");
  t.AcModifyOption = NewAction("AcModifyOption", "Option", "Task option");
  t.AcDeleteTasklog = NewAction("AcDeleteTasklog", "Delete");
  t.AcImportthisfile = NewAction("AcImportthisfile", "Import");
  t.AcAnalyzethisfile = NewAction("AcAnalyzethisfile", "Analyze");
  // The tool-bar caption differs from the menu text.
  t.AcSavetask = NewAction("AcSavetask", "Export tasks");
  t.AcSavetask->setIconText(QStringLiteral("Export all tasks"));
  t.AcLoadTask = NewAction("AcLoadTask", "Import tasks");
  t.AcLoadTask->setIconText(QStringLiteral("Load tasks"));

  DumpActions& d = dumpActions_;
  d.AcOpendumpfile = NewAction("AcOpendumpfile", "&Open", "Open a dump file");
  d.AcSavetofile = NewAction("AcSavetofile", "&Save", "Save a dump file");
  d.AcClearDumpfile = NewAction("AcClearDumpfile", "&Clear");
  d.AcExportDDL = NewAction("AcExportDDL", "&Export DDL");

  AcModifySysoption = NewAction("AcModifySysoption", "System option", "System option");
  Acchangeregnls = NewAction("Acchangeregnls", "&Change");
  Acsavedumpfileheader = NewAction("Acsavedumpfileheader", QString());
  exitAction_ = NewAction("MnuExit", "&Exit");
  tipsAction_ = NewAction("MnuTips", "&Tips");
  fileHeaderAction_ = NewAction("MnuFileHeader", "File &header");
  helpTopicsAction_ = NewAction("MnuHelpTopics", "&Help Topics");
  onTheWebAction_ = NewAction("MnuOnTheWeb", "&On the web");
  aboutAction_ = NewAction("MnuAbout", "&About");

  connect(AcModifySysoption, &QAction::triggered, this, &TFrmMain::AcModifySysoptionExecute);
  connect(Acchangeregnls, &QAction::triggered, this, &TFrmMain::AcchangeregnlsExecute);
  connect(exitAction_, &QAction::triggered, this, &QWidget::close);
  connect(tipsAction_, &QAction::triggered, this, &TFrmMain::ShowTips);
  connect(fileHeaderAction_, &QAction::triggered, this, [this] { dumps_->ShowHeaderDialog(); });
  connect(helpTopicsAction_, &QAction::triggered, this, &TFrmMain::HelpTopicsClick);
  connect(onTheWebAction_, &QAction::triggered, this, &TFrmMain::OnTheWebClick);
  connect(aboutAction_, &QAction::triggered, this, [this] { Services().dialogs->run(*FrmAboutBox); });

  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  escape->setContext(Qt::WindowShortcut);
  connect(escape, &QShortcut::activated, this, &QWidget::showMinimized);
}

void TFrmMain::BuildLayout() {
  tasks_ =
      std::make_unique<TaskPane>(this, taskActions_, [this](const std::string& dump) { AnalyzeDump(dump); });
  tasks_->SetCharsetCommand([this] { AcchangeregnlsExecute(); });
  dumps_ = std::make_unique<DumpPane>(this, dumpActions_);

  auto* PnlTree = new QWidget;
  PnlTree->setObjectName("PnlTree");
  auto* left = new QVBoxLayout(PnlTree);
  left->setContentsMargins(0, 0, 0, 0);
  PageControl3 = new QTabWidget;
  PageControl3->setObjectName("PageControl3");
  left->addWidget(PageControl3);
  PageControl3->addTab(tasks_->TreePage(), QStringLiteral("Exp/Imp"));
  PageControl3->addTab(dumps_->TreePage(), QStringLiteral("Analyze"));

  PageControl1 = new QTabWidget;
  PageControl1->setObjectName("PageControl1");
  PageControl1->addTab(tasks_->LogPage(), QStringLiteral("Tasks"));
  PageControl1->addTab(dumps_->TextPage(), QStringLiteral("Text"));

  auto* PnlSplitter = new QSplitter(Qt::Horizontal);
  PnlSplitter->setObjectName("PnlSplitter");
  PnlSplitter->setHandleWidth(4);
  PnlSplitter->addWidget(PnlTree);
  PnlSplitter->addWidget(PageControl1);
  PnlSplitter->setStretchFactor(1, 1);
  PnlSplitter->setSizes({300, 700});
  setCentralWidget(PnlSplitter);

  auto* StsMain = new QStatusBar;
  StsMain->setObjectName("StsMain");
  setStatusBar(StsMain);

  connect(PageControl3, &QTabWidget::currentChanged, this,
          [this](int index) { SetTaskViewActive(index == 0); });
}

void TFrmMain::BuildMenus() {
  const TaskActions& t = taskActions_;
  const DumpActions& d = dumpActions_;
  QMenuBar* bar = menuBar();
  QMenu* file = bar->addMenu(QStringLiteral("File"));
  file->addAction(exitAction_);
  QMenu* taskMenu = bar->addMenu(QStringLiteral("&Tasks"));
  taskMenu->addActions({t.AcNewBlanktask, t.AcNewExp, t.AcNewImp, t.AcRuntask, t.AcTerminaterunningtask,
                        t.AcModifyTask, t.AcDelTask, t.AcModifyOption});
  QMenu* tools = bar->addMenu(QStringLiteral("Too&ls"));
  tools->addActions({AcModifySysoption, t.AcSavetask, t.AcLoadTask, tipsAction_});
  QMenu* analysis = bar->addMenu(QStringLiteral("&Analysis"));
  analysis->addActions({d.AcOpendumpfile, d.AcSavetofile, d.AcClearDumpfile, fileHeaderAction_});
  QMenu* help = bar->addMenu(QStringLiteral("&Help"));
  help->addActions({helpTopicsAction_, onTheWebAction_, aboutAction_});

  QToolBar* toolBar = addToolBar(QStringLiteral("Tools"));
  toolBar->setObjectName("ToolBar1");
  toolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  toolBar->addActions({t.AcNewBlanktask, t.AcNewExp, t.AcNewImp, t.AcRuntask, t.AcTerminaterunningtask,
                       t.AcModifyTask, t.AcDelTask, t.AcModifyOption, AcModifySysoption, d.AcOpendumpfile,
                       d.AcSavetofile});
}

void TFrmMain::BuildTray() {
  pop_tray = new QMenu(this);
  pop_tray->setObjectName("pop_tray");
  connect(pop_tray->addAction(QStringLiteral("Restore")), &QAction::triggered, this,
          &TFrmMain::RestoreFromTray);
  pop_tray->addAction(exitAction_);
  TrayIcon1 = new QSystemTrayIcon(windowIcon(), this);
  TrayIcon1->setObjectName("TrayIcon1");
  TrayIcon1->setToolTip(kProgramTitle);
  TrayIcon1->setContextMenu(pop_tray);
  connect(TrayIcon1, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) RestoreFromTray();
  });
  if (QSystemTrayIcon::isSystemTrayAvailable()) TrayIcon1->show();
}

void TFrmMain::SetTaskViewActive(bool on) {
  taskViewActive_ = on;
  PageControl1->setTabVisible(0, on);
  PageControl1->setTabVisible(1, !on);
  PageControl1->setCurrentIndex(on ? 0 : 1);
  dumps_->SetActive(!on);
  tasks_->SetActive(on);
}

void TFrmMain::AnalyzeDump(const std::string& dumpFile) {
  PageControl3->setCurrentIndex(1);
  dumps_->OpenDumpOrAnalysisFile(dumpFile);
}

void TFrmMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (event->spontaneous() || shown_ || !started_) return;
  shown_ = true;
  PageControl3->setCurrentIndex(0);
  SetTaskViewActive(true);
  tasks_->ShowFresh();
}

bool TFrmMain::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate && tipsAtStartup_ && showTipsOnActivate_ && started_) {
    try {
      ShowTips();
    } catch (const std::exception& e) {
      // Asked once: the message box itself activates the window again.
      showTipsOnActivate_ = false;
      Services().messages->error(this, QString::fromUtf8(e.what()));
    }
  }
  return QMainWindow::event(event);
}

void TFrmMain::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized() && TrayIcon1 && TrayIcon1->isVisible()) {
    // Minimised to the tray: the window leaves the task bar; the tray icon brings it back.
    QTimer::singleShot(0, this, &QWidget::hide);
  }
}

void TFrmMain::RestoreFromTray() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

void TFrmMain::ShowTips() {
  if (!FrmTips) FrmTips = std::make_unique<TFrmTips>(tipsAtStartup_, showTipsOnActivate_, this);
  FrmTips->show();
  FrmTips->raise();
}

namespace {

// Closes the open boxes and dialogs from the top one down, as cancelled.
void closeOpenModals() {
  for (int i = 0; i < 8; ++i) {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->close()) break;
  }
}

}  // namespace

void TFrmMain::closeEvent(QCloseEvent* event) {
  // A window whose creation failed or handed over owns no settings.
  if (!started_) {
    event->accept();
    return;
  }
  if (closing_) {
    event->ignore();
    return;
  }
  if (OpenModalLoops() > 0) {
    // A command waits under each open box or dialog and goes on with its task when the loop
    // ends; the close would free that task under it. The boxes and dialogs are closed as
    // cancelled, and the close comes back once the commands have returned.
    event->ignore();
    closeOpenModals();
    if (!closeWaiting_) {
      closeWaiting_ = true;
      AfterModalLoops(this, [this] {
        closeWaiting_ = false;
        close();
      });
    }
    return;
  }
  if (askBeforeClosing_ && tasks_->RunningCount() > 0) {
    asking_ = true;
    const bool yes = Services().messages->question(
        this, QStringLiteral("A task is running. Closing the window terminates it. Close anyway?"));
    asking_ = false;
    // A termination request that came meanwhile closed the question and wants the close.
    if (!yes && askBeforeClosing_) {
      event->ignore();
      return;
    }
  }
  event->accept();
  closing_ = true;
  tasks_->EndAllTasks();
  closing_ = false;
  FrmTips.reset();
  Settings().tipsatstartup = tipsAtStartup_;
  if (!WriteSettings()) Services().messages->error(this, kRegistryError);
  if (TrayIcon1) TrayIcon1->hide();
  // Closed while hidden in the tray, the window would not count as the last one closed.
  QCoreApplication::quit();
}

void TFrmMain::CloseOnRequest() {
  askBeforeClosing_ = false;
  // The window is closing already and asks whether to end the running tasks: a further close()
  // would not reach closeEvent, so the question (and what is open above it) goes as cancelled.
  if (asking_) {
    closeOpenModals();
    return;
  }
  close();
}

void TFrmMain::HelpTopicsClick() {
  const QString path = programFolder() + "help.html";
  if (!QFileInfo::exists(path)) {
    Services().messages->error(this, path + " not found");
    return;
  }
  if (!Services().desktop->openFile(path)) Services().messages->error(this, "Can not open " + path);
}

void TFrmMain::OnTheWebClick() {
  QDesktopServices::openUrl(QUrl(kWebAddress));
}

void TFrmMain::AcModifySysoptionExecute() {
  FrmSysOption->Fill(Settings());
  if (Services().dialogs->run(*FrmSysOption) != QDialog::Accepted) return;
  ProgramSettings& settings = Settings();
  FrmSysOption->TakeInto(settings);
  try {
    settings.tmpdir = ApplyWorkFolderRule(settings.tmpdir);
  } catch (const std::exception& e) {
    Services().messages->error(this, QString::fromUtf8(e.what()));
  }
}

void TFrmMain::AcchangeregnlsExecute() {
  ClientNls& nls = ClientCharset();
  frmchangenls->Fill(toQString(nls.charset));
  if (Services().dialogs->run(*frmchangenls) != QDialog::Accepted) return;
  const int row = frmchangenls->ChosenRow();
  if (row == 0) return;
  const std::string_view chosen = tasks::CharsetTable()[size_t(row - 1)].name;
  const QString name = QString::fromUtf8(chosen.data(), qsizetype(chosen.size())).trimmed();
  if (name.compare(toQString(nls.charset), Qt::CaseInsensitive) == 0) return;
  const QString value =
      toQString(nls.language).trimmed() + "_" + toQString(nls.territory).trimmed() + "." + name;
  if (!StoreNlsLang(value.toStdString())) {
    Services().messages->error(this, kRegistryError);
    return;
  }
  nls.charset = name.toStdString();
}

}  // namespace ui
