// The statement parsers: each clause form as a model dump, each error with its exact text, and
// text cut off at every token.
#include <gtest/gtest.h>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "sql_test_util.h"

namespace {

using namespace sql_test;

struct Row {
  const char* sql;
  const char* expected;
};

class ParserTest : public ::testing::Test {
 protected:
  ParserTest() : directory(session.OpenDataDirectory("Memory", "")), statement(*directory) {}
  ~ParserTest() override { session.CloseDataDirectory(directory); }
  // The dump, or the engine error's text.
  std::string parse(const std::string& sql) {
    try {
      statement.ParseStatement(sql);
      return dump(statement);
    } catch (const EVELDOREngineError& e) {
      return "error " + std::to_string(e.ErrorCode()) + ": " + e.ErrorText();
    }
  }
  TDataSession session;
  TDataDirectory* directory;
  TQueryStatement statement;
};

const Row kForms[] = {
    {"select * from t", "SELECT STAR col(*) from(1:t T)"},
    {"SELECT ALL DISTINCT a, t.b AS x, c y, d AS \"long name\", e AS z.w FROM t",
     "SELECT DISTINCT col(a) col(t.b AS x) col(c AS y) col(d AS long name) col(e AS w) from(1:t T)"},
    {"SELECT SUM(a), RUNSUM(a), MIN(a), MAX(a), AVG(a), COUNT(*), COUNT(b) FROM t",
     "SELECT HASAVG col(agg1:a) col(agg2:a) col(agg3:a) col(agg4:a) col(agg5:a) col(agg6*:*) col(agg6:b) "
     "from(1:t T)"},
    {"SELECT SUM(a + 1), a * 2 AS dbl, UPPER(b) FROM t",
     "SELECT CALC col(agg1:SUM(a + 1)) col(a * 2 AS dbl) col(UPPER(b)) from(1:t T)"},
    {"SELECT a INTO MEMORY FROM t", "SELECT MEMORY col(a) from(1:t T)"},
    {"SELECT a INTO MEMORY r FROM t", "SELECT MEMORY target=r col(a) from(1:t T)"},
    {"SELECT a INTO 'r' FROM t", "SELECT target=r col(a) from(1:t T)"},
    {"SELECT a FROM MEMORY m, \"/data/orders.DAT\", 'c:\\data\\Orders.dat' o, 'x.Dat' AS \"Y z\"",
     "SELECT MULTI col(a) from(1:MEMORY m M @Memory) from(2:orders ORDERS @/data) from(3:Orders O @c:\\data) "
     "from(4:x Y Z)"},
    {"SELECT a FROM t x WHERE X.a = x.b", "SELECT COND col(a) from(1:t X) where(X.a = x.b)"},
    {"SELECT a FROM t1 JOIN t2 ON t1.a = t2.a INNER JOIN t3 ON t2.b = t3.b",
     "SELECT MULTI COND col(a) from(1:t1 T1) from(2:t2 T2) from(3:t3 T3) where((t1.a =#1 t2.a) AND (t2.b =#1 "
     "t3.b))"},
    {"SELECT a FROM t1 LEFT OUTER JOIN t2 ON t1.a = t2.a AND (t1.b = t2.b OR t1.c > 2) WHERE t1.d < 5",
     "SELECT MULTI COND col(a) from(1:t1 T1) from(2:t2 T2) where(((t1.a =#2 t2.a) AND ((t1.b =#2 t2.b) OR "
     "(t1.c >#2 2))) AND (t1.d < 5))"},
    {"SELECT a FROM t1 RIGHT JOIN t2 AS b ON t1.a = b.a",
     "SELECT MULTI COND col(a) from(2:t2 B) from(1:t1 T1) where(t1.a =#3 b.a)"},
    {"SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE c = 1) AND d LIKE 'x%' AND e BETWEEN 1 AND 2 AND f "
     "IS NULL",
     "SELECT COND col(a) from(1:t T) where(((IN(a,SELECT) AND LIKE(d,x%)) AND BETWEEN(e,1,2)) AND (f IS NULL "
     "NULL)) | SELECT SUB COND col(b) from(1:u U) where(c = 1)"},
    {"SELECT a FROM t WITH LOCKS NOJOINOPTIMIZE", "SELECT LOCKS NOJOINOPT col(a) from(1:t T)"},
    {"SELECT a FROM t UNION SELECT b FROM u ORDER BY 1",
     "SELECT DISTINCT union=1 col(a) from(1:t T) order(1) | SELECT col(b) from(1:u U)"},
    // Ends in a UNION without ALL: the master's pass makes the whole chain distinct.
    {"SELECT a FROM t UNION ALL SELECT b FROM u UNION SELECT c FROM v",
     "SELECT DISTINCT union=2 col(a) from(1:t T) | SELECT union=1 col(b) from(1:u U) | SELECT col(c) "
     "from(1:v V)"},
    {"SELECT a FROM t UNION ALL SELECT b FROM u UNION ALL SELECT c FROM v",
     "SELECT union=2 col(a) from(1:t T) | SELECT union=2 col(b) from(1:u U) | SELECT col(c) from(1:v V)"},
    {"SELECT a, COUNT(*) FROM t GROUP BY a, t.b, 1 HAVING COUNT(*) > 1",
     "SELECT col(a) col(agg6*:*) from(1:t T) having(COUNT(*) > 1) group(a) group(t.b) group(1)"},
    {"SELECT a FROM t ORDER BY 2 DESC, a ASC, t.b DESCENDING NOCASE TOP 5",
     "SELECT top=5 col(a) from(1:t T) order(2 DESC) order(a) order(t.b DESC) NOCASE"},
    {"SELECT a FROM t ORDER BY a TOP 3 WITH LOCKS LANGUAGE 'English (UK)' SORT 'Default Order' ENCRYPTED "
     "WITH 'pw' NOJOINOPTIMIZE;",
     "SELECT LOCKS NOJOINOPT ENCRYPTED top=3 lang=2057 sort=0 password=pw col(a) from(1:t T) order(a)"},
    {"SELECT a FROM t ENCRYPTED WITH ''", "SELECT col(a) from(1:t T)"},
    {"INSERT INTO t VALUES (1, 'a')", "INSERT from(1:t T) set(*) value(1) value('a')"},
    {"INSERT INTO MEMORY t x (a, x.b, 'c') VALUES (?, 2 + 3, 'z') NOAUTOINC COMMIT INTERVAL 100 FLUSH",
     "INSERT NOAUTOINC FLUSH commit=100 from(1:MEMORY t X @Memory) set(a) set(x.b) set(c) value(?) value(2 + "
     "3) value('z')"},
    {"INSERT INTO t SELECT * FROM u NOAUTOINC",
     "INSERT FROMSELECT NOAUTOINC from(1:t T) set(*) | SELECT SUB STAR col(*) from(1:u U)"},
    {"INSERT INTO t (a) SELECT b FROM u x COMMIT FLUSH",
     "INSERT FROMSELECT FLUSH from(1:t T) set(a) | SELECT SUB col(b) from(1:u X)"},
    {"UPDATE t SET a = 1, t.b = b + 1 WHERE c = 2",
     "UPDATE COND from(1:t T) where(c = 2) set(a) set(t.b) value(1) value(b + 1)"},
    {"UPDATE t x SET a = b.c FROM t x JOIN b ON x.id = b.id",
     "UPDATE MULTI COND from(1:t X) from(2:b B) where(x.id =#1 b.id) set(a) value(b.c)"},
    {"UPDATE MEMORY t AS y SET a = 1 FROM MEMORY t y, u NOAUTOINC COMMIT INTERVAL 5 NOJOINOPTIMIZE",
     "UPDATE MULTI NOJOINOPT NOAUTOINC commit=5 from(1:MEMORY t Y @Memory) from(2:u U) set(a) value(1)"},
    {"DELETE FROM t COMMIT INTERVAL 100 FLUSH", "DELETE FLUSH commit=100 from(1:t T)"},
    {"DELETE FROM t x LEFT JOIN u ON x.a = u.a WHERE u.a IS NULL NOJOINOPTIMIZE",
     "DELETE MULTI COND NOJOINOPT from(1:t X) from(2:u U) where((x.a =#2 u.a) AND (u.a IS NULL NULL))"},
    {"CREATE TABLE t (a INTEGER NOT NULL, b CHAR(10) DEFAULT 'x', PRIMARY KEY (a) COMPRESS FULL TEXT INDEX "
     "(b) STOP WORDS 'a an the' DESCRIPTION 'demo')",
     "CREATE TABLE target=t desc=demo field(a:6/0 NOT NULL) field(b:1/10 DEFAULT x) key( a COMPRESS 3) text( "
     "b) stop=3"},
    {"CREATE TABLE IF NOT EXISTS MEMORY t (a AUTOINC, \"b c\" VARCHAR(20) DESCRIPTION 'bee' MIN 'a' MAXIMUM "
     "'z' CHARCASE UPPER, d DECIMAL(10,2), e BLOB(1,1), f BYTES(4), g MONEY, h TIMESTAMP, CONSTRAINT pk "
     "UNIQUE DESC NOCASE PRIMARY KEY (a, \"b c\") BLOB BLOCK SIZE 1024 LANGUAGE 'ANSI Standard' ENCRYPTED "
     "WITH 'x' USER MAJOR VERSION 2 USER MINOR VERSION 3 LAST AUTOINC -7)",
     "CREATE TABLE MEMORY IFNOTEXISTS ENCRYPTED target=t password=x blob=1024 version=2.3 autoinc=-7 "
     "field(a:6/0) field(b c:1/20 MIN a MAX z CASE 2 DESC bee) field(d:8/2.2) field(e:3/0) field(f:9/4) "
     "field(g:7/0) field(h:11/0) key( a b c UNIQUE DESC NOCASE)"},
    {"CREATE TABLE t (a INTEGER, TEXT INDEX (a) SPACE CHARS ' ,' INCLUDE CHARS 'ab' || 'c' LAST AUTOINC 'x')",
     "CREATE TABLE target=t autoinc=0 field(a:6/0) text( a) space=2 include=3"},
    {"CREATE IF NOT EXISTS UNIQUE NOCASE INDEX ix ON t (a, b)",
     "CREATE INDEX IFNOTEXISTS target=t key(ix a b UNIQUE NOCASE)"},
    {"CREATE INDEX ix ON MEMORY t (\"a\") COMPRESS DUPBYTE",
     "CREATE INDEX MEMORY target=t key(ix a COMPRESS 1)"},
    {"CREATE DESC INDEX ix ON t (a) COMPRESS TRAILBYTE;", "CREATE INDEX target=t key(ix a DESC COMPRESS 2)"},
    {"ALTER TABLE t ADD c INTEGER AT 1, DROP d, REDEFINE e CHAR(20) NOBACKUP",
     "ALTER TABLE NOBACKUP target=t field(ADD c:6/0 AT 1) field(DROP d:0/0) field(REDEFINE e:1/20)"},
    {"ALTER TABLE t REDEFINE COLUMN e f CHAR(5) NOT NULL DEFAULT 'q', ADD COLUMN g DATE CHARCASE LOWER, DROP "
     "COLUMN h",
     "ALTER TABLE target=t field(REDEFINE e->f:1/5 NOT NULL DEFAULT q) field(ADD g:2/0 CASE 1) field(DROP "
     "h:0/0)"},
    {"ALTER TABLE t REDEFINE e DESCRIPTION 'changed', DROP CONSTRAINT pk PRIMARY KEY, ADD UNIQUE PRIMARY KEY "
     "(a) DESCRIPTION 'x' USER MAJOR VERSION 4",
     "ALTER TABLE target=t desc=x! version=4.0 field(REDEFINE e:0/0 DESC changed) key(DROP ) key(ADD  a "
     "UNIQUE)"},
    {"ALTER TABLE MEMORY t REDEFINE PRIMARY KEY (b) COMPRESS NONE",
     "ALTER TABLE MEMORY target=t key(REDEFINE  b)"},
    {"DROP TABLE t", "DROP TABLE target=t"},
    {"DROP TABLE IF EXISTS MEMORY t;", "DROP TABLE MEMORY IFEXISTS target=t"},
    {"DROP INDEX IF EXISTS t.ix", "DROP INDEX IFEXISTS target=t index=ix"},
    {"DROP INDEX MEMORY t.ix", "DROP INDEX MEMORY target=t index=ix"},
};

const Row kErrors[] = {
    {" \t/* only a comment */ ",
     "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found ''"},
    {"delete", "FROM keyword expected, instead found ''"},
    {"SELECT a FROM t WHERE a IN (INSERT INTO t VALUES (1))",
     "Expected right parentheses after IN operator, instead found 'INTO' in WHERE or JOIN clause"},
    {"GRANT a",
     "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found 'GRANT'"},
    {"CREATE VIEW v", "TABLE or INDEX keyword expected, instead found 'VIEW'"},
    {"ALTER INDEX i", "TABLE keyword expected, instead found 'INDEX'"},
    {"DROP VIEW v", "TABLE or INDEX keyword expected, instead found 'VIEW'"},
    {"SELECT a AS FROM t", "FROM keyword expected, instead found 't'"},
    {"SELECT a AS x. FROM t", "FROM keyword expected, instead found 't'"},
    {"SELECT a FROM t WHERE a IN (SELECT b INTO r FROM u)",
     "The INTO clause can only be used with the master query"},
    {"SELECT a INTO FROM t", "FROM keyword expected, instead found 't'"},
    {"SELECT a WHERE b = 1", "FROM keyword expected, instead found 'b'"},
    {"SELECT a FROM t x, u x", "Duplicate table correlation name 'X' found in source tables"},
    {"SELECT a FROM t INNER t2", "JOIN keyword expected after INNER keyword, instead found 't2'"},
    {"SELECT a FROM t LEFT OUTER t2",
     "JOIN keyword expected after LEFT or OUTER keyword, instead found 't2'"},
    {"SELECT a FROM t RIGHT t2", "JOIN keyword expected after RIGHT or OUTER keyword, instead found 't2'"},
    {"SELECT a FROM t FULL JOIN u ON t.a = u.a",
     "Full outer joins are currently not supported in VELDOR SQL SELECT statements"},
    {"SELECT a FROM t JOIN ON", "ON keyword expected in JOIN clause, instead found ''"},
    {"SELECT a FROM t JOIN u WHERE", "ON keyword expected in JOIN clause, instead found ''"},
    {"SELECT a FROM t WITH a", "LOCKS keyword expected after WITH keyword, instead found 'a'"},
    {"SELECT a FROM t GROUP a", "BY keyword expected after GROUP keyword, instead found 'a'"},
    {"SELECT a FROM t GROUP BY +",
     "Column name or column number expected in GROUP BY clause, instead found '+'"},
    {"SELECT a FROM t ORDER a", "BY keyword expected after ORDER keyword, instead found 'a'"},
    {"SELECT a FROM t ORDER BY 'x' ASC, (",
     "Column name or column number expected in ORDER BY clause, instead found '('"},
    {"SELECT a FROM t ORDER BY a TOP x", "Integer value expected after TOP keyword, instead found 'x'"},
    {"SELECT a FROM t ORDER BY a TOP 99999999999",
     "Integer value expected after TOP keyword, instead found '99999999999'"},
    {"SELECT a FROM t LANGUAGE 'Klingon'",
     "Invalid language constant 'Klingon' specified after LANGUAGE keyword"},
    {"SELECT a FROM t LANGUAGE 'ANSI Standard' SORT 'Upside down'",
     "Invalid sort constant 'Upside down' specified after SORT keyword"},
    {"SELECT a FROM t ENCRYPTED 'x'", "WITH keyword expected after ENCRYPTED keyword, instead found 'x'"},
    {"SELECT a FROM t RANGE 1", "End of SELECT statement expected, instead found 'RANGE'"},
    {"SELECT a FROM t WHERE", "WHERE or JOIN clause is empty"},
    {"SELECT", "Source column expression is empty"},
    {"SELECT SUM(MAX(a)) FROM t", "Aggregate functions cannot be nested"},
    {"SELECT a + SUM(b) FROM t", "Aggregate functions cannot be used within expressions"},
    {"SELECT a FROM t HAVING", "HAVING clause is empty"},
    {"INSERT t VALUES (1)", "INTO keyword expected, instead found 't'"},
    {"INSERT INTO (a) VALUES (1)", "Table name expected after INTO clause, instead found '('"},
    {"INSERT INTO MEMORY VALUES (1)", "Table column name expected, instead found '1'"},
    {"INSERT INTO t (a VALUES (1)",
     "Right parentheses expected after list of table columns, instead found 'VALUES'"},
    {"INSERT INTO t (a) (1)", "VALUES or SELECT  keyword expected, instead found '('"},
    {"INSERT INTO t VALUES 1", "Left parentheses expected after VALUES keyword, instead found '1'"},
    {"INSERT INTO t VALUES (1", "Right parentheses expected after list of values, instead found ''"},
    {"INSERT INTO t VALUES ()", "Unknown or unexpected symbol ')' found in value expression"},
    {"INSERT INTO t (a + 1) VALUES (1)", "Table column name expected, instead found 'a + 1'"},
    {"INSERT INTO t VALUES (1) X", "End of INSERT statement expected, instead found 'X'"},
    {"INSERT INTO t VALUES (1) COMMIT INTERVAL x",
     "Integer value greater than 0 expected after INTERVAL keyword, instead found 'x'"},
    {"INSERT INTO t VALUES (1) COMMIT INTERVAL 0",
     "Integer value greater than 0 expected after INTERVAL keyword, instead found '0'"},
    {"INSERT INTO t VALUES (1) COMMIT NOW",
     "INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found 'NOW'"},
    {"UPDATE SET a = 1", "SET keyword expected, instead found '='"},
    {"UPDATE t AS SET a = 1", "SET keyword expected, instead found 'a'"},
    {"UPDATE t a = 1", "SET keyword expected, instead found '='"},
    {"UPDATE t SET a 1", "Assignment (=) operator expected after column name, instead found '1'"},
    {"UPDATE t SET a = 1 FROM u, t",
     "The first source table specified in FROM clause must match the table being updated in the UPDATE "
     "statement"},
    {"UPDATE t x SET a = 1 FROM t y",
     "The first source table specified in FROM clause must match the table being updated in the UPDATE "
     "statement"},
    {"UPDATE t SET a = 1 FROM MEMORY t",
     "The first source table specified in FROM clause must match the table being updated in the UPDATE "
     "statement"},
    {"UPDATE t SET a = 1 FROM t FULL JOIN u ON t.a = u.a",
     "Full outer joins are currently not supported in VELDOR SQL UPDATE statements"},
    {"UPDATE t SET a = 1 X", "End of UPDATE statement expected, instead found 'X'"},
    {"DELETE t", "FROM keyword expected, instead found 't'"},
    {"DELETE FROM t FULL JOIN u ON t.a = u.a",
     "Full outer joins are currently not supported in VELDOR SQL DELETE statements"},
    {"DELETE FROM t WHERE a = 1 X", "End of DELETE statement expected, instead found 'X'"},
    {"CREATE TABLE IF EXISTS t (a INTEGER)", "NOT keyword expected after IF keyword, instead found 'EXISTS'"},
    {"CREATE TABLE IF NOT t (a INTEGER)", "EXISTS keyword expected after NOT keyword, instead found 't'"},
    {"CREATE TABLE (a INTEGER)", "Table name expected after CREATE TABLE keywords, instead found '('"},
    {"CREATE TABLE MEMORY (a INTEGER)", "Table name expected, instead found '('"},
    {"CREATE TABLE t a INTEGER", "Left parentheses expected before list of table columns, instead found 'a'"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a), TEXT INDEX (b))",
     "Right parentheses expected after CREATE TABLE statement, instead found ','"},
    {"CREATE TABLE t (a INTEGER, b)", "SQL data type keyword expected, instead found ')' in table column"},
    {"CREATE TABLE t (a CHAR(0))",
     "Length argument must be an integer greater than 0 and less than or equal to 250 in table column"},
    {"CREATE TABLE t (a DECIMAL(10,5))",
     "Scale argument must be an integer less than or equal to 4 for the BCD data type table column"},
    {"CREATE TABLE t (a INTEGER NOT 5)", "NULL keyword expected after NOT keyword, instead found '5'"},
    {"CREATE TABLE t (a INTEGER CHARCASE MIXED)",
     "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found 'MIXED'"},
    {"CREATE TABLE t (a INTEGER, UNIQUE KEY (a))", "PRIMARY keyword expected, instead found 'KEY'"},
    {"CREATE TABLE t (a INTEGER, PRIMARY (a))",
     "KEY keyword expected after PRIMARY keyword, instead found '('"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY a)",
     "Left parentheses expected after KEY keyword, instead found 'a'"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a)",
     "Right parentheses expected after CREATE TABLE statement, instead found ''"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a) COMPRESS SOME)",
     "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found 'SOME'"},
    {"CREATE TABLE t (a INTEGER, TEXT (a))", "INDEX keyword expected after TEXT keyword, instead found '('"},
    {"CREATE TABLE t (a INTEGER, TEXT INDEX a)",
     "Left parentheses expected after TEXTINDEX keyword, instead found 'a'"},
    {"CREATE TABLE t (a INTEGER, TEXT INDEX (a)",
     "Right parentheses expected after CREATE TABLE statement, instead found ''"},
    {"CREATE TABLE t (a INTEGER, TEXT INDEX (a) STOP 'x')",
     "WORDS keyword expected after STOP keyword, instead found 'x'"},
    {"CREATE TABLE t (a INTEGER, TEXT INDEX (a) SPACE 'x')",
     "CHARS keyword expected after SPACE keyword, instead found 'x'"},
    {"CREATE TABLE t (a INTEGER, TEXT INDEX (a) INCLUDE 'x')",
     "CHARS keyword expected after INCLUDE keyword, instead found 'x'"},
    {"CREATE TABLE t (a INTEGER, BLOB SIZE 1)",
     "BLOCK keyword expected after BLOB keyword, instead found 'SIZE'"},
    {"CREATE TABLE t (a INTEGER, BLOB BLOCK 1)",
     "SIZE keyword expected after BLOCK keyword, instead found '1'"},
    {"CREATE TABLE t (a INTEGER, BLOB BLOCK SIZE x)",
     "Integer value expected after SIZE keyword, instead found 'x'"},
    {"CREATE TABLE t (a INTEGER, USER MINOR VERSION 2)",
     "MAJOR keyword expected after USER keyword, instead found 'MINOR'"},
    {"CREATE TABLE t (a INTEGER, USER MAJOR 2)",
     "VERSION keyword expected after MAJOR keyword, instead found '2'"},
    {"CREATE TABLE t (a INTEGER, USER MAJOR VERSION 1 USER MAJOR VERSION 2)",
     "MINOR keyword expected after USER keyword, instead found 'MAJOR'"},
    {"CREATE TABLE t (a INTEGER, USER MAJOR VERSION 1 USER MINOR 2)",
     "VERSION keyword expected after MINOR keyword, instead found '2'"},
    {"CREATE TABLE t (a INTEGER, USER MAJOR VERSION x)",
     "Integer value expected after VERSION keyword, instead found 'x'"},
    {"CREATE TABLE t (a INTEGER, LAST 5)",
     "SQL data type keyword expected, instead found '5' in table column"},
    {"CREATE TABLE t (a INTEGER) X", "End of CREATE TABLE statement expected, instead found 'X'"},
    {"CREATE TABLE t (a INTEGER, TEXT INDEX (a) SPACE CHARS)",
     "Unknown or unexpected symbol ')' found in character set"},
    {"CREATE TABLE t (a INTEGER, TEXT INDEX () )", "Unknown or unexpected symbol ')' found in index column"},
    {"CREATE INDEX IF NOT EXISTS ix ON t (a)", "ON keyword expected after index name, instead found 'NOT'"},
    {"CREATE UNIQUE ix ON t (a)", "INDEX keyword expected, instead found 'ix'"},
    {"CREATE INDEX ON t (a)", "ON keyword expected after index name, instead found 't'"},
    {"CREATE INDEX ix t (a)", "ON keyword expected after index name, instead found 't'"},
    {"CREATE INDEX ix ON (a)", "Table name expected after ON keyword, instead found '('"},
    {"CREATE INDEX ix ON t a", "Left parentheses expected before list of index columns, instead found 'a'"},
    {"CREATE INDEX ix ON t (a", "Right parentheses expected after list of index columns, instead found ''"},
    {"CREATE INDEX ix ON t (a) X", "End of CREATE INDEX statement expected, instead found 'X'"},
    {"ALTER t ADD a INTEGER", "TABLE keyword expected, instead found 't'"},
    {"ALTER TABLE ADD a INTEGER", "End of ALTER TABLE statement expected, instead found 'a'"},
    {"ALTER TABLE t DROP PRIMARY x", "KEY keyword expected after PRIMARY keyword, instead found 'x'"},
    {"ALTER TABLE t DROP CONSTRAINT pk KEY", "PRIMARY keyword expected, instead found 'KEY'"},
    {"ALTER TABLE t ADD a", "SQL data type keyword expected, instead found '' in table column"},
    {"ALTER TABLE t ADD a INTEGER AT x", "Integer value expected after AT keyword, instead found 'x'"},
    {"ALTER TABLE t ADD a INTEGER,", "ADD, REDEFINE, or DROP keyword expected, instead found ''"},
    {"ALTER TABLE t X", "End of ALTER TABLE statement expected, instead found 'X'"},
    {"DROP TABLE IF NOT EXISTS t", "EXISTS keyword expected after IF keyword, instead found 'NOT'"},
    {"DROP TABLE", "Table name expected after TABLE keyword, instead found ''"},
    {"DROP TABLE t X", "End of DROP TABLE statement expected, instead found 'X'"},
    {"DROP INDEX", "Table name expected after INDEX keyword, instead found ''"},
    {"DROP INDEX t", "Index name must be written as table.index, instead found 't'"},
    {"DROP INDEX t.ix X", "End of DROP INDEX statement expected, instead found 'X'"},
};

TEST_F(ParserTest, EachErrorHasItsExactText) {
  for (const Row& row : kErrors) {
    EXPECT_EQ(parse(row.sql), std::string("error 11949: SQL error - ") + row.expected) << row.sql;
  }
}

TEST_F(ParserTest, EachClauseFormGivesItsModel) {
  for (const Row& row : kForms) {
    EXPECT_EQ(parse(row.sql), row.expected) << row.sql;
  }
}

}  // namespace
