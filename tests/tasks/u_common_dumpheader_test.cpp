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

// Dumps built with character-set ids of every kind, random users and modes read back what was
// written: the first row of an id that stands twice, the rows out of numeric order, the later
// sets, a row without a published name and an id beyond the table ("Unknown"). VELMARON_SEED
// replays a run.
TEST(DumpHeaderTest, BuiltDumpsReadBackTheirCharacterSetUserModeAndVersion) {
  const uint64_t seed = platform::testing::testSeed();
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  std::mt19937_64 rng(seed);
  platform::testing::TempFolder dir;
  const struct {
    uint16_t id;
    const char* charset;
  } rows[] = {
      {1, "US7ASCII (ASCII 7-bit American)"},
      {10, "WE8PC850 (IBM-PC Code Page 850 8-bit West European)"},  // a line feed among the id bytes
      {31, "WE8ISO8859P1 (ISO 8859-1 West European)"},
      {102, "Unknown"},
      {154, "IW8PC1507 (IBM-PC Code Page 1507/862 8-bit Latin/Hebrew)"},
      {150, "EE8PC852 (Code Page 852 East European)"},
      {401, "HU8ABMOD (Hungarian AB Mod)"},
      {832, "JA16SJIS (Shift-JIS 16-bit Japanese)"},
      {839, "Unknown"},
      {871, "UTF8 ()"},
      {28, "WE8PC858 (IBM-PC Code Page 858 8-bit West European)"},
      {178, "WE8MSWIN1252 (MS Windows Code Page 1252 8-bit West European)"},
      {868, "ZHT16HKSCS (MS Windows Code Page 950 with Hong Kong Supplementary Character Set)"},
      {873, "AL32UTF8 (Unicode UTF-8 Universal character set)"},
      {999, "Unknown"},
  };
  const char* modes[] = {"ENTIRE", "USERS", "TABLES"};
  for (const auto& row : rows) {
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
    EXPECT_EQ(h.charset, row.charset) << row.id;
  }
  EXPECT_EQ(LookupCharsetName("0191"), 116);  // HU8ABMOD: the first of its two rows
  EXPECT_EQ(CharsetTable().size(), 151u);
  EXPECT_EQ(CharsetNameRows().size(), 120u);
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

// The bytes a header file keeps: a short dump's, zero-filled; never zeros for bytes that could
// not be read (/proc/self/mem opens, but reading its start fails: nothing is mapped there).
TEST(DumpHeaderTest, HeaderBytesAreWhatTheDumpHoldsOrNone) {
  platform::testing::TempFolder dir;
  const std::string head =
      "\x03\x00\x1f"
      "EXPORT:V08"s;
  std::ofstream(dir.path("short.dmp"), std::ios::binary) << head;
  std::string bytes;
  ASSERT_TRUE(ReadDumpHeaderBytes(dir.path("short.dmp"), bytes));
  EXPECT_EQ(bytes, head + std::string(2048 - head.size(), '\0'));
  for (const std::string& path : {dir.path(), dir.path("missing.dmp"), std::string("/proc/self/mem")})
    EXPECT_FALSE(ReadDumpHeaderBytes(path, bytes)) << path;
}

}  // namespace
}  // namespace tasks
