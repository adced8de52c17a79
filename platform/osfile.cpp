#include "platform/osfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/bytes.h"
#include "platform/markerwatch.h"
#include "platform/oserror.h"
#include "platform/processinfo.h"
#include "platform/textrules.h"

namespace platform {

namespace {

// A file cut below its first page from outside makes a look through its head view raise SIGBUS.
// While a thread copies from a view, its recovery point is set, and the handler returns there
// instead of letting the process die; every other SIGBUS goes to the handler that was installed
// before (the default one, or a sanitizer's). The handler runs with SIGBUS unblocked
// (SA_NODEFER), so that the jump out of it needs no saved signal mask: a peek stays without a
// system call.
thread_local sigjmp_buf* headRecovery = nullptr;
thread_local const volatile uint8_t* headViewStart = nullptr;
struct sigaction previousBusAction {};
// Set with the handler: sysconf is not one of the calls a handler may make.
int64_t headViewBytes = 0;

void chainBusSignal(int signal, siginfo_t* info, void* context) {
  const struct sigaction& previous = previousBusAction;
  const bool sent = info->si_code <= 0;
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signal, info, context);
  } else if (previous.sa_handler == SIG_IGN && sent) {
    return;
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
  } else {
    // The default action (which an ignored fault gets too): a fault that returns here comes
    // again and ends the process as it would have without this handler; a signal sent is sent
    // again.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigemptyset(&fallback.sa_mask);
    ::sigaction(SIGBUS, &fallback, nullptr);
    if (sent) ::raise(SIGBUS);
  }
}

void onBusSignal(int signal, siginfo_t* info, void* context) {
  sigjmp_buf* recovery = headRecovery;
  const volatile uint8_t* start = headViewStart;
  const auto* address = static_cast<const volatile uint8_t*>(info->si_addr);
  if (recovery && info->si_code > 0 && start && address >= start && address < start + headViewBytes) {
    headRecovery = nullptr;
    siglongjmp(*recovery, 1);
  }
  chainBusSignal(signal, info, context);
}

void installBusHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    headViewBytes = ::sysconf(_SC_PAGESIZE);
    struct sigaction action {};
    action.sa_sigaction = onBusSignal;
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &previousBusAction);
  });
}

// Every open holds a shared lock on the first byte; an exclusive open also on the second, then
// checks that no other open holds the first. Both bytes lie above any range the engine locks.
constexpr int64_t kShareMarker = INT64_C(0x7FFFFFFFFFFFFFF0);
constexpr int64_t kExclusiveMarker = kShareMarker + 1;
// A sharing conflict may be a race between two opens that each saw the other's marker; both then
// let go, so a short, growing pause and another try settles it.
constexpr int kShareAttempts = 3;

// Ranges held through the OsFiles of this process, per file, keyed by their first byte. The
// system's locks keep processes and separate opens apart; this table adds what they cannot see: one
// open locking a range that overlaps its own lock, and unlocks of ranges that were never locked as
// named. Ranges in one file never overlap (an overlapping lock is refused), so the neighbours of an
// offset in the ordered map are the only ranges it can meet.
struct HeldRange {
  int64_t length;
  const void* owner;
};

using HeldRanges = std::map<int64_t, HeldRange>;

struct LockTable {
  std::mutex mutex;
  std::map<FileIdentity, HeldRanges> files;
  // Set in a child made by fork(): it inherits its parent's entries but not the right to them,
  // and its first call drops them all. Kept by a fork handler, so that a lock or unlock asks the
  // system for no process id.
  std::atomic<bool> inherited{false};
  // Counts the forks this process descends from: an open made before the last one is shared with
  // the parent, system locks included.
  std::atomic<uint32_t> generation{0};

  LockTable() {
    pthread_atfork(nullptr, nullptr, [] {
      LockTable& table = lockTable();
      table.inherited.store(true, std::memory_order_relaxed);
      table.generation.fetch_add(1, std::memory_order_relaxed);
    });
  }

  // Requires: `mutex` is held.
  void dropInherited() {
    if (!inherited.load(std::memory_order_relaxed)) return;
    files.clear();
    inherited.store(false, std::memory_order_relaxed);
  }

  static LockTable& lockTable();
};

LockTable& LockTable::lockTable() {
  // Never destroyed: files that static destructors close at the process's end still reach it.
  static LockTable* table = new LockTable;
  return *table;
}

