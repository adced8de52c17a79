// The parser of export parameter texts.
#pragma once

#include <string_view>

#include "tasks/u_task1.h"

namespace tasks {

// Parses `text` as export parameters into `options`, which should hold the defaults. Returns 0 on
// success; otherwise non-zero with `failure` filled, and `options` holds what was applied before
// the failure. A text whose options ExpParamsProblem finds no parameter text for is refused too,
// with `failure.errorpos` just after the text and `failure.errortext` that reason; so is a text
// that asks for full mode and names users or tables as well.
int ExpParse(std::string_view text, TExpOptions& options, ParseFailure& failure);

}  // namespace tasks
