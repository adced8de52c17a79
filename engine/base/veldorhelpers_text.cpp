// Character sets, text and path helpers, and the word splitter of text indexes.
#include <algorithm>
#include <cstring>

#include "engine/base/veldorhelpers.h"
#include "platform/textrules.h"

namespace engine {
namespace {

bool isContinuation(char c) {
  return (uint8_t(c) & 0xC0) == 0x80;
}

// The largest length up to `n` that does not end inside a character.
size_t wholeCharacterLength(std::string_view text, size_t n) {
  if (n >= text.size()) return text.size();
  size_t end = n;
  while (end > 0 && isContinuation(text[end]) && n - end < 3) --end;
  if (end == n) return n;
  uint8_t lead = uint8_t(text[end]);
  size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  // A lead byte whose sequence runs past the cut is dropped with its bytes; stray bytes stay.
  return (lead >= 0xC0 && end + need > n) ? end : n;
}

// Where a character that the end of the text cuts short begins; the size when none is cut.
size_t incompleteTailStart(std::string_view text) {
  size_t start = text.size();
  while (start > 0 && text.size() - start < 3 && isContinuation(text[start - 1])) --start;
  if (start == 0) return text.size();
  uint8_t lead = uint8_t(text[start - 1]);
  size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return (lead >= 0xC0 && start - 1 + need > text.size()) ? start - 1 : text.size();
}

// Position of the last "." that comes after the last path delimiter, or npos.
size_t extensionDot(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return dot;
  size_t delimiter = name.find_last_of("/\\");
  if (delimiter != std::string_view::npos && delimiter > dot) return std::string_view::npos;
  return dot;
}

constexpr std::string_view kStopWords[] = {"A",   "AN",   "AND",  "BE",    "FOR",  "HOW", "IN",   "IS",
                                           "IT",  "OF",   "ON",   "OR",    "THAT", "THE", "THIS", "TO",
                                           "WAS", "WHAT", "WHEN", "WHICH", "WHY",  "WILL"};

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
  return platform::trimBlanks(text);
}

std::string EngineString(std::string_view text, size_t limit) {
  return std::string(EngineStringView(text, limit));
}

std::string_view EngineStringView(std::string_view text, size_t limit) {
  return text.substr(0, wholeCharacterLength(text, limit));
}

// ---- Character sets ----

TCharSet StringToCharSet(std::string_view text) {
  TCharSet set;
  for (char c : text) set.set(uint8_t(c));
  return set;
}

std::string CharSetToString(const TCharSet& set) {
  std::string text;
  for (size_t c = 1; c < 256; ++c)
    if (set.test(c)) text.push_back(char(c));
  return text;
}

// ---- Text helpers ----

void SplitBySpaces(std::string_view text, std::vector<std::string>& list) {
  list.clear();
  if (text.empty()) return;
  size_t start = 0;
  for (;;) {
    size_t blank = text.find(' ', start);
    list.emplace_back(
        text.substr(start, blank == std::string_view::npos ? std::string_view::npos : blank - start));
    if (blank == std::string_view::npos) return;
    start = blank + 1;
  }
}

void ExtractToken(std::string& text, std::string_view delimiter, std::string& piece) {
  size_t at = delimiter.empty() ? std::string::npos : text.find(delimiter);
  if (at == std::string::npos) {
    piece = std::move(text);
    text.clear();
    return;
  }
  piece = text.substr(0, at);
  text.erase(0, at + delimiter.size());
}

std::string PadLeft(std::string_view text, size_t length, char c) {
  length = std::min(length, kEngineStringLength);
  if (text.size() >= length) return EngineString(text);
  return std::string(length - text.size(), c) + std::string(text);
}

std::string LeftStr(std::string_view text, size_t n) {
  return EngineString(text, n);
}

std::string RightStr(std::string_view text, size_t n) {
  if (n >= text.size()) return EngineString(text);
  size_t start = text.size() - n;
  while (start < text.size() && isContinuation(text[start])) ++start;
  return EngineString(text.substr(start));
}

size_t LastPos(std::string_view sub, std::string_view text) {
  if (sub.empty()) return 0;
  size_t at = text.rfind(sub);
  return at == std::string_view::npos ? 0 : at + 1;
}

void StrTrimCharLeft(std::string& text, char c) {
  size_t first = text.find_first_not_of(c);
  text.erase(0, first == std::string::npos ? text.size() : first);
}

void StrTrimCharRight(std::string& text, char c) {
  size_t last = text.find_last_not_of(c);
  text.erase(last == std::string::npos ? 0 : last + 1);
}

void StrTrimChar(std::string& text, char c) {
  StrTrimCharRight(text, c);
  StrTrimCharLeft(text, c);
}

size_t StrPosition(std::string_view sub, std::string_view text) {
  if (sub.empty()) return 0;
  size_t at = text.find(sub);
  return at == std::string_view::npos ? 0 : at + 1;
}

size_t StrOccurrences(std::string_view sub, std::string_view text) {
  if (sub.empty()) return 0;
  size_t count = 0;
  for (size_t at = text.find(sub); at != std::string_view::npos; at = text.find(sub, at + sub.size()))
    ++count;
  return count;
}

size_t StrReplacedLength(std::string_view oldText, std::string_view newText, std::string_view text) {
  size_t n = StrOccurrences(oldText, text);
  return text.size() - n * oldText.size() + n * newText.size();
}

std::string StrReplaceAll(std::string_view oldText, std::string_view newText, std::string_view text) {
  if (oldText.empty() || oldText == newText) return std::string(text);
  std::string out;
  out.reserve(StrReplacedLength(oldText, newText, text));
  size_t start = 0;
  for (size_t at = text.find(oldText); at != std::string_view::npos; at = text.find(oldText, start)) {
    out.append(text.substr(start, at - start));
    out.append(newText);
    start = at + oldText.size();
  }
  out.append(text.substr(start));
  return out;
}

std::string StripLineBreaks(std::string_view text) {
  // Most texts have none; a long one (a literal of a log's text) is then copied once, unwalked.
  if (text.empty() ||
      (!std::memchr(text.data(), '\n', text.size()) && !std::memchr(text.data(), '\r', text.size())))
    return std::string(text);
  std::string out(text);
  out.erase(std::remove_if(out.begin(), out.end(), [](char c) { return c == '\r' || c == '\n'; }), out.end());
  return out;
}

std::string CollapseDoubledQuotes(std::string_view text) {
  std::string out(text);
  if (out.size() < 3) return out;
  // i is 1-based, as the rule is stated: the pair is (i - 1, i).
  size_t i = out.size();
  while (i >= 3) {
    char a = out[i - 2], b = out[i - 1];
    if (a == b && (a == '"' || a == '\'')) {
      out.erase(i - 1, 1);
      i -= 2;
    } else {
      i -= 1;
    }
  }
  return out;
}

void CopyList(const TLanguageStringList& source, TLanguageStringList& target) {
  target.clear();
  target.setSorted(false);
  target.setLocale(source.languageId(), source.sortId());
  target.setDuplicates(source.duplicates());
  target.reserve(source.capacity());
  for (const auto& item : source.items()) target.add(item.text, item.number);
  // The items arrive in the source's order, which is already sorted when the source is.
  if (source.sorted()) target.setSorted(true);
}

bool SameStringLists(uint16_t languageId, uint16_t sortId, const TLanguageStringList* a,
                     const TLanguageStringList* b) {
  if ((a == nullptr) != (b == nullptr)) return false;
  if (a == nullptr) return true;
  if (a->count() != b->count()) return false;
  for (size_t i = 0; i < a->count(); ++i)
    if (OSCompareStrings(languageId, sortId, (*a)[i], true, 0, (*b)[i]) != 0) return false;
  return true;
}

// ---- Paths ----

bool IsPathDelimiter(char c) {
  return c == '/' || c == '\\';
}

std::string IncludePathDelimiter(std::string_view path) {
  path = TrimBlanks(path);
  if (path.empty() || IsPathDelimiter(path.back())) return EngineString(path);
  return EngineString(path, kEngineStringLength - 1) + "/";
}

std::string ExcludeTrailingPathDelimiter(std::string_view path) {
  path = TrimBlanks(path);
  if (path.size() > 1 && IsPathDelimiter(path.back())) path.remove_suffix(1);
  return EngineString(path);
}

std::string StripPathDelimiters(std::string_view path) {
  path = TrimBlanks(path);
  if (!path.empty() && IsPathDelimiter(path.back())) path.remove_suffix(1);
  if (!path.empty() && IsPathDelimiter(path.front())) path.remove_prefix(1);
  return EngineString(path);
}

bool IsPathName(std::string_view name) {
  name = TrimBlanks(name);
  // A loop of its own: find_first_of looks each character up in the set through a call.
  return name.empty() ||
         std::any_of(name.begin(), name.end(), [](char c) { return c == '/' || c == '\\' || c == ':'; });
}

std::string RemoveFileExt(std::string_view name, std::string_view ext) {
  name = TrimBlanks(name);
  size_t dot = extensionDot(name);
  if (dot == std::string_view::npos) return EngineString(name);
  if (!ext.empty() && !platform::equalIgnoringAsciiCase(name.substr(dot), ext)) return EngineString(name);
  return EngineString(name.substr(0, dot));
}

std::string ForceFileExt(std::string_view name, std::string_view oldExt, std::string_view newExt) {
  std::string path = ForcePathExt(name, oldExt, newExt);
  path.resize(wholeCharacterLength(path, kEngineStringLength));
  return path;
}

std::string ForcePathExt(std::string_view path, std::string_view oldExt, std::string_view newExt) {
  path = TrimBlanks(path);
  size_t dot = extensionDot(path);
  if (dot != std::string_view::npos && platform::equalIgnoringAsciiCase(path.substr(dot), oldExt))
    path = path.substr(0, dot);
  std::string result;
  result.reserve(path.size() + newExt.size());
  result.append(path).append(newExt);
  return result;
}

std::string ExtractFileBaseName(std::string_view path, std::string_view ext) {
  path = TrimBlanks(path);
  size_t delimiter = path.find_last_of("/\\:");
  if (delimiter != std::string_view::npos) path = path.substr(delimiter + 1);
  return RemoveFileExt(path, ext);
}

// ---- Key compression ----

uint8_t CommonPrefixLength(const uint8_t* a, const uint8_t* b, size_t n) {
  n = std::min<size_t>(n, 254);
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return uint8_t(i);
}

uint8_t TrailingZeroCount(const uint8_t* data, size_t n) {
  size_t limit = std::min<size_t>(n, 254);
  size_t count = 0;
  while (count < limit && data[n - 1 - count] == 0) ++count;
  return uint8_t(count);
}

void ZeroBytes(uint8_t* buffer, uint8_t n) {
  std::fill(buffer, buffer + n, uint8_t(0));
}

// ---- Text indexes ----

const std::vector<std::string_view>& DefaultStopWords() {
  static const std::vector<std::string_view> words(std::begin(kStopWords), std::end(kStopWords));
  return words;
}

// Both sets are fixed: built once, since every new table (a statement's result among them) asks.
TCharSet GetDefaultSpaceChars() {
  static const TCharSet set = [] {
    TCharSet s;
    for (size_t c = 1; c <= 32; ++c) s.set(c);
    for (size_t c = 33; c < 256; ++c)
      if (IsWordBreakChar(uint8_t(c))) s.set(c);
    return s;
  }();
  return set;
}

TCharSet GetDefaultIncludeChars() {
  static const TCharSet set = [] {
    TCharSet s;
    for (size_t c = 33; c < 256; ++c)
      if (IsIdentChar(uint8_t(c))) s.set(c);
    return s;
  }();
  return set;
}

void GetDefaultTextIndexParams(TLanguageStringList& stopWords, TCharSet& spaceChars, TCharSet& includeChars) {
  stopWords.clear();
  stopWords.reserve(std::size(kStopWords));
  for (std::string_view word : kStopWords) stopWords.add(word);
  spaceChars = GetDefaultSpaceChars();
  includeChars = GetDefaultIncludeChars();
}

void ExtractTextWords(std::string_view text, TLanguageStringList& list, bool wildcard, bool countMode,
                      const TCharSet& includeChars, const TCharSet& spaceChars) {
  list.clear();
  std::string word;
  bool full = false;  // a byte did not fit: the rest of this word is dropped
  size_t position = 0;

  auto endWord = [&] {
    // A multi-byte letter cut by the length limit is dropped whole.
    if (full) word.resize(incompleteTailStart(word));
    if (!word.empty()) {
      if (countMode) {
        size_t index = 0;
        if (list.sorted() && list.Find(word, index)) {
          list.setNumber(index, std::min<uint32_t>(list.number(index) + 1, 65535));
        } else if (!list.sorted() && list.indexOf(word) >= 0) {
          size_t at = size_t(list.indexOf(word));
          list.setNumber(at, std::min<uint32_t>(list.number(at) + 1, 65535));
        } else {
          list.add(word, 1);
        }
      } else {
        list.add(word, uint32_t(position));
      }
    }
    word.clear();
    full = false;
  };

  for (size_t i = 0; i < text.size(); ++i) {
    uint8_t c = uint8_t(text[i]);
    bool finalWildcard = wildcard && c == '*' && i + 1 == text.size();
    if (!finalWildcard && spaceChars.test(c)) {
      endWord();
      continue;
    }
    if (!finalWildcard && !includeChars.test(c)) continue;
    if (word.size() < kMaxTextWordLength && !full) {
      if (word.empty()) position = i;
      word.push_back(char(c));
    } else {
      full = true;
    }
  }
  endWord();
}

}  // namespace engine
