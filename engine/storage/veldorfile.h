// The engine's file layer. The table engine reaches files only through it.
//
// Three levels:
// - TFileList: the process-wide list of shared file objects, one per file name and kind (disk or
//   in memory). It creates, opens, closes, renames, deletes and copies files and reports failures
//   as negated engine codes; it never raises.
// - TAbstractFile with TMemoryFile and TPhysicalFile: the shared file object, with its numbered
//   handles (each with its own position), its size and its byte-range locks. These return
//   numbers (a count, a handle id, 0, or a negated engine code) and never raise.
// - TFileHandler: the engine-side object of one open table file; the data, index and blob files
//   derive from it. It raises EVELDOREngineError with the file's name as the table item.
//
// Names: a file is found by its kind and its name with blanks trimmed, '\' read as '/', compared
// without regard to case; a disk file is also found by its identity on disk, so two spellings of
// one file share one object.
//
// Threads: the list has its own recursive section, held through every list operation (a whole
// copy included); each file object has its own, held through each of its operations. A caller that
// seeks and then transfers brackets the pair with EnterSection/LeaveSection. The order is list,
// then file: never call a list operation (open, close, create, ...) while holding a file's section.
//
// Processes, and sessions of one process, are kept apart by byte-range locks: a range that
// overlaps a range held through any handle of the file, in this process or another, is refused,
// and an unlock must name exactly a held range.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/storage/veldorwriteset.h"
#include "platform/osfile.h"

namespace engine {

// Called during a copy with the percentage done.
using TFileProgress = std::function<void(int percent)>;

// Seek origins.
inline constexpr int kSeekBegin = 0;
inline constexpr int kSeekCurrent = 1;
inline constexpr int kSeekEnd = 2;

// A holder that keeps files open while it does not use them (a closed table kept for its next
// open). To every other user a kept file is closed: the list has the keeper let go of it before
// it opens, creates, renames, deletes or copies that file.
class TFileKeeper {
 public:
  virtual ~TFileKeeper() = default;
  // Closes every file kept. Called with the list's section held, from any thread; never raises.
  virtual void ReleaseKeptFiles() noexcept = 0;
};

// How many of a file's first bytes its creation over an older file hands on (a change counter).
inline constexpr int64_t kReplacedHeadBytes = 4;

// The shared object of one file in this process.
class TAbstractFile {
 public:
  TAbstractFile(std::string name, bool temporary);
  virtual ~TAbstractFile();
  TAbstractFile(const TAbstractFile&) = delete;
  TAbstractFile& operator=(const TAbstractFile&) = delete;

  virtual bool IsInMemory() const = 0;
  // A file that starts in memory and has not moved to disk yet (TSpillFile).
  virtual bool HoldsUnspilledBytes() const { return false; }

