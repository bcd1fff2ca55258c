// How soon the first speech frame of an utterance is out, for each of the
// animation sources a live host can choose: a real-time host on the demo
// bundle pushes an espeak sentence at its own pace (640 samples every 40 ms)
// and pulls one frame every 40 ms, five utterances with silences between
// them. Reported: the pipeline's first-frame latency (first push to first
// speech frame published) as median and worst over the five, and the
// host's (first push to first speech frame pulled), plus the output rate and
// the frames due but not ready once an utterance's first speech frame was
// pulled (underruns; LE_BENCH_TRACE=1 prints a line for each).
// source:0 is the audio-to-expression stream (its look-ahead is fixed by
// design), source:1 keypoint motion in hybrid eager mode.
//
// Needs the generated data of a CTest run:
//   ctest -R "fixture_(demo_bundle|director_bundles|speech_encoders|speech_clips)"
// Run with --benchmark_filter=FirstFrame; LE_BENCH_BUNDLE runs another bundle.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "tests/test_support.h"
#include "tools/animation_choice.h"
#include "tools/audio_input.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

void BM_FirstFrame(benchmark::State& state) {
  const std::string data = le::test::dataDir();
  const char* env = std::getenv("LE_BENCH_BUNDLE");
  const std::string bundle = env && *env ? env : data + "/demo";
  const auto kind = state.range(0) ? le::tools::AnimationKind::kMotion : le::tools::AnimationKind::kA2x;
  std::vector<int16_t> speech;
  try {
    speech = le::tools::decodeSpeech(data + "/speech/sentence.wav");
  } catch (const std::exception& e) {
    state.SkipWithError((std::string(e.what()) + " Run the speech fixtures first.").c_str());
    return;
  }
  if (!std::getenv("W2V_ONNX")) setenv("W2V_ONNX", (data + "/speech/audio_encoder_fp32.onnx").c_str(), 0);
  for (auto _ : state) {
    std::unique_ptr<le::tools::AnimationChoice> choice;
    try {
      choice = std::make_unique<le::tools::AnimationChoice>(bundle, kind);
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      return;
    }
    le_ctx* ctx = le_create(bundle.c_str(), "b1_fp32", 2, nullptr);
    if (!ctx) {
      state.SkipWithError(le_last_error());
      return;
    }
    le_utt_opts opts{};
    opts.motion_dir = choice->motionDir().c_str();
    opts.eager = choice->eager();
    le_utt* u = le_utt_create(ctx, &opts);
    int r = u ? 0 : -1;
    while (u && (r = le_utt_ready(u)) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (r < 0) {
      state.SkipWithError(le_utt_last_error());
      le_utt_destroy(u);
      le_destroy(ctx);
      return;
    }
    std::vector<uint8_t> frame(size_t(le_width(ctx)) * size_t(le_height(ctx)) * 3);
    // Timeline in 40 ms ticks: a second of idle, then five utterances each
    // followed by 1.5 s of silence.
    const int chunks = int((speech.size() + 639) / 640);
    constexpr int kUtterances = 5, kSilence = 38;
    std::vector<int> starts;
    for (int k = 0, t = 25; k < kUtterances; ++k, t += chunks + kSilence) starts.push_back(t);
    const int ticks = starts.back() + chunks + kSilence;
    std::vector<double> engine, host;
    int64_t pulled = 0, underruns = 0;
    Clock::time_point firstPush;
    bool waiting = false, spoke = false;
    const char* traceEnv = std::getenv("LE_BENCH_TRACE");
    const bool trace = traceEnv && *traceEnv && traceEnv[0] != '0';
    const auto start = Clock::now();
    for (int k = 0; k < ticks; ++k) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(40 * k));
      for (const int s : starts) {
        if (k < s || k >= s + chunks) continue;
        const size_t off = size_t(k - s) * 640;
        if (k == s) {
          firstPush = Clock::now();
          waiting = true;
        }
        le_utt_push_audio(u, speech.data() + off, int(std::min<size_t>(640, speech.size() - off)));
        if (k == s + chunks - 1) le_utt_end_utterance(u);
      }
      le_utt_frame_info info{};
      if (le_utt_pull_frame(u, frame.data(), frame.size(), &info) != 1) {
        if (spoke) {
          ++underruns;
          if (trace)
            std::fprintf(stderr, "[bench] underrun at tick %d, %.1f ms after the utterance's first push\n", k,
                         std::chrono::duration<double, std::milli>(Clock::now() - firstPush).count());
        }
        continue;
      }
      ++pulled;
      if (info.kind == 1) spoke = true;
      if (waiting && info.kind == 1) {
        waiting = false;
        host.push_back(std::chrono::duration<double, std::milli>(Clock::now() - firstPush).count());
        le_utt_stats st{};
        le_utt_get_stats(u, &st);
        engine.push_back(st.first_frame_latency_ms);
      }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    int64_t failures = 0;
    char msg[256] = {};
    if (le_utt_render_status(u, &failures, msg, sizeof msg) != 0) state.SkipWithError(msg);
    le_utt_destroy(u);
    le_destroy(ctx);
    state.counters["first_frame_ms_median"] = median(engine);
    state.counters["first_frame_ms_max"] = engine.empty() ? 0.0 : *std::max_element(engine.begin(), engine.end());
    state.counters["host_first_frame_ms_median"] = median(host);
    state.counters["utterances_seen"] = double(engine.size());
    state.counters["underruns"] = double(underruns);
    state.counters["fps"] = double(pulled) / wall;
  }
}
BENCHMARK(BM_FirstFrame)->ArgName("source")->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
