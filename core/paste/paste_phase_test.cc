// Sub-pixel placement of the pasted crop against a double-precision reference
// written from the kernels' textbook definitions: each frame pixel must take
// the crop sampled at the nearest of the 32 phases to its exact position, in
// every resampling mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/paste/paste.h"
#include "core/paste/paste_testing.h"

namespace le {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Weights of the source samples around position ix + t, first sample first.
std::vector<double> lanczosWeights(double t) {  // samples ix - 3 .. ix + 4
  std::vector<double> w(8);
  double sum = 0;
  for (int i = 0; i < 8; ++i) {
    const double x = t + 3 - i;
    w[i] = x == 0 ? 1.0 : (std::sin(kPi * x) / (kPi * x)) * (std::sin(kPi * x / 4) / (kPi * x / 4));
    sum += w[i];
  }
  for (double& v : w) v /= sum;
  return w;
}

double keys(double x) {  // Keys cubic, a = -0.75
  const double a = -0.75;
  x = std::fabs(x);
  if (x < 1) return (a + 2) * x * x * x - (a + 3) * x * x + 1;
  if (x < 2) return a * x * x * x - 5 * a * x * x + 8 * a * x - 4 * a;
  return 0;
}

std::vector<double> bicubicWeights(double t) {  // samples ix - 1 .. ix + 2
  return {keys(1 + t), keys(t), keys(1 - t), keys(2 - t)};
}

std::vector<double> bilinearWeights(double t) { return {1 - t, t}; }  // samples ix, ix + 1

struct Kernel {
  int first;  // offset of the first sample from ix
  std::vector<double> (*weights)(double);
};

// Channel c of the crop (values 0..255) resampled at (u, v), its position
// rounded to the nearest 1/32 pixel, in double precision.
double reference(const std::vector<float>& crop, int s, int c, double u, double v, const Kernel& k) {
  const double qu = std::round(u * 32) / 32, qv = std::round(v * 32) / 32;
  const int ix = int(std::floor(qu)), iy = int(std::floor(qv));
  const std::vector<double> wx = k.weights(qu - ix), wy = k.weights(qv - iy);
  double sum = 0;
  for (size_t j = 0; j < wy.size(); ++j)
    for (size_t i = 0; i < wx.size(); ++i)
      sum += wy[j] * wx[i] * 255.0 * crop[(size_t(c) * s + iy + k.first + int(j)) * s + ix + k.first + int(i)];
  return sum;
}

TEST(PastePhase, HalfAndQuarterPixelOffsetsTakeTheNearestPhase) {
  const int s = 48, w = 96, h = 80;
  // White noise: neighbouring samples differ by up to the full range, so a
  // phase off by one (1/32 pixel) moves a value by several levels.
  std::vector<float> crop(3 * size_t(s) * s);
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (float& v : crop) v = unit(rng);
  const Kernel kernels[3] = {{-3, lanczosWeights}, {-1, bicubicWeights}, {0, bilinearWeights}};

  for (int mode = 0; mode < 3; ++mode) {
    paste::testing::ScopedEnv fast("LE_PASTE_FAST", std::to_string(mode));
    // No sharpening and an opaque mask: the frame takes the resampled crop.
    Paste p(std::vector<uint8_t>(size_t(s) * s, 255), s, Unsharp{0.0f, 1.0f, 1});
    ASSERT_EQ(p.fastMode(), mode);
    // Exactly on a half and a quarter pixel, and just short of them, where
    // truncating instead of rounding would fall one phase low.
    for (const auto& off : {std::pair<double, double>{0.5, 0.25}, {0.25, 0.5}, {0.49, 0.24}, {0.24, 0.49}}) {
      const float m[6] = {1, 0, float(20 - off.first), 0, 1, float(14 - off.second)};
      std::vector<uint8_t> frame(size_t(w) * h * 3, 7);
      p.composite(crop.data(), 255.0f, m, frame.data(), w, h);
      int worst = 0, checked = 0;
      for (int Y = 0; Y < h; ++Y)
        for (int X = 0; X < w; ++X) {
          const double u = X - double(m[2]), v = Y - double(m[5]);
          if (u < 4 || v < 4 || u > s - 6 || v > s - 6) continue;  // every tap inside the crop
          for (int c = 0; c < 3; ++c) {
            const double want = std::min(255.0, std::max(0.0, reference(crop, s, c, u, v, kernels[mode])));
            const int got = frame[(size_t(Y) * w + X) * 3 + c];
            worst = std::max(worst, std::abs(got - int(want)));
            ++checked;
          }
        }
      EXPECT_GT(checked, 3 * 30 * 30);
      EXPECT_LE(worst, 1) << "mode " << mode << ", offset (" << off.first << ", " << off.second << ")";
    }
  }
}

}  // namespace
}  // namespace le
