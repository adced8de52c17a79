// The FTP server of the transfer tests (tools/ftpserver), started once per test binary on a free
// port of 127.0.0.1 and stopped when the binary ends. Folders: root()/home for the user,
// root()/anon for anonymous logins; see the script for its read-only and full folders.
#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/process.h"

#if !defined(VELMARON_FTPSERVER) || !defined(VELMARON_PYTHON)
#error "VELMARON_FTPSERVER and VELMARON_PYTHON must name the test FTP server and its python"
#endif

namespace platform::testing {

class FtpTestServer {
 public:
  static constexpr const char* kUser = "dumps";
  static constexpr const char* kPassword = "Ftp#Secret9";

  static FtpTestServer& get() {
    static FtpTestServer server;
    return server;
  }

  const std::string& root() const { return root_; }
  std::string home(const std::string& name = "") const {
    return root_ + "/home" + (name.empty() ? "" : "/" + name);
  }
  std::string anon(const std::string& name = "") const {
    return root_ + "/anon" + (name.empty() ? "" : "/" + name);
  }
  int port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  FtpTestServer() {
    char tmpl[] = "/tmp/velmaron-ftp-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("no folder for the FTP server");
    root_ = tmpl;
    ProcessSpec spec;
    spec.program = VELMARON_PYTHON;
    spec.arguments = {VELMARON_FTPSERVER, root_, kUser, kPassword};
    spec.inputPipe = true;  // the server ends when this process does
    process_ = std::make_unique<ChildProcess>(spec);
    std::string line;
    char c;
    while (line.find('\n') == std::string::npos && process_->readOutput(&c, 1) == 1) line += c;
    port_ = std::atoi(line.c_str());
    if (port_ <= 0) throw std::runtime_error("the test FTP server did not start: " + line);
  }
  ~FtpTestServer() {
    process_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  std::string root_;
  std::unique_ptr<ChildProcess> process_;
  int port_ = 0;
};

}  // namespace platform::testing
