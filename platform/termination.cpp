#include "platform/termination.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe calls here: the window thread does the rest when the byte arrives.
void onTerminate(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}

}  // namespace

int watchTerminationRequests() {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return -1;
  struct sigaction action = {};
  action.sa_handler = onTerminate;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  return signalPipe[0];
}

void takeTerminationRequest(int descriptor) {
  char byte;
  [[maybe_unused]] ssize_t n = ::read(descriptor, &byte, 1);
}

void keepRunningPastFileSizeLimit() {
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(SIGXFSZ, &action, nullptr);
}

}  // namespace platform
