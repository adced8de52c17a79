#include "engine/storage/veldorblob.h"

#include <algorithm>
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorcompress.h"
#include "platform/bytes.h"
#include "platform/debugassert.h"
#include "platform/scopeguard.h"

namespace engine {

using platform::ScopeExit;
using platform::UndoOnFailure;

namespace {

// A caller that finds the table changed under it starts again; a table that keeps changing
// between two reads this often is given up on.
constexpr int kMaxLoadAttempts = 64;

// A scan's read-ahead run, in chain runs (TBlobFile::missRun).
constexpr uint32_t kScanRunFactor = 4;

size_t roundUp4096(size_t n) {
  return (n + 4095) / 4096 * 4096;
}

uint32_t blocksFor(uint64_t bytes, uint32_t dataSize) {
  const uint64_t n = (bytes + dataSize - 1) / dataSize;
  return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(n);
}

}  // namespace

// ---- TBlock ----

TBlock::TBlock(TBlobFile& file) : file_(&file), data_(file.GetBlockDataSize(), 0) {}

void TBlock::Clear() {
  std::fill(data_.begin(), data_.end(), 0);
  used_ = owner_ = total_ = prev_ = next_ = 0;
}

void TBlock::LoadFromBuffer(const uint8_t* image) {
  uint8_t header[kBlockHeaderSize];
  std::memcpy(header, image, kBlockHeaderSize);
  std::memcpy(data_.data(), image + kBlockHeaderSize, data_.size());
  if (file_->IsEncrypted()) {
    UnscrambleBuffer(header, kBlockHeaderSize, kStructureSeed);
    UnscrambleBuffer(data_.data(), data_.size(), kStructureSeed);
  }
  prev_ = platform::get4(header + 0);
  next_ = platform::get4(header + 4);
  used_ = platform::get2(header + 8);
  owner_ = platform::get4(header + 10);
  total_ = platform::get4(header + 14);
  dirty_ = false;
}

void TBlock::SaveToBuffer(uint8_t* image) {
  platform::put4(image + 0, prev_);
  platform::put4(image + 4, next_);
  platform::put2(image + 8, uint16_t(used_));
  platform::put4(image + 10, owner_);
  platform::put4(image + 14, total_);
  std::memcpy(image + kBlockHeaderSize, data_.data(), data_.size());
  if (file_->IsEncrypted()) {
    ScrambleBuffer(image, kBlockHeaderSize, kStructureSeed);
    ScrambleBuffer(image + kBlockHeaderSize, data_.size(), kStructureSeed);
  }
  dirty_ = false;
}

uint32_t TBlock::ReadData(uint32_t offset, uint32_t count, uint8_t* destination) const {
  const uint64_t size = data_.size();
  if (uint64_t(offset) + count > size) file_->Raise(VELDOR_INVALIDBLOBLEN);
  if (used_ > size) file_->Raise(VELDOR_MEMOCORRUPT);
  const uint32_t available = used_ > offset ? used_ - offset : 0;
  const uint32_t n = std::min(count, available);
  if (n > 0) std::memcpy(destination, data_.data() + offset, n);
  return n;
}

uint32_t TBlock::WriteData(uint32_t offset, uint32_t count, const uint8_t* source) {
  if (uint64_t(offset) + count > data_.size()) file_->Raise(VELDOR_INVALIDBLOBLEN);
  if (count > 0) std::memcpy(data_.data() + offset, source, count);
  used_ = offset + count;
  dirty_ = true;
  return count;
}

void TBlock::SetTotalLength(uint32_t value) {
  if (total_ != value) total_ = value, dirty_ = true;
}
void TBlock::SetOwnerId(uint32_t value) {
  if (owner_ != value) owner_ = value, dirty_ = true;
}
void TBlock::SetPrevBlock(uint32_t value) {
  if (prev_ != value) prev_ = value, dirty_ = true;
}
void TBlock::SetNextBlock(uint32_t value) {
  if (next_ != value) next_ = value, dirty_ = true;
}

// ---- TBlobFile: life ----

TBlobFile::TBlobFile(TTableFileOwner& owner, TFileList* list) : TFileHandler(list), owner_(&owner) {}

TBlobFile::~TBlobFile() {
  TBlobFile::Close();
}

void TBlobFile::Raise(uint16_t code) const {
  SignalTableError(code, owner_->GetTableName(), owner_->GetTablePath());
}

void TBlobFile::CheckLink(uint32_t number) const {
  if (number == 0 || number > GetBlockCount()) Raise(VELDOR_MEMOCORRUPT);
}

void TBlobFile::SetBlockSize(uint32_t size) {
  if (size == 0) size = kBlobDefaultBlockSize;
  if (size < kBlobMinBlockSize || size > kBlobMaxBlockSize) Raise(VELDOR_HEADERCORRUPT);
  if (size == blockSize_) return;
  ClearBlockCache();
  pool_.Clear();
  blockSize_ = size;
}

bool TBlobFile::mayHaveUnwrittenTail() const {
  return owner_->WrittenSinceOpen() && (IsExclusive() || owner_->HoldsTransactionLock());
}

uint32_t TBlobFile::normalCapacity() const {
  return std::max<uint32_t>(1, std::min<uint32_t>(32768 / blockSize_, 8192));
}

void TBlobFile::Open() {
  if (IsOpen()) return;
  TFileHandler::Open();
  {
    UndoOnFailure close([this] { TFileHandler::Close(); });
    ReadHeader();
  }
  cache_.SetCapacity(normalCapacity());
  readAhead_ = std::max<uint32_t>(1, 16384 / blockSize_);
  passingReadAhead_ = std::max<uint32_t>(1, kPassingReadBytes / blockSize_);
  diskReads_ = 0;
}

void TBlobFile::Close() {
  ClearBlockCache();
  diskReads_ = 0;
  TFileHandler::Close();
}

void TBlobFile::CreateFile() {
  ClearBlockCache();
  TFileHandler::CreateFile();
  changeCounter_ = 0;
  version_ = kBlobFileVersion;
  freeHead_ = 0;
  nextBlock_ = 1;
  headerDirty_ = true;
  cache_.SetCapacity(normalCapacity());
  readAhead_ = std::max<uint32_t>(1, 16384 / blockSize_);
  passingReadAhead_ = std::max<uint32_t>(1, kPassingReadBytes / blockSize_);
  diskReads_ = 0;
}

// ---- Header ----

void TBlobFile::EncodeHeader(uint8_t* image, uint32_t changeCounter, uint32_t freeHead, uint32_t nextBlock,
                             bool dirty) {
  std::memset(image, 0, kBlobHeaderSize);
  platform::put4(image + 0, changeCounter);
  image[8] = kBlobFileVersion;
  platform::put4(image + 9, freeHead);
  platform::put4(image + 13, nextBlock);
  image[17] = dirty ? 1 : 0;
}

void TBlobFile::loadHeaderImage(const uint8_t* image) {
  changeCounter_ = platform::get4(image + 0);
  version_ = image[8];
  freeHead_ = platform::get4(image + 9);
  nextBlock_ = platform::get4(image + 13);
}

void TBlobFile::ReadHeader() {
  uint8_t image[kBlobHeaderSize];
  ReadAt(0, image, kBlobHeaderSize);
  if (encrypted_) UnscrambleBuffer(image, kBlobHeaderSize, kStructureSeed);
  loadHeaderImage(image);
  headerDirty_ = false;
}

bool TBlobFile::WriteHeader(bool force) {
  if (!force && !headerDirty_) return false;
  uint8_t image[kBlobHeaderSize];
  EncodeHeader(image, changeCounter_ + 1, freeHead_, nextBlock_, headerDirty_);
  image[8] = version_;
  if (encrypted_) ScrambleBuffer(image, kBlobHeaderSize, kStructureSeed);
  WriteAt(0, image, kBlobHeaderSize);
  ++changeCounter_;
  owner_->MarkWritten();
  headerDirty_ = false;
  return true;
}

void TBlobFile::IncChangeCounter() {
  ++changeCounter_;
  headerDirty_ = true;
  owner_->MarkWritten();
}

bool TBlobFile::ChangeCounterCurrent() {
  uint8_t counter[4];
  if (!PeekDiskHead(counter, 4)) return false;
  // The scrambling works byte by byte, so the counter's bytes unscramble on their own.
  if (encrypted_) UnscrambleBuffer(counter, 4, kStructureSeed);
  return platform::get4(counter) == changeCounter_;
}

bool TBlobFile::HeaderChanged() {
  uint8_t image[kBlobHeaderSize];
  ReadAt(0, image, kBlobHeaderSize);
  if (encrypted_) UnscrambleBuffer(image, kBlobHeaderSize, kStructureSeed);
  if (platform::get4(image) == changeCounter_) return false;
  loadHeaderImage(image);
  headerDirty_ = false;
  return true;
}

void TBlobFile::CheckVersion() {
  if (version_ != kBlobFileVersion) Raise(VELDOR_OLDVERSION);
}

void TBlobFile::VerifyHeader() {
  CheckVersion();
  if (nextBlock_ == 0 || nextBlock_ - 1 > kMaxBlobBlocks) Raise(VELDOR_HEADERCORRUPT);
  if (!IsValidBlockNumber(freeHead_)) Raise(VELDOR_HEADERCORRUPT);
}

void TBlobFile::SetFreeBlockHead(uint32_t number) {
  if (freeHead_ != number) {
    freeHead_ = number;
    headerDirty_ = true;
  }
}

void TBlobFile::Empty() {
  ClearBlockCache();
  EnterSection();
  {
    ScopeExit leave([this] { LeaveSection(); });
    Seek(kSeekBegin, kBlobHeaderSize);
    Truncate();
  }
  owner_->MarkWritten();
  if (owner_->ForceBufferFlush()) Flush();
  version_ = kBlobFileVersion;
  nextBlock_ = 1;
  freeHead_ = 0;
  headerDirty_ = true;
}

// ---- Cache ----

std::unique_ptr<TBlock> TBlockStack::Pop() {
  if (spares_.empty()) return std::make_unique<TBlock>(*file_);
  std::unique_ptr<TBlock> block = std::move(spares_.back());
  spares_.pop_back();
  return block;
}

void TBlockStack::Push(std::unique_ptr<TBlock>& block) {
  if (block && spares_.size() < kCapacity) spares_.push_back(std::move(block));
  block.reset();
}

std::unique_ptr<TBlock> TBlobFile::takeSlot(uint32_t number) {
  std::unique_ptr<TBlock> slot =
      cache_.GetCacheSlot(number, !owner_->HoldsTransactionLock(), [this] { FlushDirtyBlocks(); });
  if (!slot) Raise(VELDOR_MEMOCORRUPT);  // the recently-used chain named a block the list lacks
  return slot;
}

TBlock* TBlobFile::insert(std::unique_ptr<TBlock> block) {
  TBlock* inserted = cache_.Insert(std::move(block));
  if (!inserted) Raise(VELDOR_MEMOCORRUPT);
  return inserted;
}

void TBlobFile::readBlocks(uint32_t first, uint32_t count, uint32_t wanted, bool cacheWanted) {
  const int64_t offset = kBlobHeaderSize + int64_t(first - 1) * blockSize_;
  const int64_t length = int64_t(count) * blockSize_;
  if (readBuffer_.size() < size_t(length)) readBuffer_.resize(roundUp4096(size_t(length)));
  readOffset_ = offset;
  readLength_ = length;
  ScopeExit readOver([this] { readOffset_ = readLength_ = 0; });

  const int64_t got = ReadAt(offset, readBuffer_.data(), length, true);
  ++diskReads_;
  const int64_t blocks = got / blockSize_;
  if (first + blocks <= wanted) {
    // The header counts a block that the disk does not hold: either it still lives only in a
    // cache that was dropped, or the file was cut short.
    Raise(mayHaveUnwrittenTail() ? VELDOR_MEMOCORRUPT : VELDOR_READERR);
  }
  // Cached blocks take the disk's bytes unless changed or in use; the wanted one goes into the
  // cache; the others wait in the read buffer until asked for (most of a run read for a scan
  // that needs a few values of each row never is).
  pendingFirst_ = first;
  pendingTaken_.assign(size_t(blocks), false);
  for (int64_t i = 0; i < blocks; ++i) {
    if (TBlock* cached = cache_.FindCached(first + uint32_t(i))) {
      if (!cached->dirty_ && cached->pins_ == 0) cached->LoadFromBuffer(readBuffer_.data() + i * blockSize_);
      pendingTaken_[size_t(i)] = true;
    }
  }
  if (!cacheWanted) return;
  if (!takePending(wanted)) Raise(VELDOR_MEMOCORRUPT);
}

TBlock* TBlobFile::takePending(uint32_t number) {
  if (number < pendingFirst_ || number - pendingFirst_ >= pendingTaken_.size()) return nullptr;
  const size_t i = number - pendingFirst_;
  if (pendingTaken_[i]) return nullptr;
  // Taken before the slot, whose search for room may write changed blocks: the image is read
  // from disk before anything of this file was written since.
  pendingTaken_[i] = true;
  std::unique_ptr<TBlock> slot = takeSlot(number);
  slot->LoadFromBuffer(readBuffer_.data() + i * blockSize_);
  return insert(std::move(slot));
}

bool TBlobFile::GetBlock(TCacheReader* cursor, uint32_t number, TBlock*& block, uint32_t readAheadWanted,
                         bool allowReadAhead) {
  block = nullptr;
  if (number == 0) Raise(VELDOR_MEMOCORRUPT);
  if (number == nextBlock_) {
    if (number > kMaxBlobBlocks || kBlobHeaderSize + uint64_t(number) * blockSize_ > kMaxBlobFileEnd) {
      Raise(VELDOR_TABLEFULL);
    }
    TBlock* fresh = insert(takeSlot(number));
    fresh->dirty_ = true;  // so that the file always holds every block the header counts
    fresh->Pin();
    ++nextBlock_;
    headerDirty_ = true;
    block = fresh;
    return true;
  }
  if (number > nextBlock_) Raise(VELDOR_MEMOCORRUPT);
  TBlock* cached = cache_.Find(number);
  // A block read along with another and not asked for since counts as cached.
  if (!cached) cached = takePending(number);
  if (cached) {
    cached->Pin();
    block = cached;
    return true;
  }
  if (cursor && fileReadHook_) fileReadHook_();
  if (cursor && !owner_->StrictChangeDetection() && cursor->BeginRead()) return false;
  if (number >= nextBlock_) Raise(VELDOR_MEMOCORRUPT);
  uint32_t first = number;
  uint32_t count = 1;
  missRun(number, readAheadWanted, allowReadAhead, readAhead_, first, count);
  readBlocks(first, count, number);
  TBlock* loaded = cache_.Find(number);
  if (!loaded) Raise(VELDOR_MEMOCORRUPT);
  loaded->Pin();
  block = loaded;
  return true;
}

void TBlobFile::missRun(uint32_t number, uint32_t readAheadWanted, bool allowReadAhead, uint32_t runBlocks,
                        uint32_t& first, uint32_t& count) {
  first = number;
  count = 1;
  if (allowReadAhead) {
    count = std::min({runBlocks, std::max<uint32_t>(1, readAheadWanted), nextBlock_ - number});
    // Values read one after another (a scan, in either direction) miss near the last miss: their
    // neighbours are read next, so the whole scan run around the block is read, aligned to runs
    // so that a walk up or down the file reads each run once. The scan run is at least four
    // chains' read-ahead: each miss also pays for the table's read pair, which a run's later
    // values do not.
    const uint32_t scanRun = std::max(runBlocks, kScanRunFactor * readAhead_);
    const uint32_t run = (number - 1) / scanRun;
    const uint32_t lastRun = (lastMiss_ - 1) / scanRun;
    if (count < runBlocks && lastMiss_ != 0 && run + 1 >= lastRun && run <= lastRun + 1) {
      first = run * scanRun + 1;
      count = std::min(scanRun, nextBlock_ - first);
    }
  }
  lastMiss_ = number;
}

bool TBlobFile::viewBlock(TCacheReader* cursor, uint32_t number, uint32_t readAheadWanted, BlockView& view) {
  // Along a scan the cache is most often empty: its table is not looked into then.
  if (const TBlock* cached = cache_.Count() == 0 ? nullptr : cache_.FindCached(number)) {
    view = {cached->next_, cached->used_, cached->owner_, cached->total_, cached->data_.data(), false};
    return true;
  }
  const auto waiting = [&] {
    return number >= pendingFirst_ && number - pendingFirst_ < pendingTaken_.size() &&
           !pendingTaken_[number - pendingFirst_];
  };
  if (!waiting()) {
    if (cursor && fileReadHook_) fileReadHook_();
    if (cursor && !owner_->StrictChangeDetection() && cursor->BeginRead()) return false;
    if (number >= nextBlock_) Raise(VELDOR_MEMOCORRUPT);
    uint32_t first, count;
    missRun(number, readAheadWanted, true, passingReadAhead_, first, count);
    readBlocks(first, count, number, false);
    if (!waiting()) Raise(VELDOR_MEMOCORRUPT);
  }
  const uint8_t* image = readBuffer_.data() + size_t(number - pendingFirst_) * blockSize_;
  const uint8_t* header = image;
  uint8_t plain[kBlockHeaderSize];
  if (encrypted_) {
    std::memcpy(plain, image, kBlockHeaderSize);
    UnscrambleBuffer(plain, kBlockHeaderSize, kStructureSeed);
    header = plain;
  }
  view = {platform::get4(header + 4),  platform::get2(header + 8), platform::get4(header + 10),
          platform::get4(header + 14), image + kBlockHeaderSize,   encrypted_};
  return true;
}

template <class Bytes>
bool TBlobFile::tryReadValue(TCacheReader* cursor, uint32_t firstBlock, uint32_t ownerId, Bytes& value) {
  CheckLink(firstBlock);
  BlockView block;
  if (!viewBlock(cursor, firstBlock, 1, block)) return false;
  if (block.owner != ownerId) Raise(VELDOR_KEYORRECDELETED);
  const uint32_t total = block.total;
  const uint32_t dataSize = GetBlockDataSize();
  // As in TBlobBuffer::tryLoad: no chain holds more than every block of the file.
  if (uint64_t(total) > uint64_t(GetBlockCount()) * dataSize) Raise(VELDOR_MEMOCORRUPT);
  if (total <= dataSize && block.used >= total && block.used <= dataSize) {
    // The whole value in its first block, as most memos of a scan: copied once, without the
    // buffer's zeroing first. Any other case, damage included, takes the walk below.
    const auto* from = reinterpret_cast<const typename Bytes::value_type*>(block.data);
    value.assign(from, from + total);
    if (block.scrambled && total > 0)
      UnscrambleBuffer(reinterpret_cast<uint8_t*>(value.data()), total, kStructureSeed);
    return true;
  }
  value.resize(total);
  uint32_t done = 0;
  std::unordered_set<uint32_t> visited;
  while (done < total) {
    if (block.owner != ownerId) Raise(VELDOR_KEYORRECDELETED);
    if (block.used > dataSize) Raise(VELDOR_MEMOCORRUPT);
    const uint32_t want = std::min(dataSize, total - done);
    const uint32_t got = std::min(want, block.used);
    if (got > 0) {
      uint8_t* to = reinterpret_cast<uint8_t*>(value.data()) + done;
      std::memcpy(to, block.data, got);
      // The scrambling runs byte by byte from the start of the data area: a prefix unscrambles alone.
      if (block.scrambled) UnscrambleBuffer(to, got, kStructureSeed);
    }
    done += got;
    if (got < want || done == total) break;
    const uint32_t next = block.next;
    if (next == 0) break;
    CheckLink(next);
    if (visited.empty()) visited.insert(firstBlock);
    if (!visited.insert(next).second) Raise(VELDOR_MEMOCORRUPT);
    if (!viewBlock(cursor, next, blocksFor(total - done, dataSize), block)) return false;
  }
  if (done < total) Raise(VELDOR_ENDOFBLOB);
  return true;
}

template <class Bytes>
void TBlobFile::readValue(TCacheReader* cursor, uint32_t firstBlock, uint32_t ownerId, Bytes& value) {
  for (int attempt = 0; attempt < kMaxLoadAttempts; ++attempt)
    if (tryReadValue(cursor, firstBlock, ownerId, value)) return;
  Raise(VELDOR_LOCKTIMEOUT);
}

void TBlobFile::ReadValue(TCacheReader* cursor, uint32_t firstBlock, uint32_t ownerId,
                          std::vector<uint8_t>& value) {
  readValue(cursor, firstBlock, ownerId, value);
}

void TBlobFile::ReadValue(TCacheReader* cursor, uint32_t firstBlock, uint32_t ownerId, std::string& value) {
  readValue(cursor, firstBlock, ownerId, value);
}

PinnedBlock TBlobFile::GetBlockPinned(uint32_t number, uint32_t readAheadWanted) {
  TBlock* block = nullptr;
  GetBlock(nullptr, number, block, readAheadWanted, true);
  return PinnedBlock(*this, block);
}

void TBlobFile::ReleaseBlock(TBlock* block) {
  if (!block) return;
  block->Unpin();
  if (block->pins_ > 0 || detached_.empty()) return;
  auto it = std::find_if(detached_.begin(), detached_.end(),
                         [block](const std::unique_ptr<TBlock>& b) { return b.get() == block; });
  if (it == detached_.end()) return;
  std::unique_ptr<TBlock> owned = std::move(*it);
  detached_.erase(it);
  pool_.Push(owned);
}

bool TBlobFile::FlushDirtyBlocks() {
  const int64_t readEnd = readOffset_ + readLength_;
  const std::vector<TBlock*> dirty = cache_.CollectDirty([&](const TBlock& b) {
    const int64_t offset = kBlobHeaderSize + int64_t(b.number_ - 1) * blockSize_;
    return readLength_ == 0 || offset < readOffset_ || offset >= readEnd;
  });
  if (dirty.empty()) return false;
  TItemCache<TBlock, TBlockStack>::ForEachRun(dirty, [&](size_t start, size_t count) {
    const size_t bytes = count * blockSize_;
    if (writeBuffer_.size() < bytes) writeBuffer_.resize(roundUp4096(bytes));
    for (size_t i = 0; i < count; ++i) dirty[start + i]->SaveToBuffer(writeBuffer_.data() + i * blockSize_);
    // Nothing of a run that fails is known to be on disk.
    UndoOnFailure redirty([&] {
      for (size_t i = 0; i < count; ++i) dirty[start + i]->dirty_ = true;
    });
    WriteAt(kBlobHeaderSize + int64_t(dirty[start]->number_ - 1) * blockSize_, writeBuffer_.data(),
            int64_t(bytes));
    redirty.Dismiss();
    owner_->MarkWritten();
  });
  return true;
}

void TBlobFile::ClearBlockCache() {
  lastMiss_ = 0;
  pendingTaken_.clear();
  cache_.Clear([this](std::unique_ptr<TBlock> pinned) { detached_.push_back(std::move(pinned)); });
}

void TBlobFile::TrimBlockCache() {
  // Under the transaction lock dirty blocks are the transaction's own: they stay in memory.
  const bool mayFlush = !owner_->HoldsTransactionLock();
  if (!cache_.Trim(normalCapacity(), [&] {
        if (mayFlush) FlushDirtyBlocks();
      }))
    Raise(VELDOR_MEMOCORRUPT);
}

// ---- Allocation ----

PinnedBlock TBlobFile::AllocateBlock() {
  PinnedBlock block;
  if (freeHead_ != 0) {
    CheckLink(freeHead_);
    block = GetBlockPinned(freeHead_, 1);
    const uint32_t next = block->GetNextBlock();
    // A block that still has an owner belongs to a value: handing it out would overwrite it. A
    // link outside the file, or back to the block itself, would hand a block out twice.
    if (block->GetOwnerId() != 0 || (next != 0 && (next > GetBlockCount() || next == block->GetNumber())))
      Raise(VELDOR_MEMOCORRUPT);
    SetFreeBlockHead(next);
  } else {
    block = GetBlockPinned(nextBlock_, 1);
  }
  VELMARON_DEBUG_ASSERT(block->GetNumber() != freeHead_, "an allocated block has left the free list");
  block->Clear();
  block->SetDirty();
  return block;
}

uint32_t TBlobFile::AppendChain(uint32_t ownerId, const uint8_t* data, uint32_t length) {
  const uint32_t dataSize = GetBlockDataSize();
  const uint32_t count = blocksFor(length, dataSize);
  // Under the transaction lock the transaction's blocks reach the file only with its write-out:
  // straight there when the file holds its writes until then, else through the cache.
  if (freeHead_ != 0 || count <= normalCapacity() || (owner_->HoldsTransactionLock() && !HoldsWrites()))
    return 0;
  const uint32_t first = nextBlock_;
  const uint64_t last = uint64_t(first) + count - 1;
  if (last > kMaxBlobBlocks || kBlobHeaderSize + last * blockSize_ > kMaxBlobFileEnd) Raise(VELDOR_TABLEFULL);
  // Numbers past the header's count are cached only as fresh blocks about to be written; a run
  // read ahead ends below it.
  for (uint32_t n = first; n <= last; ++n)
    if (cache_.FindCached(n)) return 0;
  VELMARON_DEBUG_ASSERT(pendingTaken_.empty() || pendingFirst_ + pendingTaken_.size() <= first,
                        "no block past the file's count waits in the read buffer");
  std::vector<uint8_t> image = TakeSpareBuffer();
  image.reserve(size_t(count) * blockSize_);
  uint32_t done = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t used = std::min(dataSize, length - done);
    uint8_t header[kBlockHeaderSize];
    platform::put4(header + 0, i == 0 ? 0 : first + i - 1);
    platform::put4(header + 4, i + 1 < count ? first + i + 1 : 0);
    platform::put2(header + 8, uint16_t(used));
    platform::put4(header + 10, ownerId);
    platform::put4(header + 14, i == 0 ? length : 0);
    const size_t at = image.size();
    image.insert(image.end(), header, header + kBlockHeaderSize);
    image.insert(image.end(), data + done, data + done + used);
    image.resize(at + blockSize_);
    if (encrypted_) {
      ScrambleBuffer(image.data() + at, kBlockHeaderSize, kStructureSeed);
      ScrambleBuffer(image.data() + at + kBlockHeaderSize, dataSize, kStructureSeed);
    }
    done += used;
  }
  VELMARON_DEBUG_ASSERT(done == length, "an appended chain holds the whole value");
  WriteAt(kBlobHeaderSize + int64_t(first - 1) * blockSize_, std::move(image));
  nextBlock_ = uint32_t(last + 1);
  headerDirty_ = true;
  owner_->MarkWritten();
  return first;
}

