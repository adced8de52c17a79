// The windows driven offscreen through their controls, with scripted answers for message boxes,
// file dialogs and modal dialogs, over real dumps from the dump builder and real files.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTextEdit>
#include <QThread>
#include <QTreeWidget>
#include <array>
#include <chrono>
#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include "dumpfile/u_analysisfile.h"
#include "dumpfile/u_saveobjddl.h"
#include "platform/process.h"
#include "platform/scopeguard.h"
#include "tests/platform/temp_folder.h"
#include "tests/ui/script_services.h"
#include "tools/dumpbuilder/dumpbuilder.h"
#include "ui/programsettings.h"
#include "ui/services.h"
#include "ui/u_main.h"

namespace ui {
namespace {

using platform::testing::readFile;
using platform::testing::TempFolder;
using testing::Script;

// The progress window as a user who waits for "&Ok" and presses it, or cancels first.
int waitAndPressOk(QDialog& dialog, bool cancelFirst = false) {
  auto* button = dialog.findChild<QPushButton*>("Button1");
  if (cancelFirst && button->text() == "&Cancel") button->click();
  while (button->text() != "&Ok") QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  button->click();
  return dialog.result();
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir.path("config")));
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dir.path("data")));
    qputenv("NLS_LANG", "AMERICAN_AMERICA.US7ASCII");
    Services() = UiServices{&script, &script, &script};
    script.dialogs["Frmprogress"] = [](QDialog& d) { return waitAndPressOk(d); };
  }
  void TearDown() override {
    Services() = saved;
    qunsetenv("NLS_LANG");
  }

  std::unique_ptr<TFrmMain> newWindow() {
    auto w = std::make_unique<TFrmMain>(instance);
    EXPECT_TRUE(w->Started());
    return w;
  }
  template <class T = QAction>
  T* find(QObject& parent, const char* name) {
    T* child = parent.findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
  }
  // What the window shows of `node`: the script of its statements, cut to 10240 characters.
  static QString shownText(const std::string& dump, const dumpbuilder::ExpectedNode& n) {
    std::string text;
    return dumpfile::ReadDumpText(dump, n.start, text, n.length) ? QString::fromStdString(text) : QString();
  }
  // Opens `path` through the "&Open" command on the "Analyze" tab.
  void open(TFrmMain& w, const std::string& path) {
    find<QTabWidget>(w, "PageControl3")->setCurrentIndex(1);
    script.paths.push_back(QString::fromStdString(path));
    find(w, "AcOpendumpfile")->trigger();
  }
  // Every caption of the dump tree below the top node, depth-first, indented by level.
  static std::vector<std::string> captions(QTreeWidgetItem* item, int depth = 0) {
    std::vector<std::string> out;
    for (int i = 0; i < item->childCount(); ++i) {
      out.push_back(std::string(size_t(depth), ' ') + item->child(i)->text(0).toStdString());
      for (auto& c : captions(item->child(i), depth + 1)) out.push_back(std::move(c));
    }
    return out;
  }
  // The same captions as the builder's bookkeeping says they must be.
  static std::vector<std::string> expectedCaptions(const dumpbuilder::Expected& e) {
    std::vector<std::string> out;
    auto groups = [&](const std::string& owner, const std::string& indent) {
      for (int kind = 0; kind < dumpfile::kKindCount; ++kind) {
        std::vector<std::string> names;
        for (const auto& n : e.nodes)
          if (n.owner == owner && n.kind == kind && !(owner != "-" && n.name == owner && kind == 1))
            names.push_back(n.name);
        if (names.empty()) continue;
        out.push_back(indent + std::string(dumpfile::KindName[size_t(kind)]) + "(" +
                      std::to_string(names.size()) + ")");
        for (const auto& name : names) out.push_back(indent + " " + name);
      }
    };
    groups("-", "");
    for (const auto& n : e.nodes)
      if (n.owner != "-" && n.kind == 1 && n.name == n.owner) {
        out.push_back(n.name);
        groups(n.owner, " ");
      }
    return out;
  }

  TempFolder dir;
  Script script;
  UiServices saved = Services();
  QString instance = "velmaron-ui-test-" + QString::number(::getpid());
};

TEST_F(WindowTest, DumpTreeShowsEveryGroupAndObjectAndEachObjectsTextUpToTheLimit) {
  dumpbuilder::Options o;
  o.targetSize = 200 << 10;
  const auto expected = dumpbuilder::buildDump(dir.path("full.dmp"), o);
  auto w = newWindow();
  open(*w, dir.path("full.dmp"));
  auto* tree = find<QTreeWidget>(*w, "Tvdumpfile");
  ASSERT_EQ(tree->topLevelItemCount(), 1);
  QTreeWidgetItem* top = tree->topLevelItem(0);
  EXPECT_EQ(top->text(0).toStdString(), dir.path("full.dmp"));
  EXPECT_EQ(captions(top), expectedCaptions(expected));
  auto* text = find<QPlainTextEdit>(*w, "MmDDlText");
  auto* right = find<QTabWidget>(*w, "PageControl1");
  EXPECT_TRUE(right->isTabVisible(1) && !right->isTabVisible(0) && w->AnalysisViewActive());
  EXPECT_TRUE(
      text->toPlainText().startsWith("NLS_LANG: WE8ISO8859P1 (ISO 8859-1 West European)\nEXPORT:V09.02.00"));

  // Each object shows the statements of its range, at most 10240 characters of them.
  std::map<std::string, const dumpbuilder::ExpectedNode*> nodes;
  for (const auto& n : expected.nodes) nodes[n.owner + "/" + n.name] = &n;
  for (QTreeWidgetItemIterator it(top); *it; ++it) {
    if ((*it)->childCount() != 0 || (*it)->parent() == top) continue;
    const std::string owner =
        (*it)->parent()->parent() == top ? "-" : (*it)->parent()->parent()->text(0).toStdString();
    tree->setCurrentItem(*it);
    EXPECT_EQ(text->toPlainText(),
              shownText(dir.path("full.dmp"), *nodes.at(owner + "/" + (*it)->text(0).toStdString())))
        << (*it)->text(0).toStdString();
  }
  {
    dumpbuilder::DumpWriter big(dir.path("big.dmp"), dumpbuilder::Mode::Users, "SCOTT",
                                dumpbuilder::Endings::Lf, 1);
    big.header(0x1F, "V09.02.00");
    big.connect("SCOTT");
    big.create(dumpbuilder::Head::View, "BIG", "AS", std::vector<std::string>(100, std::string(199, 'A')));
    big.other("EXIT");
    big.finish();
  }
  open(*w, dir.path("big.dmp"));
  tree->setCurrentItem(tree->findItems("BIG", Qt::MatchExactly | Qt::MatchRecursive).value(0));
  EXPECT_EQ(text->toPlainText().size(), 10240);
  find<QTabWidget>(*w, "PageControl3")->setCurrentIndex(0);
  EXPECT_TRUE(right->isTabVisible(0) && !right->isTabVisible(1) && w->TaskViewActive());
  EXPECT_FALSE(find(*w, "AcOpendumpfile")->isEnabled() || find(*w, "AcSavetofile")->isEnabled());
  EXPECT_TRUE(script.messages.empty());
}

