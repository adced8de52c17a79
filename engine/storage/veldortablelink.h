// What the table files (data, index and blob file) need of the layers above them. The table
// object and the cursor live in engine/tables and implement these; the storage layer only calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

// The table object that owns a table's files.
class TTableFileOwner {
 public:
  virtual ~TTableFileOwner() = default;

  // The table's name and its directory (local) or database name (remote): the table and
  // database items of every error a table file raises.
  virtual std::string GetTableName() const = 0;
  virtual std::string GetTablePath() const = 0;

  // Records that a file of the table was written (header, records, pages or blocks).
  virtual void MarkWritten() = 0;
  // True when a file of the table was written since the table was opened.
  virtual bool WrittenSinceOpen() const = 0;
  // True while the table holds its transaction lock: caches then grow rather than write.
  virtual bool HoldsTransactionLock() const = 0;
  // True when the table has no primary index; new records are then always appended.
  virtual bool NoPrimaryIndex() const = 0;

  // Session settings: flush to the device after writes that change a file's length or
  // descriptors; and (non-zero) skip the cursor's change check before each disk read.
  virtual bool ForceBufferFlush() const = 0;
  virtual bool StrictChangeDetection() const = 0;

  // The value-text rule for a field's minimum, maximum and default texts of field type `type`.
  virtual bool IsValidValueText(std::string_view text, uint8_t type) const = 0;
};

// The cursor on whose behalf a cache reads from disk.
class TCacheReader {
 public:
  virtual ~TCacheReader() = default;

  // Takes the table's read locks. True when another process changed the table meanwhile; the
  // table has then cleared its caches and re-read its headers.
  virtual bool BeginRead() = 0;
  // Records to read in one run: the cursor's choice given the file's read-ahead count and the
  // direction it moves in.
  virtual uint32_t GetReadAheadCount(uint32_t readAheadCount, bool forward) = 0;
};

}  // namespace engine
