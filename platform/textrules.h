// The small text rules every layer shares: what a blank is, and ASCII case. They never follow the
// process locale, so a keyword or a file extension compares the same on every machine; letters
// outside A-Z and a-z are left as they are (locale-aware case lives in collation.h).
// Every function is stateless and may be called from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// A blank is a space, tab, line feed, vertical tab, form feed or carriage return: white space as the
// C locale has it, whatever locale the process runs under. Other control bytes are text.
constexpr bool isBlank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// The text without the blanks before and after it.
constexpr std::string_view trimBlanks(std::string_view text) {
  size_t first = 0, end = text.size();
  while (first < end && isBlank(text[first])) ++first;
  while (end > first && isBlank(text[end - 1])) --end;
  return text.substr(first, end - first);
}

constexpr char asciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}
constexpr char asciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// The text with a-z made A-Z (asciiUpperCased) or A-Z made a-z (asciiLowerCased).
std::string asciiUpperCased(std::string_view text);
std::string asciiLowerCased(std::string_view text);

// True when both texts have the same length and each byte pair is equal with ASCII case ignored.
constexpr bool equalIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (asciiUpper(a[i]) != asciiUpper(b[i])) return false;
  return true;
}

// True when `text` ends with `suffix`, ASCII case ignored.
constexpr bool endsWithIgnoringAsciiCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         equalIgnoringAsciiCase(text.substr(text.size() - suffix.size()), suffix);
}

}  // namespace platform
