// The keyword table of export parameter texts.
#pragma once

#include <array>

#include "tasks/paramparse.h"

namespace tasks {

// Sorted by name, for the lookup of FindParamKeyword.
extern const std::array<TParamKeywordEntry, 23> ExpKeywords;

}  // namespace tasks
