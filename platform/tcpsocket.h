// TCP over POSIX sockets: a blocking client connection with bounded waits, and a listener for
// servers on this machine.
//
// Sends never raise SIGPIPE: a peer that went away shows as a short send. Every wait is bounded
// by the caller's time-out. A socket is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace platform {

// A connection could not be made or a listener could not be set up; what() says why.
class TcpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class WaitResult { Ready, TimedOut, Failed };

class TcpConnection {
 public:
  TcpConnection() = default;
  explicit TcpConnection(int fd) : fd_(fd) {}
  ~TcpConnection();
  TcpConnection(TcpConnection&& other) noexcept;
  TcpConnection& operator=(TcpConnection&& other) noexcept;
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Resolves `host` (a name or an address) with `service` (a port number or a service name) and
  // connects to the first address that answers within `timeoutMs`. Raises TcpError.
  static TcpConnection connect(const std::string& host, const std::string& service, int timeoutMs);

  bool isOpen() const { return fd_ >= 0; }
  void close();
  // Writes all `size` bytes unless the connection fails; returns the count that left.
  size_t sendAll(const uint8_t* data, size_t size);
  // Waits until data (or the peer's close) can be read.
  WaitResult waitReadable(int timeoutMs) const;
  // Reads at most `size` bytes; 0 when the peer closed, -1 on failure.
  long receive(uint8_t* data, size_t size);

 private:
  int fd_ = -1;
};

class TcpListener {
 public:
  // Listens on 127.0.0.1 at `port`; 0 takes a free port chosen by the system. Raises TcpError.
  explicit TcpListener(uint16_t port = 0);
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  uint16_t port() const { return port_; }
  // The next connection, or a closed one when none came within `timeoutMs` or the listener was
  // shut down.
  TcpConnection accept(int timeoutMs);
  // Makes every waiting and later accept return at once; callable from another thread.
  void shutdown();

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace platform
