#include "engine/storage/veldorrecord.h"

#include <algorithm>
#include <cstring>

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

void TRecord::Initialize(bool newId) {
  std::fill(buffer_.begin(), buffer_.end(), 0);
  if (newId) platform::put4(&buffer_[5], owner_->nextUniqueId());
  platform::put4(&buffer_[1], number_);
  dirty_ = false;
}

void TRecord::LoadFromBuffer(const uint8_t* image) {
  std::memcpy(buffer_.data(), image, size_);
  if (owner_->recordsScrambled()) UnscrambleBuffer(buffer_.data(), size_, kStructureSeed);
  if (buffer_[0] == kRecordInUse) platform::put4(&buffer_[1], number_);
  dirty_ = false;
}

void TRecord::SaveToBuffer(uint8_t* image) {
  std::memcpy(image, buffer_.data(), size_);
  if (owner_->recordsScrambled()) ScrambleBuffer(image, size_, kStructureSeed);
  dirty_ = false;
}

void TRecord::SetStatus(uint8_t status) {
  buffer_[0] = status;
  dirty_ = true;
}

uint32_t TRecord::GetNextFree() const {
  return buffer_[0] == kRecordInUse ? 0 : platform::get4(&buffer_[1]);
}

void TRecord::SetNextFree(uint32_t next) {
  platform::put4(&buffer_[1], next);
  dirty_ = true;
}

uint32_t TRecord::GetUniqueId() const {
  return platform::get4(&buffer_[5]);
}

void TRecord::SetUniqueId(uint32_t id) {
  platform::put4(&buffer_[5], id);
  dirty_ = true;
}

void TRecord::SetRecordNumber(uint32_t number) {
  if (number == number_) return;
  number_ = number;
  if (buffer_[0] == kRecordInUse) platform::put4(&buffer_[1], number);
}

void TRecord::SetBufferSize(uint32_t size) {
  if (size == size_ && !buffer_.empty()) return;
  const size_t capacity = roundUp(size);
  if (capacity > buffer_.size()) buffer_.resize(capacity, 0);
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
  std::memcpy(buffer_.data(), other.buffer_.data(), std::min(size_, other.size_));
}

bool TRecord::SameData(const uint8_t* image) const {
  return std::memcmp(buffer_.data(), image, size_) == 0;
}

void TRecord::SetFieldData(const uint8_t* image) {
  if (size_ > kRecordHeaderSize)
    std::memcpy(buffer_.data() + kRecordHeaderSize, image + kRecordHeaderSize, size_ - kRecordHeaderSize);
  dirty_ = true;
}

std::unique_ptr<TRecord> TRecordStack::Pop() {
  if (spares_.empty()) return std::make_unique<TRecord>(*owner_);
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
