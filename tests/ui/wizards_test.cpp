// The user and table pickers and the export and import wizards, driven offscreen through their
// controls against the stand-in Oracle server.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <filesystem>
#include <stdexcept>

#include "tasks/u_task1.h"
#include "tests/platform/temp_folder.h"
#include "tests/ui/script_services.h"
#include "tests/ui/standin_oracle.h"
#include "tools/dumpbuilder/dumpbuilder.h"
#include "ui/programsettings.h"
#include "ui/u_choosetable.h"
#include "ui/u_chooseuser.h"
#include "ui/u_exportwizard.h"
#include "ui/u_importwizard.h"

namespace ui {
namespace {

namespace fs = std::filesystem;

class WizardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Services() = UiServices{&script, &script, &script};
    ClientCharset().charset = "ZHS16GBK";
    LastOracleLogin() = {};
    testing::UseStandInServer();
  }
  void TearDown() override { Services() = saved; }

  OracleLinkFactory links() { return testing::CountedLinks(count); }
  template <class T>
  T* find(QWidget& w, const char* name) {
    T* child = w.findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
  }
  void type(QWidget& w, const char* edit, const QString& text) {
    auto* e = find<QLineEdit>(w, edit);
    e->selectAll();
    QTest::keyClick(e, Qt::Key_Backspace);
    QTest::keyClicks(e, text);
  }
  void click(QWidget& w, const char* name) { find<QAbstractButton>(w, name)->click(); }
  static void choose(QListWidget* list, std::initializer_list<int> rows) {
    list->clearSelection();
    for (int row : rows) list->item(row)->setSelected(true);
  }

  testing::LinkCount count;
  testing::Script script;
  UiServices saved = Services();
  platform::testing::TempFolder dir;
};

TEST_F(WizardTest, PickerMovesAddEachEntryOnceAndRemoveTheChosenOnes) {
  TFrmChooseUser picker;
  picker.SetAvailableUsers({"HR", "OE", "SCOTT"});
  auto* available = find<QListWidget>(picker, "lbavailableusers");
  auto* selected = find<QListWidget>(picker, "lbselectedusers");
  choose(available, {0, 2});
  click(picker, "btnaddone");
  click(picker, "btnaddone");
  EXPECT_EQ(picker.ChosenUsers(), QStringList({"HR", "SCOTT"}));
  click(picker, "btnaddmore");
  EXPECT_EQ(picker.ChosenUsers(), QStringList({"HR", "SCOTT", "OE"}));
  choose(selected, {0, 2});
  click(picker, "btnremoveone");
  EXPECT_EQ(picker.ChosenUsers(), QStringList({"SCOTT"}));
  click(picker, "btnremoveall");
  EXPECT_TRUE(picker.ChosenUsers().isEmpty());
  picker.SetAvailableUsers({"A"});
  EXPECT_EQ(available->count(), 1);
}

TEST_F(WizardTest, TablePickerReadsTheTablesOfTheClickedOwnerBoundAsAParameter) {
  std::unique_ptr<OracleLink> link = NewOracleClientLink();
  link->Connect({"system", "manager", "ORCL"}, "");
  TFrmchoosetable picker(*link);
  picker.SetAvailableUsers({"HR", "SCOTT", "SCOTT') or ('1'='1"});
  auto* users = find<QListWidget>(picker, "lbavailableusers");
  auto* tables = find<QListWidget>(picker, "lbavailabletables");
  users->setCurrentRow(1);
  EXPECT_EQ(Entries(*tables), QStringList({"BONUS", "DEPT", "EMP"}));
  choose(tables, {2});
  click(picker, "btnaddone");
  users->setCurrentRow(0);
  EXPECT_EQ(Entries(*tables), QStringList({"EMP", "JOBS"}));
  choose(tables, {0});
  click(picker, "btnaddone");
  click(picker, "btnaddone");
  EXPECT_EQ(picker.ChosenTables(), QStringList({"SCOTT.EMP", "HR.EMP"}));
  // A name is only a name: one that would change a statement it were pasted into has no tables.
  users->setCurrentRow(2);
  EXPECT_EQ(tables->count(), 0);
  EXPECT_TRUE(script.messages.empty());

  // A click below the last user chooses nobody: no owner and no tables.
  users->setCurrentRow(0);
  picker.show();
  QTest::mouseClick(users->viewport(), Qt::LeftButton, {},
                    users->viewport()->rect().bottomLeft() - QPoint(-2, 2));
  EXPECT_EQ(tables->count(), 0);
  EXPECT_TRUE(picker.Owner().isEmpty());
}