  // Index of the handle record of `id`; -1 when the id is unknown or no handle is open.
  int FindHandle(int32_t id) const;
  // Empties the file (size 0) and adds a handle at position 0. Returns its id or a negated code.
  virtual int32_t CreateFile();
  // Adds a handle at position 0. Returns its id or a negated code.
  virtual int32_t Open();
  // Removes the handle. 0, or -VELDOR_OSENOENT for an unknown id.
  virtual int32_t Close(int32_t id);
  virtual int32_t RenameFile(const std::string& newName);
  virtual int32_t DeleteFile();
  // Transfers at the handle's position and advances it by the count moved. Read returns the count
  // read (fewer at the end of the file); Write the count written, which is fewer than asked when
  // the device stopped part way. A negative result is a failure. A count of 0 moves nothing and
  // never changes the file's length.
  virtual int64_t Read(int32_t id, void* buffer, int64_t count);
  virtual int64_t Write(int32_t id, const void* buffer, int64_t count);
  // Seek to `offset` from the start and Read, with the same results and the handle left where
  // they leave it, under one hold of the section.
  virtual int64_t ReadAt(int32_t id, int64_t offset, void* buffer, int64_t count) {
    std::lock_guard guard(section_);
    Seek(id, kSeekBegin, offset);
    return Read(id, buffer, count);
  }
  // Seek to `position` from the start, for a caller that holds the section already; nothing for
  // an unknown id.
  void SetPosition(int32_t id, int64_t position) {
    if (Handle* h = handle(id)) h->position = position;
  }
  // Ends the file at the handle's position, cutting or zero-extending it. 0 or a negated code.
  virtual int32_t Truncate(int32_t id);
  virtual bool Flush();
  // Origin kSeekBegin sets the position to offset, kSeekCurrent adds offset, kSeekEnd moves to
  // the end. Returns the new position; 0 for an unknown id.
  virtual int64_t Seek(int32_t id, int origin, int64_t offset);
  // Takes a byte range; false when it overlaps a held range (OS error kLockViolation) or cannot
  // be taken at all (another OS error).
  virtual bool Lock(int64_t offset, int64_t length);
  // Releases exactly a held range (same offset and length); false for anything else.
  virtual bool Unlock(int64_t offset, int64_t length);
  // Unlock of each range, in as few system calls as the file allows; false when any failed (the
  // others are released all the same).
  virtual bool UnlockMany(std::span<platform::OsFile::Range> ranges) {
    bool all = true;
    for (platform::OsFile::Range& r : ranges)
      if (!(r.released = Unlock(r.offset, r.length))) all = false;
    return all;
  }
  // Copies the file's first `count` bytes as they lie on disk now without a system call
  // (platform::OsFile::peekHead); false when the file has no such view. Requires: a handle is open.
  virtual bool PeekHead(void* buffer, int64_t count) {
    (void)buffer;
    (void)count;
    return false;
  }
  // After CreateFile: the first kReplacedHeadBytes bytes of the file it emptied, as they were
  // before the cut; false when it emptied none (or cannot tell).
  virtual bool ReplacedHead(uint8_t* head) const {
    (void)head;
    return false;
  }

  void EnterSection() { section_.lock(); }
  void LeaveSection() { section_.unlock(); }
  std::recursive_mutex& Section() { return section_; }
  // Has `keeper` keep `file` (TFileKeeper). The whole process keeps a few files only, whatever
  // the number of keepers: beyond that, the keepers of the files kept longest let go of them
  // first, so that kept files never use up the descriptors that opens need. `keeper`'s own
  // files stay.
  void KeepFile(TAbstractFile& file, TFileKeeper& keeper);

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  int64_t Size() const { return size_; }
  int OpenCount() const { return int(handles_.size()); }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool v) { exclusive_ = v; }
  bool ReadOnly() const { return readOnly_; }
  bool ReadOnlyAttribute() const { return readOnlyAttribute_; }
  bool Temporary() const { return temporary_; }
  void SetTemporary(bool v) { temporary_ = v; }
  // The keeper of a file kept open while unused (see TFileKeeper); null while it is in use.
  TFileKeeper* Keeper() const { return keeper_; }
  void SetKeeper(TFileKeeper* keeper) { keeper_ = keeper; }
  // The list's count of files kept when this one was (TFileList::KeepFile).
  uint64_t KeptSerial() const { return keptSerial_; }
  void SetKeptSerial(uint64_t serial) { keptSerial_ = serial; }
  // Lets the share mode go while kept, and takes it again (platform::OsFile); a file in memory
  // has none. False when the file cannot do so.
  virtual bool ReleaseShareMode() { return true; }
  virtual bool RetakeShareMode(bool exclusive) {
    exclusive_ = exclusive;
    return true;
  }

 protected:
  struct Handle {
    int32_t id;
    int64_t position;
  };
  struct LockRange {
    int64_t offset;
    int64_t last;
    int64_t length;
  };

  // Adds a handle record with the lowest free id.
  int32_t addHandle();
  Handle* handle(int32_t id);

