// The text of a string or memo value as what is made from it (a concatenation, a text function)
// carries it on.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "engine/base/veldortypes.h"

namespace engine {

// A memo (type 3, subtype 22) is carried by its size, not by a terminator: its first `valueSize`
// bytes within `capacity`, zero bytes included, less the one terminating zero that follows them.
// Any other value ends at its first zero byte, as a text.
inline std::string_view WholeText(TEngineFieldType type, TEngineFieldSubType subType, const uint8_t* value,
                                  uint32_t valueSize, uint32_t capacity) {
  const char* p = reinterpret_cast<const char*>(value);
  if (type != TEngineFieldType::Blob || subType != TEngineFieldSubType::Memo)
    return std::string_view(p, strnlen(p, capacity));
  size_t n = std::min(valueSize, capacity);
  if (n > 0 && p[n - 1] == 0) --n;
  return std::string_view(p, n);
}

// The same of a node or an operand (TExpToken, ExpOperand).
template <typename Value>
std::string_view WholeText(const Value& v) {
  return WholeText(v.type, v.subType, v.Value(), v.valueSize, v.ValueCapacity());
}

}  // namespace engine
