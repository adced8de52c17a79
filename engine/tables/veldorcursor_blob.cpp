// The data cursor: open blobs and the blob steps of record writes.
//
// Every handle is checked against the cursor's list before its buffer is touched, and every
// position and length against the value's limits, so a stale or forged record buffer can
// neither reach freed memory nor grow a value past what the blob file can hold.
#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldordata.h"
#include "engine/storage/veldorrecord.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldortable.h"
#include "platform/bytes.h"
#include "platform/debugassert.h"

namespace engine {

namespace {

// Positions are signed 32-bit: a value must stay addressable by them.
constexpr uint64_t kMaxBlobLength = 0x7FFFFFFFull;

int32_t word1Of(const TFieldDescriptor& d, const uint8_t* buffer) {
  int32_t w;
  std::memcpy(&w, buffer + d.Offset() + 1, 4);
  return w;
}

}  // namespace

bool TDataCursor::HasBlobFields() const {
  if (!table_) return false;
  const TDataFile& data = table_->DataFile();
  // Every write asks: the answer holds while the descriptors do.
  if (blobFieldsOf_ == &data && blobFieldsVersion_ == data.DescriptorsVersion()) return hasBlobFields_;
  bool any = false;
  for (uint16_t p = 1; p <= data.GetFieldCount() && !any; ++p) any = data.GetFieldDescriptor(p)->IsBlob();
  blobFieldsOf_ = &data;
  blobFieldsVersion_ = data.DescriptorsVersion();
  hasBlobFields_ = any;
  return any;
}

TDataCursor::TOpenBlob* TDataCursor::findBlob(uint32_t handle) const {
  if (handle == 0) return nullptr;
  for (const auto& b : openBlobs_)
    if (b->handle == handle) return b.get();
  return nullptr;
}

std::unique_ptr<TDataCursor::TOpenBlob> TDataCursor::takeOpenBlob() {
  TBlobFile& file = table_->BlobFile();
  if (!spareBlob_ || spareBlob_->data.File() != &file) return std::make_unique<TOpenBlob>(file, this);
  std::unique_ptr<TOpenBlob> blob = std::move(spareBlob_);
  blob->data.Reuse();
  blob->handle = 0;
  blob->tag = blob->mode = 0;
  blob->stamp = 0;
  return blob;
}

void TDataCursor::dropOpenBlob(size_t at) {
  // A large value's memory is given back.
  constexpr size_t kSpareBytes = 65536;
  std::unique_ptr<TOpenBlob> blob = std::move(openBlobs_[at]);
  openBlobs_.erase(openBlobs_.begin() + long(at));
  if (blob->data.HeldBytes() <= kSpareBytes) spareBlob_ = std::move(blob);
}

bool TDataCursor::IsOpenBlob(uint32_t handle) const {
  return findBlob(handle) != nullptr;
}

uint16_t TDataCursor::blobOf(uint16_t fieldNo, const uint8_t* buffer, bool tableFields,
                             const TFieldDescriptor*& d, TOpenBlob*& blob) const {
  d = tableFields ? &GetTableFieldDesc(fieldNo) : &GetFieldDesc(fieldNo);
  if (!d->IsBlob()) return VELDOR_NOTABLOB;
  const int32_t word = word1Of(*d, buffer);
  blob = word < 0 ? findBlob(uint32_t(-int64_t(word))) : nullptr;
  return blob ? 0 : VELDOR_INVALIDBLOBHANDLE;
}

void TDataCursor::putBlobWord(const TFieldDescriptor& d, uint8_t* buffer, int32_t word, bool hasValue) {
  std::memcpy(buffer + d.Offset() + 1, &word, 4);
  buffer[d.Offset()] = hasValue ? 1 : 0;
}

template <class Load>
uint16_t TDataCursor::loadRecordBlob(const TFieldDescriptor& d, const uint8_t* buffer, const Load& load) {
  uint32_t recordNo;
  std::memcpy(&recordNo, buffer + 1, 4);
  if (recordNo == 0 || d.Computed()) {
    if (word1Of(d, buffer) != 0) load();
    return 0;
  }
  const TFieldDescriptor* field = &d;
  size_t failed = 0;
  return loadRecordBlobs({&field, 1}, buffer, load, failed);
}

template <class Load>
uint16_t TDataCursor::loadRecordBlobs(std::span<const TFieldDescriptor* const> fields, const uint8_t* buffer,
                                      const Load& load, size_t& failed) {
  failed = 0;
  uint32_t recordNo;
  std::memcpy(&recordNo, buffer + 1, 4);
  const bool chained = std::any_of(fields.begin(), fields.end(),
                                   [&](const TFieldDescriptor* d) { return word1Of(*d, buffer) != 0; });
  if (recordNo == 0) {
    if (chained) load();
    return 0;
  }
  // The words are compared with the record as stored now, not with the blob's first block: a
  // chain that another writer freed or rewrote may carry another value of the same record, or
  // one of a record that took its number, and would load without complaint. The record cache
  // answers for the file only while the table proves it current; otherwise the read pair brings
  // it up to date first. Records and blobs are all that is read here: an index change is the next
  // step's to see.
  if (!mayReadCaches(TCachedFiles::RecordsAndBlobs)) BeginRead();
  TDataFile& data = table_->DataFile();
  for (int attempt = 0; attempt < 8; ++attempt) {
    const uint32_t dataSeen = dataChangeCounter_, blobSeen = blobChangeCounter_;
    if (recordNo > data.GetLastRecordNumber()) return VELDOR_KEYORRECDELETED;
    for (size_t i = 0; i < fields.size(); ++i) {
      if (size_t(fields[i]->Offset()) + 9 > data.GetRecordSize()) {
        failed = i;
        return VELDOR_KEYORRECDELETED;
      }
    }
    // The record as the cache or the run read for the scan holds it, which the read pair or the
    // proven caches make the stored one, as a read through the cache would give it; only when
    // neither holds it is it read.
    const uint8_t* stored = data.HeldRecordBytes(recordNo);
    TRecord* record = nullptr;
    if (!stored) {
      // False when a file read met another writer's change: the cursor has taken the table up
      // again, under the read pair it now holds.
      if (!data.GetRecord(this, recordNo, record)) continue;
      stored = record->GetBuffer();
    }
    size_t differs = stored[0] == kRecordInUse ? fields.size() : 0;
    for (size_t i = 0; i < differs; ++i) {
      const size_t at = size_t(fields[i]->Offset()) + 1;
      if (platform::get8(stored + at) != platform::get8(buffer + at)) differs = i;
    }
    if (record) data.ReleaseRecord(record);
    if (differs < fields.size()) {
      failed = differs;
      return VELDOR_KEYORRECDELETED;
    }
    if (chained) {
      try {
        load();
      } catch (const EVELDOREngineError& e) {
        // A chain whose block another writer freed or gave to another record after the record
        // was proven above: whether the record still names it is only known by looking again.
        const bool writerMet = dataChangeCounter_ != dataSeen || blobChangeCounter_ != blobSeen;
        if (e.ErrorCode() != VELDOR_KEYORRECDELETED || !writerMet) throw;
      }
    }
    // A block read from the file met another writer's change: the record is looked at again.
    if (dataChangeCounter_ == dataSeen && blobChangeCounter_ == blobSeen) return 0;
  }
  return VELDOR_KEYORRECDELETED;
}

uint16_t TDataCursor::OpenBlob(uint16_t fieldNo, uint8_t* buffer, uint8_t openMode, bool tableFields,
                               uint8_t tag) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  if (IsRemote()) return remoteOpenBlob(fieldNo, buffer, openMode, tableFields, tag);
  const TFieldDescriptor& d = tableFields ? GetTableFieldDesc(fieldNo) : GetFieldDesc(fieldNo);
  if (!d.IsBlob()) return VELDOR_NOTABLOB;
  const int32_t word = word1Of(d, buffer);
  if (word < 0) {
    TOpenBlob* open = findBlob(uint32_t(-int64_t(word)));
    if (!open) return VELDOR_INVALIDBLOBOFFSET;
    if (open->tag == 0) open->tag = tag;
    return 0;
  }
  if (openBlobs_.size() >= kMaxOpenBlobs) return VELDOR_OPENBLOBLIMIT;
  ReadScope scope(*this);
  SyncWithTable();
  std::unique_ptr<TOpenBlob> blob = takeOpenBlob();
  // A handle that no open blob has, never 0, and positive as a signed word.
  do {
    lastBlobHandle_ = lastBlobHandle_ >= 0x7FFFFFFF ? 1 : lastBlobHandle_ + 1;
  } while (findBlob(lastBlobHandle_));
  blob->handle = lastBlobHandle_;
  blob->tag = tag;
  blob->mode = openMode;
  std::memcpy(&blob->stamp, buffer + d.Offset() + 5, 4);
  uint32_t owner;
  std::memcpy(&owner, buffer + 1, 4);
  blob->data.SetOwnerId(owner);
  blob->data.SetFieldNumber(d.FieldNumber());
  blob->data.SetFirstBlock(uint32_t(word));
  // A value opened to be read is most often read once: its blocks stay out of the cache.
  if (const uint16_t code = loadRecordBlob(d, buffer, [&] {
        if (openMode == 1)
          blob->data.LoadInPassing();
        else
          blob->data.Load();
      }))
    return code;
  blob->data.SetDirty(false);
  blob->data.SaveOriginalData();
  putBlobWord(d, buffer, -int32_t(blob->handle), blob->data.GetSize() > 0);
  openBlobs_.push_back(std::move(blob));
  return 0;
}

