// The data file of a table (".DAT"): its header, its field descriptors and its record slots, the
// free-record chain, the counters, the file's byte-range locks, and the record cache through
// which every record of a local table is read and written.
//
// File layout (little-endian):
//   header, 127 bytes at 0:
//       0 u32 change counter: +1 at every header write; how other processes notice changes
//       4 u32 blob block size (0 reads as 512)
//       8 u8  format version 5
//       9 u32 head of the free-record chain (0 = empty)
//      13 u32 next record number (record slots + 1)
//      17 u32 last unique record id given out
//      21 u16 record size R
//      23 u16 field count F (at most 1024)
//      25 u16 blob field count (at most 128)
//      27 f64 last-write stamp: local days since 1899-12-30 with fraction, minus 693594.0
//      35 string[50] description (characters scrambled for an encrypted table)
//      86 u8  encrypted flag
//      87 string[15] password (characters scrambled; empty when not encrypted)
//     103 u16 language id, 105 u16 sort id of the table's collation (language 0: binary)
//     107 u16, 109 u16 user version numbers
//     111 u8  header-dirty flag as it stood when written
//     112 u32 last auto-increment value given out
//     116 u32 31000, 120 u32 0 (written at every header write); 124 u16, 126 u8 kept as read
//   F field descriptors of 768 bytes from 127 (veldorfielddesc.h), scrambled as one run for an
//   encrypted table;
//   record slot N (from 1) at 127 + F * 768 + (N - 1) * R, R bytes (veldorrecord.h), scrambled
//   per record for an encrypted table.
//
// Byte-range locks, beyond any data: record N at 0xFFFFFFFE - N (1 byte, one attempt); the write
// lock, which is also the transaction lock, at 0xFFFFFFFF (1 byte, retried).
//
// Errors are EVELDOREngineError with the table name and its directory as context items; the
// file layer's read and write errors pass through.
//
// Not thread-safe: a data file belongs to one table object, which one thread uses at a time.
// Processes, and table objects of one process, share the file through the file layer: every
// seek-and-transfer runs inside the shared file's section, writers are kept apart by the write
// lock, and readers notice another writer through HeaderChanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/veldorcache.h"
#include "engine/storage/veldorfielddesc.h"
#include "engine/storage/veldorfile.h"
#include "engine/storage/veldorrecord.h"
#include "engine/storage/veldortablelink.h"

