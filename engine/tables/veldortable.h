// The table object: one physical table open in a database directory, joining its data, index and
// blob files under one object that every cursor of the session on that table shares. It counts
// its opens and users and carries the table's concurrency protocol:
//   - record locks (one byte each in the data file) with the session's retry count and wait;
//   - the read pair (an index-file and a blob-file read slot) around one operation, and the
//     query-read pair, the same locks with their own state, held by the SQL layer across a
//     statement;
//   - the write pair: the data-file write lock (unless the transaction holds it), then the
//     index-file and blob-file write locks;
//   - the transaction lock: the data-file write lock held from StartTransaction to the end,
//     during which record unlocks are deferred;
//   - RefreshIfChanged, which notices another writer through the files' change counters and
//     drops what the caches hold.
//   - the rollback journal: every change goes out as one unit (veldorjournal.h). Open first,
//     and the read pairs, BeginWrite and LockForTransaction once their locks are held, roll
//     back a journal that a process left when it ended in the middle of a write-out, under the
//     table's exclusive lock.
// A lock state is set only after all of its locks were taken; when a later lock of a pair or of
// the write set fails, the locks already taken are released before the error is raised.
//
// Errors carry the directory as database item and the table's name as table item.
//
// Not thread-safe: a table object belongs to one directory of one session, used by one thread at
// a time. Other processes and other sessions are kept apart by the files' byte-range locks.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/veldorbitmap.h"
#include "engine/storage/veldorblob.h"
#include "engine/storage/veldordata.h"
#include "engine/storage/veldorfielddesc.h"
#include "engine/storage/veldorindex.h"
#include "engine/storage/veldorjournal.h"
#include "engine/storage/veldortablelink.h"
#include "engine/tables/veldorsession.h"

namespace platform {
class OsFile;
}

namespace engine {

class TDataDirectory;
class TDataSession;
struct TSharedCursorFields;

inline constexpr std::string_view kDataFileExt = ".DAT";
inline constexpr std::string_view kIndexFileExt = ".IDX";
inline constexpr std::string_view kBlobFileExt = ".BLB";
inline constexpr std::string_view kDataBackupExt = ".DBK";
inline constexpr std::string_view kIndexBackupExt = ".IBK";
inline constexpr std::string_view kBlobBackupExt = ".BBK";
// A new table's data file while CreateFiles writes it: the name is the table's once its data file
// is whole. One left by a create cut short belongs to no table; the next create of the name
// empties it.
inline constexpr std::string_view kDataNewExt = ".DNW";

// What CreateFiles builds a table from.
struct TTableDefinition {
  std::vector<TFieldDescriptor> fields;
  // [0] the primary index, then the secondary indexes in slot order.
  std::vector<TIndexDescriptor> indexes;
  // The text index (slot 32), when the table has one.
  std::optional<TIndexDescriptor> textIndex;
  std::string description;
  std::string password;
  uint16_t languageId = 0;
  uint16_t sortId = 0;
  uint16_t userVersion1 = 0;
  uint16_t userVersion2 = 0;
  bool encrypted = false;
  uint32_t blobBlockSize = 0;  // 0: 512
  // A query's scratch result, created under a fresh name and deleted at its close: no other
  // process ever opens it, so its writes need no journal.
  bool scratch = false;
  // With scratch on a temporary disk table: its files start in memory and go to disk only when
  // they grow (TSpillFile). Its name came from MakeMemoryFirstTableName.
  bool memoryFirst = false;
};

class TDataTable final : public TTableFileOwner, public TFileKeeper {
 public:
  explicit TDataTable(TDataDirectory& directory);
  // Closes once (releasing every lock it holds) and frees the files, kept ones too.
  ~TDataTable() override;
  TDataTable(const TDataTable&) = delete;
  TDataTable& operator=(const TDataTable&) = delete;

