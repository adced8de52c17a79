#include "platform/plainfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "platform/oserror.h"

namespace platform {

std::string errorText(int error) {
  if (error == kNotRegularFile) return "not a regular file";
  char buffer[256];
  // The GNU variant returns the text, which may or may not be in `buffer`.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : "error " + std::to_string(error);
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool removeFile(const std::string& path, int& error) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  error = errno;
  return false;
}

bool syncFolderOf(const std::string& path, int& error) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;  // a folder this user may write but not read cannot be synced
  const bool synced = ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
  if (!synced) error = errno;
  ::close(fd);
  return synced;
}

namespace {
void closeQuietly(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Opens `path` without waiting on a FIFO or a device, then keeps it only when it is a regular
// file: -1 with `error` set otherwise (EISDIR for a folder, kNotRegularFile for anything else).
int openRegular(const std::string& path, int flags, int& error, mode_t mode = 0666) {
  int fd;
  do fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  struct stat st;
  if (fd < 0) {
    // A FIFO opened for writing without a reader is refused by the system itself.
    error = errno;
    if (error == ENXIO && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) error = kNotRegularFile;
    return -1;
  }
  const bool measured = ::fstat(fd, &st) == 0;
  if (!measured || !S_ISREG(st.st_mode)) {
    error = !measured ? errno : S_ISDIR(st.st_mode) ? EISDIR : kNotRegularFile;
    ::close(fd);
    return -1;
  }
  if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    error = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}
}  // namespace

// --- InputFile

InputFile::~InputFile() {
  close();
}

InputFile::InputFile(InputFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)), error_(other.error_) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    error_ = other.error_;
  }
  return *this;
}

bool InputFile::open(const std::string& path) {
  close();
  fd_ = openRegular(path, O_RDONLY, error_);
  return fd_ >= 0;
}

void InputFile::close() {
  closeQuietly(fd_);
}

int64_t InputFile::size() {
  struct stat st;
  if (fd_ < 0) {
    error_ = EBADF;
    return -1;
  }
  if (::fstat(fd_, &st) != 0) {
    error_ = errno;
    return -1;
  }
  return int64_t(st.st_size);
}

int64_t RandomReader::readShared(int64_t, void*, size_t, int& error) {
  error = ENOTSUP;
  return -1;
}

int64_t InputFile::readAt(int64_t offset, void* buffer, size_t n) {
  int error = 0;
  const int64_t got = readShared(offset, buffer, n, error);
  if (got < 0) error_ = error;
  return got;
}

int64_t InputFile::readShared(int64_t offset, void* buffer, size_t n, int& error) {
  if (offset < 0) {
    error = EINVAL;
    return -1;
  }
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pread(fd_, out + done, n - done, off_t(offset + int64_t(done)));
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return -1;
    }
    if (got == 0) break;  // end of file
    done += size_t(got);
  }
  return int64_t(done);
}

int64_t InputFile::nextDataOffset(int64_t offset) {
#ifdef SEEK_DATA
  const off_t data = ::lseek(fd_, off_t(offset), SEEK_DATA);
  if (data >= 0) return int64_t(data);
  if (errno == ENXIO) {
    // Only a hole lies between `offset` and the end of the file.
    const int64_t end = size();
    if (end >= offset) return end;
  }
#endif
  return offset;
}

// --- OutputFile

OutputFile::~OutputFile() {
  closeQuietly(fd_);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), error_(other.error_) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    closeQuietly(fd_);
    fd_ = std::exchange(other.fd_, -1);
    error_ = other.error_;
  }
  return *this;
}

bool OutputFile::openWith(const std::string& path, int flags, unsigned mode) {
  closeQuietly(fd_);
  fd_ = openRegular(path, flags | O_WRONLY, error_, mode_t(mode));
  return fd_ >= 0;
}

bool OutputFile::create(const std::string& path) {
  return openWith(path, O_CREAT | O_TRUNC);
}

bool OutputFile::createNew(const std::string& path, unsigned mode) {
  return openWith(path, O_CREAT | O_EXCL, mode);
}

bool OutputFile::openAppend(const std::string& path) {
  return openWith(path, O_CREAT | O_APPEND);
}

bool OutputFile::write(const void* data, size_t n) {
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  const auto* in = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t put = ::write(fd_, in, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return false;
    }
    in += put;
    n -= size_t(put);
  }
  return true;
}

bool OutputFile::setMode(unsigned mode) {
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  if (::fchmod(fd_, mode_t(mode)) == 0) return true;
  error_ = errno;
  return false;
}

bool OutputFile::setOwner(unsigned uid, unsigned gid) {
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  if (::fchown(fd_, uid_t(uid), gid_t(gid)) == 0) return true;
  error_ = errno;
  return false;
}

