// The data cursor: table maintenance and the text index's parameters.
//
// The parameters live in a chain of raw pages of the index file, reached from the text index's
// parameter page. Each page carries 4083 data bytes; an item (the word count, one word with its
// length, one character set with its length) never straddles two pages: one that would end past
// the page's data starts the next page of the chain at its first byte.
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "platform/bytes.h"
#include "platform/scopeguard.h"

namespace engine {

using platform::ScopeExit;

namespace {

constexpr uint32_t kCharSetBytes = 32;

void charSetToBytes(const TCharSet& set, uint8_t* out) {
  std::memset(out, 0, kCharSetBytes);
  for (size_t c = 0; c < 256; ++c)
    if (set.test(c)) out[c / 8] |= uint8_t(1u << (c % 8));
}
TCharSet bytesToCharSet(const uint8_t* in) {
  TCharSet set;
  for (size_t c = 0; c < 256; ++c)
    if (in[c / 8] & (1u << (c % 8))) set.set(c);
  return set;
}

}  // namespace

// ---- Table operations ----

void TDataCursor::DeleteTable() {
  CheckNotOpen();
  if (IsRemote()) {
    exchange(REQUEST_DELETETABLE, TCursorRequest{}.U32(serverCursor_).Text(tableName_).U8(options_.InMemory));
    return;
  }
  const int32_t result = Directory().DeleteTable(tableName_, options_.InMemory);
  if (result < 0) Raise(uint16_t(-result));
}

void TDataCursor::RenameTable(std::string_view newName) {
  CheckNotOpen();
  checkName(newName);
  if (IsRemote()) {
    exchange(REQUEST_RENAMETABLE,
             TCursorRequest{}.U32(serverCursor_).Text(tableName_).U8(options_.InMemory).Text(newName));
    return;
  }
  const int32_t result = Directory().RenameTable(tableName_, newName, false, options_.InMemory);
  if (result < 0) Raise(uint16_t(-result));
}

void TDataCursor::RenameToBackup() {
  CheckNotOpen();
  if (IsRemote()) Raise(VELDOR_REMOTEINVREQUEST);
  const int32_t result = Directory().RenameTable(tableName_, tableName_, true, options_.InMemory);
  if (result < 0) Raise(uint16_t(-result));
}

void TDataCursor::EmptyTable() {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  loadDeferredRecord();
  if (IsRemote()) {
    const TCursorReply reply = exchange(REQUEST_EMPTYTABLE, TCursorRequest{}.U32(serverCursor_));
    requests().ReadCursorState(*this, reply);
    return;
  }
  CheckExclusive();
  CheckWritable();
  // Emptying cuts the files at once, which no rollback could undo: it waits for the transaction
  // to end.
  if (table_->InTransaction()) Raise(VELDOR_NEEDEXCLACCESS);
  // The parameters go with the index file's pages; they are kept and written anew (damaged ones
  // give way to the defaults rather than keep the table from being emptied).
  try {
    LoadTextIndexParams();
  } catch (const EVELDOREngineError&) {
    SetTextIndexParams(nullptr, {}, {});
    TCharSet include;
    GetDefaultTextIndexParams(stopWords_, spaceChars_, include);
  }
  table_->EmptyTable();
  table_->IndexFile().SetTextParamsPage(0);
  textParamsChanged_ = true;
  // The trees start again under the collation of today.
  if (languageId_ != 0) {
    table_->IndexFile().SetCollationVersion(GetCollationVersion(languageId_, sortId_));
    indexRebuildNeeded_ = false;
  }
  rebuildView();
  SetToBegin();
}

void TDataCursor::BackupIndex() {
  CheckExclusive();
  CheckWritable();
  if (!active_ || IsRemote()) Raise(VELDOR_TABLEOPEN);
  table_->BackupIndex();
}

void TDataCursor::RestoreIndex(bool keepCurrent, bool deleteBackup) {
  CheckExclusive();
  if (!active_ || IsRemote()) Raise(VELDOR_TABLEOPEN);
  const uint8_t slot = GetCurrentIndex();
  table_->RestoreIndex(keepCurrent, deleteBackup);
  checkCollation();
  SelectIndex(slot <= table_->IndexFile().GetIndexCount() || slot >= kSysDeletedSlot ? slot : kPrimarySlot);
  textParamsLoaded_ = false;
  // The view and the position were found in the index this one replaced; an index kept was
  // rewritten in place all the same.
  filterViewStale_ = true;
  rebuildView();
  Resync();
}

void TDataCursor::SetIndexDescriptor(uint8_t slot, const TIndexDescriptor& descriptor) {
  if (IsRemote()) Raise(VELDOR_REMOTEINVREQUEST);
  table_->IndexFile().SetIndexDescriptor(slot, descriptor);
  if (slot == GetCurrentIndex()) SelectIndex(slot);
}

void TDataCursor::SetIndexNameAndFields(uint8_t slot, const TIndexDescriptor& descriptor) {
  if (IsRemote()) Raise(VELDOR_REMOTEINVREQUEST);
  table_->IndexFile().SetIndexNameAndFields(slot, descriptor);
  if (slot == GetCurrentIndex()) SelectIndex(slot);
}

bool TDataCursor::IndexExists(std::string_view name) const {
  return active_ && table_->IndexFile().IndexNameExists(name);
}

void TDataCursor::SetHeaderInfo(uint16_t userMajorVersion, uint16_t userMinorVersion,
                                std::string_view description) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  CheckWritable();
  if (IsRemote()) Raise(VELDOR_REMOTEINVREQUEST);
  TDataFile& data = table_->DataFile();
  data.SetHeaderInfo(data.GetPassword(), description, data.GetLastUniqueId(), userMajorVersion,
                     userMinorVersion);
}

