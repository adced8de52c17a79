// The dataset: a current record over a record source, with states, navigation, editing,
// bookmarks, filters, calculated and lookup fields, data sources and links, and events.
//
// A descendant supplies the source through the protected protocol (record buffers, GetRecord,
// bookmark data and flags, the Internal... steps, field data, record numbers and counts, blob
// streams, Locate and Lookup). The dataset keeps one active record buffer: the record the
// application and its links see. Navigation reads the next or prior record into a spare buffer and
// swaps it in when the read succeeds, so a failed step never loses the current record.
//
// Events are std::functions; a handler may call Abort() to stop the operation silently.
// Not thread-safe: one thread uses a dataset, its fields and its links.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dataset/dberror.h"
#include "dataset/fields.h"
#include "dataset/variant.h"

namespace dataset {

enum DataSetState : uint8_t {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsOldValue,
  dsCurValue,
  dsBlockRead,
  dsInternalCalc,
  dsOpening,
};

enum GetMode : uint8_t { gmCurrent, gmNext, gmPrior };
enum GetResult : uint8_t { grOK, grBOF, grEOF, grError };
enum BookmarkFlag : uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };
enum DataEvent : uint8_t {
  deFieldChange,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode,
  dePropertyChange,
  deFieldListChange,
};
enum UpdateStatus : uint8_t { usUnmodified, usModified, usInserted, usDeleted };
enum UpdateKind : uint8_t { ukModify, ukInsert, ukDelete };
enum UpdateAction : uint8_t { uaFail, uaAbort, uaSkip, uaRetry, uaApplied };
enum BlobStreamMode : uint8_t { bmRead, bmWrite, bmReadWrite };
enum SeekOrigin : uint8_t { soBeginning, soCurrent, soEnd };

// Locate options (bits).
inline constexpr uint8_t loCaseInsensitive = 1;
inline constexpr uint8_t loPartialKey = 2;
// Filter options (bits).
inline constexpr uint8_t foCaseInsensitive = 1;
inline constexpr uint8_t foNoPartialCompare = 2;

using Bookmark = std::vector<uint8_t>;

// A byte stream (the value of a blob field).
class Stream {
 public:
  virtual ~Stream() = default;
  virtual size_t Read(void* buffer, size_t count) = 0;
  virtual size_t Write(const void* buffer, size_t count) = 0;
  // The new position; positions before 0 become 0.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  std::string ReadAll();
};

class DataSource;
class DataLink;
class MasterDataLink;

class DataSet {
 public:
  DataSet();
  virtual ~DataSet();
  DataSet(const DataSet&) = delete;
  DataSet& operator=(const DataSet&) = delete;

  // Opening and closing.
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  void SetActive(bool value);
  bool Active() const { return state_ != dsInactive; }
  DataSetState State() const { return state_; }

  // Navigation.
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves up to `distance` records; the number moved.
  int MoveBy(int distance);
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool IsEmpty() const { return !hasRecord_; }
  virtual int RecNo() { return -1; }
  virtual void SetRecNo(int) {}
  virtual int RecordCount() { return -1; }

  // Editing.
  void Edit();
  void Insert();
  void Append();
  void Post();
  void Cancel();
  void Delete();
  void Refresh();
  // Reads the active record again from the source (after the source moved under the dataset).
  void Resync();
  // Posts an edit in progress (after telling the links to write their data); nothing in browse.
  void CheckBrowseMode();
  void UpdateRecord();
  void ClearFields();
  bool CanModify() { return GetCanModify(); }

  // Bookmarks: empty when there is no current record.
  Bookmark GetBookmark();
  void GotoBookmark(const Bookmark& b);
  virtual bool BookmarkValid(const Bookmark& b);
  virtual int CompareBookmarks(const Bookmark& a, const Bookmark& b);

  // Fields.
  int FieldCount() const { return int(fields_.size()); }
  Field& Fields(int i) const { return *fields_.at(size_t(i)); }
  // Matches names ignoring ASCII case; nullptr or "Field '...' not found".
  Field* FindField(std::string_view name) const;
  Field& FieldByName(std::string_view name) const;
  // Fields named in a ";"-separated list, each of which must exist.
  std::vector<Field*> GetFieldList(std::string_view names) const;
  FieldDefs& GetFieldDefs() { return fieldDefs_; }
  bool DefaultFields() const { return defaultFields_; }
  bool AutoCalcFields = true;

