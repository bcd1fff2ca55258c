#include "core/render/custom_ops.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "core/render/bilinear_reference.h"
#include "core/render/int8_conv.h"
#include "core/render/render_test_util.h"
#include "core/render/sampler_kernels.h"

namespace le {
namespace {

using rtest::Feeds;
using rtest::Tensor;

GsBytes samplerModel(const std::string& op, int64_t N, int64_t C, int64_t H, int64_t W) {
  GsBytes attrs;
  std::string domain = "com.mirelund";
  if (op == "GridSample") {
    domain.clear();
    auto s = [&](const char* n, const char* v) {
      GsBytes a;
      gsPutBytes(a, 1, std::string(n));
      gsPutBytes(a, 4, std::string(v));
      gsPutVarintField(a, 20, 3);
      gsPutBytes(attrs, 5, gsSliceOf(a));
    };
    s("mode", "bilinear");
    s("padding_mode", "border");
    hcAttrI(attrs, "align_corners", 0);
  }
  return rtest::singleNodeModel(op, {{"x", {N, C, H, W}}, {"grid", {N, H, W, 2}}}, {N, C, H, W}, attrs, domain);
}

// ORT's own GridSample rounds differently on x86-64 and arm64, so both it and
// GridSampleFast are held to the float error bound around a double-precision
// reference rather than to each other.
TEST(GridSampleFastOp, OrtGridSampleAndFastStayWithinTheFloatBound) {
  const int64_t N = 2, C = 5, H = 21, W = 17;
  Feeds f;
  f["x"] = rtest::randomTensor({N, C, H, W}, 1, -2.f, 2.f);
  f["grid"] = rtest::randomTensor({N, H, W, 2}, 2, -1.3f, 1.3f);
  Ort::Session ref = rtest::session(samplerModel("GridSample", N, C, H, W));
  const Tensor ort = rtest::run(ref, f)[0];
  const double ortRatio = rtest::worstBilinearRatio(f["x"].data, f["grid"].data, ort.data, N, C, H, W);
  EXPECT_LE(ortRatio, 1.0) << "ORT GridSample";
  for (int threads : {1, 2}) {
    Ort::Session s = rtest::session(samplerModel("GridSampleFast", N, C, H, W), threads);
    const Tensor got = rtest::run(s, f)[0];
    EXPECT_EQ(got.shape, ort.shape);
    const double fastRatio = rtest::worstBilinearRatio(f["x"].data, f["grid"].data, got.data, N, C, H, W);
    EXPECT_LE(fastRatio, 1.0) << threads << " threads";
    std::printf("[render] worst error / float bound, %d threads: ORT GridSample %.3g, GridSampleFast %.3g\n", threads,
                ortRatio, fastRatio);
  }
}

TEST(WarpDirectorOp, EqualsThePlainKernelAndRefusesFourChannels) {
  const int64_t N = 2, H = 35, W = 19;
  Feeds f;
  f["x"] = rtest::randomTensor({N, 3, H, W}, 3, 0.f, 1.f);
  f["grid"] = rtest::randomTensor({N, H, W, 2}, 4, -1.2f, 1.2f);
  Ort::Session s = rtest::session(samplerModel("WarpDirector", N, 3, H, W), 2);
  const Tensor got = rtest::run(s, f)[0];
  std::vector<float> want(got.data.size());
  for (int64_t n = 0; n < N; ++n)
    warpDirector(f["x"].data.data() + n * 3 * H * W, f["grid"].data.data() + n * H * W * 2,
                 want.data() + n * 3 * H * W, W, H);
  EXPECT_EQ(got.data, want);

  Feeds f4;
  f4["x"] = rtest::randomTensor({1, 4, 8, 8}, 5);
  f4["grid"] = rtest::randomTensor({1, 8, 8, 2}, 6);
  Ort::Session s4 = rtest::session(samplerModel("WarpDirector", 1, 4, 8, 8));
  try {
    rtest::run(s4, f4);
    FAIL() << "a 4-channel warp must fail the run";
  } catch (const Ort::Exception& e) {
    EXPECT_NE(std::string(e.what()).find("handed it C=4. REFUSING rather than writing a frame nobody asked for."),
              std::string::npos)
        << e.what();
  }
}

TEST(GridSampleFastOp, GridOfTheWrongSizeFailsTheRun) {
  GsBytes m = rtest::singleNodeModel("GridSampleFast", {{"x", {1, 2, 4, 4}}, {"grid", {1, 3, 4, 2}}}, {1, 2, 4, 4},
                                     GsBytes(), "com.mirelund");
  Feeds f;
  f["x"] = rtest::randomTensor({1, 2, 4, 4}, 7);
  f["grid"] = rtest::randomTensor({1, 3, 4, 2}, 8);
  Ort::Session s = rtest::session(m);
  EXPECT_THROW(rtest::run(s, f), Ort::Exception);
}

struct ConvCase {
  int64_t N, Cin, H, W, Cout, kh, kw, group;
  int64_t strides[2], pads[4], dilations[2];
};

// The quantised convolution written out term by term.
std::vector<float> int8Reference(const ConvCase& c, const std::vector<float>& x, const std::vector<int8_t>& w,
                                 const std::vector<float>& ws, const std::vector<float>& b, int64_t Ho, int64_t Wo) {
  float m = x[0], M = x[0];
  for (float v : x) {
    m = std::min(m, v);
    M = std::max(M, v);
  }
  float s = (M - m) / 255.f;
  if (s <= 0.f) s = 1.f;
  const int32_t z = int32_t(std::min(255.f, std::max(0.f, std::nearbyint(-m / s))));
  auto q = [&](float v) { return int32_t(std::min(255.f, std::max(0.f, float(z) + std::nearbyint(v / s)))); };
  const int64_t cpg = c.Cin / c.group, opg = c.Cout / c.group;
  std::vector<float> y(size_t(c.N * c.Cout * Ho * Wo));
  for (int64_t n = 0; n < c.N; ++n)
    for (int64_t co = 0; co < c.Cout; ++co)
      for (int64_t oy = 0; oy < Ho; ++oy)
        for (int64_t ox = 0; ox < Wo; ++ox) {
          int64_t acc = 0;  // sum of (q - z) * w: zero for padded taps
          const int64_t g = co / opg;
          for (int64_t ci = 0; ci < cpg; ++ci)
            for (int64_t ky = 0; ky < c.kh; ++ky)
              for (int64_t kx = 0; kx < c.kw; ++kx) {
                const int64_t iy = oy * c.strides[0] - c.pads[0] + ky * c.dilations[0];
                const int64_t ix = ox * c.strides[1] - c.pads[1] + kx * c.dilations[1];
                if (iy < 0 || iy >= c.H || ix < 0 || ix >= c.W) continue;
                const float v = x[size_t(((n * c.Cin + g * cpg + ci) * c.H + iy) * c.W + ix)];
                acc += int64_t(q(v) - z) * w[size_t(((co * cpg + ci) * c.kh + ky) * c.kw + kx)];
              }
          y[size_t(((n * c.Cout + co) * Ho + oy) * Wo + ox)] = float(acc) * s * ws[size_t(co)] + b[size_t(co)];
        }
  return y;
}

TEST(Int8ConvVNNI, EqualsTheIntegerReferenceThroughOrt) {
  const ConvCase cases[] = {
      {1, 3, 9, 11, 4, 3, 3, 1, {1, 1}, {0, 0, 0, 0}, {1, 1}},
      {2, 4, 10, 7, 6, 3, 2, 2, {2, 1}, {1, 0, 2, 1}, {1, 1}},
      {1, 5, 12, 12, 5, 3, 3, 5, {1, 2}, {2, 2, 2, 2}, {2, 3}},
      {1, 6, 8, 9, 9, 1, 1, 3, {1, 1}, {0, 0, 0, 0}, {1, 1}},
      {1, 2, 6, 6, 3, 5, 5, 1, {3, 3}, {2, 1, 0, 3}, {1, 1}},
  };
  std::mt19937 rng(11);
  for (const ConvCase& c : cases) {
    const int64_t Ho = int8ConvOutSize(c.H, c.kh, c.strides[0], c.pads[0], c.pads[2], c.dilations[0]);
    const int64_t Wo = int8ConvOutSize(c.W, c.kw, c.strides[1], c.pads[1], c.pads[3], c.dilations[1]);
    std::vector<int8_t> w(size_t(c.Cout * (c.Cin / c.group) * c.kh * c.kw));
    std::uniform_int_distribution<int> wd(-128, 127);
    for (auto& v : w) v = int8_t(wd(rng));
    const Tensor ws = rtest::randomTensor({c.Cout}, 12, 0.001f, 0.02f);
    const Tensor b = rtest::randomTensor({c.Cout}, 13);
    GsBytes inits, attrs;
    hcInit(inits, "w", 3, {c.Cout, c.Cin / c.group, c.kh, c.kw}, GsSlice{reinterpret_cast<const uint8_t*>(w.data()), w.size()});
    hcInit(inits, "ws", 1, {c.Cout}, GsSlice{reinterpret_cast<const uint8_t*>(ws.data.data()), ws.data.size() * 4});
    hcInit(inits, "b", 1, {c.Cout}, GsSlice{reinterpret_cast<const uint8_t*>(b.data.data()), b.data.size() * 4});
    hcAttrIs(attrs, "strides", {c.strides[0], c.strides[1]});
    hcAttrIs(attrs, "pads", {c.pads[0], c.pads[1], c.pads[2], c.pads[3]});
    hcAttrIs(attrs, "dilations", {c.dilations[0], c.dilations[1]});
    hcAttrI(attrs, "group", c.group);
    GsBytes g;
    hcNode(g, "Int8ConvVNNI", {"x", "w", "ws", "b"}, "y", "conv", attrs, "com.mirelund.int8");
    gsPutRaw(g, gsSliceOf(inits));
    const int64_t xd[4] = {c.N, c.Cin, c.H, c.W}, yd[4] = {c.N, c.Cout, Ho, Wo};
    gsPutTensorValueInfo(g, 11, "x", xd, 4);
    gsPutTensorValueInfo(g, 12, "y", yd, 4);
    GsBytes m;
    gsPutModel(m, g, {{"", 17}, {"com.mirelund.int8", 1}});
    Ort::Session s = rtest::session(m);
    for (int variant = 0; variant < 2; ++variant) {
      Feeds f;
      f["x"] = rtest::randomTensor({c.N, c.Cin, c.H, c.W}, 14 + uint32_t(variant), -1.5f, 3.f);
      if (variant == 1) std::fill(f["x"].data.begin(), f["x"].data.end(), -7.f);  // constant: s = 1, z = 7
      const Tensor got = rtest::run(s, f)[0];
      ASSERT_EQ(got.shape, (std::vector<int64_t>{c.N, c.Cout, Ho, Wo}));
      EXPECT_EQ(got.data, int8Reference(c, f["x"].data, w, ws.data, b.data, Ho, Wo))
          << "group " << c.group << " stride " << c.strides[0] << " dilation " << c.dilations[0] << " variant " << variant;
    }
  }
}

TEST(Int8ConvVNNI, ConstantInputQuantisesWithUnitScale) {
  const Int8ActQuant q = int8ActivationQuant(-7.f, -7.f);
  EXPECT_EQ(q.scale, 1.f);
  EXPECT_EQ(q.zero, 7);
  EXPECT_EQ(int8ActivationQuant(3.f, 3.f).zero, 0);  // -m clamps at 0
  const Int8ActQuant r = int8ActivationQuant(0.f, 255.f);
  EXPECT_EQ(int8Quantise(2.5f, r), 2);  // ties to even
  EXPECT_EQ(int8Quantise(3.5f, r), 4);
  EXPECT_EQ(int8Quantise(1e9f, r), 255);
  EXPECT_EQ(int8Quantise(-NAN, r), 0);
}

TEST(Int8ConvVNNI, ModelNumbersBeyondExactArithmeticAreRefused) {
  // The longest filter whose 32-bit sums stay exact, and one weight more.
  const int64_t longest = Int8PackedWeights::kMaxRow;
  std::vector<int8_t> w(size_t(longest + 1), -128);
  EXPECT_NO_THROW(Int8PackedWeights(w.data(), 1, longest, 1, 1));
  EXPECT_THROW(Int8PackedWeights(w.data(), 1, longest + 1, 1, 1), std::runtime_error);
  // Geometry whose products would overflow.
  EXPECT_THROW(int8ConvOutSize(8, 3, 1, 0, 0, int64_t(1) << 62), std::runtime_error);
  EXPECT_THROW(int8ConvOutSize(8, 3, 1, INT64_MAX - 4, 0, 1), std::runtime_error);
  EXPECT_EQ(int8ConvOutSize(8, 3, 1, 0, 0, 1), 6);
}

}  // namespace
}  // namespace le
