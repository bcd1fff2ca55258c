// The compositor's bytes must not depend on how many workers split its
// passes. The core thread count is fixed once per process, so the test runs
// this executable again under each count and compares what the runs write.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/foundation/pool.h"
#include "core/paste/paste.h"
#include "core/paste/paste_testing.h"
#include "tests/test_support.h"

namespace le {
namespace {

using paste::testing::makeCrop;
using paste::testing::makeFrame;
using paste::testing::makeMask;
using paste::testing::ScopedEnv;

constexpr const char* kOutVar = "LE_PASTE_TEST_OUT";

// Frames of all three sampling modes, large enough that every pass is cut
// into several slices, followed by the sharpened planes.
std::vector<uint8_t> compositesOfAllModes() {
  const int s = 200, w = 420, h = 330;
  const std::vector<float> crop = makeCrop(s, 41);
  const float m[6] = {1.31f, -0.29f, 70.4f, 0.29f, 1.31f, 8.6f};
  std::vector<uint8_t> out;
  for (const char* mode : {"0", "1", "2"}) {
    ScopedEnv fast("LE_PASTE_FAST", mode);
    Paste p(makeMask(s, 20), s, Unsharp{1.3f, 2.0f, 13});
    std::vector<uint8_t> frame = makeFrame(w, h, 42);
    p.composite(crop.data(), 255.0f, m, frame.data(), w, h);
    out.insert(out.end(), frame.begin(), frame.end());
    const auto* planes = reinterpret_cast<const uint8_t*>(p.plane(0));
    out.insert(out.end(), planes, planes + 3 * sizeof(float) * s * s);
  }
  return out;
}

std::string selfPath() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, size_t(n));
}

// Child side: writes the composites when the parent asks for them.
TEST(PasteThreads, WritesCompositesForParent) {
  const char* out = std::getenv(kOutVar);
  if (!out) GTEST_SKIP() << "runs only as a child of ThreadCountsGiveIdenticalBytes";
  const std::vector<uint8_t> bytes = compositesOfAllModes();
  test::writeFile(out, bytes.data(), bytes.size());
  std::printf("threads=%d\n", pool::threads());
}

TEST(PasteThreads, ThreadCountsGiveIdenticalBytes) {
  const std::string self = selfPath();
  ASSERT_FALSE(self.empty());
  test::TempDir dir;
  std::vector<uint8_t> first;
  for (int n : {1, 2, 4}) {
    const std::string file = dir.file("threads" + std::to_string(n));
    const std::string cmd = "FACECORE_THREADS=" + std::to_string(n) + " " + kOutVar + "='" + file + "' " +
                            test::programCommand(self) +
                            " --gtest_filter=PasteThreads.WritesCompositesForParent > /dev/null";
    ASSERT_EQ(test::runCommand(cmd), 0) << cmd;
    const std::vector<unsigned char> bytes = test::readFile(file);
    ASSERT_FALSE(bytes.empty());
    if (first.empty())
      first.assign(bytes.begin(), bytes.end());
    else
      EXPECT_TRUE(std::vector<uint8_t>(bytes.begin(), bytes.end()) == first) << n << " threads differ from 1";
  }
}

}  // namespace
}  // namespace le
