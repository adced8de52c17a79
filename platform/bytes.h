// Little-endian field access for on-disk and wire formats.
// Every format is read and written field by field through these helpers; no struct is ever
// written to disk. Callers check lengths before calling: these helpers do not.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace platform {

inline uint16_t get2(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t get4(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t get8(const uint8_t* p) {
  return uint64_t(get4(p)) | (uint64_t(get4(p + 4)) << 32);
}
inline int32_t get4s(const uint8_t* p) {
  return int32_t(get4(p));
}

// The few formats of others that are big-endian (the Oracle client's extended ROWID).
inline uint16_t getBig2(const uint8_t* p) {
  return uint16_t(p[0] << 8 | p[1]);
}
inline uint32_t getBig4(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline void put2(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void put4(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline void put8(uint8_t* p, uint64_t v) {
  put4(p, uint32_t(v));
  put4(p + 4, uint32_t(v >> 32));
}

// A plain value (number, bookmark part) at an unaligned address of a record image or format, in
// its little-endian byte form: the byte order of every machine this builds for.
static_assert(std::endian::native == std::endian::little, "record images are little-endian");
template <class T>
T getValue(const uint8_t* p) {
  static_assert(std::is_trivially_copyable_v<T>);
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
void putValue(uint8_t* p, T v) {
  static_assert(std::is_trivially_copyable_v<T>);
  std::memcpy(p, &v, sizeof v);
}

// Copies `n` bytes between buffers that do not overlap, for the short copies of record fields.
// A size the compiler knows to be small (a field's one-byte size) is otherwise expanded to a
// string instruction, whose start-up costs more than the copy of a few dozen bytes.
inline void copyShort(uint8_t* to, const uint8_t* from, size_t n) {
  if (n >= 16) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) std::memcpy(to + i, from + i, 16);
    if (i < n) std::memcpy(to + n - 16, from + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else {
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
  }
}

// Copies `text` into a zero-padded fixed field of `size` bytes, cutting it to fit.
inline void putFixedText(uint8_t* p, size_t size, std::string_view text) {
  std::memset(p, 0, size);
  // An empty view may have no data at all, which memcpy must not be given.
  if (!text.empty()) std::memcpy(p, text.data(), text.size() < size ? text.size() : size);
}

// Reads a fixed text field of `size` bytes up to its first zero byte.
inline std::string getFixedText(const uint8_t* p, size_t size) {
  size_t n = 0;
  while (n < size && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace platform
