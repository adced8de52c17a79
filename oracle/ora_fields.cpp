#include "oracle/ora_fields.h"

#include <cctype>
#include <cstring>
#include <mutex>

#include "dataaccess/memds.h"
#include "dataset/dataset.h"
#include "dataset/dberror.h"
#include "platform/bytes.h"
#include "platform/textrules.h"

namespace oracle {

namespace da = dataaccess;
namespace ds = dataset;

namespace {

template <class F>
void add(ds::FieldType type) {
  ds::RegisterFieldClass(type, [] { return std::unique_ptr<ds::Field>(new F()); });
}

template <class F>
void addTyped(ds::FieldType type) {
  ds::RegisterFieldClass(type, [type] { return std::unique_ptr<ds::Field>(new F(type)); });
}

std::string objectText(const ds::Field& f, const char* name) {
  const std::string text = std::string("(") + name + ")";
  return f.IsNull() ? text : platform::asciiUpperCased(text);
}

bool editable(ds::DataSetState s) {
  return s == ds::dsEdit || s == ds::dsInsert || s == ds::dsSetKey || s == ds::dsNewValue;
}

}  // namespace

void RegisterOraFieldClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    add<TCursorField>(ds::ftCursor);
    add<TBFileField>(da::ftBFile);
    add<TOraDataSetField>(ds::ftDataSet);
    add<TOraReferenceField>(ds::ftReference);
    add<TLabelField>(da::ftLabel);
    addTyped<TOraTimeStampField>(da::ftTimeStamp);
    addTyped<TOraTimeStampField>(da::ftTimeStampTZ);
    addTyped<TOraTimeStampField>(da::ftTimeStampLTZ);
    addTyped<TOraIntervalField>(da::ftIntervalYM);
    addTyped<TOraIntervalField>(da::ftIntervalDS);
    add<TOraNumberField>(da::ftNumber);
    add<TOraXMLField>(da::ftXML);
    add<ds::WideStringField>(da::ftFixedWideChar);
  });
}

// ---- BFILE, nested dataset, reference, label ----

TBFileField::TBFileField() : BlobField(da::ftBFile) {}

TOraFile* TBFileField::File() const {
  auto* d = dynamic_cast<da::TMemDataSet*>(dataSet());
  return d ? dynamic_cast<TOraFile*>(d->GetFieldObject(*this)) : nullptr;
}

bool TBFileField::IsNull() const {
  TOraFile* file = File();
  if (!file) return Field::IsNull();
  return file->FileDir().empty() && file->FileName().empty();
}

void TBFileField::SetValue(const ds::Variant&) {
  ds::DatabaseErrorFmt(ds::SFieldReadOnly, DisplayName());
}

std::string TBFileField::DisplayText() const {
  return objectText(*this, "BFile");
}

std::string TBFileField::FileDir() const {
  TOraFile* file = File();
  return file ? file->FileDir() : std::string();
}

std::string TBFileField::FileName() const {
  TOraFile* file = File();
  return file ? file->FileName() : std::string();
}

std::string TOraDataSetField::DisplayText() const {
  return objectText(*this, "DataSet");
}

std::string TOraReferenceField::DisplayText() const {
  return objectText(*this, "Reference");
}

TLabelField::TLabelField() : Field(da::ftLabel) {}

// ---- Value-object fields ----

da::TSharedObject* TOraValueField::object() const {
  auto* d = dynamic_cast<da::TMemDataSet*>(dataSet());
  return d ? d->GetFieldObject(*this) : nullptr;
}

template <class Write>
void TOraValueField::writeObject(Write write) {
  ds::DataSet* d = dataSet();
  if (!d) ds::DatabaseErrorFmt(ds::SFieldNotFound, FieldName);
  // The browsed record's object is the store's own: only an edit's copy may change.
  if (!editable(d->State())) ds::DatabaseError(ds::SNotEditing);
  if (ReadOnly && d->State() != ds::dsSetKey) ds::DatabaseErrorFmt(ds::SFieldReadOnly, DisplayName());
  da::TSharedObject* o = object();
  DA_ASSERT(o, "No value object in the record");
  write(*o);
  d->SetFieldData(*this, ds::Variant::object(o));
}

