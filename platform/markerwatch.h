#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// True for a name ending in ".swp" or ".cpy", ASCII case ignored: the names of copy and swap
// markers, which MarkerWatch keeps listings of.
bool isMarkerName(std::string_view name);

// True for a file system type (statfs f_type) on which every writer of a folder is on this
// machine, so that inotify sees every change made to it.
bool isLocalFileSystemType(int64_t type);

// Per process cache of the marker names of folders, kept valid by inotify: a listing stays in use
// while no event naming a marker arrived for its folder, no event was lost (queue overflow) and
// the folder was neither removed nor moved, and while its path still leads to the folder watched.
// A look drains the events first, so a marker created before the look began is always seen.
// Folders on file systems that are not local, folders beyond a bound and folders that cannot be
// watched (inotify limits) are read at every look. A forked child never reads the instance it
// inherited: it makes its own. Thread-safe.
class MarkerWatch {
 public:
  // `fsTypeOf` gives the statfs type of a folder (-1 when unknown); the default asks statfs.
  explicit MarkerWatch(std::function<int64_t(const std::string&)> fsTypeOf = {}, size_t maxFolders = 64);
  ~MarkerWatch();
  MarkerWatch(const MarkerWatch&) = delete;
  MarkerWatch& operator=(const MarkerWatch&) = delete;

  // The process's instance.
  static MarkerWatch& local();

  // Sets `names` to the marker names (isMarkerName) of `folder` ("" for the current one), spelt as
  // in the folder, in byte order. False, with `names` untouched, when the folder cannot be read.
  bool markerNames(const std::string& folder, std::vector<std::string>& names);

  // Times a look read the folder.
  uint64_t folderReads() const;

 private:
  struct Folder {
    std::string path;
    int wd = -1;
    uint64_t dev = 0;
    uint64_t ino = 0;
    bool valid = false;
    std::vector<std::string> names;
  };

  void takeOwnership();
  void drain();
  void forget(int wd, bool removeWatch);
  Folder* watch(const std::string& folder);

  std::function<int64_t(const std::string&)> fsTypeOf_;
  size_t maxFolders_;
  mutable std::mutex mutex_;
  pid_t owner_ = -1;
  uint64_t forks_ = 0;
  int fd_ = -1;
  bool broken_ = false;
  std::vector<Folder> folders_;
  uint64_t reads_ = 0;
};

}  // namespace platform
