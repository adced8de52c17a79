// The blob file of a table (".BLB") and the blob buffer through which a cursor loads and saves
// one value.
//
// File format (little-endian):
//   header, 512 bytes at offset 0:
//     0  u32  change counter, raised by one at every header write
//     4  u32  zero
//     8  u8   format version, 5
//     9  u32  head of the free-block list (0 = empty)
//    13  u32  next block number: the file holds blocks 1 .. next - 1
//    17  u8   dirty mark of the in-memory header as it stood when written
//    18  ...  zero up to 512
//   block N (from 1) at 512 + (N - 1) x B, B the table's block size:
//     0  u32  previous block of the chain (0 for the first)
//     4  u32  next block of the chain (0 for the last); on the free list, the next free block
//     8  u16  bytes used in this block's data area
//    10  u32  owner: the id of the record the value belongs to; 0 on a block this engine freed
//    14  u32  total length of the value (first block only; 0 in the others)
//    18  ...  B - 18 data bytes
// An encrypted table scrambles the header, and in each block the 18-byte block header and the
// data area separately, each from the structure seed pair.
//
// Locks (byte ranges beyond any data; file-wide ones retried under the file's retry rules):
//   write lock: 65,536 bytes from 0xFFFEFFFF;
//   read lock: one byte at 0xFFFFFFFF - r, r a slot from 1 to 65535 drawn anew per attempt.
// Every read byte lies inside the write range, so a writer excludes all readers and a reader
// excludes a writer; two readers collide only on the same slot.
//
// Chains are walked with checks: every link must name a block of the file, a walk never visits
// a block twice, and a freed block carries owner 0, so that a cycle, or a block shared by two
// values, raises VELDOR_MEMOCORRUPT rather than freeing a block twice or looping.
//
// Not thread-safe: a blob file belongs to one table object and its buffers to one cursor, used
// by one thread at a time. Transfers run inside the shared file's section.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/storage/veldorcache.h"
#include "engine/storage/veldorfile.h"
#include "engine/storage/veldortablelink.h"

namespace engine {

inline constexpr uint32_t kBlobHeaderSize = 512;
inline constexpr uint32_t kBlockHeaderSize = 18;
inline constexpr uint8_t kBlobFileVersion = 5;
inline constexpr uint32_t kBlobDefaultBlockSize = 512;
// Block sizes a table may have (the data file's header keeps the size in 16 bits).
inline constexpr uint32_t kBlobMinBlockSize = 64;
inline constexpr uint32_t kBlobMaxBlockSize = 65535;
inline constexpr uint32_t kMaxBlobBlocks = 2000000000;
inline constexpr uint64_t kMaxBlobFileEnd = 4000000000ULL;
inline constexpr uint32_t kBlockCacheGrowth = 32;
// Cached blocks looked at, most recent first, before the binary search.
inline constexpr size_t kBlockCacheProbe = 4;
// Bytes a miss of a value read in passing reads at most.
inline constexpr uint32_t kPassingReadBytes = 262144;

inline constexpr int64_t kBlobWriteLockOffset = INT64_C(0xFFFEFFFF);
inline constexpr int64_t kBlobWriteLockLength = 65536;
inline constexpr int64_t kBlobReadLockBase = INT64_C(0xFFFFFFFF);

class TBlobFile;

// One cached block. Obtained pinned from TBlobFile::GetBlock and released with ReleaseBlock.
class TBlock {
 public:
  explicit TBlock(TBlobFile& file);

  // Zeroes header, data and fields. Leaves number, pins and dirty as they are.
  void Clear();
  // Takes header and data from a block image of B bytes (descrambled when the table is
  // encrypted; `image` itself is left as it was). Clears dirty.
  void LoadFromBuffer(const uint8_t* image);
  // Builds the block image in `image` (scrambled when encrypted). Clears dirty.
  void SaveToBuffer(uint8_t* image);

  // Copies up to `count` bytes of the used data from `offset`; returns the count copied.
  // Raises VELDOR_INVALIDBLOBLEN when offset + count passes the data area, and
  // VELDOR_MEMOCORRUPT when the block claims more used bytes than its data area holds.
  uint32_t ReadData(uint32_t offset, uint32_t count, uint8_t* destination) const;
  // Writes `count` bytes at `offset`; the used bytes become offset + count. Raises
  // VELDOR_INVALIDBLOBLEN when that passes the data area. Marks the block dirty.
  uint32_t WriteData(uint32_t offset, uint32_t count, const uint8_t* source);

