#include "ui/u_newblanktask.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <exception>
#include <memory>

#include "tasks/u_task1.h"
#include "tasks/u_unitask.h"
#include "ui/programsettings.h"
#include "ui/services.h"
#include "ui/windowtext.h"

namespace ui {

namespace {

QString q(const std::string& text) {
  return QString::fromStdString(text);
}

QLineEdit* lineEdit(QWidget* parent, const char* name, int maxLength) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setMaxLength(maxLength);
  return edit;
}

}  // namespace

TFrmNewBlankTask::TFrmNewBlankTask(tasks::TaskHost* owner, ServerCharsetReader readServerCharset,
                                   std::function<void()> changeCharset, QWidget* parent)
    : QDialog(parent),
      owner_(owner),
      readServerCharset_(std::move(readServerCharset)),
      changeCharset_(std::move(changeCharset)) {
  setObjectName("FrmNewBlankTask");
  setWindowTitle(QStringLiteral("Task"));
  EdTaskname = lineEdit(this, "EdTaskname", 100);
  EdTaskDescription = lineEdit(this, "EdTaskDescription", 255);
  Rbexport = new QRadioButton(QStringLiteral("Export"), this);
  Rbexport->setObjectName("Rbexport");
  Rbexport->setChecked(true);
  Rbimport = new QRadioButton(QStringLiteral("Import"), this);
  Rbimport->setObjectName("Rbimport");
  auto* group = new QGroupBox(QStringLiteral("Command Parameters"), this);
  EdCommandParameters = new QPlainTextEdit(group);
  EdCommandParameters->setObjectName("EdCommandParameters");
  (new QVBoxLayout(group))->addWidget(EdCommandParameters);
  EdUsername = lineEdit(this, "EdUsername", 20);
  EdPassword = lineEdit(this, "EdPassword", 20);
  EdPassword->setEchoMode(QLineEdit::Password);
  Edconnectstring = lineEdit(this, "Edconnectstring", 20);
  lbclientnls = new QLabel(this);
  lbclientnls->setObjectName("lbclientnls");
  btnchangeregnls = new QPushButton(QStringLiteral("..."), this);
  btnchangeregnls->setObjectName("btnchangeregnls");
  btnnlscompare = new QPushButton(QStringLiteral("Nls compare"), this);
  btnnlscompare->setObjectName("btnnlscompare");
  auto* buttons = new QDialogButtonBox(this);
  BtnOk = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  BtnOk->setObjectName("BtnOk");
  BtnCancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
  BtnCancel->setObjectName("BtnCancel");

  auto* kind = new QHBoxLayout;
  kind->addWidget(Rbexport);
  kind->addWidget(Rbimport);
  kind->addStretch();
  auto* nls = new QHBoxLayout;
  nls->addWidget(lbclientnls, 1);
  nls->addWidget(btnchangeregnls);
  nls->addWidget(btnnlscompare);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Name"), EdTaskname);
  form->addRow(QStringLiteral("Description"), EdTaskDescription);
  form->addRow(kind);
  form->addRow(group);
  form->addRow(QStringLiteral("Username"), EdUsername);
  form->addRow(QStringLiteral("Password"), EdPassword);
  form->addRow(QStringLiteral("Connect string"), Edconnectstring);
  form->addRow(QStringLiteral("Client character sets:"), nls);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);

  connect(BtnOk, &QPushButton::clicked, this, [this] { BtnOkClick(); });
  connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(btnnlscompare, &QPushButton::clicked, this, [this] { btnnlscompareClick(); });
  connect(btnchangeregnls, &QPushButton::clicked, this, [this] { btnchangeregnlsClick(); });
  showClientCharset();
}

TFrmNewBlankTask::~TFrmNewBlankTask() = default;

std::unique_ptr<tasks::TUniTask> TFrmNewBlankTask::TakeTask() {
  return std::move(task_);
}

