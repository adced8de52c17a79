// The SQL component: one statement run through a driver command, with its parameters, macros and
// tracing; and the macros, named texts marked in SQL by "&".
//
// Parameters: unless the driver finds them itself (command property 11), each ":name" marker
// (":@name" gives "@name") outside quotes and comments becomes "?" in the text the driver gets,
// and the statement has one parameter per name. A name used at several places is bound at each of
// them: the driver gets one descriptor per "?", in order, each carrying its parameter's value.
// Comments ("/* */", "--" and "//" to the end of the line) hide markers.
//
// Macros substitute raw text into the statement: never fill a macro's value from user input,
// which would let that input rewrite the statement. Use parameters for values.
//
// A statement that belongs to a dataset reaches the dataset through TDASQLOwner: the dataset
// gives the final SQL (its filter and master/detail condition added) and hears of changes.
//
// Threads: the thread that owns the component; the after-execute event of a non-blocking
// execution arrives on the driver's worker thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dataaccess/dbaccess.h"
#include "dataaccess/dbaccess_params.h"
#include "dataaccess/qvparser.h"

namespace dataaccess {

// The process-wide macro character.
inline constexpr char MacroChar = '&';

// The SQL tokenizer of the components: the base tokenizer, which also knows "--" comments.
class TDASQLParser : public TParser {
 public:
  using TParser::TParser;

 protected:
  bool IsInlineComment(size_t pos) const override;
};

class TMacros;

class TMacro {
 public:
  explicit TMacro(TMacros* owner) : owner_(owner) {}
  const std::string& Value() const { return value_; }
  bool Active() const { return active_; }
  // Each change re-applies the owner's SQL.
  void SetValue(const std::string& value);
  void SetActive(bool value);

  std::string Name;

 private:
  friend class TMacros;
  TMacros* owner_;
  std::string value_;
  bool active_ = true;
};

class TMacros {
 public:
  // `changed` re-applies the owner's SQL after a change of the list or a macro.
  explicit TMacros(std::function<void()> changed = nullptr) : changed_(std::move(changed)) {}

  int Count() const { return int(items_.size()); }
  TMacro& Items(int index) const { return *items_.at(size_t(index)); }
  // The macros the SQL names, in order of first appearance; those already known keep their value
  // and state. A text without the macro character empties the list.
  void Scan(std::string_view sql);
  // The SQL with each known macro replaced by its value (nothing when inactive); an unknown one
  // stays as written.
  std::string Expand(std::string_view sql) const;
  TMacro* FindMacro(std::string_view name) const;
  // "Macro %s not found." when there is none.
  TMacro& MacroByName(std::string_view name) const;
  void Assign(const TMacros& source);
  bool IsEqual(const TMacros& other) const;
  void BeginUpdate() { ++updating_; }
  void EndUpdate();
  void Changed();

  // The tokenizer for the owner's SQL.
  std::function<std::unique_ptr<TParser>(std::string_view)> CreateParser = [](std::string_view text) {
    return std::make_unique<TDASQLParser>(text);
  };

 private:
  std::vector<std::unique_ptr<TMacro>> items_;
  std::function<void()> changed_;
  int updating_ = 0;
};

class TCustomDASQL;

// What a dataset that owns a statement provides to it.
class TDASQLOwner {
 public:
  virtual ~TDASQLOwner() = default;
  // The text to run: the statement's final SQL with the dataset's additions.
  virtual std::string OwnerFinalSQL(const TCustomDASQL& sql) const = 0;
  // The SQL text changed: the dataset closes and forgets its prepared state.
  virtual void OwnerSQLChanged() = 0;
  virtual TCustomDAConnection* OwnerConnection() const = 0;
};

class TCustomDASQL : public TDAComponent {
 public:
  TCustomDASQL();
  ~TCustomDASQL() override;

