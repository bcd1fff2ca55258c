#include "core/render/graph_surgery.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "core/render/render_test_util.h"

namespace le {
namespace {

using rtest::Feeds;
using rtest::Tensor;

TEST(SourceCone, BoundaryIsTheOneConcatOnTheSource) {
  std::string tip = "stale";
  EXPECT_EQ(findSourceConeBoundary(rtest::directorGraph("m4b_b1"), tip), 1u);
  EXPECT_EQ(tip, "src_tip");
  EXPECT_EQ(findSourceConeBoundary(rtest::directorGraph("broken_two_concat"), tip), 2u);
  EXPECT_EQ(tip, "");
  EXPECT_EQ(findSourceConeBoundary(rtest::directorGraph("featsynth_b1"), tip), 0u);
  EXPECT_EQ(findSourceConeBoundary(GsBytes(), tip), 0u);
}

TEST(SourceCone, RefusalsNameTheLeak) {
  const struct {
    const char* graph;
    const char* reason;
  } cases[] = {
      {"broken_cone_reads_kp", "cone reads graph input 'kp_driving'"},
      {"broken_prgb_leak", "P_rgb is also read outside the cone by ReduceMean"},
      {"broken_cone_escape", "cone value 'src_dyy' escapes to ReduceMean"},
  };
  for (const auto& c : cases) {
    const GsBytes m = rtest::directorGraph(c.graph);
    std::string reason;
    GsBytes prep, per;
    const int64_t dims[4] = {1, 12, 64, 64};
    EXPECT_FALSE(buildSourceConePrep(m, "src_tip", prep, reason)) << c.graph;
    EXPECT_EQ(reason, c.reason);
    reason.clear();
    EXPECT_FALSE(buildSourceConePerFrame(m, "src_tip", dims, per, reason)) << c.graph;
    EXPECT_EQ(reason, c.reason);
    EXPECT_TRUE(prep.empty() && per.empty());
  }
  std::string reason;
  GsBytes out;
  EXPECT_FALSE(buildSourceConePrep(GsBytes(), "src_tip", out, reason));
  EXPECT_EQ(reason, "no graph");
  EXPECT_FALSE(buildSourceConePrep(rtest::directorGraph("featsynth_b1"), "grid", out, reason));
  EXPECT_EQ(reason, "no P_rgb input");
  // A leaf that nothing produces and that is no graph input.
  std::vector<GsNodeInfo> nodes(1);
  nodes[0].opType = "Relu";
  nodes[0].inputs = {"ghost"};
  nodes[0].outputs = {"t"};
  std::vector<uint8_t> cone;
  EXPECT_FALSE(gsSourceCone(nodes, {}, {"P_rgb"}, "t", cone, reason));
  EXPECT_EQ(reason, "cone leaf 'ghost' has no producer");
}

struct ConeSplit : ::testing::TestWithParam<std::string> {};

TEST_P(ConeSplit, PrepThenPerFrameEqualsTheWholeGraph) {
  const GsBytes m = rtest::directorGraph(GetParam());
  ASSERT_EQ(rtest::unreadInitializers(m), std::vector<std::string>());
  std::string tip, reason;
  ASSERT_EQ(findSourceConeBoundary(m, tip), 1u);
  GsBytes prep;
  ASSERT_TRUE(buildSourceConePrep(m, tip, prep, reason)) << reason;
  // Neither half carries the other's weights.
  EXPECT_EQ(rtest::unreadInitializers(prep), std::vector<std::string>());
  const Feeds feeds = rtest::randomFeeds(m, 77);
  Ort::Session whole = rtest::session(m);
  const Tensor want = rtest::run(whole, feeds)[0];

  Ort::Session ps = rtest::session(prep);
  ASSERT_EQ(ps.GetInputCount(), 1u);
  const Tensor boundary = rtest::run(ps, {{"P_rgb", feeds.at("P_rgb")}})[0];
  ASSERT_EQ(boundary.shape.size(), 4u);
  GsBytes per;
  ASSERT_TRUE(buildSourceConePerFrame(m, tip, boundary.shape.data(), per, reason)) << reason;
  EXPECT_EQ(rtest::unreadInitializers(per), std::vector<std::string>());
  Ort::Session fs = rtest::session(per);
  Feeds pf = feeds;
  pf.erase("P_rgb");
  pf[tip] = boundary;
  const float e = rtest::maxAbsDiff(rtest::run(fs, pf)[0], want);
  std::printf("[render] %s: cone split max abs error %.3g\n", GetParam().c_str(), e);
  EXPECT_LT(e, 1e-6f);
}

INSTANTIATE_TEST_SUITE_P(Directors, ConeSplit, ::testing::Values("m4b_b1", "m4b_b4", "m4b_baked"));

TEST(LipContour, BindsMinIntoTheComposeAlpha) {
  GsBytes m = rtest::directorGraph("m4b_b4");
  const GsBytes original = m;
  std::string reason;
  int canvas = 0, batch = 0;
  ASSERT_TRUE(rewriteBindLipContour(m, reason, canvas, batch)) << reason;
  EXPECT_EQ(canvas, 64);
  EXPECT_EQ(batch, 4);
  std::vector<int64_t> dims;
  ASSERT_TRUE(gsInputDims(gsGraphOf(gsSliceOf(m)), kLipInputName, dims));
  EXPECT_EQ(dims, (std::vector<int64_t>{4, 1, 64, 64}));

  Feeds feeds = rtest::randomFeeds(original, 5);
  Ort::Session ref = rtest::session(original);
  const Tensor want = rtest::run(ref, feeds)[0];
  Ort::Session bound = rtest::session(m);
  feeds[kLipInputName] = rtest::randomTensor({4, 1, 64, 64}, 1, 1.f, 1.f);
  EXPECT_EQ(rtest::maxAbsDiff(rtest::run(bound, feeds)[0], want), 0.f) << "a mask of ones keeps the ellipse";
  feeds[kLipInputName] = rtest::randomTensor({4, 1, 64, 64}, 1, 0.f, 0.f);
  EXPECT_GT(rtest::maxAbsDiff(rtest::run(bound, feeds)[0], want), 1e-3f) << "the mask must reach the output";

  // Binding twice is refused and changes nothing.
  const GsBytes once = m;
  EXPECT_FALSE(rewriteBindLipContour(m, reason, canvas, batch));
  EXPECT_EQ(reason, "the graph already carries an input named lip_delivery");
  EXPECT_EQ(m, once);
}

TEST(LipContour, RefusalsLeaveTheModelAlone) {
  const struct {
    const char* graph;
    const char* reason;
  } cases[] = {
      {"broken_alpha_third",
       "self-check: rewire did not take: 2 consumers of tessera_lipdel_alpha, one still reads the alpha \xe2\x80\x94 "
       "refusing a graph that would serve the ellipse with the input attached and ignored"},
      {"broken_no_tail", "the graph does not carry the unified compose tail"},
      {"featsynth_b1", "the graph does not carry the unified compose tail"},
  };
  for (const auto& c : cases) {
    GsBytes m = rtest::directorGraph(c.graph);
    const GsBytes before = m;
    std::string reason;
    int canvas = -1, batch = -1;
    EXPECT_FALSE(rewriteBindLipContour(m, reason, canvas, batch)) << c.graph;
    EXPECT_EQ(reason, c.reason);
    EXPECT_EQ(m, before);
    EXPECT_EQ(canvas, -1);
  }
  GsBytes empty;
  std::string reason;
  int canvas = 0, batch = 0;
  EXPECT_FALSE(rewriteBindLipContour(empty, reason, canvas, batch));
  EXPECT_EQ(reason, "no graph");
}

TEST(WarpBlock, FindsTheSamplerAndItsRecombination) {
  WarpBlock b;
  std::string reason;
  ASSERT_EQ(findWarpBlock(rtest::directorGraph("m4b_b1"), &b, reason), 1) << reason;
  EXPECT_EQ(b.grid, "grid");
  EXPECT_EQ(b.exit, "warp_out");
  EXPECT_EQ(b.nodeCount, 11u);  // sampler, 4 Slices, 3 Muls, 2 Subs, 1 Add
  EXPECT_EQ(findWarpBlock(rtest::directorGraph("m4b_b1"), nullptr, reason), 0);
  EXPECT_EQ(reason, "no out param");

  const struct {
    const char* graph;
    const char* reason;
  } cases[] = {
      {"broken_two_gridsample", "two GridSamples on the cone's tip"},
      {"broken_gs_zeros", "the fused GridSample is not bilinear/border/align_corners=0"},
      {"broken_two_exits", "the recombination has 2 exits, not 1"},
      {"broken_two_concat", "not one Concat consuming P_rgb"},
      {"featsynth_b1", "not one Concat consuming P_rgb"},
      {"broken_cone_reads_kp", "cone reads graph input 'kp_driving'"},
      {"broken_prgb_leak", "P_rgb is also read outside the cone by ReduceMean"},
  };
  for (const auto& c : cases) {
    GsBytes m = rtest::directorGraph(c.graph);
    const GsBytes before = m;
    EXPECT_EQ(rewriteWarpBlockToCustomOp(m, reason), 0u) << c.graph;
    EXPECT_EQ(reason, c.reason);
    EXPECT_EQ(m, before);
  }
}

struct WarpFusion : ::testing::TestWithParam<std::string> {};

TEST_P(WarpFusion, FusedDirectorMatchesTheUnfusedOne) {
  const GsBytes m = rtest::directorGraph(GetParam());
  GsBytes fused = m;
  std::string reason;
  // Cone (Pad, 3 Convs, Concat) plus the 11-node block.
  ASSERT_EQ(rewriteWarpBlockToCustomOp(fused, reason), 16u) << reason;
  EXPECT_TRUE(gsImportsDomain(gsSliceOf(fused), "com.mirelund"));
  EXPECT_EQ(rtest::unreadInitializers(fused), std::vector<std::string>());  // the cone's kernels went with it
  const Feeds feeds = rtest::randomFeeds(m, 31);
  Ort::Session a = rtest::session(m), b = rtest::session(fused, 2);
  const float e = rtest::maxAbsDiff(rtest::run(b, feeds)[0], rtest::run(a, feeds)[0]);
  std::printf("[render] %s: warp fusion max abs error %.3g\n", GetParam().c_str(), e);
  EXPECT_LT(e, 1e-5f);
  GsBytes twice = fused;
  EXPECT_EQ(rewriteWarpBlockToCustomOp(twice, reason), 0u);
  EXPECT_EQ(twice, fused);
}

INSTANTIATE_TEST_SUITE_P(Directors, WarpFusion, ::testing::Values("m4b_b1", "m4b_b4", "m4b_baked"));

}  // namespace
}  // namespace le
