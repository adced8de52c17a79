#include "platform/process.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/scopeguard.h"
#include "tests/platform/temp_folder.h"

namespace {

using platform::ChildProcess;
using platform::ProcessSpec;
using platform::ProcessStartError;

ProcessSpec shell(const std::string& script) {
  return ProcessSpec{"/bin/sh", {"-c", script}, "", false};
}

std::string readAll(ChildProcess& child) {
  std::string all;
  char buf[256];
  while (size_t n = child.readOutput(buf, sizeof buf)) all.append(buf, n);
  return all;
}

// Reads up to and with the first line feed.
std::string readLine(ChildProcess& child) {
  std::string line;
  char c;
  while (child.readOutput(&c, 1) == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

using platform::testing::TempFolder;

TEST(ChildProcessOutput, StandardOutputAndErrorShareOnePipeInWriteOrderAndInputIsAtItsEnd) {
  ChildProcess child(shell("cat; printf a; printf b >&2; printf 'c\\n'"));
  EXPECT_EQ(readAll(child), "abc\n");
  EXPECT_EQ(child.wait().code, 0);
}

TEST(ChildProcessOutput, InputPipeCarriesWhatTheCallerWrites) {
  ProcessSpec spec{"/bin/cat", {}, "", true};
  ChildProcess child(spec);
  EXPECT_TRUE(child.writeInput("first\nsecond\n"));
  child.closeInput();
  EXPECT_EQ(readAll(child), "first\nsecond\n");
}

TEST(ChildProcessOutput, WritingToAChildThatStoppedReadingFailsQuietly) {
  ProcessSpec spec{"/bin/true", {}, "", true};
  ChildProcess child(spec);
  child.wait();
  // SIGPIPE would end the test process here.
  EXPECT_FALSE(child.writeInput("nobody reads this\n"));
}

TEST(ChildProcessStart, ProgramNameWithoutSlashIsFoundInPathAndRunsInTheFolderWithItsArgumentsUnsplit) {
  TempFolder folder;
  ChildProcess child(
      ProcessSpec{"sh", {"-c", "pwd -P; printf '%s|' \"$@\"", "x", "a b", "", "c"}, folder.path(), false});
  EXPECT_EQ(readAll(child), std::filesystem::canonical(folder.path()).string() + "\na b||c|");
}

TEST(ChildProcessStart, ProgramsThatCannotStartAreStartErrorsWithTheirErrno) {
  TempFolder folder;
  std::string plain = folder.path() + "/plain";
  std::ofstream(plain) << "echo never\n";
  ::chmod(plain.c_str(), 0600);
  const struct {
    ProcessSpec spec;
    int error;
  } cases[] = {
      {ProcessSpec{folder.path() + "/no such program", {}, "", false}, ENOENT},
      {ProcessSpec{plain, {}, "", false}, EACCES},  // not executable
      {ProcessSpec{"/bin/sh", {"-c", "true"}, "/nonexistent/velmaron/folder", false}, ENOENT},
      {ProcessSpec{"", {}, "", false}, ENOENT},
  };
  for (const auto& c : cases) {
    try {
      ChildProcess child(c.spec);
      ADD_FAILURE() << "started " << c.spec.program;
    } catch (const ProcessStartError& e) {
      EXPECT_EQ(e.error(), c.error) << c.spec.program << ": " << e.what();
    }
  }
}

TEST(ChildProcessStart, NoOtherDescriptorOfTheCallerReachesTheChild) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);  // deliberately without close-on-exec
  std::string check;
  for (int fd : fds) {
    check += "[ -e /proc/$$/fd/" + std::to_string(fd) + " ] && echo leaked " + std::to_string(fd) + "; ";
  }
  ChildProcess child(shell(check + "echo checked"));
  EXPECT_EQ(readAll(child), "checked\n");
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(ChildProcessStart, ChildLeadsAProcessGroupOfItsOwn) {
  ProcessSpec spec{"/bin/cat", {}, "", true};
  ChildProcess child(spec);
  EXPECT_EQ(::getpgid(child.pid()), child.pid());
  EXPECT_NE(::getpgid(child.pid()), ::getpgrp());
  child.closeInput();
  child.wait();
}

TEST(ChildProcessExit, ExitCodeIsKeptAndATerminateAfterTheChildWasReapedDoesNothing) {
  ChildProcess child(shell("exit 7"));
  EXPECT_EQ(readAll(child), "");
  platform::ProcessExit e = child.wait();
  EXPECT_TRUE(e.exited);
  EXPECT_EQ(e.code, 7);
  child.terminate();
  EXPECT_EQ(child.wait().code, 7);
}

// What the program may inherit from whatever started it: SIGCHLD ignored, or SA_NOCLDWAIT with a
// handler of its own. Either would let the kernel reap the child and lose how it ended.
TEST(ChildProcessExit, ExitCodeIsKeptWhenTheCallerLetChildrenBeReapedUnseen) {
  static int handled = 0;
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGCHLD, nullptr, &before), 0);
  platform::ScopeExit restore([&] { ::sigaction(SIGCHLD, &before, nullptr); });
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction noWait {};
  noWait.sa_handler = [](int) { ++handled; };
  noWait.sa_flags = SA_NOCLDWAIT | SA_RESTART;
  for (const struct sigaction& setting : {ignore, noWait}) {
    ASSERT_EQ(::sigaction(SIGCHLD, &setting, nullptr), 0);
    ChildProcess child(shell("exit 7"));
    EXPECT_EQ(readAll(child), "");
    platform::ProcessExit e = child.wait();
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.code, 7);
  }
  struct sigaction after {};
  ::sigaction(SIGCHLD, nullptr, &after);
  EXPECT_EQ(after.sa_handler, noWait.sa_handler) << "a handler of the caller's own stays";
}

TEST(ChildProcessExit, TerminateKillsTheGroupGrandchildrenHoldingThePipeIncluded) {
  // The grandchild sleeps far longer than any test may take and keeps the output pipe open;
  // the end of the output therefore shows that it was killed with its parent.
  ChildProcess child(shell("sleep 300 & echo $!; wait"));
  std::string grandchild = readLine(child);
  ASSERT_FALSE(grandchild.empty());
  child.terminate();
  EXPECT_EQ(readAll(child), "");
  platform::ProcessExit e = child.wait();
  EXPECT_FALSE(e.exited);
  EXPECT_EQ(e.signal, SIGKILL);
  EXPECT_EQ(e.shellCode(), 128 + SIGKILL);
}

TEST(ChildProcessExit, DestroyingARunningChildKillsAndReapsIt) {
  pid_t pid;
  {
    ChildProcess child(ProcessSpec{"/bin/sleep", {"300"}, "", false});
    pid = child.pid();
  }
  // Reaped: no longer our child, and no longer a process.
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

}  // namespace
