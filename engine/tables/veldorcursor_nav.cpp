// The data cursor: ranges, find and navigation.
//
// In index order the position is an entry of the current index: its key (currentKey_), its
// record number and its sequence number in the whole index. The counted tree answers "which
// entry is at position p" and "where does this key stand" with one descent each, so every move
// starts by finding the current entry again by its key. A move therefore never trusts a page
// that another writer may have split or merged meanwhile, and an entry that was removed under
// the cursor simply leaves it between its neighbours. The tree's searches restart a bounded
// number of times when a page changes under them and then report the index as corrupt.
//
// In record-number order the position is a record number in the view bitmap of the records in
// use.
#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorbtree.h"
#include "engine/storage/veldordata.h"
#include "engine/storage/veldorkeys.h"
#include "engine/storage/veldorrecord.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "platform/debugassert.h"
#include "platform/scopeguard.h"

namespace engine {

using platform::ScopeExit;

namespace {

TIndexTree treeOf(TDataCursor& c) {
  return TIndexTree(c.Table()->IndexFile(), c, c.GetCurrentIndex());
}

}  // namespace

// ---- View ----

bool TDataCursor::ViewUsesBitmap() const {
  return InRecordNumberOrder() || bitmapView_;
}

bool TDataCursor::entryVisible(uint32_t recordNo) const {
  return !bitmapView_ || viewBitmap_.GetBit(recordNo);
}

uint64_t TDataCursor::indexKeyCount() {
  return treeOf(*this).KeyCount();
}

void TDataCursor::BuildUsedRecordsBitmap(TRecordsBitmap& bitmap) {
  // The read pair comes first. Taken lazily by the walk's first page read instead, a change by
  // another process would be found with the bitmap already sized from the old header and with
  // the record-id index current, and the resynchronisation it starts would rebuild the view and
  // place the cursor in that index's order.
  ReadScope scope(*this);
  // A step on the caches began where they were current on disk: the header is, and a page the
  // walk must read takes the pair on the way.
  if (!cachedRead_) BeginRead();
  const uint32_t last = table_->DataFile().GetLastRecordNumber();
  if (table_->IndexFile().GetRecordCount() == last) return bitmap.SetSizeAllSet(last);
  bitmap.SetSize(last);
  bitmap.ClearAll();
  // Live records are the deleted-records index's keys with the in-use status byte.
  std::array<uint8_t, kSysDeletedKeySize> low{}, high{};
  low[0] = high[0] = kRecordInUse;
  std::fill(high.begin() + 1, high.end(), 0xFF);
  const uint8_t saved = GetCurrentIndex();
  SetCurrentIndex(kSysDeletedSlot);
  ScopeExit restore([&] { SetCurrentIndex(saved); });
  TIndexTree(table_->IndexFile(), *this, kSysDeletedSlot).AddRangeToBitmap(low.data(), high.data(), bitmap);
}

TDataCursor::ViewStamp TDataCursor::currentViewStamp() const {
  return {true,
          GetCurrentIndex(),
          table_->GetDataChangeCounter(),
          table_->GetIndexChangeCounter(),
          table_->GetBlobChangeCounter(),
          table_->DataFile().GetLastRecordNumber(),
          table_->IndexFile().GetRecordCount()};
}

void TDataCursor::RebuildView() {
  ReadScope scope(*this);
  if (!table_) return;
  viewStamp_.valid = false;
  if (bitmapView_ && !IsRemote()) {
    refreshFilterView();
  } else if (InRecordNumberOrder()) {
    BuildUsedRecordsBitmap(viewBitmap_);
    visibleCount_ = viewBitmap_.CountSet();
    // The table's headers in memory are still those the build read under its pair.
    if (!IsRemote() && !bitmapView_) viewStamp_ = currentViewStamp();
  } else if (bitmapView_) {
    visibleCount_ = viewBitmap_.CountSet();
  } else if (!IsRemote() && !rangeSet_) {
    // The whole index: its count below comes from the headers the stamp holds.
    viewStamp_ = currentViewStamp();
  }
  ComputeRangePositions();
}

void TDataCursor::rebuildView() {
  RebuildView();
}

void TDataCursor::ClearRange() {
  // The range keys are read only while a range is set, and SetRange writes both whole first.
  rangeSet_ = false;
  rangeFirst_ = 1;
  rangeLast_ = table_ ? table_->IndexFile().GetRecordCount() : 0;
}

void TDataCursor::ComputeRangePositions() {
  ReadScope scope(*this);
  if (computingRange_ || !table_) return;
  computingRange_ = true;
  ScopeExit done([&] { computingRange_ = false; });
  if (InRecordNumberOrder()) {
    rangeFirst_ = 1;
    rangeLast_ = visibleCount_;
    return;
  }
  const uint64_t keys = indexKeyCount();
  if (!rangeSet_) {
    rangeFirst_ = 1;
    rangeLast_ = uint32_t(keys);
    return;
  }
  const uint16_t size = currentKeySize_;
  if (CompareKeys(rangeStartKey_.data(), rangeEndKey_.data(), size) > 0) {
    rangeFirst_ = rangeLast_ = 0;
    return;
  }
  TIndexTree tree = treeOf(*this);
  uint64_t first = 0, last = 0;
  tree.FindKey(rangeStartKey_.data(), first);
  const bool endFound = tree.FindKey(rangeEndKey_.data(), last);
  if (!endFound) --last;
  if (first > last || first > keys || last == 0) {
    rangeFirst_ = rangeLast_ = 0;
    return;
  }
  rangeFirst_ = uint32_t(first);
  rangeLast_ = uint32_t(last);
}

int32_t TDataCursor::GetRecordCount() const {
  if (!table_) return 0;
  if (IsRemote()) return int32_t(remoteRecordCount_);
  // A view bitmap already holds the range (the filters build it over the range's records).
  if (ViewUsesBitmap()) return int32_t(visibleCount_);
  if (rangeFirst_ == 0 || rangeLast_ == 0 || rangeLast_ < rangeFirst_) return 0;
  return int32_t(rangeLast_ - rangeFirst_ + 1);
}

int32_t TDataCursor::GetTableRecordCount() const {
  return table_ ? int32_t(table_->IndexFile().GetRecordCount()) : 0;
}

int32_t TDataCursor::CountRecordsInUse() {
  if (!table_) return 0;
  if (IsRemote()) return GetTableRecordCount();
  const uint32_t stored = table_->IndexFile().GetRecordCount();
  if (stored == table_->DataFile().GetLastRecordNumber()) return int32_t(stored);
  // The live keys by their positions in the deleted-records index: a path down the tree, where
  // the view's walk reads every key. The cursor's own read leaves the view it was opened without
  // to its first step, which still builds it: the counters are those the caller's pair holds.
  const bool pending = std::exchange(resyncPending_, false);
  ScopeExit keepPending([&] { resyncPending_ = resyncPending_ || pending; });
  UpdateChangeCounters();
  ReadScope scope(*this);
  if (!cachedRead_) BeginRead();
  std::array<uint8_t, kSysDeletedKeySize> low{}, high{};
  low[0] = high[0] = kRecordInUse;
  std::fill(high.begin() + 1, high.end(), 0xFF);
  uint64_t first = 0, past = 0;
  {
    const uint8_t saved = GetCurrentIndex();
    SetCurrentIndex(kSysDeletedSlot);
    ScopeExit restore([&] { SetCurrentIndex(saved); });
    TIndexTree tree(table_->IndexFile(), *this, kSysDeletedSlot);
    tree.FindKey(low.data(), first);
    if (tree.FindKey(high.data(), past)) ++past;
  }
  if (past > first && past - first == stored) return int32_t(stored);
  // A stored count the keys do not bear out: the view's own walk counts, as a scan's does.
  TRecordsBitmap used;
  BuildUsedRecordsBitmap(used);
  return int32_t(used.CountSet());
}

int32_t TDataCursor::GetSequenceNumber() const {
  if (IsRemote()) return remoteSequence_;
  if (atBOF_ && atEOF_) return 0;
  if (InRecordNumberOrder()) return int32_t(sequence_);
  if (sequence_ == 0 || rangeFirst_ == 0) return 0;
  return int32_t(int64_t(sequence_) - rangeFirst_ + 1);
}

uint32_t TDataCursor::GetRecordNumber() const {
  return (atBOF_ && atEOF_) ? 0 : currentRecordNo_;
}

void TDataCursor::placeAtOpen(bool place) {
  if (place && !openUnplaced_) return SetToBegin();
  standBeforeFirst();
  deferredRecordNo_ = 0;
}

void TDataCursor::standBeforeFirst() {
  SetEmptyPosition();
  // Before the first of some rows: not past the end.
  if (GetRecordCount() != 0) atEOF_ = false;
}

void TDataCursor::SetEmptyPosition() {
  resumeOnCurrent_ = false;
  sequence_ = 0;
  atBOF_ = atEOF_ = true;
  currentRecordNo_ = 0;
  keySlot_ = kNoCurrentIndex;
}

// ---- Index-order primitives ----

bool TDataCursor::standOn(uint64_t position, const TKeyEntry* entry) {
  resumeOnCurrent_ = false;
  uint32_t ref = 0;
  if (entry) {
    // Taken by the search that found the position: no second descent.
    const size_t k = std::min<size_t>(table_->IndexFile().GetKeySize(GetCurrentIndex()), currentKey_.size());
    std::memcpy(currentKey_.data(), entry->key.data(), k);
    ref = entry->reference;
  } else if (!treeOf(*this).KeyAtPosition(position, currentKey_.data(), ref)) {
    return false;
  }
  currentRecordNo_ = ref;
  sequence_ = position;
  keySlot_ = GetCurrentIndex();
  return true;
}

uint64_t TDataCursor::locateCurrent(bool& found, TKeyNeighbours* near) {
  uint64_t position = 0;
  found = treeOf(*this).FindKey(currentKey_.data(), position, nullptr, near);
  return position;
}

uint64_t TDataCursor::visibleFrom(uint64_t position, bool forward) {
  if (rangeFirst_ == 0 || rangeLast_ == 0) return 0;
  std::array<uint8_t, kMaxCursorKeySize + 1> key{};
  for (uint64_t p = position; p >= rangeFirst_ && p <= rangeLast_; forward ? ++p : --p) {
    uint32_t ref = 0;
    if (!treeOf(*this).KeyAtPosition(p, key.data(), ref)) return 0;
    if (entryVisible(ref)) return p;
  }
  return 0;
}

void TDataCursor::moveFirstOrLast(bool first) {
  resumeOnCurrent_ = false;
  if (GetRecordCount() == 0) return SetEmptyPosition();
  if (InRecordNumberOrder()) {
    uint32_t record = first ? 0 : viewBitmap_.Count() + 1;
    int64_t position = 0;
    const bool ok =
        first ? viewBitmap_.FindNext(record, 1, position) : viewBitmap_.FindPrior(record, 1, position);
    if (!ok) return SetEmptyPosition();
    currentRecordNo_ = record;
    sequence_ = first ? 1 : visibleCount_;
    atBOF_ = atEOF_ = false;
    return;
  }
  const uint64_t p = visibleFrom(first ? rangeFirst_ : rangeLast_, first);
  if (p == 0 || !standOn(p)) return SetEmptyPosition();
  atBOF_ = atEOF_ = false;
}

void TDataCursor::MoveFirst() {
  ReadScope scope(*this);
  moveFirstOrLast(true);
}

void TDataCursor::MoveLast() {
  ReadScope scope(*this);
  moveFirstOrLast(false);
}

void TDataCursor::Skip(int32_t n) {
  ReadScope scope(*this);
  if (n == 0) return;
  resumeOnCurrent_ = false;
  if (GetRecordCount() == 0) return SetEmptyPosition();
  const bool forward = n > 0;
  const uint32_t steps = forward ? uint32_t(n) : uint32_t(-int64_t(n));
  if (InRecordNumberOrder()) {
    if ((forward && atEOF_) || (!forward && atBOF_)) return;
    uint32_t record = currentRecordNo_;
    if (atBOF_ || (record == 0 && forward)) record = 0;
    if (atEOF_ || (record == 0 && !forward)) record = forward ? 0 : viewBitmap_.Count() + 1;
    // The sequence number the search counts from: of the record itself, or of the gap it left.
    int64_t position =
        int64_t(viewBitmap_.CountSetBefore(record)) + (forward ? int(viewBitmap_.GetBit(record)) : 1);
    const uint32_t start = record;
    const bool ok = forward ? viewBitmap_.FindNext(record, steps, position)
                            : viewBitmap_.FindPrior(record, steps, position);
    if (ok) {
      currentRecordNo_ = record;
      sequence_ = uint64_t(position);
      atBOF_ = atEOF_ = false;
    } else {
      // The position stays on the last record reached (or where it was).
      if (record != start || currentRecordNo_ == 0) {
        currentRecordNo_ = record == 0 || record > viewBitmap_.Count() ? currentRecordNo_ : record;
        if (currentRecordNo_ != 0) sequence_ = viewBitmap_.CountSetBefore(currentRecordNo_) + 1;
      }
      atEOF_ = forward;
      atBOF_ = !forward;
    }
    return;
  }
  if ((forward && atEOF_) || (!forward && atBOF_)) return;
  // One entry on from where the last step left the cursor, in a tree as it then was: the entry
  // after it in its leaf (or the next leaf), without a search for the current key.
  if (steps == 1 && forward && !bitmapView_ && !atBOF_ && keySlot_ == GetCurrentIndex() &&
      stepPlace_.file != 0 && stepPosition_ == sequence_ && sequence_ + 1 <= rangeLast_ &&
      sequence_ + 1 >= rangeFirst_) {
    TKeyEntry next;
    if (treeOf(*this).StepForward(stepPlace_, currentKey_.data(), currentRecordNo_, next)) {
      standOn(sequence_ + 1, &next);
      stepPosition_ = sequence_;
      atBOF_ = atEOF_ = false;
      return;
    }
  }
  // The walk starts just before (after) the current entry as it now stands in the index.
  int64_t base;
  uint64_t at = 0;
  TKeyNeighbours near;
  if (atBOF_ || keySlot_ != GetCurrentIndex()) {
    base = int64_t(rangeFirst_) - 1;
    if (!atBOF_ && !forward) base = int64_t(rangeLast_) + 1;
  } else if (atEOF_) {
    base = int64_t(rangeLast_) + 1;
  } else {
    bool found = false;
    at = locateCurrent(found, &near);
    base = forward ? int64_t(found ? at : at - 1) : int64_t(at);
  }
  int64_t reached = 0;
  if (!bitmapView_) {
    const int64_t target = forward ? base + steps : base - steps;
    if (target >= int64_t(rangeFirst_) && target <= int64_t(rangeLast_)) reached = target;
  } else {
    int64_t p = base;
    for (uint32_t counted = 0; counted < steps;) {
      p += forward ? 1 : -1;
      if (p < int64_t(rangeFirst_) || p > int64_t(rangeLast_)) {
        p = 0;
        break;
      }
      uint32_t ref = 0;
      std::array<uint8_t, kMaxCursorKeySize + 1> key{};
      if (!treeOf(*this).KeyAtPosition(uint64_t(p), key.data(), ref))
        Raise(VELDOR_INDEXCORRUPT, {}, currentIndexName_);
      if (entryVisible(ref)) ++counted;
    }
    reached = p;
  }
  if (reached != 0) {
    const TKeyEntry* entry = at != 0 ? near.Get(at, uint64_t(reached)) : nullptr;
    if (!standOn(uint64_t(reached), entry)) Raise(VELDOR_INDEXCORRUPT, {}, currentIndexName_);
    atBOF_ = atEOF_ = false;
    // The search told where its entry stands; the entry after it, when the search held it, stands
    // next to it in the same leaf.
    stepPlace_.Forget();
    if (entry && near.place.file != 0 && (uint64_t(reached) == at || uint64_t(reached) == at + 1)) {
      stepPlace_ = near.place;
      stepPlace_.entry += uint32_t(uint64_t(reached) - at);
      stepPosition_ = uint64_t(reached);
    }
    return;
  }
  // Out of the view: stand on its last (first) record with the end (begin) flag.
  const uint64_t edge = visibleFrom(forward ? rangeLast_ : rangeFirst_, !forward);
  if (edge != 0) standOn(edge);
  atEOF_ = forward;
  atBOF_ = !forward;
}

void TDataCursor::loadPositionRecord() {
  if ((atBOF_ && atEOF_) || currentRecordNo_ == 0) {
    std::fill(recordBuffer_.begin(), recordBuffer_.end(), 0);
    deferredRecordNo_ = 0;
  } else {
    LoadCurrentRecord(false);
  }
}

void TDataCursor::SetToBegin() {
  if (!table_) return;
  if (IsRemote()) return remoteMove(REQUEST_SETTOBEGIN);
  ReadScope scope(*this);
  moveToBegin();
  loadPositionRecord();
}

void TDataCursor::moveToBegin() {
  if (!cachedRead_) BeginRead();
  MoveFirst();
  if (!(atBOF_ && atEOF_)) {
    atBOF_ = true;
    atEOF_ = false;
  }
}

void TDataCursor::SetToEnd() {
  if (!table_) return;
  if (IsRemote()) return remoteMove(REQUEST_SETTOEND);
  ReadScope scope(*this);
  BeginRead();
  MoveLast();
  if (!(atBOF_ && atEOF_)) {
    atBOF_ = false;
    atEOF_ = true;
  }
  loadPositionRecord();
}

void TDataCursor::SetToRecNo(int32_t n) {
  if (IsRemote()) return remoteSetToRecNo(n);
  ReadScope scope(*this);
  BeginRead();
  resumeOnCurrent_ = false;
  const int32_t count = GetRecordCount();
  if (count == 0) {
    SetEmptyPosition();
  } else if (n <= 0) {
    MoveFirst();
    atBOF_ = true;
  } else if (n > count) {
    MoveLast();
    atEOF_ = true;
  } else if (InRecordNumberOrder()) {
    uint32_t record = 0;
    int64_t position = 0;
    viewBitmap_.FindNext(record, uint32_t(n), position);
    currentRecordNo_ = record;
    sequence_ = uint64_t(n);
    atBOF_ = atEOF_ = false;
  } else {
    // In index order a sequence number is a place in the range, shown or not (what
    // GetSequenceNumber reports): a hidden entry gives way to the nearest shown one.
    uint64_t p = uint64_t(rangeFirst_) + uint64_t(n) - 1;
    if (bitmapView_) {
      const uint64_t forward = visibleFrom(p, true);
      p = forward != 0 ? forward : visibleFrom(p, false);
    }
    if (p == 0 || !standOn(p)) Raise(VELDOR_INDEXCORRUPT, {}, currentIndexName_);
    atBOF_ = atEOF_ = false;
  }
  loadPositionRecord();
}

void TDataCursor::SetToRecordNo(uint32_t recordNo) {
  ReadScope scope(*this);
  resumeOnCurrent_ = false;
  if (!table_ || recordNo == 0) {
    currentRecordNo_ = recordNo;
    atBOF_ = atEOF_ = false;
    return;
  }
  // The view and the index must hold what other cursors and other processes wrote since this
  // cursor last looked: cached records and pages answer without asking the files, so the
  // number and the sequence number found here would belong to an older table.
  if (!writeTaken_) {
    SyncWithTable();
    BeginRead();
  }
  // A resynchronisation just now may have left the old place's next record to be read first: the
  // cursor stands on `recordNo` instead, and the next step goes past it.
  resumeOnCurrent_ = false;
  if (InRecordNumberOrder()) {
    currentRecordNo_ = recordNo;
    atBOF_ = atEOF_ = false;
    sequence_ = viewBitmap_.CountSetBefore(recordNo) + 1;
    return;
  }
  std::vector<uint8_t> image(recordSize_);
  readRecord(recordNo, image.data());
  if (image[0] != kRecordInUse) {
    currentRecordNo_ = recordNo;
    atBOF_ = atEOF_ = false;
    return;
  }
  std::array<uint8_t, kMaxCursorKeySize + 1> key{};
  BuildKey(image.data(), key.data(), image.data());
  SeekKey(key.data(), true, false);
}

// ---- Keys of ranges and searches ----

uint32_t TDataCursor::givenLength(int32_t fieldCount) const {
  uint32_t length = 0;
  const int32_t n = std::clamp<int32_t>(fieldCount, 0, int32_t(keyFields_.size()));
  for (int32_t i = 0; i < n; ++i) length += GetFieldKeySize(keyFields_[size_t(i)].Span()) + 1u;
  return length;
}

void TDataCursor::completeKey(uint8_t* key, uint32_t given, bool high) const {
  const uint32_t size = std::min<uint32_t>(currentKeySize_, kMaxCursorKeySize);
  if (given >= size) return;
  const bool fillHigh = high != indexDescending_;
  std::memset(key + given, fillHigh ? 0xFF : 0x00, size - given);
}

void TDataCursor::takeKey(bool keysBuilt, const uint8_t* source, uint8_t* key) const {
  const uint32_t size = std::min<uint32_t>(currentKeySize_, kMaxCursorKeySize);
  if (keysBuilt)
    std::memcpy(key, source, size);
  else
    BuildKey(source, key, source);
}

void TDataCursor::SetRange(bool keysBuilt, const uint8_t* start, int32_t startFields, const uint8_t* end,
                           int32_t endFields) {
  if (!active_ || InRecordNumberOrder()) return;
  if (IsRemote()) return remoteSetRange(start, startFields, end, endFields, keysBuilt);
  ReadScope scope(*this);
  BeginRead();
  const int32_t indexFields = int32_t(keyFields_.size());
  auto build = [&](const uint8_t* source, int32_t fields, bool high,
                   std::array<uint8_t, kMaxCursorKeySize>& out) {
    out.fill(high ? 0xFF : 0x00);
    if (!source) return;
    std::array<uint8_t, kMaxCursorKeySize + 1> key{};
    takeKey(keysBuilt, source, key.data());
    std::memcpy(out.data(), key.data(), std::min<size_t>(currentKeySize_, kMaxCursorKeySize));
    const bool partial = (fields >= 1 && fields < indexFields) || !indexUnique_;
    if (!partial) return;
    if (!indexUnique_ && fields == 0) fields = indexFields;
    completeKey(out.data(), givenLength(fields), high);
  };
  build(start, startFields, false, rangeStartKey_);
  build(end, endFields, true, rangeEndKey_);
  rangeSet_ = true;
  RebuildView();
  Resync();
}

void TDataCursor::ResetRange() {
  if (!active_ || InRecordNumberOrder()) return;
  if (IsRemote()) return remoteResetRange();
  ReadScope scope(*this);
  BeginRead();
  ClearRange();
  RebuildView();
  Resync();
}

bool TDataCursor::SeekKey(const uint8_t* key, bool nearest, bool keepEnds) {
  ReadScope scope(*this);
  resumeOnCurrent_ = false;
  if (GetRecordCount() == 0) {
    SetEmptyPosition();
    return false;
  }
  const bool wasBOF = atBOF_, wasEOF = atEOF_;
  const uint16_t size = currentKeySize_;
  uint64_t position = 0;
  bool found = false;
  bool pastEnd = false;
  // The entries around the one the index search ended on, which the cursor stands on unless the
  // view moved it.
  uint64_t foundAt = 0;
  TKeyNeighbours near;
  if (rangeSet_ && CompareKeys(key, rangeStartKey_.data(), size) < 0) {
    position = visibleFrom(rangeFirst_, true);
  } else if (rangeSet_ && CompareKeys(key, rangeEndKey_.data(), size) > 0) {
    position = visibleFrom(rangeLast_, false);
    pastEnd = true;
  } else {
    found = treeOf(*this).FindKey(key, position, nullptr, &near);
    foundAt = position;
    if (position > rangeLast_) {
      position = rangeLast_;
      found = false;
      pastEnd = true;
    }
    if (position < rangeFirst_) position = rangeFirst_;
    if (bitmapView_) {
      std::array<uint8_t, kMaxCursorKeySize + 1> entry{};
      uint32_t ref = 0;
      if (!pastEnd && treeOf(*this).KeyAtPosition(position, entry.data(), ref) && !entryVisible(ref)) {
        found = false;
        if (!nearest) return false;
        uint64_t next = visibleFrom(position, true);
        if (next == 0) {
          next = visibleFrom(position, false);
          pastEnd = true;
        }
        if (next == 0) {
          SetEmptyPosition();
          return false;
        }
        position = next;
      } else if (pastEnd) {
        position = visibleFrom(position, false);
      }
    }
  }
  if (!found && !nearest) return false;
  following_.file = 0;
  if (position == 0 || !standOn(position, foundAt != 0 ? near.Get(foundAt, position) : nullptr)) {
    SetEmptyPosition();
    return false;
  }
  if (const TKeyEntry* after = foundAt != 0 ? near.Get(foundAt, position + 1) : nullptr) {
    TIndexFile& file = table_->IndexFile();
    const uint8_t slot = GetCurrentIndex();
    following_.file = file.InstanceId();
    following_.stamp = file.TreeStamp(slot);
    following_.position = position;
    following_.reference = currentRecordNo_;
    following_.slot = slot;
    const size_t k = std::min<size_t>(file.GetKeySize(slot), following_.key.size());
    std::memcpy(following_.key.data(), after->key.data(), k);
  }
  atBOF_ = false;
  // Beyond every key of the view: the cursor stands on the last record, at the end.
  atEOF_ = pastEnd && !found;
  if (keepEnds) {
    if (wasBOF) {
      Skip(-1);
      if (!atBOF_) Skip(1);
    } else {
      atBOF_ = false;
    }
    if (wasEOF && !atBOF_) {
      if (!atEOF_) {
        Skip(1);
        if (!atEOF_) Skip(-1);
      }
    }
  }
  return found;
}

bool TDataCursor::FindKey(bool keysBuilt, const uint8_t* source, int32_t fieldCount, bool nearest,
                          uint8_t partialLength, uint8_t* result) {
  if (!active_ || !source || InRecordNumberOrder()) return false;
  if (IsRemote()) return remoteFindKey(keysBuilt, source, fieldCount, nearest, partialLength, result);
  ReadScope scope(*this);
  BeginRead();
  std::array<uint8_t, kMaxCursorKeySize + 1> key{};
  takeKey(keysBuilt, source, key.data());
  const int32_t indexFields = int32_t(keyFields_.size());
  bool found;
  bool moved = true;
  if ((fieldCount == 0 || fieldCount >= indexFields) && indexUnique_ &&
      (fieldCount != 0 || partialLength == 0)) {
    found = SeekKey(key.data(), nearest, false);
    moved = found || nearest;
  } else {
    if (!indexUnique_ && fieldCount == 0 && partialLength == 0) fieldCount = indexFields;
    const uint32_t size = std::min<uint32_t>(currentKeySize_, kMaxCursorKeySize);
    const uint32_t given =
        std::min<uint32_t>(size, givenLength(fieldCount) + (partialLength != 0 ? partialLength + 1u : 0u));
    completeKey(key.data(), given, false);
    SeekKey(key.data(), true, false);
    found = GetRecordCount() != 0 && !(atBOF_ && atEOF_) && !atEOF_ &&
            std::memcmp(currentKey_.data(), key.data(), given) == 0;
  }
  if (moved && atEOF_ && !atBOF_) MoveLast();
  fetchingByKey_ = true;
  ScopeExit fetched([this] { fetchingByKey_ = false; });
  loadPositionRecord();
  if (result) std::memcpy(result, recordBuffer_.data(), recordSize_);
  return found;
}

// ---- Records ----

bool TDataCursor::mayReadCaches(TCachedFiles files) {
  // Only where the step would otherwise take the read pair itself: under a pair (this cursor's
  // or the table's) it costs nothing already, and strict change detection asks for the pair.
  return NeedsLocks() && !cachedRead_ && !readTaken_ && !writeTaken_ && !queryReadTaken_ && !resyncPending_ &&
         !Session().StrictChangeDetection() && table_->CachesCurrentOnDisk(files);
}

bool TDataCursor::placeOnCaches(bool place) {
  if (!mayReadCaches()) return false;
  cachedRead_ = true;
  cachedStepTookPair_ = false;
  ScopeExit leave([&] { cachedRead_ = false; });
  try {
    rebuildView();
    placeAtOpen(place);
    return true;
  } catch (const CacheMiss& miss) {
    // Both are built again from the start under the pair: nothing of this attempt is kept.
    cachedRead_ = false;
    if (miss.failure) std::rethrow_exception(miss.failure);
    return false;
  }
}

template <class Step>
uint16_t TDataCursor::recordStep(Step step) {
  if (cachedRead_) return step();
  ReadScope scope(*this);
  SyncWithTable();
  if (mayReadCaches()) {
    // What a step changes before it reaches the files: the position. The record buffer is only
    // filled once the record was found in the cache.
    const uint32_t recordNo = currentRecordNo_;
    const uint64_t sequence = sequence_;
    const bool bof = atBOF_, eof = atEOF_, resume = resumeOnCurrent_, resumeBack = resumeGoingBack_;
    const uint8_t keySlot = keySlot_;
    const TLeafPlace place = stepPlace_;
    const uint64_t placePosition = stepPosition_;
    const uint16_t keyBytes = std::min<uint16_t>(currentKeySize_, kMaxCursorKeySize);
    std::array<uint8_t, kMaxCursorKeySize + 1> key;
    std::memcpy(key.data(), currentKey_.data(), keyBytes);
    cachedRead_ = true;
    cachedStepTookPair_ = false;
    // Before `scope` ends the pair the step took.
    ScopeExit leave([&] { cachedRead_ = false; });
    try {
      return step();
    } catch (const CacheMiss& miss) {
      cachedRead_ = false;
      currentRecordNo_ = recordNo;
      sequence_ = sequence;
      atBOF_ = bof;
      atEOF_ = eof;
      resumeOnCurrent_ = resume;
      resumeGoingBack_ = resumeBack;
      keySlot_ = keySlot;
      // The step under the pair goes from the same entry as this one did.
      stepPlace_ = place;
      stepPosition_ = placePosition;
      std::memcpy(currentKey_.data(), key.data(), keyBytes);
      if (miss.failure) std::rethrow_exception(miss.failure);
    }
  }
  BeginRead();
  return step();
}

bool TDataCursor::mayStepOnHeldRecords() const {
  if (!InRecordNumberOrder() || atBOF_ || atEOF_ || resumeOnCurrent_ || resyncPending_ ||
      (bitmapView_ && filterViewStale_) || currentRecordNo_ == 0 || hasComputedFields_ ||
      !placeSeenCurrent() || Session().StrictChangeDetection())
    return false;
  // What recordStep asks before it reads the caches: a pair already held (SyncWithTable then only
  // compares the counters, as placeSeenCurrent did), or no other writer finished a change since.
  const bool held =
      !NeedsLocks() || cachedRead_ || readTaken_ || queryReadTaken_ || writeTaken_ || table_->AnyLockHeld();
  // A step on held records reads no blob, unless a filter of the view reads memos: a memo read
  // looks at the blob file itself.
  return held || table_->CachesCurrentOnDisk(bitmapView_ ? TCachedFiles::All : TCachedFiles::RecordsAndIndex);
}

uint32_t TDataCursor::nextHeldCandidate(uint32_t here) const {
  // The next member of the view, as Skip(1) finds it; a long gap is left to Skip.
  constexpr uint32_t kLookAhead = 1024;
  return here >= UINT32_MAX - kLookAhead ? 0 : viewBitmap_.FirstMemberIn(here + 1, here + kLookAhead);
}

bool TDataCursor::stepOnHeldRecords(uint8_t* buffer) {
  if (!mayStepOnHeldRecords()) return false;
  const uint32_t next = nextHeldCandidate(currentRecordNo_);
  if (next == 0 || !table_->DataFile().CopyHeldRecord(next, recordBuffer_.data(), recordSize_)) return false;
  deferredRecordNo_ = 0;
  currentRecordNo_ = next;
  ++sequence_;
  if (buffer) std::memcpy(buffer, recordBuffer_.data(), recordSize_);
  return true;
}

uint32_t TDataCursor::SkipHeldRecords(TRecordTest test, const void* data, uint32_t most) {
  if (most == 0 || !active_ || IsRemote() || !mayStepOnHeldRecords()) return 0;
  const TDataFile& file = table_->DataFile();
  // The test reads the record where the cursor's buffer would hold it, field for field.
  if (recordSize_ != file.GetRecordSize()) return 0;
  uint32_t here = currentRecordNo_, passed = 0;
  // Nothing of the cursor changes while the test runs: it sees each record as the step to it
  // would, and a test that throws leaves the cursor on its record.
  // Where every record the test may pass is in the view, the next candidate is the next record;
  // where those also lie one after another in the file's run, they are tested straight from it.
  const bool consecutive = uint64_t(here) + most <= UINT32_MAX && viewBitmap_.AllSetIn(here + 1, here + most);
  bool tryRun = consecutive;
  while (passed < most) {
    if (tryRun) {
      uint32_t count = 0;
      const uint8_t* run = file.HeldRecordRun(here + 1, count);
      count = std::min(count, most - passed);
      tryRun = run != nullptr;
      uint32_t tested = 0;
      while (tested < count && !test(data, run + size_t(tested) * recordSize_)) ++tested;
      here += tested;
      passed += tested;
      if (tested < count) break;
      continue;
    }
    const uint32_t next = consecutive ? here + 1 : nextHeldCandidate(here);
    const uint8_t* bytes = next == 0 ? nullptr : file.HeldRecordBytes(next);
    if (!bytes || test(data, bytes)) break;
    here = next;
    ++passed;
  }
  if (passed == 0) return 0;
  // The last record passed becomes the current one, as its step would have left it.
  currentRecordNo_ = here;
  sequence_ += passed;
  if (!file.CopyHeldRecord(here, recordBuffer_.data(), recordSize_)) {
    // Only a test that made the table let its records go gets here: the record is read.
    VELMARON_DEBUG_ASSERT(false, "a record just passed is held");
    recordStep([&]() -> uint16_t {
      LoadCurrentRecord(true);
      return 0;
    });
  }
  return passed;
}

uint16_t TDataCursor::GetNextRecord(uint8_t* buffer) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  if (IsRemote()) return remoteNextOrPrior(REQUEST_GETNEXTRECORD, buffer);
  if (stepOnHeldRecords(buffer)) return 0;
  return recordStep([&]() -> uint16_t {
    if (atBOF_)
      MoveFirst();
    else if (resumeOnCurrent_ && !resumeGoingBack_)
      resumeOnCurrent_ = false;
    else
      Skip(1);
    if (atEOF_) {
      if (buffer) ClearRecordBuffer(buffer);
      return VELDOR_EOF;
    }
    LoadCurrentRecord(true);
    if (buffer) std::memcpy(buffer, recordBuffer_.data(), recordSize_);
    return 0;
  });
}

