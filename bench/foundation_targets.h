// Benchmark helper: registers one benchmark per compiled SIMD target the CPU
// supports (dispatch restricted to it while it runs) plus the scalar
// reference, named "<kernel>/<target>" and "<kernel>/reference".
#pragma once

#include <hwy/targets.h>

#include <functional>
#include <string>

#include <benchmark/benchmark.h>

namespace le::bench {

// Restricts dispatch to one target for its lifetime.
class TargetScope {
 public:
  explicit TargetScope(int64_t target) {
    hwy::SetSupportedTargetsForTest(target);
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
  }
  ~TargetScope() {
    hwy::SetSupportedTargetsForTest(0);
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
  }
};

// body(state, useReference) runs the timed loop.
inline void registerPerTarget(const std::string& kernel,
                              std::function<void(benchmark::State&, bool)> body) {
  benchmark::RegisterBenchmark((kernel + "/reference").c_str(),
                               [body](benchmark::State& st) { body(st, true); });
  for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
    benchmark::RegisterBenchmark((kernel + "/" + hwy::TargetName(target)).c_str(),
                                 [body, target](benchmark::State& st) {
                                   TargetScope scope(target);
                                   body(st, false);
                                 });
  }
}

}  // namespace le::bench
