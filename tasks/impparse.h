// The parser of import parameter texts.
#pragma once

#include <string_view>

#include "tasks/u_task1.h"

namespace tasks {

// Parses `text` as import parameters into `options`, which should hold the defaults. Returns 0 on
// success; otherwise non-zero with `failure` filled, and `options` holds what was applied before
// the failure. A text whose options ImpParamsProblem finds no parameter text for is refused too,
// with `failure.errorpos` just after the text and `failure.errortext` that reason; so is a text
// that asks for full mode and names users or tables as well.
int ImpParse(std::string_view text, TImpOptions& options, ParseFailure& failure);

}  // namespace tasks
