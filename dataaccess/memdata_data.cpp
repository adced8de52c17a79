#include "dataaccess/memdata_data.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

#include "dataaccess/daconsts.h"
#include "platform/bytes.h"
#include "platform/collation.h"

namespace dataaccess {
namespace {

using dataset::DateTime;
using dataset::VariantType;

constexpr double kMsPerDay = 86400000.0;

std::string upper(std::string_view s) {
  std::string u(s);
  platform::upperCaseText(platform::kUsEnglishLanguageId, u, SIZE_MAX);
  return u;
}

// Copies a zero-terminated text of at most `limit` units into dest of `destUnits` units,
// expanding bare line feeds when asked; always terminates.
template <class Char>
void copyText(const Char* src, size_t limit, Char* dest, size_t destUnits, bool expandEOL) {
  if (destUnits == 0) return;
  size_t out = 0;
  for (size_t i = 0; i < limit && src[i] && out + 1 < destUnits; ++i) {
    if (expandEOL && src[i] == Char('\n') && (i == 0 || src[i - 1] != Char('\r'))) {
      if (out + 2 >= destUnits) break;
      dest[out++] = Char('\r');
    }
    dest[out++] = src[i];
  }
  dest[out] = Char(0);
}

// The text of at most `limit` units, carriage return + line feed pairs collapsed when asked.
template <class Char>
std::basic_string<Char> takeText(const Char* src, size_t limit, bool collapseEOL) {
  std::basic_string<Char> s;
  for (size_t i = 0; i < limit && src[i]; ++i) {
    if (collapseEOL && src[i] == Char('\r') && i + 1 < limit && src[i + 1] == Char('\n')) continue;
    s.push_back(src[i]);
  }
  return s;
}

// The dataset's time stamp of a date-time: day number and milliseconds since midnight.
void toTimeStamp(double days, int32_t& date, int32_t& time) {
  const double whole = std::trunc(days);
  int64_t ms = std::llround(std::fabs(days - whole) * kMsPerDay);
  int64_t day = int64_t(whole);
  if (ms >= int64_t(kMsPerDay)) {
    ms -= int64_t(kMsPerDay);
    day += days < 0 ? -1 : 1;
  }
  date = int32_t(day + DateDelta);
  time = int32_t(ms);
}

double fromTimeStamp(int32_t date, int32_t time) {
  const double day = double(int64_t(date) - DateDelta);
  const double frac = double(time) / kMsPerDay;
  return day < 0 ? day - frac : day + frac;
}

// Decimal rounding to `scale` digits through the value's fixed-point text, independent of the
// locale.
double roundToScale(double v, uint16_t scale) {
  if (scale < 1 || !std::isfinite(v) || std::fabs(v) >= 1e18) return v;
  char buf[64];
  auto [end, ec] =
      std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, int(std::min<uint16_t>(scale, 30)));
  if (ec != std::errc()) return v;
  double r = v;
  std::from_chars(buf, end, r);
  return r;
}

}  // namespace

TDataTypeSet TData::GetBlobTypes() const {
  return TDataTypeSet().set(dtBlob).set(dtMemo);
}

TDataTypeSet TData::GetComplexTypes() const {
  return GetBlobTypes().set(dtVariant).set(dtExtString).set(dtExtVarBytes).set(dtExtWideString);
}

void TData::DateTimeToNative(const uint8_t* source, void* dest, int mode) const {
  auto* out = static_cast<uint8_t*>(dest);
  int32_t date, time;
  toTimeStamp(platform::getValue<double>(source), date, time);
  if (mode == 0) platform::putValue(out, double(date) * kMsPerDay + time);
  if (mode == 1) std::memcpy(out, source, 8);
  if (mode == 2) platform::putValue(out, time);
  if (mode == 3) platform::putValue(out, date);
}

void TData::NativeToDateTime(uint8_t* dest, const void* source, int mode) const {
  const auto* in = static_cast<const uint8_t*>(source);
  if (mode == 0) {
    const double ms = std::nearbyint(platform::getValue<double>(in));
    const double date = std::floor(ms / kMsPerDay);
    platform::putValue(dest, fromTimeStamp(int32_t(date), int32_t(ms - date * kMsPerDay)));
  }
  if (mode == 1) std::memcpy(dest, in, 8);
  if (mode == 2) platform::putValue(dest, fromTimeStamp(DateDelta, platform::getValue<int32_t>(in)));
  if (mode == 3) platform::putValue(dest, fromTimeStamp(platform::getValue<int32_t>(in), 0));
}

