#include "engine/values/veldorvalues.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "engine/base/veldorhelpers.h"
#include "engine/values/veldorvaluetext.h"
#include "platform/textrules.h"

namespace engine {
namespace {

using T = TEngineFieldType;

// Thrown inside a conversion that cannot be done; ConvertValue turns it into false.
struct ConversionFailed {};
[[noreturn]] void fail() {
  throw ConversionFailed{};
}

constexpr double kTwo63 = 9223372036854775808.0;

bool isTextSource(T t) {
  return t == T::String || t == T::Blob;
}
bool isRawType(T t) {
  return t == T::Bytes || t == T::VarBytes;
}
bool isIntegerType(T t) {
  return t == T::SmallInt || t == T::Integer || t == T::Word || t == T::LargeInt;
}
bool isDateTimeType(T t) {
  return t == T::Date || t == T::Time || t == T::Timestamp;
}

// Types that have no operations: a conversion from them does nothing.
bool isInertSource(T t) {
  uint8_t c = TypeCode(t);
  return t == T::Unknown || t == T::Type13 || t == T::Type14 || t == T::Type16 || t == T::Type17 ||
         c >= kFirstForeignFieldType;
}

bool validDay(int64_t day) {
  return day >= kMinEngineDay && day <= kMaxEngineDay;
}

// Whole milliseconds of a timestamp within the years 1 to 9999.
int64_t timestampMilliseconds(double timestamp) {
  double ms = std::nearbyint(timestamp);
  if (!(ms >= double(kMinEngineDay) * kMsPerDay && ms < (double(kMaxEngineDay) + 1) * kMsPerDay)) fail();
  return int64_t(ms);
}

// The range of an integer target; boolean targets take 0 and 1 after normalising.
void integerRange(T t, int64_t& min, int64_t& max) {
  switch (t) {
    case T::SmallInt:
      min = std::numeric_limits<int16_t>::min(), max = std::numeric_limits<int16_t>::max();
      break;
    case T::Word:
      min = 0, max = std::numeric_limits<uint16_t>::max();
      break;
    case T::Integer:
      min = std::numeric_limits<int32_t>::min(), max = std::numeric_limits<int32_t>::max();
      break;
    default:
      min = std::numeric_limits<int64_t>::min(), max = std::numeric_limits<int64_t>::max();
      break;
  }
}

void writeInteger(T t, int64_t v, uint8_t* out) {
  int64_t min = 0, max = 0;
  integerRange(t, min, max);
  if (v < min || v > max) fail();
  switch (t) {
    case T::SmallInt:
      PutSmallIntValue(out, int16_t(v));
      break;
    case T::Word:
      PutWordValue(out, uint16_t(v));
      break;
    case T::Integer:
      PutIntegerValue(out, int32_t(v));
      break;
    case T::LargeInt:
      PutLargeIntValue(out, v);
      break;
    default:
      fail();
  }
}

// A double truncated toward zero into an integer target.
void writeTruncated(T t, double x, uint8_t* out) {
  if (!std::isfinite(x)) fail();
  double whole = std::trunc(x);
  if (!(whole >= -kTwo63 && whole < kTwo63)) fail();
  writeInteger(t, int64_t(whole), out);
}

int64_t scaledFromInteger(int64_t v) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max() / kScaledOne;
  if (v > kMax || v < -kMax) fail();
  return v * kScaledOne;
}

int64_t scaledFromFloat(double x) {
  double r = std::nearbyint(x * double(kScaledOne));  // the current rounding mode: half to even
  if (!(r >= -kTwo63 && r < kTwo63)) fail();
  return int64_t(r);
}

int64_t scaledFromBcd(const uint8_t* bcd) {
  int64_t scaled = 0;
  TBcdDecode result = DecodeBcdValue(bcd, scaled);
  if (result == TBcdDecode::Overflow || result == TBcdDecode::Malformed) fail();
  return scaled;
}

// Encodes with `scale` places, false when that fails or when the rounding takes the number past
// the scaled range (922337203685477.5807 with no places is 922337203685478): no read could take
// such a value back, so no conversion stores it.
bool encodeReadableBcd(int64_t scaled, uint8_t scale, uint8_t* out) {
  int64_t back = 0;
  if (EncodeBcdValue(scaled, scale, out) && DecodeBcdValue(out, back) != TBcdDecode::Overflow) return true;
  EncodeBcdValue(0, scale, out);
  return false;
}

void writeBcd(int64_t scaled, uint8_t scale, uint8_t* out) {
  if (!encodeReadableBcd(scaled, scale, out)) fail();
}

// The text of a string or memo at the start of the buffer: up to its terminator, at most `limit`
// bytes and at most 255, never cut inside a character.
std::string takeText(std::span<const uint8_t> buffer, size_t limit) {
  limit = std::min(limit, buffer.size());
  size_t length = 0;
  while (length < limit && buffer[length] != 0) ++length;
  return EngineString(std::string_view(reinterpret_cast<const char*>(buffer.data()), length), 255);
}

// Writes a text that must fit with its terminator into `targetSize` bytes.
void writeText(const std::string& text, uint32_t targetSize, std::span<uint8_t> buffer) {
  size_t room = std::min<size_t>(targetSize, buffer.size());
  if (text.size() + 1 > room) fail();
  std::memcpy(buffer.data(), text.data(), text.size());
  buffer[text.size()] = 0;
}

// Copies n bytes of `from` (an empty vector has no data to copy).
void copyBytes(uint8_t* out, const std::vector<uint8_t>& from, size_t n) {
  if (n > 0) std::memcpy(out, from.data(), n);
}

void writeZero(T t, uint8_t scale, std::span<uint8_t> buffer) {
  switch (t) {
    case T::Date:
      PutIntegerValue(buffer.data(), kDateTimeZeroDay);
      break;
    case T::Timestamp:
      PutFloatValue(buffer.data(), kDateTimeZeroTimestamp);
      break;
    case T::BCD:
      EncodeBcdValue(0, scale, buffer.data());
      break;
    default:
      break;  // the cleared bytes are the zero of every other type
  }
}

// Is the pair one that ConvertValue converts (the types differ)?
bool converts(T source, T target) {
  if (target == T::Unknown || target == T::Blob) return false;
  if (isRawType(source)) return true;
  if (isTextSource(source))
    return TypeCode(target) <= TypeCode(T::Word) || target == T::VarBytes || target == T::LargeInt;
  return IsCastAllowed(source, target);
}

// The conversion of a source to a different target type. `raw` holds the source's bytes (the
// text for a text source); the buffer is cleared.
void convert(T source, uint32_t sourceSize, T target, uint32_t targetSize, uint8_t targetScale,
             const std::vector<uint8_t>& raw, const std::string& text, std::span<uint8_t> buffer) {
  uint8_t* out = buffer.data();
  size_t room = std::min<size_t>(buffer.size(), std::max<size_t>(targetSize, kValueBufferSize));

  if (isRawType(target)) {
    copyBytes(out, raw, std::min({raw.size(), size_t(targetSize), room}));
    return;
  }
  if (isRawType(source)) {
    size_t n = target == T::String           ? (targetSize > 0 ? targetSize - 1 : 0)
               : FixedValueSize(target) != 0 ? FixedValueSize(target)
                                             : targetSize;
    n = std::min({n, size_t(sourceSize), raw.size(), room});
    copyBytes(out, raw, n);
    if (target == T::Boolean) PutWordValue(out, NormalizeBooleanValue(GetWordValue(out)));
    if (target == T::BCD) scaledFromBcd(out);  // the bytes must be a packed decimal the engine can read
    return;
  }

  if (isTextSource(source)) {
    switch (target) {
      case T::String: {
        size_t keep = targetSize > 0 ? std::min<size_t>(targetSize - 1, room - 1) : 0;
        std::string cut = EngineString(text, keep);
        std::memcpy(out, cut.data(), cut.size());
        return;
      }
      case T::Date:
        PutIntegerValue(out, ParseDateText(text));
        return;
      case T::Time:
        PutIntegerValue(out, ParseTimeText(text));
        return;
      case T::Timestamp:
        PutFloatValue(out, ParseTimestampText(text));
        return;
      case T::Boolean:
        PutWordValue(out, ParseBooleanText(text) ? 1 : 0);
        return;
      case T::SmallInt:
      case T::Word:
      case T::Integer:
      case T::LargeInt: {
        int64_t min = 0, max = 0;
        integerRange(target, min, max);
        writeInteger(target, ParseIntegerText(text, min, max), out);
        return;
      }
      case T::Float:
        PutFloatValue(out, ParseFloatText(text));
        return;
      case T::BCD: {
        // Read straight to the target's places so that the value is rounded once.
        int places = std::min<int>(targetScale, kBcdMaxFieldScale);
        int64_t value = ParseDecimalText(text, places);
        int64_t factor = 1;
        for (int i = places; i < kBcdMaxFieldScale; ++i) factor *= 10;
        if (value > std::numeric_limits<int64_t>::max() / factor ||
            value < std::numeric_limits<int64_t>::min() / factor)
          fail();
        writeBcd(value * factor, targetScale, out);
        return;
      }
      default:
        fail();
    }
  }

  const uint8_t* in = raw.data();
  switch (source) {
    case T::Boolean:
    case T::SmallInt:
    case T::Word:
    case T::Integer:
    case T::LargeInt: {
      int64_t v = source == T::Boolean    ? NormalizeBooleanValue(GetWordValue(in))
                  : source == T::SmallInt ? GetSmallIntValue(in)
                  : source == T::Word     ? GetWordValue(in)
                  : source == T::Integer  ? GetIntegerValue(in)
                                          : GetLargeIntValue(in);
      if (target == T::String)
        return writeText(source == T::Boolean ? BooleanToText(v != 0) : std::to_string(v), targetSize,
                         buffer);
      if (target == T::Boolean) return PutWordValue(out, NormalizeBooleanValue(v != 0));
      if (target == T::Float) return PutFloatValue(out, double(v));
      if (target == T::BCD) return writeBcd(scaledFromInteger(v), targetScale, out);
      return writeInteger(target, v, out);
    }
    case T::Float: {
      double x = GetFloatValue(in);
      if (target == T::String) {
        if (!std::isfinite(x)) fail();
        return writeText(FloatToText(x), targetSize, buffer);
      }
      if (target == T::BCD) return writeBcd(scaledFromFloat(x), targetScale, out);
      return writeTruncated(target, x, out);
    }
    case T::BCD: {
      int64_t scaled = scaledFromBcd(in);
      if (target == T::String) return writeText(ScaledToText(scaled), targetSize, buffer);
      if (target == T::Float) return PutFloatValue(out, double(scaled) / double(kScaledOne));
      return writeInteger(target, scaled / kScaledOne, out);
    }
    case T::Date: {
      int32_t day = GetIntegerValue(in);
      if (!validDay(day)) fail();
      if (target == T::String) return writeText(DateToText(day), targetSize, buffer);
      return PutFloatValue(out, double(day) * double(kMsPerDay));
    }
    case T::Time: {
      int32_t ms = GetIntegerValue(in);
      if (ms < 0 || ms >= kMsPerDay) fail();
      if (target == T::String) return writeText(TimeToText(ms), targetSize, buffer);
      return PutFloatValue(out, kDateTimeZeroTimestamp + ms);
    }
    case T::Timestamp: {
      double x = GetFloatValue(in);
      int64_t ms = timestampMilliseconds(x);
      if (target == T::String) return writeText(TimestampToText(x), targetSize, buffer);
      if (target == T::Date) return PutIntegerValue(out, int32_t(ms / kMsPerDay));
      return PutIntegerValue(out, int32_t(ms % kMsPerDay));
    }
    default:
      fail();
  }
}

// Same type: cut strings and bytes to the target, re-encode BCD with the target's scale.
bool convertSameType(T type, uint32_t sourceSize, uint32_t targetSize, uint8_t targetScale,
                     std::span<uint8_t> buffer) {
  size_t clearSize = std::min<size_t>(buffer.size(), std::max<size_t>(targetSize, kValueBufferSize));
  if (type == T::String) {
    size_t limit = sourceSize > 0 ? sourceSize : buffer.size();
    std::string text = takeText(buffer, limit);
    text = EngineString(text, targetSize > 0 ? std::min<size_t>(targetSize - 1, clearSize - 1) : 0);
    std::fill(buffer.begin(), buffer.begin() + clearSize, 0);
    std::memcpy(buffer.data(), text.data(), text.size());
    return true;
  }
  if (isRawType(type)) {
    size_t keep = std::min({size_t(targetSize), size_t(sourceSize), clearSize});
    std::fill(buffer.begin() + keep, buffer.begin() + clearSize, 0);
    return true;
  }
  if (type == T::BCD && (buffer[1] & 0x3F) != targetScale) {
    int64_t scaled = 0;
    TBcdDecode result = DecodeBcdValue(buffer.data(), scaled);
    bool ok = result == TBcdDecode::Exact || result == TBcdDecode::Rounded;
    if (!ok) scaled = 0;
    std::fill(buffer.begin(), buffer.begin() + clearSize, 0);
    if (!encodeReadableBcd(scaled, targetScale, buffer.data())) return false;
    return ok;
  }
  return true;
}

}  // namespace

