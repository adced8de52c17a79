// Differential of the recogniser's quick roads against its full parse, line by line, with no file
// and no thread in between so that many lines go through per second (the check itself is in
// tests/dumpfile/recogniser_roads.h, which the unit tests run on the inputs this target found).
// The recognisers live across inputs, as a reading's recogniser lives across its lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tests/dumpfile/recogniser_roads.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static dumpfile::recogniser_roads::Roads roads;
  const std::string fault = roads.compareInput(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!fault.empty()) {
    std::fprintf(stderr, "%s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