  uint32_t GetNumber() const { return number_; }
  uint32_t GetOwnerId() const { return owner_; }
  uint32_t GetTotalLength() const { return total_; }
  uint32_t GetNextBlock() const { return next_; }
  // Each marks the block dirty only when the value changes.
  void SetTotalLength(uint32_t value);
  void SetOwnerId(uint32_t value);
  void SetPrevBlock(uint32_t value);
  void SetNextBlock(uint32_t value);

  void SetDirty() { dirty_ = true; }
  void Pin() { ++pins_; }
  void Unpin() {
    if (pins_ > 0) --pins_;
  }
  void ResetPins() { pins_ = 0; }

 private:
  friend class TBlobFile;
  friend struct TCacheTraits<TBlock>;

  TBlobFile* file_;
  bool dirty_ = false;
  uint16_t pins_ = 0;
  uint32_t number_ = 0;
  std::vector<uint8_t> data_;
  uint32_t used_ = 0;
  uint32_t owner_ = 0;
  uint32_t total_ = 0;
  uint32_t prev_ = 0;
  uint32_t next_ = 0;
  // Recently-used chain: toward the most and toward the least recently used end.
  TBlock* lruPrev_ = nullptr;
  TBlock* lruNext_ = nullptr;
};

template <>
struct TCacheTraits<TBlock> {
  static uint32_t Number(const TBlock& b) { return b.number_; }
  static void Reset(TBlock& b, uint32_t number) {
    b.Clear();
    b.number_ = number;
    b.dirty_ = false;
    b.pins_ = 0;
  }
  static bool Pinned(const TBlock& b) { return b.pins_ > 0; }
  static bool Dirty(const TBlock& b) { return b.dirty_; }
  static TBlock* Prev(const TBlock& b) { return b.lruPrev_; }
  static TBlock* Next(const TBlock& b) { return b.lruNext_; }
  static void SetPrev(TBlock& b, TBlock* p) { b.lruPrev_ = p; }
  static void SetNext(TBlock& b, TBlock* n) { b.lruNext_ = n; }
  static void Release(TBlobFile& file, TBlock* block);
};

// Spare blocks of one blob file: keeps at most kCapacity.
class TBlockStack {
 public:
  static constexpr size_t kCapacity = 32;
  explicit TBlockStack(TBlobFile& file) : file_(&file) {}
  // The last spare block, or a new one sized for the file's blocks.
  std::unique_ptr<TBlock> Pop();
  // Keeps the block while fewer than kCapacity are kept, frees it otherwise; the pointer ends
  // empty either way.
  void Push(std::unique_ptr<TBlock>& block);
  void Clear() { spares_.clear(); }
  size_t Count() const { return spares_.size(); }

 private:
  TBlobFile* file_;
  std::vector<std::unique_ptr<TBlock>> spares_;
};

// Releases a pinned block when it goes out of scope.
using PinnedBlock = TPinnedItem<TBlock, TBlobFile>;

class TBlobFile : public TFileHandler {
 public:
  // Borrows `owner`, which outlives the file. Works on `list`, the process's when none.
  explicit TBlobFile(TTableFileOwner& owner, TFileList* list = nullptr);
  ~TBlobFile() override;

  // The table's block size; 0 means 512. Set before Open or CreateFile. A size outside
  // kBlobMinBlockSize..kBlobMaxBlockSize raises VELDOR_HEADERCORRUPT.
  void SetBlockSize(uint32_t size);
  uint32_t GetBlockSize() const { return blockSize_; }
  // The table's encrypted flag (from its data file): header and blocks are scrambled on disk.
  void SetEncrypted(bool encrypted) { encrypted_ = encrypted; }
  bool IsEncrypted() const { return encrypted_; }