bool IsCastAllowed(TEngineFieldType sourceType, TEngineFieldType targetType) {
  uint8_t t = TypeCode(targetType);
  auto oneOf = [t](std::initializer_list<int> codes) {
    return std::find(codes.begin(), codes.end(), t) != codes.end();
  };
  switch (sourceType) {
    case T::String:
    case T::Blob:
    case T::Bytes:
    case T::VarBytes:
      return t != 0;
    case T::Date:
      return oneOf({1, 2, 9, 11, 15});
    case T::Boolean:
      return oneOf({1, 4, 5, 6, 8, 9, 12, 15, 18});
    case T::SmallInt:
    case T::Word:
      return oneOf({1, 4, 5, 6, 7, 8, 9, 12, 15, 18});
    case T::Integer:
    case T::Float:
    case T::BCD:
    case T::LargeInt:
      return oneOf({1, 5, 6, 7, 8, 9, 12, 15, 18});
    case T::Time:
      return oneOf({1, 9, 10, 11, 15});
    case T::Timestamp:
      return oneOf({1, 2, 9, 10, 11, 15});
    default:
      return false;
  }
}

bool ConvertValue(TEngineFieldType sourceType, uint32_t sourceSize, uint8_t /*sourceScale*/,
                  TEngineFieldType targetType, uint32_t targetSize, uint8_t targetScale,
                  std::span<uint8_t> buffer) {
  if (buffer.size() < kValueBufferSize) return false;
  if (sourceType == targetType) {
    try {
      return convertSameType(sourceType, sourceSize, targetSize, targetScale, buffer);
    } catch (const ConversionFailed&) {
      return false;
    }
  }
  if (isInertSource(sourceType)) return true;

  // Take the source out before the buffer is cleared.
  std::string text;
  std::vector<uint8_t> raw;
  if (isTextSource(sourceType)) {
    text = takeText(buffer, sourceType == T::String && sourceSize > 0 ? sourceSize : buffer.size());
    raw.assign(text.begin(), text.end());
  } else {
    size_t n = isRawType(sourceType) ? sourceSize : FixedValueSize(sourceType);
    n = std::min(n, buffer.size());
    raw.assign(buffer.begin(), buffer.begin() + n);
    raw.resize(std::max(n, FixedValueSize(sourceType)), 0);
  }
  size_t clearSize = std::min<size_t>(buffer.size(), std::max<size_t>(targetSize, kValueBufferSize));
  std::fill(buffer.begin(), buffer.begin() + clearSize, 0);
  if (!converts(sourceType, targetType)) return false;

  try {
    convert(sourceType, uint32_t(raw.size()), targetType, targetSize, targetScale, raw, text, buffer);
    return true;
  } catch (const ConversionFailed&) {
  } catch (const EConvertError&) {
  }
  std::fill(buffer.begin(), buffer.begin() + clearSize, 0);
  writeZero(targetType, targetScale, buffer);
  return false;
}

