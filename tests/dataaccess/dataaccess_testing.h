// Helpers the data-access tests share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace dataaccess_testing {

// The seed of a property test: VELMARON_SEED when set, else a fresh one; printed either way so
// that a failure replays.
inline uint32_t testSeed() {
  const char* s = std::getenv("VELMARON_SEED");
  const uint32_t seed = s ? uint32_t(std::strtoul(s, nullptr, 10)) : std::random_device{}();
  std::printf("VELMARON_SEED=%u\n", seed);
  return seed;
}

}  // namespace dataaccess_testing