void TBlobFile::FreeBlock(TBlock& block) {
  block.SetNextBlock(freeHead_);
  block.SetOwnerId(0);
  block.SetTotalLength(0);
  block.SetPrevBlock(0);
  SetFreeBlockHead(block.GetNumber());
}

std::vector<uint32_t> TBlobFile::collectChain(TBlock& block, bool repair, uint32_t ownerId,
                                              uint32_t readAhead, const std::unordered_set<uint32_t>* taken) {
  std::vector<uint32_t> chain{block.GetNumber()};
  std::unordered_set<uint32_t> visited{block.GetNumber()};
  const uint32_t count = GetBlockCount();
  uint32_t next = block.GetNextBlock();
  uint32_t ahead = readAhead;
  while (next != 0) {
    CheckLink(next);
    if (chain.size() >= count || !visited.insert(next).second || (taken && taken->count(next))) {
      Raise(VELDOR_MEMOCORRUPT);
    }
    ahead = ahead > 1 ? ahead - 1 : 1;
    PinnedBlock b = GetBlockPinned(next, ahead);
    if (b->GetOwnerId() == 0) Raise(VELDOR_MEMOCORRUPT);  // already on the free list
    if (b->GetOwnerId() != ownerId) {
      if (!repair) Raise(VELDOR_MEMOCORRUPT);
      b->SetOwnerId(ownerId);
    }
    chain.push_back(next);
    next = b->GetNextBlock();
  }
  return chain;
}

