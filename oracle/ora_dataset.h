// The Oracle dataset: the data-access dataset over a TOCIRecordSet and a TOraSQL, with Oracle
// field classes, the record count by a wrapping COUNT query, column origins and defaults from
// the data dictionary, the ROWID of each row, keys from a sequence and row locks under a
// savepoint.
//
// Row locks: a lock (Lock, or a LockMode on delete and update) sets the savepoint "LOCK_" + the
// dataset's Name (its last 25 characters) and runs the lock statement; a failed update, and a
// cancelled edit of a query locked at once, roll back to it, which releases the row. A row held
// by another session fails the lock statement with its server error (ORA-00054 under NOWAIT), and
// the edit or delete does not begin.
//
// Threads: the thread that owns the dataset; BeforeFetch and AfterFetch of a blocking dataset run
// on it too.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataaccess/dbaccess_dataset.h"
#include "oracle/ora_params.h"
#include "oracle/ora_session.h"

namespace oracle {

class TOraDataSet;
class TOCIRecordSet;

enum TLockMode : uint8_t { lmNone, lmLockImmediate, lmLockDelayed };
enum TSequenceMode : uint8_t { smInsert, smPost };

class TOraDataSetOptions : public dataaccess::TDADataSetOptions {
 public:
  explicit TOraDataSetOptions(TOraDataSet* owner);
  // The base options, FieldsOrigin, DefaultValues and, through their setters, the rest.
  void AssignTo(dataaccess::TDADataSetOptions& dest) const override;

  // At open: each field's table and column (Origin), and the column defaults
  // (DefaultExpression), read from the query text and the data dictionary.
  bool FieldsOrigin = false;
  bool DefaultValues = false;
  // An execution prepares first and the statement stays prepared.
  bool KeepPrepared = false;

  // Each passes its driver property at once when the dataset has its record set.
  bool AutoClose() const { return autoClose_; }
  void SetAutoClose(bool value);
  bool FieldsAsString() const { return fieldsAsString_; }
  void SetFieldsAsString(bool value);
  bool DeferredLobRead() const { return deferredLobRead_; }
  void SetDeferredLobRead(bool value);
  bool CacheLobs() const { return cacheLobs_; }
  void SetCacheLobs(bool value);
  // A scrollable dataset cannot be modified.
  bool ScrollableCursor() const { return scrollableCursor_; }
  void SetScrollableCursor(bool value);
  bool RawAsString() const { return rawAsString_; }
  void SetRawAsString(bool value);

 private:
  friend class TOraDataSet;
  TOraDataSet* owner_;
  bool autoClose_ = false;
  bool fieldsAsString_ = false;
  bool deferredLobRead_ = false;
  bool cacheLobs_ = true;
  bool scrollableCursor_ = false;
  bool rawAsString_ = false;
};

class TOraDataSet : public dataaccess::TCustomDADataSet {
 public:
  TOraDataSet();
  ~TOraDataSet() override;

  TOraSession* Session() const { return dynamic_cast<TOraSession*>(Connection()); }
  void SetSession(TOraSession* value) { SetConnection(value); }
  // The own session, else the default session.
  dataaccess::TCustomDAConnection* UsedConnection() const override;
  void CheckConnection() override;
  TOraParams& Params() const { return static_cast<TOraParams&>(TCustomDADataSet::Params()); }
  TOraParam& ParamByName(std::string_view name) const { return Params().ParamByName(name); }
  TOraParam* FindParam(std::string_view name) const { return Params().FindParam(name); }
  TOraDataSetOptions& OptionsDS() const { return static_cast<TOraDataSetOptions&>(Options()); }
  bool NonBlocking() const;
  void SetNonBlocking(bool value);
  // The record set and its command, once the dataset has its session's driver.
  TOCIRecordSet* OCIRecordSet() const;
  void SetIRecordSet(std::unique_ptr<dataaccess::TData> recordSet) override;

  // ";"-separated key field names; the same text again changes nothing.
  const std::string& KeyFields() const { return keyFieldsText_; }
  void SetKeyFields(const std::string& value);
  std::vector<std::string> KeyFieldNames() const { return keyFields_; }
  const std::string& KeySequence() const { return keySequence_; }
  void SetKeySequence(const std::string& value);
  TSequenceMode SequenceMode = smPost;
  TLockMode LockMode = lmNone;
  // The field named "ROWID" of the open dataset, or nullptr.
  dataset::Field* RowIdField() const { return rowIdField_; }