LockTable& lockTable() {
  return LockTable::lockTable();
}

// True when [offset, offset + length) meets a range of `held`.
bool overlapsHeld(const HeldRanges& held, int64_t offset, int64_t length) {
  auto next = held.lower_bound(offset);
  if (next != held.end() && next->first < offset + length) return true;
  if (next == held.begin()) return false;
  const auto prev = std::prev(next);
  return prev->first + prev->second.length > offset;
}

bool failWith(int err) {
  setLastOsError(err);
  return false;
}

bool ofdLock(int fd, short type, int64_t offset, int64_t length) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = length;
  while (fcntl(fd, F_OFD_SETLK, &fl) != 0) {
    if (errno == EINTR) continue;
    return failWith(errno == EACCES ? kLockViolation : errno);
  }
  return true;
}

// True when another open of the file holds any lock on the byte at `offset`.
bool heldByOtherOpen(int fd, int64_t offset) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return true;
  return fl.l_type != F_UNLCK;
}

// Takes the share-mode markers. False, with kSharingViolation, when the mode conflicts with
// another open of the file.
bool takeShareMode(int fd, ShareMode mode) {
  if (!ofdLock(fd, F_RDLCK, kShareMarker, 1)) return false;
  if (mode == ShareMode::Exclusive) {
    if (!ofdLock(fd, F_RDLCK, kExclusiveMarker, 1)) return false;
    if (heldByOtherOpen(fd, kShareMarker)) return failWith(kSharingViolation);
  } else if (heldByOtherOpen(fd, kExclusiveMarker)) {
    return failWith(kSharingViolation);
  }
  return true;
}

// True when the file at `real` is open anywhere else, in this process or another (OS error
// kSharingViolation). Windows refuses to delete or rename a file that is open; on Linux the other
// opener would go on writing into a file that no longer has a name, and its writes would be lost.
bool openElsewhere(const std::string& real) {
  const int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;  // not readable here: nobody can be told apart, the call decides
  const bool busy = !takeShareMode(fd, ShareMode::Exclusive);
  const int err = lastOsError();
  ::close(fd);
  if (busy) setLastOsError(err == kSharingViolation ? err : kSharingViolation);
  return busy;
}

}  // namespace

int32_t dosDateTime(const FileInfo& info) {
  // Whole seconds, rounded down as the file system's own seconds are.
  const time_t t = time_t(info.modifiedNs / 1000000000 - (info.modifiedNs % 1000000000 < 0 ? 1 : 0));
  struct tm lt {};
  if (!localtime_r(&t, &lt) || lt.tm_year < 80) return 0;
  const uint32_t date = uint32_t((lt.tm_year - 80) << 9 | (lt.tm_mon + 1) << 5 | lt.tm_mday);
  const uint32_t time = uint32_t(lt.tm_hour << 11 | lt.tm_min << 5 | lt.tm_sec / 2);
  return int32_t(date << 16 | time);
}

namespace {

void takeFacts(const struct stat& st, FileInfo& info);

// The facts of the file at `path` (links followed), as the file system reports them.
bool statInfo(const std::string& path, FileInfo& info) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return failWith(errno);
  takeFacts(st, info);
  return true;
}

void takeFacts(const struct stat& st, FileInfo& info) {
  info.isDirectory = S_ISDIR(st.st_mode);
  info.readOnly = (st.st_mode & 0222) == 0;
  info.size = st.st_size;
  info.identity = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
  info.modifiedNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  info.changedNs = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

std::string joinPath(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  if (dir.back() == '/') return dir + std::string(name);
  return dir + "/" + std::string(name);
}

// For each of `names`, the names in folder `folder` ("" for the current one) equal to it ignoring
// ASCII case, in byte order, into `found`: one pass over the folder. False, with none found and
// errno set, when the folder cannot be read.
bool namesIgnoringCase(const std::string& folder, std::span<const std::string_view> names,
                       std::vector<std::vector<std::string>>& found) {
  found.assign(names.size(), {});
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return false;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (!entry) break;
    const std::string_view name = entry->d_name;
    for (size_t i = 0; i < names.size(); ++i)
      if (equalIgnoringAsciiCase(name, names[i])) found[i].emplace_back(name);
  }
  // A listing cut off by an error is no listing.
  const int error = errno;
  closedir(dir);
  if (error != 0) {
    for (std::vector<std::string>& matches : found) matches.clear();
    errno = error;
    return false;
  }
  for (std::vector<std::string>& matches : found) std::sort(matches.begin(), matches.end());
  return true;
}

