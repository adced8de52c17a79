// The seams between the windows and what blocks on the user: message boxes, file and folder
// dialogs, modal dialogs and the desktop's opening of files. The program uses the Qt implementations; tests
// put in their own answers so that no real modal loop runs.
//
// Threads: window thread only.
#pragma once

#include <QString>
#include <functional>

class QDialog;
class QObject;
class QWidget;

namespace ui {

class MessageService {
 public:
  virtual ~MessageService() = default;
  virtual void error(QWidget* parent, const QString& text) = 0;
  virtual void information(QWidget* parent, const QString& text) = 0;
  // Missing or wrong input that the user can put right; shown as an error where none is given.
  virtual void warning(QWidget* parent, const QString& text) { error(parent, text); }
  // A question with Yes and No; true for Yes.
  virtual bool question(QWidget* parent, const QString& text) = 0;
};

// Where a file or folder dialog opens when its caller names no folder (an empty text): the folder
// of the last path chosen in any of them, else the user's home folder.
QString DefaultDialogFolder();
// Records the folder of a path the user chose in a dialog: a file's folder, or the chosen folder.
void NoteDialogChoice(const QString& path);

class FileDialogService {
 public:
  virtual ~FileDialogService() = default;
  // Each opens in `folder`, or in DefaultDialogFolder() when it is empty, and gives the chosen
  // path, or an empty text when the user cancelled.
  virtual QString openFile(QWidget* parent, const QString& folder, const QString& filter) = 0;
  // Asks before overwriting; a name without an extension gets `suffix`.
  virtual QString saveFile(QWidget* parent, const QString& folder, const QString& filter,
                           const QString& suffix) = 0;
  // A folder picker in which the user may also create a folder.
  virtual QString chooseFolder(QWidget* parent, const QString& folder) = 0;
};

class DialogRunner {
 public:
  virtual ~DialogRunner() = default;
  // Shows `dialog` modally and returns its result (QDialog::Accepted or Rejected).
  virtual int run(QDialog& dialog) = 0;
};

class DesktopService {
 public:
  virtual ~DesktopService() = default;
  // Opens a local file with the program the desktop gives its kind; false when that fails.
  virtual bool openFile(const QString& path) = 0;
};

// The desktop's own.
DesktopService& SystemDesktop();

struct UiServices {
  MessageService* messages;
  FileDialogService* files;
  DialogRunner* dialogs;
  DesktopService* desktop = &SystemDesktop();
};

// The services in use; the Qt ones until a test replaces them.
UiServices& Services();

// One modal loop in progress: each box, dialog and file dialog that the Qt services show holds
// one while its loop runs (a test's own modal loop holds one too). The command that showed it
// waits under the loop and goes on, with whatever it held, when the loop ends.
class ModalLoop {
 public:
  ModalLoop();
  ~ModalLoop();
  ModalLoop(const ModalLoop&) = delete;
  ModalLoop& operator=(const ModalLoop&) = delete;
};

// How many modal loops are in progress.
int OpenModalLoops();

// Calls `then` from the event loop once no modal loop is in progress, so after the commands under
// them have returned; at the next turn of the loop when none is. Dropped when `context` goes first.
void AfterModalLoops(QObject* context, std::function<void()> then);

}  // namespace ui
