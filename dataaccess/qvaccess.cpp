#include "dataaccess/qvaccess.h"

#include <algorithm>
#include <limits>
#include <string>

namespace dataaccess {

using dataset::VariantType;

void UnknownPropNumber(int prop) {
  AssertionFailed(std::to_string(prop).c_str(), __FILE__, __LINE__);
}

namespace {

// The handler of type T in `event`, or an empty one for a cleared event.
template <class T>
T eventOf(int prop, const TQvEvent& event) {
  if (std::holds_alternative<std::monostate>(event)) return T();
  if (!std::holds_alternative<T>(event)) UnknownPropNumber(prop);
  return std::get<T>(event);
}

}  // namespace

// ---- Connection ----

bool TQvConnection::SetProp(int prop, const Variant& value) {
  switch (prop) {
    case prAutoCommit:
      autoCommit_ = value.asBool();
      return true;
    case prConvertEOL:
      convertEOL_ = value.asBool();
      return true;
    default:
      UnknownPropNumber(prop);
  }
}

bool TQvConnection::GetProp(int prop, Variant&) {
  UnknownPropNumber(prop);
}

bool TQvConnection::SetEventProp(int prop, const TQvEvent&) {
  UnknownPropNumber(prop);
}

// ---- Parameter descriptors ----

void TParamDesc::SetValue(const Variant& value) {
  value_ = value;
  isNull_ = value.isNull();
}

void* TParamDesc::GetObject() const {
  if (value_.isNull()) return nullptr;
  DA_ASSERT(value_.type() == VariantType::Object, "Invalid VType");
  return value_.asObject();
}

void TParamDesc::SetObject(void* object) {
  SetValue(Variant::object(object));
}

void TParamDesc::SetNull(bool value) {
  isNull_ = value;
  value_ = Variant();
}

TParamDesc& TParamDescs::Add(std::unique_ptr<TParamDesc> desc) {
  items_.push_back(std::move(desc));
  return *items_.back();
}

void TParamDescs::Delete(int index) {
  (void)Items(index);  // bounds
  items_.erase(items_.begin() + index);
}

// ---- Command ----

TParamDesc& TQvCommand::AddParam() {
  return Params.Add(CreateParamDesc());
}

bool TQvCommand::SetProp(int prop, const Variant& value) {
  if (prop != prAutoCommit) UnknownPropNumber(prop);
  autoCommit_ = value.asBool();
  return true;
}

bool TQvCommand::GetProp(int prop, Variant& value) {
  switch (prop) {
    case prScanParams:
      value = false;
      return true;
    case prExecuting:
      value = GetExecuting();
      return true;
    default:
      UnknownPropNumber(prop);
  }
}

bool TQvCommand::SetEventProp(int prop, const TQvEvent& event) {
  if (prop != evAfterExecute) UnknownPropNumber(prop);
  afterExecute_ = eventOf<TQvBoolEvent>(prop, event);
  return true;
}

void TQvCommand::DoAfterExecute(bool succeeded) {
  if (afterExecute_) afterExecute_(succeeded);
}

// ---- Record set ----

TQvRecordSet::~TQvRecordSet() {
  // The rows go before the command that produced them, as the store's own destructor would
  // otherwise close after the command is gone.
  Close();
  command_.reset();
}

TQvCommand& TQvRecordSet::GetCommand() const {
  DA_ASSERT(command_, "Record set without command");
  return *command_;
}

bool TQvRecordSet::NeedConvertEOL() const {
  return command_ && command_->GetConnection() && command_->GetConnection()->GetConvertEOL();
}

dataset::NarrowText TQvRecordSet::NarrowTextEncoding() const {
  return command_ && command_->GetConnection() ? command_->GetConnection()->NarrowTextEncoding()
                                               : dataset::NarrowText::Utf8;
}

void TQvRecordSet::InternalOpen() {
  const bool wasPrepared = Prepared();
  try {
    TMemData::InternalOpen();
    eof_ = false;
    ExecFetch();
  } catch (...) {
    if (!wasPrepared) InternalUnprepare();
    throw;
  }
}

void TQvRecordSet::Prepare() {
  if (Prepared()) return;
  try {
    TMemData::Prepare();
    if (commandType_ == ctCursor) InitFields();
  } catch (...) {
    if (Prepared())
      TMemData::Unprepare();
    else
      InternalUnprepare();
    throw;
  }
}

void TQvRecordSet::ExecFetch() {
  const bool wasQuery = commandType_ == ctCursor;
  ExecCommand();
  // Closing a record set that is not prepared forgets its fields.
  if (!wasQuery || Fields.Count() == 0) InitFields();
  if (fetchAll_)
    FetchAll();
  else
    Fetch(false);
}

void TQvRecordSet::FetchAll() {
  while (Fetch(false)) {
  }
}

void TQvRecordSet::GetNextRecord(uint8_t* recBuf) {
  fetchOnDemand(recBuf, true);
}

void TQvRecordSet::GetPriorRecord(uint8_t* recBuf) {
  if (uniDirectional_) {
    bof_ = true;
    SetCurrentItem(nullptr);
    return;
  }
  if (!CanFetchBack()) return TMemData::GetPriorRecord(recBuf);
  fetchOnDemand(recBuf, false);
}

void TQvRecordSet::fetchOnDemand(uint8_t* recBuf, bool forward) {
  if (forward ? Eof() : Bof()) return;
  bool& endFlag = forward ? eof_ : bof_;
  auto step = [forward](TItemHeader* item) { return forward ? item->Next : item->Prev; };
  TItemHeader* item;
  if (FirstItem) {
    item =
        (forward ? Bof() : Eof()) || !CurrentItem() ? (forward ? FirstItem : LastItem) : step(CurrentItem());
  } else {
    if (!Fetch(!forward)) {
      SetCurrentItem(nullptr);
      endFlag = true;
      return;
    }
    item = forward ? FirstItem : LastItem;
  }
  for (;;) {
    if (!item) {
      TItemHeader* last = LastItem;
      if (!Fetch(!forward)) break;
      // Appended rows follow the remembered last one; a replacing block starts afresh.
      item = !forward ? LastItem : ReplacesBlocks() || !last ? FirstItem : last->Next;
      continue;
    }
    if (OmitRecord(item)) {
      item = step(item);
      continue;
    }
    SetCurrentItem(item);
    bof_ = eof_ = false;
    if (recBuf) BlockMan.GetRecord(item, recBuf);
    return;
  }
  SetCurrentItem(nullptr);
  endFlag = true;
}

void TQvRecordSet::StartBlock(bool fetchBack, int rows) {
  if (!ReplacesBlocks()) return;
  if (fetchBack)
    nextNumber_ = (FirstItem ? FirstItem->Order : nextNumber_) - rows;
  else
    nextNumber_ = LastItem ? LastItem->Order + 1 : 1;
  DropItems();
  RecNoOffset = 0;
}

void TQvRecordSet::AddFetchedRecord(const uint8_t* recBuf) {
  TItemHeader* item = AppendItem();
  BlockMan.PutRecord(item, recBuf);
  if (ReplacesBlocks()) {
    item->Order = nextNumber_++;
    RecordCount = std::max(RecordCount, int(item->Order));
  } else if (!OmitRecord(item)) {
    ++RecordCount;
    item->Order = RecordCount - RecNoOffset;
  } else {
    item->Order = item->Prev ? item->Prev->Order : 0;
  }
}

void TQvRecordSet::FetchBlockEvent(bool before, bool& cancel) {
  if (onFetchBlock_) onFetchBlock_(before, cancel);
}

void TQvRecordSet::DoAfterExecFetch(bool succeeded) {
  if (afterExecFetch_) afterExecFetch_(succeeded);
}

void TQvRecordSet::DoAfterFetchAll(bool succeeded) {
  if (afterFetchAll_) afterFetchAll_(succeeded);
}

bool TQvRecordSet::SetProp(int prop, const Variant& value) {
  switch (prop) {
    case prUniDirectional:
      uniDirectional_ = value.asBool();
      return true;
    case prFetchRows: {
      const int64_t rows = value.asInt64();
      if (rows < 1 || rows > 10000) DatabaseError(SInvalidFetchRows);
      fetchRows_ = int32_t(rows);
      // A block of the store's items holds one fetch.
      BlockMan.DefaultItemCount = uint16_t(rows);
      return true;
    }
    case prFetchAll:
      fetchAll_ = value.asBool();
      return true;
    case prLongStrings:
      longStrings_ = value.asBool();
      return true;
    case prEnableEmptyStrings:
      EnableEmptyStrings = value.asBool();
      return true;
    case prFlatBuffers:
      flatBuffers_ = value.asBool();
      return true;
    default:
      UnknownPropNumber(prop);
  }
}

bool TQvRecordSet::GetProp(int prop, Variant&) {
  UnknownPropNumber(prop);
}

bool TQvRecordSet::SetEventProp(int prop, const TQvEvent& event) {
  switch (prop) {
    case evAfterExecFetch:
      afterExecFetch_ = eventOf<TQvBoolEvent>(prop, event);
      return true;
    case evAfterFetchAll:
      afterFetchAll_ = eventOf<TQvBoolEvent>(prop, event);
      return true;
    case evOnFetchBlock:
      onFetchBlock_ = eventOf<TQvFetchBlockEvent>(prop, event);
      return true;
    default:
      UnknownPropNumber(prop);
  }
}

}  // namespace dataaccess
