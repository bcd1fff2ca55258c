// Memory over hours: one simulated hour (LE_SOAK_MINUTES, default 60) of
// continuous speech and silence, a live microphone that never ends an
// utterance, pushed at full speed through le_a2x and le_motion in 640-sample
// pieces, every ready frame pulled. Resident memory is written to standard
// error after every simulated minute ("[soak] <source> minute <m> rss_mb
// <r>"); the counters give the first minute's figure, the last, and the
// growth after the first minute per simulated hour. The bundles are the
// tiny test ones (LE_SOAK_BUNDLE names another that carries both sources).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/audio/audio_test_util.h"
#include "le/le.h"
#include "le/le_a2x.h"
#include "tests/test_support.h"

namespace {

constexpr int kHop = 640;
constexpr int kFramesPerMinute = 25 * 60;

double residentMb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

int soakMinutes() {
  const char* v = std::getenv("LE_SOAK_MINUTES");
  const int m = v ? std::atoi(v) : 60;
  return m > 0 ? m : 60;
}

std::string soakBundle(const char* fallback) {
  const char* v = std::getenv("LE_SOAK_BUNDLE");
  return v && *v ? v : le::test::bundlePath(fallback);
}

// 10 s of speech, then 5 s of silence, over and over.
const std::vector<float>& speechAndSilence() {
  static const std::vector<float> pcm = [] {
    std::vector<float> f = le::audio_test::clip("long10s.wav");
    f.resize(size_t(10 * 16000), 0.f);
    f.resize(size_t(15 * 16000), 0.f);
    return f;
  }();
  return pcm;
}

// Pushes the simulated hour through source s frame by frame, pulling every
// ready frame after each push.
template <typename Source>
void soak(benchmark::State& state, const char* name, Source* s, int (*push)(Source*, const float*, int),
          int (*avail)(Source*), int (*pull)(Source*, int32_t*, float*, float*, int)) {
  const std::vector<float>& pcm = speechAndSilence();
  const int minutes = soakMinutes();
  std::vector<int32_t> idx(64);
  std::vector<float> xs(64 * 63), xd(64 * 63);
  double first = 0, last = 0;
  int64_t frames = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    size_t at = 0;
    for (int minute = 1; minute <= minutes; ++minute) {
      for (int f = 0; f < kFramesPerMinute; ++f) {
        push(s, pcm.data() + at, kHop);
        at = (at + kHop) % pcm.size();
        while (avail(s) > 0) frames += pull(s, idx.data(), xs.data(), xd.data(), 64);
      }
      last = residentMb();
      if (minute == 1) first = last;
      std::fprintf(stderr, "[soak] %s minute %d rss_mb %.1f frames %lld\n", name, minute, last,
                   static_cast<long long>(frames));
    }
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  state.counters["minutes"] = minutes;
  state.counters["frames"] = double(frames);
  state.counters["rss_first_min_mb"] = first;
  state.counters["rss_last_mb"] = last;
  state.counters["growth_mb_per_hour"] = minutes > 1 ? (last - first) * 60.0 / double(minutes - 1) : 0.0;
  state.counters["wall_s"] = wall;
}

void BM_SoakA2x(benchmark::State& state) {
  ::setenv("W2V_ONNX", le::audio_test::fullEncoder().c_str(), 0);
  le_a2x* a = le_a2x_create(soakBundle("tiny").c_str(), 1);
  if (!a) {
    state.SkipWithError(le_a2x_last_error());
    return;
  }
  soak(state, "a2x", a, le_a2x_push, le_a2x_avail, le_a2x_pull);
  le_a2x_destroy(a);
}
BENCHMARK(BM_SoakA2x)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_SoakMotion(benchmark::State& state) {
  le_motion* m = le_motion_create(soakBundle("tiny_motion").c_str(), 1, "");
  if (!m) {
    state.SkipWithError(le_motion_last_error());
    return;
  }
  soak(state, "motion", m, le_motion_push, le_motion_avail, le_motion_pull);
  le_motion_destroy(m);
}
BENCHMARK(BM_SoakMotion)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