  // ---- Names, flags and counts ----
  TDataDirectory& Directory() const { return *directory_; }
  TDataSession& Session() const { return *session_; }
  const std::string& GetName() const { return name_; }
  void SetName(std::string_view name) { name_ = std::string(name); }
  void SetExclusive(bool v) { exclusive_ = v; }
  void SetInMemory(bool v) { inMemory_ = v; }
  void SetTemporary(bool v) { temporary_ = v; }
  bool IsExclusive() const { return exclusive_; }
  bool IsInMemory() const { return inMemory_; }
  bool IsTemporary() const { return temporary_; }
  // A file could only be opened for reading; with the attribute, a file is marked read-only on
  // disk (no write permission at all), which implies read-only.
  bool IsReadOnly() const { return readOnly_; }
  bool IsReadOnlyAttribute() const { return readOnlyAttribute_; }
  uint16_t GetOpenCount() const { return openCount_; }
  // Made as a query's scratch result (TTableDefinition::scratch) and open since.
  bool IsScratch() const { return scratch_; }
  uint16_t GetUserCount() const { return userCount_; }
  void IncOpenCount() { ++openCount_; }
  void DecOpenCount() {
    if (openCount_ > 0) --openCount_;
  }
  void IncUserCount() { ++userCount_; }
  void DecUserCount() {
    if (userCount_ > 0) --userCount_;
  }
  // The directory's path, used in messages.
  std::string GetDirectoryName() const;
  // The full names of the three files for this table name (the ".DAT" extension of the name,
  // in any case, is replaced; another extension or none gets the file's appended).
  std::string FileName(std::string_view ext) const;
  static std::string FileNameFor(const std::string& directoryPath, std::string_view tableName, bool inMemory,
                                 std::string_view ext);
  // The extension of the swap marker beside a table's name (TSwap, TRenameMarks, TCreateHold),
  // for FileNameFor.
  static constexpr std::string_view kSwapMarkerExt = ".SWP";

  // ---- Table swap ----
  // The files of the closed table `newName` take the name of the closed table `name` in
  // `directory`: each old file becomes its backup (".DBK", ".IBK", ".BBK"; an older backup is
  // replaced), then the new file takes the name; the backups are deleted last unless
  // `keepBackup`. On disk the new table's files and then a marker file (".SWP") naming it are
  // forced to the device first, whatever ForceBufferFlush says, and the marker removed last, so
  // that a swap cut short is completed by CompleteSwap, and a crash or a power loss at any point
  // leaves the old table or the new one whole.
  static void SwapFiles(TDataDirectory& directory, std::string_view name, std::string_view newName,
                        bool inMemory, bool keepBackup);
  // The same swap for a caller that copies the table `name` into a new table `newName` while it
  // holds `name` exclusively. Construct before the new table is made: a marker (".CPY") names
  // it, so that a copy cut short by the end of its process is deleted at the next open. Commit
  // once the new table is written and closed, still holding the old one: from then on the swap
  // completes, here or at the next open, and opens elsewhere wait for it. Then close the old
  // table and Run. Destroyed without Commit, the marker goes (the caller deletes its table).
  // Raises the engine's write errors; one thread.
  class TSwap {
   public:
    TSwap(TDataDirectory& directory, std::string_view name, std::string_view newName, bool inMemory);
    // For a copy whose new name is not chosen yet: the marker is made empty, and NewName puts
    // each name into it before that name is taken on disk (see MakeTempTableName).
    TSwap(TDataDirectory& directory, std::string_view name, bool inMemory);
    void NewName(const std::string& newName);
    const std::string& NewName() const { return newName_; }
    // Gives each file of the new table the permission bits and, where this process may set it,
    // the group of the old table's file it replaces (its data file's for a file the old table
    // lacks), so that the others who share the table keep their access. Call once the new
    // table is made, before it holds rows; Commit calls it again.
    void TakeAccess();
    ~TSwap();
    TSwap(const TSwap&) = delete;
    TSwap& operator=(const TSwap&) = delete;
    void Commit(bool keepBackup);
    void Run();

