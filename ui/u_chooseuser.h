// The user picker: Oracle user names moved from the available list to the selected one, for the
// owner option of an export task. Also the four moves that the table picker shares.
//
// Threads: window thread only.
#pragma once

#include <QAbstractItemView>
#include <QDialog>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

class QBoxLayout;
class QListWidget;

namespace ui {

// ">": each selected entry of `available`, as `prefix` + its text, joins `chosen` unless an equal
// entry is there already. ">>": the same for every entry of `available`.
void AddSelectedEntries(const QListWidget& available, QListWidget& chosen, const QString& prefix = {});
void AddAllEntries(const QListWidget& available, QListWidget& chosen, const QString& prefix = {});
// "<": the selected entries of `chosen` go. "<<": all of them.
void RemoveSelectedEntries(QListWidget& chosen);
void RemoveAllEntries(QListWidget& chosen);
// The entries of `list` in order.
QStringList Entries(const QListWidget& list);

class TFrmChooseUser final : public QDialog {
  Q_OBJECT
 public:
  explicit TFrmChooseUser(QWidget* parent = nullptr);

  // Fills the available list with `users` and empties the selected one.
  void SetAvailableUsers(const std::vector<std::string>& users);
  // The selected list, in order.
  QStringList ChosenUsers() const;

 private:
  QListWidget* lbavailableusers;
  QListWidget* lbselectedusers;
};

// A list under its title, as a new column of `row`.
QListWidget* AddTitledList(QWidget* parent, QBoxLayout& row, const char* name, const QString& title,
                           QAbstractItemView::SelectionMode mode);

// The pickers' frame: the four move buttons (">", ">>", "<", "<<") between `available` and
// `chosen`, wired to their moves with `prefix()` put before a moved entry, and "&Ok" and
// "&Cancel" below; `lists` is the row the buttons go in, after the available lists.
void BuildPickerButtons(QDialog& dialog, QBoxLayout& lists, QListWidget& available, QListWidget& chosen,
                        std::function<QString()> prefix);

}  // namespace ui
