// The errors of the dataset layer: the database error that datasets, fields, parameters and
// connections raise for misuse and bad values, and the silent abort that ends an operation without
// a message (an event handler calls Abort to refuse a post, a delete or an open).
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/dberror.h"

namespace dataset {

using EDatabaseError = platform::EDatabaseError;

// Never shown to the user: whoever catches it just stops.
class EAbort : public std::runtime_error {
 public:
  EAbort() : std::runtime_error("Operation aborted") {}
};

// A value that cannot be converted to what is asked of it.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void DatabaseError(const std::string& message);
// `format` with its one "%s" replaced by `arg`.
[[noreturn]] void DatabaseErrorFmt(std::string_view format, std::string_view arg);
std::string FormatMessage(std::string_view format, std::string_view arg);
[[noreturn]] void Abort();

// The layer's fixed messages.
inline constexpr const char* SNotEditing = "Dataset not in edit or insert mode";
inline constexpr const char* SDataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* SDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* SDataSetEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr const char* SDataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* SFieldNotFound = "Field '%s' not found";
inline constexpr const char* SFieldReadOnly = "Field '%s' cannot be modified";
inline constexpr const char* SFieldRequired = "Field '%s' must have a value";
inline constexpr const char* SFieldAccessInFilter = "Cannot access field '%s' in a filter";
inline constexpr const char* SInvalidFieldValue = "Invalid value for field '%s'";
inline constexpr const char* SCircularDataLink = "Circular datalinks are not allowed";
inline constexpr const char* SParamNotFound = "Parameter '%s' not found";
inline constexpr const char* SNotSupported = "Capability not supported";
inline constexpr const char* SUnknownFieldType = "Field '%s' is of an unknown type";
inline constexpr const char* SDuplicateFieldName = "Duplicate field name '%s'";
inline constexpr const char* SInvalidBookmark = "Invalid bookmark";

}  // namespace dataset