bool TOraValueField::IsNull() const {
  if (Field::IsNull()) return true;
  da::TSharedObject* o = object();
  return o && objectIsNull(*o);
}

ds::Variant TOraValueField::Value() const {
  if (IsNull()) return ds::Variant::null();
  if (da::TSharedObject* o = object()) return ds::Variant(objectText(*o));
  return Field::Value();
}

std::string TOraValueField::AsString() const {
  if (IsNull()) return {};
  if (da::TSharedObject* o = object()) return objectText(*o);
  return Field::AsString();
}

void TOraValueField::SetAsString(const std::string& v) {
  if (v.empty()) return Clear();
  if (!object()) return Field::SetValue(ds::Variant(v));
  writeObject([&](da::TSharedObject& o) { setObjectText(o, v); });
}

void TOraValueField::SetValue(const ds::Variant& v) {
  if (v.isNull()) return Field::SetValue(v);
  SetAsString(v.asString());
}

// TIMESTAMP

std::string TOraTimeStampField::objectText(da::TSharedObject& o) const {
  auto& t = static_cast<TOraTimeStamp&>(o);
  t.SetFormat(Format);
  return t.AsString();
}

bool TOraTimeStampField::objectIsNull(da::TSharedObject& o) const {
  return static_cast<TOraTimeStamp&>(o).IsNull();
}

void TOraTimeStampField::setObjectText(da::TSharedObject& o, const std::string& text) {
  auto& t = static_cast<TOraTimeStamp&>(o);
  t.SetFormat(Format);
  t.SetAsString(text);
}

ds::DateTime TOraTimeStampField::AsDateTime() const {
  if (IsNull()) return {};
  if (TOraTimeStamp* t = AsTimeStamp()) return t->AsDateTime();
  return Field::AsDateTime();
}

void TOraTimeStampField::SetAsDateTime(ds::DateTime v) {
  if (!object()) return Field::SetValue(ds::Variant(v));
  writeObject([&](da::TSharedObject& o) { static_cast<TOraTimeStamp&>(o).SetAsDateTime(v); });
}

void TOraTimeStampField::SetValue(const ds::Variant& v) {
  if (v.type() == ds::VariantType::DateTime) return SetAsDateTime(v.asDateTime());
  TOraValueField::SetValue(v);
}

// INTERVAL

std::string TOraIntervalField::objectText(da::TSharedObject& o) const {
  return static_cast<TOraInterval&>(o).AsString();
}

bool TOraIntervalField::objectIsNull(da::TSharedObject& o) const {
  return static_cast<TOraInterval&>(o).IsNull();
}

void TOraIntervalField::setObjectText(da::TSharedObject& o, const std::string& text) {
  static_cast<TOraInterval&>(o).SetAsString(text);
}

// NUMBER

std::string TOraNumberField::objectText(da::TSharedObject& o) const {
  return static_cast<TOraNumber&>(o).AsString();
}

bool TOraNumberField::objectIsNull(da::TSharedObject& o) const {
  return static_cast<TOraNumber&>(o).IsNull();
}

void TOraNumberField::setObjectText(da::TSharedObject& o, const std::string& text) {
  static_cast<TOraNumber&>(o).SetAsString(text);
}

int32_t TOraNumberField::AsInteger() const {
  if (IsNull()) return 0;
  if (TOraNumber* n = AsNumber()) return n->AsInteger();
  return Field::AsInteger();
}

double TOraNumberField::AsFloat() const {
  if (IsNull()) return 0;
  if (TOraNumber* n = AsNumber()) return n->AsFloat();
  return Field::AsFloat();
}

void TOraNumberField::SetAsInteger(int32_t v) {
  if (!object()) return Field::SetValue(ds::Variant(v));
  writeObject([&](da::TSharedObject& o) { static_cast<TOraNumber&>(o).SetAsInteger(v); });
}

