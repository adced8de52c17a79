#include "engine/tables/veldordirectory.h"

#include "engine/tables/veldorcursor.h"

#include <algorithm>
#include <array>
#include <functional>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/storage/veldorhelpers_file.h"
#include "engine/storage/veldoros.h"
#include "engine/tables/veldorsession.h"
#include "engine/values/veldorexpservices.h"
#include "platform/debugassert.h"
#include "platform/scopeguard.h"
#include "platform/textrules.h"

namespace engine {

using platform::FirstFailure;
using platform::UndoOnFailure;

namespace {

// Closed tables a directory keeps for their next open: enough for the tables that a statement or
// a short run of statements goes back to, few enough that the open files stay far from any limit.
constexpr size_t kMaxKeptTables = 8;
// Emptied results a directory keeps: one for each result shape that a few statements in turn use.
constexpr size_t kMaxIdleResults = 4;

// A name of a table as the file layer knows it: the same data file name, ASCII case ignored.
// Every close and open asks this of each kept table, so the names are compared in place, the
// name looked for cut once; only names long enough for the data file name to be cut to the
// engine's length are built in full.
class TableName {
 public:
  explicit TableName(std::string_view name) : trimmed_(TrimBlanks(name)), base_(baseOf(trimmed_)) {}
  bool Names(std::string_view other) const {
    const std::string_view trimmed = TrimBlanks(other), base = baseOf(trimmed);
    const size_t room = kEngineStringLength - kDataFileExt.size();
    if (base.size() <= room && base_.size() <= room) return platform::equalIgnoringAsciiCase(base, base_);
    return platform::equalIgnoringAsciiCase(ForceFileExt(trimmed, kDataFileExt, kDataFileExt),
                                            ForceFileExt(trimmed_, kDataFileExt, kDataFileExt));
  }