  // Records the server counts for a query not yet fetched to its end: the final SQL without its
  // ORDER BY, wrapped in SELECT Count(*). 0 when the count gives no row.
  int GetRecCount() override;
  int RecordCount() override;
  // Locks the current record with the lock statement (empty here: a query supplies it).
  void Lock();
  virtual std::string GetLockSQL() const { return {}; }
  // The text operations of the Oracle SQL tools on this dataset's SQL, which they replace.
  void AddWhere(const std::string& condition);
  void DeleteWhere();
  void SetOrderBy(const std::string& fields);
  std::string GetOrderBy() const;
  // The same operations on a given text, as the data-access layer asks them.
  std::string DeleteWhere(const std::string& sql) const override;
  std::string SetOrderBy(const std::string& sql, const std::string& fields) const override;
  std::string GetOrderBy(const std::string& sql) const override;
  using TCustomDADataSet::AddWhere;

  // Closes, unprepares and forgets the field definitions, releasing the parameters' values held
  // for the connection.
  void Disconnect() override;
  void InternalExecute() override;
  // Runs a record's statement; with ReturnParams, or for a refresh, its text parameters go both
  // ways, so that what the statement sets comes back into the record.
  void PerformSQL(const std::string& sql, uint8_t statementTypes) override;
  // A TIMESTAMP, INTERVAL or NUMBER field gives the parameter a copy of its value object, so that
  // the value keeps every digit and its precision; other fields their value.
  void AssignFieldValue(dataaccess::TDAParam& param, dataset::Field& field, bool old) override;
  // Key values of Locate and Lookup for the Oracle value types: a TIMESTAMP takes a date-time or
  // a text, an INTERVAL a text, a NUMBER an integer, a float or a text; any other kind raises
  // EConvertError "Cannot convert type.".
  bool VariantToValueBuffer(const dataaccess::TFieldDesc& field, const Variant& value,
                            dataaccess::TValueBuffer& buffer) override;
  // The record's value object compared with one made from the key: equal matches, and with
  // lxNearest a key that sorts before the value does.
  bool CompareFieldValue(const dataaccess::TValueBuffer* key, const dataaccess::TFieldDesc& field,
                         const uint8_t* recBuf, uint8_t options) override;
  // A filled key first runs the sequence statement of the first key field.
  void FillKeyFromSequence();
  // Copies LockMode, KeyFields, KeySequence, SequenceMode and the options.
  void AssignTo(TOraDataSet& dest) const;

  // Around each block a blocking dataset fetches; BeforeFetch may cancel the fetch.
  std::function<void(TOraDataSet&, bool& cancel)> BeforeFetch;
  std::function<void(TOraDataSet&)> AfterFetch;

 protected:
  dataset::FieldType GetFieldType(uint16_t dataType) override;
  void OpenCursor(bool infoQuery) override;
  void CloseCursor() override;
  void InternalOpen() override;
  void DoOnNewRecord() override;
  // After a fetch that BeforeFetch cancelled, the record buffers are read again from the rows
  // held before the scroll is reported.
  void DoAfterScroll() override;
  void PerformInsert() override;
  void PerformDelete() override;
  void PerformUpdate() override;
  bool GetCanModify() override;
  void PrepareUpdateDataSet(dataaccess::TCustomDADataSet& u) override;
  bool MayTakeBack(const dataset::Field& field) const override;
  // The savepoint a lock sets and a failed update or cancelled edit rolls back to.
  std::string LockSavepoint() const;
  // Puts the cursor on the current record and sets the lock savepoint.
  void SetLockSavepoint();
  // Sets the lock savepoint, then runs the lock statement.
  void LockRecord();
  void RollbackToLock();
  // Whether the lock statement has taken a row lock that the savepoint still holds.
  bool rowLocked_ = false;

 private:
  friend class TOraDataSetOptions;
  // The options' driver properties; `o` is this dataset's options object, also while it is
  // being installed.
  void passOptions(const TOraDataSetOptions& o);
  void storeRowId(const std::string& rowId);
  // Each field's Origin and, with DefaultValues, its DefaultExpression, from the select list,
  // the FROM list and, when these leave a column's table open, the data dictionary.
  void readDictionary();
  // The ROWID the last record statement reported.
  std::string lastRowId() const;

  std::string keyFieldsText_;
  std::vector<std::string> keyFields_;
  std::string keySequence_;
  dataset::Field* rowIdField_ = nullptr;
  bool hideRowId_ = true;
  bool fetchCancelled_ = false;
  uint8_t statementTypes_ = 0;  // of the record statement being run
};

}  // namespace oracle
