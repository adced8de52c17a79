#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>

extern char** environ;

namespace platform {

namespace {

[[noreturn]] void throwErrno(int error, const char* what) {
  throw std::system_error(error, std::generic_category(), what);
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A pipe end that landed on 0, 1 or 2 (the caller closed its own standard handles) would be
// clobbered by the child's dup2 onto those numbers; move it above them.
void liftAboveStandardFds(int& fd) {
  if (fd > 2) return;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (moved < 0) {
    int error = errno;
    closeFd(fd);
    throwErrno(error, "fcntl");
  }
  ::close(fd);
  fd = moved;
}

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throwErrno(errno, "pipe2");
    read = fds[0];
    write = fds[1];
    try {
      liftAboveStandardFds(read);
      liftAboveStandardFds(write);
    } catch (...) {
      closeFd(read);
      closeFd(write);
      throw;
    }
  }
  ~Pipe() {
    closeFd(read);
    closeFd(write);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
};

struct FileActions {
  posix_spawn_file_actions_t actions;
  FileActions() { ::posix_spawn_file_actions_init(&actions); }
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions); }
  void check(int rc, const char* what) {
    if (rc != 0) throwErrno(rc, what);
  }
};

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  SpawnAttributes() { ::posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes); }
};

// How long a terminated reader waits between looks at whether the killed child has ended yet.
constexpr int kDyingPollMs = 20;
// Output that a terminated reader still takes after the child has ended: what fills the pipe.
constexpr size_t kDrainAfterEnd = 64 * 1024;

// A process that ignores SIGCHLD, or sets SA_NOCLDWAIT, has its children reaped by the kernel
// and cannot learn how they ended; the setting is inherited through exec from whatever started
// this program. Children here are always waited for, so the disposition is put back to one that
// keeps their exit status (a handler someone installed stays).
void keepChildExitStatus() {
  struct sigaction current {};
  if (::sigaction(SIGCHLD, nullptr, &current) != 0) return;
  if (current.sa_handler == SIG_IGN) {
    current.sa_handler = SIG_DFL;
    current.sa_flags &= ~SA_SIGINFO;
  } else if ((current.sa_flags & SA_NOCLDWAIT) == 0) {
    return;
  }
  current.sa_flags &= ~SA_NOCLDWAIT;
  ::sigaction(SIGCHLD, &current, nullptr);
}

}  // namespace