TEST_F(WindowTest, AnalysisFileSavedAndReopenedGivesTheSameTreeAndTextsButIsNotSavedAgain) {
  dumpbuilder::Options o;
  o.targetSize = 100 << 10;
  o.mode = dumpbuilder::Mode::Users;
  o.seed = 2;  // a dump with its closing records
  dumpbuilder::buildDump(dir.path("u.dmp"), o);
  auto w = newWindow();
  open(*w, dir.path("u.dmp"));
  auto* tree = find<QTreeWidget>(*w, "Tvdumpfile");
  auto* text = find<QPlainTextEdit>(*w, "MmDDlText");
  auto texts = [&] {
    std::vector<QString> all;
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
      tree->setCurrentItem(*it);
      all.push_back((*it)->parent() ? text->toPlainText() : QString());
    }
    return all;
  };
  const auto fromDump = captions(tree->topLevelItem(0));
  const auto dumpTexts = texts();

  // Saving over the dump itself is refused and leaves it whole.
  const std::string dumpBytes = readFile(dir.path("u.dmp"));
  script.paths.push_back(QString::fromStdString(dir.path("u.dmp")));
  find(*w, "AcSavetofile")->trigger();
  ASSERT_EQ(script.messages.size(), 1u);
  EXPECT_TRUE(script.messages[0].startsWith("error: ")) << script.messages[0].toStdString();
  EXPECT_EQ(readFile(dir.path("u.dmp")), dumpBytes);

  script.paths.push_back(QString::fromStdString(dir.path("u.adf")));
  find(*w, "AcSavetofile")->trigger();
  open(*w, dir.path("u.adf"));
  EXPECT_EQ(captions(tree->topLevelItem(0)), fromDump);
  EXPECT_EQ(texts(), dumpTexts);
  EXPECT_FALSE(find(*w, "AcSavetofile")->isEnabled());
  EXPECT_TRUE(find(*w, "AcClearDumpfile")->isEnabled());
  find(*w, "AcClearDumpfile")->trigger();
  EXPECT_EQ(tree->topLevelItemCount(), 0);
  EXPECT_EQ(w->DumpView().Root(), nullptr);
}

TEST_F(WindowTest, ExportDdlOfTheTopNodeWritesEveryOwnersFilesAndUnknownFilesLeaveTheTree) {
  const auto expected = dumpbuilder::buildDump(dir.path("e.dmp"), dumpbuilder::Options{});
  auto w = newWindow();
  open(*w, dir.path("e.dmp"));
  std::filesystem::create_directory(dir.path("ddl"));
  script.paths.push_back(QString::fromStdString(dir.path("ddl")));
  find(*w, "AcExportDDL")->trigger();
  for (const auto& n : expected.nodes) {
    if (n.length == 0) continue;
    const std::string file = n.owner == "-" ? dumpfile::DefinitionFileName(dir.path("ddl"), uint8_t(n.kind))
                             : n.kind == 1 && n.name == n.owner
                                 ? dumpfile::DefinitionFileName(dir.path("ddl"), 1)
                                 : dumpfile::DefinitionFileName(dir.path("ddl"), n.owner, uint8_t(n.kind));
    EXPECT_TRUE(std::filesystem::exists(file)) << file;
  }
  script.paths.push_back(QString::fromStdString(dir.path("missing")));
  find(*w, "AcExportDDL")->trigger();
  EXPECT_EQ(script.messages.back().toStdString(), "error: Directory not exists: " + dir.path("missing"));

  // A file that is no dump at all leaves the tree as it was; an answer No to a file without
  // "export" in its first line too.
  const auto before = captions(find<QTreeWidget>(*w, "Tvdumpfile")->topLevelItem(0));
  open(*w, dir.path("ddl"));
  EXPECT_EQ(script.messages.back(), "error: Can not analyze this file!");
  platform::testing::TempFolder other;
  std::ofstream(other.path("notes.txt")) << "hello\nline two\nline three\n";
  script.answers.push_back(false);
  open(*w, other.path("notes.txt"));
  EXPECT_EQ(script.messages.back(), "question: It seems not a valid dmp file,continue to analyze?");
  EXPECT_EQ(captions(find<QTreeWidget>(*w, "Tvdumpfile")->topLevelItem(0)), before);
}

TEST_F(WindowTest, CancelledReadingSaysSoAndReadingBeyondTwoGibibytesShowsTheLastObjects) {
  dumpbuilder::Options o;
  o.targetSize = 40 << 10;
  o.holeSize = int64_t(5) << 29;
  const auto expected = dumpbuilder::buildDump(dir.path("big.dmp"), o);
  auto w = newWindow();
  QString label;
  script.dialogs["Frmprogress"] = [&](QDialog& d) {
    const int r = waitAndPressOk(d, true);
    label = d.findChild<QLabel*>("Label1")->text();
    return r;
  };
  open(*w, dir.path("big.dmp"));
  const QString cancelled = "Terminated by user! " + QString::fromUtf8(dumpfile::kReadingIncomplete.data());
  EXPECT_EQ(label, cancelled);
  // Closed by its title bar at once: the worker is stopped and waited for before the tree is built.
  script.dialogs["Frmprogress"] = [](QDialog& d) {
    d.close();
    return d.result();
  };
  open(*w, dir.path("big.dmp"));
  EXPECT_EQ(QString::fromStdString(w->DumpView().Root()->Message()), cancelled);

  script.dialogs["Frmprogress"] = [](QDialog& d) { return waitAndPressOk(d); };
  open(*w, dir.path("big.dmp"));
  auto* tree = find<QTreeWidget>(*w, "Tvdumpfile");
  const auto& last = expected.nodes.back();
  ASSERT_GT(last.start, int64_t(1) << 31);
  const auto found =
      tree->findItems(QString::fromStdString(last.name), Qt::MatchExactly | Qt::MatchRecursive);
  ASSERT_FALSE(found.isEmpty());
  tree->setCurrentItem(found.back());
  EXPECT_EQ(find<QPlainTextEdit>(*w, "MmDDlText")->toPlainText(), shownText(dir.path("big.dmp"), last));
}

