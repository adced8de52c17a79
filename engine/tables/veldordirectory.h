// A database directory: one database open in an engine session, a folder of table files or the
// in-memory database "Memory". Every open of the same folder in one session returns the same
// object and raises its open count. It owns the table objects open in it, so that all cursors of
// the session on one table share one, and it runs the transactions of its tables.
//
// Folders are told apart by their canonical path (links resolved, a spelling that differs from
// an existing folder only in case found through the file layer), so "db", "./db" and "db/" are
// one directory while "db" and "DB" are two when both exist.
//
// Transactions: StartTransaction takes the data-file write lock of every table; Commit writes
// every table's changes and releases the locks; Rollback drops the changes. A commit that fails
// (a full disk, an I/O error) drops what the caches hold, re-reads the headers, releases every
// lock, ends the transaction and raises: it never reports success. A commit is all or nothing,
// also when the process ends in the middle of it (see Commit).
//
// Not thread-safe: a directory is used by the threads of its session one at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/veldorfile.h"
#include "engine/tables/veldortable.h"

namespace engine {

class TDataCursor;
class TDataSession;
class TQueryStatement;

inline constexpr std::string_view kMemoryDatabaseName = "Memory";

// Results of the table operations (negated engine codes, raised by the caller).
inline constexpr int32_t kTableInUse = -11013;
inline constexpr int32_t kTableNotFound = -11010;

class TDataDirectory {
 public:
  // `path` is canonical and ends in '/', or is empty for the in-memory database without a folder.
  TDataDirectory(TDataSession& session, std::string name, std::string path);
  // Rolls back an open transaction, then frees every table object.
  ~TDataDirectory();
  TDataDirectory(const TDataDirectory&) = delete;
  TDataDirectory& operator=(const TDataDirectory&) = delete;

  TDataSession& Session() const { return *session_; }
  const std::string& Name() const { return name_; }
  const std::string& Path() const { return path_; }
  uint16_t OpenCount() const { return openCount_; }
  void IncOpenCount() { ++openCount_; }
  void DecOpenCount() {
    if (openCount_ > 0) --openCount_;
  }
  bool InTransaction() const { return inTransaction_; }
  const std::vector<std::unique_ptr<TDataTable>>& Tables() const { return tables_; }

  // Every cursor made on the directory registers here. When the directory goes first, each is
  // closed and loses its directory: a later use raises VELDOR_NOTINITIALIZED.
  void AddCursor(TDataCursor* cursor);
  void RemoveCursor(TDataCursor* cursor);
  const std::vector<TDataCursor*>& Cursors() const { return cursors_; }
  // Every SQL statement made on the directory registers here. When the directory goes first,
  // each statement is told (TQueryStatement::DirectoryGone) before the cursors are closed.
  void AddStatement(TQueryStatement* statement);
  void RemoveStatement(TQueryStatement* statement);
  const std::vector<TQueryStatement*>& Statements() const { return statements_; }

  // The file list the tables work on: the process's unless a test put another in place before
  // any table was opened.
  TFileList& FileList() const { return *fileList_; }
  void SetFileList(TFileList& list) { fileList_ = &list; }

  // Opens table `name` for a cursor; the shared object comes back in `table`. 0, or
  // kTableInUse when the table is held exclusively by another cursor, or an exclusive open is
  // asked while another cursor uses it (also inside a transaction; a clone always shares). A
  // cursor counts as a user unless exactly one of querySource and queryResult is set. Failures
  // of the files raise.
  int32_t OpenTable(std::string_view name, TDataTable*& table, bool querySource, bool queryResult,
                    bool temporary, bool inMemory, bool clone, bool exclusive);
  // kTableNotFound for a table not in this directory. The table object is freed when its last
  // open closes outside a transaction; a table of files on disk or in memory that is not
  // temporary is kept instead, its files open and its caches filled, for the next open of that
  // name (TDataTable::Close). To everyone else it is closed. The directory keeps a few, the
  // least recently closed going first, and frees them when it closes.
  int32_t CloseTable(TDataTable* table, bool releaseFlag, bool queryResult, bool querySource);
  // Creates the files of a new table and leaves it open and exclusive in `table`. kTableInUse
  // when a table of that name is open or in the transaction. Without `replace` a lasting table
  // that another process made since the caller looked raises VELDOR_TABLEEXISTS
  // (TDataTable::CreateFiles).
  int32_t CreateTable(std::string_view name, const TTableDefinition& definition, bool inMemory,
                      bool temporary, TDataTable*& table, bool replace = true);
  // A table of the pool of emptied results (TDataTable::Idle) whose pool key is `key`, taken
  // back open and exclusive as CreateTable leaves a new one, under its own name; null when none.
  // With `oneRow` (a creator that writes one row) it may hold its idle row (HoldsIdleRow).
  TDataTable* TakeIdleResult(const std::string& key, bool oneRow = false);
  // Frees the pool's tables (and the memory their files hold); the directory's close does too.
  void DropIdleResults() { idle_.clear(); }
  size_t IdleResultCount() const { return idle_.size(); }
  // kTableInUse when the table is open.
  int32_t RenameTable(std::string_view name, std::string_view newName, bool backup, bool inMemory);
  int32_t DeleteTable(std::string_view name, bool inMemory);
  // True when an open table has the name (".DAT" added unless present), or its data file exists.
  // When the data file is missing while a swap or rename marker with its plan lies beside a
  // lasting table's name, the swap cut short is completed first, and one running elsewhere is
  // waited for, under the file lock retry rules (VELDOR_LOCKTIMEOUT when it stays held): the
  // table is there throughout a swap. A create's hold beside the name is left alone.
  bool TableExists(std::string_view name, bool inMemory);
  // A name for a temporary table: the thread's part of MakeTempName (veldorhelpers_file.h), a
  // counter from 0 and ".DAT". A disk table's data file is created exclusively under that name before it is
  // returned, so that no other thread or process can take it; the counter moves on while the
  // name is taken. `beforeTaking`, when given, sees each free name just before it is taken.
  std::string MakeTempTableName(bool inMemory,
                                const std::function<void(const std::string& name)>& beforeTaking = {});
  // The same names for a disk table whose files start in memory (TCreateTableArgs::MemoryFirst):
  // free among this process's tables and files. Nothing on disk is asked or claimed; the files
  // claim their names when they spill.
  std::string MakeMemoryFirstTableName();