  // Filtering.
  const std::string& Filter() const { return filterText_; }
  bool Filtered() const { return filtered_; }
  uint8_t FilterOptions() const { return filterOptions_; }
  virtual void SetFilterText(const std::string& text);
  virtual void SetFiltered(bool value);
  virtual void SetFilterOptions(uint8_t options);
  virtual void SetOnFilterRecord(std::function<void(DataSet&, bool&)> handler);
  const std::function<void(DataSet&, bool&)>& OnFilterRecord() const { return onFilterRecord_; }
  bool FindFirst() { return FindRecord(true, true); }
  bool FindLast() { return FindRecord(true, false); }
  bool FindNext() { return FindRecord(false, true); }
  bool FindPrior() { return FindRecord(false, false); }

  // Searching. `keyValues` is the value for one key field, or an array with one per field.
  virtual bool Locate(const std::string& keyFields, const Variant& keyValues, uint8_t options);
  // The values of `resultFields` (an array for several) in the record matching the keys, or
  // Null; the current record does not change.
  virtual Variant Lookup(const std::string& keyFields, const Variant& keyValues,
                         const std::string& resultFields);

  // Cached updates: the status of the current record.
  virtual UpdateStatus GetUpdateStatus() { return usUnmodified; }

  // Blob streams over the current record's blob field; the caller owns the stream.
  virtual std::unique_ptr<Stream> CreateBlobStream(Field& field, BlobStreamMode mode);

  // Data-aware controls.
  void DisableControls();
  void EnableControls();

  // The master source of a detail dataset; nullptr here.
  virtual DataSource* GetDataSource() const;
  // True when `source` leads back to this dataset through master sources.
  bool IsLinkedTo(DataSource* source) const;

  std::function<void(DataSet&)> BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  std::function<void(DataSet&)> BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  std::function<void(DataSet&)> BeforePost, AfterPost, BeforeCancel, AfterCancel;
  std::function<void(DataSet&)> BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  std::function<void(DataSet&)> BeforeRefresh, AfterRefresh, OnCalcFields, OnNewRecord;
  std::function<void(DataSet&, UpdateKind, UpdateAction&)> OnUpdateRecord;

  // Called by fields and links.
  virtual bool GetFieldData(Field& field, Variant& value);
  // A data field's text, or whole number, as GetFieldData would give it, read without a Variant
  // where the dataset keeps such a road for the field: Value with `out` set, Null, or Unknown
  // when it keeps none (the caller then goes through GetFieldData).
  enum class DirectRead : uint8_t { Unknown, Null, Value };
  virtual DirectRead ReadFieldText(Field& field, std::string& out);
  virtual DirectRead ReadFieldInt32(Field& field, int32_t& out);
  virtual void SetFieldData(Field& field, const Variant& value);
  // How the dataset's narrow text forms characters, where a text longer than its field is cut.
  virtual NarrowText NarrowTextEncoding() const { return NarrowText::Utf8; }
  void DataEventNotify(DataEvent event, Field* field = nullptr);
  void AddDataSource(DataSource* source);
  void RemoveDataSource(DataSource* source);
  void AddField(std::unique_ptr<Field> field);
  // The value `field` had before the edit in progress (the old-value state's record).
  Variant GetOldValue(Field& field);