   private:
    TDataDirectory& directory_;
    std::string name_;
    std::string newName_;
    bool inMemory_;
    std::string plan_;
    std::unique_ptr<platform::OsFile> copyMarker_;
    std::unique_ptr<platform::OsFile> swapMarker_;
  };
  // A rename of the closed table `from` to `to` (neither a path, nor equal ignoring case) as one
  // step for every other process: construct before the first file moves, Done once the last has.
  // Swap markers (".SWP") go beside both names, forced to the device, the old name's first and
  // removed last; each names the other table, and its plan ends in 'F' beside the old name, 'T'
  // beside the new. The data file moves first: the table is the one whose data file is there,
  // and CompleteSwap at either name moves its other files after it. Destroyed without Done the
  // markers stay for that (after an undo that put every file back, call Done as well). Builds
  // that know swap markers without those letters take such a marker for one cut off before any
  // move and remove it. Raises the engine's write errors; one thread.
  class TRenameMarks {
   public:
    TRenameMarks(TDataDirectory& directory, std::string_view from, std::string_view to, bool hasBlobFile);
    ~TRenameMarks();
    TRenameMarks(const TRenameMarks&) = delete;
    TRenameMarks& operator=(const TRenameMarks&) = delete;
    void Done();

   private:
    TDataDirectory& directory_;
    std::unique_ptr<platform::OsFile> fromMarker_;
    std::unique_ptr<platform::OsFile> toMarker_;
  };
  // A create's hold on the name `name` of `directory` while it makes a lasting table's files:
  // an empty swap marker beside the name, held alone, taken once every swap or rename marker
  // left there is completed (CompleteSwap). Every other create, open, drop and rename of the name
  // completes or waits for the swap markers beside it before it looks at the table's files, so
  // they wait for this one until the new data file is in place and open, and no two creates make
  // the name's files at once. A process ended while it holds the hold leaves an empty marker,
  // which every build takes for one cut off before any move and removes. Raises
  // VELDOR_LOCKTIMEOUT when the name stays held elsewhere under the file lock retry rules, and
  // the system's error when the marker cannot be made. Released when destroyed; one thread.
  class TCreateHold {
   public:
    TCreateHold(TDataDirectory& directory, std::string_view name);
    ~TCreateHold();
    TCreateHold(const TCreateHold&) = delete;
    TCreateHold& operator=(const TCreateHold&) = delete;

   private:
    TDataDirectory& directory_;
    std::unique_ptr<platform::OsFile> marker_;
  };
  // Markers are found as the table's files are, ignoring case: those left by a copy or swap of
  // the table under another spelling of its name are honoured all the same.
  // Completes a swap that a marker beside `name` shows was cut short, and deletes the new table
  // of every copy cut short; nothing without markers. False, with nothing done, while another
  // process holds a swap marker (its swap is running). Raises VELDOR_HEADERCORRUPT, naming two
  // of them and touching nothing, when swap markers of two spellings lie beside `name`: neither
  // can be told to be the later swap.
  static bool CompleteSwap(TDataDirectory& directory, std::string_view name);
  // The second half of CompleteSwap: deletes the new table of every copy cut short. False, with
  // nothing done, when a swap marker lies beside `name`, looked for first and again once a
  // copy's marker is held: that copy came to its swap, and its table is left to CompleteSwap.
  static bool DropCopyCutShort(TDataDirectory& directory, std::string_view name);
  // True while a swap marker lies beside `name`.
  static bool SwapMarked(TDataDirectory& directory, std::string_view name);
  // True while a swap marker that holds its swap's or rename's plan lies beside `name`: the
  // table's files may be part way through their moves. A create's hold (an empty marker) does
  // not count. Looks only: takes no marker and touches no file.
  static bool SwapPlanned(TDataDirectory& directory, std::string_view name);
  // CompleteSwap, tried again under the file lock retry rules while another process runs its
  // swap of `name`. False when that process still holds its marker after the last attempt.
  static bool SettleSwaps(TDataDirectory& directory, std::string_view name);

