// The main window: a frame over the task pane and the dump pane. It makes the commands' actions,
// the menus and the tool bar, switches between the task view and the dump view, and owns the
// settings, the tray icon and the hand-over from a second instance of the program.
//
// Threads: window thread only.
#pragma once

#include <QMainWindow>
#include <QString>
#include <chrono>
#include <memory>
#include <string>

#include "ui/dumppane.h"
#include "ui/taskpane.h"

class QAction;
class QMenu;
class QLocalServer;
class QLocalSocket;
class QSystemTrayIcon;
class QTabWidget;

namespace ui {

class TFrmAboutBox;
class TFrmSysOption;
class TFrmTips;
class Tfrmchangenls;

// The name under which the running instance listens: the program's name and the user's id, in
// the user's runtime folder.
QString InstanceName();

// How long a later start waits for the running instance to take its hand-over and answer.
inline constexpr std::chrono::milliseconds kHandOverWait{5000};

// True when an instance listens under `name`: it has then been told to come to the front and
// has answered, or `error` says why it was not reached (it closed the connection without an
// answer, answered something else, did not answer within `wait`, or took no connection within
// it). False when none
// listens (a socket left by a crashed instance counts as none). Runs the event loop (no user
// input) while it waits, so that an instance in this process answers as well.
bool HandOverToRunningInstance(const QString& name, QString& error,
                               std::chrono::milliseconds wait = kHandOverWait);

// The running instance's side: answers the later start on `socket` at once and closes it (the
// socket then deletes itself).
void AnswerHandOver(QLocalSocket& socket);

// Listens under `name` for later instances, which HandOverToRunningInstance then reaches: the
// server, owned by `parent`. A socket left under the name is removed only when nobody answers on
// it (a crashed instance's). One that an instance answers on is that instance's, started at
// almost the same moment as this one: it stays, the instance has been told to come to the front,
// `handedOver` is set and null returned; when that instance did not answer within `wait`,
// `error` (where given) says why. Null as well when the name cannot be taken. Starts take their
// turns at this through a lock file beside the socket.
QLocalServer* ListenForLaterInstances(const QString& name, QObject* parent, bool& handedOver,
                                      QString* error = nullptr,
                                      std::chrono::milliseconds wait = kHandOverWait);

class TFrmMain final : public QMainWindow {
  Q_OBJECT
 public:
  // Creates the window (FormCreate). When an instance listens under `instanceName`, also one
  // that began listening while this one was being made, hands over to it and stops: HandedOver()
  // is then true and the caller ends. When that instance does not answer within `handOverWait`
  // (see HandOverToRunningInstance), shows "Error on ActivatePreviousInstance: " and why, and
  // stops with HandedOver() and Started() false. Otherwise listens under `instanceName` for
  // later instances.
  explicit TFrmMain(const QString& instanceName, std::chrono::milliseconds handOverWait = kHandOverWait);
  ~TFrmMain() override;

  bool HandedOver() const { return handedOver_; }
  // False after a failure of the creation, which has been reported; the caller ends.
  bool Started() const { return started_; }

  // The panes; only a started window has them.
  TaskPane& TaskView() const { return *tasks_; }
  DumpPane& DumpView() const { return *dumps_; }

  // Closes as a termination request asks (SIGTERM, SIGINT): running tasks end without a question.
  // A close while boxes or dialogs are open closes them as cancelled and then, once the commands
  // that showed them have returned, the window.
  void CloseOnRequest();

  bool TaskViewActive() const { return taskViewActive_; }
  bool AnalysisViewActive() const { return !taskViewActive_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;

 private:
  void BuildActions();
  void BuildLayout();
  void BuildMenus();
  void BuildTray();
  QAction* NewAction(const char* name, const QString& caption, const QString& hint = QString());
  void SetTaskViewActive(bool on);
  // "Analyze" on a run: the dump view, showing that run's dump.
  void AnalyzeDump(const std::string& dumpFile);
  void RestoreFromTray();
  void ShowTips();
  void AcModifySysoptionExecute();
  void AcchangeregnlsExecute();
  void HelpTopicsClick();
  void OnTheWebClick();

  bool handedOver_ = false;
  bool started_ = false;
  bool shown_ = false;
  bool taskViewActive_ = true;
  bool tipsAtStartup_ = true;
  bool showTipsOnActivate_ = false;
  // Set while the close ends the runs: a close asked for meanwhile is refused.
  bool closing_ = false;
  // Set while a close waits for the open boxes and dialogs to end.
  bool closeWaiting_ = false;
  // Set while the close asks whether to end the running tasks.
  bool asking_ = false;
  // Whether closing while a task runs asks first.
  bool askBeforeClosing_ = true;

  TaskActions taskActions_{};
  DumpActions dumpActions_{};
  QAction *AcModifySysoption = nullptr, *Acchangeregnls = nullptr, *Acsavedumpfileheader = nullptr;
  QAction *exitAction_ = nullptr, *tipsAction_ = nullptr, *fileHeaderAction_ = nullptr,
          *helpTopicsAction_ = nullptr, *onTheWebAction_ = nullptr, *aboutAction_ = nullptr;

  QTabWidget* PageControl3 = nullptr;
  QTabWidget* PageControl1 = nullptr;
  QSystemTrayIcon* TrayIcon1 = nullptr;
  QMenu* pop_tray = nullptr;
  QLocalServer* instanceServer_ = nullptr;

  std::unique_ptr<TFrmAboutBox> FrmAboutBox;
  std::unique_ptr<TFrmSysOption> FrmSysOption;
  std::unique_ptr<Tfrmchangenls> frmchangenls;
  std::unique_ptr<TFrmTips> FrmTips;
  // Owned here, not by a Qt parent, so that they go (the task pane ending every run) before the
  // pages they show in.
  std::unique_ptr<TaskPane> tasks_;
  std::unique_ptr<DumpPane> dumps_;
};

}  // namespace ui
