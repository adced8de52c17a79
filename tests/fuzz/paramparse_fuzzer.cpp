// Feeds arbitrary parameter texts to the export and import parsers through the tasks, and checks
// what must hold for any text: a failed parse leaves the task as it was, the reported position
// lies within the text, a text the parser accepted gives the same options when read again, and
// the command the task built from it reads back as the same options, save what no command carries;
// a text it refused, run as typed, names its dump files.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/localclock.h"
#include "tasks/expparse.h"
#include "tasks/impparse.h"
#include "tasks/u_parfile.h"
#include "tasks/u_task1.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// The options as a built command carries them: no user id, no feedback, one file at most, the
// incremental type only in full mode and the record flag only after cumulative or incremental.
tasks::TExpOptions carried(tasks::TExpOptions o) {
  using tasks::TExpIncType;
  o.userid.clear();
  o.feedback = 0;
  if (o.files.size() > 1) o.files.resize(1);
  if (!o.full) o.inctype = TExpIncType::None;
  if (o.inctype != TExpIncType::Cumulative && o.inctype != TExpIncType::Incremental) o.record = true;
  return o;
}

tasks::TImpOptions carried(tasks::TImpOptions o) {
  o.userid.clear();
  o.feedback = 0;
  if (o.files.size() > 1) o.files.resize(1);
  if (!o.full) o.inctype = tasks::TImpIncType::None;
  return o;
}

template <class Task, class Options, class ParseFn>
void exercise(std::string_view text, ParseFn parse) {
  Task task(nullptr);
  task.SetFile("before.dmp");
  task.SetRows(false);
  const Options before = task.options();
  const auto paramsBefore = task.params();
  task.SetCommand(std::string(text));
  if (task.ParseCommand()) {
    check(task.parsedok());
    // The same text parsed again gives the same options.
    Options again;
    tasks::ParseFailure failure;
    check(parse(text, again, failure) == 0);
    check(again == task.options());
    // The built command reads back as the same options. Options that are all defaults build a
    // blank text, which is no command.
    const std::string built = task.command();
    if (built.find_first_not_of(' ') != std::string::npos) {
      Options back;
      check(parse(built, back, failure) == 0);
      check(back == carried(task.options()));
    }
  } else {
    check(!task.parsedok());
    check(task.options() == before);
    check(task.params() == paramsBefore);
    check(task.command() == text);
    check(task.errorpos() >= 0 && task.errorpos() <= static_cast<int32_t>(text.size()) + 1);
    // Run as typed, the text names the dumps of each "file" in it, or the default one: one path
    // at least, each absolute.
    task.SetTaskType(task.tasktype() == tasks::TTaskType::Export ? tasks::TTaskType::RawExport
                                                                 : tasks::TTaskType::RawImport);
    const std::vector<std::string> dumps =
        tasks::RunDumpPaths(task, "/velmaron-fuzz-work", platform::LocalTimeFields{2026, 12, 7, 23, 59, 0});
    check(!dumps.empty());
    for (const std::string& dump : dumps) check(dump.starts_with('/'));
    for (const std::string& log : tasks::RunLogPaths(task, "/velmaron-fuzz-work"))
      check(log.starts_with('/'));
    // A typed account of a command run as typed has its password kept out of the log.
    for (const std::string& password : tasks::TypedPasswords(task))
      check(!password.empty() && tasks::RunsAsTyped(task));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  exercise<tasks::TExpTask, tasks::TExpOptions>(text, tasks::ExpParse);
  exercise<tasks::TImpTask, tasks::TImpOptions>(text, tasks::ImpParse);
  return 0;
}
