#include "dataset/dataset.h"

#include <algorithm>
#include <utility>

namespace dataset {

namespace {

// Restores a saved dataset state on every path out of a scope.
class StateGuard {
 public:
  StateGuard(DataSetState& state, DataSetState temp) : state_(state), saved_(state) { state = temp; }
  ~StateGuard() { state_ = saved_; }
  StateGuard(const StateGuard&) = delete;
  StateGuard& operator=(const StateGuard&) = delete;

 private:
  DataSetState& state_;
  DataSetState saved_;
};

bool editing(DataSetState s) {
  return s == dsEdit || s == dsInsert;
}

}  // namespace

std::string Stream::ReadAll() {
  std::string out;
  Seek(0, soBeginning);
  char chunk[4096];
  for (size_t n; (n = Read(chunk, sizeof chunk)) > 0;) out.append(chunk, n);
  return out;
}

DataSet::DataSet() = default;

DataSet::~DataSet() {
  // Descendants close in their own destructor, while their part still exists.
  for (DataSource* s : dataSources_) {
    s->dataSet_ = nullptr;
    for (DataLink* l : s->links_) l->updateActive();
  }
  if (MasterLink) {
    // The link outlives the detail: it goes quiet without calling back into it.
    MasterLink->detail_ = nullptr;
    MasterLink->SetDataSource(nullptr);
  }
  dropLookupLinks();
  for (DataSet* client : lookupClients_) {
    for (Field* f : client->flatFields_)
      if (f->LookupDataSet == this) f->LookupDataSet = nullptr;
    std::erase(client->lookupSources_, this);
  }
}

void DataSet::dropLookupLinks() {
  for (DataSet* source : lookupSources_) std::erase(source->lookupClients_, this);
  lookupSources_.clear();
}

DataSource* DataSet::GetDataSource() const {
  return MasterLink ? MasterLink->GetDataSource() : nullptr;
}

void DataSet::checkActive() const {
  if (state_ == dsInactive) DatabaseError(SDataSetClosed);
}

void DataSet::SetState(DataSetState state) {
  if (state_ == state) return;
  state_ = state;
  modified_ = false;
  DataEventNotify(deUpdateState);
}

DataSetState DataSet::SetTempState(DataSetState state) {
  const DataSetState saved = state_;
  state_ = state;
  return saved;
}

void DataSet::SetActive(bool value) {
  if (value == Active()) return;
  if (value) {
    runEvent(BeforeOpen);
    state_ = dsOpening;
    try {
      OpenCursor(false);
      activeBuf_ = AllocRecordBuffer();
      spareBuf_ = AllocRecordBuffer();
    } catch (...) {
      state_ = dsInactive;
      CloseCursor();
      throw;
    }
    state_ = dsInactive;
    SetState(dsBrowse);
    InternalFirst();
    hasRecord_ = readActive(gmNext);
    bof_ = true;
    eof_ = !hasRecord_;
    runEvent(AfterOpen);
  } else {
    runEvent(BeforeClose);
    SetState(dsInactive);
    CloseCursor();
    hasRecord_ = false;
    bof_ = eof_ = true;
    runEvent(AfterClose);
  }
}

void DataSet::OpenCursor(bool infoQuery) {
  if (infoQuery)
    InternalInitFieldDefs();
  else
    InternalOpen();
}

void DataSet::CloseCursor() {
  if (IsCursorOpen()) InternalClose();
  for (uint8_t** b : {&activeBuf_, &spareBuf_})
    if (*b) FreeRecordBuffer(*b);
  activeBuf_ = spareBuf_ = calcBuf_ = nullptr;
  calcValues_.clear();
  cursorOnActive_ = false;
}

bool DataSet::readActive(GetMode mode) {
  if (GetRecord(spareBuf_, mode, true) == grOK) {
    std::swap(activeBuf_, spareBuf_);
    hasRecord_ = true;
    cursorOnActive_ = true;
    return true;
  }
  cursorOnActive_ = false;
  return false;
}

void DataSet::UpdateCursorPos() {
  if (!cursorOnActive_ && hasRecord_) {
    InternalSetToRecord(activeBuf_);
    cursorOnActive_ = true;
  }
}

void DataSet::ResyncWithScroll() {
  runEvent(BeforeScroll);
  Resync();
  afterScroll();
}

void DataSet::afterScroll() {
  DoAfterScroll();
}

void DataSet::DoAfterScroll() {
  DataEventNotify(deDataSetScroll);
  runEvent(AfterScroll);
}

void DataSet::First() {
  checkActive();
  CheckBrowseMode();
  runEvent(BeforeScroll);
  InternalFirst();
  hasRecord_ = readActive(gmNext);
  bof_ = true;
  eof_ = !hasRecord_;
  afterScroll();
}

void DataSet::Last() {
  checkActive();
  CheckBrowseMode();
  runEvent(BeforeScroll);
  InternalLast();
  hasRecord_ = readActive(gmPrior);
  eof_ = true;
  bof_ = !hasRecord_;
  afterScroll();
}

int DataSet::MoveBy(int distance) {
  checkActive();
  CheckBrowseMode();
  if (distance == 0 || (distance > 0 && eof_) || (distance < 0 && bof_)) return 0;
  if (state_ == dsBlockRead) {
    if (distance < 0) DatabaseError(SNotSupported);
    int moved = 0;
    for (; moved < distance && !eof_; ++moved) BlockReadNext();
    return moved;
  }
  runEvent(BeforeScroll);
  int moved = 0;
  bof_ = eof_ = false;
  for (; distance != 0; distance += distance > 0 ? -1 : 1) {
    UpdateCursorPos();
    if (!readActive(distance > 0 ? gmNext : gmPrior)) {
      (distance > 0 ? eof_ : bof_) = true;
      break;
    }
    ++moved;
  }
  if (!hasRecord_) bof_ = eof_ = true;
  afterScroll();
  return moved;
}

void DataSet::Resync() {
  checkActive();
  if (readActive(gmCurrent) || readActive(gmNext) || readActive(gmPrior)) {
    bof_ = eof_ = false;
  } else {
    hasRecord_ = false;
    bof_ = eof_ = true;
  }
  if (hasRecord_) GetCalcFields(activeBuf_);
  DataEventNotify(deDataSetChange);
}

void DataSet::CheckBrowseMode() {
  checkActive();
  DataEventNotify(deCheckBrowseMode);
  if (state_ == dsSetKey) return Post();
  if (editing(state_)) {
    UpdateRecord();
    if (modified_)
      Post();
    else
      Cancel();
  }
}

void DataSet::UpdateRecord() {
  if (!editing(state_)) DatabaseError(SNotEditing);
  DataEventNotify(deUpdateRecord);
}

void DataSet::Edit() {
  if (editing(state_)) return;
  checkActive();
  if (!hasRecord_) return Insert();
  CheckBrowseMode();
  if (!GetCanModify()) DatabaseError(SDataSetReadOnly);
  DoBeforeEdit();
  UpdateCursorPos();
  InternalEdit();
  GetCalcFields(activeBuf_);
  SetState(dsEdit);
  DataEventNotify(deRecordChange);
  runEvent(AfterEdit);
}

void DataSet::Insert() {
  beginInsert(false);
}

void DataSet::Append() {
  beginInsert(true);
}

void DataSet::beginInsert(bool atEnd) {
  checkActive();
  CheckBrowseMode();
  if (!GetCanModify()) DatabaseError(SDataSetReadOnly);
  DoBeforeInsert();
  runEvent(BeforeScroll);
  insertReturn_ = GetBookmark();
  if (atEnd) {
    InternalLast();
    cursorOnActive_ = false;
  } else {
    UpdateCursorPos();
  }
  InternalInsert();
  InitRecord(activeBuf_);
  if (atEnd) SetBookmarkFlag(activeBuf_, bfEOF);
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    Cancel();
    throw;
  }
  modified_ = false;
  DataEventNotify(deDataSetChange);
  runEvent(AfterInsert);
  runEvent(AfterScroll);
}

