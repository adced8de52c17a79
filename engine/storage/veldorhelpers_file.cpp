// Engine file names: existence and fresh temporary names.
#include <cerrno>

#include "engine/storage/veldorerr.h"
#include "engine/storage/veldorfile.h"
#include "engine/storage/veldorhelpers.h"
#include "engine/storage/veldoros.h"
#include "platform/plainfile.h"
#include "platform/processinfo.h"

namespace engine {

bool EngineFileExists(const std::string& name, bool inMemory) {
  return EngineFileList().FileExists(name, inMemory);
}

std::string MakeTempFileName(std::string_view directory, std::string_view ext, bool inMemory) {
  const std::string prefix =
      IncludePathDelimiter(directory) + std::to_string(platform::currentThreadNumber()).substr(0, 5);
  // Far more than any folder holds; the bound only keeps a broken file system from looping us.
  constexpr uint32_t kMaxAttempts = 1000000;
  for (uint32_t counter = 0; counter < kMaxAttempts; ++counter) {
    std::string name = prefix + std::to_string(counter) + std::string(ext);
    if (EngineFileExists(name, inMemory)) continue;
    if (inMemory) return name;
    platform::OutputFile file;
    if (file.createNew(name)) {
      if (!file.close()) SignalTableError(OSErrorToEngineError(file.error()), name);
      return name;
    }
    if (file.error() != EEXIST) SignalTableError(OSErrorToEngineError(file.error()), name);
  }
  SignalTableError(VELDOR_OSEACCES, prefix);
}

}  // namespace engine
