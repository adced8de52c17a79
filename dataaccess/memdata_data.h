// The abstract record set: field descriptions, the layout of one record buffer, reading and
// writing field values in it, the values that records hold by reference, and the filter.
//
// Record buffer: each field's slot at its Offset (packed, so slots are read and written with
// memcpy; a slot that holds a pointer takes 8 bytes), then one null byte per field (1 = null),
// then one pad byte so that RecordSize is odd. The dataset layer may append calculated fields
// after RecordSize.
//
// Dataset values (what GetFieldData hands out and PutFieldData takes) are bounded by the size the
// caller gives: texts stop at their terminator and are always terminated within that size.
//
// Child fields (the attributes and elements of an object or array column) live in the object the
// top-level field's slot points at; they are read and written as variants (GetFieldAsVariant,
// PutFieldAsVariant) and their null state comes from the object.
//
// A concrete record store (TMemData) provides navigation, record access, bookmarks and cached
// updates. Not thread-safe: a record set is used by one thread at a time.
#pragma once

#include <bitset>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dataaccess/memdata_blob.h"
#include "dataaccess/memdata_filter.h"
#include "dataaccess/memdata_shared.h"
#include "dataaccess/memdata_stringheap.h"
#include "dataset/variant.h"

namespace dataaccess {

// Internal data type codes (dtObject .. dtTable are in memdata_shared.h).
inline constexpr uint16_t dtUnknown = 0;
inline constexpr uint16_t dtString = 1;  // Size bytes in the record, zero-terminated
inline constexpr uint16_t dtInt8 = 2;
inline constexpr uint16_t dtSmallint = 3;
inline constexpr uint16_t dtInteger = 4;
inline constexpr uint16_t dtFloat = 5;  // double
inline constexpr uint16_t dtDate = 6;   // slot: double days since 1899-12-30
inline constexpr uint16_t dtTime = 7;
inline constexpr uint16_t dtDateTime = 8;
inline constexpr uint16_t dtUInt16 = 9;
inline constexpr uint16_t dtBoolean = 10;  // 2 bytes, non-zero = true
inline constexpr uint16_t dtInt64 = 11;
inline constexpr uint16_t dtCurrency = 12;       // double
inline constexpr uint16_t dtBlob = 13;           // pointer to a TBlob
inline constexpr uint16_t dtMemo = 14;           // pointer to a TBlob
inline constexpr uint16_t dtVariant = 19;        // pointer to a TVariantObject
inline constexpr uint16_t dtExtString = 20;      // pointer to a heap string
inline constexpr uint16_t dtBytes = 21;          // Size bytes
inline constexpr uint16_t dtVarBytes = 22;       // 2-byte length, then the bytes
inline constexpr uint16_t dtExtVarBytes = 23;    // pointer to a heap buffer: 2-byte length, bytes
inline constexpr uint16_t dtUInt32 = 24;         // 4 bytes, handed out as 8
inline constexpr uint16_t dtWideString = 25;     // Length 16-bit characters + terminator
inline constexpr uint16_t dtExtWideString = 26;  // pointer to a heap wide string

// Largest number of child fields an array field is expanded into.
inline constexpr int MaxArrayItem = 100;
// Day number of 1899-12-30 in the dataset's time stamps (days since 0001-01-01, plus one).
inline constexpr int32_t DateDelta = 693594;

// A set of internal data type codes (drivers add codes of their own below 256).
using TDataTypeSet = std::bitset<256>;

// Update statuses and the results of applying one.
enum TUpdateStatus : uint8_t { usUnmodified = 0, usModified = 1, usInserted = 2, usDeleted = 3 };
enum TUpdateAction : uint8_t { uaFail = 0, uaAbort = 1, uaSkip = 2, uaRetry = 3, uaApplied = 4, uaNone = 5 };
enum TUpdateKind : uint8_t { ukModify = 0, ukInsert = 1, ukDelete = 2 };
using TUpdateStatuses = uint8_t;  // bit (1 << status)

class TFieldDesc {
 public:
  TFieldDesc() = default;
  ~TFieldDesc() { ReleaseObject(objectType_); }
  TFieldDesc(const TFieldDesc&) = delete;
  TFieldDesc& operator=(const TFieldDesc&) = delete;

  TObjectType* ObjectType() const { return objectType_; }
  void SetObjectType(TObjectType* type);
  bool HasParent() const { return ParentField != nullptr; }

