// The data cursor: the object through which everything above the engine reads, writes and
// maintains one table. A cursor is made on a database directory, given a table name and its open
// options while closed, opened, used and closed again. Many cursors may stand on one shared table
// object (veldortable.h); each keeps its own position, current index, field list and buffers.
//
// Every operation has a local form, over the table's files, and a remote form, one request to an
// engine server. The session's remote flag chooses per call. The remote form reaches the server
// only through TCursorRequestPath (below): the session's connection unless a test installs another.
//
// Locks: a cursor holds no lock between operations. Around each one it takes the table's lock
// pair that the operation needs (BeginRead, BeginQueryRead, BeginWrite and their ends) and on
// taking it checks the three files' change counters: when another writer changed the table, the
// cursor rebuilds its view and finds its record again by its bookmark. Record locks for editing
// go through LockRecord and UnlockRecord; a record this process already holds is refused at once
// with VELDOR_RECLOCKFAILED.
//
// Errors raised by a cursor carry the directory name (GetDirectoryName) and the table name.
//
// Not thread-safe: a cursor is used by one thread at a time, with the session it belongs to.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/veldorhelpers.h"
#include "engine/base/veldorlocale.h"
#include "engine/storage/veldorbitmap.h"
#include "engine/storage/veldorblob.h"
#include "engine/storage/veldordata.h"
#include "engine/storage/veldorfielddesc.h"
#include "engine/storage/veldorindex.h"
#include "engine/storage/veldortablelink.h"
#include "engine/tables/veldorfilter.h"
#include "engine/tables/veldorprotocol.h"
#include "engine/tables/veldorsession.h"
#include "platform/scopeguard.h"

namespace engine {

class TDataCursor;
class TDataDirectory;
class TExpToken;
class TDataSession;
class TDataTable;
struct TKeyEntry;
struct TKeyNeighbours;

inline constexpr uint8_t kNoCurrentIndex = 255;
inline constexpr size_t kMaxCursorKeySize = 522;
// The keys that an index build holds at most for each index before it puts them into the tree.
inline constexpr size_t kKeyBatchBytes = size_t(32) << 20;
inline constexpr size_t kMaxPasswordLength = 15;
// A column of a filter expression that names a computed field of the cursor's list carries the
// field's position in the list with this bit set; any other column carries its table field's
// number, whatever the field's place in the list.
inline constexpr uint16_t kComputedFieldMark = 0x8000;

// The way of a remote cursor to its server (the request plumbing implements it).
class TCursorRequestPath {
 public:
  virtual ~TCursorRequestPath() = default;
  // Sends the request on behalf of `cursor` (connecting first), waits for the reply and raises a
  // non-zero reply code as that engine error. Returns the reply's parameters.
  virtual TCursorReply Exchange(TDataCursor& cursor, uint16_t code, const TCursorRequest& request) = 0;
  // Takes the cursor state that a reply carries (position, counts, current key) into `cursor`.
  virtual void ReadCursorState(TDataCursor& cursor, const TCursorReply& reply) = 0;
};
// Installs the process's request path (nullptr goes back to SessionCursorRequestPath). The path
// must outlive its use.
void SetCursorRequestPath(TCursorRequestPath* path);
// The path through the cursor's session and its connection to the engine server.
TCursorRequestPath& SessionCursorRequestPath();

// Open options, one flag each.
struct CursorOpenOptions {
  bool Exclusive = false;
  bool CloneFlag = false;
  bool ReadOnly = false;
  bool InMemory = false;
  bool QueryResult = false;
  bool Temporary = false;
  bool QuerySource = false;
};

// A field of the cursor's field list: the table's descriptor with what the cursor adds in memory
// (the computed flag, whose tree is held beside it, the qualified name and the field's number in
// its table).
struct TCursorField {
  TCursorField() = default;
  // Copies the table's descriptor once, straight into its place in the cursor's list.
  explicit TCursorField(const TFieldDescriptor& d) : desc(d) {}
  TFieldDescriptor desc;
  // The checked expression of a computed field (a clone of the cursor holds a copy).
  std::shared_ptr<const TExpToken> tree;
  std::string QualifiedName() const { return desc.QualifiedName(); }
  void SetQualifiedName(std::string_view name) { desc.SetQualifiedName(name); }
  uint16_t TableFieldNo() const { return desc.TableFieldNo(); }
  void SetTableFieldNo(uint16_t n) { desc.SetTableFieldNo(n); }
};

// The field list a cursor starts with when it opens a table: the table's descriptors with the
// cursor's qualified names and table field numbers. Built once and shared by every cursor that
// opens the table under the same name and options while the descriptors stay as they are
// (TDataFile::DescriptorsVersion); the table keeps the last one built (TDataTable).
struct TSharedCursorFields {
  std::vector<TCursorField> fields;
  std::string tableName;
  bool qualified = false;
  bool numbered = false;
  uint64_t descriptorsVersion = 0;
  bool hasChecks = false;
  bool hasDefaults = false;
  bool hasAutoInc = false;
};

// A cursor's field list: a list shared with the table's other cursors (TSharedCursorFields)
// until the cursor changes it, which first gives the cursor a copy of its own. A list of the
// cursor's own is changed in place, so that its fields keep their addresses.
class TCursorFieldList {
 public:
  using List = std::vector<TCursorField>;

  size_t size() const { return list_ ? list_->size() : 0; }
  bool empty() const { return size() == 0; }
  const TCursorField& operator[](size_t i) const { return (*list_)[i]; }
  // Throws std::out_of_range past the end, as a vector's at().
  const TCursorField& at(size_t i) const {
    if (i >= size()) throw std::out_of_range("cursor field position");
    return (*list_)[i];
  }
  const TCursorField* begin() const { return list_ ? list_->data() : nullptr; }
  const TCursorField* end() const { return list_ ? list_->data() + list_->size() : nullptr; }

  void clear() {
    list_.reset();
    own_ = nullptr;
  }
  // Uses the shared list from now on, leaving any list of the cursor's own.
  void Share(std::shared_ptr<const TSharedCursorFields> shared) {
    list_ = std::shared_ptr<const List>(shared, &shared->fields);
    own_ = nullptr;
  }
  // The cursor's own list, a copy of the shared one when it has none yet.
  List& Own() {
    if (!own_) {
      auto copy = list_ ? std::make_shared<List>(*list_) : std::make_shared<List>();
      own_ = copy.get();
      list_ = std::move(copy);
    }
    return *own_;
  }

 private:
  std::shared_ptr<const List> list_;
  // list_'s list when it is the cursor's own.
  List* own_ = nullptr;
};

// What CreateTable builds a table from. Field and index definitions are checked and completed
// in place (names trimmed, sizes, offsets, key sizes).
struct TCreateTableArgs {
  uint16_t LanguageId = 0;
  uint16_t SortId = 0;
  uint16_t UserMajorVersion = 0;
  uint16_t UserMinorVersion = 0;
  bool Encrypted = false;
  std::string Password;
  std::string Description;
  uint16_t BlobBlockSize = 0;
  std::vector<TFieldDescriptor> Fields;
  // [0] the primary index, then the secondary indexes.
  std::vector<TIndexDescriptor> Indexes;
  // The text index (slot 32); its field list empty when the table has none.
  TIndexDescriptor TextIndex;
  bool NoPrimaryIndex = false;
  // nullptr: the default stop words. Empty sets: the default sets.
  const std::vector<std::string>* StopWords = nullptr;
  TCharSet SpaceChars;
  TCharSet IncludeChars;
  bool Overwrite = false;
  // A query's scratch result (TTableDefinition::scratch): exclusive, under a fresh name, made
  // temporary at its first open, or already at its creation: the cursor then stays open from
  // the creation on, and the files go at its close. Never sent to a server.
  bool Scratch = false;
  // With Scratch, for a temporary disk table named by TDataDirectory::MakeMemoryFirstTableName:
  // its files live in memory until they grow. A cursor without a table name takes an emptied
  // result of the same definition from the directory's pool (TDataDirectory::TakeIdleResult)
  // under that table's name, or names the new table so.
  bool MemoryFirst = false;
  // With MemoryFirst, for a creator that writes exactly one row and nothing else into the new
  // table: it may take a pooled result that holds a row already (TDataTable::HoldsIdleRow), which
  // it then writes with RewriteIdleRow, or empties.
  bool OneRow = false;
};

// The table definition as the create and restructure requests carry it, from the language id to
// the text-index parameters (the last two only for a server of `serverVersion` 30400 or later).
void WriteTableDefinition(TCursorRequest& request, const TCreateTableArgs& args, int64_t serverVersion);

// What RestructureTable gives the table: the new structure as CreateTable takes it (fields
// matched to the old ones by field number), and what is kept of the old table.
struct TRestructureArgs : TCreateTableArgs {
  // -1 keeps the table's value; below -1 is refused.
  int64_t LastAutoIncValue = -1;
  // True deletes the old files; false keeps them as ".DBK", ".IBK" and ".BBK" backups.
  bool NoBackup = false;
  // Sent to a server as they are; a local restructure does not use them.
  std::array<uint8_t, 2> OptionBytes{};
};

// Kinds of case a restructure reports.
enum TRestructureCase : int {
  rcWriteError = 0,    // any other error while writing a copied record
  rcKeyViolation = 1,  // a copied record breaks a unique index
  rcValueRule = 2,     // a copied record breaks a minimum, maximum or required rule
  rcFieldDropped = 3,  // an old field with a value has no field in the new structure
  rcNotConverted = 4,  // an old value does not convert to the new field (or would be cut)
};
// Decides a case: `goOn` (true on entry) false stops the restructure, which then leaves the table
// as it was; `applyToAll` set makes the decision hold for every later case of the run.
using TRestructureFeedback = std::function<void(TDataCursor& cursor, TRestructureCase kind,
                                                const std::string& message, bool& goOn, bool& applyToAll)>;

// Asks the application for a missing table password; true when one was added to the session.
using TPasswordCallback = std::function<bool(TDataCursor& sender)>;

// Buffers a record write builds its keys and its key journal in. A cursor keeps them from one
// write to the next, so that a write allocates nothing once they have grown; a write takes them
// for its duration, and a write nested in it starts with empty ones.
struct TCursorWriteScratch {
  // One key change: its index, and where its removed and inserted keys lie in `journalBytes`
  // (size 0: none).
  struct Change {
    uint8_t slot;
    uint32_t recordNo;
    uint32_t removedAt, removedSize, insertedAt, insertedSize;
  };
  std::vector<uint8_t> slots, image, edited, keys, journalBytes;
  std::vector<uint32_t> keyAt;
  std::vector<Change> changes;
};

class TDataCursor final : public TIndexCursor, public TCacheReader {
 public:
  // Registers with `directory`. A remote session makes the server's cursor unless
  // `serverCursorGiven` (the caller fills ServerCursor in).
  TDataCursor(TDataDirectory& directory, bool serverCursorGiven = false);
  // Closes (releasing the table) and, remotely, frees the server's cursor; errors of the remote
  // close and free are dropped.
  ~TDataCursor() override;
  // A thread keeps the last cursor's memory for its next one: statements make and drop a cursor
  // for each source and result, and a block this large costs the allocator far more than a
  // small one.
  static void* operator new(size_t size);
  static void operator delete(void* block, size_t size) noexcept;
  // Called by the directory when it goes before the cursor: the cursor is closed (errors are
  // dropped: the directory's own end cannot report them) and keeps no directory.
  void DirectoryGone();
  // Called by the directory after its transaction was rolled back or abandoned: the table went
  // back to what was last written, and with it its change counters, so the cursor could not see
  // the change. Its range, counts and place are taken again from the table at once; a view of
  // filters is built again at the cursor's next operation, since a filter may call back to a
  // client that is waiting for the rollback's reply. A remote cursor forgets the records it read
  // ahead.
  void TableWentBack();
  TDataCursor(const TDataCursor&) = delete;
  TDataCursor& operator=(const TDataCursor&) = delete;