namespace engine {

// Steps of a grouping sort, on full record images of the table, in place.
// Aggregate: with `first` a group starts from the record (both images are the same); otherwise
// the record is folded into the group image. Finalize (first false, both images the group's)
// completes a group's output record. Group filter: false drops the group's output record.
using TSortAggregateStep = void (*)(void* context, bool first, uint8_t* record, uint8_t* group);
using TSortFinalizeStep = void (*)(void* context, bool first, uint8_t* group, uint8_t* sameGroup);
using TSortGroupFilter = bool (*)(void* context, bool first, uint8_t* group, uint8_t* sameGroup);

// What a record sort is asked to do beside ordering.
struct TSortOptions {
  bool caseInsensitive = false;
  // Drops a record whose key equals the previous output's.
  bool distinct = false;
  // Folds records of equal keys into one through `aggregate` (required then).
  bool group = false;
  void* context = nullptr;
  TSortAggregateStep aggregate = nullptr;
  TSortFinalizeStep finalize = nullptr;  // none: nothing to complete
  TSortGroupFilter filter = nullptr;     // none: every group is kept
  // The most output records; negative for no limit.
  int64_t limit = -1;
  // Folder of the run files (".TMP", deleted when the sort ends, however it ends); the
  // system's temporary folder when empty.
  std::string tempDirectory;
};

inline constexpr uint32_t kDataHeaderSize = 127;
inline constexpr uint8_t kDataFileVersion = 5;
inline constexpr uint16_t kMaxFieldCount = 1024;
inline constexpr uint16_t kMaxBlobFieldCount = 128;
// The header keeps R in 16 bits.
inline constexpr uint32_t kMaxRecordSize = 65535;
inline constexpr uint32_t kMaxRecordSlots = 200'000'000;
inline constexpr int64_t kMaxDataFileEnd = 4'000'000'000;
inline constexpr uint32_t kDefaultBlobBlockSize = 512;
inline constexpr uint32_t kMinBlobBlockSize = 64;
inline constexpr uint32_t kMaxBlobBlockSize = 65535;
// The largest unique id or auto-increment value; the counters never wrap past it.
inline constexpr uint32_t kMaxCounterValue = 0x7FFFFFFF;
inline constexpr double kStampBias = 693594.0;

inline constexpr int64_t kRecordLockBase = INT64_C(0xFFFFFFFE);
inline constexpr int64_t kDataWriteLockOffset = INT64_C(0xFFFFFFFF);

template <>
struct TCacheTraits<TRecord> {
  static uint32_t Number(const TRecord& r) { return r.GetRecordNumber(); }
  static void Reset(TRecord& r, uint32_t number) {
    r.SetRecordNumber(number);
    r.Initialize(false);
  }
  static bool Pinned(const TRecord& r) { return r.PinCount() > 0; }
  static bool Dirty(const TRecord& r) { return r.IsDirty(); }
  static TRecord* Prev(const TRecord& r) { return r.Prev(); }
  static TRecord* Next(const TRecord& r) { return r.Next(); }
  static void SetPrev(TRecord& r, TRecord* p) { r.SetPrev(p); }
  static void SetNext(TRecord& r, TRecord* n) { r.SetNext(n); }
};

// Statistics of the record cache, cleared at open.
struct TRecordCacheCounters {
  uint64_t hits = 0;         // found in the cache, and appended slots
  uint64_t readCalls = 0;    // runs asked of the disk
  uint64_t runsRead = 0;     // runs the disk delivered
  uint64_t flushWrites = 0;  // runs written back
};

class TDataFile : public TFileHandler, public TRecordOwner {
 public:
  // A local data file works on `list` (the process's when none); a remote one has no file,
  // cache or pool and is filled from the server's replies. `owner` may be null for a file
  // without a table (tools and tests): its errors then name the file.
  explicit TDataFile(TTableFileOwner* owner, bool remote = false, TFileList* list = nullptr);
  ~TDataFile() override;

  bool IsRemote() const { return remote_; }

  // ---- Structure and header ----

  // Sets up a new table in memory and creates (or empties) the file; header and descriptors
  // are written by the next WriteHeader and WriteFieldDescriptors. The descriptors must pass
  // the same field checks as VerifyHeader, so that every table made here opens again:
  // VELDOR_FLDLIMIT above 1024 fields, VELDOR_BLOBLIMIT for a 129th blob field or a block size
  // other than 0 or 64..65535, VELDOR_RECTOOBIG when R would pass 65,535, and the codes of
  // VerifyHeader's locale and field checks. Nothing is created when a check fails.
  void DefineStructure(uint16_t languageId, uint16_t sortId, uint16_t userVersion1, uint16_t userVersion2,
                       bool encrypted, std::string_view password, std::string_view description,
                       uint32_t blobBlockSize, std::span<const TFieldDescriptor> descriptors);

  // Opens the file, reads the header (a file shorter than the header, more than 1024 fields or
  // a record size below 9 raise VELDOR_HEADERCORRUPT) and the descriptors, and sizes the cache.
  // Nothing when open; on failure the file is closed again.
  void Open() override;
  // Releases the record locks this object holds, drops the descriptors and the cache (dirty
  // records are not written: the table flushes first) and closes the file. Nothing when closed.
  // A record lock the file layer refuses to release raises VELDOR_UNLOCKFAILED once the file
  // is closed.
  void Close() override;

