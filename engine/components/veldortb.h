// The engine components: the objects through which an application uses the table engine.
//
//   TVELDORSessionList  the process's sessions, the default session "Default" and the session lock
//   TVELDORSession      one engine session with its settings, table passwords and databases
//   TVELDORDatabase     one database directory (a folder, or "Memory") of a session
//   TVELDORDataSet      a dataset (dataset layer) over one engine cursor
//   TVELDORDBDataSet    ... that finds its database by name through its session
//   TVELDORTable        ... over one table: index choice, definitions, create and delete
//   TVELDORBlobStream   a byte stream over one blob field of the current record
//   TQueryParamBlock    the parameters of an SQL text as the statement driver takes them
//   TVELDORQuery        ... over the result of SQL text, or running it without one
//
// Engine failures arrive as engine::EVELDOREngineError with their code and context; misuse of a
// component raises dataset::EDatabaseError with the fixed texts below. Both are database errors:
// a handler catching dataset::EDatabaseError catches engine failures too.
//
// Threads: every engine call of every component runs under the session lock, one recursive
// mutex of the process, so that components of several threads may share the engine. A dataset
// itself, like every dataset, is used by one thread at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/dataset.h"
#include "dataset/dberror.h"
#include "dataset/params.h"
#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldorsession.h"

namespace engine::components {

using engine::EVELDOREngineError;
using engine::RaiseEngineError;

// Raises the engine error `code` (with the calling thread's context); nothing for 0.
inline void CheckEngineError(uint16_t code) {
  RaiseEngineErrorIfSet(code);
}

inline constexpr std::string_view kEngineVersion = "3.10";
inline constexpr std::string_view kDefaultSessionName = "Default";

// The components' messages.
inline constexpr const char* SSessionNameMissing = "Session name is missing.";
inline constexpr const char* SInvalidSessionName = "Session name %s is not valid.";
inline constexpr const char* SDuplicateSessionName = "Session name %s already exists.";
inline constexpr const char* SSessionActive = "Cannot perform this operation on an active session.";
inline constexpr const char* SAutoSessionActive = "Cannot perform this operation on the active auto-session.";
inline constexpr const char* SDatabaseNameMissing = "Database name is missing.";
inline constexpr const char* SInvalidDatabaseName = "Database name %s is not valid.";
inline constexpr const char* SDuplicateDatabaseName = "Database name %s already exists.";
inline constexpr const char* SDatabaseOpen = "Cannot perform this operation on an open database.";
inline constexpr const char* SDatabaseClosed = "Cannot perform this operation on a closed database.";
inline constexpr const char* SHandleError = "Error creating table handle.";
inline constexpr const char* SNotEditing = "Table is not in edit or insert mode.";
inline constexpr const char* SFieldReadOnly = "Field %s cannot be modified.";
inline constexpr const char* SNotIndexField = "Field %s is not in the current index.";
inline constexpr const char* SFieldIndexError = "Field index out of range.";
inline constexpr const char* SIndexFieldMissing = "Cannot access index field %s.";
inline constexpr const char* SNoTableName = "Missing table name.";
inline constexpr const char* SCircularDataLink = "Circular data links are not allowed.";
inline constexpr const char* SFieldNotFound = "Field '%s' not found";

class TVELDORSession;
class TVELDORDatabase;
class TVELDORDBDataSet;

// Asked when a table needs a password that no handler of the session gave: shows the password
// dialog for `session` and answers whether it closed with OK. The window layer installs it; with
// none installed a request answers false.
using TPasswordDialogHandler = std::function<bool(TVELDORSession& session)>;
void SetPasswordDialogHandler(TPasswordDialogHandler handler);

class TVELDORSessionList {
 public:
  // The process's list; the first use creates it with the default session, and both stay until
  // the process ends.
  static TVELDORSessionList& Instance();
  ~TVELDORSessionList();
  TVELDORSessionList(const TVELDORSessionList&) = delete;
  TVELDORSessionList& operator=(const TVELDORSessionList&) = delete;

  // Sessions register and unregister themselves.
  void Add(TVELDORSession* session);
  void Remove(TVELDORSession* session);
  std::vector<TVELDORSession*> Sessions() const;
  // Case-insensitive; the empty name gives the default session; nullptr for an unknown name.
  TVELDORSession* FindSession(std::string_view name) const;
  // The same, raising "Session name %s is not valid." for an unknown name.
  TVELDORSession& GetSession(std::string_view name) const;
  TVELDORSession& DefaultSession() const { return *default_; }

  // The session lock: every engine call of the components runs inside it. Recursive, so that a
  // thread nests freely while every other thread waits.
  std::recursive_mutex& SessionLock() { return sessionLock_; }

  // The lowest automatic session number not in use, now taken; and its release.
  int TakeSessionNumber();
  void ReleaseSessionNumber(int number);

