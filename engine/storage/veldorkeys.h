// Byte-comparable index keys. Every field value that enters an index key is first turned into
// bytes whose unsigned left-to-right order is the order of the values, so that keys compare with
// CompareBytes alone (string parts of a table with a locale are the exception: the index compares
// them with the locale's string compare, and they are neither inverted nor otherwise encoded).
//
// A key part of one field is one flag byte that the caller writes (1 when the field has a value,
// 0 when it is NULL), then GetFieldKeySize bytes from BuildFieldKey.
//
// Stateless; any thread.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "engine/base/veldortypes.h"

namespace engine {

// `descriptor` below is the bytes of a field descriptor (TFieldDescriptor, veldorfielddesc.h).

// The field name of a descriptor (for error texts).
std::string FieldDescriptorName(std::span<const uint8_t> descriptor);

// ---- Encodings of single values (big-endian, most significant byte first) ----

// Signed values: the big-endian bytes with the top bit of the first byte inverted, so that
// -1 is 7F FF FF FF and 0 is 80 00 00 00 (32 bits). Unsigned 16-bit: big-endian as it is.
void EncodeSmallIntKey(int16_t value, uint8_t* key);  // 2 bytes
void EncodeWordKey(uint16_t value, uint8_t* key);     // 2 bytes
void EncodeIntegerKey(int32_t value, uint8_t* key);   // 4 bytes
void EncodeLargeIntKey(int64_t value, uint8_t* key);  // 8 bytes
// A currency or scaled BCD value: its 64-bit integer, as EncodeLargeIntKey.
void EncodeCurrencyKey(int64_t value, uint8_t* key);  // 8 bytes
// 8 bytes: a value below 0 has all big-endian bytes inverted; 0, -0 and positive values have the
// top bit set. Every NaN encodes as one key above +infinity.
void EncodeFloatKey(double value, uint8_t* key);

// Inverts the first n bytes; n = 0 means 256.
void InvertKeyBytes(uint8_t* key, uint8_t n);

// ---- Field keys ----

// Key bytes of a field: 8 for a BCD field, else its stored size.
uint8_t GetFieldKeySize(std::span<const uint8_t> descriptor);
// Stored size from type and declared size: string declared + 1; 2, 6, 10, 13: 4; 3, 7, 11, 18:
// 8; 4, 5, 12: 2; 8: 34; 14: 10; any other type its declared size. A string whose stored size
// would not fit a byte (declared size above 254) raises VELDOR_INVALIDFLDTYPE.
void SetFieldStorageSize(std::span<uint8_t> descriptor);
// Stored scale = declared scale.
void SetFieldStorageScale(std::span<uint8_t> descriptor);

// Writes the field's key bytes at key[1 .. GetFieldKeySize]; key[0] is the caller's flag byte.
// `value` holds the field's stored bytes (the bytes after its has-value byte in a record).
//   string (1): the text up to its terminator, at most stored size - 1 bytes, upper-cased by the
//     locale first when `caseInsensitive` (the caller's value is not changed); every byte after
//     the text is zero, so equal strings give equal keys;
//   2, 6, 10: EncodeIntegerKey; 4, 12: EncodeWordKey; 5: EncodeSmallIntKey; 7, 11:
//     EncodeFloatKey; 18: EncodeLargeIntKey;
//   8 (BCD): EncodeCurrencyKey of the scaled value. A value that 8 key bytes cannot hold raises
//     rather than collide with another: beyond the 64-bit scaled range VELDOR_MAXVALERR (or
//     VELDOR_MINVALERR when negative), with digits below the fourth decimal or malformed
//     VELDOR_FILECORRUPT; the field item of the error names the field;
//   any other type: the stored bytes unchanged.
// With `descending` and language id 0 the bytes are inverted afterwards, the flag byte
// included: for a string the flag byte and key size - 1 bytes (the terminator's place stays 0),
// else the flag byte and all key bytes. With a language id the bytes are not inverted; the index
// reverses its compare instead.
// A fixed-size type whose stored size is not its size raises VELDOR_INVALIDFLDTYPE; a descriptor
// shorter than 768 bytes, a value shorter than the stored size or a key shorter than
// 1 + key size throws std::invalid_argument. Nothing is written past `key`.
void BuildFieldKey(std::span<const uint8_t> descriptor, std::span<const uint8_t> value,
                   std::span<uint8_t> key, bool caseInsensitive, bool descending, uint16_t languageId,
                   uint16_t sortId);

// Sorts `order` (numbers of keys side by side in `keys`, `stride` bytes apart, rising) by the
// first `size` bytes of each key, reversed when `descending`, a byte position at a time from the
// first (a most-significant radix sort: each pass reads one byte of each key where a compare sort
// reads whole keys many times over). Positions that all keys of a run share are skipped without a
// pass. Every pass keeps the order it found, so keys with equal bytes stay in rising number order.
void SortKeyBytes(const uint8_t* keys, size_t stride, uint16_t size, bool descending,
                  std::vector<uint32_t>& order);

// Compares `length` bytes unsigned, the first difference deciding: -1, 0 or 1, the sign swapped
// when `descending`. A missing `a` gives 1, a missing `b` (with `a` present) -1.
// Every index search runs through here: eight bytes at a time, read as big-endian words, so a
// key of a few bytes costs no library call.
inline int CompareBytes(const uint8_t* a, const uint8_t* b, uint16_t length, bool descending) {
  if (a == nullptr) return 1;
  if (b == nullptr) return -1;
  int result = 0;
  if constexpr (std::endian::native == std::endian::little) {
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
      uint64_t x, y;
      std::memcpy(&x, a + i, 8);
      std::memcpy(&y, b + i, 8);
      if (x != y) {
        result = __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;
        return descending ? -result : result;
      }
    }
    for (; i < length; ++i) {
      if (a[i] != b[i]) {
        result = a[i] < b[i] ? -1 : 1;
        break;
      }
    }
  } else {
    const int order = std::memcmp(a, b, length);
    result = order == 0 ? 0 : (order > 0 ? 1 : -1);
  }
  return descending ? -result : result;
}

}  // namespace engine
