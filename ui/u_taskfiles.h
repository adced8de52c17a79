// The main window's two task-file commands, "Export tasks" and "Import tasks", behind the dialog
// and message seams. The window hands in the tasks to write and stores and shows the tasks read.
//
// Threads: window thread only.
#pragma once

#include <QString>
#include <memory>
#include <span>
#include <vector>

#include "tasks/u_unitask.h"

class QWidget;

namespace ui {

// Asks for a target file and writes `tasks` there in the order of their ids, through a temporary
// file.
// Reports success, with every field that had to be cut, or the failure and its reason. False
// when cancelled or failed.
bool ExportTasksToFile(QWidget* parent, const QString& folder, std::span<const tasks::TUniTask* const> tasks);

// Asks for a task file and reads every task in it, with `createtime` now; the caller stores them,
// which gives each its new id. A refused file is reported and gives no
// task; the fields that may have been cut and the records of unknown types are reported after
// a successful read.
std::vector<std::unique_ptr<tasks::TUniTask>> ImportTasksFromFile(QWidget* parent, const QString& folder,
                                                                  tasks::TaskHost* owner);

}  // namespace ui
