// The table-password dialog offscreen, driven through its controls, and its road from a
// session's password request.
#include "ui/veldorpw.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "engine/components/veldortb.h"
#include "ui/services.h"

namespace ui {
namespace {

using engine::components::TVELDORSession;

// Types a password and closes with OK, as a user would.
struct TypeAndOk final : DialogRunner {
  int run(QDialog& dialog) override {
    QTest::keyClicks(dialog.findChild<QLineEdit*>("Edit"), "typed");
    QTest::mouseClick(dialog.findChild<QPushButton*>("OKButton"), Qt::LeftButton);
    return dialog.result();
  }
};

TEST(PasswordDialogTest, ButtonsFollowTheTextAndPasswordsReachTheSession) {
  TVELDORSession session("PasswordDialogTest");
  session.SetSessionName("pwtest");
  TVELDORPasswordDialog dialog(session);
  EXPECT_EQ(dialog.windowTitle(), "Enter password");
  EXPECT_FALSE(dialog.AddButton->isEnabled() || dialog.RemoveButton->isEnabled() ||
               dialog.OKButton->isEnabled());
  QTest::keyClicks(dialog.Edit, "mirt318");
  EXPECT_TRUE(dialog.AddButton->isEnabled() && dialog.RemoveButton->isEnabled() &&
              dialog.OKButton->isEnabled());
  QTest::mouseClick(dialog.AddButton, Qt::LeftButton);
  EXPECT_TRUE(session.EngineSession()->PasswordExists("mirt318"));
  EXPECT_TRUE(dialog.Edit->text().isEmpty());
  EXPECT_FALSE(dialog.AddButton->isEnabled() || dialog.RemoveButton->isEnabled());
  EXPECT_TRUE(dialog.OKButton->isEnabled());  // a password was added in this showing
  QTest::keyClicks(dialog.Edit, "mirt318");
  QTest::mouseClick(dialog.RemoveButton, Qt::LeftButton);
  EXPECT_FALSE(session.EngineSession()->PasswordExists("mirt318"));
  QTest::keyClicks(dialog.Edit, "other");
  QTest::mouseClick(dialog.AddButton, Qt::LeftButton);
  QTest::mouseClick(dialog.RemoveAllButton, Qt::LeftButton);
  EXPECT_EQ(session.EngineSession()->PasswordCount(), 0u);
}

TEST(PasswordDialogTest, ARequestWithoutHandlerShowsTheDialogAndOkAnswersYes) {
  TVELDORSession session("PasswordRequestTest");
  session.SetSessionName("pwrequest");
  EXPECT_FALSE(session.PasswordRequest());  // nothing installed yet
  TypeAndOk runner;
  DialogRunner* saved = Services().dialogs;
  Services().dialogs = &runner;
  InstallPasswordDialog();
  EXPECT_TRUE(session.PasswordRequest());
  EXPECT_TRUE(session.EngineSession()->PasswordExists("typed"));
  engine::components::SetPasswordDialogHandler(nullptr);
  Services().dialogs = saved;
}

}  // namespace
}  // namespace ui
