// Keypoint motion and the face-coefficient adapter on a 10 s espeak-ng
// clip: real-time factor of le_motion (intra-op threads 1 and 2), the time
// from the first pushed sample to the first pullable frame (eager against
// non-eager, audio arriving as fast as it is pushed), and the cost of
// le_fca_deltas per second of audio. The demo bundle carries the motion
// files and the adapter; the clip and the speech encoder are the generated
// ones (ctest -R 'fixture_speech').
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "core/audio/audio_test_util.h"
#include "le/le.h"
#include "tests/test_support.h"

namespace {

constexpr int kRate = 16000;
constexpr int kClipSeconds = 10;

const std::vector<float>& clip() {
  static const std::vector<float> pcm = [] {
    std::vector<float> f = le::audio_test::clip("long10s.wav");
    f.resize(size_t(kClipSeconds) * kRate, 0.f);
    return f;
  }();
  return pcm;
}

std::string demoMotionDir() {
  static const std::string dir = [] {
    const std::string d = le::test::bundlePath("demo");
    if (le::test::runCommand("test -f '" + d + "/lmdm.onnx'") != 0) le::test::runGenerator({"--preset", "demo", "--out", d});
    return d;
  }();
  return dir;
}

void BM_MotionStreamRtf(benchmark::State& state) {
  le_motion* m = le_motion_create(demoMotionDir().c_str(), int(state.range(0)), "");
  if (!m) {
    state.SkipWithError(le_motion_last_error());
    return;
  }
  const std::vector<float>& pcm = clip();
  std::vector<int32_t> idx(32);
  std::vector<float> xs(32 * 63), xd(32 * 63);
  int frames = 0;
  double seconds = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    le_motion_reset(m, 0, 1, 1);
    frames = 0;
    for (size_t at = 0; at < pcm.size(); at += 640) {
      le_motion_push(m, pcm.data() + at, 640);
      while (le_motion_avail(m) > 0) frames += le_motion_pull(m, idx.data(), xs.data(), xd.data(), 32);
    }
    le_motion_finish(m);
    while (le_motion_avail(m) > 0) frames += le_motion_pull(m, idx.data(), xs.data(), xd.data(), 32);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  state.counters["frames"] = frames;
  // Compute time over audio time.
  state.counters["rtf"] = seconds / double(state.iterations()) / kClipSeconds;
  le_motion_destroy(m);
}
BENCHMARK(BM_MotionStreamRtf)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Audio pushed 640 samples at a time, as fast as it is computed; reports
// the audio it took (ms) and the wall time until the first frame was ready.
void BM_MotionFirstFrame(benchmark::State& state) {
  le_motion* m = le_motion_create(demoMotionDir().c_str(), 1, "");
  if (!m) {
    state.SkipWithError(le_motion_last_error());
    return;
  }
  le_motion_set_eager(m, int(state.range(0)));
  const std::vector<float>& pcm = clip();
  double audioMs = 0, wallMs = 0;
  for (auto _ : state) {
    le_motion_reset(m, 0, 1, 1);
    const auto t0 = std::chrono::steady_clock::now();
    size_t at = 0;
    for (; at < pcm.size(); at += 640) {
      le_motion_push(m, pcm.data() + at, 640);
      if (le_motion_avail(m) > 0) break;
    }
    wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    audioMs = double(at + 640) * 1000.0 / kRate;
  }
  state.counters["audio_ms"] = audioMs;
  state.counters["compute_ms"] = wallMs;
  le_motion_destroy(m);
}
BENCHMARK(BM_MotionFirstFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FcaDeltas(benchmark::State& state) {
  le_fca* f = le_fca_create(le::audio_test::fullEncoder().c_str(), (demoMotionDir() + "/fca_stream.onnx").c_str(), int(state.range(0)));
  if (!f) {
    state.SkipWithError(le_fca_last_error());
    return;
  }
  const std::vector<float>& pcm = clip();
  std::vector<float> out(size_t(kClipSeconds) * 25 * 63);
  double seconds = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (le_fca_deltas(f, pcm.data(), int(pcm.size()), out.data(), kClipSeconds * 25) != kClipSeconds * 25) {
      state.SkipWithError(le_fca_last_error());
      break;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  state.counters["ms_per_audio_s"] = 1000.0 * seconds / double(std::max<int64_t>(state.iterations(), 1)) / kClipSeconds;
  le_fca_destroy(f);
}
BENCHMARK(BM_FcaDeltas)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