TEST_F(WizardTest, ExportPagesCheckTheirInputAndEnterNeverSaves) {
  TFrmExportWizard w(links(), [] {});
  tasks::TExpTask task(nullptr);
  task.SetFull(true);
  w.SetPageCaptions("Create export task");
  w.Load(task);
  EXPECT_EQ(w.PageCaption(3), "Create export task: step 4 of 4");
  EXPECT_FALSE(find<QPushButton>(w, "BtnBack")->isEnabled());
  EXPECT_EQ(find<QLabel>(w, "lbclientnls")->text(), "ZHS16GBK");
  EXPECT_EQ(find<QLabel>(w, "Label13")->text(), "Db: Not Connected");

  click(w, "BtnNext");
  type(w, "EdTaskname", "  ");
  QTest::keyClick(find<QLineEdit>(w, "EdTaskname"), Qt::Key_Return);
  type(w, "EdTaskname", "nightly");
  click(w, "BtnNext");
  EXPECT_EQ(script.messages,
            (std::vector<QString>{"warning: Please input taskname!", "warning: Please input taskname!",
                                  "warning: Please input username!"}));
  EXPECT_EQ(w.CurrentPage(), 0);
  type(w, "edusername", "scott");
  QTest::keyClick(find<QLineEdit>(w, "edusername"), Qt::Key_Return);
  ASSERT_EQ(w.CurrentPage(), 1);
  EXPECT_TRUE(find<QRadioButton>(w, "RbFull")->isChecked());
  EXPECT_TRUE(find<QWidget>(w, "GbFull")->isVisibleTo(&w) && !find<QWidget>(w, "GbOwners")->isVisibleTo(&w));
  click(w, "BtnNext");
  click(w, "BtnNext");
  EXPECT_EQ(script.messages.back(), "warning: Please input dumpfile!");
  type(w, "eddumpfile", dir.path("sub/deeper/").c_str());
  click(w, "BtnNext");
  ASSERT_EQ(w.CurrentPage(), 3);
  EXPECT_EQ(find<QPushButton>(w, "BtnNext")->text(), "&Save");
  QTest::keyClick(&w, Qt::Key_Return);
  EXPECT_EQ(w.CurrentPage(), 3);
  EXPECT_EQ(w.result(), QDialog::Rejected);
  click(w, "BtnNext");
  EXPECT_EQ(script.messages.back(), "error: File name not specified");
  EXPECT_TRUE(fs::is_directory(dir.path("sub/deeper"))) << "the folder is made before the name is checked";

  platform::testing::writeFile(dir.path("plain"), "x");
  click(w, "BtnBack");
  type(w, "eddumpfile", (dir.path("plain") + "/x.dmp").c_str());
  click(w, "BtnNext");
  click(w, "BtnNext");
  EXPECT_EQ(script.messages.back(),
            "error: Can not create directory: " + QString::fromStdString(dir.path("plain")));
  click(w, "BtnBack");
  type(w, "eddumpfile", "scott%d%h.dmp");
  click(w, "BtnNext");
  EXPECT_EQ(find<QPlainTextEdit>(w, "EdParameters")->toPlainText(), " full=y file=scott%d%h.dmp  ");
  click(w, "BtnNext");
  EXPECT_EQ(w.result(), QDialog::Accepted);
  tasks::TExpTask saved(nullptr);
  w.TakeNamesInto(saved);
  EXPECT_EQ(saved.name() + "/" + saved.uname(), "nightly/scott");
}

