#include "oracle/orasqlmonitor.h"

#include <iterator>

#include "oracle/ora_params.h"

namespace oracle {

namespace ds = dataset;
namespace da = dataaccess;

namespace {

// Names by field type below 38; the empty ones have no Oracle name.
constexpr const char* kTypeNames[38] = {
    "Unknown", "VARCHAR",   "",         "INTEGER", "",          "BOOLEAN", "FLOAT",    "",
    "",        "DATE",      "TIME",     "",        "",          "",        "",         "BLOB",
    "MEMO",    "",          "",         "",        "",          "",        "CURSOR",   "CHAR",
    "VARCHAR", "INTEGER",   "",         "ARRAY",   "REFERENCE", "DATASET", "HUGEBLOB", "HUGECLOB",
    "VARIANT", "INTERFACE", "DISPATCH", "",        "",          ""};

bool isObjectType(ds::FieldType type) {
  return type >= ds::ftADT && type <= ds::ftDataSet;
}

const TOraParam* oraParam(const da::TDAParam& param) {
  return dynamic_cast<const TOraParam*>(&param);
}

}  // namespace

TOraSQLMonitor::TOraSQLMonitor() {
  RegisterWith(Class());
}

da::TDASQLMonitorClass& TOraSQLMonitor::Class() {
  static da::TDASQLMonitorClass oracle;
  return oracle;
}

TOraSQLMonitor* TOraSQLMonitor::GetMonitor() {
  return static_cast<TOraSQLMonitor*>(Class().GetMonitor());
}

std::string TOraSQLMonitor::GetParamDataType(const da::TDAParam& param) const {
  const ds::FieldType type = param.DataType;
  if (type == da::ftIntervalYM) return "INTERVAL_YM";
  if (type == da::ftTimeStamp) return "TIMESTAMP";
  if (type == da::ftIntervalDS) return "INTERVAL_DS";
  if (type == da::ftTimeStampTZ) return "TIMESTAMP_TZ";
  if (type == da::ftTimeStampLTZ) return "TIMESTAMP_LTZ";
  if (type == da::ftNumber) return "NUMBER";
  if (type == da::ftBFile) return "BFILE";
  if (type == da::ftLabel) return "LABEL";
  // Object parameters carry no object type until object values exist.
  const std::string objectType = ":unknown";
  const TOraParam* ora = oraParam(param);
  switch (type) {
    case ds::ftString:
    case ds::ftFixedChar:
    case ds::ftWideString: {
      std::string text = type == ds::ftFixedChar ? "CHAR" : "VARCHAR";
      if (!ora || ora->GetLength() < 2) {
        const ds::Variant value = param.GetValue();
        const size_t length = value.isNull()             ? 0
                              : type == ds::ftWideString ? value.asWideString().size()
                                                         : value.asString().size();
        text += "[" + std::to_string(length) + "]";
      } else if (ora->GetTable() && param.GetSize() >= 1) {
        text += "[" + std::to_string(param.GetSize()) + "]";
      }
      return text;
    }
    case ds::ftBlob:
    case ds::ftOraBlob:
      return "BLOB";
    case ds::ftMemo:
      return "LONG";
    case ds::ftOraClob:
      return "CLOB";
    case ds::ftCursor:
      return "CURSOR";
    case ds::ftADT:
      return "OBJECT" + objectType;
    case ds::ftArray:
      return "ARRAY" + objectType;
    case ds::ftReference:
      return "Ref" + objectType;
    case ds::ftDataSet:
      return "TABLE" + objectType;
    default:
      return size_t(type) < std::size(kTypeNames) ? kTypeNames[type] : "";
  }
}

std::string TOraSQLMonitor::GetParamValue(const da::TDAParam& param) const {
  const TOraParam* ora = oraParam(param);
  if (ora && ora->GetTable()) return "<PL/SQL TABLE[" + std::to_string(ora->GetLength()) + "]>";
  const ds::FieldType type = param.DataType;
  auto blobSize = [&] { return std::to_string(param.ValueObject() ? param.ValueObject()->GetSize() : 0); };
  if (type == ds::ftCursor) return "<CURSOR>";
  if (type == ds::ftOraClob) return "<LOB:" + blobSize() + ">";
  if (type == ds::ftOraBlob) return "<BLOB:" + blobSize() + ">";
  if (param.IsNull()) return "<NULL>";
  if (param.Value().type() == ds::VariantType::Array)
    return "<ARRAY[" + std::to_string(param.Value().asArray().size()) + "]>";
  if (isObjectType(type)) return "";
  return TCustomDASQLMonitor::GetParamValue(param);
}

void TOraSQLMonitor::Savepoint(const da::TDAComponent& session, const std::string& user,
                               const std::string& server, const std::string& name) {
  Class().SQLTransactNotice("Savepoint " + name + ": ", session, user, server);
}

void TOraSQLMonitor::RollbackToSavepoint(const da::TDAComponent& session, const std::string& user,
                                         const std::string& server, const std::string& name) {
  Class().SQLTransactNotice("Rollback to savepoint " + name + ": ", session, user, server);
}

}  // namespace oracle
