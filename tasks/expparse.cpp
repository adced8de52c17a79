#include "tasks/expparse.h"

#include <string>

#include "tasks/explex.h"

namespace tasks {

int ExpParse(std::string_view text, TExpOptions& options, ParseFailure& failure) {
  return RunParamParser(
      text, ExpKeywords,
      [&options](TParamKeyword keyword, std::string_view value) {
        return SetExpOption(keyword, value, options);
      },
      [&options] {
        // A later full=y (or inctype) does not empty the lists that an earlier keyword filled,
        // so the built command, which puts full=y first, would read back without it.
        if (options.full && (!options.owner.empty() || !options.tables.empty()))
          return std::string("full=y cannot be combined with owner or tables");
        return ExpParamsProblem(options);
      },
      failure);
}

}  // namespace tasks