void TBlobFile::freeChain(TBlock& block, bool repair, uint32_t ownerId, uint32_t readAhead,
                          const std::unordered_set<uint32_t>* taken) {
  if (taken && taken->count(block.GetNumber())) Raise(VELDOR_MEMOCORRUPT);
  // Every link and owner is checked before the first block goes to the free list.
  const std::vector<uint32_t> chain = collectChain(block, repair, ownerId, readAhead, taken);
  FreeBlock(block);
  for (size_t i = 1; i < chain.size(); ++i) {
    PinnedBlock b = GetBlockPinned(chain[i], 1);
    FreeBlock(*b);
  }
  VELMARON_DEBUG_ASSERT(freeHead_ == chain.back(), "a freed chain heads the free list, its last block first");
}

void TBlobFile::FreeBlockChain(TBlock& block, bool repair, uint32_t ownerId, uint32_t readAhead) {
  freeChain(block, repair, ownerId, readAhead, nullptr);
}

void TBlobFile::FreeBlockChain(TBlock& block, bool repair, uint32_t ownerId, uint32_t readAhead,
                               const std::unordered_set<uint32_t>& taken) {
  freeChain(block, repair, ownerId, readAhead, &taken);
}

void TBlobFile::FreeBlobChain(uint32_t& firstBlock, bool repair, uint32_t ownerId) {
  if (firstBlock == 0) return;
  CheckLink(firstBlock);
  PinnedBlock first = GetBlockPinned(firstBlock, 1);
  if (first->GetOwnerId() == 0) Raise(VELDOR_MEMOCORRUPT);
  if (first->GetOwnerId() != ownerId) {
    if (!repair) Raise(VELDOR_MEMOCORRUPT);
    first->SetOwnerId(ownerId);
  }
  FreeBlockChain(*first, repair, ownerId, blocksFor(first->GetTotalLength(), GetBlockDataSize()));
  firstBlock = 0;
}

