#include "ui/u_changeregnls.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "tasks/u_common.h"

namespace ui {
namespace {

QString trimmed(std::string_view text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size())).trimmed();
}

}  // namespace

Tfrmchangenls::Tfrmchangenls(QWidget* parent) : QDialog(parent) {
  setObjectName("frmchangenls");
  setWindowTitle(QStringLiteral("Change character sets in registry"));
  auto* grid = new QGridLayout(this);
  lbclientnls = new QLabel(this);
  lbclientnls->setObjectName("lbclientnls");
  auto* serverLabel = new QLabel(QStringLiteral("Server"), this);
  auto* server = new QLabel(this);
  server->setObjectName("lbservernls");
  serverLabel->hide();
  server->hide();
  cmbnewclientnls = new QComboBox(this);
  cmbnewclientnls->setObjectName("cmbnewclientnls");
  cmbnewclientnls->setEditable(false);
  lbnlsdescription = new QLabel(this);
  lbnlsdescription->setObjectName("lbnlsdescription");
  grid->addWidget(new QLabel(QStringLiteral("Client"), this), 0, 0);
  grid->addWidget(lbclientnls, 0, 1);
  grid->addWidget(serverLabel, 1, 0);
  grid->addWidget(server, 1, 1);
  grid->addWidget(new QLabel(QStringLiteral("New"), this), 2, 0);
  grid->addWidget(cmbnewclientnls, 2, 1);
  grid->addWidget(new QLabel(QStringLiteral("Description"), this), 3, 0);
  grid->addWidget(lbnlsdescription, 3, 1);
  auto* buttons = new QHBoxLayout;
  auto* ok = new QPushButton(QStringLiteral("&Ok"), this);
  ok->setObjectName("btnok");
  auto* cancel = new QPushButton(QStringLiteral("&Cancel"), this);
  cancel->setObjectName("BtnCancel");
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  grid->addLayout(buttons, 4, 0, 1, 2);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(cmbnewclientnls, &QComboBox::currentIndexChanged, this, &Tfrmchangenls::cmbnewclientnlsChange);
}

void Tfrmchangenls::Fill(const QString& clientCharset) {
  const QSignalBlocker block(cmbnewclientnls);
  cmbnewclientnls->clear();
  rows_ = tasks::CharsetNameRows();
  const auto table = tasks::CharsetTable();
  for (int row : rows_) cmbnewclientnls->addItem(trimmed(table[size_t(row - 1)].name));
  cmbnewclientnls->setCurrentIndex(rows_.empty() ? -1 : 0);
  cmbnewclientnlsChange();
  lbclientnls->setText(clientCharset);
}

int Tfrmchangenls::ChosenRow() const {
  const int i = cmbnewclientnls->currentIndex();
  return i >= 0 && size_t(i) < rows_.size() ? rows_[size_t(i)] : 0;
}

void Tfrmchangenls::cmbnewclientnlsChange() {
  const int row = ChosenRow();
  lbnlsdescription->setText(row ? trimmed(tasks::CharsetTable()[size_t(row - 1)].description) : QString());
}

}  // namespace ui
