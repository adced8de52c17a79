#include "platform/collation.h"

#include <gtest/gtest.h>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/test_seed.h"

namespace {

using platform::compareText;
using platform::makeLocaleId;

// Words that tell locales apart: accents, case, digraphs, letters after z, punctuation.
const std::vector<std::string> kWords = {
    "a",     "A",    "á",     "ä",  "Ä",         "ae",      "Ae",     "af",     "b",       "c",      "ch",
    "Ch",    "cz",   "d",     "ll", "lz",        "m",       "ñ",      "n",      "nz",      "o",      "ö",
    "oe",    "ø",    "aa",    "å",  "z",         "zz",      "y",      "i",      "ı",       "İ",      "I",
    "j",     "ß",    "ss",    "st", "Müller",    "Mueller", "Muller", "Mutter", "resume",  "résumé", "Résumé",
    "co-op", "coop", "co op", "1",  "10",        "2",       "",       "straße", "STRASSE", "Ωμέγα",  "ωμεγα",
    "Дом",   "дом",  "ё",     "е",  "ж",         "ก",       "ข",      "ا",      "ب",       "א",      "ב",
    "đ",     "dž",   "Č",     "c",  "e\xcc\x81", "é",       "x",      "ü",      "ue",      "v",      "w",
};

int icuSign(const icu::Collator& collator, const std::string& a, const std::string& b) {
  UErrorCode status = U_ZERO_ERROR;
  UCollationResult r = collator.compareUTF8(a, b, status);
  EXPECT_TRUE(U_SUCCESS(status));
  return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
}

std::unique_ptr<icu::Collator> referenceCollator(const char* locale, bool ignoreCase) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> c(
      icu::Collator::createInstance(icu::Locale::createFromName(locale), status));
  EXPECT_TRUE(U_SUCCESS(status)) << locale;
  c->setStrength(icu::Collator::PRIMARY);
  c->setAttribute(UCOL_CASE_LEVEL, ignoreCase ? UCOL_OFF : UCOL_ON, status);
  c->setAttribute(UCOL_NORMALIZATION_MODE, UCOL_ON, status);
  c->setAttribute(UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, status);  // punctuation always counts
  EXPECT_TRUE(U_SUCCESS(status));
  return c;
}

void expectSameOrderAsReference(uint32_t localeId, const char* locale) {
  for (bool ignoreCase : {false, true}) {
    auto reference = referenceCollator(locale, ignoreCase);
    for (const auto& a : kWords)
      for (const auto& b : kWords)
        ASSERT_EQ(compareText(localeId, a, b, ignoreCase), icuSign(*reference, a, b))
            << locale << " '" << a << "' vs '" << b << "' ignoreCase=" << ignoreCase;
  }
}

// Which locale each language id names is the module's own table; what must hold is that the
// comparison follows that locale with marks ignored, case as asked and punctuation counted.
TEST(LocaleOrderTest, ComparisonFollowsTheLocaleOfTheLanguage) {
  for (uint16_t language : {0x0000, 0x0409, 0x040A, 0x041D, 0x041F, 0x0419}) {
    const uint32_t lcid = makeLocaleId(language, 0);
    SCOPED_TRACE(language);
    const std::string locale = language == 0 ? "en_US" : std::string(platform::collationLocaleName(lcid));
    ASSERT_FALSE(locale.empty());
    expectSameOrderAsReference(lcid, locale.c_str());
  }
}

TEST(LocaleOrderTest, GermanSortOneIsPhoneBookOrder) {
  for (uint16_t language : {0x0407, 0x0807, 0x0C07, 0x1007, 0x1407})
    EXPECT_TRUE(platform::isSupportedLocale(makeLocaleId(language, platform::kPhoneBookSortId)));
  expectSameOrderAsReference(makeLocaleId(0x0407, platform::kPhoneBookSortId), "de_DE@collation=phonebook");
  uint32_t phoneBook = makeLocaleId(0x0407, platform::kPhoneBookSortId);
  uint32_t standard = makeLocaleId(0x0407, 0);
  EXPECT_EQ(compareText(phoneBook, "Müller", "Mueller", false), 0);
  EXPECT_LT(compareText(phoneBook, "Müller", "Muf", false), 0) << "ü sorts as ue";
  EXPECT_GT(compareText(standard, "Müller", "Muf", false), 0) << "ü sorts as u";
}

