// Feeds arbitrary bytes to the task-file reader as a task file. It must refuse the file with a
// message and no tasks, or read tasks; tasks it read must write out and read back the same.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tasks/u_taskfile.h"
#include "tests/fuzz/fuzz_test_util.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz_test::ScratchFile inputFile("tasks.etf");
  static const fuzz_test::ScratchFile againFile("again.etf");
  {
    std::ofstream out(inputFile.path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  }
  std::vector<std::unique_ptr<tasks::TUniTask>> read;
  std::vector<std::string> notes;
  std::string error;
  if (!tasks::ReadTaskFile(inputFile.path, nullptr, read, notes, error)) {
    check(read.empty() && !error.empty());
    return 0;
  }
  std::vector<const tasks::TUniTask*> written;
  for (const auto& t : read) written.push_back(t.get());
  std::vector<std::string> cuts;
  check(tasks::WriteTaskFile(againFile.path, written, cuts, error));
  std::vector<std::unique_ptr<tasks::TUniTask>> again;
  notes.clear();
  check(tasks::ReadTaskFile(againFile.path, nullptr, again, notes, error));
  check(again.size() == read.size());
  return 0;
}
