// Feeds arbitrary text to the stand-in's SQL scanner and rewriter: neither may read out of bounds,
// and every token must lie inside the text in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/oci-standin/standin_rewrite.h"
#include "tools/oci-standin/standin_values.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t last = 0;
  for (const ocistandin::Token& t : ocistandin::scanSql(text)) {
    if (t.begin < last || t.end < t.begin || t.end > size) std::abort();
    last = t.end;
  }
  ocistandin::rewriteSql(text, "SCOTT");
  // The same text as a date and a date format model.
  const size_t half = size / 2;
  ocistandin::DateTime d;
  if (ocistandin::parseDate(text.substr(0, half), text.substr(half), d) == 0) {
    std::string out;
    if (ocistandin::formatDate(d, text.substr(half), out) != 0) std::abort();
  }
  return 0;
}
