#include "ui/u_importwizard.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
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
#include <filesystem>
#include <system_error>

#include "tasks/u_common.h"
#include "tasks/u_task1.h"
#include "ui/programsettings.h"
#include "ui/services.h"
#include "ui/windowtext.h"

namespace ui {

namespace {

using wizard::checkBox;
using wizard::group;
using wizard::q;
using wizard::trimmed;

QPushButton* button(QWidget* parent, const char* name, const QString& caption) {
  auto* b = new QPushButton(caption, parent);
  b->setObjectName(name);
  b->setAutoDefault(false);
  return b;
}

}  // namespace

TFrmImportWizard::TFrmImportWizard(OracleLinkFactory links, QWidget* parent)
    : TaskWizard("FrmImportWizard", QStringLiteral("Import task wizard"), std::move(links), parent) {
  BuildPage0();
  BuildPage1();
  BuildPage2();
  BuildPage3();
  nameEdit_ = EdTaskname;
  descriptionEdit_ = EdTaskDescription;
  userEdit_ = EdUsername;
  passwordEdit_ = EdPassword;
  serverEdit_ = Edconnectstring;
}

TFrmImportWizard::~TFrmImportWizard() = default;

void TFrmImportWizard::BuildPage0() {
  QVBoxLayout& page = PageLayout(0);
  EdTaskname = NewEdit("EdTaskname", 100);
  EdTaskDescription = NewEdit("EdTaskDescription", 255);
  EdUsername = NewEdit("EdUsername", 20);
  EdPassword = NewEdit("EdPassword", 20);
  EdPassword->setEchoMode(QLineEdit::Password);
  Edconnectstring = NewEdit("Edconnectstring", 20);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Task name"), EdTaskname);
  form->addRow(QStringLiteral("Task description"), EdTaskDescription);
  form->addRow(QStringLiteral("Username"), EdUsername);
  form->addRow(QStringLiteral("Password"), EdPassword);
  form->addRow(QStringLiteral("Connect string"), Edconnectstring);
  page.addLayout(form);

  auto* dump = group(this, "GbDumpfile", QStringLiteral("Dump file"));
  Eddumpfile = NewEdit("Eddumpfile", 255);
  BtnBrowse = button(dump, "BtnBrowse", QStringLiteral("&Browse"));
  lbfilenls = new QLabel(dump);
  lbfilenls->setObjectName("lbfilenls");
  btngetnls = button(dump, "btngetnls", QStringLiteral("Com&pare"));
  btnchangenls = button(dump, "btnchangenls", QStringLiteral("&Refresh"));
  auto* dumpGrid = new QGridLayout(dump);
  dumpGrid->addWidget(Eddumpfile, 0, 0, 1, 3);
  dumpGrid->addWidget(BtnBrowse, 0, 3);
  dumpGrid->addWidget(new QLabel(QStringLiteral("Dump file Character sets:"), dump), 1, 0);
  dumpGrid->addWidget(lbfilenls, 1, 1);
  dumpGrid->addWidget(btngetnls, 1, 2);
  dumpGrid->addWidget(btnchangenls, 1, 3);
  dumpGrid->setColumnStretch(1, 1);
  page.addWidget(dump);
  page.addStretch();

  connect(Eddumpfile, &QLineEdit::textChanged, this,
          [this] { Apply(Eddumpfile, [this] { task_->SetFile(trimmed(Eddumpfile)); }); });
  connect(BtnBrowse, &QPushButton::clicked, this, [this] { BtnBrowseClick(); });
  connect(btngetnls, &QPushButton::clicked, this, [this] { btngetnlsClick(); });
  connect(btnchangenls, &QPushButton::clicked, this, [this] { ReadDumpCharset(); });
}

void TFrmImportWizard::BuildPage1() {
  QVBoxLayout& page = PageLayout(1);
  auto* modes = group(this, "RgImportMode", QStringLiteral("Import mode"));
  auto* modeRow = new QHBoxLayout(modes);
  RbFull = new QRadioButton(QStringLiteral("Full Database Mode"), modes);
  RbFull->setObjectName("RbFull");
  RbUser = new QRadioButton(QStringLiteral("User Mode"), modes);
  RbUser->setObjectName("RbUser");
  auto* buttons = new QButtonGroup(modes);
  buttons->addButton(RbFull, 0);
  buttons->addButton(RbUser, 1);
  for (QRadioButton* b : {RbFull, RbUser}) {
    modeRow->addWidget(b);
    connect(b, &QRadioButton::clicked, this, [this] { RgImportModeClick(); });
  }
  page.addWidget(modes);

  GbFull = group(this, "GbFull", QStringLiteral("Full Database Mode"));
  EdTousers = NewEdit("EdTousers", 255);
  CmbIncrementalImport = new QComboBox(GbFull);
  CmbIncrementalImport->setObjectName("CmbIncrementalImport");
  CmbIncrementalImport->addItems({"SYSTEM", "RESTORE", "UNDEFINED"});
  auto* fullForm = new QFormLayout(GbFull);
  fullForm->addRow(QStringLiteral("To Users"), EdTousers);
  fullForm->addRow(QStringLiteral("IncType"), CmbIncrementalImport);
  GbUser = group(this, "GbUser", QStringLiteral("User Mode"));
  EdOwners = NewEdit("EdOwners", 255);
  EdFromToUsers = NewEdit("EdFromToUsers", 255);
  EdFromUserTables = NewEdit("EdFromUserTables", 255);
  auto* userForm = new QFormLayout(GbUser);
  userForm->addRow(QStringLiteral("From Users"), EdOwners);
  userForm->addRow(QStringLiteral("To Users"), EdFromToUsers);
  userForm->addRow(QStringLiteral("Tables"), EdFromUserTables);
  page.addWidget(GbFull);
  page.addWidget(GbUser);
  page.addStretch();

  connect(EdTousers, &QLineEdit::textChanged, this,
          [this] { Apply(EdTousers, [this] { task_->SetToUser(trimmed(EdTousers)); }); });
  connect(EdFromToUsers, &QLineEdit::textChanged, this,
          [this] { Apply(EdFromToUsers, [this] { task_->SetToUser(trimmed(EdFromToUsers)); }); });
  connect(EdOwners, &QLineEdit::textChanged, this,
          [this] { Apply(EdOwners, [this] { task_->SetFromUser(trimmed(EdOwners)); }); });
  connect(EdFromUserTables, &QLineEdit::textChanged, this,
          [this] { Apply(EdFromUserTables, [this] { task_->SetTables(trimmed(EdFromUserTables)); }); });
  connect(CmbIncrementalImport, &QComboBox::currentIndexChanged, this, [this](int index) {
    Apply(CmbIncrementalImport, [this, index] { task_->SetIncType(tasks::TImpIncType(index)); });
  });
}

void TFrmImportWizard::BuildPage2() {
  QVBoxLayout& page = PageLayout(2);
  CbRows = checkBox(this, "CbRows", QStringLiteral("Rows"));
  CbDestroy = checkBox(this, "CbDestroy", QStringLiteral("Destroy"));
  CbGrants = checkBox(this, "CbGrants", QStringLiteral("Grants"));
  CbAnalyze = checkBox(this, "CbAnalyze", QStringLiteral("Analyze"));
  CbIndexes = checkBox(this, "CbIndexes", QStringLiteral("Indexes"));
  CbCommit = checkBox(this, "CbCommit", QStringLiteral("Commit"));
  CbIgnore = checkBox(this, "CbIgnore", QStringLiteral("Ignore"));
  CbSkipUnusable = checkBox(this, "CbSkipUnusable", QStringLiteral("Skip Unusable Indexes"));
  CbShow = checkBox(this, "CbShow", QStringLiteral("Show"));
  const std::pair<QCheckBox*, void (tasks::TImpTask::*)(bool)> flags[] = {
      {CbRows, &tasks::TImpTask::SetRows},       {CbDestroy, &tasks::TImpTask::SetDestroy},
      {CbGrants, &tasks::TImpTask::SetGrants},   {CbAnalyze, &tasks::TImpTask::SetAnalyze},
      {CbIndexes, &tasks::TImpTask::SetIndexes}, {CbCommit, &tasks::TImpTask::SetCommit},
      {CbIgnore, &tasks::TImpTask::SetIgnore},   {CbSkipUnusable, &tasks::TImpTask::SetSkipUnusableIndexes},
      {CbShow, &tasks::TImpTask::SetShow}};
  auto* boxes = new QGridLayout;
  int i = 0;
  for (const auto& flag : flags) {
    QCheckBox* box = flag.first;
    auto setter = flag.second;
    boxes->addWidget(box, i / 3, i % 3);
    ++i;
    connect(box, &QCheckBox::toggled, this, [this, box, setter](bool on) {
      tasks::TImpTask* task = task_;
      Apply(box, [task, setter, on] { (task->*setter)(on); });
    });
  }
  page.addLayout(boxes);
  EdBuffer = NewEdit("EdBuffer", 8);
  EdCharset = NewEdit("EdCharset", 50);
  EdIndexfile = NewEdit("EdIndexfile", 255);
  EdRecordLength = NewEdit("EdRecordLength", 8);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Buffer"), EdBuffer);
  form->addRow(QStringLiteral("Charset"), EdCharset);
  form->addRow(QStringLiteral("Indexfile"), EdIndexfile);
  form->addRow(QStringLiteral("RecordLength"), EdRecordLength);
  page.addLayout(form);
  page.addStretch();

  BindCount(EdBuffer, tasks::kImpDefaults.buffer, [this](int v) { task_->SetBuffer(v); });
  BindCount(EdRecordLength, tasks::kImpDefaults.recordlength, [this](int v) { task_->SetRecordLength(v); });
  connect(EdCharset, &QLineEdit::textChanged, this,
          [this] { Apply(EdCharset, [this] { task_->SetCharset(trimmed(EdCharset)); }); });
  connect(EdIndexfile, &QLineEdit::textChanged, this,
          [this] { Apply(EdIndexfile, [this] { task_->SetIndexFile(trimmed(EdIndexfile)); }); });
}

void TFrmImportWizard::BuildPage3() {
  QVBoxLayout& page = PageLayout(3);
  page.addWidget(new QLabel(QStringLiteral("Command parameters"), this));
  EdParameters = new QPlainTextEdit(this);
  EdParameters->setObjectName("EdParameters");
  EdParameters->setReadOnly(true);
  page.addWidget(EdParameters, 1);
}

void TFrmImportWizard::Load(tasks::TImpTask& task) {
  task_ = &task;
  Restart();
  loading_ = true;
  const tasks::TImpOptions& o = task.options();
  setWholeText(EdTaskname, q(task.name()));
  setWholeText(EdTaskDescription, q(task.description()));
  const bool fresh = task.uname().empty() && task.upassword().empty() && task.connectstring().empty();
  const OracleLogin offered =
      fresh ? LastOracleLogin() : OracleLogin{task.uname(), task.upassword(), task.connectstring()};
  setWholeText(EdUsername, q(offered.username));
  setWholeText(EdPassword, q(offered.password));
  setWholeText(Edconnectstring, q(offered.connectstring));
  setWholeText(Eddumpfile, o.files.empty() ? QString() : q(o.files.front()));
  setWholeText(EdTousers, o.full ? q(o.touser) : QString());
  CmbIncrementalImport->setCurrentIndex(int(o.inctype));
  setWholeText(EdOwners, q(o.fromuser));
  setWholeText(EdFromToUsers, q(o.touser));
  setWholeText(EdFromUserTables, q(o.tables));
  CbRows->setChecked(o.rows);
  CbDestroy->setChecked(o.destroy);
  CbGrants->setChecked(o.grants);
  CbAnalyze->setChecked(o.analyze);
  CbIndexes->setChecked(o.indexes);
  CbCommit->setChecked(o.commit);
  CbIgnore->setChecked(o.ignore);
  CbSkipUnusable->setChecked(o.skip_unusable_indexes);
  CbShow->setChecked(o.show);
  EdBuffer->setText(QString::number(o.buffer));
  EdRecordLength->setText(QString::number(o.recordlength));
  setWholeText(EdIndexfile, q(o.indexfile));
  setWholeText(EdCharset, q(o.charset));
  loading_ = false;
  GbFull->hide();
  GbUser->hide();
  (o.full ? RbFull : RbUser)->setChecked(true);
  ReadDumpCharset();
  EdTaskname->setFocus();
  EdTaskname->selectAll();
}

tasks::TUniTask& TFrmImportWizard::Task() {
  return *task_;
}

std::string TFrmImportWizard::DumpFilePath() const {
  const auto& files = task_->options().files;
  return trimmed(Eddumpfile, files.empty() ? std::string() : files.front());
}

bool TFrmImportWizard::CheckPage(int page) {
  if (page != 0) return true;
  if (EdTaskname->text().trimmed().isEmpty()) return Warn(EdTaskname, "Please input taskname!");
  if (EdUsername->text().trimmed().isEmpty()) return Warn(EdUsername, "Please input username!");
  if (Eddumpfile->text().trimmed().isEmpty()) return Warn(Eddumpfile, "Please input dump filename!");
  return true;
}

void TFrmImportWizard::PageShown(int page) {
  if (page == 0) {
    EdTaskname->setFocus();
    EdTaskname->selectAll();
  } else if (page == 1) {
    RgImportModeClick();
  } else if (page == 3) {
    EdParameters->setPlainText(q(task_->command()));
  }
}

void TFrmImportWizard::ReadDumpCharset() {
  dumpCharset_ = QStringLiteral("Unknown");
  const std::string path = DumpFilePath();
  tasks::TDumpHeader header;
  std::error_code ec;
  if (!path.empty() && std::filesystem::is_regular_file(path, ec) && tasks::ReadDumpHeader(path, header))
    dumpCharset_ = q(header.charset);
  lbfilenls->setText(dumpCharset_);
}

void TFrmImportWizard::RgImportModeClick() {
  const bool full = RbFull->isChecked();
  GbFull->setVisible(full);
  GbUser->setVisible(!full);
  EdTousers->setEnabled(full);
  for (QLineEdit* e : {EdOwners, EdFromToUsers, EdFromUserTables}) e->setEnabled(!full);
  if (full) {
    Apply(EdTousers, [this] {
      const std::string touser = trimmed(EdTousers, task_->options().touser);
      task_->SetFull(true);
      task_->SetToUser(touser);
    });
  } else {
    Apply(EdOwners, [this] {
      const tasks::TImpOptions& o = task_->options();
      const std::string fromuser = trimmed(EdOwners, o.fromuser), touser = trimmed(EdFromToUsers, o.touser),
                        tables = trimmed(EdFromUserTables, o.tables);
      task_->SetFull(false);
      task_->SetFromUser(fromuser);
      task_->SetToUser(touser);
      task_->SetTables(tables);
    });
  }
}

void TFrmImportWizard::BtnBrowseClick() {
  const QString current = Eddumpfile->text().trimmed();
  const QString folder = current.isEmpty() ? QString() : QFileInfo(current).absolutePath();
  const QString chosen =
      Services().files->openFile(this, folder, QStringLiteral("dump file(*.dmp);;All files(*)"));
  if (chosen.isEmpty()) return;
  setWholeText(Eddumpfile, chosen);
  ReadDumpCharset();
}

void TFrmImportWizard::btngetnlsClick() {
  if (dumpCharset_ == QStringLiteral("Unknown")) {
    Warn(btngetnls, "Unknown dump file character sets!");
    return;
  }
  if (!TakeLoginForComparison(EdUsername, EdPassword, Edconnectstring)) return;
  try {
    const std::string server = ReadServerCharset(links_, LastOracleLogin(), ClientCharset().charset);
    Services().messages->information(
        this, "Dumpfile: " + dumpCharset_ + "\r\nServer: " + ServerCharsetShown(server));
  } catch (const std::exception& e) {
    Services().messages->error(this, QString::fromUtf8(e.what()));
  }
}

}  // namespace ui