  std::recursive_mutex section_;
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool readOnlyAttribute_ = false;
  bool temporary_ = false;
  std::string name_;
  int64_t size_ = 0;
  std::vector<LockRange> locks_;
  std::vector<Handle> handles_;
  TFileKeeper* keeper_ = nullptr;
  uint64_t keptSerial_ = 0;
};

// A file that lives only in this process's memory. It keeps its contents between a close and a
// later open until it is deleted (a temporary one at its last close) or the list is freed.
// A write or cut that would make it larger than memory can hold fails with -VELDOR_OSEINVMEM.
class TMemoryFile final : public TAbstractFile {
 public:
  using TAbstractFile::TAbstractFile;
  bool IsInMemory() const override { return true; }
  int32_t CreateFile() override;
  int64_t Read(int32_t id, void* buffer, int64_t count) override;
  int64_t Write(int32_t id, const void* buffer, int64_t count) override;
  int32_t Truncate(int32_t id) override;
  // The file's bytes are its view: false only when the file is shorter than `count`.
  bool PeekHead(void* buffer, int64_t count) override;

 private:
  // Capacity grows in steps of 4096 bytes, never shrinks, and is freed only when the file is cut
  // to nothing. Bytes it gains are zero. False, with the capacity as it was, when `size` is past
  // the most an in-memory file may hold or the memory cannot be had.
  bool reserve(int64_t size);
  std::vector<uint8_t> data_;
};

// A file on disk. All handles of the process share one system open; each keeps its own position.
class TPhysicalFile final : public TAbstractFile {
 public:
  TPhysicalFile(std::string name, bool temporary, platform::FileSystem& fs);
  ~TPhysicalFile() override;
  bool IsInMemory() const override { return false; }

  int32_t CreateFile() override;
  int32_t Open() override;
  // Open() for a file whose facts the caller has just read from the file system, so that they
  // are not asked for again.
  int32_t Open(const platform::FileInfo& info);
  int32_t Close(int32_t id) override;
  int32_t RenameFile(const std::string& newName) override;
  int32_t DeleteFile() override;
  int64_t Read(int32_t id, void* buffer, int64_t count) override;
  int64_t Write(int32_t id, const void* buffer, int64_t count) override;
  int64_t ReadAt(int32_t id, int64_t offset, void* buffer, int64_t count) override;
  int32_t Truncate(int32_t id) override;
  bool Flush() override;
  int64_t Seek(int32_t id, int origin, int64_t offset) override;
  // A failed release that the system refused leaves the range held, and it is tried again at the
  // file's next lock or release; a lock of exactly that range then takes it over (see leftHeld_).
  bool Lock(int64_t offset, int64_t length) override;
  bool Unlock(int64_t offset, int64_t length) override;
  bool UnlockMany(std::span<platform::OsFile::Range> ranges) override;
  bool PeekHead(void* buffer, int64_t count) override { return file_ && file_->peekHead(buffer, count); }
  bool ReplacedHead(uint8_t* head) const override;

  bool ReleaseShareMode() override;
  bool RetakeShareMode(bool exclusive) override;
  // The facts of the open file (platform::OsFile::facts).
  bool Facts(platform::FileInfo& info);
  // Moves at every write or cut through this object, whether or not it succeeds: while it stands,
  // facts read earlier are still those this process left (another process's change aside).
  // Read without the file's section: a stamp read while another session writes is at worst one
  // that no longer stands, which only refuses what it guards.
  uint64_t ChangeStamp() const { return changeStamp_.load(std::memory_order_relaxed); }
  // The path the file was opened under; empty while closed. Valid until the file closes.
  const std::string& OpenPath() const {
    static const std::string none;
    return file_ ? file_->path() : none;
  }

  // The identity of the open file; none while closed.
  bool HasIdentity() const { return file_ != nullptr; }
  platform::FileIdentity Identity() const { return file_ ? file_->identity() : platform::FileIdentity{}; }

