#include "tasks/paramparse.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

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
    {0, symCommand},                                   // unused
    {2, symCommand}, {1, symCommand},                  // 1, 2
    {1, symUserid},  {1, symUserid},                   // 3, 4
    {3, symParams},  {4, symParams},                   // 5, 6
    {3, symValues},  {1, symValues},                   // 7, 8
    {3, symValue},   {1, symValue},                    // 9, 10
    {1, symAtom},    {1, symAtom},    {1, symAtom},    // 11, 12, 13
    {1, symKw},                                        // 14
};

enum ActionKind { actError, actShift, actReduce, actAccept };
struct Action {
  ActionKind kind;
  int arg;
};

// States whose only action is one reduction reduce without reading a token.
int defaultReduction(int state) {
  switch (state) {
    case 6: return 4;
    case 8: return 14;
    case 13: return 8;
    case 14: return 10;
    case 16: return 11;
    case 17: return 12;
    case 18: return 13;
    case 22: return 7;
    case 23: return 9;
    default: return 0;
  }
}

// The value-starting shifts shared by every state that expects a value.
Action valueShift(int token) {
  switch (token) {
    case tokLParen: return {actShift, 15};
    case tokNumber: return {actShift, 16};
    case tokString: return {actShift, 17};
    case tokWord: return {actShift, 18};
    default: return {actError, 0};
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
    case symCommand: return 1;
    case symUserid: return 2;
    case symParams: return state == 2 ? 7 : 3;
    case symKw: return (state == 3 || state == 7) ? 9 : 4;
    case symValues: return state == 10 ? 12 : state == 11 ? 19 : 21;
    case symValue: return state == 20 ? 22 : 13;
    case symAtom: return 14;
  }
  return 0;
}

class Parser {
 public:
  Parser(ParamLexer& lexer, std::span<const TParamKeywordEntry> keywords,
         const ApplyParamOption& apply)
      : lexer_(lexer), keywords_(keywords), apply_(apply) {}

  // 0 accepted, 1 failed.
  int Run() {
    int state = 0;
    std::string value;
    for (;;) {
      if (static_cast<int>(states_.size()) >= kParamParserStackSize) return 1;
      states_.push_back(state);
      values_.push_back(std::move(value));
      value.clear();

      for (;;) {
        int rule = defaultReduction(state);
        Action act{actReduce, rule};
        if (rule == 0) {
          if (lookahead_ < 0) {
            lookahead_ = lexer_.Lex();
            if (lookahead_ < 0) lookahead_ = tokEnd;
          }
          act = action(state, lookahead_);
        }
        if (act.kind == actError) return 1;
        if (act.kind == actAccept) return 0;
        if (act.kind == actShift) {
          state = act.arg;
          value = lexer_.Value();
          lookahead_ = -1;
          break;  // push the new state
        }
        const Rule& r = kRules[act.arg];
        // The result value is the first right-hand value.
        value = values_[values_.size() - r.length];
        if (!Reduce(act.arg, value)) return 1;
        states_.resize(states_.size() - r.length);
        values_.resize(values_.size() - r.length);
        state = gotoState(states_.back(), r.lhs);
        break;  // push the goto state
      }
    }
  }

 private:
  bool Reduce(int rule, const std::string& value) {
    switch (rule) {
      case 3:
      case 4:
        return apply_(TParamKeyword::UserId, value);
      case 11:
      case 12:
      case 13:
        return apply_(keyword_, value);
      case 14: {
        const TParamKeywordEntry* entry = FindParamKeyword(keywords_, value);
        if (entry == nullptr) return false;
        keyword_ = entry->code;
        return true;
      }
      default:
        return true;
    }
  }

  ParamLexer& lexer_;
  std::span<const TParamKeywordEntry> keywords_;
  const ApplyParamOption& apply_;
  std::vector<int> states_;
  std::vector<std::string> values_;
  int lookahead_ = -1;
  TParamKeyword keyword_ = TParamKeyword::UserId;
};

}  // namespace

const TParamKeywordEntry* FindParamKeyword(std::span<const TParamKeywordEntry> keywords,
                                           std::string_view word) {
  std::string key(word);
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto it = std::lower_bound(keywords.begin(), keywords.end(), key,
                             [](const TParamKeywordEntry& e, const std::string& k) {
                               return e.name < std::string_view(k);
                             });
  if (it == keywords.end() || it->name != key) return nullptr;
  return &*it;
}

int RunParamParser(std::string_view text, std::span<const TParamKeywordEntry> keywords,
                   const ApplyParamOption& apply, ParseFailure& failure) {
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

}  // namespace tasks