TEST_F(WindowTest, HeaderDialogWritesTheFirst2048BytesBesideTheDumpOrIntoTheTargetAndNeverOverTheDump) {
  auto w = newWindow();
  const std::string dump = std::string(3000, 'x');
  std::ofstream(dir.path("full.dmp"), std::ios::binary) << dump;
  std::ofstream(dir.path("short.dmp"), std::ios::binary) << "abc";
  std::ofstream(dir.path("self.hed"), std::ios::binary) << "abc";
  std::filesystem::create_directory(dir.path("hdr"));
  auto* dialog = find<QDialog>(*w, "Frm_getdumpfileheader");
  auto get = [&](const std::string& file, const std::string& target) {
    dialog->findChild<QLineEdit*>("eddumpfile")->setText(QString::fromStdString(file));
    if (!target.empty()) {
      QTest::mouseClick(dialog->findChild<QCheckBox*>("ckbsamedir"), Qt::LeftButton);
      dialog->findChild<QLineEdit*>("edtargetdir")->setText(QString::fromStdString(target));
    }
    dialog->findChild<QPushButton*>("btngetfileheader")->click();
    return script.messages.back().toStdString();
  };
  script.dialogs["Frm_getdumpfileheader"] = [&](QDialog&) {
    EXPECT_EQ(get(dir.path("full.dmp"), ""), "info: File: " + dir.path("full.hed") + " created!");
    EXPECT_TRUE(get(dir.path("self.hed"), "").starts_with("error: "));
    EXPECT_EQ(get(dir.path("gone.dmp"), ""), "error: File: " + dir.path("gone.dmp") + "\ndoes not exists!");
    EXPECT_EQ(get(dir.path("hdr"), ""),
              "error: File: " + dir.path("hdr") + "\nis a folder, not a dump file!");
    EXPECT_EQ(get("", ""), "error: Please input dump file!");
    EXPECT_EQ(get(dir.path("short.dmp"), dir.path("hdr")),
              "info: File: " + dir.path("hdr") + "/short.hed created!");
    return QDialog::Accepted;
  };
  find(*w, "MnuFileHeader")->trigger();
  EXPECT_EQ(readFile(dir.path("full.hed")), dump.substr(0, 2048));
  EXPECT_EQ(readFile(dir.path("hdr/short.hed")), "abc" + std::string(2045, '\0'));
  EXPECT_EQ(readFile(dir.path("self.hed")), "abc");
  EXPECT_EQ(script.messages.size(), 6u);
}

// The help beside the program, opened by the desktop; a desktop that cannot open it, and a
// missing file, are told with their path.
TEST_F(WindowTest, HelpTopicsOpensTheHelpBesideTheProgramThroughTheDesktop) {
  struct Desktop final : DesktopService {
    std::vector<QString> opened;
    bool openFile(const QString& path) override { return opened.push_back(path), opened.size() == 1; }
  } desktop;
  Services().desktop = &desktop;
  auto w = newWindow();
  const QString help = QCoreApplication::applicationDirPath() + "/help.html";
  find(*w, "MnuHelpTopics")->trigger();
  EXPECT_TRUE(script.messages.empty());
  find(*w, "MnuHelpTopics")->trigger();
  EXPECT_EQ(script.messages.back(), "error: Can not open " + help);
  ASSERT_TRUE(QFile::rename(help, help + ".away"));
  find(*w, "MnuHelpTopics")->trigger();
  QFile::rename(help + ".away", help);
  EXPECT_EQ(script.messages.back(), "error: " + help + " not found");
  EXPECT_EQ(desktop.opened, std::vector<QString>(2, help));
}

// A dump without its closing records: the result says the reading is incomplete, wrapped in the
// progress window, whose "&Ok" Enter presses; saving it asks first. Export DDL of one object
// writes that object alone. A definition shows in its dump's character set.
TEST_F(WindowTest, IncompleteReadingAsksBeforeSavingOneObjectExportsAloneAndTextKeepsItsCharacterSet) {
  {
    dumpbuilder::DumpWriter d(dir.path("cut.dmp"), dumpbuilder::Mode::Users, "SCOTT",
                              dumpbuilder::Endings::Lf, 1);
    d.header(0x1F, "V09.02.00");
    d.connect("SCOTT");
    for (const char* table : {"T1", "T2", "T3"}) d.create(dumpbuilder::Head::Table, table, "(\"A\" NUMBER)");
    d.finish();  // T3 is open at the end: no range
  }
  auto w = newWindow();
  int result = -1;
  script.dialogs["Frmprogress"] = [&](QDialog& d) {
    while (d.findChild<QPushButton*>("Button1")->text() != "&Ok") QCoreApplication::processEvents();
    d.show();
    QTest::keyClick(&d, Qt::Key_Return);
    return result = d.result();
  };
  open(*w, dir.path("cut.dmp"));
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_EQ(find<QLabel>(*w, "Label1")->text().toStdString(), dumpfile::kDumpEndsEarly);
  EXPECT_TRUE(find<QLabel>(*w, "Label1")->wordWrap());

  script.answers = {false};
  find(*w, "AcSavetofile")->trigger();  // asks, and saves nothing on No
  EXPECT_TRUE(script.messages.back().startsWith("question: The reading of this dump is incomplete"));

  auto* tree = find<QTreeWidget>(*w, "Tvdumpfile");
  tree->setCurrentItem(tree->findItems("T2", Qt::MatchExactly | Qt::MatchRecursive).value(0));
  // One object goes to a file of its own; a file of that name is replaced only when the user agrees.
  std::ofstream(dir.path("SCOTT_T2.sql")) << "kept";
  for (bool agree : {false, true}) {
    script.paths.push_back(QString::fromStdString(dir.path()));
    script.answers = {agree};
    find(*w, "AcExportDDL")->trigger();
    EXPECT_EQ(script.messages.back().toStdString(), "question: These files exist and will be replaced:\n" +
                                                        dir.path("SCOTT_T2.sql") + "\nReplace them?");
    EXPECT_EQ(readFile(dir.path("SCOTT_T2.sql")), agree ? "CREATE TABLE \"T2\" (\"A\" NUMBER);\r\n" : "kept");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path("SCOTT_Tables.sql")));

  // A real dump in a character set of its own: the definition shows in that set.
  open(*w, std::string(VELMARON_TEST_DATA) + "/dumps/FuhuaZhang__MovieDB__EXPDAT.dmp");
  tree->setCurrentItem(tree->findItems("MOVIEUNDERCARRIAGE", Qt::MatchExactly | Qt::MatchRecursive).value(0));
  EXPECT_TRUE(
      find<QPlainTextEdit>(*w, "MmDDlText")->toPlainText().endsWith("where IsAlive = '\u4E0B\u67B6';\n"));
}

