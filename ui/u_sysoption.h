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
  // "&Ok": a program path that is empty, or names no program that can run; a work folder that
  // does not exist; a task count that is no whole number of at least 1: each is said, and the
  // dialog stays open on the edit concerned.
  void BtnOKClick();
  // What is wrong with the values, and the edit concerned; an empty text when nothing is.
  QString Problem(QLineEdit*& at) const;

  QLineEdit* EdExpcmd;
  QLineEdit* EdImpCmd;
  QLineEdit* EdSqlplusCmd;
  QLineEdit* Edtmpdir;
  QLineEdit* edmaxtasks;
};

}  // namespace ui
