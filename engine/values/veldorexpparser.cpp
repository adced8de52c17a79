#include "engine/values/veldorexpparser.h"

#include <array>
#include <chrono>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "engine/base/veldorhelpers.h"
#include "engine/values/veldorexpservices.h"
#include "engine/values/veldorvaluetext.h"
#include "platform/scopeguard.h"
#include "platform/textrules.h"

namespace engine {

using platform::ScopeExit;

namespace {

TExpTreePtr newNode(uint8_t kind, uint8_t code, std::string name,
                    TEngineFieldType type = TEngineFieldType::Unknown) {
  TExpTreePtr node(GetExpToken());
  node->kind = kind;
  node->code = code;
  node->name = std::move(name);
  node->type = type;
  return node;
}

TExpTreePtr newConstant(std::string name, TEngineFieldType type) {
  auto node = newNode(expConstant, opNone, std::move(name), type);
  node->SetValueSize(uint32_t(FixedValueSize(type)));
  return node;
}

// Hangs `child` on `parent` as its argument i.
void setArg(TExpToken& parent, size_t i, TExpTreePtr child) {
  child->parent = &parent;
  parent.SetArgument(i, child.release());
}
void addArg(TExpToken& parent, TExpTreePtr child) {
  setArg(parent, parent.args.size(), std::move(child));
}

TExpTreePtr makeOperator(uint8_t kind, uint8_t code, std::string name, TExpTreePtr left, TExpTreePtr right) {
  bool boolean = (code >= opEqual && code <= opOr) || kind == expPredicate;
  auto node = newNode(kind, code, std::move(name), boolean ? TEngineFieldType::Boolean : left->type);
  left->parent = node.get();
  node->left = left.release();
  if (right) {
    right->parent = node.get();
    node->right = right.release();
  }
  return node;
}

struct Keyword {
  std::string_view word;
  uint8_t code;
};
constexpr Keyword kAggregates[] = {{"SUM", fnSum}, {"RUNSUM", fnRunSum}, {"AVG", fnAvg},
                                   {"MIN", fnMin}, {"MAX", fnMax},       {"COUNT", fnCount}};
constexpr Keyword kFunctions[] = {{"LOWER", fnLower},
                                  {"UPPER", fnUpper},
                                  {"LENGTH", fnLength},
                                  {"SUBSTRING", fnSubstring},
                                  {"REPLACE", fnReplace},
                                  {"POS", fnPos},
                                  {"OCCURS", fnOccurs},
                                  {"CAST", fnCast},
                                  {"TRIM", fnTrimBoth},
                                  {"EXTRACT", fnExtractYear},
                                  {"ABS", fnAbs},
                                  {"ROUND", fnRound},
                                  {"IF", fnIf},
                                  {"TEXTSEARCH", fnTextSearch},
                                  {"TEXTOCCURS", fnTextOccurs}};
constexpr std::string_view kSymbolConstants[] = {"TRUE",         "FALSE",        "NULL",
                                                 "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP"};

// False when no aggregate, function or constant word has the symbol's length and first letter
// (ASCII case ignored), so that parseSymbol can find none: most column names are let through
// without comparing them with each word.
bool mayNameWord(std::string_view symbol) {
  static const auto kLetters = [] {
    std::array<uint32_t, 18> letters{};
    auto note = [&](std::string_view word) { letters[word.size()] |= 1u << (word[0] - 'A'); };
    for (const auto& w : kAggregates) note(w.word);
    for (const auto& w : kFunctions) note(w.word);
    for (std::string_view w : kSymbolConstants) note(w);
    return letters;
  }();
  if (symbol.empty() || symbol.size() >= kLetters.size()) return false;
  const char first = platform::asciiUpper(symbol[0]);
  return first >= 'A' && first <= 'Z' && (kLetters[symbol.size()] & (1u << (first - 'A'))) != 0;
}

constexpr Keyword kExtractParts[] = {{"YEAR", fnExtractYear},           {"MONTH", fnExtractMonth},
                                     {"WEEK", fnExtractWeek},           {"DAY", fnExtractDay},
                                     {"DAYOFWEEK", fnExtractDayOfWeek}, {"HOUR", fnExtractHour},
                                     {"MINUTE", fnExtractMinute},       {"SECOND", fnExtractSecond}};

// IsIdentChar of each byte, looked up where the scanner walks a name.
constexpr auto kIdentChars = [] {
  std::array<bool, 256> chars{};
  for (int c = 0; c < 256; ++c) chars[size_t(c)] = IsIdentChar(uint8_t(c));
  return chars;
}();

}  // namespace

TExpressionParser::TExpressionParser(TQueryStatement* statement) : statement_(statement) {}

void TExpressionParser::SetText(std::string_view text) {
  text_.assign(text.substr(0, std::min(text.size(), text.find('\0'))));
  pos_ = tokenStart_ = tokenEnd_ = lastEnd_ = mark_ = 0;
  kind_ = tkEnd;
  nesting_ = 0;
}

void TExpressionParser::Clear() {
  SetText({});
}

void TExpressionParser::SyntaxError(std::string_view message) const {
  std::string text(message);
  text += " in ";
  text += contextWord;
  SignalEngineError(errorCode, "", "", contextName1, contextName2, "", "", EngineString(text));
}

void TExpressionParser::foundError(std::string_view message) const {
  std::string text(message);
  text += GetTokenText();
  text += "'";
  SyntaxError(text);
}

// ---- Scanner ----

int TExpressionParser::NextToken() {
  lastEnd_ = tokenEnd_;
  // SetText leaves no NUL inside the text: the string's terminating NUL ends every scan, and
  // the scan runs on locals (the bytes read could otherwise be the members written).
  const char* const text = text_.c_str();
  const size_t size = text_.size();
  auto at = [text](size_t i) -> uint8_t { return uint8_t(text[i]); };
  size_t pos = pos_;
  for (;;) {
    while (at(pos) >= 1 && at(pos) <= 32) ++pos;
    if (at(pos) != '/' || at(pos + 1) != '*') break;
    size_t close = text_.find("*/", pos + 2);
    if (close == std::string::npos) {
      pos_ = pos;
      SyntaxError("Missing ending comment slash and asterisk");
    }
    pos = close + 2;
  }
  tokenStart_ = pos;
  uint8_t c = at(pos);
  int kind;
  if (c == 0) {
    kind = tkEnd;
  } else if (IsIdentStartChar(c)) {
    while (kIdentChars[at(pos)]) ++pos;
    kind = tkSymbol;
  } else if (c == '[') {
    size_t close = text_.find(']', pos + 1);
    kind_ = tkBracketName;
    if (close == std::string::npos) {
      pos_ = tokenEnd_ = size;
      foundError("Missing right bracket after '");
    }
    pos = close + 1;
    kind = tkBracketName;
  } else if (c == '\'' || c == '"') {
    kind = tkString;
    ++pos;
    // From quote to quote at a time.
    for (;;) {
      const size_t quote = text_.find(char(c), pos);
      if (quote == std::string::npos) {
        kind_ = tkString;
        pos_ = tokenEnd_ = size;
        foundError(c == '\'' ? "Missing single quote after '" : "Missing double quote after '");
      }
      pos = quote;
      if (at(pos + 1) != c) break;
      pos += 2;
    }
    ++pos;
  } else if (c == '#' && IsDigitChar(at(pos + 1))) {
    ++pos;
    while (IsDigitChar(at(pos))) ++pos;
    kind = tkCharConstant;
  } else if (IsDigitChar(c) || (c == '.' && IsDigitChar(at(pos + 1)))) {
    bool digitsOnly = true;
    for (;;) {
      uint8_t d = at(pos);
      if (IsDigitChar(d)) {
      } else if (d == '.' || d == 'E' || d == 'e') {
        digitsOnly = false;
      } else if ((d == '+' || d == '-') && (at(pos - 1) == 'E' || at(pos - 1) == 'e')) {
      } else {
        break;
      }
      ++pos;
    }
    kind = digitsOnly ? tkInteger : tkDecimal;
  } else {
    ++pos;
    kind = c;
  }
  pos_ = tokenEnd_ = pos;
  kind_ = kind;
  return kind_;
}

std::string TExpressionParser::GetTokenText() const {
  std::string_view raw(text_.data() + tokenStart_, tokenEnd_ - tokenStart_);
  if (kind_ == tkBracketName) {
    raw.remove_prefix(1);
    if (!raw.empty() && raw.back() == ']') raw.remove_suffix(1);
    return std::string(raw);
  }
  if (kind_ != tkString || raw.empty()) return std::string(raw);
  char quote = raw.front();
  raw.remove_prefix(1);
  if (!raw.empty() && raw.back() == quote) raw.remove_suffix(1);
  // Copied a run between quotes at a time: a long literal (a log's text) is copied, not walked.
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size();) {
    const size_t next = raw.find(quote, i);
    if (next == std::string_view::npos) {
      text.append(raw.substr(i));
      break;
    }
    text.append(raw.substr(i, next + 1 - i));
    i = next + 1;
    if (i < raw.size() && raw[i] == quote) ++i;
  }
  return text;
}