  // ---- Identity and options (set while closed) ----
  // VELDOR_NOTINITIALIZED once the directory has gone (see DirectoryGone).
  TDataDirectory& Directory() const;
  TDataSession& Session() const { return session_ ? *session_ : directorySession(); }
  TDataTable* Table() const { return table_; }
  bool IsRemote() const { return session_ && session_->IsRemote(); }
  uint32_t ServerCursor() const { return serverCursor_; }
  const std::string& TableName() const { return tableName_; }
  // Stores the name with a trailing ".DAT" (any case) removed. VELDOR_TABLEOPEN when Active; a
  // name that could leave the database folder ("/", "\", "..", a NUL byte, or longer than 255
  // bytes) is refused with VELDOR_OSEACCES and not stored.
  void SetTableName(std::string_view name);
  // Exclusive, CloneFlag, ReadOnly and InMemory raise VELDOR_TABLEOPEN when Active even for an
  // unchanged value; Temporary and QuerySource only for a change; QueryResult never.
  void SetExclusive(bool v);
  void SetCloneFlag(bool v);
  void SetReadOnly(bool v);
  void SetInMemory(bool v);
  void SetQueryResult(bool v);
  void SetTemporary(bool v);
  void SetQuerySource(bool v);
  const CursorOpenOptions& Options() const { return options_; }
  bool Active() const { return active_; }
  bool ReadOnlyAttribute() const { return readOnlyAttribute_; }
  void SetPasswordCallback(TPasswordCallback callback) { passwordCallback_ = std::move(callback); }
  // Chooses the index the next open puts the cursor in, asked once the table's fields and indexes
  // are read (kNoCurrentIndex: record-number order). For a caller that would switch index at once:
  // the open then builds one view instead of two. Without one, or where the chosen index cannot be
  // selected, a query source opens in record-number order and any other cursor in the primary
  // index; a remote cursor opens where the server places it.
  using TOpenIndexChooser = std::function<uint8_t(TDataCursor&)>;
  void SetOpenIndexChooser(TOpenIndexChooser chooser) { openIndexChooser_ = std::move(chooser); }
  // Set by the restructure on the cursor of the new table (fields keep their old numbers).
  void SetFieldsRemapped(bool v) { fieldsRemapped_ = v; }
  // With true, an open of a local table builds the view but leaves the cursor before its first
  // record with a zeroed record buffer, as SwitchToIndexUnplaced leaves it, instead of reading
  // that record: for a caller that places the cursor itself before it reads a row.
  void SetOpenUnplaced(bool v) { openUnplaced_ = v; }
  // With true, an open of a local table in record-number order builds no view and reads no
  // record: for a caller that reads only the table's count of live records (GetTableRecordCount)
  // under a read pair it holds. The cursor then stands nowhere and GetRecordCount gives 0 until
  // its first step, read or refresh builds the view, as after another writer's change.
  void SetOpenForCount(bool v) { openForCount_ = v; }

  // ---- Life ----
  // Opens the table; nothing when Active. A failure leaves the cursor closed.
  void Open(bool serverCursorOpen = false);
  // Nothing unless Active. `releaseFlag` goes to the directory's CloseTable.
  void Close(bool releaseFlag = true);
  // A new open cursor on the same table with the same options, field list, index and position.
  std::unique_ptr<TDataCursor> Clone();
  // Re-reads the table state and keeps the cursor on its record.
  void Refresh();
  // Refresh, except that a view without filters, of the records in use in record-number order or
  // of an index's keys without a range, is kept when no cursor or process changed the table since
  // it was built (the current index, the table's change counters, last record number and live
  // record count are those it was built at). For statements that refresh their sources before
  // each step of their own.
  void RefreshIfChanged();
  void SuppressAutoInc(bool v);

  // ---- Facts ----
  std::string GetDirectoryName() const;
  int64_t GetServerVersion() const;
  uint32_t GetProgressStepPercent() const;
  bool InRecordNumberOrder() const;
  void CheckExclusive() const;
  void CheckWritable() const;
  void CheckNotOpen() const;
  [[noreturn]] void Raise(uint16_t code, std::string_view field = {}, std::string_view index = {}) const;

  // ---- Field list ----
  uint16_t FieldCount() const { return uint16_t(fields_.size()); }
  uint32_t RecordSize() const { return recordSize_; }
  // The bytes of a record buffer that the table stores: the computed fields' values follow them.
  uint32_t StoredRecordSize() const;
  // Position 1..FieldCount.
  const TCursorField& Field(uint16_t position) const { return fields_.at(position - 1u); }
  bool HasChecks() const { return hasChecks_; }
  bool HasDefaults() const { return hasDefaults_; }
  bool HasComputedFields() const { return hasComputedFields_; }
  bool HasAutoInc() const { return hasAutoInc_; }
  uint16_t LanguageId() const { return languageId_; }
  uint16_t SortId() const { return sortId_; }
  const TCharMap& CharMap() const { return charMap_; }
  // Checks the definitions and installs them as the cursor's field list; computed fields go
  // behind the table's record in the record buffer. Any other field stands for the table field of
  // its number and must keep that field's type, size and offset (VELDOR_INVALIDFLDTYPE naming it
  // otherwise); a list may show one table field more than once, under different names.
  void SetFieldDescs(std::span<const TFieldDescriptor> descriptors);
  void LayOutComputedFields();
  // A remote SQL statement's result, on a cursor made with serverCursorGiven, before Open: the
  // server's cursor handle, the table name and the Exclusive, InMemory, Temporary, QueryResult
  // and QuerySource options, reply parameters `at` on (`at` moves past them). Raises
  // VELDOR_REMOTEINVREQUEST for a short or malformed description.
  void ReadCursorReply(const TCursorReply& reply, size_t& at);
  // The field list of such a result after Open: a u16 count, a descriptor per field, and from
  // server version 30800 a flattened expression after each computed field's descriptor.
  void ReadFieldDescs(const TCursorReply& reply, size_t& at, int64_t serverVersion);
  // Makes the field at `position` a computed one whose value is `tree`, a checked expression
  // whose columns name table fields by number (as BindColumn binds them); the cursor owns the
  // tree from then on.
  void AttachFieldExpression(uint16_t position, TExpToken* tree);
  // The column resolver of the cursor's field expressions (TColumnResolver, data: the cursor):
  // binds a column node by name to a field of the table, by its number.
  static bool BindColumn(void* cursor, TExpToken& node);
  // The record buffer of an open cursor (RecordSize bytes).
  std::vector<uint8_t>& RecordBuffer() {
    loadDeferredRecord();
    return recordBuffer_;
  }

  // ---- Field access (record buffers of RecordSize bytes) ----
  // The cursor list's descriptor of `fieldNo`: by position, or by field number when the list
  // was remapped. VELDOR_OUTOFRANGE for a field the list does not have.
  const TFieldDescriptor& GetFieldDesc(uint16_t fieldNo) const;
  // The table's descriptor at position `fieldNo`; VELDOR_OUTOFRANGE outside.
  const TFieldDescriptor& GetTableFieldDesc(uint16_t fieldNo) const;
  // The table's descriptors by field number or by position; VELDOR_OUTOFRANGE for none.
  const TFieldDescriptor& GetTableFieldDescByNumber(uint16_t number) const;
  const TFieldDescriptor& GetTableFieldDescByPosition(uint16_t position) const;
  // The table's position of the field called `name` (letter case ignored); 0 for none.
  uint16_t GetFieldNumber(std::string_view name) const;
  // Writes `descriptor` over the table's descriptor of field `number` (restructuring).
  void SetTableFieldDesc(uint16_t number, const TFieldDescriptor& descriptor);
  void SetNoPrimaryIndex(bool flag);
  void SetIndexCount(uint8_t count);
  // Empties the table's caches and reads its headers again.
  void DiscardTableCaches();
  void ClearRecordBuffer(uint8_t* buffer) const;
  // `destination` (may be null) receives the stored bytes, zero-filled over the stored size.
  static void ReadFieldValue(const TFieldDescriptor& d, const uint8_t* buffer, bool& isNull,
                             uint8_t* destination);
  // A string loses its trailing blanks, takes the field's case rule and is cut to stored size - 1
  // bytes; an empty one is stored as null. A null `value` sets null (an auto-increment field is
  // left as it is). A computed field changes only with `writeComputed`.
  void WriteFieldValue(const TFieldDescriptor& d, uint8_t* buffer, const uint8_t* value, bool blobNull,
                       bool writeComputed);
  void GetField(uint16_t fieldNo, const uint8_t* buffer, bool& isNull, uint8_t* value) const;
  void GetTableField(uint16_t fieldNo, const uint8_t* buffer, bool& isNull, uint8_t* value) const;
  void PutField(uint16_t fieldNo, uint8_t* buffer, const uint8_t* value, bool blobNull = false,
                bool writeComputed = false);
  void PutTableField(uint16_t fieldNo, uint8_t* buffer, const uint8_t* value, bool blobNull = false);
  // Writes every default text; "CURRENT_DATE", "CURRENT_TIME" and "CURRENT_TIMESTAMP" (any case)
  // give the present moment. A default that does not convert raises VELDOR_INVALIDVCHKSTRUCT
  // with the conversion's message as its text item.
  void ApplyDefaultValues(uint8_t* buffer);
  // VELDOR_REQDERR, VELDOR_MINVALERR or VELDOR_MAXVALERR for the first field that breaks its rule.
  void CheckFieldValues(const uint8_t* buffer) const;
  // False when `value` (stored bytes) lies beyond the bound; a value equal to it passes.
  bool CheckFieldBound(std::string_view bound, bool isMax, const TFieldDescriptor& d,
                       const uint8_t* value) const;
  void LoadCurrentRecord(bool readAhead);
  void ComputeFields(uint8_t* buffer);
  // 0, or VELDOR_BOF, VELDOR_EOF, VELDOR_NOCURRREC (buffer cleared). With `lock` under the
  // pessimistic protocol the record is locked and must still equal `buffer` (the image the
  // caller read), else the lock is released and VELDOR_KEYORRECDELETED raised.
  uint16_t GetCurrentRecord(uint8_t* buffer, bool lock);
  // The current record read into `buffer` and, under the pessimistic protocol, locked: what
  // GetCurrentRecord(buffer, false) and then GetCurrentRecord(buffer, true) give together. A
  // record that is not there (VELDOR_NOCURRREC and the others) is not locked.
  uint16_t GetLockedCurrentRecord(uint8_t* buffer);
  uint16_t CloneCurrentRecord(uint8_t* buffer);

