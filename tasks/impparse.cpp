#include "tasks/impparse.h"

#include <string>
#include <utility>

#include "tasks/implex.h"

namespace tasks {

int ImpParse(std::string_view text, TImpOptions& options, ParseFailure& failure) {
  int result = RunParamParser(
      text, ImpKeywords,
      [&options](TParamKeyword keyword, std::string_view value) {
        return SetImpOption(keyword, value, options);
      },
      failure);
  if (result != 0) return result;
  // Options that no parameter text carries would be written back as a text that means something
  // else, or nothing: the text is refused, and the reason takes the place of the token text.
  std::string problem = ImpParamsProblem(options);
  if (problem.empty()) return 0;
  failure.errorpos = static_cast<int32_t>(text.size()) + 1;
  failure.errortext = std::move(problem);
  return 1;
}

}  // namespace tasks
