// Table restructuring: the headers rewritten in place when the records and keys stay as they are,
// the changed indexes built again in place when only keys change, otherwise every record copied
// into a new table that then takes the old one's place.
#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <unordered_set>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "engine/values/veldorvalues.h"
#include "platform/bytes.h"
#include "platform/debugassert.h"
#include "platform/scopeguard.h"

namespace engine {

using platform::ScopeExit;
using platform::UndoOnFailure;

namespace {

const TFieldDescriptor* byNumber(std::span<const TFieldDescriptor> fields, uint16_t number) {
  for (const TFieldDescriptor& d : fields)
    if (d.FieldNumber() == number) return &d;
  return nullptr;
}

TRestructureCase caseOf(uint16_t code) {
  if (code == VELDOR_KEYVIOL) return rcKeyViolation;
  if (code == VELDOR_MINVALERR || code == VELDOR_MAXVALERR || code == VELDOR_REQDERR) return rcValueRule;
  return rcWriteError;
}

// Slot `n` of a walk over every slot: a miss reads a run of the slots that follow, since the
// walk reads them next, whatever the cursor's view would read.
void readSlot(TDataCursor& c, TDataFile& data, uint32_t n, std::vector<uint8_t>& image) {
  TRecord* record = nullptr;
  if (!data.GetRecord(&c, n, record, true, false, true) && !data.GetRecord(&c, n, record, true, false, true))
    c.Raise(VELDOR_FILECORRUPT);
  std::memcpy(image.data(), record->GetBuffer(), std::min<size_t>(image.size(), data.GetRecordSize()));
  data.ReleaseRecord(record);
}

// The keys of one index being built: keys of one size side by side, with their records.
struct TBuiltKeys {
  uint16_t size = 0;
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> records;
  const uint8_t* at(uint32_t k) const { return bytes.data() + size_t(k) * size; }
};

// Orders keys (held ones by number, others by address) as the cursor's current index does.
struct TKeyOrder {
  using is_transparent = void;
  const TDataCursor* cursor;
  const TBuiltKeys* keys;
  const uint8_t* of(uint32_t k) const { return keys->at(k); }
  const uint8_t* of(const uint8_t* key) const { return key; }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const {
    return cursor->CompareKeys(of(a), of(b), keys->size) < 0;
  }
};

}  // namespace

// The unique keys are checked against the keys taken so far: those of the batch, and those
// already in the tree. Every new key of a record is checked before any is added, so a record
// that fails has none. A batch's set orders its keys as the cursor's current index does, so a
// key joins its set only while its own index is selected: the last record's keys wait for the
// next Check.
class TDataCursor::TKeyBatches {
 public:
  TKeyBatches(TDataCursor& cursor, std::vector<uint8_t> slots)
      : cursor_(cursor),
        slots_(std::move(slots)),
        keys_(slots_.size()),
        built_(slots_.size()),
        unique_(slots_.size()),
        inTree_(slots_.size()),
        pending_(slots_.size()),
        blobs_(cursor.HasBlobFields()) {
    for (const TBuiltKeys& b : built_) taken_.emplace_back(TKeyOrder{&cursor_, &b});
  }
  // Whether the cursor's table has blob fields (asked once).
  bool Blobs() const { return blobs_; }