int TDataCursor::NextKeySharesFields(int32_t fieldCount) {
  const auto known = [&] {
    return active_ && table_ && !IsRemote() && !InRecordNumberOrder() && !bitmapView_ && !atBOF_ && !atEOF_ &&
           !resumeOnCurrent_ && !resyncPending_ && !hasComputedFields_ && currentRecordNo_ != 0 &&
           keySlot_ == GetCurrentIndex();
  };
  if (!known()) return -1;
  ReadScope scope(*this);
  // As GetNextRecord's step: another writer's change first moves the cursor where it belongs.
  SyncWithTable();
  BeginRead();
  if (!known()) return -1;
  const uint32_t given = std::min<uint32_t>({givenLength(fieldCount), currentKeySize_, kMaxCursorKeySize});
  // The entry the last key search found after this one, while the tree is as it was then.
  const TIndexFile& file = table_->IndexFile();
  if (following_.file != 0 && following_.file == file.InstanceId() && following_.slot == keySlot_ &&
      following_.position == sequence_ && following_.reference == currentRecordNo_ &&
      following_.stamp == file.TreeStamp(keySlot_)) {
    if (sequence_ + 1 < rangeFirst_ || sequence_ + 1 > rangeLast_) return 0;
    return std::memcmp(following_.key.data(), currentKey_.data(), given) == 0 ? 1 : 0;
  }
  // The entry Skip(1) would stand on.
  bool found = false;
  TKeyNeighbours near;
  const uint64_t at = locateCurrent(found, &near);
  const uint64_t next = found ? at + 1 : at;
  if (next < rangeFirst_ || next > rangeLast_) return 0;
  if (const TKeyEntry* entry = near.Get(at, next))
    return std::memcmp(entry->key.data(), currentKey_.data(), given) == 0 ? 1 : 0;
  std::array<uint8_t, kMaxCursorKeySize + 1> key{};
  uint32_t ref = 0;
  if (!treeOf(*this).KeyAtPosition(next, key.data(), ref)) return -1;
  return std::memcmp(key.data(), currentKey_.data(), given) == 0 ? 1 : 0;
}

