// Writes classic export dump files for tests and benchmarks, and records from its own bookkeeping
// which tree, with which byte ranges, a reader must find in them.
//
// The bookkeeping follows what a dump means, not how the reader works: a line ends at a carriage
// return or line feed after printable text (bytes 0x20..0x7D) or at its 201st character; an
// object's range runs from the end of the line before its head to the end of its last line; a
// statement that is no head (GRANT, ALTER, INSERT INTO ...) ends the open object. So that binary
// row data never looks like a statement, the writer changes the first letter of any row-data line
// whose first word is a statement keyword into a digit, and it refuses (std::logic_error) text of
// its callers that would let a continuation line start a statement.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace dumpbuilder {

enum class Mode { Entire, Users, Tables };
enum class Endings { Lf, CrLf, Cr, Mixed };
enum class Shape { Mixed, Binary, Text, Statements };
enum class NameForm { Quoted, Bare, Qualified };

// The heads of statements that make nodes.
enum class Head {
  Tablespace,
  Profile,
  Role,
  RollbackSegment,
  PublicRollbackSegment,
  Directory,
  OrReplaceDirectory,
  DatabaseLink,
  PublicDatabaseLink,
  SharedDatabaseLink,
  SharedPublicDatabaseLink,
  Cluster,
  Table,
  Index,
  UniqueIndex,
  BitmapIndex,
  View,
  OrReplaceView,
  Sequence,
  Synonym,
  PublicSynonym,
  Snapshot,
  Function,
  OrReplaceFunction,
  Procedure,
  OrReplaceProcedure,
  Package,
  OrReplacePackage,
  PackageBody,
  OrReplacePackageBody,
  Trigger,
  OrReplaceTrigger,
  Format71Trigger,
};
inline constexpr int kHeadCount = int(Head::Format71Trigger) + 1;

// The statement words of a head ("CREATE PUBLIC SYNONYM").
std::string_view headWords(Head head);

// One node as the dumptree tool prints it: public objects with owner "-", an owner's own node
// with owner = its name and kind 1, its objects with owner = its name.
struct ExpectedNode {
  std::string owner;
  int kind = 0;
  std::string name;
  int64_t start = -1;
  int64_t length = 0;
};

struct Expected {
  std::vector<ExpectedNode> nodes;  // in print order
  int64_t size = 0;                 // bytes in the file
  int64_t statements = 0;           // statement lines written
};

// "owner<TAB>kind<TAB>name<TAB>start<TAB>length", the dumptree line of a node.
std::string nodeLine(const ExpectedNode& node);
std::vector<std::string> nodeLines(const Expected& expected);

// Writes one dump file statement by statement. Throws std::runtime_error when the file cannot be
// written.
class DumpWriter {
 public:
  DumpWriter(const std::string& path, Mode mode, std::string user, Endings endings, uint64_t seed);
  ~DumpWriter();
  DumpWriter(const DumpWriter&) = delete;
  DumpWriter& operator=(const DumpWriter&) = delete;

  // The first byte, the character-set id (bytes 1 and 2, high byte first) and the lines
  // "EXPORT:" + version, "D" + user and "R" + the mode's word (ENTIRE, USERS, TABLES).
  void header(uint16_t charsetId, std::string_view version);

  // A head line: the head's words, the name in the given form, then `tail` on the same line;
  // `lines` follow as lines of the same object.
  void create(Head head, std::string_view name, std::string_view tail = {},
              const std::vector<std::string>& lines = {}, NameForm form = NameForm::Quoted);
  // A stored program as export writes it: the line "CREATE FORMAT71 " + the unit's words and
  // name (which ends the open object), then its text in pieces, each behind its two-byte
  // little-endian length, led by the bytes FD FF and ended by an empty piece and a line feed:
  // "CREATE ", the unit's words and name (padded with blanks so that its length byte is no
  // text), then one piece per line of `source`. The reader's line "CREATE " + words + name opens
  // the object.
  void storedUnit(Head head, std::string_view name, const std::vector<std::string>& source);
  // A view as export writes it: its head line "CREATE VIEW name columns AS ", then its query in
  // pieces, one per line of `query`, ended by an empty piece and a line feed.
  void view(std::string_view name, std::string_view columns, const std::vector<std::string>& query);
  // CREATE USER: a new owner that becomes the current one and gets its own range.
  void createUser(std::string_view name, std::string_view tail = {}, NameForm form = NameForm::Quoted);
  // CONNECT: switches to an owner; outside a full export an unknown owner is created (no range).
  void connect(std::string_view name);
  // A statement that ends the open object and belongs to nothing (GRANT ..., ALTER ...).
  void other(std::string_view line);
  // A text line of the open object (or of nothing when none is open).
  void line(std::string_view text);
  // Binary row data: `bytes` bytes that use every byte value, with CR, LF and CR LF among them.
  void rows(int64_t bytes);
  // `bytes` zero bytes, left as a hole of a sparse file where the file system allows.
  void hole(int64_t bytes);

  int64_t position() const { return pos_; }
  std::mt19937_64& random() { return rng_; }

  // Ends the file (without touching the last line) and returns what a reader must find.
  Expected finish();

 private:
  struct Node {
    int kind;
    std::string name;
    int64_t start = -1;
    int64_t length = 0;
  };
  struct Owner {
    Node self;
    std::vector<Node> objects;
  };
  enum class Open { None, Public, OwnerSelf, OwnerObject };
  enum class Check { Statement, Continuation, FixRows };

  std::string ending();
  std::string nameText(std::string_view name, NameForm form) const;
  void beginStatement();  // ends the pending line and closes the open object
  void openNode(Head head, std::string_view name, int64_t start);
  void closeOpen(int64_t end);
  void emit(std::string& bytes, Check check);
  void emitText(std::string_view text, Check check);
  void writeOut(const std::string& bytes);

  std::ofstream out_;
  std::string path_;
  Mode mode_;
  Endings endings_;
  std::mt19937_64 rng_;
  std::string buffer_;

  // Line bookkeeping.
  int64_t pos_ = 0;
  int64_t lastLineEnd_ = 0;  // offset just past the terminator of the last line handed over
  int pending_ = 0;          // characters of the line not yet ended
  enum class WordState { Leading, Word, Done } wordState_ = WordState::Leading;
  std::string word_;
  int64_t wordStart_ = -1;  // file offset of the first letter of the pending line's first word
  bool firstLine_ = false;  // the next line to end is a statement's own line
  int64_t statements_ = 0;

  // The tree as a reader must see it.
  std::vector<Node> publics_;
  std::vector<Owner> owners_;
  size_t current_ = 0;
  bool userMode_ = false;
  Open open_ = Open::None;
  size_t openOwner_ = 0;
  size_t openIndex_ = 0;
};

struct Options {
  Mode mode = Mode::Entire;
  std::string user = "SYSTEM";
  uint16_t charsetId = 0x001F;
  std::string version = "V09.02.00";
  Shape shape = Shape::Mixed;
  Endings endings = Endings::Mixed;
  int64_t targetSize = 1 << 20;  // the dump grows by whole owners until it holds this many bytes
  int64_t holeSize = 0;          // a sparse hole in the first table's rows (multi-GB dumps)
  uint64_t seed = 1;
};

// A realistic dump: tablespaces, profiles, users, roles, rollback segments, directories, public
// links and synonyms, clusters, then per owner its tables with rows, indexes, views, sequences,
// PL/SQL, triggers, synonyms, snapshots and links, as far as the mode has them.
Expected buildDump(const std::string& path, const Options& options);

}  // namespace dumpbuilder