  // The consistency check of an open: VELDOR_OLDVERSION for a version other than 5,
  // VELDOR_CANNOTLOADLDDRV for a collation that is not installed, VELDOR_HEADERCORRUPT for
  // anything else: block size, blob field count, every field (name, number, type, size, scale,
  // value texts, offset), the record size, and the file size against header, descriptors and
  // slots with the free-chain head among them. Stored sizes and scales are recomputed in memory.
  // Computed fields take no room in the record here as in DefineStructure: they are skipped
  // when offsets and the record size are counted.
  void VerifyHeader();
  // VELDOR_OLDVERSION unless the version byte is 5.
  void CheckVersion();

  // Reads the header from the file; clears the header-dirty flag.
  void ReadHeader();
  // Writes the header when forced or dirty: counter + 1, offset 116 := 31000, 120 := 0, stamp
  // := now; marks the table written; clears dirty. True when written.
  bool WriteHeader(bool force);
  // Re-reads the header from the file. When its change counter differs from ours the header
  // is taken over, except that it is not dirty here (another writer's unsaved state is not
  // ours), and the result is true.
  bool HeaderChanged();
  // True when the file on disk carries the change counter held here, seen without a system call
  // (TFileHandler::PeekDiskHead): HeaderChanged would find no change. False when it differs or
  // the file cannot be looked at so.
  bool ChangeCounterCurrent();
  // Counter + 1, header dirty, table written.
  void IncChangeCounter();
  uint32_t GetChangeCounter() const;
  // Copies the 127 header bytes.
  void GetHeader(uint8_t* buffer) const;
  // The same with the change counter, the stamp and the dirty flag zeroed: the bytes that stay
  // alike while only the rows change and the table is emptied again.
  void GetSettingsHeader(uint8_t* buffer) const;
  bool IsHeaderDirty() const;

  void ReadFieldDescriptors();
  // Changes whenever the descriptors in memory may have changed (read, defined, updated, checked
  // into another form, freed); never the same for two states in the process, across files too.
  // What is built from the descriptors can be kept under it.
  uint64_t DescriptorsVersion() const { return descriptorsVersion_; }
  // True when the descriptors in memory differ from the file's (UpdateFieldDescriptor since the
  // last read or write).
  bool DescriptorsDirty() const { return descriptorsDirty_; }
  // Writes the descriptors when they are dirty (flushed to the device when the session's
  // ForceBufferFlush is on). True when written.
  bool WriteFieldDescriptors();
  void FreeFieldDescriptors();

  // ---- Fields ----

  uint16_t GetFieldCount() const;
  uint16_t GetBlobFieldCount() const;
  uint32_t GetRecordSize() const;
  // 512 when the header holds 0.
  uint32_t GetBlobBlockSize() const;
  uint16_t GetLanguageId() const;
  uint16_t GetSortId() const;
  uint16_t GetUserMajorVersion() const;
  uint16_t GetUserMinorVersion() const;
  // Next record number - 1.
  uint32_t GetLastRecordNumber() const;
  uint32_t GetNextRecordNumber() const;
  // The descriptor at `position` (1..F); nullptr outside.
  const TFieldDescriptor* GetFieldDescriptor(uint16_t position) const;
  // All of them, position 1 first; valid until the descriptors change (DescriptorsVersion).
  std::span<const TFieldDescriptor> FieldDescriptors() const { return descriptors_; }
  // The descriptor with that field number or name (case ignored) and its position; nullptr and
  // position 0 when none.
  const TFieldDescriptor* FindFieldByNumber(uint16_t number, uint16_t& position) const;
  const TFieldDescriptor* FindFieldByName(std::string_view name, uint16_t& position) const;
  uint16_t IndexOfFieldName(std::string_view name) const;
  // Takes field number, name, description, subtype, required flag and the three value texts
  // of `descriptor` into the descriptor at `position`; marks the descriptors dirty. False for a
  // position outside 1..F.
  bool UpdateFieldDescriptor(uint16_t position, const TFieldDescriptor& descriptor);

  // ---- Description and password ----

