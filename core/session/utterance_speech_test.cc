// The utterance pipeline over the real audio-to-expression stream of the
// tiny bundle, spoken to with an espeak-ng sentence: the speech frames are
// exactly what a direct le_a2x run yields for the same samples, and the
// frame stream stays continuous through idle, speech, ramp and idle again.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "core/session/context.h"
#include "core/session/utterance_pipeline.h"
#include "le/le.h"
#include "le/le_a2x.h"
#include "tests/test_support.h"

namespace {

using namespace std::chrono_literals;
constexpr int kKp = 63;

std::vector<int16_t> readWav(const std::string& path) {
  const std::vector<unsigned char> b = le::test::readFile(path);
  for (size_t p = 12; p + 8 <= b.size();) {
    uint32_t len;
    std::memcpy(&len, &b[p + 4], 4);
    if (std::memcmp(&b[p], "data", 4) == 0) {
      std::vector<int16_t> s(std::min<size_t>(len, b.size() - p - 8) / 2);
      std::memcpy(s.data(), &b[p + 8], s.size() * 2);
      return s;
    }
    p += 8 + len + (len & 1);
  }
  return {};
}

struct CtxDeleter {
  void operator()(le_ctx* c) const { le_destroy(c); }
};

struct Pulled {
  le_utt_frame_info info;
  std::vector<float> kp;
};

// The frames a source yields for the whole of pcm, started at `start`.
using DirectRun = std::function<int(const std::string& dir, int start, const std::vector<float>& pcm, int frames,
                                    int32_t* idx, float* xd)>;

int directA2x(const std::string& dir, int start, const std::vector<float>& f, int frames, int32_t* idx, float* xd) {
  le_a2x* a = le_a2x_create(dir.c_str(), 1);
  if (!a) return -1;
  le_a2x_reset(a, start, 1, 1);
  le_a2x_push(a, f.data(), int(f.size()));
  le_a2x_finish(a);
  std::vector<float> base(size_t(frames) * kKp);
  const int n = le_a2x_pull(a, idx, base.data(), xd, frames);
  le_a2x_destroy(a);
  return n;
}

int directMotion(const std::string& dir, int start, const std::vector<float>& f, int frames, int32_t* idx,
                 float* xd) {
  le_motion* m = le_motion_create(dir.c_str(), 1, "");
  if (!m) return -1;
  le_motion_reset(m, start, 1, 1);
  le_motion_push(m, f.data(), int(f.size()));
  le_motion_finish(m);
  std::vector<float> xs(size_t(frames) * kKp);
  int n = 0;
  while (n < frames && le_motion_avail(m) > 0)
    n += le_motion_pull(m, idx + n, xs.data() + size_t(n) * kKp, xd + size_t(n) * kKp, frames - n);
  le_motion_destroy(m);
  return n;
}

void speakThrough(const std::string& motionDir, bool a2x, const DirectRun& direct) {
  const std::string bundle = le::test::bundlePath("tiny");
  const std::vector<int16_t> pcm = readWav(le::test::dataDir() + "/speech/hello.wav");
  ASSERT_GT(pcm.size(), 16000u);
  std::unique_ptr<le_ctx, CtxDeleter> ctx(le_create(bundle.c_str(), "b1_fp32", 1, nullptr));
  ASSERT_TRUE(ctx) << le_last_error();
  le::ensureRenderer(*ctx);
  const int nt = le_nt(ctx.get());
  std::vector<Pulled> frames;
  for (const char* pipe : {"1", "0"}) {
    SCOPED_TRACE(std::string("LE_UTT_PIPELINE_PASTE=") + pipe);
    setenv("LE_UTT_PIPELINE_PASTE", pipe, 1);
    le_utt_opts opts{};
    opts.motion_dir = motionDir.c_str();
    opts.threads = 1;
    opts.hold_s = -1;
    le::UtterancePipeline p(ctx.get(), opts);
    unsetenv("LE_UTT_PIPELINE_PASTE");
    EXPECT_EQ(p.a2xMode(), a2x);
    std::string err;
    for (int i = 0; i < 60000 && p.ready(&err) == 0; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(p.ready(&err), 1) << err;

    std::vector<uint8_t> rgb(size_t(le_width(ctx.get())) * size_t(le_height(ctx.get())) * 3);
    frames.clear();
    auto pullOne = [&]() {
      Pulled f{{}, std::vector<float>(kKp)};
      for (int i = 0; i < 60000; ++i) {
        if (p.pullFrame(rgb.data(), rgb.size(), &f.info, f.kp.data()) == 1) {
          frames.push_back(f);
          return true;
        }
        std::this_thread::sleep_for(1ms);
      }
      return false;
    };
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(pullOne());
    // Push in uneven pieces, as a host's audio callback would.
    for (size_t off = 0; off < pcm.size();) {
      const size_t n = std::min<size_t>(pcm.size() - off, 333 + off % 1000);
      p.pushAudio(pcm.data() + off, int(n));
      off += n;
    }
    p.endUtterance();
    int run = 0;
    bool other = false;
    while (run < 3) {
      ASSERT_TRUE(pullOne());
      if (frames.back().info.kind != 0) other = true, run = 0;
      else if (other) ++run;
    }
    const int expected = int((pcm.size() + 639) / 640);
    std::vector<Pulled> speech;
    int ramps = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
      if (i) {
        EXPECT_EQ(frames[i].info.src_index, (frames[i - 1].info.src_index + 1) % nt) << i;
      }
      if (frames[i].info.kind == 1) speech.push_back(frames[i]);
      ramps += frames[i].info.kind == 2;
    }
    ASSERT_EQ(int(speech.size()), expected);
    EXPECT_EQ(ramps, 6);

    // The same samples straight through the stream, started where the
    // pipeline's utterance started.
    std::vector<float> f(pcm.size());
    for (size_t i = 0; i < pcm.size(); ++i) f[i] = float(pcm[i]) * (1.0f / 32768.0f);
    std::vector<int32_t> idx(static_cast<size_t>(expected));
    std::vector<float> expr(static_cast<size_t>(expected) * kKp);
    ASSERT_EQ(direct(motionDir, speech[0].info.src_index, f, expected, idx.data(), expr.data()), expected);
    for (int i = 0; i < expected; ++i) {
      EXPECT_EQ(speech[size_t(i)].info.speech_index, i);
      EXPECT_EQ(speech[size_t(i)].info.src_index, idx[size_t(i)]);
      // A stream's frames may have been moved along the loop to follow the
      // idle frames (their offsets re-added to another frame's keypoints),
      // which rounds; keypoint motion's never are.
      const double tolerance = a2x ? 1e-5 : 0.0;
      for (int k = 0; k < kKp; ++k)
        ASSERT_NEAR(speech[size_t(i)].kp[size_t(k)], expr[size_t(i) * kKp + size_t(k)], tolerance)
            << "driving keypoints of speech frame " << i << " value " << k;
    }
    const le_utt_stats st = p.stats();
    EXPECT_EQ(st.utterances, 1);
    EXPECT_GT(st.first_frame_latency_ms, 0);
  }
}

// Lips follow the speech in the delivered frames: per speech frame, the
// opening between the lower and upper lip rows of the driving keypoints
// against the loudness of that frame's samples.
TEST(UttSpeech, DeliveredLipsFollowTheLoudness) {
  const std::string bundle = le::test::bundlePath("tiny");
  const std::vector<int16_t> pcm = readWav(le::test::dataDir() + "/speech/sentence.wav");
  ASSERT_GT(pcm.size(), 32000u);
  std::unique_ptr<le_ctx, CtxDeleter> ctx(le_create(bundle.c_str(), "b1_fp32", 1, nullptr));
  ASSERT_TRUE(ctx) << le_last_error();
  le::ensureRenderer(*ctx);
  le_utt_opts opts{};
  opts.motion_dir = bundle.c_str();
  opts.threads = 1;
  le::UtterancePipeline p(ctx.get(), opts);
  std::string err;
  for (int i = 0; i < 60000 && p.ready(&err) == 0; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(p.ready(&err), 1) << err;
  p.pushAudio(pcm.data(), int(pcm.size()));
  p.endUtterance();
  std::vector<uint8_t> rgb(size_t(le_width(ctx.get())) * size_t(le_height(ctx.get())) * 3);
  std::vector<double> opening, loudness;
  float kp[kKp];
  for (int waited = 0; waited < 120000;) {
    le_utt_frame_info info{};
    if (p.pullFrame(rgb.data(), rgb.size(), &info, kp) != 1) {
      std::this_thread::sleep_for(1ms);
      ++waited;
      continue;
    }
    if (info.kind == 2) break;
    if (info.kind != 1) continue;
    // Lower lip rows 17 and 20 against upper lip rows 14 and 19 (y).
    opening.push_back(0.5 * (kp[17 * 3 + 1] + kp[20 * 3 + 1]) - 0.5 * (kp[14 * 3 + 1] + kp[19 * 3 + 1]));
    double e = 0;
    const size_t from = size_t(info.speech_index) * 640;
    for (size_t k = from; k < std::min(pcm.size(), from + 640); ++k) e += double(pcm[k]) * double(pcm[k]);
    loudness.push_back(std::sqrt(e / 640.0));
  }
  ASSERT_EQ(opening.size(), (pcm.size() + 639) / 640);
  const size_t n = opening.size();
  double ma = 0, mb = 0;
  for (size_t i = 0; i < n; ++i) ma += opening[i], mb += loudness[i];
  ma /= double(n);
  mb /= double(n);
  double sab = 0, saa = 0, sbb = 0;
  for (size_t i = 0; i < n; ++i) {
    sab += (opening[i] - ma) * (loudness[i] - mb);
    saa += (opening[i] - ma) * (opening[i] - ma);
    sbb += (loudness[i] - mb) * (loudness[i] - mb);
  }
  const double r = sab / std::sqrt(saa * sbb);
  EXPECT_GE(std::fabs(r), 0.5) << "Pearson r between lip opening and loudness: " << r;
  std::printf("lip opening vs loudness over %zu speech frames: r = %.3f\n", n, r);
}

TEST(UttSpeech, AudioToExpressionFramesAreTheStreamsOwnAndTheLoopStaysWhole) {
  speakThrough(le::test::bundlePath("tiny"), true, directA2x);
}

// The keypoint-motion directory of the same avatar: the pipeline picks
// le_motion because it holds no audio-to-expression encoder.
TEST(UttSpeech, KeypointMotionFramesAreTheStreamsOwnAndTheLoopStaysWhole) {
  speakThrough(le::test::bundlePath("tiny_motion"), false, directMotion);
}

}  // namespace
