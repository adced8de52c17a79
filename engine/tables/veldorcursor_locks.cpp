// The data cursor: lock pairs, record locks, change detection and write completion.
#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "platform/scopeguard.h"

#include <utility>

namespace engine {

using platform::UndoOnFailure;

bool TDataCursor::NeedsLocks() const {
  return active_ && !IsRemote() && !options_.Exclusive && !readOnlyAttribute_;
}

bool TDataCursor::SeesOtherWriters() const {
  return active_ && !(options_.Exclusive && !options_.CloneFlag) && !readOnlyAttribute_;
}

void TDataCursor::UpdateChangeCounters() {
  if (!table_ || IsRemote()) return;
  dataChangeCounter_ = table_->GetDataChangeCounter();
  indexChangeCounter_ = table_->GetIndexChangeCounter();
  blobChangeCounter_ = table_->GetBlobChangeCounter();
}

bool TDataCursor::TableChanged() {
  if (!SeesOtherWriters() || IsRemote()) return false;
  const uint32_t data = table_->GetDataChangeCounter();
  const uint32_t index = table_->GetIndexChangeCounter();
  const uint32_t blob = table_->GetBlobChangeCounter();
  if (data == dataChangeCounter_ && index == indexChangeCounter_ && blob == blobChangeCounter_) return false;
  dataChangeCounter_ = data;
  indexChangeCounter_ = index;
  blobChangeCounter_ = blob;
  return true;
}

void TDataCursor::TableWentBack() {
  if (!active_ || !table_) return;
  if (IsRemote()) {
    // The rollback's reply carries no cursor state: without a fresh one the cursor would go on
    // standing on records that are gone, and send that place with its next request.
    DropRecordBlock();
    return Refresh();
  }
  UpdateChangeCounters();
  filterViewStale_ = true;
  resyncPending_ = true;
  if (!bitmapView_) resyncIfPending();
}

void TDataCursor::resyncIfPending() {
  if (!std::exchange(resyncPending_, false) || !active_ || !table_) return;
  ReadScope scope(*this);
  resynchronise();
}

void TDataCursor::SyncWithTable() {
  if (!active_ || IsRemote()) return;
  if (resyncPending_) return resyncIfPending();
  if (Session().StrictChangeDetection()) {
    BeginRead();
  } else if (TableChanged()) {
    resynchronise();
  }
}

namespace {

// One of the table's lock pairs for a cursor. `taken` records whether this cursor took it: the
// pair may already be held for another cursor of the table, whose end is not this cursor's.
template <class Holds, class Begin, class End, class Resync>
bool beginPair(bool& taken, Holds holds, Begin begin, End end, TDataCursor& cursor, Resync resync) {
  if (taken) return false;
  const bool held = holds();
  bool changed = begin();
  taken = !held && holds();
  UndoOnFailure undo([&] {
    if (taken) {
      taken = false;
      end();
    }
  });
  // A table that re-read its headers also moved its counters; the cursor takes them either way.
  changed = cursor.TableChanged() || changed;
  if (changed) resync();
  undo.Dismiss();
  return changed;
}

}  // namespace

bool TDataCursor::beginReadInCachedStep() {
  if (std::exchange(cachedStepTookPair_, true)) return false;
  bool changed = false;
  try {
    const bool held = table_->HoldsReadPair();
    changed = table_->BeginRead();
    readTaken_ = !held && table_->HoldsReadPair();
  } catch (...) {
    throw CacheMiss{std::current_exception()};
  }
  // The counters the cursor holds stay as they are: the step that runs again under the pair
  // sees the difference and resynchronises (its BeginRead takes the pair afresh for that).
  if (changed || table_->GetDataChangeCounter() != dataChangeCounter_ ||
      table_->GetIndexChangeCounter() != indexChangeCounter_ ||
      table_->GetBlobChangeCounter() != blobChangeCounter_) {
    if (std::exchange(readTaken_, false)) table_->EndRead();
    throw CacheMiss{};
  }
  return false;
}

bool TDataCursor::BeginRead() {
  if (cachedRead_) return beginReadInCachedStep();
  // Under the write pair no other writer can change the table, and a read pair taken here (by a
  // page read inside the write) would outlive the write and block the next one.
  resyncIfPending();
  if (!NeedsLocks() || writeTaken_) return false;
  return beginPair(
      readTaken_, [&] { return table_->HoldsReadPair(); }, [&] { return table_->BeginRead(); },
      [&] { table_->EndRead(); }, *this, [&] { resynchronise(); });
}

void TDataCursor::EndRead() {
  // A pair taken inside a step on the caches lasts to the step's end.
  if (!readTaken_ || cachedRead_) return;
  readTaken_ = false;
  if (table_) table_->EndRead();
}

bool TDataCursor::HoldRead() {
  if (!active_ || IsRemote() || readTaken_) return false;
  BeginRead();
  return readTaken_;
}

bool TDataCursor::BeginQueryRead() {
  if (!NeedsLocks()) return false;
  return beginPair(
      queryReadTaken_, [&] { return table_->HoldsQueryReadPair(); }, [&] { return table_->BeginQueryRead(); },
      [&] { table_->EndQueryRead(); }, *this, [&] { resynchronise(); });
}

bool TDataCursor::BeginCountRead() {
  if (!NeedsLocks()) return false;
  return beginPair(
      queryReadTaken_, [&] { return table_->HoldsQueryReadPair(); }, [&] { return table_->BeginCountRead(); },
      [&] { table_->EndQueryRead(); }, *this, [&] { resynchronise(); });
}

void TDataCursor::EndQueryRead() {
  if (!queryReadTaken_) return;
  queryReadTaken_ = false;
  if (table_) table_->EndQueryRead();
}

bool TDataCursor::BeginWrite() {
  loadDeferredRecord();
  resyncIfPending();
  if (!NeedsLocks() || options_.ReadOnly) return false;
  return beginPair(
      writeTaken_, [&] { return table_->HoldsWritePair(); }, [&] { return table_->BeginWrite(); },
      [&] { table_->EndWrite(); }, *this, [&] { resynchronise(); });
}

void TDataCursor::EndWrite() {
  if (!writeTaken_) return;
  writeTaken_ = false;
  if (table_) table_->EndWrite();
}

void TDataCursor::LockRecord(uint32_t recordNo) {
  if (IsRemote()) return remoteLockRecord(recordNo);
  if (!NeedsLocks()) return;
  const uint32_t record = recordNo != 0 ? recordNo : currentRecordNo_;
  // The lock bytes belong to the process: a second cursor of it would be granted the same
  // record again, so it is refused here without waiting.
  if (record == 0 || table_->RecordLockInUse(record)) Raise(VELDOR_RECLOCKFAILED);
  const bool changed = table_->LockRecord(record);
  lockedRecordNo_ = record;
  if (TableChanged() || changed) resynchronise();
}

void TDataCursor::UnlockRecord(bool noSend, uint32_t recordNo) {
  if (!active_) return;
  if (IsRemote()) {
    if (!noSend) exchange(REQUEST_WRITEUNLOCKRECORD, remotePosition().U32(recordNo));
    return remoteUnlockMark(recordNo);
  }
  if (!NeedsLocks()) return;
  const uint32_t record = recordNo != 0 ? recordNo : lockedRecordNo_;
  if (record == 0) return;
  if (record == lockedRecordNo_) lockedRecordNo_ = 0;
  table_->UnlockRecord(record);
}

void TDataCursor::FlushBuffers(bool force, bool trimCaches, bool dataChanged, bool indexChanged,
                               bool blobChanged) {
  if (!active_) return;
  if (IsRemote()) {
    exchange(REQUEST_FLUSHBUFFERS, TCursorRequest{}
                                       .U32(serverCursor_)
                                       .U8(force)
                                       .U8(trimCaches)
                                       .U8(dataChanged)
                                       .U8(indexChanged)
                                       .U8(blobChanged));
    return;
  }
  if (!options_.Exclusive || force) {
    table_->FlushTable(trimCaches, dataChanged, Session().ForceBufferFlush() != 0, blobChanged, indexChanged);
  } else {
    // Held exclusively: the headers go out at close; only their counters move now.
    if (dataChanged) table_->DataFile().IncChangeCounter();
    if (indexChanged) table_->IndexFile().IncChangeCounter();
    if (blobChanged && table_->BlobFileInUse()) table_->BlobFile().IncChangeCounter();
  }
  // The cursor's own writes are no change by another writer.
  UpdateChangeCounters();
}

}  // namespace engine
