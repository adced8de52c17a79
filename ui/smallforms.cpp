#include "ui/smallforms.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextEdit>
#include <QVBoxLayout>

#include "tasks/u_common.h"

namespace ui {

TFrmAboutBox::TFrmAboutBox(QWidget* parent) : QDialog(parent) {
  setObjectName("FrmAboutBox");
  setWindowTitle(QStringLiteral("About"));
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_DriveHDIcon).pixmap(48, 48));
  auto* lines = new QVBoxLayout;
  auto* name = new QLabel(QStringLiteral("<b>Velmaron for Oracle</b>"), this);
  name->setObjectName("LblProductName");
  LblVersion = new QLabel(this);
  LblVersion->setObjectName("LblVersion");
  lines->addWidget(name);
  lines->addWidget(LblVersion);
  lines->addWidget(new QLabel(
      QStringLiteral("Export and import tasks and dump-file analysis for Oracle databases."), this));
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addLayout(lines);
  layout->addLayout(top);
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName("OKButton");
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  layout->addWidget(ok, 0, Qt::AlignHCenter);
}

void TFrmAboutBox::showEvent(QShowEvent* event) {
  LblVersion->setText(QStringLiteral("Version 1.2.0(116)"));
  QDialog::showEvent(event);
}

TFrmSplash::TFrmSplash() : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint) {
  setObjectName("FrmSplash");
  setFixedSize(310, 78);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->geometry().center() - rect().center());
}

void TFrmSplash::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().window());
  p.drawPixmap(8, 8, style()->standardIcon(QStyle::SP_DriveHDIcon).pixmap(32, 32));
  QFont title(QStringLiteral("Times New Roman"));
  title.setPixelSize(24);
  title.setBold(true);
  p.setFont(title);
  const QString text = QStringLiteral("Velmaron for Oracle");
  // Three passes offset by one pixel give the title a raised look.
  const QColor colours[] = {Qt::white, Qt::gray, QColor(0, 0, 128)};
  for (int i = 0; i < 3; ++i) {
    p.setPen(colours[i]);
    p.drawText(48 + i, 32 + i, text);
  }
  p.setPen(palette().windowText().color());
  p.setFont(font());
  p.drawText(48, 64, QStringLiteral("Starting,please wait..."));
}

TFrmTips::TFrmTips(bool& tipsAtStartup, bool& showTipsOnActivate, QWidget* parent)
    : QDialog(parent), tipsAtStartup_(tipsAtStartup), showTipsOnActivate_(showTipsOnActivate) {
  setObjectName("FrmTips");
  setWindowTitle(QStringLiteral("Tip of the day"));
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  auto* picture = new QLabel(this);
  picture->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(48, 48));
  auto* right = new QVBoxLayout;
  right->addWidget(new QLabel(QStringLiteral("<b>Do you know...</b>"), this));
  text_ = new QTextEdit(this);
  text_->setObjectName("RichEdit1");
  text_->setReadOnly(true);
  text_->setEnabled(false);
  right->addWidget(text_);
  top->addWidget(picture, 0, Qt::AlignTop);
  top->addLayout(right);
  layout->addLayout(top);
  auto* bottom = new QHBoxLayout;
  check_ = new QCheckBox(QStringLiteral("Show tips at startup"), this);
  check_->setObjectName("CkbShowTips");
  auto* next = new QPushButton(QStringLiteral("&Next"), this);
  next->setObjectName("BtnNext");
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName("BtnOK");
  bottom->addWidget(check_);
  bottom->addStretch();
  bottom->addWidget(next);
  bottom->addWidget(ok);
  layout->addLayout(bottom);
  connect(next, &QPushButton::clicked, this, [this] {
    TipIndex = TipIndex >= tasks::kTipCount - 1 ? 0 : TipIndex + 1;
    ShowTip();
  });
  connect(check_, &QCheckBox::clicked, this, [this](bool on) { tipsAtStartup_ = on; });
  connect(ok, &QPushButton::clicked, this, [this] {
    showTipsOnActivate_ = false;
    hide();
  });
}

void TFrmTips::showEvent(QShowEvent* event) {
  check_->setChecked(tipsAtStartup_);
  ShowTip();
  QDialog::showEvent(event);
}

void TFrmTips::ShowTip() {
  const std::string_view tip = tasks::Tips[size_t(TipIndex)];
  text_->setPlainText(QString::fromUtf8(tip.data(), qsizetype(tip.size())));
}

}  // namespace ui
