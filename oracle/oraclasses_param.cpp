// The cursor and the parameter descriptor of the Oracle driver.
#include <cstring>
#include <functional>

#include "oracle/oraclasses.h"
#include "oracle/oraobjects.h"

namespace oracle {

using namespace dataaccess;

// ---- TOraCursor ----

TOraCursor::TOraCursor() : OCICallStyle(oracle::OCICallStyle) {}

TOraCursor::~TOraCursor() {
  FreeCursor();
}

void TOraCursor::AllocCursor(const std::function<void(sword)>& check) {
  if (OCICallStyle == 0) OCICallStyle = oracle::OCICallStyle;
  if (OCICallStyle == OCI73) {
    if (area_.empty()) area_.assign(cursorarea::kSize, 0);
    return;
  }
  if (OCICallStyle != OCI80) RaiseError("Need Oracle 8 Call Interface");
  forgetStaleStatement();
  if (statement_ != nullptr) return;
  if (hEnv == nullptr) hEnv = hOCIEnv;
  if (hError == nullptr) hError = hOCIError;
  const auto report = [&](sword status) {
    if (check)
      check(status);
    else
      Check(status, hError);
  };
  report(OCIHandleAlloc(hEnv, &statement_, OCI_HTYPE_STMT, 0, nullptr));
  statementGeneration_ = OCIEnvironmentGeneration;
  if (OCIVersionSt.rfind("8.1.6", 0) != 0) {
    ub4 none = 0;
    report(OCIAttrSet(statement_, OCI_HTYPE_STMT, &none, 0, OCI_ATTR_PREFETCH_ROWS, hError));
    report(OCIAttrSet(statement_, OCI_HTYPE_STMT, &none, 0, OCI_ATTR_PREFETCH_MEMORY, hError));
  }
}

bool TOraCursor::StatementLost() const {
  return statement_ != nullptr && statementGeneration_ != OCIEnvironmentGeneration;
}

void TOraCursor::forgetStaleStatement() {
  if (StatementLost()) statement_ = nullptr;
}

void TOraCursor::FreeCursor() {
  if (RefCount() > 1) return;
  area_.clear();
  forgetStaleStatement();
  if (statement_ == nullptr) return;
  OCIHandleFree(statement_, OCI_HTYPE_STMT);
  statement_ = nullptr;
  hEnv = hError = nullptr;
}

void* TOraCursor::GetStatement(const std::function<void(sword)>& check) {
  if (OCICallStyle == OCI73) RaiseError("Need Oracle 8 Call Interface");
  if (OCICallStyle != OCI80) RaiseError("OCI is not inizialized");
  AllocCursor(check);
  return statement_;
}

uint8_t* TOraCursor::CursorArea() {
  if (OCICallStyle != OCI73) RaiseError("Need Oracle 7.3 Call Interface");
  AllocCursor();
  return area_.data();
}

void TOraCursor::SetOCICallStyle(uint8_t value) {
  if (value == OCICallStyle) return;
  FreeCursor();
  OCICallStyle = value;
}

// ---- TOraParamDesc ----

TOraParamDesc::TOraParamDesc() {
  allocate();
}

TOraParamDesc::~TOraParamDesc() {
  if (cursor_ != nullptr) cursor_->Release();
  releaseObject();
}

namespace {

bool isWide(uint16_t dataType) {
  return dataType == dtWideString || dataType == dtFixedWideChar;
}

}  // namespace

void TOraParamDesc::releaseObject() {
  if (object_ != nullptr) object_->Release();
  object_ = nullptr;
}

void TOraParamDesc::SetObject(void* object) {
  auto* shared = static_cast<dataaccess::TSharedObject*>(object);
  if (shared == object_) return;
  if (shared != nullptr) shared->AddRef();
  releaseObject();
  object_ = shared;
}

template <class T>
T& TOraParamDesc::heldObject(const std::function<T*()>& make) {
  if (T* held = dynamic_cast<T*>(object_)) return *held;
  T* made = make();
  releaseObject();
  object_ = made;  // the one reference of its creation
  return *made;
}

TOraLob& TOraParamDesc::GetAsLob() {
  if (GetDataType() != dtOraBlob && GetDataType() != dtOraClob) RaiseError("Data type is not supported.");
  return heldObject<TOraLob>([] { return new TOraLob(nullptr); });
}

TOraFile& TOraParamDesc::GetAsFile() {
  if (GetDataType() != dtBFile && GetDataType() != dtCFile) RaiseError("Data type is not supported.");
  return heldObject<TOraFile>([] { return new TOraFile(nullptr); });
}

TOraTimeStamp& TOraParamDesc::GetAsTimeStamp() {
  const uint16_t type = GetDataType();
  if (type != dtTimeStamp && type != dtTimeStampTZ && type != dtTimeStampLTZ)
    RaiseError("Data type is not supported.");
  TOraTimeStamp& value = heldObject<TOraTimeStamp>([type] { return new TOraTimeStamp(type); });
  value.SetDescriptorType(type == dtTimeStamp     ? OCI_DTYPE_TIMESTAMP
                          : type == dtTimeStampTZ ? OCI_DTYPE_TIMESTAMP_TZ
                                                  : OCI_DTYPE_TIMESTAMP_LTZ);
  return value;
}

TOraInterval& TOraParamDesc::GetAsInterval() {
  const uint16_t type = GetDataType();
  if (type != dtIntervalYM && type != dtIntervalDS) RaiseError("Data type is not supported.");
  TOraInterval& value = heldObject<TOraInterval>([type] { return new TOraInterval(type); });
  value.SetDescriptorType(type == dtIntervalYM ? OCI_DTYPE_INTERVAL_YM : OCI_DTYPE_INTERVAL_DS);
  return value;
}

TOraNumber& TOraParamDesc::GetAsNumber() {
  if (GetDataType() != dtNumber) RaiseError("Data type is not supported.");
  return heldObject<TOraNumber>([] { return new TOraNumber(); });
}

TOraXML& TOraParamDesc::GetAsXML() {
  if (GetDataType() != dtXML) RaiseError("Data type is not supported.");
  return heldObject<TOraXML>([] { return new TOraXML(); });
}

bool TOraParamDesc::GetNull() const {
  if (const auto* value = dynamic_cast<const DescriptorValue*>(object_)) return value->IsNull();
  if (const auto* value = dynamic_cast<const TOraNumber*>(object_)) return value->IsNull();
  if (GetDataType() == dtXML) {
    auto* xml = dynamic_cast<TOraXML*>(object_);
    return !xml || xml->IsNull();
  }
  switch (GetDataType()) {
    case dtTimeStamp:
    case dtTimeStampTZ:
    case dtTimeStampLTZ:
    case dtIntervalYM:
    case dtIntervalDS:
    case dtNumber:
      return true;  // no value object yet
    default:
      return GetItemNull(1);
  }
}

void TOraParamDesc::SetNull(bool value) {
  if (auto* held = dynamic_cast<DescriptorValue*>(object_)) held->SetIsNull(value);
  if (auto* held = dynamic_cast<TOraNumber*>(object_)) held->SetIsNull(value);
  if (auto* held = dynamic_cast<TOraXML*>(object_); held && value) held->SetAsString({});
  if (value && (GetDataType() == dtMemo || GetDataType() == dtBlob)) LongValue.clear();
  if (value && dynamic_cast<TOraLob*>(object_) != nullptr && dynamic_cast<TOraFile*>(object_) == nullptr)
    static_cast<TOraLob*>(object_)->Clear();
  SetItemNull(1, value);
}

int16_t* TOraParamDesc::BindIndicator() {
  switch (GetDataType()) {
    case dtTimeStamp:
    case dtTimeStampTZ:
    case dtTimeStampLTZ:
      return GetAsTimeStamp().IndicatorPtr();
    case dtIntervalYM:
    case dtIntervalDS:
      return GetAsInterval().IndicatorPtr();
    case dtNumber:
      return GetAsNumber().IndicatorPtr();
    default:
      return indicators_.data();
  }
}

void TOraParamDesc::SyncIndicator() {
  switch (GetDataType()) {
    case dtOraBlob:
    case dtOraClob:
    case dtCursor:
      indicators_[0] = 0;
      break;
    case dtBFile:
    case dtCFile: {
      TOraFile& file = GetAsFile();
      // An output value that went with another Oracle home's client is only replaced; an input
      // one is refused (IsNull) rather than sent as a null.
      const uint8_t direction = GetParamType();
      if ((direction == 2 || direction == 4) && file.Locator() == nullptr)
        indicators_[0] = -1;
      else
        indicators_[0] = file.IsOpen() || !file.IsNull() ? 0 : -1;
      break;
    }
    case dtMemo:
    case dtBlob:
      indicators_[0] = LongValue.empty() ? -1 : 0;
      break;
    default:
      break;
  }
}

TOraCursor& TOraParamDesc::GetAsCursor() {
  if (GetDataType() != dtCursor) RaiseError("Data type is not supported.");
  if (cursor_ == nullptr) cursor_ = new TOraCursor();
  return *cursor_;
}

int32_t TOraParamDesc::ElementSize() const {
  switch (GetDataType()) {
    case dtUnknown:
      return 1;
    case dtString:
    case dtFixedChar:
    case dtBytes:
    case dtVarBytes:
    case dtWideString:
    case dtFixedWideChar:
      return GetSize();
    case dtInteger:
    case dtBoolean:
      return 4;
    case dtInt64:
      return 8;
    case dtFloat:
    case dtCursor:
      return 8;
    case dtDateTime:
      return 7;
    case dtMemo:
    case dtBlob:
      return 0;
    default:
      if (IsValueObjectType(GetDataType())) return 0;
      RaiseError("Data type is not supported.");
  }
}

void TOraParamDesc::allocate() {
  const size_t elements = size_t(length_);
  buffer_.assign(elements * size_t(std::max(ElementSize(), 1)), 0);
  LongValue.clear();
  indicators_.assign(elements, -1);
  lengths_.assign(elements, 0);
}

void TOraParamDesc::SetDataType(uint16_t value) {
  if (value == GetDataType()) return;
  TParamDesc::SetDataType(value);
  if (value == dtString || value == dtFixedChar) {
    if (GetSize() < 2) TParamDesc::SetSize(2);
  } else if (value == dtBytes || value == dtVarBytes) {
    if (GetSize() < 2) TParamDesc::SetSize(2);
  } else if (isWide(value)) {
    if (GetSize() < 4) TParamDesc::SetSize(4);
  }
  // A held value of another type goes; TIMESTAMP and INTERVAL objects change their kind instead.
  if (!IsValueObjectType(value)) releaseObject();
  allocate();
}

void TOraParamDesc::SetSize(int32_t value) {
  int32_t size = value;
  switch (GetDataType()) {
    case dtString:
    case dtFixedChar:
      size = value < 1 ? 2 : value + 1;
      break;
    case dtBytes:
    case dtVarBytes:
      size = value + 2;
      break;
    case dtWideString:
    case dtFixedWideChar:
      size = value < 2 ? 4 : value + 2;
      break;
    default:
      break;
  }
  if (size == GetSize()) return;
  TParamDesc::SetSize(size);
  allocate();
}

void TOraParamDesc::SetLength(int32_t value) {
  if (value < 1) value = 1;
  if (value == length_) return;
  length_ = value;
  allocate();
}

void TOraParamDesc::checkIndex(int index) const {
  if (index < 1 || index > length_) RaiseError(SInvalidIndex);
}

uint8_t* TOraParamDesc::element(int index) {
  checkIndex(index);
  return buffer_.data() + size_t(index - 1) * size_t(ElementSize());
}

const uint8_t* TOraParamDesc::element(int index) const {
  checkIndex(index);
  return buffer_.data() + size_t(index - 1) * size_t(ElementSize());
}

int16_t TOraParamDesc::GetIndicator(int index) const {
  checkIndex(index);
  return indicators_[size_t(index - 1)];
}

void TOraParamDesc::SetIndicator(int index, int16_t value) {
  checkIndex(index);
  indicators_[size_t(index - 1)] = value;
}

void TOraParamDesc::SetItemNull(int index, bool value) {
  checkIndex(index);
  if (!value) {
    indicators_[size_t(index - 1)] = 0;
    return;
  }
  indicators_[size_t(index - 1)] = -1;
  std::memset(element(index), 0, size_t(ElementSize()));
  lengths_[size_t(index - 1)] = 0;
}

int32_t TOraParamDesc::ItemLength(int index) const {
  const uint8_t* p = element(index);
  switch (GetDataType()) {
    case dtString:
    case dtFixedChar:
      return int32_t(strnlen(reinterpret_cast<const char*>(p), size_t(GetSize())));
    case dtBytes:
    case dtVarBytes:
      return p[0] | p[1] << 8;
    case dtWideString:
    case dtFixedWideChar: {
      int32_t n = 0;
      while (n + 1 < GetSize() && (p[n] != 0 || p[n + 1] != 0)) n += 2;
      return n;
    }
    default:
      return ElementSize();
  }
}

std::u16string TOraParamDesc::GetItemAsWideString(int index) const {
  if (GetItemNull(index)) return {};
  if (!isWide(GetDataType())) return dataset::utf8ToUtf16(GetItemAsString(index));
  const uint8_t* p = element(index);
  std::u16string text(size_t(ItemLength(index)) / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = char16_t(p[2 * i] | p[2 * i + 1] << 8);
  if (GetConvertEOL()) {
    std::u16string converted;
    for (char16_t c : text) {
      if (c == u'\n') converted += u'\r';
      converted += c;
    }
    return converted;
  }
  return text;
}

void TOraParamDesc::SetItemAsWideString(int index, const std::u16string& value) {
  if (GetDataType() != dtFixedWideChar) SetDataType(dtWideString);
  checkIndex(index);
  if (value.empty()) {
    SetItemNull(index, true);
    return;
  }
  std::u16string text;
  for (size_t i = 0; i < value.size(); ++i)
    if (!(GetConvertEOL() && value[i] == u'\r' && i + 1 < value.size() && value[i + 1] == u'\n'))
      text += value[i];
  // As for single-byte text, a value that does not fit is refused rather than cut.
  const int32_t room = (GetSize() - 2) / 2;
  if (int32_t(text.size()) > room)
    RaiseError("Value of parameter " + GetName() + " is too long: " + std::to_string(text.size()) +
               " characters, at most " + std::to_string(room));
  uint8_t* p = element(index);
  std::memset(p, 0, size_t(GetSize()));
  for (size_t i = 0; i < text.size(); ++i) {
    p[2 * i] = uint8_t(text[i]);
    p[2 * i + 1] = uint8_t(text[i] >> 8);
  }
  lengths_[size_t(index - 1)] = uint16_t(text.size());
  indicators_[size_t(index - 1)] = 0;
}

int64_t TOraParamDesc::GetItemAsInt64(int index) const {
  if (GetDataType() != dtInt64) return GetItemAsVariant(index).asInt64();
  int64_t value;
  std::memcpy(&value, element(index), 8);
  return value;
}

void TOraParamDesc::SetItemAsInt64(int index, int64_t value) {
  SetDataType(dtInt64);
  std::memcpy(element(index), &value, 8);
  indicators_[size_t(index - 1)] = 0;
}

std::string TOraParamDesc::GetItemAsString(int index) const {
  if (GetItemNull(index)) return {};
  switch (GetDataType()) {
    case dtMemo:
    case dtBlob:
      return LongValue;
    case dtString:
    case dtFixedChar: {
      std::string text(reinterpret_cast<const char*>(element(index)), size_t(ItemLength(index)));
      if (GetConvertEOL()) {
        std::string converted;
        for (char c : text) {
          if (c == '\n') converted += '\r';
          converted += c;
        }
        return converted;
      }
      return text;
    }
    case dtWideString:
    case dtFixedWideChar:
      return dataset::utf16ToUtf8(GetItemAsWideString(index));
    default:
      return GetItemAsVariant(index).asString();
  }
}

void TOraParamDesc::SetItemAsString(int index, const std::string& value) {
  if (isWide(GetDataType())) {
    SetItemAsWideString(index, dataset::utf8ToUtf16(value));
    return;
  }
  if (GetDataType() == dtMemo || GetDataType() == dtBlob) {
    checkIndex(index);
    LongValue = value;
    indicators_[size_t(index - 1)] = value.empty() ? -1 : 0;
    return;
  }
  if (GetDataType() != dtFixedChar) SetDataType(dtString);
  std::string text = value;
  if (GetConvertEOL()) {
    std::string converted;
    for (size_t i = 0; i < text.size(); ++i)
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) converted += text[i];
    text = converted;
  }
  // A cut would lose data without a word, and could split a multi-byte character.
  if (int32_t(text.size()) > GetSize() - 1)
    RaiseError("Value of parameter " + GetName() + " is too long: " + std::to_string(text.size()) +
               " bytes, at most " + std::to_string(GetSize() - 1));
  uint8_t* p = element(index);
  std::memset(p, 0, size_t(GetSize()));
  std::memcpy(p, text.data(), text.size());
  lengths_[size_t(index - 1)] = uint16_t(text.size());
  indicators_[size_t(index - 1)] = 0;
}

int32_t TOraParamDesc::GetItemAsInteger(int index) const {
  if (GetDataType() != dtInteger && GetDataType() != dtBoolean) return GetItemAsVariant(index).asInt32();
  int32_t value;
  std::memcpy(&value, element(index), 4);
  return value;
}

void TOraParamDesc::SetItemAsInteger(int index, int32_t value) {
  if (GetDataType() != dtBoolean) SetDataType(dtInteger);
  std::memcpy(element(index), &value, 4);
  indicators_[size_t(index - 1)] = 0;
}

double TOraParamDesc::GetItemAsFloat(int index) const {
  if (GetDataType() != dtFloat) return GetItemAsVariant(index).asDouble();
  double value;
  std::memcpy(&value, element(index), 8);
  return value;
}

void TOraParamDesc::SetItemAsFloat(int index, double value) {
  SetDataType(dtFloat);
  std::memcpy(element(index), &value, 8);
  indicators_[size_t(index - 1)] = 0;
}

DateTime TOraParamDesc::GetItemAsDateTime(int index) const {
  if (GetDataType() != dtDateTime) return GetItemAsVariant(index).asDateTime();
  return OraDateToDateTime(element(index));
}

void TOraParamDesc::SetItemAsDateTime(int index, DateTime value) {
  SetDataType(dtDateTime);
  DateTimeToOraDate(value, element(index));
  indicators_[size_t(index - 1)] = 0;
}

std::vector<uint8_t> TOraParamDesc::GetItemAsBytes(int index) const {
  const uint8_t* p = element(index);
  const int32_t length = ItemLength(index);
  return std::vector<uint8_t>(p + 2, p + 2 + length);
}

void TOraParamDesc::SetItemAsBytes(int index, const std::vector<uint8_t>& value) {
  if (GetDataType() != dtBytes) SetDataType(dtVarBytes);
  if (int32_t(value.size()) > GetSize() - 2)
    RaiseError("Value of parameter " + GetName() + " is too long: " + std::to_string(value.size()) +
               " bytes, at most " + std::to_string(GetSize() - 2));
  uint8_t* p = element(index);
  p[0] = uint8_t(value.size());
  p[1] = uint8_t(value.size() >> 8);
  if (!value.empty()) std::memcpy(p + 2, value.data(), value.size());
  lengths_[size_t(index - 1)] = uint16_t(value.size());
  indicators_[size_t(index - 1)] = value.empty() ? -1 : 0;
}

Variant TOraParamDesc::GetItemAsVariant(int index) const {
  if (GetDataType() == dtXML) {
    checkIndex(index);
    return GetNull() ? Variant::null() : Variant(static_cast<TOraXML*>(object_)->AsString());
  }
  if (GetItemNull(index)) return GetDataType() == dtString ? Variant(std::string()) : Variant::null();
  switch (GetDataType()) {
    case dtString:
    case dtFixedChar:
      return GetItemAsString(index);
    case dtWideString:
    case dtFixedWideChar:
      return Variant(GetItemAsString(index));
    case dtInteger:
      return GetItemAsInteger(index);
    case dtInt64:
      return GetItemAsInt64(index);
    case dtFloat:
      return GetItemAsFloat(index);
    case dtDateTime:
      return GetItemAsDateTime(index);
    case dtBoolean:
      return GetItemAsInteger(index) != 0;
    case dtMemo:
      return LongValue;
    case dtBlob:
      return Variant::bytes(std::vector<uint8_t>(LongValue.begin(), LongValue.end()));
    case dtBytes:
    case dtVarBytes:
      return Variant::bytes(GetItemAsBytes(index));
    default:
      return Variant::null();
  }
}

void TOraParamDesc::SetItemAsVariant(int index, const Variant& value) {
  using dataset::VariantType;
  checkIndex(index);
  if (GetDataType() == dtXML) {
    const bool null = value.type() == VariantType::Empty || value.type() == VariantType::Null;
    GetAsXML().SetAsString(null ? std::string() : value.asString());
    return;
  }
  if (value.type() == VariantType::Empty || value.type() == VariantType::Null) {
    SetItemNull(index, true);
    return;
  }
  if (GetDataType() == dtUnknown) {
    switch (value.type()) {
      case VariantType::String:
      case VariantType::WideString:
        SetDataType(dtString);
        SetSize(int32_t(value.asString().size()));
        break;
      case VariantType::Int16:
      case VariantType::Int32:
        SetDataType(dtInteger);
        break;
      case VariantType::Double:
      case VariantType::Currency:
      case VariantType::Int64:
        SetDataType(dtFloat);
        break;
      case VariantType::DateTime:
        SetDataType(dtDateTime);
        break;
      default:
        throw dataset::EVariantError("Unknown data type.");
    }
  }
  switch (GetDataType()) {
    case dtString:
    case dtFixedChar:
    case dtMemo:
    case dtWideString:
    case dtFixedWideChar:
      SetItemAsString(index, value.asString());
      break;
    case dtInt64:
      if (value.type() == VariantType::DateTime || value.type() == VariantType::Bool)
        throw dataset::EVariantError("Cannot convert type.");
      SetItemAsInt64(index, value.asInt64());
      break;
    case dtBlob: {
      const std::vector<uint8_t> bytes = value.asBytes();
      SetItemAsString(index, std::string(bytes.begin(), bytes.end()));
      break;
    }
    case dtInteger:
      if (value.type() == VariantType::DateTime || value.type() == VariantType::Bool)
        throw dataset::EVariantError("Cannot convert type.");
      SetItemAsInteger(index, value.asInt32());
      break;
    case dtFloat:
      if (value.type() == VariantType::DateTime || value.type() == VariantType::Bool)
        throw dataset::EVariantError("Cannot convert type.");
      SetItemAsFloat(index, value.asDouble());
      break;
    case dtDateTime:
      SetItemAsDateTime(index, value.asDateTime());
      break;
    case dtBoolean:
      SetItemAsInteger(index, value.asBool() ? 1 : 0);
      break;
    case dtBytes:
    case dtVarBytes:
      SetItemAsBytes(index, value.asBytes());
      break;
    case dtTimeStamp:
    case dtTimeStampTZ:
    case dtTimeStampLTZ:
      if (value.type() == VariantType::DateTime)
        GetAsTimeStamp().SetAsDateTime(value.asDateTime());
      else
        GetAsTimeStamp().SetAsString(value.asString());
      break;
    case dtIntervalYM:
    case dtIntervalDS:
      GetAsInterval().SetAsString(value.asString());
      break;
    case dtNumber:
      GetAsNumber().SetAsString(value.asString());
      break;
    default:
      throw dataset::EVariantError("Cannot convert type.");
  }
}

Variant TOraParamDesc::GetValue() const {
  if (length_ < 2) return GetItemAsVariant(1);
  std::vector<Variant> items;
  for (int i = 1; i <= length_; ++i) items.push_back(GetItemAsVariant(i));
  return Variant(std::move(items));
}

void TOraParamDesc::SetValue(const Variant& value) {
  if (value.type() == dataset::VariantType::Array) {
    const std::vector<Variant>& items = value.asArray();
    SetLength(int32_t(items.size()));
    for (size_t i = 0; i < items.size(); ++i) SetItemAsVariant(int(i + 1), items[i]);
    return;
  }
  SetItemAsVariant(1, value);
}

}  // namespace oracle
