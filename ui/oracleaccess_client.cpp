#include "oracle/ora_query.h"
#include "oracle/ora_session.h"
#include "platform/scopeguard.h"
#include "ui/oracleaccess.h"

namespace ui {

namespace {

// A session of the Oracle client and a query on it; the query goes first, then the session, which
// logs off as it goes.
class ClientLink final : public OracleLink {
 public:
  ClientLink() {
    session_.LoginPrompt = false;
    query_.SetSession(&session_);
  }
  void Connect(const OracleLogin& login, const std::string& clientCharset) override {
    session_.Disconnect();
    session_.SetUsername(login.username);
    session_.SetPassword(login.password);
    session_.SetServer(login.connectstring);
    session_.Options().SetCharset(clientCharset);
    session_.Connect();
  }
  void Disconnect() override {
    query_.Close();
    session_.Disconnect();
  }
  bool Connected() const override { return session_.GetConnected(); }
  std::vector<std::string> Column(const std::string& sql, const std::string& column,
                                  const Params& params) override {
    query_.Close();
    query_.SetSQL(sql);
    for (const auto& [name, value] : params) query_.ParamByName(name).SetAsString(value);
    query_.Open();
    platform::ScopeExit close([this] { query_.Close(); });
    std::vector<std::string> values;
    for (; !query_.Eof(); query_.Next()) values.push_back(query_.FieldByName(column).AsString());
    return values;
  }

 private:
  oracle::TOraSession session_;
  oracle::TOraQuery query_;
};

}  // namespace

std::unique_ptr<OracleLink> NewOracleClientLink() {
  return std::make_unique<ClientLink>();
}

}  // namespace ui
