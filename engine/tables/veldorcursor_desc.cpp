// The data cursor: descriptor look-ups, table facts and placing one cursor on another's record.
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorlocale.h"
#include "engine/storage/veldorblob.h"
#include "engine/storage/veldordata.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldortable.h"

namespace engine {

const TFieldDescriptor& TDataCursor::GetFieldDescByNumber(uint16_t number) const {
  for (const TCursorField& f : fields_)
    if (f.desc.FieldNumber() == number) return f.desc;
  Raise(VELDOR_OUTOFRANGE, std::to_string(number));
}

const TFieldDescriptor& TDataCursor::GetFieldDescByPosition(uint16_t position) const {
  if (position < 1 || position > fields_.size()) Raise(VELDOR_OUTOFRANGE, std::to_string(position));
  return fields_[position - 1u].desc;
}

const TFieldDescriptor& TDataCursor::GetCursorFieldDescByName(std::string_view name) const {
  for (const TCursorField& f : fields_)
    if (OSCompareStrings(languageId_, sortId_, f.desc.Name(), true, 0, name) == 0) return f.desc;
  Raise(VELDOR_OUTOFRANGE, name);
}

bool TDataCursor::FindFieldDesc(std::string_view name, TFieldDescriptor& descriptor) const {
  const TFieldDescriptor& d = GetCursorFieldDescByName(name);
  const TCursorField* field = nullptr;
  for (const TCursorField& f : fields_)
    if (&f.desc == &d) field = &f;
  if (!field || field->TableFieldNo() == 0) return false;
  descriptor = GetTableFieldDesc(field->TableFieldNo());
  return true;
}

TIndexDescriptor TDataCursor::GetIndexDesc(uint8_t slot) const {
  if (slot == kNoCurrentIndex || !table_) return TIndexDescriptor{};
  return table_->IndexFile().GetIndexDescriptor(slot);
}

uint32_t TDataCursor::GetLastRecordNumber() const {
  return table_ ? table_->DataFile().GetLastRecordNumber() : 0;
}

uint32_t TDataCursor::GetBlobFileBlockCount() const {
  return table_ && table_->BlobFileInUse() ? table_->BlobFile().GetBlockCount() : 0;
}

std::string TDataCursor::GetDescription() {
  return table_ ? table_->DataFile().GetDescription() : TDataFile::DescriptionOf(GetDataHeader(false).data());
}

bool TDataCursor::IsEncrypted() {
  return table_ ? table_->DataFile().IsEncrypted() : TDataFile::EncryptedOf(GetDataHeader(false).data());
}

std::string TDataCursor::GetTablePassword() {
  return table_ ? table_->DataFile().GetPassword() : TDataFile::PasswordOf(GetDataHeader(false).data());
}

const TFieldDescriptor& TDataCursor::GetTableFieldDescByNumber(uint16_t number) const {
  uint16_t position = 0;
  const TFieldDescriptor* d = table_ ? table_->DataFile().FindFieldByNumber(number, position) : nullptr;
  if (!d) Raise(VELDOR_OUTOFRANGE, std::to_string(number));
  return *d;
}

const TFieldDescriptor& TDataCursor::GetTableFieldDescByPosition(uint16_t position) const {
  return GetTableFieldDesc(position);
}

uint16_t TDataCursor::GetFieldNumber(std::string_view name) const {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  return table_->DataFile().IndexOfFieldName(name);
}

void TDataCursor::SetTableFieldDesc(uint16_t number, const TFieldDescriptor& descriptor) {
  uint16_t position = 0;
  if (!table_ || !table_->DataFile().FindFieldByNumber(number, position))
    Raise(VELDOR_OUTOFRANGE, std::to_string(number));
  table_->DataFile().UpdateFieldDescriptor(position, descriptor);
}

void TDataCursor::SetNoPrimaryIndex(bool flag) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  table_->IndexFile().SetNoPrimaryIndex(flag);
}

void TDataCursor::SetIndexCount(uint8_t count) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  table_->IndexFile().SetIndexCount(count);
}

void TDataCursor::DiscardTableCaches() {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  table_->DiscardCaches(true, true);
}

bool TDataCursor::AskPassword() {
  return passwordCallback_ && passwordCallback_(*this);
}

uint16_t TDataCursor::SetToRecordBuffer(TDataCursor& other) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  if (IsRemote()) return remoteSetToRecordBuffer(other);
  ReadScope scope(*this);
  SyncWithTable();
  const uint32_t record = other.GetRecordNumber();
  if (record == 0) return VELDOR_RECNOTFOUND;
  if (InRecordNumberOrder()) {
    if (!viewBitmap_.GetBit(record)) return VELDOR_RECNOTFOUND;
    SetToRecordNo(record);
  } else {
    std::array<uint8_t, kMaxCursorKeySize + 1> key{};
    const std::vector<uint8_t>& image = other.GetCurrentRecordBuffer();
    BuildKey(image.data(), key.data(), image.data());
    if (!SeekKey(key.data(), false, false)) return VELDOR_RECNOTFOUND;
  }
  LoadCurrentRecord(false);
  return 0;
}

}  // namespace engine
