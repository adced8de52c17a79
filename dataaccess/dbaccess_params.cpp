#include "dataaccess/dbaccess_params.h"

#include <utility>

#include "dataaccess/daconsts.h"

namespace dataaccess {

using dataset::ftBlob;
using dataset::ftMemo;
using dataset::ftString;
using dataset::ftUnknown;
using dataset::ftWideString;

bool TDAParam::IsObjectDataType(FieldType dataType) const {
  return dataType == ftBlob || dataType == ftMemo;
}

void TDAParam::SetDataType(FieldType value) {
  const bool wasObject = IsObjectDataType(DataType), isObject = IsObjectDataType(value);
  DataType = value;
  if (wasObject && !isObject) FreeObject();
  if (isObject && !object_) CreateObject();
}

TBlob& TDAParam::blob() const {
  if (!object_) object_ = new TBlob(false);
  return *object_;
}

void TDAParam::CreateObject() {
  DA_ASSERT(!object_, "Value object already created");
  object_ = new TBlob(false);
}

void TDAParam::FreeObject() {
  ReleaseObject(std::exchange(object_, nullptr));
}

std::string TDAParam::GetAsString() const {
  return IsBlob() ? blob().AsString() : AsString();
}

void TDAParam::SetAsString(const std::string& value) {
  if (IsBlob()) {
    blob().SetAsString(value);
    Bound = true;
  } else if (DataType == ftWideString) {
    SetValue(Variant(dataset::utf8ToUtf16(value)));
  } else {
    Param::SetAsString(value);
  }
}

std::u16string TDAParam::GetAsWideString() const {
  if (IsBlob()) return blob().AsWideString();
  return Value().isNull() ? std::u16string() : Value().asWideString();
}

void TDAParam::SetAsWideString(const std::u16string& value) {
  if (IsBlob()) {
    blob().SetAsWideString(value);
    Bound = true;
    return;
  }
  if (DataType == ftUnknown) DataType = ftWideString;
  SetValue(Variant(value));
}

void TDAParam::SetAsBlob(const std::string& value) {
  SetDataType(ftBlob);
  SetAsString(value);
}

void TDAParam::SetAsMemo(const std::string& value) {
  SetDataType(ftMemo);
  SetAsString(value);
}

TBlob* TDAParam::GetAsBlobRef() {
  if (!IsBlob()) SetDataType(ftBlob);
  return &blob();
}

void TDAParam::SetAsBlobRef(TBlob* value) {
  SetDataType(ftBlob);
  if (value) value->AddRef();
  FreeObject();
  object_ = value;
  Param::SetValue(Variant("Object"));
}

TBlob* TDAParam::GetAsMemoRef() {
  if (!IsBlob()) SetDataType(ftMemo);
  return &blob();
}

void TDAParam::SetAsMemoRef(TBlob* value) {
  SetAsBlobRef(value);
  DataType = ftMemo;
}

Variant TDAParam::GetValue() const {
  if (IsBlob()) return IsNull() ? Variant::null() : Variant(blob().AsString());
  return Value();
}

void TDAParam::SetValue(const Variant& value) {
  if (!IsBlob()) return Param::SetValue(value);
  if (value.isNull())
    blob().Clear();
  else if (value.type() == dataset::VariantType::Bytes) {
    const auto bytes = value.asBytes();
    blob().Clear();
    blob().Write(0, bytes.size(), bytes.data());
  } else {
    blob().SetAsString(value.asString());
  }
  Bound = true;
}

bool TDAParam::IsNull() const {
  return IsBlob() ? blob().GetSize() == 0 : Param::IsNull();
}

void TDAParam::Clear() {
  if (IsBlob())
    blob().Clear();
  else
    Param::Clear();
}

void TDAParam::AssignFieldValue(const Field& field, const Variant& value) {
  if (field.DataType() == ftMemo && field.Size > 255)
    SetDataType(ftString);
  else
    SetDataType(field.DataType());
  if (value.isNull())
    Clear();
  else
    SetValue(value);
}

void TDAParam::LoadFromStream(dataset::Stream& stream, FieldType dataType) {
  SetDataType(dataType);
  stream.Seek(0, dataset::soBeginning);
  const std::string content = stream.ReadAll();
  blob().Clear();
  blob().Write(0, content.size(), content.data());
  Bound = true;
}

void TDAParam::Assign(const Param& other) {
  if (&other == this) return;
  const auto* source = dynamic_cast<const TDAParam*>(&other);
  if (!source) {
    FreeObject();
    Param::Assign(other);
    if (IsBlob()) SetValue(other.Value());
    return;
  }
  Name = source->Name;
  ParamType_ = source->ParamType_;
  SetDataType(source->DataType);
  size_ = source->size_;
  SetValue(source->GetValue());
  Bound = source->Bound;
}

void TDAParam::AssignStrings(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  if (DataType == ftUnknown) DataType = ftString;
  SetValue(Variant(text));
}

void TDAParam::AssignParam(const Param& other) {
  SetDataType(other.DataType);
  const auto* source = dynamic_cast<const TDAParam*>(&other);
  SetValue(source ? source->GetValue() : other.Value());
  Name = other.Name;
  if (ParamType_ == dataset::ptUnknown) ParamType_ = other.ParamType_;
}

void TDAParam::AssignTo(Field& field) const {
  field.SetValue(GetValue());
}

}  // namespace dataaccess