uint16_t TDataCursor::FreeBlob(uint16_t fieldNo, uint8_t* buffer, bool tableFields, uint8_t tag) {
  if (IsRemote()) return remoteFreeBlob(fieldNo, buffer, tableFields, tag);
  const TFieldDescriptor* d = nullptr;
  TOpenBlob* blob = nullptr;
  if (const uint16_t code = blobOf(fieldNo, buffer, tableFields, d, blob)) return code;
  if (blob->tag != tag) {
    putBlobWord(*d, buffer, -int32_t(blob->handle), blob->data.GetSize() > 0);
    return 0;
  }
  const uint32_t first = blob->data.GetFirstBlock();
  putBlobWord(*d, buffer, int32_t(first), first != 0);
  dropOpenBlob(size_t(
      std::find_if(openBlobs_.begin(), openBlobs_.end(), [&](const auto& b) { return b.get() == blob; }) -
      openBlobs_.begin()));
  return 0;
}

uint16_t TDataCursor::GetBlob(uint16_t fieldNo, const uint8_t* buffer, int32_t position, uint8_t* destination,
                              int32_t length, uint32_t& countRead, bool tableFields) {
  if (IsRemote())
    return remoteGetBlob(fieldNo, buffer, position, destination, length, countRead, tableFields);
  countRead = 0;
  const TFieldDescriptor* d = nullptr;
  TOpenBlob* blob = nullptr;
  if (const uint16_t code = blobOf(fieldNo, buffer, tableFields, d, blob)) return code;
  if (position < 0 || length < 0) return VELDOR_INVALIDBLOBOFFSET;
  const uint64_t size = blob->data.GetSize();
  uint16_t result = 0;
  if (uint64_t(position) + uint64_t(length) <= size) {
    countRead = uint32_t(length);
  } else {
    result = VELDOR_ENDOFBLOB;
    countRead = uint64_t(position) < size ? uint32_t(size - uint64_t(position)) : 0;
  }
  if (countRead > 0) blob->data.Read(uint64_t(position), destination, countRead);
  return result;
}

