// The memory dataset: the dataset layer over a record store (TData, a TMemData by default).
//
// It turns record buffers, bookmarks, field data, editing, filtering, searching and blob streams
// into operations on the store, and adds cached updates and the write-through hooks that a
// driver dataset fills (PerformInsert, PerformDelete, PerformUpdate).
//
// Record buffer: the store's record (RecordSize bytes), then the record information at RecInfoOfs
// {record number (int32), update status (byte), bookmark flag (byte), holds references (byte)},
// then the store's bookmark at BookmarkOfs, field by field {refresh iteration (4), item (8),
// serial (8), order (4)}. A buffer that holds references owns one reference to each string and
// value object its record points at; they are released before the buffer is reused or freed, and
// always before the store frees its data.
//
// Not thread-safe: one thread uses a dataset.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dataaccess/memdata_data.h"
#include "dataset/dataset.h"

namespace dataaccess {

using dataset::DataSet;
using dataset::Field;
using dataset::FieldDef;
using dataset::FieldType;

// The field type a data type is shown as; codes 2, 9, 11, 12 and above 26 have none (internal
// error "Unknown data type.").
FieldType DataTypeToFieldType(uint16_t dataType);
// The data type a field type (a parameter's) is given; not the inverse of the map above: a
// smallint becomes dtInteger, a currency dtCurrency, a large integer dtInt64, and the types the
// record sets do not hold dtUnknown.
uint16_t FieldTypeToDataType(FieldType fieldType);

// Field types of the Oracle-only columns, beyond the dataset layer's own: process-wide values
// that the Oracle client maps its data types to.
inline constexpr FieldType ftBFile = FieldType(dataset::ftGuid + 1);
inline constexpr FieldType ftLabel = FieldType(dataset::ftGuid + 2);
inline constexpr FieldType ftTimeStamp = FieldType(dataset::ftGuid + 3);
inline constexpr FieldType ftTimeStampTZ = FieldType(dataset::ftGuid + 4);
inline constexpr FieldType ftTimeStampLTZ = FieldType(dataset::ftGuid + 5);
inline constexpr FieldType ftIntervalYM = FieldType(dataset::ftGuid + 6);
inline constexpr FieldType ftIntervalDS = FieldType(dataset::ftGuid + 7);
inline constexpr FieldType ftNumber = FieldType(dataset::ftGuid + 8);
inline constexpr FieldType ftXML = FieldType(dataset::ftGuid + 9);
inline constexpr FieldType ftFixedWideChar = FieldType(dataset::ftGuid + 10);

// Searching options of LocateRecord (bits).
inline constexpr uint8_t lxCaseInsensitive = 1;
inline constexpr uint8_t lxPartialKey = 2;
inline constexpr uint8_t lxNearest = 4;
inline constexpr uint8_t lxNext = 8;
inline constexpr uint8_t lxUp = 16;

// An OnUpdateRecord answer that asks for the default action.
inline constexpr auto uaDefault = dataset::UpdateAction(10);

// A key value in the store's form: the bytes and the data type they are in.
struct TValueBuffer {
  std::vector<uint8_t> Bytes;
  uint16_t DataType = 0;
};

class TMemDataSet : public DataSet {
 public:
  TMemDataSet();
  ~TMemDataSet() override;

  TData& Data() const { return *data_; }
  // Installs a record store (the dataset must be closed): copies CachedUpdates into it and sets
  // its write-through and apply callbacks.
  virtual void SetIRecordSet(std::unique_ptr<TData> recordSet);
  virtual void Prepare();
  void UnPrepare();
  bool Prepared() const { return data_->Prepared(); }

  bool CachedUpdates() const { return cachedUpdates_; }
  void SetCachedUpdates(bool value);
  bool LocalUpdate = false;
  bool LocalConstraints = true;
  bool NumberRange = false;
  void ApplyUpdates();
  void CommitUpdates();
  void CancelUpdates();
  void RevertRecord();
  void RestoreUpdates();
  bool UpdatesPending() const { return data_->GetUpdatesPending(); }
  dataset::UpdateStatus GetUpdateStatus() override;
  // Copies CachedUpdates, LocalConstraints and LocalUpdate.
  void AssignTo(TMemDataSet& other) const;

  int RecNo() override;
  void SetRecNo(int n) override;
  int RecordCount() override { return Active() ? data_->GetRecordCount() : 0; }
  // The record store's: a driver knows the character set its text is in.
  dataset::NarrowText NarrowTextEncoding() const override { return data_->NarrowTextEncoding(); }
  bool BookmarkValid(const dataset::Bookmark& b) override;
  int CompareBookmarks(const dataset::Bookmark& a, const dataset::Bookmark& b) override;

  void SetFilterText(const std::string& text) override;
  void SetFiltered(bool value) override;
  void SetFilterOptions(uint8_t options) override;
  void SetOnFilterRecord(std::function<void(DataSet&, bool&)> handler) override;

  bool Locate(const std::string& keyFields, const Variant& keyValues, uint8_t options) override;
  Variant Lookup(const std::string& keyFields, const Variant& keyValues,
                 const std::string& resultFields) override;
  // Makes the first record (from the current one with lxNext; backwards with lxUp) whose key
  // fields match current in the store, leaving the dataset's active record alone; true when found.
  bool LocateRecord(const std::string& keyFields, const Variant& keyValues, uint8_t options);
  std::unique_ptr<dataset::Stream> CreateBlobStream(Field& field, dataset::BlobStreamMode mode) override;

