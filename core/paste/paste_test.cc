#include "core/paste/paste.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "core/paste/paste_testing.h"

namespace le {
namespace {

using paste::testing::makeCrop;
using paste::testing::makeFrame;
using paste::testing::makeMask;
using paste::testing::ScopedEnv;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr Unsharp kDefaultUnsharp{1.3f, 2.0f, 13};

// The unsharp mask computed directly in double precision: reflect-padded
// separable Gaussian, then plane * (1 + amount) - blur * amount, clamped.
std::vector<double> referenceUnsharp(const std::vector<float>& plane, int s, const std::vector<float>& g,
                                     float amount) {
  const int k = int(g.size()), r = k / 2;
  auto refl = [s](int i) {
    if (s == 1) return 0;
    const int period = 2 * s - 2;
    i = std::abs(i) % period;
    return i < s ? i : period - i;
  };
  std::vector<double> out(size_t(s) * s);
  for (int y = 0; y < s; ++y)
    for (int x = 0; x < s; ++x) {
      double blur = 0;
      for (int t = 0; t < k; ++t)
        for (int i = 0; i < k; ++i) blur += double(g[t]) * g[i] * plane[size_t(refl(y + t - r)) * s + refl(x + i - r)];
      const double v = plane[size_t(y) * s + x] * (1.0 + amount) - blur * amount;
      out[size_t(y) * s + x] = std::min(255.0, std::max(0.0, v));
    }
  return out;
}

TEST(Paste, RefusesBadConstruction) {
  try {
    Paste p(std::vector<uint8_t>(15), 4, kDefaultUnsharp);
    FAIL() << "a 15-byte mask for side 4 was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), StartsWith("paste: mask size"));
    EXPECT_THAT(e.what(), HasSubstr("15"));
  }
  try {
    Paste p(std::vector<uint8_t>(16), 4, Unsharp{1.0f, 2.0f, 12});
    FAIL() << "an even ksize was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), StartsWith("paste: ksize must be odd"));
  }
  // A mask-size fault is reported before a ksize fault.
  EXPECT_THROW(
      {
        try {
          Paste p(std::vector<uint8_t>(3), 4, Unsharp{1.0f, 2.0f, 12});
        } catch (const std::runtime_error& e) {
          EXPECT_THAT(e.what(), StartsWith("paste: mask size"));
          throw;
        }
      },
      std::runtime_error);
  EXPECT_THROW(Paste(std::vector<uint8_t>(), 0, kDefaultUnsharp), std::runtime_error);
  EXPECT_THROW(Paste(std::vector<uint8_t>(16), 4, Unsharp{1.0f, 2.0f, -1}), std::runtime_error);
  EXPECT_THROW(Paste(std::vector<uint8_t>(16), 4, Unsharp{NAN, 2.0f, 3}), std::runtime_error);
}

TEST(Paste, EnvironmentChoosesKernelWidthAndMode) {
  auto build = [] { return Paste(std::vector<uint8_t>(64), 8, Unsharp{1.0f, 2.0f, 9}); };
  {
    ScopedEnv k("LE_PASTE_KSIZE", "5");
    Paste p = build();
    EXPECT_EQ(p.ksize(), 5);
    EXPECT_EQ(p.gauss().size(), 5u);
  }
  for (const char* ignored : {"11", "4", "1", "-3", "x", ""}) {
    ScopedEnv k("LE_PASTE_KSIZE", ignored);
    EXPECT_EQ(build().ksize(), 9) << "LE_PASTE_KSIZE=" << ignored;
  }
  for (const char* lanczos : {"3", "-1", "0", "abc"}) {
    ScopedEnv f("LE_PASTE_FAST", lanczos);
    EXPECT_EQ(build().fastMode(), 0) << "LE_PASTE_FAST=" << lanczos;
  }
  ScopedEnv f1("LE_PASTE_FAST", "1");
  EXPECT_EQ(build().fastMode(), 1);
  ScopedEnv f2("LE_PASTE_FAST", "2");
  EXPECT_EQ(build().fastMode(), 2);
}

TEST(Paste, UnsharpMatchesDirectComputation) {
  // Odd sizes; the 3-pixel side makes the 13-tap kernel reflect more than once.
  for (int s : {37, 3, 1}) {
    for (int k : {13, 1}) {
      const Unsharp u{1.3f, 2.0f, k};
      Paste p(std::vector<uint8_t>(size_t(s) * s, 255), s, u);
      const std::vector<float> crop = makeCrop(s, 7);
      p.fillPlanes(crop.data(), 255.0f);
      std::vector<float> scaled(p.plane(1), p.plane(1) + size_t(s) * s);
      p.unsharpPlane(p.plane(1));
      const std::vector<double> want = referenceUnsharp(scaled, s, p.gauss(), u.amount);
      for (size_t i = 0; i < want.size(); ++i)
        ASSERT_NEAR(p.plane(1)[i], want[i], 2e-3) << "side " << s << " ksize " << k << " at " << i;
    }
  }
}

TEST(Paste, UnsharpClampsToByteRange) {
  Paste p(std::vector<uint8_t>(4, 255), 2, Unsharp{2.0f, 1.0f, 3});
  std::vector<float> crop = {-1.0f, 2.0f, 0.5f, NAN, 0, 0, 0, 0, 0, 0, 0, 0};
  p.fillPlanes(crop.data(), 255.0f);
  p.unsharpPlane(p.plane(0));
  for (int i = 0; i < 4; ++i) {
    EXPECT_GE(p.plane(0)[i], 0.0f);
    EXPECT_LE(p.plane(0)[i], 255.0f);
  }
}

// Whole-pixel translation with an opaque mask lands every crop pixel on one
// frame pixel: the frame must hold the sharpened crop, truncated, in every
// sampling mode.
TEST(Paste, WholePixelTranslationReproducesSharpenedCrop) {
  const int s = 24, w = 64, h = 48, tx = 17, ty = 9;
  const std::vector<float> crop = makeCrop(s, 3);
  for (const char* mode : {"0", "1", "2"}) {
    ScopedEnv fast("LE_PASTE_FAST", mode);
    Paste p(makeMask(s, 0), s, kDefaultUnsharp);
    const std::vector<uint8_t> before = makeFrame(w, h, 5);
    std::vector<uint8_t> frame = before;
    const float m[6] = {1, 0, float(tx), 0, 1, float(ty)};
    p.composite(crop.data(), 255.0f, m, frame.data(), w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c) {
          const size_t at = (size_t(y) * w + x) * 3 + c;
          const int u = x - tx, v = y - ty;
          if (u >= 0 && u < s && v >= 0 && v < s) {
            ASSERT_EQ(frame[at], uint8_t(p.plane(c)[size_t(v) * s + u])) << "mode " << mode << " x " << x << " y " << y;
          } else {
            ASSERT_EQ(frame[at], before[at]) << "mode " << mode << " outside the crop at x " << x << " y " << y;
          }
        }
  }
}

TEST(Paste, TransparentOrDegenerateInputLeavesFrameUntouched) {
  const int s = 32, w = 80, h = 60;
  const std::vector<float> crop = makeCrop(s, 11);
  const std::vector<uint8_t> before = makeFrame(w, h, 12);
  const float rotated[6] = {0.9f, -0.2f, 20.5f, 0.2f, 0.9f, 10.25f};
  for (const char* mode : {"0", "1", "2"}) {
    ScopedEnv fast("LE_PASTE_FAST", mode);
    Paste zero(std::vector<uint8_t>(size_t(s) * s, 0), s, kDefaultUnsharp);
    std::vector<uint8_t> frame = before;
    zero.composite(crop.data(), 255.0f, rotated, frame.data(), w, h);
    EXPECT_EQ(frame, before) << "zero mask, mode " << mode;
  }
  Paste p(makeMask(s, 4), s, kDefaultUnsharp);
  const float singular[6] = {1, 2, 5, 2, 4, 5};
  const float offFrame[6] = {1, 0, -200, 0, 1, 10};
  const float notFinite[6] = {1, 0, NAN, 0, 1, 10};
  const float infinite[6] = {INFINITY, 0, 0, 0, 1, 0};
  const float nearlySingular[6] = {1, 1, 10, 1, 1.0000001f, 10};
  const float vanishing[6] = {1e-30f, 0, 30, 0, 1e-30f, 30};
  for (const float* m : {singular, offFrame, notFinite, infinite, nearlySingular, vanishing}) {
    std::vector<uint8_t> frame = before;
    p.composite(crop.data(), 255.0f, m, frame.data(), w, h);
    EXPECT_EQ(frame, before) << "matrix " << m[0] << " " << m[1] << " " << m[2] << " " << m[3] << " " << m[4] << " " << m[5];
  }
}

// The visible part of a crop that hangs over a frame edge must be exactly
// what the same paste gives inside a larger frame. The maps use dyadic
// coefficients so that both placements carry identical fixed-point positions.
TEST(Paste, FootprintIsClippedAtEveryFrameEdge) {
  const int s = 20, w = 40, h = 30, border = 64;
  const int bw = w + 2 * border, bh = h + 2 * border;
  const std::vector<float> crop = makeCrop(s, 21);
  const std::vector<uint8_t> small0 = makeFrame(w, h, 22);
  // (45-degree rotation, scale sqrt 2) and (scale 2), each placed over the
  // left, right, top and bottom edges and two corners.
  const float maps[][4] = {{1, 1, -1, 1}, {2, 0, 0, 2}};
  const float places[][2] = {{-15.25f, 8.5f}, {30.75f, 5.5f}, {10.5f, -12.25f},
                             {12.5f, 22.75f}, {-10.5f, -12.5f}, {35.25f, 24.5f}};
  for (const char* mode : {"0", "1", "2"}) {
    ScopedEnv fast("LE_PASTE_FAST", mode);
    Paste p(makeMask(s, 3), s, kDefaultUnsharp);
    for (const auto& mp : maps)
      for (const auto& pl : places) {
        std::vector<uint8_t> small = small0;
        std::vector<uint8_t> big(size_t(bw) * bh * 3, 77);
        for (int y = 0; y < h; ++y)
          std::copy_n(&small0[size_t(y) * w * 3], w * 3, &big[(size_t(y + border) * bw + border) * 3]);
        const std::vector<uint8_t> bigBefore = big;
        const float m[6] = {mp[0], mp[1], pl[0], mp[2], mp[3], pl[1]};
        const float mb[6] = {mp[0], mp[1], pl[0] + border, mp[2], mp[3], pl[1] + border};
        p.composite(crop.data(), 255.0f, m, small.data(), w, h);
        p.composite(crop.data(), 255.0f, mb, big.data(), bw, bh);
        bool outsideChanged = false;
        for (int y = 0; y < bh; ++y)
          for (int x = 0; x < bw; ++x) {
            const size_t at = (size_t(y) * bw + x) * 3;
            const bool inside = x >= border && x < border + w && y >= border && y < border + h;
            if (inside) {
              const size_t sat = (size_t(y - border) * w + (x - border)) * 3;
              for (int c = 0; c < 3; ++c)
                ASSERT_EQ(small[sat + c], big[at + c]) << "mode " << mode << " place " << pl[0] << "," << pl[1];
            } else if (big[at] != bigBefore[at] || big[at + 1] != bigBefore[at + 1] || big[at + 2] != bigBefore[at + 2]) {
              outsideChanged = true;
            }
          }
        EXPECT_TRUE(outsideChanged) << "placement " << pl[0] << "," << pl[1] << " does not cross an edge";
        EXPECT_NE(small, small0) << "placement " << pl[0] << "," << pl[1] << " missed the frame";
      }
  }
}

TEST(Paste, OversizedSideFailsOnCompositeWithFrameUntouched) {
  const int s = 1025, w = 64, h = 64;
  Paste p(std::vector<uint8_t>(size_t(s) * s, 255), s, Unsharp{1.0f, 1.0f, 3});
  const std::vector<float> crop(3 * size_t(s) * s, 0.5f);
  const std::vector<uint8_t> before = makeFrame(w, h, 1);
  std::vector<uint8_t> frame = before;
  const float m[6] = {0.05f, 0, 2, 0, 0.05f, 2};
  try {
    p.composite(crop.data(), 255.0f, m, frame.data(), w, h);
    FAIL() << "side 1025 was composited";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), StartsWith("paste: side > 1024"));
  }
  EXPECT_EQ(frame, before);
}

// Every SIMD target the build carries and the CPU runs must blend the same
// bytes.
TEST(Paste, AllSimdTargetsGiveIdenticalFrames) {
  const int s = 96, w = 200, h = 150;
  const std::vector<float> crop = makeCrop(s, 31);
  const std::vector<uint8_t> before = makeFrame(w, h, 32);
  const float m[6] = {0.93f, -0.17f, 41.3f, 0.17f, 0.93f, 12.7f};
  Paste p(makeMask(s, 12), s, kDefaultUnsharp);
  std::vector<uint8_t> first;
  int targets = 0;
  for (const int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    std::vector<uint8_t> frame = before;
    p.composite(crop.data(), 255.0f, m, frame.data(), w, h);
    if (first.empty()) {
      first = frame;
      EXPECT_NE(first, before);
    } else {
      EXPECT_EQ(frame, first) << "target " << hwy::TargetName(target);
    }
    std::printf("target %s\n", hwy::TargetName(target));
    ++targets;
  }
  hwy::SetSupportedTargetsForTest(0);
  EXPECT_GE(targets, 1);
}

}  // namespace
}  // namespace le
