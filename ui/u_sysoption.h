// The system option dialog: the programs, the work folder and how many tasks may run at once.
// The main window fills it from the settings and takes the values back on OK.
#pragma once

#include <QDialog>

class QLineEdit;
class QSpinBox;

namespace ui {

struct ProgramSettings;

class TFrmSysOption final : public QDialog {
  Q_OBJECT
 public:
  explicit TFrmSysOption(QWidget* parent = nullptr);

  // Fills the edits from `settings` (FormShow).
  void Fill(const ProgramSettings& settings);
  // The values as typed, each trimmed; the task count through ParseMaxTasks.
  void TakeInto(ProgramSettings& settings) const;

 private:
  QLineEdit* EdExpcmd;
  QLineEdit* EdImpCmd;
  QLineEdit* EdSqlplusCmd;
  QLineEdit* Edtmpdir;
  QLineEdit* edmaxtasks;
};

}  // namespace ui