  // The value object of `field` in the record of the current state, also while the field is
  // null (TData::GetFieldObject); nullptr without a record or for a field of another type.
  TSharedObject* GetFieldObject(const Field& field);
  bool GetFieldData(Field& field, Variant& value) override;
  void SetFieldData(Field& field, const Variant& value) override;

  // The key value `value` for `field` in the store's form; false for Null (no buffer).
  virtual bool VariantToValueBuffer(const TFieldDesc& field, const Variant& value, TValueBuffer& buffer);
  // Whether the record's field matches the key (options: lx... bits).
  virtual bool CompareFieldValue(const TValueBuffer* key, const TFieldDesc& field, const uint8_t* recBuf,
                                 uint8_t options);

 protected:
  virtual void CreateIRecordSet();
  virtual void CreateFieldDefs();
  virtual FieldType GetFieldType(uint16_t dataType) { return DataTypeToFieldType(dataType); }
  virtual FieldType GetFieldDescType(const TFieldDesc& desc) { return GetFieldType(desc.DataType); }
  virtual void SetNumberRange(const FieldDef& def);
  virtual void WriteRecord();
  virtual void PerformInsert() {}
  virtual void PerformDelete() {}
  virtual void PerformUpdate() {}
  // While cached updates are applied, the store's record being applied (fields read and write it,
  // their old values read its original); else nullptr.
  uint8_t* AppliedRecord() const { return appliedRecord_; }

  uint8_t* AllocRecordBuffer() override;
  void FreeRecordBuffer(uint8_t*& buffer) override;
  dataset::GetResult GetRecord(uint8_t* buffer, dataset::GetMode mode, bool doCheck) override;
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return data_->Active(); }
  void InternalInitFieldDefs() override;
  void OpenCursor(bool infoQuery) override;
  void CloseCursor() override;
  void InternalFirst() override { data_->SetToBegin(); }
  void InternalLast() override { data_->SetToEnd(); }
  void InternalInitRecord(uint8_t* buffer) override;
  void InitRecord(uint8_t* buffer) override;
  void InternalAddRecord(const uint8_t* buffer, bool append) override;
  void InternalInsert() override { inserting_ = true; }
  void InternalEdit() override;
  void InternalDelete() override;
  void InternalPost() override;
  void InternalCancel() override;
  void InternalRefresh() override;
  void InternalGotoBookmark(const uint8_t* bookmark) override;
  void InternalSetToRecord(uint8_t* buffer) override;
  dataset::BookmarkFlag GetBookmarkFlag(const uint8_t* buffer) const override;
  void SetBookmarkFlag(uint8_t* buffer, dataset::BookmarkFlag flag) override;
  void GetBookmarkData(const uint8_t* buffer, uint8_t* data) const override;
  void SetBookmarkData(uint8_t* buffer, const uint8_t* data) override;
  void DoOnNewRecord() override;
  bool FindRecord(bool restart, bool goForward) override;
  uint8_t* GetStateBuffer() override;

 private:
  friend class TBlobStream;
  static constexpr uint32_t kInfoSize = 7;
  static constexpr uint32_t kBookmarkSize = 24;
  // Gives up the references a buffer holds; a buffer without any is left as it is.
  void releaseReferences(uint8_t* buffer);
  void releaseAllReferences();
  void installFilter();
  void filterChanged();
  void applyRecord(TUpdateKind kind, TUpdateAction& action);
  void writeThrough(void (TMemDataSet::*perform)());
  std::vector<TFieldDesc*> keyDescs(const std::string& keyFields) const;

  std::unique_ptr<TData> data_;
  // Runs one of the store's apply passes with the applied record's buffers installed.
  void applyQueued(void (TData::*apply)());

  bool cachedUpdates_ = false;
  bool inserting_ = false, editing_ = false;
  // While cached updates are applied: the queued record being applied and its original values.
  uint8_t* appliedRecord_ = nullptr;
  uint8_t* appliedOldRecord_ = nullptr;
  uint32_t recInfoOfs_ = 0, bookmarkOfs_ = 0, recBufSize_ = 0;
  uint8_t* oldValueBuf_ = nullptr;
  const uint8_t* filterBuf_ = nullptr;
  uint8_t* lookupBuf_ = nullptr;
};

// A stream over a blob field of a memory dataset's current record.
class TBlobStream : public dataset::Stream {
 public:
  TBlobStream(TMemDataSet& dataSet, Field& field, dataset::BlobStreamMode mode);
  // A stream that wrote signals the field's change; an error of a change handler at this point
  // cannot undo the write and is not raised.
  ~TBlobStream() override;
  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, dataset::SeekOrigin origin) override;

 protected:
  // The value the stream found for the field (nullptr: none).
  TBlob* Blob() const { return blob_; }

 private:
  TMemDataSet& dataSet_;
  Field& field_;
  uint8_t* buffer_ = nullptr;
  TBlob* blob_ = nullptr;
  int64_t position_ = 0;
  bool modified_ = false;
};

}  // namespace dataaccess
