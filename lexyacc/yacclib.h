// Parser runtime shared by the statement recogniser of dump lines and the task engine's parameter
// parsers: the control flags that grammar actions set, the look-ahead token and the error-recovery
// counters of an LALR driver, packaged for hand-written recursive-descent parsers.
//
// A recursive-descent parser built on YaccLib reproduces what the table-driven driver does when it
// follows these conventions:
//   - yystart() at the beginning of the parse (yychar -1, counters 0, no flag).
//   - yylook(lex) wherever the driver would need a look-ahead; the token is read once and held
//     in yychar until yyshift() consumes it.
//   - yyshift(lval) when a token is consumed; its value becomes yyval, the value the driver would
//     push with it, and a pending recovery count goes down by one.
//   - yysyntaxerror() where the driver would find no action for the look-ahead. The error token
//     that recovery then shifts carries the current yyval (not the look-ahead's value).
//   - After a grammar action, yyflag decides: yyfaccept -> 0, yyfabort -> 1, yyferror -> recover.
//   - yyenter()/yyleave() around every nested rule whose LALR stack would grow, so that a
//     recursion deeper than the driver's stack fails as it would.
// Syntax errors are silent: yyerror does nothing and only the 0/1 result reaches the caller.
//
// One YaccLib per parse; not shared between threads.
#pragma once

#include <string_view>

#include "lexyacc/lexlib.h"

namespace lexyacc {

class YaccLib {
 public:
  static constexpr int kErrorToken = 256;
  static constexpr int kMaxDepth = 1024;  // state and value stacks
  enum Flag : int { yyfnone = 0, yyfaccept = 1, yyfabort = 2, yyferror = 3 };

  int yyflag = yyfnone;
  // Tokens still to shift before a new error is reported again (3 right after an error).
  int yyerrflag = 0;
  int yynerrs = 0;
  // The look-ahead token; -1 when none is held.
  int yychar = -1;
  // Value of the last token shifted or rule reduced.
  ShortString yyval;

  void yyaccept() { yyflag = yyfaccept; }
  void yyabort() { yyflag = yyfabort; }
  void yyerrlab() { yyflag = yyferror; }
  void yyerrok() { yyerrflag = 0; }
  void yyerror(std::string_view /*msg*/) {}

  void yystart() {
    yyflag = yyfnone;
    yyerrflag = 0;
    yynerrs = 0;
    yychar = -1;
    yyval.clear();
    depth_ = 0;
  }

  // The look-ahead, read through lex() when none is held; negative tokens count as end (0).
  template <class Lex>
  int yylook(Lex&& lex) {
    if (yychar < 0) {
      yychar = lex();
      if (yychar < 0) yychar = 0;
    }
    return yychar;
  }

  void yyshift(const ShortString& lval) {
    yyval = lval;
    yychar = -1;
    if (yyerrflag > 0) --yyerrflag;
  }

  // No action for the look-ahead: reported and counted once per recovery, then recovery starts.
  void yysyntaxerror() {
    if (yyerrflag == 0) {
      yyerror("syntax error");
      ++yynerrs;
    }
    yyerrflag = 3;
  }
  // An action called yyerrlab(): counted like a syntax error but not reported.
  void yyactionerror() {
    if (yyerrflag == 0) ++yynerrs;
    yyerrflag = 3;
  }
  // A new error while recovery has shifted nothing yet: false at end of input (the parse fails),
  // otherwise the look-ahead is dropped and parsing goes on.
  bool yydiscard() {
    if (yychar == 0) return false;
    yychar = -1;
    return true;
  }

  // Stack depth of nested rules; false (after yyerror and yyabort) when the driver's stack would
  // overflow.
  bool yyenter() {
    if (++depth_ > kMaxDepth) {
      yyerror("yyparse stack overflow");
      yyabort();
      return false;
    }
    return true;
  }
  void yyleave() {
    if (depth_ > 0) --depth_;
  }

 private:
  int depth_ = 0;
};

}  // namespace lexyacc