std::string resolveIgnoringCase(const std::string& path) {
  struct stat st {};
  if (path.empty() || lstat(path.c_str(), &st) == 0) return path;
  std::vector<std::string_view> parts;
  std::string_view rest = path;
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    if (!part.empty()) parts.push_back(part);
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  std::string current = path[0] == '/' ? "/" : "";
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string exact = joinPath(current, parts[i]);
    if (parts[i] == "." || parts[i] == ".." || lstat(exact.c_str(), &st) == 0) {
      current = exact;
      continue;
    }
    std::vector<std::vector<std::string>> found;
    namesIgnoringCase(current, {&parts[i], 1}, found);
    const std::vector<std::string>& matches = found.front();
    if (matches.empty()) {
      // Not there in any case: the rest of the path is kept as spelt.
      for (size_t j = i; j < parts.size(); ++j) current = joinPath(current, parts[j]);
      return current;
    }
    current = joinPath(current, matches.front());
  }
  return current;
}

class LocalFile final : public OsFile {
 public:
  LocalFile(int fd, std::string path, FileIdentity id, bool writable, bool deleteOnClose, ShareMode share)
      : fd_(fd),
        path_(std::move(path)),
        id_(id),
        writable_(writable),
        deleteOnClose_(deleteOnClose),
        share_(share),
        generation_(lockTable().generation.load(std::memory_order_relaxed)) {}

  ~LocalFile() override {
    {
      LockTable& table = lockTable();
      std::lock_guard<std::mutex> guard(table.mutex);
      table.dropInherited();
      auto file = table.files.find(id_);
      if (file != table.files.end()) {
        if (ownRanges_ > 0)
          std::erase_if(file->second, [this](const auto& range) { return range.second.owner == this; });
        if (file->second.empty()) table.files.erase(file);
      }
    }
    if (const void* head = head_.load(std::memory_order_relaxed))
      ::munmap(const_cast<void*>(head), size_t(::sysconf(_SC_PAGESIZE)));
    // Closing the descriptor releases every system lock of this open.
    ::close(fd_);
    if (deleteOnClose_) ::unlink(path_.c_str());
  }

  const std::string& path() const override { return path_; }
  FileIdentity identity() const override { return id_; }
  bool writable() const override { return writable_; }

  int64_t readAt(int64_t offset, void* buffer, int64_t count) override {
    if (offset < 0 || count < 0) return failWith(EINVAL) ? 0 : -1;
    int64_t done = 0;
    while (done < count) {
      const ssize_t n = ::pread(fd_, static_cast<char*>(buffer) + done, size_t(count - done), offset + done);
      if (n < 0) {
        if (errno == EINTR) continue;
        setLastOsError(errno);
        return -1;
      }
      if (n == 0) break;
      done += n;
    }
    return done;
  }

  int64_t writeAt(int64_t offset, const void* buffer, int64_t count) override {
    if (offset < 0 || count < 0) return failWith(EINVAL) ? 0 : -1;
    int64_t done = 0;
    while (done < count) {
      const ssize_t n =
          ::pwrite(fd_, static_cast<const char*>(buffer) + done, size_t(count - done), offset + done);
      if (n < 0) {
        if (errno == EINTR) continue;
        setLastOsError(errno);
        return done > 0 ? done : -1;
      }
      if (n == 0) {
        setLastOsError(ENOSPC);
        break;
      }
      done += n;
    }
    return done;
  }

  bool truncate(int64_t size) override {
    if (size < 0) return failWith(EINVAL);
    while (::ftruncate(fd_, size) != 0) {
      if (errno != EINTR) return failWith(errno);
    }
    return true;
  }

  bool sync() override { return ::fdatasync(fd_) == 0 || failWith(errno); }