 private:
  platform::FileSystem& fs_;
  std::unique_ptr<platform::OsFile> file_;
  // Ranges whose release failed while the system kept them held for this open. Byte-range locks
  // belong to the shared open, so whoever of this process next locks exactly such a range takes
  // it over as it is held, and every later lock or release of the file first tries again to
  // release the others: a refused release keeps no one out for longer than the file's next use.
  // Guarded by the section; gone with the open, which takes every system lock along.
  std::vector<platform::OsFile::Range> leftHeld_;
  bool replaced_ = false;
  uint8_t replacedHead_[kReplacedHeadBytes] = {};
  std::atomic<uint64_t> changeStamp_{0};
};

// A temporary disk file of this process that lives in memory until it grows: its bytes stay in
// memory while the file is at most SpillBound() bytes and all such files of the process together
// hold at most SpillBudget() bytes; the write or cut that would pass either, or that finds no
// memory, first moves the file to disk (spills) and then goes to disk. Until then nothing on disk
// is looked up, made or named. A spill claims the file's name on disk (another name beside it
// when a file of that name is there) and opens it as the process's other disk files are, so that
// the handles, positions, size and held byte ranges go on as they were: the readers see the same
// bytes before and after. A spill that fails leaves the file in memory as it was and fails the
// write that asked for it. Listed as a disk file; deleted, in memory or on disk, at its last close.
class TSpillFile final : public TAbstractFile {
 public:
  // `beside`: the file spills under a name beside its own even when its own is free (see
  // TFileList::CreateSpillFile).
  TSpillFile(std::string name, platform::FileSystem& fs, bool beside = false);
  ~TSpillFile() override;
  bool IsInMemory() const override { return false; }
  bool HoldsUnspilledBytes() const override { return !Spilled(); }

  int32_t CreateFile() override;
  int32_t Close(int32_t id) override;
  int32_t RenameFile(const std::string& newName) override;
  int64_t Read(int32_t id, void* buffer, int64_t count) override;
  int64_t Write(int32_t id, const void* buffer, int64_t count) override;
  int32_t Truncate(int32_t id) override;
  bool Flush() override;
  bool Lock(int64_t offset, int64_t length) override;
  bool Unlock(int64_t offset, int64_t length) override;
  bool PeekHead(void* buffer, int64_t count) override { return file_ && file_->peekHead(buffer, count); }

  // True once the file is on disk; DiskName() is then the path it lies at.
  bool Spilled() const { return file_ != nullptr; }
  const std::string& DiskName() const { return diskName_; }
  // Moves the file to disk now. 0 or a negated code (the file then stays in memory).
  int32_t Spill();

  // The bounds, process-wide. Setting them holds for files that grow afterwards (tests set small
  // bounds to reach a spill cheaply, or 0 to send every such file to disk at its first byte).
  static int64_t SpillBound();
  static int64_t SpillBudget();
  static void SetSpillBounds(int64_t perFile, int64_t perProcess);
  // Bytes that files of this kind hold in memory now, process-wide.
  static int64_t BytesInMemory();

 private:
  // Makes room in memory for `size` bytes; false when the bounds or the memory say no.
  bool reserve(int64_t size);
  void release();

  platform::FileSystem& fs_;
  std::vector<uint8_t> data_;
  int64_t counted_ = 0;
  std::unique_ptr<platform::OsFile> file_;
  std::string diskName_;
  bool beside_;
};

// The process-wide list of shared file objects. All operations hold the list's section.
class TFileList {
 public:
  explicit TFileList(platform::FileSystem& fs = platform::FileSystem::local());
  ~TFileList();
  TFileList(const TFileList&) = delete;
  TFileList& operator=(const TFileList&) = delete;

  platform::FileSystem& FileSystem() { return fs_; }