uint16_t TDataCursor::PutBlob(uint16_t fieldNo, uint8_t* buffer, int32_t position, const uint8_t* source,
                              int32_t length, bool tableFields) {
  if (IsRemote()) return remotePutBlob(fieldNo, buffer, position, source, length, tableFields);
  const TFieldDescriptor* d = nullptr;
  TOpenBlob* blob = nullptr;
  if (const uint16_t code = blobOf(fieldNo, buffer, tableFields, d, blob)) return code;
  if (position < 0 || length < 0 || uint64_t(position) + uint64_t(length) > kMaxBlobLength)
    return VELDOR_INVALIDBLOBOFFSET;
  // The buffer grows with the write itself, which copies the bytes once instead of zeroing them
  // first.
  if (length > 0) {
    blob->data.Write(uint64_t(position), source, uint32_t(length));
  } else if (uint64_t(position) > blob->data.GetSize()) {
    blob->data.SetSize(uint32_t(position));
  }
  putBlobWord(*d, buffer, -int32_t(blob->handle), blob->data.GetSize() > 0);
  return 0;
}

uint16_t TDataCursor::TruncateBlob(uint16_t fieldNo, uint8_t* buffer, int32_t length, bool tableFields) {
  if (IsRemote()) return remoteTruncateBlob(fieldNo, buffer, length, tableFields);
  const TFieldDescriptor* d = nullptr;
  TOpenBlob* blob = nullptr;
  if (const uint16_t code = blobOf(fieldNo, buffer, tableFields, d, blob)) return code;
  if (length < 0) return VELDOR_INVALIDBLOBOFFSET;
  if (uint32_t(length) != blob->data.GetSize()) {
    blob->data.SetSize(uint32_t(length));
    blob->data.SetDirty(true);
  }
  putBlobWord(*d, buffer, -int32_t(blob->handle), length > 0);
  return 0;
}

