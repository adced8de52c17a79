// The data-access library's user-visible messages and the exceptions that carry them.
//
// Every message has a fixed identifier; DAMessage gives its text, with "%s" or "%d" filled from
// the one argument the message takes. Callers raise them through DatabaseError (the database
// error of the dataset layer) or RaiseMemDataError (the library's generic error, used by the
// record store, blobs, object types, the tokenizer and the filter). Broken internal invariants are
// EDAAssertionFailed, raised by DA_ASSERT with the place of the failed check.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "dataset/dberror.h"

namespace dataaccess {

enum DAMessageId : uint16_t {
  SRefreshFailed = 65136,
  SInvalidFetchRows = 65137,
  SNoCorrespondParam = 65138,
  SUnknownParamDataType = 65139,
  SRecordChanged = 65140,
  SConnectionIsClosed = 65141,
  SCannotChangeIsUnicode = 65142,
  SUnknownDataType = 65154,
  SDataTypeNotSupported = 65155,
  SFieldNotFound = 65156,
  SAttributeNotFound = 65157,
  SCannotConvertType = 65158,
  SIllegalFilter = 65159,
  SNeedBlobType = 65160,
  SInvalidBlob = 65161,
  SBlobMustBeCached = 65162,
  SConnectionNotDefined = 65163,
  SFailedConnect = 65164,
  SMacroNotFound = 65165,
  STransactionInProgress = 65166,
  SUpdateFailed = 65167,
};

// The text of a message; an identifier outside the table gives an empty text.
std::string_view DAMessage(DAMessageId id);
// The text with its placeholder filled.
std::string DAMessage(DAMessageId id, std::string_view arg);
std::string DAMessage(DAMessageId id, int64_t arg);

// The dataset layer's database error.
using EDatabaseError = dataset::EDatabaseError;

// The error of the generic components and of the servers behind the drivers: a message and,
// for a server's error, its code (0 otherwise).
class EDAError : public EDatabaseError {
 public:
  explicit EDAError(const std::string& message, int32_t errorCode = 0)
      : EDatabaseError(message), ErrorCode(errorCode) {}
  int32_t ErrorCode;
};

// The library's generic error: a database error like every other error of the layer.
class EMemDataError : public EDatabaseError {
 public:
  using EDatabaseError::EDatabaseError;
};

// A broken invariant of the library: a bug in it or in its caller, never bad user input.
class EDAAssertionFailed : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void DatabaseError(const std::string& message);
[[noreturn]] void DatabaseError(DAMessageId id);
[[noreturn]] void RaiseMemDataError(const std::string& message);
[[noreturn]] void RaiseMemDataError(DAMessageId id);
[[noreturn]] void AssertionFailed(const char* message, const char* file, int line);

}  // namespace dataaccess

// Checks an invariant of the library in every build; a failure raises EDAAssertionFailed with
// `message` and the place of the check.
#define DA_ASSERT(cond, message) \
  ((cond) ? void(0) : ::dataaccess::AssertionFailed((message), __FILE__, __LINE__))
