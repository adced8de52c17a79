#include "tools/dumpbuilder/dumpbuilder.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <stdexcept>

namespace dumpbuilder {

namespace {

enum class Placement { Root, Owner, ByUserMode };

struct HeadInfo {
  std::string_view words;
  int kind;
  bool setsUserMode;
  Placement placement;
};

constexpr std::array<HeadInfo, kHeadCount> kHeads = {{
    {"CREATE TABLESPACE", 0, false, Placement::Root},
    {"CREATE PROFILE", 14, false, Placement::ByUserMode},
    {"CREATE ROLE", 15, false, Placement::ByUserMode},
    {"CREATE ROLLBACK SEGMENT", 22, false, Placement::Root},
    {"CREATE PUBLIC ROLLBACK SEGMENT", 22, false, Placement::Root},
    {"CREATE DIRECTORY", 13, false, Placement::ByUserMode},
    {"CREATE OR REPLACE DIRECTORY", 13, false, Placement::ByUserMode},
    {"CREATE DATABASE LINK", 21, false, Placement::ByUserMode},
    {"CREATE PUBLIC DATABASE LINK", 21, false, Placement::Root},
    {"CREATE SHARED DATABASE LINK", 21, false, Placement::Root},
    {"CREATE SHARED PUBLIC DATABASE LINK", 21, false, Placement::ByUserMode},
    {"CREATE CLUSTER", 5, false, Placement::Root},
    {"CREATE TABLE", 2, true, Placement::Owner},
    {"CREATE INDEX", 12, true, Placement::Owner},
    {"CREATE UNIQUE INDEX", 12, true, Placement::Owner},
    {"CREATE BITMAP INDEX", 12, true, Placement::Owner},
    {"CREATE VIEW", 3, true, Placement::Owner},
    {"CREATE OR REPLACE VIEW", 3, true, Placement::Owner},
    {"CREATE SEQUENCE", 11, true, Placement::Owner},
    {"CREATE SYNONYM", 23, true, Placement::Owner},
    {"CREATE PUBLIC SYNONYM", 23, true, Placement::Root},
    {"CREATE SNAPSHOT", 4, true, Placement::Owner},
    {"CREATE FUNCTION", 7, true, Placement::Owner},
    {"CREATE OR REPLACE FUNCTION", 7, true, Placement::Owner},
    {"CREATE PROCEDURE", 8, true, Placement::Owner},
    {"CREATE OR REPLACE PROCEDURE", 8, true, Placement::Owner},
    {"CREATE PACKAGE", 9, true, Placement::Owner},
    {"CREATE OR REPLACE PACKAGE", 9, true, Placement::Owner},
    {"CREATE PACKAGE BODY", 10, false, Placement::ByUserMode},
    {"CREATE OR REPLACE PACKAGE BODY", 10, false, Placement::ByUserMode},
    {"CREATE TRIGGER", 24, true, Placement::Owner},
    {"CREATE OR REPLACE TRIGGER", 24, true, Placement::Owner},
    {"CREATE FORMAT71TRIG CREATE TRIGGER", 24, true, Placement::Owner},
}};

// The words that every statement of a dump begins with; a line whose first word is one of them
// is a statement, whatever else it holds.
bool isStatementWord(std::string_view upperWord) {
  static constexpr std::array<std::string_view, 14> kWords = {
      "ALTER",   "ANALYZE", "COMMENT", "CONNECT", "CREATE", "ENDTABLE",   "EXECFULL",
      "EXECUTE", "EXIT",    "GRANT",   "INSERT",  "REVOKE", "SQLVERSION", "TABLE"};
  return std::find(kWords.begin(), kWords.end(), upperWord) != kWords.end();
}

bool isPrefixOfStatementWord(std::string_view upperWord) {
  static constexpr std::array<std::string_view, 14> kWords = {
      "ALTER",   "ANALYZE", "COMMENT", "CONNECT", "CREATE", "ENDTABLE",   "EXECFULL",
      "EXECUTE", "EXIT",    "GRANT",   "INSERT",  "REVOKE", "SQLVERSION", "TABLE"};
  for (std::string_view w : kWords)
    if (w.substr(0, upperWord.size()) == upperWord) return true;
  return false;
}

constexpr bool printable(uint8_t b) {
  return b >= 0x20 && b <= 0x7D;
}
constexpr bool letter(uint8_t b) {
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}
constexpr bool wordChar(uint8_t b) {
  return letter(b) || (b >= '0' && b <= '9') || b == '_' || b == '#' || b == '$';
}
constexpr char upper(uint8_t b) {
  return char(b >= 'a' && b <= 'z' ? b - 32 : b);
}

}  // namespace

std::string_view headWords(Head head) {
  return kHeads[size_t(head)].words;
}

std::string nodeLine(const ExpectedNode& n) {
  return n.owner + "\t" + std::to_string(n.kind) + "\t" + n.name + "\t" + std::to_string(n.start) + "\t" +
         std::to_string(n.length);
}

std::vector<std::string> nodeLines(const Expected& expected) {
  std::vector<std::string> lines;
  for (const auto& n : expected.nodes) lines.push_back(nodeLine(n));
  return lines;
}

// --- DumpWriter

DumpWriter::DumpWriter(const std::string& path, Mode mode, std::string user, Endings endings, uint64_t seed)
    : path_(path), mode_(mode), endings_(endings), rng_(seed) {
  // A FIFO or a device would be waited on (or written for ever): only a regular file is written.
  std::error_code ec;
  if (const auto status = std::filesystem::status(path, ec); !ec && !std::filesystem::is_regular_file(status))
    throw std::runtime_error("cannot create " + path + ": not a regular file");
  out_.open(path, std::ios::binary | std::ios::trunc);
  if (!out_) throw std::runtime_error("cannot create " + path);
  Owner defaultOwner;
  defaultOwner.self.kind = 1;
  defaultOwner.self.name = std::move(user);
  owners_.push_back(std::move(defaultOwner));
}

DumpWriter::~DumpWriter() = default;

std::string DumpWriter::ending() {
  switch (endings_) {
    case Endings::Lf:
      return "\n";
    case Endings::CrLf:
      return "\r\n";
    case Endings::Cr:
      return "\r";
    case Endings::Mixed:
      break;
  }
  switch (rng_() % 3) {
    case 0:
      return "\n";
    case 1:
      return "\r\n";
    default:
      return "\r";
  }
}

void DumpWriter::writeOut(const std::string& bytes) {
  out_.write(bytes.data(), std::streamsize(bytes.size()));
  if (!out_) throw std::runtime_error("cannot write " + path_);
}

void DumpWriter::emit(std::string& bytes, Check check) {
  auto judgeWord = [&](int64_t wordAt) {
    wordState_ = WordState::Done;
    if (!isStatementWord(word_)) return;
    if (firstLine_ && check == Check::Statement) return;
    if (check == Check::FixRows && wordAt >= pos_) {
      bytes[size_t(wordAt - pos_)] = '0';
      return;
    }
    throw std::logic_error("dump text would start a statement with " + word_ + " at offset " +
                           std::to_string(wordAt));
  };
  auto endLine = [&](size_t end) {
    if (wordState_ == WordState::Word) judgeWord(wordStart_);
    if (firstLine_ && check == Check::Statement && !isStatementWord(word_))
      throw std::logic_error("statement line does not start with a statement word");
    lastLineEnd_ = pos_ + int64_t(end);
    pending_ = 0;
    firstLine_ = false;
  };

  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto b = uint8_t(bytes[i]);
    if (printable(b)) {
      if (pending_ == 0) {
        wordState_ = WordState::Leading;
        word_.clear();
      }
      if (wordState_ == WordState::Leading) {
        if (letter(b)) {
          wordState_ = WordState::Word;
          wordStart_ = pos_ + int64_t(i);
          word_ = upper(b);
        } else if (b != ' ') {
          wordState_ = WordState::Done;
        }
      } else if (wordState_ == WordState::Word) {
        if (wordChar(b)) {
          if (word_.size() <= 10) word_ += upper(b);
        } else {
          judgeWord(wordStart_);
        }
      }
      if (++pending_ == 201) endLine(i + 1);
    } else if ((b == '\r' || b == '\n') && pending_ > 0) {
      endLine(i + 1);
    }
  }
  // Row data must settle its words now: its bytes cannot be changed once written.
  if (check == Check::FixRows && wordState_ == WordState::Word) {
    if (isPrefixOfStatementWord(word_) && wordStart_ >= pos_) bytes[size_t(wordStart_ - pos_)] = '0';
    wordState_ = WordState::Done;
  }
  pos_ += int64_t(bytes.size());
  writeOut(bytes);
}

