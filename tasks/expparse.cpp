#include "tasks/expparse.h"

#include <string>

#include "tasks/explex.h"

namespace tasks {

int ExpParse(std::string_view text, TExpOptions& options, ParseFailure& failure) {
  return ParseProgramOptions(text, ExpKeywords, options, SetExpOption, ExpParamsProblem, &TExpOptions::owner,
                             "owner", failure);
}

}  // namespace tasks