 private:
  TVELDORSessionList();
  mutable std::mutex listLock_;
  std::vector<TVELDORSession*> sessions_;
  std::vector<bool> usedNumbers_;
  std::recursive_mutex sessionLock_;
  TVELDORSession* default_;  // never freed (see the destructor)
};

// The default session "Default".
TVELDORSession& Session();

// Holds the session lock with `session`'s engine session current (activating the session when
// it is not active), and makes the previous one current again at its end.
class TSessionLock {
 public:
  explicit TSessionLock(TVELDORSession& session);
  ~TSessionLock();
  TSessionLock(const TSessionLock&) = delete;
  TSessionLock& operator=(const TSessionLock&) = delete;

 private:
  std::unique_lock<std::recursive_mutex> lock_;
  TDataSession* previous_ = nullptr;
};

class TVELDORSession {
 public:
  using TPasswordEvent = std::function<void(TVELDORSession& sender, bool& doContinue)>;
  using TLoginEvent = std::function<void(TVELDORSession& sender, std::string& userName, std::string& password,
                                         bool& doContinue)>;

  // Registers the session; `componentName` is what automatic names are made from.
  explicit TVELDORSession(std::string componentName = {});
  // Deactivates the session and unregisters it.
  ~TVELDORSession();
  TVELDORSession(const TVELDORSession&) = delete;
  TVELDORSession& operator=(const TVELDORSession&) = delete;

  std::string_view EngineVersion() const { return kEngineVersion; }
  const std::string& Name() const { return componentName_; }
  void SetName(std::string name);

  bool Active() const { return engineSession_ != nullptr; }
  void SetActive(bool value);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool IsDefault() const;

  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(const std::string& name);
  bool AutoSessionName() const { return autoNumber_ >= 0; }
  void SetAutoSessionName(bool value);

  bool KeepConnections = true;

  // Settings passed to the engine session (at activation, and at once while active).
  uint8_t LockRetryCount() const { return lockRetryCount_; }
  void SetLockRetryCount(uint8_t value);
  uint16_t LockWaitTime() const { return lockWaitTime_; }
  void SetLockWaitTime(uint16_t value);
  TLockProtocol LockProtocol() const { return lockProtocol_; }
  void SetLockProtocol(TLockProtocol value);
  uint16_t ProgressSteps() const { return progressSteps_; }
  // Values above 100 are ignored.
  void SetProgressSteps(uint16_t value);
  bool ForceBufferFlush() const { return forceBufferFlush_; }
  void SetForceBufferFlush(bool value);
  bool StrictChangeDetection() const { return strictChangeDetection_; }
  void SetStrictChangeDetection(bool value);
  const std::string& PrivateDir() const { return privateDir_; }
  void SetPrivateDir(const std::string& value);
  bool RemoteTrace() const { return remoteTrace_; }
  void SetRemoteTrace(bool value);

  // Remote connection; each setter fails while the session is active.
  enum TRemoteType : uint8_t { rtLAN, rtInternet };
  TSessionType SessionType() const { return sessionType_; }
  void SetSessionType(TSessionType value);
  TRemoteType RemoteType() const { return remoteType_; }
  void SetRemoteType(TRemoteType value);
  void SetRemoteHost(const std::string& value);
  void SetRemoteAddress(const std::string& value);
  void SetRemotePort(uint32_t value);
  void SetRemoteService(const std::string& value);
  void SetRemoteUser(const std::string& value);
  void SetRemotePassword(const std::string& value);

  TPasswordEvent OnPassword;
  std::function<void(TVELDORSession&)> OnStartup;
  TLoginEvent OnRemoteLogin;
  std::function<void(TVELDORSession&, const std::string&)> OnRemoteTrace;

  // Table passwords, cut to 255 characters.
  void AddPassword(const std::string& password);
  void RemovePassword(const std::string& password);
  void RemoveAllPasswords();
  // The engine's password callback: OnPassword when assigned, else the password dialog.
  bool PasswordRequest();

  // The database of that name (case-insensitive), or a temporary one on a folder of that name,
  // opened and with its use count raised.
  TVELDORDatabase& OpenDatabase(const std::string& name);
  // Lowers the use count; at 0 a database without KeepConnection closes (a temporary one goes).
  void CloseDatabase(TVELDORDatabase& database);
  TVELDORDatabase* FindDatabase(std::string_view name) const;

  // The engine session; nullptr while inactive.
  TDataSession* EngineSession() const { return engineSession_; }

 private:
  friend class TVELDORDatabase;
  friend class TVELDORSessionList;
  void activate();
  void deactivate();
  void applySettings();
  void checkInactive() const;
  void makeAutoName();
  void addDatabase(TVELDORDatabase* database);
  void removeDatabase(TVELDORDatabase* database);

