// Per-frame cost of le::Renderer::render on the demo bundle with the source
// cone hoisted onto the prep thread (b1_fp32) against kept in the graph
// (b1_fixed, the same arithmetic), playing the drive frames in order.
// Arguments: {director threads, hoisted}. The demo bundle and its directors
// are generated on first use.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "core/bundle/drive.h"
#include "core/bundle/identity.h"
#include "core/bundle/manifest.h"
#include "core/render/renderer.h"
#include "tests/test_support.h"

namespace {

using le::test::demoBundleWithDirectors;

void BM_RendererRender(benchmark::State& state) {
  const le::Manifest m = le::loadManifest(demoBundleWithDirectors());
  le::Identity identity(m);
  const le::Drive drive = le::loadDrive(m);
  const bool hoist = state.range(1) != 0;
  le::Renderer r(m, identity, hoist ? "b1_fp32" : "b1_fixed", int(state.range(0)), "");
  if (r.hoisted() != hoist) state.SkipWithError("the director's hoist is not what this case measures");
  int i = 0;
  for (auto _ : state) {
    const int si = drive.si[size_t(i)];
    benchmark::DoNotOptimize(r.render(&si, drive.xs.data() + size_t(i) * 63, drive.xd.data() + size_t(i) * 63, 1));
    i = (i + 1) % drive.frames;
  }
  state.counters["ring_hits"] = double(r.ringHits());
  state.counters["ring_misses"] = double(r.ringMisses());
}

BENCHMARK(BM_RendererRender)
    ->ArgNames({"threads", "hoisted"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({2, 0})
    ->Args({2, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
