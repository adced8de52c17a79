// The login dialog of the data-access connections: user name, password and server (a list of the
// servers used before, which the user may also type into), captioned in the language of the
// connect dialog's label set.
//
// InstallConnectDialog makes it the process-wide connect dialog procedure, with the settings
// file's "Connect" groups as the store of the last login. The procedure shows the dialog until
// the connection opens, the user cancels, or the dialog's Retries attempts have failed; each
// failure is shown to the user.
//
// Threads: window thread only.
#pragma once

#include <QDialog>

#include "dataaccess/dbaccess_connectdialog.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace ui {

class TFrmConnect final : public QDialog {
  Q_OBJECT
 public:
  // Filled from the dialog's connection, with `servers` to choose from.
  TFrmConnect(dataaccess::TCustomConnectDialog& dialog, const QStringList& servers,
              QWidget* parent = nullptr);
  // The typed values into the connection.
  void TakeInto(dataaccess::TCustomDAConnection& connection) const;

 private:
  QLineEdit* EdUsername;
  QLineEdit* EdPassword;
  QComboBox* CbServer;
  QPushButton* BtnConnect;
  QPushButton* BtnCancel;
};

void InstallConnectDialog();

}  // namespace ui
