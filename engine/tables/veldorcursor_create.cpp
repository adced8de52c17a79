// The data cursor: table creation, definition checks, the closed table's header, and the
// definition comparisons of a restructure.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "engine/base/veldorerr.h"
#include "engine/base/veldortypes.h"
#include "engine/storage/veldordata.h"
#include "engine/storage/veldorkeys.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "engine/values/veldorvalues.h"
#include "platform/scopeguard.h"
#include "platform/textrules.h"

namespace engine {

using platform::ScopeExit;
using platform::UndoOnFailure;

namespace {

// The default stop words sorted for one locale. Sorting them asks the collation for every word,
// which a statement that makes a result table would otherwise pay each time; the list is the
// same for every table of the locale.
TLanguageStringList defaultStopWords(uint16_t languageId, uint16_t sortId) {
  static std::mutex section;
  static std::map<std::pair<uint16_t, uint16_t>, TLanguageStringList> sortedLists;
  std::lock_guard guard(section);
  auto [at, made] = sortedLists.try_emplace({languageId, sortId}, languageId, sortId);
  if (made) {
    TCharSet space, include;
    at->second.setSorted(true);
    GetDefaultTextIndexParams(at->second, space, include);
  }
  return at->second;
}

constexpr uint8_t kMemoSubType = uint8_t(TEngineFieldSubType::Memo);
constexpr uint32_t kRecordPrefixSize = 9;  // status byte, record number, unique id

bool sameText(std::string_view a, std::string_view b) {
  return platform::equalIgnoringAsciiCase(a, b);
}

const TFieldDescriptor* fieldByNumber(std::span<const TFieldDescriptor> fields, uint16_t number) {
  for (const TFieldDescriptor& f : fields)
    if (f.FieldNumber() == number) return &f;
  return nullptr;
}

}  // namespace

void TDataCursor::ValidateTableDefinition(uint16_t languageId, uint16_t sortId, bool encrypted,
                                          std::string_view password, uint32_t blobBlockSize,
                                          int64_t signedCount, std::vector<TFieldDescriptor>& fields,
                                          std::vector<TIndexDescriptor>& indexes, TIndexDescriptor& textIndex,
                                          bool noPrimaryIndex) const {
  if (encrypted) {
    const std::string_view trimmed = TrimBlanks(password);
    if (trimmed.empty() || trimmed.size() > kMaxPasswordLength) Raise(VELDOR_INVALIDPASSWORD);
  }
  if (languageId != 0 && !OSIsValidLocale(OSMakeLCID(languageId, sortId))) Raise(VELDOR_CANNOTLOADLDDRV);
  if (fields.size() > kMaxFieldCount || signedCount < -1) Raise(VELDOR_FLDLIMIT);
  // Slots 31 and 32 are the system's: at most 30 secondary indexes besides the primary one.
  if (indexes.size() > size_t(kMaxSecondaryIndexes) + 1) Raise(VELDOR_INDEXLIMIT);
  if (blobBlockSize < kMinBlobBlockSize) Raise(VELDOR_BLOBLIMIT);
  // The header keeps the record size in 16 bits.
  if (ValidateFieldDefinitions(fields, true) > kMaxRecordSize) Raise(VELDOR_RECTOOBIG);
  ValidateIndexDefinitions(noPrimaryIndex, indexes, textIndex, fields);
}

uint32_t TDataCursor::ValidateFieldDefinitions(std::span<TFieldDescriptor> fields, bool assignOffsets) const {
  uint32_t offset = kRecordPrefixSize;
  for (size_t i = 0; i < fields.size(); ++i) {
    TFieldDescriptor& f = fields[i];
    const std::string trimmed(TrimBlanks(f.Name()));
    f.SetName(trimmed);
    const std::string name = f.Name();
    if (name.empty() || !IsIdentStartChar(uint8_t(name[0]))) Raise(VELDOR_INVALIDFIELDNAME, name);
    for (size_t j = 0; j < fields.size(); ++j) {
      if (j == i) continue;
      const std::string other(TrimBlanks(fields[j].Name()));
      if (sameText(other.substr(0, kFieldNameLength), name)) Raise(VELDOR_INVALIDFIELDNAME, name);
      // A cursor's field list (no offsets assigned) may show one table field twice.
      if (assignOffsets && fields[j].FieldNumber() == f.FieldNumber()) Raise(VELDOR_INVALIDFLDTYPE, name);
    }
    const uint8_t type = f.Type();
    if (type == 0) Raise(VELDOR_INVALIDFLDTYPE, name);
    if (type == kFieldTypeString || type == kFieldTypeBytes || type == kFieldTypeVarBytes) {
      if (f.Size() > kMaxFieldSize) Raise(VELDOR_INVALIDFLDTYPE, name);
    } else {
      f.SetSize(0);
    }
    for (const std::string& text : {f.MaxText(), f.DefaultText(), f.MinText()})
      if (!IsValidValueText(text, TEngineFieldType(type))) Raise(VELDOR_INVALIDVCHKSTRUCT, name);
    if (type != kFieldTypeBCD) f.SetScale(0);
    SetFieldStorageSize(f.Span());
    SetFieldStorageScale(f.Span());
    if (!options_.QueryResult) f.SetComputed(false);
    if (f.Computed()) continue;
    if (f.IsAutoInc()) {
      if (assignOffsets) f.SetOffset(kAutoIncFieldOffset);
      continue;
    }
    if (assignOffsets) f.SetOffset(uint16_t(std::min<uint32_t>(offset, 0xFFFF)));
    offset += f.StoredSize() + 1u;
  }
  return offset;
}

void TDataCursor::ValidateIndexDefinitions(bool noPrimaryIndex, std::vector<TIndexDescriptor>& indexes,
                                           TIndexDescriptor& textIndex,
                                           std::span<const TFieldDescriptor> fields) const {
  if (indexes.empty()) indexes.emplace_back();
  for (size_t s = 0; s < indexes.size(); ++s) {
    TIndexDescriptor& d = indexes[s];
    std::string name;
    if (s == 0) {
      d.name.clear();
      d.unique = 1;
      name = "Primary";
    } else {
      name = std::string(TrimBlanks(d.name));
      if (name.empty() || !IsIdentStartChar(uint8_t(name[0])) || name.size() > kMaxIndexNameLength)
        Raise(VELDOR_INVALIDINDEXNAME, {}, name);
      for (size_t o = 1; o < indexes.size(); ++o)
        if (o != s && sameText(TrimBlanks(indexes[o].name), name)) Raise(VELDOR_INDEXEXISTS, {}, name);
      d.name = name;
    }
    uint32_t keySize = 0;
    uint8_t count = 0;
    bool ended = false;
    for (int k = 0; k < kMaxIndexFields; ++k) {
      const uint16_t number = d.fields[k];
      if (number == 0) {
        ended = true;
        continue;
      }
      if (ended) Raise(VELDOR_INVALIDIDXDESC, std::to_string(number), name);
      const TFieldDescriptor* f = fieldByNumber(fields, number);
      if (!f) {
        if (s == 0 && noPrimaryIndex) {
          // The rest of the list is not the key of a primary index the table does not have.
          std::fill(d.fields.begin() + k, d.fields.end(), uint16_t(0));
          break;
        }
        Raise(VELDOR_INVALIDIDXDESC, std::to_string(number), name);
      }
      if (f->IsBlob()) Raise(VELDOR_SEARCHCOLREQD, f->Name(), name);
      keySize += GetFieldKeySize(f->Span()) + 1u;
      ++count;
    }
    if (keySize == 0 && (s != 0 || !noPrimaryIndex)) Raise(VELDOR_INVALIDKEY, {}, name);
    // The limit holds for the key as stored: a non-unique key carries the record's unique id.
    if (!d.unique) keySize += kUniqueIdKeySize;
    if (keySize > kMaxKeyFieldsSize) Raise(VELDOR_INVALIDKEY, {}, name);
    d.fieldCount = count;
    d.keySize = uint16_t(keySize);
    d.rootPage = d.freePageHead = d.textParamsPage = 0;
  }
  const std::string textName(kSysTextName);
  bool ended = false;
  uint8_t count = 0;
  for (int k = 0; k < kMaxIndexFields; ++k) {
    const uint16_t number = textIndex.fields[k];
    if (number == 0) {
      ended = true;
      continue;
    }
    if (ended) Raise(VELDOR_INVALIDIDXDESC, std::to_string(number), textName);
    const TFieldDescriptor* f = fieldByNumber(fields, number);
    if (!f) Raise(VELDOR_INVALIDIDXDESC, std::to_string(number), textName);
    if (!(f->Type() == kFieldTypeString || (f->IsBlob() && f->SubType() == kMemoSubType)))
      Raise(VELDOR_SEARCHCOLREQD, f->Name(), textName);
    ++count;
  }
  textIndex.name = textName;
  textIndex.fieldCount = count;
  textIndex.keySize = kSysTextKeySize;
}

void TDataCursor::CreateTable(TCreateTableArgs& args) {
  CheckNotOpen();
  CheckExclusive();
  CheckWritable();
  ValidateTableDefinition(args.LanguageId, args.SortId, args.Encrypted, args.Password, args.BlobBlockSize, 0,
                          args.Fields, args.Indexes, args.TextIndex, args.NoPrimaryIndex);
  if (IsRemote()) {
    TCursorRequest request;
    request.U32(serverCursor_).Text(tableName_).U8(options_.InMemory).U8(options_.Temporary);
    WriteTableDefinition(request, args, GetServerVersion());
    request.U8(args.NoPrimaryIndex).U8(args.Overwrite);
    exchange(REQUEST_CREATETABLE, std::move(request));
    return;
  }
  if (!args.Overwrite && Directory().TableExists(tableName_, options_.InMemory)) Raise(VELDOR_TABLEEXISTS);
  TTableDefinition definition;
  definition.fields = args.Fields;
  definition.indexes = args.Indexes;
  if (args.TextIndex.fieldCount > 0) definition.textIndex = args.TextIndex;
  definition.description = args.Description;
  definition.password = std::string(TrimBlanks(args.Password));
  definition.languageId = args.LanguageId;
  definition.sortId = args.SortId;
  definition.userVersion1 = args.UserMajorVersion;
  definition.userVersion2 = args.UserMinorVersion;
  definition.encrypted = args.Encrypted;
  definition.blobBlockSize = args.BlobBlockSize;
  definition.scratch = args.Scratch && options_.Exclusive;
  definition.memoryFirst = definition.scratch && args.MemoryFirst && options_.Temporary && !options_.InMemory;
  // A result made from the same definition before, emptied since, is taken instead of new files
  // (under its own name).
  std::string poolKey = TDataTable::PoolKey(definition, args.NoPrimaryIndex);
  TDataTable* table = tableName_.empty() ? Directory().TakeIdleResult(poolKey, args.OneRow) : nullptr;
  const bool reused = table != nullptr;
  if (reused) {
    tableName_ = table->GetName();
  } else {
    if (tableName_.empty() && definition.memoryFirst) SetTableName(Directory().MakeMemoryFirstTableName());
    const int32_t result = Directory().CreateTable(tableName_, definition, options_.InMemory,
                                                   options_.Temporary, table, args.Overwrite);
    if (result < 0) Raise(uint16_t(-result));
  }
  if (args.NoPrimaryIndex) table->IndexFile().SetNoPrimaryIndex(true);
  table_ = table;
  active_ = true;
  UndoOnFailure undo([&] { Close(false); });
  languageId_ = args.LanguageId;
  sortId_ = args.SortId;
  if (languageId_ != 0) table_->IndexFile().SetCollationVersion(GetCollationVersion(languageId_, sortId_));
  if (!reused) table_->NotePoolable(std::move(poolKey));
  stopWords_ = defaultStopWords(languageId_, sortId_);
  const TCharSet space = GetDefaultSpaceChars(), include = GetDefaultIncludeChars();
  if (args.StopWords) {
    stopWords_.clear();
    for (const std::string& w : *args.StopWords) stopWords_.add(w);
  }
  spaceChars_ = args.SpaceChars.any() ? args.SpaceChars : space;
  includeChars_ = args.IncludeChars.any() ? args.IncludeChars : include;
  textParamsLoaded_ = textParamsChanged_ = true;
  if (definition.scratch && options_.Temporary) {
    // Open as it is: closing it would delete its files, and opening them again costs as much
    // as making them.
    undo.Dismiss();
    fields_.clear();
    // A result taken back with its row is about to have that row written over (RewriteIdleRow,
    // which places the cursor) or emptied: the open has no use for reading it.
    const bool unplaced = std::exchange(openUnplaced_, openUnplaced_ || (reused && table->HoldsIdleRow()));
    ScopeExit restore([&] { openUnplaced_ = unplaced; });
    openOnTable(false);
    return;
  }
  undo.Dismiss();
  Close(false);
}

std::array<uint8_t, kDataHeaderSize> TDataCursor::GetDataHeader(bool askPassword) {
  std::array<uint8_t, kDataHeaderSize> header{};
  if (active_) {
    table_->DataFile().GetHeader(header.data());
    return header;
  }
  if (IsRemote()) {
    const TCursorReply reply = exchange(
        REQUEST_GETDATAHEADER, TCursorRequest{}.U32(serverCursor_).Text(tableName_).U8(options_.InMemory));
    if (reply.empty() || reply[0].size() != kDataHeaderSize) Raise(VELDOR_HEADERCORRUPT);
    std::copy(reply[0].begin(), reply[0].end(), header.begin());
    return header;
  }
  TStandaloneTableOwner owner;
  owner.tableName = tableName_;
  owner.tablePath = GetDirectoryName();
  TDataFile data(&owner, false, &Directory().FileList());
  data.SetName(TDataTable::FileNameFor(Directory().Path(), tableName_, options_.InMemory, kDataFileExt));
  data.SetInMemory(options_.InMemory);
  data.Open();
  std::string password;
  bool encrypted = false;
  {
    ScopeExit close([&] {
      try {
        data.Close();
      } catch (...) {
        // Only read: nothing to lose.
      }
    });
    data.GetHeader(header.data());
    encrypted = data.IsEncrypted();
    if (encrypted) password = data.GetPassword();
  }
  if (encrypted && askPassword) passwordLoop(password);
  return header;
}

namespace {

uint32_t headerWord(const std::array<uint8_t, kDataHeaderSize>& h, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | h[at + size_t(i)];
  return v;
}

}  // namespace

uint32_t TDataCursor::GetLastUniqueId() {
  return active_ ? table_->DataFile().GetLastUniqueId() : headerWord(GetDataHeader(), 17, 4);
}
uint32_t TDataCursor::GetBlobBlockSize() {
  if (active_) return table_->DataFile().GetBlobBlockSize();
  const uint32_t size = headerWord(GetDataHeader(), 4, 4);
  return size == 0 ? kDefaultBlobBlockSize : size;
}
uint16_t TDataCursor::GetLanguageId() {
  return active_ ? languageId_ : uint16_t(headerWord(GetDataHeader(), 103, 2));
}
uint16_t TDataCursor::GetSortId() {
  return active_ ? sortId_ : uint16_t(headerWord(GetDataHeader(), 105, 2));
}
uint16_t TDataCursor::GetUserMajorVersion() {
  return active_ ? table_->DataFile().GetUserMajorVersion() : uint16_t(headerWord(GetDataHeader(), 107, 2));
}
uint16_t TDataCursor::GetUserMinorVersion() {
  return active_ ? table_->DataFile().GetUserMinorVersion() : uint16_t(headerWord(GetDataHeader(), 109, 2));
}

bool TDataCursor::FieldDefinitionChanged(const TFieldDescriptor& a, const TFieldDescriptor& b) {
  return !(a.FieldNumber() == b.FieldNumber() && a.Type() == b.Type() && a.SubType() == b.SubType() &&
           a.StoredSize() == b.StoredSize() && a.StoredScale() == b.StoredScale() &&
           a.Required() == b.Required() && a.CaseRule() == b.CaseRule() &&
           sameText(a.MaxText(), b.MaxText()) && sameText(a.DefaultText(), b.DefaultText()) &&
           sameText(a.MinText(), b.MinText()));
}

bool TDataCursor::IndexNeedsRebuild(const TIndexDescriptor& oldIndex, const TIndexDescriptor& newIndex,
                                    std::span<const TFieldDescriptor> newFields) const {
  if (oldIndex.keySize != newIndex.keySize || oldIndex.descending != newIndex.descending ||
      oldIndex.caseInsensitive != newIndex.caseInsensitive || oldIndex.unique != newIndex.unique ||
      oldIndex.compression != newIndex.compression || oldIndex.fieldCount != newIndex.fieldCount)
    return true;
  for (int k = 0; k < kMaxIndexFields && newIndex.fields[k] != 0; ++k) {
    const TFieldDescriptor* newField = fieldByNumber(newFields, newIndex.fields[k]);
    if (!newField) Raise(VELDOR_OUTOFRANGE, std::to_string(newIndex.fields[k]));
    uint16_t position = 0;
    const TFieldDescriptor* oldField =
        oldIndex.fields[k] == 0 ? nullptr
                                : table_->DataFile().FindFieldByNumber(oldIndex.fields[k], position);
    if (!oldField || oldField->FieldNumber() != newField->FieldNumber() ||
        FieldDefinitionChanged(*oldField, *newField))
      return true;
  }
  return false;
}

void TDataCursor::RenumberFieldsAndKeys() {
  TDataFile& data = table_->DataFile();
  TIndexFile& index = table_->IndexFile();
  auto renumber = [&](uint8_t slot) {
    TIndexDescriptor d = index.GetIndexDescriptor(slot);
    for (uint16_t& number : d.fields) {
      if (number == 0) break;
      uint16_t position = 0;
      data.FindFieldByNumber(number, position);
      number = position;
    }
    index.SetIndexNameAndFields(slot, d);
  };
  for (uint8_t slot = 0; slot <= index.GetIndexCount(); ++slot) renumber(slot);
  renumber(kSysTextSlot);
  for (uint16_t p = 1; p <= data.GetFieldCount(); ++p) {
    TFieldDescriptor d = *data.GetFieldDescriptor(p);
    d.SetFieldNumber(p);
    data.UpdateFieldDescriptor(p, d);
  }
  loadFieldList();
}

}  // namespace engine
