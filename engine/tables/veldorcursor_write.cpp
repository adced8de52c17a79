// The data cursor: keys, index upkeep, and the record writes (append, modify, delete).
//
// A write checks everything that can refuse it (writable, field rules, the record's lock, the
// unique id, every unique key) before it changes the first key. The key changes that follow are
// recorded, and a failure part way (a full index file, an I/O error) takes them back, so that no
// key is left pointing at a record that was not written.
#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>
#include <span>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorbtree.h"
#include "engine/storage/veldorkeys.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "platform/scopeguard.h"
#include "platform/textrules.h"

namespace engine {

using platform::ScopeExit;
using platform::UndoOnFailure;

namespace {

// Ends the write pair a write took, unless the caller already held it.
auto endWriteUnlessHeld(TDataCursor& c, bool held) {
  return ScopeExit([&c, held] {
    if (!held) c.EndWrite();
  });
}

// Releases a record lock the write took itself; a failed release must not hide the write's own
// error, and the lock goes with the process in any case.
auto unlockIfTaken(TDataCursor& c, const bool& locked) {
  return ScopeExit([&c, &locked] {
    if (!locked) return;
    try {
      c.UnlockRecord();
    } catch (...) {
    }
  });
}

// Key i of those buildWriteKeys built.
std::span<const uint8_t> writeKey(const TCursorWriteScratch& scratch, size_t i) {
  return {scratch.keys.data() + scratch.keyAt[i], scratch.keyAt[i + 1] - scratch.keyAt[i]};
}

uint32_t uniqueIdOf(const uint8_t* record) {
  uint32_t id;
  std::memcpy(&id, record + 5, 4);
  return id;
}
void setUniqueId(uint8_t* record, uint32_t id) {
  std::memcpy(record + 5, &id, 4);
}
void setRecordNo(uint8_t* record, uint32_t recordNo) {
  std::memcpy(record + 1, &recordNo, 4);
}

}  // namespace

// ---- Keys ----

uint16_t TDataCursor::GetKeySize() const {
  return InRecordNumberOrder() ? 4 : currentKeySize_;
}

uint8_t TDataCursor::GetIndexCount() const {
  return table_ ? table_->IndexFile().GetIndexCount() : 0;
}

void TDataCursor::BuildRecordIdKey(const uint8_t* record, uint8_t* key) {
  key[0] = record[0];
  EncodeIntegerKey(int32_t(uniqueIdOf(record)), key + 1);
}

void TDataCursor::BuildKey(const uint8_t* record, uint8_t* key, const uint8_t* idSource) const {
  const uint8_t slot = GetCurrentIndex();
  if (slot == kSysDeletedSlot) return BuildRecordIdKey(record, key);
  std::memset(key, 0, GetKeySize());
  if (InRecordNumberOrder()) {
    uint32_t recordNo;
    std::memcpy(&recordNo, record + 1, 4);
    EncodeWordKey(uint16_t(recordNo >> 16), key);
    EncodeWordKey(uint16_t(recordNo), key + 2);
    return;
  }
  uint32_t offset = 0;
  for (size_t i = 0; i < keyFields_.size(); ++i) {
    const TFieldDescriptor& f = keyFields_[i];
    const uint32_t size = GetFieldKeySize(f.Span());
    // The value fills its stored size, and a key part reads no further than its own size or 4
    // bytes: clearing the whole buffer for each field was half the cost of a key.
    std::array<uint8_t, kValueBufferSize> value;
    std::memset(value.data(), 0, std::min<size_t>(kValueBufferSize, std::max<uint32_t>(size, 4)));
    bool isNull = false;
    ReadFieldValue(f, record, isNull, value.data());
    key[offset] = isNull ? 0 : 1;
    const bool descending = !indexDescending_ && keyFieldDescending_[i];
    BuildFieldKey(f.Span(), {value.data(), std::max<size_t>(f.StoredSize(), 4)}, {key + offset, size + 1u},
                  indexCaseInsensitive_, descending, languageId_, sortId_);
    offset += size + 1;
  }
  if (!indexUnique_) EncodeIntegerKey(int32_t(uniqueIdOf(idSource)), key + offset);
}

bool TDataCursor::keyExists(const uint8_t* key) {
  return TIndexTree(table_->IndexFile(), *this, GetCurrentIndex()).HasKey(key);
}

void TDataCursor::insertKey(const uint8_t* key, uint32_t recordNo) {
  TIndexTree(table_->IndexFile(), *this, GetCurrentIndex()).InsertKey(key, recordNo);
}

void TDataCursor::insertKeysInOrder(const uint8_t* keys, const uint32_t* records, size_t count,
                                    bool inOrder) {
  const uint16_t k = currentKeySize_;
  const auto keyOf = [&](uint32_t i) { return keys + size_t(i) * k; };
  if (inOrder && table_->IndexFile().GetRootPageNumber(GetCurrentIndex()) == 0)
    return TIndexTree(table_->IndexFile(), *this, GetCurrentIndex()).BuildFromSorted(count, keys, records);
  std::vector<uint32_t> order(count);
  std::iota(order.begin(), order.end(), 0u);
  // Keys that compare equal keep their records' order, as one insert after another would. Keys
  // gathered in order (record ids, keys of a copy of a table in key order) need no sort at all.
  const int byteOrder = ByteOrder();
  const auto compare = [&](uint32_t a, uint32_t b) {
    return byteOrder != 0 ? CompareBytes(keyOf(a), keyOf(b), k, byteOrder < 0)
                          : CompareKeys(keyOf(a), keyOf(b), k);
  };
  const auto less = [&](uint32_t a, uint32_t b) {
    const int c = compare(a, b);
    return c < 0 || (c == 0 && a < b);
  };
  if (!std::is_sorted(order.begin(), order.end(), less)) {
    if (byteOrder == 0)
      std::sort(order.begin(), order.end(), less);
    else
      SortKeyBytes(keys, k, k, byteOrder < 0, order);
  }
  TIndexTree tree(table_->IndexFile(), *this, GetCurrentIndex());
  const bool empty = table_->IndexFile().GetRootPageNumber(GetCurrentIndex()) == 0;
  if (indexUnique_) {
    for (size_t i = 1; i < count; ++i)
      if (CompareKeys(keyOf(order[i - 1]), keyOf(order[i]), k) == 0) raiseKeyViolation();
    if (!empty)
      for (uint32_t i : order)
        if (keyExists(keyOf(i))) raiseKeyViolation();
  }
  if (empty)
    return tree.BuildFromSorted(
        count, [&](size_t i) { return keyOf(order[i]); }, [&](size_t i) { return records[order[i]]; });
  for (uint32_t i : order) insertKey(keyOf(i), records[i]);
}

void TDataCursor::removeKey(const uint8_t* key) {
  if (!TIndexTree(table_->IndexFile(), *this, GetCurrentIndex()).DeleteKey(key))
    Raise(VELDOR_INDEXCORRUPT, {}, currentIndexName_);
}

void TDataCursor::raiseKeyViolation() const {
  Raise(VELDOR_KEYVIOL, {}, GetCurrentIndex() == kPrimarySlot ? std::string("Primary") : currentIndexName_);
}

std::vector<uint8_t> TDataCursor::writtenSlots() const {
  std::vector<uint8_t> slots;
  writtenSlots(slots);
  return slots;
}

void TDataCursor::writtenSlots(std::vector<uint8_t>& slots) const {
  slots.clear();
  if (!table_->NoPrimaryIndex()) slots.push_back(kPrimarySlot);
  for (uint8_t s = 1, count = GetIndexCount(); s <= count; ++s) slots.push_back(s);
}

void TDataCursor::buildWriteKeys(const uint8_t* record, TCursorWriteScratch& scratch, bool checkUnique) {
  scratch.keys.clear();
  scratch.keyAt.clear();
  for (uint8_t slot : scratch.slots) {
    SelectIndex(slot);
    const size_t at = scratch.keys.size();
    scratch.keyAt.push_back(uint32_t(at));
    scratch.keys.resize(at + currentKeySize_);
    BuildKey(record, scratch.keys.data() + at, record);
    if (checkUnique && !skipKeyChecks() && indexUnique_ && keyExists(scratch.keys.data() + at))
      raiseKeyViolation();
  }
  scratch.keyAt.push_back(uint32_t(scratch.keys.size()));
}

void TDataCursor::writeRecord(uint32_t recordNo, const uint8_t* image) {
  TDataFile& data = table_->DataFile();
  TRecord* record = nullptr;
  if (!data.GetRecord(nullptr, recordNo, record)) Raise(VELDOR_FILECORRUPT);
  record->SetFieldData(image);
  record->SetUniqueId(uniqueIdOf(image));
  std::memcpy(recordBuffer_.data(), record->GetBuffer(),
              std::min<size_t>(recordBuffer_.size(), data.GetRecordSize()));
  data.ReleaseRecord(record);
}

bool TDataCursor::placeSeenCurrent() const {
  // No other cursor or process changed the table since this cursor last looked or wrote.
  return table_ && !IsRemote() && table_->GetDataChangeCounter() == dataChangeCounter_ &&
         table_->GetIndexChangeCounter() == indexChangeCounter_ &&
         table_->GetBlobChangeCounter() == blobChangeCounter_;
}

// ---- Indexes ----

void TDataCursor::SwitchToIndex(uint8_t slot) {
  if (slot == GetCurrentIndex()) return;
  if (IsRemote()) return remoteSwitchToIndex(slot);
  makeIndexCurrent(slot);
}

void TDataCursor::SwitchToIndexUnplaced(uint8_t slot) {
  if (slot == GetCurrentIndex()) return;
  if (IsRemote()) return remoteSwitchToIndex(slot);
  makeIndexCurrent(slot, false);
}

void TDataCursor::DeleteIndexPages(uint8_t slot) {
  TIndexFile& index = table_->IndexFile();
  const uint32_t root = index.GetRootPageNumber(slot);
  if (root == 0) return;
  const uint8_t saved = GetCurrentIndex();
  SetCurrentIndex(slot);
  uint32_t pagesLeft = index.GetLastPageNumber();
  std::vector<uint32_t> pending{root};
  while (!pending.empty()) {
    const uint32_t number = pending.back();
    pending.pop_back();
    if (pagesLeft-- == 0) Raise(VELDOR_INDEXCORRUPT, {}, index.GetIndexName(slot));
    TPage* page = nullptr;
    if (!index.GetPage(*this, number, page)) Raise(VELDOR_INDEXCORRUPT, {}, index.GetIndexName(slot));
    if (page->IsBranch())
      for (uint32_t i = 1; i <= page->GetEntryCount(); ++i) pending.push_back(page->GetEntryRef(i));
    index.FreePage(*this, *page);
    index.ReleasePage(page);
  }
  index.SetRootPage(slot, 0);
  SetCurrentIndex(saved);
}

void TDataCursor::AddSecondaryIndex(TIndexDescriptor& descriptor) {
  CheckExclusive();
  CheckWritable();
  if (!active_) Raise(VELDOR_TABLEOPEN);
  uint32_t keySize = 0;
  uint8_t count = 0;
  for (uint16_t number : descriptor.fields) {
    if (number == 0) break;
    uint16_t position = 0;
    const TFieldDescriptor* f = table_->DataFile().FindFieldByNumber(number, position);
    if (!f) Raise(VELDOR_INVALIDIDXDESC, std::to_string(number), descriptor.name);
    keySize += GetFieldKeySize(f->Span()) + 1u;
    ++count;
  }
  if (keySize == 0) Raise(VELDOR_INVALIDKEY, {}, descriptor.name);
  if (!descriptor.unique) keySize += kUniqueIdKeySize;
  if (keySize > kMaxKeyFieldsSize) Raise(VELDOR_INVALIDKEY, {}, descriptor.name);
  descriptor.keySize = uint16_t(keySize);
  descriptor.fieldCount = count;
  if (IsRemote()) return remoteAddSecondaryIndex(descriptor);
  TIndexFile& index = table_->IndexFile();
  const uint8_t slot = index.AddSecondaryIndex(descriptor);
  auto keep = KeepCurrentIndex(*this);
  // Records are never deleted to make a unique index fit: the index goes again instead.
  UndoOnFailure undo([&] {
    DeleteIndexPages(slot);
    index.DeleteIndexDescriptor(slot, true);
  });
  SelectIndex(slot);
  const uint32_t last = table_->DataFile().GetLastRecordNumber();
  std::vector<uint8_t> image(recordSize_), keys;
  std::vector<uint32_t> records;
  const auto putBatch = [&] {
    insertKeysInOrder(keys.data(), records.data(), records.size());
    keys.clear();
    records.clear();
  };
  TProgress progress(*this, indexProgressHook_, last);
  for (uint32_t n = 1; n <= last; progress.Done(n++)) {
    readRecord(n, image.data(), true);
    if (image[0] != kRecordInUse) continue;
    keys.resize(keys.size() + currentKeySize_);
    BuildKey(image.data(), keys.data() + keys.size() - currentKeySize_, image.data());
    records.push_back(n);
    if (keys.size() >= kKeyBatchBytes) putBatch();
  }
  putBatch();
  undo.Dismiss();
  SetToBegin();
}

void TDataCursor::DeleteIndex(std::string_view name) {
  CheckExclusive();
  CheckWritable();
  if (!active_) Raise(VELDOR_TABLEOPEN);
  TIndexFile& index = table_->IndexFile();
  const std::string wanted(TrimBlanks(name));
  const auto same = platform::equalIgnoringAsciiCase;
  int found = -1;
  for (uint8_t s = 0; s <= index.GetIndexCount() && found < 0; ++s)
    if (same(TrimBlanks(std::string_view(index.GetIndexName(s))), wanted)) found = s;
  if (found < 0) Raise(VELDOR_INVALIDINDEXNAME, {}, wanted);
  if (IsRemote()) return remoteDeleteIndex(name, uint8_t(found));
  DeleteIndexPages(uint8_t(found));
  index.DeleteIndexDescriptor(uint8_t(found), true);
  // Whichever index was current, the primary one is now, without the old range.
  makeIndexCurrent(kPrimarySlot);
  SetToBegin();
}

void TDataCursor::BuildRecordIdIndex() {
  BeginWrite();
  auto endWrite = endWriteUnlessHeld(*this, false);
  auto keep = KeepCurrentIndex(*this);
  TIndexFile& index = table_->IndexFile();
  index.SetNoPrimaryIndex(true);
  SelectIndex(kSysDeletedSlot);
  const uint32_t last = table_->DataFile().GetLastRecordNumber();
  std::vector<uint8_t> image(recordSize_);
  uint8_t key[kSysDeletedKeySize];
  uint32_t used = 0;
  for (uint32_t n = 1; n <= last; ++n) {
    readRecord(n, image.data(), true);
    BuildRecordIdKey(image.data(), key);
    insertKey(key, n);
    if (image[0] == kRecordInUse) ++used;
  }
  index.SetRecordCount(used);
  FlushBuffers(true, false, false, true, false);
}

// ---- Record writes ----

namespace {

// Applies key changes and takes them back when the write fails before it is done. The changes
// and their keys are kept in the write's scratch.
class KeyJournal {
 public:
  using Change = TCursorWriteScratch::Change;
  KeyJournal(TDataCursor& cursor, std::vector<Change>& changes, std::vector<uint8_t>& bytes)
      : cursor_(cursor), changes_(changes), bytes_(bytes) {
    changes_.clear();
    bytes_.clear();
  }
  ~KeyJournal() {
    if (done_ || changes_.empty()) return;
    for (auto it = changes_.rbegin(); it != changes_.rend(); ++it) {
      try {
        cursor_.SelectIndex(it->slot);
        TIndexTree tree(cursor_.Table()->IndexFile(), cursor_, it->slot);
        if (it->insertedSize != 0) tree.DeleteKey(bytes_.data() + it->insertedAt);
        if (it->removedSize != 0) tree.InsertKey(bytes_.data() + it->removedAt, it->recordNo);
      } catch (...) {
        // The failure in flight is the one to report; the table's files are only written
        // by the flush that this write never reached.
      }
    }
  }
  KeyJournal(const KeyJournal&) = delete;
  KeyJournal& operator=(const KeyJournal&) = delete;
  // With `following`, a removal tells the entry after the removed one (TIndexTree::DeleteKey).
  // An empty span: no such key.
  void change(uint8_t slot, std::span<const uint8_t> removed, std::span<const uint8_t> inserted,
              uint32_t recordNo, TKeyEntry* following = nullptr) {
    cursor_.SelectIndex(slot);
    apply(slot, removed, inserted, recordNo, following);
  }
  // The record-id index's keys compare as bytes whatever index the cursor has selected
  // (TDataCursor::CompareKeys), so they change without selecting it: a selection checks and
  // copies the descriptor, and an append would pay for it twice, there and back. The tree ops
  // see the slot through the cursor's index part only, which is set back afterwards.
  void changeRecordId(std::span<const uint8_t> removed, std::span<const uint8_t> inserted,
                      uint32_t recordNo) {
    const uint8_t selected = cursor_.CurrentIndex();
    try {
      apply(kSysDeletedSlot, removed, inserted, recordNo, nullptr);
    } catch (...) {
      cursor_.SetCurrentIndex(selected);
      throw;
    }
    cursor_.SetCurrentIndex(selected);
  }
  void done() { done_ = true; }

