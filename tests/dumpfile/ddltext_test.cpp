#include "dumpfile/ddltext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>

#include "dumpfile/u_saveobjddl.h"
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
