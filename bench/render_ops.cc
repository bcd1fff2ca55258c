// The director's custom operators and rewrites against what ONNX Runtime
// runs without them: GridSampleFast vs ORT's GridSample, the rewritten cubic
// head vs ORT's cubic Resize, and the warp-fused director vs the unfused one.
#include <benchmark/benchmark.h>

#include "core/render/graph_rewrites.h"
#include "core/render/graph_surgery.h"
#include "core/render/render_test_util.h"

namespace {

using le::GsBytes;
using le::rtest::Feeds;

// Runs `model` on `feeds` once per iteration, inputs bound once.
void runLoop(benchmark::State& state, const GsBytes& model, const Feeds& feeds, int threads) {
  Ort::Session s = le::rtest::session(model, threads);
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::IoBinding io(s);
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<Ort::Value> keep;
  for (size_t i = 0; i < s.GetInputCount(); ++i) {
    const std::string n = s.GetInputNameAllocated(i, alloc).get();
    const auto& t = feeds.at(n);
    keep.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(t.data.data()), t.data.size(),
                                                   t.shape.data(), t.shape.size()));
    io.BindInput(n.c_str(), keep.back());
  }
  io.BindOutput(s.GetOutputNameAllocated(0, alloc).get(), mem);
  Ort::RunOptions ro;
  s.Run(ro, io);  // warm-up
  for (auto _ : state) s.Run(ro, io);
}

GsBytes samplerModel(bool fast, int64_t C, int64_t H, int64_t W) {
  GsBytes attrs;
  if (!fast) {
    auto s = [&](const char* n, const char* v) {
      GsBytes a;
      le::gsPutBytes(a, 1, std::string(n));
      le::gsPutBytes(a, 4, std::string(v));
      le::gsPutVarintField(a, 20, 3);
      le::gsPutBytes(attrs, 5, le::gsSliceOf(a));
    };
    s("mode", "bilinear");
    s("padding_mode", "border");
  }
  return le::rtest::singleNodeModel(fast ? "GridSampleFast" : "GridSample", {{"x", {1, C, H, W}}, {"grid", {1, H, W, 2}}},
                                    {1, C, H, W}, attrs, fast ? "com.mirelund" : "");
}

// Args: fast (0/1), C, side, threads.
void BM_GridSample(benchmark::State& state) {
  const bool fast = state.range(0) != 0;
  const int64_t C = state.range(1), S = state.range(2);
  Feeds f;
  f["x"] = le::rtest::randomTensor({1, C, S, S}, 1, 0.f, 1.f);
  f["grid"] = le::rtest::randomTensor({1, S, S, 2}, 2, -1.05f, 1.05f);
  runLoop(state, samplerModel(fast, C, S, S), f, static_cast<int>(state.range(3)));
  state.SetLabel(fast ? "GridSampleFast" : "ORT GridSample");
}
BENCHMARK(BM_GridSample)
    ->ArgNames({"fast", "C", "S", "threads"})
    ->ArgsProduct({{0, 1}, {3}, {512}, {1, 2}})
    ->ArgsProduct({{0, 1}, {64}, {64}, {1, 2}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// Cubic x2 Resize of [1,64,256,256] feeding a cheap depthwise 1x1 Conv, as
// ORT runs it and as rewritten.
void BM_HeadResize(benchmark::State& state) {
  const int64_t C = 64, S = 256;
  GsBytes g, attrs, cattrs;
  le::hcAttrS(attrs, "cubic");
  {
    GsBytes a;
    le::gsPutBytes(a, 1, std::string("coordinate_transformation_mode"));
    le::gsPutBytes(a, 4, std::string("half_pixel"));
    le::gsPutVarintField(a, 20, 3);
    le::gsPutBytes(attrs, 5, le::gsSliceOf(a));
  }
  le::hcAttrI(cattrs, "group", C);
  le::hcNode(g, "Resize", {"x", "", "scales"}, "up", "/up", attrs);
  le::hcNode(g, "Conv", {"up", "w"}, "y", "/conv", cattrs);
  const float scales[4] = {1, 1, 2, 2};
  le::hcInit(g, "scales", 1, {4}, le::GsSlice{reinterpret_cast<const uint8_t*>(scales), sizeof scales});
  std::vector<float> w(static_cast<size_t>(C), 1.f);
  le::hcInit(g, "w", 1, {C, 1, 1, 1}, le::GsSlice{reinterpret_cast<const uint8_t*>(w.data()), w.size() * 4});
  const int64_t xd[4] = {1, C, S, S}, yd[4] = {1, C, 2 * S, 2 * S};
  le::gsPutTensorValueInfo(g, 11, "x", xd, 4);
  le::gsPutTensorValueInfo(g, 12, "y", yd, 4);
  GsBytes m;
  le::gsPutModel(m, g, {{"", 17}});
  if (state.range(0) && le::rewriteHeadCubicResize(m) != 1) {
    state.SkipWithError("the head rewrite did not apply");
    return;
  }
  Feeds f;
  f["x"] = le::rtest::randomTensor({1, C, S, S}, 3);
  runLoop(state, m, f, static_cast<int>(state.range(1)));
  state.SetLabel(state.range(0) ? "Pad+dwConv5x5+DepthToSpace" : "ORT cubic Resize");
}
BENCHMARK(BM_HeadResize)
    ->ArgNames({"rewritten", "threads"})
    ->ArgsProduct({{0, 1}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One frame of the synthetic director, warp fused or not.
void BM_DirectorWarp(benchmark::State& state) {
  GsBytes m = le::rtest::directorGraph("m4b_b1");
  std::string reason;
  if (state.range(0) && le::rewriteWarpBlockToCustomOp(m, reason) == 0) {
    state.SkipWithError(reason.c_str());
    return;
  }
  runLoop(state, m, le::rtest::randomFeeds(m, 4), static_cast<int>(state.range(1)));
  state.SetLabel(state.range(0) ? "WarpDirector" : "cone + GridSample + recombination");
}
BENCHMARK(BM_DirectorWarp)
    ->ArgNames({"fused", "threads"})
    ->ArgsProduct({{0, 1}, {1, 2}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace

