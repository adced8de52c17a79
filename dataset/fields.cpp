#include "dataset/fields.h"

#include <cmath>
#include <limits>
#include <map>

#include "dataset/dataset.h"
#include "dataset/dberror.h"

namespace dataset {

namespace {

std::map<FieldType, FieldFactory>& registry() {
  static std::map<FieldType, FieldFactory> classes = [] {
    std::map<FieldType, FieldFactory> m;
    auto add = [&m]<class F>(FieldType t, F*) { m[t] = [] { return std::unique_ptr<Field>(new F()); }; };
    add(ftString, (StringField*)nullptr);
    add(ftSmallint, (SmallintField*)nullptr);
    add(ftInteger, (IntegerField*)nullptr);
    add(ftWord, (WordField*)nullptr);
    add(ftBoolean, (BooleanField*)nullptr);
    add(ftFloat, (FloatField*)nullptr);
    add(ftCurrency, (CurrencyField*)nullptr);
    add(ftBCD, (BCDField*)nullptr);
    add(ftDate, (DateField*)nullptr);
    add(ftTime, (TimeField*)nullptr);
    add(ftDateTime, (DateTimeField*)nullptr);
    add(ftBytes, (BytesField*)nullptr);
    add(ftVarBytes, (VarBytesField*)nullptr);
    add(ftAutoInc, (AutoIncField*)nullptr);
    add(ftBlob, (BlobField*)nullptr);
    add(ftMemo, (MemoField*)nullptr);
    add(ftWideString, (WideStringField*)nullptr);
    add(ftLargeint, (LargeintField*)nullptr);
    add(ftVariant, (VariantField*)nullptr);
    add(ftGuid, (GuidField*)nullptr);
    m[ftFixedChar] = [] { return std::make_unique<StringField>(ftFixedChar); };
    for (FieldType t : {ftGraphic, ftFmtMemo, ftTypedBinary, ftOraBlob, ftOraClob})
      m[t] = [t] { return std::make_unique<BlobField>(t); };
    for (FieldType t : {ftADT, ftArray, ftReference, ftDataSet})
      m[t] = [t] { return std::make_unique<ObjectField>(t); };
    return m;
  }();
  return classes;
}

// The longest prefix of `s` of at most `n` units that does not split a surrogate pair.
std::u16string cutUtf16(const std::u16string& s, size_t n) {
  if (s.size() <= n) return s;
  if (n > 0 && s[n] >= 0xDC00 && s[n] <= 0xDFFF) --n;
  return s.substr(0, n);
}

std::string numberText(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool IsBlobFieldType(FieldType t) {
  return (t >= ftBlob && t <= ftTypedBinary) || t == ftOraBlob || t == ftOraClob;
}

void RegisterFieldClass(FieldType type, FieldFactory factory) {
  registry()[type] = std::move(factory);
}

std::unique_ptr<Field> CreateFieldOfType(FieldType type) {
  auto it = registry().find(type);
  return it == registry().end() ? nullptr : it->second();
}

FieldDef::FieldDef() = default;
FieldDef::~FieldDef() = default;

FieldDefs& FieldDef::ChildDefs() {
  if (!children_) children_ = std::make_unique<FieldDefs>();
  return *children_;
}

bool FieldDef::HasChildDefs() const {
  return children_ && children_->Count() > 0;
}

std::unique_ptr<Field> FieldDef::CreateField(DataSet* dataSet) const {
  std::unique_ptr<Field> f = CreateFieldOfType(DataType);
  if (!f) DatabaseErrorFmt(SUnknownFieldType, Name);
  f->FieldName = Name;
  f->FieldNo = FieldNo;
  if (DataType == ftString || DataType == ftFixedChar || DataType == ftWideString || DataType == ftBytes ||
      DataType == ftVarBytes || DataType == ftBCD || DataType == ftGuid)
    f->Size = Size;
  f->Required = Required;
  f->ReadOnly = (Attributes & faReadonly) != 0;
  f->Visible = (Attributes & faHiddenCol) == 0;
  f->FixedChar = (Attributes & faFixed) != 0;
  if (auto* fl = dynamic_cast<FloatField*>(f.get()); fl && Precision > 0) fl->Precision = Precision;
  (void)dataSet;
  if (HasChildDefs())
    for (int i = 0; i < children_->Count(); ++i) {
      std::unique_ptr<Field> child = (*children_)[i].CreateField(dataSet);
      child->ParentField = f.get();
      f->Children.push_back(std::move(child));
    }
  return f;
}

FieldDef& FieldDefs::AddFieldDef() {
  items_.push_back(std::make_unique<FieldDef>());
  items_.back()->FieldNo = Count();
  return *items_.back();
}

FieldDef& FieldDefs::Add(std::string name, FieldType type, int size, bool required) {
  FieldDef& d = AddFieldDef();
  d.Name = std::move(name);
  d.DataType = type;
  d.Size = size;
  d.Required = required;
  return d;
}

FieldDef* FieldDefs::Find(std::string_view name) const {
  const int i = IndexOf(name);
  return i < 0 ? nullptr : items_[size_t(i)].get();
}

int FieldDefs::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (SameName(items_[i]->Name, name)) return int(i);
  return -1;
}

void FieldDefs::Clear() {
  items_.clear();
  Updated = false;
}

Field::~Field() = default;

Field* Field::AddTo(DataSet& dataSet, std::unique_ptr<Field> field) {
  Field* f = field.get();
  dataSet.AddField(std::move(field));
  return f;
}

bool Field::IsNull() const {
  Variant v;
  return !dataSet_ || !dataSet_->GetFieldData(const_cast<Field&>(*this), v) || v.isNull();
}

Variant Field::Value() const {
  // One variant returned, so that it is built in the caller's place.
  Variant v = Variant::null();
  if (!dataSet_ || !dataSet_->GetFieldData(const_cast<Field&>(*this), v)) v = Variant::null();
  return v;
}

void Field::SetValue(const Variant& v) {
  if (!dataSet_) DatabaseErrorFmt(SFieldNotFound, FieldName);
  dataSet_->SetFieldData(*this, Convert(v));
}

Variant Field::OldValue() const {
  return dataSet_ ? dataSet_->GetOldValue(const_cast<Field&>(*this)) : Variant::null();
}

std::string Field::AsString() const {
  Variant v = Value();
  if (v.type() == VariantType::Bytes) {
    const auto b = v.asBytes();
    return std::string(b.begin(), b.end());
  }
  return v.takeString();
}

int32_t Field::AsInteger() const {
  const Variant v = Value();
  return v.isNull() ? 0 : v.asInt32();
}

int64_t Field::AsLargeInt() const {
  const Variant v = Value();
  return v.isNull() ? 0 : v.asInt64();
}

double Field::AsFloat() const {
  const Variant v = Value();
  return v.isNull() ? 0 : v.asDouble();
}

DateTime Field::AsDateTime() const {
  const Variant v = Value();
  return v.isNull() ? DateTime{} : v.asDateTime();
}

void Field::SetAsString(const std::string& v) {
  SetValue(Variant(v));
}

Variant Field::Convert(const Variant& v) const {
  return v;
}

void Field::Validate(const Variant& v) {
  if (OnValidate) OnValidate(*this, v);
}

void Field::Change() {
  Modified = true;
  if (OnChange) OnChange(*this);
}

void Field::RangeError(const std::string& value, const std::string& min, const std::string& max) const {
  DatabaseError(value + " is not a valid value for field '" + DisplayName() + "'. The allowed range is " +
                min + " to " + max);
}

// Conversions that fail are the user's input, not a program error: they become database errors.
#define CONVERT_OR_FAIL(expr)                            \
  try {                                                  \
    return expr;                                         \
  } catch (const EVariantError&) {                       \
    DatabaseErrorFmt(SInvalidFieldValue, DisplayName()); \
  }

std::string StringField::AsString() const {
  std::string text;
  if (DataSet* d = dataSet()) {
    switch (d->ReadFieldText(const_cast<StringField&>(*this), text)) {
      case DataSet::DirectRead::Value:
        return text;
      case DataSet::DirectRead::Null:
        return {};
      case DataSet::DirectRead::Unknown:
        break;
    }
  }
  return Field::AsString();
}

Variant StringField::Convert(const Variant& v) const {
  if (v.isNull()) return Variant::null();
  CONVERT_OR_FAIL([&] {
    std::string text = v.asString();
    if (Size > 0 && text.size() > size_t(Size))
      text.resize(fittingTextLength(text, size_t(Size),
                                    dataSet() ? dataSet()->NarrowTextEncoding() : NarrowText::Utf8));
    return Variant(std::move(text));
  }())
}

Variant WideStringField::Convert(const Variant& v) const {
  if (v.isNull()) return Variant::null();
  CONVERT_OR_FAIL(Variant(Size > 0 ? cutUtf16(v.asWideString(), size_t(Size)) : v.asWideString()))
}

IntegerField::IntegerField(FieldType t) : Field(t) {
  switch (t) {
    case ftSmallint:
      lowest_ = INT16_MIN, highest_ = INT16_MAX;
      break;
    case ftWord:
      lowest_ = 0, highest_ = UINT16_MAX;
      break;
    case ftLargeint:
      lowest_ = INT64_MIN, highest_ = INT64_MAX;
      break;
    default:
      lowest_ = INT32_MIN, highest_ = INT32_MAX;
  }
}

int32_t IntegerField::AsInteger() const {
  int32_t number = 0;
  if (DataSet* d = dataSet()) {
    switch (d->ReadFieldInt32(const_cast<IntegerField&>(*this), number)) {
      case DataSet::DirectRead::Value:
        return number;
      case DataSet::DirectRead::Null:
        return 0;
      case DataSet::DirectRead::Unknown:
        break;
    }
  }
  return Field::AsInteger();
}

Variant IntegerField::Convert(const Variant& v) const {
  if (v.isNull()) return Variant::null();
  int64_t n = 0;
  try {
    if (v.type() == VariantType::Double) {
      const double d = v.asDouble();
      if (!(d >= -9.2e18 && d <= 9.2e18) || d != std::trunc(d))
        DatabaseErrorFmt(SInvalidFieldValue, DisplayName());
      n = int64_t(d);
    } else {
      n = v.asInt64();
    }
  } catch (const EVariantError&) {
    DatabaseErrorFmt(SInvalidFieldValue, DisplayName());
  }
  if (n < lowest_ || n > highest_)
    RangeError(std::to_string(n), std::to_string(lowest_), std::to_string(highest_));
  return DataType() == ftLargeint ? Variant(n) : Variant(int32_t(n));
}

void IntegerField::Validate(const Variant& v) {
  if (!v.isNull() && (MinValue != 0 || MaxValue != 0)) {
    const int64_t n = v.asInt64();
    if (n < MinValue || n > MaxValue)
      RangeError(std::to_string(n), std::to_string(MinValue), std::to_string(MaxValue));
  }
  Field::Validate(v);
}

Variant FloatField::Convert(const Variant& v) const {
  if (v.isNull()) return Variant::null();
  CONVERT_OR_FAIL(Variant(v.asDouble()))
}

Variant BCDField::Convert(const Variant& v) const {
  if (v.isNull()) return Variant::null();
  const VariantType t = v.type();
  if (!v.isText() && t != VariantType::Currency && t != VariantType::Int16 && t != VariantType::Int32 &&
      t != VariantType::Int64)
    return FloatField::Convert(v);
  // Read as a number only to refuse what is none; the value itself goes on unrounded.
  CONVERT_OR_FAIL((void(v.asDouble()), v))
}

void FloatField::Validate(const Variant& v) {
  if (!v.isNull()) {
    const double d = v.asDouble();
    if (!std::isfinite(d)) DatabaseErrorFmt(SInvalidFieldValue, DisplayName());
    if ((MinValue != 0 || MaxValue != 0) && (d < MinValue || d > MaxValue))
      RangeError(numberText(d), numberText(MinValue), numberText(MaxValue));
  }
  Field::Validate(v);
}

Variant BooleanField::Convert(const Variant& v) const {
  if (v.isNull()) return Variant::null();
  if (v.isText()) {
    const std::string s = v.asString();
    if (SameName(s, "true")) return Variant(true);
    if (SameName(s, "false")) return Variant(false);
  }
  CONVERT_OR_FAIL(Variant(v.asBool()))
}

Variant DateTimeField::Convert(const Variant& v) const {
  if (v.isNull()) return Variant::null();
  CONVERT_OR_FAIL(Variant(v.asDateTime()))
}

Variant BytesField::Convert(const Variant& v) const {
  if (v.isNull()) return Variant::null();
  if (v.type() == VariantType::String) {
    const std::string s = v.asString();
    return Variant::bytes(std::vector<uint8_t>(s.begin(), s.end()));
  }
  CONVERT_OR_FAIL(Variant::bytes(v.asBytes()))
}

Variant BlobField::Convert(const Variant& v) const {
  if (v.isNull() || v.type() == VariantType::Bytes) return v;
  CONVERT_OR_FAIL(Variant(v.asString()))
}

}  // namespace dataset