bool TExpressionParser::IsKeyword(std::string_view word) const {
  return kind_ == tkSymbol && platform::equalIgnoringAsciiCase(
                                  std::string_view(text_).substr(tokenStart_, tokenEnd_ - tokenStart_), word);
}

void TExpressionParser::MarkStart() {
  mark_ = tokenStart_;
}

std::string TExpressionParser::GetMarkedText() const {
  if (lastEnd_ <= mark_) return {};
  return StripLineBreaks(std::string_view(text_).substr(mark_, lastEnd_ - mark_));
}

void TExpressionParser::expect(int kind, std::string_view message) {
  if (kind_ != kind) foundError(message);
  NextToken();
}

void TExpressionParser::expectKeyword(std::string_view word, std::string_view message) {
  if (!IsKeyword(word)) foundError(message);
  NextToken();
}

// ---- Grammar ----

bool TExpressionParser::operandStandsAlone() const {
  // Tokens a prefix operator or a call may follow are left to the descent.
  if (kind_ == tkSymbol) {
    if (IsKeyword("NOT")) return false;
  } else if (kind_ != tkBracketName && kind_ != tkString && kind_ != tkInteger && kind_ != tkDecimal &&
             kind_ != tkCharConstant && kind_ != '?') {
    return false;
  }
  auto at = [&](size_t i) -> uint8_t { return i < text_.size() ? uint8_t(text_[i]) : 0; };
  size_t p = tokenEnd_;
  while (at(p) >= 1 && at(p) <= 32) ++p;
  const uint8_t c = at(p);
  if (c == 0 || c == ',' || c == ')' || c == ';') return true;
  if (!IsIdentStartChar(c)) return false;
  size_t end = p;
  while (IsIdentChar(at(end))) ++end;
  const std::string_view word = std::string_view(text_).substr(p, end - p);
  // The words by which a level of the descent goes on past its operand.
  for (std::string_view op : {"AND", "OR", "NOT", "BETWEEN", "LIKE", "IN", "IS"})
    if (platform::equalIgnoringAsciiCase(word, op)) return false;
  return true;
}

