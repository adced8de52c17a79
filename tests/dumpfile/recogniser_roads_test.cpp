#include "tests/dumpfile/recogniser_roads.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace dumpfile {
namespace {

using namespace std::string_view_literals;
using recogniser_roads::Roads;

// Each input on recognisers of its own, then all of them on one pair, as the fuzz run has them.
void expectAgreement(const std::vector<std::string>& inputs) {
  Roads shared;
  for (const std::string& input : inputs) {
    Roads own;
    EXPECT_EQ(own.compareInput(input), "");
    EXPECT_EQ(shared.compareInput(input), "");
  }
}

// Every combination of the parts, joined as written.
std::vector<std::string> joined(const std::vector<std::string_view>& a,
                                const std::vector<std::string_view>& b,
                                const std::vector<std::string_view>& c) {
  std::vector<std::string> out;
  for (std::string_view x : a)
    for (std::string_view y : b)
      for (std::string_view z : c) out.push_back(std::string(x).append(y).append(z));
  return out;
}

// Damaged lines that showed the two roads answering apart.
TEST(RecogniserRoads, InputsTheFuzzRunFound) {
  expectAgreement({
      std::string(
          ";REATE TAB\xFF\xF6\xFFTAB\xFF\xF6\xFF\x03\0\0\xB3"
          "E \"\xBF\xDD\xDD\xBD\xDD\xDF\xD7\x9F)\r\ncreate Or replace \0\0\0\0\0\0'\0\0\0\0\0package body "
          "scot:CREA__ABLE \"A\"Te t\x03\0\0\xB3"
          "E \"\xBF\xDD\xDD\xBD\xDD\xDF\xD7\x9F"
          "eate Or replace \0\0\0\0\0\0\0\0\0\0"sv),
      std::string("\ncreate \"SNAPSHOT\0\0\0\0\0\0'\xFF\0e\\"sv),
      std::string("CREATE\" TABLE\x11 C_\xAE_\x1F_E\\\x98"sv),
  });
}

// A quoted text where a keyword may stand is never a keyword, unless the scanner takes it apart: a
// text that ends in a backslash before its closing quote, a 0 byte or the end of the line is
// dropped up to its quote and what it held is read again, keywords included.
TEST(RecogniserRoads, QuotesWhereAKeywordMayStand) {
  const std::vector<std::string_view> heads = {"CREATE ",
                                               "CREATE",
                                               "CREATE OR ",
                                               "CREATE OR REPLACE ",
                                               "CREATE OR REPLACE PACKAGE ",
                                               "CREATE PACKAGE ",
                                               "CREATE UNIQUE ",
                                               "CREATE BITMAP ",
                                               "CREATE DATABASE ",
                                               "CREATE ROLLBACK ",
                                               "ANALYZE ",
                                               "INSERT ",
                                               "COMMENT ",
                                               "CREATE FORMAT71TRIG ",
                                               "CREATE FORMAT71TRIG CREATE ",
                                               "CREATE PUBLIC "};
  const std::vector<std::string_view> quotes = {"\"",
                                                "'",
                                                "\"\"",
                                                "''",
                                                "\"TABLE\"",
                                                "'TABLE'",
                                                "\"TABLE\\",
                                                "'TABLE\\",
                                                "\"TABLE",
                                                "'TABLE",
                                                "\" TABLE\\",
                                                "' TABLE\\",
                                                "\"SNAPSHOT'e\\",
                                                "\"BODY\\",
                                                "\"BODY\"",
                                                "'BODY\\",
                                                "\"REPLACE\\",
                                                "\"INDEX\\",
                                                "\"LINK\\",
                                                "\"SEGMENT\\",
                                                "\"TABLE\\\"",
                                                "\"TABLE\\\\\"",
                                                "\"\\",
                                                "'\\",
                                                "\"\\\"",
                                                "\"TABLE\0\\"sv,
                                                "\"TABLE\\\0"sv,
                                                "\"\0TABLE\\"sv,
                                                "\"TA\xFF\\",
                                                "\"\x80\"",
                                                "\"-\\",
                                                "\"--\\",
                                                "\"\t\\",
                                                "\"TABLE\\\\"};
  const std::vector<std::string_view> tails = {"",         " X",   " X Y", " \"X\"", " X.Y",
                                               " TABLE X", " e\\", " X\\", "\\",     " 'x'",
                                               " \"",      "'",    " --",  "\r",     "\0 X"sv};
  expectAgreement(joined(heads, quotes, tails));
}

// The same where a name stands: quoted names with odd bytes, NULs, backslashes, a quote at the
// line's end, and owner.name with either part quoted.
TEST(RecogniserRoads, QuotesWhereANameStands) {
  const std::vector<std::string_view> heads = {
      "CREATE TABLE ", "CREATE TABLE",     "CONNECT ",        "CREATE USER ",        "CREATE SNAPSHOT ",
      "TABLE ",        "INSERT INTO ",     "CREATE TABLE A.", "CREATE TABLE \"A\".", "CREATE PACKAGE BODY ",
      "CREATE INDEX ", "CREATE TABLE A . "};
  const std::vector<std::string_view> names = {
      "\"",        "'",         "\"\"",     "''",        "\"T\"",        "'T'",     "\"T",     "'T",
      "\"T\\",     "'T\\",      "\"T\\\"",  "'T\\'",     "\"T\\\"X\"",   "'T\\'X'", "\"LOG\"", "\"LOG\\",
      "\"T\0\""sv, "\"T\0\\"sv, "\"\0\""sv, "\"T\xFF\"", "\"\xC3\x84\"", "\"T\t\"", "\"T\n\"", "\"T\r\"",
      "\"T'\"",    "'T\"'",     "\"A.B\"",  "\"T\"\"\"", "\"T\\\\\""};
  const std::vector<std::string_view> tails = {"",       " ",     " (",     " X",   " \"X\"", " \"X",
                                               " \"X\\", " 'X'",  " 'X\\",  "\"",   "'",      " \\",
                                               "\\",     " \x80", "\0 X"sv, " -- c"};
  expectAgreement(joined(heads, names, tails));
}

// Damaged lines of the same family as the reader cuts them: the bytes it drops between the parts.
TEST(RecogniserRoads, QuotesWithDroppedBytesBetween) {
  const std::vector<std::string_view> heads = {"CREATE ", "CREATE OR REPLACE ", "CREATE TABLE ", "CONNECT "};
  const std::vector<std::string_view> middles = {"\"\x01", "\x7F\"", "\"T\xFE\\", "'\x00T\\"sv, "\"T\x1B\""};
  const std::vector<std::string_view> tails = {"",
                                               "\xFF"
                                               "TABLE X",
                                               "\x80\\", " X\x02\\"};
  expectAgreement(joined(heads, middles, tails));
}

// The lines a real dump is made of are taken from their characters: the scanner stays where the
// last line that needed it left it.
TEST(RecogniserRoads, LinesOfRealDumpsKeepTheQuickRoad) {
  const std::vector<std::string> lines = {
      "CREATE TABLE \"ORDERS\" (\"ORDER_ID\" NUMBER(10, 0), \"NOTE\" VARCHAR2(40))  PCTFREE 10",
      "CREATE UNIQUE INDEX \"PK_ORDERS\" ON \"ORDERS\" (\"ORDER_ID\" )  PCTFREE 10 INITRANS 2",
      "CREATE BITMAP INDEX SCHEMA_1.\"IX_NOTE\" ON \"ORDERS\" (\"NOTE\" )",
      "CREATE INDEX \"IX\" ON \"ORDERS\" (\"NOTE\" )",
      "CREATE SEQUENCE \"ORDER_SEQ\" MINVALUE 1 MAXVALUE 999999 INCREMENT BY 1",
      "CREATE SYNONYM \"ORD\" FOR \"ORDERS\"",
      "CREATE VIEW \"OPEN_ORDERS\" (\"ORDER_ID\") AS ",
      "CREATE PACKAGE \"BILLING\" AS",
      "CREATE OR REPLACE PACKAGE \"BILLING\" AS",
      "CREATE PACKAGE BODY \"BILLING\" AS",
      "CREATE OR REPLACE PACKAGE BODY \"BILLING\" AS",
      "CREATE PACKAGE BILLING",
      "CREATE OR REPLACE PROCEDURE \"SHIP\" (\"ID\" NUMBER) AS",
      "CREATE FUNCTION \"TOTAL\" RETURN NUMBER",
      "CREATE OR REPLACE TRIGGER \"ORDERS_BI\" BEFORE INSERT ON \"ORDERS\"",
      "CREATE USER \"SCOTT\" IDENTIFIED BY VALUES 'F894844C34402B67'",
      "CREATE ROLE \"CLERK\"",
      "CREATE TABLESPACE \"USERS\" DATAFILE",
      "CREATE DATABASE LINK \"REMOTE\" CONNECT TO",
      "CONNECT SCOTT",
      "CREATE FORMAT71 PACKAGE \"BILLING\" ",
      "CREATE FORMAT71TRIG  ",
      "CREATE FORMAT71TRIG CREATE TRIGGER \"ORDERS_BI\" BEFORE INSERT",
      "CREATE GLOBAL TEMPORARY TABLE \"T\" (\"A\" NUMBER)",
      "ALTER TABLE \"ORDERS\" ADD CONSTRAINT \"PK_ORDERS\" PRIMARY KEY (\"ORDER_ID\")",
      "COMMENT ON COLUMN \"ORDERS\".\"NOTE\" IS 'free text'",
      "INSERT INTO \"ORDERS\" (\"ORDER_ID\", \"NOTE\") VALUES (:1, :2)",
      "ANALYZE TABLE \"ORDERS\" ESTIMATE STATISTICS",
      "GRANT SELECT ON \"ORDERS\" TO \"CLERK\"",
      "TABLE \"ORDERS\"",
      "ENDTABLE",
      "EXIT"};
  TDumpRecogniser recogniser;
  TDumpRecogniser::Outcome outcome;
  Roads roads;
  for (const std::string& line : lines) {
    recogniser.Recognise("CREATE TABLE X\tLAST_SCANNED", outcome);  // a tab: the full parse
    ASSERT_EQ(recogniser.Lexer().yytext.view(), "LAST_SCANNED");
    const int column = recogniser.Lexer().yycolno;
    recogniser.Recognise(line, outcome);
    EXPECT_EQ(recogniser.Lexer().yytext.view(), "LAST_SCANNED") << line;
    EXPECT_EQ(recogniser.Lexer().yycolno, column) << line;
    EXPECT_EQ(roads.compare(line, true), "");
  }
}

}  // namespace
}  // namespace dumpfile
