// Task storage: the local tables `task` (one row per task), `tasklog` (one row per run) and
// `tasklogc` (the output of each run) in the engine's own file format, in the program's data
// folder, kept through the engine's components: `task` and `tasklog` are written and read with
// SQL through one query component (`uniquery`), the output rows through one table component on
// `tasklogc` (`unitable`). Missing tables are created on first use, encrypted with the local
// tables' password, through the engine itself (the table component makes plain tables only);
// every later use goes through the components, so the tables of an earlier version of the
// program open as they are, except the whole task list, which is read straight from an engine
// cursor on `task` (its rows and their memos in file order, each as the components would give it).
//
// Columns. Every text column is a memo (a text blob), whatever its length: an engine string
// holds at most 250 bytes, drops trailing blanks and cannot hold a NUL byte, and a task's
// command, description, paths or passwords must come back exactly as they were stored.
// Numbers and flags are 32-bit integers, `filesize` a 64-bit integer (dumps pass 2 GiB), and
// `createtime`, `begintime` and `endtime` timestamps in UTC. Keys: `task` by `id` and, newest
// first, by `createtime` (the order the window lists tasks in, added to the tables of an earlier
// version at a start that finds no other process using them); `tasklog` by `id` and by `taskid`;
// `tasklogc` by `taskid` and `tasklogid`, its first two fields. New tables get blob blocks of a
// size fitted to their values (128 bytes for `task` and `tasklog`, 4096 for the output in
// `tasklogc`); tables of an earlier version keep theirs.
//
// Every value travels as a statement parameter or through a field, so no stored text is ever
// read as a statement. New ids are the next ids unused in their table, never reused while a
// higher one lives. A log is removed only by its task's id together with its own.
//
// Writes: each operation is one transaction of the database component, through the engine's
// rollback journal, so it is on the files, whole or not at all, when it returns. Reads run in a
// transaction too, which locks the tables once instead of once per row and blob. The tables are
// opened shared: another process may read them between two operations.
//
// Errors: each operation either completes or raises (EVELDOREngineError, the components'
// database error, or std::runtime_error for a folder not private to the user); the window shows
// the box of the operation (the k...Error texts below).
//
// Threads: one thread at a time (the window thread).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tasks/u_taskrun.h"
#include "tasks/u_unitask.h"

namespace engine {
class TFileList;
}  // namespace engine

namespace engine::components {
class TVELDORSession;
class TVELDORDatabase;
class TVELDORQuery;
class TVELDORTable;
}  // namespace engine::components

namespace tasks {

class TTaskListReader;

inline constexpr const char* kSaveTaskError = "Save task error!";
inline constexpr const char* kDeleteTaskError = "Delete task  error!";
inline constexpr const char* kDeleteTaskLogError = "Delete task log error!";

// The password of the local tables, registered with the store's session.
inline constexpr const char* kLocalTablePassword = "mirt318";

// A storage operation that failed: what() is its box text, cause() the failure's own message.
class ETaskStoreError : public std::runtime_error {
 public:
  ETaskStoreError(const std::string& box, std::string cause)
      : std::runtime_error(box), cause_(std::move(cause)) {}
  const std::string& cause() const { return cause_; }

 private:
  std::string cause_;
};

class TTaskStore final : public TaskLogStore {
 public:
  // $XDG_DATA_HOME/velmaron/db, or ~/.local/share/velmaron/db when that is unset or not absolute.
  static std::string DefaultFolder();

  // Opens the tables in `folder`, creating the folder (mode 0700: it holds passwords) and any
  // missing table. A table whose data file is gone but whose index or memo file is left is not
  // missing but damaged: the engine's error for the data file, and no file is written; except
  // where those files hold no index page and no memo block (what a first creation ended before
  // its data file leaves), when the table is made anew over them. Raises the
  // engine's or the folder's error as it is. The tables' files go through `files` when given (a
  // test's file system), else through the process's list.
  explicit TTaskStore(const std::string& folder, engine::TFileList* files = nullptr);
  ~TTaskStore() override;
  TTaskStore(const TTaskStore&) = delete;
  TTaskStore& operator=(const TTaskStore&) = delete;

  // Inserts a new row for `task` under the next unused id, which becomes the task's. The row's
  // `scheduletable` is "0000" and `connecttodb` 0, whatever the task holds.
  void SaveTask(TUniTask& task);
  // Writes every column but `id` and `createtime` into the task's row (`connecttodb` 0). Raises
  // VELDOR_RECNOTFOUND when the row is gone.
  void UpdateTask(const TUniTask& task);
  // Removes the task's `tasklog` and `tasklogc` rows.
  void DeleteTaskLogs(int32_t taskId);
  // Removes the task's logs, then its row. The row goes also when removing the logs failed;
  // that failure is raised afterwards (kDeleteTaskLogError), unless the row's own removal
  // failed (kDeleteTaskError).
  void DeleteTask(int32_t taskId);
  // Removes one log of one task, both its rows; nothing when it is not that task's.
  void DeleteTaskLog(int32_t taskId, int32_t logId);