void TFieldDesc::SetObjectType(TObjectType* type) {
  if (type) type->AddRef();
  ReleaseObject(objectType_);
  objectType_ = type;
}

TFieldDesc& TFieldDescs::Add(std::unique_ptr<TFieldDesc> field) {
  items_.push_back(std::move(field));
  return *items_.back();
}

TFieldDesc* TFieldDescs::FindField(std::string_view name) const {
  const bool path = name.find_first_of(".[") != std::string_view::npos;
  const std::string wanted = upper(name);
  for (const auto& f : items_)
    if (upper(path ? f->ActualName : f->Name) == wanted) return f.get();
  return nullptr;
}

TFieldDesc& TFieldDescs::FieldByName(std::string_view name) const {
  TFieldDesc* f = FindField(name);
  if (!f) RaiseMemDataError(DAMessage(SFieldNotFound, name));
  return *f;
}

TData::TData() = default;

TData::~TData() = default;

void TData::InitData() {
  bof_ = eof_ = true;
  RecordCount = 0;
  RecNoOffset = 0;
}

void TData::DoInsertRecord(const uint8_t* recBuf) {
  if (OnInsertRecord) OnInsertRecord(recBuf);
}

void TData::DoDeleteRecord() {
  if (OnDeleteRecord) OnDeleteRecord();
}

void TData::DoUpdateRecord(const uint8_t* recBuf) {
  if (OnUpdateRecord) OnUpdateRecord(recBuf);
}

void TData::DoApplyRecord(TUpdateKind kind, TUpdateAction& action) {
  if (OnApplyRecord) OnApplyRecord(kind, action);
}

void TData::Open() {
  if (active_) return;
  InitData();
  InternalOpen();
  SetFilter(filterText_);
  active_ = true;
}

void TData::Close() {
  if (active_) InternalClose();
  active_ = false;
  FreeData();
  if (AutoInitFields && !prepared_) ClearFields();
  FreeFilter();
}

void TData::Prepare() {
  InternalPrepare();
  prepared_ = true;
}

void TData::Unprepare() {
  if (!prepared_) return;
  prepared_ = false;
  if (AutoInitFields) ClearFields();
  InternalUnprepare();
}

void TData::Reopen() {
  Close();
  Open();
}

void TData::ClearFields() {
  Fields.Clear();
}

void TData::MakeUniqueNames() {
  // Names compare without regard to case. Every name in use is reserved first, so that a suffix
  // never repeats a name another column already has (ID, ID_1, ID give ID, ID_1, ID_2).
  std::map<std::string, int> uses;
  for (int i = 0; i < Fields.Count(); ++i)
    if (!Fields[i].HasParent()) ++uses[upper(Fields[i].Name)];
  std::map<std::string, bool> seen;
  for (int i = 0; i < Fields.Count(); ++i) {
    TFieldDesc& f = Fields[i];
    if (f.HasParent()) continue;
    // The column keeps the name its source gave it.
    if (f.ActualName.empty()) f.ActualName = f.Name;
    const std::string key = upper(f.Name);
    if (!seen[key]) {
      seen[key] = true;
      continue;
    }
    for (int c = 1;; ++c) {
      const std::string candidate = f.Name + "_" + std::to_string(c);
      if (uses.count(upper(candidate)) == 0) {
        f.Name = candidate;
        uses[upper(candidate)] = 1;
        seen[upper(candidate)] = true;
        break;
      }
    }
  }
}

void TData::InitFields() {
  if (AutoInitFields) {
    ClearFields();
    InternalInitFields();
    MakeUniqueNames();
  }
  DataSize = 0;
  HasComplexFields = false;
  for (int i = 0; i < Fields.Count(); ++i) {
    TFieldDesc& f = Fields[i];
    f.Offset = DataSize;
    if (f.DataType == dtWideString && f.Offset % 2 == 1) ++f.Offset;
    DataSize = f.Offset + f.Size;
    HasComplexFields = HasComplexFields || IsComplexDataType(f.DataType);
  }
  RecordSize = DataSize + uint32_t(GetFieldCount());
  if (RecordSize % 2 == 0) ++RecordSize;
}

