// dumpheader FILE...: prints one line per file, the file name and then, tab-separated, is-export
// (0 or 1), character set, version, user and mode as the header reader gives them. A file that
// cannot be read is named on standard error; the exit code is then 1. --help (or no argument)
// prints the usage.
#include <iostream>
#include <string>

#include "tasks/u_common.h"

int main(int argc, char** argv) {
  if (argc < 2 || (argc == 2 && std::string(argv[1]) == "--help")) {
    std::cout << "usage: dumpheader FILE...\n";
    return 0;
  }
  int code = 0;
  for (int i = 1; i < argc; ++i) {
    tasks::TDumpHeader h;
    if (!tasks::ReadDumpHeader(argv[i], h)) {
      std::cerr << "dumpheader: cannot read " << argv[i] << '\n';
      code = 1;
      continue;
    }
    std::cout << argv[i] << '\t' << (h.isExport ? 1 : 0) << '\t' << h.charset << '\t' << h.version << '\t'
              << h.user << '\t' << h.mode << '\n';
  }
  return code;
}
