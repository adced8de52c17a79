// An FTP client for uploading files: log in, change folder, ask the current folder, upload in
// byte mode, log out. Built on libcurl; the interface keeps the rest of the system free of it.
//
// Active data connections by default (the server connects back to this machine), passive when
// asked. No error text ever holds the password: messages come from this client and from the
// server's replies, never from the login, and any copy of the password is masked.
//
// Threads: one object is used by one thread at a time (abort() excepted); several objects may
// work in parallel.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

// A failed FTP step: the server could not be reached, refused the login or a command, or a
// transfer broke off.
class FtpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class FtpClient {
 public:
  virtual ~FtpClient() = default;

  // "name" or "name:port"; port 21 when none is given.
  virtual void setHost(std::string host) = 0;
  virtual void setUser(std::string user) = 0;
  virtual void setPassword(std::string password) = 0;
  virtual void setPassive(bool passive) = 0;

  virtual bool connected() const = 0;
  // Connects and logs in to the login folder. Throws FtpError (and stays disconnected) when the
  // host is not a plain name with an optional port, the user name or password holds a line break
  // or a zero byte, the host cannot be reached, or it refuses the login.
  virtual void connect() = 0;
  // CWD: `dir` is absolute when it starts with "/", else relative to the current folder. Throws
  // FtpError when the server refuses; the current folder is then unchanged.
  virtual void changeDir(const std::string& dir) = 0;
  // PWD: the server's name for the current folder.
  virtual std::string currentDir() = 0;
  // Byte mode (image type) for the uploads that follow; the only mode this client transfers in.
  virtual void setBinaryMode() = 0;
  // Writes the local file as `remoteName` in the current folder, then calls `onSuccess`. A name
  // the server does not hold yet is stored directly (STOR); when that upload breaks off or is
  // aborted, what the server kept under the name is deleted again (emptied where the server
  // refuses the delete) while the server can still be reached. Over a file it holds, the upload goes
  // to a temporary name first and is renamed onto it (RNFR/RNTO; after DELE of the old file for
  // servers that rename onto no file; stored over it where neither is allowed), so a broken upload
  // leaves the old file as it was. A file the server reports complete but tells a size other
  // than the local file's is a broken upload too: a larger one at once, a smaller one when it has
  // not reached the local file's within about two seconds (a server may answer before its own
  // write has ended). Throws FtpError on failure; the error says when the upload was kept under
  // its temporary name.
  virtual void upload(const std::string& localPath, const std::string& remoteName,
                      const std::function<void()>& onSuccess = {}) = 0;
  // Logs out and closes the connection; nothing when not connected.
  virtual void disconnect() = 0;
  // Stops the request in progress, if any, within about a second: it throws FtpError ("transfer
  // aborted"), as does every later request of this client. An upload it stops first takes away
  // what it left on the server, each of those requests within five seconds. Any thread may call
  // it, also while another thread waits in a request.
  virtual void abort() = 0;
};

std::unique_ptr<FtpClient> makeFtpClient();

// `text` with every copy of `password` replaced by "***"; `text` itself for an empty password.
std::string maskPassword(std::string text, std::string_view password);

}  // namespace platform