  std::string componentName_;
  std::string sessionName_;
  int autoNumber_ = -1;
  uint8_t lockRetryCount_ = kDefaultLockRetryCount;
  uint16_t lockWaitTime_ = kDefaultLockWaitTime;
  TLockProtocol lockProtocol_ = lpPessimistic;
  uint16_t progressSteps_ = kDefaultProgressSteps;
  bool forceBufferFlush_ = false;
  bool strictChangeDetection_ = false;
  std::string privateDir_;
  bool remoteTrace_ = false;
  TSessionType sessionType_ = stLocal;
  TRemoteType remoteType_ = rtLAN;
  std::string remoteHost_, remoteAddress_{kDefaultRemoteAddress}, remoteService_, remoteUser_,
      remotePassword_;
  uint32_t remotePort_ = kDefaultRemotePort;

  TDataSession* engineSession_ = nullptr;
  std::unique_ptr<TDataSession> ownSession_;  // every session but the default one
  bool ownsEngine_ = false;                   // the session that started the engine
  std::vector<TVELDORDatabase*> databases_;
  std::vector<std::unique_ptr<TVELDORDatabase>> temporaries_;
};

class TVELDORDatabase {
 public:
  // In `session`, or in the default session.
  explicit TVELDORDatabase(TVELDORSession* session = nullptr);
  ~TVELDORDatabase();
  TVELDORDatabase(const TVELDORDatabase&) = delete;
  TVELDORDatabase& operator=(const TVELDORDatabase&) = delete;

  std::string_view EngineVersion() const { return kEngineVersion; }
  bool Connected() const { return directory_ != nullptr; }
  void SetConnected(bool value);
  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }

  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name);
  const std::string& Directory() const { return directory__; }
  void SetDirectory(const std::string& directory);
  const std::string& RemoteDatabase() const { return remoteDatabase_; }
  void SetRemoteDatabase(const std::string& name);
  const std::string& SessionName() const { return sessionName_; }
  // Moves the closed database to the named session.
  void SetSessionName(const std::string& name);
  bool KeepConnection() const { return keepConnection_; }
  void SetKeepConnection(bool value);
  bool HandleShared = false;
  std::function<void(TVELDORDatabase&)> BeforeConnect;

  // A transaction over every table of the database that any component of the session opens
  // until it ends: the tables' writes reach their files through the rollback journal at Commit,
  // all or none, and Rollback takes every table back to its last commit. A second
  // StartTransaction while one runs does nothing; Commit and Rollback without one do nothing.
  // Each requires the database connected ("Cannot perform this operation on a closed
  // database."); engine failures raise EVELDOREngineError, and a failed Commit has rolled back.
  void StartTransaction();
  // With `forceFlush` the journal and the tables reach the device before Commit returns.
  void Commit(bool forceFlush = false);
  void Rollback();
  bool InTransaction() const;

  TVELDORSession& Session() const { return *session_; }
  // The engine directory; nullptr while closed.
  TDataDirectory* Handle() const { return directory_; }
  bool Temporary() const { return temporary_; }
  // True when `name` names this database (case-insensitive).
  bool Named(std::string_view name) const;

 private:
  friend class TVELDORSession;
  friend class TVELDORDBDataSet;
  void connect();
  void disconnect();

  TVELDORSession* session_;
  std::string sessionName_;
  std::string databaseName_;
  std::string directory__;
  std::string remoteDatabase_;
  bool keepConnection_ = true;
  bool temporary_ = false;
  bool borrowed_ = false;
  bool destroying_ = false;
  int useCount_ = 0;
  TDataDirectory* directory_ = nullptr;
  std::vector<TVELDORDBDataSet*> dataSets_;
};

// The has-value byte and value bytes of an engine field as a dataset value, and back. Blob
// fields have no value here (their bytes go through blob streams).
dataset::Variant EngineValueToVariant(const TFieldDescriptor& field, const uint8_t* value);
// Writes the field's stored bytes; false when the value is null (or an empty text).
bool VariantToEngineValue(const TFieldDescriptor& field, const dataset::Variant& value, uint8_t* out);
// The dataset field type of an engine type and subtype; ftUnknown for types without a field.
dataset::FieldType EngineTypeToFieldType(uint8_t type, uint8_t subType);
// The engine type and subtype of a dataset field type (0 for a type without one).
void FieldTypeToEngineType(dataset::FieldType fieldType, uint8_t& type, uint8_t& subType);

class TVELDORDataSet : public dataset::DataSet {
 public:
  TVELDORDataSet();
  ~TVELDORDataSet() override;

  std::string_view EngineVersion() const { return kEngineVersion; }
  bool AutoDisplayLabels = false;
  bool CopyOnAppend = false;

  // The open cursor; nullptr while closed.
  TDataCursor* Handle() const { return cursor_.get(); }