// Names in a dump or an analysis file choose the files Export DDL writes. A name in a
// single-byte character set (no UTF-8) names a file the window must still see before it is
// replaced, and a name that makes the dump's own file name is refused before anything is removed.
TEST_F(WindowTest, ExportDdlAsksBeforeReplacingFilesOfAnyNameAndNeverWritesOverTheDump) {
  const std::string latin = "T\xC9";  // "TE" with an acute accent, in Latin-1
  {
    std::ofstream(dir.path("l.dmp")) << "CREATE TABLE X (A NUMBER)\n";
    dumpfile::TExpFileRoot root;
    root.SetDumpFileName(dir.path("l.dmp"));
    auto owner = std::make_unique<dumpfile::TExpFileUser>();
    owner->SetName("SCOTT");
    owner->SetKind(dumpfile::kKindUsers);
    dumpfile::TExpFileNode* table = root.AddUser(std::move(owner))->AddNode(latin, dumpfile::kKindTables);
    table->SetStartOffset(0);
    table->SetLength(26);
    dumpfile::TSavedfp saver(dir.path("l.adf"), root, nullptr, nullptr);
    saver.Execute();
    ASSERT_EQ(root.Message(), "");
  }
  auto w = newWindow();
  open(*w, dir.path("l.adf"));
  auto* tree = find<QTreeWidget>(*w, "Tvdumpfile");
  auto select = [&](const QString& caption) {
    QTreeWidgetItem* item = tree->findItems(caption, Qt::MatchExactly | Qt::MatchRecursive).value(0);
    ASSERT_NE(item, nullptr) << caption.toStdString();
    tree->setCurrentItem(item);
  };
  const std::string latinFile = dir.path("SCOTT_" + latin + ".sql");
  std::ofstream(latinFile) << "kept";
  select(QStringLiteral("T\uFFFD"));
  script.paths.push_back(QString::fromStdString(dir.path()));
  script.answers = {false};
  script.messages.clear();
  find(*w, "AcExportDDL")->trigger();
  ASSERT_FALSE(script.messages.empty());
  EXPECT_TRUE(script.messages.back().startsWith("question: These files exist and will be replaced:\n"));
  EXPECT_EQ(readFile(latinFile), "kept");

  const std::string dump = dir.path("SCOTT_T1.sql");
  {
    dumpbuilder::DumpWriter d(dump, dumpbuilder::Mode::Users, "SCOTT", dumpbuilder::Endings::Lf, 1);
    d.header(0x1F, "V09.02.00");
    d.connect("SCOTT");
    for (const char* table : {"T1", "END"}) d.create(dumpbuilder::Head::Table, table, "(\"A\" NUMBER)");
    d.finish();
  }
  const std::string dumpBytes = readFile(dump);
  open(*w, dump);
  select(QStringLiteral("T1"));
  script.paths.push_back(QString::fromStdString(dir.path()));
  script.answers = {true};
  script.messages.clear();
  find(*w, "AcExportDDL")->trigger();
  ASSERT_FALSE(script.messages.empty());
  EXPECT_EQ(script.messages.back().toStdString(), "error: Can not write over the dump file itself: " + dump);
  EXPECT_EQ(readFile(dump), dumpBytes);
}

TEST_F(WindowTest, SettingsAndOptionsRoundTripThroughTheFileWithTheirRules) {
  // Values from the file: a task count that is no number, and one below 1.
  std::filesystem::create_directories(dir.path("config/velmaron"));
  for (const auto& [stored, read] : std::vector<std::pair<std::string, int>>{{"abc", 5}, {"0", 1}, {"", 5}}) {
    std::ofstream(dir.path("config/velmaron/velmaron.conf"))
        << "[General]\nmaxtasks=" << stored << "\ntmpdir=" << dir.path("nowhere")
        << "\ntipsatstartup=false\n";
    auto w = newWindow();
    EXPECT_EQ(Settings().maxtasks, read) << stored;
    EXPECT_EQ(Settings().expcmd, "exp");
    EXPECT_FALSE(Settings().tipsatstartup);
    // A missing work folder becomes this user's private one.
    EXPECT_EQ(std::filesystem::status(Settings().tmpdir).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
  }
  auto w = newWindow();
  const std::string exp = dir.path("exp");
  std::ofstream(exp) << "#!/bin/sh\n";
  std::filesystem::permissions(exp, std::filesystem::perms::owner_all);
  // Each wrong value is said and keeps the dialog open; the values pass only when all are right.
  script.dialogs["FrmSysOption"] = [&](QDialog& d) {
    auto set = [&](const char* edit, const std::string& text) {
      d.findChild<QLineEdit*>(edit)->setText(QString::fromStdString(text));
    };
    const std::vector<std::array<std::string, 3>> tries = {
        {"EdExpcmd", "", "The export program can not be empty."},
        {"EdExpcmd", dir.path("none/exp"),
         "The export program does not exist or can not be run: " + dir.path("none/exp")},
        {"EdExpcmd", "  " + exp + " ", "The work directory does not exist: " + dir.path("nowhere")},
        {"Edtmpdir", dir.path(), "Max tasks must be a whole number of at least 1: abc"},
        {"edmaxtasks", "0", "Max tasks must be a whole number of at least 1: 0"},
        {"edmaxtasks", "9", ""}};
    set("Edtmpdir", dir.path("nowhere"));
    set("edmaxtasks", "abc");
    for (const auto& [edit, text, said] : tries) {
      set(edit.c_str(), text);
      script.messages.clear();
      d.findChild<QPushButton*>("BtnOK")->click();
      EXPECT_EQ(script.messages, said.empty()
                                     ? std::vector<QString>{}
                                     : std::vector<QString>{"error: " + QString::fromStdString(said)});
      EXPECT_EQ(d.result() == QDialog::Accepted, said.empty()) << text;
    }
    return d.result();
  };
  find(*w, "AcModifySysoption")->trigger();
  EXPECT_EQ(Settings().maxtasks, 9);
  EXPECT_EQ(Settings().expcmd, exp);
  w->close();
  QSettings file(QString::fromStdString(SettingsFilePath()), QSettings::IniFormat);
  EXPECT_EQ(file.value("maxtasks").toString(), "9");
  EXPECT_EQ(file.value("tmpdir").toString().toStdString(), dir.path());
  EXPECT_EQ(file.value("program name").toString(), "Velmaron for Oracle");
  EXPECT_EQ(file.value("version").toString(), "1.2.0");

  for (const auto& [value, language, territory, charset] : std::vector<std::array<std::string, 4>>{
           {"AMERICAN_AMERICA.WE8ISO8859P1", "AMERICAN", "AMERICA", "WE8ISO8859P1"},
           {"AMERICAN", "American", "America", ""},
           {".ZHS16GBK", "American", "America", "ZHS16GBK"}}) {
    const ClientNls nls = ParseNlsLang(value);
    EXPECT_EQ(nls.language + "|" + nls.territory + "|" + nls.charset,
              language + "|" + territory + "|" + charset);
  }
}

// The parameter files hold the account, and the runs refuse to write them into a folder that
// others may change. Such a folder stored in the settings gives way to the user's private one at
// start, and the options refuse it when it is typed, instead of every run failing later.
TEST_F(WindowTest, AWorkFolderOthersMayWriteIsNeverTakenAsTheWorkFolder) {
  namespace fs = std::filesystem;
  const std::string shared = dir.path("shared");
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all);
  fs::create_directories(dir.path("config/velmaron"));
  std::ofstream(dir.path("config/velmaron/velmaron.conf")) << "[General]\ntmpdir=" << shared << "\n";
  auto w = newWindow();
  EXPECT_NE(Settings().tmpdir, shared);
  EXPECT_EQ(fs::status(Settings().tmpdir).permissions() & fs::perms::all, fs::perms::owner_all);
  const std::string own = Settings().tmpdir;

  script.dialogs["FrmSysOption"] = [&](QDialog& d) {
    d.findChild<QLineEdit*>("Edtmpdir")->setText(QString::fromStdString(shared));
    d.findChild<QPushButton*>("BtnOK")->click();
    EXPECT_NE(d.result(), QDialog::Accepted);
    return d.result();
  };
  script.messages.clear();
  find(*w, "AcModifySysoption")->trigger();
  EXPECT_EQ(script.messages,
            std::vector<QString>{QString::fromStdString(
                "error: The work directory must belong to you and be writable by you only: " + shared)});
  EXPECT_EQ(Settings().tmpdir, own);
}

