// The field classes of the Oracle-only column types, and their registration with the dataset
// layer.
//
// Not thread-safe: a dataset and its fields are used by one thread.
#pragma once

#include "dataset/fields.h"

namespace oracle {

// Registers the Oracle field classes for their field types; once per process, any thread.
void RegisterOraFieldClasses();

}  // namespace oracle
