#include "engine/base/veldorlocale.h"

#include <algorithm>
#include <stdexcept>

#include "platform/collation.h"
#include "platform/textrules.h"

namespace engine {
namespace {

uint32_t effectiveLcid(uint16_t languageId, uint16_t sortId) {
  if (languageId == 0) return OSMakeLCID(platform::kUsEnglishLanguageId, 0);
  return OSMakeLCID(languageId, sortId);
}

// The text up to its first zero byte.
std::string_view untilZero(std::string_view text) {
  size_t zero = text.find('\0');
  return zero == std::string_view::npos ? text : text.substr(0, zero);
}

// The first `length` bytes of the text, cut back so that no character is split.
std::string_view wholeCharacters(std::string_view text, size_t length) {
  if (length >= text.size()) return text;
  auto continuation = [&](size_t i) { return (uint8_t(text[i]) & 0xC0) == 0x80; };
  if (!continuation(length)) return text.substr(0, length);
  size_t lead = length;
  while (lead > 0 && length - lead < 3 && continuation(lead)) --lead;
  uint8_t byte = uint8_t(text[lead]);
  size_t need = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
  // Only a well-formed lead byte whose sequence runs past the cut moves it; stray bytes stay.
  return text.substr(0, need > length - lead && byte >= 0xC0 ? lead : length);
}

std::string codePointText(uint32_t c) {
  std::string s;
  if (c < 0x80) {
    s.push_back(char(c));
  } else {
    s.push_back(char(0xC0 | (c >> 6)));
    s.push_back(char(0x80 | (c & 0x3F)));
  }
  return s;
}

int sign(int v) {
  return v < 0 ? -1 : v > 0 ? 1 : 0;
}

void mapCase(uint16_t languageId, uint16_t sortId, std::string& text, size_t maxBytes, bool upper) {
  size_t zero = text.find('\0');
  std::string tail;
  if (zero != std::string::npos) {
    tail = text.substr(zero);
    text.resize(zero);
  }
  uint32_t lcid = effectiveLcid(languageId, sortId);
  if (upper)
    platform::upperCaseText(lcid, text, maxBytes);
  else
    platform::lowerCaseText(lcid, text, maxBytes);
  text += tail;
}

// The locales of the engine, in their fixed order.
constexpr TEngineLocale kEngineLocales[] = {
    {"ANSI Standard", 0x0000},
    {"Afrikaans", 0x0436},
    {"Albanian", 0x041C},
    {"Arabic (Saudi Arabia)", 0x0401},
    {"Arabic (Iraq)", 0x0801},
    {"Arabic (Egypt)", 0x0C01},
    {"Arabic (Libya)", 0x1001},
    {"Arabic (Algeria)", 0x1401},
    {"Arabic (Morocco)", 0x1801},
    {"Arabic (Tunisia)", 0x1C01},
    {"Arabic (Oman)", 0x2001},
    {"Arabic (Yemen)", 0x2401},
    {"Arabic (Syria)", 0x2801},
    {"Arabic (Jordan)", 0x2C01},
    {"Arabic (Lebanon)", 0x3001},
    {"Arabic (Kuwait)", 0x3401},
    {"Arabic (U.A.E)", 0x3801},
    {"Arabic (Bahrain)", 0x3C01},
    {"Arabic (Qatar)", 0x4001},
    {"Basque", 0x042D},
    {"Belarusian", 0x0423},
    {"Bulgarian", 0x0402},
    {"Catalan", 0x0403},
    {"Croatian", 0x041A},
    {"Czech", 0x0405},
    {"Danish", 0x0406},
    {"Dutch (Standard)", 0x0413},
    {"Dutch (Belgian)", 0x0813},
    {"English (USA)", 0x0409},
    {"English (UK)", 0x0809},
    {"English (Australian)", 0x0C09},
    {"English (Canadian)", 0x1009},
    {"English (New Zealand)", 0x1409},
    {"English (Irish)", 0x1809},
    {"English (South Africa)", 0x1C09},
    {"English (Jamaica)", 0x2009},
    {"English (Caribbean)", 0x2409},
    {"English (Belize)", 0x2809},
    {"English (Trinidad)", 0x2C09},
    {"Estonian", 0x0425},
    {"Faeroese", 0x0438},
    {"Farsi", 0x0429},
    {"Finnish", 0x040B},
    {"French (Standard)", 0x040C},
    {"French (Belgian)", 0x080C},
    {"French (Canadian)", 0x0C0C},
    {"French (Swiss)", 0x100C},
    {"French (Luxembourg)", 0x140C},
    {"German (Standard)", 0x0407},
    {"German (Swiss)", 0x0807},
    {"German (Austrian)", 0x0C07},
    {"German (Luxembourg)", 0x1007},
    {"German (Liechtenstein)", 0x1407},
    {"Greek", 0x0408},
    {"Hebrew", 0x040D},
    {"Hungarian", 0x040E},
    {"Icelandic", 0x040F},
    {"Indonesian", 0x0421},
    {"Italian (Standard)", 0x0410},
    {"Italian (Swiss)", 0x0810},
    {"Latvian", 0x0426},
    {"Lithuanian", 0x0427},
    {"Norwegian (Bokmal)", 0x0414},
    {"Norwegian (Nynorsk)", 0x0814},
    {"Polish", 0x0415},
    {"Portuguese (Standard)", 0x0816},
    {"Portuguese (Brazilian)", 0x0416},
    {"Romanian", 0x0418},
    {"Russian", 0x0419},
    {"Serbian (Latin)", 0x081A},
    {"Serbian (Cyrillic)", 0x0C1A},
    {"Slovak", 0x041B},
    {"Slovenian", 0x0424},
    {"Spanish (Castilian)", 0x040A},
    {"Spanish (Mexican)", 0x080A},
    {"Spanish (Modern)", 0x0C0A},
    {"Spanish (Guatemala)", 0x100A},
    {"Spanish (Costa Rica)", 0x140A},
    {"Spanish (Panama)", 0x180A},
    {"Spanish (Dominican Republic)", 0x1C0A},
    {"Spanish (Venezuela)", 0x200A},
    {"Spanish (Colombia)", 0x240A},
    {"Spanish (Peru)", 0x280A},
    {"Spanish (Argentina)", 0x2C0A},
    {"Spanish (Ecuador)", 0x300A},
    {"Spanish (Chile)", 0x340A},
    {"Spanish (Uruguay)", 0x380A},
    {"Spanish (Paraguay)", 0x3C0A},
    {"Spanish (Bolivia)", 0x400A},
    {"Spanish (El Salvador)", 0x440A},
    {"Spanish (Honduras)", 0x480A},
    {"Spanish (Nicaragua)", 0x4C0A},
    {"Spanish (Puerto Rico)", 0x500A},
    {"Swedish (Standard)", 0x041D},
    {"Swedish (Finland)", 0x081D},
    {"Thai", 0x041E},
    {"Turkish", 0x041F},
    {"Ukranian", 0x0422},
    {"Vietnamese", 0x042A},
};
static_assert(std::size(kEngineLocales) == 99);

constexpr int kFirstGermanPosition = 48;
constexpr int kLastGermanPosition = 52;

}  // namespace

// ---- Locale routines ----

int OSCompareCharsLocale(uint32_t lcid, std::string_view a, std::string_view b) {
  if (a == b) return 0;
  return platform::compareText(lcid, a, b, false);
}

int OSCompareChars(uint16_t languageId, uint16_t sortId, std::string_view a, std::string_view b) {
  if (languageId == 0) return sign(a.compare(b));
  return OSCompareCharsLocale(OSMakeLCID(languageId, sortId), a, b);
}

int OSCompareStrings(uint16_t languageId, uint16_t sortId, std::string_view a, bool ignoreCase, size_t length,
                     std::string_view b) {
  a = untilZero(a);
  b = untilZero(b);
  if (length != 0) {
    a = wholeCharacters(a, length);
    b = wholeCharacters(b, length);
  }
  if (a == b) return 0;
  return platform::compareText(effectiveLcid(languageId, sortId), a, b, ignoreCase);
}

void OSUpperCase(uint16_t languageId, uint16_t sortId, std::string& text, size_t maxBytes) {
  mapCase(languageId, sortId, text, maxBytes, true);
}
void OSLowerCase(uint16_t languageId, uint16_t sortId, std::string& text, size_t maxBytes) {
  mapCase(languageId, sortId, text, maxBytes, false);
}
void OSUpperCase(uint16_t languageId, uint16_t sortId, std::string& text) {
  mapCase(languageId, sortId, text, untilZero(text).size(), true);
}
void OSLowerCase(uint16_t languageId, uint16_t sortId, std::string& text) {
  mapCase(languageId, sortId, text, untilZero(text).size(), false);
}

bool OSIsValidLocale(uint32_t lcid) {
  if (lcid == 0) return true;
  return platform::isSupportedLocale(lcid);
}

uint32_t GetCollationVersion(uint16_t languageId, uint16_t sortId) {
  return platform::collationVersion(effectiveLcid(languageId, sortId));
}

bool CollationVersionMatches(uint16_t languageId, uint16_t sortId, uint32_t recorded) {
  return platform::collationVersionMatches(effectiveLcid(languageId, sortId), recorded);
}

// ---- Collation maps ----

TLanguageCharMapsList::TLanguageCharMapsList() {
  entries_.reserve(256);
}

void TLanguageCharMapsList::BuildMap(uint16_t languageId, uint16_t sortId, TCharMap& map) {
  for (size_t i = 0; i < map.size(); ++i) map[i] = uint8_t(i);
  if (languageId == 0) return;
  uint32_t lcid = OSMakeLCID(languageId, sortId);
  std::array<std::string, 256> texts;
  for (size_t i = 0; i < texts.size(); ++i) texts[i] = codePointText(uint32_t(i));
  std::stable_sort(map.begin(), map.end(),
                   [&](uint8_t x, uint8_t y) { return OSCompareCharsLocale(lcid, texts[x], texts[y]) < 0; });
}

void TLanguageCharMapsList::GetMap(uint16_t languageId, uint16_t sortId, TCharMap& map) {
  std::lock_guard lock(mutex_);
  for (const Entry& e : entries_) {
    if (e.languageId == languageId && e.sortId == sortId) {
      map = e.map;
      return;
    }
  }
  BuildMap(languageId, sortId, map);
  entries_.push_back(Entry{languageId, sortId, map});
}

size_t TLanguageCharMapsList::Count() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void TLanguageCharMapsList::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

TLanguageCharMapsList& LanguageCharMaps() {
  // Never destroyed, so that a late caller during process exit finds it intact.
  static TLanguageCharMapsList* instance = new TLanguageCharMapsList;
  return *instance;
}

void GetLanguageCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map) {
  LanguageCharMaps().GetMap(languageId, sortId, map);
}