// ---- Locks ----

bool TBlobFile::LockWrite() {
  return LockRegionRetrying([](uint32_t) { return kBlobWriteLockOffset; }, kBlobWriteLockLength);
}

bool TBlobFile::UnlockWrite() {
  return LockRegion(false, kBlobWriteLockOffset, kBlobWriteLockLength);
}

bool TBlobFile::LockRead(uint16_t& slot) {
  return LockReadSlot(kBlobReadLockBase, slot);
}

bool TBlobFile::UnlockRead(uint16_t slot) {
  return UnlockReadSlot(kBlobReadLockBase, slot);
}

// ---- TBlobBuffer ----

TBlobBuffer::TBlobBuffer(TBlobFile& file, TCacheReader* cursor) : file_(&file), cursor_(cursor) {}

void TBlobBuffer::SetSize(uint32_t length) {
  if (length == length_) return;
  keepOriginal();
  dirty_ = true;
  if (length == 0) {
    data_.clear();
    data_.shrink_to_fit();
  } else if (length > length_) {
    // Bytes the buffer grows by come zeroed; only those kept from a longer value are cleared.
    const size_t held = data_.size();
    if (held < length) data_.resize(length);
    std::fill(data_.begin() + length_, data_.begin() + std::min<size_t>(held, length), 0);
  }
  length_ = length;
}