 private:
  void apply(uint8_t slot, std::span<const uint8_t> removed, std::span<const uint8_t> inserted,
             uint32_t recordNo, TKeyEntry* following) {
    TIndexTree tree(cursor_.Table()->IndexFile(), cursor_, slot);
    if (!removed.empty() && !tree.DeleteKey(removed.data(), 0, following))
      cursor_.Raise(VELDOR_INDEXCORRUPT, {},
                    slot == kSysDeletedSlot ? std::string(kSysDeletedName) : cursor_.CurrentIndexName());
    changes_.push_back({slot, recordNo, keep(removed), uint32_t(removed.size()), 0, 0});
    if (!inserted.empty()) {
      tree.InsertKey(inserted.data(), recordNo);
      changes_.back().insertedAt = keep(inserted);
      changes_.back().insertedSize = uint32_t(inserted.size());
    }
  }
  uint32_t keep(std::span<const uint8_t> key) {
    const uint32_t at = uint32_t(bytes_.size());
    bytes_.insert(bytes_.end(), key.begin(), key.end());
    return at;
  }

  TDataCursor& cursor_;
  std::vector<Change>& changes_;
  std::vector<uint8_t>& bytes_;
  bool done_ = false;
};

}  // namespace

// The text-index keys go through the journal with the write's other keys. True when any changed.
bool TDataCursor::journalTextChanges(KeyJournalRef journalRef, const uint8_t* oldBuffer,
                                     const uint8_t* newBuffer, uint32_t recordNo) {
  KeyJournal& journal = *static_cast<KeyJournal*>(journalRef);
  TTextChanges changes;
  textRecordChanges(oldBuffer, newBuffer, changes);
  for (const auto& key : changes.removed) journal.change(kSysTextSlot, key, {}, recordNo);
  for (const auto& key : changes.inserted) journal.change(kSysTextSlot, {}, key, recordNo);
  return !changes.removed.empty() || !changes.inserted.empty();
}

void TDataCursor::AppendRecord(uint8_t* buffer, bool reposition) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  CheckWritable();
  CheckFieldValues(buffer);
  if (IsRemote()) return remoteWrite(REQUEST_APPENDRECORD, buffer, {reposition});
  const bool writeTaken = writeTaken_;
  BeginWrite();
  // The append's ends in one guard (each guard asks for the exceptions in flight twice, a cost
  // of every row): the record lock it took, released; after a failure the cursor's index, which
  // a finished append selects again itself; the write pair unless the caller held it.
  struct Ends {
    TDataCursor& cursor;
    const bool writeHeld;
    const uint8_t index;
    const int pending = std::uncaught_exceptions();
    uint32_t locked = 0;
    ~Ends() noexcept(false) {
      const bool failing = std::uncaught_exceptions() > pending;
      if (locked != 0) {
        try {
          cursor.table_->UnlockRecord(locked);
        } catch (...) {
        }
      }
      if (failing) {
        try {
          cursor.SelectIndex(index);
        } catch (...) {
          cursor.SetCurrentIndex(kNoCurrentIndex);
        }
      }
      if (writeHeld) return;
      if (!failing) {
        cursor.EndWrite();
        return;
      }
      try {
        cursor.EndWrite();
      } catch (...) {
      }
    }
  } ends{*this, writeTaken, GetCurrentIndex()};
  const uint8_t ownIndex = ends.index;
  const TSelectedIndex* const ownSelection = applied_;
  TDataFile& data = table_->DataFile();
  TIndexFile& index = table_->IndexFile();
  const uint32_t recordNo = data.GetFreeRecordNumber();
  const bool reused = recordNo != data.GetNextRecordNumber();
  if (NeedsLocks()) {
    if (table_->RecordLockInUse(recordNo)) Raise(VELDOR_RECLOCKFAILED);
    table_->LockRecord(recordNo);
    ends.locked = recordNo;
  }
  // The id is drawn once, after every check; here it is only foreseen.
  uint32_t id = uniqueIdOf(buffer);
  if (!suppressAutoInc_) {
    if (data.GetLastUniqueId() >= kMaxCounterValue) Raise(VELDOR_TABLEFULL);
    id = data.GetLastUniqueId() + 1;
  }
  buffer[0] = kRecordInUse;
  setRecordNo(buffer, recordNo);
  setUniqueId(buffer, id);
  auto held = takeWriteScratch();
  TCursorWriteScratch& scratch = held.scratch;
  std::array<uint8_t, kSysDeletedKeySize> idKey, oldIdKey;
  if (reused) {
    scratch.image.resize(recordSize_);
    readRecord(recordNo, scratch.image.data());
    if (scratch.image[0] != kRecordDeleted) Raise(VELDOR_FILECORRUPT);
    BuildRecordIdKey(scratch.image.data(), oldIdKey.data());
  }
  const std::vector<uint8_t>& slots = scratch.slots;
  writtenSlots(scratch.slots);
  // A unique index's key is looked for by its insert, which finds an equal key where a search
  // would and refuses it before it changes anything: a look first would walk the tree twice. The
  // keys inserted before it go back with the journal.
  buildWriteKeys(buffer, scratch, false);
  BuildRecordIdKey(buffer, idKey.data());
  // A key that a unique index holds, then a taken explicit id: what a row is refused for before
  // any other failure of its inserts, as when every key was looked for first.
  const auto refuseFrom = [&](size_t first) {
    for (size_t j = first; j < slots.size(); ++j) {
      SelectIndex(slots[j]);
      if (!skipKeyChecks() && indexUnique_ && keyExists(writeKey(scratch, j).data())) raiseKeyViolation();
    }
    if (suppressAutoInc_) {
      SelectIndex(kSysDeletedSlot);
      if (keyExists(idKey.data())) raiseKeyViolation();
    }
  };
  KeyJournal journal(*this, scratch.changes, scratch.journalBytes);
  for (size_t i = 0; i < slots.size(); ++i) {
    try {
      journal.change(slots[i], {}, writeKey(scratch, i), recordNo);
    } catch (const EVELDOREngineError& e) {
      // Refused as the look before the insert refused it.
      if (e.ErrorCode() == VELDOR_KEYVIOL && !skipKeyChecks() && indexUnique_) raiseKeyViolation();
      // Another failure (an index file without room) waits for the later indexes' looks; a
      // failing insert changed nothing, and the journal takes back the earlier ones.
      refuseFrom(i + 1);
      throw;
    }
  }
  refuseFrom(slots.size());
  journal.changeRecordId(reused ? std::span<const uint8_t>(oldIdKey) : std::span<const uint8_t>(), idKey,
                         recordNo);
  journalTextChanges(&journal, nullptr, buffer, recordNo);
  const bool blobsSaved = writeRecordBlobs(buffer, recordNo);
  if (!reused && recordSize_ >= data.GetRecordSize()) {
    // A new slot after the last one goes to the held writes as it is, as a bulk append's run
    // does: the buffer is already the slot's image (status, number, id, fields). Through the
    // record cache it evicted an older slot, then was copied out again when the cache filled.
    const uint8_t* image = buffer;
    data.AppendRecordImages(&image, 1);
    if (!suppressAutoInc_)
      data.NextUniqueId();
    else if (id > data.GetLastUniqueId())
      data.SetLastUniqueId(id);
    std::memcpy(recordBuffer_.data(), buffer, data.GetRecordSize());
  } else {
    TRecord* record = nullptr;
    if (!data.AllocateRecord(nullptr, record) || record->GetRecordNumber() != recordNo) {
      if (record) data.ReleaseRecord(record);
      Raise(VELDOR_FILECORRUPT);
    }
    record->Initialize(false);
    if (!suppressAutoInc_)
      data.NextUniqueId();
    else if (id > data.GetLastUniqueId())
      data.SetLastUniqueId(id);
    record->SetFieldData(buffer);
    record->SetUniqueId(id);
    std::memcpy(recordBuffer_.data(), record->GetBuffer(),
                std::min<size_t>(recordSize_, data.GetRecordSize()));
    data.ReleaseRecord(record);
  }
  index.IncRecordCount();
  journal.done();
  currentRecordNo_ = recordNo;
  FilterRecordChanged(recordNo, recordBuffer_.data());
  FlushBuffers(false, false, true, true, blobsSaved);
  // Without another index's keys the cursor's selection never changed (the record-id keys
  // change without selecting their index).
  if (GetCurrentIndex() != ownIndex || applied_ != ownSelection) SelectIndex(ownIndex);
  if (reposition)
    AddToView(recordNo, true);
  else
    viewAfterWrite(recordNo, true);
}