  int RecNo() override;
  void SetRecNo(int n) override;
  int RecordCount() override;
  bool BookmarkValid(const dataset::Bookmark& b) override;
  int CompareBookmarks(const dataset::Bookmark& a, const dataset::Bookmark& b) override;
  bool Locate(const std::string& keyFields, const dataset::Variant& keyValues, uint8_t options) override;
  dataset::Variant Lookup(const std::string& keyFields, const dataset::Variant& keyValues,
                          const std::string& resultFields) override;
  std::unique_ptr<dataset::Stream> CreateBlobStream(dataset::Field& field,
                                                    dataset::BlobStreamMode mode) override;
  bool GetFieldData(dataset::Field& field, dataset::Variant& value) override;
  DirectRead ReadFieldText(dataset::Field& field, std::string& out) override;
  DirectRead ReadFieldInt32(dataset::Field& field, int32_t& out) override;
  void SetFieldData(dataset::Field& field, const dataset::Variant& value) override;
  void SetFilterText(const std::string& text) override;
  void SetFiltered(bool value) override;
  void SetFilterOptions(uint8_t options) override;
  void SetOnFilterRecord(std::function<void(dataset::DataSet&, bool&)> handler) override;

  // Searches for the record whose `keyFields` hold `keyValues`; with `synchronise` the dataset
  // moves to it, else the match stays in the cursor's record buffer for Lookup. A number that a
  // key field holds only rounded (a fraction for a whole-number field, more places than a BCD
  // field keeps) finds nothing.
  bool LocateRecord(const std::string& keyFields, const dataset::Variant& keyValues, uint8_t options,
                    bool synchronise);
  // Limits the records to those whose leading key fields of the current index lie between
  // `start` and `end` (one value per key field, fewer for a prefix; none: unbounded).
  void SetRange(const std::vector<dataset::Variant>& start, const std::vector<dataset::Variant>& end);
  void CancelRange();

  // Keys of the current index. SetKey enters key state with an empty search key, EditKey with
  // the last one; the current index's fields are then assigned (any other field fails with
  // "Field %s is not in the current index."), and Post keeps the key, Cancel restores the one
  // before. GotoKey moves to the record with exactly that key (false, staying put, when there is
  // none); GotoNearest to it or to the first above it (the last record when none is). The search covers
  // KeyFieldCount leading key fields, or when that is 0 the leading ones up to the last assigned.
  void SetKey();
  void EditKey();
  bool GotoKey();
  void GotoNearest();
  // SetKey, the values into the leading key fields in order, then GotoKey or GotoNearest.
  bool FindKey(const std::vector<dataset::Variant>& values);
  void FindNearest(const std::vector<dataset::Variant>& values);
  // Of the key being entered; requires key state.
  int KeyFieldCount() const;
  void SetKeyFieldCount(int count);
  // The same key entry on the two range keys; ApplyRange limits the records to those between
  // them (an unassigned bound is open), CancelRange clears both.
  void SetRangeStart();
  void SetRangeEnd();
  void ApplyRange();
  // Block reading: with a size of 1 or more the dataset reads that many records with one engine
  // call (the largest int32_t: as many as 64 KB hold) and moves forward only, Next serving each
  // from the block, from the current record on; 0 or less ends it on the record reached. A
  // dataset with calculated fields keeps reading record by record.
  int BlockReadSize() const { return blockCapacity_ > 0 ? blockSize_ : 0; }
  void SetBlockReadSize(int size);
  void BlockReadNext() override;

  // The current index's key fields: their count, and field `index` of them ("Field index out of
  // range." outside 0..count-1, "Cannot access index field %s." when no field shows it).
  int IndexFieldCount() const;
  dataset::Field& IndexFields(int index) const;

  // The expression that finds the records whose `fields` hold `values`: per field an "="
  // comparison of the field's column with a constant of the same engine type, named by the
  // value's text and given its value by SetLocateValue; two or more joined left-deep by AND.
  // "Field '%s' not found" for a field the cursor does not have.
  TExpTreePtr BuildLocateFilter(const std::vector<dataset::Field*>& fields,
                                const std::vector<dataset::Variant>& values, bool partialKey,
                                bool caseInsensitive) const;
  // Gives `constant`, typed as its column, `value` converted by that type: NULL for a null value
  // and for an empty text. With `partialKey` a text's `comparison` compares its leading
  // characters only: all of them, or all before a final "*", which is then dropped. A value the
  // type cannot hold raises "Invalid value for field '%s'" or the conversion's error; the value
  // is never read as anything but a value.
  void SetLocateValue(TExpToken& comparison, TExpToken& constant, bool partialKey,
                      const dataset::Variant& value) const;