uint32_t TBlobBuffer::Read(uint64_t position, uint8_t* destination, uint32_t count) const {
  if (position >= length_) return 0;
  const uint32_t n = uint32_t(std::min<uint64_t>(count, length_ - position));
  if (n > 0) std::memcpy(destination, data_.data() + position, n);
  return n;
}

void TBlobBuffer::Write(uint64_t position, const uint8_t* source, uint32_t count) {
  const uint64_t end = position + count;
  if (end > 0xFFFFFFFFu) file_->Raise(VELDOR_INVALIDBLOBLEN);
  keepOriginal();
  if (count == 0) {
    if (end > length_) SetSize(uint32_t(end));
    return;
  }
  if (end > length_) {
    // Only a gap before the write reads as zeros; the bytes written are appended as they are,
    // not zeroed first (a value written whole is a megabyte or more).
    if (position > length_) SetSize(uint32_t(position));
    data_.resize(length_);
    const size_t overlap = length_ - size_t(position);
    data_.insert(data_.end(), source + overlap, source + count);
    length_ = uint32_t(end);
    count = uint32_t(overlap);
  }
  if (count > 0) std::memcpy(data_.data() + position, source, count);
  dirty_ = true;
}

bool TBlobBuffer::tryLoad() {
  TBlobFile& file = *file_;
  file.CheckLink(firstBlock_);
  TBlock* raw = nullptr;
  if (!file.GetBlock(cursor_, firstBlock_, raw, 1, true)) return false;
  PinnedBlock current(file, raw);
  if (current->GetOwnerId() != ownerId_) file.Raise(VELDOR_KEYORRECDELETED);
  const uint32_t total = current->GetTotalLength();
  const uint32_t dataSize = file.GetBlockDataSize();
  // No chain can hold more than every block of the file; a larger length is damage, and must
  // not turn into an allocation.
  if (uint64_t(total) > uint64_t(file.GetBlockCount()) * dataSize) file.Raise(VELDOR_MEMOCORRUPT);
  SetSize(total);
  uint32_t done = 0;
  // Filled from the second block on: most values fit in one, and an empty set allocates nothing.
  std::unordered_set<uint32_t> visited;
  while (done < total) {
    if (current->GetOwnerId() != ownerId_) file.Raise(VELDOR_KEYORRECDELETED);
    const uint32_t want = std::min(dataSize, total - done);
    const uint32_t got = current->ReadData(0, want, data_.data() + done);
    done += got;
    if (got < want || done == total) break;
    const uint32_t next = current->GetNextBlock();
    if (next == 0) break;
    file.CheckLink(next);
    if (visited.empty()) visited.insert(firstBlock_);
    if (!visited.insert(next).second) file.Raise(VELDOR_MEMOCORRUPT);
    if (!file.GetBlock(cursor_, next, raw, blocksFor(total - done, dataSize), true)) return false;
    current = PinnedBlock(file, raw);
  }
  if (done < total) file.Raise(VELDOR_ENDOFBLOB);
  return true;
}

