#include "dataaccess/memdata_list.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "dataaccess/daconsts.h"

namespace dataaccess {
namespace {

constexpr uint8_t kBlockMark = 221;
constexpr uint8_t kFreeItem = 221;
constexpr uint8_t kUsedItem = 238;

// Refreshes of every record list in the process, so that a bookmark from before a refresh is
// never taken for one of the new list.
std::atomic<uint32_t> refreshCounter{0};

constexpr size_t roundUp8(size_t n) {
  return (n + 7) / 8 * 8;
}

}  // namespace

// ---- Block manager ----

size_t TBlockManager::itemStride() const {
  return roundUp8(sizeof(TItemHeader) + RecordSize);
}

TItemHeader* TBlockManager::itemAt(TBlockHeader* block, size_t i) const {
  return reinterpret_cast<TItemHeader*>(reinterpret_cast<char*>(block) + roundUp8(sizeof(TBlockHeader)) +
                                        i * itemStride());
}

uint8_t* TBlockManager::GetRecordPtr(const TItemHeader* item) {
  return reinterpret_cast<uint8_t*>(const_cast<TItemHeader*>(item)) + roundUp8(sizeof(TItemHeader));
}

TBlockHeader* TBlockManager::AllocBlock(uint16_t itemCount) {
  void* memory = std::malloc(roundUp8(sizeof(TBlockHeader)) + itemCount * itemStride());
  if (!memory) throw std::bad_alloc();
  auto* block = new (memory) TBlockHeader;
  block->ItemCount = itemCount;
  block->Mark = kBlockMark;
  block->Next = firstBlock_;
  if (firstBlock_) firstBlock_->Prev = block;
  firstBlock_ = block;
  blocks_[reinterpret_cast<uintptr_t>(block)] = block;
  return block;
}

void TBlockManager::FreeBlock(TBlockHeader* block) {
  DA_ASSERT(block && block->Mark == kBlockMark, "Invalid block");
  if (block->Prev)
    block->Prev->Next = block->Next;
  else
    firstBlock_ = block->Next;
  if (block->Next) block->Next->Prev = block->Prev;
  block->Mark = 0;
  blocks_.erase(reinterpret_cast<uintptr_t>(block));
  std::free(block);
}

void TBlockManager::FreeAllBlocks() {
  while (firstBlock_) FreeBlock(firstBlock_);
  freeItems_ = nullptr;
}

void TBlockManager::AddFreeBlock() {
  TBlockHeader* block = AllocBlock(DefaultItemCount);
  for (size_t i = block->ItemCount; i-- > 0;) {
    TItemHeader* item = new (itemAt(block, i)) TItemHeader;
    item->Block = block;
    item->Mark = kFreeItem;
    item->Next = freeItems_;
    if (freeItems_) freeItems_->Prev = item;
    freeItems_ = item;
  }
}

TItemHeader* TBlockManager::AllocItem() {
  if (!freeItems_) AddFreeBlock();
  TItemHeader* item = freeItems_;
  DA_ASSERT(item->Mark == kFreeItem, "Invalid item");
  freeItems_ = item->Next;
  if (freeItems_) freeItems_->Prev = nullptr;
  TBlockHeader* block = item->Block;
  *item = TItemHeader{};
  item->Block = block;
  item->Mark = kUsedItem;
  item->Serial = nextSerial_++;
  ++block->UsedItems;
  return item;
}

void TBlockManager::FreeItem(TItemHeader* item) {
  DA_ASSERT(item && item->Mark == kUsedItem, "Invalid item");
  item->Mark = kFreeItem;
  item->Serial = 0;
  TBlockHeader* block = item->Block;
  if (block->UsedItems > 1) {
    --block->UsedItems;
    item->Prev = nullptr;
    item->Next = freeItems_;
    if (freeItems_) freeItems_->Prev = item;
    freeItems_ = item;
    return;
  }
  // The block's last item in use: the block goes, with its free items.
  for (size_t i = 0; i < block->ItemCount; ++i) {
    TItemHeader* other = itemAt(block, i);
    if (other == item) continue;
    DA_ASSERT(other->Mark == kFreeItem, "Invalid item");
    if (other->Prev)
      other->Prev->Next = other->Next;
    else if (freeItems_ == other)
      freeItems_ = other->Next;
    if (other->Next) other->Next->Prev = other->Prev;
  }
  FreeBlock(block);
}

void TBlockManager::PutRecord(TItemHeader* item, const uint8_t* recBuf) const {
  std::memcpy(GetRecordPtr(item), recBuf, RecordSize);
}

void TBlockManager::GetRecord(const TItemHeader* item, uint8_t* recBuf) const {
  std::memcpy(recBuf, GetRecordPtr(item), RecordSize);
}

void TBlockManager::CopyRecord(const TItemHeader* source, TItemHeader* dest) const {
  std::memcpy(GetRecordPtr(dest), GetRecordPtr(source), RecordSize);
}

bool TBlockManager::IsLiveItem(const void* item, uint64_t serial) const {
  const auto address = reinterpret_cast<uintptr_t>(item);
  auto it = blocks_.upper_bound(address);
  if (it == blocks_.begin()) return false;
  --it;
  TBlockHeader* block = it->second;
  const uintptr_t first = reinterpret_cast<uintptr_t>(itemAt(block, 0));
  if (address < first || (address - first) % itemStride() != 0 ||
      (address - first) / itemStride() >= block->ItemCount)
    return false;
  const auto* candidate = static_cast<const TItemHeader*>(item);
  return candidate->Mark == kUsedItem && candidate->Serial == serial;
}

// ---- Record list ----

TMemData::~TMemData() {
  Close();
}

void TMemData::InitData() {
  TData::InitData();
  updateQueue_.clear();
  FirstItem = LastItem = currentItem_ = nullptr;
  refreshIteration_ = ++refreshCounter;
}

void TMemData::releaseItem(TItemHeader* item) {
  FreeComplexFields(TBlockManager::GetRecordPtr(item), true);
}

void TMemData::FreeData() {
  // Without large buffers every string lives in the heap's pages, which go at once; only the
  // objects are released one by one.
  if (!StringHeap.HasLargeBuffers()) StringHeap.Clear();
  for (TItemHeader* item = FirstItem; item; item = item->Next) {
    releaseItem(item);
    if (item->Rollback) releaseItem(item->Rollback);
  }
  updateQueue_.clear();
  StringHeap.Clear();
  BlockMan.FreeAllBlocks();
  InitData();
}

void TMemData::DropItems() {
  for (TItemHeader* item = FirstItem; item;) {
    TItemHeader* next = item->Next;
    releaseItem(item);
    if (item->Rollback) {
      releaseItem(item->Rollback);
      BlockMan.FreeItem(item->Rollback);
    }
    BlockMan.FreeItem(item);
    item = next;
  }
  updateQueue_.clear();
  FirstItem = LastItem = currentItem_ = nullptr;
}

void TMemData::InitFields() {
  TData::InitFields();
  BlockMan.RecordSize = RecordSize;
}

bool TMemData::OmitRecord(const TItemHeader* item) {
  if (CachedUpdates && !(ShownUpdateStatuses & (1 << item->Status))) return true;
  return HasFilter() && !FilterRecord(TBlockManager::GetRecordPtr(item));
}

TItemHeader* TMemData::AppendItem() {
  TItemHeader* item = BlockMan.AllocItem();
  item->Order = LastItem ? LastItem->Order + 1 : 1;
  item->Prev = LastItem;
  if (LastItem)
    LastItem->Next = item;
  else
    FirstItem = item;
  LastItem = item;
  return item;
}

TItemHeader* TMemData::InsertItem() {
  if (Eof() || !FirstItem) return AppendItem();
  TItemHeader* before = Bof() || !currentItem_ ? FirstItem : currentItem_;
  TItemHeader* item = BlockMan.AllocItem();
  item->Next = before;
  item->Prev = before->Prev;
  if (before->Prev)
    before->Prev->Next = item;
  else
    FirstItem = item;
  before->Prev = item;
  return item;
}

void TMemData::DeleteItem(TItemHeader* item) {
  if (item->Prev)
    item->Prev->Next = item->Next;
  else
    FirstItem = item->Next;
  if (item->Next)
    item->Next->Prev = item->Prev;
  else
    LastItem = item->Prev;
  if (currentItem_ == item) currentItem_ = item->Next ? item->Next : item->Prev;
  if (!FirstItem) bof_ = eof_ = true;
  if (item->Rollback) BlockMan.FreeItem(item->Rollback);
  BlockMan.FreeItem(item);
}

void TMemData::ReorderItems(TItemHeader* item, int mode) {
  if (mode == 2 || !item) {
    int n = 0;
    for (TItemHeader* i = FirstItem; i; i = i->Next)
      if (!OmitRecord(i)) i->Order = ++n;
    RecordCount = n;
    RecNoOffset = 0;
    return;
  }
  // The position of the change: the number the item has (insert) or had (delete).
  TItemHeader* prev = item->Prev;
  while (prev && OmitRecord(prev)) prev = prev->Prev;
  const int position = (prev ? numberOf(prev) : 0) + 1;
  const bool insert = mode == 0;
  if (position <= (RecordCount + 1) / 2) {
    // Renumber the items before the change; the offset moves the rest.
    RecNoOffset += insert ? 1 : -1;
    int n = insert ? position : position - 1;
    for (TItemHeader* i = insert ? item : prev; i; i = i->Prev)
      if (i == item || !OmitRecord(i)) i->Order = n-- - RecNoOffset;
  } else {
    int n = position;
    for (TItemHeader* i = insert ? item : item->Next; i; i = i->Next)
      if ((insert && i == item) || !OmitRecord(i)) i->Order = n++ - RecNoOffset;
  }
}

void TMemData::SetToBegin() {
  currentItem_ = nullptr;
  bof_ = true;
  eof_ = !FirstItem;
}

void TMemData::SetToEnd() {
  currentItem_ = nullptr;
  eof_ = true;
  bof_ = !FirstItem;
}

void TMemData::GetNextRecord(uint8_t* recBuf) {
  if (Eof()) return;
  TItemHeader* item = Bof() || !currentItem_ ? FirstItem : currentItem_->Next;
  bof_ = false;
  while (item && OmitRecord(item)) item = item->Next;
  if (!item) {
    currentItem_ = nullptr;
    eof_ = true;
    return;
  }
  currentItem_ = item;
  eof_ = false;
  if (recBuf) BlockMan.GetRecord(item, recBuf);
}

void TMemData::GetPriorRecord(uint8_t* recBuf) {
  if (Bof()) return;
  TItemHeader* item = Eof() || !currentItem_ ? LastItem : currentItem_->Prev;
  eof_ = false;
  while (item && OmitRecord(item)) item = item->Prev;
  if (!item) {
    currentItem_ = nullptr;
    bof_ = true;
    return;
  }
  currentItem_ = item;
  bof_ = false;
  if (recBuf) BlockMan.GetRecord(item, recBuf);
}

void TMemData::GetRecord(uint8_t* recBuf) {
  if (Bof() || Eof() || !currentItem_) return;
  if (OmitRecord(currentItem_))
    GetNextRecord(recBuf);
  else
    BlockMan.GetRecord(currentItem_, recBuf);
}

int TMemData::GetRecNo() const {
  return currentItem_ ? numberOf(currentItem_) : 0;
}

void TMemData::SetRecNo(int n) {
  if (n < 1 || !FirstItem) return;
  TItemHeader* start = FirstItem;
  bool forward = true;
  int distance = n - 1;
  if (n > RecordCount) {
    start = LastItem;  // beyond the rows loaded: fetch more
    distance = 0;
  } else if (RecordCount - n < distance) {
    start = LastItem;
    forward = false;
    distance = RecordCount - n;
  }
  if (currentItem_ && !OmitRecord(currentItem_) && std::abs(numberOf(currentItem_) - n) < distance) {
    start = currentItem_;
    forward = numberOf(currentItem_) <= n;
  }
  for (TItemHeader* item = start;;) {
    if (!item) {
      if (!forward || !FetchKeepsItems() || !Fetch()) return;
      item = start->Next ? start->Next : LastItem;
      continue;
    }
    if (!OmitRecord(item)) {
      const int number = numberOf(item);
      if (number == n) {
        currentItem_ = item;
        bof_ = eof_ = false;
        return;
      }
      if (forward ? number > n : number < n) return;
    }
    start = item;
    item = forward ? item->Next : item->Prev;
  }
}

void TMemData::PutRecord(const uint8_t* recBuf) {
  DA_ASSERT(currentItem_, "No current record");
  BlockMan.PutRecord(currentItem_, recBuf);
}

void TMemData::AppendRecord(const uint8_t* recBuf) {
  SetToEnd();
  InsertRecord(recBuf);
}

void TMemData::queue(TItemHeader* item) {
  item->Queued = true;
  updateQueue_.push_back(item);
}

void TMemData::unqueue(TItemHeader* item) {
  item->Queued = false;
  updateQueue_.remove(item);
}

void TMemData::InsertRecord(const uint8_t* recBuf) {
  TItemHeader* item;
  if (CachedUpdates) {
    item = InsertItem();
    currentItem_ = item;
    queue(item);
    item->Status = usInserted;
    item->UpdateResult = uaNone;
    BlockMan.PutRecord(item, recBuf);
  } else {
    TItemHeader* previous = currentItem_;
    const bool wasBof = bof_, wasEof = eof_;
    item = newItem_ = InsertItem();
    BlockMan.PutRecord(item, recBuf);
    try {
      DoInsertRecord(recBuf);
    } catch (...) {
      newItem_ = nullptr;
      DeleteItem(item);
      currentItem_ = previous;
      bof_ = wasBof;
      eof_ = wasEof;
      throw;
    }
    newItem_ = nullptr;
    // What the insert wrote back into the record (returned values, the new row's id) is kept.
    BlockMan.PutRecord(item, recBuf);
    currentItem_ = item;
  }
  bof_ = eof_ = false;
  ++RecordCount;
  if (OmitRecord(item))
    ReorderItems(nullptr, 2);
  else
    ReorderItems(item, 0);
}

void TMemData::UpdateRecord(const uint8_t* recBuf) {
  DA_ASSERT(currentItem_, "No current record");
  TItemHeader* item = currentItem_;
  const bool wasHidden = OmitRecord(item);
  if (CachedUpdates) {
    if (!item->Queued) queue(item);
    if (!(item->Status == usInserted && item->UpdateResult != uaApplied)) {
      item->Status = usModified;
      if (!item->Rollback) {
        item->Rollback = BlockMan.AllocItem();
        BlockMan.CopyRecord(item, item->Rollback);
        uint8_t* old = TBlockManager::GetRecordPtr(item->Rollback);
        AddRefComplexFields(old);
        // A blob edited in place keeps its old content in its own rollback copy; the old record
        // takes that copy over.
        for (int i = 0; i < Fields.Count(); ++i) {
          const TFieldDesc& f = Fields[i];
          if (!IsBlobDataType(f.DataType) || f.HasParent()) continue;
          TBlob* oldBlob = SlotPointer<TBlob>(f, old);
          if (oldBlob && oldBlob == SlotPointer<TBlob>(f, recBuf) && oldBlob->Rollback()) {
            SetSlotPointer(f, old, oldBlob->TakeRollback());
            oldBlob->Release();
          }
        }
      }
    }
    item->UpdateResult = uaNone;
  } else {
    DoUpdateRecord(recBuf);
  }
  PutRecord(recBuf);
  // A record that the filter or the shown statuses now judge differently enters or leaves the
  // numbering.
  if (OmitRecord(item) != wasHidden) ReorderItems(nullptr, 2);
}

void TMemData::restoreFromRollback(TItemHeader* item) {
  releaseItem(item);
  BlockMan.CopyRecord(item->Rollback, item);
  BlockMan.FreeItem(item->Rollback);
  item->Rollback = nullptr;
}

void TMemData::DeleteRecord() {
  TItemHeader* item = currentItem_;
  if (!item) return;
  if (item == LastItem && FetchKeepsItems()) Fetch();
  if (item->Status == usDeleted && CachedUpdates) return;  // already deleted: nothing changes
  const bool visible = !OmitRecord(item);
  if (!CachedUpdates) DoDeleteRecord();  // a failed write-through changes nothing
  if (visible) {
    ReorderItems(item, 1);
    --RecordCount;
  }
  if (!CachedUpdates) {
    releaseItem(item);
    DeleteItem(item);
    return;
  }
  switch (item->Status) {
    case usUnmodified:
      queue(item);
      break;
    case usModified:
      restoreFromRollback(item);
      break;
    case usInserted:
      unqueue(item);
      releaseItem(item);
      DeleteItem(item);
      return;
  }
  item->Status = usDeleted;
  item->UpdateResult = uaNone;
  if (!OmitRecord(item)) ReorderItems(nullptr, 2);
}

void TMemData::GetBookmark(TRecBookmark& bookmark) {
  bookmark.RefreshIteration = refreshIteration_;
  bookmark.Item = currentItem_;
  bookmark.Serial = currentItem_ ? currentItem_->Serial : 0;
  bookmark.Order = currentItem_ ? GetRecNo() : -1;
}

void TMemData::SetToBookmark(const TRecBookmark& bookmark) {
  if (bookmark.RefreshIteration == refreshIteration_ && bookmark.Item &&
      BlockMan.IsLiveItem(bookmark.Item, bookmark.Serial)) {
    currentItem_ = static_cast<TItemHeader*>(bookmark.Item);
    bof_ = eof_ = false;
    return;
  }
  TData::SetToBookmark(bookmark);
}

bool TMemData::BookmarkValid(const TRecBookmark* bookmark) const {
  return bookmark && (bookmark->Order != -1 || bookmark->Item);
}

int TMemData::CompareBookmarks(const TRecBookmark* a, const TRecBookmark* b) const {
  if (a && b && a->RefreshIteration == b->RefreshIteration && a->Item == b->Item && a->Serial == b->Serial)
    return 0;
  return TData::CompareBookmarks(a, b);
}

void TMemData::SetCacheRecBuf(uint8_t* newBuf, uint8_t* oldBuf) {
  newRecBuf_ = newBuf;
  oldRecBuf_ = oldBuf;
}

bool TMemData::GetUpdatesPending() const {
  return std::any_of(updateQueue_.begin(), updateQueue_.end(),
                     [](const TItemHeader* i) { return i->UpdateResult != uaApplied; });
}

void TMemData::ApplyUpdates() {
  if (!CachedUpdates) return;
  TItemHeader* setAside = currentItem_;
  auto it = updateQueue_.begin();
  while (it != updateQueue_.end()) {
    TItemHeader* item = *it;
    if (item->UpdateResult == uaApplied) {
      ++it;
      continue;
    }
    auto nextIt = std::next(it);
    TItemHeader* nextItem = nextIt == updateQueue_.end() ? nullptr : *nextIt;
    currentItem_ = item;
    TUpdateAction action = uaFail;
    std::exception_ptr error;
    try {
      uint8_t* record = TBlockManager::GetRecordPtr(item);
      switch (item->Status) {
        case usModified:
          if (newRecBuf_) std::memcpy(newRecBuf_, record, RecordSize);
          if (oldRecBuf_) std::memcpy(oldRecBuf_, TBlockManager::GetRecordPtr(item->Rollback), RecordSize);
          DoApplyRecord(ukModify, action);
          break;
        case usInserted:
          if (newRecBuf_) std::memcpy(newRecBuf_, record, RecordSize);
          if (oldRecBuf_) std::memcpy(oldRecBuf_, record, RecordSize);
          DoApplyRecord(ukInsert, action);
          break;
        case usDeleted:
          if (newRecBuf_) std::memcpy(newRecBuf_, record, RecordSize);
          if (oldRecBuf_) std::memcpy(oldRecBuf_, record, RecordSize);
          DoApplyRecord(ukDelete, action);
          break;
        default:
          DA_ASSERT(false, "Unknown update status");
      }
      if (item->Queued && newRecBuf_ && (item->Status == usModified || item->Status == usInserted))
        std::memcpy(record, newRecBuf_, RecordSize);
    } catch (...) {
      error = std::current_exception();
    }
    if (item->Queued) {
      item->UpdateResult = action;
      if (action != uaRetry) it = std::next(std::find(updateQueue_.begin(), updateQueue_.end(), item));
    } else {
      it = nextItem && nextItem->Queued ? std::find(updateQueue_.begin(), updateQueue_.end(), nextItem)
                                        : updateQueue_.end();
    }
    if (error) {
      currentItem_ = it == updateQueue_.end() ? setAside : *it;
      std::rethrow_exception(error);
    }
  }
  currentItem_ = setAside;
}

void TMemData::CommitUpdates() {
  if (GetUpdatesPending()) ApplyUpdates();
  for (auto it = updateQueue_.begin(); it != updateQueue_.end();) {
    TItemHeader* item = *it;
    if (item->UpdateResult != uaApplied) {
      ++it;
      continue;
    }
    it = updateQueue_.erase(it);
    item->Queued = false;
    if (item->Rollback) {
      releaseItem(item->Rollback);
      BlockMan.FreeItem(item->Rollback);
      item->Rollback = nullptr;
    }
    if (item->Status == usDeleted) {
      releaseItem(item);
      DeleteItem(item);
    } else {
      item->Status = usUnmodified;
      item->UpdateResult = uaNone;
    }
  }
  ReorderItems(nullptr, 2);
}

// Takes one item back to before its cached changes; false when the item itself is gone.
bool TMemData::revertItem(TItemHeader* item) {
  unqueue(item);
  switch (item->Status) {
    case usModified:
      restoreFromRollback(item);
      break;
    case usInserted:
      releaseItem(item);
      DeleteItem(item);
      return false;
    default:
      break;
  }
  item->Status = usUnmodified;
  item->UpdateResult = uaNone;
  return true;
}

void TMemData::RevertRecord() {
  if (currentItem_ && currentItem_->Queued) revertItem(currentItem_);
  ReorderItems(nullptr, 2);
}

void TMemData::CancelUpdates() {
  while (!updateQueue_.empty()) revertItem(updateQueue_.front());
  ReorderItems(nullptr, 2);
}

void TMemData::RestoreUpdates() {
  if (!CachedUpdates) return;
  for (TItemHeader* item : updateQueue_) item->UpdateResult = uaNone;
}

void TMemData::GetOldRecord(uint8_t* recBuf) {
  if (!currentItem_) return;
  BlockMan.GetRecord(currentItem_->Rollback ? currentItem_->Rollback : currentItem_, recBuf);
}

void TMemData::FilterUpdated() {
  ReorderItems(nullptr, 2);
  if (RecordCount == 0) {
    currentItem_ = nullptr;
    eof_ = true;
  }
}

void TMemData::SetShownUpdateStatuses(TUpdateStatuses statuses) {
  if (statuses == ShownUpdateStatuses) return;
  TData::SetShownUpdateStatuses(statuses);
  FilterUpdated();
}

}  // namespace dataaccess
