// Test support for runs of the stand-in programs (tools/standin): a private work folder, the
// stand-in's switches in the environment, and the records of its log.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tests/platform/temp_folder.h"

#ifndef VELMARON_STANDIN_DIR
#error "VELMARON_STANDIN_DIR must name the folder of the stand-in programs"
#endif

namespace standin {

inline std::string program(const std::string& name) {
  return std::string(VELMARON_STANDIN_DIR) + "/" + name;
}

using platform::testing::readFile;

// One run as the stand-in logged it: its name and the lines of each kind, in order.
struct Record {
  std::string program;
  std::vector<std::string> args;
  std::string cwd;
  std::vector<std::string> parfile;  // escaped: a carriage return reads "\r"
  std::vector<std::string> stdinLines;
};

inline std::vector<Record> readLog(const std::string& path) {
  std::vector<Record> records;
  std::ifstream in(path);
  std::string line;
  Record current;
  // The value after `prefix`, when the line starts with it.
  auto take = [&line](const std::string& prefix) -> std::optional<std::string> {
    if (line.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    return line.substr(prefix.size());
  };
  while (std::getline(in, line)) {
    if (auto v = take("program: ")) {
      current = Record{};
      current.program = *v;
    } else if (auto v = take("arg: ")) {
      current.args.push_back(*v);
    } else if (auto v = take("cwd: ")) {
      current.cwd = *v;
    } else if (auto v = take("parfile: ")) {
      current.parfile.push_back(*v);
    } else if (auto v = take("stdin: ")) {
      current.stdinLines.push_back(*v);
    } else if (line == "end") {
      records.push_back(current);
    }
  }
  return records;
}

// A folder of its own under /tmp (mode 0700, as the work folder must be), with the stand-in's log
// in it; removed at the end. Sets the stand-in's switches for the test and clears them after.
class Workspace {
 public:
  Workspace() {
    work_ = folder_ + "/work";
    ::mkdir(work_.c_str(), 0700);
    log_ = folder_ + "/standin.log";
    set("VELMARON_STANDIN_LOG", log_);
  }
  ~Workspace() {
    for (const std::string& name : set_) ::unsetenv(name.c_str());
  }
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  // Folder for test files; `work()` is the private work folder inside it.
  const std::string& folder() const { return folder_; }
  const std::string& work() const { return work_; }
  std::vector<Record> records() const { return readLog(log_); }

  void set(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
    set_.push_back(name);
  }

  // A FIFO for VELMARON_STANDIN_READY, opened now without blocking so that the stand-in's open
  // for writing finds a reader.
  void makeReadyFifo() {
    std::string path = folder_ + "/ready";
    ::mkfifo(path.c_str(), 0600);
    readyFd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    set("VELMARON_STANDIN_READY", path);
  }
  // Waits (up to a minute, against a hung test) for the stand-in's "pid grandchildpid" line.
  std::string awaitReady() {
    std::string text;
    while (text.find('\n') == std::string::npos) {
      pollfd p{readyFd_, POLLIN, 0};
      if (::poll(&p, 1, 60000) <= 0) break;
      char buf[64];
      ssize_t n = ::read(readyFd_, buf, sizeof buf);
      if (n > 0) text.append(buf, size_t(n));
    }
    ::close(readyFd_);
    readyFd_ = -1;
    return text;
  }

 private:
  platform::testing::TempFolder temp_;
  const std::string folder_{temp_.path()};
  std::string work_;
  std::string log_;
  std::vector<std::string> set_;
  int readyFd_ = -1;
};

}  // namespace standin
