#include "platform/processinfo.h"

#include <sys/stat.h>
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

std::string programDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) {
      setLastOsError(errno);
      return currentDirectory();
    }
    if (size_t(n) < buffer.size()) {
      const std::string path(buffer.data(), size_t(n));
      const size_t slash = path.rfind('/');
      if (slash == std::string::npos) return currentDirectory();
      return slash == 0 ? std::string("/") : path.substr(0, slash);
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string systemTempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  struct stat info {};
  std::string path =
      (dir != nullptr && *dir != '\0' && ::stat(dir, &info) == 0 && S_ISDIR(info.st_mode)) ? dir : "/tmp";
  if (path.back() != '/') path += '/';
  return path;
}

uint64_t currentThreadNumber() {
  return uint64_t(::syscall(SYS_gettid));
}

std::string computerName(size_t maxLength) {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return {};
  std::string name(buffer);
  if (name.size() > maxLength) name.resize(maxLength);
  return name;
}

uint32_t currentProcessId() {
  return uint32_t(::getpid());
}

uint32_t currentUserId() {
  return uint32_t(::getuid());
}

}  // namespace platform
