// Scanner runtime shared by the table-driven (or hand-written DFA) scanners of the dump-line
// recogniser and of the task engine's parameter parsers.
//
// All scanner state lives in one LexLib object, so each parse owns its own state and separate
// parses may run on separate threads. One LexLib is used by one thread at a time.
//
// Input is a list of lines (`yyinput`), read with nothing between them: the last character of one
// line is followed directly by the first character of the next. A line is cut to its first 255
// characters when it is loaded. End of input reads as the character 0.
//
// Preparing a scan: fill `yyinput`, set `yylineindex` to 0, call yyclear(). yyclear() leaves the
// line index alone, so a caller that does not reset it reads on from where the last scan stopped.
//
// The fatal conditions ("input buffer overflow", "yytext overflow", "too many rules",
// "match stack overflow") throw LexYaccError carrying exactly that text; they end the scan and the
// caller's parse.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lexyacc {

// The one exception type of the scanner and parser runtime; what() is the fatal text.
class LexYaccError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace detail {

// Copies n bytes (n < 256) as a few loads and stores, every load before its store. Left to
// itself the compiler turns a copy of bounded length into a string-move instruction, whose start-up
// costs more than a whole short token; tokens are copied several times each.
inline void copyShort(char* to, const char* from, size_t n) {
  if (n > 32) {
    std::memmove(to, from, n);
  } else if (n >= 16) {
    char a[16], b[16];
    std::memcpy(a, from, 16);
    std::memcpy(b, from + n - 16, 16);
    std::memcpy(to, a, 16);
    std::memcpy(to + n - 16, b, 16);
  } else if (n >= 8) {
    uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, from, 4);
    std::memcpy(&b, from + n - 4, 4);
    std::memcpy(to, &a, 4);
    std::memcpy(to + n - 4, &b, 4);
  } else if (n != 0) {
    const char a = from[0], b = from[n / 2], c = from[n - 1];
    to[0] = a;
    to[n / 2] = b;
    to[n - 1] = c;
  }
}

}  // namespace detail

// A text of at most 255 bytes (longer assignments are cut), kept inline without heap storage:
// the token text, token values and parser values.
class ShortString {
 public:
  static constexpr size_t kMax = 255;

  ShortString() = default;
  ShortString(std::string_view s) { assign(s); }  // NOLINT: implicit on purpose, like the text it holds
  // Copies move only the bytes in use: scanners and parsers copy these texts once per token.
  ShortString(const ShortString& other) : len_(other.len_) { detail::copyShort(buf_, other.buf_, len_); }
  ShortString& operator=(const ShortString& other) {
    len_ = other.len_;
    if (this != &other) detail::copyShort(buf_, other.buf_, len_);
    return *this;
  }

  void assign(std::string_view s) {
    len_ = uint8_t(s.size() < kMax ? s.size() : kMax);
    detail::copyShort(buf_, s.data(), len_);
  }
  void clear() { len_ = 0; }
  // Appends c when there is room; a full string stays as it is.
  void push_back(char c) {
    if (len_ < kMax) buf_[len_++] = c;
  }
  // Appends as much of s as there is room for.
  void append(std::string_view s) {
    const size_t n = s.size() < kMax - len_ ? s.size() : kMax - len_;
    detail::copyShort(buf_ + len_, s.data(), n);
    len_ = uint8_t(len_ + n);
  }
  // Cuts to n bytes (n larger than the size leaves the text as it is).
  void truncate(size_t n) {
    if (n < len_) len_ = uint8_t(n);
  }

  size_t size() const { return len_; }
  bool empty() const { return len_ == 0; }
  const char* data() const { return buf_; }
  char operator[](size_t i) const { return buf_[i]; }
  char back() const { return len_ != 0 ? buf_[len_ - 1] : '\0'; }
  std::string_view view() const { return std::string_view(buf_, len_); }
  operator std::string_view() const { return view(); }  // NOLINT
  std::string str() const { return std::string(buf_, len_); }