void TData::InitObjectFields(TObjectType* type, TFieldDesc* parent) {
  for (int a = 0; a < type->AttributeCount(); ++a) {
    const TAttribute& attr = type->Attribute(a);
    const bool array = type->DataType == dtArray;
    const int count = array ? std::min(type->Size, int32_t(MaxArrayItem)) : 1;
    for (int i = 0; i < count; ++i) {
      auto f = std::make_unique<TFieldDesc>();
      if (array) {
        f->Name = "[" + std::to_string(i) + "]";
        f->ActualName = parent->ActualName + f->Name;
      } else {
        f->Name = attr.Name;
        f->ActualName = parent->ActualName + "." + attr.Name;
      }
      f->DataType = attr.DataType;
      f->Length = attr.Length;
      f->Fixed = attr.Fixed;
      f->SetObjectType(attr.ObjectType());
      f->FieldNo = uint16_t(Fields.Count() + 1);
      f->ParentField = parent;
      TFieldDesc& child = Fields.Add(std::move(f));
      if ((child.DataType == dtObject || child.DataType == dtArray) && child.ObjectType())
        InitObjectFields(child.ObjectType(), &child);
    }
    if (array) break;  // a collection type describes its element once
  }
}

TFieldDesc& TData::FieldOf(int fieldNo) const {
  DA_ASSERT(fieldNo >= 1 && fieldNo <= Fields.Count(), "Field number out of range");
  return Fields[fieldNo - 1];
}

TDBObject* TData::ChildObject(const TFieldDesc& field, const uint8_t* recBuf, std::string& path) const {
  const TFieldDesc* top = &field;
  while (top->ParentField) top = top->ParentField;
  path = field.ActualName.substr(std::min(top->ActualName.size(), field.ActualName.size()));
  if (!path.empty() && path[0] == '.') path.erase(0, 1);
  return SlotPointer<TDBObject>(*top, recBuf);
}

bool TData::GetNull(int fieldNo, const uint8_t* recBuf) const {
  const TFieldDesc& f = FieldOf(fieldNo);
  if (f.HasParent()) {
    std::string path;
    TDBObject* object = ChildObject(f, recBuf, path);
    if (!object) return true;
    Variant v;
    bool blank = true;
    object->GetAttributeValue(path, v, blank);
    return blank;
  }
  return recBuf[DataSize + uint32_t(fieldNo) - 1] == 1;
}

void TData::SetNull(int fieldNo, uint8_t* recBuf, bool value) {
  const TFieldDesc& f = FieldOf(fieldNo);
  if (f.HasParent()) {
    std::string path;
    if (TDBObject* object = ChildObject(f, recBuf, path)) object->SetAttributeValue(path, Variant::null());
    return;
  }
  recBuf[DataSize + uint32_t(fieldNo) - 1] = value ? 1 : 0;
  if (value && IsBlobDataType(f.DataType))
    if (TBlob* blob = SlotPointer<TBlob>(f, recBuf)) blob->Clear();
}

void TData::GetField(int fieldNo, const uint8_t* recBuf, void* dest, size_t destSize, bool& isBlank) {
  const TFieldDesc& f = FieldOf(fieldNo);
  isBlank = GetNull(fieldNo, recBuf);
  if (!dest || (isBlank && !IsComplexDataType(f.DataType))) return;
  DA_ASSERT(!f.HasParent(), "Child fields are read as variants");
  GetFieldData(f, recBuf, dest, destSize);
  if (!isBlank && f.Fixed && TrimFixedChar) {
    if (f.DataType == dtString)
      TrimTrailingBlanks(static_cast<char*>(dest), int64_t(std::min<size_t>(destSize, f.Size)));
    if (f.DataType == dtWideString) TrimTrailingBlanks(static_cast<char16_t*>(dest), -1);
  }
}

void TData::PutField(int fieldNo, uint8_t* recBuf, const void* source, size_t sourceSize) {
  const TFieldDesc& f = FieldOf(fieldNo);
  const bool narrowText = f.DataType == dtString || f.DataType == dtExtString;
  const bool wideText = f.DataType == dtWideString || f.DataType == dtExtWideString;
  const bool emptyText =
      source && !EnableEmptyStrings &&
      ((narrowText && (sourceSize == 0 || *static_cast<const char*>(source) == 0)) ||
       (wideText &&
        (sourceSize < 2 || platform::getValue<char16_t>(static_cast<const uint8_t*>(source)) == 0)));
  if (!source || emptyText) return SetNull(fieldNo, recBuf, true);
  DA_ASSERT(!f.HasParent(), "Child fields are written as variants");
  PutFieldData(f, recBuf, source, sourceSize);
  recBuf[DataSize + uint32_t(fieldNo) - 1] = 0;
}

