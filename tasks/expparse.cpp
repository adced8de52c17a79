#include "tasks/expparse.h"

#include <string>
#include <utility>

#include "tasks/explex.h"

namespace tasks {

int ExpParse(std::string_view text, TExpOptions& options, ParseFailure& failure) {
  int result = RunParamParser(
      text, ExpKeywords,
      [&options](TParamKeyword keyword, std::string_view value) {
        return SetExpOption(keyword, value, options);
      },
      failure);
  if (result != 0) return result;
  // Options that no parameter text carries would be written back as a text that means something
  // else, or nothing: the text is refused, and the reason takes the place of the token text.
  std::string problem = ExpParamsProblem(options);
  if (problem.empty()) return 0;
  failure.errorpos = static_cast<int32_t>(text.size()) + 1;
  failure.errortext = std::move(problem);
  return 1;
}

}  // namespace tasks
