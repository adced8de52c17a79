// The blank-task dialog: a task typed as a raw export or import command (name, description,
// Oracle account, parameter text) instead of made with a wizard. OK checks the input and tries the
// parameter text with the parser of its kind; a text that does not parse is saved only when the
// user says so. "Nls compare" shows the client's and the server's character sets side by side.
//
// Threads: window thread only.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <string>

#include "ui/oracleaccess.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace tasks {
class TaskHost;
class TUniTask;
}  // namespace tasks

namespace ui {

// Asks the server `login` names for its NLS_CHARACTERSET, connecting with the client character set
// `clientCharset`; an empty text when the server has none. Throws std::exception with the
// session's message on any failure (its text carries the Oracle error number).
using ServerCharsetReader =
    std::function<std::string(const OracleLogin& login, const std::string& clientCharset)>;

class TFrmNewBlankTask final : public QDialog {
  Q_OBJECT
 public:
  // The task made on OK belongs to `owner` (may be null). `readServerCharset` serves "Nls
  // compare"; `changeCharset` serves the character-set button and may change ClientCharset().
  // Neither may be empty.
  TFrmNewBlankTask(tasks::TaskHost* owner, ServerCharsetReader readServerCharset,
                   std::function<void()> changeCharset, QWidget* parent = nullptr);
  ~TFrmNewBlankTask() override;

  // Shows `task`'s name, description, account, kind ("Export" for a raw export, else "Import")
  // and command; a null task empties every field and chooses "Export".
  void Fill(const tasks::TUniTask* task);
  // After OK: the new task, handed over once; null before OK or after a Cancel.
  std::unique_ptr<tasks::TUniTask> TakeTask();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void BtnOkClick();
  void btnnlscompareClick();
  void btnchangeregnlsClick();
  void showClientCharset();
  // Shows `text` as an error box and puts the focus on `edit`; always false.
  bool refuse(QWidget* edit, const char* text);

  tasks::TaskHost* owner_;
  std::unique_ptr<tasks::TUniTask> task_;
  // The texts Fill showed, which OK keeps where they were not changed.
  struct {
    std::string name, description, uname, upassword, connectstring, command;
  } filled_;
  ServerCharsetReader readServerCharset_;
  std::function<void()> changeCharset_;

  QLineEdit* EdTaskname;
  QLineEdit* EdTaskDescription;
  QRadioButton* Rbexport;
  QRadioButton* Rbimport;
  QPlainTextEdit* EdCommandParameters;
  QLineEdit* EdUsername;
  QLineEdit* EdPassword;
  QLineEdit* Edconnectstring;
  QLabel* lbclientnls;
  QPushButton* btnchangeregnls;
  QPushButton* btnnlscompare;
  QPushButton* BtnOk;
  QPushButton* BtnCancel;
};

}  // namespace ui
