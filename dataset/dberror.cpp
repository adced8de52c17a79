#include "dataset/dberror.h"

namespace dataset {

void DatabaseError(const std::string& message) {
  throw EDatabaseError(message);
}

std::string FormatMessage(std::string_view format, std::string_view arg) {
  std::string text(format);
  if (const size_t at = text.find("%s"); at != std::string::npos) text.replace(at, 2, arg);
  return text;
}

void DatabaseErrorFmt(std::string_view format, std::string_view arg) {
  throw EDatabaseError(FormatMessage(format, arg));
}

void Abort() {
  throw EAbort();
}

}  // namespace dataset
