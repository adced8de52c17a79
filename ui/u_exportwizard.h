// The export wizard: one export task in four pages (task and database, export mode, dump file and
// options, the resulting command). It connects to the task's database to pick owners and tables,
// and compares the client's character set with the server's.
//
// Threads: window thread only.
#pragma once

#include <functional>
#include <memory>

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
class TExpTask;
}

namespace ui {

class TFrmExportWizard final : public TaskWizard {
  Q_OBJECT
 public:
  enum ExportMode { kFull = 0, kUser = 1, kTable = 2 };

  // `links` makes the wizard's connection and the comparison's; `changeCharset` serves "&Change"
  // and may change ClientCharset().
  TFrmExportWizard(OracleLinkFactory links, std::function<void()> changeCharset, QWidget* parent = nullptr);
  ~TFrmExportWizard() override;

  // Shows page 0 with `task`'s values, not connected. The wizard edits `task` until it closes;
  // `task` must outlive that.
  void Load(tasks::TExpTask& task);
  bool Connected() const;
  ExportMode Mode() const;

 protected:
  tasks::TUniTask& Task() override;
  std::string DumpFilePath() const override;
  bool CheckPage(int page) override;
  void PageShown(int page) override;
  void EndConnection() override;

 private:
  void BuildPage0();
  void BuildPage1();
  void BuildPage2();
  void BuildPage3();
  void showClientCharset();
  void showConnection();
  // The export mode's groups and the task's full, owner and tables (RbExportmode click).
  void RbExportmodeClick();
  void BtnConnectDbClick();
  void BtnChooseObjClick();
  void BtnNlscompareClick();

  std::function<void()> changeCharset_;
  tasks::TExpTask* task_ = nullptr;
  std::unique_ptr<OracleLink> link_;

  QLineEdit *EdTaskname, *EdTaskDescription, *edusername, *edpassword, *edconnectstring;
  QPushButton* BtnConnectDb;
  QLabel* Label13;
  QLabel* lbclientnls;
  QPushButton* BtnChange;
  QPushButton* BtnNlscompare;
  QRadioButton *RbFull, *RbUser, *RbTable;
  QGroupBox *GbFull, *GbOwners, *GbTables;
  QComboBox* CmbIncrementalExport;
  QCheckBox* CbRecord;
  QLineEdit *EdOwners, *EdTables;
  QPushButton* BtnChooseObj;
  QLineEdit* eddumpfile;
  QCheckBox *CbCompress, *CbIndexes, *CbConsistent, *CbRows, *CbConstraints, *CbDirect, *CbGrants;
  QLineEdit *EdBuffer, *EdRecordLength;
  QComboBox* CmBStatistics;
  QPlainTextEdit* EdParameters;
};

}  // namespace ui
