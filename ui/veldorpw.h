// The table-password dialog: the user adds, removes or clears the table passwords of an engine
// session when a table asks for one that is not registered. Installed as the engine components'
// password request, so that the components themselves stay free of windows.
//
// Threads: window thread only.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace engine::components {
class TVELDORSession;
}

namespace ui {

class TVELDORPasswordDialog final : public QDialog {
  Q_OBJECT
 public:
  explicit TVELDORPasswordDialog(engine::components::TVELDORSession& session, QWidget* parent = nullptr);

  QLineEdit* Edit;
  QPushButton* AddButton;
  QPushButton* RemoveButton;
  QPushButton* RemoveAllButton;
  QPushButton* OKButton;
  QPushButton* CancelButton;

 private:
  void EditChange();
  void AddButtonClick();
  void RemoveButtonClick();
  void RemoveAllButtonClick();
  void OKButtonClick();

  engine::components::TVELDORSession& session_;
  bool added_ = false;
};

// Makes the dialog the answer to every password request that no OnPassword handler takes: shown
// modally through Services().dialogs; the request answers true when it closed with OK.
void InstallPasswordDialog();

}  // namespace ui
