#include "tasks/u_taskstore.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <span>
#include <stdexcept>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/privatefile.h"
#include "platform/scopeguard.h"
#include "tasks/u_task1.h"

namespace tasks {

namespace {

using namespace engine;

enum class Kind : uint8_t { Int, Big, Time, Memo };
struct Column {
  const char* name;
  Kind kind;
};

// The columns in field order; a column's field number is its position plus one.
constexpr Column kTaskColumns[] = {{"id", Kind::Int},
                                   {"name", Kind::Memo},
                                   {"description", Kind::Memo},
                                   {"createtime", Kind::Time},
                                   {"connecttodb", Kind::Int},
                                   {"uname", Kind::Memo},
                                   {"upassword", Kind::Memo},
                                   {"connectstring", Kind::Memo},
                                   {"scheduletable", Kind::Memo},
                                   {"tasktype", Kind::Int},
                                   {"command", Kind::Memo},
                                   {"preexec", Kind::Memo},
                                   {"postexec", Kind::Memo},
                                   {"ispreexec", Kind::Int},
                                   {"ispostexec", Kind::Int},
                                   {"ftpanonymous", Kind::Int},
                                   {"transfermode", Kind::Int},
                                   {"deletefileafter", Kind::Int},
                                   {"ftpremotedir", Kind::Memo},
                                   {"copyfiledir", Kind::Memo},
                                   {"ftppassword", Kind::Memo},
                                   {"ftpusername", Kind::Memo},
                                   {"ftpserver", Kind::Memo},
                                   {"isexecuser", Kind::Int},
                                   {"execusername", Kind::Memo},
                                   {"execpassword", Kind::Memo},
                                   {"execconnectstring", Kind::Memo}};
enum : uint16_t {
  fId = 1,
  fName,
  fDescription,
  fCreateTime,
  fConnectToDb,
  fUName,
  fUPassword,
  fConnectString,
  fScheduleTable,
  fTaskType,
  fCommand,
  fPreExec,
  fPostExec,
  fIsPreExec,
  fIsPostExec,
  fFtpAnonymous,
  fTransferMode,
  fDeleteFileAfter,
  fFtpRemoteDir,
  fCopyFileDir,
  fFtpPassword,
  fFtpUserName,
  fFtpServer,
  fIsExecUser,
  fExecUserName,
  fExecPassword,
  fExecConnectString
};
static_assert(std::size(kTaskColumns) == 27 && fExecConnectString == 27);

constexpr Column kLogColumns[] = {{"id", Kind::Int},       {"taskid", Kind::Int},   {"begintime", Kind::Time},
                                  {"endtime", Kind::Time}, {"filesize", Kind::Big}, {"dumpfile", Kind::Memo}};
enum : uint16_t { lId = 1, lTaskId, lBeginTime, lEndTime, lFileSize, lDumpFile };

constexpr Column kContentColumns[] = {
    {"taskid", Kind::Int}, {"tasklogid", Kind::Int}, {"content", Kind::Memo}};
enum : uint16_t { cTaskId = 1, cTaskLogId, cContent };

// Index slots: 0 the primary key, 1 the secondary one where a table has it.
struct IndexDef {
  const char* name;
  std::vector<uint16_t> fields;
  bool unique;
};

// The engine's timestamp counts days from 0001-01-01 as day 1; 1970-01-01 is day 719163.
constexpr double kUnixEpochTimestamp = 719163.0 * double(kMsPerDay);

TFieldDescriptor fieldOf(uint16_t number, const Column& c) {
  TFieldDescriptor d;
  d.SetFieldNumber(number);
  d.SetName(c.name);
  switch (c.kind) {
    case Kind::Int:
      d.SetType(TypeCode(TEngineFieldType::Integer));
      break;
    case Kind::Big:
      d.SetType(TypeCode(TEngineFieldType::LargeInt));
      break;
    case Kind::Time:
      d.SetType(TypeCode(TEngineFieldType::Timestamp));
      break;
    case Kind::Memo:
      d.SetType(TypeCode(TEngineFieldType::Blob));
      d.SetSubType(uint8_t(TEngineFieldSubType::Memo));
      break;
  }
  return d;
}

void check(uint16_t code) {
  if (code != 0) RaiseEngineError(code);
}

std::string envText(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

}  // namespace

// One table through one cursor, with a record buffer and typed field access.
class TTaskStore::Table {
 public:
  Table(TDataDirectory& directory, const char* name, std::span<const Column> columns,
        std::vector<IndexDef> indexes)
      : cursor_(directory) {
    cursor_.SetTableName(name);
    // The program runs once per user and is the tables' only user: held exclusively, they need
    // no file lock around each read and write.
    cursor_.SetExclusive(true);
    for (const IndexDef& def : indexes) keyFields_.push_back(def.fields);
    if (!directory.TableExists(name, false)) {
      TCreateTableArgs args;
      args.Encrypted = true;
      args.Password = kLocalTablePassword;
      args.BlobBlockSize = 512;
      for (size_t i = 0; i < columns.size(); ++i) args.Fields.push_back(fieldOf(uint16_t(i + 1), columns[i]));
      for (const IndexDef& def : indexes) {
        TIndexDescriptor index;
        index.name = def.name;
        index.unique = def.unique ? 1 : 0;
        for (size_t i = 0; i < def.fields.size(); ++i) index.fields[i] = def.fields[i];
        args.Indexes.push_back(index);
      }
      cursor_.CreateTable(args);
    }
    cursor_.Open();
    buffer_.resize(cursor_.RecordSize());
    search_.resize(cursor_.RecordSize());
  }