void DumpWriter::emitText(std::string_view text, Check check) {
  std::string bytes(text);
  emit(bytes, check);
}

std::string DumpWriter::nameText(std::string_view name, NameForm form) const {
  switch (form) {
    case NameForm::Bare:
      return std::string(name);
    case NameForm::Qualified:
      return std::string("SCHEMA_1.\"").append(name) + '"';
    case NameForm::Quoted:
      break;
  }
  return std::string("\"").append(name) + '"';
}

void DumpWriter::beginStatement() {
  if (pending_ > 0) emitText(ending(), Check::Continuation);
  closeOpen(lastLineEnd_);
  firstLine_ = true;
  ++statements_;
}

void DumpWriter::closeOpen(int64_t end) {
  Node* node = nullptr;
  switch (open_) {
    case Open::None:
      return;
    case Open::Public:
      node = &publics_[openIndex_];
      break;
    case Open::OwnerSelf:
      node = &owners_[openOwner_].self;
      break;
    case Open::OwnerObject:
      node = &owners_[openOwner_].objects[openIndex_];
      break;
  }
  node->length = end - node->start;
  open_ = Open::None;
}

void DumpWriter::header(uint16_t charsetId, std::string_view version) {
  std::string bytes;
  bytes += char(0x03);
  bytes += char(charsetId >> 8);
  bytes += char(charsetId & 0xFF);
  bytes += "EXPORT:";
  bytes += version;
  bytes += "\n";
  bytes += "D" + owners_[0].self.name + "\n";
  bytes += mode_ == Mode::Entire ? "RENTIRE\n" : mode_ == Mode::Users ? "RUSERS\n" : "RTABLES\n";
  emit(bytes, Check::Continuation);
}

