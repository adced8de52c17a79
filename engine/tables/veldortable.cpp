#include "engine/tables/veldortable.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/storage/veldorjournal.h"
#include "engine/storage/veldorkeys.h"
#include "engine/storage/veldoros.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/values/veldorvalues.h"
#include "platform/debugassert.h"
#include "platform/oserror.h"
#include "platform/scopeguard.h"
#include "platform/textrules.h"

namespace engine {

using platform::FirstFailure;
using platform::UndoOnFailure;

namespace {

constexpr uint32_t kInitialRecordSetSize = 8192;
// Entries of UnlockRecords' list kept from call to call.
constexpr size_t kKeptUnlockNumbers = 64;

}  // namespace

TDataTable::TDataTable(TDataDirectory& directory)
    : directory_(&directory),
      session_(&directory.Session()),
      data_(std::make_unique<TDataFile>(this, false, &directory.FileList())),
      index_(std::make_unique<TIndexFile>(*this, &directory.FileList())),
      blob_(std::make_unique<TBlobFile>(*this, &directory.FileList())) {
  lockedRecords_.SetSize(kInitialRecordSetSize);
  deferredUnlocks_.SetSize(kInitialRecordSetSize);
}

TDataTable::~TDataTable() {
  {
    std::lock_guard guard(directory_->FileList().Section());
    ReleaseKeptFiles();
  }
  try {
    Close(true);
  } catch (...) {
    // A destructor cannot raise. The files close with their objects below, and the system
    // releases every byte-range lock of a file when its last handle closes.
  }
}

std::string TDataTable::GetDirectoryName() const {
  return IsRemote() ? directory_->Name() : directory_->Path();
}

void TDataTable::raise(uint16_t code) const {
  SignalTableError(code, name_, GetDirectoryName());
}

std::string TDataTable::FileNameFor(const std::string& directoryPath, std::string_view tableName,
                                    bool inMemory, std::string_view ext) {
  (void)inMemory;
  std::string name = ForceFileExt(TrimBlanks(tableName), kDataFileExt, ext);
  if (!IsPathName(name)) name.insert(0, directoryPath);
  return name;
}

std::string TDataTable::FileName(std::string_view ext) const {
  return FileNameFor(GetDirectoryName(), name_, inMemory_, ext);
}

void TDataTable::nameFiles() {
  journalPath_.clear();
  TFileHandler* files[] = {data_.get(), index_.get(), blob_.get()};
  const std::string_view exts[] = {kDataFileExt, kIndexFileExt, kBlobFileExt};
  for (int i = 0; i < 3; ++i) {
    files[i]->SetName(FileName(exts[i]));
    files[i]->SetExclusive(exclusive_);
    files[i]->SetInMemory(inMemory_);
    files[i]->SetTemporary(temporary_);
  }
}

bool TDataTable::HasBlobFields() const {
  return data_->IsOpen() && data_->GetBlobFieldCount() > 0;
}

bool TDataTable::BlobFileInUse() const {
  return blob_->IsOpen();
}

uint32_t TDataTable::GetBlobChangeCounter() const {
  return BlobFileInUse() ? blob_->GetChangeCounter() : 0;
}

void TDataTable::VerifyHeaders() {
  data_->VerifyHeader();
  index_->VerifyHeader();
  if (BlobFileInUse()) blob_->VerifyHeader();
}

void TDataTable::CheckVersions() {
  data_->CheckVersion();
  index_->CheckVersion();
  if (BlobFileInUse()) blob_->CheckVersion();
}

// ---- Life ----

void TDataTable::closeFiles() {
  FirstFailure failure;
  failure.run([&] { index_->Close(); });
  failure.run([&] { blob_->Close(); });
  failure.run([&] { data_->Close(); });
  failure.raise();
}

void TDataTable::openFiles() {
  data_->Open();
  index_->Open();
  if (data_->GetBlobFieldCount() > 0) {
    blob_->SetBlockSize(data_->GetBlobBlockSize());
    blob_->SetEncrypted(data_->IsEncrypted());
    blob_->Open();
  }
  opened_ = true;
  readOnlyAttribute_ =
      data_->IsReadOnlyAttribute() || index_->IsReadOnlyAttribute() || blob_->IsReadOnlyAttribute();
  readOnly_ = readOnlyAttribute_ || data_->IsReadOnly() || index_->IsReadOnly() || blob_->IsReadOnly();
}

const std::string& TDataTable::journalPath() const {
  // Spelt as the data file lies on disk, so that every process names it alike and one exact
  // look-up finds it. Never cut to an engine string: the folder and the name together may be
  // longer, and a cut path could be another table's journal or lie outside the table's folder.
  // Where it fits, the path is the one earlier builds used, so their journals are found.
  if (journalPath_.empty()) {
    const std::string data = FileName(kDataFileExt);
    // Files that start in memory write no journal and have nothing on disk to spell it after.
    const bool spelt = inMemory_ || data_->IsMemoryFirst();
    const std::string path = spelt ? data : directory_->FileList().FileSystem().resolvePath(data);
    journalPath_ = ForcePathExt(path, kDataFileExt, kJournalExt);
    // A name long enough for its files' extensions to be cut ("NAME.DA", "NAME.D") has its
    // journal's cut as far ("NAME.JN", "NAME.J"), as a new table's files are named: the whole
    // extension would make a name longer than a folder entry may be.
    const size_t slash = path.find_last_of('/');
    const std::string_view base = std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
    if (base.size() == kEngineStringLength)
      for (size_t cut = kDataFileExt.size() - 1; cut >= 2; --cut)
        if (platform::equalIgnoringAsciiCase(base.substr(base.size() - cut), kDataFileExt.substr(0, cut))) {
          journalPath_ = path.substr(0, path.size() - cut) + std::string(kJournalExt.substr(0, cut));
          break;
        }
  }
  return journalPath_;
}

void TDataTable::holdWrites(bool hold) {
  for (TFileHandler* f : {static_cast<TFileHandler*>(data_.get()), static_cast<TFileHandler*>(index_.get()),
                          static_cast<TFileHandler*>(blob_.get())})
    f->SetHoldWrites(hold);
}

std::array<TFileHandler*, 3> TDataTable::journalFiles() const {
  return {data_->IsOpen() ? data_.get() : nullptr, index_->IsOpen() ? index_.get() : nullptr,
          BlobFileInUse() ? blob_.get() : nullptr};
}

TJournalTable TDataTable::JournalTarget() {
  TJournalTable target;
  target.journalPath = journalPath();
  target.files = journalFiles();
  // A table that only this process can open (exclusive) and that goes at its close (temporary)
  // has nothing for a crash to leave half written: it is not there for anyone afterwards. Like
  // an in-memory table it writes no journal; a failed write still rolls back from memory.
  target.journal = !inMemory_ && !scratch_ && !(temporary_ && exclusive_);
  // A table shared with other processes keeps its journal file between write-outs; one held
  // alone writes few and leaves nothing beside its files.
  if (target.journal && !exclusive_) target.handle = &directory_->JournalHandle(target.journalPath);
  if (target.handle) {
    if (journalSeen_) {
      target.handle->Seen(*journalSeen_);
    } else {
      target.handle->Unseen();
    }
  }
  journalSeen_.reset();
  return target;
}

void TDataTable::WriteThrough() {
  VELMARON_DEBUG_ASSERT(!inTransaction_ && !IsRemote(), "a copy is its writer's alone");
  writeOutHeld(false);
  holdWrites(false);
}

bool TDataTable::WritesHeld() const {
  for (TFileHandler* f : journalFiles())
    if (f && f->HasHeldWrites()) return true;
  return false;
}

void TDataTable::writeOutHeld(bool durable) {
  if (!WritesHeld()) return;
  // A write-out that fails may leave its journal with the new headers on disk (when putting the
  // old bytes back failed too): those held here then match the disk but are not what the roll-back
  // leaves, and the next pair must not take them as current.
  UndoOnFailure unsure([&] { headersUnsure_ = true; });
  WriteOutTables(directory_->FileList().FileSystem(), {JournalTarget()}, durable);
}

bool TDataTable::recoverHotJournal(bool dataLockHeld) {
  journalSeen_.reset();
  if (inMemory_ || !opened_) return false;
  platform::FileSystem& fs = directory_->FileList().FileSystem();
  const std::string path = journalPath();
  platform::FileIdentity found;
  const TJournalState state = JournalState(fs, path, &found);
  if (state != TJournalState::Hot) {
    // The write-out under this lock need not look again (a table held alone keeps no handle).
    if (state == TJournalState::Empty && !exclusive_ && (dataLockHeld || transactionLockHeld_ || writeHeld_))
      journalSeen_ = found;
    return false;
  }
  if (exclusive_ || writeHeld_) return RecoverJournal(fs, path, journalFiles());
  // Under the table's exclusive lock: the write locks of its three files, which no reader's slot
  // and no other writer can share.
  bool data = false, index = false, blob = false, recovered = false;
  FirstFailure failure;
  failure.run([&] {
    if (!transactionLockHeld_ && !dataLockHeld && !(data = data_->LockWrite())) raise(data_->LockFailure());
    if (!(index = index_->LockWrite())) raise(index_->LockFailure());
    if (BlobFileInUse() && !(blob = blob_->LockWrite())) raise(blob_->LockFailure());
    recovered = RecoverJournal(fs, path, journalFiles());
  });
  if (blob) blob_->UnlockWrite();
  if (index) index_->UnlockWrite();
  if (data) data_->UnlockWrite();
  failure.raise();
  return recovered;
}

void TDataTable::Open() {
  IncOpenCount();
  openedFiles_ = !opened_;
  if (opened_) return;
  if (IsRemote()) {
    // The server opens the files; the headers come with the cursor's open reply.
    opened_ = true;
    return;
  }
  if (resumeKeptFiles()) {
    // Like a table that other cursors keep open: what is on disk is checked at the first read.
    openedFiles_ = false;
    return;
  }
  written_ = false;
  nameFiles();
  UndoOnFailure undo([&] {
    opened_ = false;
    DecOpenCount();
    closeFiles();
  });
  if (inMemory_) {
    openFiles();
  } else {
    openPastSwaps();
  }
  const TJournalState journal =
      inMemory_ ? TJournalState::None : JournalState(directory_->FileList().FileSystem(), journalPath());
  // A commit cut short by the end of a process is rolled back before anything is read; the
  // files are then opened afresh, since what they read at open may have been half written.
  if (journal == TJournalState::Hot) {
    // Files that can only be read cannot be put back; reading them would show a half-written
    // change.
    if (readOnly_) SignalTableError(VELDOR_OSEACCES, journalPath(), GetDirectoryName());
    recoverHotJournal();
    closeFiles();
    openFiles();
  } else if (journal == TJournalState::Empty) {
    dropUnheldJournal();
  }
  holdWrites(!readOnly_);
  indexReadSlot_ = blobReadSlot_ = queryIndexReadSlot_ = queryBlobReadSlot_ = 0;
}

bool TDataTable::keepFiles() {
  if (temporary_ || scratch_ || anyLockHeld() || WritesHeld() || !data_->UnlockAllRecords()) return false;
  std::lock_guard guard(directory_->FileList().Section());
  for (TFileHandler* f : journalFiles()) {
    if (f && !f->Keep(*this)) {
      // The files kept so far let their share mode go: they close before any other user of the
      // list could find them open without it.
      closeFiles();
      return false;
    }
  }
  filesKept_ = true;
  return true;
}

bool TDataTable::FilesKept() {
  std::lock_guard guard(directory_->FileList().Section());
  return filesKept_;
}

void TDataTable::ReleaseKeptFiles() noexcept {
  if (!filesKept_) return;
  filesKept_ = false;
  try {
    closeFiles();
  } catch (...) {
    // Nothing is held that a failed close could leave behind: the locks went at the logical
    // close, and the handles are gone either way.
  }
}

bool TDataTable::resumeKeptFiles() {
  if (!FilesKept()) return false;
  bool resumed = false;
  {
    std::lock_guard guard(directory_->FileList().Section());
    if (!filesKept_) return false;
    filesKept_ = false;
    resumed = true;
    for (TFileHandler* f : journalFiles()) {
      if (!resumed) break;
      if (!f) continue;
      f->SetExclusive(exclusive_);
      resumed = f->Resume();
    }
    // Files not taken back hold no share mode: they close before any other user of the list
    // could find them open without it and open them alongside.
    if (!resumed) {
      closeFiles();
      return false;
    }
  }
  if (resumed && !inMemory_) {
    // A swap that another process began or left is the full open's to wait for or complete. Its
    // marker is looked for under the share modes taken again, and the names after it: a swap
    // that checks the files later finds them open and waits; one that checked them before holds
    // its marker until its moves are done, so either the marker or the moved names show here.
    // The swap marker is looked for whether or not a copy marker shows: the copy marker a swap
    // holds may be one left by an ended copy under another spelling of the name, which it took
    // over, and an open elsewhere removing a stale one may take it away at any moment. One look
    // at the folder finds both kinds, in any spelling.
    // Only with no swap marker may a copy's new table go as one cut short: once its swap marker
    // is written that table is the one the name leads to, and the full open completes the swap
    // before anything else. One that cannot go yet is the full open's to report, and so is a
    // swap whose marker was written between that look and the hold on the copy's marker.
    try {
      resumed = DropCopyCutShort(*directory_, name_);
    } catch (const EVELDOREngineError&) {
      resumed = false;
    }
    for (TFileHandler* f : journalFiles())
      if (resumed && f) resumed = f->KeptUnchanged();
    // The counters are seen through the files' views, without a system call: a write by
    // another process since the close shows there even when the file's times cannot tell it.
    resumed = resumed && data_->ChangeCounterCurrent() && index_->ChangeCounterCurrent() &&
              (!BlobFileInUse() || blob_->ChangeCounterCurrent());
    // A table shared with other writers reads nothing from its files before it takes a read
    // pair, a write pair or the transaction lock, each of which rolls a hot journal back first;
    // until then it reads its caches, which the counters just proved current (a commit cut short
    // before its headers were written leaves them so, and rolled back it leaves what they hold).
    // A table held alone takes no pair, and one that can only be read never rolls back: both are
    // looked at here, as a full open would.
    if (resumed && (exclusive_ || readOnly_)) {
      const TJournalState journal = JournalState(directory_->FileList().FileSystem(), journalPath());
      if (journal == TJournalState::Hot) {
        resumed = false;
      } else if (journal == TJournalState::Empty) {
        dropUnheldJournal();
      }
    }
  }
  if (!resumed) {
    closeFiles();
    return false;
  }
  opened_ = true;
  written_ = false;
  holdWrites(!readOnly_);
  indexReadSlot_ = blobReadSlot_ = queryIndexReadSlot_ = queryBlobReadSlot_ = 0;
  return true;
}

void TDataTable::dropUnheldJournal() {
  // Writers keep theirs; one that nobody keeps was left by a writer that ended.
  if (exclusive_ || readOnly_ || directory_->HoldsJournal(journalPath())) return;
  platform::FileSystem& fs = directory_->FileList().FileSystem();
  if (fs.openAnywhereAsSpelt(journalPath())) return;
  // Under the data file's write lock no write-out is in flight; a writer that opened the journal
  // since finds it gone at its next one. A lock held elsewhere leaves the journal to a later open.
  if (!data_->LockRegion(true, kDataWriteLockOffset, 1)) return;
  journalSeen_.reset();
  if (JournalState(fs, journalPath()) == TJournalState::Empty) fs.deleteFileAsSpelt(journalPath());
  data_->LockRegion(false, kDataWriteLockOffset, 1);
}

bool TDataTable::SettleSwaps(TDataDirectory& directory, std::string_view name) {
  platform::FileSystem& fs = directory.FileList().FileSystem();
  for (uint32_t attempt = 1; !CompleteSwap(directory, name); ++attempt) {
    if (attempt >= kFileLockRetryRules.attempts) return false;
    fs.sleepFor(kFileLockRetryRules.pause);
  }
  return true;
}

void TDataTable::settleSwaps(std::string_view name) {
  if (!SettleSwaps(*directory_, name)) raise(VELDOR_LOCKTIMEOUT);
}

void TDataTable::openPastSwaps() {
  platform::FileSystem& fs = directory_->FileList().FileSystem();
  // A swap elsewhere that is moving this table's files is waited for; one that begins after the
  // files opened here makes them let go again, so that its moves are not refused.
  for (uint32_t attempt = 1;; ++attempt) {
    if (CompleteSwap(*directory_, name_)) {
      openFiles();
      if (!SwapMarked(*directory_, name_)) return;
      closeFiles();
    }
    if (attempt >= kFileLockRetryRules.attempts) raise(VELDOR_LOCKTIMEOUT);
    fs.sleepFor(kFileLockRetryRules.pause);
  }
}

void TDataTable::Close(bool releaseFlag, bool keep) {
  if (!opened_) return;
  DecOpenCount();
  if (inTransaction_ || openCount_ > 0) return;
  if (IsRemote()) {
    UnlockRecords(false);
    opened_ = false;
    return;
  }
  FirstFailure failure;
  if (exclusive_ && !readOnly_) {
    if (temporary_ && releaseFlag) {
      failure.run([&] { DiscardCaches(true, false); });
    } else {
      failure.run([&] { FlushTable(false, false, false, false, false); });
    }
  }
  failure.run([&] { UnlockRecords(false); });
  failure.run([&] { EndRead(); });
  failure.run([&] { EndQueryRead(); });
  failure.run([&] { EndWrite(); });
  failure.run([&] { UnlockForTransaction(); });
  indexReadSlot_ = blobReadSlot_ = queryIndexReadSlot_ = queryBlobReadSlot_ = 0;
  if (!keep || failure.failed() || !keepFiles()) failure.run([&] { closeFiles(); });
  opened_ = false;
  written_ = false;
  scratch_ = false;
  failure.raise();
}

namespace {

// A file name is cut to the engine's length: a name long enough to lose the extensions' distinct
// letters would give the data, index and blob files one name, and the second of them would find
// the first in the way.
void checkFileNamesDistinct(std::string_view tableName, const std::string& data, const std::string& index,
                            const std::string& blob, std::string_view directory) {
  if (data == index || data == blob || index == blob)
    SignalTableError(VELDOR_TABLENAMETOOLONG, TrimBlanks(tableName), directory);
}

}  // namespace

void TDataTable::CreateFiles(const TTableDefinition& definition, bool replace) {
  checkFileNamesDistinct(name_, FileName(kDataFileExt), FileName(kIndexFileExt), FileName(kBlobFileExt),
                         GetDirectoryName());
  const bool memoryFirst = definition.memoryFirst && temporary_ && exclusive_ && !inMemory_;
  // A lasting table on disk: no other process may find its name leading to files part made, nor
  // make the same files meanwhile. A data file already there is an existing table made again in
  // its place, as it always was: a table to replace that is there at the first look (a name
  // claimed by MakeTempTableName, say) takes no hold.
  const std::string dataName = FileName(kDataFileExt);
  bool intoPlace = !inMemory_ && !memoryFirst && !temporary_;
  std::optional<TCreateHold> hold;
  if (intoPlace) {
    bool exists = false;
    if (replace) {
      settleSwaps(name_);
      exists = directory_->FileList().FileExists(dataName, false);
    }
    if (!exists) {
      hold.emplace(*directory_, name_);
      exists = directory_->FileList().FileExists(dataName, false);
      if (exists && !replace) raise(VELDOR_TABLEEXISTS);
    }
    intoPlace = !exists && FileName(kDataNewExt) != dataName;
  }
  IncOpenCount();
  opened_ = true;
  written_ = false;
  scratch_ = definition.scratch;
  nameFiles();
  if (intoPlace) data_->SetName(FileName(kDataNewExt));
  for (TFileHandler* f : {static_cast<TFileHandler*>(data_.get()), static_cast<TFileHandler*>(index_.get()),
                          static_cast<TFileHandler*>(blob_.get())})
    f->SetMemoryFirst(memoryFirst);
  // Files that no name leads to yet need no journal: they are written straight.
  holdWrites(!intoPlace);
  bool blobCreated = false;
  UndoOnFailure undo([&] {
    opened_ = false;
    DecOpenCount();
    closeFiles();
    if (data_->FileExists()) data_->DeleteFile();
    if (index_->FileExists()) index_->DeleteFile();
    if (blobCreated && blob_->FileExists()) blob_->DeleteFile();
  });
  data_->DefineStructure(definition.languageId, definition.sortId, definition.userVersion1,
                         definition.userVersion2, definition.encrypted, definition.password,
                         definition.description, definition.blobBlockSize, definition.fields);
  index_->CreateFile();
  // A journal of an earlier table of this name would put its old bytes over the new files. It
  // goes once the files are made, when nobody else has them open.
  // A table whose files start in memory has a name nobody's files had, and writes no journal.
  if (!inMemory_ && !memoryFirst) DeleteJournal(directory_->FileList().FileSystem(), journalPath());
  index_->DefinePrimaryIndex(definition.indexes.empty() ? TIndexDescriptor{} : definition.indexes[0]);
  for (size_t i = 1; i < definition.indexes.size(); ++i) index_->AddSecondaryIndex(definition.indexes[i]);
  if (definition.textIndex) index_->SetIndexDescriptor(kSysTextSlot, *definition.textIndex);
  if (data_->GetBlobFieldCount() > 0) {
    blob_->SetBlockSize(data_->GetBlobBlockSize());
    blob_->SetEncrypted(data_->IsEncrypted());
    blob_->CreateFile();
    blobCreated = true;
  }
  // The headers go out at once, so that the files open again whatever happens next; for a
  // table about to take its name they reach the device before the name does.
  FlushTable(false, true, intoPlace, true, true);
  if (intoPlace) {
    data_->Close();
    data_->RenameFile(dataName);
    platform::FileSystem& fs = directory_->FileList().FileSystem();
    fs.syncFolder(directory_->Path());
    // An open elsewhere that looked for swap markers just before the hold was taken may find the
    // new data file and open it before it sees the hold and lets go: waited for as an open waits.
    const bool reopened = RetryLock(
        [&](uint32_t) {
          try {
            data_->Open();
            return true;
          } catch (const EVELDOREngineError&) {
            if (platform::lastOsError() != platform::kSharingViolation) throw;
            return false;
          }
        },
        kFileLockRetryRules, fs);
    if (!reopened) raise(VELDOR_LOCKTIMEOUT);
    holdWrites(true);
  }
  readOnly_ = readOnlyAttribute_ = false;
}

void TDataTable::DeleteFiles() {
  if (!inMemory_) settleSwaps(name_);
  nameFiles();
  const std::string journal = journalPath();
  data_->DeleteFile();
  index_->DeleteFile();
  if (blob_->FileExists()) blob_->DeleteFile();
  if (inMemory_) return;
  DeleteJournal(directory_->FileList().FileSystem(), journal);
  directory_->DropJournalHandle(journal);
}

void TDataTable::RenameFiles(std::string_view newName, bool backup) {
  const std::string base(TrimBlanks(newName));
  // Within the folder, to another name: one step for everyone else (TRenameMarks). A rename to
  // the name in other letters' case is not marked: its files are found under either spelling.
  const bool marked = !inMemory_ && !backup && !IsPathName(base) && !IsPathName(name_) &&
                      !platform::equalIgnoringAsciiCase(
                          FileName(kDataFileExt), FileNameFor(GetDirectoryName(), base, false, kDataFileExt));
  if (marked) {
    settleSwaps(name_);
    settleSwaps(base);
  }
  nameFiles();
  // A change a dead process left half written is put back under the old name first.
  if (!inMemory_ && !opened_ && JournalHot(directory_->FileList().FileSystem(), journalPath())) {
    Open();
    Close(true);
    nameFiles();
  }
  const std::string journal = inMemory_ ? std::string() : journalPath();
  TFileHandler* files[] = {data_.get(), index_.get(), blob_.get()};
  const std::string_view exts[] = {backup ? kDataBackupExt : kDataFileExt,
                                   backup ? kIndexBackupExt : kIndexFileExt,
                                   backup ? kBlobBackupExt : kBlobFileExt};
  const std::string directory = IsPathName(base) || inMemory_ ? std::string() : GetDirectoryName();
  checkFileNamesDistinct(base, ForceFileExt(base, kDataFileExt, exts[0]),
                         ForceFileExt(base, kDataFileExt, exts[1]), ForceFileExt(base, kDataFileExt, exts[2]),
                         GetDirectoryName());
  std::optional<TRenameMarks> marks;
  if (marked) marks.emplace(*directory_, name_, base, blob_->FileExists());
  std::string oldNames[3];
  int renamed = 0;
  UndoOnFailure undo([&] {
    FirstFailure back;
    for (int i = renamed - 1; i >= 0; --i) back.run([&] { files[i]->RenameFile(oldNames[i]); });
    // Every file back in place: the markers have nothing left to complete.
    if (marks && !back.failed()) back.run([&] { marks->Done(); });
  });
  if (marked) {
    // Looked for once the marker beside the new name is held: a create of the name elsewhere
    // holds it while it makes the files, so none is part made now. A data file there is a table,
    // made before the rename or by a create it waited for, and nothing may move onto it. An index
    // or blob file with no data file is of no table (a create or drop ended part way left it),
    // and would refuse the move; one held open is refused here.
    TFileList& list = directory_->FileList();
    if (list.FileExists(directory + ForceFileExt(base, kDataFileExt, kDataFileExt), false))
      SignalTableError(VELDOR_TABLEEXISTS, base, GetDirectoryName());
    for (std::string_view ext : {kIndexFileExt, kBlobFileExt}) {
      const std::string stale = directory + ForceFileExt(base, kDataFileExt, ext);
      if (!list.FileExists(stale, false)) continue;
      const int32_t r = list.DeleteFile(stale, false);
      if (r < 0) SignalTableError(uint16_t(-r), stale, GetDirectoryName());
    }
  }
  for (int i = 0; i < 3; ++i) {
    oldNames[i] = files[i]->GetName();
    if (i == 2 && !files[i]->FileExists()) break;
    const std::string target = directory + ForceFileExt(base, kDataFileExt, exts[i]);
    if (backup && directory_->FileList().FileExists(target, inMemory_)) {
      const int32_t r = directory_->FileList().DeleteFile(target, inMemory_);
      if (r < 0) SignalTableError(uint16_t(-r), target, GetDirectoryName());
    }
    files[i]->RenameFile(target);
    ++renamed;
  }
  undo.Dismiss();
  if (marks) marks->Done();
  if (journal.empty()) return;
  // What is left under the old name is an empty journal that the files no longer need; one that
  // cannot go is harmless.
  directory_->DropJournalHandle(journal);
  platform::FileSystem& fs = directory_->FileList().FileSystem();
  if (fs.existsAsSpelt(journal)) fs.deleteFileAsSpelt(journal);
}

void TDataTable::EmptyTable() {
  holdsIdleRow_ = false;
  data_->Empty();
  index_->Empty();
  if (BlobFileInUse()) blob_->Empty();
  writeOutHeld(ForceBufferFlush());
  DiscardCaches(false, false);
}

namespace {

void appendBytes(std::string& out, const void* bytes, size_t count) {
  out.append(static_cast<const char*>(bytes), count);
}

void appendIndexShape(std::string& out, TIndexDescriptor index) {
  // The pages of its tree are the rows', not the shape's.
  index.rootPage = index.freePageHead = index.textParamsPage = 0;
  uint8_t image[kIndexDescriptorSize] = {};
  index.StoreTo(image);
  appendBytes(out, image, sizeof image);
}

}  // namespace

std::string TDataTable::PoolKey(const TTableDefinition& definition, bool noPrimaryIndex) {
  if (!definition.memoryFirst || !definition.password.empty() || definition.encrypted) return {};
  std::string key;
  key.reserve(definition.fields.size() * TFieldDescriptor::kSize +
              definition.indexes.size() * kIndexDescriptorSize + definition.description.size() + 32);
  const uint32_t counts[] = {uint32_t(definition.fields.size()),
                             uint32_t(definition.indexes.size()),
                             uint32_t(definition.description.size()),
                             definition.languageId,
                             definition.sortId,
                             definition.userVersion1,
                             definition.userVersion2,
                             definition.blobBlockSize,
                             definition.textIndex ? 1u : 0u,
                             noPrimaryIndex ? 1u : 0u};
  appendBytes(key, counts, sizeof counts);
  for (const TFieldDescriptor& f : definition.fields) {
    // A blob field needs a blob file, which the pool does not keep.
    if (f.IsBlob()) return {};
    appendBytes(key, f.Bytes(), TFieldDescriptor::kSize);
  }
  for (const TIndexDescriptor& index : definition.indexes) appendIndexShape(key, index);
  if (definition.textIndex) appendIndexShape(key, *definition.textIndex);
  key += definition.description;
  return key;
}

std::string TDataTable::structureImage() const {
  const uint16_t fields = data_->GetFieldCount();
  std::string image(kDataHeaderSize + kIndexHeaderSize + size_t(fields) * TFieldDescriptor::kSize, '\0');
  auto* at = reinterpret_cast<uint8_t*>(image.data());
  data_->GetSettingsHeader(at);
  index_->GetSettingsHeader(at + kDataHeaderSize);
  at += kDataHeaderSize + kIndexHeaderSize;
  for (uint16_t p = 1; p <= fields; ++p, at += TFieldDescriptor::kSize)
    std::memcpy(at, data_->GetFieldDescriptor(p)->Bytes(), TFieldDescriptor::kSize);
  return image;
}

bool TDataTable::structureIs(const std::string& image) const {
  const uint16_t fields = data_->GetFieldCount();
  if (image.size() != kDataHeaderSize + kIndexHeaderSize + size_t(fields) * TFieldDescriptor::kSize)
    return false;
  const auto* at = reinterpret_cast<const uint8_t*>(image.data());
  uint8_t header[std::max(kDataHeaderSize, kIndexHeaderSize)];
  data_->GetSettingsHeader(header);
  if (std::memcmp(header, at, kDataHeaderSize) != 0) return false;
  index_->GetSettingsHeader(header);
  if (std::memcmp(header, at + kDataHeaderSize, kIndexHeaderSize) != 0) return false;
  at += kDataHeaderSize + kIndexHeaderSize;
  for (uint16_t p = 1; p <= fields; ++p, at += TFieldDescriptor::kSize)
    if (std::memcmp(at, data_->GetFieldDescriptor(p)->Bytes(), TFieldDescriptor::kSize) != 0) return false;
  return true;
}

void TDataTable::NotePoolable(std::string key) {
  poolKey_ = std::move(key);
  poolImage_ = poolKey_.empty() ? std::string() : structureImage();
}

bool TDataTable::Idle() {
  if (poolKey_.empty() || openCount_ != 1 || !opened_ || inTransaction_ || !scratch_ || !temporary_ ||
      !exclusive_ || inMemory_ || readOnly_ || IsRemote() || BlobFileInUse() || anyLockHeld() ||
      !data_->MemoryFirstInMemory() || !index_->MemoryFirstInMemory())
    return false;
  // As the close of a temporary table: its rows are dropped unwritten (the emptying clears the
  // caches first), and the caches give back what they grew to.
  UnlockRecords(false);
  indexReadSlot_ = blobReadSlot_ = queryIndexReadSlot_ = queryBlobReadSlot_ = 0;
  // Still as its one row left it: the row stays for the next creator of one row, which writes
  // it anew whatever its user made of its fields; the record-id tree is still to be built, so
  // no key holds anything of it.
  holdsIdleRow_ = !rowImage_.empty() && index_->TreeBuildDeferred(kSysDeletedSlot) && structureIs(rowImage_);
  if (holdsIdleRow_) {
    DiscardCaches(false, false);
  } else {
    EmptyTable();
  }
  data_->TrimRecordCache();
  index_->TrimPageCache();
  if (!data_->MemoryFirstInMemory() || !index_->MemoryFirstInMemory() ||
      !(holdsIdleRow_ || structureIs(poolImage_))) {
    holdsIdleRow_ = false;
    return false;
  }
  DecOpenCount();
  while (userCount_ > 0) DecUserCount();
  written_ = false;
  return true;
}

void TDataTable::NoteIdleRow() {
  if (rowImage_.empty() && !poolKey_.empty()) rowImage_ = structureImage();
}

void TDataTable::Reuse() {
  IncOpenCount();
  opened_ = true;
  written_ = false;
  scratch_ = true;
  holdWrites(true);
  readOnly_ = readOnlyAttribute_ = false;
}

void TDataTable::forceToDevice(const std::string& file) {
  TFileList& files = directory_->FileList();
  if (const int32_t r = files.SyncFile(file); r < 0) SignalTableError(uint16_t(-r), file, GetDirectoryName());
  const size_t slash = file.find_last_of('/');
  if (!files.FileSystem().syncFolder(slash == std::string::npos ? std::string(".") : file.substr(0, slash)))
    SignalTableError(VELDOR_WRITEERR, file, GetDirectoryName());
}

void TDataTable::BackupIndex() {
  FlushTable(false, false, false, false, false);
  const std::string backup = FileName(kIndexBackupExt);
  index_->CopyToNewFile(backup, false, nullptr, 0);
  // Whatever rewrites the index next may be cut short by a power loss: the backup, its bytes and
  // its name, is on the device before that.
  if (!inMemory_) forceToDevice(backup);
}

void TDataTable::RestoreIndex(bool keepCurrent, bool deleteBackup) {
  const std::string backup = FileName(kIndexBackupExt);
  if (!keepCurrent) {
    index_->DropHeldWrites();
    index_->ClearPageCache();
    index_->Seek(kSeekBegin, 0);
    index_->CopyToFile(backup, false, nullptr, 0);
    index_->ReadHeader();
    MarkWritten();
  }
  if (deleteBackup && directory_->FileList().FileExists(backup, inMemory_)) {
    // Until the index in place is whole on the device, the backup is the one whole index.
    if (!inMemory_) {
      FlushTable(false, false, true, false, false);
      forceToDevice(FileName(kIndexFileExt));
    }
    const int32_t r = directory_->FileList().DeleteFile(backup, inMemory_);
    if (r < 0) SignalTableError(uint16_t(-r), backup, GetDirectoryName());
  }
}

void TDataTable::SpillDirtyRecords() {
  if (readOnly_ || IsRemote() || !data_->IsOpen() || !data_->HoldsWrites()) return;
  data_->FlushDirtyRecords();
}

void TDataTable::DropHeldWrites() {
  for (TFileHandler* f : journalFiles())
    if (f) f->DropHeldWrites();
  FirstFailure failure;
  failure.run([&] { recoverHotJournal(); });
  failure.run([&] { DiscardCaches(true, true); });
  failure.raise();
}

// ---- Record locks ----

void TDataTable::SizeRecordSets(uint32_t recordNumber) {
  uint32_t need = recordNumber;
  if (data_->IsOpen()) need = std::max(need, data_->GetLastRecordNumber() + 1);
  // The sets only grow, so no bit of an earlier, larger size comes back.
  for (TRecordsBitmap* set : {&lockedRecords_, &deferredUnlocks_}) {
    if (set->Count() < need) set->SetSize(need);
  }
}

bool TDataTable::LockRecord(uint32_t recordNumber) {
  if (exclusive_ || readOnlyAttribute_) return false;
  if (recordNumber == 0) raise(VELDOR_RECLOCKFAILED);
  SizeRecordSets(recordNumber);
  // A remote table has no files here: the server holds the lock, this table only its mark.
  if (IsRemote()) {
    noteRecordLocked(recordNumber);
    return false;
  }
  if (transactionLockHeld_ && lockedRecords_.GetBit(recordNumber)) return false;
  const TDataSession& session = Session();
  const LockRetryRules rules = LockRetryRules::FromRetryCount(
      session.LockRetryCount(), std::chrono::milliseconds(session.LockWaitTime()));
  // Only a record held elsewhere is waited for; any other failure is reported as it is.
  bool taken = false;
  RetryLock(
      [&](uint32_t) {
        taken = data_->LockRecord(recordNumber);
        return taken || platform::lastOsError() != platform::kLockViolation;
      },
      rules, directory_->FileList().FileSystem());
  if (!taken) {
    const int error = platform::lastOsError();
    // A number past the last possible record is refused as record 0 is.
    raise(error == platform::kLockViolation || error == EINVAL ? VELDOR_RECLOCKFAILED
                                                               : OSErrorToEngineError(error));
  }
  SizeRecordSets(recordNumber);
  noteRecordLocked(recordNumber);
  deferredUnlocks_.ClearBit(recordNumber);
  bool changed = false;
  if (!StrictChangeDetection()) {
    // Another writer's state is taken once the lock is ours: the holder we waited for may have
    // changed the record just before it let go. The read pair is not kept.
    const bool held = readHeld_;
    UndoOnFailure undo([&] { UnlockRecord(recordNumber); });
    changed = BeginRead();
    if (!held && readHeld_) EndRead();
    undo.Dismiss();
  }
  return changed;
}

void TDataTable::UnlockRecord(uint32_t recordNumber) {
  if (exclusive_ || readOnlyAttribute_) return;
  if (recordNumber == 0) raise(VELDOR_UNLOCKFAILED);
  SizeRecordSets(recordNumber);
  if (transactionLockHeld_) {
    if (lockedRecords_.GetBit(recordNumber)) deferredUnlocks_.SetBit(recordNumber);
    return;
  }
  if (!lockedRecords_.GetBit(recordNumber)) raise(VELDOR_UNLOCKFAILED);
  if (!IsRemote() && !data_->UnlockRecord(recordNumber)) raise(VELDOR_UNLOCKFAILED);
  lockedRecords_.ClearBit(recordNumber);
}

void TDataTable::noteRecordLocked(uint32_t recordNumber) {
  if (!anyRecordLocked_) {
    lockedLow_ = lockedHigh_ = recordNumber;
    anyRecordLocked_ = true;
  } else {
    lockedLow_ = std::min(lockedLow_, recordNumber);
    lockedHigh_ = std::max(lockedHigh_, recordNumber);
  }
  lockedRecords_.SetBit(recordNumber);
}

void TDataTable::UnlockRecords(bool deferredOnly, bool* writeLock) {
  // Most tables never held a record lock: no walk over the set.
  if (!anyRecordLocked_) {
    if (writeLock) *writeLock = data_->UnlockWrite();
    return;
  }
  // The walk covers only the numbers ever locked since the set was last empty, not the whole set,
  // a word of the sets at a time: a transaction that appended many rows holds a lock each.
  std::vector<uint32_t>& records = unlockNumbers_;
  records.clear();
  // A list grown for many locks (a transaction's appends) is not kept.
  platform::ScopeExit trim([&] {
    if (records.capacity() > kKeptUnlockNumbers) std::vector<uint32_t>().swap(records);
  });
  bool kept = false;
  const uint32_t high = std::min(lockedHigh_, lockedRecords_.Count());
  for (uint32_t w = (lockedLow_ - 1) / 32; high > 0 && w <= (high - 1) / 32; ++w) {
    uint32_t bits = lockedRecords_.Word(w);
    if (bits == 0) continue;
    if (deferredOnly) {
      const uint32_t deferred = deferredUnlocks_.Word(w);
      kept |= (bits & ~deferred) != 0;
      bits &= deferred;
    }
    for (; bits != 0; bits &= bits - 1) records.push_back(w * 32 + uint32_t(std::countr_zero(bits)) + 1);
  }
  bool failed = false;
  if (!exclusive_ && !readOnlyAttribute_ && !IsRemote()) {
    failed = !data_->UnlockRecords(records, writeLock);
  } else if (writeLock) {
    *writeLock = data_->UnlockWrite();
  }
  for (size_t i = 0; i < records.size();) {
    size_t end = i + 1;
    while (end < records.size() && records[end] == records[end - 1] + 1) ++end;
    lockedRecords_.ClearRange(records[i], records[end - 1]);
    deferredUnlocks_.ClearRange(records[i], records[end - 1]);
    i = end;
  }
  if (!kept) anyRecordLocked_ = false;
  if (failed) raise(VELDOR_UNLOCKFAILED);
}

void TDataTable::LockRecordsAhead(std::span<const uint32_t> numbers) {
  if (!transactionLockHeld_ || exclusive_ || readOnlyAttribute_ || IsRemote() || numbers.empty()) return;
  SizeRecordSets(numbers.back());
  const auto take = [&](auto& self, size_t first, size_t last) -> void {
    if (data_->LockRecordRun(numbers[first], numbers[last])) {
      // The run's numbers follow one another.
      noteRecordLocked(numbers[first]);
      noteRecordLocked(numbers[last]);
      lockedRecords_.SetRange(numbers[first], numbers[last]);
      deferredUnlocks_.SetRange(numbers[first], numbers[last]);
      return;
    }
    if (first == last) return;
    const size_t middle = first + (last - first) / 2;
    self(self, first, middle);
    self(self, middle + 1, last);
  };
  // Each run of numbers that follow one another ([i, end), found once however many records it
  // holds locked already) is taken up to its first record locked already, which is passed over:
  // the bitmap is looked at a word at a time, not a record at a time.
  for (size_t i = 0, end = 0; i < numbers.size();) {
    if (numbers[i] == 0) {
      ++i;
      continue;
    }
    if (end <= i)
      for (end = i + 1; end < numbers.size() && numbers[end] == numbers[end - 1] + 1;) ++end;
    const uint32_t locked = lockedRecords_.FirstMemberIn(numbers[i], numbers[end - 1]);
    const size_t stop = locked == 0 ? end : i + (locked - numbers[i]);
    if (stop > i) take(take, i, stop - 1);
    i = locked == 0 ? end : stop + 1;
  }
}

// ---- Lock pairs ----

bool TDataTable::beginReadPair(bool& state, uint16_t& indexSlot, uint16_t& blobSlot, bool countOnly) {
  if (anyLockHeld() || exclusive_ || !opened_) return false;
  for (;;) {
    if (!index_->LockRead(indexSlot)) raise(index_->LockFailure());
    if (BlobFileInUse() && !blob_->LockRead(blobSlot)) {
      index_->UnlockRead(indexSlot);
      indexSlot = 0;
      raise(blob_->LockFailure());
    }
    state = true;
    if (countOnly && !headersUnsure_ && data_->ChangeCounterCurrent() && index_->ChangeCounterCurrent() &&
        (!BlobFileInUse() || blob_->ChangeCounterCurrent()) &&
        index_->GetRecordCount() == data_->GetLastRecordNumber())
      return false;
    // Looked for once the pair is held, when no writer can be in the middle of a write-out: a
    // journal found then was left by a process that ended in one, and one looked for before the
    // pair could be written and left by a writer that takes the table in between. It is rolled
    // back under the exclusive lock, which the pair would keep out, and the pair taken again.
    if (readOnly_ || inMemory_ || !JournalHot(directory_->FileList().FileSystem(), journalPath())) break;
    endReadPair(state, indexSlot, blobSlot);
    recoverHotJournal();
  }
  return refreshOrRelease([&] { endReadPair(state, indexSlot, blobSlot); });
}

void TDataTable::endReadPair(bool& state, uint16_t& indexSlot, uint16_t& blobSlot) {
  if (!state) return;
  state = false;
  bool released = true;
  if (BlobFileInUse()) released = blob_->UnlockRead(blobSlot);
  if (!index_->UnlockRead(indexSlot)) released = false;
  indexSlot = blobSlot = 0;
  if (!released) raise(VELDOR_UNLOCKFAILED);
}

bool TDataTable::refreshOrRelease(const std::function<void()>& release) {
  UndoOnFailure undo([&] { release(); });
  return RefreshIfChanged();
}

void TDataTable::SetFileLockRetryRules(const LockRetryRules& rules) {
  data_->SetLockRetryRules(rules);
  index_->SetLockRetryRules(rules);
  blob_->SetLockRetryRules(rules);
}

bool TDataTable::BeginRead() {
  return beginReadPair(readHeld_, indexReadSlot_, blobReadSlot_);
}
void TDataTable::EndRead() {
  endReadPair(readHeld_, indexReadSlot_, blobReadSlot_);
}
bool TDataTable::BeginQueryRead() {
  return beginReadPair(queryReadHeld_, queryIndexReadSlot_, queryBlobReadSlot_);
}
bool TDataTable::BeginCountRead() {
  return beginReadPair(queryReadHeld_, queryIndexReadSlot_, queryBlobReadSlot_, true);
}
void TDataTable::EndQueryRead() {
  endReadPair(queryReadHeld_, queryIndexReadSlot_, queryBlobReadSlot_);
}

bool TDataTable::BeginWrite() {
  if (writeHeld_ || exclusive_ || readOnlyAttribute_ || !opened_) return false;
  const bool takeData = !transactionLockHeld_;
  if (takeData && !data_->LockWrite()) raise(data_->LockFailure());
  if (!index_->LockWrite()) {
    if (takeData) data_->UnlockWrite();
    raise(index_->LockFailure());
  }
  if (BlobFileInUse() && !blob_->LockWrite()) {
    index_->UnlockWrite();
    if (takeData) data_->UnlockWrite();
    raise(blob_->LockFailure());
  }
  writeHeld_ = true;
  if (transactionLockHeld_) return false;
  UndoOnFailure release([&] { EndWrite(); });
  // Looked for once the write set is held, when no other writer can be in the middle of a
  // write-out: one looked for before could be left by a writer that takes the table in between
  // and ends part way through, and this change written over its half-written one. A transaction
  // looked when it took the data file's write lock, which it has held since.
  if (!readOnly_) recoverHotJournal();
  return RefreshIfChanged();
}

void TDataTable::EndWrite() {
  if (!writeHeld_) return;
  // What a write outside a transaction left held goes out before the pair is released; when
  // that fails, the files are as they were and the pair is released all the same.
  FirstFailure failure;
  if (!transactionLockHeld_) failure.run([&] { writeOutHeld(ForceBufferFlush()); });
  writeHeld_ = false;
  if (!transactionLockHeld_) journalSeen_.reset();
  bool released = true;
  if (BlobFileInUse()) released = blob_->UnlockWrite();
  if (!index_->UnlockWrite()) released = false;
  if (!transactionLockHeld_ && !data_->UnlockWrite()) released = false;
  failure.raise();
  if (!released) raise(VELDOR_LOCKTIMEOUT);
}

void TDataTable::LockForTransaction() {
  if (transactionLockHeld_ || readOnlyAttribute_) return;
  // A remote table's server takes the lock.
  if (!exclusive_ && !IsRemote()) {
    if (!data_->LockWrite()) raise(data_->LockFailure());
    UndoOnFailure release([&] { data_->UnlockWrite(); });
    // Once the lock every writer takes first is held, as in BeginWrite; the rollback adds the
    // index and blob write locks for its time.
    if (!readOnly_) recoverHotJournal(true);
    RefreshIfChanged();
  }
  transactionLockHeld_ = true;
}

void TDataTable::UnlockForTransaction() {
  if (!transactionLockHeld_) return;
  transactionLockHeld_ = false;
  journalSeen_.reset();
  if (exclusive_) return;
  if (IsRemote()) {
    UnlockRecords(true);
    return;
  }
  // The write lock and the record locks that waited for it go together, in one system call
  // when no other lock of this process lies between them.
  bool released = false;
  UnlockRecords(true, &released);
  if (!released) raise(VELDOR_LOCKTIMEOUT);
}

// ---- Transaction steps ----

void TDataTable::StartTransaction() {
  if (readOnly_ || inTransaction_) return;
  if (exclusive_ && !IsRemote()) FlushTable(false, false, false, false, false);
  remoteIndexKept_.clear();
  inTransaction_ = true;
  UndoOnFailure undo([&] { inTransaction_ = false; });
  LockForTransaction();
}

void TDataTable::RollbackTransaction() {
  leaveTransaction(false);
}

void TDataTable::AbandonTransaction() {
  leaveTransaction(true);
}

void TDataTable::leaveTransaction(bool afterFailedWrite) {
  if (readOnly_ || !inTransaction_) return;
  inTransaction_ = false;
  FirstFailure failure;
  for (TFileHandler* f : journalFiles())
    if (f) f->DropHeldWrites();
  // A write-out that could not even put the old bytes back left its journal; still under the
  // write locks, it is rolled back here.
  if (afterFailedWrite) {
    headersUnsure_ = true;
    failure.run([&] {
      recoverHotJournal();
      headersUnsure_ = false;
    });
  }
  if (!IsRemote()) failure.run([&] { DiscardCaches(true, true); });
  if (!remoteIndexKept_.empty()) failure.run([&] { index_->LoadHeaderFromReply(remoteIndexKept_.data()); });
  remoteIndexKept_.clear();
  failure.run([&] { EndWrite(); });
  failure.run([&] { UnlockForTransaction(); });
  failure.raise();
}

void TDataTable::PrepareCommit() {
  if (readOnly_ || !inTransaction_ || IsRemote()) return;
  BeginWrite();
}

void TDataTable::WriteTransaction(bool endTransaction, bool forceFlush) {
  if (readOnly_ || !inTransaction_ || IsRemote()) return;
  inTransaction_ = false;
  deferWriteOut_ = true;
  FirstFailure failure;
  failure.run([&] { FlushTable(endTransaction, false, forceFlush, false, false); });
  deferWriteOut_ = false;
  inTransaction_ = true;
  failure.raise();
}

void TDataTable::EndTransaction(bool endTransaction) {
  if (readOnly_ || !inTransaction_) return;
  // What was committed stays: a later rollback goes back to the index list of now, not of before.
  remoteIndexKept_.clear();
  FirstFailure failure;
  if (endTransaction) {
    failure.run([&] { EndWrite(); });
    failure.run([&] { UnlockForTransaction(); });
    inTransaction_ = false;
  } else {
    transactionLockHeld_ = false;
    failure.run([&] { UnlockRecords(true); });
    transactionLockHeld_ = true;
    failure.run([&] { EndWrite(); });
  }
  failure.raise();
}

// ---- Caches ----

void TDataTable::FlushTable(bool trimCaches, bool forceDataHeader, bool forceFlush, bool forceBlobHeader,
                            bool forceIndexHeader) {
  if (readOnly_) return;
  if (inTransaction_) {
    if (forceDataHeader) data_->IncChangeCounter();
    if (forceIndexHeader && index_->IsOpen()) index_->IncChangeCounter();
    if (forceBlobHeader && BlobFileInUse()) blob_->IncChangeCounter();
    return;
  }
  const bool flush = forceFlush || ForceBufferFlush();
  if (data_->IsOpen()) {
    bool wrote = data_->FlushDirtyRecords();
    wrote |= data_->WriteHeader(forceDataHeader);
    wrote |= data_->WriteFieldDescriptors();
    if (wrote && flush) data_->Flush();
  }
  if (index_->IsOpen()) {
    bool wrote = index_->FlushDirtyPages();
    wrote |= index_->WriteHeader(forceIndexHeader);
    if (wrote && flush) index_->Flush();
  }
  if (BlobFileInUse()) {
    bool wrote = blob_->FlushDirtyBlocks();
    wrote |= blob_->WriteHeader(forceBlobHeader);
    if (wrote && flush) blob_->Flush();
  }
  if (!deferWriteOut_) writeOutHeld(flush);
  if (trimCaches) {
    if (data_->IsOpen()) data_->TrimRecordCache();
    if (index_->IsOpen()) index_->TrimPageCache();
    if (BlobFileInUse()) blob_->TrimBlockCache();
  }
}

void TDataTable::DiscardCaches(bool trimCaches, bool rereadHeaders) {
  FirstFailure failure;
  if (data_->IsOpen()) {
    failure.run([&] {
      data_->ClearRecordCache();
      if (trimCaches) data_->TrimRecordCache();
      if (rereadHeaders) {
        data_->ReadHeader();
        // Field descriptors changed since the last write are dropped with the rest.
        if (data_->DescriptorsDirty()) data_->ReadFieldDescriptors();
      }
    });
  }
  if (index_->IsOpen()) {
    failure.run([&] {
      index_->ClearPageCache();
      if (trimCaches) index_->TrimPageCache();
      if (rereadHeaders) index_->ReadHeader();
    });
  }
  if (BlobFileInUse()) {
    failure.run([&] {
      blob_->ClearBlockCache();
      if (trimCaches) blob_->TrimBlockCache();
      if (rereadHeaders) blob_->ReadHeader();
    });
  }
  failure.raise();
}

bool TDataTable::RefreshIfChanged() {
  // A counter seen unchanged through the file's view is what the header read would find: both
  // show the same page. Only a changed one (or a file without a view) costs the read.
  if (headersUnsure_) {
    DiscardCaches(false, true);
    headersUnsure_ = false;
    return true;
  }
  bool changed = false;
  if (!index_->ChangeCounterCurrent() && index_->HeaderChanged()) {
    index_->ClearPageCache();
    data_->ReadHeader();
    changed = true;
  } else if (!data_->ChangeCounterCurrent() && data_->HeaderChanged()) {
    changed = true;
  }
  if (changed) data_->ClearRecordCache();
  if (BlobFileInUse() && !blob_->ChangeCounterCurrent() && blob_->HeaderChanged()) {
    blob_->ClearBlockCache();
    changed = true;
  }
  return changed;
}

bool TDataTable::CachesCurrentOnDisk(TCachedFiles files) {
  if (IsRemote() || inMemory_ || !opened_ || anyLockHeld() || headersUnsure_) return false;
  if (!data_->ChangeCounterCurrent()) return false;
  if (files != TCachedFiles::RecordsAndBlobs && !index_->ChangeCounterCurrent()) return false;
  return files == TCachedFiles::RecordsAndIndex || !BlobFileInUse() || blob_->ChangeCounterCurrent();
}

// ---- What the files ask ----

bool TDataTable::NoPrimaryIndex() const {
  return index_->GetNoPrimaryIndex();
}

bool TDataTable::ForceBufferFlush() const {
  return Session().ForceBufferFlush() != 0;
}

bool TDataTable::StrictChangeDetection() const {
  return Session().StrictChangeDetection() != 0;
}

bool TDataTable::IsValidValueText(std::string_view text, uint8_t type) const {
  return engine::IsValidValueText(text, TEngineFieldType(type));
}

bool TDataTable::IsEncrypted() const {
  return data_->IsEncrypted();
}

bool TDataTable::FindFieldByNumber(uint16_t number, TIndexFieldInfo& info) const {
  uint16_t position = 0;
  const TFieldDescriptor* d = data_->FindFieldByNumber(number, position);
  if (!d) return false;
  info.name = d->Name();
  info.type = d->Type();
  info.subType = d->SubType();
  info.keySize = GetFieldKeySize(std::span<const uint8_t>(d->Bytes(), kFieldDescriptorSize));
  return true;
}

}  // namespace engine