void TData::GetFieldData(const TFieldDesc& f, const uint8_t* recBuf, void* dest, size_t destSize) {
  const uint8_t* slot = Slot(f, recBuf);
  auto* out = static_cast<uint8_t*>(dest);
  switch (f.DataType) {
    case dtString:
      return copyText(reinterpret_cast<const char*>(slot), f.Size, static_cast<char*>(dest), destSize,
                      NeedConvertEOL());
    case dtDate:
      if (destSize >= 4) DateTimeToNative(slot, out, 3);
      return;
    case dtTime:
      if (destSize >= 4) DateTimeToNative(slot, out, 2);
      return;
    case dtDateTime:
      if (destSize >= 8) DateTimeToNative(slot, out, 0);
      return;
    case dtVariant: {
      TVariantObject* v = SlotPointer<TVariantObject>(f, recBuf);
      *static_cast<Variant*>(dest) = v ? v->Value : Variant::null();
      return;
    }
    case dtExtString: {
      const char* s = SlotPointer<const char>(f, recBuf);
      return copyText(s ? s : "", SIZE_MAX, static_cast<char*>(dest), destSize, NeedConvertEOL());
    }
    case dtExtWideString: {
      const char16_t* s = SlotPointer<const char16_t>(f, recBuf);
      DA_ASSERT(s, "Heap string not set");
      return copyText(s, SIZE_MAX, static_cast<char16_t*>(dest), destSize / 2, NeedConvertEOL());
    }
    case dtWideString:
      return copyText(reinterpret_cast<const char16_t*>(slot), size_t(f.Length) + 1,
                      static_cast<char16_t*>(dest), destSize / 2, NeedConvertEOL());
    case dtExtVarBytes: {
      const uint8_t* b = SlotPointer<const uint8_t>(f, recBuf);
      const uint16_t length = b ? platform::getValue<uint16_t>(b) : 0;
      const size_t n = std::min<size_t>(destSize, size_t(length) + 2);
      if (b)
        std::memcpy(out, b, n);
      else if (destSize >= 2)
        platform::putValue<uint16_t>(out, 0);
      return;
    }
    case dtUInt32:
      if (destSize >= 8) platform::putValue<uint64_t>(out, platform::getValue<uint32_t>(slot));
      return;
    default:
      std::memcpy(out, slot, std::min<size_t>(destSize, f.Size));
  }
}

void TData::PutFieldData(const TFieldDesc& f, uint8_t* recBuf, const void* source, size_t sourceSize) {
  uint8_t* slot = Slot(f, recBuf);
  const auto* in = static_cast<const uint8_t*>(source);
  switch (f.DataType) {
    case dtString: {
      if (f.Size == 0) return;
      const std::string s = takeText(static_cast<const char*>(source), sourceSize, NeedConvertEOL());
      // A longer text keeps the whole characters that fit: a cut inside a character would leave
      // a lone lead byte or tail. The driver's set says what a character is, asked only here.
      size_t n = s.size();
      if (n > f.Size - 1u) n = dataset::fittingTextLength(s, f.Size - 1u, NarrowTextEncoding());
      std::memcpy(slot, s.data(), n);
      std::memset(slot + n, 0, f.Size - n);
      return;
    }
    case dtFloat:
      if (sourceSize >= 8) platform::putValue(slot, roundToScale(platform::getValue<double>(in), f.Scale));
      return;
    case dtDate:
      if (sourceSize >= 4) NativeToDateTime(slot, in, 3);
      return;
    case dtTime:
      if (sourceSize >= 4) NativeToDateTime(slot, in, 2);
      return;
    case dtDateTime:
      if (sourceSize >= 8) NativeToDateTime(slot, in, 0);
      return;
    case dtVariant: {
      TVariantObject* v = SlotPointer<TVariantObject>(f, recBuf);
      if (!v) {
        v = new TVariantObject();
        SetSlotPointer(f, recBuf, v);
      }
      v->Value = *static_cast<const Variant*>(source);
      return;
    }
    case dtExtString: {
      const std::string s = takeText(static_cast<const char*>(source), sourceSize, NeedConvertEOL());
      SetSlotPointer(f, recBuf, StringHeap.ReAllocStr(SlotPointer<char>(f, recBuf), s.c_str()));
      return;
    }
    case dtExtWideString: {
      const std::u16string s =
          takeText(static_cast<const char16_t*>(source), sourceSize / 2, NeedConvertEOL());
      SetSlotPointer(f, recBuf, StringHeap.ReAllocWideStr(SlotPointer<char16_t>(f, recBuf), s.c_str()));
      return;
    }
    case dtExtVarBytes: {
      StringHeap.DisposeBuf(SlotPointer<char>(f, recBuf));
      char* buf = nullptr;
      if (source && sourceSize >= 2) {
        const size_t n = std::min<size_t>(platform::getValue<uint16_t>(in), sourceSize - 2);
        buf = StringHeap.NewBuf(n + 2);
        platform::putValue<uint16_t>(reinterpret_cast<uint8_t*>(buf), uint16_t(n));
        std::memcpy(buf + 2, in + 2, n);
      }
      SetSlotPointer(f, recBuf, buf);
      return;
    }
    case dtWideString: {
      const std::u16string s =
          takeText(static_cast<const char16_t*>(source), sourceSize / 2, NeedConvertEOL());
      // Nor is a character outside the basic plane split from its second half.
      size_t n = std::min<size_t>(s.size(), f.Length);
      if (n > 0 && n < s.size() && s[n] >= 0xDC00 && s[n] <= 0xDFFF) --n;
      std::memcpy(slot, s.data(), n * 2);
      std::memset(slot + n * 2, 0, (size_t(f.Length) + 1 - n) * 2);
      return;
    }
    default: {
      const size_t n = std::min<size_t>(sourceSize, f.Size);
      std::memcpy(slot, in, n);
      std::memset(slot + n, 0, f.Size - n);
    }
  }
}

