#include "platform/processlock.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/platform/temp_folder.h"

namespace {

using platform::ProcessLock;
using platform::testing::TempFolder;

// A forked process takes the lock and holds it until it is killed.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      ProcessLock lock;
      const char taken = lock.acquire(path) ? '1' : '0';
      if (::write(fds[1], &taken, 1) != 1) ::_exit(2);
      for (;;) ::pause();
    }
    ::close(fds[1]);
    char c = 0;
    taken_ = ::read(fds[0], &c, 1) == 1 && c == '1';
    ::close(fds[0]);
  }
  ~LockHolder() { kill(); }
  bool taken() const { return taken_; }
  // Ends the holder as a crash would.
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool taken_ = false;
};

TEST(ProcessLockTest, OneProcessAtATimeHoldsItAndItDiesWithItsHolder) {
  TempFolder dir;
  const std::string path = dir.path("store.lock");
  LockHolder other(path);
  ASSERT_TRUE(other.taken());
  ProcessLock lock;
  EXPECT_FALSE(lock.acquire(path));
  other.kill();
  EXPECT_TRUE(lock.acquire(path));
  // Within this process a second lock is no rival, while the holder's keeps another process out.
  ProcessLock again;
  EXPECT_TRUE(again.acquire(path));
  EXPECT_FALSE(LockHolder(path).taken());
  again.release();
  lock.release();
  EXPECT_TRUE(LockHolder(path).taken());
  EXPECT_THROW(lock.acquire(dir.path("missing/store.lock")), std::system_error);
}

}  // namespace
