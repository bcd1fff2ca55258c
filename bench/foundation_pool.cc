// Worker pool: dispatch overhead of an empty job (back to back, and after
// the workers went to sleep), the CPU an idle pool uses, and 1 -> 2 thread
// scaling of a compute-bound, memory-light kernel.
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <thread>

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

// One empty job after the workers have blocked: the cost of waking them.
void emptyJobAfterIdle(benchmark::State& st) {
  const std::uint64_t n = static_cast<std::uint64_t>(pool::threads());
  const std::function<void(std::uint64_t, std::uint64_t)> fn = [](std::uint64_t, std::uint64_t) {};
  pool::parallelRange(n, 1, fn);
  for (auto _ : st) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const auto start = std::chrono::steady_clock::now();
    pool::parallelRange(n, 1, fn);
    st.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}
BENCHMARK(emptyJobAfterIdle)->UseManualTime()->Iterations(200);

double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// CPU the whole process burns while its pool has no work: one job, a pause
// for the workers to settle, then a quarter second in which the caller sleeps.
void idlePoolCpu(benchmark::State& st) {
  const std::uint64_t n = static_cast<std::uint64_t>(pool::threads());
  const std::function<void(std::uint64_t, std::uint64_t)> fn = [](std::uint64_t, std::uint64_t) {};
  double cpu = 0, wall = 0;
  for (auto _ : st) {
    pool::parallelRange(n, 1, fn);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const double c0 = processCpuSeconds();
    const auto w0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    cpu += processCpuSeconds() - c0;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
  }
  st.counters["idle_cpu_percent"] = 100.0 * cpu / wall;
  st.counters["workers"] = pool::threads() - 1;
}
BENCHMARK(idlePoolCpu)->Iterations(4)->Unit(benchmark::kMillisecond);

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
