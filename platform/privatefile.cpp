#include "platform/privatefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace platform {

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

bool onlyOwnerWrites(const struct stat& st) {
  return st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Opens `folder` and checks that only the effective user can change its entries.
Fd openPrivateFolder(const std::string& folder) {
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) fail(errno, "Cannot open the work folder " + folder);
  struct stat st;
  if (::fstat(dir.get(), &st) != 0) fail(errno, "Cannot examine the work folder " + folder);
  if (!onlyOwnerWrites(st)) {
    throw std::runtime_error("The work folder " + folder + " must belong to you and be writable by you only");
  }
  return dir;
}

}  // namespace

void writePrivateFile(const std::string& folder, std::string_view name, std::string_view content) {
  const std::string entry(name);
  const std::string path = folder + "/" + entry;
  if (entry.empty() || entry.find('/') != std::string::npos || entry == "." || entry == "..") {
    throw std::runtime_error("Not a plain file name: " + entry);
  }
  Fd dir = openPrivateFolder(folder);
  if (::unlinkat(dir.get(), entry.c_str(), 0) != 0 && errno != ENOENT) {
    fail(errno, "Cannot remove the old file " + path);
  }
  Fd file(::openat(dir.get(), entry.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   S_IRUSR | S_IWUSR));
  if (file.get() < 0) fail(errno, "Cannot create " + path);
  try {
    // The creation mode was narrowed by the umask only; make it exactly 0600.
    if (::fchmod(file.get(), S_IRUSR | S_IWUSR) != 0) fail(errno, "Cannot set the mode of " + path);
    size_t done = 0;
    while (done < content.size()) {
      ssize_t n = ::write(file.get(), content.data() + done, content.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        fail(errno, "Cannot write " + path);
      }
      done += size_t(n);
    }
    if (::close(file.release()) != 0) fail(errno, "Cannot write " + path);
  } catch (...) {
    ::unlinkat(dir.get(), entry.c_str(), 0);
    throw;
  }
}

bool isPrivateFolder(const std::string& folder) {
  struct stat st;
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && onlyOwnerWrites(st);
}

void makePrivateFolder(const std::string& folder) {
  if (::mkdir(folder.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
    fail(errno, "Cannot create the work folder " + folder);
  }
  openPrivateFolder(folder);
}

}  // namespace platform
