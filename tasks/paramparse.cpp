#include "tasks/paramparse.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "lexyacc/yacclib.h"
#include "platform/textrules.h"
#include "tasks/paramlex.h"

namespace tasks {

namespace {

// The LALR(1) automaton of the grammar. Rule numbers follow the header's order:
//  1 command -> userid params     2 command -> params
//  3 userid -> WORD               4 userid -> STRING
//  5 params -> kw = values        6 params -> params kw = values
//  7 values -> values , value     8 values -> value
//  9 value -> ( values )         10 value -> atom
// 11 atom -> NUMBER  12 atom -> STRING  13 atom -> WORD
// 14 kw -> WORD
enum Symbol { symCommand, symUserid, symParams, symValues, symValue, symAtom, symKw };

struct Rule {
  int length;
  Symbol lhs;
};
constexpr Rule kRules[15] = {
    {0, symCommand},                                 // unused
    {2, symCommand}, {1, symCommand},                // 1, 2
    {1, symUserid},  {1, symUserid},                 // 3, 4
    {3, symParams},  {4, symParams},                 // 5, 6
    {3, symValues},  {1, symValues},                 // 7, 8
    {3, symValue},   {1, symValue},                  // 9, 10
    {1, symAtom},    {1, symAtom},    {1, symAtom},  // 11, 12, 13
    {1, symKw},                                      // 14
};

enum ActionKind { actError, actShift, actReduce, actAccept };
struct Action {
  ActionKind kind;
  int arg;
};

// States whose only action is one reduction reduce without reading a token.
int defaultReduction(int state) {
  switch (state) {
    case 6:
      return 4;
    case 8:
      return 14;
    case 13:
      return 8;
    case 14:
      return 10;
    case 16:
      return 11;
    case 17:
      return 12;
    case 18:
      return 13;
    case 22:
      return 7;
    case 23:
      return 9;
    default:
      return 0;
  }
}

// The value-starting shifts shared by every state that expects a value.
Action valueShift(int token) {
  switch (token) {
    case tokLParen:
      return {actShift, 15};
    case tokNumber:
      return {actShift, 16};
    case tokString:
      return {actShift, 17};
    case tokWord:
      return {actShift, 18};
    default:
      return {actError, 0};
  }
}

Action action(int state, int token) {
  switch (state) {
    case 0:
      if (token == tokWord) return {actShift, 5};
      if (token == tokString) return {actShift, 6};
      break;
    case 1:
      if (token == tokEnd) return {actAccept, 0};
      break;
    case 2:
      if (token == tokWord) return {actShift, 8};
      break;
    case 3:
      if (token == tokEnd) return {actReduce, 2};
      if (token == tokWord) return {actShift, 8};
      break;
    case 4:
      if (token == tokEquals) return {actShift, 10};
      break;
    case 5:
      // A leading word is the account when a keyword follows, else the first keyword.
      if (token == tokWord) return {actReduce, 3};
      if (token == tokEquals) return {actReduce, 14};
      break;
    case 7:
      if (token == tokEnd) return {actReduce, 1};
      if (token == tokWord) return {actShift, 8};
      break;
    case 9:
      if (token == tokEquals) return {actShift, 11};
      break;
    case 10:
    case 11:
    case 15:
    case 20:
      return valueShift(token);
    case 12:
      if (token == tokComma) return {actShift, 20};
      if (token == tokEnd || token == tokWord) return {actReduce, 5};
      break;
    case 19:
      if (token == tokComma) return {actShift, 20};
      if (token == tokEnd || token == tokWord) return {actReduce, 6};
      break;
    case 21:
      if (token == tokRParen) return {actShift, 23};
      if (token == tokComma) return {actShift, 20};
      break;
    default:
      break;
  }
  return {actError, 0};
}

int gotoState(int state, Symbol symbol) {
  switch (symbol) {
    case symCommand:
      return 1;
    case symUserid:
      return 2;
    case symParams:
      return state == 2 ? 7 : 3;
    case symKw:
      return (state == 3 || state == 7) ? 9 : 4;
    case symValues:
      return state == 10 ? 12 : state == 11 ? 19 : 21;
    case symValue:
      return state == 20 ? 22 : 13;
    case symAtom:
      return 14;
  }
  return 0;
}

class Parser {
 public:
  Parser(ParamLexer& lexer, std::span<const TParamKeywordEntry> keywords, const ApplyParamOption& apply)
      : lexer_(lexer), keywords_(keywords), apply_(apply) {
    states_.reserve(kParamParserStackSize);
    values_.reserve(kParamParserStackSize);
  }