// ---- Text-index parameters ----

void TDataCursor::LoadTextIndexParams() {
  if (textParamsLoaded_ || !active_) return;
  if (IsRemote()) {
    if (GetServerVersion() >= 30400) {
      const TCursorReply reply = exchange(REQUEST_TEXTINDEXPARAMS, TCursorRequest{}.U32(serverCursor_));
      size_t at = 0;
      bool hasList = false;
      std::vector<std::string> words;
      if (!ReadTextIndexParams(reply, at, hasList, words, spaceChars_, includeChars_))
        Raise(VELDOR_UNCOMPRESS);
      stopWords_.clear();
      for (const auto& w : words) stopWords_.add(w);
    }
    textParamsLoaded_ = true;
    return;
  }
  // The read first: when it finds another writer's changes it puts the cursor back on its
  // record, which needs the cursor's own index current.
  ReadScope scope(*this);
  BeginRead();
  auto keep = KeepCurrentIndex(*this);
  SetCurrentIndex(kSysTextSlot);
  stopWords_ = TLanguageStringList(languageId_, sortId_);
  stopWords_.setSorted(true);
  spaceChars_.reset();
  includeChars_.reset();
  TIndexFile& index = table_->IndexFile();
  if (index.GetTextParamsPageNumber() == 0) {
    TCharSet unusedInclude;
    GetDefaultTextIndexParams(stopWords_, spaceChars_, unusedInclude);
  } else {
    TPage* page = nullptr;
    bool failed = false;
    index.GetTextParamsPage(*this, page, failed);
    if (failed || !page) Raise(VELDOR_INDEXCORRUPT, {}, kSysTextName);
    readTextParams(page);
  }
  textParamsChanged_ = false;
  textParamsLoaded_ = true;
}

void TDataCursor::readTextParams(TPage* page) {
  TIndexFile& index = table_->IndexFile();
  const std::string indexName(kSysTextName);
  // Every page of a chain is visited once at most: a chain longer than the file has a cycle.
  uint32_t pagesLeft = index.GetLastPageNumber();
  uint32_t at = 0;
  ScopeExit release([&] {
    if (page) index.ReleasePage(page);
  });
  auto nextPage = [&] {
    const uint32_t next = page->GetNextPage();
    if (next == 0 || pagesLeft-- == 0) Raise(VELDOR_INDEXCORRUPT, {}, indexName);
    index.ReleasePage(page);
    page = nullptr;
    if (!index.GetPage(*this, next, page)) Raise(VELDOR_INDEXCORRUPT, {}, indexName);
    at = 0;
  };
  // The next `size` bytes of the chain; with `advance` false they stay to be read again.
  auto need = [&](uint32_t size, bool advance = true) -> const uint8_t* {
    if (at + size > kPageDataSize) nextPage();
    if (page->GetPageType() != ptRaw) Raise(VELDOR_INDEXCORRUPT, {}, indexName);
    const uint8_t* p = page->RawData() + at;
    if (advance) at += size;
    return p;
  };
  const uint32_t count = platform::get4(need(4));
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t length = platform::get4(need(4, false));
    // A word that did not fit was written on the next page; the rest of this one is zero.
    if (length == 0) {
      nextPage();
      length = platform::get4(need(4, false));
    }
    if (length == 0 || length > kEngineStringMax || at + 4 + length > kPageDataSize)
      Raise(VELDOR_INDEXCORRUPT, {}, indexName);
    const uint8_t* item = need(4 + length);
    stopWords_.add(std::string_view(reinterpret_cast<const char*>(item + 4), length));
  }
  for (TCharSet* set : {&spaceChars_, &includeChars_}) {
    const uint8_t* item = need(4 + kCharSetBytes);
    if (platform::get4(item) != kCharSetBytes) Raise(VELDOR_INDEXCORRUPT, {}, indexName);
    *set = bytesToCharSet(item + 4);
  }
}

