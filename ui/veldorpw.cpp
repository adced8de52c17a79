#include "ui/veldorpw.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "engine/components/veldortb.h"
#include "ui/services.h"

namespace ui {

TVELDORPasswordDialog::TVELDORPasswordDialog(engine::components::TVELDORSession& session, QWidget* parent)
    : QDialog(parent), session_(session) {
  setObjectName(QStringLiteral("TVELDORPasswordDialog"));
  setWindowTitle(QStringLiteral("Enter password"));
  resize(273, 132);
  auto* group = new QGroupBox(QStringLiteral("Password"), this);
  Edit = new QLineEdit(group);
  Edit->setObjectName(QStringLiteral("Edit"));
  Edit->setEchoMode(QLineEdit::Password);
  AddButton = new QPushButton(QStringLiteral("&Add"), group);
  AddButton->setObjectName(QStringLiteral("AddButton"));
  RemoveButton = new QPushButton(QStringLiteral("&Remove"), group);
  RemoveButton->setObjectName(QStringLiteral("RemoveButton"));
  RemoveAllButton = new QPushButton(QStringLiteral("Re&move all"), group);
  RemoveAllButton->setObjectName(QStringLiteral("RemoveAllButton"));
  OKButton = new QPushButton(QStringLiteral("&OK"), this);
  OKButton->setObjectName(QStringLiteral("OKButton"));
  OKButton->setDefault(true);
  CancelButton = new QPushButton(QStringLiteral("Cancel"), this);
  CancelButton->setObjectName(QStringLiteral("CancelButton"));
  AddButton->setEnabled(false);
  RemoveButton->setEnabled(false);
  OKButton->setEnabled(false);

  auto* groupLayout = new QVBoxLayout(group);
  groupLayout->addWidget(Edit);
  auto* row = new QHBoxLayout;
  row->addWidget(AddButton);
  row->addWidget(RemoveButton);
  row->addWidget(RemoveAllButton);
  groupLayout->addLayout(row);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKButton);
  buttons->addWidget(CancelButton);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addLayout(buttons);

  connect(Edit, &QLineEdit::textChanged, this, [this] { EditChange(); });
  connect(AddButton, &QPushButton::clicked, this, [this] { AddButtonClick(); });
  connect(RemoveButton, &QPushButton::clicked, this, [this] { RemoveButtonClick(); });
  connect(RemoveAllButton, &QPushButton::clicked, this, [this] { RemoveAllButtonClick(); });
  connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void TVELDORPasswordDialog::EditChange() {
  const bool hasText = !Edit->text().isEmpty();
  AddButton->setEnabled(hasText);
  RemoveButton->setEnabled(hasText);
  OKButton->setEnabled(hasText || added_);
}

void TVELDORPasswordDialog::AddButtonClick() {
  session_.AddPassword(Edit->text().toStdString());
  added_ = true;
  Edit->clear();
  Edit->setFocus();
}

void TVELDORPasswordDialog::RemoveButtonClick() {
  session_.RemovePassword(Edit->text().toStdString());
  Edit->clear();
  Edit->setFocus();
}

void TVELDORPasswordDialog::RemoveAllButtonClick() {
  session_.RemoveAllPasswords();
  Edit->setFocus();
}

void TVELDORPasswordDialog::OKButtonClick() {
  session_.AddPassword(Edit->text().toStdString());
  accept();
}

void InstallPasswordDialog() {
  engine::components::SetPasswordDialogHandler([](engine::components::TVELDORSession& session) {
    TVELDORPasswordDialog dialog(session);
    return Services().dialogs->run(dialog) == QDialog::Accepted;
  });
}

}  // namespace ui
