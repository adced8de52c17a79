#include "ui/u_exportwizard.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <exception>

#include "tasks/u_task1.h"
#include "ui/programsettings.h"
#include "ui/services.h"
#include "ui/u_choosetable.h"
#include "ui/u_chooseuser.h"
#include "ui/windowtext.h"

namespace ui {

namespace {

using wizard::checkBox;
using wizard::group;
using wizard::q;
using wizard::trimmed;

const char* const kNotConnectedStyle = "QLabel { background-color: #fff3a0; color: black; }";
const char* const kConnectedStyle = "QLabel { color: #1f4fd0; }";

}  // namespace

TFrmExportWizard::TFrmExportWizard(OracleLinkFactory links, std::function<void()> changeCharset,
                                   QWidget* parent)
    : TaskWizard("FrmExportWizard", QStringLiteral("Export task wizard"), std::move(links), parent),
      changeCharset_(std::move(changeCharset)) {
  BuildPage0();
  BuildPage1();
  BuildPage2();
  BuildPage3();
  nameEdit_ = EdTaskname;
  descriptionEdit_ = EdTaskDescription;
  userEdit_ = edusername;
  passwordEdit_ = edpassword;
  serverEdit_ = edconnectstring;
}

TFrmExportWizard::~TFrmExportWizard() = default;

void TFrmExportWizard::BuildPage0() {
  QVBoxLayout& page = PageLayout(0);
  EdTaskname = NewEdit("EdTaskname", 100);
  EdTaskDescription = NewEdit("EdTaskDescription", 250);
  edusername = NewEdit("edusername", 20);
  edpassword = NewEdit("edpassword", 20);
  edpassword->setEchoMode(QLineEdit::Password);
  edconnectstring = NewEdit("edconnectstring", 20);
  BtnConnectDb = new QPushButton(QStringLiteral("Connect"), this);
  BtnConnectDb->setObjectName("BtnConnectDb");
  Label13 = new QLabel(this);
  Label13->setObjectName("Label13");
  lbclientnls = new QLabel(this);
  lbclientnls->setObjectName("lbclientnls");
  BtnChange = new QPushButton(QStringLiteral("&Change"), this);
  BtnChange->setObjectName("BtnChange");
  BtnNlscompare = new QPushButton(QStringLiteral("Com&pare"), this);
  BtnNlscompare->setObjectName("BtnNlscompare");
  for (QPushButton* b : {BtnConnectDb, BtnChange, BtnNlscompare}) b->setAutoDefault(false);

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Task name"), EdTaskname);
  form->addRow(QStringLiteral("Task description"), EdTaskDescription);
  page.addLayout(form);
  auto* db = group(this, "GbDatabase", QStringLiteral("Database"));
  auto* dbForm = new QFormLayout(db);
  dbForm->addRow(QStringLiteral("Username"), edusername);
  dbForm->addRow(QStringLiteral("Password"), edpassword);
  dbForm->addRow(QStringLiteral("Connect string"), edconnectstring);
  auto* connectRow = new QHBoxLayout;
  connectRow->addWidget(BtnConnectDb);
  connectRow->addWidget(Label13, 1);
  dbForm->addRow(connectRow);
  dbForm->addRow(new QLabel(QStringLiteral("You can choose user and table\nafter connect to database."), db));
  page.addWidget(db);
  auto* nls = group(this, "GbNls", QStringLiteral("NLS Compare"));
  auto* nlsRow = new QHBoxLayout(nls);
  nlsRow->addWidget(new QLabel(QStringLiteral("Client character sets:"), nls));
  nlsRow->addWidget(lbclientnls, 1);
  nlsRow->addWidget(BtnChange);
  nlsRow->addWidget(BtnNlscompare);
  page.addWidget(nls);
  page.addStretch();

  connect(BtnConnectDb, &QPushButton::clicked, this, [this] { BtnConnectDbClick(); });
  connect(BtnNlscompare, &QPushButton::clicked, this, [this] { BtnNlscompareClick(); });
  connect(BtnChange, &QPushButton::clicked, this, [this] {
    changeCharset_();
    showClientCharset();
  });
}

void TFrmExportWizard::BuildPage1() {
  QVBoxLayout& page = PageLayout(1);
  auto* modes = group(this, "RbExportmode", QStringLiteral("Export mode"));
  auto* modeRow = new QHBoxLayout(modes);
  RbFull = new QRadioButton(QStringLiteral("Full Database Mode"), modes);
  RbFull->setObjectName("RbFull");
  RbUser = new QRadioButton(QStringLiteral("User Mode"), modes);
  RbUser->setObjectName("RbUser");
  RbTable = new QRadioButton(QStringLiteral("Table Mode"), modes);
  RbTable->setObjectName("RbTable");
  auto* buttons = new QButtonGroup(modes);
  buttons->addButton(RbFull, kFull);
  buttons->addButton(RbUser, kUser);
  buttons->addButton(RbTable, kTable);
  for (QRadioButton* b : {RbFull, RbUser, RbTable}) {
    modeRow->addWidget(b);
    connect(b, &QRadioButton::clicked, this, [this] { RbExportmodeClick(); });
  }
  page.addWidget(modes);

  GbFull = group(this, "GbFull", QStringLiteral("Inctype"));
  CmbIncrementalExport = new QComboBox(GbFull);
  CmbIncrementalExport->setObjectName("CmbIncrementalExport");
  CmbIncrementalExport->addItems({"COMPLETE", "CUMULATIVE", "INCREMENTAL", "UNDEFINED"});
  CbRecord = checkBox(GbFull, "CbRecord", QStringLiteral("Record"));
  auto* fullRow = new QHBoxLayout(GbFull);
  fullRow->addWidget(CmbIncrementalExport);
  fullRow->addWidget(CbRecord);
  fullRow->addStretch();
  GbOwners = group(this, "GbOwners", QStringLiteral("Owners"));
  EdOwners = NewEdit("EdOwners", 255);
  (new QHBoxLayout(GbOwners))->addWidget(EdOwners);
  GbTables = group(this, "GbTables", QStringLiteral("Tables"));
  EdTables = NewEdit("EdTables", 255);
  (new QHBoxLayout(GbTables))->addWidget(EdTables);
  for (QGroupBox* g : {GbFull, GbOwners, GbTables}) page.addWidget(g);
  BtnChooseObj = new QPushButton(QStringLiteral("Choose"), this);
  BtnChooseObj->setObjectName("BtnChooseObj");
  BtnChooseObj->setAutoDefault(false);
  auto* chooseRow = new QHBoxLayout;
  chooseRow->addStretch();
  chooseRow->addWidget(BtnChooseObj);
  page.addLayout(chooseRow);
  page.addStretch();

  connect(CmbIncrementalExport, &QComboBox::currentIndexChanged, this, [this](int index) {
    Apply(CmbIncrementalExport, [this, index] { task_->SetIncType(tasks::TExpIncType(index)); });
  });
  connect(CbRecord, &QCheckBox::toggled, this,
          [this](bool on) { Apply(CbRecord, [this, on] { task_->SetRecord(on); }); });
  connect(EdOwners, &QLineEdit::textChanged, this,
          [this] { Apply(EdOwners, [this] { task_->SetOwner(trimmed(EdOwners)); }); });
  connect(EdTables, &QLineEdit::textChanged, this,
          [this] { Apply(EdTables, [this] { task_->SetTables(trimmed(EdTables)); }); });
  connect(BtnChooseObj, &QPushButton::clicked, this, [this] { BtnChooseObjClick(); });
}

void TFrmExportWizard::BuildPage2() {
  QVBoxLayout& page = PageLayout(2);
  eddumpfile = NewEdit("eddumpfile", 255);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Dump file"), eddumpfile);
  form->addRow(new QLabel(
      QStringLiteral("Note: Directory can't include space,so c:\\program files\\scott.dmp is invalid"),
      this));
  page.addLayout(form);
  auto* boxes = new QGridLayout;
  CbCompress = checkBox(this, "CbCompress", QStringLiteral("Compress"));
  CbIndexes = checkBox(this, "CbIndexes", QStringLiteral("Indexes"));
  CbConsistent = checkBox(this, "CbConsistent", QStringLiteral("Consistent"));
  CbRows = checkBox(this, "CbRows", QStringLiteral("Rows"));
  CbConstraints = checkBox(this, "CbConstraints", QStringLiteral("Constraints"));
  CbDirect = checkBox(this, "CbDirect", QStringLiteral("Direct"));
  CbGrants = checkBox(this, "CbGrants", QStringLiteral("Grants"));
  int i = 0;
  for (QCheckBox* b : {CbCompress, CbIndexes, CbConsistent, CbRows, CbConstraints, CbDirect, CbGrants}) {
    boxes->addWidget(b, i / 4, i % 4);
    ++i;
  }
  page.addLayout(boxes);
  EdBuffer = NewEdit("EdBuffer", 8);
  EdRecordLength = NewEdit("EdRecordLength", 8);
  CmBStatistics = new QComboBox(this);
  CmBStatistics->setObjectName("CmBStatistics");
  CmBStatistics->addItems({"Compute", "Estimate", "None"});
  auto* numbers = new QFormLayout;
  numbers->addRow(QStringLiteral("Buffer"), EdBuffer);
  numbers->addRow(QStringLiteral("RecordLength"), EdRecordLength);
  numbers->addRow(QStringLiteral("Statistics"), CmBStatistics);
  page.addLayout(numbers);
  page.addStretch();

  connect(eddumpfile, &QLineEdit::textChanged, this,
          [this] { Apply(eddumpfile, [this] { task_->SetFile(trimmed(eddumpfile)); }); });
  const std::pair<QCheckBox*, void (tasks::TExpTask::*)(bool)> flags[] = {
      {CbCompress, &tasks::TExpTask::SetCompress},
      {CbIndexes, &tasks::TExpTask::SetIndexes},
      {CbConsistent, &tasks::TExpTask::SetConsistent},
      {CbRows, &tasks::TExpTask::SetRows},
      {CbConstraints, &tasks::TExpTask::SetConstraints},
      {CbDirect, &tasks::TExpTask::SetDirect},
      {CbGrants, &tasks::TExpTask::SetGrants}};
  for (const auto& flag : flags) {
    QCheckBox* box = flag.first;
    auto setter = flag.second;
    connect(box, &QCheckBox::toggled, this, [this, box, setter](bool on) {
      tasks::TExpTask* task = task_;
      Apply(box, [task, setter, on] { (task->*setter)(on); });
    });
  }
  BindCount(EdBuffer, tasks::kExpDefaults.buffer, [this](int v) { task_->SetBuffer(v); });
  BindCount(EdRecordLength, tasks::kExpDefaults.recordlength, [this](int v) { task_->SetRecordLength(v); });
  connect(CmBStatistics, &QComboBox::currentIndexChanged, this, [this](int index) {
    Apply(CmBStatistics, [this, index] { task_->SetStatistics(tasks::TExpStatistics(index)); });
  });
}

void TFrmExportWizard::BuildPage3() {
  QVBoxLayout& page = PageLayout(3);
  page.addWidget(new QLabel(QStringLiteral("Command Parameters"), this));
  EdParameters = new QPlainTextEdit(this);
  EdParameters->setObjectName("EdParameters");
  EdParameters->setReadOnly(true);
  page.addWidget(EdParameters, 1);
}

void TFrmExportWizard::Load(tasks::TExpTask& task) {
  EndConnection();
  task_ = &task;
  Restart();
  loading_ = true;
  const tasks::TExpOptions& o = task.options();
  setWholeText(EdTaskname, q(task.name()));
  setWholeText(EdTaskDescription, q(task.description()));
  // A new task is offered the account last used to reach a server.
  const bool fresh = task.uname().empty() && task.upassword().empty() && task.connectstring().empty();
  const OracleLogin offered =
      fresh ? LastOracleLogin() : OracleLogin{task.uname(), task.upassword(), task.connectstring()};
  setWholeText(edusername, q(offered.username));
  setWholeText(edpassword, q(offered.password));
  setWholeText(edconnectstring, q(offered.connectstring));
  showConnection();
  BtnConnectDb->setText(QStringLiteral("Connect"));
  showClientCharset();
  setWholeText(EdOwners, q(o.owner));
  setWholeText(EdTables, q(o.tables));
  setWholeText(eddumpfile, o.files.empty() ? QString() : q(o.files.front()));
  CmbIncrementalExport->setCurrentIndex(int(o.inctype));
  CbRecord->setChecked(o.record);
  CbCompress->setChecked(o.compress);
  CbIndexes->setChecked(o.indexes);
  CbConsistent->setChecked(o.consistent);
  CbRows->setChecked(o.rows);
  CbConstraints->setChecked(o.constraints);
  CbDirect->setChecked(o.direct);
  CbGrants->setChecked(o.grants);
  EdBuffer->setText(QString::number(o.buffer));
  EdRecordLength->setText(QString::number(o.recordlength));
  CmBStatistics->setCurrentIndex(int(o.statistics));
  loading_ = false;

  if (o.full) {
    RbFull->setChecked(true);
  } else {
    task.SetFull(false);
    (o.tables.empty() ? RbUser : RbTable)->setChecked(true);
  }
  CmbIncrementalExport->setEnabled(o.full);
  CbRecord->setEnabled(o.full);
  for (QGroupBox* g : {GbFull, GbOwners, GbTables}) g->hide();
  EdTaskname->setFocus();
  EdTaskname->selectAll();
}

tasks::TUniTask& TFrmExportWizard::Task() {
  return *task_;
}

std::string TFrmExportWizard::DumpFilePath() const {
  const auto& files = task_->options().files;
  return trimmed(eddumpfile, files.empty() ? std::string() : files.front());
}

bool TFrmExportWizard::Connected() const {
  return link_ && link_->Connected();
}

TFrmExportWizard::ExportMode TFrmExportWizard::Mode() const {
  return RbFull->isChecked() ? kFull : RbTable->isChecked() ? kTable : kUser;
}

bool TFrmExportWizard::CheckPage(int page) {
  if (page == 0) {
    if (EdTaskname->text().trimmed().isEmpty()) return Warn(EdTaskname, "Please input taskname!");
    if (edusername->text().trimmed().isEmpty()) return Warn(edusername, "Please input username!");
  }
  if (page == 2 && eddumpfile->text().trimmed().isEmpty()) return Warn(eddumpfile, "Please input dumpfile!");
  return true;
}

void TFrmExportWizard::PageShown(int page) {
  if (page == 0) {
    EdTaskname->setFocus();
    EdTaskname->selectAll();
  } else if (page == 1) {
    RbExportmodeClick();
  } else if (page == 2) {
    eddumpfile->setFocus();
    eddumpfile->selectAll();
  } else if (page == 3) {
    EdParameters->setPlainText(q(task_->command()));
  }
}

void TFrmExportWizard::EndConnection() {
  if (link_) link_->Disconnect();
  showConnection();
}

void TFrmExportWizard::showClientCharset() {
  const std::string& set = ClientCharset().charset;
  lbclientnls->setText(set.empty() ? QStringLiteral("Not set") : q(set));
}

void TFrmExportWizard::showConnection() {
  if (Connected()) {
    BtnConnectDb->setText(QStringLiteral("Disconnect"));
    Label13->setText("Db: " + edusername->text().trimmed() + "@" + edconnectstring->text().trimmed());
    Label13->setStyleSheet(kConnectedStyle);
  } else {
    BtnConnectDb->setText(QStringLiteral("connect"));
    Label13->setText(QStringLiteral("Db: Not Connected"));
    Label13->setStyleSheet(kNotConnectedStyle);
  }
  BtnChooseObj->setEnabled(Connected() && Mode() != kFull);
}

void TFrmExportWizard::RbExportmodeClick() {
  const ExportMode mode = Mode();
  GbFull->setVisible(mode == kFull);
  GbOwners->setVisible(mode == kUser);
  GbTables->setVisible(mode == kTable);
  CmbIncrementalExport->setEnabled(mode == kFull);
  CbRecord->setEnabled(mode == kFull);
  EdOwners->setEnabled(mode == kUser);
  EdTables->setEnabled(mode == kTable);
  BtnChooseObj->setEnabled(Connected() && mode != kFull);
  if (mode == kFull) {
    Apply(RbFull, [this] { task_->SetFull(true); });
  } else if (mode == kUser) {
    Apply(EdOwners, [this] {
      const std::string owner = trimmed(EdOwners, task_->options().owner);
      task_->SetTables("");
      task_->SetOwner(owner);
      task_->SetFull(false);
    });
  } else {
    Apply(EdTables, [this] {
      const std::string tables = trimmed(EdTables, task_->options().tables);
      task_->SetFull(false);
      task_->SetOwner("");
      task_->SetTables(tables);
    });
  }
}

void TFrmExportWizard::BtnConnectDbClick() {
  try {
    if (Connected()) {
      link_->Disconnect();
    } else {
      if (!link_) link_ = links_();
      link_->Connect({trimmed(edusername), trimmed(edpassword), trimmed(edconnectstring)}, std::string());
    }
  } catch (const std::exception& e) {
    Services().messages->error(this, QString::fromUtf8(e.what()));
  }
  showConnection();
}

void TFrmExportWizard::BtnChooseObjClick() {
  if (!Connected()) return;
  try {
    if (Mode() == kUser) {
      TFrmChooseUser picker(this);
      picker.SetAvailableUsers(link_->Column(kUsersSql, "username"));
      if (Services().dialogs->run(picker) == QDialog::Accepted)
        setWholeText(EdOwners, picker.ChosenUsers().join(QStringLiteral(",")));
    } else if (Mode() == kTable) {
      TFrmchoosetable picker(*link_, this);
      picker.SetAvailableUsers(link_->Column(kTableOwnersSql, "username"));
      if (Services().dialogs->run(picker) == QDialog::Accepted)
        setWholeText(EdTables, picker.ChosenTables().join(QStringLiteral(",")));
    }
  } catch (const std::exception& e) {
    Services().messages->error(this, QString::fromUtf8(e.what()));
  }
}

void TFrmExportWizard::BtnNlscompareClick() {
  if (!TakeLoginForComparison(edusername, edpassword, edconnectstring)) return;
  const std::string client = ClientCharset().charset;
  try {
    Services().messages->information(
        this, CharsetComparisonText(client, ReadServerCharset(links_, LastOracleLogin(), client)));
  } catch (const std::exception& e) {
    Services().messages->error(this, OracleFailureText(e));
  }
}

}  // namespace ui
