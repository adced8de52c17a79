#include "ui/u_main.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStringDecoder>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <filesystem>
#include <map>

#include "dumpfile/u_analysisfile.h"
#include "dumpfile/u_saveobjddl.h"
#include "platform/processinfo.h"
#include "tasks/paramlex.h"
#include "tasks/u_common.h"
#include "tasks/u_oraenv.h"
#include "tasks/u_task1.h"
#include "tasks/u_transfer.h"
#include "ui/programsettings.h"
#include "ui/services.h"
#include "ui/smallforms.h"
#include "ui/u_changeregnls.h"
#include "ui/u_getdumpfileheader.h"
#include "ui/u_progress.h"
#include "ui/u_sysoption.h"
#include "ui/u_taskfiles.h"
#include "ui/u_taskoption.h"

namespace ui {

// A task, its node in the tree and the node's image.
struct TFrmMain::TaskEntry final : tasks::TaskNode {
  std::unique_ptr<tasks::TUniTask> task;
  QTreeWidgetItem* item = nullptr;
  int image = -1;
  bool IsSelected() const override { return item != nullptr && item->isSelected(); }
};

namespace {

const QString kTitle = QStringLiteral("Velmaron for Oracle");
const QString kWebAddress = QStringLiteral("https://velmaron.example.org/");

// What a node of the dump tree stands for.
enum NodeRole { kRoleType = Qt::UserRole, kRoleNode, kRoleKind, kRoleOwner };
enum NodeType { kTopNode, kPublicGroup, kOwnerNode, kOwnerGroup, kObjectNode };

QString q(const std::string& text) {
  return QString::fromStdString(text);
}

QString programFolder() {
  return QCoreApplication::applicationDirPath() + "/";
}

// True when both paths name one existing file, or are spelled alike.
bool sameFile(const std::string& a, const std::string& b) {
  std::error_code ec, ecA, ecB;
  if (std::filesystem::equivalent(a, b, ec)) return true;
  const auto pathA = std::filesystem::weakly_canonical(a, ecA),
             pathB = std::filesystem::weakly_canonical(b, ecB);
  return !ecA && !ecB && pathA == pathB;
}

// The text of a dump in its character set (the first word of the header's character-set text);
// UTF-8, or else Latin-1, when that set is not known here.
QString dumpText(const std::string& bytes, const std::string& charset) {
  static const std::map<std::string_view, const char*> kNames = {{"AL32UTF8", "UTF-8"},
                                                                 {"UTF8", "UTF-8"},
                                                                 {"US7ASCII", "US-ASCII"},
                                                                 {"WE8ISO8859P1", "ISO-8859-1"},
                                                                 {"WE8ISO8859P15", "ISO-8859-15"},
                                                                 {"EE8ISO8859P2", "ISO-8859-2"},
                                                                 {"CL8ISO8859P5", "ISO-8859-5"},
                                                                 {"WE8MSWIN1252", "windows-1252"},
                                                                 {"EE8MSWIN1250", "windows-1250"},
                                                                 {"CL8MSWIN1251", "windows-1251"},
                                                                 {"EL8MSWIN1253", "windows-1253"},
                                                                 {"TR8MSWIN1254", "windows-1254"},
                                                                 {"IW8MSWIN1255", "windows-1255"},
                                                                 {"AR8MSWIN1256", "windows-1256"},
                                                                 {"BLT8MSWIN1257", "windows-1257"},
                                                                 {"VN8MSWIN1258", "windows-1258"},
                                                                 {"ZHS16GBK", "GBK"},
                                                                 {"ZHS32GB18030", "GB18030"},
                                                                 {"ZHT16BIG5", "Big5"},
                                                                 {"ZHT16MSWIN950", "Big5"},
                                                                 {"JA16SJIS", "Shift_JIS"},
                                                                 {"JA16EUC", "EUC-JP"},
                                                                 {"KO16KSC5601", "EUC-KR"},
                                                                 {"KO16MSWIN949", "windows-949"},
                                                                 {"TH8TISASCII", "TIS-620"}};
  const std::string set = charset.substr(0, charset.find(' '));
  const QByteArrayView view(bytes.data(), qsizetype(bytes.size()));
  if (const auto it = kNames.find(set); it != kNames.end()) {
    // A text cut at its limit may end inside a character, which shows as a replacement mark.
    QStringDecoder decoder(it->second);
    if (decoder.isValid()) return decoder.decode(view);
  }
  QStringDecoder utf8(QStringConverter::Utf8);
  const QString text = utf8.decode(view);
  return utf8.hasError() ? QString::fromLatin1(view) : text;
}

QString displayText(const std::string& text, const std::string& charset = {}) {
  QString shown = dumpText(text, charset);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QChar('\r'), QChar('\n'));
  return shown;
}

}  // namespace

QString InstanceName() {
  // In the user's own runtime folder, where no other user can take the name first.
  return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + "/" + kTitle +
         QString::number(platform::currentUserId());
}

bool HandOverToRunningInstance(const QString& name, QString& error) {
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(2000)) return false;
  // The connection itself is the message; the running instance does not read anything.
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState && !socket.waitForDisconnected(2000))
    error = socket.errorString();
  return true;
}