  void Clear() {
    cursor_.FreeAllBlobs(true);
    cursor_.ClearRecordBuffer(buffer_.data());
  }
  void PutInt(uint16_t f, int32_t v) {
    cursor_.PutField(f, buffer_.data(), reinterpret_cast<const uint8_t*>(&v));
  }
  void PutBig(uint16_t f, int64_t v) {
    cursor_.PutField(f, buffer_.data(), reinterpret_cast<const uint8_t*>(&v));
  }
  void PutTime(uint16_t f, DateTime t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const double v = kUnixEpochTimestamp + double(ms);
    cursor_.PutField(f, buffer_.data(), reinterpret_cast<const uint8_t*>(&v));
  }
  // Replaces the memo's whole value; on a record read for a change the old chain is reused.
  void PutText(uint16_t f, const std::string& text) {
    uint8_t* b = buffer_.data();
    check(cursor_.OpenBlob(f, b, 2, false, 1));
    check(cursor_.TruncateBlob(f, b, 0, false));
    if (!text.empty()) {
      check(cursor_.PutBlob(f, b, 0, reinterpret_cast<const uint8_t*>(text.data()), int32_t(text.size()),
                            false));
    }
  }

  int32_t Int(uint16_t f) const {
    int32_t v = 0;
    bool isNull = false;
    cursor_.GetField(f, buffer_.data(), isNull, reinterpret_cast<uint8_t*>(&v));
    return isNull ? 0 : v;
  }
  int64_t Big(uint16_t f) const {
    int64_t v = 0;
    bool isNull = false;
    cursor_.GetField(f, buffer_.data(), isNull, reinterpret_cast<uint8_t*>(&v));
    return isNull ? 0 : v;
  }
  DateTime Time(uint16_t f) const {
    double v = 0;
    bool isNull = false;
    cursor_.GetField(f, buffer_.data(), isNull, reinterpret_cast<uint8_t*>(&v));
    if (isNull) return DateTime{};
    return DateTime(std::chrono::duration_cast<DateTime::duration>(
        std::chrono::milliseconds(int64_t(v - kUnixEpochTimestamp))));
  }
  std::string Text(uint16_t f) {
    uint8_t* b = buffer_.data();
    bool isNull = false;
    uint8_t word[8];
    cursor_.GetField(f, b, isNull, word);
    if (isNull) return {};
    uint32_t size = 0, read = 0;
    check(cursor_.OpenBlob(f, b, 0, false, 1));
    platform::ScopeExit freeBlob([&] { cursor_.FreeBlob(f, b, false, 1); });
    check(cursor_.GetBlobSize(f, b, size, false));
    std::string text(size, '\0');
    if (size > 0)
      check(cursor_.GetBlob(f, b, 0, reinterpret_cast<uint8_t*>(text.data()), int32_t(size), read, false));
    return text;
  }

