#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/foundation/simd.h"
#include "core/foundation/simd_reference.h"
#include "core/foundation/simd_test_targets.h"

namespace le::simd {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// Values with the special cases sprinkled in: infinities, NaN, zeros of both
// signs, so that every lane of a vector meets one somewhere.
std::vector<float> values(std::size_t n, unsigned seed, bool positive) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(positive ? 0.0f : -30.0f, 30.0f);
  const float special[] = {kInf, -kInf, kNaN, 0.0f, -0.0f};
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = i % 7 == 3 ? special[(i / 7) % 5] : dist(rng);
  return v;
}

TEST(Softmax, MaxMatchesStdMaxOnEveryTarget) {
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{16}, std::size_t{37}, std::size_t{256}}) {
    const std::vector<float> p = values(n, 1, false), start = values(n, 2, false);
    std::vector<float> want = start;
    for (std::size_t i = 0; i < n; ++i) want[i] = std::max(want[i], p[i]);
    test::forEachTarget([&](int64_t) {
      std::vector<float> got = start;
      softmaxMax(got.data(), p.data(), n);
      EXPECT_TRUE(sameBits(got, want)) << "n " << n;
    });
  }
}

TEST(Softmax, ShareMatchesReferenceOnEveryTarget) {
  // Sums that are zero, negative, infinite or NaN take the even share.
  for (std::size_t n : {std::size_t{1}, std::size_t{3}, std::size_t{17}, std::size_t{64}, std::size_t{259}}) {
    const std::size_t stride = n + 5;
    const std::vector<float> p0 = values(n, 3, true), sum = values(n, 4, false);
    std::vector<std::uint8_t> rgb(3 * n);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i * 37 % 256);
    const std::vector<float> acc0 = values(3 * stride, 5, true);
    for (bool withRgb : {true, false}) {
      std::vector<float> wantP = p0, wantAcc = acc0;
      reference::softmaxShare(wantP.data(), sum.data(), 0.25f, withRgb ? rgb.data() : nullptr, wantAcc.data(), stride,
                              n);
      test::forEachTarget([&](int64_t) {
        std::vector<float> p = p0, acc = acc0;
        softmaxShare(p.data(), sum.data(), 0.25f, withRgb ? rgb.data() : nullptr, acc.data(), stride, n);
        EXPECT_TRUE(sameBits(p, wantP)) << "n " << n;
        EXPECT_TRUE(sameBits(acc, wantAcc)) << "n " << n << (withRgb ? " with colour" : "");
      });
    }
  }
}

TEST(Softmax, ReferenceSharesEvenlyWhenTheSumIsUnusable) {
  float p[4] = {1.0f, 2.0f, 3.0f, 4.0f};
  const float sum[4] = {2.0f, 0.0f, kInf, kNaN};
  const std::uint8_t rgb[12] = {255, 0, 51, 255, 0, 51, 255, 0, 51, 255, 0, 51};
  float acc[12] = {};
  reference::softmaxShare(p, sum, 0.5f, rgb, acc, 4, 4);
  EXPECT_EQ(p[0], 0.5f);
  EXPECT_EQ(p[1], 0.5f);
  EXPECT_EQ(p[2], 0.5f);
  EXPECT_EQ(p[3], 0.5f);
  EXPECT_EQ(acc[0], 0.5f);                 // red 255
  EXPECT_EQ(acc[4], 0.0f);                 // green 0
  EXPECT_EQ(acc[8], 0.5f * (51 / 255.0f));  // blue 51
}

}  // namespace
}  // namespace le::simd
