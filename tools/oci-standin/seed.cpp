// seed SERVER-FOLDER [DESCRIPTION]
//
// Builds a stand-in server folder from a short description (standard input when no file is
// given). One statement per line; '#' starts a comment line:
//   version 10.2.0.1.0                      the server's version (default 10.2.0.1.0)
//   product Oracle Database 10g Release     the product named in the version banner
//   nls NLS_CHARACTERSET WE8MSWIN1252       a database NLS parameter (v$nls_parameters)
//   user SCOTT tiger [sysdba] [locked]      a user, its password, and its privileges
//   table SCOTT.EMP (EMPNO NUMBER(4) PRIMARY KEY, ENAME VARCHAR2(10), HIREDATE DATE)
//   row SCOTT.EMP 7369, 'SMITH', '1980-12-17 00:00:00'
//   sql SCOTT CREATE INDEX EMP_NAME ON EMP(ENAME)
//   type SCOTT CREATE TYPE LINES_T AS TABLE OF NUMBER   an object type of the catalog (the types
//                                           it names are looked up when it is used)
//   sequence SCOTT.EMP_SEQ [start [increment]]
//   error SCOTT PROC1 PROCEDURE 3 7 PLS-00201: identifier 'X' must be declared
// A DATE value is written "YYYY-MM-DD HH:MM:SS". In error texts "\n" stands for a line break.
// Rows follow the column rules of the server (numbers rounded to their scale, CHAR padded) except
// that text longer than its column is kept, so a test can hold a value no column would take now.
//
// The folder must not exist yet or be empty. It is built beside itself and renamed into place,
// so a description with a fault leaves nothing behind; the fault is reported with its line.
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "tools/oci-standin/standin_server.h"
#include "tools/oci-standin/standin_types.h"

namespace {

namespace fs = std::filesystem;
using ocistandin::OraError;
using ocistandin::quoteLiteral;
using ocistandin::upperAscii;

struct Fault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Builder {
 public:
  explicit Builder(fs::path folder) : folder_(std::move(folder)) {
    fs::create_directories(folder_);
    catalog_ = open("catalog.db");
    ocistandin::createCatalog(catalog_);
    sequences_ = open("sequences.db");
    ocistandin::createSequenceStore(sequences_);
  }
  ~Builder() {
    for (auto& [name, db] : schemas_) sqlite3_close(db);
    sqlite3_close(sequences_);
    sqlite3_close(catalog_);
  }
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;

  void line(const std::string& text) {
    std::istringstream in(text);
    std::string verb;
    in >> verb;
    std::string rest;
    std::getline(in, rest);
    rest.erase(0, rest.find_first_not_of(' '));
    if (verb == "version")
      version_ = rest;
    else if (verb == "product")
      product_ = rest;
    else if (verb == "nls")
      nls(rest);
    else if (verb == "user")
      user(rest);
    else if (verb == "table")
      table(rest);
    else if (verb == "row")
      row(rest);
    else if (verb == "sql")
      sql(rest);
    else if (verb == "type")
      type(rest);
    else if (verb == "sequence")
      sequence(rest);
    else if (verb == "error")
      error(rest);
    else
      throw Fault("unknown statement \"" + verb + "\"");
  }

  void finish() {
    exec(catalog_, "INSERT INTO product_component_version VALUES (" + quoteLiteral(product_) + ", " +
                       quoteLiteral(version_) + ", 'Production')");
    for (const auto& [name, value] : nls_)
      exec(catalog_, "INSERT INTO \"v$nls_parameters\" VALUES (" + quoteLiteral(name) + ", " +
                         quoteLiteral(value) + ")");
  }

 private:
  sqlite3* open(const std::string& file) {
    sqlite3* db = nullptr;
    if (sqlite3_open((folder_ / file).c_str(), &db) != SQLITE_OK) {
      sqlite3_close(db);
      throw Fault("cannot create " + (folder_ / file).string());
    }
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> owned(db, sqlite3_close);
    // Readers then never hold a writer's commit up, as on the server played.
    exec(db, "PRAGMA journal_mode = WAL");
    ocistandin::registerColumnRules(db, nullptr);
    return owned.release();
  }