  // ---- Life ----
  // Raises the open count; the first open names and opens the files (the blob file only when
  // the table has blob fields) and takes the read-only flags from them. A failure leaves
  // nothing open. Files kept at the last close are taken back instead, with what the caches
  // hold, when they are still the table's files unchanged and the open would be granted as
  // asked; otherwise they close and the files open anew.
  void Open();
  // True when the last Open opened the files; false when they were open already (other cursors,
  // or a transaction that keeps a table whose cursors all closed), so that what is on disk may
  // lag behind the headers in memory.
  bool OpenedFiles() const { return openedFiles_; }
  // Lowers the open count; at 0 outside a transaction: an exclusive, writable table writes its
  // changes (a temporary one closed with `releaseFlag` drops them instead), every record lock
  // and file lock is released and the files are closed. With `keep` a table that is not
  // temporary keeps its files open and its caches filled for the next Open instead, while to
  // every other user, in this process or another, the table is closed (TFileKeeper): no lock
  // and no share mode is held.
  void Close(bool releaseFlag, bool keep = false);
  // True while the files are kept after Close(…, true); false once they closed, which any user
  // of the files, on any thread, may have them do.
  bool FilesKept();
  void ReleaseKeptFiles() noexcept override;
  // Opens the object (open count + 1) and creates the three files from `definition`, with the
  // headers written. The table is left open and exclusive. Nothing is left on disk when a
  // step fails. A lasting table on disk is made under the name's TCreateHold, from before the
  // look for its data file until the data file is in place and open again: a table found there
  // then is made again in its place with `replace`, and without it VELDOR_TABLEEXISTS is raised
  // with nothing touched (another process made it since the caller looked). With `replace` a
  // table there already at a first look, after any swap beside the name is completed, is made
  // again in its place without the hold. One whose data file is not there yet is made whole
  // before its name leads to it: the index and blob files are made
  // (emptying any of no table), and the data file is written and synced under kDataNewExt and
  // renamed into place last, so that a process ended part way leaves no table of that name.
  void CreateFiles(const TTableDefinition& definition, bool replace = true);
  // Deletes the files, the data file first: once it is gone the table is, and an index or blob
  // file left by an end part way belongs to no table (the next create of the name empties it).
  // A swap or rename marker beside the name is completed first.
  void DeleteFiles();
  // Renames the three files (the blob file when it exists); with `backup` to the backup
  // extensions, replacing existing backups. A new name without a folder stays in the
  // directory. Every file renamed before a failure is renamed back. A rename within the folder
  // to another name is one step for other processes and the next open (TRenameMarks); an index
  // or blob file of no table under the new name is replaced.
  void RenameFiles(std::string_view newName, bool backup);
  // Empties the three files and discards the caches. Requires the table open exclusively.
  void EmptyTable();

  // ---- Pooled results ----
  // A scratch result whose files start in memory (TTableDefinition::memoryFirst) may, at its last
  // close, go to its directory's pool instead of being deleted: emptied, for the next result made
  // from the same definition (TDataDirectory::TakeIdleResult), which saves making its files.
  // The definition as a pool key: empty for one that cannot be pooled (a password, encryption,
  // blob fields, files not starting in memory).
  static std::string PoolKey(const TTableDefinition& definition, bool noPrimaryIndex);
  // Marks the table, made from the definition of `key` and set up as its creator wants it, as
  // one that may be pooled: what its structure is now is what every reuse must find.
  void NotePoolable(std::string key);
  const std::string& PoolKeyOf() const { return poolKey_; }
  // At the last close, outside any transaction: drops the rows and every lock as a close does and
  // empties the files, keeping them open in memory. True when the table is then exactly as it
  // was made (nothing changed its structure or its header's settings, no file went to disk); on
  // false it is left for the close to finish.
  bool Idle();
  // Takes an idled table back: open (once), exclusive, as CreateFiles leaves a new one, or with
  // the one row it was idled with (HoldsIdleRow).
  void Reuse();
  // A result whose creator writes exactly one row may go idle with that row kept, where the
  // table is then as a fresh one after that row's append (NoteIdleRow's state, its record-id
  // tree still unbuilt): its next creator of one row rewrites the row in place (TDataCursor::
  // RewriteIdleRow) instead of the table being emptied and the row appended again. Any other
  // creator passes such a table by.
  // Notes the state the table is in now, right after its one row went in as a fresh result's.
  void NoteIdleRow();
  // Idled, or taken back, with its row: true until the row is rewritten or the table emptied.
  bool HoldsIdleRow() const { return holdsIdleRow_; }
  void ForgetIdleRow() { holdsIdleRow_ = false; }
  // Writes the table out and copies the index file to ".IBK", forced to the device with its
  // folder entry before this returns; RestoreIndex copies it back unless `keepCurrent`, and
  // deletes it when asked, only once the index in place is written out and forced.
  void BackupIndex();
  void RestoreIndex(bool keepCurrent, bool deleteBackup);
  // Drops every write the files hold back (and a journal a failed write-out left) and what the
  // caches hold, re-reading the headers: the table is again what its files say.
  void DropHeldWrites();
  // Moves the data file's dirty records into its held writes, where the commit or write-out
  // takes them as it would take them from the cache; a rollback drops both. A change of many
  // records in one transaction then reuses cache slots where each record would take one more.
  // Nothing while writes go straight to the file.
  void SpillDirtyRecords();

