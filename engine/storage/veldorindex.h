// The index file of a table (".IDX"): a 4096-byte header with 33 index descriptors and the
// table's record count, followed by 4096-byte pages. Each index is a counted B+-tree of pages;
// the tree operations on TPage are in veldorbtree.cpp, the operations that walk a whole tree
// in veldorbtree.h.
//
// File layout (little-endian), unit N at offset N x 4096:
//   header  0 u32 change counter | 4 zero | 8 u8 version 5 | 9 u32 next page number |
//           13 u8 secondary index count (0..30) | 14 33 x 120 descriptors |
//           3974 u32 record count | 3978 u8 no-primary-index flag | 3979 u8 header-dirty flag |
//           3980 u32 collation version of the trees (0: not recorded) | 3984 zero
//   slots   0 primary, 1..30 secondary (filled from 1 without gaps), 31 "Sys Deleted",
//           32 "Sys Text" (the text index)
//   descriptor (120 bytes)  0 string[30] name | 31 u16 key size K | 33 u8 descending |
//           34 u8 case-insensitive | 35 u8 unique | 36 u8 compression 0..3 | 37 u8 field count |
//           38 16 x u8 per-field descending | 54 16 x u16 field numbers (0 ends) |
//           86 u32 root page | 90 u32 free-page head | 94 u8 | 96 u32 text parameter page |
//           100 20 bytes cleared
//   page    0 u8 type (0 root branch, 1 branch, 2 leaf, 3 root leaf, 4 raw) | 1 u16 entries |
//           3 u32 previous | 7 u32 next (a freed page: next free page) | 11 u16 used bytes of a
//           compressed leaf | 13 entries
//   entries branch: key, u32 child, u32 keys below (text index: no count); leaf: key, u32
//           record number, or compressed by leading (1), trailing (2) or both (3)
// An encrypted table scrambles the header and every page as a whole.
//
// Not thread-safe: an index file belongs to one table object, which one thread uses at a time.
// Disk transfers run inside the shared file object's section; processes are kept apart by the
// read and write locks and noticed through the change counter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/veldorcache.h"
#include "engine/storage/veldorfile.h"
#include "engine/storage/veldortablelink.h"
#include "platform/bytes.h"

namespace engine {

class TIndexFile;

inline constexpr uint32_t kIndexPageSize = 4096;
inline constexpr uint32_t kIndexHeaderSize = 4096;
inline constexpr uint32_t kPageHeaderSize = 13;
inline constexpr uint32_t kPageDataSize = kIndexPageSize - kPageHeaderSize;  // 4083
inline constexpr uint8_t kIndexFileVersion = 5;

inline constexpr int kIndexSlotCount = 33;
inline constexpr uint8_t kPrimarySlot = 0;
inline constexpr uint8_t kMaxSecondaryIndexes = 30;
inline constexpr uint8_t kSysDeletedSlot = 31;
inline constexpr uint8_t kSysTextSlot = 32;
inline constexpr std::string_view kSysDeletedName = "Sys Deleted";
inline constexpr std::string_view kSysTextName = "Sys Text";
inline constexpr uint16_t kSysDeletedKeySize = 5;
inline constexpr uint16_t kSysTextKeySize = 68;

inline constexpr uint32_t kIndexDescriptorSize = 120;
inline constexpr uint32_t kIndexDescriptorsOffset = 14;
inline constexpr uint32_t kIndexRecordCountOffset = 3974;
inline constexpr uint32_t kIndexNoPrimaryOffset = 3978;
inline constexpr uint32_t kIndexDirtyOffset = 3979;
// The collation version the trees of a table with a locale were built under (0: not recorded).
inline constexpr uint32_t kIndexCollationVersionOffset = 3980;
inline constexpr size_t kMaxIndexNameLength = 30;
inline constexpr int kMaxIndexFields = 16;
// The largest sum of (field key size + 1) over an index's key fields.
inline constexpr uint32_t kMaxKeyFieldsSize = 522;
// A non-unique index ends every key with the record's unique id in this many bytes.
inline constexpr uint32_t kUniqueIdKeySize = 4;
// The largest key a page can carry while every page still holds four entries, which the split,
// merge and balance steps need. Anything larger in a descriptor is refused as corruption.
inline constexpr uint16_t kMaxIndexKeySize = 1012;

// Pages one index file keeps in memory over all its slots (each page some 4 to 8 KB), unless
// every page is pinned or dirty. Large enough for the leaves of a few indexes over 100k records;
// a miss costs the same whatever the number of cached pages, so a tree far larger than the cache
// pays nothing for it.
inline constexpr size_t kIndexPageCacheBudget = 4096;

inline constexpr uint32_t kMaxIndexPageNumber = 2'000'000'000;
inline constexpr uint64_t kMaxIndexFileSize = 4'000'000'000;

enum TPageType : uint8_t {
  ptRootBranch = 0,
  ptBranch = 1,
  ptLeaf = 2,
  ptRootLeaf = 3,
  ptRaw = 4,
};

enum TKeyCompression : uint8_t {
  kcNone = 0,
  kcLeading = 1,
  kcTrailing = 2,
  kcBoth = 3,
};

// One index descriptor as its caller builds it; the file keeps the 120-byte form.
struct TIndexDescriptor {
  std::string name;  // at most 30 bytes are stored
  uint16_t keySize = 0;
  uint8_t descending = 0;
  uint8_t caseInsensitive = 0;
  uint8_t unique = 0;
  uint8_t compression = kcNone;
  uint8_t fieldCount = 0;
  std::array<uint8_t, kMaxIndexFields> fieldDescending{};
  std::array<uint16_t, kMaxIndexFields> fields{};  // 0 ends the list
  uint32_t rootPage = 0;
  uint32_t freePageHead = 0;
  uint8_t byte94 = 0;
  uint32_t textParamsPage = 0;