void DataSet::InitRecord(uint8_t* buffer) {
  InternalInitRecord(buffer);
  ClearCalcFields(buffer);
  if (calcFieldCount_ > 0) calcValues_[buffer].assign(size_t(calcFieldCount_), Variant::null());
  SetBookmarkFlag(buffer, bfInserted);
}

void DataSet::DoOnNewRecord() {
  runEvent(OnNewRecord);
}

void DataSet::checkRequiredFields() {
  for (Field* f : flatFields_)
    if (f->Required && !f->ReadOnly && f->Kind == FieldKind::Data && !f->ParentField && f->IsNull())
      DatabaseErrorFmt(SFieldRequired, f->DisplayName());
}

void DataSet::InternalPost() {
  checkRequiredFields();
}

void DataSet::Post() {
  if (state_ == dsSetKey) return endKeyEntry(true);
  UpdateRecord();
  DataEventNotify(deCheckBrowseMode);
  runEvent(BeforePost);
  if (state_ == dsEdit) UpdateCursorPos();
  InternalPost();
  SetState(dsBrowse);
  Resync();
  runEvent(AfterPost);
}

void DataSet::endKeyEntry(bool keep) {
  PostKeyBuffer(keep);
  SetState(dsBrowse);
  DataEventNotify(deDataSetChange);
}

