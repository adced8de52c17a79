#include "dataset/params.h"

#include "dataset/dberror.h"

namespace dataset {

namespace {

FieldType typeOf(const Variant& v) {
  switch (v.type()) {
    case VariantType::Bool:
      return ftBoolean;
    case VariantType::Int16:
      return ftSmallint;
    case VariantType::Int32:
      return ftInteger;
    case VariantType::Int64:
      return ftLargeint;
    case VariantType::Double:
      return ftFloat;
    case VariantType::Currency:
      return ftCurrency;
    case VariantType::DateTime:
      return ftDateTime;
    case VariantType::String:
      return ftString;
    case VariantType::WideString:
      return ftWideString;
    case VariantType::Bytes:
      return ftVarBytes;
    default:
      return ftUnknown;
  }
}

}  // namespace

void Param::SetValue(const Variant& v) {
  if (DataType == ftUnknown) DataType = typeOf(v);
  value_ = v;
  Bound = true;
}

void Param::AssignField(const Field& field) {
  DataType = field.DataType();
  if (Name.empty()) Name = field.FieldName;
  value_ = field.Value();
  Bound = true;
}

void Param::Assign(const Param& other) {
  Name = other.Name;
  DataType = other.DataType;
  ParamType_ = other.ParamType_;
  value_ = other.value_;
  Bound = other.Bound;
}

Param& Params::CreateParam(FieldType type, std::string name, ParamType paramType) {
  auto p = NewParam();
  p->Name = std::move(name);
  p->DataType = type;
  p->ParamType_ = paramType;
  items_.push_back(std::move(p));
  return *items_.back();
}

Param* Params::FindParam(std::string_view name) const {
  for (auto& p : items_)
    if (SameName(p->Name, name)) return p.get();
  return nullptr;
}

Param& Params::ParamByName(std::string_view name) const {
  Param* p = FindParam(name);
  if (!p) DatabaseErrorFmt(SParamNotFound, name);
  return *p;
}

void Params::AssignValues(const Params& source) {
  for (auto& s : source.items_)
    if (Param* p = FindParam(s->Name)) {
      p->DataType = s->DataType;
      p->SetValue(s->Value());
    }
}

void Params::Assign(const Params& source) {
  if (&source == this) return;
  items_.clear();
  for (auto& s : source.items_) {
    items_.push_back(NewParam());
    items_.back()->Assign(*s);
  }
}

}  // namespace dataset
