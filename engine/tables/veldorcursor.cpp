// The data cursor: life, options, field list, current index and key order.
#include "engine/tables/veldorcursor.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorkeys.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "engine/values/veldorexptoken.h"
#include "platform/scopeguard.h"
#include "platform/textrules.h"

namespace engine {

using platform::FirstFailure;
using platform::ScopeExit;
using platform::UndoOnFailure;

namespace {

std::atomic<TCursorRequestPath*> gRequestPath{nullptr};

bool endsWithDat(std::string_view name) {
  return platform::endsWithIgnoringAsciiCase(name, kDataFileExt);
}

}  // namespace

void SetCursorRequestPath(TCursorRequestPath* path) {
  gRequestPath.store(path);
}

// ---- Identity ----

namespace {

// The memory of the thread's last cursors, while no cursor lives in it: a statement's source
// and result, made and dropped together. Poisoned meanwhile, so that a use of a cursor after its
// end is still reported under the address sanitizer.
struct SpareCursorBlocks {
  static constexpr size_t kKept = 2;
  void* blocks[kKept] = {};
  size_t count = 0;
  // Past the thread's end (a cursor that outlives it, dropped by a static's destructor) nothing
  // is kept any more.
  bool ended = false;
  ~SpareCursorBlocks() {
    ended = true;
    while (count > 0) {
      void* block = std::exchange(blocks[--count], nullptr);
      ASAN_UNPOISON_MEMORY_REGION(block, sizeof(TDataCursor));
      ::operator delete(block);
    }
  }
};
thread_local SpareCursorBlocks spareCursors;

}  // namespace

void* TDataCursor::operator new(size_t size) {
  if (size != sizeof(TDataCursor) || spareCursors.count == 0) return ::operator new(size);
  void* block = std::exchange(spareCursors.blocks[--spareCursors.count], nullptr);
  ASAN_UNPOISON_MEMORY_REGION(block, size);
  return block;
}

void TDataCursor::operator delete(void* block, size_t size) noexcept {
  if (!block) return;
  if (size != sizeof(TDataCursor) || spareCursors.count == SpareCursorBlocks::kKept || spareCursors.ended)
    return ::operator delete(block);
  ASAN_POISON_MEMORY_REGION(block, size);
  spareCursors.blocks[spareCursors.count++] = block;
}

TDataCursor::TDataCursor(TDataDirectory& directory, bool serverCursorGiven)
    : directory_(&directory), session_(&directory.Session()) {
  SetCurrentIndex(kNoCurrentIndex);
  stopWords_.setSorted(true);
  if (IsRemote() && !serverCursorGiven) {
    const TCursorReply reply = exchange(REQUEST_CREATECURSOR, TCursorRequest{}.U32(directory.RemoteHandle()));
    if (reply.empty() || reply[0].size() < 4) Raise(VELDOR_REMOTEINVREQUEST);
    std::memcpy(&serverCursor_, reply[0].data(), 4);
  }
  directory.AddCursor(this);
}

TDataCursor::~TDataCursor() {
  try {
    Close(true);
  } catch (...) {
    // A destructor cannot report; Close has released what it could.
  }
  if (IsRemote() && !options_.QueryResult && serverCursor_ != 0) {
    try {
      exchange(REQUEST_FREECURSOR, TCursorRequest{}.U32(serverCursor_));
    } catch (...) {
      // The server frees a lost session's cursors itself.
    }
  }
  if (directory_) directory_->RemoveCursor(this);
}

TDataDirectory& TDataCursor::Directory() const {
  if (!directory_) SignalEngineError(VELDOR_NOTINITIALIZED, "", "", "", tableName_, "", "", "");
  return *directory_;
}

TDataSession& TDataCursor::directorySession() const {
  Directory();
  SignalEngineError(VELDOR_NOTINITIALIZED);
}

std::string TDataCursor::GetDirectoryName() const {
  if (!directory_) return {};
  return IsRemote() ? directory_->Name() : directory_->Path();
}

void TDataCursor::DirectoryGone() {
  try {
    Close(true);
  } catch (...) {
    // Reported nowhere: the directory is on its way out, and its tables with it.
  }
  table_ = nullptr;
  active_ = false;
  directory_ = nullptr;
  session_ = nullptr;
}

int64_t TDataCursor::GetServerVersion() const {
  return Session().ServerVersion();
}

uint32_t TDataCursor::GetProgressStepPercent() const {
  return Session().GetProgressStepPercent();
}

void TDataCursor::Raise(uint16_t code, std::string_view field, std::string_view index) const {
  SignalEngineError(code, "", "", GetDirectoryName(), tableName_, field, index, "");
}

TCursorRequestPath& TDataCursor::requests() const {
  TCursorRequestPath* path = gRequestPath.load();
  return path ? *path : SessionCursorRequestPath();
}

TCursorReply TDataCursor::exchange(uint16_t code, TCursorRequest request) {
  return requests().Exchange(*this, code, request);
}

void TDataCursor::checkName(std::string_view name) const {
  // The name becomes part of a path: it may name a file of the database folder and nothing else.
  const bool hostile = name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos ||
                       name.find("..") != std::string_view::npos || name.size() > kEngineStringMax;
  if (hostile) SignalEngineError(VELDOR_OSEACCES, "", "", GetDirectoryName(), name, "", "", "");
}

void TDataCursor::SetTableName(std::string_view name) {
  CheckNotOpen();
  if (endsWithDat(name)) name.remove_suffix(kDataFileExt.size());
  checkName(name);
  tableName_ = std::string(name);
}

void TDataCursor::setOption(bool& option, bool value, bool alwaysCheck) {
  if (active_ && (alwaysCheck || option != value)) Raise(VELDOR_TABLEOPEN);
  option = value;
}

void TDataCursor::SetExclusive(bool v) {
  setOption(options_.Exclusive, v, true);
}
void TDataCursor::SetCloneFlag(bool v) {
  setOption(options_.CloneFlag, v, true);
}
void TDataCursor::SetReadOnly(bool v) {
  setOption(options_.ReadOnly, v, true);
}
void TDataCursor::SetInMemory(bool v) {
  setOption(options_.InMemory, v, true);
}
void TDataCursor::SetQueryResult(bool v) {
  options_.QueryResult = v;
}
void TDataCursor::SetTemporary(bool v) {
  setOption(options_.Temporary, v, false);
}
void TDataCursor::SetQuerySource(bool v) {
  setOption(options_.QuerySource, v, false);
}

void TDataCursor::CheckExclusive() const {
  if (!options_.Exclusive) Raise(VELDOR_NEEDEXCLACCESS);
}
void TDataCursor::CheckWritable() const {
  if (options_.ReadOnly) Raise(VELDOR_OSEACCES);
}
void TDataCursor::CheckNotOpen() const {
  if (active_) Raise(VELDOR_TABLEOPEN);
}

bool TDataCursor::InRecordNumberOrder() const {
  const uint8_t slot = GetCurrentIndex();
  return slot == kNoCurrentIndex || (slot == kPrimarySlot && table_ && table_->NoPrimaryIndex());
}

void TDataCursor::SuppressAutoInc(bool v) {
  if (!hasAutoInc_ || suppressAutoInc_ == v) return;
  suppressAutoInc_ = v;
  if (IsRemote()) exchange(REQUEST_SUPPRESSAUTOINC, TCursorRequest{}.U32(serverCursor_).U8(v));
}

// ---- Open and close ----

void TDataCursor::passwordLoop(std::string_view password) {
  // Each round must bring a new password: a callback that answers yes without adding one would
  // otherwise ask for ever.
  while (!Session().PasswordExists(password)) {
    const size_t before = Session().PasswordCount();
    if (!passwordCallback_ || !passwordCallback_(*this) || Session().PasswordCount() == before)
      Raise(VELDOR_NOTSUFFTABLERIGHTS);
  }
}

void TDataCursor::Open(bool serverCursorOpen) {
  if (active_) return;
  fields_.clear();
  TDataTable* table = nullptr;
  const int32_t result =
      Directory().OpenTable(tableName_, table, options_.QuerySource, options_.QueryResult, options_.Temporary,
                            options_.InMemory, options_.CloneFlag, options_.Exclusive);
  if (result < 0) Raise(uint16_t(-result));
  table_ = table;
  active_ = true;
  openOnTable(serverCursorOpen);
}

void TDataCursor::openOnTable(bool serverCursorOpen) {
  UndoOnFailure undo([&] { Close(true); });
  // A read pair taken here for the header check is held to the end of the open: the view built
  // and the place taken then see the state the check saw, and the lock is taken once, not three
  // times. It goes before `undo` closes the cursor.
  bool tableReadTaken = false;
  ScopeExit endTableRead([&] {
    if (tableReadTaken) table_->EndRead();
  });
  readOnlyAttribute_ = table_->IsReadOnlyAttribute();
  options_.ReadOnly = table_->IsReadOnly() || readOnlyAttribute_;
  uint8_t remoteIndex = kNoCurrentIndex;
  if (IsRemote()) {
    if (!serverCursorOpen) {
      // A table the server could not open must not stay in the directory, not even for a
      // running transaction: it would count as existing.
      UndoOnFailure forget([&] {
        if (!table_->RemoteHeadersLoaded()) table_->RollbackTransaction();
      });
      remoteIndex = takeOpenReply(exchange(REQUEST_OPENCURSOR, TCursorRequest{}
                                                                   .U32(serverCursor_)
                                                                   .Text(tableName_)
                                                                   .U8(options_.Exclusive)
                                                                   .U8(options_.ReadOnly)
                                                                   .U8(options_.InMemory)));
      forget.Dismiss();
    }
  } else {
    if (fieldsRemapped_) {
      table_->CheckVersions();
    } else if (table_->GetOpenCount() == 1 && table_->OpenedFiles()) {
      const bool took = !table_->HoldsReadPair();
      table_->BeginRead();
      tableReadTaken = took && table_->HoldsReadPair();
      table_->VerifyHeaders();
    }
    TDataFile& data = table_->DataFile();
    if (data.IsEncrypted()) {
      // No lock is held while the password is asked for.
      if (std::exchange(tableReadTaken, false)) table_->EndRead();
      passwordLoop(data.GetPassword());
    }
  }
  TDataFile& data = table_->DataFile();
  languageId_ = data.GetLanguageId();
  sortId_ = data.GetSortId();
  GetLanguageCharMap(languageId_, sortId_, charMap_);
  recordSize_ = data.GetRecordSize();
  UpdateChangeCounters();
  loadFieldList();
  recordBuffer_.assign(recordSize_, 0);
  deferredRecordNo_ = 0;
  checkCollation();
  if (IsRemote()) {
    // The server has positioned its cursor; the reply carried where.
    SelectIndex(remoteIndex);
    undo.Dismiss();
    return;
  }
  const uint8_t usual = options_.QuerySource ? kNoCurrentIndex : kPrimarySlot;
  uint8_t slot = openIndexChooser_ ? openIndexChooser_(*this) : usual;
  if (slot != usual) {
    // An index that cannot be selected is left to the caller's own switch to report.
    try {
      SelectIndex(slot);
    } catch (const EVELDOREngineError&) {
      slot = usual;
    }
  }
  if (slot == usual) SelectIndex(usual);
  // In a chosen index the cursor stands before the first key unread, as a switch to it would leave
  // it: the caller places it there.
  const bool place = slot == usual;
  {
    // One read pair for both steps (none of their own when the table's is held above), or none
    // while the caches are current on disk: a kept table taken back, or one other cursors hold.
    ReadScope scope(*this);
    if (openForCount_ && place && InRecordNumberOrder()) {
      // The view is left to the first step that needs one, as a change by another writer leaves it.
      SetEmptyPosition();
      resyncPending_ = true;
    } else if (!placeOnCaches(place)) {
      BeginRead();
      rebuildView();
      placeAtOpen(place);
    }
  }
  undo.Dismiss();
}

void TDataCursor::loadFieldList() {
  const TDataFile& data = table_->DataFile();
  const bool qualified = !options_.QueryResult;
  const bool numbered = !options_.QueryResult || !options_.QuerySource;
  std::shared_ptr<const TSharedCursorFields> shared = table_->SharedCursorFields();
  if (!shared || shared->descriptorsVersion != data.DescriptorsVersion() || shared->qualified != qualified ||
      shared->numbered != numbered || shared->tableName != tableName_) {
    auto built = std::make_shared<TSharedCursorFields>();
    built->tableName = tableName_;
    built->qualified = qualified;
    built->numbered = numbered;
    built->descriptorsVersion = data.DescriptorsVersion();
    const uint16_t count = data.GetFieldCount();
    built->fields.reserve(count);
    std::string name = tableName_ + ".";
    const size_t prefix = name.size();
    for (uint16_t p = 1; p <= count; ++p) {
      TCursorField& f = built->fields.emplace_back(*data.GetFieldDescriptor(p));
      if (f.desc.IsAutoInc()) built->hasAutoInc = true;
      if (f.desc.Required() || f.desc.HasMinText() || f.desc.HasMaxText()) built->hasChecks = true;
      if (f.desc.HasDefaultText()) built->hasDefaults = true;
      if (qualified) {
        name.resize(prefix);
        name += f.desc.NameView();
        f.SetQualifiedName(name);
      }
      if (numbered) f.SetTableFieldNo(f.desc.FieldNumber());
    }
    shared = std::move(built);
    table_->SetSharedCursorFields(shared);
  }
  hasChecks_ = shared->hasChecks;
  hasDefaults_ = shared->hasDefaults;
  hasAutoInc_ = shared->hasAutoInc;
  hasComputedFields_ = false;
  fields_.Share(std::move(shared));
}

void TDataCursor::clearFieldList() {
  fields_.clear();
  keyFields_.clear();
  applied_ = nullptr;
  recordSize_ = 0;
  hasChecks_ = hasDefaults_ = hasComputedFields_ = hasAutoInc_ = false;
}

void TDataCursor::Close(bool releaseFlag) {
  if (!active_) return;
  FirstFailure failure;
  if (IsRemote()) {
    // The server releases the cursor's record lock with it; the table forgets its mark.
    if (lockedRecordNo_ != 0) failure.run([&] { UnlockRecord(true); });
    if (!options_.QueryResult) {
      try {
        exchange(REQUEST_CLOSECURSOR, TCursorRequest{}.U32(serverCursor_));
      } catch (...) {
        // The table is released here whatever the server says.
      }
    }
  } else {
    if (lockedRecordNo_ != 0) failure.run([&] { UnlockRecord(); });
    // A temporary table that this close ends throws its unwritten pages away unread: a result
    // table would write its text-index parameters for nothing.
    const bool discarded = table_ && releaseFlag && table_->IsTemporary() && table_->IsExclusive() &&
                           !table_->IsReadOnly() && table_->GetOpenCount() == 1 && !table_->InTransaction();
    if (!discarded) failure.run([&] { SaveTextIndexParams(); });
    if (readTaken_) failure.run([&] { EndRead(); });
    if (queryReadTaken_) failure.run([&] { EndQueryRead(); });
    if (writeTaken_) failure.run([&] { EndWrite(); });
  }
  filters_.clear();
  bitmapView_ = false;
  // A view still to be built goes with the one built.
  resyncPending_ = false;
  openBlobs_.clear();
  spareBlob_.reset();
  recordBuffer_.clear();
  deferredRecordNo_ = 0;
  rangeFirst_ = rangeLast_ = 0;
  atBOF_ = atEOF_ = false;
  currentRecordNo_ = 0;
  int32_t result = 0;
  if (table_) {
    TDataTable* table = table_;
    table_ = nullptr;
    failure.run([&] {
      result = Directory().CloseTable(table, releaseFlag, options_.QueryResult, options_.QuerySource);
    });
  }
  languageId_ = sortId_ = 0;
  clearFieldList();
  SetCurrentIndex(kNoCurrentIndex);
  currentIndexName_.clear();
  indexRebuildNeeded_ = false;
  passwordCallback_ = nullptr;
  clearEventHooks();
  textParamsLoaded_ = textParamsChanged_ = false;
  active_ = false;
  if (result < 0) Raise(uint16_t(-result));
  failure.raise();
}

std::unique_ptr<TDataCursor> TDataCursor::Clone() {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  auto copy = std::make_unique<TDataCursor>(Directory(), IsRemote());
  if (IsRemote()) {
    const TCursorReply reply = exchange(REQUEST_CLONECURSOR, remotePosition());
    if (reply.empty() || reply[0].size() < 4) Raise(VELDOR_REMOTEINVREQUEST);
    std::memcpy(&copy->serverCursor_, reply[0].data(), 4);
  }
  ReadScope scope(*this);
  if (!IsRemote()) SyncWithTable();
  copy->SetTableName(tableName_);
  copy->SetExclusive(options_.Exclusive);
  copy->SetCloneFlag(options_.Exclusive);
  copy->SetReadOnly(options_.ReadOnly);
  copy->SetInMemory(options_.InMemory);
  copy->SetQueryResult(options_.QueryResult);
  copy->SetTemporary(options_.Temporary);
  copy->SetQuerySource(options_.QuerySource);
  copy->passwordCallback_ = passwordCallback_;
  copy->Open(IsRemote());
  std::vector<TFieldDescriptor> descs;
  for (const TCursorField& f : fields_) descs.push_back(f.desc);
  copy->SetFieldDescs(descs);
  // The copy's expressions are its own: their text searches read the copy's records.
  for (size_t i = 0; i < fields_.size(); ++i)
    if (fields_[i].tree) copy->AttachFieldExpression(uint16_t(i + 1), CopyExpTree(fields_[i].tree.get()));
  // The copy stands where this cursor stands (its entry and end flags, not only its record):
  // a copy of a cursor before its first record must not skip that record.
  loadDeferredRecord();
  auto takePosition = [&] {
    copy->currentRecordNo_ = currentRecordNo_;
    copy->atBOF_ = atBOF_;
    copy->atEOF_ = atEOF_;
    copy->currentKey_ = currentKey_;
    copy->keySlot_ = keySlot_;
    copy->sequence_ = sequence_;
    copy->recordBuffer_ = recordBuffer_;
  };
  if (IsRemote()) {
    // The server's copy has this cursor's index, range and position; its state comes back.
    copy->SelectIndex(GetCurrentIndex());
    copy->rangeSet_ = rangeSet_;
    takePosition();
    copy->Refresh();
    return copy;
  }
  // Record-number order has no index name: an empty one would give the primary index.
  if (InRecordNumberOrder())
    copy->SwitchToIndex(kNoCurrentIndex);
  else
    copy->SetIndexName(currentIndexName_);
  if (rangeSet_) copy->SetRange(true, rangeStartKey_.data(), 0, rangeEndKey_.data(), 0);
  copyFiltersTo(*copy);
  takePosition();
  // As a refresh would: the copy's view is new, and a position this cursor has not yet
  // checked against it (another cursor may have written since) is taken up in it.
  copy->RebuildView();
  copy->Resync();
  return copy;
}

void TDataCursor::Refresh() {
  if (!active_) return;
  if (IsRemote()) {
    const TCursorReply reply = exchange(REQUEST_REFRESH, remotePosition());
    requests().ReadCursorState(*this, reply);
    return;
  }
  ReadScope scope(*this);
  if (!BeginRead()) resynchronise();
}

void TDataCursor::RefreshIfChanged() {
  if (!active_) return;
  if (IsRemote() || bitmapView_ || (rangeSet_ && !InRecordNumberOrder())) return Refresh();
  ReadScope scope(*this);
  // A change found on taking the pair has resynchronised already; one made by another cursor of
  // this process while the pair was held shows in the stamp.
  if (BeginRead() || (viewStamp_.valid && viewStamp_ == currentViewStamp())) return;
  resynchronise();
}

// ---- Field list ----

uint32_t TDataCursor::StoredRecordSize() const {
  return table_ ? std::min(recordSize_, table_->DataFile().GetRecordSize()) : recordSize_;
}

void TDataCursor::SetFieldDescs(std::span<const TFieldDescriptor> descriptors) {
  std::vector<TFieldDescriptor> checked(descriptors.begin(), descriptors.end());
  ValidateFieldDefinitions(checked, false);
  // A stored field is read and written at its table field's place: a list that puts it anywhere
  // else (a damaged or foreign description) would read and write past the record.
  for (size_t i = 0; table_ && i < descriptors.size(); ++i) {
    const TFieldDescriptor& d = descriptors[i];
    if (d.Computed()) continue;
    uint16_t position = 0;
    const TFieldDescriptor* base = table_->DataFile().FindFieldByNumber(d.FieldNumber(), position);
    if (!base || base->Type() != d.Type() || base->SubType() != d.SubType() ||
        base->StoredSize() != checked[i].StoredSize() || base->StoredScale() != checked[i].StoredScale() ||
        base->Offset() != d.Offset())
      Raise(VELDOR_INVALIDFLDTYPE, d.Name());
  }
  // Computed fields are laid out afresh behind the table's record, whatever list was there.
  recordSize_ = table_ ? table_->DataFile().GetRecordSize() : 0;
  TCursorFieldList::List& fields = fields_.Own();
  fields.assign(descriptors.size(), TCursorField{});
  hasComputedFields_ = false;
  for (size_t i = 0; i < descriptors.size(); ++i) {
    TCursorField& f = fields[i];
    f.desc = descriptors[i];
    f.desc.SetStoredSize(checked[i].StoredSize());
    f.desc.SetStoredScale(checked[i].StoredScale());
    if (f.desc.Computed()) {
      hasComputedFields_ = true;
      f.desc.SetOffset(uint16_t(recordSize_));
      recordSize_ += f.desc.StoredSize() + 1u;
    }
  }
  loadDeferredRecord();
  if (active_) recordBuffer_.resize(recordSize_, 0);
}

void TDataCursor::LayOutComputedFields() {
  hasComputedFields_ = false;
  for (TCursorField& f : fields_.Own()) {
    if (f.desc.Computed()) {
      hasComputedFields_ = true;
      f.desc.SetOffset(uint16_t(recordSize_));
      recordSize_ += f.desc.StoredSize() + 1u;
    }
    f.SetQualifiedName(tableName_ + "." + f.desc.Name());
    f.SetTableFieldNo(f.desc.FieldNumber());
  }
  loadDeferredRecord();
  if (active_) recordBuffer_.resize(recordSize_, 0);
}

// ---- Current index ----

bool TDataCursor::indexUsesLocale(uint8_t slot) const {
  if (languageId_ == 0 || slot == kSysDeletedSlot) return false;
  if (slot == kSysTextSlot) return true;
  const TIndexDescriptor d = table_->IndexFile().GetIndexDescriptor(slot);
  for (uint16_t number : d.fields) {
    if (number == 0) break;
    uint16_t position = 0;
    const TFieldDescriptor* f = table_->DataFile().FindFieldByNumber(number, position);
    if (f && f->Type() == kFieldTypeString) return true;
  }
  return false;
}

void TDataCursor::checkCollation() {
  indexRebuildNeeded_ = false;
  if (IsRemote() || languageId_ == 0) return;
  const uint32_t recorded = table_->IndexFile().GetCollationVersion();
  // 0: built before versions were recorded; such an index is taken as it is.
  if (recorded != 0 && !CollationVersionMatches(languageId_, sortId_, recorded)) indexRebuildNeeded_ = true;
}

void TDataCursor::SelectIndex(uint8_t slot) {
  if (slot == kNoCurrentIndex) {
    applied_ = nullptr;
    keyFields_.clear();
    keyFieldDescending_.fill(false);
    SetCurrentIndex(slot);
    currentIndexName_.clear();
    currentKeySize_ = 0;
    keyFieldCount_ = 0;
    indexDescending_ = indexUnique_ = indexCaseInsensitive_ = false;
    return;
  }
  // Everything is checked before the cursor changes: a refused index leaves the current one whole.
  TIndexFile& index = table_->IndexFile();
  if (slot > index.GetIndexCount() && slot != kSysDeletedSlot && slot != kSysTextSlot)
    Raise(VELDOR_OUTOFRANGE);
  const uint8_t* image = index.HeaderImage() + kIndexDescriptorsOffset + size_t(slot) * kIndexDescriptorSize;
  std::unique_ptr<TSelectedIndex>& known = selected_.at(slot);
  if (known && std::memcmp(known->image.data(), image, kIndexDescriptorSize) == 0 &&
      !(indexRebuildNeeded_ && indexUsesLocale(slot))) {
    bool same = true;
    for (const TFieldDescriptor& kept : known->fields) {
      uint16_t position = 0;
      const TFieldDescriptor* f = table_->DataFile().FindFieldByNumber(kept.FieldNumber(), position);
      if (!f || std::memcmp(f->Bytes(), kept.Bytes(), TFieldDescriptor::kSize) != 0) {
        same = false;
        break;
      }
    }
    if (same) {
      // The selection the cursor already holds is not copied again: a write selects the index
      // it changes at each step, the same one many times over.
      if (applied_ != known.get() || GetCurrentIndex() != slot) applySelected(slot, *known);
      return;
    }
  }
  const TIndexDescriptor d = index.GetIndexDescriptor(slot);
  auto made = std::make_unique<TSelectedIndex>();
  made->name =
      slot == kPrimarySlot ? std::string() : (slot == kSysTextSlot ? std::string(kSysTextName) : d.name);
  const std::string& name = made->name;
  if (indexRebuildNeeded_ && indexUsesLocale(slot)) Raise(VELDOR_INDEXCORRUPT, {}, name);
  // The cursor's key buffers hold the largest key an index can have, and no more.
  if (d.keySize > kMaxCursorKeySize) Raise(VELDOR_INDEXCORRUPT, {}, name);
  bool complete = true;
  for (int i = 0; i < kMaxIndexFields && d.fields[i] != 0; ++i) {
    uint16_t position = 0;
    const TFieldDescriptor* f = table_->DataFile().FindFieldByNumber(d.fields[i], position);
    if (!f) {
      if (slot == kPrimarySlot && table_->NoPrimaryIndex()) {
        complete = false;
        break;
      }
      Raise(VELDOR_INDEXCORRUPT, {}, name);
    }
    made->fields.push_back(*f);
  }
  std::memcpy(made->image.data(), image, kIndexDescriptorSize);
  made->keySize = d.keySize;
  made->compression = d.compression;
  made->descending = d.descending != 0;
  made->unique = d.unique != 0;
  made->caseInsensitive = d.caseInsensitive != 0;
  for (size_t i = 0; i < made->fields.size(); ++i) made->fieldDescending[i] = d.fieldDescending[i] != 0;
  applySelected(slot, *made);
  // A key field that is missing is looked for again each time.
  if (complete) {
    known = std::move(made);
  } else {
    known.reset();
    applied_ = nullptr;
  }
}

void TDataCursor::applySelected(uint8_t slot, const TSelectedIndex& selected) {
  applied_ = &selected;
  SetCurrentIndex(slot);
  currentIndexName_ = selected.name;
  currentKeySize_ = selected.keySize;
  keyCompression_ = selected.compression;
  indexDescending_ = selected.descending;
  indexUnique_ = selected.unique;
  indexCaseInsensitive_ = selected.caseInsensitive;
  keyFieldDescending_ = selected.fieldDescending;
  keyFieldCount_ = uint8_t(selected.fields.size());
  keyFields_ = selected.fields;
}

void TDataCursor::SetIndexName(std::string_view name) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  const std::string_view trimmed = TrimBlanks(name);
  const auto same = platform::equalIgnoringAsciiCase;
  uint8_t slot = kNoCurrentIndex;
  if (trimmed.empty()) slot = kPrimarySlot;
  if (same(trimmed, kSysDeletedName)) slot = kSysDeletedSlot;
  if (same(trimmed, kSysTextName)) slot = kSysTextSlot;
  TIndexFile& index = table_->IndexFile();
  for (uint8_t s = 1; s <= index.GetIndexCount() && slot == kNoCurrentIndex; ++s)
    if (same(TrimBlanks(std::string_view(index.GetIndexName(s))), trimmed)) slot = s;
  if (slot == kNoCurrentIndex) Raise(VELDOR_INVALIDINDEXNAME, {}, trimmed);
  // The index already current keeps its range and position.
  if (slot == GetCurrentIndex()) return;
  if (IsRemote()) return remoteSetIndexName(trimmed);
  makeIndexCurrent(slot);
}

