#include "dataaccess/memdata_stringheap.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "dataaccess/daconsts.h"

namespace dataaccess {
namespace {

// A buffer's count is kept above these values so that a stray pointer into freed memory is
// likely to be noticed: 100 marks a buffer on a free list, 101 one reference.
constexpr uint16_t kFreeCount = 100;
constexpr uint16_t kOneReference = 101;

uint32_t sizeOf(const char* buf) {
  uint32_t size;
  std::memcpy(&size, buf - 6, 4);
  return size;
}
void setSize(char* buf, uint32_t size) {
  std::memcpy(buf - 6, &size, 4);
}
uint16_t countOf(const char* buf) {
  uint16_t count;
  std::memcpy(&count, buf - 2, 2);
  return count;
}
void setCount(char* buf, uint16_t count) {
  std::memcpy(buf - 2, &count, 2);
}

template <class Char>
size_t textLength(const Char* text, bool trimRight) {
  size_t n = 0;
  while (text[n]) ++n;
  if (trimRight)
    while (n > 0 && text[n - 1] == Char(' ')) --n;
  return n;
}

}  // namespace

TStringHeap::TStringHeap() = default;

TStringHeap::~TStringHeap() {
  Clear();
}

size_t TStringHeap::BufSize(const char* buf) {
  return sizeOf(buf);
}

void TStringHeap::pushFree(char* buf) {
  setCount(buf, kFreeCount);
  const size_t k = sizeOf(buf) / 8;
  std::memcpy(buf, &freeLists_[k], sizeof(char*));
  freeLists_[k] = buf;
}

char* TStringHeap::carve(size_t classSize) {
  const size_t need = classSize + kHeader;
  if (free_ < need) {
    // The rest of the page becomes a free buffer of the class that fits in it.
    if (free_ >= kHeader + 8) {
      char* rest = pages_.back().get() + (kPageSize - free_) + kHeader;
      setSize(rest, uint32_t((free_ - kHeader) / 8 * 8));
      pushFree(rest);
    }
    pages_.push_back(std::make_unique<char[]>(kPageSize));
    free_ = kPageSize - 4;
  }
  char* buf = pages_.back().get() + (kPageSize - free_) + kHeader;
  free_ -= need;
  size_t size = classSize;
  // A remainder too small for any buffer goes to this one (while it stays in a pooled class).
  if (free_ < kHeader + 8) {
    if (classSize < kMaxPooledSize) size += free_ / 8 * 8;
    free_ = 0;
  }
  setSize(buf, uint32_t(size));
  return buf;
}

char* TStringHeap::NewBuf(size_t size) {
  if (size < 1) return nullptr;
  empty_ = false;
  const size_t k = (size + 7) / 8;
  char* buf;
  if (k > kClasses) {
    void* memory = std::malloc(kHeader + k * 8 + 2);
    if (!memory) throw std::bad_alloc();
    buf = static_cast<char*>(memory) + kHeader;
    setSize(buf, uint32_t(k * 8));
    hasLargeBuffers_ = true;
  } else if (freeLists_[k]) {
    buf = freeLists_[k];
    std::memcpy(&freeLists_[k], buf, sizeof(char*));
    DA_ASSERT(countOf(buf) == kFreeCount, "DisposeBuf failed");
  } else {
    buf = carve(k * 8);
  }
  setCount(buf, kOneReference);
  return buf;
}

void TStringHeap::DisposeBuf(char* buf) {
  if (!buf) return;
  const uint16_t count = countOf(buf);
  DA_ASSERT(count >= kOneReference, "DisposeBuf failed");
  if (count > kOneReference) return setCount(buf, uint16_t(count - 1));
  if (sizeOf(buf) / 8 > kClasses) {
    std::free(buf - kHeader);
    return;
  }
  // A buffer that grew by a page's remainder goes to the class it now fills.
  pushFree(buf);
}

void TStringHeap::AddRefStr(char* buf) {
  const uint16_t count = countOf(buf);
  DA_ASSERT(count >= kOneReference && count < UINT16_MAX, "AddRefStr failed");
  setCount(buf, uint16_t(count + 1));
}

char* TStringHeap::AllocStr(const char* text, bool trimRight) {
  if (!text) return nullptr;
  const size_t n = textLength(text, trimRight);
  char* buf = NewBuf(n + 1);
  std::memcpy(buf, text, n);
  buf[n] = 0;
  return buf;
}

char16_t* TStringHeap::AllocWideStr(const char16_t* text, bool trimRight) {
  if (!text) return nullptr;
  const size_t n = textLength(text, trimRight);
  char* buf = NewBuf((n + 1) * 2);
  std::memcpy(buf, text, n * 2);
  std::memset(buf + n * 2, 0, 2);
  return reinterpret_cast<char16_t*>(buf);
}

char* TStringHeap::ReAllocStr(char* buf, const char* text, bool trimRight) {
  char* copy = AllocStr(text, trimRight);
  DisposeBuf(buf);
  return copy;
}

char16_t* TStringHeap::ReAllocWideStr(char16_t* buf, const char16_t* text, bool trimRight) {
  char16_t* copy = AllocWideStr(text, trimRight);
  DisposeBuf(reinterpret_cast<char*>(buf));
  return copy;
}

void TStringHeap::Clear() {
  if (empty_) return;
  pages_.clear();
  free_ = 0;
  freeLists_.fill(nullptr);
  empty_ = true;
  hasLargeBuffers_ = false;
}

}  // namespace dataaccess
