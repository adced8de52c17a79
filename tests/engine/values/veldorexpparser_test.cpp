#include "engine/values/veldorexpparser.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/engine/values/exp_test_util.h"

namespace engine {
namespace {

using exp_test::dump;
using exp_test::parseAll;

constexpr uint8_t kAll = 0x1F;

struct Row {
  uint8_t flags;
  const char* text;
  const char* expected;  // the dump, or "!" and the error's text
};

// Grammar, precedence, constants and data types, then every syntax message.
const Row kRows[] = {
    {0, "a = 1 OR b <> 'x' AND NOT c", "(OR/11 (=/3 a 1:6) (AND/10 (<>/4 b x:1) (NOT/9 c)))"},
    {0, "a < > b", "(<>/4 a b)"},
    {0, "a<=b", "(<=/8 a b)"},
    {0, "a >= b", "(>=/7 a b)"},
    {0, "a > b", "(>/5 a b)"},
    {0, "a < -b", "(</6 a (-/15 b))"},
    {0, "NOT NOT", "(NOT/9 NOT)"},
    {0, "1 - 2 - 3 * 4 / +5", "(-/18 (-/18 1:6 2:6) (//20 (*/19 3:6 4:6) (+/16 5:6)))"},
    {0, "a || b + c", "(+/17 (||/17 a b) c)"},
    {0, "1e5 + 1E+5 + .5 + 1+5", "(+/17 (+/17 (+/17 (+/17 1e5:7 1E+5:7) .5:7) 1:6) 5:6)"},
    {0, "2147483648 + 99999999999999999999", "(+/17 2147483648:18 99999999999999999999:7)"},
    {0, "'' = NULL", "(=/3 :0! NULL:0!)"},
    {0, "'it''s' + \"say \"\"x\"\"\" + #65", "(+/17 (+/17 it's:1 say \"x\":1) #65:1)"},
    {0, "'a \"quoted\" text, long enough' + \"it's long, and 'single'\" + 'a '''' ' + ''''",
     "(+/17 (+/17 (+/17 a \"quoted\" text, long enough:1 it's long, and 'single':1) a '' :1) ':1)"},
    {0, "TRUE AND false", "(AND/10 TRUE:4 false:4)"},
    {0,
     "sum_ + nulls + iF(1 THEN x ELSE y) + Current_Timestamps + \xC3\xBC"
     "ber + _if",
     "(+/17 (+/17 (+/17 (+/17 (+/17 sum_ nulls) (iF/63 1:6 x y)) Current_Timestamps) \xC3\xBC"
     "ber) _if)"},
    {0, "/* note */ [my col] = t.c AND [x.DAT].\"y\" = [q].[r]", "(AND/10 (=/3 my col t.c) (=/3 x.y q.r))"},
    {0, "CURRENT_DATE() - CURRENT_TIME + current_timestamp",
     "(+/17 (-/18 CURRENT_DATE:2 CURRENT_TIME:10) current_timestamp:11)"},
    {kAll, "x BETWEEN 1 AND 2 AND y", "(AND/10 (BETWEEN/41 x 1:6 2:6) y)"},
    {kAll, "x NOT BETWEEN a AND b", "(NOT BETWEEN/42 x a b)"},
    {kAll, "x LIKE 'a%' OR x NOT LIKE 'b'", "(OR/11 (LIKE/32 x a%:1) (NOT LIKE/43 x b:1))"},
    {kAll, "x IN (1, 2+3) AND x NOT IN (4)", "(AND/10 (IN/33 x 1:6 (+/17 2:6 3:6)) (NOT IN/44 x 4:6))"},
    {kAll, "x IN (SELECT a FROM t WHERE b IN (1)) OR x NOT IN (select 1)",
     "(OR/11 (IN/34 x <SELECT>) (NOT IN/45 x <select>))"},
    {kAll, "x IS NULL OR x IS NOT NULL", "(OR/11 (IS NULL/3 x NULL:0!) (IS NOT NULL/4 x NULL:0!))"},
    {kAll, "? = COUNT(*) + SUM(a) + runsum(a) + AVG(a) + MIN(a) + MAX(a)",
     "(=/3 ?:0? (+/17 (+/17 (+/17 (+/17 (+/17 (COUNT/25 *) (SUM/23 a)) (runsum/24 a)) (AVG/28 a)) (MIN/26 "
     "a)) "
     "(MAX/27 a)))"},
    {0, "UPPER(a) || lower(b) || LENGTH(c) || ABS(-1) || ROUND(x) || ROUND(x TO 2)",
     "(||/17 (||/17 (||/17 (||/17 (||/17 (UPPER/36 a) (lower/37 b)) (LENGTH/53 c)) (ABS/64 (-/15 1:6))) "
     "(ROUND/65 "
     "x)) (ROUND/65 x 2:6))"},
    {0, "SUBSTRING(a FROM 1) + SUBSTRING(a FROM 1 FOR 2) + REPLACE(a WITH b IN c)",
     "(+/17 (+/17 (SUBSTRING/46 a 1:6) (SUBSTRING/46 a 1:6 2:6)) (REPLACE/47 a b c))"},
    {0, "POS(a IN b) + OCCURS(a IN b) + TEXTOCCURS(a IN b)",
     "(+/17 (+/17 (POS/48 a b) (OCCURS/49 a b)) (TEXTOCCURS/67 a b))"},
    {0, "TRIM(LEADING 'x' FROM a) || TRIM(TRAILING b FROM a) || TRIM(BOTH c FROM a)",
     "(||/17 (||/17 (TRIM/50 x:1 a) (TRIM/51 b a)) (TRIM/52 c a))"},
    {0, "EXTRACT(YEAR FROM d) + EXTRACT(dayofweek FROM d) + EXTRACT(SECOND FROM d)",
     "(+/17 (+/17 (EXTRACT/55 d) (EXTRACT/59 d)) (EXTRACT/62 d))"},
    {0, "IF(a = 1 OR b THEN 2 ELSE 3) AND TEXTSEARCH('w' IN m)",
     "(AND/10 (IF/63 (OR/11 (=/3 a 1:6) b) 2:6 3:6) (TEXTSEARCH/66 w:1 m))"},
    {0, "CAST(a AS SMALLINT) + CAST(a AS WORD) + CAST(a AS INT) + CAST(a AS LARGEINT) + CAST(a AS AUTOINC)",
     "(+/17 (+/17 (+/17 (+/17 (CAST/54 a as:5) (CAST/54 a as:12)) (CAST/54 a as:6)) (CAST/54 a as:18)) "
     "(CAST/54 a "
     "as:6))"},
    {0, "CAST(a AS DECIMAL(10,2)) + CAST(a AS NUMERIC(5)) + CAST(a AS FLOAT) + CAST(a AS MONEY)",
     "(+/17 (+/17 (+/17 (CAST/54 a 10:6 2:6 as:8) (CAST/54 a 5:6 as:7)) (CAST/54 a as:7)) (CAST/54 a as:7))"},
    {0, "CAST(a AS CHAR(5)) || CAST(a AS VARCHAR(6)) || CAST(a AS CHARACTER(7)) || CAST(a AS BYTES(2))",
     "(||/17 (||/17 (||/17 (CAST/54 a 5:6 as:1) (CAST/54 a 6:6 as:1)) (CAST/54 a 7:6 as:1)) (CAST/54 a 2:6 "
     "as:9))"},
    {0,
     "CAST(a AS DATE) + CAST(a AS TIME) + CAST(a AS TIMESTAMP) + CAST(a AS BOOLEAN) + CAST(a AS BLOB(1, 1))",
     "(+/17 (+/17 (+/17 (+/17 (CAST/54 a as:2) (CAST/54 a as:10)) (CAST/54 a as:11)) (CAST/54 a as:4)) "
     "(CAST/54 a "
     "1:6 1:6 as:3))"},

    {0, "a /* open", "!Missing ending comment slash and asterisk in filter"},
    {0, "'abc", "!Missing single quote after 'abc' in filter"},
    {0, "\"abc", "!Missing double quote after 'abc' in filter"},
    {0, "'ab''c''", "!Missing single quote after 'ab'c'' in filter"},
    {0, "[abc", "!Missing right bracket after 'abc' in filter"},
    {0, "a |b",
     "!Second concatenation symbol '|' expected after first concatentation symbol, instead found 'b' in "
     "filter"},
    {0, "x LIKE 'a'", "!Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in filter"},
    {kAll, "x BETWEEN 1 OR 2", "!Expected AND operator in BETWEEN operator, instead found 'OR' in filter"},
    {kAll, "x NOT BETWEEN 1 OR 2",
     "!Expected AND operator in NOT BETWEEN operator, instead found 'OR' in filter"},
    {kAll, "x IN 1", "!Expected left parentheses for IN operator, instead found '1' in filter"},
    {kAll, "x NOT IN 1", "!Expected left parentheses for NOT IN operator, instead found '1' in filter"},
    {kAll, "x IN (1", "!Expected right parentheses after IN operator, instead found '' in filter"},
    {kAll, "x NOT IN (1 2", "!Expected right parentheses after NOT IN operator, instead found '2' in filter"},
    {0x0F, "x IN (SELECT 1)", "!Sub-select queries are not allowed in filter"},
    {kAll, "x NOT = 1", "!Unknown or unexpected symbol '=' in filter"},
    {kAll, "x IS 1", "!Unknown or unexpected symbol '1' found in filter"},
    {0, "1x2", "!Trailing 'x2' in filter"},
    {0, "1.2.3", "!Constant '1.2.3' is not a valid number  in filter"},
    {0, "1e999", "!Constant '1e999' is not a valid number  in filter"},
    {0, "#256", "!Character constants (#) must be within the range of 0 to 255 in filter"},
    {0, "(a", "!Right parentheses expected, instead found '' in filter"},
    {0, "*", "!* (all columns) symbol is not allowed in filter"},
    {0, "t.*", "!* (all columns) symbol is not allowed in filter"},
    {0, "?", "!Parameters are not allowed in filter"},
    {0, "t.+",
     "!Symbol or string expression expected after table correlation name separator '.', instead found '+' in "
     "filter"},
    {0, "f(1)", "!Unknown or unexpected function 'f' found in filter"},
    {0, "= 1", "!Unknown or unexpected symbol '=' found in filter"},
    {0, "SUM(a)", "!Aggregate functions are not allowed in filter"},
    {1, "SUM a", "!Left parentheses expected after aggregate function 'SUM', instead found 'a' in filter"},
    {1, "sum(a b",
     "!Right parentheses expected after aggregate sum function argument, instead found 'b' in filter"},
    {0, "LOWER a", "!Left parentheses expected after LOWER keyword, instead found 'a' in filter"},
    {0, "LOWER(a", "!Right parentheses expected after LOWER function argument, instead found '' in filter"},
    {0, "UPPER a", "!Left parentheses expected after UPPER keyword, instead found 'a' in filter"},
    {0, "UPPER(a", "!Right parentheses expected after UPPER function argument, instead found '' in filter"},
    {0, "LENGTH a", "!Left parentheses expected after LENGTH keyword, instead found 'a' in filter"},
    {0, "LENGTH(a", "!Right parentheses expected after LENGTH function argument, instead found '' in filter"},
    {0, "SUBSTRING a", "!Left parentheses expected after SUBSTRING keyword, instead found 'a' in filter"},
    {0, "SUBSTRING(a 1",
     "!FROM keyword expected after first SUBSTRING function argument, instead found '1' in filter"},
    {0, "SUBSTRING(a FROM 1 2",
     "!Right parentheses expected after SUBSTRING function arguments, instead found '2' in filter"},
    {0, "REPLACE a", "!Left parentheses expected after REPLACE keyword, instead found 'a' in filter"},
    {0, "REPLACE(a b",
     "!WITH keyword expected after first REPLACE function argument, instead found 'b' in filter"},
    {0, "REPLACE(a WITH b c",
     "!IN keyword expected after second REPLACE function argument, instead found 'c' in filter"},
    {0, "REPLACE(a WITH b IN c",
     "!Right parentheses expected after REPLACE function arguments, instead found '' in filter"},
    {0, "POS a", "!Left parentheses expected after POS keyword, instead found 'a' in filter"},
    {0, "POS(a b", "!IN keyword expected after first POS function argument, instead found 'b' in filter"},
    {0, "POS(a IN b", "!Right parentheses expected after POS function arguments, instead found '' in filter"},
    {0, "OCCURS a", "!Left parentheses expected after OCCURS keyword, instead found 'a' in filter"},
    {0, "OCCURS(a b",
     "!IN keyword expected after first OCCURS function argument, instead found 'b' in filter"},
    {0, "OCCURS(a IN b",
     "!Right parentheses expected after OCCURS function arguments, instead found '' in filter"},
    {0, "CAST a", "!Left parentheses expected after CAST keyword, instead found 'a' in filter"},
    {0, "CAST(a INT",
     "!AS keyword expected after first CAST function argument, instead found 'INT' in filter"},
    {0, "CAST(a AS INT",
     "!Right parentheses expected after CAST function arguments, instead found '' in filter"},
    {0, "TRIM a", "!Left parentheses expected after TRIM keyword, instead found 'a' in filter"},
    {0, "TRIM(a",
     "!LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found 'a' in filter"},
    {0, "TRIM(BOTH c a",
     "!FROM keyword expected after second TRIM function argument, instead found 'a' in filter"},
    {0, "TRIM(BOTH c FROM a",
     "!Right parentheses expected after TRIM function arguments, instead found '' in filter"},
    {0, "EXTRACT a", "!Left parentheses expected after EXTRACT keyword, instead found 'a' in filter"},
    {0, "EXTRACT(a",
     "!YEAR, MONTH, WEEK, DAY, DAYOFWEEK, HOUR, MINUTE, or SECOND keyword expected after EXTRACT keyword, "
     "instead "
     "found 'a' in filter"},
    {0, "EXTRACT(DAY a",
     "!FROM keyword expected after second EXTRACT function argument, instead found 'a' in filter"},
    {0, "EXTRACT(DAY FROM a",
     "!Right parentheses expected after EXTRACT function arguments, instead found '' in filter"},
    {0, "ABS a", "!Left parentheses expected after ABS keyword, instead found 'a' in filter"},
    {0, "ABS(a", "!Right parentheses expected after ABS function argument, instead found '' in filter"},
    {0, "ROUND a", "!Left parentheses expected after ROUND keyword, instead found 'a' in filter"},
    {0, "ROUND(a TO 1",
     "!Right parentheses expected after ROUND function arguments, instead found '' in filter"},
    {0, "IF a", "!Left parentheses expected after IF keyword, instead found 'a' in filter"},
    {0, "IF(a b", "!THEN keyword expected after first IF function argument, instead found 'b' in filter"},
    {0, "IF(a THEN b c",
     "!ELSE keyword expected after second IF function argument, instead found 'c' in filter"},
    {0, "IF(a THEN b ELSE c",
     "!Right parentheses expected after IF function arguments, instead found '' in filter"},
    {0, "TEXTSEARCH a", "!Left parentheses expected after TEXTSEARCH keyword, instead found 'a' in filter"},
    {0, "TEXTSEARCH(a b",
     "!IN keyword expected after first TEXTSEARCH function argument, instead found 'b' in filter"},
    {0, "TEXTSEARCH(a IN b",
     "!Right parentheses expected after TEXTSEARCH function argument, instead found '' in filter"},
    {0, "TEXTOCCURS a", "!Left parentheses expected after TEXTOCCURS keyword, instead found 'a' in filter"},
    {0, "TEXTOCCURS(a b",
     "!IN keyword expected after first TEXTOCCURS function argument, instead found 'b' in filter"},
    {0, "TEXTOCCURS(a IN b",
     "!Right parentheses expected after TEXTOCCURS function argument, instead found '' in filter"},
    {0, "CURRENT_DATE(x",
     "!Right parentheses expected after first CURRENT_DATE function parentheses, instead found 'x' in "
     "filter"},
    {0, "CURRENT_TIME(x",
     "!Right parentheses expected after first CURRENT_TIME function parentheses, instead found 'x' in "
     "filter"},
    {0, "CURRENT_TIMESTAMP(x",
     "!Right parentheses expected after first CURRENT_TIMESTAMP function parentheses, instead found 'x' in "
     "filter"},
    {0, "CAST(a AS DECIMAL(1 2))",
     "!Comma expected after first DECIMAL argument, instead found '2' in filter"},
    {0, "CAST(a AS DECIMAL(1, 2",
     "!Right parentheses expected after DECIMAL data type arguments, instead found '' in filter"},
    {0, "CAST(a AS NUMERIC(1 2))",
     "!Comma expected after first NUMERIC argument, instead found '2' in filter"},
    {0, "CAST(a AS FLOAT(1,2",
     "!Right parentheses expected after FLOAT data type arguments, instead found '' in filter"},
    {0, "CAST(a AS CHAR 1)",
     "!Left parentheses expected after CHARACTER or CHAR data type, instead found '1' in filter"},
    {0, "CAST(a AS CHARACTER(1",
     "!Right parentheses expected after CHARACTER or CHAR data type arguments, instead found '' in filter"},
    {0, "CAST(a AS VARCHAR 1)",
     "!Left parentheses expected after VARCHAR data type, instead found '1' in filter"},
    {0, "CAST(a AS VARCHAR(1",
     "!Right parentheses expected after VARCHAR data type arguments, instead found '' in filter"},
    {0, "CAST(a AS BYTES(1",
     "!Right parentheses expected after CHARACTER data type arguments, instead found '' in filter"},
    {0, "CAST(a AS BLOB 1)", "!Left parentheses expected after BLOB data type, instead found '1' in filter"},
    {0, "CAST(a AS BLOB(1 2))", "!Comma expected after first BLOB argument, instead found '2' in filter"},
    {0, "CAST(a AS BLOB(1, 2",
     "!Right parentheses expected after BLOB data type arguments, instead found '' in filter"},
    {0, "CAST(a AS TEXT)", "!SQL data type keyword expected, instead found 'TEXT' in filter"},
};

TEST(ExpressionParserTest, TextsParseToTheirTreesOrFailWithTheirExactMessage) {
  for (const Row& row : kRows) {
    exp_test::FakeStatement statement;
    std::string error;
    TExpTreePtr tree = parseAll(row.text, row.flags, &statement, error);
    std::string got = tree ? dump(tree.get()) : "!" + error;
    EXPECT_EQ(got, row.expected) << row.text;
    tree.reset();
    EXPECT_EQ(ExpTokensInUse(), 0) << row.text;
  }
}

TEST(ExpressionParserTest, NestingBeyondTheLimitIsASyntaxErrorAndMessagesAreCut) {
  std::string error;
  std::string deep = std::string(kMaxExpNesting, '(') + "1" + std::string(kMaxExpNesting, ')');
  EXPECT_EQ(parseAll(deep, 0, nullptr, error), nullptr);
  EXPECT_EQ(error, "Expression is nested too deeply in filter");
  std::string chain = "a";
  for (int i = 0; i < kMaxExpTreeDepth; ++i) chain += "+a";
  EXPECT_EQ(parseAll(chain, 0, nullptr, error), nullptr);
  EXPECT_EQ(error, "Expression is nested too deeply in filter");
  EXPECT_NE(parseAll(deep.substr(1, deep.size() - 2), 0, nullptr, error), nullptr);

  EXPECT_EQ(parseAll(std::string(300, 'x') + "()", 0, nullptr, error), nullptr);
  EXPECT_EQ(error.size(), 255u);
  EXPECT_EQ(ExpTokensInUse(), 0);
}

TEST(ExpressionParserTest, StatementGetsSubSelectsAndParametersAndMarkedTextDropsLineBreaks) {
  exp_test::FakeStatement statement;
  TExpressionParser parser(&statement);
  parser.SetText("x IN (SELECT a FROM t) AND y = ?\r\n OR z = ? ORDER");
  parser.NextToken();
  parser.MarkStart();
  TExpTreePtr tree(parser.ParseExpression(kAll));
  EXPECT_EQ(parser.GetMarkedText(), "x IN (SELECT a FROM t) AND y = ? OR z = ?");
  EXPECT_TRUE(parser.IsKeyword("order"));
  ASSERT_EQ(statement.queries.size(), 1u);
  EXPECT_TRUE(static_cast<exp_test::FakeQuery*>(statement.queries[0].get())->subSelect);
  EXPECT_EQ(tree->left->left->args[1]->subSelect, statement.queries[0].get());
  ASSERT_EQ(statement.parameters.size(), 2u);
  EXPECT_EQ(statement.parameters[1], tree->right->right);
}

// A quoted text is read from quote to quote: whatever stands around a doubled quote (the text's
// ends, another pair, a long run without one), each pair gives one quote and the text ends at the
// first single one. A NUL before it leaves the text open, as the end of the statement does.
TEST(ExpressionParserTest, QuotedTextsGiveEachDoubledQuoteOnceAndEndAtTheFirstSingleOne) {
  std::minstd_rand random(62);
  const char pieces[] = {'a', '\'', '"', '\n', ' '};
  for (int round = 0; round < 400; ++round) {
    // Short texts over every piece, then long ones with a quote here and there.
    const bool shortText = round < 200;
    const size_t length = shortText ? random() % 12 : random() % 3000;
    std::string body;
    for (size_t i = 0; i < length; ++i)
      body += shortText ? pieces[random() % 5] : (random() % 64 == 0 ? pieces[1 + random() % 2] : 'a');
    for (const char quote : {'\'', '"'}) {
      std::string source(1, quote);
      for (char c : body) source += c == quote ? std::string(2, c) : std::string(1, c);
      source += quote;
      TExpressionParser parser(nullptr);
      parser.SetText(source + "+" + source);
      ASSERT_EQ(parser.NextToken(), tkString) << source;
      EXPECT_EQ(parser.GetTokenText(), body) << source;
      EXPECT_EQ(parser.NextToken(), '+') << source;
      EXPECT_EQ(parser.NextToken(), tkString) << source;
      EXPECT_EQ(parser.NextToken(), tkEnd) << source;
    }
  }
  std::string error;
  EXPECT_EQ(parseAll(std::string("x = 'a\0b'", 10), 0, nullptr, error), nullptr);
  EXPECT_EQ(error.rfind("Missing single quote after 'a", 0), 0u) << error;
  EXPECT_EQ(parseAll("x = 'ab''", 0, nullptr, error), nullptr);
  EXPECT_EQ(error, "Missing single quote after 'ab'' in filter");
  EXPECT_EQ(parseAll("x = \"''\"\"", 0, nullptr, error), nullptr);
  EXPECT_EQ(error, "Missing double quote after '''\"' in filter");
  EXPECT_EQ(ExpTokensInUse(), 0);
}

// An operand of one token is taken without the descent when no operator follows it. A comment
// between the operand and what follows gives the same tokens but sends the text down the
// descent: both must give the same tree, or fail with the same message, the same parameters
// taken, for every operand before every kind of follower.
TEST(ExpressionParserTest, AnOperandStandingAloneParsesAsTheDescentParsesIt) {
  const char* operands[] = {"name", "[a b]", "'text'",       "''",    "'it''s'", "12",  "3000000000",
                            "1.5",  "1e3",   "1e999",        "#65",   "#300",    "?",   "NULL",
                            "TRUE", "false", "CURRENT_DATE", "COUNT", "Upper",   "not", "*",
                            "t.c",  "x2"};
  const char* followers[] = {"",
                             ",",
                             ")",
                             ";",
                             " , y",
                             " AND x",
                             " or x",
                             " NOT LIKE 'a'",
                             " IS NULL",
                             " in (1)",
                             " BETWEEN 1 AND 2",
                             " LIKE 'a%'",
                             " + 1",
                             "-1",
                             " * 2",
                             " / 2",
                             " || 'a'",
                             " = 1",
                             " <> 1",
                             " >= 1",
                             " WHERE",
                             " desc",
                             "\r\n,",
                             " (1)",
                             " 'a'",
                             " x",
                             " ANDY",
                             " island",
                             " '"};
  for (uint8_t flags : {uint8_t(0), uint8_t(kAll)}) {
    for (const char* operand : operands) {
      for (const char* follower : followers) {
        const std::string alone = std::string(operand) + follower;
        const std::string descended = std::string(operand) + "/**/" + follower;
        SCOPED_TRACE(alone + " flags " + std::to_string(flags));
        exp_test::FakeStatement a, d;
        std::string errorA, errorD;
        TExpTreePtr treeA = parseAll(alone, flags, &a, errorA);
        TExpTreePtr treeD = parseAll(descended, flags, &d, errorD);
        EXPECT_EQ(errorA, errorD);
        EXPECT_EQ(dump(treeA.get()), dump(treeD.get()));
        EXPECT_EQ(a.parameters.size(), d.parameters.size());
      }
    }
  }
  EXPECT_EQ(ExpTokensInUse(), 0);
}

}  // namespace
}  // namespace engine