  int64_t size() override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return failWith(errno) ? 0 : -1;
    return st.st_size;
  }

  bool lockRange(int64_t offset, int64_t length) override {
    if (offset < 0 || length <= 0 || offset > kFirstReservedOffset - length) return failWith(EINVAL);
    LockTable& table = lockTable();
    std::lock_guard<std::mutex> guard(table.mutex);
    table.dropInherited();
    // The file's entry stays while this open lives (its destructor drops it once empty), so that
    // a lock taken and released at every statement does not make and free it each time.
    if (!ownDescription()) return false;
    HeldRanges& held = table.files[id_];
    if (overlapsHeld(held, offset, length)) return failWith(kLockViolation);
    if (!ofdLock(fd_, writable_ ? F_WRLCK : F_RDLCK, offset, length)) return false;
    held.emplace(offset, HeldRange{length, this});
    ++ownRanges_;
    return true;
  }

  bool unlockRange(int64_t offset, int64_t length) override {
    LockTable& table = lockTable();
    std::lock_guard<std::mutex> guard(table.mutex);
    table.dropInherited();
    if (!ownDescription()) return false;
    auto file = table.files.find(id_);
    if (file == table.files.end()) return failWith(ENOLCK);
    auto it = file->second.find(offset);
    if (it == file->second.end() || it->second.owner != this || it->second.length != length)
      return failWith(ENOLCK);
    if (!ofdLock(fd_, F_UNLCK, offset, length)) return false;
    file->second.erase(it);
    --ownRanges_;
    return true;
  }

  bool holdsRange(int64_t offset, int64_t length) const override {
    LockTable& table = lockTable();
    std::lock_guard<std::mutex> guard(table.mutex);
    table.dropInherited();
    auto file = table.files.find(id_);
    if (file == table.files.end()) return false;
    auto it = file->second.find(offset);
    return it != file->second.end() && it->second.owner == this && it->second.length == length;
  }

  bool unlockRanges(std::span<Range> ranges) override {
    if (ranges.size() == 1) return ranges[0].released = unlockRange(ranges[0].offset, ranges[0].length);
    for (Range& r : ranges) r.released = false;
    LockTable& table = lockTable();
    std::lock_guard<std::mutex> guard(table.mutex);
    table.dropInherited();
    if (!ownDescription()) return false;
    auto file = table.files.find(id_);
    if (file == table.files.end()) return ranges.empty() || failWith(ENOLCK);
    HeldRanges& held = file->second;
    // The ranges this open holds as named, in order; the others are refused as unlockRange
    // refuses them.
    // A statement's end names a few ranges: their list is on the stack then.
    std::array<Range*, 8> few;
    std::vector<Range*> many;
    if (ranges.size() > few.size()) many.resize(ranges.size());
    const std::span<Range*> room = many.empty() ? std::span<Range*>(few) : std::span<Range*>(many);
    size_t count = 0;
    bool all = true;
    for (Range& r : ranges) {
      auto it = held.find(r.offset);
      if (it == held.end() || it->second.owner != this || it->second.length != r.length) {
        all = false;
        continue;
      }
      room[count++] = &r;
    }
    std::span<Range*> own = room.first(count);
    std::sort(own.begin(), own.end(), [](const Range* a, const Range* b) { return a->offset < b->offset; });
    // A range named twice is released once; the second naming is refused, as a second unlock is.
    const auto repeat = std::unique(own.begin(), own.end(),
                                    [](const Range* a, const Range* b) { return a->offset == b->offset; });
    if (repeat != own.end()) {
      all = false;
      own = own.first(size_t(repeat - own.begin()));
    }
    int error = all ? 0 : ENOLCK;
    // A run of them goes in one call when no other range held in this process lies between two
    // of them: a system unlock of the span then drops nothing else of this open.
    for (size_t first = 0; first < own.size();) {
      size_t last = first;
      while (last + 1 < own.size()) {
        const int64_t gapStart = own[last]->offset + own[last]->length;
        const int64_t gapEnd = own[last + 1]->offset;
        if (gapEnd > gapStart) {
          auto next = held.lower_bound(gapStart);
          if (next != held.end() && next->first < gapEnd) break;
        }
        ++last;
      }
      const int64_t start = own[first]->offset;
      if (ofdLock(fd_, F_UNLCK, start, own[last]->offset + own[last]->length - start)) {
        for (size_t i = first; i <= last; ++i) {
          held.erase(own[i]->offset);
          own[i]->released = true;
          --ownRanges_;
        }
      } else {
        all = false;
        error = lastOsError();
      }
      first = last + 1;
    }
    if (!all) setLastOsError(error);
    return all;
  }

  bool releaseShareMode() override {
    // Inherited, the markers are the parent's too.
    if (!ownDescriptionLocked()) return false;
    // Both markers in one call; a marker this open does not hold is simply not there to release.
    if (!ofdLock(fd_, F_UNLCK, kShareMarker, 2)) return false;
    share_.reset();
    return true;
  }

  bool retakeShareMode(ShareMode mode) override {
    // As an open: a conflict may be a race with another open that saw this one's marker, so it
    // is tried again after a short, growing pause.
    if (!ownDescriptionLocked()) return false;
    for (int attempt = 1;; ++attempt) {
      if (takeShareMode(fd_, mode)) {
        share_ = mode;
        return true;
      }
      share_.reset();
      const int err = lastOsError();
      ofdLock(fd_, F_UNLCK, kShareMarker, 2);
      setLastOsError(err);
      if (err != kSharingViolation || attempt == kShareAttempts) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(attempt));
    }
  }

  bool facts(FileInfo& info) override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return failWith(errno);
    takeFacts(st, info);
    return true;
  }

  bool peekHead(void* buffer, int64_t count) override {
    if (count < 0 || count > kHeadViewBytes) return failWith(EINVAL);
    const volatile uint8_t* head = head_.load(std::memory_order_acquire);
    if (!head && !(head = mapHead(count))) return false;
    // A shared mapping shows the page cache, which every write to the file goes through. A file
    // cut below the page since faults here, and the handler returns to the recovery point.
    uint8_t copy[kHeadViewBytes];
    sigjmp_buf recovery;
    if (sigsetjmp(recovery, 0) != 0) {
      headViewStart = nullptr;
      return failWith(EIO);
    }
    headViewStart = head;
    headRecovery = &recovery;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    // Whole words where they fit: bytes stored one by one and loaded as a word stall the load.
    int64_t i = 0;
    for (; i + 4 <= count; i += 4) {
      const uint32_t word = *reinterpret_cast<const volatile uint32_t*>(head + i);
      std::memcpy(copy + i, &word, 4);
    }
    for (; i < count; ++i) copy[i] = head[i];
    std::atomic_signal_fence(std::memory_order_seq_cst);
    headRecovery = nullptr;
    headViewStart = nullptr;
    copyShort(static_cast<uint8_t*>(buffer), copy, size_t(count));
    return true;
  }

 private:
  // An open inherited through fork() shares its open file description, and with it every system
  // lock, with the parent: a range the child locked would be granted over one the parent holds,
  // and its release would drop the parent's, share markers included. Before its first lock,
  // release or change of share mode in a new process the open takes a description of its own of
  // the same file, with the share markers it held, and so locks as another process's open does. The
  // descriptor keeps its number, so that threads reading and writing through it meanwhile reach the same
  // file. Requires: the lock table's mutex is held (its inherited ranges dropped).
  bool ownDescription() {
    const uint32_t now = lockTable().generation.load(std::memory_order_relaxed);
    if (generation_ == now) return true;
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    int fd;
    do fd = ::open(self.c_str(), (writable_ ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return failWith(errno);
    struct stat st {};
    const bool same = ::fstat(fd, &st) == 0 && FileIdentity{uint64_t(st.st_dev), uint64_t(st.st_ino)} == id_;
    const bool marked =
        same && (!share_ || (ofdLock(fd, F_RDLCK, kShareMarker, 1) &&
                             (share_ != ShareMode::Exclusive || ofdLock(fd, F_RDLCK, kExclusiveMarker, 1))));
    const int err = same ? lastOsError() : ESTALE;
    if (!marked || ::dup3(fd, fd_, O_CLOEXEC) < 0) {
      const int failure = marked ? errno : err;
      ::close(fd);
      return failWith(failure);
    }
    ::close(fd);
    generation_ = now;
    ownRanges_ = 0;
    return true;
  }

  // ownDescription for a call that does not otherwise hold the lock table's mutex.
  bool ownDescriptionLocked() {
    LockTable& table = lockTable();
    std::lock_guard<std::mutex> guard(table.mutex);
    table.dropInherited();
    return ownDescription();
  }

  const volatile uint8_t* mapHead(int64_t count) {
    std::lock_guard<std::mutex> guard(headMutex_);
    if (const uint8_t* head = head_.load(std::memory_order_acquire)) return head;
    // The first page only: a look inside it faults only when the file has no bytes at all.
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
      setLastOsError(errno);
      return nullptr;
    }
    if (st.st_size < std::max<int64_t>(count, 1)) return nullptr;
    installBusHandler();
    void* view = ::mmap(nullptr, size_t(::sysconf(_SC_PAGESIZE)), PROT_READ, MAP_SHARED, fd_, 0);
    if (view == MAP_FAILED) {
      setLastOsError(errno);
      return nullptr;
    }
    head_.store(static_cast<const uint8_t*>(view), std::memory_order_release);
    return static_cast<const uint8_t*>(view);
  }

  int fd_;
  std::string path_;
  FileIdentity id_;
  bool writable_;
  bool deleteOnClose_;
  // The share markers this open holds; none after releaseShareMode.
  std::optional<ShareMode> share_;
  // How many ranges this open holds in the lock table; guarded by its mutex.
  size_t ownRanges_ = 0;
  // LockTable::generation when this open's description was made (ownDescription).
  uint32_t generation_;
  // The shared view of the file's first page, made at the first peekHead that finds the file
  // long enough.
  std::mutex headMutex_;
  std::atomic<const uint8_t*> head_{nullptr};
};