  std::string GetDescription() const;
  bool IsEncrypted() const;
  // Empty when the table is not encrypted.
  std::string GetPassword() const;
  // The same, from the kDataHeaderSize bytes of a header that no open file holds.
  static std::string DescriptionOf(const uint8_t* header);
  static bool EncryptedOf(const uint8_t* header);
  static std::string PasswordOf(const uint8_t* header);
  void SetHeaderInfo(std::string_view password, std::string_view description, uint32_t lastUniqueId,
                     uint16_t userVersion1, uint16_t userVersion2);

  // ---- Counters ----

  uint32_t GetLastUniqueId() const;
  // Marks the header dirty only when the value changes.
  void SetLastUniqueId(uint32_t value);
  // The next unique id; VELDOR_TABLEFULL once 0x7FFFFFFF has been given out (ids never wrap,
  // so no two records share one). Header dirty.
  uint32_t NextUniqueId();
  // The next auto-increment value; VELDOR_FLDLIMIT once 0x7FFFFFFF has been given out.
  uint32_t NextAutoIncValue();
  // Restructuring sets where the counter goes on from.
  void SetLastAutoIncValue(uint32_t value);
  uint32_t GetLastAutoIncValue() const;

  // ---- Record slots ----

  // The slot the next allocation takes: the free-chain head, or the next record number when
  // the chain is empty or the table has no primary index.
  uint32_t GetFreeRecordNumber() const;
  // Marks the header dirty only when the value changes.
  void SetFreeRecordHead(uint32_t number);
  uint32_t GetFreeRecordHead() const;
  // Gets the slot GetFreeRecordNumber names, pinned (a new slot at the end, or the head of the
  // free chain, which then moves to that slot's link). A chain head that is not a deleted slot,
  // or whose link leaves 0..last record number or points at itself, raises
  // VELDOR_FILECORRUPT: a live record is never handed out. False (and no record) when the
  // cursor's read check reports another writer.
  bool AllocateRecord(TCacheReader* cursor, TRecord*& record);
  // Appends `count` plain record images, side by side, as new slots after the last one, each
  // taking its slot's number, in one write past the record cache; the next record number moves
  // on, the free-chain head goes to 0 as AllocateRecord leaves it, and the header turns dirty. For a writer
  // that fills a table of its own in bulk. Requires an empty free-record chain (VELDOR_FILECORRUPT
  // otherwise); VELDOR_TABLEFULL as an append through GetRecord (CheckRoomForRecords). A failed write changes
  // nothing but the bytes past the last slot.
  void AppendRecordImages(const uint8_t* images, uint32_t count);
  // The same for images that lie apart: `images[i]` is the i-th. They are gathered straight into
  // the write, so a caller whose rows are scattered copies none of them first.
  void AppendRecordImages(const uint8_t* const* images, uint32_t count);
  // The same for `count` images side by side at the start of `images`, whose storage a held
  // write takes over instead of copying them (the images then carry their slots' numbers); left
  // empty. An encrypted file copies them as above.
  void AppendRecordImages(std::vector<uint8_t>&& images, uint32_t count);
  // Makes room for `count` more images that AppendRecordImages is about to write after the last
  // slot, so that a bulk append in several runs does not move the runs held before it.
  void ReserveRecordImages(uint32_t count);
  // Room in the held writes for the images of records first..last, after the held bytes that end
  // where record `first` begins (ReserveHeld; nothing when none end there): a change that goes on
  // in record order then grows one held extent without moving it.
  void ReserveRecordRun(uint32_t first, uint32_t last);
  // VELDOR_TABLEFULL unless `count` more slots fit after the last one.
  void CheckRoomForRecords(uint32_t count) const;
  // Puts a record in use at the head of the free chain (status 1; link to the old head, or 0
  // when new records are appended anyway). A record already deleted, or numbered outside
  // 1..last record number, raises VELDOR_FILECORRUPT.
  void FreeRecord(TRecord* record);
  // Frees records first..first+count-1 as FreeRecord one after another in rising order would:
  // each links to the one freed before it, and the chain's head ends at the last. `images` holds
  // their images as ReadRecordImages gives them, each in use (VELDOR_FILECORRUPT otherwise); its
  // storage becomes one held write of the run's slots, past the record cache, and a cached record
  // of the run changes in its slot as well. Requires held writes (HoldsWrites), which a rollback
  // drops with the cache. `images` is left empty.
  void FreeRecordRun(uint32_t first, uint32_t count, std::vector<uint8_t>&& images);
  // The same, with `heads` as ReadRecordImages gave them for the run (or empty): a free changes a
  // record's status and link only, so the journal of the write-out keeps those bytes of each
  // slot from `heads` instead of reading the run again. A cached record of the run whose image
  // is then the run's turns clean, the held write standing for it. `heads` is left empty.
  void FreeRecordRun(uint32_t first, uint32_t count, std::vector<uint8_t>&& images,
                     std::vector<uint8_t>&& heads);
  // The bytes a free changes at the start of a slot: its status and its link.
  static constexpr uint32_t kFreedHeadBytes = 5;
  // Writes records first..first+count-1 from `images`, plain images as ReadRecordImages gives
  // them: a record in use as writing its fields through the record cache would leave it, one not
  // in use as it is given (unchanged since it was read, the caller's to keep so). The storage
  // becomes one held write of the run's slots, past the record cache, and a cached record in use
  // takes its new fields as well. Requires held writes (HoldsWrites), which a rollback drops with
  // the cache. `images` is left empty.
  void RewriteRecordRun(uint32_t first, uint32_t count, std::vector<uint8_t>&& images);
  // Cuts the file to header and descriptors; the chain, the slots and the unique ids start
  // again, the record cache is emptied, and the header turns dirty. The change counter is kept,
  // so the header write that follows counts it up for the other sessions.
  void Empty();