// ---- TLanguageStringList ----

void TLanguageStringList::setLocale(uint16_t languageId, uint16_t sortId) {
  languageId_ = languageId;
  sortId_ = sortId;
  if (sorted_) Sort();
}

void TLanguageStringList::setSorted(bool sorted) {
  if (sorted && !sorted_) {
    sorted_ = true;
    Sort();
  }
  sorted_ = sorted;
}

int TLanguageStringList::CompareLanguageStrings(std::string_view a, std::string_view b) const {
  return OSCompareStrings(languageId_, sortId_, a, true, 0, b);
}

size_t TLanguageStringList::add(std::string_view text, uint32_t number) {
  if (!sorted_) {
    items_.push_back(Item{std::string(text), number});
    return items_.size() - 1;
  }
  size_t index = 0;
  if (Find(text, index)) {
    if (duplicates_ == TDuplicates::dupIgnore) return index;
    if (duplicates_ == TDuplicates::dupError)
      throw std::invalid_argument("String list does not allow duplicates");
  }
  items_.insert(items_.begin() + std::ptrdiff_t(index), Item{std::string(text), number});
  return index;
}

void TLanguageStringList::remove(size_t index) {
  if (index >= items_.size()) throw std::out_of_range("String list index out of bounds");
  items_.erase(items_.begin() + std::ptrdiff_t(index));
}