  // ---- Keys and indexes ----
  // 4 in record-number order.
  uint16_t GetKeySize() const;
  uint8_t GetIndexCount() const;
  // The key of `record` in the current index; a non-unique key ends with the unique id of
  // `idSource`.
  void BuildKey(const uint8_t* record, uint8_t* key, const uint8_t* idSource) const;
  // The record-id key: status byte and the unique id as an integer key.
  static void BuildRecordIdKey(const uint8_t* record, uint8_t* key);
  void SwitchToIndex(uint8_t slot);
  // SwitchToIndex for a caller that places the cursor itself right after (FindKey,
  // SetToRecordNo, SetToBegin): where the index changes, the cursor is left before its first
  // record with an empty record buffer instead of on the record it stood on, whose search and
  // read the caller's placing would throw away.
  void SwitchToIndexUnplaced(uint8_t slot);
  // Registers the index and builds its keys. A unique index over records with equal keys is
  // refused with VELDOR_KEYVIOL and removed again; no record is ever deleted for it.
  void AddSecondaryIndex(TIndexDescriptor& descriptor);
  void DeleteIndex(std::string_view name);
  void DeleteIndexPages(uint8_t slot);
  void BuildRecordIdIndex();

  // ---- Record writes ----
  // Every check (writable, field rules, unique keys, the lock, the unique id) runs before the
  // first key or record changes; a failure after that undoes the key changes made.
  void AppendRecord(uint8_t* buffer, bool reposition = true);
  // Appends the records `rows` (each of the cursor's record size) in their order, as
  // AppendRecord(row, false) one after another would: the same record numbers, unique ids and
  // keys, and the same error for the first row that fails, the rows before it appended. A local
  // table without free record slots, blob fields, field rules or text index takes them in runs
  // past the record cache, each index's keys built bottom-up into an empty tree or put into one
  // that holds keys in key order, when this cursor holds it exclusively, or when
  // `rolledBackWhole` (the caller's own transaction, which it rolls back whole on any failure)
  // and the transaction holds the lock of every record the rows will take; any other takes them
  // one append each. The cursor then stands before the first row. A write failure in a run
  // leaves an exclusive table for its writer to empty or drop: for a table nothing else sees (a
  // statement's result). When the rows lie side by side from the start of `images`, one record
  // size apart, the bulk way may take its storage instead of copying them (`images` is then left
  // empty; the rows must not be used after).
  void AppendRecords(std::span<uint8_t* const> rows, std::vector<uint8_t>* images = nullptr,
                     bool rolledBackWhole = false);
  // On a result taken back from the pool with its row (TCreateTableArgs::OneRow,
  // TDataTable::HoldsIdleRow), before anything else wrote to it: makes `row` that row, leaving
  // the table and the cursor as AppendRecords({row}) leaves a fresh result. `row`'s header bytes
  // are set as the append sets them.
  void RewriteIdleRow(uint8_t* row);
  // Storage for record images that AppendRecords may take over: what the data file kept of the
  // largest it held before it was last emptied (TFileHandler::TakeSpareBuffer), so that a table
  // filled and emptied again and again reuses it; empty for a remote table.
  std::vector<uint8_t> TakeSpareRecordBuffer();
  // Deletes every record in use when `numbers` (rising, no repeats) names exactly those, leaving
  // the table as DeleteRecord on each in turn would: the same free-record chain, record-id keys
  // and empty indexes, built at once instead of one key change after another. Only inside a
  // transaction of the table (a failure part way is undone by its rollback), on a local table
  // without blob fields or text index whose records are all locked ahead by the transaction and
  // held by no cursor; false, with nothing changed, when any of that does not hold (the caller
  // then deletes one record after another). The cursor then stands before the first row.
  bool DeleteEveryRecord(std::span<const uint32_t> numbers);
  // The rows a walk of the cursor from its start would stand on, by record number (rising), read
  // from the record-id index as the table stands now, without reading a record: for a local
  // table in record-number order with no filter or range. False, with `numbers` empty, for any
  // other cursor (the caller walks it).
  bool RecordNumbersOfView(std::vector<uint32_t>& numbers);
  // Changes the records `numbers` (rising, no repeats) as ModifyRecord on each in turn would,
  // where no index key can change: runs of neighbours are read together past the record cache,
  // `edit` makes each record in use its new image in place from its old one (a record no longer
  // in use is left out), the image is checked as a write checks it, and each run goes back as one
  // held write. Only inside a transaction of the table on a local table without indexes of its
  // own (the record-id index aside), blob fields or text index, keeping record ids, in record
  // order without a filtered view, whose records are all locked ahead by the transaction and held
  // by no cursor; false, with nothing changed and `edit` never called, when any of that does not
  // hold (the caller then changes one record after another). A failure part way leaves the runs
  // before it written and the rest not: the caller's transaction must be rolled back whole. The
  // cursor then stands on the last record. `changed` counts the records whose bytes changed.
  bool ModifyEveryRecord(std::span<const uint32_t> numbers, const std::function<void(uint8_t* image)>& edit,
                         size_t& changed);
  void ModifyRecord(uint8_t* buffer, bool unlock = true, bool reposition = true);
  void CancelRecord();
  void DeleteRecord(const uint8_t* buffer, bool reposition = true);

  // ---- Current index ----
  uint8_t CurrentIndex() const { return GetCurrentIndex(); }
  const std::string& CurrentIndexName() const { return currentIndexName_; }
  uint16_t CurrentKeySize() const { return currentKeySize_; }
  // Makes slot `slot` current without moving (255: record-number order) and loads its key
  // description. An index in a locale's order that was built under another collation version
  // is not searched: it is marked for rebuild (IndexRebuildNeeded) and selecting it raises
  // VELDOR_INDEXCORRUPT.
  void SelectIndex(uint8_t slot);
  void SetIndexName(std::string_view name);
  bool IndexRebuildNeeded() const { return indexRebuildNeeded_; }
  // Orders two keys of the current index as the index file stores them: -1, 0 or 1.
  int CompareKeys(const uint8_t* a, const uint8_t* b, uint16_t length) const override;
  int ByteOrder() const override;
  // Sorts `order` (numbers of keys of the current index side by side in `keys`, `stride` bytes
  // apart) by the keys' first `length` bytes as CompareKeys orders them; keys that compare equal
  // keep their places relative to each other.
  void SortKeys(const uint8_t* keys, size_t stride, uint16_t length, std::vector<uint32_t>& order) const;

  // ---- Position (what navigation keeps) ----
  uint32_t CurrentRecordNo() const { return currentRecordNo_; }
  bool AtBOF() const { return atBOF_; }
  bool AtEOF() const { return atEOF_; }
  // Stands on record `recordNo` (its entry in the current index), flags cleared; a record that is
  // not in the view leaves the cursor on the nearest record of the view.
  void SetToRecordNo(uint32_t recordNo);

  // ---- Ranges, find and navigation ----
  // Movement stays inside the view: the records of the current order that lie in the range and,
  // while a view bitmap is in use (always in record-number order), have their bit set. The
  // position is the current index entry (its key and record number) and its sequence number,
  // counted over the whole index; every move finds the entry again by its key, so a position
  // survives keys that other cursors added or removed meanwhile.
  //
  // Keys given by callers are copied over the current key size only, and partial keys are
  // completed within it: nothing reads or writes past the 522-byte key buffers.
  //
  // Ranges apply in index order only; in record-number order SetRange and ResetRange do nothing.
  // A field count between 1 and the index's field count - 1, or any key of a non-unique index,
  // is completed after its given fields: the start with 0x00 bytes and the end with 0xFF (the
  // other way round for a descending index). A nil start or end is unbounded.
  void SetRange(bool keysBuilt, const uint8_t* start, int32_t startFields, const uint8_t* end,
                int32_t endFields);
  void ResetRange();
  void ClearRange();
  bool RangeSet() const { return rangeSet_; }
  // Sequence numbers of the first key not below the range start and the last not above its
  // end; 0 and 0 for an empty range.
  void ComputeRangePositions();
  // Positions on the entry with `key` or the first above it; true when the key was found. See
  // the implementation for the keep-ends rule.
  bool SeekKey(const uint8_t* key, bool nearest, bool keepEnds);
  // Exact, partial or nearest search in the current index. False without a source or in
  // record-number order (nothing changes then). `result` (may be null) receives the record.
  bool FindKey(bool keysBuilt, const uint8_t* source, int32_t fieldCount, bool nearest, uint8_t partialLength,
               uint8_t* result);
  void MoveFirst();
  void MoveLast();
  // n records forward (negative: back). Running out of the view sets AtEOF (AtBOF).
  void Skip(int32_t n);
  void SetToBegin();
  void SetToEnd();
  // The n-th record of the view (1-based); n <= 0 gives the first with AtBOF, n past the count
  // the last with AtEOF.
  void SetToRecNo(int32_t n);
  // 0, or VELDOR_EOF (VELDOR_BOF) with the buffer (may be null) cleared.
  uint16_t GetNextRecord(uint8_t* buffer);
  // In index order, whether the record GetNextRecord would read next has the current record's
  // key in the index's first `fieldCount` fields (as bytes): 1 yes, 0 no (also when the view ends
  // here), -1 not known (record-number order, a bitmap view, no current entry, a place to resume
  // on): GetNextRecord then tells. Moves nothing and reads no record.
  int NextKeySharesFields(int32_t fieldCount);
  uint16_t GetPriorRecord(uint8_t* buffer);
  // A test of a record's bytes where they lie: the bytes of its fields are the record's, the
  // header's need not be. True keeps the record.
  using TRecordTest = bool (*)(const void* data, const uint8_t* record);
  // Passes over the records that GetNextRecord would step to one after another and `test`
  // rejects, at most `most` of them, as that many GetNextRecord calls would; the next
  // GetNextRecord reads the record after the last one passed. Returns how many were passed. Only
  // where a step is taken from the records the table holds in memory (forward in record-number
  // order, the table seen unchanged, every record to pass held in memory): it stops, without a
  // read, where a step would not be. The test must neither use this cursor nor change this
  // table. An exception from the test leaves the cursor where it stood.
  uint32_t SkipHeldRecords(TRecordTest test, const void* data, uint32_t most);
  // Up to `count` next records, RecordSize apart; at the end `count` becomes the number read
  // and the result is VELDOR_EOF.
  uint16_t ReadRecordBlock(uint32_t& count, uint8_t* buffer);
  // GetKeySize bytes: the record number (record-number order) or the current key.
  void GetBookmark(uint8_t* bookmark) const;
  bool SetToBookmark(const uint8_t* bookmark, bool nearest, bool readBegun = false);
  int CompareBookmarks(const uint8_t* a, const uint8_t* b) const;
  int32_t GetRecordCount() const;
  int32_t GetTableRecordCount() const;
  // The live records as a view in record-number order counts them, built or not: the stored
  // count where it covers every record slot (as the view takes it then) or where the live keys
  // of the deleted-records index, counted by their positions, bear it out; else, a damaged
  // count, the records the view's walk of those keys finds. Requires: the read pair held, as
  // for a cursor opened for its count (SetOpenForCount).
  int32_t CountRecordsInUse();
  // 1-based within the view's range; 0 when there is no current record.
  int32_t GetSequenceNumber() const;
  uint32_t GetRecordNumber() const;
  void SetEmptyPosition();
  // Range positions and, while a bitmap is in use, the view bitmap, built again.
  void RebuildView();
  // Back on the cursor's record (or the nearest one) after writes and index or range changes.
  void Resync();
  // After this cursor wrote (appended or modified) or deleted `recordNo`.
  // `holdsRecord`: the record buffer already holds the record as stored (its writer copied it
  // there), so that standing on it needs no read.
  void AddToView(uint32_t recordNo, bool holdsRecord = false);
  void RemoveFromView();
  bool ViewUsesBitmap() const;
  uint32_t VisibleCount() const { return visibleCount_; }
  // Record-number order's view: the records in use (the deleted-records index's live keys).
  void BuildUsedRecordsBitmap(TRecordsBitmap& bitmap);
  int32_t GetBlobBlockCount(int32_t size) const;