  // ---- Record cache ----

  // The record `number`, pinned. Number 0, a number past the next record number, or a record
  // the disk does not deliver raise VELDOR_FILECORRUPT. The next record number appends a slot
  // (VELDOR_TABLEFULL past 200,000,000 slots or 4,000,000,000 bytes); the new slot is dirty, so
  // it reaches the file at the next flush. On a miss the cursor's read check runs first (unless
  // the session has strict change detection) and a change makes the result false with no
  // record. A miss reads a run: with `readAhead` and `cursorReadAhead` as long as the cursor
  // asks, with `readAhead` alone up to the read-ahead count, otherwise one record; `forward`
  // runs from the record on, otherwise up to it. Records of the run the cursor does not keep
  // (KeepsReadAhead) stay out of the cache; for a cursor that reads aside (ReadsAheadAside) only
  // the record asked for enters the cache and the run is kept as the read-ahead run, each run that
  // goes on where the last ended twice as long, up to 64 KiB. A miss that the read-ahead run holds
  // is served from it. A miss without `readAhead` for a record the cursor found by a key search
  // (FetchesByKey) lets the cache grow up to 64 KiB of records before it reuses one.
  bool GetRecord(TCacheReader* cursor, uint32_t number, TRecord*& record, bool forward = true,
                 bool cursorReadAhead = false, bool readAhead = false);
  // The plain images of records first..first+count-1, as GetRecord gives them, into `images`
  // (count * record size bytes), for a scan that would only churn the cache: a cached record,
  // dirty or not, wins; the others come from one read of the file and stay out of the cache.
  // When some record is not cached the cursor's read check runs first, as in GetRecord, and a
  // change makes the result false with nothing read. A run past the last record number raises
  // VELDOR_FILECORRUPT; a slot neither in the file nor cached raises as a GetRecord miss would.
  bool ReadRecordImages(TCacheReader* cursor, uint32_t first, uint32_t count, std::vector<uint8_t>& images);
  // The same, and `heads` receives the first kFreedHeadBytes of each slot as the read found
  // them, before the image was made plain, when the run was read whole from a table that is not
  // encrypted and each cached record of it holds the bytes read past its head; it is left empty
  // otherwise.
  bool ReadRecordImages(TCacheReader* cursor, uint32_t first, uint32_t count, std::vector<uint8_t>& images,
                        std::vector<uint8_t>& heads);
  // Copies record `number` as GetRecord gives it (`size` bytes at most) from what is held in
  // memory, its cached record or the read-ahead run, without a read check, a pin or a change to
  // the cache; false when neither holds it (and always for an encrypted table). For a caller that
  // knows the caches current, as a cache hit of GetRecord would.
  bool CopyHeldRecord(uint32_t number, uint8_t* image, uint32_t size) const;
  // Where CopyHeldRecord would copy record `number` from, read in place: the bytes of its fields
  // are the record's, while bytes 1..4 of the header need not hold its number. Null when nothing
  // holds it. Valid until the next call that reads, writes or clears a record of this file.
  const uint8_t* HeldRecordBytes(uint32_t number) const;
  // Records number..number+count-1 as HeldRecordBytes gives each, where their bytes lie one after
  // another (record size apart) in the read-ahead run and no cached record holds one of them;
  // `count` is set to how many (at least 1), or null with `count` 0 when `number` is not such a
  // record. Valid as HeldRecordBytes is.
  const uint8_t* HeldRecordRun(uint32_t number, uint32_t& count) const;
  // Unpins (nothing for null).
  void ReleaseRecord(TRecord* record);
  // Writes every dirty unpinned record outside the run being read, each run of consecutive
  // numbers in one write. True when anything was written. A failed write leaves the run dirty.
  bool FlushDirtyRecords();
  // Drops every cached record (dirty ones unwritten). A pinned record stays valid for its user
  // and goes to the pool when released.
  void ClearRecordCache();
  // Shrinks the cache back to its open-time size.
  void TrimRecordCache();
  // Drops the least recently used idle record (one flush attempt when none is idle).
  bool DropRecentRecord();
  // A spare record for a caller's own use, and its return (the pointer is cleared).
  std::unique_ptr<TRecord> PopRecordBuffer();
  void PushRecordBuffer(std::unique_ptr<TRecord>& record);