 protected:
  // The cursor to open; nullptr fails the open with "Error creating table handle.".
  virtual std::unique_ptr<TDataCursor> CreateCursor(bool infoQuery) = 0;
  virtual void DestroyCursor();
  virtual void PrepareCursor() {}
  // A cursor of the same table whose current index has exactly `keyFields` (";"-separated) as its
  // key, with the given case rule, for searches the dataset's own index cannot serve; nullptr
  // when there is none. It stays the dataset's (reused while the request is the same) until
  // DestroyLookupCursor or the dataset closes.
  virtual TDataCursor* GetLookupCursor(const std::string& /*keyFields*/, bool /*caseInsensitive*/) {
    return nullptr;
  }
  virtual void DestroyLookupCursor() {}
  // The session whose lock the engine calls run under.
  virtual TVELDORSession& LockSession() const = 0;
  // The current index changed: new bookmark size, positions from the start.
  void IndexChanged();
  // A record image holding `values` in the current index's leading key fields; "Field index out
  // of range." for more values than key fields.
  std::vector<uint8_t> keyRecord(const std::vector<dataset::Variant>& values) const;
  std::vector<uint8_t> keyRecord(TDataCursor& cursor, const std::vector<dataset::Variant>& values) const;

  void OpenCursor(bool infoQuery) override;
  void CloseCursor() override;
  uint8_t* AllocRecordBuffer() override;
  void FreeRecordBuffer(uint8_t*& buffer) override;
  dataset::GetResult GetRecord(uint8_t* buffer, dataset::GetMode mode, bool doCheck) override;
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return cursor_ && cursor_->Active(); }
  void InternalInitFieldDefs() override;
  void InternalFirst() override;
  void InternalLast() override;
  void InternalInitRecord(uint8_t* buffer) override;
  void InitRecord(uint8_t* buffer) override;
  void InternalAddRecord(const uint8_t* buffer, bool append) override;
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
  bool GetCanModify() override;
  bool IsSequenced() override;
  bool FindRecord(bool restart, bool goForward) override;
  uint8_t* GetStateBuffer() override;
  void DoOnNewRecord() override;
  void PostKeyBuffer(bool keep) override;

  std::unique_ptr<TDataCursor> cursor_;

 private:
  // A key being entered or kept: a record image whose key fields hold it, which leading key
  // fields were assigned, and how many take part in a search (0: up to the last assigned).
  struct KeyBuffer {
    std::vector<uint8_t> record;
    uint32_t assigned = 0;
    int fieldCount = 0;
  };
  enum KeyIndex { kiLookup, kiRangeStart, kiRangeEnd, kiCount };
  void beginKeyEntry(KeyIndex which, bool clear);
  // The number of leading key fields a search with `key` covers.
  int keyFields(const KeyBuffer& key) const;
  bool gotoKey(bool nearest);
  // The position of `field` among the current index's key fields; -1 when it is none of them.
  int keyPosition(const dataset::Field& field) const;
  friend class TVELDORBlobStream;
  void fillFieldDefs(TDataCursor& cursor);
  // Whether the current index leads with exactly the key fields, under the same case rule; and
  // the search of that index.
  bool indexServes(const std::vector<dataset::Field*>& fields, const std::vector<dataset::Variant>& values,
                   bool caseInsensitive) const;
  bool findKey(TDataCursor& cursor, const std::vector<dataset::Field*>& fields,
               const std::vector<dataset::Variant>& values, bool partial);
  void installFilters();
  void dropFilters();
  void filterChanged();
  // The bytes of blob field `fieldNo` (described by `d`) in `buffer`: one not open in the record
  // is read without opening it.
  std::string readBlob(const TFieldDescriptor& d, uint16_t fieldNo, uint8_t* buffer);
  // Opens blob field `fieldNo` of `buffer` for the client (tag 0), or raises the engine's error.
  void openRecordBlob(uint16_t fieldNo, uint8_t* buffer, uint8_t mode);
  // Runs `step` (an engine step on a blob of `buffer`), or raises the engine's error. When the
  // browsed record changed after the dataset read it (VELDOR_KEYORRECDELETED), the record is read
  // again once, whole, and the step runs on that version, so that the row never shows a memo
  // beside values of another version; the links hear of the changed record. A record gone by then
  // keeps the buffer as it was, and the error is raised.
  void recordBlobStep(uint8_t* buffer, const std::function<uint16_t()>& step);
  static bool filterCallback(void* data, TDataCursor& cursor, const uint8_t* record, uint32_t recordNo);
  // Where GetFieldData finds the texts and plain integers of a record, by field number, taken
  // from the cursor's descriptors at open (the record layout stays while the dataset is open):
  // every row reads them without a descriptor lookup. Other fields go by their descriptor.
  enum class FieldRead : uint8_t { ByDescriptor, Text, Int32 };
  struct FieldReader {
    FieldRead how = FieldRead::ByDescriptor;
    uint8_t storedSize = 0;
    uint16_t offset = 0;
  };
  void makeFieldReaders();
  // The bytes of `field` (its has-value byte first) in the record of the current state when the
  // dataset reads it as `how`; `known` false when it does not, else nullptr for no value.
  const uint8_t* directField(const dataset::Field& field, FieldRead how, bool& known);
  std::vector<FieldReader> fieldReaders_;

  uint32_t recordSize_ = 0;
  size_t infoOffset_ = 0, bookmarkOffset_ = 0, bufferSize_ = 0;
  std::vector<uint8_t> oldValues_;
  bool haveOldValues_ = false;
  const uint8_t* filterRecord_ = nullptr;
  uint8_t* lookupRecord_ = nullptr;
  TFilter* textFilter_ = nullptr;
  TFilter* callbackFilter_ = nullptr;
  KeyBuffer keys_[kiCount];
  KeyBuffer savedKey_;
  KeyBuffer* keyBuffer_ = nullptr;  // the one being entered, in key state
  std::vector<uint8_t> block_;      // engine record images, recordSize_ apart
  int blockSize_ = 0;
  uint32_t blockCapacity_ = 0, blockCount_ = 0, blockPos_ = 0;
  int64_t blockTotal_ = 0;
  bool blockPastEnd_ = false;     // the last read ran into the end, which the cursor now stands at
  bool rereadingRecord_ = false;  // openRecordBlob is reading the record again
};

