// Facts about the running process: its current directory, the folder of its program file, the
// system's folder for temporary files and a number for the calling thread.
// Every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The process's current directory; empty when the system cannot tell (it was removed).
std::string currentDirectory();

// The folder that holds the running program's file, without a trailing '/'; the current
// directory when the system cannot tell.
std::string programDirectory();

// The folder for temporary files: $TMPDIR when it names an existing folder, else /tmp; ends
// with '/'. The one rule every layer finds its temporary folder by.
std::string systemTempDirectory();

// The kernel's id of the calling thread: unique among the live threads of the system.
uint64_t currentThreadNumber();

// The machine's host name, cut to `maxLength` bytes.
std::string computerName(size_t maxLength);

// The id of the running process.
uint32_t currentProcessId();

// The real user id of the running process.
uint32_t currentUserId();

}  // namespace platform