void TOraNumberField::SetAsFloat(double v) {
  if (!object()) return Field::SetValue(ds::Variant(v));
  writeObject([&](da::TSharedObject& o) { static_cast<TOraNumber&>(o).SetAsFloat(v); });
}

void TOraNumberField::SetValue(const ds::Variant& v) {
  switch (v.type()) {
    case ds::VariantType::Empty:
    case ds::VariantType::Null:
      return Field::SetValue(ds::Variant::null());
    case ds::VariantType::Int16:
    case ds::VariantType::Int32:
      return SetAsInteger(v.asInt32());
    case ds::VariantType::Int64:
      // Beyond 32 bits an integer keeps its digits as text.
      return SetAsString(std::to_string(v.asInt64()));
    case ds::VariantType::Double:
    case ds::VariantType::Currency:
      return SetAsFloat(v.asDouble());
    case ds::VariantType::String:
    case ds::VariantType::WideString:
      return SetAsString(v.asString());
    default:
      throw ds::EConvertError("Cannot convert type.");
  }
}

bool TOraNumberField::IsValidChar(char c) const {
  const ValueFormatSettings& s = valueFormatSettings();
  return std::isdigit(uint8_t(c)) || c == '+' || c == '-' || c == 'E' || c == 'e' ||
         c == s.DecimalSeparator || c == s.ThousandSeparator;
}

// ---- Oracle values as keys ----

namespace {
struct ReleaseLater {
  da::TSharedObject* object;
  ~ReleaseLater() {
    if (object) object->Release();
  }
};

// A value object read from the plain value a store gives for a column it holds without one.
da::TSharedObject* valueFromPlain(uint16_t dataType, const ds::Variant& v) {
  da::TSharedObject* o = NewOraValue(dataType);
  if (auto* t = dynamic_cast<TOraTimeStamp*>(o)) {
    if (v.type() == ds::VariantType::DateTime)
      t->SetAsDateTime(v.asDateTime());
    else
      t->SetAsString(v.asString());
  } else if (auto* i = dynamic_cast<TOraInterval*>(o)) {
    i->SetAsString(v.asString());
  } else {
    static_cast<TOraNumber*>(o)->SetAsString(v.asString());
  }
  return o;
}
}  // namespace

bool IsOraValueType(uint16_t dataType) {
  return (dataType >= dtTimeStamp && dataType <= dtIntervalDS) || dataType == dtNumber;
}

da::TSharedObject* NewOraValue(uint16_t dataType) {
  if (dataType >= dtTimeStamp && dataType <= dtTimeStampLTZ) return new TOraTimeStamp(dataType);
  if (dataType == dtIntervalYM || dataType == dtIntervalDS) return new TOraInterval(dataType);
  return new TOraNumber();
}

int CompareOraValues(da::TSharedObject& a, da::TSharedObject& b) {
  if (auto* t = dynamic_cast<TOraTimeStamp*>(&a)) return t->Compare(static_cast<TOraTimeStamp&>(b));
  if (auto* i = dynamic_cast<TOraInterval*>(&a)) return i->Compare(static_cast<TOraInterval&>(b));
  return static_cast<TOraNumber&>(a).Compare(static_cast<TOraNumber&>(b));
}

void AssignOraValue(da::TSharedObject& from, da::TSharedObject& to) {
  if (auto* t = dynamic_cast<TOraTimeStamp*>(&from)) return t->AssignTo(static_cast<TOraTimeStamp&>(to));
  if (auto* i = dynamic_cast<TOraInterval*>(&from)) return i->AssignTo(static_cast<TOraInterval&>(to));
  static_cast<TOraNumber&>(from).AssignTo(static_cast<TOraNumber&>(to));
}

