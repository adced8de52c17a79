#include "engine/storage/veldoros.h"

#include "engine/base/veldorerr.h"
#include "platform/oserror.h"

namespace engine {

uint16_t OSErrorToEngineError(int osError) {
  using platform::OsErrorKind;
  switch (platform::osErrorKind(osError)) {
    case OsErrorKind::NotFound:
      return VELDOR_OSENOENT;
    case OsErrorKind::TooManyFiles:
      return VELDOR_OSEMFILE;
    case OsErrorKind::AccessDenied:
      return VELDOR_OSEACCES;
    case OsErrorKind::BadHandle:
      return VELDOR_OSEBADF;
    case OsErrorKind::NoMemory:
      return VELDOR_OSENOMEM;
    case OsErrorKind::NoDevice:
      return VELDOR_OSENODEV;
    case OsErrorKind::NotSameDevice:
      return VELDOR_OSENOTSAM;
    case OsErrorKind::None:
    case OsErrorKind::Other:
      break;
  }
  return VELDOR_OSUNKNOWN;
}

uint16_t OSErrorToEngineError() {
  return OSErrorToEngineError(platform::lastOsError());
}

int32_t OSGetFileAttributes(const std::string& name, platform::FileSystem& fs) {
  platform::FileInfo info;
  if (!fs.fileInfo(name, info)) return -1;
  int32_t bits = 0;
  if (info.readOnly) bits |= kFileAttributeReadOnly;
  if (info.isDirectory) bits |= kFileAttributeDirectory;
  return bits ? bits : kFileAttributeNormal;
}

int32_t OSGetFileDate(const std::string& name, platform::FileSystem& fs) {
  platform::FileInfo info;
  if (!fs.fileInfo(name, info) || info.isDirectory) return -1;
  return platform::dosDateTime(info);
}

bool OSFileExists(const std::string& name, platform::FileSystem& fs) {
  return OSGetFileDate(name, fs) != -1;
}

std::string OSGetTempPath() {
  return platform::FileSystem::local().tempPath();
}
std::string OSGetComputerName() {
  return platform::FileSystem::local().computerName();
}
double OSGetVersion() {
  return platform::systemVersion();
}
int OSGetPlatform() {
  return 2;
}
uint32_t OSGetLastError() {
  return uint32_t(platform::lastOsError());
}
uint32_t OSGetLastSocketError() {
  return uint32_t(platform::lastSocketError());
}

}  // namespace engine
