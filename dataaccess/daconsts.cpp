#include "dataaccess/daconsts.h"

#include <algorithm>
#include <iterator>

namespace dataaccess {
namespace {

struct Entry {
  DAMessageId id;
  const char* text;
};

constexpr Entry kMessages[] = {
    {SRefreshFailed, "Refresh failed. Found %d records."},
    {SInvalidFetchRows, "FetchRows must be 1..10000."},
    {SNoCorrespondParam, "Not found field corresponding parameter %s."},
    {SUnknownParamDataType, "Unknown type of parameter %s."},
    {SRecordChanged, "Record was changed by another user."},
    {SConnectionIsClosed, "Operation is not allowed when the connection is closed"},
    {SCannotChangeIsUnicode, "Cannot change IsUnicode if Size > 0"},
    {SUnknownDataType, "Unknown data type."},
    {SDataTypeNotSupported, "Data type is not supported."},
    {SFieldNotFound, "Field %s not found."},
    {SAttributeNotFound, "Attribute %s not found."},
    {SCannotConvertType, "Cannot convert type."},
    {SIllegalFilter, "Illegal filter expression."},
    {SNeedBlobType, "Field is not BLOB."},
    {SInvalidBlob, "Invalid BLOB."},
    {SBlobMustBeCached, "Blob must be in cached mode."},
    {SConnectionNotDefined, "Connection is not defined."},
    {SFailedConnect, "Cannot connect to database."},
    {SMacroNotFound, "Macro %s not found."},
    {STransactionInProgress, "User transaction is already in progress."},
    {SUpdateFailed, "Update failed. Found %d records."},
};

std::string fill(std::string_view text, std::string_view placeholder, std::string_view arg) {
  std::string out(text);
  if (size_t at = out.find(placeholder); at != std::string::npos) out.replace(at, placeholder.size(), arg);
  return out;
}

}  // namespace

std::string_view DAMessage(DAMessageId id) {
  auto it =
      std::find_if(std::begin(kMessages), std::end(kMessages), [&](const Entry& e) { return e.id == id; });
  return it == std::end(kMessages) ? std::string_view() : it->text;
}

std::string DAMessage(DAMessageId id, std::string_view arg) {
  return fill(DAMessage(id), "%s", arg);
}

std::string DAMessage(DAMessageId id, int64_t arg) {
  return fill(DAMessage(id), "%d", std::to_string(arg));
}

void DatabaseError(const std::string& message) {
  throw EDatabaseError(message);
}

void DatabaseError(DAMessageId id) {
  throw EDatabaseError(std::string(DAMessage(id)));
}

void RaiseMemDataError(const std::string& message) {
  throw EMemDataError(message);
}

void RaiseMemDataError(DAMessageId id) {
  throw EMemDataError(std::string(DAMessage(id)));
}

void AssertionFailed(const char* message, const char* file, int line) {
  throw EDAAssertionFailed(std::string(message ? message : "Assertion failure") + " (" + file + ", line " +
                           std::to_string(line) + ")");
}

}  // namespace dataaccess
