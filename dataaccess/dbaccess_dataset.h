// The data-access dataset: SQL with parameters and macros, run through a driver record set on a
// connection, its rows served as a memory dataset; a detail of a master dataset; changes written
// back with the statements of an update object.
//
// The dataset owns an internal statement whose SQL, Params and Macros are its own; the record
// set's command is that statement's command.
//
// Statements that write a record (PerformSQL): parameters named "OLD_x" take field x's original
// value, others the current value of the field of their name. With StrictUpdate, a statement
// outside a user transaction runs without auto-commit and is committed only when it touched
// exactly one row; otherwise it is rolled back before "Update failed. Found %d records." is
// raised, so that nothing of a failed update stays. A refresh writes its values back only when it
// found exactly one row.
//
// Conditions (FilterSQL, the master/detail link) are added to the statement's top-level WHERE
// clause, or make one, before GROUP BY, HAVING, ORDER BY, a set operator or FOR UPDATE.
//
// Threads: the thread that owns the dataset.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dataaccess/dbaccess.h"
#include "dataaccess/dbaccess_sql.h"
#include "dataaccess/memds.h"

namespace dataaccess {

class TCustomDADataSet;

// Statement types of PerformSQL (bits).
inline constexpr uint8_t stInsert = 2;
inline constexpr uint8_t stUpdate = 4;
inline constexpr uint8_t stDelete = 8;
inline constexpr uint8_t stLock = 16;
inline constexpr uint8_t stRefresh = 32;
inline constexpr uint8_t stCheck = 64;
inline constexpr uint8_t stCustom = 128;

// RefreshOptions (bits): re-read a record after it was inserted, after it was updated.
inline constexpr uint8_t roAfterInsert = 1;
inline constexpr uint8_t roAfterUpdate = 2;

class TDADataSetOptions {
 public:
  explicit TDADataSetOptions(TCustomDADataSet* owner) : owner_(owner) {}
  virtual ~TDADataSetOptions() = default;
  virtual void AssignTo(TDADataSetOptions& dest) const;

  // RequiredFields and RemoveOnRefresh are kept for the drivers' datasets, which know required
  // columns and refresh semantics; this dataset does not use them. QueryRecCount asks the driver
  // for the server's row count (GetRecCount) at open and refresh.
  bool RequiredFields = true;
  bool StrictUpdate = true;
  bool NumberRange = false;  // taken by the dataset when it opens, as TrimFixedChar is
  bool QueryRecCount = false;
  bool ReturnParams = false;
  bool TrimFixedChar = true;
  bool RemoveOnRefresh = true;
  bool QuoteNames = false;
  bool LongStrings() const { return longStrings_; }
  // Each closes the dataset and passes its driver property.
  void SetLongStrings(bool value);
  bool FlatBuffers() const { return flatBuffers_; }
  void SetFlatBuffers(bool value);

 private:
  TCustomDADataSet* owner_;
  bool longStrings_ = true;
  bool flatBuffers_ = false;
};

class TCustomDAUpdateSQL;

// A dataset's borrowed update object. Not owned: it reads null once the update object is freed.
class TUpdateObjectRef {
 public:
  TUpdateObjectRef() = default;
  ~TUpdateObjectRef() { *this = nullptr; }
  TUpdateObjectRef(const TUpdateObjectRef&) = delete;
  TUpdateObjectRef& operator=(const TUpdateObjectRef&) = delete;
  TUpdateObjectRef& operator=(TCustomDAUpdateSQL* value);
  operator TCustomDAUpdateSQL*() const { return object_; }
  TCustomDAUpdateSQL* operator->() const { return object_; }

 private:
  friend class TCustomDAUpdateSQL;
  TCustomDAUpdateSQL* object_ = nullptr;
};

// The insert, delete, modify and refresh statements of a dataset.
class TCustomDAUpdateSQL {
 public:
  TCustomDAUpdateSQL() = default;
  TCustomDAUpdateSQL(const TCustomDAUpdateSQL&) = delete;
  TCustomDAUpdateSQL& operator=(const TCustomDAUpdateSQL&) = delete;
  // Every dataset that uses it forgets it.
  virtual ~TCustomDAUpdateSQL();
  // By update kind: modify, insert, delete.
  std::string& SQL(TUpdateKind kind) { return sql_.at(size_t(kind)); }
  std::string RefreshSQL;
  TCustomDADataSet* DataSet() const { return dataSet_; }
  void SetDataSet(TCustomDADataSet* value) { dataSet_ = value; }
  // Runs the statement of `kind` through the dataset.
  virtual void Apply(TUpdateKind kind);