class LocalFileSystem final : public FileSystem {
 public:
  std::unique_ptr<OsFile> openFile(const std::string& path, const OpenOptions& options) override {
    const std::string real = resolveIgnoringCase(path);
    return openShared(real, (options.write ? O_RDWR : O_RDONLY), options.share, options.deleteOnClose,
                      options.write, false);
  }

  std::unique_ptr<OsFile> openAsSpelt(const std::string& path, ShareMode share, bool create) override {
    return openShared(path, O_RDWR | (create ? O_CREAT : 0), share, false, true, false);
  }

  std::unique_ptr<OsFile> createFile(const std::string& path, bool deleteOnClose) override {
    const std::string real = resolveIgnoringCase(path);
    return openShared(real, O_RDWR | O_CREAT, ShareMode::Exclusive, deleteOnClose, true, true);
  }

  std::unique_ptr<OsFile> createFileReplacing(const std::string& path, bool deleteOnClose, void* head,
                                              int64_t count, bool& replaced) override {
    replaced = false;
    if (count < 0 || count > kHeadViewBytes) {
      setLastOsError(EINVAL);
      return nullptr;
    }
    const std::string real = resolveIgnoringCase(path);
    Replaced was{head, count};
    std::unique_ptr<OsFile> file =
        openShared(real, O_RDWR | O_CREAT, ShareMode::Exclusive, deleteOnClose, true, true, &was);
    replaced = file && was.found;
    return file;
  }