  // Opens the file, reads the header, sizes the cache (min(32768 div B, 8192) blocks, at least
  // one) and the read-ahead (16384 div B blocks, at least one; kPassingReadBytes div B for
  // ReadValue) and zeroes the counters.
  void Open() override;
  // Drops the cache without writing it, zeroes the counters and closes the file.
  void Close() override;
  // Creates (or empties) the file with a fresh header in memory: version 5, free list empty,
  // next block 1, dirty. The header reaches the disk with the next WriteHeader.
  void CreateFile() override;

  // Reads the 512-byte header; clears the dirty mark.
  void ReadHeader();
  // Writes the header when forced or dirty, with the change counter raised; returns whether it
  // wrote.
  bool WriteHeader(bool force);
  void IncChangeCounter();
  uint32_t GetChangeCounter() const { return changeCounter_; }
  // Re-reads the header from disk; when its change counter differs from the one in memory the
  // disk header replaces it and the result is true.
  bool HeaderChanged();
  // As the data file's: true when the file on disk carries the change counter held here, seen without a
  // system call (TFileHandler::PeekDiskHead): HeaderChanged would find no change. False when it differs or
  // the file cannot be looked at so.
  bool ChangeCounterCurrent();
  // VELDOR_OLDVERSION unless the version is 5; VELDOR_HEADERCORRUPT when the free-list head is
  // not a valid block number or the next block number is out of range.
  void VerifyHeader();
  void CheckVersion();
  // Cuts the file to its header and starts it afresh (free list empty, next block 1, dirty);
  // the cache is dropped. Flushed to the device when the session asks for it.
  void Empty();

  // Gets block `number` pinned. The header's next block number appends a new, zeroed, dirty
  // block (VELDOR_TABLEFULL past the limits). On a cache miss, unless the session's strict
  // change detection already holds the read lock for the whole operation, `cursor` (when given)
  // takes its read begin first: when it reports another writer the result is false and `block`
  // is null, and the caller starts its work again. Then the block is read, with up to `readAheadWanted`
  // following blocks when `allowReadAhead`; with fewer wanted than the read-ahead and the block near
  // the last miss (within the read-ahead run of the last miss or a run next to it), its whole
  // read-ahead run (runs counted from block 1) instead. Number 0, a number past the file's blocks or
  // a block the disk does not hold raise VELDOR_MEMOCORRUPT.
  bool GetBlock(TCacheReader* cursor, uint32_t number, TBlock*& block, uint32_t readAheadWanted,
                bool allowReadAhead);
  // The same without a change check, for the operations that run under the write lock.
  PinnedBlock GetBlockPinned(uint32_t number, uint32_t readAheadWanted);
  // Reads the stored value whose chain starts at `firstBlock` into `value` (sized to its length),
  // with the checks and errors of TBlobBuffer::Load, starting again as it does when `cursor`
  // reports another writer. Its blocks do not enter the cache: each is copied from the cache or
  // from the run last read, and a miss reads a run as GetBlock does. For values read in passing
  // (a scan), which would otherwise push out what the cache holds. Its read-ahead runs are
  // kPassingReadBytes long.
  void ReadValue(TCacheReader* cursor, uint32_t firstBlock, uint32_t ownerId, std::vector<uint8_t>& value);
  // The same into a string, for a text kept as a blob.
  void ReadValue(TCacheReader* cursor, uint32_t firstBlock, uint32_t ownerId, std::string& value);
  void ReleaseBlock(TBlock* block);
  // Called when a block a reader asks for must come from the file, before the reader takes the
  // table's read pair for it: a test's way into the window in which another writer may free the
  // block after the reader proved its record current. None by default.
  void SetFileReadHook(std::function<void()> hook) { fileReadHook_ = std::move(hook); }

