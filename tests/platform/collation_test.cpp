#include "platform/collation.h"

#include <gtest/gtest.h>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::compareText;
using platform::makeLocaleId;

// Every language of the engine's locale list with the locale the comparison must follow.
struct Expected {
  uint16_t languageId;
  const char* locale;
};
const Expected kExpected[] = {
    {0x0436, "af_ZA"},
    {0x041C, "sq_AL"},
    {0x0401, "ar_SA"},
    {0x0801, "ar_IQ"},
    {0x0C01, "ar_EG"},
    {0x1001, "ar_LY"},
    {0x1401, "ar_DZ"},
    {0x1801, "ar_MA"},
    {0x1C01, "ar_TN"},
    {0x2001, "ar_OM"},
    {0x2401, "ar_YE"},
    {0x2801, "ar_SY"},
    {0x2C01, "ar_JO"},
    {0x3001, "ar_LB"},
    {0x3401, "ar_KW"},
    {0x3801, "ar_AE"},
    {0x3C01, "ar_BH"},
    {0x4001, "ar_QA"},
    {0x042D, "eu_ES"},
    {0x0423, "be_BY"},
    {0x0402, "bg_BG"},
    {0x0403, "ca_ES"},
    {0x041A, "hr_HR"},
    {0x0405, "cs_CZ"},
    {0x0406, "da_DK"},
    {0x0413, "nl_NL"},
    {0x0813, "nl_BE"},
    {0x0409, "en_US"},
    {0x0809, "en_GB"},
    {0x0C09, "en_AU"},
    {0x1009, "en_CA"},
    {0x1409, "en_NZ"},
    {0x1809, "en_IE"},
    {0x1C09, "en_ZA"},
    {0x2009, "en_JM"},
    {0x2409, "en_029"},
    {0x2809, "en_BZ"},
    {0x2C09, "en_TT"},
    {0x0425, "et_EE"},
    {0x0438, "fo_FO"},
    {0x0429, "fa_IR"},
    {0x040B, "fi_FI"},
    {0x040C, "fr_FR"},
    {0x080C, "fr_BE"},
    {0x0C0C, "fr_CA"},
    {0x100C, "fr_CH"},
    {0x140C, "fr_LU"},
    {0x0407, "de_DE"},
    {0x0807, "de_CH"},
    {0x0C07, "de_AT"},
    {0x1007, "de_LU"},
    {0x1407, "de_LI"},
    {0x0408, "el_GR"},
    {0x040D, "he_IL"},
    {0x040E, "hu_HU"},
    {0x040F, "is_IS"},
    {0x0421, "id_ID"},
    {0x0410, "it_IT"},
    {0x0810, "it_CH"},
    {0x0426, "lv_LV"},
    {0x0427, "lt_LT"},
    {0x0414, "nb_NO"},
    {0x0814, "nn_NO"},
    {0x0415, "pl_PL"},
    {0x0816, "pt_PT"},
    {0x0416, "pt_BR"},
    {0x0418, "ro_RO"},
    {0x0419, "ru_RU"},
    {0x081A, "sr_Latn_RS"},
    {0x0C1A, "sr_Cyrl_RS"},
    {0x041B, "sk_SK"},
    {0x0424, "sl_SI"},
    {0x040A, "es_ES@collation=traditional"},
    {0x080A, "es_MX"},
    {0x0C0A, "es_ES"},
    {0x100A, "es_GT"},
    {0x140A, "es_CR"},
    {0x180A, "es_PA"},
    {0x1C0A, "es_DO"},
    {0x200A, "es_VE"},
    {0x240A, "es_CO"},
    {0x280A, "es_PE"},
    {0x2C0A, "es_AR"},
    {0x300A, "es_EC"},
    {0x340A, "es_CL"},
    {0x380A, "es_UY"},
    {0x3C0A, "es_PY"},
    {0x400A, "es_BO"},
    {0x440A, "es_SV"},
    {0x480A, "es_HN"},
    {0x4C0A, "es_NI"},
    {0x500A, "es_PR"},
    {0x041D, "sv_SE"},
    {0x081D, "sv_FI"},
    {0x041E, "th_TH"},
    {0x041F, "tr_TR"},
    {0x0422, "uk_UA"},
    {0x042A, "vi_VN"},
};

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

TEST(LocaleOrderTest, EveryEngineLanguageFollowsItsLocale) {
  for (const auto& e : kExpected) {
    SCOPED_TRACE(e.locale);
    EXPECT_TRUE(platform::isSupportedLocale(makeLocaleId(e.languageId, 0)));
    EXPECT_EQ(platform::collationLocaleName(makeLocaleId(e.languageId, 0)), e.locale);
    expectSameOrderAsReference(makeLocaleId(e.languageId, 0), e.locale);
  }
}

TEST(LocaleOrderTest, LanguageZeroIsUsEnglish) {
  expectSameOrderAsReference(makeLocaleId(0, 0), "en_US");
}

TEST(LocaleOrderTest, GermanSortOneIsPhoneBookOrder) {
  const Expected german[] = {
      {0x0407, "de_DE"}, {0x0807, "de_CH"}, {0x0C07, "de_AT"}, {0x1007, "de_LU"}, {0x1407, "de_LI"}};
  for (const auto& e : german) {
    uint32_t lcid = makeLocaleId(e.languageId, platform::kPhoneBookSortId);
    EXPECT_TRUE(platform::isSupportedLocale(lcid));
    expectSameOrderAsReference(lcid, (std::string(e.locale) + "@collation=phonebook").c_str());
  }
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

}  // namespace
