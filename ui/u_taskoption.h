// The task option dialog: a task's weekly schedule, its pre- and post-scripts with an optional
// account of their own, and the transfer of an export task's dump file, with a test of the FTP
// login. The main window fills it from the task, runs it modally and on OK takes the values back
// and stores the task; the dialog itself only keeps its controls consistent.
//
// Threads: window thread only. The FTP test waits for the server (the client's waits are bounded).
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;

namespace tasks {
class TUniTask;
}

namespace ui {

// The address put into the FTP password for an anonymous login.
inline constexpr const char* kAnonymousFtpAddress = "velmaron@example.com";

class TFrmTaskOption final : public QDialog {
  Q_OBJECT
 public:
  explicit TFrmTaskOption(QWidget* parent = nullptr);

  // Caption, first page, the transfer page only for export tasks, every control from `task`.
  void Fill(const tasks::TUniTask& task);
  // The values back into `task`, texts trimmed except the run-as account. Requires: the dialog
  // was accepted, so the schedule's minute and hour are valid.
  void TakeInto(tasks::TUniTask& task) const;

  // Closes with OK only when the schedule is off or its minute and hour are whole numbers in
  // range; otherwise says which is wrong and puts the focus there.
  void accept() override;

 private:
  void UpdateSchedule();
  void UpdateScripts();
  void UpdateTransfer();
  void UpdateAnonymous(bool turnedOn);
  void BrowseScript(QLineEdit* target);
  void BtnTestClick();

  QTabWidget* pages;
  QWidget *TsSchedule, *TsScripts, *TsTransfer;
  QCheckBox* CbSchedule;
  QSpinBox *EdMinute, *EdHour;
  QComboBox* CmbDayofWeek;
  QCheckBox *CBrunb, *CbRuna, *cbconnectuser;
  QLineEdit *Edpreexec, *EdpostExec, *edusername, *edpassword, *edconnectstring;
  QPushButton *BtnOpenb, *BtnOpena;
  QRadioButton *rbnone, *rbbyftp, *rbbydir;
  QLineEdit *edserver, *edftpusername, *edftppassword, *edremotedir, *eddestdir;
  QCheckBox *cbaftp, *cbdeletefile;
  QPushButton *BtnTest, *btnchoosedir;
};

}  // namespace ui
