// Test helper: a double-precision bilinear/border/align-corners-0 grid
// sampler, and for each output value a bound on how far any correct
// single-precision implementation may land from it. Samplers are checked
// against the reference with that bound rather than against each other, so
// ORT builds that round differently (x86-64 and arm64) pass or fail on the
// same argument.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace le::rtest {

// One output value of the reference and the most a float sampler may differ.
struct BilinearSample {
  double value = 0.0;
  double bound = 0.0;
};

// Samples plane `img` (H x W, row-major) at grid point (gx, gy) in [-1, 1]
// coordinates: x = ((gx + 1) W - 1) / 2, clamped into the image.
//
// The bound adds two float error sources:
// - the coordinate: a float evaluation of x takes about four roundings
//   (add, multiply, subtract, halve or an equivalent order), each at most
//   u = 2^-24 of a value no larger than (|gx| + 1) W / 2 + 1, so
//   |dx| <= 4u ((|gx| + 1) W / 2 + 1). The output moves with x at most by the
//   largest horizontal step between neighbouring pixels around the taps
//   (the cell beside may be taken when the rounding crosses a pixel edge);
//   likewise for y.
// - the blend: the weights (1 - fx)(1 - fy) ... take two roundings each and
//   the four-term sum three, each relative u, so at most 8u times the largest
//   tap magnitude.
inline BilinearSample bilinearReference(const float* img, int64_t H, int64_t W, float gx, float gy) {
  constexpr double u = 1.0 / (1 << 24);
  auto px = [&](int64_t r, int64_t c) {
    r = std::clamp<int64_t>(r, 0, H - 1);
    c = std::clamp<int64_t>(c, 0, W - 1);
    return double(img[size_t(r * W + c)]);
  };
  const double xr = ((double(gx) + 1.0) * double(W) - 1.0) / 2.0;
  const double yr = ((double(gy) + 1.0) * double(H) - 1.0) / 2.0;
  const double x = std::clamp(xr, 0.0, double(W - 1));
  const double y = std::clamp(yr, 0.0, double(H - 1));
  const int64_t x0 = int64_t(std::floor(x)), y0 = int64_t(std::floor(y));
  const double fx = x - double(x0), fy = y - double(y0);
  BilinearSample s;
  s.value = (1 - fx) * (1 - fy) * px(y0, x0) + fx * (1 - fy) * px(y0, x0 + 1) + (1 - fx) * fy * px(y0 + 1, x0) +
            fx * fy * px(y0 + 1, x0 + 1);

  double stepX = 0.0, stepY = 0.0, taps = 0.0;
  for (int64_t r = y0 - 1; r <= y0 + 2; ++r)
    for (int64_t c = x0 - 1; c <= x0 + 2; ++c) {
      stepX = std::max(stepX, std::abs(px(r, c + 1) - px(r, c)));
      stepY = std::max(stepY, std::abs(px(r + 1, c) - px(r, c)));
    }
  for (int64_t r = y0; r <= y0 + 1; ++r)
    for (int64_t c = x0; c <= x0 + 1; ++c) taps = std::max(taps, std::abs(px(r, c)));
  const double dx = 4 * u * ((std::abs(double(gx)) + 1) * double(W) / 2 + 1);
  const double dy = 4 * u * ((std::abs(double(gy)) + 1) * double(H) / 2 + 1);
  s.bound = stepX * dx + stepY * dy + 8 * u * taps;
  return s;
}

// Largest ratio of |got - reference| to the bound over a batch of planar
// images [N, C, H, W] sampled with grids [N, H, W, 2]; above 1 is a fault.
inline double worstBilinearRatio(const std::vector<float>& src, const std::vector<float>& grid,
                                 const std::vector<float>& got, int64_t N, int64_t C, int64_t H, int64_t W) {
  double worst = 0.0;
  for (int64_t n = 0; n < N; ++n)
    for (int64_t c = 0; c < C; ++c) {
      const float* plane = src.data() + (n * C + c) * H * W;
      for (int64_t p = 0; p < H * W; ++p) {
        const float* g = grid.data() + (n * H * W + p) * 2;
        const BilinearSample s = bilinearReference(plane, H, W, g[0], g[1]);
        const double err = std::abs(double(got[size_t((n * C + c) * H * W + p)]) - s.value);
        worst = std::max(worst, s.bound > 0 ? err / s.bound : (err > 0 ? HUGE_VAL : 0.0));
      }
    }
  return worst;
}

}  // namespace le::rtest
