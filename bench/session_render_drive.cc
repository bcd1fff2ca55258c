// Per-frame cost of le_render_drive_rgba on the demo bundle, whole and split
// into its three stages: the director render, the driving-frame decode and
// the paste. Arguments: {director threads, hoisted source cone (1) or not
// (0)}. The paste's workers are the process's pool (FACECORE_THREADS), fixed
// once per process: run with FACECORE_THREADS=1 and =2 to compare them.
// The demo bundle and its directors are generated on first use.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/session/context.h"
#include "le/le.h"
#include "tests/test_support.h"

namespace {

using le::test::demoBundleWithDirectors;

struct Opened {
  explicit Opened(benchmark::State& state) {
    const int threads = int(state.range(0));
    ctx = le_create(demoBundleWithDirectors().c_str(), state.range(1) ? "b1_fp32" : "b1_fixed", threads, nullptr);
    if (!ctx) {
      state.SkipWithError(le_last_error());
      return;
    }
    rgba.resize(size_t(le_width(ctx)) * le_height(ctx) * 4);
    // Load the director and warm every stage once.
    if (!le_render_drive_rgba(ctx, 0, rgba.data(), rgba.size())) state.SkipWithError(le_last_error());
    if (state.range(1) && !le::ensureRenderer(*ctx).hoisted()) state.SkipWithError("the director did not hoist");
  }
  ~Opened() { le_destroy(ctx); }
  le_ctx* ctx = nullptr;
  std::vector<uint8_t> rgba;
};

void BM_RenderDriveRgba(benchmark::State& state) {
  Opened o(state);
  if (!o.ctx) return;
  int i = 0;
  for (auto _ : state) {
    if (!le_render_drive_rgba(o.ctx, i, o.rgba.data(), o.rgba.size())) state.SkipWithError(le_last_error());
    i = (i + 1) % le_drive_frames(o.ctx);
  }
}

void BM_StageRender(benchmark::State& state) {
  Opened o(state);
  if (!o.ctx) return;
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(le_render_drive_crop(o.ctx, i));
    i = (i + 1) % le_drive_frames(o.ctx);
  }
}

void BM_StageDecode(benchmark::State& state) {
  Opened o(state);
  if (!o.ctx) return;
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(le_target_frame(o.ctx, o.ctx->drive.si[size_t(i)]));
    i = (i + 1) % le_drive_frames(o.ctx);
  }
}

void BM_StagePaste(benchmark::State& state) {
  Opened o(state);
  if (!o.ctx) return;
  const int W = le_width(o.ctx), H = le_height(o.ctx);
  const float* crop = le_render_drive_crop(o.ctx, 0);
  std::vector<uint8_t> frame(le_target_frame(o.ctx, 0), le_target_frame(o.ctx, 0) + size_t(W) * H * 3);
  std::vector<uint8_t> work(frame.size());
  int i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    work = frame;
    state.ResumeTiming();
    o.ctx->paste->composite(crop, 255.f, o.ctx->identity->M(i), work.data(), W, H);
    i = (i + 1) % le_nt(o.ctx);
  }
}

void args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"threads", "hoisted"})->Unit(benchmark::kMillisecond)->UseRealTime();
  for (int threads : {1, 2})
    for (int hoisted : {0, 1}) b->Args({threads, hoisted});
}

BENCHMARK(BM_RenderDriveRgba)->Apply(args);
BENCHMARK(BM_StageRender)->Apply(args);
BENCHMARK(BM_StageDecode)->Args({1, 1})->Args({2, 1})->ArgNames({"threads", "hoisted"})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StagePaste)->Args({1, 1})->Args({2, 1})->ArgNames({"threads", "hoisted"})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
