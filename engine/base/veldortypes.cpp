#include "engine/base/veldortypes.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

namespace engine {
namespace {

constexpr uint8_t kSignBit = 0x80;
constexpr uint8_t kSpecialBit = 0x40;
constexpr uint8_t kPlacesMask = 0x3F;
constexpr size_t kDigitsOffset = 2;

uint8_t digitAt(const uint8_t* bcd, size_t k) {
  uint8_t byte = bcd[kDigitsOffset + k / 2];
  return k % 2 == 0 ? uint8_t(byte >> 4) : uint8_t(byte & 0x0F);
}

void setDigitAt(uint8_t* bcd, size_t k, uint8_t digit) {
  uint8_t& byte = bcd[kDigitsOffset + k / 2];
  byte = k % 2 == 0 ? uint8_t((byte & 0x0F) | (digit << 4)) : uint8_t((byte & 0xF0) | digit);
}

void writeZero(uint8_t* bcd, int places) {
  std::memset(bcd, 0, kBcdSize);
  bcd[0] = kBcdPrecision;
  bcd[1] = uint8_t(places >= 0 && places <= kBcdPrecision ? places : 0);
}

}  // namespace

int64_t DivideRoundHalfEven(int64_t value, int64_t divisor) {
  if (divisor <= 0) throw std::invalid_argument("DivideRoundHalfEven needs a positive divisor");
  int64_t q = value / divisor;
  int64_t r = value % divisor;
  int64_t magnitude = r < 0 ? -r : r;
  int64_t rest = divisor - magnitude;  // compared instead of doubling, which could overflow
  if (magnitude > rest || (magnitude == rest && q % 2 != 0)) q += value < 0 ? -1 : 1;
  return q;
}

TBcdDecode DecodeBcdValue(const uint8_t* bcd, int64_t& scaled) {
  scaled = 0;
  size_t precision = bcd[0];
  size_t places = bcd[1] & kPlacesMask;
  bool negative = (bcd[1] & kSignBit) != 0;
  if (precision == 0) return TBcdDecode::Exact;
  if (precision > 64 || places > precision || (bcd[1] & kSpecialBit)) return TBcdDecode::Malformed;
  for (size_t k = 0; k < precision; ++k)
    if (digitAt(bcd, k) > 9) return TBcdDecode::Malformed;

  // The magnitude may reach 2^63 for a negative value.
  constexpr uint64_t kLimit = uint64_t(std::numeric_limits<int64_t>::max()) + 1;
  size_t kept = precision - places + (places < 4 ? places : 4);
  uint64_t value = 0;
  bool overflow = false;
  for (size_t k = 0; k < kept && !overflow; ++k) {
    uint8_t d = digitAt(bcd, k);
    if (value > (kLimit - d) / 10)
      overflow = true;
    else
      value = value * 10 + d;
  }
  for (size_t i = places; i < 4 && !overflow; ++i) {
    if (value > kLimit / 10)
      overflow = true;
    else
      value *= 10;
  }
  bool rounded = false;
  if (!overflow && places > 4) {
    uint8_t first = digitAt(bcd, kept);
    bool restNonZero = false;
    for (size_t k = kept + 1; k < precision; ++k) restNonZero = restNonZero || digitAt(bcd, k) != 0;
    rounded = first != 0 || restNonZero;
    if (first > 5 || (first == 5 && (restNonZero || value % 2 != 0))) {
      if (value == kLimit)
        overflow = true;
      else
        ++value;
    }
  }
  if (overflow || (!negative && value == kLimit) || value > kLimit) return TBcdDecode::Overflow;
  scaled = negative ? int64_t(0 - value) : int64_t(value);
  return rounded ? TBcdDecode::Rounded : TBcdDecode::Exact;
}

bool EncodeBcdValue(int64_t scaled, int places, uint8_t* bcd) {
  writeZero(bcd, places);
  if (places < 0 || places > kBcdPrecision) return false;
  int64_t value = scaled;
  if (places < 4) {
    int64_t divisor = 1;
    for (int i = places; i < 4; ++i) divisor *= 10;
    value = DivideRoundHalfEven(scaled, divisor);
  }
  bool negative = value < 0;
  uint64_t magnitude = negative ? 0 - uint64_t(value) : uint64_t(value);
  // Digits from the right: the zeros below the fourth decimal, then the magnitude.
  size_t k = kBcdPrecision;
  size_t zeros = places > 4 ? size_t(places - 4) : 0;
  k -= zeros;  // those digits are already 0
  while (magnitude != 0) {
    if (k == 0) {
      writeZero(bcd, places);
      return false;
    }
    setDigitAt(bcd, --k, uint8_t(magnitude % 10));
    magnitude /= 10;
  }
  if (negative) bcd[1] |= kSignBit;
  return true;
}

bool RescaleBcdValue(const uint8_t* in, int places, uint8_t* out) {
  writeZero(out, places);
  if (places < 0 || places > kBcdPrecision) return false;
  const size_t precision = in[0];
  const size_t from = in[1] & kPlacesMask;
  if (precision == 0) return true;
  if (precision > 2 * (kBcdSize - kDigitsOffset) || from > precision || (in[1] & kSpecialBit)) return false;
  std::vector<uint8_t> digits(precision);
  for (size_t k = 0; k < precision; ++k) {
    digits[k] = digitAt(in, k);
    if (digits[k] > 9) return false;
  }
  const size_t wanted = size_t(places);
  if (wanted < from) {
    const size_t kept = precision - (from - wanted);
    const uint8_t first = digits[kept];
    const bool restNonZero =
        std::any_of(digits.begin() + ptrdiff_t(kept) + 1, digits.end(), [](uint8_t d) { return d != 0; });
    digits.resize(kept);
    const bool odd = kept > 0 && digits[kept - 1] % 2 != 0;
    if (first > 5 || (first == 5 && (restNonZero || odd))) {
      size_t k = kept;
      while (k > 0 && digits[k - 1] == 9) digits[--k] = 0;
      if (k == 0)
        digits.insert(digits.begin(), 1);
      else
        ++digits[k - 1];
    }
  } else {
    digits.resize(precision + (wanted - from), 0);
  }
  size_t lead = 0;
  while (lead < digits.size() && digits[lead] == 0) ++lead;
  if (digits.size() - lead > kBcdPrecision) return false;
  for (size_t k = lead; k < digits.size(); ++k)
    setDigitAt(out, kBcdPrecision - (digits.size() - k), digits[k]);
  if ((in[1] & kSignBit) && lead < digits.size()) out[1] |= kSignBit;
  // A value that reads as a number must still read as one with its new places; one that did not
  // (beyond the scaled range already) keeps its digits.
  int64_t scaled = 0;
  const TBcdDecode was = DecodeBcdValue(in, scaled);
  if ((was == TBcdDecode::Exact || was == TBcdDecode::Rounded) &&
      DecodeBcdValue(out, scaled) == TBcdDecode::Overflow) {
    writeZero(out, places);
    return false;
  }
  return true;
}

void ResizeBlockBuffer(int64_t size, size_t blockSize, std::vector<uint8_t>& buffer) {
  if (blockSize == 0) throw std::invalid_argument("ResizeBlockBuffer needs a block size");
  if (size <= 0) {
    buffer.clear();
    buffer.shrink_to_fit();
    return;
  }
  uint64_t blocks = (uint64_t(size) + blockSize - 1) / blockSize;
  uint64_t rounded = blocks * blockSize;
  if (rounded > buffer.size()) buffer.resize(size_t(rounded), 0);
}

}  // namespace engine
