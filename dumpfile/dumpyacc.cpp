#include "dumpfile/dumpyacc.h"

#include "lexyacc/yacclib.h"

// The recogniser is written as recursive descent over the grammar
//
//   statement       : create_statement | connect_statement | other_statement | error
//   object_name     : simple_name | qualified_name
//   simple_name     : NAME | STRING
//   qualified_name  : NAME '.' simple_name | error
//   connect_statement : CONNECT object_name
//   other_statement : ENDTABLE | ANALYZE TABLE object_name | ALTER | REVOKE | EXECUTE | GRANT | EXIT
//                   | EXECFULL | TABLE object_name | INSERT INTO object_name | SQLVERSION
//                   | COMMENT ON | CREATE FORMAT71
//   create_statement: the create heads, with link_scope, or_replace and index_kind prefixes
//
// and takes the decisions that an LALR driver with default reductions and error recovery takes on
// it (see yacclib.h):
//   - A head's action runs as soon as its name is complete; the token after the name is read only
//     afterwards, when the driver looks for the end of input. So trailing text never undoes a head.
//   - An error inside a name (no name after the keyword, or nothing usable after "owner.") shifts
//     the error token of qualified_name. Its value is the value of the last token shifted: the
//     keyword, or the owner part. When the look-ahead has no text (end of line) the rule ends the
//     open object and aborts; otherwise recovery is accepted and the head acts with that value.
//     A name recovered right after the keyword is a missing name: the head ends the open object
//     and makes nothing.
//   - Any other error falls back to the start state and reduces statement: error, which aborts.

namespace dumpfile {

using namespace dumptoken;

namespace {

enum class Place { Owner, Root, ByUserMode };

struct ObjectName {
  lexyacc::ShortString value;
  bool missing = false;
};

// The common lines of a dump, recognised from their characters without the scanner and the
// parser: a statement keyword, a create head with a name written plainly (a word that is no keyword,
// a double-quoted text, owner.name) and the token after it. Every token it takes is one that the
// scanner would cut in the same place with the same code and text; on anything else (tabs, line
// feeds, comments, single quotes, a quoted text that ends in a backslash, numbers, keywords as
// names, the prefixes PUBLIC and SHARED, ...) it gives up before recording anything, and the
// line goes through the full parse.
class QuickHeads {
 public:
  // Records the line's effect in `out` (action and result; the name of a head, a created user or
  // a connected owner) and returns true, or returns false with `out` untouched.
  static bool Recognise(std::string_view line, TDumpRecogniser::Outcome& out) {
    if (line.size() >= size_t(lexyacc::LexLib::kMaxText)) return false;  // the scanner cuts it
    QuickHeads q(line);
    return q.statement(out);
  }

 private:
  using Outcome = TDumpRecogniser::Outcome;

  explicit QuickHeads(std::string_view line) : p_(line.data()), end_(line.data() + line.size()) {}

  static bool letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
  static bool digit(char c) { return c >= '0' && c <= '9'; }
  static bool nameChar(char c) { return letter(c) || digit(c) || c == '_' || c == '#' || c == '$'; }

  // The next character that is not a blank, 0 at the end of the line. A tab, a line feed, a '-'
  // (which may start a comment) and a single quote (which the scanner does not take as a token
  // that is never a keyword) come back as kUnsure, so the full parse answers.
  static constexpr char kUnsure = '\t';
  char peek() {
    while (p_ != end_ && *p_ == ' ') ++p_;
    if (p_ == end_) return 0;
    const char c = *p_;
    return c == '\t' || c == '\n' || c == '-' || c == '\'' ? kUnsure : c;
  }

  // The word at p_ (peek() gave a letter); p_ moves past it.
  std::string_view word() {
    const char* from = p_;
    while (++p_ != end_ && nameChar(*p_)) {
    }
    return {from, size_t(p_ - from)};
  }

  // The keyword code of the next token when it is a word; 0 for any other token (which is never a
  // keyword); -1 when unsure. p_ moves past a word only.
  int nextKeyword() {
    const char c = peek();
    if (c == kUnsure) return -1;
    if (c == '"') return quotedStaysWhole() ? 0 : -1;
    return letter(c) ? DumpKeywordCode(word()) : 0;
  }

