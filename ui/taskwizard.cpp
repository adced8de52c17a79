#include "ui/taskwizard.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "tasks/u_unitask.h"
#include "ui/services.h"
#include "ui/windowtext.h"

namespace ui {

namespace wizard {

QString q(const std::string& text) {
  return QString::fromStdString(text);
}

std::string trimmed(const QLineEdit* edit) {
  return edit->text().trimmed().toStdString();
}

std::string trimmed(const QLineEdit* edit, const std::string& stored) {
  return editedText(edit->text(), stored, true);
}

QCheckBox* checkBox(QWidget* parent, const char* name, const QString& caption) {
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(name);
  return box;
}

QGroupBox* group(QWidget* parent, const char* name, const QString& title) {
  auto* box = new QGroupBox(title, parent);
  box->setObjectName(name);
  return box;
}

}  // namespace wizard

TaskWizard::TaskWizard(const char* objectName, const QString& title, OracleLinkFactory links, QWidget* parent)
    : QDialog(parent), links_(std::move(links)) {
  setObjectName(objectName);
  setWindowTitle(title);
  Pages = new QStackedWidget(this);
  Pages->setObjectName("PageControl1");
  for (int i = 0; i < kPages; ++i) {
    auto* page = new QWidget(Pages);
    page->setObjectName(QStringLiteral("TabSheet%1").arg(i + 1));
    auto* layout = new QVBoxLayout(page);
    captions_[size_t(i)] = new QLabel(page);
    captions_[size_t(i)]->setObjectName(QStringLiteral("LbCaption%1").arg(i + 1));
    QFont bold = captions_[size_t(i)]->font();
    bold.setBold(true);
    captions_[size_t(i)]->setFont(bold);
    layout->addWidget(captions_[size_t(i)]);
    pageLayouts_[size_t(i)] = layout;
    Pages->addWidget(page);
  }
  BtnBack = new QPushButton(QStringLiteral("< &Back"), this);
  BtnBack->setObjectName("BtnBack");
  BtnNext = new QPushButton(QStringLiteral("&Next >"), this);
  BtnNext->setObjectName("BtnNext");
  BtnCancel = new QPushButton(QStringLiteral("&Cancel"), this);
  BtnCancel->setObjectName("BtnCancel");
  // Enter is the wizard's own key (Next, never Save); no button takes it.
  for (QPushButton* b : {BtnBack, BtnNext, BtnCancel}) b->setAutoDefault(false);
  connect(BtnBack, &QPushButton::clicked, this, [this] { NextPage(false); });
  connect(BtnNext, &QPushButton::clicked, this, [this] { NextPage(true); });
  connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(BtnBack);
  buttons->addWidget(BtnNext);
  buttons->addWidget(BtnCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Pages, 1);
  layout->addLayout(buttons);
  SetPageCaptions(title);
}

TaskWizard::~TaskWizard() = default;

void TaskWizard::SetPageCaptions(const QString& heading) {
  for (int i = 0; i < kPages; ++i)
    captions_[size_t(i)]->setText(heading + QStringLiteral(": step %1 of %2").arg(i + 1).arg(kPages));
}

QString TaskWizard::PageCaption(int page) const {
  return captions_.at(size_t(page))->text();
}

int TaskWizard::CurrentPage() const {
  return Pages->currentIndex();
}

QVBoxLayout& TaskWizard::PageLayout(int page) {
  return *pageLayouts_.at(size_t(page));
}

void TaskWizard::TakeNamesInto(tasks::TUniTask& task) const {
  task.SetName(editedText(nameEdit_->text(), task.name(), true));
  task.SetDescription(editedText(descriptionEdit_->text(), task.description(), true));
  task.SetUName(editedText(userEdit_->text(), task.uname(), true));
  task.SetUPassword(editedText(passwordEdit_->text(), task.upassword(), true));
  task.SetConnectString(editedText(serverEdit_->text(), task.connectstring(), true));
}

void TaskWizard::done(int result) {
  EndConnection();
  QDialog::done(result);
}

void TaskWizard::Restart() {
  refused_.clear();
  showPage(0);
}

bool TaskWizard::Warn(QWidget* edit, const char* text) {
  Services().messages->warning(this, QString::fromUtf8(text));
  edit->setFocus();
  return false;
}

void TaskWizard::Apply(QWidget* control, const std::function<void()>& set) {
  if (loading_) return;
  try {
    set();
    refused_.erase(control);
  } catch (const std::invalid_argument& e) {
    refused_[control] = QString::fromUtf8(e.what());
  }
}

void TaskWizard::BindCount(QLineEdit* edit, int fallback, const std::function<void(int)>& set) {
  edit->setValidator(new QIntValidator(0, 99999999, edit));
  connect(edit, &QLineEdit::textEdited, this, [this, edit, fallback, set](const QString& text) {
    bool ok = false;
    int value = text.trimmed().toInt(&ok);
    if (!ok || value <= 0) {
      value = fallback;
      edit->setText(QString::number(fallback));
    }
    Apply(edit, [&set, value] { set(value); });
  });
}

QLineEdit* TaskWizard::NewEdit(const char* name, int maxLength) {
  auto* edit = new QLineEdit(this);
  edit->setObjectName(name);
  edit->setMaxLength(maxLength);
  return edit;
}

void TaskWizard::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    if (CurrentPage() < kPages - 1) NextPage(true);
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

bool TaskWizard::refusedValue() {
  if (refused_.empty()) return false;
  const auto& [control, why] = *refused_.begin();
  Services().messages->error(this, why);
  control->setFocus();
  return true;
}

void TaskWizard::NextPage(bool forward) {
  const int page = CurrentPage();
  if (!forward) {
    if (page > 0) showPage(page - 1);
    return;
  }
  if (refusedValue() || !CheckPage(page)) return;
  if (page == kPages - 1) {
    if (Finish()) accept();
    return;
  }
  showPage(page + 1);
}

void TaskWizard::showPage(int page) {
  Pages->setCurrentIndex(page);
  BtnBack->setEnabled(page > 0);
  BtnNext->setText(page == kPages - 1 ? QStringLiteral("&Save") : QStringLiteral("&Next >"));
  PageShown(page);
}

bool TaskWizard::Finish() {
  tasks::TUniTask& task = Task();
  if (task.command().size() < 255) {
    const std::string command = task.command();
    if (!task.ParseCommand()) {
      Services().messages->error(this, QStringLiteral("Parameter %1 error at:\n\r %2 of %3.")
                                           .arg(QString::fromStdString(command))
                                           .arg(task.errorpos())
                                           .arg(QString::fromStdString(task.errortext())));
      return false;
    }
  }
  namespace fs = std::filesystem;
  const fs::path dump(DumpFilePath());
  const fs::path folder = dump.parent_path();
  if (!folder.empty()) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec) && (!fs::create_directories(folder, ec) || ec)) {
      Services().messages->error(this,
                                 "Can not create directory: " + QString::fromStdString(folder.string()));
      return false;
    }
  }
  if (dump.filename().empty()) {
    Services().messages->error(this, QStringLiteral("File name not specified"));
    return false;
  }
  return true;
}

}  // namespace ui