  // The 120-byte form and back. Load reads a name of at most 30 bytes whatever the length byte.
  void StoreTo(uint8_t* image) const;
  static TIndexDescriptor LoadFrom(const uint8_t* image);
};

// The pages of a cursor's last counted search in one tree, root first, with the keys of the
// whole index that come before each page. It holds while the index file's stamp for the tree
// (TIndexFile::TreeStamp) is the one recorded: a search then starts from the lowest of these pages
// whose first and last keys take in its key, where a descent from the root would also pass.
struct TDescentMemo {
  static constexpr int kLevels = 8;
  uint64_t file = 0;  // TIndexFile::InstanceId(); 0: nothing held
  uint64_t stamp = 0;
  uint8_t slot = 0;
  uint8_t levels = 0;
  // The entry the search ended on in the leaf: the cursor's next search is often for its key.
  uint32_t leafEntry = 0;
  // Searches left that start from the root without looking at the pages held: after a search
  // that none of them served, for twice as many each time (up to 64), so that keys in no
  // particular order do not pay a look each.
  uint8_t pause = 0;
  uint8_t pauseLength = 0;
  std::array<uint32_t, kLevels> pages{};
  std::array<uint64_t, kLevels> before{};

  void Forget() {
    file = 0;
    levels = 0;
  }
};

// Where an entry stands: its leaf's page number and its place among the leaf's entries. It holds
// while the index file's stamp for the tree (TIndexFile::TreeStamp) is the one recorded.
struct TLeafPlace {
  uint64_t file = 0;  // TIndexFile::InstanceId(); 0: none held
  uint64_t stamp = 0;
  uint8_t slot = 0;
  uint32_t page = 0;
  uint32_t entry = 0;  // 1-based

  void Forget() { file = 0; }
};

// The right edge of one tree, root first, as the cursor's last insert at the end of its last
// leaf left it. An insert of a key after every other takes these pages without a search, once
// each is seen to be the one a descent would take (TIndexTree::InsertKey); a split forgets it.
struct TAppendHint {
  static constexpr int kLevels = 8;
  uint64_t file = 0;  // TIndexFile::InstanceId(); 0: nothing held
  uint8_t slot = 0;
  uint8_t levels = 0;
  std::array<uint32_t, kLevels> pages{};

  void Forget() {
    file = 0;
    levels = 0;
  }
};

// The part of a cursor that the index pages work with: the current index slot, the key
// comparison, the change check before a disk read, and the path from the root to a leaf.
//
// Path: per level (the root is level 1, at most kMaxPathLevels) the entry position in the page
// of that level and the number of that page's parent (0 at level 1). Tree operations read and
// change the current level's position, step up and restore the level before they return.
class TIndexCursor {
 public:
  static constexpr int kMaxPathLevels = 64;

  virtual ~TIndexCursor() = default;

  uint8_t GetCurrentIndex() const { return currentIndex_; }
  void SetCurrentIndex(uint8_t slot) { currentIndex_ = slot; }

  // -1, 0 or 1 for an entry key against a search key over `keySize` bytes. Unsigned bytes.
  virtual int CompareKeys(const uint8_t* entryKey, const uint8_t* searchKey, uint16_t keySize) const;
  // How CompareKeys orders just now: 1 when it is CompareBytes over the whole key, -1 when it is
  // CompareBytes reversed, 0 when it compares some other way. A page search asks once and then
  // compares bytes in place. A subclass that overrides CompareKeys overrides this too.
  virtual int ByteOrder() const { return 1; }
  // Runs before a page is taken from the cache or read from disk (unless strict change detection
  // is on); true when another process changed the table, so that the caller starts its operation
  // again. Cheap once the operation has looked.
  virtual bool BeginRead() { return false; }
  // True while the operation runs on what the caches hold after finding that no other writer
  // changed the table: a cached page is then taken without BeginRead.
  virtual bool CachesCurrent() const { return false; }