uint16_t TDataCursor::GetPriorRecord(uint8_t* buffer) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  if (IsRemote()) return remoteNextOrPrior(REQUEST_GETPRIORRECORD, buffer);
  return recordStep([&]() -> uint16_t {
    if (atEOF_)
      MoveLast();
    else if (resumeOnCurrent_ && resumeGoingBack_)
      resumeOnCurrent_ = false;
    else
      Skip(-1);
    if (atBOF_) {
      if (buffer) ClearRecordBuffer(buffer);
      return VELDOR_BOF;
    }
    LoadCurrentRecord(true);
    if (buffer) std::memcpy(buffer, recordBuffer_.data(), recordSize_);
    return 0;
  });
}

uint16_t TDataCursor::ReadRecordBlock(uint32_t& count, uint8_t* buffer) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  if (IsRemote()) return remoteReadRecordBlock(count, buffer);
  // The block is one step: it shows the table as one read found it.
  return recordStep([&]() -> uint16_t {
    for (uint32_t i = 0; i < count; ++i) {
      const uint16_t code = GetNextRecord(buffer ? buffer + size_t(i) * recordSize_ : nullptr);
      if (code != 0) {
        count = i;
        return code;
      }
    }
    return 0;
  });
}

// ---- Bookmarks ----

void TDataCursor::GetBookmark(uint8_t* bookmark) const {
  if (IsRemote()) return remoteBookmark(bookmark);
  if (InRecordNumberOrder()) {
    const uint32_t n = (atBOF_ && atEOF_) ? 0 : currentRecordNo_;
    std::memcpy(bookmark, &n, 4);
    return;
  }
  const uint16_t size = currentKeySize_;
  if (currentRecordNo_ == 0 || keySlot_ != GetCurrentIndex() || (atBOF_ && atEOF_))
    std::memset(bookmark, 0, size);
  else
    std::memcpy(bookmark, currentKey_.data(), size);
}

