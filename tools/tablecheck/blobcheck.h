// Integrity check of a table's blob file against its data file, reading both files itself,
// independent of any cache. It reports every rule that does not hold:
// - the data file's header and layout (size against header, descriptors and slots);
// - the blob file's header: version, next block number and free-list head in range, and the
//   file neither shorter nor longer than the blocks its header counts;
// - every blob value of every live record: links within the file, no block visited twice, the
//   owner of every block the record (its number or its unique id), the first block carrying the
//   value's length, every other block 0, used bytes within the data area and adding up to the
//   length, the chain ending where the value does;
// - the free list: links within the file, no cycle, no block that a value also uses;
// - every block belonging to exactly one value or to the free list.
// A write-out that a crash or a failed write cut short leaves one of these broken: a data file
// longer than its header says, a blob chain that a record names before its blocks were written,
// blocks written for a value whose record was not, or a file tail past its header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tablecheck {

struct BlobReport {
  std::vector<std::string> problems;
  uint32_t blockCount = 0;
  uint32_t freeBlocks = 0;
  uint32_t values = 0;
  bool ok() const { return problems.empty(); }
};

// `path` names the table with or without an extension. A table without blob fields has nothing
// to check (a blob file is then not required).
BlobReport CheckTableBlobs(const std::string& path);

// The same on the two files' bytes.
BlobReport CheckBlobImages(const std::vector<uint8_t>& dataFile, const std::vector<uint8_t>& blobFile);

}  // namespace tablecheck