const TLanguageStringList& TDataCursor::GetStopWords() {
  LoadTextIndexParams();
  return stopWords_;
}

TCharSet TDataCursor::GetSpaceChars() {
  LoadTextIndexParams();
  return spaceChars_;
}

TCharSet TDataCursor::GetIncludeChars() {
  LoadTextIndexParams();
  return includeChars_;
}

void TDataCursor::SetTextIndexParams(const std::vector<std::string>* stopWords, const TCharSet& spaceChars,
                                     const TCharSet& includeChars) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  CheckWritable();
  // No request carries them: a server's table would never see them.
  if (IsRemote()) Raise(VELDOR_REMOTEINVREQUEST);
  stopWords_ = TLanguageStringList(languageId_, sortId_);
  stopWords_.setSorted(true);
  if (stopWords)
    for (const std::string& w : *stopWords)
      if (!w.empty()) stopWords_.add(std::string_view(w).substr(0, kEngineStringMax));
  spaceChars_ = spaceChars;
  includeChars_ = includeChars;
  textParamsLoaded_ = textParamsChanged_ = true;
}

void TDataCursor::SaveTextIndexParams() {
  if (!textParamsChanged_ || !active_ || IsRemote() || options_.ReadOnly) return;
  BeginWrite();
  ScopeExit endWrite([this] { EndWrite(); });
  {
    auto keep = KeepCurrentIndex(*this);
    SetCurrentIndex(kSysTextSlot);
    writeTextParams();
  }
  textParamsChanged_ = false;
  FlushBuffers(false, false, false, true, false);
}

void TDataCursor::writeTextParams() {
  TIndexFile& index = table_->IndexFile();
  const std::string indexName(kSysTextName);
  TPage* page = nullptr;
  ScopeExit release([&] {
    if (page) index.ReleasePage(page);
  });
  auto fresh = [&](TPage*& p) {
    if (!index.NewPage(*this, p)) Raise(VELDOR_INDEXCORRUPT, {}, indexName);
    p->SetPageType(ptRaw);
    p->SetEntryCount(0);  // gives a new page its data room
    std::memset(p->RawData(), 0, kPageDataSize);
    p->SetDirty(true);
  };
  if (index.GetTextParamsPageNumber() == 0) {
    fresh(page);
    index.SetTextParamsPage(page->GetPageNumber());
  } else {
    bool failed = false;
    index.GetTextParamsPage(*this, page, failed);
    if (failed || !page) Raise(VELDOR_INDEXCORRUPT, {}, indexName);
    page->SetPageType(ptRaw);
    page->SetEntryCount(0);
    std::memset(page->RawData(), 0, kPageDataSize);
    page->SetDirty(true);
  }
  uint32_t at = 0;
  uint32_t pagesLeft = index.GetLastPageNumber() + 1;
  auto room = [&](uint32_t size) -> uint8_t* {
    if (at + size > kPageDataSize) {
      TPage* next = nullptr;
      const uint32_t number = page->GetNextPage();
      if (number != 0 && pagesLeft-- > 0 && index.IsValidPageNumber(number)) {
        if (!index.GetPage(*this, number, next)) Raise(VELDOR_INDEXCORRUPT, {}, indexName);
        next->SetPageType(ptRaw);
        next->SetEntryCount(0);
        std::memset(next->RawData(), 0, kPageDataSize);
        next->SetDirty(true);
      } else {
        fresh(next);
        page->SetNextPage(next->GetPageNumber());
        page->SetDirty(true);
      }
      index.ReleasePage(page);
      page = next;
      at = 0;
    }
    uint8_t* p = page->RawData() + at;
    at += size;
    return p;
  };
  platform::put4(room(4), uint32_t(stopWords_.count()));
  for (size_t i = 0; i < stopWords_.count(); ++i) {
    const std::string& word = stopWords_[i];
    uint8_t* item = room(4 + uint32_t(word.size()));
    platform::put4(item, uint32_t(word.size()));
    std::memcpy(item + 4, word.data(), word.size());
  }
  for (const TCharSet* set : {&spaceChars_, &includeChars_}) {
    uint8_t* item = room(4 + kCharSetBytes);
    platform::put4(item, kCharSetBytes);
    charSetToBytes(*set, item + 4);
  }
}

}  // namespace engine