class TVELDORDBDataSet : public TVELDORDataSet {
 public:
  ~TVELDORDBDataSet() override;
  const std::string& DatabaseName() const { return databaseName_; }
  // Both close the dataset first and fail while a database is in use.
  virtual void SetDatabaseName(const std::string& name);
  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(const std::string& name);
  // The database in use; nullptr when none.
  TVELDORDatabase* Database() const { return database_; }
  // Closes the dataset (its database is closing).
  virtual void Disconnect() { Close(); }
  // Database-use flags 0-15: the first set opens the database, the last cleared closes its use.
  void SetDBFlag(int flag, bool value);

 protected:
  TVELDORSession& LockSession() const override;
  void OpenCursor(bool infoQuery) override;
  void CloseCursor() override;

 private:
  std::string databaseName_;
  std::string sessionName_;
  uint16_t dbFlags_ = 0;
  TVELDORDatabase* database_ = nullptr;
};

// Index options of an index definition (bits).
inline constexpr uint8_t ixPrimary = 1;
inline constexpr uint8_t ixUnique = 2;
inline constexpr uint8_t ixDescending = 4;
inline constexpr uint8_t ixCaseInsensitive = 8;

struct TVELDORIndexDef {
  std::string Name;
  std::string Fields;  // field names separated by ";"
  uint8_t Options = 0;
};

class TVELDORTable;

// What a restructure could not carry over.
enum class TDataLossCause : uint8_t {
  dlWriteError,    // a copied record could not be written
  dlKeyViolation,  // a copied record breaks a unique index
  dlValueRule,     // a copied record breaks a minimum, maximum or required rule
  dlFieldDropped,  // an old field with a value has no field in the new structure
  dlNotConverted,  // an old value does not convert to its new field (or would be cut)
};

// Field or index definitions gathered for a restructure of `Owner`. Names compare without
// regard to ASCII case.
template <typename Def>
class TRestructureDefs {
 public:
  explicit TRestructureDefs(TVELDORTable& owner) : owner_(owner) {}
  TVELDORTable& Owner() const { return owner_; }
  // A deque: a definition stays where it is while others are added.
  std::deque<Def>& Items() { return items_; }
  int Count() const { return int(items_.size()); }
  void Clear() { items_.clear(); }
  // The position of the definition of that name; -1 when there is none.
  int IndexOf(std::string_view name) const;
  // The definition of that name; "Field '%s' not found" when there is none.
  Def& Find(std::string_view name);

 private:
  TVELDORTable& owner_;
  std::deque<Def> items_;
};
using TRestructureFieldDefs = TRestructureDefs<dataset::FieldDef>;
using TRestructureIndexDefs = TRestructureDefs<TVELDORIndexDef>;

class TVELDORTable : public TVELDORDBDataSet {
 public:
  using TSteppedProgressEvent =
      std::function<void(TVELDORTable& sender, const std::string& step, uint16_t percentDone)>;
  using TLogEvent = std::function<void(TVELDORTable& sender, const std::string& logMessage)>;
  using TProgressEvent = std::function<void(TVELDORTable& sender, uint16_t percentDone)>;
  using TDataLostEvent =
      std::function<void(TVELDORTable& sender, TDataLossCause cause, const std::string& contextInfo,
                         bool& continueRestructure, bool& stopAsking)>;

  TVELDORTable();
  ~TVELDORTable() override;

  // Maintenance events. OnIndexProgress hears an index being built on the table's open cursor
  // (its Handle()). The others belong to maintenance operations (verify, repair, upgrade, copy,
  // optimize, restructure, import, export) that need the table closed and that this component
  // does not offer; they are kept for handlers written against them and never called.
  TSteppedProgressEvent OnVerifyProgress, OnRepairProgress, OnUpgradeProgress;
  TLogEvent OnVerifyLog, OnRepairLog, OnUpgradeLog;
  TProgressEvent OnIndexProgress, OnCopyProgress, OnOptimizeProgress, OnRestructureProgress, OnImportProgress,
      OnExportProgress;
  TDataLostEvent OnDataLost;