  // ---- Locks and change detection ----
  // The cursor takes locks unless Exclusive or ReadOnlyAttribute is set; it sees other writers
  // unless it is exclusive and not a clone, or ReadOnlyAttribute is set.
  bool NeedsLocks() const;
  bool SeesOtherWriters() const;
  void UpdateChangeCounters();
  // Compares the table's change counters with those last seen and takes the new ones; true
  // when any differed. False for a cursor that does not see other writers.
  bool TableChanged();
  // The read begin of one operation (see the header comment); end it with EndRead.
  void SyncWithTable();
  // Each returns whether the table had changed (the cursor was then resynchronised).
  bool BeginRead() override;
  bool CachesCurrent() const override { return cachedRead_; }
  void EndRead();
  // Takes the read pair for several operations that must see one state of the table; true when
  // this call took it, to be ended then with EndRead. False for a remote cursor, one that takes
  // no locks, or one that holds the pair already.
  bool HoldRead();
  bool BeginQueryRead();
  // BeginQueryRead for a cursor opened for its count (TDataTable::BeginCountRead).
  bool BeginCountRead();
  void EndQueryRead();
  bool BeginWrite();
  void EndWrite();
  // 0 means the current record.
  void LockRecord(uint32_t recordNo = 0);
  // 0 means the locked record. `noSend`: a remote cursor only clears its own state.
  void UnlockRecord(bool noSend = false, uint32_t recordNo = 0);
  uint32_t LockedRecordNo() const { return lockedRecordNo_; }
  void FlushBuffers(bool force, bool trimCaches, bool dataChanged, bool indexChanged, bool blobChanged);
  uint32_t GetReadAheadCount(uint32_t readAheadCount, bool forward) override;
  bool KeepsReadAhead(uint32_t recordNo) override { return !bitmapView_ || viewBitmap_.GetBit(recordNo); }
  bool ReadsAheadAside() override { return InRecordNumberOrder() && !hasComputedFields_; }
  bool FetchesByKey() override { return fetchingByKey_; }
  // Fired when a lock found the table changed and the view was rebuilt.
  void SetRefreshHook(std::function<void()> hook) { refreshHook_ = std::move(hook); }

  // ---- Blobs ----
  // A blob field's value in a record buffer is two words after its has-value byte: word 1 is the
  // first block of its chain, or while the blob is open in this cursor the negated handle; word
  // 2 is its change stamp. Open blobs live in memory until the record is written (their changes
  // are saved then) or they are freed (their changes are dropped). The six field operations
  // return an engine code instead of raising. `tableFields` selects the table's field numbers
  // instead of the cursor list's. A negative position or length, or an end past 2 GiB - 1,
  // is refused with VELDOR_INVALIDBLOBOFFSET.
  static constexpr size_t kMaxOpenBlobs = 128;
  uint16_t OpenBlob(uint16_t fieldNo, uint8_t* buffer, uint8_t openMode, bool tableFields, uint8_t tag);
  // Only the opener's tag closes the blob; a blob without a value keeps none.
  uint16_t FreeBlob(uint16_t fieldNo, uint8_t* buffer, bool tableFields, uint8_t tag);
  uint16_t GetBlob(uint16_t fieldNo, const uint8_t* buffer, int32_t position, uint8_t* destination,
                   int32_t length, uint32_t& countRead, bool tableFields);
  uint16_t PutBlob(uint16_t fieldNo, uint8_t* buffer, int32_t position, const uint8_t* source, int32_t length,
                   bool tableFields);
  uint16_t TruncateBlob(uint16_t fieldNo, uint8_t* buffer, int32_t length, bool tableFields);
  uint16_t GetBlobSize(uint16_t fieldNo, const uint8_t* buffer, uint32_t& size, bool tableFields);
  // Drops every open blob (`all`) or those the engine opened (tag not 0); changes are lost.
  void FreeAllBlobs(bool all);
  // The whole value of blob field `fieldNo` of `record`; false for a NULL blob. A blob open in
  // the record is read as it stands, unsaved changes included, and left open with its tag; any
  // other is read without opening one in the record. A failing blob step raises its engine error.
  bool ReadBlobValue(uint16_t fieldNo, bool tableFields, const uint8_t* record, std::vector<uint8_t>& value);
  // Whether ReadStoredBlob reads blob field `fieldNo` of `record`: a local cursor, and the field
  // not open in the record (word 1 is its stored chain, or 0).
  bool ReadsStoredBlob(uint16_t fieldNo, bool tableFields, const uint8_t* record) const;
  // The value that OpenBlob, GetBlob and FreeBlob would give for blob field `fieldNo` of `record`
  // (empty for none), read into `value` without opening a blob, its blocks in passing. Returns
  // the code that OpenBlob would: VELDOR_KEYORRECDELETED when the stored record is no longer the
  // one `record` was read from. Requires: ReadsStoredBlob.
  uint16_t ReadStoredBlob(uint16_t fieldNo, bool tableFields, const uint8_t* record, std::string& value);
  // ReadBlobValue of each of `fieldNos` into the string at the same place in `values` (empty for
  // a NULL blob), for a row whose blobs are all wanted: the stored chains are checked against the
  // stored record once for all of them, under one read of the table, instead of once each.
  // Requires: as many values as field numbers.
  void ReadBlobTexts(std::span<const uint16_t> fieldNos, bool tableFields, const uint8_t* record,
                     std::span<std::string> values);
  // Puts the value of blob field `fieldNo` of `record` into a new blob of field `target` of
  // `buffer`, a record of `to` (open there until the record is written; nothing for a NULL blob).
  // Fields are table positions with `tableFields`, else positions in the cursors' lists.
  void CopyBlobValue(uint16_t fieldNo, bool tableFields, const uint8_t* record, TDataCursor& to,
                     uint16_t target, uint8_t* buffer);
  bool IsOpenBlob(uint32_t handle) const;
  size_t OpenBlobCount() const { return openBlobs_.size(); }
  // The record-write steps: stamp the changed blobs, save them (true when any was), put the
  // blocks of the open blobs back into the record.
  void StampChangedBlobs(uint8_t* buffer, bool tableFields);
  bool SaveChangedBlobs();
  void WriteOpenBlobFields(uint8_t* buffer, bool tableFields);
  // Empties every blob field of the record so that saving frees their chains.
  void ClearRecordBlobs(uint8_t* buffer);
  bool HasBlobFields() const;

  // ---- Text index ----
  // Slot 32 holds one key per word, field and record: 1, the field number, the word upper-cased
  // by the table's locale (at most 60 bytes, zero-padded), the record's unique id. Stored texts
  // are split without wildcards and searched texts with a trailing "*" kept; stop words make no
  // key and never fail a search.
  bool HasTextIndex() const;
  bool IsTextIndexField(uint16_t fieldNo) const;
  // The words of `text`, each once with its number of occurrences, in the table's locale order.
  void ExtractWords(std::string_view text, bool keepWildcards, TLanguageStringList& list);
  // The only builder of text-index keys: searches build theirs here too, so that they carry the
  // field number like the stored ones.
  void BuildTextKey(uint16_t fieldNo, std::string_view word, uint32_t uniqueId, uint8_t* key) const;
  void AddTextWords(uint16_t fieldNo, std::string_view text, uint32_t recordNo, uint32_t uniqueId);
  // Old words go with the old unique id, new ones come with the new id.
  void UpdateTextWords(uint16_t fieldNo, std::string_view oldText, std::string_view newText,
                       uint32_t recordNo, uint32_t oldUniqueId, uint32_t newUniqueId);
  void RemoveTextWords(uint16_t fieldNo, std::string_view text, uint32_t uniqueId);
  // The upkeep of one record write (memo fields through their changed open blobs).
  void TextIndexAppend(const uint8_t* buffer);
  void TextIndexModify(const uint8_t* oldBuffer, const uint8_t* newBuffer);
  void TextIndexDelete(const uint8_t* buffer);
  // Every word of `search` occurs in `value` ("*" at a word's end: some word starts so).
  bool TextSearch(std::string_view search, std::string_view value);
  // How often the words of `search` occur in `value`.
  uint32_t TextOccurs(std::string_view search, std::string_view value);
  std::vector<std::string> indexedSearchWords(std::string_view search, bool* exact = nullptr);

  // ---- Descriptors and small operations ----
  // Cursor-list descriptors by field number, by position (1..FieldCount) and by name (case
  // ignored); VELDOR_OUTOFRANGE naming the number or name when there is none.
  const TFieldDescriptor& GetFieldDescByNumber(uint16_t number) const;
  const TFieldDescriptor& GetFieldDescByPosition(uint16_t position) const;
  const TFieldDescriptor& GetCursorFieldDescByName(std::string_view name) const;
  // The table's descriptor of the named cursor field into `descriptor`; false for a field of
  // the cursor that is not the table's (a computed one).
  bool FindFieldDesc(std::string_view name, TFieldDescriptor& descriptor) const;
  // Slot 255 (record-number order) gives an empty descriptor.
  TIndexDescriptor GetIndexDesc(uint8_t slot) const;
  uint32_t GetLastRecordNumber() const;
  uint32_t GetBlobFileBlockCount() const;
  // From the open table or, closed, from the table's header (no password asked for).
  std::string GetDescription();
  bool IsEncrypted();
  std::string GetTablePassword();
  bool AskPassword();
  const std::vector<uint8_t>& GetCurrentRecordBuffer() const {
    const_cast<TDataCursor*>(this)->loadDeferredRecord();
    return recordBuffer_;
  }
  // Stands on `other`'s current record (same table); VELDOR_RECNOTFOUND when it is not in this
  // cursor's view.
  uint16_t SetToRecordBuffer(TDataCursor& other);