  // Creates (or empties) a file, marked exclusive, and opens a handle on it. Returns the handle id
  // or a negated code: -VELDOR_OSEACCES when the file has open handles.
  int32_t CreateFile(const std::string& name, bool inMemory, bool temporary, TAbstractFile*& file);
  // CreateFile for a temporary disk file that starts in memory (TSpillFile). The name is looked
  // for among the listed files only. With `beside` its spill never takes the name itself: a
  // table's index and blob files, whose names other processes do not look at before they take a
  // table's name (only at its data file's), so that one of them on disk under its own name while
  // the data file is still in memory would stand in the way of another process's table.
  int32_t CreateSpillFile(const std::string& name, TAbstractFile*& file, bool beside = false);
  // Opens a handle. A file already open is shared only when neither it nor this request is
  // exclusive, else -VELDOR_OSEACCES; an in-memory file that does not exist gives -VELDOR_OSENOENT.
  int32_t OpenFile(const std::string& name, bool inMemory, TAbstractFile*& file, bool& readOnlyAttribute,
                   bool& readOnly, bool exclusive, bool temporary);
  // Closes a handle. After the last one a disk file's object is freed, a temporary file (of either
  // kind) is deleted, and an in-memory file keeps its contents.
  int32_t CloseFile(TAbstractFile* file, bool inMemory, int32_t handleId);
  // Renames or deletes a file that has no open handles; -VELDOR_OSEACCES when it has.
  // A rename never replaces an existing file.
  int32_t RenameFile(const std::string& name, bool inMemory, const std::string& newName);
  int32_t DeleteFile(const std::string& name, bool inMemory);
  // Forces what has been written to the disk file `name` to the device, through its open object
  // when it is open here, else through an open of its own. 0 or a negated code.
  int32_t SyncFile(const std::string& name);
  // True when the file is listed or (disk files) present on disk as a file, not a folder.
  bool FileExists(const std::string& name, bool inMemory);
  // True when a file of the name and kind is listed; the disk is not asked.
  bool Listed(const std::string& name, bool inMemory);

  // Copies the whole of `source` (through its handle) to a new file of the same kind named
  // `destination`. With `compress` the new file holds the data as framed compressed chunks, which
  // CopyToFile with `compress` restores. Every read and write is checked; on failure the partly
  // written destination is deleted and the negated code returned, with the name of the file that
  // failed in `failedName`.
  int32_t CopyToNewFile(TAbstractFile* source, int32_t sourceHandle, bool inMemory,
                        const std::string& destination, bool compress, const TFileProgress& progress,
                        int step, std::string* failedName = nullptr);
  // Copies the whole of the file `source` (opened exclusively) into `file` at the handle's
  // position; the destination then ends where the copy ends. With `compress`, `source` must hold
  // framed compressed chunks written by CopyToNewFile; anything else gives -VELDOR_UNCOMPRESS.
  int32_t CopyToFile(TAbstractFile* file, int32_t handle, bool inMemory, const std::string& source,
                     bool compress, const TFileProgress& progress, int step,
                     std::string* failedName = nullptr);

  // Number of listed file objects (for tests and diagnostics).
  size_t Count();
  // Held by a keeper while it keeps or takes back its files, so that no other user has it let go
  // of them half way.
  std::recursive_mutex& Section() { return section_; }
  // Has `keeper` keep `file` (TFileKeeper). The whole process keeps a few files only, whatever
  // the number of keepers: beyond that, the keepers of the files kept longest let go of them
  // first, so that kept files never use up the descriptors that opens need. `keeper`'s own
  // files stay.
  void KeepFile(TAbstractFile& file, TFileKeeper& keeper);
  // Frees every file object: disk files are closed (temporary ones deleted) and in-memory files
  // lose their contents. For the engine's shut-down; requires that no handler still uses a file.
  void Clear();