bool OutputFile::sync() {
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  if (::fsync(fd_) != 0) {
    error_ = errno;
    return false;
  }
  return true;
}

bool OutputFile::lockWhole() {
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  while (::fcntl(fd_, F_OFD_SETLK, &fl) != 0) {
    if (errno == EINTR) continue;
    error_ = errno;
    return false;
  }
  return true;
}

bool OutputFile::close() {
  if (fd_ < 0) return true;
  const int fd = std::exchange(fd_, -1);
  // After an interrupted close the descriptor is gone on Linux; retrying could close another.
  if (::close(fd) != 0 && errno != EINTR) {
    error_ = errno;
    return false;
  }
  return true;
}

// --- ReplacingFile

namespace {

// A temporary name is the target's name, cut where it must be to fit, and a mark:
// ".tmp<process id>-<counter>-<random number below 65536>", the numbers in decimal.
constexpr std::string_view kTempMark = ".tmp";
constexpr unsigned kTempRandomMax = 0xFFFF;

std::string temporaryName(std::string_view targetName, std::string_view mark) {
  // A target whose name is as long as a name may be still gets a temporary name that fits.
  return std::string(targetName.substr(0, std::min(targetName.size(), NAME_MAX - mark.size()))) +
         std::string(mark);
}

// True when temporaryName(targetName, mark) gives `entry` for a mark that begin() may make.
bool isTemporaryNameOf(std::string_view entry, std::string_view targetName) {
  // The mark holds no kTempMark of its own, so it begins at the last one.
  const size_t at = entry.rfind(kTempMark);
  if (at == std::string_view::npos) return false;
  const std::string_view mark = entry.substr(at);
  const char* p = mark.data() + kTempMark.size();
  const char* const end = mark.data() + mark.size();
  unsigned numbers[3];
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && (p == end || *p++ != '-')) return false;
    // std::to_string writes no sign and no leading zero.
    if (p == end || *p < '0' || *p > '9' || (*p == '0' && p + 1 != end && p[1] >= '0' && p[1] <= '9'))
      return false;
    const auto [next, error] = std::from_chars(p, end, numbers[i]);
    if (error != std::errc()) return false;
    p = next;
  }
  if (p != end || numbers[0] == 0 || numbers[0] > unsigned(INT_MAX) || numbers[2] > kTempRandomMax)
    return false;
  return temporaryName(targetName, mark) == entry;
}

// Removes `path`, a temporary file of begin()'s naming, when it is one that a writer left: a
// regular file of no other name that no open holds locked and that has not been written to for
// kAbandonedAfterSeconds. It is removed while this open holds it, so that the name still leads to
// the file that was looked at.
void removeIfAbandoned(const std::string& path, time_t now) {
  struct stat seen;
  // A link, a FIFO or a device of such a name is not a writer's and is not even opened.
  if (::lstat(path.c_str(), &seen) != 0 || !S_ISREG(seen.st_mode) || seen.st_nlink != 1 ||
      now - seen.st_mtime < ReplacingFile::kAbandonedAfterSeconds)
    return;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat opened;
  struct flock fl {};
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  // A read lock is refused while a writer holds its write lock.
  if (::fstat(fd, &opened) == 0 && opened.st_dev == seen.st_dev && opened.st_ino == seen.st_ino &&
      ::fcntl(fd, F_OFD_SETLK, &fl) == 0 && ::lstat(path.c_str(), &seen) == 0 &&
      seen.st_dev == opened.st_dev && seen.st_ino == opened.st_ino)
    ::unlink(path.c_str());
  ::close(fd);
}

// Removes what writers of the target at `folder` + `targetName` left (`folder` empty or ending
// in '/'). A folder this user may write but not list keeps what is there.
void removeAbandonedTemporaries(const std::string& folder, std::string_view targetName) {
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return;
  const time_t now = ::time(nullptr);
  while (const dirent* entry = ::readdir(dir))
    if (isTemporaryNameOf(entry->d_name, targetName)) removeIfAbandoned(folder + entry->d_name, now);
  ::closedir(dir);
}

}  // namespace