TEST_F(WizardTest, ExportControlsWriteIntoTheTaskAndTheModeDecidesOwnerAndTables) {
  TFrmExportWizard w(links(), [] {});
  tasks::TExpTask task(nullptr);
  task.SetCommand("file=a.dmp tables=emp compress=n buffer=4096");
  ASSERT_TRUE(task.ParseCommand());
  task.SetName("t");
  task.SetUName("scott");
  w.Load(task);
  EXPECT_TRUE(find<QRadioButton>(w, "RbTable")->isChecked());
  EXPECT_FALSE(find<QCheckBox>(w, "CbCompress")->isChecked());
  EXPECT_EQ(find<QLineEdit>(w, "EdBuffer")->text(), "4096");
  click(w, "BtnNext");
  EXPECT_TRUE(find<QWidget>(w, "GbTables")->isVisibleTo(&w));
  EXPECT_FALSE(find<QPushButton>(w, "BtnChooseObj")->isEnabled()) << "not connected";
  click(w, "RbFull");
  EXPECT_TRUE(task.options().full && task.options().tables.empty());
  find<QComboBox>(w, "CmbIncrementalExport")->setCurrentIndex(2);
  click(w, "CbRecord");
  click(w, "RbUser");
  type(w, "EdOwners", " scott,hr ");
  EXPECT_EQ(task.options().owner, "scott,hr");
  EXPECT_FALSE(task.options().full);
  click(w, "RbFull");
  EXPECT_EQ(task.params(), (std::vector<std::string>{"full=y", "inctype=Incremental", "record=n",
                                                     "file=a.dmp", "", "", "buffer=4096", "compress=n"}));
  click(w, "BtnNext");
  type(w, "EdBuffer", "");
  EXPECT_EQ(find<QLineEdit>(w, "EdBuffer")->text(), "0") << "an emptied count shows the default";
  EXPECT_EQ(task.options().buffer, 0);
  click(w, "CbCompress");
  find<QComboBox>(w, "CmBStatistics")->setCurrentIndex(0);
  EXPECT_TRUE(task.options().compress);
  EXPECT_EQ(task.options().statistics, tasks::TExpStatistics::Compute);

  // A value no parameter text carries holds the user on the page until it is mended.
  type(w, "eddumpfile", "a b\\");
  click(w, "BtnNext");
  EXPECT_EQ(w.CurrentPage(), 2);
  EXPECT_EQ(script.messages.back(),
            "error: The value of file ends with a backslash, which would escape its closing quote");
  type(w, "eddumpfile", "b.dmp");
  click(w, "BtnNext");
  EXPECT_EQ(w.CurrentPage(), 3);
}

TEST_F(WizardTest, ExportConnectsChoosesOwnersAndTablesAndComparesCharacterSets) {
  TFrmExportWizard w(links(), [] {});
  tasks::TExpTask task(nullptr);
  LastOracleLogin() = {"system", "wrong", "ORCL"};
  w.Load(task);
  EXPECT_EQ(find<QLineEdit>(w, "edusername")->text(), "system") << "a new task is offered the last account";
  click(w, "BtnConnectDb");
  EXPECT_TRUE(script.messages.back().startsWith("error: ORA-01017")) << script.messages.back().toStdString();
  EXPECT_FALSE(w.Connected());
  type(w, "edpassword", "manager");
  click(w, "BtnConnectDb");
  ASSERT_TRUE(w.Connected());
  EXPECT_EQ(find<QLabel>(w, "Label13")->text(), "Db: system@ORCL");
  EXPECT_EQ(find<QPushButton>(w, "BtnConnectDb")->text(), "Disconnect");
  type(w, "EdTaskname", "n");
  click(w, "BtnNext");

  click(w, "RbUser");
  script.dialogs["FrmChooseUser"] = [this](QDialog& d) {
    auto* available = find<QListWidget>(d, "lbavailableusers");
    EXPECT_EQ(Entries(*available), QStringList({"HR", "SCOTT", "SYS", "SYSTEM"}));
    choose(available, {0, 1});
    click(d, "btnaddone");
    return int(QDialog::Accepted);
  };
  click(w, "BtnChooseObj");
  EXPECT_EQ(find<QLineEdit>(w, "EdOwners")->text(), "HR,SCOTT");
  EXPECT_EQ(task.options().owner, "HR,SCOTT");

  click(w, "RbTable");
  script.dialogs["Frmchoosetable"] = [this](QDialog& d) {
    auto* users = find<QListWidget>(d, "lbavailableusers");
    EXPECT_EQ(Entries(*users), QStringList({"HR", "SCOTT", "SYSTEM"})) << "SYS is not offered";
    users->setCurrentRow(1);
    click(d, "btnaddmore");
    return int(QDialog::Accepted);
  };
  click(w, "BtnChooseObj");
  EXPECT_EQ(task.options().tables, "SCOTT.BONUS,SCOTT.DEPT,SCOTT.EMP");
  EXPECT_TRUE(task.options().owner.empty());

  click(w, "BtnBack");
  click(w, "BtnNlscompare");
  EXPECT_EQ(script.messages.back(),
            "info: Client: ZHS16GBK\r\nServer: WE8ISO8859P1\r\nDifferent character set between client and "
            "server,\r\nSet client side character to the same as sever side!");
  // A client character set the server does not know.
  ClientCharset().charset = "";
  ::setenv("NLS_LANG", "AMERICAN_AMERICA.NOSUCHSET", 1);
  click(w, "BtnNlscompare");
  ::unsetenv("NLS_LANG");
  EXPECT_TRUE(script.messages.back().startsWith("error: ORA-12705") &&
              script.messages.back().endsWith("\r\nplease set character set to a correct value,then restart "
                                              "Velmaron before connect or compare again!"))
      << script.messages.back().toStdString();
  EXPECT_EQ(count.open, 1) << "only the wizard's own connection stays open";
  click(w, "BtnConnectDb");
  EXPECT_EQ(find<QPushButton>(w, "BtnConnectDb")->text(), "connect");
  click(w, "BtnConnectDb");
  w.reject();
  EXPECT_EQ(count.open, 0) << "closing the wizard ends its connection";
}

