#include "platform/oraclehome.h"

#include <stdlib.h>

#include <fstream>

namespace platform {

std::optional<std::string> environmentVariable(const std::string& name) {
  const char* value = ::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::vector<OratabEntry> oratabEntries(const std::string& path) {
  std::vector<OratabEntry> entries;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    const size_t first = line.find(':', start);
    if (first == std::string::npos) continue;
    const size_t second = line.find(':', first + 1);
    OratabEntry entry{
        line.substr(start, first - start),
        line.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1)};
    if (!entry.sid.empty() && !entry.home.empty() && entry.home[0] == '/')
      entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace platform
