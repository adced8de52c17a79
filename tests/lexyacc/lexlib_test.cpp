#include "lexyacc/lexlib.h"

#include <gtest/gtest.h>

#include <string>

#include "lexyacc/yacclib.h"

namespace lexyacc {
namespace {

// The runtime's limits, its fatal texts and the driver's choice of rule. How the scanners and
// parsers built on it read their texts is left to their own tests, the recogniser's properties
// and the fuzz targets.

std::string readAll(LexLib& lex, int limit = 10000) {
  std::string out;
  for (int i = 0; i < limit; ++i) {
    const char c = lex.get_char();
    if (c == 0) break;
    out += c;
  }
  return out;
}

void prepare(LexLib& lex, std::vector<std::string> lines) {
  lex.yyinput = std::move(lines);
  lex.yylineindex = 0;
  lex.yyclear();
}

template <class F>
std::string fatalText(F&& f) {
  try {
    f();
  } catch (const LexYaccError& e) {
    return e.what();
  }
  return "(no error)";
}

// Texts are copied in pieces chosen by their length; every length from empty past the limit
// keeps every byte, whether assigned, copied, assigned over a longer text or appended to.
TEST(ShortText, EveryLengthKeepsItsBytesAndIsCutAt255) {
  std::string source(300, '\0');
  for (size_t i = 0; i < source.size(); ++i) source[i] = char('!' + i * 7 % 90);
  for (size_t n = 0; n <= 300; ++n) {
    SCOPED_TRACE(n);
    const std::string want = source.substr(0, std::min<size_t>(n, ShortString::kMax));
    ShortString assigned(std::string_view(source).substr(0, n));
    EXPECT_EQ(assigned.view(), want);
    const ShortString copied(assigned);
    EXPECT_EQ(copied.view(), want);
    ShortString over(std::string_view(source).substr(1, 255));
    over = copied;
    EXPECT_EQ(over.view(), want);
    ShortString appended(std::string_view(source).substr(0, 3));
    appended.append(std::string_view(source).substr(3, n));
    EXPECT_EQ(appended.view(), source.substr(0, std::min<size_t>(n + 3, ShortString::kMax)));
  }
  // A line is loaded with the same copy.
  LexLib lex;
  for (size_t n : {size_t(1), size_t(5), size_t(12), size_t(31), size_t(33), size_t(254), size_t(260)}) {
    lex.setSingleLine(std::string_view(source).substr(0, n));
    EXPECT_EQ(readAll(lex), source.substr(0, std::min<size_t>(n, 255)));
  }
}

TEST(LexInput, LinesFollowEachOtherWithNothingBetweenEachCutTo255Characters) {
  LexLib lex;
  prepare(lex, {"ab", "cd"});
  EXPECT_EQ(lex.get_char(), 'a');
  EXPECT_EQ(lex.get_char(), 'b');
  EXPECT_EQ(lex.yycolno, 3);
  EXPECT_EQ(lex.get_char(), 'c');  // no newline in between
  EXPECT_EQ(lex.yycolno, 2);       // column restarts at the new line
  EXPECT_EQ(readAll(lex), "d");
  prepare(lex, {std::string(200, 'x') + std::string(100, 'y')});
  EXPECT_EQ(readAll(lex), std::string(200, 'x') + std::string(55, 'y'));
  EXPECT_EQ(lex.yycolno, 256);
}

TEST(LexPushBack, BufferHoldsAtMost2048CharactersCountingTheRestOfTheLine) {
  LexLib lex;
  prepare(lex, {"abcdefghij"});
  EXPECT_EQ(lex.get_char(), 'a');  // nine characters of the line stay in the buffer
  for (int i = 0; i < LexLib::kMaxChars - 9; ++i) lex.unget_char('x');
  EXPECT_EQ(lex.bufferedChars(), 2048);
  EXPECT_EQ(fatalText([&] { lex.unget_char('x'); }), "input buffer overflow");
}

TEST(LexRules, RuleNumbersGoUpTo256AndTheMatchStackHolds1024) {
  LexLib lex;
  lex.yymark(256);
  EXPECT_EQ(fatalText([&] { lex.yymark(257); }), "too many rules");
  lex.yynew();
  for (int i = 0; i < LexLib::kMaxMatches; ++i) lex.yymatch(1);
  EXPECT_EQ(fatalText([&] { lex.yymatch(1); }), "match stack overflow");
  lex.yynew();  // a new match empties the stack
  lex.yymatch(1);
  EXPECT_EQ(lex.matchDepth(), 1);
}

// A small scanner on the generic driver: rule 1 "ab" (rejects when told to), rule 2 "a+",
// rule 3 any other byte (returns 0). Shows longest match, priority and reject.
struct TinyDfa {
  LexLib& lex;
  bool rejectAb = false;
  std::vector<std::pair<int, std::string>> actions;
  // States: 0/1 start, 2 after 'a' (rules 2, 3), 3 "a+" longer (rule 2), 4 "ab" (rule 1),
  // 5 any byte (rule 3).
  int accepts(int state, int* rules) const {
    switch (state) {
      case 2:
        rules[0] = 2;
        rules[1] = 3;
        return 2;
      case 3:
        rules[0] = 2;
        return 1;
      case 4:
        rules[0] = 1;
        return 1;
      case 5:
        rules[0] = 3;
        return 1;
      default:
        return 0;
    }
  }
  bool hasTransitions(int state) const { return state <= 3; }
  int next(int state, char c) const {
    if (state <= 1) return c == 'a' ? 2 : c == 0 ? -1 : 5;
    if (c == 'a') return 3;
    if (c == 'b' && state == 2) return 4;
    return -1;
  }
  void action(int rule) {
    actions.emplace_back(rule, lex.yytext.str());
    if (rule == 1 && rejectAb) {
      lex.yyreject = true;
      return;
    }
    lex.yyreturn(rule == 3 ? 0 : 100 + rule);
  }
};

TEST(LexDriver, LongestMatchThenPriorityThenReject) {
  LexLib lex;
  TinyDfa dfa{lex, false, {}};
  prepare(lex, {"aaab"});
  EXPECT_EQ(lex.yylexWith(dfa), 102);  // "aaa": longer than "a"
  EXPECT_EQ(lex.yylexWith(dfa), 0);    // "b": any byte
  EXPECT_EQ(lex.yylexWith(dfa), 0);    // end of input
  EXPECT_EQ(dfa.actions.size(), 2u);

  dfa.actions.clear();
  prepare(lex, {"ab"});
  EXPECT_EQ(lex.yylexWith(dfa), 101);  // "ab" beats "a"
  dfa.rejectAb = true;
  prepare(lex, {"ab"});
  EXPECT_EQ(lex.yylexWith(dfa), 102);  // rejected: the next candidate, "a" by rule 2
  ASSERT_EQ(dfa.actions.size(), 3u);
  EXPECT_EQ(dfa.actions[2], (std::pair<int, std::string>(2, "a")));
}

TEST(YaccControl, ErrorsAreCountedOncePerRecovery) {
  YaccLib yacc;
  yacc.yystart();
  yacc.yylook([] { return 7; });
  yacc.yysyntaxerror();
  EXPECT_EQ(yacc.yynerrs, 1);
  EXPECT_EQ(yacc.yyerrflag, 3);
  yacc.yysyntaxerror();  // still recovering: not counted again
  EXPECT_EQ(yacc.yynerrs, 1);
  EXPECT_TRUE(yacc.yydiscard());
  EXPECT_EQ(yacc.yychar, -1);
  yacc.yyshift(ShortString());
  yacc.yyshift(ShortString());
  EXPECT_EQ(yacc.yyerrflag, 1);
  yacc.yyerrok();
  EXPECT_EQ(yacc.yyerrflag, 0);
  yacc.yylook([] { return 0; });
  EXPECT_FALSE(yacc.yydiscard());  // recovery gives up at end of input
}

TEST(YaccControl, NestingDeeperThanTheStackAborts) {
  YaccLib yacc;
  yacc.yystart();
  for (int i = 0; i < YaccLib::kMaxDepth; ++i) ASSERT_TRUE(yacc.yyenter());
  EXPECT_FALSE(yacc.yyenter());
  EXPECT_EQ(yacc.yyflag, YaccLib::yyfabort);
}

}  // namespace
}  // namespace lexyacc
