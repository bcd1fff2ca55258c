// The quantisation bound on pasted frames and the float stage comparisons.
#include "tools/frame_tolerance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/paste/paste_tables.h"
#include "tests/test_support.h"

namespace {

using namespace le::tools;

TEST(FrameTolerance, PasteGainIsTheSharpeningTimesTheResamplersWorstPhase) {
  // A table that only copies its sample: gain 255 (1 + 2a).
  EXPECT_DOUBLE_EQ(pasteGain(0.0f, {0, 0, 0, 1, 0, 0, 0, 0}, 8), 255.0);
  EXPECT_DOUBLE_EQ(pasteGain(-0.5f, {0, 1}, 2), 510.0);
  // Two phases: the one with negative lobes decides, squared for two passes.
  EXPECT_NEAR(pasteGain(0.0f, {0.0f, 1.0f, -0.25f, 1.25f}, 2), 255.0 * 1.5 * 1.5, 1e-9);
  // Lanczos-4 overshoots, so its gain lies above the sharpening alone.
  const double lanczos = pasteGain(0.8f, le::paste::lanczos8Table(), 8);
  EXPECT_GT(lanczos, 255.0 * 2.6 * 1.2);
  EXPECT_LT(lanczos, 255.0 * 2.6 * 2.0 * 2.0);
  EXPECT_NE(le::test::thrownBy([] { pasteGain(0.8f, {1, 2, 3}, 2); }).find("2-tap phases"), std::string::npos);
}

TEST(FrameTolerance, BoundGrowsWithTheCropDifference) {
  // Equal crops: equal frames.
  FrameBound b = frameBound(0.0, 1949.0, 10000);
  EXPECT_EQ(b.maxLsb, 1);
  EXPECT_EQ(b.maxDiffering, 0u);
  // The budget: eps 0.02 over 10000 bytes is 200 plus four deviations
  // 4 sqrt(0.02 * 10000) = 56.6.
  b = frameBound(0.02 / 1949.0, 1949.0, 10000);
  EXPECT_EQ(b.maxLsb, 1);
  EXPECT_EQ(b.maxDiffering, 256u);
  // Beyond one level a byte may move by two, and every byte may move.
  b = frameBound(1.5 / 1949.0, 1949.0, 10000);
  EXPECT_EQ(b.maxLsb, 2);
  EXPECT_EQ(b.maxDiffering, 10000u);
  b = frameBound(std::numeric_limits<double>::quiet_NaN(), 1949.0, 10);
  EXPECT_EQ(b.maxLsb, 255);
  EXPECT_EQ(b.maxDiffering, 10u);
}

TEST(FrameTolerance, StageTolerancesFollowFromTheFrameBudget) {
  const double crop = cropTolerance(1949.0);
  EXPECT_NEAR(crop, 1.026e-5, 1e-8);
  // A crop within its tolerance keeps the frame within the budget.
  EXPECT_EQ(frameBound(crop, 1949.0, 1000000).maxDiffering, 20000u + 565u);
  EXPECT_NEAR(keypointTolerance(64), 0.01 / 32.0, 1e-15);
  EXPECT_NE(le::test::thrownBy([] { cropTolerance(0.0); }).find("not positive"), std::string::npos);
  EXPECT_NE(le::test::thrownBy([] { keypointTolerance(1); }).find("1 pixels"), std::string::npos);
}

TEST(FrameTolerance, FloatDiffFindsTheWorstValueAndTreatsLoneNaNAsInfinite) {
  FloatDiff d = floatDiff("kp", {1.0f, 2.0f, 3.0f}, {1.0f, 2.5f, 2.75f});
  EXPECT_DOUBLE_EQ(d.maxAbs, 0.5);
  EXPECT_EQ(d.worst, 1u);
  EXPECT_EQ(d.differing, 2u);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(floatDiff("kp", {nan}, {nan}).maxAbs, 0.0);
  EXPECT_TRUE(std::isinf(floatDiff("kp", {nan}, {0.0f}).maxAbs));
  EXPECT_NE(le::test::thrownBy([] { floatDiff("speech.3.kp", {1.0f}, {}); }).find("speech.3.kp has 1 values"),
            std::string::npos);
  EXPECT_DOUBLE_EQ(maxMagnitude({-3.0f, 2.0f}), 3.0);
  EXPECT_TRUE(std::isinf(maxMagnitude({1.0f, nan})));
}

// A textured 32 x 24 RGB frame whose middle 16 x 12 pixels are the footprint.
struct Scene {
  static constexpr int kW = 32, kH = 24;
  std::vector<uint8_t> frame = std::vector<uint8_t>(kW * kH * 3);
  std::vector<uint8_t> foot = std::vector<uint8_t>(kW * kH, 0);
  Scene() {
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t((i * 37 + (i / 96) * 11) % 251);
    for (int y = 6; y < 18; ++y)
      for (int x = 8; x < 24; ++x) foot[size_t(y * kW + x)] = 1;
  }
};

TEST(FrameTolerance, VerdictPassesRoundingFlipsWithinTheBound) {
  Scene s;
  std::vector<uint8_t> other = s.frame;
  // Three one-level flips inside a footprint of 576 bytes, where the crop
  // difference allows 0.02 * 576 + 4 sqrt(0.02 * 576) = 25.
  for (size_t i : {size_t(7 * 32 + 9) * 3, size_t(10 * 32 + 12) * 3 + 1, size_t(15 * 32 + 20) * 3 + 2})
    other[i] = uint8_t(other[i] == 255 ? 254 : other[i] + 1);
  const FrameDiff d = frameDiff("f", s.frame, other, s.foot);
  EXPECT_EQ(d.inside, 576u);
  EXPECT_EQ(d.differingInside, 3u);
  EXPECT_EQ(frameVerdict("f", d, frameBound(cropTolerance(1949.0), 1949.0, d.inside)), "");
  // Equal crops allow no flip at all.
  EXPECT_NE(frameVerdict("f", d, frameBound(0.0, 1949.0, d.inside)).find("3 of 576 bytes"), std::string::npos);
}

TEST(FrameTolerance, VerdictCatchesAShiftALargeStepAndAnyChangeOutsideTheFootprint) {
  Scene s;
  const FrameBound bound = frameBound(cropTolerance(1949.0), 1949.0, 576);
  // The face pasted one pixel to the right.
  std::vector<uint8_t> shifted = s.frame;
  for (int y = 0; y < Scene::kH; ++y)
    for (int x = Scene::kW - 1; x > 0; --x)
      for (int c = 0; c < 3; ++c)
        if (s.foot[size_t(y * Scene::kW + x)])
          shifted[size_t(y * Scene::kW + x) * 3 + c] = s.frame[size_t(y * Scene::kW + x - 1) * 3 + c];
  EXPECT_NE(frameVerdict("speech.4.frame", frameDiff("s", s.frame, shifted, s.foot), bound)
                .find("speech.4.frame: a byte differs by"),
            std::string::npos);
  // One byte two levels off.
  std::vector<uint8_t> step = s.frame;
  step[size_t(10 * 32 + 10) * 3] += 2;
  EXPECT_NE(frameVerdict("f", frameDiff("f", s.frame, step, s.foot), bound).find("differs by 2"), std::string::npos);
  // One level off, but where the crop has no say.
  std::vector<uint8_t> outside = s.frame;
  outside[0] ^= 1;
  EXPECT_NE(frameVerdict("f", frameDiff("f", s.frame, outside, s.foot), bound).find("1 bytes outside"),
            std::string::npos);
  EXPECT_NE(le::test::thrownBy([&] { frameDiff("speech.1.frame", s.frame, {}, s.foot); }).find("speech.1.frame"),
            std::string::npos);
}

}  // namespace
