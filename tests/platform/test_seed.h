// The seed of every property and model test: VELMARON_SEED replays a run, so a failure that
// names its seed can be reproduced.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace platform::testing {

// VELMARON_SEED when set, else `fallback`.
inline uint64_t testSeed(uint64_t fallback) {
  if (const char* s = std::getenv("VELMARON_SEED")) return std::strtoull(s, nullptr, 10);
  return fallback;
}

// VELMARON_SEED when set, else a fresh one; printed either way, so that a failure replays.
inline uint32_t testSeed() {
  const uint32_t seed = uint32_t(testSeed(std::random_device{}()));
  std::printf("VELMARON_SEED=%u\n", seed);
  // A run that dies (a sanitizer's report, an abort) never flushes a piped stdout.
  std::fflush(stdout);
  return seed;
}

}  // namespace platform::testing