void TDataCursor::makeIndexCurrent(uint8_t slot, bool place) {
  // The range and the view belong to the index they were made for.
  ReadScope scope(*this);
  BeginRead();
  // The key kept for the current record is another index's (or one left from an earlier stay
  // in this index): the record's key in the new index is built afresh.
  if (slot != GetCurrentIndex()) keySlot_ = kNoCurrentIndex;
  SelectIndex(slot);
  ClearRange();
  if (bitmapView_) filterViewStale_ = true;
  RebuildView();
  if (place) return Resync();
  // Before the first record, as Resync leaves a cursor that stood nowhere, without the search
  // for that record.
  standBeforeFirst();
  loadPositionRecord();
}

int TDataCursor::ByteOrder() const {
  // The cases in which CompareKeys below is CompareBytes over the whole key.
  if (boundLength_ != 0) return 0;
  const uint8_t slot = GetCurrentIndex();
  if (slot == kSysDeletedSlot) return 1;
  if (slot == kSysTextSlot || languageId_ != 0) return 0;
  return indexDescending_ ? -1 : 1;
}

int TDataCursor::CompareKeys(const uint8_t* a, const uint8_t* b, uint16_t length) const {
  if (boundLength_ != 0) return compareBound(a, b);
  const uint8_t slot = GetCurrentIndex();
  auto text = [](const uint8_t* p, size_t n) {
    return std::string_view(reinterpret_cast<const char*>(p), n);
  };
  if (slot == kSysDeletedSlot) return CompareBytes(a, b, length, false);
  if (slot == kSysTextSlot) {
    int r = CompareBytes(a, b, std::min<uint16_t>(length, 3), false);
    if (r != 0 || length <= 3) return r;
    const size_t word = std::min<size_t>(61, length - 3u);
    r = OSCompareStrings(languageId_, sortId_, text(a + 3, word), false, word, text(b + 3, word));
    if (r != 0 || length <= 64) return r;
    return CompareBytes(a + 64, b + 64, uint16_t(length - 64), false);
  }
  if (languageId_ == 0) return CompareBytes(a, b, length, indexDescending_);
  uint32_t offset = 0;
  for (size_t i = 0; i < keyFields_.size() && offset < length; ++i) {
    const TFieldDescriptor& f = keyFields_[i];
    const bool descending = indexDescending_ || keyFieldDescending_[i];
    const uint32_t size = GetFieldKeySize(f.Span());
    int r;
    if (f.Type() == kFieldTypeString) {
      r = CompareBytes(a + offset, b + offset, 1, descending);
      if (r == 0) {
        const size_t n = std::min<size_t>(size, length - offset - 1);
        r = OSCompareStrings(languageId_, sortId_, text(a + offset + 1, n), false, n,
                             text(b + offset + 1, n));
        if (descending) r = -r;
      }
    } else {
      r = CompareBytes(a + offset, b + offset, uint16_t(std::min<uint32_t>(size + 1, length - offset)),
                       descending);
    }
    if (r != 0) return r;
    offset += size + 1;
  }
  if (offset < length)
    return CompareBytes(a + offset, b + offset, uint16_t(length - offset), indexDescending_);
  return 0;
}

}  // namespace engine