  // Definitions gathered for a restructure; emptied whenever the table's name or database
  // changes. Nothing in this component fills them.
  TRestructureFieldDefs& RestructureFieldDefs() { return restructureFields_; }
  TRestructureIndexDefs& RestructureIndexDefs() { return restructureIndexes_; }

  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value);
  const std::string& TableName() const { return tableName_; }
  // A name with a folder part sets DatabaseName to the folder and keeps the file name.
  void SetTableName(const std::string& name);
  void SetDatabaseName(const std::string& name) override;
  // The last of the two set wins; the other reads empty.
  std::string IndexName() const { return byFields_ ? std::string() : index_; }
  void SetIndexName(const std::string& name);
  std::string IndexFieldNames() const { return byFields_ ? index_ : std::string(); }
  void SetIndexFieldNames(const std::string& names);
  bool StoreDefs = false;

  // Master and detail: the master's fields named by MasterFields (";"-separated) bound the
  // current index's leading key fields, in order; a new record takes their values.
  dataset::DataSource* MasterSource() const { return masterLink_.GetDataSource(); }
  void SetMasterSource(dataset::DataSource* source);
  const std::string& MasterFields() const { return masterLink_.FieldNames; }
  void SetMasterFields(const std::string& names);
  dataset::DataSource* GetDataSource() const override { return MasterSource(); }

  // The table's indexes (read from the table unless they were given for CreateTable).
  std::vector<TVELDORIndexDef>& IndexDefs();
  void UpdateIndexDefs();
  bool Exists();
  // Creates the table from GetFieldDefs() and IndexDefs(); the table must be closed.
  void CreateTable();
  void DeleteTable();

 protected:
  std::unique_ptr<TDataCursor> CreateCursor(bool infoQuery) override;
  void PrepareCursor() override;
  void InternalInitFieldDefs() override;
  // None while a range is set: a search must not find what the range hides.
  TDataCursor* GetLookupCursor(const std::string& keyFields, bool caseInsensitive) override;
  void DestroyLookupCursor() override;

 private:
  std::unique_ptr<TDataCursor> makeCursor();
  void switchToIndex(TDataCursor& cursor);
  // Sets the range from the master's fields (true), or resets it when no master gives one.
  bool applyMasterRange();
  void masterChanged();
  void masterDisabled();
  void DoOnNewRecord() override;
  void checkClosed() const;

  bool exclusive_ = false;
  bool readOnly_ = false;
  bool inMemory_ = false;
  std::string tableName_;
  std::string index_;
  bool byFields_ = false;
  std::vector<TVELDORIndexDef> indexDefs_;
  bool indexDefsRead_ = false;
  dataset::MasterDataLink masterLink_{*this};
  std::unique_ptr<TDataCursor> lookupCursor_;
  std::string lookupFields_;
  bool lookupCaseInsensitive_ = false;
  TRestructureFieldDefs restructureFields_{*this};
  TRestructureIndexDefs restructureIndexes_{*this};
  // Connects the cursor's maintenance hooks to the events above.
  void hookEvents(TDataCursor& cursor);
};

template <typename Def>
int TRestructureDefs<Def>::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (dataset::SameName(items_[i].Name, name)) return int(i);
  return -1;
}

template <typename Def>
Def& TRestructureDefs<Def>::Find(std::string_view name) {
  const int at = IndexOf(name);
  if (at < 0) dataset::DatabaseErrorFmt(SFieldNotFound, std::string(name));
  return items_[size_t(at)];
}

// ---- Query parameters ----
//
// What the query component hands the statement driver for a run: the SQL text with each
// parameter reference replaced by "?", one 768-byte descriptor per parameter and one value
// buffer. Lengths, offsets and addresses are pointer-sized, so that values over 64 KB, buffers
// over 64 KB and 64-bit addresses all travel whole.

inline constexpr const char* SNoParameterValue = "No value for parameter '%s'";
// The longest text that travels in the buffer itself; longer ones go as a blob reference.
inline constexpr size_t kMaxInlineParamText = 250;

// The text with each ":name" outside quoted text replaced by "?" ("::" stays a colon); the names
// in order of appearance go to `names`.
std::string ParseSQLParams(std::string_view sql, std::vector<std::string>& names);

struct TQueryParamBlock {
  // Number (from 1), name (cut to 30), engine type and subtype, stored size, scale (4 for BCD),
  // and at +90 the offset of the flag byte when it fits 16 bits (see `offsets`).
  std::vector<TFieldDescriptor> descriptors;
  // Per parameter: a flag byte (1: has a value), then its stored-size bytes. A blob or a text
  // over kMaxInlineParamText characters is stored as a size_t length and the address of its
  // bytes, which stay in `texts` while the block lives.
  std::vector<uint8_t> buffer;
  std::vector<size_t> offsets;
  std::vector<std::string> texts;
};