// Paths are bytes: a work folder or program whose name is not UTF-8 comes back from the file as
// it was, where a text value would bring back other bytes (and so another folder, or none). Keys
// the program does not own stay, and UTF-8 values stay plain text a person can edit.
TEST_F(WindowTest, SettingsKeepPathsThatAreNotUtf8AndEveryOtherKey) {
  namespace fs = std::filesystem;
  const std::string odd = dir.path("caf\xe9-work");
  fs::create_directories(odd);
  fs::permissions(odd, fs::perms::owner_all);
  const std::string program =
      "/opt/or\xe1"
      "cle/bin/exp";
  fs::create_directories(dir.path("config/velmaron"));
  std::ofstream(SettingsFilePath()) << "[General]\nnote=kept\n[oracle]\nNLS_LANG=AMERICAN_AMERICA.UTF8\n";
  Settings().tmpdir = odd;
  Settings().expcmd = program;
  Settings().impcmd = "/opt/oracle/bin/imp";
  ASSERT_TRUE(WriteSettings());
  ReadSettings(ToolNames{});
  EXPECT_EQ(Settings().tmpdir, odd);
  EXPECT_EQ(Settings().expcmd, program);
  EXPECT_EQ(Settings().impcmd, "/opt/oracle/bin/imp");
  EXPECT_EQ(CurrentNlsLang(), "AMERICAN_AMERICA.UTF8");
  EXPECT_EQ(QSettings(QString::fromStdString(SettingsFilePath()), QSettings::IniFormat).value("note"),
            "kept");
  EXPECT_NE(readFile(SettingsFilePath()).find("impcmd=/opt/oracle/bin/imp\n"), std::string::npos);
}

// Texts that are UTF-8 but read like the stored form of bytes, or of a list, come back as the same
// texts: a program path a person wrote that way is never read as other bytes.
TEST_F(WindowTest, SettingsTextsThatLookLikeStoredBytesComeBackAsTexts) {
  std::filesystem::create_directories(dir.path("config/velmaron"));
  for (const std::string& text :
       {std::string("@ByteArray(/opt/bin/exp)"), std::string("@Variant(AAAA)"), std::string("@@x"),
        std::string("/opt/a, b/exp"), std::string(" /opt/exp "), std::string("/opt/\x41\\exp;\"")}) {
    Settings().expcmd = text;
    ASSERT_TRUE(WriteSettings()) << text;
    Settings().expcmd.clear();
    ReadSettings(ToolNames{});
    EXPECT_EQ(Settings().expcmd, text);
  }
}

// Two programs save into one settings file at once, the one its own settings and the other its
// character set, over and over: the file stays readable, each one's last values are in it, and a
// key neither owns stays too.
TEST_F(WindowTest, TwoProgramsSavingSettingsAtOnceLoseNeithersValues) {
  std::filesystem::create_directories(dir.path("config/velmaron"));
  std::ofstream(SettingsFilePath()) << "[General]\nnote=kept\n";
  Settings().tmpdir = dir.path();
  const auto saver = [](bool settings) {
    const pid_t child = ::fork();
    if (child != 0) return child;
    bool ok = true;
    for (int i = 1; i <= 25; ++i) {
      Settings().maxtasks = i;
      ok = ok && (settings ? WriteSettings() : StoreNlsLang("AMERICAN_AMERICA.CHARSET" + std::to_string(i)));
    }
    ::_exit(ok ? 0 : 1);
  };
  const pid_t savers[] = {saver(true), saver(false)};
  for (pid_t child : savers) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  QSettings file(QString::fromStdString(SettingsFilePath()), QSettings::IniFormat);
  EXPECT_EQ(file.status(), QSettings::NoError);
  EXPECT_EQ(file.value("maxtasks").toString(), "25");
  EXPECT_EQ(file.value("oracle/NLS_LANG").toString(), "AMERICAN_AMERICA.CHARSET25");
  EXPECT_EQ(file.value("note").toString(), "kept");
}

// A file of another program is the user's mistake: a warning, not an error. The dialogs open
// where the user last chose something, else in the home folder, never in the program's folder.
TEST_F(WindowTest, AForeignTaskFileIsAWarningAndDialogsOpenWhereTheUserWasLast) {
  auto w = newWindow();
  std::ofstream(dir.path("foreign.etf"), std::ios::binary) << std::string(1924, '\0');
  script.paths.push_back(QString::fromStdString(dir.path("foreign.etf")));
  find(*w, "AcLoadTask")->trigger();
  EXPECT_EQ(script.messages.back(), "warning: illegal import file!");
  EXPECT_EQ(script.folders, std::vector<QString>{QString()});  // the default place

  NoteDialogChoice(QString::fromStdString(dir.path("foreign.etf")));
  EXPECT_EQ(DefaultDialogFolder().toStdString(), dir.path());
  std::filesystem::create_directory(dir.path("sub"));
  NoteDialogChoice(QString::fromStdString(dir.path("sub")));
  EXPECT_EQ(DefaultDialogFolder().toStdString(), dir.path("sub"));
  std::filesystem::remove(dir.path("sub"));
  EXPECT_EQ(DefaultDialogFolder(), QDir::homePath());
}