  // Whether the double-quoted text at p_ is one token (a name, or the end when a 0 byte or the
  // line's end comes before its closing quote). The scanner takes it apart when it ends in a
  // backslash there: the quote is dropped and what follows is read again, keywords included.
  bool quotedStaysWhole() const {
    const char* q = p_ + 1;
    while (q != end_ && *q != '"' && *q != '\0') ++q;
    return q[-1] != '\\';
  }

  // A double-quoted text at p_: its body, p_ past the closing quote. False when the scanner
  // would not take it as plainly (no closing quote, a 0 byte, a backslash before the quote).
  bool quoted(std::string_view& body) {
    const char* from = p_ + 1;
    const char* q = from;
    while (q != end_ && *q != '"' && *q != '\0') ++q;
    if (q == end_ || *q != '"' || (q != from && q[-1] == '\\')) return false;
    body = {from, size_t(q - from)};
    p_ = q + 1;
    return true;
  }

  // object_name without an error: a quoted text, a word that is no keyword, or word.word or
  // word."text" (the part after the dot kept).
  bool objectName(std::string_view& name) {
    const char c = peek();
    if (c == '"') return quoted(name);
    if (!letter(c)) return false;
    name = word();
    if (DumpKeywordCode(name) != 0) return false;
    if (peek() != '.') return true;
    if (p_ + 1 != end_ && digit(p_[1])) return false;  // a number, not a dot
    ++p_;
    const char c2 = peek();
    if (c2 == '"') return quoted(name);
    if (!letter(c2)) return false;
    name = word();
    return DumpKeywordCode(name) == 0;
  }

  // Whether the token after the head is the end of the line: 0 when it is, 1 when it is another
  // token, -1 when unsure.
  int afterHead() {
    const char c = peek();
    if (c == kUnsure) return -1;
    if (c == 0) return 0;
    if (letter(c) || digit(c)) return 1;
    switch (c) {
      case ',':
      case '(':
      case ')':
      case '[':
      case ']':
      case '.':
      case ':':
      case '=':
      case '*':
      case '+':
      case '/':
      case '<':
      case '>':
        return 1;
      case '"':
      case '\'': {
        // A quoted text with its closing quote is a token; without, the scanner answers 0.
        const char* q = p_ + 1;
        while (q != end_ && *q != c && *q != '\0') ++q;
        return q != end_ && *q == c && q[-1] != '\\' ? 1 : -1;
      }
      default:
        return 0;  // a byte that no rule takes: the scanner answers 0, the end
    }
  }

  static bool close(Outcome& out) {
    out.action = Outcome::kClose;
    out.result = 1;
    return true;
  }

  bool named(Outcome& out, Outcome::Action action, uint8_t kind, bool setsUserMode, Place place,
             bool snapshot = false) {
    std::string_view name;
    if (!objectName(name)) return false;
    if (snapshot && name == "LOG") return close(out);
    const int result = afterHead();
    if (result < 0) return false;
    out.action = action;
    out.kind = kind;
    out.setsUserMode = setsUserMode;
    out.place = uint8_t(place);
    out.name = name;
    out.result = result;
    return true;
  }

  // A keyword that must follow (`then`) for the head to go on; anything else is the error that
  // ends the open object.
  int expect(int keyword) {
    const int code = nextKeyword();
    return code < 0 ? -1 : code == keyword ? 1 : 0;
  }

  bool orReplaced(Outcome& out, int code) {
    switch (code) {
      case DIRECTORY:
        return named(out, Outcome::kHead, kKindDirectories, false, Place::ByUserMode);
      case FUNCTION:
        return named(out, Outcome::kHead, kKindFunctions, true, Place::Owner);
      case PROCEDURE:
        return named(out, Outcome::kHead, kKindProcedures, true, Place::Owner);
      case TRIGGER:
        return named(out, Outcome::kHead, kKindTriggers, true, Place::Owner);
      case VIEW:
        return named(out, Outcome::kHead, kKindViews, true, Place::Owner);
      case PACKAGE: {
        const char* at = p_;
        const int next = nextKeyword();
        if (next < 0) return false;
        if (next == BODY) return named(out, Outcome::kHead, kKindPackageBodies, false, Place::ByUserMode);
        p_ = at;
        return named(out, Outcome::kHead, kKindPackages, true, Place::Owner);
      }
      default:
        return close(out);
    }
  }

