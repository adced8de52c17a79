#include "lexyacc/lexlib.h"

namespace lexyacc {

void LexLib::fatal(const char* msg) {
  throw LexYaccError(msg);
}

void LexLib::loadLine() {
  const std::string& s = yyinput[yylineindex++];
  lineLen_ = s.size() < size_t(kMaxText) ? s.size() : size_t(kMaxText);
  detail::copyShort(line_, s.data(), lineLen_);
  linePos_ = 0;
  yycolno = 1;
}

void LexLib::yynew() {
  if (yylastchar != 0) lineStart_ = yylastchar == '\n' ? 1 : 0;
  yytext = saved_;
  saved_.clear();
  matchCount_ = 0;
  yydone = false;
}

bool LexLib::yyfind(int& n) {
  yyreject = false;
  while (matchCount_ > 0 && pos_[size_t(matches_[size_t(matchCount_ - 1)])] == 0) --matchCount_;
  if (matchCount_ == 0) {
    yyless(0);
    yylastchar = 0;
    return false;
  }
  n = matches_[size_t(matchCount_ - 1)];
  yyless(pos_[size_t(n)]);
  pos_[size_t(n)] = 0;
  yylastchar = yytext.back();
  return true;
}

bool LexLib::yydefault() {
  yyreject = false;
  const char c = get_char();
  yylastchar = c;
  if (c == 0) {
    lineStart_ = 1;
    return false;
  }
  put_char(c);
  return true;
}

void LexLib::yyclear() {
  lineLen_ = linePos_ = 0;
  pushCount_ = 0;
  startState_ = 0;
  lineStart_ = 1;
  yylastchar = 0;
  yytext.clear();
  saved_.clear();
}

void LexLib::setSingleLine(std::string_view line) {
  // Loaded at once rather than through yyinput: the first get_char() would load it unchanged,
  // and no character is read before it.
  yyinput.clear();
  yylineindex = 0;
  yyclear();
  lineLen_ = line.size() < size_t(kMaxText) ? line.size() : size_t(kMaxText);
  detail::copyShort(line_, line.data(), lineLen_);
  yycolno = 1;
}

}  // namespace lexyacc
