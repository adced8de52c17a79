#include "oracle/oraerror.h"

#include <cstdlib>

namespace oracle {

std::string TrimRight(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n' || text.back() == '\0'))
    text.pop_back();
  return text;
}

EOraError::EOraError(int32_t errorCode, const std::string& msg)
    : dataaccess::EDAError(TrimRight(msg), errorCode) {}

int32_t GetOraError(sword status, std::string& msg, void* errorHandle) {
  CheckOCI80();
  switch (status) {
    case OCI_SUCCESS:
      return 0;
    case OCI_NEED_DATA:
      msg = "OCI_NEED_DATA";
      return std::abs(status);
    case OCI_INVALID_HANDLE:
      msg = "OCI_INVALID_HANDLE";
      return std::abs(status);
    case OCI_SUCCESS_WITH_INFO:
    case OCI_NO_DATA:
    case OCI_ERROR:
      break;
    default:
      msg = "Unknown error: ORA-" + std::to_string(status);
      return std::abs(status);
  }
  OraText buffer[513] = {};
  sb4 code = status;
  const sword got = OCIErrorGet(errorHandle != nullptr ? errorHandle : hOCIError, 1, nullptr, &code, buffer,
                                512, OCI_HTYPE_ERROR);
  msg.assign(reinterpret_cast<const char*>(buffer));
  switch (got) {
    case OCI_SUCCESS:
      if (msg.empty()) msg = "ORA-" + std::to_string(code);
      break;
    case OCI_SUCCESS_WITH_INFO:
      msg = "OCI_SUCCESS_WITH_INFO";
      break;
    case OCI_NO_DATA:
      msg = "OCI_NO_DATA";
      break;
    case OCI_ERROR:
      if (msg.rfind("ORA-", 0) == 0) {
        const std::string digits = msg.substr(4, 5);
        char* end = nullptr;
        const long parsed = std::strtol(digits.c_str(), &end, 10);
        if (!digits.empty() && end == digits.c_str() + digits.size()) code = sb4(parsed);
      }
      break;
    default:
      break;
  }
  return std::abs(code);
}

int32_t GetOraErrorCode(sword status, void* errorHandle) {
  std::string msg;
  return GetOraError(status, msg, errorHandle);
}

void OraError(sword status, void* errorHandle) {
  std::string msg;
  const int32_t code = GetOraError(status, msg, errorHandle);
  if (status != OCI_SUCCESS_WITH_INFO) throw EOraError(code, msg);
}

void Check(sword status, void* errorHandle) {
  if (status != OCI_SUCCESS) OraError(status, errorHandle);
}

void RaiseError(const std::string& msg) {
  throw std::runtime_error(msg);
}

}  // namespace oracle
