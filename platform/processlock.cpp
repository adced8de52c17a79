#include "platform/processlock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace platform {

ProcessLock::~ProcessLock() {
  release();
}

bool ProcessLock::acquire(const std::string& path) {
  release();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "Cannot open " + path);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  while (::fcntl(fd, F_SETLK, &lock) != 0) {
    const int error = errno;
    if (error == EINTR) continue;
    ::close(fd);
    if (error == EACCES || error == EAGAIN) return false;
    throw std::system_error(error, std::generic_category(), "Cannot lock " + path);
  }
  fd_ = fd;
  return true;
}

void ProcessLock::release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace platform
