// The grammar that the export and import parameter texts share:
//
//   command -> userid params | params
//   userid  -> WORD | STRING                 applies USERID with the text
//   params  -> kw "=" values | params kw "=" values
//   values  -> values "," value | value
//   value   -> "(" values ")" | atom
//   atom    -> NUMBER | STRING | WORD        applies the current keyword with the text
//   kw      -> WORD                          looks the word up; it becomes the current keyword
//
// The two programs differ only in their keyword table and in how a value is applied.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "tasks/paramtokens.h"
#include "tasks/u_unitask.h"

namespace tasks {

struct TParamKeywordEntry {
  std::string_view name;  // upper case, at most 30 characters
  TParamKeyword code;
};

// Applies one value of the current keyword; false refuses it and fails the parse.
using ApplyParamOption = std::function<bool(TParamKeyword, std::string_view)>;

// Deepest nesting of the parser's stack; a deeper text fails to parse.
constexpr int kParamParserStackSize = 1024;

// Parses `text` (all of it; it is not cut) and applies, in order, the user id and every value
// through `apply`. `keywords` must be sorted by name. Returns 0 when the whole text is accepted.
// Otherwise returns 1 and fills `failure` with the scanner runtime's column (counted from the
// start of the whole text) and its token text at the point of failure; values applied before the
// failure have been applied. A token too long for the runtime fails the parse the same way, and
// a zero byte fails it at its own position.
int RunParamParser(std::string_view text, std::span<const TParamKeywordEntry> keywords,
                   const ApplyParamOption& apply, ParseFailure& failure);

// Why the options applied so far could not be written back as a parameter text; empty when they
// can (see ExpParamsProblem).
using ParamOptionsProblem = std::function<std::string()>;

// RunParamParser, and then a text whose options `problem` finds no parameter text for is refused
// too, with `failure.errorpos` just after the text and `failure.errortext` that reason: such
// options would be written back as a text that means something else, or nothing.
int RunParamParser(std::string_view text, std::span<const TParamKeywordEntry> keywords,
                   const ApplyParamOption& apply, const ParamOptionsProblem& problem, ParseFailure& failure);

// The parse of one program's options (TExpOptions, TImpOptions): RunParamParser applying each
// value to `options` through `setOption`, then the options' `problem`. Full mode beside named
// users (the member `users`, whose keyword is `usersKeyword`) or tables is refused first: a later
// full=y does not empty the lists an earlier keyword filled, so the built command, which puts
// full=y first, would read back without it.
template <class Options>
int ParseProgramOptions(std::string_view text, std::span<const TParamKeywordEntry> keywords, Options& options,
                        bool (*setOption)(TParamKeyword, std::string_view, Options&),
                        std::string (*problem)(const Options&), std::string Options::*users,
                        std::string_view usersKeyword, ParseFailure& failure) {
  return RunParamParser(
      text, keywords,
      [&](TParamKeyword keyword, std::string_view value) { return setOption(keyword, value, options); },
      [&] {
        if (options.full && (!(options.*users).empty() || !options.tables.empty()))
          return "full=y cannot be combined with " + std::string(usersKeyword) + " or tables";
        return problem(options);
      },
      failure);
}

// Finds `word`, in any case, in the sorted table; nullptr when it is not there.
const TParamKeywordEntry* FindParamKeyword(std::span<const TParamKeywordEntry> keywords,
                                           std::string_view word);

}  // namespace tasks
