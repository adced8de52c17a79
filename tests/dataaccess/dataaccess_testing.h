// Helpers the data-access tests share.
#pragma once

#include "tests/platform/test_seed.h"

namespace dataaccess_testing {

using platform::testing::testSeed;

}  // namespace dataaccess_testing