long TLanguageStringList::indexOf(std::string_view text) const {
  if (sorted_) {
    size_t index = 0;
    return Find(text, index) ? long(index) : -1;
  }
  for (size_t i = 0; i < items_.size(); ++i)
    if (CompareLanguageStrings(items_[i].text, text) == 0) return long(i);
  return -1;
}

bool TLanguageStringList::Find(std::string_view text, size_t& index) const {
  index = 0;
  return FindPartial(text, index, 0);
}

bool TLanguageStringList::FindPartial(std::string_view text, size_t& index, size_t length) const {
  bool found = false;
  // Signed bounds: high may fall to -1 when the text sorts before every item.
  long low = long(std::min(index, items_.size()));
  long high = long(items_.size()) - 1;
  while (low <= high) {
    long middle = (low + high) / 2;
    int c = OSCompareStrings(languageId_, sortId_, items_[size_t(middle)].text, true, length, text);
    if (c < 0) {
      low = middle + 1;
    } else {
      high = middle - 1;
      if (c == 0) {
        found = true;
        if (duplicates_ != TDuplicates::dupAccept) low = middle;
      }
    }
  }
  index = size_t(low);
  return found;
}

void TLanguageStringList::Sort() {
  std::stable_sort(items_.begin(), items_.end(), [this](const Item& a, const Item& b) {
    return CompareLanguageStrings(a.text, b.text) < 0;
  });
}

