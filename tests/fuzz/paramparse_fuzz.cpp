// Feeds arbitrary parameter texts to the export and import parsers through the tasks, and checks
// what must hold for any text: a failed parse leaves the task as it was, the reported position
// lies within the text, and a text the parser accepted gives the same options when read again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tasks/expparse.h"
#include "tasks/impparse.h"
#include "tasks/u_task1.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
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
  } else {
    check(!task.parsedok());
    check(task.options() == before);
    check(task.params() == paramsBefore);
    check(task.command() == text);
    check(task.errorpos() >= 0 && task.errorpos() <= static_cast<int32_t>(text.size()) + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  exercise<tasks::TExpTask, tasks::TExpOptions>(text, tasks::ExpParse);
  exercise<tasks::TImpTask, tasks::TImpOptions>(text, tasks::ImpParse);
  return 0;
}
