#include "platform/collation.h"

#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/uset.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "platform/textrules.h"

namespace platform {
namespace {

struct LocaleName {
  uint16_t languageId;
  const char* name;
};

// The engine's languages and the locale of each. Spanish (Castilian) is the traditional order,
// in which "ch" and "ll" are letters of their own; Spanish (Modern) is the current one.
constexpr LocaleName kLocaleNames[] = {
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

// German phone-book order of the five German languages.
constexpr LocaleName kPhoneBookNames[] = {
    {0x0407, "de_DE@collation=phonebook"}, {0x0807, "de_CH@collation=phonebook"},
    {0x0C07, "de_AT@collation=phonebook"}, {0x1007, "de_LU@collation=phonebook"},
    {0x1407, "de_LI@collation=phonebook"},
};

constexpr uint16_t kGermanPrimary = 0x07;

const char* findName(uint16_t languageId, uint16_t sortId) {
  if (languageId == 0) languageId = kUsEnglishLanguageId;
  if (sortId == kPhoneBookSortId && (languageId & 0x3FF) == kGermanPrimary) {
    for (const auto& entry : kPhoneBookNames)
      if (entry.languageId == languageId) return entry.name;
  }
  for (const auto& entry : kLocaleNames)
    if (entry.languageId == languageId) return entry.name;
  return nullptr;
}

[[noreturn]] void fail(const char* what, const std::string& locale, UErrorCode status) {
  throw std::runtime_error(std::string(what) + " for locale '" + locale + "': " + u_errorName(status));
}

// Everything this layer needs for one locale. Built once, then only read.
struct LocaleServices {
  struct CollatorClose {
    void operator()(UCollator* c) const { ucol_close(c); }
  };
  struct CaseMapClose {
    void operator()(UCaseMap* m) const { ucasemap_close(m); }
  };
  std::unique_ptr<UCollator, CollatorClose> keepCase;
  std::unique_ptr<UCollator, CollatorClose> ignoreCase;
  std::unique_ptr<UCaseMap, CaseMapClose> caseMap;
  // True when the case map turns every ASCII text into what a-z <-> A-Z alone makes of it, and
  // keeps it ASCII: such text is then mapped without the case map. A locale whose rules touch
  // ASCII letters (Turkish dotted and dotless i) keeps the case map for all text.
  bool asciiPlain = false;
  // The place of each ASCII character in the case-ignoring order (0: a character that order
  // ignores; equal places: equal characters; kRankNotAscii for the other bytes), when the locale
  // lets every all-ASCII text be compared by them alone (see rankAscii). Such a comparison then
  // never asks the collator.
  bool asciiRanked = false;
  std::array<uint8_t, 256> asciiRank{};
  uint32_t version = 0;
};

// asciiRank's entry for a byte that is not ASCII. Ranks run from 1 to at most 127 (case-ignoring
// orders hold a and A equal), so a rank has its high bit set only for such a byte.
constexpr uint8_t kRankNotAscii = 0xFF;

std::unique_ptr<UCollator, LocaleServices::CollatorClose> openCollator(const std::string& name,
                                                                       bool ignoreCase) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCollator, LocaleServices::CollatorClose> collator(ucol_open(name.c_str(), &status));
  if (U_FAILURE(status)) fail("Cannot open the collation", name, status);
  ucol_setAttribute(collator.get(), UCOL_STRENGTH, UCOL_PRIMARY, &status);
  ucol_setAttribute(collator.get(), UCOL_CASE_LEVEL, ignoreCase ? UCOL_OFF : UCOL_ON, &status);
  ucol_setAttribute(collator.get(), UCOL_NORMALIZATION_MODE, UCOL_ON, &status);
  ucol_setAttribute(collator.get(), UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, &status);
  if (U_FAILURE(status)) fail("Cannot set up the collation", name, status);
  return collator;
}

// True when some contraction or prefix rule of `collator` is made of ASCII characters alone, or
// some ASCII character expands into more than one collation element.
bool asciiHasContext(const UCollator* collator) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<USet, decltype(&uset_close)> contractions(uset_openEmpty(), &uset_close);
  std::unique_ptr<USet, decltype(&uset_close)> expansions(uset_openEmpty(), &uset_close);
  ucol_getContractionsAndExpansions(collator, contractions.get(), expansions.get(), true, &status);
  if (U_FAILURE(status)) return true;
  for (UChar32 c = 0; c < 0x80; ++c)
    if (uset_contains(expansions.get(), c) || uset_contains(contractions.get(), c)) return true;
  const int32_t items = uset_getItemCount(contractions.get());
  for (int32_t i = 0; i < items; ++i) {
    UChar32 first = 0, last = 0;
    std::array<UChar, 64> text{};
    const int32_t length =
        uset_getItem(contractions.get(), i, &first, &last, text.data(), int32_t(text.size()), &status);
    // A contraction longer than the room is of no tailoring known: take it for one that counts.
    if (U_FAILURE(status)) return true;
    if (length > 0 && std::all_of(text.begin(), text.begin() + length, [](UChar c) { return c < 0x80; }))
      return true;
  }
  return false;
}

// Fills `rank` for the case-ignoring `collator` (primary strength, no case level) when every
// all-ASCII text may be compared by it. That holds when no ASCII character takes part in a
// contraction or prefix rule made of ASCII characters alone ("ch", Danish "aa") nor expands, and
// digits are not compared as numbers: an all-ASCII text is then the concatenation of its
// characters' collation elements, one each, and its order at primary strength is that of the
// sequence of their non-zero primary weights. A character's rank stands for its weight: 0 when
// the order ignores it, otherwise its place among the others, as the collator orders them one
// against another. Returns false, with nothing promised, for any other locale.
bool rankAscii(const UCollator* collator, std::array<uint8_t, 256>& rank) {
  UErrorCode status = U_ZERO_ERROR;
  if (ucol_getAttribute(collator, UCOL_STRENGTH, &status) != UCOL_PRIMARY ||
      ucol_getAttribute(collator, UCOL_CASE_LEVEL, &status) != UCOL_OFF ||
      ucol_getAttribute(collator, UCOL_NUMERIC_COLLATION, &status) != UCOL_OFF ||
      ucol_getAttribute(collator, UCOL_ALTERNATE_HANDLING, &status) != UCOL_NON_IGNORABLE ||
      U_FAILURE(status))
    return false;
  if (asciiHasContext(collator)) return false;
  std::vector<UChar> counted;
  rank.fill(kRankNotAscii);
  for (UChar c = 0; c < 0x80; ++c) {
    rank[c] = 0;
    if (ucol_strcoll(collator, &c, 1, nullptr, 0) != UCOL_EQUAL) counted.push_back(c);
  }
  auto order = [&](UChar a, UChar b) { return ucol_strcoll(collator, &a, 1, &b, 1); };
  std::stable_sort(counted.begin(), counted.end(),
                   [&](UChar a, UChar b) { return order(a, b) == UCOL_LESS; });
  uint8_t place = 0;
  for (size_t i = 0; i < counted.size(); ++i) {
    if (i == 0 || order(counted[i - 1], counted[i]) != UCOL_EQUAL) ++place;
    rank[counted[i]] = place;
  }
  return place < 0x80;
}

// True when no byte from `p` to `end` has its high bit set.
bool isAsciiText(const uint8_t* p, const uint8_t* end) {
  for (; end - p >= 8; p += 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    if (word & 0x8080808080808080ull) return false;
  }
  for (; p != end; ++p)
    if (*p & 0x80) return false;
  return true;
}

// What compareRanked returns when a text is not all ASCII.
constexpr int kNotRanked = 2;

// The collator's answer for two all-ASCII texts of a ranked locale: their sequences of ranks,
// the ignored characters left out, compared in order; a sequence that ends first sorts first.
// kNotRanked when either text holds a byte that is not ASCII: the collator must then decide, since
// a later character may join an earlier one (a combining ring makes Danish "a" an "å").
int compareRanked(const LocaleServices& s, std::string_view a, std::string_view b) {
  const auto* p = reinterpret_cast<const uint8_t*>(a.data());
  const auto* q = reinterpret_cast<const uint8_t*>(b.data());
  const uint8_t *pEnd = p + a.size(), *qEnd = q + b.size();
  const uint8_t* rank = s.asciiRank.data();
  // First the pairs of one rank (the same character but for case, or one ignored on both sides),
  // noting any byte that is not ASCII among them.
  uint8_t seen = 0;
  while (p != pEnd && q != qEnd) {
    const uint8_t x = rank[*p];
    if (x != rank[*q]) break;
    seen |= x;
    ++p, ++q;
  }
  if (seen & 0x80) return kNotRanked;
  uint8_t x = 0, y = 0;
  for (;;) {
    // The next counted character of each, 0 at the end.
    do x = p != pEnd ? rank[*p++] : 0;
    while (x == 0 && p != pEnd);
    do y = q != qEnd ? rank[*q++] : 0;
    while (y == 0 && q != qEnd);
    if (x != y || x == 0 || x == kRankNotAscii) break;
  }
  if (x == kRankNotAscii || y == kRankNotAscii) return kNotRanked;
  if (x == y) return 0;
  if (!isAsciiText(p, pEnd) || !isAsciiText(q, qEnd)) return kNotRanked;
  return x < y ? -1 : 1;
}

std::string mapCase(const UCaseMap* map, bool upper, std::string_view in) {
  std::string out(in.size() + 16, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    auto mapper = upper ? ucasemap_utf8ToUpper : ucasemap_utf8ToLower;
    int32_t length = mapper(map, out.data(), int32_t(out.size()), in.data(), int32_t(in.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.resize(size_t(length));
      continue;
    }
    if (U_FAILURE(status))
      throw std::runtime_error(std::string("Case mapping failed: ") + u_errorName(status));
    out.resize(size_t(length));
    return out;
  }
  throw std::runtime_error("Case mapping failed: the result kept growing");
}

bool isAscii(std::string_view text) {
  for (char c : text)
    if (uint8_t(c) >= 0x80) return false;
  return true;
}

void mapAscii(std::string& text, bool upper) {
  for (char& c : text) c = upper ? asciiUpper(c) : asciiLower(c);
}

// Asks the case map itself, for each ASCII byte on its own and for all of them in one text.
bool mapsAsciiPlainly(const UCaseMap* map) {
  std::string all(128, '\0');
  for (size_t i = 0; i < all.size(); ++i) all[i] = char(i);
  for (bool upper : {true, false}) {
    std::string expected = all;
    mapAscii(expected, upper);
    if (mapCase(map, upper, all) != expected) return false;
    for (size_t i = 0; i < all.size(); ++i)
      if (mapCase(map, upper, all.substr(i, 1)) != expected.substr(i, 1)) return false;
  }
  return true;
}

std::unique_ptr<LocaleServices> buildServices(const std::string& name) {
  auto services = std::make_unique<LocaleServices>();
  services->keepCase = openCollator(name, false);
  services->ignoreCase = openCollator(name, true);
  services->asciiRanked = rankAscii(services->ignoreCase.get(), services->asciiRank);
  // Case mapping depends on the language only; the collation keyword means nothing to it.
  std::string language = name.substr(0, name.find('@'));
  UErrorCode status = U_ZERO_ERROR;
  services->caseMap.reset(ucasemap_open(language.c_str(), 0, &status));
  if (U_FAILURE(status)) fail("Cannot open the case mapping", name, status);
  services->asciiPlain = mapsAsciiPlainly(services->caseMap.get());
  UVersionInfo info;
  ucol_getVersion(services->keepCase.get(), info);
  services->version =
      (uint32_t(info[0]) << 24) | (uint32_t(info[1]) << 16) | (uint32_t(info[2]) << 8) | uint32_t(info[3]);
  return services;
}

// The process-wide cache. Deliberately never destroyed: other threads may still be comparing
// while static destructors run at exit.
struct Registry {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<LocaleServices>> byName;
  std::map<uint32_t, const LocaleServices*> byId;
};

Registry& registry() {
  static Registry* instance = new Registry;
  return *instance;
}

const LocaleServices& services(uint32_t localeId) {
  // Most threads work under one locale at a time; remembering the last one spares the lock.
  thread_local uint32_t lastId = 0;
  thread_local const LocaleServices* last = nullptr;
  if (last != nullptr && lastId == localeId) return *last;

  Registry& reg = registry();
  std::lock_guard lock(reg.mutex);
  auto found = reg.byId.find(localeId);
  if (found == reg.byId.end()) {
    const char* known = findName(localeLanguageId(localeId), localeSortId(localeId));
    std::string name = known != nullptr ? known : "";  // "" is the root collation
    auto& entry = reg.byName[name];
    if (!entry) entry = buildServices(name);
    found = reg.byId.emplace(localeId, entry.get()).first;
  }
  lastId = localeId;
  last = found->second;
  return *last;
}

void mapCaseBounded(uint32_t localeId, std::string& text, size_t maxBytes, bool upper) {
  if (text.empty()) return;
  const LocaleServices& s = services(localeId);
  if (s.asciiPlain && isAscii(text)) return mapAscii(text, upper);
  const UCaseMap* map = s.caseMap.get();
  std::string full = mapCase(map, upper, text);
  size_t limit = std::max(maxBytes, text.size());
  if (full.size() <= limit) {
    text = std::move(full);
    return;
  }
  // Too long for the field: map character by character and keep those that would grow.
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  int32_t length = int32_t(text.size());
  int32_t i = 0;
  while (i < length) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    std::string_view piece(text.data() + start, size_t(i - start));
    if (c < 0) {
      out.append(piece);
      continue;
    }
    std::string mapped = mapCase(map, upper, piece);
    out.append(mapped.size() <= piece.size() ? std::string_view(mapped) : piece);
  }
  text = std::move(out);
}

}  // namespace

