#include "engine/storage/veldorkeys.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorlocale.h"
#include "engine/storage/veldorfielddesc.h"
#include "storage_test_util.h"

namespace engine {
namespace {

constexpr uint16_t kGerman = 0x0407;

using storage_test::testSeed;

using Bytes = std::vector<uint8_t>;

Bytes hex(std::initializer_list<int> bytes) {
  return Bytes(bytes.begin(), bytes.end());
}

// The bytes of a data file's field descriptor of the given type and declared size, with its
// stored size and scale set by the key routines.
Bytes descriptor(TEngineFieldType type, uint8_t size = 0, uint8_t scale = 0, std::string_view name = "F") {
  TFieldDescriptor d;
  d.SetName(name);
  d.SetType(TypeCode(type));
  d.SetSize(size);
  d.SetScale(scale);
  SetFieldStorageSize(d.Span());
  SetFieldStorageScale(d.Span());
  return Bytes(d.Bytes(), d.Bytes() + TFieldDescriptor::kSize);
}

TFieldDescriptor asDescriptor(const Bytes& bytes) {
  TFieldDescriptor d;
  std::copy(bytes.begin(), bytes.end(), d.Bytes());
  return d;
}

// The key part of a value: flag byte 1, then BuildFieldKey's bytes.
Bytes keyOf(const Bytes& desc, const Bytes& value, bool descending = false, bool caseInsensitive = false,
            uint16_t languageId = 0) {
  Bytes key(1 + GetFieldKeySize(desc), 0xEE);
  key[0] = 1;
  BuildFieldKey(desc, value, key, caseInsensitive, descending, languageId, 0);
  return key;
}

template <typename Encode, typename T>
Bytes encoded(Encode encode, T value, size_t n) {
  Bytes key(n);
  encode(value, key.data());
  return key;
}

int sign(int v) {
  return (v > 0) - (v < 0);
}

// ---- Single encodings ----

// Keys lie in index pages on disk: each encoding's bytes are fixed, and their order is checked by
// the properties below.
TEST(KeyEncodings, EachEncodingWritesItsExactBytes) {
  EXPECT_EQ(encoded(EncodeIntegerKey, -2, 4), hex({0x7F, 0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(encoded(EncodeSmallIntKey, int16_t(-32768), 2), hex({0x00, 0x00}));
  EXPECT_EQ(encoded(EncodeWordKey, uint16_t(65535), 2), hex({0xFF, 0xFF}));
  EXPECT_EQ(encoded(EncodeLargeIntKey, INT64_MIN, 8), Bytes(8, 0x00));
  EXPECT_EQ(encoded(EncodeCurrencyKey, int64_t(1), 8), hex({0x80, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(encoded(EncodeFloatKey, -1.0, 8), hex({0x40, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(encoded(EncodeFloatKey, -0.0, 8), hex({0x80, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(encoded(EncodeFloatKey, 1.0, 8), hex({0xBF, 0xF0, 0, 0, 0, 0, 0, 0}));
  Bytes nan1 = encoded(EncodeFloatKey, std::nan("1"), 8);
  EXPECT_EQ(nan1, encoded(EncodeFloatKey, -std::nan("7"), 8)) << "every NaN is one key";
  EXPECT_GT(nan1, encoded(EncodeFloatKey, std::numeric_limits<double>::infinity(), 8));
  Bytes key(300, 0x0F);
  InvertKeyBytes(key.data(), 0);
  EXPECT_EQ(key[255], 0xF0) << "an invert count of 0 means 256";
  EXPECT_EQ(key[256], 0x0F);
  Bytes a = hex({1, 2, 3, 9});
  EXPECT_EQ(CompareBytes(a.data(), hex({1, 2, 3, 0}).data(), 4, true), -1) << "reversed compare";
  EXPECT_EQ(CompareBytes(nullptr, a.data(), 4, false), 1);
  EXPECT_EQ(CompareBytes(a.data(), nullptr, 4, false), -1);
  // Every length and place of the first difference, inside a word and in the tail after whole
  // words, with bytes whose order differs from their signed order and a later byte that points
  // the other way: the result is memcmp's sign.
  for (uint16_t length = 1; length <= 40; ++length)
    for (uint16_t at = 0; at < length; ++at) {
      Bytes x(length, 0x41), y(length, 0x41);
      x[at] = 0x7F;
      y[at] = 0x80;
      if (at + 1 < length) x[at + 1] = 0xFF;
      ASSERT_EQ(CompareBytes(x.data(), y.data(), length, false), -1) << length << " " << at;
      ASSERT_EQ(CompareBytes(y.data(), x.data(), length, false), 1) << length << " " << at;
      ASSERT_EQ(CompareBytes(y.data(), x.data(), length, true), -1) << length << " " << at;
      ASSERT_EQ(CompareBytes(x.data(), x.data(), length, false), 0);
      ASSERT_EQ(CompareBytes(x.data(), y.data(), at, false), 0) << "bytes past the length are not read";
    }
}

TEST(FieldSizes, StoredAndKeySizesFollowTheTypeAndAStringTooLongForAByteIsRefused) {
  EXPECT_EQ(GetFieldKeySize(descriptor(TEngineFieldType::String, 10)), 11);
  EXPECT_EQ(asDescriptor(descriptor(TEngineFieldType::BCD, 0, 2)).StoredSize(), 34);
  EXPECT_EQ(GetFieldKeySize(descriptor(TEngineFieldType::BCD, 0, 2)), 8);
  EXPECT_EQ(GetFieldKeySize(descriptor(TEngineFieldType::Type14)), 10);
  TFieldDescriptor d;
  d.SetType(TypeCode(TEngineFieldType::String));
  d.SetSize(255);
  EXPECT_EQ(storage_test::errorOf([&] { SetFieldStorageSize(d.Span()); }), VELDOR_INVALIDFLDTYPE);
}

// ---- Field keys ----

TEST(FieldKeys, StringKeysAreZeroFilledAfterTheText) {
  Bytes d = descriptor(TEngineFieldType::String, 10);
  Bytes clean = {'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0};
  Bytes dirty = {'a', 'b', 'c', 0, 'x', 'y', 'z', 7, 7, 7, 7};
  EXPECT_EQ(keyOf(d, clean), keyOf(d, dirty)) << "equal strings give equal keys";
  EXPECT_EQ(keyOf(d, dirty), (Bytes{1, 'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0}));
  Bytes unterminated(11, 'q');
  Bytes key = keyOf(d, unterminated);
  EXPECT_EQ(key[10], 'q');
  EXPECT_EQ(key[11], 0) << "the terminator's place is always 0";
}

TEST(FieldKeys, DescendingKeysInvertFlagAndValueButKeepTheTerminatorPlace) {
  Bytes d = descriptor(TEngineFieldType::String, 10);
  Bytes key = keyOf(d, Bytes{'a', 'b', 0, 0, 0, 0, 0, 0, 0, 0, 0}, true);
  EXPECT_EQ(key, (Bytes{0xFE, 0x9E, 0x9D, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}))
      << "flag byte and 10 string bytes inverted";
  Bytes raw = descriptor(TEngineFieldType::Bytes, 250);
  Bytes big(250, 0x11);
  Bytes rawKey = keyOf(raw, big, true);
  EXPECT_EQ(rawKey.size(), 251u);
  EXPECT_EQ(rawKey[0], 0xFE);
  EXPECT_EQ(rawKey[250], 0xEE);
}

TEST(FieldKeys, CaseFoldingLeavesTheCallersValueAlone) {
  Bytes d = descriptor(TEngineFieldType::String, 10);
  Bytes value = {'a', 'B', 'c', 0, 0, 0, 0, 0, 0, 0, 0};
  Bytes before = value;
  Bytes key = keyOf(d, value, false, true);
  EXPECT_EQ(value, before);
  EXPECT_EQ(key, (Bytes{1, 'A', 'B', 'C', 0, 0, 0, 0, 0, 0, 0, 0}));
  Bytes umlaut = {0xC3, 0xA4, 'x', 0, 0, 0, 0, 0, 0, 0, 0};  // "äx"
  EXPECT_EQ(keyOf(d, umlaut, false, true, kGerman), (Bytes{1, 0xC3, 0x84, 'X', 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(FieldKeys, BcdValuesBeyondEightKeyBytesRaiseInsteadOfColliding) {
  Bytes d = descriptor(TEngineFieldType::BCD, 0, 4, "AMOUNT");
  auto codeOf = [&](std::string_view digits, uint8_t places, bool negative) {
    Bytes v(34, 0);
    v[0] = 32;
    v[1] = uint8_t(places | (negative ? 0x80 : 0));
    size_t first = 32 - digits.size();
    for (size_t i = 0; i < digits.size(); ++i) {
      size_t k = first + i;
      v[2 + k / 2] |= uint8_t(k % 2 == 0 ? (digits[i] - '0') << 4 : digits[i] - '0');
    }
    try {
      keyOf(d, v);
    } catch (const EVELDOREngineError& e) {
      EXPECT_EQ(e.Item(kItemField), "AMOUNT");
      return int(e.ErrorCode());
    }
    return 0;
  };
  EXPECT_EQ(codeOf("9223372036854775807", 4, false), 0) << "the largest value fits";
  EXPECT_EQ(codeOf("9223372036854775808", 4, true), 0) << "so does the smallest";
  EXPECT_EQ(codeOf("9223372036854775808", 4, false), VELDOR_MAXVALERR);
  EXPECT_EQ(codeOf("9223372036854775809", 4, true), VELDOR_MINVALERR);
  EXPECT_EQ(codeOf("100000000000000000000", 2, false), VELDOR_MAXVALERR);
  EXPECT_EQ(codeOf("100001", 5, false), VELDOR_FILECORRUPT) << "1.00001 and 1.00002 would collide";
  EXPECT_EQ(codeOf("100000", 5, false), 0) << "zeros below the fourth decimal lose nothing";
  EXPECT_EQ(codeOf("1:", 0, false), VELDOR_FILECORRUPT) << "a nibble above 9";
}

TEST(FieldKeys, BadSizesNeverWritePastTheKey) {
  TFieldDescriptor damaged = asDescriptor(descriptor(TEngineFieldType::Integer));
  damaged.SetStoredSize(2);  // the 4-byte encoding would not fit
  Bytes d(damaged.Bytes(), damaged.Bytes() + TFieldDescriptor::kSize);
  Bytes key(3, 0);
  EXPECT_THROW(BuildFieldKey(d, Bytes(4), key, false, false, 0, 0), EVELDOREngineError);
  Bytes good = descriptor(TEngineFieldType::Integer);
  Bytes shortKey(4, 0);
  EXPECT_THROW(BuildFieldKey(good, Bytes(4), shortKey, false, false, 0, 0), std::invalid_argument);
  Bytes keyOk(5, 0);
  EXPECT_THROW(BuildFieldKey(good, Bytes(3), keyOk, false, false, 0, 0), std::invalid_argument);
  EXPECT_THROW(BuildFieldKey(Bytes(100), Bytes(4), keyOk, false, false, 0, 0), std::invalid_argument);
}

// ---- Key order equals value order ----

// A random value of one field type with its own order (-1, 0, 1).
struct TypeModel {
  const char* name;
  Bytes desc;
  std::function<Bytes(std::mt19937&)> make;
  std::function<int(const Bytes&, const Bytes&)> compare;
};

template <typename T, typename Get>
std::function<int(const Bytes&, const Bytes&)> byValue(Get get) {
  return [get](const Bytes& a, const Bytes& b) {
    T x = get(a.data()), y = get(b.data());
    return (x > y) - (x < y);
  };
}

Bytes leBytes(uint64_t v, size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(v >> (8 * i));
  return b;
}

double randomDouble(std::mt19937& rng) {
  static const double specials[] = {0.0,
                                    -0.0,
                                    1.0,
                                    -1.0,
                                    5e-324,
                                    -5e-324,
                                    1e308,
                                    -1e308,
                                    std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity(),
                                    2.5,
                                    -2.5};
  switch (rng() % 3) {
    case 0:
      return specials[rng() % std::size(specials)];
    case 1:
      return std::uniform_real_distribution<double>(-1000, 1000)(rng);
    default: {
      double d = std::bit_cast<double>(uint64_t(rng()) << 32 | rng());
      return std::isnan(d) ? 0.0 : d;
    }
  }
}

std::string randomText(std::mt19937& rng, std::string_view alphabet, size_t maxChars) {
  // Alphabet entries are separated by '|' so that they can be several bytes long.
  std::vector<std::string_view> letters;
  for (size_t start = 0; start <= alphabet.size();) {
    size_t bar = alphabet.find('|', start);
    if (bar == std::string_view::npos) bar = alphabet.size();
    letters.push_back(alphabet.substr(start, bar - start));
    start = bar + 1;
  }
  std::string text;
  size_t n = rng() % (maxChars + 1);
  for (size_t i = 0; i < n; ++i) {
    std::string_view l = letters[rng() % letters.size()];
    if (text.size() + l.size() > maxChars) break;
    text += l;
  }
  return text;
}

Bytes stringValue(const std::string& text, size_t stored, std::mt19937& rng) {
  Bytes v(stored, 0);
  std::memcpy(v.data(), text.data(), text.size());
  // Leftovers of an earlier, longer value after the terminator must not matter.
  for (size_t i = text.size() + 1; i < stored; ++i) v[i] = uint8_t(rng() % 3 == 0 ? 'z' : 0);
  return v;
}

std::string textOf(const Bytes& v) {
  return std::string(reinterpret_cast<const char*>(v.data()),
                     strnlen(reinterpret_cast<const char*>(v.data()), v.size()));
}

std::vector<TypeModel> byteOrderModels() {
  std::vector<TypeModel> models;
  models.push_back({"string", descriptor(TEngineFieldType::String, 12),
                    [](std::mt19937& rng) {
                      std::string text;
                      size_t n = rng() % 13;
                      for (size_t i = 0; i < n; ++i) text.push_back(char(1 + rng() % (rng() % 2 ? 3 : 255)));
                      return stringValue(text, 13, rng);
                    },
                    [](const Bytes& a, const Bytes& b) { return sign(textOf(a).compare(textOf(b))); }});
  models.push_back({"date", descriptor(TEngineFieldType::Date),
                    [](std::mt19937& rng) {
                      return leBytes(
                          uint32_t(rng() % 2 ? int32_t(rng()) : int32_t(rng() % kMaxEngineDay + 1)), 4);
                    },
                    byValue<int32_t>(GetIntegerValue)});
  models.push_back({"boolean", descriptor(TEngineFieldType::Boolean),
                    [](std::mt19937& rng) { return leBytes(rng() % 2, 2); },
                    byValue<uint16_t>(GetWordValue)});
  models.push_back({"smallint", descriptor(TEngineFieldType::SmallInt),
                    [](std::mt19937& rng) { return leBytes(rng() % 2 ? rng() : rng() % 5 - 2, 2); },
                    byValue<int16_t>(GetSmallIntValue)});
  models.push_back({"integer", descriptor(TEngineFieldType::Integer),
                    [](std::mt19937& rng) { return leBytes(rng() % 2 ? rng() : rng() % 5 - 2, 4); },
                    byValue<int32_t>(GetIntegerValue)});
  models.push_back({"float", descriptor(TEngineFieldType::Float),
                    [](std::mt19937& rng) { return leBytes(std::bit_cast<uint64_t>(randomDouble(rng)), 8); },
                    byValue<double>(GetFloatValue)});
  models.push_back({"bcd", descriptor(TEngineFieldType::BCD, 0, 4),
                    [](std::mt19937& rng) {
                      int64_t scaled = rng() % 3 == 0 ? int64_t(uint64_t(rng()) << 32 | rng())
                                                      : int64_t(rng() % 2000001) - 1000000;
                      int places = int(rng() % 9);
                      Bytes v(34);
                      // Fewer than 4 places round the value; the key must follow the rounded one.
                      if (!EncodeBcdValue(scaled, places, v.data())) ADD_FAILURE();
                      return v;
                    },
                    [](const Bytes& a, const Bytes& b) {
                      int64_t x = 0, y = 0;
                      EXPECT_EQ(DecodeBcdValue(a.data(), x), TBcdDecode::Exact);
                      EXPECT_EQ(DecodeBcdValue(b.data(), y), TBcdDecode::Exact);
                      return (x > y) - (x < y);
                    }});
  models.push_back({"bytes", descriptor(TEngineFieldType::Bytes, 6),
                    [](std::mt19937& rng) {
                      Bytes v(6);
                      for (auto& c : v) c = uint8_t(rng() % 2 ? rng() : rng() % 2);
                      return v;
                    },
                    [](const Bytes& a, const Bytes& b) { return sign(std::memcmp(a.data(), b.data(), 6)); }});
  models.push_back({"time", descriptor(TEngineFieldType::Time),
                    [](std::mt19937& rng) { return leBytes(uint32_t(rng() % kMsPerDay), 4); },
                    byValue<int32_t>(GetIntegerValue)});
  models.push_back({"timestamp", descriptor(TEngineFieldType::Timestamp),
                    [](std::mt19937& rng) {
                      double t = rng() % 2 ? randomDouble(rng)
                                           : double(rng() % kMaxEngineDay) * kMsPerDay + rng() % kMsPerDay;
                      return leBytes(std::bit_cast<uint64_t>(t), 8);
                    },
                    byValue<double>(GetFloatValue)});
  models.push_back({"word", descriptor(TEngineFieldType::Word),
                    [](std::mt19937& rng) { return leBytes(rng(), 2); }, byValue<uint16_t>(GetWordValue)});
  models.push_back({"largeint", descriptor(TEngineFieldType::LargeInt),
                    [](std::mt19937& rng) {
                      return leBytes(rng() % 2 ? uint64_t(rng()) << 32 | rng() : rng() % 5 - 2, 8);
                    },
                    byValue<int64_t>(GetLargeIntValue)});
  return models;
}

TEST(KeyOrderProperty, KeyOrderIsValueOrderForEveryType) {
  uint32_t seed = testSeed();
  std::mt19937 rng(seed);
  for (const TypeModel& m : byteOrderModels()) {
    uint16_t length = uint16_t(1 + GetFieldKeySize(m.desc));
    for (int i = 0; i < 3000; ++i) {
      Bytes a = m.make(rng), b = rng() % 8 == 0 ? a : m.make(rng);
      int expected = m.compare(a, b);
      SCOPED_TRACE(std::string("VELMARON_SEED=") + std::to_string(seed) + " type " + m.name);
      ASSERT_EQ(CompareBytes(keyOf(m.desc, a).data(), keyOf(m.desc, b).data(), length, false), expected);
      ASSERT_EQ(CompareBytes(keyOf(m.desc, a, true).data(), keyOf(m.desc, b, true).data(), length, false),
                -expected)
          << "descending";
    }
  }
}

TEST(KeyOrderProperty, CaseInsensitiveKeysOrderAsUpperCase) {
  uint32_t seed = testSeed();
  std::mt19937 rng(seed);
  Bytes d = descriptor(TEngineFieldType::String, 8);
  for (int i = 0; i < 3000; ++i) {
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
    std::string x = randomText(rng, "a|A|b|B|z|Z|0| |_", 8), y = randomText(rng, "a|A|b|B|z|Z|0| |_", 8);
    auto upper = [](std::string s) {
      for (char& c : s) c = char(std::toupper(uint8_t(c)));
      return s;
    };
    int expected = sign(upper(x).compare(upper(y)));
    Bytes a = stringValue(x, 9, rng), b = stringValue(y, 9, rng);
    ASSERT_EQ(CompareBytes(keyOf(d, a, false, true).data(), keyOf(d, b, false, true).data(), 10, false),
              expected)
        << x << " / " << y;
    ASSERT_EQ(CompareBytes(keyOf(d, a, true, true).data(), keyOf(d, b, true, true).data(), 10, false),
              -expected);
  }
}

// With a table locale the index compares string parts with the locale's compare; keys must keep
// that order (and descending keys are not inverted, the index reverses its compare).
TEST(KeyOrderProperty, LocaleKeysCompareAsTheirValues) {
  uint32_t seed = testSeed();
  std::mt19937 rng(seed);
  Bytes d = descriptor(TEngineFieldType::String, 12);
  const char* alphabet = "a|A|o|O|\xC3\xA4|\xC3\x84|\xC3\xB6|\xC3\x96|e|\xC3\xA9|z|1| ";
  for (int i = 0; i < 2000; ++i) {
    SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
    std::string x = randomText(rng, alphabet, 12), y = randomText(rng, alphabet, 12);
    Bytes a = stringValue(x, 13, rng), b = stringValue(y, 13, rng);
    for (bool caseInsensitive : {false, true}) {
      int expected = OSCompareStrings(kGerman, 0, x, caseInsensitive, 0, y);
      auto keyText = [](const Bytes& key) {
        return std::string(reinterpret_cast<const char*>(key.data() + 1));
      };
      Bytes ka = keyOf(d, a, false, caseInsensitive, kGerman),
            kb = keyOf(d, b, false, caseInsensitive, kGerman);
      ASSERT_EQ(OSCompareStrings(kGerman, 0, keyText(ka), false, 0, keyText(kb)), expected)
          << x << " / " << y << (caseInsensitive ? " ignoring case" : "");
      Bytes da = keyOf(d, a, true, caseInsensitive, kGerman),
            db = keyOf(d, b, true, caseInsensitive, kGerman);
      ASSERT_EQ(da, ka) << "descending keys of a table with a locale are not inverted";
      ASSERT_EQ(db, kb);
    }
  }
}

}  // namespace
}  // namespace engine