 private:
  static std::string_view baseOf(std::string_view trimmed) {
    if (platform::endsWithIgnoringAsciiCase(trimmed, kDataFileExt))
      trimmed.remove_suffix(kDataFileExt.size());
    return trimmed;
  }
  std::string_view trimmed_, base_;
};

}  // namespace

std::string CanonicalDirectoryPath(std::string_view directory) {
  std::string path(TrimBlanks(directory));
  std::replace(path.begin(), path.end(), '\\', '/');
  return IncludePathDelimiter(EngineFileList().FileSystem().canonicalPath(path));
}

// ---- Session side ----

void TDataDirectoryDeleter::operator()(TDataDirectory* directory) const {
  delete directory;
}

TDataDirectory* TDataSession::OpenDataDirectory(std::string_view name, std::string_view directory,
                                                bool noRemoteRequest) {
  const std::string trimmedName = EngineString(TrimBlanks(name));
  if (IsRemote()) {
    if (!noRemoteRequest) EnsureConnected();
    for (auto& d : directories_) {
      if (platform::equalIgnoringAsciiCase(TrimBlanks(d->Name()), trimmedName)) {
        d->IncOpenCount();
        return d.get();
      }
    }
    uint32_t handle = 0;
    if (!noRemoteRequest) {
      SetRequestCode(REQUEST_OPENDATADIR);
      BeginRequest();
      WriteRequestText(trimmedName);
      EndRequest();
      Exchange();
      CheckReplyError();
      handle = ReadReplyU32();
    }
    directories_.emplace_back(new TDataDirectory(*this, trimmedName, ""));
    directories_.back()->SetRemoteHandle(handle);
    directories_.back()->IncOpenCount();
    return directories_.back().get();
  }
  const bool memory = platform::equalIgnoringAsciiCase(trimmedName, kMemoryDatabaseName);
  const std::string folder(TrimBlanks(directory));
  std::string path;
  // A folder given as an open directory's own path (a statement reaching its database again, a
  // result going to the private folder) is that directory: the path is canonical already, and
  // resolving it again would cost a file-system walk per statement.
  if (!folder.empty() && folder.back() == '/') {
    for (auto& d : directories_) {
      if (d->Path() == folder) {
        d->IncOpenCount();
        return d.get();
      }
    }
  }
  if (!folder.empty()) {
    path = CanonicalDirectoryPath(folder);
  } else if (!memory) {
    path = CanonicalDirectoryPath(WorkingDirectory());
  }
  for (auto& d : directories_) {
    if (d->Path() == path) {
      d->IncOpenCount();
      return d.get();
    }
  }
  directories_.emplace_back(new TDataDirectory(*this, trimmedName, path));
  directories_.back()->IncOpenCount();
  return directories_.back().get();
}

void TDataSession::CloseDataDirectory(TDataDirectory* directory, bool noRemoteRequest) {
  auto it = std::find_if(directories_.begin(), directories_.end(),
                         [directory](const auto& d) { return d.get() == directory; });
  if (it == directories_.end() || directory->OpenCount() == 0) return;
  directory->DecOpenCount();
  if (directory->OpenCount() != 0) return;
  if (IsRemote() && !noRemoteRequest && connected_) {
    try {
      SetRequestCode(REQUEST_CLOSEDATADIR);
      BeginRequest();
      WriteRequestU32(directory->RemoteHandle());
      EndRequest();
      Exchange();
      CheckReplyError();
    } catch (const std::exception&) {
      // The server frees what a lost session held; the directory goes here in any case.
    }
  }
  directories_.erase(it);
}

// ---- Directory ----

TDataDirectory::TDataDirectory(TDataSession& session, std::string name, std::string path)
    : session_(&session), name_(std::move(name)), path_(std::move(path)), fileList_(&EngineFileList()) {}

TDataDirectory::~TDataDirectory() {
  while (!statements_.empty()) {
    TQueryStatement* statement = statements_.back();
    statements_.pop_back();
    statement->DirectoryGone();
  }
  // Cursors still open release their tables before the tables go.
  while (!cursors_.empty()) {
    TDataCursor* cursor = cursors_.back();
    cursors_.pop_back();
    cursor->DirectoryGone();
  }
  bool anyInTransaction = inTransaction_;
  for (const auto& t : tables_) anyInTransaction |= t->InTransaction();
  // A remote server ends the transactions of a session that goes away; nothing is sent here.
  if (anyInTransaction && !session_->IsRemote()) {
    try {
      Rollback();
    } catch (...) {
      // A destructor cannot raise. Nothing of the transaction was written, and the system
      // releases the locks when the files close with their table objects below.
    }
  }
  tables_.clear();
  kept_.clear();
  idle_.clear();
  for (auto& [path, journal] : journals_) journal->Release(fileList_->FileSystem());
}

TJournalHandle& TDataDirectory::JournalHandle(const std::string& path) {
  std::unique_ptr<TJournalHandle>& handle = journals_[path];
  if (!handle) handle = std::make_unique<TJournalHandle>(path);
  return *handle;
}

void TDataDirectory::DropJournalHandle(const std::string& path) {
  journals_.erase(path);
}

bool TDataDirectory::HoldsJournal(const std::string& path) const {
  const auto it = journals_.find(path);
  return it != journals_.end() && it->second->Holds();
}

void TDataDirectory::AddCursor(TDataCursor* cursor) {
  cursors_.push_back(cursor);
}

void TDataDirectory::RemoveCursor(TDataCursor* cursor) {
  std::erase(cursors_, cursor);
}

void TDataDirectory::AddStatement(TQueryStatement* statement) {
  statements_.push_back(statement);
}

void TDataDirectory::RemoveStatement(TQueryStatement* statement) {
  std::erase(statements_, statement);
}

TDataTable* TDataDirectory::find(std::string_view name, bool inMemory) const {
  const TableName wanted(name);
  for (const auto& t : tables_) {
    if (t->IsInMemory() == inMemory && wanted.Names(t->GetName())) return t.get();
  }
  return nullptr;
}

void TDataDirectory::freeTable(TDataTable* table) {
  auto it = std::find_if(tables_.begin(), tables_.end(), [table](const auto& t) { return t.get() == table; });
  if (it == tables_.end()) return;
  std::unique_ptr<TDataTable> owned = std::move(*it);
  tables_.erase(it);
  owned->Close(true, true);
  if (!owned->FilesKept()) return;
  dropKept(owned->GetName(), owned->IsInMemory());
  while (owned->GetUserCount() > 0) owned->DecUserCount();
  if (kept_.size() >= kMaxKeptTables) kept_.erase(kept_.begin());
  kept_.push_back(std::move(owned));
}

std::unique_ptr<TDataTable> TDataDirectory::takeKept(std::string_view name, bool inMemory) {
  const std::string_view trimmed = TrimBlanks(name);
  for (auto it = kept_.begin(); it != kept_.end(); ++it) {
    if ((*it)->IsInMemory() == inMemory && (*it)->GetName() == trimmed) {
      std::unique_ptr<TDataTable> table = std::move(*it);
      kept_.erase(it);
      return table;
    }
  }
  return nullptr;
}

void TDataDirectory::dropKept(std::string_view name, bool inMemory) {
  const TableName dropped(name);
  std::erase_if(kept_, [&](const std::unique_ptr<TDataTable>& t) {
    return t->IsInMemory() == inMemory && dropped.Names(t->GetName());
  });
}

int32_t TDataDirectory::OpenTable(std::string_view name, TDataTable*& table, bool querySource,
                                  bool queryResult, bool temporary, bool inMemory, bool clone,
                                  bool exclusive) {
  table = nullptr;
  const bool user = querySource == queryResult;
  TDataTable* match = find(name, inMemory);
  if (match) {
    const bool idle = match->GetOpenCount() == 0 && !match->InTransaction();
    if (idle) {
      match->SetExclusive(exclusive);
      match->SetInMemory(inMemory);
      match->SetTemporary(temporary);
      match->Open();
      if (user) match->IncUserCount();
      if (inTransaction_) {
        UndoOnFailure undo([&] {
          if (user) match->DecUserCount();
          freeTable(match);
        });
        match->StartTransaction();
      }
      table = match;
      return 0;
    }
    if (!clone) {
      // Exclusive means no other cursor of the session, whether or not a transaction runs. A
      // table that only the transaction keeps cannot turn exclusive either: its files were
      // opened shared, so other processes could still open them.
      if (match->GetOpenCount() > 0 && (match->IsExclusive() || exclusive)) return kTableInUse;
      if (exclusive && !match->IsExclusive()) return kTableInUse;
    }
    match->Open();
    if (user) match->IncUserCount();
    table = match;
    return 0;
  }
  // A temporary open makes its files go at its close, which a kept table's files were not
  // opened to do.
  std::unique_ptr<TDataTable> created = temporary ? nullptr : takeKept(name, inMemory);
  if (!created) {
    // A kept table under another spelling of the name goes: one object per table.
    dropKept(name, inMemory);
    created = std::make_unique<TDataTable>(*this);
  }
  created->SetName(TrimBlanks(name));
  created->SetExclusive(exclusive);
  created->SetInMemory(inMemory);
  created->SetTemporary(temporary);
  created->Open();
  if (user) created->IncUserCount();
  if (inTransaction_) created->StartTransaction();
  table = created.get();
  tables_.push_back(std::move(created));
  return 0;
}

int32_t TDataDirectory::CloseTable(TDataTable* table, bool releaseFlag, bool queryResult, bool querySource) {
  auto it = std::find_if(tables_.begin(), tables_.end(), [table](const auto& t) { return t.get() == table; });
  if (it == tables_.end()) return kTableNotFound;
  if (releaseFlag && !table->PoolKeyOf().empty() && table->GetOpenCount() == 1 && !table->InTransaction()) {
    bool idled = false;
    try {
      idled = table->Idle();
    } catch (...) {
      // The close below finishes what the emptying began, and raises what it meets.
    }
    if (idled) {
      std::unique_ptr<TDataTable> owned = std::move(*it);
      tables_.erase(it);
      if (idle_.size() >= kMaxIdleResults) idle_.erase(idle_.begin());
      idle_.push_back(std::move(owned));
      return 0;
    }
  }
  FirstFailure failure;
  if (table->GetOpenCount() != 0) failure.run([&] { table->Close(releaseFlag, true); });
  if (table->GetOpenCount() == 0 && !table->InTransaction()) {
    freeTable(table);
  } else if (querySource == queryResult) {
    table->DecUserCount();
  }
  failure.raise();
  return 0;
}

TDataTable* TDataDirectory::TakeIdleResult(const std::string& key, bool oneRow) {
  if (key.empty()) return nullptr;
  for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
    if ((*it)->PoolKeyOf() != key || ((*it)->HoldsIdleRow() && !oneRow)) continue;
    std::unique_ptr<TDataTable> table = std::move(*it);
    idle_.erase(std::next(it).base());
    table->Reuse();
    tables_.push_back(std::move(table));
    return tables_.back().get();
  }
  return nullptr;
}