std::string_view collationLocaleName(uint32_t localeId) {
  const char* name = findName(localeLanguageId(localeId), localeSortId(localeId));
  return name != nullptr ? std::string_view(name) : std::string_view();
}

bool isSupportedLocale(uint32_t localeId) {
  uint16_t languageId = localeLanguageId(localeId);
  uint16_t sortId = localeSortId(localeId);
  if (languageId == 0 || findName(languageId, 0) == nullptr) return false;
  return sortId == 0 || (sortId == kPhoneBookSortId && (languageId & 0x3FF) == kGermanPrimary);
}

int compareText(uint32_t localeId, std::string_view a, std::string_view b, bool ignoreCase) {
  const LocaleServices& s = services(localeId);
  if (ignoreCase && s.asciiRanked)
    if (const int ranked = compareRanked(s, a, b); ranked != kNotRanked) return ranked;
  UErrorCode status = U_ZERO_ERROR;
  UCollationResult result = ucol_strcollUTF8(ignoreCase ? s.ignoreCase.get() : s.keepCase.get(), a.data(),
                                             int32_t(a.size()), b.data(), int32_t(b.size()), &status);
  if (U_FAILURE(status))
    throw std::runtime_error(std::string("Text comparison failed: ") + u_errorName(status));
  return result == UCOL_LESS ? -1 : result == UCOL_GREATER ? 1 : 0;
}