TEST_F(WizardTest, ImportReadsTheDumpCharacterSetAndWritesItsModeIntoTheTask) {
  dumpbuilder::Options o;
  o.charsetId = 0x1F;
  o.targetSize = 4096;
  dumpbuilder::buildDump(dir.path("in.dmp"), o);
  TFrmImportWizard w(links());
  tasks::TImpTask task(nullptr);
  task.SetFull(true);
  task.SetFile(dir.path("missing.dmp"));
  w.SetPageCaptions("Create import task");
  w.Load(task);
  EXPECT_EQ(w.DumpCharset(), "Unknown");
  click(w, "btngetnls");
  EXPECT_EQ(script.messages.back(), "warning: Unknown dump file character sets!");
  script.paths.push_back(QString::fromStdString(dir.path("in.dmp")));
  click(w, "BtnBrowse");
  EXPECT_EQ(find<QLabel>(w, "lbfilenls")->text(), "WE8ISO8859P1 (ISO 8859-1 West European)");
  EXPECT_EQ(task.options().files.at(0), dir.path("in.dmp"));
  type(w, "EdUsername", "system");
  type(w, "EdPassword", "manager");
  type(w, "Edconnectstring", "ORCL");
  click(w, "btngetnls");
  EXPECT_EQ(script.messages.back(),
            "info: Dumpfile: WE8ISO8859P1 (ISO 8859-1 West European)\r\nServer: WE8ISO8859P1");

  click(w, "BtnNext");
  EXPECT_EQ(script.messages.back(), "warning: Please input taskname!");
  type(w, "EdTaskname", "restore");
  type(w, "Eddumpfile", "");
  click(w, "BtnNext");
  EXPECT_EQ(script.messages.back(), "warning: Please input dump filename!");
  type(w, "Eddumpfile", "in.dmp");
  click(w, "BtnNext");
  ASSERT_EQ(w.CurrentPage(), 1);
  EXPECT_TRUE(find<QRadioButton>(w, "RbFull")->isChecked());
  type(w, "EdTousers", "hr");
  click(w, "RbUser");
  EXPECT_FALSE(find<QLineEdit>(w, "EdTousers")->isEnabled());
  EXPECT_EQ(task.params(), (std::vector<std::string>{"file=in.dmp", "", "", ""})) << "empty from-user entry";
  type(w, "EdOwners", "scott");
  type(w, "EdFromToUsers", "hr");
  click(w, "BtnNext");
  click(w, "CbIgnore");
  type(w, "EdBuffer", "65536");
  type(w, "EdCharset", "we8iso8859p1");
  click(w, "BtnNext");
  EXPECT_EQ(find<QPlainTextEdit>(w, "EdParameters")->toPlainText(),
            " file=in.dmp fromuser=scott touser=hr  buffer=65536 Charset=we8iso8859p1 ignore=y");
  click(w, "BtnNext");
  EXPECT_EQ(w.result(), QDialog::Accepted);
  EXPECT_TRUE(task.parsedok());
}