  static void exec(sqlite3* db, const std::string& statement) {
    char* message = nullptr;
    if (sqlite3_exec(db, statement.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      const std::string text = message ? message : "failed";
      sqlite3_free(message);
      throw Fault(text);
    }
  }

  sqlite3* schema(const std::string& owner) {
    const auto it = schemas_.find(owner);
    if (it == schemas_.end()) throw Fault("no user " + owner + " declared before its objects");
    return it->second;
  }

  // "OWNER.NAME rest" -> owner, name, rest.
  static void qualified(const std::string& text, std::string& owner, std::string& name, std::string& rest) {
    const size_t end = text.find_first_of(" (");
    const std::string head = text.substr(0, end);
    const size_t dot = head.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == head.size())
      throw Fault("expected OWNER.NAME, found \"" + head + "\"");
    owner = upperAscii(head.substr(0, dot));
    name = head.substr(dot + 1);
    rest = end == std::string::npos ? std::string() : text.substr(end);
    rest.erase(0, rest.find_first_not_of(' '));
  }

  void nls(const std::string& text) {
    std::istringstream in(text);
    std::string name, value;
    in >> name;
    std::getline(in, value);
    value.erase(0, value.find_first_not_of(' '));
    if (name.empty() || value.empty()) throw Fault("nls needs a name and a value");
    nls_[upperAscii(name)] = value;
  }

  void user(const std::string& text) {
    std::istringstream in(text);
    std::string name, password, option;
    in >> name >> password;
    if (name.empty() || password.empty()) throw Fault("user needs a name and a password");
    bool sysdba = false, locked = false;
    while (in >> option) {
      if (option == "sysdba")
        sysdba = true;
      else if (option == "locked")
        locked = true;
      else
        throw Fault("unknown user option \"" + option + "\"");
    }
    name = upperAscii(name);
    if (schemas_.count(name)) throw Fault("user " + name + " declared twice");
    exec(catalog_,
         "INSERT INTO \"user$\"(username, password, user_id, account_status, created,"
         " sysdba) VALUES (" +
             quoteLiteral(name) + ", " + quoteLiteral(password) + ", " + std::to_string(schemas_.size() + 1) +
             ", " + quoteLiteral(locked ? "LOCKED" : "OPEN") + ", '2000-01-01 00:00:00', " +
             (sysdba ? "1" : "0") + ")");
    schemas_[name] = open(name + ".db");
  }

  void table(const std::string& text) {
    std::string owner, name, rest;
    qualified(text, owner, name, rest);
    exec(schema(owner), ocistandin::rewriteSql("CREATE TABLE " + name + " " + rest).sql);
    ocistandin::installColumnRules(schema(owner), "main", owner);
  }

  void row(const std::string& text) {
    std::string owner, name, rest;
    qualified(text, owner, name, rest);
    exec(schema(owner), ocistandin::rewriteSql("INSERT INTO " + name + " VALUES (" + rest + ")").sql);
  }

  void sql(const std::string& text) {
    const size_t space = text.find(' ');
    if (space == std::string::npos) throw Fault("sql needs an owner and a statement");
    const std::string owner = upperAscii(text.substr(0, space));
    exec(schema(owner), ocistandin::rewriteSql(text.substr(space + 1)).sql);
    ocistandin::installColumnRules(schema(owner), "main", owner);
  }

  void type(const std::string& text) {
    const size_t space = text.find(' ');
    if (space == std::string::npos) throw Fault("type needs an owner and a CREATE TYPE statement");
    const std::string owner = upperAscii(text.substr(0, space));
    const std::string source = text.substr(space + 1);
    ocistandin::TypeSpec spec;
    std::string error;
    if (!ocistandin::parseTypeSpec(source, spec, error)) throw Fault("type: " + error);
    if (!spec.owner.empty() && spec.owner != owner) throw Fault("type: the statement names another owner");
    exec(catalog_, "INSERT INTO \"type$\" (owner, name, source) VALUES (" + quoteLiteral(owner) + ", " +
                       quoteLiteral(spec.name) + ", " + quoteLiteral(source) + ")");
  }

  void sequence(const std::string& text) {
    std::string owner, name, rest;
    qualified(text, owner, name, rest);
    schema(owner);
    std::istringstream in(rest);
    long long start = 1, increment = 1;
    if (!rest.empty() && !(in >> start)) throw Fault("sequence start is no number");
    if (in >> std::ws && !in.eof() && !(in >> increment)) throw Fault("sequence step is no number");
    if (increment == 0) throw Fault("sequence step must not be 0");
    exec(sequences_, "INSERT INTO \"seq$\" VALUES (" + quoteLiteral(owner) + ", " +
                         quoteLiteral(upperAscii(name)) + ", " + std::to_string(start - increment) + ", " +
                         std::to_string(increment) + ")");
  }