void ReplacingFile::removeAbandoned(const std::vector<std::string>& targets) {
  // The longest mark begin() makes: a temporary name of a target longer than NAME_MAX less this
  // may be cut, and then does not hold the whole target name before its mark.
  constexpr size_t kLongestMark = kTempMark.size() + 10 + 1 + 10 + 1 + 5;
  struct Names {
    std::unordered_set<std::string_view> whole;
    std::vector<std::string_view> mayBeCut;
  };
  std::map<std::string, Names> byFolder;
  for (const std::string& target : targets) {
    const size_t slash = target.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::string_view name = std::string_view(target).substr(nameStart);
    Names& names = byFolder[target.substr(0, nameStart)];
    names.whole.insert(name);
    if (name.size() + kLongestMark > NAME_MAX) names.mayBeCut.push_back(name);
  }
  const time_t now = ::time(nullptr);
  for (const auto& [folder, names] : byFolder) {
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) continue;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view seen = entry->d_name;
      const size_t at = seen.rfind(kTempMark);
      if (at == std::string_view::npos) continue;
      bool theirs = names.whole.contains(seen.substr(0, at)) && isTemporaryNameOf(seen, seen.substr(0, at));
      if (!theirs && seen.size() == NAME_MAX)
        theirs = std::any_of(names.mayBeCut.begin(), names.mayBeCut.end(),
                             [&](std::string_view name) { return isTemporaryNameOf(seen, name); });
      if (theirs) removeIfAbandoned(folder + entry->d_name, now);
    }
    ::closedir(dir);
  }
}

ReplacingFile::~ReplacingFile() {
  discard();
}

bool ReplacingFile::begin(const std::string& target, unsigned mode, Leftovers leftovers) {
  discard();
  target_ = target;
  const size_t slash = target.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::string folder = target.substr(0, nameStart);
  const std::string_view targetName = std::string_view(target).substr(nameStart);
  if (leftovers == Leftovers::RemoveNow) removeAbandonedTemporaries(folder, targetName);
  // A fresh name beside the target, so that the final rename stays on one file system.
  static std::atomic<unsigned> counter{0};
  std::random_device seed;
  int lockRefused = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string mark = std::string(kTempMark) + std::to_string(::getpid()) + "-" +
                             std::to_string(counter.fetch_add(1)) + "-" +
                             std::to_string(seed() & kTempRandomMax);
    const std::string name = folder + temporaryName(targetName, mark);
    if (file_.createNew(name, mode)) {
      tempPath_ = name;
      // A file system without such locks leaves the file unheld, and its writers' clean-ups find
      // none that they may take. A lock held already is another writer's clean-up looking at a
      // file that seemed old (a clock set back): that name is left to it.
      if (!file_.lockWhole() && (file_.error() == EAGAIN || file_.error() == EACCES)) {
        lockRefused = file_.error();
        file_ = OutputFile();
        tempPath_.clear();
        continue;
      }
      struct stat old;
      if (::lstat(target.c_str(), &old) != 0) return true;
      // The bytes a link led to were as open as the file it led to, not more.
      if (S_ISLNK(old.st_mode) && ::stat(target.c_str(), &old) != 0) return true;
      if (!S_ISREG(old.st_mode)) return true;
      // A file replaced by another user (an administrator, say) stays its owner's; a writer that
      // may not give it away keeps it, narrowed as below.
      if ((old.st_uid != ::geteuid() || old.st_gid != ::getegid()) && !file_.setOwner(old.st_uid, old.st_gid))
        file_.setOwner(unsigned(-1), old.st_gid);
      if (file_.setMode(mode & old.st_mode & 0777)) return true;
      error_ = file_.error();
      discard();
      return false;
    }
    if (file_.error() != EEXIST) break;
  }
  error_ = file_.error() != 0 ? file_.error() : lockRefused;
  return false;
}

bool ReplacingFile::write(const void* data, size_t n) {
  if (failed_) return false;
  if (!file_.write(data, n)) {
    error_ = file_.error();
    failed_ = true;
    return false;
  }
  return true;
}

bool ReplacingFile::commit(FolderSync folderSync) {
  if (tempPath_.empty()) {
    error_ = EBADF;
    return false;
  }
  // A write that failed may have stored part of its bytes: the file is not whole.
  if (failed_) {
    discard();
    return false;
  }
  if (!file_.sync()) {
    error_ = file_.error();
    discard();
    return false;
  }
  if (::rename(tempPath_.c_str(), target_.c_str()) != 0) {
    error_ = errno;
    discard();
    return false;
  }
  tempPath_.clear();
  if (!file_.close()) {
    error_ = file_.error();
    return false;
  }
  // The new name is a change of the folder, which a power cut may lose until the folder is on
  // the disk: a caller that removes its source once the copy is committed would lose both.
  return folderSync == FolderSync::ByCaller || syncFolderOf(target_, error_);
}

void ReplacingFile::discard() {
  failed_ = false;
  // Removed while still held: no other writer's clean-up meets it unheld.
  if (!tempPath_.empty()) {
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
  }
  file_ = OutputFile();
}

}  // namespace platform
