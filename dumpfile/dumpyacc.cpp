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
  if (impl_->shortcut && CannotStartStatement(line)) return;
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
