#include "dataaccess/dasqlmonitor.h"

#include <cstdio>
#include <utility>

namespace dataaccess {

namespace ds = dataset;

namespace {

TDADebugHook& debugHook() {
  static TDADebugHook hook;
  return hook;
}

const char* fieldTypeName(ds::FieldType type) {
  static constexpr const char* kNames[] = {
      "Unknown",    "String",     "SmallInt", "Integer",     "Word",      "Boolean",
      "Float",      "Currency",   "BCD",      "Date",        "Time",      "DateTime",
      "Bytes",      "VarBytes",   "AutoInc",  "Blob",        "Memo",      "Graphic",
      "FmtMemo",    "ParadoxOle", "DBaseOle", "TypedBinary", "Cursor",    "FixedChar",
      "WideString", "Largeint",   "ADT",      "Array",       "Reference", "DataSet",
      "OraBlob",    "OraClob",    "Variant",  "Interface",   "IDispatch", "Guid"};
  return size_t(type) < std::size(kNames) ? kNames[type] : "Unknown";
}

std::string address(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%08llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return text;
}

}  // namespace

void SetDADebugHook(TDADebugHook hook) {
  debugHook() = std::move(hook);
}

// ---- Class-level entry points ----

void TDASQLMonitorClass::statement(const TDAComponent& object, const std::string& sql,
                                   const TDAParams* params, const std::string& caption, TSQLTraceFlag flag,
                                   bool after) const {
  if (after) return;
  if (params && params->Count() == 0) params = nullptr;
  TCustomDASQLMonitor* monitor = registered_ && registered_->Active ? registered_ : nullptr;
  const bool hook = monitor
                        ? (monitor->Options & moOnSQL) && (object.Debug || !(monitor->Options & moDebugOnly))
                        : !registered_ && object.Debug;
  if (hook && debugHook()) debugHook()(*this, object, sql, caption, params);
  if (!monitor) return;
  std::string text = TrimRightText(sql);
  if (params) text += "\r\n" + monitor->ParamsText(*params);
  monitor->trace(text, flag);
}

void TDASQLMonitorClass::session(std::string_view what, const TDAComponent& connection,
                                 const std::string& user, const std::string& server, TSQLTraceFlag flag,
                                 bool after) const {
  if (after || !registered_ || !registered_->Active) return;
  std::string text = std::string(what) + user + "@" + server;
  if (registered_->Options & moObjectNames) text += TCustomDASQLMonitor::ObjectPrefix(connection);
  registered_->trace(text, flag);
}

void TDASQLMonitorClass::SQLPrepare(const TDAComponent& object, const std::string& sql,
                                    const TDAParams* params, bool after) const {
  statement(object, sql, params, "Prepare", tfPrepare, after);
}

void TDASQLMonitorClass::SQLExecute(const TDAComponent& object, const std::string& sql,
                                    const TDAParams* params, const std::string& caption, bool after) const {
  statement(object, sql, params, caption.empty() ? "Execute" : caption, tfExecute, after);
}

void TDASQLMonitorClass::SQLConnect(const TDAComponent& connection, const std::string& user,
                                    const std::string& server, bool after) const {
  session("Connect: ", connection, user, server, tfConnect, after);
}

void TDASQLMonitorClass::SQLDisconnect(const TDAComponent& connection, const std::string& user,
                                       const std::string& server, bool after) const {
  session("Disconnect: ", connection, user, server, tfConnect, after);
}

void TDASQLMonitorClass::SQLCommit(const TDAComponent& connection, const std::string& user,
                                   const std::string& server, bool after) const {
  session("Commit: ", connection, user, server, tfTransact, after);
}

void TDASQLMonitorClass::SQLRollback(const TDAComponent& connection, const std::string& user,
                                     const std::string& server, bool after) const {
  session("Rollback: ", connection, user, server, tfTransact, after);
}

void TDASQLMonitorClass::SQLTransactNotice(const std::string& what, const TDAComponent& connection,
                                           const std::string& user, const std::string& server) const {
  session(what, connection, user, server, tfTransact, false);
}

void TDASQLMonitorClass::SQLError(const EDAError& error) const {
  if (registered_ && registered_->Active) registered_->trace(std::string("Error: ") + error.what(), tfError);
}

// ---- Monitor ----

TCustomDASQLMonitor::~TCustomDASQLMonitor() {
  if (registeredWith_) registeredWith_->registered_ = nullptr;
}

TDASQLMonitorClass& TCustomDASQLMonitor::Class() {
  static TDASQLMonitorClass base;
  return base;
}

bool TCustomDASQLMonitor::RegisterWith(TDASQLMonitorClass& monitorClass) {
  if (monitorClass.registered_) return monitorClass.registered_ == this;
  monitorClass.registered_ = this;
  registeredWith_ = &monitorClass;
  return true;
}

void TCustomDASQLMonitor::trace(const std::string& text, TSQLTraceFlag flag) {
  if ((Options & moOnSQL) && OnSQL) OnSQL(*this, text, flag);
}

std::string TCustomDASQLMonitor::GetParamDataType(const TDAParam& param) const {
  std::string text = fieldTypeName(param.DataType);
  if (param.DataType == ds::ftString || param.DataType == ds::ftFixedChar ||
      param.DataType == ds::ftWideString) {
    const Variant value = param.GetValue();
    const size_t length = value.isNull()                       ? 0
                          : param.DataType == ds::ftWideString ? value.asWideString().size()
                                                               : value.asString().size();
    text += "[" + std::to_string(length) + "]";
  }
  return text;
}

std::string TCustomDASQLMonitor::GetParamParamType(const TDAParam& param) const {
  switch (param.ParamType_) {
    case ds::ptInput:
      return "IN";
    case ds::ptOutput:
      return "OUT";
    case ds::ptInputOutput:
      return "IN/OUT";
    case ds::ptResult:
      return "RESULT";
    default:
      return "";
  }
}

std::string TCustomDASQLMonitor::GetParamValue(const TDAParam& param) const {
  if (param.IsNull()) return "<NULL>";
  const Variant value = param.GetValue();
  switch (param.DataType) {
    case ds::ftBlob:
    case ds::ftMemo:
      return "<BLOB:" + std::to_string(param.ValueObject() ? param.ValueObject()->GetSize() : 0) + ">";
    case ds::ftBytes:
    case ds::ftVarBytes:
      return "<BLOB:" + std::to_string(value.asString().size()) + ">";
    case ds::ftCursor:
      return "<CURSOR>";
    case ds::ftDate:
    case ds::ftDateTime:
      return "'" + ds::dateTimeToText(value.asDateTime()) + "'";
    case ds::ftString:
    case ds::ftFixedChar:
    case ds::ftWideString:
      return "'" + value.asString() + "'";
    default:
      return value.asString();
  }
}

std::string TCustomDASQLMonitor::ParamsText(const TDAParams& params) const {
  std::string text;
  for (int i = 0; i < params.Count(); ++i) {
    const TDAParam& p = params.Items(i);
    std::string kind = GetParamDataType(p);
    if (const std::string direction = GetParamParamType(p); !direction.empty()) kind += "," + direction;
    text += ":" + p.Name + "(" + kind + ")";
    if (const std::string value = GetParamValue(p); !value.empty()) text += "=" + value;
    text += " \r\n";
  }
  return text;
}

std::string TCustomDASQLMonitor::ObjectPrefix(const TDAComponent& object) {
  std::string text = " [" + object.Name + "$" + address(&object);
  if (const TDAComponent* connection = object.MonitorConnection())
    text += "; " + connection->Name + "$" + address(connection);
  return text + "] ";
}

}  // namespace dataaccess