  int GetPathLevel() const { return level_; }
  // Requires 1 <= level <= kMaxPathLevels.
  void SetPathLevel(int level);
  uint32_t GetPathEntry() const { return entries_[level_]; }
  void SetPathEntry(uint32_t position) { entries_[level_] = position; }
  uint32_t GetPathPage() const { return parents_[level_]; }
  // Position at another level (1..kMaxPathLevels).
  uint32_t GetPathEntryAt(int level) const { return entries_.at(size_t(level)); }
  // One level down, with the parent page of the new level. Raises VELDOR_INDEXCORRUPT below
  // kMaxPathLevels: no real tree is that deep, so the index has a cycle.
  void PushPathLevel(uint32_t parentPage);
  // One level up (never above level 1).
  void PopPathLevel();
  // Level 1, all positions and parents 0.
  void ResetPath();

  // Bookkeeping of counted changes: the lowest level whose branch counts a change set from the
  // pages themselves. Levels above it still count the key that was added or removed.
  int GetExactCountLevel() const { return exactCountLevel_; }
  void SetExactCountLevel(int level) { exactCountLevel_ = level; }
  void NoteExactCounts(int level) {
    if (level < exactCountLevel_) exactCountLevel_ = level;
  }

  // The last counted search's pages (TIndexTree::FindKey).
  TDescentMemo& Descent() { return descent_; }
  // The right edge of the tree this cursor last inserted at the end of (TIndexTree::InsertKey).
  TAppendHint& AppendHint() { return appendHint_; }

 private:
  uint8_t currentIndex_ = 0;
  int level_ = 1;
  int deepest_ = kMaxPathLevels;
  int exactCountLevel_ = 0;
  std::array<uint32_t, kMaxPathLevels + 1> entries_{};
  std::array<uint32_t, kMaxPathLevels + 1> parents_{};
  TDescentMemo descent_;
  TAppendHint appendHint_;
};

class TRecordsBitmap;
class TRecordsFound;

// One page in memory. Entries are held expanded at a fixed stride of K + 10 bytes: key (K),
// u32 reference (child page or record number), u32 key count (1 in a leaf), u8 leading count,
// u8 trailing count. Entries are numbered from 1. A page may hold one entry more than its
// capacity between an insert and the split that follows it.
class TPage {
 public:
  explicit TPage(TIndexFile* owner = nullptr);

  // ---- Identity and state ----
  TIndexFile* Owner() const { return owner_; }
  void SetOwner(TIndexFile* owner) { owner_ = owner; }
  uint32_t GetPageNumber() const { return number_; }
  void SetPageNumber(uint32_t number) { number_ = number; }
  // Takes the slot's key size and option bytes (descending, unique, compression). Raises
  // VELDOR_INDEXCORRUPT for a key size outside 1..kMaxIndexKeySize or a compression above 3.
  void SetIndex(uint8_t slot, uint16_t keySize, uint8_t descending, uint8_t unique, uint8_t compression);
  uint16_t GetKeySize() const { return keySize_; }
  bool IsUnique() const { return unique_ != 0; }
  bool IsTextIndex() const { return slot_ == kSysTextSlot; }

  uint8_t GetPageType() const { return type_; }
  void SetPageType(uint8_t type);
  bool IsLeaf() const { return type_ == ptLeaf || type_ == ptRootLeaf; }
  bool IsBranch() const { return type_ == ptRootBranch || type_ == ptBranch; }
  bool IsRoot() const { return type_ == ptRootBranch || type_ == ptRootLeaf; }
  // A leaf whose entries are stored compressed.
  bool IsCompressedLeaf() const { return IsLeaf() && compression_ != kcNone; }

  uint32_t GetEntryCount() const { return count_; }
  // Requires count <= the room of the buffer, which grows as needed; new entries are zero.
  void SetEntryCount(uint32_t count);
  uint32_t GetPrevPage() const { return prev_; }
  uint32_t GetNextPage() const { return next_; }
  void SetPrevPage(uint32_t page);
  void SetNextPage(uint32_t page);
  uint32_t GetUsedBytes() const { return usedBytes_; }
  bool IsFreed() const { return freed_; }
  void SetFreed(bool freed);

  bool IsDirty() const { return dirty_; }
  // Marking a page dirty counts as a change of its tree (TIndexFile::TreeStamp).
  void SetDirty(bool dirty);
  uint32_t PinCount() const { return pins_; }
  void Pin() { ++pins_; }
  void Unpin() {
    if (pins_ > 0) --pins_;
  }
  void ResetPins() { pins_ = 0; }