TEST(LocaleOrderTest, SortOneOutsideGermanIsNotSupported) {
  EXPECT_FALSE(platform::isSupportedLocale(makeLocaleId(0x0409, 1)));
  EXPECT_FALSE(platform::isSupportedLocale(makeLocaleId(0x0407, 2)));
  EXPECT_FALSE(platform::isSupportedLocale(makeLocaleId(0x0999, 0)));
  EXPECT_FALSE(platform::isSupportedLocale(0));
}

TEST(LocaleOrderTest, LetterRulesOfSomeLanguages) {
  // Swedish puts ä after z; German next to a.
  EXPECT_GT(compareText(makeLocaleId(0x041D, 0), "ä", "z", false), 0);
  EXPECT_LT(compareText(makeLocaleId(0x0407, 0), "ä", "b", false), 0);
  // Traditional Spanish treats ch as one letter after c.
  EXPECT_GT(compareText(makeLocaleId(0x040A, 0), "cha", "cz", false), 0);
  EXPECT_LT(compareText(makeLocaleId(0x0C0A, 0), "cha", "cz", false), 0);
  // Danish aa sorts as å, at the end.
  EXPECT_GT(compareText(makeLocaleId(0x0406, 0), "aa", "z", false), 0);
}

TEST(CaseRuleTest, MarksNeverCountCaseCountsOnlyWhenKept) {
  uint32_t en = makeLocaleId(0x0409, 0);
  EXPECT_EQ(compareText(en, "resume", "résumé", false), 0);
  EXPECT_NE(compareText(en, "resume", "Resume", false), 0);
  EXPECT_EQ(compareText(en, "resume", "RÉSUMÉ", true), 0);
  EXPECT_EQ(compareText(en, "e\xcc\x81", "é", false), 0) << "decomposed equals composed";
  EXPECT_NE(compareText(en, "co-op", "coop", false), 0) << "punctuation counts";
  EXPECT_LT(compareText(en, "a", "b", false), 0);
  EXPECT_GT(compareText(en, "b", "A", false), 0);
}

TEST(CaseRuleTest, UpperCaseFollowsLanguage) {
  std::string text = "istanbul";
  platform::upperCaseText(makeLocaleId(0x041F, 0), text, 100);
  EXPECT_EQ(text, "İSTANBUL");
  text = "istanbul";
  platform::upperCaseText(makeLocaleId(0x0409, 0), text, 100);
  EXPECT_EQ(text, "ISTANBUL");
  text = "ÄÖÜ Straße";
  platform::lowerCaseText(makeLocaleId(0x0407, 0), text, 100);
  EXPECT_EQ(text, "äöü straße");
}

// Every locale of the table maps case as its own rules say, whether the text is all ASCII (which
// most locales map a-z <-> A-Z alone, Turkish not) or mixed.
TEST(CaseRuleTest, EveryLocaleMapsAsciiAndMixedTextByItsRules) {
  std::string ascii;
  for (int c = 1; c < 128; ++c) ascii.push_back(char(c));
  const std::vector<std::string> texts = {ascii,     "istanbul IZMIR", "Iiİı straße", "ilk İlk ILK ılk",
                                          "ΣΊΣΥΦΟΣ", "Ijsselmeer"};
  int locales = 0;
  for (uint32_t language = 0; language <= 0xFFFF; ++language) {
    for (uint16_t sort : {0, 1}) {
      const uint32_t id = makeLocaleId(uint16_t(language), sort);
      const std::string_view name = platform::collationLocaleName(id);
      if (name.empty() || (sort == 1 && name.find('@') == std::string_view::npos)) continue;
      ++locales;
      const icu::Locale locale(std::string(name.substr(0, name.find('@'))).c_str());
      for (const std::string& text : texts) {
        for (bool upper : {true, false}) {
          icu::UnicodeString reference = icu::UnicodeString::fromUTF8(text);
          if (upper)
            reference.toUpper(locale);
          else
            reference.toLower(locale);
          std::string expected;
          reference.toUTF8String(expected);
          std::string mapped = text;
          if (upper)
            platform::upperCaseText(id, mapped, 1000);
          else
            platform::lowerCaseText(id, mapped, 1000);
          ASSERT_EQ(mapped, expected) << name << (upper ? " upper " : " lower ") << text;
        }
      }
    }
  }
  EXPECT_GE(locales, 100);
  std::string text = "quit";
  platform::upperCaseText(makeLocaleId(0x041F, 0), text, 100);
  EXPECT_EQ(text, "QUİT") << "an all-ASCII text under Turkish rules";
  text = "QUIT";
  platform::lowerCaseText(makeLocaleId(0x041F, 0), text, 100);
  EXPECT_EQ(text, "quıt");
}