 protected:
  // Record buffers: descendants lay them out; the dataset only holds the pointers.
  virtual uint8_t* AllocRecordBuffer() = 0;
  virtual void FreeRecordBuffer(uint8_t*& buffer) = 0;
  virtual GetResult GetRecord(uint8_t* buffer, GetMode mode, bool doCheck) = 0;
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual bool IsCursorOpen() const = 0;
  virtual void InternalInitFieldDefs() = 0;
  // Opens the source; with `infoQuery` only to learn its field definitions.
  virtual void OpenCursor(bool infoQuery);
  virtual void CloseCursor();
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  virtual void InternalInitRecord(uint8_t* buffer) = 0;
  virtual void InitRecord(uint8_t* buffer);
  virtual void InternalAddRecord(const uint8_t* buffer, bool append) = 0;
  virtual void InternalInsert() {}
  virtual void InternalEdit() {}
  virtual void InternalDelete() = 0;
  virtual void InternalPost();
  virtual void InternalCancel() {}
  virtual void InternalRefresh() {}
  virtual void InternalGotoBookmark(const uint8_t* bookmark) = 0;
  virtual void InternalSetToRecord(uint8_t* buffer) = 0;
  virtual void InternalHandleException();
  virtual BookmarkFlag GetBookmarkFlag(const uint8_t* buffer) const = 0;
  virtual void SetBookmarkFlag(uint8_t* buffer, BookmarkFlag flag) = 0;
  virtual void GetBookmarkData(const uint8_t* buffer, uint8_t* data) const = 0;
  virtual void SetBookmarkData(uint8_t* buffer, const uint8_t* data) = 0;
  virtual bool GetCanModify() { return true; }
  virtual bool IsSequenced() { return true; }
  virtual void ClearCalcFields(uint8_t*) {}
  virtual void DoOnNewRecord();
  // The Before... event of Edit, Insert and Delete; a descendant may refuse the operation after
  // it (Abort).
  virtual void DoBeforeEdit() { runEvent(BeforeEdit); }
  virtual void DoBeforeInsert() { runEvent(BeforeInsert); }
  virtual void DoBeforeDelete() { runEvent(BeforeDelete); }
  // The step after a move: the links hear of the scroll, then AfterScroll.
  virtual void DoAfterScroll();
  virtual bool FindRecord(bool restart, bool goForward);
  // Ends key entry (the key state): Post keeps the key just entered, Cancel restores the one
  // before. The dataset then returns to browsing.
  virtual void PostKeyBuffer(bool /*keep*/) {}
  // One step forward in block-read state (the dataset reads records many at a time and moves
  // only forward); Next and MoveBy call it there.
  virtual void BlockReadNext() { DatabaseError(SNotSupported); }
  // The buffer that fields read in the current state; nullptr when there is none.
  virtual uint8_t* GetStateBuffer();

  // Fields made from the definitions when the application added none.
  void CreateFields();
  void DestroyFields();
  // Computes the calculated and lookup fields of `buffer`.
  void GetCalcFields(uint8_t* buffer);
  bool HasCalcFields() const { return calcFieldCount_ > 0; }
  // The store's cursor no longer stands on the active record (a search moved it).
  void CursorPosChanged() { cursorOnActive_ = false; }
  // Puts the store's cursor back on the active record when it moved away.
  void UpdateCursorPos();
  // The record that was active when the insert or append in progress began (empty when none): an
  // append has moved the store's cursor to the end by the time the new record is made.
  const Bookmark& InsertOrigin() const { return insertReturn_; }
  // Makes the store's current record the active one, with the scroll events.
  void ResyncWithScroll();
  // Drops the calculated values kept for a scratch buffer.
  void ForgetCalcValues(const uint8_t* buffer) { calcValues_.erase(buffer); }
  DataSetState SetTempState(DataSetState state);
  void RestoreState(DataSetState saved) { state_ = saved; }
  uint8_t* ActiveBuffer() const { return hasRecord_ || state_ == dsInsert ? activeBuf_ : nullptr; }
  uint8_t* CalcBuffer() const { return calcBuf_; }
  // Every record buffer the dataset holds.
  std::vector<uint8_t*> RecordBuffers() const { return {activeBuf_, spareBuf_}; }
  void SetState(DataSetState state);
  int BookmarkSize = 0;
  // The link that makes this a detail dataset, if any.
  MasterDataLink* MasterLink = nullptr;

 private:
  friend class DataSource;
  friend class MasterDataLink;
  bool readActive(GetMode mode);
  void afterScroll();
  // Insert and Append differ only in where the new record goes: before the current one, or
  // after the last.
  void beginInsert(bool atEnd);
  void checkActive() const;
  void checkRequiredFields();
  void endKeyEntry(bool keep);
  void runEvent(const std::function<void(DataSet&)>& event) {
    if (event) event(*this);
  }
  Field* addDefaultField(const FieldDef& def, Field* parent);

