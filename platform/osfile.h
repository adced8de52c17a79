// The operating-system file backend of the table engine.
//
// The engine reaches files only through FileSystem and the OsFile objects it opens, so that
// tests can put a fault-injecting FileSystem in its place. FileSystem::local() is the real one.
//
// What the local backend guarantees on top of POSIX:
// - Names are found ignoring case: a path that does not exist as spelt is looked up component by
//   component without regard to ASCII case (creating a file whose name exists in other case
//   reuses that file).
// - Share modes: an exclusive open fails while any other open of the file exists, in this or
//   another process, and any open fails while an exclusive one exists. This is done with
//   open-file-description locks on reserved bytes near the top of the offset range.
// - Byte-range locks are exclusive, never wait, and are refused when they overlap a range held
//   through any open of the file: by another process, by another OsFile of this process, or by the
//   same OsFile. An unlock must name exactly a range that this OsFile holds. Locks are released
//   when the OsFile is destroyed, or when the process ends however it ends.
// - A file opened or created with deleteOnClose is removed when its OsFile is destroyed.
// - Renames never replace an existing file.
// - A file that is open anywhere (in this or another process) is neither deleted nor renamed
//   (OS error kSharingViolation), as on Windows.
//
// Every failure records the thread's last OS error (platform/oserror.h) at the point of failure.
//
// Thread safety: FileSystem methods may be called from any thread. An OsFile may be used from
// several threads; its transfers are positional, so they need no shared position.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace platform {

// Identifies a file independently of the name it was reached by.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
  auto operator<=>(const FileIdentity&) const = default;
};

struct FileInfo {
  bool isDirectory = false;
  // No write permission bit is set: the file carries the read-only attribute.
  bool readOnly = false;
  int64_t size = 0;
  FileIdentity identity;
  // Last change of the contents and of the file's facts, in nanoseconds since the epoch.
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
};

// The last write time of `info` as a local DOS date (high 16 bits) and time (low 16 bits), 0
// before 1980. Made on request: a local time costs far more than the stat that gave the facts.
int32_t dosDateTime(const FileInfo& info);

enum class ShareMode : uint8_t { Exclusive, Shared };

struct OpenOptions {
  bool write = false;  // read-write; otherwise read-only
  ShareMode share = ShareMode::Shared;
  bool deleteOnClose = false;
};

// Byte ranges at or above this offset are reserved by the backend.
inline constexpr int64_t kFirstReservedOffset = INT64_C(0x7FFFFFFFFFFFFF00);

// The outcome of FileSystem::createNewFile, classified where the cause is known.
enum class CreateNewResult : uint8_t {
  Created,  // the file did not exist and now does, empty
  Exists,   // a file or folder of that name (in any case) was there; nothing was changed
  Failed,   // it could not be created for another reason; the OS error says why
};

class OsFile {
 public:
  virtual ~OsFile() = default;

  // The path the file was opened under (after case resolution).
  virtual const std::string& path() const = 0;
  virtual FileIdentity identity() const = 0;
  virtual bool writable() const = 0;

  // Reads up to `count` bytes at `offset`; fewer only at the end of the file. -1 on failure.
  virtual int64_t readAt(int64_t offset, void* buffer, int64_t count) = 0;
  // Writes `count` bytes at `offset`. Returns the bytes written, which is fewer than `count` when
  // the system stopped part way (the OS error says why), or -1 when nothing could be written.
  virtual int64_t writeAt(int64_t offset, const void* buffer, int64_t count) = 0;
  // Sets the length of the file, cutting or zero-extending it.
  virtual bool truncate(int64_t size) = 0;
  // Forces written data to the device.
  virtual bool sync() = 0;
  // The current length, -1 on failure.
  virtual int64_t size() = 0;

