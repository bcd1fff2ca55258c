#include "core/render/graph_rewrites.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "core/render/render_test_util.h"

namespace le {
namespace {

using rtest::Feeds;
using rtest::Tensor;

std::vector<GsNodeInfo> nodesOf(const GsBytes& m) {
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs;
  gsReadGraph(gsGraphOf(gsSliceOf(m)), nodes, inits, inputs);
  return nodes;
}

size_t countOp(const GsBytes& m, const std::string& op) {
  size_t k = 0;
  for (const auto& n : nodesOf(m)) k += n.opType == op;
  return k;
}

// A GridSample node with the given attributes, wrapped in a model.
GsBytes gridSampleModel(const char* mode, const char* pad, int alignCorners, const std::string& domain = "",
                        bool importMirelund = false) {
  GsBytes attrs;
  auto strAttr = [&](const char* name, const char* v) {
    GsBytes a;
    gsPutBytes(a, 1, std::string(name));
    gsPutBytes(a, 4, std::string(v));
    gsPutVarintField(a, 20, 3);
    gsPutBytes(attrs, 5, gsSliceOf(a));
  };
  if (mode) strAttr("mode", mode);
  if (pad) strAttr("padding_mode", pad);
  if (alignCorners >= 0) hcAttrI(attrs, "align_corners", alignCorners);
  GsBytes g;
  hcNode(g, "GridSample", {"x", "grid"}, "y", "gs", attrs, domain);
  const int64_t xd[4] = {1, 2, 4, 4}, gd[4] = {1, 4, 4, 2};
  gsPutTensorValueInfo(g, 11, "x", xd, 4);
  gsPutTensorValueInfo(g, 11, "grid", gd, 4);
  gsPutTensorValueInfo(g, 12, "y", xd, 4);
  GsBytes m;
  std::vector<std::pair<std::string, int64_t>> ops = {{"", 17}};
  if (importMirelund) ops.emplace_back("com.mirelund", 1);
  gsPutModel(m, g, ops);
  return m;
}

TEST(GridSampleRewrite, OnlyTheExactSamplerIsRewritten) {
  struct Case {
    const char* mode;
    const char* pad;
    int ac;
    std::string domain;
    bool rewritten;
  } cases[] = {
      {"bilinear", "border", 0, "", true},     {"linear", "border", -1, "", true},
      {"bilinear", "border", 0, "ai.onnx", true}, {nullptr, "border", 0, "", false},
      {"bilinear", "border", 1, "", false},    {"bilinear", "zeros", 0, "", false},
      {"bilinear", nullptr, 0, "", false},     {"nearest", "border", 0, "", false},
      {"bilinear", "border", 0, "custom", false},
  };
  for (const auto& c : cases) {
    GsBytes m = gridSampleModel(c.mode, c.pad, c.ac, c.domain);
    const GsBytes before = m;
    const size_t n = rewriteGridSampleToFast(m);
    EXPECT_EQ(n, c.rewritten ? 1u : 0u) << (c.mode ? c.mode : "-") << "/" << (c.pad ? c.pad : "-") << "/" << c.ac;
    if (!c.rewritten) {
      EXPECT_EQ(m, before) << "a rewrite that does not apply must leave the bytes alone";
      continue;
    }
    const auto nodes = nodesOf(m);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].opType, "GridSampleFast");
    EXPECT_EQ(nodes[0].domain, "com.mirelund");
    EXPECT_EQ(nodes[0].name, "gs");
    EXPECT_EQ(nodes[0].inputs, (std::vector<std::string>{"x", "grid"}));
    EXPECT_EQ(hcAttrCount(nodes[0].raw), 0u);
    EXPECT_TRUE(gsImportsDomain(gsSliceOf(m), "com.mirelund"));
    EXPECT_TRUE(graphHasBakedGridSampleFast(m));
  }
}

TEST(GridSampleRewrite, ExistingDomainImportIsNotDuplicated) {
  GsBytes m = gridSampleModel("bilinear", "border", 0, "", true);
  ASSERT_EQ(rewriteGridSampleToFast(m), 1u);
  size_t imports = 0;
  GsReader r(gsSliceOf(m));
  GsField f;
  while (r.next(f))
    if (f.number == 8 && gsFirstStr(f.payload, 1) == "com.mirelund") ++imports;
  EXPECT_EQ(imports, 1u);
}