void DataSet::Cancel() {
  if (state_ == dsSetKey) return endKeyEntry(false);
  if (!editing(state_)) return;
  DataEventNotify(deCheckBrowseMode);
  runEvent(BeforeCancel);
  const bool inserting = state_ == dsInsert;
  if (!inserting) UpdateCursorPos();
  InternalCancel();
  SetState(dsBrowse);
  if (inserting) {
    if (!insertReturn_.empty() && BookmarkValid(insertReturn_)) {
      InternalGotoBookmark(insertReturn_.data());
      Resync();
    } else {
      InternalFirst();
      hasRecord_ = readActive(gmNext);
      bof_ = true;
      eof_ = !hasRecord_;
      DataEventNotify(deDataSetChange);
    }
  } else {
    Resync();
  }
  runEvent(AfterCancel);
}

void DataSet::Delete() {
  checkActive();
  if (state_ == dsInsert) return Cancel();
  if (state_ == dsEdit) Cancel();
  if (!hasRecord_) DatabaseError(SDataSetEmpty);
  if (!GetCanModify()) DatabaseError(SDataSetReadOnly);
  DataEventNotify(deCheckBrowseMode);
  DoBeforeDelete();
  runEvent(BeforeScroll);
  UpdateCursorPos();
  InternalDelete();
  Resync();
  runEvent(AfterDelete);
  runEvent(AfterScroll);
}

void DataSet::Refresh() {
  CheckBrowseMode();
  runEvent(BeforeRefresh);
  const Bookmark at = GetBookmark();
  InternalRefresh();
  cursorOnActive_ = false;
  if (!at.empty() && BookmarkValid(at)) {
    InternalGotoBookmark(at.data());
    Resync();
  } else {
    InternalFirst();
    hasRecord_ = readActive(gmNext);
    bof_ = true;
    eof_ = !hasRecord_;
    DataEventNotify(deDataSetChange);
  }
  runEvent(AfterRefresh);
}

void DataSet::ClearFields() {
  if (!editing(state_)) DatabaseError(SNotEditing);
  InternalInitRecord(activeBuf_);
  DataEventNotify(deDataSetChange);
}

Bookmark DataSet::GetBookmark() {
  if (state_ == dsInactive || !hasRecord_ || state_ == dsInsert || GetBookmarkFlag(activeBuf_) != bfCurrent)
    return {};
  Bookmark b(static_cast<size_t>(BookmarkSize), 0);
  GetBookmarkData(activeBuf_, b.data());
  return b;
}

void DataSet::GotoBookmark(const Bookmark& b) {
  if (b.empty()) return;
  CheckBrowseMode();
  if (b.size() != size_t(BookmarkSize)) DatabaseError(SInvalidBookmark);
  runEvent(BeforeScroll);
  InternalGotoBookmark(b.data());
  Resync();
  afterScroll();
}

