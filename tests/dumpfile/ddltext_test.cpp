#include "dumpfile/ddltext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>

#include "dumpfile/u_saveobjddl.h"
#include "platform/textfile.h"
#include "tests/dumpfile/dumpfile_test_util.h"

namespace dumpfile {
namespace {

using dumpbuilder::Head;
using testing::TempFolderTest;
namespace fs = std::filesystem;

// Definition files of whole dumps: read with the reader, written as Export DDL on the top node.
class DefinitionScriptTest : public TempFolderTest {
 protected:
  std::map<std::string, std::string> exportAll(const std::string& dump) {
    TExpFileRoot root;
    testing::readDump(root, dump);
    tree_ = dumpbuilder::treeLines(root);
    const fs::path out = dir_ / fs::path(dump).stem() += "_ddl";
    fs::create_directories(out);
    root.SetOutputDir(out.string());
    SelectAllKinds(root);
    TSaveObjDDl writer(root, nullptr, nullptr);
    writer.Execute();
    EXPECT_EQ(root.Message(), kSaveObjDdlDone);
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(out))
      files[e.path().filename().string()] = readFile(e.path());
    return files;
  }
  std::vector<std::string> tree_;
};

TEST_F(DefinitionScriptTest, ProgramsAndViewsInPiecesBecomeStatementsThatSqlplusRuns) {
  dumpbuilder::DumpWriter w(path("own.dmp"), dumpbuilder::Mode::Users, "SCOTT", dumpbuilder::Endings::Lf, 1);
  w.header(0x001F, "V10.02.01");
  w.connect("SCOTT");
  w.create(Head::Table, "EMP", "(\"A\" NUMBER)");
  w.line("METRICEU 1");
  w.rows(300);
  // Pieces of 10 bytes: their lengths begin with the byte of a line feed.
  w.view("V", "(\"A\")", {"SELECT a,", "   1 AS b", "", "  FROM emp -- all"});
  w.storedUnit(Head::Procedure, "P", {"IS", "BEGIN", "  NULL; -- \xC3\xA9", "", "END;"});
  w.other("EXIT");
  const dumpbuilder::Expected expected = w.finish();

  const auto files = exportAll(path("own.dmp"));
  EXPECT_EQ(tree_, dumpbuilder::nodeLines(expected));  // the ranges stay as the builder laid them
  EXPECT_EQ(files.at("SCOTT_Tables.sql"), "CREATE TABLE \"EMP\" (\"A\" NUMBER);\r\n");
  EXPECT_EQ(files.at("SCOTT_Views.sql"),
            "CREATE VIEW \"V\" (\"A\") AS \r\nSELECT a,\r\n   1 AS b\r\n  FROM emp -- all\r\n;\r\n");
  EXPECT_EQ(files.at("SCOTT_Procedures.sql"),
            "CREATE PROCEDURE P\r\nIS\r\nBEGIN\r\n  NULL; -- \xC3\xA9\r\n\r\nEND;\r\n/\r\n");
}

// The tree and the files agree: every object the reader found has its definition written, for
// heads that follow row data on their line too (an index right after its table's rows).
TEST_F(DefinitionScriptTest, EveryObjectOfTheTreeHasItsDefinitionInItsFile) {
  const uint64_t seed = testing::testSeed(5);
  for (const dumpbuilder::Shape shape : {dumpbuilder::Shape::Statements, dumpbuilder::Shape::Mixed}) {
    dumpbuilder::Options o;
    o.shape = shape;
    o.seed = seed;
    o.targetSize = 400 << 10;
    const std::string dump = path("s" + std::to_string(int(shape)) + ".dmp");
    dumpbuilder::buildDump(dump, o);
    TExpFileRoot root;
    testing::readDump(root, dump);
    const fs::path out = dir_ / ("ddl" + std::to_string(int(shape)));
    fs::create_directories(out);
    root.SetOutputDir(out.string());
    SelectAllKinds(root);
    TSaveObjDDl writer(root, nullptr, nullptr);
    writer.Execute();
    ASSERT_EQ(root.Message(), kSaveObjDdlDone);

    const std::string bytes = readFile(dump);
    std::map<std::string, std::string> files;
    int objects = 0;
    ForEachNode(root, [&](const TExpFileNode& node, const TExpFileUser* owner) {
      if (node.StartOffset() < 0 || node.Length() <= 0) return;
      ++objects;
      const std::string file = owner == nullptr ? DefinitionFileName(out.string(), node.Kind())
                               : &node == owner
                                   ? DefinitionFileName(out.string(), kKindUsers)
                                   : DefinitionFileName(out.string(), owner->Name(), node.Kind());
      const std::string script =
          DdlScript(std::string_view(bytes).substr(size_t(node.StartOffset()), size_t(node.Length())));
      EXPECT_NE(script.find(node.Name()), std::string::npos) << node.Name() << " seed " << seed;
      if (!files.contains(file)) files[file] = readFile(file);
      EXPECT_NE(files[file].find(platform::NormalizeLineBreaks(script)), std::string::npos) << node.Name();
    });
    EXPECT_GT(objects, 400);
  }
}

// Only the line the reader took for the head is read as the reader reads it; row data elsewhere
// in the range stays out even when its text spells a statement.
TEST(DdlStatementsTest, TheHeadIsTheFirstStatementWhateverTheReaderDroppedBeforeIt) {
  auto texts = [](std::string_view bytes) {
    std::vector<std::string> out;
    for (const DdlStatement& s : DdlStatements(bytes)) out.push_back(s.text);
    return out;
  };
  using Texts = std::vector<std::string>;
  EXPECT_EQ(texts("\x0e\xb9"
                  "CREATE INDEX \"IX\" ON \"T\" (\"A\" )\r\n"),
            Texts{"CREATE INDEX \"IX\" ON \"T\" (\"A\" )"});
  EXPECT_EQ(texts(std::string_view("\x01\x00\n\x7f  CRE\x00"
                                   "ATE TABLE \"T\" (A NUMBER)\n",
                                   35)),
            Texts{"  CREATE TABLE \"T\" (A NUMBER)"});
  EXPECT_EQ(texts("\n\x05\xc3"
                  "CREATE USER \"U\" IDENTIFIED BY VALUES 'X'\n\x0e\xb9"
                  "DROP TABLE \"T\"\n"),
            Texts{"CREATE USER \"U\" IDENTIFIED BY VALUES 'X'"});
  // The last row of a table ends in the numbers 9 (C1 0A, whose 0A ended the reader's last line)
  // and 1, the end of the rows and a line break: what is left of it reads like a piece (length 2,
  // C1 02) and an empty one, but it lies before the head and is no statement.
  EXPECT_EQ(texts(std::string_view("\x02\x00\xc1\x02\x00\x00\xff\xff\n"
                                   "CREATE INDEX \"IX\" ON \"T\" (\"A\" )\n",
                                   41)),
            Texts{"CREATE INDEX \"IX\" ON \"T\" (\"A\" )"});
  // A unit held in pieces after such a tail: its pieces begin at their marker, just before the
  // head, whichever bytes come before the marker.
  using namespace std::string_view_literals;
  for (const std::string_view tail :
       {""sv, "\xc0"sv, "\x02\xc9\x03"sv, "\x02\x00\xc1\x02\x00\x00\xff\xff\n"sv}) {
    const std::string unit = std::string(tail) + std::string(
                                                     "\xfd\xff\x07\x00"
                                                     "CREATE \x0b\x00"
                                                     "PROCEDURE P\x04\x00"
                                                     "\nIS \x0b\x00"
                                                     "BEGIN NULL;\x05\x00"
                                                     " END;\x00\x00\n",
                                                     53);
    EXPECT_EQ(texts(unit), Texts{"CREATE PROCEDURE P\nIS BEGIN NULL; END;"})
        << tail.size() << " bytes before";
  }
  // A head in pieces whose second length the reader keeps as a blank (a piece of 32 bytes).
  const std::string name(21, 'P');
  EXPECT_EQ(texts(std::string("\x01\xfd\xff\x07\x00"
                              "CREATE \x20\x00"
                              "PROCEDURE ",
                              24) +
                  name + std::string("\n\x14\x00IS BEGIN NULL; END;\n\x00\x00\n", 26)),
            Texts{"CREATE PROCEDURE " + name + "\nIS BEGIN NULL; END;"});
  // Row data whose last four bytes read as the pieces' marker and a length, before a head written
  // as a line: the head and the lines after it are read as the reader read them.
  for (const std::string_view tail : {"\xfd\xff\x05\x00"sv, "\x01\xfd\xff\x1e\x00"sv, "\xfd\xff\x10\x00"sv,
                                      "\xfd\xff\x7f\x00"sv, "\xfd\xff\x00\x01"sv, "\xfd\xff\x00\x00"sv}) {
    EXPECT_EQ(texts(std::string(tail) + "CREATE SEQUENCE \"S\" MINVALUE 1 MAXVALUE 99 INCREMENT BY 1\n"),
              Texts{"CREATE SEQUENCE \"S\" MINVALUE 1 MAXVALUE 99 INCREMENT BY 1"})
        << tail.size() << " bytes before";
    EXPECT_EQ(texts(std::string(tail) + "CREATE VIEW \"V\" (\"A\") AS \nSELECT \"A\" FROM \"T\"\n"),
              Texts{"CREATE VIEW \"V\" (\"A\") AS \nSELECT \"A\" FROM \"T\""})
        << tail.size() << " bytes before";
  }
  // The same before a table whose comment lines run on for more than the length that two letters
  // of the head make ("E " 8261 bytes): where that length ends lies an empty piece of the row data.
  {
    const std::string head = "CREATE TABLE \"T\" (\"A\" VARCHAR2(40))";
    Texts expected = {head};
    std::string lines = head + "\n";
    for (int i = 0;; ++i) {
      const std::string comment = "COMMENT ON COLUMN \"T\".\"A\" IS 'note " + std::to_string(i) + "'";
      if (lines.size() + comment.size() + 1 > 8268) break;
      expected.push_back(comment);
      lines += comment + "\n";
    }
    lines.resize(8268, ' ');
    lines += std::string("\x00\x00\x01\x00\n", 5);
    EXPECT_EQ(texts(std::string("\xfd\xff\x05\x00", 4) + lines), expected);
  }
  // A head in pieces that the range's end cuts inside its last piece (a dump that ends early) is
  // still read from its pieces: the blank that the reader keeps of the second length stays out.
  EXPECT_EQ(texts(std::string("\x01\xfd\xff\x07\x00"
                              "CREATE \x20\x00"
                              "PROCEDURE ",
                              24) +
                  name + std::string("\n\x1c\x00IS BEGIN NULL;", 17)),
            Texts{"CREATE PROCEDURE " + name + "\nIS BEGIN NULL;"});
  // Lines the reader takes for no head: no name, a longer word, a head behind 201 characters.
  EXPECT_EQ(texts("\x0e\xb9"
                  "CREATE INDEX\n"),
            Texts{});
  EXPECT_EQ(texts("\x0e\xb9"
                  "CREATEX TABLE \"T\"\n"),
            Texts{});
  EXPECT_EQ(texts("\x0e" + std::string(201, 'x') + "CREATE TABLE \"T\"\n"), Texts{});
  EXPECT_EQ(texts("\x0e\xb9"
                  "DROP TABLE \"T\"\n"),
            Texts{});
}

// Real dumps that no one here wrote.
TEST_F(DefinitionScriptTest, RealDumpsGiveStatementTextOnly) {
  const std::string dumps = std::string(VELMARON_TEST_DATA) + "/dumps/";
  auto files = exportAll(dumps + "Toriikk__SQL_STUDY__hr.dmp");
  files.merge(exportAll(dumps + "FuhuaZhang__MovieDB__EXPDAT.dmp"));
  for (const auto& [file, part] : std::vector<std::pair<std::string, std::string>>{
           {"FAFA_Procedures.sql",
            "CREATE procedure MemberRecharge(\r\nin_rechargeMoney"},  // cut before its end
           {"HR_Procedures.sql", "THEN\r\n\tRAISE_APPLICATION_ERROR (-20205,\r\n\t\t'You may only make"},
           {"HR_Procedures.sql", "  END IF;\r\nEND secure_dml;\r\n/\r\n"},
           {"HR_Indexes.sql", "LOGGING;\r\nBEGIN  DBMS_STATS.SET_INDEX_STATS(NULL,'\"DEPT_ID_PK\"'"}})
    EXPECT_NE(files.at(file).find(part), std::string::npos) << part;
  for (const auto& [file, text] : files)
    EXPECT_EQ(
        std::count_if(text.begin(), text.end(), [](char c) { return uint8_t(c) < 0x20 && !std::isspace(c); }),
        0)
        << file;
}

}  // namespace
}  // namespace dumpfile
