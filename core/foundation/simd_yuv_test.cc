#include <array>
#include <vector>

#include <gtest/gtest.h>

#include "core/foundation/simd.h"
#include "core/foundation/simd_reference.h"
#include "core/foundation/simd_test_targets.h"

namespace le::simd {
namespace {

std::array<int, 3> convertOne(int y, int u, int v) {
  const std::uint8_t yy[2] = {static_cast<std::uint8_t>(y), static_cast<std::uint8_t>(y)};
  const std::uint8_t uu = static_cast<std::uint8_t>(u), vv = static_cast<std::uint8_t>(v);
  std::uint8_t rgb[6];
  yuv420RowToRgb24(yy, &uu, &vv, 1, 1, rgb);
  return {rgb[0], rgb[1], rgb[2]};
}

TEST(Yuv420Row, LimitedRangeEndsMapToBlackAndWhite) {
  EXPECT_EQ(convertOne(16, 128, 128), (std::array<int, 3>{0, 0, 0}));
  EXPECT_EQ(convertOne(235, 128, 128), (std::array<int, 3>{255, 255, 255}));
  EXPECT_EQ(convertOne(255, 128, 128), (std::array<int, 3>{255, 255, 255}));  // 278 clamped
  EXPECT_EQ(convertOne(0, 128, 128), (std::array<int, 3>{0, 0, 0}));          // negative clamped
  // R = (19370 + 128 + 409*22) >> 8 = 111, G = (19498 - 4576 + 3800) >> 8 = 73,
  // B = (19498 - 19608) >> 8 = -1 (arithmetic shift), clamped to 0.
  EXPECT_EQ(convertOne(81, 90, 150), (std::array<int, 3>{111, 73, 0}));
}

// Every (Y, U, V) combination, on every target, planar and interleaved.
TEST(Yuv420Row, EveryTargetMatchesReferenceExhaustively) {
  const int width = 512;  // 256 chroma pairs, two pixels each
  std::vector<std::uint8_t> y(width);
  std::vector<std::uint8_t> u(width / 2), v(width / 2), uv(width + 2);
  std::vector<std::uint8_t> want(3 * width), got(3 * width);
  test::forEachTarget([&](int64_t) {
    for (int pass = 0; pass < 256 * 128; ++pass) {
      const int base = pass & 255;  // V offset
      const int yoff = pass >> 8;   // with (i & 1) * 128, every Y meets every pair
      for (int i = 0; i < width; ++i) y[i] = static_cast<std::uint8_t>(i / 2 + yoff + (i & 1) * 128);
      for (int k = 0; k < width / 2; ++k) {
        u[k] = static_cast<std::uint8_t>(k);
        v[k] = static_cast<std::uint8_t>(base + k * 7);
        uv[2 * k] = u[k];
        uv[2 * k + 1] = v[k];
      }
      reference::yuv420RowToRgb24(y.data(), u.data(), v.data(), width, 1, want.data());
      yuv420RowToRgb24(y.data(), u.data(), v.data(), width, 1, got.data());
      ASSERT_EQ(got, want) << "planar, pass " << pass;
      yuv420RowToRgb24(y.data(), uv.data(), uv.data() + 1, width, 2, got.data());
      ASSERT_EQ(got, want) << "interleaved, pass " << pass;
    }
  });
}

TEST(Yuv420Row, OddAndShortWidthsStopAtTheRowEnd) {
  std::vector<std::uint8_t> y(80), u(40), uv(80);
  for (int i = 0; i < 80; ++i) y[i] = static_cast<std::uint8_t>(37 * i + 5);
  for (int i = 0; i < 40; ++i) u[i] = static_cast<std::uint8_t>(91 * i + 3);
  for (int i = 0; i < 80; ++i) uv[i] = static_cast<std::uint8_t>(53 * i + 1);
  test::forEachTarget([&](int64_t) {
    for (int width : {0, 1, 2, 3, 5, 15, 16, 17, 31, 32, 33, 63, 64, 65, 79}) {
      const int chroma = (width + 1) / 2;
      for (int step : {1, 2}) {
        // Exactly sized copies so that any read past the row shows up under ASan.
        std::vector<std::uint8_t> ys(y.begin(), y.begin() + width);
        std::vector<std::uint8_t> us, vs;
        if (step == 1) {
          us.assign(u.begin(), u.begin() + chroma);
          vs.assign(uv.begin(), uv.begin() + chroma);
        } else {
          us.assign(uv.begin(), uv.begin() + 2 * chroma);
        }
        const std::uint8_t* vp = step == 1 ? vs.data() : us.data() + 1;
        std::vector<std::uint8_t> want(3 * width + 4, 0xAA), got(3 * width + 4, 0xAA);
        reference::yuv420RowToRgb24(ys.data(), us.data(), vp, width, step, want.data());
        yuv420RowToRgb24(ys.data(), us.data(), vp, width, step, got.data());
        ASSERT_EQ(got, want) << "width " << width << " step " << step;
      }
    }
  });
}

}  // namespace
}  // namespace le::simd
