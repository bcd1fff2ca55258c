// Worker pool: dispatch overhead of an empty job and 1 -> 2 thread scaling
// of a compute-bound, memory-light kernel.
#include <cmath>
#include <cstdint>

#include <benchmark/benchmark.h>

#include "core/foundation/pool.h"

namespace le::bench {
namespace {

void emptyJob(benchmark::State& st) {
  const std::uint64_t n = static_cast<std::uint64_t>(pool::threads());
  const std::function<void(std::uint64_t, std::uint64_t)> fn = [](std::uint64_t, std::uint64_t) {};
  for (auto _ : st) pool::parallelRange(n, 1, fn);
  st.counters["slices"] = pool::parts(n, 1);
}
BENCHMARK(emptyJob);

// A polynomial evaluated per index: no memory traffic beyond one sum per slice.
void compute(std::uint64_t b, std::uint64_t e, double* out) {
  double acc = 0;
  for (std::uint64_t i = b; i < e; ++i) {
    double x = static_cast<double>(i & 1023) * 1e-3;
    for (int k = 0; k < 16; ++k) x = x * 0.999 + 0.001;
    acc += x;
  }
  *out = acc;
}

// range(0): slice count (1 runs on the caller alone).
void memoryLightKernel(benchmark::State& st) {
  const std::uint64_t n = 1 << 18;
  const std::uint64_t grain = st.range(0) == 1 ? n : n / static_cast<std::uint64_t>(st.range(0));
  alignas(64) double sums[64] = {};  // one cache line per slice
  const std::function<void(std::uint64_t, std::uint64_t)> fn = [&](std::uint64_t b, std::uint64_t e) {
    compute(b, e, &sums[(b * 8 / n) * 8]);
  };
  for (auto _ : st) {
    pool::parallelRange(n, grain, fn);
    benchmark::DoNotOptimize(sums);
  }
  st.counters["slices"] = pool::parts(n, grain);
  st.SetItemsProcessed(st.iterations() * n);
}
BENCHMARK(memoryLightKernel)->Arg(1)->Arg(2)->UseRealTime();

}  // namespace
}  // namespace le::bench