  // ---- The files ----
  TDataFile& DataFile() { return *data_; }
  TIndexFile& IndexFile() { return *index_; }
  TBlobFile& BlobFile() { return *blob_; }
  bool HasBlobFields() const;
  // The blob file is open (the table has blob fields).
  bool BlobFileInUse() const;
  uint32_t GetDataChangeCounter() const { return data_->GetChangeCounter(); }
  uint32_t GetIndexChangeCounter() const { return index_->GetChangeCounter(); }
  // 0 without blob fields.
  uint32_t GetBlobChangeCounter() const;
  void VerifyHeaders();
  void CheckVersions();
  // The field list the last cursor opened on the table started with, for the next cursor to
  // share when it still fits (veldorcursor.h); null when none was built yet.
  const std::shared_ptr<const TSharedCursorFields>& SharedCursorFields() const { return cursorFields_; }
  void SetSharedCursorFields(std::shared_ptr<const TSharedCursorFields> fields) {
    cursorFields_ = std::move(fields);
  }

  // ---- Record locks ----
  // Locks record `recordNumber` for this object, trying LockRetryCount + 1 times with
  // LockWaitTime between (a count of 255 ends too); VELDOR_RECLOCKFAILED when it stays taken
  // and for record 0. True when another writer changed the table meanwhile (its state was
  // refreshed). Nothing for an exclusive or read-only table; inside the transaction a record
  // already locked gives false at once.
  bool LockRecord(uint32_t recordNumber);
  // Inside the transaction the unlock waits for its end. VELDOR_UNLOCKFAILED for record 0, a
  // record this object does not hold, or a failed release.
  void UnlockRecord(uint32_t recordNumber);
  // Releases every record lock (with `deferredOnly` only those waiting for the transaction's
  // end). VELDOR_UNLOCKFAILED, after trying them all, when any release failed. With `writeLock`
  // the data file's write lock goes with them, and whether it did goes there.
  void UnlockRecords(bool deferredOnly, bool* writeLock = nullptr);
  // Inside the transaction: takes the locks of records `numbers` (rising, no repeats) that this
  // object does not hold, as if each had been locked and released in the transaction (held to its
  // end, which releases them). A run of consecutive numbers is taken in one attempt; a run that
  // another holder keeps from being taken whole is split, and a record still held elsewhere is
  // left to LockRecord, which waits for it by the session's rules and fails as it always did.
  // Nothing outside the transaction or for an exclusive, read-only or remote table.
  void LockRecordsAhead(std::span<const uint32_t> numbers);
  bool HoldsRecordLock(uint32_t recordNumber) const { return lockedRecords_.GetBit(recordNumber); }
  // True when this object holds the lock of every record first..last and no cursor holds any of
  // them (each kept for the transaction's end only); false for an empty range.
  bool HoldsReleasedRecordLocks(uint32_t first, uint32_t last) const {
    return lockedRecords_.AllSetIn(first, last) && deferredUnlocks_.AllSetIn(first, last);
  }
  // A record lock that a cursor still holds: not one that a cursor released in a transaction,
  // which the transaction keeps only to its end and which any cursor of the session may take.
  bool RecordLockInUse(uint32_t recordNumber) const {
    return lockedRecords_.GetBit(recordNumber) && !deferredUnlocks_.GetBit(recordNumber);
  }
  void SizeRecordSets(uint32_t recordNumber);