bool DataSet::BookmarkValid(const Bookmark&) {
  return false;
}

int DataSet::CompareBookmarks(const Bookmark& a, const Bookmark& b) {
  if (a.empty() || b.empty()) return a.empty() ? (b.empty() ? 0 : -1) : 1;
  return a < b ? -1 : (a == b ? 0 : 1);
}

Field* DataSet::FindField(std::string_view name) const {
  for (Field* f : flatFields_)
    if (SameName(f->FieldName, name)) return f;
  return nullptr;
}

Field& DataSet::FieldByName(std::string_view name) const {
  Field* f = FindField(name);
  if (!f) DatabaseErrorFmt(SFieldNotFound, name);
  return *f;
}

std::vector<Field*> DataSet::GetFieldList(std::string_view names) const {
  std::vector<Field*> list;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string_view::npos) end = names.size();
    std::string_view name = names.substr(start, end - start);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (!name.empty()) list.push_back(&FieldByName(name));
    start = end + 1;
  }
  return list;
}

void DataSet::AddField(std::unique_ptr<Field> field) {
  if (Active()) DatabaseError(SDataSetOpen);
  if (FindField(field->FieldName)) DatabaseErrorFmt(SDuplicateFieldName, field->FieldName);
  fields_.push_back(std::move(field));
  defaultFields_ = false;
  CreateFields();
}

void DataSet::CreateFields() {
  if (fields_.empty()) {
    defaultFields_ = true;
    for (int i = 0; i < fieldDefs_.Count(); ++i) fields_.push_back(fieldDefs_[i].CreateField(this));
  } else if (Active() || state_ == dsOpening) {
    for (auto& f : fields_) {
      if (f->Kind != FieldKind::Data) continue;
      const FieldDef* def = fieldDefs_.Find(f->FieldName);
      if (!def) DatabaseErrorFmt(SFieldNotFound, f->FieldName);
      f->FieldNo = def->FieldNo;
    }
  }
  flatFields_.clear();
  calcFieldCount_ = 0;
  std::vector<Field*> pending;
  for (auto& f : fields_) pending.push_back(f.get());
  while (!pending.empty()) {
    Field* f = pending.front();
    pending.erase(pending.begin());
    f->dataSet_ = this;
    f->calcIndex_ = f->Kind == FieldKind::Data ? -1 : calcFieldCount_++;
    flatFields_.push_back(f);
    for (auto& c : f->Children) pending.push_back(c.get());
  }
  dropLookupLinks();
  for (Field* f : flatFields_)
    if (f->LookupDataSet && f->LookupDataSet != this &&
        std::find(lookupSources_.begin(), lookupSources_.end(), f->LookupDataSet) == lookupSources_.end()) {
      lookupSources_.push_back(f->LookupDataSet);
      f->LookupDataSet->lookupClients_.push_back(this);
    }
}

void DataSet::DestroyFields() {
  if (defaultFields_) {
    fields_.clear();
    flatFields_.clear();
    calcFieldCount_ = 0;
    dropLookupLinks();
  }
}

void DataSet::GetCalcFields(uint8_t* buffer) {
  if (calcFieldCount_ == 0 || !buffer) return;
  calcValues_[buffer].assign(size_t(calcFieldCount_), Variant::null());
  ClearCalcFields(buffer);
  uint8_t* savedBuf = calcBuf_;
  calcBuf_ = buffer;
  StateGuard guard(state_, dsCalcFields);
  for (Field* f : flatFields_) {
    if (!f->Lookup() || !f->LookupDataSet || !f->LookupDataSet->Active()) continue;
    std::vector<Variant> keys;
    for (Field* k : GetFieldList(f->KeyFields)) keys.push_back(k->Value());
    calcValues_[buffer][size_t(f->calcIndex_)] = f->LookupDataSet->Lookup(
        f->LookupKeyFields, keys.size() == 1 ? keys[0] : Variant(keys), f->LookupResultField);
  }
  if (AutoCalcFields && OnCalcFields) OnCalcFields(*this);
  calcBuf_ = savedBuf;
}