TExpToken* TExpressionParser::ParseExpression(uint8_t flags) {
  // An operand of one token that no operator follows (a value or a column of a list) is the
  // whole expression: every level of the descent would hand it up unchanged, so it is parsed
  // where the descent would end, to the same node and the same errors.
  if (operandStandsAlone()) return parsePrimary(flags).release();
  bool outermost = nesting_ == 0;
  TExpTreePtr tree = parseExpression(flags);
  if (outermost && ExpTreeDepth(tree.get()) > kMaxExpTreeDepth)
    SyntaxError("Expression is nested too deeply");
  return tree.release();
}

TExpToken* TExpressionParser::ParsePrimary(uint8_t flags) {
  return parsePrimary(flags).release();
}
TExpToken* TExpressionParser::ParseSigned(uint8_t flags) {
  return parseSigned(flags).release();
}
TExpToken* TExpressionParser::ParseAdditive(uint8_t flags) {
  return parseAdditive(flags).release();
}

TExpTreePtr TExpressionParser::parseExpression(uint8_t flags) {
  TExpTreePtr node = parseAnd(flags);
  while (IsKeyword("OR")) {
    std::string name = GetTokenText();
    NextToken();
    TExpTreePtr right = parseAnd(flags);
    node = makeOperator(expBinary, opOr, std::move(name), std::move(node), std::move(right));
  }
  return node;
}

