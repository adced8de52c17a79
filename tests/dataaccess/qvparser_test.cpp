#include "dataaccess/qvparser.h"

#include <gtest/gtest.h>

#include <string>

#include "dataaccess/daconsts.h"

namespace dataaccess {
namespace {

struct Case {
  const char* text;
  const char* lexemes;  // "code:lexeme" separated by "|", up to the end of the text
  int lines;            // CurrLine at the end
  bool omitBlank = true;
  bool omitComment = false;
  bool uppercase = true;
  bool quoted = false;
};

const Case kCases[] = {
    {"", "", 0},
    {" \t\r\n ", "", 1},
    {"a<>b", "-103:a|18:<|20:>|-103:b", 0},
    {"_x1 1.5 1. 12", "-103:_x1|-105:1.5|-105:1|14:.|-105:12", 0},
    {"'it''s' \"q\"", "-106:it|-106:s|-106:q", 0},
    {"'it''s'", "-106:'it'|-106:'s'", 0, true, false, true, true},
    {"'open", "-106:open", 0},
    {"-- x", "13:-|13:-|-103:x", 0},
    {"/* a */ b", "-108:/* a */|-103:b", 0},
    {"/* a */ b", "-103:b", 0, true, true},
    {"x /* open\n", "-103:x|-108: /* open\n", 1},
    {"x // rest\ny", "-103:x|-108: // rest|-103:y", 1},
    {"x // rest\ny", "-103:x|-103:y", 1, true, true},
    {"/*\n\n*/ x", "-103:x", 2, true, true},
    {"x\r\ny", "-103:x|-103:y", 1},
    {"x\n\ny\rz", "-103:x|-103:y|-103:z", 3},
    {"a \n b", "-103:a|-107: \n |-103:b", 1, false},
    {"and Or not andx", "29:AND|31:OR|30:NOT|-103:andx", 0},
    {"and", "29:and", 0, true, false, false},
    {"((;~{", "8:(|8:(|17:;|-102:~|-102:{", 0},
    {"x\f\v\x7fy", "-103:x|-103:y", 0},
    {"caf\xc3\xa9 2x", "-103:caf\xc3\xa9|-105:2|-103:x", 0},
    {"a\0b", "-103:a", 0},
};

TEST(TParserTest, TableOfTextsGivesItsLexemesAndLineCount) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    TParser parser(c.text);
    parser.OmitBlank = c.omitBlank;
    parser.OmitComment = c.omitComment;
    parser.Uppercase = c.uppercase;
    parser.QuotedString = c.quoted;
    std::string got, lexeme;
    for (int code; (code = parser.GetNext(lexeme)) != lcEnd;)
      got += (got.empty() ? "" : "|") + std::to_string(code) + ":" + lexeme;
    EXPECT_EQ(got, c.lexemes);
    EXPECT_EQ(parser.CurrLine, c.lines);
  }
}

TEST(TParserTest, UnknownByteStopsOnItWithItsCode) {
  TParser parser("a \x01");
  EXPECT_EQ(parser.GetNextCode(), lcIdent);
  try {
    parser.GetNextCode();
    FAIL();
  } catch (const EMemDataError& e) {
    EXPECT_EQ(std::string(e.what()), "Parser: The unknown symbol '\x01'  $01");
  }
  EXPECT_EQ(parser.CurrPos(), 2u);
}

TEST(TParserTest, StepBackAndSkipToCodeReadAgainFromTheLexemeStart) {
  TParser parser("a\n( b ) c");
  EXPECT_EQ(parser.SkipToCode(8), 8);
  EXPECT_EQ(parser.LexemePos(), 1u);  // the blank before "(" is part of the scan
  parser.StepBack();
  EXPECT_EQ(parser.GetNextCode(), 8);
  EXPECT_EQ(parser.CurrLine, 1);
  EXPECT_EQ(parser.SkipToCode(99), lcEnd);
  EXPECT_EQ(parser.FindKeyword("or", 29, 31), 31);
  EXPECT_EQ(parser.FindKeyword("xor", 29, 31), -1);
}

}  // namespace
}  // namespace dataaccess