void upperCaseText(uint32_t localeId, std::string& text, size_t maxBytes) {
  mapCaseBounded(localeId, text, maxBytes, true);
}

void lowerCaseText(uint32_t localeId, std::string& text, size_t maxBytes) {
  mapCaseBounded(localeId, text, maxBytes, false);
}

bool ordersAsciiWithoutCollator(uint32_t localeId) {
  return services(localeId).asciiRanked;
}

bool mapsAsciiCaseAlone(uint32_t localeId) {
  return services(localeId).asciiPlain;
}

size_t characterLength(std::string_view text, size_t pos) {
  if (pos >= text.size()) return 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  int32_t length = int32_t(std::min<size_t>(text.size(), INT32_MAX));
  int32_t i = int32_t(pos);
  UChar32 c;
  U8_NEXT(bytes, i, length, c);
  if (c < 0) return size_t(i) - pos;
  while (i < length) {
    int32_t next = i;
    U8_NEXT(bytes, next, length, c);
    if (c < 0) break;
    int8_t type = u_charType(c);
    if (type != U_NON_SPACING_MARK && type != U_ENCLOSING_MARK) break;
    i = next;
  }
  return size_t(i) - pos;
}

uint32_t collationVersion(uint32_t localeId) {
  return services(localeId).version;
}

bool collationVersionMatches(uint32_t localeId, uint32_t recorded) {
  return collationVersion(localeId) == recorded;
}

}  // namespace platform