void DumpWriter::create(Head head, std::string_view name, std::string_view tail,
                        const std::vector<std::string>& lines, NameForm form) {
  const HeadInfo& info = kHeads[size_t(head)];
  beginStatement();
  const int64_t start = lastLineEnd_;
  std::string text = std::string(info.words) + " " + nameText(name, form);
  if (!tail.empty()) text.append(" ").append(tail);
  emitText(text + ending(), Check::Statement);
  openNode(head, name, start);
  for (const auto& l : lines) line(l);
}

namespace {

// One piece of a statement's text: its two-byte little-endian length, then the text.
std::string piece(std::string_view text) {
  if (text.size() > 0xFFF0) throw std::logic_error("piece too long");
  std::string bytes{char(text.size() & 0xFF), char(text.size() >> 8)};
  return bytes.append(text);
}

const std::string kLastPiece{'\0', '\0', '\n'};

}  // namespace

void DumpWriter::storedUnit(Head head, std::string_view name, const std::vector<std::string>& source) {
  const std::string words(headWords(head).substr(std::string_view("CREATE ").size()));
  other("CREATE FORMAT71 " + words + " \"" + std::string(name) + "\" ");
  std::string first = words + " " + std::string(name);
  while (printable(uint8_t(first.size() + 1)) || (first.size() + 1) >> 8 != 0) first += ' ';
  std::string bytes = "\xFD\xFF" + piece("CREATE ") + piece(first + "\n");
  for (const auto& l : source) bytes += piece(l + "\n");
  bytes += kLastPiece;
  beginStatement();
  openNode(head, name, lastLineEnd_);
  emit(bytes, Check::Statement);
}

void DumpWriter::view(std::string_view name, std::string_view columns,
                      const std::vector<std::string>& query) {
  create(Head::View, name, std::string(columns) + " AS ");
  std::string bytes;
  for (size_t i = 0; i < query.size(); ++i) bytes += piece(query[i] + (i + 1 < query.size() ? "\n" : ""));
  bytes += kLastPiece;
  emit(bytes, Check::Continuation);
}

void DumpWriter::openNode(Head head, std::string_view name, int64_t start) {
  const HeadInfo& info = kHeads[size_t(head)];
  if (info.setsUserMode) userMode_ = true;
  Node node;
  node.kind = info.kind;
  node.name = std::string(name);
  node.start = start;
  const bool atRoot =
      info.placement == Placement::Root || (info.placement == Placement::ByUserMode && !userMode_);
  if (atRoot) {
    publics_.push_back(std::move(node));
    open_ = Open::Public;
    openIndex_ = publics_.size() - 1;
  } else {
    owners_[current_].objects.push_back(std::move(node));
    open_ = Open::OwnerObject;
    openOwner_ = current_;
    openIndex_ = owners_[current_].objects.size() - 1;
  }
}

