#include "ui/services.h"

#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
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
  bool question(QWidget* parent, const QString& text) override {
    return QMessageBox::question(parent, kTitle, text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
  }
};

class QtFiles final : public FileDialogService {
 public:
  QString openFile(QWidget* parent, const QString& folder, const QString& filter) override {
    return QFileDialog::getOpenFileName(parent, QString(), folder, filter);
  }
  QString saveFile(QWidget* parent, const QString& folder, const QString& filter,
                   const QString& suffix) override {
    QFileDialog dialog(parent, QString(), folder, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(suffix);
    return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()
               ? dialog.selectedFiles().first()
               : QString();
  }
  QString chooseFolder(QWidget* parent, const QString& folder) override {
    return QFileDialog::getExistingDirectory(parent, QString(), folder);
  }
};

class QtDialogs final : public DialogRunner {
 public:
  int run(QDialog& dialog) override { return dialog.exec(); }
};

class QtDesktop final : public DesktopService {
 public:
  bool openFile(const QString& path) override { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }
};

}  // namespace

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
