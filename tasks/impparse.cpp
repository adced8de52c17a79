#include "tasks/impparse.h"

#include "tasks/implex.h"

namespace tasks {

int ImpParse(std::string_view text, TImpOptions& options, ParseFailure& failure) {
  return RunParamParser(
      text, ImpKeywords,
      [&options](TParamKeyword keyword, std::string_view value) {
        return SetImpOption(keyword, value, options);
      },
      [&options] { return ImpParamsProblem(options); }, failure);
}

}  // namespace tasks
