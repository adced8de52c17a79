// Feeds arbitrary texts to the Oracle statement tokenizer: every lexeme lies inside the text, the
// position only moves forward, and the walk ends, or stops with a clean error.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "oracle/oraparser.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  oracle::TOraParser parser(text);
  std::string lexeme;
  size_t last = 0;
  try {
    for (size_t steps = 0;; ++steps) {
      check(steps <= size + 1);
      const int code = parser.GetNext(lexeme);
      check(parser.LexemePos() <= size && parser.CurrPos() <= size);
      check(parser.CurrPos() >= last);
      last = parser.CurrPos();
      if (code == dataaccess::lcEnd) break;
    }
  } catch (const std::exception&) {
    // A clean error (an unterminated quote or comment) is an expected end.
  }
  return 0;
}
