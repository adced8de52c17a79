// The table picker: the tables of one Oracle user at a time, read from the dictionary, moved as
// "OWNER.TABLE" to the selected list, for the tables option of an export task.
//
// Threads: window thread only.
#pragma once

#include <QDialog>
#include <QStringList>
#include <string>
#include <vector>

class QListWidget;

namespace ui {

class OracleLink;

class TFrmchoosetable final : public QDialog {
  Q_OBJECT
 public:
  // `link` is the export wizard's connection, borrowed; it must outlive the dialog.
  explicit TFrmchoosetable(OracleLink& link, QWidget* parent = nullptr);

  // Fills the user list with `users` and empties the other two lists.
  void SetAvailableUsers(const std::vector<std::string>& users);
  // The selected list ("OWNER.TABLE" entries), in order.
  QStringList ChosenTables() const;
  // The user last clicked; empty when the dialog is shown.
  const QString& Owner() const { return owner_; }

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The owner := the first selected user; the tables list shows that user's tables.
  void lbavailableusersClick();

  OracleLink& link_;
  QString owner_;
  QListWidget* lbavailableusers;
  QListWidget* lbavailabletables;
  QListWidget* lbselectedtables;
};

}  // namespace ui
