#include "core/render/sampler_kernels.h"

#include "core/render/bilinear_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

namespace le {
namespace {

std::vector<float> randomVec(size_t n, uint32_t seed, float lo, float hi) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

// Independent double-precision reference: clamp the coordinate into the
// image, then blend the four neighbours.
double bilinearRef(const std::vector<double>& img, int64_t H, int64_t W, double x, double y) {
  x = std::min(std::max(x, 0.0), double(W - 1));
  y = std::min(std::max(y, 0.0), double(H - 1));
  const int64_t x0 = int64_t(std::floor(x)), y0 = int64_t(std::floor(y));
  const int64_t x1 = std::min(x0 + 1, W - 1), y1 = std::min(y0 + 1, H - 1);
  const double fx = x - x0, fy = y - y0;
  auto at = [&](int64_t r, int64_t c) { return img[size_t(r * W + c)]; };
  return (1 - fx) * (1 - fy) * at(y0, x0) + fx * (1 - fy) * at(y0, x1) + (1 - fx) * fy * at(y1, x0) +
         fx * fy * at(y1, x1);
}

double pixelCoord(float g, int64_t n) { return ((double(g) + 1.0) * double(n) - 1.0) / 2.0; }

TEST(GridSampleFast, StaysWithinTheFloatBoundOfTheBilinearBorderFormula) {
  const int64_t C = 3, H = 11, W = 7;
  const auto src = randomVec(size_t(C * H * W), 1, -2.f, 2.f);
  const auto grid = randomVec(size_t(H * W * 2), 2, -1.4f, 1.4f);
  std::vector<float> out(src.size());
  gridsample_fast(src.data(), grid.data(), out.data(), C, H, W);
  std::vector<float> grids;  // one grid per channel, as a batch of C one-channel images
  for (int64_t c = 0; c < C; ++c) grids.insert(grids.end(), grid.begin(), grid.end());
  EXPECT_LE(rtest::worstBilinearRatio(src, grids, out, C, 1, H, W), 1.0);
}

// The bound stays tight enough to catch a sampler a thousandth of a pixel off.
TEST(GridSampleFast, FloatBoundCatchesASmallCoordinateShift) {
  const int64_t H = 11, W = 7;
  const auto src = randomVec(size_t(H * W), 3, -2.f, 2.f);
  auto grid = randomVec(size_t(H * W * 2), 4, -0.9f, 0.9f);
  std::vector<float> out(src.size());
  for (size_t i = 0; i < grid.size(); i += 2) grid[i] += 2e-3f / W;  // x moves by 1e-3 pixels
  gridsample_fast(src.data(), grid.data(), out.data(), 1, H, W);
  for (size_t i = 0; i < grid.size(); i += 2) grid[i] -= 2e-3f / W;
  EXPECT_GT(rtest::worstBilinearRatio(src, grid, out, 1, 1, H, W), 1.0);
}

TEST(Samplers, CornersCentresAndOnePixelImages) {
  const int64_t H = 4, W = 8;
  const auto src = randomVec(size_t(3 * H * W), 3, 0.f, 1.f);
  std::vector<float> grid(size_t(H * W * 2)), a(src.size()), b(src.size());
  // Every output pixel samples its own centre: gx = (2i+1)/W - 1 is exact
  // for power-of-two sizes.
  for (int64_t y = 0; y < H; ++y)
    for (int64_t x = 0; x < W; ++x) {
      grid[size_t(2 * (y * W + x))] = (2.f * x + 1.f) / W - 1.f;
      grid[size_t(2 * (y * W + x) + 1)] = (2.f * y + 1.f) / H - 1.f;
    }
  gridsample_fast(src.data(), grid.data(), a.data(), 3, H, W);
  warpDirector(src.data(), grid.data(), b.data(), W, H);
  EXPECT_EQ(a, src);
  EXPECT_EQ(b, src) << "on a pixel centre every correction term vanishes";

  // Corners: (-1,-1) is pixel (0,0), (1,1) is (H-1, W-1), also far outside.
  const float corners[][2] = {{-1.f, -1.f}, {1.f, 1.f}, {-7.f, -3.f}, {5.f, 9.f}};
  const int64_t want[][2] = {{0, 0}, {H - 1, W - 1}, {0, 0}, {H - 1, W - 1}};
  for (int k = 0; k < 4; ++k) {
    for (int64_t p = 0; p < H * W; ++p) {
      grid[size_t(2 * p)] = corners[k][0];
      grid[size_t(2 * p + 1)] = corners[k][1];
    }
    gridsample_fast(src.data(), grid.data(), a.data(), 3, H, W);
    for (int64_t c = 0; c < 3; ++c)
      EXPECT_EQ(a[size_t(c * H * W + 5)], src[size_t(c * H * W + want[k][0] * W + want[k][1])]) << k;
  }

  // A 1x1 image returns its pixel for any grid point.
  const float one[3] = {0.25f, 0.5f, 0.75f};
  for (float g : {-1.f, -0.3f, 0.f, 0.9f, 1.f, 3.f}) {
    const float gp[2] = {g, -g};
    float o1[3], o2[3];
    gridsample_fast(one, gp, o1, 3, 1, 1);
    warpDirector(one, gp, o2, 1, 1);
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(o1[c], one[c]);
      EXPECT_EQ(o2[c], one[c]);
    }
  }
}

// The warp written out literally: second differences over the edge-clamped
// image, sampled bilinearly with border clamping, weighted by the unclamped
// fractions.
TEST(WarpDirector, MatchesTheSecondDifferenceCorrection) {
  const int64_t H = 9, W = 13;
  const auto src = randomVec(size_t(3 * H * W), 4, 0.f, 1.f);
  const auto grid = randomVec(size_t(H * W * 2), 5, -1.3f, 1.3f);
  std::vector<float> out(src.size());
  warpDirector(src.data(), grid.data(), out.data(), W, H);
  for (int64_t c = 0; c < 3; ++c) {
    auto s = [&](int64_t r, int64_t q) {
      r = std::min(std::max<int64_t>(r, 0), H - 1);
      q = std::min(std::max<int64_t>(q, 0), W - 1);
      return double(src[size_t(c * H * W + r * W + q)]);
    };
    std::vector<double> img(size_t(H * W)), dxx(img.size()), dyy(img.size()), dxxyy(img.size());
    for (int64_t r = 0; r < H; ++r)
      for (int64_t q = 0; q < W; ++q) {
        const size_t i = size_t(r * W + q);
        img[i] = s(r, q);
        dxx[i] = s(r, q - 1) - 2 * s(r, q) + s(r, q + 1);
        auto dy = [&](int64_t qq) { return s(r - 1, qq) - 2 * s(r, qq) + s(r + 1, qq); };
        dyy[i] = dy(q);
        dxxyy[i] = dy(q - 1) - 2 * dy(q) + dy(q + 1);
      }
    for (int64_t p = 0; p < H * W; ++p) {
      const double x = pixelCoord(grid[size_t(2 * p)], W), y = pixelCoord(grid[size_t(2 * p + 1)], H);
      const double fx = x - std::floor(x), fy = y - std::floor(y);
      const double hx = fx * (1 - fx) / 2, hy = fy * (1 - fy) / 2;
      const double want = bilinearRef(img, H, W, x, y) - hx * bilinearRef(dxx, H, W, x, y) -
                          hy * bilinearRef(dyy, H, W, x, y) + hx * hy * bilinearRef(dxxyy, H, W, x, y);
      ASSERT_NEAR(out[size_t(c * H * W + p)], want, 1e-5) << "c=" << c << " p=" << p;
    }
  }
}

TEST(Samplers, BandsTileTheImageAndClipAtTheBottom) {
  const int64_t C = 3, H = 37, W = 5;
  const auto src = randomVec(size_t(C * H * W), 6, 0.f, 1.f);
  const auto grid = randomVec(size_t(H * W * 2), 7, -1.f, 1.f);
  std::vector<float> whole(src.size()), banded(src.size(), -99.f), whole2(src.size()), banded2(src.size(), -99.f);
  gridsample_fast(src.data(), grid.data(), whole.data(), C, H, W);
  warpDirector(src.data(), grid.data(), whole2.data(), W, H);
  for (int64_t r0 = 0; r0 < H; r0 += 16) {
    gridsample_fast_band(src.data(), grid.data(), banded.data(), C, H, W, r0, r0 + 16);
    warpDirectorBand(src.data(), grid.data(), banded2.data(), W, H, r0, r0 + 16);
  }
  EXPECT_EQ(banded, whole);
  EXPECT_EQ(banded2, whole2);
  // A band only writes its own rows.
  std::vector<float> part(src.size(), -99.f);
  gridsample_fast_band(src.data(), grid.data(), part.data(), C, H, W, 3, 4);
  EXPECT_EQ(part[size_t(2 * W)], -99.f);
  EXPECT_EQ(part[size_t(3 * W)], whole[size_t(3 * W)]);
  EXPECT_EQ(part[size_t(4 * W)], -99.f);
}

TEST(WarpDirector, RefusesAnythingButThreeChannels) {
  EXPECT_NO_THROW(checkWarpDirectorChannels(3));
  try {
    checkWarpDirectorChannels(4);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "com.mirelund::WarpDirector: this node warps the director's 3-channel source and the graph handed "
                 "it C=4. REFUSING rather than writing a frame nobody asked for.");
  }
}

TEST(Samplers, WildGridValuesStayInsideTheImage) {
  const int64_t H = 3, W = 3;
  const auto src = randomVec(size_t(3 * H * W), 8, 0.f, 1.f);
  const float wild[] = {1e30f, -1e30f, INFINITY, -INFINITY, NAN, 1e9f};
  std::vector<float> grid;
  for (float a : wild)
    for (float b : wild) {
      grid.push_back(a);
      grid.push_back(b);
    }
  grid.resize(size_t(H * W * 2));
  std::vector<float> out(src.size());
  gridsample_fast(src.data(), grid.data(), out.data(), 3, H, W);
  for (float v : out) EXPECT_TRUE(std::isfinite(v));
  warpDirector(src.data(), grid.data(), out.data(), W, H);  // must not read out of bounds
}

}  // namespace
}  // namespace le
