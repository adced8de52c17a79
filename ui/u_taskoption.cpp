#include "ui/u_taskoption.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <cstdio>

#include "platform/ftpclient.h"
#include "platform/scopeguard.h"
#include "tasks/u_common.h"
#include "tasks/u_unitask.h"
#include "ui/services.h"
#include "ui/windowtext.h"

namespace ui {
namespace {

template <class W>
W* named(W* widget, const char* name) {
  widget->setObjectName(name);
  return widget;
}

std::string trimmed(const QLineEdit* edit) {
  return edit->text().trimmed().toStdString();
}

bool isExportTask(const tasks::TUniTask& task) {
  return task.tasktype() == tasks::TTaskType::Export || task.tasktype() == tasks::TTaskType::RawExport;
}

}  // namespace

TFrmTaskOption::TFrmTaskOption(QWidget* parent) : QDialog(parent) {
  setObjectName("FrmTaskOption");
  setWindowTitle(QStringLiteral("Task Option"));
  auto* layout = new QVBoxLayout(this);
  pages = named(new QTabWidget(this), "PageControl1");
  layout->addWidget(pages);

  TsSchedule = named(new QWidget, "TsSchedule");
  auto* schedule = new QGridLayout(TsSchedule);
  CbSchedule = named(new QCheckBox(QStringLiteral("Periodic schedule")), "CbSchedule");
  EdMinute = named(new QSpinBox, "EdMinute");
  EdMinute->setRange(0, 59);
  EdHour = named(new QSpinBox, "EdHour");
  EdHour->setRange(0, 23);
  CmbDayofWeek = named(new QComboBox, "CmbDayofWeek");
  CmbDayofWeek->addItems(
      {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Everyday"});
  schedule->addWidget(CbSchedule, 0, 0, 1, 2);
  schedule->addWidget(new QLabel(QStringLiteral("Minute")), 1, 0);
  schedule->addWidget(EdMinute, 1, 1);
  schedule->addWidget(new QLabel(QStringLiteral("Hour")), 2, 0);
  schedule->addWidget(EdHour, 2, 1);
  schedule->addWidget(new QLabel(QStringLiteral("Day")), 3, 0);
  schedule->addWidget(CmbDayofWeek, 3, 1);
  schedule->setRowStretch(4, 1);
  pages->addTab(TsSchedule, QStringLiteral("Schedule"));

  TsScripts = named(new QWidget, "TsScripts");
  auto* scripts = new QGridLayout(TsScripts);
  CBrunb = named(new QCheckBox(QStringLiteral("Run Sql file before starting this task")), "CBrunb");
  Edpreexec = named(new QLineEdit, "Edpreexec");
  BtnOpenb = named(new QPushButton(QStringLiteral("...")), "BtnOpenb");
  CbRuna = named(new QCheckBox(QStringLiteral("Run Sql file after terminating this task")), "CbRuna");
  EdpostExec = named(new QLineEdit, "EdpostExec");
  BtnOpena = named(new QPushButton(QStringLiteral("...")), "BtnOpena");
  cbconnectuser = named(new QCheckBox(QStringLiteral("Run Sql as a user different from Export/Import user")),
                        "cbconnectuser");
  edusername = named(new QLineEdit, "edusername");
  edpassword = named(new QLineEdit, "edpassword");
  edpassword->setEchoMode(QLineEdit::Password);
  edconnectstring = named(new QLineEdit, "edconnectstring");
  const QString note = QStringLiteral("The Sql file must be ended with \"exit;\"");
  scripts->addWidget(CBrunb, 0, 0, 1, 2);
  scripts->addWidget(Edpreexec, 1, 0);
  scripts->addWidget(BtnOpenb, 1, 1);
  scripts->addWidget(new QLabel(note), 2, 0, 1, 2);
  scripts->addWidget(CbRuna, 3, 0, 1, 2);
  scripts->addWidget(EdpostExec, 4, 0);
  scripts->addWidget(BtnOpena, 4, 1);
  scripts->addWidget(new QLabel(note), 5, 0, 1, 2);
  scripts->addWidget(cbconnectuser, 6, 0, 1, 2);
  auto* account = new QFormLayout;
  account->addRow(QStringLiteral("User name"), edusername);
  account->addRow(QStringLiteral("Password"), edpassword);
  account->addRow(QStringLiteral("Connect string"), edconnectstring);
  scripts->addLayout(account, 7, 0, 1, 2);
  pages->addTab(TsScripts, QStringLiteral("Scripts"));

  TsTransfer = named(new QWidget, "TsTransfer");
  auto* transfer = new QVBoxLayout(TsTransfer);
  rbnone = named(new QRadioButton(QStringLiteral("Don't transfer")), "rbnone");
  rbbyftp = named(new QRadioButton(QStringLiteral("Transfer by FTP")), "rbbyftp");
  rbbydir = named(new QRadioButton(QStringLiteral("Transfer by file copy")), "rbbydir");
  edserver = named(new QLineEdit, "edserver");
  edftpusername = named(new QLineEdit, "edftpusername");
  edftppassword = named(new QLineEdit, "edftppassword");
  edftppassword->setEchoMode(QLineEdit::Password);
  edremotedir = named(new QLineEdit, "edremotedir");
  cbaftp = named(new QCheckBox(QStringLiteral("Anonymous FTP")), "cbaftp");
  BtnTest = named(new QPushButton(QStringLiteral("Test")), "BtnTest");
  eddestdir = named(new QLineEdit, "eddestdir");
  btnchoosedir = named(new QPushButton(QStringLiteral("Choose")), "btnchoosedir");
  cbdeletefile = named(new QCheckBox(QStringLiteral("Delete this file after transfer")), "cbdeletefile");
  auto* ftp = new QFormLayout;
  ftp->addRow(QStringLiteral("Server"), edserver);
  ftp->addRow(QStringLiteral("User name"), edftpusername);
  ftp->addRow(QStringLiteral("Password"), edftppassword);
  ftp->addRow(QStringLiteral("Remote folder"), edremotedir);
  ftp->addRow(cbaftp, BtnTest);
  auto* copy = new QHBoxLayout;
  copy->addWidget(new QLabel(QStringLiteral("Folder")));
  copy->addWidget(eddestdir);
  copy->addWidget(btnchoosedir);
  transfer->addWidget(rbnone);
  transfer->addWidget(rbbyftp);
  transfer->addLayout(ftp);
  transfer->addWidget(rbbydir);
  transfer->addLayout(copy);
  transfer->addWidget(cbdeletefile);
  transfer->addStretch();
  pages->addTab(TsTransfer, QStringLiteral("File Transfer"));

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &TFrmTaskOption::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  connect(CbSchedule, &QCheckBox::toggled, this, [this] { UpdateSchedule(); });
  for (QCheckBox* box : {CBrunb, CbRuna, cbconnectuser})
    connect(box, &QCheckBox::clicked, this, [this, box] {
      UpdateScripts();
      if (box->isChecked() && pages->currentWidget() == TsScripts && box != cbconnectuser)
        (box == CBrunb ? Edpreexec : EdpostExec)->setFocus();
    });
  connect(pages, &QTabWidget::currentChanged, this, [this] {
    if (pages->currentWidget() == TsScripts) UpdateScripts();
  });
  connect(BtnOpenb, &QPushButton::clicked, this, [this] { BrowseScript(Edpreexec); });
  connect(BtnOpena, &QPushButton::clicked, this, [this] { BrowseScript(EdpostExec); });
  connect(cbaftp, &QCheckBox::clicked, this, [this](bool on) { UpdateAnonymous(on); });
  for (QRadioButton* rb : {rbnone, rbbyftp, rbbydir})
    connect(rb, &QRadioButton::toggled, this, [this] { UpdateTransfer(); });
  connect(btnchoosedir, &QPushButton::clicked, this, [this] {
    const QString start = eddestdir->text().trimmed().isEmpty() ? QString() : eddestdir->text().trimmed();
    const QString chosen = Services().files->chooseFolder(this, start);
    if (!chosen.isEmpty()) eddestdir->setText(chosen);
  });
  connect(BtnTest, &QPushButton::clicked, this, [this] { BtnTestClick(); });
}

void TFrmTaskOption::Fill(const tasks::TUniTask& task) {
  setWindowTitle(QStringLiteral("Task option: ") + QString::fromStdString(task.name()));
  pages->setCurrentIndex(0);
  pages->setTabVisible(pages->indexOf(TsTransfer), isExportTask(task));

  int minute = 0, hour = 0, day = 0;
  const bool scheduled = tasks::ParseScheduleTime(task.scheduletable(), minute, hour, day);
  CbSchedule->setChecked(scheduled);
  EdMinute->setValue(scheduled ? minute : 0);
  EdHour->setValue(scheduled ? hour : 0);
  CmbDayofWeek->setCurrentIndex(scheduled ? day : 0);
  UpdateSchedule();

  CBrunb->setChecked(task.ispreexec());
  Edpreexec->setText(QString::fromStdString(task.preexec()));
  CbRuna->setChecked(task.ispostexec());
  EdpostExec->setText(QString::fromStdString(task.postexec()));
  cbconnectuser->setChecked(task.isexecuser());
  edusername->setText(QString::fromStdString(task.execusername()));
  edpassword->setText(QString::fromStdString(task.execpassword()));
  edconnectstring->setText(QString::fromStdString(task.execconnectstring()));
  UpdateScripts();

  (task.transfermode() == tasks::kTransferFtp    ? rbbyftp
   : task.transfermode() == tasks::kTransferCopy ? rbbydir
                                                 : rbnone)
      ->setChecked(true);
  cbaftp->setChecked(task.ftpanonymous() == 1);
  cbdeletefile->setChecked(task.deletefileafter() == 1);
  edserver->setText(QString::fromStdString(task.ftpserver()));
  edftpusername->setText(QString::fromStdString(task.ftpusername()));
  edftppassword->setText(QString::fromStdString(task.ftppassword()));
  edremotedir->setText(QString::fromStdString(task.ftpremotedir()));
  eddestdir->setText(QString::fromStdString(task.copyfiledir()));
  UpdateTransfer();
}

void TFrmTaskOption::TakeInto(tasks::TUniTask& task) const {
  if (CbSchedule->isChecked()) {
    char text[16];
    std::snprintf(text, sizeof text, "%.2d%.2d%.2d", EdMinute->value(), EdHour->value(),
                  CmbDayofWeek->currentIndex());
    task.SetScheduleTable(text);
    task.SetScheduled(true);
  } else {
    task.SetScheduleTable("0");
    task.SetScheduled(false);
  }
  // Texts the user left as shown keep their bytes (see editedText).
  const std::string preexec = editedText(Edpreexec->text(), task.preexec(), true);
  const std::string postexec = editedText(EdpostExec->text(), task.postexec(), true);
  task.SetIsPreExec(CBrunb->isChecked() && !preexec.empty());
  task.SetIsPostExec(CbRuna->isChecked() && !postexec.empty());
  task.SetPreExec(preexec);
  task.SetPostExec(postexec);
  const std::string execuser = editedText(edusername->text(), task.execusername(), false);
  task.SetIsExecUser(cbconnectuser->isChecked() && !trimmed(edusername).empty());
  task.SetExecUserName(execuser);
  task.SetExecPassword(editedText(edpassword->text(), task.execpassword(), false));
  task.SetExecConnectString(editedText(edconnectstring->text(), task.execconnectstring(), false));
  task.SetTransferMode(rbbyftp->isChecked()   ? tasks::kTransferFtp
                       : rbbydir->isChecked() ? tasks::kTransferCopy
                                              : tasks::kTransferNone);
  task.SetFtpAnonymous(cbaftp->isChecked() ? 1 : 0);
  task.SetDeleteFileAfter(cbdeletefile->isChecked() ? 1 : 0);
  task.SetFtpServer(editedText(edserver->text(), task.ftpserver(), true));
  task.SetFtpUserName(editedText(edftpusername->text(), task.ftpusername(), true));
  task.SetFtpPassword(editedText(edftppassword->text(), task.ftppassword(), true));
  task.SetFtpRemoteDir(editedText(edremotedir->text(), task.ftpremotedir(), true));
  task.SetCopyFileDir(editedText(eddestdir->text(), task.copyfiledir(), true));
}

void TFrmTaskOption::accept() {
  if (CbSchedule->isChecked()) {
    for (QSpinBox* edit : {EdMinute, EdHour}) {
      if (edit->hasAcceptableInput()) continue;
      pages->setCurrentWidget(TsSchedule);
      Services().messages->error(this, edit == EdMinute
                                           ? QStringLiteral("The minute must be a number from 0 to 59.")
                                           : QStringLiteral("The hour must be a number from 0 to 23."));
      edit->setFocus();
      return;
    }
  }
  QDialog::accept();
}

void TFrmTaskOption::UpdateSchedule() {
  for (QWidget* w : std::initializer_list<QWidget*>{EdMinute, EdHour, CmbDayofWeek})
    w->setEnabled(CbSchedule->isChecked());
}

void TFrmTaskOption::UpdateScripts() {
  Edpreexec->setEnabled(CBrunb->isChecked());
  BtnOpenb->setEnabled(CBrunb->isChecked());
  EdpostExec->setEnabled(CbRuna->isChecked());
  BtnOpena->setEnabled(CbRuna->isChecked());
  for (QLineEdit* edit : {edusername, edpassword, edconnectstring})
    edit->setEnabled(cbconnectuser->isChecked());
}

void TFrmTaskOption::UpdateTransfer() {
  const bool ftp = rbbyftp->isChecked(), copy = rbbydir->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{edserver, edftppassword, edremotedir, cbaftp, BtnTest})
    w->setEnabled(ftp);
  edftpusername->setEnabled(ftp && !cbaftp->isChecked());
  eddestdir->setEnabled(copy);
  btnchoosedir->setEnabled(copy);
  cbdeletefile->setEnabled(ftp || copy);
}

void TFrmTaskOption::UpdateAnonymous(bool turnedOn) {
  if (turnedOn) edftppassword->setText(QString::fromLatin1(kAnonymousFtpAddress));
  UpdateTransfer();
}

void TFrmTaskOption::BrowseScript(QLineEdit* target) {
  const QString chosen = Services().files->openFile(
      this, target->text(), QStringLiteral("Sql scripts file(*.Sql *.sql);;All files(*)"));
  if (!chosen.isEmpty()) target->setText(chosen);
}

void TFrmTaskOption::BtnTestClick() {
  const std::string server = trimmed(edserver);
  std::string outcome;
  {
    // The client's waits are bounded (30 s to connect, 60 s for a reply); meanwhile the user sees
    // that the dialog waits.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const platform::ScopeExit restoreCursor([] { QApplication::restoreOverrideCursor(); });
    std::unique_ptr<platform::FtpClient> ftp = platform::makeFtpClient();
    ftp->setHost(server);
    ftp->setUser(cbaftp->isChecked() ? "anonymous" : trimmed(edftpusername));
    ftp->setPassword(trimmed(edftppassword));
    try {
      ftp->connect();
      if (!trimmed(edremotedir).empty()) ftp->changeDir(trimmed(edremotedir));
      const std::string dir = ftp->currentDir();
      ftp->setBinaryMode();
      ftp->disconnect();
      outcome = "Connected to " + server + "\r\n" + "Current dir is:" + dir;
    } catch (const platform::FtpError& e) {
      ftp->disconnect();
      outcome = "Not connected to " + server + "\r\n" + e.what();
    }
  }
  Services().messages->information(this, QString::fromStdString(outcome));
}

}  // namespace ui
