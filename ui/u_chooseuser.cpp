#include "ui/u_chooseuser.h"

#include <QBoxLayout>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace ui {

namespace {

bool holds(const QListWidget& list, const QString& text) {
  for (int i = 0; i < list.count(); ++i)
    if (list.item(i)->text() == text) return true;
  return false;
}

void addEntry(QListWidget& chosen, const QString& text) {
  if (!holds(chosen, text)) chosen.addItem(text);
}

QPushButton* button(QDialog& dialog, const char* name, const QString& caption) {
  auto* b = new QPushButton(caption, &dialog);
  b->setObjectName(name);
  b->setAutoDefault(false);
  return b;
}

}  // namespace

void AddSelectedEntries(const QListWidget& available, QListWidget& chosen, const QString& prefix) {
  for (int i = 0; i < available.count(); ++i)
    if (available.item(i)->isSelected()) addEntry(chosen, prefix + available.item(i)->text());
}

void AddAllEntries(const QListWidget& available, QListWidget& chosen, const QString& prefix) {
  for (int i = 0; i < available.count(); ++i) addEntry(chosen, prefix + available.item(i)->text());
}

void RemoveSelectedEntries(QListWidget& chosen) {
  for (int i = chosen.count() - 1; i >= 0; --i)
    if (chosen.item(i)->isSelected()) delete chosen.takeItem(i);
}

void RemoveAllEntries(QListWidget& chosen) {
  chosen.clear();
}

QStringList Entries(const QListWidget& list) {
  QStringList entries;
  for (int i = 0; i < list.count(); ++i) entries << list.item(i)->text();
  return entries;
}

void BuildPickerButtons(QDialog& dialog, QBoxLayout& lists, QListWidget& available, QListWidget& chosen,
                        std::function<QString()> prefix) {
  auto* moves = new QVBoxLayout;
  moves->addStretch();
  QPushButton* add = button(dialog, "btnaddone", QStringLiteral(">"));
  QPushButton* addAll = button(dialog, "btnaddmore", QStringLiteral(">>"));
  QPushButton* remove = button(dialog, "btnremoveone", QStringLiteral("<"));
  QPushButton* removeAll = button(dialog, "btnremoveall", QStringLiteral("<<"));
  for (QPushButton* b : {add, addAll, remove, removeAll}) moves->addWidget(b);
  moves->addStretch();
  lists.addLayout(moves);
  QObject::connect(add, &QPushButton::clicked, &dialog,
                   [&available, &chosen, prefix] { AddSelectedEntries(available, chosen, prefix()); });
  QObject::connect(addAll, &QPushButton::clicked, &dialog,
                   [&available, &chosen, prefix] { AddAllEntries(available, chosen, prefix()); });
  QObject::connect(remove, &QPushButton::clicked, &dialog, [&chosen] { RemoveSelectedEntries(chosen); });
  QObject::connect(removeAll, &QPushButton::clicked, &dialog, [&chosen] { RemoveAllEntries(chosen); });

  auto* buttons = new QDialogButtonBox(&dialog);
  QPushButton* ok = button(dialog, "BtnOk", QStringLiteral("&Ok"));
  QPushButton* cancel = button(dialog, "BtnCancel", QStringLiteral("&Cancel"));
  buttons->addButton(ok, QDialogButtonBox::AcceptRole);
  buttons->addButton(cancel, QDialogButtonBox::RejectRole);
  QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
  QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
  static_cast<QBoxLayout*>(dialog.layout())->addWidget(buttons);
}

QListWidget* AddTitledList(QWidget* parent, QBoxLayout& row, const char* name, const QString& title,
                           QAbstractItemView::SelectionMode mode) {
  auto* column = new QVBoxLayout;
  column->addWidget(new QLabel(title, parent));
  auto* list = new QListWidget(parent);
  list->setObjectName(name);
  list->setSelectionMode(mode);
  column->addWidget(list);
  row.addLayout(column);
  return list;
}

TFrmChooseUser::TFrmChooseUser(QWidget* parent) : QDialog(parent) {
  setObjectName("FrmChooseUser");
  setWindowTitle(QStringLiteral("Choose User"));
  auto* layout = new QVBoxLayout(this);
  auto* row = new QHBoxLayout;
  layout->addLayout(row);
  lbavailableusers = AddTitledList(this, *row, "lbavailableusers", QStringLiteral("Available Users"),
                                   QAbstractItemView::ExtendedSelection);
  auto* selected = new QHBoxLayout;
  lbselectedusers = AddTitledList(this, *selected, "lbselectedusers", QStringLiteral("Selected Users"),
                                  QAbstractItemView::ExtendedSelection);
  BuildPickerButtons(*this, *row, *lbavailableusers, *lbselectedusers, [] { return QString(); });
  row->addLayout(selected);
}

void TFrmChooseUser::SetAvailableUsers(const std::vector<std::string>& users) {
  lbavailableusers->clear();
  for (const std::string& user : users) lbavailableusers->addItem(QString::fromStdString(user));
  lbselectedusers->clear();
}

QStringList TFrmChooseUser::ChosenUsers() const {
  return Entries(*lbselectedusers);
}

}  // namespace ui
