// Once warm, a composite allocates nothing: its scratch arrays are reused and
// the callables it hands to the worker pool fit inside std::function.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "core/paste/paste.h"
#include "core/paste/paste_testing.h"

namespace {
std::atomic<long> gAllocations{0};
}  // namespace

void* operator new(std::size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
// GCC cannot see that the replaced operator new above uses malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace le {
namespace {

using paste::testing::makeCrop;
using paste::testing::makeFrame;
using paste::testing::makeMask;
using paste::testing::ScopedEnv;

TEST(PasteAllocation, WarmCompositeAllocatesNothing) {
  const int s = 160, w = 480, h = 360;
  const std::vector<float> crop = makeCrop(s, 51);
  const float wide[6] = {1.2f, -0.3f, 90.2f, 0.3f, 1.2f, 20.7f};
  const float narrow[6] = {0.6f, 0.1f, 200.5f, -0.1f, 0.6f, 150.1f};
  for (const char* mode : {"0", "1", "2"}) {
    ScopedEnv fast("LE_PASTE_FAST", mode);
    Paste p(makeMask(s, 16), s, Unsharp{1.3f, 2.0f, 13});
    std::vector<uint8_t> frame = makeFrame(w, h, 52);
    const long cold = gAllocations.load();
    p.composite(crop.data(), 255.0f, wide, frame.data(), w, h);  // grows the column tables
    EXPECT_GT(gAllocations.load() - cold, 0) << "the counter sees nothing";
    const long before = gAllocations.load();
    for (int i = 0; i < 3; ++i) {
      p.composite(crop.data(), 255.0f, wide, frame.data(), w, h);
      p.composite(crop.data(), 255.0f, narrow, frame.data(), w, h);
    }
    EXPECT_EQ(gAllocations.load() - before, 0) << "LE_PASTE_FAST=" << mode;
  }
}

}  // namespace
}  // namespace le
