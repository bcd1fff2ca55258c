#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/foundation/simd.h"
#include "core/foundation/simd_reference.h"
#include "core/foundation/simd_test_targets.h"

namespace le::simd {
namespace {

struct Tables {
  std::vector<float> lanczos = std::vector<float>(32 * 8);
  std::vector<float> bilinear = std::vector<float>(32 * 2);
  Tables() {
    const double pi = 3.14159265358979323846;
    for (int p = 0; p < 32; ++p) {
      const double frac = p / 32.0;
      double sum = 0;
      double w[8];
      for (int t = 0; t < 8; ++t) {
        const double x = (t - 3) - frac;
        w[t] = x == 0 ? 1.0 : 4 * std::sin(pi * x) * std::sin(pi * x / 4) / (pi * pi * x * x);
        sum += w[t];
      }
      for (int t = 0; t < 8; ++t) lanczos[8 * p + t] = static_cast<float>(w[t] / sum);
      bilinear[2 * p] = static_cast<float>(1 - frac);
      bilinear[2 * p + 1] = static_cast<float>(frac);
    }
  }
};

struct Crop {
  int s;
  std::vector<float> src;
  std::vector<std::uint8_t> mask;
  Crop(int size, unsigned seed) : s(size), src(4 * size * size), mask(size * size) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> v(-20.0f, 280.0f);  // overshoot exercises the clamps
    for (float& x : src) x = v(rng);
    for (std::size_t i = 0; i < mask.size(); ++i) {
      const unsigned r = rng() % 4;
      mask[i] = r == 0 ? 0 : (r == 1 ? 255 : static_cast<std::uint8_t>(rng()));
    }
  }
};

// Source positions (1/1024 units) for one row: the interior, every border
// band, just inside and just outside each edge.
void makePositions(int s, std::vector<int>& xs, std::vector<int>& ys, std::mt19937& rng) {
  const int edge[] = {-2048, -1025, -1024, -1000, -1, 0, 1023, 1024, 3 * 1024 - 1, 3 * 1024, 4 * 1024,
                      (s - 5) * 1024, (s - 4) * 1024 + 512, (s - 1) * 1024, s * 1024 - 1, s * 1024, s * 1024 + 7};
  for (int ex : edge) {
    for (int ey : edge) {
      xs.push_back(ex);
      ys.push_back(ey);
    }
  }
  std::uniform_int_distribution<int> pos(-1024, s * 1024 - 1);
  for (int i = 0; i < 400; ++i) {
    xs.push_back(pos(rng));
    ys.push_back(pos(rng));
  }
}

TEST(PasteLanczos8Row, EveryTargetMatchesReferenceBytes) {
  const Tables tab;
  std::mt19937 rng(5);
  for (int s : {1, 8, 9, 24}) {
    const Crop crop(s, static_cast<unsigned>(s));
    std::vector<int> xs, ys;
    makePositions(s, xs, ys, rng);
    const int count = static_cast<int>(xs.size());
    const int x0 = 3;
    std::vector<std::uint8_t> base(3 * (x0 + count + 2));
    for (auto& b : base) b = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> want = base;
    reference::pasteLanczos8Row(crop.src.data(), s, crop.mask.data(), tab.lanczos.data(), tab.bilinear.data(),
                                xs.data(), ys.data(), 0, 0, x0, x0 + count - 1, want.data());
    ASSERT_NE(want, base);
    test::forEachTarget([&](int64_t) {
      std::vector<std::uint8_t> got = base;
      pasteLanczos8Row(crop.src.data(), s, crop.mask.data(), tab.lanczos.data(), tab.bilinear.data(), xs.data(),
                       ys.data(), 0, 0, x0, x0 + count - 1, got.data());
      ASSERT_EQ(got, want) << "s " << s;
      // The row base shifts every position; x1 < x0 touches nothing.
      std::vector<std::uint8_t> shifted = base, shiftedWant = base;
      pasteLanczos8Row(crop.src.data(), s, crop.mask.data(), tab.lanczos.data(), tab.bilinear.data(), xs.data(),
                       ys.data(), 700, -300, x0, x0 + count - 1, shifted.data());
      reference::pasteLanczos8Row(crop.src.data(), s, crop.mask.data(), tab.lanczos.data(), tab.bilinear.data(),
                                  xs.data(), ys.data(), 700, -300, x0, x0 + count - 1, shiftedWant.data());
      ASSERT_EQ(shifted, shiftedWant);
      std::vector<std::uint8_t> none = base;
      pasteLanczos8Row(crop.src.data(), s, crop.mask.data(), tab.lanczos.data(), tab.bilinear.data(), xs.data(),
                       ys.data(), 0, 0, x0, x0 - 1, none.data());
      ASSERT_EQ(none, base);
    });
  }
}

TEST(PasteLanczos8Row, OutsideAndTransparentPixelsStayAndOpaqueOnesTakeTheCrop) {
  const Tables tab;
  const int s = 16;
  std::vector<float> src(4 * s * s);
  for (int i = 0; i < s * s; ++i) {
    src[4 * i] = 200.0f;
    src[4 * i + 1] = 100.0f;
    src[4 * i + 2] = 300.0f;  // clamped to 255
    src[4 * i + 3] = std::nanf("");  // the fourth value is never used
  }
  std::vector<std::uint8_t> mask(s * s, 255);
  mask[5 * s + 5] = 0;
  mask[5 * s + 6] = 0;
  mask[6 * s + 5] = 0;
  mask[6 * s + 6] = 0;
  // Positions: interior (phase 0), left of -1, at s, on the transparent
  // block, and on the left border column with half the mask weight.
  const std::vector<int> xs = {8 * 1024, -1025, s * 1024, 5 * 1024 + 512, -512};
  const std::vector<int> ys = {8 * 1024, 8 * 1024, 8 * 1024, 5 * 1024 + 512, 8 * 1024};
  test::forEachTarget([&](int64_t) {
    std::vector<std::uint8_t> row(3 * 5, 10);
    pasteLanczos8Row(src.data(), s, mask.data(), tab.lanczos.data(), tab.bilinear.data(), xs.data(), ys.data(), 0,
                     0, 0, 4, row.data());
    EXPECT_EQ(row[0], 200);
    EXPECT_EQ(row[1], 100);
    EXPECT_EQ(row[2], 255);
    for (int i = 3; i < 12; ++i) EXPECT_EQ(row[i], 10) << i;
    // Alpha = round(0.5 * 255) / 255 = 128/255 over a row that the border
    // renormalises only partly: between the old value and the crop's.
    EXPECT_GT(row[12], 10);
    EXPECT_LT(row[12], 200);
  });
}

}  // namespace
}  // namespace le::simd
