// A real-time host on the demo bundle: speech is pushed at its own pace (640
// samples every 40 ms) and one frame is pulled every 40 ms, as a display
// would. Three utterances of an espeak sentence with silences between them,
// each ended by the host once its last samples are in (as le_live and
// le_speak do; LE_BENCH_HOLD=1 leaves the ending to the pipeline's hold
// time), the last one interrupted half way. Reported per run: the output
// rate while frames were due, frames due but not ready after the first
// speech frame (underruns), the source's lag (source_lag_ms: how long after
// a frame's audio began the source can yield it at the latest), the longest
// time from an utterance's first push to the host pulling its first speech
// frame (first_pull_ms) beside the pipeline's own first-frame latency (to
// publication), the process CPU time per delivered frame and the CPU each
// stage spent per delivered frame, its helper threads included
// (cpu_<stage>_ms; cpu_unattributed_ms is the rest of the process's CPU: the
// H.264 decoder's threads, the speech encoders' session threads, the host's
// pulls). Argument 1 attaches the bundle's borrowed teeth.
// IdleHost pulls at 25 fps with nobody speaking and reports the process's
// CPU load (idle_cpu_pct).
//
// Needs the generated data of a CTest run (the demo bundle with its speech
// models and directors, the speech encoders and the espeak clips):
//   ctest -R "fixture_(demo_bundle|director_bundles|speech_encoders|speech_clips)"
// Run with --benchmark_filter=RealtimeHost; LE_UTT_STAGE_REPORT=1 adds the
// pipeline's stage report, LE_UTT_TRACE=1 its per-frame timeline and
// LE_BENCH_TRACE=1 a line per underrun; LE_BENCH_BUNDLE runs another bundle.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/session/animation_source.h"
#include "core/session/source_lag.h"
#include "le/le.h"
#include "tests/test_support.h"
#include "tools/teeth_attach.h"