 private:
  friend class TUpdateObjectRef;
  std::array<std::string, 3> sql_;
  TCustomDADataSet* dataSet_ = nullptr;
  std::vector<TUpdateObjectRef*> users_;
};

class TDADetailDataLink : public dataset::MasterDataLink {
 public:
  explicit TDADetailDataLink(TCustomDADataSet& detail);
};

class TCustomDADataSet : public TMemDataSet, public TDASQLOwner, public TDAComponent {
 public:
  using TUpdateExecuteEvent = std::function<void(TCustomDADataSet&, uint8_t statementTypes, TDAParams&)>;

  TCustomDADataSet();
  ~TCustomDADataSet() override;

  virtual std::string QuoteName(const std::string& name) const;
  virtual TCustomDAConnection* UsedConnection() const { return connection_; }
  // "Connection is not defined." without one; a closed one is connected.
  virtual void CheckConnection();
  // Closes, unprepares, and forgets the field definitions.
  virtual void Disconnect();
  virtual void InternalExecute();
  // The number of rows the statement gives, asked of the server; 0 when unknown.
  virtual int GetRecCount() { return 0; }
  virtual std::string GetInsertSQL() const { return updateSQL(ukInsert); }
  virtual std::string GetDeleteSQL() const { return updateSQL(ukDelete); }
  virtual std::string GetModifySQL() const { return updateSQL(ukModify); }
  virtual std::string GetRefreshSQL() const { return UpdateObject ? UpdateObject->RefreshSQL : ""; }
  // Re-reads the current record with the refresh SQL.
  virtual void RefreshRecord();
  virtual void PerformSQL(const std::string& sql, uint8_t statementTypes);
  // Whether an output parameter may write its value into `field`.
  virtual bool MayTakeBack(const Field&) const { return true; }
  virtual void AssignFieldValue(TDAParam& param, Field& field, bool old);
  virtual void ScanMacros() { sql_->ScanMacros(); }
  bool IsQuery() const { return recordSet_ && recordSet_->IsQuery(); }
  // The text with `condition` added to its top-level WHERE clause.
  virtual std::string AddWhere(const std::string& sql, const std::string& condition) const;
  // The text without its WHERE condition; with `fields` as its ORDER BY; its ORDER BY fields.
  // Only a driver that knows its dialect's clauses answers; here each gives an empty text.
  virtual std::string DeleteWhere(const std::string&) const { return ""; }
  virtual std::string SetOrderBy(const std::string&, const std::string&) const { return ""; }
  virtual std::string GetOrderBy(const std::string&) const { return ""; }
  // Prepares the statement, traced to the SQL monitor; nothing when prepared already.
  void Prepare() override;
  // With QueryRecCount, while rows remain to be fetched: the rows held plus those the server
  // still has (its count taken at open and refresh); else the rows held.
  int RecordCount() override;
  // Raises while the command is still executing. A statement that returns rows opens the dataset.
  virtual void Execute();
  bool Fetched() const;
  // An internal dataset (one that runs a component's own statements) is not traced.
  bool Internal() const { return internal_; }
  void SetInternal(bool value) { internal_ = value; }

  TCustomDAConnection* Connection() const { return connection_; }
  void SetConnection(TCustomDAConnection* value);
  // Replaces the record set when the connection's driver makes record sets of another class.
  void CheckIRecordSet();
  TQvRecordSet* IRecordSet() const { return recordSet_; }
  void SetIRecordSet(std::unique_ptr<TData> recordSet) override;

