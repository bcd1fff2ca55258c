// The audio-to-expression stream: real-time factor of a 10 s espeak clip
// streamed block by block on the short-window and 8-second feature paths,
// with one or two streams running at once, and the resident memory each
// extra stream adds (the speech encoder is shared, not copied).
//
//   build/bench/bench_audio
//
// rtf = compute time / audio duration per stream; hop_ms = compute time per
// 320 ms block. Compare BM_StreamClip/0/N (8-second) with BM_StreamClip/1/N
// (windowed) for the cost ratio per audio hop. Needs the generated speech
// models and clips (ctest -R fixture_speech) and the tiny bundle.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "core/audio/a2x_stream.h"
#include "core/audio/audio_test_util.h"

namespace {

using le::a2x::Stream;

void setUp() {
  ::setenv("W2V_ONNX", le::audio_test::fullEncoder().c_str(), 0);
}

// Streams the clip in blocks, pulling after each; returns the frames pulled.
int streamClip(Stream& s, const std::vector<float>& clip) {
  std::vector<int32_t> idx(256);
  std::vector<float> base(256 * 63), expr(256 * 63);
  int frames = 0;
  auto drain = [&] {
    while (s.avail() > 0) frames += s.pull(idx.data(), base.data(), expr.data(), nullptr, 256);
  };
  s.reset(0, 1, 1);
  for (size_t at = 0; at < clip.size(); at += 5120) {
    s.push(clip.data() + at, static_cast<int>(std::min<size_t>(5120, clip.size() - at)));
    drain();
  }
  s.finish();
  drain();
  return frames;
}

// Arguments: windowed (0 or 1), streams running at once.
void BM_StreamClip(benchmark::State& state) {
  setUp();
  const bool windowed = state.range(0) != 0;
  const int streams = static_cast<int>(state.range(1));
  const std::vector<float> clip = le::audio_test::clip("long10s.wav");
  const std::string bundle = le::test::bundlePath("tiny");
  std::vector<std::unique_ptr<Stream>> s;
  for (int i = 0; i < streams; ++i) s.push_back(Stream::create(bundle, 1, windowed));
  if (s[0]->windowed() != windowed) {
    state.SkipWithError("the short-window pair is not beside the encoder");
    return;
  }
  double seconds = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> th;
    for (int i = 1; i < streams; ++i) th.emplace_back([&, i] { streamClip(*s[i], clip); });
    benchmark::DoNotOptimize(streamClip(*s[0], clip));
    for (auto& t : th) t.join();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  const double audio = clip.size() / 16000.0;
  const double per = seconds / static_cast<double>(state.iterations());
  state.counters["rtf"] = per / audio;
  state.counters["hop_ms"] = per * 1000.0 / (static_cast<double>(clip.size()) / 5120.0);
}
BENCHMARK(BM_StreamClip)->ArgsProduct({{0, 1}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

uint64_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// Resident growth per extra stream after each has streamed 2 s of speech.
void BM_ResidentPerExtraStream(benchmark::State& state) {
  setUp();
  const std::vector<float> clip = le::audio_test::clip("hello.wav");
  const std::string bundle = le::test::bundlePath("tiny");
  const int extra = 4;
  for (auto _ : state) {
    auto first = Stream::create(bundle, 1);
    streamClip(*first, clip);
    const uint64_t before = residentBytes();
    std::vector<std::unique_ptr<Stream>> more;
    for (int i = 0; i < extra; ++i) {
      more.push_back(Stream::create(bundle, 1));
      streamClip(*more.back(), clip);
    }
    state.counters["MB_per_stream"] = double(residentBytes() - before) / extra / 1e6;
    state.counters["encoder_loads"] = le::a2x::detail::fullEncoderLoads();
  }
}
BENCHMARK(BM_ResidentPerExtraStream)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