namespace {

using Clock = std::chrono::steady_clock;

// The samples of a 16-bit mono WAV file; empty when it cannot be read.
std::vector<int16_t> readWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (size_t p = 12; p + 8 <= b.size();) {
    uint32_t len;
    std::memcpy(&len, &b[p + 4], 4);
    if (std::memcmp(&b[p], "data", 4) == 0) {
      const size_t n = std::min<size_t>(len, b.size() - p - 8) / 2;
      std::vector<int16_t> s(n);
      std::memcpy(s.data(), &b[p + 8], n * 2);
      return s;
    }
    p += 8 + len + (len & 1);
  }
  return {};
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// A context on a bundle and its utterance pipeline, ready to speak; error
// says why not. The pipeline goes before its context.
struct Host {
  explicit Host(const std::string& bundle) {
    ctx = le_create(bundle.c_str(), "b1_fp32", 2, nullptr);
    if (!ctx) {
      error = le_last_error();
      return;
    }
    utt = le_utt_open(ctx, bundle.c_str());
    if (!utt) {
      error = le_utt_last_error();
      return;
    }
    int r;
    while ((r = le_utt_ready(utt)) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (r < 0) error = le_utt_last_error();
  }
  ~Host() {
    le_utt_destroy(utt);
    le_destroy(ctx);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;
  std::vector<uint8_t> frameBuffer() const {
    return std::vector<uint8_t>(size_t(le_width(ctx)) * size_t(le_height(ctx)) * 3);
  }

  le_ctx* ctx = nullptr;
  le_utt* utt = nullptr;
  std::string error;
};

std::string benchBundle() {
  const char* b = std::getenv("LE_BENCH_BUNDLE");
  return b && *b ? b : le::test::dataDir() + "/demo";
}

bool envOn(const char* name) {
  const char* v = std::getenv(name);
  return v && *v && std::strcmp(v, "0") != 0;
}

// The lag of the bundle's animation source in ms (frames of further audio a
// frame waits for, plus its own), -1 when it cannot be measured.
double sourceLagMs(const std::string& bundle) {
  std::string error;
  const std::unique_ptr<le::AnimationSource> source =
      le::openAnimationSource(le::motionDirIsA2x(bundle), bundle, 1, "", &error);
  if (!source) return -1;
  const int lag = le::measureLagFrames(*source);
  return lag < 0 ? -1.0 : 40.0 * (lag + 1);
}

// Mean CPU ms per delivered frame of every stage, as counters.
void stageCounters(benchmark::State& state, int64_t frames, double cpuMs) {
  double attributed = 0;
  for (const char* stage : {"source", "render", "teeth", "decode", "paste"}) {
    int64_t n = 0;
    double sum = 0;
    le_telemetry_value((std::string("frame_cpu.") + stage + "_ms").c_str(), &n, &sum);
    const double perFrame = n > 0 ? sum / double(n) : 0.0;
    state.counters[std::string("cpu_") + stage + "_ms"] = perFrame;
    attributed += perFrame;
  }
  state.counters["cpu_unattributed_ms"] = frames > 0 ? cpuMs / double(frames) - attributed : 0.0;
}

void BM_RealtimeHost(benchmark::State& state) {
  const std::string data = le::test::dataDir();
  const std::string bundle = benchBundle();
  const bool teeth = state.range(0) != 0;
  const std::vector<int16_t> speech = readWav(data + "/speech/sentence.wav");
  if (speech.empty()) {
    state.SkipWithError("no build/testdata/speech/sentence.wav: run the speech fixtures first");
    return;
  }
  if (!std::getenv("W2V_ONNX")) setenv("W2V_ONNX", (data + "/speech/audio_encoder_fp32.onnx").c_str(), 0);
  const bool hostEnds = !envOn("LE_BENCH_HOLD"), trace = envOn("LE_BENCH_TRACE");
  const double lagMs = sourceLagMs(bundle);
  for (auto _ : state) {
    Host host(bundle);
    le_utt* u = host.utt;
    if (!host.error.empty()) {
      state.SkipWithError(host.error.c_str());
      return;
    }
    if (teeth) {
      try {
        const le::tools::TeethAttach a = le::tools::attachTeeth(u, bundle);
        if (!a.attached) throw std::runtime_error(a.status);
      } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
      }
    }
    std::vector<uint8_t> frame = host.frameBuffer();
    // Timeline in 40 ms ticks: three utterances, each followed by 2 s of
    // silence; the third is interrupted half way through.
    const int chunks = int((speech.size() + 639) / 640);
    const int silence = 50;
    struct Span { int begin, end; bool interrupt; };
    std::vector<Span> spans;
    int t = 25;
    for (int k = 0; k < 3; ++k) {
      const bool cut = k == 2;
      spans.push_back({t, t + (cut ? chunks / 2 : chunks), cut});
      t = spans.back().end + silence;
    }
    const int ticks = t;
    int64_t pulled = 0, speechFrames = 0, underruns = 0, dueAfterSpeech = 0;
    bool spoke = false;
    double firstPullMs = 0;
    le_utt_frame_info info{}, last{};
    le_telemetry_reset();
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    auto msSince = [](Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); };
    Clock::time_point uttStart = start;
    for (int k = 0; k < ticks; ++k) {
      // A viewer's interrupt falls between two frames, here half way.
      for (const Span& s : spans)
        if (s.interrupt && k == s.end) {
          std::this_thread::sleep_until(start + std::chrono::milliseconds(40 * k - 20));
          le_utt_interrupt(u);
        }
      std::this_thread::sleep_until(start + std::chrono::milliseconds(40 * k));
      for (const Span& s : spans) {
        if (k >= s.begin && k < s.end) {
          const size_t off = size_t(k - s.begin) * 640;
          const int n = int(std::min<size_t>(640, speech.size() - off));
          if (k == s.begin) uttStart = Clock::now();
          le_utt_push_audio(u, speech.data() + off, n);
          if (hostEnds && !s.interrupt && k + 1 == s.end) le_utt_end_utterance(u);
        }
      }
      const bool got = le_utt_pull_frame(u, frame.data(), frame.size(), &info) == 1;
      if (spoke) {
        ++dueAfterSpeech;
        if (!got) {
          ++underruns;
          if (trace)
            std::fprintf(stderr, "[bench] underrun at tick %d, %.1f ms after the utterance's first push, after kind %d speech %d\n",
                         k, msSince(uttStart), last.kind, last.speech_index);
        }
      }
      if (got) {
        ++pulled;
        last = info;
        if (info.kind == 1) {
          ++speechFrames;
          spoke = true;
          if (info.speech_index == 0) firstPullMs = std::max(firstPullMs, msSince(uttStart));
        }
      }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds() - cpu0;
    le_utt_stats st{};
    le_utt_get_stats(u, &st);
    int64_t failures = 0;
    char msg[256] = {};
    if (le_utt_render_status(u, &failures, msg, sizeof msg) != 0) state.SkipWithError(msg);
    int64_t composed = 0, failedResults = 0;
    if (teeth && le_utt_tessera_stats(u, &composed, &failedResults, msg, sizeof msg) < 0) state.SkipWithError(msg);
    state.counters["fps"] = double(pulled) / wall;
    state.counters["speech_frames"] = double(speechFrames);
    state.counters["underruns"] = double(underruns);
    state.counters["due_after_speech"] = double(dueAfterSpeech);
    state.counters["first_frame_ms"] = st.first_frame_latency_ms;
    state.counters["first_pull_ms"] = firstPullMs;
    state.counters["source_lag_ms"] = lagMs;
    state.counters["render_ms"] = st.render_ms_avg;
    state.counters["cpu_ms_per_frame"] = pulled ? 1000.0 * cpu / double(pulled) : 0.0;
    state.counters["utterances"] = double(st.utterances);
    state.counters["teeth_composed"] = double(composed);
    stageCounters(state, pulled, 1000.0 * cpu);
  }
}
BENCHMARK(BM_RealtimeHost)->ArgName("teeth")->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// The avatar idling while a display pulls 25 frames a second: what the
// engine costs when nobody speaks (nothing may spin).
void BM_IdleHost(benchmark::State& state) {
  const std::string bundle = benchBundle();
  for (auto _ : state) {
    Host host(bundle);
    if (!host.error.empty()) {
      state.SkipWithError(host.error.c_str());
      return;
    }
    std::vector<uint8_t> frame = host.frameBuffer();
    const int ticks = 250;
    int64_t pulled = 0;
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    for (int k = 0; k < ticks; ++k) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(40 * k));
      pulled += le_utt_pull_frame(host.utt, frame.data(), frame.size(), nullptr) == 1;
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds() - cpu0;
    state.counters["fps"] = double(pulled) / wall;
    state.counters["idle_cpu_pct"] = 100.0 * cpu / wall;
    state.counters["cpu_ms_per_frame"] = pulled ? 1000.0 * cpu / double(pulled) : 0.0;
  }
}
BENCHMARK(BM_IdleHost)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
