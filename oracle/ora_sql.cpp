#include "oracle/ora_sql.h"

#include "dataaccess/memdata_blob.h"
#include "oracle/ora_query.h"
#include "oracle/ora_session.h"
#include "oracle/oraparser.h"

namespace oracle {

namespace da = dataaccess;
namespace ds = dataset;

namespace {

bool isTextBlob(ds::FieldType type) {
  return type == ds::ftOraClob || type == ds::ftMemo;
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text.compare(i, from.size(), from) == 0) {
      out += to;
      i += from.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

}  // namespace

TOraSQL::TOraSQL() {
  RecreateParams();
}

std::unique_ptr<da::TDAParams> TOraSQL::CreateParamsObject() const {
  return std::make_unique<TOraParams>();
}

uint16_t TOraSQL::ParamDataType(const da::TDAParam& param) const {
  return OraFieldTypeToDataType(param.DataType);
}

da::TCustomDAConnection* TOraSQL::UsedConnection() const {
  if (da::TCustomDAConnection* own = TCustomDASQL::UsedConnection()) return own;
  return TOraSession::DefaultSession();
}

TOraSession* TOraSQL::Session() const {
  return dynamic_cast<TOraSession*>(TCustomDASQL::UsedConnection());
}

void TOraSQL::SetSession(TOraSession* value) {
  SetConnection(value);
}

std::unique_ptr<da::TParser> TOraSQL::CreateParser(std::string_view text) const {
  return std::make_unique<TOraParser>(text);
}

void TOraSQL::CreateICommand() {
  da::TCustomDAConnection* c = UsedConnection();
  SetICommand(c && c->IConnection() ? c->IConnection()->CreateCommand() : std::make_unique<TOCICommand>());
}

void TOraSQL::SetICommand(std::unique_ptr<da::TQvCommand> value) {
  TCustomDASQL::SetICommand(std::move(value));
  if (da::TQvCommand* command = ICommand()) command->SetProp(prNonBlocking, NonBlocking);
}

void TOraSQL::ScanMacros() {
  if (auto* query = dynamic_cast<TCustomOraQuery*>(Owner)) return query->ScanMacros();
  TCustomDASQL::ScanMacros();
}

void TOraSQL::SetNonBlocking(bool value) {
  NonBlocking = value;
  if (da::TQvCommand* command = ICommand()) command->SetProp(prNonBlocking, value);
}

void TOraSQL::Disconnect() {
  Params().ReleaseObjects();
  TCustomDASQL::Disconnect();
}

void TOraSQL::AssignTo(TOraSQL& dest) const {
  TCustomDASQL::AssignTo(dest);
  dest.SetNonBlocking(NonBlocking);
}

bool TOraSQL::convertEOL() const {
  const TOraSession* session = Session();
  return session && session->ConvertEOL();
}

void TOraSQL::ReadParamDescs() {
  Params().Clear();
  da::TQvCommand* command = ICommand();
  if (!command) return;
  const TOraSession* session = Session();
  const bool unicode = session && session->Options().GetUseUnicode();
  for (int i = 0; i < command->GetParamCount(); ++i) {
    const da::TParamDesc& desc = command->GetParam(i);
    auto& p = static_cast<TOraParam&>(Params().CreateParam(
        OraDataTypeToFieldType(desc.GetDataType()), desc.GetName(), ds::ParamType(desc.GetParamType())));
    if (const auto* ora = dynamic_cast<const TOraParamDesc*>(&desc)) {
      if (ora->GetTable()) p.SetTable(true);
      if (ora->GetLength() > 1) p.SetLength(ora->GetLength());
    }
    if (p.DataType == ds::ftOraClob)
      if (TOraLob* lob = p.GetLob(); lob && lob->GetSize() == 0) lob->SetIsUnicode(unicode);
  }
}

void TOraSQL::WriteParamDescs(bool values) {
  // A descriptor's buffer takes its size before its value.
  TCustomDASQL::WriteParamDescs(false);
  sizeParamDescs();
  if (!values) return;
  // An XMLTYPE descriptor still holding a parameter's own value from the last run lets it go, so
  // that the values written below land in a value of the descriptor's own.
  da::TQvCommand* command = ICommand();
  for (int i = 0; command && i < command->GetParamCount(); ++i)
    if (command->GetParam(i).GetDataType() == dtXML) command->GetParam(i).SetObject(nullptr);
  if (convertEOL())
    for (int i = 0; i < Params().Count(); ++i) {
      TOraParam& p = Params().Items(i);
      const bool input = p.ParamType_ == ds::ptInput || p.ParamType_ == ds::ptUnknown;
      if (input && isTextBlob(p.DataType) && p.ValueObject() && !p.IsNull())
        p.ValueObject()->SetAsString(replaceAll(p.ValueObject()->AsString(), "\r\n", "\n"));
    }
  TCustomDASQL::WriteParamDescs(true);
  // Object, collection, REF and XMLTYPE parameters go as their value objects, which the bind reads
  // and fills, and which ReleaseObjects reaches at a disconnect.
  for (int i = 0; command && i < command->GetParamCount(); ++i) {
    da::TParamDesc& d = command->GetParam(i);
    if ((d.GetDataType() < da::dtObject || d.GetDataType() > da::dtTable) && d.GetDataType() != dtXML)
      continue;
    for (int k = 0; k < Params().Count(); ++k)
      if (ds::SameName(Params().Items(k).Name, d.GetName())) d.SetObject(Params().Items(k).GetObject());
  }
}

void TOraSQL::ReadParamValues() {
  TCustomDASQL::ReadParamValues();
  if (!convertEOL()) return;
  for (int i = 0; i < Params().Count(); ++i) {
    TOraParam& p = Params().Items(i);
    if (p.ParamType_ != ds::ptInput && isTextBlob(p.DataType) && p.ValueObject() && !p.IsNull())
      p.ValueObject()->SetAsString(replaceAll(p.ValueObject()->AsString(), "\n", "\r\n"));
  }
}

void TOraSQL::sizeParamDescs() {
  da::TQvCommand* command = ICommand();
  auto* connection = dynamic_cast<TOraSession*>(UsedConnection());
  if (!command || !connection || !connection->OCIConnection()) return;
  for (int i = 0; i < command->GetParamCount(); ++i) {
    da::TParamDesc& desc = command->GetParam(i);
    const da::TDAParam* param = FindParam(desc.GetName());
    if (!param) continue;
    const ds::FieldType type = param->DataType;
    const bool wide = type == ds::ftWideString || type == da::ftFixedWideChar;
    const bool sized = wide || type == ds::ftString || type == ds::ftFixedChar || type == ds::ftBytes ||
                       type == ds::ftVarBytes;
    if (sized && param->GetSize() < 1)
      desc.SetSize(int32_t(connection->OCIConnection()->MaxStringSize()) * (wide ? 2 : 1));
    else
      desc.SetSize(param->GetSize());
  }
}

}  // namespace oracle
