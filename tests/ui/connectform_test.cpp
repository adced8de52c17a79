// The login dialog offscreen over the scripted fake driver: captions of the label set, a failed
// attempt shown and retried, the login kept in the settings file, and a cancel.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <functional>

#include "tests/dataaccess/fakedriver.h"
#include "tests/platform/temp_folder.h"
#include "ui/connectform.h"
#include "ui/programsettings.h"
#include "ui/services.h"

namespace ui {
namespace {

// Plays the user: each run of the dialog takes the next scripted step.
struct User final : MessageService, DialogRunner {
  std::vector<std::function<int(QDialog&)>> steps;
  std::vector<QString> errors;
  void error(QWidget*, const QString& text) override { errors.push_back(text); }
  void information(QWidget*, const QString&) override {}
  bool question(QWidget*, const QString&) override { return false; }
  int run(QDialog& dialog) override {
    if (steps.empty()) return QDialog::Rejected;
    auto step = steps.front();
    steps.erase(steps.begin());
    return step(dialog);
  }
};

int typeAndConnect(QDialog& d, const char* user, const char* password, const char* server) {
  QTest::keyClicks(d.findChild<QLineEdit*>("EdUsername"), user);
  d.findChild<QLineEdit*>("EdPassword")->setText(password);
  d.findChild<QComboBox*>("CbServer")->setCurrentText(server);
  d.findChild<QPushButton*>("BtnConnect")->click();
  return d.result();
}

TEST(ConnectFormTest, AFailedLoginIsShownAndRetriedAndTheUsedLoginIsKept) {
  platform::testing::TempFolder dir;
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir.path("config")));
  UiServices saved = Services();
  User user;
  Services().messages = &user;
  Services().dialogs = &user;
  InstallConnectDialog();

  fakedriver::Script script;
  fakedriver::FakeSession session(script);
  dataaccess::TCustomConnectDialog dialog;
  dialog.SetLabelSet(3);
  session.SetConnectDialog(&dialog);
  script.failures["Connect"] = 1017;
  user.steps.push_back([](QDialog& d) {
    EXPECT_EQ(d.windowTitle(), "Anmeldung");
    EXPECT_EQ(d.findChild<QPushButton*>("BtnCancel")->text(), "Abbrechen");
    return typeAndConnect(d, "scott", "wrong", "orcl");
  });
  user.steps.push_back([](QDialog& d) {
    EXPECT_EQ(d.findChild<QLineEdit*>("EdUsername")->text(), "scott");
    d.findChild<QLineEdit*>("EdUsername")->clear();
    return typeAndConnect(d, "scott", "tiger", "orcl");
  });
  session.Connect();
  EXPECT_TRUE(session.GetConnected());
  ASSERT_EQ(user.errors.size(), 1u);
  EXPECT_EQ(user.errors[0], "ORA-1017 in Connect");
  QSettings file(QString::fromStdString(SettingsFilePath()), QSettings::IniFormat);
  EXPECT_EQ(file.value("Connect/" + QCoreApplication::applicationName() + "/Username").toString(), "scott");
  EXPECT_EQ(file.value("Connect/Server1").toString(), "orcl");
  EXPECT_FALSE(file.allKeys().join(" ").contains("tiger"));

  // Cancelled: nothing changes and the connect aborts silently.
  session.Disconnect();
  session.SetPassword("");
  user.steps.push_back([](QDialog& d) {
    EXPECT_EQ(d.findChild<QComboBox*>("CbServer")->itemText(0), "orcl");
    d.findChild<QLineEdit*>("EdUsername")->setText("adams");
    d.findChild<QPushButton*>("BtnCancel")->click();
    return d.result();
  });
  EXPECT_THROW(session.Connect(), dataset::EAbort);
  EXPECT_EQ(session.Username(), "scott");
  EXPECT_FALSE(session.GetConnected());

  dataaccess::SetConnectDialogProc(nullptr);
  dataaccess::SetConnectDialogStore(nullptr);
  Services() = saved;
}

}  // namespace
}  // namespace ui
