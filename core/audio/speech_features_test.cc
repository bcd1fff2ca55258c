#include "core/audio/speech_features.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "core/audio/audio_test_util.h"
#include "core/audio/encoder_sessions.h"

namespace le::a2x {
namespace {

TEST(SpeechFeatures, NormalisationZeroPadsAndScalesToUnitVariance) {
  const std::vector<float> a = {1, 2, 3, 4, 5, 6};
  std::vector<float> out(8);
  // Samples 2..5 of a window starting at -2 with only 4 received.
  normaliseWindow({a.data(), 0, 4}, -2, 8, out.data());
  const double raw[8] = {0, 0, 1, 2, 3, 4, 0, 0};
  double mean = 0, var = 0;
  for (double v : raw) mean += v / 8;
  for (double v : raw) var += (v - mean) * (v - mean) / 8;
  for (int i = 0; i < 8; ++i) EXPECT_NEAR(out[i], (raw[i] - mean) / std::sqrt(var + 1e-7), 1e-6) << i;
  std::vector<float> zero(4, 9.0f);
  normaliseWindow({a.data(), 0, 0}, 0, 4, zero.data());
  for (float v : zero) EXPECT_EQ(v, 0.0f);
  // Holding only the tail from sample 2 serves windows from there on, and
  // refuses one that would read a released sample.
  std::vector<float> tail(8);
  normaliseWindow({a.data() + 2, 2, 4}, 2, 8, tail.data());
  normaliseWindow({a.data(), 0, 4}, 2, 8, out.data());
  EXPECT_EQ(tail, out);
  EXPECT_THROW(normaliseWindow({a.data() + 2, 2, 4}, 1, 8, tail.data()), std::runtime_error);
  EXPECT_EQ(longWindowOf(0), 0);
  EXPECT_EQ(longWindowOf(199), 0);
  EXPECT_EQ(longWindowOf(200), 100);
  EXPECT_EQ(longWindowOf(299), 100);
  EXPECT_EQ(longWindowOf(300), 200);
}

// The window pair reproduces the full encoder's features on real speech up to
// what the 2 s normalisation window and half rounding change; silence gives
// the same features in every frame.
TEST(SpeechFeatures, WindowPairFollowsTheFullEncoder) {
  const std::string enc = audio_test::fullEncoder();
  Ort::Session& full = sharedW2v(enc, 1);
  ASSERT_TRUE(sharedWindowPair(1, enc));
  const WindowPair pair = windowPair();
  const std::vector<float> speech = audio_test::clip("long10s.wav");
  const int64_t n = static_cast<int64_t>(speech.size());
  const int64_t frames = (n + 639) / 640;
  std::vector<float> longF(static_cast<size_t>(frames + 8) * kFeatureDim);
  for (int64_t i = 0; i < frames;) {
    const int64_t w = longWindowOf(i);
    const int64_t to = std::min(frames, w + kLongWindowFrames);
    longWindowFeatures(full, {speech.data(), 0, n}, w, i, to, longF.data() + i * kFeatureDim);
    i = to;
  }
  std::vector<float> winF(static_cast<size_t>(frames + 8) * kFeatureDim);
  for (int64_t b = 0; b < frames; b += 8)
    windowBlockFeatures(pair, {speech.data(), 0, n}, b, 12, winF.data() + b * kFeatureDim);
  double maxDiff = 0, sumDiff = 0;
  std::vector<double> la, lb;
  for (int64_t i = 0; i < frames; ++i) {
    for (int c = 0; c < kFeatureDim; ++c) {
      const double d = std::fabs(double(longF[i * kFeatureDim + c]) - winF[i * kFeatureDim + c]);
      maxDiff = std::max(maxDiff, d);
      sumDiff += d;
    }
    la.push_back(longF[i * kFeatureDim]);
    lb.push_back(winF[i * kFeatureDim]);
  }
  const double r = audio_test::pearson(la, lb);
  std::printf("[note] windowed vs 8 s features on long10s.wav: largest difference %.4f, mean %.5f, loudness r %.3f\n",
              maxDiff, sumDiff / (double(frames) * kFeatureDim), r);
  EXPECT_GT(r, 0.9);
  EXPECT_LT(sumDiff / (double(frames) * kFeatureDim), 0.1);

  std::vector<float> quiet(static_cast<size_t>(kLongWindowFrames) * kFeatureDim);
  const float zero = 0.0f;
  longWindowFeatures(full, {&zero, 0, 0}, 0, 0, kLongWindowFrames, quiet.data());
  for (int64_t i = 1; i < kLongWindowFrames; ++i)
    for (int c = 0; c < kFeatureDim; c += 97) ASSERT_EQ(quiet[i * kFeatureDim + c], quiet[c]) << i;
}

}  // namespace
}  // namespace le::a2x