  // Every table enters the transaction (takes its data-file write lock); when one fails, those
  // that entered leave again and the failure is raised. Nothing when already in a transaction.
  void StartTransaction();
  // Writes every table's changes: takes the index and blob write locks of each, writes each
  // table's records, pages and blocks with their headers into its held writes, then writes all
  // of them out as one unit through the rollback journal (veldorjournal.h; forced to the device
  // with `forceFlush` or the session's ForceBufferFlush), then releases the locks. Without
  // `endTransaction` the tables keep their transaction lock.
  //
  // All or nothing: a process that ends anywhere in the commit leaves every table as it was
  // before (the next opener rolls the journal back) or as the commit makes it, once the journal
  // is gone. On failure the files are put back as they were, every table drops its cached
  // changes, re-reads its headers, releases its locks and leaves the transaction, and the
  // failure is raised.
  void Commit(bool endTransaction, bool forceFlush);
  // Every table drops its cached changes and re-reads its headers, releases its transaction
  // lock, and is freed when no cursor has it open.
  void Rollback();
  // Ends a transaction in which nothing was written (no record, blob, index entry or header
  // changed since StartTransaction; record locks taken and released are no change): each table
  // releases its locks as the end of Commit does, without the write locks and the write-out that
  // would find nothing to write. On a remote session, whose server keeps the transaction, it is
  // Commit.
  void EndUnchangedTransaction();

  // The journal file of the table whose journal lies at `path`, kept from one write-out to the
  // next while the directory is open, whether or not the table is (veldorjournal.h); the
  // directory lets each go when it closes, deleting those that nobody else holds.
  TJournalHandle& JournalHandle(const std::string& path);
  // Lets the journal at `path` go without deleting it: the table's files were deleted or moved.
  void DropJournalHandle(const std::string& path);
  // True while the directory keeps the journal at `path` open.
  bool HoldsJournal(const std::string& path) const;

  // Remote database: the server's handle of it (0 on a local session).
  uint32_t RemoteHandle() const { return remoteHandle_; }
  void SetRemoteHandle(uint32_t handle) { remoteHandle_ = handle; }

 private:
  // One request about this database: its handle, then what `params` writes; the reply is left
  // for the caller to read.
  void remoteRequest(uint16_t code, const std::function<void(TDataSession&)>& params);
  TDataTable* find(std::string_view name, bool inMemory) const;
  void freeTable(TDataTable* table);
  // The kept table of that name (exactly as spelt), taken out of the kept ones; null when none.
  std::unique_ptr<TDataTable> takeKept(std::string_view name, bool inMemory);
  // Frees the kept table of that name (spelt in any way), letting its files go.
  void dropKept(std::string_view name, bool inMemory);
  // Runs `act` on the files of table `name` through its object here, or through a passing one when
  // the table is not open; kTableInUse while a cursor or the transaction holds it.
  int32_t onTableFiles(std::string_view name, bool inMemory, const std::function<void(TDataTable&)>& act);
  // TableExists; without `settleSwaps` the files alone answer, and no swap marker is touched.
  bool tableExists(std::string_view name, bool inMemory, bool settleSwaps);
  // Every table in the transaction leaves it after a failure, dropping its changes.
  void abandonTransaction() noexcept;
  // Every table leaves the transaction by `leave`, dropping its changes, and the cursors on the
  // tables that were in it take their state again.
  void goBack(const std::function<void(TDataTable&)>& leave);
  // Runs `step` on every table from the last to the first and frees each that no cursor has
  // open and that left the transaction; every step runs even when one fails, the directory
  // leaves the transaction unless `keepTransaction` (a commit that goes on), and the first
  // failure is raised.
  void endEachTable(const std::function<void(TDataTable&)>& step, bool keepTransaction = false);

  TDataSession* session_;
  std::string name_;
  std::string path_;
  std::vector<std::unique_ptr<TDataTable>> tables_;
  // Closed tables kept for their next open, the most recently closed last.
  std::vector<std::unique_ptr<TDataTable>> kept_;
  // Emptied results for the next statements' results, the most recently emptied last. To
  // everyone else they are gone: no cursor, transaction or name look-up of the directory finds
  // them, and their files hold names no other table takes.
  std::vector<std::unique_ptr<TDataTable>> idle_;
  std::vector<TDataCursor*> cursors_;
  std::vector<TQueryStatement*> statements_;
  uint16_t openCount_ = 0;
  bool inTransaction_ = false;
  uint32_t remoteHandle_ = 0;
  TFileList* fileList_;
  std::map<std::string, std::unique_ptr<TJournalHandle>> journals_;
};

// The canonical form of a directory for the engine: absolute, links resolved, a spelling found
// ignoring case through the file layer when the folder does not exist as spelt, ending in '/'.
std::string CanonicalDirectoryPath(std::string_view directory);

}  // namespace engine