void TFrmNewBlankTask::Fill(const tasks::TUniTask* task) {
  task_.reset();
  filled_ = {};
  if (task != nullptr)
    filled_ = {task->name(),      task->description(),   task->uname(),
               task->upassword(), task->connectstring(), task->command()};
  setWholeText(EdTaskname, task ? q(task->name()) : QString());
  setWholeText(EdTaskDescription, task ? q(task->description()) : QString());
  setWholeText(EdUsername, task ? q(task->uname()) : QString());
  setWholeText(EdPassword, task ? q(task->upassword()) : QString());
  setWholeText(Edconnectstring, task ? q(task->connectstring()) : QString());
  EdCommandParameters->setPlainText(task ? q(task->command()) : QString());
  const bool isExport = !task || task->tasktype() == tasks::TTaskType::RawExport;
  (isExport ? Rbexport : Rbimport)->setChecked(true);
  showClientCharset();
}

void TFrmNewBlankTask::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  EdTaskname->setFocus();
}

void TFrmNewBlankTask::showClientCharset() {
  const std::string& set = ClientCharset().charset;
  lbclientnls->setText(set.empty() ? QStringLiteral("Not set") : q(set));
}

bool TFrmNewBlankTask::refuse(QWidget* edit, const char* text) {
  Services().messages->error(this, QString::fromUtf8(text));
  edit->setFocus();
  return false;
}

void TFrmNewBlankTask::BtnOkClick() {
  const std::string name = editedText(EdTaskname->text(), filled_.name, true);
  const std::string user = editedText(EdUsername->text(), filled_.uname, true);
  const std::string command = editedText(EdCommandParameters->toPlainText(), filled_.command, true);
  if (name.empty()) {
    refuse(EdTaskname, "Task name can not be empty.");
    return;
  }
  if (user.empty()) {
    refuse(EdUsername, "Username can not be empty.");
    return;
  }
  if (command.empty()) {
    refuse(EdCommandParameters, "Command parameters can not be empty.");
    return;
  }

  // The task that tries the text is the one stored: its class is the kind's, so a later parse of
  // the saved command reads it with the right keywords.
  const bool isExport = Rbexport->isChecked();
  std::unique_ptr<tasks::TUniTask> task;
  if (isExport)
    task = std::make_unique<tasks::TExpTask>(owner_);
  else
    task = std::make_unique<tasks::TImpTask>(owner_);
  task->SetCommand(command);
  if (!task->ParseCommand()) {
    const QString text = QStringLiteral("Parameter %1 error at:\n\r %2 of %3,still save it?")
                             .arg(q(command), QString::number(task->errorpos()), q(task->errortext()));
    if (!Services().messages->question(this, text)) return;
  }

  task->SetTaskType(isExport ? tasks::TTaskType::RawExport : tasks::TTaskType::RawImport);
  task->SetName(name);
  task->SetDescription(editedText(EdTaskDescription->text(), filled_.description, true));
  task->SetUName(user);
  task->SetUPassword(editedText(EdPassword->text(), filled_.upassword, false));
  task->SetConnectString(editedText(Edconnectstring->text(), filled_.connectstring, true));
  // A raw task runs what the user typed; a parsed list only feeds its parameter file.
  task->SetCommand(command);
  task_ = std::move(task);
  accept();
}

void TFrmNewBlankTask::btnnlscompareClick() {
  if (!TakeLoginForComparison(EdUsername, EdPassword, Edconnectstring)) return;
  const OracleLogin& login = LastOracleLogin();
  const std::string client = ClientCharset().charset;
  try {
    Services().messages->information(this, CharsetComparisonText(client, readServerCharset_(login, client)));
  } catch (const std::exception& e) {
    Services().messages->error(this, OracleFailureText(e));
  }
}

void TFrmNewBlankTask::btnchangeregnlsClick() {
  changeCharset_();
  showClientCharset();
}

}  // namespace ui