  // The runtime's parser driver over the tables above: 0 accepted, 1 failed.
  int Run() {
    yacc_.yystart();
    int state = 0;
    for (;;) {
      if (static_cast<int>(states_.size()) >= kParamParserStackSize) {
        yacc_.yyerror("yyparse stack overflow");
        return 1;
      }
      states_.push_back(state);
      values_.push_back(yacc_.yyval);

      int rule = defaultReduction(state);
      Action act{actReduce, rule};
      if (rule == 0) {
        int token = yacc_.yylook([this] { return lexer_.Lex(); });
        act = action(state, token);
      }
      switch (act.kind) {
        case actAccept:
          return 0;
        case actError:
          yacc_.yysyntaxerror();
          return recover();
        case actShift:
          yacc_.yyshift(lexyacc::ShortString(lexer_.Value()));
          state = act.arg;
          break;
        case actReduce: {
          const Rule& r = kRules[act.arg];
          // The result value is the first right-hand value.
          yacc_.yyval = values_[values_.size() - r.length];
          Reduce(act.arg);
          states_.resize(states_.size() - r.length);
          values_.resize(values_.size() - r.length);
          if (yacc_.yyflag == lexyacc::YaccLib::yyfaccept) return 0;
          if (yacc_.yyflag == lexyacc::YaccLib::yyfabort) return 1;
          if (yacc_.yyflag == lexyacc::YaccLib::yyferror) {
            yacc_.yyactionerror();
            return recover();
          }
          state = gotoState(states_.back(), r.lhs);
          break;
        }
      }
    }
  }

 private:
  // Error recovery pops states until one shifts the error token. No rule of this grammar names
  // it, so every error ends the parse.
  int recover() {
    states_.clear();
    values_.clear();
    return 1;
  }

  void Reduce(int rule) {
    const lexyacc::ShortString& value = yacc_.yyval;
    switch (rule) {
      case 3:
      case 4:
        if (!apply_(TParamKeyword::UserId, value.view())) yacc_.yyerrlab();
        break;
      case 11:
      case 12:
      case 13:
        if (!apply_(keyword_, value.view())) yacc_.yyerrlab();
        break;
      case 14: {
        const TParamKeywordEntry* entry = FindParamKeyword(keywords_, value.view());
        if (entry == nullptr) {
          yacc_.yyerrlab();
        } else {
          keyword_ = entry->code;
        }
        break;
      }
      default:
        break;
    }
  }

  ParamLexer& lexer_;
  std::span<const TParamKeywordEntry> keywords_;
  const ApplyParamOption& apply_;
  lexyacc::YaccLib yacc_;
  std::vector<int> states_;
  std::vector<lexyacc::ShortString> values_;
  TParamKeyword keyword_ = TParamKeyword::UserId;
};

}  // namespace

const TParamKeywordEntry* FindParamKeyword(std::span<const TParamKeywordEntry> keywords,
                                           std::string_view word) {
  const std::string key = platform::asciiUpperCased(word);
  auto it = std::lower_bound(
      keywords.begin(), keywords.end(), key,
      [](const TParamKeywordEntry& e, const std::string& k) { return e.name < std::string_view(k); });
  if (it == keywords.end() || it->name != key) return nullptr;
  return &*it;
}

int RunParamParser(std::string_view text, std::span<const TParamKeywordEntry> keywords,
                   const ApplyParamOption& apply, ParseFailure& failure) {
  // The runtime reads a zero byte as the end of the input and would drop what follows it.
  if (size_t zero = text.find('\0'); zero != std::string_view::npos) {
    failure.errorpos = static_cast<int32_t>(zero) + 1;
    failure.errortext.clear();
    return 1;
  }
  ParamLexer lexer(text);
  int result = 1;
  try {
    Parser parser(lexer, keywords, apply);
    result = parser.Run();
  } catch (const ParamLexer::Fatal&) {
    // The scanner's limits (a token too long for its text buffer) end the parse like any
    // other bad input: the caller shows where it stopped.
    result = 1;
  }
  if (result != 0) {
    failure.errorpos = lexer.Column();
    failure.errortext = lexer.TokenText();
  }
  return result;
}

int RunParamParser(std::string_view text, std::span<const TParamKeywordEntry> keywords,
                   const ApplyParamOption& apply, const ParamOptionsProblem& problem, ParseFailure& failure) {
  int result = RunParamParser(text, keywords, apply, failure);
  if (result != 0) return result;
  std::string why = problem();
  if (why.empty()) return 0;
  failure.errorpos = static_cast<int32_t>(text.size()) + 1;
  failure.errortext = std::move(why);
  return 1;
}

}  // namespace tasks