  bool create(Outcome& out) {
    const int code = nextKeyword();
    int then = 0;
    switch (code) {
      case -1:
      case SHARED:
      case PUBLIC:
        return false;
      case FORMAT71TRIG:
        if ((then = expect(CREATE)) <= 0 || (then = expect(TRIGGER)) <= 0) return then == 0 && close(out);
        return named(out, Outcome::kHead, kKindTriggers, true, Place::Owner);
      case CLUSTER:
        return named(out, Outcome::kHead, kKindClusters, false, Place::Root);
      case DATABASE:
        if ((then = expect(LINK)) <= 0) return then == 0 && close(out);
        return named(out, Outcome::kHead, kKindDatabaseLinks, false, Place::ByUserMode);
      case ROLLBACK:
        if ((then = expect(SEGMENT)) <= 0) return then == 0 && close(out);
        return named(out, Outcome::kHead, kKindRollbackSegments, false, Place::Root);
      case SYNONYM:
        return named(out, Outcome::kHead, kKindSynonyms, true, Place::Owner);
      case OR: {
        if ((then = expect(REPLACE)) <= 0) return then == 0 && close(out);
        const int kind = nextKeyword();
        return kind >= 0 && orReplaced(out, kind);
      }
      case DIRECTORY:
      case FUNCTION:
      case PACKAGE:
      case PROCEDURE:
      case TRIGGER:
      case VIEW:
        return orReplaced(out, code);
      case UNIQUE:
      case BITMAP:
        if ((then = expect(INDEX)) <= 0) return then == 0 && close(out);
        return named(out, Outcome::kHead, kKindIndexes, true, Place::Owner);
      case INDEX:
        return named(out, Outcome::kHead, kKindIndexes, true, Place::Owner);
      case PROFILE:
        return named(out, Outcome::kHead, kKindProfiles, false, Place::ByUserMode);
      case ROLE:
        return named(out, Outcome::kHead, kKindRoles, false, Place::ByUserMode);
      case SEQUENCE:
        return named(out, Outcome::kHead, kKindSequences, true, Place::Owner);
      case SNAPSHOT:
        return named(out, Outcome::kHead, kKindSnapshots, true, Place::Owner, true);
      case TABLE:
        return named(out, Outcome::kHead, kKindTables, true, Place::Owner);
      case TABLESPACE:
        return named(out, Outcome::kHead, kKindTablespaces, false, Place::Root);
      case USER:
        return named(out, Outcome::kCreateUser, 0, false, Place::Owner);
      default:
        return close(out);  // FORMAT71, or no head: the line ends the open object
    }
  }

  bool statement(Outcome& out) {
    if (!letter(peek())) return false;
    int then = 0;
    switch (DumpKeywordCode(word())) {
      case CREATE:
        return create(out);
      case CONNECT:
        return named(out, Outcome::kConnect, 0, false, Place::Owner);
      case ENDTABLE:
      case ALTER:
      case REVOKE:
      case EXECUTE:
      case GRANT:
      case EXIT:
      case EXECFULL:
      case SQLVERSION:
      case TABLE:  // the name after it, whatever it is, changes nothing
        return close(out);
      case ANALYZE:
        then = expect(TABLE);
        break;
      case INSERT:
        then = expect(INTO);
        break;
      case COMMENT:
        then = expect(ON);
        break;
      default:
        out.result = 1;  // no statement: the line belongs to the open object
        return true;
    }
    if (then < 0) return false;
    out.result = 1;
    if (then > 0) out.action = Outcome::kClose;
    return true;
  }

  const char* p_;
  const char* end_;
};

}  // namespace

struct TDumpRecogniser::Impl {
  explicit Impl(TExpFileRoot* r) : rootOrNull(r) {}

  TExpFileRoot* rootOrNull;
  // While recognising: where the line's effect goes instead of the root.
  Outcome* record = nullptr;
  TDumpLex lex;
  lexyacc::YaccLib yacc;
  bool shortcut = true;
  bool createLine = false;
  bool headActed = false;

  int look() {
    return yacc.yylook([this] { return lex.yylex(); });
  }
  void shift() { yacc.yyshift(lex.yylval); }

  TExpFileRoot& root() { return *rootOrNull; }

  void closeCurrent() {
    if (record != nullptr)
      record->action = Outcome::kClose;
    else
      root().CloseCurrentNode();
  }

  int parse(std::string_view line) {
    lex.setSingleLine(line);
    yacc.yystart();
    createLine = false;
    headActed = false;
    return statement();
  }