  std::unique_ptr<OsFile> createFileAsSpelt(const std::string& path) override {
    return openShared(path, O_RDWR | O_CREAT, ShareMode::Exclusive, false, true, true);
  }

  CreateNewResult createNewFile(const std::string& path) override {
    const std::string real = resolveIgnoringCase(path);
    int fd;
    do fd = ::open(real.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      const int err = errno;
      setLastOsError(err);
      return err == EEXIST ? CreateNewResult::Exists : CreateNewResult::Failed;
    }
    if (::close(fd) != 0 && errno != EINTR) {
      const int err = errno;
      ::unlink(real.c_str());
      setLastOsError(err);
      return CreateNewResult::Failed;
    }
    return CreateNewResult::Created;
  }

  bool fileInfo(const std::string& path, FileInfo& info) override {
    return statInfo(resolveIgnoringCase(path), info);
  }

  bool deleteFile(const std::string& path) override {
    const std::string real = resolveIgnoringCase(path);
    struct stat st {};
    if (::lstat(real.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return failWith(EISDIR);
    if (S_ISREG(st.st_mode) && openElsewhere(real)) return false;
    return ::unlink(real.c_str()) == 0 || failWith(errno);
  }

  bool openAnywhereAsSpelt(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno != ENOENT;
    // Every open holds the share marker; this one took no lock yet.
    const bool open = heldByOtherOpen(fd, kShareMarker);
    ::close(fd);
    return open;
  }

  bool deleteFileAsSpelt(const std::string& path) override {
    return ::unlink(path.c_str()) == 0 || failWith(errno);
  }

  bool renameFile(const std::string& from, const std::string& to) override {
    const std::string source = resolveIgnoringCase(from);
    struct stat src {};
    if (::lstat(source.c_str(), &src) != 0) return failWith(errno);
    if (source == to) return true;
    if (S_ISREG(src.st_mode) && openElsewhere(source)) return false;
    const std::string existing = resolveIgnoringCase(to);
    struct stat dst {};
    if (::lstat(existing.c_str(), &dst) == 0 && !(dst.st_dev == src.st_dev && dst.st_ino == src.st_ino))
      return failWith(EEXIST);
    // The target as spelt may still exist (the same file under a name equal in case); no replace.
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return failWith(errno);
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing target.
    if (::link(source.c_str(), to.c_str()) != 0) return failWith(errno);
    if (::unlink(source.c_str()) != 0) {
      const int err = errno;
      ::unlink(to.c_str());
      return failWith(err);
    }
    return true;
  }

  std::string resolvePath(const std::string& path) override { return resolveIgnoringCase(path); }

  std::string tempPath() override { return systemTempDirectory(); }

  std::string computerName() override {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
      setLastOsError(errno);
      return {};
    }
    return name;
  }

  void sleepFor(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }

 private:
  // What an emptied file began with: `count` bytes into `head`, `found` when it held them.
  struct Replaced {
    void* head;
    int64_t count;
    bool found = false;
  };

  // Opens `real` with `flags`; with O_CREAT a missing file is made, and with `empty` an existing
  // one is emptied (its first bytes taken into `replaced` first, when given).
  std::unique_ptr<OsFile> openShared(const std::string& real, int flags, ShareMode share, bool deleteOnClose,
                                     bool write, bool empty, Replaced* replaced = nullptr) {
    for (int attempt = 1;; ++attempt) {
      struct stat st {};
      if (::stat(real.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return failOpen(EISDIR);
        if (!S_ISREG(st.st_mode)) return failOpen(kNotRegularFile);
        if (write && (st.st_mode & 0222) == 0) return failOpen(EACCES);
      } else if (!(flags & O_CREAT)) {
        return failOpen(errno);
      }
      // Non-blocking, so that a FIFO put in the file's place meanwhile is not waited on either.
      const int fd = ::open(real.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
      if (fd < 0) return failOpen(errno);
      const bool measured = ::fstat(fd, &st) == 0;
      if (!measured || !S_ISREG(st.st_mode) ||
          ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        const int err = measured && S_ISDIR(st.st_mode)    ? EISDIR
                        : measured && !S_ISREG(st.st_mode) ? kNotRegularFile
                                                           : errno;
        ::close(fd);
        return failOpen(err);
      }
      if (takeShareMode(fd, share)) {
        // An empty file is not cut: cutting to nothing makes some file systems write the file
        // out at its close, which a new file does not need.
        struct stat now {};
        const bool cut = empty && (::fstat(fd, &now) != 0 || now.st_size != 0);
        uint8_t head[kHeadViewBytes];
        if (cut && replaced && replaced->count > 0 &&
            ::pread(fd, head, size_t(replaced->count), 0) == replaced->count) {
          std::memcpy(replaced->head, head, size_t(replaced->count));
          replaced->found = true;
        }
        if (cut && ::ftruncate(fd, 0) != 0) {
          const int err = errno;
          ::close(fd);
          return failOpen(err);
        }
        return std::make_unique<LocalFile>(fd, real, FileIdentity{uint64_t(st.st_dev), uint64_t(st.st_ino)},
                                           write, deleteOnClose, share);
      }
      const int err = lastOsError();
      ::close(fd);
      if (err != kSharingViolation || attempt == kShareAttempts) return failOpen(err);
      std::this_thread::sleep_for(std::chrono::milliseconds(attempt));
    }
  }

  static std::unique_ptr<OsFile> failOpen(int err) {
    setLastOsError(err);
    return nullptr;
  }
};

}  // namespace

bool FileSystem::existsAsSpelt(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool FileSystem::fileInfoAsSpelt(const std::string& path, FileInfo& info) {
  return statInfo(path, info);
}

std::vector<std::vector<std::string>> FileSystem::spellingsOf(const std::string& folder,
                                                              std::span<const std::string> names) {
  const std::vector<std::string_view> wanted(names.begin(), names.end());
  std::vector<std::vector<std::string>> found;
  std::string real = folder;
  bool listed = false;
  int error = 0;
  // Markers are looked for at every take-back of a table: their listing is kept while the folder
  // is watched to have had none come or go.
  std::vector<std::string> markers;
  if (!names.empty() && std::all_of(wanted.begin(), wanted.end(), isMarkerName) &&
      MarkerWatch::local().markerNames(folder, markers)) {
    found.assign(names.size(), {});
    for (const std::string& name : markers)
      for (size_t i = 0; i < names.size(); ++i)
        if (equalIgnoringAsciiCase(name, wanted[i])) found[i].push_back(name);
    listed = true;
  } else {
    listed = namesIgnoringCase(real, wanted, found);
    error = listed ? 0 : errno;
  }
  // A folder spelt otherwise is found as opens find it, once the one spelt so is not there.
  if (!listed && error == ENOENT && !real.empty()) {
    real = resolveIgnoringCase(real);
    if (real != folder) {
      listed = namesIgnoringCase(real, wanted, found);
      error = listed ? 0 : errno;
    }
  }
  if (!listed && error == EACCES) {
    for (size_t i = 0; i < names.size(); ++i) {
      struct stat st {};
      if (::lstat(joinPath(real, names[i]).c_str(), &st) == 0) found[i].push_back(names[i]);
    }
  } else if (!listed && error != ENOENT && error != ENOTDIR) {
    setLastOsError(error);
    return {};
  }
  for (size_t i = 0; i < names.size(); ++i) {
    std::vector<std::string>& paths = found[i];
    const auto exact = std::find(paths.begin(), paths.end(), names[i]);
    if (exact != paths.end()) std::rotate(paths.begin(), exact, exact + 1);
    for (std::string& path : paths) path = joinPath(real, path);
  }
  return found;
}

bool FileSystem::holdsNoMarkers(const std::string& folder) {
  std::vector<std::string> markers;
  return MarkerWatch::local().markerNames(folder, markers) && markers.empty();
}

std::unique_ptr<OsFile> FileSystem::openAsSpelt(const std::string& path, ShareMode share, bool create) {
  std::unique_ptr<OsFile> file = openFile(path, OpenOptions{true, share, false});
  if (file || !create || existsAsSpelt(path)) return file;
  if (createNewFile(path) == CreateNewResult::Failed) return nullptr;
  return openFile(path, OpenOptions{true, share, false});
}

std::string FileSystem::canonicalPath(const std::string& path) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) absolute = path;
  const std::string resolved = resolvePath(absolute.lexically_normal().string());
  std::filesystem::path canonical = std::filesystem::weakly_canonical(resolved, ec);
  if (ec) canonical = std::filesystem::path(resolved).lexically_normal();
  return canonical.string();
}

bool FileSystem::replaceFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 || failWith(errno);
}