  // A command of the used connection's driver, installed; none without a driver connection.
  virtual void CreateICommand();
  // Gives the command the driver connection, the final SQL, AutoCommit and the after-execute
  // handler; writes the parameter descriptors when the command does not find them itself.
  virtual void SetICommand(std::unique_ptr<TQvCommand> value);
  // Installs the command of the owner dataset's record set, which stays the record set's.
  void UseICommand(TQvCommand* value);
  TQvCommand* ICommand() const { return icommand_; }
  // The owner dataset's connection, or Connection.
  virtual TCustomDAConnection* UsedConnection() const {
    return Owner ? Owner->OwnerConnection() : connection_;
  }
  virtual void Disconnect() { UnPrepare(); }
  virtual void InternalPrepare();
  virtual void InternalUnPrepare();
  virtual void ExecuteICommand(int iters);
  virtual std::unique_ptr<TParser> CreateParser(std::string_view text) const;
  virtual void ScanMacros() { macros_.Scan(sql_); }
  // The SQL without trailing blanks, macros expanded.
  virtual std::string GetFinalSQL() const;
  virtual void ApplySQL();
  // Rebuilds the parameters from the driver's descriptors.
  virtual void ReadParamDescs();
  // One descriptor per marker position; with `values`, each carries its parameter's value.
  virtual void WriteParamDescs(bool values);
  // Output, input/output, result and unknown-direction values back from the descriptors.
  virtual void ReadParamValues();
  // Raises while the statement is executing; connects a closed connection.
  virtual void Prepare();
  virtual void UnPrepare();
  // Raises while the statement is still executing, so that a second run never reads as done.
  virtual void InternalExecute(int iters);
  void Execute() { InternalExecute(1); }
  bool Prepared() const { return icommand_ && icommand_->GetPrepared(); }
  bool Executing() const;

  const std::string& SQL() const { return sql_; }
  // Unprepares (through the owner dataset when there is one), scans the macros, applies the SQL.
  void SetSQL(const std::string& value);
  const std::string& FinalSQL() const { return finalSQL_; }
  TDAParams& Params() const { return *params_; }
  TMacros& Macros() { return macros_; }
  bool ParamCheck() const { return paramCheck_; }
  void SetParamCheck(bool value);
  bool AutoCommit() const { return autoCommit_; }
  void SetAutoCommit(bool value);
  TCustomDAConnection* Connection() const { return connection_; }
  void SetConnection(TCustomDAConnection* value);
  // Replaces the command when the connection's driver makes commands of another class.
  void CheckICommand();
  // "Connection is not defined." without one; a closed one is connected.
  void CheckConnection();
  // Adds a parameter per new name to `params` (when given) and writes to `result` the text with
  // "?" for every marker; `positions` gets the parameter index of each "?".
  void ParseSQLParams(std::string_view text, TDAParams* params, std::string& result,
                      std::vector<int>* positions = nullptr) const;
  int GetParamCount() const { return params_->Count(); }
  TDAParam& ParamByName(std::string_view name) const { return params_->ParamByName(name); }
  TDAParam* FindParam(std::string_view name) const { return params_->FindParam(name); }
  // One name, or several separated by ";" (an array of values).
  Variant ParamValues(std::string_view names) const;
  void AssignTo(TCustomDASQL& dest) const;
  const TDAComponent* MonitorConnection() const override { return UsedConnection(); }

  TDASQLOwner* Owner = nullptr;
  bool WaitCursor = true;
  bool NonBlocking = false;
  std::function<void(TCustomDASQL& sender, bool succeeded)> AfterExecute;

 protected:
  virtual std::unique_ptr<TDAParams> CreateParamsObject() const { return std::make_unique<TDAParams>(); }
  // The driver's data type for a parameter's descriptor.
  virtual uint16_t ParamDataType(const TDAParam& param) const;
  // For a driver statement's constructor, which the base constructor cannot reach: parameters of
  // the driver's class from the start.
  void RecreateParams() { params_ = CreateParamsObject(); }
  // The driver's event 100.
  virtual void DoAfterExecute(bool succeeded);

 private:
  friend class TCustomDAConnection;
  bool driverScansParams() const;
  void install(TQvCommand* command);
  TDASQLMonitorClass& monitorClass() const;

  TCustomDAConnection* connection_ = nullptr;
  std::string sql_;
  std::unique_ptr<TDAParams> params_;
  std::vector<int> positions_;  // the parameter of each "?" of the final text
  bool paramCheck_ = true;
  TMacros macros_;
  bool autoCommit_ = false;
  TQvCommand* icommand_ = nullptr;
  std::unique_ptr<TQvCommand> ownedCommand_;
  std::string finalSQL_;
};

}  // namespace dataaccess
