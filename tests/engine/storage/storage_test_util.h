// Helpers shared by the storage tests: forked helper processes, the engine error of a call, and
// the seed of property tests. Temporary folders come from the platform tests' TempFolder.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <random>
#include <string>

#include "engine/base/veldorerr.h"
#include "tests/platform/temp_folder.h"
#include "tests/platform/test_seed.h"

namespace storage_test {

// The code of the engine error that `f` raises (0 when none), with its table item in `table`.
inline uint16_t errorOf(const std::function<void()>& f, std::string* table = nullptr) {
  try {
    f();
  } catch (const engine::EVELDOREngineError& e) {
    if (table) *table = e.Item(engine::kItemTable);
    return e.ErrorCode();
  }
  return 0;
}

// The text of a packed decimal with all of its places ("-12.340"), read nibble by nibble.
inline std::string bcdText(const uint8_t* bcd) {
  const size_t precision = bcd[0], places = bcd[1] & 0x3F;
  std::string digits;
  for (size_t k = 0; k < precision; ++k)
    digits.push_back(char('0' + ((k % 2 == 0) ? bcd[2 + k / 2] >> 4 : bcd[2 + k / 2] & 15)));
  std::string integer = digits.substr(0, precision - places);
  integer.erase(0, std::min(integer.find_first_not_of('0'), integer.size()));
  if (integer.empty()) integer = "0";
  std::string text = ((bcd[1] & 0x80) ? "-" : "") + integer;
  if (places > 0) text += "." + digits.substr(precision - places);
  return text;
}

using platform::testing::testSeed;

// A forked helper process that runs `body` and talks to the test through two pipes, one byte per
// message. The body's return value is the child's exit code. Fork the helper before the test opens
// any file, so that the child shares no open file with it.
class Helper {
 public:
  explicit Helper(const std::function<int(Helper&)>& body) {
    int toChild[2], toParent[2];
    if (pipe(toChild) != 0 || pipe(toParent) != 0) std::abort();
    pid_ = fork();
    if (pid_ < 0) std::abort();
    if (pid_ == 0) {
      close(toChild[1]);
      close(toParent[0]);
      in_ = toChild[0];
      out_ = toParent[1];
      int code = 99;
      try {
        code = body(*this);
      } catch (const std::exception& e) {
        // The test sees only the exit code: the error's text goes to its output.
        std::fprintf(stderr, "helper %d: %s\n", int(getpid()), e.what());
        code = 98;
      } catch (...) {
        code = 98;
      }
      _exit(code);
    }
    close(toChild[0]);
    close(toParent[1]);
    in_ = toParent[0];
    out_ = toChild[1];
  }
  ~Helper() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(in_);
    close(out_);
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  void send(char c) {
    if (write(out_, &c, 1) != 1) std::abort();
  }
  // The next byte from the other side; 0 when it has gone.
  char receive() {
    char c = 0;
    return read(in_, &c, 1) == 1 ? c : 0;
  }
  // Waits for the child and returns its exit code, or 128 + signal when a signal ended it.
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  int inFd() const { return in_; }
  int outFd() const { return out_; }
  int kill9() {
    kill(pid_, SIGKILL);
    return wait();
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  bool reaped_ = false;
};

}  // namespace storage_test