TExpTreePtr TExpressionParser::parseAnd(uint8_t flags) {
  TExpTreePtr node = parseNot(flags);
  while (IsKeyword("AND")) {
    std::string name = GetTokenText();
    NextToken();
    TExpTreePtr right = parseNot(flags);
    node = makeOperator(expBinary, opAnd, std::move(name), std::move(node), std::move(right));
  }
  return node;
}

TExpTreePtr TExpressionParser::parseNot(uint8_t flags) {
  if (!IsKeyword("NOT")) return parseComparison(flags);
  std::string name = GetTokenText();
  NextToken();
  return makeOperator(expUnary, opNot, std::move(name), parseComparison(flags), nullptr);
}

TExpTreePtr TExpressionParser::parseComparison(uint8_t flags) {
  TExpTreePtr left = parseAdditive(flags);
  uint8_t code = opNone;
  std::string name;
  if (kind_ == '=') {
    code = opEqual, name = "=";
  } else if (kind_ == '<') {
    NextToken();
    if (kind_ == '>')
      code = opNotEqual, name = "<>";
    else if (kind_ == '=')
      code = opLessEqual, name = "<=";
    else
      return makeOperator(expBinary, opLess, "<", std::move(left), parseAdditive(flags));
  } else if (kind_ == '>') {
    NextToken();
    if (kind_ != '=') return makeOperator(expBinary, opGreater, ">", std::move(left), parseAdditive(flags));
    code = opGreaterEqual, name = ">=";
  } else if (IsKeyword("NOT") || IsKeyword("BETWEEN") || IsKeyword("LIKE") || IsKeyword("IN") ||
             IsKeyword("IS")) {
    if (!(flags & pfPredicates))
      SyntaxError("Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed");
    return parsePredicate(flags, std::move(left));
  } else {
    return left;
  }
  NextToken();
  return makeOperator(expBinary, code, std::move(name), std::move(left), parseAdditive(flags));
}

TExpTreePtr TExpressionParser::parsePredicate(uint8_t flags, TExpTreePtr tested) {
  if (IsKeyword("IS")) {
    NextToken();
    bool negated = false;
    if (IsKeyword("NOT")) {
      negated = true;
      NextToken();
    }
    if (!IsKeyword("NULL")) SyntaxError("Unknown or unexpected symbol '" + GetTokenText() + "'" + " found");
    TExpTreePtr null = newConstant(GetTokenText(), TEngineFieldType::Unknown);
    null->isNull = true;
    NextToken();
    return makeOperator(expBinary, negated ? opNotEqual : opEqual, negated ? "IS NOT NULL" : "IS NULL",
                        std::move(tested), std::move(null));
  }
  bool negated = IsKeyword("NOT");
  if (negated) {
    NextToken();
    if (!IsKeyword("BETWEEN") && !IsKeyword("LIKE") && !IsKeyword("IN")) {
      std::string text = "Unknown or unexpected symbol '" + GetTokenText() + "'";
      SyntaxError(text);
    }
  }
  std::string prefix = negated ? "NOT " : "";
  auto node = newNode(expPredicate, opNone, "", TEngineFieldType::Boolean);
  addArg(*node, std::move(tested));
  if (IsKeyword("BETWEEN")) {
    node->code = negated ? prNotBetween : prBetween;
    node->name = prefix + "BETWEEN";
    NextToken();
    addArg(*node, parseAdditive(flags));
    expectKeyword("AND", negated ? "Expected AND operator in NOT BETWEEN operator, instead found '"
                                 : "Expected AND operator in BETWEEN operator, instead found '");
    addArg(*node, parseAdditive(flags));
  } else if (IsKeyword("LIKE")) {
    node->code = negated ? prNotLike : prLike;
    node->name = prefix + "LIKE";
    NextToken();
    addArg(*node, parseAdditive(flags));
  } else {
    node->name = prefix + "IN";
    NextToken();
    expect('(', negated ? "Expected left parentheses for NOT IN operator, instead found '"
                        : "Expected left parentheses for IN operator, instead found '");
    if (IsKeyword("SELECT")) {
      if (!(flags & pfSubSelects) || !statement_) SyntaxError("Sub-select queries are not allowed");
      node->code = negated ? prNotInSelect : prInSelect;
      auto sub = newNode(expSubSelect, opNone, GetTokenText());
      TDataQuery* query = statement_->AddQuery(statement_->CreateQuery());
      sub->subSelect = query;
      addArg(*node, std::move(sub));
      query->MarkSubSelect();
      query->Parse(*this);
    } else {
      node->code = negated ? prNotIn : prIn;
      addArg(*node, parseAdditive(flags));
      while (kind_ == ',') {
        NextToken();
        addArg(*node, parseAdditive(flags));
      }
    }
    expect(')', negated ? "Expected right parentheses after NOT IN operator, instead found '"
                        : "Expected right parentheses after IN operator, instead found '");
  }
  return node;
}