  const std::string& SQL() const { return sql_->SQL(); }
  void SetSQL(const std::string& value) { sql_->SetSQL(value); }
  const std::string& FinalSQL() const { return sql_->FinalSQL(); }
  TDAParams& Params() const { return sql_->Params(); }
  TMacros& Macros() { return sql_->Macros(); }
  TCustomDASQL& InternalSQL() const { return *sql_; }
  TDADataSetOptions& Options() const { return *options_; }
  int32_t FetchRows() const { return fetchRows_; }
  // 1..10000, else "FetchRows must be 1..10000."; a change closes the dataset.
  void SetFetchRows(int32_t value);
  bool FetchAll() const { return fetchAll_; }
  // On: UniDirectional off, and an open dataset fetches the rest.
  void SetFetchAll(bool value);
  bool UniDirectional() const { return uniDirectional_; }
  // On: FetchAll off; the dataset is closed first.
  void SetUniDirectional(bool value);
  bool AutoCommit() const { return autoCommit_; }
  void SetAutoCommit(bool value);
  const std::string& FilterSQL() const { return filterSQL_; }
  void SetFilterSQL(const std::string& value);
  const std::string& MasterFields() const { return masterFields_; }
  const std::string& DetailFields() const { return detailFields_; }
  void SetMasterFields(const std::string& value);
  void SetDetailFields(const std::string& value);
  dataset::DataSource* MasterSource() const { return detailLink_.GetDataSource(); }
  // "Circular datalinks are not allowed" for a source that leads back here.
  void SetMasterSource(dataset::DataSource* value);
  dataset::DataSource* GetDataSource() const override { return MasterSource(); }
  int32_t RowsAffected() const { return rowsAffected_; }

  bool ReadOnly = false;
  uint8_t RefreshOptions = 0;
  TUpdateObjectRef UpdateObject;
  std::function<void(TCustomDADataSet&, bool succeeded)> AfterExecute;
  TUpdateExecuteEvent BeforeUpdateExecute, AfterUpdateExecute;

  // The statement's owner hooks.
  std::string OwnerFinalSQL(const TCustomDASQL& sql) const override;
  void OwnerSQLChanged() override;
  TCustomDAConnection* OwnerConnection() const override { return UsedConnection(); }

 protected:
  virtual std::unique_ptr<TDADataSetOptions> CreateOptions() {
    return std::make_unique<TDADataSetOptions>(this);
  }
  // For a driver dataset's constructor, which the base constructor cannot reach: the driver's
  // statement class and options class in place of the generic ones.
  void SetInternalSQL(std::unique_ptr<TCustomDASQL> sql);
  void SetOptionsObject(std::unique_ptr<TDADataSetOptions> options);
  // Called by PerformSQL on the dataset that runs a record's statement, before its parameters
  // are filled: the driver's settings for it.
  virtual void PrepareUpdateDataSet(TCustomDADataSet&) {}
  // That dataset, once PerformSQL has made it.
  TCustomDADataSet* UpdateDataSet() const { return updateDataSet_.get(); }
  void CreateIRecordSet() override;
  void OpenCursor(bool infoQuery) override;
  void CloseCursor() override;
  void InternalRefresh() override;
  void PerformInsert() override;
  void PerformDelete() override;
  void PerformUpdate() override;
  bool GetCanModify() override;
  void DoOnNewRecord() override;

 private:
  friend class TDADetailDataLink;
  friend class TDADataSetOptions;
  std::string updateSQL(TUpdateKind kind) const;
  // The master's values into the parameters of their names; true when one changed.
  bool takeMasterValues();
  void masterChanged();
  bool linkComplete() const;
  // Closes, re-applies the SQL and re-opens when it was open.
  void reapply();
  void traceExecute(const char* caption, bool after);
  TDASQLMonitorClass& monitorClass() const;
  void takeServerCount();
  // Values into the fields of their names in the record being written, or else the current one.
  void writeBack(const std::vector<std::pair<std::string, Variant>>& values);
  void onCommandExecuted(bool succeeded);

  TCustomDAConnection* connection_ = nullptr;
  std::unique_ptr<TCustomDASQL> sql_;
  std::unique_ptr<TDADataSetOptions> options_;
  TDADetailDataLink detailLink_;
  TQvRecordSet* recordSet_ = nullptr;
  std::unique_ptr<TCustomDADataSet> updateDataSet_;
  bool internal_ = false;
  int32_t fetchRows_ = 25;
  bool fetchAll_ = false;
  bool uniDirectional_ = false;
  bool autoCommit_ = true;
  std::string filterSQL_, masterFields_, detailFields_;
  int32_t rowsAffected_ = -1;
  int32_t serverRecCount_ = 0;
};

}  // namespace dataaccess
