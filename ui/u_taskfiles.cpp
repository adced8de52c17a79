#include "ui/u_taskfiles.h"

#include <algorithm>

#include "platform/plainfile.h"
#include "tasks/u_taskfile.h"
#include "ui/services.h"

namespace ui {
namespace {

QString withLines(QString text, const std::vector<std::string>& lines) {
  if (!lines.empty()) text += QStringLiteral("\n");
  for (const std::string& line : lines) text += QStringLiteral("\n") + QString::fromStdString(line);
  return text;
}

}  // namespace

bool ExportTasksToFile(QWidget* parent, const QString& folder, std::span<const tasks::TUniTask* const> list) {
  const QString path = Services().files->saveFile(
      parent, folder, QStringLiteral("Export task file(*.etf);;All files(*)"), QStringLiteral("etf"));
  if (path.isEmpty()) return false;
  std::vector<const tasks::TUniTask*> byId(list.begin(), list.end());
  std::stable_sort(byId.begin(), byId.end(), [](auto* a, auto* b) { return a->id() < b->id(); });
  std::vector<std::string> cuts;
  std::string error;
  if (!tasks::WriteTaskFile(path.toStdString(), byId, cuts, error)) {
    Services().messages->error(parent,
                               QStringLiteral("Failed to save tasks!\n") + QString::fromStdString(error));
    return false;
  }
  Services().messages->information(parent, withLines(QStringLiteral("Successfully save tasks!"), cuts));
  return true;
}

std::vector<std::unique_ptr<tasks::TUniTask>> ImportTasksFromFile(QWidget* parent, const QString& folder,
                                                                  tasks::TaskHost* owner,
                                                                  tasks::TTaskStore& store) {
  std::vector<std::unique_ptr<tasks::TUniTask>> read;
  const QString path =
      Services().files->openFile(parent, folder, QStringLiteral("Import task file(*.etf);;All files(*)"));
  if (path.isEmpty() || !platform::fileExists(path.toStdString())) return read;
  std::vector<std::string> notes;
  std::string error;
  if (!tasks::ReadTaskFile(path.toStdString(), owner, read, notes, error)) {
    // A file of another program is the user's mistake, not a failure: a warning says so.
    if (error == tasks::kIllegalTaskFile)
      Services().messages->warning(parent, QString::fromStdString(error));
    else
      Services().messages->error(parent, QString::fromStdString(error));
    return read;
  }
  for (size_t i = 0; i < read.size(); ++i) {
    bool stored = false;
    try {
      // A new row starts with no schedule; the update gives it the one the task shows.
      store.SaveTask(*read[i]);
      stored = true;
      store.UpdateTask(*read[i]);
    } catch (const std::exception& e) {
      Services().messages->error(parent, QString::fromLatin1(tasks::kSaveTaskError) + "\n" + e.what());
      // The row the update missed is taken back; where even that fails it stays, and the tree
      // shows it as the store holds it, without a schedule, so that no stored task is hidden.
      if (stored) {
        try {
          store.DeleteTask(read[i]->id());
          stored = false;
        } catch (const std::exception&) {
          read[i]->SetScheduleTable("0000");
        }
      }
      read.resize(stored ? i + 1 : i);
      return read;
    }
  }
  if (!notes.empty())
    Services().messages->information(parent, withLines(QStringLiteral("Imported with notes:"), notes));
  return read;
}

}  // namespace ui
