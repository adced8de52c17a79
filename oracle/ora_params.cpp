#include "oracle/ora_params.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "dataset/dberror.h"
#include "oracle/oraerror.h"
#include "platform/bytes.h"

namespace oracle {

namespace ds = dataset;
namespace da = dataaccess;
using dataset::Variant;

namespace {

// The TIMESTAMP and INTERVAL data types, in the order of their field types.
constexpr uint16_t kFirstDateTimeType = 109;  // TIMESTAMP .. INTERVAL DAY TO SECOND: 109 .. 113

bool isTableType(FieldType type) {
  return type == ds::ftString || type == ds::ftInteger || type == ds::ftFloat || type == ds::ftDateTime ||
         type == ds::ftFixedChar || type == ds::ftWideString || type == da::ftFixedWideChar;
}

bool isStringType(FieldType type) {
  return type == ds::ftString || type == ds::ftFixedChar || type == ds::ftWideString ||
         type == da::ftFixedWideChar;
}

bool isBytesType(FieldType type) {
  return type == ds::ftBytes || type == ds::ftVarBytes;
}

}  // namespace

FieldType OraDataTypeToFieldType(uint16_t dataType) {
  switch (dataType) {
    case dtCursor:
      return ds::ftCursor;
    case dtOraBlob:
      return ds::ftOraBlob;
    case dtOraClob:
      return ds::ftOraClob;
    case dtBFile:
      return da::ftBFile;
    case dtLabel:
      return da::ftLabel;
    case dtFixedChar:
      return ds::ftFixedChar;
    case dtRawChar:
      return ds::ftUnknown;
    case dtNumber:
      return da::ftNumber;
    case dtXML:
      return da::ftXML;
    case dtFixedWideChar:
      return da::ftFixedWideChar;
    default:
      if (dataType >= kFirstDateTimeType && dataType < kFirstDateTimeType + 5)
        return FieldType(da::ftTimeStamp + (dataType - kFirstDateTimeType));
      return da::DataTypeToFieldType(dataType);
  }
}

uint16_t OraFieldTypeToDataType(FieldType fieldType) {
  switch (fieldType) {
    case ds::ftCursor:
      return dtCursor;
    case ds::ftOraBlob:
      return dtOraBlob;
    case ds::ftOraClob:
      return dtOraClob;
    case ds::ftFixedChar:
      return dtFixedChar;
    default:
      break;
  }
  if (fieldType == da::ftBFile) return dtBFile;
  if (fieldType == da::ftLabel) return dtLabel;
  if (fieldType >= da::ftTimeStamp && fieldType <= da::ftIntervalDS)
    return uint16_t(kFirstDateTimeType + (fieldType - da::ftTimeStamp));
  if (fieldType == da::ftNumber) return dtNumber;
  if (fieldType == da::ftXML) return dtXML;
  if (fieldType == da::ftFixedWideChar) return dtFixedWideChar;
  return da::FieldTypeToDataType(fieldType);
}

TOraParam::~TOraParam() {
  FreeObject();
}

bool TOraParam::IsObjectDataType(FieldType type) const {
  return type == ds::ftBlob || type == ds::ftMemo || type == ds::ftCursor ||
         (type >= ds::ftADT && type <= ds::ftOraClob) || type == da::ftBFile ||
         (type >= da::ftTimeStamp && type <= da::ftXML);
}

bool TOraParam::IsBlob() const {
  return DataType == ds::ftBlob || DataType == ds::ftMemo || DataType == ds::ftOraBlob ||
         DataType == ds::ftOraClob || DataType == da::ftBFile;
}

namespace {

// The class of a blob-like parameter's object: a plain blob, a LOB, a file.
int blobClass(FieldType type) {
  if (type == ds::ftOraBlob || type == ds::ftOraClob) return 1;
  if (type == da::ftBFile) return 2;
  return 0;
}

}  // namespace

void TOraParam::SetDataType(FieldType value) {
  if (value == DataType && (cursor_ || value_ || object_)) return;
  da::ReleaseObject(std::exchange(cursor_, nullptr));
  da::ReleaseObject(std::exchange(object_, nullptr));
  da::ReleaseObject(std::exchange(value_, nullptr));
  // A LOB or a file needs an object of its own class.
  if (ValueObject() && blobClass(value) != blobClass(DataType)) TDAParam::FreeObject();
  TDAParam::SetDataType(value);
}

TOraLob* TOraParam::GetLob() {
  if (DataType == ds::ftUnknown) SetDataType(ds::ftOraClob);
  if (blobClass(DataType) == 0) return nullptr;
  if (!ValueObject()) CreateObject();
  return dynamic_cast<TOraLob*>(ValueObject());
}

TOraFile* TOraParam::GetFile() {
  if (DataType == ds::ftUnknown) SetDataType(da::ftBFile);
  if (DataType != da::ftBFile) return nullptr;
  if (!ValueObject()) CreateObject();
  return dynamic_cast<TOraFile*>(ValueObject());
}

void TOraParam::AssignFieldValue(const ds::Field& field, const Variant& value) {
  if (field.DataType() != ds::ftWideString || !field.FixedChar)
    return TDAParam::AssignFieldValue(field, value);
  SetDataType(da::ftFixedWideChar);
  if (value.isNull())
    Clear();
  else
    SetValue(value);
}

int32_t TOraParam::GetSize() const {
  return isStringType(DataType) ? TDAParam::GetSize() : 0;
}

template <class F>
auto TOraParam::withValue(F f) const {
  if (TOraTimeStamp* t = GetTimeStamp()) return f(*t);
  if (TOraInterval* i = GetInterval()) return f(*i);
  return f(*GetNumber());
}

std::string TOraParam::valueText() const {
  return withValue([](auto& v) { return std::string(v.AsString()); });
}

void TOraParam::setValueText(const std::string& text) {
  withValue([&](auto& v) { v.SetAsString(text); });
  Bound = true;
}

bool TOraParam::valueIsNull() const {
  return withValue([](auto& v) { return v.IsNull(); });
}

void TOraParam::setValueNull() {
  withValue([](auto& v) { v.SetIsNull(true); });
}

int32_t TOraParam::GetAsInteger() const {
  if (TOraNumber* n = GetNumber()) return n->AsInteger();
  return TDAParam::GetAsInteger();
}

void TOraParam::SetAsInteger(int32_t value) {
  if (TOraNumber* n = GetNumber()) {
    n->SetAsInteger(value);
    Bound = true;
    return;
  }
  TDAParam::SetAsInteger(value);
}

double TOraParam::GetAsFloat() const {
  if (TOraNumber* n = GetNumber()) return n->AsFloat();
  return TDAParam::GetAsFloat();
}

void TOraParam::SetAsFloat(double value) {
  if (TOraNumber* n = GetNumber()) {
    n->SetAsFloat(value);
    Bound = true;
    return;
  }
  TDAParam::SetAsFloat(value);
}

Variant TOraParam::GetValue() const {
  if (auto* xml = dynamic_cast<TOraXML*>(object_))
    return xml->AsString().empty() ? Variant::null() : Variant(xml->AsString());
  if (!value_) return TDAParam::GetValue();
  return valueIsNull() ? Variant::null() : Variant(valueText());
}

void TOraParam::SetValue(const Variant& value) {
  if (auto* xml = dynamic_cast<TOraXML*>(object_)) {
    xml->SetAsString(value.isNull() ? std::string() : value.asString());
    Bound = true;
    return;
  }
  if (!value_) return TDAParam::SetValue(value);
  if (value.isNull()) {
    setValueNull();
    Bound = true;
  } else {
    setValueText(value.asString());
  }
}

bool TOraParam::IsNull() const {
  if (auto* xml = dynamic_cast<TOraXML*>(object_)) return xml->AsString().empty();
  return value_ ? valueIsNull() : TDAParam::IsNull();
}

void TOraParam::Clear() {
  if (auto* xml = dynamic_cast<TOraXML*>(object_)) return xml->SetAsString({});
  if (value_) return setValueNull();
  TDAParam::Clear();
}

std::string TOraParam::GetAsString() const {
  if (auto* xml = dynamic_cast<TOraXML*>(object_)) return xml->AsString();
  if (value_) return valueText();
  if (isBytesType(DataType) && Value().type() == ds::VariantType::Bytes) {
    const std::vector<uint8_t> bytes = Value().asBytes();
    return std::string(bytes.begin(), bytes.end());
  }
  return TDAParam::GetAsString();
}

void TOraParam::SetAsString(const std::string& value) {
  if (isBytesType(DataType) || DataType == ds::ftFixedChar) {
    SetValue(Variant(value));
  } else if (dynamic_cast<TOraXML*>(object_)) {
    SetValue(Variant(value));
  } else if (value_) {
    setValueText(value);
  } else if (DataType == da::ftFixedWideChar) {
    SetAsWideString(Variant(value).asWideString());
  } else {
    TDAParam::SetAsString(value);
  }
}

void TOraParam::CreateObject() {
  if (DataType == ds::ftCursor) {
    DA_ASSERT(!cursor_, "Value object already created");
    cursor_ = new TOraCursor();
  } else if (DataType >= da::ftTimeStamp && DataType <= da::ftTimeStampLTZ) {
    DA_ASSERT(!value_, "Value object already created");
    value_ = new TOraTimeStamp(OraFieldTypeToDataType(DataType));
  } else if (DataType == da::ftIntervalYM || DataType == da::ftIntervalDS) {
    DA_ASSERT(!value_, "Value object already created");
    value_ = new TOraInterval(OraFieldTypeToDataType(DataType));
  } else if (DataType == da::ftNumber) {
    DA_ASSERT(!value_, "Value object already created");
    value_ = new TOraNumber();
  } else if (DataType >= ds::ftADT && DataType <= ds::ftDataSet) {
    DA_ASSERT(!object_, "Value object already created");
    object_ = DataType == ds::ftADT         ? new TOraObject()
              : DataType == ds::ftArray     ? new TOraArray()
              : DataType == ds::ftReference ? static_cast<TOraObject*>(new TOraRef())
                                            : new TOraNestTable();
  } else if (DataType == da::ftXML) {
    DA_ASSERT(!object_, "Value object already created");
    object_ = new TOraXML();
  } else if (blobClass(DataType) == 1) {
    DA_ASSERT(!ValueObject(), "Value object already created");
    SetObject(new TOraLob(nullptr));
  } else if (blobClass(DataType) == 2) {
    DA_ASSERT(!ValueObject(), "Value object already created");
    SetObject(new TOraFile(nullptr));
  } else if (IsBlob()) {
    TDAParam::CreateObject();
  }
}

TOraObject* TOraParam::GetObject() {
  if (DataType == ds::ftUnknown) SetDataType(ds::ftADT);
  if (!object_ && ((DataType >= ds::ftADT && DataType <= ds::ftDataSet) || DataType == da::ftXML))
    CreateObject();
  return object_;
}

TOraArray* TOraParam::GetArray() {
  if (DataType == ds::ftUnknown) SetDataType(ds::ftArray);
  return DataType == ds::ftArray || DataType == ds::ftDataSet ? dynamic_cast<TOraArray*>(GetObject())
                                                              : nullptr;
}

TOraNestTable* TOraParam::GetNestedTable() {
  if (DataType == ds::ftUnknown) SetDataType(ds::ftDataSet);
  return DataType == ds::ftDataSet ? dynamic_cast<TOraNestTable*>(GetObject()) : nullptr;
}

void TOraParam::FreeObject() {
  da::ReleaseObject(std::exchange(cursor_, nullptr));
  da::ReleaseObject(std::exchange(value_, nullptr));
  da::ReleaseObject(std::exchange(object_, nullptr));
  TDAParam::FreeObject();
}

void TOraParam::ReleaseObject() {
  // An object gives back its instance and its type, both of the connection.
  if (object_) {
    object_->FreeObject();
    object_->SetObjectType(nullptr);
  }
  if (auto* lob = dynamic_cast<TOraLob*>(ValueObject())) lob->FreeLob();
  if (auto* descriptor = dynamic_cast<DescriptorValue*>(value_)) {
    // Changing the descriptor type frees the descriptor, which leaves the value null.
    const uint32_t type = descriptor->DescriptorType();
    descriptor->SetDescriptorType(0);
    descriptor->SetDescriptorType(type);
  }
}

void TOraParam::Assign(const ds::Param& other) {
  TDAParam::Assign(other);
  if (const auto* source = dynamic_cast<const TOraParam*>(&other)) {
    table_ = source->table_;
    SetLength(source->GetLength());
  }
}

void TOraParam::SetTable(bool value) {
  if (value == table_) return;
  if (value && !isTableType(DataType)) RaiseError(STypeNotInTable);
  if (!value && Value().type() == ds::VariantType::Array) SetLength(1);
  table_ = value;
}

int TOraParam::GetLength() const {
  if (Value().type() != ds::VariantType::Array) return 1;
  return int(Value().asArray().size());
}

void TOraParam::SetLength(int value) {
  const bool isArray = Value().type() == ds::VariantType::Array;
  if (value < 2) {
    if (isArray) {
      const auto& items = Value().asArray();
      ds::Param::SetValue(items.empty() ? Variant::null() : items.front());
    }
    return;
  }
  if (DataType == ds::ftUnknown) da::DatabaseError(da::DAMessage(da::SUnknownParamDataType, Name));
  if (!isTableType(DataType)) RaiseError(STypeNotInDMLArray);
  std::vector<Variant> items;
  if (isArray) {
    items = Value().asArray();
  } else {
    items.push_back(Value());
  }
  items.resize(size_t(value), Variant::null());
  ds::Param::SetValue(Variant(std::move(items)));
}

void TOraParam::CheckIndex(int index) {
  if (index < 1) throw std::out_of_range(SInvalidIndex);
  if (index > GetLength()) SetLength(index);
}

void TOraParam::SetItemValue(int index, const Variant& value) {
  CheckIndex(index);
  if (Value().type() != ds::VariantType::Array) {
    SetValue(value);
    return;
  }
  std::vector<Variant> items = Value().asArray();
  items[size_t(index - 1)] = value;
  ds::Param::SetValue(Variant(std::move(items)));
}

void TOraParams::ReleaseObjects() {
  for (int i = 0; i < Count(); ++i) Items(i).ReleaseObject();
}

namespace {

// Reads the stored form field by field; every length is checked against what is left.
class DataReader {
 public:
  explicit DataReader(std::span<const uint8_t> data) : data_(data) {}
  const uint8_t* take(size_t count) {
    if (count > data_.size() - pos_) da::DatabaseError("The stored parameters end inside a record");
    const uint8_t* p = data_.data() + pos_;
    pos_ += count;
    return p;
  }
  uint8_t u8() { return *take(1); }
  uint16_t u16() { return platform::get2(take(2)); }
  int32_t s32() { return platform::get4s(take(4)); }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

// The data types that have a field type: stored bytes may hold any number.
bool isKnownDataType(uint16_t code) {
  if (code <= 26) return code != 2 && code != 9 && code != 11 && code != 12;
  return code >= dtCursor && code <= dtFixedWideChar && code != dtCFile && code != 114;
}

constexpr size_t kValueBuffer = 2048;
constexpr double kMsPerDay = 86400000.0;
constexpr int32_t kDayOfDelphiEpoch = 693594;  // the day number of 30 December 1899

// The value of a parameter buffer of `type`.
Variant bufferValue(const TOraParam& param, FieldType type, const uint8_t* p, size_t length) {
  auto need = [&](size_t size) {
    if (length < size) da::DatabaseError("The stored value of " + param.Name + " is too short");
  };
  auto f64 = [&] {
    need(8);
    return std::bit_cast<double>(platform::get8(p));
  };
  switch (type) {
    case ds::ftString:
    case ds::ftFixedChar:
    case ds::ftMemo:
      return Variant(
          std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), length)));
    case ds::ftSmallint:
      need(2);
      return Variant(int16_t(platform::get2(p)));
    case ds::ftInteger:
    case ds::ftAutoInc:
      need(4);
      return Variant(platform::get4s(p));
    case ds::ftWord:
      need(2);
      return Variant(int32_t(platform::get2(p)));
    case ds::ftBoolean:
      need(2);
      return Variant(int16_t(platform::get2(p)) > 0);
    case ds::ftFloat:
      return Variant(f64());
    case ds::ftCurrency:
      return Variant(std::round(f64() * 10000) / 10000);
    case ds::ftDate:
      need(4);
      return Variant(ds::DateTime{double(platform::get4s(p) - kDayOfDelphiEpoch)});
    case ds::ftTime:
      need(4);
      return Variant(ds::DateTime{platform::get4s(p) / kMsPerDay});
    case ds::ftDateTime:
      return Variant(ds::DateTime{f64() / kMsPerDay - kDayOfDelphiEpoch});
    case ds::ftCursor:
      return Variant::null();
    default:
      ds::DatabaseErrorFmt("Field '%s' is of an unsupported type", param.Name);
  }
}

}  // namespace