TEST(GridSampleRewrite, BakedDetectionToleratesGarbage) {
  GsBytes junk = {0x3a, 0xff, 0xff, 0xff, 0xff, 0x0f};  // field 7 with a length past the end
  EXPECT_FALSE(graphHasBakedGridSampleFast(junk));
  EXPECT_FALSE(graphHasBakedGridSampleFast(rtest::directorGraph("m4b_b1")));
  EXPECT_TRUE(graphHasBakedGridSampleFast(rtest::directorGraph("m4b_baked")));
}

TEST(StudentBlend, OnlyTheAttributeFreeBlendBecomesGemm) {
  GsBytes bad = rtest::directorGraph("broken_blend_attr");
  const GsBytes before = bad;
  EXPECT_EQ(normaliseStudentBlend(bad), 0u);
  EXPECT_EQ(bad, before);
  GsBytes m = rtest::directorGraph("m4b_b1");
  ASSERT_EQ(normaliseStudentBlend(m), 1u);
  for (const auto& n : nodesOf(m))
    if (n.name == "/s2/blend") {
      EXPECT_EQ(n.opType, "Gemm");
      EXPECT_TRUE(n.domain.empty());
    }
  EXPECT_EQ(normaliseStudentBlend(m), 0u) << "a second pass finds nothing to do";
}

TEST(CubicTaps, SumToOneAndMatchTheKernel) {
  double w[4];
  cubicTaps(0.0, -0.75, w);
  EXPECT_NEAR(w[0], 0.0, 1e-15);
  EXPECT_NEAR(w[1], 1.0, 1e-15);
  EXPECT_NEAR(w[2], 0.0, 1e-15);
  cubicTaps(0.25, -0.75, w);
  EXPECT_NEAR(w[0] + w[1] + w[2] + w[3], 1.0, 1e-12);
  // Keys' kernel at distance 1.25 with a = -0.75.
  const double d = 1.25, a = -0.75;
  EXPECT_NEAR(w[0], ((d - 5) * d + 8) * d * a - 4 * a, 1e-12);
}

TEST(HeadCubicResize, RefusalsLeaveTheBytesAlone) {
  for (const char* name : {"broken_two_resize", "broken_resize_align_corners", "broken_resize_mismatch"}) {
    GsBytes m = rtest::directorGraph(name);
    const GsBytes before = m;
    EXPECT_EQ(rewriteHeadCubicResize(m), 0u) << name;
    EXPECT_EQ(m, before) << name;
  }
}

TEST(HeadCubicResize, NameClashRefuses) {
  GsBytes m = rtest::directorGraph("m4b_b1");
  GsBytes once = m;
  ASSERT_EQ(rewriteHeadCubicResize(once), 1u);
  EXPECT_EQ(countOp(once, "Resize"), 0u);
  EXPECT_EQ(countOp(once, "DepthToSpace"), 1u);
  const GsBytes again = once;
  EXPECT_EQ(rewriteHeadCubicResize(once), 0u);
  EXPECT_EQ(once, again);
}

// Whole-model equivalence on real sessions.
struct Equivalence : ::testing::TestWithParam<std::string> {};

TEST_P(Equivalence, RewrittenDirectorMatchesTheOriginal) {
  const GsBytes original = rtest::directorGraph(GetParam());
  const Feeds feeds = rtest::randomFeeds(original, 1234);
  Ort::Session ref = rtest::session(original);
  const Tensor want = rtest::run(ref, feeds)[0];

  GsBytes blend = original;
  ASSERT_EQ(normaliseStudentBlend(blend), 1u);
  Ort::Session sb = rtest::session(blend);
  EXPECT_EQ(rtest::maxAbsDiff(rtest::run(sb, feeds)[0], want), 0.f) << "MatMul -> Gemm must be exact";

  GsBytes gs = original;
  ASSERT_EQ(rewriteGridSampleToFast(gs), 1u);
  Ort::Session sg = rtest::session(gs);
  const float eg = rtest::maxAbsDiff(rtest::run(sg, feeds)[0], want);
  EXPECT_LT(eg, 2e-5f);

  GsBytes head = original;
  ASSERT_EQ(rewriteHeadCubicResize(head), 1u);
  EXPECT_EQ(rtest::unreadInitializers(head), std::vector<std::string>());  // not even the Resize's scales
  Ort::Session sh = rtest::session(head);
  const float eh = rtest::maxAbsDiff(rtest::run(sh, feeds)[0], want);
  EXPECT_LT(eh, 2e-5f);
  std::printf("[render] %s: max abs error GridSampleFast %.3g, cubic head %.3g\n", GetParam().c_str(), eg, eh);
}

