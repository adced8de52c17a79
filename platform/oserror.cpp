#include "platform/oserror.h"

#include <cerrno>

namespace platform {

namespace {
thread_local int tLastOsError = 0;
thread_local int tLastSocketError = 0;
}  // namespace

static_assert(kSharingViolation == EBUSY && kLockViolation == EAGAIN);

int lastOsError() {
  return tLastOsError;
}
void setLastOsError(int err) {
  tLastOsError = err;
}
int lastSocketError() {
  return tLastSocketError;
}
void setLastSocketError(int err) {
  tLastSocketError = err;
}

OsErrorKind osErrorKind(int err) {
  switch (err) {
    case 0:
      return OsErrorKind::None;
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
      return OsErrorKind::NotFound;
    case EMFILE:
    case ENFILE:
      return OsErrorKind::TooManyFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
    case ETXTBSY:
    case EAGAIN:
    case EISDIR:
    case kNotRegularFile:
      return OsErrorKind::AccessDenied;
    case EBADF:
      return OsErrorKind::BadHandle;
    case ENOMEM:
      return OsErrorKind::NoMemory;
    case ENODEV:
    case ENXIO:
      return OsErrorKind::NoDevice;
    case EXDEV:
      return OsErrorKind::NotSameDevice;
    default:
      return OsErrorKind::Other;
  }
}

}  // namespace platform
