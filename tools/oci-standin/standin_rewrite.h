// The stand-in server's SQL front: a scanner for the Oracle SQL and PL/SQL text that clients
// send, the kind of a statement, and the rewrite of what SQLite spells differently.
// Pure functions over text; safe on any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ocistandin {

enum class TokenKind { Word, QuotedName, String, Number, Bind, Symbol, Unterminated };

struct Token {
  TokenKind kind;
  size_t begin;  // byte range in the scanned text
  size_t end;
  std::string text;  // Word: upper-cased; QuotedName: without quotes; Bind: normalised name;
                     // String: the value without quotes, '' undoubled; Symbol and Number: as written
};

// Splits text into tokens; comments and blanks fall between them. An unterminated string or
// quoted name ends the scan with one Unterminated token.
std::vector<Token> scanSql(std::string_view text);

// ASCII letters in upper case, as unquoted names compare.
std::string upperAscii(std::string_view text);
// A SQL string literal ('it''s') and a quoted name ("a""b") holding the text.
std::string quoteLiteral(std::string_view text);
std::string quoteName(std::string_view name);

// The name a bind is known by: upper case unless written in double quotes. Accepts the forms
// a placeholder is given in (":name", "name", ":\"Name\"", "\"Name\"").
std::string normaliseBindName(std::string_view placeholder);

enum class StatementKind {
  Other,
  Select,
  Insert,
  Update,
  Delete,
  Create,
  Drop,
  Alter,
  Begin,
  Declare,
  Commit,
  Rollback
};

struct RewrittenSql {
  StatementKind kind = StatementKind::Other;
  std::string sql;                 // the text SQLite runs, binds written as :NAME
  std::vector<std::string> binds;  // normalised bind names, in order of first appearance
  bool forUpdate = false;          // a query whose locking clause was dropped
};

// Rewrites one statement:
//  - binds become :NAME (SQLite compares parameter names exactly);
//  - a trailing FOR UPDATE [OF columns] [NOWAIT | WAIT n | SKIP LOCKED] is dropped (SQLite
//    locks whole files on write);
//  - [owner.]seq.NEXTVAL and .CURRVAL become ora_nextval('OWNER', 'SEQ') and ora_currval(..);
//  - ROWID becomes ora_rowid(_rowid_) (named "ROWID" in a select list), and ROWID = :bind or
//    ROWID = 'text' becomes _rowid_ = ora_rowid_row(...);
//  - each operand of || is wrapped in ifnull(operand, ''), as concatenation treats NULL as
//    empty text;
//  - SYSDATE and SYSTIMESTAMP become ora_sysdate() and ora_systimestamp(), and SYSDATE + n or
//    SYSDATE - n (n a number) becomes ora_date_add(ora_sysdate(), n); other date arithmetic is
//    not offered;
//  - a cursor expression CURSOR(SELECT ...) becomes ora_cursor('SELECT ...', outer values...)
//    (named "CURSOR" in a select list): a reference alias.column to a table of the outer query's
//    FROM clause, and a bind, becomes a mark \x02n\x02 in the text and the n-th value after it
//    (binds inside take their values with the outer statement's);
//  - in CREATE and ALTER, TIMESTAMP(n) WITH [LOCAL] TIME ZONE, INTERVAL YEAR(n) TO MONTH and
//    INTERVAL DAY(n) TO SECOND(m) become one word with the arguments last, as SQLite spells
//    types (TIMESTAMP_WITH_TIME_ZONE(n), INTERVAL_DAY_TO_SECOND(n,m)), a BYTE or CHAR
//    length qualifier is dropped, and a CHAR or NCHAR column compares with COLLATE RTRIM
//    (blank-padded, as the server compares fixed text);
//  - a number literal SQLite would not keep exactly becomes the text of its stored form
//    (standin_number.h);
//  - a set-operator member written in parentheses loses them ("(select a from t) union
//    (select b from u)");
//  - a name of the session's own schema before a dot becomes main (`ownSchema`, upper case;
//    empty for none).
// Functions SQLite lacks (nvl, lengthb, chr, instr, rpad, to_char, to_date, to_timestamp,
// to_number, bfilename, sys_context, nls_charset_id) are registered as SQL functions by the
// server, not rewritten.
RewrittenSql rewriteSql(std::string_view text, std::string_view ownSchema = {});

}  // namespace ocistandin
