// The dump-file header dialog: collects a dump file and the folder for its header file, then has
// the main window's header command write the file. Stays open for more files until "&Exit".
#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace ui {

class TFrm_getdumpfileheader final : public QDialog {
  Q_OBJECT
 public:
  // Writes the header of `dumpFile` into `targetDir` (which ends with "/").
  using HeaderCommand = std::function<void(const std::string& dumpFile, const std::string& targetDir)>;

  // `lastDumpDir` is the main window's, borrowed: the browse dialog starts there and a written
  // header moves it to the dump file's folder.
  TFrm_getdumpfileheader(std::string& lastDumpDir, HeaderCommand command, QWidget* parent = nullptr);

  // Empties both fields, checks "Same directory as dump file" (opening from the menu).
  void Reset();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void btngetfileheaderClick();
  void ckbsamedirClick();

  std::string& lastDumpDir_;
  HeaderCommand command_;
  QLineEdit* eddumpfile;
  QLineEdit* edtargetdir;
  QPushButton* Btntargetdir;
  QCheckBox* ckbsamedir;
};

}  // namespace ui
