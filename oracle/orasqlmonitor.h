// The SQL monitor of the Oracle session: Oracle names of parameter types, Oracle renderings of
// parameter values, and savepoint notices.
//
// The first TOraSQLMonitor created while there is none becomes the current one, which the
// Oracle components' class-level notifications reach; it stops being current when destroyed.
//
// Not thread-safe: the thread that uses the components.
#pragma once

#include <string>

#include "dataaccess/dasqlmonitor.h"

namespace oracle {

class TOraSQLMonitor : public dataaccess::TCustomDASQLMonitor {
 public:
  TOraSQLMonitor();

  // The Oracle components' monitor class.
  static dataaccess::TDASQLMonitorClass& Class();
  // The current monitor, or nullptr.
  static TOraSQLMonitor* GetMonitor();

  // "VARCHAR[5]", "CHAR[1]", "CLOB", "CURSOR", "OBJECT:unknown", "TIMESTAMP_TZ", ...
  std::string GetParamDataType(const dataaccess::TDAParam& param) const override;
  // "<PL/SQL TABLE[3]>", "<LOB:10>", "<BLOB:4>", "<CURSOR>", "<NULL>", "'text'", ...
  std::string GetParamValue(const dataaccess::TDAParam& param) const override;
  std::string GetCaption() const override { return "ZUVA"; }

  // "Savepoint " (or "Rollback to savepoint ") + name + ": " + user + "@" + server to the
  // current monitor when it is active.
  static void Savepoint(const dataaccess::TDAComponent& session, const std::string& user,
                        const std::string& server, const std::string& name);
  static void RollbackToSavepoint(const dataaccess::TDAComponent& session, const std::string& user,
                                  const std::string& server, const std::string& name);
};

}  // namespace oracle