  // ---- Capacity ----
  uint32_t EntryStride() const { return uint32_t(keySize_) + 10; }
  // Branch: 4083 div (K + 8) (text index K + 4); leaf: 4083 div (K + 4); raw: 0.
  uint32_t GetCapacity() const;
  // Above capacity, or a compressed leaf whose entries need more than 4083 bytes.
  bool IsFull() const;

  // ---- Entries (1-based; callers keep positions within 1..count) ----
  const uint8_t* GetEntryKey(uint32_t i) const { return entry(i); }
  uint8_t* GetEntryKey(uint32_t i) { return entry(i); }
  // 0 on a page without entries.
  uint32_t GetEntryRef(uint32_t i) const;
  // 1 in a leaf.
  uint32_t GetEntryKeyCount(uint32_t i) const {
    if (IsLeaf()) return 1;
    return platform::get4(entry(i) + keySize_ + 4);
  }
  void SetEntryRef(uint32_t i, uint32_t ref);
  // Ignored in leaves and in the text index.
  void SetEntryKeyCount(uint32_t i, uint32_t count);
  void SetEntryKey(uint32_t i, const uint8_t* key);
  uint8_t GetEntryLeading(uint32_t i) const { return entry(i)[keySize_ + 8]; }
  uint8_t GetEntryTrailing(uint32_t i) const { return entry(i)[keySize_ + 9]; }
  // Sum of the entries' key counts (a leaf: its entry count).
  uint64_t GetKeyTotal() const;
  // Keys before entry `position` (a leaf: position - 1).
  uint64_t CountKeysBefore(uint32_t position) const;
  // Adds an entry after the last one, as a bottom-up build fills pages. False, and the page as it
  // was, when it has no room for it: a compressed leaf by its stored bytes (the first entry always
  // fits), any other page by its capacity. A compressed leaf's used bytes stay exact.
  bool AppendEntry(const uint8_t* key, uint32_t reference, uint32_t keyCount);
  // Opens a gap after entry `position` (0 = in front), copies the key in; position becomes the
  // new entry's number.
  void InsertEntry(const uint8_t* key, uint32_t& position);
  // Removes entry `position`; position then stays within the new count (at least 1).
  void DeleteEntry(uint32_t& position);
  // Raw page contents (4083 bytes).
  uint8_t* RawData() { return entries_.data(); }
  const uint8_t* RawData() const { return entries_.data(); }

  // ---- Disk form ----
  // Reads a 4096-byte page image (descrambled for an encrypted table: the caller's copy is left
  // as it was). Every field is checked before use: a bad page raises VELDOR_INDEXCORRUPT. With
  // loadEmpty only the page header is taken (entry count as read, no entries).
  void LoadFromBuffer(const uint8_t* image, bool loadEmpty);
  // Writes the 4096-byte image (scrambled for an encrypted table) and clears dirty. A compressed
  // leaf above 4083 bytes raises VELDOR_INDEXCORRUPT.
  void SaveToBuffer(uint8_t* image);
  // Entry count read from the page header by the last load.
  uint16_t GetLoadedEntryCount() const { return loadedCount_; }
  // Recomputes leading and trailing counts and the used bytes of a compressed leaf (0 for any
  // other page).
  void UpdateCompressedSize();
  // Size of entry i as stored in a compressed leaf (after UpdateCompressedSize).
  uint32_t CompressedEntrySize(uint32_t i) const;

  // Copies everything from `other` but the owner, pins and chain links.
  void Assign(const TPage& other);
  // Type 0, no entries, links 0, not freed, clean; buffer zero and at least a page of data (for
  // RawData). Keeps number, slot and options.
  void Clear();

