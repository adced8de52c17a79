#include "engine/base/veldorerr.h"

#include <algorithm>
#include <array>

#include "platform/oserror.h"

namespace engine {

namespace {

// clang-format off
const EngineErrorInfo kErrorTable[] = {
    {VELDOR_NONE, "VELDOR_NONE", "", 0, {}},
    {VELDOR_BOF, "VELDOR_BOF", "Beginning of table '%s' unexpectedly encountered", 1, {kItemTable}},
    {VELDOR_EOF, "VELDOR_EOF", "End of table '%s' unexpectedly encountered", 1, {kItemTable}},
    {VELDOR_KEYORRECDELETED, "VELDOR_KEYORRECDELETED", "Record has been changed or deleted by another user, session, or table cursor in the table '%s'", 1, {kItemTable}},
    {VELDOR_NOCURRREC, "VELDOR_NOCURRREC", "No current record in the table '%s'", 1, {kItemTable}},
    {VELDOR_RECNOTFOUND, "VELDOR_RECNOTFOUND", "Record not found in the table '%s'", 1, {kItemTable}},
    {VELDOR_ENDOFBLOB, "VELDOR_ENDOFBLOB", "End of blob data in the table '%s' reached prematurely", 1, {kItemTable}},
    {VELDOR_HEADERCORRUPT, "VELDOR_HEADERCORRUPT", "Header information corrupt in the table '%s'", 1, {kItemTable}},
    {VELDOR_FILECORRUPT, "VELDOR_FILECORRUPT", "Data record buffers corrupt in the table '%s'", 1, {kItemTable}},
    {VELDOR_MEMOCORRUPT, "VELDOR_MEMOCORRUPT", "BLOB block buffers corrupt in the table '%s'", 1, {kItemTable}},
    {VELDOR_INDEXCORRUPT, "VELDOR_INDEXCORRUPT", "Index page buffers corrupt in the table '%s'", 1, {kItemTable}},
    {VELDOR_READERR, "VELDOR_READERR", "Error reading from the table '%s'", 1, {kItemTable}},
    {VELDOR_WRITEERR, "VELDOR_WRITEERR", "Error writing to the table '%s'", 1, {kItemTable}},
    {VELDOR_FILEDELETEFAIL, "VELDOR_FILEDELETEFAIL", "Cannot delete the table '%s'", 1, {kItemTable}},
    {VELDOR_FILENOACCESS, "VELDOR_FILENOACCESS", "Error accessing header information for the table '%s'", 1, {kItemTable}},
    {VELDOR_RECTOOBIG, "VELDOR_RECTOOBIG", "Maximum record size exceeded in the table '%s'", 1, {kItemTable}},
    {VELDOR_TABLEFULL, "VELDOR_TABLEFULL", "The table '%s' is full and cannot contain any more data", 1, {kItemTable}},
    {VELDOR_INTERNALLIMIT, "VELDOR_INTERNALLIMIT", "Too many filters defined for the table '%s'", 1, {kItemTable}},
    {VELDOR_INDEXLIMIT, "VELDOR_INDEXLIMIT", "Maximum or minimum limits on number of indexes or fields in an index exceeded in the table '%s'", 1, {kItemTable}},
    {VELDOR_FLDLIMIT, "VELDOR_FLDLIMIT", "Maximum or minimum limits on number of fields, auto-increment field value, or field size exceeded in the table '%s'", 1, {kItemTable}},
    {VELDOR_OPENBLOBLIMIT, "VELDOR_OPENBLOBLIMIT", "Too many blobs opened in the table '%s'", 1, {kItemTable}},
    {VELDOR_BLOBLIMIT, "VELDOR_BLOBLIMIT", "Too many blob fields or invalid blob block size specified for the table '%s'", 1, {kItemTable}},
    {VELDOR_KEYVIOL, "VELDOR_KEYVIOL", "Duplicate key found in the index '%s' of the table '%s'", 2, {kItemIndex, kItemTable}},
    {VELDOR_MINVALERR, "VELDOR_MINVALERR", "The value for the field '%s' in the table '%s' is below the minimum allowable value", 2, {kItemField, kItemTable}},
    {VELDOR_MAXVALERR, "VELDOR_MAXVALERR", "The value for the field '%s' in the table '%s' is above the maximum allowable value", 2, {kItemField, kItemTable}},
    {VELDOR_REQDERR, "VELDOR_REQDERR", "A value must be provided for the field '%s' in the table '%s'", 2, {kItemField, kItemTable}},
    {VELDOR_OUTOFRANGE, "VELDOR_OUTOFRANGE", "Invalid field number or name '%s' specified for the table '%s'", 2, {kItemField, kItemTable}},
    {VELDOR_PRIMARYKEYREDEFINE, "VELDOR_PRIMARYKEYREDEFINE", "A primary index is already defined for the table '%s' and cannot be added again", 1, {kItemTable}},
    {VELDOR_INVALIDBLOBOFFSET, "VELDOR_INVALIDBLOBOFFSET", "Invalid blob offset into the table '%s' specified", 1, {kItemTable}},
    {VELDOR_INVALIDFLDTYPE, "VELDOR_INVALIDFLDTYPE", "Invalid field definition specified for the field '%s' in the table '%s'", 2, {kItemField, kItemTable}},
    {VELDOR_INVALIDVCHKSTRUCT, "VELDOR_INVALIDVCHKSTRUCT", "Invalid default, min or max validity check, or expression specified for the field '%s' in the table '%s'", 2, {kItemField, kItemTable}},
    {VELDOR_INDEXNAMEREQUIRED, "VELDOR_INDEXNAMEREQUIRED", "The secondary index name is missing or not specified for the table '%s'", 1, {kItemTable}},
    {VELDOR_INVALIDPASSWORD, "VELDOR_INVALIDPASSWORD", "Password provided for the table '%s' is invalid", 1, {kItemTable}},
    {VELDOR_INVALIDINDEXNAME, "VELDOR_INVALIDINDEXNAME", "Invalid secondary index name '%s' specified for the table '%s'", 2, {kItemIndex, kItemTable}},
    {VELDOR_INVALIDIDXDESC, "VELDOR_INVALIDIDXDESC", "Invalid field number '%s' specified in the index '%s' for the table '%s'", 3, {kItemField, kItemIndex, kItemTable}},
    {VELDOR_INVALIDKEY, "VELDOR_INVALIDKEY", "Invalid key size specified in the index '%s' for the table '%s'", 2, {kItemIndex, kItemTable}},
    {VELDOR_INDEXEXISTS, "VELDOR_INDEXEXISTS", "The secondary index '%s' already exists for the table '%s'", 2, {kItemIndex, kItemTable}},
    {VELDOR_INVALIDBLOBLEN, "VELDOR_INVALIDBLOBLEN", "Invalid blob length in the table '%s'", 1, {kItemTable}},
    {VELDOR_INVALIDBLOBHANDLE, "VELDOR_INVALIDBLOBHANDLE", "Invalid blob handle for the table '%s' specified", 1, {kItemTable}},
    {VELDOR_TABLEOPEN, "VELDOR_TABLEOPEN", "The table '%s' is already in use", 1, {kItemTable}},
    {VELDOR_INVALIDFIELDNAME, "VELDOR_INVALIDFIELDNAME", "Invalid or duplicate field name '%s' specified for the table '%s'", 2, {kItemField, kItemTable}},
    {VELDOR_TABLENAMETOOLONG, "VELDOR_TABLENAMETOOLONG", "Table name too long for its data, index and blob files to have names of their own: '%s'", 1, {kItemTable}},
    {VELDOR_NOSUCHFILTER, "VELDOR_NOSUCHFILTER", "Invalid filter handle specified for the table '%s'", 1, {kItemTable}},
    {VELDOR_INVALIDFILTER, "VELDOR_INVALIDFILTER", "Filter error for the table '%s' - %s", 2, {kItemTable, kItemText}},
    {VELDOR_INVALIDINDEXDELETE, "VELDOR_INVALIDINDEXDELETE", "The primary index cannot be removed from the table '%s'", 1, {kItemTable}},
    {VELDOR_LOCKED, "VELDOR_LOCKED", "The table '%s' is already locked by another user", 1, {kItemTable}},
    {VELDOR_UNLOCKFAILED, "VELDOR_UNLOCKFAILED", "Cannot unlock table or record in the table '%s'", 1, {kItemTable}},
    {VELDOR_LOCKTIMEOUT, "VELDOR_LOCKTIMEOUT", "General lock failure with the table '%s'", 1, {kItemTable}},
    {VELDOR_NEEDEXCLACCESS, "VELDOR_NEEDEXCLACCESS", "The table '%s' must be opened exclusively", 1, {kItemTable}},
    {VELDOR_RECLOCKFAILED, "VELDOR_RECLOCKFAILED", "Record in the table '%s' is in use by another user", 1, {kItemTable}},
    {VELDOR_NOTSUFFTABLERIGHTS, "VELDOR_NOTSUFFTABLERIGHTS", "Insufficient rights to the table '%s', a password is required", 1, {kItemTable}},
    {VELDOR_NOTABLOB, "VELDOR_NOTABLOB", "Invalid blob field '%s' specified for the table '%s'", 2, {kItemField, kItemTable}},
    {VELDOR_NOTINITIALIZED, "VELDOR_NOTINITIALIZED", "The database engine is not initialized", 0, {}},
    {VELDOR_OSENOENT, "VELDOR_OSENOENT", "Table '%s' does not exist", 1, {kItemTable}},
    {VELDOR_OSEMFILE, "VELDOR_OSEMFILE", "Too many operating system files open while attempting to open the table '%s'", 1, {kItemTable}},
    {VELDOR_OSEACCES, "VELDOR_OSEACCES", "Access denied to table '%s'", 1, {kItemTable}},
    {VELDOR_OSEBADF, "VELDOR_OSEBADF", "Invalid operating system file handle for the table '%s'", 1, {kItemTable}},
    {VELDOR_OSENOMEM, "VELDOR_OSENOMEM", "There is insufficient operating system memory available for the current operation", 0, {}},
    {VELDOR_OSEINVMEM, "VELDOR_OSEINVMEM", "Invalid length for the in-memory table '%s'", 1, {kItemTable}},
    {VELDOR_OSENODEV, "VELDOR_OSENODEV", "Access denied to logical operating system device for the table '%s'", 1, {kItemTable}},
    {VELDOR_OSENOTSAM, "VELDOR_OSENOTSAM", "The table '%s' has been moved", 1, {kItemTable}},
    {VELDOR_OSUNKNOWN, "VELDOR_OSUNKNOWN", "An unknown operating system error occurred with the table '%s'", 1, {kItemTable}},
    {VELDOR_REMOTECOMMLOST, "VELDOR_REMOTECOMMLOST", "The connection to the database server at '%s' has been lost", 1, {kItemServer}},
    {VELDOR_REMOTEUNKNOWN, "VELDOR_REMOTEUNKNOWN", "An unknown error ('%s') occurred with the connection to the database server at '%s', please check the server log", 2, {kItemText, kItemServer}},
    {VELDOR_REMOTECONNECT, "VELDOR_REMOTECONNECT", "A connection to the database server at '%s' cannot be established", 1, {kItemServer}},
    {VELDOR_REMOTENOLOGIN, "VELDOR_REMOTENOLOGIN", "A connection to the database server at '%s' cannot be established, the server is not accepting new logins", 1, {kItemServer}},
    {VELDOR_REMOTEMAXCONNECT, "VELDOR_REMOTEMAXCONNECT", "A connection to the database server at '%s' cannot be established, the maximum number of connections has been reached", 1, {kItemServer}},
    {VELDOR_REMOTEADDRESSBLOCK, "VELDOR_REMOTEADDRESSBLOCK", "A connection to the database server at '%s' cannot be established, the client address is blocked", 1, {kItemServer}},
    {VELDOR_REMOTECALLBACK, "VELDOR_REMOTECALLBACK", "", 0, {}},
    {VELDOR_REMOTECALLBACKERR, "VELDOR_REMOTECALLBACKERR", "A server callback error occurred for the database server at '%s'", 1, {kItemServer}},
    {VELDOR_REMOTEVERSION, "VELDOR_REMOTEVERSION", "A call to the database server at '%s' failed, the client engine version does not match the server", 1, {kItemServer}},
    {VELDOR_REMOTEINVLOGIN, "VELDOR_REMOTEINVLOGIN", "A connection to the database server at '%s' cannot be established, the login information provided is invalid", 1, {kItemServer}},
    {VELDOR_REMOTENOTAUTH, "VELDOR_REMOTENOTAUTH", "The user '%s' is not authorized to perform this operation with the database '%s' on the database server at '%s'", 3, {kItemUser, kItemDatabase, kItemServer}},
    {VELDOR_REMOTENOTADMIN, "VELDOR_REMOTENOTADMIN", "The user '%s' is not authorized to perform administration functions on the database server at '%s'", 2, {kItemUser, kItemServer}},
    {VELDOR_REMOTEINVUSER, "VELDOR_REMOTEINVUSER", "The user name is either invalid or blank", 0, {}},
    {VELDOR_REMOTENOUSER, "VELDOR_REMOTENOUSER", "The user '%s' does not exist on the database server at '%s'", 2, {kItemUser, kItemServer}},
    {VELDOR_REMOTEDUPUSER, "VELDOR_REMOTEDUPUSER", "The user '%s' already exists on the database server at '%s'", 2, {kItemUser, kItemServer}},
    {VELDOR_REMOTEINVDB, "VELDOR_REMOTEINVDB", "The database name or directory is either invalid or blank", 0, {}},
    {VELDOR_REMOTENODB, "VELDOR_REMOTENODB", "The database '%s' does not exist on the database server at '%s'", 2, {kItemDatabase, kItemServer}},
    {VELDOR_REMOTEDUPDB, "VELDOR_REMOTEDUPDB", "The database '%s' already exists on the database server at '%s'", 2, {kItemDatabase, kItemServer}},
    {VELDOR_REMOTEINVDBUSER, "VELDOR_REMOTEINVDBUSER", "The database user name is either invalid or blank", 0, {}},
    {VELDOR_REMOTENODBUSER, "VELDOR_REMOTENODBUSER", "The database user '%s' does not exist for the database '%s' on the database server at '%s'", 3, {kItemUser, kItemDatabase, kItemServer}},
    {VELDOR_REMOTEDUPDBUSER, "VELDOR_REMOTEDUPDBUSER", "The database user '%s' already exists for the database '%s' on the database server at '%s'", 3, {kItemUser, kItemDatabase, kItemServer}},
    {VELDOR_REMOTEINVREQUEST, "VELDOR_REMOTEINVREQUEST", "An invalid or unknown request was made to the database server at '%s'", 1, {kItemServer}},
    {VELDOR_IMPORTERROR, "VELDOR_IMPORTERROR", "An error occurred during the import into the table '%s' - %s", 2, {kItemTable, kItemText}},
    {VELDOR_EXPORTERROR, "VELDOR_EXPORTERROR", "An error occurred during the export from the table '%s' - %s", 2, {kItemTable, kItemText}},
    {VELDOR_SQLPARSE, "VELDOR_SQLPARSE", "SQL error - %s", 1, {kItemText}},
    {VELDOR_OLDVERSION, "VELDOR_OLDVERSION", "The table '%s' is not the correct version", 1, {kItemTable}},
    {VELDOR_SEARCHCOLREQD, "VELDOR_SEARCHCOLREQD", "Invalid field '%s' specified for the index '%s' in the table '%s'", 3, {kItemField, kItemIndex, kItemTable}},
    {VELDOR_TABLEEXISTS, "VELDOR_TABLEEXISTS", "The table '%s' already exists", 1, {kItemTable}},
    {VELDOR_COMPRESS, "VELDOR_COMPRESS", "Error compressing data", 0, {}},
    {VELDOR_UNCOMPRESS, "VELDOR_UNCOMPRESS", "Error uncompressing data", 0, {}},
    {VELDOR_CANNOTLOADLDDRV, "VELDOR_CANNOTLOADLDDRV", "The language driver for the table '%s' is not available or installed", 1, {kItemTable}},
};
// clang-format on

constexpr size_t kErrorTableSize = sizeof(kErrorTable) / sizeof(kErrorTable[0]);

struct ErrorContext {
  uint16_t code = 0;
  uint32_t osError = 0;
  uint32_t socketError = 0;
  std::string items[7];
};

thread_local ErrorContext tContext;

// Cuts `text` to at most `limit` bytes without splitting a UTF-8 sequence.
std::string cutText(std::string_view text, size_t limit) {
  if (text.size() <= limit) return std::string(text);
  size_t n = limit;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return std::string(text.substr(0, n));
}

}  // namespace

const EngineErrorInfo* FindEngineErrorInfo(uint16_t code) {
  const EngineErrorInfo* end = kErrorTable + kErrorTableSize;
  const EngineErrorInfo* it = std::lower_bound(
      kErrorTable, end, code, [](const EngineErrorInfo& e, uint16_t c) { return e.code < c; });
  return (it != end && it->code == code) ? it : nullptr;
}

std::string_view GetEngineErrorName(uint16_t code) {
  const EngineErrorInfo* info = FindEngineErrorInfo(code);
  return info ? info->name : std::string_view();
}

void SetEngineErrorContext(uint16_t code, uint32_t osError, uint32_t socketError, std::string_view server,
                           std::string_view user, std::string_view database, std::string_view table,
                           std::string_view field, std::string_view index, std::string_view text) {
  ErrorContext& c = tContext;
  c.code = code;
  c.osError = osError;
  c.socketError = socketError;
  const std::string_view items[7] = {server, user, database, table, field, index, text};
  for (int i = 0; i < 7; ++i) c.items[i] = cutText(items[i], kEngineStringMax);
}

void ClearEngineErrorContext() {
  tContext = ErrorContext{};
}

uint16_t GetEngineErrorCode() {
  return tContext.code;
}

std::string GetEngineErrorItem(int index) {
  const ErrorContext& c = tContext;
  if (index >= 0 && index < 7) return c.items[index];
  if (index == kItemOSError) return std::to_string(c.osError);
  if (index == kItemSocketError) return std::to_string(c.socketError);
  return {};
}

std::string GetEngineErrorMessage(uint16_t code) {
  const EngineErrorInfo* info = FindEngineErrorInfo(code);
  if (!info || info->text.empty()) return std::string(kUnknownEngineErrorText);
  const ErrorContext& c = tContext;
  std::string out;
  std::string_view rest = info->text;
  int next = 0;
  for (;;) {
    size_t at = rest.find("%s");
    if (at == std::string_view::npos) {
      out.append(rest);
      break;
    }
    out.append(rest.substr(0, at));
    if (next < info->itemCount) out.append(c.items[info->items[next]]);
    ++next;
    rest.remove_prefix(at + 2);
  }
  return cutText(cutText(out, kEngineStringMax), kEngineMessageMax);
}

void GetEngineErrorMessage(uint16_t code, char* buffer) {
  const std::string text = GetEngineErrorMessage(code);
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = '\0';
}

void EnterEngineErrorSection() {}
void LeaveEngineErrorSection() {}

EVELDOREngineError::EVELDOREngineError(uint16_t code, uint32_t osError, uint32_t socketError,
                                       const std::string (&items)[7], const std::string& message)
    : platform::EDatabaseError("VELDOR Engine Error # " + std::to_string(code) + " " + message),
      errorCode_(code),
      osError_(osError),
      socketError_(socketError),
      errorText_(message) {
  std::copy(std::begin(items), std::end(items), std::begin(items_));
}

const std::string& EVELDOREngineError::Item(int index) const {
  static const std::string empty;
  return (index >= 0 && index < 7) ? items_[index] : empty;
}

void RaiseEngineError(uint16_t code) {
  const ErrorContext& c = tContext;
  throw EVELDOREngineError(code, c.osError, c.socketError, c.items, GetEngineErrorMessage(code));
}

void RaiseEngineErrorIfSet(uint16_t code) {
  if (code != 0) RaiseEngineError(code);
}

void SignalEngineError(uint16_t code, std::string_view server, std::string_view user,
                       std::string_view database, std::string_view table, std::string_view field,
                       std::string_view index, std::string_view text) {
  ClearEngineErrorContext();
  const auto socketError = static_cast<uint32_t>(platform::lastSocketError());
  const auto osError = static_cast<uint32_t>(platform::lastOsError());
  SetEngineErrorContext(code, osError, socketError, server, user, database, table, field, index, text);
  RaiseEngineError(code);
}

void SignalEngineError(uint16_t code) {
  SignalEngineError(code, {}, {}, {}, {}, {}, {}, {});
}

void SignalTableError(uint16_t code, std::string_view table, std::string_view database) {
  SignalEngineError(code, {}, {}, database, table, {}, {}, {});
}

}  // namespace engine