  // Positions on the record of `slot` whose key fields hold `keys` and reads it.
  bool Find(uint8_t slot, std::initializer_list<int32_t> keys) {
    cursor_.SwitchToIndex(slot);
    cursor_.ClearRecordBuffer(search_.data());
    uint16_t f = 0;
    for (int32_t k : keys)
      cursor_.PutField(keyField(slot, f++), search_.data(), reinterpret_cast<const uint8_t*>(&k));
    cursor_.FreeAllBlobs(true);
    return cursor_.FindKey(false, search_.data(), int32_t(keys.size()), false, 0, buffer_.data());
  }
  // Calls `each` with every record of `slot` whose first key field holds `key`, in key order.
  template <typename Each>
  void ForKey(uint8_t slot, int32_t key, Each each) {
    cursor_.SwitchToIndex(slot);
    cursor_.ClearRecordBuffer(search_.data());
    cursor_.PutField(keyField(slot, 0), search_.data(), reinterpret_cast<const uint8_t*>(&key));
    cursor_.SetRange(false, search_.data(), 1, search_.data(), 1);
    platform::ScopeExit clear([&] { cursor_.ClearRange(); });
    cursor_.SetToBegin();
    while (cursor_.GetNextRecord(buffer_.data()) == 0) each();
  }
  template <typename Each>
  void ForAll(Each each) {
    cursor_.SwitchToIndex(0);
    cursor_.SetToBegin();
    while (cursor_.GetNextRecord(buffer_.data()) == 0) each();
  }
  // One above the highest id of the primary key's first field; 1 for an empty table.
  int32_t NextId() {
    cursor_.SwitchToIndex(0);
    cursor_.SetToEnd();
    if (cursor_.GetPriorRecord(buffer_.data()) != 0) return 1;
    const int32_t last = Int(keyField(0, 0));
    if (last == INT32_MAX) throw std::overflow_error("No unused id is left in table " + cursor_.TableName());
    return last < 1 ? 1 : last + 1;
  }

  void Append() {
    cursor_.AppendRecord(buffer_.data());
    cursor_.FreeAllBlobs(true);
  }
  void Modify() {
    cursor_.ModifyRecord(buffer_.data());
    cursor_.FreeAllBlobs(true);
  }
  void Delete() { cursor_.DeleteRecord(buffer_.data()); }

 private:
  uint16_t keyField(uint8_t slot, uint16_t i) const { return keyFields_.at(slot).at(i); }

