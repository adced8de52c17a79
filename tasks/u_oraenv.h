// The Oracle client's environment: which home the programs come from, its NLS_LANG and SID, and
// the names of the export, import and script programs.
//
// A Linux client keeps no registry of homes: the home, the SID and NLS_LANG are the variables
// ORACLE_HOME, ORACLE_SID and NLS_LANG, and without ORACLE_HOME the first usable entry of the
// oratab file (lines "SID:HOME:flag") names the home. Both sources are injectable for tests.
//
// Threads: a plain object, used by one thread at a time.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tasks {

class TOraEnv {
 public:
  // Reads a variable of the environment: nothing when it is not set.
  using Environment = std::function<std::optional<std::string>(const std::string& name)>;

  // The process's environment and /etc/oratab.
  TOraEnv();
  TOraEnv(Environment environment, std::string oratabPath);

  // Clears what an earlier call found, then reads NLS_LANG, ORACLE_SID and ORACLE_HOME. An empty
  // ORACLE_HOME counts as unset: the home is then the first oratab entry with a SID and an
  // absolute home path (blank lines and lines starting with "#" are skipped; a missing or
  // unreadable file has no entries), and ORACLE_SID, when unset or empty, becomes that entry's SID unless
  // it is "*". 0 when a home was found, -1 otherwise.
  int ReadOracleHome();

  // The program names: "sqlplus", "exp", "imp"; "plus80", "exp80", "imp80" only when the home's
  // bin folder holds a file "exp80" and no file "exp".
  void DetectToolNames();

  const std::string& NlsLang() const { return nlsLang_; }
  const std::string& OracleSid() const { return oracleSid_; }
  const std::string& OracleHome() const { return oracleHome_; }
  const std::string& ScriptTool() const { return scriptTool_; }
  const std::string& ExportTool() const { return exportTool_; }
  const std::string& ImportTool() const { return importTool_; }

 private:
  Environment environment_;
  std::string oratabPath_;
  std::string nlsLang_;
  std::string oracleSid_;
  std::string oracleHome_;
  std::string scriptTool_ = "sqlplus";
  std::string exportTool_ = "exp";
  std::string importTool_ = "imp";
};

}  // namespace tasks
