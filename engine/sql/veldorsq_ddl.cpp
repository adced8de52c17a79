// Definition statements: field and index descriptors from the parsed definitions, and CREATE
// TABLE, CREATE INDEX, ALTER TABLE, DROP TABLE and DROP INDEX on the target table.
#include <algorithm>
#include <span>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/scopeguard.h"

namespace engine::sql {

namespace {

using T = TEngineFieldType;
constexpr uint8_t kTextIndexSlot = 32;

bool sameName(std::string_view a, std::string_view b) {
  return FoldName(a) == FoldName(b);
}

void fillDescriptor(TFieldDescriptor& d, const TCreateField& f, bool whole) {
  if (whole || f.Tree) {
    d.SetType(uint8_t(f.Type));
    d.SetSubType(uint8_t(f.SubType));
    if (f.Type == T::String || f.Type == T::Bytes || f.Type == T::VarBytes || f.Type == T::BCD)
      d.SetSize(f.Size);
    else
      d.SetSize(0);
    d.SetScale(f.Type == T::BCD ? f.Scale : 0);
  }
  d.SetName(f.Name);
  if (whole || f.DescriptionGiven) d.SetDescription(LeftStr(f.Description, 50));
  if (whole || f.RequiredGiven) d.SetRequired(f.Required);
  if (whole || f.CharCaseGiven) d.SetCaseRule(f.CharCase);
  if (whole || f.MinGiven) d.SetMinText(LeftStr(f.MinValue, 50));
  if (whole || f.MaxGiven) d.SetMaxText(LeftStr(f.MaxValue, 50));
  if (whole || f.DefaultGiven) d.SetDefaultText(LeftStr(f.DefaultValue, 50));
}

// The index descriptor of a definition, its columns looked up by name in `fields`.
TIndexDescriptor indexOf(TCreateIndex& index, std::span<const TFieldDescriptor> fields, bool text) {
  index.BuildColumnList();
  TIndexDescriptor d;
  d.name = text ? "Sys Text" : index.Name;
  d.descending = index.Descending;
  d.caseInsensitive = text ? 0 : index.NoCase;
  // A primary key (the index without a name) holds each key once.
  d.unique = text ? 0 : index.Unique || index.Name.empty();
  d.compression = text ? 3 : index.Compression;
  if (index.Columns.size() > d.fields.size())
    SqlError("Maximum number of columns (" + std::to_string(d.fields.size()) + ") in index " + index.Name +
             " exceeded");
  d.fieldCount = uint8_t(index.Columns.size());
  for (size_t i = 0; i < index.Columns.size(); ++i) {
    auto at = std::find_if(fields.begin(), fields.end(),
                           [&](const TFieldDescriptor& f) { return sameName(f.Name(), index.Columns[i]); });
    if (at == fields.end())
      SqlError("Invalid field name '" + index.Columns[i] + "'" +
               (text ? std::string(" specified for text index")
                     : " specified for index " + std::string("'") + index.Name + "'"));
    d.fields[i] = at->FieldNumber();
  }
  return d;
}

}  // namespace

TDataCursor& TDataQuery::targetCursor() {
  if (!resultCursor_) {
    std::string name = openTargetDirectory();
    resultCursor_ = std::make_unique<TDataCursor>(*resultDirectory_);
    resultCursor_->SetTableName(name);
    resultCursor_->SetExclusive(true);
    resultCursor_->SetInMemory(
        InMemory || (resultDirectory_->Path().empty() && FoldName(resultDirectory_->Name()) == "MEMORY"));
    resultCursor_->SetTemporary(false);
    resultCursor_->SetQueryResult(false);
  }
  return *resultCursor_;
}

void TDataQuery::executeDefinition() {
  TDataCursor& cursor = targetCursor();
  auto close = platform::ScopeExit([&] { cursor.Close(); });
  TDataDirectory& directory = cursor.Directory();
  switch (Kind) {
    case qkCreateTable: {
      TCreateTableArgs args;
      uint16_t position = 0;
      for (auto& f : CreateFields) {
        f->ApplyDataType(++position);
        TFieldDescriptor& d = args.Fields.emplace_back();
        d.SetFieldNumber(position);
        fillDescriptor(d, *f, true);
      }
      args.Indexes.resize(1);
      for (auto& index : CreateIndexes)
        if (index->Name.empty()) {
          args.Indexes[0] = indexOf(*index, args.Fields, false);
          break;
        }
      // Without a declared key the table keeps its record order as its primary order.
      args.NoPrimaryIndex = args.Indexes[0].fieldCount == 0;
      if (TextIndex) args.TextIndex = indexOf(*TextIndex, args.Fields, true);
      if (IfNotExists && directory.TableExists(cursor.TableName(), cursor.Options().InMemory)) return;
      FillTableOptions(args);
      args.StopWords = StopWordsGiven ? &StopWords : nullptr;
      args.SpaceChars = SpaceChars;
      args.IncludeChars = IncludeChars;
      args.Overwrite = false;
      cursor.CreateTable(args);
      break;
    }
    case qkCreateIndex: {
      cursor.Open();
      std::vector<TFieldDescriptor> fields;
      for (uint16_t p = 1; p <= cursor.FieldCount(); ++p) fields.push_back(cursor.GetTableFieldDesc(p));
      TIndexDescriptor d = indexOf(*CreateIndexes.front(), fields, false);
      if (IfNotExists && cursor.IndexExists(d.name)) return;
      cursor.AddSecondaryIndex(d);
      break;
    }
    case qkDropTable:
      if (IfExists && !directory.TableExists(cursor.TableName(), cursor.Options().InMemory)) return;
      cursor.DeleteTable();
      break;
    case qkDropIndex: {
      cursor.Open();
      bool primary = sameName(IndexName, "PRIMARY");
      if (primary && cursor.GetIndexDesc(0).fieldCount == 0) {
        if (IfExists) return;
        SignalTableError(VELDOR_INVALIDINDEXNAME, cursor.TableName());
      }
      if (!primary) {
        if (IfExists && !cursor.IndexExists(IndexName)) return;
        cursor.DeleteIndex(IndexName);
        break;
      }
      // The primary index goes as ALTER TABLE ... DROP PRIMARY KEY takes it: the table is
      // rebuilt in record order, its other indexes kept.
      CreateIndexes.clear();
      CreateIndexes.push_back(std::make_unique<TCreateIndex>(*this));
      CreateIndexes.back()->Drop = true;
      alterTable(cursor);
      break;
    }
    case qkAlterTable:
      cursor.Open();
      alterTable(cursor);
      break;
    default:
      break;
  }
}

void TDataQuery::alterTable(TDataCursor& cursor) {
  {
    {
      TRestructureArgs args;
      args.Encrypted = EncryptionGiven ? Encrypted : cursor.IsEncrypted();
      args.Password = EncryptionGiven ? Password : cursor.GetTablePassword();
      args.LanguageId = LanguageGiven ? LanguageId : cursor.GetLanguageId();
      args.SortId = SortGiven ? SortId : cursor.GetSortId();
      args.BlobBlockSize = uint16_t(BlobBlockSizeGiven ? BlobBlockSize : cursor.GetBlobBlockSize());
      args.Description = DescriptionGiven ? Description : cursor.GetDescription();
      args.UserMajorVersion = MajorVersionGiven ? UserMajorVersion : cursor.GetUserMajorVersion();
      args.UserMinorVersion = MinorVersionGiven ? UserMinorVersion : cursor.GetUserMinorVersion();
      args.NoBackup = NoBackup;
      std::vector<TFieldDescriptor>& fields = args.Fields;
      uint16_t highest = 0;
      for (uint16_t p = 1; p <= cursor.FieldCount(); ++p) {
        fields.push_back(cursor.GetTableFieldDesc(p));
        highest = std::max(highest, fields.back().FieldNumber());
      }
      auto find = [&](const std::string& name) {
        auto at = std::find_if(fields.begin(), fields.end(),
                               [&](const TFieldDescriptor& d) { return sameName(d.Name(), name); });
        if (at == fields.end()) SqlError("Column " + name + " not found");
        return at;
      };
      for (auto& f : CreateFields) {
        if (f->Position >= 0x8000) SqlError("AT column position must be between greater than or equal to 1");
        size_t position = f->Position > fields.size() ? 0 : f->Position;
        if (f->Drop) {
          fields.erase(find(f->Name));
        } else if (f->Redefine) {
          auto at = find(f->OldName.empty() ? f->Name : f->OldName);
          TFieldDescriptor d = *at;
          fields.erase(at);
          fillDescriptor(d, *f, false);
          fields.insert(
              position ? fields.begin() + ptrdiff_t(std::min(position - 1, fields.size())) : fields.end(), d);
        } else {
          TFieldDescriptor d;
          d.SetFieldNumber(++highest);
          fillDescriptor(d, *f, true);
          fields.insert(
              position ? fields.begin() + ptrdiff_t(std::min(position - 1, fields.size())) : fields.end(), d);
        }
      }
      for (uint8_t slot = 0; slot <= cursor.GetIndexCount(); ++slot)
        args.Indexes.push_back(cursor.GetIndexDesc(slot));
      if (args.Indexes.empty()) args.Indexes.resize(1);
      bool primaryDropped = false;
      for (auto& index : CreateIndexes) {
        if (!index->Name.empty()) continue;
        if (index->Drop) {
          args.Indexes[0] = TIndexDescriptor();
          primaryDropped = true;
        } else {
          if (index->Add && args.Indexes[0].fieldCount && !primaryDropped)
            SqlError("Cannot REDEFINE the primary key using the ADD keyword");
          args.Indexes[0] = indexOf(*index, fields, false);
        }
      }
      args.NoPrimaryIndex = args.Indexes[0].fieldCount == 0;
      args.TextIndex = TextIndex ? indexOf(*TextIndex, fields, true) : cursor.GetIndexDesc(kTextIndexSlot);
      cursor.Close();
      // A dropped column's values go with it, as asked; any other value that the new
      // structure cannot hold, and a duplicate under a new unique index, stop the change and
      // leave the table as it was.
      cursor.SetDataLostHook(
          [](TDataCursor&, TRestructureCase kind, const std::string&, bool& goOn, bool& applyToAll) {
            goOn = kind == rcFieldDropped;
            applyToAll = goOn;
          });
      auto unhook = platform::ScopeExit([&] { cursor.SetDataLostHook(nullptr); });
      cursor.RestructureTable(args);
    }
  }
}

}  // namespace engine::sql