  TDataCursor cursor_;
  std::vector<std::vector<uint16_t>> keyFields_;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> search_;
};

std::string TTaskStore::DefaultFolder() {
  std::string base = envText("XDG_DATA_HOME");
  if (base.empty() || base[0] != '/') base = envText("HOME") + "/.local/share";
  return base + "/velmaron/db";
}

TTaskStore::TTaskStore(const std::string& folder) : session_(std::make_unique<TDataSession>()) {
  std::filesystem::create_directories(std::filesystem::path(folder).parent_path());
  platform::makePrivateFolder(folder);
  session_->AddPassword(kLocalTablePassword);
  directory_ = session_->OpenDataDirectory("velmaron", folder);
  platform::UndoOnFailure close([&] { session_->CloseDataDirectory(directory_); });
  tasks_ =
      std::make_unique<Table>(*directory_, "task", kTaskColumns, std::vector<IndexDef>{{"", {fId}, true}});
  logs_ = std::make_unique<Table>(*directory_, "tasklog", kLogColumns,
                                  std::vector<IndexDef>{{"", {lId}, true}, {"BYTASK", {lTaskId}, false}});
  contents_ = std::make_unique<Table>(*directory_, "tasklogc", kContentColumns,
                                      std::vector<IndexDef>{{"", {cTaskId, cTaskLogId}, true}});
}

TTaskStore::~TTaskStore() {
  contents_.reset();
  logs_.reset();
  tasks_.reset();
  if (directory_ != nullptr) session_->CloseDataDirectory(directory_);
}

namespace {

// Every column of `task` but `id` and `createtime` into the record being built.
void putTaskColumns(TTaskStore::Table& t, const TUniTask& task, const std::string& schedule) {
  t.PutText(fName, task.name());
  t.PutText(fDescription, task.description());
  t.PutInt(fConnectToDb, 0);
  t.PutText(fUName, task.uname());
  t.PutText(fUPassword, task.upassword());
  t.PutText(fConnectString, task.connectstring());
  t.PutText(fScheduleTable, schedule);
  t.PutInt(fTaskType, int32_t(task.tasktype()));
  t.PutText(fCommand, task.command());
  t.PutText(fPreExec, task.preexec());
  t.PutText(fPostExec, task.postexec());
  t.PutInt(fIsPreExec, task.ispreexec() ? 1 : 0);
  t.PutInt(fIsPostExec, task.ispostexec() ? 1 : 0);
  t.PutInt(fFtpAnonymous, task.ftpanonymous());
  t.PutInt(fTransferMode, task.transfermode());
  t.PutInt(fDeleteFileAfter, task.deletefileafter());
  t.PutText(fFtpRemoteDir, task.ftpremotedir());
  t.PutText(fCopyFileDir, task.copyfiledir());
  t.PutText(fFtpPassword, task.ftppassword());
  t.PutText(fFtpUserName, task.ftpusername());
  t.PutText(fFtpServer, task.ftpserver());
  t.PutInt(fIsExecUser, task.isexecuser() ? 1 : 0);
  t.PutText(fExecUserName, task.execusername());
  t.PutText(fExecPassword, task.execpassword());
  t.PutText(fExecConnectString, task.execconnectstring());
}

}  // namespace

void TTaskStore::SaveTask(TUniTask& task) {
  int32_t id = 0;
  write(kSaveTaskError, [&] {
    id = tasks_->NextId();
    tasks_->Clear();
    tasks_->PutInt(fId, id);
    tasks_->PutTime(fCreateTime, task.createtime());
    putTaskColumns(*tasks_, task, "0000");
    tasks_->Append();
  });
  task.SetId(id);
}

void TTaskStore::UpdateTask(const TUniTask& task) {
  write(nullptr, [&] {
    if (!tasks_->Find(0, {task.id()})) RaiseEngineError(VELDOR_RECNOTFOUND);
    putTaskColumns(*tasks_, task, task.scheduletable());
    tasks_->Modify();
  });
}

void TTaskStore::DeleteTaskLogs(int32_t taskId) {
  write(kDeleteTaskLogError, [&] {
    std::vector<int32_t> ids;
    logs_->ForKey(1, taskId, [&] { ids.push_back(logs_->Int(lId)); });
    contents_->ForKey(0, taskId, [&] { ids.push_back(contents_->Int(cTaskLogId)); });
    for (int32_t id : ids) DeleteTaskLog(taskId, id);
  });
}

void TTaskStore::DeleteTask(int32_t taskId) {
  platform::FirstFailure logs;
  logs.run([&] { DeleteTaskLogs(taskId); });
  write(kDeleteTaskError, [&] {
    if (tasks_->Find(0, {taskId})) tasks_->Delete();
  });
  logs.raise();
}

void TTaskStore::DeleteTaskLog(int32_t taskId, int32_t logId) {
  write(kDeleteTaskLogError, [&] {
    if (logs_->Find(0, {logId}) && logs_->Int(lTaskId) == taskId) logs_->Delete();
    if (contents_->Find(0, {taskId, logId})) contents_->Delete();
  });
}

int32_t TTaskStore::SaveTaskLog(const TaskLogEntry& entry, const std::string& content) {
  int32_t id = 0;
  write(kSaveTaskLogError, [&] { id = saveTaskLog(entry, content); });
  return id;
}

void TTaskStore::write(const char* box, const std::function<void()>& work) {
  try {
    // One transaction, or a part of the one already open: the writes reach the files through
    // the rollback journal, all or none, before the outermost write returns.
    if (directory_->InTransaction()) {
      work();
      return;
    }
    directory_->StartTransaction();
    platform::UndoOnFailure rollback([&] { directory_->Rollback(); });
    work();
    directory_->Commit(true, false);
  } catch (const ETaskStoreError&) {
    throw;
  } catch (const std::exception& e) {
    throw ETaskStoreError(box != nullptr ? box : e.what(), e.what());
  }
}

int32_t TTaskStore::saveTaskLog(const TaskLogEntry& entry, const std::string& content) {
  const int32_t id = logs_->NextId();
  logs_->Clear();
  logs_->PutInt(lId, id);
  logs_->PutInt(lTaskId, entry.taskid);
  logs_->PutTime(lBeginTime, entry.begintime);
  logs_->PutTime(lEndTime, entry.endtime);
  logs_->PutBig(lFileSize, entry.filesize);
  logs_->PutText(lDumpFile, entry.dumpfile);
  logs_->Append();
  contents_->Clear();
  contents_->PutInt(cTaskId, entry.taskid);
  contents_->PutInt(cTaskLogId, id);
  contents_->PutText(cContent, content);
  contents_->Append();
  return id;
}

std::vector<std::unique_ptr<TUniTask>> TTaskStore::LoadTasks(TaskHost* owner) {
  std::vector<std::unique_ptr<TUniTask>> loaded;
  Table& t = *tasks_;
  t.ForAll([&] {
    // A type this program does not know (a later version's, or a damaged row) is no task it could
    // run: the row stays as it is and is not shown.
    const int32_t storedType = t.Int(fTaskType);
    if (storedType < int32_t(TTaskType::Export) || storedType > int32_t(TTaskType::RawImport)) return;
    const auto type = TTaskType(storedType);
    std::unique_ptr<TUniTask> task;
    if (type == TTaskType::Export || type == TTaskType::RawExport) {
      task = std::make_unique<TExpTask>(owner);
    } else {
      task = std::make_unique<TImpTask>(owner);
    }
    task->SetId(t.Int(fId));
    task->SetName(t.Text(fName));
    task->SetDescription(t.Text(fDescription));
    task->SetCreateTime(t.Time(fCreateTime));
    task->SetConnectToDb(t.Int(fConnectToDb) == 1);
    task->SetUName(t.Text(fUName));
    task->SetUPassword(t.Text(fUPassword));
    task->SetConnectString(t.Text(fConnectString));
    task->SetScheduleTable(t.Text(fScheduleTable));
    task->SetTaskType(type);
    task->SetCommand(t.Text(fCommand));
    task->SetPreExec(t.Text(fPreExec));
    task->SetPostExec(t.Text(fPostExec));
    task->SetIsPreExec(t.Int(fIsPreExec) != 0);
    task->SetIsPostExec(t.Int(fIsPostExec) != 0);
    task->SetFtpAnonymous(t.Int(fFtpAnonymous));
    task->SetTransferMode(t.Int(fTransferMode));
    task->SetDeleteFileAfter(t.Int(fDeleteFileAfter));
    task->SetFtpRemoteDir(t.Text(fFtpRemoteDir));
    task->SetCopyFileDir(t.Text(fCopyFileDir));
    task->SetFtpPassword(t.Text(fFtpPassword));
    task->SetFtpUserName(t.Text(fFtpUserName));
    task->SetFtpServer(t.Text(fFtpServer));
    task->SetIsExecUser(t.Int(fIsExecUser) != 0);
    task->SetExecUserName(t.Text(fExecUserName));
    task->SetExecPassword(t.Text(fExecPassword));
    task->SetExecConnectString(t.Text(fExecConnectString));
    loaded.push_back(std::move(task));
  });
  // Tasks made at the same moment (a task file's) keep one order: the one added last, with the
  // higher id, first, as the window shows them when they are added.
  std::sort(loaded.begin(), loaded.end(), [](const auto& a, const auto& b) {
    return a->createtime() != b->createtime() ? a->createtime() > b->createtime() : a->id() > b->id();
  });
  return loaded;
}

std::vector<TaskLogEntry> TTaskStore::LoadTaskLogs(int32_t taskId) {
  std::vector<TaskLogEntry> entries;
  Table& t = *logs_;
  t.ForKey(1, taskId, [&] {
    entries.push_back({t.Int(lId), t.Int(lTaskId), t.Time(lBeginTime), t.Time(lEndTime), t.Big(lFileSize),
                       t.Text(lDumpFile)});
  });
  // Newest start first; runs that started at the same moment, the later written (higher id) first.
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return a.begintime != b.begintime ? a.begintime > b.begintime : a.id > b.id;
  });
  return entries;
}

std::string TTaskStore::LoadTaskLogContent(int32_t taskId, int32_t logId) {
  return contents_->Find(0, {taskId, logId}) ? contents_->Text(cContent) : std::string();
}

}  // namespace tasks