bool FileSystem::takeAccessOf(const std::string& model, const std::string& path) {
  struct stat from {};
  if (::stat(resolvePath(model).c_str(), &from) != 0) return errno == ENOENT || failWith(errno);
  const std::string target = resolvePath(path);
  struct stat to {};
  if (::stat(target.c_str(), &to) != 0) return failWith(errno);
  // The group goes first: a change of group may clear bits that the mode then sets. A group the
  // user is no member of is not the user's to give (EPERM): the file keeps the user's own.
  if (to.st_gid != from.st_gid && ::chown(target.c_str(), uid_t(-1), from.st_gid) != 0 && errno != EPERM)
    return failWith(errno);
  const mode_t mode = from.st_mode & 0777;
  if ((to.st_mode & 07777) != mode && ::chmod(target.c_str(), mode) != 0) return failWith(errno);
  return true;
}

bool FileSystem::syncFolder(const std::string& path) {
  const int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return failWith(errno);
  // A file system that cannot sync a folder (EINVAL) keeps no entries to force.
  const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
  const int error = errno;
  ::close(fd);
  return synced || failWith(error);
}

FileSystem& FileSystem::local() {
  // Never destroyed, for the same reason as the lock table.
  static LocalFileSystem* fs = new LocalFileSystem;
  return *fs;
}

double systemVersion() {
  struct utsname u {};
  if (::uname(&u) != 0) return 0;
  int major = 0, minor = 0;
  if (std::sscanf(u.release, "%d.%d", &major, &minor) < 1) return 0;
  return major + minor / 100.0;
}

}  // namespace platform