  // statement: error. A line that began with CREATE but is no head ends the open object.
  int statementError() {
    yacc.yysyntaxerror();
    if (createLine && !headActed) closeCurrent();
    yacc.yyabort();
    return 1;
  }

  // The head has acted; the line is complete only when nothing follows.
  int endOfHead() {
    if (look() == END) {
      yacc.yyaccept();
      return 0;
    }
    yacc.yysyntaxerror();  // recovery reaches statement: error
    yacc.yyabort();
    return 1;
  }

  // statement: other_statement
  int otherStatement() {
    closeCurrent();
    yacc.yyabort();
    return 1;
  }

  // object_name after a keyword. False when the parse has been aborted.
  bool objectName(ObjectName& out) {
    const int t = look();
    if (t == STRING) {
      shift();
      out.value = yacc.yyval;
      return true;
    }
    if (t == NAME) {
      shift();
      if (look() != DOT) {
        out.value = yacc.yyval;
        return true;
      }
      shift();
      const int t3 = look();
      if (t3 == NAME || t3 == STRING) {
        shift();
        out.value = yacc.yyval;
        return true;
      }
      return recoveredName(out, false);
    }
    return recoveredName(out, true);
  }

  // qualified_name: error
  bool recoveredName(ObjectName& out, bool rightAfterKeyword) {
    yacc.yysyntaxerror();
    if (lex.yytext.empty()) {
      closeCurrent();
      yacc.yyabort();
      return false;
    }
    yacc.yyerrok();
    out.value = yacc.yyval;
    out.missing = rightAfterKeyword;
    return true;
  }

  TExpFileUser* currentOwner() {
    TExpFileRoot& r = root();
    if (r.CurrentOwner() == nullptr) {
      // The reader starts every reading with a default owner; a recogniser used on its own
      // gets the same one on first need.
      auto owner = std::make_unique<TExpFileUser>();
      owner->SetName(r.ExportUser());
      r.SetCurrentOwner(r.AddUser(std::move(owner)));
    }
    return r.CurrentOwner();
  }

  void addHead(std::string_view name, uint8_t kind, bool setsUserMode, Place place) {
    TExpFileRoot& r = root();
    r.CloseCurrentNode();
    if (setsUserMode) r.SetUserMode(true);
    const bool atRoot = place == Place::Root || (place == Place::ByUserMode && !r.UserMode());
    r.SetOpenNode(atRoot ? r.AddPublicObject(name, kind) : currentOwner()->AddNode(name, kind));
  }

  void addUser(std::string_view name) {
    TExpFileRoot& r = root();
    r.CloseCurrentNode();
    auto owner = std::make_unique<TExpFileUser>();
    owner->SetName(std::string(name));
    TExpFileUser* added = r.AddUser(std::move(owner));
    r.SetCurrentOwner(added);
    r.SetOpenNode(added);
  }

  // False when the line ends here (the owner is unknown to an entire-database export).
  bool connectOwner(std::string_view name) {
    TExpFileRoot& r = root();
    r.CloseCurrentNode();
    r.SetUserMode(true);
    const int found = r.FindUser(name);
    TExpFileUser* owner = nullptr;
    if (found >= 0) {
      r.GetUser(found, owner);
    } else if (r.ExportMode() == 1) {
      // An entire-database export introduces every owner with CREATE USER first.
      return false;
    } else {
      auto created = std::make_unique<TExpFileUser>();
      created->SetName(std::string(name));
      owner = r.AddUser(std::move(created));
    }
    r.SetCurrentOwner(owner);
    return true;
  }

  void recordAction(Outcome::Action action, const lexyacc::ShortString& name, uint8_t kind = 0,
                    bool setsUserMode = false, Place place = Place::Owner) {
    record->action = action;
    record->name = name;
    record->kind = kind;
    record->setsUserMode = setsUserMode;
    record->place = uint8_t(place);
  }

  // Action of a create head.
  int head(const ObjectName& name, uint8_t kind, bool setsUserMode, Place place, bool snapshot = false) {
    headActed = true;
    if (name.missing || (snapshot && name.value == std::string_view("LOG"))) {
      closeCurrent();
      yacc.yyabort();
      return 1;
    }
    if (record != nullptr)
      recordAction(Outcome::kHead, name.value, kind, setsUserMode, place);
    else
      addHead(name.value, kind, setsUserMode, place);
    return endOfHead();
  }

