// What the plug-in adds on top of the engine: the per-frame cost of each
// table's pull_frame against the core call it wraps (le_render_drive_rgba
// for an idle frame in direct mode; the difference is the RGBA-to-RGB copy,
// timed alone by BM_PullCopy, and the bookkeeping), and the time of open +
// close on the demo bundle as a directory and as a container. Compare ratios
// within one run.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "backend/frame_copy.h"
#include "backend/lightbackend.h"
#include "core/bundle/bundle_test_util.h"
#include "le/le.h"
#include "tests/test_support.h"

namespace {

using le::test::demoBundleWithDirectors;

const std::string& demoContainer() {
  static const std::string path = [] {
    static le::test::TempDir dir;
    const std::string box = dir.file("demo.imx");
    le::bundle_test::pack(demoBundleWithDirectors(), box);
    return box;
  }();
  return path;
}

void BM_CoreRenderDriveRgba(benchmark::State& state) {
  le_ctx* ctx = le_create(demoBundleWithDirectors().c_str(), "b1_fp32", 2, nullptr);
  if (!ctx) return state.SkipWithError(le_last_error());
  std::vector<uint8_t> rgba(size_t(le_width(ctx)) * le_height(ctx) * 4);
  int i = 0;
  for (auto _ : state) {
    if (!le_render_drive_rgba(ctx, i, rgba.data(), rgba.size())) state.SkipWithError(le_last_error());
    i = (i + 1) % le_drive_frames(ctx);
  }
  le_destroy(ctx);
}

void BM_BackendPullIdle(benchmark::State& state) {
  const be_engine_backend* be = be_engine_backend_entry();
  be_engine_open_options o{};
  o.threads = 2;
  o.model_key = "b1_fp32";
  void* obj = nullptr;
  if (be->open(demoBundleWithDirectors().c_str(), nullptr, 0, &o, &obj) != 0) return state.SkipWithError("open");
  be_engine_info info;
  be->get_info(obj, &info);
  std::vector<unsigned char> frame(size_t(info.width) * info.height * 3);
  be_engine_frame_result r;
  for (auto _ : state)
    if (be->pull_frame(obj, -1, frame.data(), frame.size(), &r) != 0) state.SkipWithError("pull_frame");
  be->close(obj);
}

void BM_RendererPullIdle(benchmark::State& state) {
  const mirelund_renderer* re = mirelund_renderer_entry(1);
  void* obj = nullptr;
  if (re->open(nullptr, demoBundleWithDirectors().c_str(), "", "{\"threads\": 2, \"model_key\": \"b1_fp32\"}",
               &obj) != 0)
    return state.SkipWithError("open");
  mirelund_renderer_info info;
  re->info(obj, &info);
  std::vector<unsigned char> frame(size_t(info.width) * info.height * 3);
  mirelund_renderer_frame f;
  for (auto _ : state)
    if (re->pull_frame(obj, frame.data(), frame.size(), &f) != 0) state.SkipWithError("pull_frame");
  re->close(obj);
}

// The copy a direct-mode pull adds, on the demo's 1280 x 720 canvas.
void BM_PullCopy(benchmark::State& state) {
  const size_t pixels = size_t(1280) * 720;
  std::vector<uint8_t> rgba(pixels * 4, 7), rgb(pixels * 3);
  for (auto _ : state) {
    mirelund::engine::rgbaToRgb(rgba.data(), rgb.data(), pixels);
    benchmark::DoNotOptimize(rgb.data());
  }
}

// open + close; range(0): 0 the bundle directory, 1 the container.
void BM_OpenClose(benchmark::State& state) {
  const std::string path = state.range(0) ? demoContainer() : demoBundleWithDirectors();
  const be_engine_backend* be = be_engine_backend_entry();
  be_engine_open_options o{};
  o.threads = 2;
  o.model_key = "b1_fp32";
  for (auto _ : state) {
    void* obj = nullptr;
    if (be->open(path.c_str(), nullptr, 0, &o, &obj) != 0) return state.SkipWithError("open");
    be->close(obj);
  }
}

}  // namespace

BENCHMARK(BM_CoreRenderDriveRgba)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BackendPullIdle)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RendererPullIdle)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PullCopy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenClose)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5);