void TDataCursor::ModifyRecord(uint8_t* buffer, bool unlock, bool reposition) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  CheckWritable();
  CheckFieldValues(buffer);
  if (IsRemote()) {
    remoteWrite(REQUEST_MODIFYRECORD, buffer, {unlock, reposition});
    // The server released its lock; the record is no longer locked for this cursor.
    if (unlock && Session().LockProtocol() == lpPessimistic) UnlockRecord(true);
    return;
  }
  if (currentRecordNo_ == 0 || atBOF_ || atEOF_) Raise(VELDOR_NOCURRREC);
  loadDeferredRecord();
  const bool optimistic = Session().LockProtocol() == lpOptimistic;
  // The record images live in the cursor's scratch: a bulk UPDATE makes one write a row.
  auto held = takeWriteScratch();
  std::vector<uint8_t>& edited = held.scratch.edited;
  edited.assign(recordBuffer_.begin(), recordBuffer_.end());
  const bool writeTaken = writeTaken_;
  BeginWrite();
  auto endWrite = endWriteUnlessHeld(*this, writeTaken);
  const uint8_t ownIndex = GetCurrentIndex();
  auto keep = KeepCurrentIndex(*this);
  const bool placeCurrent = placeSeenCurrent();
  const uint32_t recordNo = currentRecordNo_;
  std::vector<uint8_t>& old = held.scratch.image;
  old.assign(recordSize_, 0);
  bool lockedHere = false;
  auto release = unlockIfTaken(*this, lockedHere);
  if (NeedsLocks()) {
    if (optimistic && recordChanged_) Raise(VELDOR_KEYORRECDELETED);
    // Without the record's lock the edit could overwrite another writer's change: the image it
    // was made from must still be the record's.
    if (optimistic || lockedRecordNo_ != recordNo) {
      readRecord(recordNo, old.data());
      if (std::memcmp(old.data(), edited.data(), StoredRecordSize()) != 0) {
        if (optimistic) recordChanged_ = true;
        Raise(VELDOR_KEYORRECDELETED);
      }
      LockRecord(recordNo);
      lockedHere = optimistic || unlock;
    } else {
      lockedHere = unlock;
    }
  }
  readRecord(recordNo, old.data());
  if (old[0] != kRecordInUse) Raise(VELDOR_KEYORRECDELETED);
  TDataFile& data = table_->DataFile();
  if (!suppressAutoInc_) setUniqueId(buffer, uniqueIdOf(old.data()));
  buffer[0] = kRecordInUse;
  setRecordNo(buffer, recordNo);
  const std::vector<uint8_t> slots = writtenSlots();
  std::vector<std::vector<uint8_t>> oldKeys, newKeys;
  for (uint8_t slot : slots) {
    SelectIndex(slot);
    oldKeys.emplace_back(currentKeySize_);
    newKeys.emplace_back(currentKeySize_);
    BuildKey(old.data(), oldKeys.back().data(), old.data());
    BuildKey(buffer, newKeys.back().data(), buffer);
    if (oldKeys.back() != newKeys.back() && !skipKeyChecks() && indexUnique_ &&
        keyExists(newKeys.back().data()))
      raiseKeyViolation();
  }
  std::array<uint8_t, kSysDeletedKeySize> oldIdKey, idKey;
  BuildRecordIdKey(old.data(), oldIdKey.data());
  BuildRecordIdKey(buffer, idKey.data());
  if (oldIdKey != idKey) {
    SelectIndex(kSysDeletedSlot);
    if (keyExists(idKey.data())) raiseKeyViolation();
  }
  KeyJournal journal(*this, held.scratch.changes, held.scratch.journalBytes);
  bool keysChanged = false;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (oldKeys[i] == newKeys[i]) continue;
    journal.change(slots[i], oldKeys[i], newKeys[i], recordNo);
    keysChanged = true;
  }
  if (oldIdKey != idKey) {
    journal.change(kSysDeletedSlot, oldIdKey, idKey, recordNo);
    keysChanged = true;
  }
  if (uniqueIdOf(buffer) > data.GetLastUniqueId()) data.SetLastUniqueId(uniqueIdOf(buffer));
  keysChanged = journalTextChanges(&journal, old.data(), buffer, recordNo) || keysChanged;
  // Standing on this record by its key in its own index, whose entry the write leaves as it was:
  // the search that repositioning makes would find the same entry at the same sequence number.
  bool placeKept = false;
  if (reposition && placeCurrent && !bitmapView_ && !rangeSet_ && !InRecordNumberOrder() &&
      keySlot_ == ownIndex)
    for (size_t i = 0; i < slots.size(); ++i)
      if (slots[i] == ownIndex)
        placeKept =
            oldKeys[i] == newKeys[i] && std::memcmp(currentKey_.data(), oldKeys[i].data(),
                                                    std::min(oldKeys[i].size(), currentKey_.size())) == 0;
  const bool blobsSaved = writeRecordBlobs(buffer, recordNo);
  writeRecord(recordNo, buffer);
  journal.done();
  FilterRecordChanged(recordNo, recordBuffer_.data());
  FlushBuffers(false, false, true, keysChanged, blobsSaved);
  SelectIndex(ownIndex);
  if (placeKept) {
    viewAfterWrite(recordNo, true);
    loadPositionRecord();
  } else if (reposition) {
    AddToView(recordNo);
  } else {
    viewAfterWrite(recordNo, true);
  }
}

