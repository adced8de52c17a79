// Pooled buffers for the strings and byte buffers that records hold outside their slots.
//
// A buffer of up to 2,000 bytes is carved from 16 KiB pages in classes of 8 bytes and goes back to
// its class's free list when its last reference is disposed; a larger one comes from the system
// heap. Clear releases every page at once, which is how a whole result is freed quickly; buffers
// from the system heap are released only by DisposeBuf.
//
// Every buffer carries its size and a reference count: 1 after NewBuf, one more per AddRefStr,
// one less per DisposeBuf. Disposing a buffer with no reference left, or adding past 65,434
// references, is an EDAAssertionFailed ("DisposeBuf failed", "AddRefStr failed").
//
// Not thread-safe: one record set's heap is used by one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace dataaccess {

class TStringHeap {
 public:
  static constexpr size_t kPageSize = 16384;
  static constexpr size_t kMaxPooledSize = 2000;

  TStringHeap();
  ~TStringHeap();
  TStringHeap(const TStringHeap&) = delete;
  TStringHeap& operator=(const TStringHeap&) = delete;

  // A buffer of at least `size` bytes, or nullptr for a size below 1. Its address is even.
  char* NewBuf(size_t size);
  void DisposeBuf(char* buf);
  void AddRefStr(char* buf);
  // The capacity of a buffer.
  static size_t BufSize(const char* buf);
  // A copy of a zero-terminated text, without its trailing blanks when asked; nullptr for nullptr.
  char* AllocStr(const char* text, bool trimRight = false);
  char16_t* AllocWideStr(const char16_t* text, bool trimRight = false);
  // A new copy of `text` in place of `buf`, which is disposed.
  char* ReAllocStr(char* buf, const char* text, bool trimRight = false);
  char16_t* ReAllocWideStr(char16_t* buf, const char16_t* text, bool trimRight = false);
  void Clear();

  bool Empty() const { return empty_; }
  bool HasLargeBuffers() const { return hasLargeBuffers_; }

 private:
  static constexpr size_t kHeader = 6;  // 4-byte size, 2-byte count
  static constexpr size_t kClasses = kMaxPooledSize / 8;

  char* carve(size_t classSize);
  void pushFree(char* buf);

  std::array<char*, kClasses + 1> freeLists_{};
  std::vector<std::unique_ptr<char[]>> pages_;
  size_t free_ = 0;  // bytes left in the current page
  bool empty_ = true;
  bool hasLargeBuffers_ = false;
};

}  // namespace dataaccess