  // ---- Searches (veldorbtree.cpp). Positions are 1-based; recordPosition is a running count
  // that the caller sums along the path. Each raises VELDOR_INDEXCORRUPT on a page without
  // entries unless noted. ----
  bool FindKey(TIndexCursor& cursor, const uint8_t* key, uint32_t& position) const;
  void FindKeyPosition(TIndexCursor& cursor, const uint8_t* key, uint32_t& position) const;
  void LocateKey(TIndexCursor& cursor, const uint8_t* key, uint32_t& position) const;
  // Branches: the child to descend for the key; with firstNotLess the last entry less than the
  // key, so that equal keys at the end of the child before are not skipped. Leaves: the last
  // entry not greater, or with firstNotLess the first entry not less (count + 1 when none).
  bool FindKeyCounted(TIndexCursor& cursor, const uint8_t* key, bool firstNotLess, uint32_t& position,
                      uint64_t& recordPosition) const;
  // Linear form of FindKeyCounted(firstNotLess) that also stops after the stop key (nullptr:
  // none).
  bool ScanKeyCounted(TIndexCursor& cursor, const uint8_t* key, const uint8_t* stopKey, uint32_t& position,
                      uint64_t& recordPosition) const;
  void SeekFirst(uint32_t& position, uint64_t& recordPosition) const;
  void SeekLast(uint32_t& position, uint64_t& recordPosition) const;
  // Leaf: first entry not less (count + 1 when none); branch: the child to descend. No error on
  // an empty page (position 1).
  void SeekKeyForward(TIndexCursor& cursor, const uint8_t* key, uint32_t& position,
                      uint64_t& recordPosition) const;
  void SeekRangeStart(TIndexCursor& cursor, const uint8_t* key, uint32_t& position,
                      uint64_t& recordPosition) const {
    SeekKeyForward(cursor, key, position, recordPosition);
  }
  // The last entry not greater than the key (at least 1).
  void SeekKeyBackward(TIndexCursor& cursor, const uint8_t* key, uint32_t& position,
                       uint64_t& recordPosition) const;
  void SeekRangeEnd(TIndexCursor& cursor, const uint8_t* key, uint32_t& position,
                    uint64_t& recordPosition) const {
    SeekKeyBackward(cursor, key, position, recordPosition);
  }
  uint32_t CountSequentialRefs(uint32_t n, bool forward, uint32_t position) const;
  bool ScanForwardInBitmap(const TRecordsBitmap& bitmap, uint32_t& position, uint64_t& recordPosition) const;
  bool ScanBackwardInBitmap(const TRecordsBitmap& bitmap, uint32_t& position, uint64_t& recordPosition) const;
  bool ScanForwardInBitmapToKey(TIndexCursor& cursor, const TRecordsBitmap& bitmap, const uint8_t* stopKey,
                                uint32_t& position, uint64_t& recordPosition) const;
  bool ScanBackwardInBitmapToKey(TIndexCursor& cursor, const TRecordsBitmap& bitmap, const uint8_t* stopKey,
                                 uint32_t& position, uint64_t& recordPosition) const;
  // Sets the record numbers of entries from `position` to the last not greater than endKey
  // (nullptr: to the end). True when the page was used up. A record number outside the bitmap
  // raises VELDOR_INDEXCORRUPT.
  bool AddRangeToBitmap(TIndexCursor& cursor, const uint8_t* endKey, uint32_t& position,
                        TRecordsBitmap& bitmap) const;
  bool AddRangeToBitmap(TIndexCursor& cursor, const uint8_t* endKey, uint32_t& position,
                        TRecordsFound& found) const;

  // ---- Tree changes (veldorbtree.cpp) ----
  // Inserts after the cursor's position at the current level, splitting upward when full.
  void InsertKey(TIndexCursor& cursor, const uint8_t* key, uint32_t keyCount, uint32_t reference);
  // Removes the entry at the cursor's position, merging or balancing upward.
  void DeleteKey(TIndexCursor& cursor);
  // When the cursor stands on entry 1, the parent entries along the path take `key`.
  void UpdateParentKey(TIndexCursor& cursor, const uint8_t* key);
  void Split(TIndexCursor& cursor, TPage& newPage);
  void BalanceWithPrev(TPage& prev);
  void BalanceWithNext(TPage& next);
  void MergeIntoPrev(TIndexCursor& cursor, TPage& prev);
  void MergeIntoNext(TIndexCursor& cursor, TPage& next);

  // Links of the cache's recently-used chain (not owned).
  TPage* lruPrev = nullptr;
  TPage* lruNext = nullptr;

 private:
  uint8_t* entry(uint32_t i) { return entries_.data() + size_t(i - 1) * EntryStride(); }
  const uint8_t* entry(uint32_t i) const { return entries_.data() + size_t(i - 1) * EntryStride(); }
  void reserveEntries(uint32_t count);
  // Sum of the key counts of entries 1..last of a branch.
  uint64_t sumKeyCounts(uint32_t last) const;
  [[noreturn]] void corrupt() const;
  // The walk of AddRangeToBitmap, handing each record to `add` (`records`: what counts them).
  template <class Records, class Add>
  bool addRange(TIndexCursor& cursor, const uint8_t* endKey, uint32_t& position, const Records& records,
                Add add) const;
  void StoreEntries(uint8_t* data) const;
  // Sets entry i's leading and trailing counts against entry i - 1; its stored size.
  uint32_t compressEntry(uint32_t i);
  void LoadEntries(const uint8_t* data, uint32_t count);
  void splitAndPropagate(TIndexCursor& cursor);
  void moveEntries(TPage& to, uint32_t toPosition, uint32_t from, uint32_t n);
  // Every change of the entries, links or type, a load and a reset go through these, so that the
  // owner's stamp of the page's tree moves with them; touch also marks the page dirty.
  void noteChange();
  void touch() {
    dirty_ = true;
    noteChange();
  }

