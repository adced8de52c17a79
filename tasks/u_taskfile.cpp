#include "tasks/u_taskfile.h"

#include <array>
#include <chrono>

#include "platform/bytes.h"
#include "platform/plainfile.h"
#include "tasks/u_common.h"
#include "tasks/u_task1.h"

namespace tasks {
namespace {

using platform::get4s;
using platform::put4;

struct TextField {
  size_t offset;
  size_t size;
  const char* name;
  const std::string& (TUniTask::*get)() const;
  void (TUniTask::*set)(std::string);
  // The header record's text.
  std::string_view header;
};

constexpr std::array<TextField, 14> kTextFields = {{
    {4, 100, "name", &TUniTask::name, &TUniTask::SetName, kTaskFileProduct},
    {104, 256, "description", &TUniTask::description, &TUniTask::SetDescription, kTaskFileVersion},
    {368, 20, "uname", &TUniTask::uname, &TUniTask::SetUName, "0"},
    {388, 20, "upassword", &TUniTask::upassword, &TUniTask::SetUPassword, "0"},
    {408, 20, "connectstring", &TUniTask::connectstring, &TUniTask::SetConnectString, "0"},
    {428, 8, "scheduletable", &TUniTask::scheduletable, &TUniTask::SetScheduleTable, "0"},
    {436, 256, "command", &TUniTask::command, &TUniTask::SetCommand, "0"},
    {692, 256, "preexec", &TUniTask::preexec, &TUniTask::SetPreExec, "0"},
    {948, 256, "postexec", &TUniTask::postexec, &TUniTask::SetPostExec, "0"},
    {1224, 250, "ftpremotedir", &TUniTask::ftpremotedir, &TUniTask::SetFtpRemoteDir, " "},
    {1474, 250, "copyfiledir", &TUniTask::copyfiledir, &TUniTask::SetCopyFileDir, " "},
    {1724, 50, "ftppassword", &TUniTask::ftppassword, &TUniTask::SetFtpPassword, " "},
    {1774, 50, "ftpusername", &TUniTask::ftpusername, &TUniTask::SetFtpUserName, " "},
    {1824, 100, "ftpserver", &TUniTask::ftpserver, &TUniTask::SetFtpServer, " "},
}};

enum : size_t {
  kId = 0,
  kConnectToDb = 360,
  kTaskType = 364,
  kIsPreExec = 1204,
  kIsPostExec = 1208,
  kFtpAnonymous = 1212,
  kTransferMode = 1216,
  kDeleteFileAfter = 1220,
};

// The longest start of `text` that fits `size` bytes without splitting a UTF-8 character.
size_t fittingLength(std::string_view text, size_t size) {
  if (text.size() <= size) return text.size();
  size_t n = size;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

std::string taskLabel(const TUniTask& task) {
  return "Task \"" + task.name() + "\" (id " + std::to_string(task.id()) + ")";
}

void putText(uint8_t* record, const TextField& f, std::string_view text) {
  platform::putFixedText(record + f.offset, f.size, text.substr(0, fittingLength(text, f.size)));
}

}  // namespace

std::unique_ptr<TUniTask> MakeTaskOfType(int32_t tasktype, const std::string& command, TaskHost* owner) {
  std::unique_ptr<TUniTask> task;
  if (tasktype == 0 || tasktype == 2)
    task = std::make_unique<TExpTask>(owner);
  else if (tasktype == 1 || tasktype == 3)
    task = std::make_unique<TImpTask>(owner);
  else
    return nullptr;
  task->SetTaskType(static_cast<TTaskType>(tasktype));
  task->SetCommand(command);
  task->ParseCommand();
  // A raw command runs as typed; parsing only tells whether its parameter list can be used.
  if (tasktype >= 2) task->SetCommand(command);
  return task;
}

std::string TaskFileHeaderRecord() {
  std::string record(kTaskRecordSize, '\0');
  auto* p = reinterpret_cast<uint8_t*>(record.data());
  for (const TextField& f : kTextFields) putText(p, f, f.header);
  return record;
}

std::string TaskRecord(const TUniTask& task, std::vector<std::string>& cuts) {
  std::string record(kTaskRecordSize, '\0');
  auto* p = reinterpret_cast<uint8_t*>(record.data());
  put4(p + kId, uint32_t(task.id()));
  put4(p + kConnectToDb, task.connecttodb() ? 1 : 0);
  put4(p + kTaskType, uint32_t(task.tasktype()));
  put4(p + kIsPreExec, task.ispreexec() ? 1 : 0);
  put4(p + kIsPostExec, task.ispostexec() ? 1 : 0);
  put4(p + kFtpAnonymous, uint32_t(task.ftpanonymous()));
  put4(p + kTransferMode, uint32_t(task.transfermode()));
  put4(p + kDeleteFileAfter, uint32_t(task.deletefileafter()));
  for (const TextField& f : kTextFields) {
    const std::string& text = (task.*f.get)();
    if (text.size() > f.size)
      cuts.push_back(taskLabel(task) + ": " + f.name + " cut to " + std::to_string(f.size) + " bytes");
    putText(p, f, text);
  }
  return record;
}

std::unique_ptr<TUniTask> TaskFromRecord(std::span<const uint8_t> record, int recordNo, TaskHost* owner,
                                         std::vector<std::string>& notes) {
  const uint8_t* p = record.data();
  auto text = [&](const TextField& f) { return platform::getFixedText(p + f.offset, f.size); };
  const int32_t type = get4s(p + kTaskType);
  std::unique_ptr<TUniTask> task = MakeTaskOfType(type, text(kTextFields[6]), owner);
  if (task == nullptr) {
    notes.push_back("Record " + std::to_string(recordNo) + " (\"" + text(kTextFields[0]) +
                    "\") has the unknown task type " + std::to_string(type) + " and was not imported");
    return nullptr;
  }
  for (const TextField& f : kTextFields) (task.get()->*f.set)(text(f));
  task->SetCreateTime(std::chrono::system_clock::now());
  task->SetConnectToDb(get4s(p + kConnectToDb) == 1);
  task->SetIsPreExec(get4s(p + kIsPreExec) != 0);
  task->SetIsPostExec(get4s(p + kIsPostExec) != 0);
  task->SetFtpAnonymous(get4s(p + kFtpAnonymous));
  task->SetTransferMode(get4s(p + kTransferMode));
  task->SetDeleteFileAfter(get4s(p + kDeleteFileAfter));
  int minute = 0, hour = 0, day = 0;
  task->SetScheduled(ParseScheduleTime(task->scheduletable(), minute, hour, day));
  for (const TextField& f : kTextFields)
    if (p[f.offset + f.size - 1] != 0)
      notes.push_back("Task \"" + task->name() + "\": " + f.name + " fills all " + std::to_string(f.size) +
                      " bytes of its field and may have been cut when the file was written");
  return task;
}

bool WriteTaskFile(const std::string& path, std::span<const TUniTask* const> tasks,
                   std::vector<std::string>& cuts, std::string& error) {
  platform::ReplacingFile file;
  // The records hold database and FTP passwords as plain text: the file is its owner's alone.
  bool ok = file.begin(path, 0600) && file.write(TaskFileHeaderRecord());
  for (size_t i = 0; ok && i < tasks.size(); ++i) ok = file.write(TaskRecord(*tasks[i], cuts));
  if (ok && file.commit()) return true;
  error = path + ": " + platform::errorText(file.error());
  return false;
}

bool ReadTaskFile(const std::string& path, TaskHost* owner, std::vector<std::unique_ptr<TUniTask>>& tasks,
                  std::vector<std::string>& notes, std::string& error) {
  tasks.clear();
  platform::InputFile file;
  if (!file.open(path)) {
    error = path + ": " + platform::errorText(file.error());
    return false;
  }
  const int64_t size = file.size();
  if (size < 0) {
    error = path + ": " + platform::errorText(file.error());
    return false;
  }
  if (size == 0 || size % int64_t(kTaskRecordSize) != 0) {
    error = "The task file " + path + " is damaged: its size, " + std::to_string(size) +
            " bytes, is not a whole number of " + std::to_string(kTaskRecordSize) + "-byte records.";
    return false;
  }
  std::vector<uint8_t> record(kTaskRecordSize);
  std::vector<std::unique_ptr<TUniTask>> read;
  std::vector<std::string> readNotes;
  for (int64_t n = 0; n * int64_t(kTaskRecordSize) < size; ++n) {
    const int64_t got = file.readAt(n * int64_t(kTaskRecordSize), record.data(), record.size());
    if (got != int64_t(kTaskRecordSize)) {
      error = path + ": " +
              (got < 0 ? platform::errorText(file.error()) : std::string("the file became shorter"));
      return false;
    }
    if (n == 0) {
      if (get4s(record.data() + kId) != 0 ||
          platform::getFixedText(record.data() + kTextFields[0].offset, kTextFields[0].size) !=
              kTaskFileProduct) {
        error = std::string(kIllegalTaskFile);
        return false;
      }
      continue;
    }
    if (auto task = TaskFromRecord(record, int(n), owner, readNotes)) read.push_back(std::move(task));
  }
  tasks = std::move(read);
  notes.insert(notes.end(), readNotes.begin(), readNotes.end());
  return true;
}

}  // namespace tasks