bool TDataCursor::SetToBookmark(const uint8_t* bookmark, bool nearest, bool readBegun) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  if (IsRemote()) return remoteSetToBookmark(bookmark, nearest, readBegun);
  ReadScope scope(*this);
  if (!readBegun) BeginRead();
  resumeOnCurrent_ = false;
  if (InRecordNumberOrder()) {
    int32_t n;
    std::memcpy(&n, bookmark, 4);
    if (n == 0) return nearest;
    atBOF_ = atEOF_ = false;
    const uint32_t last = viewBitmap_.Count();
    uint32_t record = n < 0 ? 1u : std::min<uint32_t>(uint32_t(n), last);
    if (last == 0 || visibleCount_ == 0) {
      SetEmptyPosition();
    } else if (viewBitmap_.GetBit(record)) {
      currentRecordNo_ = record;
      sequence_ = viewBitmap_.CountSetBefore(record) + 1;
    } else {
      int64_t position = viewBitmap_.CountSetBefore(record);
      uint32_t r = record;
      if (viewBitmap_.FindNext(r, 1, position)) {
        currentRecordNo_ = r;
        sequence_ = uint64_t(position);
      } else {
        // No record after it: the last one before it.
        MoveLast();
      }
    }
  } else {
    SeekKey(bookmark, true, nearest);
  }
  loadPositionRecord();
  if (nearest) return true;
  std::array<uint8_t, kMaxCursorKeySize + 4> now{};
  GetBookmark(now.data());
  return std::memcmp(now.data(), bookmark, GetKeySize()) == 0;
}