int32_t TDataDirectory::CreateTable(std::string_view name, const TTableDefinition& definition, bool inMemory,
                                    bool temporary, TDataTable*& table, bool replace) {
  table = nullptr;
  TDataTable* match = find(name, inMemory);
  if (match && (match->GetOpenCount() > 0 || match->InTransaction())) return kTableInUse;
  dropKept(name, inMemory);
  std::unique_ptr<TDataTable> created;
  TDataTable* target = match;
  if (!target) {
    created = std::make_unique<TDataTable>(*this);
    target = created.get();
  }
  target->SetName(TrimBlanks(name));
  target->SetExclusive(true);
  target->SetInMemory(inMemory);
  target->SetTemporary(temporary);
  {
    UndoOnFailure undo([&] {
      if (match) freeTable(match);
    });
    target->CreateFiles(definition, replace);
  }
  if (created) tables_.push_back(std::move(created));
  table = target;
  return 0;
}

int32_t TDataDirectory::onTableFiles(std::string_view name, bool inMemory,
                                     const std::function<void(TDataTable&)>& act) {
  TDataTable* match = find(name, inMemory);
  if (match && (match->GetOpenCount() > 0 || match->InTransaction())) return kTableInUse;
  dropKept(name, inMemory);
  std::unique_ptr<TDataTable> temporary;
  TDataTable* target = match;
  if (!target) {
    temporary = std::make_unique<TDataTable>(*this);
    temporary->SetName(TrimBlanks(name));
    temporary->SetInMemory(inMemory);
    target = temporary.get();
  }
  act(*target);
  // The object named the old files; the next open makes a new one.
  if (match) freeTable(match);
  return 0;
}