TExpTreePtr TExpressionParser::parseAdditive(uint8_t flags) {
  TExpTreePtr node = parseMultiplicative(flags);
  for (;;) {
    uint8_t code = opNone;
    std::string name;
    if (kind_ == '+') {
      code = opAdd, name = "+";
    } else if (kind_ == '-') {
      code = opSubtract, name = "-";
    } else if (kind_ == '|') {
      NextToken();
      if (kind_ != '|')
        foundError(
            "Second concatenation symbol '|' expected after first concatentation symbol, instead found '");
      code = opAdd, name = "||";
    } else {
      return node;
    }
    NextToken();
    TExpTreePtr right = parseMultiplicative(flags);
    node = makeOperator(expBinary, code, std::move(name), std::move(node), std::move(right));
  }
}

TExpTreePtr TExpressionParser::parseMultiplicative(uint8_t flags) {
  TExpTreePtr node = parseSigned(flags);
  while (kind_ == '*' || kind_ == '/') {
    uint8_t code = kind_ == '*' ? opMultiply : opDivide;
    std::string name(1, char(kind_));
    NextToken();
    TExpTreePtr right = parseSigned(flags);
    node = makeOperator(expBinary, code, std::move(name), std::move(node), std::move(right));
  }
  return node;
}

TExpTreePtr TExpressionParser::parseSigned(uint8_t flags) {
  if (kind_ != '+' && kind_ != '-') return parsePrimary(flags);
  uint8_t code = kind_ == '+' ? opPlusSign : opNegate;
  std::string name(1, char(kind_));
  NextToken();
  return makeOperator(expUnary, code, std::move(name), parsePrimary(flags), nullptr);
}

TExpTreePtr TExpressionParser::parseNumber() {
  std::string text = GetTokenText();
  auto invalid = [&] { SyntaxError("Constant '" + text + "'" + " is not a valid number "); };
  TExpTreePtr node;
  try {
    // An integer's digits are read once: the value chooses its type.
    const std::optional<int64_t> whole = kind_ == tkInteger ? ReadIntegerText(text) : std::nullopt;
    if (whole && *whole >= INT32_MIN && *whole <= INT32_MAX) {
      node = newConstant(text, TEngineFieldType::Integer);
      PutIntegerValue(node->Value(), int32_t(*whole));
    } else if (whole) {
      node = newConstant(text, TEngineFieldType::LargeInt);
      PutLargeIntValue(node->Value(), *whole);
    } else if (IsValidFloatText(text)) {
      double value = ParseFloatText(text);
      node = newConstant(text, TEngineFieldType::Float);
      PutFloatValue(node->Value(), value);
    }
  } catch (const EConvertError&) {
    node.reset();
  }
  if (!node) invalid();
  NextToken();
  return node;
}