  // ---- Lock pairs and the transaction ----
  // False at once while any lock state is held or the table is exclusive; else takes the index
  // and blob read slots (VELDOR_LOCKTIMEOUT) and returns RefreshIfChanged. A table whose files
  // are read-only takes them too, so that it never reads a half-written change.
  bool BeginRead();
  void EndRead();
  bool BeginQueryRead();
  // BeginQueryRead for a reader of the table's count of live records alone, ended by
  // EndQueryRead. Where the headers held here are those on disk (seen through the files' views)
  // and the stored count covers every record slot, the count needs nothing from the files, and
  // no journal left by a writer that ended in its commit is looked for: such a writer wrote its
  // headers last, so the ones on disk are those its roll-back leaves, and the next pair that
  // reads pages or headers rolls it back. Otherwise as BeginQueryRead.
  bool BeginCountRead();
  void EndQueryRead();
  // False at once when held, or the table is exclusive or read-only. Takes the data-file write
  // lock (unless the transaction holds it), the index and the blob write locks
  // (VELDOR_LOCKTIMEOUT); returns RefreshIfChanged outside a transaction, else false.
  bool BeginWrite();
  void EndWrite();
  void LockForTransaction();
  void UnlockForTransaction();
  // The retry rules of the three files' file-wide locks.
  void SetFileLockRetryRules(const LockRetryRules& rules);
  bool HoldsReadPair() const { return readHeld_; }
  bool HoldsQueryReadPair() const { return queryReadHeld_; }
  bool HoldsWritePair() const { return writeHeld_; }
  // A lock pair or the transaction lock: no other process finishes a change while one is held.
  bool AnyLockHeld() const { return anyLockHeld(); }

  void StartTransaction();
  // Leaves the transaction dropping its changes: caches emptied, headers re-read, write pair
  // and transaction lock released (the deferred record unlocks done).
  void RollbackTransaction();
  // The same after a failed commit, whose write-out has put the files back as they were (or
  // left its journal, which is rolled back here under the write locks still held).
  void AbandonTransaction();
  void PrepareCommit();
  void WriteTransaction(bool endTransaction, bool forceFlush);
  void EndTransaction(bool endTransaction);
  bool InTransaction() const { return inTransaction_; }

  // Writes what the caches hold (outside a transaction; inside only the change counters move).
  // The files change as one unit through the rollback journal (veldorjournal.h): a process that
  // ends part way leaves the table as it was before.
  void FlushTable(bool trimCaches, bool forceDataHeader, bool forceFlush, bool forceBlobHeader,
                  bool forceIndexHeader);
  // Drops what the caches hold, trimming them and re-reading the headers (and field descriptors
  // changed since the last write) when asked. Every open file is handled even when one fails;
  // the first failure is raised at the end.
  void DiscardCaches(bool trimCaches, bool rereadHeaders);
  // Takes the headers that another writer wrote and drops the caches they make stale. True
  // when anything changed.
  bool RefreshIfChanged();
  // True when no lock state is held and every open file of the table carries on disk the change
  // counter held here, seen without a system call (TFileHandler::PeekDiskHead). No other writer
  // has then finished a change since RefreshIfChanged last looked: what the caches hold is what
  // a read under the read pair would find, except for a change still being written, which counts
  // only once its writer lets go. False whenever it cannot be seen so (remote and in-memory
  // tables, backends without file views, writes held here). `files` narrows the look to the files
  // a read depends on.
  bool CachesCurrentOnDisk(TCachedFiles files = TCachedFiles::All);

