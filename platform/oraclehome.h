// Where a Linux machine says its Oracle clients are: the process environment and the oratab
// file. Shared by the Oracle client library loader and the task engine's environment.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// A variable of the process environment; nothing when it is not set.
std::optional<std::string> environmentVariable(const std::string& name);

struct OratabEntry {
  std::string sid;
  std::string home;
};

// Every usable line "SID:HOME:flag" of an oratab file, in file order: blank lines, comments and
// lines without a SID or an absolute home are skipped. A missing or unreadable file has none.
std::vector<OratabEntry> oratabEntries(const std::string& path);

}  // namespace platform