int32_t TDataDirectory::RenameTable(std::string_view name, std::string_view newName, bool backup,
                                    bool inMemory) {
  return onTableFiles(name, inMemory, [&](TDataTable& t) { t.RenameFiles(newName, backup); });
}

int32_t TDataDirectory::DeleteTable(std::string_view name, bool inMemory) {
  return onTableFiles(name, inMemory, [](TDataTable& t) { t.DeleteFiles(); });
}

bool TDataDirectory::TableExists(std::string_view name, bool inMemory) {
  return tableExists(name, inMemory, true);
}

bool TDataDirectory::tableExists(std::string_view name, bool inMemory, bool settleSwaps) {
  const std::string trimmed(TrimBlanks(name));
  const TableName wanted(trimmed);
  for (const auto& t : tables_) {
    if (t->IsInMemory() == inMemory && wanted.Names(t->GetName())) return true;
  }
  if (session_->IsRemote()) {
    remoteRequest(REQUEST_TABLEEXISTS, [&](TDataSession& s) {
      s.WriteRequestText(name);
      s.WriteRequestU8(inMemory);
    });
    return session_->ReadReplyU8() != 0;
  }
  const std::string dataFile = TDataTable::FileNameFor(path_, trimmed, inMemory, kDataFileExt);
  if (fileList_->FileExists(dataFile, inMemory)) return true;
  // A swap moves the old data file aside before the new one takes its name: in between, cut
  // short or still running elsewhere, the table is there all the same. It is completed, or
  // waited for, as an open would, and the name looked at again. A create's hold is neither: the
  // table is not there until the create has made it.
  if (!settleSwaps || inMemory || !TDataTable::SwapPlanned(*this, trimmed)) return false;
  if (!TDataTable::SettleSwaps(*this, trimmed)) SignalTableError(VELDOR_LOCKTIMEOUT, trimmed, path_);
  return fileList_->FileExists(dataFile, false);
}

