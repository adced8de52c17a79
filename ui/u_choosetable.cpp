#include "ui/u_choosetable.h"

#include <QBoxLayout>
#include <QListWidget>
#include <QMouseEvent>
#include <exception>

#include "ui/oracleaccess.h"
#include "ui/services.h"
#include "ui/u_chooseuser.h"

namespace ui {

TFrmchoosetable::TFrmchoosetable(OracleLink& link, QWidget* parent) : QDialog(parent), link_(link) {
  setObjectName("Frmchoosetable");
  setWindowTitle(QStringLiteral("Choose tables"));
  auto* layout = new QVBoxLayout(this);
  auto* row = new QHBoxLayout;
  layout->addLayout(row);
  lbavailableusers = AddTitledList(this, *row, "lbavailableusers", QStringLiteral("Available users"),
                                   QAbstractItemView::SingleSelection);
  lbavailabletables = AddTitledList(this, *row, "lbavailabletables", QStringLiteral("Available tables"),
                                    QAbstractItemView::ExtendedSelection);
  auto* selected = new QHBoxLayout;
  lbselectedtables = AddTitledList(this, *selected, "lbselectedtables", QStringLiteral("Selected tables"),
                                   QAbstractItemView::ExtendedSelection);
  BuildPickerButtons(*this, *row, *lbavailabletables, *lbselectedtables,
                     [this] { return owner_ + QStringLiteral("."); });
  row->addLayout(selected);
  connect(lbavailableusers, &QListWidget::itemSelectionChanged, this, [this] { lbavailableusersClick(); });
  // A click on no user clears the choice, which a single-choice list does not do by itself.
  lbavailableusers->viewport()->installEventFilter(this);
}

bool TFrmchoosetable::eventFilter(QObject* watched, QEvent* event) {
  if (watched == lbavailableusers->viewport() && event->type() == QEvent::MouseButtonPress) {
    const auto* press = static_cast<QMouseEvent*>(event);
    if (!lbavailableusers->itemAt(press->position().toPoint())) {
      lbavailableusers->clearSelection();
      lbavailableusersClick();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TFrmchoosetable::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  owner_.clear();
}

void TFrmchoosetable::SetAvailableUsers(const std::vector<std::string>& users) {
  lbavailableusers->clear();
  for (const std::string& user : users) lbavailableusers->addItem(QString::fromStdString(user));
  lbavailabletables->clear();
  lbselectedtables->clear();
  owner_.clear();
}

QStringList TFrmchoosetable::ChosenTables() const {
  return Entries(*lbselectedtables);
}

void TFrmchoosetable::lbavailableusersClick() {
  const QList<QListWidgetItem*> chosen = lbavailableusers->selectedItems();
  owner_ = chosen.isEmpty() ? QString() : chosen.front()->text();
  lbavailabletables->clear();
  if (owner_.isEmpty()) return;
  try {
    for (const std::string& table :
         link_.Column(kTablesOfOwnerSql, "table_name", {{"owner", owner_.toStdString()}}))
      lbavailabletables->addItem(QString::fromStdString(table));
  } catch (const std::exception& e) {
    Services().messages->error(this, QString::fromUtf8(e.what()));
  }
}

}  // namespace ui
