// Child processes of console programs, with their output captured through one pipe.
//
// A child gets: standard input from /dev/null, or from a pipe that the caller writes to; standard
// output and standard error on one shared pipe; the given folder as its current folder; the
// caller's environment, but none of its other open descriptors; default signal dispositions and an
// empty signal mask; and a process group of its own, so that terminate() reaches every process the
// child started that stayed in its group, grandchildren that still hold the output pipe included.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct ProcessSpec {
  // Path of the program; a name without "/" is looked up in PATH.
  std::string program;
  // The arguments after argv[0] (argv[0] is `program` itself).
  std::vector<std::string> arguments;
  // Current folder of the child; empty keeps the caller's.
  std::string folder;
  // When true, the child's standard input is a pipe written through writeInput(); otherwise
  // it reads /dev/null.
  bool inputPipe = false;
};

// The program could not be started (missing, not executable, bad folder). Carries errno.
class ProcessStartError : public std::runtime_error {
 public:
  ProcessStartError(const std::string& what, int error) : std::runtime_error(what), error_(error) {}
  int error() const { return error_; }

 private:
  int error_;
};

// How a child ended.
struct ProcessExit {
  bool exited = false;  // ended through exit(); otherwise killed by `signal`
  int code = 0;         // exit code when `exited`
  int signal = 0;       // the signal that ended it otherwise
  // The shell's convention: the exit code, or 128 + the signal.
  int shellCode() const { return exited ? code : 128 + signal; }
};

class ChildProcess {
 public:
  // Starts the program. Throws ProcessStartError when it cannot be started, std::system_error
  // when the pipes cannot be made. A SIGCHLD disposition of this process that would let the
  // kernel reap children unseen (ignored, or SA_NOCLDWAIT) is put back to one that does not.
  explicit ChildProcess(const ProcessSpec& spec);
  // Kills the child's group and reaps the child when it has not been waited for.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Reads up to `size` bytes of the child's output. Returns 0 once the child and every process
  // that inherited the pipe have closed it, or, after terminate(), once the child has ended and
  // its output has stopped coming (a process that left the group may hold the pipe for ever).
  // Retries on EINTR; throws std::system_error otherwise. One reader thread at a time.
  size_t readOutput(char* buffer, size_t size);

  // Writes all of `text` to the child's standard input (inputPipe only). Returns false when the
  // child no longer reads it (it closed its input or ended); SIGPIPE is not raised in this process.
  bool writeInput(std::string_view text);
  // Closes the child's standard input, so that it reads end of file.
  void closeInput();

  // Waits without time limit for the child to end and reaps it. Further calls return the same.
  ProcessExit wait();

  // Kills the child's whole process group with SIGKILL, and tells a reader blocked in
  // readOutput() to stop waiting for output that only processes outside the group could still
  // write. Kills nothing once the child has been reaped (its id may then belong to someone else).
  // Safe from any thread, also during wait() and readOutput().
  void terminate();

 private:
  // True once the child has ended, reaped or not.
  bool childEnded();

  pid_t pid_ = -1;
  int outputFd_ = -1;
  int inputFd_ = -1;
  // terminate() writes a byte to wakeWrite_, which readOutput() polls beside the output.
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  bool stopping_ = false;       // readOutput() saw the wake-up; reader thread only
  size_t drainedAfterEnd_ = 0;  // output read after the child ended; reader thread only
  std::mutex mutex_;            // guards reaped_ against terminate() racing the reap
  bool reaped_ = false;
  ProcessExit exit_;
};

}  // namespace platform