// Packs `params` in order; a parameter with neither type nor value fails with
// "No value for parameter '%s'".
void PackQueryParams(const dataset::Params& params, TQueryParamBlock& block);

inline constexpr const char* SDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* SNoSQLStatement = "No SQL statement available";

// SQL text of the engine run through the statement driver: parameters by name, a run without a
// result (ExecSQL), or the result of a SELECT opened as the dataset. The result cursor belongs
// to the driver: a live result is the source table's cursor, so edits reach the table; any
// other is a copy. The driver is prepared once per text and keeps the database in use until
// the text changes, the query is unprepared, or the database closes.
class TVELDORQuery : public TVELDORDBDataSet {
 public:
  using TQueryProgressEvent =
      std::function<void(TVELDORQuery& sender, uint16_t percentDone, bool& abortQuery)>;

  TVELDORQuery();
  ~TVELDORQuery() override;

  // Lines joined by line ends; a different text closes and unprepares the query and, with
  // ParamCheck, makes the parameters anew from its ":name" references (keeping values by name).
  const std::vector<std::string>& SQL() const { return sql_; }
  void SetSQL(std::vector<std::string> lines);
  void SetSQL(const std::string& text);
  // The text the driver receives.
  const std::string& Text() const { return text_; }

  bool ParamCheck = true;
  bool RequestLive() const { return requestLive_; }
  void SetRequestLive(bool value);
  int32_t MaxRowCount() const { return maxRowCount_; }
  // Passed on to a prepared driver at once.
  void SetMaxRowCount(int32_t value);
  bool ReadOnly() const { return readOnly_; }
  // Requires the query closed.
  void SetReadOnly(bool value);

  dataset::Params& Params() { return params_; }
  // Copies values by name.
  void SetParams(const dataset::Params& params);
  // Fails when there is none.
  dataset::Param& ParamByName(std::string_view name) { return params_.ParamByName(name); }

  // The master whose current record gives unbound parameters their values; the query runs again
  // when the master opens or moves. "Circular data links are not allowed." for a source linked
  // back to this query.
  dataset::DataSource* GetDataSource() const override { return link_.GetDataSource(); }
  void SetDataSource(dataset::DataSource* source);

  bool Prepared() const { return driver_ != nullptr; }
  void SetPrepared(bool value);
  void Prepare() { SetPrepared(true); }
  void UnPrepare() { SetPrepared(false); }
  // Runs the text without a result; fails while the query is open.
  void ExecSQL();
  // Of the last run, as the driver reports them.
  int32_t RowsAffected() const { return rowsAffected_; }
  double ElapsedSeconds() const { return elapsedSeconds_; }

  // Called with the driver's progress; setting abortQuery stops the statement.
  TQueryProgressEvent OnQueryProgress;
  // Progress of saving a result, in percent. Kept for handlers written against it; no operation
  // of this component saves a result, so nothing calls it yet.
  std::function<void(TVELDORQuery& sender, uint16_t percentDone)> OnSaveProgress;

  // Closes and unprepares the query.
  void Disconnect() override;

 protected:
  std::unique_ptr<TDataCursor> CreateCursor(bool infoQuery) override;
  void DestroyCursor() override;
  bool GetCanModify() override;

 private:
  class Link : public dataset::DataLink {
   public:
    explicit Link(TVELDORQuery& query) : query_(query) {}
    dataset::DataSet* DetailDataSet() const override { return &query_; }

   protected:
    void ActiveChanged() override;
    void RecordChanged(dataset::Field* field) override;
    void CheckBrowseMode() override;

   private:
    TVELDORQuery& query_;
  };
  void textChanged();
  // The driver's result cursor, or nullptr without a result.
  TDataCursor* run(bool withResult);
  void masterValues();
  void refresh();

  std::vector<std::string> sql_;
  std::string text_;
  dataset::Params params_;
  bool requestLive_ = false;
  int32_t maxRowCount_ = -1;
  bool readOnly_ = false;
  std::unique_ptr<sql::TQueryStatement> driver_;
  int32_t rowsAffected_ = 0;
  double elapsedSeconds_ = 0;
  Link link_{*this};
};

// One blob field of a dataset's current record as a stream. Read and write positions run up to
// 2 GiB - 1, the engine's largest blob; every engine failure raises.
class TVELDORBlobStream : public dataset::Stream {
 public:
  TVELDORBlobStream(TVELDORDataSet& dataSet, dataset::Field& field, dataset::BlobStreamMode mode);
  // Releases the engine blob; a modified stream reports the field as changed.
  ~TVELDORBlobStream() override;
  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, dataset::SeekOrigin origin) override;
  // Cuts the blob at the position.
  void Truncate();

 private:
  TVELDORDataSet& dataSet_;
  dataset::Field& field_;
  uint8_t* record_ = nullptr;
  uint16_t fieldNo_ = 0;
  bool opened_ = false;
  bool modified_ = false;
  int64_t position_ = 0;
};

}  // namespace engine::components