void TOraParams::ReadData(std::span<const uint8_t> data) {
  DataReader reader(data);
  const uint8_t version = reader.u8();
  const uint16_t count = reader.u16();
  for (uint16_t i = 0; i < count; ++i) {
    const uint8_t nameLength = reader.u8();
    const uint8_t* name = reader.take(nameLength);
    TOraParam scratch;  // takes a record whose name matches no parameter
    TOraParam* found = FindParam(std::string_view(reinterpret_cast<const char*>(name), nameLength));
    TOraParam& param = found ? *found : scratch;
    const uint16_t dataType = reader.u16();
    if (!isKnownDataType(dataType))
      da::DatabaseError("The stored data type of " + param.Name + " is unknown");
    param.SetDataType(OraDataTypeToFieldType(dataType));
    const FieldType type = param.DataType;
    if (isStringType(type)) param.SetSize(reader.s32());
    if (type != ds::ftUnknown && type != ds::ftBlob && type != ds::ftMemo && type != ds::ftCursor &&
        type != ds::ftOraBlob && type != ds::ftOraClob) {
      const uint16_t length = reader.u16();
      const size_t terminator = type == ds::ftString || type == ds::ftFixedChar           ? 1
                                : type == ds::ftWideString || type == da::ftFixedWideChar ? 2
                                                                                          : 0;
      if (length + terminator > kValueBuffer)
        da::DatabaseError("The stored value of " + param.Name + " is longer than its buffer");
      const uint8_t* value = reader.take(length);
      if (type < ds::ftADT || type > ds::ftDataSet) param.SetValue(bufferValue(param, type, value, length));
    }
    if (reader.u8() != 0) param.Clear();
    param.SetTable(reader.u8() != 0);
    param.SetLength(reader.s32());
    if (version >= 2) {
      const uint8_t direction = reader.u8();
      if (direction > ds::ptResult)
        da::DatabaseError("The stored direction of " + param.Name + " is unknown");
      param.ParamType_ = ds::ParamType(direction);
    }
  }
}

}  // namespace oracle
