// The result of a SELECT: whether an index of its single table gives the ORDER BY, and the
// result table with its fields, hidden AVG counts and the indexes of grouping, distinctness and
// order.
#include <algorithm>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"

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

std::string TDataQuery::openTargetDirectory() {
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
  if (name.empty()) name = resultDirectory_->MakeTempTableName(InMemory);
  return name;
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
  std::string name = openTargetDirectory();

  TCreateTableArgs args;
  FillTableOptions(args);
  args.NoPrimaryIndex = true;
  args.Overwrite = true;
  args.Scratch = temporary;
  uint16_t number = 0;
  auto add = [&](const std::string& fieldName, T type, TEngineFieldSubType subType, uint16_t size,
                 uint8_t scale, bool hidden) {
    TFieldDescriptor d;
    d.SetFieldNumber(++number);
    d.SetName(fieldName);
    d.SetType(uint8_t(type));
    d.SetSubType(uint8_t(subType));
    d.SetSize(uint8_t(type == T::String  ? std::max<int>(size - 1, 1)
                      : type == T::Bytes ? size
                      : type == T::BCD   ? scale
                                         : 0));
    d.SetScale(scale);
    d.SetHidden(hidden);
    args.Fields.push_back(d);
    return number;
  };
  for (auto& f : ResultFields)
    f->ResultFieldNo =
        add(f->ResultName, f->StoredType, f->StoredSubType, f->StoredSize, f->StoredScale, false);
  for (auto& f : ResultFields)
    if (f->AggregateKind == akAvg) {
      uint16_t next = uint16_t(number + 1);
      f->AvgCountFieldNo =
          add("Sys__Avg__Count" + std::to_string(next), T::Integer, TEngineFieldSubType::None, 4, 0, true);
    }

  // Indexes: slot 0 stays without fields (no primary index).
  args.Indexes.resize(1);
  std::vector<std::pair<uint16_t, bool>> group, all, order;
  for (auto& g : GroupBy) group.emplace_back(g->ResultFieldNo, false);
  for (auto& f : ResultFields) all.emplace_back(f->ResultFieldNo, false);
  for (auto& o : OrderBy) order.emplace_back(o->ResultFieldNo, o->Descending);
  bool grouped = GroupByGiven && !AllAggregate && !group.empty();
  if (grouped) args.Indexes.push_back(indexOver("Sys__GroupBy", group, false, false));
  if (Distinct && !grouped) args.Indexes.push_back(indexOver("Sys__Distinct", all, true, false));
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
  resultCursor_->CreateTable(args);
  // A temporary table goes when its last user closes it: the creation closes, the open stays.
  resultCursor_->SetTemporary(temporary);
  resultCursor_->Open();
  ResultCursor = resultCursor_.get();
}

}  // namespace engine::sql
