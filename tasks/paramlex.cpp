#include "tasks/paramlex.h"

#include <charconv>

namespace tasks {

namespace {

constexpr int kEndOfText = -1;

bool isWordChar(int c) {
  switch (c) {
    case kEndOfText:
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

bool isDigit(int c) { return c >= '0' && c <= '9'; }

// The value of a quoted token: without its quotes, and without the backslash of each escaped
// quote.
std::string unquote(std::string_view token) {
  std::string_view inner = token.substr(1, token.size() - 2);
  std::string out;
  out.reserve(inner.size());
  for (size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\' && i + 1 < inner.size() && inner[i + 1] == '\'') continue;
    out += inner[i];
  }
  if (out.size() > kMaxTokenLength) out.resize(kMaxTokenLength);
  return out;
}

}  // namespace

ParamLexer::ParamLexer(std::string_view text) : text_(text) {}

int ParamLexer::getChar() {
  if (pos_ >= text_.size()) return kEndOfText;
  ++column_;
  return static_cast<unsigned char>(text_[pos_++]);
}

void ParamLexer::putBack() {
  --pos_;
  --column_;
  token_.pop_back();
}

int ParamLexer::scan() {
  // Like the shared scanner runtime, the token text refuses to grow past its limit even when
  // the character read would only have ended the token.
  if (token_.size() >= kMaxTokenLength) throw Fatal("yytext overflow");
  int c = getChar();
  if (c != kEndOfText) token_ += static_cast<char>(c);
  return c;
}

int32_t ParamLexer::Lex() {
  for (;;) {
    token_.clear();
    int c = scan();
    switch (c) {
      case kEndOfText:
        value_.clear();
        return tokEnd;
      case ' ':
      case '\n':
      case '\r':
        continue;
      case '=':
        value_ = token_;
        return tokEquals;
      case ',':
        value_ = token_;
        return tokComma;
      case '(':
        value_ = token_;
        return tokLParen;
      case ')':
        value_ = token_;
        return tokRParen;
      case '\'': {
        int prev = c;
        for (;;) {
          c = scan();
          if (c == kEndOfText) {
            value_ = token_;
            return tokIllegal;
          }
          if (c == '\'' && prev != '\\') break;
          prev = c;
        }
        value_ = unquote(token_);
        return tokString;
      }
      default: {
        bool digits = isDigit(c);
        for (;;) {
          c = scan();
          if (!isWordChar(c)) {
            if (c != kEndOfText) putBack();
            break;
          }
          digits = digits && isDigit(c);
        }
        value_ = token_;
        if (!digits) return tokWord;
        int32_t n = 0;
        auto [end, ec] = std::from_chars(token_.data(), token_.data() + token_.size(), n);
        if (ec != std::errc() || end != token_.data() + token_.size()) return tokIllegal;
        return tokNumber;
      }
    }
  }
}

}  // namespace tasks
