// The result of a SELECT: whether an index of its single table gives the ORDER BY, and the
// result table with its fields, hidden AVG counts and the indexes of grouping, distinctness and
// order.
#include <algorithm>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/textrules.h"

namespace engine::sql {

namespace {

using T = TEngineFieldType;
constexpr size_t kMaxIndexColumns = 16;

TIndexDescriptor indexOver(const std::string& name, const std::vector<std::pair<uint16_t, bool>>& columns,
                           bool unique, bool noCase) {
  if (columns.size() > kMaxIndexColumns)
    SqlError("Maximum number of columns (" + std::to_string(kMaxIndexColumns) + ") in index " + name +
             " exceeded");
  TIndexDescriptor index;
  index.name = name;
  index.unique = unique;
  index.caseInsensitive = noCase;
  index.fieldCount = uint8_t(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    index.fields[i] = columns[i].first;
    index.fieldDescending[i] = columns[i].second;
  }
  return index;
}

// The descriptor of a result column of `type` whose values take `size` bytes (a text with its
// terminating zero).
TFieldDescriptor resultField(uint16_t number, const std::string& name, T type, TEngineFieldSubType subType,
                             uint16_t size, uint8_t scale, bool hidden) {
  TFieldDescriptor d;
  d.SetFieldNumber(number);
  d.SetName(name);
  d.SetType(uint8_t(type));
  d.SetSubType(uint8_t(subType));
  d.SetSize(uint8_t(type == T::String  ? std::max<int>(size - 1, 1)
                    : type == T::Bytes ? size
                    : type == T::BCD   ? scale
                                       : 0));
  d.SetScale(scale);
  d.SetHidden(hidden);
  return d;
}

}  // namespace

bool TDataQuery::MatchOrderIndex() {
  OrderByOnIndex = false;
  OrderIndex = 255;
  if (SourceTables.size() != 1 || OrderBy.empty()) return false;
  TDataCursor& cursor = *SourceTables.front()->Cursor;
  std::vector<std::pair<uint16_t, bool>> wanted;
  for (auto& item : OrderBy) {
    const TResultField& f = *ResultFields[item->ResultFieldNo - 1u];
    if (f.Expression || f.AggregateKind) return false;
    wanted.emplace_back(f.SourceFieldNo, item->Descending);
  }
  // Slots 0 to the count are in use.
  for (uint8_t slot = 0; slot <= cursor.GetIndexCount(); ++slot) {
    TIndexDescriptor index = cursor.GetIndexDesc(slot);
    if (index.fieldCount < wanted.size() || (OrderByNoCase && !index.caseInsensitive)) continue;
    bool same = true;
    for (size_t i = 0; i < wanted.size() && same; ++i)
      same = index.fields[i] == wanted[i].first &&
             bool(index.descending ^ index.fieldDescending[i]) == wanted[i].second;
    if (same && index.fieldCount == wanted.size()) {
      OrderByOnIndex = true;
      OrderIndex = slot;
      return true;
    }
  }
  return false;
}

std::string TDataQuery::openTargetDirectory(bool nameMemoryFirst) {
  TDataSession& session = Owner.Session();
  std::string name = TargetTableName;
  std::string folder;
  if (resultDirectory_) session.CloseDataDirectory(resultDirectory_);
  resultDirectory_ = nullptr;
  if (InMemory) {
    resultDirectory_ = session.OpenDataDirectory(kMemoryDatabaseName, "");
  } else if (name.empty()) {
    folder = session.GetPrivateDirectory();
    resultDirectory_ = session.OpenDataDirectory(folder, folder);
  } else if (IsPathName(name)) {
    size_t at = name.find_last_of("/\\:");
    folder = ExcludeTrailingPathDelimiter(name.substr(0, at + 1));
    name = name.substr(at + 1);
    resultDirectory_ = session.OpenDataDirectory(folder, folder);
  } else {
    resultDirectory_ = session.OpenDataDirectory(Owner.Database().Name(), Owner.Database().Path());
  }
  if (name.empty() && !(memoryFirstResult() && !nameMemoryFirst))
    name = memoryFirstResult() ? resultDirectory_->MakeMemoryFirstTableName()
                               : resultDirectory_->MakeTempTableName(InMemory);
  return name;
}

bool TDataQuery::memoryFirstResult() const {
  // Only a result nobody else can open: unnamed, exclusive and gone at its close. A named one
  // (INTO) is the user's table and is made on disk as any table.
  return TargetTableName.empty() && !InMemory && resultDirectory_ && !resultDirectory_->Session().IsRemote();
}

bool TDataQuery::writesOneRow() const {
  return AllAggregate && GroupBy.empty() && !UnionKind && !UnionQuery && !unionPart_ && !unionTagged_ &&
         !Distinct && !OrderByGiven && MaxRowCount != 0 && Top != 0 && TargetTableName.empty() && !InMemory;
}

void TDataQuery::FillTableOptions(TCreateTableArgs& args) const {
  args.LanguageId = LanguageId;
  args.SortId = SortId;
  args.BlobBlockSize = BlobBlockSize;
  args.Description = Description;
  args.Password = Password;
  args.Encrypted = Encrypted;
  args.UserMajorVersion = UserMajorVersion;
  args.UserMinorVersion = UserMinorVersion;
}

void TDataQuery::CreateResultTable() {
  TDataSession& session = Owner.Session();
  bool memory = InMemory;
  bool temporary = TargetTableName.empty();
  // A result whose files start in memory is named by its creation, which may take an emptied one
  // of an earlier statement instead (TCreateTableArgs::MemoryFirst).
  std::string name = openTargetDirectory(false);

  TCreateTableArgs args;
  FillTableOptions(args);
  args.NoPrimaryIndex = true;
  args.Overwrite = true;
  args.Scratch = temporary;
  args.MemoryFirst = memoryFirstResult();
  args.OneRow = args.MemoryFirst && writesOneRow();
  uint16_t number = 0;
  auto add = [&](const std::string& fieldName, T type, TEngineFieldSubType subType, uint16_t size,
                 uint8_t scale, bool hidden) {
    args.Fields.push_back(resultField(++number, fieldName, type, subType, size, scale, hidden));
    return number;
  };
  for (auto& f : ResultFields)
    f->ResultFieldNo =
        add(f->ResultName, f->StoredType, f->StoredSubType, f->StoredSize, f->StoredScale, false);
  auto addAvgCount = [&] {
    uint16_t next = uint16_t(number + 1);
    return add("Sys__Avg__Count" + std::to_string(next), T::Integer, TEngineFieldSubType::None, 4, 0, true);
  };
  std::vector<uint16_t> avgCountAt(ResultFields.size(), 0);
  for (size_t i = 0; i < ResultFields.size(); ++i)
    if (ResultFields[i]->AggregateKind == akAvg)
      avgCountAt[i] = ResultFields[i]->AvgCountFieldNo = addAvgCount();
  // The UNION parts write their rows into this table and were prepared before it: an AVG of a
  // part counts its values in the hidden column of its position, made here when no query before
  // it has an AVG there.
  for (TDataQuery* part = UnionQuery; part; part = part->UnionQuery)
    for (size_t i = 0; i < std::min(part->ResultFields.size(), avgCountAt.size()); ++i) {
      TResultField& f = *part->ResultFields[i];
      if (f.AggregateKind != akAvg) continue;
      if (!avgCountAt[i]) avgCountAt[i] = addAvgCount();
      f.AvgCountFieldNo = avgCountAt[i];
    }

  // Indexes: slot 0 stays without fields (no primary index).
  args.Indexes.resize(1);
  std::vector<std::pair<uint16_t, bool>> group, all, order;
  for (auto& g : GroupBy) group.emplace_back(g->ResultFieldNo, false);
  for (auto& f : ResultFields) all.emplace_back(f->ResultFieldNo, false);
  for (auto& o : OrderBy) order.emplace_back(o->ResultFieldNo, o->Descending);
  bool grouped = GroupByGiven && !AllAggregate && !group.empty();
  std::vector<std::pair<uint16_t, bool>> distinct = all;
  unionTagFieldNo_ = 0;
  if (unionTagged_ && Distinct && !grouped) {
    // A result column may be named so too: the hidden one then takes a name no column has.
    std::string tagName = "Sys__Union__Part";
    while (std::any_of(ResultFields.begin(), ResultFields.end(),
                       [&](auto& f) { return platform::equalIgnoringAsciiCase(f->ResultName, tagName); }))
      tagName += '_';
    unionTagFieldNo_ = add(tagName, T::LargeInt, TEngineFieldSubType::None, 8, 0, true);
    distinct.emplace_back(unionTagFieldNo_, false);
  }
  if (grouped) args.Indexes.push_back(indexOver("Sys__GroupBy", group, false, false));
  if (Distinct && !grouped) args.Indexes.push_back(indexOver("Sys__Distinct", distinct, true, false));
  if (OrderByGiven && !order.empty()) {
    OrderBySatisfied = (grouped && order == group && !OrderByNoCase) ||
                       (Distinct && !grouped && order == all && !OrderByNoCase);
    if (!OrderBySatisfied) args.Indexes.push_back(indexOver("Sys__OrderBy", order, false, OrderByNoCase));
  }

  // A password the session did not know is known for the creation only.
  bool registered = !Password.empty() && !session.PasswordExists(Password);
  if (registered) session.AddPassword(Password);
  struct Forget {
    TDataSession& session;
    const std::string& password;
    bool registered;
    ~Forget() {
      if (registered) session.RemovePassword(password);
    }
  } forget{session, Password, registered};
  resultCursor_ = std::make_unique<TDataCursor>(*resultDirectory_);
  resultCursor_->SetTableName(name);
  resultCursor_->SetInMemory(memory);
  resultCursor_->SetExclusive(true);
  resultCursor_->SetQueryResult(true);
  // A temporary table goes when its last user closes it: a scratch result stays open from its
  // creation on (the open below finds it open); a named one is closed by its creation.
  resultCursor_->SetTemporary(temporary);
  resultCursor_->CreateTable(args);
  resultCursor_->Open();
  ResultCursor = resultCursor_.get();
  resultFresh_ = true;
}

void TDataQuery::SetLiveFieldList() {
  TSourceTable& source = *DrivingTable;
  TDataCursor& cursor = *source.Cursor;
  // Columns were bound to places in the table's own list, which the new list replaces: the
  // fields and expression columns take the table fields' numbers now.
  const uint16_t tableFields = source.FieldCount();
  auto tableFieldNo = [&](uint16_t position) { return source.FieldDesc(position).FieldNumber(); };
  std::vector<TFieldDescriptor> fields;
  std::vector<TExpTreePtr> trees;
  for (auto& column : ResultFields) {
    const TResultField& f = *column;
    const uint16_t position = uint16_t(fields.size() + 1);
    if (!f.Expression) {
      TFieldDescriptor d = source.FieldDesc(f.SourceFieldNo);
      d.SetName(f.ResultName);
      // A column the select list names is shown, as a result table would show it.
      d.SetHidden(false);
      d.SetQualifiedName(source.TableName + "." + f.ColumnName);
      d.SetTableFieldNo(d.FieldNumber());
      fields.push_back(d);
      trees.emplace_back();
      continue;
    }
    TFieldDescriptor d = resultField(uint16_t(tableFields + position), f.ResultName, f.StoredType,
                                     f.StoredSubType, f.StoredSize, f.StoredScale, false);
    d.SetComputed(true);
    fields.push_back(d);
    TExpTreePtr tree(CopyExpTree(f.Tree.get()));
    std::vector<TExpToken*> pending{tree.get()};
    while (!pending.empty()) {
      TExpToken* node = pending.back();
      pending.pop_back();
      if (!node) continue;
      if (node->kind == expColumn) node->fieldNo = tableFieldNo(node->fieldNo);
      pending.insert(pending.end(), {node->left, node->right, node->third});
      pending.insert(pending.end(), node->args.begin(), node->args.end());
    }
    trees.push_back(std::move(tree));
  }
  cursor.SetFieldDescs(fields);
  for (size_t i = 0; i < trees.size(); ++i)
    if (trees[i]) cursor.AttachFieldExpression(uint16_t(i + 1), trees[i].release());
}

}  // namespace engine::sql