TExpTreePtr TExpressionParser::parsePrimary(uint8_t flags) {
  if (nesting_ >= kMaxExpNesting) SyntaxError("Expression is nested too deeply");
  ++nesting_;
  ScopeExit unnest([&] { --nesting_; });

  switch (kind_) {
    case tkInteger:
    case tkDecimal:
      return parseNumber();
    case tkString: {
      std::string text = GetTokenText();
      TExpTreePtr node;
      if (text.empty()) {
        node = newConstant(text, TEngineFieldType::Unknown);
        node->isNull = true;
      } else {
        node = newConstant({}, TEngineFieldType::String);
        node->SetText(text);
        node->name = std::move(text);
      }
      NextToken();
      return node;
    }
    case tkCharConstant: {
      std::string text = GetTokenText();
      std::string_view digits = std::string_view(text).substr(1);
      size_t start = digits.find_first_not_of('0');
      digits = start == std::string_view::npos ? "0" : digits.substr(start);
      if (digits.size() > 3 || std::stoi(std::string(digits)) > 255)
        SyntaxError(std::string("Character constants (#) must be within the range of ") + "0" + " to " +
                    "255");
      auto node = newConstant(text, TEngineFieldType::String);
      node->Value()[0] = uint8_t(std::stoi(std::string(digits)));
      node->SetValueSize(2);
      NextToken();
      return node;
    }
    case '(': {
      NextToken();
      TExpTreePtr node = parseExpression(flags);
      expect(')', "Right parentheses expected, instead found '");
      return node;
    }
    case '*': {
      if (!(flags & pfAllColumns)) SyntaxError("* (all columns) symbol is not allowed");
      auto node = newNode(expColumn, opNone, "*");
      node->columnName = "*";
      NextToken();
      return node;
    }
    case '?': {
      if (!(flags & pfParameters)) SyntaxError("Parameters are not allowed");
      auto node = newConstant(GetTokenText(), TEngineFieldType::Unknown);
      node->isParameter = true;
      if (statement_) statement_->AddParameter(node.get());
      NextToken();
      return node;
    }
    case tkBracketName:
    case tkSymbol:
      break;
    default:
      SyntaxError("Unknown or unexpected symbol '" + GetTokenText() + "'" + " found");
  }

  bool bracketed = kind_ == tkBracketName;
  std::string name = GetTokenText();
  NextToken();
  if (kind_ == '.') {
    NextToken();
    if (kind_ == '*') {
      if (!(flags & pfAllColumns)) SyntaxError("* (all columns) symbol is not allowed");
    } else if (kind_ != tkSymbol && kind_ != tkString && kind_ != tkBracketName) {
      foundError(
          "Symbol or string expression expected after table correlation name separator '.', instead found '");
    }
    std::string column = GetTokenText();
    auto node = newNode(expColumn, opNone, name + "." + column);
    node->columnName = EngineString(column);
    std::string table = name;
    if (table.size() >= 4 &&
        platform::equalIgnoringAsciiCase(std::string_view(table).substr(table.size() - 4), ".DAT"))
      table.resize(table.size() - 4);
    node->tableName = EngineString(table);
    NextToken();
    return node;
  }
  if (!bracketed) {
    if (TExpTreePtr node = parseSymbol(flags, name)) return node;
    if (kind_ == '(') SyntaxError("Unknown or unexpected function '" + name + "'" + " found");
  }
  auto node = newNode(expColumn, opNone, {});
  node->columnName = EngineString(name);
  node->name = std::move(name);
  return node;
}

