// Engine file names: existence and fresh temporary names.
#include "engine/storage/veldorhelpers_file.h"
#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/storage/veldorfile.h"
#include "engine/storage/veldoros.h"
#include "platform/processinfo.h"

namespace engine {

bool EngineFileExists(const std::string& name, bool inMemory) {
  return EngineFileList().FileExists(name, inMemory);
}

namespace {

thread_local uint64_t forcedThreadNumber = 0;

// The calling thread's part of its temporary names: its whole id, zero-padded to a fixed width.
// The width keeps the names of two threads apart whatever their counters (thread 1234 at counter
// 50 and thread 12345 at counter 0 would otherwise both make "123450"), and the whole id keeps
// apart threads whose ids only differ past their first digits. Ids on Linux stay below 2^22.
std::string threadPart() {
  constexpr size_t kWidth = 7;
  const uint64_t number = forcedThreadNumber ? forcedThreadNumber : platform::currentThreadNumber();
  std::string digits = std::to_string(number);
  if (digits.size() < kWidth) digits.insert(0, kWidth - digits.size(), '0');
  return digits;
}

}  // namespace

void SetTempNameThreadNumber(uint64_t number) {
  forcedThreadNumber = number;
}

std::string MakeTempName(std::string_view directory, std::string_view ext, bool inMemory,
                         const std::function<bool(const std::string& name)>& taken,
                         const std::function<std::string(const std::string& name)>& fileFor,
                         platform::FileSystem& fs, std::string_view database) {
  const std::string prefix =
      (directory.empty() ? std::string() : IncludePathDelimiter(directory)) + threadPart();
  // Far more than any folder holds; the bound only keeps a broken file system from looping us.
  constexpr uint32_t kMaxAttempts = 1000000;
  for (uint32_t counter = 0; counter < kMaxAttempts; ++counter) {
    std::string name = prefix + std::to_string(counter) + std::string(ext);
    if (taken(name)) continue;
    if (inMemory) return name;
    switch (fs.createNewFile(fileFor(name))) {
      case platform::CreateNewResult::Created:
        return name;
      case platform::CreateNewResult::Exists:
        break;
      case platform::CreateNewResult::Failed:
        SignalTableError(OSErrorToEngineError(), name, database);
    }
  }
  SignalTableError(VELDOR_OSEACCES, prefix, database);
}

std::string MakeTempFileName(std::string_view directory, std::string_view ext, bool inMemory) {
  return MakeTempName(
      directory, ext, inMemory,
      [inMemory](const std::string& name) { return EngineFileExists(name, inMemory); },
      [](const std::string& name) { return name; }, EngineFileList().FileSystem());
}

}  // namespace engine
