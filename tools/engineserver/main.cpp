// engineserver ROOT USER PASSWORD: serves the databases under ROOT on 127.0.0.1 and prints the
// port; stops at end of input. --help (or no argument) prints the usage.
#include <iostream>
#include <string>

#include "tools/engineserver/engineserver.h"

int main(int argc, char** argv) {
  if (argc == 1 || (argc == 2 && std::string(argv[1]) == "--help")) {
    std::cout << "usage: engineserver ROOT USER PASSWORD\n";
    return 0;
  }
  if (argc != 4) {
    std::cerr << "usage: engineserver ROOT USER PASSWORD\n";
    return 2;
  }
  engineserver::EngineServer server(argv[1], {{argv[2], argv[3]}});
  std::cout << server.port() << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  return 0;
}
