// The engine's operating-system routines. File handles, transfers, truncation, flushing and locks
// are the methods of platform::FileSystem and platform::OsFile, which the file layer calls
// directly; critical sections are std::recursive_mutex; sleeps go through FileSystem::sleepFor.
// What remains here are the small queries the rest of the engine makes by name.
#pragma once

#include <cstdint>
#include <string>

#include "platform/osfile.h"

namespace engine {

// Attribute bits reported by OSGetFileAttributes.
inline constexpr int32_t kFileAttributeReadOnly = 0x01;
inline constexpr int32_t kFileAttributeDirectory = 0x10;
inline constexpr int32_t kFileAttributeNormal = 0x80;

// The engine code (0x2B..) for a system error number, and for the thread's last one.
uint16_t OSErrorToEngineError(int osError);
uint16_t OSErrorToEngineError();

// Attribute bits of a file or folder; -1 when it cannot be read.
int32_t OSGetFileAttributes(const std::string& name,
                            platform::FileSystem& fs = platform::FileSystem::local());
// Last write time of a file as a local DOS date and time; -1 for a folder or a missing file.
int32_t OSGetFileDate(const std::string& name, platform::FileSystem& fs = platform::FileSystem::local());
// True when OSGetFileDate finds a file.
bool OSFileExists(const std::string& name, platform::FileSystem& fs = platform::FileSystem::local());

// The folder for temporary files, ending with a delimiter.
std::string OSGetTempPath();
std::string OSGetComputerName();
// The system's version as major.minor.
double OSGetVersion();
// Platform id: always 2, the family whose case mapping needs no workaround.
int OSGetPlatform();
// The calling thread's last system error and last socket error.
uint32_t OSGetLastError();
uint32_t OSGetLastSocketError();

}  // namespace engine