bool ConvertToNodeType(const TValueType& source, std::span<const uint8_t> sourceValue,
                       const TValueType& target, std::span<uint8_t> targetValue) {
  T s = source.type, t = target.type;
  size_t inSize = FixedValueSize(s), outSize = FixedValueSize(t);
  if (inSize == 0 || outSize == 0 || sourceValue.size() < inSize || targetValue.size() < outSize)
    return false;
  const uint8_t* in = sourceValue.data();
  uint8_t result[kBcdSize] = {};
  try {
    if (t == T::Date && s == T::Timestamp) {
      PutIntegerValue(result, int32_t(timestampMilliseconds(GetFloatValue(in)) / kMsPerDay));
    } else if (t == T::Timestamp && s == T::Date) {
      PutFloatValue(result, double(GetIntegerValue(in)) * double(kMsPerDay));
    } else if (isIntegerType(t) && isIntegerType(s) && s != t) {
      int64_t v = s == T::SmallInt  ? GetSmallIntValue(in)
                  : s == T::Word    ? GetWordValue(in)
                  : s == T::Integer ? GetIntegerValue(in)
                                    : GetLargeIntValue(in);
      writeInteger(t, v, result);
    } else if (isIntegerType(t) && s == T::Float) {
      writeTruncated(t, GetFloatValue(in), result);
    } else if (isIntegerType(t) && s == T::BCD) {
      writeInteger(t, scaledFromBcd(in) / kScaledOne, result);
    } else if (t == T::Float && isIntegerType(s)) {
      int64_t v = s == T::SmallInt  ? GetSmallIntValue(in)
                  : s == T::Word    ? GetWordValue(in)
                  : s == T::Integer ? GetIntegerValue(in)
                                    : GetLargeIntValue(in);
      PutFloatValue(result, double(v));
    } else if (t == T::Float && s == T::BCD) {
      PutFloatValue(result, double(scaledFromBcd(in)) / double(kScaledOne));
    } else if (t == T::BCD && (isIntegerType(s) || s == T::Float)) {
      int64_t scaled = s == T::Float ? scaledFromFloat(GetFloatValue(in))
                                     : scaledFromInteger(s == T::SmallInt  ? GetSmallIntValue(in)
                                                         : s == T::Word    ? GetWordValue(in)
                                                         : s == T::Integer ? GetIntegerValue(in)
                                                                           : GetLargeIntValue(in));
      writeBcd(scaled, target.scale, result);
    } else {
      return false;
    }
  } catch (const ConversionFailed&) {
    return false;
  }
  std::memcpy(targetValue.data(), result, outSize);
  return true;
}