int TDataCursor::CompareBookmarks(const uint8_t* a, const uint8_t* b) const {
  if (InRecordNumberOrder()) {
    int32_t x, y;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    return y < x ? 1 : (y > x ? -1 : 0);
  }
  return CompareKeys(a, b, currentKeySize_);
}

// ---- Keeping the position ----

void TDataCursor::Resync() {
  ReadScope scope(*this);
  if (!table_) return;
  if (GetRecordCount() == 0) {
    SetEmptyPosition();
  } else if (atBOF_ || atEOF_ || currentRecordNo_ == 0) {
    // A cursor before its first (after its last) record stays there, whatever was added in
    // front of (behind) the record it knew; it must not skip a record it never showed.
    const bool eof = atEOF_ && !atBOF_;
    eof ? MoveLast() : MoveFirst();
    if (!(atBOF_ && atEOF_)) {
      atBOF_ = !eof;
      atEOF_ = eof;
    }
  } else if (InRecordNumberOrder()) {
    const uint32_t record = currentRecordNo_;
    SetToBookmark(reinterpret_cast<const uint8_t*>(&record), true, true);
  } else {
    std::array<uint8_t, kMaxCursorKeySize + 1> key{};
    bool haveKey = keySlot_ == GetCurrentIndex();
    if (haveKey) {
      key = currentKey_;
    } else {
      std::vector<uint8_t> image(recordSize_);
      readRecord(currentRecordNo_, image.data());
      if (image[0] == kRecordInUse) {
        BuildKey(image.data(), key.data(), image.data());
        haveKey = true;
      }
    }
    if (haveKey) {
      SeekKey(key.data(), true, false);
    } else {
      MoveFirst();
      if (!(atBOF_ && atEOF_)) atBOF_ = true;
    }
  }
  loadPositionRecord();
}

