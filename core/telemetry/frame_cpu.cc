#include "core/telemetry/frame_cpu.h"

#include <time.h>

#include <array>
#include <string>

#include "core/telemetry/telemetry.h"

namespace le::telemetry {

double threadCpuMs() noexcept {
  timespec ts{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0.0;
  return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) * 1e-6;
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
