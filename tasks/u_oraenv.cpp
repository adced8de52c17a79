#include "tasks/u_oraenv.h"

#include "platform/oraclehome.h"
#include "platform/plainfile.h"

namespace tasks {

TOraEnv::TOraEnv() : TOraEnv(platform::environmentVariable, "/etc/oratab") {}

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
  const std::vector<platform::OratabEntry> entries = platform::oratabEntries(oratabPath_);
  if (entries.empty()) return -1;
  const platform::OratabEntry* entry = &entries.front();
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
