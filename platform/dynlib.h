// Shared libraries loaded at run time.
//
// Threads: safe from any thread; a handle is closed by its owner once no symbol of it is in use.
#pragma once

#include <string>

namespace platform {

// Loads the library at `path` (a bare name is searched on the library path) with its symbols
// resolved at once. Returns nullptr and puts the loader's reason in `error` on failure.
void* openLibrary(const std::string& path, std::string& error);
// The address of the exported `name`, nullptr when the library does not export it.
void* librarySymbol(void* library, const char* name);
void closeLibrary(void* library);
// The real path of the file behind a loaded library, links resolved; empty when unknown.
std::string libraryFilePath(void* library);

}  // namespace platform
