// The engine's helpers for its own files: whether one exists, and a new temporary name that
// no other thread or process can take.
//
// Every routine here may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/osfile.h"

namespace engine {

// True when the process's file list holds the file, or (disk files) it exists on disk as a
// file, its name found ignoring case.
bool EngineFileExists(const std::string& name, bool inMemory);
// The loop that finds a temporary name: the calling thread's id in decimal, zero-padded to seven
// digits (so that two live threads of one process never make the same name), a counter from 0,
// and `ext`, after `directory` (with a delimiter, when not empty); the first such
// name that `taken` does not claim. For a disk name the file `fileFor(name)` is created (empty)
// through `fs` before the name is returned, and only if no file of that name existed, so that no other thread
// or process can take the name and an existing file is never overwritten: the counter moves on
// while the file exists. Raises the operating-system error as an engine error with the name
// (and `database`) when the file cannot be created for another reason (a missing directory, no
// rights).
std::string MakeTempName(std::string_view directory, std::string_view ext, bool inMemory,
                         const std::function<bool(const std::string& name)>& taken,
                         const std::function<std::string(const std::string& name)>& fileFor,
                         platform::FileSystem& fs, std::string_view database = {});
// For tests: the calling thread's names use `number` as its id from now on (0: its own id again).
void SetTempNameThreadNumber(uint64_t number);
// MakeTempName for an engine file in `directory`: taken when an engine file of the name exists.
std::string MakeTempFileName(std::string_view directory, std::string_view ext, bool inMemory);

}  // namespace engine