// The keywords and functions a symbol may name; nullptr when it names none. The token after the
// symbol is current.
TExpTreePtr TExpressionParser::parseSymbol(uint8_t flags, const std::string& name) {
  if (!mayNameWord(name)) return nullptr;
  for (const auto& aggregate : kAggregates) {
    if (!platform::equalIgnoringAsciiCase(name, aggregate.word)) continue;
    if (!(flags & pfAggregates)) SyntaxError("Aggregate functions are not allowed");
    if (kind_ != '(')
      SyntaxError("Left parentheses expected after aggregate function '" + name + "'" + ", instead found " +
                  "'" + GetTokenText() + "'");
    NextToken();
    auto node = newNode(expFunction, aggregate.code, name);
    addArg(*node, parseAdditive(flags));
    node->type = node->args[0]->type;
    if (kind_ != ')')
      SyntaxError("Right parentheses expected after aggregate " + name +
                  " function argument, instead found " + "'" + GetTokenText() + "'");
    NextToken();
    return node;
  }
  if (TExpTreePtr node = parseFunction(flags, name)) return node;

  using T = TEngineFieldType;
  TExpTreePtr node;
  // Most names reaching here are columns: compared in place, no upper-cased copy.
  auto is = [&](std::string_view word) { return platform::equalIgnoringAsciiCase(name, word); };
  if (is("TRUE") || is("FALSE")) {
    node = newConstant(name, T::Boolean);
    PutWordValue(node->Value(), is("TRUE") ? 1 : 0);
    return node;
  }
  if (is("NULL")) {
    node = newConstant(name, T::Unknown);
    node->isNull = true;
    return node;
  }
  if (!is("CURRENT_DATE") && !is("CURRENT_TIME") && !is("CURRENT_TIMESTAMP")) return nullptr;
  const std::string upper = platform::asciiUpperCased(name);
  int32_t day = 0, ms = 0;
  EngineNow(day, ms);
  if (upper == "CURRENT_DATE") {
    node = newConstant(name, T::Date);
    PutIntegerValue(node->Value(), day);
  } else if (upper == "CURRENT_TIME") {
    node = newConstant(name, T::Time);
    PutIntegerValue(node->Value(), ms);
  } else {
    node = newConstant(name, T::Timestamp);
    PutFloatValue(node->Value(), double(day) * double(kMsPerDay) + ms);
  }
  if (kind_ == '(') {
    NextToken();
    expect(')', "Right parentheses expected after first " + upper + " function parentheses, instead found '");
  }
  return node;
}

// Scalar functions; nullptr when `name` is none. The token after the name is current.
TExpTreePtr TExpressionParser::parseFunction(uint8_t flags, const std::string& name) {
  using T = TEngineFieldType;
  const Keyword* found = nullptr;
  for (const auto& f : kFunctions)
    if (platform::equalIgnoringAsciiCase(name, f.word)) found = &f;
  if (!found) return nullptr;
  std::string upper(found->word);
  auto node = newNode(expFunction, found->code, name);
  auto leftParen = [&] {
    expect('(', "Left parentheses expected after " + upper + " keyword, instead found '");
  };
  auto keyword = [&](std::string_view word, std::string_view which) {
    expectKeyword(word, std::string(word) + " keyword expected after " + std::string(which) + " " + upper +
                            " function argument, instead found '");
  };
  auto rightParen = [&](bool plural) {
    expect(')', "Right parentheses expected after " + upper + " function argument" + (plural ? "s" : "") +
                    ", instead found '");
  };
  auto arg = [&] { addArg(*node, parseAdditive(flags)); };

  leftParen();
  switch (found->code) {
    case fnLower:
    case fnUpper:
    case fnLength:
    case fnAbs:
      arg();
      rightParen(false);
      node->type = found->code == fnLength ? T::Integer
                   : found->code == fnAbs  ? node->args[0]->type
                                           : T::String;
      break;
    case fnSubstring:
      arg();
      keyword("FROM", "first");
      arg();
      if (IsKeyword("FOR")) {
        NextToken();
        arg();
      }
      rightParen(true);
      node->type = T::String;
      break;
    case fnReplace:
      arg();
      keyword("WITH", "first");
      arg();
      keyword("IN", "second");
      arg();
      rightParen(true);
      node->type = T::String;
      break;
    case fnPos:
    case fnOccurs:
    case fnTextSearch:
    case fnTextOccurs: {
      bool text = found->code == fnTextSearch || found->code == fnTextOccurs;
      arg();
      keyword("IN", "first");
      arg();
      rightParen(!text);
      node->type = found->code == fnTextSearch   ? T::Boolean
                   : found->code == fnTextOccurs ? T::Word
                                                 : T::Integer;
      break;
    }
    case fnCast:
      arg();
      keyword("AS", "first");
      ParseDataType(*node, flags, false);
      rightParen(true);
      break;
    case fnTrimBoth: {
      if (IsKeyword("LEADING"))
        node->code = fnTrimLeading;
      else if (IsKeyword("TRAILING"))
        node->code = fnTrimTrailing;
      else if (!IsKeyword("BOTH"))
        foundError("LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found '");
      NextToken();
      addArg(*node, parsePrimary(flags));
      keyword("FROM", "second");
      arg();
      rightParen(true);
      node->type = T::String;
      break;
    }
    case fnExtractYear: {
      const Keyword* part = nullptr;
      for (const auto& p : kExtractParts)
        if (IsKeyword(p.word)) part = &p;
      if (!part)
        foundError(
            "YEAR, MONTH, WEEK, DAY, DAYOFWEEK, HOUR, MINUTE, or SECOND keyword expected after EXTRACT "
            "keyword, "
            "instead found '");
      node->code = part->code;
      NextToken();
      expectKeyword("FROM", "FROM keyword expected after second EXTRACT function argument, instead found '");
      arg();
      rightParen(true);
      node->type = T::Integer;
      break;
    }
    case fnRound:
      arg();
      if (IsKeyword("TO")) {
        NextToken();
        addArg(*node, parsePrimary(flags));
      }
      rightParen(true);
      node->type = node->args[0]->type;
      break;
    case fnIf:
      addArg(*node, parseExpression(flags));
      keyword("THEN", "first");
      arg();
      keyword("ELSE", "second");
      arg();
      rightParen(true);
      node->type = node->args[1]->type;
      break;
  }
  return node;
}

