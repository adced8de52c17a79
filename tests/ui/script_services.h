// Scripted answers for the windows' message boxes, file dialogs and modal dialogs, so that the
// window tests drive real widgets offscreen with no modal loop.
#pragma once

#include <gtest/gtest.h>

#include <QDialog>
#include <QString>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "ui/services.h"

namespace ui::testing {

// Answers the windows' questions from scripts; records every message shown.
struct Script final : MessageService, FileDialogService, DialogRunner {
  std::vector<QString> messages;
  std::deque<bool> answers;
  std::deque<QString> paths;
  // The folder each file or folder dialog was asked to open in, in order.
  std::vector<QString> folders;
  std::map<QString, std::function<int(QDialog&)>> dialogs;
  // Runs while a question is open, before it is answered: what the event loop does meanwhile.
  std::function<void()> whileAsked;
  // Runs while an error, information or warning box is open, before it is closed.
  std::function<void()> whileShown;

  void error(QWidget*, const QString& text) override { shown("error: " + text); }
  void information(QWidget*, const QString& text) override { shown("info: " + text); }
  void warning(QWidget*, const QString& text) override { shown("warning: " + text); }
  void shown(const QString& message) {
    messages.push_back(message);
    if (whileShown) whileShown();
  }
  bool question(QWidget*, const QString& text) override {
    messages.push_back("question: " + text);
    if (whileAsked) whileAsked();
    return take(answers);
  }
  QString openFile(QWidget*, const QString& folder, const QString&) override {
    folders.push_back(folder);
    return take(paths);
  }
  QString saveFile(QWidget*, const QString& folder, const QString&, const QString&) override {
    folders.push_back(folder);
    return take(paths);
  }
  QString chooseFolder(QWidget*, const QString& folder) override {
    folders.push_back(folder);
    return take(paths);
  }
  int run(QDialog& dialog) override {
    auto it = dialogs.find(dialog.objectName());
    return it == dialogs.end() ? QDialog::Rejected : it->second(dialog);
  }
  template <class T>
  static T take(std::deque<T>& queue) {
    EXPECT_FALSE(queue.empty()) << "unscripted question";
    if (queue.empty()) return T();
    T v = queue.front();
    queue.pop_front();
    return v;
  }
};

}  // namespace ui::testing
