// The stand-in's server: a folder of SQLite files that plays one database.
//
// Layout of a server folder (one per connect string, under OCI_STANDIN_ROOT):
//   catalog.db    attached as SYS: users and passwords ("user$"), "v$nls_parameters",
//                 "product_component_version", the errors behind user_errors ("error$") and the
//                 object types and object tables ("type$", "objtab$", standin_objects.h)
//   sequences.db  sequences ("seq$"), apart so that their steps commit while sessions hold
//                 transactions open on the catalog
//   directories/<ALIAS>/  the files of a directory object, read as BFILEs
//   <USER>.db     one schema per user, opened as the session's own schema and attached under
//                 its owner's name for every other session, so that owner.table works
// A session also sees dual, dba_users, dba_tables, user_tables, all_tab_columns,
// user_tab_columns, user_errors and nls_session_parameters (following ALTER SESSION).
// SQLite attaches at most 10 files, so a session reaches its own schema, SYS and up to eight
// other schemas (in name order). An unqualified name missing from the own schema resolves to
// the first other schema that has it, as if every table had a public synonym.
//
// DATE values are stored as "YYYY-MM-DD HH:MM:SS" text: a date reaches a column bound as a DATE,
// through to_date, or as text the column rules read by NLS_DATE_FORMAT; dates compare as text
// (which orders them), and date arithmetic is not offered. A DATE column read as text follows
// NLS_DATE_FORMAT; a PL/SQL result keeps the stored form unless the block formats it with to_char. Oracle's
// empty text is NULL: bound empty texts arrive as NULL and empty results leave as NULL.
//
// Other values: NUMBER exactly (standin_number.h: INTEGER, REAL of at most 15 digits, or text
// "#digits"; such a text compares as text in SQL); TIMESTAMP as "YYYY-MM-DD HH:MM:SS.fffffffff"
// (" +HH:MM" WITH TIME ZONE; WITH LOCAL TIME ZONE kept in UTC), INTERVAL as "+000000001-02" or
// "+000000001 02:03:04.000000000"; RAW, BLOB and LONG RAW as blobs; an empty LOB as a
// zero-length blob (not NULL); BFILE as "DIRECTORY/file". The column rules (installColumnRules)
// put values into these forms after each insert and update. ROWID is computed from SQLite's row
// number (standin_values.h), so it identifies a row of its table as long as the row lives.
//
// Transactions: a changing statement starts one, DDL commits before it runs, and an ended
// session rolls back what it did not commit. Sequence steps are never rolled back. One writer
// at a time per file: a second session's write waits up to 5 s, then gets ORA-00054. A query
// sees the data committed when its session's oldest open query began (SQLite keeps one read
// snapshot per connection while any of its queries is open).
//
// Threads: a Session and its Cursors belong to one thread at a time, except interrupt(), which
// any thread may call while the owner runs a statement.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/oci-standin/standin_rewrite.h"