  // ---- Writing out as one unit ----
  // Writes reach the files only through the rollback journal: they are held until the table
  // (or, in a commit, every table of the transaction) writes them out together.
  bool WritesHeld() const;
  // What recoverHotJournal found under the write locks held since goes to the journal handle for
  // this write-out (TJournalHandle::Seen), once.
  TJournalTable JournalTarget();
  // Writes out what is held and lets every later write go straight to the files, until the
  // table closes. Only for a table that nothing else can see and that a crash drops whole (a
  // restructure's copy, before its swap): its writes need no journal. Requires the table held
  // alone, outside a transaction.
  void WriteThrough();

  // ---- Remote tables ----
  // A table of a remote session holds no files: its headers and counters are what the server's
  // replies carry. A reply is a list of parameters; `at` moves past what was read, and a
  // missing or ill-sized parameter raises VELDOR_UNCOMPRESS.
  using RemoteReply = std::vector<std::vector<uint8_t>>;
  bool IsRemote() const { return session_->IsRemote(); }
  // False until the server first sent the headers: the server has not opened the table.
  bool RemoteHeadersLoaded() const { return remoteHeadersLoaded_; }
  // The read-only byte (servers from 30800 on), the read-only-attribute byte, the data header
  // with one parameter per field descriptor, the index header and the blob header (empty
  // without blob fields).
  void LoadRemoteHeaders(const RemoteReply& reply, size_t& at, int64_t serverVersion);
  // The last record number, the last unique id, the last-write stamp and the record count.
  void LoadRemoteCounters(const RemoteReply& reply, size_t& at);
  void LoadRemoteCursorCounters(const RemoteReply& reply, size_t& at) { LoadRemoteCounters(reply, at); }
  // What a server sends for the two: the same parameters, from this (local) table.
  void WriteRemoteHeaders(RemoteReply& out, int64_t serverVersion) const;
  void WriteRemoteCounters(RemoteReply& out) const;
  // Keeps the index header as it stands before the first index change of a transaction: a
  // rollback puts it back, as the server puts its index file back.
  void KeepRemoteIndexHeader();

  // ---- What the files ask of the table ----
  std::string GetTableName() const override { return name_; }
  std::string GetTablePath() const override { return GetDirectoryName(); }
  void MarkWritten() override { written_ = true; }
  bool WrittenSinceOpen() const override { return written_; }
  bool HoldsTransactionLock() const override { return transactionLockHeld_; }
  bool NoPrimaryIndex() const override;
  bool ForceBufferFlush() const override;
  bool StrictChangeDetection() const override;
  bool IsValidValueText(std::string_view text, uint8_t type) const override;
  bool ChecksValueTexts() const override { return true; }
  bool IsEncrypted() const override;
  bool FindFieldByNumber(uint16_t number, TIndexFieldInfo& info) const override;

 private:
  [[noreturn]] void raise(uint16_t code) const;
  bool anyLockHeld() const { return queryReadHeld_ || readHeld_ || writeHeld_ || transactionLockHeld_; }
  // Marks record `recordNumber` locked for this object.
  void noteRecordLocked(uint32_t recordNumber);
  bool beginReadPair(bool& state, uint16_t& indexSlot, uint16_t& blobSlot, bool countOnly = false);
  void endReadPair(bool& state, uint16_t& indexSlot, uint16_t& blobSlot);
  void nameFiles();
  void closeFiles();
  // RefreshIfChanged; when it fails, `release` gives back the locks just taken before the
  // failure is raised.
  bool refreshOrRelease(const std::function<void()>& release);
  // Leaves the transaction dropping its changes (RollbackTransaction, AbandonTransaction).
  void leaveTransaction(bool afterFailedWrite);
  void openFiles();
  bool keepFiles();
  // Takes back the files kept at the last close; false, with them closed, when they cannot be.
  bool resumeKeptFiles();
  // Opens the files once no swap elsewhere is moving them (see CompleteSwap).
  void openPastSwaps();
  // Completes what swap and rename markers beside `name` show was cut short, waiting while a
  // process that is alive holds one. Raises VELDOR_LOCKTIMEOUT when the wait runs out.
  void settleSwaps(std::string_view name);
  // Deletes the empty journal found at open when no writer keeps it.
  void dropUnheldJournal();
  void holdWrites(bool hold);
  // Forces the disk file `file` (one of the table's, or its backup) and its folder's entries to
  // the device. Raises the failure's engine error.
  void forceToDevice(const std::string& file);
  std::array<TFileHandler*, 3> journalFiles() const;
  // The journal's name, spelt after the data file on disk.
  const std::string& journalPath() const;
  // Writes out what the files hold back, journal first.
  void writeOutHeld(bool durable);
  // Rolls back the table's journal left by a process that ended part way through a write-out,
  // under the table's exclusive lock (taken here unless held; `dataLockHeld` when the caller
  // holds the data file's write lock outside the transaction's); true when it did.
  bool recoverHotJournal(bool dataLockHeld = false);