void DumpWriter::createUser(std::string_view name, std::string_view tail, NameForm form) {
  beginStatement();
  const int64_t start = lastLineEnd_;
  std::string text = "CREATE USER " + nameText(name, form);
  if (!tail.empty()) text.append(" ").append(tail);
  emitText(text + ending(), Check::Statement);
  Owner owner;
  owner.self.kind = 1;
  owner.self.name = std::string(name);
  owner.self.start = start;
  owners_.push_back(std::move(owner));
  current_ = owners_.size() - 1;
  open_ = Open::OwnerSelf;
  openOwner_ = current_;
}

void DumpWriter::connect(std::string_view name) {
  beginStatement();
  const bool bare = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  }) && letter(uint8_t(name[0]));
  emitText("CONNECT " + (bare ? std::string(name) : nameText(name, NameForm::Quoted)) + ending(),
           Check::Statement);
  userMode_ = true;
  for (size_t i = 0; i < owners_.size(); ++i) {
    if (owners_[i].self.name == name) {
      current_ = i;
      return;
    }
  }
  if (mode_ == Mode::Entire) return;
  Owner owner;
  owner.self.kind = 1;
  owner.self.name = std::string(name);
  owners_.push_back(std::move(owner));
  current_ = owners_.size() - 1;
}

void DumpWriter::other(std::string_view text) {
  beginStatement();
  emitText(std::string(text) + ending(), Check::Statement);
}

void DumpWriter::line(std::string_view text) {
  emitText(std::string(text) + ending(), Check::Continuation);
}

void DumpWriter::rows(int64_t bytes) {
  static constexpr std::array<std::string_view, 24> kWords = {
      "SMITH", "ALLEN",  "WARD",  "JONES",    "MARTIN", "BLAKE",  "CLARK",  "SCOTT",
      "KING",  "TURNER", "ADAMS", "JAMES",    "FORD",   "MILLER", "CLERK",  "SALESMAN",
      "grant", "Exit",   "alter", "NEW YORK", "table",  "create", "Insert", "connect"};
  bool first = true;
  while (bytes > 0) {
    const size_t piece = size_t(std::min<int64_t>(bytes, 1 << 20));
    std::string buf;
    buf.reserve(piece + 512);
    if (first && piece >= 256) {
      for (int b = 0; b < 256; ++b) buf += char(b);
      buf += "\r\n";
    }
    first = false;
    while (buf.size() < piece) {
      const unsigned columns = 1 + unsigned(rng_() % 8);
      buf += char(columns);
      buf += char(0);
      for (unsigned c = 0; c < columns; ++c) {
        std::string value;
        switch (rng_() % 5) {
          case 0: {  // a number
            uint64_t r = rng_();
            const unsigned n = 1 + unsigned(r % 8);
            for (unsigned k = 0; k < n; ++k) value += char(uint8_t(r >> (8 * k)));
            break;
          }
          case 1:
          case 2: {  // text, sometimes over more than one line
            const unsigned n = 1 + unsigned(rng_() % 6);
            for (unsigned k = 0; k < n; ++k) {
              if (k > 0) {
                const unsigned sep = unsigned(rng_() % 10);
                value += sep == 0 ? "\r\n" : sep == 1 ? "\n" : sep == 2 ? "\r" : " ";
              }
              value += kWords[rng_() % kWords.size()];
            }
            break;
          }
          case 3: {  // raw bytes of every value
            const unsigned n = 1 + unsigned(rng_() % 64);
            for (unsigned k = 0; k < n; k += 8) {
              uint64_t r = rng_();
              for (unsigned j = k; j < n && j < k + 8; ++j, r >>= 8) value += char(uint8_t(r));
            }
            break;
          }
          default:  // NULL
            buf += char(0xFE);
            buf += char(0xFF);
            continue;
        }
        buf += char(value.size() & 0xFF);
        buf += char(value.size() >> 8);
        buf += value;
      }
    }
    buf.resize(piece);
    emit(buf, Check::FixRows);
    bytes -= int64_t(piece);
  }
}

void DumpWriter::hole(int64_t bytes) {
  if (bytes <= 0) return;
  out_.flush();
  out_.seekp(bytes, std::ios::cur);
  if (!out_) throw std::runtime_error("cannot seek in " + path_);
  pos_ += bytes;
}