  TIndexFile* owner_;
  bool dirty_ = false;
  uint32_t pins_ = 0;
  uint32_t number_ = 0;
  uint32_t usedBytes_ = 0;
  uint32_t count_ = 0;
  uint16_t loadedCount_ = 0;
  uint16_t keySize_ = 1;
  uint8_t slot_ = 0;
  uint8_t descending_ = 0;
  uint8_t unique_ = 1;
  uint8_t compression_ = kcNone;
  std::array<uint8_t, kPageHeaderSize> header_{};
  std::vector<uint8_t> entries_;  // grows in 4096-byte steps; unused room is zero
  uint32_t prev_ = 0;
  uint32_t next_ = 0;
  uint8_t type_ = ptRootBranch;
  bool freed_ = false;
};

// Spare pages of one index file: keeps at most kCapacity.
class TPageStack {
 public:
  static constexpr size_t kCapacity = 4;
  explicit TPageStack(TIndexFile* owner = nullptr) : owner_(owner) {}
  // The last pooled page, cleared and unpinned, or a new one; owned by the stack's file.
  std::unique_ptr<TPage> Pop();
  // Keeps the page while fewer than kCapacity are pooled, frees it otherwise; the pointer ends
  // empty either way.
  void Push(std::unique_ptr<TPage>& page);
  void Clear() { spares_.clear(); }
  size_t Count() const { return spares_.size(); }

 private:
  TIndexFile* owner_;
  std::vector<std::unique_ptr<TPage>> spares_;
};

template <>
struct TCacheTraits<TPage> {
  static uint32_t Number(const TPage& p) { return p.GetPageNumber(); }
  static void Reset(TPage& p, uint32_t number) {
    p.Clear();
    p.ResetPins();
    p.SetPageNumber(number);
  }
  static bool Pinned(const TPage& p) { return p.PinCount() > 0; }
  static bool Dirty(const TPage& p) { return p.IsDirty(); }
  static TPage* Prev(const TPage& p) { return p.lruPrev; }
  static TPage* Next(const TPage& p) { return p.lruNext; }
  static void SetPrev(TPage& p, TPage* prev) { p.lruPrev = prev; }
  static void SetNext(TPage& p, TPage* next) { p.lruNext = next; }
  static void Release(TIndexFile& file, TPage* page);
};

using TPageCache = TItemCache<TPage, TPageStack>;

class TIndexFile : public TFileHandler {
 public:
  TIndexFile(TTableFileOwner& owner, TFileList* list = nullptr);
  ~TIndexFile() override;

  TTableFileOwner& Owner() const { return *owner_; }

  // A number that no other index file object of this process carries.
  uint64_t InstanceId() const { return instanceId_; }
  // Moves whenever the tree of `slot` may have changed as this object sees it: a page of it
  // changed, read from disk or reset, the page cache cleared, the header changed or read again.
  // Equal stamps mean the same tree, page for page, as far as this object holds it.
  uint64_t TreeStamp(uint8_t slot) const { return epoch_ + slotStamps_[slot]; }
  void NotePageChange(uint8_t slot) {
    if (slot < kIndexSlotCount) ++slotStamps_[slot];
  }

  // ---- File and header ----
  // Creates the file with a new header (version 5, next page 1, the two system slots, record
  // count 0, dirty); the header is written by the next WriteHeader.
  void CreateFile() override;
  // Opens the file and reads the header; a secondary index count above 30 raises
  // VELDOR_HEADERCORRUPT. Clears the counters.
  void Open() override;
  // Gives every cached page back to the pool (dirty pages are dropped: flush first) and closes.
  void Close() override;
  // The full check made when a table is opened; VELDOR_OLDVERSION or VELDOR_HEADERCORRUPT.
  void VerifyHeader();
  void CheckVersion();
  // True for 0 and for 1 .. next page number - 1.
  bool IsValidPageNumber(uint32_t number) const;
  void ReadHeader();
  // Writes the header when forced or dirty (change counter + 1); true when written.
  bool WriteHeader(bool force);
  // Reads the header on disk; when its change counter differs from the one in memory, the image
  // is replaced and the result is true.
  bool HeaderChanged();
  // As the data file's: true when the file on disk carries the change counter held here, seen without a
  // system call (TFileHandler::PeekDiskHead): HeaderChanged would find no change. False when it differs or
  // the file cannot be looked at so.
  bool ChangeCounterCurrent();
  void IncChangeCounter();
  uint32_t GetChangeCounter() const;
  // The header (kIndexHeaderSize bytes) with its change counter, its dirty flag and the pages of
  // every tree zeroed: the bytes that stay alike while only the rows change and the file is
  // emptied again.
  void GetSettingsHeader(uint8_t* buffer) const;
  bool IsHeaderDirty() const { return header_[kIndexDirtyOffset] != 0; }
  // Cuts the file after the header and resets every slot's pages; cached pages are dropped.
  void Empty();
  const uint8_t* HeaderImage() const { return header_.data(); }