bool IsValidValueText(std::string_view text, TEngineFieldType type) {
  if (text.empty() || isTextSource(type) || isRawType(type) || TypeCode(type) >= kFirstForeignFieldType)
    return true;
  switch (type) {
    case T::Date:
      return platform::equalIgnoringAsciiCase(text, "CURRENT_DATE") || IsValidDateText(text);
    case T::Time:
      return platform::equalIgnoringAsciiCase(text, "CURRENT_TIME") || IsValidTimeText(text);
    case T::Timestamp:
      return platform::equalIgnoringAsciiCase(text, "CURRENT_TIMESTAMP") ||
             platform::equalIgnoringAsciiCase(text, "CURRENT_DATE") ||
             platform::equalIgnoringAsciiCase(text, "CURRENT_TIME") || IsValidTimestampText(text);
    case T::Boolean:
      return IsValidBooleanText(text);
    case T::SmallInt:
      return IsValidSmallIntText(text);
    case T::Word:
      return IsValidWordText(text);
    case T::Integer:
      return IsValidIntegerText(text);
    case T::LargeInt:
      return IsValidLargeIntText(text);
    case T::Float:
      return IsValidFloatText(text);
    case T::BCD:
      return IsValidCurrencyText(text);
    default:
      return false;
  }
}

bool ParseDateTimeValue(std::string_view text, TEngineFieldType type, std::span<uint8_t> value) {
  if (!isDateTimeType(type)) return true;
  if (value.size() < FixedValueSize(type)) return false;
  text = text.substr(0, std::min<size_t>(text.size(), 255));
  try {
    switch (type) {
      case T::Date:
        PutIntegerValue(value.data(), ParseDateText(text));
        break;
      case T::Time:
        PutIntegerValue(value.data(), ParseTimeText(text));
        break;
      default:
        PutFloatValue(value.data(), ParseTimestampText(text));
        break;
    }
    return true;
  } catch (const EConvertError&) {
  }
  if (type == T::Date)
    PutIntegerValue(value.data(), kDateTimeZeroDay);
  else if (type == T::Time)
    PutIntegerValue(value.data(), 0);
  else
    PutFloatValue(value.data(), kDateTimeZeroTimestamp);
  return false;
}

}  // namespace engine