Expected DumpWriter::finish() {
  out_.close();
  if (!out_) throw std::runtime_error("cannot write " + path_);
  // A hole at the very end has not made the file longer yet.
  std::error_code ec;
  std::filesystem::resize_file(path_, uint64_t(pos_), ec);
  if (ec) throw std::runtime_error("cannot size " + path_ + ": " + ec.message());

  // An object still open at the end of the file has no range.
  switch (open_) {
    case Open::None:
      break;
    case Open::Public:
      publics_[openIndex_].start = -1;
      break;
    case Open::OwnerSelf:
      owners_[openOwner_].self.start = -1;
      break;
    case Open::OwnerObject:
      owners_[openOwner_].objects[openIndex_].start = -1;
      break;
  }
  Expected e;
  e.size = pos_;
  e.statements = statements_;
  auto add = [&](const std::string& owner, const Node& n) {
    ExpectedNode x;
    x.owner = owner;
    x.kind = n.kind;
    x.name = n.name;
    x.start = n.start;
    x.length = n.start < 0 ? 0 : n.length;
    e.nodes.push_back(std::move(x));
  };
  for (const auto& n : publics_) add("-", n);
  for (const auto& o : owners_) {
    add(o.self.name, o.self);
    for (const auto& n : o.objects) add(o.self.name, n);
  }
  return e;
}

// --- buildDump

namespace {

class Generator {
 public:
  Generator(DumpWriter& w, const Options& o) : w_(w), o_(o), rng_(w.random()) {}

  void run() {
    w_.header(o_.charsetId, o_.version);
    for (const char* l : {"0", "72", "0", "71", "0"}) w_.line(l);
    std::vector<std::string> owners;
    if (o_.mode == Mode::Entire) {
      owners = {"SCOTT", "HR", "APP_1", "weird user"};
      preamble(owners);
    } else if (o_.mode == Mode::Users) {
      owners = {"SCOTT", "HR", "APP_1"};
    } else {
      owners = {o_.user};
    }
    size_t round = 0;
    while (w_.position() < o_.targetSize) {
      for (const auto& owner : owners) {
        if (round > 0 && w_.position() >= o_.targetSize) break;
        w_.connect(owner);
        batch();
      }
      ++round;
    }
    if (rng_() % 4 != 0) {
      w_.other("EXIT");
      w_.other("EXIT");
    }
  }

 private:
  std::string name(std::string_view base) { return std::string(base) + "_" + std::to_string(++counter_); }
  unsigned pick(unsigned n) { return unsigned(rng_() % n); }

  void preamble(const std::vector<std::string>& owners) {
    w_.create(Head::Tablespace, name("TS"),
              "DATAFILE '/u01/oradata/ORCL/data01.dbf' SIZE 104857600 AUTOEXTEND ON NEXT 1310720 "
              "MAXSIZE 32767M EXTENT MANAGEMENT LOCAL AUTOALLOCATE SEGMENT SPACE MANAGEMENT AUTO "
              "ONLINE PERMANENT BLOCKSIZE 8192 LOGGING DEFAULT NOCOMPRESS");
    w_.create(Head::Tablespace, name("USERS"), "DATAFILE '/u01/oradata/ORCL/users01.dbf' SIZE 5242880");
    w_.create(Head::Profile, name("APP_PROFILE"), "LIMIT CPU_PER_SESSION DEFAULT CONNECT_TIME DEFAULT");
    for (const auto& o : owners) {
      w_.createUser(o, "IDENTIFIED BY VALUES 'F894844C34402B67' DEFAULT TABLESPACE \"USERS\"",
                    NameForm::Quoted);
      w_.other("GRANT UNLIMITED TABLESPACE TO \"" + o + "\"");
    }
    w_.create(Head::Role, name("APP_ROLE"));
    w_.other("REVOKE \"APP_ROLE\" FROM SYSTEM");
    w_.create(Head::RollbackSegment, name("RBS"), "STORAGE(INITIAL 131072 NEXT 131072 MINEXTENTS 2)");
    w_.create(Head::PublicRollbackSegment, name("RBS"), "TABLESPACE \"SYSTEM\" STORAGE(INITIAL 50K)");
    w_.create(Head::Directory, name("DATA_DIR"), "AS '/u01/app/data'");
    w_.create(Head::PublicDatabaseLink, name("REMOTE"), "USING 'remote.world'");
    w_.create(Head::SharedDatabaseLink, name("SHARED"), "USING 'shared.world'");
    w_.create(Head::Cluster, name("CL"), "(\"DEPTNO\" NUMBER(2)) SIZE 600 TABLESPACE \"USERS\"");
    w_.other("ALTER SYSTEM SET \"_x\" = 1");
  }

