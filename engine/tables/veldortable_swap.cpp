// The swap of a new table's files into an old table's place, and its completion after a crash.
#include <string>

#include "engine/storage/veldorerr.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldortable.h"
#include "platform/osfile.h"

namespace engine {
namespace {

constexpr std::string_view kSwapMarkerExt = ".SWP";

struct SwapPlan {
  std::string newName;
  bool keepBackup = false;
  bool newHasBlobFile = false;
};

void check(int32_t result, const std::string& file, TDataDirectory& directory) {
  if (result < 0) SignalTableError(uint16_t(-result), file, directory.Path());
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
      if (files.FileExists(kept, inMemory)) check(files.DeleteFile(kept, inMemory), kept, directory);
      check(files.RenameFile(target, inMemory, kept), target, directory);
    }
    if (fresh) check(files.RenameFile(source, inMemory, target), source, directory);
  }
  if (!plan.keepBackup)
    for (std::string_view ext : backup) {
      const std::string kept = TDataTable::FileNameFor(directory.Path(), name, inMemory, ext);
      if (files.FileExists(kept, inMemory)) check(files.DeleteFile(kept, inMemory), kept, directory);
    }
  if (!inMemory) files.FileSystem().syncFolder(directory.Path());
}

}  // namespace

void TDataTable::SwapFiles(TDataDirectory& directory, std::string_view name, std::string_view newName,
                           bool inMemory, bool keepBackup) {
  const bool newHasBlobFile = directory.FileList().FileExists(
      FileNameFor(directory.Path(), newName, inMemory, kBlobFileExt), inMemory);
  const SwapPlan plan{std::string(newName), keepBackup, newHasBlobFile};
  if (inMemory) return moveFiles(directory, name, plan, true);
  platform::FileSystem& fs = directory.FileList().FileSystem();
  const std::string marker = FileNameFor(directory.Path(), name, false, kSwapMarkerExt);
  {
    // Held open (exclusively) while the files move: an open elsewhere then waits for this swap.
    std::unique_ptr<platform::OsFile> file = fs.createFile(marker, false);
    if (!file) SignalTableError(VELDOR_OSEACCES, marker, directory.Path());
    const std::string text = plan.newName + "\n" + (keepBackup ? "1" : "0") + (newHasBlobFile ? "1" : "0");
    if (file->writeAt(0, text.data(), int64_t(text.size())) != int64_t(text.size()) || !file->sync() ||
        !fs.syncFolder(directory.Path()))
      SignalTableError(VELDOR_WRITEERR, marker, directory.Path());
    moveFiles(directory, name, plan, false);
  }
  fs.deleteFile(marker);
  fs.syncFolder(directory.Path());
}

void TDataTable::CompleteSwap(TDataDirectory& directory, std::string_view name) {
  platform::FileSystem& fs = directory.FileList().FileSystem();
  const std::string marker = FileNameFor(directory.Path(), name, false, kSwapMarkerExt);
  if (!fs.existsAsSpelt(marker)) return;
  {
    std::unique_ptr<platform::OsFile> file =
        fs.openFile(marker, platform::OpenOptions{true, platform::ShareMode::Exclusive, false});
    if (!file) SignalTableError(VELDOR_OSEACCES, marker, directory.Path());
    std::string text(std::max<int64_t>(file->size(), 0), '\0');
    if (file->readAt(0, text.data(), int64_t(text.size())) != int64_t(text.size()))
      SignalTableError(VELDOR_READERR, marker, directory.Path());
    const size_t line = text.find('\n');
    // A marker cut off in its own write was written before any file moved.
    if (line != std::string::npos && line > 0 && text.size() == line + 3) {
      const SwapPlan plan{text.substr(0, line), text[line + 1] == '1', text[line + 2] == '1'};
      moveFiles(directory, name, plan, false);
    }
  }
  fs.deleteFile(marker);
  fs.syncFolder(directory.Path());
}

}  // namespace engine