Variant TData::GetFieldAsVariant(int fieldNo, const uint8_t* recBuf) {
  const TFieldDesc& f = FieldOf(fieldNo);
  if (f.HasParent()) {
    std::string path;
    TDBObject* object = ChildObject(f, recBuf, path);
    Variant v = Variant::null();
    bool blank = true;
    if (object) object->GetAttributeValue(path, v, blank);
    return blank ? Variant::null() : v;
  }
  if (GetNull(fieldNo, recBuf)) return Variant::null();
  const uint8_t* slot = Slot(f, recBuf);
  auto fixedTrim = [&](auto s) {
    if (f.Fixed && TrimFixedChar)
      while (!s.empty() && (s.back() == ' ' || s.back() == 0)) s.pop_back();
    return s;
  };
  switch (f.DataType) {
    case dtString: {
      std::string s(size_t(f.Size) * (NeedConvertEOL() ? 2 : 1) + 1, '\0');
      GetFieldData(f, recBuf, s.data(), s.size());
      s.resize(std::strlen(s.c_str()));
      return Variant(fixedTrim(s));
    }
    case dtInt8:
      return Variant(int16_t(platform::getValue<int8_t>(slot)));
    case dtSmallint:
      return Variant(platform::getValue<int16_t>(slot));
    case dtInteger:
      return Variant(platform::getValue<int32_t>(slot));
    case dtUInt16:
      return Variant(int32_t(platform::getValue<uint16_t>(slot)));
    case dtBoolean:
      return Variant(platform::getValue<uint16_t>(slot) != 0);
    case dtFloat:
    case dtCurrency:
      return Variant(platform::getValue<double>(slot));
    case dtDate:
    case dtTime:
    case dtDateTime:
      return Variant(DateTime{platform::getValue<double>(slot)});
    case dtInt64:
      return Variant(platform::getValue<int64_t>(slot));
    case dtMemo: {
      TBlob* blob = SlotPointer<TBlob>(f, recBuf);
      return Variant(blob ? blob->AsString() : std::string());
    }
    case dtVariant: {
      TVariantObject* v = SlotPointer<TVariantObject>(f, recBuf);
      return v ? v->Value : Variant::null();
    }
    case dtExtString: {
      const char* s = SlotPointer<const char>(f, recBuf);
      std::string text(s ? s : "");
      if (NeedConvertEOL()) {
        std::string expanded(text.size() * 2 + 1, '\0');
        copyText(text.c_str(), SIZE_MAX, expanded.data(), expanded.size(), true);
        text = expanded.c_str();
      }
      return Variant(text);
    }
    case dtBytes:
      return Variant::bytes(std::vector<uint8_t>(slot, slot + std::min(f.Length, f.Size)));
    case dtVarBytes: {
      const uint16_t n =
          std::min<uint16_t>(platform::getValue<uint16_t>(slot), uint16_t(f.Size >= 2 ? f.Size - 2 : 0));
      return Variant::bytes(std::vector<uint8_t>(slot + 2, slot + 2 + n));
    }
    case dtExtVarBytes: {
      const uint8_t* b = SlotPointer<const uint8_t>(f, recBuf);
      if (!b) return Variant::bytes({});
      return Variant::bytes(std::vector<uint8_t>(b + 2, b + 2 + platform::getValue<uint16_t>(b)));
    }
    case dtUInt32:
      return Variant(int64_t(platform::getValue<uint32_t>(slot)));
    case dtWideString: {
      std::u16string s(size_t(f.Length) * (NeedConvertEOL() ? 2 : 1) + 1, u'\0');
      GetFieldData(f, recBuf, s.data(), s.size() * 2);
      s.resize(std::char_traits<char16_t>::length(s.c_str()));
      return Variant(fixedTrim(s));
    }
    case dtExtWideString: {
      const char16_t* s = SlotPointer<const char16_t>(f, recBuf);
      DA_ASSERT(s, "Heap string not set");
      return Variant(std::u16string(s));
    }
    default:
      if (IsObjectDataType(f.DataType) && !IsBlobDataType(f.DataType))
        return Variant::object(SlotPointer<TSharedObject>(f, recBuf));
      RaiseMemDataError(SCannotConvertType);
  }
}

