// The Oracle statement component: one statement run through a TOCICommand with TOraParam
// parameters, found with the Oracle tokenizer; on its own session, its dataset's, or else the
// default session.
//
// Parameter values travel to the command's descriptions before each run and back after it. A
// string, fixed-char or bytes parameter without a size is bound with the connection's longest
// string (4000, or 2000 on an OCI7 connection or a version 7 server), twice that for wide
// strings. With the session's ConvertEOL, an input CLOB or memo goes with line feeds for its
// line ends and an output one comes back with carriage return and line feed.
//
// Threads: the thread that owns the statement; with NonBlocking the command runs on the
// connection's worker and AfterExecute arrives there.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "dataaccess/dbaccess_sql.h"
#include "oracle/ora_params.h"

namespace oracle {

class TOraSession;

class TOraSQL : public dataaccess::TCustomDASQL {
 public:
  TOraSQL();

  dataaccess::TCustomDAConnection* UsedConnection() const override;
  // The own session, else the owner dataset's; nullptr without either.
  TOraSession* Session() const;
  void SetSession(TOraSession* value);
  TOraParams& Params() const { return static_cast<TOraParams&>(TCustomDASQL::Params()); }
  TOraParam& ParamByName(std::string_view name) const { return Params().ParamByName(name); }
  std::unique_ptr<dataaccess::TParser> CreateParser(std::string_view text) const override;

  // A command of the session's driver, else a TOCICommand, installed with NonBlocking.
  void CreateICommand() override;
  void SetICommand(std::unique_ptr<dataaccess::TQvCommand> value) override;
  // A query's macros come from its statements too (TCustomOraQuery::ScanMacros).
  void ScanMacros() override;
  bool GetNonBlocking() const { return NonBlocking; }
  // Stored, and passed to the command (property 50).
  void SetNonBlocking(bool value);
  // Releases what the parameters' values hold for the connection, then unprepares.
  void Disconnect() override;
  // The parameters as the command describes them, with Oracle types, Table and Length.
  void ReadParamDescs() override;
  void WriteParamDescs(bool values) override;
  void ReadParamValues() override;
  // The base copy, and NonBlocking.
  void AssignTo(TOraSQL& dest) const;

 protected:
  std::unique_ptr<dataaccess::TDAParams> CreateParamsObject() const override;
  // The Oracle data type of the parameter's field type.
  uint16_t ParamDataType(const dataaccess::TDAParam& param) const override;

 private:
  void sizeParamDescs();
  bool convertEOL() const;
};

}  // namespace oracle
