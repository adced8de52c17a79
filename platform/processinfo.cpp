#include "platform/processinfo.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/oserror.h"

namespace platform {

std::string currentDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    if (errno != ERANGE) {
      setLastOsError(errno);
      return {};
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string systemTempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
  if (path.back() != '/') path += '/';
  return path;
}

uint64_t currentThreadNumber() {
  return uint64_t(::syscall(SYS_gettid));
}

}  // namespace platform