  uint32_t GetRecordCount() const;
  void SetRecordCount(uint32_t count);
  void IncRecordCount();
  void DecRecordCount();

  uint32_t GetNextPageNumber() const;
  uint32_t GetCollationVersion() const;
  void SetCollationVersion(uint32_t version);

  // ---- Per slot ----
  // Runs a deferred build of the slot first (DeferTreeBuild).
  uint32_t GetRootPageNumber(uint8_t slot) const;
  // Leaves the tree of `slot`, empty now, unbuilt: `build` makes it at the first look at the
  // slot's root, so that a table read only in record order never pays for it. Until then the
  // header says the tree is empty, which only a file that no other process opens may say.
  // Emptying the file, closing it or taking a header from a server forgets the build; so does a
  // header from disk that shows the tree built or the rows gone. One whose slot still has no root
  // and the rows counted then keeps it due (or due again, when its pages were dropped unwritten).
  // A build that fails stays due for the next look. One slot at a time.
  void DeferTreeBuild(uint8_t slot, std::function<void()> build);
  bool TreeBuildDeferred(uint8_t slot) const { return deferredBuild_ && deferredSlot_ == slot; }
  void SetRootPage(uint8_t slot, uint32_t page);
  uint32_t GetTextParamsPageNumber() const;
  void SetTextParamsPage(uint32_t page);
  uint32_t GetFreePageHead(uint8_t slot) const;
  void SetFreePageHead(uint8_t slot, uint32_t page);
  // The free-page head, else the next page number.
  uint32_t GetFreePageNumber(uint8_t slot) const;
  uint32_t GetLastPageNumber() const { return GetNextPageNumber() - 1; }
  // The 32 bytes of field numbers at descriptor offset 54.
  void GetIndexFields(uint8_t slot, uint8_t* fields) const;
  TIndexDescriptor GetIndexDescriptor(uint8_t slot) const;
  uint16_t GetKeySize(uint8_t slot) const;
  std::string GetIndexName(uint8_t slot) const;

  // ---- Index definitions ----
  void DefinePrimaryIndex(const TIndexDescriptor& descriptor);
  // Refuses a 31st secondary index, more than 16 key fields, a missing or malformed name, a
  // name in use and a blob key field; returns the new slot.
  uint8_t AddSecondaryIndex(const TIndexDescriptor& descriptor);
  void DeleteIndexDescriptor(uint8_t slot, bool removeEntry);
  void SetIndexDescriptor(uint8_t slot, const TIndexDescriptor& descriptor);
  void SetIndexNameAndFields(uint8_t slot, const TIndexDescriptor& descriptor);
  void ClearIndexDescriptor(uint8_t slot);
  // Slots 0..count; the name trimmed and compared without case.
  bool IndexNameExists(std::string_view name) const;
  uint8_t GetIndexCount() const { return header_[13]; }
  // Raises VELDOR_INDEXLIMIT above 30.
  void SetIndexCount(uint8_t count);
  bool GetNoPrimaryIndex() const { return header_[kIndexNoPrimaryOffset] != 0; }
  void SetNoPrimaryIndex(bool flag);

  // ---- Pages (of the cursor's current index slot) ----
  // The page, pinned. False (and no page) only when the cursor's BeginRead reports a change by
  // another process. Page 0 and numbers past the last page raise VELDOR_INDEXCORRUPT.
  bool GetPage(TIndexCursor& cursor, uint32_t number, TPage*& page, bool loadEmpty = false);
  void ReleasePage(TPage* page);
  // A cleared page for the slot, from its free-page list or the end of the file; pinned. False
  // only as GetPage. A free-list entry that is no freed page raises VELDOR_INDEXCORRUPT.
  bool NewPage(TIndexCursor& cursor, TPage*& page);
  // Puts the page at the head of the slot's free-page list.
  void FreePage(TIndexCursor& cursor, TPage& page);
  // No root: false with failed = false. Otherwise the root page; failed when GetPage failed.
  bool GetRootPage(TIndexCursor& cursor, TPage*& page, bool& failed);
  bool GetTextParamsPage(TIndexCursor& cursor, TPage*& page, bool& failed);
  // Pages stay cached while they are valid: whoever may see another process's change clears the
  // cache (the table when a header's change counter moved), and this process's own changes go
  // through the cached pages. The slots share kIndexPageCacheBudget; a slot below its fair share
  // takes a page from the largest one.
  // Writes every dirty unpinned page in runs of consecutive numbers; true when any was written.
  bool FlushDirtyPages();
  void ClearPageCache();
  // Drops clean unpinned pages until each slot holds at most 2.
  void TrimPageCache();
  std::unique_ptr<TPage> PopPageBuffer();
  void PushPageBuffer(std::unique_ptr<TPage>& page);

