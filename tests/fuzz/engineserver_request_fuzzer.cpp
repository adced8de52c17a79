// Feeds arbitrary bytes to the loopback engine server as one client's whole stream of requests.
// The server must answer or drop the connection, never read outside a message or stop serving:
// after each input a fresh connection is still taken.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "tests/fuzz/fuzz_test_util.h"
#include "tools/engineserver/engineserver.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Sends `data`, ends the sending half and reads until the server closes (or a bound passes).
bool exchange(uint16_t port, const uint8_t* data, size_t size) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  for (size_t sent = 0; ok && sent < size;) {
    const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may close before it has read everything
    sent += size_t(n);
  }
  if (ok) ::shutdown(fd, SHUT_WR);
  uint8_t buffer[4096];
  for (int rounds = 0; ok && rounds < 200; ++rounds) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    if (::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
  }
  ::close(fd);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz_test::ScratchFile root("engineserver-root");
  static std::unique_ptr<engineserver::EngineServer> server;
  static int served = 0;
  // The server keeps a thread per connection until it stops: a fresh one now and then.
  if (!server || ++served % 256 == 0) {
    server.reset();
    std::filesystem::create_directories(root.path + "/db");
    server = std::make_unique<engineserver::EngineServer>(root.path,
                                                          std::map<std::string, std::string>{{"u", "p"}});
  }
  exchange(server->port(), data, size);
  check(exchange(server->port(), nullptr, 0));
  return 0;
}