TEST(CaseRuleTest, MappingNeverOutgrowsItsField) {
  // ŉ (2 bytes) upper-cases to ʼN (3 bytes); in a field with no room the letter stays as it is.
  std::string text = "aŉ";
  platform::upperCaseText(makeLocaleId(0x0409, 0), text, 3);
  EXPECT_EQ(text, "Aŉ");
  text = "aŉ";
  platform::upperCaseText(makeLocaleId(0x0409, 0), text, 4);
  EXPECT_EQ(text, "AʼN");
  // Turkish i (1 byte) upper-cases to İ (2 bytes).
  text = "ii";
  platform::upperCaseText(makeLocaleId(0x041F, 0), text, 3);
  EXPECT_EQ(text, "ii") << "per-character fallback keeps every growing letter";
  text = "ii";
  platform::upperCaseText(makeLocaleId(0x041F, 0), text, 4);
  EXPECT_EQ(text, "İİ");
}

TEST(CaseRuleTest, IllFormedBytesPassThroughCaseMapping) {
  std::string text =
      "ab\xff"
      "cd\xc3";
  platform::upperCaseText(makeLocaleId(0x0409, 0), text, 100);
  EXPECT_EQ(text,
            "AB\xff"
            "CD\xc3");
}

TEST(CharacterTest, CharacterTakesItsMarksAlong) {
  std::string text = "e\xcc\x81x\xc3\xa9\xff";
  EXPECT_EQ(platform::characterLength(text, 0), 3u);
  EXPECT_EQ(platform::characterLength(text, 3), 1u);
  EXPECT_EQ(platform::characterLength(text, 4), 2u);
  EXPECT_EQ(platform::characterLength(text, 6), 1u);
  EXPECT_EQ(platform::characterLength(text, 7), 0u);
}

TEST(CollationVersionTest, VersionIsStableAndRecordable) {
  uint32_t lcid = makeLocaleId(0x0407, 0);
  uint32_t version = platform::collationVersion(lcid);
  EXPECT_NE(version, 0u);
  EXPECT_TRUE(platform::collationVersionMatches(lcid, version));
  EXPECT_FALSE(platform::collationVersionMatches(lcid, version ^ 1));
  UVersionInfo info;
  auto reference = referenceCollator("de_DE", false);
  reference->getVersion(info);
  EXPECT_EQ(version,
            (uint32_t(info[0]) << 24) | (uint32_t(info[1]) << 16) | (uint32_t(info[2]) << 8) | info[3]);
}

TEST(CollationVersionTest, ComparisonsFromManyThreadsAgree) {
  std::vector<int> results(8, 99);
  {
    std::vector<std::jthread> threads;
    for (size_t t = 0; t < results.size(); ++t)
      threads.emplace_back([&results, t] {
        int sum = 0;
        for (int i = 0; i < 2000; ++i)
          sum += compareText(makeLocaleId(t % 2 ? 0x0407 : 0x041D, 0), "ä", "z", false);
        results[t] = sum;
      });
  }
  for (size_t t = 0; t < results.size(); ++t) EXPECT_EQ(results[t], t % 2 ? -2000 : 2000);
}

// Every locale of the table, by id and collation locale name.
void forEachLocale(const std::function<void(uint32_t, const std::string&)>& visit) {
  for (uint32_t language = 0; language <= 0xFFFF; ++language)
    for (uint16_t sort : {0, 1}) {
      const uint32_t id = makeLocaleId(uint16_t(language), sort);
      const std::string_view name = platform::collationLocaleName(id);
      if (name.empty() || (sort == 1 && name.find('@') == std::string_view::npos)) continue;
      visit(id, std::string(name));
    }
}

