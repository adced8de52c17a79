#include "ui/services.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds of every program with windows: what the system's D-Bus and font libraries keep
// until the process ends is not ours to free.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\nleak:libfontconfig.so\n";
}
#endif

namespace ui {
namespace {

const QString kTitle = QStringLiteral("Velmaron for Oracle");

class QtMessages final : public MessageService {
 public:
  void error(QWidget* parent, const QString& text) override {
    ModalLoop loop;
    QMessageBox::critical(parent, kTitle, text);
  }
  void information(QWidget* parent, const QString& text) override {
    ModalLoop loop;
    QMessageBox::information(parent, kTitle, text);
  }
  void warning(QWidget* parent, const QString& text) override {
    ModalLoop loop;
    QMessageBox::warning(parent, kTitle, text);
  }
  bool question(QWidget* parent, const QString& text) override {
    ModalLoop loop;
    return QMessageBox::question(parent, kTitle, text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
  }
};

QString startIn(const QString& folder) {
  return folder.isEmpty() ? DefaultDialogFolder() : folder;
}

QString noted(const QString& chosen) {
  NoteDialogChoice(chosen);
  return chosen;
}

class QtFiles final : public FileDialogService {
 public:
  QString openFile(QWidget* parent, const QString& folder, const QString& filter) override {
    ModalLoop loop;
    return noted(QFileDialog::getOpenFileName(parent, QString(), startIn(folder), filter));
  }
  QString saveFile(QWidget* parent, const QString& folder, const QString& filter,
                   const QString& suffix) override {
    ModalLoop loop;
    QFileDialog dialog(parent, QString(), startIn(folder), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(suffix);
    return noted(dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()
                     ? dialog.selectedFiles().first()
                     : QString());
  }
  QString chooseFolder(QWidget* parent, const QString& folder) override {
    ModalLoop loop;
    return noted(QFileDialog::getExistingDirectory(parent, QString(), startIn(folder)));
  }
};

int modalLoops = 0;

struct Waiting {
  QPointer<QObject> context;
  std::function<void()> then;
};
std::vector<Waiting>& waitingForModalLoops() {
  static std::vector<Waiting> waiting;
  return waiting;
}

// By a timer, not a posted call: what `then` does may wait in the event loop for posted events
// (the close waits for the runs' last events), which the loop does not deliver from inside the
// delivery of a posted call.
void callLater(QObject* context, std::function<void()> then) {
  QTimer::singleShot(1, context, std::move(then));
}

QString& lastDialogFolder() {
  static QString folder;
  return folder;
}

class QtDialogs final : public DialogRunner {
 public:
  int run(QDialog& dialog) override {
    ModalLoop loop;
    return dialog.exec();
  }
};

class QtDesktop final : public DesktopService {
 public:
  bool openFile(const QString& path) override { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }
};

}  // namespace

QString DefaultDialogFolder() {
  const QString last = lastDialogFolder();
  return !last.isEmpty() && QFileInfo(last).isDir() ? last : QDir::homePath();
}

void NoteDialogChoice(const QString& path) {
  if (path.isEmpty()) return;
  const QFileInfo chosen(path);
  lastDialogFolder() = chosen.isDir() ? chosen.absoluteFilePath() : chosen.absolutePath();
}

ModalLoop::ModalLoop() {
  ++modalLoops;
}

ModalLoop::~ModalLoop() {
  if (--modalLoops > 0) return;
  // Posted, not called: this runs inside the command that showed the loop, which goes on first.
  for (Waiting& waiting : std::exchange(waitingForModalLoops(), {}))
    if (waiting.context) callLater(waiting.context, std::move(waiting.then));
}

int OpenModalLoops() {
  return modalLoops;
}

void AfterModalLoops(QObject* context, std::function<void()> then) {
  if (modalLoops == 0) {
    callLater(context, std::move(then));
    return;
  }
  waitingForModalLoops().push_back({context, std::move(then)});
}

DesktopService& SystemDesktop() {
  static QtDesktop desktop;
  return desktop;
}

UiServices& Services() {
  static QtMessages messages;
  static QtFiles files;
  static QtDialogs dialogs;
  static UiServices services{&messages, &files, &dialogs};
  return services;
}

}  // namespace ui
