// The in-memory record list: every fetched row is an item of a doubly linked list, carved ten at
// a time from blocks; rows can be navigated by position and bookmark, inserted, updated and
// deleted with write-through callbacks, or with cached updates that are applied, committed,
// reverted or cancelled later. Records that the filter or the shown update statuses reject stay
// in the list, hidden.
//
// Record numbers: a visible item's number is its Order plus RecNoOffset. After an insert or a
// delete only the items between the change and the nearer end of the list are renumbered; the
// offset absorbs the shift of the others.
//
// Bookmarks name the item and its serial; a bookmark whose item was freed, or reused for another
// record, is recognised without reading freed memory and resolved by record number instead.
//
// Not thread-safe: a record set is used by one thread at a time.
#pragma once

#include <cstdint>
#include <list>
#include <map>

#include "dataaccess/memdata_data.h"

namespace dataaccess {

struct TBlockHeader;

struct TItemHeader {
  TBlockHeader* Block = nullptr;
  TItemHeader* Prev = nullptr;
  TItemHeader* Next = nullptr;
  TItemHeader* Rollback = nullptr;  // the record before its first cached change
  uint8_t Status = usUnmodified;
  uint8_t UpdateResult = uaNone;
  bool Queued = false;
  uint8_t Mark = 0;
  int32_t Order = 0;
  uint64_t Serial = 0;  // unique per allocation, for bookmarks
};

struct TBlockHeader {
  uint16_t ItemCount = 0;
  uint16_t UsedItems = 0;
  TBlockHeader* Prev = nullptr;
  TBlockHeader* Next = nullptr;
  uint8_t Mark = 0;
};

class TBlockManager {
 public:
  ~TBlockManager() { FreeAllBlocks(); }

  TBlockHeader* AllocBlock(uint16_t itemCount);
  void FreeBlock(TBlockHeader* block);
  void FreeAllBlocks();
  void AddFreeBlock();
  TItemHeader* AllocItem();
  void FreeItem(TItemHeader* item);
  void PutRecord(TItemHeader* item, const uint8_t* recBuf) const;
  void GetRecord(const TItemHeader* item, uint8_t* recBuf) const;
  void CopyRecord(const TItemHeader* source, TItemHeader* dest) const;
  static uint8_t* GetRecordPtr(const TItemHeader* item);
  // True when `item` is an item in use with this serial; reads no memory that was freed.
  bool IsLiveItem(const void* item, uint64_t serial) const;

  uint32_t RecordSize = 0;
  uint16_t DefaultItemCount = 10;

 private:
  size_t itemStride() const;
  TItemHeader* itemAt(TBlockHeader* block, size_t i) const;

  TItemHeader* freeItems_ = nullptr;
  TBlockHeader* firstBlock_ = nullptr;
  std::map<uintptr_t, TBlockHeader*> blocks_;  // by address, for IsLiveItem
  uint64_t nextSerial_ = 1;
};

class TMemData : public TData {
 public:
  TMemData() = default;
  ~TMemData() override;

  void InitData() override;
  void FreeData() override;
  bool Eof() const override { return eof_ && !currentItem_; }
  bool Bof() const override { return bof_ && !currentItem_; }
  int GetRecordCount() const override { return RecordCount; }
  int GetRecNo() const override;
  void SetRecNo(int n) override;
  bool GetUpdatesPending() const override;
  void SetShownUpdateStatuses(TUpdateStatuses statuses) override;
  void InitFields() override;
  void GetRecord(uint8_t* recBuf) override;
  void GetNextRecord(uint8_t* recBuf) override;
  void GetPriorRecord(uint8_t* recBuf) override;
  void PutRecord(const uint8_t* recBuf) override;
  void AppendRecord(const uint8_t* recBuf) override;
  void InsertRecord(const uint8_t* recBuf) override;
  void UpdateRecord(const uint8_t* recBuf) override;
  void DeleteRecord() override;
  void SetToBegin() override;
  void SetToEnd() override;
  void GetBookmark(TRecBookmark& bookmark) override;
  void SetToBookmark(const TRecBookmark& bookmark) override;
  bool BookmarkValid(const TRecBookmark* bookmark) const override;
  int CompareBookmarks(const TRecBookmark* a, const TRecBookmark* b) const override;
  uint8_t GetUpdateStatus() const override {
    return currentItem_ ? currentItem_->Status : uint8_t(usUnmodified);
  }
  uint8_t GetUpdateResult() const override {
    return currentItem_ ? currentItem_->UpdateResult : uint8_t(uaNone);
  }
  void SetCacheRecBuf(uint8_t* newBuf, uint8_t* oldBuf) override;
  void ApplyUpdates() override;
  void CommitUpdates() override;
  void CancelUpdates() override;
  void RestoreUpdates() override;
  void RevertRecord() override;
  void GetOldRecord(uint8_t* recBuf) override;
  void FilterUpdated() override;
  // Asks the source for the next block of rows (the block before the held rows with
  // `fetchBack`); true when it read some. Here there is no source.
  virtual bool Fetch(bool fetchBack = false) {
    (void)fetchBack;
    return false;
  }
  // False for a source whose fetch replaces the held rows instead of appending to them; then
  // neither a record-number move nor a delete fetches, since either would lose its own item.
  virtual bool FetchKeepsItems() const { return true; }

  // Mode 0 after `item` was inserted, 1 before the visible `item` is removed or hidden, 2 for
  // the whole list.
  void ReorderItems(TItemHeader* item, int mode);
  uint32_t RefreshIteration() const { return refreshIteration_; }

 protected:
  // A new item after the last one; the driver fills its record.
  TItemHeader* AppendItem();
  TItemHeader* InsertItem();
  void DeleteItem(TItemHeader* item);
  bool OmitRecord(const TItemHeader* item);
  TItemHeader* CurrentItem() const { return currentItem_; }
  void SetCurrentItem(TItemHeader* item) { currentItem_ = item; }
  // Releases and frees every held item, keeping the fields, the count and the numbering offset.
  void DropItems();

  TItemHeader* FirstItem = nullptr;
  TItemHeader* LastItem = nullptr;
  TBlockManager BlockMan;

 private:
  int numberOf(const TItemHeader* item) const { return item->Order + RecNoOffset; }
  void releaseItem(TItemHeader* item);
  void restoreFromRollback(TItemHeader* item);
  void unqueue(TItemHeader* item);
  void queue(TItemHeader* item);
  bool revertItem(TItemHeader* item);

  TItemHeader* currentItem_ = nullptr;
  TItemHeader* newItem_ = nullptr;
  std::list<TItemHeader*> updateQueue_;
  uint8_t* newRecBuf_ = nullptr;
  uint8_t* oldRecBuf_ = nullptr;
  uint32_t refreshIteration_ = 0;
};

}  // namespace dataaccess