  std::string Name;
  std::string ActualName;  // full path of a child field (ADDR.CITY, V[3])
  uint16_t DataType = dtUnknown;
  uint16_t SubDataType = 0;
  uint16_t Length = 0;
  uint16_t Scale = 0;
  uint16_t FieldNo = 0;  // 1-based
  uint16_t Size = 0;     // bytes of the slot
  uint32_t Offset = 0;
  bool Required = false;
  bool ReadOnly = false;
  bool Fixed = false;
  bool HiddenColumn = false;
  bool Hidden = false;
  TFieldDesc* ParentField = nullptr;
  void* Handle = nullptr;

 private:
  TObjectType* objectType_ = nullptr;
};

class TFieldDescs {
 public:
  int Count() const { return int(items_.size()); }
  TFieldDesc& operator[](int index) const { return *items_.at(size_t(index)); }
  TFieldDesc& Add(std::unique_ptr<TFieldDesc> field);
  void Clear() { items_.clear(); }
  // The first field whose Name (ActualName for a path with "." or "[") matches, ignoring case.
  TFieldDesc* FindField(std::string_view name) const;
  // As FindField; an unknown name raises "Field %s not found.".
  TFieldDesc& FieldByName(std::string_view name) const;

 private:
  std::vector<std::unique_ptr<TFieldDesc>> items_;
};

// A position in a record set: the refresh it was taken in, the item, the item's serial (so that a
// freed or reused item is recognised) and the record number.
struct TRecBookmark {
  uint32_t RefreshIteration = 0;
  void* Item = nullptr;
  uint64_t Serial = 0;
  int32_t Order = -1;
};

class TData : private TFilterRecordSource {
 public:
  TData();
  virtual ~TData();
  TData(const TData&) = delete;
  TData& operator=(const TData&) = delete;

  virtual void InternalPrepare() {}
  virtual void InternalUnprepare() {}
  virtual void InternalOpen() {}
  virtual void InternalClose() {}
  virtual void InitData();
  virtual void FreeData() { InitData(); }
  // The driver adds the descriptors here.
  virtual void InternalInitFields() {}
  virtual int GetFieldCount() const { return Fields.Count(); }
  virtual bool NeedConvertEOL() const { return false; }
  // How narrow text forms characters: a text longer than its dtString slot keeps the whole
  // characters that fit. UTF-8 unless the driver knows its text is in a single-byte set.
  virtual dataset::NarrowText NarrowTextEncoding() const { return dataset::NarrowText::Utf8; }
  virtual bool Eof() const { return eof_; }
  virtual bool Bof() const { return bof_; }
  virtual int GetRecordCount() const { return -1; }
  virtual int GetRecNo() const { return -1; }
  virtual void SetRecNo(int) {}
  virtual void DoInsertRecord(const uint8_t* recBuf);
  virtual void DoDeleteRecord();
  virtual void DoUpdateRecord(const uint8_t* recBuf);
  virtual bool GetUpdatesPending() const { return false; }
  virtual void SetShownUpdateStatuses(TUpdateStatuses statuses) { ShownUpdateStatuses = statuses; }
  virtual void Open();
  virtual void Close();
  virtual void Prepare();
  virtual void Unprepare();
  virtual void Reopen();
  virtual void InitFields();
  // Record slot to dataset value, into `dest` of `destSize` bytes (a Variant for dtVariant).
  virtual void GetFieldData(const TFieldDesc& field, const uint8_t* recBuf, void* dest, size_t destSize);
  // Dataset value of at most `sourceSize` bytes to record slot (a Variant for dtVariant).
  virtual void PutFieldData(const TFieldDesc& field, uint8_t* recBuf, const void* source, size_t sourceSize);
  virtual bool GetNull(int fieldNo, const uint8_t* recBuf) const;
  virtual void SetNull(int fieldNo, uint8_t* recBuf, bool value);
  virtual Variant GetFieldAsVariant(int fieldNo, const uint8_t* recBuf);
  virtual void PutFieldAsVariant(int fieldNo, uint8_t* recBuf, const Variant& value);
  // Between a record slot's 8-byte date-time (days since 1899-12-30, the fraction the time) and
  // the dataset's time stamp (date: days since 0001-01-01 plus one; time: milliseconds since
  // midnight), by `mode`: 0 the stamp as a double of milliseconds, 1 the 8 bytes as they are,
  // 2 the 32-bit time, 3 the 32-bit date (read back on 1899-12-30, respectively at midnight).
  virtual void DateTimeToNative(const uint8_t* source, void* dest, int mode) const;
  virtual void NativeToDateTime(uint8_t* dest, const void* source, int mode) const;
  // The types whose slot holds a blob ({dtBlob, dtMemo}), and those whose slot holds a pointer
  // that must be created, copied and released; a driver adds its own.
  virtual TDataTypeSet GetBlobTypes() const;
  virtual TDataTypeSet GetComplexTypes() const;
  bool IsBlobDataType(uint16_t dataType) const { return dataType < 256 && GetBlobTypes()[dataType]; }
  bool IsComplexDataType(uint16_t dataType) const { return dataType < 256 && GetComplexTypes()[dataType]; }
  // The complex types whose slot holds a shared object (blobs, variants, a driver's value
  // objects), referenced and released by count; the other complex types live on the string heap.
  // A driver that adds value types creates and copies their objects in CreateComplexFields and
  // CopyComplexFields; their variant is the object itself (Variant::object), and putting that
  // object back into its own slot marks the field not null.
  virtual TDataTypeSet GetObjectTypes() const { return GetBlobTypes().set(dtVariant); }
  bool IsObjectDataType(uint16_t dataType) const { return dataType < 256 && GetObjectTypes()[dataType]; }
  // The object of a top-level object-type field in `recBuf`, also while the field is null;
  // nullptr for other fields. The record keeps its reference.
  TSharedObject* GetFieldObject(int fieldNo, const uint8_t* recBuf) const;