 private:
  // The listed file of that name, or else the listed disk file that is the same file under another
  // name. `onDisk` receives what the file system says of the name when it was asked (a file, not a
  // folder, was found).
  TAbstractFile* find(const std::string& name, bool inMemory,
                      std::optional<platform::FileInfo>* onDisk = nullptr);
  // find() for a user of the file: a keeper that keeps it lets it go first.
  TAbstractFile* findInUse(const std::string& name, bool inMemory,
                           std::optional<platform::FileInfo>* onDisk = nullptr);
  void unlist(TAbstractFile* file);
  int32_t copyChunks(TAbstractFile* from, int32_t fromHandle, TAbstractFile* to, int32_t toHandle, int mode,
                     const TFileProgress& progress, int step, std::string* failedName);

  platform::FileSystem& fs_;
  std::recursive_mutex section_;
  std::vector<std::unique_ptr<TAbstractFile>> files_;
  uint64_t keptSerial_ = 0;
};

// The list of this process, made at first use.
TFileList& EngineFileList();

// How often and how patiently a file-wide lock is tried.
struct LockRetryRules {
  uint32_t attempts = 16385;
  std::chrono::milliseconds pause{3};

  // Rules for a caller that counts retries in a byte: `retries` + 1 attempts, which stays finite
  // for every value including 255.
  static LockRetryRules FromRetryCount(uint8_t retries, std::chrono::milliseconds pause) {
    return {uint32_t(retries) + 1, pause};
  }
};

inline constexpr LockRetryRules kFileLockRetryRules{};

// Calls `attempt` (with the attempt number from 1) until it succeeds or `rules.attempts` calls
// have failed, pausing between two attempts through `fs`. True at the first success.
bool RetryLock(const std::function<bool(uint32_t attempt)>& attempt, const LockRetryRules& rules,
               platform::FileSystem& fs);

// The engine-side object of one table file.
class TFileHandler {
 public:
  // Works on `list`, the process's list when none is given.
  explicit TFileHandler(TFileList* list = nullptr);
  virtual ~TFileHandler();
  TFileHandler(const TFileHandler&) = delete;
  TFileHandler& operator=(const TFileHandler&) = delete;

  // Opens the file (it must exist: else VELDOR_OSENOENT) with the exclusive and temporary flags.
  // Does nothing when already open.
  virtual void Open();
  // Closes this handler's handle, if any.
  virtual void Close();
  // Creates or empties the file and opens it.
  virtual void CreateFile();
  virtual void DeleteFile();
  // Renames the file on disk or in memory, then takes the new name.
  virtual void RenameFile(const std::string& newName);
  // Copies (see TFileList). Only when open.
  virtual void CopyToNewFile(const std::string& destination, bool compress, const TFileProgress& progress,
                             int step);
  virtual void CopyToFile(const std::string& source, bool compress, const TFileProgress& progress, int step);
  // Reads at this handle's position. Fewer bytes than asked raise VELDOR_READERR unless
  // `allowShort`; a failure always does.
  virtual int64_t Read(void* buffer, int64_t count, bool allowShort = false);
  // Writes at this handle's position; anything short of `count` raises VELDOR_WRITEERR.
  // A count of 0 writes nothing.
  virtual void Write(const void* buffer, int64_t count);
  // Forces the file to the device; failure raises VELDOR_WRITEERR.
  virtual void Flush();
  // Ends the file at this handle's position; failure raises VELDOR_WRITEERR.
  void Truncate();

  // Moves this handle's position; 0 when no file is attached.
  int64_t Seek(int origin, int64_t offset);
  int64_t GetFileSize();
  bool FileExists();
  // Takes (lock) or releases a byte range; false when no file is attached or it failed.
  bool LockRegion(bool lock, int64_t offset, int64_t length);
  // Releases several held ranges at once (TAbstractFile::UnlockMany).
  bool UnlockRegions(std::span<platform::OsFile::Range> ranges);
  // Takes a file-wide lock under the retry rules: `offsetFor` names the range's offset for each
  // attempt (the read slots draw a new one each time). Only a range held elsewhere is tried
  // again: any other failure (the file cannot be reached, as when a forked child may not open
  // its inherited file anew) gives false at once. LockFailure then tells which it was.
  bool LockRegionRetrying(const std::function<int64_t(uint32_t attempt)>& offsetFor, int64_t length);
  // The engine code of the last file-wide lock this handler failed to take: VELDOR_LOCKTIMEOUT
  // when it stayed held elsewhere to the last attempt, else the system's error at the failure.
  uint16_t LockFailure() const { return lockFailure_; }
  // Takes one read slot: the byte at `base` - slot, for a slot in 1..65535 drawn anew on each
  // attempt under the retry rules, so that readers rarely meet. `slot` is the slot held, or 0
  // when none could be taken.
  bool LockReadSlot(int64_t base, uint16_t& slot);
  // Releases the read slot taken below `base`; slot 0 (none held) gives true and touches nothing.
  bool UnlockReadSlot(int64_t base, uint16_t slot);