void TBlobBuffer::Load() {
  if (firstBlock_ == 0) return;
  for (int attempt = 0; attempt < kMaxLoadAttempts; ++attempt) {
    if (tryLoad()) {
      dirty_ = false;
      return;
    }
  }
  file_->Raise(VELDOR_LOCKTIMEOUT);
}

void TBlobBuffer::LoadInPassing() {
  if (firstBlock_ == 0) return;
  keepOriginal();
  file_->ReadValue(cursor_, firstBlock_, ownerId_, data_);
  length_ = uint32_t(data_.size());
  dirty_ = false;
}

void TBlobBuffer::Save() {
  if (length_ == 0) return;
  TBlobFile& file = *file_;
  const uint32_t dataSize = file.GetBlockDataSize();
  if (firstBlock_ == 0) {
    if (const uint32_t first = file.AppendChain(ownerId_, data_.data(), length_)) {
      firstBlock_ = first;
      dirty_ = false;
      return;
    }
  }
  PinnedBlock current;
  uint32_t oldLength = 0;
  if (firstBlock_ != 0) {
    file.CheckLink(firstBlock_);
    current = file.GetBlockPinned(firstBlock_, 1);
    if (current->GetOwnerId() == 0) file.Raise(VELDOR_MEMOCORRUPT);
    if (current->GetOwnerId() != ownerId_) file.Raise(VELDOR_KEYORRECDELETED);
    oldLength = current->GetTotalLength();
  } else {
    current = file.AllocateBlock();
    firstBlock_ = current->GetNumber();
  }
  current->SetOwnerId(ownerId_);
  current->SetTotalLength(length_);
  current->SetPrevBlock(0);
  std::unordered_set<uint32_t> taken{current->GetNumber()};
  uint32_t done = 0;
  uint32_t oldLeft = oldLength;
  for (;;) {
    const uint32_t n = std::min(dataSize, length_ - done);
    current->WriteData(0, n, data_.data() + done);
    done += n;
    oldLeft -= std::min(oldLeft, dataSize);
    if (done == length_) break;
    PinnedBlock next;
    const uint32_t link = current->GetNextBlock();
    if (link != 0) {
      file.CheckLink(link);
      if (taken.count(link)) file.Raise(VELDOR_MEMOCORRUPT);
      next = file.GetBlockPinned(link, blocksFor(oldLeft, dataSize));
      if (next->GetOwnerId() != ownerId_) file.Raise(VELDOR_MEMOCORRUPT);
    } else {
      next = file.AllocateBlock();
      if (taken.count(next->GetNumber())) file.Raise(VELDOR_MEMOCORRUPT);
    }
    taken.insert(next->GetNumber());
    current->SetNextBlock(next->GetNumber());
    next->SetPrevBlock(current->GetNumber());
    next->SetOwnerId(ownerId_);
    next->SetTotalLength(0);
    current = std::move(next);
  }
  if (const uint32_t rest = current->GetNextBlock(); rest != 0) {
    file.CheckLink(rest);
    PinnedBlock restBlock = file.GetBlockPinned(rest, blocksFor(oldLeft, dataSize));
    if (restBlock->GetOwnerId() == 0) file.Raise(VELDOR_MEMOCORRUPT);
    restBlock->SetOwnerId(ownerId_);
    file.FreeBlockChain(*restBlock, true, ownerId_, blocksFor(oldLeft, dataSize), taken);
    current->SetNextBlock(0);
  }
  VELMARON_DEBUG_ASSERT(taken.size() == blocksFor(length_, dataSize) && current->GetNextBlock() == 0,
                        "a saved value's chain holds exactly the blocks its length needs, and ends");
  dirty_ = false;
}

void TBlobBuffer::FreeBlocks() {
  if (firstBlock_ != 0) file_->FreeBlobChain(firstBlock_, true, ownerId_);
  dirty_ = false;
}

}  // namespace engine