  // Parses the name after the keyword just shifted, then runs the head.
  int namedHead(uint8_t kind, bool setsUserMode, Place place, bool snapshot = false) {
    ObjectName name;
    if (!objectName(name)) return 1;
    return head(name, kind, setsUserMode, place, snapshot);
  }

  int createUser() {
    ObjectName name;
    if (!objectName(name)) return 1;
    headActed = true;
    if (name.missing) {
      closeCurrent();
      yacc.yyabort();
      return 1;
    }
    if (record != nullptr)
      recordAction(Outcome::kCreateUser, name.value);
    else
      addUser(name.value);
    return endOfHead();
  }

  int connectStatement() {
    ObjectName name;
    if (!objectName(name)) return 1;
    if (name.missing) {
      closeCurrent();
      yacc.yyabort();
      return 1;
    }
    if (record != nullptr) {
      // Whether the owner is known is the root's to say when the outcome is applied.
      recordAction(Outcome::kConnect, name.value);
    } else if (!connectOwner(name.value)) {
      yacc.yyabort();
      return 1;
    }
    return endOfHead();
  }

  // CREATE link_scope (DATABASE LINK | ROLLBACK SEGMENT | SYNONYM)
  int linkScoped(const lexyacc::ShortString& scope) {
    std::string lower(scope.view());
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    switch (look()) {
      case DATABASE:
        shift();
        if (look() != LINK) return statementError();
        shift();
        return namedHead(kKindDatabaseLinks, false,
                         lower == "public" || lower == "shared" ? Place::Root : Place::ByUserMode);
      case ROLLBACK:
        shift();
        if (look() != SEGMENT) return statementError();
        shift();
        return namedHead(kKindRollbackSegments, false, Place::Root);
      case SYNONYM:
        shift();
        return namedHead(kKindSynonyms, true, lower == "public" ? Place::Root : Place::Owner);
      default:
        return statementError();
    }
  }

  // CREATE or_replace (DIRECTORY | FUNCTION | PACKAGE [BODY] | PROCEDURE | TRIGGER | VIEW)
  int orReplaced() {
    switch (look()) {
      case DIRECTORY:
        shift();
        return namedHead(kKindDirectories, false, Place::ByUserMode);
      case FUNCTION:
        shift();
        return namedHead(kKindFunctions, true, Place::Owner);
      case PROCEDURE:
        shift();
        return namedHead(kKindProcedures, true, Place::Owner);
      case TRIGGER:
        shift();
        return namedHead(kKindTriggers, true, Place::Owner);
      case VIEW:
        shift();
        return namedHead(kKindViews, true, Place::Owner);
      case PACKAGE:
        shift();
        if (look() == BODY) {
          shift();
          return namedHead(kKindPackageBodies, false, Place::ByUserMode);
        }
        return namedHead(kKindPackages, true, Place::Owner);
      default:
        return statementError();
    }
  }

  // Joins a one- or two-keyword prefix the way its rules yield it: texts as written, one blank.
  lexyacc::ShortString prefix(int second) {
    lexyacc::ShortString text = lex.yylval;
    shift();
    if (look() == second) {
      std::string joined(text.view());
      joined += ' ';
      joined += lex.yylval.view();
      text.assign(joined);
      shift();
    }
    return text;
  }

  int createStatement() {
    createLine = true;
    switch (look()) {
      case CLUSTER:
        shift();
        return namedHead(kKindClusters, false, Place::Root);
      case SHARED:
        return linkScoped(prefix(PUBLIC));
      case PUBLIC:
        return linkScoped(prefix(SHARED));
      case DATABASE:
      case ROLLBACK:
      case SYNONYM:
        return linkScoped(lexyacc::ShortString());
      case OR:
        shift();
        if (look() != REPLACE) return statementError();
        shift();
        return orReplaced();
      case DIRECTORY:
      case FUNCTION:
      case PACKAGE:
      case PROCEDURE:
      case TRIGGER:
      case VIEW:
        return orReplaced();
      case UNIQUE:
      case BITMAP:
        shift();
        if (look() != INDEX) return statementError();
        [[fallthrough]];
      case INDEX:
        shift();
        return namedHead(kKindIndexes, true, Place::Owner);
      case PROFILE:
        shift();
        return namedHead(kKindProfiles, false, Place::ByUserMode);
      case ROLE:
        shift();
        return namedHead(kKindRoles, false, Place::ByUserMode);
      case SEQUENCE:
        shift();
        return namedHead(kKindSequences, true, Place::Owner);
      case SNAPSHOT:
        shift();
        return namedHead(kKindSnapshots, true, Place::Owner, true);
      case TABLE:
        shift();
        return namedHead(kKindTables, true, Place::Owner);
      case TABLESPACE:
        shift();
        return namedHead(kKindTablespaces, false, Place::Root);
      case USER:
        shift();
        return createUser();
      case FORMAT71TRIG:
        shift();
        if (look() != CREATE) return statementError();
        shift();
        if (look() != TRIGGER) return statementError();
        shift();
        return namedHead(kKindTriggers, true, Place::Owner);
      case FORMAT71:
        shift();
        return otherStatement();
      default:
        return statementError();
    }
  }

