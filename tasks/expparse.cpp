#include "tasks/expparse.h"

#include "tasks/explex.h"

namespace tasks {

int ExpParse(std::string_view text, TExpOptions& options, ParseFailure& failure) {
  return RunParamParser(
      text, ExpKeywords,
      [&options](TParamKeyword keyword, std::string_view value) {
        return SetExpOption(keyword, value, options);
      },
      [&options] { return ExpParamsProblem(options); }, failure);
}

}  // namespace tasks