TFrmMain::TFrmMain(const QString& instanceName) {
  setObjectName("FrmMain");
  try {
    setWindowTitle(kTitle);
    QString error;
    if (HandOverToRunningInstance(instanceName, error)) {
      if (!error.isEmpty()) Services().messages->error(this, "Error on ActivatePreviousInstance: " + error);
      handedOver_ = true;
      return;
    }
    setWindowIcon(style()->standardIcon(QStyle::SP_DriveHDIcon));
    BuildActions();
    BuildLayout();
    BuildMenus();

    pop_tray = new QMenu(this);
    pop_tray->setObjectName("pop_tray");
    connect(pop_tray->addAction(QStringLiteral("Restore")), &QAction::triggered, this,
            &TFrmMain::RestoreFromTray);
    pop_tray->addAction(exitAction_);
    TrayIcon1 = new QSystemTrayIcon(windowIcon(), this);
    TrayIcon1->setObjectName("TrayIcon1");
    TrayIcon1->setToolTip(kTitle);
    TrayIcon1->setContextMenu(pop_tray);
    connect(TrayIcon1, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
      if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) RestoreFromTray();
    });
    if (QSystemTrayIcon::isSystemTrayAvailable()) TrayIcon1->show();

    // A socket left by a crashed instance would keep the name taken.
    QLocalServer::removeServer(instanceName);
    instanceServer_ = new QLocalServer(this);
    instanceServer_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(instanceServer_, &QLocalServer::newConnection, this, [this] {
      while (QLocalSocket* socket = instanceServer_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        socket->disconnectFromServer();
      }
      RestoreFromTray();
    });
    instanceServer_->listen(instanceName);

    FrmSysOption = std::make_unique<TFrmSysOption>(this);
    FrmAboutBox = std::make_unique<TFrmAboutBox>(this);
    Frmprogress = std::make_unique<TFrmprogress>(this);
    frmchangenls = std::make_unique<Tfrmchangenls>(this);
    Frm_getdumpfileheader = std::make_unique<TFrm_getdumpfileheader>(
        lastDumpDir_,
        [this](const std::string& dump, const std::string& dir) { SaveDumpFileHeader(dump, dir); }, this);

    tasks::TOraEnv env;
    env.ReadOracleHome();
    env.DetectToolNames();
    ReadSettings(ToolNames{env.ScriptTool(), env.ExportTool(), env.ImportTool()});
    FrmTaskOption = std::make_unique<TFrmTaskOption>(this);
    OpenTaskStore();
    tipsAtStartup_ = Settings().tipsatstartup;
    showTipsOnActivate_ = true;
    lastDumpDir_ = programFolder().toStdString();
    SetTaskViewActive(true);
    started_ = true;
  } catch (const std::exception& e) {
    Services().messages->error(this, QStringLiteral("System error while starting Velmaron for Oracle. (%1)")
                                         .arg(QString::fromUtf8(e.what())));
  }
}

TFrmMain::~TFrmMain() {
  EndAllTasks();
}

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
  AcNewBlanktask = NewAction("AcNewBlanktask", "New", "New task");
  AcNewExp = NewAction("AcNewExp", "New export", "New export task");
  AcNewImp = NewAction("AcNewImp", "New import", "New import task");
  AcRuntask = NewAction("AcRuntask", "Run", "Run task");
  AcTerminaterunningtask = NewAction("AcTerminaterunningtask", "Terminate", "Stop task");
  AcModifyTask = NewAction("AcModifyTask", "Modify", "Modify task");
  AcDelTask = NewAction("AcDelTask", "Delete", "Delete task");
  AcModifyOption = NewAction("AcModifyOption", "Option", "Task option");
  AcModifySysoption = NewAction("AcModifySysoption", "System option", "System option");
  AcDeleteTasklog = NewAction("AcDeleteTasklog", "Delete");
  AcImportthisfile = NewAction("AcImportthisfile", "Import");
  AcAnalyzethisfile = NewAction("AcAnalyzethisfile", "Analyze");
  AcOpendumpfile = NewAction("AcOpendumpfile", "&Open", "Open a dump file");
  AcSavetofile = NewAction("AcSavetofile", "&Save", "Save a dump file");
  AcClearDumpfile = NewAction("AcClearDumpfile", "&Clear");
  AcExportDDL = NewAction("AcExportDDL", "&Export DDL");
  // The tool-bar caption differs from the menu text.
  AcSavetask = NewAction("AcSavetask", "Export tasks");
  AcSavetask->setIconText(QStringLiteral("Export all tasks"));
  AcLoadTask = NewAction("AcLoadTask", "Import tasks");
  AcLoadTask->setIconText(QStringLiteral("Load tasks"));
  Acchangeregnls = NewAction("Acchangeregnls", "&Change");
  Acsavedumpfileheader = NewAction("Acsavedumpfileheader", QString());

  exitAction_ = NewAction("MnuExit", "&Exit");
  tipsAction_ = NewAction("MnuTips", "&Tips");
  fileHeaderAction_ = NewAction("MnuFileHeader", "File &header");
  helpTopicsAction_ = NewAction("MnuHelpTopics", "&Help Topics");
  onTheWebAction_ = NewAction("MnuOnTheWeb", "&On the web");
  aboutAction_ = NewAction("MnuAbout", "&About");

  // The task side waits for the task storage: its commands stay disabled until it is open.
  for (QAction* a :
       {AcNewBlanktask, AcNewExp, AcNewImp, AcRuntask, AcTerminaterunningtask, AcModifyTask, AcDelTask,
        AcModifyOption, AcDeleteTasklog, AcImportthisfile, AcAnalyzethisfile, AcSavetask, AcLoadTask})
    a->setEnabled(false);
  connect(AcRuntask, &QAction::triggered, this, &TFrmMain::AcRuntaskExecute);
  connect(AcTerminaterunningtask, &QAction::triggered, this, &TFrmMain::AcTerminaterunningtaskExecute);
  connect(AcDelTask, &QAction::triggered, this, &TFrmMain::AcDelTaskExecute);
  connect(AcModifyTask, &QAction::triggered, this, &TFrmMain::AcModifyOptionExecute);
  connect(AcModifyOption, &QAction::triggered, this, &TFrmMain::AcModifyOptionExecute);
  connect(AcNewBlanktask, &QAction::triggered, this,
          [this] { AcNewTaskExecute(tasks::TTaskType::RawExport); });
  connect(AcNewExp, &QAction::triggered, this, [this] { AcNewTaskExecute(tasks::TTaskType::Export); });
  connect(AcNewImp, &QAction::triggered, this, [this] { AcNewTaskExecute(tasks::TTaskType::Import); });
  connect(AcDeleteTasklog, &QAction::triggered, this, &TFrmMain::AcDeleteTasklogExecute);
  connect(AcSavetask, &QAction::triggered, this, &TFrmMain::AcSavetaskExecute);
  connect(AcLoadTask, &QAction::triggered, this, &TFrmMain::AcLoadTaskExecute);
  connect(AcAnalyzethisfile, &QAction::triggered, this, &TFrmMain::AcAnalyzethisfileExecute);
  connect(AcImportthisfile, &QAction::triggered, this, &TFrmMain::AcImportthisfileExecute);

  connect(AcOpendumpfile, &QAction::triggered, this, &TFrmMain::AcOpendumpfileExecute);
  connect(AcSavetofile, &QAction::triggered, this, &TFrmMain::AcSavetofileExecute);
  connect(AcClearDumpfile, &QAction::triggered, this, &TFrmMain::AcClearDumpfileExecute);
  connect(AcExportDDL, &QAction::triggered, this, &TFrmMain::AcExportDDLExecute);
  connect(AcModifySysoption, &QAction::triggered, this, &TFrmMain::AcModifySysoptionExecute);
  connect(Acchangeregnls, &QAction::triggered, this, &TFrmMain::AcchangeregnlsExecute);
  connect(exitAction_, &QAction::triggered, this, &QWidget::close);
  connect(tipsAction_, &QAction::triggered, this, &TFrmMain::ShowTips);
  connect(fileHeaderAction_, &QAction::triggered, this, &TFrmMain::FileHeaderClick);
  connect(helpTopicsAction_, &QAction::triggered, this, &TFrmMain::HelpTopicsClick);
  connect(onTheWebAction_, &QAction::triggered, this, &TFrmMain::OnTheWebClick);
  connect(aboutAction_, &QAction::triggered, this, [this] { Services().dialogs->run(*FrmAboutBox); });

  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  escape->setContext(Qt::WindowShortcut);
  connect(escape, &QShortcut::activated, this, &QWidget::showMinimized);
}

