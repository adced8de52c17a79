#include "engine/base/veldorlocale.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/storage/storage_test_util.h"

namespace engine {
namespace {

constexpr uint16_t kEnglish = 0x0409;
constexpr uint16_t kGerman = 0x0407;
constexpr uint16_t kSwedish = 0x041D;

using storage_test::testSeed;

// ---- Collation maps ----

class CharMapTest : public ::testing::Test {
 protected:
  void SetUp() override { LanguageCharMaps().Clear(); }
  void TearDown() override { LanguageCharMaps().Clear(); }
};

TEST_F(CharMapTest, EachPairIsBuiltOnceEvenFromManyThreadsAndLanguageZeroIsTheIdentity) {
  std::vector<TCharMap> maps(8);
  {
    std::vector<std::jthread> threads;
    for (auto& m : maps) threads.emplace_back([&m] { GetLanguageCharMap(kSwedish, 0, m); });
  }
  EXPECT_EQ(LanguageCharMaps().Count(), 1u);
  for (const auto& m : maps) EXPECT_EQ(m, maps[0]);
  TCharMap phoneBook, identity;
  GetLanguageCharMap(kGerman, 1, phoneBook);
  EXPECT_EQ(LanguageCharMaps().Count(), 2u) << "another sort id is its own entry";
  GetLanguageCharMap(0, 0, identity);
  for (size_t i = 0; i < identity.size(); ++i) EXPECT_EQ(identity[i], i);
}

TEST_F(CharMapTest, MapIsAPermutationInTheLocalesOrder) {
  for (uint16_t language : {kGerman, kSwedish}) {
    TCharMap map;
    GetLanguageCharMap(language, 0, map);
    EXPECT_EQ(std::set<uint8_t>(map.begin(), map.end()).size(), 256u);
    for (size_t i = 1; i < map.size(); ++i) {
      // Bytes from 0x80 stand for the code points of the same number.
      auto text = [](uint8_t c) {
        return c < 0x80 ? std::string(1, char(c))
                        : std::string{char(0xC0 | (c >> 6)), char(0x80 | (c & 0x3F))};
      };
      EXPECT_LE(OSCompareCharsLocale(OSMakeLCID(language, 0), text(map[i - 1]), text(map[i])), 0) << i;
    }
  }
}

// ---- Comparison and case ----

TEST(LocaleCompareTest, LengthComparesThatManyCharactersAndTextsEndAtTheirFirstZero) {
  using namespace std::string_literals;
  EXPECT_EQ(OSCompareStrings(kEnglish, 0, "ABCx", true, 3, "abcy"), 0);
  EXPECT_NE(OSCompareStrings(kEnglish, 0, "ABCx", false, 3, "abcy"), 0);
  EXPECT_LT(OSCompareStrings(kEnglish, 0, "ABCx", true, 0, "abcy"), 0);
  // A cut inside a two-byte letter drops the letter rather than comparing half of it.
  EXPECT_EQ(OSCompareStrings(kEnglish, 0, "aé", false, 2, "aè"), 0);
  EXPECT_EQ(OSCompareStrings(kEnglish, 0, "abc\0zzz"s, false, 0, "abc\0aaa"s), 0);
  EXPECT_EQ(OSCompareStrings(0, 0, "abc\0zzz"s, false, 7, "abc"), 0);
  EXPECT_EQ(OSCompareStrings(0, 0, "b", false, 0, "B"), OSCompareStrings(kEnglish, 0, "b", false, 0, "B"))
      << "language 0 compares texts as US English";
  EXPECT_EQ(OSCompareStrings(kGerman, 1, "Mueller", false, 0, "Müller"), 0)
      << "the sort id reaches the collator";
}

TEST(LocaleCompareTest, CharacterCompareUnderLanguageZeroIsByteOrderAndLanguageZeroIsAValidLocale) {
  EXPECT_GT(OSCompareChars(0, 0, "a", "B"), 0);
  EXPECT_LT(OSCompareChars(kEnglish, 0, "a", "B"), 0);
  EXPECT_EQ(OSCompareChars(kEnglish, 0, "é", "e"), 0);
  EXPECT_NE(OSCompareChars(0, 0, "é", "e"), 0);
  EXPECT_TRUE(OSIsValidLocale(0));
  EXPECT_TRUE(OSIsValidLocale(OSMakeLCID(kGerman, 1)));
  EXPECT_FALSE(OSIsValidLocale(OSMakeLCID(kEnglish, 1)));
}

TEST(CaseMappingTest, OnlyTheTextBeforeTheZeroIsMappedWithinTheTextsOwnLength) {
  using namespace std::string_literals;
  std::string text = "straße\0tail"s;
  OSUpperCase(kGerman, 0, text);
  EXPECT_EQ(text, "STRASSE\0tail"s);
  OSLowerCase(kGerman, 0, text);
  EXPECT_EQ(text, "strasse\0tail"s);
  text = "ii";
  OSUpperCase(0x041F, 0, text);
  EXPECT_EQ(text.size(), 2u) << "Turkish İ would need more room than the text had";
  text = "ii";
  OSUpperCase(0, 0, text);
  EXPECT_EQ(text, "II") << "language 0 maps as US English";
}

// ---- Locale-sorted string list ----

class LanguageStringListTest : public ::testing::Test {
 protected:
  TLanguageStringList list{kEnglish, 0};
  void SetUp() override { list.setSorted(true); }
};

TEST_F(LanguageStringListTest, FindGivesTheMatchOrTheInsertPosition) {
  for (const char* w : {"delta", "Alpha", "charlie", "bravo"}) list.add(w);
  ASSERT_EQ(list.count(), 4u);
  EXPECT_EQ(list[0], "Alpha");
  EXPECT_EQ(list[3], "delta");
  size_t index = 99;
  EXPECT_TRUE(list.Find("CHARLIE", index));
  EXPECT_EQ(index, 2u);
  EXPECT_FALSE(list.Find("a", index));
  EXPECT_EQ(index, 0u);
  EXPECT_FALSE(list.Find("echo", index));
  EXPECT_EQ(index, 4u);
  EXPECT_FALSE(list.Find("c", index));
  EXPECT_EQ(index, 2u);
}

TEST_F(LanguageStringListTest, DuplicatesFollowTheSetting) {
  list.add("word", 1);
  EXPECT_EQ(list.add("WORD", 2), 0u);
  EXPECT_EQ(list.count(), 1u);
  EXPECT_EQ(list.number(0), 1u);
  list.setDuplicates(TDuplicates::dupAccept);
  list.add("Word");
  EXPECT_EQ(list.count(), 2u);
  list.setDuplicates(TDuplicates::dupError);
  EXPECT_THROW(list.add("word"), std::invalid_argument);
}

TEST_F(LanguageStringListTest, FindPartialFindsItemsThatStartWithTheText) {
  for (const char* w : {"data", "database", "date", "dog", "cat"}) list.add(w);
  size_t index = 0;
  ASSERT_TRUE(list.FindPartial("DAT", index, 3));
  EXPECT_EQ(list[index].substr(0, 3), "dat");
  index = 0;
  EXPECT_FALSE(list.FindPartial("dx", index, 2));
  index = 4;  // a start beyond the matches finds none of them
  EXPECT_FALSE(list.FindPartial("dat", index, 3));
}

TEST_F(LanguageStringListTest, SortFollowsTheLocale) {
  TLanguageStringList swedish(kSwedish, 0);
  for (const char* w : {"ö", "z", "o", "a"}) swedish.add(w);
  swedish.setSorted(true);
  std::vector<std::string> got;
  for (const auto& item : swedish.items()) got.push_back(item.text);
  EXPECT_EQ(got, (std::vector<std::string>{"a", "o", "z", "ö"}));
  swedish.setLocale(kGerman, 0);
  EXPECT_EQ(swedish[2], "ö");
}

// ---- LIKE ----

TEST(SqlLikeTest, LocaleComparesCharactersWithCaseKeptAndMarksIgnored) {
  EXPECT_TRUE(MatchSqlLike(kEnglish, 0, "résumé", "resume"));
  EXPECT_FALSE(MatchSqlLike(kEnglish, 0, "Resume", "resume"));
  EXPECT_TRUE(MatchSqlLike(kEnglish, 0, "re\xcc\x81sume\xcc\x81", "r_sum_"))
      << "a letter with its combining mark is one character";
  EXPECT_TRUE(MatchSqlLike(0, 0, "\xc3\xa9t\xc3\xa9", "_t_")) << "a two-byte letter is one character";
}

TEST(SqlLikeTest, ManyPercentSignsDoNotExplodeAndTrailingOnesMatchNothing) {
  EXPECT_TRUE(MatchSqlLike(0, 0, "Hello", "Hello%%"));
  std::string text(20000, 'a');
  std::string pattern;
  for (int i = 0; i < 30; ++i) pattern += "%a";
  EXPECT_FALSE(MatchSqlLike(0, 0, text, pattern + "%b"));
  EXPECT_TRUE(MatchSqlLike(0, 0, text + "b", pattern + "%b"));
}

// The obvious matcher over code points, by dynamic programming.
bool referenceLike(const std::vector<std::string>& text, const std::vector<std::string>& pattern) {
  std::vector<std::vector<char>> m(text.size() + 1, std::vector<char>(pattern.size() + 1, 0));
  m[text.size()][pattern.size()] = 1;
  for (size_t t = text.size() + 1; t-- > 0;)
    for (size_t p = pattern.size(); p-- > 0;) {
      if (pattern[p] == "%")
        m[t][p] = m[t][p + 1] || (t < text.size() && m[t + 1][p]);
      else if (t < text.size() && (pattern[p] == "_" || pattern[p] == text[t]))
        m[t][p] = m[t + 1][p + 1];
    }
  return m[0][0];
}

TEST(SqlLikeTest, AgreesWithAReferenceMatcherOnRandomPatterns) {
  const uint32_t seed = testSeed();
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  std::mt19937 rng(seed);
  const std::vector<std::string> letters = {"a", "b", "é", "€"};
  const std::vector<std::string> symbols = {"a", "b", "é", "€", "%", "%", "_"};
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::string> text, pattern;
    std::string textBytes, patternBytes;
    for (size_t n = rng() % 9; n > 0; --n) text.push_back(letters[rng() % letters.size()]);
    for (size_t n = rng() % 9; n > 0; --n) pattern.push_back(symbols[rng() % symbols.size()]);
    // Sometimes embed the text's own letters so that matches are frequent.
    if (round % 3 == 0 && !text.empty()) pattern.insert(pattern.begin(), text.begin(), text.begin() + 1);
    for (const auto& c : text) textBytes += c;
    for (const auto& c : pattern) patternBytes += c;
    ASSERT_EQ(MatchSqlLike(0, 0, textBytes, patternBytes), referenceLike(text, pattern))
        << "'" << textBytes << "' LIKE '" << patternBytes << "'";
  }
}

// ---- Locale names ----

TEST(LocaleNamesTest, NamesIdsAndSortOrdersLookEachOtherUp) {
  std::set<uint16_t> ids;
  for (const auto& l : EngineLocaleList()) EXPECT_TRUE(ids.insert(l.languageId).second) << l.name;
  EXPECT_TRUE(IsLanguageName("german (swiss)"));
  EXPECT_FALSE(IsLanguageName("Klingon"));
  EXPECT_EQ(GetLanguageId("GERMAN (SWISS)"), 0x0807);
  EXPECT_EQ(GetLanguageId("Klingon"), 0) << "the id of ANSI Standard";
  EXPECT_EQ(GetLanguageIndex(0x0407), 48);
  EXPECT_EQ(GetLanguageIndex(0), 0);
  EXPECT_EQ(GetLanguageIndex(0x7777), -1);
  std::vector<std::string> list{"junk"};
  FillSortOrderList(48, list);
  EXPECT_EQ(list, (std::vector<std::string>{"Default Order", "German Phone Book Order"}));
  FillSortOrderList(0, list);
  EXPECT_EQ(list.size(), 1u);
  FillSortOrderList(-1, list);
  EXPECT_EQ(list, (std::vector<std::string>{"Default Order"}));
  EXPECT_TRUE(IsSortOrderName(0x0C07, "german phone book order"));
  EXPECT_FALSE(IsSortOrderName(0x0409, "German Phone Book Order"));
  EXPECT_EQ(GetSortOrderId(0x0407, "German Phone Book Order"), 1);
  EXPECT_EQ(GetSortOrderId(0x0409, "German Phone Book Order"), 0);
}

}  // namespace
}  // namespace engine