uint8_t* DataSet::GetStateBuffer() {
  return state_ == dsCalcFields ? calcBuf_ : ActiveBuffer();
}

bool DataSet::GetFieldData(Field& field, Variant& value) {
  if (field.calcIndex_ < 0) return false;
  uint8_t* buffer = GetStateBuffer();
  auto it = calcValues_.find(buffer);
  if (!buffer || it == calcValues_.end()) return false;
  value = it->second[size_t(field.calcIndex_)];
  return !value.isNull();
}

DataSet::DirectRead DataSet::ReadFieldText(Field&, std::string&) {
  return DirectRead::Unknown;
}

DataSet::DirectRead DataSet::ReadFieldInt32(Field&, int32_t&) {
  return DirectRead::Unknown;
}

void DataSet::SetFieldData(Field& field, const Variant& value) {
  if (field.calcIndex_ < 0) DatabaseError(SNotSupported);
  if (state_ != dsCalcFields && state_ != dsInternalCalc && !editing(state_)) DatabaseError(SNotEditing);
  uint8_t* buffer = GetStateBuffer();
  if (!buffer) DatabaseError(SNotEditing);
  field.Validate(value);
  auto& values = calcValues_[buffer];
  values.resize(size_t(calcFieldCount_), Variant::null());
  values[size_t(field.calcIndex_)] = value;
  if (state_ != dsCalcFields) DataEventNotify(deFieldChange, &field);
}

Variant DataSet::GetOldValue(Field& field) {
  StateGuard guard(state_, dsOldValue);
  return field.Value();
}

void DataSet::SetFilterText(const std::string& text) {
  filterText_ = text;
}

void DataSet::SetFiltered(bool value) {
  filtered_ = value;
}

void DataSet::SetFilterOptions(uint8_t options) {
  filterOptions_ = options;
}

void DataSet::SetOnFilterRecord(std::function<void(DataSet&, bool&)> handler) {
  onFilterRecord_ = std::move(handler);
}

bool DataSet::FindRecord(bool, bool) {
  DatabaseError(SNotSupported);
}

bool DataSet::Locate(const std::string&, const Variant&, uint8_t) {
  DatabaseError(SNotSupported);
}

Variant DataSet::Lookup(const std::string&, const Variant&, const std::string&) {
  DatabaseError(SNotSupported);
}

std::unique_ptr<Stream> DataSet::CreateBlobStream(Field&, BlobStreamMode) {
  DatabaseError(SNotSupported);
}

void DataSet::InternalHandleException() {
  throw;
}

void DataSet::DisableControls() {
  ++disableCount_;
}

void DataSet::EnableControls() {
  if (disableCount_ == 0 || --disableCount_ > 0) return;
  if (changedWhileDisabled_) {
    changedWhileDisabled_ = false;
    DataEventNotify(deDataSetChange);
  }
}

void DataSet::DataEventNotify(DataEvent event, Field* field) {
  if (event == deFieldChange && field) {
    if (field->Kind == FieldKind::Data || field->Kind == FieldKind::InternalCalc) modified_ = true;
    if (state_ != dsSetKey && calcFieldCount_ > 0 && field->Kind == FieldKind::Data)
      GetCalcFields(ActiveBuffer());
    field->Change();
  }
  if (disableCount_ > 0 && event != deUpdateState) {
    if (event != deCheckBrowseMode && event != deUpdateRecord) changedWhileDisabled_ = true;
    return;
  }
  if (dataSources_.empty()) return;
  // A copy: a source may go while it is told.
  const std::vector<DataSource*> sources = dataSources_;
  for (DataSource* s : sources) s->notify(event, field);
}

void DataSet::AddDataSource(DataSource* source) {
  dataSources_.push_back(source);
}

void DataSet::RemoveDataSource(DataSource* source) {
  std::erase(dataSources_, source);
}

bool DataSet::IsLinkedTo(DataSource* source) const {
  for (int hops = 0; source && hops < 1000; ++hops) {
    DataSet* ds = source->GetDataSet();
    if (!ds) break;
    if (ds == this) return true;
    source = ds->GetDataSource();
  }
  return false;
}