ChildProcess::ChildProcess(const ProcessSpec& spec) {
  keepChildExitStatus();
  Pipe wake;
  if (::fcntl(wake.write, F_SETFL, O_NONBLOCK) != 0) throwErrno(errno, "fcntl");
  Pipe output;
  std::unique_ptr<Pipe> input;
  if (spec.inputPipe) input = std::make_unique<Pipe>();

  FileActions fa;
  if (input) {
    fa.check(::posix_spawn_file_actions_adddup2(&fa.actions, input->read, 0), "spawn stdin");
  } else {
    fa.check(::posix_spawn_file_actions_addopen(&fa.actions, 0, "/dev/null", O_RDONLY, 0), "spawn stdin");
  }
  fa.check(::posix_spawn_file_actions_adddup2(&fa.actions, output.write, 1), "spawn stdout");
  fa.check(::posix_spawn_file_actions_adddup2(&fa.actions, output.write, 2), "spawn stderr");
  // Nothing else of this process reaches the child, also descriptors that other code opened
  // without close-on-exec: a stray copy of another runner's pipe would keep that runner reading.
  fa.check(::posix_spawn_file_actions_addclosefrom_np(&fa.actions, 3), "spawn closefrom");
  if (!spec.folder.empty()) {
    fa.check(::posix_spawn_file_actions_addchdir_np(&fa.actions, spec.folder.c_str()), "spawn chdir");
  }

  SpawnAttributes sa;
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  ::posix_spawnattr_setflags(&sa.attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  ::posix_spawnattr_setpgroup(&sa.attributes, 0);
  ::posix_spawnattr_setsigmask(&sa.attributes, &empty);
  ::posix_spawnattr_setsigdefault(&sa.attributes, &defaults);

  std::vector<char*> argv;
  argv.reserve(spec.arguments.size() + 2);
  argv.push_back(const_cast<char*>(spec.program.c_str()));
  for (const std::string& a : spec.arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  if (spec.program.empty()) throw ProcessStartError("Cannot start a program without a name", ENOENT);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, spec.program.c_str(), &fa.actions, &sa.attributes, argv.data(), environ);
  if (rc != 0) {
    throw ProcessStartError("Cannot start " + spec.program + ": " + std::strerror(rc), rc);
  }
  pid_ = pid;
  outputFd_ = output.read;
  output.read = -1;
  wakeRead_ = wake.read;
  wakeWrite_ = wake.write;
  wake.read = wake.write = -1;
  if (input) {
    inputFd_ = input->write;
    input->write = -1;
  }
}

ChildProcess::~ChildProcess() {
  closeFd(inputFd_);
  try {
    if (!reaped_) {
      terminate();
      wait();
    }
  } catch (const std::exception&) {
    // The child is already gone (reaped elsewhere); nothing is left to release but the pipe.
  }
  closeFd(outputFd_);
  closeFd(wakeRead_);
  closeFd(wakeWrite_);
}

size_t ChildProcess::readOutput(char* buffer, size_t size) {
  for (;;) {
    // After terminate() the killed processes' output is still read, but once the child has ended
    // only what is there at once, and a pipe's worth at the most: whatever still writes then has
    // left the group and would otherwise keep the reader for as long as it likes.
    int timeout = -1;
    bool ended = false;
    if (stopping_) {
      ended = childEnded();
      if (ended && drainedAfterEnd_ >= kDrainAfterEnd) return 0;
      timeout = ended ? 0 : kDyingPollMs;
    }
    pollfd fds[2] = {{outputFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    int n = ::poll(fds, stopping_ ? 1 : 2, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno(errno, "poll child output");
    }
    if (n == 0) {
      if (ended) return 0;
      continue;
    }
    if (fds[0].revents != 0) {
      ssize_t got = ::read(outputFd_, buffer, size);
      if (got < 0) {
        if (errno == EINTR) continue;
        throwErrno(errno, "read child output");
      }
      if (ended) drainedAfterEnd_ += size_t(got);
      return size_t(got);
    }
    stopping_ = true;  // only the wake-up came
  }
}

bool ChildProcess::childEnded() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reaped_) return true;
  }
  siginfo_t info{};
  if (::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno != EINTR;
  return info.si_pid == pid_;
}

bool ChildProcess::writeInput(std::string_view text) {
  if (inputFd_ < 0) return false;
  // Block SIGPIPE in this thread only, and take back one that our own write raised, so that a
  // child which stopped reading gives EPIPE instead of ending this process.
  sigset_t pipeSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  sigset_t oldMask;
  pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask);
  sigset_t pending;
  sigpending(&pending);
  bool wasPending = sigismember(&pending, SIGPIPE);

  bool ok = true;
  int error = 0;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(inputFd_, text.data() + done, text.size() - done);
    if (n >= 0) {
      done += size_t(n);
    } else if (errno == EINTR) {
      continue;
    } else {
      ok = false;
      error = errno;
      break;
    }
  }
  if (!ok && error == EPIPE && !wasPending) {
    timespec zero{0, 0};
    while (::sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  if (!ok && error != EPIPE) throwErrno(error, "write child input");
  return ok;
}

void ChildProcess::closeInput() {
  closeFd(inputFd_);
}

ProcessExit ChildProcess::wait() {
  if (reaped_) return exit_;
  // Wait without reaping first: while the child is an unreaped zombie its id, which is also its
  // group's id, cannot be reused, so terminate() may still signal the group safely.
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOWAIT) == 0) break;
    if (errno != EINTR) throwErrno(errno, "waitid");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  int status = 0;
  for (;;) {
    if (::waitpid(pid_, &status, 0) == pid_) break;
    if (errno != EINTR) throwErrno(errno, "waitpid");
  }
  reaped_ = true;
  if (WIFEXITED(status)) {
    exit_.exited = true;
    exit_.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    exit_.signal = WTERMSIG(status);
  }
  return exit_;
}

void ChildProcess::terminate() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!reaped_ && pid_ > 0) {
    ::kill(-pid_, SIGKILL);
    // The child itself, in case it moved to another group.
    ::kill(pid_, SIGKILL);
  }
  // The write fails only on a full pipe, which already holds a wake-up: the reader's end stays
  // open as long as this object.
  const char byte = 1;
  if (wakeWrite_ >= 0) {
    [[maybe_unused]] ssize_t written = ::write(wakeWrite_, &byte, 1);
  }
}

}  // namespace platform