  virtual void GetRecord(uint8_t* recBuf) = 0;
  virtual void GetNextRecord(uint8_t* recBuf) = 0;
  virtual void GetPriorRecord(uint8_t* recBuf) = 0;
  virtual void PutRecord(const uint8_t* recBuf) = 0;
  virtual void AppendRecord(const uint8_t* recBuf) = 0;
  virtual void InsertRecord(const uint8_t* recBuf) = 0;
  virtual void UpdateRecord(const uint8_t* recBuf) = 0;
  virtual void DeleteRecord() = 0;
  virtual void CancelRecord(uint8_t* recBuf);
  virtual void CreateComplexFields(uint8_t* recBuf, bool withBlobs);
  virtual void FreeComplexFields(uint8_t* recBuf, bool withBlobs);
  virtual void CopyComplexFields(const uint8_t* source, uint8_t* dest, bool withBlobs);
  virtual void AddRefComplexFields(uint8_t* recBuf);
  virtual void SetToBegin();
  virtual void SetToEnd();
  virtual void GetBookmark(TRecBookmark& bookmark);
  virtual void SetToBookmark(const TRecBookmark& bookmark);
  virtual bool BookmarkValid(const TRecBookmark* bookmark) const;
  virtual int CompareBookmarks(const TRecBookmark* a, const TRecBookmark* b) const;
  virtual uint8_t GetUpdateStatus() const { return usUnmodified; }
  virtual uint8_t GetUpdateResult() const { return uaNone; }
  virtual void SetCacheRecBuf(uint8_t*, uint8_t*) {}
  virtual void ApplyUpdates() {}
  virtual void CommitUpdates() {}
  virtual void CancelUpdates() {}
  virtual void RestoreUpdates() {}
  virtual void RevertRecord() {}
  virtual void DoApplyRecord(TUpdateKind kind, TUpdateAction& action);
  virtual void GetOldRecord(uint8_t*) {}
  virtual void FilterUpdated() {}

