// The main window's two task-file commands, "Export tasks" and "Import tasks", behind the dialog
// and message seams. The window hands in the tasks to write and stores and shows the tasks read.
//
// Threads: window thread only.
#pragma once

#include <QString>
#include <memory>
#include <span>
#include <vector>

#include "tasks/u_taskstore.h"
#include "tasks/u_unitask.h"

class QWidget;

namespace ui {

// Asks for a target file and writes `tasks` there in the order of their ids, through a temporary
// file.
// Reports success, with every field that had to be cut, or the failure and its reason. False
// when cancelled or failed.
bool ExportTasksToFile(QWidget* parent, const QString& folder, std::span<const tasks::TUniTask* const> tasks);

// Asks for a task file, reads every task in it (`createtime` now) and stores each in `store` as a
// new task, with the schedule it shows. Returns the stored tasks, in file order, for the caller's
// tree. A refused file is reported and stores nothing; a failure to store is reported ("Save task
// error!" and its reason) and ends the import with the tasks stored before it returned. A task
// whose row was inserted but not updated is removed again; when that fails too, it is returned
// as its row holds it (no schedule). The fields
// that may have been cut and the records of unknown types are reported after a successful read.
std::vector<std::unique_ptr<tasks::TUniTask>> ImportTasksFromFile(QWidget* parent, const QString& folder,
                                                                  tasks::TaskHost* owner,
                                                                  tasks::TTaskStore& store);

}  // namespace ui