void TData::PutFieldAsVariant(int fieldNo, uint8_t* recBuf, const Variant& value) {
  const TFieldDesc& f = FieldOf(fieldNo);
  if (f.HasParent()) {
    std::string path;
    if (TDBObject* object = ChildObject(f, recBuf, path)) object->SetAttributeValue(path, value);
    return;
  }
  if (value.isNull()) return SetNull(fieldNo, recBuf, true);
  auto put = [&](auto v) { PutField(fieldNo, recBuf, &v, sizeof v); };
  auto putBytes = [&](bool exact) {
    DA_ASSERT(value.type() == VariantType::Bytes, "Invalid VType");
    const std::vector<uint8_t> b = value.asBytes();
    DA_ASSERT(exact ? b.size() == f.Length : b.size() <= f.Length, "Invalid data size");
    return b;
  };
  switch (f.DataType) {
    case dtString:
    case dtExtString: {
      const std::string s = value.asString();
      return PutField(fieldNo, recBuf, s.c_str(), s.size() + 1);
    }
    case dtWideString:
    case dtExtWideString: {
      const std::u16string s = value.asWideString();
      return PutField(fieldNo, recBuf, s.c_str(), (s.size() + 1) * 2);
    }
    case dtInt8:
      return put(int8_t(value.asInt32()));
    case dtSmallint:
      return put(int16_t(value.asInt32()));
    case dtInteger:
      return put(value.asInt32());
    case dtUInt16:
      return put(uint16_t(value.asInt32()));
    case dtBoolean:
      return put(uint16_t(value.asBool() ? 1 : 0));
    case dtFloat:
    case dtCurrency:
      return put(value.asDouble());
    case dtInt64:
      return put(value.asInt64());
    case dtUInt32:
      return put(uint32_t(value.asInt64()));
    case dtDate:
    case dtTime:
    case dtDateTime: {
      int32_t date, time;
      toTimeStamp(value.asDateTime().days, date, time);
      if (f.DataType == dtDate) return put(date);
      if (f.DataType == dtTime) return put(time);
      return put(double(date) * kMsPerDay + time);
    }
    case dtMemo:
    case dtBlob: {
      TBlob* blob = SlotPointer<TBlob>(f, recBuf);
      if (!blob) RaiseMemDataError(SCannotConvertType);
      blob->SetAsString(value.type() == VariantType::Bytes ? [&] {
        const auto b = value.asBytes();
        return std::string(b.begin(), b.end());
      }()
                                                            : value.asString());
      recBuf[DataSize + uint32_t(fieldNo) - 1] = 0;
      return;
    }
    case dtVariant:
      PutFieldData(f, recBuf, &value, sizeof value);
      recBuf[DataSize + uint32_t(fieldNo) - 1] = 0;
      return;
    case dtBytes: {
      const auto b = putBytes(true);
      return PutField(fieldNo, recBuf, b.data(), b.size());
    }
    case dtVarBytes:
    case dtExtVarBytes: {
      const auto b = putBytes(false);
      std::vector<uint8_t> framed(2 + b.size());
      platform::putValue<uint16_t>(framed.data(), uint16_t(b.size()));
      std::copy(b.begin(), b.end(), framed.begin() + 2);
      return PutField(fieldNo, recBuf, framed.data(), framed.size());
    }
    default:
      if (IsObjectDataType(f.DataType) && value.type() == VariantType::Object) {
        DA_ASSERT(value.asObject() == SlotPointer<TSharedObject>(f, recBuf),
                  "Value object of another record");
        recBuf[DataSize + uint32_t(fieldNo) - 1] = 0;
        return;
      }
      RaiseMemDataError(SCannotConvertType);
  }
}

