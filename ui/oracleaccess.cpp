#include "ui/oracleaccess.h"

#include <QLineEdit>

#include "platform/scopeguard.h"
#include "ui/services.h"

namespace ui {

OracleLogin& LastOracleLogin() {
  static OracleLogin login;
  return login;
}

bool TakeLoginForComparison(QLineEdit* user, QLineEdit* password, QLineEdit* server) {
  const std::pair<QLineEdit*, const char*> fields[] = {{user, "Please enter username!"},
                                                       {password, "Please enter password!"},
                                                       {server, "Please enter connect string!"}};
  for (const auto& [edit, warning] : fields) {
    if (!edit->text().trimmed().isEmpty()) continue;
    Services().messages->warning(edit->window(), QString::fromUtf8(warning));
    edit->setFocus();
    return false;
  }
  LastOracleLogin() = {user->text().trimmed().toStdString(), password->text().trimmed().toStdString(),
                       server->text().trimmed().toStdString()};
  return true;
}

std::string ReadServerCharset(const OracleLinkFactory& factory, const OracleLogin& login,
                              const std::string& clientCharset) {
  std::unique_ptr<OracleLink> link = factory();
  link->Connect(login, clientCharset);
  platform::ScopeExit close([&link] { link->Disconnect(); });
  const std::vector<std::string> values = link->Column(kServerCharsetSql, "value");
  return values.empty() ? std::string() : values.front();
}

QString OracleFailureText(const std::exception& failure) {
  QString text = QString::fromUtf8(failure.what());
  if (text.contains(QStringLiteral("12705")))
    text += QStringLiteral(
        "\r\nplease set character set to a correct value,then restart Velmaron before connect or "
        "compare again!");
  return text;
}

QString ServerCharsetShown(const std::string& server) {
  return server.empty() ? QStringLiteral("Not found") : QString::fromStdString(server);
}

QString CharsetComparisonText(const std::string& client, const std::string& server) {
  const QString clientText = QString::fromStdString(client);
  QString text =
      QStringLiteral("Client: ") + clientText + QStringLiteral("\r\nServer: ") + ServerCharsetShown(server);
  // A server that names no set gives nothing to match the client to, so no advice is given.
  if (!server.empty() && clientText.trimmed().toUpper() != QString::fromStdString(server).trimmed().toUpper())
    text += QStringLiteral(
        "\r\nDifferent character set between client and server,\r\nSet client side character to the "
        "same as sever side!");
  return text;
}

}  // namespace ui