void TDataCursor::resynchronise() {
  // View and position are found again in one piece, under the read pair: no other process
  // writes between the two. A change found on taking the pair has resynchronised already.
  ReadScope scope(*this);
  if (BeginRead()) return;
  const bool stood = !atBOF_ && !atEOF_ && currentRecordNo_ != 0;
  const uint32_t recordNo = currentRecordNo_;
  const bool keyed = keySlot_ == GetCurrentIndex();
  const std::array<uint8_t, kMaxCursorKeySize + 1> key = currentKey_;
  // Another writer changed the table: the filter bitmaps are built again.
  filterViewStale_ = true;
  RebuildView();
  Resync();
  // Resync stands on the nearest record when the cursor's own one is gone. That one comes after
  // the cursor's place and has not been read yet: the next step forward reads it rather than
  // passing over it, as it would have had the gone record still been there. With none after it,
  // the nearest is the one before, which the next step back reads rather than passing over.
  if (stood && !atBOF_ && !atEOF_) {
    resumeGoingBack_ = InRecordNumberOrder() && currentRecordNo_ < recordNo;
    resumeOnCurrent_ = InRecordNumberOrder()
                           ? currentRecordNo_ != recordNo
                           : keyed && keySlot_ == GetCurrentIndex() &&
                                 CompareKeys(currentKey_.data(), key.data(), currentKeySize_) > 0;
  }
  if (refreshHook_) refreshHook_();
}

