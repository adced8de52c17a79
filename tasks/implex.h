// The keyword table of import parameter texts.
#pragma once

#include <array>

#include "tasks/paramparse.h"

namespace tasks {

// Sorted by name, for the lookup of FindParamKeyword.
extern const std::array<TParamKeywordEntry, 25> ImpKeywords;

}  // namespace tasks