  std::string longColumns(int columns) {
    std::string s = "(";
    for (int c = 0; c < columns; ++c) {
      if (c > 0) s += ", ";
      s += "\"COL_" + std::to_string(c) + "\" " +
           (c % 3 == 0   ? "NUMBER(10, 2)"
            : c % 3 == 1 ? "VARCHAR2(30)"
                         : "DATE");
    }
    return s + ")  PCTFREE 10 PCTUSED 40 INITRANS 1 MAXTRANS 255 STORAGE(INITIAL 65536 FREELISTS 1) LOGGING";
  }

  std::vector<std::string> plsql(int lines) {
    std::vector<std::string> out = {"IS", "  v_count NUMBER := 0;", "BEGIN"};
    static constexpr std::array<std::string_view, 8> kBody = {
        "  v_count := v_count + 1;",
        "  SELECT COUNT(*) INTO v_count FROM \"EMP\" WHERE \"DEPTNO\" = 10;",
        "  IF v_count > 0 THEN",
        "    NULL;",
        "  END IF;",
        "  FOR r IN (SELECT * FROM \"DEPT\") LOOP v_count := v_count - 1; END LOOP;",
        "  -- a comment line with ~ tilde and \"quotes\"",
        "  DBMS_OUTPUT.PUT_LINE('count: ' || TO_CHAR(v_count));"};
    for (int i = 0; i < lines; ++i) out.emplace_back(kBody[pick(unsigned(kBody.size()))]);
    out.emplace_back("END;");
    return out;
  }

  void table(int64_t rowBytes, bool withHole) {
    const std::string t = name("EMP");
    w_.create(Head::Table, t, longColumns(2 + int(pick(14))), {},
              pick(5) == 0 ? NameForm::Bare : NameForm::Quoted);
    w_.other("INSERT INTO \"" + t + "\" (\"COL_0\", \"COL_1\") VALUES (:1, :2)");
    if (withHole) {
      w_.rows(std::min<int64_t>(rowBytes, 4096));
      w_.hole(o_.holeSize);
    }
    w_.rows(rowBytes);
    w_.create(pick(3) == 0 ? Head::UniqueIndex
              : pick(2)    ? Head::Index
                           : Head::BitmapIndex,
              name("IX"), "ON \"" + t + "\" (\"COL_0\" ) PCTFREE 10 INITRANS 2 MAXTRANS 255", {},
              pick(4) == 0 ? NameForm::Qualified : NameForm::Quoted);
    w_.other("ANALYZE TABLE \"" + t + "\" ESTIMATE STATISTICS");
    if (pick(2)) w_.other("ALTER TABLE \"" + t + "\" ADD CONSTRAINT \"PK\" PRIMARY KEY (\"COL_0\")");
    if (pick(2)) w_.other("COMMENT ON TABLE \"" + t + "\" IS 'rows of " + t + "'");
    w_.other("ENDTABLE");
  }