uint8_t* TData::AllocRecBuf() const {
  return new uint8_t[RecordSize]();
}

void TData::FreeRecBuf(uint8_t* recBuf) {
  delete[] recBuf;
}

void TData::InitRecord(uint8_t* recBuf) {
  std::memset(recBuf, 0, RecordSize);
  for (int i = 0; i < Fields.Count(); ++i)
    if (!Fields[i].HasParent()) recBuf[DataSize + uint32_t(i)] = 1;
}

bool TData::HasFields(std::initializer_list<uint16_t> dataTypes) const {
  for (int i = 0; i < Fields.Count(); ++i)
    if (std::find(dataTypes.begin(), dataTypes.end(), Fields[i].DataType) != dataTypes.end()) return true;
  return false;
}

TSharedObject* TData::GetFieldObject(int fieldNo, const uint8_t* recBuf) const {
  const TFieldDesc& f = FieldOf(fieldNo);
  if (f.HasParent() || !IsObjectDataType(f.DataType)) return nullptr;
  return SlotPointer<TSharedObject>(f, recBuf);
}

TBlob* TData::GetBlob(int fieldNo, const uint8_t* recBuf) const {
  const TFieldDesc& f = FieldOf(fieldNo);
  if (!IsBlobDataType(f.DataType)) DatabaseError(SNeedBlobType);
  TBlob* blob = SlotPointer<TBlob>(f, recBuf);
  DA_ASSERT(blob, "Blob of the record not created");
  return blob;
}

void TData::CreateComplexFields(uint8_t* recBuf, bool withBlobs) {
  for (int i = 0; i < Fields.Count(); ++i) {
    const TFieldDesc& f = Fields[i];
    if (f.HasParent()) continue;
    if (IsBlobDataType(f.DataType) && withBlobs)
      SetSlotPointer(f, recBuf, new TBlob(false));
    else if (f.DataType == dtVariant)
      SetSlotPointer(f, recBuf, new TVariantObject());
    else if (f.DataType == dtExtString || f.DataType == dtExtVarBytes || f.DataType == dtExtWideString)
      SetSlotPointer<char>(f, recBuf, nullptr);
  }
}

void TData::FreeComplexFields(uint8_t* recBuf, bool withBlobs) {
  for (int i = 0; i < Fields.Count(); ++i) {
    const TFieldDesc& f = Fields[i];
    if (f.HasParent() || !IsComplexDataType(f.DataType)) continue;
    if (IsBlobDataType(f.DataType)) {
      if (!withBlobs) continue;
      ReleaseObject(SlotPointer<TBlob>(f, recBuf));
    } else if (IsObjectDataType(f.DataType)) {
      ReleaseObject(SlotPointer<TSharedObject>(f, recBuf));
    } else if (!StringHeap.Empty()) {
      StringHeap.DisposeBuf(SlotPointer<char>(f, recBuf));
    }
    SetSlotPointer<char>(f, recBuf, nullptr);
  }
}