uint16_t TDataCursor::GetBlobSize(uint16_t fieldNo, const uint8_t* buffer, uint32_t& size, bool tableFields) {
  if (IsRemote()) return remoteGetBlobSize(fieldNo, buffer, size, tableFields);
  size = 0;
  const TFieldDescriptor* d = nullptr;
  TOpenBlob* blob = nullptr;
  if (const uint16_t code = blobOf(fieldNo, buffer, tableFields, d, blob)) return code;
  size = blob->data.GetSize();
  return 0;
}

void TDataCursor::FreeAllBlobs(bool all) {
  if (IsRemote()) return remoteFreeAllBlobs(all);
  for (size_t i = openBlobs_.size(); i-- > 0;)
    if (all || openBlobs_[i]->tag != 0) dropOpenBlob(i);
}

bool TDataCursor::ReadsStoredBlob(uint16_t fieldNo, bool tableFields, const uint8_t* record) const {
  if (!active_ || IsRemote()) return false;
  const TFieldDescriptor& d = tableFields ? GetTableFieldDesc(fieldNo) : GetFieldDesc(fieldNo);
  return d.IsBlob() && word1Of(d, record) >= 0;
}

uint16_t TDataCursor::ReadStoredBlob(uint16_t fieldNo, bool tableFields, const uint8_t* record,
                                     std::string& value) {
  value.clear();
  VELMARON_DEBUG_ASSERT(ReadsStoredBlob(fieldNo, tableFields, record), "a stored blob is read in passing");
  const TFieldDescriptor& d = tableFields ? GetTableFieldDesc(fieldNo) : GetFieldDesc(fieldNo);
  // OpenBlob would refuse to open one more.
  if (openBlobs_.size() >= kMaxOpenBlobs) return VELDOR_OPENBLOBLIMIT;
  ReadScope scope(*this);
  SyncWithTable();
  const uint32_t first = uint32_t(word1Of(d, record));
  uint32_t owner;
  std::memcpy(&owner, record + 1, 4);
  const uint16_t code = loadRecordBlob(d, record, [&] {
    if (first != 0) table_->BlobFile().ReadValue(this, first, owner, value);
  });
  // What a refused read left is part of a chain that is no longer the record's.
  if (code != 0) value.clear();
  return code;
}