  friend bool operator==(const ShortString& a, std::string_view b) { return a.view() == b; }

 private:
  uint8_t len_ = 0;
  char buf_[kMax];
};

class LexLib {
 public:
  static constexpr int kMaxChars = 2048;    // input buffer: remaining line plus pushed-back characters
  static constexpr int kMaxText = 255;      // yytext
  static constexpr int kMaxRules = 256;     // highest rule number yymark accepts
  static constexpr int kMaxMatches = 1024;  // match stack

  // --- input
  std::vector<std::string> yyinput;
  // Index of the next item of yyinput to load.
  size_t yylineindex = 0;
  // 1 when a line has been loaded; +1 per character read, -1 per character put back.
  int yycolno = 0;

  // --- the current match
  ShortString yytext;
  int yyleng() const { return int(yytext.size()); }
  // Semantic value of the last token; the scanners copy token text into it.
  ShortString yylval;
  // Last character read or matched; 0 at start of input.
  char yylastchar = 0;
  int yyretval = 0;
  bool yydone = false;
  bool yyreject = false;

  // Next input character, or 0 when the buffer is empty and no line is left. Loads the next line
  // (cut to 255 characters, column := 1) only when the buffer is empty; loading an empty line
  // therefore yields 0 once.
  char get_char() {
    if (pushCount_ == 0 && linePos_ == lineLen_ && yylineindex < yyinput.size()) loadLine();
    if (pushCount_ != 0) {
      ++yycolno;
      return push_[--pushCount_];
    }
    if (linePos_ != lineLen_) {
      ++yycolno;
      return line_[linePos_++];
    }
    return 0;
  }
  // The character get_char() would return next, left in the input (a line is loaded as
  // get_char() would load it).
  char peek_char() {
    if (pushCount_ == 0 && linePos_ == lineLen_ && yylineindex < yyinput.size()) loadLine();
    if (pushCount_ != 0) return push_[size_t(pushCount_ - 1)];
    return linePos_ != lineLen_ ? line_[linePos_] : char(0);
  }
  // Puts c back in front of the input. Throws "input buffer overflow" when the buffer already
  // holds kMaxChars characters.
  void unget_char(char c) {
    if (bufferedChars() >= kMaxChars) fatal("input buffer overflow");
    push_[size_t(pushCount_++)] = c;
    --yycolno;
  }
  // The echo hook; does nothing.
  void put_char(char /*c*/) {}

  // Whether yymore() has kept text that the next match starts with.
  bool hasSavedText() const { return !saved_.empty(); }
  // Keeps yytext; it becomes the start of the next token's text.
  void yymore() { saved_ = yytext; }
  // Puts back every character of yytext after position n (last first) and cuts yytext to n.
  void yyless(int n) {
    for (int i = yyleng() - 1; i >= n; --i) unget_char(yytext[size_t(i)]);
    yytext.truncate(size_t(n < 0 ? 0 : n));
  }
  void yyreturn(int t) {
    yyretval = t;
    yydone = true;
  }
  void yystop() { yydone = true; }
  bool yywrap() { return true; }

