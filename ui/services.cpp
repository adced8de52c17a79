#include "ui/services.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

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
  void error(QWidget* parent, const QString& text) override { QMessageBox::critical(parent, kTitle, text); }
  void information(QWidget* parent, const QString& text) override {
    QMessageBox::information(parent, kTitle, text);
  }
  void warning(QWidget* parent, const QString& text) override { QMessageBox::warning(parent, kTitle, text); }
  bool question(QWidget* parent, const QString& text) override {
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
    return noted(QFileDialog::getOpenFileName(parent, QString(), startIn(folder), filter));
  }
  QString saveFile(QWidget* parent, const QString& folder, const QString& filter,
                   const QString& suffix) override {
    QFileDialog dialog(parent, QString(), startIn(folder), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(suffix);
    return noted(dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()
                     ? dialog.selectedFiles().first()
                     : QString());
  }
  QString chooseFolder(QWidget* parent, const QString& folder) override {
    return noted(QFileDialog::getExistingDirectory(parent, QString(), startIn(folder)));
  }
};

QString& lastDialogFolder() {
  static QString folder;
  return folder;
}

class QtDialogs final : public DialogRunner {
 public:
  int run(QDialog& dialog) override { return dialog.exec(); }
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
