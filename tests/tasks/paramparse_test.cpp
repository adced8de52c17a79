#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tasks/explex.h"
#include "tasks/expparse.h"
#include "tasks/implex.h"
#include "tasks/impparse.h"
#include "tasks/paramlex.h"

namespace tasks {
namespace {

using ::testing::ElementsAre;

// ---- Scanner ----

struct Token {
  int32_t code;
  std::string value;
  bool operator==(const Token&) const = default;
};

std::vector<Token> lexAll(std::string_view text) {
  ParamLexer lexer(text);
  std::vector<Token> out;
  for (int32_t t = lexer.Lex(); t != tokEnd; t = lexer.Lex()) out.push_back({t, std::string(lexer.Value())});
  return out;
}

void PrintTo(const Token& t, std::ostream* os) {
  *os << t.code << ":\"" << t.value << '"';
}

TEST(ParamLexerTest, TokensAndTheirValues) {
  const struct {
    std::string text;
    std::vector<Token> tokens;
  } cases[] = {
      {"file=(a, 12) x",
       {{tokWord, "file"},
        {tokEquals, "="},
        {tokLParen, "("},
        {tokWord, "a"},
        {tokComma, ","},
        {tokNumber, "12"},
        {tokRParen, ")"},
        {tokWord, "x"}}},
      {"123abc 007", {{tokWord, "123abc"}, {tokNumber, "007"}}},  // leading zeros kept
      {"99999999999 2147483647", {{tokIllegal, "99999999999"}, {tokNumber, "2147483647"}}},
      {"'a, b' ''", {{tokString, "a, b"}, {tokString, ""}}},
      {R"('it\'s' x 'c:\dir\f')", {{tokString, "it's"}, {tokWord, "x"}, {tokString, R"(c:\dir\f)"}}},
      {"'abc", {{tokIllegal, "'abc"}}},
      {R"('abc\')", {{tokIllegal, R"('abc\')"}}},  // the backslash escapes the closing quote
      {"\tfile a \t b \f",
       {{tokWord, "\tfile"}, {tokWord, "a"}, {tokWord, "\t"}, {tokWord, "b"}, {tokWord, "\f"}}},
      {"a\r\nb\nc", {{tokWord, "a"}, {tokWord, "b"}, {tokWord, "c"}}},  // line ends separate like blanks
  };
  for (const auto& c : cases) EXPECT_EQ(lexAll(c.text), c.tokens) << c.text;
}

// ---- Parser: accepted texts ----

TExpOptions parseExp(std::string_view text) {
  TExpOptions o;
  ParseFailure failure;
  EXPECT_EQ(ExpParse(text, o, failure), 0)
      << text << " stopped at " << failure.errorpos << " '" << failure.errortext << "'";
  return o;
}

TEST(ExpParseTest, KeywordsInAnyCaseValuesAsWrittenListsInOrderAndALeadingAccount) {
  TExpOptions o = parseExp(
      "u/p@db File=A.dmp FILE=(0001,(b.DMP)) Log=MyLog full=y owner=a owner=(b,c) tables='a, b' "
      "feedback=2");
  EXPECT_THAT(o.files, ElementsAre("A.dmp", "0001", "b.DMP"));  // a number is taken as its text
  EXPECT_EQ(o.userid, "u/p@db");
  EXPECT_EQ(o.log, "MyLog");
  EXPECT_EQ(o.owner, "a,b,c");
  EXPECT_FALSE(o.full);
  EXPECT_EQ(o.tables, "a, b");  // a quoted value is one value
  EXPECT_EQ(parseExp("log=123abc").log, "123abc");
  EXPECT_EQ(parseExp("log= \t ").log, "\t");  // a tab alone is a word
  EXPECT_EQ(parseExp("'scott/tiger as sysdba' full=y").userid, "scott/tiger as sysdba");
  EXPECT_EQ(o.feedback, 2);  // which keywords each program knows, and their values, the build tests show
  TImpOptions i;
  ParseFailure failure;  // an export keyword in an import text
  EXPECT_NE(ImpParse("file=a owner=x", i, failure), 0);
  EXPECT_EQ(failure.errortext, "owner");
}

// ---- Parser: refused texts ----

struct FailureCase {
  std::string text;
  int32_t errorpos;
  std::string errortext;
};

class ExpParseFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ExpParseFailureTest, StopsWhereTheScannerStands) {
  const FailureCase& c = GetParam();
  TExpOptions o;
  ParseFailure failure;
  EXPECT_NE(ExpParse(c.text, o, failure), 0);
  EXPECT_EQ(failure.errorpos, c.errorpos);
  EXPECT_EQ(failure.errortext, c.errortext);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ExpParseFailureTest,
    ::testing::Values(
        // A command needs at least one keyword and value.
        FailureCase{"", 1, ""}, FailureCase{"scott/tiger", 12, ""},
        // An unknown first keyword is looked up once "=" has been read after it.
        FailureCase{"bogus=x", 7, "="},
        // An unknown later keyword is looked up as soon as it is read.
        FailureCase{"file=a bogus=x", 13, "bogus"},
        // An import keyword in an export text.
        FailureCase{"file=a charset=x", 15, "charset"},
        // A refused value stops at that value. At the end of the text the runtime has put back
        // the end marker it read, which takes its column one lower than inside the text.
        FailureCase{"rows=yes file=a", 9, "yes"}, FailureCase{"buffer=0", 8, "0"},
        // An unterminated quote runs to the end of the text.
        FailureCase{"log='abc", 8, "'abc"},
        // A number that does not convert.
        FailureCase{"log=99999999999", 15, "99999999999"},
        // A tab joined to a keyword makes it unknown.
        FailureCase{"file=a \tlog=x", 12, "\tlog"},
        // A tab alone in keyword position.
        FailureCase{"file=a \t log=x", 9, "\t"},
        // Syntax errors.
        FailureCase{"file=", 6, ""}, FailureCase{"file=(a", 8, ""}, FailureCase{"file=a)", 8, ")"},
        FailureCase{"file==a", 7, "="}, FailureCase{"file=a x y=b", 9, "x"},
        // A token too long stops the parse with its text.
        FailureCase{"log='" + std::string(300, 'q') + "'", 260, "'" + std::string(254, 'q')},
        // full=y after a list keyword leaves the list filled; the built command would put full=y
        // first and read back as a user or table export, so such a text is refused.
        FailureCase{"tables=a full=y", 16, "full=y cannot be combined with owner or tables"}));

TEST(ParseFailureTest, ValuesBeforeTheFailureStayInTheRecord) {
  TExpOptions o;
  ParseFailure failure;
  EXPECT_NE(ExpParse("owner=a compress=n rows=maybe direct=y", o, failure), 0);
  EXPECT_EQ(o.owner, "a");
  EXPECT_FALSE(o.compress);
  EXPECT_FALSE(o.direct);
}

TEST(ParseFailureTest, FullModeTogetherWithUsersOrTablesIsRefused) {
  ParseFailure failure;
  TExpOptions e2;
  EXPECT_NE(ExpParse("owner=a inctype=complete", e2, failure), 0);
  TExpOptions e3;
  EXPECT_EQ(ExpParse("full=y tables=a", e3, failure), 0);  // the later list ends full mode
  EXPECT_FALSE(e3.full);
  TImpOptions i;
  EXPECT_NE(ImpParse("fromuser=a full=y", i, failure), 0);
  EXPECT_EQ(failure.errortext, "full=y cannot be combined with fromuser or tables");
  TImpOptions i2;
  EXPECT_EQ(ImpParse("full=y touser=b", i2, failure), 0);
}

TEST(ParseFailureTest, NestingDeeperThanTheStackFails) {
  TExpOptions o;
  ParseFailure failure;
  std::string deep = "file=" + std::string(2000, '(') + "a" + std::string(2000, ')');
  EXPECT_NE(ExpParse(deep, o, failure), 0);
  std::string fits = "file=" + std::string(500, '(') + "a" + std::string(500, ')');
  TExpOptions o2;
  EXPECT_EQ(ExpParse(fits, o2, failure), 0);
  EXPECT_THAT(o2.files, ElementsAre("a"));
}

// The runtime takes the text in lines of 255 characters; nothing may depend on where a line ends.
TEST(LineBoundaryTest, ValuesAndErrorPositionsDoNotDependOnWhereLinesEnd) {
  for (int pad = 0; pad < 520; ++pad) {
    const std::string blanks(static_cast<size_t>(pad), ' ');
    TExpOptions o;
    ParseFailure failure;
    ASSERT_EQ(
        ExpParse(blanks + "log='a b\\'c' tables=(" + std::string(200, 't') + ",u) file=0042", o, failure), 0)
        << "pad " << pad << " at " << failure.errorpos << " '" << failure.errortext << "'";
    EXPECT_EQ(o.log, "a b'c");
    EXPECT_EQ(o.tables, std::string(200, 't') + ",u");
    EXPECT_EQ(o.files.front(), "0042");

    TExpOptions bad;
    ASSERT_NE(ExpParse(blanks + "file=abcdefghij rows=maybe direct=y", bad, failure), 0);
    EXPECT_EQ(failure.errorpos, pad + 27) << "pad " << pad;
    EXPECT_EQ(failure.errortext, "maybe");
    ASSERT_NE(ExpParse(blanks + "file=abcdefghij unknownkeyword=y", bad, failure), 0);
    EXPECT_EQ(failure.errorpos, pad + 31) << "pad " << pad;
    EXPECT_EQ(failure.errortext, "unknownkeyword");
  }
}

// ---- Writing values back: the scanner's inverse ----

// Which values go bare and which in quotes is left to the round trip of generated option sets;
// the spelling of a quoted value is part of the parameter file.
TEST(ParamValueTextTest, AQuoteAndABackslashBeforeItEachTakeABackslash) {
  EXPECT_EQ(QuoteParamValue("it's"), R"('it\'s')");
  EXPECT_EQ(QuoteParamValue(R"(a\'b)"), R"('a\\'b')");
}

TEST(ParamValueTextTest, AValueEndingWithABackslashHasNoQuotedText) {
  EXPECT_FALSE(ParamValueQuoteProblem("a b\\").empty());
  EXPECT_FALSE(ParamValueQuoteProblem("\\").empty());
  // What quoting would give: the backslash escapes the closing quote, which leaves it open.
  EXPECT_THAT(lexAll(QuoteParamValue("a b\\") + " x"), ElementsAre(Token{tokIllegal, "'a b\\' x"}));
  // A backslash before a quote at the end is fine: the quote gets its own backslash.
  EXPECT_TRUE(ParamValueQuoteProblem("a b\\'").empty());
}

TEST(ParamValueTextTest, AQuotedTextFitsOneTokenOrIsRefused) {
  std::string v = " " + std::string(252, 'q');  // 255 characters with its quotes
  ASSERT_TRUE(ParamValueQuoteProblem(v).empty());
  EXPECT_THAT(lexAll(QuoteParamValue(v)), ElementsAre(Token{tokString, v}));
  v += 'q';
  EXPECT_FALSE(ParamValueQuoteProblem(v).empty());
  EXPECT_THROW(lexAll(QuoteParamValue(v)), ParamLexer::Fatal);
  // Each quote inside takes a backslash as well.
  std::string quotes(126, '\'');  // 252 characters written, 254 with the quotes
  ASSERT_TRUE(ParamValueQuoteProblem(quotes).empty());
  EXPECT_THAT(lexAll(QuoteParamValue(quotes)), ElementsAre(Token{tokString, quotes}));
  quotes += "''";
  EXPECT_FALSE(ParamValueQuoteProblem(quotes).empty());
  EXPECT_FALSE(ParamValueQuoteProblem(std::string("a\0b", 3)).empty());
}

TEST(ParamValueTextTest, UnquoteLeavesABareTextAsItStands) {
  EXPECT_EQ(UnquoteParamValue("/d/x.dmp"), "/d/x.dmp");
  EXPECT_EQ(UnquoteParamValue("'"), "'");
  EXPECT_EQ(UnquoteParamValue("a\\'b"), "a\\'b");
  EXPECT_EQ(UnquoteParamValue("'/d/My Dumps/it\\'s.dmp'"), "/d/My Dumps/it's.dmp");
}

}  // namespace
}  // namespace tasks