  DataSetState state_ = dsInactive;
  bool bof_ = true, eof_ = true, hasRecord_ = false, modified_ = false;
  bool cursorOnActive_ = false, defaultFields_ = false, filtered_ = false;
  uint8_t filterOptions_ = 0;
  std::string filterText_;
  std::function<void(DataSet&, bool&)> onFilterRecord_;
  uint8_t* activeBuf_ = nullptr;
  uint8_t* spareBuf_ = nullptr;
  uint8_t* calcBuf_ = nullptr;
  Bookmark insertReturn_;  // where a cancelled insert goes back to
  int disableCount_ = 0;
  bool changedWhileDisabled_ = false;
  int calcFieldCount_ = 0;
  std::unordered_map<const uint8_t*, std::vector<Variant>> calcValues_;
  std::vector<std::unique_ptr<Field>> fields_;
  std::vector<Field*> flatFields_;  // every field, children included, for name look-ups
  FieldDefs fieldDefs_;
  std::vector<DataSource*> dataSources_;
  // Datasets whose lookup fields read this one, and those this one's lookup fields read: each is
  // told when the other goes.
  std::vector<DataSet*> lookupClients_, lookupSources_;
  void dropLookupLinks();
};

// Connects data links (controls, detail datasets) to a dataset and relays its events to them.
class DataSource {
 public:
  DataSource() = default;
  ~DataSource();
  DataSource(const DataSource&) = delete;
  DataSource& operator=(const DataSource&) = delete;

  DataSet* GetDataSet() const { return dataSet_; }
  // Refuses a dataset that is linked back to one of this source's detail datasets.
  void SetDataSet(DataSet* dataSet);
  DataSetState State() const { return dataSet_ ? dataSet_->State() : dsInactive; }
  // True when a link of this source leads, through detail datasets, to `dataSet`.
  bool IsLinkedTo(const DataSet* dataSet) const;
  bool AutoEdit = true;
  std::function<void(DataSource&)> OnStateChange;
  std::function<void(DataSource&, Field*)> OnDataChange;

 private:
  friend class DataLink;
  friend class DataSet;
  void notify(DataEvent event, Field* field);
  DataSet* dataSet_ = nullptr;
  DataSetState lastState_ = dsInactive;
  std::vector<DataLink*> links_;
};

class DataLink {
 public:
  DataLink() = default;
  virtual ~DataLink();
  DataLink(const DataLink&) = delete;
  DataLink& operator=(const DataLink&) = delete;

  DataSource* GetDataSource() const { return source_; }
  void SetDataSource(DataSource* source);
  DataSet* GetDataSet() const { return source_ ? source_->GetDataSet() : nullptr; }
  bool Active() const { return active_; }
  // The dataset this link feeds (a detail dataset), for the circular-link check.
  virtual DataSet* DetailDataSet() const { return nullptr; }

 protected:
  virtual void ActiveChanged() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled() { DataSetChanged(); }
  virtual void RecordChanged(Field*) {}
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void EditingChanged() {}
  virtual void UpdateData() {}
  virtual void CheckBrowseMode() {}

 private:
  friend class DataSource;
  friend class DataSet;
  void dataEvent(DataEvent event, Field* field);
  void updateActive();
  DataSource* source_ = nullptr;
  bool active_ = false;
};

// The link of a detail dataset to its master: OnMasterChange runs when the master opens, scrolls
// or changes a key field; OnMasterDisable when the master closes.
class MasterDataLink : public DataLink {
 public:
  explicit MasterDataLink(DataSet& detail);
  ~MasterDataLink() override;
  // nullptr once the detail dataset is destroyed.
  DataSet* DetailDataSet() const override { return detail_; }
  // The master's fields named by FieldNames (";"-separated), once the master is open.
  std::vector<Field*> MasterFields() const;
  std::string FieldNames;
  std::function<void()> OnMasterChange, OnMasterDisable;

 protected:
  void ActiveChanged() override;
  void RecordChanged(Field* field) override;
  void DataSetChanged() override;

 private:
  friend class DataSet;
  DataSet* detail_;
};

}  // namespace dataset
