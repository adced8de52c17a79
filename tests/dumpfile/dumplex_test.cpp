#include "dumpfile/dumplex.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/platform/test_seed.h"

namespace dumpfile {
namespace {

using namespace dumptoken;

struct Tok {
  int code;
  std::string value;  // yylval for tokens that carry text, yytext for token 0, else ""
  bool operator==(const Tok&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Tok& t) {
  return os << "{" << t.code << ", \"" << t.value << "\"}";
}

bool carriesValue(int code) {
  return code == NAME || code == STRING || code == INTNUM || code == SIGNED_INTNUM || code == APPROXNUM ||
         code > 280;
}

// Every token of the line; a 0 token with text (an unexpected byte, an unterminated quote) is
// listed and scanning goes on; a 0 token without text is the end.
std::vector<Tok> scan(std::string_view line) {
  TDumpLex lex;
  lex.setSingleLine(line);
  std::vector<Tok> out;
  for (int guard = 0; guard < 600; ++guard) {
    const int code = lex.yylex();
    if (code == 0 && lex.yytext.empty()) break;
    out.push_back({code, code == 0 ? lex.yytext.str() : carriesValue(code) ? lex.yylval.str() : ""});
  }
  return out;
}

struct LexCase {
  const char* name;
  std::string line;
  std::vector<Tok> tokens;
};

void PrintTo(const LexCase& c, std::ostream* os) {
  *os << c.name;
}

class DumpLexTokens : public ::testing::TestWithParam<LexCase> {};

TEST_P(DumpLexTokens, GivesTheseTokensAndValues) {
  EXPECT_EQ(scan(GetParam().line), GetParam().tokens);
}

const LexCase kLexCases[] = {
    {"KeywordAnyCase", "create CREATE CrEaTe", {{CREATE, "create"}, {CREATE, "CREATE"}, {CREATE, "CrEaTe"}}},
    {"KeywordPrefixIsAName", "CreateX TABLES", {{NAME, "CreateX"}, {NAME, "TABLES"}}},
    {"NameCharacters", "EMP#1 A$B x_9", {{NAME, "EMP#1"}, {NAME, "A$B"}, {NAME, "x_9"}}},
    {"LeadingUnderscoreIsNoName", "_ABC", {{0, "_"}, {NAME, "ABC"}}},
    {"SharedCodes",
     "DEC decimal RW_PROCEDURE procedure",
     {{DEC, "DEC"}, {DEC, "decimal"}, {PROCEDURE, "RW_PROCEDURE"}, {PROCEDURE, "procedure"}}},
    {"Integers",
     "12 -12 +7 007",
     {{INTNUM, "12"}, {SIGNED_INTNUM, "-12"}, {SIGNED_INTNUM, "+7"}, {INTNUM, "007"}}},
    {"Decimals",
     "1.5 .5 .5E+3 -1.5 12.",
     {{APPROXNUM, "1.5"}, {APPROXNUM, ".5"}, {APPROXNUM, ".5E+3"}, {APPROXNUM, "-1.5"}, {APPROXNUM, "12."}}},
    {"ExponentOnlyAfterLeadingDot", "1E5", {{INTNUM, "1"}, {NAME, "E5"}}},
    {"ExponentNeedsASign", ".5E3", {{APPROXNUM, ".5"}, {NAME, "E3"}}},
    {"ExponentAfterDigitsIsAName", "1.5E+3", {{APPROXNUM, "1.5"}, {NAME, "E"}, {SIGNED_INTNUM, "+3"}}},
    {"SignedNeedsDigitsAfterTheDot", "-5.", {{SIGNED_INTNUM, "-5"}, {DOT, ""}}},
    {"IntegersBeyond32BitsAreNames",
     "2147483647 2147483648 -2147483648 +2147483648",
     {{INTNUM, "2147483647"}, {NAME, "2147483648"}, {SIGNED_INTNUM, "-2147483648"}, {NAME, "+2147483648"}}},
    {"CloseParenSemicolonIsOneToken", ");", {{RPAREN_SEMI, ""}}},
    {"CloseParenBlankSemicolon", ") ;", {{RPAREN, ""}, {0, ";"}}},
    {"Punctuation",
     ",()[]< >.:=*+-/",
     {{COMMA, ""},
      {LPAREN, ""},
      {RPAREN, ""},
      {LBRACKET, ""},
      {RBRACKET, ""},
      {LT, ""},
      {GT, ""},
      {DOT, ""},
      {COLON, ""},
      {EQ, ""},
      {STAR, ""},
      {PLUS, ""},
      {MINUS, ""},
      {SLASH, ""}}},
    {"TwoCharOperators", "<> >= <= <>=", {{NE, ""}, {GE, ""}, {LE, ""}, {NE, ""}, {EQ, ""}}},
    {"QuotedNameThenBlank", "\"EMP\" ", {{STRING, "EMP"}}},
    {"QuotedNameKeepsCaseAndBlanks", "\"My Table\"x", {{STRING, "My Table"}, {NAME, "x"}}},
    {"SingleQuotedText", "'abc' ''", {{STRING, "abc"}, {STRING, ""}}},
    {"EscapedQuoteContinuesText", "'it\\'s' x", {{STRING, "it's"}, {NAME, "x"}}},
    {"OnlyBackslashQuotePairsLoseTheBackslash", "'a\\b\\'c'", {{STRING, "a\\b'c"}}},
    {"DoubleQuotesAreDroppedFromTheValue", "\"A\\\"B\"", {{STRING, "A\\B"}}},
    {"UnterminatedQuoteEndsInput", "'abc", {{0, "'abc"}}},
    {"UnterminatedDoubleQuote", "X \"abc", {{NAME, "X"}, {0, "\"abc"}}},
    // The escape leads nowhere: the whole text is put back, the quote dropped, the rest rescanned.
    {"UnterminatedQuoteEndingInBackslashIsRescanned", "'abc\\", {{NAME, "abc"}, {0, "\\"}}},
    {"DoubleDashWithoutLineFeedIsTwoMinus", "--x", {{MINUS, ""}, {MINUS, ""}, {NAME, "x"}}},
    {"CommentUpToLineFeedIsSkipped", "-- note\nA", {{NAME, "A"}}},
    {"BlanksTabsAndLineFeedsAreSkipped", " a\tb\nc ", {{NAME, "a"}, {NAME, "b"}, {NAME, "c"}}},
    {"OtherBytesAreTokenZero", "~?\x7f", {{0, "~"}, {0, "?"}, {0, "\x7f"}}},
    {"EmptyLine", "", {}},
    {"ZeroByteEndsTheLine", std::string("A\0B", 3), {{NAME, "A"}}},
};

INSTANTIATE_TEST_SUITE_P(Lines, DumpLexTokens, ::testing::ValuesIn(kLexCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DumpLexValues, NumbersCarryTheirConvertedValue) {
  TDumpLex lex;
  lex.setSingleLine("-12 .5E+3 2147483647");
  EXPECT_EQ(lex.yylex(), SIGNED_INTNUM);
  EXPECT_EQ(lex.yyinteger, -12);
  EXPECT_EQ(lex.yylex(), APPROXNUM);
  EXPECT_DOUBLE_EQ(lex.yynumber, 500.0);
  EXPECT_EQ(lex.yylex(), INTNUM);
  EXPECT_EQ(lex.yyinteger, 2147483647);
}

TEST(DumpLexKeywords, LookupGivesTheFirstMatchingRowForEveryKeyword) {
  std::set<std::string_view> seen;
  for (const DumpKeyword& row : DumpKeywords) {
    EXPECT_TRUE(seen.insert(row.text).second) << row.text;
    EXPECT_EQ(DumpKeywordCode(row.text), row.code) << row.text;
    std::string lower(row.text);
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(DumpKeywordCode(lower), row.code) << lower;
  }
  EXPECT_EQ(DumpKeywordCode("CREATEX"), 0);
  EXPECT_EQ(DumpKeywordCode("CREAT"), 0);
  EXPECT_EQ(DumpKeywordCode("AUTHORIZATIONS"), 0);
  EXPECT_EQ(DumpKeywordCode(""), 0);
  EXPECT_EQ(DumpKeywordCode("ÄLL"), 0);
  // Bytes that only a careless upper-casing turns into the characters of a keyword, and a 0 byte.
  EXPECT_EQ(DumpKeywordCode("RW\x7FPROCEDURE"), 0);
  EXPECT_EQ(DumpKeywordCode("rw\x7Fprocedure"), 0);
  EXPECT_EQ(DumpKeywordCode("RW_procedure"), PROCEDURE);
  EXPECT_EQ(DumpKeywordCode(std::string_view("AND\0", 4)), 0);
  EXPECT_EQ(DumpKeywordCode("\xC1LL"), 0);
}

TEST(DumpLexFailures, TokenOf255CharactersOverflowsWithTextAndColumnAtTheFailure) {
  TDumpLex lex;
  lex.setSingleLine(std::string(300, 'A'));  // cut to 255 when loaded
  try {
    lex.yylex();
    FAIL() << "no overflow";
  } catch (const lexyacc::LexYaccError& e) {
    EXPECT_STREQ(e.what(), "yytext overflow");
  }
  EXPECT_EQ(lex.yytext.view(), std::string(255, 'A'));
  EXPECT_EQ(lex.yycolno, 256);
}

TEST(DumpLexFailures, BlankRunsAndTextsBuiltByContinuationCountAsTokensToo) {
  TDumpLex lex;
  lex.setSingleLine(std::string(255, ' '));
  EXPECT_THROW(lex.yylex(), lexyacc::LexYaccError);
  // Each backslash-quote continues the text; the whole text counts against the limit.
  lex.setSingleLine("'" + std::string(200, 'a') + "\\'" + std::string(60, 'b'));
  EXPECT_THROW(lex.yylex(), lexyacc::LexYaccError);
  lex.setSingleLine(std::string(254, ' '));
  EXPECT_EQ(lex.yylex(), 0);
  EXPECT_TRUE(lex.yytext.empty());
}

TEST(DumpLexFailures, AfterTheLastTokenTheEndIsPutBackThenConsumed) {
  TDumpLex lex;
  lex.setSingleLine("AB");
  EXPECT_EQ(lex.yylex(), NAME);
  EXPECT_EQ(lex.yytext.view(), "AB");
  EXPECT_EQ(lex.yycolno, 2);  // the end of input that stopped the name was put back
  EXPECT_EQ(lex.yylex(), 0);
  EXPECT_EQ(lex.yycolno, 3);
  EXPECT_TRUE(lex.yytext.empty());
}

// The scanner takes names, quoted names and blanks without its general driver. On random lines
// of the characters that matter to any rule, it must give what the driver alone gives: the same
// tokens, values, text, column, put-back input and failures.
TEST(DumpLexDriver, TokensStateAndFailuresAreThoseOfTheGeneralDriver) {
  const uint64_t seed = platform::testing::testSeed(6262);
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  std::mt19937_64 rng(seed);
  static constexpr std::string_view kChars = "AZaz09_#$ \t\n\"'\\.,;()<>=+-*/:[]!E";
  auto snapshot = [](const TDumpLex& lex, int code) {
    return std::to_string(code) + "|" + lex.yytext.str() + "|" + lex.yylval.str() + "|" +
           std::to_string(lex.yycolno) + "|" + std::to_string(int(lex.yylastchar)) + "|" +
           std::to_string(lex.bufferedChars()) + "|" + std::to_string(lex.yystartstate());
  };
  for (int round = 0; round < 4000; ++round) {
    std::string line;
    const size_t length = rng() % 8 == 0 ? 240 + rng() % 30 : rng() % 40;
    for (size_t i = 0; i < length; ++i) line += kChars[rng() % kChars.size()];
    TDumpLex fast, general;
    fast.setSingleLine(line);
    general.setSingleLine(line);
    for (int token = 0; token < 300; ++token) {
      std::string a, b;
      try {
        a = snapshot(fast, fast.yylex());
      } catch (const lexyacc::LexYaccError& e) {
        a = std::string("throws ") + e.what() + snapshot(fast, -1);
      }
      try {
        b = snapshot(general, general.yylexWith(general));
      } catch (const lexyacc::LexYaccError& e) {
        b = std::string("throws ") + e.what() + snapshot(general, -1);
      }
      ASSERT_EQ(a, b) << "line: " << line;
      if (a.starts_with("throws") || (a.starts_with("0|") && fast.yytext.empty())) break;
    }
  }
}

}  // namespace
}  // namespace dumpfile
