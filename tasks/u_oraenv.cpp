#include "tasks/u_oraenv.h"

#include <stdlib.h>

#include <fstream>

#include "platform/plainfile.h"

namespace tasks {

namespace {

std::optional<std::string> processVariable(const std::string& name) {
  const char* value = ::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

struct OratabEntry {
  std::string sid;
  std::string home;
};

std::optional<OratabEntry> firstOratabEntry(const std::string& path) {
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
    if (!entry.sid.empty() && !entry.home.empty() && entry.home[0] == '/') return entry;
  }
  return std::nullopt;
}

}  // namespace

TOraEnv::TOraEnv() : TOraEnv(processVariable, "/etc/oratab") {}

TOraEnv::TOraEnv(Environment environment, std::string oratabPath)
    : environment_(std::move(environment)), oratabPath_(std::move(oratabPath)) {}

int TOraEnv::ReadOracleHome() {
  nlsLang_.clear();
  oracleSid_.clear();
  oracleHome_.clear();
  nlsLang_ = environment_("NLS_LANG").value_or("");
  oracleSid_ = environment_("ORACLE_SID").value_or("");
  oracleHome_ = environment_("ORACLE_HOME").value_or("");
  if (!oracleHome_.empty()) return 0;
  std::optional<OratabEntry> entry = firstOratabEntry(oratabPath_);
  if (!entry) return -1;
  oracleHome_ = entry->home;
  if (oracleSid_.empty() && entry->sid != "*") oracleSid_ = entry->sid;
  return 0;
}

void TOraEnv::DetectToolNames() {
  scriptTool_ = "sqlplus";
  exportTool_ = "exp";
  importTool_ = "imp";
  if (oracleHome_.empty()) return;
  const std::string bin = oracleHome_ + "/bin/";
  if (platform::fileExists(bin + "exp80") && !platform::fileExists(bin + "exp")) {
    scriptTool_ = "plus80";
    exportTool_ = "exp80";
    importTool_ = "imp80";
  }
}

}  // namespace tasks