  // ---- Table creation and definitions ----
  void CreateTable(TCreateTableArgs& args);
  void ValidateTableDefinition(uint16_t languageId, uint16_t sortId, bool encrypted,
                               std::string_view password, uint32_t blobBlockSize, int64_t signedCount,
                               std::vector<TFieldDescriptor>& fields, std::vector<TIndexDescriptor>& indexes,
                               TIndexDescriptor& textIndex, bool noPrimaryIndex) const;
  // Returns the record size that the stored fields take. Without `assignOffsets` the fields are a
  // cursor's field list, which may give two fields one number.
  uint32_t ValidateFieldDefinitions(std::span<TFieldDescriptor> fields, bool assignOffsets) const;
  void ValidateIndexDefinitions(bool noPrimaryIndex, std::vector<TIndexDescriptor>& indexes,
                                TIndexDescriptor& textIndex, std::span<const TFieldDescriptor> fields) const;
  // The 127 header bytes of the table, open or closed (a closed encrypted table asks for its
  // password as Open does, unless `askPassword` is false).
  std::array<uint8_t, 127> GetDataHeader(bool askPassword = true);
  // The header's values, from the open table or, closed, through GetDataHeader.
  uint32_t GetLastUniqueId();
  uint32_t GetBlobBlockSize();
  uint16_t GetLanguageId();
  uint16_t GetSortId();
  uint16_t GetUserMajorVersion();
  uint16_t GetUserMinorVersion();
  static bool FieldDefinitionChanged(const TFieldDescriptor& oldDef, const TFieldDescriptor& newDef);
  bool IndexNeedsRebuild(const TIndexDescriptor& oldIndex, const TIndexDescriptor& newIndex,
                         std::span<const TFieldDescriptor> newFields) const;
  // Numbers the open table's fields 1..n by position and rewrites every index's field numbers to
  // match, so that keys keep naming the same fields after fields were dropped or moved.
  void RenumberFieldsAndKeys();

  // ---- Maintenance ----
  void DeleteTable();
  // `newName` is checked as SetTableName checks a name.
  void RenameTable(std::string_view newName);
  void RenameToBackup();
  void EmptyTable();
  void BackupIndex();
  void RestoreIndex(bool keepCurrent, bool deleteBackup);
  void SetIndexDescriptor(uint8_t slot, const TIndexDescriptor& descriptor);
  void SetIndexNameAndFields(uint8_t slot, const TIndexDescriptor& descriptor);
  bool IndexExists(std::string_view name) const;
  void SetHeaderInfo(uint16_t userMajorVersion, uint16_t userMinorVersion, std::string_view description);

  // Filters
  // The filtered view: the records the cursor shows are those of the used-records bitmap (and
  // of the range bitmap while a range is on) that every active filter lets pass. Bitmaps are
  // rebuilt when a filter is activated or re-aimed and when another writer changed the table;
  // the cursor's own writes keep them up to date record by record.
  //
  // Adds one inactive filter: from `text` (parsed, checked, normalised and prepared here), from
  // a ready `tree` (used as it is; once added, the filter frees it when `ownsTree`: after a
  // raise it is still the caller's), or a callback. Raises
  // VELDOR_INTERNALLIMIT for a 65th filter and VELDOR_INVALIDFILTER for nothing to filter with,
  // an empty text, a text that does not parse or check, and an expression that is not boolean.
  TFilter* AddFilter(void* callbackData, const std::string* text, TExpToken* tree, bool ownsTree,
                     TFilterCallback callback, bool afterOthers, bool checkRangeSize, bool caseInsensitive,
                     bool noPartialCompare);
  // Adds one inactive expression filter from a tree its caller built: column nodes by name,
  // typed constants, comparisons that carry their own compare length and case rule as key
  // compares. The tree is checked against the cursor's fields as a text's would be, except that a
  // text constant always stays a value (never read as a column name), and the filter gets a
  // prepared copy; the caller keeps `tree`. Raises as the text form does.
  TFilter* AddFilter(TExpToken& tree);
  // nullptr: every filter. VELDOR_NOSUCHFILTER for a filter the cursor does not have.
  void DropFilter(TFilter* filter);
  void ActivateFilter(TFilter* filter);
  void DeactivateFilter(TFilter* filter);
  // Gives an active expression filter a new tree (nothing for nullptr) and rebuilds it. The tree
  // is the filter's from then on; on any failure it is freed here, the filter keeping its old one.
  void ReplaceFilterExpression(TExpTreePtr tree, TFilter* filter);
  const std::vector<std::unique_ptr<TFilter>>& Filters() const { return filters_; }
  bool BitmapView() const { return bitmapView_; }
  // The records the cursor shows (records 1..GetLastRecordNumber), brought up to date first.
  const TRecordsBitmap& CombinedBitmap();
  // Comparisons whose constant stands left are turned round (5 < X becomes X > 5).
  static void NormalizeFilterComparisons(TExpToken* node);
  // Upkeep after the cursor wrote record `recordNo` (buffer: its new image) or deleted it.
  void FilterRecordChanged(uint32_t recordNo, const uint8_t* buffer);
  void FilterRecordDeleted(uint32_t recordNo);
  // Whether record `recordNo` with image `buffer` passes `filter`.
  bool EvaluateFilterRecord(uint32_t recordNo, const uint8_t* buffer, TFilter& filter);
  // Clears in `bitmap` the bits of used records that fail `node` (a callback filter: its
  // callback). mode 10 walks the set bits; any other mode first sets every bit.
  void EvaluateBitmapRecords(TRecordsBitmap& bitmap, TFilter& filter, const TExpToken* node, uint8_t mode,
                             bool& restart);
  // The column reader of filter and computed-field evaluation: readerData1 is the cursor,
  // readerData2 the record. A column is a table field by number, or a computed field of the list
  // (kComputedFieldMark), which reads as the field would store its value for that record.
  static void FetchExpressionColumn(void* record, void* cursor, TExpToken& result);

  // Index-assisted filtering
  // A range of keys of the current index over its first key field, in value order: the NULL
  // keys, or the non-NULL keys between the bounds (a missing bound is open), with the NULL keys
  // added when `withNulls`. Bounds are key images (flag byte, then the field's key bytes); only
  // the first `compareLength` bytes of them count, so a string prefix is a range of its own.
  // An empty range holds no key: no value of the field meets the test.
  struct TKeyRange {
    bool empty = false;
    bool nullKeys = false;
    bool withNulls = false;
    bool hasLow = false, lowInclusive = true;
    bool hasHigh = false, highInclusive = true;
    uint16_t compareLength = 0;
    std::array<uint8_t, kMaxCursorKeySize + 1> low{};
    std::array<uint8_t, kMaxCursorKeySize + 1> high{};
  };
  // 0 (evaluate record by record), 1 (partly from indexes) or 2 (wholly); stored in the node.
  // An AND whose better side is the right one has its sides swapped.
  uint8_t GetExpressionOptimizeLevel(TExpToken* node, uint8_t parentCode, bool checkRangeSize);
  // Makes current the first index whose first key field is `fieldNo` and whose case rule fits.
  bool FindIndexForField(uint16_t fieldNo, bool caseInsensitive, bool anyCase);
  // The range of a test (a comparison, prefix comparison, BETWEEN, IS [NOT] NULL, or one IN
  // value when `value` is given) over the current index. `complement` is set when the test's
  // answer is every record outside the range. False when the index cannot answer it exactly.
  bool BuildComparisonRange(const TExpToken& test, const TExpToken* value, TKeyRange& range,
                            bool& complement);
  uint64_t CountRangeKeys(const TKeyRange& range, bool& restart);
  uint64_t CountKeysForComparison(const TExpToken& test);
  // Replaces the contents of `bitmap` (sized to the slot count) with the range's records;
  // `outside`: with the records of every other key of the index instead.
  void AddRangeToBitmap(const TKeyRange& range, TRecordsBitmap& bitmap, bool& restart, bool outside = false);
  void BuildRangeBitmap(bool& restart);
  void BuildUsedRecordsBitmap(bool& restart);
  // The TEXTSEARCH call a test stands for (the call itself or call = TRUE), when its column is
  // one of the text index's fields and some word of its search text has keys there.
  const TExpToken* IndexedTextSearch(const TExpToken& test);
  // Clears from `bitmap` every record whose field lacks one of the exact words of `search`, by
  // the text index; records the index doesn't name go too. True when the index decided alone;
  // false when prefix words or words cut to the key's size are left for the caller to evaluate.
  bool NarrowByTextIndex(uint16_t fieldNo, std::string_view search, TRecordsBitmap& bitmap);

  // ---- Text-index parameters ----
  void LoadTextIndexParams();
  const TLanguageStringList& GetStopWords();
  TCharSet GetSpaceChars();
  TCharSet GetIncludeChars();
  // nullptr clears the stop words.
  void SetTextIndexParams(const std::vector<std::string>* stopWords, const TCharSet& spaceChars,
                          const TCharSet& includeChars);
  // Writes the parameters when they changed (also done at Close).
  void SaveTextIndexParams();

  // Remote requests (veldorcursor_remote.cpp)
  const TPasswordCallback& PasswordCallback() const { return passwordCallback_; }
  void SetLastRequestHeader(std::span<const uint8_t> header);
  uint16_t GetLastRequestCode() const;
  // Takes the position a server reported: record number, visible count, key, and the ends.
  void TakeRemoteState(uint32_t recordNo, uint32_t recordCount, std::span<const uint8_t> key, bool atBOF,
                       bool atEOF);
  // Whether the reply of this cursor's open carries the table's headers: the server sends them
  // to the first cursor of the session on the table (by the rules of its version).
  bool OpenReplyCarriesHeaders(int64_t serverVersion) const;
  // The reply of the last next or prior request, served from while it holds records. Reading
  // past its end raises 15002.
  void TakeRecordBlock(TCursorReply block);
  std::span<const uint8_t> ReadBlockParam();
  size_t BlockParamsLeft() const { return recordBlock_.size() - blockReadPos_; }
  // Records asked for per next or prior request (1 from the cursor's creation on).
  void SetRecordBlockCount(uint32_t count) { recordBlockCount_ = count == 0 ? 1 : count; }
  // What a server sends after each record of such a block: the cursor state parameters.
  static void WriteCursorState(TCursorRequest& out, const TDataCursor& cursor);

  // Remote keys, ranges and positioning (veldorcursor_remote_nav.cpp)
  // The position record of a cursor state, as the server sent it; its first four bytes are the
  // sequence number within the view (what GetSequenceNumber gives a remote cursor).
  void TakeRemotePositionRecord(std::span<const uint8_t> record);
  // The key a position names: the record number (4 bytes) in record-number order, else the
  // current key, zeros when the cursor stands on no entry. Returns GetKeySize.
  uint16_t PositionKey(uint8_t* key) const;
  // Stands where a client's copy of this cursor says it stands (the key PositionKey gave, and the
  // two end flags), with the cursor record loaded: what a server does before a positioned
  // request, because its cursor may have read ahead of the client's.
  //
  // Only a position other than the last one this cursor reported (WriteCursorState) is a reason
  // to move: the client has not yet read all of a record block. A client that stands where it was
  // last told may have missed a move the server's cursor made in a request that failed (an error
  // reply carries no state); the server's cursor then stands right, as a local cursor would.
  void StandAtPosition(std::span<const uint8_t> key, bool atBOF, bool atEOF);
  // Keeps the position (key and end flags) of a cursor state just written.
  void NoteReportedPosition(const TCursorRequest& state) const;
  // Forgets the records read ahead: the next read asks the server again. A remote write drops
  // the blocks of the session's other cursors on its table, and a rollback every block, so that
  // read-ahead never hides what the session itself changed.
  void DropRecordBlock();

