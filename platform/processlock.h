// A file lock that one process at a time holds, for as long as the object lives: an fcntl write
// lock, which the system drops when its process ends however it ends, so that no lock outlives a
// crash. Locks of one process never exclude each other.
//
// Threads: one object is used by one thread at a time.
#pragma once

#include <string>

namespace platform {

class ProcessLock {
 public:
  ProcessLock() = default;
  ~ProcessLock();
  ProcessLock(const ProcessLock&) = delete;
  ProcessLock& operator=(const ProcessLock&) = delete;

  // Takes the lock on `path`, made with mode 0600 when missing. False when another process holds
  // it; throws std::system_error when the file cannot be opened or locked for another reason.
  bool acquire(const std::string& path);
  // Lets the lock go (also every other lock of this process on the same file, as fcntl locks go
  // with any descriptor of their file that closes).
  void release();

 private:
  int fd_ = -1;
};

}  // namespace platform