TEST_F(WindowTest, TipsGoRoundAndUncheckingThemIsKeptForTheNextStart) {
  auto w = newWindow();
  find(*w, "MnuTips")->trigger();
  auto* tips = find<QDialog>(*w, "FrmTips");
  auto* tip = find<QTextEdit>(*tips, "RichEdit1");
  const QString first = tip->toPlainText();
  for (int i = 0; i < 9; ++i) {
    find<QPushButton>(*tips, "BtnNext")->click();
    EXPECT_EQ(tip->toPlainText() == first, i == 8) << i;
  }
  QTest::mouseClick(find<QCheckBox>(*tips, "CkbShowTips"), Qt::LeftButton);
  w->close();
  EXPECT_FALSE(QSettings(QString::fromStdString(SettingsFilePath()), QSettings::IniFormat)
                   .value("tipsatstartup")
                   .toBool());
}

TEST_F(WindowTest, CharacterSetDialogListsNamedSetsAndStoresOnlyAChange) {
  auto w = newWindow();
  const std::string chosen = "WE8ISO8859P1";
  script.dialogs["frmchangenls"] = [&](QDialog& d) {
    auto* list = d.findChild<QComboBox*>("cmbnewclientnls");
    EXPECT_EQ(list->currentText(), "US7ASCII");
    EXPECT_EQ(d.findChild<QLabel*>("lbnlsdescription")->text(), "ASCII 7-bit American");
    EXPECT_EQ(d.findChild<QLabel*>("lbclientnls")->text().toStdString(), ClientCharset().charset);
    int hungarian = 0;
    for (int i = 0; i < list->count(); ++i) {
      EXPECT_FALSE(list->itemText(i).trimmed().isEmpty()) << i;
      hungarian += list->itemText(i) == "HU8ABMOD";
    }
    EXPECT_EQ(hungarian, 2);
    list->setCurrentIndex(list->findText(QString::fromStdString(chosen)));
    return QDialog::Accepted;
  };
  find(*w, "Acchangeregnls")->trigger();
  EXPECT_EQ(CurrentNlsLang(), "AMERICAN_AMERICA.WE8ISO8859P1");
  QSettings(QString::fromStdString(SettingsFilePath()), QSettings::IniFormat).remove("oracle/NLS_LANG");
  // The set already chosen again: nothing is written.
  find(*w, "Acchangeregnls")->trigger();
  EXPECT_EQ(CurrentNlsLang(), "AMERICAN_AMERICA.US7ASCII");
}

// A settings file damaged while the program runs (by hand, or by another program) is read as
// far as it can be and written whole again: the character-set change and the close store their
// values and say nothing of a failure. A write that does fail is still said, and the character
// set shown stays the stored one.
TEST_F(WindowTest, ADamagedSettingsFileIsWrittenAgainAndOnlyARealFailureIsSaid) {
  namespace fs = std::filesystem;
  fs::create_directories(dir.path("config/velmaron"));
  const auto damage = [] {
    std::ofstream(SettingsFilePath())
        << "[General]\nmaxtasks=3\n[oracle]\nNLS_LANG=AMERICAN_AMERICA.US7ASCII\n[Gen";
  };
  auto choose = [&](const char* set) {
    script.dialogs["frmchangenls"] = [set](QDialog& d) {
      auto* list = d.findChild<QComboBox*>("cmbnewclientnls");
      list->setCurrentIndex(list->findText(set));
      return int(QDialog::Accepted);
    };
  };
  auto w = newWindow();
  damage();
  script.messages.clear();
  choose("WE8ISO8859P1");
  find(*w, "Acchangeregnls")->trigger();
  EXPECT_EQ(ClientCharset().charset, "WE8ISO8859P1");
  EXPECT_EQ(CurrentNlsLang(), "AMERICAN_AMERICA.WE8ISO8859P1");
  damage();
  Settings().maxtasks = 4;
  w->close();
  w.reset();
  EXPECT_EQ(script.messages, std::vector<QString>{});
  {
    QSettings file(QString::fromStdString(SettingsFilePath()), QSettings::IniFormat);
    EXPECT_EQ(file.status(), QSettings::NoError);
    EXPECT_EQ(file.value("maxtasks").toString(), "4");
  }

  // The same damage, and a write that cannot replace the file: no room for a single byte.
  auto again = newWindow();
  damage();
  script.messages.clear();
  choose("UTF8");
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit full = limit;
  limit.rlim_cur = 0;
  ::setrlimit(RLIMIT_FSIZE, &limit);
  find(*again, "Acchangeregnls")->trigger();
  ::setrlimit(RLIMIT_FSIZE, &full);
  EXPECT_EQ(script.messages.size(), 1u);
  EXPECT_TRUE(!script.messages.empty() && script.messages[0].startsWith("error: Save to Registry error"));
  EXPECT_EQ(ClientCharset().charset, "US7ASCII");
}

// A settings file found damaged at the start (a line of zero bytes where the disk lost a block):
// the user is told, what could be read is used, and the file as it was is kept before the close
// writes it whole again without the damaged line.
TEST_F(WindowTest, ASettingsFileDamagedAtTheStartIsSaidAndKeptAsItWasBeforeItIsWrittenAgain) {
  namespace fs = std::filesystem;
  fs::create_directories(dir.path("config/velmaron"));
  const std::string damaged = "[General]\nexpcmd=/opt/oracle/bin/exp\n" + std::string(64, '\0') +
                              "\nmaxtasks=3\nimpcmd=/opt/oracle/bin/imp\n";
  std::ofstream(SettingsFilePath(), std::ios::binary) << damaged;
  {
    auto w = newWindow();
    EXPECT_EQ(Settings().expcmd, "/opt/oracle/bin/exp");
    EXPECT_EQ(Settings().maxtasks, 3);
    EXPECT_EQ(Settings().impcmd, "/opt/oracle/bin/imp");
    ASSERT_EQ(script.messages.size(), 1u);
    EXPECT_TRUE(script.messages[0].startsWith(QString::fromStdString(
        "warning: The settings file " + SettingsFilePath() + " could not be read whole")))
        << script.messages[0].toStdString();
    w->close();
  }
  std::vector<std::string> kept;
  for (const auto& entry : fs::directory_iterator(dir.path("config/velmaron")))
    if (entry.path().filename().string().starts_with("velmaron.conf.damaged-")) kept.push_back(entry.path());
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(script.messages[0].contains(QString::fromStdString(kept[0])));
  EXPECT_EQ(readFile(kept[0]), damaged);
  QSettings file(QString::fromStdString(SettingsFilePath()), QSettings::IniFormat);
  EXPECT_EQ(file.status(), QSettings::NoError);
  EXPECT_EQ(file.value("expcmd").toString(), "/opt/oracle/bin/exp");

  // Read whole at the next start: nothing is said, and no further copy is made.
  script.messages.clear();
  auto w = newWindow();
  EXPECT_TRUE(script.messages.empty());
  size_t copies = 0;
  for (const auto& entry : fs::directory_iterator(dir.path("config/velmaron")))
    copies += entry.path().filename().string().starts_with("velmaron.conf.damaged-");
  EXPECT_EQ(copies, 1u);
}

