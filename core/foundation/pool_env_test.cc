#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/foundation/pool.h"

namespace le::pool {
namespace {

// The count is fixed on first use, so this binary sets the variables before
// anything asks for it.
TEST(PoolEnvironment, FacecoreThreadsWinsAndOneThreadRunsSerially) {
  ::setenv("FACECORE_THREADS", "1", 1);
  ::setenv("LE_PASTE_THREADS", "2", 1);
  EXPECT_EQ(threads(), 1);
  ::setenv("FACECORE_THREADS", "2", 1);
  EXPECT_EQ(threads(), 1);  // never changes afterwards
  EXPECT_EQ(parts(1000, 1), 1);
  std::vector<std::thread::id> ran;
  parallelRange(1000, 1, [&](std::uint64_t b, std::uint64_t e) {
    EXPECT_EQ(b, 0u);
    EXPECT_EQ(e, 1000u);
    ran.push_back(std::this_thread::get_id());
  });
  ASSERT_EQ(ran.size(), 1u);
  EXPECT_EQ(ran[0], std::this_thread::get_id());
}

}  // namespace
}  // namespace le::pool
