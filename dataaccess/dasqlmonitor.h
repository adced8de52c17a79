// The SQL monitor: what the data-access components do (prepare, execute, connect, disconnect,
// commit, rollback, errors) reported as texts to the monitor's OnSQL event and to a process-wide
// debug hook.
//
// The components never hold a monitor. They call the entry points of the monitor class their
// connection names (TDASQLMonitorClass); each class has at most one registered monitor, to
// which the entry points forward. A class without one traces nothing, except that a prepare or
// an execute of a component whose Debug is on still reaches the debug hook.
//
// Texts: connect, disconnect, commit and rollback give "Connect: ", "Disconnect: ", "Commit: "
// or "Rollback: " + user + "@" + server (+ the object prefix under moObjectNames); an error
// gives "Error: " + its message; a prepare or execute gives its SQL without trailing blanks
// and, with parameters, "\r\n" + the parameter text (see ParamsText). Only the calls before the
// step are traced.
//
// Threads: the thread that uses the components; a driver error reported on a worker thread is
// traced on it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "dataaccess/daconsts.h"
#include "dataaccess/dbaccess_params.h"

namespace dataaccess {

// What the monitor knows of a traced component.
class TDAComponent {
 public:
  virtual ~TDAComponent() = default;
  // The connection a dataset or statement runs on; nullptr for a connection.
  virtual const TDAComponent* MonitorConnection() const { return nullptr; }

  std::string Name;
  bool Debug = false;
};

// Options of a monitor (bits).
inline constexpr uint8_t moOnSQL = 1;           // the OnSQL event and the debug hook
inline constexpr uint8_t moMonitorProgram = 2;  // kept for settings; nothing to report to here
inline constexpr uint8_t moExternalTool = 4;    // kept for settings; nothing to report to here
inline constexpr uint8_t moDebugOnly = 8;       // the debug hook only for components with Debug
inline constexpr uint8_t moObjectNames = 16;    // component names and addresses in the texts

// The kinds OnSQL reports.
enum TSQLTraceFlag : int { tfPrepare = 0, tfExecute = 1, tfError = 3, tfConnect = 5, tfTransact = 6 };

class TCustomDASQLMonitor;

// The process-wide debug hook: the monitor class, the component, the SQL, the caption
// ("Prepare", or the execute caption) and the parameters (nullptr when there are none).
using TDADebugHook =
    std::function<void(const class TDASQLMonitorClass&, const TDAComponent&, const std::string& sql,
                       const std::string& caption, const TDAParams* params)>;
void SetDADebugHook(TDADebugHook hook);

// The class-level entry points of one monitor class.
class TDASQLMonitorClass {
 public:
  TDASQLMonitorClass() = default;
  TDASQLMonitorClass(const TDASQLMonitorClass&) = delete;
  TDASQLMonitorClass& operator=(const TDASQLMonitorClass&) = delete;

  // The registered monitor, or nullptr.
  TCustomDASQLMonitor* GetMonitor() const { return registered_; }

  void SQLPrepare(const TDAComponent& object, const std::string& sql, const TDAParams* params,
                  bool after) const;
  // `caption` empty means "Execute".
  void SQLExecute(const TDAComponent& object, const std::string& sql, const TDAParams* params,
                  const std::string& caption, bool after) const;
  void SQLConnect(const TDAComponent& connection, const std::string& user, const std::string& server,
                  bool after) const;
  void SQLDisconnect(const TDAComponent& connection, const std::string& user, const std::string& server,
                     bool after) const;
  void SQLCommit(const TDAComponent& connection, const std::string& user, const std::string& server,
                 bool after) const;
  void SQLRollback(const TDAComponent& connection, const std::string& user, const std::string& server,
                   bool after) const;
  void SQLError(const EDAError& error) const;
  // A transaction notice of a driver's own ("Savepoint ", ...): `what` + user + "@" + server, as
  // a commit is reported.
  void SQLTransactNotice(const std::string& what, const TDAComponent& connection, const std::string& user,
                         const std::string& server) const;

 private:
  friend class TCustomDASQLMonitor;
  void statement(const TDAComponent& object, const std::string& sql, const TDAParams* params,
                 const std::string& caption, TSQLTraceFlag flag, bool after) const;
  void session(std::string_view what, const TDAComponent& connection, const std::string& user,
               const std::string& server, TSQLTraceFlag flag, bool after) const;

  TCustomDASQLMonitor* registered_ = nullptr;
};

class TCustomDASQLMonitor {
 public:
  TCustomDASQLMonitor() = default;
  // Leaves its class when it is the registered monitor.
  virtual ~TCustomDASQLMonitor();
  TCustomDASQLMonitor(const TCustomDASQLMonitor&) = delete;
  TCustomDASQLMonitor& operator=(const TCustomDASQLMonitor&) = delete;

  // The base class; it registers no monitor of its own.
  static TDASQLMonitorClass& Class();

  // The text of one parameter's type: the field type's name, with "[" + the value's length + "]"
  // for string, fixed-char and wide-string types.
  virtual std::string GetParamDataType(const TDAParam& param) const;
  // "IN", "OUT", "IN/OUT", "RESULT" or nothing.
  virtual std::string GetParamParamType(const TDAParam& param) const;
  // "<NULL>", "<BLOB:n>", "<CURSOR>", texts and dates in single quotes, other values as text.
  virtual std::string GetParamValue(const TDAParam& param) const;
  virtual std::string GetCaption() const { return "DataAccess"; }
  // One line per parameter: ":" + name + "(" + type + "," + direction + ")" + "=" + value,
  // each followed by " \r\n".
  std::string ParamsText(const TDAParams& params) const;
  // " [" + name + "$" + address (8 hex digits) [+ "; " + connection name + "$" + address] + "] ".
  static std::string ObjectPrefix(const TDAComponent& object);

  bool Active = true;
  uint8_t Options = moOnSQL | moMonitorProgram | moExternalTool | moDebugOnly;
  std::string Name;
  std::function<void(TCustomDASQLMonitor& sender, const std::string& text, TSQLTraceFlag flag)> OnSQL;

 protected:
  // Makes this the monitor of `monitorClass` unless it has one already; false then.
  bool RegisterWith(TDASQLMonitorClass& monitorClass);

 private:
  friend class TDASQLMonitorClass;
  void trace(const std::string& text, TSQLTraceFlag flag);

  TDASQLMonitorClass* registeredWith_ = nullptr;
};

}  // namespace dataaccess