std::string TDataDirectory::MakeTempTableName(
    bool inMemory, const std::function<void(const std::string& name)>& beforeTaking) {
  return MakeTempName(
      {}, kDataFileExt, inMemory,
      [&](const std::string& name) {
        // No swap is completed or waited for: a swap marker beside a free name is the hold of a
        // create elsewhere (or one a create cut short left), which the exclusive create of the
        // data file below settles without touching it.
        if (tableExists(name, inMemory, false)) return true;
        if (beforeTaking) beforeTaking(name);
        return false;
      },
      [&](const std::string& name) { return TDataTable::FileNameFor(path_, name, false, kDataFileExt); },
      fileList_->FileSystem(), path_);
}

std::string TDataDirectory::MakeMemoryFirstTableName() {
  return MakeTempName(
      {}, kDataFileExt, true,
      [&](const std::string& name) {
        const std::string trimmed(TrimBlanks(name));
        const TableName wanted(trimmed);
        for (const auto& t : tables_)
          if (!t->IsInMemory() && wanted.Names(t->GetName())) return true;
        for (std::string_view ext : {kDataFileExt, kIndexFileExt, kBlobFileExt})
          if (fileList_->Listed(TDataTable::FileNameFor(path_, trimmed, false, ext), false)) return true;
        return false;
      },
      [](const std::string& name) { return name; }, fileList_->FileSystem(), path_);
}

// ---- Transactions ----

void TDataDirectory::remoteRequest(uint16_t code, const std::function<void(TDataSession&)>& params) {
  TDataSession& s = *session_;
  s.EnsureConnected();
  s.SetRequestCode(code);
  s.BeginRequest();
  s.WriteRequestU32(remoteHandle_);
  if (params) params(s);
  s.EndRequest();
  s.Exchange();
  s.CheckReplyError();
}

namespace {

// The directory's tables as a transaction's end found them: its steps may free some. A
// statement's own transaction holds one or a few, whose list is then on the stack.
class TableSnapshot {
 public:
  explicit TableSnapshot(const std::vector<std::unique_ptr<TDataTable>>& tables) : size_(tables.size()) {
    if (size_ > few_.size()) many_.resize(size_);
    TDataTable** at = many_.empty() ? few_.data() : many_.data();
    for (const auto& t : tables) *at++ = t.get();
  }
  size_t size() const { return size_; }
  TDataTable* operator[](size_t i) const { return many_.empty() ? few_[i] : many_[i]; }

 private:
  size_t size_;
  std::array<TDataTable*, 4> few_{};
  std::vector<TDataTable*> many_;
};

}  // namespace

void TDataDirectory::StartTransaction() {
  if (inTransaction_) return;
  if (session_->IsRemote()) remoteRequest(REQUEST_STARTTXN, {});
  // The tables take their transaction locks in the order of their data files' names, whatever
  // order they were opened in: two processes whose transactions span the same tables (an INSERT
  // into one from a SELECT of the other, each way at once) then never each hold a lock the other
  // waits for. The names fold as the opens fold them, A-Z only: a fold by the process's locale
  // would give another order in a process whose locale folds otherwise ('I' in a Turkish one).
  // A lone table has no order to keep: its name is not built, nor a list of one sorted (a
  // statement's own transaction).
  if (tables_.size() == 1) {
    if (!tables_.front()->IsScratch()) tables_.front()->StartTransaction();
    inTransaction_ = true;
    return;
  }
  std::vector<std::pair<std::string, TDataTable*>> ordered;
  ordered.reserve(tables_.size());
  for (const auto& t : tables_)
    ordered.emplace_back(platform::asciiLowerCased(t->FileName(kDataFileExt)), t.get());
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  size_t entered = 0;
  UndoOnFailure undo([&] {
    FirstFailure back;
    for (size_t i = entered; i-- > 0;) back.run([&] { ordered[i].second->RollbackTransaction(); });
  });
  // A query's scratch result stays out, as one made during the transaction does: its statement
  // empties it again at each run, which no rollback could undo.
  for (; entered < ordered.size(); ++entered)
    if (!ordered[entered].second->IsScratch()) ordered[entered].second->StartTransaction();
  inTransaction_ = true;
}