  void batch() {
    switch (o_.shape) {
      case Shape::Binary:
        table(std::min<int64_t>(int64_t(1 + pick(4)) << 20,
                                std::max<int64_t>(o_.targetSize - w_.position(), 4096)),
              holePending());
        return;
      case Shape::Text:
        for (int i = 0; i < 4; ++i) {
          w_.create(Head::OrReplacePackage, name("PKG"), "AS", {"  PROCEDURE run;", "END;"});
          w_.create(Head::PackageBody, name("PKG"), {}, plsql(50 + int(pick(200))));
          w_.create(Head::OrReplaceView, name("V"), "(\"A\", \"B\") AS",
                    {"SELECT \"A\", \"B\" FROM \"EMP\" WHERE \"A\" > 0 AND \"B\" IS NOT NULL",
                     std::string(150 + pick(100), ' ') + "ORDER BY \"A\""});
          w_.create(Head::Procedure, name("PROC"), {}, plsql(20 + int(pick(60))));
        }
        table(4096, holePending());
        return;
      case Shape::Statements:
        for (int i = 0; i < 40; ++i) {
          switch (pick(6)) {
            case 0:
              w_.create(Head::Sequence, name("SEQ"), "MINVALUE 1 MAXVALUE 999 INCREMENT BY 1");
              break;
            case 1:
              w_.create(Head::Synonym, name("SYN"), "FOR \"EMP\"");
              break;
            case 2:
              w_.create(Head::Index, name("IX"), "ON \"EMP\" (\"A\")");
              break;
            case 3:
              w_.other("GRANT SELECT ON \"EMP\" TO PUBLIC");
              break;
            case 4:
              w_.other("ALTER SESSION SET CURRENT_SCHEMA = \"X\"");
              break;
            default:
              w_.create(Head::View, name("V"), "AS SELECT 1 FROM DUAL");
              break;
          }
        }
        table(1024, holePending());
        return;
      case Shape::Mixed:
        break;
    }
    const int tables = 1 + int(pick(2));
    for (int i = 0; i < tables; ++i) table(int64_t(pick(16384)), holePending());
    // Each head in both of its forms, one or the other per batch.
    auto either = [&](Head a, Head b) { return pick(2) ? a : b; };
    w_.create(either(Head::View, Head::OrReplaceView), name("V"), "(\"A\") AS",
              {"SELECT \"COL_0\" FROM \"EMP_1\""});
    w_.create(Head::Sequence, name("SEQ"), "MINVALUE 1 MAXVALUE 1000000000 INCREMENT BY 1 START WITH 21", {},
              NameForm::Bare);
    w_.create(either(Head::Package, Head::OrReplacePackage), name("PKG"), "AS",
              {"  FUNCTION f RETURN NUMBER;", "END;"});
    w_.create(either(Head::PackageBody, Head::OrReplacePackageBody), name("PKG"), {}, plsql(int(pick(12))));
    w_.create(either(Head::Procedure, Head::OrReplaceProcedure), name("PROC"), {}, plsql(int(pick(8))));
    w_.create(either(Head::Function, Head::OrReplaceFunction), name("FN"), "RETURN NUMBER",
              plsql(int(pick(6))));
    if (pick(3) == 0) w_.other("SQLVERSION 3");
    if (pick(3) == 0) w_.other("TABLE \"EMP_1\"");
    if (pick(3) == 0) w_.other("EXECFULL 1");
    if (pick(3) == 0) w_.other("CREATE FORMAT71 X");
    w_.create(Head::Trigger, name("TRG"), "BEFORE INSERT ON \"EMP_1\" FOR EACH ROW",
              {"BEGIN", "  NULL;", "END;"});
    w_.create(Head::Format71Trigger, name("TRG"), "AFTER DELETE ON \"EMP_1\"", {"BEGIN NULL; END;"});
    w_.create(Head::OrReplaceTrigger, name("TRG"), {}, {"BEFORE UPDATE ON \"EMP_1\"", "BEGIN NULL; END;"});
    w_.create(Head::Synonym, name("SYN"), "FOR \"EMP_1\"");
    w_.create(Head::PublicSynonym, name("PSYN"), "FOR \"EMP_1\"");
    w_.create(Head::Snapshot, name("SNAP"), "REFRESH FAST AS SELECT * FROM \"EMP_1\"");
    w_.other("CREATE SNAPSHOT LOG ON \"EMP_1\"");
    w_.create(Head::DatabaseLink, name("LINK"), "CONNECT TO \"X\" IDENTIFIED BY \"Y\" USING 'db'");
    w_.create(Head::SharedPublicDatabaseLink, name("SPLINK"), "USING 'db'");
    w_.create(Head::OrReplaceDirectory, name("DIR"), "AS '/tmp'");
    w_.create(Head::Role, name("ROLE"));
    w_.create(Head::Profile, name("PROF"), "LIMIT SESSIONS_PER_USER 2");
    w_.create(Head::Cluster, name("CL"), "(\"K\" NUMBER)");
    w_.other("EXECUTE DBMS_STATS.GATHER_SCHEMA_STATS('X')");
  }

  bool holePending() {
    const bool now = o_.holeSize > 0 && !holeDone_;
    holeDone_ = true;
    return now;
  }

  DumpWriter& w_;
  const Options& o_;
  std::mt19937_64& rng_;
  int counter_ = 0;
  bool holeDone_ = false;
};

}  // namespace

Expected buildDump(const std::string& path, const Options& options) {
  DumpWriter w(path, options.mode, options.user, options.endings, options.seed);
  Generator(w, options).run();
  return w.finish();
}

}  // namespace dumpbuilder
