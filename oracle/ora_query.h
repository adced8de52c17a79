// The Oracle query: the Oracle dataset with five statements of its own for writing through it
// (SQLInsert, SQLDelete, SQLUpdate, SQLLock, SQLRefresh), the record lock taken when an edit
// begins and the key taken from a sequence when a record is posted.
//
// Each statement is a text in the dataset's dialect: parameters named after fields take the
// field's current value, "OLD_" and a field name the value before the edit. SQLRefresh may be
// given as a WHERE condition alone, which is added to the query's own SELECT; SQLLock may be
// given as a lock clause alone (FOR UPDATE NOWAIT), which is added to the refresh SELECT.
//
// An edit, insert or delete that no statement, update object, local update or cached-update
// handler can write is refused silently (EAbort).
//
// Threads: the thread that owns the query.
#pragma once

#include <string>

#include "oracle/ora_dataset.h"

namespace oracle {

enum TRefreshMode : uint8_t { rmNone, rmAfterInsert, rmAfterUpdate, rmAlways };
// The options of the query's older form, each one of OptionsDS (bits: 1 << option).
enum TOraDataSetOption1 : uint8_t {
  doRequiredFields,
  doStrictUpdate,
  doDefaultValue,
  doLongStrings,
  doNumberRange,
  doKeepPrepared,
  doAutoClose,
  doQueryRecCount,
};
// RefreshOptions bit: re-read the record when an edit begins.
inline constexpr uint8_t roBeforeEdit = 4;

class TCustomOraQuery : public TOraDataSet {
 public:
  TCustomOraQuery();
  ~TCustomOraQuery() override;

  const std::string& SQLInsert() const { return sqlInsert_; }
  const std::string& SQLDelete() const { return sqlDelete_; }
  const std::string& SQLUpdate() const { return sqlUpdate_; }
  const std::string& SQLLock() const { return sqlLock_; }
  const std::string& SQLRefresh() const { return sqlRefresh_; }
  // Each rescans the macros of all six texts.
  void SetSQLInsert(const std::string& value);
  void SetSQLDelete(const std::string& value);
  void SetSQLUpdate(const std::string& value);
  void SetSQLLock(const std::string& value);
  void SetSQLRefresh(const std::string& value);

  // The update object's statement when one is set, else the query's own, macros expanded.
  std::string GetInsertSQL() const override;
  std::string GetDeleteSQL() const override;
  std::string GetModifySQL() const override;
  std::string GetRefreshSQL() const override;
  std::string GetLockSQL() const override;
  void ScanMacros() override;

  // The refresh options as one mode: both after-insert and after-update are rmAlways.
  TRefreshMode RefreshMode() const;
  void SetRefreshMode(TRefreshMode value);

  // OptionsDS as the older option set: RequiredFields, StrictUpdate, DefaultValues, LongStrings,
  // NumberRange, KeepPrepared, AutoClose and QueryRecCount.
  uint8_t GetOptions() const;
  void SetOptions(uint8_t options);
  bool ReturnParams() const { return OptionsDS().ReturnParams; }
  void SetReturnParams(bool value) { OptionsDS().ReturnParams = value; }

  // Copies the five statements, then the Oracle dataset's settings.
  void AssignTo(TCustomOraQuery& dest) const;

 protected:
  void DoBeforeDelete() override;
  void DoBeforeEdit() override;
  void DoBeforeInsert() override;
  bool GetCanModify() override;
  void InternalEdit() override;
  void InternalCancel() override;
  void PerformInsert() override;

 private:
  std::string expand(const std::string& text) const;
  // Whether an operation whose statement is `sql` can be written some other way.
  bool writable(const std::string& sql, bool insertedMayUseInsertSQL);
  void setText(std::string& target, const std::string& value);

  std::string sqlInsert_, sqlDelete_, sqlUpdate_, sqlLock_, sqlRefresh_;
};

class TOraQuery : public TCustomOraQuery {};

}  // namespace oracle