void TFrmMain::BuildLayout() {
  auto* PnlTree = new QWidget;
  PnlTree->setObjectName("PnlTree");
  auto* left = new QVBoxLayout(PnlTree);
  left->setContentsMargins(0, 0, 0, 0);
  PageControl3 = new QTabWidget;
  PageControl3->setObjectName("PageControl3");
  left->addWidget(PageControl3);
  auto* TsExpimp = new QWidget;
  TsExpimp->setObjectName("TsExpimp");
  TvwTasks = new QTreeWidget(TsExpimp);
  TvwTasks->setObjectName("TvwTasks");
  TvwTasks->setHeaderHidden(true);
  (new QVBoxLayout(TsExpimp))->addWidget(TvwTasks);
  auto* Tsanalyze = new QWidget;
  Tsanalyze->setObjectName("Tsanalyze");
  Tvdumpfile = new QTreeWidget(Tsanalyze);
  Tvdumpfile->setObjectName("Tvdumpfile");
  Tvdumpfile->setHeaderHidden(true);
  (new QVBoxLayout(Tsanalyze))->addWidget(Tvdumpfile);
  PageControl3->addTab(TsExpimp, QStringLiteral("Exp/Imp"));
  PageControl3->addTab(Tsanalyze, QStringLiteral("Analyze"));

  PageControl1 = new QTabWidget;
  PageControl1->setObjectName("PageControl1");
  TsTasks = new QWidget;
  TsTasks->setObjectName("TsTasks");
  auto* tasksLayout = new QVBoxLayout(TsTasks);
  lvtasklogs = new QTreeWidget;
  lvtasklogs->setObjectName("lvtasklogs");
  lvtasklogs->setRootIsDecorated(false);
  lvtasklogs->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lvtasklogs->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvtasklogs->setHeaderLabels({"Dump file", "Size", "Start time", "End time"});
  const int widths[] = {250, 80, 120, 120};
  for (int i = 0; i < 4; ++i) lvtasklogs->header()->resizeSection(i, widths[i]);
  auto* PageControl2 = new QTabWidget;
  PageControl2->setObjectName("PageControl2");
  MmRunningMsg = new QPlainTextEdit;
  MmRunningMsg->setObjectName("MmRunningMsg");
  Mmmainlogs = new QPlainTextEdit;
  Mmmainlogs->setObjectName("Mmmainlogs");
  PageControl2->addTab(MmRunningMsg, QStringLiteral("Message"));
  PageControl2->addTab(Mmmainlogs, QStringLiteral("Logs"));
  auto* logSplit = new QSplitter(Qt::Vertical);
  logSplit->addWidget(lvtasklogs);
  logSplit->addWidget(PageControl2);
  tasksLayout->addWidget(logSplit);
  TsDDlText = new QWidget;
  TsDDlText->setObjectName("TsDDlText");
  MmDDlText = new QPlainTextEdit;
  MmDDlText->setObjectName("MmDDlText");
  MmDDlText->setReadOnly(true);
  (new QVBoxLayout(TsDDlText))->addWidget(MmDDlText);
  PageControl1->addTab(TsTasks, QStringLiteral("Tasks"));
  PageControl1->addTab(TsDDlText, QStringLiteral("Text"));

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

  TvwTasks->setContextMenuPolicy(Qt::ActionsContextMenu);
  TvwTasks->addActions({AcNewBlanktask, AcNewExp, AcNewImp, AcModifyTask, AcDelTask, AcModifyOption,
                        AcRuntask, AcTerminaterunningtask});
  lvtasklogs->setContextMenuPolicy(Qt::ActionsContextMenu);
  lvtasklogs->addActions({AcDeleteTasklog, AcImportthisfile, AcAnalyzethisfile});
  Tvdumpfile->setContextMenuPolicy(Qt::ActionsContextMenu);
  Tvdumpfile->addActions({AcOpendumpfile, AcSavetofile, AcClearDumpfile, AcExportDDL});

  connect(PageControl3, &QTabWidget::currentChanged, this,
          [this](int index) { SetTaskViewActive(index == 0); });
  connect(Tvdumpfile, &QTreeWidget::currentItemChanged, this, &TFrmMain::TvdumpfileChange);
}

void TFrmMain::BuildMenus() {
  QMenuBar* bar = menuBar();
  QMenu* file = bar->addMenu(QStringLiteral("File"));
  file->addAction(exitAction_);
  QMenu* taskMenu = bar->addMenu(QStringLiteral("&Tasks"));
  taskMenu->addActions({AcNewBlanktask, AcNewExp, AcNewImp, AcRuntask, AcTerminaterunningtask, AcModifyTask,
                        AcDelTask, AcModifyOption});
  QMenu* tools = bar->addMenu(QStringLiteral("Too&ls"));
  tools->addActions({AcModifySysoption, AcSavetask, AcLoadTask, tipsAction_});
  QMenu* analysis = bar->addMenu(QStringLiteral("&Analysis"));
  analysis->addActions({AcOpendumpfile, AcSavetofile, AcClearDumpfile, fileHeaderAction_});
  QMenu* help = bar->addMenu(QStringLiteral("&Help"));
  help->addActions({helpTopicsAction_, onTheWebAction_, aboutAction_});

  QToolBar* toolBar = addToolBar(QStringLiteral("Tools"));
  toolBar->setObjectName("ToolBar1");
  toolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  toolBar->addActions({AcNewBlanktask, AcNewExp, AcNewImp, AcRuntask, AcTerminaterunningtask, AcModifyTask,
                       AcDelTask, AcModifyOption, AcModifySysoption, AcOpendumpfile, AcSavetofile});
}

