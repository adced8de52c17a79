#include "engine/storage/veldorrecord.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/storage/veldorcompress.h"
#include "platform/bytes.h"

namespace engine {

namespace {
constexpr uint32_t kGrowStep = 64;

size_t roundUp(uint32_t size) {
  return (size_t(std::max(size, kRecordHeaderSize)) + kGrowStep - 1) / kGrowStep * kGrowStep;
}
}  // namespace

TRecord::TRecord(TRecordOwner& owner) : owner_(&owner) {
  SetBufferSize(owner.recordSize());
}

TRecord::TRecord(TRecordOwner& owner, uint8_t* room, size_t roomSize)
    : owner_(&owner), data_(room), capacity_(roomSize) {
  std::fill(room, room + roomSize, 0);
  SetBufferSize(owner.recordSize());
}

std::unique_ptr<TRecord> TRecord::Make(TRecordOwner& owner) {
  const size_t room = roundUp(owner.recordSize());
  void* block = ::operator new(sizeof(TRecord) + room);
  try {
    return std::unique_ptr<TRecord>(new (block)
                                        TRecord(owner, static_cast<uint8_t*>(block) + sizeof(TRecord), room));
  } catch (...) {
    ::operator delete(block);
    throw;
  }
}

void TRecord::Initialize(bool newId) {
  std::fill(data_, data_ + capacity_, 0);
  if (newId) platform::put4(&data_[5], owner_->nextUniqueId());
  platform::put4(&data_[1], number_);
  dirty_ = false;
}

void TRecord::LoadFromBuffer(const uint8_t* image) {
  std::memcpy(data_, image, size_);
  if (owner_->recordsScrambled()) UnscrambleBuffer(data_, size_, kStructureSeed);
  if (data_[0] == kRecordInUse) platform::put4(&data_[1], number_);
  dirty_ = false;
}

void TRecord::SaveToBuffer(uint8_t* image) {
  std::memcpy(image, data_, size_);
  if (owner_->recordsScrambled()) ScrambleBuffer(image, size_, kStructureSeed);
  dirty_ = false;
}

void TRecord::SetStatus(uint8_t status) {
  data_[0] = status;
  dirty_ = true;
}

uint32_t TRecord::GetNextFree() const {
  return data_[0] == kRecordInUse ? 0 : platform::get4(&data_[1]);
}

void TRecord::SetNextFree(uint32_t next) {
  platform::put4(&data_[1], next);
  dirty_ = true;
}

uint32_t TRecord::GetUniqueId() const {
  return platform::get4(&data_[5]);
}

void TRecord::SetUniqueId(uint32_t id) {
  platform::put4(&data_[5], id);
  dirty_ = true;
}

void TRecord::SetRecordNumber(uint32_t number) {
  if (number == number_) return;
  number_ = number;
  if (data_[0] == kRecordInUse) platform::put4(&data_[1], number);
}

void TRecord::SetBufferSize(uint32_t size) {
  if (size == size_ && data_) return;
  const size_t capacity = roundUp(size);
  if (capacity > capacity_) {
    // Outgrown: the image moves to the heap, its bytes kept and the new ones zero.
    if (data_ && data_ != heap_.data()) heap_.assign(data_, data_ + capacity_);
    heap_.resize(capacity, 0);
    data_ = heap_.data();
    capacity_ = capacity;
  }
  size_ = size;
}

void TRecord::SetKeyBufferSize(uint32_t size) {
  if (size <= keySize_) return;
  const size_t capacity = (size_t(size) + kGrowStep - 1) / kGrowStep * kGrowStep;
  if (capacity > keyBuffer_.size()) keyBuffer_.resize(capacity, 0);
  keySize_ = size;
}

void TRecord::Assign(const TRecord& other) {
  owner_ = other.owner_;
  dirty_ = other.dirty_;
  pins_ = other.pins_;
  number_ = other.number_;
  std::memcpy(data_, other.data_, std::min(size_, other.size_));
}

bool TRecord::SameData(const uint8_t* image) const {
  return std::memcmp(data_, image, size_) == 0;
}

void TRecord::SetFieldData(const uint8_t* image) {
  if (size_ > kRecordHeaderSize)
    std::memcpy(data_ + kRecordHeaderSize, image + kRecordHeaderSize, size_ - kRecordHeaderSize);
  dirty_ = true;
}

std::unique_ptr<TRecord> TRecordStack::Pop() {
  if (spares_.empty()) return TRecord::Make(*owner_);
  std::unique_ptr<TRecord> record = std::move(spares_.back());
  spares_.pop_back();
  record->SetBufferSize(owner_->recordSize());
  record->Initialize(false);
  record->ResetPins();
  return record;
}

void TRecordStack::Push(std::unique_ptr<TRecord>& record) {
  if (!record) return;
  if (spares_.size() < kCapacity) spares_.push_back(std::move(record));
  record.reset();
}

}  // namespace engine
