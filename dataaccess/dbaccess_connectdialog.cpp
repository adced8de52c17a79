#include "dataaccess/dbaccess_connectdialog.h"

#include <array>
#include <string_view>

#include "dataaccess/memdata_shared.h"
#include "dataset/fields.h"

namespace dataaccess {

namespace {

TConnectDialogStore* store = nullptr;

TConnectDialogProc& dialogProc() {
  static TConnectDialogProc proc;
  return proc;
}

using Captions = std::array<std::string_view, 6>;

// Dialog caption, user name, password, server, connect button, cancel button; by label set.
constexpr std::array<Captions, 8> kCaptions = {{
    {"Connect", "User Name", "Password", "Server", "Connect", "Cancel"},
    {"Ouverture de session", "Nom utilisateur", "Mot de passe", "Chaîne centrale", "Ok", "Annuler"},
    {"Anmeldung", "Benutzername", "Kennwort", "Host-Zeichenfolge", "Ok", "Abbrechen"},
    {"Connessione", "Nome Utente", "Parola d'ordine", "Stringa Conn.Host", "Ok", "Elimina"},
    {"Rejestracja", "Użytkownik", "Hasło", "Opis hosta", "Ok", "Anuluj"},
    {"Entrar em Sessão", "Nome de Utilizador", "Senha", "Ligação ao Host", "Ok", "Cancelar"},
    {"Соединение", "Имя пользователя", "Пароль", "Сервер", "Соединить", "Отмена"},
    {"Conectar", "Usuario", "Clave", "Cadena Conexión", "Ok", "Cancelar"},
}};

}  // namespace

void SetConnectDialogStore(TConnectDialogStore* value) {
  store = value;
}

void SetConnectDialogProc(TConnectDialogProc proc) {
  dialogProc() = std::move(proc);
}

TCustomConnectDialog::TCustomConnectDialog() {
  SetLabelSet(1);
}

TCustomConnectDialog::~TCustomConnectDialog() {
  if (connection_ && connection_->connectDialog_ == this) connection_->connectDialog_ = nullptr;
}

void TCustomConnectDialog::SetConnection(TCustomDAConnection* value) {
  connection_ = value;
}

void TCustomConnectDialog::SetLabelSet(int value) {
  labelSet_ = value;
  if (value == 0) return;
  const Captions& c = kCaptions[value >= 1 && value <= int(kCaptions.size()) ? size_t(value - 1) : 0];
  Caption = c[0];
  UsernameLabel = c[1];
  PasswordLabel = c[2];
  ServerLabel = c[3];
  ConnectButton = c[4];
  CancelButton = c[5];
}

bool TCustomConnectDialog::Execute() {
  if (!connection_) DatabaseError(SConnectionNotDefined);
  TCustomDAConnection& c = *connection_;
  const std::string keptUser = c.Username(), keptPassword = c.Password(), keptServer = c.Server();
  const std::string key = KeyPath() + "Connect\\" + GetAppName();
  if (StoreLogInfo && store) {
    if (auto user = store->ReadValue(key, "Username")) {
      c.SetUsername(*user);
      if (!(SavePassword && dataset::SameName(*user, keptUser))) c.SetPassword("");
      if (auto server = store->ReadValue(key, ServerValueName())) c.SetServer(*server);
    }
  }
  const bool result = dialogProc() ? dialogProc()(*this) : false;
  if (!result) {
    c.SetUsername(keptUser);
    c.SetPassword(keptPassword);
    c.SetServer(keptServer);
    return false;
  }
  if (StoreLogInfo && store) {
    store->WriteValue(key, "Username", c.Username());
    store->WriteValue(key, ServerValueName(), c.Server());
    std::vector<std::string> servers;
    GetServerList(servers);
    const std::string listKey = KeyPath() + "Connect";
    int n = 1;
    store->WriteValue(listKey, ServerValueName() + std::to_string(n++), c.Server());
    for (const auto& s : servers)
      if (!dataset::SameName(s, c.Server()))
        store->WriteValue(listKey, ServerValueName() + std::to_string(n++), s);
  }
  return true;
}

}  // namespace dataaccess