void TFrmMain::UpdateActions() {
  const bool analysis = AnalysisViewActive();
  AcOpendumpfile->setEnabled(analysis);
  AcSavetofile->setEnabled(analysis && root_ && root_->SourceKind() == dumpfile::kSourceDumpFile);
  AcClearDumpfile->setEnabled(analysis && root_);
  AcExportDDL->setEnabled(analysis && root_);
  UpdateTaskActions();
}

void TFrmMain::SetTaskViewActive(bool on) {
  taskViewActive_ = on;
  PageControl1->setTabVisible(0, on);
  PageControl1->setTabVisible(1, !on);
  PageControl1->setCurrentIndex(on ? 0 : 1);
  UpdateActions();
}

void TFrmMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (event->spontaneous() || shown_) return;
  shown_ = true;
  PageControl3->setCurrentIndex(0);
  MmRunningMsg->clear();
  Mmmainlogs->clear();
  SetTaskViewActive(true);
  TvwTasks->setFocus();
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

void TFrmMain::closeEvent(QCloseEvent* event) {
  event->accept();
  // A window whose creation failed or handed over owns no settings.
  if (!started_) return;
  EndAllTasks();
  FrmTips.reset();
  Settings().tipsatstartup = tipsAtStartup_;
  if (!WriteSettings())
    Services().messages->error(
        this,
        QStringLiteral("Save to Registry error, check if you have enough privilege to write to registry"));
  if (TrayIcon1) TrayIcon1->hide();
  // Closed while hidden in the tray, the window would not count as the last one closed.
  QCoreApplication::quit();
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

void TFrmMain::FileHeaderClick() {
  Frm_getdumpfileheader->Reset();
  Services().dialogs->run(*Frm_getdumpfileheader);
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
  frmchangenls->Fill(q(nls.charset));
  if (Services().dialogs->run(*frmchangenls) != QDialog::Accepted) return;
  const int row = frmchangenls->ChosenRow();
  if (row == 0) return;
  const std::string_view chosen = tasks::CharsetTable()[size_t(row - 1)].name;
  const QString name = QString::fromUtf8(chosen.data(), qsizetype(chosen.size())).trimmed();
  if (name.compare(q(nls.charset), Qt::CaseInsensitive) == 0) return;
  const QString value = q(nls.language).trimmed() + "_" + q(nls.territory).trimmed() + "." + name;
  if (!StoreNlsLang(value.toStdString())) {
    Services().messages->error(
        this,
        QStringLiteral("Save to Registry error, check if you have enough privilege to write to registry"));
    return;
  }
  nls.charset = name.toStdString();
}

// --- the dump-file view

void TFrmMain::ClearView() {
  Tvdumpfile->clear();
  MmDDlText->clear();
  root_.reset();
  UpdateActions();
}

void TFrmMain::AcOpendumpfileExecute() {
  const QString last = q(lastDumpDir_);
  const QString start = QDir(last).exists() ? last : programFolder();
  const QString file = Services().files->openFile(
      this, start, QStringLiteral("dump file,analyzed dump file(*.dmp *.adf);;All files(*)"));
  if (file.isEmpty()) return;
  lastDumpDir_ = (QFileInfo(file).absolutePath() + "/").toStdString();
  OpenDumpOrAnalysisFile(file.toStdString());
}

void TFrmMain::OpenDumpOrAnalysisFile(const std::string& path) {
  if (dumpfile::IsAnalysisFile(path)) {
    ClearView();
    root_ = std::make_unique<dumpfile::TExpFileRoot>();
    root_->SetDumpFileName(path);
    root_->SetSourceKind(dumpfile::kSourceAnalysisFile);
    root_->SetMessage("Read successfully!");
    RunWorker(
        [&](dumpfile::ProgressSink* sink, dumpfile::DumpWorker::DoneCallback done) {
          return std::make_unique<dumpfile::TReaddfp>(*root_, sink, std::move(done));
        },
        QStringLiteral("Reading..."), 0);
    BuildTree();
    return;
  }
  tasks::TDumpHeader header;
  if (!tasks::ReadDumpHeader(path, header)) {
    Services().messages->error(this, QStringLiteral("Can not analyze this file!"));
    return;
  }
  if (!header.isExport && !Services().messages->question(
                              this, QStringLiteral("It seems not a valid dmp file,continue to analyze?")))
    return;
  ClearView();
  root_ = std::make_unique<dumpfile::TExpFileRoot>();
  root_->SetDumpFileName(path);
  root_->SetExportUser(header.user);
  root_->SetExportModeText(header.mode);
  root_->SetExportVersion(header.version);
  root_->SetNlsLang(header.charset);
  const QString mode = q(header.mode).toLower();
  int exportMode = 0;
  if (mode.contains("entire")) exportMode = 1;
  if (mode.contains("user")) exportMode = 2;
  if (mode.contains("table")) exportMode = 3;
  root_->SetExportMode(exportMode);
  root_->SetSourceKind(dumpfile::kSourceDumpFile);
  root_->SetMessage("Read successfully!");
  RunWorker(
      [&](dumpfile::ProgressSink* sink, dumpfile::DumpWorker::DoneCallback done) {
        return std::make_unique<dumpfile::TParseDumpfile>(*root_, sink, std::move(done));
      },
      QStringLiteral("Analyzing..."), 0);
  BuildTree();
}

void TFrmMain::RunWorker(const WorkerFactory& make, const QString& label, int position) {
  // The completion callback handed to the worker belongs to the job that Prepare starts.
  Frmprogress->Prepare(label, position, *root_);
  std::unique_ptr<dumpfile::DumpWorker> worker = make(&Frmprogress->Sink(), Frmprogress->DoneCallback());
  Frmprogress->SetWorker(worker.get());
  worker->Start();
  Services().dialogs->run(*Frmprogress);
  worker->WaitFor();
  Frmprogress->SetWorker(nullptr);
  UpdateActions();
}

void TFrmMain::BuildTree() {
  dumpfile::TExpFileRoot& root = *root_;
  root.SetName(root.DumpFileName());
  root.SetText("NLS_LANG: " + root.NlsLang() + "\r\n" + root.ExportVersion() + "\r\n" +
               "EXPORT USER: " + root.ExportUser() + "\r\n" + "EXPORT MODE: " + root.ExportModeText());
  Tvdumpfile->clear();
  const QIcon fileIcon = style()->standardIcon(QStyle::SP_FileIcon);
  const QIcon groupIcon = style()->standardIcon(QStyle::SP_DirIcon);
  const QIcon objectIcon = style()->standardIcon(QStyle::SP_FileDialogDetailedView);
  auto item = [](QTreeWidgetItem* parent, const QString& caption, const QIcon& icon, NodeType type) {
    auto* node = new QTreeWidgetItem(parent, {caption});
    node->setIcon(0, icon);
    node->setData(0, kRoleType, int(type));
    return node;
  };
  auto* top = new QTreeWidgetItem(Tvdumpfile, {q(std::string(root.Name()))});
  top->setIcon(0, fileIcon);
  top->setData(0, kRoleType, int(kTopNode));
  auto groupCaption = [](int kind, int32_t count) {
    return q(std::string(dumpfile::KindName[size_t(kind)])) + "(" + QString::number(count) + ")";
  };
  for (int kind = 0; kind < dumpfile::kKindCount; ++kind) {
    if (root.PublicCounter(kind) <= 0) continue;
    QTreeWidgetItem* group = item(top, groupCaption(kind, root.PublicCounter(kind)), groupIcon, kPublicGroup);
    group->setData(0, kRoleKind, kind);
    dumpfile::TExpFileNode* node = nullptr;
    for (int i = 0; root.GetPublicObject(i, node); ++i) {
      if (node->Kind() != kind) continue;
      item(group, q(std::string(node->Name())), objectIcon, kObjectNode)
          ->setData(0, kRoleNode, QVariant::fromValue<void*>(node));
    }
  }
  dumpfile::TExpFileUser* owner = nullptr;
  for (int u = 0; root.GetUser(u, owner); ++u) {
    QTreeWidgetItem* ownerItem = item(top, q(std::string(owner->Name())), groupIcon, kOwnerNode);
    ownerItem->setData(0, kRoleNode, QVariant::fromValue<void*>(owner));
    ownerItem->setData(0, kRoleOwner, QVariant::fromValue<void*>(owner));
    for (int kind = 0; kind < dumpfile::kKindCount; ++kind) {
      if (owner->Counter(kind) <= 0) continue;
      QTreeWidgetItem* group =
          item(ownerItem, groupCaption(kind, owner->Counter(kind)), groupIcon, kOwnerGroup);
      group->setData(0, kRoleKind, kind);
      group->setData(0, kRoleOwner, QVariant::fromValue<void*>(owner));
      dumpfile::TExpFileNode* node = nullptr;
      for (int i = 0; owner->GetNode(i, node); ++i) {
        if (node->Kind() != kind) continue;
        item(group, q(std::string(node->Name())), objectIcon, kObjectNode)
            ->setData(0, kRoleNode, QVariant::fromValue<void*>(node));
      }
    }
  }
  top->setExpanded(true);
  Tvdumpfile->setCurrentItem(top);
  UpdateActions();
}

void TFrmMain::TvdumpfileChange() {
  MmDDlText->clear();
  QTreeWidgetItem* item = Tvdumpfile->currentItem();
  if (!item || !root_) return;
  try {
    if (item->data(0, kRoleType).toInt() == kTopNode) {
      MmDDlText->setPlainText(displayText(tasks::NormalizeLineBreaks(root_->Text())));
      return;
    }
    const auto* node = static_cast<const dumpfile::TExpFileNode*>(item->data(0, kRoleNode).value<void*>());
    if (!node) return;
    std::string text;
    if (dumpfile::ReadDumpText(root_->DumpFileName(), node->StartOffset(), text, node->Length()))
      MmDDlText->setPlainText(displayText(tasks::NormalizeLineBreaks(text), root_->NlsLang()));
  } catch (const std::exception& e) {
    Services().messages->error(this,
                               QStringLiteral("Extract DDL Error (%1)").arg(QString::fromUtf8(e.what())));
  }
}

void TFrmMain::AcClearDumpfileExecute() {
  ClearView();
}

bool TFrmMain::RefuseOverDump(const std::string& target, const std::string& source) {
  if (!sameFile(target, source)) return false;
  Services().messages->error(this, "Can not write over the dump file itself: " + q(target));
  return true;
}

void TFrmMain::AcSavetofileExecute() {
  if (!root_) return;
  if (root_->Incomplete() && !Services().messages->question(
                                 this, QStringLiteral("The reading of this dump is incomplete: the analysis "
                                                      "file would hold only what was read. Save it anyway?")))
    return;
  const QString file = Services().files->saveFile(this, q(lastDumpDir_),
                                                  QStringLiteral("Analyzed dump file (*.adf);;All files(*)"),
                                                  QStringLiteral("adf"));
  if (file.isEmpty() || RefuseOverDump(file.toStdString(), root_->DumpFileName())) return;
  // The writer replaces an existing file only once the new one is complete, so a failed save
  // keeps the old one.
  root_->SetMessage("Save successfully!");
  RunWorker(
      [&](dumpfile::ProgressSink* sink, dumpfile::DumpWorker::DoneCallback done) {
        return std::make_unique<dumpfile::TSavedfp>(file.toStdString(), *root_, sink, std::move(done));
      },
      QStringLiteral("Writing..."), 1);
}

void TFrmMain::AcExportDDLExecute() {
  QTreeWidgetItem* item = Tvdumpfile->currentItem();
  if (!item || !root_) return;
  const QString folder = Services().files->chooseFolder(this, programFolder());
  if (folder.isEmpty()) return;
  root_->SetOutputDir(folder.toStdString());
  if (!QFileInfo(folder).isDir()) {
    Services().messages->error(this, "Directory not exists: " + folder);
    return;
  }
  root_->KindSelected.fill(false);
  dumpfile::TExpFileUser* owner = nullptr;
  for (int u = 0; root_->GetUser(u, owner); ++u) owner->KindSelected.fill(false);
  const int kind = item->data(0, kRoleKind).toInt();
  auto* marked = static_cast<dumpfile::TExpFileUser*>(item->data(0, kRoleOwner).value<void*>());
  switch (NodeType(item->data(0, kRoleType).toInt())) {
    case kTopNode:
      dumpfile::SelectAllKinds(*root_);
      break;
    case kPublicGroup:
      root_->KindSelected[size_t(kind)] = true;
      break;
    case kOwnerNode:
      marked->KindSelected.fill(true);
      break;
    case kOwnerGroup:
      marked->KindSelected[size_t(kind)] = true;
      break;
    case kObjectNode:
      break;
  }
  // A single object: its own definition, in the file of its kind.
  const auto* only = NodeType(item->data(0, kRoleType).toInt()) == kObjectNode
                         ? static_cast<const dumpfile::TExpFileNode*>(item->data(0, kRoleNode).value<void*>())
                         : nullptr;
  root_->SetMessage("Save successfully!");
  RunWorker(
      [&](dumpfile::ProgressSink* sink, dumpfile::DumpWorker::DoneCallback done) {
        auto writer = std::make_unique<dumpfile::TSaveObjDDl>(*root_, sink, std::move(done));
        writer->SetOnlyNode(only);
        return writer;
      },
      QStringLiteral("Writing..."), 1);
}

void TFrmMain::SaveDumpFileHeader(const std::string& dumpFile, const std::string& targetDir) {
  const QString dump = q(dumpFile);
  if (!QFileInfo(dump).isFile()) {
    Services().messages->error(this, "File: " + dump + "\ndoes not exists!");
    return;
  }
  std::string bytes;
  if (!tasks::ReadDumpHeaderBytes(dumpFile, bytes)) {
    Services().messages->error(this, "File: " + dump + "\nopen error!");
    return;
  }
  const std::string target = targetDir + tasks::DumpHeaderFileName(dumpFile);
  if (RefuseOverDump(target, dumpFile)) return;
  if (!tasks::WriteDumpHeaderFile(target, bytes)) {
    Services().messages->error(this, "File: " + q(target) + "\nsave error!");
    return;
  }
  Services().messages->information(this, "File: " + q(target) + " created!");
}

// --- the task view

void TFrmMain::WindowPoster::post(const platform::PostedEvent& event) {
  // Any thread: the event is handled on the window thread, and dropped when the window is gone.
  QMetaObject::invokeMethod(
      window_, [w = window_, event] { w->HandlePosted(event); }, Qt::QueuedConnection);
}

void TFrmMain::HandlePosted(const platform::PostedEvent& event) {
  for (const auto& entry : entries_) {
    if (entry->task->id() < 0 || entry->task->id() != int32_t(event.first)) continue;
    if (event.message == tasks::WM_TASKEVENT) entry->task->OnStageEvent(int32_t(event.second));
    if (event.message == tasks::WM_TRANSFEREVENT) entry->task->OnTransferEvent(int32_t(event.second));
    UpdateTaskActions();
    return;
  }
}

void TFrmMain::OpenTaskStore() {
  store_ = std::make_unique<tasks::TTaskStore>(tasks::TTaskStore::DefaultFolder());
  TvwTasks->clear();
  tasksRoot_ = new QTreeWidgetItem(TvwTasks, {kTitle});
  tasksRoot_->setIcon(0, style()->standardIcon(QStyle::SP_ComputerIcon));
  // Newest first, as the store gives them.
  // A stored task keeps its command as text: its parameters come from parsing it again.
  for (auto& task : store_->LoadTasks(this)) {
    task->ParseCommand();
    int minute = 0, hour = 0, day = 0;
    task->SetScheduled(tasks::ParseScheduleTime(task->scheduletable(), minute, hour, day));
    AddTaskNode(std::move(task), false);
  }
  tasksRoot_->setExpanded(true);
  TvwTasks->setCurrentItem(tasksRoot_);
  AcImportthisfile->setEnabled(true);
  AcAnalyzethisfile->setEnabled(true);
  connect(TvwTasks, &QTreeWidget::itemSelectionChanged, this, &TFrmMain::TvwTasksChange);
  connect(lvtasklogs, &QTreeWidget::itemSelectionChanged, this, &TFrmMain::LvtasklogsChange);
  connect(TvwTasks, &QTreeWidget::itemDoubleClicked, this, [this] {
    if (SelectedTask()) AcModifyOptionExecute();
  });
  // The Delete key works on a running task's node too, to say it cannot be deleted.
  auto* deleteTask = new QShortcut(QKeySequence::Delete, TvwTasks, nullptr, nullptr, Qt::WidgetShortcut);
  connect(deleteTask, &QShortcut::activated, this, &TFrmMain::AcDelTaskExecute);
  auto* deleteLogs = new QShortcut(QKeySequence::Delete, lvtasklogs, nullptr, nullptr, Qt::WidgetShortcut);
  connect(deleteLogs, &QShortcut::activated, this, &TFrmMain::AcDeleteTasklogExecute);
  Tmscheduler = new QTimer(this);
  Tmscheduler->setObjectName("Tmscheduler");
  connect(Tmscheduler, &QTimer::timeout, this, &TFrmMain::SchedulerTimerTick);
  Tmscheduler->start(tasks::kSchedulerTickMs);
  TmCheckSchedule = new QTimer(this);
  TmCheckSchedule->setObjectName("TmCheckSchedule");
  connect(TmCheckSchedule, &QTimer::timeout, this, &TFrmMain::ScheduleCheckTimer);
  TmCheckSchedule->start(tasks::kScheduleCheckMs);
  UpdateTaskActions();
}

void TFrmMain::AddTaskNode(std::unique_ptr<tasks::TUniTask> task, bool atTop) {
  auto entry = std::make_unique<TaskEntry>();
  entry->item = new QTreeWidgetItem({q(task->name())});
  entry->item->setData(0, Qt::UserRole, QVariant::fromValue<void*>(entry.get()));
  if (atTop) {
    tasksRoot_->insertChild(0, entry->item);
  } else {
    tasksRoot_->addChild(entry->item);
  }
  task->SetNode(entry.get());
  entry->task = std::move(task);
  SetNodeImage(*entry->task, tasks::TaskNodeImage(*entry->task));
  entries_.insert(atTop ? entries_.begin() : entries_.end(), std::move(entry));
}

std::vector<tasks::TUniTask*> TFrmMain::Tasks() const {
  std::vector<tasks::TUniTask*> list;
  list.reserve(entries_.size());
  for (const auto& entry : entries_) list.push_back(entry->task.get());
  return list;
}

tasks::TUniTask* TFrmMain::SelectedTask() const {
  QTreeWidgetItem* item = TvwTasks ? TvwTasks->currentItem() : nullptr;
  if (!item || !item->isSelected()) return nullptr;
  auto* entry = static_cast<TaskEntry*>(item->data(0, Qt::UserRole).value<void*>());
  return entry ? entry->task.get() : nullptr;
}

void TFrmMain::SelectTask(const tasks::TUniTask* task) {
  for (const auto& entry : entries_)
    if (entry->task.get() == task) TvwTasks->setCurrentItem(entry->item);
}

void TFrmMain::SetScheduleClock(std::function<platform::LocalTimeFields()> now) {
  checker_ = tasks::ScheduleChecker(std::move(now));
}

void TFrmMain::SchedulerTimerTick() {
  const std::vector<tasks::TUniTask*> list = Tasks();
  tasks::SchedulerTick(list, Settings().maxtasks, *this);
  UpdateTaskActions();
}

void TFrmMain::ScheduleCheckTimer() {
  const std::vector<tasks::TUniTask*> list = Tasks();
  checker_.Check(list);
}

void TFrmMain::EndAllTasks() {
  if (Tmscheduler) Tmscheduler->stop();
  if (TmCheckSchedule) TmCheckSchedule->stop();
  // First every program of every run is told to end, so that they end together; then each task
  // goes, its runners joined and its parameter file deleted, before anything else is freed.
  for (const auto& entry : entries_)
    if (entry->task->state() == tasks::TTaskState::Running) entry->task->TerminateTask();
  if (!TvwTasks) return;
  const QSignalBlocker treeQuiet(TvwTasks), logsQuiet(lvtasklogs);
  entries_.clear();
  TvwTasks->clear();
  tasksRoot_ = nullptr;
  lvtasklogs->clear();
  UpdateTaskActions();
}

void TFrmMain::AddRunningMessage(const std::string& line) {
  MmRunningMsg->appendPlainText(displayText(line));
}

void TFrmMain::ClearMainLogs() {
  Mmmainlogs->clear();
}

void TFrmMain::ShowError(const std::string& text) {
  Services().messages->error(this, q(text));
}

namespace {
QString timeText(tasks::DateTime t) {
  return QDateTime::fromMSecsSinceEpoch(
             std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count())
      .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}
}  // namespace

void TFrmMain::RunLogged(const tasks::TaskLogEntry& entry) {
  const tasks::TUniTask* task = SelectedTask();
  if (!task || task->id() != entry.taskid) return;
  auto* item = new QTreeWidgetItem({q(entry.dumpfile), QString::number(entry.filesize),
                                    timeText(entry.begintime), timeText(entry.endtime)});
  item->setData(0, Qt::UserRole, entry.id);
  lvtasklogs->insertTopLevelItem(0, item);
}

void TFrmMain::StartTask(tasks::TUniTask& task) {
  MmRunningMsg->clear();
  Mmmainlogs->clear();
  if (auto* pages = findChild<QTabWidget*>("PageControl2")) pages->setCurrentIndex(0);
  tasks::TaskRunContext context;
  context.settings = tasks::TaskRunSettings{Settings().tmpdir, Settings().sqlpluscmd};
  context.view = this;
  context.store = store_.get();
  context.transferEvents = &poster_;
  task.StartTask(context);
}

void TFrmMain::ReportStartFailure(tasks::TUniTask& task) {
  (void)task;
  ShowError("Error while starting task ");
}

void TFrmMain::RemoveTask(tasks::TUniTask& task) {
  try {
    store_->DeleteTask(task.id());
  } catch (const tasks::ETaskStoreError& e) {
    ShowError(std::string(e.what()) + "\n" + e.cause());
  } catch (const std::exception& e) {
    ShowError(std::string(tasks::kDeleteTaskError) + "\n" + e.what());
  }
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if ((*it)->task.get() != &task) continue;
    QTreeWidgetItem* item = (*it)->item;
    auto entry = std::move(*it);
    entries_.erase(it);
    delete item;
    break;
  }
}

