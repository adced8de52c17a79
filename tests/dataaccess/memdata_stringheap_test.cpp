#include "dataaccess/memdata_stringheap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "dataaccess/daconsts.h"
#include "tests/dataaccess/dataaccess_testing.h"

namespace dataaccess {
namespace {

struct Live {
  char* buf;
  size_t size;
  char fill;
  int refs;
};

// Random allocations, extra references and disposals: no two live buffers overlap (each keeps
// its fill), a buffer is reused only after its last disposal, and a disposal past the last
// reference is refused.
TEST(TStringHeapTest, RandomBuffersNeverOverlapAndReferencesCount) {
  const uint32_t seed = dataaccess_testing::testSeed();
  std::mt19937 rng(seed);
  TStringHeap heap;
  std::vector<Live> live;
  for (int step = 0; step < 20000; ++step) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
    const unsigned op = rng() % 8;
    if (op < 4 || live.empty()) {
      const size_t size = 1 + rng() % (rng() % 10 ? 300 : 2600);
      Live l{heap.NewBuf(size), size, char(rng()), 1};
      ASSERT_GE(TStringHeap::BufSize(l.buf), size);
      ASSERT_EQ(reinterpret_cast<uintptr_t>(l.buf) % 2, 0u);
      std::memset(l.buf, l.fill, size);
      live.push_back(l);
    } else {
      const size_t i = rng() % live.size();
      if (op == 4) {
        heap.AddRefStr(live[i].buf);
        ++live[i].refs;
      } else {
        heap.DisposeBuf(live[i].buf);
        if (--live[i].refs == 0) live.erase(live.begin() + long(i));
      }
    }
    if (step % 1000 == 999) {
      for (const Live& l : live)
        for (size_t k = 0; k < l.size; ++k) ASSERT_EQ(l.buf[k], l.fill);
    }
  }
  char* once = heap.NewBuf(10);
  heap.DisposeBuf(once);
  EXPECT_THROW(heap.DisposeBuf(once), EDAAssertionFailed);
  for (Live& l : live)
    while (l.refs-- > 0) heap.DisposeBuf(l.buf);
}

}  // namespace
}  // namespace dataaccess
