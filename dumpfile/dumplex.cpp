#include "dumpfile/dumplex.h"
#include "platform/textrules.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <system_error>

namespace dumpfile {

const DumpKeyword DumpKeywords[129] = {
    {"ALL", 281},          {"ALTER", 282},       {"AND", 283},          {"ANALYZE", 284},
    {"ANY", 285},          {"AS", 286},          {"ASC", 287},          {"AUTHORIZATION", 288},
    {"AVG", 289},          {"BEGIN", 290},       {"BETWEEN", 291},      {"BITMAP", 292},
    {"BODY", 293},         {"BY", 294},          {"CHAR", 295},         {"CHARACTER", 296},
    {"CHECK", 297},        {"CLOSE", 298},       {"CLUSTER", 299},      {"COMMENT", 300},
    {"COMMIT", 301},       {"CONNECT", 302},     {"CONTINUE", 303},     {"COUNT", 304},
    {"CREATE", 305},       {"CURRENT", 306},     {"CURSOR", 307},       {"DATABASE", 308},
    {"DATABASELINK", 309}, {"DEC", 310},         {"DECIMAL", 310},      {"DECLARE", 311},
    {"DEFAULT", 312},      {"DELETE", 313},      {"DESC", 314},         {"DIRECTORY", 315},
    {"DISTINCT", 316},     {"DOUBLE", 317},      {"END", 318},          {"ENDTABLE", 319},
    {"ESCAPE", 320},       {"EXEC", 321},        {"EXECFULL", 322},     {"EXECUTE", 323},
    {"EXISTS", 324},       {"EXIT", 325},        {"FETCH", 326},        {"FLOAT", 327},
    {"FOR", 328},          {"FOREIGN", 329},     {"FORMAT71", 330},     {"FORMAT71TRIG", 331},
    {"FOUND", 332},        {"FROM", 333},        {"FUNCTION", 334},     {"GO", 335},
    {"GOTO", 336},         {"GRANT", 337},       {"GROUP", 338},        {"HAVING", 339},
    {"IN", 340},           {"INDEX", 341},       {"INDICATOR", 342},    {"INSERT", 343},
    {"INT", 344},          {"INTEGER", 345},     {"INTO", 346},         {"IS", 347},
    {"KEY", 348},          {"LANGUAGE", 349},    {"LIKE", 350},         {"LINK", 351},
    {"MAX", 352},          {"MIN", 353},         {"MODULE", 354},       {"NOT", 355},
    {"NULL", 356},         {"NUMERIC", 357},     {"OF", 358},           {"ON", 359},
    {"OPEN", 360},         {"OPTION", 361},      {"OR", 362},           {"ORDER", 363},
    {"PACKAGE", 364},      {"PACKAGEBODY", 365}, {"RW_PROCEDURE", 366}, {"PROFILE", 367},
    {"PRECISION", 368},    {"PRIMARY", 369},     {"PRIVILEGES", 370},   {"PROCEDURE", 366},
    {"PUBLIC", 371},       {"REAL", 372},        {"REFERENCES", 373},   {"REPLACE", 374},
    {"REVOKE", 375},       {"ROLE", 376},        {"ROLLBACK", 377},     {"SCHEMA", 378},
    {"SECTION", 379},      {"SEGMENT", 380},     {"SELECT", 381},       {"SEQUENCE", 382},
    {"SET", 383},          {"SHARED", 384},      {"SMALLINT", 385},     {"SNAPSHOT", 386},
    {"SOME", 387},         {"SQL", 388},         {"SQLCODE", 389},      {"SQLERROR", 390},
    {"SQLVERSION", 391},   {"SUM", 392},         {"SYNONYM", 393},      {"TABLE", 394},
    {"TABLESPACE", 395},   {"TRIGGER", 396},     {"TO", 397},           {"UNION", 398},
    {"UNIQUE", 399},       {"UPDATE", 400},      {"USER", 401},         {"VALUES", 402},
    {"VIEW", 403},         {"WHENEVER", 404},    {"WHERE", 405},        {"WITH", 406},
    {"WORK", 407},
};

namespace {

constexpr size_t kLongestKeyword = 13;

static_assert(std::endian::native == std::endian::little, "words are packed as little-endian numbers");

// A word of at most 16 bytes as two numbers, its bytes in order from the lowest, zero after its
// end. Reads only the word's own bytes.
struct PackedWord {
  uint64_t lo = 0, hi = 0;
};

[[gnu::always_inline]] inline PackedWord pack(const char* s, size_t n) {
  auto load8 = [](const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  };
  auto load4 = [](const char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return uint64_t(v);
  };
  PackedWord w;
  if (n >= 8) {
    w.lo = load8(s);
    if (n > 8) w.hi = load8(s + n - 8) >> (8 * (16 - n));
  } else if (n >= 4) {
    w.lo = load4(s) | load4(s + n - 4) << (8 * (n - 4));
  } else if (n != 0) {
    w.lo = uint64_t(uint8_t(s[0])) | uint64_t(uint8_t(s[n / 2])) << (8 * (n / 2)) |
           uint64_t(uint8_t(s[n - 1])) << (8 * (n - 1));
  }
  return w;
}

// Clears bit 5 of every byte that has bit 6 set: ASCII letters to upper case, and the other name
// characters (digits, '_', '#', '$') as they are. A few other bytes change too: 0x60 and 0x7B to
// 0x7F become '@', '[', '\\', ']', '^' and '_', of which only '_' stands in a keyword, so a match
// with a keyword that holds a '_' is confirmed byte by byte.
uint64_t upperSwar(uint64_t x) {
  return x & ~((x & 0x4040404040404040u) >> 1);
}

size_t slotOf(const PackedWord& w, size_t n) {
  const uint64_t h = (w.lo * 0x9E3779B97F4A7C15u) ^ (w.hi * 0xC2B2AE3D27D4EB4Fu) ^ n;
  return size_t(h >> 56);
}

// Open-addressing table of the keyword rows, keyed by the packed upper-case text; inserting in
// table order and never replacing keeps the first matching row, as a search from the first row
// would.
class KeywordIndex {
 public:
  KeywordIndex() {
    for (int row = 0; row < int(std::size(DumpKeywords)); ++row) {
      const std::string_view text = DumpKeywords[row].text;
      const PackedWord w = pack(text.data(), text.size());
      size_t slot = slotOf(w, text.size());
      bool present = false;
      while (slots_[slot].code != 0) {
        if (DumpKeywords[slots_[slot].row].text == text) present = true;
        slot = (slot + 1) & kMask;
      }
      if (!present)
        slots_[slot] = {w.lo,
                        w.hi,
                        int16_t(DumpKeywords[row].code),
                        uint8_t(text.size()),
                        uint8_t(row),
                        text.find('_') != std::string_view::npos};
    }
  }