TEST_F(WindowTest, SecondInstanceHandsOverAndTheFirstComesBack) {
  auto first = newWindow();
  first->show();
  first->showMinimized();
  ASSERT_TRUE(first->isMinimized());
  TFrmMain second(instance);
  EXPECT_TRUE(second.HandedOver());
  QTRY_VERIFY_WITH_TIMEOUT(!first->isMinimized() && first->isVisible(), 5000);
  // Closing the second window writes nothing: only the first one owns the settings.
  EXPECT_FALSE(std::filesystem::exists(SettingsFilePath()));
}

// Two starts at almost the same moment: each looked for a running instance before the other
// listened. The one that comes to listen second finds the first one's socket answering: it leaves
// that socket alone and hands over, so that later starts still reach the first window. A socket
// that nobody answers on any more (its instance ended without removing it) is taken over.
TEST_F(WindowTest, ListeningLeavesAnAnsweringInstancesSocketAndTakesOverAStaleOne) {
  const QString name = QString::fromStdString(dir.path("instance"));
  bool handedOver = false;
  {
    platform::ChildProcess first(platform::ProcessSpec{VELMARON_PYTHON,
                                                       {"-c",
                                                        "import socket, sys\n"
                                                        "s = socket.socket(socket.AF_UNIX)\n"
                                                        "s.bind(sys.argv[1])\n"
                                                        "s.listen(8)\n"
                                                        "print('listening', flush=True)\n"
                                                        "sys.stdin.read()\n",
                                                        name.toStdString()},
                                                       "",
                                                       true});
    std::string said;
    for (char c = 0; said.find('\n') == std::string::npos && first.readOutput(&c, 1) == 1;) said += c;
    ASSERT_EQ(said, "listening\n");
    std::unique_ptr<QLocalServer> second(ListenForLaterInstances(name, nullptr, handedOver));
    EXPECT_EQ(second, nullptr) << "the second start took the name from the first";
    EXPECT_TRUE(handedOver);
    // A later start reaches the first one, through the socket it made.
    QLocalSocket later;
    later.connectToServer(name);
    EXPECT_TRUE(later.waitForConnected(2000));
    later.abort();
    first.closeInput();
    first.wait();
  }
  ASSERT_TRUE(std::filesystem::exists(name.toStdString())) << "the first start's socket was removed";
  std::unique_ptr<QLocalServer> next(ListenForLaterInstances(name, nullptr, handedOver));
  ASSERT_NE(next, nullptr);
  EXPECT_FALSE(handedOver);
  QString error;
  EXPECT_TRUE(HandOverToRunningInstance(name, error));
  EXPECT_TRUE(QTest::qWaitFor([&] { return next->hasPendingConnections(); }, 5000));
}

// A running instance that does not answer a later start: one that takes the connection and closes
// it, one that closes its socket with the connection still waiting, one that takes it and says
// nothing, one whose queue holds it untaken, and one whose queue is full; and another program
// that listens under the name and answers something else. The later start says
// why it could not hand over, ends without building anything, and leaves that instance its name.
TEST_F(WindowTest, ASecondStartThatIsNotAnsweredSaysSoAndEnds) {
  const char* fake =
      "import select, socket, sys\n"
      "path, how = sys.argv[1], sys.argv[2]\n"
      "s = socket.socket(socket.AF_UNIX)\n"
      "s.bind(path)\n"
      "s.listen(0 if how in ('queued', 'full') else 8)\n"
      "if how == 'full':\n"
      "    filler = socket.socket(socket.AF_UNIX)\n"
      "    filler.connect(path)\n"
      "print('listening', flush=True)\n"
      "if how == 'close-unaccepted':\n"
      "    select.select([s], [], [])\n"
      "    s.close()\n"
      "elif how in ('close-accepted', 'silent', 'stranger'):\n"
      "    c, _ = s.accept()\n"
      "    if how == 'stranger': c.sendall(b'HTTP/1.0 200 OK')\n"
      "    if how != 'silent': c.close()\n"
      "print('done', flush=True)\n"
      "sys.stdin.read()\n";
  const QString closed =
      "error: Error on ActivatePreviousInstance: The running Velmaron for Oracle closed the "
      "connection without answering it.";
  const QString silent =
      "error: Error on ActivatePreviousInstance: The running Velmaron for Oracle did not "
      "answer within 1.5 seconds; it may be hung.";
  const QString untaken =
      "error: Error on ActivatePreviousInstance: The running Velmaron for Oracle did not take "
      "the connection within 1.5 seconds; it may be hung.";
  auto stranger = [](const QString& name) {
    return "error: Error on ActivatePreviousInstance: The program listening under " + name +
           " did not answer as Velmaron for Oracle does.";
  };
  struct Case {
    const char* how;
    QString shown;
    std::chrono::milliseconds wait;
  };
  for (const Case& c :
       {Case{"close-accepted", closed, kHandOverWait}, Case{"close-unaccepted", closed, kHandOverWait},
        Case{"silent", silent, std::chrono::milliseconds(1500)},
        Case{"queued", silent, std::chrono::milliseconds(1500)},
        Case{"full", untaken, std::chrono::milliseconds(1500)}, Case{"stranger", QString(), kHandOverWait}}) {
    SCOPED_TRACE(c.how);
    const QString name = QString::fromStdString(dir.path(std::string("instance-") + c.how));
    platform::ChildProcess instance(
        platform::ProcessSpec{VELMARON_PYTHON, {"-c", fake, name.toStdString(), c.how}, "", true});
    auto line = [&] {
      std::string said;
      for (char ch = 0; said.find('\n') == std::string::npos && instance.readOutput(&ch, 1) == 1;) said += ch;
      return said;
    };
    ASSERT_EQ(line(), "listening\n");
    script.messages.clear();
    TFrmMain second(name, c.wait);
    EXPECT_EQ(script.messages, std::vector<QString>{c.shown.isEmpty() ? stranger(name) : c.shown});
    EXPECT_FALSE(second.HandedOver());
    EXPECT_FALSE(second.Started());
    EXPECT_EQ(second.findChild<QAction*>("AcNewExp"), nullptr) << "the second start built its window";
    EXPECT_EQ(line(), "done\n");
    EXPECT_TRUE(std::filesystem::exists(name.toStdString())) << "the second start removed the socket";
    instance.closeInput();
    instance.wait();
  }
}