  // other_statement heads that take a name: the name is read (its errors recover as in any name)
  // and the statement then ends the open object.
  int namedOther() {
    ObjectName name;
    if (!objectName(name)) return 1;
    return otherStatement();
  }

  int statement() {
    switch (look()) {
      case CREATE:
        shift();
        return createStatement();
      case CONNECT:
        shift();
        return connectStatement();
      case ENDTABLE:
      case ALTER:
      case REVOKE:
      case EXECUTE:
      case GRANT:
      case EXIT:
      case EXECFULL:
      case SQLVERSION:
        shift();
        return otherStatement();
      case TABLE:
        shift();
        return namedOther();
      case ANALYZE:
        shift();
        if (look() != TABLE) return statementError();
        shift();
        return namedOther();
      case INSERT:
        shift();
        if (look() != INTO) return statementError();
        shift();
        return namedOther();
      case COMMENT:
        shift();
        if (look() != ON) return statementError();
        shift();
        return otherStatement();
      default:
        return statementError();
    }
  }
};

TDumpRecogniser::TDumpRecogniser(TExpFileRoot& root) : impl_(std::make_unique<Impl>(&root)) {}
TDumpRecogniser::TDumpRecogniser() : impl_(std::make_unique<Impl>(nullptr)) {}
TDumpRecogniser::~TDumpRecogniser() = default;

bool TDumpRecogniser::CannotStartStatement(std::string_view line) {
  size_t i = 0;
  return CannotStartStatement<false>(line.size(),
                                     [&]() -> char { return i < line.size() ? line[i++] : '\0'; });
}

int TDumpRecogniser::ParseLine(std::string_view line) {
  if (impl_->shortcut && CannotStartStatement(line)) return 1;
  return impl_->parse(line);
}

void TDumpRecogniser::Recognise(std::string_view line, Outcome& out) {
  out.action = Outcome::kNone;
  out.result = 1;
  out.error = nullptr;
  // The reader hands over only lines that may start a statement: most begin with its keyword,
  // which the quick recogniser reads at once.
  if (impl_->shortcut && (QuickHeads::Recognise(line, out) || CannotStartStatement(line))) return;
  impl_->record = &out;
  try {
    out.result = impl_->parse(line);
  } catch (...) {
    out.error = std::current_exception();
  }
  impl_->record = nullptr;
}

int TDumpRecogniser::Apply(const Outcome& outcome) {
  Effect effect;
  effect.action = outcome.action;
  effect.kind = outcome.kind;
  effect.place = outcome.place;
  effect.setsUserMode = outcome.setsUserMode;
  effect.result = outcome.result;
  effect.name = outcome.name.view();
  effect.error = &outcome.error;
  return Apply(effect);
}

int TDumpRecogniser::Apply(const Effect& effect) {
  switch (effect.action) {
    case Outcome::kNone:
      break;
    case Outcome::kClose:
      impl_->root().CloseCurrentNode();
      break;
    case Outcome::kHead:
      impl_->addHead(effect.name, effect.kind, effect.setsUserMode, Place(effect.place));
      break;
    case Outcome::kCreateUser:
      impl_->addUser(effect.name);
      break;
    case Outcome::kConnect:
      // The sequential parse stops before reading on, so what reading on threw never happens.
      if (!impl_->connectOwner(effect.name)) return 1;
      break;
  }
  if (effect.error != nullptr && *effect.error) std::rethrow_exception(*effect.error);
  return effect.result;
}

const TDumpLex& TDumpRecogniser::Lexer() const {
  return impl_->lex;
}
void TDumpRecogniser::SetShortcut(bool on) {
  impl_->shortcut = on;
}

}  // namespace dumpfile