  // Table restructuring
  // Gives the closed table a new structure: only the headers are rewritten when no field, index
  // or table attribute that the records or keys depend on changed; when only indexes (or the
  // text-index parameters of a text-indexed table) changed, those indexes are built again in
  // place and the records keep their numbers (the old index file is kept as ".IBK" unless
  // NoBackup); otherwise every record is copied (blob and memo bytes too) into a new table, which
  // then takes the old one's place (old files to backups, the new ones renamed in, the backups
  // deleted last unless kept). A record or value that cannot be carried over goes to the
  // feedback; without one, the restructure stops at the first such case and raises
  // (VELDOR_INVALIDFLDTYPE naming the field, or the write's own error such as VELDOR_KEYVIOL).
  // A stop leaves the table exactly as it was. The cursor must be closed (VELDOR_TABLEOPEN),
  // exclusive and writable; the new structure passes CreateTable's checks first.
  void RestructureTable(TRestructureArgs& args);

  // Record sort
  // Rewrites the table in the order of `fields` (positions in the table, each descending as
  // `descending` says when given), renumbering the records from 1; the sort's options as the
  // data file takes them (run files go to the session's private directory). The cursor must be
  // open and exclusive (VELDOR_NEEDEXCLACCESS). A table with any index in use (a primary,
  // secondary or text index) is refused with VELDOR_INDEXEXISTS: its keys would name the old
  // record numbers. The record-id index and the record count are rebuilt. Returns the number
  // of records, and leaves the cursor at the start.
  uint32_t SortRecords(std::span<const uint16_t> fields, std::span<const bool> descending,
                       TSortOptions options);

  // Remote blobs, filters and maintenance (veldorcursor_remote_data.cpp)
 private:
  // The server keeps the open blobs; the record buffer goes both ways, since the server
  // rewrites the blob words in it.
  uint16_t remoteOpenBlob(uint16_t fieldNo, uint8_t* buffer, uint8_t openMode, bool tableFields, uint8_t tag);
  uint16_t remoteFreeBlob(uint16_t fieldNo, uint8_t* buffer, bool tableFields, uint8_t tag);
  uint16_t remoteGetBlob(uint16_t fieldNo, const uint8_t* buffer, int32_t position, uint8_t* destination,
                         int32_t length, uint32_t& countRead, bool tableFields);
  uint16_t remotePutBlob(uint16_t fieldNo, uint8_t* buffer, int32_t position, const uint8_t* source,
                         int32_t length, bool tableFields);
  uint16_t remoteTruncateBlob(uint16_t fieldNo, uint8_t* buffer, int32_t length, bool tableFields);
  uint16_t remoteGetBlobSize(uint16_t fieldNo, const uint8_t* buffer, uint32_t& size, bool tableFields);
  void remoteFreeAllBlobs(bool all);
  // The descriptor goes into the table's copy of the index header too; a refusal of the server
  // takes it out again.
  void remoteAddSecondaryIndex(const TIndexDescriptor& descriptor);
  // `slot` is where the table's header copy has the index; it leaves the copy when the server
  // has dropped it.
  void remoteDeleteIndex(std::string_view name, uint8_t slot);
  void remoteRestructureTable(const TRestructureArgs& args);

 private:
  // The slots an index rebuild builds anew (0-30 and the text index, 32).
  using TRebuiltSlots = std::bitset<kSysTextSlot + 1>;
  // Whether a restructure goes on past a case (the feedback, or its decision for all).
  using TCaseDecision = std::function<bool(TRestructureCase kind, const std::string& message)>;
  // The rebuild of a restructure that changes only indexes: the `rebuilt` slots emptied and
  // built again from the records, which keep their numbers. A record that breaks a new unique
  // key goes to `goOn`; when it goes on, the record is deleted once every record was seen. A
  // record that fails otherwise goes to `goOn` too and, when it goes on, stays without new keys.
  // Everything is held back and written out in one unit with the new headers
  // (`writeHeaders`), so a stop, a failure or a crash leaves the files as they were.
  void rebuildIndexes(const TRestructureArgs& args, const TRebuiltSlots& rebuilt, const TCaseDecision& goOn,
                      const std::function<void()>& writeHeaders);
  // Deletes record `recordNo` in a rebuild: its keys leave every index but the `rebuilt` ones
  // (which never got them), its record-id key becomes a free one, its blobs and (unless the
  // text index is rebuilt) its text words go, its slot is freed and the record count lowered.
  void DeleteRecordDuringRebuild(uint32_t recordNo, const TRebuiltSlots& rebuilt);
  // The keys of indexes being built, gathered record by record and put into the trees by
  // batches in key order (veldorcursor_restructure.cpp).
  class TKeyBatches;
  // A record of a restructure's copy, appended to this new table as AppendRecord would, with the
  // same checks and errors, but with its keys into `keys`, which makes the trees at the end, and
  // its image onto `staged`, which appendStagedRecords writes out. Requires a table of this
  // cursor's own, held exclusively, without deleted records and without a text index.
  void appendCopiedRecord(uint8_t* buffer, TKeyBatches& keys, std::vector<uint8_t>& staged);
  void appendStagedRecords(std::vector<uint8_t>& staged);

  // Remote requests
  // Takes the table's headers (when sent), the cursor state and the current index from the
  // reply of the open; returns the index.
  uint8_t takeOpenReply(const TCursorReply& reply);
  // The remote forms of the record reads, moves and writes (veldorcursor_remote.cpp).
  TCursorRequest remotePosition() const;
  void remoteMove(uint16_t code);
  void remoteSetToRecNo(int32_t n);
  uint16_t remoteReadRecordBlock(uint32_t& count, uint8_t* buffer);
  uint16_t remoteNextOrPrior(uint16_t code, uint8_t* buffer);
  uint16_t remoteCurrentRecord(uint8_t* buffer, bool lock);
  void remoteWrite(uint16_t code, const uint8_t* buffer, std::initializer_list<bool> flags);
  // Remote keys, ranges and positioning (veldorcursor_remote_nav.cpp)
  void remoteSetIndexName(std::string_view name);
  void remoteSetRange(const uint8_t* start, int32_t startFields, const uint8_t* end, int32_t endFields,
                      bool keysBuilt);
  void remoteResetRange();
  bool remoteFindKey(bool keysBuilt, const uint8_t* source, int32_t fieldCount, bool nearest,
                     uint8_t partialLength, uint8_t* result);
  bool remoteSetToBookmark(const uint8_t* bookmark, bool nearest, bool readBegun);
  void remoteBookmark(uint8_t* bookmark) const;
  // Record locks: the server holds them; the table keeps this process's marks.
  void remoteLockRecord(uint32_t recordNo);
  // By the slot's name; record-number order has none, and is refused.
  void remoteSwitchToIndex(uint8_t slot);
  void remoteUnlockMark(uint32_t recordNo);
  uint16_t remoteCloneCurrentRecord(uint8_t* buffer);
  uint16_t remoteSetToRecordBuffer(TDataCursor& other);
  // Reads a cursor state block from reply parameter `at` on.
  void remoteStateAt(const TCursorReply& reply, size_t& at);
  int32_t remoteSequence_ = 0;
  mutable std::vector<uint8_t> reportedPosition_;
  TCursorReply recordBlock_;
  size_t blockReadPos_ = 0;
  uint32_t recordBlockCount_ = 1;
  std::array<uint8_t, 10> lastRequestHeader_{};
  uint32_t remoteRecordCount_ = 0;

  // Runs one record step (a move and the load of the record it reaches) and returns its result.
  // When the table sees on disk the change counters it holds (TDataTable::CachesCurrentOnDisk),
  // the step first runs on what the caches hold, without the read pair: no other writer's
  // change can then be missed, and the step costs no system call. A step that needs anything
  // from the files takes the read pair where it asks (BeginRead) and goes on under it when the
  // table proved unchanged: what it decided so far is then what a step under the pair from the
  // start would have decided. Otherwise (another writer finished a change, or the pair could not
  // be taken) the step is abandoned (CacheMiss), its position is put back, and it runs again
  // under the read pair like any other operation, or raises what taking the pair raised.
  template <class Step>
  uint16_t recordStep(Step step);
  // `files`: those the read depends on (TDataTable::CachesCurrentOnDisk).
  bool mayReadCaches(TCachedFiles files = TCachedFiles::All);
  // The open's view and first place (rebuildView, placeAtOpen) built on the caches as a record
  // step runs on them, where mayReadCaches allows: false, with nothing to keep, when it cannot be
  // (the caller then builds both under the read pair). A pair taken on the way is the caller's
  // ReadScope's to end.
  bool placeOnCaches(bool place = true);
  // SetToBegin, or, unless `place` or with openUnplaced_, standBeforeFirst (on the zeroed buffer
  // an unplaced open gave it).
  void placeAtOpen(bool place = true);
  // Before the view's first record, searched for by nobody: every step or placing from here
  // starts at the view's beginning. The record buffer is left as it is.
  void standBeforeFirst();
  // A forward step in record-number order taken from the records the table holds in memory
  // (TDataFile::CopyHeldRecord), where a step would find no change and read nothing from the
  // files: the cursor sees the table's counters as they are, under a pair or a lock the table
  // holds, or on caches current on disk. False, with nothing changed, when it cannot be.
  bool stepOnHeldRecords(uint8_t* buffer);
  // Whether stepOnHeldRecords may step from the current record.
  bool mayStepOnHeldRecords() const;
  // The next member of the view after the current record within a short look-ahead; 0 if none.
  uint32_t nextHeldCandidate(uint32_t here) const;
  // BeginRead inside a step on the caches.
  bool beginReadInCachedStep();
  struct CacheMiss {
    std::exception_ptr failure;
  };
  // Set while a step runs on the caches alone, or under the pair it took on its way.
  bool cachedRead_ = false;
  // Set when a resynchronisation after another writer's change found the record the cursor stood
  // on gone (deleted, moved to another key, out of the view) and stood on the one after it: the
  // next step forward reads that one instead of passing over it. Any other positioning clears it.
  bool resumeOnCurrent_ = false;
  // With resumeOnCurrent_: no record came after the gone one, and the resynchronisation stood on
  // the one before it instead. That one is the next step back's to read; a step forward goes on
  // from it as from any record.
  bool resumeGoingBack_ = false;
  // The step on the caches took the read pair (or tried to); the pair is ended with the step.
  bool cachedStepTookPair_ = false;

  // Ends at its close the read pair that the cursor took inside it, and no other: a pair the
  // cursor held before belongs to the operation around.
  class ReadScope {
   public:
    explicit ReadScope(TDataCursor& cursor) : cursor_(cursor), held_(cursor.readTaken_) {}
    ~ReadScope() {
      if (!held_) cursor_.EndRead();
    }
    ReadScope(const ReadScope&) = delete;
    ReadScope& operator=(const ReadScope&) = delete;

   private:
    TDataCursor& cursor_;
    bool held_;
  };