// The program itself as the running instance. A later start hands over to it and ends, without a
// word; while it is stopped (hung), a later start says it did not answer and ends, and once it
// goes on it answers the next one; after it was killed, its socket is stale and a later start
// takes the name and runs.
TEST_F(WindowTest, ASecondStartHandsOverToTheRunningProgramOrSaysWhyNotAndTakesOverFromADeadOne) {
  std::filesystem::create_directories(dir.path("run"));
  std::filesystem::permissions(dir.path("run"), std::filesystem::perms::owner_all);
  qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(dir.path("run")));
  platform::ScopeExit unset([] { qunsetenv("XDG_RUNTIME_DIR"); });
  const QString name = InstanceName();
  ASSERT_TRUE(name.startsWith(QString::fromStdString(dir.path("run/")))) << name.toStdString();
  platform::ChildProcess program(platform::ProcessSpec{VELMARON_PROGRAM, {}, "", false});
  QString error;
  bool reached = false;
  for (int waited = 0; !reached && waited < 120000; waited += 100) {
    reached = HandOverToRunningInstance(name, error);
    if (!reached) QThread::msleep(100);
  }
  ASSERT_TRUE(reached) << "the program did not come to listen";
  EXPECT_EQ(error, "");

  {
    TFrmMain second(name);
    EXPECT_TRUE(second.HandedOver());
    EXPECT_FALSE(second.Started());
    EXPECT_EQ(script.messages, std::vector<QString>{});
  }

  ASSERT_EQ(::kill(program.pid(), SIGSTOP), 0);
  {
    TFrmMain second(name, std::chrono::milliseconds(1500));
    EXPECT_FALSE(second.HandedOver());
    EXPECT_FALSE(second.Started());
    EXPECT_EQ(
        script.messages,
        std::vector<QString>{"error: Error on ActivatePreviousInstance: The running Velmaron for Oracle did "
                             "not answer within 1.5 seconds; it may be hung."});
  }
  ASSERT_EQ(::kill(program.pid(), SIGCONT), 0);
  // It answers the start that gave up into a closed connection, and lives on to answer the next.
  EXPECT_TRUE(HandOverToRunningInstance(name, error));
  EXPECT_EQ(error, "");

  program.terminate();
  const platform::ProcessExit killed = program.wait();
  EXPECT_EQ(killed.signal, SIGKILL);
  ASSERT_TRUE(std::filesystem::exists(name.toStdString())) << "no stale socket to start over";
  script.messages.clear();
  TFrmMain next(name);
  EXPECT_TRUE(next.Started());
  EXPECT_FALSE(next.HandedOver());
  EXPECT_EQ(script.messages, std::vector<QString>{});
  EXPECT_TRUE(HandOverToRunningInstance(name, error)) << "the name was not taken over";
  EXPECT_EQ(error, "");
}

// The running program while a box of its own is open (the warning on a damaged settings file,
// which nobody closes here): the box's loop answers a later start at once, and the program lives on
// to answer the next one.
TEST_F(WindowTest, ARunningProgramWithABoxOpenAnswersALaterStart) {
  namespace fs = std::filesystem;
  fs::create_directories(dir.path("run"));
  fs::permissions(dir.path("run"), fs::perms::owner_all);
  qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(dir.path("run")));
  platform::ScopeExit unset([] { qunsetenv("XDG_RUNTIME_DIR"); });
  fs::create_directories(dir.path("config/velmaron"));
  std::ofstream(SettingsFilePath(), std::ios::binary) << "[General]\n" + std::string(64, '\0') + "\n";
  const QString name = InstanceName();
  platform::ChildProcess program(platform::ProcessSpec{VELMARON_PROGRAM, {}, "", false});
  platform::ScopeExit end([&] {
    program.terminate();
    program.wait();
  });
  // The damaged file is kept just before the box opens; from then on only the box's loop runs.
  auto kept = [&] {
    for (const auto& entry : fs::directory_iterator(dir.path("config/velmaron")))
      if (entry.path().filename().string().starts_with("velmaron.conf.damaged-")) return true;
    return false;
  };
  for (int waited = 0; !kept() && waited < 120000; waited += 100) QThread::msleep(100);
  ASSERT_TRUE(kept()) << "the program did not come to its box";

  script.messages.clear();
  {
    TFrmMain second(name);
    EXPECT_TRUE(second.HandedOver());
    EXPECT_FALSE(second.Started());
    EXPECT_EQ(script.messages, std::vector<QString>{});
  }
  QString error;
  EXPECT_TRUE(HandOverToRunningInstance(name, error));
  EXPECT_EQ(error, "");
}

// Another program of this user on the same data folder that the hand-over does not reach (its
// runtime folder differs): here a process that holds the store as a program does.
TEST_F(WindowTest, AStoreInUseByAnotherProgramStopsTheStartWithAClearError) {
  const std::string lockFile = dir.path("data/velmaron/db.lock");
  std::filesystem::create_directories(dir.path("data/velmaron"));
  {
    platform::ChildProcess holder(platform::ProcessSpec{VELMARON_PYTHON,
                                                        {"-c",
                                                         "import fcntl, sys\n"
                                                         "f = open(sys.argv[1], 'a')\n"
                                                         "fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
                                                         "print('held', flush=True)\n"
                                                         "sys.stdin.read()\n",
                                                         lockFile},
                                                        "",
                                                        true});
    std::string said;
    for (char c = 0; said.find('\n') == std::string::npos && holder.readOutput(&c, 1) == 1;) said += c;
    ASSERT_EQ(said, "held\n");
    TFrmMain refused(instance);
    EXPECT_FALSE(refused.Started());
    ASSERT_EQ(script.messages.size(), 1u);
    EXPECT_TRUE(script.messages[0].startsWith("error: System error while starting Velmaron for Oracle."));
    EXPECT_TRUE(script.messages[0].contains("in use by another Velmaron for Oracle"))
        << script.messages[0].toStdString();
  }
  // The holder gone, however it ended, the program starts.
  script.messages.clear();
  auto w = newWindow();
  EXPECT_TRUE(script.messages.empty());
}

}  // namespace
}  // namespace ui

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
