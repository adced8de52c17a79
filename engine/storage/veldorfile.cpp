#include "engine/storage/veldorfile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <random>
#include <utility>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorblob.h"
#include "engine/storage/veldorindex.h"
#include "engine/storage/veldoros.h"
#include "platform/bytes.h"
#include "platform/debugassert.h"
#include "platform/oserror.h"
#include "platform/zlibbuffer.h"

namespace engine {

namespace {

constexpr int64_t kMemoryStep = 4096;
// Far beyond any table kept in memory, and low enough that the arithmetic on it never overflows.
constexpr int64_t kMaxMemoryFileSize = INT64_C(1) << 38;
constexpr int64_t kCopyChunk = 65536;

// A compressed copy is a run of frames: u32 length of the chunk, u32 length of its zlib stream,
// then the stream. Chunks are at most kCopyChunk bytes, so a frame's stream is bounded too.
constexpr int64_t kFrameHeader = 8;
constexpr int64_t kMaxFrameStream = kCopyChunk + kCopyChunk / 100 + 1024;

int32_t negated(uint16_t code) {
  return -int32_t(code);
}

// A file that another open in this process holds cannot be created, renamed or deleted: refused
// as the system refuses a file another process holds, so that callers that wait for a sharing
// conflict to pass see it as one, not whatever error an earlier call left behind.
int32_t refusedAsOpen() {
  platform::setLastOsError(platform::kSharingViolation);
  return negated(VELDOR_OSEACCES);
}

std::string normalizeName(const std::string& name) {
  size_t begin = 0, end = name.size();
  while (begin < end && name[begin] == ' ') ++begin;
  while (end > begin && name[end - 1] == ' ') --end;
  std::string out = name.substr(begin, end - begin);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

// Whether `name` is `wanted` (already normalized) once normalized, letter case aside. Compared in
// place: the file list is searched by name for every temporary name a statement tries.
bool isNamed(const std::string& name, const std::string& wanted) {
  size_t begin = 0, end = name.size();
  while (begin < end && name[begin] == ' ') ++begin;
  while (end > begin && name[end - 1] == ' ') --end;
  if (end - begin != wanted.size()) return false;
  for (size_t i = 0; i < wanted.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(name[begin + i]), y = static_cast<unsigned char>(wanted[i]);
    if (x == '\\') x = '/';
    if (x >= 'A' && x <= 'Z') x = uint8_t(x + 32);
    if (y >= 'A' && y <= 'Z') y = uint8_t(y + 32);
    if (x != y) return false;
  }
  return true;
}

void setFailedName(std::string* failedName, const std::string& name) {
  if (failedName) *failedName = name;
}

}  // namespace

// ---- TAbstractFile ----

TAbstractFile::TAbstractFile(std::string name, bool temporary)
    : temporary_(temporary), name_(std::move(name)) {}

TAbstractFile::~TAbstractFile() = default;

int TAbstractFile::FindHandle(int32_t id) const {
  for (size_t i = 0; i < handles_.size(); ++i) {
    if (handles_[i].id == id) return int(i);
  }
  return -1;
}

TAbstractFile::Handle* TAbstractFile::handle(int32_t id) {
  const int i = FindHandle(id);
  return i < 0 ? nullptr : &handles_[size_t(i)];
}

int32_t TAbstractFile::addHandle() {
  int32_t id = 1;
  while (FindHandle(id) >= 0) ++id;
  handles_.push_back({id, 0});
  return id;
}

int32_t TAbstractFile::CreateFile() {
  std::lock_guard guard(section_);
  size_ = 0;
  return addHandle();
}

int32_t TAbstractFile::Open() {
  std::lock_guard guard(section_);
  return addHandle();
}

int32_t TAbstractFile::Close(int32_t id) {
  std::lock_guard guard(section_);
  const int i = FindHandle(id);
  if (i < 0) return negated(VELDOR_OSENOENT);
  handles_.erase(handles_.begin() + i);
  return 0;
}

int32_t TAbstractFile::RenameFile(const std::string& newName) {
  std::lock_guard guard(section_);
  name_ = newName;
  return 0;
}

int32_t TAbstractFile::DeleteFile() {
  return 0;
}

int64_t TAbstractFile::Read(int32_t id, void*, int64_t count) {
  std::lock_guard guard(section_);
  Handle* h = handle(id);
  if (!h || h->position < 0 || count <= 0 || h->position >= size_) return 0;
  if (count <= size_ - h->position) {
    h->position += count;
    return count;
  }
  const int64_t n = size_ - h->position;
  h->position = size_;
  return n;
}

int64_t TAbstractFile::Write(int32_t id, const void*, int64_t count) {
  std::lock_guard guard(section_);
  Handle* h = handle(id);
  if (!h || h->position < 0 || count <= 0) return 0;
  h->position += count;
  size_ = std::max(size_, h->position);
  return count;
}

int32_t TAbstractFile::Truncate(int32_t id) {
  std::lock_guard guard(section_);
  Handle* h = handle(id);
  if (!h || h->position < 0) return negated(VELDOR_OSEBADF);
  size_ = h->position;
  return 0;
}

bool TAbstractFile::Flush() {
  return true;
}

int64_t TAbstractFile::Seek(int32_t id, int origin, int64_t offset) {
  std::lock_guard guard(section_);
  Handle* h = handle(id);
  if (!h) return 0;
  switch (origin) {
    case kSeekBegin:
      h->position = offset;
      break;
    case kSeekCurrent:
      h->position += offset;
      break;
    case kSeekEnd:
      h->position = size_ + offset;
      break;
    default:
      break;
  }
  return h->position;
}

bool TAbstractFile::Lock(int64_t offset, int64_t length) {
  std::lock_guard guard(section_);
  if (offset < 0 || length <= 0) {
    platform::setLastOsError(EINVAL);
    return false;
  }
  const int64_t last = offset + length - 1;
  for (const LockRange& r : locks_) {
    if ((offset >= r.offset && offset <= r.last) || (r.offset >= offset && r.offset <= last)) {
      platform::setLastOsError(platform::kLockViolation);
      return false;
    }
  }
  locks_.push_back({offset, last, length});
  return true;
}

bool TAbstractFile::Unlock(int64_t offset, int64_t length) {
  std::lock_guard guard(section_);
  auto it = std::find_if(locks_.begin(), locks_.end(),
                         [&](const LockRange& r) { return r.offset == offset && r.length == length; });
  if (it == locks_.end()) return false;
  locks_.erase(it);
  return true;
}

// ---- TMemoryFile ----

bool TMemoryFile::reserve(int64_t size) {
  if (size <= 0) {
    std::vector<uint8_t>().swap(data_);
    return true;
  }
  if (size > kMaxMemoryFileSize) {
    platform::setLastOsError(EFBIG);
    return false;
  }
  try {
    if (size_t(size) > data_.size())
      data_.resize(size_t((size + kMemoryStep - 1) / kMemoryStep * kMemoryStep), 0);
  } catch (const std::bad_alloc&) {
    platform::setLastOsError(ENOMEM);
    return false;
  }
  return true;
}

int32_t TMemoryFile::CreateFile() {
  std::lock_guard guard(section_);
  std::vector<uint8_t>().swap(data_);
  return TAbstractFile::CreateFile();
}

int64_t TMemoryFile::Read(int32_t id, void* buffer, int64_t count) {
  std::lock_guard guard(section_);
  const int64_t n = TAbstractFile::Read(id, buffer, count);
  if (n > 0) std::memcpy(buffer, data_.data() + (handle(id)->position - n), size_t(n));
  return n;
}

int64_t TMemoryFile::Write(int32_t id, const void* buffer, int64_t count) {
  std::lock_guard guard(section_);
  const Handle* h = handle(id);
  if (!h || h->position < 0 || count <= 0) return 0;
  // Room first, so that a failed write leaves size and position as they were.
  if (h->position > kMaxMemoryFileSize - count || !reserve(std::max(size_, h->position + count)))
    return negated(VELDOR_OSEINVMEM);
  const int64_t n = TAbstractFile::Write(id, buffer, count);
  std::memcpy(data_.data() + (handle(id)->position - n), buffer, size_t(n));
  return n;
}

bool TMemoryFile::PeekHead(void* buffer, int64_t count) {
  std::lock_guard guard(section_);
  if (count < 0 || count > size_) return false;
  if (count > 0) std::memcpy(buffer, data_.data(), size_t(count));
  return true;
}

int32_t TMemoryFile::Truncate(int32_t id) {
  std::lock_guard guard(section_);
  const Handle* h = handle(id);
  if (!h || h->position < 0) return negated(VELDOR_OSEBADF);
  const int64_t oldSize = size_;
  const int64_t newSize = h->position;
  if (newSize > oldSize && !reserve(newSize)) return negated(VELDOR_OSEINVMEM);
  TAbstractFile::Truncate(id);
  // Bytes past the end stay zero, so a later extension reads zeros.
  if (newSize < oldSize && newSize > 0) std::fill(data_.begin() + newSize, data_.begin() + oldSize, 0);
  if (newSize == 0) reserve(0);
  return 0;
}

// ---- TPhysicalFile ----

TPhysicalFile::TPhysicalFile(std::string name, bool temporary, platform::FileSystem& fs)
    : TAbstractFile(std::move(name), temporary), fs_(fs) {}

TPhysicalFile::~TPhysicalFile() = default;

int32_t TPhysicalFile::CreateFile() {
  std::lock_guard guard(section_);
  if (!handles_.empty()) return negated(VELDOR_OSEACCES);
  file_ = fs_.createFileReplacing(name_, temporary_, replacedHead_, kReplacedHeadBytes, replaced_);
  if (!file_) return negated(OSErrorToEngineError());
  readOnly_ = false;
  readOnlyAttribute_ = false;
  size_ = 0;
  return addHandle();
}

int32_t TPhysicalFile::Open() {
  {
    std::lock_guard guard(section_);
    if (!handles_.empty()) return addHandle();
  }
  platform::FileInfo info;
  if (!fs_.fileInfo(name_, info)) return negated(OSErrorToEngineError());
  return Open(info);
}

int32_t TPhysicalFile::Open(const platform::FileInfo& info) {
  std::lock_guard guard(section_);
  if (!handles_.empty()) return addHandle();
  if (info.isDirectory) {
    platform::setLastOsError(EISDIR);
    return negated(VELDOR_OSEACCES);
  }
  readOnlyAttribute_ = info.readOnly;
  readOnly_ = info.readOnly;
  platform::OpenOptions options;
  options.write = !readOnly_;
  options.share = exclusive_ ? platform::ShareMode::Exclusive : platform::ShareMode::Shared;
  options.deleteOnClose = temporary_;
  file_ = fs_.openFile(name_, options);
  // Only a refusal of write access earns a second try for reading; an I/O error or a sharing
  // conflict would just come back, or worse, turn a passing fault into a read-only table.
  if (!file_ && options.write &&
      platform::osErrorKind(platform::lastOsError()) == platform::OsErrorKind::AccessDenied &&
      platform::lastOsError() != platform::kSharingViolation) {
    options.write = false;
    file_ = fs_.openFile(name_, options);
    if (file_) readOnly_ = true;
  }
  if (!file_) return negated(OSErrorToEngineError());
  const int64_t size = file_->size();
  size_ = size > 0 ? size : 0;
  return addHandle();
}

int32_t TPhysicalFile::Close(int32_t id) {
  std::lock_guard guard(section_);
  const int32_t r = TAbstractFile::Close(id);
  if (r == 0 && handles_.empty()) {
    file_.reset();
    leftHeld_.clear();
  }
  return r;
}

int32_t TPhysicalFile::RenameFile(const std::string& newName) {
  std::lock_guard guard(section_);
  if (file_) return negated(VELDOR_OSEACCES);
  if (!fs_.renameFile(name_, newName)) return negated(OSErrorToEngineError());
  name_ = newName;
  return 0;
}

int32_t TPhysicalFile::DeleteFile() {
  std::lock_guard guard(section_);
  if (file_) return negated(VELDOR_OSEACCES);
  if (!fs_.deleteFile(name_)) return negated(OSErrorToEngineError());
  return 0;
}

int64_t TPhysicalFile::Read(int32_t id, void* buffer, int64_t count) {
  std::lock_guard guard(section_);
  Handle* h = handle(id);
  if (!h || !file_ || count <= 0) return 0;
  if (h->position < 0) return negated(VELDOR_OSEBADF);
  const int64_t n = file_->readAt(h->position, buffer, count);
  if (n < 0) return negated(OSErrorToEngineError());
  h->position += n;
  return n;
}

int64_t TPhysicalFile::ReadAt(int32_t id, int64_t offset, void* buffer, int64_t count) {
  // Seek and Read in one: a record read per row of a scan in key order took the section four
  // times over.
  std::lock_guard guard(section_);
  Handle* h = handle(id);
  if (!h) return 0;
  h->position = offset;
  if (!file_ || count <= 0) return 0;
  if (offset < 0) return negated(VELDOR_OSEBADF);
  const int64_t n = file_->readAt(offset, buffer, count);
  if (n < 0) return negated(OSErrorToEngineError());
  h->position += n;
  return n;
}

int64_t TPhysicalFile::Write(int32_t id, const void* buffer, int64_t count) {
  std::lock_guard guard(section_);
  Handle* h = handle(id);
  if (!h || !file_ || count <= 0) return 0;
  if (h->position < 0) return negated(VELDOR_OSEBADF);
  changeStamp_.fetch_add(1, std::memory_order_relaxed);
  const int64_t n = file_->writeAt(h->position, buffer, count);
  if (n < 0) return negated(OSErrorToEngineError());
  h->position += n;
  size_ = std::max(size_, h->position);
  return n;
}

int32_t TPhysicalFile::Truncate(int32_t id) {
  std::lock_guard guard(section_);
  Handle* h = handle(id);
  if (!h || !file_ || h->position < 0) return negated(VELDOR_OSEBADF);
  changeStamp_.fetch_add(1, std::memory_order_relaxed);
  if (!file_->truncate(h->position)) return negated(OSErrorToEngineError());
  size_ = h->position;
  return 0;
}

bool TPhysicalFile::Flush() {
  std::lock_guard guard(section_);
  return file_ && file_->sync();
}

int64_t TPhysicalFile::Seek(int32_t id, int origin, int64_t offset) {
  std::lock_guard guard(section_);
  if (origin == kSeekEnd && file_) {
    // Another process may have changed the length.
    const int64_t size = file_->size();
    if (size >= 0) size_ = size;
  }
  return TAbstractFile::Seek(id, origin, offset);
}

namespace {

// After a failed release of [offset, offset + length): notes the range when the system still holds
// it for `file`. The release's error stays the thread's last one.
void noteLeftHeld(platform::OsFile& file, std::vector<platform::OsFile::Range>& left, int64_t offset,
                  int64_t length) {
  const int error = platform::lastOsError();
  if (file.holdsRange(offset, length)) left.push_back({offset, length});
  platform::setLastOsError(error);
}

// Drops [offset, offset + length) from `left`: its holder names it again, to release it now.
void forgetLeftHeld(std::vector<platform::OsFile::Range>& left, int64_t offset, int64_t length) {
  std::erase_if(left,
                [&](const platform::OsFile::Range& r) { return r.offset == offset && r.length == length; });
}

// Tries again to release what failed releases left held; keeps what is still refused.
void retryLeftHeld(platform::OsFile& file, std::vector<platform::OsFile::Range>& left) {
  if (left.empty()) return;
  const int error = platform::lastOsError();
  std::erase_if(left, [&](const platform::OsFile::Range& r) {
    return file.unlockRange(r.offset, r.length) || !file.holdsRange(r.offset, r.length);
  });
  platform::setLastOsError(error);
}

}  // namespace

bool TPhysicalFile::ReleaseShareMode() {
  std::lock_guard guard(section_);
  if (!file_) return false;
  // A range left held would stay locked behind a file that looks closed to everyone else.
  retryLeftHeld(*file_, leftHeld_);
  return leftHeld_.empty() && file_->releaseShareMode();
}

bool TPhysicalFile::RetakeShareMode(bool exclusive) {
  std::lock_guard guard(section_);
  if (!file_ ||
      !file_->retakeShareMode(exclusive ? platform::ShareMode::Exclusive : platform::ShareMode::Shared))
    return false;
  exclusive_ = exclusive;
  return true;
}

bool TPhysicalFile::ReplacedHead(uint8_t* head) const {
  if (!replaced_) return false;
  std::memcpy(head, replacedHead_, sizeof replacedHead_);
  return true;
}

bool TPhysicalFile::Facts(platform::FileInfo& info) {
  std::lock_guard guard(section_);
  return file_ && file_->facts(info);
}

bool TPhysicalFile::Lock(int64_t offset, int64_t length) {
  std::lock_guard guard(section_);
  if (!file_) {
    platform::setLastOsError(EBADF);
    return false;
  }
  const auto left = std::find_if(leftHeld_.begin(), leftHeld_.end(), [&](const platform::OsFile::Range& r) {
    return r.offset == offset && r.length == length;
  });
  if (left != leftHeld_.end() && file_->holdsRange(offset, length)) {
    leftHeld_.erase(left);
    return true;
  }
  retryLeftHeld(*file_, leftHeld_);
  return file_->lockRange(offset, length);
}

bool TPhysicalFile::Unlock(int64_t offset, int64_t length) {
  std::lock_guard guard(section_);
  if (!file_) return false;
  forgetLeftHeld(leftHeld_, offset, length);
  retryLeftHeld(*file_, leftHeld_);
  if (file_->unlockRange(offset, length)) return true;
  noteLeftHeld(*file_, leftHeld_, offset, length);
  return false;
}

bool TPhysicalFile::UnlockMany(std::span<platform::OsFile::Range> ranges) {
  std::lock_guard guard(section_);
  if (!file_) return false;
  for (const platform::OsFile::Range& r : ranges) forgetLeftHeld(leftHeld_, r.offset, r.length);
  retryLeftHeld(*file_, leftHeld_);
  if (file_->unlockRanges(ranges)) return true;
  for (const platform::OsFile::Range& r : ranges)
    if (!r.released) noteLeftHeld(*file_, leftHeld_, r.offset, r.length);
  return false;
}

// ---- TSpillFile ----

namespace {

// A file of up to this size stays in memory. A result that grows past it took far longer to
// produce than the one copy to disk takes, and by then the costs a disk file has beside the
// bytes (its name, its opens and deletes) are small against the work that filled it.
constexpr int64_t kDefaultSpillBound = INT64_C(8) << 20;
// All such files of the process together: many results open at once share it, so that they
// cannot take the process's memory between them; past it each file that grows goes to disk.
constexpr int64_t kDefaultSpillBudget = INT64_C(64) << 20;
// How many other names beside its own a spill tries when a file of its name is on disk.
constexpr int kSpillNameAttempts = 1000;

std::atomic<int64_t> spillBound{kDefaultSpillBound};
std::atomic<int64_t> spillBudget{kDefaultSpillBudget};
std::atomic<int64_t> spillBytes{0};

// `name` with "~n" put before its extension.
std::string spillAlternative(const std::string& name, int n) {
  const size_t slash = name.find_last_of('/');
  const size_t dot = name.find_last_of('.');
  const size_t at =
      dot == std::string::npos || (slash != std::string::npos && dot < slash) ? name.size() : dot;
  return name.substr(0, at) + "~" + std::to_string(n) + name.substr(at);
}

}  // namespace

TSpillFile::TSpillFile(std::string name, platform::FileSystem& fs, bool beside)
    : TAbstractFile(std::move(name), true), fs_(fs), beside_(beside) {}

TSpillFile::~TSpillFile() {
  release();
}

int64_t TSpillFile::SpillBound() {
  return spillBound.load(std::memory_order_relaxed);
}

int64_t TSpillFile::SpillBudget() {
  return spillBudget.load(std::memory_order_relaxed);
}

void TSpillFile::SetSpillBounds(int64_t perFile, int64_t perProcess) {
  spillBound.store(std::max<int64_t>(perFile, 0), std::memory_order_relaxed);
  spillBudget.store(std::max<int64_t>(perProcess, 0), std::memory_order_relaxed);
}

int64_t TSpillFile::BytesInMemory() {
  return spillBytes.load(std::memory_order_relaxed);
}

void TSpillFile::release() {
  std::vector<uint8_t>().swap(data_);
  spillBytes.fetch_sub(counted_, std::memory_order_relaxed);
  counted_ = 0;
}

bool TSpillFile::reserve(int64_t size) {
  if (size <= int64_t(data_.size())) return true;
  if (size > SpillBound()) return false;
  // Capacity doubles (within the bound), so that a file written in small pieces is not copied at
  // every step; the budget counts the capacity held.
  const int64_t wanted = (size + kMemoryStep - 1) / kMemoryStep * kMemoryStep;
  if (wanted <= counted_) {
    // Within the room already counted (and held: see below).
    data_.resize(size_t(wanted), 0);
    return true;
  }
  const int64_t capacity = std::max(wanted, std::min(counted_ * 2, SpillBound()));
  const int64_t more = capacity - counted_;
  int64_t held = spillBytes.load(std::memory_order_relaxed);
  do {
    if (held + more > SpillBudget()) return false;
  } while (!spillBytes.compare_exchange_weak(held, held + more, std::memory_order_relaxed));
  try {
    data_.reserve(size_t(capacity));
    data_.resize(size_t(wanted), 0);
  } catch (const std::bad_alloc&) {
    spillBytes.fetch_sub(more, std::memory_order_relaxed);
    return false;
  }
  counted_ = capacity;
  return true;
}

int32_t TSpillFile::Spill() {
  std::lock_guard guard(section_);
  if (file_) return 0;
  // The name is claimed as every temporary name is, against every process; a file of that name
  // left there (by a process that ended, say) is not ours to touch, so another name is taken.
  std::string path;
  for (int n = beside_ ? 1 : 0; path.empty(); ++n) {
    if (n > kSpillNameAttempts) {
      platform::setLastOsError(EEXIST);
      return negated(VELDOR_OSEACCES);
    }
    const std::string candidate = n == 0 ? name_ : spillAlternative(name_, n);
    switch (fs_.createNewFile(candidate)) {
      case platform::CreateNewResult::Created:
        path = candidate;
        break;
      case platform::CreateNewResult::Exists:
        break;
      case platform::CreateNewResult::Failed:
        return negated(OSErrorToEngineError());
    }
  }
  std::unique_ptr<platform::OsFile> disk = fs_.createFile(path, true);
  if (!disk) {
    const int32_t code = negated(OSErrorToEngineError());
    const int savedError = platform::lastOsError();
    fs_.deleteFile(path);
    platform::setLastOsError(savedError);
    return code;
  }
  // From here a failure drops `disk`, which deletes the file: the bytes stay in memory.
  for (int64_t done = 0; done < size_;) {
    const int64_t n = disk->writeAt(done, data_.data() + done, size_ - done);
    if (n <= 0) {
      if (n == 0) platform::setLastOsError(ENOSPC);
      return negated(OSErrorToEngineError());
    }
    done += n;
  }
  for (const LockRange& r : locks_) {
    if (!disk->lockRange(r.offset, r.length)) return negated(OSErrorToEngineError());
  }
  file_ = std::move(disk);
  diskName_ = path;
  locks_.clear();
  release();
  return 0;
}

int32_t TSpillFile::CreateFile() {
  std::lock_guard guard(section_);
  if (!handles_.empty()) return negated(VELDOR_OSEACCES);
  file_.reset();
  diskName_.clear();
  release();
  locks_.clear();
  size_ = 0;
  readOnly_ = readOnlyAttribute_ = false;
  return addHandle();
}

int32_t TSpillFile::Close(int32_t id) {
  std::lock_guard guard(section_);
  const int32_t r = TAbstractFile::Close(id);
  if (r == 0 && handles_.empty()) {
    file_.reset();
    release();
    locks_.clear();
    size_ = 0;
  }
  return r;
}

int32_t TSpillFile::RenameFile(const std::string& newName) {
  std::lock_guard guard(section_);
  if (file_) return negated(VELDOR_OSEACCES);
  return TAbstractFile::RenameFile(newName);
}

int64_t TSpillFile::Read(int32_t id, void* buffer, int64_t count) {
  std::lock_guard guard(section_);
  Handle* h = handle(id);
  if (!h || count <= 0) return 0;
  if (h->position < 0) return negated(VELDOR_OSEBADF);
  if (file_) {
    const int64_t n = file_->readAt(h->position, buffer, count);
    if (n < 0) return negated(OSErrorToEngineError());
    h->position += n;
    return n;
  }
  const int64_t n = TAbstractFile::Read(id, buffer, count);
  if (n > 0) std::memcpy(buffer, data_.data() + (h->position - n), size_t(n));
  return n;
}

int64_t TSpillFile::Write(int32_t id, const void* buffer, int64_t count) {
  std::lock_guard guard(section_);
  Handle* h = handle(id);
  if (!h || count <= 0) return 0;
  if (h->position < 0) return negated(VELDOR_OSEBADF);
  if (!file_) {
    if (h->position <= SpillBound() - count && reserve(std::max(size_, h->position + count))) {
      std::memcpy(data_.data() + h->position, buffer, size_t(count));
      h->position += count;
      size_ = std::max(size_, h->position);
      return count;
    }
    if (const int32_t r = Spill(); r < 0) return r;
  }
  const int64_t n = file_->writeAt(h->position, buffer, count);
  if (n < 0) return negated(OSErrorToEngineError());
  h->position += n;
  size_ = std::max(size_, h->position);
  return n;
}

int32_t TSpillFile::Truncate(int32_t id) {
  std::lock_guard guard(section_);
  Handle* h = handle(id);
  if (!h || h->position < 0) return negated(VELDOR_OSEBADF);
  const int64_t newSize = h->position;
  if (!file_) {
    if (newSize <= size_ || reserve(newSize)) {
      // Bytes past the end read as zeros once the file is extended again.
      if (newSize < size_) std::fill(data_.begin() + newSize, data_.begin() + size_, 0);
      size_ = newSize;
      if (size_ == 0) release();
      return 0;
    }
    if (const int32_t r = Spill(); r < 0) return r;
  }
  if (!file_->truncate(newSize)) return negated(OSErrorToEngineError());
  size_ = newSize;
  return 0;
}

bool TSpillFile::Flush() {
  std::lock_guard guard(section_);
  return !file_ || file_->sync();
}

bool TSpillFile::Lock(int64_t offset, int64_t length) {
  std::lock_guard guard(section_);
  return file_ ? file_->lockRange(offset, length) : TAbstractFile::Lock(offset, length);
}

bool TSpillFile::Unlock(int64_t offset, int64_t length) {
  std::lock_guard guard(section_);
  return file_ ? file_->unlockRange(offset, length) : TAbstractFile::Unlock(offset, length);
}

// ---- TFileList ----

TFileList::TFileList(platform::FileSystem& fs) : fs_(fs) {}

TFileList::~TFileList() = default;

size_t TFileList::Count() {
  std::lock_guard guard(section_);
  return files_.size();
}

void TFileList::Clear() {
  std::lock_guard guard(section_);
  // Keepers let go first, so that none is left holding a file object freed here.
  for (bool released = true; released;) {
    released = false;
    for (const auto& f : files_) {
      if (TFileKeeper* keeper = f->Keeper()) {
        keeper->ReleaseKeptFiles();
        released = true;
        break;
      }
    }
  }
  files_.clear();
}

TAbstractFile* TFileList::find(const std::string& name, bool inMemory,
                               std::optional<platform::FileInfo>* onDisk) {
  const std::string wanted = normalizeName(name);
  for (const auto& f : files_) {
    if (f->IsInMemory() == inMemory && isNamed(f->Name(), wanted)) return f.get();
  }
  if (inMemory) return nullptr;
  platform::FileInfo info;
  const int savedError = platform::lastOsError();
  const bool exists = fs_.fileInfo(wanted, info) && !info.isDirectory;
  platform::setLastOsError(savedError);
  if (!exists) return nullptr;
  if (onDisk) *onDisk = info;
  for (const auto& f : files_) {
    auto* physical = dynamic_cast<TPhysicalFile*>(f.get());
    if (physical && physical->HasIdentity() && physical->Identity() == info.identity) return physical;
  }
  return nullptr;
}

namespace {

// Files kept open in the whole process: the tables of a few directories' statements, and far below
// any descriptor limit.
constexpr size_t kMaxKeptFiles = 48;

}  // namespace

void TFileList::KeepFile(TAbstractFile& file, TFileKeeper& keeper) {
  std::lock_guard guard(section_);
  // Each round lets one keeper go; a keeper that could not let go ends the rounds rather than
  // being asked again. A list shorter than the limit cannot hold that many kept files: no round.
  for (size_t round = 0; files_.size() >= kMaxKeptFiles && !file.IsInMemory() && round <= files_.size();
       ++round) {
    size_t kept = 0;
    TAbstractFile* oldest = nullptr;
    for (const auto& f : files_) {
      // Files in memory hold no descriptor.
      if (!f->Keeper() || f->IsInMemory()) continue;
      ++kept;
      if (f->Keeper() != &keeper && (!oldest || f->KeptSerial() < oldest->KeptSerial())) oldest = f.get();
    }
    if (kept < kMaxKeptFiles || !oldest) break;
    TFileKeeper* victim = oldest->Keeper();
    victim->ReleaseKeptFiles();
    if (std::any_of(files_.begin(), files_.end(),
                    [victim](const std::unique_ptr<TAbstractFile>& f) { return f->Keeper() == victim; }))
      break;
  }
  file.SetKeeper(&keeper);
  file.SetKeptSerial(++keptSerial_);
}

TAbstractFile* TFileList::findInUse(const std::string& name, bool inMemory,
                                    std::optional<platform::FileInfo>* onDisk) {
  TAbstractFile* f = find(name, inMemory, onDisk);
  if (!f || !f->Keeper()) return f;
  // The keeper's close may free the object: it is looked up again.
  f->Keeper()->ReleaseKeptFiles();
  return find(name, inMemory, onDisk);
}

void TFileList::unlist(TAbstractFile* file) {
  std::erase_if(files_, [file](const std::unique_ptr<TAbstractFile>& f) { return f.get() == file; });
}

int32_t TFileList::CreateFile(const std::string& name, bool inMemory, bool temporary, TAbstractFile*& file) {
  std::lock_guard guard(section_);
  file = nullptr;
  TAbstractFile* f = findInUse(name, inMemory);
  if (f && f->OpenCount() > 0) return refusedAsOpen();
  if (!f) {
    if (inMemory)
      files_.push_back(std::make_unique<TMemoryFile>(normalizeName(name), temporary));
    else
      files_.push_back(std::make_unique<TPhysicalFile>(normalizeName(name), temporary, fs_));
    f = files_.back().get();
  }
  f->SetExclusive(true);
  f->SetTemporary(temporary);
  const int32_t id = f->CreateFile();
  if (id < 0) {
    if (!inMemory) unlist(f);
    return id;
  }
  file = f;
  return id;
}

int32_t TFileList::CreateSpillFile(const std::string& name, TAbstractFile*& file, bool beside) {
  std::lock_guard guard(section_);
  file = nullptr;
  const std::string wanted = normalizeName(name);
  for (const auto& f : files_) {
    // The caller chose a name nobody in this process uses; one in use stays as it is.
    if (!f->IsInMemory() && isNamed(f->Name(), wanted)) return refusedAsOpen();
  }
  files_.push_back(std::make_unique<TSpillFile>(wanted, fs_, beside));
  TAbstractFile* f = files_.back().get();
  f->SetExclusive(true);
  const int32_t id = f->CreateFile();
  if (id < 0) {
    unlist(f);
    return id;
  }
  file = f;
  return id;
}

int32_t TFileList::OpenFile(const std::string& name, bool inMemory, TAbstractFile*& file,
                            bool& readOnlyAttribute, bool& readOnly, bool exclusive, bool temporary) {
  std::lock_guard guard(section_);
  file = nullptr;
  std::optional<platform::FileInfo> onDisk;
  TAbstractFile* f = findInUse(name, inMemory, &onDisk);
  int32_t id;
  if (f && f->OpenCount() > 0) {
    if (f->Exclusive() || exclusive) {
      platform::setLastOsError(platform::kSharingViolation);
      return negated(VELDOR_OSEACCES);
    }
    id = f->Open();
  } else if (f) {
    f->SetExclusive(exclusive);
    f->SetTemporary(temporary);
    id = f->Open();
  } else {
    if (inMemory) {
      platform::setLastOsError(ENOENT);
      return negated(VELDOR_OSENOENT);
    }
    auto physical = std::make_unique<TPhysicalFile>(normalizeName(name), temporary, fs_);
    physical->SetExclusive(exclusive);
    // The look-up above has just read the file's facts; a name it did not find is opened the
    // long way, which says why it cannot be.
    id = onDisk ? physical->Open(*onDisk) : physical->Open();
    f = physical.get();
    files_.push_back(std::move(physical));
  }
  if (id < 0) {
    if (!inMemory && f->OpenCount() == 0) unlist(f);
    return id;
  }
  readOnlyAttribute = f->ReadOnlyAttribute();
  readOnly = f->ReadOnly();
  file = f;
  return id;
}

int32_t TFileList::CloseFile(TAbstractFile* file, bool inMemory, int32_t handleId) {
  std::lock_guard guard(section_);
  const bool listed =
      std::any_of(files_.begin(), files_.end(),
                  [file](const std::unique_ptr<TAbstractFile>& f) { return f.get() == file; });
  if (!listed || file->IsInMemory() != inMemory || file->OpenCount() == 0) return negated(VELDOR_OSENOENT);
  // A kept file has one handle, its keeper's.
  file->SetKeeper(nullptr);
  const int32_t r = file->Close(handleId);
  if (r < 0) return r;
  if (file->OpenCount() == 0 && (!inMemory || file->Temporary())) unlist(file);
  return 0;
}

int32_t TFileList::RenameFile(const std::string& name, bool inMemory, const std::string& newName) {
  std::lock_guard guard(section_);
  TAbstractFile* f = findInUse(name, inMemory);
  if (f) {
    if (f->OpenCount() > 0) return refusedAsOpen();
    if (inMemory) {
      TAbstractFile* other = find(newName, true);
      if (other && other != f) {
        platform::setLastOsError(EEXIST);
        return negated(OSErrorToEngineError());
      }
      return f->RenameFile(normalizeName(newName));
    }
    const int32_t r = f->RenameFile(normalizeName(newName));
    return r;
  }
  if (inMemory) {
    platform::setLastOsError(ENOENT);
    return negated(VELDOR_OSENOENT);
  }
  if (!fs_.renameFile(normalizeName(name), normalizeName(newName))) return negated(OSErrorToEngineError());
  return 0;
}

int32_t TFileList::DeleteFile(const std::string& name, bool inMemory) {
  std::lock_guard guard(section_);
  TAbstractFile* f = findInUse(name, inMemory);
  if (f) {
    if (f->OpenCount() > 0) return refusedAsOpen();
    const int32_t r = f->DeleteFile();
    unlist(f);
    return r;
  }
  if (inMemory) {
    platform::setLastOsError(ENOENT);
    return negated(VELDOR_OSENOENT);
  }
  if (!fs_.deleteFile(normalizeName(name))) return negated(OSErrorToEngineError());
  return 0;
}

int32_t TFileList::SyncFile(const std::string& name) {
  std::lock_guard guard(section_);
  if (TAbstractFile* f = findInUse(name, false); f && f->OpenCount() > 0)
    return f->Flush() ? 0 : negated(OSErrorToEngineError());
  // Dirty pages belong to the file, not to the open that wrote them: a read-only open forces them.
  const std::unique_ptr<platform::OsFile> file =
      fs_.openFile(normalizeName(name), platform::OpenOptions{false, platform::ShareMode::Shared, false});
  if (!file || !file->sync()) return negated(OSErrorToEngineError());
  return 0;
}

bool TFileList::Listed(const std::string& name, bool inMemory) {
  std::lock_guard guard(section_);
  const std::string wanted = normalizeName(name);
  return std::any_of(files_.begin(), files_.end(), [&](const std::unique_ptr<TAbstractFile>& f) {
    return f->IsInMemory() == inMemory && isNamed(f->Name(), wanted);
  });
}

bool TFileList::FileExists(const std::string& name, bool inMemory) {
  std::lock_guard guard(section_);
  std::optional<platform::FileInfo> onDisk;
  TAbstractFile* f = find(name, inMemory, &onDisk);
  // A disk file kept open may have been deleted by another process since.
  if (f && f->Keeper() && !inMemory && !onDisk) {
    platform::FileInfo info;
    const int savedError = platform::lastOsError();
    const bool exists = fs_.fileInfo(normalizeName(name), info) && !info.isDirectory;
    platform::setLastOsError(savedError);
    return exists;
  }
  return f || onDisk.has_value();
}

namespace {
enum CopyMode { kCopyPlain, kCopyPack, kCopyUnpack };
}

int32_t TFileList::copyChunks(TAbstractFile* from, int32_t fromHandle, TAbstractFile* to, int32_t toHandle,
                              int mode, const TFileProgress& progress, int step, std::string* failedName) {
  std::scoped_lock sections(from->Section(), to->Section());
  const int64_t size = from->Seek(fromHandle, kSeekEnd, 0);
  from->Seek(fromHandle, kSeekBegin, 0);
  std::vector<uint8_t> chunk(static_cast<size_t>(kCopyChunk));
  std::vector<uint8_t> packed;
  int64_t done = 0;
  int lastReported = 0;
  auto report = [&](int64_t count) {
    done += count;
    if (!progress || size <= 0) return;
    const int percent = int(std::lround(double(done) / double(size) * 100.0));
    if (percent >= lastReported + step) {
      progress(percent);
      lastReported = percent;
    }
  };
  auto readFailed = [&] {
    setFailedName(failedName, from->Name());
    return negated(VELDOR_READERR);
  };
  auto writeAll = [&](const uint8_t* data, int64_t count) {
    const int64_t n = to->Write(toHandle, data, count);
    if (n == count) return true;
    setFailedName(failedName, to->Name());
    return false;
  };
  auto corrupt = [&] {
    setFailedName(failedName, from->Name());
    return negated(VELDOR_UNCOMPRESS);
  };

  for (;;) {
    if (mode == kCopyUnpack) {
      uint8_t header[kFrameHeader];
      const int64_t h = from->Read(fromHandle, header, kFrameHeader);
      if (h < 0) return readFailed();
      if (h == 0) break;
      if (h < kFrameHeader) return corrupt();
      const int64_t rawLength = platform::get4(header);
      const int64_t streamLength = platform::get4(header + 4);
      if (rawLength <= 0 || rawLength > kCopyChunk || streamLength <= 0 || streamLength > kMaxFrameStream)
        return corrupt();
      packed.resize(size_t(streamLength));
      const int64_t n = from->Read(fromHandle, packed.data(), streamLength);
      if (n < 0) return readFailed();
      if (n < streamLength) return corrupt();
      std::vector<uint8_t> raw;
      if (platform::inflateBuffer(packed.data(), packed.size(), size_t(rawLength), raw) !=
              platform::InflateStatus::Ok ||
          int64_t(raw.size()) != rawLength)
        return corrupt();
      if (!writeAll(raw.data(), rawLength)) return negated(VELDOR_WRITEERR);
      report(kFrameHeader + streamLength);
      continue;
    }
    const int64_t n = from->Read(fromHandle, chunk.data(), kCopyChunk);
    if (n < 0) return readFailed();
    if (n > 0) {
      if (mode == kCopyPack) {
        if (!platform::deflateBuffer(chunk.data(), size_t(n), packed)) {
          setFailedName(failedName, to->Name());
          return negated(VELDOR_COMPRESS);
        }
        uint8_t header[kFrameHeader];
        platform::put4(header, uint32_t(n));
        platform::put4(header + 4, uint32_t(packed.size()));
        if (!writeAll(header, kFrameHeader) || !writeAll(packed.data(), int64_t(packed.size())))
          return negated(VELDOR_WRITEERR);
      } else if (!writeAll(chunk.data(), n)) {
        return negated(VELDOR_WRITEERR);
      }
      report(n);
    }
    if (n < kCopyChunk) break;
  }
  if (progress && size <= 0) progress(100);
  return 0;
}

int32_t TFileList::CopyToNewFile(TAbstractFile* source, int32_t sourceHandle, bool inMemory,
                                 const std::string& destination, bool compress, const TFileProgress& progress,
                                 int step, std::string* failedName) {
  std::lock_guard guard(section_);
  TAbstractFile* target = nullptr;
  const int32_t id = CreateFile(destination, inMemory, false, target);
  if (id < 0) {
    setFailedName(failedName, destination);
    return id;
  }
  // A copy (an index backup) is open to no one the file itself is not open to.
  int32_t r = 0;
  if (!inMemory && !fs_.takeAccessOf(source->Name(), destination)) {
    setFailedName(failedName, destination);
    r = negated(OSErrorToEngineError());
  }
  if (r == 0)
    r = copyChunks(source, sourceHandle, target, id, compress ? kCopyPack : kCopyPlain, progress, step,
                   failedName);
  if (r == 0 && !inMemory && !target->Flush()) {
    setFailedName(failedName, destination);
    r = negated(VELDOR_WRITEERR);
  }
  const int32_t closed = CloseFile(target, inMemory, id);
  if (r == 0 && closed < 0) {
    setFailedName(failedName, destination);
    r = closed;
  }
  if (r < 0) {
    // A partial copy must not pass for a backup. Keep the copy's error, not the delete's.
    const int savedError = platform::lastOsError();
    DeleteFile(destination, inMemory);
    platform::setLastOsError(savedError);
  }
  return r;
}

int32_t TFileList::CopyToFile(TAbstractFile* file, int32_t handle, bool inMemory, const std::string& source,
                              bool compress, const TFileProgress& progress, int step,
                              std::string* failedName) {
  std::lock_guard guard(section_);
  TAbstractFile* from = nullptr;
  bool readOnlyAttribute = false, readOnly = false;
  const int32_t id = OpenFile(source, inMemory, from, readOnlyAttribute, readOnly, true, false);
  if (id < 0) {
    setFailedName(failedName, source);
    return id;
  }
  int32_t r =
      copyChunks(from, id, file, handle, compress ? kCopyUnpack : kCopyPlain, progress, step, failedName);
  if (r == 0 && file->Truncate(handle) < 0) {
    setFailedName(failedName, file->Name());
    r = negated(VELDOR_WRITEERR);
  }
  const int32_t closed = CloseFile(from, inMemory, id);
  if (r == 0 && closed < 0) r = closed;
  return r;
}

TFileList& EngineFileList() {
  // Never destroyed: tables kept open by objects that static destructors free close their files
  // through it at the process's end, in whatever order those run.
  static TFileList* list = new TFileList;
  return *list;
}

bool RetryLock(const std::function<bool(uint32_t attempt)>& attempt, const LockRetryRules& rules,
               platform::FileSystem& fs) {
  const uint32_t attempts = std::max<uint32_t>(rules.attempts, 1);
  for (uint32_t i = 1; i <= attempts; ++i) {
    if (attempt(i)) return true;
    if (i < attempts) fs.sleepFor(rules.pause);
  }
  return false;
}

// ---- TFileHandler ----

TFileHandler::TFileHandler(TFileList* list) : list_(list ? list : &EngineFileList()) {}

TFileHandler::~TFileHandler() {
  TFileHandler::Close();
}

void TFileHandler::raise(uint16_t code) const {
  raise(code, name_);
}

void TFileHandler::raise(uint16_t code, const std::string& name) const {
  SignalTableError(code, name);
}

void TFileHandler::Open() {
  if (open_) return;
  readOnlyAttribute_ = false;
  TAbstractFile* file = nullptr;
  bool readOnlyAttribute = false, readOnly = false;
  const int32_t r =
      list_->OpenFile(name_, inMemory_, file, readOnlyAttribute, readOnly, exclusive_, temporary_);
  if (r < 0) {
    // A file that is not there (or is a folder) is reported as missing, whatever the open said.
    if (!FileExists()) {
      platform::setLastOsError(ENOENT);
      raise(VELDOR_OSENOENT);
    }
    raise(uint16_t(-r));
  }
  DropHeldWrites();
  forgetWritten();
  file_ = file;
  handleId_ = r;
  readOnly_ = readOnly;
  readOnlyAttribute_ = readOnlyAttribute;
  open_ = true;
}

bool TFileHandler::Keep(TFileKeeper& keeper) {
  if (!open_ || !file_ || file_->OpenCount() != 1 || file_->Keeper() || HasHeldWrites()) return false;
  if (auto* physical = dynamic_cast<TPhysicalFile*>(file_)) {
    // Taken back and neither written nor cut since: the file is as the take-back found it under
    // its name, unless another process changed it meanwhile, which the facts kept then would make
    // the next take-back see as well.
    const bool seen = std::exchange(keptFactsSeen_, false) && physical->ChangeStamp() == keptFactsStamp_;
    if (!seen && !physical->Facts(keptFacts_)) return false;
  }
  if (!file_->ReleaseShareMode()) return false;
  list_->KeepFile(*file_, keeper);
  return true;
}

bool TFileHandler::MemoryFirstInMemory() const {
  return open_ && file_ && file_->HoldsUnspilledBytes();
}

bool TFileHandler::Resume() {
  if (!open_ || !file_) return false;
  file_->SetKeeper(nullptr);
  return file_->RetakeShareMode(exclusive_);
}

bool TFileHandler::KeptUnchanged() {
  if (!open_ || !file_) return false;
  auto* physical = dynamic_cast<TPhysicalFile*>(file_);
  if (!physical) return true;
  // The name must still lead to the very file kept, unchanged: another process may have
  // replaced it (a restructure swaps files by rename), re-created it in place, restored a
  // backup over it or changed its attributes since.
  platform::FileInfo now;
  const int savedError = platform::lastOsError();
  const bool found = list_->FileSystem().fileInfoAsSpelt(physical->OpenPath(), now);
  platform::setLastOsError(savedError);
  keptFactsSeen_ = found && !now.isDirectory && now.identity == keptFacts_.identity &&
                   now.size == keptFacts_.size && now.changedNs == keptFacts_.changedNs &&
                   now.modifiedNs == keptFacts_.modifiedNs && now.readOnly == keptFacts_.readOnly;
  keptFactsStamp_ = physical->ChangeStamp();
  return keptFactsSeen_;
}

void TFileHandler::Close() {
  DropHeldWrites();
  held_.Release();
  forgetWritten();
  keptFactsSeen_ = false;
  if (handleId_ >= 1 && file_) list_->CloseFile(file_, inMemory_, handleId_);
  file_ = nullptr;
  handleId_ = 0;
  open_ = false;
}

void TFileHandler::CreateFile() {
  if (file_) Close();
  DropHeldWrites();
  forgetWritten();
  TAbstractFile* file = nullptr;
  // A table's name is claimed on disk by its data file alone: its index and blob files spill
  // beside their names (TFileList::CreateSpillFile).
  const bool beside = dynamic_cast<const TIndexFile*>(this) || dynamic_cast<const TBlobFile*>(this);
  const int32_t r = memoryFirst_ && temporary_ && !inMemory_
                        ? list_->CreateSpillFile(name_, file, beside)
                        : list_->CreateFile(name_, inMemory_, temporary_, file);
  if (r < 0) raise(uint16_t(-r));
  file_ = file;
  handleId_ = r;
  readOnly_ = false;
  readOnlyAttribute_ = false;
  open_ = true;
}

void TFileHandler::DeleteFile() {
  const int32_t r = list_->DeleteFile(name_, inMemory_);
  if (r < 0) raise(uint16_t(-r));
}

void TFileHandler::RenameFile(const std::string& newName) {
  const int32_t r = list_->RenameFile(name_, inMemory_, newName);
  if (r < 0) raise(uint16_t(-r));
  name_ = newName;
}

void TFileHandler::CopyToNewFile(const std::string& destination, bool compress, const TFileProgress& progress,
                                 int step) {
  if (!open_) return;
  std::string failed;
  const int32_t r =
      list_->CopyToNewFile(file_, handleId_, inMemory_, destination, compress, progress, step, &failed);
  if (r < 0) raise(uint16_t(-r), failed.empty() ? name_ : failed);
}

void TFileHandler::CopyToFile(const std::string& source, bool compress, const TFileProgress& progress,
                              int step) {
  if (!open_) return;
  forgetWritten();
  std::string failed;
  const int32_t r = list_->CopyToFile(file_, handleId_, inMemory_, source, compress, progress, step, &failed);
  if (r < 0) raise(uint16_t(-r), failed.empty() ? name_ : failed);
}

int64_t TFileHandler::Read(void* buffer, int64_t count, bool allowShort) {
  if (!file_) raise(VELDOR_READERR);
  int64_t n;
  if (held_.Empty()) {
    n = file_->Read(handleId_, buffer, count);
  } else {
    std::lock_guard guard(file_->Section());
    const int64_t position = Seek(kSeekCurrent, 0);
    n = file_->Read(handleId_, buffer, count);
    // The set lies over the disk's bytes up to the length it found (less what it cut): a read
    // that comes back short of that met a file cut behind the set, whose missing bytes would
    // otherwise read as zeros, and is the read error any short read is.
    const int64_t onDisk =
        std::clamp<int64_t>(std::min(held_.LowestCut(), held_.DiskSize()) - position, 0, count);
    if (n >= 0 && n < onDisk) raise(VELDOR_READERR);
    if (n >= 0) {
      n = held_.Overlay(position, static_cast<uint8_t*>(buffer), count, n);
      Seek(kSeekBegin, position + n);
    }
  }
  if (n < 0 || (n < count && !allowShort)) raise(VELDOR_READERR);
  return n;
}

void TFileHandler::Write(const void* buffer, int64_t count) {
  if (!file_) raise(VELDOR_WRITEERR);
  if (count <= 0) return;
  if (holdWrites_) {
    std::lock_guard guard(file_->Section());
    const int64_t position = Seek(kSeekCurrent, 0);
    held_.Write(held_.Empty() ? heldBase() : held_.DiskSize(), position, static_cast<const uint8_t*>(buffer),
                count);
    Seek(kSeekBegin, position + count);
    return;
  }
  forgetWritten();
  if (file_->Write(handleId_, buffer, count) != count) raise(VELDOR_WRITEERR);
}

void TFileHandler::Flush() {
  if (holdWrites_ && file_) {
    flushWanted_ = true;
    return;
  }
  FlushDirect();
}

void TFileHandler::Truncate() {
  if (holdWrites_ && file_) {
    std::lock_guard guard(file_->Section());
    held_.Cut(held_.Empty() ? heldBase() : held_.DiskSize(), Seek(kSeekCurrent, 0));
    return;
  }
  forgetWritten();
  if (!file_ || file_->Truncate(handleId_) < 0) raise(VELDOR_WRITEERR);
}

void TFileHandler::ReserveHeld(int64_t offset, int64_t count) {
  if (!holdWrites_ || !file_) return;
  std::lock_guard guard(file_->Section());
  held_.Reserve(offset, count);
}

void TFileHandler::DropHeldWrites() {
  held_.Clear();
  flushWanted_ = false;
}

namespace {

// Extents at most this far apart go out in one write with the bytes between them as the disk
// holds them, up to a run of kWriteRunBytes: a change scattered over many records or pages (a
// batch of modifies) costs a few large writes instead of a system call per record. The bytes
// between are written as they were, so a write-out cut short, or a reader meanwhile, sees them
// unchanged, and the journal of the old bytes covers all that changes.
constexpr int64_t kWriteGapBytes = 1024;
constexpr int64_t kWriteRunBytes = int64_t(1) << 20;

}  // namespace

void TFileHandler::WriteOutHeld(bool flush) {
  if (held_.Empty()) return;
  if (held_.LowestCut() < held_.DiskSize()) CutDirect(held_.LowestCut());
  const auto& extents = held_.Extents();
  // The length the writes below leave: the set's disk length is the file's under the write locks
  // that every write-out holds, so it is known here without asking the file.
  int64_t written = held_.LowestCut();
  if (!extents.empty())
    written = std::max(written, extents.rbegin()->first + int64_t(extents.rbegin()->second.size()));
  std::vector<uint8_t> run;
  for (auto e = extents.begin(); e != extents.end();) {
    const int64_t start = e->first;
    auto last = std::next(e);
    int64_t end = start + int64_t(e->second.size());
    while (!inMemory_ && last != extents.end() && last->first - end <= kWriteGapBytes &&
           last->first + int64_t(last->second.size()) - start <= kWriteRunBytes) {
      end = last->first + int64_t(last->second.size());
      ++last;
    }
    if (std::next(e) == last) {
      WriteDirect(start, e->second.data(), int64_t(e->second.size()));
      e = last;
      continue;
    }
    // The disk's bytes under the whole run, after the cut above: past its end they read as zeros,
    // as the gap would once the extents after it were written on their own.
    run.assign(size_t(end - start), 0);
    {
      std::lock_guard guard(file_->Section());
      file_->Seek(handleId_, kSeekBegin, start);
      if (file_->Read(handleId_, run.data(), end - start) < 0) raise(VELDOR_READERR);
    }
    for (; e != last; ++e) std::memcpy(run.data() + (e->first - start), e->second.data(), e->second.size());
    WriteDirect(start, run.data(), end - start);
  }
  VELMARON_DEBUG_ASSERT(written == DiskSize(), "a held set knows the length its write-out leaves");
  if (written != held_.Size()) CutDirect(held_.Size());
  if (flush || flushWanted_) FlushDirect();
  rememberWritten();
}

void TFileHandler::rememberWritten() {
  forgetWritten();
  // A small change's pages are written again by the next one (a header, a leaf, a record); a
  // bulk change's are not worth the copy.
  constexpr size_t kMostKept = 64 * 1024;
  size_t total = 0;
  for (const auto& [at, bytes] : held_.Extents()) {
    if (at + int64_t(bytes.size()) > held_.Size()) return;
    total += bytes.size();
  }
  uint8_t head[4];
  if (total > kMostKept || !PeekDiskHead(head, 4)) return;
  for (const auto& [at, bytes] : held_.Extents()) written_.emplace(at, bytes);
  writtenSize_ = held_.Size();
  writtenHead_ = platform::get4(head);
}

bool TFileHandler::writtenStands() {
  uint8_t head[4];
  return writtenSize_ >= 0 && PeekDiskHead(head, 4) && platform::get4(head) == writtenHead_;
}

int64_t TFileHandler::heldBase() {
  if (!writtenStands()) return DiskSize();
  VELMARON_DEBUG_ASSERT(writtenSize_ == DiskSize(), "the length a write-out left stands with its counter");
  return writtenSize_;
}

void TFileHandler::ReadOld(int64_t offset, void* buffer, int64_t count) {
  auto at = written_.upper_bound(offset);
  if (count > 0 && at != written_.begin()) {
    --at;
    if (offset + count <= at->first + int64_t(at->second.size()) && writtenStands()) {
      std::memcpy(buffer, at->second.data() + (offset - at->first), size_t(count));
#ifndef NDEBUG
      std::vector<uint8_t> disk(static_cast<size_t>(count));
      ReadDirect(offset, disk.data(), count);
      VELMARON_DEBUG_ASSERT(std::memcmp(disk.data(), buffer, size_t(count)) == 0,
                            "the bytes a write-out left stand with its counter");
#endif
      return;
    }
  }
  ReadDirect(offset, buffer, count);
}

int64_t TFileHandler::ReadDirect(int64_t offset, void* buffer, int64_t count) {
  if (!file_) raise(VELDOR_READERR);
  std::lock_guard guard(file_->Section());
  file_->Seek(handleId_, kSeekBegin, offset);
  const int64_t n = file_->Read(handleId_, buffer, count);
  if (n != count) raise(VELDOR_READERR);
  return n;
}

void TFileHandler::WriteDirect(int64_t offset, const void* buffer, int64_t count) {
  if (!file_) raise(VELDOR_WRITEERR);
  if (count <= 0) return;
  forgetWritten();
  std::lock_guard guard(file_->Section());
  file_->Seek(handleId_, kSeekBegin, offset);
  if (file_->Write(handleId_, buffer, count) != count) raise(VELDOR_WRITEERR);
}

void TFileHandler::CutDirect(int64_t size) {
  if (!file_) raise(VELDOR_WRITEERR);
  forgetWritten();
  std::lock_guard guard(file_->Section());
  file_->Seek(handleId_, kSeekBegin, size);
  if (file_->Truncate(handleId_) < 0) raise(VELDOR_WRITEERR);
}

void TFileHandler::FlushDirect() {
  if (!file_ || !file_->Flush()) raise(VELDOR_WRITEERR);
}

int64_t TFileHandler::DiskSize() {
  if (!file_) return 0;
  std::lock_guard guard(file_->Section());
  const int64_t position = file_->Seek(handleId_, kSeekCurrent, 0);
  const int64_t end = file_->Seek(handleId_, kSeekEnd, 0);
  file_->Seek(handleId_, kSeekBegin, position);
  return end;
}

int64_t TFileHandler::Seek(int origin, int64_t offset) {
  return file_ ? file_->Seek(handleId_, origin, offset) : 0;
}

int64_t TFileHandler::GetFileSize() {
  if (!held_.Empty()) return held_.Size();
  if (!file_) return 0;
  std::lock_guard guard(file_->Section());
  const int64_t position = Seek(kSeekCurrent, 0);
  const int64_t end = Seek(kSeekEnd, 0);
  Seek(kSeekBegin, position);
  return end;
}

bool TFileHandler::FileExists() {
  return list_->FileExists(name_, inMemory_);
}

bool TFileHandler::LockRegion(bool lock, int64_t offset, int64_t length) {
  if (!file_) {
    platform::setLastOsError(EBADF);
    return false;
  }
  return lock ? file_->Lock(offset, length) : file_->Unlock(offset, length);
}

bool TFileHandler::UnlockRegions(std::span<platform::OsFile::Range> ranges) {
  return file_ && file_->UnlockMany(ranges);
}

bool TFileHandler::LockRegionRetrying(const std::function<int64_t(uint32_t attempt)>& offsetFor,
                                      int64_t length) {
  // The attempt reaches its state through one reference, which the callable holds in place: a
  // capture of each would take a buffer at every lock.
  struct {
    TFileHandler& handler;
    const std::function<int64_t(uint32_t)>& offsetFor;
    int64_t length;
    bool taken;
  } state{*this, offsetFor, length, false};
  RetryLock(
      [&state](uint32_t attempt) {
        state.taken = state.handler.LockRegion(true, state.offsetFor(attempt), state.length);
        return state.taken || platform::lastOsError() != platform::kLockViolation;
      },
      retryRules_, list_->FileSystem());
  const bool taken = state.taken;
  if (!taken) {
    const int error = platform::lastOsError();
    lockFailure_ = error == platform::kLockViolation ? VELDOR_LOCKTIMEOUT : OSErrorToEngineError(error);
  }
  return taken;
}

bool TFileHandler::LockReadSlot(int64_t base, uint16_t& slot) {
  thread_local std::minstd_rand generator{std::random_device{}()};
  uint16_t drawn = 0;
  const bool ok = LockRegionRetrying(
      [&drawn, base](uint32_t) {
        drawn = uint16_t(generator() % 65535 + 1);
        return base - drawn;
      },
      1);
  slot = ok ? drawn : 0;
  return ok;
}

bool TFileHandler::UnlockReadSlot(int64_t base, uint16_t slot) {
  return slot == 0 || LockRegion(false, base - slot, 1);
}

int64_t TFileHandler::ReadAt(int64_t offset, void* buffer, int64_t count, bool allowShort) {
  if (!file_) raise(VELDOR_READERR);
  if (held_.Empty()) {
    const int64_t n = file_->ReadAt(handleId_, offset, buffer, count);
    if (n < 0 || (n < count && !allowShort)) raise(VELDOR_READERR);
    return n;
  }
  std::lock_guard guard(file_->Section());
  Seek(kSeekBegin, offset);
  return Read(buffer, count, allowShort);
}

void TFileHandler::WriteAt(int64_t offset, const void* buffer, int64_t count) {
  if (!file_) raise(VELDOR_WRITEERR);
  std::lock_guard guard(file_->Section());
  if (holdWrites_ && count > 0) {
    // Write's held road without its two seeks to find the offset given here: a row's append
    // holds its record this way, and every seek takes the file's section twice.
    held_.Write(held_.Empty() ? heldBase() : held_.DiskSize(), offset, static_cast<const uint8_t*>(buffer),
                count);
    file_->SetPosition(handleId_, offset + count);
    return;
  }
  Seek(kSeekBegin, offset);
  Write(buffer, count);
}

void TFileHandler::WriteAt(int64_t offset, std::vector<uint8_t>&& bytes) {
  WriteAt(offset, std::move(bytes), TKnownOldBytes{});
}

void TFileHandler::WriteAt(int64_t offset, std::vector<uint8_t>&& bytes, TKnownOldBytes&& known) {
  if (!file_) raise(VELDOR_WRITEERR);
  if (!holdWrites_ || bytes.empty()) {
    WriteAt(offset, bytes.data(), int64_t(bytes.size()));
    bytes.clear();
    return;
  }
  const int64_t count = int64_t(bytes.size());
  std::lock_guard guard(file_->Section());
  held_.Write(held_.Empty() ? heldBase() : held_.DiskSize(), offset, std::move(bytes), std::move(known));
  file_->SetPosition(handleId_, offset + count);
}

void TFileHandler::EnterSection() {
  if (file_) file_->EnterSection();
}

void TFileHandler::LeaveSection() {
  if (file_) file_->LeaveSection();
}

}  // namespace engine
