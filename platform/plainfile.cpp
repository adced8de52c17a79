#include "platform/plainfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <random>
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

ReplacingFile::~ReplacingFile() {
  discard();
}

bool ReplacingFile::begin(const std::string& target, unsigned mode) {
  discard();
  target_ = target;
  // A fresh name beside the target, so that the final rename stays on one file system.
  static std::atomic<unsigned> counter{0};
  std::random_device seed;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string mark = ".tmp" + std::to_string(::getpid()) + "-" +
                             std::to_string(counter.fetch_add(1)) + "-" + std::to_string(seed() & 0xFFFF);
    // A target whose name is as long as a name may be still gets a temporary name that fits.
    const size_t slash = target.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t room = NAME_MAX - mark.size();
    const std::string name = target.substr(0, nameStart + std::min(target.size() - nameStart, room)) + mark;
    if (file_.createNew(name, mode)) {
      tempPath_ = name;
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
  error_ = file_.error();
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

bool ReplacingFile::commit() {
  if (tempPath_.empty()) {
    error_ = EBADF;
    return false;
  }
  // A write that failed may have stored part of its bytes: the file is not whole.
  if (failed_) {
    discard();
    return false;
  }
  if (!file_.sync() || !file_.close()) {
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
  // The new name is a change of the folder, which a power cut may lose until the folder is on
  // the disk: a caller that removes its source once the copy is committed would lose both.
  const size_t slash = target_.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target_.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;  // a folder this user may write but not read cannot be synced
  const bool synced = ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
  if (!synced) error_ = errno;
  ::close(fd);
  return synced;
}

void ReplacingFile::discard() {
  failed_ = false;
  file_ = OutputFile();
  if (!tempPath_.empty()) {
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
  }
}

}  // namespace platform