bool OraVariantToValueBuffer(const da::TFieldDesc& field, const ds::Variant& value,
                             da::TValueBuffer& buffer) {
  DA_ASSERT(IsOraValueType(field.DataType), "Not an Oracle value type");
  if (value.isNull()) return false;
  using ds::VariantType;
  const VariantType t = value.type();
  std::vector<uint8_t>& b = buffer.Bytes;
  auto put = [&b](auto v) {
    b.resize(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
  };
  const bool text = t == VariantType::String || t == VariantType::WideString;
  const bool timeStamp = field.DataType <= dtTimeStampLTZ;
  if (text || (field.DataType == dtNumber && t == VariantType::Int64)) {
    const std::string s = value.asString();
    b.assign(s.begin(), s.end());
    b.push_back(0);
    buffer.DataType = da::dtString;
  } else if (timeStamp && t == VariantType::DateTime) {
    put(value.asDateTime().days);
    buffer.DataType = da::dtDateTime;
  } else if (field.DataType == dtNumber && (t == VariantType::Int16 || t == VariantType::Int32)) {
    put(value.asInt32());
    buffer.DataType = da::dtInteger;
  } else if (field.DataType == dtNumber && (t == VariantType::Double || t == VariantType::Currency)) {
    put(value.asDouble());
    buffer.DataType = da::dtFloat;
  } else {
    throw ds::EConvertError("Cannot convert type.");
  }
  return true;
}

bool OraCompareFieldValue(da::TData& data, const da::TValueBuffer* key, const da::TFieldDesc& field,
                          const uint8_t* recBuf, uint8_t options) {
  DA_ASSERT(IsOraValueType(field.DataType), "Not an Oracle value type");
  da::TSharedObject* value = data.GetFieldObject(field.FieldNo, recBuf);
  ReleaseLater plain{nullptr};
  if (!value && !data.GetNull(field.FieldNo, recBuf)) {
    const ds::Variant v = data.GetFieldAsVariant(field.FieldNo, recBuf);
    if (!v.isNull()) value = plain.object = valueFromPlain(field.DataType, v);
  }
  const bool isNull = data.GetNull(field.FieldNo, recBuf) || !value;
  if (!key) return isNull;
  if (isNull) return false;
  ReleaseLater keyValue{NewOraValue(field.DataType)};
  const uint8_t* k = key->Bytes.data();
  switch (key->DataType) {
    case da::dtString: {
      const std::string text(reinterpret_cast<const char*>(k));
      if (auto* t = dynamic_cast<TOraTimeStamp*>(keyValue.object)) {
        t->SetFormat(static_cast<TOraTimeStamp*>(value)->Format());
        t->SetAsString(text);
      } else if (auto* i = dynamic_cast<TOraInterval*>(keyValue.object)) {
        i->SetAsString(text);
      } else {
        static_cast<TOraNumber*>(keyValue.object)->SetAsString(text);
      }
      break;
    }
    case da::dtDateTime:
      static_cast<TOraTimeStamp*>(keyValue.object)
          ->SetAsDateTime(ds::DateTime{platform::getValue<double>(k)});
      break;
    case da::dtInteger:
      static_cast<TOraNumber*>(keyValue.object)->SetAsInteger(platform::getValue<int32_t>(k));
      break;
    case da::dtFloat:
      static_cast<TOraNumber*>(keyValue.object)->SetAsFloat(platform::getValue<double>(k));
      break;
    default:
      DA_ASSERT(false, "Key of another value type");
  }
  // Any negative answer means the key sorts before the value, not only -1.
  const int order = CompareOraValues(*keyValue.object, *value);
  return order == 0 || ((options & da::lxNearest) != 0 && order < 0);
}

// XML

ds::Variant TOraXMLField::Convert(const ds::Variant& v) const {
  if (v.isNull()) return v;
  return ds::Variant(v.asString());
}

namespace {
[[noreturn]] void textOnly(const ds::Field& f) {
  ds::DatabaseError("Cannot access field '" + f.DisplayName() + "' as type Text");
}
}  // namespace

int32_t TOraXMLField::AsInteger() const {
  textOnly(*this);
}

double TOraXMLField::AsFloat() const {
  textOnly(*this);
}

ds::DateTime TOraXMLField::AsDateTime() const {
  textOnly(*this);
}

}  // namespace oracle
