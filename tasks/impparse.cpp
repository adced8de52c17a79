#include "tasks/impparse.h"

#include <string>

#include "tasks/implex.h"

namespace tasks {

int ImpParse(std::string_view text, TImpOptions& options, ParseFailure& failure) {
  return ParseProgramOptions(text, ImpKeywords, options, SetImpOption, ImpParamsProblem,
                             &TImpOptions::fromuser, "fromuser", failure);
}

}  // namespace tasks
