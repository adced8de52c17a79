#include "platform/markerwatch.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/textrules.h"

namespace platform {

namespace {

constexpr uint32_t kWatchMask =
    IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// Counts forks in the children they made: a look that sees it changed checks whether it runs in
// another process than the one whose inotify instance it holds. Cheaper than a getpid per look.
std::atomic<uint64_t> forks{0};

void countFork() {
  forks.fetch_add(1, std::memory_order_relaxed);
}

int64_t statfsType(const std::string& folder) {
  struct statfs st {};
  if (::statfs(folder.empty() ? "." : folder.c_str(), &st) != 0) return -1;
  return int64_t(st.f_type);
}

// Reads the marker names of the folder open at `fd` (which it takes) in byte order.
bool readMarkerNames(int fd, std::vector<std::string>& names) {
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return false;
  }
  std::vector<std::string> found;
  // A listing cut off by an error must not pass for a folder without markers.
  errno = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (isMarkerName(entry->d_name)) found.emplace_back(entry->d_name);
    errno = 0;
  }
  const int error = errno;
  ::closedir(dir);
  if (error != 0) {
    errno = error;
    return false;
  }
  std::sort(found.begin(), found.end());
  names = std::move(found);
  return true;
}

int openFolder(const std::string& folder) {
  return ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

bool isMarkerName(std::string_view name) {
  return endsWithIgnoringAsciiCase(name, ".swp") || endsWithIgnoringAsciiCase(name, ".cpy");
}

bool isLocalFileSystemType(int64_t type) {
  switch (type) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0x01021994:  // tmpfs
    case 0xF2F52010:  // f2fs
    case 0x3153464A:  // jfs
    case 0x52654973:  // reiserfs
    case 0x2FC12FC1:  // zfs
    case 0x858458F6:  // ramfs
      return true;
    default:
      return false;
  }
}

MarkerWatch::MarkerWatch(std::function<int64_t(const std::string&)> fsTypeOf, size_t maxFolders)
    : fsTypeOf_(fsTypeOf ? std::move(fsTypeOf) : std::function<int64_t(const std::string&)>(statfsType)),
      maxFolders_(maxFolders) {
  static const bool registered = ::pthread_atfork(nullptr, nullptr, countFork) == 0;
  broken_ = !registered;
}

MarkerWatch::~MarkerWatch() {
  if (fd_ >= 0 && owner_ == ::getpid()) ::close(fd_);
}

MarkerWatch& MarkerWatch::local() {
  // Never destroyed: looks may run while the process ends.
  static MarkerWatch* watch = new MarkerWatch;
  return *watch;
}

uint64_t MarkerWatch::folderReads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reads_;
}

void MarkerWatch::takeOwnership() {
  const uint64_t seen = forks.load(std::memory_order_relaxed);
  if (owner_ != -1 && seen == forks_) return;
  forks_ = seen;
  const pid_t self = ::getpid();
  if (owner_ == self) return;
  // An instance inherited through fork shares its queue with the parent: reading it would take
  // the parent's events. The child's copy of the descriptor is only closed.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  folders_.clear();
  owner_ = self;
}

void MarkerWatch::forget(int wd, bool removeWatch) {
  const auto gone =
      std::remove_if(folders_.begin(), folders_.end(), [&](const Folder& f) { return f.wd == wd; });
  if (gone == folders_.end()) return;
  folders_.erase(gone, folders_.end());
  if (removeWatch) ::inotify_rm_watch(fd_, wd);
}

void MarkerWatch::drain() {
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0 && errno == EAGAIN) return;
      // A queue that cannot be read tells nothing any more.
      ::close(fd_);
      fd_ = -1;
      broken_ = true;
      folders_.clear();
      return;
    }
    for (ssize_t at = 0; at < n;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const char* name = buffer + at + sizeof event;
      at += ssize_t(sizeof event + event.len);
      if (event.mask & IN_Q_OVERFLOW) {
        for (Folder& folder : folders_) folder.valid = false;
      } else if (event.mask & IN_IGNORED) {
        forget(event.wd, false);
      } else if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
        forget(event.wd, true);
      } else if (event.len > 0 && isMarkerName(std::string_view(name, strnlen(name, event.len)))) {
        for (Folder& folder : folders_)
          if (folder.wd == event.wd) folder.valid = false;
      }
    }
  }
}

MarkerWatch::Folder* MarkerWatch::watch(const std::string& path) {
  if (broken_ || folders_.size() >= maxFolders_ || !isLocalFileSystemType(fsTypeOf_(path))) return nullptr;
  if (fd_ < 0) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
      broken_ = true;
      return nullptr;
    }
  }
  // The watch goes on the very folder that is read, whatever the path leads to meanwhile.
  const int dirFd = openFolder(path);
  if (dirFd < 0) return nullptr;
  struct stat st {};
  const int wd =
      ::fstat(dirFd, &st) == 0
          ? ::inotify_add_watch(fd_, ("/proc/self/fd/" + std::to_string(dirFd)).c_str(), kWatchMask)
          : -1;
  if (wd < 0) {
    ::close(dirFd);
    return nullptr;
  }
  Folder folder{path, wd, uint64_t(st.st_dev), uint64_t(st.st_ino), false, {}};
  ++reads_;
  if (!readMarkerNames(dirFd, folder.names)) return nullptr;
  folder.valid = true;
  folders_.push_back(std::move(folder));
  return &folders_.back();
}

bool MarkerWatch::markerNames(const std::string& folder, std::vector<std::string>& names) {
  std::lock_guard<std::mutex> lock(mutex_);
  takeOwnership();
  if (fd_ >= 0) drain();
  const auto known =
      std::find_if(folders_.begin(), folders_.end(), [&](const Folder& f) { return f.path == folder; });
  if (known != folders_.end()) {
    struct stat st {};
    if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0) return false;
    if (uint64_t(st.st_dev) == known->dev && uint64_t(st.st_ino) == known->ino) {
      if (!known->valid) {
        const int dirFd = openFolder(folder);
        struct stat now {};
        if (dirFd < 0) return false;
        ++reads_;
        if (::fstat(dirFd, &now) != 0 || uint64_t(now.st_dev) != known->dev ||
            uint64_t(now.st_ino) != known->ino) {
          // The path led elsewhere between the two looks: this listing is not the watched folder's.
          const bool read = readMarkerNames(dirFd, names);
          known->valid = false;
          return read;
        }
        if (!readMarkerNames(dirFd, known->names)) return false;
        known->valid = true;
      }
      names = known->names;
      return true;
    }
    // The path leads to another folder than the one watched.
    const int wd = known->wd;
    const bool shared =
        std::count_if(folders_.begin(), folders_.end(), [&](const Folder& f) { return f.wd == wd; }) > 1;
    folders_.erase(known);
    if (!shared) ::inotify_rm_watch(fd_, wd);
  }
  if (const Folder* watched = watch(folder)) {
    names = watched->names;
    return true;
  }
  ++reads_;
  const int dirFd = openFolder(folder);
  return dirFd >= 0 && readMarkerNames(dirFd, names);
}

}  // namespace platform
