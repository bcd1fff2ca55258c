// Per-frame cost of the borrowed-teeth pass at its serving defaults (1024
// donors, kshort 512, K 24) on the demo geometry (256 crop, 128 x 80 mouth
// window), through the stream borrow as the utterance pipeline drives it.
// Counters split a frame into pooled retrieval, exact scoring, head and
// composition (ms per frame), and cpu_ms is the whole process's CPU time per
// frame (pool workers' spinning included). The label's digest fingerprints
// every emitted frame (window bytes, donors, keep statistics) so that two
// builds can be compared bit for bit. The pass runs on a thread of its own
// whose worker pool has the benchmark's thread count.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/foundation/half.h"
#include "core/foundation/pool.h"
#include "core/tessera/bank_track.h"
#include "core/tessera/carriage.h"
#include "core/tessera/members.h"
#include "core/tessera/stream_borrow.h"
#include "tests/test_support.h"

namespace {

using namespace le::tessera;

struct Demo {
  std::unique_ptr<StreamBorrow> borrow;
  std::vector<std::vector<float>> frames;  // planar crops
  std::vector<std::vector<float>> kps;
  std::string geometry;
};

// The demo bundle with a full teeth bank, generated on first use.
Demo load(int threads) {
  const std::string dir = le::test::bundlePath("demo_teeth");
  if (le::test::runCommand("test -f '" + dir + "/tessera_bank.v1.mp4'") != 0)
    le::test::runGenerator({"--preset", "demo", "--out", dir, "--teeth-bank", "--quiet"});
  const le::TesseraAttachInputs in = le::loadTesseraMembers(dir);
  const std::string track = readWholeFile(in.bank_track_path);
  const std::vector<uint8_t> bands =
      decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(), in.n_donors, in.band_h,
                      in.band_w, std::vector<int>(in.track_order.begin(), in.track_order.end()));
  const auto xsBytes = le::test::readFile(dir + "/xs_target.bin");
  std::vector<float> xs(xsBytes.size() / 4);
  std::memcpy(xs.data(), xsBytes.data(), xs.size() * 4);
  const int nt = static_cast<int>(xs.size() / 63);
  Demo d;
  (void)threads;
  StreamBorrowBuild b = makeStreamBorrow(bands.data(), in.n_donors, in.cent.data(), in.c_canon.data(),
                                         in.aperture.data(), in.stamp.data(), in.head_pt.data(), in.head_pt.size(),
                                         in.head_json, in.manifest_json, xs.data(), nt,
                                         readWholeFile(dir + "/lip_template.v1.json"));
  d.borrow = std::move(b.borrow);
  d.geometry = b.geometry;
  const int S = d.borrow->side();
  const auto prior = le::test::readFile(dir + "/P.f16");
  for (int t = 0; t < nt; ++t) {
    std::vector<float> f(size_t(3) * S * S);
    le::halfToFloat(reinterpret_cast<const uint16_t*>(prior.data()) + size_t(t) * f.size(), f.data(), f.size());
    d.frames.push_back(std::move(f));
    d.kps.emplace_back(xs.begin() + t * 63, xs.begin() + (t + 1) * 63);
  }
  return d;
}

double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// FNV-1a over `n` bytes, folded into `h`.
uint32_t fold(uint32_t h, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

uint32_t fold(uint32_t h, const FrameResult& r) {
  h = fold(h, r.window.data(), r.window.size());
  h = fold(h, r.donors.data(), r.donors.size() * sizeof(int));
  h = fold(h, &r.keep_mean, sizeof r.keep_mean);
  return fold(h, &r.keep_max, sizeof r.keep_max);
}

// A thread that runs jobs one at a time: its worker pool is its own.
class Runner {
 public:
  Runner() : thread_([this] { loop(); }) {}
  ~Runner() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void run(const std::function<void()>& job) {
    std::unique_lock<std::mutex> lock(mu_);
    job_ = &job;
    cv_.notify_all();
    cv_.wait(lock, [&] { return job_ == nullptr; });
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [&] { return stop_ || job_; });
      if (stop_) return;
      lock.unlock();
      (*job_)();
      lock.lock();
      job_ = nullptr;
      cv_.notify_all();
    }
  }
  std::mutex mu_;  // guards job_ and stop_
  std::condition_variable cv_;
  const std::function<void()>* job_ = nullptr;
  bool stop_ = false;
  std::thread thread_;
};

void BM_TeethPassFrame(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  le::pool::detail::overrideThreadsForTest(threads);
  {
    Runner runner;
    Demo demo;
    runner.run([&] { demo = load(threads); });
    FrameResult r;
    size_t f = 0;
    int64_t composed = 0;
    double distinct = 0;
    uint32_t digest = 2166136261u;
    const double cpu0 = processCpuSeconds();
    for (auto _ : state) {
      runner.run([&] {
        if (demo.borrow->push(demo.frames[f % demo.frames.size()].data(), demo.kps[f % demo.kps.size()].data(), &r) &&
            !r.skipped) {
          ++composed;
          digest = fold(digest, r);
          std::vector<int> u = r.donors;
          std::sort(u.begin(), u.end());
          distinct += static_cast<double>(std::unique(u.begin(), u.end()) - u.begin());
        }
      });
      ++f;
    }
    state.counters["cpu_ms"] = 1e3 * (processCpuSeconds() - cpu0) / static_cast<double>(std::max<size_t>(f, 1));
    const TeethPass::Stats& s = demo.borrow->pass().stats();
    const double frames = static_cast<double>(std::max<int64_t>(s.frames, 1));
    state.counters["pooled_ms"] = 1e3 * s.pooled_s / frames;
    state.counters["exact_ms"] = 1e3 * s.exact_s / frames;
    state.counters["head_ms"] = 1e3 * s.head_s / frames;
    state.counters["compose_ms"] = 1e3 * s.compose_s / frames;
    state.counters["composed"] = static_cast<double>(composed);
    state.counters["distinct_donors"] = composed ? distinct / static_cast<double>(composed) : 0.0;
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", digest);
    state.SetLabel("geometry " + demo.geometry + " digest " + hex);
  }
  le::pool::detail::overrideThreadsForTest(0);
}
BENCHMARK(BM_TeethPassFrame)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(96)->UseRealTime();

}  // namespace
