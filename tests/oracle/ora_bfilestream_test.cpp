// A BFILE field read through its stream in an Oracle query over the stand-in server.
#include "oracle/ora_bfilestream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "dataset/fields.h"
#include "oracle/ora_query.h"
#include "oracle/oraclasses.h"
#include "tests/oracle/oracle_testing.h"

namespace oracle {
namespace {

class BFileStreamTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder() = std::make_unique<platform::testing::TempFolder>();
    const std::filesystem::path seed = std::filesystem::path(ORACLE_TEST_SEED).parent_path() / "types.seed";
    testing::seedStandInServer(*folder(), seed.string());
    std::filesystem::create_directories(folder()->path("ORCL/directories/DOCS"));
    std::ofstream(folder()->path("ORCL/directories/DOCS/a.txt"), std::ios::binary) << "hello bfile";
    std::ofstream(folder()->path("ORCL/directories/DOCS/b.txt"), std::ios::binary) << "second";
    // A dataset needs a field class for the BFILE column; any blob field does for the stream.
    if (!dataset::CreateFieldOfType(dataaccess::ftBFile))
      dataset::RegisterFieldClass(dataaccess::ftBFile, [] { return std::make_unique<dataset::BlobField>(); });
  }
  static void TearDownTestSuite() {
    FreeOCI();
    folder().reset();
  }
  static std::unique_ptr<platform::testing::TempFolder>& folder() {
    static std::unique_ptr<platform::testing::TempFolder> server;
    return server;
  }
  void SetUp() override {
    session_.LoginPrompt = false;
    session_.SetUsername("scott");
    session_.SetPassword("tiger");
    session_.SetServer("ORCL");
    query_.SetSession(&session_);
  }
  void run(const std::string& sql) {
    query_.Close();
    query_.SetSQL(sql);
    query_.Execute();
  }
  static std::string readAll(TBFileStream& stream) {
    std::string text;
    char buffer[4];
    for (size_t n; (n = stream.Read(buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    return text;
  }

  TOraSession session_;
  TOraQuery query_;
};

TEST_F(BFileStreamTest, TheStreamOpensTheFileItReadsAndClosesItWhenTheBytesAreNotKept) {
  run("insert into files (id, f) values (1, bfilename('DOCS', 'a.txt'))");
  run("insert into files (id, f) values (2, bfilename('DOCS', 'missing.txt'))");
  run("insert into files (id, f) values (3, NULL)");
  run("insert into files (id, f) values (4, bfilename('DOCS', 'b.txt'))");
  query_.Close();
  query_.SetSQL("select id, f from files order by id");
  query_.Open();
  dataaccess::Field& field = query_.FieldByName("f");
  {
    TBFileStream stream(query_, field, dataset::bmRead);
    ASSERT_NE(stream.File(), nullptr);
    EXPECT_TRUE(stream.OpenedHere());
    EXPECT_TRUE(stream.File()->IsOpen());
    EXPECT_EQ(readAll(stream), "hello bfile");
  }
  {
    // The bytes are kept with the row, so the file stayed open: a second stream finds it so.
    TBFileStream again(query_, field, dataset::bmRead);
    EXPECT_FALSE(again.OpenedHere());
    again.Seek(6, dataset::soBeginning);
    EXPECT_EQ(readAll(again), "bfile");
  }
  query_.Next();
  {
    TBFileStream missing(query_, field, dataset::bmRead);
    EXPECT_FALSE(missing.OpenedHere());
    EXPECT_FALSE(missing.File()->IsOpen());
  }
  query_.Next();
  {
    TBFileStream null(query_, field, dataset::bmRead);
    EXPECT_FALSE(null.OpenedHere());
    EXPECT_EQ(readAll(null), "");
  }
  query_.Next();
  TOraFile* file = nullptr;
  {
    TBFileStream uncached(query_, field, dataset::bmRead);
    file = uncached.File();
    ASSERT_NE(file, nullptr);
    file->AddRef();
    file->Clear();  // the row's bytes came with the fetch; read them from the file instead
    file->SetCached(false);
    EXPECT_TRUE(uncached.OpenedHere());
    EXPECT_EQ(readAll(uncached), "second");
  }
  EXPECT_FALSE(file->IsOpen());
  file->Release();
}

}  // namespace
}  // namespace oracle