void TFrmMain::SetNodeImage(tasks::TUniTask& task, int image) {
  auto* entry = static_cast<TaskEntry*>(task.node());
  if (!entry) return;
  entry->image = image;
  static const QStyle::StandardPixmap kIcons[11] = {
      QStyle::SP_BrowserReload, QStyle::SP_ArrowUp,           QStyle::SP_MessageBoxWarning,
      QStyle::SP_MediaPlay,     QStyle::SP_FileDialogStart,   QStyle::SP_MessageBoxWarning,
      QStyle::SP_ArrowDown,     QStyle::SP_MessageBoxWarning, QStyle::SP_MediaPlay,
      QStyle::SP_FileDialogEnd, QStyle::SP_MessageBoxWarning};
  entry->item->setIcon(0, style()->standardIcon(kIcons[image < 0 || image > 10 ? 0 : image]));
  entry->item->setData(0, Qt::UserRole + 1, image);
}

int TFrmMain::NodeImage(const tasks::TUniTask& task) const {
  const auto* entry = static_cast<const TaskEntry*>(task.node());
  return entry ? entry->image : -1;
}

std::string TFrmMain::ExportProgram() const {
  return Settings().expcmd;
}

std::string TFrmMain::ImportProgram() const {
  return Settings().impcmd;
}

