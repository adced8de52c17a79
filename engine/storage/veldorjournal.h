// The rollback journal: how a table's files change as one unit, whatever ends the process.
//
// The writes of a change are held in the files' write sets (veldorwriteset.h) until it is written
// out. Before the first byte of a table file is overwritten, the table's journal (the data file's
// name with ".JNL") receives every region the write-out will change, with its old bytes, and
// each file's old length; with `durable` it is forced to the device, and so is its folder. Then
// the files are written in place, and deleting the journal ends the change. A journal left behind
// is hot: whoever next opens or locks the table rolls it back under the table's exclusive lock.
// A journal that is cut off or fails its checksum was never complete, so the table files were
// not yet touched; it is deleted unread.
//
// A change over several tables writes one journal per table and a marker file (".JNM") named in
// each; deleting the marker ends the change. A journal whose marker is gone belongs to a change
// that ended (or never started writing): it is deleted without a rollback.
//
// Format of a journal, little-endian:
//   8  magic "VLDRJNL1"
//   2  marker name length, then the name (a plain file name in the journal's folder, or none)
//   1  file count (at most 3), then for each file:
//        1 kind (0 data, 1 index, 2 blob; each at most once), 8 old length, 4 region count,
//        then for each region: 8 offset, 4 length, the old bytes (inside the old length)
//   4  CRC-32 of everything before it
// A marker file holds the names of its journals, one a line.
#pragma once

#include <array>
#include <cstdint>
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

// One table in a write-out: its journal's path and its files by kind (null where it has none).
struct TJournalTable {
  std::string journalPath;
  std::array<TFileHandler*, 3> files{};
  // False for in-memory tables, which a crash loses anyway: no journal file is written, but a
  // failure still rolls the files back.
  bool journal = true;
};

// Writes out the held writes of every table as one unit, as above, then drops them. On failure
// the files are rolled back from the old bytes in memory; when even that fails the journal stays
// hot for the next opener. Raises the first failure (VELDOR_WRITEERR and the like).
// Requires: the write locks of every table are held.
void WriteOutTables(platform::FileSystem& fs, const std::vector<TJournalTable>& tables, bool durable);

// True when a journal lies at `path`, spelt exactly so (one look-up: it runs at every lock).
bool JournalExists(platform::FileSystem& fs, const std::string& path);

// Deletes the journal at `path` when there is one, for a table whose files are deleted or made
// anew. Raises when it stays.
void DeleteJournal(platform::FileSystem& fs, const std::string& path);

// Rolls back the hot journal of a table, forces its files to the device and deletes the journal;
// true when the files were changed. Requires: the table's exclusive lock, the files open for
// writing with nothing held. Raises when a rollback write fails (the journal stays).
bool RecoverJournal(platform::FileSystem& fs, const std::string& path,
                    const std::array<TFileHandler*, 3>& files);

}  // namespace engine
