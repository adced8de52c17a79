// Feeds arbitrary bytes to the dump-file header reader as a file. It must read every file it can
// open, and its texts must hold only the bytes 32 to 125 and stay within the first 2048 bytes.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tasks/u_common.h"
#include "tests/fuzz/fuzz_test_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz_test::ScratchFile file("header.dmp");
  std::ofstream(file.path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), std::streamsize(size));
  tasks::TDumpHeader h;
  if (!tasks::ReadDumpHeader(file.path, h)) std::abort();
  for (const std::string* text : {&h.version, &h.user, &h.mode}) {
    if (text->size() > 2048) std::abort();
    for (char c : *text) {
      if (uint8_t(c) < 32 || uint8_t(c) > 125) std::abort();
    }
  }
  if (h.version.size() > 16 || (h.isExport != (h.version != "Unknown"))) std::abort();
  return 0;
}