  uint32_t GetReadAheadCount() const { return readAheadCount_; }
  size_t GetCacheCount() const { return cache_.Count(); }
  size_t GetCacheCapacity() const { return cache_.Capacity(); }
  const TRecordCacheCounters& GetCacheCounters() const { return counters_; }

  // ---- Buffers ----

  // Grow the read and write buffers, in 4096-byte steps, to hold at least `size` bytes; they
  // never shrink.
  void SetReadBufferSize(size_t size);
  void SetWriteBufferSize(size_t size);

  // ---- Record sort ----

  // Rewrites the table with its records in key order, renumbered from 1; returns the number of
  // records written. The key is, per field of `fields` (descriptors of this table's fields, in
  // sort order, descending as their flag says), the has-value byte and the field's index key,
  // then the unique id, so equal keys keep unique-id order. Deleted slots are left out, so the
  // free chain is empty afterwards. A table that fits one run of min(1 MB / R, 8192) records,
  // or lies whole in the cache, is sorted in memory; a larger one in sorted run files that are
  // then merged.
  // While the file holds its writes back (veldorfile.h), the table is rewritten in place and the
  // table's commit makes the change atomic with its other files. Otherwise the result goes to a
  // new file beside the data file, forced to the device and renamed over it, and the file is
  // opened again: a crash leaves the old table or the new one, whole. (An in-memory table is
  // rewritten in place.) The cache is empty afterwards. A failure raised before the rewrite
  // leaves the table as it was. The caller must hold the table alone, outside a transaction,
  // with no record in use; the table's indexes and record count are the caller's to keep in
  // step. VELDOR_NEEDEXCLACCESS for a remote table or while a record is pinned.
  uint32_t SortRecords(std::span<const TFieldDescriptor> fields, const TSortOptions& options);
  // Key length of a sort over `fields`: sum of (key size + 1), plus 4 for the unique id.
  static uint32_t SortKeyLength(std::span<const TFieldDescriptor> fields);
  // Builds the sort key of a plain record image into `key` (SortKeyLength bytes).
  void BuildSortKey(std::span<const TFieldDescriptor> fields, bool caseInsensitive, const uint8_t* image,
                    uint8_t* key) const;
  // Compares two sort keys; without `withUniqueId` the unique-id tail is ignored. Strings of a
  // table with a language id compare by its locale (nulls first when ascending).
  int CompareSortKeys(std::span<const TFieldDescriptor> fields, const uint8_t* a, const uint8_t* b,
                      bool withUniqueId) const;

