// Files that hold secrets (an account and its password): readable and writable by their owner only.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Writes `content` to `folder`/`name`, created anew with mode 0600.
// Requires `folder` to be a folder owned by the effective user and writable by no one else, so
// that no other user can swap or read the file; throws std::runtime_error naming the folder
// otherwise. An existing entry `name` is removed first, never followed (a symbolic link is removed,
// not its target); the file is then created exclusively and without following links, so a link or
// file slipped in between makes the write fail instead of landing elsewhere. Throws
// std::system_error on every other failure, after removing a partly written file.
void writePrivateFile(const std::string& folder, std::string_view name, std::string_view content);

// True when `folder` is a folder as writePrivateFile() requires it: owned by the effective user
// and writable by no one else.
bool isPrivateFolder(const std::string& folder);

// Makes `folder` (its last component; the parent must exist) with mode 0700 when it is missing,
// and checks it as writePrivateFile() requires. Throws as writePrivateFile() does.
void makePrivateFolder(const std::string& folder);

}  // namespace platform
