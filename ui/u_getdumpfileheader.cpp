#include "ui/u_getdumpfileheader.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/services.h"

namespace ui {
namespace {

QString folderOf(const QString& file) {
  return QFileInfo(file).absolutePath() + "/";
}

}  // namespace

TFrm_getdumpfileheader::TFrm_getdumpfileheader(std::string& lastDumpDir, HeaderCommand command,
                                               QWidget* parent)
    : QDialog(parent), lastDumpDir_(lastDumpDir), command_(std::move(command)) {
  setObjectName("Frm_getdumpfileheader");
  setWindowTitle(QStringLiteral("Get dump file header"));
  auto* grid = new QGridLayout(this);
  eddumpfile = new QLineEdit(this);
  eddumpfile->setObjectName("eddumpfile");
  eddumpfile->setMinimumWidth(320);
  auto* browseDump = new QPushButton(QStringLiteral("&Browse"), this);
  browseDump->setObjectName("Btndumpfile");
  edtargetdir = new QLineEdit(this);
  edtargetdir->setObjectName("edtargetdir");
  Btntargetdir = new QPushButton(QStringLiteral("Bro&wse"), this);
  Btntargetdir->setObjectName("Btntargetdir");
  ckbsamedir = new QCheckBox(QStringLiteral("Same directory as dump file"), this);
  ckbsamedir->setObjectName("ckbsamedir");
  auto* get = new QPushButton(QStringLiteral("&Get file header"), this);
  get->setObjectName("btngetfileheader");
  auto* exit = new QPushButton(QStringLiteral("&Exit"), this);
  exit->setObjectName("BtnExit");
  grid->addWidget(new QLabel(QStringLiteral("Dump File:"), this), 0, 0);
  grid->addWidget(eddumpfile, 0, 1);
  grid->addWidget(browseDump, 0, 2);
  grid->addWidget(new QLabel(QStringLiteral("Save header file to:"), this), 1, 0);
  grid->addWidget(edtargetdir, 1, 1);
  grid->addWidget(Btntargetdir, 1, 2);
  grid->addWidget(ckbsamedir, 2, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(get);
  buttons->addWidget(exit);
  grid->addLayout(buttons, 3, 0, 1, 3);

  connect(ckbsamedir, &QCheckBox::clicked, this, &TFrm_getdumpfileheader::ckbsamedirClick);
  connect(get, &QPushButton::clicked, this, &TFrm_getdumpfileheader::btngetfileheaderClick);
  connect(exit, &QPushButton::clicked, this, &QDialog::accept);
  connect(browseDump, &QPushButton::clicked, this, [this] {
    const QString last = QString::fromStdString(lastDumpDir_);
    const QString start = !last.isEmpty() && QDir(last).exists() ? last : QString();
    const QString file =
        Services().files->openFile(this, start, QStringLiteral("dump file(*.dmp);;All files(*)"));
    if (!file.isEmpty()) eddumpfile->setText(file);
  });
  connect(Btntargetdir, &QPushButton::clicked, this, [this] {
    const QString folder = Services().files->chooseFolder(this, QString());
    if (!folder.isEmpty()) edtargetdir->setText(folder);
  });
  Reset();
}

void TFrm_getdumpfileheader::Reset() {
  eddumpfile->clear();
  edtargetdir->clear();
  ckbsamedir->setChecked(true);
  ckbsamedirClick();
}

void TFrm_getdumpfileheader::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  eddumpfile->setFocus();
}

void TFrm_getdumpfileheader::ckbsamedirClick() {
  edtargetdir->setEnabled(!ckbsamedir->isChecked());
  Btntargetdir->setEnabled(!ckbsamedir->isChecked());
}

void TFrm_getdumpfileheader::btngetfileheaderClick() {
  const QString dump = eddumpfile->text().trimmed();
  if (dump.isEmpty()) {
    Services().messages->error(this, QStringLiteral("Please input dump file!"));
    eddumpfile->setFocus();
    return;
  }
  QString target;
  if (ckbsamedir->isChecked()) {
    target = folderOf(dump);
  } else {
    target = edtargetdir->text().trimmed();
    if (target.isEmpty()) {
      Services().messages->error(this, QStringLiteral("Please input target dir!"));
      edtargetdir->setFocus();
      return;
    }
    target += "/";
  }
  lastDumpDir_ = folderOf(dump).toStdString();
  command_(dump.toStdString(), target.toStdString());
}

}  // namespace ui