  TDataDirectory* directory_;
  // The directory's session (asked on every cursor step).
  TDataSession* session_;
  uint16_t openCount_ = 0;
  uint16_t userCount_ = 0;
  std::string name_;
  bool opened_ = false;
  bool openedFiles_ = false;
  // Guarded by the file list's section.
  bool filesKept_ = false;
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool readOnlyAttribute_ = false;
  bool inMemory_ = false;
  bool temporary_ = false;
  // Created as a scratch result (TTableDefinition::scratch), until the files close.
  bool scratch_ = false;
  std::unique_ptr<TDataFile> data_;
  std::shared_ptr<const TSharedCursorFields> cursorFields_;
  std::unique_ptr<TIndexFile> index_;
  std::unique_ptr<TBlobFile> blob_;
  // A file of the table was written since it was opened.
  bool written_ = false;
  // Inside a commit the directory writes out every table's held writes together.
  bool deferWriteOut_ = false;
  mutable std::string journalPath_;
  TRecordsBitmap lockedRecords_;
  // False while no bit of lockedRecords_ can be set; while true, every bit set lies between
  // lockedLow_ and lockedHigh_.
  bool anyRecordLocked_ = false;
  uint32_t lockedLow_ = 0;
  uint32_t lockedHigh_ = 0;
  TRecordsBitmap deferredUnlocks_;
  // The numbers UnlockRecords lets go, kept from call to call: a statement's end unlocks a row or
  // two, and a fresh list each time was an allocation of its own.
  std::vector<uint32_t> unlockNumbers_;
  bool queryReadHeld_ = false;
  bool readHeld_ = false;
  bool writeHeld_ = false;
  // The empty journal that recoverHotJournal found under the data file's write lock, until that
  // lock goes or a write-out takes it.
  std::optional<platform::FileIdentity> journalSeen_;
  // A failed write-out whose journal this table could not roll back left the headers read since
  // with its counters; the writer that rolls it back and commits again can bring the same
  // counters back over other bytes. The next refresh rereads them whatever the counters say.
  bool headersUnsure_ = false;
  bool transactionLockHeld_ = false;
  bool inTransaction_ = false;
  uint16_t indexReadSlot_ = 0;
  uint16_t blobReadSlot_ = 0;
  uint16_t queryIndexReadSlot_ = 0;
  uint16_t queryBlobReadSlot_ = 0;
  bool remoteHeadersLoaded_ = false;
  std::vector<uint8_t> remoteIndexKept_;
  // NotePoolable's key and the structure the table had then (structureImage); empty when the
  // table cannot be pooled.
  std::string poolKey_;
  std::string poolImage_;
  // NoteIdleRow's structure image; empty until noted.
  std::string rowImage_;
  bool holdsIdleRow_ = false;
  // What a reuse must find alike: the data header but for its counter, stamp and dirty flag,
  // the field descriptors, and the index descriptors but for their trees' pages.
  std::string structureImage() const;
  // Whether structureImage() would give `image`, built piece by piece without the copy.
  bool structureIs(const std::string& image) const;
};

}  // namespace engine