void TFrmMain::UpdateTaskActions() {
  if (!store_) return;
  const tasks::TUniTask* task = TaskViewActive() ? SelectedTask() : nullptr;
  const bool idle = task && task->state() == tasks::TTaskState::Idle;
  AcRuntask->setEnabled(idle);
  AcTerminaterunningtask->setEnabled(task && task->state() == tasks::TTaskState::Running);
  AcDelTask->setEnabled(idle);
  AcModifyTask->setEnabled(idle);
  AcModifyOption->setEnabled(idle);
  for (QAction* a : {AcNewBlanktask, AcNewExp, AcNewImp, AcDeleteTasklog, AcSavetask, AcLoadTask})
    a->setEnabled(TaskViewActive());
}

void TFrmMain::TvwTasksChange() {
  lvtasklogs->clear();
  MmRunningMsg->clear();
  Mmmainlogs->clear();
  if (tasks::TUniTask* task = SelectedTask()) {
    if (task->state() == tasks::TTaskState::Running)
      for (const std::string& line : task->runlog()) MmRunningMsg->appendPlainText(displayText(line));
    try {
      for (const tasks::TaskLogEntry& entry : store_->LoadTaskLogs(task->id())) {
        auto* item = new QTreeWidgetItem({q(entry.dumpfile), QString::number(entry.filesize),
                                          timeText(entry.begintime), timeText(entry.endtime)});
        item->setData(0, Qt::UserRole, entry.id);
        lvtasklogs->addTopLevelItem(item);
      }
    } catch (const std::exception& e) {
      ShowError(e.what());
    }
  }
  UpdateTaskActions();
}

