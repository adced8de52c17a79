#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "tasks/u_common.h"
#include "tools/dumpbuilder/dumpbuilder.h"

namespace tasks {
namespace {

using namespace std::string_literals;

class DumpHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velmaron-header-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& bytes) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::string dir_;
};

// Dumps written by the dump builder with random character sets from the whole table, users and
// modes: the header gives back what was written. VELMARON_SEED replays a run.
TEST_F(DumpHeaderTest, BuiltDumpsReadBackTheirCharacterSetUserModeAndVersion) {
  const char* seedText = ::getenv("VELMARON_SEED");
  const uint64_t seed = seedText != nullptr ? std::strtoull(seedText, nullptr, 10) : std::random_device{}();
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const auto table = CharsetTable();
  const char* modes[] = {"ENTIRE", "USERS", "TABLES"};
  for (int i = 0; i < 6; ++i) {
    const size_t row = rng() % table.size();
    dumpbuilder::Options o;
    o.charsetId = table[row].id;
    o.mode = dumpbuilder::Mode(rng() % 3);
    o.user = "U" + std::to_string(rng() % 1000);
    o.targetSize = 4096;
    o.seed = rng();
    const std::string path = dir_ + "/b.dmp";
    dumpbuilder::buildDump(path, o);
    TDumpHeader h;
    ASSERT_TRUE(ReadDumpHeader(path, h));
    EXPECT_TRUE(h.isExport);
    EXPECT_EQ(h.version, "EXPORT:" + o.version);
    EXPECT_EQ(h.user, o.user);
    EXPECT_EQ(h.mode, modes[int(o.mode)]);
    // The first named row of the id, or "Unknown" for an id without a published name.
    const int found = LookupCharsetName([&] {
      char hex[8];
      std::snprintf(hex, sizeof hex, "%04X", unsigned(o.charsetId));
      return std::string(hex);
    }());
    EXPECT_EQ(found == 0, table[row].name.empty()) << table[row].id;
    if (found != 0) {
      EXPECT_EQ(table[size_t(found) - 1].id, o.charsetId);
    }
    EXPECT_EQ(h.charset, table[row].name.empty() ? "Unknown"
                                                 : std::string(table[row].name) + " (" +
                                                       std::string(table[row].description) + ")");
  }
}

TEST_F(DumpHeaderTest, OddFilesFillWhatTheyHoldAndUnreadableOnesAreRefused) {
  const struct {
    std::string bytes;
    const char* charset;
    bool isExport;
    const char* version;
    const char* user;
    const char* mode;
  } cases[] = {
      {"\x03\x00\x1f"
       "EXPORT:V08.01.07\nDSCOTT\nRUSERS\n"s,
       "WE8ISO8859P1 (ISO 8859-1 West European)", true, "EXPORT:V08.01.07", "SCOTT", "USERS"},
      {"\x03\x03\x67"
       "Export:V10\n\n\n",
       "UTF8 ()", true, "Export:V10", "", ""},
      {"\x03\x00\xb2"
       "text\nxalice\xff\x01\nymode\n"s,
       "WE8MSWIN1252 (MS Windows Code Page 1252 8-bit West European)", false, "Unknown", "alice", "mode"},
      {"\x03\x00\x66"
       "EXPORT:V07.03.04 and more\n~Dx\n"s,
       "Unknown", true, "EXPORT:V07.03.04", "x", "Unknown"},
      {"\x03\x00"s, "Unknown", false, "Unknown", "Unknown", "Unknown"},
      {"", "Unknown", false, "Unknown", "Unknown", "Unknown"},
  };
  for (const auto& c : cases) {
    TDumpHeader h;
    ASSERT_TRUE(ReadDumpHeader(write("odd.dmp", c.bytes), h)) << c.bytes;
    EXPECT_EQ(h.charset, c.charset) << c.bytes;
    EXPECT_EQ(h.isExport, c.isExport) << c.bytes;
    EXPECT_EQ(h.version, c.version) << c.bytes;
    EXPECT_EQ(h.user, c.user) << c.bytes;
    EXPECT_EQ(h.mode, c.mode) << c.bytes;
  }
  // The first 2048 bytes only: a user line that starts after them is never read.
  TDumpHeader h;
  ASSERT_TRUE(ReadDumpHeader(write("long.dmp",
                                   "\x03\x00\x01"
                                   "EXPORT:V09"s +
                                       std::string(2040, 'x') + "\nDlate\nRX\n"),
                             h));
  EXPECT_EQ(h.charset, "US7ASCII (ASCII 7-bit American)");
  EXPECT_FALSE(h.isExport);
  EXPECT_EQ(h.user, "Unknown");
  for (const std::string& path : {dir_, dir_ + "/missing.dmp"}) {
    h.user = "left over";
    EXPECT_FALSE(ReadDumpHeader(path, h)) << path;
    EXPECT_EQ(h.user, "Unknown");
  }
}

TEST(CharsetTableTest, ListsShowOnlyNamedRowsAndLaterSetsFollowTheClassicRows) {
  const auto table = CharsetTable();
  const std::vector<int> rows = CharsetNameRows();
  EXPECT_EQ(rows.size(), table.size() - 31);
  for (int row : rows) EXPECT_NE(CharsetCaption(row), "Unknown") << row;
  EXPECT_EQ(table[kClassicCharsetRows - 1].name, "UTF8");
  EXPECT_EQ(CharsetCaption(LookupCharsetName("0369")), "AL32UTF8 (Unicode UTF-8 Universal character set)");
  EXPECT_EQ(LookupCharsetName("0191"), 116);  // HU8ABMOD: the first of its two rows
  EXPECT_EQ(LookupCharsetName("0066"), 0);    // 102, an id without a name
}

}  // namespace
}  // namespace tasks