  int FieldCount() const { return GetFieldCount(); }
  TFieldDesc* FindField(std::string_view name) const { return Fields.FindField(name); }
  TFieldDesc& FieldByName(std::string_view name) const { return Fields.FieldByName(name); }
  // The dataset value of field `fieldNo` (1-based) into dest (nothing when dest is nullptr).
  void GetField(int fieldNo, const uint8_t* recBuf, void* dest, size_t destSize, bool& isBlank);
  // A nullptr source, or an empty text while EnableEmptyStrings is off, sets the field null.
  void PutField(int fieldNo, uint8_t* recBuf, const void* source, size_t sourceSize);
  uint8_t* AllocRecBuf() const;
  static void FreeRecBuf(uint8_t* recBuf);
  void InitRecord(uint8_t* recBuf);
  void EditRecord(uint8_t* recBuf);
  void PostRecord(uint8_t* recBuf);
  bool HasFields(std::initializer_list<uint16_t> dataTypes) const;
  bool HasBlobFields() const { return HasFields({dtBlob, dtMemo}); }
  // The blob of a blob or memo field ("Field is not BLOB." for another field), and its content.
  TBlob* GetBlob(int fieldNo, const uint8_t* recBuf) const;
  // The blob a field's stream reads and writes: GetBlob's, or a driver's own value object that is
  // a blob (a locator-backed value) for a field type of its own.
  virtual TBlob* GetStreamBlob(int fieldNo, const uint8_t* recBuf) const { return GetBlob(fieldNo, recBuf); }
  uint64_t ReadBlob(int fieldNo, const uint8_t* recBuf, uint64_t position, uint64_t count, void* dest) const {
    return GetBlob(fieldNo, recBuf)->Read(position, count, dest);
  }
  void WriteBlob(int fieldNo, const uint8_t* recBuf, uint64_t position, uint64_t count,
                 const void* source) const {
    GetBlob(fieldNo, recBuf)->Write(position, count, source);
  }
  void TruncateBlob(int fieldNo, const uint8_t* recBuf, uint64_t size) const {
    GetBlob(fieldNo, recBuf)->Truncate(size);
  }
  uint64_t GetBlobSize(int fieldNo, const uint8_t* recBuf) const {
    return GetBlob(fieldNo, recBuf)->GetSize();
  }
  void InitObjectFields(TObjectType* type, TFieldDesc* parent);
  void ClearFields();

  // The filter: parsed on Open and by SetFilterText while prepared.
  void SetFilterText(std::string_view text);
  const std::string& FilterText() const { return filterText_; }
  void SetFilter(std::string_view text);
  void FreeFilter() { filter_.FreeFilter(); }
  bool HasFilter() const { return bool(OnFilterRecord) || filter_.FilterExpression(); }
  void SetFilterCaseInsensitive(bool value) { filter_.CaseInsensitive = value; }
  void SetFilterNoPartialCompare(bool value) { filter_.NoPartialCompare = value; }
  // True when the record passes OnFilterRecord and the filter expression.
  bool FilterRecord(const uint8_t* recBuf);

  bool Active() const { return active_; }
  bool Prepared() const { return prepared_; }

  uint32_t RecordSize = 0;
  uint32_t DataSize = 0;
  bool CachedUpdates = false;
  bool AutoInitFields = true;
  bool TrimFixedChar = false;
  bool EnableEmptyStrings = false;
  bool HasComplexFields = false;
  TUpdateStatuses ShownUpdateStatuses = (1 << usUnmodified) | (1 << usModified) | (1 << usInserted);
  std::function<void(const uint8_t*)> OnInsertRecord;
  std::function<void()> OnDeleteRecord;
  std::function<void(const uint8_t*)> OnUpdateRecord;
  std::function<void(TUpdateKind, TUpdateAction&)> OnApplyRecord;
  std::function<bool(const uint8_t*)> OnFilterRecord;
  TFieldDescs Fields;
  TStringHeap StringHeap;

 protected:
  void MakeUniqueNames();
  // The slot of a field in a record buffer.
  static uint8_t* Slot(const TFieldDesc& f, uint8_t* recBuf) { return recBuf + f.Offset; }
  static const uint8_t* Slot(const TFieldDesc& f, const uint8_t* recBuf) { return recBuf + f.Offset; }
  template <class T>
  static T* SlotPointer(const TFieldDesc& f, const uint8_t* recBuf);
  template <class T>
  static void SetSlotPointer(const TFieldDesc& f, uint8_t* recBuf, T* p);
  TFieldDesc& FieldOf(int fieldNo) const;

  bool bof_ = true;
  bool eof_ = true;
  int RecordCount = 0;
  int RecNoOffset = 0;

 private:
  int FindFilterField(std::string_view name) const override;
  uint16_t FilterFieldDataType(int field) const override;
  Variant FilterFieldValue(int field) const override;
  // The object a child field's value lives in, and the child's path inside it.
  TDBObject* ChildObject(const TFieldDesc& field, const uint8_t* recBuf, std::string& path) const;

  TDataFilter filter_;
  std::string filterText_;
  const uint8_t* filterRecBuf_ = nullptr;
  bool active_ = false;
  bool prepared_ = false;
};

template <class T>
T* TData::SlotPointer(const TFieldDesc& f, const uint8_t* recBuf) {
  T* p;
  std::memcpy(&p, recBuf + f.Offset, sizeof p);
  return p;
}

template <class T>
void TData::SetSlotPointer(const TFieldDesc& f, uint8_t* recBuf, T* p) {
  std::memcpy(recBuf + f.Offset, &p, sizeof p);
}

}  // namespace dataaccess
