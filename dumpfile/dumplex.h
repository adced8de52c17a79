// The dump-line scanner: turns one text line of an export dump into tokens for the statement
// recogniser. A DFA over the rules below, driven by lexyacc::LexLib's driver, so that token text, column
// counter and longest-match behaviour are those of the table-driven scanner.
//
// The rules are TDumpLex::Rule, in priority order: the longest match wins, and on a tie in
// length the rule declared first.
// Token 0 also means end of input. A 0 byte inside a line ends the line's input.
#pragma once

#include <cstdint>
#include <string_view>

#include "lexyacc/lexlib.h"

namespace dumpfile {

// Token codes of the dump-line scanner.
namespace dumptoken {
enum : int {
  END = 0,
  ERROR = 256,  // the parser's error token
  INTNUM = 257,
  SIGNED_INTNUM = 258,
  APPROXNUM = 259,
  NAME = 260,
  STRING = 261,
  COMMA = 262,        // ,
  LPAREN = 263,       // (
  RPAREN = 264,       // )
  LBRACKET = 265,     // [
  RBRACKET = 266,     // ]
  DOT = 267,          // .
  COLON = 268,        // :
  RPAREN_SEMI = 269,  // );
  SLASH = 271,        // /
  STAR = 272,         // *
  PLUS = 273,         // +
  MINUS = 274,        // -
  EQ = 275,           // =
  NE = 276,           // <>
  LT = 277,           // <
  GT = 278,           // >
  GE = 279,           // >=
  LE = 280,           // <=
  // Keywords (the codes of the keyword table).
  ALL = 281,
  ALTER,
  AND,
  ANALYZE,
  ANY,
  AS,
  ASC,
  AUTHORIZATION,
  AVG,
  BEGIN,
  BETWEEN,
  BITMAP,
  BODY,
  BY,
  CHAR,
  CHARACTER,
  CHECK,
  CLOSE,
  CLUSTER,
  COMMENT,
  COMMIT,
  CONNECT,
  CONTINUE,
  COUNT,
  CREATE,
  CURRENT,
  CURSOR,
  DATABASE,
  DATABASELINK,
  DEC,  // DECIMAL shares DEC's code
  DECLARE = 311,
  DEFAULT,
  DELETE,
  DESC,
  DIRECTORY,
  DISTINCT,
  DOUBLE,
  END_KW,
  ENDTABLE,
  ESCAPE,
  EXEC,
  EXECFULL,
  EXECUTE,
  EXISTS,
  EXIT,
  FETCH,
  FLOAT,
  FOR,
  FOREIGN,
  FORMAT71,
  FORMAT71TRIG,
  FOUND,
  FROM,
  FUNCTION,
  GO,
  GOTO,
  GRANT,
  GROUP,
  HAVING,
  IN,
  INDEX,
  INDICATOR,
  INSERT,
  INT,
  INTEGER,
  INTO,
  IS,
  KEY,
  LANGUAGE,
  LIKE,
  LINK,
  MAX,
  MIN,
  MODULE,
  NOT,
  NULL_KW,
  NUMERIC,
  OF,
  ON,
  OPEN,
  OPTION,
  OR,
  ORDER,
  PACKAGE,
  PACKAGEBODY,
  PROCEDURE,  // RW_PROCEDURE and PROCEDURE share this code
  PROFILE = 367,
  PRECISION,
  PRIMARY,
  PRIVILEGES,
  PUBLIC,
  REAL,
  REFERENCES,
  REPLACE,
  REVOKE,
  ROLE,
  ROLLBACK,
  SCHEMA,
  SECTION,
  SEGMENT,
  SELECT,
  SEQUENCE,
  SET,
  SHARED,
  SMALLINT,
  SNAPSHOT,
  SOME,
  SQL,
  SQLCODE,
  SQLERROR,
  SQLVERSION,
  SUM,
  SYNONYM,
  TABLE,
  TABLESPACE,
  TRIGGER,
  TO,
  UNION,
  UNIQUE,
  UPDATE,
  USER,
  VALUES,
  VIEW,
  WHENEVER,
  WHERE,
  WITH,
  WORK,
};
static_assert(DEC == 310 && DECLARE == 311 && PROCEDURE == 366 && PROFILE == 367 && WORK == 407);
}  // namespace dumptoken

// One row of the keyword table.
struct DumpKeyword {
  std::string_view text;
  int code;
};
// The 129 rows in table order; the first row whose text matches wins.
extern const DumpKeyword DumpKeywords[129];

// Keyword code of an identifier (ASCII letters compared without case), or 0 when it is none.
int DumpKeywordCode(std::string_view word);

class TDumpLex : public lexyacc::LexLib {
 public:
  // Next token (0 at end of input or on a byte that no rule takes).
  int yylex();

  // Converted value of the last number token (its yylval holds the text as written).
  double yynumber = 0;
  int32_t yyinteger = 0;

  // The scanner's rules; their values are their priorities (lower wins on a tie in length).
  enum Rule : int {
    kRuleIdentifier = 1,  // [A-Za-z][A-Za-z0-9_#$]*: keyword code or NAME; yylval := text
    // [0-9]+"."[0-9]* | "."[0-9]+([Ee][+-][0-9]+)? | [+-][0-9]+"."[0-9]+: APPROXNUM
    kRuleApproxNum,
    kRuleSignedInt,     // [+-][0-9]+: SIGNED_INTNUM (32-bit; NAME with the text when out of range)
    kRuleInt,           // [0-9]+: INTNUM (likewise)
    kRuleSingleQuoted,  // '[^']*, then the closing quote read by the action; backslash continues it
    kRuleDoubleQuoted,  // "[^"]*, likewise
    kRuleComma,         // the punctuation and operators, each its token
    kRuleLparen,
    kRuleRparen,
    kRuleLbracket,
    kRuleRbracket,
    kRuleLess,
    kRuleGreater,
    kRuleDot,
    kRuleColon,
    kRuleRparenSemi,
    kRuleEqual,
    kRuleStar,
    kRulePlus,
    kRuleMinus,
    kRuleSlash,
    kRuleNotEqual,
    kRuleGreaterEqual,
    kRuleLessEqual,
    kRuleComment,  // "--" up to a line feed: skipped
    kRuleBlanks,   // [ \t\n]+: skipped
    kRuleAnyByte,  // any other byte: token 0
  };

  // DFA interface for lexyacc::LexLib::yylexWith.
  int accepts(int state, int* rules) const;
  bool hasTransitions(int state) const;
  int next(int state, char c) const;
  void action(int rule);
};

}  // namespace dumpfile