  // Takes the free-list head, or a new block at the end, cleared and pinned. A free-list head
  // that still has an owner, or whose link is not a valid block number, raises
  // VELDOR_MEMOCORRUPT.
  // Requires: the write lock (or an exclusive open), as for every change below.
  PinnedBlock AllocateBlock();
  // Writes a value of `length` bytes, owned by `ownerId`, as a new chain of consecutive blocks
  // at the end of the file, from `data` straight into the file's writes without passing through
  // the cache, and returns its first block. The blocks are those AllocateBlock would hand out
  // one by one, with the same bytes. Returns 0 and changes nothing when it would not be the same
  // (the free list holds blocks; the transaction lock is held and the file writes through), or
  // would not pay (the value fits in the cache); the caller then builds the chain block by block.
  // VELDOR_TABLEFULL when the file cannot grow by the chain.
  // Requires: the write lock (or an exclusive open).
  uint32_t AppendChain(uint32_t ownerId, const uint8_t* data, uint32_t length);
  // Puts the block at the head of the free list and marks it free (owner 0).
  void FreeBlock(TBlock& block);
  // Frees the chain that starts at `firstBlock` and sets it to 0; nothing for 0. The first
  // block's owner must be `ownerId`, and so must every block's unless `repair` is set, in which
  // case a wrong owner is corrected. A block already free, a link outside the file or a cycle
  // raises VELDOR_MEMOCORRUPT before anything is freed twice.
  void FreeBlobChain(uint32_t& firstBlock, bool repair, uint32_t ownerId);
  // Frees `block` (pinned by the caller, who still releases it) and the chain after it, reading
  // ahead up to `readAhead` blocks.
  void FreeBlockChain(TBlock& block, bool repair, uint32_t ownerId, uint32_t readAhead);
  // The same, where the blocks in `taken` belong to a chain being written and must not be met.
  void FreeBlockChain(TBlock& block, bool repair, uint32_t ownerId, uint32_t readAhead,
                      const std::unordered_set<uint32_t>& taken);

  // Writes every dirty unpinned block outside the read in progress, each run of consecutive
  // numbers in one call. True when it wrote anything. A block turns clean only once written.
  bool FlushDirtyBlocks();
  // Returns every cached block to the pool without writing (a pinned one lives on, out of the
  // cache, until released).
  void ClearBlockCache();
  // Drops least recently used clean blocks until the cache holds its normal capacity, writing
  // dirty ones first to make room, except under the transaction lock.
  void TrimBlockCache();

  bool LockWrite();
  bool UnlockWrite();
  // A read slot: `slot` is 0 when none was taken, and releasing slot 0 gives true.
  bool LockRead(uint16_t& slot);
  bool UnlockRead(uint16_t slot);

  // The free-list head, else the next block number.
  uint32_t GetFreeBlockNumber() const { return freeHead_ != 0 ? freeHead_ : nextBlock_; }
  uint32_t GetBlockCount() const { return nextBlock_ == 0 ? 0 : nextBlock_ - 1; }
  uint32_t GetBlockDataSize() const { return blockSize_ - kBlockHeaderSize; }
  uint32_t GetFreeBlockHead() const { return freeHead_; }
  void SetFreeBlockHead(uint32_t number);
  // 0, or 1..block count when the file has blocks.
  bool IsValidBlockNumber(uint32_t number) const { return number == 0 || number <= GetBlockCount(); }
  std::string GetTableName() const { return owner_->GetTableName(); }
  std::string GetTablePath() const { return owner_->GetTablePath(); }
  TTableFileOwner& Owner() const { return *owner_; }

  // Statistics and sizes, for tests and diagnostics.
  uint64_t DiskReads() const { return diskReads_; }
  size_t CachedBlockCount() const { return cache_.Count(); }
  uint32_t CacheCapacity() const { return uint32_t(cache_.Capacity()); }
  size_t PoolCount() const { return pool_.Count(); }

  // The header of a remote table's blob file, as its server's file holds it.
  void LoadHeaderFromReply(const uint8_t* image) { loadHeaderImage(image); }
  void CopyHeaderImage(uint8_t* image) const {
    EncodeHeader(image, changeCounter_, freeHead_, nextBlock_, headerDirty_);
    image[8] = version_;
  }

  // Builds the 512-byte header image and parses one; exposed for the integrity checker.
  static void EncodeHeader(uint8_t* image, uint32_t changeCounter, uint32_t freeHead, uint32_t nextBlock,
                           bool dirty);

  // Raises `code` with the table's name and directory as items.
  [[noreturn]] void Raise(uint16_t code) const;
  // Raises VELDOR_MEMOCORRUPT unless `number` names a block of the file (1..block count).
  void CheckLink(uint32_t number) const;

 private:
  friend class TBlock;