  // Takes an exclusive lock on [offset, offset + length) without waiting. False when any part is
  // held elsewhere (OS error kLockViolation) or the call failed. An open that a process inherited
  // through fork() locks as another process's open of the file would: its parent's ranges keep it
  // out, and its releases leave them held. On a file opened read-only the lock is shared at the
  // system level: it still excludes writers' locks and every lock of this process, but not
  // another read-only opener's lock on the same bytes.
  virtual bool lockRange(int64_t offset, int64_t length) = 0;
  // Releases a range taken by lockRange with exactly this offset and length. A release that
  // fails (the system refused it, or the range is not held as named) leaves the range as it was:
  // still held when it was held, which holdsRange tells.
  virtual bool unlockRange(int64_t offset, int64_t length) = 0;
  // True when this open holds [offset, offset + length), taken by lockRange with exactly this
  // offset and length: after a failed release, whether the range is still held.
  virtual bool holdsRange(int64_t offset, int64_t length) const {
    (void)offset;
    (void)length;
    return false;
  }
  // Releases every range of `ranges` (each as unlockRange names it), in as few system calls as
  // the ranges this open still holds between them allow, and marks each one released. False when
  // any could not be; the others are released all the same.
  struct Range {
    int64_t offset;
    int64_t length;
    bool released = false;
  };
  virtual bool unlockRanges(std::span<Range> ranges) {
    bool all = true;
    for (Range& r : ranges)
      if (!(r.released = unlockRange(r.offset, r.length))) all = false;
    return all;
  }

  // Copies the file's first `count` bytes (at most kHeadViewBytes) as they are on disk now, written
  // by this or any other process, through a view kept for the life of this object: after the first
  // call no system call is made. False, with nothing copied, when the backend has no such view or
  // the file is still shorter than `count`. A copy taken while another writer writes those bytes
  // may mix old and new ones. A file cut to nothing from outside since the view was made gives
  // false too: the look's fault (SIGBUS) is caught by a handler installed at the first view,
  // which passes every other SIGBUS on to the handler installed before it. Bytes of the first
  // page past a shorter end read as zeros.
  virtual bool peekHead(void* buffer, int64_t count) {
    (void)buffer;
    (void)count;
    return false;
  }

  // Keeping a file open while it is not in use. releaseShareMode lets this open's share mode go:
  // to every other open, in this process or another, the file is then closed, so that it can be
  // opened exclusively, renamed or deleted. It requires that this open holds no byte-range lock.
  // retakeShareMode takes the mode again exactly as an open does, with the same refusals (OS
  // error kSharingViolation). Both are false on a backend that cannot do this; the caller then
  // closes the file and opens it anew.
  virtual bool releaseShareMode() { return false; }
  virtual bool retakeShareMode(ShareMode mode) {
    (void)mode;
    return false;
  }
  // The facts of the open file itself (whatever its name now leads to); false on failure or
  // when the backend cannot tell.
  virtual bool facts(FileInfo& info) {
    (void)info;
    return false;
  }
};

