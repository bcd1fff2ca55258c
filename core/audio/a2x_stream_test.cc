// The audio-to-expression stream through its C functions. CTest runs every
// case in its own process, which matters here: the window pair is looked for
// once per process, so a case picks the feature path with the environment it
// sets before its first stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/audio/a2x_stream.h"
#include "core/audio/audio_test_util.h"
#include "core/audio/encoder_sessions.h"
#include "le/le_a2x.h"

namespace le::audio_test {
namespace {

struct StreamDeleter {
  void operator()(le_a2x* a) const { le_a2x_destroy(a); }
};
using StreamPtr = std::unique_ptr<le_a2x, StreamDeleter>;

StreamPtr open(const std::string& bundle, int threads = 1) {
  StreamPtr a(le_a2x_create(bundle.c_str(), threads));
  if (!a) ADD_FAILURE() << "le_a2x_create: " << le_a2x_last_error();
  return a;
}

void useEightSecondPath() { ::setenv("W2V_ONNX", fullOnlyEncoder().c_str(), 1); }

std::vector<float> silence(size_t n) { return std::vector<float>(n, 0.0f); }

bool sameFrames(const Frames& a, const Frames& b) {
  return a.idx == b.idx && a.size() == b.size() &&
         std::memcmp(a.expr.data(), b.expr.data(), a.expr.size() * sizeof(float)) == 0 &&
         std::memcmp(a.wn.data(), b.wn.data(), a.wn.size() * sizeof(float)) == 0;
}

// The frames a live stream may hand out with s samples received.
int expectedReady(int64_t s, int lag) {
  const int64_t whole = std::min(s, (s + 639) / 5120 * 5120);
  return static_cast<int>(std::max<int64_t>(0, (whole + 639) / 640 - lag));
}

// --- timing ----------------------------------------------------------------

void checkTiming(int lag) {
  StreamPtr a = open(test::bundlePath("tiny"));
  ASSERT_TRUE(a);
  const std::vector<float> speech = clip("sentence.wav");
  EXPECT_EQ(le_a2x_total(a.get()), -1);
  le_a2x_push(a.get(), speech.data(), 5119);
  EXPECT_EQ(le_a2x_avail(a.get()), 0);
  EXPECT_EQ(le_a2x_total(a.get()), -1);
  int64_t s = 5119;
  int computed = 0;
  Frames f;
  // Block by block: every frame the formula allows is there, none more.
  for (int block = 1; block <= 9; ++block) {
    const int64_t to = 5120LL * block;
    le_a2x_push(a.get(), speech.data() + s, static_cast<int>(to - s));
    s = to;
    computed += pullAvailable(a.get(), f);
    EXPECT_EQ(computed, expectedReady(s, lag)) << "at " << s << " samples";
  }
  le_a2x_finish(a.get());
  EXPECT_EQ(le_a2x_total(a.get()), static_cast<int>((s + 639) / 640));
  computed += pullAvailable(a.get(), f);
  EXPECT_EQ(computed, le_a2x_total(a.get()));
  EXPECT_EQ(le_a2x_avail(a.get()), 0);

  le_a2x_reset(a.get(), 0, 1, 1);
  std::vector<float> x(641, 0.01f);
  le_a2x_push(a.get(), x.data(), 641);
  EXPECT_EQ(le_a2x_total(a.get()), -1);
  le_a2x_finish(a.get());
  EXPECT_EQ(le_a2x_total(a.get()), 2);
  Frames g;
  EXPECT_EQ(pullAvailable(a.get(), g), 2);
}

TEST(A2xTiming, WindowedLagsOneBlockPlusRightContextPlusEight) { checkTiming(12 + 8); }

TEST(A2xTiming, EightSecondLagsOneBlockPlusRightContext) {
  useEightSecondPath();
  checkTiming(12);
}

TEST(A2xTiming, RightContextComesFromTheEnvironment) {
  ::setenv("LE_A2X_W2V_RIGHT", "-5", 1);  // negative reads as 0: the look-ahead (2) rules
  useEightSecondPath();
  checkTiming(2);
}

// --- push-size invariance ----------------------------------------------------

void checkPushSizes() {
  const std::vector<float> speech = clip("hello.wav");
  StreamPtr a = open(test::bundlePath("tiny"));
  ASSERT_TRUE(a);
  const Frames ref = streamAll(a.get(), speech, {5120}, true);
  ASSERT_EQ(ref.size(), (speech.size() + 639) / 640);
  std::mt19937 rng(7);
  std::vector<int> random(64);
  for (int& n : random) n = 1 + static_cast<int>(rng() % 3000);
  for (const std::vector<int>& sizes : std::vector<std::vector<int>>{{1}, {7}, {640}, random, {5119, 5121}}) {
    le_a2x_reset(a.get(), 0, 1, 1);
    const Frames f = streamAll(a.get(), speech, sizes, true);
    EXPECT_TRUE(sameFrames(f, ref)) << "push size " << sizes[0];
  }
}

TEST(A2xPushSizes, WindowedFramesDoNotDependOnPushSizes) { checkPushSizes(); }

TEST(A2xPushSizes, EightSecondFramesDoNotDependOnPushSizes) {
  useEightSecondPath();
  checkPushSizes();
}

// Pulling one frame at a time computes in smaller steps than pulling all
// that is available; the frames may not tell the difference.
TEST(A2xPushSizes, FramesDoNotDependOnHowTheyArePulled) {
  const std::vector<float> speech = clip("hello.wav");
  StreamPtr a = open(test::bundlePath("tiny"));
  ASSERT_TRUE(a);
  const Frames ref = streamAll(a.get(), speech, {5120}, true);
  le_a2x_reset(a.get(), 0, 1, 1);
  Frames f;
  auto pullOne = [&] {
    for (;;) {
      const size_t at = f.size();
      f.idx.resize(at + 1);
      f.base.resize((at + 1) * 63);
      f.expr.resize((at + 1) * 63);
      f.wn.resize(at + 1);
      if (le_a2x_pull_wn(a.get(), &f.idx[at], &f.base[at * 63], &f.expr[at * 63], &f.wn[at], 1) == 1) continue;
      f.idx.resize(at);
      f.base.resize(at * 63);
      f.expr.resize(at * 63);
      f.wn.resize(at);
      return;
    }
  };
  for (size_t at = 0, k = 0; at < speech.size(); ++k) {
    const int n = static_cast<int>(std::min<size_t>(k % 2 ? 5121 : 5119, speech.size() - at));
    le_a2x_push(a.get(), speech.data() + at, n);
    at += n;
    pullOne();
  }
  le_a2x_finish(a.get());
  pullOne();
  EXPECT_TRUE(sameFrames(f, ref));
}

// Frames before the end of the position table see a window that ends there;
// a chunk of the encoder's grid that straddles it is run in two parts, each
// as the push sizes would have it anyway.
TEST(A2xPushSizes, ChunkAcrossThePositionTableEndDoesNotDependOnPushSizes) {
  test::TempDir tmp;
  const std::string dir = bundleVariant(tmp);
  const std::vector<unsigned char> pos = test::readFile(dir + "/a2x_pos.f32");
  const std::vector<unsigned char> metaBytes = test::readFile(dir + "/a2x_meta.json");
  const size_t h = static_cast<size_t>(a2x::parseMeta(std::string(metaBytes.begin(), metaBytes.end())).h);
  ASSERT_GE(pos.size(), 13 * h * 4);
  test::writeFile(dir + "/a2x_pos.f32", pos.data(), 13 * h * 4);  // 13 rows: not on the 8-frame grid
  const std::vector<float> speech = clip("hello.wav");
  StreamPtr a = open(dir);
  ASSERT_TRUE(a);
  const Frames ref = streamAll(a.get(), speech, {int(speech.size())}, true);
  ASSERT_EQ(ref.size(), (speech.size() + 639) / 640);
  for (const std::vector<int>& sizes : std::vector<std::vector<int>>{{640}, {5119, 5121}, {333}}) {
    le_a2x_reset(a.get(), 0, 1, 1);
    const Frames f = streamAll(a.get(), speech, sizes, true);
    EXPECT_STREQ(le_a2x_last_error(), "");
    EXPECT_TRUE(sameFrames(f, ref)) << "push size " << sizes[0];
  }
}

// A stream that runs for minutes drops the audio, context vectors and
// offsets no later frame reads; where it drops them depends on how it was fed
// and pulled, and none of that may change a frame or stop the stream.
void checkLongStream() {
  const std::vector<float> clip10 = clip("long10s.wav");
  std::vector<float> speech;
  for (int k = 0; k < 4; ++k) speech.insert(speech.end(), clip10.begin(), clip10.end());
  speech.resize(speech.size() + 16000 * 3, 0.0f);  // and a pause
  StreamPtr a = open(test::bundlePath("tiny"));
  ASSERT_TRUE(a);
  const Frames whole = streamAll(a.get(), speech, {int(speech.size())});
  ASSERT_EQ(whole.size(), (speech.size() + 639) / 640);
  for (const std::vector<int>& sizes : std::vector<std::vector<int>>{{640}, {1, 20000, 333}}) {
    le_a2x_reset(a.get(), 0, 1, 1);
    const Frames f = streamAll(a.get(), speech, sizes);
    EXPECT_STREQ(le_a2x_last_error(), "");
    EXPECT_TRUE(sameFrames(f, whole)) << "push size " << sizes[0];
  }
}

TEST(A2xLongStream, WindowedFramesSurviveWhatTheStreamReleases) { checkLongStream(); }

TEST(A2xLongStream, EightSecondFramesSurviveWhatTheStreamReleases) {
  useEightSecondPath();
  checkLongStream();
}

// A live 8-second stream keeps only features whose audio had arrived: what it
// handed out before more audio came is what a stream that never got that
// audio hands out, and it does hand frames out long before 8 s.
TEST(A2xPushSizes, LiveEightSecondFramesIgnoreAudioThatCameLater) {
  useEightSecondPath();
  const std::vector<float> speech = clip("sentence.wav");
  const size_t head = 3 * 16000;
  StreamPtr a = open(test::bundlePath("tiny"));
  StreamPtr b = open(test::bundlePath("tiny"));
  ASSERT_TRUE(a && b);
  Frames fa, fb;
  for (size_t at = 0; at < head; at += 5120) {
    const int n = static_cast<int>(std::min<size_t>(5120, head - at));
    le_a2x_push(a.get(), speech.data() + at, n);
    le_a2x_push(b.get(), speech.data() + at, n);
    pullAvailable(a.get(), fa);
    pullAvailable(b.get(), fb);
  }
  ASSERT_GE(fa.size(), 50u);  // live: 2 s of frames after 3 s of audio
  // b gets loud noise next, a the rest of the sentence.
  std::vector<float> noise(32000);
  std::mt19937 rng(3);
  for (float& v : noise) v = std::uniform_real_distribution<float>(-0.9f, 0.9f)(rng);
  const size_t before = fa.size();
  le_a2x_push(a.get(), speech.data() + head, static_cast<int>(speech.size() - head));
  le_a2x_push(b.get(), noise.data(), static_cast<int>(noise.size()));
  le_a2x_finish(a.get());
  le_a2x_finish(b.get());
  pullAvailable(a.get(), fa);
  pullAvailable(b.get(), fb);
  ASSERT_GT(fa.size(), before);
  ASSERT_GT(fb.size(), before);
  EXPECT_EQ(0, std::memcmp(fa.expr.data(), fb.expr.data(), before * 63 * sizeof(float)));
  // The frames right after differ: the audio did reach them.
  EXPECT_NE(0, std::memcmp(fa.expr.data() + before * 63, fb.expr.data() + before * 63, 63 * sizeof(float)));
}

// --- driving indices -------------------------------------------------------

std::vector<int32_t> walk(le_a2x* a, int start, int step, int loop, int frames) {
  le_a2x_reset(a, start, step, loop);
  const std::vector<float> s = silence(static_cast<size_t>(frames) * 640);
  le_a2x_push(a, s.data(), static_cast<int>(s.size()));
  le_a2x_finish(a);
  Frames f;
  pullAvailable(a, f);
  return f.idx;
}

TEST(A2xPushSizes, SamplesThatAreNotFiniteCountAsSilence) {
  // One such sample made its window's normalisation NaN, and the decoder's
  // state carried it into every later frame.
  StreamPtr a = open(test::bundlePath("tiny"));
  ASSERT_TRUE(a);
  std::vector<float> bad = clip("sentence.wav"), zeroed = bad;
  ASSERT_GT(bad.size(), 20000u);
  for (size_t i = 10240; i < 10880; ++i) {
    bad[i] = i % 2 ? std::nanf("") : (i % 4 ? -INFINITY : INFINITY);
    zeroed[i] = 0.f;
  }
  Frames f, g;
  le_a2x_push(a.get(), bad.data(), static_cast<int>(bad.size()));
  le_a2x_finish(a.get());
  pullAvailable(a.get(), f);
  le_a2x_reset(a.get(), 0, 1, 1);
  le_a2x_push(a.get(), zeroed.data(), static_cast<int>(zeroed.size()));
  le_a2x_finish(a.get());
  pullAvailable(a.get(), g);
  ASSERT_EQ(f.size(), (bad.size() + 639) / 640);
  EXPECT_TRUE(sameFrames(f, g));
}

TEST(A2xIndices, LoopPingPongAndBackwardWalks) {
  useEightSecondPath();
  StreamPtr a = open(test::bundlePath("tiny"));
  ASSERT_TRUE(a);
  const int nt = le_a2x_nt(a.get());
  ASSERT_EQ(nt, 12);
  std::vector<int32_t> loop, bounce, back;
  for (int i = 0; i < 30; ++i) {
    loop.push_back((3 + i) % nt);
    const int m = (3 + i) % 22;
    bounce.push_back(m < nt ? m : 22 - m);
    back.push_back(((-i) % nt + nt) % nt);
  }
  EXPECT_EQ(walk(a.get(), 3, 1, 1, 30), loop);
  EXPECT_EQ(walk(a.get(), 3, 1, 0, 30), bounce);
  EXPECT_EQ(walk(a.get(), 0, -1, 1, 30), back);
  // Pulled base is the driving frame's own coefficients.
  const std::vector<float> xs = [] {
    auto b = test::readFile(test::bundlePath("tiny") + "/xs_target.bin");
    std::vector<float> v(b.size() / 4);
    std::memcpy(v.data(), b.data(), v.size() * 4);
    return v;
  }();
  le_a2x_reset(a.get(), 5, 1, 1);
  const std::vector<float> s = silence(640);
  le_a2x_push(a.get(), s.data(), 640);
  le_a2x_finish(a.get());
  Frames f;
  ASSERT_EQ(pullAvailable(a.get(), f), 1);
  EXPECT_EQ(0, std::memcmp(f.base.data(), xs.data() + 5 * 63, 63 * sizeof(float)));
}

TEST(A2xIndices, ResetWithNegativeStartContinuesTheWalk) {
  useEightSecondPath();
  StreamPtr a = open(test::bundlePath("tiny"));
  ASSERT_TRUE(a);
  std::vector<int32_t> first = walk(a.get(), 4, 1, 0, 13);  // 4..11, 10..6
  ASSERT_EQ(first.back(), 6);
  std::vector<int32_t> next = walk(a.get(), -1, -1, 0, 3);
  EXPECT_EQ(next, (std::vector<int32_t>{5, 4, 3}));
  next = walk(a.get(), -1, 1, 1, 3);
  EXPECT_EQ(next, (std::vector<int32_t>{2, 3, 4}));
}

TEST(A2xIndices, OneDrivingFramePinsEveryFrame) {
  useEightSecondPath();
  test::TempDir tmp;
  const std::string dir = bundleVariant(tmp);
  std::vector<float> one(63, 0.25f);
  test::writeFile(dir + "/xs_target.bin", one.data(), one.size() * sizeof(float));
  StreamPtr a = open(dir);
  ASSERT_TRUE(a);
  EXPECT_EQ(le_a2x_nt(a.get()), 1);
  EXPECT_EQ(walk(a.get(), 0, -1, 1, 5), std::vector<int32_t>(5, 0));
  EXPECT_EQ(walk(a.get(), 7, 1, 0, 5), std::vector<int32_t>(5, 0));
}

// --- feature paths -----------------------------------------------------------

TEST(A2xPaths, PairBesideTheEncoderIsTheWindowedPath) {
  testing::internal::CaptureStderr();
  StreamPtr a = open(test::bundlePath("tiny"));
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(a);
  EXPECT_NE(err.find("[le_a2x] short-window w2v frontend loaded (LT=400) trunk="), std::string::npos) << err;
  EXPECT_NE(err.find("[le_a2x] live cadence: block-320 (one trunk window per 8 frames), push-size invariant, "
                     "threads=1"),
            std::string::npos)
      << err;
}

TEST(A2xPaths, EncoderAloneServesTheEightSecondPath) {
  useEightSecondPath();
  testing::internal::CaptureStderr();
  StreamPtr a = open(test::bundlePath("tiny"));
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(a);
  EXPECT_NE(err.find("short-window audio frontend NOT DEPLOYED on this plane"), std::string::npos) << err;
  EXPECT_NE(err.find("(" + fullOnlyEncoder() + ")"), std::string::npos) << err;
}

TEST(A2xPaths, PairFromTheEnvironmentWithADynamicTrunkLength) {
  useEightSecondPath();
  ::setenv("LE_A2X_W2V_WIN_ONNX", (speechDir() + "/trunk_dynamic_lt.onnx").c_str(), 1);
  ::setenv("LE_A2X_W2V_HEAD_ONNX", (speechDir() + "/audio_encoder_fp16_window_head.onnx").c_str(), 1);
  testing::internal::CaptureStderr();
  StreamPtr a = open(test::bundlePath("tiny"));
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(a);
  EXPECT_NE(err.find("loaded (LT=from-first-run) trunk=" + speechDir() + "/trunk_dynamic_lt.onnx ("),
            std::string::npos)
      << err;
  EXPECT_EQ(le::a2x::trunkLength(), 0);
  const Frames f = streamAll(a.get(), clip("hello.wav"), {5120});
  EXPECT_EQ(f.size(), (clip("hello.wav").size() + 639) / 640);
  EXPECT_EQ(le::a2x::trunkLength(), 400);
}

TEST(A2xPaths, TrunkPositionOutOfRangeStopsTheStreamWithAnError) {
  ::setenv("LE_A2X_W2V_RIGHT", "400", 1);  // the trunk window starts after its frames
  StreamPtr a = open(test::bundlePath("tiny"));
  ASSERT_TRUE(a);
  const std::vector<float> speech = clip("hello.wav");
  le_a2x_push(a.get(), speech.data(), static_cast<int>(speech.size()));
  le_a2x_finish(a.get());
  EXPECT_EQ(le_a2x_avail(a.get()), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x extend: w2v_win: trunk pos out of range");
  int32_t idx[4];
  float base[4 * 63], expr[4 * 63];
  EXPECT_EQ(le_a2x_pull(a.get(), idx, base, expr, 4), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x extend: w2v_win: trunk pos out of range");
}

// Where the two feature paths and the whole-utterance call meet.
TEST(A2xPaths, FinishedEightSecondStreamEqualsDeltasAndLiveStaysClose) {
  useEightSecondPath();
  const std::vector<float> speech = clip("long10s.wav");  // past the position table's 160 rows
  const int frames = static_cast<int>((speech.size() + 639) / 640);
  StreamPtr a = open(test::bundlePath("tiny"));
  ASSERT_TRUE(a);
  std::vector<float> d(static_cast<size_t>(frames) * 63), wn(frames);
  ASSERT_EQ(le_a2x_deltas_wn(a.get(), speech.data(), static_cast<int>(speech.size()), d.data(), wn.data(), frames),
            frames)
      << le_a2x_last_error();
  // All audio in, finished, then pulled: the same computation.
  le_a2x_push(a.get(), speech.data(), static_cast<int>(speech.size()));
  le_a2x_finish(a.get());
  Frames f;
  pullAvailable(a.get(), f, true);
  ASSERT_EQ(static_cast<int>(f.size()), frames);
  double maxDiff = 0;
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < 63; ++c) maxDiff = std::max(maxDiff, std::fabs(double(f.delta(i, c)) - d[i * 63 + c]));
  EXPECT_LT(maxDiff, 1e-6);
  for (int i = 0; i < frames; ++i) EXPECT_EQ(f.wn[i], wn[i]) << i;
  // Live, block by block: the early frames saw less audio.
  le_a2x_reset(a.get(), 0, 1, 1);
  const Frames live = streamAll(a.get(), speech, {5120});
  double liveDiff = 0;
  std::vector<double> x, y;
  for (int i = 0; i < frames; ++i) {
    x.push_back(lipOpening(live, i));
    y.push_back(d[i * 63 + 52]);
    liveDiff = std::max(liveDiff, std::fabs(x.back() - y.back()));
  }
  std::printf("[note] 8 s path, live stream vs le_a2x_deltas: lip offset r %.3f, largest difference %.4g\n",
              pearson(x, y), liveDiff);
  EXPECT_GT(pearson(x, y), 0.8);
}

TEST(A2xPaths, WindowedStreamFollowsTheEightSecondDeltas) {
  const std::vector<float> speech = clip("sentence.wav");
  const int frames = static_cast<int>((speech.size() + 639) / 640);
  StreamPtr a = open(test::bundlePath("tiny"));
  ASSERT_TRUE(a);
  std::vector<float> d(static_cast<size_t>(frames) * 63);
  ASSERT_EQ(le_a2x_deltas(a.get(), speech.data(), static_cast<int>(speech.size()), d.data(), frames), frames);
  const Frames f = streamAll(a.get(), speech, {5120});
  ASSERT_EQ(static_cast<int>(f.size()), frames);
  std::vector<double> x, y;
  double maxDiff = 0;
  for (int i = 0; i < frames; ++i) {
    x.push_back(lipOpening(f, i));
    y.push_back(d[i * 63 + 52]);
    maxDiff = std::max(maxDiff, std::fabs(x.back() - y.back()));
  }
  std::printf("[note] windowed stream vs le_a2x_deltas: lip offset r %.3f, largest difference %.4g\n",
              pearson(x, y), maxDiff);
  EXPECT_GT(pearson(x, y), 0.9);
}

// --- the lips follow the speech ------------------------------------------------

void checkLoudness() {
  const std::vector<float> speech = clip("sentence.wav");
  StreamPtr a = open(test::bundlePath("tiny"));
  ASSERT_TRUE(a);
  const Frames f = streamAll(a.get(), speech, {2048});
  const std::vector<double> rms = frameRms(speech);
  ASSERT_EQ(f.size(), rms.size());
  std::vector<double> open;
  for (size_t i = 0; i < f.size(); ++i) open.push_back(lipOpening(f, i));
  const double r = pearson(open, rms);
  std::printf("[note] lip opening vs frame RMS: Pearson r = %.3f\n", r);
  EXPECT_GE(r, 0.5);
  // Closed in silence.
  le_a2x_reset(a.get(), 0, 1, 1);
  const Frames quiet = streamAll(a.get(), silence(32000), {5120});
  for (size_t i = 0; i < quiet.size(); ++i) EXPECT_NEAR(lipOpening(quiet, i), 0.0, 1e-6) << i;
  // At the widest opening the upper lip rises, the lower lip drops and the
  // corners come in, while the rest of the face barely moves.
  const size_t wide = std::max_element(open.begin(), open.end()) - open.begin();
  EXPECT_GT(open[wide], 0.02);
  EXPECT_LT(f.delta(wide, 14 * 3 + 1), -0.01);
  EXPECT_LT(f.delta(wide, 19 * 3 + 1), -0.01);
  EXPECT_GT(f.delta(wide, 20 * 3 + 1), 0.02);
  EXPECT_GT(f.delta(wide, 6 * 3), 0.005);
  EXPECT_LT(f.delta(wide, 12 * 3), -0.005);
  for (int row : {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 13, 15, 16, 18})
    for (int axis = 0; axis < 3; ++axis) EXPECT_LT(std::fabs(f.delta(wide, row * 3 + axis)), 0.005) << row;
}

TEST(A2xLoudness, WindowedLipsOpenWithTheSpeech) { checkLoudness(); }

TEST(A2xLoudness, EightSecondLipsOpenWithTheSpeech) {
  useEightSecondPath();
  checkLoudness();
}

// --- creation ------------------------------------------------------------------

std::string createError(const std::string& bundle) {
  StreamPtr a(le_a2x_create(bundle.c_str(), 1));
  return a ? "(created)" : le_a2x_last_error();
}

TEST(A2xCreate, RefusalsNameTheirReason) {
  test::TempDir tmp;
  const std::string dir = bundleVariant(tmp);
  const std::string meta = dir + "/a2x_meta.json";
  const std::vector<unsigned char> good = test::readFile(meta);
  test::writeFile(meta, "");
  EXPECT_EQ(createError(dir), "le_a2x_create: a2x_meta.json missing in " + dir);
  test::writeFile(meta, "{\"h\": 64, \"left\": 4, \"layers\": 2}");
  EXPECT_EQ(createError(dir), "le_a2x_create: meta lacks causal window/left (not a streaming a2x)");
  test::writeFile(meta, "{\"h\": 64, \"window\": -1, \"left\": 4}");
  EXPECT_EQ(createError(dir), "le_a2x_create: meta lacks causal window/left (not a streaming a2x)");
  test::writeFile(meta, "{\"h\": 9999, \"window\": 1, \"left\": 4}");  // table too narrow for h
  EXPECT_EQ(createError(dir), "le_a2x_create: pos/norm/xs_target read failed");
  test::writeFile(meta, good.data(), good.size());
  test::writeFile(dir + "/a2x_norm.f32", std::string(125 * 4, '\0'));
  EXPECT_EQ(createError(dir), "le_a2x_create: pos/norm/xs_target read failed");
  ::unsetenv("W2V_ONNX");
  EXPECT_EQ(createError(test::bundlePath("tiny")), "le_a2x_create: $W2V_ONNX not set");
  ::setenv("W2V_ONNX", (tmp.path() + "/missing.onnx").c_str(), 1);
  EXPECT_EQ(createError(test::bundlePath("tiny")).rfind("le_a2x_create: ", 0), 0u);
  EXPECT_EQ(le::a2x::detail::fullEncoderLoads(), 0);
  ::setenv("W2V_ONNX", fullEncoder().c_str(), 1);
  EXPECT_EQ(createError(test::bundlePath("tiny")), "(created)");
  EXPECT_EQ(createError(""), "le_a2x_create: NULL or empty bundle path");
  EXPECT_EQ(createError(tmp.path() + "/nothing"),
            "le_a2x_create: a2x_meta.json missing in " + tmp.path() + "/nothing");
}

TEST(A2xCreate, OutputsThatAreNotSinglePrecisionStopTheStreamWithAnError) {
  // Their half-precision values were read as floats: twice their length.
  const std::vector<float> speech = clip("sentence.wav");
  for (const char* output : {"m", "h_out", "ctx"}) {
    SCOPED_TRACE(output);
    test::TempDir tmp;
    StreamPtr a = open(bundleVariant(tmp, {"--half", output}));
    ASSERT_TRUE(a);
    le_a2x_push(a.get(), speech.data(), static_cast<int>(speech.size()));
    le_a2x_finish(a.get());
    EXPECT_EQ(le_a2x_avail(a.get()), 0);
    EXPECT_NE(std::string(le_a2x_last_error()).find(std::string(output) + " is not single precision"),
              std::string::npos)
        << le_a2x_last_error();
  }
}

TEST(A2xCreate, MetaWidthDisagreeingWithTheGraphIsServedAsTheGraph) {
  test::TempDir tmp;
  const std::string dir = bundleVariant(tmp, {"--width", "0", "--meta", "width=true"});
  testing::internal::CaptureStderr();
  StreamPtr a = open(dir);
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(a);
  EXPECT_NE(err.find("[le_a2x] WARNING: a2x_meta width=1 but the encoder declares 1 output(s) \xe2\x80\x94 serving "
                     "the GRAPH (width=0). Repackage this bundle."),
            std::string::npos)
      << err;
  EXPECT_EQ(le_a2x_width(a.get()), 0);
  std::vector<float> s(6400, 0.1f), out(630), wn(10);
  EXPECT_EQ(le_a2x_deltas_wn(a.get(), s.data(), 6400, out.data(), wn.data(), 10), -3);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas_wn: encoder declares no wn output");
  EXPECT_EQ(le_a2x_deltas(a.get(), s.data(), 6400, out.data(), 10), 10);
  EXPECT_STREQ(le_a2x_last_error(), "");
}

// --- whole utterances ---------------------------------------------------------

TEST(A2xDeltas, CapCountAndNullRules) {
  useEightSecondPath();
  StreamPtr a = open(test::bundlePath("tiny"));
  ASSERT_TRUE(a);
  EXPECT_EQ(le_a2x_width(a.get()), 1);
  std::vector<float> s(6401, 0.05f);
  std::vector<float> out(11 * 63, 7.0f), wn(11, 7.0f);
  EXPECT_EQ(le_a2x_deltas(a.get(), s.data(), 6401, out.data(), 10), -2);
  EXPECT_EQ(out[0], 7.0f);
  EXPECT_EQ(le_a2x_deltas(a.get(), s.data(), 0, out.data(), 10), 0);
  EXPECT_EQ(le_a2x_deltas(a.get(), s.data(), 6401, out.data(), 11), 11);
  EXPECT_EQ(le_a2x_deltas_wn(a.get(), s.data(), 6401, out.data(), wn.data(), 11), 11);
  for (float v : wn) EXPECT_TRUE(v > 0.0f && v < 1.0f) << v;
  EXPECT_EQ(le_a2x_deltas(nullptr, s.data(), 6401, out.data(), 11), -1);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas: NULL stream");
  EXPECT_EQ(le_a2x_nt(nullptr), 0);
  EXPECT_EQ(le_a2x_total(nullptr), -1);
  EXPECT_EQ(le_a2x_avail(nullptr), 0);
  le_a2x_destroy(nullptr);
}

TEST(A2xDeltas, SilencePrimingStartsFromTheSilentState) {
  useEightSecondPath();
  ::setenv("LE_A2X_SILENCE_PRIME", "0", 1);
  StreamPtr plain = open(test::bundlePath("tiny"));
  ::setenv("LE_A2X_SILENCE_PRIME", "16", 1);
  testing::internal::CaptureStderr();
  StreamPtr primed = open(test::bundlePath("tiny"));
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(plain && primed);
  EXPECT_NE(err.find("[le_a2x] silence-primed AR state cached (16 frames)"), std::string::npos) << err;
  const std::vector<float> s = silence(640 * 4);
  std::vector<float> p(4 * 63), q(4 * 63);
  ASSERT_EQ(le_a2x_deltas(plain.get(), s.data(), 2560, p.data(), 4), 4);
  ASSERT_EQ(le_a2x_deltas(primed.get(), s.data(), 2560, q.data(), 4), 4);
  // Primed, silence stays where it settled; from zeros it starts elsewhere.
  EXPECT_NE(0, std::memcmp(p.data(), q.data(), 63 * sizeof(float)));
  double settle = 0;
  for (int c = 0; c < 63; ++c) settle = std::max(settle, std::fabs(double(q[c]) - q[3 * 63 + c]));
  EXPECT_LT(settle, 2e-3);
  // The stream itself starts from the primed state after every reset.
  const Frames f = streamAll(primed.get(), s, {640});
  ASSERT_EQ(f.size(), 4u);
  for (int c = 0; c < 63; ++c) EXPECT_EQ(f.expr[c], f.base[c] + q[c]);
}

// --- many streams ---------------------------------------------------------------

TEST(A2xThreads, EightStreamsShareOneEncoder) {
  const std::vector<float> speech = clip("hello.wav");
  StreamPtr ref = open(test::bundlePath("tiny"));
  ASSERT_TRUE(ref);
  const Frames expected = streamAll(ref.get(), speech, {5120});
  std::vector<Frames> got(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      StreamPtr a(le_a2x_create(test::bundlePath("tiny").c_str(), 1));
      if (a) got[t] = streamAll(a.get(), speech, {1000 + 500 * t});
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 8; ++t) EXPECT_TRUE(sameFrames(got[t], expected)) << "thread " << t;
  EXPECT_EQ(le::a2x::detail::fullEncoderLoads(), 1);
}

}  // namespace
}  // namespace le::audio_test
