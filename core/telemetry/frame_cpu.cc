#include "core/telemetry/frame_cpu.h"

#include <time.h>

#include <array>
#include <cstddef>
#include <new>
#include <string>

#include "core/telemetry/telemetry.h"

namespace le::telemetry {

namespace {

double clockMs(clockid_t clock) noexcept {
  timespec ts{};
  if (clock_gettime(clock, &ts) != 0) return 0.0;
  return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) * 1e-6;
}

// Per thread, without destructors, so that a pool torn down at thread exit
// can still unwatch its workers whatever the order of the thread's exit.
constexpr int kMaxWatched = 64;
struct Watched {
  pthread_t thread;
  clockid_t clock;
};
thread_local Watched tWatched[kMaxWatched];
thread_local int tWatchedCount = 0;
thread_local double tHandedMs = 0;  // handed over, and what unwatched helpers used

}  // namespace

double threadCpuMs() noexcept {
  double ms = clockMs(CLOCK_THREAD_CPUTIME_ID) + tHandedMs;
  for (int i = 0; i < tWatchedCount; ++i) ms += clockMs(tWatched[i].clock);
  return ms;
}

bool watchHelperThread(pthread_t helper) noexcept {
  clockid_t clock;
  if (tWatchedCount == kMaxWatched || pthread_getcpuclockid(helper, &clock) != 0) return false;
  tWatched[tWatchedCount++] = {helper, clock};
  return true;
}

void unwatchHelperThread(pthread_t helper) noexcept {
  for (int i = 0; i < tWatchedCount; ++i)
    if (pthread_equal(tWatched[i].thread, helper)) {
      tHandedMs += clockMs(tWatched[i].clock);
      tWatched[i] = tWatched[--tWatchedCount];
      return;
    }
}

void addHelperCpuMs(double ms) noexcept { tHandedMs += ms; }

void HelperClocks::add(pthread_t thread) noexcept {
  clockid_t clock;
  if (pthread_getcpuclockid(thread, &clock) != 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    clocks_.push_back({thread, clock});
  } catch (const std::bad_alloc&) {
  }
}

void HelperClocks::remove(pthread_t thread) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < clocks_.size(); ++i)
    if (pthread_equal(clocks_[i].thread, thread)) {
      retiredMs_ += clockMs(clocks_[i].clock);
      clocks_.erase(clocks_.begin() + std::ptrdiff_t(i));
      return;
    }
}

double HelperClocks::cpuMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  double ms = retiredMs_;
  for (const Clock& c : clocks_) ms += clockMs(c.clock);
  return ms;
}

int HelperClocks::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return int(clocks_.size());
}

const char* stageName(Stage stage) noexcept {
  static const char* const kNames[kStageCount] = {"source", "render", "teeth", "decode", "paste", "encode"};
  const int i = int(stage);
  return i >= 0 && i < kStageCount ? kNames[i] : "unknown";
}

namespace {

// Looked up once: the registry's lock is not for every frame.
Value& stageValue(Stage s) {
  static const std::array<Value*, kStageCount> values = [] {
    std::array<Value*, kStageCount> v{};
    for (int i = 0; i < kStageCount; ++i) v[size_t(i)] = &value(std::string("frame_cpu.") + stageName(Stage(i)) + "_ms");
    return v;
  }();
  return *values[size_t(s)];
}

}  // namespace

void recordFrameCpu(const FrameCpu& cpu) {
  for (int i = 0; i < kStageCount; ++i)
    if (Stage(i) != Stage::kEncode) stageValue(Stage(i)).record(cpu.ms[i]);
}

}  // namespace le::telemetry
