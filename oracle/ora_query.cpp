#include "oracle/ora_query.h"

#include <iterator>

#include "dataaccess/memdata_shared.h"
#include "dataset/dberror.h"
#include "oracle/ora_sqltext.h"
#include "platform/textrules.h"

namespace oracle {

namespace da = dataaccess;
namespace ds = dataset;

namespace {

// Whether `text` begins with the keyword `word` (any case).
bool beginsWithWord(const std::string& text, std::string_view word) {
  if (text.size() < word.size()) return false;
  if (platform::asciiUpperCased(text.substr(0, word.size())) != word) return false;
  if (text.size() == word.size()) return true;
  const char next = text[word.size()];
  return !(std::isalnum(uint8_t(next)) || next == '_' || next == '$' || next == '#');
}

}  // namespace

TCustomOraQuery::TCustomOraQuery() = default;

TCustomOraQuery::~TCustomOraQuery() {
  BeforeClose = nullptr;
  AfterClose = nullptr;
  Close();
}

void TCustomOraQuery::setText(std::string& target, const std::string& value) {
  target = value;
  ScanMacros();
}

void TCustomOraQuery::SetSQLInsert(const std::string& value) {
  setText(sqlInsert_, value);
}

void TCustomOraQuery::SetSQLDelete(const std::string& value) {
  setText(sqlDelete_, value);
}

void TCustomOraQuery::SetSQLUpdate(const std::string& value) {
  setText(sqlUpdate_, value);
}

void TCustomOraQuery::SetSQLLock(const std::string& value) {
  setText(sqlLock_, value);
}

void TCustomOraQuery::SetSQLRefresh(const std::string& value) {
  setText(sqlRefresh_, value);
}

void TCustomOraQuery::ScanMacros() {
  const std::string joined = SQL() + "\n" + sqlInsert_ + "\n" + sqlDelete_ + "\n" + sqlUpdate_ + "\n" +
                             sqlLock_ + "\n" + sqlRefresh_;
  InternalSQL().Macros().Scan(joined);
}

std::string TCustomOraQuery::expand(const std::string& text) const {
  da::TMacros& macros = const_cast<TCustomOraQuery*>(this)->InternalSQL().Macros();
  return macros.Count() > 0 ? macros.Expand(text) : text;
}

std::string TCustomOraQuery::GetInsertSQL() const {
  return UpdateObject ? TOraDataSet::GetInsertSQL() : expand(sqlInsert_);
}

std::string TCustomOraQuery::GetDeleteSQL() const {
  return UpdateObject ? TOraDataSet::GetDeleteSQL() : expand(sqlDelete_);
}

std::string TCustomOraQuery::GetModifySQL() const {
  return UpdateObject ? TOraDataSet::GetModifySQL() : expand(sqlUpdate_);
}

std::string TCustomOraQuery::GetRefreshSQL() const {
  if (UpdateObject) return TOraDataSet::GetRefreshSQL();
  std::string text = da::TrimText(sqlRefresh_);
  if (beginsWithWord(text, "WHERE"))
    text = oracle::AddWhere(OwnerFinalSQL(InternalSQL()), da::TrimText(std::string_view(text).substr(5)));
  return expand(text);
}

std::string TCustomOraQuery::GetLockSQL() const {
  std::string text = da::TrimText(sqlLock_);
  if (beginsWithWord(text, "FOR")) text = GetRefreshSQL() + "\r" + text;
  return expand(text);
}

TRefreshMode TCustomOraQuery::RefreshMode() const {
  const bool afterInsert = RefreshOptions & da::roAfterInsert,
             afterUpdate = RefreshOptions & da::roAfterUpdate;
  if (afterInsert && afterUpdate) return rmAlways;
  if (afterInsert) return rmAfterInsert;
  if (afterUpdate) return rmAfterUpdate;
  return rmNone;
}

void TCustomOraQuery::SetRefreshMode(TRefreshMode value) {
  RefreshOptions &= uint8_t(~(da::roAfterInsert | da::roAfterUpdate));
  if (value == rmAfterInsert || value == rmAlways) RefreshOptions |= da::roAfterInsert;
  if (value == rmAfterUpdate || value == rmAlways) RefreshOptions |= da::roAfterUpdate;
}

uint8_t TCustomOraQuery::GetOptions() const {
  const TOraDataSetOptions& o = OptionsDS();
  const bool flags[] = {o.RequiredFields, o.StrictUpdate, o.DefaultValues, o.LongStrings(),
                        o.NumberRange,    o.KeepPrepared, o.AutoClose(),   o.QueryRecCount};
  uint8_t options = 0;
  for (size_t i = 0; i < std::size(flags); ++i)
    if (flags[i]) options |= uint8_t(1u << i);
  return options;
}

void TCustomOraQuery::SetOptions(uint8_t options) {
  TOraDataSetOptions& o = OptionsDS();
  auto on = [options](TOraDataSetOption1 option) { return (options & (1u << option)) != 0; };
  o.RequiredFields = on(doRequiredFields);
  o.StrictUpdate = on(doStrictUpdate);
  o.DefaultValues = on(doDefaultValue);
  o.SetLongStrings(on(doLongStrings));
  o.NumberRange = on(doNumberRange);
  o.KeepPrepared = on(doKeepPrepared);
  o.SetAutoClose(on(doAutoClose));
  o.QueryRecCount = on(doQueryRecCount);
}

void TCustomOraQuery::AssignTo(TCustomOraQuery& dest) const {
  dest.sqlInsert_ = sqlInsert_;
  dest.sqlDelete_ = sqlDelete_;
  dest.sqlUpdate_ = sqlUpdate_;
  dest.sqlLock_ = sqlLock_;
  dest.sqlRefresh_ = sqlRefresh_;
  dest.ScanMacros();
  TOraDataSet::AssignTo(dest);
}

bool TCustomOraQuery::writable(const std::string& sql, bool insertedMayUseInsertSQL) {
  if (!sql.empty() || LocalUpdate || (CachedUpdates() && OnUpdateRecord) || UpdateObject) return true;
  return insertedMayUseInsertSQL && CachedUpdates() && GetUpdateStatus() == ds::usInserted &&
         !sqlInsert_.empty();
}

void TCustomOraQuery::DoBeforeDelete() {
  TOraDataSet::DoBeforeDelete();
  if (!writable(sqlDelete_, true)) ds::Abort();
}

void TCustomOraQuery::DoBeforeEdit() {
  TOraDataSet::DoBeforeEdit();
  if (!writable(sqlUpdate_, true)) ds::Abort();
}

void TCustomOraQuery::DoBeforeInsert() {
  TOraDataSet::DoBeforeInsert();
  if (!writable(sqlInsert_, false)) ds::Abort();
}

bool TCustomOraQuery::GetCanModify() {
  if (OptionsDS().ScrollableCursor()) return false;
  const bool ownStatements = !sqlInsert_.empty() || !sqlUpdate_.empty() || !sqlDelete_.empty();
  return TOraDataSet::GetCanModify() || (!ReadOnly && !UniDirectional() && ownStatements);
}

void TCustomOraQuery::InternalEdit() {
  if (!CachedUpdates()) {
    uint8_t flags = 0;
    std::string sql;
    if (LockMode == lmLockImmediate) {
      if (beginsWithWord(da::TrimText(sqlLock_), "FOR")) {
        sql = GetLockSQL();
        flags |= da::stLock;
      } else {
        LockRecord();
      }
    }
    if (RefreshOptions & roBeforeEdit) {
      flags |= da::stRefresh;
      if (sql.empty()) sql = GetRefreshSQL();
    }
    if (flags & da::stLock) SetLockSavepoint();
    if (flags != 0 && !sql.empty()) PerformSQL(sql, flags);
  }
  TOraDataSet::InternalEdit();
}

void TCustomOraQuery::InternalCancel() {
  const bool editing = State() == ds::dsEdit;
  TOraDataSet::InternalCancel();
  if (LockMode == lmLockImmediate && editing && !CachedUpdates()) RollbackToLock();
}

void TCustomOraQuery::PerformInsert() {
  const bool insertGiven = !sqlInsert_.empty() || (UpdateObject && !UpdateObject->SQL(da::ukInsert).empty());
  if (!KeySequence().empty() && SequenceMode == smPost && !KeyFieldNames().empty() && !insertGiven)
    FillKeyFromSequence();
  TOraDataSet::PerformInsert();
}

}  // namespace oracle