void TDataCursor::AddToView(uint32_t recordNo, bool holdsRecord) {
  ReadScope scope(*this);
  // In record-number order without filters the record this cursor wrote only joins the
  // used-records bitmap: building it again from the record-id index walks every record.
  const uint32_t known = viewBitmap_.Count();
  if (!bitmapView_ && InRecordNumberOrder() && !IsRemote() && recordNo != 0 && known != 0 &&
      recordNo <= table_->DataFile().GetLastRecordNumber()) {
    if (recordNo > known) {
      viewBitmap_.SetSize(recordNo);
      for (uint32_t n = known + 1; n < recordNo; ++n) viewBitmap_.ClearBit(n);
      viewBitmap_.ClearBit(recordNo);
    }
    if (!viewBitmap_.GetBit(recordNo)) {
      viewBitmap_.SetBit(recordNo);
      ++visibleCount_;
    }
    ComputeRangePositions();
  } else {
    RebuildView();
  }
  atBOF_ = atEOF_ = false;
  if (bitmapView_ && InRecordNumberOrder()) {
    // A record the filters hide is no place to stand: the nearest shown one, as after any
    // other change of the view.
    currentRecordNo_ = recordNo;
    return Resync();
  }
  // Appended right after every record the view knew: its last place, without counting the
  // records before it.
  if (!bitmapView_ && InRecordNumberOrder() && !IsRemote() && recordNo == known + 1) {
    if (!writeTaken_) SyncWithTable();
    if (viewBitmap_.Count() == recordNo && viewBitmap_.GetBit(recordNo)) {
      currentRecordNo_ = recordNo;
      sequence_ = visibleCount_;
      if (holdsRecord && !hasComputedFields_) {
        deferredRecordNo_ = 0;
        return;
      }
      return loadPositionRecord();
    }
  }
  SetToRecordNo(recordNo);
  loadPositionRecord();
}

