// The swap of a new table's files into an old table's place, and its completion after a crash.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/storage/veldorjournal.h"
#include "engine/storage/veldoros.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldortable.h"
#include "platform/oserror.h"
#include "platform/osfile.h"
#include "platform/scopeguard.h"

namespace engine {
namespace {

// Beside a table being copied into a new one: the new table's name, so that a copy cut short
// leaves no stray table behind.
constexpr std::string_view kCopyMarkerExt = ".CPY";
// The last letter of a rename's swap markers (TRenameMarks): beside the old name, beside the new.
constexpr char kRenamedFrom = 'F';
constexpr char kRenamedTo = 'T';

struct SwapPlan {
  std::string newName;
  bool keepBackup = false;
  bool newHasBlobFile = false;
};

void check(int32_t result, const std::string& file, TDataDirectory& directory) {
  if (result < 0) SignalTableError(uint16_t(-result), file, directory.Path());
}

// A rename or delete that another open of the file refuses: an open that slipped in sees the
// marker and lets go at once, so the step is tried again for a while.
void checkRetryingBusy(const std::function<int32_t()>& step, const std::string& file,
                       TDataDirectory& directory) {
  int32_t result = 0;
  RetryLock(
      [&](uint32_t) {
        result = step();
        return result >= 0 || platform::lastOsError() != platform::kSharingViolation;
      },
      kFileLockRetryRules, directory.FileList().FileSystem());
  check(result, file, directory);
}

// Each step looks at what is on disk, so that running the plan again after a crash finishes it.
void moveFiles(TDataDirectory& directory, std::string_view name, const SwapPlan& plan, bool inMemory) {
  TFileList& files = directory.FileList();
  const std::string_view own[] = {kDataFileExt, kIndexFileExt, kBlobFileExt};
  const std::string_view backup[] = {kDataBackupExt, kIndexBackupExt, kBlobBackupExt};
  for (int i = 0; i < 3; ++i) {
    const std::string source = TDataTable::FileNameFor(directory.Path(), plan.newName, inMemory, own[i]);
    const std::string target = TDataTable::FileNameFor(directory.Path(), name, inMemory, own[i]);
    const std::string kept = TDataTable::FileNameFor(directory.Path(), name, inMemory, backup[i]);
    const bool fresh = files.FileExists(source, inMemory);
    // A blob file that the new table does not have is the old one's and goes to its backup.
    const bool oldBlobLeft = i == 2 && !plan.newHasBlobFile;
    if (!fresh && !oldBlobLeft) continue;
    if (files.FileExists(target, inMemory)) {
      // The backup of an earlier swap may be the files a table kept open elsewhere was left with,
      // held for the moment of its take-back that finds them moved.
      if (files.FileExists(kept, inMemory))
        checkRetryingBusy([&] { return files.DeleteFile(kept, inMemory); }, kept, directory);
      checkRetryingBusy([&] { return files.RenameFile(target, inMemory, kept); }, target, directory);
    }
    if (fresh) check(files.RenameFile(source, inMemory, target), source, directory);
  }
  if (!plan.keepBackup)
    for (std::string_view ext : backup) {
      const std::string kept = TDataTable::FileNameFor(directory.Path(), name, inMemory, ext);
      if (files.FileExists(kept, inMemory))
        checkRetryingBusy([&] { return files.DeleteFile(kept, inMemory); }, kept, directory);
    }
  if (!inMemory) files.FileSystem().syncFolder(directory.Path());
}

// Forces the new table's files to the device. Its writes may have gone no further than the
// system's cache (without ForceBufferFlush nothing syncs them), and once the swap marker is
// written the old files are on their way out: after a power loss the name must lead to files
// that are whole.
void forceNewFiles(TDataDirectory& directory, const std::string& newName) {
  TFileList& files = directory.FileList();
  for (std::string_view ext : {kDataFileExt, kIndexFileExt, kBlobFileExt}) {
    const std::string file = TDataTable::FileNameFor(directory.Path(), newName, false, ext);
    if (files.FileExists(file, false)) check(files.SyncFile(file), file, directory);
  }
}

// The journal of the new table of a copy, which nothing needs once its files are gone or moved
// (empty by then: the copy was closed, or it goes whole). One that cannot go is harmless.
void dropCopyJournal(TDataDirectory& directory, const std::string& newName) {
  const std::string journal = TDataTable::FileNameFor(directory.Path(), newName, false, kJournalExt);
  directory.DropJournalHandle(journal);
  platform::FileSystem& fs = directory.FileList().FileSystem();
  if (fs.existsAsSpelt(journal)) fs.deleteFileAsSpelt(journal);
}

// The files of a new table whose copy was cut short, journal included.
void dropUnfinishedCopy(TDataDirectory& directory, const std::string& newName) {
  TFileList& files = directory.FileList();
  // The data file goes last: while it is there no copy elsewhere takes the name afresh.
  for (std::string_view ext : {kBlobFileExt, kIndexFileExt, kDataNewExt, kDataFileExt}) {
    const std::string file = TDataTable::FileNameFor(directory.Path(), newName, false, ext);
    if (files.FileExists(file, false)) check(files.DeleteFile(file, false), file, directory);
  }
  dropCopyJournal(directory, newName);
}

std::string markerPath(TDataDirectory& directory, std::string_view name, std::string_view ext) {
  return TDataTable::FileNameFor(directory.Path(), name, false, ext);
}

struct Markers {
  std::vector<std::string> swaps;
  std::vector<std::string> copies;
};

// The swap and copy markers beside the table `name`, their names in whatever case, each kind's
// spelt as `name` spells it first: one look at the folder for both. The table's files are found
// ignoring case, so a marker that a copy or swap of the table under another spelling of its name
// left is this table's marker all the same. Writes need no look of their own: a create finds a
// marker of another spelling and reuses it.
Markers markersOf(TDataDirectory& directory, std::string_view name) {
  // Looked for at every take-back of a table: a folder holding no marker of any table needs no
  // names spelt. A name holding a folder of its own is looked for where it leads.
  const std::string& folder = directory.Path();
  if (!folder.empty() && folder.back() == '/' && !IsPathName(name) &&
      directory.FileList().FileSystem().holdsNoMarkers(folder))
    return {};
  const std::string swapPath = markerPath(directory, name, TDataTable::kSwapMarkerExt);
  const size_t slash = swapPath.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  const std::string names[] = {swapPath.substr(start),
                               markerPath(directory, name, kCopyMarkerExt).substr(start)};
  std::vector<std::vector<std::string>> found =
      directory.FileList().FileSystem().spellingsOf(swapPath.substr(0, start), names);
  // A folder that cannot be read may hold either kind: nothing may go ahead as though it held none.
  if (found.size() != 2) SignalTableError(OSErrorToEngineError(), swapPath, directory.Path());
  return Markers{std::move(found[0]), std::move(found[1])};
}

// The table `name` spelt as the writer of its marker at `path` spelt it (a name that holds a
// folder as the open spells it: it is found ignoring case all the same).
std::string tableOfMarker(std::string_view name, const std::string& path, std::string_view ext) {
  if (IsPathName(name)) return std::string(name);
  const size_t start = path.rfind('/') + 1;
  return path.substr(start, path.size() - ext.size() - start);
}

// True while `path` names the file that `file` holds: an open elsewhere that was removing an
// older marker of that name may have taken it away between its check and its removal.
bool stillNamed(platform::OsFile& file, const std::string& path, platform::FileSystem& fs) {
  platform::FileInfo info;
  return fs.fileInfo(path, info) && info.identity == file.identity();
}

std::unique_ptr<platform::OsFile> writeMarker(const std::string& path, const std::string& text,
                                              TDataDirectory& directory) {
  platform::FileSystem& fs = directory.FileList().FileSystem();
  for (int attempt = 0;; ++attempt) {
    // A create elsewhere holds an empty marker of the name alone while it makes the table's
    // files (TCreateHold): waited for, as every other user of the name waits for it.
    std::unique_ptr<platform::OsFile> file;
    RetryLock(
        [&](uint32_t) {
          file = fs.createFile(path, false);
          return file || platform::lastOsError() != platform::kSharingViolation;
        },
        kFileLockRetryRules, fs);
    if (!file)
      SignalTableError(
          platform::lastOsError() == platform::kSharingViolation ? VELDOR_LOCKTIMEOUT : VELDOR_OSEACCES, path,
          directory.Path());
    if (file->writeAt(0, text.data(), int64_t(text.size())) != int64_t(text.size()) || !file->sync() ||
        !fs.syncFolder(directory.Path())) {
      // A marker that may not have reached the device is not left to be acted on.
      const std::string written = file->path();
      file.reset();
      fs.deleteFile(written);
      SignalTableError(VELDOR_WRITEERR, path, directory.Path());
    }
    if (stillNamed(*file, path, fs)) return file;
    if (attempt == 100) SignalTableError(VELDOR_OSEACCES, path, directory.Path());
  }
}

// Opens a marker left by another process. Null with `busy` set when that process still holds it.
std::unique_ptr<platform::OsFile> openMarker(const std::string& path, TDataDirectory& directory, bool& busy,
                                             std::string& text) {
  platform::FileSystem& fs = directory.FileList().FileSystem();
  busy = false;
  if (!fs.existsAsSpelt(path)) return nullptr;
  std::unique_ptr<platform::OsFile> file =
      fs.openFile(path, platform::OpenOptions{true, platform::ShareMode::Exclusive, false});
  if (!file) {
    if (platform::lastOsError() == platform::kSharingViolation) {
      busy = true;
      return nullptr;
    }
    if (!fs.existsAsSpelt(path)) return nullptr;
    SignalTableError(VELDOR_OSEACCES, path, directory.Path());
  }
  text.assign(size_t(std::max<int64_t>(file->size(), 0)), '\0');
  if (file->readAt(0, text.data(), int64_t(text.size())) != int64_t(text.size()))
    SignalTableError(VELDOR_READERR, path, directory.Path());
  return file;
}

// Removes the marker `file` holds, while it holds it: no other open of it can exist meanwhile, so
// its name leads to it until it goes, and neither a marker that another process put under that
// name after it nor one of another spelling is taken instead. A marker that cannot go is left to
// the next open.
void removeMarker(std::unique_ptr<platform::OsFile>& file, TDataDirectory& directory) {
  platform::FileSystem& fs = directory.FileList().FileSystem();
  const std::string path = file->path();
  if (stillNamed(*file, path, fs)) fs.deleteFileAsSpelt(path);
  file.reset();
  fs.syncFolder(directory.Path());
}

// True when an open anywhere holds the table `name` (or that cannot be told). The process of a copy cut short
// holds nothing any more, so a table of its marker's name that is held was made after it: temporary names
// follow thread ids, which come round again, and a copy of another table may have taken the name once this
// copy's files had moved.
bool heldOpen(TDataDirectory& directory, const std::string& name) {
  // A look that takes no hold itself: a live copy's own moves of that table are never refused
  // because of it.
  return directory.FileList().FileSystem().openAnywhereAsSpelt(
      TDataTable::FileNameFor(directory.Path(), name, false, kDataFileExt));
}

// True when a copy of another table in the folder is running (or that cannot be told). Its new
// table's name may be the one a stale marker names, and the copy leaves that table unheld between
// its making and its opening and between its closing and its move into place; its marker is held
// from before the name is chosen until after the move.
bool otherCopyRunning(TDataDirectory& directory, platform::OsFile& own) {
  namespace stdfs = std::filesystem;
  platform::FileSystem& fs = directory.FileList().FileSystem();
  std::error_code error;
  stdfs::directory_iterator it(directory.Path(), error);
  for (; !error && it != stdfs::directory_iterator(); it.increment(error)) {
    const std::string ext = it->path().extension().string();
    if (ext.size() != kCopyMarkerExt.size() ||
        !std::equal(ext.begin(), ext.end(), kCopyMarkerExt.begin(),
                    [](char a, char b) { return std::toupper(uint8_t(a)) == b; }))
      continue;
    const std::string path = it->path().string();
    platform::FileInfo info;
    if (fs.fileInfo(path, info) && info.identity == own.identity()) continue;
    if (fs.openAnywhereAsSpelt(path)) return true;
  }
  return bool(error);
}

struct SeenFile {
  std::string path;
  platform::FileIdentity identity;
};

// The files of the new table `newName` of a copy that are there now, journal included, the data
// file after the others (its file still being written before it).
std::vector<SeenFile> filesOfCopy(TDataDirectory& directory, const std::string& newName) {
  platform::FileSystem& fs = directory.FileList().FileSystem();
  std::vector<SeenFile> seen;
  for (std::string_view ext : {kBlobFileExt, kIndexFileExt, kDataNewExt, kDataFileExt, kJournalExt}) {
    const std::string path = TDataTable::FileNameFor(directory.Path(), newName, false, ext);
    platform::FileInfo info;
    if (fs.fileInfo(path, info) && !info.isDirectory) seen.push_back({path, info.identity});
  }
  return seen;
}

// Deletes those of `seen` that are still the files they were. A table file is deleted while it is
// held alone and known by its identity to be the one seen: a copy that took the name since (once
// an open elsewhere deleted the file seen) keeps its own file.
void dropSeenFiles(TDataDirectory& directory, const std::vector<SeenFile>& seen) {
  TFileList& files = directory.FileList();
  platform::FileSystem& fs = files.FileSystem();
  for (const SeenFile& file : seen) {
    platform::FileInfo info;
    if (!fs.fileInfo(file.path, info) || !(info.identity == file.identity)) continue;
    if (file.path.ends_with(kJournalExt)) {
      directory.DropJournalHandle(file.path);
      fs.deleteFileAsSpelt(file.path);
      continue;
    }
    // A file listed in this process goes through the list, which lets go of what it keeps.
    if (files.Listed(file.path, false)) {
      check(files.DeleteFile(file.path, false), file.path, directory);
      continue;
    }
    std::unique_ptr<platform::OsFile> held =
        fs.openFile(file.path, platform::OpenOptions{false, platform::ShareMode::Exclusive, false});
    if (!held) {
      const int error = platform::lastOsError();
      if (fs.fileInfo(file.path, info)) check(-int32_t(OSErrorToEngineError(error)), file.path, directory);
      continue;
    }
    if (!(held->identity() == file.identity) || !stillNamed(*held, held->path(), fs)) continue;
    if (!fs.deleteFileAsSpelt(held->path())) check(-int32_t(OSErrorToEngineError()), file.path, directory);
  }
}

// The hold that the create of the new table `newName` of a copy cut short left beside it (an
// empty swap marker nobody holds): nothing of that create is left for it to keep others from.
void dropEndedCreateHold(TDataDirectory& directory, const std::string& newName) {
  bool busy = false;
  std::string text;
  std::unique_ptr<platform::OsFile> file =
      openMarker(markerPath(directory, newName, TDataTable::kSwapMarkerExt), directory, busy, text);
  if (file && text.empty()) removeMarker(file, directory);
}

// A copy whose process ended before its swap: the new table goes, the old one stays. False, with
// nothing done, when a swap marker lies beside `name` once the copy marker is held: the copy's
// process writes its swap marker while holding the copy marker and removes it before letting that
// go, so a swap marker seen now was committed by a process that has ended, and its new table is the
// one the name leads to, whole or part way through its moves.
// `copies` are the table's copy markers, whatever their spelling: each one left is such a copy's.
bool dropCopyCutShort(TDataDirectory& directory, std::string_view name,
                      const std::vector<std::string>& copies) {
  for (const std::string& copyPath : copies) {
    bool busy = false;
    std::string text;
    std::unique_ptr<platform::OsFile> file = openMarker(copyPath, directory, busy, text);
    if (!file) continue;
    if (!markersOf(directory, name).swaps.empty()) return false;
    // A table that another copy may have taken the name for stays: a stray table is harmless, a
    // live copy's lost files are not. Only files that were there before the look for running
    // copies go: a copy that starts after it makes files of its own.
    if (!text.empty() && text.find_first_of("/\n") == std::string::npos) {
      const std::vector<SeenFile> seen = filesOfCopy(directory, text);
      if (!heldOpen(directory, text) && !otherCopyRunning(directory, *file)) {
        dropSeenFiles(directory, seen);
        dropEndedCreateHold(directory, text);
      }
    }
    removeMarker(file, directory);
  }
  return true;
}

// The table item of an error about the markers `first` and `second` of one folder: both paths
// where the message has room for them, else the second by its file name alone.
std::string bothMarkers(const std::string& first, const std::string& second) {
  const std::string_view text = FindEngineErrorInfo(VELDOR_HEADERCORRUPT)->text;
  const std::string both = first + "' and '" + second;
  if (text.size() - 2 + both.size() <= kEngineMessageMax) return both;
  return first + "' and '" + second.substr(second.rfind('/') + 1);
}

// The rest of a rename of `from` to `to` that moved the data file: the index and blob files
// follow it (a file of no table in their way goes). Nothing while the old data file is there or
// the new one is not: the rename never got to its first move, and `from` is the table whole.
void followData(TDataDirectory& directory, const std::string& from, const std::string& to, bool hasBlobFile) {
  TFileList& files = directory.FileList();
  const auto path = [&](const std::string& name, std::string_view ext) {
    return TDataTable::FileNameFor(directory.Path(), name, false, ext);
  };
  if (files.FileExists(path(from, kDataFileExt), false) || !files.FileExists(path(to, kDataFileExt), false))
    return;
  for (std::string_view ext : {kIndexFileExt, kBlobFileExt}) {
    if (ext == kBlobFileExt && !hasBlobFile) continue;
    const std::string source = path(from, ext), target = path(to, ext);
    if (!files.FileExists(source, false)) continue;
    if (files.FileExists(target, false))
      checkRetryingBusy([&] { return files.DeleteFile(target, false); }, target, directory);
    checkRetryingBusy([&] { return files.RenameFile(source, false, target); }, source, directory);
  }
  files.FileSystem().syncFolder(directory.Path());
}

// Completes the rename that the marker `own` beside `here` shows, `other` the table its text
// names, and removes both markers, the new name's first, as the rename's own process would have.
// The other name's marker is this rename's only while its text is the mirror of this one's. False,
// with nothing done, while another open completing the same rename holds that marker.
bool completeRename(TDataDirectory& directory, const std::string& here, const std::string& other,
                    const std::string& plan, bool fromHere, std::unique_ptr<platform::OsFile>& own) {
  bool busy = false;
  std::string text;
  std::unique_ptr<platform::OsFile> partner =
      openMarker(markerPath(directory, other, TDataTable::kSwapMarkerExt), directory, busy, text);
  if (busy) return false;
  if (partner && text != here + "\n" + plan + (fromHere ? kRenamedTo : kRenamedFrom)) partner.reset();
  followData(directory, fromHere ? here : other, fromHere ? other : here, plan[1] == '1');
  std::unique_ptr<platform::OsFile>& toSide = fromHere ? partner : own;
  std::unique_ptr<platform::OsFile>& fromSide = fromHere ? own : partner;
  if (toSide) removeMarker(toSide, directory);
  if (fromSide) removeMarker(fromSide, directory);
  return true;
}

}  // namespace

TDataTable::TSwap::TSwap(TDataDirectory& directory, std::string_view name, std::string_view newName,
                         bool inMemory)
    : directory_(directory), name_(name), newName_(newName), inMemory_(inMemory) {
  if (inMemory_) return;
  copyMarker_ = writeMarker(markerPath(directory_, name_, kCopyMarkerExt), newName_, directory_);
}

TDataTable::TSwap::TSwap(TDataDirectory& directory, std::string_view name, bool inMemory)
    : TSwap(directory, name, std::string_view(), inMemory) {}

void TDataTable::TSwap::NewName(const std::string& newName) {
  newName_ = newName;
  if (inMemory_) return;
  const std::string path = markerPath(directory_, name_, kCopyMarkerExt);
  if (!copyMarker_->truncate(0) ||
      copyMarker_->writeAt(0, newName_.data(), int64_t(newName_.size())) != int64_t(newName_.size()) ||
      !copyMarker_->sync())
    SignalTableError(VELDOR_WRITEERR, path, directory_.Path());
  if (!stillNamed(*copyMarker_, path, directory_.FileList().FileSystem()))
    copyMarker_ = writeMarker(path, newName_, directory_);
}

TDataTable::TSwap::~TSwap() {
  if (!copyMarker_ || swapMarker_) return;
  if (newName_.empty()) {
    removeMarker(copyMarker_, directory_);
    return;
  }
  // A copy that did not come to its swap: its table goes, and the marker with it once it has;
  // a table that cannot go yet is left to the next open.
  try {
    dropUnfinishedCopy(directory_, newName_);
    removeMarker(copyMarker_, directory_);
  } catch (const EVELDOREngineError&) {
  }
}

void TDataTable::TSwap::TakeAccess() {
  if (inMemory_) return;
  TFileList& files = directory_.FileList();
  const std::string oldData = FileNameFor(directory_.Path(), name_, false, kDataFileExt);
  for (std::string_view ext : {kDataFileExt, kIndexFileExt, kBlobFileExt}) {
    const std::string fresh = FileNameFor(directory_.Path(), newName_, false, ext);
    if (!files.FileExists(fresh, false)) continue;
    const std::string old = FileNameFor(directory_.Path(), name_, false, ext);
    const std::string& model = files.FileExists(old, false) ? old : oldData;
    if (!files.FileSystem().takeAccessOf(model, fresh))
      check(-int32_t(OSErrorToEngineError()), fresh, directory_);
  }
}

void TDataTable::TSwap::Commit(bool keepBackup) {
  const bool newHasBlobFile = directory_.FileList().FileExists(
      FileNameFor(directory_.Path(), newName_, inMemory_, kBlobFileExt), inMemory_);
  plan_ = std::string(1, keepBackup ? '1' : '0') + (newHasBlobFile ? '1' : '0');
  if (inMemory_) return;
  TakeAccess();
  forceNewFiles(directory_, newName_);
  // The copy marker must still be named while the swap marker is: an open elsewhere that removed
  // a stale one of that name just as this copy wrote its own may have taken it away, and an open
  // that finds the swap marker completed holds the copy marker before it lets the new table go.
  const std::string copyPath = markerPath(directory_, name_, kCopyMarkerExt);
  if (!stillNamed(*copyMarker_, copyPath, directory_.FileList().FileSystem()))
    copyMarker_ = writeMarker(copyPath, newName_, directory_);
  // Held until the files have moved: an open elsewhere waits for it to go.
  swapMarker_ =
      writeMarker(markerPath(directory_, name_, kSwapMarkerExt), newName_ + "\n" + plan_, directory_);
}

void TDataTable::TSwap::Run() {
  const SwapPlan plan{newName_, plan_[0] == '1', plan_[1] == '1'};
  moveFiles(directory_, name_, plan, inMemory_);
  if (inMemory_) return;
  dropCopyJournal(directory_, newName_);
  // The copy marker goes last: an open elsewhere that saw no swap marker yet must not find it
  // free and take the new table for one cut short.
  removeMarker(swapMarker_, directory_);
  removeMarker(copyMarker_, directory_);
}

void TDataTable::SwapFiles(TDataDirectory& directory, std::string_view name, std::string_view newName,
                           bool inMemory, bool keepBackup) {
  TSwap swap(directory, name, newName, inMemory);
  swap.Commit(keepBackup);
  swap.Run();
}

TDataTable::TRenameMarks::TRenameMarks(TDataDirectory& directory, std::string_view from, std::string_view to,
                                       bool hasBlobFile)
    : directory_(directory) {
  const std::string plan = std::string("0") + (hasBlobFile ? '1' : '0');
  fromMarker_ = writeMarker(markerPath(directory_, from, kSwapMarkerExt),
                            std::string(to) + "\n" + plan + kRenamedFrom, directory_);
  platform::UndoOnFailure undo([&] { removeMarker(fromMarker_, directory_); });
  toMarker_ = writeMarker(markerPath(directory_, to, kSwapMarkerExt),
                          std::string(from) + "\n" + plan + kRenamedTo, directory_);
  undo.Dismiss();
}

TDataTable::TRenameMarks::~TRenameMarks() = default;

void TDataTable::TRenameMarks::Done() {
  if (toMarker_) removeMarker(toMarker_, directory_);
  if (fromMarker_) removeMarker(fromMarker_, directory_);
}

TDataTable::TCreateHold::TCreateHold(TDataDirectory& directory, std::string_view name)
    : directory_(directory) {
  platform::FileSystem& fs = directory.FileList().FileSystem();
  const std::string path = markerPath(directory, name, kSwapMarkerExt);
  const bool taken = RetryLock(
      [&](uint32_t) {
        if (!CompleteSwap(directory, name)) return false;
        // Made empty if not there, in any spelling, and the hold of whoever opens it alone first:
        // an open elsewhere that gets there first takes it for a marker cut off in its write and
        // removes it, and the next attempt makes it again.
        if (fs.createNewFile(path) == platform::CreateNewResult::Failed)
          SignalTableError(OSErrorToEngineError(), path, directory.Path());
        std::unique_ptr<platform::OsFile> file =
            fs.openFile(path, platform::OpenOptions{true, platform::ShareMode::Exclusive, false});
        if (!file) {
          const int error = platform::lastOsError();
          // Gone since it was made: another create took it for a marker cut off in its write, and
          // may have made its own since. The next attempt waits for that one.
          const bool gone = platform::osErrorKind(error) == platform::OsErrorKind::NotFound;
          platform::FileInfo info;
          if (error == platform::kSharingViolation || gone || !fs.fileInfo(path, info)) return false;
          SignalTableError(OSErrorToEngineError(error), path, directory.Path());
        }
        // One with a text is a swap's or a rename's, written since the look: the next look
        // completes it.
        if (file->size() != 0 || !stillNamed(*file, file->path(), fs)) return false;
        marker_ = std::move(file);
        return true;
      },
      kFileLockRetryRules, fs);
  if (!taken) SignalTableError(VELDOR_LOCKTIMEOUT, path, directory.Path());
}

TDataTable::TCreateHold::~TCreateHold() {
  // Gone or not, nothing waits for it once it is let go: one left behind is removed by the next
  // open, create, drop or rename of the name. Not forced to the device for the same reason.
  platform::FileSystem& fs = directory_.FileList().FileSystem();
  const std::string path = marker_->path();
  if (stillNamed(*marker_, path, fs)) fs.deleteFileAsSpelt(path);
  marker_.reset();
}

bool TDataTable::CompleteSwap(TDataDirectory& directory, std::string_view name) {
  // A second pass completes the swap of a copy that committed and ended between the first
  // pass's look for the swap marker and its hold on the copy marker.
  for (int pass = 0; pass < 2; ++pass) {
    const Markers markers = markersOf(directory, name);
    const std::vector<std::string>& swaps = markers.swaps;
    // One table, one swap at a time: two markers come from outside (a folder put together from
    // copies), and neither can be told to be the later one. Completing either could undo a swap
    // the other committed, so both stay, with every file, for whoever put them there. The table's
    // own state is what is wrong, not anyone's rights to it: the message names both markers.
    if (swaps.size() > 1)
      SignalEngineError(VELDOR_HEADERCORRUPT, "", "", directory.Path(), bothMarkers(swaps[0], swaps[1]), "",
                        "", "two swap markers of one table, neither known to be the later");
    bool busy = false;
    std::string text;
    if (std::unique_ptr<platform::OsFile> file =
            swaps.empty() ? nullptr : openMarker(swaps.front(), directory, busy, text)) {
      const size_t line = text.find('\n');
      const bool named = line != std::string::npos && line > 0;
      // A marker cut off in its own write was written before any file moved.
      if (named && text.size() == line + 3) {
        const SwapPlan plan{text.substr(0, line), text[line + 1] == '1', text[line + 2] == '1'};
        // The files move to the names the swap gave them, as its own process would have moved them.
        moveFiles(directory, tableOfMarker(name, file->path(), kSwapMarkerExt), plan, false);
        if (plan.newName.find('/') == std::string::npos) dropCopyJournal(directory, plan.newName);
      }
      if (named && text.size() == line + 4 &&
          (text[line + 3] == kRenamedFrom || text[line + 3] == kRenamedTo)) {
        if (!completeRename(directory, tableOfMarker(name, file->path(), kSwapMarkerExt),
                            text.substr(0, line), text.substr(line + 1, 2), text[line + 3] == kRenamedFrom,
                            file))
          return false;
      } else {
        removeMarker(file, directory);
      }
    }
    if (busy) return false;
    if (dropCopyCutShort(directory, name, markers.copies)) return true;
  }
  // A swap marker that is there again is left to the caller's own look for it.
  return true;
}

bool TDataTable::DropCopyCutShort(TDataDirectory& directory, std::string_view name) {
  const Markers markers = markersOf(directory, name);
  return markers.swaps.empty() && dropCopyCutShort(directory, name, markers.copies);
}

bool TDataTable::SwapMarked(TDataDirectory& directory, std::string_view name) {
  return !markersOf(directory, name).swaps.empty();
}

bool TDataTable::SwapPlanned(TDataDirectory& directory, std::string_view name) {
  platform::FileSystem& fs = directory.FileList().FileSystem();
  for (const std::string& path : markersOf(directory, name).swaps) {
    platform::FileInfo info;
    if (fs.fileInfoAsSpelt(path, info) && !info.isDirectory && info.size > 0) return true;
  }
  return false;
}

}  // namespace engine
