// Records of a table's data file in memory: TRecord holds one record image exactly as it lies in
// the file, with the bookkeeping of the record cache; TRecordStack pools spare records per file.
//
// Record image (R bytes, R the table's record size):
//   0  u8   status: 0 in use, 1 deleted (on the free-record chain)
//   1  u32  in use: the record's own number; deleted: next record of the free chain (0 = end)
//   5  u32  unique id of the record
//   9  ...  field area
//
// Not thread-safe: records belong to one table object, which one thread uses at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace engine {

// What a record needs of the data file that owns it. The data file implements it.
class TRecordOwner {
 public:
  virtual ~TRecordOwner() = default;
  // The table's record size R in bytes (at least 9, at most 65,536).
  virtual uint32_t recordSize() const = 0;
  // True when the table's records are scrambled on disk.
  virtual bool recordsScrambled() const = 0;
  // Hands out the next unique record id and marks the header dirty.
  virtual uint32_t nextUniqueId() = 0;
};

inline constexpr uint8_t kRecordInUse = 0;
inline constexpr uint8_t kRecordDeleted = 1;
inline constexpr uint32_t kRecordHeaderSize = 9;

class TRecord {
 public:
  // A clean, unpinned record numbered 0 whose buffer is sized for the owner's record size.
  explicit TRecord(TRecordOwner& owner);
  // The same, its buffer in the record's own allocation: a cache of many records takes one
  // allocation (and one free) a record instead of two.
  static std::unique_ptr<TRecord> Make(TRecordOwner& owner);
  // Pairs with Make's allocation as with a plain new.
  static void operator delete(void* p) { ::operator delete(p); }
  TRecord(const TRecord&) = delete;
  TRecord& operator=(const TRecord&) = delete;

  TRecordOwner& Owner() const { return *owner_; }

  // Zeroes the image, writes a new unique id from the owner at byte 5 when `newId` is set and
  // the record's number at byte 1; the record is then in use and clean.
  void Initialize(bool newId);

  // Copies R bytes in from `image`, unscrambling them for a scrambled table (the caller's image
  // stays as it was). A record in use then gets its own number at byte 1. Clears dirty.
  void LoadFromBuffer(const uint8_t* image);
  // Copies R bytes out to `image`, scrambled for a scrambled table; this record's own buffer
  // stays plain. Clears dirty.
  void SaveToBuffer(uint8_t* image);

  uint8_t GetStatus() const { return data_[0]; }
  void SetStatus(uint8_t status);
  // The free-chain link of a deleted record; 0 for a record in use, whatever byte 1 holds.
  uint32_t GetNextFree() const;
  void SetNextFree(uint32_t next);
  uint32_t GetUniqueId() const;
  void SetUniqueId(uint32_t id);

  uint32_t GetRecordNumber() const { return number_; }
  // Stores a new number; a record in use also gets it at byte 1 (without turning dirty).
  void SetRecordNumber(uint32_t number);

  uint32_t GetBufferSize() const { return size_; }
  // Changes the record size; the buffer grows in steps of 64 bytes and never shrinks, and bytes
  // it gains are zero.
  void SetBufferSize(uint32_t size);
  // Grows the sort-key buffer when `size` is larger than it is.
  void SetKeyBufferSize(uint32_t size);

  // Takes the owner, dirty flag, pins and number of `other` and copies min(both sizes) bytes of
  // its image.
  void Assign(const TRecord& other);
  // True when `image` equals this record's whole image (status, number and id included).
  bool SameData(const uint8_t* image) const;
  // Copies the field area (bytes 9 to R - 1) from `image` and marks the record dirty.
  void SetFieldData(const uint8_t* image);

  uint8_t* GetBuffer() { return data_; }
  const uint8_t* GetBuffer() const { return data_; }
  uint8_t* GetKeyBuffer() { return keyBuffer_.data(); }

  bool IsDirty() const { return dirty_; }
  void SetDirty(bool dirty) { dirty_ = dirty; }
  uint16_t PinCount() const { return pins_; }
  void Pin() { ++pins_; }
  // Never goes below 0.
  void Unpin() {
    if (pins_ > 0) --pins_;
  }
  void ResetPins() { pins_ = 0; }

  // Links of the record cache's recently-used chain (not owned).
  TRecord* Prev() const { return prev_; }
  TRecord* Next() const { return next_; }
  void SetPrev(TRecord* r) { prev_ = r; }
  void SetNext(TRecord* r) { next_ = r; }

 private:
  TRecord(TRecordOwner& owner, uint8_t* room, size_t roomSize);

  TRecordOwner* owner_;
  bool dirty_ = false;
  uint16_t pins_ = 0;
  uint32_t number_ = 0;
  // The image: the room that came with the record, or heap_ once it outgrew that room.
  uint8_t* data_ = nullptr;
  size_t capacity_ = 0;  // a multiple of 64, at least 64
  std::vector<uint8_t> heap_;
  uint32_t size_ = 0;
  TRecord* prev_ = nullptr;
  TRecord* next_ = nullptr;
  std::vector<uint8_t> keyBuffer_;
  uint32_t keySize_ = 0;
};

// Spare records of one data file. Keeps at most kCapacity; a record pushed beyond that is freed.
class TRecordStack {
 public:
  static constexpr size_t kCapacity = 64;

  explicit TRecordStack(TRecordOwner& owner) : owner_(&owner) {}

  // The last spare record, initialised (without a new id), unpinned and sized for the owner's
  // current record size; a new record when the pool is empty.
  std::unique_ptr<TRecord> Pop();
  // Takes `record` (nothing happens for none) and leaves the caller's pointer empty.
  void Push(std::unique_ptr<TRecord>& record);
  // Frees every spare record.
  void Clear() { spares_.clear(); }
  size_t Count() const { return spares_.size(); }

 private:
  TRecordOwner* owner_;
  std::vector<std::unique_ptr<TRecord>> spares_;
};

}  // namespace engine