  // --- the DFA driver's steps
  // Starts a new match: line-start flag from yylastchar, yytext := saved text, match stack emptied.
  void yynew();
  // Reads one character into yytext. Throws "yytext overflow" when yyleng is already above 254.
  void yyscan() {
    if (yytext.size() >= size_t(kMaxText)) fatal("yytext overflow");
    yytext.push_back(get_char());
  }
  // As `do yyscan(); while (keep(yyactchar()));`, taking the characters of the loaded line in
  // one run where it can.
  template <class Keep>
  void yyscanWhile(Keep keep) {
    for (;;) {
      const size_t room = size_t(kMaxText) - yytext.size();
      size_t n = lineLen_ - linePos_ < room ? lineLen_ - linePos_ : room;
      if (pushCount_ != 0) n = 0;
      if (n == 0) {
        yyscan();
        if (!keep(yyactchar())) return;
        continue;
      }
      size_t i = 0;
      bool stopped = false;
      while (i < n) {
        if (!keep(line_[linePos_ + i++])) {
          stopped = true;
          break;
        }
      }
      yytext.append(std::string_view(line_ + linePos_, i));
      linePos_ += i;
      yycolno += int(i);
      if (stopped) return;
    }
  }
  // The character yyscan read last.
  char yyactchar() const { return yytext.back(); }
  // Records that rule n matches at the current length. Throws "too many rules" when n > 256.
  void yymark(int n) {
    if (n < 0 || n > kMaxRules) fatal("too many rules");
    pos_[size_t(n)] = yyleng();
  }
  // Pushes rule n on the match stack. Throws "match stack overflow" beyond 1024 entries.
  void yymatch(int n) {
    if (matchCount_ >= kMaxMatches) fatal("match stack overflow");
    matches_[size_t(matchCount_++)] = n;
  }
  // Chooses the matched rule: the topmost stacked rule that has a position. Cuts yytext back to
  // that rule's length (the rest is put back). False, with all of yytext put back, when none.
  bool yyfind(int& n);
  // No rule matched: reads and drops one character. False at end of input.
  bool yydefault();
  // Resets the scanner (buffer, states, yytext, saved text); not the line index nor the list.
  void yyclear();

  // Initial DFA state of the next match: start state plus line-start flag.
  int yystartstate() const { return startState_ + lineStart_; }
  int matchDepth() const { return matchCount_; }
  // Characters in the input buffer: the rest of the loaded line plus those put back.
  int bufferedChars() const { return int(lineLen_ - linePos_) + pushCount_; }

  // Replaces the input by one line, loaded at once (yyinput is left empty, line index 0), and
  // prepares a scan as yyclear() does.
  void setSingleLine(std::string_view line);

  [[noreturn]] static void fatal(const char* msg);

  // The DFA driver, the same for every scanner. `Dfa` supplies:
  //   int accepts(int state, int* rules)  -> rules accepted in `state`, lowest number first
  //   bool hasTransitions(int state)
  //   int next(int state, char c)         -> target state, or -1 when c has no transition
  //   void action(int rule)               -> the rule's action (yyreturn, yymore, yyless, ...)
  // Returns the token of the first action that calls yyreturn, or 0 at end of input.
  template <class Dfa>
  int yylexWith(Dfa& dfa) {
    int rules[8] = {};
    for (;;) {
      yynew();
      int state = yystartstate();
      for (;;) {
        const int n = dfa.accepts(state, rules);
        for (int i = 0; i < n; ++i) yymark(rules[i]);
        for (int i = n - 1; i >= 0; --i) yymatch(rules[i]);
        if (!dfa.hasTransitions(state)) break;
        yyscan();
        const int target = dfa.next(state, yyactchar());
        if (target < 0) break;
        state = target;
      }
      for (;;) {
        int rule = 0;
        if (yyfind(rule)) {
          dfa.action(rule);
          if (yyreject) continue;
        } else if (!yydefault() && yywrap()) {
          yyclear();
          return 0;
        }
        break;
      }
      if (yydone) return yyretval;
    }
  }

 private:
  void loadLine();

  // The loaded line (read forwards) and the characters put back (a stack read from the top).
  char line_[kMaxText];
  size_t lineLen_ = 0;
  size_t linePos_ = 0;
  std::array<char, kMaxChars> push_;
  int pushCount_ = 0;

  ShortString saved_;
  std::array<int, kMaxRules + 1> pos_{};
  std::array<int, kMaxMatches> matches_;
  int matchCount_ = 0;
  int startState_ = 0;
  int lineStart_ = 1;
};

}  // namespace lexyacc
