// Operating-system failures as the platform layer reports them upward.
//
// Every platform call that fails records the system's error number (errno) for the calling
// thread at the point of failure, the way the design's "last error" works, and callers classify
// it with osErrorKind(). The engine turns a kind into its own error code; the platform layer
// knows nothing of the engine's codes.
#pragma once

#include <cstdint>

namespace platform {

// Classes of operating-system failure that callers tell apart.
enum class OsErrorKind : uint8_t {
  None,           // no error recorded
  NotFound,       // the file or a folder of its path does not exist
  TooManyFiles,   // the process or the system ran out of file descriptors
  AccessDenied,   // permission, read-only medium, sharing conflict, lock held by another
  BadHandle,      // the descriptor is not open (or not open for this access)
  NoMemory,       // the system could not allocate memory
  NoDevice,       // the device behind the path is missing
  NotSameDevice,  // a rename would cross file systems
  Other,          // anything else (disk full, I/O error, name exists, ...)
};

// The calling thread's last recorded system error number; 0 when none was recorded.
int lastOsError();
// Records `err` as the calling thread's last system error number.
void setLastOsError(int err);

// The calling thread's last socket error number, kept apart from file errors.
int lastSocketError();
void setLastSocketError(int err);

// The class of a system error number.
OsErrorKind osErrorKind(int err);

// Error number that the platform records for a conflict with another open of a file (sharing
// violation) or with a byte-range lock held elsewhere.
inline constexpr int kSharingViolation = 16;  // EBUSY
inline constexpr int kLockViolation = 11;     // EAGAIN
// Error number that the platform records when a path names neither a regular file nor a folder
// (a FIFO, a device, a socket). Such a path is refused at once, never opened and waited on.
inline constexpr int kNotRegularFile = 0x10000;

}  // namespace platform
