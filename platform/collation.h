// Locale-aware comparison and case mapping of UTF-8 text for the table engine.
//
// The engine names a locale by a 32-bit id: the sort id shifted left by 16, or-ed with a 16-bit
// Windows language id (sublanguage << 10 | primary language). This layer maps those ids onto
// collators and case maps of the system's Unicode library; nothing above it sees that library.
//
// Comparison rules: non-spacing marks never count (primary strength). With case kept, case is a
// separate level that breaks ties ("a" < "A", both equal to "á"); with case ignored, only base
// letters count. Punctuation and symbols always count. Text is normalised before comparing, so a
// composed and a decomposed form of the same text are equal. Sort id 1 of a German locale selects
// phone-book order ("ä" sorts as "ae").
//
// A language id that the table does not know compares under the root collation and maps case
// without language rules; isSupportedLocale tells callers that want to refuse such ids.
//
// Ill-formed UTF-8: bytes that do not form a character compare as U+FFFD and pass through case
// mapping unchanged.
//
// Thread-safety: every function may be called from any thread. Collators and case maps are built
// on first use, cached for the life of the process and never changed after they are built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Language id 0x0409 (US English), the locale that language id 0 stands for.
inline constexpr uint16_t kUsEnglishLanguageId = 0x0409;

// Sort id of German phone-book order.
inline constexpr uint16_t kPhoneBookSortId = 1;

constexpr uint32_t makeLocaleId(uint16_t languageId, uint16_t sortId) {
  return (uint32_t(sortId) << 16) | languageId;
}
constexpr uint16_t localeLanguageId(uint32_t localeId) {
  return uint16_t(localeId & 0xFFFF);
}
constexpr uint16_t localeSortId(uint32_t localeId) {
  return uint16_t(localeId >> 16);
}

// The collation locale (with its collation keyword, if any) that `localeId` selects, or an empty
// view when the language id is not in the table. The view points at static storage.
std::string_view collationLocaleName(uint32_t localeId);

// True when the language id is in the table and the sort id is 0, or 1 for a German language.
bool isSupportedLocale(uint32_t localeId);

// -1, 0 or 1 as `a` sorts before, equal to or after `b` (rules above).
int compareText(uint32_t localeId, std::string_view a, std::string_view b, bool ignoreCase);
// True when compareText ignoring case answers for two all-ASCII texts of the locale without the
// collator, from each character's place in the locale's order (same answers). False for a locale
// whose order joins ASCII letters ("ch" a letter of its own, Danish "aa"): the collator decides.
bool ordersAsciiWithoutCollator(uint32_t localeId);

// Upper- or lower-cases `text` by the locale's rules. The result never holds more than
// `maxBytes` bytes (and never more than the text already held, when that was already larger):
// when the full mapping would be longer, each character whose mapping would grow is kept as
// it is. The result is therefore a function of the text, the locale and `maxBytes` alone.
void upperCaseText(uint32_t localeId, std::string& text, size_t maxBytes);
void lowerCaseText(uint32_t localeId, std::string& text, size_t maxBytes);
// True when the locale's rules map every all-ASCII text as a-z <-> A-Z alone does (false for
// Turkish, whose i and I map to dotted and dotless letters): such a text may then be mapped
// without the rules, to the same result.
bool mapsAsciiCaseAlone(uint32_t localeId);

// Bytes of the character that starts at `pos`: one code point and the non-spacing marks that
// follow it. An ill-formed byte counts as a character of one byte. 0 when pos is at or past the
// end.
size_t characterLength(std::string_view text, size_t pos);

// Version of the collation that `localeId` selects: library, Unicode collation algorithm and
// tailoring, packed most significant byte first. Anything whose order depends on the collation
// (an index, a sorted file) records it when built; when the recorded version differs from the
// current one the order may have changed and the structure must be rebuilt.
uint32_t collationVersion(uint32_t localeId);

// True when a structure built under `recorded` is still in the order that `localeId` gives now.
bool collationVersionMatches(uint32_t localeId, uint32_t recorded);

}  // namespace platform