DataSource::~DataSource() {
  SetDataSet(nullptr);
  for (DataLink* l : std::vector<DataLink*>(links_)) l->SetDataSource(nullptr);
}

void DataSource::SetDataSet(DataSet* dataSet) {
  if (dataSet == dataSet_) return;
  if (dataSet && IsLinkedTo(dataSet)) DatabaseError(SCircularDataLink);
  if (dataSet_) dataSet_->RemoveDataSource(this);
  dataSet_ = dataSet;
  if (dataSet_) dataSet_->AddDataSource(this);
  for (DataLink* l : std::vector<DataLink*>(links_)) l->updateActive();
}

bool DataSource::IsLinkedTo(const DataSet* dataSet) const {
  for (DataLink* l : links_) {
    const DataSet* detail = l->DetailDataSet();
    if (!detail) continue;
    if (detail == dataSet) return true;
    for (DataSource* s : detail->dataSources_)
      if (s->IsLinkedTo(dataSet)) return true;
  }
  return false;
}

void DataSource::notify(DataEvent event, Field* field) {
  if (event == deUpdateState && State() != lastState_) {
    lastState_ = State();
    if (OnStateChange) OnStateChange(*this);
  }
  if ((event == deFieldChange || event == deRecordChange || event == deDataSetChange ||
       event == deDataSetScroll) &&
      OnDataChange)
    OnDataChange(*this, field);
  for (DataLink* l : std::vector<DataLink*>(links_)) l->dataEvent(event, field);
}

DataLink::~DataLink() {
  SetDataSource(nullptr);
}

void DataLink::SetDataSource(DataSource* source) {
  if (source == source_) return;
  if (source && DetailDataSet() && DetailDataSet()->IsLinkedTo(source)) DatabaseError(SCircularDataLink);
  if (source && DetailDataSet() && source->IsLinkedTo(DetailDataSet())) DatabaseError(SCircularDataLink);
  if (source_) std::erase(source_->links_, this);
  source_ = source;
  if (source_) source_->links_.push_back(this);
  updateActive();
}

void DataLink::updateActive() {
  const bool active = source_ && source_->State() != dsInactive;
  if (active == active_) return;
  active_ = active;
  ActiveChanged();
}

void DataLink::dataEvent(DataEvent event, Field* field) {
  if (event == deUpdateState) {
    updateActive();
    return EditingChanged();
  }
  if (!active_) return;
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      return RecordChanged(field);
    case deDataSetChange:
      return DataSetChanged();
    case deDataSetScroll:
      return DataSetScrolled();
    case deLayoutChange:
      return LayoutChanged();
    case deUpdateRecord:
      return UpdateData();
    case deCheckBrowseMode:
      return CheckBrowseMode();
    default:
      return;
  }
}

MasterDataLink::MasterDataLink(DataSet& detail) : detail_(&detail) {
  detail_->MasterLink = this;
}

MasterDataLink::~MasterDataLink() {
  if (detail_ && detail_->MasterLink == this) detail_->MasterLink = nullptr;
}

std::vector<Field*> MasterDataLink::MasterFields() const {
  DataSet* master = GetDataSet();
  return master && master->Active() ? master->GetFieldList(FieldNames) : std::vector<Field*>{};
}

void MasterDataLink::ActiveChanged() {
  if (!detail_) return;
  if (Active()) {
    if (OnMasterChange) OnMasterChange();
  } else if (OnMasterDisable) {
    OnMasterDisable();
  }
}

void MasterDataLink::RecordChanged(Field* field) {
  if (!detail_) return;
  if (!field) return DataSetChanged();
  for (Field* f : MasterFields())
    if (f == field) {
      if (OnMasterChange) OnMasterChange();
      return;
    }
}

void MasterDataLink::DataSetChanged() {
  if (detail_ && GetDataSet() && GetDataSet()->State() != dsInsert && OnMasterChange) OnMasterChange();
}

}  // namespace dataset