  // Every identifier of a statement line comes here.
  int find(std::string_view word) const {
    const size_t n = word.size();
    if (n == 0 || n > kLongestKeyword) return 0;
    PackedWord w = pack(word.data(), n);
    w.lo = upperSwar(w.lo);
    w.hi = upperSwar(w.hi);
    for (size_t slot = slotOf(w, n); slots_[slot].code != 0; slot = (slot + 1) & kMask) {
      const Slot& s = slots_[slot];
      if (s.lo != w.lo || s.hi != w.hi || s.length != n) continue;
      if (!s.confirm) return s.code;
      const std::string_view text = DumpKeywords[s.row].text;
      for (size_t i = 0; i < n; ++i)
        if (platform::asciiUpper(word[i]) != text[i]) return 0;
      return s.code;
    }
    return 0;
  }

 private:
  struct Slot {
    uint64_t lo = 0, hi = 0;
    int16_t code = 0;  // 0: free
    uint8_t length = 0, row = 0;
    bool confirm = false;  // the keyword holds a character that other bytes upper-case to
  };
  static constexpr size_t kSlots = 256;
  static constexpr size_t kMask = kSlots - 1;
  std::array<Slot, kSlots> slots_{};
};

const KeywordIndex& keywordIndex() {
  static const KeywordIndex index;
  return index;
}

bool isLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isNameChar(char c) {
  return isLetter(c) || isDigit(c) || c == '_' || c == '#' || c == '$';
}

// DFA states. The start state is 0 or 1 (line start); this scanner treats both alike. States
// reached by a first character also accept kRuleAnyByte.
enum State : int {
  kStart = 0,
  kStartLine = 1,
  kId1,
  kId,
  kInt1,
  kInt,
  kIntFrac,
  kDot1,
  kDotDigits,
  kExpMark,
  kExpSign,
  kExpDigits,
  kPlus1,
  kMinus1,
  kSignedDigits,
  kSignedDot,
  kSignedFrac,
  kComment,
  kCommentEnd,
  kSquote1,
  kSquote,
  kDquote1,
  kDquote,
  kBlank1,
  kLineFeed1,
  kBlanks,
  kLess1,
  kNotEqual,
  kLessEqual,
  kGreater1,
  kGreaterEqual,
  kRparen1,
  kRparenSemi,
  kComma1,
  kLparen1,
  kLbracket1,
  kRbracket1,
  kColon1,
  kEqual1,
  kStar1,
  kSlash1,
  kAny1,
};

int put(int* rules, int a) {
  rules[0] = a;
  return 1;
}
int put(int* rules, int a, int b) {
  rules[0] = a;
  rules[1] = b;
  return 2;
}

// Strips a leading '+', which from_chars does not take.
std::string_view unsignedText(std::string_view s) {
  return !s.empty() && s[0] == '+' ? s.substr(1) : s;
}

}  // namespace

int DumpKeywordCode(std::string_view word) {
  return keywordIndex().find(word);
}

int TDumpLex::accepts(int state, int* rules) const {
  switch (state) {
    case kId1:
      return put(rules, kRuleIdentifier, kRuleAnyByte);
    case kId:
      return put(rules, kRuleIdentifier);
    case kInt1:
      return put(rules, kRuleInt, kRuleAnyByte);
    case kInt:
      return put(rules, kRuleInt);
    case kIntFrac:
    case kDotDigits:
    case kExpDigits:
    case kSignedFrac:
      return put(rules, kRuleApproxNum);
    case kDot1:
      return put(rules, kRuleDot, kRuleAnyByte);
    case kPlus1:
      return put(rules, kRulePlus, kRuleAnyByte);
    case kMinus1:
      return put(rules, kRuleMinus, kRuleAnyByte);
    case kSignedDigits:
      return put(rules, kRuleSignedInt);
    case kCommentEnd:
      return put(rules, kRuleComment);
    case kSquote1:
      return put(rules, kRuleSingleQuoted, kRuleAnyByte);
    case kSquote:
      return put(rules, kRuleSingleQuoted);
    case kDquote1:
      return put(rules, kRuleDoubleQuoted, kRuleAnyByte);
    case kDquote:
      return put(rules, kRuleDoubleQuoted);
    case kBlank1:
      return put(rules, kRuleBlanks, kRuleAnyByte);
    case kLineFeed1:
    case kBlanks:
      return put(rules, kRuleBlanks);
    case kLess1:
      return put(rules, kRuleLess, kRuleAnyByte);
    case kNotEqual:
      return put(rules, kRuleNotEqual);
    case kLessEqual:
      return put(rules, kRuleLessEqual);
    case kGreater1:
      return put(rules, kRuleGreater, kRuleAnyByte);
    case kGreaterEqual:
      return put(rules, kRuleGreaterEqual);
    case kRparen1:
      return put(rules, kRuleRparen, kRuleAnyByte);
    case kRparenSemi:
      return put(rules, kRuleRparenSemi);
    case kComma1:
      return put(rules, kRuleComma, kRuleAnyByte);
    case kLparen1:
      return put(rules, kRuleLparen, kRuleAnyByte);
    case kLbracket1:
      return put(rules, kRuleLbracket, kRuleAnyByte);
    case kRbracket1:
      return put(rules, kRuleRbracket, kRuleAnyByte);
    case kColon1:
      return put(rules, kRuleColon, kRuleAnyByte);
    case kEqual1:
      return put(rules, kRuleEqual, kRuleAnyByte);
    case kStar1:
      return put(rules, kRuleStar, kRuleAnyByte);
    case kSlash1:
      return put(rules, kRuleSlash, kRuleAnyByte);
    case kAny1:
      return put(rules, kRuleAnyByte);
    default:
      return 0;
  }
}

bool TDumpLex::hasTransitions(int state) const {
  switch (state) {
    case kCommentEnd:
    case kNotEqual:
    case kLessEqual:
    case kGreaterEqual:
    case kRparenSemi:
    case kComma1:
    case kLparen1:
    case kLbracket1:
    case kRbracket1:
    case kColon1:
    case kEqual1:
    case kStar1:
    case kSlash1:
    case kAny1:
      return false;
    default:
      return true;
  }
}

int TDumpLex::next(int state, char c) const {
  switch (state) {
    case kStart:
    case kStartLine:
      if (isLetter(c)) return kId1;
      if (isDigit(c)) return kInt1;
      switch (c) {
        case '\0':
          return -1;
        case '\n':
          return kLineFeed1;
        case ' ':
        case '\t':
          return kBlank1;
        case '.':
          return kDot1;
        case '+':
          return kPlus1;
        case '-':
          return kMinus1;
        case '\'':
          return kSquote1;
        case '"':
          return kDquote1;
        case '<':
          return kLess1;
        case '>':
          return kGreater1;
        case ')':
          return kRparen1;
        case ',':
          return kComma1;
        case '(':
          return kLparen1;
        case '[':
          return kLbracket1;
        case ']':
          return kRbracket1;
        case ':':
          return kColon1;
        case '=':
          return kEqual1;
        case '*':
          return kStar1;
        case '/':
          return kSlash1;
        default:
          return kAny1;
      }
    case kId1:
    case kId:
      return isNameChar(c) ? kId : -1;
    case kInt1:
    case kInt:
      return isDigit(c) ? kInt : c == '.' ? kIntFrac : -1;
    case kIntFrac:
      return isDigit(c) ? kIntFrac : -1;
    case kDot1:
      return isDigit(c) ? kDotDigits : -1;
    case kDotDigits:
      return isDigit(c) ? kDotDigits : (c == 'E' || c == 'e') ? kExpMark : -1;
    case kExpMark:
      return c == '+' || c == '-' ? kExpSign : -1;
    case kExpSign:
    case kExpDigits:
      return isDigit(c) ? kExpDigits : -1;
    case kPlus1:
      return isDigit(c) ? kSignedDigits : -1;
    case kMinus1:
      return isDigit(c) ? kSignedDigits : c == '-' ? kComment : -1;
    case kSignedDigits:
      return isDigit(c) ? kSignedDigits : c == '.' ? kSignedDot : -1;
    case kSignedDot:
    case kSignedFrac:
      return isDigit(c) ? kSignedFrac : -1;
    case kComment:
      return c == '\n' ? kCommentEnd : c == '\0' ? -1 : kComment;
    case kSquote1:
    case kSquote:
      return c == '\'' || c == '\0' ? -1 : kSquote;
    case kDquote1:
    case kDquote:
      return c == '"' || c == '\0' ? -1 : kDquote;
    case kBlank1:
    case kLineFeed1:
    case kBlanks:
      return c == ' ' || c == '\t' || c == '\n' ? kBlanks : -1;
    case kLess1:
      return c == '>' ? kNotEqual : c == '=' ? kLessEqual : -1;
    case kGreater1:
      return c == '=' ? kGreaterEqual : -1;
    case kRparen1:
      return c == ';' ? kRparenSemi : -1;
    default:
      return -1;
  }
}

void TDumpLex::action(int rule) {
  using namespace dumptoken;
  const std::string_view text = yytext.view();
  switch (rule) {
    case kRuleIdentifier: {
      yylval = text;
      const int code = DumpKeywordCode(text);
      yyreturn(code != 0 ? code : NAME);
      return;
    }
    case kRuleApproxNum: {
      const std::string_view digits = unsignedText(text);
      double value = 0;
      const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
      yylval = text;
      if (ec == std::errc() && end == digits.data() + digits.size()) {
        yynumber = value;
        yyreturn(APPROXNUM);
      } else {
        yyreturn(NAME);
      }
      return;
    }
    case kRuleSignedInt:
    case kRuleInt: {
      const std::string_view digits = unsignedText(text);
      int32_t value = 0;
      const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
      yylval = text;
      if (ec == std::errc() && end == digits.data() + digits.size()) {
        yyinteger = value;
        yyreturn(rule == kRuleSignedInt ? SIGNED_INTNUM : INTNUM);
      } else {
        yyreturn(NAME);
      }
      return;
    }
    case kRuleSingleQuoted:
    case kRuleDoubleQuoted: {
      if (text.back() == '\\') {
        yymore();  // an escaped quote: the string goes on after it
        return;
      }
      const char quote = rule == kRuleSingleQuoted ? '\'' : '"';
      if (get_char() != quote) {
        yyreturn(0);
        return;
      }
      const std::string_view body = text.substr(1);
      if (body.find(rule == kRuleSingleQuoted ? '\\' : '"') == std::string_view::npos) {
        yylval = body;  // nothing to leave out
        yyreturn(STRING);
        return;
      }
      lexyacc::ShortString value;
      for (size_t i = 0; i < body.size(); ++i) {
        if (rule == kRuleSingleQuoted && body[i] == '\\' && i + 1 < body.size() && body[i + 1] == '\'')
          continue;
        if (rule == kRuleDoubleQuoted && body[i] == '"') continue;
        value.push_back(body[i]);
      }
      yylval = value;
      yyreturn(STRING);
      return;
    }
    case kRuleComma:
      yyreturn(COMMA);
      return;
    case kRuleLparen:
      yyreturn(LPAREN);
      return;
    case kRuleRparen:
      yyreturn(RPAREN);
      return;
    case kRuleLbracket:
      yyreturn(LBRACKET);
      return;
    case kRuleRbracket:
      yyreturn(RBRACKET);
      return;
    case kRuleLess:
      yyreturn(LT);
      return;
    case kRuleGreater:
      yyreturn(GT);
      return;
    case kRuleDot:
      yyreturn(DOT);
      return;
    case kRuleColon:
      yyreturn(COLON);
      return;
    case kRuleRparenSemi:
      yyreturn(RPAREN_SEMI);
      return;
    case kRuleEqual:
      yyreturn(EQ);
      return;
    case kRuleStar:
      yyreturn(STAR);
      return;
    case kRulePlus:
      yyreturn(PLUS);
      return;
    case kRuleMinus:
      yyreturn(MINUS);
      return;
    case kRuleSlash:
      yyreturn(SLASH);
      return;
    case kRuleNotEqual:
      yyreturn(NE);
      return;
    case kRuleGreaterEqual:
      yyreturn(GE);
      return;
    case kRuleLessEqual:
      yyreturn(LE);
      return;
    case kRuleComment:
    case kRuleBlanks:
      return;  // comment, blanks: skipped
    default:
      yyreturn(0);
      return;
  }
}

// Names, quoted names and blanks make up nearly every token of a dump's statements. Their
// matches are taken here without the general driver: for each of them the longest match is that
// rule's alone, so the driver would read the same characters into yytext, put back the one that
// ended the match and run the same action. Everything else, and a match that follows kept text,
// goes through the driver.
int TDumpLex::yylex() {
  for (;;) {
    if (hasSavedText()) return yylexWith(*this);
    const char first = peek_char();
    int rule;
    if (isLetter(first))
      rule = kRuleIdentifier;
    else if (first == '"')
      rule = kRuleDoubleQuoted;
    else if (first == ' ' || first == '\t' || first == '\n')
      rule = kRuleBlanks;
    else
      return yylexWith(*this);
    yynew();
    yyreject = false;
    yyscan();
    switch (rule) {
      case kRuleIdentifier:
        yyscanWhile(isNameChar);
        break;
      case kRuleDoubleQuoted:
        yyscanWhile([](char c) { return c != '"' && c != '\0'; });
        break;
      default:
        yyscanWhile([](char c) { return c == ' ' || c == '\t' || c == '\n'; });
        break;
    }
    yyless(yyleng() - 1);
    yylastchar = yytext.back();
    action(rule);
    if (yydone) return yyretval;
  }
}

}  // namespace dumpfile