void TDataDirectory::endEachTable(const std::function<void(TDataTable&)>& step, bool keepTransaction) {
  const TableSnapshot snapshot(tables_);
  FirstFailure failure;
  for (size_t i = snapshot.size(); i-- > 0;) {
    TDataTable* t = snapshot[i];
    failure.run([&] { step(*t); });
    // A table whose last cursor closed during the transaction goes with it.
    if (t->GetOpenCount() == 0 && !t->InTransaction()) failure.run([&] { freeTable(t); });
  }
  // After a commit that goes on, tables opened later must still join the transaction, and a
  // table the transaction keeps must not look free to a restructure or a close.
  if (!keepTransaction) inTransaction_ = false;
  failure.raise();
}

void TDataDirectory::abandonTransaction() noexcept {
  // The commit's own failure is the one raised; each table has still dropped its changes and
  // locks as far as it could.
  FirstFailure dropped;
  dropped.run([&] { goBack([](TDataTable& t) { t.AbandonTransaction(); }); });
}

void TDataDirectory::goBack(const std::function<void(TDataTable&)>& leave) {
  std::vector<TDataTable*> wentBack;
  for (const auto& t : tables_)
    if (t->InTransaction()) wentBack.push_back(t.get());
  FirstFailure failure;
  failure.run([&] { endEachTable(leave); });
  // The tables' change counters went back with them: their cursors are told, or they would go
  // on with ranges, counts and index positions of records that are gone.
  for (TDataCursor* c : std::vector<TDataCursor*>(cursors_))
    if (std::find(wentBack.begin(), wentBack.end(), c->Table()) != wentBack.end())
      failure.run([&] { c->TableWentBack(); });
  failure.raise();
}

void TDataDirectory::Commit(bool endTransaction, bool forceFlush) {
  if (session_->IsRemote()) {
    remoteRequest(REQUEST_COMMITTXN, [&](TDataSession& s) {
      s.WriteRequestU8(endTransaction);
      s.WriteRequestU8(forceFlush);
    });
  }
  const TableSnapshot snapshot(tables_);
  {
    UndoOnFailure undo([&] { abandonTransaction(); });
    for (size_t i = snapshot.size(); i-- > 0;) snapshot[i]->PrepareCommit();
    for (size_t i = snapshot.size(); i-- > 0;) snapshot[i]->WriteTransaction(endTransaction, forceFlush);
    // Every table's changes go out as one unit, journal first.
    std::vector<TJournalTable> targets;
    for (size_t i = snapshot.size(); i-- > 0;)
      if (snapshot[i]->WritesHeld()) targets.push_back(snapshot[i]->JournalTarget());
    WriteOutTables(fileList_->FileSystem(), targets, forceFlush || session_->ForceBufferFlush() != 0);
  }
  endEachTable([endTransaction](TDataTable& t) { t.EndTransaction(endTransaction); }, !endTransaction);
}

void TDataDirectory::EndUnchangedTransaction() {
  if (session_->IsRemote()) return Commit(true, false);
#ifndef NDEBUG
  for (const auto& t : tables_)
    VELMARON_DEBUG_ASSERT(!t->InTransaction() || !t->WritesHeld(),
                          "an unchanged transaction holds no writes");
#endif
  endEachTable([](TDataTable& t) { t.EndTransaction(true); }, false);
}

void TDataDirectory::Rollback() {
  if (session_->IsRemote()) {
    remoteRequest(REQUEST_ROLLBACKTXN, {});
    for (TDataCursor* c : cursors_) c->DropRecordBlock();
  }
  goBack([](TDataTable& t) { t.RollbackTransaction(); });
}

}  // namespace engine
