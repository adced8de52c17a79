#include "ui/u_sysoption.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include "platform/privatefile.h"
#include "ui/programsettings.h"
#include "ui/services.h"

namespace ui {

TFrmSysOption::TFrmSysOption(QWidget* parent) : QDialog(parent) {
  setObjectName("FrmSysOption");
  setWindowTitle(QStringLiteral("Options"));
  auto* grid = new QGridLayout(this);
  int row = 0;
  auto addPath = [&](const char* label, QLineEdit*& edit, const char* editName, const char* buttonName,
                     bool folder) {
    edit = new QLineEdit(this);
    edit->setObjectName(editName);
    edit->setMinimumWidth(320);
    auto* browse = new QPushButton(QStringLiteral("Browse"), this);
    browse->setObjectName(buttonName);
    grid->addWidget(new QLabel(QString::fromUtf8(label), this), row, 0);
    grid->addWidget(edit, row, 1);
    grid->addWidget(browse, row, 2);
    ++row;
    QLineEdit* target = edit;
    connect(browse, &QPushButton::clicked, this, [this, target, folder] {
      const QString chosen =
          folder ? Services().files->chooseFolder(this, QString())
                 : Services().files->openFile(this, QString(), QStringLiteral("All files (*)"));
      if (!chosen.isEmpty()) target->setText(chosen);
    });
  };
  addPath("Export:", EdExpcmd, "EdExpcmd", "Btnexp", false);
  addPath("Import", EdImpCmd, "EdImpCmd", "Btnimp", false);
  addPath("Sqlplus", EdSqlplusCmd, "EdSqlplusCmd", "Btnsqlplus", false);
  addPath("Work directory", Edtmpdir, "Edtmpdir", "BtnWorkdir", true);

  // The arrows step within 1 to 5; a number typed into the edit is taken as it is.
  edmaxtasks = new QLineEdit(this);
  edmaxtasks->setObjectName("edmaxtasks");
  auto* updown = new QSpinBox(this);
  updown->setObjectName("UpDown1");
  updown->setRange(1, 5);
  updown->setFixedWidth(20);
  updown->setButtonSymbols(QSpinBox::UpDownArrows);
  connect(updown, &QSpinBox::valueChanged, this, [this](int v) { edmaxtasks->setText(QString::number(v)); });
  connect(edmaxtasks, &QLineEdit::textEdited, this, [updown](const QString& text) {
    const QSignalBlocker block(updown);
    updown->setValue(std::clamp(text.toInt(), 1, 5));
  });
  auto* count = new QHBoxLayout;
  count->addWidget(edmaxtasks);
  count->addWidget(updown);
  count->addStretch();
  grid->addWidget(new QLabel(QStringLiteral("Max tasks"), this), row, 0);
  grid->addLayout(count, row, 1);
  ++row;

  auto* buttons = new QHBoxLayout;
  auto* ok = new QPushButton(QStringLiteral("&Ok"), this);
  ok->setObjectName("BtnOK");
  auto* cancel = new QPushButton(QStringLiteral("&Cancel"), this);
  cancel->setObjectName("BtnCancel");
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  grid->addLayout(buttons, row, 0, 1, 3);
  connect(ok, &QPushButton::clicked, this, &TFrmSysOption::BtnOKClick);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

QString TFrmSysOption::Problem(QLineEdit*& at) const {
  const std::pair<QLineEdit*, const char*> programs[] = {
      {EdExpcmd, "export"}, {EdImpCmd, "import"}, {EdSqlplusCmd, "sqlplus"}};
  for (const auto& [edit, what] : programs) {
    at = edit;
    const QString path = edit->text().trimmed();
    if (path.isEmpty()) return QStringLiteral("The %1 program can not be empty.").arg(what);
    // A bare name is looked up in the folders of PATH when the program starts.
    const QFileInfo file(path);
    if (path.contains('/') && !(file.isFile() && file.isExecutable()))
      return QStringLiteral("The %1 program does not exist or can not be run: %2").arg(what, path);
  }
  at = Edtmpdir;
  const QString folder = Edtmpdir->text().trimmed();
  if (folder.isEmpty()) return QStringLiteral("The work directory can not be empty.");
  if (!QFileInfo(folder).isDir()) return QStringLiteral("The work directory does not exist: %1").arg(folder);
  // The runs write the account into their parameter files there, and refuse a folder others may
  // change: it is refused here, not at every run.
  if (!platform::isPrivateFolder(folder.toStdString()))
    return QStringLiteral("The work directory must belong to you and be writable by you only: %1")
        .arg(folder);
  at = edmaxtasks;
  bool number = false;
  const int count = edmaxtasks->text().trimmed().toInt(&number);
  if (!number || count < 1)
    return QStringLiteral("Max tasks must be a whole number of at least 1: %1").arg(edmaxtasks->text());
  at = nullptr;
  return QString();
}

void TFrmSysOption::BtnOKClick() {
  QLineEdit* at = nullptr;
  const QString problem = Problem(at);
  if (problem.isEmpty()) {
    accept();
    return;
  }
  Services().messages->error(this, problem);
  if (at) at->setFocus();
}

void TFrmSysOption::Fill(const ProgramSettings& settings) {
  EdExpcmd->setText(QString::fromStdString(settings.expcmd));
  EdImpCmd->setText(QString::fromStdString(settings.impcmd));
  EdSqlplusCmd->setText(QString::fromStdString(settings.sqlpluscmd));
  Edtmpdir->setText(QString::fromStdString(settings.tmpdir));
  edmaxtasks->setText(QString::number(settings.maxtasks));
}

void TFrmSysOption::TakeInto(ProgramSettings& settings) const {
  settings.expcmd = EdExpcmd->text().trimmed().toStdString();
  settings.impcmd = EdImpCmd->text().trimmed().toStdString();
  settings.sqlpluscmd = EdSqlplusCmd->text().trimmed().toStdString();
  settings.tmpdir = Edtmpdir->text().trimmed().toStdString();
  settings.maxtasks = ParseMaxTasks(edmaxtasks->text().toStdString());
}

}  // namespace ui
