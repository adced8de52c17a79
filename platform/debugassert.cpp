#include "platform/debugassert.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

void debugAssertFailed(const char* condition, const char* why, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s (%s)\n", file, line, why, condition);
  std::fflush(stderr);
  std::abort();
}

}  // namespace platform