  // ---- Locks ----

  // One attempt at record `number`'s byte; true when taken. Number 0 or past the slot limit
  // gives false with OS error EINVAL; a byte held elsewhere, with kLockViolation.
  bool LockRecord(uint32_t number);
  // Releases a record lock this object holds; false for any other record.
  bool UnlockRecord(uint32_t number);
  // One attempt at the bytes of records `first` to `last` together (first <= last); true when
  // all were taken. Such a run is released as a whole, by UnlockRecords naming every record of
  // it or by UnlockAllRecords; UnlockRecord refuses its records one by one.
  bool LockRecordRun(uint32_t first, uint32_t last);
  // Releases the locks of `numbers` (rising, no repeats), neighbours in one system call. False,
  // after trying the rest, when one is not held (a run counts only when every record of it is
  // named, and then stays held) or a release failed. With `writeLock` the write lock goes in the
  // same calls, and whether it did goes there.
  bool UnlockRecords(std::span<const uint32_t> numbers, bool* writeLock = nullptr);
  // Releases every record lock this object holds (never another object's). True when every
  // release succeeded.
  bool UnlockAllRecords();
  bool HoldsRecordLock(uint32_t number) const;
  // The write lock, under the file's retry rules.
  bool LockWrite();
  bool UnlockWrite();

  // ---- Remote tables ----

  // Takes the 127 header bytes and one 768-byte descriptor per field from `nextDescriptor`.
  // A header of another length, more than 1024 fields, a descriptor of another length or a
  // header that fails the checks of VerifyHeader that need no file raise (VELDOR_HEADERCORRUPT
  // but for the version and the collation); the file is then left as it was.
  void LoadHeaderFromReply(std::span<const uint8_t> header,
                           const std::function<std::span<const uint8_t>()>& nextDescriptor);
  // The last record number (the next is one more), the last unique id and the server's
  // last-write stamp (693594.0 is subtracted on arrival).
  void LoadCountersFromReply(uint32_t lastRecordNumber, uint32_t lastUniqueId, double stamp);
  void LoadCountersFromCursorReply(uint32_t lastRecordNumber, uint32_t lastUniqueId, double stamp);

  // ---- Names ----

  std::string GetTableName() const;
  std::string GetTablePath() const;

  // TRecordOwner
  uint32_t recordSize() const override { return GetRecordSize(); }
  bool recordsScrambled() const override { return IsEncrypted(); }
  uint32_t nextUniqueId() override { return NextUniqueId(); }

 private:
  using Cache = TItemCache<TRecord, TRecordStack>;