// What a wizard shows of a stored task or a picked list it shows whole, whatever the edit's limit
// for typing, and takes back unchanged when the user leaves it alone.
TEST_F(WizardTest, LongListsAndTextsOfAnotherCharacterSetComeBackAsTheyWere) {
  std::string tables;
  for (int i = 0; i < 30; ++i) tables += (i ? "," : "") + std::string("SCOTT.TABLE_") + std::to_string(i);
  ASSERT_GT(tables.size(), 255u);
  TFrmExportWizard w(links(), [] {});
  tasks::TExpTask task(nullptr);
  task.SetTables(tables);
  task.SetFile(dir.path("a.dmp"));
  task.SetName(
      "n\xE4"
      "chtlich");
  task.SetDescription(std::string(256, 'd'));
  task.SetUName("scott");
  task.SetUPassword("p\xE4ss");
  task.SetConnectString("ORCL");
  w.Load(task);
  click(w, "BtnNext");
  ASSERT_EQ(w.CurrentPage(), 1);
  EXPECT_TRUE(find<QRadioButton>(w, "RbTable")->isChecked());
  click(w, "BtnNext");
  click(w, "BtnNext");
  click(w, "BtnNext");
  ASSERT_EQ(w.result(), QDialog::Accepted)
      << (script.messages.empty() ? "" : script.messages.back().toStdString());
  EXPECT_EQ(task.options().tables, tables);
  w.TakeNamesInto(task);
  EXPECT_EQ(task.name(),
            "n\xE4"
            "chtlich");
  EXPECT_EQ(task.description(), std::string(256, 'd'));
  EXPECT_EQ(task.upassword(), "p\xE4ss");

  // A list picked from the server is as long as the user made it.
  TFrmExportWizard picking(links(), [] {});
  tasks::TExpTask fresh(nullptr);
  LastOracleLogin() = {"system", "manager", "ORCL"};
  picking.Load(fresh);
  click(picking, "BtnConnectDb");
  ASSERT_TRUE(picking.Connected());
  type(picking, "EdTaskname", "n");
  click(picking, "BtnNext");
  click(picking, "RbTable");
  script.dialogs["Frmchoosetable"] = [&](QDialog& d) {
    auto* chosen = find<QListWidget>(d, "lbselectedtables");
    for (const QString& name : QString::fromStdString(tables).split(',')) chosen->addItem(name);
    return int(QDialog::Accepted);
  };
  click(picking, "BtnChooseObj");
  EXPECT_EQ(fresh.options().tables, tables);
  picking.reject();

  // Options the mode page writes again, and the dump's folder that saving makes, keep their bytes.
  TFrmExportWizard modes(links(), [] {});
  tasks::TExpTask users(nullptr);
  users.SetOwner("sc\xF6tt");
  users.SetFile(dir.path("d\xE9p") + "/x.dmp");
  users.SetName("n");
  users.SetUName("scott");
  modes.Load(users);
  for (int page = 0; page < 4; ++page) click(modes, "BtnNext");
  ASSERT_EQ(modes.result(), QDialog::Accepted);
  EXPECT_EQ(users.options().owner, "sc\xF6tt");
  EXPECT_TRUE(fs::is_directory(dir.path("d\xE9p")));

  dumpbuilder::Options o;
  o.charsetId = 0x1F;
  o.targetSize = 4096;
  dumpbuilder::buildDump(dir.path("\xE9t\xE9.dmp"), o);
  TFrmImportWizard importing(links());
  tasks::TImpTask restore(nullptr);
  restore.SetFile(dir.path("\xE9t\xE9.dmp"));
  restore.SetFromUser("sc\xF6tt");
  restore.SetToUser("h\xE9r");
  restore.SetName("n");
  restore.SetUName("scott");
  importing.Load(restore);
  EXPECT_EQ(importing.DumpCharset().toStdString(), "WE8ISO8859P1 (ISO 8859-1 West European)");
  click(importing, "BtnNext");
  ASSERT_EQ(importing.CurrentPage(), 1);
  EXPECT_EQ(restore.options().fromuser + "|" + restore.options().touser, "sc\xF6tt|h\xE9r");
}

}  // namespace
}  // namespace ui
