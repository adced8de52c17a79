#include "platform/termination.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "tests/platform/temp_folder.h"

namespace {

// Runs `body` in a forked child under a file-size limit of 4 KiB and gives back how it ended.
int underFileSizeLimit(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const rlimit limit{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

TEST(FileSizeLimit, AWritePastItFailsInsteadOfKillingTheProgramAndChildrenGetTheSignalBack) {
  platform::testing::TempFolder folder;
  const std::string path = folder.path() + "/dump.sql";
  const std::string childPath = folder.path() + "/child.out";
  const int status = underFileSizeLimit([&] {
    platform::keepRunningPastFileSizeLimit();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return 10;
    const std::vector<char> bytes(8192, 'x');
    // The first write stops at the limit; the next one is the failure the writer sees.
    const ssize_t first = ::write(fd, bytes.data(), bytes.size());
    const ssize_t second = ::write(fd, bytes.data(), bytes.size());
    const int error = errno;
    ::close(fd);
    if (first != 4096 || second != -1 || error != EFBIG) return 11;
    // A program started by this one writes under the default action, as it would alone.
    platform::ChildProcess child(platform::ProcessSpec{
        "/bin/sh", {"-c", "exec head -c 8192 /dev/zero > '" + childPath + "'"}, "", false});
    const platform::ProcessExit end = child.wait();
    if (end.exited || end.signal != SIGXFSZ) return 12;
    return 0;
  });
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