std::string hex(const std::string& text) {
  std::string out;
  for (char c : text) {
    char piece[4];
    std::snprintf(piece, sizeof piece, "%02X ", unsigned(uint8_t(c)));
    out += piece;
  }
  return out;
}

// Ignoring case, ASCII text is compared without the collator where the locale allows it. What
// must hold is that no answer differs from the collator's, in any locale: control characters
// the order ignores, punctuation it counts, letters it joins or tells apart by language.
TEST(CaseIgnoringOrderTest, EveryLocaleAgreesWithItsCollatorOnEveryPairOfAsciiBytes) {
  int locales = 0, ranked = 0;
  forEachLocale([&](uint32_t id, const std::string& name) {
    ++locales;
    ranked += platform::ordersAsciiWithoutCollator(id);
    auto reference = referenceCollator(name.c_str(), true);
    for (int a = 0; a < 0x80; ++a)
      for (int b = 0; b < 0x80; ++b) {
        const std::string x(1, char(a)), y(1, char(b));
        const std::vector<std::pair<std::string, std::string>> pairs = {
            {x, y}, {x + y, x}, {"c" + x + "h", "C" + y + "H"}};
        for (const auto& [l, r] : pairs)
          ASSERT_EQ(compareText(id, l, r, true), icuSign(*reference, l, r))
              << name << ": " << hex(l) << "vs " << hex(r);
      }
  });
  EXPECT_GE(locales, 100);
  EXPECT_GE(ranked, locales / 2) << "most locales compare ASCII text without the collator";
}

// Random texts of ASCII and other letters, marks, ill-formed bytes and ignored controls, against
// one another, against themselves with case flipped and with a piece put in.
TEST(CaseIgnoringOrderTest, MixedTextsAgreeWithTheCollator) {
  const uint32_t seed = platform::testing::testSeed();
  std::mt19937 random(seed);
  const std::vector<std::string> pieces = {
      "a",         "A", "b",  "I", "i",    "z",  "Z",    "c",  "h",         "C",   "H", "0",
      "9",         " ", "-",  "'", "\x01", "\t", "\x7f", "é",  "e\xcc\x81", "ı",   "İ", "å",
      "a\xcc\x8a", "ß", "ss", "ä", "Ω",    "ω",  "\xff", "ch", "aa",        "dzs", "ij"};
  auto text = [&] {
    std::string t;
    for (size_t n = random() % 7; n > 0; --n) t += pieces[random() % pieces.size()];
    return t;
  };
  auto flipped = [](std::string t) {
    for (char& c : t)
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c = char(c ^ 0x20);
    return t;
  };
  for (uint16_t language : {0x0409, 0x041F, 0x0406, 0x0407, 0x040E, 0x0405, 0x040A, 0x041D, 0x0419, 0x041A}) {
    for (uint16_t sort : {0, 1}) {
      const uint32_t id = makeLocaleId(language, sort);
      const std::string name(platform::collationLocaleName(id));
      if (name.empty() || (sort == 1 && name.find('@') == std::string::npos)) continue;
      auto reference = referenceCollator(name.c_str(), true);
      for (int i = 0; i < 3000; ++i) {
        const std::string a = text(), b = text();
        std::string longer = a;
        longer.insert(random() % (a.size() + 1), pieces[random() % pieces.size()]);
        for (const auto& [l, r] : std::vector<std::pair<std::string, std::string>>{
                 {a, b}, {a, flipped(a)}, {flipped(b), b}, {a, longer}, {longer, flipped(a)}})
          ASSERT_EQ(compareText(id, l, r, true), icuSign(*reference, l, r))
              << name << ": " << hex(l) << "vs " << hex(r) << " (seed " << seed << ")";
      }
    }
  }
}

