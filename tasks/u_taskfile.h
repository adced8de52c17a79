// Task files (".etf"): task definitions carried between installations as fixed records of 1924
// bytes. The first record is a header; every further record is one task. Files written by the
// earlier versions of the program read unchanged, and a file written here reads there.
//
// Threads: any thread; nothing is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tasks/u_unitask.h"

namespace tasks {

inline constexpr size_t kTaskRecordSize = 1924;
// The header record's `name` and `description`.
inline constexpr std::string_view kTaskFileProduct = "Velmaron for Oracle";
inline constexpr std::string_view kTaskFileVersion = "1.2.0";
// The text shown for a file whose header record is not this program's.
inline constexpr std::string_view kIllegalTaskFile = "illegal import file!";

// A task of `tasktype` (0 to 3) for a stored row or record, `nullptr` for any other type.
// Export and import tasks take `command` and parse it; a raw-command task (2, 3) keeps `command`
// as typed and takes the parameter list and the parsed-ok flag of parsing it as an export or
// import command.
std::unique_ptr<TUniTask> MakeTaskOfType(int32_t tasktype, const std::string& command, TaskHost* owner);

// The header record.
std::string TaskFileHeaderRecord();

// The record of `task`. A text longer than its field is cut to the field (never inside a UTF-8
// character), and a line naming the task and the field is added to `cuts`.
std::string TaskRecord(const TUniTask& task, std::vector<std::string>& cuts);

// The task of record `recordNo` (1 is the first after the header): id 0, every other field as the record
// holds it (the command text as written, parsed as MakeTaskOfType parses it), `createtime` now
// and the scheduled flag from its schedule text. `nullptr` for an unknown task type, with a line
// in `notes`; a text that fills its field to the last byte may have been cut when the file was
// written, and gets a line in `notes` too. Requires: `record` holds kTaskRecordSize bytes.
std::unique_ptr<TUniTask> TaskFromRecord(std::span<const uint8_t> record, int recordNo, TaskHost* owner,
                                         std::vector<std::string>& notes);

// Writes the header and one record per task to `path` through a temporary file renamed onto it,
// so a failure leaves an existing file as it was. The file is readable and writable by its owner
// only (mode 0600): it holds passwords. False with `error` set on failure.
bool WriteTaskFile(const std::string& path, std::span<const TUniTask* const> tasks,
                   std::vector<std::string>& cuts, std::string& error);

// Reads every task of `path` into `tasks` (ids 0; the caller gives them theirs). The whole file
// is checked first: a file that cannot be read, whose size is not a whole, non-zero number of
// records, or whose header record is not this program's, is refused with `error` set (the text
// kIllegalTaskFile for a wrong header) and `tasks` left empty.
bool ReadTaskFile(const std::string& path, TaskHost* owner, std::vector<std::unique_ptr<TUniTask>>& tasks,
                  std::vector<std::string>& notes, std::string& error);

}  // namespace tasks