void TFrmMain::LvtasklogsChange() {
  QTreeWidgetItem* item = lvtasklogs->currentItem();
  tasks::TUniTask* task = SelectedTask();
  if (item && item->isSelected() && task) {
    try {
      Mmmainlogs->setPlainText(
          displayText(store_->LoadTaskLogContent(task->id(), item->data(0, Qt::UserRole).toInt())));
      if (auto* pages = findChild<QTabWidget*>("PageControl2")) pages->setCurrentIndex(1);
    } catch (const std::exception& e) {
      ShowError(e.what());
    }
  }
  UpdateTaskActions();
}

void TFrmMain::AcRuntaskExecute() {
  tasks::TUniTask* task = SelectedTask();
  if (!task || task->state() != tasks::TTaskState::Idle) return;
  task->SetState(tasks::TTaskState::Queued);
  UpdateTaskActions();
}

void TFrmMain::AcTerminaterunningtaskExecute() {
  tasks::TUniTask* task = SelectedTask();
  if (task && task->state() == tasks::TTaskState::Running) task->TerminateTask();
}

void TFrmMain::AcDelTaskExecute() {
  tasks::TUniTask* task = SelectedTask();
  if (!task) return;
  if (task->state() == tasks::TTaskState::Running) {
    Services().messages->information(this, QStringLiteral("Can not delete running task "));
    return;
  }
  if (task->state() != tasks::TTaskState::Idle) return;
  if (!Services().messages->question(this, "Delete this task: " + q(task->name()) + "?")) return;
  // The tick removes it.
  task->SetState(tasks::TTaskState::ToDelete);
  UpdateTaskActions();
}

