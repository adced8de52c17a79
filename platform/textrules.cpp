#include "platform/textrules.h"

namespace platform {

std::string asciiUpperCased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = asciiUpper(c);
  return out;
}

std::string asciiLowerCased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = asciiLower(c);
  return out;
}

}  // namespace platform