  // TaskLogStore. Both rows are written in one transaction.
  int32_t SaveTaskLog(const TaskLogEntry& entry, const std::string& content) override;

  // Every task row, newest `createtime` first (of equal times the higher id first, so the order
  // never depends on where rows lie in the table): an export task object for types 0 and 2, an
  // import task for 1 and 3, made with `owner`. Rows of any other type are skipped (and kept).
  std::vector<std::unique_ptr<TUniTask>> LoadTasks(TaskHost* owner);
  // The same tasks with what the task list needs (the row's numbers and flags, `name`,
  // `scheduletable`, `command`); each reads its details from its row on their first use (see
  // TUniTask::SetDetailsLoader), empty when the row is gone by then. Using the details after the
  // store is gone raises std::logic_error.
  std::vector<std::unique_ptr<TUniTask>> LoadTaskList(TaskHost* owner);
  // LoadTaskList's tasks in parts, with other operations of the store between them (see
  // TTaskListReader). Requires: the reader goes before the store.
  std::unique_ptr<TTaskListReader> OpenTaskList(TaskHost* owner);
  // Reads the details of `task` from its row now (nothing when they are read already).
  void LoadTaskDetails(TUniTask& task);
  // The task's logs, newest `begintime` first (of equal times the higher id first), and one
  // log's content ("" when it has none).
  std::vector<TaskLogEntry> LoadTaskLogs(int32_t taskId);
  std::string LoadTaskLogContent(int32_t taskId, int32_t logId);

  // The components, for tools and tests that look at the tables as the program does.
  engine::components::TVELDORDatabase& Database() const { return *dbmain_; }

 private:
  // Runs `work` as one transaction; a failure leaves as ETaskStoreError with `box` (the
  // failure's own message when null).
  void write(const char* box, const std::function<void()>& work);
  // Runs `work`, which only reads, with the tables locked once for all of it.
  void read(const std::function<void()>& work);
  int32_t saveTaskLog(const TaskLogEntry& entry, const std::string& content);
  // One above the highest `id` of `table`; 1 for an empty table.
  int32_t nextId(const char* table);
  friend class TTaskListReader;
  std::vector<std::unique_ptr<TUniTask>> loadTasks(TaskHost* owner, bool whole);
  // What a listed task reads its details with.
  std::function<void(TUniTask&)> detailsLoader() const;
  void readDetails(TUniTask& task);

  std::unique_ptr<engine::components::TVELDORSession> session_;
  std::unique_ptr<engine::components::TVELDORDatabase> dbmain_;
  std::unique_ptr<engine::components::TVELDORQuery> uniquery_;
  std::unique_ptr<engine::components::TVELDORTable> unitable_;
  // `task` and `tasklog` read-only on their primary index, for their highest ids and a task's
  // details.
  std::unique_ptr<engine::components::TVELDORTable> taskIds_;
  std::unique_ptr<engine::components::TVELDORTable> logIds_;
  // Alive while the store is: the details loaders of listed tasks hold it weakly.
  std::shared_ptr<TTaskStore*> alive_ = std::make_shared<TTaskStore*>(this);
};

// Reads the task list in parts: together they are LoadTaskList's tasks in its order, and the
// store may be used between two parts, by this process only (the program runs once per user).
//
// Between parts the reader stands on the first row it has not read, in the table's create-time
// index, with no transaction open: the engine finds a cursor's index entry again by its key after
// other writes, so the rows the window writes meanwhile do not move it. A row added meanwhile
// lies above it when its create time is newer (a new task's is now) and is not read; one with an
// older time is read when the reader reaches it, so the caller drops the ids it holds already.
// A row removed before the reader reaches it is not read; the one it stands on is never removed
// meanwhile, since only tasks read already are shown and can be deleted. A part never splits the
// rows of one create time, so sorting each part by id gives the order of the whole list.
// Without that index (a table of an earlier version still in use by another process) the first
// part reads the whole list at once and hands it out in parts.
//
// Threads: as the store's. Each part is one read transaction.
class TTaskListReader {
 public:
  ~TTaskListReader();
  TTaskListReader(const TTaskListReader&) = delete;
  TTaskListReader& operator=(const TTaskListReader&) = delete;

  // True when every task has been read.
  bool AtEnd() const { return atEnd_; }
  // The next tasks in list order: `count` of them, more when further rows share the create time
  // of the last, fewer at the end. Raises what the store raises, after which the reader is not
  // used again (the part it was reading is lost to it); std::logic_error when the store is gone.
  std::vector<std::unique_ptr<TUniTask>> Next(size_t count);

 private:
  friend class TTaskStore;
  TTaskListReader(TTaskStore& store, TaskHost* owner);

  TTaskStore& store_;
  std::weak_ptr<TTaskStore*> alive_;
  TaskHost* owner_;
  // On the create-time index; null without it, and then the list is read into `whole_` at once.
  std::unique_ptr<engine::components::TVELDORTable> rows_;
  std::vector<std::unique_ptr<TUniTask>> whole_;
  size_t handedOut_ = 0;
  bool wholeRead_ = false;
  bool atEnd_ = false;
};

}  // namespace tasks
