// Runs one test of this test program in a process of its own, for tests that need another
// process to change the tables between two statements of theirs.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace sql_test {

// Runs the disabled test `test` ("Suite.DISABLED_Name") of this program in a child process with
// the environment variables `env` set; its exit code, -1 when it did not start or end normally.
inline int runTestElsewhere(const std::string& test,
                            const std::vector<std::pair<std::string, std::string>>& env) {
  const std::string filter = "--gtest_filter=" + test;
  const pid_t pid = fork();
  if (pid == 0) {
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    execl("/proc/self/exe", "engine_sql_tests", filter.c_str(), "--gtest_also_run_disabled_tests",
          static_cast<char*>(nullptr));
    _exit(97);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace sql_test
