#include "engine/storage/veldorkeys.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorlocale.h"
#include "engine/storage/veldorfielddesc.h"

namespace engine {
namespace {

// Where TFieldDescriptor keeps the bytes that key building reads and writes; keys are built
// straight from a descriptor's bytes, without a copy into a TFieldDescriptor.
namespace fielddesc {
constexpr size_t kSize = kFieldDescriptorSize;
constexpr size_t kName = 2;
constexpr size_t kType = 84;
constexpr size_t kDeclaredSize = 86;
constexpr size_t kDeclaredScale = 87;
constexpr size_t kStoredSize = 88;
constexpr size_t kStoredScale = 89;
}  // namespace fielddesc

void putBigEndian(uint64_t bits, size_t bytes, uint8_t* key) {
  for (size_t i = 0; i < bytes; ++i) key[i] = uint8_t(bits >> (8 * (bytes - 1 - i)));
}

[[noreturn]] void raiseForField(uint16_t code, std::span<const uint8_t> descriptor) {
  SignalEngineError(code, "", "", "", "", FieldDescriptorName(descriptor), "", "");
}

}  // namespace

std::string FieldDescriptorName(std::span<const uint8_t> descriptor) {
  if (descriptor.size() < fielddesc::kName + 1 + kFieldNameLength) return {};
  return GetShortString(descriptor.data() + fielddesc::kName, kFieldNameLength);
}

void EncodeSmallIntKey(int16_t value, uint8_t* key) {
  putBigEndian(uint16_t(value) ^ 0x8000u, 2, key);
}

void EncodeWordKey(uint16_t value, uint8_t* key) {
  putBigEndian(value, 2, key);
}

void EncodeIntegerKey(int32_t value, uint8_t* key) {
  putBigEndian(uint32_t(value) ^ 0x80000000u, 4, key);
}

void EncodeLargeIntKey(int64_t value, uint8_t* key) {
  putBigEndian(uint64_t(value) ^ (uint64_t(1) << 63), 8, key);
}

void EncodeCurrencyKey(int64_t value, uint8_t* key) {
  EncodeLargeIntKey(value, key);
}

void EncodeFloatKey(double value, uint8_t* key) {
  if (std::isnan(value)) value = std::numeric_limits<double>::quiet_NaN();  // one NaN, positive
  uint64_t bits = std::bit_cast<uint64_t>(value);
  if (value < 0.0)
    bits = ~bits;
  else if (value == 0.0)
    bits = uint64_t(1) << 63;  // -0 and 0 are one value
  else
    bits |= uint64_t(1) << 63;
  putBigEndian(bits, 8, key);
}

void InvertKeyBytes(uint8_t* key, uint8_t n) {
  size_t count = n == 0 ? 256 : n;
  for (size_t i = 0; i < count; ++i) key[i] = uint8_t(~key[i]);
}

uint8_t GetFieldKeySize(std::span<const uint8_t> descriptor) {
  if (descriptor.size() < fielddesc::kSize)
    throw std::invalid_argument("field descriptor shorter than 768 bytes");
  if (descriptor[fielddesc::kType] == TypeCode(TEngineFieldType::BCD)) return 8;
  return descriptor[fielddesc::kStoredSize];
}

void SetFieldStorageSize(std::span<uint8_t> descriptor) {
  if (descriptor.size() < fielddesc::kSize)
    throw std::invalid_argument("field descriptor shorter than 768 bytes");
  uint8_t declared = descriptor[fielddesc::kDeclaredSize];
  uint8_t stored = declared;
  switch (TEngineFieldType(descriptor[fielddesc::kType])) {
    case TEngineFieldType::String:
      if (declared > 254) raiseForField(VELDOR_INVALIDFLDTYPE, descriptor);
      stored = uint8_t(declared + 1);
      break;
    case TEngineFieldType::Date:
    case TEngineFieldType::Integer:
    case TEngineFieldType::Time:
    case TEngineFieldType::Type13:
      stored = 4;
      break;
    case TEngineFieldType::Blob:
    case TEngineFieldType::Float:
    case TEngineFieldType::Timestamp:
    case TEngineFieldType::LargeInt:
      stored = 8;
      break;
    case TEngineFieldType::Boolean:
    case TEngineFieldType::SmallInt:
    case TEngineFieldType::Word:
      stored = 2;
      break;
    case TEngineFieldType::BCD:
      stored = uint8_t(kBcdSize);
      break;
    case TEngineFieldType::Type14:
      stored = 10;
      break;
    default:
      break;
  }
  descriptor[fielddesc::kStoredSize] = stored;
}

void SetFieldStorageScale(std::span<uint8_t> descriptor) {
  if (descriptor.size() < fielddesc::kSize)
    throw std::invalid_argument("field descriptor shorter than 768 bytes");
  descriptor[fielddesc::kStoredScale] = descriptor[fielddesc::kDeclaredScale];
}

void BuildFieldKey(std::span<const uint8_t> descriptor, std::span<const uint8_t> value,
                   std::span<uint8_t> key, bool caseInsensitive, bool descending, uint16_t languageId,
                   uint16_t sortId) {
  size_t keySize = GetFieldKeySize(descriptor);
  size_t storedSize = descriptor[fielddesc::kStoredSize];
  TEngineFieldType type = TEngineFieldType(descriptor[fielddesc::kType]);
  if (value.size() < storedSize) throw std::invalid_argument("field value shorter than its stored size");
  if (key.size() < 1 + keySize) throw std::invalid_argument("key buffer shorter than the field's key part");
  size_t fixed = FixedValueSize(type);
  bool encoded = fixed != 0 && type != TEngineFieldType::Blob && type != TEngineFieldType::Type13 &&
                 type != TEngineFieldType::Type14;
  if (encoded && storedSize != fixed) raiseForField(VELDOR_INVALIDFLDTYPE, descriptor);

  uint8_t* out = key.data() + 1;
  const uint8_t* in = value.data();
  switch (type) {
    case TEngineFieldType::String: {
      std::memset(out, 0, keySize);
      if (keySize == 0) break;
      size_t length = 0;
      while (length + 1 < keySize && in[length] != 0) ++length;
      if (caseInsensitive) {
        std::string text(reinterpret_cast<const char*>(in), length);
        OSUpperCase(languageId, sortId, text, length);
        length = std::min(length, std::strlen(text.c_str()));
        std::memcpy(out, text.data(), length);
      } else {
        std::memcpy(out, in, length);
      }
      break;
    }
    case TEngineFieldType::Date:
    case TEngineFieldType::Integer:
    case TEngineFieldType::Time:
      EncodeIntegerKey(GetIntegerValue(in), out);
      break;
    case TEngineFieldType::Boolean:
    case TEngineFieldType::Word:
      EncodeWordKey(GetWordValue(in), out);
      break;
    case TEngineFieldType::SmallInt:
      EncodeSmallIntKey(GetSmallIntValue(in), out);
      break;
    case TEngineFieldType::Float:
    case TEngineFieldType::Timestamp:
      EncodeFloatKey(GetFloatValue(in), out);
      break;
    case TEngineFieldType::LargeInt:
      EncodeLargeIntKey(GetLargeIntValue(in), out);
      break;
    case TEngineFieldType::BCD: {
      int64_t scaled = 0;
      switch (DecodeBcdValue(in, scaled)) {
        case TBcdDecode::Exact:
          break;
        case TBcdDecode::Overflow:
          raiseForField((in[1] & 0x80) ? VELDOR_MINVALERR : VELDOR_MAXVALERR, descriptor);
        case TBcdDecode::Rounded:
        case TBcdDecode::Malformed:
          raiseForField(VELDOR_FILECORRUPT, descriptor);
      }
      EncodeCurrencyKey(scaled, out);
      break;
    }
    default:
      std::memcpy(out, in, keySize);
      break;
  }

  if (descending && languageId == 0) {
    size_t count = type == TEngineFieldType::String ? keySize : keySize + 1;
    if (count > 0) InvertKeyBytes(key.data(), uint8_t(count));  // 256 wraps to 0, which means 256
  }
}

void SortKeyBytes(const uint8_t* keys, size_t stride, uint16_t size, bool descending,
                  std::vector<uint32_t>& order) {
  constexpr size_t kSmallRun = 24;
  std::vector<uint32_t> spare(order.size());
  const auto byteOf = [&](uint32_t key, size_t at) {
    const uint8_t b = keys[size_t(key) * stride + at];
    return descending ? uint8_t(255 - b) : b;
  };
  struct TRun {
    size_t first, count, at;
  };
  std::vector<TRun> runs{{0, order.size(), 0}};
  while (!runs.empty()) {
    TRun run = runs.back();
    runs.pop_back();
    uint32_t* a = order.data() + run.first;
    if (run.count <= kSmallRun) {
      // Insertion sort, which keeps equal keys in the order they came.
      for (size_t i = 1; i < run.count; ++i) {
        const uint32_t key = a[i];
        size_t j = i;
        while (j > 0 &&
               CompareBytes(keys + size_t(a[j - 1]) * stride + run.at, keys + size_t(key) * stride + run.at,
                            uint16_t(size - run.at), descending) > 0) {
          a[j] = a[j - 1];
          --j;
        }
        a[j] = key;
      }
      continue;
    }
    std::array<size_t, 257> start{};
    for (; run.at < size; ++run.at) {
      start.fill(0);
      for (size_t i = 0; i < run.count; ++i) ++start[size_t(byteOf(a[i], run.at)) + 1];
      if (std::find(start.begin() + 1, start.end(), run.count) == start.end()) break;
    }
    if (run.at >= size) continue;
    for (size_t b = 1; b <= 256; ++b) start[b] += start[b - 1];
    std::array<size_t, 257> next = start;
    uint32_t* out = spare.data() + run.first;
    for (size_t i = 0; i < run.count; ++i) out[next[byteOf(a[i], run.at)]++] = a[i];
    std::copy(out, out + run.count, a);
    for (size_t b = 0; b < 256; ++b)
      if (start[b + 1] - start[b] > 1)
        runs.push_back({run.first + start[b], start[b + 1] - start[b], run.at + 1});
  }
}

}  // namespace engine