  // Builds the record's keys; a key that breaks a unique index raises VELDOR_KEYVIOL.
  void Check(const uint8_t* image) {
    for (size_t i = 0; i < slots_.size(); ++i) {
      // One index, once selected here, stays selected from one record to the next.
      if (slots_.size() > 1 || !selected_ || cursor_.GetCurrentIndex() != slots_[i])
        cursor_.SelectIndex(slots_[i]);
      selected_ = true;
      if (pending_[i] != 0) taken_[i].insert(pending_[i] - 1);
      pending_[i] = 0;
      keys_[i].assign(cursor_.currentKeySize_, 0);
      cursor_.BuildKey(image, keys_[i].data(), image);
      unique_[i] = cursor_.indexUnique_;
      if (cursor_.indexUnique_ &&
          (taken_[i].count(keys_[i].data()) || (inTree_[i] && cursor_.keyExists(keys_[i].data()))))
        cursor_.raiseKeyViolation();
    }
  }
  // Adds the keys of the last Check for record `recordNo`.
  void Add(uint32_t recordNo) {
    for (size_t i = 0; i < slots_.size(); ++i) {
      TBuiltKeys& b = built_[i];
      b.size = uint16_t(keys_[i].size());
      b.bytes.insert(b.bytes.end(), keys_[i].begin(), keys_[i].end());
      b.records.push_back(recordNo);
      if (unique_[i]) pending_[i] = uint32_t(b.records.size());
      if (b.bytes.size() >= kKeyBatchBytes) put(i);
    }
  }
  // Puts every key held into the trees.
  void Finish() {
    for (size_t i = 0; i < slots_.size(); ++i) put(i);
  }

  // The unique ids of the records added: a copy mostly meets them rising, and then needs no
  // look-up.
  bool IdTaken(uint32_t id) const {
    if (rising_) return id <= highestId_ && std::binary_search(risingIds_.begin(), risingIds_.end(), id);
    return ids_.count(id) != 0;
  }
  void NoteId(uint32_t id) {
    if (rising_ && id > highestId_) {
      risingIds_.push_back(id);
      highestId_ = id;
      return;
    }
    if (rising_) {
      rising_ = false;
      ids_.insert(risingIds_.begin(), risingIds_.end());
      risingIds_.clear();
    }
    ids_.insert(id);
  }

 private:
  void put(size_t i) {
    cursor_.SelectIndex(slots_[i]);
    taken_[i].clear();
    pending_[i] = 0;
    cursor_.insertKeysInOrder(built_[i].bytes.data(), built_[i].records.data(), built_[i].records.size());
    built_[i].bytes.clear();
    built_[i].records.clear();
    inTree_[i] = true;
  }