  // Filters
  void UpdateFilterState();
  void BuildFilterBitmap(TFilter& filter);
  void BuildAllFilterBitmaps();
  void CombineFilterBitmaps();
  // Brings the filter view's bit for `recordNo` in line with the bitmaps it combines, after only
  // that record's bits changed; the whole combination when the bitmaps are not all in step.
  void combineFilterBit(uint32_t recordNo);
  // The view after this cursor wrote (`inUse`) or deleted `recordNo` under its write lock: only
  // that record's place changes, so a row at a time stays linear; RebuildView when the view is
  // not known to be current.
  void viewAfterWrite(uint32_t recordNo, bool inUse);
  // True when the table's change counters are the ones this cursor last took: its place (key and
  // sequence number) is as current as its last search made it.
  bool placeSeenCurrent() const;
  void ParseFilterExpression(const std::string& text, TExpTreePtr& tree);
  void CheckFilterExpression(TExpToken& tree);
  static bool ResolveFilterColumn(void* cursor, TExpToken& node);
  std::vector<std::unique_ptr<TFilter>>::iterator findFilter(TFilter* filter);
  void prepareBitmaps(bool& restart);
  // Builds what is stale, under the cursor's read.
  void refreshFilterView();
  // The remote form of drop, activate and deactivate: the server's filter id (0: all), and the
  // cursor state of the reply taken in.
  void sendFilterRequest(uint16_t code, TFilter* filter);
  // Activation and deactivation differ only in the bitmaps an activation builds.
  void setFiltersActive(TFilter* filter, bool active);
  // Whether an active filter from place `from` of the list on was tested only on the records the
  // filters before it let pass: its bitmap keeps their verdicts as they were when it was built.
  bool builtOnEarlierFilters(size_t from) const;
  // Gives `copy` (open on the same table) a filter for each of this cursor's, in order, each with
  // its own copy of the tree, the same options and the same activity.
  void copyFiltersTo(TDataCursor& copy);
  // Makes `slot` current with the range reset and the view rebuilt; the cursor keeps its record.
  void makeIndexCurrent(uint8_t slot, bool place = true);
  bool evaluateNode(const uint8_t* buffer, const TExpToken* node);
  // TEXTSEARCH and TEXTOCCURS of a filter search the column of the record being evaluated.
  class FilterSource;
  std::shared_ptr<FilterSource> filterSource_;
  // The source that column nodes of this cursor's expressions name (made on first use).
  TSourceTable* filterSourceTable();
  const uint8_t* evaluatedRecord_ = nullptr;
  void fetchBlobColumn(uint16_t position, const uint8_t* record, TExpToken& result);
  // Evaluates computed field `f` for `record` (table fields read from it) and writes the value,
  // converted to the field's type (NULL when it does not convert), into `buffer`.
  void computeField(const TCursorField& f, const uint8_t* record, uint8_t* buffer);
  // Positions [start, end) of the range's keys in the current index.
  void rangePositions(const TKeyRange& range, std::vector<std::pair<uint64_t, uint64_t>>& spans);
  uint64_t keyPosition(const uint8_t* key, uint16_t length, bool after);
  int compareBound(const uint8_t* entry, const uint8_t* bound) const;
  bool buildConstantKey(const TFieldDescriptor& field, const TExpToken& constant, uint8_t* key) const;
  void buildValueKey(const TFieldDescriptor& field, const uint8_t* value, size_t capacity,
                     uint8_t* key) const;
  // Where a numeric constant lies among the values of `field`'s type: kExact, or the key of the
  // field's nearest value at or above it (`low`) or at or below it (kNearest), or no value on
  // that side (kNoValue), or every value there (kEveryValue); kUnknown for other constants.
  enum TBoundFit : uint8_t { kUnknown, kExact, kNearest, kNoValue, kEveryValue };
  TBoundFit fitBound(const TFieldDescriptor& field, const TExpToken& constant, bool low, uint8_t* key) const;
  std::vector<std::unique_ptr<TFilter>> filters_;
  TRecordsBitmap rangeBitmap_;
  TRecordsBitmap usedRecordsBitmap_;
  bool filterBusy_ = false;
  bool rangeBusy_ = false;
  bool filterViewStale_ = false;
  // While set, CompareKeys orders by the first boundLength_ bytes only, ties going to boundTie_.
  uint16_t boundLength_ = 0;
  int boundTie_ = 0;

  TCursorRequestPath& requests() const;
  TCursorReply exchange(uint16_t code, TCursorRequest request);
  void loadFieldList();
  // The rest of an open once table_ holds the open table (active_ set): the cursor's view of it.
  // A failure closes the cursor.
  void openOnTable(bool serverCursorOpen);
  void clearFieldList();
  void passwordLoop(std::string_view password);
  void rebuildView();
  // Rebuilds the view and goes back to the record the cursor stood on.
  void resynchronise();
  // Runs a resynchronisation that TableWentBack left for the next operation.
  void resyncIfPending();
  bool indexUsesLocale(uint8_t slot) const;
  void setOption(bool& option, bool value, bool alwaysCheck);
  void checkName(std::string_view name) const;
  void checkCollation();
  void readTextParams(TPage* first);
  // Key upkeep in the current index. Missing keys raise VELDOR_INDEXCORRUPT.
  bool keyExists(const uint8_t* key);
  void insertKey(const uint8_t* key, uint32_t recordNo);
  void removeKey(const uint8_t* key);
  // Puts `count` keys of the current index (side by side, each of its key size) with their
  // records into its tree in key order: an empty tree is built bottom-up, any other takes them
  // one insert each. A key equal to another, or to one in the tree, of a unique index raises
  // VELDOR_KEYVIOL before any goes in. `inOrder`: the caller built the keys in key order (record
  // ids of records appended in turn), which an empty tree's build checks as it takes them.
  void insertKeysInOrder(const uint8_t* keys, const uint32_t* records, size_t count, bool inOrder = false);
  [[noreturn]] void raiseKeyViolation() const;
  // The slots every write keeps: the primary one when the table has it, then the secondary ones.
  std::vector<uint8_t> writtenSlots() const;
  void writtenSlots(std::vector<uint8_t>& slots) const;
  // The keys of `record` in each of scratch.slots, side by side in scratch.keys (key i from
  // scratch.keyAt[i] to scratch.keyAt[i + 1]). With `checkUnique`, a key that a unique index
  // already holds raises VELDOR_KEYVIOL.
  void buildWriteKeys(const uint8_t* record, TCursorWriteScratch& scratch, bool checkUnique);
  // The scratch, given back to the cursor when the returned holder goes.
  auto takeWriteScratch() {
    struct Holder {
      TDataCursor& cursor;
      TCursorWriteScratch scratch;
      ~Holder() { cursor.writeScratch_ = std::move(scratch); }
    };
    return Holder{*this, std::move(writeScratch_)};
  }
  bool skipKeyChecks() const { return options_.QueryResult && !options_.QuerySource; }
  // Reads record `recordNo` through the cache into `image`.
  void readRecord(uint32_t recordNo, uint8_t* image, bool readAhead = false);
  // The current record's stored bytes as they are now equal `image`'s (a check of debug builds).
  bool currentRecordStill(const uint8_t* image);
  void writeRecord(uint32_t recordNo, const uint8_t* image);
  void writeTextParams();

  TDataDirectory* directory_;
  // The directory's session while the directory is there (asked on every step).
  TDataSession* session_;
  // Session() once the directory has gone: raises.
  [[noreturn]] TDataSession& directorySession() const;
  TDataTable* table_ = nullptr;
  uint32_t serverCursor_ = 0;
  std::string tableName_;
  uint32_t dataChangeCounter_ = 0;
  uint32_t indexChangeCounter_ = 0;
  uint32_t blobChangeCounter_ = 0;
  bool active_ = false;
  CursorOpenOptions options_;
  bool readOnlyAttribute_ = false;
  bool fieldsRemapped_ = false;
  bool openUnplaced_ = false;
  bool openForCount_ = false;
  bool suppressAutoInc_ = false;
  TPasswordCallback passwordCallback_;
  TOpenIndexChooser openIndexChooser_;
  std::function<void()> refreshHook_;

  std::vector<uint8_t> recordBuffer_;
  // A record whose image recordBuffer_ is still to receive (0: none): see deferRecordLoad.
  uint32_t deferredRecordNo_ = 0;
  TCursorWriteScratch writeScratch_;
  uint32_t currentRecordNo_ = 0;
  std::string currentIndexName_;
  uint16_t currentKeySize_ = 0;
  std::array<uint8_t, kMaxCursorKeySize + 1> currentKey_{};
  uint8_t keyFieldCount_ = 0;
  uint8_t keyCompression_ = 0;
  bool indexDescending_ = false;
  bool indexUnique_ = false;
  bool indexCaseInsensitive_ = false;
  std::vector<TFieldDescriptor> keyFields_;
  std::array<bool, kMaxIndexFields> keyFieldDescending_{};
  // What SelectIndex made of a slot's descriptor and key fields, kept with the descriptor image it
  // was made from: a write selects each of the table's indexes twice, and the same image over the
  // same field descriptors gives the same selection.
  struct TSelectedIndex {
    std::array<uint8_t, kIndexDescriptorSize> image{};
    std::string name;
    uint16_t keySize = 0;
    uint8_t compression = 0;
    bool descending = false, unique = false, caseInsensitive = false;
    std::array<bool, kMaxIndexFields> fieldDescending{};
    std::vector<TFieldDescriptor> fields;
  };
  std::array<std::unique_ptr<TSelectedIndex>, kIndexSlotCount> selected_;
  // The selection whose settings the cursor's key fields hold (applySelected), else nullptr.
  const TSelectedIndex* applied_ = nullptr;
  // HasBlobFields' answer for a data file's descriptors at a version.
  mutable const TDataFile* blobFieldsOf_ = nullptr;
  mutable uint64_t blobFieldsVersion_ = 0;
  mutable bool hasBlobFields_ = false;
  void applySelected(uint8_t slot, const TSelectedIndex& selected);
  bool indexRebuildNeeded_ = false;
  bool atBOF_ = false;
  bool atEOF_ = false;
  uint32_t rangeFirst_ = 0;
  uint32_t rangeLast_ = 0;
  bool bitmapView_ = false;

  TCursorFieldList fields_;
  uint16_t languageId_ = 0;
  uint16_t sortId_ = 0;
  TCharMap charMap_{};
  uint32_t recordSize_ = 0;
  bool hasChecks_ = false;
  bool hasDefaults_ = false;
  bool hasComputedFields_ = false;
  bool hasAutoInc_ = false;
  bool computingColumn_ = false;
  uint32_t lockedRecordNo_ = 0;
  bool recordChanged_ = false;
  // The table's lock pairs this cursor took (another cursor may hold the table's).
  bool readTaken_ = false;
  bool queryReadTaken_ = false;
  bool writeTaken_ = false;
  // The table went back (TableWentBack) and this cursor's filter view was not built again yet.
  bool resyncPending_ = false;

