// What the table files (data, index and blob file) need of the layers above them. The table
// object and the cursor live in engine/tables and implement these; the storage layer only calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

// Field facts that index definitions and the index header check need of the table.
struct TIndexFieldInfo {
  std::string name;
  uint8_t type = 0;
  uint8_t subType = 0;
  uint16_t keySize = 0;  // the field's key part without its flag byte
};

// The files of a table whose caches a read depends on: all of them, or those a memo read reads
// (records and blobs) or a step on held records (records and the index).
enum class TCachedFiles { All, RecordsAndBlobs, RecordsAndIndex };

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
  // True when the table's files are scrambled on disk.
  virtual bool IsEncrypted() const = 0;

  // Session settings: flush to the device after writes that change a file's length or
  // descriptors; and (non-zero) skip the cursor's change check before each disk read.
  virtual bool ForceBufferFlush() const = 0;
  virtual bool StrictChangeDetection() const = 0;

  // The value-text rule for a field's minimum, maximum and default texts of field type `type`.
  virtual bool IsValidValueText(std::string_view text, uint8_t type) const = 0;
  // True when IsValidValueText applies the engine's value-text rule (rather than passing every
  // text): a field list it accepted is then known good for every owner.
  virtual bool ChecksValueTexts() const { return false; }
  // Looks a field up by its number; false when the table has no such field.
  virtual bool FindFieldByNumber(uint16_t number, TIndexFieldInfo& info) const = 0;
};

// An owner for table files used on their own (tests, tools, benchmarks): every answer is a
// public setting. Every value text passes.
class TStandaloneTableOwner : public TTableFileOwner {
 public:
  std::string tableName = "table";
  std::string tablePath;
  int writes = 0;
  bool transactionLock = false;
  bool noPrimaryIndex = false;
  bool encrypted = false;
  bool forceBufferFlush = false;
  bool strictChangeDetection = false;
  // Fields by number (index = number - 1).
  std::vector<TIndexFieldInfo> fields;

  std::string GetTableName() const override { return tableName; }
  std::string GetTablePath() const override { return tablePath; }
  void MarkWritten() override { ++writes; }
  bool WrittenSinceOpen() const override { return writes > 0; }
  bool HoldsTransactionLock() const override { return transactionLock; }
  bool NoPrimaryIndex() const override { return noPrimaryIndex; }
  bool IsEncrypted() const override { return encrypted; }
  bool ForceBufferFlush() const override { return forceBufferFlush; }
  bool StrictChangeDetection() const override { return strictChangeDetection; }
  bool IsValidValueText(std::string_view, uint8_t) const override { return true; }
  bool FindFieldByNumber(uint16_t number, TIndexFieldInfo& info) const override {
    if (number == 0 || number > fields.size()) return false;
    info = fields[number - 1u];
    return true;
  }
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
  // Whether a record that a run reads along, not the one asked for, earns a place in the cache:
  // a cursor says no for records its view hides, which it will not ask for.
  virtual bool KeepsReadAhead(uint32_t recordNo) {
    (void)recordNo;
    return true;
  }
  // Whether the runs this cursor asks for are read aside (TDataFile::GetRecord): a cursor that
  // walks record numbers forward takes the records one after another from the run itself, and
  // they would only push out of the cache what other users keep there.
  virtual bool ReadsAheadAside() { return false; }
  // Whether the record asked for was found by a key search: such records (a join's inner rows)
  // are often asked for again by the statement's next run, and may hold more of the cache.
  virtual bool FetchesByKey() { return false; }
};

}  // namespace engine