namespace ocistandin {

// A server error: the ORA number and its text (without "ORA-nnnnn: ").
struct OraError : std::runtime_error {
  OraError(int code, const std::string& text) : std::runtime_error(text), code(code) {}
  int code;
  int offset = 0;  // a parse error's position in the statement's text, from 0
};

struct Value {
  enum class Kind { Null, Integer, Real, Text, Bytes };
  Kind kind = Kind::Null;
  int64_t integer = 0;
  double real = 0;
  std::string bytes;  // Text (UTF-8) or Bytes
  static Value text(std::string s) { return {Kind::Text, 0, 0, std::move(s)}; }
  static Value number(int64_t v) { return {Kind::Integer, v, 0, {}}; }
  static Value floating(double v) { return {Kind::Real, 0, v, {}}; }
  bool isNull() const { return kind == Kind::Null; }
};

// A column type as declared in the schema ("VARCHAR2(30)", "NUMBER(10,2)", "DATE", ...). The
// server rewrites the kinds SQLite cannot spell before they reach a schema: "TIMESTAMP(3) WITH
// TIME ZONE" is kept as "TIMESTAMP_WITH_TIME_ZONE(3)", "INTERVAL DAY(2) TO SECOND(6)" as
// "INTERVAL_DAY_TO_SECOND(2,6)"; underscores in a type name read as blanks.
struct DeclaredType {
  std::string name;       // Oracle type name: VARCHAR2, NVARCHAR2, CHAR, NCHAR, NUMBER, FLOAT, DATE, ...
  uint16_t code = 1;      // Oracle type code: 1, 96, 2, 12, 23, 8, 24, 104, 112, 113, 114, 187, ...
  uint16_t size = 4000;   // bytes (national text: two per character)
  int16_t precision = 0;  // 0: not given; intervals: the leading field's precision
  int8_t scale = 0;       // -127: floating
  bool hasPrecision = false;
  bool hasScale = false;
  uint8_t charsetForm = 0;  // text and CLOB: 1 database character set, 2 national
  uint16_t characters = 0;  // national text: the declared length in characters
  uint8_t fsPrecision = 0;  // TIMESTAMP and INTERVAL DAY TO SECOND: fractional digits
  bool known = true;        // false: a name no Oracle type has, read as VARCHAR2(4000)
  bool national() const { return charsetForm == 2; }
};
DeclaredType parseDeclaredType(std::string_view declared);
// The type of a ROWID select-list item (the pseudo-column).
DeclaredType rowidType();
// The type of a cursor expression in a select list.
DeclaredType cursorType();

struct ColumnInfo {
  std::string name;
  DeclaredType type;
  bool nullable = true;
  // A LOB column read straight from a table: where its values live (attached database, table,
  // column), so that a locator can write back to its row.
  std::string database, table, origin;
  std::string typeOwner, typeName;  // an object, collection (108) or REF (110) column's type
};

// Create the tables of catalog.db and of sequences.db in empty databases.
void createCatalog(sqlite3* db);
void createSequenceStore(sqlite3* db);

// The server folder of a connect string; raises ORA-12154 when it names none.
std::string resolveServer(std::string_view connect);

// The version banner of a server folder, read from its catalog.
std::string serverBanner(const std::string& folder);

// Changes a user's password in the catalog; raises ORA-01017 when the old one is wrong.
void changePassword(const std::string& folder, std::string_view user, std::string_view oldPassword,
                    std::string_view newPassword);

// Column rules, as a server keeps them: NUMBER(p,s) rounds to its scale and refuses a value
// too wide for its precision (ORA-01438), text that is no number is refused by a NUMBER column
// (ORA-01722), VARCHAR2, CHAR, RAW and their national kinds refuse a value longer than declared
// (ORA-12899 naming the column), CHAR is padded with blanks, numbers are stored in their
// exact form (standin_number.h), DATE, TIMESTAMP and INTERVAL values in their stored forms
// (standin_values.h; text in another form is read by the session's NLS format), fractions
// rounded to their digits, and an INTERVAL too long for its leading precision is refused
// (ORA-01873). They run as triggers after each insert and update, calling the SQL function
// ora_fit, which registerColumnRules adds to a connection: every connection that writes a schema
// needs it. Without a session (the seed tool) text longer than its column is kept as given, as a
// server may hold data an older definition allowed, and dates must be in their stored form.
class Session;
void registerColumnRules(sqlite3* db, const Session* session);
// (Re)writes the rule triggers of every table of the attached database `database` whose
// columns changed since; `owner` names the schema in messages.
void installColumnRules(sqlite3* db, const std::string& database, const std::string& owner);

class Session {
 public:
  // Logs on; raises ORA-01017 for an unknown user or a wrong password, ORA-01031 for a
  // privileged mode the user lacks.
  Session(const std::string& folder, std::string_view user, std::string_view password, bool privileged);
  ~Session();  // rolls back what is not committed
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::string& user() const { return user_; }
  const std::string& folder() const { return folder_; }
  sqlite3* db() const { return db_; }

  void commit();
  void rollback();
  // The id of the open transaction ("1.<serial>.0"), or empty without one; `start` opens one.
  // Every commit and rollback ends it, so the next one has a new id.
  std::string localTransactionId(bool start);
  // Breaks the statement running on the session; with none running it does nothing (a break
  // of an idle session must not spoil its next statement).
  void interrupt() {
    std::lock_guard lock(busyMutex_);
    if (busy_ > 0) sqlite3_interrupt(db_);
  }
  // Marks a statement running for interrupt(), for the lifetime of the guard.
  class Busy {
   public:
    explicit Busy(Session& s) : s_(s) {
      std::lock_guard lock(s_.busyMutex_);
      ++s_.busy_;
    }
    ~Busy() {
      std::lock_guard lock(s_.busyMutex_);
      --s_.busy_;
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

   private:
    Session& s_;
  };
  // Starts the transaction a changing statement needs; DDL ends it first.
  void beginWork();
  void endWorkForDdl();
  // Sets one column of one row (a LOB written through its locator), in the open transaction.
  void writeCell(const std::string& database, const std::string& table, const std::string& column,
                 int64_t row, const Value& value);
  // The row number of the last row a statement inserted, updated or deleted; 0 for none.
  void noteChangedRow(int64_t row) { changedRow_ = row; }
  void clearChangedRow() { changedRow_ = 0; }
  int64_t changedRow() const { return changedRow_; }
  // After DDL: the column rules of every schema the session reaches follow its tables.
  void refreshColumnRules();

  const std::string& nls(const std::string& name) const;
  // ALTER SESSION SET name = value; raises ORA-02248 for an unknown name, ORA-01821 for a bad
  // date format.
  void setNls(const std::string& name, const std::string& value);
  bool multiByteCharset() const;
  // The settings nls_session_parameters shows, by name.
  std::vector<std::pair<std::string, std::string>> sessionNls() const;

  // The ORA error for SQLite's last failure on this session.
  OraError mapError(int rc) const;

  int64_t nextSequenceValue(const std::string& owner, const std::string& name);
  int64_t currentSequenceValue(const std::string& owner, const std::string& name) const;

