// The core context through its C functions, on the generated bundles.
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/session/context.h"
#include "le/le.h"
#include "tests/test_support.h"

namespace {

using le::test::bundlePath;

struct CtxDeleter {
  void operator()(le_ctx* c) const { le_destroy(c); }
};
using Ctx = std::unique_ptr<le_ctx, CtxDeleter>;

Ctx open(const std::string& dir, const char* key = "b1_fp32", int threads = 1) {
  return Ctx(le_create(dir.c_str(), key, threads, nullptr));
}

int threadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// A copy of the tiny bundle with its director, for tests that change it.
std::string copyTiny(const le::test::TempDir& tmp) {
  const std::string dir = tmp.file("b");
  EXPECT_EQ(le::test::runCommand("cp -r '" + bundlePath("tiny") + "' '" + dir + "'"), 0);
  return dir;
}

TEST(CoreContext, OpensTheBundleAndReportsItsGeometry) {
  Ctx c = open(bundlePath("tiny"));
  ASSERT_TRUE(c) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  EXPECT_EQ(le_width(c.get()), 160);
  EXPECT_EQ(le_height(c.get()), 120);
  EXPECT_EQ(le_crop(c.get()), 64);
  EXPECT_EQ(le_nt(c.get()), 12);
  EXPECT_EQ(le_drive_frames(c.get()), 12);
  EXPECT_EQ(le_host_kp_rows(), 21);
  for (auto getter : {le_width, le_height, le_crop, le_nt, le_drive_frames}) EXPECT_EQ(getter(nullptr), 0);
  le_destroy(nullptr);
}

TEST(CoreContext, BadArgumentsAreRefusedWithTheirMessages) {
  EXPECT_EQ(le_create(nullptr, "b1_fp32", 1, nullptr), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");
  EXPECT_EQ(le_create(bundlePath("tiny").c_str(), nullptr, 1, nullptr), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");

  Ctx c = open(bundlePath("tiny"));
  ASSERT_TRUE(c) << le_last_error();
  le_ctx* ctx = c.get();
  const int W = le_width(ctx), H = le_height(ctx), NT = le_nt(ctx);
  std::vector<float> kp(63, 0.f);
  std::vector<uint8_t> rgb(size_t(W) * H * 3), rgba(size_t(W) * H * 4);

  EXPECT_EQ(le_paste_last(ctx, 0), nullptr);
  EXPECT_STREQ(le_last_error(), "le_paste_last: bad args / no prior render");
  for (int bad : {-1, NT}) {
    EXPECT_EQ(le_render_kp_crop(ctx, bad, kp.data(), kp.data()), nullptr);
    EXPECT_STREQ(le_last_error(), "le_render_kp_crop: bad args");
    EXPECT_EQ(le_target_frame(ctx, bad), nullptr);
    EXPECT_STREQ(le_last_error(), "le_target_frame: bad args");
    EXPECT_EQ(le_render_drive_crop(ctx, bad < 0 ? bad : le_drive_frames(ctx)), nullptr);
    EXPECT_STREQ(le_last_error(), "le_render_drive_crop: bad frame index");
  }
  EXPECT_EQ(le_render_kp_crop(ctx, 0, nullptr, kp.data()), nullptr);
  EXPECT_STREQ(le_last_error(), "le_render_kp_crop: bad args");

  const float* crop = le_render_drive_crop(ctx, 0);
  ASSERT_NE(crop, nullptr) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  EXPECT_EQ(le_paste_crop(ctx, 0, crop, rgb.data(), rgb.size() - 1), 0);
  EXPECT_STREQ(le_last_error(), "le_paste_crop: bad args / out too small");
  EXPECT_EQ(le_paste_crop(ctx, 0, crop, rgb.data(), rgb.size()), 1);
  EXPECT_EQ(le_render_drive_rgba(ctx, 0, rgba.data(), rgba.size() - 1), 0);
  EXPECT_STREQ(le_last_error(), "le_render_*_rgba: out buffer too small");
  EXPECT_EQ(le_render_kp_rgba(ctx, 0, kp.data(), kp.data(), nullptr, rgba.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_render_*_rgba: out buffer too small");
  EXPECT_EQ(le_render_drive_rgba(ctx, 0, rgba.data(), rgba.size()), 1);
  EXPECT_STREQ(le_last_error(), "");
}

TEST(CoreContext, RgbaIsThePastedFrameWidened) {
  Ctx c = open(bundlePath("tiny"));
  ASSERT_TRUE(c) << le_last_error();
  le_ctx* ctx = c.get();
  const size_t px = size_t(le_width(ctx)) * le_height(ctx);
  std::vector<uint8_t> rgba(px * 4);
  ASSERT_EQ(le_render_drive_rgba(ctx, 3, rgba.data(), rgba.size()), 1) << le_last_error();
  const uint8_t* rgb = le_paste_last(ctx, ctx->drive.si[3]);
  ASSERT_NE(rgb, nullptr);
  size_t mismatches = 0;
  for (size_t i = 0; i < px; ++i)
    mismatches += rgba[4 * i] != rgb[3 * i] || rgba[4 * i + 1] != rgb[3 * i + 1] ||
                  rgba[4 * i + 2] != rgb[3 * i + 2] || rgba[4 * i + 3] != 255;
  EXPECT_EQ(mismatches, 0u);
  // The paste changed the face and nothing far from it.
  const uint8_t* target = le_target_frame(ctx, ctx->drive.si[3]);
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(std::memcmp(target, rgb, 3 * size_t(le_width(ctx))), 0);  // the top row
}

TEST(CoreContext, OpensContainersAndTheirUnwrappedDirectories) {
  le::test::TempDir tmp;
  const std::string imx = tmp.file("tiny.imx");
  ASSERT_EQ(le::test::runCommand(le::test::python() + " '" + le::test::sourceDir() + "/tools/imx_pack.py' '" +
                                 bundlePath("tiny") + "' '" + imx + "'"),
            0);
  std::string unwrapped;
  {
    Ctx c = open(imx);
    ASSERT_TRUE(c) << le_last_error();
    unwrapped = c->manifest.dir;
    EXPECT_NE(unwrapped, imx);
    EXPECT_NE(le_render_drive_crop(c.get(), 1), nullptr) << le_last_error();
  }
  Ctx again = open(unwrapped);
  ASSERT_TRUE(again) << le_last_error();
  EXPECT_EQ(again->manifest.dir, unwrapped);

  char out[4096];
  ASSERT_EQ(le_bundle_resolve_handle(imx.c_str(), out, sizeof out), 1) << le_last_error();
  EXPECT_EQ(std::string(out), unwrapped);
  std::vector<char> tight(unwrapped.size(), 'x');  // no room for the terminator
  EXPECT_EQ(le_bundle_resolve_handle(imx.c_str(), tight.data(), tight.size()), -1);
  EXPECT_EQ(tight[0], '\0');
  EXPECT_STREQ(le_last_error(), "le_bundle_resolve_handle: buffer too small");
  EXPECT_EQ(le_bundle_resolve_handle(nullptr, out, sizeof out), -1);

  EXPECT_EQ(le_bundle_resolve_member(imx.c_str(), "model_b1_fp32.onnx", out, sizeof out), 1);
  EXPECT_EQ(std::string(out), unwrapped + "/model_b1_fp32.onnx");
  EXPECT_EQ(le_bundle_resolve_member(imx.c_str(), "model_none.onnx", out, sizeof out), 0);
  EXPECT_EQ(le_bundle_resolve_member(imx.c_str(), "model_none.onnx", out, 4), -1);
  EXPECT_EQ(le_bundle_resolve_member(imx.c_str(), nullptr, out, sizeof out), -1);
}

TEST(CoreContext, AFailedCreateLeavesNothingBehind) {
  le::test::TempDir tmp;
  const std::string dir = copyTiny(tmp);
  const std::string mask = dir + "/mask_512.u8";
  std::vector<unsigned char> bytes = le::test::readFile(mask);
  le::test::writeFile(mask, bytes.data(), bytes.size() - 1);
  const int before = threadCount();
  EXPECT_EQ(open(dir), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: mask read failed");
  EXPECT_EQ(threadCount(), before);

  // The driver cursor is the last thing built: a driving video that cannot be
  // opened fails after everything else, and its pieces go too.
  bytes.push_back(7);  // a longer mask is fine: only crop x crop bytes are read
  le::test::writeFile(mask, bytes.data(), bytes.size());
  ASSERT_EQ(le::test::runCommand("rm -rf '" + dir + "/target_frames' '" + dir + "/target_frames.mp4'"), 0);
  EXPECT_EQ(open(dir), nullptr);
  EXPECT_EQ(std::string(le_last_error()).rfind("le_create: ", 0), 0u) << le_last_error();
  EXPECT_EQ(threadCount(), before);
}

TEST(CoreContext, ErrorsArePerThread) {
  EXPECT_EQ(le_create(nullptr, nullptr, 0, nullptr), nullptr);
  std::string seen = "unset";
  std::thread([&] { seen = le_last_error(); }).join();
  EXPECT_EQ(seen, "");
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");
}

TEST(CoreContext, TheCoreSizesTheDirectorWhenTheCallerDoesNot) {
  Ctx c(le_create(bundlePath("tiny").c_str(), "b1_fp32", 0, nullptr));
  ASSERT_TRUE(c) << le_last_error();
  testing::internal::CaptureStderr();
  EXPECT_NE(le_render_drive_crop(c.get(), 0), nullptr);
  EXPECT_NE(le_render_drive_crop(c.get(), 1), nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  const int pool = c->threads;
  const std::string line = "[le] director intra-op " + std::to_string(std::min(pool, 2)) + " of pool " +
                           std::to_string(pool) + ": the caller did not choose";
  EXPECT_NE(err.find(line), std::string::npos) << err;
  EXPECT_EQ(err.find(line), err.rfind(line));
}

TEST(CoreContext, AMissingDirectorFailsTheRenderNotTheContext) {
  Ctx c = open(bundlePath("tiny"), "absent");
  ASSERT_TRUE(c) << le_last_error();
  EXPECT_EQ(le_render_drive_crop(c.get(), 0), nullptr);
  EXPECT_EQ(std::string(le_last_error()), "le_render_drive_crop: Renderer: cannot open " +
                                              c->manifest.modelPath("absent"));
  EXPECT_EQ(le_paste_last(c.get(), 0), nullptr);  // still no render to paste
}

TEST(CoreContext, AnUndecodableDrivingFrameFailsItsOwnCallsOnly) {
  le::test::TempDir tmp;
  const std::string dir = copyTiny(tmp);
  le::test::writeFile(dir + "/target_frames/frame_000008.jpg", std::string(2048, '\xa5'));
  Ctx c = open(dir);
  ASSERT_TRUE(c) << le_last_error();
  le_ctx* ctx = c.get();
  std::vector<uint8_t> rgb(size_t(le_width(ctx)) * le_height(ctx) * 3);
  const float* crop = le_render_drive_crop(ctx, 0);
  ASSERT_NE(crop, nullptr) << le_last_error();
  const std::vector<float> kept(crop, crop + size_t(3) * le_crop(ctx) * le_crop(ctx));
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(le_target_frame(ctx, 8), nullptr);
    EXPECT_THAT(std::string(le_last_error()), testing::StartsWith("le_target_frame: le_driver: decode failed: "));
    EXPECT_EQ(le_paste_crop(ctx, 8, kept.data(), rgb.data(), rgb.size()), 0);
    EXPECT_THAT(std::string(le_last_error()), testing::HasSubstr("frame_000008.jpg"));
    // Frames the look-ahead cannot reach from a fresh start still come.
    for (int good : {0, 2, 1}) {
      EXPECT_NE(le_target_frame(ctx, good), nullptr) << le_last_error();
      EXPECT_EQ(le_paste_crop(ctx, good, kept.data(), rgb.data(), rgb.size()), 1) << le_last_error();
      EXPECT_NE(le_paste_last(ctx, good), nullptr) << le_last_error();
    }
  }
}

TEST(CoreContext, AFailedPrepRunDoesNotFailTheContextForGood) {
  le::test::TempDir tmp;
  const std::string dir = copyTiny(tmp);
  ASSERT_EQ(le::test::runCommand("rm '" + dir + "/P.f16' '" + dir + "/fs_red.f16'"), 0);
  Ctx c = open(dir);
  ASSERT_TRUE(c) << le_last_error();
  // The prior video is away when the hoisted cone first needs a frame.
  const std::string video = dir + "/P_hevc.mov";
  ASSERT_EQ(std::rename(video.c_str(), (video + ".away").c_str()), 0);
  EXPECT_EQ(le_render_drive_crop(c.get(), 0), nullptr);
  EXPECT_THAT(std::string(le_last_error()),
              testing::StartsWith("le_render_drive_crop: Renderer: the hoisted source cone failed in ORT"));
  ASSERT_TRUE(c->renderer && c->renderer->hoisted());
  ASSERT_EQ(std::rename((video + ".away").c_str(), video.c_str()), 0);
  for (int i : {0, 1, 5}) EXPECT_NE(le_render_drive_crop(c.get(), i), nullptr) << le_last_error();
}

// A director that gives P_rgb back through a Reshape whose target shape moves
// with the first driving keypoint value: any value in (-1, 1) renders, a value
// of 1 or more makes ONNX Runtime fail the run.
void writeFragileDirector(const std::string& dir, const le::test::TempDir& tmp) {
  const std::string script = tmp.file("fragile.py");
  le::test::writeFile(script, R"PY(
import json, sys
import numpy as np
from onnx import TensorProto as T, helper, numpy_helper
d = sys.argv[1]
S = json.load(open(d + "/manifest.json"))["crop"]
c = lambda n, v: numpy_helper.from_array(np.array(v, np.int64), n)
nodes = [helper.make_node("Slice", ["kp_driving", "st", "en", "ax"], ["k0"]),
         helper.make_node("Reshape", ["k0", "one"], ["k1"]),
         helper.make_node("Cast", ["k1"], ["k2"], to=T.INT64),
         helper.make_node("Add", ["base", "k2"], ["shape"]),
         helper.make_node("Reshape", ["P_rgb", "shape"], ["rgb"])]
f = T.FLOAT
g = helper.make_graph(nodes, "fragile",
    [helper.make_tensor_value_info("pooled64", f, [1, 64, 32, 32]),
     helper.make_tensor_value_info("P_rgb", f, [1, 3, S, S]),
     helper.make_tensor_value_info("kp_driving", f, [1, 21, 3]),
     helper.make_tensor_value_info("kp_source", f, [1, 21, 3])],
    [helper.make_tensor_value_info("rgb", f, [1, 3, S, S])],
    initializer=[c("st", [0, 0, 0]), c("en", [1, 1, 1]), c("ax", [0, 1, 2]), c("one", [1]), c("base", [1, 3, S, S])])
m = helper.make_model(g, opset_imports=[helper.make_opsetid("", 17)])
m.ir_version = 8
open(d + "/model_fragile.onnx", "wb").write(m.SerializeToString())
)PY");
  ASSERT_EQ(le::test::runCommand(le::test::python() + " '" + script + "' '" + dir + "'"), 0);
}

TEST(CoreContext, AFailedRenderKeepsTheLastCrop) {
  le::test::TempDir tmp;
  const std::string dir = copyTiny(tmp);
  writeFragileDirector(dir, tmp);
  Ctx c = open(dir, "fragile");
  ASSERT_TRUE(c) << le_last_error();
  le_ctx* ctx = c.get();
  const float* crop = le_render_drive_crop(ctx, 2);
  ASSERT_NE(crop, nullptr) << le_last_error();
  const size_t n = size_t(3) * le_crop(ctx) * le_crop(ctx);
  const std::vector<float> before(crop, crop + n);
  std::vector<uint8_t> want(size_t(le_width(ctx)) * le_height(ctx) * 3);
  ASSERT_EQ(le_paste_crop(ctx, 4, before.data(), want.data(), want.size()), 1) << le_last_error();

  std::vector<float> xs(ctx->drive.xs.begin(), ctx->drive.xs.begin() + 63), xd = xs;
  xd[0] = 2.0f;
  EXPECT_EQ(le_render_kp_crop(ctx, 5, xs.data(), xd.data()), nullptr);
  EXPECT_THAT(std::string(le_last_error()), testing::StartsWith("le_render_kp_crop: "));
  EXPECT_EQ(ctx->lastCrop, crop);
  const uint8_t* pasted = le_paste_last(ctx, 4);  // still the crop of drive frame 2
  ASSERT_NE(pasted, nullptr) << le_last_error();
  EXPECT_EQ(std::memcmp(pasted, want.data(), want.size()), 0);
  EXPECT_NE(le_render_kp_crop(ctx, 5, xs.data(), xs.data()), nullptr) << le_last_error();
}

TEST(CoreContext, TheDirectorTakesTheCallersThreadCountWhenItChoseOne) {
  testing::internal::CaptureStderr();
  Ctx chosen(le_create(bundlePath("tiny").c_str(), "b1_fp32", 3, nullptr));
  Ctx byEp(le_create(bundlePath("tiny").c_str(), "b1_fp32", 0, "coreml"));
  Ctx unset(le_create(bundlePath("tiny").c_str(), "b1_fp32", 0, nullptr));
  ASSERT_TRUE(chosen && byEp && unset) << le_last_error();
  EXPECT_EQ(le::directorThreads(*chosen), 3);
  EXPECT_EQ(le::directorThreads(*byEp), byEp->threads);
  EXPECT_EQ(byEp->threads, unset->threads);  // the pool's count
  EXPECT_EQ(le::directorThreads(*unset), std::min(unset->threads, 2));
  EXPECT_NE(le_render_drive_crop(chosen.get(), 0), nullptr) << le_last_error();
  EXPECT_NE(le_render_drive_crop(byEp.get(), 0), nullptr) << le_last_error();
  EXPECT_EQ(testing::internal::GetCapturedStderr().find("[le] director intra-op"), std::string::npos);
}

TEST(CoreContext, ResolvingAMemberCountsOnlyReadableFiles) {
  char out[4096];
  const std::string tiny = bundlePath("tiny");
  EXPECT_EQ(le_bundle_resolve_member(tiny.c_str(), "manifest.json", out, sizeof out), 1);
  EXPECT_EQ(le_bundle_resolve_member(tiny.c_str(), "", out, sizeof out), 0);
  EXPECT_EQ(le_bundle_resolve_member(tiny.c_str(), "drive", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), tiny + "/drive");
  EXPECT_EQ(le_bundle_resolve_member(tiny.c_str(), "target_frames", out, sizeof out), 0);

  // A container that cannot be unpacked: -1 and the reason, not an exception.
  le::test::TempDir tmp;
  const std::string bad = tmp.file("bad.imx");
  le::test::writeFile(bad, std::string("IMX\0\x02\0\x03\0", 8) + std::string(64, '\x5a'));
  EXPECT_EQ(le_bundle_resolve_member(bad.c_str(), "manifest.json", out, sizeof out), -1);
  EXPECT_THAT(std::string(le_last_error()), testing::StartsWith("le_bundle_resolve_member: "));
}

TEST(CoreContext, GettersAndDestroyLeaveTheLastError) {
  Ctx c = open(bundlePath("tiny"));
  ASSERT_TRUE(c) << le_last_error();
  le_prior* prior = le_prior_open(bundlePath("tiny").c_str(), 2, 2);
  ASSERT_NE(prior, nullptr) << le_last_error();
  EXPECT_EQ(le_paste_last(c.get(), -1), nullptr);
  const std::string error = le_last_error();
  ASSERT_FALSE(error.empty());
  le_nt(c.get()), le_width(c.get()), le_height(c.get()), le_crop(c.get()), le_drive_frames(c.get());
  le_host_kp_rows(), le_version(), le_simd_target();
  EXPECT_GT(le_prior_row_bytes(prior), 0u);
  EXPECT_STRNE(le_prior_backend(prior), "");
  EXPECT_EQ(le_last_error(), error);
  le_prior_close(prior);
  le_prior_close(nullptr);
  EXPECT_EQ(le_last_error(), error);
  // The teeth members' getters share this error text.
  le_tessera_slot_count(), le_tessera_slot_key(0), le_tessera_carriage_complete(nullptr);
  le_tessera_carriage_declared(nullptr), le_tessera_carriage_missing_count(nullptr);
  le_tessera_members_n_donors(nullptr), le_tessera_members_band_bytes(nullptr);
  le_tessera_carriage_close(nullptr);
  le_tessera_members_close(nullptr);
  EXPECT_EQ(le_last_error(), error);
  le_destroy(c.release());
  le_destroy(nullptr);
  EXPECT_EQ(le_last_error(), error);
}

TEST(CoreContext, ADrivingVideoOfAnotherSizeIsRefusedAtThePull) {
  le::test::TempDir tmp;
  const std::string dir = tmp.file("wide");
  le::test::runGenerator({"--preset", "tiny", "--out", dir, "--damage", "target_frames=size", "--quiet"});
  le::test::runCommand("cp '" + bundlePath("tiny") + "/model_b1_fp32.onnx' '" + dir + "/'");
  Ctx c = open(dir);
  ASSERT_TRUE(c) << le_last_error();
  std::vector<uint8_t> rgb(size_t(le_width(c.get())) * le_height(c.get()) * 3);
  std::vector<float> crop(size_t(3) * le_crop(c.get()) * le_crop(c.get()), 0.5f);
  EXPECT_EQ(le_paste_crop(c.get(), 0, crop.data(), rgb.data(), rgb.size()), 0);
  EXPECT_THAT(std::string(le_last_error()), testing::HasSubstr("frame_000000.jpg is 176x136, the manifest says 160x120"));
}

// Mean and worst PSNR over the face region of rendering every `step`-th
// drive frame with its driving keypoints set to its source keypoints and
// pasting it into its own driving frame.
std::pair<double, double> roundTrip(const std::string& dir, int step) {
  Ctx c = open(dir, "b1_fp32", 2);
  EXPECT_TRUE(c) << le_last_error();
  if (!c) return {0, 0};
  le_ctx* ctx = c.get();
  const int W = le_width(ctx), H = le_height(ctx), S = le_crop(ctx);
  std::vector<uint8_t> rgba(size_t(W) * H * 4);
  double worst = 1e9, sum = 0;
  int frames = 0;
  for (int i = 0; i < le_drive_frames(ctx); i += step) {
    const int si = ctx->drive.si[size_t(i)];
    const float* xs = ctx->drive.xs.data() + size_t(i) * 63;
    EXPECT_EQ(le_render_kp_rgba(ctx, si, xs, xs, rgba.data(), rgba.size()), 1) << le_last_error();
    const uint8_t* target = le_target_frame(ctx, si);
    if (!target) return {0, 0};
    // The face region: the crop's footprint on the frame.
    const float* M = ctx->identity->M(si);
    double x0 = 1e9, x1 = -1e9, y0 = 1e9, y1 = -1e9;
    for (double u : {0.0, double(S - 1)})
      for (double v : {0.0, double(S - 1)}) {
        const double X = M[0] * u + M[1] * v + M[2], Y = M[3] * u + M[4] * v + M[5];
        x0 = std::min(x0, X), x1 = std::max(x1, X), y0 = std::min(y0, Y), y1 = std::max(y1, Y);
      }
    std::vector<uint8_t> a, b;
    for (int y = std::max(0, int(y0)); y <= std::min(H - 1, int(y1)); ++y)
      for (int x = std::max(0, int(x0)); x <= std::min(W - 1, int(x1)); ++x)
        for (int ch = 0; ch < 3; ++ch) {
          a.push_back(rgba[(size_t(y) * W + x) * 4 + ch]);
          b.push_back(target[(size_t(y) * W + x) * 3 + ch]);
        }
    const double p = le::test::psnr(a.data(), b.data(), a.size());
    worst = std::min(worst, p);
    sum += p;
    ++frames;
  }
  return {sum / frames, worst};
}

// The director gives the source crop back, so the paste reproduces the
// driving frame; what remains is the compositor's sharpening (by design) and
// the driving video's own coding loss.
TEST(CoreContext, RoundTripReproducesTheDrivingFrame) {
  const auto sharpened = roundTrip(bundlePath("demo"), 15);
  std::printf("round trip, demo bundle as shipped (unsharp amount 1.3): mean %.2f dB, worst %.2f dB\n",
              sharpened.first, sharpened.second);
  EXPECT_GT(sharpened.second, 28.0);

  // The same bundle without sharpening: every member but the manifest linked.
  le::test::TempDir tmp;
  const std::string dir = tmp.file("demo");
  ASSERT_EQ(le::test::runCommand("cp -rs '" + bundlePath("demo") + "' '" + dir + "' && rm '" + dir +
                                 "/manifest.json' && sed 's/\"amount\": *[0-9.]*/\"amount\": 0.0/' '" +
                                 bundlePath("demo") + "/manifest.json' > '" + dir + "/manifest.json'"),
            0);
  const auto plain = roundTrip(dir, 15);
  std::printf("round trip, demo bundle without sharpening: mean %.2f dB, worst %.2f dB\n", plain.first,
              plain.second);
  EXPECT_GT(plain.second, 35.0);
}

}  // namespace