// Where ignoring case is not a-z = A-Z: Turkish i and I are different letters (I is the capital
// of dotless ı), and Danish "aa" is a letter of its own, while "aA" is two a's.
TEST(CaseIgnoringOrderTest, LanguagesWhoseLettersAreNotAsciiCasePairs) {
  const uint32_t turkish = makeLocaleId(0x041F, 0), english = makeLocaleId(0x0409, 0);
  const uint32_t danish = makeLocaleId(0x0406, 0);
  EXPECT_TRUE(platform::ordersAsciiWithoutCollator(turkish));
  EXPECT_TRUE(platform::ordersAsciiWithoutCollator(english));
  EXPECT_NE(compareText(turkish, "KIZ", "kiz", true), 0);
  EXPECT_EQ(compareText(turkish, "KIZ", "kız", true), 0);
  EXPECT_EQ(compareText(turkish, "kİz", "kiz", true), 0);
  EXPECT_LT(compareText(turkish, "kız", "kiz", true), 0) << "dotless ı sorts before i";
  EXPECT_LT(compareText(turkish, "KIZ", "kiz", true), 0);
  EXPECT_EQ(compareText(english, "KIZ", "kiz", true), 0);
  EXPECT_NE(compareText(danish, "aA", "AA", true), 0);
  EXPECT_EQ(compareText(danish, "Aa", "AA", true), 0);
  EXPECT_GT(compareText(danish, "aa", "az", true), 0);
  // Letters joined from ASCII pairs leave ASCII text to the collator.
  for (uint16_t language : {0x0406, 0x0405, 0x040E, 0x040A, 0x041A})
    EXPECT_FALSE(platform::ordersAsciiWithoutCollator(makeLocaleId(language, 0))) << language;
}

}  // namespace

namespace {

// Two texts that agree up to a point and then part on an ASCII character, where the character
// right after the parting may be a mark that makes a letter of its own with it (Swedish "a" and a
// combining ring is "å", after "z"): whatever follows the parting is read before the answer is
// given, in texts longer than a word, with the parting on either side of every word edge. Also
// under the root order, which every language id outside the table compares by (a table records
// whatever id it was made with).
TEST(CaseIgnoringOrderTest, TextsLongerThanAWordAgreeWithTheCollator) {
  const uint32_t swedish = makeLocaleId(0x041D, 0);
  ASSERT_TRUE(platform::ordersAsciiWithoutCollator(swedish)) << "else nothing here reaches the quick road";
  const std::string ring = "a\xcc\x8a", acute = "e\xcc\x81";
  const std::string runPieces = "aB\x01z-Q0\tiy", padPieces = "kLm\x02n 7oPq";
  auto flipped = [](std::string t) {
    for (char& c : t)
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c = char(c ^ 0x20);
    return t;
  };
  for (const auto& [id, name] : std::vector<std::pair<uint32_t, std::string>>{
           {swedish, "sv_SE"}, {makeLocaleId(0x0001, 0), ""}, {makeLocaleId(0x0409, 0), "en_US"}}) {
    auto reference = referenceCollator(name.c_str(), true);
    for (size_t run = 0; run <= 19; ++run) {
      std::string same;
      for (size_t i = 0; i < run; ++i) same += runPieces[i % runPieces.size()];
      for (size_t pad = 0; pad <= 17; ++pad) {
        std::string tail;
        for (size_t i = 0; i < pad; ++i) tail += padPieces[i % padPieces.size()];
        const std::vector<std::pair<std::string, std::string>> pairs = {
            {same + "b" + tail, flipped(same) + ring + tail},
            {same + "B", flipped(same) + ring + tail},
            {same, flipped(same) + ring + tail},
            {same + "a" + tail, flipped(same) + ring + tail},
            {same + "\xc3\xa9" + tail, flipped(same) + "E" + tail},
            {same + "f" + tail, flipped(same) + acute + tail},
            {same + "b" + tail + ring, flipped(same) + "a" + tail},
            {same + "b" + tail + "\xff", flipped(same) + "c" + tail}};
        for (const auto& [l, r] : pairs) {
          ASSERT_EQ(compareText(id, l, r, true), icuSign(*reference, l, r))
              << name << ": " << hex(l) << "vs " << hex(r);
          ASSERT_EQ(compareText(id, r, l, true), icuSign(*reference, r, l))
              << name << ": " << hex(r) << "vs " << hex(l);
        }
      }
    }
  }
}

}  // namespace
