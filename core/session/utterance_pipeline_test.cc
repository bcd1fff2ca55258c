// The utterance pipeline's frame flow over the tiny bundle, driven by a
// scripted animation source so that every frame it yields is known.
#include "core/session/utterance_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "core/session/context.h"
#include "core/session/utterance_teeth.h"
#include "core/telemetry/telemetry.h"
#include "le/le.h"
#include "tests/test_support.h"

namespace {

using le::AnimationSource;
using le::UtterancePipeline;
using namespace std::chrono_literals;

constexpr int kKp = 63;

struct CtxDeleter {
  void operator()(le_ctx* c) const { le_destroy(c); }
};
using Ctx = std::unique_ptr<le_ctx, CtxDeleter>;

// What the scripted source handed out, for comparison with the frames.
struct SourceLog {
  std::mutex mu;
  std::vector<int> starts;       // start frame of every reset
  std::vector<int> idx;          // every frame pulled, in order
  std::vector<float> xd;         // their driving keypoints
  std::atomic<int> resets{0};
};

// A source with a fixed lag of `lag` frames while audio streams in; every
// frame's driving keypoints are the loop's own plus an offset that grows
// with the frame, so a ramp has something to ease back.
class ScriptedSource final : public AnimationSource {
 public:
  // With `broken` every frame names a source index outside the loop.
  // With `skew` it starts that many loop frames after where it is told.
  ScriptedSource(std::vector<float> xsT, int nt, int lag, SourceLog* log, bool broken = false, int skew = 0)
      : xsT_(std::move(xsT)), nt_(nt), lag_(lag), log_(log), broken_(broken), skew_(skew) {}
  void setEager(int) override {}
  void reset(int start) override {
    start_ = start + skew_;
    samples_ = pulled_ = 0;
    finished_ = false;
    std::lock_guard<std::mutex> lk(log_->mu);
    log_->starts.push_back(start);
    ++log_->resets;
  }
  // Like the real sources, a finished utterance takes no more audio.
  bool push(const float*, int n) override {
    if (finished_) return false;
    samples_ += n;
    return true;
  }
  std::string error() const override { return "scripted: already finished"; }
  void finish() override { finished_ = true; }
  int frames() const {
    if (finished_) return int((samples_ + 639) / 640);
    return std::max<int>(0, int(samples_ / 640) - lag_);
  }
  int avail() override { return frames() - pulled_; }
  int pull(int32_t* idx, float* xs, float* xd, int max) override {
    int n = 0;
    std::lock_guard<std::mutex> lk(log_->mu);
    while (n < max && pulled_ < frames()) {
      const int d = ((start_ + pulled_) % nt_ + nt_) % nt_;
      idx[n] = broken_ ? d + nt_ : d;
      for (int k = 0; k < kKp; ++k) {
        xs[n * kKp + k] = xsT_[size_t(d) * kKp + k];
        xd[n * kKp + k] = xsT_[size_t(d) * kKp + k] + 0.01f * float(1 + pulled_ % 5);
      }
      log_->idx.push_back(d);
      log_->xd.insert(log_->xd.end(), xd + n * kKp, xd + (n + 1) * kKp);
      ++pulled_;
      ++n;
    }
    return n;
  }
  int total() override { return finished_ ? frames() : -1; }

 private:
  std::vector<float> xsT_;
  int nt_, lag_;
  SourceLog* log_;
  bool broken_;
  int skew_;
  int start_ = 0;
  long samples_ = 0;
  int pulled_ = 0;
  bool finished_ = false;
};

// A source whose calls, once the test has armed it, block after the first
// request until the test opens its gate: a speech source that has fallen
// behind. (Unarmed it serves the warm-up's lag measurement.)
class GatedSource final : public AnimationSource {
 public:
  explicit GatedSource(std::unique_ptr<AnimationSource> inner) : inner_(std::move(inner)) {}
  ~GatedSource() override { open(); }
  void open() {
    std::lock_guard<std::mutex> lk(mu_);
    open_ = true;
    cv_.notify_all();
  }
  // Once armed, pulls yield at most `pullCap` frames each (0: no cap).
  void arm(int pullCap = 0) {
    std::lock_guard<std::mutex> lk(mu_);
    armed_ = true;
    pullCap_ = pullCap;
  }
  void setEager(int e) override { inner_->setEager(e); }
  void reset(int start) override { inner_->reset(start); }
  bool push(const float* pcm, int n) override { return inner_->push(pcm, n); }
  void finish() override { inner_->finish(); }
  int avail() override {
    std::unique_lock<std::mutex> lk(mu_);
    if (armed_ && calls_++ > 0) cv_.wait(lk, [&] { return open_; });
    return inner_->avail();
  }
  int pull(int32_t* idx, float* xs, float* xd, int max) override {
    {
      std::lock_guard<std::mutex> lk(mu_);
      if (armed_ && pullCap_ > 0) max = std::min(max, pullCap_);
    }
    return inner_->pull(idx, xs, xd, max);
  }
  int total() override { return inner_->total(); }

 private:
  std::unique_ptr<AnimationSource> inner_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false, armed_ = false;
  int calls_ = 0, pullCap_ = 0;
};

struct Frame {
  le_utt_frame_info info;
};

// How many of `frames` are of `kind`.
int countKind(const std::vector<le_utt_frame_info>& frames, int kind) {
  return int(std::count_if(frames.begin(), frames.end(), [kind](const le_utt_frame_info& f) { return f.kind == kind; }));
}

class UttTest : public ::testing::Test {
 protected:
  virtual std::string bundleName() const { return "tiny"; }
  void SetUp() override { open(le::test::bundlePath(bundleName())); }

  void open(const std::string& bundle) {
    ctx_.reset(le_create(bundle.c_str(), "b1_fp32", 1, nullptr));
    ASSERT_TRUE(ctx_) << le_last_error();
    le::ensureRenderer(*ctx_);
    nt_ = le_nt(ctx_.get());
    frameBytes_ = size_t(le_width(ctx_.get())) * size_t(le_height(ctx_.get())) * 3;
    buf_.resize(frameBytes_);
    // The loop's own keypoints: the drive data's first NT rows, cycled.
    const le::Drive& d = ctx_->drive;
    xsT_.resize(size_t(nt_) * kKp);
    for (int i = 0; i < nt_; ++i)
      for (int k = 0; k < kKp; ++k) xsT_[size_t(i) * kKp + k] = d.xs[size_t(i % d.frames) * kKp + k];
  }

  // A motion directory with (or without) the loop keypoints; `a2x` names it
  // an audio-to-expression directory, which turns paste pipelining on.
  std::string motionDir(bool xsTarget, bool a2x) {
    const std::string dir = tmp_.file("m" + std::to_string(dirs_++));
    le::test::runCommand("mkdir -p '" + dir + "'");
    if (xsTarget) le::test::writeFile(dir + "/xs_target.bin", xsT_.data(), xsT_.size() * 4);
    if (a2x) le::test::writeFile(dir + "/a2x_enc_stream.onnx", std::string("x"));
    return dir;
  }

  std::unique_ptr<UtterancePipeline> start(le_utt_opts opts, int lag = 8, bool broken = false, int skew = 0) {
    auto xs = xsT_;
    const int nt = nt_;
    SourceLog* log = &log_;
    return startWith(opts, [xs, nt, lag, log, broken, skew](bool, const std::string&, int, const std::string&,
                                                             std::string*) {
      return std::make_unique<ScriptedSource>(xs, nt, lag, log, broken, skew);
    });
  }

  // The same over a scripted source (lag 0) behind a gate, named in *gated.
  std::unique_ptr<UtterancePipeline> startGated(le_utt_opts opts, GatedSource** gated) {
    auto xs = xsT_;
    const int nt = nt_;
    SourceLog* log = &log_;
    return startWith(opts, [xs, nt, log, gated](bool, const std::string&, int, const std::string&, std::string*) {
      auto g = std::make_unique<GatedSource>(std::make_unique<ScriptedSource>(xs, nt, 0, log));
      *gated = g.get();
      return g;
    });
  }

