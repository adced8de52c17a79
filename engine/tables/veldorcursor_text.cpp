// The data cursor: text-index upkeep and text search.
//
// A write works out the exact keys it removes and inserts first (each checked against the
// index), so that the record write can apply them with its other key changes and take them all
// back together when it fails.
#include <algorithm>
#include <array>
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/storage/veldorbitmap.h"
#include "engine/storage/veldorbtree.h"
#include "engine/storage/veldordata.h"
#include "engine/storage/veldorkeys.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldortable.h"
#include "platform/scopeguard.h"

namespace engine {

using platform::ScopeExit;

namespace {

constexpr uint16_t kMemoSubType = 22;

std::string_view dataOf(const TBlobBuffer& b) {
  return {reinterpret_cast<const char*>(b.GetData()), b.GetSize()};
}
std::string_view originalOf(const TBlobBuffer& b) {
  return {reinterpret_cast<const char*>(b.GetOriginalData().data()), b.GetOriginalSize()};
}

// The first `chars` characters of a UTF-8 text.
std::string_view firstChars(std::string_view text, size_t chars) {
  size_t i = 0;
  for (; i < text.size(); ++i)
    if ((uint8_t(text[i]) & 0xC0) != 0x80 && chars-- == 0) break;
  return text.substr(0, i);
}
size_t charCount(std::string_view text) {
  return size_t(std::count_if(text.begin(), text.end(), [](char c) { return (uint8_t(c) & 0xC0) != 0x80; }));
}

uint32_t uniqueIdOf(const uint8_t* record) {
  uint32_t id;
  std::memcpy(&id, record + 5, 4);
  return id;
}

}  // namespace

bool TDataCursor::HasTextIndex() const {
  // Every write asks: only the first field number is read, not the whole descriptor.
  if (!table_) return false;
  std::array<uint8_t, 2 * kMaxIndexFields> fields;
  table_->IndexFile().GetIndexFields(kSysTextSlot, fields.data());
  return fields[0] != 0 || fields[1] != 0;
}

bool TDataCursor::IsTextIndexField(uint16_t fieldNo) const {
  if (!table_) return false;
  for (uint16_t f : table_->IndexFile().GetIndexDescriptor(kSysTextSlot).fields) {
    if (f == 0) break;
    if (f == fieldNo) return true;
  }
  return false;
}

void TDataCursor::ExtractWords(std::string_view text, bool keepWildcards, TLanguageStringList& list) {
  LoadTextIndexParams();
  list.setLocale(languageId_, sortId_);
  list.setSorted(true);
  ExtractTextWords(text, list, keepWildcards, true, includeChars_, spaceChars_);
}

void TDataCursor::BuildTextKey(uint16_t fieldNo, std::string_view word, uint32_t uniqueId,
                               uint8_t* key) const {
  std::memset(key, 0, kSysTextKeySize);
  key[0] = 1;
  EncodeWordKey(fieldNo, key + 1);
  std::string upper(word.substr(0, kMaxTextWordLength));
  OSUpperCase(languageId_, sortId_, upper, kMaxTextWordLength);
  std::memcpy(key + 3, upper.data(), std::min(upper.size(), kMaxTextWordLength));
  EncodeIntegerKey(int32_t(uniqueId), key + 64);
}

void TDataCursor::textWordChanges(uint16_t fieldNo, const std::string* oldText, const std::string* newText,
                                  uint32_t oldId, uint32_t newId, TTextChanges& changes) {
  TLanguageStringList oldWords, newWords;
  if (oldText) ExtractWords(*oldText, false, oldWords);
  if (newText) ExtractWords(*newText, false, newWords);
  if (oldId == newId) {
    // Words in both texts keep their keys.
    for (size_t i = oldWords.count(); i-- > 0;) {
      size_t at = 0;
      if (newWords.Find(oldWords[i], at)) {
        newWords.remove(at);
        oldWords.remove(i);
      }
    }
  }
  SelectIndex(kSysTextSlot);
  TIndexTree tree(table_->IndexFile(), *this, kSysTextSlot);
  std::vector<uint8_t> key(kSysTextKeySize);
  for (size_t i = 0; i < oldWords.count(); ++i) {
    BuildTextKey(fieldNo, oldWords[i], oldId, key.data());
    if (tree.HasKey(key.data())) changes.removed.push_back(key);
  }
  size_t stop = 0;
  for (size_t i = 0; i < newWords.count(); ++i) {
    if (stopWords_.count() > 0 && stopWords_.Find(newWords[i], stop)) continue;
    BuildTextKey(fieldNo, newWords[i], newId, key.data());
    if (!tree.HasKey(key.data())) changes.inserted.push_back(key);
  }
}

void TDataCursor::textRecordChanges(const uint8_t* oldBuffer, const uint8_t* newBuffer,
                                    TTextChanges& changes) {
  if (!HasTextIndex()) return;
  LoadTextIndexParams();
  const uint32_t oldId = oldBuffer ? uniqueIdOf(oldBuffer) : 0, newId = newBuffer ? uniqueIdOf(newBuffer) : 0;
  for (uint16_t fieldNo : table_->IndexFile().GetIndexDescriptor(kSysTextSlot).fields) {
    if (fieldNo == 0) break;
    uint16_t position = 0;
    const TFieldDescriptor* d = table_->DataFile().FindFieldByNumber(fieldNo, position);
    if (!d) continue;
    if (d->Type() == kFieldTypeString) {
      std::string texts[2];
      bool has[2] = {false, false};
      const uint8_t* buffers[2] = {oldBuffer, newBuffer};
      for (int i = 0; i < 2; ++i) {
        if (!buffers[i]) continue;
        std::vector<uint8_t> value(std::max<size_t>(d->StoredSize(), 4) + 1);
        bool isNull = true;
        ReadFieldValue(*d, buffers[i], isNull, value.data());
        has[i] = !isNull;
        if (has[i]) texts[i] = reinterpret_cast<const char*>(value.data());
      }
      if (has[0] || has[1])
        textWordChanges(fieldNo, has[0] ? &texts[0] : nullptr, has[1] ? &texts[1] : nullptr, oldId,
                        newBuffer ? newId : oldId, changes);
    } else if (d->IsBlob() && d->SubType() == kMemoSubType) {
      for (const auto& b : openBlobs_) {
        if (!b->data.IsDirty() || b->data.GetFieldNumber() != fieldNo) continue;
        const std::string before(originalOf(b->data)), after(dataOf(b->data));
        textWordChanges(fieldNo, oldBuffer ? &before : nullptr, newBuffer ? &after : nullptr, oldId,
                        newBuffer ? newId : oldId, changes);
      }
    }
  }
}

void TDataCursor::applyTextChanges(const TTextChanges& changes, uint32_t recordNo) {
  SelectIndex(kSysTextSlot);
  for (const auto& key : changes.removed) removeKey(key.data());
  for (const auto& key : changes.inserted) insertKey(key.data(), recordNo);
}

void TDataCursor::AddTextWords(uint16_t fieldNo, std::string_view text, uint32_t recordNo,
                               uint32_t uniqueId) {
  auto keep = KeepCurrentIndex(*this);
  TTextChanges changes;
  const std::string t(text);
  textWordChanges(fieldNo, nullptr, &t, uniqueId, uniqueId, changes);
  applyTextChanges(changes, recordNo);
}

void TDataCursor::UpdateTextWords(uint16_t fieldNo, std::string_view oldText, std::string_view newText,
                                  uint32_t recordNo, uint32_t oldUniqueId, uint32_t newUniqueId) {
  auto keep = KeepCurrentIndex(*this);
  TTextChanges changes;
  const std::string o(oldText), n(newText);
  textWordChanges(fieldNo, &o, &n, oldUniqueId, newUniqueId, changes);
  applyTextChanges(changes, recordNo);
}

void TDataCursor::RemoveTextWords(uint16_t fieldNo, std::string_view text, uint32_t uniqueId) {
  auto keep = KeepCurrentIndex(*this);
  TTextChanges changes;
  const std::string t(text);
  textWordChanges(fieldNo, &t, nullptr, uniqueId, uniqueId, changes);
  applyTextChanges(changes, 0);
}

void TDataCursor::TextIndexAppend(const uint8_t* buffer) {
  auto keep = KeepCurrentIndex(*this);
  TTextChanges changes;
  textRecordChanges(nullptr, buffer, changes);
  uint32_t recordNo;
  std::memcpy(&recordNo, buffer + 1, 4);
  applyTextChanges(changes, recordNo);
}

void TDataCursor::TextIndexModify(const uint8_t* oldBuffer, const uint8_t* newBuffer) {
  auto keep = KeepCurrentIndex(*this);
  TTextChanges changes;
  textRecordChanges(oldBuffer, newBuffer, changes);
  uint32_t recordNo;
  std::memcpy(&recordNo, newBuffer + 1, 4);
  applyTextChanges(changes, recordNo);
}

void TDataCursor::TextIndexDelete(const uint8_t* buffer) {
  auto keep = KeepCurrentIndex(*this);
  TTextChanges changes;
  textRecordChanges(buffer, nullptr, changes);
  applyTextChanges(changes, 0);
}

// ---- Search ----

namespace {

// The one word matcher of TextSearch and TextOccurs: `onWord(found, occurrences)` for each search
// word in turn, until it returns false. A word ending in "*" is found in every value word that
// starts so; a stop word missing from the values counts as found and occurs never.
template <class OnWord>
void matchTextWords(uint16_t languageId, uint16_t sortId, const TLanguageStringList& stopWords,
                    const TLanguageStringList& words, const TLanguageStringList& values, OnWord onWord) {
  size_t at = 0;
  for (size_t i = 0; i < words.count(); ++i) {
    const std::string& w = words[i];
    bool found = false;
    uint32_t occurrences = 0;
    if (!w.empty() && w.back() == '*') {
      // Prefixes are matched by characters: a cut by bytes could split a character of a word.
      const std::string prefix = w.substr(0, w.size() - 1);
      const size_t chars = charCount(prefix);
      for (size_t v = 0; v < values.count(); ++v)
        if (OSCompareStrings(languageId, sortId, firstChars(values[v], chars), true, 0, prefix) == 0) {
          found = true;
          occurrences += values.number(v);
        }
    } else if (stopWords.count() > 0 && stopWords.Find(w, at)) {
      found = true;
    } else if (values.Find(w, at)) {
      found = true;
      occurrences = values.number(at);
    }
    if (!onWord(found, occurrences)) return;
  }
}

}  // namespace

bool TDataCursor::TextSearch(std::string_view search, std::string_view value) {
  TLanguageStringList words, values;
  ExtractWords(search, true, words);
  ExtractWords(value, false, values);
  bool all = true;
  matchTextWords(languageId_, sortId_, stopWords_, words, values, [&](bool found, uint32_t) {
    all = found;
    return found;
  });
  return all;
}

// Search words the index has keys for: whole words that are no stop words. `exact` tells whether
// they decide the search alone: no prefix word, and no word whose key the index cuts.
std::vector<std::string> TDataCursor::indexedSearchWords(std::string_view search, bool* exact) {
  TLanguageStringList words;
  ExtractWords(search, true, words);
  std::vector<std::string> served;
  if (exact) *exact = true;
  size_t at = 0;
  for (size_t i = 0; i < words.count(); ++i) {
    const std::string& w = words[i];
    if (stopWords_.count() > 0 && stopWords_.Find(w, at)) continue;
    std::string upper(w);
    OSUpperCase(languageId_, sortId_, upper, kMaxTextWordLength + 1);
    if (w.empty() || w.back() == '*' || upper.size() >= kMaxTextWordLength) {
      if (exact) *exact = false;
      if (w.empty() || w.back() == '*') continue;
    }
    served.push_back(w);
  }
  return served;
}

const TExpToken* TDataCursor::IndexedTextSearch(const TExpToken& test) {
  const TExpToken* call = &test;
  if (test.kind == expBinary && test.code == opEqual) {
    const TExpToken* right = test.right;
    if (!right || right->kind != expConstant || right->isNull ||
        TEngineFieldType(right->type) != TEngineFieldType::Boolean ||
        (right->Value()[0] | right->Value()[1]) == 0)
      return nullptr;
    call = test.left;
  }
  if (!IsTextSearchCall(call) || call->args.size() != 2 || !call->args[0] || !call->args[1]) return nullptr;
  const TExpToken& search = *call->args[0];
  const TExpToken& column = *call->args[1];
  if (search.kind != expConstant || search.isNull || column.kind != expColumn) return nullptr;
  if (indexRebuildNeeded_ || !HasTextIndex() || !IsTextIndexField(column.fieldNo)) return nullptr;
  return indexedSearchWords(search.Text()).empty() ? nullptr : call;
}

bool TDataCursor::NarrowByTextIndex(uint16_t fieldNo, std::string_view search, TRecordsBitmap& bitmap) {
  bool exact = false;
  const std::vector<std::string> words = indexedSearchWords(search, &exact);
  if (words.empty()) return false;
  const uint8_t saved = CurrentIndex();
  // The index may name records appended after the bitmap was sized.
  TRecordsBitmap found;
  found.SetSize(std::max(bitmap.Count(), table_->DataFile().GetLastRecordNumber()));
  std::vector<uint8_t> low(kSysTextKeySize), high(kSysTextKeySize);
  ScopeExit restore([&] { SelectIndex(saved); });
  TIndexTree tree(table_->IndexFile(), *this, kSysTextSlot);
  for (const std::string& w : words) {
    // Every unique id under the word.
    BuildTextKey(fieldNo, w, 0, low.data());
    std::fill(low.begin() + 64, low.end(), uint8_t(0));
    high = low;
    std::fill(high.begin() + 64, high.end(), uint8_t(0xFF));
    found.ClearAll();
    tree.AddRangeToBitmap(low.data(), high.data(), found);
    uint32_t recordNo = 0;
    int64_t position = 0;
    while (bitmap.FindNext(recordNo, 1, position))
      if (!found.GetBit(recordNo)) bitmap.ClearBit(recordNo);
  }
  return exact;
}

uint32_t TDataCursor::TextOccurs(std::string_view search, std::string_view value) {
  TLanguageStringList words, values;
  ExtractWords(search, true, words);
  ExtractWords(value, false, values);
  uint32_t total = 0;
  matchTextWords(languageId_, sortId_, stopWords_, words, values, [&](bool, uint32_t occurrences) {
    total += occurrences;
    return true;
  });
  return total;
}

}  // namespace engine
