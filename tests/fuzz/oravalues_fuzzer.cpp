// Feeds arbitrary bytes to the decoders of the Oracle NUMBER (22 bytes) and DATE (7 bytes) forms,
// as a server or a damaged buffer may hand them over: each gives a value or a clean error, and a
// value it gives goes back into the bytes and out again unchanged.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "oracle/oraclasses.h"
#include "oracle/oraclasses_values.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

struct Number {
  oracle::TOraNumber* value = new oracle::TOraNumber();
  ~Number() { value->Release(); }
};

void fuzzNumber(const uint8_t* data, size_t size) {
  Number n;
  std::memcpy(n.value->OCINumberPtr(), data, std::min<size_t>(size, 22));
  n.value->SetIsNull(false);
  std::string text;
  try {
    text = n.value->AsString();
    (void)n.value->AsFloat();
    (void)n.value->AsInteger();
  } catch (const std::exception&) {
    return;
  }
  check(text.size() <= 200);
  // A text read back gives a number whose text reads back the same.
  Number again, third;
  try {
    again.value->SetAsString(text);
  } catch (const std::exception&) {
    return;
  }
  const std::string normal = again.value->AsString();
  third.value->SetAsString(normal);
  check(third.value->AsString() == normal);
}

void fuzzDate(const uint8_t* data, size_t size) {
  uint8_t bytes[7] = {};
  std::memcpy(bytes, data, std::min<size_t>(size, 7));
  oracle::DateTime value;
  try {
    value = oracle::OraDateToDateTime(bytes);
  } catch (const std::exception&) {
    return;
  }
  uint8_t again[7];
  oracle::DateTimeToOraDate(value, again);
  check(std::fabs(oracle::OraDateToDateTime(again).days - value.days) < 1e-6);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0)
    fuzzNumber(data + 1, size - 1);
  else
    fuzzDate(data + 1, size - 1);
  return 0;
}