bool TDataCursor::ReadBlobValue(uint16_t fieldNo, bool tableFields, const uint8_t* record,
                                std::vector<uint8_t>& value) {
  value.clear();
  const TFieldDescriptor& d = tableFields ? GetTableFieldDesc(fieldNo) : GetFieldDesc(fieldNo);
  if (record[d.Offset()] == 0) return false;
  const int32_t word = word1Of(d, record);
  auto check = [&](uint16_t code) {
    if (code != 0) Raise(code, d.Name());
  };
  uint32_t size = 0, read = 0;
  if (word < 0) {
    // Open already: its value, saved or not, is in the open blob, which stays as its opener left
    // it. Opening it again would hand it to this read's tag, and the free after the read would
    // drop it with the caller's unsaved changes.
    check(GetBlobSize(fieldNo, record, size, tableFields));
    value.resize(size);
    check(GetBlob(fieldNo, record, 0, value.data(), int32_t(size), read, tableFields));
    if (read != size) Raise(VELDOR_MEMOCORRUPT, d.Name());
    return true;
  }
  if (active_ && !IsRemote() && d.IsBlob() && word > 0 && openBlobs_.size() < kMaxOpenBlobs) {
    // A stored chain: loaded as OpenBlob would load it, without an open blob to make and free,
    // and into the caller's buffer. A value read so is read in passing: its blocks stay out of
    // the cache.
    ReadScope scope(*this);
    SyncWithTable();
    uint32_t owner;
    std::memcpy(&owner, record + 1, 4);
    check(
        loadRecordBlob(d, record, [&] { table_->BlobFile().ReadValue(this, uint32_t(word), owner, value); }));
    return true;
  }
  // Opening a blob marks the record image: work on a copy of it.
  std::vector<uint8_t> image(record, record + recordSize_);
  check(OpenBlob(fieldNo, image.data(), 1, tableFields, 1));
  struct Free {
    TDataCursor& c;
    uint16_t fieldNo;
    bool tableFields;
    std::vector<uint8_t>& image;
    ~Free() { c.FreeBlob(fieldNo, image.data(), tableFields, 1); }
  } free{*this, fieldNo, tableFields, image};
  check(GetBlobSize(fieldNo, image.data(), size, tableFields));
  value.resize(size);
  check(GetBlob(fieldNo, image.data(), 0, value.data(), int32_t(size), read, tableFields));
  if (read != size) Raise(VELDOR_MEMOCORRUPT, d.Name());
  return true;
}

void TDataCursor::ReadBlobTexts(std::span<const uint16_t> fieldNos, bool tableFields, const uint8_t* record,
                                std::span<std::string> values) {
  // The fields ReadBlobValue reads from their stored chains; any other is read by it alone.
  constexpr size_t kHeld = 32;
  std::array<const TFieldDescriptor*, kHeld> chained;
  std::array<size_t, kHeld> places;
  size_t count = 0;
  const bool direct = active_ && !IsRemote() && openBlobs_.size() < kMaxOpenBlobs;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < fieldNos.size(); ++i) {
    values[i].clear();
    const TFieldDescriptor& d = tableFields ? GetTableFieldDesc(fieldNos[i]) : GetFieldDesc(fieldNos[i]);
    if (record[d.Offset()] == 0) continue;
    if (direct && count < kHeld && d.IsBlob() && !d.Computed() && word1Of(d, record) > 0) {
      chained[count] = &d;
      places[count++] = i;
    } else if (ReadBlobValue(fieldNos[i], tableFields, record, bytes)) {
      values[i].assign(bytes.begin(), bytes.end());
    }
  }
  if (count == 0) return;
  ReadScope scope(*this);
  SyncWithTable();
  uint32_t owner;
  std::memcpy(&owner, record + 1, 4);
  size_t failed = 0;
  const uint16_t code = loadRecordBlobs(
      std::span(chained.data(), count), record,
      [&] {
        for (size_t k = 0; k < count; ++k)
          table_->BlobFile().ReadValue(this, uint32_t(word1Of(*chained[k], record)), owner,
                                       values[places[k]]);
      },
      failed);
  if (code != 0) Raise(code, chained[failed]->Name());
}

