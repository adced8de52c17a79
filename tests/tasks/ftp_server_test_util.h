// The FTP server of the transfer tests (tools/ftpserver), started once per test binary on a free
// port of 127.0.0.1 and stopped with the binary: root()/home is the user's login folder, with a
// read-only folder "readonly", one "droponly" where files are written but never renamed or
// deleted, and a full one "full" (any folder of that name is full); in any folder named
// "norename" a rename onto an existing file is refused, in any named "cut" the connection is lost
// part way through a file, in any named "cutend" once the whole file has come but before the
// reply that it is complete, in any named "short" only the first 64 KiB of a file are kept yet the
// upload is reported complete, in any named "late" the upload is reported complete when 64 KiB
// are written and the rest follows within about a second, in any named "long" a byte more than
// came is kept, in any named "slow" each piece of a file takes a quarter of a second to write;
// root()/anon the anonymous one. The build names the script and the python in
// VELMARON_FTPSERVER and VELMARON_PYTHON.
#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/process.h"

class FtpTestServer {
 public:
  static constexpr const char* kUser = "dumps";
  static constexpr const char* kPassword = "Ftp#Secret9";

  static FtpTestServer& get() {
    static FtpTestServer server;
    return server;
  }
  std::string path(const std::string& name) const { return root_ + "/" + name; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  FtpTestServer() {
    char tmpl[] = "/tmp/velmaron-ftp-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("no folder for the FTP server");
    root_ = tmpl;
    platform::ProcessSpec spec{VELMARON_PYTHON, {VELMARON_FTPSERVER, root_, kUser, kPassword}, "", true};
    process_ = std::make_unique<platform::ChildProcess>(spec);  // its input closes when we end
    std::string line;
    char c;
    while (line.find('\n') == std::string::npos && process_->readOutput(&c, 1) == 1) line += c;
    port_ = std::atoi(line.c_str());
    if (port_ <= 0) throw std::runtime_error("the test FTP server did not start: " + line);
  }
  ~FtpTestServer() {
    process_.reset();
    std::filesystem::remove_all(root_);
  }

  std::string root_;
  std::unique_ptr<platform::ChildProcess> process_;
  int port_ = 0;
};
