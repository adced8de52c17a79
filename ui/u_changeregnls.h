// The character-set dialog: the client character set and a list of every named character set of
// the table, with the description of the chosen one. The main window stores the choice.
#pragma once

#include <QDialog>
#include <vector>

class QComboBox;
class QLabel;

namespace ui {

class Tfrmchangenls final : public QDialog {
  Q_OBJECT
 public:
  explicit Tfrmchangenls(QWidget* parent = nullptr);

  // Fills the list (first entry selected) and shows `clientCharset` (FormShow).
  void Fill(const QString& clientCharset);
  // The table row chosen (1-based), 0 when none.
  int ChosenRow() const;

 private:
  void cmbnewclientnlsChange();

  QLabel* lbclientnls;
  QComboBox* cmbnewclientnls;
  QLabel* lbnlsdescription;
  std::vector<int> rows_;
};

}  // namespace ui
