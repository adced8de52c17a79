// Table locales: comparing, case-mapping and LIKE-matching text under a table's language and sort
// id, the process-wide cache of 256-byte collation maps, the locale-sorted string list, and the
// look-ups between the engine's locale names and language ids.
//
// Text is UTF-8. A "character" is one code point together with the non-spacing marks that follow
// it; under language id 0 (byte order) it is one code point. Ill-formed bytes count as characters
// of one byte each.
//
// A locale is a Windows language id with a sort id. Language id 0 means no locale: where a
// routine says so it compares bytes, elsewhere it stands for US English (0x0409, sort id 0).
// Sort id 1 of a German language is phone-book order.
//
// Comparisons ignore non-spacing marks; case is kept or ignored as asked. Anything whose order
// depends on a locale (an index, a sorted file) records GetCollationVersion when it is built and
// is rebuilt when CollationVersionMatches turns false.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

constexpr uint32_t OSMakeLCID(uint16_t languageId, uint16_t sortId) {
  return (uint32_t(sortId) << 16) | languageId;
}
constexpr uint16_t OSMakeLangID(uint16_t primaryLanguage, uint16_t subLanguage) {
  return uint16_t((subLanguage << 10) | primaryLanguage);
}

// ---- Locale routines (stateless apart from the platform's collator cache; any thread) ----

// One character against one under the locale id; case kept. -1, 0 or 1.
int OSCompareCharsLocale(uint32_t lcid, std::string_view a, std::string_view b);
// The same for the locale of the pair; language id 0 compares the bytes.
int OSCompareChars(uint16_t languageId, uint16_t sortId, std::string_view a, std::string_view b);

// Compares two texts, each taken up to its first zero byte. Length 0 compares them whole;
// another length compares at most that many bytes of each, cut back to a whole character.
// Language id 0 compares as US English. -1, 0 or 1.
int OSCompareStrings(uint16_t languageId, uint16_t sortId, std::string_view a, bool ignoreCase, size_t length,
                     std::string_view b);

// Upper- or lower-cases the text up to its first zero byte (the rest is kept). The mapped part
// never grows beyond `maxBytes` bytes (a part that is already longer never grows): when the full
// mapping would not fit, each character whose mapping is longer than itself stays as it is. The
// three-argument forms keep the text's own length as the bound.
void OSUpperCase(uint16_t languageId, uint16_t sortId, std::string& text, size_t maxBytes);
void OSLowerCase(uint16_t languageId, uint16_t sortId, std::string& text, size_t maxBytes);
void OSUpperCase(uint16_t languageId, uint16_t sortId, std::string& text);
void OSLowerCase(uint16_t languageId, uint16_t sortId, std::string& text);

// True for the locales of the engine's languages: sort id 0, or 1 for a German language.
// Language id 0 (no locale) is valid as well.
bool OSIsValidLocale(uint32_t lcid);

// The version of the collation a locale's order comes from (see the header comment).
uint32_t GetCollationVersion(uint16_t languageId, uint16_t sortId);
bool CollationVersionMatches(uint16_t languageId, uint16_t sortId, uint32_t recorded);

// ---- Collation maps ----

// Entry i is the byte value that stands i-th when all 256 byte values are sorted by the locale's
// character compare, each byte taken as the code point of the same number (U+0000 to U+00FF).
// Bytes that the locale finds equal keep their byte order. Language id 0 gives the identity.
using TCharMap = std::array<uint8_t, 256>;

// The process-wide cache of collation maps. Thread-safe: every operation holds its lock.
class TLanguageCharMapsList {
 public:
  TLanguageCharMapsList();
  // Copies the map of the pair into `map`, building and caching it on a miss.
  void GetMap(uint16_t languageId, uint16_t sortId, TCharMap& map);
  size_t Count() const;
  // Drops every entry (engine shut-down).
  void Clear();

 private:
  struct Entry {
    uint16_t languageId;
    uint16_t sortId;
    TCharMap map;
  };
  static void BuildMap(uint16_t languageId, uint16_t sortId, TCharMap& map);

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

// The process's cache; lives for the whole process and is emptied at engine shut-down.
TLanguageCharMapsList& LanguageCharMaps();

void GetLanguageCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map);

// ---- Locale-sorted string list ----

enum class TDuplicates : uint8_t { dupIgnore, dupAccept, dupError };

