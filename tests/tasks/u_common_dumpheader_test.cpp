#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <random>
#include <string>

#include "tasks/u_common.h"
#include "tests/platform/temp_folder.h"
#include "tests/platform/test_seed.h"
#include "tools/dumpbuilder/dumpbuilder.h"

namespace tasks {
namespace {

using namespace std::string_literals;

// Dumps built with random rows of the whole table, users and modes read back what was written;
// a row without a published name reads "Unknown". VELMARON_SEED replays a run.
TEST(DumpHeaderTest, BuiltDumpsReadBackTheirCharacterSetUserModeAndVersion) {
  const uint64_t seed = platform::testing::testSeed();
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  std::mt19937_64 rng(seed);
  platform::testing::TempFolder dir;
  const auto table = CharsetTable();
  const char* modes[] = {"ENTIRE", "USERS", "TABLES"};
  for (const TCharsetRow& row : table) {  // id 10 puts a line feed into the id bytes
    dumpbuilder::Options o;
    o.charsetId = row.id;
    o.mode = dumpbuilder::Mode(rng() % 3);
    o.user = "U" + std::to_string(rng() % 1000);
    o.targetSize = 4096;
    dumpbuilder::buildDump(dir.path("b.dmp"), o);
    TDumpHeader h;
    ASSERT_TRUE(ReadDumpHeader(dir.path("b.dmp"), h));
    EXPECT_TRUE(h.isExport);
    EXPECT_EQ(h.version + " " + h.user + " " + h.mode,
              "EXPORT:" + o.version + " " + o.user + " " + modes[int(o.mode)]);
    EXPECT_EQ(h.charset, row.name.empty()
                             ? "Unknown"
                             : std::string(row.name) + " (" + std::string(row.description) + ")");
  }
  EXPECT_EQ(LookupCharsetName("0191"), 116);  // HU8ABMOD: the first of its two rows
  EXPECT_EQ(CharsetNameRows().size(), table.size() - 31);
}

TEST(DumpHeaderTest, OddFilesFillWhatTheyHoldAndUnreadableOnesAreRefused) {
  platform::testing::TempFolder dir;
  const struct {
    std::string bytes;
    const char* expected;  // is-export, character set, version, user, mode
  } cases[] = {
      {"\x03\x00\x1f"
       "EXPORT:V08.01.07\nDSCOTT\nRUSERS\n"s,
       "1|WE8ISO8859P1 (ISO 8859-1 West European)|EXPORT:V08.01.07|SCOTT|USERS"},
      {"\x03\x03\x69"
       "Export:V10\n\n\n",
       "1|AL32UTF8 (Unicode UTF-8 Universal character set)|Export:V10||"},
      {"\x03\x00\xb2"
       "text\nxalice\xff\x01\nymode\n"s,
       "0|WE8MSWIN1252 (MS Windows Code Page 1252 8-bit West European)|Unknown|alice|mode"},
      {"\x03\x00\x66"
       "EXPORT:V07.03.04 and more\n~Dx\n"s,
       "1|Unknown|EXPORT:V07.03.04|x|Unknown"},
      {"\x03\x00"s, "0|Unknown|Unknown|Unknown|Unknown"},
      // Only the first 2048 bytes count.
      {"\x03\x00\x01"
       "EXPORT:V09"s +
           std::string(2040, 'x') + "\nDlate\nRX\n",
       "0|US7ASCII (ASCII 7-bit American)|Unknown|Unknown|Unknown"},
  };
  for (const auto& c : cases) {
    std::ofstream(dir.path("odd.dmp"), std::ios::binary | std::ios::trunc) << c.bytes;
    TDumpHeader h;
    ASSERT_TRUE(ReadDumpHeader(dir.path("odd.dmp"), h)) << c.expected;
    EXPECT_EQ(std::to_string(h.isExport) + "|" + h.charset + "|" + h.version + "|" + h.user + "|" + h.mode,
              c.expected);
  }
  for (const std::string& path : {dir.path(), dir.path("missing.dmp")}) {
    TDumpHeader h;
    h.user = "left over";
    EXPECT_FALSE(ReadDumpHeader(path, h)) << path;
    EXPECT_EQ(h.user, "Unknown");
  }
}

}  // namespace
}  // namespace tasks
