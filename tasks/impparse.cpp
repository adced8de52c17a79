#include "tasks/impparse.h"

#include <string>

#include "tasks/implex.h"

namespace tasks {

int ImpParse(std::string_view text, TImpOptions& options, ParseFailure& failure) {
  return RunParamParser(
      text, ImpKeywords,
      [&options](TParamKeyword keyword, std::string_view value) {
        return SetImpOption(keyword, value, options);
      },
      [&options] {
        // A later full=y (or inctype) does not empty the lists that an earlier keyword filled,
        // so the built command, which puts full=y first, would read back without it.
        if (options.full && (!options.fromuser.empty() || !options.tables.empty()))
          return std::string("full=y cannot be combined with fromuser or tables");
        return ImpParamsProblem(options);
      },
      failure);
}

}  // namespace tasks