 private:
  void registerFunctions();
  void endTransaction();
  void createDictionary(const std::vector<std::string>& schemas);
  void exec(const std::string& sql);

  uint64_t transactionSerial_ = 1;
  bool transactionStarted_ = false;
  std::string folder_;
  std::string user_;
  sqlite3* db_ = nullptr;
  sqlite3* sequenceDb_ = nullptr;  // commits sequence steps at once, outside the transaction
  std::map<std::string, std::string> nls_;
  std::map<std::string, int64_t> currentValues_;
  int64_t changedRow_ = 0;
  std::mutex busyMutex_;
  int busy_ = 0;
  std::vector<std::string> schemas_;  // the session's own schema first, then the attached ones
};

// How a statement reaches its bind values. Positions count from 1 in order of first
// appearance; output() stores a PL/SQL result and later input() calls see it; openCursor()
// opens `sql` with `values` on the statement a cursor bind names (OPEN :c FOR ...).
class BindAccess {
 public:
  virtual ~BindAccess() = default;
  virtual Value input(size_t position, const std::string& name) = 0;
  virtual void output(size_t position, const std::string& name, const Value& value) = 0;
  virtual void openCursor(size_t position, const std::string& name, const std::string& sql,
                          BindAccess& values) = 0;
};

// One statement of a session: SQL through SQLite, ALTER SESSION, COMMIT and ROLLBACK natively,
// and PL/SQL blocks through the block interpreter.
class Cursor {
 public:
  // Prepares; raises the ORA error of a statement SQLite refuses, with the offset of the name
  // it refuses in `text`.
  Cursor(Session& session, std::string_view text);
  ~Cursor();
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  StatementKind kind() const { return rewritten_.kind; }
  const std::vector<std::string>& binds() const { return rewritten_.binds; }
  bool isQuery() const;
  // CREATE PROCEDURE, FUNCTION, PACKAGE [BODY], TRIGGER or TYPE [BODY] whose text did not compile
  // (the server keeps it and lists its errors in user_errors; the call succeeds with
  // information 24344).
  bool compiledWithErrors() const { return compiledWithErrors_; }

  // Runs once with the bind values of one iteration. A query is opened and its first row
  // read ahead; describeOnly leaves it closed.
  void execute(BindAccess& binds, bool describeOnly);
  int64_t rowsProcessed() const { return rows_; }

  const std::vector<ColumnInfo>& columns();
  // The next row of an open query; false at its end.
  bool fetch(std::vector<Value>& row);
  // The row number that the last fetched row's column `column` was read from; 0 when unknown
  // (only LOB columns of a single-table query are tracked).
  int64_t originRow(size_t column) const;
  // For a query with a locking clause (FOR UPDATE): the row number of the last fetched row of the
  // first table it reads, 0 when unknown.
  int64_t lockedRow() const;

 private:
  void bindAll(BindAccess& binds);
  Value columnValue(int i) const;
  void runAlterSession();

  Session& session_;
  std::string text_;
  std::string afterRun_;  // SQL that records what a successful DDL made (an object table)
  RewrittenSql rewritten_;
  sqlite3_stmt* stmt_ = nullptr;
  bool pending_ = false;  // a row has been stepped to and not handed out
  bool open_ = false;
  int64_t rows_ = 0;
  bool described_ = false;
  std::vector<ColumnInfo> columns_;
  // Columns appended to a query that reads LOBs: the row numbers of their rows, hidden from the
  // caller. rowColumn_[i] is the hidden column of visible column i, or -1.
  int hidden_ = 0;
  std::vector<int> rowColumn_;
  std::vector<int64_t> rowNumbers_;
  void trackLobRows();
  bool findStoredProgram();
  int errorOffset(const std::string& message) const;
  void compileStoredProgram();
  std::string programType_, programOwner_, programName_;
  bool compiledWithErrors_ = false;
  bool typeDdl_ = false;  // CREATE TYPE or DROP TYPE, run against the type catalog
};

// Runs a PL/SQL block: the fixed NLS and compile-error blocks, and blocks made of
// SELECT ... INTO binds, bind := expression, cursor FOR loops, IF chains, NULL and DML.
// Anything else raises ORA-06550 naming what is not supported.
void runBlock(Session& session, std::string_view text, BindAccess& binds);

// The value of a cursor expression (CURSOR(SELECT ...)) carries its query's text; false for any
// other value.
bool cursorExpression(const Value& v, std::string& sql);

// Reads a value of a query's column as the client would see it in text; `columnCode` is the
// column's type code (0 when unknown): a DATE follows NLS_DATE_FORMAT, an exact NUMBER shows
// its digits.
std::string valueText(const Session& session, const Value& v, uint16_t columnCode);
// The same for a column of a known type: TIMESTAMP fractions (FF) and INTERVAL fields show the
// column's precisions. Numbers show the session's decimal character (withDecimal).
std::string valueText(const Session& session, const Value& v, const DeclaredType& column);
std::string withDecimal(const Session& session, std::string numberText);

}  // namespace ocistandin
