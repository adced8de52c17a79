// Integrity checker of a table's files, for tests and for a person looking at a damaged table.
// It reads the files itself, page by page, independent of any cache, and reports every rule
// that does not hold:
// - the index file's header: version, index count, descriptors, page numbers in range;
// - every index tree: page types, keys in order within and across pages, each branch entry's
//   key equal to its child's first key and its count equal to the keys below it, sibling links
//   left to right on every level, leaves at one depth, fill rules;
// - pages: every page reachable from exactly one tree, free list or text parameter page, and
//   every page accounted for;
// - with the data file: the live records equal the record count, every index in use holds
//   exactly one entry per live record and each entry's key is the key built from its record,
//   the record-id index holds one entry per slot, and the free-record chain holds exactly the
//   deleted slots.
//
// The library is what later tests call after a crash or a stress run; the command `tablecheck`
// prints the report and exits non-zero when anything is wrong.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tablecheck {

// Compares two keys of an index slot over `keySize` bytes: -1, 0 or 1. The default compares
// unsigned bytes, which is the order of every key the engine builds without a locale.
using KeyCompare = std::function<int(uint8_t slot, const uint8_t* a, const uint8_t* b, uint16_t keySize)>;

struct Options {
  // Scrambled files. Read from the data file when there is one.
  bool encrypted = false;
  // Every index in use holds exactly as many entries as the header's record count.
  bool checkKeysPerRecord = true;
  // Each key equals the key built from its record (tables written through a cursor; tools that
  // build trees of their own keys turn it off).
  bool checkRecordKeys = false;
  KeyCompare compare;
  // Stop listing problems after this many.
  size_t maxProblems = 200;
};

// Record slots of the data file: status per record number (index 0 = record 1), with the record
// images and field descriptors that keys are built from.
struct DataFileFacts {
  bool encrypted = false;
  std::vector<uint8_t> status;
  std::vector<std::vector<uint8_t>> records;
  std::vector<std::vector<uint8_t>> descriptors;  // 768 bytes each, by position
  uint16_t languageId = 0;
  uint16_t sortId = 0;
  uint32_t freeHead = 0;
};

struct IndexFacts {
  uint8_t slot = 0;
  std::string name;
  uint64_t keys = 0;
  uint32_t depth = 0;
  uint32_t pages = 0;
  uint32_t freePages = 0;
};

struct Report {
  std::vector<std::string> problems;
  std::vector<IndexFacts> indexes;
  uint32_t pageCount = 0;  // pages in the index file (next page number - 1)
  uint32_t recordCount = 0;

  bool ok() const { return problems.empty(); }
  // One line per problem, or "ok" with a summary.
  std::string text() const;
};

// How reading one of a table's files went.
enum class FileRead { Read, Missing, Unreadable };

// Reads the whole file at `path` into `bytes`. Missing when there is no such file; Unreadable,
// with `why` set (a folder, no rights, a read error), when there is one that cannot be read.
FileRead ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& why);

// Checks an index file image (the whole file's bytes). With `data`, also the records against
// the indexes.
Report CheckIndexImage(const std::vector<uint8_t>& file, const Options& options,
                       const std::optional<DataFileFacts>& data = std::nullopt);

// Reads a data file's header and record statuses; nullopt (with `problem` set) when it cannot
// be read or its layout does not add up.
std::optional<DataFileFacts> ReadDataFileFacts(const std::string& path, std::string& problem);

// Checks the files of a table: `path` names the table with or without its ".IDX" or ".DAT"
// extension. The data file is used when it exists. Missing index files and unreadable files are
// problems too.
Report CheckTableFiles(const std::string& path, const Options& options = {});

}  // namespace tablecheck