INSTANTIATE_TEST_SUITE_P(Directors, Equivalence,
                         ::testing::Values("m4b_b1", "m4b_b4", "m4b_kp22", "featsynth_b1", "featsynth_b4"));

// The cubic head rewrite against ORT's Resize directly, where the error is
// not damped by later layers.
// x [2,C,H,W] -> cubic Resize x2 -> Conv with the weight initializer w of
// `wDims` holding `wBytes` -> y.
GsBytes cubicHead(int64_t C, int64_t H, int64_t W, const std::vector<int64_t>& wDims, GsSlice wBytes) {
  GsBytes g;
  GsBytes attrs;
  hcAttrS(attrs, "cubic");
  {
    GsBytes a;
    gsPutBytes(a, 1, std::string("coordinate_transformation_mode"));
    gsPutBytes(a, 4, std::string("half_pixel"));
    gsPutVarintField(a, 20, 3);
    gsPutBytes(attrs, 5, gsSliceOf(a));
  }
  hcNode(g, "Resize", {"x", "", "scales"}, "up", "/up", attrs);
  hcNode(g, "Conv", {"up", "w"}, "y", "/conv", GsBytes());
  const float scales[4] = {1, 1, 2, 2};
  hcInit(g, "scales", 1, {4}, GsSlice{reinterpret_cast<const uint8_t*>(scales), sizeof scales});
  hcInit(g, "w", 1, wDims, wBytes);
  const int64_t xd[4] = {2, C, H, W}, yd[4] = {2, C, 2 * H, 2 * W};
  gsPutTensorValueInfo(g, 11, "x", xd, 4);
  gsPutTensorValueInfo(g, 12, "y", yd, 4);
  GsBytes m;
  gsPutModel(m, g, {{"", 17}});
  return m;
}

TEST(HeadCubicResize, WeightsThatStateTheirSizeWithoutTheirValuesRefuse) {
  // The channel count sizes everything the rewrite builds: taken from the
  // dims alone, a model of a few hundred bytes had it allocate gigabytes.
  GsBytes m = cubicHead(1048576, 7, 9, {1, 1048576, 1, 1}, GsSlice{nullptr, 0});
  const GsBytes before = m;
  EXPECT_EQ(rewriteHeadCubicResize(m), 0u);
  EXPECT_EQ(m, before);
}

TEST(HeadCubicResize, MatchesOrtResizeOnItsOwn) {
  const int64_t C = 5, H = 7, W = 9;
  std::vector<float> w(static_cast<size_t>(C * C), 0.f);
  for (int64_t c = 0; c < C; ++c) w[static_cast<size_t>(c * C + c)] = 1.f;  // identity 1x1 conv
  GsBytes m = cubicHead(C, H, W, {C, C, 1, 1}, GsSlice{reinterpret_cast<const uint8_t*>(w.data()), w.size() * 4});
  Feeds feeds;
  feeds["x"] = rtest::randomTensor({2, C, H, W}, 9, -3.f, 3.f);
  Ort::Session ref = rtest::session(m);
  const Tensor want = rtest::run(ref, feeds)[0];
  ASSERT_EQ(rewriteHeadCubicResize(m), 1u);
  Ort::Session s = rtest::session(m);
  const float e = rtest::maxAbsDiff(rtest::run(s, feeds)[0], want);
  std::printf("[render] cubic x2 head alone: max abs error %.3g on values in [-3, 3]\n", e);
  EXPECT_LT(e, 1e-5f);
}

}  // namespace
}  // namespace le