  void error(const std::string& text) {
    std::istringstream in(text);
    std::string owner, name, type;
    long long line = 0, position = 0;
    if (!(in >> owner >> name >> type >> line >> position))
      throw Fault("error needs owner, name, type, line, position and text");
    std::string message;
    std::getline(in, message);
    message.erase(0, message.find_first_not_of(' '));
    for (size_t at = message.find("\\n"); at != std::string::npos; at = message.find("\\n", at + 1))
      message.replace(at, 2, "\n");
    owner = upperAscii(owner);
    schema(owner);
    // A quoted name is kept as written, as the server keeps it.
    name = name.size() > 2 && name.front() == '"' && name.back() == '"' ? name.substr(1, name.size() - 2)
                                                                        : upperAscii(name);
    exec(catalog_, "INSERT INTO \"error$\" VALUES (" + quoteLiteral(owner) + ", " + quoteLiteral(name) +
                       ", " + quoteLiteral(upperAscii(type)) + ", " + std::to_string(++errors_) + ", " +
                       std::to_string(line) + ", " + std::to_string(position) + ", " + quoteLiteral(message) +
                       ")");
  }

  fs::path folder_;
  sqlite3* catalog_ = nullptr;
  sqlite3* sequences_ = nullptr;
  std::map<std::string, sqlite3*> schemas_;
  std::map<std::string, std::string> nls_ = {{"NLS_CHARACTERSET", "AL32UTF8"},
                                             {"NLS_NCHAR_CHARACTERSET", "AL16UTF16"},
                                             {"NLS_LANGUAGE", "AMERICAN"},
                                             {"NLS_TERRITORY", "AMERICA"}};
  std::string version_ = "10.2.0.1.0";
  std::string product_ = "Oracle Database 10g Enterprise Edition";
  int errors_ = 0;
};

}  // namespace

// The longest description line taken; standard input may be a device without line ends.
constexpr size_t kMaxLine = size_t(1) << 20;

// std::getline that stops one byte past kMaxLine.
bool boundedLine(std::istream& in, std::string& text) {
  text.clear();
  const auto eof = std::char_traits<char>::eof();
  int c = in.get();
  if (c == eof) return false;
  for (; c != eof && c != '\n' && text.size() <= kMaxLine; c = in.get()) text += char(c);
  return true;
}

int main(int argc, char** argv) {
  if (argc == 1 || (argc == 2 && std::string(argv[1]) == "--help")) {
    std::cout << "usage: seed SERVER-FOLDER [DESCRIPTION]\n";
    return 0;
  }
  if (argc > 3) {
    std::cerr << "usage: seed SERVER-FOLDER [DESCRIPTION]\n";
    return 2;
  }
  const fs::path target = fs::path(argv[1]);
  std::error_code ec;
  if (fs::exists(target, ec) && !(fs::is_directory(target, ec) && fs::is_empty(target, ec))) {
    std::cerr << "seed: " << target.string() << " exists and is not an empty folder\n";
    return 1;
  }
  std::ifstream file;
  if (argc == 3) {
    // Only a regular file: a device or a pipe could be read for ever, a folder reads as nothing.
    if (!fs::is_regular_file(argv[2], ec)) {
      std::cerr << "seed: cannot read " << argv[2]
                << (fs::exists(argv[2], ec) ? ": not a regular file" : ": no such file") << "\n";
      return 1;
    }
    file.open(argv[2]);
    if (!file) {
      std::cerr << "seed: cannot read " << argv[2] << "\n";
      return 1;
    }
  }
  std::istream& in = argc == 3 ? static_cast<std::istream&>(file) : std::cin;
  const fs::path work = target.string() + ".seed-" + std::to_string(::getpid());
  int lineNo = 0;
  try {
    {
      Builder builder(work);
      std::string text;
      while (boundedLine(in, text)) {
        ++lineNo;
        if (text.size() > kMaxLine)
          throw std::runtime_error("longer than " + std::to_string(kMaxLine) + " bytes");
        if (!text.empty() && text.back() == '\r') text.pop_back();
        const size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos || text[first] == '#') continue;
        builder.line(text.substr(first));
      }
      lineNo = 0;
      builder.finish();
    }
    fs::remove(target, ec);
    fs::rename(work, target);
    return 0;
  } catch (const std::exception& e) {
    fs::remove_all(work, ec);
    std::cerr << "seed: ";
    if (lineNo > 0) std::cerr << "line " << lineNo << ": ";
    std::cerr << e.what() << "\n";
    return 1;
  }
}
