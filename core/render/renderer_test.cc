#include "core/render/renderer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/bundle/drive.h"
#include "core/bundle/identity.h"
#include "core/bundle/manifest.h"
#include "core/foundation/half.h"
#include "core/render/render_test_util.h"
#include "tests/test_support.h"

namespace le {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// One opened bundle: manifest, identity and drive data.
struct Opened {
  explicit Opened(const std::string& dir) : manifest(loadManifest(dir)), identity(manifest), drive(loadDrive(manifest)) {}
  Manifest manifest;
  Identity identity;
  Drive drive;
  const float* xs(int i) const { return drive.xs.data() + size_t(i) * 63; }
  const float* xd(int i) const { return drive.xd.data() + size_t(i) * 63; }
  std::vector<float> P(int si) {
    std::vector<float> out(size_t(3) * manifest.crop * manifest.crop);
    halfToFloat(identity.P(si), out.data(), out.size());
    return out;
  }
};

// A copy of the tiny bundle that a test may add models to.
struct ScratchBundle {
  ScratchBundle() {
    dir = tmp.file("b");
    if (test::runCommand("cp -r '" + test::bundlePath("tiny") + "' '" + dir + "'") != 0)
      throw std::runtime_error("cannot copy the tiny bundle");
  }
  // Writes model_<key>.onnx: the demo director with `rows` keypoint rows
  // ("K" for a dynamic count).
  void director(const std::string& key, int batch, const std::string& rows) const {
    model(key, "director_model", "d.build(d.crop_of('" + dir + "'), " + std::to_string(batch) +
                                     ", rows=" + (rows == "K" ? std::string("'K'") : rows) + ")");
  }
  // Writes model_<key>.onnx from the expression `build` over the generator
  // module `module` of tools/, imported as d.
  void model(const std::string& key, const std::string& module, const std::string& build) const {
    const std::string py = "import sys; sys.path.insert(0, '" + test::sourceDir() + "/tools'); import " + module +
                           " as d; open('" + dir + "/model_" + key + ".onnx', 'wb').write((" + build +
                           ").SerializeToString())";
    if (test::runCommand(test::python() + " -c \"" + py + "\"") != 0)
      throw std::runtime_error("cannot write director " + key);
  }
  // Leaves the warp prior to the bundle's video alone.
  void priorFromVideo() const {
    if (test::runCommand("rm -f '" + dir + "/P.f16' '" + dir + "/fs_red.f16'") != 0)
      throw std::runtime_error("cannot remove the raw prior");
  }
  test::TempDir tmp;
  std::string dir;
};

std::string loadError(Opened& b, const std::string& key, const std::string& ep) {
  try {
    Renderer r(b.manifest, b.identity, key, 1, ep);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

float maxDiff(const float* a, const float* b, size_t n) {
  float m = 0;
  for (size_t i = 0; i < n; ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

TEST(Renderer, KeepingTheArenaBetweenRunsRendersTheSameFrames) {
  Opened b(test::bundlePath("tiny"));
  const size_t n = size_t(3) * b.manifest.crop * b.manifest.crop;
  Renderer shrinking(b.manifest, b.identity, "b1_fp32", 1, "");
  ScopedEnv keep("LE_ORT_ARENA_SHRINK", "0");
  Renderer keeping(b.manifest, b.identity, "b1_fp32", 1, "");
  for (int si : {2, 7, 2}) {
    const float* a = shrinking.render(&si, b.xs(si), b.xd(si), 1);
    const std::vector<float> first(a, a + n);
    EXPECT_EQ(maxDiff(keeping.render(&si, b.xs(si), b.xd(si), 1), first.data(), n), 0.0f) << "frame " << si;
  }
}

TEST(Renderer, EqualKeypointsGiveTheSourceCropBack) {
  Opened b(test::bundlePath("tiny"));
  Renderer r(b.manifest, b.identity, "b1_fp32", 1, "");
  EXPECT_EQ(r.batch(), 1);
  EXPECT_STREQ(r.ep(), "cpu");
  EXPECT_STREQ(r.backend(), "ort");
  EXPECT_EQ(r.directorNote(), "");
  const size_t n = size_t(3) * b.manifest.crop * b.manifest.crop;
  for (int si : {0, 5, b.manifest.NT - 1}) {
    const float* out = r.render(&si, b.xs(si), b.xs(si), 1);
    EXPECT_LT(maxDiff(out, b.P(si).data(), n), 1e-5f) << "frame " << si;
  }
}

TEST(Renderer, ACancelledRenderThrowsUntilResumedAndThenRendersAsBefore) {
  Opened b(test::bundlePath("tiny"));
  Renderer r(b.manifest, b.identity, "b1_fp32", 1, "");
  const size_t n = size_t(3) * b.manifest.crop * b.manifest.crop;
  const int si = 3;
  const float* first = r.render(&si, b.xs(si), b.xd(si), 1);
  const std::vector<float> before(first, first + n);
  r.cancel();
  EXPECT_EQ(test::thrownBy([&] { r.render(&si, b.xs(si), b.xd(si), 1); }),
            "Renderer b1_fp32: the render was cancelled.");
  EXPECT_EQ(test::thrownBy([&] { r.render(&si, b.xs(si), b.xd(si), 1); }),
            "Renderer b1_fp32: the render was cancelled.")
      << "cancelled until resumed";
  r.resume();
  const float* after = r.render(&si, b.xs(si), b.xd(si), 1);
  EXPECT_EQ(maxDiff(after, before.data(), n), 0.0f) << "a stopped run leaves nothing behind";
}

TEST(Renderer, MovingTheLipRowsMovesTheMouthOnly) {
  Opened b(test::bundlePath("tiny"));
  Renderer r(b.manifest, b.identity, "b1_fp32", 1, "");
  const int S = b.manifest.crop;
  int si = 2;
  std::vector<float> xs(b.xs(si), b.xs(si) + 63), xd = xs;
  for (int row : {17, 20}) xd[size_t(row) * 3 + 1] += 0.08f;  // lower lip down
  const float* still = r.render(&si, xs.data(), xs.data(), 1);
  const std::vector<float> rest(still, still + 3 * S * S);
  const float* open = r.render(&si, xs.data(), xd.data(), 1);
  // Around the lower lip the face changes; in the crop's corner nothing does.
  const int u = int((xs[17 * 3] + 1) * S / 2), v = int((xs[17 * 3 + 1] + 1) * S / 2);
  float nearMouth = 0;
  for (int c = 0; c < 3; ++c)
    for (int dy = -3; dy <= 3; ++dy)
      for (int dx = -3; dx <= 3; ++dx) {
        const size_t i = size_t(c) * S * S + size_t(v + dy) * S + size_t(u + dx);
        nearMouth = std::max(nearMouth, std::fabs(open[i] - rest[i]));
      }
  EXPECT_GT(nearMouth, 0.02f);
  // The lip's surroundings follow it down: below the lip the opened mouth
  // shows what the still one shows a pixel or two higher, not lower.
  auto shiftError = [&](int shift) {
    double e = 0;
    for (int c = 0; c < 3; ++c)
      for (int dy = 0; dy <= 3; ++dy)
        for (int dx = -3; dx <= 3; ++dx) {
          const size_t at = size_t(c) * S * S + size_t(u + dx);
          e += std::fabs(open[at + size_t(v + dy) * S] - rest[at + size_t(v + dy - shift) * S]);
        }
    return e;
  };
  int best = 0;
  for (int k = -3; k <= 3; ++k)
    if (shiftError(k) < shiftError(best)) best = k;
  EXPECT_GE(best, 1);
  EXPECT_LT(2 * shiftError(best), std::min(shiftError(-1), shiftError(-2)));
  for (int c = 0; c < 3; ++c) EXPECT_EQ(open[size_t(c) * S * S], rest[size_t(c) * S * S]);
}

TEST(Renderer, ShortBatchesRepeatTheLastFrameAndBadCountsAreRefused) {
  Opened b(test::bundlePath("tiny"));
  Renderer r(b.manifest, b.identity, "b4_fp32", 1, "");
  ASSERT_EQ(r.batch(), 4);
  EXPECT_FALSE(r.hoisted());  // the hoist needs a batch-1 graph
  const size_t n = size_t(3) * b.manifest.crop * b.manifest.crop;
  const int idx[2] = {1, 6};
  std::vector<float> ks(b.xs(1), b.xs(1) + 63), kd(b.xd(1), b.xd(1) + 63);
  ks.insert(ks.end(), b.xs(6), b.xs(6) + 63);
  kd.insert(kd.end(), b.xd(6), b.xd(6) + 63);
  const float* out = r.render(idx, ks.data(), kd.data(), 2);
  EXPECT_GT(maxDiff(out, out + n, n), 0.f);
  for (int j = 2; j < 4; ++j) EXPECT_EQ(maxDiff(out + n, out + j * n, n), 0.f) << "slot " << j;
  for (int bad : {0, 5}) {
    try {
      r.render(idx, ks.data(), kd.data(), bad);
      ADD_FAILURE() << "n = " << bad << " was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "render: bad n");
    }
  }
}

TEST(Renderer, HoistedAndUnhoistedRenderTheSameCrops) {
  Opened b(test::bundlePath("tiny"));
  Renderer hoisted(b.manifest, b.identity, "b1_fp32", 1, "");
  Renderer plain(b.manifest, b.identity, "b4_fp32", 1, "");
  ASSERT_TRUE(hoisted.hoisted());
  const size_t n = size_t(3) * b.manifest.crop * b.manifest.crop;
  // Forward, a jump, backward and a repeat: hits, misses and synchronous fills.
  for (int i : {0, 1, 2, 3, 9, 8, 7, 7, 0, 11, 0}) {
    const float* p = plain.render(&i, b.xs(i), b.xd(i), 1);
    const std::vector<float> want(p, p + n);
    EXPECT_LT(maxDiff(hoisted.render(&i, b.xs(i), b.xd(i), 1), want.data(), n), 1e-5f) << "frame " << i;
  }
  EXPECT_GT(hoisted.ringHits() + hoisted.ringMisses(), 0u);
}

TEST(Renderer, APrefetchedFrameIsAHit) {
  Opened b(test::bundlePath("tiny"));
  Renderer r(b.manifest, b.identity, "b1_fp32", 1, "");
  ASSERT_TRUE(r.hoisted());
  int i = 0;
  r.render(&i, b.xs(i), b.xd(i), 1);  // filled on this thread; asks the prep thread for frame 1
  EXPECT_EQ(r.ringMisses(), 1u);
  EXPECT_EQ(r.ringHits(), 1u);  // the filled slot is then taken like any other
  // The prefetch of frame 1 finishes well within this on any machine; the
  // render then finds it ready.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  i = 1;
  r.render(&i, b.xs(i), b.xd(i), 1);
  EXPECT_EQ(r.ringHits(), 2u);
  EXPECT_EQ(r.ringMisses(), 1u);
}

TEST(Renderer, APrepFailureIsReportedOnceAndTheNextRenderRecovers) {
  // The prior video is missing when the first fill opens it: that render
  // fails, and once the video is back the renderer serves frames again.
  ScratchBundle s;
  s.priorFromVideo();
  Opened b(s.dir);
  Renderer r(b.manifest, b.identity, "b1_fp32", 1, "");
  ASSERT_TRUE(r.hoisted());
  const std::string video = s.dir + "/P_hevc.mov";
  ASSERT_EQ(std::rename(video.c_str(), (video + ".away").c_str()), 0);
  int i = 3;
  EXPECT_THAT(test::thrownBy([&] { r.render(&i, b.xs(i), b.xs(i), 1); }),
              HasSubstr("Renderer: the hoisted source cone failed in ORT \xe2\x80\x94 "));
  ASSERT_EQ(std::rename((video + ".away").c_str(), video.c_str()), 0);
  const size_t n = size_t(3) * b.manifest.crop * b.manifest.crop;
  for (int si : {3, 4, 0}) {
    const float* out = r.render(&si, b.xs(si), b.xs(si), 1);
    // The prior went through the video codec: close to P, not equal.
    EXPECT_LT(maxDiff(out, b.P(si).data(), n), 1e-5f) << "frame " << si;
  }
}

TEST(Renderer, APrepFailureSurfacesAtTheNextRender) {
  // The warp prior played from a video that cannot be decoded: the fill of
  // the ring fails inside the prep step, and the render reports it.
  ScratchBundle s;
  ASSERT_EQ(test::runCommand("rm -f '" + s.dir + "/P.f16' '" + s.dir + "/fs_red.f16'"), 0);
  test::writeFile(s.dir + "/P_hevc.mov", std::string(4096, '\x5a'));
  Opened b(s.dir);
  Renderer r(b.manifest, b.identity, "b1_fp32", 1, "");
  ASSERT_TRUE(r.hoisted());
  int i = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      r.render(&i, b.xs(i), b.xd(i), 1);
      ADD_FAILURE() << "a render over an undecodable prior succeeded";
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), HasSubstr("Renderer: the hoisted source cone failed in ORT \xe2\x80\x94 "));
    }
  }
}

// Loads key `key` of `b` and returns what it logged.
std::string loadLog(Opened& b, const std::string& key, bool* hoisted = nullptr) {
  testing::internal::CaptureStderr();
  try {
    Renderer r(b.manifest, b.identity, key, 1, "");
    if (hoisted) *hoisted = r.hoisted();
    int si = 4;
    const size_t n = size_t(3) * b.manifest.crop * b.manifest.crop;
    EXPECT_LT(maxDiff(r.render(&si, b.xs(si), b.xs(si), 1), b.P(si).data(), n), 1e-5f) << key;
  } catch (...) {
    testing::internal::GetCapturedStderr();
    throw;
  }
  return testing::internal::GetCapturedStderr();
}

TEST(Renderer, LoadTimeRewritesAndTheirSwitches) {
  ScratchBundle s;
  Opened b(s.dir);
  bool hoisted = false;
  std::string log = loadLog(b, "b1_fp32", &hoisted);
  EXPECT_TRUE(hoisted);
  EXPECT_THAT(log, HasSubstr("[le] std GridSample -> com.mirelund::GridSampleFast load-time rewrite: 1 node(s) (b1_fp32)"));
  EXPECT_THAT(log, HasSubstr("[le] L3 student blend MatMul -> Gemm load-time normalisation: 1 node(s) (b1_fp32)"));
  EXPECT_THAT(log, HasSubstr("[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: 1 node(s) (b1_fp32)"));
  EXPECT_THAT(log, HasSubstr("[le] compose alpha: LIP CONTOUR (b1_fp32)"));
  EXPECT_THAT(log, HasSubstr("[le] source-cone hoist: 'src_tip' [1,12,64,64] leaves the per-frame graph"));
  EXPECT_THAT(log, HasSubstr("[le] director ep=cpu (ORT CPU EP)"));
  // Neither the generated graph nor what the edits leave of it hands the
  // runtime a weight that no node reads (it would warn at load).
  EXPECT_THAT(log, Not(HasSubstr("Removing initializer")));
  {
    ScopedEnv warp("LE_WARP_NODE", "1");
    log = loadLog(b, "b1_fp32", &hoisted);
    EXPECT_FALSE(hoisted);
    EXPECT_THAT(log, HasSubstr("[le] director warp -> com.mirelund::WarpDirector ("));
    EXPECT_THAT(log, HasSubstr("[le] source-cone hoist SKIPPED (b1_fp32): the warp node subsumes the cone"));
    EXPECT_THAT(log, Not(HasSubstr("Removing initializer")));
  }
  {
    ScopedEnv gs("LE_GS_REWRITE", "0");
    log = loadLog(b, "b1_fp32");
    EXPECT_THAT(log, HasSubstr("[le] LE_GS_REWRITE=0: load-time std GridSample -> com.mirelund::GridSampleFast rewrite DISABLED (b1_fp32)"));
    EXPECT_THAT(log, Not(HasSubstr("GridSampleFast load-time rewrite")));
  }
  {
    // A graph with the fast sampler baked in cannot load without its kernel.
    const std::string py = "import sys; sys.path.insert(0, '" + test::sourceDir() +
                           "/tools'); import director_graphs as d; open('" + s.dir +
                           "/model_baked.onnx', 'wb').write(d.build_m4b(S=64, baked=True).SerializeToString())";
    ASSERT_EQ(test::runCommand(test::python() + " -c \"" + py + "\""), 0);
    ScopedEnv fast("LE_GS_FAST", "0");
    EXPECT_THAT(loadError(b, "baked", ""), HasSubstr("Renderer: LE_GS_FAST=0 (or MIRELUND_CORVANE2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " + b.manifest.modelPath("baked") + " has com.mirelund::GridSampleFast BAKED INTO THE GRAPH."));
    log = loadLog(b, "b1_fp32");  // a standard graph runs ORT's own sampler
    EXPECT_THAT(log, Not(HasSubstr("GridSampleFast load-time rewrite")));
  }
  ASSERT_EQ(test::runCommand("rm '" + s.dir + "/lip_template.v1.json'"), 0);
  Opened plain(s.dir);
  EXPECT_THAT(loadLog(plain, "b1_fp32"), HasSubstr("[le] !!! compose alpha: ELLIPSE (b1_fp32) \xe2\x80\x94 this bundle carries no lip_template.v1.json"));
}

TEST(SourcePredictor, BouncesUntilTheLoopWraps) {
  SourcePredictor p(4);
  std::vector<int> got;
  for (int cur : {0, 1, 2, 3, 2, 1, 0, 1}) got.push_back(p.next(cur));
  EXPECT_EQ(got, (std::vector<int>{1, 2, 3, 2, 1, 0, 1, 2}));
  SourcePredictor w(4);
  got.clear();
  for (int cur : {2, 3, 0, 1, 2, 3}) got.push_back(w.next(cur));
  EXPECT_EQ(got, (std::vector<int>{3, 2, 1, 2, 3, 0}));
  SourcePredictor two(2);
  EXPECT_EQ(two.next(1), 0);  // bounce off the end
  EXPECT_EQ(two.next(0), 1);  // 1 then 0 wraps: the step turns negative
  SourcePredictor one(1);
  EXPECT_EQ(one.next(0), 0);
}

TEST(Renderer, ExecutionProviderChoice) {
  Opened b(test::bundlePath("tiny"));
  for (const char* ep : {"xnnpack", "xnnpack-arm"}) {
    const std::string e = loadError(b, "b1_fp32", ep);
    EXPECT_THAT(e, HasSubstr(std::string("Renderer: ep '") + ep + "' is REFUSED."));
    EXPECT_THAT(e, HasSubstr("Use the default ep (\"\", the ORT CPU EP)"));
  }
  EXPECT_EQ(loadError(b, "b1_fp32", "cuda"), "Renderer: unknown ep 'cuda'");
  // No CoreML provider in this runtime: the session falls back to the CPU.
  for (const char* ep : {"coreml", "coreml:ane"}) {
    Renderer r(b.manifest, b.identity, "b1_fp32", 1, ep);
    EXPECT_STREQ(r.ep(), "cpu");
  }
  {
    Renderer r(b.manifest, b.identity, "b1_fp32", 1, "neon");
    EXPECT_STREQ(r.ep(), "cpu");
    EXPECT_STREQ(r.backend(), "ort");
  }
  ScopedEnv env("LE_CONV_BACKEND", "neon");
  Renderer r(b.manifest, b.identity, "b1_fp32", 1, "");
  EXPECT_STREQ(r.backend(), "ort");
}

TEST(Renderer, KeypointContractRefusals) {
  ScratchBundle s;
  s.director("rows22", 1, "22");
  s.director("rows20", 1, "20");
  s.director("rowsK", 1, "K");
  Opened b(s.dir);
  const std::string e22 = loadError(b, "rows22", "");
  EXPECT_THAT(e22, HasSubstr("Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + b.manifest.modelPath("rows22")));
  EXPECT_THAT(e22, HasSubstr("with 22 keypoint rows, and this renderer feeds 21"));
  EXPECT_THAT(e22, HasSubstr("row 21 is the WIDTH ROW"));
  EXPECT_THAT(e22, HasSubstr("REFUSING AT LOAD"));
  const std::string e20 = loadError(b, "rows20", "");
  EXPECT_THAT(e20, HasSubstr("with 20 keypoint rows"));
  EXPECT_THAT(e20, Not(HasSubstr("WIDTH ROW")));
  EXPECT_EQ(loadError(b, "rowsK", ""), "");
  EXPECT_EQ(loadError(b, "absent", ""), "Renderer: cannot open " + b.manifest.modelPath("absent"));
}

TEST(Renderer, RefusesAnM4bGraphWithoutAWarpPrior) {
  ScratchBundle s;
  ASSERT_EQ(test::runCommand("rm -f '" + s.dir + "/P.f16' '" + s.dir + "/P_hevc.mov'"), 0);
  Opened b(s.dir);
  EXPECT_THAT(loadError(b, "b1_fp32", ""), HasSubstr("m4b graph (P_rgb input) but this bundle carries no warp prior"));
}

// The FeatSynth graph, run by ONNX Runtime on the same inputs the renderer
// binds: the identity's synthesis features, pooled features and keypoints.
std::vector<float> featSynthReference(Opened& b, const std::string& key, int si, const float* ks, const float* kd) {
  const std::vector<unsigned char> bytes = test::readFile(b.manifest.modelPath(key));
  Ort::Session session = rtest::session(GsBytes(bytes.begin(), bytes.end()));
  rtest::Feeds feeds;
  auto halves = [](const uint16_t* h, std::vector<int64_t> shape) {
    rtest::Tensor t;
    t.shape = std::move(shape);
    size_t n = 1;
    for (int64_t d : t.shape) n *= size_t(d);
    t.data.resize(n);
    halfToFloat(h, t.data.data(), n);
    return t;
  };
  feeds["fs_red"] = halves(b.identity.fsRed(si), {1, 64, 64, 64});
  feeds["pooled"] = halves(b.identity.pooled64(si), {1, 64, 32, 32});
  feeds["ks"] = rtest::Tensor{{1, 21, 3}, std::vector<float>(ks, ks + 63)};
  feeds["kd"] = rtest::Tensor{{1, 21, 3}, std::vector<float>(kd, kd + 63)};
  return rtest::run(session, feeds).at(0).data;
}

TEST(Renderer, FeatSynthDirectorRendersWhatItsGraphComputes) {
  ScratchBundle s;
  s.model("fs", "director_graphs", "d.build_featsynth(B=1)");
  Opened b(s.dir);
  Renderer r(b.manifest, b.identity, "fs", 1, "");
  EXPECT_EQ(r.batch(), 1);
  EXPECT_FALSE(r.hoisted());  // no P_rgb cone to hoist
  const size_t n = size_t(3) * b.manifest.crop * b.manifest.crop;
  std::vector<float> first;
  for (int si : {0, 7}) {
    const float* out = r.render(&si, b.xs(si), b.xd(si), 1);
    const std::vector<float> want = featSynthReference(b, "fs", si, b.xs(si), b.xd(si));
    ASSERT_EQ(want.size(), n);
    EXPECT_LT(maxDiff(out, want.data(), n), 1e-4f) << "frame " << si;
    if (first.empty()) first.assign(out, out + n);
    else EXPECT_GT(maxDiff(out, first.data(), n), 0.01f);  // another frame, another face
  }
}

TEST(Renderer, AFeatSynthDirectorTakesNoLipContourAndNoSourceImage) {
  ScratchBundle s;
  // A compose tail the lip contour could be bound into: the FeatSynth
  // renders never fed the input the binding adds, and every one failed.
  s.model("fst", "director_graphs", "d.build_featsynth(B=1, tail=True)");
  // A source image beside fs_red: its cone was hoisted into a prep session
  // with no image buffer, and the first render wrote through a null pointer.
  s.model("fsp", "director_graphs", "d.build_featsynth(B=1, prgb=True)");
  Opened b(s.dir);
  Renderer r(b.manifest, b.identity, "fst", 1, "");
  EXPECT_FALSE(r.hoisted());
  int si = 3;
  const float* out = nullptr;
  EXPECT_NO_THROW(out = r.render(&si, b.xs(si), b.xd(si), 1));
  EXPECT_NE(out, nullptr);
  EXPECT_EQ(loadError(b, "fsp", ""), "Renderer: " + b.manifest.modelPath("fsp") +
                                         " declares both fs_red and P_rgb, and a FeatSynth director takes no source "
                                         "image; REFUSING to create a session.");
}

TEST(Renderer, RefusesADirectorWhoseTensorsDisagreeWithTheBundle) {
  ScratchBundle s;
  // Synthesis features of three channels at the crop's size, as an older
  // fixture declared them.
  s.model("fs3", "director_graphs", "d.build_featsynth(B=1, fs_shape=(3, 64, 64))");
  // A director made for half this bundle's crop: its cone cannot take the
  // bundle's frames, so it stays unhoisted and its P_rgb is refused.
  s.model("half", "director_model", "d.build(d.crop_of('" + s.dir + "') // 2, 1)");
  // Without a lip template, whose canvas check would refuse it first.
  ASSERT_EQ(test::runCommand("rm '" + s.dir + "/lip_template.v1.json'"), 0);
  Opened b(s.dir);
  EXPECT_EQ(loadError(b, "fs3", ""), "Renderer: " + b.manifest.modelPath("fs3") +
                                         " declares its input fs_red as [1,3,64,64] and this bundle binds "
                                         "[1,64,64,64] (batch 1, crop 64); REFUSING to create a session.");
  testing::internal::CaptureStderr();
  const std::string half = loadError(b, "half", "");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(half, "Renderer: " + b.manifest.modelPath("half") +
                      " declares its input P_rgb as [1,3,32,32] and this bundle binds [1,3,64,64] (batch 1, crop "
                      "64); REFUSING to create a session.");
  EXPECT_THAT(log, HasSubstr("[le] source-cone hoist NOT applied (half): the cone's P_rgb is declared [1,3,32,32]"));
}

TEST(Renderer, WarpNodeWithoutTheFastSamplerStillRenders) {
  ScopedEnv fast("LE_GS_FAST", "0");
  ScopedEnv warp("LE_WARP_NODE", "1");
  Opened b(test::bundlePath("tiny"));
  const std::string log = loadLog(b, "b1_fp32");  // renders frame 4 and checks it
  EXPECT_THAT(log, HasSubstr("[le] director warp -> com.mirelund::WarpDirector ("));
  EXPECT_THAT(log, HasSubstr("[le] LE_GS_FAST=0 with LE_WARP_NODE: com.mirelund::WarpDirector registered for the "
                             "warp node (b1_fp32)"));
  EXPECT_THAT(log, Not(HasSubstr("GridSampleFast load-time rewrite")));
}

TEST(Renderer, AModelPathThatIsADirectoryCannotBeOpened) {
  ScratchBundle s;
  Opened b(s.dir);
  ASSERT_EQ(test::runCommand("mkdir '" + b.manifest.modelPath("dir") + "'"), 0);
  EXPECT_EQ(loadError(b, "dir", ""), "Renderer: cannot open " + b.manifest.modelPath("dir"));
  ScopedEnv fast("LE_GS_FAST", "0");  // the baked-sampler probe reads it first
  EXPECT_EQ(loadError(b, "dir", ""), "Renderer: cannot open " + b.manifest.modelPath("dir"));
}

TEST(Renderer, ProfilingPrintsItsSummaryWhenTheRendererGoes) {
  test::TempDir tmp;
  ScopedEnv prof("LE_ORT_PROFILE", tmp.file("director").c_str());
  Opened b(test::bundlePath("tiny"));
  for (int frames : {2, 0}) {
    testing::internal::CaptureStderr();
    {
      Renderer r(b.manifest, b.identity, "b4_fp32", 1, "");
      for (int k = 0; k < frames; ++k) r.render(&k, b.xs(k), b.xd(k), 1);
    }
    const std::string log = testing::internal::GetCapturedStderr();
    const std::string runs = "[le_ort_profile] " + std::to_string(frames) + " frames: ";
    if (frames) {
      EXPECT_THAT(log, HasSubstr(runs)) << log;
      EXPECT_THAT(log, HasSubstr(" ms/frame in Session::Run\n"));
    } else {
      EXPECT_THAT(log, Not(HasSubstr(" frames: ")));  // nothing to average
    }
    // The profile file the runtime wrote, named on its own line.
    const std::string tag = "[le_ort_profile] " + tmp.file("director");
    const size_t at = log.find(tag);
    ASSERT_NE(at, std::string::npos) << log;
    const std::string file = log.substr(at + 17, log.find('\n', at) - at - 17);
    EXPECT_FALSE(test::readFile(file).empty()) << file;
  }
}

}  // namespace
}  // namespace le
