// Pure rules of the Oracle client: levels of a library version, ROWID texts, the DATE form,
// statement cleaning and the parameter scan, the Oracle tokenizer.
#include <gtest/gtest.h>

#include "oracle/oraclasses.h"
#include "oracle/oraparser.h"

namespace oracle {
namespace {

TEST(OciLevelTest, VersionsCompareAsNumbersAndTenIsTheHighestLevel) {
  EXPECT_GT(CompareVersions("10.2.0.1.0", "8"), 0);
  EXPECT_LT(CompareVersions("8.0.4.0.0", "8.1"), 0);
  EXPECT_EQ(CompareVersions("9.2", "9.2.0.0"), 0);
  struct Row {
    const char* text;
    uint8_t version, possible;
  } rows[] = {{"7.3", 1, osOCI7},
              {"8.0", 2, osOCI7 | osOCI8},
              {"8.1.7.0.0", 3, osOCI7 | osOCI8 | osOCI81},
              {"9.2", 4, osOCI7 | osOCI8 | osOCI81 | osOCI90},
              {"10.2.0.1.0", 4, osOCI7 | osOCI8 | osOCI81 | osOCI90}};
  for (const Row& row : rows) {
    uint8_t version = 0, style = 0, possible = 0;
    LevelsOfVersion(row.text, version, style, possible);
    EXPECT_EQ(version, row.version) << row.text;
    EXPECT_EQ(possible, row.possible) << row.text;
  }
  uint8_t v = 0, s = 0, p = 0;
  EXPECT_THROW(LevelsOfVersion("6.0", v, s, p), std::runtime_error);
  EXPECT_EQ(VersionOfLibraryName("/x/lib/libclntsh.so.10.2"), "10.2");
  EXPECT_EQ(VersionOfLibraryName("/x/lib/libclntsh.so"), "");
}

TEST(RowidTest, ExtendedRestrictedAndUniversalTexts) {
  const uint8_t extended[13] = {1, 0, 0, 0x1D, 0x2A, 0, 4, 0, 0, 0, 0x8B, 0, 0};
  EXPECT_EQ(RowidToString81(extended), "AAAB0qAAEAAAACLAAA");
  const uint8_t restricted[13] = {1, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0x8B, 0, 2};
  EXPECT_EQ(RowidToString81(restricted), "0000008B.0002.0004");
  const uint8_t universal[4] = {2, 0xFF, 0x00, 0x10};
  EXPECT_EQ(URowidToString(universal, 4), "*/wAQ");
  // A cursor data area keeps block and row one byte up when their low byte is empty.
  const uint8_t shifted[14] = {0, 0, 0, 0, 5, 0, 0, 0, 0x12, 0, 0, 0, 3, 0};
  EXPECT_EQ(RowidToString7(shifted), "00000012.0003.0005");
  const uint8_t plain[14] = {0, 0, 0, 0, 5, 0, 0, 0x8B, 0, 0, 0, 2, 0, 0};
  EXPECT_EQ(RowidToString7(plain), "0000008B.0002.0005");
}

TEST(OraParamDescTest, TextSizesKeepRoomForTheTerminator) {
  TOraParamDesc param;
  param.SetDataType(dataaccess::dtString);
  param.SetSize(0);
  EXPECT_EQ(param.GetSize(), 2);
  param.SetSize(10);
  EXPECT_EQ(param.GetSize(), 11);
  param.SetItemAsString(1, "0123456789");
  EXPECT_THROW(param.SetItemAsString(1, "0123456789A"), std::runtime_error);
}

TEST(OraDateTest, RoundTripsAndRefusesYearsBeforeOneAD) {
  const uint8_t date[7] = {119, 180, 12, 31, 24, 60, 60};  // 1980-12-31 23:59:59
  uint8_t back[7];
  DateTimeToOraDate(OraDateToDateTime(date), back);
  EXPECT_EQ(std::vector<uint8_t>(back, back + 7), std::vector<uint8_t>(date, date + 7));
  MsToOraDate(OraDateToMs(date), back);
  EXPECT_EQ(std::vector<uint8_t>(back, back + 7), std::vector<uint8_t>(date, date + 7));
  const uint8_t bc[7] = {99, 50, 1, 1, 1, 1, 1};  // 50 BC
  EXPECT_THROW(OraDateToDateTime(bc), std::runtime_error);
  // Damaged century bytes: a year the form cannot hold, which could not be written back.
  const uint8_t beyond[7] = {218, 250, 6, 6, 4, 6, 45};
  EXPECT_THROW(OraDateToDateTime(beyond), std::runtime_error);
  const uint8_t badYear[7] = {120, 99, 1, 1, 1, 1, 1};
  EXPECT_THROW(OraDateToDateTime(badYear), std::runtime_error);
}

TEST(OraDateTest, TextOfAFormatHasRoomForItsLongestOutput) {
  EXPECT_EQ(formatTextLength("DD-MON-RR"), 14);      // month abbreviations of other languages
  EXPECT_EQ(formatTextLength("DD MONTH YYYY"), 20);  // SEPTEMBER
  EXPECT_EQ(formatTextLength("RM"), 4);              // VIII
  EXPECT_GE(formatTextLength("DDSPTH"), 20);         // TWENTY-SEVENTH
}

TEST(StatementTextTest, CleaningKeepsStringsAndMapsPositionsBack) {
  std::vector<size_t> map;
  const std::string given = "  begin\r\n  x := 'a\r\nb';\rend;  ";
  EXPECT_EQ(CleanSQL(given, map), "begin\n  x := 'a\r\nb';\nend;");
  EXPECT_EQ(given[map[8]], 'x');
  EXPECT_EQ(given[map[21]], 'e');
}

TEST(StatementTextTest, ParametersAreFoundOnceAndNotInsideTriggers) {
  std::vector<bool> quoted;
  EXPECT_EQ(ScanParamNames("select :a, :A, :\"Mixed\", ':x' -- :c\n from t where b = :2", quoted),
            (std::vector<std::string>{"a", "Mixed", "2"}));
  EXPECT_EQ(quoted, (std::vector<bool>{false, true, false}));
  EXPECT_EQ(ScanParamNames("create trigger t before insert on x begin :new.a := :p; end;", quoted).size(),
            0u);
}

TEST(OraParserTest, OracleIdentifiersCommentsAndKeywords) {
  TOraParser parser("v$session# -- note\nSELECT \"Quoted Name\" /* c */ 'open");
  parser.OmitComment = true;
  std::string lexeme;
  EXPECT_EQ(parser.GetNext(lexeme), dataaccess::lcIdent);
  EXPECT_EQ(lexeme, "v$session#");
  EXPECT_EQ(parser.GetNext(lexeme), 31);
  EXPECT_EQ(parser.GetNext(lexeme), dataaccess::lcIdent);
  EXPECT_EQ(lexeme, "\"Quoted Name\"");
  EXPECT_EQ(parser.GetNext(lexeme), dataaccess::lcString);
  EXPECT_EQ(parser.GetNext(lexeme), dataaccess::lcEnd);
}

}  // namespace
}  // namespace oracle