  // A pipeline over `opener`'s source, once it is ready.
  std::unique_ptr<UtterancePipeline> startWith(le_utt_opts opts, le::SourceOpener opener) {
    auto p = std::make_unique<UtterancePipeline>(ctx_.get(), opts, std::move(opener));
    std::string err;
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (p->ready(&err) == 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(p->ready(&err), 1) << err;
    return p;
  }

  // Pulls one frame, waiting up to 20 s for it.
  bool pull(UtterancePipeline& p, le_utt_frame_info* info) {
    buf_.resize(frameBytes_);
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < until) {
      if (p.pullFrame(buf_.data(), buf_.size(), info) == 1) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  // Pulls frames until `count` idle frames in a row have come after any
  // non-idle one (or the first idle frames when none comes).
  std::vector<le_utt_frame_info> pullUntilIdle(UtterancePipeline& p, int idleRun, int limit = 400) {
    std::vector<le_utt_frame_info> out;
    int run = 0;
    bool sawOther = false;
    while (int(out.size()) < limit) {
      le_utt_frame_info f{};
      if (!pull(p, &f)) break;
      out.push_back(f);
      if (f.kind != 0) sawOther = true, run = 0;
      else if (sawOther && ++run >= idleRun) break;
    }
    return out;
  }

  // Waits until the ring has stopped filling, so that the loop stands at a
  // frame that does not depend on how busy the machine is.
  void settle(UtterancePipeline& p) {
    int seen = -1, still = 0;
    for (int t = 0; t < 2000 && still < 15; ++t) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      const int now = p.framesAvailable();
      still = now == seen ? still + 1 : 0;
      seen = now;
    }
  }

  void pushSpeech(UtterancePipeline& p, int samples) {
    std::vector<int16_t> pcm(size_t(samples), 1000);
    p.pushAudio(pcm.data(), samples);
  }

  le_utt_opts opts(const std::string& dir) {
    le_utt_opts o{};
    o.motion_dir = dir.c_str();
    o.threads = 1;
    o.steady_model = "-";
    return o;
  }

  le::test::TempDir tmp_;
  int dirs_ = 0;
  Ctx ctx_;
  int nt_ = 0;
  size_t frameBytes_ = 0;
  std::vector<float> xsT_;
  std::vector<uint8_t> buf_;
  SourceLog log_;
};

// A teeth pass that answers one frame late and paints a mark into the crop
// it composes, so that the delivered frames show which went through it.
class MarkingTeeth final : public le::TeethPort {
 public:
  // failAt: results fail from that push on; skipEvery: every so many
  // results are skipped (the crop keeps its mouth); alive counts instances.
  explicit MarkingTeeth(int failAt, int skipEvery = 0, std::atomic<int>* alive = nullptr)
      : failAt_(failAt), skipEvery_(skipEvery), alive_(alive) {
    if (alive_) ++*alive_;
  }
  ~MarkingTeeth() override {
    if (alive_) --*alive_;
  }
  bool push(const float*, const float*) override {
    ++pushes_;
    const bool had = held_;
    held_ = true;
    return had;
  }
  bool flush() override {
    const bool had = held_;
    held_ = false;
    return had;
  }
  bool discard() override {
    const bool had = held_;
    held_ = false;
    discards_ += had ? 1 : 0;
    return had;
  }
  int discards() const { return discards_; }
  bool failed(std::string* m) const override {
    if (failAt_ > 0 && pushes_ >= failAt_) {
      *m = "teeth: scripted failure";
      return true;
    }
    return false;
  }
  bool compose(float* crop) override {
    ++composes_;
    if (skipEvery_ > 0 && composes_ % skipEvery_ == 0) return false;
    crop[0] = 1.0f;
    return true;
  }
  bool synthWeight(double* w) const override {
    *w = 0.5;
    return true;
  }

 private:
  int failAt_, skipEvery_;
  std::atomic<int>* alive_;
  int pushes_ = 0, composes_ = 0;
  std::atomic<int> discards_{0};  // read by the test while the pipeline runs
  bool held_ = false;
};

// A marking pass whose pushes a subclass delays.
class DelayedTeeth : public le::TeethPort {
 public:
  bool flush() override { return inner_.flush(); }
  bool discard() override { return inner_.discard(); }
  bool failed(std::string* m) const override { return inner_.failed(m); }
  bool compose(float* crop) override { return inner_.compose(crop); }
  bool synthWeight(double* w) const override { return inner_.synthWeight(w); }

 protected:
  MarkingTeeth inner_{0};
};

// A teeth pass slower than a display's frame period.
class SlowTeeth final : public DelayedTeeth {
 public:
  explicit SlowTeeth(std::chrono::milliseconds cost) : cost_(cost) {}
  bool push(const float* crop, const float* kp) override {
    std::this_thread::sleep_for(cost_);
    ++pushes_;
    return inner_.push(crop, kp);
  }
  int pushes() const { return pushes_; }

 private:
  std::chrono::milliseconds cost_;
  std::atomic<int> pushes_{0};
};

// Consecutive frames walk the loop one source frame at a time, whatever their kind.
void expectContinuous(const std::vector<le_utt_frame_info>& f, int nt) {
  for (size_t i = 1; i < f.size(); ++i) {
    EXPECT_EQ(f[i].seq, f[i - 1].seq + 1) << "at " << i;
    EXPECT_EQ(f[i].src_index, (f[i - 1].src_index + 1) % nt)
        << "frame " << i << " kind " << f[i].kind << " after kind " << f[i - 1].kind;
  }
}

TEST_F(UttTest, WithoutAudioOnlyIdleFramesCycleTheLoop) {
  const std::string dir = motionDir(true, true);
  auto p = start(opts(dir));
  std::vector<le_utt_frame_info> f;
  for (int i = 0; i < 2 * nt_ + 3; ++i) {
    le_utt_frame_info info{};
    ASSERT_TRUE(pull(*p, &info));
    EXPECT_EQ(info.kind, 0);
    EXPECT_EQ(info.speech_index, -1);
    f.push_back(info);
  }
  EXPECT_EQ(f[0].src_index, 0);
  EXPECT_EQ(f[0].seq, 0);
  expectContinuous(f, nt_);
  // Idle frames are made only as the host empties the ring, which keeps two
  // ready: a frame on its way through the paste thread counts as one.
  for (int k = 0; k < 10; ++k) {
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(p->framesAvailable(), 2) << "after pull " << k;
    le_utt_frame_info info{};
    ASSERT_TRUE(pull(*p, &info));
  }
}

TEST_F(UttTest, UtteranceFlowsIdleSpeechRampIdleWithoutJumps) {
  for (const bool pipelined : {true, false}) {
    SCOPED_TRACE(pipelined ? "paste pipelined" : "paste inline");
    const std::string dir = motionDir(true, pipelined);
    auto o = opts(dir);
    o.hold_s = -1;
    auto p = start(o);
    EXPECT_EQ(p->pastePipelined(), pipelined);
    std::vector<le_utt_frame_info> f;
    for (int i = 0; i < 3; ++i) {
      le_utt_frame_info info{};
      ASSERT_TRUE(pull(*p, &info));
      f.push_back(info);
    }
    const int64_t speechBefore = le::telemetry::counter("utt.speech_frames").value();
    const int64_t rampsBefore = le::telemetry::counter("utt.ramps").value();
    const int samples = 640 * 20 + 100;  // 21 frames
    pushSpeech(*p, samples);
    p->endUtterance();
    auto rest = pullUntilIdle(*p, 3);
    f.insert(f.end(), rest.begin(), rest.end());
    expectContinuous(f, nt_);
    int speech = 0, ramp = 0;
    size_t firstRamp = 0;
    for (size_t i = 0; i < f.size(); ++i) {
      if (f[i].kind == 1) {
        EXPECT_EQ(f[i].speech_index, speech);
        EXPECT_EQ(ramp, 0) << "speech after ramp";
        ++speech;
      } else if (f[i].kind == 2) {
        if (!ramp) firstRamp = i;
        EXPECT_EQ(f[i].speech_index, -1);
        ++ramp;
      }
    }
    EXPECT_EQ(speech, 21);
    EXPECT_EQ(ramp, 6);
    EXPECT_EQ(le::telemetry::counter("utt.speech_frames").value() - speechBefore, 21);
    EXPECT_EQ(le::telemetry::counter("utt.ramps").value() - rampsBefore, 1);
    ASSERT_GT(firstRamp, 0u);
    EXPECT_EQ(f[firstRamp + 6].kind, 0);
    ASSERT_FALSE(log_.starts.empty());
    le_utt_stats s = p->stats();
    EXPECT_EQ(s.utterances, 1);
    EXPECT_EQ(s.speech_frames_pulled, 21);
    EXPECT_EQ(s.state, 0);
    EXPECT_GT(s.render_ms_avg, 0);
    EXPECT_GT(s.first_frame_latency_ms, 0);
    log_.starts.clear();
  }
}

TEST_F(UttTest, SpeechTakesUpTheLoopWhereTheIdleFramesLeftIt) {
  // The source starts 5 frames off where it was told: its frames are moved
  // along the loop, keeping their offsets from the loop's own keypoints.
  const std::string dir = motionDir(true, true);
  auto o = opts(dir);
  o.hold_s = -1;
  auto p = start(o, 2, false, 5);
  pushSpeech(*p, 640 * 12);
  p->endUtterance();
  std::vector<le_utt_frame_info> f;
  std::vector<std::vector<float>> kps;
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (countKind(f, 2) == 0 && std::chrono::steady_clock::now() < until) {
    le_utt_frame_info info{};
    std::vector<float> kp(kKp);
    if (p->pullFrame(buf_.data(), buf_.size(), &info, kp.data()) != 1) {
      std::this_thread::sleep_for(1ms);
      continue;
    }
    f.push_back(info);
    kps.push_back(kp);
  }
  ASSERT_EQ(countKind(f, 1), 12);
  expectContinuous(f, nt_);
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i].kind != 1) continue;
    const int s = f[i].speech_index;
    for (int k = 0; k < kKp; ++k)
      ASSERT_NEAR(kps[i][size_t(k)], xsT_[size_t(f[i].src_index) * kKp + size_t(k)] + 0.01f * float(1 + s % 5), 1e-5)
          << "speech frame " << s << " value " << k;
  }
}