  // Checks that `extra` more pages can be added to the file; VELDOR_TABLEFULL otherwise.
  void CheckRoomForPages(uint32_t extra) const;

  // ---- Locks ----
  bool LockWrite();
  // False when the lock was not held or the release failed.
  bool UnlockWrite();
  bool LockRead(uint16_t& slot);
  // Slot 0 (none) gives true.
  bool UnlockRead(uint16_t slot);

  // ---- Remote tables ----
  // Takes a server's header after the checks of VerifyHeader; a refused one leaves the header as
  // it was.
  void LoadHeaderFromReply(const uint8_t* header);
  void LoadRecordCountFromReply(uint32_t count);
  void LoadRecordCountFromCursorReply(uint32_t count) { LoadRecordCountFromReply(count); }

  // ---- Cache inspection (tests, tools) ----
  size_t CachedPageCount(uint8_t slot) const { return caches_[slot]->Count(); }
  size_t PooledPageCount() const { return pool_.Count(); }

  // Raises `code` with the table and its directory.
  [[noreturn]] void RaiseIndexError(uint16_t code, std::string_view indexName = {}) const;

 private:
  void initHeader();
  uint8_t* descriptor(uint8_t slot) {
    return header_.data() + kIndexDescriptorsOffset + slot * kIndexDescriptorSize;
  }
  const uint8_t* descriptor(uint8_t slot) const {
    return header_.data() + kIndexDescriptorsOffset + slot * kIndexDescriptorSize;
  }
  void setDirty() {
    header_[kIndexDirtyOffset] = 1;
    ++epoch_;
  }
  void setHeader4(uint32_t offset, uint32_t value);
  void checkSlot(uint8_t slot) const;
  void checkKeyFields(const TIndexDescriptor& descriptor, std::string_view indexName) const;
  bool getPage(TIndexCursor& cursor, uint32_t number, TPage*& page, bool loadEmpty, bool mayAppend);
  // A detached page for `number` of the slot, set up for the slot's index.
  std::unique_ptr<TPage> takeCacheSlot(uint8_t slot, uint32_t number);
  void setUpPage(TPage& page, uint8_t slot, uint32_t number);
  // Lets a slot whose cache is at its capacity grow by one page while the budget allows.
  void makeRoom(uint8_t slot);
  bool shortReadTolerated() const;

  TTableFileOwner* owner_;
  const uint64_t instanceId_;
  // TreeStamp: epoch_ moves for every tree at once, a slot's count for its own pages. Both only
  // grow, so their sum moves whenever either does.
  uint64_t epoch_ = 0;
  std::array<uint64_t, kIndexSlotCount> slotStamps_{};
  std::array<uint8_t, kIndexHeaderSize> header_{};
  TPageStack pool_;
  // One per slot; each list starts at 2 pages and grows within kIndexPageCacheBudget. They live
  // in the file object itself (a table's files are opened for every statement); caches_ says
  // which one serves which slot, and moves with the indexes.
  std::array<std::optional<TPageCache>, kIndexSlotCount> cacheStore_;
  std::array<TPageCache*, kIndexSlotCount> caches_{};
  // Pages that were still pinned when the cache was cleared: their users release them later.
  std::vector<std::unique_ptr<TPage>> detached_;
  std::vector<uint8_t> readBuffer_;
  std::vector<uint8_t> writeBuffer_;
  // DeferTreeBuild's. Mutable: the build runs at a look at the root, which changes nothing the
  // header's reader could tell apart from a tree built at once.
  mutable std::function<void()> deferredBuild_;
  // The build once run, until a header read shows whether its pages reached the file.
  mutable std::function<void()> ranBuild_;
  uint8_t deferredSlot_ = 0;
  uint32_t deferredRows_ = 0;
  void runDeferredBuild() const;
  void forgetDeferredBuild() {
    deferredBuild_ = nullptr;
    ranBuild_ = nullptr;
  }
  void keepDeferredBuildIfUnbuilt();
};

inline void TCacheTraits<TPage>::Release(TIndexFile& file, TPage* page) {
  file.ReleasePage(page);
}

}  // namespace engine
