#include "core/audio/motion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "core/audio/audio_test_util.h"
#include "tests/test_support.h"

namespace le {
namespace {

namespace fs = std::filesystem;

std::string tinyMotion() { return test::dataDir() + "/tiny_motion"; }

// Voiced syllables (a 120 Hz buzz through two formant-like harmonics) at
// about four a second, with a pause every fourth syllable.
std::vector<float> syllables(double seconds, unsigned seed = 3) {
  const size_t n = size_t(seconds * 16000);
  std::vector<float> x(n);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> jitter(0.6f, 1.f);
  float amp = jitter(rng);
  int lastSyl = -1;
  for (size_t i = 0; i < n; ++i) {
    const double t = double(i) / 16000;
    const int syl = int(t * 4);
    if (syl != lastSyl) {
      amp = (syl % 4 == 3) ? 0.f : jitter(rng);
      lastSyl = syl;
    }
    const double env = std::pow(std::sin(M_PI * std::fmod(t * 4, 1.0)), 2);
    double v = 0;
    for (int h = 1; h <= 12; ++h) v += std::sin(2 * M_PI * 120 * h * t) * (h == 5 || h == 9 ? 1.0 : 0.3) / h;
    x[i] = float(0.25 * amp * env * v);
  }
  return x;
}

struct Frames {
  std::vector<int32_t> idx;
  std::vector<float> xs, xd;
  size_t size() const { return idx.size(); }
};

void pullAll(Motion& m, Frames& out) {
  for (;;) {
    const int a = m.avail();
    if (a <= 0) return;
    const size_t at = out.size();
    out.idx.resize(at + size_t(a));
    out.xs.resize((at + size_t(a)) * 63);
    out.xd.resize((at + size_t(a)) * 63);
    const int got = m.pull(out.idx.data() + at, out.xs.data() + at * 63, out.xd.data() + at * 63, a);
    ASSERT_EQ(got, a);
  }
}

// Pushes `audio` in pieces of the given sizes (cycled), pulling whatever is
// ready after each, then finishes and pulls the rest.
Frames stream(Motion& m, const std::vector<float>& audio, const std::vector<size_t>& sizes) {
  Frames out;
  size_t at = 0, k = 0;
  while (at < audio.size()) {
    const size_t n = std::min(sizes[k++ % sizes.size()], audio.size() - at);
    EXPECT_TRUE(m.push(audio.data() + at, n));
    at += n;
    pullAll(m, out);
  }
  m.finish();
  pullAll(m, out);
  return out;
}

// A copy of the tiny motion directory cut to its first `nt` driving frames,
// with `metaExtra` added to meta.json.
std::string cutDir(const test::TempDir& t, int nt, const std::string& metaExtra = "") {
  for (const auto& e : fs::directory_iterator(tinyMotion()))
    if (e.is_regular_file()) fs::copy_file(e.path(), t.file(e.path().filename().string()));
  auto truncate = [&](const char* name, size_t bytes) { fs::resize_file(t.file(name), bytes); };
  truncate("xs_target.bin", size_t(nt) * 63 * 4);
  truncate("src_xs_info.bin", size_t(nt) * 328 * 4);
  test::writeFile(t.file("meta.json"), "{\"nt\": " + std::to_string(nt) + ", \"n_src\": " + std::to_string(nt) +
                                           ", \"n_emo\": 4, \"s_bridge\": 1.0" + metaExtra + "}");
  return t.path();
}

std::vector<float> readFloats(const std::string& path) {
  const auto b = test::readFile(path);
  std::vector<float> v(b.size() / 4);
  std::memcpy(v.data(), b.data(), v.size() * 4);
  return v;
}

TEST(Motion, TotalFollowsFinishAndPushAfterFinishIsRefused) {
  Motion m(tinyMotion(), 1, "");
  EXPECT_EQ(m.nt(), 12);
  std::vector<float> a(641, 0.f);
  ASSERT_TRUE(m.push(a.data(), a.size()));
  EXPECT_EQ(m.total(), -1);
  EXPECT_EQ(m.avail(), 0);
  m.finish();
  EXPECT_EQ(m.total(), 2);
  EXPECT_EQ(m.avail(), 2);
  EXPECT_FALSE(m.push(a.data(), 1));
  // An empty utterance finishes with no frames.
  m.reset(0, 1, 1);
  m.finish();
  EXPECT_EQ(m.total(), 0);
  EXPECT_EQ(m.avail(), 0);
}

TEST(Motion, SamplesThatAreNotFiniteCountAsSilenceAndHugeOnesStayFinite) {
  // One such sample made its window's spectrum NaN, and every chunk after
  // it, conditioned on the one before, NaN too.
  std::vector<float> bad = syllables(6.5), zeroed = bad;
  for (size_t i = 32000; i < 32640; ++i) {
    bad[i] = i % 2 ? std::nanf("") : (i % 4 ? -INFINITY : INFINITY);
    zeroed[i] = 0.f;
  }
  Motion m(tinyMotion(), 1, "");
  const Frames withBad = stream(m, bad, {640});
  m.reset(0, 1, 1);
  const Frames withZeros = stream(m, zeroed, {640});
  EXPECT_EQ(withBad.xd, withZeros.xd);
  std::fill(zeroed.begin() + 32000, zeroed.begin() + 32640, 1e38f);
  m.reset(0, 1, 1);
  const Frames withHuge = stream(m, zeroed, {640});
  ASSERT_EQ(withHuge.size(), withZeros.size());
  EXPECT_TRUE(std::all_of(withHuge.xd.begin(), withHuge.xd.end(), [](float v) { return std::isfinite(v); }));
}

TEST(Motion, PushSizesDoNotChangeTheFrames) {
  const std::vector<float> audio = syllables(6.5);
  Motion m(tinyMotion(), 1, "");
  const Frames whole = stream(m, audio, {audio.size()});
  ASSERT_EQ(whole.size(), (audio.size() + 639) / 640);
  std::mt19937 rng(5);
  std::vector<size_t> random;
  for (int i = 0; i < 64; ++i) random.push_back(1 + rng() % 3000);
  for (const std::vector<size_t>& sizes : {std::vector<size_t>{1, 7, 640}, {5120}, {640}, random}) {
    m.reset(0, 1, 1);
    const Frames f = stream(m, audio, sizes);
    EXPECT_EQ(f.idx, whole.idx);
    EXPECT_EQ(f.xs, whole.xs);
    EXPECT_EQ(f.xd, whole.xd) << "push sizes starting " << sizes[0];
  }
}

TEST(Motion, LongStreamsKeepTheirFramesWhileReleasingWhatNoFrameNeeds) {
  // 40 s: several release batches of audio, conditioning rows and motion
  // vectors. Fed in small pieces (released as it goes) or whole, the frames
  // are the same; eager mode's rollbacks find what they restart from.
  const std::vector<float> audio = syllables(40.0);
  Motion m(tinyMotion(), 1, "");
  const Frames whole = stream(m, audio, {audio.size()});
  ASSERT_EQ(whole.size(), (audio.size() + 639) / 640);
  m.reset(0, 1, 1);
  const Frames pieces = stream(m, audio, {640, 1, 3000});
  EXPECT_EQ(pieces.idx, whole.idx);
  EXPECT_EQ(pieces.xs, whole.xs);
  EXPECT_EQ(pieces.xd, whole.xd);
  m.reset(0, 1, 1);
  m.setEager(1);
  const Frames eager = stream(m, audio, {640});
  EXPECT_EQ(eager.size(), whole.size());
  EXPECT_EQ(eager.idx, whole.idx);
}

TEST(Motion, NonEagerLatencyIsOneChunk) {
  const std::vector<float> audio = syllables(4.0);
  Motion m(tinyMotion(), 1, "");
  // A chunk needs 80 featured frames: windows every 5 frames, each needing
  // 4480 samples past its first frame.
  const size_t need = 75 * 640 + 4480;
  ASSERT_TRUE(m.push(audio.data(), need - 1));
  EXPECT_EQ(m.avail(), 0);
  ASSERT_TRUE(m.push(audio.data() + need - 1, 1));
  EXPECT_EQ(m.avail(), 69);  // min(featured - 1, vectors - 11)
  EXPECT_EQ(m.motionFrames(), 80);
}

TEST(Motion, EagerFramesAreProvisionalAndFinalFramesMatchNonEager) {
  const std::vector<float> audio = syllables(7.0, 11);
  Motion plain(tinyMotion(), 1, "");
  const Frames ref = stream(plain, audio, {audio.size()});

  Motion m(tinyMotion(), 1, "");
  m.setEager(1);
  Frames early;
  size_t at = 0;
  // Half a second in: eager mode already offers frames.
  for (; at < 8000; at += 640) {
    ASSERT_TRUE(m.push(audio.data() + at, 640));
    pullAll(m, early);
  }
  EXPECT_GE(early.size(), 8u);
  EXPECT_LE(early.size(), at / 640);
  // More audio arrives and undoes the provisional state; the rest is pulled
  // after finish.
  for (; at < audio.size(); at += 1000) ASSERT_TRUE(m.push(audio.data() + at, std::min<size_t>(1000, audio.size() - at)));
  const size_t before = early.size();
  m.finish();
  pullAll(m, early);
  ASSERT_EQ(early.size(), ref.size());
  ASSERT_LT(before, ref.size());
  EXPECT_EQ(early.idx, ref.idx);
  // Frames pulled after finish were recomputed from complete audio.
  for (size_t f = before; f < ref.size(); ++f)
    for (int k = 0; k < 63; ++k) {
      ASSERT_EQ(early.xs[f * 63 + k], ref.xs[f * 63 + k]) << f;
      ASSERT_EQ(early.xd[f * 63 + k], ref.xd[f * 63 + k]) << f << " " << k;
    }
  // A second utterance on the same object, now non-eager, equals a fresh one.
  m.setEager(0);
  m.reset(0, 1, 1);
  const Frames again = stream(m, audio, {3333});
  EXPECT_EQ(again.xd, ref.xd);
}

TEST(Motion, SilenceDrivesTheIdleLoop) {
  Motion m(tinyMotion(), 1, "");
  const auto target = readFloats(tinyMotion() + "/xs_target.bin");
  const std::vector<float> silence(16000 * 2, 0.f);
  m.reset(5, 1, 1);
  const Frames f = stream(m, silence, {640});
  ASSERT_EQ(f.size(), 50u);
  for (size_t i = 0; i < f.size(); ++i) {
    EXPECT_EQ(f.idx[i], int32_t((5 + i) % 12));
    for (int k = 0; k < 63; ++k) {
      ASSERT_EQ(f.xs[i * 63 + k], target[size_t(f.idx[i]) * 63 + k]);
      ASSERT_NEAR(f.xd[i * 63 + k], f.xs[i * 63 + k], 1e-6f) << i << " " << k;
    }
  }
}

TEST(Motion, DrivingIndicesLoopBounceAndPin) {
  test::TempDir t3, t1;
  Motion three(cutDir(t3, 3), 1, "");
  Motion one(cutDir(t1, 1), 1, "");
  const std::vector<float> a(640 * 7, 0.f);
  auto indices = [&](Motion& m, int start, int step, bool loop) {
    m.reset(start, step, loop);
    return stream(m, a, {a.size()}).idx;
  };
  EXPECT_EQ(indices(three, 0, 1, false), (std::vector<int32_t>{0, 1, 2, 1, 0, 1, 2}));
  EXPECT_EQ(indices(three, 2, 1, false), (std::vector<int32_t>{2, 1, 0, 1, 2, 1, 0}));
  EXPECT_EQ(indices(three, 0, 1, true), (std::vector<int32_t>{0, 1, 2, 0, 1, 2, 0}));
  EXPECT_EQ(indices(three, 0, -1, true), (std::vector<int32_t>{0, 2, 1, 0, 2, 1, 0}));
  EXPECT_EQ(indices(three, 9, -5, false), (std::vector<int32_t>{2, 1, 0, 1, 2, 1, 0}));
  EXPECT_EQ(indices(one, 0, 1, false), std::vector<int32_t>(7, 0));
  EXPECT_EQ(indices(one, 4, -1, true), std::vector<int32_t>(7, 0));
}

TEST(Motion, OnlyTheLipsMoveByTheFixedRatio) {
  test::TempDir dumpDir;
  ::setenv("LE_MOTION_DUMP", dumpDir.path().c_str(), 1);
  Motion m(tinyMotion(), 1, "");
  ::unsetenv("LE_MOTION_DUMP");
  const std::vector<float> audio = syllables(3.2);
  const Frames f = stream(m, audio, {4000});
  const auto src = readFloats(tinyMotion() + "/src_xs_info.bin");
  const auto ch = readFloats(tinyMotion() + "/ch_xs_info.bin");
  const float ratio = ch[258] / src[258];
  const auto res = readFloats(dumpDir.file("res_post.bin"));
  const auto xsla = readFloats(dumpDir.file("xsla.bin"));
  const auto xdla = readFloats(dumpDir.file("xdla.bin"));
  ASSERT_EQ(res.size(), f.size() * 265);
  ASSERT_EQ(xdla.size(), f.size() * 63);
  EXPECT_EQ(readFloats(dumpDir.file("xs.bin")), f.xs);
  EXPECT_EQ(readFloats(dumpDir.file("xd.bin")), f.xd);
  for (const char* name : {"mel0.bin", "feat0.bin", "lmdm0_kp.bin", "lmdm0_aud.bin", "lmdm0_pred.bin", "cond.bin",
                           "final.bin"})
    EXPECT_TRUE(fs::exists(dumpDir.file(name))) << name;
  EXPECT_EQ(fs::file_size(dumpDir.file("mel0.bin")), 80u * 21 * 4);
  bool lipsMoved = false;
  for (size_t i = 0; i < f.size(); ++i) {
    const float s = src[size_t(f.idx[i]) * 328 + 258];
    for (int k = 0; k < 63; ++k) {
      const int row = k / 3;
      const bool lip = row == 6 || row == 12 || row == 14 || row == 17 || row == 19 || row == 20;
      const float want = lip ? s * ratio * (res[i * 265 + 202 + size_t(k)] - res[202 + size_t(k)]) : 0.f;
      ASSERT_NEAR(xdla[i * 63 + k] - xsla[i * 63 + k], want, 2e-6f) << i << " " << k;
      if (!lip) {
        ASSERT_EQ(f.xd[i * 63 + k], f.xs[i * 63 + k]) << i << " " << k;
      }
      lipsMoved = lipsMoved || std::abs(want) > 1e-3f;
    }
  }
  EXPECT_TRUE(lipsMoved);
}

TEST(Motion, DeltaPitchTiltsTheDrivingPose) {
  test::TempDir t;
  Motion m(cutDir(t, 12, ", \"delta_pitch\": 8"), 1, "");
  const std::vector<float> silence(640 * 3, 0.f);
  const Frames f = stream(m, silence, {silence.size()});
  const auto src = readFloats(tinyMotion() + "/src_xs_info.bin");
  for (size_t i = 0; i < f.size(); ++i) {
    const float* q = src.data() + size_t(f.idx[i]) * 328;
    const float a1 = motion::bin66(q + 126), a2 = motion::bin66(q + 262), a3 = motion::bin66(q + 192);
    float xs[63], xd[63];
    motion::keypoints(q, motion::poseToR(a1, a2, a3), q, xs);
    motion::keypoints(q, motion::poseToR(a1 + 8, a2, a3), q, xd);
    for (int k = 0; k < 63; ++k)  // stitched: x_d + 0.25 (x_d - x_s), bridged with gain 1
      EXPECT_NEAR(f.xd[i * 63 + k] - f.xs[i * 63 + k], 1.25f * (xd[k] - xs[k]), 1e-5f) << i << " " << k;
  }
}

TEST(Motion, LipOpeningFollowsLoudness) {
  Motion m(tinyMotion(), 1, "");
  for (const char* name : {"sentence.wav", "long10s.wav"}) {
    const std::vector<float> audio = audio_test::clip(name);
    m.reset(0, 1, 1);
    const Frames f = stream(m, audio, {640});
    std::vector<double> open;
    for (size_t i = 0; i < f.size(); ++i)
      open.push_back(double(f.xd[i * 63 + 20 * 3 + 1]) - f.xd[i * 63 + 19 * 3 + 1]);
    const double r = audio_test::pearson(audio_test::frameRms(audio), open);
    EXPECT_GE(r, 0.5) << name;
    RecordProperty(std::string("pearson_r_") + name, std::to_string(r));
  }
}

TEST(Motion, LoadRefusals) {
  auto err = [](const std::string& dir, const std::string& ep = "") {
    return test::thrownBy([&] { Motion m(dir, 1, ep); });
  };
  {
    test::TempDir t;
    cutDir(t, 12);
    fs::remove(t.file("meta.json"));
    EXPECT_EQ(err(t.path()), "cannot open " + t.file("meta.json"));
  }
  {
    test::TempDir t;
    cutDir(t, 12);
    test::writeFile(t.file("meta.json"), R"({"nt": 12, "n_src": 11, "n_emo": 4, "s_bridge": 1})");
    EXPECT_EQ(err(t.path()), "le_motion: n_src != nt unsupported");
    test::writeFile(t.file("meta.json"), R"({"nt": 12, "n_src": 12, "s_bridge": 1})");
    EXPECT_EQ(err(t.path()), "meta.json: missing n_emo");
  }
  // Every table: short, long, missing.
  for (const char* name : {"hubert_stft_window.bin", "hubert_stft_binmat.bin", "hubert_fmean.bin", "hubert_fstd.bin",
                           "emo.bin", "ch_xs_info.bin", "ch_sc.bin", "ch_eye_open.bin", "ch_eye_ball.bin",
                           "v_min_max.bin", "src_xs_info.bin", "xs_target.bin"}) {
    test::TempDir t;
    cutDir(t, 12);
    const size_t bytes = fs::file_size(t.file(name));
    fs::resize_file(t.file(name), bytes - 4);
    EXPECT_EQ(err(t.path()), "short read " + t.file(name) + ": " + std::to_string(bytes / 4 - 1) + " of " +
                                 std::to_string(bytes / 4) + " values");
    fs::resize_file(t.file(name), bytes + 4);
    EXPECT_EQ(err(t.path()), t.file(name) + " holds " + std::to_string(bytes / 4 + 1) + " values where " +
                                 std::to_string(bytes / 4) + " are expected");
    fs::remove(t.file(name));
    EXPECT_EQ(err(t.path()), "cannot open " + t.file(name));
  }
  // Models: absent, or with the wrong tensors.
  {
    test::TempDir t;
    cutDir(t, 12);
    fs::remove(t.file("lmdm.onnx"));
    EXPECT_EQ(err(t.path()).rfind("cannot load model " + t.file("lmdm.onnx") + ": ", 0), 0u);
    fs::copy_file(t.file("hubert_student.onnx"), t.file("lmdm.onnx"));
    EXPECT_EQ(err(t.path()), t.file("lmdm.onnx") + " has 1 input(s) and 1 output(s) where 2 and 1 are expected");
    fs::remove(t.file("lmdm.onnx"));
    fs::copy_file(t.file("stitch.onnx"), t.file("lmdm.onnx"));
    EXPECT_EQ(err(t.path()), t.file("lmdm.onnx") + ": input x_s takes [1, 63], which cannot hold 265 values");
  }
  // Execution providers: unknown names are refused; this build has no CoreML.
  EXPECT_EQ(err(tinyMotion(), "cuda"), "le_motion: unknown ep 'cuda'");
  EXPECT_EQ(err(tinyMotion(), "coreml:ane").rfind("le_motion: ep 'coreml:ane': ", 0), 0u);
}

}  // namespace
}  // namespace le
