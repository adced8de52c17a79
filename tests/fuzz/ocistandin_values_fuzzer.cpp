// Feeds arbitrary text to the stand-in server's value readers: number text, the 22-byte number,
// timestamps under format models, stored timestamps, intervals and ROWID texts. None may read
// out of bounds, and whatever one accepts must come back unchanged through its writer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/oci-standin/standin_number.h"
#include "tools/oci-standin/standin_values.h"

using namespace ocistandin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 5) {
    case 0:
      if (const auto n = parseNumberText(text)) {
        const NumberBytes b = toNumberBytes(*n);
        if (fromNumberBytes(b.bytes.data(), b.length) != *n && !n->isZero()) std::abort();
        if (parseNumberText(numberText(*n)) != *n) std::abort();
        if (numberFromStoredText(storedNumber(*n).text.empty() ? numberText(*n) : storedNumber(*n).text) !=
            *n)
          std::abort();
      }
      break;
    case 1:
      if (const auto n = fromNumberBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size())) {
        if (parseNumberText(numberText(*n)) != *n && n->digits.size() <= 39) std::abort();
      }
      break;
    case 2: {
      const size_t half = text.size() / 2;
      TimeStamp t;
      if (parseTimestamp(text.substr(0, half), text.substr(half), t) == 0) {
        std::string out;
        if (formatTimestamp(t, text.substr(half), 9, out) != 0) std::abort();
      }
      if (parseStoredTimestamp(text, t)) {
        TimeStamp back;
        if (!parseStoredTimestamp(storedTimestamp(t), back) || !(back == t)) std::abort();
      }
      break;
    }
    case 3: {
      Interval v;
      if (parseInterval(text, (data[0] & 0x80) != 0, v)) {
        Interval back;
        if (!parseInterval(intervalText(v, 9, 9), v.yearMonth, back) || !(back == v)) std::abort();
      }
      break;
    }
    default: {
      int64_t row = 0;
      if (rowidRow(text, row) && rowidText(row) != text) std::abort();
      break;
    }
  }
  return 0;
}