  [[noreturn]] void fail(uint16_t code) const;
  // The checks of VerifyHeader that need no file: version, collation, block size, fields.
  void verifyLayout();
  void setDirty();
  int64_t dataStart() const;
  int64_t slotOffset(uint32_t number) const;
  // A run's images for FreeRecordRun and RewriteRecordRun: VELDOR_FILECORRUPT for records
  // outside 1..last record number or fewer images than records; extra bytes are cut.
  void checkRecordRun(uint32_t first, uint32_t count, std::vector<uint8_t>& images);
  // Hands a run's images to the held writes as one write of its slots.
  void writeRecordRun(uint32_t first, std::vector<uint8_t>&& images, TKnownOldBytes&& known = {});
  bool readRecordImages(TCacheReader* cursor, uint32_t first, uint32_t count, std::vector<uint8_t>& images,
                        std::vector<uint8_t>* heads);
  // The cached records of slots first..first+count-1, in number order, into `found`.
  void cachedInRun(uint32_t first, uint32_t count, std::vector<TRecord*>& found) const;
  void prepareCache();
  void closeFile(bool raiseOnLockFailure);
  static bool sizeFitsType(const TFieldDescriptor& d);
  void recomputeStorage(TFieldDescriptor& d, uint16_t code) const;
  void checkFields(std::vector<TFieldDescriptor>& descriptors, uint16_t languageId, uint16_t sortId,
                   uint32_t recordSize, bool recompute, uint16_t code) const;
  // With `aside`, only the wanted record enters the cache and the run is kept as the read-ahead
  // run (below). With `lookUpWanted` as well, only the wanted record is looked up in the cache:
  // a run read for lookups that land near each other serves a few of them, and the run's mark
  // then leaves every copy out of it to look at the cache first.
  TRecord* ReadRecords(uint32_t number, uint32_t count, bool forward, TCacheReader* cursor,
                       bool aside = false, bool lookUpWanted = false);
  // A single-record miss served from the read-ahead run; nullptr when the run does not hold it.
  TRecord* takeFromRun(uint32_t number);
  // Called for every record that enters the cache.
  void noteCached(uint32_t number);
  // Whether a single-record miss follows earlier ones closely enough that the records after it
  // are likely wanted next (records visited in number order, one at a time); notes it.
  bool followsRecentMiss(uint32_t number);
  bool missingSlotsCached(uint32_t first, uint32_t last) const;
  // Room in the cache for one more record a cursor found by a key search, up to kLookupCacheBytes.
  void growForLookup();
  std::unique_ptr<TRecord> GetCacheSlot(uint32_t number);
  void flushForRoom();

  TTableFileOwner* owner_;
  bool remote_;
  uint8_t header_[kDataHeaderSize] = {};
  bool descriptorsDirty_ = false;
  std::vector<TFieldDescriptor> descriptors_;
  uint64_t descriptorsVersion_ = 0;
  void descriptorsChanged();

  std::vector<uint8_t> readBuffer_;
  std::vector<uint8_t> writeBuffer_;
  uint32_t readAheadCount_ = 1;
  size_t openCacheSize_ = 0;
  // The run being read: its slot numbers [first, first + count); count 0 outside a read.
  uint32_t runFirst_ = 0;
  uint32_t runCount_ = 0;
  // The read-ahead run: the file's bytes (held writes laid over) of slots [aheadFirst_,
  // aheadFirst_ + aheadCount_), read past the cache when single records were asked in number
  // order, so that the next ones need no read of their own while the cache keeps its size. It is
  // as current as a cached clean record: flushes write their bytes into it, and it goes with
  // every clearing of the cache.
  std::vector<uint8_t> aheadBuffer_;
  uint32_t aheadFirst_ = 0;
  uint32_t aheadCount_ = 0;
  // The length of the last run read aside for a cursor (GetRecord).
  uint32_t asideRunCount_ = 0;
  // No record of the read-ahead run from this number on is in the cache (noteCached keeps it so).
  uint32_t aheadUncachedFrom_ = 0;
  // HeldRecordBytes; `fromRun` when the bytes are the run's (the file's), not a cached record's.
  const uint8_t* heldBytes(uint32_t number, bool& fromRun) const;
  std::array<uint32_t, 4> recentMisses_{};
  size_t nextMiss_ = 0;

  TRecordStack pool_;
  Cache cache_;
  // Records cleared from the cache while a user still held them; freed to the pool on release.
  std::vector<std::unique_ptr<TRecord>> detached_;
  TRecordCacheCounters counters_;
  std::set<uint32_t> recordLocks_;
  // Runs taken by LockRecordRun: first record -> last.
  std::map<uint32_t, uint32_t> recordRuns_;
  // UnlockRecords' ranges and the record naming each, kept from call to call (a statement's end
  // lets go of a lock or two, which fresh lists made two allocations of).
  std::vector<platform::OsFile::Range> unlockRanges_;
  std::vector<uint32_t> unlockOwners_;
};

}  // namespace engine
