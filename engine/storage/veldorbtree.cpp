// Counted B+-tree: the page-level searches and changes of TPage, and TIndexTree, which drives
// them over a whole index.
#include "engine/storage/veldorbtree.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorbitmap.h"
#include "engine/storage/veldorkeys.h"
#include "platform/debugassert.h"
#include "platform/scopeguard.h"

namespace engine {

using platform::ScopeExit;

namespace {

// Fetches a page in the middle of a change, where starting again is no longer possible: a
// change report, or a page that was freed, is a broken index.
TPage* fetchForChange(TIndexFile& file, TIndexCursor& cursor, uint32_t number) {
  TPage* page = nullptr;
  if (number == 0 || !file.GetPage(cursor, number, page))
    file.RaiseIndexError(VELDOR_INDEXCORRUPT, file.GetIndexName(cursor.GetCurrentIndex()));
  if (page->IsFreed()) {
    file.ReleasePage(page);
    file.RaiseIndexError(VELDOR_INDEXCORRUPT, file.GetIndexName(cursor.GetCurrentIndex()));
  }
  return page;
}

TPage* newPageForChange(TIndexFile& file, TIndexCursor& cursor) {
  TPage* page = nullptr;
  if (!file.NewPage(cursor, page))
    file.RaiseIndexError(VELDOR_INDEXCORRUPT, file.GetIndexName(cursor.GetCurrentIndex()));
  return page;
}

// Restores the cursor's level when a step that moved up a level ends, on every path.
auto keepLevel(TIndexCursor& cursor) {
  return ScopeExit([&cursor, level = cursor.GetPathLevel()] { cursor.SetPathLevel(level); });
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Searches

// Binary searches over entries 1..count: the last entry not greater than the key, and the last
// entry less than it (0 when none). Keys that order as plain bytes are compared in place rather
// than through the cursor, once per probe of every level of every search.
template <class Compare>
static uint32_t lastBelowWith(const TPage& page, bool orEqual, Compare&& compare) {
  uint32_t lo = 1, hi = page.GetEntryCount(), result = 0;
  while (lo <= hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const int order = compare(page.GetEntryKey(mid));
    if (order < 0 || (orEqual && order == 0)) {
      result = mid;
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  return result;
}

// The same for short keys compared as bytes, whose compare is a word or two: the entries that go
// before the key are a prefix, its length lies in [base, base + n], and each probe halves n
// without a branch on the outcome, while the entries the next probe may take, when they lie lines
// apart, are already on their way from memory. A page's first probes each touch a line of their
// own and random keys make every outcome a coin toss; a longer compare is better left to run
// ahead of its branch.
template <class Compare>
static uint32_t lastBelowShort(const TPage& page, bool orEqual, Compare&& compare) {
  uint32_t base = 0, n = page.GetEntryCount();
  while (n > 1) {
    const uint32_t half = n / 2;
    if (half >= 8) {
      __builtin_prefetch(page.GetEntryKey(base + half / 2));
      __builtin_prefetch(page.GetEntryKey(base + half + half / 2));
    }
    const int order = compare(page.GetEntryKey(base + half));
    base = (order < 0 || (orEqual && order == 0)) ? base + half : base;
    n -= half;
  }
  if (n == 1) {
    const int order = compare(page.GetEntryKey(base + 1));
    if (order < 0 || (orEqual && order == 0)) ++base;
  }
  return base;
}

constexpr uint16_t kShortKeyBytes = 16;

static uint32_t lastBelow(const TPage& page, TIndexCursor& cursor, const uint8_t* key, bool orEqual) {
  const uint16_t k = page.GetKeySize();
  switch (cursor.ByteOrder()) {
    case 1: {
      const auto compare = [&](const uint8_t* e) { return CompareBytes(e, key, k, false); };
      return k <= kShortKeyBytes ? lastBelowShort(page, orEqual, compare)
                                 : lastBelowWith(page, orEqual, compare);
    }
    case -1: {
      const auto compare = [&](const uint8_t* e) { return CompareBytes(e, key, k, true); };
      return k <= kShortKeyBytes ? lastBelowShort(page, orEqual, compare)
                                 : lastBelowWith(page, orEqual, compare);
    }
    default:
      return lastBelowWith(page, orEqual, [&](const uint8_t* e) { return cursor.CompareKeys(e, key, k); });
  }
}

static uint32_t lastNotGreater(const TPage& page, TIndexCursor& cursor, const uint8_t* key) {
  return lastBelow(page, cursor, key, true);
}

// lastNotGreater for an insert: keys that come after every other (appends in key order, record
// ids) are settled by one compare with the last entry.
static uint32_t lastNotGreaterForInsert(const TPage& page, TIndexCursor& cursor, const uint8_t* key) {
  const uint32_t count = page.GetEntryCount();
  if (count > 0 && cursor.CompareKeys(page.GetEntryKey(count), key, page.GetKeySize()) <= 0) return count;
  return lastBelow(page, cursor, key, true);
}

static uint32_t lastLess(const TPage& page, TIndexCursor& cursor, const uint8_t* key) {
  return lastBelow(page, cursor, key, false);
}

bool TPage::FindKey(TIndexCursor& cursor, const uint8_t* key, uint32_t& position) const {
  if (count_ == 0) corrupt();
  position = std::max<uint32_t>(1, lastNotGreater(*this, cursor, key));
  return IsLeaf() && cursor.CompareKeys(GetEntryKey(position), key, keySize_) == 0;
}

void TPage::FindKeyPosition(TIndexCursor& cursor, const uint8_t* key, uint32_t& position) const {
  if (count_ == 0) corrupt();
  position = lastNotGreater(*this, cursor, key);
}

void TPage::LocateKey(TIndexCursor& cursor, const uint8_t* key, uint32_t& position) const {
  if (count_ == 0) corrupt();
  position = std::max<uint32_t>(1, lastNotGreater(*this, cursor, key));
}

bool TPage::FindKeyCounted(TIndexCursor& cursor, const uint8_t* key, bool firstNotLess, uint32_t& position,
                           uint64_t& recordPosition) const {
  if (count_ == 0) corrupt();
  if (IsLeaf()) {
    if (firstNotLess) {
      position = lastLess(*this, cursor, key) + 1;
      recordPosition += position - 1;
      return position <= count_ && cursor.CompareKeys(GetEntryKey(position), key, keySize_) == 0;
    }
    position = std::max<uint32_t>(1, lastNotGreater(*this, cursor, key));
    recordPosition += position - 1;
    return cursor.CompareKeys(GetEntryKey(position), key, keySize_) == 0;
  }
  position =
      std::max<uint32_t>(1, firstNotLess ? lastLess(*this, cursor, key) : lastNotGreater(*this, cursor, key));
  recordPosition += CountKeysBefore(position);
  return false;
}

bool TPage::ScanKeyCounted(TIndexCursor& cursor, const uint8_t* key, const uint8_t* stopKey,
                           uint32_t& position, uint64_t& recordPosition) const {
  if (count_ == 0) corrupt();
  auto goesOn = [&](uint32_t i) {
    return cursor.CompareKeys(GetEntryKey(i), key, keySize_) < 0 &&
           (!stopKey || cursor.CompareKeys(GetEntryKey(i), stopKey, keySize_) <= 0);
  };
  uint32_t i = 1;
  if (IsLeaf()) {
    while (i <= count_ && goesOn(i)) {
      ++recordPosition;
      ++i;
    }
    position = i;
    return i <= count_ && cursor.CompareKeys(GetEntryKey(i), key, keySize_) == 0;
  }
  while (i < count_ && goesOn(i + 1)) {
    recordPosition += GetEntryKeyCount(i);
    ++i;
  }
  position = i;
  return false;
}

void TPage::SeekFirst(uint32_t& position, uint64_t& recordPosition) const {
  position = 1;
  recordPosition = 1;
}

void TPage::SeekLast(uint32_t& position, uint64_t& recordPosition) const {
  if (count_ == 0) corrupt();
  position = count_;
  recordPosition += CountKeysBefore(position);
}

void TPage::SeekKeyForward(TIndexCursor& cursor, const uint8_t* key, uint32_t& position,
                           uint64_t& recordPosition) const {
  if (count_ == 0) {
    position = 1;
    return;
  }
  if (IsLeaf()) {
    position = lastLess(*this, cursor, key) + 1;
    recordPosition += position - 1;
    return;
  }
  position = std::max<uint32_t>(1, lastLess(*this, cursor, key));
  recordPosition += CountKeysBefore(position);
}

void TPage::SeekKeyBackward(TIndexCursor& cursor, const uint8_t* key, uint32_t& position,
                            uint64_t& recordPosition) const {
  if (count_ == 0) corrupt();
  position = std::max<uint32_t>(1, lastNotGreater(*this, cursor, key));
  recordPosition += CountKeysBefore(position);
}

uint32_t TPage::CountSequentialRefs(uint32_t n, bool forward, uint32_t position) const {
  if (!IsLeaf() || position < 1 || position > count_ || n == 0) return 0;
  uint32_t result = 1;
  uint32_t i = position;
  while (result < n) {
    const uint32_t j = forward ? i + 1 : i - 1;
    if (j < 1 || j > count_) break;
    const uint32_t a = GetEntryRef(i), b = GetEntryRef(j);
    if (forward ? b != a + 1 : b + 1 != a) break;
    ++result;
    i = j;
  }
  return result;
}

// The scans over a bitmap; `stopKey` (with `cursor`) ends the scan at the first entry past it.
static bool scanInBitmap(const TPage& page, TIndexCursor* cursor, const TRecordsBitmap& bitmap,
                         const uint8_t* stopKey, bool forward, uint32_t& position, uint64_t& recordPosition) {
  const uint32_t count = page.GetEntryCount();
  for (uint32_t i = forward ? std::max<uint32_t>(position, 1) : std::min(position, count);
       forward ? i <= count : i >= 1; forward ? ++i : --i) {
    if (stopKey) {
      const int order = cursor->CompareKeys(page.GetEntryKey(i), stopKey, page.GetKeySize());
      if (forward ? order > 0 : order < 0) {
        position = i;
        return false;
      }
    }
    if (bitmap.GetBit(page.GetEntryRef(i))) {
      position = i;
      return true;
    }
    if (forward)
      ++recordPosition;
    else if (recordPosition > 0)
      --recordPosition;
  }
  position = forward ? count + 1 : 0;
  return false;
}

bool TPage::ScanForwardInBitmap(const TRecordsBitmap& bitmap, uint32_t& position,
                                uint64_t& recordPosition) const {
  return scanInBitmap(*this, nullptr, bitmap, nullptr, true, position, recordPosition);
}

bool TPage::ScanBackwardInBitmap(const TRecordsBitmap& bitmap, uint32_t& position,
                                 uint64_t& recordPosition) const {
  return scanInBitmap(*this, nullptr, bitmap, nullptr, false, position, recordPosition);
}

bool TPage::ScanForwardInBitmapToKey(TIndexCursor& cursor, const TRecordsBitmap& bitmap,
                                     const uint8_t* stopKey, uint32_t& position,
                                     uint64_t& recordPosition) const {
  return scanInBitmap(*this, &cursor, bitmap, stopKey, true, position, recordPosition);
}

bool TPage::ScanBackwardInBitmapToKey(TIndexCursor& cursor, const TRecordsBitmap& bitmap,
                                      const uint8_t* stopKey, uint32_t& position,
                                      uint64_t& recordPosition) const {
  return scanInBitmap(*this, &cursor, bitmap, stopKey, false, position, recordPosition);
}

template <class Records, class Add>
bool TPage::addRange(TIndexCursor& cursor, const uint8_t* endKey, uint32_t& position, const Records& records,
                     Add add) const {
  uint32_t i = std::max<uint32_t>(position, 1);
  for (; i <= count_; ++i) {
    if (endKey && cursor.CompareKeys(GetEntryKey(i), endKey, keySize_) > 0) {
      position = i;
      return false;
    }
    const uint32_t record = GetEntryRef(i);
    if (record == 0 || record > records.Count()) corrupt();
    add(record);
  }
  position = i;
  return true;
}

bool TPage::AddRangeToBitmap(TIndexCursor& cursor, const uint8_t* endKey, uint32_t& position,
                             TRecordsBitmap& bitmap) const {
  return addRange(cursor, endKey, position, bitmap, [&](uint32_t record) { bitmap.SetBit(record); });
}

bool TPage::AddRangeToBitmap(TIndexCursor& cursor, const uint8_t* endKey, uint32_t& position,
                             TRecordsFound& found) const {
  return addRange(cursor, endKey, position, found, [&](uint32_t record) { found.Add(record); });
}

// ---------------------------------------------------------------------------------------------
// Changes

void TPage::moveEntries(TPage& to, uint32_t toPosition, uint32_t from, uint32_t n) {
  if (n == 0) return;
  if (from < 1 || from + n - 1 > count_ || toPosition > to.count_ || to.keySize_ != keySize_) corrupt();
  const size_t stride = EntryStride();
  to.reserveEntries(to.count_ + n);
  uint8_t* dst = to.entries_.data() + size_t(toPosition) * stride;
  std::memmove(dst + n * stride, dst, size_t(to.count_ - toPosition) * stride);
  std::memcpy(dst, entry(from), n * stride);
  to.count_ += n;
  to.touch();
  uint8_t* src = entry(from);
  std::memmove(src, src + n * stride, size_t(count_ - (from + n - 1)) * stride);
  count_ -= n;
  std::memset(entries_.data() + size_t(count_) * stride, 0, n * stride);
  touch();
}

void TPage::UpdateParentKey(TIndexCursor& cursor, const uint8_t* key) {
  if (cursor.GetPathEntry() != 1) return;
  auto levelBack = keepLevel(cursor);
  // The key may lie in this page, which the parents never change.
  std::vector<uint8_t> copy(key, key + keySize_);
  uint32_t child = number_;
  while (cursor.GetPathPage() != 0) {
    const uint32_t parentNumber = cursor.GetPathPage();
    cursor.PopPathLevel();
    TPinnedPage parent(*owner_, fetchForChange(*owner_, cursor, parentNumber));
    const uint32_t q = cursor.GetPathEntry();
    if (q < 1 || q > parent->GetEntryCount() || parent->GetEntryRef(q) != child) corrupt();
    parent->SetEntryKey(q, copy.data());
    if (q != 1) break;
    child = parentNumber;
  }
}

void TPage::InsertKey(TIndexCursor& cursor, const uint8_t* key, uint32_t keyCount, uint32_t reference) {
  uint32_t p = cursor.GetPathEntry();
  if (p > count_) corrupt();
  InsertEntry(key, p);
  cursor.SetPathEntry(p);
  SetEntryRef(p, reference);
  SetEntryKeyCount(p, keyCount);
  UpdateCompressedSize();
  UpdateParentKey(cursor, GetEntryKey(p));
  if (IsFull()) splitAndPropagate(cursor);
}

void TPage::splitAndPropagate(TIndexCursor& cursor) {
  TIndexFile& file = *owner_;
  const uint8_t slot = cursor.GetCurrentIndex();
  const bool root = IsRoot();
  // Everything the split needs is fetched before anything moves, so that a read failure leaves
  // the tree as it was.
  TPinnedPage parent;
  uint32_t q = 0;
  if (root) {
    if (cursor.GetPathLevel() != 1) file.RaiseIndexError(VELDOR_TABLEFULL, file.GetIndexName(slot));
  } else {
    const uint32_t parentNumber = cursor.GetPathPage();
    if (parentNumber == 0) corrupt();
    auto levelBack = keepLevel(cursor);
    cursor.PopPathLevel();
    parent.reset(file, fetchForChange(file, cursor, parentNumber));
    q = cursor.GetPathEntry();
    if (q < 1 || q > parent->GetEntryCount() || parent->GetEntryRef(q) != number_) corrupt();
  }
  file.CheckRoomForPages(root ? 2 : 1);
  TPinnedPage newPage(file, newPageForChange(file, cursor));
  TPinnedPage newRoot;
  if (root) newRoot.reset(file, newPageForChange(file, cursor));

  Split(cursor, *newPage);

  if (root) {
    TPage& r = *newRoot;
    r.SetPageType(ptRootBranch);
    uint32_t pos = 0;
    r.InsertEntry(GetEntryKey(1), pos);
    r.SetEntryRef(pos, number_);
    r.SetEntryKeyCount(pos, uint32_t(GetKeyTotal()));
    r.InsertEntry(newPage->GetEntryKey(1), pos);
    r.SetEntryRef(pos, newPage->GetPageNumber());
    r.SetEntryKeyCount(pos, uint32_t(newPage->GetKeyTotal()));
    r.UpdateCompressedSize();
    file.SetRootPage(slot, r.GetPageNumber());
    cursor.SetPathEntry(2);
    cursor.NoteExactCounts(0);
    return;
  }
  auto levelBack = keepLevel(cursor);
  cursor.PopPathLevel();
  parent->SetEntryKeyCount(q, uint32_t(GetKeyTotal()));
  cursor.NoteExactCounts(cursor.GetPathLevel());
  // The parent's key of N is copied out: the parent's insert may move N's entries no more, but
  // it may reuse buffers.
  std::vector<uint8_t> firstKey(newPage->GetEntryKey(1), newPage->GetEntryKey(1) + keySize_);
  parent->InsertKey(cursor, firstKey.data(), uint32_t(newPage->GetKeyTotal()), newPage->GetPageNumber());
}

void TPage::Split(TIndexCursor& cursor, TPage& newPage) {
  TIndexFile& file = *owner_;
  TPinnedPage right;
  if (next_ != 0) right.reset(file, fetchForChange(file, cursor, next_));
  const uint32_t n = count_;
  const uint32_t keep = n - n / 2;
  const uint8_t type = IsLeaf() ? ptLeaf : ptBranch;
  SetPageType(type);
  newPage.SetPageType(type);
  moveEntries(newPage, 0, keep + 1, n - keep);
  newPage.SetNextPage(next_);
  newPage.SetPrevPage(number_);
  SetNextPage(newPage.GetPageNumber());
  if (right) right->SetPrevPage(newPage.GetPageNumber());
  UpdateCompressedSize();
  newPage.UpdateCompressedSize();
  if (IsCompressedLeaf()) {
    if (usedBytes_ > kPageDataSize) {
      while (usedBytes_ > kPageDataSize && count_ > 1) {
        moveEntries(newPage, 0, count_, 1);
        UpdateCompressedSize();
        newPage.UpdateCompressedSize();
      }
    } else {
      while (newPage.usedBytes_ > kPageDataSize && newPage.count_ > 1) {
        newPage.moveEntries(*this, count_, 1, 1);
        UpdateCompressedSize();
        newPage.UpdateCompressedSize();
      }
    }
    if (usedBytes_ > kPageDataSize || newPage.usedBytes_ > kPageDataSize) corrupt();
  }
  VELMARON_DEBUG_ASSERT(count_ + newPage.count_ == n, "a split loses no entry");
  VELMARON_DEBUG_ASSERT(n < 2 || (count_ >= 1 && newPage.count_ >= 1),
                        "a split leaves entries in both pages");
  VELMARON_DEBUG_ASSERT(newPage.prev_ == number_ && next_ == newPage.number_, "the new page follows the old");
}

void TPage::BalanceWithPrev(TPage& prev) {
  const uint32_t t = prev.count_ + count_;
  const uint32_t prevKeeps = t - t / 2;
  if (prev.count_ > prevKeeps)
    prev.moveEntries(*this, 0, prevKeeps + 1, prev.count_ - prevKeeps);
  else if (prev.count_ < prevKeeps)
    moveEntries(prev, prev.count_, 1, prevKeeps - prev.count_);
  VELMARON_DEBUG_ASSERT(prev.count_ + count_ == t && prev.count_ == prevKeeps,
                        "a balance only moves entries");
  UpdateCompressedSize();
  prev.UpdateCompressedSize();
}

void TPage::BalanceWithNext(TPage& next) {
  const uint32_t t = next.count_ + count_;
  const uint32_t keeps = t / 2;
  if (count_ > keeps)
    moveEntries(next, 0, keeps + 1, count_ - keeps);
  else if (count_ < keeps)
    next.moveEntries(*this, count_, 1, keeps - count_);
  VELMARON_DEBUG_ASSERT(next.count_ + count_ == t && count_ == keeps, "a balance only moves entries");
  UpdateCompressedSize();
  next.UpdateCompressedSize();
}

void TPage::MergeIntoPrev(TIndexCursor& cursor, TPage& prev) {
  TIndexFile& file = *owner_;
  TPinnedPage right;
  if (next_ != 0) right.reset(file, fetchForChange(file, cursor, next_));
  moveEntries(prev, prev.count_, 1, count_);
  VELMARON_DEBUG_ASSERT(count_ == 0, "a merged page gives up every entry");
  prev.SetNextPage(next_);
  if (right) right->SetPrevPage(prev.GetPageNumber());
  UpdateCompressedSize();
  prev.UpdateCompressedSize();
}

void TPage::MergeIntoNext(TIndexCursor& cursor, TPage& next) {
  TIndexFile& file = *owner_;
  TPinnedPage left;
  if (prev_ != 0) left.reset(file, fetchForChange(file, cursor, prev_));
  moveEntries(next, 0, 1, count_);
  VELMARON_DEBUG_ASSERT(count_ == 0, "a merged page gives up every entry");
  next.SetPrevPage(prev_);
  if (left) left->SetNextPage(next.GetPageNumber());
  UpdateCompressedSize();
  next.UpdateCompressedSize();
}

void TPage::DeleteKey(TIndexCursor& cursor) {
  TIndexFile& file = *owner_;
  const uint8_t slot = cursor.GetCurrentIndex();
  uint32_t p = cursor.GetPathEntry();
  if (count_ == 0 || p < 1 || p > count_) corrupt();
  DeleteEntry(p);
  cursor.SetPathEntry(p);
  UpdateCompressedSize();
  if (count_ > 0) UpdateParentKey(cursor, GetEntryKey(p));
  const uint32_t parentNumber = cursor.GetPathPage();

  if (IsCompressedLeaf()) {
    if (count_ > 0) {
      // Removing an entry can lengthen the next one, whose shared prefix with its new neighbour
      // is shorter: a full page then splits as after an insert.
      if (IsFull()) splitAndPropagate(cursor);
      return;
    }
    if (parentNumber == 0) {
      file.FreePage(cursor, *this);
      file.SetRootPage(slot, 0);
      cursor.NoteExactCounts(0);
      return;
    }
    TPinnedPage left, right;
    if (prev_ != 0) left.reset(file, fetchForChange(file, cursor, prev_));
    if (next_ != 0) right.reset(file, fetchForChange(file, cursor, next_));
    auto levelBack = keepLevel(cursor);
    cursor.PopPathLevel();
    TPinnedPage parent(file, fetchForChange(file, cursor, parentNumber));
    const uint32_t q = cursor.GetPathEntry();
    if (q < 1 || q > parent->GetEntryCount() || parent->GetEntryRef(q) != number_) corrupt();
    if (left) left->SetNextPage(next_);
    if (right) right->SetPrevPage(prev_);
    file.FreePage(cursor, *this);
    cursor.NoteExactCounts(cursor.GetPathLevel());
    parent->DeleteKey(cursor);
    return;
  }

  if (parentNumber == 0) {
    if (IsLeaf() && count_ == 0) {
      file.FreePage(cursor, *this);
      file.SetRootPage(slot, 0);
      cursor.NoteExactCounts(0);
    } else if (IsBranch() && count_ == 1) {
      TPinnedPage child(file, fetchForChange(file, cursor, GetEntryRef(1)));
      if (child->IsRoot() || child->GetPrevPage() != 0 || child->GetNextPage() != 0) corrupt();
      child->SetPageType(child->IsLeaf() ? ptRootLeaf : ptRootBranch);
      file.SetRootPage(slot, child->GetPageNumber());
      file.FreePage(cursor, *this);
      cursor.NoteExactCounts(0);
    } else if (count_ == 0) {
      corrupt();
    }
    return;
  }

  const uint32_t capacity = GetCapacity();
  if (count_ >= (capacity >> 1)) return;

  auto levelBack = keepLevel(cursor);
  cursor.PopPathLevel();
  TPinnedPage parent(file, fetchForChange(file, cursor, parentNumber));
  const uint32_t q = cursor.GetPathEntry();
  const uint32_t parentCount = parent->GetEntryCount();
  if (q < 1 || q > parentCount || parent->GetEntryRef(q) != number_) corrupt();
  // A neighbour under another parent cannot be balanced with: a branch that is not the root
  // always holds at least two entries, so this only meets a broken tree.
  if (parentCount < 2) corrupt();
  const bool useLeft = !(q == 1 && q != parentCount);
  if (useLeft) {
    if (prev_ == 0 || parent->GetEntryRef(q - 1) != prev_) corrupt();
    TPinnedPage left(file, fetchForChange(file, cursor, prev_));
    if (left->GetNextPage() != number_ || left->GetPageType() != GetPageType()) corrupt();
    if (capacity > count_ + left->GetEntryCount()) {
      MergeIntoPrev(cursor, *left);
      file.FreePage(cursor, *this);
      parent->SetEntryKeyCount(q - 1, uint32_t(left->GetKeyTotal()));
      cursor.NoteExactCounts(cursor.GetPathLevel());
      parent->DeleteKey(cursor);
    } else {
      BalanceWithPrev(*left);
      parent->SetEntryKey(q, GetEntryKey(1));
      parent->SetEntryKeyCount(q, uint32_t(GetKeyTotal()));
      parent->SetEntryKeyCount(q - 1, uint32_t(left->GetKeyTotal()));
      cursor.NoteExactCounts(cursor.GetPathLevel());
    }
  } else {
    if (next_ == 0 || parent->GetEntryRef(q + 1) != next_) corrupt();
    TPinnedPage right(file, fetchForChange(file, cursor, next_));
    if (right->GetPrevPage() != number_ || right->GetPageType() != GetPageType()) corrupt();
    if (capacity > count_ + right->GetEntryCount()) {
      MergeIntoNext(cursor, *right);
      file.FreePage(cursor, *this);
      parent->SetEntryKey(q + 1, right->GetEntryKey(1));
      parent->SetEntryKeyCount(q + 1, uint32_t(right->GetKeyTotal()));
      cursor.NoteExactCounts(cursor.GetPathLevel());
      parent->DeleteKey(cursor);
    } else {
      BalanceWithNext(*right);
      parent->SetEntryKeyCount(q, uint32_t(GetKeyTotal()));
      parent->SetEntryKey(q + 1, right->GetEntryKey(1));
      parent->SetEntryKeyCount(q + 1, uint32_t(right->GetKeyTotal()));
      cursor.NoteExactCounts(cursor.GetPathLevel());
    }
  }
}

// ---------------------------------------------------------------------------------------------
// TIndexTree

TIndexTree::TIndexTree(TIndexFile& file, TIndexCursor& cursor, uint8_t slot)
    : file_(file), cursor_(cursor), slot_(slot) {}

void TIndexTree::corrupt() const {
  file_.RaiseIndexError(VELDOR_INDEXCORRUPT, file_.GetIndexName(slot_));
}

template <class Attempt>
void TIndexTree::withRestarts(Attempt&& attempt) {
  for (int i = 0; i <= kMaxRestarts; ++i) {
    cursor_.SetCurrentIndex(slot_);
    cursor_.ResetPath();
    if (attempt()) return;
  }
  corrupt();
}

bool TIndexTree::readPage(uint32_t number, TPinnedPage& holder) {
  if (number == 0 || !file_.IsValidPageNumber(number)) corrupt();
  TPage* page = nullptr;
  if (!file_.GetPage(cursor_, number, page)) return false;
  holder.reset(file_, page);
  if (page->IsFreed()) corrupt();
  return true;
}

bool TIndexTree::rememberedStart(const uint8_t* key, uint64_t stamp, TPinnedPage& page, int& level,
                                 uint64_t& before) {
  level = -1;
  TDescentMemo& memo = cursor_.Descent();
  if (memo.file != file_.InstanceId() || memo.slot != slot_ || memo.stamp != stamp || memo.levels < 2)
    return true;
  if (memo.pause > 0) {
    --memo.pause;
    return true;
  }
  const int leaf = memo.levels - 1;
  // From the leaf up, below the root: keys in key order make the leaf or a near ancestor serve.
  for (int l = leaf; l >= 1; --l) {
    TPinnedPage candidate;
    if (!readPage(memo.pages[size_t(l)], candidate)) return false;
    // A page that had to be read again moved the stamp: the rest of the memo is not known to hold.
    if (file_.TreeStamp(slot_) != stamp || candidate->GetEntryCount() == 0 ||
        (l == leaf ? candidate->GetPageType() != ptLeaf : candidate->GetPageType() != ptBranch)) {
      memo.Forget();
      return true;
    }
    // Strictly after the first key: a compare that takes a key's prefix alone (a partial search)
    // finds equal keys in the pages before as well.
    const TPage& p = *candidate;
    const uint16_t k = p.GetKeySize();
    if (cursor_.CompareKeys(p.GetEntryKey(1), key, k) < 0 &&
        cursor_.CompareKeys(p.GetEntryKey(p.GetEntryCount()), key, k) >= 0) {
      page = std::move(candidate);
      level = l;
      before = memo.before[size_t(l)];
      memo.pauseLength = 0;
      return true;
    }
  }
  memo.pauseLength = uint8_t(std::clamp(memo.pauseLength * 2, 1, 64));
  memo.pause = memo.pauseLength;
  return true;
}

bool TIndexTree::descend(const uint8_t* key, bool firstNotLess, TPagePath& path, uint64_t* recordPosition,
                         bool forInsert) {
  path.clear();
  TPinnedPage page;
  uint64_t position = 0;
  // A counted search for a key leaves its pages in the cursor and starts from them when it can.
  TDescentMemo* memo = key && recordPosition && firstNotLess ? &cursor_.Descent() : nullptr;
  const uint64_t stamp = memo ? file_.TreeStamp(slot_) : 0;
  int level = -1;
  if (memo && !rememberedStart(key, stamp, page, level, position)) return false;
  if (level < 0) {
    level = 0;
    position = 0;
    if (!readPage(file_.GetRootPageNumber(slot_), page)) return false;
    if (!page->IsRoot()) corrupt();
  }
  const auto note = [&] {
    if (!memo) return;
    if (level >= TDescentMemo::kLevels) {
      memo = nullptr;
      return;
    }
    memo->pages[size_t(level)] = page->GetPageNumber();
    memo->before[size_t(level)] = position;
  };
  if (memo) memo->Forget();
  note();
  while (!page->IsLeaf()) {
    if (!page->IsBranch()) corrupt();
    uint32_t pos = 0;
    if (key && recordPosition)
      page->FindKeyCounted(cursor_, key, firstNotLess, pos, position);
    else if (page->GetEntryCount() == 0)
      corrupt();
    else if (key)
      // Without a position wanted, the counts before the child need not be summed.
      pos = std::max<uint32_t>(1, firstNotLess ? lastLess(*page, cursor_, key)
                                  : forInsert  ? lastNotGreaterForInsert(*page, cursor_, key)
                                               : lastNotGreater(*page, cursor_, key));
    else
      pos = 1;
    cursor_.SetPathEntry(pos);
    const uint32_t child = page->GetEntryRef(pos);
    const uint32_t parentNumber = page->GetPageNumber();
    if (!path.push_back(std::move(page))) corrupt();
    cursor_.PushPathLevel(parentNumber);
    if (!readPage(child, page)) return false;
    if (page->GetPageType() != ptBranch && page->GetPageType() != ptLeaf) corrupt();
    ++level;
    note();
  }
  if (page->GetEntryCount() == 0) corrupt();
  if (!path.push_back(std::move(page))) corrupt();
  if (recordPosition) *recordPosition = position;
  // Kept only when no page changed, was read or was reset on the way (TreeStamp).
  if (memo && file_.TreeStamp(slot_) == stamp) {
    memo->file = file_.InstanceId();
    memo->stamp = stamp;
    memo->slot = slot_;
    memo->levels = uint8_t(level + 1);
  }
  return true;
}

void TIndexTree::adjustCounts(TPagePath& path, int64_t delta) {
  const int exact = std::min<int>(cursor_.GetExactCountLevel(), int(path.size()));
  for (int level = 1; level < exact; ++level) {
    TPage& page = *path[size_t(level - 1)];
    const uint32_t pos = cursor_.GetPathEntryAt(level);
    if (pos < 1 || pos > page.GetEntryCount()) corrupt();
    page.SetEntryKeyCount(pos, uint32_t(int64_t(page.GetEntryKeyCount(pos)) + delta));
  }
}

uint64_t TIndexTree::KeyCount() {
  uint64_t result = 0;
  withRestarts([&] {
    const uint32_t root = file_.GetRootPageNumber(slot_);
    if (root == 0) {
      result = 0;
      return true;
    }
    TPinnedPage page;
    if (!readPage(root, page)) return false;
    result = page->GetKeyTotal();
    return true;
  });
  return result;
}

TIndexTree::TEdgeInsert TIndexTree::insertAtEdge(const uint8_t* key, uint32_t reference) {
  TAppendHint& hint = cursor_.AppendHint();
  if (hint.file != file_.InstanceId() || hint.slot != slot_ || hint.levels == 0)
    return TEdgeInsert::notServed;
  const int levels = hint.levels;
  if (file_.GetRootPageNumber(slot_) != hint.pages[0]) {
    hint.Forget();
    return TEdgeInsert::notServed;
  }
  // Each page is the one the descent for this key would take: the root, then the child of a
  // branch's last entry when that entry's key is not greater than the key. A page is only read
  // once the one above names it, so a page freed since is never looked at.
  const int byteOrder = cursor_.ByteOrder();
  TPagePath path;
  for (int l = 0; l < levels; ++l) {
    TPinnedPage page;
    if (!readPage(hint.pages[size_t(l)], page)) return TEdgeInsert::restart;
    const TPage& p = *page;
    const uint32_t count = p.GetEntryCount();
    const bool leaf = l == levels - 1;
    const uint8_t type = l == 0 ? (leaf ? ptRootLeaf : ptRootBranch) : (leaf ? ptLeaf : ptBranch);
    bool serves = p.GetPageType() == type && count > 0;
    if (serves) {
      const int order = byteOrder != 0
                            ? CompareBytes(p.GetEntryKey(count), key, p.GetKeySize(), byteOrder < 0)
                            : cursor_.CompareKeys(p.GetEntryKey(count), key, p.GetKeySize());
      // The leaf takes the key after its last entry without a split: a key equal to the last
      // (refused by a unique index) and a full or compressed leaf go the long way.
      serves = leaf ? order < 0 && p.GetNextPage() == 0 && !p.IsCompressedLeaf() && !p.IsTextIndex() &&
                          count < p.GetCapacity()
                    : order <= 0 && p.GetEntryRef(count) == hint.pages[size_t(l + 1)];
    }
    if (!serves) {
      hint.Forget();
      return TEdgeInsert::notServed;
    }
    if (!path.push_back(std::move(page))) corrupt();
  }
  // As the descent's insert: a file without room for a split refuses the key whether or not it
  // would split.
  if (file_.GetFreePageHead(slot_) == 0) file_.CheckRoomForPages(uint32_t(levels) + 1);
  TPage& leaf = *path.back();
  uint32_t pos = leaf.GetEntryCount();
  leaf.InsertEntry(key, pos);
  leaf.SetEntryRef(pos, reference);
  leaf.UpdateCompressedSize();
  for (int l = 0; l + 1 < levels; ++l) {
    TPage& branch = *path[size_t(l)];
    const uint32_t last = branch.GetEntryCount();
    branch.SetEntryKeyCount(last, branch.GetEntryKeyCount(last) + 1);
  }
  return TEdgeInsert::served;
}

void TIndexTree::InsertKey(const uint8_t* key, uint32_t reference) {
  withRestarts([&] {
    if (file_.GetRootPageNumber(slot_) == 0) {
      file_.CheckRoomForPages(1);
      TPage* raw = nullptr;
      if (!file_.NewPage(cursor_, raw)) return false;
      TPinnedPage page(file_, raw);
      page->SetPageType(ptRootLeaf);
      cursor_.SetPathEntry(0);
      cursor_.SetExactCountLevel(1);
      page->InsertKey(cursor_, key, 1, reference);
      file_.SetRootPage(slot_, page->GetPageNumber());
      return true;
    }
    switch (insertAtEdge(key, reference)) {
      case TEdgeInsert::served:
        return true;
      case TEdgeInsert::restart:
        return false;
      case TEdgeInsert::notServed:
        break;
    }
    TPagePath path;
    if (!descend(key, false, path, nullptr, true)) return false;
    TPage& leaf = *path.back();
    if (leaf.GetEntryCount() == 0) corrupt();
    uint32_t pos = lastNotGreaterForInsert(leaf, cursor_, key);
    if (leaf.IsUnique() && pos >= 1 &&
        cursor_.CompareKeys(leaf.GetEntryKey(pos), key, leaf.GetKeySize()) == 0)
      file_.RaiseIndexError(VELDOR_KEYVIOL, file_.GetIndexName(slot_));
    if (file_.GetFreePageHead(slot_) == 0) file_.CheckRoomForPages(uint32_t(path.size()) + 1);
    // The edge serves plain leaves only: a compressed leaf's room is known after the insert.
    const bool atEdge = pos == leaf.GetEntryCount() && leaf.GetNextPage() == 0 && !leaf.IsCompressedLeaf() &&
                        !leaf.IsTextIndex();
    cursor_.SetPathEntry(pos);
    cursor_.SetExactCountLevel(cursor_.GetPathLevel());
    leaf.InsertKey(cursor_, key, 1, reference);
    adjustCounts(path, +1);
    if (atEdge) {
      // Keys that keep coming after every other (record ids, a rising key) take this edge next
      // time without a descent; after a split the edge is another one, found by the next descent.
      TAppendHint& hint = cursor_.AppendHint();
      hint.Forget();
      if (leaf.GetNextPage() == 0 && path.size() <= size_t(TAppendHint::kLevels)) {
        for (size_t l = 0; l < path.size(); ++l) hint.pages[l] = path[l]->GetPageNumber();
        hint.file = file_.InstanceId();
        hint.slot = slot_;
        hint.levels = uint8_t(path.size());
      }
    }
    return true;
  });
}

namespace {

// Entries per page for `total` entries at `capacity` a page: full pages, except that the last
// two share theirs when the last would be under half full.
std::vector<uint32_t> pageFills(size_t total, uint32_t capacity) {
  std::vector<uint32_t> fills;
  size_t left = total;
  while (left > 0) {
    const uint32_t take = uint32_t(std::min<size_t>(left, capacity));
    fills.push_back(take);
    left -= take;
  }
  if (fills.size() >= 2 && fills.back() < capacity / 2) {
    const uint32_t shared = fills[fills.size() - 2] + fills.back();
    fills.back() = shared / 2;
    fills[fills.size() - 2] = shared - shared / 2;
  }
  return fills;
}

// A page of the level being built, as its parent's entry names it.
struct TBuiltChild {
  uint32_t page;
  uint64_t keys;
};

}  // namespace

void TIndexTree::BuildFromSorted(size_t count, const std::function<const uint8_t*(size_t)>& key,
                                 const std::function<uint32_t(size_t)>& reference) {
  buildFromSorted(count, key, reference);
}

void TIndexTree::BuildFromSorted(size_t count, const uint8_t* keys, const uint32_t* references) {
  const size_t k = file_.GetKeySize(slot_);
  buildFromSorted(
      count, [&](size_t i) { return keys + i * k; }, [&](size_t i) { return references[i]; });
}

template <class Key, class Reference>
void TIndexTree::buildFromSorted(size_t count, const Key& key, const Reference& reference) {
  cursor_.SetCurrentIndex(slot_);
  cursor_.ResetPath();
  if (slot_ == kSysTextSlot || file_.GetRootPageNumber(slot_) != 0) corrupt();
  if (count == 0) return;
  const uint16_t k = file_.GetKeySize(slot_);
  const bool unique = file_.GetIndexDescriptor(slot_).unique != 0;
  const int byteOrder = cursor_.ByteOrder();
  for (size_t i = 1; i < count; ++i) {
    const int order = byteOrder != 0 ? CompareBytes(key(i - 1), key(i), k, byteOrder < 0)
                                     : cursor_.CompareKeys(key(i - 1), key(i), k);
    VELMARON_DEBUG_ASSERT(order <= 0, "a bottom-up build takes its keys in order");
    if (order > 0) corrupt();
    if (order == 0 && unique) file_.RaiseIndexError(VELDOR_KEYVIOL, file_.GetIndexName(slot_));
  }
  if (count > UINT32_MAX) file_.RaiseIndexError(VELDOR_TABLEFULL, file_.GetIndexName(slot_));

  // Pages taken so far go back to the free-page list when the build fails.
  std::vector<uint32_t> taken;
  platform::UndoOnFailure giveBack([&] {
    for (uint32_t number : taken) {
      TPage* page = nullptr;
      if (!file_.GetPage(cursor_, number, page)) continue;
      TPinnedPage held(file_, page);
      if (!page->IsFreed()) file_.FreePage(cursor_, *page);
    }
  });
  // The first key, page number and key total of every page of the level just built: the entries
  // of the level above. The keys are copied, since the pages leave the cache as the build goes on.
  std::vector<uint8_t> firstKeys;
  std::vector<TBuiltChild> level;
  TPinnedPage previous;
  const auto startPage = [&](uint8_t type) {
    TPinnedPage page(file_, newPageForChange(file_, cursor_));
    taken.push_back(page->GetPageNumber());
    page->SetPageType(type);
    if (previous) {
      page->SetPrevPage(previous->GetPageNumber());
      previous->SetNextPage(page->GetPageNumber());
    }
    return page;
  };
  // One level of `total` entries; entry(i, page) appends entry i and is false when it does not fit.
  const auto buildLevel = [&](uint8_t type, uint8_t rootType, size_t total, const auto& entry) {
    firstKeys.clear();
    level.clear();
    const auto endPage = [&](TPinnedPage& page) {
      firstKeys.insert(firstKeys.end(), page->GetEntryKey(1), page->GetEntryKey(1) + k);
      level.push_back({page->GetPageNumber(), page->GetKeyTotal()});
      previous = std::move(page);
    };
    TPinnedPage page = startPage(type);
    if (page->IsCompressedLeaf()) {
      for (size_t i = 0; i < total; ++i) {
        if (entry(i, *page)) continue;
        endPage(page);
        page = startPage(type);
        if (!entry(i, *page)) corrupt();
      }
      endPage(page);
    } else {
      const std::vector<uint32_t> fills = pageFills(total, page->GetCapacity());
      size_t i = 0;
      for (size_t f = 0; f < fills.size(); ++f) {
        if (f > 0) page = startPage(type);
        for (uint32_t e = 0; e < fills[f]; ++e, ++i)
          if (!entry(i, *page)) corrupt();
        endPage(page);
      }
    }
    // A level of one page is the root.
    if (level.size() == 1) previous->SetPageType(rootType);
    previous.reset();
  };

  buildLevel(ptLeaf, ptRootLeaf, count,
             [&](size_t i, TPage& page) { return page.AppendEntry(key(i), reference(i), 1); });
  while (level.size() > 1) {
    const std::vector<uint8_t> childKeys = std::move(firstKeys);
    const std::vector<TBuiltChild> children = std::move(level);
    buildLevel(ptBranch, ptRootBranch, children.size(), [&](size_t i, TPage& page) {
      if (children[i].keys > UINT32_MAX) file_.RaiseIndexError(VELDOR_TABLEFULL, file_.GetIndexName(slot_));
      return page.AppendEntry(childKeys.data() + i * k, children[i].page, uint32_t(children[i].keys));
    });
  }
  file_.SetRootPage(slot_, level.front().page);
  giveBack.Dismiss();
}

bool TIndexTree::DeleteKey(const uint8_t* key, uint32_t reference, TKeyEntry* following) {
  bool deleted = false;
  withRestarts([&] {
    deleted = false;
    if (following) following->valid = false;
    if (file_.GetRootPageNumber(slot_) == 0) return true;
    TPagePath path;
    if (!descend(key, false, path, nullptr)) return false;
    TPage& leaf = *path.back();
    uint32_t pos = 0;
    leaf.FindKeyPosition(cursor_, key, pos);
    const uint16_t k = leaf.GetKeySize();
    while (pos >= 1 && cursor_.CompareKeys(leaf.GetEntryKey(pos), key, k) == 0 && reference != 0 &&
           leaf.GetEntryRef(pos) != reference)
      --pos;
    if (pos < 1 || cursor_.CompareKeys(leaf.GetEntryKey(pos), key, k) != 0) return true;
    // Taken before the leaf changes: a merge or balance may move it to another page.
    if (following && pos < leaf.GetEntryCount()) {
      following->valid = true;
      following->reference = leaf.GetEntryRef(pos + 1);
      std::memcpy(following->key.data(), leaf.GetEntryKey(pos + 1), k);
    }
    cursor_.SetPathEntry(pos);
    cursor_.SetExactCountLevel(cursor_.GetPathLevel());
    leaf.DeleteKey(cursor_);
    adjustCounts(path, -1);
    deleted = true;
    return true;
  });
  return deleted;
}

namespace {

void takeEntry(const TPage& page, uint32_t i, TKeyEntry& entry) {
  entry.valid = true;
  entry.reference = page.GetEntryRef(i);
  std::memcpy(entry.key.data(), page.GetEntryKey(i), page.GetKeySize());
}

}  // namespace

const TKeyEntry* TKeyNeighbours::Get(uint64_t found, uint64_t position) const {
  const TKeyEntry* e = position + 1 == found   ? &before
                       : position == found     ? &at
                       : position == found + 1 ? &after
                                               : nullptr;
  return e && e->valid ? e : nullptr;
}

bool TIndexTree::FindKey(const uint8_t* key, uint64_t& position, uint32_t* reference, TKeyNeighbours* near) {
  return find(key, &position, reference, near);
}

bool TIndexTree::HasKey(const uint8_t* key) {
  return find(key, nullptr, nullptr, nullptr);
}

bool TIndexTree::find(const uint8_t* key, uint64_t* position, uint32_t* reference, TKeyNeighbours* near) {
  bool found = false;
  withRestarts([&] {
    found = false;
    if (position) *position = 1;
    if (near) {
      near->before.valid = near->at.valid = near->after.valid = false;
      near->place.Forget();
    }
    if (file_.GetRootPageNumber(slot_) == 0) return true;
    TPagePath path;
    uint64_t before = 0;
    // Without a position wanted, the descent sums no counts.
    if (!descend(key, true, path, position ? &before : nullptr)) return false;
    TPage& leaf = *path.back();
    uint32_t pos = 0;
    // A search for the key the last one ended on (a step from the cursor's entry) finds it where
    // it was when the leaf is the same: an equal entry after a lesser one is the first not less.
    TDescentMemo& memo = cursor_.Descent();
    const bool remembered = position && memo.file == file_.InstanceId() && memo.slot == slot_ &&
                            memo.levels > 0 && memo.pages[size_t(memo.levels - 1)] == leaf.GetPageNumber();
    const uint32_t last = memo.leafEntry;
    if (remembered && last > 1 && last <= leaf.GetEntryCount() &&
        cursor_.CompareKeys(leaf.GetEntryKey(last), key, leaf.GetKeySize()) == 0 &&
        cursor_.CompareKeys(leaf.GetEntryKey(last - 1), key, leaf.GetKeySize()) < 0) {
      pos = last;
      before += pos - 1;
      found = true;
    } else {
      found = leaf.FindKeyCounted(cursor_, key, true, pos, before);
    }
    if (remembered) memo.leafEntry = pos;
    if (position) *position = before + 1;
    if (near && pos > 1) takeEntry(leaf, pos - 1, near->before);
    if (pos <= leaf.GetEntryCount()) {
      if (reference) *reference = leaf.GetEntryRef(pos);
      if (near) {
        takeEntry(leaf, pos, near->at);
        notePlace(leaf.GetPageNumber(), pos, near->place);
      }
      if (near && pos < leaf.GetEntryCount()) takeEntry(leaf, pos + 1, near->after);
      return true;
    }
    // The first entry not less lies at the start of the next leaf, if any.
    if (leaf.GetNextPage() == 0) return true;
    TPinnedPage next;
    if (!readPage(leaf.GetNextPage(), next)) return false;
    if (next->GetPageType() != ptLeaf || next->GetEntryCount() == 0) corrupt();
    found = cursor_.CompareKeys(next->GetEntryKey(1), key, next->GetKeySize()) == 0;
    if (reference) *reference = next->GetEntryRef(1);
    if (near) {
      takeEntry(*next, 1, near->at);
      notePlace(next->GetPageNumber(), 1, near->place);
    }
    if (near && next->GetEntryCount() > 1) takeEntry(*next, 2, near->after);
    return true;
  });
  return found;
}

void TIndexTree::notePlace(uint32_t page, uint32_t entry, TLeafPlace& place) const {
  place.file = file_.InstanceId();
  place.stamp = file_.TreeStamp(slot_);
  place.slot = slot_;
  place.page = page;
  place.entry = entry;
}

bool TIndexTree::StepForward(TLeafPlace& place, const uint8_t* key, uint32_t reference, TKeyEntry& next) {
  const uint64_t stamp = file_.TreeStamp(slot_);
  if (place.file != file_.InstanceId() || place.slot != slot_ || place.stamp != stamp) {
    place.Forget();
    return false;
  }
  cursor_.SetCurrentIndex(slot_);
  cursor_.ResetPath();
  // A page read from disk, or a change another process made, moves the stamp: the place is then
  // not known to hold, and the caller's search sees the tree as it now is.
  TPinnedPage leaf;
  if (!readPage(place.page, leaf) || file_.TreeStamp(slot_) != stamp || !leaf->IsLeaf() || place.entry < 1 ||
      place.entry > leaf->GetEntryCount() || leaf->GetEntryRef(place.entry) != reference ||
      std::memcmp(leaf->GetEntryKey(place.entry), key, leaf->GetKeySize()) != 0) {
    place.Forget();
    return false;
  }
  if (place.entry < leaf->GetEntryCount()) {
    ++place.entry;
    takeEntry(*leaf, place.entry, next);
    return true;
  }
  const uint32_t following = leaf->GetNextPage();
  TPinnedPage nextLeaf;
  if (following == 0 || !readPage(following, nextLeaf) || file_.TreeStamp(slot_) != stamp) {
    place.Forget();
    return false;
  }
  if (nextLeaf->GetPageType() != ptLeaf || nextLeaf->GetEntryCount() == 0 ||
      nextLeaf->GetPrevPage() != place.page)
    corrupt();
  place.page = following;
  place.entry = 1;
  takeEntry(*nextLeaf, 1, next);
  return true;
}

bool TIndexTree::KeyAtPosition(uint64_t position, uint8_t* key, uint32_t& reference) {
  bool found = false;
  withRestarts([&] {
    found = false;
    if (position < 1) return true;
    const uint32_t root = file_.GetRootPageNumber(slot_);
    if (root == 0) return true;
    TPinnedPage page;
    if (!readPage(root, page)) return false;
    if (!page->IsRoot()) corrupt();
    if (position > page->GetKeyTotal()) return true;
    uint64_t remaining = position;
    int depth = 0;
    while (!page->IsLeaf()) {
      if (!page->IsBranch() || ++depth > TIndexCursor::kMaxPathLevels) corrupt();
      uint32_t i = 1;
      while (i <= page->GetEntryCount() && remaining > page->GetEntryKeyCount(i)) {
        remaining -= page->GetEntryKeyCount(i);
        ++i;
      }
      if (i > page->GetEntryCount()) corrupt();
      TPinnedPage child;
      if (!readPage(page->GetEntryRef(i), child)) return false;
      if (child->GetPageType() != ptBranch && child->GetPageType() != ptLeaf) corrupt();
      page = std::move(child);
    }
    if (remaining < 1 || remaining > page->GetEntryCount()) corrupt();
    std::memcpy(key, page->GetEntryKey(uint32_t(remaining)), page->GetKeySize());
    reference = page->GetEntryRef(uint32_t(remaining));
    found = true;
    return true;
  });
  return found;
}

void TIndexTree::AddRangeToBitmap(const uint8_t* startKey, const uint8_t* endKey, TRecordsBitmap& bitmap) {
  TRecordsFound found(bitmap);
  withRestarts([&] {
    found.Restart();
    if (file_.GetRootPageNumber(slot_) == 0) return true;
    TPagePath path;
    if (!descend(startKey, true, path, nullptr)) return false;
    TPinnedPage leaf = std::move(path.back());
    path.clear();
    uint32_t pos = 1;
    uint64_t ignored = 0;
    if (startKey) leaf->SeekKeyForward(cursor_, startKey, pos, ignored);
    // A chain of leaves never holds more pages than the file.
    uint64_t steps = 0;
    while (leaf->AddRangeToBitmap(cursor_, endKey, pos, found)) {
      const uint32_t next = leaf->GetNextPage();
      if (next == 0) break;
      if (++steps > file_.GetNextPageNumber()) corrupt();
      const uint32_t from = leaf->GetPageNumber();
      TPinnedPage nextLeaf;
      if (!readPage(next, nextLeaf)) return false;
      if (nextLeaf->GetPageType() != ptLeaf || nextLeaf->GetPrevPage() != from) corrupt();
      leaf = std::move(nextLeaf);
      pos = 1;
    }
    return true;
  });
  found.Apply();
}

void TIndexTree::ForEachKey(const std::function<void(const uint8_t* key, uint32_t reference)>& visit) {
  std::vector<uint8_t> keys;
  std::vector<uint32_t> refs;
  CollectKeys(keys, refs);
  const size_t k = refs.empty() ? 0 : keys.size() / refs.size();
  for (size_t i = 0; i < refs.size(); ++i) visit(keys.data() + i * k, refs[i]);
}

void TIndexTree::CollectKeys(std::vector<uint8_t>& keys, std::vector<uint32_t>& references) {
  const size_t keysBefore = keys.size(), refsBefore = references.size();
  withRestarts([&] {
    keys.resize(keysBefore);
    references.resize(refsBefore);
    if (file_.GetRootPageNumber(slot_) == 0) return true;
    TPagePath path;
    if (!descend(nullptr, true, path, nullptr)) return false;
    // Room for every entry at once, by the root's total; a damaged total asks for no more than the
    // file's pages could hold.
    const size_t total =
        size_t(std::min<uint64_t>(path[0]->GetKeyTotal(), uint64_t(file_.GetNextPageNumber()) * 1024));
    keys.reserve(keysBefore + total * path[0]->GetKeySize());
    references.reserve(refsBefore + total);
    TPinnedPage leaf = std::move(path.back());
    path.clear();
    const uint16_t k = leaf->GetKeySize();
    uint64_t steps = 0;
    for (;;) {
      const uint32_t count = leaf->GetEntryCount();
      const size_t stride = leaf->EntryStride();
      const uint8_t* entry = leaf->RawData();
      keys.resize(keys.size() + size_t(count) * k);
      references.resize(references.size() + count);
      uint8_t* to = keys.data() + keys.size() - size_t(count) * k;
      uint32_t* ref = references.data() + references.size() - count;
      // The record-id index's keys, the ones gathered most, copied at a size known here: a copy of
      // a size known only at run time is a call per key.
      if (k == kSysDeletedKeySize)
        for (uint32_t i = 0; i < count; ++i, entry += stride, to += kSysDeletedKeySize) {
          std::memcpy(to, entry, kSysDeletedKeySize);
          ref[i] = platform::get4(entry + kSysDeletedKeySize);
        }
      else
        for (uint32_t i = 0; i < count; ++i, entry += stride, to += k) {
          std::memcpy(to, entry, k);
          ref[i] = platform::get4(entry + k);
        }
      const uint32_t next = leaf->GetNextPage();
      if (next == 0) break;
      if (++steps > file_.GetNextPageNumber()) corrupt();
      const uint32_t from = leaf->GetPageNumber();
      TPinnedPage nextLeaf;
      if (!readPage(next, nextLeaf)) return false;
      if (nextLeaf->GetPageType() != ptLeaf || nextLeaf->GetPrevPage() != from) corrupt();
      leaf = std::move(nextLeaf);
    }
    return true;
  });
}

bool TIndexTree::visitPages(const std::function<bool(TPage&)>& visit, bool& stopped) {
  stopped = false;
  const uint32_t root = file_.GetRootPageNumber(slot_);
  if (root == 0) return true;
  std::vector<uint32_t> level{root}, below;
  // A tree never holds more pages than the file, nor more levels than a path.
  uint64_t pages = 0;
  for (int depth = 1; !level.empty(); ++depth) {
    if (depth > TIndexCursor::kMaxPathLevels) corrupt();
    below.clear();
    bool leaves = false;
    for (size_t at = 0; at < level.size(); ++at) {
      const uint32_t number = level[at];
      if (++pages > file_.GetNextPageNumber()) corrupt();
      TPinnedPage page;
      if (!readPage(number, page)) return false;
      const uint8_t type = page->GetPageType();
      const bool expected = depth == 1 ? page->IsRoot() : type == ptBranch || type == ptLeaf;
      // Only a root leaf is left without entries (a tree whose keys were all removed).
      if (!expected || (page->GetEntryCount() == 0 && type != ptRootLeaf)) corrupt();
      // Every page of a level is of one kind: the leaves are all at the lowest.
      if (at == 0)
        leaves = page->IsLeaf();
      else if (page->IsLeaf() != leaves)
        corrupt();
      if (!leaves)
        for (uint32_t i = 1; i <= page->GetEntryCount(); ++i) below.push_back(page->GetEntryRef(i));
      if (!visit(*page)) {
        stopped = true;
        return true;
      }
    }
    level.swap(below);
  }
  return true;
}

bool TIndexTree::ReplaceLeadingByte(uint8_t from, uint8_t to) {
  bool suits = true;
  withRestarts([&] {
    bool stopped = false;
    if (!visitPages(
            [&](TPage& page) {
              if (page.IsCompressedLeaf()) return false;
              for (uint32_t i = 1; i <= page.GetEntryCount(); ++i)
                if (page.GetEntryKey(i)[0] != from) return false;
              return true;
            },
            stopped))
      return false;
    suits = !stopped;
    return true;
  });
  if (!suits) return false;
  // The pages looked at above are the ones changed here: the caller holds the write pair, so no
  // other writer moves them in between, and a restart sets again what it had set.
  withRestarts([&] {
    bool stopped = false;
    return visitPages(
        [&](TPage& page) {
          const size_t stride = page.EntryStride();
          uint8_t* key = page.GetEntryKey(1);
          for (uint32_t i = 0; i < page.GetEntryCount(); ++i, key += stride) *key = to;
          page.SetDirty(true);
          return true;
        },
        stopped);
  });
  return true;
}

}  // namespace engine