void TDataCursor::viewAfterWrite(uint32_t recordNo, bool inUse) {
  ReadScope scope(*this);
  if (!table_ || IsRemote() || recordNo == 0) return RebuildView();
  const uint32_t last = table_->DataFile().GetLastRecordNumber();
  if (bitmapView_) {
    // The filter upkeep already set the record's bit; a changed key may also have moved the
    // record into or out of an index range, which only a new walk of the range tells.
    if (filterViewStale_ || filterBusy_ || rangeBusy_ || (inUse && rangeSet_ && !InRecordNumberOrder()) ||
        viewBitmap_.Count() != last || usedRecordsBitmap_.Count() != last)
      return RebuildView();
  } else if (InRecordNumberOrder()) {
    // An append adds the slot after every one the view knew (the write lock kept other writers
    // out since the view was last current); the slots between stay out.
    const uint32_t known = viewBitmap_.Count();
    if (inUse && known != 0 && known < last && recordNo == last) {
      viewBitmap_.SetSize(last);
      for (uint32_t n = known + 1; n <= last; ++n) viewBitmap_.ClearBit(n);
    }
    if (recordNo > last || viewBitmap_.Count() != last) return RebuildView();
    if (inUse && !viewBitmap_.GetBit(recordNo)) {
      viewBitmap_.SetBit(recordNo);
      ++visibleCount_;
    } else if (!inUse && viewBitmap_.GetBit(recordNo)) {
      viewBitmap_.ClearBit(recordNo);
      --visibleCount_;
    }
  }
  ComputeRangePositions();
}

void TDataCursor::RemoveFromView() {
  ReadScope scope(*this);
  viewAfterWrite(currentRecordNo_, false);
  if (InRecordNumberOrder()) {
    // The deleted record's place: the next record of the view, else the last.
    const uint32_t record = currentRecordNo_;
    atBOF_ = atEOF_ = false;
    if (record != 0) SetToBookmark(reinterpret_cast<const uint8_t*>(&record), true, true);
    return;
  }
  atBOF_ = atEOF_ = false;
  Resync();
}

// ---- Read-ahead and sizes ----

uint32_t TDataCursor::GetReadAheadCount(uint32_t readAheadCount, bool forward) {
  if (readAheadCount == 0 || !table_ || currentRecordNo_ == 0) return 1;
  // Asked from inside a record fetch: the index is walked only while no other process can write
  // it, under a read this cursor holds or a lock the table holds already (a transaction's). A
  // statement's read hold is left out: its cursors mostly find keys one by one (a join's inner
  // table), where walking the entries after each found key costs more than the reads it saves.
  if (!InRecordNumberOrder() && NeedsLocks() && !readTaken_ && !writeTaken_ && !table_->HoldsReadPair() &&
      !table_->HoldsWritePair() && !table_->HoldsTransactionLock())
    return 1;
  if (InRecordNumberOrder()) {
    // Up to the last record of the view among the next readAheadCount slots: one read brings
    // them, and the records the view hides between stay out of the cache (KeepsReadAhead).
    const uint32_t here = currentRecordNo_;
    if (forward) {
      const uint32_t last = uint32_t(std::min<uint64_t>(uint64_t(here) + readAheadCount - 1, UINT32_MAX));
      const uint32_t r = here == UINT32_MAX ? 0 : viewBitmap_.LastMemberIn(here + 1, last);
      return r == 0 ? 1 : r - here + 1;
    }
    if (here <= 1) return 1;
    const uint32_t r =
        viewBitmap_.FirstMemberIn(here > readAheadCount ? here - readAheadCount + 1 : 1, here - 1);
    return r == 0 ? 1 : here - r + 1;
  }
  // In index order: the entries that follow whose record numbers follow each other. Each probe
  // walks the index, so after one that finds the next record elsewhere the fetches that follow
  // skip it, for twice as many each time (up to 64): records in no particular key order do not
  // pay a walk each.
  if (readAheadPause_ > 0) {
    --readAheadPause_;
    return 1;
  }
  uint32_t run = 1;
  uint32_t previous = currentRecordNo_;
  uint64_t p = sequence_;
  bool settled = false;
  // Forward from the leaf place the last step left, the entries that follow are taken from their
  // leaf one step each, where a walk by position descends from the root for every one. Where the
  // place no longer holds (or the leaves end) the walk by position goes on from there.
  if (forward && !bitmapView_ && stepPlace_.file != 0 && stepPosition_ == sequence_ &&
      keySlot_ == GetCurrentIndex()) {
    TLeafPlace place = stepPlace_;
    std::array<TKeyEntry, 2> entries;
    const uint8_t* at = currentKey_.data();
    uint32_t reference = currentRecordNo_;
    for (size_t i = 0;; i ^= 1) {
      if (run >= readAheadCount || run >= 64) {
        settled = true;
        break;
      }
      TKeyEntry& next = entries[i];
      if (!treeOf(*this).StepForward(place, at, reference, next)) break;
      ++p;
      if (next.reference != previous + 1) {
        settled = true;
        break;
      }
      previous = reference = next.reference;
      at = next.key.data();
      ++run;
    }
  }
  std::array<uint8_t, kMaxCursorKeySize + 1> key{};
  for (; !settled && run < readAheadCount && run < 64; ++run) {
    p = forward ? p + 1 : p - 1;
    uint32_t ref = 0;
    if (p == 0 || !treeOf(*this).KeyAtPosition(p, key.data(), ref)) break;
    if (ref != (forward ? previous + 1 : previous - 1)) break;
    previous = ref;
  }
  readAheadPauseLength_ = run > 1 ? 0 : uint8_t(std::clamp(readAheadPauseLength_ * 2, 1, 64));
  readAheadPause_ = readAheadPauseLength_;
  return run;
}

int32_t TDataCursor::GetBlobBlockCount(int32_t size) const {
  if (size <= 0 || !table_) return 0;
  const uint32_t data = table_->BlobFile().GetBlockDataSize();
  return int32_t((uint64_t(size) + data - 1) / data);
}

}  // namespace engine