void TFrmMain::AcModifyOptionExecute() {
  tasks::TUniTask* task = SelectedTask();
  if (!task) return;
  if (task->state() == tasks::TTaskState::Running) {
    Services().messages->information(this, QStringLiteral("Can not modify running task "));
    return;
  }
  if (task->state() != tasks::TTaskState::Idle) return;
  FrmTaskOption->Fill(*task);
  if (Services().dialogs->run(*FrmTaskOption) != QDialog::Accepted) return;
  FrmTaskOption->TakeInto(*task);
  try {
    store_->UpdateTask(*task);
  } catch (const tasks::ETaskStoreError& e) {
    ShowError(std::string(e.what()) + "\n" + e.cause());
  } catch (const std::exception& e) {
    ShowError(std::string(tasks::kSaveTaskError) + "\n" + e.what());
  }
  SetNodeImage(*task, tasks::TaskNodeImage(*task));
}

void TFrmMain::StoreNewTask(std::unique_ptr<tasks::TUniTask> task) {
  task->SetCreateTime(std::chrono::system_clock::now());
  try {
    store_->SaveTask(*task);
  } catch (const tasks::ETaskStoreError& e) {
    ShowError(std::string(e.what()) + "\n" + e.cause());
    return;
  } catch (const std::exception& e) {
    ShowError(std::string(tasks::kSaveTaskError) + "\n" + e.what());
    return;
  }
  tasks::TUniTask* added = task.get();
  AddTaskNode(std::move(task), true);
  SelectTask(added);
}

void TFrmMain::AcNewTaskExecute(tasks::TTaskType type) {
  std::unique_ptr<tasks::TUniTask> task;
  if (type == tasks::TTaskType::Import) {
    task = std::make_unique<tasks::TImpTask>(this);
  } else {
    task = std::make_unique<tasks::TExpTask>(this);
  }
  task->ResetToDefaults();
  task->SetTaskType(type);
  task->SetName(type == tasks::TTaskType::Import ? "New import task" : "New export task");
  StoreNewTask(std::move(task));
}

void TFrmMain::AcDeleteTasklogExecute() {
  tasks::TUniTask* task = SelectedTask();
  if (!task) return;
  const QList<QTreeWidgetItem*> chosen = lvtasklogs->selectedItems();
  if (chosen.isEmpty()) return;
  if (!Services().messages->question(this, QStringLiteral("Delete selected tasklog ?"))) return;
  for (QTreeWidgetItem* item : chosen) {
    try {
      store_->DeleteTaskLog(task->id(), item->data(0, Qt::UserRole).toInt());
      delete item;
    } catch (const tasks::ETaskStoreError& e) {
      ShowError(std::string(e.what()) + "\n" + e.cause());
      break;
    } catch (const std::exception& e) {
      ShowError(std::string(tasks::kDeleteTaskLogError) + "\n" + e.what());
      break;
    }
  }
  Mmmainlogs->clear();
  UpdateTaskActions();
}

void TFrmMain::AcSavetaskExecute() {
  std::vector<const tasks::TUniTask*> list;
  for (const auto& entry : entries_) list.push_back(entry->task.get());
  ExportTasksToFile(this, programFolder(), list);
}

void TFrmMain::AcLoadTaskExecute() {
  for (auto& task : ImportTasksFromFile(this, programFolder(), this, *store_))
    AddTaskNode(std::move(task), true);
}

std::string TFrmMain::ChosenRunDump() {
  const QList<QTreeWidgetItem*> chosen = lvtasklogs->selectedItems();
  if (chosen.isEmpty()) return {};
  // The first chosen run in list order.
  QTreeWidgetItem* first = chosen.front();
  for (QTreeWidgetItem* item : chosen)
    if (lvtasklogs->indexOfTopLevelItem(item) < lvtasklogs->indexOfTopLevelItem(first)) first = item;
  const QString path = first->text(0);
  if (!QFileInfo(path).isFile()) {
    Services().messages->error(this, "File does not exists:" + path);
    return {};
  }
  return path.toStdString();
}

void TFrmMain::AcImportthisfileExecute() {
  const std::string dump = ChosenRunDump();
  if (dump.empty()) return;
  // Until the import wizard exists the new task is stored as it is made: the whole dump, imported.
  auto task = std::make_unique<tasks::TImpTask>(this);
  task->ResetToDefaults();
  task->SetTaskType(tasks::TTaskType::Import);
  task->SetName("Import " + QFileInfo(q(dump)).fileName().toStdString());
  if (!tasks::IsBareParamValue(dump) && !tasks::ParamValueQuoteProblem(dump).empty()) {
    ShowError("Can not import " + dump + ": " + std::string(tasks::ParamValueQuoteProblem(dump)));
    return;
  }
  task->SetCommand("file=" + (tasks::IsBareParamValue(dump) ? dump : tasks::QuoteParamValue(dump)) +
                   " full=y");
  task->ParseCommand();
  StoreNewTask(std::move(task));
}

void TFrmMain::AcAnalyzethisfileExecute() {
  const std::string dump = ChosenRunDump();
  if (dump.empty()) return;
  PageControl3->setCurrentIndex(1);
  OpenDumpOrAnalysisFile(dump);
}

}  // namespace ui
