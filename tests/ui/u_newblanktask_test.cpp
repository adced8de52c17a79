#include "ui/u_newblanktask.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <stdexcept>

#include "tasks/u_task1.h"
#include "ui/programsettings.h"
#include "ui/services.h"

namespace ui {
namespace {

struct User final : MessageService {
  bool answer = false;
  std::vector<QString> errors, informations, questions;
  void error(QWidget*, const QString& text) override { errors.push_back(text); }
  void information(QWidget*, const QString& text) override { informations.push_back(text); }
  bool question(QWidget*, const QString& text) override { return questions.push_back(text), answer; }
};

class BlankTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Services();
    Services().messages = &user_;
    ClientCharset().charset = "ZHS16GBK";
    auto reader = [this](const OracleLogin&, const std::string&) {
      if (server_ == "fail") throw std::runtime_error("ORA-12705: bad NLS");
      return server_;
    };
    form_ = std::make_unique<TFrmNewBlankTask>(nullptr, reader, [] {});
  }
  void TearDown() override { Services() = saved_; }

  void fill(const char* command, const char* password = "pw") {
    for (auto [name, text] : {std::pair{"EdTaskname", " nightly "},
                              {"EdUsername", "system"},
                              {"EdPassword", password},
                              {"Edconnectstring", "orcl"}})
      QTest::keyClicks(form_->findChild<QLineEdit*>(name), text);
    form_->findChild<QPlainTextEdit*>("EdCommandParameters")->setPlainText(command);
  }
  void click(const char* name) { form_->findChild<QPushButton*>(name)->click(); }

  User user_;
  UiServices saved_{};
  std::string server_;
  std::unique_ptr<TFrmNewBlankTask> form_;
};

TEST_F(BlankTaskTest, AGoodCommandGivesARawTaskOfItsKindWithTheParsedParameters) {
  form_->findChild<QRadioButton*>("Rbimport")->click();
  fill("  file=/in/a.dmp fromuser=scott  ");
  click("BtnOk");
  std::unique_ptr<tasks::TUniTask> task = form_->TakeTask();
  ASSERT_NE(dynamic_cast<tasks::TImpTask*>(task.get()), nullptr);
  EXPECT_TRUE(task->parsedok() && task->tasktype() == tasks::TTaskType::RawImport);
  tasks::TImpTask expected(nullptr);
  expected.SetCommand("file=/in/a.dmp fromuser=scott");
  ASSERT_TRUE(expected.ParseCommand());
  EXPECT_EQ(task->params(), expected.params());
  EXPECT_EQ(task->command(), "file=/in/a.dmp fromuser=scott");
  EXPECT_EQ(task->name() + task->uname() + task->connectstring(), "nightlysystemorcl");
}

TEST_F(BlankTaskTest, ABadCommandIsSavedOnlyWhenTheUserSaysYes) {
  fill("file=a.dmp bogus=(");
  click("BtnOk");
  ASSERT_EQ(user_.questions.size(), 1u);
  EXPECT_TRUE(user_.questions[0].startsWith("Parameter file=a.dmp bogus=( error at:\n\r ") &&
              user_.questions[0].endsWith(",still save it?"));
  EXPECT_EQ(form_->TakeTask(), nullptr);
  user_.answer = true;
  click("BtnOk");
  std::unique_ptr<tasks::TUniTask> task = form_->TakeTask();
  ASSERT_TRUE(dynamic_cast<tasks::TExpTask*>(task.get()) && !task->parsedok());
  EXPECT_EQ(task->command(), "file=a.dmp bogus=(");
}

TEST_F(BlankTaskTest, TheComparisonAdvisesOnlyWhenTheSetsDifferBeyondCase) {
  fill("full=y", "");
  click("btnnlscompare");
  EXPECT_EQ(user_.errors, std::vector<QString>{"Please enter password!"});
  QTest::keyClicks(form_->findChild<QLineEdit*>("EdPassword"), "pw");
  for (const char* set : {"WE8ISO8859P1", "zhs16gbk ", "", "fail"}) {
    server_ = set;
    click("btnnlscompare");
  }
  EXPECT_EQ(LastOracleLogin().username + LastOracleLogin().password, "systempw");
  EXPECT_EQ(user_.informations,
            (std::vector<QString>{"Client: ZHS16GBK\r\nServer: WE8ISO8859P1\r\nDifferent character set "
                                  "between client and server,\r\nSet client side character to the "
                                  "same as sever side!",
                                  "Client: ZHS16GBK\r\nServer: zhs16gbk ",
                                  "Client: ZHS16GBK\r\nServer: Not found"}));
  EXPECT_EQ(user_.errors.back(),
            "ORA-12705: bad NLS\r\nplease set character set to a correct value,then restart Velmaron "
            "before connect or compare again!");
}

}  // namespace
}  // namespace ui
