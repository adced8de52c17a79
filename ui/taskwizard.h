// What the export and import wizards share: four pages walked with Back and Next (Enter acts as
// Next and never saves), a caption per page, the finishing checks (the command parses, the dump
// file's folder exists or is made, the file has a name), the account fields, the number edits,
// and option values that a task refuses, which hold the user on the page until mended.
//
// A wizard edits one task in place: each control writes its value into the task at once through
// the task's option setters. The caller loads the task, runs the wizard modally and, on OK, takes
// the name, description and account with TakeNamesInto. Closing the wizard ends its connection.
//
// Threads: window thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "ui/oracleaccess.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

namespace tasks {
class TUniTask;
}

namespace ui {

// Widget helpers both wizards build their pages with.
namespace wizard {
QString q(const std::string& text);
// The edit's text without leading and trailing blanks.
std::string trimmed(const QLineEdit* edit);
// The same, or `stored` itself (trimmed) while the edit still shows it (see editedText): for an
// option that the wizard writes again without the user having changed it.
std::string trimmed(const QLineEdit* edit, const std::string& stored);
// A new child of `parent` with the object name `name`.
QCheckBox* checkBox(QWidget* parent, const char* name, const QString& caption);
QGroupBox* group(QWidget* parent, const char* name, const QString& title);
}  // namespace wizard

class TaskWizard : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kPages = 4;

  ~TaskWizard() override;

  // Page captions `heading` + ": step 1 of 4" .. ": step 4 of 4".
  void SetPageCaptions(const QString& heading);
  QString PageCaption(int page) const;
  int CurrentPage() const;
  // Name, description, user, password and connect string, trimmed, into `task`.
  void TakeNamesInto(tasks::TUniTask& task) const;

  // Back (false) or Next (true) as the buttons do.
  void NextPage(bool forward);

  // Closing ends the wizard's connection.
  void done(int result) override;

 protected:
  TaskWizard(const char* objectName, const QString& title, OracleLinkFactory links, QWidget* parent);

  // The layout of page `page`, under its caption.
  QVBoxLayout& PageLayout(int page);
  // The task the wizard edits; valid between a load and the close.
  virtual tasks::TUniTask& Task() = 0;
  // The dump file as the task will take it: trimmed, the stored one while the edit shows it.
  virtual std::string DumpFilePath() const = 0;
  // The check before leaving `page` forward; false (after saying why) keeps the page.
  virtual bool CheckPage(int page) = 0;
  // Called after `page` has become the current one.
  virtual void PageShown(int page) = 0;
  // The wizard's connection ends (on close and on a new load).
  virtual void EndConnection() {}

  // Shows page 0 and its buttons; a load of a new task calls it first.
  void Restart();
  // A warning box with `text`, then the focus on `edit`. Always false.
  bool Warn(QWidget* edit, const char* text);
  // Runs an option setter for `control`. A value the task refuses (std::invalid_argument) is
  // remembered against the control, and the user cannot leave the page forward until the control
  // holds a value the task takes. Ignored while the controls are being loaded.
  void Apply(QWidget* control, const std::function<void()>& set);
  // A count edit: digits only; a text that is no number or 0 shows `fallback` and the task takes
  // `fallback`.
  void BindCount(QLineEdit* edit, int fallback, const std::function<void(int)>& set);
  // Makes a named line edit of at most `maxLength` characters.
  QLineEdit* NewEdit(const char* name, int maxLength);

  void keyPressEvent(QKeyEvent* event) override;

  OracleLinkFactory links_;
  bool loading_ = false;
  QLineEdit* nameEdit_ = nullptr;
  QLineEdit* descriptionEdit_ = nullptr;
  QLineEdit* userEdit_ = nullptr;
  QLineEdit* passwordEdit_ = nullptr;
  QLineEdit* serverEdit_ = nullptr;

 private:
  void showPage(int page);
  // A refused value that is still there: says so and focuses its control.
  bool refusedValue();
  bool Finish();

  QStackedWidget* Pages;
  std::array<QLabel*, kPages> captions_{};
  std::array<QVBoxLayout*, kPages> pageLayouts_{};
  QPushButton* BtnBack;
  QPushButton* BtnNext;
  QPushButton* BtnCancel;
  std::map<QWidget*, QString> refused_;
};

}  // namespace ui