  // Copies the file's first `count` bytes (at most platform::kHeadViewBytes) as they lie on disk
  // now, past this handler's held writes, without a system call once the file's view is made:
  // what another writer wrote there shows at once. False when the file has none (in memory, or a
  // backend without views) or is not open; the caller then reads under the file's locks.
  bool PeekDiskHead(void* buffer, int64_t count) { return open_ && file_ && file_->PeekHead(buffer, count); }
  // After CreateFile: how the file it emptied began (TAbstractFile::ReplacedHead).
  bool ReplacedHead(uint8_t* head) const { return open_ && file_ && file_->ReplacedHead(head); }

  // ---- Kept open ----
  // Keeps the open file for `keeper` while nothing uses it: its share mode goes, so that to every
  // other user, in this process or another, it is closed (see TFileKeeper). Requires: the list's
  // section held, no byte-range lock held and no held writes. False, with nothing changed, when
  // the file is shared with another handle or cannot be kept.
  bool Keep(TFileKeeper& keeper);
  // Takes a kept file back as an open with the handler's exclusive flag would take it: false when
  // the open would be refused. The handler is still open then and the caller closes it.
  // Requires: the list's section held.
  bool Resume();
  // After Resume: false when the file's name no longer leads to the very file kept, or the file
  // changed in any way since it was kept (its size, contents or attributes). Asked once the share
  // mode is held again, so that a rename elsewhere after the answer is refused while it is held.
  bool KeptUnchanged();

  // Seek and transfer in one step, inside the file's section.
  int64_t ReadAt(int64_t offset, void* buffer, int64_t count, bool allowShort = false);
  void WriteAt(int64_t offset, const void* buffer, int64_t count);
  // The same for `bytes`, which a held write takes over instead of copying; left empty.
  void WriteAt(int64_t offset, std::vector<uint8_t>&& bytes);
  // The same with what the caller knows of the bytes replaced (TWriteSet::Write), which a held
  // write keeps for the write-out's journal; dropped when writes are not held.
  void WriteAt(int64_t offset, std::vector<uint8_t>&& bytes, TKnownOldBytes&& known);
  // An empty buffer for such a write, with the storage that the last write-out's largest held
  // extent had.
  std::vector<uint8_t> TakeSpareBuffer() { return held_.TakeSpare(); }

  // ---- Held writes ----
  // While held, writes, cuts and flushes go to the handler's write set instead of the file, and
  // reads and the file size see them; WriteOutHeld writes them to the file. Closing, creating
  // and opening drop what is held.
  void SetHoldWrites(bool hold) { holdWrites_ = hold; }
  bool HoldsWrites() const { return holdWrites_; }
  const TWriteSet& HeldWrites() const { return held_; }
  bool HasHeldWrites() const { return !held_.Empty(); }
  void DropHeldWrites();
  // Room in the write set for `count` bytes about to be written at `offset` after the held bytes
  // that end there (TWriteSet::Reserve); nothing while writes are not held.
  void ReserveHeld(int64_t offset, int64_t count);
  // Cuts the file to the lowest length it was cut to, writes the extents, sets its final
  // length and, with `flush` or a flush asked for meanwhile, forces it to the device. The set
  // is kept (DropHeldWrites clears it). VELDOR_WRITEERR on failure.
  void WriteOutHeld(bool flush);
  // Transfers on the file itself, past any held writes. Failures raise as Read and Write do.
  int64_t ReadDirect(int64_t offset, void* buffer, int64_t count);
  // ReadDirect for the old bytes of a write-out under the file's write locks: bytes that this
  // handler's last write-out left there are taken from its copy while no other writer has
  // written the file since.
  void ReadOld(int64_t offset, void* buffer, int64_t count);
  // ReadOld reads the file again until the next write-out: for a write-out that failed after
  // this file's part of it, whose old bytes another writer may put back from its journal.
  void ForgetWritten() { forgetWritten(); }
  void WriteDirect(int64_t offset, const void* buffer, int64_t count);
  void CutDirect(int64_t size);
  void FlushDirect();
  int64_t DiskSize();