// ---- LIKE ----

bool MatchSqlLike(uint16_t languageId, uint16_t sortId, std::string_view text, std::string_view pattern) {
  // Under byte order a character is one code point; under a locale it takes its marks along,
  // so that "_" matches an accented letter however it is written.
  auto characterAt = [languageId](std::string_view s, size_t pos) {
    if (languageId != 0) return platform::characterLength(s, pos);
    size_t n = 1;
    uint8_t lead = uint8_t(s[pos]);
    size_t want = lead >= 0xF0 && lead <= 0xF4  ? 4
                  : lead >= 0xE0 && lead < 0xF0 ? 3
                  : lead >= 0xC2 && lead < 0xE0 ? 2
                                                : 1;
    while (n < want && pos + n < s.size() && (uint8_t(s[pos + n]) & 0xC0) == 0x80) ++n;
    return n == want ? n : size_t(1);
  };

  // Greedy matching with one back-track point, the last "%": on a mismatch the "%" takes one more
  // character of text and matching resumes after it. A later "%" replaces the point, because
  // whatever the earlier one could still absorb, the later one can absorb as well.
  constexpr size_t none = std::string_view::npos;
  size_t t = 0, p = 0;
  size_t starPattern = none, starText = 0;
  for (;;) {
    if (p < pattern.size() && pattern[p] == '%') {
      while (p < pattern.size() && pattern[p] == '%') ++p;
      if (p == pattern.size()) return true;  // a trailing run of "%" takes whatever is left
      starPattern = p;
      starText = t;
      continue;
    }
    if (t == text.size()) {
      // The part after the last "%" needs a fixed number of characters; starting it later
      // leaves fewer, so no back-tracking can help.
      return p == pattern.size();
    }
    if (p < pattern.size()) {
      size_t textLength = characterAt(text, t);
      if (pattern[p] == '_') {
        t += textLength;
        ++p;
        continue;
      }
      size_t patternLength = characterAt(pattern, p);
      if (OSCompareChars(languageId, sortId, text.substr(t, textLength), pattern.substr(p, patternLength)) ==
          0) {
        t += textLength;
        p += patternLength;
        continue;
      }
    }
    if (starPattern == none) return false;
    starText += characterAt(text, starText);
    t = starText;
    p = starPattern;
  }
}

// ---- Locale names ----

std::span<const TEngineLocale> EngineLocaleList() {
  return kEngineLocales;
}

bool IsLanguageName(std::string_view name) {
  for (const auto& locale : kEngineLocales)
    if (platform::equalIgnoringAsciiCase(locale.name, name)) return true;
  return false;
}

uint16_t GetLanguageId(std::string_view name) {
  for (const auto& locale : kEngineLocales)
    if (platform::equalIgnoringAsciiCase(locale.name, name)) return locale.languageId;
  return 0;
}

int GetLanguageIndex(uint16_t languageId) {
  for (size_t i = 0; i < std::size(kEngineLocales); ++i)
    if (kEngineLocales[i].languageId == languageId) return int(i);
  return -1;
}

void FillSortOrderList(int position, std::vector<std::string>& list) {
  list.clear();
  list.emplace_back(kDefaultOrderName);
  if (position >= kFirstGermanPosition && position <= kLastGermanPosition)
    list.emplace_back(kGermanPhoneBookOrderName);
}

bool IsSortOrderName(uint16_t languageId, std::string_view name) {
  std::vector<std::string> list;
  FillSortOrderList(GetLanguageIndex(languageId), list);
  for (const auto& entry : list)
    if (platform::equalIgnoringAsciiCase(entry, name)) return true;
  return false;
}

uint16_t GetSortOrderId(uint16_t languageId, std::string_view name) {
  if (!platform::equalIgnoringAsciiCase(name, kGermanPhoneBookOrderName)) return 0;
  return IsSortOrderName(languageId, name) ? platform::kPhoneBookSortId : 0;
}

}  // namespace engine