void TData::CopyComplexFields(const uint8_t* source, uint8_t* dest, bool withBlobs) {
  DA_ASSERT(!withBlobs, "Blobs are not copied");
  for (int i = 0; i < Fields.Count(); ++i) {
    const TFieldDesc& f = Fields[i];
    if (f.HasParent()) continue;
    switch (f.DataType) {
      case dtVariant: {
        TVariantObject* from = SlotPointer<TVariantObject>(f, source);
        TVariantObject* to = SlotPointer<TVariantObject>(f, dest);
        if (from && to) to->Value = from->Value;
        break;
      }
      case dtExtString:
        SetSlotPointer(f, dest, StringHeap.AllocStr(SlotPointer<const char>(f, source)));
        break;
      case dtExtWideString:
        SetSlotPointer(f, dest, StringHeap.AllocWideStr(SlotPointer<const char16_t>(f, source)));
        break;
      case dtExtVarBytes: {
        const uint8_t* b = SlotPointer<const uint8_t>(f, source);
        char* copy = nullptr;
        if (b) {
          const size_t n = size_t(platform::getValue<uint16_t>(b)) + 2;
          copy = StringHeap.NewBuf(n);
          std::memcpy(copy, b, n);
        }
        SetSlotPointer(f, dest, copy);
        break;
      }
      default:
        break;
    }
  }
}

void TData::AddRefComplexFields(uint8_t* recBuf) {
  for (int i = 0; i < Fields.Count(); ++i) {
    const TFieldDesc& f = Fields[i];
    if (f.HasParent() || !IsComplexDataType(f.DataType)) continue;
    if (IsObjectDataType(f.DataType)) {
      if (TSharedObject* o = SlotPointer<TSharedObject>(f, recBuf)) o->AddRef();
    } else if (char* buf = SlotPointer<char>(f, recBuf)) {
      StringHeap.AddRefStr(buf);
    }
  }
}

void TData::CancelRecord(uint8_t* recBuf) {
  for (int i = 0; i < Fields.Count(); ++i)
    if (IsBlobDataType(Fields[i].DataType) && !Fields[i].HasParent())
      if (TBlob* blob = SlotPointer<TBlob>(Fields[i], recBuf)) blob->Cancel();
  FreeComplexFields(recBuf, false);
}

void TData::EditRecord(uint8_t* recBuf) {
  std::unique_ptr<uint8_t[]> scratch(AllocRecBuf());
  GetRecord(scratch.get());
  CreateComplexFields(scratch.get(), false);
  CopyComplexFields(recBuf, scratch.get(), false);
  PutRecord(scratch.get());
}

void TData::PostRecord(uint8_t* recBuf) {
  std::unique_ptr<uint8_t[]> scratch(AllocRecBuf());
  GetRecord(scratch.get());
  UpdateRecord(recBuf);
  for (int i = 0; i < Fields.Count(); ++i)
    if (IsBlobDataType(Fields[i].DataType) && !Fields[i].HasParent())
      if (TBlob* blob = SlotPointer<TBlob>(Fields[i], recBuf)) blob->Commit();
  FreeComplexFields(scratch.get(), false);
}

void TData::SetToBegin() {
  bof_ = true;
  eof_ = false;
}

void TData::SetToEnd() {
  eof_ = true;
  bof_ = false;
}

void TData::GetBookmark(TRecBookmark& bookmark) {
  bookmark.Order = GetRecNo();
}

void TData::SetToBookmark(const TRecBookmark& bookmark) {
  if (bookmark.Order != -1) SetRecNo(bookmark.Order);
}

bool TData::BookmarkValid(const TRecBookmark* bookmark) const {
  return bookmark && bookmark->Order != -1;
}

int TData::CompareBookmarks(const TRecBookmark* a, const TRecBookmark* b) const {
  if (!a || !b) return a ? -1 : (b ? 1 : 0);
  return a->Order < b->Order ? -1 : (a->Order > b->Order ? 1 : 0);
}

void TData::SetFilterText(std::string_view text) {
  filterText_ = std::string(text);
  if (prepared_ || active_) SetFilter(filterText_);
}

void TData::SetFilter(std::string_view text) {
  filter_.SetFilter(text, *this);
}

bool TData::FilterRecord(const uint8_t* recBuf) {
  if (OnFilterRecord && !OnFilterRecord(recBuf)) return false;
  if (!filter_.FilterExpression()) return true;
  filterRecBuf_ = recBuf;
  return filter_.Eval(*this);
}

int TData::FindFilterField(std::string_view name) const {
  const TFieldDesc* f = FindField(name);
  return f ? f->FieldNo - 1 : -1;
}

uint16_t TData::FilterFieldDataType(int field) const {
  return Fields[field].DataType;
}

Variant TData::FilterFieldValue(int field) const {
  return const_cast<TData*>(this)->GetFieldAsVariant(field + 1, filterRecBuf_);
}

}  // namespace dataaccess
