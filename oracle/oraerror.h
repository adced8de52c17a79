// Oracle errors: the exception that carries an Oracle error number, the routines that turn an
// OCI status into a number and a message, and the client's fixed messages.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "dataaccess/daconsts.h"
#include "oracle/oracall.h"

namespace oracle {

// A server or client-library failure. ErrorCode is the positive Oracle number (1017 for
// ORA-01017); the message is Oracle's text without trailing blanks and line ends.
class EOraError : public dataaccess::EDAError {
 public:
  EOraError(int32_t errorCode, const std::string& msg);
};

// The message and number of an OCI status; a null handle means the shared hOCIError.
// Requires the OCI8 level ("Need Oracle 8 Call Interface" otherwise).
int32_t GetOraError(sword status, std::string& msg, void* errorHandle = nullptr);
int32_t GetOraErrorCode(sword status, void* errorHandle = nullptr);
// Raises EOraError for any status but success with information.
void OraError(sword status, void* errorHandle = nullptr);
// Nothing for OCI_SUCCESS and OCI_SUCCESS_WITH_INFO; else OraError.
void Check(sword status, void* errorHandle = nullptr);
// Raises the plain failure (std::runtime_error) with `msg`.
[[noreturn]] void RaiseError(const std::string& msg);

// The text without trailing blanks, tabs and line ends.
std::string TrimRight(std::string text);

// Fixed messages.
inline constexpr const char* SSessionNotDefined = "Session is not defined";
inline constexpr const char* SSessionNotConnected = "Session is not connected";
inline constexpr const char* SInvalidIndex = "Index of array is not range";
inline constexpr const char* STypeNotInTable = "This type cannot consist in table";
inline constexpr const char* STypeNotInDMLArray = "Type is not allowed in DML array";
inline constexpr const char* SCursorNotOpened = "Cursor must be opened";
inline constexpr const char* SArrayParam = "%s parameter must be array with length %d";
inline constexpr const char* STooManyInputParams = "Too many Input params";
inline constexpr const char* SNotEnoughInputParams = "Not enough Input params";
inline constexpr const char* STooManyOutputParams = "Too many Output params";
inline constexpr const char* SNotEnoughOutputParams = "Not enough Output params";
inline constexpr const char* SNotRows = "SQL statement doesn't return rows";
inline constexpr const char* SNeedThreadSafety = "Session must be Thread Safety";
inline constexpr const char* SReopenNotAllowed = "Reopen is not allowed";
inline constexpr const char* SLobNotAllocated = "Lob is not allocated";
inline constexpr const char* SSvcCtxNotDefined = "OCISvcCtx is not defined";
inline constexpr const char* SLobParamDirection = "Lob parameter should be Input or Output";
inline constexpr const char* SLobNotInited = "Lob locator should be inited";
inline constexpr const char* SCannotDisableLobCache = "Cannot disable lob caching. Lob is not empty.";
inline constexpr const char* SNeedObjectField = "Field type should be Object";
inline constexpr const char* SNoDataSetField = "Missing DataSetField property";
inline constexpr const char* SInvalidInterval = "Invalid interval.";

}  // namespace oracle
