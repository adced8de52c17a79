#include "engine/storage/veldorfielddesc.h"

#include <algorithm>
#include <cstring>

#include "engine/base/veldorhelpers.h"

namespace engine {

std::string GetShortString(const uint8_t* p, size_t capacity) {
  const size_t length = std::min<size_t>(p[0], capacity);
  return std::string(reinterpret_cast<const char*>(p + 1), length);
}

void PutShortString(uint8_t* p, size_t capacity, std::string_view text) {
  const std::string_view cut = EngineStringView(text, capacity);
  std::memset(p, 0, capacity + 1);
  p[0] = uint8_t(cut.size());
  if (!cut.empty()) std::memcpy(p + 1, cut.data(), cut.size());
}

std::string TFieldDescriptor::getText(size_t at, size_t capacity) const {
  return GetShortString(bytes_.data() + at, capacity);
}

void TFieldDescriptor::putText(size_t at, size_t capacity, std::string_view text) {
  PutShortString(bytes_.data() + at, capacity, text);
}

}  // namespace engine