  uint32_t normalCapacity() const;
  void loadHeaderImage(const uint8_t* image);
  // Reads `count` blocks from `first`: block `wanted`, which the disk must hold, into the cache
  // (unless `cacheWanted` is false), the others kept in the read buffer until asked for
  // (takePending).
  void readBlocks(uint32_t first, uint32_t count, uint32_t wanted, bool cacheWanted = true);
  // The run GetBlock reads on a miss of block `number`, runs being `runBlocks` long: its first
  // block and count.
  void missRun(uint32_t number, uint32_t readAheadWanted, bool allowReadAhead, uint32_t runBlocks,
               uint32_t& first, uint32_t& count);
  // A block as ReadValue sees it: its header, and its data bytes in the cache or the read buffer
  // (scrambled there when the table is encrypted), valid until the next block is looked at.
  struct BlockView {
    uint32_t next = 0, used = 0, owner = 0, total = 0;
    const uint8_t* data = nullptr;
    bool scrambled = false;
  };
  // False when `cursor` reported another writer.
  bool viewBlock(TCacheReader* cursor, uint32_t number, uint32_t readAheadWanted, BlockView& view);
  template <class Bytes>
  bool tryReadValue(TCacheReader* cursor, uint32_t firstBlock, uint32_t ownerId, Bytes& value);
  template <class Bytes>
  void readValue(TCacheReader* cursor, uint32_t firstBlock, uint32_t ownerId, Bytes& value);
  // Block `number` into the cache from the last run read, when the run holds it and it has not
  // been cached since the run was read; else null.
  TBlock* takePending(uint32_t number);
  // A detached block numbered `number` for the cache (flushing for room outside a
  // transaction).
  std::unique_ptr<TBlock> takeSlot(uint32_t number);
  TBlock* insert(std::unique_ptr<TBlock> block);
  void freeChain(TBlock& block, bool repair, uint32_t ownerId, uint32_t readAhead,
                 const std::unordered_set<uint32_t>* taken);
  // Walks the chain after `block` and returns its numbers, `block` first, checking links,
  // owners and cycles (blocks in `taken` count as visited) before anything changes.
  std::vector<uint32_t> collectChain(TBlock& block, bool repair, uint32_t ownerId, uint32_t readAhead,
                                     const std::unordered_set<uint32_t>* taken);

  // Blocks past the end of the disk file may still live only in the cache.
  bool mayHaveUnwrittenTail() const;

  TTableFileOwner* owner_;
  uint32_t blockSize_ = kBlobDefaultBlockSize;
  bool encrypted_ = false;

  uint32_t changeCounter_ = 0;
  uint8_t version_ = kBlobFileVersion;
  uint32_t freeHead_ = 0;
  uint32_t nextBlock_ = 1;
  bool headerDirty_ = false;

  std::vector<uint8_t> readBuffer_;
  std::vector<uint8_t> writeBuffer_;
  int64_t readOffset_ = 0;  // the read in progress; both 0 outside a read
  int64_t readLength_ = 0;

  TBlockStack pool_{*this};
  TItemCache<TBlock, TBlockStack> cache_{pool_, kBlockCacheProbe, kBlockCacheGrowth};
  // Pinned blocks dropped from the cache, alive until released.
  std::vector<std::unique_ptr<TBlock>> detached_;
  uint32_t readAhead_ = 32;
  // The read-ahead of values read in passing (ReadValue): their blocks stay out of the cache, so
  // a longer run costs no cache room and saves system calls along a scan.
  uint32_t passingReadAhead_ = 128;
  // The block of the last cache miss (0: none since the cache was last dropped).
  uint32_t lastMiss_ = 0;
  // The blocks of the last run read, in the read buffer from pendingFirst_ on, and which of them
  // were cached when read or have been since: the others' images are what the cache would hold
  // of them. Dropped with the cache.
  uint32_t pendingFirst_ = 0;
  std::vector<bool> pendingTaken_;
  uint64_t diskReads_ = 0;
  std::function<void()> fileReadHook_;
};

// One open blob value of a cursor.
class TBlobBuffer {
 public:
  // Works on `file`; `cursor` (may be null) takes its read begin before blocks are read from
  // disk.
  TBlobBuffer(TBlobFile& file, TCacheReader* cursor);