  // Ranges and navigation
  // The current index entry's position in the whole index (record-number order: in the view).
  uint64_t sequence_ = 0;
  // The slot currentKey_ was built for (kNoCurrentIndex: none).
  uint8_t keySlot_ = kNoCurrentIndex;
  bool rangeSet_ = false;
  bool computingRange_ = false;
  std::array<uint8_t, kMaxCursorKeySize> rangeStartKey_{};
  std::array<uint8_t, kMaxCursorKeySize> rangeEndKey_{};
  TRecordsBitmap viewBitmap_;
  uint32_t visibleCount_ = 0;
  // What the table was when RebuildView last built a view without filters, of the used records or
  // of an index's keys without a range (valid: it did, and nothing rebuilt the view since).
  struct ViewStamp {
    bool valid = false;
    uint8_t order = 0;
    uint32_t data = 0, index = 0, blob = 0, lastRecord = 0;
    uint64_t live = 0;
    bool operator==(const ViewStamp&) const = default;
  };
  ViewStamp viewStamp_;
  ViewStamp currentViewStamp() const;
  // Index-order read-ahead: fetches left that skip the probe of the next entries, and the length
  // of the last such pause.
  uint8_t readAheadPause_ = 0;
  uint8_t readAheadPauseLength_ = 0;
  // The entry after the one a key search stood on, as the search found it: it holds while the
  // tree's stamp is the one recorded and the cursor still stands on that entry, so that the next
  // look at the following key (NextKeySharesFields) needs no search of its own.
  struct FollowingEntry {
    uint64_t file = 0;  // TIndexFile::InstanceId(); 0: none held
    uint64_t stamp = 0;
    uint64_t position = 0;  // of the entry the search stood on
    uint32_t reference = 0;
    uint8_t slot = kNoCurrentIndex;
    std::array<uint8_t, kMaxCursorKeySize> key{};
  };
  FollowingEntry following_;
  // Where the entry at position stepPosition_ stands in its leaf, as the last forward step or
  // search left it: the next forward step reads the entry after it without a descent.
  TLeafPlace stepPlace_;
  uint64_t stepPosition_ = 0;
  // FindKey is loading the record it found.
  bool fetchingByKey_ = false;
  bool entryVisible(uint32_t recordNo) const;
  uint64_t indexKeyCount();
  // Loads entry `position` of the current index as the position (flags untouched); `entry`, when
  // given, is that entry as a search just found it.
  bool standOn(uint64_t position, const TKeyEntry* entry = nullptr);
  // The position of the current entry found by its key: the first entry not less, and whether
  // it is the entry itself; with `near`, the entries around it.
  uint64_t locateCurrent(bool& found, TKeyNeighbours* near = nullptr);
  // The next (forward) or previous visible entry from `position` inclusive, within the range
  // positions; 0 when none.
  uint64_t visibleFrom(uint64_t position, bool forward);
  void completeKey(uint8_t* key, uint32_t given, bool high) const;
  uint32_t givenLength(int32_t fieldCount) const;
  void takeKey(bool keysBuilt, const uint8_t* source, uint8_t* key) const;
  void moveFirstOrLast(bool first);
  // SetToBegin's move, the record buffer left as it was. Requires the caller's ReadScope.
  void moveToBegin();
  void loadPositionRecord();
  // loadPositionRecord, or, where nobody but this cursor can change the table (held
  // exclusively, no second cursor on it, no computed fields, no transaction), a note that recordBuffer_ is to
  // receive the current record when it is first wanted: a delete that leaves the cursor on the
  // next record does not read it when the next move goes elsewhere. Every way the buffer is read
  // or the table written first loads the record (loadDeferredRecord), which then is as it was.
  void deferRecordLoad();
  void loadDeferredRecord();

  // Text index
  struct TTextChanges {
    std::vector<std::vector<uint8_t>> removed, inserted;
  };
  // The keys a write removes and inserts (each one checked against the index); the current
  // index is left on slot 32.
  void textWordChanges(uint16_t fieldNo, const std::string* oldText, const std::string* newText,
                       uint32_t oldId, uint32_t newId, TTextChanges& changes);
  void textRecordChanges(const uint8_t* oldBuffer, const uint8_t* newBuffer, TTextChanges& changes);
  // The words record `image` brings into the text index, its memos read from the blob file.
  void recordTextWords(const uint8_t* image, TTextChanges& changes);
  void applyTextChanges(const TTextChanges& changes, uint32_t recordNo);
  // Applies a write's text-index changes through its key journal (an opaque pointer to it).
  using KeyJournalRef = void*;
  bool journalTextChanges(KeyJournalRef journal, const uint8_t* oldBuffer, const uint8_t* newBuffer,
                          uint32_t recordNo);

  // Blobs
  struct TOpenBlob {
    TOpenBlob(TBlobFile& file, TCacheReader* reader) : data(file, reader) {}
    uint32_t handle = 0;
    TBlobBuffer data;
    uint8_t tag = 0;
    uint8_t mode = 0;
    uint32_t stamp = 0;
  };
  std::vector<std::unique_ptr<TOpenBlob>> openBlobs_;
  // The last blob freed, kept with its memory for the next open (a scan opens one a row).
  std::unique_ptr<TOpenBlob> spareBlob_;
  uint32_t lastBlobHandle_ = 0;
  // A fresh open blob of the table's blob file.
  std::unique_ptr<TOpenBlob> takeOpenBlob();
  // Drops openBlobs_[at], keeping it as the spare when it holds little memory.
  void dropOpenBlob(size_t at);
  TOpenBlob* findBlob(uint32_t handle) const;
  // The field's descriptor and the open blob its word 1 names; a code when there is none.
  uint16_t blobOf(uint16_t fieldNo, const uint8_t* buffer, bool tableFields, const TFieldDescriptor*& d,
                  TOpenBlob*& blob) const;
  void putBlobWord(const TFieldDescriptor& d, uint8_t* buffer, int32_t word, bool hasValue);
  // Runs `load`, which loads the chain that the closed blob field `d` of `buffer` names (perhaps
  // more than once), and returns 0; or VELDOR_KEYORRECDELETED, with nothing loaded that counts,
  // when the record the buffer was read from is no longer the one stored: deleted, or written
  // since with another chain or change stamp in that field. A buffer that names no stored record
  // (record number 0: a record not yet appended) and a computed field load as they stand.
  // Requires: the read begin of the operation (SyncWithTable), ended by the caller's ReadScope.
  template <class Load>
  uint16_t loadRecordBlob(const TFieldDescriptor& d, const uint8_t* buffer, const Load& load);
  // The same for several closed blob fields of `buffer` at once, none computed; `failed` is the
  // place of the field a VELDOR_KEYORRECDELETED names, the first whose stored words differ.
  template <class Load>
  uint16_t loadRecordBlobs(std::span<const TFieldDescriptor* const> fields, const uint8_t* buffer,
                           const Load& load, size_t& failed);
  // The blob steps of a record write for record `recordNo`; true when blobs were saved.
  bool writeRecordBlobs(uint8_t* buffer, uint32_t recordNo);

  TLanguageStringList stopWords_;
  TCharSet spaceChars_;
  TCharSet includeChars_;
  bool textParamsChanged_ = false;
  bool textParamsLoaded_ = false;

  // ---- Event hooks ----
 public:
  // Each hook is called with the cursor as sender, and only when set. A server's callbacks
  // reach them as well as the cursor's own work. Close clears every hook but
  // StepProgressHook2 and LogHook2, which a caller may keep across tables.
  using TStepProgressHook =
      std::function<void(TDataCursor& sender, const std::string& step, uint32_t percent)>;
  using TLogHook = std::function<void(TDataCursor& sender, const std::string& text)>;
  using TProgressHook = std::function<void(TDataCursor& sender, uint32_t percent)>;
  void SetStepProgressHook(TStepProgressHook hook) { stepProgressHook_ = std::move(hook); }
  void SetLogHook(TLogHook hook) { logHook_ = std::move(hook); }
  void SetStepProgressHook2(TStepProgressHook hook) { stepProgressHook2_ = std::move(hook); }
  void SetLogHook2(TLogHook hook) { logHook2_ = std::move(hook); }
  // Also heard while AddSecondaryIndex builds the index here.
  void SetIndexProgressHook(TProgressHook hook) { indexProgressHook_ = std::move(hook); }
  void SetProgressHook5(TProgressHook hook) { progressHook5_ = std::move(hook); }
  void SetProgressHook6(TProgressHook hook) { progressHook6_ = std::move(hook); }
  // Also heard while RestructureTable walks the records here.
  void SetRestructureProgressHook(TProgressHook hook) { restructureProgressHook_ = std::move(hook); }
  // Decides each record or value a restructure cannot carry over, here or on a server.
  void SetDataLostHook(TRestructureFeedback hook) { dataLostHook_ = std::move(hook); }
  void SetProgressHook15(TProgressHook hook) { progressHook15_ = std::move(hook); }
  void SetProgressHook16(TProgressHook hook) { progressHook16_ = std::move(hook); }
  // Nothing calls these two.
  void SetSpareHook1(TProgressHook hook) { spareHook1_ = std::move(hook); }
  void SetSpareHook2(TProgressHook hook) { spareHook2_ = std::move(hook); }
  const TRestructureFeedback& DataLostHook() const { return dataLostHook_; }
  // Serves a server's callback of `kind` (2-7, 9, 10, 15, 16), reading its parameters from the
  // session's reply whether or not its hook is set; other kinds read nothing.
  void ServeEventCallback(uint16_t kind, TDataSession& session);

  // The progress of a walk over `total` items: the hook hears the percent done each time it has
  // grown by at least GetProgressStepPercent since it last heard it, and 100 at the end.
  class TProgress {
   public:
    TProgress(TDataCursor& cursor, const TProgressHook& hook, uint64_t total);
    void Done(uint64_t done);

   private:
    TDataCursor& cursor_;
    const TProgressHook& hook_;
    uint64_t total_;
    uint32_t step_;
    uint32_t reported_ = 0;
  };

 private:
  // Clears the hooks that Close does not keep.
  void clearEventHooks();
  TStepProgressHook stepProgressHook_;
  TLogHook logHook_;
  TStepProgressHook stepProgressHook2_;
  TLogHook logHook2_;
  TProgressHook indexProgressHook_;
  TProgressHook progressHook5_;
  TProgressHook progressHook6_;
  TProgressHook restructureProgressHook_;
  TRestructureFeedback dataLostHook_;
  TProgressHook progressHook15_;
  TProgressHook progressHook16_;
  TProgressHook spareHook1_;
  TProgressHook spareHook2_;
};

// The cursor's current index, made current again when the scope ends (filters and ranges switch
// indexes to walk them).
class SavedIndex {
 public:
  explicit SavedIndex(TDataCursor& cursor) : cursor_(cursor), slot_(cursor.CurrentIndex()) {}
  ~SavedIndex() {
    if (cursor_.CurrentIndex() != slot_) cursor_.SelectIndex(slot_);
  }
  SavedIndex(const SavedIndex&) = delete;
  SavedIndex& operator=(const SavedIndex&) = delete;

 private:
  TDataCursor& cursor_;
  uint8_t slot_;
};

// The cursor's current index, selected again however the scope ends. When it cannot be selected
// again (it was current a moment ago) the cursor is left with no current index, and its next use
// says so.
inline auto KeepCurrentIndex(TDataCursor& cursor) {
  return platform::ScopeExit([&cursor, slot = cursor.CurrentIndex()] {
    try {
      cursor.SelectIndex(slot);
    } catch (...) {
      cursor.SetCurrentIndex(kNoCurrentIndex);
    }
  });
}

}  // namespace engine