TEST_F(UttTest, IdleFramesGoOnUntilTheSourcesLagIsCoveredByAudio) {
  // The source yields a frame per frame of audio (lag 0), so speech may start
  // once a second frame of audio is in; until then the loop plays on.
  const std::string dir = motionDir(true, true);
  auto o = opts(dir);
  o.hold_s = -1;
  auto p = start(o, 0);
  pushSpeech(*p, 640);
  std::vector<le_utt_frame_info> f;
  for (int k = 0; k < 100; ++k) {
    le_utt_frame_info info{};
    if (p->pullFrame(buf_.data(), buf_.size(), &info) == 1) f.push_back(info);
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(countKind(f, 1), 0) << "speech before the audio covered the source's lag";
  EXPECT_GE(countKind(f, 0), 3) << "the loop stalled while the utterance waited";
  pushSpeech(*p, 640);
  p->endUtterance();
  auto rest = pullUntilIdle(*p, 2);
  f.insert(f.end(), rest.begin(), rest.end());
  EXPECT_EQ(countKind(f, 1), 2);
  expectContinuous(f, nt_);
}

// A host that pushes one frame of audio and pulls one frame per frame
// period, from a few idle frames before the utterance to `after` frames past
// its first speech frame. Returns every frame pulled; *underruns counts the
// pulls that found the ring empty once audio was flowing.
std::vector<le_utt_frame_info> realTimeHost(UtterancePipeline& p, std::vector<uint8_t>* buf, int speechFrames,
                                            int after, int* underruns) {
  const auto period = std::chrono::milliseconds(40 * le::test::timeScale());
  std::vector<int16_t> pcm(640, 1000);
  std::vector<le_utt_frame_info> out;
  *underruns = 0;
  const int lead = 5;  // idle ticks before the first push
  int firstSpeech = -1;
  const auto t0 = std::chrono::steady_clock::now();
  for (int k = 0; k < lead + speechFrames + 200; ++k) {
    std::this_thread::sleep_until(t0 + k * period);
    const int chunk = k - lead;
    if (chunk >= 0 && chunk < speechFrames) {
      p.pushAudio(pcm.data(), int(pcm.size()));
      if (chunk == speechFrames - 1) p.endUtterance();
    }
    le_utt_frame_info f{};
    if (p.pullFrame(buf->data(), buf->size(), &f) == 1) {
      out.push_back(f);
      if (f.kind == 1 && firstSpeech < 0) firstSpeech = k;
    } else if (chunk >= 0) {
      ++*underruns;
    }
    if (firstSpeech >= 0 && k >= firstSpeech + after) break;
  }
  return out;
}

TEST_F(UttTest, TheSamePushesStartTheSourceAtTheSameLoopFrameEveryRun) {
  // Frames on their way through the teeth and paste threads count toward
  // the idle lead, so the loop stands at the same frame when the same
  // pushes come, and the utterance lands there run after run. The host
  // waits for the pipeline to settle after each pull, so the machine's load
  // cannot move the start either way.
  for (const bool teeth : {false, true}) {
    SCOPED_TRACE(teeth ? "teeth" : "no teeth");
    std::vector<int> starts;
    for (int run = 0; run < 3; ++run) {
      const std::string dir = motionDir(true, true);
      auto o = opts(dir);
      o.hold_s = -1;
      {
        std::lock_guard<std::mutex> lk(log_.mu);
        log_.starts.clear();
      }
      auto p = start(o);
      if (teeth) p->attachTeeth(std::make_unique<MarkingTeeth>(0), "");
      le_utt_frame_info info{};
      for (int k = 0; k < 5; ++k) {
        ASSERT_TRUE(pull(*p, &info));
        settle(*p);
      }
      pushSpeech(*p, 640 * 12);
      p->endUtterance();
      do ASSERT_TRUE(pull(*p, &info));
      while (info.kind != 1);
      std::lock_guard<std::mutex> lk(log_.mu);
      // (The warm-up's lag measurement resets the source first.)
      ASSERT_FALSE(log_.starts.empty());
      starts.push_back(log_.starts.back());
    }
    EXPECT_EQ(starts[0], starts[1]);
    EXPECT_EQ(starts[0], starts[2]);
  }
}

TEST_F(UttTest, ASourceHeldToItsStartFrameTakesOverFromTheLoopWithoutStarvingTheHost) {
  // Keypoint motion's frames depend on the loop frame they were made for, so
  // they cannot be moved along the loop: the source is started where the
  // idle frames will leave off, and the loop plays on until then.
  const std::string dir = motionDir(true, false);
  auto o = opts(dir);
  o.hold_s = -1;
  const int lag = 3;
  auto p = start(o, lag);
  ASSERT_FALSE(p->a2xMode());
  int underruns = 0;
  const auto f = realTimeHost(*p, &buf_, 30, 10, &underruns);
  EXPECT_EQ(underruns, 0) << "the host found the ring empty while the utterance started";
  expectContinuous(f, nt_);
  const auto first = std::find_if(f.begin(), f.end(), [](const le_utt_frame_info& i) { return i.kind == 1; });
  ASSERT_NE(first, f.end());
  EXPECT_EQ(first->speech_index, 0);
  std::lock_guard<std::mutex> lk(log_.mu);
  ASSERT_EQ(log_.starts.size(), 3u) << "two resets around measuring the lag, one for the utterance";
  EXPECT_EQ(log_.starts.back(), first->src_index) << "the source was not started where speech took over";
}

TEST_F(UttTest, ASourceHeldToItsStartFrameWaitsForTheLoopWhenItsAudioComesAtOnce) {
  // The whole utterance in one push: speech is due at once, yet the idle
  // frames owed before the frame the source started at still go out first.
  const std::string dir = motionDir(true, false);
  auto o = opts(dir);
  o.hold_s = -1;
  auto p = start(o, 6);
  le_utt_frame_info info{};
  ASSERT_TRUE(pull(*p, &info));
  std::vector<le_utt_frame_info> f{info};
  pushSpeech(*p, 640);
  std::this_thread::sleep_for(30ms);
  pushSpeech(*p, 640 * 11);
  p->endUtterance();
  auto rest = pullUntilIdle(*p, 2);
  f.insert(f.end(), rest.begin(), rest.end());
  EXPECT_EQ(countKind(f, 1), 12);
  expectContinuous(f, nt_);
  std::lock_guard<std::mutex> lk(log_.mu);
  const auto first = std::find_if(f.begin(), f.end(), [](const le_utt_frame_info& i) { return i.kind == 1; });
  ASSERT_NE(first, f.end());
  EXPECT_EQ(log_.starts.back(), first->src_index);
}

TEST_F(UttTest, LastRampFrameLandsOnTheLoop) {
  // Compare the final ramp frame with the idle frame of the same source
  // index: the ramp's last weight is 0, so its crop is the loop's own.
  const std::string dir = motionDir(true, false);
  auto o = opts(dir);
  o.ramp_frames = 3;
  auto p = start(o);
  pushSpeech(*p, 640 * 10);
  p->endUtterance();
  std::vector<std::vector<uint8_t>> images;
  std::vector<le_utt_frame_info> f;
  for (int i = 0; i < 400; ++i) {
    le_utt_frame_info info{};
    ASSERT_TRUE(pull(*p, &info));
    f.push_back(info);
    images.push_back(buf_);
    if (info.kind == 2 && f.size() > 1) {
      int r = 0;
      for (auto& g : f) r += g.kind == 2;
      if (r == 3) break;
    }
  }
  ASSERT_EQ(f.back().kind, 2);
  const int src = f.back().src_index;
  std::vector<float> xs(xsT_.begin() + src * kKp, xsT_.begin() + (src + 1) * kKp);
  std::vector<uint8_t> expect(frameBytes_);
  ASSERT_EQ(le_render_kp_crop(ctx_.get(), src, xs.data(), xs.data()) != nullptr, true);
  ASSERT_EQ(le_paste_crop(ctx_.get(), src, ctx_->lastCrop, expect.data(), expect.size()), 1);
  EXPECT_EQ(images.back(), expect);
}

TEST_F(UttTest, HoldTimeEndsAnUtteranceOnlyWhenAllowed) {
  const std::string dir = motionDir(true, true);
  {
    auto o = opts(dir);
    o.hold_s = -1;
    auto p = start(o);
    pushSpeech(*p, 640 * 30);
    // Frames beyond the lag come; the held-back tail never does, however
    // long the host waits.
    int speech = 0;
    auto pullFor = [&](std::chrono::milliseconds span, int stopAt) {
      const auto until = std::chrono::steady_clock::now() + span;
      while (std::chrono::steady_clock::now() < until && speech < stopAt) {
        le_utt_frame_info info{};
        if (p->pullFrame(buf_.data(), frameBytes_, &info) == 1) {
          EXPECT_NE(info.kind, 2);
          speech += info.kind == 1;
        }
        std::this_thread::sleep_for(2ms);
      }
    };
    pullFor(20s, 22);
    pullFor(1000ms, 1000);
    EXPECT_EQ(speech, 22);
    EXPECT_EQ(p->stats().state, 2);
  }
  {
    auto o = opts(dir);
    o.hold_s = 0.2;
    auto p = start(o);
    EXPECT_DOUBLE_EQ(p->holdMs(), 200);
    pushSpeech(*p, 640 * 30);
    auto f = pullUntilIdle(*p, 2);
    const int speech = countKind(f, 1), ramp = countKind(f, 2);
    EXPECT_EQ(speech, 30);
    EXPECT_EQ(ramp, 6);
  }
}

TEST_F(UttTest, InterruptDropsQueuedFramesAndRampsFromTheLastPulled) {
  for (const bool pipelined : {true, false}) {
    for (const bool teeth : {false, true}) {
      SCOPED_TRACE(std::string(pipelined ? "paste pipelined" : "paste inline") + (teeth ? ", teeth" : ""));
      const std::string dir = motionDir(true, pipelined);
      auto o = opts(dir);
      o.hold_s = -1;
      auto p = start(o);
      MarkingTeeth* marking = nullptr;
      if (teeth) {
        auto pass = std::make_unique<MarkingTeeth>(0);
        marking = pass.get();
        p->attachTeeth(std::move(pass), "");
      }
      pushSpeech(*p, 640 * 60);
      le_utt_frame_info info{};
      std::vector<le_utt_frame_info> f;
      // Pull until a few speech frames are out, then let the ring fill.
      while (true) {
        ASSERT_TRUE(pull(*p, &info));
        f.push_back(info);
        if (info.kind == 1 && info.speech_index == 3) break;
      }
      const auto until = std::chrono::steady_clock::now() + 10s;
      while (p->framesAvailable() < 8 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
      EXPECT_EQ(p->framesAvailable(), 8);
      std::this_thread::sleep_for(30ms);
      EXPECT_LE(p->framesAvailable(), 8);
      p->interrupt();
      EXPECT_EQ(p->framesAvailable(), 0);
      auto rest = pullUntilIdle(*p, 3);
      ASSERT_GE(rest.size(), 5u);
      for (int i = 0; i < 4; ++i) EXPECT_EQ(rest[size_t(i)].kind, 2) << i;
      EXPECT_EQ(rest[4].kind, 0);
      EXPECT_EQ(rest[0].src_index, (info.src_index + 1) % nt_);
      EXPECT_GT(rest[0].seq, info.seq);
      for (auto& g : rest) EXPECT_NE(g.kind, 1);
      for (size_t i = 1; i < rest.size(); ++i) EXPECT_EQ(rest[i].src_index, (rest[i - 1].src_index + 1) % nt_);
      EXPECT_EQ(p->stats().frames_pulled, int64_t(f.size() + rest.size()));
      // The frame the pass held for the interrupted utterance was dropped,
      // not served.
      if (marking) {
        EXPECT_EQ(marking->discards(), 1);
      }
    }
  }
}

TEST_F(UttTest, AnInterruptStopsTheRenderUnderWayWithoutCountingAFailure) {
  // Interrupts land while the run thread renders speech (chunks of four and
  // single frames) until some render was stopped part way: that render is
  // dropped like stale work, never reported as a failure, and the ramp
  // comes as always.
  const std::string dir = motionDir(true, true);
  auto o = opts(dir);
  o.steady_model = "b4_fp32";
  o.hold_s = -1;
  auto p = start(o, 2);
  le::telemetry::Counter& cancelled = le::telemetry::counter("utt.renders_cancelled");
  const int64_t before = cancelled.value();
  for (int round = 0; round < 100 && cancelled.value() == before; ++round) {
    SCOPED_TRACE(round);
    le_utt_frame_info info{};
    do ASSERT_TRUE(pull(*p, &info));
    while (info.kind != 0);
    pushSpeech(*p, 640 * 12);
    do ASSERT_TRUE(pull(*p, &info));
    while (info.kind != 1);
    p->interrupt();
    auto rest = pullUntilIdle(*p, 1);
    ASSERT_GE(rest.size(), 5u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(rest[size_t(i)].kind, 2) << i;
    EXPECT_EQ(rest[0].src_index, (info.src_index + 1) % nt_);
  }
  EXPECT_GT(cancelled.value(), before) << "no interrupt came during a render";
  int64_t failures = 0;
  std::string msg;
  EXPECT_EQ(p->renderStatus(&failures, &msg), 0) << msg;
  EXPECT_EQ(failures, 0) << msg;
}

TEST_F(UttTest, AnInterruptsFirstRampFrameLeavesOutATeethPassThatWouldMakeItLate) {
  // A host that takes a frame every 40 ms, and a pass that needs 60 ms a
  // frame: the first ramp frame after an interrupt cannot go through the
  // pass before the host's next pull, so it goes out without; the next ramp
  // frames, which the host does not wait for yet, go through it.
  const std::string dir = motionDir(true, true);
  auto o = opts(dir);
  o.hold_s = -1;
  auto p = start(o);
  auto pass = std::make_unique<SlowTeeth>(60ms);
  SlowTeeth* slow = pass.get();
  p->attachTeeth(std::move(pass), "");
  le::telemetry::Counter& skipped = le::telemetry::counter("utt.teeth_skipped_for_a_due_pull");
  const int64_t before = skipped.value();
  pushSpeech(*p, 640 * 60);
  const auto t0 = std::chrono::steady_clock::now();
  le_utt_frame_info info{};
  std::vector<le_utt_frame_info> after;
  int speech = 0;
  bool interrupted = false;
  int pushesAtInterrupt = 0, lastSrc = -1;
  for (int tick = 1; tick < 500 && after.size() < 5; ++tick) {
    std::this_thread::sleep_until(t0 + tick * 40ms);
    if (p->pullFrame(buf_.data(), frameBytes_, &info) != 1) continue;
    if (interrupted) after.push_back(info);
    else if (info.kind == 1 && ++speech == 3) {
      p->interrupt();
      interrupted = true;
      pushesAtInterrupt = slow->pushes();
      lastSrc = info.src_index;
    }
  }
  ASSERT_EQ(after.size(), 5u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(after[size_t(i)].kind, 2) << i;
  EXPECT_EQ(after[0].src_index, (lastSrc + 1) % nt_);
  EXPECT_EQ(skipped.value() - before, 1);
  // The old utterance's frame in the pass at the interrupt may finish; then
  // only the three later ramp frames go in.
  EXPECT_GE(slow->pushes() - pushesAtInterrupt, 3);
  EXPECT_LE(slow->pushes() - pushesAtInterrupt, 4);
}

// A pass whose push number `stallAt` takes until its stop check answers (or
// 10 s).
class StallingTeeth final : public DelayedTeeth {
 public:
  explicit StallingTeeth(int stallAt) : stallAt_(stallAt) {}
  void setStopCheck(std::function<bool()> check) override { check_ = std::move(check); }
  bool push(const float* crop, const float* kp) override {
    if (++pushes_ == stallAt_) {
      entered_ = true;
      const auto until = std::chrono::steady_clock::now() + 10s;
      while (std::chrono::steady_clock::now() < until) {
        if (check_ && check_()) {
          inner_.discard();
          stopped_ = true;
          throw le::TeethStopped("stalling pass stopped");
        }
        std::this_thread::sleep_for(1ms);
      }
    }
    return inner_.push(crop, kp);
  }
  bool entered() const { return entered_; }
  bool stopped() const { return stopped_; }

 private:
  std::function<bool()> check_;
  const int stallAt_;
  int pushes_ = 0;
  std::atomic<bool> entered_{false};  // these two are read by the test while the pipeline runs
  std::atomic<bool> stopped_{false};
};

TEST_F(UttTest, AnInterruptStopsTheTeethPassUnderWayAndTheRampGoesThroughIt) {
  const std::string dir = motionDir(true, true);
  auto o = opts(dir);
  o.hold_s = -1;
  auto p = start(o);
  // The third speech frame stalls the pass, after the first has come out.
  auto pass = std::make_unique<StallingTeeth>(3);
  StallingTeeth* stalling = pass.get();
  p->attachTeeth(std::move(pass), "");
  le::telemetry::Counter& stopped = le::telemetry::counter("utt.teeth_passes_stopped");
  const int64_t before = stopped.value();
  pushSpeech(*p, 640 * 20);
  le_utt_frame_info info{};
  do ASSERT_TRUE(pull(*p, &info));
  while (info.kind != 1);
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (!stalling->entered() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(stalling->entered());
  p->interrupt();
  auto rest = pullUntilIdle(*p, 2);
  ASSERT_GE(rest.size(), 5u);
  EXPECT_TRUE(stalling->stopped());
  EXPECT_EQ(stopped.value() - before, 1);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(rest[size_t(i)].kind, 2) << i;
  int64_t composed = 0;
  std::string msg;
  EXPECT_EQ(p->teethStats(&composed, nullptr, &msg), 1) << msg;
  EXPECT_GT(composed, 0) << "the ramp did not go through the pass";
}

TEST_F(UttTest, InterruptWithNothingQueuedRampsFromTheLastPulled) {
  GatedSource* gated = nullptr;
  const std::string dir = motionDir(true, true);
  auto o = opts(dir);
  o.hold_s = -1;
  auto p = startGated(o, &gated);
  // The first request yields one frame; the source then falls behind, so
  // the ring runs dry after it.
  gated->arm(1);
  pushSpeech(*p, 640 * 8);
  le_utt_frame_info info{};
  do ASSERT_TRUE(pull(*p, &info));
  while (info.kind != 1);
  std::this_thread::sleep_for(20ms);
  ASSERT_EQ(p->framesAvailable(), 0);
  p->interrupt();
  gated->open();
  auto rest = pullUntilIdle(*p, 2);
  ASSERT_GE(rest.size(), 5u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(rest[size_t(i)].kind, 2) << i;
  EXPECT_EQ(rest[0].src_index, (info.src_index + 1) % nt_);
}

TEST_F(UttTest, AudioRightAfterAnInterruptStartsTheNextUtterance) {
  const std::string dir = motionDir(true, true);
  auto o = opts(dir);
  o.hold_s = -1;
  auto p = start(o);
  pushSpeech(*p, 640 * 40);
  le_utt_frame_info info{};
  do ASSERT_TRUE(pull(*p, &info));
  while (info.kind != 1);
  p->interrupt();
  pushSpeech(*p, 640 * 10);
  p->endUtterance();
  auto f = pullUntilIdle(*p, 2);
  const int speech = countKind(f, 1);
  EXPECT_EQ(speech, 10);
  EXPECT_EQ(p->stats().utterances, 2);
}

TEST_F(UttTest, WithoutLoopKeypointsThereAreNoRamps) {
  const std::string dir = motionDir(false, true);
  auto p = start(opts(dir));
  EXPECT_FALSE(p->hasXsTarget());
  pushSpeech(*p, 640 * 12);
  p->endUtterance();
  auto f = pullUntilIdle(*p, 2);
  int speech = 0;
  for (auto& g : f) {
    EXPECT_NE(g.kind, 2);
    speech += g.kind == 1;
  }
  EXPECT_EQ(speech, 12);
  expectContinuous(f, nt_);
}

TEST_F(UttTest, ASourceThatFallsBehindNeverHoldsUpFramesItAlreadyGave) {
  for (const bool a2xDir : {false, true}) {
    SCOPED_TRACE(a2xDir ? "paste thread" : "paste inline");
    GatedSource* gated = nullptr;
    const std::string dir = motionDir(true, a2xDir);
    auto p = startGated(opts(dir), &gated);
    gated->arm();
    // One request takes all 12 frames; the next one blocks in the source.
    pushSpeech(*p, 640 * 12);
    int speech = 0;
    while (speech < 12) {
      le_utt_frame_info f{};
      if (!pull(*p, &f)) break;
      speech += f.kind == 1;
    }
    EXPECT_EQ(speech, 12) << "frames already taken from the source wait for it";
    gated->open();
  }
}

// Counts how often the pipeline asks its source for frames.
class CountingSource final : public AnimationSource {
 public:
  CountingSource(std::unique_ptr<AnimationSource> inner, std::atomic<int>* asks)
      : inner_(std::move(inner)), asks_(asks) {}
  void setEager(int e) override { inner_->setEager(e); }
  void reset(int start) override { inner_->reset(start); }
  bool push(const float* pcm, int n) override { return inner_->push(pcm, n); }
  void finish() override { inner_->finish(); }
  int avail() override {
    ++*asks_;
    return inner_->avail();
  }
  int pull(int32_t* idx, float* xs, float* xd, int max) override { return inner_->pull(idx, xs, xd, max); }
  int total() override { return inner_->total(); }

 private:
  std::unique_ptr<AnimationSource> inner_;
  std::atomic<int>* asks_;
};

TEST_F(UttTest, WhileSpeechStreamsInTheSourceIsAskedAtAPaceNotInALoop) {
  // Speech at real-time pace keeps the pipeline short of frames all the
  // time; an ask that brings no audio is answered at once, and asking again
  // right away kept two threads spinning (tens of thousands of asks a
  // second). Every 2 ms at most is 500 a second, plus one per push.
  std::atomic<int> asks{0};
  auto xs = xsT_;
  const int nt = nt_;
  SourceLog* log = &log_;
  auto p = startWith(opts(motionDir(true, false)), [&asks, xs, nt, log](bool, const std::string&, int,
                                                                        const std::string&, std::string*) {
    return std::make_unique<CountingSource>(std::make_unique<ScriptedSource>(xs, nt, 8, log), &asks);
  });
  std::vector<int16_t> pcm(640, 1000);
  const int before = asks.load();
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 25; ++i) {
    p->pushAudio(pcm.data(), 640);
    le_utt_frame_info f{};
    while (p->pullFrame(buf_.data(), buf_.size(), &f) == 1) {
    }
    std::this_thread::sleep_until(t0 + (i + 1) * 40ms);
  }
  const int seconds = int(std::ceil(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count()));
  EXPECT_LT(asks.load() - before, 1000 * seconds);
  EXPECT_GT(log_.resets.load(), 0) << "the speech reached the source";
}

TEST_F(UttTest, AFrameThatCannotBeDecodedIsLostAloneAndTheLoopGoesOn) {
  // A driving frame that fails to decode left the cursor failed for good:
  // no frame came after it, and the producer retried without pause.
  const std::string dir = tmp_.file("bundle");
  ASSERT_EQ(le::test::runCommand("cp -r '" + le::test::bundlePath("tiny") + "' '" + dir + "'"), 0);
  le::test::writeFile(dir + "/target_frames/frame_000005.jpg", std::string("not a jpeg"));
  open(dir);
  for (const bool a2xDir : {false, true}) {
    SCOPED_TRACE(a2xDir ? "paste thread" : "paste inline");
    auto p = start(opts(motionDir(true, a2xDir)));
    std::vector<int> shown;
    for (int i = 0; i < 2 * (nt_ - 1); ++i) {
      le_utt_frame_info f{};
      ASSERT_TRUE(pull(*p, &f)) << "frame " << i;
      shown.push_back(f.src_index);
    }
    EXPECT_EQ(std::count(shown.begin(), shown.end(), 5), 0);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), 6), 2) << "the frame after the broken one, in both turns";
    int64_t failures = 0;
    std::string message;
    EXPECT_EQ(p->renderStatus(&failures, &message), -1);
    // Once per turn of the loop, and the producer may run a few turns ahead
    // of the pulls; retried without a pause it failed thousands of times.
    EXPECT_LE(failures, 10) << message;
    EXPECT_NE(message.find("frame_000005.jpg"), std::string::npos) << message;
  }
}

TEST_F(UttTest, ChunkRendererGivesTheSameFramesAsSingleRenders) {
  // b4_fp32 renders four frames a call; the delivered pixels must not
  // depend on how frames were grouped: each equals a single render of its
  // own keypoints through the context, pasted into its driving frame.
  const std::string dir = motionDir(true, false);
  auto o = opts(dir);
  o.steady_model = "b4_fp32";
  std::vector<std::pair<le_utt_frame_info, std::vector<uint8_t>>> speech;
  {
    auto p = start(o, 0);
    EXPECT_EQ(p->chunkBatch(), 4);
    le_utt_frame_info info{};
    ASSERT_TRUE(pull(*p, &info));
    pushSpeech(*p, 640 * 9);
    p->endUtterance();
    for (;;) {
      ASSERT_TRUE(pull(*p, &info));
      if (info.kind == 1) speech.emplace_back(info, buf_);
      if (info.kind == 2) break;
    }
  }
  ASSERT_EQ(speech.size(), 9u);
  std::vector<uint8_t> expect(frameBytes_);
  for (const auto& [info, image] : speech) {
    const int src = info.src_index;
    std::vector<float> xs(xsT_.begin() + src * kKp, xsT_.begin() + (src + 1) * kKp), xd = xs;
    for (float& v : xd) v += 0.01f * float(1 + info.speech_index % 5);
    const float* crop = le_render_kp_crop(ctx_.get(), src, xs.data(), xd.data());
    ASSERT_NE(crop, nullptr) << le_last_error();
    ASSERT_EQ(le_paste_crop(ctx_.get(), src, crop, expect.data(), expect.size()), 1);
    int worst = 0;
    for (size_t k = 0; k < expect.size(); ++k) worst = std::max(worst, std::abs(int(expect[k]) - int(image[k])));
    EXPECT_LE(worst, 1) << "speech frame " << info.speech_index;
  }
}

TEST_F(UttTest, RenderFailureIsFatalAndReportedWithItsStage) {
  const std::string dir = motionDir(true, false);
  auto p = start(opts(dir), 0, true);
  pushSpeech(*p, 640 * 4);
  p->endUtterance();
  int64_t failures = 0;
  std::string msg;
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (p->renderStatus(&failures, &msg) == 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(p->renderStatus(&failures, &msg), -1);
  EXPECT_GE(failures, 1);
  EXPECT_EQ(msg.rfind("ep=cpu render: ", 0), 0u) << msg;
  // No speech frame is published, each failed frame is dropped rather than
  // retried, and the pipeline goes back to idle frames.
  le_utt_frame_info info{};
  int idleAfter = 0;
  const auto back = std::chrono::steady_clock::now() + 20s;
  while (idleAfter < 3 && std::chrono::steady_clock::now() < back) {
    if (p->pullFrame(buf_.data(), frameBytes_, &info) == 1) {
      EXPECT_NE(info.kind, 1);
      idleAfter += info.kind == 0 && p->stats().state == 0;
    }
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(idleAfter, 3);
  EXPECT_EQ(p->renderStatus(&failures, &msg), -1);
  EXPECT_EQ(failures, 4);
}

TEST_F(UttTest, SpeechAfterTheEndWaitsAndStartsTheNextUtterance) {
  // However the first utterance ended (the host's call, or a pause just over
  // the hold), speech pushed after that opens the next one: nothing is lost,
  // nothing is merged, and its latency counts from its own first push.
  for (const bool byHold : {false, true}) {
    SCOPED_TRACE(byHold ? "pause over the hold" : "end call");
    const std::string dir = motionDir(true, true);
    auto o = opts(dir);
    o.hold_s = byHold ? 0.2 : -1;
    auto p = start(o);
    const int resetsBefore = log_.resets;
    pushSpeech(*p, 640 * 30);
    if (byHold) {
      // Nothing is pulled: the ring fills and the utterance cannot complete
      // before the pause has ended it. The worker notices the pause on its
      // next step, which under an emulator can outlast the hold itself.
      std::this_thread::sleep_for(400ms * le::test::timeScale());
    } else {
      p->endUtterance();
    }
    pushSpeech(*p, 640 * 30);
    if (!byHold) p->endUtterance();
    auto f = pullUntilIdle(*p, 2);
    std::vector<int> kinds, speechIdx;
    for (auto& g : f) {
      if (g.kind != 0 && (kinds.empty() || kinds.back() != g.kind)) kinds.push_back(g.kind);
      if (g.kind == 1) speechIdx.push_back(g.speech_index);
    }
    EXPECT_EQ(kinds, (std::vector<int>{1, 2, 1, 2}));
    ASSERT_EQ(speechIdx.size(), 60u);
    for (int i = 0; i < 60; ++i) EXPECT_EQ(speechIdx[size_t(i)], i % 30) << i;
    expectContinuous(f, nt_);
    EXPECT_EQ(p->stats().utterances, 2);
    EXPECT_EQ(log_.resets - resetsBefore, 2);
    int64_t failures = 0;
    std::string msg;
    p->renderStatus(&failures, &msg);
    EXPECT_EQ(failures, 0) << msg;
  }
}

TEST_F(UttTest, OnlyPushesWithSamplesStartTheLatencyClock) {
  const std::string dir = motionDir(true, true);
  auto o = opts(dir);
  o.hold_s = -1;
  auto p = start(o);
  std::vector<int16_t> none(1);
  p->pushAudio(none.data(), 0);
  std::this_thread::sleep_for(300ms);
  const auto before = std::chrono::steady_clock::now();
  pushSpeech(*p, 640 * 12);
  p->endUtterance();
  le_utt_frame_info info{};
  do ASSERT_TRUE(pull(*p, &info));
  while (info.kind != 1);
  const double seen = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before).count();
  // The first speech frame was published between the push and now.
  EXPECT_LE(p->stats().first_frame_latency_ms, seen);
}

TEST_F(UttTest, StageReportSaysWhatWasMeasured) {
  setenv("LE_UTT_STAGE_REPORT", "1", 1);
  for (const bool pipelined : {true, false}) {
    const std::string dir = motionDir(true, pipelined);
    auto p = start(opts(dir));
    pushSpeech(*p, 640 * 3);
    p->endUtterance();
    pullUntilIdle(*p, 1);
    testing::internal::CaptureStderr();
    p.reset();
    const std::string err = testing::internal::GetCapturedStderr();
    if (pipelined)
      EXPECT_NE(err.find("[le_utt-stage] pipe=0 jobsB=0 jobsC="), std::string::npos) << err;
    else
      EXPECT_NE(err.find("[le_utt-stage] MEASURED NOTHING"), std::string::npos) << err;
    EXPECT_NE(err.find(pipelined ? "over 3 speech frames" : "3 speech frames delivered"), std::string::npos) << err;
  }
  unsetenv("LE_UTT_STAGE_REPORT");
}

TEST_F(UttTest, TeethStageDeliversEveryFrameOnceAndStopsOnFailure) {
  for (const bool pipelined : {true, false}) {
    SCOPED_TRACE(pipelined ? "teeth thread" : "teeth inline");
    const std::string dir = motionDir(true, pipelined);
    {
      auto o = opts(dir);
      auto p = start(o);
      p->attachTeeth(std::make_unique<MarkingTeeth>(0), "geometry");
      std::string g;
      EXPECT_TRUE(p->teethGeometry(&g));
      EXPECT_EQ(g, "geometry");
      pushSpeech(*p, 640 * 10);
      p->endUtterance();
      auto f = pullUntilIdle(*p, 2);
      expectContinuous(f, nt_);
      const int speech = countKind(f, 1), ramp = countKind(f, 2);
      EXPECT_EQ(speech, 10);
      EXPECT_EQ(ramp, 6);
      int64_t a = 0, b = 0;
      std::string msg;
      EXPECT_EQ(p->teethStats(&a, &b, &msg), 1);
      EXPECT_EQ(a, 16);  // every speech and ramp frame composed
      EXPECT_EQ(b, 0);
      double mean = 0, last = 0;
      int64_t count = 0;
      EXPECT_TRUE(p->teethSynthW(&mean, &last, &count));
      EXPECT_EQ(count, 16);
      EXPECT_DOUBLE_EQ(mean, 0.5);
    }
    {
      auto p = start(opts(dir));
      p->attachTeeth(std::make_unique<MarkingTeeth>(4), "");
      pushSpeech(*p, 640 * 10);
      p->endUtterance();
      int64_t a = 0, b = 0;
      std::string msg;
      int speech = 0;
      auto drain = [&] {
        le_utt_frame_info info{};
        while (p->pullFrame(buf_.data(), frameBytes_, &info) == 1) speech += info.kind == 1;
      };
      const auto until = std::chrono::steady_clock::now() + 20s;
      while (p->teethStats(&a, &b, &msg) != -1 && std::chrono::steady_clock::now() < until) {
        drain();
        std::this_thread::sleep_for(1ms);
      }
      EXPECT_EQ(p->teethStats(&a, &b, &msg), -1);
      EXPECT_EQ(msg, "teeth: scripted failure");
      EXPECT_EQ(b, 1);
      // Output stops rather than showing uncomposed mouths: the three frames
      // composed before the failing push may still be on their way, no more.
      for (int k = 0; k < 30; ++k) {
        drain();
        std::this_thread::sleep_for(10ms);
      }
      EXPECT_LE(speech, 3);
      std::this_thread::sleep_for(100ms);
      EXPECT_EQ(p->framesAvailable(), 0);
    }
  }
}

TEST_F(UttTest, TeethPassAnswersForTheFirstSpeechFrameWithoutWaitingForTheNext) {
  // The host waits on an utterance's first frame: a teeth pass must not hold
  // it back until the source has yielded another one.
  for (const bool pipelined : {true, false}) {
    SCOPED_TRACE(pipelined ? "teeth thread" : "teeth inline");
    GatedSource* gated = nullptr;
    const std::string dir = motionDir(true, pipelined);
    auto o = opts(dir);
    o.hold_s = -1;
    auto p = startGated(o, &gated);
    p->attachTeeth(std::make_unique<MarkingTeeth>(0), "");
    // The first request yields one frame; the source then falls behind.
    gated->arm(1);
    pushSpeech(*p, 640 * 8);
    std::vector<le_utt_frame_info> f;
    while (countKind(f, 1) == 0) {
      le_utt_frame_info info{};
      ASSERT_TRUE(pull(*p, &info)) << "the first speech frame never came out of the teeth pass";
      f.push_back(info);
    }
    EXPECT_EQ(f.back().speech_index, 0);
    int64_t composed = 0;
    std::string msg;
    EXPECT_EQ(p->teethStats(&composed, nullptr, &msg), 1) << msg;
    EXPECT_EQ(composed, 1);
    gated->open();
    p->endUtterance();
    auto rest = pullUntilIdle(*p, 2);
    f.insert(f.end(), rest.begin(), rest.end());
    EXPECT_EQ(countKind(f, 1), 8);
    expectContinuous(f, nt_);
  }
}

TEST_F(UttTest, EveryPublishedFrameCarriesOneCpuSamplePerEngineStage) {
  le::telemetry::resetAll();
  {
    const std::string dir = motionDir(true, true);
    auto p = start(opts(dir));
    p->attachTeeth(std::make_unique<MarkingTeeth>(0), "");
    pushSpeech(*p, 640 * 10);
    p->endUtterance();
    const auto f = pullUntilIdle(*p, 2);
    ASSERT_GE(f.size(), 16u);
  }
  const int64_t published = le::telemetry::counter("utt.frames_published").value();
  const auto stage = [](const char* name) { return le::telemetry::value(std::string("frame_cpu.") + name).summary(); };
  for (const char* name : {"source_ms", "render_ms", "teeth_ms", "decode_ms", "paste_ms"})
    EXPECT_EQ(stage(name).count, published) << name;
  EXPECT_EQ(stage("encode_ms").count, 0) << "the host's stage";
  // Rendering 16 crops and pasting every frame takes CPU on those threads.
  EXPECT_GT(stage("render_ms").sum, 0.0);
  EXPECT_GT(stage("paste_ms").sum, 0.0);
}

// The tiny face at a crop large enough for its teeth bank to be identified.
class RealTeethTest : public UttTest {
 protected:
  std::string bundleName() const override { return "tiny_teeth"; }

  // Attaches the bundle's own teeth pass; the mouth window's stamp goes to *stamp.
  void attachBundleTeeth(UtterancePipeline& p, std::vector<int32_t>* stamp) {
    char err[1024] = {0};
    le_tessera_members* m = le_tessera_members_open(le::test::bundlePath(bundleName()).c_str(), err, sizeof err);
    ASSERT_TRUE(m) << err;
    std::vector<uint8_t> bands(static_cast<size_t>(le_tessera_members_band_bytes(m)));
    ASSERT_EQ(le_tessera_members_decode_bank(m, bands.data(), err, sizeof err), 0) << err;
    const le::TeethAttachInputs in{bands.data(),
                                   le_tessera_members_n_donors(m),
                                   le_tessera_members_cent(m),
                                   le_tessera_members_c_canon(m),
                                   le_tessera_members_aperture(m),
                                   le_tessera_members_stamp(m),
                                   le_tessera_members_head_pt(m),
                                   int(le_tessera_members_head_pt_len(m)),
                                   le_tessera_members_head_json(m),
                                   le_tessera_members_manifest_json(m)};
    stamp->assign(in.stamp, in.stamp + 12);
    std::string geometry;
    p.attachTeeth(le::makeUtteranceTeeth(p, in, &geometry), geometry);
    le_tessera_members_close(m);
    EXPECT_EQ(geometry, "v1");
  }

  // One utterance of `frames` speech frames; the delivered speech frames by
  // speech index, and the kinds of everything pulled.
  std::vector<std::vector<uint8_t>> speak(UtterancePipeline& p, int frames, std::vector<le_utt_frame_info>* all) {
    std::vector<std::vector<uint8_t>> speech(static_cast<size_t>(frames));
    settle(p);
    pushSpeech(p, 640 * frames);
    p.endUtterance();
    int idleAfter = 0;
    bool spoke = false;
    for (int k = 0; k < 400 && idleAfter < 2; ++k) {
      le_utt_frame_info f{};
      if (!pull(p, &f)) break;
      all->push_back(f);
      if (f.kind == 1 && f.speech_index >= 0 && f.speech_index < frames) speech[size_t(f.speech_index)] = buf_;
      spoke = spoke || f.kind != 0;
      if (spoke && f.kind == 0) ++idleAfter;
    }
    return speech;
  }
};

TEST_F(RealTeethTest, BorrowedTeethChangeOnlyTheMouthWindowOfEverySpeechFrame) {
  const int frames = 10;
  // Paste and teeth inline: the idle frames before the speech, and so the
  // loop frame it starts on, are the same in both runs (the whole utterance
  // is pushed at once, covering the source's lag with the teeth's frame).
  const std::string dir = motionDir(true, false);
  std::vector<le_utt_frame_info> plainKinds, teethKinds;
  std::vector<std::vector<uint8_t>> plain, teeth;
  std::vector<int32_t> stamp;
  {
    auto p = start(opts(dir), 2);
    plain = speak(*p, frames, &plainKinds);
  }
  int64_t composed = 0, failedResults = 0;
  {
    auto p = start(opts(dir), 2);
    ASSERT_NO_FATAL_FAILURE(attachBundleTeeth(*p, &stamp));
    teeth = speak(*p, frames, &teethKinds);
    std::string msg;
    EXPECT_EQ(p->teethStats(&composed, &failedResults, &msg), 1) << msg;
  }
  const int speechFrames = countKind(teethKinds, 1), rampFrames = countKind(teethKinds, 2);
  EXPECT_EQ(speechFrames, frames);
  // Every rendered frame, speech and ramp alike, went through the pass; only
  // those whose window was written count as composed (a closed mouth is
  // skipped and keeps its own).
  EXPECT_LE(composed, speechFrames + rampFrames);
  EXPECT_EQ(failedResults, 0);

  // The window's footprint on the canvas: its corners through the paste
  // map, grown by the sharpening kernel and the resampling.
  const int W = le_width(ctx_.get()), H = le_height(ctx_.get());
  const int grow = ctx_->manifest.unsharp.ksize / 2 + 2;
  int changedFrames = 0;
  for (int i = 0; i < frames; ++i) {
    SCOPED_TRACE("speech frame " + std::to_string(i));
    ASSERT_EQ(plain[size_t(i)].size(), size_t(W) * H * 3);
    ASSERT_EQ(teeth[size_t(i)].size(), size_t(W) * H * 3);
    int src = -1, plainSrc = -2;
    for (const auto& f : teethKinds)
      if (f.kind == 1 && f.speech_index == i) src = f.src_index;
    for (const auto& f : plainKinds)
      if (f.kind == 1 && f.speech_index == i) plainSrc = f.src_index;
    ASSERT_EQ(src, plainSrc) << "both runs speak from the same loop frame";
    const float* m = ctx_->identity->M(src);
    double x0 = 1e9, y0 = 1e9, x1 = -1e9, y1 = -1e9;
    for (const int u : {stamp[2] - grow, stamp[2] + stamp[4] + grow})
      for (const int v : {stamp[3] - grow, stamp[3] + stamp[5] + grow}) {
        const double x = m[0] * u + m[1] * v + m[2], y = m[3] * u + m[4] * v + m[5];
        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
      }
    int outside = 0, inside = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const size_t o = (size_t(y) * W + x) * 3;
        const bool same = std::equal(&plain[size_t(i)][o], &plain[size_t(i)][o] + 3, &teeth[size_t(i)][o]);
        const bool in = x >= x0 - 2 && x <= x1 + 2 && y >= y0 - 2 && y <= y1 + 2;
        if (!same) ++(in ? inside : outside);
      }
    EXPECT_EQ(outside, 0);
    changedFrames += inside > 0;
  }
  EXPECT_GT(changedFrames, frames / 2);
  EXPECT_GE(composed, changedFrames) << "a changed mouth is a composed frame";
}

TEST_F(UttTest, TeethCountsComposedFramesOnlyAndFreesReplacedPasses) {
  for (const bool pipelined : {true, false}) {
    SCOPED_TRACE(pipelined ? "teeth thread" : "teeth inline");
    const std::string dir = motionDir(true, pipelined);
    std::atomic<int> alive{0};
    auto o = opts(dir);
    o.hold_s = -1;
    auto p = start(o);
    // Every other result is skipped: those frames keep their own mouth and
    // are delivered, but are not counted as composed.
    p->attachTeeth(std::make_unique<MarkingTeeth>(0, 2, &alive), "");
    pushSpeech(*p, 640 * 10);
    p->endUtterance();
    auto f = pullUntilIdle(*p, 2);
    const int speech = countKind(f, 1), ramp = countKind(f, 2);
    EXPECT_EQ(speech, 10);
    EXPECT_EQ(ramp, 6);
    int64_t composed = 0, failedResults = 0;
    std::string msg;
    EXPECT_EQ(p->teethStats(&composed, &failedResults, &msg), 1);
    EXPECT_EQ(composed, 8);
    EXPECT_EQ(failedResults, 0);

    // Re-attaching mid-utterance: every speech frame still comes out once,
    // and each replaced pass is freed once the producer has left it.
    pushSpeech(*p, 640 * 40);
    int seen = 0, next = 0;
    le_utt_frame_info info{};
    for (int attach = 0; attach < 5; ++attach) {
      p->attachTeeth(std::make_unique<MarkingTeeth>(0, 0, &alive), "");
      for (int k = 0; k < 3 && pull(*p, &info); ++k) {
        if (info.kind != 1) continue;
        EXPECT_EQ(info.speech_index, next++);
        ++seen;
      }
    }
    p->endUtterance();
    for (auto& x : pullUntilIdle(*p, 2)) {
      if (x.kind != 1) continue;
      EXPECT_EQ(x.speech_index, next++);
      ++seen;
    }
    EXPECT_EQ(seen, 40);
    EXPECT_EQ(alive.load(), 1);
  }
}

TEST_F(UttTest, WarmUpAndIdleFramesShareAPriorPlayedFromVideo) {
  // Without P.f16 the identity's prior comes from its video through one
  // cursor: warm-up renders read it while idle frames walk it. Run under
  // ThreadSanitizer this shows whether the two meet unguarded.
  const std::string copy = tmp_.file("prior_video");
  ASSERT_EQ(le::test::runCommand("cp -r '" + le::test::bundlePath("tiny") + "' '" + copy + "' && rm '" + copy +
                                 "/P.f16' '" + copy + "/fs_red.f16'"),
            0);
  open(copy);
  ASSERT_TRUE(ctx_->identity->priorMapped() == false && ctx_->identity->hasPrior());
  const std::string dir = motionDir(true, true);
  auto o = opts(dir);
  o.steady_model = "b4_fp32";
  auto p = std::make_unique<UtterancePipeline>(
      ctx_.get(), o, [xs = xsT_, nt = nt_, log = &log_](bool, const std::string&, int, const std::string&, std::string*) {
        return std::make_unique<ScriptedSource>(xs, nt, 2, log);
      });
  // Idle frames are pulled while the warm-up thread renders.
  std::string err;
  int idle = 0;
  while (p->ready(&err) == 0 || idle < 3) {
    le_utt_frame_info info{};
    ASSERT_TRUE(pull(*p, &info));
    idle += info.kind == 0;
  }
  ASSERT_EQ(p->ready(&err), 1) << err;
  pushSpeech(*p, 640 * 12);
  p->endUtterance();
  auto f = pullUntilIdle(*p, 2);
  const int speech = countKind(f, 1);
  EXPECT_EQ(speech, 12);
  int64_t failures = 0;
  std::string msg;
  EXPECT_EQ(p->renderStatus(&failures, &msg), 0) << msg;
  EXPECT_EQ(failures, 0) << msg;
}

TEST_F(UttTest, ConstructionReadsOptionsAndEnvironment) {
  const std::string dir = motionDir(true, true);
  le_utt_opts o{};
  o.motion_dir = dir.c_str();
  {
    // The source fails only once the test lets it, so that speech can come
    // while it is still warming up.
    auto failNow = std::make_shared<std::atomic<bool>>(false);
    UtterancePipeline p(ctx_.get(), o, [failNow](bool, const std::string&, int, const std::string&, std::string* e) {
      while (!*failNow) std::this_thread::sleep_for(1ms);
      *e = "scripted: no source";
      return std::unique_ptr<AnimationSource>();
    });
    struct FailOnExit {  // destroyed before p, whose destructor joins the warm-up
      std::shared_ptr<std::atomic<bool>> flag;
      ~FailOnExit() { *flag = true; }
    } failOnExit{failNow};
    EXPECT_DOUBLE_EQ(p.holdMs(), 600);
    EXPECT_EQ(p.endRamp(), 6);
    EXPECT_EQ(p.interruptRamp(), 4);
    EXPECT_EQ(p.steadyModel(), "b24_fp32");
    EXPECT_TRUE(p.a2xMode());
    EXPECT_TRUE(p.pastePipelined());
    // Idle frames flow before there is a source, also once speech was
    // pushed (more frames than the ring holds).
    std::string err;
    EXPECT_EQ(p.ready(&err), 0);
    le_utt_frame_info info{};
    ASSERT_TRUE(pull(p, &info));
    EXPECT_EQ(info.kind, 0);
    const std::vector<int16_t> speech(6400, 3000);
    EXPECT_TRUE(p.pushAudio(speech.data(), int(speech.size())));
    for (int i = 0; i < 12; ++i) {
      ASSERT_TRUE(pull(p, &info)) << "frame " << i;
      EXPECT_EQ(info.kind, 0);
    }
    *failNow = true;
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (p.ready(&err) == 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(p.ready(&err), -1);
    EXPECT_EQ(err, "scripted: no source");
    // Once it failed, speech is refused rather than piled up; idle goes on.
    err.clear();
    EXPECT_FALSE(p.pushAudio(speech.data(), int(speech.size()), &err));
    EXPECT_EQ(err, "scripted: no source");
    ASSERT_TRUE(pull(p, &info));
    EXPECT_EQ(info.kind, 0);
  }
  o.eager = -2;
  o.hold_s = -3;
  o.ramp_frames = 2;
  o.interrupt_ramp_frames = 1;
  o.steady_model = "b4_fp32";
  setenv("LE_UTT_PIPELINE_PASTE", "0", 1);
  setenv("LE_STEADY_MODEL", "-", 1);
  {
    UtterancePipeline p(ctx_.get(), o);
    EXPECT_TRUE(p.hybrid());
    EXPECT_DOUBLE_EQ(p.holdMs(), -1);
    EXPECT_EQ(p.endRamp(), 2);
    EXPECT_EQ(p.interruptRamp(), 1);
    EXPECT_FALSE(p.pastePipelined());
    EXPECT_EQ(p.steadyModel(), "-");
  }
  unsetenv("LE_UTT_PIPELINE_PASTE");
  unsetenv("LE_STEADY_MODEL");
  o.eager = 0;
  setenv("LE_UTT_HYBRID", "0", 1);
  EXPECT_FALSE(UtterancePipeline(ctx_.get(), o).hybrid());
  setenv("LE_UTT_HYBRID", "yes", 1);
  EXPECT_TRUE(UtterancePipeline(ctx_.get(), o).hybrid());
  o.eager = 5;
  UtterancePipeline eager(ctx_.get(), o);
  EXPECT_FALSE(eager.hybrid());
  EXPECT_EQ(eager.eagerValue(), 5);
  unsetenv("LE_UTT_HYBRID");
  o.motion_dir = "";
  EXPECT_EQ(le::test::thrownBy([&] { UtterancePipeline bad(ctx_.get(), o); }), "opts.motion_dir required");
}

TEST_F(UttTest, HybridModeKeepsTheStreamWhole) {
  const std::string dir = motionDir(true, true);
  auto o = opts(dir);
  o.eager = -2;
  o.steady_model = "b4_fp32";
  auto p = start(o, 2);
  pushSpeech(*p, 640 * 40);
  p->endUtterance();
  auto f = pullUntilIdle(*p, 2);
  expectContinuous(f, nt_);
  const int speech = countKind(f, 1);
  EXPECT_EQ(speech, 40);
}

// Host threads push, pull, end and interrupt at random; a watchdog fails the
// test when frames stop coming. LE_UTT_STORM_SECONDS makes it longer.
TEST_F(UttTest, StormKeepsTheInvariants) {
  const char* env = std::getenv("LE_UTT_STORM_SECONDS");
  const double seconds = env ? std::atof(env) : 3.0;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    const std::string dir = motionDir(round != 3, round % 2 == 0);
    auto o = opts(dir);
    o.steady_model = round == 2 ? "b4_fp32" : "-";
    o.hold_s = 0.1;
    auto p = start(o, 3);
    if (round == 1) p->attachTeeth(std::make_unique<MarkingTeeth>(0), "");
    std::atomic<bool> done{false};
    std::atomic<int64_t> lastSeq{-1};
    std::atomic<int> pulled{0};
    std::thread puller([&] {
      std::vector<uint8_t> b(frameBytes_);
      while (!done) {
        le_utt_frame_info info{};
        if (p->pullFrame(b.data(), b.size(), &info) == 1) {
          EXPECT_GT(info.seq, lastSeq.load());
          EXPECT_TRUE(info.kind >= 0 && info.kind <= 2);
          EXPECT_TRUE(info.src_index >= 0 && info.src_index < nt_);
          lastSeq = info.seq;
          ++pulled;
        }
        EXPECT_LE(p->framesAvailable(), 8);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    });
    std::vector<std::thread> hosts;
    for (int t = 0; t < 2; ++t) {
      hosts.emplace_back([&, t] {
        std::mt19937 rng(unsigned(round * 10 + t));
        std::vector<int16_t> pcm(2000, 800);
        while (!done) {
          const int op = int(rng() % 10);
          if (op < 6) p->pushAudio(pcm.data(), int(rng() % 2000));
          else if (op < 8) p->endUtterance();
          else if (op == 8) p->interrupt();
          else p->stats();
          std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 15));
        }
      });
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int lastPulled = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(50ms);
      if (pulled != lastPulled) lastPulled = pulled, lastProgress = std::chrono::steady_clock::now();
      if (std::chrono::steady_clock::now() - lastProgress > 10s) {
        ADD_FAILURE() << "no frame for 10 s: the pipeline is stuck";
        break;
      }
    }
    done = true;
    for (auto& h : hosts) h.join();
    puller.join();
    EXPECT_GT(pulled.load(), 0);
    int64_t failures = 0;
    std::string msg;
    EXPECT_EQ(p->renderStatus(&failures, &msg), 0) << msg;
    EXPECT_EQ(failures, 0) << msg;  // nor was any audio refused by a finished source
    p.reset();  // destroy while work may be under way
  }
}

}  // namespace