// The most bytes OsFile::peekHead copies.
inline constexpr int64_t kHeadViewBytes = 16;

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The real file system of this machine.
  static FileSystem& local();

  // Opens an existing file. Null on failure: not found, a folder, write access asked for a file
  // with the read-only attribute, a sharing conflict (OS error kSharingViolation), ...
  virtual std::unique_ptr<OsFile> openFile(const std::string& path, const OpenOptions& options) = 0;
  // Creates a file, or empties an existing one, opened read-write and exclusive. An existing file
  // that is open elsewhere or carries the read-only attribute is left untouched and null returned.
  virtual std::unique_ptr<OsFile> createFile(const std::string& path, bool deleteOnClose) = 0;
  // createFile for a name that is only ever looked up as spelt (existsAsSpelt): a file of that
  // name in other case is another file and is left alone. Spares the case-blind search of the
  // folder that a name not yet there would cost.
  virtual std::unique_ptr<OsFile> createFileAsSpelt(const std::string& path) {
    return createFile(path, false);
  }
  // createFile that also hands back how the file it empties began: its first `count` bytes (at
  // most kHeadViewBytes), read under the exclusive open before the cut, so that no other writer
  // can have changed them in between. `replaced` is false, and `head` untouched, for a file that
  // was not there, held fewer bytes, or on a backend that cannot tell.
  virtual std::unique_ptr<OsFile> createFileReplacing(const std::string& path, bool deleteOnClose, void* head,
                                                      int64_t count, bool& replaced) {
    (void)head;
    (void)count;
    replaced = false;
    return createFile(path, deleteOnClose);
  }
  // Opens the file at `path`, spelt exactly so, for reading and writing in `share` mode; with
  // `create` a file that is not there is created empty (one that is there is kept as it is). For
  // names that are only ever looked up as spelt (existsAsSpelt). Null on failure.
  virtual std::unique_ptr<OsFile> openAsSpelt(const std::string& path, ShareMode share, bool create);
  // Creates an empty file at `path` only if nothing of that name exists, ASCII case ignored, and
  // closes it again: the way to claim a fresh name against every other thread and process.
  virtual CreateNewResult createNewFile(const std::string& path) = 0;
  // Facts about the file or folder at `path`; false when there is none.
  virtual bool fileInfo(const std::string& path, FileInfo& info) = 0;
  virtual bool deleteFile(const std::string& path) = 0;
  // deleteFile for a file of exactly this name that the caller knows no one else has open (a lock
  // protocol keeps everyone else away from it): neither a case-blind search nor the check for
  // other opens is made.
  virtual bool deleteFileAsSpelt(const std::string& path) { return deleteFile(path); }
  // Renames `from` to `to`; fails (EEXIST) when `to` names another existing file.
  virtual bool renameFile(const std::string& from, const std::string& to) = 0;
  // The existing path that `path` names when found ignoring case; `path` itself otherwise.
  virtual std::string resolvePath(const std::string& path) = 0;
  // The absolute form of `path`: relative to the current directory, "." and ".." taken out, the
  // existing part found ignoring case (resolvePath) and its symbolic links followed; the missing
  // rest as spelt.
  virtual std::string canonicalPath(const std::string& path);
  // The folder for temporary files, ending with '/'.
  virtual std::string tempPath() = 0;
  virtual std::string computerName() = 0;
  virtual void sleepFor(std::chrono::milliseconds duration) = 0;
  // True when a file or folder lies at `path` spelt exactly so: a single look-up, for checks on
  // every lock where the spelling is known.
  virtual bool existsAsSpelt(const std::string& path);
  // The files and folders of `folder` (found ignoring case; "" for the current one) whose names
  // equal one of `names` ignoring ASCII case: per name their paths, the one spelt exactly so
  // first, the others in byte order; none for a name not there in any case. One pass over the
  // folder for every name, so that the names spelt otherwise are all seen, not only the first,
  // as resolvePath sees them. A folder that may be searched but not read shows the names spelt
  // exactly so, as opens find them there. No list at all, with lastOsError set, when the folder
  // is there but cannot be read (no descriptor or memory left): what it holds cannot be told.
  virtual std::vector<std::vector<std::string>> spellingsOf(const std::string& folder,
                                                            std::span<const std::string> names);
  // True when `folder` ("" for the current one) holds no copy or swap marker (isMarkerName) of
  // any table in any spelling, so that spellingsOf of marker names would find none; false when it
  // holds one or cannot be read.
  virtual bool holdsNoMarkers(const std::string& folder);
  // fileInfo for a file or folder at `path` spelt exactly so: the same single look-up. False
  // when there is none.
  virtual bool fileInfoAsSpelt(const std::string& path, FileInfo& info);
  // True when the file at `path`, spelt exactly so, is open anywhere (in this or another
  // process); also when that cannot be told. False when there is no such file.
  virtual bool openAnywhereAsSpelt(const std::string& path) { return existsAsSpelt(path); }
  // Renames `from` to `to` in one step, replacing a file at `to`: whatever happens, `to` names
  // either the old file or the new one, whole. Both must lie on one file system.
  virtual bool replaceFile(const std::string& from, const std::string& to);
  // Gives the file at `path` (a file this process made to take the place of the one at `model`)
  // the permission bits of `model` and, where this process may set it, its group; the owner stays
  // this process's user. A table in a folder that several users share stays theirs when any one
  // of them writes its files anew. True when done or when `model` is not there (nothing to take);
  // false, with lastOsError, when `path` could not be given them.
  virtual bool takeAccessOf(const std::string& model, const std::string& path);
  // Forces the folder's entries (files created, renamed or deleted in it) to the device.
  virtual bool syncFolder(const std::string& path);
};

// Version of the running system as major + minor / 100 (e.g. 6.18), 0 when unknown.
double systemVersion();

}  // namespace platform
