#include "tasks/paramlex.h"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace tasks {

namespace {

// Rules, in priority order.
enum Rule : int {
  ruleString = 1,
  ruleNumber = 2,
  ruleWord = 3,
  ruleEquals = 4,
  ruleComma = 5,
  ruleLParen = 6,
  ruleRParen = 7,
  ruleBlank = 8,
  ruleLineEnd = 9,
  ruleOpenQuote = 10,
};

// States; 0 and 1 are the start state outside and at the start of a line (the same here).
enum State : int {
  stStart = 0,
  stStartOfLine = 1,
  stQuote = 2,      // inside a quote
  stBackslash = 3,  // inside a quote, after a backslash
  stClosed = 4,     // after the closing quote
  stDigits = 5,
  stWord = 6,
  stEquals = 7,
  stComma = 8,
  stLParen = 9,
  stRParen = 10,
  stBlank = 11,
  stLineEnd = 12,
};

bool isWordChar(char c) {
  switch (c) {
    case '\0':
    case ' ':
    case '\n':
    case '\r':
    case '\'':
    case '(':
    case ')':
    case ',':
    case '=':
      return false;
    default:
      return true;
  }
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The text between a STRING's quotes without the backslash of each escaped quote.
std::string unescapeQuotes(std::string_view inner) {
  std::string out;
  out.reserve(inner.size());
  for (size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\' && i + 1 < inner.size() && inner[i + 1] == '\'') continue;
    out += inner[i];
  }
  return out;
}

// The value of a quoted token: without its quotes, and without the backslash of each escaped
// quote.
lexyacc::ShortString unquote(std::string_view token) {
  return lexyacc::ShortString(unescapeQuotes(token.substr(1, token.size() - 2)));  // cut to 255
}

}  // namespace

struct ParamLexer::Dfa {
  lexyacc::LexLib& lex;

  int accepts(int state, int* rules) const {
    // The one rule that each accepting state accepts; the digits also make a word.
    static constexpr int kRuleOf[] = {0,          0,         ruleOpenQuote, ruleOpenQuote, ruleString,
                                      ruleNumber, ruleWord,  ruleEquals,    ruleComma,     ruleLParen,
                                      ruleRParen, ruleBlank, ruleLineEnd};
    static_assert(std::size(kRuleOf) == stLineEnd + 1);
    if (kRuleOf[state] == 0) return 0;
    rules[0] = kRuleOf[state];
    if (state != stDigits) return 1;
    rules[1] = ruleWord;
    return 2;
  }

  bool hasTransitions(int state) const {
    switch (state) {
      case stStart:
      case stStartOfLine:
      case stQuote:
      case stBackslash:
      case stDigits:
      case stWord:
        return true;
      default:
        return false;
    }
  }

  int next(int state, char c) const {
    switch (state) {
      case stStart:
      case stStartOfLine:
        switch (c) {
          case '\'':
            return stQuote;
          case '=':
            return stEquals;
          case ',':
            return stComma;
          case '(':
            return stLParen;
          case ')':
            return stRParen;
          case ' ':
            return stBlank;
          case '\n':
          case '\r':
            return stLineEnd;
          default:
            if (isDigit(c)) return stDigits;
            return isWordChar(c) ? stWord : -1;
        }
      case stQuote:
      case stBackslash:
        // The end of the input has no transition: the quote stays open.
        if (c == '\0') return -1;
        if (c == '\'') return state == stBackslash ? stQuote : stClosed;
        return c == '\\' ? stBackslash : stQuote;
      case stDigits:
        if (isDigit(c)) return stDigits;
        return isWordChar(c) ? stWord : -1;
      case stWord:
        return isWordChar(c) ? stWord : -1;
      default:
        return -1;
    }
  }

  void action(int rule) {
    switch (rule) {
      case ruleString:
        lex.yylval = unquote(lex.yytext.view());
        lex.yyreturn(tokString);
        break;
      case ruleNumber: {
        lex.yylval = lex.yytext;
        std::string_view digits = lex.yytext.view();
        int32_t n = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
        bool converts = ec == std::errc() && end == digits.data() + digits.size();
        lex.yyreturn(converts ? tokNumber : tokIllegal);
        break;
      }
      case ruleWord:
        lex.yylval = lex.yytext;
        lex.yyreturn(tokWord);
        break;
      case ruleEquals:
      case ruleComma:
      case ruleLParen:
      case ruleRParen:
        static_assert(tokComma - tokEquals == ruleComma - ruleEquals &&
                      tokLParen - tokEquals == ruleLParen - ruleEquals &&
                      tokRParen - tokEquals == ruleRParen - ruleEquals);
        lex.yylval = lex.yytext;
        lex.yyreturn(tokEquals + (rule - ruleEquals));
        break;
      case ruleBlank:
      case ruleLineEnd:
        break;
      case ruleOpenQuote:
        lex.yylval = lex.yytext;
        lex.yyreturn(tokIllegal);
        break;
      default:
        break;
    }
  }
};

ParamLexer::ParamLexer(std::string_view text) {
  // The runtime cuts each input line to its line length; lines of exactly that length carry the
  // whole text, since consecutive lines are read with nothing between them.
  lex_.yyinput.clear();
  do {
    lex_.yyinput.emplace_back(text.substr(0, kLineLength));
    text.remove_prefix(std::min(text.size(), kLineLength));
  } while (!text.empty());
  lex_.yylineindex = 0;
  lex_.yyclear();
}

int32_t ParamLexer::Lex() {
  Dfa dfa{lex_};
  return lex_.yylexWith(dfa);
}

int32_t ParamLexer::Column() const {
  // yycolno counts within the line loaded last; every earlier line is a full one.
  size_t before = lex_.yylineindex > 0 ? (lex_.yylineindex - 1) * kLineLength : 0;
  return static_cast<int32_t>(before) + lex_.yycolno;
}

bool IsBareParamValue(std::string_view value) {
  if (value.empty() || value.size() > kMaxBareParamValue) return false;
  if (!std::all_of(value.begin(), value.end(), isWordChar)) return false;
  if (!std::all_of(value.begin(), value.end(), isDigit)) return true;
  // All digits: a NUMBER, which must convert, or the token is illegal.
  int32_t n = 0;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
  return ec == std::errc() && end == value.data() + value.size();
}

std::string_view ParamValueQuoteProblem(std::string_view value) {
  static_assert(kMaxQuotedParamValue - 2 == 253, "the reason below names the limit");
  if (value.find('\0') != std::string_view::npos) return "holds a zero byte, which ends a parameter text";
  if (!value.empty() && value.back() == '\\')
    return "ends with a backslash, which would escape its closing quote";
  size_t quotes = static_cast<size_t>(std::count(value.begin(), value.end(), '\''));
  if (value.size() + quotes + 2 > kMaxQuotedParamValue)
    return "is too long: a quoted value holds at most 253 characters";
  return {};
}

std::string QuoteParamValue(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  out += '\'';
  for (char c : value) {
    if (c == '\'') out += '\\';
    out += c;
  }
  out += '\'';
  return out;
}

std::string UnquoteParamValue(std::string_view text) {
  if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'') {
    return unescapeQuotes(text.substr(1, text.size() - 2));
  }
  return std::string(text);
}

}  // namespace tasks