  TDataCursor& cursor_;
  std::vector<uint8_t> slots_;
  std::vector<std::vector<uint8_t>> keys_;
  std::vector<TBuiltKeys> built_;
  std::vector<bool> unique_;
  std::vector<std::set<uint32_t, TKeyOrder>> taken_;
  std::vector<bool> inTree_;
  // Per index: 1 + the place in the batch of the last key added that has yet to join its set;
  // 0 for none.
  std::vector<uint32_t> pending_;
  bool blobs_;
  bool selected_ = false;
  bool rising_ = true;
  uint32_t highestId_ = 0;
  std::vector<uint32_t> risingIds_;
  std::unordered_set<uint32_t> ids_;
};

void TDataCursor::appendCopiedRecord(uint8_t* buffer, TKeyBatches& keys, std::vector<uint8_t>& staged) {
  VELMARON_DEBUG_ASSERT(!HasTextIndex(), "a copy's words go in record by record");
  CheckFieldValues(buffer);
  TDataFile& data = table_->DataFile();
  const uint32_t size = data.GetRecordSize();
  const uint32_t waiting = uint32_t(staged.size() / size);
  if (data.GetFreeRecordNumber() != data.GetNextRecordNumber()) Raise(VELDOR_FILECORRUPT);
  data.CheckRoomForRecords(waiting + 1);
  const uint32_t recordNo = data.GetNextRecordNumber() + waiting;
  // The id is drawn once, after every check; here it is only foreseen.
  uint32_t id = 0;
  std::memcpy(&id, buffer + 5, 4);
  if (!suppressAutoInc_) {
    if (data.GetLastUniqueId() >= kMaxCounterValue) Raise(VELDOR_TABLEFULL);
    id = data.GetLastUniqueId() + 1;
  }
  buffer[0] = kRecordInUse;
  std::memcpy(buffer + 1, &recordNo, 4);
  std::memcpy(buffer + 5, &id, 4);
  keys.Check(buffer);
  if (suppressAutoInc_ && keys.IdTaken(id)) {
    SelectIndex(kSysDeletedSlot);
    raiseKeyViolation();
  }
  if (keys.Blobs()) writeRecordBlobs(buffer, recordNo);
  if (!suppressAutoInc_)
    data.NextUniqueId();
  else if (id > data.GetLastUniqueId())
    data.SetLastUniqueId(id);
  staged.insert(staged.end(), buffer, buffer + size);
  table_->IndexFile().IncRecordCount();
  keys.Add(recordNo);
  if (suppressAutoInc_) keys.NoteId(id);
}

void TDataCursor::appendStagedRecords(std::vector<uint8_t>& staged) {
  TDataFile& data = table_->DataFile();
  data.AppendRecordImages(staged.data(), uint32_t(staged.size() / data.GetRecordSize()));
  staged.clear();
}

void TDataCursor::DeleteRecordDuringRebuild(uint32_t recordNo, const TRebuiltSlots& rebuilt) {
  TDataFile& data = table_->DataFile();
  std::vector<uint8_t> current(recordSize_), key(kMaxCursorKeySize + 1);
  readRecord(recordNo, current.data());
  if (current[0] != kRecordInUse) Raise(VELDOR_FILECORRUPT);
  for (uint8_t slot : writtenSlots()) {
    if (rebuilt[slot]) continue;
    SelectIndex(slot);
    BuildKey(current.data(), key.data(), current.data());
    removeKey(key.data());
  }
  uint8_t idKey[kSysDeletedKeySize];
  uint8_t freeKey[kSysDeletedKeySize];
  BuildRecordIdKey(current.data(), idKey);
  current[0] = kRecordDeleted;
  BuildRecordIdKey(current.data(), freeKey);
  current[0] = kRecordInUse;
  SelectIndex(kSysDeletedSlot);
  removeKey(idKey);
  insertKey(freeKey, recordNo);
  if (HasBlobFields()) ClearRecordBlobs(current.data());
  if (!rebuilt[kSysTextSlot]) {
    TTextChanges changes;
    textRecordChanges(current.data(), nullptr, changes);
    applyTextChanges(changes, recordNo);
  }
  writeRecordBlobs(current.data(), recordNo);
  TRecord* record = nullptr;
  if (!data.GetRecord(nullptr, recordNo, record)) Raise(VELDOR_FILECORRUPT);
  data.FreeRecord(record);
  data.ReleaseRecord(record);
  table_->IndexFile().DecRecordCount();
}

void TDataCursor::recordTextWords(const uint8_t* image, TTextChanges& changes) {
  TDataFile& data = table_->DataFile();
  textRecordChanges(nullptr, image, changes);
  uint32_t id = 0;
  std::memcpy(&id, image + 5, 4);
  for (uint16_t fieldNo : table_->IndexFile().GetIndexDescriptor(kSysTextSlot).fields) {
    if (fieldNo == 0) break;
    uint16_t position = 0;
    const TFieldDescriptor* d = data.FindFieldByNumber(fieldNo, position);
    if (!d || !d->IsBlob()) continue;
    std::vector<uint8_t> bytes;
    if (!ReadBlobValue(position, true, image, bytes)) continue;
    const std::string text(bytes.begin(), bytes.end());
    textWordChanges(fieldNo, nullptr, &text, id, id, changes);
  }
}

void TDataCursor::rebuildIndexes(const TRestructureArgs& args, const TRebuiltSlots& rebuilt,
                                 const TCaseDecision& goOn, const std::function<void()>& writeHeaders) {
  TDataFile& data = table_->DataFile();
  TIndexFile& index = table_->IndexFile();
  // A table without a primary index does not keep its deleted records on the free-record chain
  // (new records always go last); one that gets a primary index again needs them all on it.
  const bool relinkFreeRecords = rebuilt[kPrimarySlot] && table_->NoPrimaryIndex() && !args.NoPrimaryIndex;
  std::vector<uint32_t> freeRecords;
  if (!args.NoBackup) table_->BackupIndex();
  UndoOnFailure undo([&] {
    textParamsLoaded_ = textParamsChanged_ = false;
    FreeAllBlobs(true);
    table_->DropHeldWrites();
    if (!args.NoBackup) table_->RestoreIndex(true, true);
  });
  // Slots past the new highest go, highest first; their free-page lists stay with them.
  const uint8_t highest = uint8_t(args.Indexes.size() - 1);
  for (uint8_t slot = index.GetIndexCount(); slot > highest; --slot) {
    DeleteIndexPages(slot);
    index.DeleteIndexDescriptor(slot, true);
  }
  const uint8_t oldHighest = index.GetIndexCount();
  index.SetIndexCount(highest);
  std::vector<uint8_t> slots;
  for (uint8_t slot = 0; slot <= kSysTextSlot; ++slot) {
    if (!rebuilt[slot]) continue;
    if (slot <= oldHighest || slot == kSysTextSlot) DeleteIndexPages(slot);
    if (slot == kPrimarySlot) {
      const uint32_t freeHead = index.GetFreePageHead(kPrimarySlot);
      index.SetNoPrimaryIndex(args.NoPrimaryIndex);
      index.SetFreePageHead(kPrimarySlot, freeHead);
      if (args.NoPrimaryIndex) continue;
    }
    index.SetIndexDescriptor(slot, slot == kSysTextSlot ? args.TextIndex : args.Indexes[slot]);
    if (slot != kSysTextSlot) slots.push_back(slot);
  }
  // Cached pages were set up for the old descriptors.
  index.FlushDirtyPages();
  index.ClearPageCache();
  const bool words = rebuilt[kSysTextSlot] && HasTextIndex();
  std::vector<uint32_t> doomed;
  std::vector<uint8_t> image(recordSize_);
  TKeyBatches keys(*this, slots);
  const uint32_t last = slots.empty() && !words && !relinkFreeRecords ? 0 : data.GetLastRecordNumber();
  TProgress progress(*this, restructureProgressHook_, last);
  for (uint32_t n = 1; n <= last; progress.Done(n++)) {
    readSlot(*this, data, n, image);
    if (image[0] == kRecordDeleted && relinkFreeRecords) freeRecords.push_back(n);
    if (image[0] != kRecordInUse) continue;
    // Every new key is checked and every text read before any goes in, so a record that
    // fails has none.
    TTextChanges changes;
    try {
      keys.Check(image.data());
      if (words) recordTextWords(image.data(), changes);
    } catch (const EVELDOREngineError& e) {
      const bool keyViolation = e.ErrorCode() == VELDOR_KEYVIOL;
      if (!goOn(keyViolation ? rcKeyViolation : rcWriteError, keyViolation ? e.Item(5) : "")) throw;
      // A record that breaks a unique index goes; one that failed otherwise stays as it is.
      if (keyViolation) doomed.push_back(n);
      continue;
    }
    keys.Add(n);
    if (words) applyTextChanges(changes, n);
  }
  keys.Finish();
  if (relinkFreeRecords) {
    for (size_t i = 0; i < freeRecords.size(); ++i) {
      TRecord* record = nullptr;
      if (!data.GetRecord(nullptr, freeRecords[i], record)) Raise(VELDOR_FILECORRUPT);
      record->SetNextFree(i + 1 < freeRecords.size() ? freeRecords[i + 1] : 0);
      data.ReleaseRecord(record);
    }
    data.SetFreeRecordHead(freeRecords.empty() ? 0 : freeRecords.front());
  }
  // Only now, with every key built, do the records that broke one go.
  for (uint32_t n : doomed) DeleteRecordDuringRebuild(n, rebuilt);
  writeHeaders();
  SaveTextIndexParams();
  FlushBuffers(true, false, true, true, HasBlobFields());
  undo.Dismiss();
}

void TDataCursor::RestructureTable(TRestructureArgs& args) {
  CheckNotOpen();
  CheckExclusive();
  CheckWritable();
  ValidateTableDefinition(args.LanguageId, args.SortId, args.Encrypted, args.Password, args.BlobBlockSize,
                          args.LastAutoIncValue, args.Fields, args.Indexes, args.TextIndex,
                          args.NoPrimaryIndex);
  if (IsRemote()) return remoteRestructureTable(args);
  Open();
  ScopeExit close([this] {
    try {
      Close();
    } catch (...) {
      // The failure in flight is the one to report.
    }
  });
  TDataFile& data = table_->DataFile();
  TIndexFile& index = table_->IndexFile();

  // The least work the change needs: a copy when the records change, a rebuild of the indexes
  // whose keys change, or only the headers.
  const auto blockSize = [](uint32_t size) { return size == 0 ? kDefaultBlobBlockSize : size; };
  bool copy = args.Encrypted != data.IsEncrypted() ||
              blockSize(args.BlobBlockSize) != data.GetBlobBlockSize() ||
              args.LanguageId != data.GetLanguageId() || args.SortId != data.GetSortId() ||
              args.Fields.size() != data.GetFieldCount();
  for (uint16_t p = 1; p <= data.GetFieldCount() && !copy; ++p) {
    const TFieldDescriptor* newField = byNumber(args.Fields, data.GetFieldDescriptor(p)->FieldNumber());
    copy = !newField || FieldDefinitionChanged(*data.GetFieldDescriptor(p), *newField);
  }
  // Text-index parameters not given stay the table's own.
  LoadTextIndexParams();
  std::vector<std::string> stopWords;
  if (args.StopWords) {
    stopWords = *args.StopWords;
  } else {
    for (size_t i = 0; i < stopWords_.count(); ++i) stopWords.push_back(stopWords_[i]);
  }
  const TCharSet spaceChars = args.SpaceChars.any() ? args.SpaceChars : spaceChars_;
  const TCharSet includeChars = args.IncludeChars.any() ? args.IncludeChars : includeChars_;
  TLanguageStringList newStopWords(args.LanguageId, args.SortId);
  for (const std::string& w : stopWords) newStopWords.add(w);
  const bool textParamsDiffer = spaceChars != spaceChars_ || includeChars != includeChars_ ||
                                !SameStringLists(args.LanguageId, args.SortId, &stopWords_, &newStopWords);
  const uint8_t highest = args.Indexes.empty() ? 0 : uint8_t(args.Indexes.size() - 1);
  // Slots not in use (the primary one of a table without it, the text index of a table
  // without one) are not compared.
  TRebuiltSlots rebuilt;
  if (!copy) {
    const TIndexDescriptor oldText = index.GetIndexDescriptor(kSysTextSlot);
    rebuilt[kSysTextSlot] = (oldText.fields[0] != 0 || args.TextIndex.fields[0] != 0) &&
                            (IndexNeedsRebuild(oldText, args.TextIndex, args.Fields) || textParamsDiffer);
    for (uint8_t slot = 0; slot <= highest && !args.Indexes.empty(); ++slot)
      rebuilt[slot] =
          slot == kPrimarySlot
              ? args.NoPrimaryIndex != table_->NoPrimaryIndex() ||
                    (!args.NoPrimaryIndex &&
                     IndexNeedsRebuild(index.GetIndexDescriptor(slot), args.Indexes[slot], args.Fields))
              : slot > index.GetIndexCount() ||
                    IndexNeedsRebuild(index.GetIndexDescriptor(slot), args.Indexes[slot], args.Fields);
  }

  bool decided = false;
  bool decidedGoOn = false;
  const auto goOn = [&](TRestructureCase kind, const std::string& message) {
    if (decided) return decidedGoOn;
    if (!dataLostHook_) return false;
    bool carryOn = true;
    bool applyToAll = false;
    dataLostHook_(*this, kind, message, carryOn, applyToAll);
    if (applyToAll) decided = true, decidedGoOn = carryOn;
    return carryOn;
  };
  const auto writeHeaders = [&] {
    for (const TFieldDescriptor& d : args.Fields) SetTableFieldDesc(d.FieldNumber(), d);
    for (uint8_t slot = 0; slot <= highest && !args.Indexes.empty(); ++slot)
      SetIndexNameAndFields(slot, args.Indexes[slot]);
    data.SetHeaderInfo(args.Encrypted ? args.Password : std::string(), args.Description,
                       data.GetLastUniqueId(), args.UserMajorVersion, args.UserMinorVersion);
    if (args.LastAutoIncValue >= 0) data.SetLastAutoIncValue(uint32_t(args.LastAutoIncValue));
  };
  if (!copy) {
    // Without a text index no words depend on them: they are only stored.
    if (textParamsDiffer) SetTextIndexParams(&stopWords, spaceChars, includeChars);
    if (rebuilt.any() || highest != index.GetIndexCount())
      return rebuildIndexes(args, rebuilt, goOn, writeHeaders);
    writeHeaders();
    BeginWrite();
    data.WriteFieldDescriptors();
    EndWrite();
    FlushBuffers(true, false, true, true, false);
    return;
  }

  // Full copy into a table of a fresh name beside the old one, so that the swap is a rename.
  // The marker naming it comes first, so that a copy cut short at any point leaves nothing.
  TDataTable::TSwap swap(*directory_, tableName_, options_.InMemory);
  TDataCursor fresh(*directory_);
  fresh.SetTableName(
      directory_->MakeTempTableName(options_.InMemory, [&](const std::string& name) { swap.NewName(name); }));
  fresh.SetExclusive(true);
  fresh.SetInMemory(options_.InMemory);
  bool created = false;
  bool moved = false;
  ScopeExit drop([&] {
    if (!created || moved) return;
    try {
      fresh.Close();
      fresh.DeleteTable();
    } catch (...) {
      // The failure in flight is the one to report.
    }
  });
  // A data file numbers its fields by position, so the new table is made with the new
  // positions, and its keys name those; the old field numbers only say where a value goes.
  const auto positionOf = [&](uint16_t number) {
    for (size_t i = 0; i < args.Fields.size(); ++i)
      if (args.Fields[i].FieldNumber() == number) return uint16_t(i + 1);
    return uint16_t(0);
  };
  TCreateTableArgs create = args;
  create.Overwrite = true;
  const auto renumberKeys = [&](auto& fields) {
    for (uint16_t& number : fields)
      if (number != 0) number = positionOf(number);
  };
  for (TIndexDescriptor& d : create.Indexes) renumberKeys(d.fields);
  renumberKeys(create.TextIndex.fields);
  for (size_t i = 0; i < create.Fields.size(); ++i) create.Fields[i].SetFieldNumber(uint16_t(i + 1));
  fresh.CreateTable(create);
  created = true;
  // Before any row is in it: a table others may not read is never readable to them on the way.
  swap.TakeAccess();
  // The new table opens with its new password; the session knows it for the copy only.
  const bool passwordAdded = args.Encrypted && !Session().PasswordExists(args.Password);
  if (passwordAdded) Session().AddPassword(args.Password);
  ScopeExit forgetPassword([&] {
    if (passwordAdded) Session().RemovePassword(args.Password);
  });
  fresh.SetFieldsRemapped(true);
  fresh.Open();
  // Until the swap nothing else sees the new table, and a copy cut short is dropped whole.
  fresh.Table()->WriteThrough();
  // Only an open cursor knows that its table has an auto-increment field.
  fresh.SuppressAutoInc(true);
  // Set on the open table, so that an empty set stays empty instead of becoming the default.
  fresh.SetTextIndexParams(&stopWords, spaceChars, includeChars);

  std::vector<uint8_t> image(recordSize_);
  std::vector<uint8_t> buffer(fresh.RecordSize());
  std::array<uint8_t, 512> value{};
  // The new table's keys, record-id keys included, are built into its trees once every record
  // is in; a text index takes its words record by record.
  const bool bulk = !fresh.HasTextIndex();
  std::vector<uint8_t> freshSlots = fresh.writtenSlots();
  freshSlots.push_back(kSysDeletedSlot);
  TKeyBatches freshKeys(fresh, bulk ? freshSlots : std::vector<uint8_t>{});
  // The new records go out by runs of about a megabyte, the old ones are read by such runs.
  constexpr size_t kRunBytes = size_t(1) << 20;
  std::vector<uint8_t> staged;
  // Where each field goes. A value whose field keeps its type, size and scale is stored as it
  // is, without a conversion that would give the same bytes; BCD (whose values carry a scale of
  // their own) and auto-increment values always go through the conversion.
  struct TFieldCopy {
    const TFieldDescriptor* old;
    const TFieldDescriptor* target;  // nullptr: dropped
    const TFieldDescriptor* into;    // the new table's field, when stored as it is
    // The stored bytes need no WriteFieldValue: no computed field to update, no truth value to
    // make 0 or 1, no text case to change.
    bool plain;
  };
  std::vector<TFieldCopy> plan;
  for (uint16_t p = 1; p <= data.GetFieldCount(); ++p) {
    const TFieldDescriptor& old = *data.GetFieldDescriptor(p);
    const TFieldDescriptor* target = byNumber(args.Fields, old.FieldNumber());
    const TFieldDescriptor* into = nullptr;
    if (target && !target->Computed() && !old.IsBlob() && !target->IsBlob() && !old.IsAutoInc() &&
        !target->IsAutoInc() && old.Type() == target->Type() &&
        old.Type() != TypeCode(TEngineFieldType::BCD)) {
      const TFieldDescriptor& d = fresh.GetTableFieldDesc(positionOf(old.FieldNumber()));
      if (d.Type() == old.Type() && d.StoredSize() == old.StoredSize() &&
          d.StoredScale() == old.StoredScale() && !d.Computed() && !d.IsAutoInc())
        into = &d;
    }
    const bool plain = into && !fresh.hasComputedFields_ &&
                       into->Type() != TypeCode(TEngineFieldType::Boolean) && into->CaseRule() == 0;
    plan.push_back({&old, target, into, plain});
  }
  const uint32_t last = data.GetLastRecordNumber();
  TProgress progress(*this, restructureProgressHook_, last);
  const uint32_t oldSize = data.GetRecordSize();
  const uint32_t perRun = uint32_t(std::max<size_t>(1, kRunBytes / oldSize));
  std::vector<uint8_t> run;
  uint32_t runFirst = 1, runCount = 0;
  for (uint32_t n = 1; n <= last; progress.Done(n++)) {
    if (n >= runFirst + runCount) {
      runFirst = n;
      runCount = std::min(perRun, last - n + 1);
      // As readSlot: a report of another writer is looked at once more.
      if (!data.ReadRecordImages(this, runFirst, runCount, run) &&
          !data.ReadRecordImages(this, runFirst, runCount, run))
        Raise(VELDOR_FILECORRUPT);
    }
    std::memcpy(image.data(), run.data() + size_t(n - runFirst) * oldSize,
                std::min<size_t>(image.size(), oldSize));
    if (image[0] != kRecordInUse) continue;
    if (staged.size() >= kRunBytes) fresh.appendStagedRecords(staged);
    fresh.ClearRecordBuffer(buffer.data());
    fresh.ApplyDefaultValues(buffer.data());
    // A value carried into an auto-increment field is the new record's unique id.
    bool intoAutoInc = false;
    for (uint16_t p = 1; p <= data.GetFieldCount(); ++p) {
      const TFieldDescriptor& old = *plan[p - 1u].old;
      if (old.Computed()) continue;
      const TFieldDescriptor* target = plan[p - 1u].target;
      if (const TFieldDescriptor* into = plan[p - 1u].into) {
        const uint8_t* stored = image.data() + old.Offset();
        if (stored[0] == 0) continue;
        uint8_t* at = buffer.data() + into->Offset();
        const uint32_t size = into->StoredSize();
        if (old.Type() != kFieldTypeString) {
          if (plan[p - 1u].plain) {
            at[0] = 1;
            std::memcpy(at + 1, stored + 1, size);
          } else {
            fresh.WriteFieldValue(*into, buffer.data(), stored + 1, false, false);
          }
          continue;
        }
        // A text without its terminator (a damaged record) takes the long way, which cuts it.
        const auto* end = static_cast<const uint8_t*>(std::memchr(stored + 1, 0, size));
        if (end) {
          const size_t length = size_t(end - (stored + 1));
          // What WriteFieldValue stores of a text it leaves as it is.
          if (plan[p - 1u].plain && length > 0 && end[-1] != ' ') {
            at[0] = 1;
            std::memcpy(at + 1, stored + 1, length);
            std::memset(at + 1 + length, 0, size - length);
          } else {
            fresh.WriteFieldValue(*into, buffer.data(), stored + 1, false, false);
          }
          continue;
        }
      }
      value.fill(0);
      bool isNull = false;
      GetTableField(p, image.data(), isNull, value.data());
      if (!target || target->Computed()) {
        if (!isNull && !goOn(rcFieldDropped, old.Name())) Raise(VELDOR_INVALIDFLDTYPE, old.Name());
        continue;
      }
      if (isNull) continue;
      // Blob and memo bytes go over as they are, whatever the new subtype or block size; a
      // blob has no value of another type.
      if (old.IsBlob() || target->IsBlob()) {
        if (old.IsBlob() && target->IsBlob())
          CopyBlobValue(p, true, image.data(), fresh, positionOf(target->FieldNumber()), buffer.data());
        else if (!goOn(rcNotConverted, old.Name()))
          Raise(VELDOR_INVALIDFLDTYPE, old.Name());
        continue;
      }
      // A text that the new size would cut is a value that cannot be carried over.
      const bool cut = old.Type() == kFieldTypeString && target->Type() == kFieldTypeString &&
                       std::strlen(reinterpret_cast<const char*>(value.data())) + 1 > target->StoredSize();
      if (cut || !ConvertValue(TEngineFieldType(old.Type()), old.StoredSize(), old.StoredScale(),
                               TEngineFieldType(target->Type()), target->StoredSize(), target->StoredScale(),
                               value)) {
        if (!goOn(rcNotConverted, old.Name())) Raise(VELDOR_INVALIDFLDTYPE, old.Name());
        continue;
      }
      fresh.PutTableField(positionOf(old.FieldNumber()), buffer.data(), value.data());
      intoAutoInc = intoAutoInc || target->IsAutoInc();
    }
    if (!intoAutoInc) std::memcpy(buffer.data() + 5, image.data() + 5, 4);
    try {
      if (bulk)
        fresh.appendCopiedRecord(buffer.data(), freshKeys, staged);
      else
        fresh.AppendRecord(buffer.data());
    } catch (const EVELDOREngineError& e) {
      const TRestructureCase kind = caseOf(e.ErrorCode());
      const std::string message = kind == rcKeyViolation ? e.Item(5) : kind == rcValueRule ? e.Item(4) : "";
      // The blobs of a record that was left out are not saved with the next one.
      fresh.FreeAllBlobs(true);
      if (!goOn(kind, message)) throw;
    }
  }
  // Unique ids are never given out twice, also not those of records deleted before.
  TDataFile& freshData = fresh.Table()->DataFile();
  if (freshData.GetLastUniqueId() < data.GetLastUniqueId()) freshData.SetLastUniqueId(data.GetLastUniqueId());
  // The auto-increment counter goes on from the old table's (the copied values were kept as
  // they were), unless a value is asked for.
  freshData.SetLastAutoIncValue(args.LastAutoIncValue >= 0
                                    ? uint32_t(args.LastAutoIncValue)
                                    : std::max(data.GetLastAutoIncValue(), freshData.GetLastAutoIncValue()));
  fresh.appendStagedRecords(staged);
  freshKeys.Finish();
  fresh.FlushBuffers(true, false, true, true, fresh.HasBlobFields());
  fresh.Close();

  // The swap: the old files become backups, the new ones take the name, and only then may the
  // backups go; a crash on the way is completed at the next open. The old table is held until
  // the swap is certain, so that no write elsewhere lands in it between its close and the moves.
  swap.Commit(!args.NoBackup);
  moved = true;
  Close();
  swap.Run();
}

}  // namespace engine