void TDataCursor::CancelRecord() {
  // Older servers know no such request: the local steps below then unlock through the server.
  if (IsRemote() && GetServerVersion() >= 30900) {
    requests().ReadCursorState(*this, exchange(REQUEST_CANCELRECORD, TCursorRequest{}.U32(serverCursor_)));
    if (Session().LockProtocol() == lpPessimistic && lockedRecordNo_ != 0) remoteUnlockMark(0);
    return;
  }
  if (Session().LockProtocol() == lpPessimistic) {
    if (lockedRecordNo_ != 0) UnlockRecord();
  } else {
    recordChanged_ = false;
  }
}

void TDataCursor::DeleteRecord(const uint8_t* buffer, bool reposition) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  CheckWritable();
  if (IsRemote()) return remoteWrite(REQUEST_DELETERECORD, buffer, {reposition});
  if (currentRecordNo_ == 0 || atBOF_ || atEOF_) Raise(VELDOR_NOCURRREC);
  const bool writeTaken = writeTaken_;
  BeginWrite();
  auto endWrite = endWriteUnlessHeld(*this, writeTaken);
  const uint8_t ownIndex = GetCurrentIndex();
  auto keep = KeepCurrentIndex(*this);
  const bool placeCurrent = placeSeenCurrent();
  const uint32_t recordNo = currentRecordNo_;
  auto held = takeWriteScratch();
  TCursorWriteScratch& scratch = held.scratch;
  std::vector<uint8_t>& current = scratch.image;
  current.resize(recordSize_);
  readRecord(recordNo, current.data());
  bool lockedHere = false;
  auto release = unlockIfTaken(*this, lockedHere);
  if (NeedsLocks()) {
    if (!table_->RecordLockInUse(recordNo)) {
      if (buffer && std::memcmp(current.data(), buffer, StoredRecordSize()) != 0)
        Raise(VELDOR_KEYORRECDELETED);
      LockRecord(recordNo);
    } else if (lockedRecordNo_ != recordNo) {
      Raise(VELDOR_RECLOCKFAILED);
    }
    lockedHere = true;
  }
  if (current[0] != kRecordInUse) Raise(VELDOR_KEYORRECDELETED);
  const std::vector<uint8_t>& slots = scratch.slots;
  writtenSlots(scratch.slots);
  buildWriteKeys(current.data(), scratch, false);
  std::array<uint8_t, kSysDeletedKeySize> idKey, freeKey;
  BuildRecordIdKey(current.data(), idKey.data());
  current[0] = kRecordDeleted;
  BuildRecordIdKey(current.data(), freeKey.data());
  current[0] = kRecordInUse;
  // A key that is missing from its index fails its removal (VELDOR_INDEXCORRUPT, naming the
  // index) and the journal puts back the keys removed before it: no search for each key first.
  // Standing on this record by its key in its own index: the entry after it takes its position,
  // which is where repositioning would put the cursor, found without another search.
  size_t own = slots.size();
  if (reposition && placeCurrent && !bitmapView_ && !rangeSet_ && !InRecordNumberOrder() &&
      keySlot_ == ownIndex && sequence_ != 0)
    for (size_t i = 0; i < slots.size(); ++i)
      if (slots[i] == ownIndex && std::memcmp(currentKey_.data(), writeKey(scratch, i).data(),
                                              std::min(writeKey(scratch, i).size(), currentKey_.size())) == 0)
        own = i;
  TKeyEntry following;
  KeyJournal journal(*this, scratch.changes, scratch.journalBytes);
  for (size_t i = 0; i < slots.size(); ++i)
    journal.change(slots[i], writeKey(scratch, i), {}, recordNo, i == own ? &following : nullptr);
  journal.change(kSysDeletedSlot, idKey, freeKey, recordNo);
  // The record's chains go with it; edits of its blobs that were never saved go too.
  bool blobsSaved = false;
  const bool hasBlobs = HasBlobFields();
  if (hasBlobs) {
    for (auto& b : openBlobs_)
      if (b->data.GetOwnerId() == recordNo) b->data.SetDirty(false);
    ClearRecordBlobs(current.data());
  }
  journalTextChanges(&journal, current.data(), nullptr, recordNo);
  if (hasBlobs) blobsSaved = writeRecordBlobs(current.data(), recordNo);
  TDataFile& data = table_->DataFile();
  TRecord* record = nullptr;
  if (!data.GetRecord(nullptr, recordNo, record)) Raise(VELDOR_FILECORRUPT);
  data.FreeRecord(record);
  std::memcpy(recordBuffer_.data(), record->GetBuffer(), std::min<size_t>(recordSize_, data.GetRecordSize()));
  data.ReleaseRecord(record);
  table_->IndexFile().DecRecordCount();
  journal.done();
  FilterRecordDeleted(recordNo);
  FlushBuffers(false, false, true, true, blobsSaved);
  SelectIndex(ownIndex);
  if (own < slots.size() && following.valid) {
    viewAfterWrite(recordNo, false);
    atBOF_ = atEOF_ = false;
    standOn(sequence_, &following);
    deferRecordLoad();
  } else if (reposition) {
    RemoveFromView();
  } else {
    viewAfterWrite(recordNo, false);
  }
}

}  // namespace engine
