// The import wizard: one import task in four pages (task, database and dump file, import mode,
// options, the resulting command). It reads the character set of the chosen dump file from its
// header and compares it with the server's.
//
// Threads: window thread only.
#pragma once

#include "ui/taskwizard.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace tasks {
class TImpTask;
}

namespace ui {

class TFrmImportWizard final : public TaskWizard {
  Q_OBJECT
 public:
  // `links` makes the comparison's connection.
  explicit TFrmImportWizard(OracleLinkFactory links, QWidget* parent = nullptr);
  ~TFrmImportWizard() override;

  // Shows page 0 with `task`'s values and its dump file's character set. The wizard edits `task`
  // until it closes; `task` must outlive that.
  void Load(tasks::TImpTask& task);
  // The character set read from the dump file's header: "NAME (description)", or "Unknown" when
  // no file or no header could be read.
  const QString& DumpCharset() const { return dumpCharset_; }

 protected:
  tasks::TUniTask& Task() override;
  std::string DumpFilePath() const override;
  bool CheckPage(int page) override;
  void PageShown(int page) override;

 private:
  void BuildPage0();
  void BuildPage1();
  void BuildPage2();
  void BuildPage3();
  // On show, after "&Browse" and on "&Refresh".
  void ReadDumpCharset();
  // The import mode's groups and the task's full, fromuser, touser and tables.
  void RgImportModeClick();
  void BtnBrowseClick();
  void btngetnlsClick();

  tasks::TImpTask* task_ = nullptr;
  QString dumpCharset_ = QStringLiteral("Unknown");

  QLineEdit *EdTaskname, *EdTaskDescription, *EdUsername, *EdPassword, *Edconnectstring;
  QLineEdit* Eddumpfile;
  QPushButton *BtnBrowse, *btngetnls, *btnchangenls;
  QLabel* lbfilenls;
  QRadioButton *RbFull, *RbUser;
  QGroupBox *GbFull, *GbUser;
  QLineEdit* EdTousers;
  QComboBox* CmbIncrementalImport;
  QLineEdit *EdOwners, *EdFromToUsers, *EdFromUserTables;
  QCheckBox *CbRows, *CbDestroy, *CbGrants, *CbAnalyze, *CbIndexes, *CbCommit, *CbIgnore, *CbSkipUnusable,
      *CbShow;
  QLineEdit *EdBuffer, *EdCharset, *EdIndexfile, *EdRecordLength;
  QPlainTextEdit* EdParameters;
};

}  // namespace ui
