// Ranges, find and navigation of the data cursor, run against the model of cursor_model.h.
#include "tests/engine/tables/cursor_model.h"

namespace {

TEST(CursorModelTest, RandomOperationsOnOneToThreeCursorsMatchTheModel) {
  const uint32_t seed = storage_test::testSeed();
  cursor_model::Harness harness(seed, 1 + int(seed % 3));
  harness.run(std::getenv("VELMARON_LONG") ? 5000 : 400);
}

}  // namespace