bool TExpressionParser::ParseDataType(TExpToken& node, uint8_t flags, bool optional) {
  using T = TEngineFieldType;
  using S = TEngineFieldSubType;
  struct DataType {
    std::string_view word;
    T type;
    S subType;
  };
  static constexpr DataType kTypes[] = {
      {"SMALLINT", T::SmallInt, S::None}, {"WORD", T::Word, S::None},
      {"INTEGER", T::Integer, S::None},   {"INT", T::Integer, S::None},
      {"LARGEINT", T::LargeInt, S::None}, {"AUTOINC", T::Integer, S::AutoInc},
      {"DECIMAL", T::BCD, S::None},       {"NUMERIC", T::Float, S::None},
      {"FLOAT", T::Float, S::None},       {"MONEY", T::Float, S::Money},
      {"CHARACTER", T::String, S::None},  {"CHAR", T::String, S::None},
      {"VARCHAR", T::String, S::None},    {"DATE", T::Date, S::None},
      {"TIME", T::Time, S::None},         {"TIMESTAMP", T::Timestamp, S::None},
      {"BOOLEAN", T::Boolean, S::None},   {"BYTES", T::Bytes, S::None},
      {"BLOB", T::Blob, S::None}};
  const DataType* found = nullptr;
  for (const auto& t : kTypes)
    if (IsKeyword(t.word)) found = &t;
  if (!found) {
    if (optional) return false;
    foundError("SQL data type keyword expected, instead found '");
  }
  std::string word(found->word);
  node.type = found->type;
  node.subType = found->subType;
  node.SetValueSize(uint32_t(FixedValueSize(found->type)));
  NextToken();
  auto number = [&](size_t i) { setArg(node, i, parsePrimary(flags)); };
  if (word == "DECIMAL" || word == "NUMERIC" || word == "FLOAT") {
    if (kind_ != '(') return true;
    NextToken();
    number(1);
    if (kind_ == ',') {
      NextToken();
      number(2);
    } else if (kind_ != ')') {
      foundError("Comma expected after first " + word + " argument, instead found '");
    }
    expect(')', "Right parentheses expected after " + word + " data type arguments, instead found '");
  } else if (word == "CHARACTER" || word == "CHAR" || word == "VARCHAR") {
    std::string shown = word == "VARCHAR" ? "VARCHAR" : "CHARACTER or CHAR";
    expect('(', "Left parentheses expected after " + shown + " data type, instead found '");
    number(1);
    expect(')', "Right parentheses expected after " + shown + " data type arguments, instead found '");
  } else if (word == "BYTES") {
    if (kind_ != '(') return true;
    NextToken();
    number(1);
    expect(')', "Right parentheses expected after CHARACTER data type arguments, instead found '");
  } else if (word == "BLOB") {
    expect('(', "Left parentheses expected after BLOB data type, instead found '");
    number(1);
    expect(',', "Comma expected after first BLOB argument, instead found '");
    number(2);
    expect(')', "Right parentheses expected after BLOB data type arguments, instead found '");
  }
  return true;
}

}  // namespace engine
