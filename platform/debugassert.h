// VELMARON_DEBUG_ASSERT(condition, why): an invariant of the code itself (not of a file or a
// peer, which may be damaged and are checked at run time in every build). In a build without
// NDEBUG (the Debug build, which the sanitizer tests use) a false condition prints where and why
// and aborts; in a release build the condition is not evaluated, so it may cost what it needs.
#pragma once

#ifdef NDEBUG
#define VELMARON_DEBUG_ASSERT(condition, why) ((void)0)
#else
#define VELMARON_DEBUG_ASSERT(condition, why) \
  ((condition) ? (void)0 : ::platform::debugAssertFailed(#condition, why, __FILE__, __LINE__))
#endif

namespace platform {

// Prints the broken invariant to standard error and aborts.
[[noreturn]] void debugAssertFailed(const char* condition, const char* why, const char* file, int line);

}  // namespace platform