  void EnterSection();
  void LeaveSection();

  const std::string& GetName() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  bool IsInMemory() const { return inMemory_; }
  void SetInMemory(bool v) { inMemory_ = v; }
  bool IsExclusive() const { return exclusive_; }
  void SetExclusive(bool v) { exclusive_ = v; }
  bool IsTemporary() const { return temporary_; }
  void SetTemporary(bool v) { temporary_ = v; }
  // A temporary disk file that CreateFile makes as a TSpillFile: in memory until it grows.
  bool IsMemoryFirst() const { return memoryFirst_; }
  void SetMemoryFirst(bool v) { memoryFirst_ = v; }
  // Open as such a file whose bytes are still in memory (it has not spilled).
  bool MemoryFirstInMemory() const;
  bool IsReadOnly() const { return readOnly_; }
  bool IsReadOnlyAttribute() const { return readOnlyAttribute_; }
  bool IsOpen() const { return open_; }
  int32_t GetHandleId() const { return handleId_; }
  void SetLockRetryRules(const LockRetryRules& rules) { retryRules_ = rules; }
  TFileList& List() { return *list_; }

 protected:
  // Raises `code` with this file's name as the table item.
  [[noreturn]] void raise(uint16_t code) const;
  [[noreturn]] void raise(uint16_t code, const std::string& name) const;

 private:
  TFileList* list_;
  bool inMemory_ = false;
  TAbstractFile* file_ = nullptr;
  std::string name_;
  int32_t handleId_ = 0;
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool readOnlyAttribute_ = false;
  bool open_ = false;
  bool temporary_ = false;
  bool memoryFirst_ = false;
  LockRetryRules retryRules_ = kFileLockRetryRules;
  uint16_t lockFailure_ = 0;
  bool holdWrites_ = false;
  bool flushWanted_ = false;
  TWriteSet held_;
  // What this handler's last write-out left on disk, when small: its extents, the file's length
  // and its first bytes. Every writer moves the change counter at the front of a table file (how
  // other writers notice a change), so while the file's front as the view shows it is still
  // `writtenHead_`, no one else has written since. Any other write of this handler's drops it.
  std::map<int64_t, std::vector<uint8_t>> written_;
  int64_t writtenSize_ = -1;
  uint32_t writtenHead_ = 0;
  void forgetWritten() {
    written_.clear();
    writtenSize_ = -1;
  }
  void rememberWritten();
  // The file's length on disk for the first held write: as the last write-out left it while no
  // one else has written, else asked of the file.
  int64_t heldBase();
  // What this handler's last write-out left stands: nobody has written the file since.
  bool writtenStands();
  // What the file was when it was kept.
  platform::FileInfo keptFacts_;
  // Set when KeptUnchanged found the name leading to the file as `keptFacts_` say, at the file's
  // change stamp `keptFactsStamp_`: a keep while the stamp stands takes those facts again instead
  // of asking the file. Facts older than the file only ever make a later take-back refuse.
  bool keptFactsSeen_ = false;
  uint64_t keptFactsStamp_ = 0;
};

}  // namespace engine
