#include "core/audio/fca.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <vector>

#include "core/audio/audio_test_util.h"
#include "tests/test_support.h"

namespace le {
namespace {

std::string encoderPath() { return audio_test::fullEncoder(); }
std::string adapterPath() { return test::dataDir() + "/tiny_motion/fca_stream.onnx"; }

// Voiced bursts of varying loudness with pauses, like syllables.
std::vector<float> speechLike(double seconds, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> level(0.2f, 1.f);
  std::vector<float> x(size_t(seconds * 16000));
  float amp = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    if (i % 4000 == 0) amp = (i / 4000) % 4 == 3 ? 0.f : level(rng);
    const double t = double(i) / 16000;
    const double env = std::pow(std::sin(M_PI * double(i % 4000) / 4000), 2);
    x[i] = float(0.3 * amp * env * (std::sin(2 * M_PI * 140 * t) + 0.4 * std::sin(2 * M_PI * 700 * t)));
  }
  return x;
}

// The normalisation written out directly from its definition, over a
// small sequence.
std::vector<double> referenceNormalise(const std::vector<std::vector<double>>& f) {
  std::vector<double> norms;
  for (const auto& v : f) {
    double s = 0;
    for (double x : v) s += x * x;
    norms.push_back(std::sqrt(s));
  }
  const size_t dim = f[0].size();
  std::vector<double> sum(dim, 0), out;
  int k = 0;
  for (size_t j = 0; j < f.size(); ++j) {
    double thr = 0;
    if (j > 6) {
      std::vector<double> s(norms.begin(), norms.begin() + long(j) + 1);
      std::sort(s.begin(), s.end());
      const double p = 0.2 * double(j);
      const double fl = std::floor(p);
      thr = s[size_t(fl)] + (s[size_t(fl) + 1] - s[size_t(fl)]) * (p - fl);
    }
    if (norms[j] > thr) {
      for (size_t c = 0; c < dim; ++c) sum[c] += f[j][c];
      ++k;
    }
    for (size_t c = 0; c < dim; ++c) out.push_back(f[j][c] - sum[c] / std::max(k, 1));
  }
  return out;
}

TEST(VoicedMean, MatchesTheDefinitionOnAShortSequence) {
  // Loud and quiet frames and one silent frame among the first seven (its
  // norm 0 does not exceed the threshold 0, so it is not voiced).
  const std::vector<std::vector<double>> f = {
      {1, 2, 0},    {0, 0, 0},     {3, 1, 1},   {0.1, 0, 0.1}, {2, 2, 2},  {0.05, 0.05, 0}, {4, 0, 1},
      {0.2, 0.1, 0}, {3, 3, 0},    {0, 0.1, 0}, {5, 1, 2},     {0.3, 0, 0}, {2, 4, 1},       {0.01, 0, 0},
  };
  std::vector<float> feat;
  for (const auto& v : f)
    for (double x : v) feat.push_back(float(x));
  voicedMeanNormalise(feat, int(f.size()), 3);
  const std::vector<double> want = referenceNormalise(f);
  for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(feat[i], want[i], 1e-6) << i;
  // Frame 1 (silent): minus the mean of frame 0 alone.
  EXPECT_FLOAT_EQ(feat[3], -1.f);
  EXPECT_FLOAT_EQ(feat[4], -2.f);

  // A long sequence with many equal norms, where the percentile moves
  // between them.
  std::mt19937 rng(4);
  std::vector<std::vector<double>> g;
  for (int j = 0; j < 600; ++j) {
    const double level = double(rng() % 7) * (j % 5 == 0 ? 0.0 : 1.0);
    g.push_back({level, level * 0.5, double(rng() % 3)});
  }
  feat.clear();
  for (const auto& v : g)
    for (double x : v) feat.push_back(float(x));
  voicedMeanNormalise(feat, int(g.size()), 3);
  const std::vector<double> wantLong = referenceNormalise(g);
  for (size_t i = 0; i < wantLong.size(); ++i) ASSERT_NEAR(feat[i], wantLong[i], 1e-5) << i;
}

TEST(FaceCoeffAdapter, FrameCountsAndNoCarriedState) {
  FaceCoeffAdapter fca(encoderPath(), adapterPath(), 1);
  EXPECT_EQ(FaceCoeffAdapter::framesOf(640), 1);
  EXPECT_EQ(FaceCoeffAdapter::framesOf(641), 2);
  const std::vector<float> a = speechLike(3.0, 1), b = speechLike(2.0, 2);
  std::vector<float> first(size_t(FaceCoeffAdapter::framesOf(a.size())) * 63);
  std::vector<float> second(first.size()), other(size_t(FaceCoeffAdapter::framesOf(b.size())) * 63);
  fca.deltas(a.data(), a.size(), first.data());
  fca.deltas(b.data(), b.size(), other.data());
  fca.deltas(a.data(), a.size(), second.data());
  EXPECT_EQ(first, second);
}

TEST(FaceCoeffAdapter, LaterWindowsFillFromTheirFiftiethFrame) {
  FaceCoeffAdapter fca(encoderPath(), adapterPath(), 1);
  const std::vector<float> a = speechLike(20.0, 3);
  const std::vector<float> full = fca.features(a.data(), a.size());
  // Frames 200..299 come from the window at frame 100, which sees the
  // samples from 64000 on as its first window would.
  const std::vector<float> from100 = fca.features(a.data() + 64000, a.size() - 64000);
  for (int f = 200; f < 300; ++f)
    for (int c = 0; c < 768; ++c) ASSERT_EQ(full[size_t(f) * 768 + c], from100[size_t(f - 100) * 768 + c]) << f;
  const std::vector<float> head = fca.features(a.data(), 128000);
  for (size_t i = 0; i < head.size(); ++i) ASSERT_EQ(full[i], head[i]) << i;
}

TEST(FaceCoeffAdapter, LipOpeningFollowsLoudness) {
  FaceCoeffAdapter fca(encoderPath(), adapterPath(), 1);
  for (const char* name : {"sentence.wav", "long10s.wav"}) {
    const std::vector<float> a = audio_test::clip(name);
    const int frames = FaceCoeffAdapter::framesOf(a.size());
    std::vector<float> out(size_t(frames) * 63);
    fca.deltas(a.data(), a.size(), out.data());
    std::vector<double> open;
    for (int i = 0; i < frames; ++i) open.push_back(double(out[size_t(i) * 63 + 17 * 3 + 1]));
    const double r = audio_test::pearson(audio_test::frameRms(a), open);
    EXPECT_GE(r, 0.5) << name;
    RecordProperty(std::string("pearson_r_") + name, std::to_string(r));
  }
}

TEST(FaceCoeffAdapter, CreationRefusals) {
  auto err = [](const std::string& enc, const std::string& ad) {
    return test::thrownBy([&] { FaceCoeffAdapter f(enc, ad, 1); });
  };
  EXPECT_EQ(err("/nonexistent/enc.onnx", adapterPath()).rfind("cannot load model /nonexistent/enc.onnx: ", 0), 0u);
  EXPECT_EQ(err(encoderPath(), "/nonexistent/fca_stream.onnx").rfind("cannot load model /nonexistent/fca_stream.onnx", 0),
            0u);
  const std::string stitch = test::dataDir() + "/tiny_motion/stitch.onnx";
  EXPECT_EQ(err(encoderPath(), stitch), stitch + " has 2 input(s) and 1 output(s) where 3 and 2 are expected");
  EXPECT_EQ(err(adapterPath(), adapterPath()), adapterPath() + " has 3 input(s) and 2 output(s) where 1 and -1 are expected");
}

}  // namespace
}  // namespace le
