#include "ui/connectform.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>

#include "dataaccess/memdata_shared.h"
#include "dataset/dberror.h"
#include "ui/programsettings.h"
#include "ui/services.h"

namespace ui {

namespace {

QString q(const std::string& s) {
  return QString::fromStdString(s);
}

// The last login in the settings file; the dialog's "\" between group names is the file's "/".
class SettingsStore final : public dataaccess::TConnectDialogStore {
 public:
  std::optional<std::string> ReadValue(const std::string& group, const std::string& name) override {
    const QVariant v = QSettings(q(SettingsFilePath()), QSettings::IniFormat).value(key(group, name));
    return v.isValid() ? std::optional(v.toString().toStdString()) : std::nullopt;
  }
  void WriteValue(const std::string& group, const std::string& name, const std::string& value) override {
    QSettings(q(SettingsFilePath()), QSettings::IniFormat).setValue(key(group, name), q(value));
  }

 private:
  static QString key(const std::string& group, const std::string& name) {
    return q(group).replace('\\', '/') + "/" + q(name);
  }
};

SettingsStore store;

QStringList knownServers(dataaccess::TCustomConnectDialog& dialog) {
  QStringList servers;
  for (int n = 1;; ++n) {
    auto server = store.ReadValue(dialog.KeyPath() + "Connect", dialog.ServerValueName() + std::to_string(n));
    if (!server) break;
    servers << q(*server);
  }
  std::vector<std::string> more;
  dialog.GetServerList(more);
  for (const auto& s : more)
    if (!servers.contains(q(s), Qt::CaseInsensitive)) servers << q(s);
  return servers;
}

bool runConnectDialog(dataaccess::TCustomConnectDialog& dialog) {
  dataaccess::TCustomDAConnection& connection = *dialog.Connection();
  const QStringList servers = knownServers(dialog);
  for (int attempt = 0; attempt < std::max<int>(1, dialog.Retries); ++attempt) {
    TFrmConnect form(dialog, servers);
    if (Services().dialogs->run(form) != QDialog::Accepted) return false;
    form.TakeInto(connection);
    try {
      connection.PerformConnect();
      return true;
    } catch (const dataset::EAbort&) {
      return false;
    } catch (const std::exception& e) {
      Services().messages->error(&form, QString::fromUtf8(e.what()));
    }
  }
  return false;
}

}  // namespace

TFrmConnect::TFrmConnect(dataaccess::TCustomConnectDialog& dialog, const QStringList& servers,
                         QWidget* parent)
    : QDialog(parent) {
  setObjectName("FrmConnect");
  setWindowTitle(q(dialog.Caption));
  auto* form = new QFormLayout(this);
  EdUsername = new QLineEdit(this);
  EdUsername->setObjectName("EdUsername");
  EdPassword = new QLineEdit(this);
  EdPassword->setObjectName("EdPassword");
  EdPassword->setEchoMode(QLineEdit::Password);
  CbServer = new QComboBox(this);
  CbServer->setObjectName("CbServer");
  CbServer->setEditable(true);
  CbServer->addItems(servers);
  form->addRow(q(dialog.UsernameLabel), EdUsername);
  form->addRow(q(dialog.PasswordLabel), EdPassword);
  form->addRow(q(dialog.ServerLabel), CbServer);
  BtnConnect = new QPushButton(q(dialog.ConnectButton), this);
  BtnConnect->setObjectName("BtnConnect");
  BtnConnect->setDefault(true);
  BtnCancel = new QPushButton(q(dialog.CancelButton), this);
  BtnCancel->setObjectName("BtnCancel");
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(BtnConnect);
  buttons->addWidget(BtnCancel);
  form->addRow(buttons);
  connect(BtnConnect, &QPushButton::clicked, this, &QDialog::accept);
  connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);

  const dataaccess::TCustomDAConnection& c = *dialog.Connection();
  EdUsername->setText(q(c.Username()));
  EdPassword->setText(q(c.Password()));
  CbServer->setCurrentText(q(c.Server()));
  (c.Username().empty() ? EdUsername : EdPassword)->setFocus();
}

void TFrmConnect::TakeInto(dataaccess::TCustomDAConnection& connection) const {
  connection.SetUsername(EdUsername->text().trimmed().toStdString());
  connection.SetPassword(EdPassword->text().toStdString());
  connection.SetServer(CbServer->currentText().trimmed().toStdString());
}

void InstallConnectDialog() {
  dataaccess::SetConnectDialogStore(&store);
  dataaccess::SetConnectDialogProc(runConnectDialog);
  dataaccess::SetAppNameHook([] { return QCoreApplication::applicationName().toStdString(); });
}

}  // namespace ui
