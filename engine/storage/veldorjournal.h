// The rollback journal: how a table's files change as one unit, whatever ends the process.
//
// The writes of a change are held in the files' write sets (veldorwriteset.h) until it is written
// out. Before the first byte of a table file is overwritten, the table's journal (the data file's
// name with ".JNL") receives every region the write-out will change, with its old bytes, and
// each file's old length; with `durable` it is forced to the device, and so is its folder. Then
// the files are written in place, and cutting the journal to nothing (forced to the device with
// `durable`) ends the change. A journal with bytes in it left behind is hot: whoever next opens
// or locks the table rolls it back under the table's exclusive lock and deletes it. A journal
// that is cut off or fails its checksum was never complete, so the table files were not yet
// touched; it is deleted unread. An empty journal holds no change: it is what a writer keeps
// between two write-outs (TJournalHandle), and what one that ended between them leaves.
//
// A change over several tables writes one journal per table and a marker file (".JNM") named in
// each; deleting the marker ends the change, and the journals are then cut. A journal whose
// marker is gone belongs to a change that ended (or never started writing): it is deleted
// without a rollback. The marker lies beside the first journal; a journal in another folder (a
// table opened by its path) names it by its full path. Such a journal is refused as malformed by
// builds before this one, which delete it unread.
//
// Format of a journal, little-endian:
//   8  magic "VLDRJNL1"
//   2  marker name length, then the name: none, a plain file name in the journal's folder (at
//      most 255 bytes), or the marker's absolute path (every part a name, no "." or "..", at
//      most 4096 bytes, its own name plain and ending in ".JNM")
//   1  file count (at most 3), then for each file:
//        1 kind (0 data, 1 index, 2 blob; each at most once), 8 old length, 4 region count,
//        then for each region: 8 offset, 4 length, the old bytes (inside the old length)
//   4  CRC-32 of everything before it
// A marker file holds its journals, one a line: those of its own folder by their names, others
// by their absolute paths.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/storage/veldorfile.h"
#include "platform/osfile.h"

namespace engine {

inline constexpr std::string_view kJournalExt = ".JNL";
inline constexpr std::string_view kJournalMarkerExt = ".JNM";

struct TJournalRegion {
  int64_t offset = 0;
  std::vector<uint8_t> bytes;
};

struct TJournalFile {
  uint8_t kind = 0;
  int64_t length = 0;
  std::vector<TJournalRegion> regions;
};

struct TJournalImage {
  std::string marker;
  std::vector<TJournalFile> files;
};

// The CRC-32 a journal ends with, over the bytes before it.
uint32_t JournalChecksum(std::span<const uint8_t> bytes);
std::vector<uint8_t> EncodeJournal(const TJournalImage& image);
// False for anything but a complete, well-formed journal.
bool DecodeJournal(std::span<const uint8_t> bytes, TJournalImage& image);

// A table's journal file, kept open by a writer from one write-out to the next, so that a
// write-out writes into a file that is there already and ends by cutting it, instead of making
// and deleting a file (and, durably, forcing the folder twice).
//
// The file may be deleted behind the handle: by a recovery under the table's exclusive lock, or
// with the table's files (deleted, renamed, made anew), when nobody has them open. A write-out
// therefore looks, under the table's write locks, which exclude both, whether the path still
// names the file held and opens it afresh when not. A file held open is never deleted by
// Release elsewhere, so none is deleted while a write-out uses it.
//
// Not thread-safe: one write-out at a time, under the table's write locks.
class TJournalHandle {
 public:
  explicit TJournalHandle(std::string path);
  ~TJournalHandle();
  TJournalHandle(const TJournalHandle&) = delete;
  TJournalHandle& operator=(const TJournalHandle&) = delete;

  const std::string& Path() const { return path_; }
  // Writes the pieces of `journal`, one after another, as the whole file, in the file held when
  // the path still names it, else in the one it names now or a new one; with `durable` forced to
  // the device, and so is its folder entry, once per file. Requires: the table's write locks.
  // Raises VELDOR_WRITEERR and the like.
  void Write(platform::FileSystem& fs, std::span<const std::span<const uint8_t>> journal, bool durable);
  // The empty file that a look-up of the path found under the table's data-file write lock, held
  // since: the next Write, in the write-out that follows, does not look the path up again. That
  // write-out forgets it, written or not.
  void Seen(const platform::FileIdentity& identity) { seen_ = identity; }
  void Unseen() { seen_.reset(); }
  // Cuts the file written to nothing (with `durable` forced to the device): what it held is no
  // longer a change to roll back. False on failure.
  bool Cut(bool durable);
  // Lets the file go and deletes it when it is empty and no other open of it exists (taken
  // alone, so that no other writer opens it meanwhile); otherwise another holder deletes it
  // when it lets go. Never raises: a file left over is empty and harmless.
  void Release(platform::FileSystem& fs) noexcept;
  // Lets the file go without deleting it.
  void Forget() { file_.reset(); }
  // True while a file is held.
  bool Holds() const { return file_ != nullptr; }

 private:
  std::string path_;
  std::unique_ptr<platform::OsFile> file_;
  bool folderSynced_ = false;
  std::optional<platform::FileIdentity> seen_;
};

// One table in a write-out: its journal's path and its files by kind (null where it has none).
struct TJournalTable {
  std::string journalPath;
  std::array<TFileHandler*, 3> files{};
  // False for in-memory tables, which a crash loses anyway: no journal file is written, but a
  // failure still rolls the files back.
  bool journal = true;
  // The journal file kept between write-outs, whose Path is journalPath. Without one, the
  // write-out makes its journal and deletes it once it is cut.
  TJournalHandle* handle = nullptr;
};

// Writes out the held writes of every table as one unit, as above, then drops them. On failure
// the files are rolled back from the old bytes in memory; when even that fails the journal stays
// hot for the next opener. Raises the first failure (VELDOR_WRITEERR and the like).
// Requires: the write locks of every table are held.
void WriteOutTables(platform::FileSystem& fs, const std::vector<TJournalTable>& tables, bool durable);

enum class TJournalState : uint8_t {
  None,   // no journal
  Empty,  // nothing to roll back: kept by a writer between write-outs, or left by one that ended
  Hot,    // bytes in it: a change to roll back (or a journal cut off, to delete unread)
};
// What lies at `path`, spelt exactly so; one look-up, since it runs at every lock. `found`, when
// given, receives the file's identity (left alone when there is none).
TJournalState JournalState(platform::FileSystem& fs, const std::string& path,
                           platform::FileIdentity* found = nullptr);
inline bool JournalHot(platform::FileSystem& fs, const std::string& path) {
  return JournalState(fs, path) == TJournalState::Hot;
}

// Deletes the journal at `path` when there is one, for a table whose files are deleted, moved or
// made anew while nobody has them open: a holder elsewhere finds it gone at its next write-out.
// Raises when it stays.
void DeleteJournal(platform::FileSystem& fs, const std::string& path);

// Rolls back the hot journal of a table, forces its files to the device and deletes the journal;
// true when the files were changed. An empty journal, or none, is left as it is. Requires: the
// table's exclusive lock, the files open for writing with nothing held. Raises when a rollback
// write fails (the journal stays).
bool RecoverJournal(platform::FileSystem& fs, const std::string& path,
                    const std::array<TFileHandler*, 3>& files);

}  // namespace engine
