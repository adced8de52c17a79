// engineserver ROOT USER: serves the databases under ROOT (an existing folder) on 127.0.0.1 to
// USER, prints the port and stops at end of input. The password comes from the environment
// (VELMARON_ENGINESERVER_PASSWORD) or, when that is unset, from the first line of standard input:
// never from the command line, which every user of the machine can read. --help (or no
// argument) prints the usage.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <string>

#include "tools/engineserver/engineserver.h"

int main(int argc, char** argv) {
  if (argc == 1 || (argc == 2 && std::string(argv[1]) == "--help")) {
    std::cout << "usage: engineserver ROOT USER (password in VELMARON_ENGINESERVER_PASSWORD or on the "
                 "first line of standard input)\n";
    return 0;
  }
  if (argc != 3) {
    std::cerr << "usage: engineserver ROOT USER (password in VELMARON_ENGINESERVER_PASSWORD or on the "
                 "first line of standard input)\n";
    return 2;
  }
  const std::string root = argv[1], user = argv[2];
  std::error_code ec;
  if (!std::filesystem::is_directory(root, ec)) {
    std::cerr << "engineserver: " << root << " is not a folder\n";
    return 1;
  }
  if (user.empty()) {
    std::cerr << "engineserver: the user name is empty\n";
    return 1;
  }
  std::string password;
  if (const char* fromEnvironment = std::getenv("VELMARON_ENGINESERVER_PASSWORD")) {
    password = fromEnvironment;
  } else {
    // Read a byte at a time up to a bound: the input may be a device without line ends.
    constexpr size_t kMaxPassword = 1024;
    bool ended = false;
    for (int c = std::cin.get(); c != std::char_traits<char>::eof(); c = std::cin.get()) {
      if (c == '\n') {
        ended = true;
        break;
      }
      if (password.size() == kMaxPassword) {
        std::cerr << "engineserver: the password line is longer than " << kMaxPassword << " characters\n";
        return 1;
      }
      password += char(c);
    }
    if (!ended && password.empty()) {
      std::cerr << "engineserver: no password on standard input\n";
      return 1;
    }
  }
  engineserver::EngineServer server(root, {{user, password}});
  std::cout << server.port() << std::endl;
  // Runs until the input ends; what comes is not kept.
  while (std::cin.ignore(std::numeric_limits<std::streamsize>::max())) {
  }
  return 0;
}