// A list of texts, each with a 32-bit number (a count or a position), optionally kept sorted by
// the list's locale, case ignored. Belongs to its creator; not thread-safe.
class TLanguageStringList {
 public:
  struct Item {
    std::string text;
    uint32_t number = 0;
  };

  TLanguageStringList() = default;
  TLanguageStringList(uint16_t languageId, uint16_t sortId) : languageId_(languageId), sortId_(sortId) {}

  uint16_t languageId() const { return languageId_; }
  uint16_t sortId() const { return sortId_; }
  // Changing the locale of a sorted list sorts it again.
  void setLocale(uint16_t languageId, uint16_t sortId);

  bool sorted() const { return sorted_; }
  void setSorted(bool sorted);
  TDuplicates duplicates() const { return duplicates_; }
  void setDuplicates(TDuplicates duplicates) { duplicates_ = duplicates; }

  size_t count() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const std::string& operator[](size_t index) const { return items_.at(index).text; }
  uint32_t number(size_t index) const { return items_.at(index).number; }
  void setNumber(size_t index, uint32_t number) { items_.at(index).number = number; }
  const std::vector<Item>& items() const { return items_; }
  size_t capacity() const { return items_.capacity(); }
  void reserve(size_t capacity) { items_.reserve(capacity); }

  // Adds the text: a sorted list inserts it at its place (an equal text already present is
  // ignored, accepted, or refused with std::invalid_argument, by the duplicates setting); an
  // unsorted list appends it. Returns the item's index.
  size_t add(std::string_view text, uint32_t number = 0);
  void clear() { items_.clear(); }
  void remove(size_t index);
  // Index of the first text equal by the list's compare, or -1.
  long indexOf(std::string_view text) const;

  // Binary search by OSCompareStrings (case ignored, whole texts, the list's locale). `index` is
  // the position of the match or where the text would be inserted. The list must be sorted.
  bool Find(std::string_view text, size_t& index) const;
  // The same search starting at `index` (as the low bound) and comparing only the first `length`
  // bytes of each item: finds items that start with the text.
  bool FindPartial(std::string_view text, size_t& index, size_t length) const;
  // Sorts by CompareLanguageStrings; equal texts keep their order.
  void Sort();

  // OSCompareStrings of two texts with the list's locale, case ignored, whole texts.
  int CompareLanguageStrings(std::string_view a, std::string_view b) const;

 private:
  uint16_t languageId_ = 0;
  uint16_t sortId_ = 0;
  bool sorted_ = false;
  TDuplicates duplicates_ = TDuplicates::dupIgnore;
  std::vector<Item> items_;
};

// ---- LIKE ----

// The LIKE operator: "%" matches any run of characters (also none), "_" exactly one character,
// every other pattern character one text character equal to it by OSCompareChars (case kept).
// Runs time proportional to text length times pattern length at worst.
bool MatchSqlLike(uint16_t languageId, uint16_t sortId, std::string_view text, std::string_view pattern);

// ---- The engine's locale names ----

struct TEngineLocale {
  std::string_view name;
  uint16_t languageId;
};

// The 99 locales in their fixed order; position 0 is "ANSI Standard" (language id 0), positions
// 48 to 52 are the five German locales.
std::span<const TEngineLocale> EngineLocaleList();

inline constexpr std::string_view kDefaultOrderName = "Default Order";
inline constexpr std::string_view kGermanPhoneBookOrderName = "German Phone Book Order";

// True when a list name equals `name`, case ignored.
bool IsLanguageName(std::string_view name);
// Language id of the first name equal to `name` (case ignored); 0 when none.
uint16_t GetLanguageId(std::string_view name);
// Position of the first locale with the language id; -1 when none.
int GetLanguageIndex(uint16_t languageId);
// Clears `list`, then adds "Default Order", and "German Phone Book Order" for positions 48-52.
void FillSortOrderList(int position, std::vector<std::string>& list);
// True when `name` (case ignored) is a sort-order name of the language.
bool IsSortOrderName(uint16_t languageId, std::string_view name);
// The sort id of a sort-order name of the language: 1 for German phone-book order, 0 for
// "Default Order" and for any name that the language does not have.
uint16_t GetSortOrderId(uint16_t languageId, std::string_view name);

}  // namespace engine
