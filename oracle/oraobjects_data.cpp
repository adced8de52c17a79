#include "oracle/oraobjects_data.h"

#include <memory>

#include "oracle/oraerror.h"

namespace oracle {

namespace da = dataaccess;

TRefData::~TRefData() {
  da::ReleaseObject(ref_);
}

void TRefData::SetRef(TOraRef* ref) {
  if (ref == ref_) return;
  if (ref) ref->AddRef();
  da::ReleaseObject(ref_);
  ref_ = ref;
}

void TRefData::InternalPrepare() {
  if (!ref_) RaiseError("Reference is not defined");
}

void TRefData::InternalOpen() {
  InternalPrepare();
  if (Fields.Count() == 0) InitFields();
  TData::InternalOpen();
  bof_ = true;
  eof_ = false;
  if (!ref_->RefIsNull()) ref_->Pin();
}

void TRefData::InternalClose() {
  if (ref_) ref_->Unpin();
  TData::InternalClose();
}

void TRefData::InternalInitFields() {
  InternalPrepare();
  ref_->CheckType();
  TOraType* type = ref_->OraType();
  auto f = std::make_unique<da::TFieldDesc>();
  f->Name = f->ActualName = "REF";
  f->DataType = type->DataType;
  f->Size = uint16_t(sizeof(void*));  // the slot holds the REF object
  f->FieldNo = 1;
  f->Required = !FieldOptional;
  f->SetObjectType(type);
  da::TFieldDesc& field = Fields.Add(std::move(f));
  InitObjectFields(type, &field);
}

void TRefData::GetRecord(uint8_t* recBuf) {
  if (bof_ || eof_ || !ref_ || ref_->RefIsNull()) return;
  SetSlotPointer<da::TDBObject>(Fields[0], recBuf, ref_);
}

void TRefData::GetNextRecord(uint8_t* recBuf) {
  if (bof_ && ref_ && !ref_->RefIsNull()) {
    bof_ = false;
    GetRecord(recBuf);
  } else {
    eof_ = true;
  }
}

void TRefData::GetPriorRecord(uint8_t* recBuf) {
  if (eof_ && ref_ && !ref_->RefIsNull()) {
    eof_ = false;
    GetRecord(recBuf);
  } else {
    bof_ = true;
  }
}

void TRefData::PutRecord(const uint8_t* recBuf) {
  DA_ASSERT(SlotPointer<da::TDBObject>(Fields[0], recBuf) == ref_, "Record holds another reference");
}

void TRefData::UpdateRecord(const uint8_t* recBuf) {
  PutRecord(recBuf);
  ref_->Flush();
}

TTableData::~TTableData() {
  da::ReleaseObject(table_);
}

void TTableData::SetTable(TOraArray* table) {
  if (table == table_) return;
  if (table) table->AddRef();
  da::ReleaseObject(table_);
  table_ = table;
}

void TTableData::InternalOpen() {
  if (Fields.Count() == 0) InitFields();
  TMemData::InternalOpen();
  eof_ = false;
  lastIndex_ = -1;
  Fetch();
}

void TTableData::InternalInitFields() {
  if (!table_) return;
  table_->CheckType();
  const TOraType& type = *table_->OraType();
  if (!type.IsCollection()) RaiseError("Type of object must be Array");
  const da::TAttribute& element = type.Attribute(0);
  auto f = std::make_unique<da::TFieldDesc>();
  f->Name = element.Name;
  f->ActualName = element.Name;
  f->DataType = element.DataType;
  f->Length = element.Length;
  f->Fixed = element.Fixed;
  f->FieldNo = 1;
  switch (element.DataType) {
    case da::dtString:
      f->Size = uint16_t(element.Length + 1);
      break;
    case da::dtInteger:
      f->Size = 4;
      break;
    case da::dtFloat:
    case da::dtDateTime:
      f->Size = 8;
      break;
    default:
      RaiseError("Data type is not supported.");
  }
  Fields.Add(std::move(f));
  auto index = std::make_unique<da::TFieldDesc>();
  index->Name = index->ActualName = "ELEMENT INDEX";
  index->DataType = da::dtInteger;
  index->Size = 4;
  index->FieldNo = 2;
  index->Hidden = index->HiddenColumn = true;
  index->ReadOnly = true;
  Fields.Add(std::move(index));
}

bool TTableData::Fetch(bool fetchBack) {
  if (fetchBack || !table_ || !table_->Instance()) return false;
  auto* nested = dynamic_cast<TOraNestTable*>(table_);
  bool any = false;
  for (;;) {
    const int32_t next =
        nested ? nested->Next(lastIndex_) : (lastIndex_ + 1 < table_->Size() ? lastIndex_ + 1 : -1);
    if (next < 0) break;
    lastIndex_ = next;
    da::TItemHeader* item = AppendItem();
    uint8_t* recBuf = da::TBlockManager::GetRecordPtr(item);
    InitRecord(recBuf);
    PutFieldAsVariant(1, recBuf, table_->ItemValue(next));
    PutFieldAsVariant(2, recBuf, da::Variant(next));
    item->Status = da::usUnmodified;
    item->UpdateResult = da::uaNone;
    ++RecordCount;
    any = true;
  }
  return any;
}

int32_t TTableData::indexOf(const uint8_t* recBuf) {
  const da::Variant v = GetFieldAsVariant(2, recBuf);
  DA_ASSERT(!v.isNull(), "Record has no element");
  return v.asInt32();
}

void TTableData::writeElement(int32_t index, const uint8_t* recBuf) {
  const da::Variant v = GetFieldAsVariant(1, recBuf);
  if (v.isNull())
    table_->SetAttrIsNull("[" + std::to_string(index) + "]", true);
  else
    table_->SetItemValue(index, v);
}

void TTableData::DoInsertRecord(const uint8_t* recBuf) {
  DA_ASSERT(table_ != nullptr, "Table is not defined");
  const int32_t index = table_->AppendItem();
  writeElement(index, recBuf);
  // The new element's index goes back into the record the list keeps.
  PutFieldAsVariant(2, const_cast<uint8_t*>(recBuf), da::Variant(index));
  lastIndex_ = std::max(lastIndex_, index);
}

void TTableData::DoUpdateRecord(const uint8_t* recBuf) {
  DA_ASSERT(table_ != nullptr, "Table is not defined");
  writeElement(indexOf(recBuf), recBuf);
}

void TTableData::DoDeleteRecord() {
  DA_ASSERT(table_ != nullptr && CurrentItem() != nullptr, "Table is not defined");
  auto* nested = dynamic_cast<TOraNestTable*>(table_);
  if (!nested) RaiseError("Type of object must be Table");
  nested->DeleteItem(indexOf(da::TBlockManager::GetRecordPtr(CurrentItem())));
}

}  // namespace oracle
