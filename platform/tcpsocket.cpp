#include "platform/tcpsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace platform {
namespace {

// Polls one descriptor, restarting after signals without stretching the whole wait.
int pollFor(int fd, short events, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p{fd, events, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int r = ::poll(&p, 1, left.count() > 0 ? int(left.count()) : 0);
    if (r >= 0) return r == 0 ? 0 : (p.revents & (events | POLLHUP | POLLERR)) ? 1 : -1;
    if (errno != EINTR) return -1;
  }
}

// Connects a fresh socket to one resolved address within the wait; -1 with errno set on failure.
int connectOne(const addrinfo& a, int timeoutMs) {
  const int fd = ::socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC, a.ai_protocol);
  if (fd < 0) return -1;
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int r = ::connect(fd, a.ai_addr, a.ai_addrlen);
  if (r != 0 && errno == EINPROGRESS) {
    const int ready = pollFor(fd, POLLOUT, timeoutMs);
    int error = ready == 0 ? ETIMEDOUT : 0;
    socklen_t len = sizeof error;
    if (ready > 0) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
    if (error == 0 && ready > 0) r = 0;
    errno = error ? error : errno;
  }
  if (r != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  ::fcntl(fd, F_SETFL, flags);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

TcpConnection::~TcpConnection() {
  close();
}

TcpConnection::TcpConnection(TcpConnection&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

TcpConnection& TcpConnection::operator=(TcpConnection&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

TcpConnection TcpConnection::connect(const std::string& host, const std::string& service, int timeoutMs) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) throw TcpError("cannot resolve " + host + ": " + ::gai_strerror(rc));
  int fd = -1;
  int lastError = ECONNREFUSED;
  for (addrinfo* a = list; a && fd < 0; a = a->ai_next) {
    fd = connectOne(*a, timeoutMs);
    if (fd < 0) lastError = errno;
  }
  ::freeaddrinfo(list);
  if (fd < 0) throw TcpError("cannot connect to " + host + ":" + service + ": " + std::strerror(lastError));
  return TcpConnection(fd);
}

void TcpConnection::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

size_t TcpConnection::sendAll(const uint8_t* data, size_t size) {
  size_t sent = 0;
  while (fd_ >= 0 && sent < size) {
    const ssize_t n = ::send(fd_, data + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += size_t(n);
  }
  return sent;
}

WaitResult TcpConnection::waitReadable(int timeoutMs) const {
  if (fd_ < 0) return WaitResult::Failed;
  const int r = pollFor(fd_, POLLIN, timeoutMs);
  return r > 0 ? WaitResult::Ready : r == 0 ? WaitResult::TimedOut : WaitResult::Failed;
}

long TcpConnection::receive(uint8_t* data, size_t size) {
  if (fd_ < 0) return -1;
  for (;;) {
    const ssize_t n = ::recv(fd_, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return long(n);
  }
}

TcpListener::TcpListener(uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw TcpError(std::string("cannot make a socket: ") + std::strerror(errno));
  const int one = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof address;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 16) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &len) != 0) {
    const std::string why = std::strerror(errno);
    ::close(fd_);
    throw TcpError("cannot listen on 127.0.0.1: " + why);
  }
  port_ = ntohs(address.sin_port);
}

TcpListener::~TcpListener() {
  if (fd_ >= 0) ::close(fd_);
}

TcpConnection TcpListener::accept(int timeoutMs) {
  if (pollFor(fd_, POLLIN, timeoutMs) <= 0) return TcpConnection();
  const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return TcpConnection();
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return TcpConnection(fd);
}

void TcpListener::shutdown() {
  // Wakes a poll on the listening socket; the descriptor itself is closed by the destructor.
  ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace platform