  // Length of the value; the buffer grows as needed, and a length of 0 frees it. Bytes added
  // are zero. Marks the buffer dirty when the length changes.
  void SetSize(uint32_t length);
  uint32_t GetSize() const { return length_; }

  // Copies up to `count` bytes from `position`; returns the count copied (fewer at the end).
  uint32_t Read(uint64_t position, uint8_t* destination, uint32_t count) const;
  // Writes `count` bytes at `position`, growing the value when it passes the end. A value that
  // would pass 4 GiB - 1 bytes raises VELDOR_INVALIDBLOBLEN.
  void Write(uint64_t position, const uint8_t* source, uint32_t count);

  // Reads the value from its chain; nothing when the first block is 0. The record must own the
  // first block (else VELDOR_KEYORRECDELETED); a damaged chain raises VELDOR_MEMOCORRUPT; a
  // chain shorter than its recorded length VELDOR_ENDOFBLOB. Starts again from the first block
  // when the cursor reports another writer.
  void Load();
  // The same, its blocks read in passing (TBlobFile::ReadValue): for a value opened to be read.
  void LoadInPassing();
  // Writes the value into its chain, reusing the existing blocks and freeing what is left over;
  // nothing for a length of 0 (use FreeBlocks). Requires the write lock.
  void Save();
  // Frees the whole chain (owners corrected) and sets the first block to 0.
  void FreeBlocks();

  // Hands the value over to `value` (sized to its length); the buffer is left empty.
  void TakeData(std::vector<uint8_t>& value) {
    keepOriginal();
    data_.resize(length_);
    value.swap(data_);
    data_.clear();
    length_ = 0;
  }
  const uint8_t* GetData() const { return data_.data(); }
  uint8_t* GetData() {
    keepOriginal();
    return data_.data();
  }
  // The value as it stood at the last SaveOriginalData.
  std::span<const uint8_t> GetOriginalData() const {
    return originalIsData_ ? std::span<const uint8_t>(data_.data(), length_)
                           : std::span<const uint8_t>(original_);
  }
  uint32_t GetOriginalSize() const { return uint32_t(GetOriginalData().size()); }
  // Most values opened are read and let go: the copy is made only before the first change.
  void SaveOriginalData() {
    original_.clear();
    originalIsData_ = true;
  }
  // Makes the buffer a fresh one of `file` for another value, keeping the memory it holds.
  void Reuse() {
    dirty_ = false;
    ownerId_ = 0;
    fieldNumber_ = 0;
    firstBlock_ = 0;
    length_ = 0;
    original_.clear();
    originalIsData_ = false;
  }
  const TBlobFile* File() const { return file_; }
  size_t HeldBytes() const { return data_.capacity() + original_.capacity(); }

  bool IsDirty() const { return dirty_; }
  void SetDirty(bool dirty) { dirty_ = dirty; }
  uint32_t GetOwnerId() const { return ownerId_; }
  void SetOwnerId(uint32_t id) { ownerId_ = id; }
  uint32_t GetFirstBlock() const { return firstBlock_; }
  void SetFirstBlock(uint32_t number) { firstBlock_ = number; }
  uint16_t GetFieldNumber() const { return fieldNumber_; }
  void SetFieldNumber(uint16_t number) { fieldNumber_ = number; }

 private:
  // One attempt; false when the cursor reported another writer.
  bool tryLoad();
  // Before a change: the original value, while it is the data itself, is copied aside.
  void keepOriginal() {
    if (!originalIsData_) return;
    original_.assign(data_.begin(), data_.begin() + length_);
    originalIsData_ = false;
  }

  TBlobFile* file_;
  TCacheReader* cursor_;
  bool dirty_ = false;
  uint32_t ownerId_ = 0;
  uint16_t fieldNumber_ = 0;
  uint32_t firstBlock_ = 0;
  std::vector<uint8_t> data_;
  std::vector<uint8_t> original_;
  // The original value is the data's first length_ bytes (nothing changed since it was saved).
  bool originalIsData_ = false;
  uint32_t length_ = 0;
};

inline void TCacheTraits<TBlock>::Release(TBlobFile& file, TBlock* block) {
  file.ReleaseBlock(block);
}

}  // namespace engine