void TDataCursor::CopyBlobValue(uint16_t fieldNo, bool tableFields, const uint8_t* record, TDataCursor& to,
                                uint16_t target, uint8_t* buffer) {
  std::vector<uint8_t> bytes;
  if (!ReadBlobValue(fieldNo, tableFields, record, bytes)) return;
  uint16_t code = to.OpenBlob(target, buffer, 2, tableFields, 1);
  if (code == 0) code = to.PutBlob(target, buffer, 0, bytes.data(), int32_t(bytes.size()), tableFields);
  if (code != 0) to.Raise(code);
}

// ---- Record-write steps ----

void TDataCursor::StampChangedBlobs(uint8_t* buffer, bool tableFields) {
  for (const auto& b : openBlobs_) {
    if (!b->data.IsDirty()) continue;
    b->stamp = table_->DataFile().NextAutoIncValue();
    uint16_t position = 0;
    const TFieldDescriptor* d =
        tableFields ? table_->DataFile().FindFieldByNumber(b->data.GetFieldNumber(), position) : nullptr;
    if (!tableFields)
      for (uint16_t p = 1; p <= FieldCount() && !d; ++p)
        if (Field(p).desc.FieldNumber() == b->data.GetFieldNumber()) d = &Field(p).desc;
    if (d && word1Of(*d, buffer) == -int32_t(b->handle)) std::memcpy(buffer + d->Offset() + 5, &b->stamp, 4);
  }
}

bool TDataCursor::SaveChangedBlobs() {
  bool saved = false;
  uint32_t owner = 0;
  for (const auto& b : openBlobs_) {
    if (!b->data.IsDirty()) continue;
    if (saved && b->data.GetOwnerId() != owner) Raise(VELDOR_MEMOCORRUPT);
    owner = b->data.GetOwnerId();
    saved = true;
  }
  for (const auto& b : openBlobs_) {
    if (!b->data.IsDirty()) continue;
    if (b->data.GetSize() < 1)
      b->data.FreeBlocks();
    else
      b->data.Save();
    b->data.SetDirty(false);
  }
  return saved;
}

void TDataCursor::WriteOpenBlobFields(uint8_t* buffer, bool tableFields) {
  const uint16_t count = tableFields ? table_->DataFile().GetFieldCount() : FieldCount();
  for (uint16_t p = 1; p <= count; ++p) {
    const TFieldDescriptor& d = tableFields ? GetTableFieldDesc(p) : GetFieldDesc(p);
    if (!d.IsBlob()) continue;
    const int32_t word = word1Of(d, buffer);
    if (word >= 0) continue;
    if (TOpenBlob* b = findBlob(uint32_t(-int64_t(word)))) {
      const uint32_t first = b->data.GetFirstBlock();
      putBlobWord(d, buffer, int32_t(first), first != 0);
    }
  }
}

void TDataCursor::ClearRecordBlobs(uint8_t* buffer) {
  const uint16_t count = table_->DataFile().GetFieldCount();
  for (uint16_t p = 1; p <= count; ++p) {
    if (!GetTableFieldDesc(p).IsBlob()) continue;
    uint16_t code = OpenBlob(p, buffer, 2, true, 1);
    if (code == 0) code = TruncateBlob(p, buffer, 0, true);
    if (code != 0) Raise(code);
  }
}

bool TDataCursor::writeRecordBlobs(uint8_t* buffer, uint32_t recordNo) {
  if (!HasBlobFields()) return false;
  // A new record's blobs were opened before it had a number.
  for (const auto& b : openBlobs_)
    if (b->data.IsDirty() && b->data.GetOwnerId() == 0) b->data.SetOwnerId(recordNo);
  StampChangedBlobs(buffer, true);
  const bool saved = SaveChangedBlobs();
  WriteOpenBlobFields(buffer, true);
  FreeAllBlobs(false);
  return saved;
}

}  // namespace engine
